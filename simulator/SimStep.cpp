// The simulation step: connectivity (affects) lists, the initial event list,
// firing one event, and re-examining only the groups the firing can touch.
//
// The orders of every walk here are part of the behaviour: they fix which
// groups draw their samples first, and so the random stream of a run.

#include <cmath>
#include <cstdlib>
#include <iostream>
#include <new>
#include <sstream>
#include <vector>

#include "Cpp/BaseClasses/BaseActionClass.h"
#include "Cpp/BaseClasses/BaseGroupClass.h"
#include "Cpp/BaseClasses/BaseModelClass.h"
#include "Cpp/BaseClasses/KorvanAssert.h"
#include "Cpp/BaseClasses/PVModel.h"
#include "Cpp/BaseClasses/state/BaseStateVariableClass.h"
#include "simulator/EventList.h"
#include "simulator/SimulatorClass.h"

namespace {

void DescribeAction(std::ostream* out, BaseActionClass* action) {
  BaseModelClass* model = action->parentModel;
  if (model != nullptr) {
    *out << model->name << "(" << model->modelId << ")->";
  } else {
    *out << "Unknown Model" << "(" << 0 << ")->";
  }
  *out << action->name << " (" << action->id << ")";
}

}  // namespace

int SimulatorClass::AddActionAffects(BaseActionClass* group, BaseActionClass* action) {
  AffectsNode* node = new (std::nothrow) AffectsNode{group, action->actionAffects};
  if (node == nullptr) return 1;
  action->actionAffects = node;
  return 0;
}

int SimulatorClass::AddActionAffectsOld(BaseActionClass* group, BaseActionClass* action) {
  AffectsNode** tail = &action->actionAffects;
  for (; *tail != nullptr; tail = &(*tail)->next) {
    if ((*tail)->group == group) return 0;
  }
  AffectsNode* node = new (std::nothrow) AffectsNode{group, nullptr};
  if (node == nullptr) return 1;
  *tail = node;
  return 0;
}

int SimulatorClass::GenerateConnectivityList() {
  // Stamping each group's marker with the current action's id keeps a group
  // from being listed twice without clearing the markers between actions.
  const int n = BaseActionClass::MaxID;
  std::vector<int> marker(n + 1, -1);
  BaseActionClass** modelActions = pvModel->actions;
  for (int k = 0; k < pvModel->numActions; k++) {
    BaseActionClass* action = modelActions[k];
    const int a = action->id;
    BaseActionClass* own = groups[action->groupId];
    // A node that could not be made would leave a group unscheduled after
    // the firings that enable it: the run would go on with other numbers.
    if (marker[own->id] != a) {
      if (AddActionAffects(own, action) != 0) return 1;
      marker[own->id] = a;
    }
    for (int s = 0; s < action->affectedSVs.getNumItems(); s++) {
      List<BaseActionClass>* enabled = action->affectedSVs[s]->getEnabledActions();
      for (int e = 0; e < enabled->getNumItems(); e++) {
        BaseActionClass* group = groups[(*enabled)[e]->groupId];
        if (marker[group->id] != a) {
          marker[group->id] = a;
          if (AddActionAffects(group, action) != 0) return 1;
        }
      }
    }
  }
  return 0;
}

int SimulatorClass::GenerateConnectivityListOld() {
  const bool useMatrix = ConnectivityBuilderSetting() == 1;
  const int n = BaseActionClass::MaxID;
  std::vector<unsigned char> listed(useMatrix ? static_cast<size_t>(n + 1) * (n + 1) : 0, 0);
  auto add = [&](BaseActionClass* group, BaseActionClass* action) {
    if (!useMatrix) return AddActionAffectsOld(group, action);
    unsigned char& seen = listed[static_cast<size_t>(action->id) * (n + 1) + group->id];
    if (seen) return 0;
    seen = 1;
    return AddActionAffects(group, action);
  };
  BaseActionClass** modelActions = pvModel->actions;
  for (int k = 0; k < pvModel->numActions; k++) {
    BaseActionClass* action = modelActions[k];
    BaseActionClass* own = groups[action->groupId];
    if (add(own, action) != 0) return 1;
    for (int s = 0; s < action->enablingSVs.getNumItems(); s++) {
      List<BaseActionClass>* affecting = action->enablingSVs[s]->getAffectingActions();
      for (int f = 0; f < affecting->getNumItems(); f++) {
        if (add(own, (*affecting)[f]) != 0) return 1;
      }
    }
  }
  return 0;
}

