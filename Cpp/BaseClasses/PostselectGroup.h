#ifndef POSTSELECT_GROUP_H
#define POSTSELECT_GROUP_H

#include "Cpp/BaseClasses/BaseGroupClass.h"

// A group that chooses its case at the moment it fires; it is timed by its
// first member and always has weight 1 and rank 1.
class PostselectGroup : public BaseGroupClass {
 public:
  PostselectGroup();
  // n members and slots, to be filled with setMember.
  explicit PostselectGroup(int n);
  ~PostselectGroup() override;

  double Weight() override;
  bool ReactivationPredicate() override;
  bool ReactivationFunction() override;
  double SampleDistribution() override;
  BaseActionClass* Fire() override;
  int Rank() override;
};

#endif
