#ifndef SIMULATOR_ATTEMPT_H
#define SIMULATOR_ATTEMPT_H

#include <cstdint>
#include <string>
#include <vector>

#include "simmgr/RunningStatistics.h"

// One simulator process of an experiment: where and with which seed it ran,
// what it contributed and how it ended. An experiment's statistics are the
// merge of those of its attempts.
struct SimulatorAttempt {
  // How an attempt ended.
  enum Ending {
    kRunning,      // not ended yet
    kDone,         // everything needed arrived ("complete")
    kInterrupted,  // stopped by the user ("interrupted")
    kKilled,       // ended by a signal ("killed")
    kExited,       // ended by itself too early, or with a bad status ("exited")
    kTimedOut,     // silent past the timeout ("timeout")
    kProtocol,     // sent something the protocol does not allow ("protocol")
    kLink,         // the connection failed ("link")
    kNotStarted,   // the program could not be started ("start")
  };

  int segment = 0;
  int number = 0;  // 0 for the first attempt of the segment
  uint32_t seed = 0;
  std::string host;        // where it ran: the launcher's announced host, else the one it was given
  std::string launchHost;  // the host it was given (of --hosts), for choosing hosts; not saved
  int port = 0;           // the port announced; 0 when none was
  int64_t replications = 0;  // whole replications received from it
  double cpuSeconds = 0.0;   // its last CPU-time record
  double wallSeconds = 0.0;
  Ending ending = kRunning;
  std::string reason;     // what happened, for every ending but kDone
  std::string lastWords;  // the tail of what it printed, for failures
  // "FILE: REASON" when the simulator reported that it could not write all
  // of its --ascii-dir file FILE; empty otherwise. Saved with the study, so
  // that a resumed study still reports the file.
  std::string asciiCut;
  // What it contributed, per variable (whole data records only).
  std::vector<RunningStatistics> statistics;
  // In two-stage mode, what it contributed to the pilot, per variable;
  // empty otherwise (see StoppingRule).
  std::vector<RunningStatistics> pilot;

  // The word for `ending` used in the CSV and JSON files.
  static const char* EndingName(Ending ending);
  // True for endings after which the experiment's work may be restarted.
  static bool Retryable(Ending ending);
};

#endif