void SimulatorClass::ClearActionAffectsList(BaseActionClass* action) {
  AffectsNode* node = action->actionAffects;
  while (node != nullptr) {
    AffectsNode* next = node->next;
    delete node;
    node = next;
  }
  action->actionAffects = nullptr;
}

void SimulatorClass::DestructConnectivityList() {
  for (int k = 0; k < pvModel->numActions; k++) ClearActionAffectsList(pvModel->actions[k]);
}

void SimulatorClass::PrintConnectivityList(std::ostream* out) {
  for (int k = 0; k < pvModel->numActions; k++) {
    BaseActionClass* action = pvModel->actions[k];
    *out << "Action: ";
    DescribeAction(out, action);
    *out << std::endl << "Checking my Affects" << std::endl;
    for (AffectsNode* node = action->actionAffects; node != nullptr; node = node->next) {
      *out << "    ";
      DescribeAction(out, node->group);
      *out << std::endl;
    }
  }
}

int SimulatorClass::GenerateInitialEnabledList() {
  const int numGroups = groupList->getNumItems();
  delete[] initialEnabled;
  initialEnabled = new BaseActionClass*[numGroups > 0 ? numGroups : 1];
  numInitialEnabled = 0;
  for (int g = 0; g < numGroups; g++) {
    if (groups[g]->Enabled()) initialEnabled[numInitialEnabled++] = groups[g];
  }
  if (numInitialEnabled < numGroups / 2) {
    BaseActionClass** exact = new BaseActionClass*[numInitialEnabled > 0 ? numInitialEnabled : 1];
    for (int k = 0; k < numInitialEnabled; k++) exact[k] = initialEnabled[k];
    delete[] initialEnabled;
    initialEnabled = exact;
  }
  return 0;
}

namespace {

[[noreturn]] __attribute__((noinline, cold)) void ReportInvalidDelay(SimulatorClass* simulator,
                                                                     BaseActionClass* group,
                                                                     double delay) {
  std::ostringstream message;
  message << "INVALID_DIST_PARAMS: delay " << delay << " is negative or not a number";
  simulator->HandleInvalidDistParams(group, message.str());
}

// An exponential delay -ln(U) / rate is +inf at rate 0 (the activity never
// completes) and 0 at rate +inf, except where the formula meets 0 / 0 or
// inf / inf: a uniform of exactly 1 at rate 0 (the Tausworthe generator
// draws one once in its period) or of exactly 0 at rate +inf. Those draws
// mean the same, and are not taken for an invalid delay; nor is the -inf
// drawn at rate -0, which is rate 0.
__attribute__((noinline, cold)) double DelayNotANumberOrNegative(SimulatorClass* simulator,
                                                                 BaseActionClass* group,
                                                                 double delay) {
  const ScheduleRecord* record = group->eventInfo;
  BaseActionClass* timing = record != nullptr && record->timing != nullptr ? record->timing : group;
  if (timing->distributionType == EXPONENTIAL && (std::isnan(delay) || delay == -HUGE_VAL)) {
    const double* parameters = timing->ReturnDistributionParameters();
    if (parameters != nullptr && parameters[0] == 0.0) return HUGE_VAL;  // also -0
    if (parameters != nullptr && parameters[0] == HUGE_VAL && std::isnan(delay)) return 0.0;
  }
  ReportInvalidDelay(simulator, group, delay);
}

// A zero-time loop (instantaneous activities that keep enabling one
// another) would keep the run at one instant for ever. Counts the events
// scheduled with a delay of zero at the same time, and stops the run once there are
// far more of them than any burst of instantaneous firings at one instant.
__attribute__((noinline, cold)) void CountEventAtTheCurrentTime(SimulatorClass* simulator,
                                                                BaseActionClass* group) {
  if (simulator->stalledTime != simulator->currentTime) {
    simulator->stalledTime = simulator->currentTime;
    simulator->eventsAtStalledTime = 0;
  }
  if (++simulator->eventsAtStalledTime <= simulator->maxEventsAtOneTime) return;
  std::cout.flush();
  std::cerr << "FATAL ERROR: In action " << (group->name != nullptr ? group->name : "")
            << ", simulated time does not advance past " << simulator->currentTime << ": "
            << simulator->eventsAtStalledTime
            << " events in a row were scheduled at that time (instantaneous activities that "
               "keep enabling one another?)"
            << std::endl;
  std::exit(1);
}

// A delay that is not positive: one that is negative or not a number (a
// global variable overridden to such a value, say), which would make
// simulated time run backwards or stall, or a delay of zero.
__attribute__((noinline, cold)) double DelayNotPositive(SimulatorClass* simulator,
                                                        BaseActionClass* group, double delay) {
  if (!(delay >= 0.0)) delay = DelayNotANumberOrNegative(simulator, group, delay);
  if (!(delay > 0.0)) CountEventAtTheCurrentTime(simulator, group);
  return delay;
}

// One compare, on the delay alone: every delay that is not positive goes to
// the cold path. (A positive delay too small to change a very large time is
// not looked at here.)
inline double CheckedDelay(SimulatorClass* simulator, BaseActionClass* group, double delay) {
  if (__builtin_expect(!(delay > 0.0), 0)) return DelayNotPositive(simulator, group, delay);
  return delay;
}

}  // namespace

