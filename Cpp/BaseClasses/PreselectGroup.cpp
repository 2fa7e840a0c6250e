#include "Cpp/BaseClasses/PreselectGroup.h"

PreselectGroup::PreselectGroup() : needSelection(true) {}

PreselectGroup::PreselectGroup(int n) : needSelection(true) { ReallocateArrays(n); }

PreselectGroup::~PreselectGroup() {}

bool PreselectGroup::SelectAction() {
  bool selected = BaseGroupClass::SelectAction();
  needSelection = !selected;
  return selected;
}

// A case chosen earlier that is no longer enabled, while another one is,
// is chosen afresh: the group would otherwise be timed and fired as a case
// that cannot fire. A choice that is still enabled is kept (no draw).
bool PreselectGroup::Enabled() {
  if (needSelection) SelectAction();
  const bool enabled = BaseGroupClass::Enabled();
  if (enabled && selectedAction != nullptr && selectedAction != this && !selectedAction->Enabled()) {
    SelectAction();
  }
  return enabled;
}

// With no member selectable the queries answer the action defaults.
bool PreselectGroup::ReactivationPredicate() {
  if (needSelection) SelectAction();
  return selectedAction != nullptr ? selectedAction->ReactivationPredicate() : false;
}

bool PreselectGroup::ReactivationFunction() {
  if (needSelection) SelectAction();
  return selectedAction != nullptr ? selectedAction->ReactivationFunction() : false;
}

double PreselectGroup::SampleDistribution() {
  if (needSelection) SelectAction();
  return selectedAction != nullptr ? selectedAction->SampleDistribution() : 0.0;
}

int PreselectGroup::Rank() {
  if (needSelection) SelectAction();
  return selectedAction != nullptr ? selectedAction->Rank() : 0;
}

BaseActionClass* PreselectGroup::Fire() {
  needSelection = true;
  return selectedAction != nullptr ? selectedAction->Fire() : nullptr;
}
