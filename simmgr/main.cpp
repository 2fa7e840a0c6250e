// simmgr: runs a study's experiments as simulator processes and reports the
// mean and confidence interval of every reward variable.
//
// Exit status: 0 when every experiment completed; 1 when an experiment
// failed (results of the others are still written); 2 for a command-line or
// set-up error; 3 when interrupted (what was collected is written, marked
// incomplete).

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <limits.h>
#include <new>
#include <set>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/ProcessServices.h"
#include "simmgr/ExperimentSelection.h"
#include "simmgr/FolderLock.h"
#include "simmgr/MemoryReserve.h"
#include "simmgr/NumberText.h"
#include "simmgr/ResultsWriter.h"
#include "simmgr/SeedSequence.h"
#include "simmgr/SimMgrOptions.h"
#include "simmgr/SimulationManager.h"
#include "simmgr/StudyResults.h"
#include "simmgr/StudyState.h"
#include "simmgr/StudyTable.h"
#include "simulator/Version.h"

namespace {

// The plot shows the study's probability of failure against this global
// variable, one line per value of the second.
const char kPlotX[] = "power_cycle_rate";
const char kPlotSeries[] = "num_replicas";

// Creates `path` and its missing parents; those it made are added to
// `made`, parents first.
bool MakeDirectories(const std::string& path, std::vector<std::string>& made, std::string& error) {
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at != path.size() && path[at] != '/') continue;
    const std::string part = path.substr(0, at);
    if (mkdir(part.c_str(), 0777) == 0) {
      made.push_back(part);
    } else if (errno != EEXIST) {
      error = "cannot create " + part + ": " + std::strerror(errno);
      return false;
    }
  }
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    error = path + " is not a directory";
    return false;
  }
  return true;
}

// A run refused after it made folders for its results removes them again,
// newest first, so that it leaves nothing behind: only those still empty,
// and none that another simmgr, which may have taken a folder this one
// made, now holds.
void RemoveMadeFolders(const std::vector<std::string>& made, const FolderLock& outLock,
                       const FolderLock& asciiLock) {
  for (auto folder = made.rbegin(); folder != made.rend(); ++folder) {
    // The probe's lock is held until the folder is gone: released before,
    // another simmgr could take the folder in between and lose it.
    FolderLock probe;
    struct stat info;
    bool modeChanged = false;
    if (!outLock.Holds(*folder) && !asciiLock.Holds(*folder)) {
      std::string ignored;
      // Made under a umask that leaves its owner no read access (umask
      // 777), the folder cannot be opened for the probe, and was left
      // behind: it is made readable to its owner for the probe, and given
      // its mode back if it stays.
      if (lstat(folder->c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
          (info.st_mode & S_IRUSR) == 0) {
        modeChanged = chmod(folder->c_str(), (info.st_mode & 07777) | S_IRUSR) == 0;
      }
      if (!probe.Acquire(*folder, "--out", ignored)) {
        if (modeChanged) chmod(folder->c_str(), info.st_mode & 07777);
        continue;
      }
    }
    if (rmdir(folder->c_str()) != 0 && modeChanged) chmod(folder->c_str(), info.st_mode & 07777);
  }
}

bool IsProgram(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The folder of this program, with its final '/'; "" when unknown.
std::string OwnFolder() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) return "";
  const std::string path(self, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/') + 1);
}

// The simulator program: `simulator` beside this program (as built, and as
// installed), else the first `simulator` on PATH. False, with the reason,
// when there is none.
bool FindSimulator(std::string& path, std::string& error) {
  const std::string folder = OwnFolder();
  if (!folder.empty() && IsProgram(folder + "simulator")) {
    path = folder + "simulator";
    return true;
  }
  // Without PATH, the system's standard folders, as the C library's exec
  // functions use: not the working folder, which an empty list would mean.
  const char* search = std::getenv("PATH");
  std::string list;
  if (search != nullptr) {
    list = search;
  } else {
    char standard[PATH_MAX] = {};
    const size_t length = confstr(_CS_PATH, standard, sizeof(standard));
    list = length > 0 && length <= sizeof(standard) ? standard : "/bin:/usr/bin";
  }
  for (size_t from = 0; from <= list.size();) {
    size_t end = list.find(':', from);
    if (end == std::string::npos) end = list.size();
    const std::string dir = end > from ? list.substr(from, end - from) : ".";
    if (IsProgram(dir + "/simulator")) {
      path = dir + "/simulator";
      return true;
    }
    from = end + 1;
  }
  error = "cannot find the simulator program: there is none beside simmgr" +
          (folder.empty() ? std::string() : " (in " + folder + ")") +
          " and none on PATH; name it with --simulator PATH";
  return false;
}

std::string UtcText(std::time_t when) {
  std::tm parts{};
  gmtime_r(&when, &parts);
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::string WorkingDirectory() {
  char path[PATH_MAX];
  return getcwd(path, sizeof(path)) != nullptr ? path : "";
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof(name) - 1) != 0) return "";
  return name;
}

double CpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Prints the text --help or --version asked for, which is all such a run
// delivers: one that cannot be written (standard output on a full disk, or
// closed) is reported and fails the run, as the table does. A reader that
// has left early (`simmgr --help | head -3`) is no failure.
int PrintAsked(const std::string& text, const char* what) {
  errno = 0;
  std::clearerr(stdout);
  std::cout << text;
  std::cout.flush();
  std::fflush(stdout);
  const bool failed = std::cout.fail() || std::ferror(stdout) != 0;
  const int error = failed ? (errno != 0 ? errno : EIO) : 0;
  if (error == 0 || error == EPIPE) return 0;
  std::cerr << "simmgr: cannot write the " << what << " to standard output: " << std::strerror(error) << "\n";
  return 2;
}

// Set once the study's result files are in place: memory that runs out
// after that is not said to have cost them.
bool resultsWritten = false;

int RunManager(int argc, char** argv) {
  const std::time_t started = std::time(nullptr);
  SimulationManager::InstallSignalHandlers();
  SimMgrOptions options;
  std::string error;
  if (!options.Parse(argc, argv, error)) {
    std::cerr << "simmgr: " << error << "\n" << SimMgrOptions::Usage();
    return 2;
  }
  if (options.help) return PrintAsked(SimMgrOptions::Usage(), "usage text");
  if (options.version) return PrintAsked("simmgr " + KorvanVersionText() + "\n", "version");
  if (options.jobs <= 0 && options.launcherPreset == "srun") {
    // One job step per task of the allocation: a step beyond them waits
    // for a free CPU.
    const char* tasks = std::getenv("SLURM_NTASKS");
    const long n = tasks != nullptr ? std::strtol(tasks, nullptr, 10) : 0;
    if (n > 0 && n <= 4096) options.jobs = static_cast<int>(n);
  }
  if (options.jobs <= 0) {
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    options.jobs = cores > 0 ? static_cast<int>(cores) : 1;
  }
  std::string simulator = options.simulator;
  if (simulator.empty() && !FindSimulator(simulator, error)) {
    std::cerr << "simmgr: " << error << "\n";
    return 2;
  }
  // A program started through a launcher may live on another host; one
  // started here must be there now.
  if (options.launcher.empty() && !IsProgram(simulator)) {
    std::cerr << "simmgr: the simulator program " << simulator << " is not an executable file\n";
    return 2;
  }

  StudyTable study;
  study.Load();
  // A resumed study: its saved settings, checked against this program's
  // study and the command line; the new targets, if any, replace the old.
  StudyState saved;
  const bool resuming = !options.resume.empty();
  // The folders stay locked until this process ends: a second study into
  // one of them is refused rather than left to replace this one's files.
  // A resumed study's folder is locked before its state is read, so that a
  // study still running there has ended, with its last state saved.
  FolderLock outLock, asciiLock;
  if (resuming) {
    struct stat folder;
    if (stat(options.resume.c_str(), &folder) == 0 && S_ISDIR(folder.st_mode) &&
        !outLock.Acquire(options.resume, "--resume", error)) {
      std::cerr << "simmgr: " << error << "\n";
      return 2;
    }
    if (!StudyState::Load(options.resume + "/state.json", saved, error)) {
      std::cerr << "simmgr: cannot resume: " << error << "\n";
      return 2;
    }
    if (!saved.SameStudy(study, error)) {
      std::cerr << "simmgr: cannot resume " << options.resume << ": " << error << "\n";
      return 2;
    }
    if (options.Given("--generator") && options.generator != saved.generator) {
      std::cerr << "simmgr: cannot resume " << options.resume << ": it was run with generator "
                << saved.generator << ", not " << options.generator << "\n";
      return 2;
    }
    if (options.Given("--seed") && options.seed != saved.baseSeed) {
      std::cerr << "simmgr: cannot resume " << options.resume << ": it was run with base seed " << saved.baseSeed
                << ", not " << options.seed << "\n";
      return 2;
    }
    options.generator = saved.generator;
    options.seed = saved.baseSeed;
    StoppingRule rule = saved.rule;
    if (options.TargetsGiven()) {
      rule.replications = options.rule.replications;
      rule.relative = options.rule.relative;
      rule.absolute = options.rule.absolute;
      rule.test = options.rule.test;
      rule.testLabel = options.rule.testLabel;
    }
    if (options.Given("--confidence")) rule.confidence = options.rule.confidence;
    // As for a new study: a sequential test has no minimum (one saved with
    // it would be written into the state, meaning nothing).
    if (options.Given("--min-replications") && rule.Hypothesis()) {
      std::cerr << "simmgr: --test decides after every replication: --min-replications has no meaning with it\n";
      return 2;
    }
    if (options.Given("--min-replications")) rule.minReplications = options.rule.minReplications;
    if (options.Given("--max-replications") || options.TargetsGiven()) {
      rule.maxReplications = options.rule.maxReplications;
    }
    if (options.Given("--interval")) rule.method = options.rule.method;
    if (options.Given("--simultaneous")) rule.simultaneous = true;
    if (options.Given("--two-stage") && !rule.twoStage) {
      std::cerr << "simmgr: cannot resume " << options.resume << " with --two-stage: its replications were not "
                << "run with a pilot\n";
      return 2;
    }
    if (options.Given("--looks") && rule.twoStage) {
      std::cerr << "simmgr: cannot resume " << options.resume << " with --looks: it was run with a pilot, "
                << "which is not in its estimates\n";
      return 2;
    }
    if (rule.twoStage && options.TargetsGiven() && !(options.rule.absolute > 0.0 && options.rule.relative == 0.0)) {
      std::cerr << "simmgr: cannot resume " << options.resume << " with these targets: it was run with a pilot, "
                << "which plans an absolute target alone (--abs-precision)\n";
      return 2;
    }
    options.rule = rule;
  }
  std::vector<int> experiments;
  if (resuming) {
    for (const StudyState::Experiment& e : saved.experiments) experiments.push_back(e.experiment);
  } else {
    const std::string list =
        options.experiments.empty() ? "0-" + std::to_string(study.NumExperiments() - 1) : options.experiments;
    if (!ExperimentSelection::Parse(list, study.NumExperiments(), experiments, error)) {
      std::cerr << "simmgr: " << error << "\n";
      return 2;
    }
  }
  // The rule's view of the study: the variables an experiment reports, and
  // the one a test decides on.
  options.rule.variables = 0;
  options.rule.testVariable = -1;
  for (size_t v = 0; v < study.Rewards().size(); ++v) {
    const StudyTable::RewardVariable& reward = study.Rewards()[v];
    if (!reward.terminating) continue;
    ++options.rule.variables;
    if (options.rule.Hypothesis() && reward.label == options.rule.testLabel) {
      options.rule.testVariable = static_cast<int>(v);
    }
  }
  StoppingRule& rule = options.rule;
  // An absolute target alone, without a maximum, runs to the worst case of
  // a probability: one finer than any number of replications can meet
  // would have every experiment run without end.
  const bool toWorstCase = rule.Precision() && rule.absolute > 0.0 && rule.relative == 0.0 &&
                           !options.Given("--max-replications");
  auto unreachable = [&]() {
    std::cerr << "simmgr: an absolute precision of " << NumberText::Shortest(rule.absolute)
              << " cannot be met: an interval that narrow needs more than " << StoppingRule::kMostReplications
              << " replications of an experiment; choose a coarser --abs-precision, or give --max-replications "
                 "to stop there\n";
    return 2;
  };
  const bool reachable = !toWorstCase || rule.WorstCaseReachable();
  // A target so coarse that one look at the minimum is narrow enough for
  // any probability settles every experiment there: a pilot could only add
  // replications, so a new study not asked for two stages takes that one
  // look instead.
  if (reachable && rule.TwoStage() && !resuming && !options.Given("--two-stage") &&
      !options.Given("--max-replications")) {
    StoppingRule looks = rule;
    looks.twoStage = false;
    looks.maxReplications = looks.WorstCase();
    if (looks.Looks() == 1) rule.twoStage = false;
  }
  // A resumed study whose maximum was the worst case of its own rule takes
  // the worst case of the rule it is resumed with: a new --confidence,
  // --simultaneous or --min-replications moves it.
  bool savedWorstCase = false;
  if (resuming && saved.rule.Precision() && saved.rule.absolute > 0.0 && saved.rule.relative == 0.0) {
    // Worked out as it was when the study began: from the default maximum.
    StoppingRule before = saved.rule;
    before.variables = rule.variables;
    before.maxReplications = StoppingRule().maxReplications;
    savedWorstCase = saved.rule.maxReplications == before.WorstCase();
  }
  // An absolute target alone ends its looks where any probability's
  // interval is narrow enough, unless a maximum was asked for.
  const bool worstCaseMaximum = toWorstCase && (!resuming || options.TargetsGiven() || savedWorstCase);
  if (worstCaseMaximum && reachable) rule.maxReplications = rule.WorstCase();
  // The levels the intervals are computed at share the confidence's error
  // among looks and variables; a confidence so close to 1 (or to 0) that
  // such a level rounds to 1 (or 0) would give every interval [0, 1] and a
  // worst case of 2^50 replications (or no interval at all).
  {
    const double levels[2] = {rule.IntervalConfidence(), rule.TwoStage() ? rule.PlannedConfidence() : 0.5};
    for (double level : levels) {
      if (!(level > 0.0 && level < 1.0)) {
        std::cerr << "simmgr: confidence " << NumberText::Shortest(rule.confidence)
                  << " is too close to " << (level >= 1.0 ? "1" : "0") << ": the intervals would be computed at "
                  << NumberText::Shortest(level) << "; choose a confidence further from it\n";
        return 2;
      }
    }
  }
  if (worstCaseMaximum && !reachable) return unreachable();
  if (rule.Precision() && !rule.TwoStage() && rule.maxReplications < rule.minReplications) {
    std::cerr << "simmgr: the most replications an experiment may run, " << rule.maxReplications
              << (options.Given("--max-replications") ? "" : " (no --max-replications given)")
              << ", is below --min-replications " << rule.minReplications << "\n";
    return 2;
  }
  if (options.rule.Hypothesis() && options.rule.testVariable < 0) {
    std::string labels;
    for (const StudyTable::RewardVariable& reward : study.Rewards()) {
      if (reward.terminating) labels += (labels.empty() ? "" : ", ") + reward.label;
    }
    std::cerr << "simmgr: --test names " << options.rule.testLabel << ", which is none of the study's variables ("
              << labels << ")\n";
    return 2;
  }
  // The test counts ones among observations of 0 and 1, as it refuses any
  // other from a simulator: saved observations of the variable that were
  // not all 0 or 1 (an earlier segment without the test) would be counted
  // as the nearest whole number of ones, and decide on that.
  if (resuming && options.rule.Hypothesis()) {
    for (const StudyState::Experiment& e : saved.experiments) {
      for (const SimulatorAttempt& a : e.attempts) {
        const size_t v = static_cast<size_t>(options.rule.testVariable);
        if ((v < a.statistics.size() && !a.statistics[v].Binary()) || (v < a.pilot.size() && !a.pilot[v].Binary())) {
          std::cerr << "simmgr: cannot resume " << options.resume << " with --test: its observations of "
                    << options.rule.testLabel << " in experiment " << e.experiment << " are not all 0 or 1\n";
          return 2;
        }
      }
    }
  }
  // Each host needs a port per simulator running there at once. An
  // experiment runs one simulator at a time, so no more run at once than
  // there are experiments, whatever --jobs says; a host named twice in
  // --hosts is one host.
  const int hosts =
      options.hosts.empty() ? 1 : static_cast<int>(std::set<std::string>(options.hosts.begin(), options.hosts.end()).size());
  const int atOnce = std::min<int>(options.jobs, static_cast<int>(experiments.size()));
  const int perHost = (atOnce + hosts - 1) / hosts;
  if (options.port + perHost - 1 > 65535) {
    std::cerr << "simmgr: --port " << options.port << " leaves " << 65536 - options.port
              << " port(s) up to 65535, but " << perHost << " simulator(s) per host run at once"
              << " (--jobs " << options.jobs;
    if (atOnce < options.jobs) std::cerr << ", " << experiments.size() << " experiments";
    std::cerr << "); choose a lower --port or fewer --jobs\n";
    return 2;
  }
  // Each simulator is given its ASCII file by name, and a simulator given
  // a name longer than it takes does not run: the longest name this study
  // can give is checked now, not found by every experiment failing.
  if (!options.asciiDir.empty()) {
    int last = 0;
    for (int k : experiments) last = std::max(last, k);
    const std::string longest =
        SimulationManager::AsciiFile(options.asciiDir, last, resuming ? saved.segments : 0, options.retries);
    if (longest.size() > SimulationManager::kMaxSimulatorArgument) {
      std::cerr << "simmgr: --ascii-dir " << options.asciiDir << " is too long: the simulator takes file names of "
                << "at most " << SimulationManager::kMaxSimulatorArgument << " characters, and " << longest
                << " has " << longest.size() << "; choose a shorter --ascii-dir\n";
      return 2;
    }
  }
  const std::string csv = options.outDir + "/results.csv";
  const std::string json = options.outDir + "/results.json";
  const std::string svg = options.outDir + "/reliability.svg";
  const std::string meta = options.outDir + "/results.meta.json";
  const std::string stateFile = options.outDir + "/state.json";
  // Found now rather than after the whole study has run.
  std::vector<std::string> made;
  if (!MakeDirectories(options.outDir, made, error) ||
      (!outLock.Holds(options.outDir) && !outLock.Acquire(options.outDir, resuming ? "--resume" : "--out", error)) ||
      !ResultsWriter::CheckWritable(csv, error) || !ResultsWriter::CheckWritable(meta, error) ||
      !ResultsWriter::CheckWritable(json, error) || !ResultsWriter::CheckWritable(svg, error) ||
      !ResultsWriter::CheckWritable(stateFile, error) ||
      // The files are written beside the old ones and renamed over them.
      !ResultsWriter::CheckWritable(options.outDir + "/.simmgr-check-" + std::to_string(getpid()), error) ||
      (!options.asciiDir.empty() &&
       (!MakeDirectories(options.asciiDir, made, error) ||
        (!outLock.Holds(options.asciiDir) && !asciiLock.Acquire(options.asciiDir, "--ascii-dir", error)) ||
        !ResultsWriter::CheckWritable(options.asciiDir + "/.simmgr-check-" + std::to_string(getpid()),
                                      error)))) {
    std::cerr << "simmgr: " << error << "\n";
    RemoveMadeFolders(made, outLock, asciiLock);
    return 2;
  }
  // A manager killed between writing a file beside its old one and the
  // rename left the temporary; this folder is now this run's alone.
  std::vector<std::string> outFiles;
  for (const std::string* path : {&csv, &json, &svg, &meta, &stateFile})
    outFiles.push_back(path->substr(options.outDir.size() + 1));
  ResultsWriter::RemoveStaleTemporaries(options.outDir, outFiles);
  const SeedSequence seeds(options.seed, study.NumExperiments());
  const int segment = resuming ? saved.segments : 0;
  if (!seeds.Valid(segment, options.retries)) {
    std::cerr << "simmgr: the study has been taken further " << segment << " times, more than its seeds allow\n";
    RemoveMadeFolders(made, outLock, asciiLock);
    return 2;
  }

  SimulationManager manager(options, study, experiments, seeds, simulator, std::cerr);
  manager.SetSegment(segment);
  StudyState state = saved;
  state.Describe(study);
  state.baseSeed = options.seed;
  state.generator = options.generator;
  state.segments = segment + 1;
  state.rule = options.rule;
  if (resuming) {
    for (size_t i = 0; i < saved.experiments.size(); ++i) {
      const StudyState::Experiment& e = saved.experiments[i];
      // A decision stands only for the same test.
      const bool sameTest = options.rule.Hypothesis() && saved.rule.Hypothesis() &&
                            saved.rule.testLabel == options.rule.testLabel &&
                            saved.rule.test.GetDirection() == options.rule.test.GetDirection() &&
                            saved.rule.test.Threshold() == options.rule.test.Threshold() &&
                            saved.rule.test.Alpha() == options.rule.test.Alpha() &&
                            saved.rule.test.Beta() == options.rule.test.Beta() &&
                            saved.rule.test.Delta() == options.rule.test.Delta();
      manager.RunOf(i).Restore(e.attempts, sameTest ? e.decision : SequentialTest::kUndecided);
    }
  }
  manager.SaveStateTo(stateFile, state);
  manager.Run();

  StudyResults results;
  results.study = &study;
  results.rule = options.rule;
  results.baseSeed = options.seed;
  results.generator = options.generator;
  results.reportSize = options.reportSize;
  results.retries = options.retries;
  results.segment = segment;
  results.interrupted = manager.Interrupted();
  results.wallSeconds = manager.WallSeconds();
  results.managerCpuSeconds = CpuSeconds(RUSAGE_SELF);
  results.provenance.version = KorvanVersion();
  results.provenance.commit = KorvanCommit();
  results.provenance.commandLine.assign(argv, argv + argc);
  results.provenance.host = HostName();
  results.provenance.workingDirectory = WorkingDirectory();
  results.provenance.startedUtc = UtcText(started);
  results.provenance.endedUtc = UtcText(std::time(nullptr));
  results.provenance.simulator = simulator;
  bool anyFailed = false;
  for (const auto& run : manager.Runs()) {
    StudyResults::Experiment e;
    e.experiment = run->Experiment();
    switch (run->GetOutcome()) {
      case ExperimentRun::kComplete: e.status = "complete"; break;
      case ExperimentRun::kIncomplete: e.status = "incomplete"; break;
      case ExperimentRun::kFailed: e.status = "failed"; anyFailed = true; break;
      case ExperimentRun::kNotRun: e.status = "not run"; break;
    }
    e.failure = run->FailureReason();
    e.precisionMet = run->PrecisionMet();
    e.seed = run->Seed();
    e.replications = run->Replications();
    e.cpuSeconds = run->CpuSeconds();
    e.wallSeconds = run->WallSeconds();
    // In two-stage mode each experiment has its own plan, and so its own
    // levels.
    for (const RunningStatistics& s : run->Statistics()) {
      e.variables.push_back(StudyResults::Summarise(s, run->Rule()));
    }
    e.pilotReplications = run->PilotReplications();
    e.plan = run->Rule().plan;
    e.intervalConfidence = run->Rule().LevelAt(e.replications);
    e.attempts = run->Attempts();
    e.test = run->Test();
    // The timings compare this manager with the simulators it ran: those of
    // earlier segments of a resumed study are not among them.
    for (const SimulatorAttempt& attempt : e.attempts) {
      if (attempt.segment == segment) results.simulatorCpuSeconds += attempt.cpuSeconds;
    }
    results.experiments.push_back(e);
  }

  // A table that cannot be written (standard output redirected to a full
  // disk, say) is reported and fails the run once the files are written; a
  // reader that has gone (`simmgr | head`) only wanted part of it.
  // A terminal that has gone (EIO) fails a line's flush inside the C
  // library, which the stream does not see: the standard output's own error
  // flag is asked too.
  errno = 0;
  std::clearerr(stdout);
  ResultsWriter::PrintTable(std::cout, results);
  std::cout.flush();
  std::fflush(stdout);
  const bool tableFailed = std::cout.fail() || std::ferror(stdout) != 0;
  const int tableError = tableFailed ? (errno != 0 ? errno : EIO) : 0;
  const bool tableLost = tableError != 0 && tableError != EPIPE;
  if (tableLost) {
    std::cerr << "simmgr: cannot write the table to standard output: " << std::strerror(tableError) << "\n";
  }
  // An --ascii-dir file a simulator could not write lacks observations that
  // were counted: the numbers stand, but the study did not deliver all it
  // was asked for, as with a result file that cannot be written.
  bool asciiCut = false;
  for (const auto& run : manager.Runs()) {
    for (const std::string& cut : run->AsciiFilesCut()) {
      std::cerr << "simmgr: the simulator could not write all of " << cut << "\n";
      asciiCut = true;
    }
  }
  // All four or none: a folder never holds this study's CSV beside an
  // earlier study's JSON.
  const bool written = ResultsWriter::WriteTogether(
      {{csv, ResultsWriter::CsvText(results)},
       {meta, ResultsWriter::CsvMetaText("results.csv", results)},
       {json, ResultsWriter::JsonText(results)},
       {svg, ResultsWriter::SvgText(results, kPlotX, kPlotSeries)}},
      error, true);
  if (!written) {
    std::cerr << "simmgr: " << error << "\n";
    return 2;
  }
  resultsWritten = true;
  int64_t replications = 0, here = 0, pilots = 0;
  for (const StudyResults::Experiment& e : results.experiments) {
    replications += e.replications;
    pilots += e.pilotReplications;
    for (const SimulatorAttempt& attempt : e.attempts) {
      if (attempt.segment != segment) continue;
      // What the attempt added to a pilot is counted with the pilots.
      int64_t piloted = 0;
      for (const RunningStatistics& p : attempt.pilot) piloted = std::max(piloted, p.Count());
      here += std::max<int64_t>(attempt.replications - piloted, 0);
    }
  }
  // A resumed study: what this run added, and the whole.
  const std::string pilotText = pilots > 0 ? " and " + std::to_string(pilots) + " in pilots" : "";
  const std::string all =
      segment > 0 ? " (" + std::to_string(replications) + " in all segments" + pilotText + ")" : pilotText;
  char figures[320];
  // A share of nothing (no simulator reported processor time: an interrupt
  // before the first hand-over, a resume with nothing left) is not given.
  char share[96] = "";
  if (results.simulatorCpuSeconds > 0.0) {
    // Short times are given to the millisecond the clocks count, so that a
    // share in a short study is not shown as a share of "0.0 s" (and the
    // manager's time, likewise, not as "0.00 s").
    const double simulators = results.simulatorCpuSeconds;
    std::snprintf(share, sizeof(share), simulators < 0.095 ? " = %.2f%% of the simulators' %.3f s"
                                                           : " = %.2f%% of the simulators' %.1f s",
                  100.0 * results.managerCpuSeconds / simulators, simulators);
  }
  std::snprintf(figures, sizeof(figures),
                results.managerCpuSeconds < 0.0095 ? "simmgr: %lld replications%s in %.1f s; manager CPU %.3f s%s\n"
                                                    : "simmgr: %lld replications%s in %.1f s; manager CPU %.2f s%s\n",
                static_cast<long long>(segment > 0 ? here : replications), all.c_str(), results.wallSeconds,
                results.managerCpuSeconds, share);
  std::cerr << figures << "simmgr: wrote " << csv << ", " << meta << ", " << json << " and " << svg
            << "\n";
  if (tableLost || asciiCut || !manager.FinalStateSaved()) return 2;
  if (anyFailed) return 1;
  if (results.interrupted) return 3;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // A closed standard output or error would be taken by the first file or
  // pipe simmgr opens (a state file, a simulator's output), which would then
  // receive the messages meant for them. Held on /dev/null read-only, a
  // write to them still fails (EBADF) and is reported as before.
  KorvanOpenStandardStreams(false);
  // Memory that runs out (a ulimit -v, say) throws from any allocation.
  // Uncaught, that aborted simmgr with a core dump and no word of what
  // failed. Caught here, the unwinding ends the simulators still running;
  // the results of an earlier study in the folder, and the state saved
  // last, stay as they were.
  // Without the reserve, running out later could end simmgr without a word:
  // memory so short is said at once.
  if (!MemoryReserve::Arm()) {
    std::fputs("simmgr: out of memory: the study cannot start\n", stderr);
    return 2;
  }
  try {
    return RunManager(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs(resultsWritten ? "simmgr: out of memory: the study's results were written, its summary not\n"
                              : "simmgr: out of memory: the study stops here, its results not written\n",
               stderr);
    return 2;
  }
}
