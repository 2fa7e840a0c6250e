#include "Cpp/BaseClasses/SingleGroup.h"

#include "Cpp/BaseClasses/ErrorReporting.h"

// The group keeps a one-slot members array whose entry is the wrapped
// action when it is a group, so that the member walks of the base (IsAMember,
// getPrintedAction, setGroupId) never read past an array.
SingleGroup::SingleGroup() : action(nullptr), currentEnabled(false), previousEnabled(false) {
  ReallocateArrays(1);
  numMembers = 1;
}

// g is also the wrapped action, so that the group can be queried at once.
SingleGroup::SingleGroup(BaseGroupClass* g)
    : action(g), currentEnabled(false), previousEnabled(false) {
  ReallocateArrays(1);
  if (g != nullptr) {
    members[0] = g;
    numMembers = 1;
    defineName(g->name);
  }
}

SingleGroup::~SingleGroup() {}

void SingleGroup::SetAction(BaseActionClass* a) {
  action = a;
  members[0] = dynamic_cast<BaseGroupClass*>(a);
  numMembers = 1;
}

bool SingleGroup::Enabled() {
  previousEnabled = currentEnabled;
  currentEnabled = action->Enabled();
  return currentEnabled;
}

bool SingleGroup::EnablingChange() { return currentEnabled != previousEnabled; }

double SingleGroup::Weight() { return action->Weight(); }
double SingleGroup::Rate() { return action->Rate(); }
bool SingleGroup::ReactivationPredicate() { return action->ReactivationPredicate(); }
bool SingleGroup::ReactivationFunction() { return action->ReactivationFunction(); }
double SingleGroup::SampleDistribution() { return action->SampleDistribution(); }
BaseActionClass* SingleGroup::Fire() { return action->Fire(); }
int SingleGroup::Rank() { return action->Rank(); }

double SingleGroup::Probability(BaseActionClass* a) { return a == action ? 1.0 : 0.0; }

bool SingleGroup::SelectAction() {
  InconsistantState();
  if (action == nullptr || !action->Enabled()) return false;
  selectedAction = action;
  action->disabled = false;
  disabled = false;
  executionPolicy = action->executionPolicy;
  reactivation = action->reactivation;
  return true;
}
