#include "Cpp/BaseClasses/PreselectGroup.h"

PreselectGroup::PreselectGroup() : needSelection(true) {}

PreselectGroup::PreselectGroup(int n) : needSelection(true) { ReallocateArrays(n); }

PreselectGroup::~PreselectGroup() {}

bool PreselectGroup::SelectAction() {
  bool selected = BaseGroupClass::SelectAction();
  needSelection = !selected;
  return selected;
}

bool PreselectGroup::Enabled() {
  if (needSelection) SelectAction();
  return BaseGroupClass::Enabled();
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
