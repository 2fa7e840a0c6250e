#ifndef SHARABLE_SV_H
#define SHARABLE_SV_H

#include <iostream>

#include "Cpp/BaseClasses/BaseActionClass.h"
#include "Cpp/BaseClasses/KorvanAssert.h"
#include "Cpp/BaseClasses/List.h"
#include "Cpp/BaseClasses/state/BaseStateVariableClass.h"
#include "Cpp/BaseClasses/state/MemoryCopy.h"

template <class T>
class SharableSV;

// One registered pointer to a variable's storage: the address of the pointer,
// and the variable whose own value field it is (null for any other holder).
template <class T>
class SVPointerElement {
 public:
  SVPointerElement(T** loc, SharableSV<T>* own, SVPointerElement* nxt)
      : location(loc), owner(own), next(nxt) {}
  SharableSV<T>* getOwner() const { return owner; }

  T** location;
  SharableSV<T>* owner;
  SVPointerElement* next;
};

// Head of the chain of registered pointers. The chain elements belong to the
// variable that holds the head; sharing moves them to the main variable.
template <class T>
class SVPointerList {
 public:
  SVPointerElement<T>* getHead() const { return head; }
  SVPointerElement<T>* head = nullptr;
};

// A state variable holding one T in storage that sharing can merge with the
// storage of other variables. Every pointer to the storage (the variable's own
// value field, a place's mark, a generated activity's linked pointer) is
// registered, so that sharing rewrites them all and later reads and writes
// cost one indirection.
//
// Ownership: value is owned while stored is true; the registered-pointer
// chain elements are owned by the variable whose pointerList holds them.
// Invariant: a stored variable is its group's main variable and its value and
// every pointer in its chain point at the one storage of the group.
template <class T>
class SharableSV : public BaseStateVariableClass {
 public:
  SharableSV() : value(nullptr), mainVariable(this) {}
  ~SharableSV() override {
    if (stored) delete value;
    value = nullptr;
    SVPointerElement<T>* e = pointerList.head;
    while (e != nullptr) {
      SVPointerElement<T>* next = e->next;
      delete e;
      e = next;
    }
    pointerList.head = nullptr;
  }

  int StateSize() override { return static_cast<int>(sizeof(T)); }
  void CurrentState(void* target) override { writeMemory<T>(*value, target); }
  void SetState(void* source) override { readMemory2<T>(source, value); }
  using BaseStateVariableClass::printState;
  void printState(std::ostream* s) override {
    *s << name << " = " << +*value << std::endl;
  }
  void printStateVal(std::ostream* s) override { *s << +*value; }

  // REQUIRES: other is a SharableSV<T>.
  void share(BaseStateVariableClass* other) override {
    SharableSV<T>* otherSV = dynamic_cast<SharableSV<T>*>(other);
    KORVAN_ASSERT(otherSV);
    ShareWith(otherSV);
  }

  // Makes this variable's group and other's group one group with one storage,
  // one pair of action lists and one chain of registered pointers. When both
  // are stored the merged value is other's. Sharing two variables that
  // already use one storage (including a variable with itself) changes
  // nothing but the actions' variable lists.
  void ShareWith(SharableSV<T>* other) {
    SharableSV<T>* thisMain = Root(this);
    SharableSV<T>* otherMain = Root(other);
    if (thisMain != otherMain) {
      if (stored && other->stored) {
        shared = true;
        *value = *other->value;
        Redirect(other, this);
      } else if (other->stored) {
        Redirect(other, thisMain);
      } else if (stored) {
        Redirect(this, otherMain);
      } else if (otherMain->sharingCount < sharingCount) {
        Redirect(otherMain, thisMain);
      } else {
        Redirect(thisMain, otherMain);
      }
    }
    SharableSV<T>* main = Root(this);
    // Shared again with its own main (or with itself): nothing to move, and
    // replacing a list's item by itself would take it out of the list.
    if (other == main) return;
    List<BaseActionClass>* affecting = other->affectingActions;
    for (int i = 0; i < affecting->getNumItems(); i++) {
      affecting->getItem(i)->affectedSVs.replaceItem(other, main);
    }
    List<BaseActionClass>* enabled = other->enabledActions;
    for (int i = 0; i < enabled->getNumItems(); i++) {
      enabled->getItem(i)->enablingSVs.replaceItem(other, main);
    }
  }

