#include "simmgr/SimulationManager.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <new>
#include <nlohmann/json.hpp>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/ProcessServices.h"
#include "simmgr/MemoryReserve.h"
#include "simmgr/NumberText.h"

namespace {

volatile sig_atomic_t signalCount = 0;
volatile sig_atomic_t hungUp = 0;

void OnSignal(int) { signalCount = signalCount + 1; }

// A closed terminal or a lost ssh session delivers SIGHUP more than once
// (from the shell and from the kernel as the shell ends): it asks for the
// orderly stop, never for the second, harder one.
void OnHangUp(int) { hungUp = 1; }

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// What each experiment used in the run that wrote `path` (a results.json):
// experiment -> replications. A file that is missing, too large, not JSON or
// not of that shape gives nothing; it only orders the starts.
std::map<int, int64_t> PreviousReplications(const std::string& path) {
  std::map<int, int64_t> used;
  std::ifstream in(path, std::ios::binary);
  if (!in) return used;
  std::string text;
  const size_t kLargest = 64 << 20;
  char buffer[65536];
  while (in.read(buffer, sizeof(buffer)) || in.gcount() > 0) {
    text.append(buffer, static_cast<size_t>(in.gcount()));
    if (text.size() > kLargest) return used;
  }
  // Read for the order alone: brackets nested past any results of ours
  // are not parsed (ten million levels took more memory than the study).
  if (StudyState::NestsDeeperThan(text, 32)) return used;
  const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
  if (!document.is_object() || !document.contains("experiments") ||
      !document["experiments"].is_array()) {
    return used;
  }
  for (const nlohmann::json& e : document["experiments"]) {
    if (!e.is_object() || !e.contains("experiment") || !e.contains("replications")) continue;
    const nlohmann::json& k = e["experiment"];
    const nlohmann::json& n = e["replications"];
    if (!k.is_number_integer() || !n.is_number_integer()) continue;
    const int64_t replications = n.get<int64_t>();
    if (replications > 0) used[k.get<int>()] = replications;
  }
  return used;
}

}  // namespace

void SimulationManager::InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  // The count's increment is a read and a write: a SIGTERM whose handler
  // ran between the two in a SIGINT's would be lost, and two signals taken
  // for one. Held back while a handler runs, it is counted after.
  sigemptyset(&action.sa_mask);
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGTERM);
  // No SA_RESTART: a signal ends the poll at once.
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A hang-up ignored when simmgr started (nohup) stays ignored.
  struct sigaction hangUp {};
  if (sigaction(SIGHUP, nullptr, &hangUp) == 0 && hangUp.sa_handler != SIG_IGN) {
    action.sa_handler = OnHangUp;
    sigaction(SIGHUP, &action, nullptr);
  }
  // Blocked when simmgr started (by a launcher that blocks them around its
  // fork), Ctrl-C and SIGTERM would never arrive, and the study could be
  // ended only by SIGKILL, its results not written; the simulators, which
  // inherit the mask, would not take the SIGTERM that ends them either.
  KorvanUnblockStopSignals();
  // SIGCHLD ignored when simmgr started (a parent that ignores it passes
  // that on) would have the simulators reaped unseen: their exit statuses
  // lost, every ending recorded as "exited with status -1", and a process
  // group signalled after its number may have been taken again.
  signal(SIGCHLD, SIG_DFL);
  signal(SIGPIPE, SIG_IGN);
  // A file-size limit (ulimit -f) reached while writing a result or the
  // saved state fails that write with EFBIG, which is reported like a full
  // disk, instead of ending the manager with its temporary files left.
  signal(SIGXFSZ, SIG_IGN);
}

int SimulationManager::SignalsReceived() { return signalCount; }

bool SimulationManager::HangUpReceived() { return hungUp != 0; }

std::string SimulationManager::AsciiFile(const std::string& dir, int experiment, int segment, int attempt) {
  return (dir.compare(0, 1, "-") == 0 ? "./" : "") + dir + "/experiment" + std::to_string(experiment) +
         (segment > 0 ? "-segment" + std::to_string(segment) : "") +
         (attempt > 0 ? "-attempt" + std::to_string(attempt) : "") + ".txt";
}

