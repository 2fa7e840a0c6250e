#include "Cpp/BaseClasses/PVModel.h"

#include <fstream>
#include <new>

#include "Cpp/BaseClasses/BaseGroupClass.h"
#include "Cpp/BaseClasses/ErrorReporting.h"
#include "Cpp/BaseClasses/FastSet.h"
#include "Cpp/BaseClasses/KorvanAssert.h"
#include "Cpp/BaseClasses/state/BaseStateVariableClass.h"

namespace {

template <class T>
T* NewArray(int n) {
  T* array = new (std::nothrow) T[n > 0 ? n : 1]();
  if (array == nullptr) MemoryAllocationError();
  return array;
}

// Grows *array from *room to newRoom entries, keeping the first used ones.
template <class T>
void GrowArray(T** array, int used, int* room, int newRoom) {
  T* grown = NewArray<T>(newRoom);
  for (int i = 0; i < used; i++) grown[i] = (*array)[i];
  delete[] *array;
  *array = grown;
  *room = newRoom;
}

void Freeze(FastSet& set) {
  if (!set.frozen()) set.NoMoreModifications();
}

// The member actions of an action that synchronises others, or none.
int SyncMembers(BaseActionClass* action, BaseGroupClass*** members) {
  if (!action->isSync()) return 0;
  BaseGroupClass* group = dynamic_cast<BaseGroupClass*>(action);
  if (group == nullptr) return 0;
  *members = group->members;
  return group->getNumMembers();
}

}  // namespace

PVModel::PVModel() {
  noActionFired.defineName("No Action Fired Yet");
  lastFiredAction = &noActionFired;
  BaseModelClass::LastActionTime = 0.0;
  actions = nullptr;
  groups = nullptr;
}

PVModel::~PVModel() {
  Destruct();
  delete[] consideredNodes;
  consideredNodes = nullptr;
  numConsideredNodes = 0;
  // The copies made by Initialize; nulled so that no base part frees them.
  delete[] actions;
  delete[] groups;
  actions = nullptr;
  groups = nullptr;
  numActions = 0;
  numGroups = 0;
}

// ---- Forwarded to the top model. ----

void PVModel::listModels(const char* name, List<BaseModelClass>* out) {
  topModel->listModels(name, out);
}

void PVModel::CurrentState(void* image) { topModel->CurrentState(image); }

void PVModel::listActions(List<BaseActionClass>* out) {
  if (numActions > 0) out->append(actions, numActions);
}

void PVModel::listGroups(List<BaseGroupClass>* out) {
  if (numGroups > 0) out->append(groups, numGroups);
}

void PVModel::SetState(void* image) { topModel->SetState(image); }

int PVModel::StateSize() { return stateSize; }

bool PVModel::CompareState(void* a, void* b) { return topModel->CompareState(a, b); }

void PVModel::listActions(const char* name, List<BaseActionClass>* out) {
  topModel->listActions(name, out);
}

void PVModel::listSVs(const char* modelName, const char* svName,
                      List<BaseStateVariableClass>* svs, List<BaseModelClass>* models) {
  topModel->listSVs(modelName, svName, svs, models);
}

void PVModel::printState(std::ostream* s) { topModel->printState(s); }

// ---- Building. ----

void PVModel::CreatePVList(int numVariables, bool expandTimePoints) {
  delete[] pvNodes;
  pvNodesRoom = 100;
  pvNodes = NewArray<PerformanceVariableNode*>(pvNodesRoom);
  numPVNodes = 0;
  for (int i = 0; i < numVariables; i++) {
    PerformanceVariableNode* node = createPVNode(i, 0);
    KORVAN_ASSERT(node != nullptr);
    int d = node->GetNumTimePoints();
    int adding = expandTimePoints && d > 1 ? d : 1;
    // Room for every node this variable adds (at least the first one, also
    // for a variable without time points); growth keeps the nodes made so far.
    if (pvNodesRoom - numPVNodes < adding) {
      GrowArray(&pvNodes, numPVNodes, &pvNodesRoom, 2 * (pvNodesRoom + adding));
    }
    pvNodes[numPVNodes++] = node;
    for (int k = 1; k < adding; k++) {
      PerformanceVariableNode* timeNode = createPVNode(i, k);
      KORVAN_ASSERT(timeNode != nullptr);
      pvNodes[numPVNodes++] = timeNode;
    }
  }
}

