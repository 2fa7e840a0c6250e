#include "Cpp/BaseClasses/state/SharedStateVarLink.h"

#include <iostream>

#include "Cpp/BaseClasses/state/BaseStateVariableClass.h"

SharedStateVarLink::SharedStateVarLink() : stateVariable(nullptr), model(nullptr), next(nullptr) {}

SharedStateVarLink::SharedStateVarLink(BaseStateVariableClass* variable)
    : stateVariable(variable), model(nullptr), next(nullptr) {}

SharedStateVarLink::SharedStateVarLink(BaseStateVariableClass* variable, BaseModelClass* owner)
    : stateVariable(variable), model(owner), next(nullptr) {}

bool SharedStateVarLink::hasStateVar(BaseStateVariableClass* v) const {
  for (const SharedStateVarLink* l = this; l != nullptr; l = l->next) {
    if (l->stateVariable == v) return true;
  }
  return false;
}

void SharedStateVarLink::addStateVarLink(SharedStateVarLink* l) {
  SharedStateVarLink* last = this;
  while (last->next != nullptr) last = last->next;
  last->next = l;
}

void SharedStateVarLink::clearStateVarList(SharedStateVarLink* first) {
  while (first != nullptr) {
    SharedStateVarLink* next = first->next;
    delete first;
    first = next;
  }
}

void SharedStateVarLink::printAllStateVariables() const {
  for (const SharedStateVarLink* l = this; l != nullptr; l = l->next) {
    std::cout << "      This link holds state var "
              << (l->stateVariable != nullptr ? l->stateVariable->name : "") << " at address "
              << static_cast<const void*>(l->stateVariable) << std::endl;
  }
}