int64_t SimulationManager::BatchLimit(int64_t remaining) {
  return remaining <= 2147483647 ? remaining : 0;
}

SimulationManager::SimulationManager(const SimMgrOptions& options, const StudyTable& study,
                                     const std::vector<int>& experiments,
                                     const SeedSequence& seeds,
                                     const std::string& simulatorPath, std::ostream& progress)
    : options(options),
      study(study),
      seeds(seeds),
      simulatorPath(simulatorPath),
      progress(progress),
      tty(isatty(STDERR_FILENO) == 1) {
  std::vector<bool> considered;
  for (const StudyTable::RewardVariable& reward : study.Rewards()) considered.push_back(reward.terminating);
  for (int k : experiments) {
    runs.emplace_back(new ExperimentRun(k, considered, options.rule, seeds.Seed(k, 0, 0), options.retries));
  }
  reported.assign(runs.size(), false);
  reportedAttempts.assign(runs.size(), 0);

  // Longest expected first; no expectation counts as the longest.
  const std::map<int, int64_t> previous = PreviousReplications(options.outDir + "/results.json");
  std::vector<int64_t> expected(runs.size(), INT64_MAX);
  for (size_t i = 0; i < runs.size(); ++i) {
    const auto found = previous.find(runs[i]->Experiment());
    if (found != previous.end()) expected[i] = found->second;
  }
  for (size_t i = 0; i < runs.size(); ++i) startOrder.push_back(i);
  std::stable_sort(startOrder.begin(), startOrder.end(),
                   [&expected](size_t a, size_t b) { return expected[a] > expected[b]; });
}

SimulationManager::~SimulationManager() {
  if (spareFd != -1) close(spareFd);
}

bool SimulationManager::HoldsPlace(const ExperimentRun& run) {
  const ExperimentRun::State state = run.GetState();
  return run.Active() && state != ExperimentRun::kQuitting && state != ExperimentRun::kExiting;
}

std::string SimulationManager::ChooseHost(const ExperimentRun& run) const {
  if (options.hosts.empty()) return "127.0.0.1";
  // The host with the fewest running simulators, the first of equals. A
  // host that could not start the run's last attempts (sshd down, say) has
  // none running and would be chosen again and again while the others are
  // busy, spending the retries there: another host is taken while there is
  // one.
  // So is a host whose last attempt, of any experiment, ended so, unless a
  // simulator there has announced its port since: an experiment starting
  // for the first time would otherwise try it first, at the cost of one of
  // its retries (all of them, with --retries 0).
  std::set<std::string> refused = run.EarlyEndHosts();
  std::map<std::string, int> load;
  std::set<std::string> answering;
  for (const auto& other : runs) {
    if (!other->Active()) continue;
    ++load[other->Host()];
    if (other->AnnouncedPort() > 0) answering.insert(other->Host());
  }
  for (const std::string& host : hostsEndingEarly) {
    if (answering.count(host) == 0) refused.insert(host);
  }
  bool anyOther = false;
  for (const std::string& host : options.hosts) anyOther = anyOther || refused.count(host) == 0;
  std::string best;
  for (const std::string& host : options.hosts) {
    if (anyOther && refused.count(host) != 0) continue;
    if (best.empty() || load[host] < load[best]) best = host;
  }
  return best;
}

int SimulationManager::ChoosePort(const std::string& host) const {
  std::set<int> claimed;
  for (const auto& run : runs) {
    if (!run->Active() || run->Host() != host) continue;
    claimed.insert(run->RequestedPort());
    if (run->AnnouncedPort() > 0) claimed.insert(run->AnnouncedPort());
  }
  for (int port = options.port; port <= 65535; ++port) {
    if (claimed.count(port) == 0) return port;
  }
  return -1;
}

size_t SimulationManager::NotStarted() const {
  size_t count = 0;
  for (const auto& run : runs) count += run->WaitingToStart() && !run->Started() ? 1 : 0;
  return count;
}

