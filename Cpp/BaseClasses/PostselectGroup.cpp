#include "Cpp/BaseClasses/PostselectGroup.h"

PostselectGroup::PostselectGroup() {}

PostselectGroup::PostselectGroup(int n) {
  ReallocateArrays(n);
  numMembers = n > 0 ? n : 0;
}

PostselectGroup::~PostselectGroup() {}

double PostselectGroup::Weight() { return 1.0; }

int PostselectGroup::Rank() { return 1; }

// Timed by the first member; a group without members has the defaults.
bool PostselectGroup::ReactivationPredicate() {
  return numMembers > 0 ? members[0]->ReactivationPredicate() : false;
}

bool PostselectGroup::ReactivationFunction() {
  return numMembers > 0 ? members[0]->ReactivationFunction() : false;
}

double PostselectGroup::SampleDistribution() {
  return numMembers > 0 ? members[0]->SampleDistribution() : 0.0;
}

// When no member is enabled at the moment of firing, nothing fires (the
// previous selection is not fired a second time).
BaseActionClass* PostselectGroup::Fire() {
  if (!SelectAction()) return nullptr;
  BaseActionClass* firedAction = selectedAction != nullptr ? selectedAction->Fire() : nullptr;
  selectedAction = nullptr;
  return firedAction;
}