// The timing questions go straight to the action that answers them for the
// group (ScheduleRecord::timing), without the group's delegating call.
void SimulatorClass::ScheduleGroup(BaseActionClass* group) {
  ScheduleRecord* record = group->eventInfo;
  BaseActionClass* timing = record->timing != nullptr ? record->timing : group;
  const double time = CheckedDelay(this, group, timing->SampleDistribution()) + currentTime;
  if (timing->ReactivationPredicate()) {
    group->reactivation = true;
    reactivationList.push_front(group);
    record->notInReactivationList = false;
    record->reactivationPosition = reactivationList.begin();
  }
  eventList->Insert(time, currentTime, group);
}

short SimulatorClass::GenerateCompleteEventList() {
  // A replication starts at time 0 again: the instantaneous firings at 0
  // of the ones before are not counted with its own.
  eventsAtStalledTime = 0;
  for (int k = 0; k < numInitialEnabled; k++) {
    nextAction = initialEnabled[k];
    // Refreshes the recorded enabling, so that later EnablingChange() calls
    // compare against the initial state.
    nextAction->Enabled();
    ScheduleGroup(nextAction);
  }
  return 0;
}

short SimulatorClass::GenerateCompleteEventListSS() {
  eventsAtStalledTime = 0;
  const int numGroups = groupList->getNumItems();
  for (int g = 0; g < numGroups; g++) {
    nextAction = groups[g];
    if (nextAction->Enabled()) ScheduleGroup(nextAction);
  }
  return 0;
}

// Whether the firing of group (watched) was one of its own actions and left
// every watched marking as it was, with no group held for reactivation.
__attribute__((always_inline)) inline bool SimulatorClass::FiredUnchanged(
    BaseActionClass* group, const ScheduleRecord* record) {
  if (!reactivationList.empty()) return false;
  // A post-select group that fires itself fired no member (none was
  // enabled); only its members' affects lists were looked at when it was
  // set up.
  if (lastFired == group) {
    if (!record->watchedLoneActivity) return false;
  } else {
    const BaseGroupClass* const caseGroup = static_cast<const BaseGroupClass*>(group);
    BaseGroupClass* const* const members = caseGroup->members;
    const int numMembers = caseGroup->numMembers;
    int m = 0;
    while (m < numMembers && members[m] != lastFired) m++;
    if (m == numMembers) return false;
  }
  short* const* const* const watched = record->watched;
  const int count = record->numWatched;
  for (int w = 0; w < count; w++) {
    if (**watched[w] != marksBefore[w]) return false;
  }
  return true;
}

// The step itself, inlined into SimStep() and into the loop of StepUntil()
// (with its passes and scheduling: they run after every firing; the walk of
// an empty reactivation list does not).
__attribute__((always_inline)) inline bool SimulatorClass::Step() {
  eventList->Remove(earliestSlot);
  // Rewards accumulate up to the firing time with the state before it.
  pvModel->Accumulate(currentTime);
  BaseActionClass* const group = nextAction;
  ScheduleRecord* const record = group->eventInfo;
  // The markings the firing may change, as they are before it (see
  // WatchUnchangedFirings).
  const bool watch = record->watchFirings;
  if (watch) {
    short* const* const* const watched = record->watched;
    const int count = record->numWatched;
    for (int w = 0; w < count; w++) marksBefore[w] = **watched[w];
  }
  lastFired = pvModel->FireAction(group, currentTime);
  actionsFired++;
  // Most models have no reactivation at all: an empty list costs one test.
  if (!reactivationList.empty()) CheckReactivationList();
  // The action that fired is asked, as the insertion pass would ask it
  // through its group: a model may keep enabling state beyond its declared
  // places (a one-shot activity that disables itself), and a firing that
  // disabled it goes through the passes.
  if (watch && FiredUnchanged(group, record) && lastFired->Enabled()) {
    ScheduleGroup(group);
    affectsCursor = nullptr;
  } else {
    RemoveAffectedActions();
    InsertAffectedActions();
  }
  earliestSlot = eventList->Earliest();
  if (earliestSlot == nullptr) return false;
  currentTime = (*earliestSlot)->time;
  nextAction = (*earliestSlot)->action;
  return true;
}