void SimulationManager::SaveStateTo(const std::string& path, const StudyState& prototype) {
  statePath = path;
  statePrototype = prototype;
  // A resume reads the state in this file.
  stateOnDisk = !options.resume.empty();
  if (spareFd == -1) spareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  stateHead.clear();
  stateTexts.clear();
  stateMade.clear();
}

StudyState::Experiment SimulationManager::ExperimentState(const ExperimentRun& run) const {
  StudyState::Experiment e;
  e.experiment = run.Experiment();
  e.attempts = run.Attempts();
  if (const SimulatorAttempt* running = run.RunningAttempt()) {
    SimulatorAttempt now = *running;
    // As an ended attempt counts them; and its time so far, which a
    // resumed study adds to the experiment's elapsed time.
    now.replications = run.ReplicationsOf(now);
    now.wallSeconds = run.RunningAttemptSeconds();
    e.attempts.push_back(now);
  }
  if (options.rule.Hypothesis()) {
    e.decision = run.Test().Current();
    e.decisionReplications = e.decision == SequentialTest::kUndecided ? 0 : run.Test().Count();
  }
  return e;
}

StudyState SimulationManager::State() const {
  StudyState state = statePrototype;
  state.experiments.clear();
  for (const auto& run : runs) state.experiments.push_back(ExperimentState(*run));
  return state;
}

// The file is rewritten after every pass that took in data, so its parts
// are kept: the head never changes during a run, and the entry of an
// experiment with no simulator running is the same as long as its data
// version is (its attempts have ended, its decision follows its data).
// Only the entries of running experiments are made again.
void SimulationManager::SaveState(bool final) {
  if (statePath.empty()) return;
  uint64_t version = 0;
  for (const auto& run : runs) version += run->DataVersion();
  if (!final && version == savedVersion) return;
  savedVersion = version;
  std::string error;
  if (spareFd != -1) close(spareFd);
  bool written = false;
  // Memory that runs out while the state is made or written fails this
  // save as a full disk does: the study goes on, and the state saved
  // before stays whole. An entry is noted as made only once its text is.
  try {
    if (stateHead.empty()) stateHead = statePrototype.HeadText();
    stateTexts.resize(runs.size());
    stateMade.resize(runs.size());
    for (size_t i = 0; i < runs.size(); ++i) {
      const ExperimentRun& run = *runs[i];
      EntryMade& made = stateMade[i];
      const bool settled = !run.Active() && run.RunningAttempt() == nullptr;
      if (made.settled && settled && made.version == run.DataVersion()) continue;
      stateTexts[i] = StudyState::ExperimentText(ExperimentState(run));
      made.version = run.DataVersion();
      made.settled = settled;
    }
    // The last state is kept on the disk like the results; the ones before
    // it, written after every pass, are not waited for.
    written = StudyState::Write(statePath, stateHead, stateTexts, error, final);
  } catch (const std::bad_alloc&) {
    error = std::strerror(ENOMEM);
    written = false;
  }
  spareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (written) stateOnDisk = true;
  if (final) finalStateSaved = written;
  // The study goes on; only taking it further later would need the file.
  // A state saved before is still whole (the file is replaced only by a
  // whole new one), and a resume goes on from it. The last save's failure
  // is reported even when an earlier one was: it is the one that counts.
  const int warning = written ? 0 : stateOnDisk ? 2 : 1;
  if (warning != 0 && (warning != stateWarned || final)) {
    stateWarned = warning;
    if (tty && progressWidth > 0) progress << "\r\033[K";
    progressWidth = 0;
    if (warning == 1) {
      progress << "simmgr: cannot save the study's state, so it cannot be resumed: " << error << "\n";
    } else if (final) {
      progress << "simmgr: cannot save the study's final state (" << error
               << "); the state saved before lacks what came after it, and --resume would take the study "
                  "further from there, not from these results\n";
    } else {
      progress << "simmgr: cannot save the study's latest state (" << error
               << "); --resume takes the study further from the state saved before\n";
    }
  }
}

