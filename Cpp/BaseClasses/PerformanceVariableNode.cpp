#include "Cpp/BaseClasses/PerformanceVariableNode.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <new>

#include "Cpp/BaseClasses/BaseActionClass.h"
#include "Cpp/BaseClasses/BaseGroupClass.h"
#include "Cpp/BaseClasses/BaseModelClass.h"
#include "Cpp/BaseClasses/ErrorReporting.h"
#include "Cpp/BaseClasses/KorvanAssert.h"
#include "Cpp/BaseClasses/List.h"

int PerformanceVariableNode::the_id = 0;

namespace {

char* CopyString(const char* text) {
  char* copy = strdup(text != nullptr ? text : "");
  if (copy == nullptr) MemoryAllocationError();
  return copy;
}

template <class T>
T* NewArray(int n) {
  T* array = new (std::nothrow) T[n > 0 ? n : 1]();
  if (array == nullptr) MemoryAllocationError();
  return array;
}

// Grows a pointer or value array from room to newRoom entries, keeping the
// first used ones.
template <class T>
void GrowArray(T** array, int used, int* room, int newRoom) {
  T* grown = NewArray<T>(newRoom);
  for (int i = 0; i < used; i++) grown[i] = (*array)[i];
  delete[] *array;
  *array = grown;
  *room = newRoom;
}

bool NameIn(char** names, int count, const char* name) {
  for (int i = 0; i < count; i++) {
    if (std::strcmp(names[i], name) == 0) return true;
  }
  return false;
}

// Number of submodels of top named name.
int CountModels(BaseModelClass* top, const char* name) {
  List<BaseModelClass> found;
  top->listModels(name, &found);
  return found.getNumItems();
}

// Binary search in a frozen set, membership test in a building one.
bool SetHolds(const FastSet& set, int value) {
  if (!set.frozen()) return set.find(value);
  FastSet& frozen = const_cast<FastSet&>(set);
  int low = 0;
  int high = frozen.size() - 1;
  while (low <= high) {
    int mid = low + (high - low) / 2;
    int v = frozen[mid];
    if (v == value) return true;
    if (v < value) {
      low = mid + 1;
    } else {
      high = mid - 1;
    }
  }
  return false;
}

// The members of an action that synchronises others, or none.
int SyncMembers(BaseActionClass* action, BaseGroupClass*** members) {
  if (!action->isSync()) return 0;
  BaseGroupClass* group = dynamic_cast<BaseGroupClass*>(action);
  if (group == nullptr) return 0;
  *members = group->members;
  return group->getNumMembers();
}

// Gives each of count groups one model per dependency name in names: the
// combinations of the named submodels, the first name varying slowest.
// A name equal to fixedName (when not null) is given fixedModel in every
// group and takes no part in the combinations.
// Returns false (after assigning nothing more) when a name matches no
// submodel; *missing is then that name.
bool AssignCombinations(BaseModelClass* top, char** names, int numNames, ModelGroupClass* groups,
                        int count, const char** missing, const char* fixedName = nullptr,
                        BaseModelClass* fixedModel = nullptr) {
  for (int j = 0; j < count; j++) groups[j].CreateModelList(numNames);
  int n = count;
  for (int d = 0; d < numNames; d++) {
    if (fixedName != nullptr && std::strcmp(names[d], fixedName) == 0) {
      for (int j = 0; j < count; j++) groups[j].SetModel(d, fixedModel);
      continue;
    }
    List<BaseModelClass> found;
    top->listModels(names[d], &found);
    int numFound = found.getNumItems();
    if (numFound == 0) {
      *missing = names[d];
      return false;
    }
    n /= numFound;
    if (n < 1) n = 1;  // fewer groups than combinations: never divide by zero
    int index = -1;
    for (int j = 0; j < count; j++) {
      if (j % n == 0) index = (index + 1) % numFound;
      groups[j].SetModel(d, found[index]);
    }
  }
  return true;
}

}  // namespace

PerformanceVariableNode::~PerformanceVariableNode() {
  delete[] varDependencies;
  delete[] modelGroups;
  for (int i = 0; i < numModelDependencies; i++) free(modelDependencies[i]);
  delete[] modelDependencies;
  FreeImpulseTables();
  delete[] affectingActions;
  delete[] workers;
  free(name);
  delete[] startTimes;
  delete[] stopTimes;
}

