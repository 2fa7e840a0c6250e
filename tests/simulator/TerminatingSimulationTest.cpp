// Replications of a scripted model: each one starts from the model's
// initial state, whatever the previous one left behind.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Cpp/BaseClasses/PerformanceVariableNode.h"
#include "Cpp/BaseClasses/PerformanceVariableWorker.h"
#include "Cpp/BaseClasses/PreselectGroup.h"
#include "simulator/SimulatorClass.h"
#include "tests/simulator/ScriptedModel.h"

namespace {

using scripted::Scripted;
using scripted::ScriptedPV;
using scripted::ScriptedSAN;

class ZeroWorker : public PerformanceVariableWorker {
 public:
  explicit ZeroWorker(int slots) {
    numModelSlots = slots;
    modelSlots = new BaseModelClass**[slots > 0 ? slots : 1];
    for (int j = 0; j < slots; j++) modelSlots[j] = &observed_;
  }
  ~ZeroWorker() override { delete[] modelSlots; }
  double Reward_Function() override { return 0.0; }
  void Accumulate(double, double) override {
    value = 0.0;
    square = 0.0;
    weight = 1.0;
  }

 private:
  BaseModelClass* observed_ = nullptr;
};

// An instant-of-time variable at `at`: only there to end each replication.
class EndNode : public PerformanceVariableNode {
 public:
  explicit EndNode(double at) {
    modelSlot = &top_;
    double times[] = {at};
    Initialize("end", InstantOfTimeReward, 1, times, times, 0, 0, 1, 1);
    AddVariableDependency("k", "scripted");
    SetSteadyState(0);
  }
  ~EndNode() override {
    for (int i = 0; i < numWorkers; i++) {
      workers[i]->FreeName();
      delete workers[i];
    }
  }
  void CreateWorkerList() override {
    for (int i = 0; i < numWorkers; i++) workers[i] = new ZeroWorker(numModelDependencies);
  }

