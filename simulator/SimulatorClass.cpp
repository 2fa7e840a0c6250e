// Set-up, run and tear-down of the simulator.

#include "simulator/SimulatorClass.h"


#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <typeinfo>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Cpp/BaseClasses/Activity.h"
#include "Cpp/BaseClasses/BaseActionClass.h"
#include "Cpp/BaseClasses/BaseGroupClass.h"
#include "Cpp/BaseClasses/BaseStudyClass.h"
#include "Cpp/BaseClasses/KorvanAssert.h"
#include "Cpp/BaseClasses/PVModel.h"
#include "Cpp/BaseClasses/PerformanceVariableNode.h"
#include "Cpp/BaseClasses/PostselectGroup.h"
#include "Cpp/BaseClasses/PreselectGroup.h"
#include "Cpp/BaseClasses/SANModel.h"
#include "Cpp/BaseClasses/state/Place.h"
#include "model/redundant_flash_studyRangeStudy.h"
#include "platform/FileWrites.h"
#include "platform/KorvanSocket.h"
#include "platform/ProcessServices.h"
#include "random/Distributions.h"
#include "random/LaggedFibonacci.h"
#include "random/MersenneTwister.h"
#include "random/Tausworthe.h"
#include "simulator/EventList.h"
#include "simulator/TestHooks.h"
#include "trace/TraceFileContainer.h"
#include "trace/TraceFileKorvan.h"
#include "trace/TraceFileXML.h"

int GlobalDebugLevel = 0;
volatile sig_atomic_t SimulatorInterruptSignal = 0;
volatile sig_atomic_t SimulatorGoodExitClaimed = 0;

namespace {

// Simulators alive in the process. The study, and with it the model, is
// one per process: a second simulator would replace the first one's model.
int liveSimulators = 0;

// Used only when the program-wide distribution object is missing.
std::unique_ptr<UserDistributions> fallbackDistribution;

// The first SIGINT, SIGTERM or SIGHUP asks the run to stop after the
// replication or step in progress; a second SIGINT or SIGTERM ends the
// process at once. A closed terminal delivers SIGHUP more than once (from
// the shell and from the kernel as the shell ends), so a SIGHUP is never
// the second signal.
void OnInterrupt(int signalNumber) {
  if (SimulatorInterruptSignal != 0) {
    if (signalNumber == SIGHUP) return;
    // The run has ended well and said so: what it wrote is whole, and an
    // interruption status would contradict the good exit already printed.
    if (SimulatorGoodExitClaimed != 0) _exit(0);
    // A hand-over cut off part-way must not end a result file, nor a new
    // header or trace lie over an earlier file that it has not yet replaced.
    CutUnfinishedResultWrites();
    KorvanPutBackOverwrites();
    _exit(128 + signalNumber);
  }
  SimulatorInterruptSignal = signalNumber;
}

// SA_RESTART: a write the signal lands in (standard output held by a slow
// reader, a trace, a result file that is a FIFO) goes on instead of failing
// with EINTR, which would end standard output's stream for good and lose
// the summary lines. Waits that must see the interruption poll, and poll is
// never restarted.
void InstallInterruptHandlers(bool restart = true) {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  action.sa_flags = restart ? SA_RESTART : 0;
  // The handler's test and set of SimulatorInterruptSignal is no single
  // step: a second stop signal of another kind that ran the handler in
  // between would find no signal yet, and be taken for the first instead of
  // ending the process. Held back while the handler runs, it comes after.
  sigemptyset(&action.sa_mask);
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGTERM);
  sigaddset(&action.sa_mask, SIGHUP);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A hang-up ignored when the run started (nohup) stays ignored.
  struct sigaction hangUp {};
  if (sigaction(SIGHUP, nullptr, &hangUp) == 0 && hangUp.sa_handler != SIG_IGN) {
    sigaction(SIGHUP, &action, nullptr);
  }
}

// Opening a FIFO waits for its reader, for ever if none comes. While a
// result file or a trace is opened, an interruption fails the open
// (EINTR) instead of restarting it, so that the first SIGINT or SIGTERM
// ends such a wait: the result file is then reported as not opened, the
// trace as not created, and the run stops as asked.
class InterruptibleOpens {
 public:
  InterruptibleOpens() { InstallInterruptHandlers(false); }
  ~InterruptibleOpens() { InstallInterruptHandlers(true); }
  InterruptibleOpens(const InterruptibleOpens&) = delete;
  InterruptibleOpens& operator=(const InterruptibleOpens&) = delete;
};

