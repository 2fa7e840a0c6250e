#include "simmgr/SimulationManager.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <map>
#include <set>
#include <unistd.h>

namespace {

volatile sig_atomic_t signalCount = 0;

void OnSignal(int) { signalCount = signalCount + 1; }

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string Clocktime(double seconds) {
  if (!(seconds >= 0.0) || seconds > 359999.0) return "--:--";
  const long s = static_cast<long>(seconds + 0.5);
  char text[32];
  if (s >= 3600) {
    std::snprintf(text, sizeof(text), "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  } else {
    std::snprintf(text, sizeof(text), "%ld:%02ld", s / 60, s % 60);
  }
  return text;
}

}  // namespace

void SimulationManager::InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a signal ends the poll at once.
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

int SimulationManager::SignalsReceived() { return signalCount; }

SimulationManager::SimulationManager(const SimMgrOptions& options, const StudyTable& study,
                                     const std::vector<int>& experiments,
                                     const std::vector<uint32_t>& seeds,
                                     const std::string& simulatorPath, std::ostream& progress)
    : options(options),
      study(study),
      seeds(seeds),
      simulatorPath(simulatorPath),
      progress(progress),
      tty(isatty(STDERR_FILENO) == 1) {
  std::vector<bool> considered;
  for (const StudyTable::RewardVariable& reward : study.Rewards()) considered.push_back(reward.terminating);
  for (int k : experiments) runs.emplace_back(new ExperimentRun(k, considered, options.rule));
  reported.assign(runs.size(), false);
}

std::string SimulationManager::ChooseHost() const {
  if (options.hosts.empty()) return "127.0.0.1";
  // The host with the fewest running simulators, the first of equals.
  std::map<std::string, int> load;
  for (const auto& run : runs) {
    if (run->Active()) ++load[run->Host()];
  }
  std::string best = options.hosts.front();
  for (const std::string& host : options.hosts) {
    if (load[host] < load[best]) best = host;
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
  int port = options.port;
  while (claimed.count(port) != 0 && port < 65535) ++port;
  return port;
}

void SimulationManager::StartRuns() {
  const int jobs = options.jobs;
  int active = 0;
  for (const auto& run : runs) active += run->Active() ? 1 : 0;
  while (!interrupted && active < jobs && nextToStart < runs.size()) {
    ExperimentRun& run = *runs[nextToStart];
    ExperimentRun::Launch launch;
    launch.simulator = simulatorPath;
    launch.launcher = options.launcher;
    launch.host = ChooseHost();
    launch.port = ChoosePort(launch.host);
    launch.seed = seeds[nextToStart];
    launch.generator = options.generator;
    launch.reportSize = options.reportSize;
    if (!options.asciiDir.empty()) {
      launch.asciiFile = options.asciiDir + "/experiment" + std::to_string(run.Experiment()) + ".txt";
    }
    launch.timeoutMs = static_cast<int>(options.timeoutSeconds * 1000.0);
    // The simulator stops by itself at the most the rule can use, and writes
    // its last observations at once when it does.
    launch.batchLimit = std::min<int64_t>(options.rule.Limit(), 2147483647);
    run.Start(launch);
    ++nextToStart;
    if (run.Active()) ++active;
  }
}

void SimulationManager::ReportFinished() {
  for (size_t i = 0; i < runs.size(); ++i) {
    const ExperimentRun& run = *runs[i];
    if (reported[i] || run.GetState() != ExperimentRun::kFinished) continue;
    reported[i] = true;
    if (run.GetOutcome() != ExperimentRun::kFailed) continue;
    if (tty && progressWidth > 0) progress << "\r\033[K";
    progress << "simmgr: experiment " << run.Experiment() << " failed: " << run.FailureReason()
             << "\n";
    const std::string words = run.LastWords();
    if (!words.empty()) {
      progress << "simmgr: last output of the simulator of experiment " << run.Experiment() << ":\n"
               << words;
    }
    progress.flush();
    progressWidth = 0;
  }
}

void SimulationManager::ShowProgress(bool force) {
  const Clock::time_point now = Clock::now();
  const double sinceLast = Seconds(now - lastProgress);
  if (!force && sinceLast < (tty ? 0.25 : 5.0)) return;
  int done = 0, running = 0, failed = 0;
  int64_t replications = 0;
  int64_t remaining = 0;
  int64_t neededSum = 0;
  int neededCount = 0;
  for (const auto& run : runs) {
    replications += run->Replications();
    if (run->GetState() == ExperimentRun::kFinished) {
      ++done;
      if (run->GetOutcome() == ExperimentRun::kFailed) ++failed;
      neededSum += run->Replications();
      ++neededCount;
    } else if (run->Active()) {
      ++running;
      const int64_t needed = run->EstimateNeeded();
      remaining += std::max<int64_t>(needed - run->Replications(), 0);
      neededSum += needed;
      ++neededCount;
    }
  }
  // Runs not started yet are taken to need what the others needed on
  // average.
  const int64_t pending = static_cast<int64_t>(runs.size() - nextToStart);
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
                "simmgr: %d/%zu experiments done, %d running%s | %lld replications, %.0f/s | "
                "elapsed %s, left about %s",
                done, runs.size(), running,
                failed > 0 ? (", " + std::to_string(failed) + " failed").c_str() : "",
                static_cast<long long>(replications), rate, Clocktime(Seconds(now - begin)).c_str(),
                rate > 0.0 ? Clocktime(static_cast<double>(remaining) / rate).c_str() : "--:--");
  if (tty) {
    progress << "\r\033[K" << line;
    progressWidth = sizeof(line);
  } else {
    progress << line << "\n";
  }
  progress.flush();
}

void SimulationManager::Run() {
  begin = Clock::now();
  lastProgress = Clock::time_point();
  Clock::time_point shutdownBy{};
  int signalsSeen = 0;
  for (;;) {
    const int signals = SignalsReceived();
    if (signals > signalsSeen) {
      signalsSeen = signals;
      if (!interrupted) {
        interrupted = true;
        if (tty && progressWidth > 0) progress << "\r\033[K";
        progress << "simmgr: interrupted; stopping the simulators (again to end them at once)\n";
        progressWidth = 0;
        for (const auto& run : runs) run->Interrupt();
        const double wait = std::min(options.timeoutSeconds, 10.0);
        shutdownBy = Clock::now() + std::chrono::milliseconds(static_cast<int>(wait * 1000.0));
      } else {
        for (const auto& run : runs) run->Abort("ended at once after a second interrupt");
      }
    }
    if (interrupted && Clock::now() >= shutdownBy) {
      for (const auto& run : runs) run->Abort("did not stop within the shutdown time");
    }
    StartRuns();
    ReportFinished();
    bool anyActive = false;
    for (const auto& run : runs) anyActive = anyActive || run->Active();
    if (!anyActive && (interrupted || nextToStart >= runs.size())) break;

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
    ShowProgress(false);
  }
  ShowProgress(true);
  if (tty) progress << "\n";
  progress.flush();
  wallSeconds = Seconds(Clock::now() - begin);
}