void PerformanceVariableNode::FreeImpulseTables() {
  for (int f = 0; f < numImpulses; f++) {
    if (impulseNodes[f] != nullptr) {
      for (int k = 0; k < numImpulseNodes[f]; k++) delete impulseNodes[f][k];
      delete[] impulseNodes[f];
    }
    delete[] impulseModelGroups[f];
    for (int m = 0; m < numImpulseModelNames[f]; m++) free(impulseModelNames[f][m]);
    delete[] impulseModelNames[f];
    delete impulseDefinitions[f];
  }
  delete[] impulseDefinitions;
  delete[] impulseNodes;
  delete[] numImpulseNodes;
  delete[] impulseModelGroups;
  delete[] impulseModelNames;
  delete[] numImpulseModelNames;
  delete[] impulseModelNameRoom;
  delete[] impulseActionPairs;
  impulseDefinitions = nullptr;
  impulseNodes = nullptr;
  numImpulseNodes = nullptr;
  impulseModelGroups = nullptr;
  impulseModelNames = nullptr;
  numImpulseModelNames = nullptr;
  impulseModelNameRoom = nullptr;
  impulseActionPairs = nullptr;
  numImpulses = 0;
  impulseRoom = 0;
}

void PerformanceVariableNode::Reset() {
  value = 0.0;
  square = 0.0;
  accumulationState = PV_NOT_STARTED;
  for (int i = 0; i < numWorkers; i++) workers[i]->Reset();
  impulseValue = 0.0;
  impulseSquare = 0.0;
  for (int f = 0; f < numImpulses; f++) {
    for (int k = 0; k < numImpulseNodes[f]; k++) impulseNodes[f][k]->ResetImpulse();
  }
  if (steadyState == 1) {
    start = stop;
    stop = stop + interval;
    // The workers and impulse nodes were given the node's window (see
    // FixWorkerList and FixImpulseWorkerLists) and bound their
    // accumulation by it: they move on with it.
    for (int i = 0; i < numWorkers; i++) {
      workers[i]->start = start;
      workers[i]->stop = stop;
    }
    for (int f = 0; f < numImpulses; f++) {
      for (int k = 0; k < numImpulseNodes[f]; k++) {
        impulseNodes[f][k]->start = start;
        impulseNodes[f][k]->stop = stop;
      }
    }
  }
  WindowChanged();
}

void PerformanceVariableNode::Initialize(const char* pvName, RewardType type, int numTimes,
                                         const double* starts, const double* stops,
                                         int timeIndex, int numImpulseFunctions,
                                         int numModelDeps, int numVariableDeps) {
  id = the_id++;
  rewardType = type;
  InitializeTimeArrays(numTimes, starts, stops);
  // A time index outside the time points selects no window rather than
  // reading past the arrays.
  if (timeIndex >= 0 && timeIndex < numTimePoints) {
    start = startTimes[timeIndex];
    stop = stopTimes[timeIndex];
    interval = stop - start;
  }
  WindowChanged();
  free(name);
  name = CopyString(pvName);

  delete[] varDependencies;
  varDependencyRoom = numVariableDeps > 0 ? numVariableDeps : 0;
  varDependencies = varDependencyRoom > 0 ? new VarModelPairClass[varDependencyRoom] : nullptr;
  numVarDependencies = 0;

  for (int i = 0; i < numModelDependencies; i++) free(modelDependencies[i]);
  delete[] modelDependencies;
  modelDependencyRoom = numModelDeps > 0 ? numModelDeps : 0;
  modelDependencies = modelDependencyRoom > 0 ? NewArray<char*>(modelDependencyRoom) : nullptr;
  numModelDependencies = 0;

  FreeImpulseTables();
  if (numImpulseFunctions > 0) {
    impulseRoom = numImpulseFunctions;
    impulseDefinitions = NewArray<ImpulseNodeClass*>(impulseRoom);
    impulseNodes = NewArray<ImpulseNodeClass**>(impulseRoom);
    numImpulseNodes = NewArray<int>(impulseRoom);
    impulseModelGroups = NewArray<ModelGroupClass*>(impulseRoom);
    impulseModelNames = NewArray<char**>(impulseRoom);
    numImpulseModelNames = NewArray<int>(impulseRoom);
    impulseModelNameRoom = NewArray<int>(impulseRoom);
    impulseActionPairs = new ActionModelPairClass[impulseRoom];
  }
}