// Notes, for each host, whether its latest attempt to end had announced a
// port (see ChooseHost); attempts are looked at as soon as they end, while
// their launchers may still be stopping.
void SimulationManager::NoteEndedAttempts() {
  notedAttempts.resize(runs.size(), 0);
  for (size_t i = 0; i < runs.size(); ++i) {
    const std::vector<SimulatorAttempt>& attempts = runs[i]->Attempts();
    for (; notedAttempts[i] < attempts.size(); ++notedAttempts[i]) {
      const SimulatorAttempt& attempt = attempts[notedAttempts[i]];
      if (attempt.port > 0) {
        hostsEndingEarly.erase(attempt.launchHost);
      } else if (attempt.ending != SimulatorAttempt::kInterrupted) {
        hostsEndingEarly.insert(attempt.launchHost);
      }
    }
  }
}

void SimulationManager::StartRuns() {
  NoteEndedAttempts();
  const int jobs = options.jobs;
  int active = 0;
  bool anyActive = false;
  for (const auto& run : runs) {
    active += HoldsPlace(*run) ? 1 : 0;
    anyActive = anyActive || run->Active();
  }
  while (!interrupted && active < jobs) {
    // Experiments to start again come first: they hold results already.
    ExperimentRun* next = nullptr;
    for (const auto& run : runs) {
      if (run->ReadyToStart() && run->Started()) {
        next = run.get();
        break;
      }
    }
    for (size_t i = 0; next == nullptr && i < startOrder.size(); ++i) {
      if (runs[startOrder[i]]->ReadyToStart()) next = runs[startOrder[i]].get();
    }
    if (next == nullptr) break;
    ExperimentRun& run = *next;
    ExperimentRun::Launch launch;
    launch.simulator = simulatorPath;
    launch.launcher = options.launcher;
    launch.host = ChooseHost(run);
    launch.port = ChoosePort(launch.host);
    // Every port up to the last is claimed: wait for one to be released.
    if (launch.port < 0) break;
    launch.segment = segment;
    const int attempt = run.EndedInSegment(segment);
    launch.seed = seeds.Seed(run.Experiment(), segment, attempt);
    launch.generator = options.generator;
    launch.reportSize = options.reportSize;
    if (!options.asciiDir.empty()) {
      // The first attempt's file keeps its name; a later segment and a
      // retry get their own, so that no attempt's observations overwrite
      // another's.
      launch.asciiFile = AsciiFile(options.asciiDir, run.Experiment(), segment, attempt);
      // A file of that name in a reused folder is an earlier study's, or
      // the file of a simulator whose manager was killed (or of a resume
      // killed before it saved anything, whose names this one reuses).
      // Such a simulator runs on until its next hand-over and then writes
      // that hand-over's rows through the descriptor it holds: emptied in
      // place, the file would take them among this attempt's own rows. And
      // a simulator that never opens its own (killed while it waits for this
      // manager) would leave the earlier file beside this study's, to be
      // read as this attempt's. So a regular file there is removed, and the
      // simulator makes a new one (another name of a hard-linked file keeps
      // what it held); a late writer's rows go to the old. No study needs
      // it: a resume reads its state, not these files, and gives its own
      // segment's names, which no earlier attempt had. A symbolic link, a
      // FIFO or a device there was put by the user, and is left as it is.
      struct stat info;
      if (lstat(launch.asciiFile.c_str(), &info) == 0 && S_ISREG(info.st_mode)) unlink(launch.asciiFile.c_str());
    }
    // Rounded up: a timeout below a millisecond is not one of none.
    launch.timeoutMs = static_cast<int>(std::ceil(options.timeoutSeconds * 1000.0));
    // The simulator stops by itself at the most the rule can still use, and
    // writes its last observations at once when it does.
    launch.batchLimit = BatchLimit(run.Remaining());
    // Short of descriptors or processes while other simulators run (or
    // stop): it waits for one of them to end instead of failing.
    launch.waitIfShort = anyActive;
    run.Start(launch);
    if (run.WaitingToStart()) break;
    anyActive = anyActive || run.Active();
    if (HoldsPlace(run)) ++active;
  }
}