  // Only the main variable of a group records affecting actions, in the
  // lists of every variable that owns storage in its chain.
  void appendAffectingAction(BaseActionClass* action) override {
    if (mainVariable != this || pointerList.head == nullptr) return;
    for (SVPointerElement<T>* e = pointerList.head; e != nullptr; e = e->next) {
      if (e->owner != nullptr) e->owner->affectingActions->append(action);
    }
  }

  // Points *location at the storage and registers it, so that sharing
  // redirects it. location must stay valid for the variable's lifetime.
  void RegisterPointer(T** location) { Register(location, nullptr, false); }

  T* getValuePointer() const { return value; }
  SharableSV<T>* getMainVariable() const { return mainVariable; }

  // ---- Fields, in record order. ----
  T* value;
  SVPointerList<T> pointerList;
  SharableSV<T>* mainVariable;

 protected:
  // Registers the variable's own value field with its owner.
  // REQUIRES: owner != nullptr.
  void RegisterOwnedPointer(T** location, SharableSV<T>* owner) {
    Register(location, owner, true);
  }

 private:
  void Register(T** location, SharableSV<T>* owner, bool ownerGiven) {
    *location = value;
    sharingCount++;
    SVPointerElement<T>* NextElement = new SVPointerElement<T>(location, owner, pointerList.head);
    if (ownerGiven) KORVAN_ASSERT(NextElement->getOwner());
    pointerList.head = NextElement;
  }

  // The stored variable that holds v's storage. A follower's mainVariable
  // can lead to a variable that was itself redirected later; following the
  // links to the stored end keeps later sharings on the group's real main.
  static SharableSV<T>* Root(SharableSV<T>* v) {
    while (!v->stored && v->mainVariable != v) v = v->mainVariable;
    return v;
  }

  // Makes f use m's storage, action lists and pointer chain.
  // REQUIRES: f and m are stored and distinct.
  static void Redirect(SharableSV<T>* f, SharableSV<T>* m) {
    delete f->value;
    f->value = m->value;
    for (SVPointerElement<T>* e = f->pointerList.head; e != nullptr; e = e->next) {
      *e->location = m->value;
    }
    f->mainVariable = m;
    f->shared = true;
    f->stored = false;
    List<BaseActionClass>* SVAffectingActions = m->affectingActions;
    List<BaseActionClass>* SVEnabledActions = m->enabledActions;
    KORVAN_ASSERT(SVAffectingActions);
    KORVAN_ASSERT(SVEnabledActions);
    SVAffectingActions->append(f->affectingActions);
    SVEnabledActions->append(f->enabledActions);
    delete f->affectingActions;
    delete f->enabledActions;
    f->affectingActions = SVAffectingActions;
    f->enabledActions = SVEnabledActions;
    SVPointerList<T>* TheOtherPointer = &f->pointerList;
    KORVAN_ASSERT(TheOtherPointer->getHead());
    SVPointerElement<T>* last = nullptr;
    for (SVPointerElement<T>* e = TheOtherPointer->head; e != nullptr; e = e->next) {
      if (e->owner != nullptr) {
        e->owner->affectingActions = SVAffectingActions;
        e->owner->enabledActions = SVEnabledActions;
      }
      last = e;
    }
    last->next = m->pointerList.head;
    m->pointerList.head = TheOtherPointer->head;
    m->sharingCount += f->sharingCount;
    TheOtherPointer->head = nullptr;
  }
};

extern template class SharableSV<short>;

#endif
