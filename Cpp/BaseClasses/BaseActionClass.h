#ifndef BASE_ACTION_CLASS_H
#define BASE_ACTION_CLASS_H

#include <iostream>

#include "Cpp/BaseClasses/FastSet.h"
#include "Cpp/BaseClasses/List.h"

class BaseStateVariableClass;
class BaseModelClass;
struct AffectsNode;
struct ScheduleRecord;

// Firing-time distribution of an action. The framework only stores and
// prints it; timing comes from the virtual operations.
enum Distribution {
  EXPONENTIAL = 1,
  DETERMINISTIC = 2,
  INSTANTANEOUS = 18
};

// Execution policy of an action; stored and printed only.
enum ExecutionPolicyType {
  RACE_ENABLED = 1
};

// Anything the simulator can schedule and fire.
//
// Ownership: the action owns name, its two variable lists (not the variables)
// and its reward sets and their arrays (not the tables pvImpulseTables and
// pvImpulseCounts point to, which belong to the reward model). actionAffects
// and eventInfo belong to the simulator.
class BaseActionClass {
 public:
  BaseActionClass();
  BaseActionClass(const char* name, int groupId, Distribution d, ExecutionPolicyType p,
                  int affectedCount, int enablingCount, bool reactivation);
  BaseActionClass(const BaseActionClass&) = delete;
  BaseActionClass& operator=(const BaseActionClass&) = delete;

  // ---- Virtual operations, in table order. ----
  virtual ~BaseActionClass();
  virtual bool isSync();
  virtual bool Enabled();
  virtual double Weight();
  virtual double Rate();
  virtual bool ReactivationPredicate();
  virtual bool ReactivationFunction();
  // The delay until completion.
  virtual double SampleDistribution();
  virtual double* ReturnDistributionParameters();
  virtual void SetFired(int f);
  // Applies the effect; returns the action that fired.
  virtual BaseActionClass* Fire();
  virtual int Rank();
  virtual bool EnablingChange();
  virtual bool IsAMember(BaseActionClass* a);
  virtual double Probability(BaseActionClass* a);
  virtual void printAffectedState(std::ostream* s);
  virtual void printEnablingState(std::ostream* s);
  virtual BaseActionClass* getPrintedAction();
  virtual double ErlangParamM();

  // ---- Non-virtual operations. ----
  // The two counts are accepted and not used.
  void BaseActionClassInitialize(const char* name, int groupId, Distribution d,
                                 ExecutionPolicyType p, int affectedCount, int enablingCount,
                                 bool reactivation);
  void defineName(const char* newName);

  // Leaves are added to the action's lists; a structured variable passes
  // its leaves back to these operations.
  void addEnablingSV(BaseStateVariableClass* v);
  void addAffectedSV(BaseStateVariableClass* v);
  void removeEnablingSV(BaseStateVariableClass* v);
  void removeAffectedSV(BaseStateVariableClass* v);

  void ResetPhase() { phase = 1; }
  void Age() { phase += 1; }
  bool ReadyToFire() { return static_cast<double>(phase) == ErlangParamM(); }

  bool IsPVRateDSAllocated() const { return pvRateSets != nullptr; }
  bool IsPVImpulseDSAllocated() const { return pvImpulseSets != nullptr; }
  // n empty sets per performance variable (n null tables for impulses).
  void AllocatePVRateDS(int n);
  void AllocatePVImpulseDS(int n);
  // Free what the matching Allocate made and null the fields; the tables
  // pointed to by pvImpulseTables and pvImpulseCounts are not freed.
  void DeallocatePVRateDS();
  void DeallocatePVImpulseDS();

  void PrintInfo();

  // ---- Fields, in record order. ----
  int groupId;
  ExecutionPolicyType executionPolicy;
  bool disabled;
  bool reactivation;
  char* name;
  AffectsNode* actionAffects;
  bool fired;
  Distribution distributionType;
  ScheduleRecord* eventInfo;
  BaseModelClass* parentModel;
  FastSet AffectedNodesByImpulseReward;
  FastSet* pvImpulseSets;
  int*** pvImpulseTables;
  int** pvImpulseCounts;
  FastSet* pvRateSets;
  int completedNodes;
  FastSet AffectedNodes;
  FastSet AffectedNodesByRateReward;
  short phase;
  int id;
  List<BaseStateVariableClass> affectedSVs;
  List<BaseStateVariableClass> enablingSVs;

  // Actions constructed so far; the next action's id.
  static int MaxID;
};

#endif