void PerformanceVariableNode::InitializeTimeArrays(int n, const double* starts,
                                                   const double* stops) {
  delete[] startTimes;
  delete[] stopTimes;
  startTimes = nullptr;
  stopTimes = nullptr;
  numTimePoints = n > 0 ? n : 0;
  if (numTimePoints == 0) return;
  startTimes = NewArray<double>(numTimePoints);
  stopTimes = NewArray<double>(numTimePoints);
  for (int i = 0; i < numTimePoints; i++) {
    startTimes[i] = starts[i];
    stopTimes[i] = stops[i];
  }
}

void PerformanceVariableNode::AddVariableDependency(const char* svName, const char* modelName) {
  if (numVarDependencies >= varDependencyRoom) {
    // More dependencies than Initialize was told of: grow instead of writing
    // past the array. The pairs own strings, so they move by re-setting.
    KORVAN_ASSERT(varDependencyRoom >= 0 && varDependencyRoom < INT_MAX / 2);
    int newRoom = 2 * varDependencyRoom + 1;
    VarModelPairClass* grown = new VarModelPairClass[newRoom];
    for (int i = 0; i < numVarDependencies; i++) {
      grown[i].SetPair(varDependencies[i].GetSVName(), varDependencies[i].GetModelName());
    }
    delete[] varDependencies;
    varDependencies = grown;
    varDependencyRoom = newRoom;
  }
  varDependencies[numVarDependencies++].SetPair(svName, modelName);
  AddModelDependency(modelName);
}

void PerformanceVariableNode::AddModelDependency(const char* modelName) {
  if (IsDependentOnModel(modelName)) return;
  if (numModelDependencies >= modelDependencyRoom) {
    GrowArray(&modelDependencies, numModelDependencies, &modelDependencyRoom,
              2 * modelDependencyRoom + 1);
  }
  modelDependencies[numModelDependencies++] = CopyString(modelName);
}

bool PerformanceVariableNode::IsDependentOnModel(const char* modelName) const {
  return NameIn(modelDependencies, numModelDependencies, modelName);
}

void PerformanceVariableNode::AddImpulse(const char* actionName, const char* modelName,
                                         ImpulseNodeClass* impulse) {
  int f = GetImpulseNumber(impulse);
  if (f < 0) {
    KORVAN_ASSERT(numImpulses < impulseRoom);
    f = numImpulses++;
    impulseDefinitions[f] = impulse;
    impulseModelNameRoom[f] = impulse->numModelNames > 0 ? impulse->numModelNames : 0;
    impulseModelNames[f] =
        impulseModelNameRoom[f] > 0 ? NewArray<char*>(impulseModelNameRoom[f]) : nullptr;
    numImpulseModelNames[f] = 0;
  }
  impulseActionPairs[f].SetPair(actionName, modelName);
  AddImpulseModelDependency(modelName, impulse);
}

void PerformanceVariableNode::AddImpulseModelDependency(const char* modelName,
                                                        ImpulseNodeClass* impulse) {
  int f = GetImpulseNumber(impulse);
  if (f < 0) {
    std::cerr << "Model Dependency requested on undefined impulse."
              << "  Check code generator.  Error code GP0001.\n";
    std::cerr.flush();
    // A generator fault: the process must not end as if it had succeeded.
    std::exit(1);
  }
  AddImpulseModelDependency(modelName, f);
}

void PerformanceVariableNode::AddImpulseModelDependency(const char* modelName, int i) {
  KORVAN_ASSERT(i >= 0 && i < numImpulses);
  if (IsDependentOnImpulseModel(modelName, i)) return;
  if (numImpulseModelNames[i] >= impulseModelNameRoom[i]) {
    GrowArray(&impulseModelNames[i], numImpulseModelNames[i], &impulseModelNameRoom[i],
              2 * impulseModelNameRoom[i] + 1);
  }
  impulseModelNames[i][numImpulseModelNames[i]++] = CopyString(modelName);
}

void PerformanceVariableNode::AddImpulseActionDependency(const char* actionName,
                                                         const char* modelName, int i) {
  KORVAN_ASSERT(i >= 0 && i < numImpulses);
  impulseActionPairs[i].SetPair(actionName, modelName);
}

