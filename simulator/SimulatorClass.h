#ifndef SIMULATOR_CLASS_H
#define SIMULATOR_CLASS_H

#include <atomic>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <functional>
#include <list>
#include <string>
#include <vector>

#include "Cpp/BaseClasses/Heap.h"
#include "Cpp/BaseClasses/List.h"

class BaseActionClass;
class BaseGroupClass;
class BaseStudyClass;
class DataPacket;
class Event;
class EventList;
class KorvanSocket;
class PacketQueue;
class PerformanceVariableNode;
class PreselectGroup;
class PVModel;
class TraceFileContainer;
class TraceFileKorvan;
class TraceFileXML;

// One entry of an action's affects list: a group whose enabling or timing the
// action's firing can change. Built and freed by the simulator.
struct AffectsNode {
  BaseActionClass* group;
  AffectsNode* next;
};

// The reactivation list: groups whose activity has a reactivation predicate
// and that are scheduled.
typedef std::list<BaseActionClass*> ReactivationList;

// Per-group scheduling state; every group points to its own record.
struct ScheduleRecord {
  // Where the group's pending event sits in the event list; null when none.
  // Must stay the first field: EventList::Remove(void*) reads it through a
  // pointer to the record.
  Event** eventSlot = nullptr;
  // False while the group is held in the reactivation list.
  bool notInReactivationList = true;
  // The list node holding the group, valid while notInReactivationList is false.
  ReactivationList::iterator reactivationPosition{};
  // Set up once: the group's EnablingChange() leaves it exactly as a call of
  // its Enabled() in the same state would (an activity, or a plain or
  // post-select group of such members), so that after an EnablingChange()
  // that kept its event, Enabled() need not be asked again in that step.
  bool enablingChangeRefreshes = false;
  // Set up once: the action whose SampleDistribution() and
  // ReactivationPredicate() answer for the group's, asked directly when the
  // group is scheduled. A post-select group (exactly that class) with
  // members is timed by its first member; null means the group itself.
  BaseActionClass* timing = nullptr;
  // Set up once (see SimulatorClass::WatchUnchangedFirings): the models
  // declare that their enabling reads only places, the group is an
  // activity or a post-select group of activities, every place its members'
  // firings may change is watched (watched[0 .. numWatched-1], at most
  // SimulatorClass::kMaxWatchedMarks), and every group on its members'
  // affects lists keeps its recorded enabling current
  // (enablingChangeRefreshes). A firing of such a group that leaves every
  // watched marking as it was has changed no enabling: the step then only
  // schedules the group again.
  bool watchFirings = false;
  // The group is a lone activity (it fires itself; a post-select group that
  // fires itself has fired none of its members).
  bool watchedLoneActivity = false;
  // The addresses of the watched places' mark pointers (in
  // SimulatorClass::watchedMarks).
  short* const* const* watched = nullptr;
  int numWatched = 0;
};

// Processor-time reading taken at the start of a run.
struct RunTimer {
  double start;
  double elapsed;
};

// The one simulator object of the process (a second one may be built only
// after the first is destroyed): the options, the model it runs,
// the run state, the results output and the manager link.
//
// Ownership: the simulator owns its lists, event list, schedule records,
// trace container, file streams, sockets and packet queues; the study owns
// the reward model and, through it, the whole model.
class SimulatorClass {
 public:
  // Builds a ready simulator from the command line; ends the process with
  // status 1 on a command-line or set-up error.
  SimulatorClass(int argc, char** argv);
  // A simulator is only ever built from a command line: ends the process.
  SimulatorClass();
  SimulatorClass(const SimulatorClass&) = delete;
  SimulatorClass& operator=(const SimulatorClass&) = delete;
  ~SimulatorClass();

  void Run();

  // Binds the simulator to a reward model (and through it to the model): the
  // variables of this simulation type, the groups and their schedule
  // records, the connectivity list, the event list and the actions.
  void AttachModel(PVModel* model);
  // Releases what AttachModel built; the model itself stays with its owner.
  void DetachModel();
  // Whether the reward model has a steady-state variable (without one a
  // steady-state run is refused when it starts).
  bool HasSteadyStateVariables() const;

  // Command line. Returns 0 on success, 1 on error (message already written).
  short ParseCommandLineOptions(int argc, char** argv);
  void PrintUsage();

