// The simulation step on small scripted models: which events fire when, and
// which samples are kept or drawn afresh after each firing.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <utility>
#include <vector>

#include "Cpp/BaseClasses/PreselectGroup.h"
#include "Cpp/BaseClasses/SingleGroup.h"
#include "random/Distributions.h"
#include "random/RandomNumberGenerator.h"
#include "simulator/EventList.h"
#include "simulator/SimulatorClass.h"
#include "tests/simulator/ScriptedModel.h"

namespace {

using scripted::Scripted;
using scripted::ScriptedPV;
using scripted::ScriptedSAN;

// A simulator bound to a scripted model instead of the study's.
class SimStepTest : public testing::Test {
 protected:
  void SetUp() override {
    char program[] = "simulator";
    char limit[] = "-N1";
    char* argv[] = {program, limit};
    testing::internal::CaptureStdout();
    simulator_.reset(new SimulatorClass(2, argv));
    testing::internal::GetCapturedStdout();
    model_ = new ScriptedSAN();
  }
  void TearDown() override {
    simulator_->DetachModel();
    delete simulator_->scratchEvent;
    simulator_->scratchEvent = nullptr;
    delete pv_;
    simulator_.reset();
  }
  // Binds the simulator to the model and schedules the initial events.
  void Start() {
    model_->Build();
    pv_ = new ScriptedPV(model_);
    testing::internal::CaptureStdout();
    simulator_->DetachModel();
    simulator_->AttachModel(pv_);
    testing::internal::GetCapturedStdout();
    SimulatorClass& s = *simulator_;
    s.scratchEvent = new Event();
    s.currentTime = 0.0;
    s.GenerateInitialEnabledList();
    ASSERT_EQ(s.GenerateCompleteEventList(), 0);
    s.earliestSlot = s.eventList->Earliest();
    ASSERT_NE(s.earliestSlot, nullptr);
    s.currentTime = (*s.earliestSlot)->time;
    s.nextAction = (*s.earliestSlot)->action;
  }
  bool Step() {
    bool more = simulator_->SimStep();
    EXPECT_EQ(simulator_->eventList->IsValid(), 0);
    return more;
  }
  double Now() const { return simulator_->currentTime; }
  BaseActionClass* Next() const { return simulator_->nextAction; }
  // The pending completion time of a group, or -1 when it has none.
  double PendingTime(BaseActionClass* group) const {
    Event** slot = group->eventInfo->eventSlot;
    return slot != nullptr ? (*slot)->time : -1.0;
  }

