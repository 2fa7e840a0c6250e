#ifndef SHARED_STATE_VAR_LINK_H
#define SHARED_STATE_VAR_LINK_H

class BaseStateVariableClass;
class BaseModelClass;

// One link of a singly linked chain recording which state variables of which
// submodels were joined under one shared name. Links own nothing they point
// to; a chain is freed with clearStateVarList.
class SharedStateVarLink {
 public:
  SharedStateVarLink();
  explicit SharedStateVarLink(BaseStateVariableClass* variable);
  SharedStateVarLink(BaseStateVariableClass* variable, BaseModelClass* owner);
  SharedStateVarLink(const SharedStateVarLink&) = delete;
  SharedStateVarLink& operator=(const SharedStateVarLink&) = delete;

  // True if this link or any link after it holds v.
  bool hasStateVar(BaseStateVariableClass* v) const;
  // Appends l after the last link of this chain.
  void addStateVarLink(SharedStateVarLink* l);
  // Deletes first and every link after it (null is allowed).
  static void clearStateVarList(SharedStateVarLink* first);
  void printAllStateVariables() const;

  BaseStateVariableClass* stateVariable;
  BaseModelClass* model;
  SharedStateVarLink* next;
};

#endif