// How often a FIFO is tried again while its reader has not come.
const int kFifoReaderPollMs = 20;

// Whether the regular file `path` (existing or not) can be opened for
// writing, found without changing what it holds: an existing file is opened
// without truncating it, a missing one is made and removed again.
bool RegularFileWritable(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) == 0) {
    if (!S_ISREG(info.st_mode)) return false;
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd == -1) return false;
    close(fd);
    return true;
  }
  if (errno != ENOENT) return false;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd == -1) return false;
  close(fd);
  unlink(path.c_str());
  return true;
}

// The writer of the trace file `path` (empty: -f named no file). A regular
// file that can be written is held, and opened, emptied, only once the run
// is sure to start (OpenHeldFile): a run refused while the model is built
// leaves the trace an earlier run wrote as it was. A FIFO, which holds no
// earlier trace, is opened now, once its reader has come (a stop asked for
// meanwhile leaves the trace not created). Anything else (a device, a file
// that cannot be written) is opened now too; its open reports what stands
// in the way.
template <class Writer>
Writer* CreateTraceWriter(const std::string& path) {
  if (path.empty()) return new Writer(static_cast<const char*>(nullptr));
  struct stat info;
  if (stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode)) {
    int writeEnd = -1;
    int readEnd = -1;
    if (!WaitForFifoReader(path, &writeEnd, &readEnd, [] { return SimulatorInterruptSignal != 0; })) {
      // Reported as an open the stop interrupted is.
      TraceFile::ReportNotCreated(path.c_str(), EINTR);
      return new Writer();
    }
    Writer* writer = new Writer(path.c_str());
    if (readEnd != -1) close(readEnd);
    if (writeEnd != -1) close(writeEnd);
    return writer;
  }
  if (RegularFileWritable(path)) return new Writer(path.c_str(), TraceFile::kHeld);
  return new Writer(path.c_str());
}

// A reader of standard output that goes away (`| head`) must not end the
// run by SIGPIPE at the next line it prints: that would lose every result
// not yet written and the end of the manager's hand-over. A trace whose
// reader has gone (on standard output, or in a FIFO) must end the trace,
// not the run, and a result file that is a FIFO whose reader has gone must
// be reported as the failed write it is, as on a full disk. So SIGPIPE is
// ignored from the first line the simulator prints (whether the reader
// has gone by the time the run starts must not decide whether it runs) to
// the end of the run; the disposition found is put back when the
// simulator is destroyed.
struct sigaction pipeActionBeforeOutputs;
bool pipeIgnoredForOutputs = false;

void IgnorePipeForOutputs() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  pipeIgnoredForOutputs = sigaction(SIGPIPE, &ignore, &pipeActionBeforeOutputs) == 0;
}

void RestorePipeAfterOutputs() {
  if (!pipeIgnoredForOutputs) return;
  sigaction(SIGPIPE, &pipeActionBeforeOutputs, nullptr);
  pipeIgnoredForOutputs = false;
}

// Refuses, before anything is built, the settings this system cannot run.
void CheckRunSettings(SimulatorClass* simulator, BaseStudyClass* study) {
  if (simulator->experiment < 0 || simulator->experiment >= study->GetNumExps()) {
    std::cerr << "ERROR: Experiment " << simulator->experiment
              << " does not exist: the study has experiments 0 to " << study->GetNumExps() - 1
              << std::endl;
    std::exit(1);
  }
  const bool laggedFibonacci = simulator->generatorChoice != 1 && simulator->generatorChoice != 2;
  if (laggedFibonacci && simulator->seed > static_cast<uint32_t>(LaggedFibonacci::kMaxSeed)) {
    std::cerr << "ERROR: Random number seed " << simulator->seed
              << " is too large for the lagged Fibonacci generator (largest "
              << LaggedFibonacci::kMaxSeed << "); use a smaller seed or -r 1 or -r 2"
              << std::endl;
    std::exit(1);
  }
  if (simulator->generatorChoice == 1 && simulator->seed != 0 &&
      (simulator->seed & 0x7FFFFFFFu) == 0) {
    std::cerr << "ERROR: Random number seed " << simulator->seed
              << " would leave the Tausworthe generator stuck at zero" << std::endl;
    std::exit(1);
  }
  // The Tausworthe generator keeps the low 31 bits of its seed: a larger
  // seed would run the stream of the seed 2^31 below it.
  if (simulator->generatorChoice == 1 && simulator->seed > 0x7FFFFFFFu) {
    std::cerr << "ERROR: Random number seed " << simulator->seed
              << " is too large for the Tausworthe generator (largest 2147483647), which keeps only"
              << " its low 31 bits" << std::endl;
    std::exit(1);
  }
}