__attribute__((flatten)) bool SimulatorClass::SimStep() { return Step(); }

// One loop around the inlined step: no call, and no saving and restoring of
// registers, per firing.
__attribute__((flatten)) void SimulatorClass::StepUntil(double endTime) {
  while (currentTime <= endTime) {
    if (!Step()) break;
  }
}

bool SimulatorClass::SimStepSS() { return SimStep(); }

void SimulatorClass::CheckReactivationList() {
  auto it = reactivationList.begin();
  while (it != reactivationList.end()) {
    // Groups put back at the front during the walk are not visited again.
    auto next = std::next(it);
    BaseActionClass* group = *it;
    ScheduleRecord* record = group->eventInfo;
    bool takeOut = false;
    bool putBack = false;
    if (record->eventSlot == nullptr) {
      takeOut = true;
    } else if (!group->Enabled()) {
      eventList->Remove(record->eventSlot);
      takeOut = true;
    } else if (group->ReactivationFunction()) {
      Event* event = *record->eventSlot;
      event->time = CheckedDelay(this, group, group->SampleDistribution()) + currentTime;
      event->enablingTime = currentTime;
      eventList->ModifyKey(record->eventSlot);
      takeOut = true;
      putBack = group->ReactivationPredicate();
    }
    if (takeOut) {
      record->notInReactivationList = true;
      group->reactivation = false;
      reactivationList.erase(it);
    }
    if (putBack) {
      group->reactivation = true;
      reactivationList.push_front(group);
      record->notInReactivationList = false;
      record->reactivationPosition = reactivationList.begin();
    }
    it = next;
  }
}

// Both passes walk the list with a local cursor (the virtual calls would
// otherwise force the field to be written and read back on every node) and
// leave affectsCursor at the end of the list, as a walk with it would.
void SimulatorClass::RemoveAffectedActions() {
  for (AffectsNode* node = lastFired->actionAffects; node != nullptr; node = node->next) {
    BaseActionClass* group = node->group;
    ScheduleRecord* record = group->eventInfo;
    if (record->eventSlot == nullptr) continue;
    if (group->EnablingChange() || (group->reactivation && group->ReactivationFunction())) {
      group->reactivation = false;
      eventList->Remove(record->eventSlot);
      if (!record->notInReactivationList) {
        reactivationList.erase(record->reactivationPosition);
        record->notInReactivationList = true;
      }
    }
  }
  affectsCursor = nullptr;
}

// A group still holding its event here went through the removal pass with
// an EnablingChange() that reported no change, and nothing has changed the
// state since. When that EnablingChange() left the group as a call of
// Enabled() would, asking Enabled() again can neither schedule the group
// (it has its event) nor change what it records (the same answers again),
// so it is not asked. Every other group is asked, scheduled or not.
void SimulatorClass::InsertAffectedActions() {
  for (AffectsNode* node = lastFired->actionAffects; node != nullptr; node = node->next) {
    BaseActionClass* group = node->group;
    ScheduleRecord* record = group->eventInfo;
    if (record->eventSlot != nullptr && record->enablingChangeRefreshes) continue;
    if (group->Enabled() && record->eventSlot == nullptr) ScheduleGroup(group);
  }
  affectsCursor = nullptr;
}

void SimulatorClass::HandleInvalidDistParams(BaseActionClass* action, std::string message) {
  const std::string marker = "INVALID_DIST_PARAMS:";
  const size_t markerPosition = message.find(marker);
  KORVAN_ASSERT(markerPosition != std::string::npos);
  message.erase(markerPosition, marker.size());
  std::cerr << "FATAL ERROR: In action " << action->name << "," << message << std::endl;
  std::exit(1);
}