bool PerformanceVariableNode::IsDependentOnImpulseModel(const char* modelName, int i) const {
  KORVAN_ASSERT(i >= 0 && i < numImpulses);
  return NameIn(impulseModelNames[i], numImpulseModelNames[i], modelName);
}

int PerformanceVariableNode::GetImpulseNumber(ImpulseNodeClass* impulse) const {
  for (int f = 0; f < numImpulses; f++) {
    if (impulseDefinitions[f] == impulse) return f;
  }
  return -1;
}

void PerformanceVariableNode::FixReferences(BaseModelClass* top) {
  boundTop = top;
  if (modelSlot != nullptr) *modelSlot = top;
  GetNumberOfWorkers();
  GetNumberOfImpulseWorkers();
  delete[] workers;
  workers = NewArray<PerformanceVariableWorker*>(numWorkers);
}

int PerformanceVariableNode::GetNumberOfWorkers() {
  BaseModelClass* top = boundTop;
  if (numModelDependencies == 0 || top == nullptr) {
    numWorkers = 0;
    return 0;
  }
  int product = 1;
  for (int d = 0; d < numModelDependencies; d++) product *= CountModels(top, modelDependencies[d]);
  numWorkers = product;
  return numWorkers;
}

void PerformanceVariableNode::CreateModelGroupList() {
  delete[] modelGroups;
  modelGroups = numWorkers > 0 ? new ModelGroupClass[numWorkers] : nullptr;
  BaseModelClass* top = boundTop;
  KORVAN_ASSERT(top != nullptr || numModelDependencies == 0);
  const char* missing = nullptr;
  if (!AssignCombinations(top, modelDependencies, numModelDependencies, modelGroups, numWorkers,
                          &missing)) {
    std::cerr << "Number of " << missing << "'s was " << 0 << ".  Model cannot be created.\n";
    if (top->name != nullptr) {
      std::cerr << "Model Name was: " << top->name << "\n.";
    } else {
      std::cerr << "Model Name was: NULL\n";
    }
    std::cerr.flush();
    // The model cannot be built: report it as the failure it is.
    std::exit(1);
  }
}

void PerformanceVariableNode::FixWorkerList() {
  for (int i = 0; i < numWorkers; i++) {
    PerformanceVariableWorker* w = workers[i];
    KORVAN_ASSERT(w != nullptr);
    w->start = start;
    w->stop = stop;
    w->DefineName(name, i);
    w->nodeId = id;
    // A worker with fewer slots than dependencies gets only the slots it has.
    int slots = w->numModelSlots < numModelDependencies ? w->numModelSlots : numModelDependencies;
    for (int j = 0; j < slots; j++) *w->modelSlots[j] = modelGroups[i].GetModel(j);
  }
}

void PerformanceVariableNode::AddPVWorkersToAction(BaseActionClass* action,
                                                   BaseModelClass* model) {
  for (int w = 0; w < numWorkers; w++) {
    if (modelGroups[w].IsDependentOnModel(model)) action->pvRateSets[id].insert(w);
  }
}

void PerformanceVariableNode::GetNumberOfImpulseWorkers() {
  BaseModelClass* top = boundTop;
  for (int f = 0; f < numImpulses; f++) {
    if (top == nullptr) {
      numImpulseNodes[f] = 0;
      continue;
    }
    int product = 1;
    for (int m = 0; m < numImpulseModelNames[f]; m++) {
      product *= CountModels(top, impulseModelNames[f][m]);
    }
    const char* actionModel = impulseActionPairs[f].GetModelName();
    if (actionModel != nullptr && !IsDependentOnImpulseModel(actionModel, f)) {
      product *= CountModels(top, actionModel);
    }
    numImpulseNodes[f] = product;
  }
}