// The XML trace whose header is written and whose document a process exit
// must end: a run refused after the header (a report size beyond the
// limit, a reward time that is not a number: the header went to standard
// output or a FIFO, a trace file is only held so far) or ended by a fatal
// error in a replication exits at once, and left the document without its
// closing elements.
TraceFileXML* xmlTraceToClose = nullptr;

void CloseXmlTraceOnExit() {
  if (xmlTraceToClose != nullptr) xmlTraceToClose->CloseDocument();
}

// Makes `xml` (null: none) the trace an exit ends.
void CloseXmlTraceAtExit(TraceFileXML* xml) {
  static const bool registered = std::atexit(CloseXmlTraceOnExit) == 0;
  (void)registered;
  xmlTraceToClose = xml;
}

}  // namespace

// A blocking open would wait for ever if no reader came, and a stop asked
// for just before it (after the last look at the stop flag) would not end
// that wait: only a second signal, ending the process at once, would. The
// write end is held until the writer's own open has succeeded: it keeps a
// reader from seeing the FIFO without a writer, which it would take for the
// end of what is written, in the moment before the writer's open; the read
// end keeps that open from waiting again should the reader go in between
// (the write that follows meets the gone reader, as any later write would).
bool WaitForFifoReader(const std::string& path, int* writeEnd, int* readEnd,
                       const std::function<bool()>& stopAsked) {
  *writeEnd = -1;
  *readEnd = -1;
  for (;;) {
    if (stopAsked()) return false;
    BeforeFifoTry();
    const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0) {
      *writeEnd = fd;
      *readEnd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      return true;
    }
    // ENXIO: no reader yet.
    if (errno != ENXIO && errno != EINTR) return true;
    poll(nullptr, 0, kFifoReaderPollMs);
  }
}

SimulatorClass::SimulatorClass() {
  std::cerr << "ERROR: A simulator needs a command line" << std::endl;
  std::exit(1);
}