void PVModel::Initialize() {
  KORVAN_ASSERT(topModel != nullptr);
  noActionFired.AllocatePVRateDS(numPVNodes);
  noActionFired.AllocatePVImpulseDS(numPVNodes);
  for (int i = 0; i < numPVNodes; i++) {
    Freeze(noActionFired.pvRateSets[i]);
    Freeze(noActionFired.pvImpulseSets[i]);
  }
  Freeze(noActionFired.AffectedNodes);
  Freeze(noActionFired.AffectedNodesByRateReward);
  Freeze(noActionFired.AffectedNodesByImpulseReward);

  numStateVariables = topModel->numStateVariables;
  delete[] actions;
  delete[] groups;
  numActions = topModel->numActions;
  actions = numActions > 0 ? NewArray<BaseActionClass*>(numActions) : nullptr;
  for (int a = 0; a < numActions; a++) actions[a] = topModel->actions[a];
  numGroups = topModel->numGroups;
  groups = numGroups > 0 ? NewArray<BaseGroupClass*>(numGroups) : nullptr;
  for (int g = 0; g < numGroups; g++) groups[g] = topModel->groups[g];

  for (int i = 0; i < numPVNodes; i++) {
    // The per-node tables inside the actions are indexed by the node's
    // position; ids from the class-wide counter match it only in the first
    // reward model of a process.
    pvNodes[i]->id = i;
    pvNodes[i]->FixReferences(topModel);
  }

  maxStopTime = 0.0;
  for (int i = 0; i < numPVNodes; i++) {
    if (pvNodes[i]->GetStop() > maxStopTime) maxStopTime = pvNodes[i]->GetStop();
  }

  MakeAffectedLists();
  MakeImpulseAffectedLists();
  CreateAffectedLists();

  topStateSize = topModel->StateSize();
  stateSize = topStateSize;
}

void PVModel::MakeAffectedLists() {
  for (int i = 0; i < numPVNodes; i++) {
    PerformanceVariableNode* node = pvNodes[i];
    node->CreateModelGroupList();
    node->CreateWorkerList();
    node->FixWorkerList();
    for (int d = 0; d < node->numVarDependencies; d++) {
      const char* svName = node->varDependencies[d].GetSVName();
      const char* modelName = node->varDependencies[d].GetModelName();
      // Pair every matching state variable with its own submodel by asking
      // each submodel separately.
      List<BaseModelClass> submodels;
      topModel->listModels(modelName, &submodels);
      for (int m = 0; m < submodels.getNumItems(); m++) {
        BaseModelClass* submodel = submodels[m];
        List<BaseStateVariableClass> svs;
        List<BaseModelClass> owners;
        submodel->listSVs(modelName, svName, &svs, &owners);
        for (int v = 0; v < svs.getNumItems(); v++) {
          List<BaseActionClass>* affecting = svs[v]->getAffectingActions();
          int numAffecting = affecting != nullptr ? affecting->getNumItems() : 0;
          for (int a = 0; a < numAffecting; a++) {
            BaseActionClass* Action = affecting->getItem(a);
            int PVCounter = i;
            if (!Action->IsPVRateDSAllocated()) {
              Action->AllocatePVRateDS(numPVNodes);
              numRateDataActions++;
            }
            if (Action->pvRateSets[i].empty()) {
              KORVAN_ASSERT(Action->AffectedNodesByRateReward.insert(PVCounter));
              node->numAffectingActions++;
            }
            node->AddPVWorkersToAction(Action, submodel);
          }
        }
      }
    }
  }
  for (int a = 0; a < numActions; a++) {
    BaseActionClass* action = actions[a];
    if (!action->IsPVRateDSAllocated()) action->AllocatePVRateDS(numPVNodes);
    for (int i = 0; i < numPVNodes; i++) Freeze(action->pvRateSets[i]);
    Freeze(action->AffectedNodesByRateReward);
  }
}

