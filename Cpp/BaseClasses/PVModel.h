#ifndef PV_MODEL_H
#define PV_MODEL_H

#include <iostream>

#include "Cpp/BaseClasses/BaseActionClass.h"
#include "Cpp/BaseClasses/BaseModelClass.h"
#include "Cpp/BaseClasses/List.h"
#include "Cpp/BaseClasses/PerformanceVariableNode.h"

class BaseGroupClass;
class BaseStateVariableClass;
class FastSet;

// The reward model: wraps the top model (whose state the rewards observe),
// holds the performance variable nodes, works out once which actions can
// change which node, and turns every firing into reward accumulation. The
// simulator uses it in place of the model: state operations and the action
// and group lists are forwarded to the top model.
//
// A generated subclass sets topModel and supplies createPVNode, then calls
// CreatePVList and Initialize from its constructor.
//
// Ownership: owns the top model, the nodes and the node array, the
// affecting-action arrays, the considered-node array, its copies of the top
// model's action and group arrays, and the per-node tables it builds inside
// the top model's actions (freed by Destruct).
class PVModel : public BaseModelClass {
 public:
  PVModel();
  ~PVModel() override;

  // ---- Forwarded to the top model. ----
  void listModels(const char* name, List<BaseModelClass>* out) override;
  void CurrentState(void* image) override;
  // Appends the action and group arrays copied from the top model.
  void listActions(List<BaseActionClass>* out) override;
  void listGroups(List<BaseGroupClass>* out) override;
  void SetState(void* image) override;
  // The stored state size (the top model's, taken by Initialize).
  int StateSize() override;
  bool CompareState(void* a, void* b) override;
  void listActions(const char* name, List<BaseActionClass>* out) override;
  void listSVs(const char* modelName, const char* svName, List<BaseStateVariableClass>* svs,
               List<BaseModelClass>* models) override;
  void printState(std::ostream* s) override;
  using BaseModelClass::printState;

  // A new node observing time point timeIndex of variable variableIndex.
  virtual PerformanceVariableNode* createPVNode(int variableIndex, int timeIndex) = 0;

  // Creates the nodes of numVariables variables; with expandTimePoints, one
  // node per time point of each variable. REQUIRES: called once, before
  // Initialize; createPVNode gives a node for every index below numVariables.
  void CreatePVList(int numVariables, bool expandTimePoints);
  // Binds the nodes to the top model and builds the per-action reward sets;
  // each node's id becomes its position in the node array.
  // REQUIRES: topModel set, CreatePVList done, called once.
  void Initialize();

  // Appends to the considered nodes those at indices[0 .. count-1], in that
  // order; a null indices appends every node. REQUIRES: valid indices.
  void ConsiderOnly(int* indices, int count);

  // Before a firing at now: accumulates every considered node. Nothing is
  // walked before the earliest start of a considered node that has not
  // completed (a node does nothing before its start or once completed); the
  // walk computes that time afresh, and the nodes lower it whenever their
  // state or window changes otherwise.
  void Accumulate(double now) {
    if (now < accumulateFrom) return;
    BaseActionClass* fired = lastFiredAction;
    double lastTime = BaseModelClass::LastActionTime;
    double from = HUGE_VAL;
    for (int i = 0; i < numConsideredNodes; i++) {
      PerformanceVariableNode* node = consideredNodes[i];
      node->Accumulate(now, lastTime, fired);
      if (node->accumulationState == PV_COMPLETED) continue;
      const double start = node->start;
      // A start that is not a number never holds a node back: walk always.
      if (!(start >= from)) from = start == start ? start : -HUGE_VAL;
    }
    accumulateFrom = from;
  }
  // Fires action at now; returns (and remembers) the action that fired.
  BaseActionClass* FireAction(BaseActionClass* action, double now) {
    BaseModelClass::LastActionTime = now;
    BaseActionClass* fired = action->Fire();
    // An action that names no fired member stands for itself, so that the
    // last fired action is never null.
    lastFiredAction = fired != nullptr ? fired : action;
    return lastFiredAction;
  }
  // Closes every considered node not yet completed at the replication end.
  void EndAccumulate(double end);
  // Clears the nodes that started and forgets the last firing.
  void PVReset();
  // As PVReset, then starts every steady-state node accumulating.
  void SteadyState();

  void FireAction(void* state, BaseActionClass* action);
  void AgeAction(char* state, BaseActionClass* action);
  void PutPVState(void* state);
  void GetPVState(void* state);
  void CreateTotalPVAffectsList(BaseActionClass* action);
  void RemakeAffectedLists();
  // Writes the reward type file; an unopenable file writes nothing.
  void WritePVTypeFile(const char* fileName);

  // ---- Accessors for the simulator, the drivers and the traces. ----
  PerformanceVariableNode** GetPVNodes() const { return pvNodes; }
  int GetNumPVNodes() const { return numPVNodes; }
  PerformanceVariableNode* GetPVNode(int i) const { return pvNodes[i]; }
  double GetMaxStopTime() const { return maxStopTime; }
  BaseModelClass* GetTopModel() const { return topModel; }
  BaseActionClass* GetLastFiredAction() const { return lastFiredAction; }
  BaseActionClass* GetNoActionFired() { return &noActionFired; }
  int GetNumConsideredNodes() const { return numConsideredNodes; }
  PerformanceVariableNode** GetConsideredNodes() const { return consideredNodes; }
  int GetNumAffectingActions() const { return numAffectingActions; }
  BaseActionClass* GetAffectingAction(int i) const { return affectingActions[i]; }
  FastSet* GetAffectedSet(int i) const { return affectedSets[i]; }

 protected:
  void MakeAffectedLists();
  void MakeImpulseAffectedLists();
  void CreateAffectedLists();
  // Releases everything built from the top model, then the nodes and the top
  // model itself. Safe to call twice.
  void Destruct();

  // ---- Fields, in record order. ----
  BaseModelClass* topModel = nullptr;
  BaseActionClass* lastFiredAction = nullptr;
  PerformanceVariableNode** pvNodes = nullptr;
  int numPVNodes = 0;
  double maxStopTime = 0.0;
  int numRateDataActions = 0;
  int numImpulseDataActions = 0;
  BaseActionClass** affectingActions = nullptr;
  FastSet** affectedSets = nullptr;
  int numAffectingActions = 0;
  int topStateSize = 0;
  int stateSize = 0;
  BaseActionClass noActionFired;
  PerformanceVariableNode** consideredNodes = nullptr;
  int numConsideredNodes = 0;
  // No considered node accumulates before this time (see Accumulate); minus
  // infinity when it has to be worked out again.
  double accumulateFrom = -HUGE_VAL;

 private:
  void FreezeImpulseData(BaseActionClass* action);
  void ReleaseImpulseData(BaseActionClass* action);

  int pvNodesRoom = 0;
  int consideredRoom = 0;
};

#endif
