#include "Cpp/Composer/BaseComposerClass.h"

#include <cstdint>
#include <cstring>
#include <iostream>
#include <new>

#include "Cpp/BaseClasses/BaseActionClass.h"
#include "Cpp/BaseClasses/BaseGroupClass.h"
#include "Cpp/BaseClasses/ErrorReporting.h"
#include "Cpp/BaseClasses/KorvanAssert.h"
#include "Cpp/BaseClasses/state/BaseStateVariableClass.h"
#include "Cpp/BaseClasses/state/SharedStateVarLink.h"

namespace {

char* CopyString(const char* s) {
  if (s == nullptr) s = "";
  size_t n = std::strlen(s) + 1;
  char* copy = new (std::nothrow) char[n];
  if (copy == nullptr) MemoryAllocationError();
  std::memcpy(copy, s, n);
  return copy;
}

template <class T>
T* NewArray(int n) {
  T* a = new (std::nothrow) T[n > 0 ? n : 1]();
  if (a == nullptr) MemoryAllocationError();
  return a;
}

// A copy of the chain starting at first (links hold the same variables and
// models), so that every chain has exactly one owner.
SharedStateVarLink* CopyChain(const SharedStateVarLink* first) {
  SharedStateVarLink* head = nullptr;
  SharedStateVarLink* last = nullptr;
  for (const SharedStateVarLink* l = first; l != nullptr; l = l->next) {
    SharedStateVarLink* copy = new (std::nothrow) SharedStateVarLink(l->stateVariable, l->model);
    if (copy == nullptr) MemoryAllocationError();
    if (last == nullptr) {
      head = copy;
    } else {
      last->next = copy;
    }
    last = copy;
  }
  return head;
}

}  // namespace

BaseComposerClass::BaseComposerClass(const char* n, int nChildren, int numShared,
                                     const char* const* sharedNames)
    : children(nullptr),
      numChildren(nChildren > 0 ? nChildren : 0),
      SharedStateVariables(nullptr),
      sharingLinks(nullptr),
      sharedVariableLists(nullptr),
      SharedStateNames(nullptr),
      AddedSharedPtrs(0),
      stateSize(0),
      numSharedNames(numShared > 0 ? numShared : 0) {
  DefineName(n);
  NumSharedStateVariables = numChildren > 0 ? numSharedNames : 0;
  numActions = 0;
  numGroups = 0;
  children = NewArray<BaseModelClass*>(numChildren);
  SharedStateVariables = NewArray<BaseStateVariableClass*>(numSharedNames);
  sharingLinks = NewArray<SharedStateVarLink*>(numSharedNames);
  sharedVariableLists = NewArray<List<BaseStateVariableClass>*>(numSharedNames);
  SharedStateNames = NewArray<char*>(numSharedNames);
  for (int i = 0; i < numSharedNames; i++) {
    sharedVariableLists[i] = new (std::nothrow) List<BaseStateVariableClass>();
    if (sharedVariableLists[i] == nullptr) MemoryAllocationError();
    SharedStateNames[i] = CopyString(sharedNames[i]);
  }
}

BaseComposerClass::~BaseComposerClass() {
  for (int i = 0; i < numSharedNames; i++) {
    delete sharedVariableLists[i];
    delete[] SharedStateNames[i];
    SharedStateVarLink::clearStateVarList(sharingLinks[i]);
  }
  delete[] sharedVariableLists;
  delete[] SharedStateNames;
  delete[] sharingLinks;
  delete[] SharedStateVariables;
  delete[] children;
  delete[] actions;
  delete[] groups;
  actions = nullptr;
  groups = nullptr;
}

void BaseComposerClass::SetupActions() {
  int totalActions = 0;
  int totalGroups = 0;
  for (int i = 0; i < numChildren; i++) {
    totalActions += children[i]->numActions;
    totalGroups += children[i]->numGroups;
  }
  delete[] actions;
  delete[] groups;
  numActions = totalActions;
  numGroups = totalGroups;
  actions = NewArray<BaseActionClass*>(numActions);
  groups = NewArray<BaseGroupClass*>(numGroups);
  int a = 0;
  for (int i = 0; i < numChildren; i++) {
    for (int j = 0; j < children[i]->numActions; j++) actions[a++] = children[i]->actions[j];
  }
  int g = 0;
  for (int i = 0; i < numChildren; i++) {
    for (int j = 0; j < children[i]->numGroups; j++) {
      groups[g] = children[i]->groups[j];
      groups[g]->setGroupId(g);
      g++;
    }
  }
}

bool BaseComposerClass::AllChildrenEmpty() {
  for (int i = 0; i < numChildren; i++) {
    if (children[i]->numStateVariables > 0) return false;
  }
  return true;
}

void BaseComposerClass::addSharedPtr(BaseStateVariableClass* v, const char* VarName) {
  KORVAN_ASSERT(AddedSharedPtrs < NumSharedStateVariables);
  KORVAN_ASSERT(0 == strcmp(VarName, SharedStateNames[AddedSharedPtrs]));
  SharedStateVariables[AddedSharedPtrs] = v;
  AddedSharedPtrs++;
}

