// simmgr's saved study (state.json, what --resume reads) fed arbitrary
// files.
//
// Invariants: a refused file says why; an accepted one holds at least one
// experiment, each named once and within the study, with one statistic per
// reward variable in every attempt, none still running; saved again it reads
// back, and saved once more gives the same bytes.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "simmgr/StudyState.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

std::string Folder() {
  static const std::string folder = [] {
    char name[] = "/tmp/study_state_fuzzer.XXXXXX";
    FUZZ_CHECK(mkdtemp(name) != nullptr, "no scratch folder");
    static std::string made = name;
    std::atexit([] {
      for (const char* file : {"/input.json", "/first.json", "/second.json"}) unlink((made + file).c_str());
      rmdir(made.c_str());
    });
    return made;
  }();
  return folder;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input = Folder() + "/input.json";
  const std::string first = Folder() + "/first.json";
  const std::string second = Folder() + "/second.json";
  {
    std::ofstream out(input, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  StudyState state;
  std::string error;
  if (!StudyState::Load(input, state, error)) {
    FUZZ_CHECK(!error.empty(), "a saved study refused without a reason");
    return 0;
  }
  FUZZ_CHECK(!state.experiments.empty(), "a saved study of no experiment accepted");
  std::set<int> seen;
  for (const StudyState::Experiment& e : state.experiments) {
    FUZZ_CHECK(seen.insert(e.experiment).second, "an experiment saved twice accepted");
    std::vector<int64_t> totals;
    for (const SimulatorAttempt& a : e.attempts) {
      FUZZ_CHECK(a.ending != SimulatorAttempt::kRunning, "an attempt read back as still running");
      FUZZ_CHECK(a.cpuSeconds >= 0.0 && a.wallSeconds >= 0.0, "an attempt with a negative time accepted");
      totals.resize(a.statistics.size(), 0);
      for (size_t v = 0; v < a.statistics.size(); ++v) {
        totals[v] += a.statistics[v].Count();
        // Merged on resuming: within 2^53, far from overflowing.
        FUZZ_CHECK(totals[v] <= (int64_t{1} << 53), "an experiment with more observations than any study");
      }
      FUZZ_CHECK(a.segment >= 0 && a.segment < std::max(state.segments, 1), "an attempt of a later segment");
      FUZZ_CHECK(a.statistics.size() == e.attempts.front().statistics.size(), "attempts of unequal variables");
    }
  }
  FUZZ_CHECK(state.Save(first, error), "an accepted study cannot be saved: " + error);
  StudyState again;
  FUZZ_CHECK(StudyState::Load(first, again, error), "a saved study reads back refused: " + error);
  FUZZ_CHECK(again.Save(second, error), "a study read back cannot be saved: " + error);
  FUZZ_CHECK(ReadAll(first) == ReadAll(second), "a study saved, read and saved again changed");
  return 0;
}
