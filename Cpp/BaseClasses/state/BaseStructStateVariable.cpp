#include "Cpp/BaseClasses/state/BaseStructStateVariable.h"

#include <new>

#include "Cpp/BaseClasses/BaseActionClass.h"
#include "Cpp/BaseClasses/ErrorReporting.h"
#include "Cpp/BaseClasses/KorvanAssert.h"

BaseStructStateVariable::BaseStructStateVariable() : cachedStateSize(0) {}

BaseStructStateVariable::BaseStructStateVariable(const char* n, const char* p)
    : BaseStateVariableClass(n, p), cachedStateSize(-1) {}

// field() is virtual, but here it runs the base factory: a derived class's
// override is not in force yet during this construction.
BaseStructStateVariable::BaseStructStateVariable(const char* n, const char* p,
                                                 const ArrayType* types, int count)
    : BaseStateVariableClass(n, p), cachedStateSize(-1) {
  for (int i = 0; i < count; i++) fields.push_back(field(types[i], nullptr));
}

BaseStructStateVariable::~BaseStructStateVariable() {}

BaseStructStateVariable::Field BaseStructStateVariable::field(ArrayType type,
                                                              BaseStateVariableClass* variable) const {
  return Field(variable, type);
}

void BaseStructStateVariable::makeArrays(const ArrayType* types, int count) {
  for (int i = 0; i < count; i++) fields.push_back(field(types[i], nullptr));
  cachedStateSize = -1;
}

int BaseStructStateVariable::FieldBytes(const Field& f) {
  switch (static_cast<int>(f.second)) {
    case 0:
      return 2;
    case 1:
      return 4;
    case 2:
      return 1;
    case 3:
      return 8;
    case 4:
      return 4;
    default:
      return f.first != nullptr ? f.first->StateSize() : 0;
  }
}

int BaseStructStateVariable::calculateStateSize() const {
  int total = 0;
  for (const Field& f : fields) total += FieldBytes(f);
  return total;
}

int BaseStructStateVariable::StateSize() {
  if (cachedStateSize < 0) cachedStateSize = calculateStateSize();
  return cachedStateSize;
}

// A field's variable must fit the bytes its kind takes in the image (a
// place, two bytes, declared as a one-byte field would write over the next
// field, or past the image).
void BaseStructStateVariable::CheckFieldFits(const Field& f) {
  if (f.first->StateSize() > FieldBytes(f)) InvalidStructType();
}

void BaseStructStateVariable::CurrentState(void* image) {
  char* p = static_cast<char*>(image);
  for (const Field& f : fields) {
    if (f.first != nullptr) {
      CheckFieldFits(f);
      f.first->CurrentState(p);
    }
    p += FieldBytes(f);
  }
}

void BaseStructStateVariable::SetState(void* image) {
  char* p = static_cast<char*>(image);
  for (const Field& f : fields) {
    if (f.first != nullptr) {
      CheckFieldFits(f);
      f.first->SetState(p);
    }
    p += FieldBytes(f);
  }
}

void BaseStructStateVariable::printState(std::ostream* s) {
  *s << name << " = {" << std::endl;
  for (const Field& f : fields) {
    *s << ".";
    if (f.first != nullptr) f.first->printState(s);
  }
  *s << "}" << std::endl;
}

void BaseStructStateVariable::share(BaseStateVariableClass* other) {
  BaseStructStateVariable* otherStruct = dynamic_cast<BaseStructStateVariable*>(other);
  KORVAN_ASSERT(otherStruct);
  ShareWith(otherStruct);
}