void SimulationManager::ReportAttempt(const ExperimentRun& run, const SimulatorAttempt& attempt,
                                      bool last) {
  const std::string k = std::to_string(run.Experiment());
  if (last && run.GetOutcome() == ExperimentRun::kFailed) {
    progress << "simmgr: experiment " << k << " failed: " << run.FailureReason();
    if (attempt.number > 0) progress << " (attempt " << attempt.number + 1 << ", no retries left)";
    progress << "\n";
  } else if (last && run.GetOutcome() == ExperimentRun::kComplete) {
    progress << "simmgr: experiment " << k << ": " << attempt.reason
             << "; everything it needed had arrived, so it is complete\n";
  } else {
    progress << "simmgr: experiment " << k << ", attempt " << attempt.number + 1 << " (seed "
             << attempt.seed << "): " << attempt.reason << " after " << attempt.replications
             << " replications; ";
    if (run.GetState() == ExperimentRun::kFinished) {
      progress << "not started again\n";
    } else {
      progress << "starting it again (retry " << attempt.number + 1 << " of " << options.retries
               << ")\n";
    }
  }
  if (!attempt.lastWords.empty()) {
    progress << "simmgr: last output of the simulator of experiment " << k << ":\n" << attempt.lastWords;
  }
}

void SimulationManager::ReportFinished() {
  for (size_t i = 0; i < runs.size(); ++i) {
    const ExperimentRun& run = *runs[i];
    // A launcher still ending: what follows its attempt is not known yet.
    if (run.GetState() == ExperimentRun::kEnding) continue;
    const std::vector<SimulatorAttempt>& attempts = run.Attempts();
    const bool finished = run.GetState() == ExperimentRun::kFinished;
    for (; reportedAttempts[i] < attempts.size(); ++reportedAttempts[i]) {
      const SimulatorAttempt& attempt = attempts[reportedAttempts[i]];
      const bool last = finished && reportedAttempts[i] + 1 == attempts.size();
      const bool failedHere = last && run.GetOutcome() == ExperimentRun::kFailed;
      if (attempt.ending == SimulatorAttempt::kDone ||
          (attempt.ending == SimulatorAttempt::kInterrupted && !failedHere)) {
        continue;
      }
      if (tty && progressWidth > 0) progress << "\r\033[K";
      progressWidth = 0;
      ReportAttempt(run, attempt, last);
    }
    if (reported[i] || !finished) continue;
    reported[i] = true;
    // A run that failed without an attempt of its own to blame.
    if (run.GetOutcome() == ExperimentRun::kFailed && attempts.empty()) {
      if (tty && progressWidth > 0) progress << "\r\033[K";
      progressWidth = 0;
      progress << "simmgr: experiment " << run.Experiment() << " failed: " << run.FailureReason() << "\n";
    }
  }
  progress.flush();
}

void SimulationManager::ShowProgress(bool force) {
  const Clock::time_point now = Clock::now();
  const double sinceLast = Seconds(now - lastProgress);
  if (!force && sinceLast < (tty ? 0.25 : 5.0)) return;
  int done = 0, running = 0, failed = 0, stopped = 0;
  int64_t replications = 0;
  int64_t remaining = 0;
  int64_t neededSum = 0;
  int neededCount = 0;
  for (const auto& run : runs) {
    // A pilot is simulated like the rest, though not in the estimates.
    const int64_t used = run->Replications() + run->PilotReplications();
    replications += used;
    if (run->GetState() == ExperimentRun::kFinished) {
      // One stopped by an interrupt is not done: the table calls it
      // incomplete.
      if (run->GetOutcome() == ExperimentRun::kIncomplete) {
        ++stopped;
      } else {
        ++done;
      }
      if (run->GetOutcome() == ExperimentRun::kFailed) ++failed;
      neededSum += used;
      ++neededCount;
    } else if (run->Active()) {
      ++running;
      const int64_t needed = run->EstimateNeeded();
      remaining += std::max<int64_t>(needed - used, 0);
      neededSum += needed;
      ++neededCount;
    }
  }
  // Runs not started yet are taken to need what the others needed on
  // average; after an interrupt none will be.
  const int64_t pending = interrupted ? 0 : static_cast<int64_t>(NotStarted());
  if (pending > 0) {
    const int64_t typical = neededCount > 0 ? neededSum / neededCount : options.rule.Fixed()
                                                                          ? options.rule.replications
                                                                          : options.rule.minReplications;
    remaining += pending * typical;
  }
  if (sinceLast > 0.0 && lastProgress != Clock::time_point()) {
    const double current = static_cast<double>(replications - lastReplications) / sinceLast;
    rate = rate == 0.0 ? current : 0.7 * rate + 0.3 * current;
  }
  lastReplications = replications;
  lastProgress = now;
  char line[256];
  std::snprintf(line, sizeof(line),
                "simmgr: %d/%zu experiments done, %d running%s%s | %lld replications, %.0f/s | "
                "elapsed %s, left about %s",
                done, runs.size(), running,
                failed > 0 ? (", " + std::to_string(failed) + " failed").c_str() : "",
                stopped > 0 ? (", " + std::to_string(stopped) + " stopped").c_str() : "",
                static_cast<long long>(replications), rate,
                NumberText::Duration(Seconds(now - begin)).c_str(),
                rate > 0.0 ? NumberText::Duration(static_cast<double>(remaining) / rate).c_str()
                           : "--:--");
  if (tty) {
    progress << "\r\033[K" << line;
    progressWidth = sizeof(line);
  } else {
    progress << line << "\n";
  }
  progress.flush();
}