  std::unique_ptr<SimulatorClass> simulator_;
  ScriptedSAN* model_ = nullptr;
  ScriptedPV* pv_ = nullptr;
};

TEST_F(SimStepTest, InstantaneousActivityFiresBeforeLaterTimedOnes) {
  Place* trigger = model_->AddPlace("trigger", 0);
  Scripted* timed = model_->AddActivity(new Scripted(
      "timed", [] { return true; }, [trigger] { trigger->setMark(1); }, {1.0}));
  Scripted* instant = model_->AddActivity(new Scripted(
      "instant", [trigger] { return trigger->getMark() == 1; }, [trigger] { trigger->setMark(0); },
      {0.0}));
  Scripted* later = model_->AddActivity(new Scripted(
      "later", [] { return true; }, [] {}, {1.5}));
  model_->AddAffectArc(trigger, timed);
  model_->AddAffectArc(trigger, instant);
  model_->AddEnableArc(trigger, instant);
  Start();

  EXPECT_EQ(Next(), timed);
  EXPECT_TRUE(Step());
  // Enabled by the firing at 1.0, the instantaneous activity completes at
  // once, ahead of the timed event at 1.5.
  EXPECT_EQ(Next(), instant);
  EXPECT_EQ(Now(), 1.0);
  // The fired activity stays enabled and is scheduled anew in its own group.
  EXPECT_EQ(PendingTime(timed), 2.0);
  EXPECT_TRUE(Step());
  EXPECT_EQ(instant->firings, 1);
  EXPECT_EQ(Next(), later);
  EXPECT_EQ(Now(), 1.5);
  EXPECT_EQ(simulator_->actionsFired, 2);
}

TEST_F(SimStepTest, AnActivityThatStaysEnabledKeepsItsSample) {
  Place* x = model_->AddPlace("x", 0);
  Scripted* slow = model_->AddActivity(new Scripted(
      "slow", [x] { return x->getMark() >= 0; }, [] {}, {10.0, 100.0}));
  Scripted* ticker = model_->AddActivity(new Scripted(
      "ticker", [] { return true; }, [x] { x->setMark(static_cast<short>(x->getMark() + 1)); },
      {1.0}));
  model_->AddEnableArc(x, slow);
  model_->AddAffectArc(x, ticker);
  Start();
  // slow is on ticker's affects list and is looked at after each tick, but
  // its enabling never changes: its first sample stands.
  for (int tick = 1; tick <= 9; tick++) {
    ASSERT_EQ(Next(), ticker);
    ASSERT_TRUE(Step());
  }
  EXPECT_EQ(slow->samples, 1u);
  EXPECT_EQ(PendingTime(slow), 10.0);
  // The tick at 10.0 and slow's completion at 10.0 tie; either may go first.
  while (slow->firings == 0) ASSERT_TRUE(Step());
  EXPECT_EQ(Now(), 10.0);
}

TEST_F(SimStepTest, AReenabledActivityDrawsAFreshSampleFromThatMoment) {
  Place* x = model_->AddPlace("x", 0);
  Place* phase = model_->AddPlace("phase", 0);
  Scripted* watched = model_->AddActivity(new Scripted(
      "watched", [x] { return x->getMark() == 0; }, [] {}, {5.0, 4.0}));
  Scripted* off = model_->AddActivity(new Scripted(
      "off", [phase] { return phase->getMark() == 0; },
      [x, phase] {
        x->setMark(1);
        phase->setMark(1);
      },
      {1.0}));
  Scripted* on = model_->AddActivity(new Scripted(
      "on", [phase] { return phase->getMark() == 1; },
      [x, phase] {
        x->setMark(0);
        phase->setMark(2);
      },
      {1.0}));
  model_->AddEnableArc(x, watched);
  model_->AddEnableArc(phase, off);
  model_->AddEnableArc(phase, on);
  for (Scripted* a : {off, on}) {
    model_->AddAffectArc(x, a);
    model_->AddAffectArc(phase, a);
  }
  Start();
  EXPECT_EQ(PendingTime(watched), 5.0);
  ASSERT_TRUE(Step());  // off at 1: watched loses its event
  EXPECT_EQ(PendingTime(watched), -1.0);
  ASSERT_TRUE(Step());  // on at 2: watched is enabled again, sampled from 2
  EXPECT_EQ(watched->samples, 2u);
  EXPECT_EQ(PendingTime(watched), 6.0);
  EXPECT_EQ(Next(), watched);
  EXPECT_EQ(Now(), 6.0);
}

TEST_F(SimStepTest, ReactivationResamplesFromTheMomentItHolds) {
  Place* y = model_->AddPlace("y", 0);
  Scripted* reactive = model_->AddActivity(new Scripted(
      "reactive", [] { return true; }, [] {}, {10.0, 3.0, 50.0}));
  reactive->predicate = [] { return true; };
  reactive->reactivate = [y] { return y->getMark() == 1; };
  Scripted* flip = model_->AddActivity(new Scripted(
      "flip", [y] { return y->getMark() == 0; }, [y] { y->setMark(1); }, {2.0}));
  model_->AddEnableArc(y, flip);
  model_->AddAffectArc(y, flip);
  Start();
  EXPECT_TRUE(reactive->reactivation);
  EXPECT_FALSE(reactive->eventInfo->notInReactivationList);
  ASSERT_EQ(Next(), flip);
  ASSERT_TRUE(Step());  // at 2 the reactivation function holds
  EXPECT_EQ(reactive->samples, 2u);
  EXPECT_EQ(PendingTime(reactive), 5.0);
  // Its predicate still holds, so it is watched again.
  EXPECT_TRUE(reactive->reactivation);
  EXPECT_FALSE(reactive->eventInfo->notInReactivationList);
  EXPECT_EQ(simulator_->reactivationList.size(), 1u);
  EXPECT_EQ(Next(), reactive);
  EXPECT_EQ(Now(), 5.0);
  // Firing it takes it off the list before it is scheduled and listed anew.
  ASSERT_TRUE(Step());
  EXPECT_EQ(reactive->firings, 1);
  EXPECT_EQ(simulator_->reactivationList.size(), 1u);
  EXPECT_EQ(PendingTime(reactive), 55.0);
}

// An activity that fires once at 2.5 and disables itself: the model's
// state is then absorbing.
Scripted* AddFiresOnce(ScriptedSAN* model) {
  Place* x = model->AddPlace("x", 0);
  Scripted* once = model->AddActivity(new Scripted(
      "once", [x] { return x->getMark() == 0; }, [x] { x->setMark(1); }, {2.5}));
  model->AddEnableArc(x, once);
  model->AddAffectArc(x, once);
  return once;
}

TEST_F(SimStepTest, AnAbsorbingStateEndsTheStepsAtTheLastFiringTime) {
  AddFiresOnce(model_);
  Start();
  EXPECT_FALSE(Step());
  EXPECT_EQ(Now(), 2.5);
  EXPECT_EQ(simulator_->eventList->Size(), 0);
}

// An exponential activity drawing -ln(U) / rate from the run's generator.
class ExponentialAt : public Scripted {
 public:
  explicit ExponentialAt(const char* name, double rate)
      : Scripted(name, [] { return true; }, [] {}, {0.0}), rate_(rate) {}
  double SampleDistribution() override { return TheDistribution->Exponential(rate_); }
  double* ReturnDistributionParameters() override {
    parameters_[0] = rate_;
    return parameters_;
  }

