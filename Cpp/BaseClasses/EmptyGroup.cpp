#include "Cpp/BaseClasses/EmptyGroup.h"

#include "Cpp/BaseClasses/ErrorReporting.h"

EmptyGroup::EmptyGroup() {
  numMembers = 0;
  defineName("ImmediateGroup");
  groupId = 0;
  selectedRank = 0;
  selectedAction = nullptr;
}

EmptyGroup::~EmptyGroup() {}

bool EmptyGroup::Enabled() { return false; }
bool EmptyGroup::EnablingChange() { return false; }
bool EmptyGroup::ReactivationPredicate() { return false; }
bool EmptyGroup::ReactivationFunction() { return false; }
double EmptyGroup::Weight() { return 0.0; }
double EmptyGroup::Rate() { return 0.0; }
double EmptyGroup::SampleDistribution() { return 0.0; }
double EmptyGroup::Probability(BaseActionClass*) { return 0.0; }
int EmptyGroup::Rank() { return 0; }
BaseActionClass* EmptyGroup::Fire() { return nullptr; }

bool EmptyGroup::SelectAction() {
  InconsistantState();
  return false;
}
