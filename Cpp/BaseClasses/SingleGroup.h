#ifndef SINGLE_GROUP_H
#define SINGLE_GROUP_H

#include "Cpp/BaseClasses/BaseGroupClass.h"

// A group wrapping exactly one action, to which every query is passed.
// REQUIRES: an action is wrapped (SetAction) before the group is queried.
class SingleGroup : public BaseGroupClass {
 public:
  SingleGroup();
  // One member g taking g's name, or no member when g is null.
  explicit SingleGroup(BaseGroupClass* g);
  ~SingleGroup() override;

  bool Enabled() override;
  double Weight() override;
  double Rate() override;
  bool ReactivationPredicate() override;
  bool ReactivationFunction() override;
  double SampleDistribution() override;
  BaseActionClass* Fire() override;
  int Rank() override;
  bool EnablingChange() override;
  double Probability(BaseActionClass* a) override;
  // Reports an inconsistent state (a single group is never asked to select),
  // then selects the wrapped action if it is enabled.
  bool SelectAction() override;

  void SetAction(BaseActionClass* a);

  BaseActionClass* action;
  bool currentEnabled;
  bool previousEnabled;
};

#endif