SimulatorClass::SimulatorClass(int argc, char** argv) {
  KORVAN_ASSERT(liveSimulators == 0);
  liveSimulators++;
  // Installed before the model is built: a stop asked for meanwhile is kept
  // for the run, also in a process started with SIGINT ignored (a script's
  // background job), where it would otherwise be lost.
  InstallInterruptHandlers();
  // Left blocked by a launcher, a stop would end the run only by SIGKILL,
  // its last hand-over and the cut-back of a result file lost; one already
  // pending stops it as one during the set-up does.
  KorvanUnblockStopSignals();
  IgnorePipeForOutputs();
  reactivationList.clear();
  overrideString = nullptr;
  groupList = new List<BaseGroupClass>();
  actionList = new List<BaseActionClass>();

  if (TheDistribution == nullptr || TheDistribution->generator == nullptr) {
    fallbackDistribution.reset(new UserDistributions(0, 31415));
    TheDistribution = fallbackDistribution.get();
  }

  CreatePacketQueues();

  if (ParseCommandLineOptions(argc, argv) != 0) {
    PrintUsage();
    std::cerr << "ERROR: Parsing command line options" << std::endl;
    std::exit(1);
  }
  CheckRunSettings(this, GenerateStudy());

  // Results that could not be written would be lost silently: refuse to run.
  {
    InterruptibleOpens interruptible;
    if (!PrepareResultFiles()) std::exit(1);
  }

  traces = new TraceFileContainer();
  if (textTrace || xmlTrace) {
    traces->setTraceLevel(traceLevel);
    if (textTrace) {
      if (traceFileName != nullptr) {
        InterruptibleOpens interruptible;
        textTraceFile = CreateTraceWriter<TraceFileKorvan>(TraceFilePath(".txt"));
      } else {
        std::cout << "Adding cout: " << std::endl;
        textTraceFile = new TraceFileKorvan(&std::cout);
        textTraceFile->NameStream("standard output");
      }
      textTraceFile->setTraceLevel(traceLevel);
      traces->AddTraceFile(textTraceFile);
    }
    if (xmlTrace) {
      if (traceFileName != nullptr) {
        InterruptibleOpens interruptible;
        xmlTraceFile = CreateTraceWriter<TraceFileXML>(TraceFilePath(".xml"));
      } else {
        xmlTraceFile = new TraceFileXML(&std::cout);
        xmlTraceFile->NameStream("standard output");
      }
      xmlTraceFile->setTraceLevel(traceLevel);
      traces->AddTraceFile(xmlTraceFile);
    }
  }

  study = GenerateStudy();
  study->SetGVs(experiment);
  if (overrideString != nullptr) {
    study->overrideGVs(overrideString);
    std::cout << "Overriding global variables in simulator" << std::endl;
  }

  pvModel = study->GetPVModel(true);
  if (textTrace || xmlTrace) traces->addPVModel(pvModel);
  traces->printHeader();
  if (xmlTraceFile != nullptr) CloseXmlTraceAtExit(xmlTraceFile);

  AttachModel(pvModel);

  if (generatorChoice == 1 || generatorChoice == 2) {
    delete TheDistribution->generator;
    TheDistribution->generator = nullptr;
    if (generatorChoice == 1) {
      TheDistribution->generator = new Tausworthe();
    } else {
      TheDistribution->generator = new MersenneTwister();
    }
  }

  TheDistribution->generator->srnd(seed != 0 ? seed : 31415);

  // The set-up has succeeded: the result files are emptied and given their
  // headers now, then the trace files held so far get what was traced. A
  // steady-state run of a model without steady-state variables is refused
  // when it starts, and leaves them all as they were. (A result file made
  // by the set-up is taken away again.) A run that waits for a manager does
  // this once one has connected: one that never comes leaves them as well.
  if (terminating == 0 && !HasSteadyStateVariables()) {
    ForgetUncommittedResultFiles(true);
    return;
  }
  if (!waitForSocket) CommitOutputFiles();
}

void SimulatorClass::CommitOutputFiles() {
  {
    InterruptibleOpens interruptible;
    if (!OpenResultFiles()) std::exit(1);
  }
  ForgetUncommittedResultFiles(false);
  // A trace file made a FIFO meanwhile waits for its reader: a stop asked
  // for before (or while) it is tried ends that wait, and the trace is then
  // reported as not created.
  InterruptibleOpens interruptible;
  TraceFile* const held[2] = {textTraceFile, xmlTraceFile};
  for (TraceFile* trace : held) {
    if (trace == nullptr || trace->HeldFileName().empty()) continue;
    struct stat info;
    int writeEnd = -1;
    int readEnd = -1;
    if (stat(trace->HeldFileName().c_str(), &info) == 0 && S_ISFIFO(info.st_mode) &&
        !WaitForFifoReader(trace->HeldFileName(), &writeEnd, &readEnd, [this] { return StopAskedWhileOpening(); })) {
      trace->DropHeldFile(EINTR);
      continue;
    }
    trace->OpenHeldFile();
    if (readEnd != -1) close(readEnd);
    if (writeEnd != -1) close(writeEnd);
  }
}

bool SimulatorClass::HasSteadyStateVariables() const {
  for (int i = 0; i < pvModel->GetNumPVNodes(); i++) {
    if (pvModel->GetPVNode(i)->GetSteadyState() == 1) return true;
  }
  return false;
}

namespace {

// Deeper nesting than this is taken not to refresh (and ends a cycle).
const int kMaxGroupNesting = 16;

// The XML document is closed by the second batch mark; a run that ended
// before one (a steady-state run that completed no batch, or one that never
// started) would leave it unterminated. It is closed here at most once,
// and only the XML trace: the text trace is left as it is. Out of
// line: inlined into Run, it changed how the replication loop inlined there
// was compiled (1% more instructions per firing).
__attribute__((noinline, cold)) void CloseXmlTrace(TraceFileXML* xml) {
  if (xml != nullptr) xml->CloseDocument();
}

// True when the enabling of the action, or of every activity it groups, is
// declared by its atomic model to read nothing but places (see
// SANModel::enablingReadsOnlyPlaces).
bool EnablingReadsOnlyPlaces(BaseActionClass* action, int depth) {
  if (action == nullptr || depth > kMaxGroupNesting) return false;
  if (Activity* activity = dynamic_cast<Activity*>(action)) {
    const SANModel* model = dynamic_cast<const SANModel*>(activity->parentModel);
    return model != nullptr && model->enablingReadsOnlyPlaces;
  }
  BaseGroupClass* group = dynamic_cast<BaseGroupClass*>(action);
  if (group == nullptr || group->numMembers <= 0) return false;
  for (int i = 0; i < group->numMembers; i++) {
    if (!EnablingReadsOnlyPlaces(group->members[i], depth + 1)) return false;
  }
  return true;
}

}  // namespace