void PerformanceVariableNode::CreateImpulseModelGroupList() {
  BaseModelClass* top = boundTop;
  for (int f = 0; f < numImpulses; f++) {
    delete[] impulseModelGroups[f];
    impulseModelGroups[f] = nullptr;
    int count = numImpulseNodes[f];
    if (count <= 0) continue;
    impulseModelGroups[f] = new ModelGroupClass[count];
    List<BaseModelClass> blocks;
    const char* actionModel = impulseActionPairs[f].GetModelName();
    if (actionModel != nullptr) top->listModels(actionModel, &blocks);
    int numBlocks = blocks.getNumItems() > 0 ? blocks.getNumItems() : 1;
    int blockSize = count / numBlocks;
    if (blockSize < 1) blockSize = 1;
    for (int b = 0; b * blockSize < count; b++) {
      int first = b * blockSize;
      int size = count - first < blockSize ? count - first : blockSize;
      const char* missing = nullptr;
      // Block b holds the impulse nodes triggered by the action of submodel
      // b (see FixImpulseWorkerLists): where the function names that
      // submodel's model, it observes that very submodel.
      const bool triggered = b < blocks.getNumItems();
      AssignCombinations(top, impulseModelNames[f], numImpulseModelNames[f],
                         impulseModelGroups[f] + first, size, &missing,
                         triggered ? actionModel : nullptr, triggered ? blocks[b] : nullptr);
    }
  }
}

void PerformanceVariableNode::CreateImpulseWorkerLists() {
  for (int f = 0; f < numImpulses; f++) {
    if (impulseNodes[f] != nullptr) {
      for (int k = 0; k < numImpulseNodes[f]; k++) delete impulseNodes[f][k];
      delete[] impulseNodes[f];
      impulseNodes[f] = nullptr;
    }
    if (numImpulseNodes[f] > 0) {
      impulseNodes[f] = impulseDefinitions[f]->CreateImpulseNodes(numImpulseNodes[f]);
    }
  }
}

void PerformanceVariableNode::FixImpulseWorkerLists() {
  BaseModelClass* top = boundTop;
  for (int f = 0; f < numImpulses; f++) {
    int count = numImpulseNodes[f];
    if (count <= 0 || impulseNodes[f] == nullptr) continue;
    List<BaseModelClass> blocks;
    const char* actionModel = impulseActionPairs[f].GetModelName();
    if (actionModel != nullptr) top->listModels(actionModel, &blocks);
    int numBlocks = blocks.getNumItems() > 0 ? blocks.getNumItems() : 1;
    int blockSize = count / numBlocks;
    if (blockSize < 1) blockSize = 1;
    for (int k = 0; k < count; k++) {
      ImpulseNodeClass* node = impulseNodes[f][k];
      KORVAN_ASSERT(node != nullptr);
      node->start = start;
      node->stop = stop;
      node->nodeId = id;
      node->DefineName(name, f, k);
      int b = k / blockSize;
      node->model = b < blocks.getNumItems() ? blocks[b] : nullptr;
      ModelGroupClass& group = impulseModelGroups[f][k];
      int slots = node->numModelNames < group.GetNumModels() ? node->numModelNames
                                                             : group.GetNumModels();
      for (int j = 0; j < slots; j++) *node->modelSlots[j] = group.GetModel(j);
    }
  }
}

bool PerformanceVariableNode::ImpulseAffectedBy(BaseActionClass* action) const {
  if (SetHolds(action->AffectedNodesByImpulseReward, id)) return true;
  BaseGroupClass** members = nullptr;
  int numMembers = SyncMembers(action, &members);
  for (int m = 0; m < numMembers; m++) {
    if (ImpulseAffectedBy(members[m])) return true;
  }
  return false;
}

void PerformanceVariableNode::AccumulateStep(double now, double lastTime,
                                             BaseActionClass* lastFired) {
  CommonAccumulate(now, lastTime, lastFired);
  if (now > stop) {
    accumulationState = PV_COMPLETED;
    TotalAccumulation();
  } else {
    accumulationState = PV_ACCUMULATING;
  }
}

void PerformanceVariableNode::CommonAccumulate(double now, double lastTime,
                                               BaseActionClass* action) {
  double sum = 0.0;
  for (int i = 0; i < numWorkers; i++) {
    workers[i]->Accumulate(now, lastTime);
    sum += workers[i]->value;
  }
  if (rewardType != InstantOfTimeReward && numWorkers > 0) {
    double w = workers[0]->weight;
    value += sum * w;
    square += w * sum * sum;
  }
  // Without impulse functions no action can trigger an impulse of this node.
  if (numImpulses > 0 && action != nullptr) ImpulseAccumulate(now, lastTime, action);
}

