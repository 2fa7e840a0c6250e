#ifndef ACTIVITY_H
#define ACTIVITY_H

#include "Cpp/BaseClasses/BaseGroupClass.h"

class BaseStateVariableClass;

// Base of every generated activity: a group without members whose selected
// action is itself, so that a lone activity is scheduled like a case group.
// A generated Enabled() copies currentEnabled to previousEnabled, then stores
// and returns the new result; EnablingChange() relies on that.
class Activity : public BaseGroupClass {
 public:
  Activity();
  Activity(const char* name, int groupId, Distribution d, ExecutionPolicyType p,
           int affectedCount, int enablingCount, bool reactivation);
  ~Activity() override;

  BaseActionClass* Fire() override = 0;
  // Calls Enabled() and reports whether that call changed the enabling; it
  // leaves the activity as that call of Enabled() does. Final: the
  // simulator relies on it (a group of activities that reported no change
  // is not asked Enabled() again in the same state).
  bool EnablingChange() final;
  double Probability(BaseActionClass* a) override;
  // An activity selects itself: the answer is Enabled(). Final: a group
  // that has just seen the activity enabled relies on it.
  bool SelectAction() final;
  void setGroupId(int id) override;
  // Registers the activity's pointers to its places' markings.
  virtual void LinkVariables() = 0;

  void ActivityInitialize(const char* name, int groupId, Distribution d, ExecutionPolicyType p,
                          int affectedCount, int enablingCount, bool reactivation);
  bool IsAnAffectingStateVariable(BaseStateVariableClass* v);

  bool currentEnabled;
  bool previousEnabled;
};

#endif
