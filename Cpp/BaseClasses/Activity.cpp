#include "Cpp/BaseClasses/Activity.h"

Activity::Activity() : currentEnabled(false), previousEnabled(false) {
  isActivity = true;
  disabled = true;
  reactivation = false;
  selectedAction = this;
}

Activity::Activity(const char* n, int g, Distribution d, ExecutionPolicyType p, int affectedCount,
                   int enablingCount, bool r)
    : Activity() {
  ActivityInitialize(n, g, d, p, affectedCount, enablingCount, r);
}

Activity::~Activity() {}

void Activity::ActivityInitialize(const char* n, int g, Distribution d, ExecutionPolicyType p,
                                  int affectedCount, int enablingCount, bool r) {
  BaseGroupClassInitialize(n, g, d, p, affectedCount, enablingCount, r);
}

bool Activity::SelectAction() { return Enabled(); }

bool Activity::EnablingChange() {
  Enabled();
  return currentEnabled != previousEnabled;
}

double Activity::Probability(BaseActionClass* a) { return a == this ? 1.0 : 0.0; }

void Activity::setGroupId(int newId) { groupId = newId; }

bool Activity::IsAnAffectingStateVariable(BaseStateVariableClass* v) {
  return affectedSVs.contains(v);
}
