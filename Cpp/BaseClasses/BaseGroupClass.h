#ifndef BASE_GROUP_CLASS_H
#define BASE_GROUP_CLASS_H

#include "Cpp/BaseClasses/BaseActionClass.h"

// One candidate of the last selection: the cumulative weight up to and
// including member action.
struct WeightDistributionEntry {
  double weight;
  BaseActionClass* action;
};

// An action made of member actions, one of which fires when the group fires
// (the cases of an activity). Members are groups themselves (an Activity is
// a group of one), so groups nest.
//
// Ownership: the group owns its members array and weightDistribution, never
// the members. Both arrays always have arraySize slots.
// Selection and the delegating queries never allocate.
class BaseGroupClass : public BaseActionClass {
 public:
  BaseGroupClass();
  BaseGroupClass(const char* name, int groupId, Distribution d, ExecutionPolicyType p,
                 int affectedCount, int enablingCount, bool reactivation);
  BaseGroupClass(const char* name, int groupId, Distribution d, ExecutionPolicyType p,
                 int affectedCount, int enablingCount, bool reactivation, int n);
  ~BaseGroupClass() override;

  bool Enabled() override;
  double Weight() override;
  double Rate() override;
  bool ReactivationPredicate() override;
  bool ReactivationFunction() override;
  double SampleDistribution() override;
  BaseActionClass* Fire() override;
  int Rank() override;
  bool EnablingChange() override;
  bool IsAMember(BaseActionClass* a) override;
  double Probability(BaseActionClass* a) override;
  void printEnablingState(std::ostream* s) override;
  BaseActionClass* getPrintedAction() override;
  // Chooses a member by rank and weight, drawing one uniform first; false
  // when no member is enabled (nothing else changes then).
  virtual bool SelectAction();
  virtual void setGroupId(int id);

  void BaseGroupClassInitialize(const char* name, int groupId, Distribution d,
                                ExecutionPolicyType p, int affectedCount, int enablingCount,
                                bool reactivation);
  // Room for n members; the group takes name; selection cleared.
  void initialize(int n, const char* name);
  // Appends g; a full group grows both arrays by one slot.
  void appendGroup(BaseGroupClass* g);
  // Appends g's members in g's order.
  void appendMembers(BaseGroupClass* g);
  // REQUIRES: n >= numMembers.
  void enlargeArrays(int n);
  // An index outside the members stores nothing and reports the error.
  void setMember(BaseGroupClass* g, int index);
  // REQUIRES: newAction is a group when oldAction is a member.
  void replaceMember(BaseActionClass* oldAction, BaseActionClass* newAction);
  // Fills weightDistribution with the top-rank enabled members; returns their
  // total weight, or -1 when no member is enabled.
  double CalculateWeightDistribution();
  void Check() {}
  void PrintInfo();
  void printGroup();
  void printGroup(const char* prefix, int indent);

  int getNumMembers() const { return numMembers; }
  BaseGroupClass* getMember(int i) const { return members[i]; }
  BaseActionClass* getSelectedAction() const { return selectedAction; }

  // ---- Fields, in record order. ----
  BaseGroupClass** members;
  BaseActionClass* selectedAction;
  WeightDistributionEntry* weightDistribution;
  int selectedRank;
  int numMembers;
  int numWeights;
  int arraySize;
  // Set by Activity's constructor only (an Activity's SelectAction() is
  // final and answers Enabled()).
  bool isActivity = false;

 protected:
  // Replaces both arrays by arrays of n slots, copying the members.
  void ReallocateArrays(int n);
};

#endif
