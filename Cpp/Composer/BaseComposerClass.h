#ifndef BASE_COMPOSER_CLASS_H
#define BASE_COMPOSER_CLASS_H

#include <iostream>

#include "Cpp/BaseClasses/BaseModelClass.h"
#include "Cpp/BaseClasses/List.h"

class BaseStateVariableClass;
class SharedStateVarLink;

// A model made of submodels whose state variables of one shared name are one
// variable. Gathers the children's actions and groups into one pair of
// arrays and numbers the groups.
//
// Ownership: owns the arrays (children, SharedStateVariables, sharingLinks,
// sharedVariableLists, SharedStateNames with their strings, actions,
// groups), not the objects in them: the generated class deletes its
// children and its shared variables. The sharing-link chains are freed with
// the composed model.
class BaseComposerClass : public BaseModelClass {
 public:
  BaseComposerClass(const char* name, int numChildren, int numShared, const char* const* sharedNames);
  ~BaseComposerClass() override;

  // Concatenates the children's actions and groups; group i gets group id i.
  void SetupActions();
  // True if no child has a state variable (true for no children).
  bool AllChildrenEmpty();
  // Registers the composed model's variable for the next shared name.
  // REQUIRES: fewer than NumSharedStateVariables registered; name is the next
  // shared name.
  void addSharedPtr(BaseStateVariableClass* v, const char* VarName);
  // Records that childVar of child was merged into sharedVar.
  // REQUIRES: sharedVar was registered with addSharedPtr.
  void addSharingInfo(BaseStateVariableClass* childVar, BaseStateVariableClass* sharedVar,
                      BaseModelClass* child);
  void GeneralSetup();
  int SharedStateSize();
  static int Hash(const char* s, int n);

  bool CompareState(void* a, void* b) override;
  BaseStateVariableClass** GetSharedStateVariables() override;
  BaseStateVariableClass* getMainSharedVariable(BaseStateVariableClass* v) override;
  SharedStateVarLink* getListOfSharedVariables(BaseStateVariableClass* v) override;
  void listModels(const char* n, List<BaseModelClass>* out) override;
  void listActions(List<BaseActionClass>* out) override;
  void listActions(const char* n, List<BaseActionClass>* out) override;
  void listGroups(List<BaseGroupClass>* out) override;
  void listSVs(const char* modelName, const char* svName, List<BaseStateVariableClass>* svs,
               List<BaseModelClass>* models) override;
  using BaseModelClass::printState;
  void printState(std::ostream* s) override;
  void printAllSharedVariables();

  // ---- Fields, after those of BaseModelClass. ----
  BaseModelClass** children;
  int numChildren;
  BaseStateVariableClass** SharedStateVariables;
  SharedStateVarLink** sharingLinks;
  List<BaseStateVariableClass>** sharedVariableLists;
  char** SharedStateNames;
  int AddedSharedPtrs;
  int stateSize;

 private:
  // Number of entries allocated in the per-name arrays.
  int numSharedNames;
};

#endif