void BaseComposerClass::addSharingInfo(BaseStateVariableClass* childVar,
                                       BaseStateVariableClass* sharedVar, BaseModelClass* child) {
  int VarIndex = -1;
  for (int i = 0; i < AddedSharedPtrs; i++) {
    if (SharedStateVariables[i] == sharedVar) VarIndex = i;
  }
  KORVAN_ASSERT(VarIndex != -1);
  sharedVariableLists[VarIndex]->append(childVar);
  SharedStateVarLink* link = new (std::nothrow) SharedStateVarLink(childVar, child);
  if (link == nullptr) MemoryAllocationError();
  if (sharingLinks[VarIndex] == nullptr) {
    sharingLinks[VarIndex] = link;
  } else {
    sharingLinks[VarIndex]->addStateVarLink(link);
  }
  // A nested composed model's chain is copied, not linked in: each chain is
  // freed by the model that holds it.
  for (int i = 0; i < numChildren; i++) {
    SharedStateVarLink* nested = children[i]->getListOfSharedVariables(childVar);
    if (nested != nullptr) sharingLinks[VarIndex]->addStateVarLink(CopyChain(nested));
  }
}

void BaseComposerClass::GeneralSetup() {
  int total = 0;
  for (int i = 0; i < numChildren; i++) total += children[i]->numStateVariables;
  for (int i = 0; i < NumSharedStateVariables; i++) total -= sharedVariableLists[i]->getNumItems();
  numStateVariables = total + NumSharedStateVariables;
  stateSize = StateSize();
}

// Only the registered shared variables are visited: an unregistered slot
// holds no variable.
int BaseComposerClass::SharedStateSize() {
  int total = 0;
  for (int i = 0; i < AddedSharedPtrs && i < NumSharedStateVariables; i++) {
    if (SharedStateVariables[i]->getStored()) total += SharedStateVariables[i]->StateSize();
  }
  return total;
}

// A table of no slots (n <= 0) maps every name to 0 instead of dividing by 0.
int BaseComposerClass::Hash(const char* s, int n) {
  if (n <= 0) return 0;
  uint32_t h = 0;
  for (const char* p = s; *p != '\0'; p++) {
    h = h * 32u + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
  }
  return static_cast<int>(h % static_cast<uint32_t>(n));
}

// The cached size can exceed the image once a parent has taken this model's
// shared variables into its own image; the images are never read past
// their current size.
bool BaseComposerClass::CompareState(void* a, void* b) {
  int current = StateSize();
  int n = stateSize < current ? stateSize : current;
  return n <= 0 || std::memcmp(a, b, static_cast<size_t>(n)) == 0;
}

BaseStateVariableClass** BaseComposerClass::GetSharedStateVariables() {
  return SharedStateVariables;
}

BaseStateVariableClass* BaseComposerClass::getMainSharedVariable(BaseStateVariableClass* v) {
  for (int i = 0; i < AddedSharedPtrs; i++) {
    if (sharingLinks[i] != nullptr && sharingLinks[i]->hasStateVar(v)) {
      return SharedStateVariables[i];
    }
  }
  for (int i = 0; i < numChildren; i++) {
    BaseStateVariableClass* found = children[i]->getMainSharedVariable(v);
    if (found != nullptr) return found;
  }
  return nullptr;
}

SharedStateVarLink* BaseComposerClass::getListOfSharedVariables(BaseStateVariableClass* v) {
  for (int i = 0; i < AddedSharedPtrs; i++) {
    if (SharedStateVariables[i] == v) return sharingLinks[i];
  }
  for (int i = 0; i < numChildren; i++) {
    SharedStateVarLink* found = children[i]->getListOfSharedVariables(v);
    if (found != nullptr) return found;
  }
  return nullptr;
}

void BaseComposerClass::listModels(const char* n, List<BaseModelClass>* out) {
  for (int i = 0; i < numChildren; i++) children[i]->listModels(n, out);
}

void BaseComposerClass::listActions(List<BaseActionClass>* out) { out->append(actions, numActions); }

void BaseComposerClass::listActions(const char* n, List<BaseActionClass>* out) {
  for (int i = 0; i < numChildren; i++) children[i]->listActions(n, out);
}

void BaseComposerClass::listGroups(List<BaseGroupClass>* out) { out->append(groups, numGroups); }

void BaseComposerClass::listSVs(const char* modelName, const char* svName,
                                List<BaseStateVariableClass>* svs, List<BaseModelClass>* models) {
  for (int i = 0; i < numChildren; i++) children[i]->listSVs(modelName, svName, svs, models);
}

void BaseComposerClass::printState(std::ostream* s) {
  *s << "Model: (" << modelId << ")" << (name != nullptr ? name : "") << std::endl;
  for (int i = 0; i < numChildren; i++) children[i]->printState(s);
  *s << "Shared Variables:" << std::endl;
  for (int i = 0; i < AddedSharedPtrs && i < NumSharedStateVariables; i++) {
    if (SharedStateVariables[i]->getStored()) {
      *s << "  ";
      SharedStateVariables[i]->printState(s);
    }
  }
}

void BaseComposerClass::printAllSharedVariables() {
  std::cout << "Shared Variables for composer node " << (name != nullptr ? name : "") << std::endl;
  for (int i = 0; i < AddedSharedPtrs && i < NumSharedStateVariables; i++) {
    std::cout << "  Shared Variable " << i << " has name " << SharedStateVariables[i]->name
              << " and address " << static_cast<const void*>(SharedStateVariables[i]) << std::endl;
    std::cout << "    And here is its list of equivalent variables:" << std::endl;
    if (sharingLinks[i] != nullptr) sharingLinks[i]->printAllStateVariables();
  }
  std::cout << std::endl;
}
