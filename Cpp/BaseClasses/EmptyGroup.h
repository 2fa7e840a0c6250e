#ifndef EMPTY_GROUP_H
#define EMPTY_GROUP_H

#include "Cpp/BaseClasses/SingleGroup.h"

// An inert placeholder group named "ImmediateGroup": never enabled, fires
// nothing.
class EmptyGroup : public SingleGroup {
 public:
  EmptyGroup();
  ~EmptyGroup() override;

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
  bool SelectAction() override;

  void SetAction(BaseActionClass*) {}
  void SetImpulseList(int, double) {}
  void CreateImpulseList(int) {}
};

#endif
