#ifndef SIM_MGR_OPTIONS_H
#define SIM_MGR_OPTIONS_H

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "simmgr/LauncherPreset.h"
#include "simmgr/StoppingRule.h"

// The manager's command line.
struct SimMgrOptions {
  std::string experiments;  // empty: every experiment of the study
  int jobs = 0;             // 0: the number of cores, or of tasks with srun
  int port = 10000;
  std::string simulator;    // empty: `simulator` beside this program
  uint32_t seed = 31415;
  int generator = 0;
  StoppingRule rule;
  int reportSize = 500;
  std::string outDir = "results";
  std::string asciiDir;     // empty: no ASCII result files
  double timeoutSeconds = 60.0;
  int retries = 3;          // restarts of an experiment after failed attempts
  // Empty: simulators are started here. A preset's name ("ssh", "srun") is
  // replaced by its template when parsed.
  std::string launcher;
  std::string launcherPreset;  // the preset named, if one was
  LauncherPreset::Settings launcherSettings;
  std::vector<std::string> hosts;
  std::string resume;       // non-empty: the folder of a study to take further
  bool help = false;
  bool version = false;
  // The options given (by name, "--seed"), for a resume to tell new
  // settings from defaults.
  std::set<std::string> given;

  bool Given(const char* option) const { return given.count(option) != 0; }
  // True when the command line sets what ends an experiment
  // (--replications, --precision, --abs-precision or --test).
  bool TargetsGiven() const;

  // Reads argv[1 ..]. False, with a message in `error`, for an unknown
  // option, a missing or malformed value, or a contradictory choice.
  // Without targets and without --resume the rule is --abs-precision 0.01;
  // a resume leaves the choice to the saved study.
  bool Parse(int argc, char** argv, std::string& error);
  static const char* Usage();
};

#endif