 private:
  BaseModelClass* top_ = nullptr;
};

// Runs `replications` replications of model (seeded with seed), each ended
// at `end`, through the terminating driver; returns the replications done.
// A positive maxEventsAtOneTime replaces the simulator's limit on events
// scheduled in a row at one time.
int64_t RunReplications(ScriptedSAN* model, int replications, int seed, double end, const std::string& name,
                        int64_t maxEventsAtOneTime = 0) {
  const std::string path = testing::TempDir() + name + ".csv";
  std::vector<std::string> arguments = {"simulator", "-N", std::to_string(replications), "-s",
                                        std::to_string(seed), "-a", path};
  std::vector<char*> argv;
  for (std::string& a : arguments) argv.push_back(&a[0]);
  testing::internal::CaptureStdout();
  std::unique_ptr<SimulatorClass> simulator(
      new SimulatorClass(static_cast<int>(argv.size()), argv.data()));
  simulator->CreatePacketQueues();
  model->Build();
  ScriptedPV* pv = new ScriptedPV(model, 1, [end](int, int) { return new EndNode(end); });
  simulator->DetachModel();
  simulator->AttachModel(pv);
  if (maxEventsAtOneTime > 0) simulator->maxEventsAtOneTime = maxEventsAtOneTime;
  simulator->TerminatingSimulation();
  testing::internal::GetCapturedStdout();
  const int64_t done = simulator->batchesDone;
  simulator->DetachModel();
  simulator->DestroyOutput();
  delete pv;
  std::remove(path.c_str());
  return done;
}

// A pre-select group chooses between `heavy` (weight k, 0 in the initial
// state) and `light` (weight 1) and fires at time 1; `raise` sets k to 100 at
// time 0.5, so that the group's next choice, made as it fires at time 1, is
// almost surely `heavy`. Each replication ends at 1.2, before the group
// fires again: its one firing must always be `light`, chosen at time 0.
TEST(TerminatingSimulationTest, EachReplicationMakesItsOwnPreselectedChoice) {
  ScriptedSAN* model = new ScriptedSAN();
  Place* k = model->AddPlace("k", 0);
  Place* raised = model->AddPlace("raised", 0);
  std::vector<std::string> fired;
  // A case whose weight is the marking of k.
  struct Heavy : Scripted {
    using Scripted::Scripted;
    double Weight() override { return static_cast<double>(k->getMark()); }
    Place* k = nullptr;
  };
  Heavy* heavy = new Heavy("heavy", [] { return true; }, [&fired] { fired.push_back("heavy"); },
                           std::vector<double>{1.0});
  heavy->k = k;
  model->AddActivity(heavy, false);
  Scripted* light = model->AddActivity(
      new Scripted("light", [] { return true; }, [&fired] { fired.push_back("light"); }, {1.0}),
      false);
  PreselectGroup* group = model->AddOwnedGroup(new PreselectGroup());
  group->initialize(2, "pre");
  group->appendGroup(heavy);
  group->appendGroup(light);
  Scripted* raise = model->AddActivity(new Scripted(
      "raise", [raised] { return raised->getMark() == 0; },
      [raised, k] {
        raised->setMark(1);
        k->setMark(100);
      },
      {0.5}));
  model->AddEnableArc(k, heavy);
  model->AddEnableArc(raised, raise);
  model->AddAffectArc(raised, raise);
  model->AddAffectArc(k, raise);
  EXPECT_EQ(RunReplications(model, 20, 7, 1.2, "terminating_preselect"), 20);
  EXPECT_EQ(fired, std::vector<std::string>(20, "light"));
}

// A pre-select group of two cases, both timed 1.0, chooses at time 0; `block`
// disables the first case at 0.5 while the second stays enabled. Whatever
// was chosen, the group fires the second case at 1.5: a case that is no
// longer enabled is chosen afresh, not fired (it was, in about half the
// replications).
TEST(TerminatingSimulationTest, APreselectedCaseThatIsNoLongerEnabledIsNotFired) {
  ScriptedSAN* model = new ScriptedSAN();
  model->AddPlace("k", 0);
  Place* done = model->AddPlace("done", 0);
  Place* blocked = model->AddPlace("blocked", 0);
  std::vector<std::string> fired;
  Scripted* first = model->AddActivity(
      new Scripted("first", [done, blocked] { return done->getMark() == 0 && blocked->getMark() == 0; },
                   [&fired, done] {
                     fired.push_back("first");
                     done->setMark(1);
                   },
                   {1.0}),
      false);
  Scripted* second = model->AddActivity(new Scripted("second", [done] { return done->getMark() == 0; },
                                                     [&fired, done] {
                                                       fired.push_back("second");
                                                       done->setMark(1);
                                                     },
                                                     {1.0}),
                                        false);
  PreselectGroup* group = model->AddOwnedGroup(new PreselectGroup());
  group->initialize(2, "pre");
  group->appendGroup(first);
  group->appendGroup(second);
  Scripted* block = model->AddActivity(
      new Scripted("block", [blocked] { return blocked->getMark() == 0; }, [blocked] { blocked->setMark(1); },
                   {0.5}));
  model->AddEnableArc(done, first);
  model->AddEnableArc(blocked, first);
  model->AddEnableArc(done, second);
  model->AddAffectArc(done, first);
  model->AddAffectArc(done, second);
  model->AddEnableArc(blocked, block);
  model->AddAffectArc(blocked, block);
  EXPECT_EQ(RunReplications(model, 20, 11, 2.0, "terminating_preselect_disabled"), 20);
  EXPECT_EQ(fired, std::vector<std::string>(20, "second"));
}

// An instantaneous activity that fires at time 0 in every replication
// makes no zero-time loop however many replications run; one that fires far
// more often than the limit at one instant within one replication ends the
// process, with the message, instead of keeping the run at that instant.
TEST(TerminatingSimulationTest, EventsAtOneInstantAreCountedWithinOneReplication) {
  const auto makeModel = [](short rounds) {
    ScriptedSAN* model = new ScriptedSAN();
    Place* left = model->AddPlace("left", rounds);
    Scripted* spin = model->AddActivity(new Scripted(
        "spin", [left] { return left->getMark() > 0; }, [left] { left->setMark(left->getMark() - 1); },
        {0.0}));
    model->AddEnableArc(left, spin);
    model->AddAffectArc(left, spin);
    model->AddActivity(new Scripted("tick", [] { return true; }, [] {}, {1.0}));
    return model;
  };
  EXPECT_EQ(RunReplications(makeModel(3), 50, 5, 2.5, "terminating_instants", 5), 50);
  EXPECT_EXIT(RunReplications(makeModel(1000), 1, 5, 2.5, "terminating_zero_time_loop", 5),
              testing::ExitedWithCode(1),
              "FATAL ERROR: In action spin, simulated time does not advance past 0: 6 events in a row");
  // The result file the ended process left.
  std::remove((testing::TempDir() + "terminating_zero_time_loop.csv").c_str());
}

}  // namespace
