#ifndef STUDY_RESULTS_H
#define STUDY_RESULTS_H

#include <cstdint>
#include <string>
#include <vector>

#include "simmgr/SimulatorAttempt.h"
#include "simmgr/StoppingRule.h"
#include "simmgr/StudyTable.h"

// Everything the result files and the table show, gathered once the runs
// are over.
struct StudyResults {
  struct Variable {
    int64_t replications = 0;
    double mean = 0.0;
    double variance = 0.0;    // 0 below two observations
    // The interval, when there is one (two observations or more): its ends
    // and the larger distance from the mean to an end.
    bool interval = false;
    double low = 0.0;
    double high = 0.0;
    double halfWidth = 0.0;   // infinite without an interval
    // The method the interval was computed by.
    ConfidenceInterval::Method method = ConfidenceInterval::kStudentT;
  };

  struct Experiment {
    int experiment = 0;
    // "complete", "incomplete" (interrupted), "failed" or "not run".
    std::string status;
    std::string failure;
    bool precisionMet = false;
    uint32_t seed = 0;
    int64_t replications = 0;
    // Two-stage mode: the pilot's replications (not in `replications` nor
    // in any estimate), the looks planned from it, and the level the
    // intervals were computed at (that of the look the run stopped at).
    int64_t pilotReplications = 0;
    std::vector<int64_t> plan;
    double intervalConfidence = 0.0;
    double cpuSeconds = 0.0;
    double wallSeconds = 0.0;
    std::vector<Variable> variables;  // by the study's reward variable index
    // Every simulator process that ran for it, in order.
    std::vector<SimulatorAttempt> attempts;
    // Test mode: the test as it ended (decision, replications, ones).
    SequentialTest test;
  };

  // Where the results came from.
  struct Provenance {
    std::string version;                   // of simmgr
    std::string commit;                    // "" when not built from a git checkout
    std::vector<std::string> commandLine;  // simmgr's arguments, its own name first
    std::string host;
    std::string workingDirectory;          // where relative paths start
    std::string startedUtc;                // "2026-12-08T11:52:32Z"
    std::string endedUtc;
    std::string simulator;                 // the simulator program started
  };

  const StudyTable* study = nullptr;
  Provenance provenance;
  StoppingRule rule;
  uint32_t baseSeed = 0;
  int generator = 0;
  int reportSize = 0;
  int retries = 0;
  // The segment this run of the manager made (0: not resumed).
  int segment = 0;
  bool interrupted = false;
  std::vector<Experiment> experiments;
  double wallSeconds = 0.0;
  double managerCpuSeconds = 0.0;
  double simulatorCpuSeconds = 0.0;

  // True when every experiment is complete.
  bool Complete() const;
  // Fills `v` with the statistics and interval of `statistics` by `rule`.
  static Variable Summarise(const RunningStatistics& statistics, const StoppingRule& rule);
  // The reward variable the plot shows: the terminating one with the
  // latest time point (ties: the last such index); -1 when there is none.
  int PlottedVariable() const;
};

#endif