  // ---- Simulation step, enabling and reactivation. ----
  int GenerateConnectivityList();
  int GenerateConnectivityListOld();
  // The builder SIMTEST asks for: 0 or 1 the earlier one (1: with its
  // matrix of pairs already listed), 2 (or no SIMTEST) the current one,
  // read as atoi reads it (a text without digits is 0); -1 for any other
  // number, one beyond an int's range included.
  static int ConnectivityBuilderSetting();
  // Prepend a node for group to action's affects list; 1 when no node could
  // be allocated.
  int AddActionAffects(BaseActionClass* group, BaseActionClass* action);
  int AddActionAffectsOld(BaseActionClass* group, BaseActionClass* action);
  void ClearActionAffectsList(BaseActionClass* action);
  void DestructConnectivityList();
  void PrintConnectivityList(std::ostream* out);
  int GenerateInitialEnabledList();
  short GenerateCompleteEventList();
  short GenerateCompleteEventListSS();
  // Fires the event in earliestSlot (nextAction at currentTime), brings the
  // event list up to date and moves earliestSlot, currentTime and nextAction
  // to the next event; false when none is left.
  bool SimStep();
  // SimStep() as long as currentTime is at most endTime and an event is
  // left: an event exactly at endTime fires, the first one after it does
  // not. REQUIRES: earliestSlot, currentTime and nextAction set as SimStep()
  // leaves them.
  void StepUntil(double endTime);
  bool SimStepSS();
  void CheckReactivationList();
  void RemoveAffectedActions();
  void InsertAffectedActions();
  [[noreturn]] void HandleInvalidDistParams(BaseActionClass* action, std::string message);
  // Gives group a fresh sample measured from currentTime and puts it in the
  // event list (and in the reactivation list when its predicate holds).
  void ScheduleGroup(BaseActionClass* group);
  // Whether group's EnablingChange() leaves it as a call of its Enabled()
  // would (see ScheduleRecord::enablingChangeRefreshes); depth bounds the
  // walk into nested groups.
  static bool EnablingChangeRefreshes(BaseGroupClass* group, int depth);
  // Sets up the records' watchFirings, watched and numWatched, and
  // watchedMarks, once the affects lists are built.
  void WatchUnchangedFirings();
  // The action that times group (see ScheduleRecord::timing).
  static BaseActionClass* TimingAction(BaseGroupClass* group);
  // Lists the pre-select groups among the model's groups and their members
  // at any depth (preselectGroups), once, when the model is attached.
  void ListPreselectGroups();
  // Has every pre-select group choose its case afresh at its next query, so
  // that a choice made in one replication is not carried into the next.
  void ForgetPreselections();

  // ---- Drivers. ----
  void TerminatingSimulation();
  void SteadyStateSimulation();
  void CheckCompletedBatches(PerformanceVariableNode** nodes, int* valueCounts, int* squareCounts);
  int SendSSResults(int* valueCounts, int* squareCounts);
  // The run was stopped (status 2) by the manager's quit, over a link that
  // still works: the manager reads on for what the run hands over as it
  // stops.
  bool StoppedByQuit() const { return quitReceived && !linkLost; }
  // Starts runTimer at the current processor time.
  void StartRunTimer();
  // Processor seconds since StartRunTimer(); 0 before any run.
  double ElapsedRunSeconds() const;

