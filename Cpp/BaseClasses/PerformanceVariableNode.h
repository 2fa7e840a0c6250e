#ifndef PERFORMANCE_VARIABLE_NODE_H
#define PERFORMANCE_VARIABLE_NODE_H

#include <cmath>

#include "Cpp/BaseClasses/ActionModelPairClass.h"
#include "Cpp/BaseClasses/ImpulseNodeClass.h"
#include "Cpp/BaseClasses/ModelGroupClass.h"
#include "Cpp/BaseClasses/PerformanceVariableWorker.h"
#include "Cpp/BaseClasses/VarModelPairClass.h"

class BaseActionClass;
class BaseModelClass;

// Reward types. Instant of time adds its workers' values into the node once,
// when the node completes; every other type adds them, weighted, at each
// accumulation step.
enum RewardType {
  InstantOfTimeReward = 0,
  IntervalOfTimeReward = 1,
  TimeAveragedIntervalOfTimeReward = 2,
  SteadyStateReward = 3
};

// Accumulation states of a node within one observation.
enum { PV_NOT_STARTED = 0, PV_ACCUMULATING = 1, PV_COMPLETED = 2 };

// One reward variable observed over one window [start, stop]: its
// definition (name, type, time points, the submodels and state variables it
// depends on), its accumulators, and its workers, one per combination of the
// submodels it depends on. A generated subclass supplies CreateWorkerList and
// points modelSlot at its own top-model field.
//
// Ownership: the node owns its name, time arrays, dependency records, model
// groups, model-dependency names, impulse definitions, impulse nodes and all
// their arrays, its affecting-action array and its worker array. The workers
// themselves are created and deleted by the subclass.
//
// Lifecycle of one observation: accumulation state 0 (not started) -> 1
// (accumulating) -> 2 (completed), or 0 -> 2; Reset() returns it to 0.
class PerformanceVariableNode {
 public:
  PerformanceVariableNode() = default;
  PerformanceVariableNode(const PerformanceVariableNode&) = delete;
  PerformanceVariableNode& operator=(const PerformanceVariableNode&) = delete;

  virtual ~PerformanceVariableNode();
  // Creates numWorkers workers into workers[0 .. numWorkers-1].
  virtual void CreateWorkerList() = 0;
  // Clears the observation (value, square, state, workers, impulse nodes);
  // a steady-state node then moves its window on by one interval.
  virtual void Reset();

  // Takes the next id from the_id, copies name and the time arrays, selects
  // time point timeIndex as the current window (none when timeIndex is not
  // below numTimes: start and stop stay -1.0), and sizes the dependency and
  // impulse tables.
  void Initialize(const char* pvName, RewardType type, int numTimes, const double* starts,
                  const double* stops, int timeIndex, int numImpulseFunctions,
                  int numModelDeps, int numVariableDeps);
  // Replaces the time points (the current window is kept).
  void InitializeTimeArrays(int n, const double* starts, const double* stops);

  void AddVariableDependency(const char* svName, const char* modelName);
  void AddModelDependency(const char* modelName);
  bool IsDependentOnModel(const char* modelName) const;

  // Registers impulse as an impulse function (when new) triggered by the
  // action actionName of the submodels named modelName. The node takes
  // ownership of impulse.
  void AddImpulse(const char* actionName, const char* modelName, ImpulseNodeClass* impulse);
  // Ends the process with status 1 when impulse is not registered.
  void AddImpulseModelDependency(const char* modelName, ImpulseNodeClass* impulse);
  // By function index; REQUIRES: 0 <= i < number of impulse functions.
  void AddImpulseModelDependency(const char* modelName, int i);
  void AddImpulseActionDependency(const char* actionName, const char* modelName, int i);
  bool IsDependentOnImpulseModel(const char* modelName, int i) const;
  // The function index of a registered definition, or -1.
  int GetImpulseNumber(ImpulseNodeClass* impulse) const;

  // Binds the node to top: stores it through modelSlot, counts the workers
  // and impulse nodes, allocates the worker array.
  void FixReferences(BaseModelClass* top);
  // Assigns submodels to workers, the first dependency varying slowest. Ends
  // the process with status 1 when a dependency names no submodel.
  void CreateModelGroupList();
  void FixWorkerList();
  void AddPVWorkersToAction(BaseActionClass* action, BaseModelClass* model);
  int GetNumberOfWorkers();

  void GetNumberOfImpulseWorkers();
  void CreateImpulseModelGroupList();
  void CreateImpulseWorkerLists();
  void FixImpulseWorkerLists();
  bool ImpulseAffectedBy(BaseActionClass* action) const;

  // One accumulation step before a firing at now; the previous firing was
  // lastFired at lastTime. Nothing happens once completed or before start.
  void Accumulate(double now, double lastTime, BaseActionClass* lastFired) {
    if (accumulationState == PV_COMPLETED || now < start) return;
    AccumulateStep(now, lastTime, lastFired);
  }
  // Closes the observation at the end of a replication.
  void EndAccumulate(double end, double lastTime, BaseActionClass* lastFired);
  void UpdateAccumulate(double now);
  void CurrentReward(BaseActionClass* action);
  void UpdateDependencies();
  // Renames every worker and impulse node.
  void DefineName(const char* newName);

