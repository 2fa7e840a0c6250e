#ifndef PRESELECT_GROUP_H
#define PRESELECT_GROUP_H

#include "Cpp/BaseClasses/BaseGroupClass.h"

// A group that chooses its case before it is timed and keeps the choice
// until it fires, or until the chosen case is no longer enabled while
// another one is; the next query after a firing selects anew.
class PreselectGroup : public BaseGroupClass {
 public:
  PreselectGroup();
  // Room for n members, none held.
  explicit PreselectGroup(int n);
  ~PreselectGroup() override;

  bool Enabled() override;
  bool ReactivationPredicate() override;
  bool ReactivationFunction() override;
  double SampleDistribution() override;
  BaseActionClass* Fire() override;
  int Rank() override;
  bool SelectAction() override;

  bool needSelection;
};

#endif