// An Activity's EnablingChange() is a call of Enabled() (it is final there);
// one that was given members of its own may answer Enabled() by asking
// them, and a member such as a SingleGroup keeps a history that a second
// question would shift, so only an activity without members refreshes.
// BaseGroupClass and PostselectGroup themselves (not classes derived from
// them, which may override either operation) answer Enabled() and
// EnablingChange() by asking every member the same question, so they refresh
// when every member does. Anything else (a SingleGroup, whose
// EnablingChange() only compares its last two Enabled() results, or a
// PreselectGroup, whose Enabled() may select and draw) does not.
bool SimulatorClass::EnablingChangeRefreshes(BaseGroupClass* group, int depth) {
  if (group == nullptr || depth > kMaxGroupNesting) return false;
  if (dynamic_cast<Activity*>(group) != nullptr) return group->numMembers == 0;
  const std::type_info& type = typeid(*group);
  if (type != typeid(BaseGroupClass) && type != typeid(PostselectGroup)) return false;
  if (group->numMembers <= 0) return false;
  for (int i = 0; i < group->numMembers; i++) {
    if (!EnablingChangeRefreshes(group->members[i], depth + 1)) return false;
  }
  return true;
}

// A PostselectGroup answers SampleDistribution() and ReactivationPredicate()
// with those of its first member; a class derived from it may answer
// otherwise, and is asked itself.
BaseActionClass* SimulatorClass::TimingAction(BaseGroupClass* group) {
  if (typeid(*group) == typeid(PostselectGroup) && group->numMembers > 0 &&
      group->members[0] != nullptr) {
    return group->members[0];
  }
  return group;
}