  RewardType GetRewardType() const { return rewardType; }
  int GetNumTimePoints() const { return numTimePoints; }
  // i is not range-tested.
  double GetStartTime(int i) const { return startTimes[i]; }
  double GetStopTime(int i) const { return stopTimes[i]; }

  // ---- Accessors for the reward model, the drivers and the traces. ----
  const char* GetName() const { return name; }
  double GetValue() const { return value; }
  double GetSquare() const { return square; }
  double GetImpulseValue() const { return impulseValue; }
  double GetImpulseSquare() const { return impulseSquare; }
  double GetStart() const { return start; }
  double GetStop() const { return stop; }
  void SetStop(double newStop) { stop = newStop; }
  double GetInterval() const { return interval; }
  int GetSteadyState() const { return steadyState; }
  void SetSteadyState(int indicator) { steadyState = indicator; }
  int GetAccumulationState() const { return accumulationState; }
  void SetAccumulationState(int s) {
    accumulationState = s;
    WindowChanged();
  }
  int GetId() const { return id; }
  int GetNumWorkers() const { return numWorkers; }
  PerformanceVariableWorker* GetWorker(int i) const { return workers[i]; }
  ModelGroupClass* GetModelGroup(int i) const { return &modelGroups[i]; }
  int GetNumAffectingActions() const { return numAffectingActions; }
  BaseActionClass* GetAffectingAction(int i) const { return affectingActions[i]; }
  int GetNumVariableDependencies() const { return numVarDependencies; }
  VarModelPairClass* GetVariableDependency(int i) const { return &varDependencies[i]; }
  int GetNumModelDependencies() const { return numModelDependencies; }
  const char* GetModelDependency(int i) const { return modelDependencies[i]; }
  int GetNumImpulseFunctions() const { return numImpulses; }
  ActionModelPairClass* GetImpulseActionPair(int i) const { return &impulseActionPairs[i]; }
  int GetNumImpulseNodes(int i) const { return numImpulseNodes[i]; }
  ImpulseNodeClass* GetImpulseNode(int f, int k) const { return impulseNodes[f][k]; }
  // Sets impulse value and square to 0.
  void ClearImpulseAccumulation() {
    impulseValue = 0.0;
    impulseSquare = 0.0;
  }

  // Ids handed out so far; never reset.
  static int the_id;

  // The reward model that walks this node keeps, at *watch, the earliest
  // time at which any of its nodes can accumulate, and skips its walk before
  // it. Every change of the node's state or window other than by
  // accumulation (a reset, a state set from outside, the end of an
  // observation) lowers it to minus infinity, so that the next walk looks
  // again. Null: no reward model watches.
  void SetAccumulationWatch(double* watch) {
    accumulationWatch = watch;
    WindowChanged();
  }

 protected:
  friend class PVModel;

  void WindowChanged() {
    if (accumulationWatch != nullptr) *accumulationWatch = -HUGE_VAL;
  }

  void AccumulateStep(double now, double lastTime, BaseActionClass* lastFired);
  void CommonAccumulate(double now, double lastTime, BaseActionClass* action);
  void TotalAccumulation();
  void ImpulseAccumulate(double now, double lastTime, BaseActionClass* action);
  // Frees the per-function impulse arrays and the definitions.
  void FreeImpulseTables();

  // ---- Fields, in record order. ----
  BaseModelClass** modelSlot = nullptr;
  char* name = nullptr;
  double value = 0.0;
  double square = 0.0;
  double start = -1.0;
  double stop = -1.0;
  int numTimePoints = 0;
  double* startTimes = nullptr;
  double* stopTimes = nullptr;
  double impulseValue = 0.0;
  double impulseSquare = 0.0;
  double interval = 0.0;
  int steadyState = 0;
  int accumulationState = PV_NOT_STARTED;
  int id = -1;
  RewardType rewardType = InstantOfTimeReward;
  // The top model given to FixReferences (also stored through modelSlot).
  BaseModelClass* boundTop = nullptr;

  BaseActionClass** affectingActions = nullptr;
  int numAffectingActions = 0;
  int affectingActionsRoom = 0;

  ModelGroupClass* modelGroups = nullptr;  // numWorkers entries once made
  int numWorkers = 0;
  PerformanceVariableWorker** workers = nullptr;

  VarModelPairClass* varDependencies = nullptr;
  int numVarDependencies = 0;  // filled
  int varDependencyRoom = 0;   // allocated

  // Impulse tables, one entry per impulse function.
  int numImpulses = 0;     // registered
  int impulseRoom = 0;     // allocated
  ImpulseNodeClass** impulseDefinitions = nullptr;
  ImpulseNodeClass*** impulseNodes = nullptr;      // per function, its impulse nodes
  int* numImpulseNodes = nullptr;
  ModelGroupClass** impulseModelGroups = nullptr;  // per function, per impulse node
  char*** impulseModelNames = nullptr;             // strdup copies
  int* numImpulseModelNames = nullptr;
  int* impulseModelNameRoom = nullptr;
  ActionModelPairClass* impulseActionPairs = nullptr;

  double* accumulationWatch = nullptr;

  char** modelDependencies = nullptr;  // strdup copies
  int numModelDependencies = 0;        // filled
  int modelDependencyRoom = 0;         // allocated
};

#endif
