#ifndef BASE_STATE_VARIABLE_CLASS_H
#define BASE_STATE_VARIABLE_CLASS_H

#include <iostream>

#include "Cpp/BaseClasses/List.h"

class BaseActionClass;

// One named piece of a model's state, with the actions whose enabling reads it
// (enabledActions) and the actions whose firing writes it (affectingActions).
//
// Ownership: a stored variable owns its two action lists (never the actions);
// a follower (stored == false, made so by sharing) uses its main variable's
// lists and owns none. name and prefix are always owned copies.
class BaseStateVariableClass {
 public:
  // Name "default", empty prefix, unshared, stored, empty lists of 10 slots.
  BaseStateVariableClass();
  // As the default, with copies of name and prefix.
  BaseStateVariableClass(const char* name, const char* prefix);
  BaseStateVariableClass(const BaseStateVariableClass&) = delete;
  BaseStateVariableClass& operator=(const BaseStateVariableClass&) = delete;

  // ---- Virtual operations, in table order. ----
  virtual ~BaseStateVariableClass();
  // Bytes this variable contributes to a state image.
  virtual int StateSize() = 0;
  // Reads the value from a state image.
  virtual void SetState(void* source) = 0;
  // Writes the value into a state image.
  virtual void CurrentState(void* target) = 0;
  virtual void printState(std::ostream* s);
  virtual void printState();
  virtual void printStateVal(std::ostream* s);
  // Merges this variable with other (one storage, one pair of action lists).
  virtual void share(BaseStateVariableClass* other) = 0;
  virtual void appendAffectingAction(BaseActionClass* action);
  virtual void removeAffectingAction(BaseActionClass* action);
  virtual void replaceAffectingAction(BaseActionClass* oldAction, BaseActionClass* newAction);
  virtual void addSelfAsEnablingSVToAction(BaseActionClass* action);
  virtual void addSelfAsAffectedSVToAction(BaseActionClass* action);
  virtual void removeSelfFromEnablingSVOfAction(BaseActionClass* action);
  virtual void removeSelfFromAffectedSVOfAction(BaseActionClass* action);
  // A new list holding the leaf variables; the caller deletes it.
  virtual List<BaseStateVariableClass>* getLeafNodes();
  virtual int getNumLeafNodes();
  virtual bool isLeafNode();
  virtual void appendEnabledAction(BaseActionClass* action);
  virtual void removeEnabledAction(BaseActionClass* action);
  virtual void replaceEnabledAction(BaseActionClass* oldAction, BaseActionClass* newAction);

  // ---- Non-virtual operations. ----
  // Replace the string by a copy; on allocation failure the old string stays
  // and "Not Enough Memory" is written to standard error.
  void SetName(const char* newName);
  void SetPrefix(const char* newPrefix);

  bool getShared() const { return shared; }
  void setShared(bool s) { shared = s; }
  bool getStored() const { return stored; }
  void setStored(bool s) { stored = s; }
  bool getFunctionallyShared() const { return functionallyShared; }
  void setFunctionallyShared(bool s) { functionallyShared = s; }
  int getSharingCount() const { return sharingCount; }

  List<BaseActionClass>* getAffectingActions() const { return affectingActions; }
  List<BaseActionClass>* getEnabledActions() const { return enabledActions; }
  // Replace the list pointers; nothing is freed.
  void setAffectingActions(List<BaseActionClass>* l) { affectingActions = l; }
  void setEnabledActions(List<BaseActionClass>* l) { enabledActions = l; }
  // Append every item of l (without repeats).
  void copyAffectingActions(List<BaseActionClass>* l);
  void copyEnabledActions(List<BaseActionClass>* l);
  int getNumAffectingActions() const;
  int getNumEnabledActions() const;
  // Null, with a message on standard error, when i is not below the count.
  BaseActionClass* getAffectingAction(int i) const;
  BaseActionClass* getEnabledAction(int i) const;
  void printAffectingActions() const;
  void printEnabledActions() const;

  // ---- Fields, in record order. ----
  char* name;
  char* prefix;
  bool shared;
  bool stored;
  bool functionallyShared;
  int sharingCount;
  List<BaseActionClass>* affectingActions;
  List<BaseActionClass>* enabledActions;
};

#endif