  // ---- Results output. ----
  DataPacket* CreateDataPacket(int numPVs);
  int CheckReportSize(double cpuSeconds);
  int OutputThreadFunc();
  static int StaticOutputThreadFunc(void* simulator);
  // Creates (or empties) the ASCII result file and writes its header. An
  // existing regular file is emptied only once its header is written: when
  // the header cannot be (a full disk), it keeps what it held.
  std::ofstream* CreateASCIIFile(char* unused);
  // Creates (or empties) the binary result file `name` and writes its
  // header, as CreateASCIIFile does. With `checkedFd`, an open descriptor of the file that was found
  // fit to be written, that very file is written even if something else has
  // been put at its name since.
  std::ofstream* CreateBinFile(char* name, int checkedFd = -1);
  // Writers: the same bytes to each non-null destination, the socket first.
  int Output(KorvanSocket* socket, std::ostream* stream, double* values, int n);
  int OutputInt(KorvanSocket* socket, std::ostream* stream, int value);
  int OutputShort(KorvanSocket* socket, std::ostream* stream, short value);
  int OutputByte(KorvanSocket* socket, std::ostream* stream, char value);
  static double EndianConvertDouble(double value);
  void OutputCPUTime(KorvanSocket* socket, double cpuSeconds);
  void OutputDataBinary(KorvanSocket* socket, std::ostream* stream, DataPacket* values,
                        DataPacket* squares);
  void OutputDataCSV(std::ostream* stream, DataPacket* values, DataPacket* squares);
  void ResetDataPacketBuffer();
  // Set-up and tear-down of the output side, called by the constructor and
  // the destructor: the two packet queues; the result files named on the
  // command line (false, after reporting on standard error, when one cannot
  // be opened); and the release of queues, packets, sockets and streams.
  void CreatePacketQueues();
  bool OpenResultFiles();
  // The set-up's first look at the result files: refuses (false, after
  // reporting) what OpenResultFiles would refuse, makes missing files, and
  // opens those that are not regular files; the regular ones are opened,
  // emptied and given their headers by OpenResultFiles once the set-up has
  // succeeded. Files made here and never opened are removed again when the
  // process ends first.
  bool PrepareResultFiles();
  // Drops the record of the files PrepareResultFiles made, removing them
  // when `remove` is set (and they are still empty).
  static void ForgetUncommittedResultFiles(bool remove);
  // Opens the regular result files (emptying them and writing their
  // headers; the process ends with status 1 when one cannot be opened) and
  // the trace files held so far, once the run is sure to start: at the end
  // of the set-up, or, for a run that waits for a manager (-w), once one has
  // connected.
  void CommitOutputFiles();
  // False, after naming them on standard error, when two of the files the
  // command line names for output (ASCII and binary results, text and XML
  // traces) are one file.
  bool OutputFilesDistinct() const;
  // The file a trace writes with -f (its name plus `extension`, ".txt" or
  // ".xml"); empty when it writes to standard output or -f gave an empty
  // name, which names no file (it would be the hidden file ".txt").
  std::string TraceFilePath(const char* extension) const;
  // Closes the result files at the end of the run; false, after reporting
  // it as a failed write, when a close fails.
  bool CloseResultFiles();
  // Ends the connection `socket` (which stays to be deleted) so that what
  // was sent reaches the manager: a command byte left unread would
  // otherwise reset it, and the manager would lose what was still on its
  // way. What the manager had not taken after kInterruptedSendWaitMs
  // without progress is reported, and counts as a lost link.
  void EndManagerConnection(KorvanSocket* socket);
  void DestroyOutput();

  // ---- Manager link. ----
  KorvanSocket* WaitForSimMgrConnection(int waitMs);
  void ListenToSimMgr(KorvanSocket* socket);
  // Command 3, after its command byte: reads "<file>;<limit>;;", switches
  // to that binary result file and releases the connection (see the
  // manager-link source for the rules the text and the file must meet).
  void ServeFileCommand(KorvanSocket* socket);
  void ListenToSimMgrLoop(KorvanSocket* socket);
  // Whether a stop has been asked for while output files are being opened:
  // a stop signal, or, once a manager has connected, its quit (a command
  // waiting on the connection is served to find out).
  bool StopAskedWhileOpening();
  int SocketThreadFunc();
  static int StaticSocketThreadFunc(void* simulator);

  // ---- Fields, in the order of the simulator record. ----
  char* overrideString = nullptr;
  Heap<double>* batchBoundaries = nullptr;
  Heap<int>* batchCounts = nullptr;
  // The batch check under way closes what the last firing ran past, though
  // a stop came during that firing.
  bool closingAfterStop = false;
  // A hand-over was made by a closing after a stop (its only one).
  bool handedOverAfterStop = false;
  RunTimer* runTimer = nullptr;
  PerformanceVariableNode** pvNodes = nullptr;
  BaseActionClass** actions = nullptr;
  List<BaseGroupClass>* groupList = nullptr;
  List<BaseActionClass>* actionList = nullptr;
  // Made and freed with each run for callers that build an event to hand
  // to EventList::Insert; the step itself schedules with the fields
  // directly (copying a just-written event stalls the store).
  Event* scratchEvent = nullptr;
  Event** earliestSlot = nullptr;
  BaseActionClass* nextAction = nullptr;
  BaseActionClass* lastFired = nullptr;
  AffectsNode* affectsCursor = nullptr;
  // The markings watched across firings (ScheduleRecord::watchFirings): the
  // addresses of the places' mark pointers (which lead to shared storage),
  // and room for their values before the firing under way.
  static constexpr int kMaxWatchedMarks = 8;
  std::vector<short* const*> watchedMarks;
  std::vector<PreselectGroup*> preselectGroups;
  short marksBefore[kMaxWatchedMarks] = {};
  EventList* eventList = nullptr;
  ScheduleRecord* scheduleRecords = nullptr;
  BaseGroupClass** groups = nullptr;
  BaseActionClass** initialEnabled = nullptr;
  ReactivationList reactivationList;
  int numInitialEnabled = 0;
  // Run control: 0 runs on; 1 the run ended by itself and the last hand-over
  // is under way; 2 stop everything. Atomic: the write-out and manager-link
  // bodies (StaticOutputThreadFunc, StaticSocketThreadFunc) poll it on a
  // thread of their own while another thread may set it; volatile orders
  // nothing between threads. Never read in the step itself.
  std::atomic<int> status{0};
  double currentTime = 0.0;
  PVModel* pvModel = nullptr;
  BaseStudyClass* study = nullptr;