void SimulationManager::Run() {
  // The attempts of earlier segments of a resumed study were reported when
  // they ended.
  for (size_t i = 0; i < runs.size(); ++i) reportedAttempts[i] = runs[i]->Attempts().size();
  // Attempts of earlier segments say nothing of the hosts now.
  notedAttempts = reportedAttempts;
  begin = Clock::now();
  lastProgress = Clock::time_point();
  Clock::time_point interruptedAt{};
  int signalsSeen = 0;
  for (;;) {
    const int signals = SignalsReceived();
    if (signals > signalsSeen || (HangUpReceived() && !interrupted)) {
      // Two signals counted before the loop came round are two presses:
      // the first stops the simulators, the second ends them at once.
      const bool second = interrupted || signals - signalsSeen >= 2;
      signalsSeen = signals;
      if (!interrupted) {
        interrupted = true;
        if (tty && progressWidth > 0) progress << "\r\033[K";
        progress << "simmgr: interrupted; stopping the simulators (again to end them at once)\n";
        progressWidth = 0;
        for (const auto& run : runs) run->Interrupt();
        interruptedAt = Clock::now();
      }
      if (second) {
        for (const auto& run : runs) run->Abort("ended at once after a second interrupt", true);
      }
    }
    if (interrupted) {
      // Each run has as long as its simulator takes to come to its next
      // hand-over, where it reads the quit command (see ShutdownSeconds).
      const double since = Seconds(Clock::now() - interruptedAt);
      for (const auto& run : runs) {
        if (run->Active() && since >= run->ShutdownSeconds(options.timeoutSeconds)) {
          run->Abort("did not stop within the shutdown time");
        }
      }
    }
    StartRuns();
    ReportFinished();
    bool anyActive = false;
    bool anyWaiting = false;
    for (const auto& run : runs) {
      anyActive = anyActive || run->Active();
      anyWaiting = anyWaiting || run->WaitingToStart();
    }
    if (!anyActive && (interrupted || !anyWaiting)) break;

    std::vector<pollfd> entries;
    for (const auto& run : runs) run->AddPollEntries(entries);
    // Deadlines and connection retries are checked at least this often.
    const int waitMs = 50;
    const int ready = poll(entries.data(), entries.size(), waitMs);
    if (ready < 0 && errno != EINTR) {
      for (pollfd& entry : entries) entry.revents = 0;
    }
    if (ready < 0) continue;
    for (const auto& run : runs) run->Service(entries);
    SaveState(false);
    ShowProgress(false);
    // A part of the reserve given back when memory ran out is taken again
    // once there is memory for it.
    MemoryReserve::Arm();
  }
  SaveState(true);
  ShowProgress(true);
  if (tty) progress << "\n";
  progress.flush();
  wallSeconds = Seconds(Clock::now() - begin);
}