void PVModel::MakeImpulseAffectedLists() {
  for (int i = 0; i < numPVNodes; i++) {
    PerformanceVariableNode* node = pvNodes[i];
    node->CreateImpulseModelGroupList();
    node->CreateImpulseWorkerLists();
    node->FixImpulseWorkerLists();
    for (int j = 0; j < node->numImpulses; j++) {
      const char* actionName = node->impulseActionPairs[j].GetActionName();
      const char* modelName = node->impulseActionPairs[j].GetModelName();
      if (actionName == nullptr || modelName == nullptr) continue;
      List<BaseModelClass> submodels;
      topModel->listModels(modelName, &submodels);
      for (int m = 0; m < submodels.getNumItems(); m++) {
        BaseModelClass* submodel = submodels[m];
        List<BaseActionClass> named;
        submodel->listActions(actionName, &named);
        if (named.getNumItems() == 0) continue;
        BaseActionClass* action = named[0];
        if (!action->IsPVImpulseDSAllocated()) {
          action->AllocatePVImpulseDS(numPVNodes);
          numImpulseDataActions++;
        }
        if (action->pvImpulseTables[i] == nullptr) {
          action->AffectedNodesByImpulseReward.insert(i);
          node->numAffectingActions++;
          action->pvImpulseTables[i] = NewArray<int*>(node->numImpulses);
          action->pvImpulseCounts[i] = NewArray<int>(node->numImpulses);
        }
        if (action->pvImpulseTables[i][j] == nullptr) {
          action->pvImpulseSets[i].insert(j);
          action->pvImpulseTables[i][j] = NewArray<int>(node->numImpulseNodes[j]);
        }
        int* list = action->pvImpulseTables[i][j];
        int& length = action->pvImpulseCounts[i][j];
        for (int k = 0; k < node->numImpulseNodes[j]; k++) {
          if (node->impulseNodes[j] == nullptr || node->impulseNodes[j][k]->model != submodel) {
            continue;
          }
          KORVAN_ASSERT(length < node->numImpulseNodes[j]);
          list[length++] = k;
        }
      }
    }
  }
  for (int a = 0; a < numActions; a++) FreezeImpulseData(actions[a]);
}

void PVModel::FreezeImpulseData(BaseActionClass* action) {
  if (!action->IsPVImpulseDSAllocated()) action->AllocatePVImpulseDS(numPVNodes);
  for (int i = 0; i < numPVNodes; i++) Freeze(action->pvImpulseSets[i]);
  Freeze(action->AffectedNodesByImpulseReward);
  BaseGroupClass** members = nullptr;
  int numMembers = SyncMembers(action, &members);
  for (int m = 0; m < numMembers; m++) FreezeImpulseData(members[m]);
}

void PVModel::CreateAffectedLists() {
  for (int i = 0; i < numPVNodes; i++) {
    PerformanceVariableNode* node = pvNodes[i];
    delete[] node->affectingActions;
    node->affectingActions = node->numAffectingActions > 0
                                 ? NewArray<BaseActionClass*>(node->numAffectingActions)
                                 : nullptr;
    node->affectingActionsRoom = node->numAffectingActions;
    node->numAffectingActions = 0;
  }
  int total = numRateDataActions + numImpulseDataActions;
  if (total == 0) return;
  affectingActions = NewArray<BaseActionClass*>(total);
  affectedSets = NewArray<FastSet*>(total);
  numAffectingActions = 0;
  for (int a = 0; a < numActions; a++) {
    BaseActionClass* action = actions[a];
    if (action->AffectedNodesByRateReward.size() == 0 &&
        action->AffectedNodesByImpulseReward.size() == 0) {
      continue;
    }
    CreateTotalPVAffectsList(action);
    KORVAN_ASSERT(numAffectingActions < total);
    affectingActions[numAffectingActions] = action;
    affectedSets[numAffectingActions] = &action->AffectedNodes;
    numAffectingActions++;
    FastSet& affected = action->AffectedNodes;
    for (int e = 0; e < affected.size(); e++) {
      PerformanceVariableNode* node = pvNodes[affected[e]];
      KORVAN_ASSERT(node->numAffectingActions < node->affectingActionsRoom);
      node->affectingActions[node->numAffectingActions++] = action;
    }
  }
}

void PVModel::CreateTotalPVAffectsList(BaseActionClass* Action) {
  KORVAN_ASSERT(Action->AffectedNodes.empty());
  FastSet& byRate = Action->AffectedNodesByRateReward;
  FastSet& byImpulse = Action->AffectedNodesByImpulseReward;
  for (int e = 0; e < byRate.size(); e++) Action->AffectedNodes.insert(byRate[e]);
  for (int e = 0; e < byImpulse.size(); e++) Action->AffectedNodes.insert(byImpulse[e]);
  Action->AffectedNodes.NoMoreModifications();
}

void PVModel::RemakeAffectedLists() {}

// ---- Running. ----

void PVModel::ConsiderOnly(int* indices, int count) {
  int adding = indices == nullptr ? numPVNodes : (count > 0 ? count : 0);
  if (consideredRoom - numConsideredNodes < adding) {
    int newRoom = 2 * consideredRoom;
    if (newRoom < numConsideredNodes + adding) newRoom = numConsideredNodes + adding;
    GrowArray(&consideredNodes, numConsideredNodes, &consideredRoom, newRoom);
  }
  for (int k = 0; k < adding; k++) {
    int index = indices == nullptr ? k : indices[k];
    KORVAN_ASSERT(index >= 0 && index < numPVNodes);
    consideredNodes[numConsideredNodes++] = pvNodes[index];
    pvNodes[index]->SetAccumulationWatch(&accumulateFrom);
  }
  accumulateFrom = -HUGE_VAL;
}

