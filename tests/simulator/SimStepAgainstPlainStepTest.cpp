// The step against a plain one written here: after every firing, remove
// the fired event, ask every group on the fired action's list (removal
// pass, then insertion pass) and select cases by the plain bisection. Many
// random models run through both on the same random stream must give the
// same firings, times, pending events, reactivation lists and markings at
// every step: whatever short cuts the step takes must never show.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "Cpp/BaseClasses/Activity.h"
#include "Cpp/BaseClasses/PVModel.h"
#include "Cpp/BaseClasses/PostselectGroup.h"
#include "Cpp/BaseClasses/PreselectGroup.h"
#include "Cpp/BaseClasses/SANModel.h"
#include "Cpp/BaseClasses/SingleGroup.h"
#include "Cpp/BaseClasses/state/Place.h"
#include "random/Distributions.h"
#include "random/MersenneTwister.h"
#include "simulator/EventList.h"
#include "simulator/SimulatorClass.h"

namespace {

// An input of an enabling predicate: the marking at least `least`, or
// exactly it.
struct Condition {
  Place* place;
  short least;
  bool exactly;
};

enum EffectKind { kAddOne, kTakeOne, kSet, kChangeAndRestore, kSetUndeclared };

struct Effect {
  Place* place;
  EffectKind kind;
  short value;
};

// An activity made of random conditions, effects, timing, rank and weight.
// With a firing limit it also keeps enabling state of its own.
class RandomActivity : public Activity {
 public:
  explicit RandomActivity(const std::string& n) {
    ActivityInitialize(n.c_str(), 0, EXPONENTIAL, RACE_ENABLED, 1, 1, false);
  }
  bool Enabled() override {
    previousEnabled = currentEnabled;
    bool enabled = firingLimit < 0 || firings < firingLimit;
    // On and off by turns as the model's firings go by.
    if (togglePeriod > 0) enabled = enabled && (*modelFirings / togglePeriod) % 2 == 0;
    for (const Condition& c : conditions) {
      const short mark = c.place->getMark();
      enabled = enabled && (c.exactly ? mark == c.least : mark >= c.least);
    }
    currentEnabled = enabled;
    return enabled;
  }
  double SampleDistribution() override {
    if (timing == 0) return 0.0;
    if (timing == 1) return fixedDelay;
    return -std::log(1.0 - TheDistribution->generator->rnd() * 0.999999) / rate;
  }
  BaseActionClass* Fire() override {
    firings++;
    (*modelFirings)++;
    for (const Effect& e : effects) {
      const short mark = e.place->getMark();
      switch (e.kind) {
        case kAddOne:
          if (mark < 3) e.place->setMark(static_cast<short>(mark + 1));
          break;
        case kTakeOne:
          if (mark > 0) e.place->setMark(static_cast<short>(mark - 1));
          break;
        case kSet:
        case kSetUndeclared:
          e.place->setMark(e.value);
          break;
        case kChangeAndRestore:
          e.place->setMark(static_cast<short>(mark + 1));
          e.place->setMark(mark);
          break;
      }
    }
    return this;
  }
  int Rank() override { return rank; }
  double Weight() override { return weight; }
  bool ReactivationPredicate() override { return predicate != nullptr && predicate->getMark() > 0; }
  bool ReactivationFunction() override { return function != nullptr && function->getMark() % 2 == 1; }
  void LinkVariables() override {}