void BaseStructStateVariable::ShareWith(BaseStructStateVariable* otherStruct) {
  if (otherStruct == this) return;
  std::vector<Field>::iterator otheri = otherStruct->fields.begin();
  for (const Field& f : fields) {
    KORVAN_ASSERT(otheri!=otherStruct->fields.end());
    if (f.first != nullptr && otheri->first != nullptr) f.first->share(otheri->first);
    ++otheri;
  }
  // Nor more: the other's extra fields would be in no state image.
  KORVAN_ASSERT(otheri == otherStruct->fields.end());
  // The groups of both records become one, held by this record's main: its
  // lists are the only ones, every follower (of either group, at any depth)
  // uses them, and only the main is saved in a state image.
  BaseStructStateVariable* main = mainStruct;
  BaseStructStateVariable* otherMain = otherStruct->mainStruct;
  if (main == otherMain) return;
  main->affectingActions->append(otherMain->affectingActions);
  main->enabledActions->append(otherMain->enabledActions);
  if (otherMain->stored) {
    delete otherMain->affectingActions;
    delete otherMain->enabledActions;
  }
  std::vector<BaseStructStateVariable*> moving = otherMain->followers;
  moving.push_back(otherMain);
  otherMain->followers.clear();
  for (BaseStructStateVariable* f : moving) {
    f->affectingActions = main->affectingActions;
    f->enabledActions = main->enabledActions;
    f->shared = true;
    f->stored = false;
    f->mainStruct = main;
    main->followers.push_back(f);
  }
  for (BaseStructStateVariable* f : moving) {
    for (int i = 0; i < main->affectingActions->getNumItems(); i++) {
      main->affectingActions->getItem(i)->affectedSVs.replaceItem(f, main);
    }
    for (int i = 0; i < main->enabledActions->getNumItems(); i++) {
      main->enabledActions->getItem(i)->enablingSVs.replaceItem(f, main);
    }
  }
}

void BaseStructStateVariable::appendAffectingAction(BaseActionClass* action) {
  for (const Field& f : fields) {
    if (f.first != nullptr) f.first->appendAffectingAction(action);
  }
  affectingActions->append(action);
}

void BaseStructStateVariable::appendEnabledAction(BaseActionClass* action) {
  enabledActions->append(action);
  for (const Field& f : fields) {
    if (f.first != nullptr) f.first->appendEnabledAction(action);
  }
}

void BaseStructStateVariable::addSelfAsEnablingSVToAction(BaseActionClass* action) {
  for (const Field& f : fields) {
    if (f.first != nullptr) f.first->addSelfAsEnablingSVToAction(action);
  }
}

void BaseStructStateVariable::addSelfAsAffectedSVToAction(BaseActionClass* action) {
  for (const Field& f : fields) {
    if (f.first != nullptr) f.first->addSelfAsAffectedSVToAction(action);
  }
}

void BaseStructStateVariable::removeSelfFromEnablingSVOfAction(BaseActionClass* action) {
  for (const Field& f : fields) {
    if (f.first != nullptr) f.first->removeSelfFromEnablingSVOfAction(action);
  }
}

void BaseStructStateVariable::removeSelfFromAffectedSVOfAction(BaseActionClass* action) {
  for (const Field& f : fields) {
    if (f.first != nullptr) f.first->removeSelfFromAffectedSVOfAction(action);
  }
}

List<BaseStateVariableClass>* BaseStructStateVariable::getLeafNodes() {
  List<BaseStateVariableClass>* leaves = new (std::nothrow) List<BaseStateVariableClass>(10);
  if (leaves == nullptr) MemoryAllocationError();
  for (const Field& f : fields) {
    List<BaseStateVariableClass>* childTemp = f.first != nullptr ? f.first->getLeafNodes() : nullptr;
    KORVAN_ASSERT(childTemp);
    leaves->append(childTemp);
    delete childTemp;
  }
  return leaves;
}

int BaseStructStateVariable::getNumLeafNodes() {
  int total = 0;
  for (const Field& f : fields) {
    if (f.first != nullptr) total += f.first->getNumLeafNodes();
  }
  return total > 0 ? total : 1;
}

bool BaseStructStateVariable::isLeafNode() { return fields.empty(); }
