#ifndef BASE_MODEL_CLASS_H
#define BASE_MODEL_CLASS_H

#include <forward_list>
#include <iostream>

#include "Cpp/BaseClasses/List.h"

class BaseActionClass;
class BaseGroupClass;
class BaseStateVariableClass;
class SharedStateVarLink;
class State;

// Singly linked list of actions; results are added at the front.
template <class T>
using slist = std::forward_list<T>;

// Base of every model: atomic, composed and reward models.
//
// Ownership: the model owns name and the actions and groups arrays, never the
// objects they point to.
class BaseModelClass {
 public:
  // Takes the next model id (the first model built gets 1).
  BaseModelClass();
  BaseModelClass(const BaseModelClass&) = delete;
  BaseModelClass& operator=(const BaseModelClass&) = delete;

  // ---- Virtual operations, in table order. ----
  virtual ~BaseModelClass();
  virtual int getNumStateVariables();
  virtual void listModels(const char* name, List<BaseModelClass>* out) = 0;
  virtual void CurrentState(void* image) = 0;
  virtual void listActions(List<BaseActionClass>* out) = 0;
  virtual void listGroups(List<BaseGroupClass>* out) = 0;
  virtual void SetState(void* image) = 0;
  virtual int StateSize() = 0;
  virtual bool CompareState(void* a, void* b) = 0;
  virtual void listActions(const char* name, List<BaseActionClass>* out) = 0;
  virtual void listSVs(const char* modelName, const char* svName,
                       List<BaseStateVariableClass>* svs, List<BaseModelClass>* models) = 0;
  virtual void printState(std::ostream* s);
  virtual void printState();
  virtual BaseStateVariableClass** GetLocalStateVariables(std::ostream* s);
  virtual BaseStateVariableClass** GetSharedStateVariables();
  virtual BaseStateVariableClass* getMainSharedVariable(BaseStateVariableClass* v);
  virtual SharedStateVarLink* getListOfSharedVariables(BaseStateVariableClass* v);
  virtual void AddAffectArc(BaseStateVariableClass* v, BaseActionClass* a);
  virtual void AddEnableArc(BaseStateVariableClass* v, BaseActionClass* a);
  // The operations below fail an assertion unless a model kind supports them.
  virtual int GetModelType();
  virtual int GetNumberOfChildren();
  virtual BaseModelClass* GetChild(int i);
  virtual void GetLocalActions(slist<BaseActionClass*>& out);
  virtual void GetGlobalActions(slist<BaseActionClass*>& out);
  virtual bool HasLocalState();
  virtual void GetLocalState(State* s);
  virtual void SetLocalState(const State* s);
  virtual void ConstructLocalState(State*& out);
  virtual void DestructLocalState(State* s);

  // ---- Non-virtual operations. ----
  void DefineName(const char* newName);
  void SetParentId(int id) { parentId = id; }

  // ---- Fields, in record order. ----
  int numStateVariables;
  int NumSharedStateVariables;
  int numActions;
  int numGroups;
  BaseGroupClass** groups;
  char* name;
  int modelId;
  int parentId;
  BaseActionClass** actions;

  // Simulated time up to which rewards were last accumulated.
  static double LastActionTime;
  // Models constructed so far.
  static int MaxModelId;
};

#endif