  std::vector<Condition> conditions;
  std::vector<Effect> effects;
  int timing = 2;  // 0 instantaneous, 1 fixed delay, 2 exponential
  double fixedDelay = 1.0;
  double rate = 1.0;
  double weight = 1.0;
  int rank = 1;
  Place* predicate = nullptr;
  Place* function = nullptr;
  int firings = 0;
  int firingLimit = -1;
  // Enabling state the model keeps beside its places: every firing counts
  // here, and with a period the activity reads the count.
  int* modelFirings = nullptr;
  int togglePeriod = 0;
};

// Case selection as plainly written: the chosen member is always asked to
// select in turn.
bool PlainSelect(BaseGroupClass* group) {
  const double u = TheDistribution->generator->rnd();
  const double total = group->CalculateWeightDistribution();
  if (total == -1.0) return false;
  const double x = total * u;
  const WeightDistributionEntry* entries = group->weightDistribution;
  int chosen = 0;
  while (chosen < group->numWeights - 1 && !(x < entries[chosen].weight)) chosen++;
  if (x >= total && total > 0.0) {
    while (chosen > 0 && !(entries[chosen].weight > entries[chosen - 1].weight)) chosen--;
  }
  BaseGroupClass* member = static_cast<BaseGroupClass*>(entries[chosen].action);
  member->SelectAction();
  group->selectedAction = member->selectedAction;
  return true;
}

class PlainPostselect : public PostselectGroup {
 public:
  bool SelectAction() override { return PlainSelect(this); }
};
class PlainPreselect : public PreselectGroup {
 public:
  bool SelectAction() override {
    const bool selected = PlainSelect(this);
    needSelection = !selected;
    return selected;
  }
};
class PlainGroup : public BaseGroupClass {
 public:
  bool SelectAction() override { return PlainSelect(this); }
};

class RandomModel : public SANModel {
 public:
  ~RandomModel() override {
    for (BaseGroupClass* g : ownedGroups) delete g;
    for (RandomActivity* a : activities) delete a;
    for (Place* p : places_) delete p;
  }
  void Build() {
    std::vector<BaseStateVariableClass*> variables(places_.begin(), places_.end());
    std::vector<Activity*> all(activities.begin(), activities.end());
    initializeSANModelNow("random", static_cast<int>(variables.size()), variables.data(), 0, nullptr,
                          static_cast<int>(all.size()), all.data(), static_cast<int>(groups_.size()),
                          groups_.data());
    for (size_t i = 0; i < groups_.size(); i++) groups_[i]->setGroupId(static_cast<int>(i));
  }
  std::vector<Place*> places_;
  std::vector<RandomActivity*> activities;
  std::vector<BaseGroupClass*> groups_;
  std::vector<BaseGroupClass*> ownedGroups;
  int firings = 0;
};

struct ModelKind {
  bool undeclaredEffects;  // some firings change a place they do not declare
  bool firingLimits;       // some activities stop after a few firings
  bool sharedState;        // some activities' enabling reads the model's count of firings
};

// The same random model for the same seed; `plain` builds its groups from
// the plain selection classes.
RandomModel* MakeModel(unsigned seed, bool plain, ModelKind kind) {
  std::mt19937 random(seed);
  auto pick = [&random](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  RandomModel* m = new RandomModel();
  const int numPlaces = 2 + pick(4);
  for (int i = 0; i < numPlaces; i++) {
    m->places_.push_back(new Place(("p" + std::to_string(i)).c_str(), static_cast<short>(pick(3))));
  }
  auto anyPlace = [&]() { return m->places_[static_cast<size_t>(pick(numPlaces))]; };
  const int numActivities = 2 + pick(7);
  for (int i = 0; i < numActivities; i++) {
    RandomActivity* a = new RandomActivity("a" + std::to_string(i));
    a->modelFirings = &m->firings;
    for (int c = pick(3); c > 0; c--) {
      Place* p = anyPlace();
      a->conditions.push_back({p, static_cast<short>(pick(3)), pick(4) == 0});
      m->AddEnableArc(p, a);
    }
    for (int e = pick(3); e > 0; e--) {
      Place* p = anyPlace();
      EffectKind effect = static_cast<EffectKind>(pick(4));
      if (kind.undeclaredEffects && pick(5) == 0) effect = kSetUndeclared;
      a->effects.push_back({p, effect, static_cast<short>(pick(3))});
      if (effect != kSetUndeclared) m->AddAffectArc(p, a);
    }
    a->timing = pick(3);
    a->fixedDelay = 1 + pick(3);
    a->rate = 0.5 + pick(4);
    a->rank = 1 + pick(2);
    a->weight = pick(4) == 0 ? 0.0 : 0.5 * (1 + pick(3));
    if (pick(4) == 0) {
      a->predicate = anyPlace();
      a->function = anyPlace();
      m->AddEnableArc(a->predicate, a);
      m->AddEnableArc(a->function, a);
    }
    if (kind.firingLimits && pick(4) == 0) a->firingLimit = 1 + pick(3);
    if (kind.sharedState && pick(3) == 0) a->togglePeriod = 1 + pick(3);
    m->activities.push_back(a);
  }
  // Lone activities, post-select groups (one with a nested plain group),
  // pre-select groups and single groups.
  size_t i = 0;
  while (i < m->activities.size()) {
    const int form = pick(6);
    const size_t left = m->activities.size() - i;
    BaseGroupClass* group = nullptr;
    if (form <= 1 || left < 2) {
      m->groups_.push_back(m->activities[i++]);
      continue;
    } else if (form == 2) {
      const int n = 2 + (left >= 3 ? pick(2) : 0);
      group = plain ? new PlainPostselect() : new PostselectGroup();
      group->initialize(n, ("post" + std::to_string(i)).c_str());
      for (int k = 0; k < n; k++) group->appendGroup(m->activities[i++]);
    } else if (form == 3) {
      group = plain ? new PlainPreselect() : new PreselectGroup();
      group->initialize(2, ("pre" + std::to_string(i)).c_str());
      for (int k = 0; k < 2; k++) group->appendGroup(m->activities[i++]);
    } else if (form == 4 && left >= 3) {
      BaseGroupClass* inner = plain ? new PlainGroup() : new BaseGroupClass();
      inner->initialize(2, ("inner" + std::to_string(i)).c_str());
      group = plain ? new PlainPostselect() : new PostselectGroup();
      group->initialize(2, ("nested" + std::to_string(i)).c_str());
      group->appendGroup(m->activities[i++]);
      inner->appendGroup(m->activities[i++]);
      inner->appendGroup(m->activities[i++]);
      group->appendGroup(inner);
      m->ownedGroups.push_back(inner);
    } else {
      group = new SingleGroup(m->activities[i++]);
    }
    m->ownedGroups.push_back(group);
    m->groups_.push_back(group);
  }
  m->Build();
  // Models whose enabling reads a count beside the places do not say that it
  // reads places only. The others say so, also where an activity's own
  // firings or an undeclared change disable it: the step asks the action
  // that fired itself.
  m->enablingReadsOnlyPlaces = !kind.sharedState;
  return m;
}

// A reward model of no variables around a random model, which it owns.
class NoRewards : public PVModel {
 public:
  explicit NoRewards(RandomModel* m) {
    topModel = m;
    CreatePVList(0, true);
    Initialize();
  }
  PerformanceVariableNode* createPVNode(int, int) override { return nullptr; }
};

class SimStepAgainstPlainStepTest : public testing::Test {
 protected:
  void SetUp() override {
    char program[] = "simulator";
    char limit[] = "-N1";
    char* argv[] = {program, limit};
    testing::internal::CaptureStdout();
    simulator_.reset(new SimulatorClass(2, argv));
    testing::internal::GetCapturedStdout();
  }
  void TearDown() override {
    delete simulator_->scratchEvent;
    simulator_->scratchEvent = nullptr;
    simulator_.reset();
  }

  void PlainSchedule(BaseActionClass* group) {
    SimulatorClass& s = *simulator_;
    ScheduleRecord* record = group->eventInfo;
    const double time = group->SampleDistribution() + s.currentTime;
    if (group->ReactivationPredicate()) {
      group->reactivation = true;
      s.reactivationList.push_front(group);
      record->notInReactivationList = false;
      record->reactivationPosition = s.reactivationList.begin();
    }
    s.eventList->Insert(time, s.currentTime, group);
  }

  bool PlainStep() {
    SimulatorClass& s = *simulator_;
    s.eventList->Remove(s.earliestSlot);
    s.pvModel->Accumulate(s.currentTime);
    s.lastFired = s.pvModel->FireAction(s.nextAction, s.currentTime);
    s.actionsFired++;
    s.CheckReactivationList();
    for (AffectsNode* node = s.lastFired->actionAffects; node != nullptr; node = node->next) {
      BaseActionClass* group = node->group;
      ScheduleRecord* record = group->eventInfo;
      if (record->eventSlot == nullptr) continue;
      if (group->EnablingChange() || (group->reactivation && group->ReactivationFunction())) {
        group->reactivation = false;
        s.eventList->Remove(record->eventSlot);
        if (!record->notInReactivationList) {
          s.reactivationList.erase(record->reactivationPosition);
          record->notInReactivationList = true;
        }
      }
    }
    for (AffectsNode* node = s.lastFired->actionAffects; node != nullptr; node = node->next) {
      BaseActionClass* group = node->group;
      if (group->Enabled() && group->eventInfo->eventSlot == nullptr) PlainSchedule(group);
    }
    s.earliestSlot = s.eventList->Earliest();
    if (s.earliestSlot == nullptr) return false;
    s.currentTime = (*s.earliestSlot)->time;
    s.nextAction = (*s.earliestSlot)->action;
    return true;
  }

  std::string Snapshot(const RandomModel& m, bool more) const {
    const SimulatorClass& s = *simulator_;
    std::ostringstream out;
    out << "fired " << (s.lastFired != nullptr ? s.lastFired->name : "-");
    if (more) out << ", next " << s.nextAction->name << " at " << s.currentTime;
    out << "; pending";
    for (BaseGroupClass* g : m.groups_) {
      Event** slot = g->eventInfo->eventSlot;
      out << " " << g->name << "=" << (slot != nullptr ? (*slot)->time : -1.0);
    }
    out << "; reactivation";
    for (BaseActionClass* g : s.reactivationList) out << " " << g->name;
    out << "; markings";
    for (Place* p : m.places_) out << " " << p->getMark();
    return out.str();
  }

  // The snapshots after each of up to `steps` steps of the model of `seed`.
  std::vector<std::string> Run(unsigned seed, bool plain, ModelKind kind, int steps) {
    RandomModel* model = MakeModel(seed, plain, kind);
    NoRewards rewards(model);  // owns the model
    SimulatorClass& s = *simulator_;
    testing::internal::CaptureStdout();
    s.DetachModel();
    s.AttachModel(&rewards);
    testing::internal::GetCapturedStdout();
    delete TheDistribution->generator;
    TheDistribution->generator = new MersenneTwister();
    TheDistribution->generator->srnd(12345 + seed);
    delete s.scratchEvent;
    s.scratchEvent = new Event();
    s.currentTime = 0.0;
    s.lastFired = nullptr;
    s.GenerateInitialEnabledList();
    if (plain) {
      for (int k = 0; k < s.numInitialEnabled; k++) {
        s.nextAction = s.initialEnabled[k];
        s.nextAction->Enabled();
        PlainSchedule(s.nextAction);
      }
    } else {
      s.GenerateCompleteEventList();
    }
    std::vector<std::string> snapshots;
    s.earliestSlot = s.eventList->Earliest();
    bool more = s.earliestSlot != nullptr;
    if (more) {
      s.currentTime = (*s.earliestSlot)->time;
      s.nextAction = (*s.earliestSlot)->action;
    }
    snapshots.push_back(Snapshot(*model, more));
    for (int k = 0; k < steps && more; k++) {
      more = plain ? PlainStep() : s.SimStep();
      snapshots.push_back(Snapshot(*model, more));
      EXPECT_EQ(s.eventList->IsValid(), 0);
    }
    testing::internal::CaptureStdout();
    s.DetachModel();
    testing::internal::GetCapturedStdout();
    return snapshots;
  }

  void ExpectTheSameSteps(ModelKind kind, unsigned models, int steps) {
    for (unsigned seed = 1; seed <= models; seed++) {
      const std::vector<std::string> stepped = Run(seed, false, kind, steps);
      const std::vector<std::string> plain = Run(seed, true, kind, steps);
      size_t k = 0;
      while (k < stepped.size() && k < plain.size() && stepped[k] == plain[k]) k++;
      if (k < stepped.size() || k < plain.size()) {
        ADD_FAILURE() << "model " << seed << " differs at step " << k << "\n  step:  "
                      << (k < stepped.size() ? stepped[k] : "(ended)") << "\n  plain: "
                      << (k < plain.size() ? plain[k] : "(ended)");
        return;
      }
    }
  }

  std::unique_ptr<SimulatorClass> simulator_;
};

TEST_F(SimStepAgainstPlainStepTest, ModelsThatDeclareEveryPlace) {
  ExpectTheSameSteps({false, false, false}, 600, 200);
}

TEST_F(SimStepAgainstPlainStepTest, ModelsWithUndeclaredEffects) {
  ExpectTheSameSteps({true, false, false}, 300, 200);
}

TEST_F(SimStepAgainstPlainStepTest, ModelsWithEnablingStateOfTheirOwn) {
  ExpectTheSameSteps({false, true, false}, 300, 200);
}

// A firing that leaves every place as it was may still enable or disable
// other activities through state the model keeps beside its places.
TEST_F(SimStepAgainstPlainStepTest, ModelsWithEnablingStateSharedByTheirActivities) {
  ExpectTheSameSteps({false, false, true}, 300, 200);
}

}  // namespace