void PerformanceVariableNode::ImpulseAccumulate(double now, double lastTime,
                                                BaseActionClass* action) {
  if (!ImpulseAffectedBy(action)) return;
  if (action->pvImpulseSets != nullptr && action->pvImpulseTables[id] != nullptr) {
    FastSet& functions = action->pvImpulseSets[id];
    int numFunctions = functions.frozen() ? functions.size() : 0;
    for (int s = 0; s < numFunctions; s++) {
      int f = functions[s];
      int* list = action->pvImpulseTables[id][f];
      int length = action->pvImpulseCounts[id][f];
      for (int k = 0; k < length; k++) impulseNodes[f][list[k]]->Accumulate(now, lastTime);
    }
  }
  BaseGroupClass** members = nullptr;
  int numMembers = SyncMembers(action, &members);
  for (int m = 0; m < numMembers; m++) CommonAccumulate(now, lastTime, members[m]);
}

void PerformanceVariableNode::TotalAccumulation() {
  if (rewardType == InstantOfTimeReward && numWorkers > 0) {
    double sum = 0.0;
    for (int i = 0; i < numWorkers; i++) sum += workers[i]->value;
    double w = workers[0]->weight;
    value += sum * w;
    square += w * sum * sum;
  }
  impulseValue = 0.0;
  impulseSquare = 0.0;
  for (int f = 0; f < numImpulses; f++) {
    for (int k = 0; k < numImpulseNodes[f]; k++) {
      double v = impulseNodes[f][k]->value;
      impulseValue += v;
      impulseSquare += v * v;
    }
  }
  value += impulseValue;
  square += impulseSquare;
}

void PerformanceVariableNode::EndAccumulate(double end, double lastTime,
                                            BaseActionClass* lastFired) {
  if (accumulationState == PV_COMPLETED) return;
  CommonAccumulate(end, lastTime, lastFired);
  for (int f = 0; f < numImpulses; f++) {
    for (int k = 0; k < numImpulseNodes[f]; k++) impulseNodes[f][k]->EndAccumulate(end);
  }
  if (end + 1.0 > stop) {
    accumulationState = PV_COMPLETED;
    TotalAccumulation();
  } else {
    accumulationState = PV_ACCUMULATING;
  }
  WindowChanged();
}

void PerformanceVariableNode::UpdateAccumulate(double now) {
  if (now > stop) {
    accumulationState = PV_COMPLETED;
    TotalAccumulation();
  } else {
    accumulationState = PV_ACCUMULATING;
  }
  WindowChanged();
}

void PerformanceVariableNode::CurrentReward(BaseActionClass* action) {
  value = 0.0;
  square = 0.0;
  for (int i = 0; i < numWorkers; i++) {
    workers[i]->CurrentReward();
    value += workers[i]->value;
    square += workers[i]->square;
  }
  impulseValue = 0.0;
  impulseSquare = 0.0;
  if (numImpulses == 0 || action == nullptr || !ImpulseAffectedBy(action)) return;
  if (action->pvImpulseSets == nullptr || action->pvImpulseTables[id] == nullptr) return;
  FastSet& functions = action->pvImpulseSets[id];
  int numFunctions = functions.frozen() ? functions.size() : 0;
  for (int s = 0; s < numFunctions; s++) {
    int f = functions[s];
    int* list = action->pvImpulseTables[id][f];
    int length = action->pvImpulseCounts[id][f];
    for (int k = 0; k < length; k++) {
      ImpulseNodeClass* node = impulseNodes[f][list[k]];
      node->CurrentReward();
      impulseValue += node->value;
      impulseSquare += node->square;
    }
  }
}

void PerformanceVariableNode::UpdateDependencies() {
  if (steadyState != 0) return;
  for (int i = 0; i < numAffectingActions; i++) {
    BaseActionClass* action = affectingActions[i];
    action->completedNodes++;
    FastSet& affected = action->AffectedNodes;
    // Affecting actions always hold a frozen set (the reward model froze it).
    if (affected.frozen() && action->completedNodes == affected.size()) affected.clear();
  }
}

void PerformanceVariableNode::DefineName(const char* newName) {
  for (int i = 0; i < numWorkers; i++) {
    if (workers[i] != nullptr) workers[i]->DefineName(newName, i);
  }
  for (int f = 0; f < numImpulses; f++) {
    if (impulseNodes[f] == nullptr) continue;
    for (int k = 0; k < numImpulseNodes[f]; k++) impulseNodes[f][k]->DefineName(newName, f, k);
  }
}
