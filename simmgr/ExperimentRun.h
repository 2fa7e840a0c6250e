#ifndef EXPERIMENT_RUN_H
#define EXPERIMENT_RUN_H

#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/types.h>

#include "simmgr/RunningStatistics.h"
#include "simmgr/SequentialTest.h"
#include "simmgr/SimulatorAttempt.h"
#include "simmgr/StoppingRule.h"
#include "tools/SimMgrStream.h"
#include "tools/SimulatorProcess.h"

// One experiment, run by one simulator at a time, driven without blocking:
// the manager collects the descriptors it waits on (AddPollEntries), waits
// on all runs at once, and hands the results back (Service). Each simulator
// process is an attempt, which goes through
//   pending -> starting (waiting for the port announcement) -> connecting
//   -> greeting -> running (CPU-time and data records) -> quitting (command
//   2 sent, waiting for its reply) -> exiting (reading what the simulator
//   hands over after its reply until it closes the connection, and waiting
//   for the process to end) -> finished.
// A run through a launcher that has to be stopped (a failure, an interrupt
// before data) passes through ending: the launcher got SIGTERM, so that
// ssh hangs up the remote simulator and srun cancels its job step, and has
// a few seconds to end before SIGKILL. A simulator run directly is killed
// at once.
// A simulator started with a batch limit may end by itself once it has sent
// everything: when the manager has all it needs, the connection ending in
// place of the quit reply is accepted, and the exit status decides.
//
// Faults: a step that does not happen within the timeout, a process that
// ends early, and anything the protocol does not allow end the attempt,
// with the reason and the simulator's last words. The observations of the
// data records that arrived whole are kept; a partial record is dropped.
// While retries are left, the run then goes back to pending and the manager
// starts the remaining work as a new attempt (with a new seed); once they
// are spent, the run finishes as failed. An attempt that misbehaves after
// everything needed has arrived (no quit reply, a bad exit status) is
// recorded as such, and the experiment stays complete.
//
// The experiment's statistics are the merge of its attempts' (see
// SimulatorAttempt), those of earlier segments of the study included
// (Restore). With a test, the run keeps its own SequentialTest, fed with the
// tested variable's observations in the order they were made.
//
// Owns its process and socket.
class ExperimentRun {
 public:
  using Clock = std::chrono::steady_clock;

  enum State {
    kPending, kStarting, kConnecting, kGreeting, kRunning, kQuitting, kExiting,
    kClosed,  // the connection ended early; waiting to learn how the simulator ended
    kEnding, kFinished
  };
  enum Outcome { kNotRun, kComplete, kIncomplete, kFailed };

  // How the simulator of one attempt is started.
  struct Launch {
    std::string simulator;
    std::string launcher;   // empty: start the simulator directly
    std::string host;       // where to connect, unless the launcher names another
    int port = 10000;       // first port the simulator tries
    uint32_t seed = 0;
    int segment = 0;
    int generator = 0;
    int reportSize = 500;
    std::string asciiFile;  // empty: none
    int64_t batchLimit = 0;  // > 0: passed as -N
    int timeoutMs = 60000;
    // A start that fails for want of file descriptors, processes or memory
    // (which simulators still running hold) then leaves the run waiting to
    // start, nothing recorded, rather than failing it.
    bool waitIfShort = false;
  };

  // `considered` marks the variables the simulator reports (one entry per
  // variable index of its data records); only they are waited for.
  // `seed` is the experiment's primary seed (reported as its seed);
  // `retries` the number of restarts allowed after failed attempts.
  ExperimentRun(int experiment, const std::vector<bool>& considered, const StoppingRule& rule,
                uint32_t seed, int retries);
  ~ExperimentRun();

  ExperimentRun(const ExperimentRun&) = delete;
  ExperimentRun& operator=(const ExperimentRun&) = delete;

  // Takes over what earlier segments of the study collected: their
  // attempts (all ended) and the test's decision, if one was made under
  // the same test. A run that already has all the rule needs is finished
  // as complete at once. REQUIRES: nothing started yet.
  void Restore(const std::vector<SimulatorAttempt>& prior, SequentialTest::Decision decision);