void PVModel::EndAccumulate(double end) {
  BaseActionClass* fired = lastFiredAction;
  double lastTime = BaseModelClass::LastActionTime;
  for (int i = 0; i < numConsideredNodes; i++) {
    PerformanceVariableNode* node = consideredNodes[i];
    if (node->GetAccumulationState() != PV_COMPLETED) node->EndAccumulate(end, lastTime, fired);
  }
}

void PVModel::PVReset() {
  for (int i = 0; i < numPVNodes; i++) {
    int state = pvNodes[i]->GetAccumulationState();
    if (state == PV_ACCUMULATING || state == PV_COMPLETED) pvNodes[i]->Reset();
  }
  lastFiredAction = &noActionFired;
  BaseModelClass::LastActionTime = 0.0;
}

void PVModel::SteadyState() {
  PVReset();
  for (int i = 0; i < numPVNodes; i++) {
    if (pvNodes[i]->GetSteadyState() == 1) pvNodes[i]->SetAccumulationState(PV_ACCUMULATING);
  }
}

void PVModel::FireAction(void* state, BaseActionClass* action) {
  lastFiredAction = action;
  action->Fire();
  for (int i = 0; i < numConsideredNodes; i++) consideredNodes[i]->CurrentReward(action);
  CurrentState(state);
}

void PVModel::AgeAction(char*, BaseActionClass*) {
  lastFiredAction = &noActionFired;
  for (int i = 0; i < numConsideredNodes; i++) consideredNodes[i]->CurrentReward(&noActionFired);
}

void PVModel::PutPVState(void*) {
  for (int i = 0; i < numConsideredNodes; i++) {
    consideredNodes[i]->CurrentReward(&noActionFired);
    consideredNodes[i]->ClearImpulseAccumulation();
  }
}

void PVModel::GetPVState(void*) {}

void PVModel::WritePVTypeFile(const char* fileName) {
  std::ofstream out(fileName, std::ios::out | std::ios::trunc);
  if (!out) return;
  out << "Version:1" << std::endl;
  out << "NumPV:" << numPVNodes << std::endl;
  for (int i = 0; i < numPVNodes; i++) {
    PerformanceVariableNode* node = pvNodes[i];
    out << "Name:" << (node->GetName() != nullptr ? node->GetName() : "") << std::endl;
    out << "Type:" << static_cast<int>(node->GetRewardType()) << std::endl;
    out << "NumTimes:" << node->GetNumTimePoints() << std::endl;
    for (int t = 0; t < node->GetNumTimePoints(); t++) {
      out << "Start:" << node->GetStartTime(t) << std::endl;
      out << "Stop:" << node->GetStopTime(t) << std::endl;
    }
  }
}

// ---- Tear-down. ----

void PVModel::ReleaseImpulseData(BaseActionClass* action) {
  if (!action->IsPVImpulseDSAllocated()) return;
  for (int i = 0; i < numPVNodes; i++) {
    if (action->pvImpulseTables[i] != nullptr) {
      for (int f = 0; f < pvNodes[i]->numImpulses; f++) delete[] action->pvImpulseTables[i][f];
      delete[] action->pvImpulseTables[i];
      action->pvImpulseTables[i] = nullptr;
    }
    delete[] action->pvImpulseCounts[i];
    action->pvImpulseCounts[i] = nullptr;
  }
  action->DeallocatePVImpulseDS();
  BaseGroupClass** members = nullptr;
  int numMembers = SyncMembers(action, &members);
  for (int m = 0; m < numMembers; m++) ReleaseImpulseData(members[m]);
}

void PVModel::Destruct() {
  noActionFired.DeallocatePVRateDS();
  noActionFired.DeallocatePVImpulseDS();
  for (int a = 0; a < numActions; a++) {
    actions[a]->DeallocatePVRateDS();
    ReleaseImpulseData(actions[a]);
  }
  delete[] affectingActions;
  delete[] affectedSets;
  affectingActions = nullptr;
  affectedSets = nullptr;
  numAffectingActions = 0;
  for (int i = 0; i < numPVNodes; i++) delete pvNodes[i];
  delete[] pvNodes;
  pvNodes = nullptr;
  numPVNodes = 0;
  pvNodesRoom = 0;
  // The considered nodes were among those just deleted.
  numConsideredNodes = 0;
  delete topModel;
  topModel = nullptr;
}
