#ifndef SAN_MODEL_H
#define SAN_MODEL_H

#include <cstdio>
#include <iostream>

#include "Cpp/BaseClasses/BaseModelClass.h"
#include "Cpp/BaseClasses/State.h"

class Activity;
class Place;

// The first 256 primes (2 ... 1619), the weights of the state hash.
extern const int primes[256];

// An atomic stochastic activity network model: its places, read-only places,
// activities and groups; its state image is the values of the places that
// own their storage (the unshared ones: shared markings live in the composed
// model's image), in place order.
//
// Ownership: the four arrays are owned; places, activities and groups belong
// to the generated model.
class SANModel : public BaseModelClass {
 public:
  // A snapshot of an atomic model's unshared places. size never exceeds the
  // buffer allocated at construction.
  class LocalState : public State {
   public:
    explicit LocalState(int n);
    LocalState(const LocalState&) = delete;
    LocalState& operator=(const LocalState& o) {
      operator=(static_cast<const State&>(o));
      return *this;
    }
    ~LocalState() override;

    int hash() override;
    // Unsigned bytes, first difference decides: 1, -1, or 0 when equal.
    int compare(const State& o) override;
    void print() override;
    int fwriteState(FILE* f) override;
    // Refuses (non-zero, state unchanged) a stored size that is negative,
    // exceeds the buffer, or cannot be read in full.
    int freadState(FILE* f) override;
    // REQUIRES: o has the same size.
    State& operator=(const State& o) override;
    void SetState(const BaseModelClass* m) override;
    void GetState(const BaseModelClass* m) override;
    char* GetStatePtr() override { return data; }

    char* data;
    int size;

   private:
    int capacity;
  };

  SANModel();
  SANModel(const char* name, int numPlaces, BaseStateVariableClass** places, int numReadOnly,
           BaseStateVariableClass** readOnly, int numActivities, Activity** activities,
           int numGroups, BaseGroupClass** groups);
  ~SANModel() override;

  void initializeSANModelNow(const char* name, int numPlaces, BaseStateVariableClass** places,
                             int numReadOnly, BaseStateVariableClass** readOnly,
                             int numActivities, Activity** activities, int numGroups,
                             BaseGroupClass** groups);
  void SetPlaces(BaseStateVariableClass** p);
  void SetReadOnlyPlaces(BaseStateVariableClass** p);
  void SetActions(Activity** a);
  void SetGroups(BaseGroupClass** g);

  int GetModelType() override { return 1; }
  int GetNumberOfChildren() override { return 0; }
  BaseModelClass* GetChild(int i) override;
  int StateSize() override;
  void CurrentState(void* image) override;
  void SetState(void* image) override;
  bool CompareState(void* a, void* b) override;
  bool HasLocalState() override;
  void ConstructLocalState(State*& out) override;
  void DestructLocalState(State* s) override;
  void GetLocalState(State* s) override;
  void SetLocalState(const State* s) override;
  BaseStateVariableClass** GetLocalStateVariables(std::ostream* s) override;
  void listModels(const char* n, List<BaseModelClass>* out) override;
  void listActions(List<BaseActionClass>* out) override;
  void listActions(const char* n, List<BaseActionClass>* out) override;
  void listGroups(List<BaseGroupClass>* out) override;
  void listSVs(const char* modelName, const char* svName, List<BaseStateVariableClass>* svs,
               List<BaseModelClass>* models) override;
  void GetGlobalActions(slist<BaseActionClass*>& out) override;
  void GetLocalActions(slist<BaseActionClass*>& out) override;
  using BaseModelClass::printState;
  void printState(std::ostream* s) override;

  void PrintSANModelInfo();

  // ---- Fields, after those of BaseModelClass. ----
  BaseStateVariableClass** places;
  BaseStateVariableClass** readOnlyPlaces;
  int numReadOnlyPlaces;
  // Set by a model whose activities' enabling (Enabled(), EnablingChange())
  // reads nothing but the markings of its places and values that stay fixed
  // during a run. Only then may the simulator take a firing that leaves the
  // places it may change as they were for one that changed no enabling (see
  // SimulatorClass::WatchUnchangedFirings); without it every firing asks
  // every group on its affects list, whatever else the enabling reads.
  bool enablingReadsOnlyPlaces = false;
};

// True if the model's arrays hold exactly the given pointers, in order.
bool checkLocalSVs(SANModel* model, Place** places);
bool checkReadOnlyPlaces(SANModel* model, BaseStateVariableClass** readOnly);
bool checkLocalActions(SANModel* model, Activity** activities);

#endif
