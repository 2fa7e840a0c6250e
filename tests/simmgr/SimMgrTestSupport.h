#ifndef SIM_MGR_TEST_SUPPORT_H
#define SIM_MGR_TEST_SUPPORT_H

// Running simmgr as a child and reading what it wrote.

#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "simmgr/RunningStatistics.h"
#include "simmgr/StudyState.h"
#include "tools/SimulatorProcess.h"

struct SimMgrResult {
  int exitStatus = -1;
  std::string out;
  std::string err;
};

// True once the study state simmgr saves at `stateFile` (after every
// hand-over, replacing the file whole) counts replications of each of
// `experiments`. A simulator's files are no such sign: it writes a
// hand-over's rows as the blocks are sent, and what has not arrived whole
// when a study is stopped is not counted.
inline bool HandOversCounted(const std::string& stateFile, const std::vector<int>& experiments) {
  StudyState state;
  std::string error;
  if (!StudyState::Load(stateFile, state, error)) return false;
  for (const int k : experiments) {
    int64_t replications = 0;
    for (const StudyState::Experiment& e : state.experiments) {
      if (e.experiment != k) continue;
      for (const SimulatorAttempt& a : e.attempts) {
        if (!a.statistics.empty()) replications += a.statistics[0].Count();
      }
    }
    if (replications == 0) return false;
  }
  return true;
}

// Waits, while `manager` runs and at most `seconds`, until the study state
// it saves at `stateFile` reads back and satisfies `ready`; true if it did.
template <typename Ready>
bool UntilSaved(SimulatorProcess& manager, const std::string& stateFile, Ready ready, int seconds = 60) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < until && !manager.Wait(10)) {
    StudyState state;
    std::string error;
    if (StudyState::Load(stateFile, state, error) && ready(state)) return true;
  }
  return false;
}

// Runs simmgr with `arguments`; a run that outlives `timeoutMs` is killed
// (exit status 137).
inline SimMgrResult RunSimMgr(const std::vector<std::string>& arguments, int timeoutMs = 45000) {
  SimulatorProcess process;
  SimMgrResult result;
  if (!process.Start(KORVAN_SIMMGR_PATH, arguments)) return result;
  if (!process.Wait(timeoutMs)) process.Kill();
  result.exitStatus = process.ExitStatus();
  result.out = process.Output();
  result.err = process.ErrorOutput();
  return result;
}

// A fresh folder under the test's working folder, emptied first.
inline std::string TestFolder(const std::string& name) {
  const std::string path = std::filesystem::current_path().string() + "/simmgr_" + name;
  std::filesystem::remove_all(path);
  std::filesystem::create_directories(path);
  return path;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Writes an executable shell script.
inline void WriteScript(const std::string& path, const std::string& text) {
  {
    std::ofstream out(path);
    out << text;
  }
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

// The rows of a CSV file without quoting, keyed by the header's names.
inline std::vector<std::map<std::string, std::string>> ReadCsv(const std::string& path) {
  std::vector<std::map<std::string, std::string>> rows;
  std::istringstream in(ReadFile(path));
  std::string line;
  std::vector<std::string> header;
  while (std::getline(in, line)) {
    std::vector<std::string> cells;
    size_t from = 0;
    for (;;) {
      const size_t comma = line.find(',', from);
      cells.push_back(line.substr(from, comma == std::string::npos ? std::string::npos : comma - from));
      if (comma == std::string::npos) break;
      from = comma + 1;
    }
    if (header.empty()) {
      header = cells;
      continue;
    }
    std::map<std::string, std::string> row;
    for (size_t i = 0; i < header.size() && i < cells.size(); ++i) row[header[i]] = cells[i];
    row["#cells"] = std::to_string(cells.size());
    rows.push_back(row);
  }
  return rows;
}

// Whether a running process has `words` as neighbouring arguments of its
// command line (an ended process that is not yet reaped has none).
inline bool ProcessRunningWith(const std::vector<std::string>& words) {
  std::string wanted(1, '\0');
  for (const std::string& word : words) wanted += word + '\0';
  DIR* proc = opendir("/proc");
  bool found = false;
  while (dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    std::ifstream in(std::string("/proc/") + entry->d_name + "/cmdline", std::ios::binary);
    std::ostringstream line;
    line << '\0' << in.rdbuf();
    if (line.str().find(wanted) != std::string::npos) found = true;
  }
  if (proc != nullptr) closedir(proc);
  return found;
}

// The observations of each variable in a simulator's ASCII result file.
inline std::map<int, std::vector<double>> ReadAsciiObservations(const std::string& path) {
  std::map<int, std::vector<double>> observations;
  std::istringstream in(ReadFile(path));
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t comma = line.find(',');
    observations[std::atoi(line.substr(0, comma).c_str())].push_back(
        std::strtod(line.c_str() + comma + 1, nullptr));
  }
  return observations;
}

// The first `n` observations of each of the three variables of the
// simulator's stream for experiment `k` and `seed`: taken from `asciiFile`
// when it holds them (a simulator killed between sending a record and
// writing its file may have written fewer than it sent), otherwise made
// again by running the simulator with that seed and -N n in `scratch`.
inline std::vector<RunningStatistics> StreamStatistics(int k, uint32_t seed, int64_t n,
                                                       const std::string& asciiFile,
                                                       const std::string& scratch) {
  auto observations = ReadAsciiObservations(asciiFile);
  bool enough = true;
  for (int v = 0; v < 3; ++v) enough = enough && observations[v].size() >= static_cast<size_t>(n);
  if (!enough && n > 0) {
    const std::string again = scratch + "/stream-" + std::to_string(k) + "-" + std::to_string(seed) + ".txt";
    SimulatorProcess simulator;
    simulator.Start(KORVAN_SIMULATOR_PATH, {"-e", std::to_string(k), "-s", std::to_string(seed), "-N",
                                            std::to_string(n), "-a", again});
    simulator.Wait(120000);
    observations = ReadAsciiObservations(again);
  }
  std::vector<RunningStatistics> statistics(3);
  for (int v = 0; v < 3; ++v) {
    for (int64_t i = 0; i < n && i < static_cast<int64_t>(observations[v].size()); ++i) {
      statistics[v].Add(observations[v][i]);
    }
  }
  return statistics;
}

#endif
