#include "Cpp/BaseClasses/BaseModelClass.h"

#include <cstring>
#include <new>

#include "Cpp/BaseClasses/BaseActionClass.h"
#include "Cpp/BaseClasses/ErrorReporting.h"
#include "Cpp/BaseClasses/KorvanAssert.h"
#include "Cpp/BaseClasses/state/BaseStateVariableClass.h"

double BaseModelClass::LastActionTime = 0.0;
int BaseModelClass::MaxModelId = 0;

BaseModelClass::BaseModelClass()
    : numStateVariables(0),
      NumSharedStateVariables(0),
      numActions(0),
      numGroups(0),
      groups(nullptr),
      name(nullptr),
      modelId(++MaxModelId),
      parentId(modelId),
      actions(nullptr) {}

BaseModelClass::~BaseModelClass() {
  delete[] name;
  name = nullptr;
}

int BaseModelClass::getNumStateVariables() { return numStateVariables; }

void BaseModelClass::printState(std::ostream*) {}

void BaseModelClass::printState() { printState(&std::cout); }

BaseStateVariableClass** BaseModelClass::GetLocalStateVariables(std::ostream*) { return nullptr; }

BaseStateVariableClass** BaseModelClass::GetSharedStateVariables() { return nullptr; }

BaseStateVariableClass* BaseModelClass::getMainSharedVariable(BaseStateVariableClass*) {
  return nullptr;
}

SharedStateVarLink* BaseModelClass::getListOfSharedVariables(BaseStateVariableClass*) {
  return nullptr;
}

void BaseModelClass::AddAffectArc(BaseStateVariableClass* v, BaseActionClass* a) {
  v->appendAffectingAction(a);
  a->addAffectedSV(v);
}

void BaseModelClass::AddEnableArc(BaseStateVariableClass* v, BaseActionClass* a) {
  v->appendEnabledAction(a);
  a->addEnablingSV(v);
}

// A model kind that does not support one of these must not be asked for it.
int BaseModelClass::GetModelType() {
  KORVAN_ASSERT(false);
}

int BaseModelClass::GetNumberOfChildren() {
  KORVAN_ASSERT(false);
}

BaseModelClass* BaseModelClass::GetChild(int) {
  KORVAN_ASSERT(false);
}

void BaseModelClass::GetLocalActions(slist<BaseActionClass*>&) { KORVAN_ASSERT(false); }

void BaseModelClass::GetGlobalActions(slist<BaseActionClass*>&) { KORVAN_ASSERT(false); }

bool BaseModelClass::HasLocalState() {
  KORVAN_ASSERT(false);
}

void BaseModelClass::GetLocalState(State*) { KORVAN_ASSERT(false); }

void BaseModelClass::SetLocalState(const State*) { KORVAN_ASSERT(false); }

void BaseModelClass::ConstructLocalState(State*&) { KORVAN_ASSERT(false); }

void BaseModelClass::DestructLocalState(State*) { KORVAN_ASSERT(false); }

void BaseModelClass::DefineName(const char* newName) {
  if (newName == nullptr) newName = "";
  size_t n = std::strlen(newName) + 1;
  char* copy = new (std::nothrow) char[n];
  if (copy == nullptr) MemoryAllocationError();
  std::memcpy(copy, newName, n);
  delete[] name;
  name = copy;
}