 private:
  double rate_;
  double parameters_[1] = {0.0};
};

// Hands out the given uniforms in order, the last one repeating.
class GivenUniforms : public RandomNumberGenerator {
 public:
  explicit GivenUniforms(std::vector<double> values) : values_(std::move(values)) {}
  double rnd() override { return values_[std::min(next_++, values_.size() - 1)]; }

 private:
  std::vector<double> values_;
  size_t next_ = 0;
};

// At rate 0 an exponential activity never completes and at rate +inf it
// completes at once, also for the uniforms where -ln(U) / rate is 0 / 0 or
// inf / inf: exactly 1 (which the Tausworthe generator draws once in its
// period) and exactly 0. Rate -0 is rate 0.
TEST_F(SimStepTest, ExponentialDelaysAtRatesZeroAndInfinityAreNeverAndAtOnceForEveryUniform) {
  ExponentialAt* never = new ExponentialAt("never", 0.0);
  ExponentialAt* atOnce = new ExponentialAt("at_once", HUGE_VAL);
  ExponentialAt* negativeZero = new ExponentialAt("negative_zero", -0.0);
  model_->AddActivity(never);
  model_->AddActivity(atOnce);
  model_->AddActivity(negativeZero);
  RandomNumberGenerator* generator = TheDistribution->generator;
  TheDistribution->generator = new GivenUniforms({1.0, 0.0, 0.5});
  Start();
  delete TheDistribution->generator;
  TheDistribution->generator = generator;
  EXPECT_EQ(PendingTime(never), HUGE_VAL);
  EXPECT_EQ(PendingTime(atOnce), 0.0);
  EXPECT_EQ(PendingTime(negativeZero), HUGE_VAL);
  EXPECT_EQ(Next(), atOnce);
}

// The run loop: an event exactly at the end time fires, the first one after
// it is left pending as the next event; an absorbing state ends it early.
TEST_F(SimStepTest, StepUntilFiresThroughTheEndTimeAndStopsBeforeTheNextEvent) {
  Scripted* tick = model_->AddActivity(new Scripted(
      "tick", [] { return true; }, [] {}, {1.0}));
  Scripted* half = model_->AddActivity(new Scripted(
      "half", [] { return true; }, [] {}, {2.5}));
  Start();
  simulator_->StepUntil(5.0);
  EXPECT_EQ(simulator_->eventList->IsValid(), 0);
  EXPECT_EQ(tick->firings, 5);  // at 1, 2, 3, 4 and 5
  EXPECT_EQ(half->firings, 2);  // at 2.5 and 5
  EXPECT_EQ(simulator_->actionsFired, 7);
  EXPECT_EQ(Now(), 6.0);
  EXPECT_EQ(Next(), tick);
  // Below the current time nothing fires.
  simulator_->StepUntil(5.5);
  EXPECT_EQ(simulator_->actionsFired, 7);
}

TEST_F(SimStepTest, StepUntilEndsAtAnAbsorbingState) {
  Scripted* once = AddFiresOnce(model_);
  Start();
  simulator_->StepUntil(100.0);
  EXPECT_EQ(once->firings, 1);
  EXPECT_EQ(Now(), 2.5);
  EXPECT_EQ(simulator_->eventList->Size(), 0);
  EXPECT_EQ(simulator_->earliestSlot, nullptr);
}

// Instantaneous activities that keep enabling one another would hold the
// run at one instant for ever; a burst of instantaneous firings at each of
// many instants, each far below the limit, is no such loop.
TEST_F(SimStepTest, AZeroTimeLoopEndsTheRunButBurstsAtManyInstantsDoNot) {
  Place* p = model_->AddPlace("p", 0);
  Place* burst = model_->AddPlace("burst", 0);
  Place* looping = model_->AddPlace("looping", 0);
  // Every time unit, four instantaneous firings at that instant.
  Scripted* tick = model_->AddActivity(new Scripted(
      "tick", [] { return true; }, [burst] { burst->setMark(4); }, {1.0}));
  Scripted* drain = model_->AddActivity(new Scripted(
      "drain", [burst] { return burst->getMark() > 0; },
      [burst] { burst->setMark(burst->getMark() - 1); }, {0.0}));
  // From time 100 on, ping and pong enable each other at once.
  Scripted* start = model_->AddActivity(new Scripted(
      "start", [looping] { return looping->getMark() == 0; }, [looping] { looping->setMark(1); },
      {100.5}));
  Scripted* ping = model_->AddActivity(new Scripted(
      "ping", [p, looping] { return looping->getMark() == 1 && p->getMark() == 0; },
      [p] { p->setMark(1); }, {0.0}));
  Scripted* pong = model_->AddActivity(new Scripted(
      "pong", [p] { return p->getMark() == 1; }, [p] { p->setMark(0); }, {0.0}));
  model_->AddAffectArc(burst, tick);
  model_->AddAffectArc(burst, drain);
  model_->AddEnableArc(burst, drain);
  model_->AddAffectArc(looping, start);
  model_->AddEnableArc(looping, start);
  model_->AddEnableArc(looping, ping);
  model_->AddAffectArc(p, ping);
  model_->AddAffectArc(p, pong);
  model_->AddEnableArc(p, ping);
  model_->AddEnableArc(p, pong);
  Start();
  simulator_->maxEventsAtOneTime = 10;
  simulator_->StepUntil(99.0);
  EXPECT_EQ(drain->firings, 4 * 99);
  EXPECT_EQ(ping->firings, 0);
  // A bounded number of steps (in the loop they run without end).
  const auto stepOn = [this] {
    for (int k = 0; k < 1000 && simulator_->SimStep(); k++) {
    }
  };
  EXPECT_EXIT(stepOn(), testing::ExitedWithCode(1),
              "FATAL ERROR: In action (ping|pong), simulated time does not advance past 100.5: 11 "
              "events in a row were scheduled at that time");
}

// A firing that leaves every marking it may change as it was changes no
// enabling: the fired group is scheduled again with a fresh sample, the
// other groups on its list keep their events and are not asked; a firing
// that changes a marking goes through both passes.
TEST_F(SimStepTest, OnlyAFiringThatChangesAMarkingAsksTheGroupsOnItsList) {
  Place* x = model_->AddPlace("x", 1);
  int watcherCalls = 0;
  Scripted* quiet = model_->AddActivity(new Scripted(
      "quiet", [x] { return x->getMark() > 0; }, [] {}, {1.0, 1.5}));
  // Changes x and puts it back: the marking is as it was.
  Scripted* back = model_->AddActivity(new Scripted(
      "back", [x] { return x->getMark() > 0; },
      [x] {
        x->setMark(static_cast<short>(x->getMark() + 1));
        x->setMark(static_cast<short>(x->getMark() - 1));
      },
      {2.7, 100.0}));
  Scripted* watcher = model_->AddActivity(new Scripted(
      "watcher", [x, &watcherCalls] { return ++watcherCalls, x->getMark() > 0; }, [] {},
      {50.0}));
  Scripted* raise = model_->AddActivity(new Scripted(
      "raise", [x] { return x->getMark() == 1; }, [x] { x->setMark(2); }, {3.0}));
  Scripted* waiting = model_->AddActivity(new Scripted(
      "waiting", [x] { return x->getMark() >= 2; }, [] {}, {0.25}));
  for (Scripted* a : {quiet, back, watcher, raise, waiting}) model_->AddEnableArc(x, a);
  for (Scripted* a : {quiet, back, raise}) model_->AddAffectArc(x, a);
  model_->enablingReadsOnlyPlaces = true;
  Start();
  EXPECT_TRUE(quiet->eventInfo->watchFirings);
  watcherCalls = 0;

  ASSERT_EQ(Next(), quiet);
  ASSERT_TRUE(Step());  // quiet at 1: nothing changes
  EXPECT_EQ(PendingTime(quiet), 2.5);
  EXPECT_EQ(quiet->samples, 2u);
  ASSERT_EQ(Next(), quiet);
  ASSERT_TRUE(Step());  // quiet at 2.5
  ASSERT_EQ(Next(), back);
  ASSERT_TRUE(Step());  // back at 2.7: x goes to 2 and back to 1
  EXPECT_EQ(PendingTime(back), 102.7);
  EXPECT_EQ(watcherCalls, 0);
  EXPECT_EQ(PendingTime(watcher), 50.0);
  EXPECT_EQ(watcher->samples, 1u);
  EXPECT_EQ(PendingTime(waiting), -1.0);

  ASSERT_EQ(Next(), raise);
  ASSERT_TRUE(Step());  // raise at 3: x becomes 2
  EXPECT_EQ(watcherCalls, 1);  // asked by the removal pass
  EXPECT_EQ(PendingTime(watcher), 50.0);
  EXPECT_EQ(PendingTime(waiting), 3.25);
  EXPECT_EQ(PendingTime(raise), -1.0);
}

// A firing that leaves its places as they were but disables the action by
// other means (state of its own, or a place it changes without declaring
// it) does not schedule it again: it fires once, as the passes would have
// it, instead of again and again (for ever, at one instant, when its delay
// is zero).
TEST_F(SimStepTest, AnActionDisabledBeyondItsDeclaredPlacesIsNotScheduledAgain) {
  Place* x = model_->AddPlace("x", 1);
  Place* y = model_->AddPlace("y", 1);
  bool done = false;
  Scripted* once = model_->AddActivity(new Scripted(
      "once", [&done, x] { return !done && x->getMark() > 0; }, [&done] { done = true; }, {0.0}));
  Scripted* drain = model_->AddActivity(new Scripted(
      "drain", [y] { return y->getMark() > 0; }, [y] { y->setMark(0); }, {1.0}));
  model_->AddEnableArc(x, once);
  model_->AddEnableArc(y, drain);
  model_->enablingReadsOnlyPlaces = true;
  Start();
  ASSERT_TRUE(once->eventInfo->watchFirings);
  ASSERT_TRUE(drain->eventInfo->watchFirings);
  // Bounded, so that the fault shows as a count rather than a hang.
  for (int step = 0; step < 100 && Step(); step++) {
  }
  EXPECT_EQ(once->firings, 1);
  EXPECT_EQ(drain->firings, 1);
  EXPECT_EQ(Now(), 1.0);
  EXPECT_EQ(simulator_->eventList->Size(), 0);
}

// The groups set up to be watched: activities and post-select groups of
// activities whose firings change places only, and whose affects lists hold
// only groups that keep their recorded enabling current.
TEST_F(SimStepTest, OnlyGroupsWhoseListsKeepTheirEnablingCurrentAreWatched) {
  Place* x = model_->AddPlace("x", 1);
  Place* y = model_->AddPlace("y", 1);
  Place* z = model_->AddPlace("z", 1);
  auto on = [] { return true; };
  Scripted* lone = model_->AddActivity(new Scripted("lone", on, [] {}, {1.0}));
  Scripted* caseA = model_->AddActivity(new Scripted("caseA", on, [] {}, {1.0}), false);
  Scripted* caseB = model_->AddActivity(new Scripted("caseB", on, [] {}, {1.0}), false);
  PostselectGroup* cases = model_->AddGroup("cases", {caseA, caseB});
  Scripted* wrapped = model_->AddActivity(new Scripted("wrapped", on, [] {}, {1.0}), false);
  SingleGroup* single = model_->AddSingleGroup(wrapped);
  Scripted* nearSingle = model_->AddActivity(new Scripted("nearSingle", on, [] {}, {1.0}));
  model_->AddAffectArc(x, caseA);
  model_->AddAffectArc(y, caseB);
  model_->AddAffectArc(x, lone);
  // nearSingle's firing can change the single group's enabling.
  model_->AddEnableArc(z, wrapped);
  model_->AddAffectArc(z, nearSingle);
  // Up to SimulatorClass::kMaxWatchedMarks places are watched, no more.
  Scripted* wide = model_->AddActivity(new Scripted("wide", on, [] {}, {1.0}));
  Scripted* wider = model_->AddActivity(new Scripted("wider", on, [] {}, {1.0}));
  for (int p = 0; p <= SimulatorClass::kMaxWatchedMarks; p++) {
    Place* place = model_->AddPlace("many", 0);
    if (p < SimulatorClass::kMaxWatchedMarks) model_->AddAffectArc(place, wide);
    model_->AddAffectArc(place, wider);
  }
  model_->enablingReadsOnlyPlaces = true;
  Start();
  EXPECT_TRUE(wide->eventInfo->watchFirings);
  EXPECT_EQ(wide->eventInfo->numWatched, SimulatorClass::kMaxWatchedMarks);
  EXPECT_FALSE(wider->eventInfo->watchFirings);
  EXPECT_TRUE(lone->eventInfo->watchFirings);
  EXPECT_TRUE(lone->eventInfo->watchedLoneActivity);
  ASSERT_EQ(lone->eventInfo->numWatched, 1);
  EXPECT_EQ(lone->eventInfo->watched[0], &x->mark);
  // A case group watches every place any of its cases may change.
  EXPECT_TRUE(cases->eventInfo->watchFirings);
  EXPECT_FALSE(cases->eventInfo->watchedLoneActivity);
  ASSERT_EQ(cases->eventInfo->numWatched, 2);
  EXPECT_EQ(cases->eventInfo->watched[0], &x->mark);
  EXPECT_EQ(cases->eventInfo->watched[1], &y->mark);
  // A single group answers EnablingChange() from its last two answers: it
  // is never passed over, so neither is a firing that lists it.
  EXPECT_FALSE(single->eventInfo->watchFirings);
  EXPECT_FALSE(nearSingle->eventInfo->watchFirings);
}

// Without the model's word that its enabling reads places only, nothing is
// watched: here a firing that writes its place back as it was counts
// firings in the model, and another activity that reads the place waits
// for the third. It is scheduled after that firing, not never.
TEST_F(SimStepTest, AFiringThatLeavesItsPlacesMayStillEnableOthers) {
  Place* p = model_->AddPlace("p", 1);
  int count = 0;
  Scripted* counter = model_->AddActivity(new Scripted(
      "counter", [] { return true; }, [p, &count] {
        p->setMark(p->getMark());
        count++;
      }, {1.0}));
  Scripted* gated = model_->AddActivity(new Scripted(
      "gated", [p, &count] { return p->getMark() > 0 && count >= 3; }, [] {}, {0.5}));
  model_->AddAffectArc(p, counter);
  model_->AddEnableArc(p, gated);
  Start();
  EXPECT_FALSE(counter->eventInfo->watchFirings);
  for (double t : {1.0, 2.0, 3.0}) {
    ASSERT_EQ(Next(), counter);
    ASSERT_EQ(Now(), t);
    ASSERT_TRUE(Step());
  }
  EXPECT_EQ(Next(), gated);
  EXPECT_EQ(Now(), 3.5);
}

// A case group none of whose cases is enabled when it fires fires nothing
// (its members' enabling was changed behind the step's back here) and is
// not scheduled again.
TEST_F(SimStepTest, ACaseGroupThatFiresNoCaseIsNotScheduledAgain) {
  Place* y = model_->AddPlace("y", 1);
  Scripted* caseA = model_->AddActivity(
      new Scripted("caseA", [y] { return y->getMark() > 0; }, [] {}, {2.0}), false);
  Scripted* caseB = model_->AddActivity(
      new Scripted("caseB", [y] { return y->getMark() > 0; }, [] {}, {2.0}), false);
  PostselectGroup* cases = model_->AddGroup("cases", {caseA, caseB});
  // Clears y without declaring it: no affects list leads to the cases.
  Scripted* sneak = model_->AddActivity(new Scripted(
      "sneak", [] { return true; }, [y] { y->setMark(0); }, {1.0, 100.0}));
  model_->enablingReadsOnlyPlaces = true;
  Start();
  ASSERT_TRUE(cases->eventInfo->watchFirings);
  ASSERT_EQ(Next(), sneak);
  ASSERT_TRUE(Step());
  ASSERT_EQ(Next(), cases);
  ASSERT_TRUE(Step());
  EXPECT_EQ(caseA->firings + caseB->firings, 0);
  EXPECT_EQ(PendingTime(cases), -1.0);
  EXPECT_EQ(Next(), sneak);
}

TEST_F(SimStepTest, AGroupWhoseMemberChangesEnablingIsRescheduled) {
  Place* x = model_->AddPlace("x", 0);
  Scripted* first = model_->AddActivity(
      new Scripted("first", [x] { return x->getMark() == 0; }, [] {}, {10.0, 4.0}), false);
  Scripted* second = model_->AddActivity(
      new Scripted("second", [] { return true; }, [] {}, {99.0}), false);
  PostselectGroup* group = model_->AddGroup("caseGroup", {first, second});
  Scripted* toggle = model_->AddActivity(new Scripted(
      "toggle", [x] { return x->getMark() == 0; }, [x] { x->setMark(1); }, {1.0}));
  model_->AddEnableArc(x, first);
  model_->AddEnableArc(x, toggle);
  model_->AddAffectArc(x, toggle);
  Start();
  // The group is timed by its first member.
  EXPECT_EQ(PendingTime(group), 10.0);
  ASSERT_EQ(Next(), toggle);
  ASSERT_TRUE(Step());
  // Still enabled through its second member, but a member's enabling
  // changed: the event is dropped and the group sampled afresh from 1.
  EXPECT_EQ(PendingTime(group), 5.0);
  EXPECT_EQ(first->samples, 2u);
  EXPECT_EQ(Next(), group);
  // Only the second member is enabled now: it is the case that fires.
  ASSERT_TRUE(Step());
  EXPECT_EQ(second->firings, 1);
  EXPECT_EQ(first->firings, 0);
}

TEST_F(SimStepTest, AGroupThatKeepsItsEventIsAskedOnlyByItsEnablingChange) {
  Place* x = model_->AddPlace("x", 0);
  int firstCalls = 0, secondCalls = 0, wrappedCalls = 0;
  Scripted* first = model_->AddActivity(
      new Scripted("first", [x, &firstCalls] { return ++firstCalls, x->getMark() >= 0; }, [] {},
                   {100.0}),
      false);
  Scripted* second = model_->AddActivity(
      new Scripted("second", [x, &secondCalls] { return ++secondCalls, x->getMark() >= 0; }, [] {},
                   {100.0}),
      false);
  PostselectGroup* group = model_->AddGroup("caseGroup", {first, second});
  Scripted* wrapped = model_->AddActivity(
      new Scripted("wrapped", [x, &wrappedCalls] { return ++wrappedCalls, x->getMark() >= 0; },
                   [] {}, {100.0}),
      false);
  SingleGroup* single = model_->AddSingleGroup(wrapped);
  Scripted* ticker = model_->AddActivity(new Scripted(
      "ticker", [] { return true; }, [x] { x->setMark(static_cast<short>(x->getMark() + 1)); },
      {1.0}));
  model_->AddEnableArc(x, first);
  model_->AddEnableArc(x, second);
  model_->AddEnableArc(x, wrapped);
  model_->AddAffectArc(x, ticker);
  Start();
  firstCalls = secondCalls = wrappedCalls = 0;
  for (int tick = 1; tick <= 5; tick++) ASSERT_TRUE(Step());
  // The case group's members answer once per tick, inside the removal
  // pass's EnablingChange(); the insertion pass does not ask the group
  // again, since it kept its event and the answers could not differ.
  EXPECT_EQ(firstCalls, 5);
  EXPECT_EQ(secondCalls, 5);
  // A single group's EnablingChange() only compares its last two answers,
  // so the insertion pass still asks it, once per tick.
  EXPECT_EQ(wrappedCalls, 5);
  EXPECT_EQ(PendingTime(group), 100.0);
  EXPECT_EQ(PendingTime(single), 100.0);
  EXPECT_EQ(first->samples, 1u);
  EXPECT_EQ(wrapped->samples, 1u);
  EXPECT_FALSE(group->EnablingChange());
  EXPECT_FALSE(single->EnablingChange());
}

TEST(EnablingChangeRefreshesTest, ActivitiesAndPlainOrPostselectGroupsOfThemOnly) {
  auto yes = [] { return true; };
  Scripted a("a", yes, [] {}, {1.0}), b("b", yes, [] {}, {1.0});
  PostselectGroup post;
  post.initialize(2, "post");
  post.appendGroup(&a);
  post.appendGroup(&b);
  BaseGroupClass plain;
  plain.initialize(1, "plain");
  plain.appendGroup(&a);
  PostselectGroup nested;
  nested.initialize(1, "nested");
  nested.appendGroup(&post);
  SingleGroup single(&a);
  PreselectGroup pre;
  pre.initialize(1, "pre");
  pre.appendGroup(&a);
  // A class derived from a group kind may override either operation.
  class DerivedGroup : public PostselectGroup {};
  DerivedGroup derived;
  derived.initialize(1, "derived");
  derived.appendGroup(&a);
  PostselectGroup overSingle;
  overSingle.initialize(2, "overSingle");
  overSingle.appendGroup(&a);
  overSingle.appendGroup(&single);
  PostselectGroup empty;
  // An activity given members may ask them, and a single group among them
  // keeps a history that a second question would shift.
  Scripted withMembers("withMembers", yes, [] {}, {1.0});
  withMembers.appendGroup(&single);
  PostselectGroup overWithMembers;
  overWithMembers.initialize(1, "overWithMembers");
  overWithMembers.appendGroup(&withMembers);
  auto refreshes = [](BaseGroupClass* g) { return SimulatorClass::EnablingChangeRefreshes(g, 0); };
  EXPECT_TRUE(refreshes(&a));
  EXPECT_TRUE(refreshes(&post));
  EXPECT_TRUE(refreshes(&plain));
  EXPECT_TRUE(refreshes(&nested));
  EXPECT_FALSE(refreshes(&single));
  EXPECT_FALSE(refreshes(&pre));
  EXPECT_FALSE(refreshes(&derived));
  EXPECT_FALSE(refreshes(&overSingle));
  EXPECT_FALSE(refreshes(&empty));
  EXPECT_FALSE(refreshes(&withMembers));
  EXPECT_FALSE(refreshes(&overWithMembers));
  EXPECT_FALSE(refreshes(nullptr));
}

// A post-select group is timed by its first member: the step asks that
// member for the delay and the reactivation predicate, and a class derived
// from the group, which may answer otherwise, is asked itself.
class FixedDelayGroup : public PostselectGroup {
 public:
  double SampleDistribution() override {
    asked++;
    return 5.0;
  }
  int asked = 0;
};

TEST_F(SimStepTest, APostselectGroupIsTimedByItsFirstMemberAndADerivedGroupByItself) {
  auto yes = [] { return true; };
  Scripted* first = model_->AddActivity(new Scripted("first", yes, [] {}, {2.0, 3.0}), false);
  Scripted* second = model_->AddActivity(new Scripted("second", yes, [] {}, {7.0}), false);
  int predicateCalls = 0;
  first->predicate = [&predicateCalls] { return ++predicateCalls, false; };
  PostselectGroup* group = model_->AddGroup("caseGroup", {first, second});
  Scripted* third = model_->AddActivity(new Scripted("third", yes, [] {}, {11.0}), false);
  FixedDelayGroup* derived = model_->AddOwnedGroup(new FixedDelayGroup());
  derived->initialize(1, "derived");
  derived->appendGroup(third);
  Start();
  EXPECT_EQ(PendingTime(group), 2.0);
  EXPECT_EQ(PendingTime(derived), 5.0);
  EXPECT_EQ(first->samples, 1u);
  EXPECT_EQ(second->samples, 0u);
  EXPECT_EQ(third->samples, 0u);
  EXPECT_EQ(derived->asked, 1);
  EXPECT_EQ(predicateCalls, 1);
  ASSERT_TRUE(Step());  // the case group fires at 2 and is timed anew
  EXPECT_EQ(PendingTime(group), 5.0);
  EXPECT_EQ(first->samples, 2u);
  EXPECT_EQ(second->samples, 0u);
  EXPECT_EQ(predicateCalls, 2);
  EXPECT_EQ(first->firings + second->firings, 1);
}

TEST(TimingActionTest, FirstMemberOfAPlainPostselectGroupOnly) {
  auto yes = [] { return true; };
  Scripted a("a", yes, [] {}, {1.0}), b("b", yes, [] {}, {1.0});
  PostselectGroup post;
  post.initialize(2, "post");
  post.appendGroup(&a);
  post.appendGroup(&b);
  BaseGroupClass plain;
  plain.initialize(1, "plain");
  plain.appendGroup(&a);
  FixedDelayGroup derived;
  derived.initialize(1, "derived");
  derived.appendGroup(&a);
  PostselectGroup empty;
  EXPECT_EQ(SimulatorClass::TimingAction(&post), &a);
  EXPECT_EQ(SimulatorClass::TimingAction(&a), &a);
  EXPECT_EQ(SimulatorClass::TimingAction(&plain), &plain);
  EXPECT_EQ(SimulatorClass::TimingAction(&derived), &derived);
  EXPECT_EQ(SimulatorClass::TimingAction(&empty), &empty);
}

}  // namespace