  // Starts the simulator of the next attempt. A start that fails ends the
  // attempt (and finishes the run as failed: it is not retried), unless
  // `launch.waitIfShort` keeps it waiting to start (GetState() stays
  // kPending).
  // REQUIRES: GetState() == kPending.
  void Start(const Launch& launch);
  void AddPollEntries(std::vector<pollfd>& entries);
  // Acts on what the last poll reported (`entries` as filled by every
  // run's AddPollEntries) and on deadlines.
  void Service(const std::vector<pollfd>& entries);
  // Asks the simulator to stop (command 2) and keeps what was collected,
  // marked incomplete; a run not yet sending data is ended at once (through
  // the ending state when it has a launcher), and one waiting to be started
  // again is finished.
  void Interrupt();
  // Ends the simulator at once (SIGKILL; a launcher gets SIGTERM first).
  // A run that had not all it needs finishes as failed, or, when the user
  // asked for the end (`byUser`: a second interrupt), as incomplete, as
  // one stopped at its next hand-over would: what arrived whole is kept.
  void Abort(const std::string& reason, bool byUser = false);
  // How long after an interrupt the run is given to stop before it is
  // aborted, with `timeout` the longest wait for a simulator's next sign
  // of life. A simulator reads the quit command only at its next hand-over,
  // and a large report size (-n) can put more than the usual 10 s between
  // two: a run that has handed over is given twice the longest time its
  // simulator took between records, and at least 10 s; one that has not
  // handed over yet, the whole timeout. Never more than the timeout.
  double ShutdownSeconds(double timeout) const;

  int Experiment() const { return experiment; }
  State GetState() const { return state; }
  bool Active() const { return state != kPending && state != kFinished; }
  // True when the run waits for the manager to start an attempt: never
  // started, or failed with retries left.
  bool WaitingToStart() const { return state == kPending; }
  // True when the run waits to start and may be started now: an attempt
  // whose launcher ended before the simulator announced its port (ssh that
  // cannot reach its host, srun refused) is started again only after a
  // pause, longer for each such attempt in a row, so that a daemon being
  // restarted has time to come back before the next of the retries.
  bool ReadyToStart() const { return state == kPending && Clock::now() >= startNotBefore; }
  // True once an attempt has been started by this manager.
  bool Started() const { return startedHere; }
  Outcome GetOutcome() const { return outcome; }
  // True when the rule stopped the run before the replication limit.
  bool PrecisionMet() const { return precisionMet; }
  const std::string& FailureReason() const { return failureReason; }
  // The tail of the current simulator's standard error and standard output.
  std::string LastWords() const;
  // Merged over everything collected (the pilot's observations apart).
  const std::vector<RunningStatistics>& Statistics() const { return statistics; }
  // The rule, in two-stage mode as planned from the pilot once it is in.
  const StoppingRule& Rule() const { return rule; }
  // Pilot replications collected (two-stage mode; 0 otherwise).
  int64_t PilotReplications() const { return rule.Pilot() > 0 ? PilotCount() : 0; }
  // Replications used: the fewest observations of any variable.
  int64_t Replications() const;
  // Replications the rule may still use, a pilot's still to come included
  // (the batch limit of a new attempt).
  int64_t Remaining() const;
  double CpuSeconds() const;
  uint32_t Seed() const { return primarySeed; }
  // Ended attempts, in order; the one running is not among them.
  const std::vector<SimulatorAttempt>& Attempts() const { return attempts; }
  // The ASCII files (`launch.asciiFile`) of the ended attempts, of every
  // segment, whose simulator reported that a write to it failed, each as
  // "FILE: REASON": such a file lacks observations that were handed over
  // and counted.
  std::vector<std::string> AsciiFilesCut() const;
  // The whole replications `attempt` delivered: the fewest observations,
  // its pilot's included, of any variable the experiment waits for.
  int64_t ReplicationsOf(const SimulatorAttempt& attempt) const;
  // The running attempt (ending kRunning) as it stands; null when none runs
  // (also while a launcher is given time to stop an attempt that has
  // ended: that attempt is among the ended ones then).
  const SimulatorAttempt* RunningAttempt() const { return Active() && state != kEnding ? &current : nullptr; }
  // The time since the running attempt was started.
  double RunningAttemptSeconds() const;
  // Grows whenever observations are taken in or an attempt ends.
  uint64_t DataVersion() const { return dataVersion + attempts.size(); }
  // The test as it stands (test mode).
  const SequentialTest& Test() const { return test; }
  // Attempts of `segment` that have ended; the number of the next one.
  int EndedInSegment(int segment) const;
  // The port requested and the port announced (0 until announced), for
  // the running attempt.
  int RequestedPort() const { return launch.port; }
  int AnnouncedPort() const { return announcedPort; }
  const std::string& Host() const { return launch.host; }
  // The hosts on which the attempts that ended before announcing their
  // port, in a row up to the last ended attempt, were started; empty after
  // any other ending.
  const std::set<std::string>& EarlyEndHosts() const { return earlyEndHosts; }
  // Elapsed time, as CpuSeconds, of every segment: the attempts restored
  // from earlier segments, and the time since this manager first started
  // the experiment until it finished (or now).
  double WallSeconds() const;
  // Estimated replications in all (progress display only).
  int64_t EstimateNeeded() const;

