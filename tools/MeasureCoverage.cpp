// measure_coverage: how often simmgr's confidence intervals contain the true
// value. Runs a precision-driven study of a few experiments many times, each
// time with another base seed, and counts the intervals that contain a
// reference value known far more precisely (tools/coverage-reference.txt,
// from one long run; see that file). Reports, per experiment and variable,
// the fraction covered with its standard error, the fraction of runs in
// which all of an experiment's intervals held together, and the mean number
// of replications used.
//
//   measure_coverage --simmgr PATH [--repetitions N] [--first-seed S]
//                    [--reference FILE] [--work DIR] [-- simmgr options...]
//   measure_coverage --summarise [--reference FILE] [--work DIR]
//
// The simmgr options after "--" choose the study (default: --experiments
// 0,35 --abs-precision 0.02 --jobs 1). Every run's intervals are kept in
// DIR/intervals.txt (one line per interval: base seed, experiment,
// variable, replications, low end, high end); with --summarise the figures
// are made from that file alone, without running anything. Exit status 0,
// or 2 for a usage error or a run of simmgr that failed.

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/SimulatorProcess.h"

namespace {

struct Reference {
  int64_t replications = 0;
  int64_t ones = 0;
  double Mean() const { return static_cast<double>(ones) / static_cast<double>(replications); }
};

// Lines "<experiment> <variable> <replications> <ones>"; '#' starts a
// comment line.
bool ReadReference(const std::string& path, std::map<std::pair<int, std::string>, Reference>& reference) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    int k = 0;
    std::string variable;
    Reference r;
    if (!(fields >> k >> variable >> r.replications >> r.ones) || r.replications <= 0) return false;
    reference[{k, variable}] = r;
  }
  return !reference.empty();
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Tally {
  int runs = 0;
  int covered = 0;
};

// One interval of one run, as kept in intervals.txt.
struct Interval {
  long seed = 0;
  int experiment = 0;
  std::string variable;
  int64_t replications = 0;
  double low = 0.0;
  double high = 0.0;
  bool valid = false;
};

int Run(const std::string& simmgr, const std::vector<std::string>& study, const std::string& work,
        int repetitions, long firstSeed) {
  std::filesystem::create_directories(work);
  const std::string logPath = work + "/intervals.txt";
  std::ofstream log(logPath, std::ios::trunc);
  for (int r = 0; r < repetitions; ++r) {
    // A --port among the study's options comes later and wins (simmgr takes
    // the last of a repeated option); the seed and the folder are the tool's.
    std::vector<std::string> arguments = {"--port", "24000"};
    arguments.insert(arguments.end(), study.begin(), study.end());
    const std::string seed = std::to_string(firstSeed + r);
    arguments.insert(arguments.end(), {"--seed", seed, "--out", work + "/run"});
    SimulatorProcess run;
    run.SetOutputLimit(65536);
    if (!run.Start(simmgr, arguments) || !run.Wait(3600 * 1000) || run.ExitStatus() != 0) {
      std::cerr << "measure_coverage: simmgr with seed " << seed << " failed:\n" << run.ErrorOutput() << "\n";
      return 2;
    }
    const nlohmann::json document = nlohmann::json::parse(ReadAll(work + "/run/results.json"), nullptr, false);
    if (document.is_discarded()) {
      std::cerr << "measure_coverage: " << work << "/run/results.json is not JSON\n";
      return 2;
    }
    if (r == 0) log << "# settings " << document["settings"].dump() << "\n";
    for (const nlohmann::json& e : document["experiments"]) {
      for (const nlohmann::json& v : e["variables"]) {
        log << seed << " " << e["experiment"].get<int>() << " " << v["variable"].get<std::string>() << " "
            << v["replications"].get<int64_t>() << " ";
        if (v["ci_low"].is_null()) {
          log << "- -\n";
        } else {
          char ends[96];
          std::snprintf(ends, sizeof(ends), "%.17g %.17g", v["ci_low"].get<double>(), v["ci_high"].get<double>());
          log << ends << "\n";
        }
      }
    }
    log.flush();
    if ((r + 1) % 50 == 0) std::cerr << "measure_coverage: " << r + 1 << " of " << repetitions << " runs\n";
  }
  return log ? 0 : 2;
}