// In a model whose enabling reads nothing but places (declared by each
// atomic model, SANModel::enablingReadsOnlyPlaces), a firing that leaves
// every marking it may change as it was has changed no group's enabling,
// nor anything a group's timing or selection reads. When every group on the
// fired action's affects list keeps its recorded enabling current
// (enablingChangeRefreshes), the step's two passes would then find every
// listed group as it was: those with an event keep it (no change), those
// without one stay without (their enabling is what it was, and an enabled
// group of this kind always holds an event), except the fired group, which
// lost its event by firing and, still enabled, is scheduled again. So after
// such a firing the step only does that, once the action that fired has
// said it is still enabled (it is asked, as the passes would ask it: a
// place it changes without declaring it may have disabled it).
//
// Without the declaration nothing is watched: a group whose enabling reads
// state the model keeps beside its places (a count, a flag) may be enabled
// or disabled by a firing that leaves every place as it was, and only the
// two passes, asking every group on the list, find that.
//
// Watched are the places among the affected state variables of the actions
// that can fire for the group: a lone activity, or the activities of a
// post-select group. A group with another kind of affected variable (whose
// change cannot be seen by comparing a marking), or with an action whose
// affects list does not hold the group itself or holds a group of another
// kind, is not watched.
void SimulatorClass::WatchUnchangedFirings() {
  watchedMarks.clear();
  const int numGroups = groupList->getNumItems();
  // Where each group's marks start in watchedMarks (the array may move
  // while it grows; the records point into it once it is complete).
  std::vector<size_t> begins(static_cast<size_t>(numGroups > 0 ? numGroups : 1), 0);
  std::vector<BaseActionClass*> firers;
  for (int g = 0; g < numGroups; g++) {
    BaseGroupClass* group = groups[g];
    ScheduleRecord& record = scheduleRecords[g];
    const size_t begin = watchedMarks.size();
    begins[g] = begin;
    record.watchFirings = false;
    record.watchedLoneActivity = false;
    record.watched = nullptr;
    record.numWatched = 0;
    if (!record.enablingChangeRefreshes) continue;
    firers.clear();
    bool eligible = true;
    if (group->isActivity) {
      firers.push_back(group);
    } else if (typeid(*group) == typeid(PostselectGroup)) {
      for (int i = 0; eligible && i < group->numMembers; i++) {
        BaseGroupClass* member = group->members[i];
        if (member == nullptr || !member->isActivity) eligible = false;
        firers.push_back(member);
      }
    }
    if (firers.empty()) eligible = false;
    for (size_t f = 0; eligible && f < firers.size(); f++) {
      BaseActionClass* action = firers[f];
      bool listsItsGroup = false;
      if (!EnablingReadsOnlyPlaces(action, 0)) eligible = false;
      for (AffectsNode* node = action->actionAffects; node != nullptr; node = node->next) {
        if (node->group == group) listsItsGroup = true;
        ScheduleRecord* listed = node->group->eventInfo;
        if (listed == nullptr || !listed->enablingChangeRefreshes) eligible = false;
        if (!EnablingReadsOnlyPlaces(node->group, 0)) eligible = false;
      }
      if (!listsItsGroup) eligible = false;
      for (int v = 0; eligible && v < action->affectedSVs.getNumItems(); v++) {
        Place* place = dynamic_cast<Place*>(action->affectedSVs[v]);
        if (place == nullptr) {
          eligible = false;
          break;
        }
        short* const* mark = &place->mark;
        if (std::find(watchedMarks.begin() + static_cast<std::ptrdiff_t>(begin), watchedMarks.end(),
                      mark) == watchedMarks.end()) {
          watchedMarks.push_back(mark);
        }
      }
    }
    if (!eligible || watchedMarks.size() - begin > static_cast<size_t>(kMaxWatchedMarks)) {
      watchedMarks.resize(begin);
      continue;
    }
    record.watchFirings = true;
    record.watchedLoneActivity = group->isActivity;
    record.numWatched = static_cast<int>(watchedMarks.size() - begin);
  }
  for (int g = 0; g < numGroups; g++) {
    if (scheduleRecords[g].watchFirings) scheduleRecords[g].watched = watchedMarks.data() + begins[g];
  }
}

namespace {

void CollectPreselectGroups(BaseGroupClass* group, int depth, std::vector<PreselectGroup*>* out) {
  if (group == nullptr || depth > kMaxGroupNesting) return;
  if (PreselectGroup* pre = dynamic_cast<PreselectGroup*>(group)) {
    if (std::find(out->begin(), out->end(), pre) == out->end()) out->push_back(pre);
  }
  for (int i = 0; i < group->numMembers; i++) {
    if (group->members[i] != group) CollectPreselectGroups(group->members[i], depth + 1, out);
  }
}

}  // namespace

void SimulatorClass::ListPreselectGroups() {
  preselectGroups.clear();
  const int numGroups = groupList->getNumItems();
  for (int g = 0; g < numGroups; g++) CollectPreselectGroups(groups[g], 0, &preselectGroups);
}

void SimulatorClass::ForgetPreselections() {
  for (PreselectGroup* group : preselectGroups) group->needSelection = true;
}

namespace {

// A time of a reward variable that is not a finite number would never be
// reached or passed: an infinite end time or batch length runs for ever, a
// time that is not a number never completes its observation (a terminating
// run would report 0 for it, a steady-state one would close no batch of any
// variable). Refused before anything is simulated.
void RefuseTimesNotFinite(const PerformanceVariableNode* node) {
  const char* what = nullptr;
  double bad = 0.0;
  const auto check = [&](const char* name, double value) {
    if (what == nullptr && !std::isfinite(value)) {
      what = name;
      bad = value;
    }
  };
  check("start time", node->GetStart());
  check("stop time", node->GetStop());
  for (int t = 0; t < node->GetNumTimePoints(); t++) {
    check("start time", node->GetStartTime(t));
    check("stop time", node->GetStopTime(t));
  }
  if (node->GetSteadyState() == 1) check("batch length", node->GetInterval());
  if (what == nullptr) return;
  std::cerr << "ERROR: Reward variable " << (node->GetName() != nullptr ? node->GetName() : "") << " has a "
            << what << " that is not a finite number (" << bad << ")" << std::endl;
  std::exit(1);
}

}  // namespace