 private:
  void Enter(State next);
  // Ends the running attempt with `ending` and decides what follows.
  void Fail(SimulatorAttempt::Ending ending, const std::string& reason);
  // The ending of an attempt whose process has ended unexpectedly.
  SimulatorAttempt::Ending EndedEnding() const;
  // Fails the attempt in kClosed: by how its process ended, or, while it
  // runs on, as a failed connection.
  void FailClosed();
  void EndAttempt(SimulatorAttempt::Ending ending, const std::string& reason);
  // Notes in the running attempt that its simulator reported its ASCII
  // file cut, once it has.
  void NoteAsciiCut();
  void Finish(Outcome result);
  // Ends the process, then finishes the run with `result`, or with `retry`
  // leaves it waiting to be started again.
  void EndProcess(Outcome result, bool retry);
  void AfterEnd();
  void CloseSocket();
  void BeginConnect();
  void HandleConnectResult();
  void ReadSocket(size_t limit);
  void HandleMessage(const SimMgrMessage& message);
  void HandleData(const SimMgrMessage& message);
  bool CheckSender(const SimMgrMessage& message);
  void SendQuit();
  // Asks the running simulator for a sign of life (command 1), which it
  // answers at its next hand-over, also at one whose records it holds back.
  void SendPing();
  // In kExiting, once the process has ended: reads what the connection
  // still holds, then ends the attempt by the process's exit status.
  void EndExited();
  // How the running attempt's connection ended in kExiting, for its
  // reports: "its quit reply", or the connection closed in place of it.
  std::string QuitEnd() const;
  // Sends one command byte; send's result (errno set when it is -1).
  ssize_t SendCommand(char command);
  bool Done();
  std::string CommandLine(const std::vector<std::string>& arguments) const;

  // Two-stage mode: the pilot's observations, fewest over the variables.
  int64_t PilotCount() const;
  // Two-stage mode: plans the rest once the pilot is in.
  void PlanAfterPilot();

  const int experiment;
  // Planned once the pilot is in (two-stage mode).
  StoppingRule rule;
  const std::vector<bool> considered;
  const uint32_t primarySeed;
  const int retries;
  Launch launch;
  std::string connectHost;  // launch.host, or the host the launcher announced
  SimulatorProcess process;
  SimMgrStream stream;
  int socketFd = -1;
  short socketEvents = 0;
  int socketSlot = -1;
  int outSlot = -1;
  int errSlot = -1;
  int announcedPort = 0;
  unsigned long simulatorPid = 0;
  bool checkPid = true;
  State state = kPending;
  Outcome outcome = kNotRun;
  Outcome endingOutcome = kNotRun;
  bool endingRetry = false;
  bool interrupted = false;
  bool startedHere = false;
  bool accepting = true;
  // Everything the rule needs has arrived.
  bool satisfied = false;
  bool precisionMet = false;
  Clock::time_point deadline;
  Clock::time_point retryAt;
  // The running attempt ended before announcing its port; attempts in a
  // row that did so; when the next attempt may start (see ReadyToStart).
  bool endedBeforeAnnouncing = false;
  int earlyEndsInARow = 0;
  std::set<std::string> earlyEndHosts;
  Clock::time_point startNotBefore;
  Clock::time_point started;
  // The elapsed time of the attempts restored from earlier segments.
  double restoredWallSeconds = 0.0;
  Clock::time_point attemptStarted;
  Clock::time_point ended;
  // The running attempt's last record (or its greeting), and the longest
  // time between two of them; whether a record has come at all.
  Clock::time_point lastRecord;
  double longestGapSeconds = 0.0;
  bool recordSeen = false;
  // A command 1 sent to the running attempt and not yet answered.
  bool pingSent = false;
  // Whether the running attempt's simulator answered the quit command (in
  // kExiting, its connection may instead have ended in place of the reply).
  bool quitReplied = false;
  std::string failureReason;
  // In kClosed: what happened to the connection.
  std::string closedReason;
  std::vector<RunningStatistics> statistics;
  std::vector<RunningStatistics> pilot;
  SimulatorAttempt current;
  std::vector<SimulatorAttempt> attempts;
  SequentialTest test;
  uint64_t dataVersion = 0;
};

#endif