int Summarise(const std::string& work, const std::map<std::pair<int, std::string>, Reference>& reference) {
  std::ifstream log(work + "/intervals.txt");
  if (!log) {
    std::cerr << "measure_coverage: no " << work << "/intervals.txt\n";
    return 2;
  }
  std::map<std::pair<int, std::string>, Tally> tallies;
  std::map<std::pair<long, int>, bool> together;  // per run and experiment
  std::map<int, double> replications;
  std::map<int, std::set<long>> runs;
  std::string line, settings;
  long firstSeed = -1, lastSeed = -1;
  while (std::getline(log, line)) {
    if (line.compare(0, 11, "# settings ") == 0) settings = line.substr(11);
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    Interval i;
    std::string low, high;
    if (!(fields >> i.seed >> i.experiment >> i.variable >> i.replications >> low >> high)) continue;
    const auto found = reference.find({i.experiment, i.variable});
    if (found == reference.end()) continue;
    const double truth = found->second.Mean();
    const bool covered = low != "-" && std::strtod(low.c_str(), nullptr) <= truth &&
                         truth <= std::strtod(high.c_str(), nullptr);
    Tally& t = tallies[{i.experiment, i.variable}];
    ++t.runs;
    t.covered += covered ? 1 : 0;
    const auto key = std::make_pair(i.seed, i.experiment);
    together[key] = (together.count(key) == 0 || together[key]) && covered;
    if (runs[i.experiment].insert(i.seed).second) replications[i.experiment] += static_cast<double>(i.replications);
    firstSeed = firstSeed < 0 ? i.seed : std::min(firstSeed, i.seed);
    lastSeed = std::max(lastSeed, i.seed);
  }
  std::map<int, Tally> joint;
  for (const auto& item : together) {
    ++joint[item.first.second].runs;
    joint[item.first.second].covered += item.second ? 1 : 0;
  }
  std::printf("Coverage, base seeds %ld to %ld\nsimmgr settings: %s\n", firstSeed, lastSeed, settings.c_str());
  std::printf("%-4s %-16s %11s %11s %9s %9s\n", "exp", "variable", "reference", "covered", "fraction", "std.err");
  auto row = [](int k, const std::string& name, const std::string& truth, const Tally& t) {
    const double f = static_cast<double>(t.covered) / t.runs;
    std::printf("%-4d %-16s %11s %5d/%-5d %9.4f %9.4f\n", k, name.c_str(), truth.c_str(), t.covered, t.runs, f,
                std::sqrt(f * (1.0 - f) / t.runs));
  };
  for (const auto& item : tallies) {
    char truth[32];
    std::snprintf(truth, sizeof(truth), "%.7f", reference.at(item.first).Mean());
    row(item.first.first, item.first.second, truth, item.second);
  }
  for (const auto& item : joint) {
    row(item.first, "all together", "", item.second);
    std::printf("%-4d %-16s %11.0f replications on average\n", item.first, "",
                replications[item.first] / static_cast<double>(runs[item.first].size()));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string simmgr;
  std::string referencePath = std::string(KORVAN_SOURCE_DIR) + "/tools/coverage-reference.txt";
  std::string work = "coverage-work";
  int repetitions = 400;
  long firstSeed = 1;
  bool summariseOnly = false;
  std::vector<std::string> study;
  bool studyGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--") {
      study.assign(argv + i + 1, argv + argc);
      studyGiven = true;
      break;
    }
    if (option == "--summarise") {
      summariseOnly = true;
      continue;
    }
    if (i + 1 >= argc) {
      std::cerr << "measure_coverage: " << option << " needs a value\n";
      return 2;
    }
    const std::string value = argv[++i];
    if (option == "--simmgr") {
      simmgr = value;
    } else if (option == "--repetitions") {
      repetitions = std::atoi(value.c_str());
    } else if (option == "--first-seed") {
      firstSeed = std::atol(value.c_str());
    } else if (option == "--reference") {
      referencePath = value;
    } else if (option == "--work") {
      work = value;
    } else {
      std::cerr << "measure_coverage: unknown option " << option << "\n";
      return 2;
    }
  }
  if ((simmgr.empty() && !summariseOnly) || repetitions < 1) {
    std::cerr << "usage: measure_coverage --simmgr PATH [--repetitions N] [--first-seed S] "
                 "[--reference FILE] [--work DIR] [-- simmgr options...]\n"
                 "       measure_coverage --summarise [--reference FILE] [--work DIR]\n";
    return 2;
  }
  if (!studyGiven) study = {"--experiments", "0,35", "--abs-precision", "0.02", "--jobs", "1"};
  if (!summariseOnly) {
    const int status = Run(simmgr, study, work, repetitions, firstSeed);
    if (status != 0) return status;
  }
  std::map<std::pair<int, std::string>, Reference> reference;
  if (!ReadReference(referencePath, reference)) {
    std::cerr << "measure_coverage: cannot read the reference values in " << referencePath << "\n";
    return 2;
  }
  return Summarise(work, reference);
}
