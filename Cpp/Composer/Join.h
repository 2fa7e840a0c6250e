#ifndef JOIN_H
#define JOIN_H

#include <cstdio>

#include "Cpp/BaseClasses/State.h"
#include "Cpp/BaseClasses/SANModel.h"
#include "Cpp/Composer/BaseComposerClass.h"

// The join composition: children side by side, sharing variables by name.
// Image layout: each child's image in child order, then the stored shared
// variables in shared-name order.
//
// Ownership: owns childStateSizes, actionNameTable (not the names it points
// to, which are the actions') and actionNameCounts.
class Join : public BaseComposerClass {
 public:
  // A snapshot of the composed model's own (shared) variables: the atomic
  // model's snapshot, taken from and restored to the shared part only.
  class LocalState : public SANModel::LocalState {
   public:
    explicit LocalState(int n) : SANModel::LocalState(n) {}
    // REQUIRES: m is a Join.
    void SetState(const BaseModelClass* m) override;
    void GetState(const BaseModelClass* m) override;
  };

  Join(const char* name, int numChildren, int numShared, const char* const* sharedNames);
  ~Join() override;

  int GetModelType() override { return 2; }
  int GetNumberOfChildren() override { return numChildren; }
  BaseModelClass* GetChild(int i) override;
  void GetLocalActions(slist<BaseActionClass*>& out) override;
  void GetGlobalActions(slist<BaseActionClass*>& out) override;
  int StateSize() override;
  void CurrentState(void* image) override;
  void SetState(void* image) override;
  void CurrentSharedState(void* p);
  void SetSharedState(void* p);
  bool HasLocalState() override;
  void ConstructLocalState(State*& out) override;
  void DestructLocalState(State* s) override;
  void GetLocalState(State* s) override;
  void SetLocalState(const State* s) override;

  void Setup();
  void HashActions();

  // ---- Fields, after those of BaseComposerClass. ----
  int* childStateSizes;
  int actionNameTableSize;
  const char** actionNameTable;
  int* actionNameCounts;
};

#endif
