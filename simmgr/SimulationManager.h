#ifndef SIMULATION_MANAGER_H
#define SIMULATION_MANAGER_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "simmgr/ExperimentRun.h"
#include "simmgr/SeedSequence.h"
#include "simmgr/SimMgrOptions.h"
#include "simmgr/StudyState.h"
#include "simmgr/StudyTable.h"

// Runs the chosen experiments, `jobs` simulators at a time, waiting on all
// their pipes and connections at once with one poll. The experiments
// expected to need the most replications start first, so that the last to
// finish are short ones and no core waits long for the end: what an
// experiment needed in the last run written to the output folder (its
// results.json) is the expectation, and experiments without one start first
// (they may be long), in the order given. A simulator that has everything
// its experiment needs and is only stopping gives up its place at once, so
// the next one starts while it ends. Shows progress on
// `progress`, reports each failed experiment there as it happens, and stops
// every simulator in order (command 2) on SIGINT, SIGTERM or SIGHUP; a second
// SIGINT or SIGTERM, or simulators that do not stop within the timeout (at
// most 10 s), end them at once.
//
// Ports: each simulator is handed the lowest port from the base upward that
// no running simulator of the same host has asked for or announced; a
// simulator that finds its port taken moves on by itself and announces the
// port it got, which is the one connected to. While every port from the
// base to 65535 is claimed, no further simulator is started on that host.
//
// Retries: an experiment whose simulator fails with retries left is started
// again, before experiments not yet started, with the seed of its next
// attempt (SeedSequence) and the replications it still needs as its limit.
// Each failed attempt is reported as it happens.
//
// Saving: with SaveStateTo, the study's state (see StudyState) is written
// after every pass of the wait loop in which observations were taken in or
// an attempt ended, and once more at the end.
class SimulationManager {
 public:
  SimulationManager(const SimMgrOptions& options, const StudyTable& study,
                    const std::vector<int>& experiments, const SeedSequence& seeds,
                    const std::string& simulatorPath, std::ostream& progress);
  ~SimulationManager();

  // The segment of the study this manager runs (0 unless resumed); the
  // runs' earlier segments are given to them with ExperimentRun::Restore.
  void SetSegment(int number) { segment = number; }
  // Saves the state to `path` from now on, with the settings of `prototype`
  // (its experiments are replaced by the runs').
  void SaveStateTo(const std::string& path, const StudyState& prototype);
  // The state as it stands.
  StudyState State() const;
  StudyState::Experiment ExperimentState(const ExperimentRun& run) const;

  void Run();
  // Mutable access for the set-up (Restore) before Run.
  ExperimentRun& RunOf(size_t i) { return *runs[i]; }

  const std::vector<std::unique_ptr<ExperimentRun>>& Runs() const { return runs; }
  bool Interrupted() const { return interrupted; }
  // False when the last save of the state, at the end of Run, failed: the
  // file then holds an earlier state (or none), and a resume from it would
  // go without the hand-overs since.
  bool FinalStateSaved() const { return finalStateSaved; }
  double WallSeconds() const { return wallSeconds; }

  // Installs the SIGINT and SIGTERM handlers (which only count signals)
  // and the SIGHUP handler (which only notes it) unless SIGHUP is ignored,
  // and ignores SIGPIPE and SIGXFSZ.
  static void InstallSignalHandlers();
  // SIGINT and SIGTERM signals counted so far.
  static int SignalsReceived();
  // Whether a SIGHUP has arrived.
  static bool HangUpReceived();

  // The ASCII file in `dir` of attempt `attempt` of `experiment` in
  // `segment`, as the simulator is given it: a folder named with a leading
  // '-' is given as ./-name, since the simulator takes a word beginning
  // with a dash for its next option.
  static std::string AsciiFile(const std::string& dir, int experiment, int segment, int attempt);
  // The longest argument the simulator takes; it refuses to run with a
  // longer one (an ASCII file name among them).
  static constexpr size_t kMaxSimulatorArgument = 128;
  // The batch limit (-N) a simulator is started with when the experiment
  // may still use `remaining` replications: all of them when the simulator
  // can count them (at most 2^31 - 1), else none. A simulator given a
  // smaller limit than the work left would end by itself at it, and its
  // good end would be taken for a failure; without a limit, it runs until
  // the manager asks it to quit.
  static int64_t BatchLimit(int64_t remaining);

 private:
  void NoteEndedAttempts();
  void StartRuns();
  // Whether the run holds one of the `jobs` places: a simulator of it is
  // started and still collecting observations (or ending after a failure).
  static bool HoldsPlace(const ExperimentRun& run);
  int ChoosePort(const std::string& host) const;
  // The host for the next attempt of `run`.
  std::string ChooseHost(const ExperimentRun& run) const;
  void ReportFinished();
  void ReportAttempt(const ExperimentRun& run, const SimulatorAttempt& attempt, bool last);
  void ShowProgress(bool force);
  // Runs waiting for their first start.
  size_t NotStarted() const;
  void SaveState(bool final);

  const SimMgrOptions& options;
  // Kept for the run's lifetime; read only while the runs are set up.
  [[maybe_unused]] const StudyTable& study;
  std::vector<std::unique_ptr<ExperimentRun>> runs;
  const SeedSequence& seeds;
  std::string simulatorPath;
  std::ostream& progress;
  bool tty;
  bool interrupted = false;
  // Indices into runs in the order of their first starts.
  std::vector<size_t> startOrder;
  std::vector<bool> reported;
  std::vector<size_t> reportedAttempts;
  // Hosts whose latest attempt to end had not announced a port, and the
  // attempts of each run looked at for it (NoteEndedAttempts).
  std::set<std::string> hostsEndingEarly;
  std::vector<size_t> notedAttempts;
  int segment = 0;
  std::string statePath;
  StudyState statePrototype;
  uint64_t savedVersion = 0;
  // Whether the state file holds a state of this study (one saved by this
  // run, or the one a resume started from), and which failure to save was
  // reported last: 0 none, 1 with no state of the study on the disk, 2 with
  // one.
  bool stateOnDisk = false;
  int stateWarned = 0;
  bool finalStateSaved = true;
  // A descriptor kept for the state's file: simulators started while
  // descriptors are short take all there are, and it is let go only for
  // the write.
  int spareFd = -1;
  // The saved file's parts (see SaveState): the head, and per run its
  // entry with the data version it was made at and whether the run was
  // settled then.
  struct EntryMade {
    uint64_t version = 0;
    bool settled = false;
  };
  std::string stateHead;
  std::vector<std::string> stateTexts;
  std::vector<EntryMade> stateMade;
  double wallSeconds = 0.0;
  std::chrono::steady_clock::time_point begin;
  std::chrono::steady_clock::time_point lastProgress;
  int64_t lastReplications = 0;
  double rate = 0.0;
  size_t progressWidth = 0;
};

#endif