void SimulatorClass::AttachModel(PVModel* model) {
  pvModel = model;
  // Only the variables of this simulation type accumulate; the others never
  // complete.
  const int numNodes = pvModel->GetNumPVNodes();
  const int wantedIndicator = terminating != 0 ? 0 : 1;
  std::unique_ptr<int[]> considered(new int[numNodes > 0 ? numNodes : 1]);
  int numConsidered = 0;
  for (int i = 0; i < numNodes; i++) {
    PerformanceVariableNode* node = pvModel->GetPVNode(i);
    if (node->GetSteadyState() == wantedIndicator) {
      considered[numConsidered++] = i;
      RefuseTimesNotFinite(node);
    } else {
      node->SetStop(1.7976931348623157e308);
    }
  }
  pvModel->ConsiderOnly(considered.get(), numConsidered);

  pvModel->listGroups(groupList);
  groups = groupList->getList();
  const int numGroups = groupList->getNumItems();
  scheduleRecords = new ScheduleRecord[numGroups > 0 ? numGroups : 1];
  for (int g = 0; g < numGroups; g++) {
    groups[g]->eventInfo = &scheduleRecords[g];
    scheduleRecords[g].enablingChangeRefreshes = EnablingChangeRefreshes(groups[g], 0);
    scheduleRecords[g].timing = TimingAction(groups[g]);
  }

  const long builderStart = KorvanClock();
  // Any number but 0, 1 and 2, which would build no list at all (and fire
  // almost nothing), is ignored with a warning.
  const char* setting = std::getenv("SIMTEST");
  int builder = ConnectivityBuilderSetting();
  if (builder < 0) {
    std::cerr << "!! SIMTEST=" << BaseStudyClass::Printable(setting) << " is not 0, 1 or 2: ignored" << std::endl;
    builder = 2;
  }
  int built = 0;
  if (builder == 2) {
    std::cout << "GenerateConnectivityList()" << std::endl;
    built = GenerateConnectivityList();
  } else if (builder == 0 || builder == 1) {
    std::cout << "GenerateConnectivityListOld()" << std::endl;
    built = GenerateConnectivityListOld();
  }
  if (built != 0) {
    // Only an allocation that failed stops the lists being built.
    std::cerr << "Error Generating Connectivity List\n";
    std::exit(1);
  }
  WatchUnchangedFirings();
  ListPreselectGroups();
  std::cout << "GenerateConnectivityList() Time="
            << static_cast<double>(KorvanClock() - builderStart) / KORVAN_CLOCKS_PER_SEC << std::endl;
  std::cout.flush();

  eventList = new EventList(numGroups + 1);

  pvModel->listActions(actionList);
  actions = actionList->getList();
  // From here on the flag marks the groups held in the reactivation list.
  for (int a = 0; a < actionList->getNumItems(); a++) actions[a]->reactivation = false;
  numPVs = pvModel->GetNumPVNodes();
  // A data record's length is a 32-bit count of its bytes: a hand-over of
  // more observations than fit one would go out with a wrapped length, and
  // the manager and the binary file would read the rest as garbage.
  const int64_t largest =
      numPVs > 0 ? (int64_t{INT32_MAX} - 9 - 7 * int64_t{numPVs}) / (8 * int64_t{numPVs}) : INT32_MAX;
  if (reportSize > largest) {
    std::cerr << "ERROR: The report size ('-n') " << reportSize << " is too large: a hand-over of that many "
              << "observations of each of the " << numPVs << " reward variables would not fit one data record "
              << "(at most " << largest << ")" << std::endl;
    std::exit(1);
  }
}

void SimulatorClass::DetachModel() {
  if (pvModel != nullptr) {
    for (int k = 0; k < pvModel->numActions; k++) ClearActionAffectsList(pvModel->actions[k]);
  }
  delete eventList;
  eventList = nullptr;
  watchedMarks.clear();
  preselectGroups.clear();
  delete[] scheduleRecords;
  scheduleRecords = nullptr;
  delete[] initialEnabled;
  initialEnabled = nullptr;
  numInitialEnabled = 0;
  reactivationList.clear();
  groupList->clearList();
  actionList->clearList();
  groups = nullptr;
  actions = nullptr;
  pvModel = nullptr;
}

