#include "Cpp/BaseClasses/state/BaseStateVariableClass.h"

#include <cstring>
#include <iostream>
#include <new>

#include "Cpp/BaseClasses/BaseActionClass.h"
#include "Cpp/BaseClasses/ErrorReporting.h"

namespace {

// A fresh copy of s, or null (after the message) when memory is short.
char* CopyString(const char* s) {
  if (s == nullptr) s = "";
  size_t n = std::strlen(s) + 1;
  char* copy = new (std::nothrow) char[n];
  if (copy == nullptr) {
    std::cerr << "Not Enough Memory" << std::endl;
    return nullptr;
  }
  std::memcpy(copy, s, n);
  return copy;
}

List<BaseActionClass>* NewActionList() {
  List<BaseActionClass>* l = new (std::nothrow) List<BaseActionClass>(10);
  if (l == nullptr) MemoryAllocationError();
  return l;
}

}  // namespace

BaseStateVariableClass::BaseStateVariableClass() : BaseStateVariableClass("default", "") {}

BaseStateVariableClass::BaseStateVariableClass(const char* n, const char* p)
    : name(CopyString(n)),
      prefix(CopyString(p)),
      shared(false),
      stored(true),
      functionallyShared(false),
      sharingCount(0),
      affectingActions(NewActionList()),
      enabledActions(NewActionList()) {}

BaseStateVariableClass::~BaseStateVariableClass() {
  delete[] name;
  delete[] prefix;
  if (stored) {
    delete affectingActions;
    delete enabledActions;
  }
  affectingActions = nullptr;
  enabledActions = nullptr;
}

void BaseStateVariableClass::printState(std::ostream*) {}

void BaseStateVariableClass::printState() { printState(&std::cout); }

void BaseStateVariableClass::printStateVal(std::ostream*) {}

void BaseStateVariableClass::appendAffectingAction(BaseActionClass* action) {
  affectingActions->append(action);
}

void BaseStateVariableClass::removeAffectingAction(BaseActionClass* action) {
  affectingActions->remove(action);
}

void BaseStateVariableClass::replaceAffectingAction(BaseActionClass* oldAction,
                                                    BaseActionClass* newAction) {
  affectingActions->replaceItem(oldAction, newAction);
}

void BaseStateVariableClass::addSelfAsEnablingSVToAction(BaseActionClass* action) {
  action->addEnablingSV(this);
}

void BaseStateVariableClass::addSelfAsAffectedSVToAction(BaseActionClass* action) {
  action->addAffectedSV(this);
}

void BaseStateVariableClass::removeSelfFromEnablingSVOfAction(BaseActionClass* action) {
  action->removeEnablingSV(this);
}

void BaseStateVariableClass::removeSelfFromAffectedSVOfAction(BaseActionClass* action) {
  action->removeAffectedSV(this);
}

List<BaseStateVariableClass>* BaseStateVariableClass::getLeafNodes() {
  List<BaseStateVariableClass>* leaves = new (std::nothrow) List<BaseStateVariableClass>();
  if (leaves == nullptr) MemoryAllocationError();
  leaves->append(this);
  return leaves;
}

int BaseStateVariableClass::getNumLeafNodes() { return 1; }

bool BaseStateVariableClass::isLeafNode() { return true; }

void BaseStateVariableClass::appendEnabledAction(BaseActionClass* action) {
  enabledActions->append(action);
}

void BaseStateVariableClass::removeEnabledAction(BaseActionClass* action) {
  enabledActions->remove(action);
}

void BaseStateVariableClass::replaceEnabledAction(BaseActionClass* oldAction,
                                                  BaseActionClass* newAction) {
  enabledActions->replaceItem(oldAction, newAction);
}

void BaseStateVariableClass::SetName(const char* newName) {
  char* copy = CopyString(newName);
  if (copy == nullptr) return;
  delete[] name;
  name = copy;
}

void BaseStateVariableClass::SetPrefix(const char* newPrefix) {
  char* copy = CopyString(newPrefix);
  if (copy == nullptr) return;
  delete[] prefix;
  prefix = copy;
}

void BaseStateVariableClass::copyAffectingActions(List<BaseActionClass>* l) {
  affectingActions->append(l);
}

void BaseStateVariableClass::copyEnabledActions(List<BaseActionClass>* l) {
  enabledActions->append(l);
}

int BaseStateVariableClass::getNumAffectingActions() const {
  return affectingActions->getNumItems();
}

int BaseStateVariableClass::getNumEnabledActions() const { return enabledActions->getNumItems(); }

// Negative indices are refused as well: they would read before the array.
BaseActionClass* BaseStateVariableClass::getAffectingAction(int i) const {
  if (i < 0 || i >= affectingActions->getNumItems()) {
    std::cerr << "!! BaseStateVariableClass::getAffectingAction(int): "
              << " AffectingAction index out of bounds" << std::endl;
    return nullptr;
  }
  return affectingActions->getItem(i);
}

BaseActionClass* BaseStateVariableClass::getEnabledAction(int i) const {
  if (i < 0 || i >= enabledActions->getNumItems()) {
    std::cerr << "!! BaseStateVariableClass::getEnabledAction(int): "
              << " EnabledAction index out of bounds" << std::endl;
    return nullptr;
  }
  return enabledActions->getItem(i);
}

void BaseStateVariableClass::printAffectingActions() const {
  std::cout << "Affecting actions for " << name << ":" << std::endl;
  affectingActions->printList();
}

void BaseStateVariableClass::printEnabledActions() const {
  std::cout << "Enabled actions for " << name << ":" << std::endl;
  enabledActions->printList();
}