  // Results output and manager link.
  PacketQueue* freePackets = nullptr;
  PacketQueue* fullPackets = nullptr;
  DataPacket* valuePacket = nullptr;
  DataPacket* squarePacket = nullptr;
  int queueCapacity = 50;
  int64_t reportsWritten = 1;
  KorvanSocket* simMgrSocket = nullptr;
  KorvanSocket* listenSocket = nullptr;
  int acceptPollMs = 2000;
  int commandPollMs = 0;
  // Longest wait for the rest of a command once its first byte has arrived.
  int commandTextWaitMs = 10000;
  // The manager asked the run to quit (command 2).
  bool quitReceived = false;
  // The manager connection failed (a send, poll or read error, or a command
  // cut short) while results were still due to the manager.
  bool linkLost = false;
  std::ofstream* asciiStream = nullptr;
  std::ofstream* binStream = nullptr;
  // Second descriptors of the result files (-1: none), with which a file
  // whose write failed is cut back to its last whole hand-over.
  int asciiFd = -1;
  int binFd = -1;

  int reportSize = 1000;
  uint16_t port = 10000;
  int clientId = 0;
  int experiment = 0;
  int numPVs = 0;
  double cpuSeconds = 0.0;
  int terminating = 1;
  char* traceFileName = nullptr;
  int traceLevel = 1;
  bool textTrace = false;
  bool xmlTrace = false;
  TraceFileContainer* traces = nullptr;
  TraceFileKorvan* textTraceFile = nullptr;
  TraceFileXML* xmlTraceFile = nullptr;
  int generatorChoice = 0;
  uint32_t seed = 31415;
  int maxBatches = -1;
  // Counted in 64 bits: a run without a limit (-N 0, which simmgr uses
  // when an experiment may need more than 2^31 replications) goes on past
  // 2^31 replications.
  int64_t batchesDone = 0;
  char* asciiFileName = nullptr;
  char* binFileName = nullptr;
  bool waitForSocket = false;
  // Counted in 64 bits: long runs fire more than 2^31 actions.
  int64_t actionsFired = 0;
  // Events scheduled in a row without the simulated time moving on (at
  // stalledTime), counted from the start of each replication or run; more
  // than maxEventsAtOneTime ends the process with a fatal error rather than
  // let a zero-time loop run for ever.
  double stalledTime = 0.0;
  int64_t eventsAtStalledTime = 0;
  int64_t maxEventsAtOneTime = 100000000;

  // Conversion buffer of Output, grown to the largest count seen.
  double* conversionBuffer = nullptr;
  int conversionBufferSize = 0;
  // Exit status of the process after the run: 0 after a good run, non-zero
  // when results were lost (a result file could not be written) or the run
  // was interrupted.
  int exitStatus = 0;

 private:
  // The body of SimStep(), inlined where it runs (in SimStep() and in the
  // loop of StepUntil(), both in the step's source).
  bool Step();
  // After group (record->watchFirings) fired: whether the firing changed no
  // enabling (see WatchUnchangedFirings).
  bool FiredUnchanged(BaseActionClass* group, const ScheduleRecord* record);
};

// The first SIGINT or SIGTERM received (0: none). The drivers stop after the
// replication or step in progress and hand over what they have.
extern volatile sig_atomic_t SimulatorInterruptSignal;

// Set once the run has been declared a good exit (everything handed over and
// the files closed): a stop at once after that ends the process with status
// 0, as the claim says, instead of with the status of an interruption.
extern volatile sig_atomic_t SimulatorGoodExitClaimed;

// For a stop at once: cuts every result file that a hand-over is being
// written to back to where its last whole hand-over ends. Safe to call from
// a signal handler.
void CutUnfinishedResultWrites();

// Waits for a reader of the FIFO `path`, so that the writer's own open then
// finds one at once rather than waiting for ever: the FIFO is tried without
// blocking every 20 ms, and `stopAsked` looked at before every try. False,
// reporting nothing, once `stopAsked` says a stop was asked for. On true,
// *writeEnd is the write end the try opened and *readEnd a read end, both
// to be closed only once the writer's own open has succeeded (-1 when the
// try failed otherwise: the writer's open reports that).
bool WaitForFifoReader(const std::string& path, int* writeEnd, int* readEnd,
                       const std::function<bool()>& stopAsked);

// Enables the print of the initial state at the start of a terminating run
// when 4 or more. Nothing in the program sets it.
extern int GlobalDebugLevel;

#endif