void SimulatorClass::StartRunTimer() {
  delete runTimer;
  runTimer = new RunTimer{static_cast<double>(KorvanClock()), 0.0};
}

int SimulatorClass::ConnectivityBuilderSetting() {
  const char* setting = std::getenv("SIMTEST");
  if (setting == nullptr) return 2;
  errno = 0;
  const long value = std::strtol(setting, nullptr, 10);
  // atoi's reading, without its overflow: 4294967297 is no 1.
  if (errno == ERANGE || value < 0 || value > 2) return -1;
  return static_cast<int>(value);
}

double SimulatorClass::ElapsedRunSeconds() const {
  if (runTimer == nullptr) return 0.0;
  return (static_cast<double>(KorvanClock()) - runTimer->start) / KORVAN_CLOCKS_PER_SEC;
}

void SimulatorClass::Run() {
  InstallInterruptHandlers();
  if (waitForSocket) {
    simMgrSocket = WaitForSimMgrConnection(SimMgrConnectWaitMs());
    if (simMgrSocket != nullptr) {
      // (A steady-state run that will be refused has left its files.)
      if (terminating != 0 || HasSteadyStateVariables()) CommitOutputFiles();
    } else {
      // Nothing will be simulated: the files of an earlier run are left as
      // they were, and those the set-up made are taken away.
      ForgetUncommittedResultFiles(true);
      status = 2;
      // Nothing will be simulated: not a good run (an interruption during
      // the wait keeps its own status).
      if (SimulatorInterruptSignal == 0) {
        std::cerr << "!! No simulation manager connected: nothing was simulated" << std::endl;
        exitStatus = 1;
      }
    }
  }
  if (terminating != 0) {
    TerminatingSimulation();
  } else {
    SteadyStateSimulation();
  }
  CloseXmlTrace(xmlTraceFile);
  traces->printFooter();
  if (textTraceFile != nullptr) textTraceFile->Close();
  if (xmlTraceFile != nullptr) xmlTraceFile->Close();
  // A trace on standard output that failed left the stream failed; the
  // summary lines try again (a full disk may have room now), and are said
  // to be lost if they cannot be written. The results are not touched.
  std::cout.clear();
  errno = 0;
  std::cout << "Actions fired: " << actionsFired << std::endl;
  std::cout << "CPU time (s): " << ElapsedRunSeconds() << std::endl;
  if (std::cout.fail()) {
    const int error = errno;
    std::cerr << "!! Error writing to standard output: " << (error != 0 ? std::strerror(error) : "write failed")
              << "; the summary lines are lost" << std::endl;
  }
  if (!CloseResultFiles()) exitStatus = 1;
  EndManagerConnection(simMgrSocket);
  delete simMgrSocket;
  simMgrSocket = nullptr;
  // A manager that went away before asking the run to quit did not get all
  // it was due; what it got may be only part of the run.
  if (linkLost && !quitReceived && exitStatus == 0) {
    std::cerr << "!! The connection to the simulation manager failed: the run stopped after "
              << batchesDone << (terminating != 0 ? " replications" : " batches of every variable")
              << ", not all handed over" << std::endl;
    exitStatus = 1;
  }
  if (SimulatorInterruptSignal != 0) {
    // Not all were handed over when the manager connection failed (also
    // after its quit: the hand-over that followed was cut), nor when a
    // result file could not take them (said above, and in exitStatus).
    std::cerr << "Simulation interrupted by signal " << SimulatorInterruptSignal;
    if (linkLost || exitStatus != 0) {
      std::cerr << "." << std::endl;
    } else {
      std::cerr << "; the observations made so far were handed over." << std::endl;
    }
    if (exitStatus == 0) exitStatus = 128 + SimulatorInterruptSignal;
  }
}

SimulatorClass::~SimulatorClass() {
  // The event list, schedule records, initial list and affects lists.
  DetachModel();
  delete groupList;
  delete actionList;
  // Sockets, result streams, packet queues and packets.
  DestroyOutput();
  delete traces;
  delete textTraceFile;
  CloseXmlTraceAtExit(nullptr);
  delete xmlTraceFile;
  RestorePipeAfterOutputs();
  delete[] overrideString;
  delete[] traceFileName;
  delete[] asciiFileName;
  delete[] binFileName;
  DestructStudy();
  delete runTimer;
  liveSimulators--;
}
