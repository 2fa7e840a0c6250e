// Batch means on a scripted model: warm-up, batch boundaries, lazy hand-over
// of full packet rows, the batch limit and absorbing states.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Cpp/BaseClasses/ImpulseNodeClass.h"
#include "Cpp/BaseClasses/InstantOfTime.h"
#include "Cpp/BaseClasses/PerformanceVariableNode.h"
#include "Cpp/BaseClasses/PerformanceVariableWorker.h"
#include "platform/KorvanSocket.h"
#include "simulator/SimulatorClass.h"
#include "tests/simulator/ScriptedModel.h"

namespace {

using scripted::Scripted;
using scripted::ScriptedPV;
using scripted::ScriptedSAN;

// Observes the time at which it is asked, so every observation tells when
// its batch was closed.
class ClockWorker : public PerformanceVariableWorker {
 public:
  explicit ClockWorker(int slots) {
    numModelSlots = slots;
    modelSlots = new BaseModelClass**[slots > 0 ? slots : 1];
    for (int j = 0; j < slots; j++) modelSlots[j] = &observed_;
  }
  ~ClockWorker() override { delete[] modelSlots; }
  double Reward_Function() override { return 0.0; }
  void Accumulate(double now, double) override {
    value = now;
    square = now * now;
    weight = 1.0;
  }

 private:
  BaseModelClass* observed_ = nullptr;
};

// The marking of x at the start of the worker's window, read as a generated
// instant-of-time worker reads its state.
class MarkAtStartWorker : public InstantOfTime {
 public:
  MarkAtStartWorker(int slots, Place* x) : x_(x) {
    numModelSlots = slots;
    modelSlots = new BaseModelClass**[slots > 0 ? slots : 1];
    for (int j = 0; j < slots; j++) modelSlots[j] = &observed_;
  }
  ~MarkAtStartWorker() override { delete[] modelSlots; }
  double Reward_Function() override { return x_->getMark(); }

 private:
  Place* x_;
  BaseModelClass* observed_ = nullptr;
};

// A steady-state instant-of-time variable with a warm-up ending at `warmUp`
// and batches of `batch` time units: its workers observe the clock, or,
// given x, x at the start of each batch.
class BatchNode : public PerformanceVariableNode {
 public:
  BatchNode(const char* name, double warmUp, double batch, Place* x = nullptr) : x_(x) {
    modelSlot = &top_;
    double starts[] = {warmUp};
    double stops[] = {warmUp + batch};
    Initialize(name, InstantOfTimeReward, 1, starts, stops, 0, 0, 1, 1);
    AddVariableDependency("x", "scripted");
    SetSteadyState(1);
  }
  ~BatchNode() override {
    for (int i = 0; i < numWorkers; i++) {
      workers[i]->FreeName();
      delete workers[i];
    }
  }
  void CreateWorkerList() override {
    for (int i = 0; i < numWorkers; i++) {
      if (x_ != nullptr) {
        workers[i] = new MarkAtStartWorker(numModelDependencies, x_);
      } else {
        workers[i] = new ClockWorker(numModelDependencies);
      }
    }
  }

 private:
  Place* x_;
  BaseModelClass* top_ = nullptr;
};

// The marking of x, integrated over the worker's own window [start, stop],
// as a generated interval-of-time worker bounds its steps.
class WindowWorker : public PerformanceVariableWorker {
 public:
  WindowWorker(int slots, Place* x) : x_(x) {
    numModelSlots = slots;
    modelSlots = new BaseModelClass**[slots > 0 ? slots : 1];
    for (int j = 0; j < slots; j++) modelSlots[j] = &observed_;
  }
  ~WindowWorker() override { delete[] modelSlots; }
  double Reward_Function() override { return x_->getMark(); }
  void Accumulate(double now, double lastTime) override {
    const double from = lastTime > start ? lastTime : start;
    const double to = now < stop ? now : stop;
    weight = to > from ? to - from : 0.0;
    value = Reward_Function();
    square = value * value;
  }

 private:
  Place* x_;
  BaseModelClass* observed_ = nullptr;
};

// Counts the firings that happened within its own window [start, stop].
class WindowImpulse : public ImpulseNodeClass {
 public:
  void EndAccumulate(double) override {}
  double Impulse_Function() override { return 1.0; }
  void Accumulate(double, double lastTime) override {
    if (lastTime >= start && lastTime <= stop) value += Impulse_Function();
    square = value * value;
  }
  void CurrentReward() override {}
  void ResetImpulse() override { Reset(); }
  ImpulseNodeClass** CreateImpulseNodes(int n) override {
    ImpulseNodeClass** nodes = new ImpulseNodeClass*[n];
    for (int k = 0; k < n; k++) nodes[k] = new WindowImpulse();
    return nodes;
  }
};

// A steady-state interval-of-time variable: x integrated over each batch
// plus the number of ticks fired within it.
class WindowNode : public PerformanceVariableNode {
 public:
  WindowNode(const char* name, double warmUp, double batch, Place* x) : x_(x) {
    modelSlot = &top_;
    double starts[] = {warmUp};
    double stops[] = {warmUp + batch};
    Initialize(name, IntervalOfTimeReward, 1, starts, stops, 0, 1, 1, 1);
    AddVariableDependency("x", "scripted");
    AddImpulse("tick", "scripted", new WindowImpulse());
    SetSteadyState(1);
  }
  ~WindowNode() override {
    for (int i = 0; i < numWorkers; i++) {
      workers[i]->FreeName();
      delete workers[i];
    }
  }
  void CreateWorkerList() override {
    for (int i = 0; i < numWorkers; i++) workers[i] = new WindowWorker(numModelDependencies, x_);
  }

 private:
  Place* x_;
  BaseModelClass* top_ = nullptr;
};

// Which variables RunSteadyState observes the model with.
enum class Nodes { kClock, kWindow, kInstant };

class SteadyStateSimulationTest : public testing::Test {
 protected:
  void TearDown() override {
    if (simulator_) simulator_->DetachModel();
    delete pv_;
    simulator_.reset();
    std::remove(path_.c_str());
  }

  // A model ticking once per time unit (x counts the ticks, up to `ticks`)
  // observed by variable A (warm-up to 2.5, batches of batchOfA) and
  // variable B (no warm-up, batches of 3), run in steady state with the
  // given options.
  // nodes picks the kind of both variables: BatchNodes of the clock (the
  // default) or of x, or WindowNodes.
  // variables 1 leaves B out.
  void RunSteadyState(const std::vector<std::string>& options, int ticks, double batchOfA = 2.0,
                      Nodes nodes = Nodes::kClock, int variables = 2) {
    path_ = testing::TempDir() + "steady_state_" +
            testing::UnitTest::GetInstance()->current_test_info()->name() + ".csv";
    std::vector<std::string> arguments = {"simulator", "-t", "0", "-a", path_};
    arguments.insert(arguments.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& a : arguments) argv.push_back(&a[0]);
    testing::internal::CaptureStdout();
    simulator_.reset(new SimulatorClass(static_cast<int>(argv.size()), argv.data()));

    ScriptedSAN* model = new ScriptedSAN();
    Place* x = model->AddPlace("x", 0);
    const std::function<void(int)> afterTick = afterTick_;
    Scripted* tick = model->AddActivity(new Scripted(
        "tick", [x, ticks] { return x->getMark() < ticks; },
        [x, afterTick] {
          x->setMark(static_cast<short>(x->getMark() + 1));
          if (afterTick) afterTick(x->getMark());
        },
        {1.0}));
    model->AddEnableArc(x, tick);
    model->AddAffectArc(x, tick);
    if (stallAfterTicks_) {
      // Then an activity that never completes (its time is infinite, unless
      // the test gives another): the state lasts for ever.
      Scripted* stall = model->AddActivity(new Scripted(
          "stall", [x, ticks] { return x->getMark() >= ticks; }, [] {}, {stallDelay_}));
      model->AddEnableArc(x, stall);
    }
    model->Build();
    pv_ = new ScriptedPV(model, variables,
                         [batchOfA, nodes, x](int variable, int) -> PerformanceVariableNode* {
                           if (nodes == Nodes::kWindow) {
                             return variable == 0 ? new WindowNode("A", 2.5, batchOfA, x)
                                                  : new WindowNode("B", 0.0, 3.0, x);
                           }
                           Place* observed = nodes == Nodes::kInstant ? x : nullptr;
                           return variable == 0 ? new BatchNode("A", 2.5, batchOfA, observed)
                                                : new BatchNode("B", 0.0, 3.0, observed);
                         });
    simulator_->DetachModel();
    simulator_->AttachModel(pv_);
    // The study's own model has no steady-state variable: its set-up left
    // the result file unopened.
    ASSERT_TRUE(simulator_->OpenResultFiles());
    simulator_->status = statusAtStart_;
    simulator_->SteadyStateSimulation();
    out_ = testing::internal::GetCapturedStdout();
  }

  std::string Rows() const {
    std::ifstream in(path_);
    std::string line, rows;
    for (int n = 0; std::getline(in, line); n++) {
      if (n >= 2) rows += line + "\n";
    }
    return rows;
  }

  std::unique_ptr<SimulatorClass> simulator_;
  ScriptedPV* pv_ = nullptr;
  std::string path_;
  std::string out_;
  bool stallAfterTicks_ = false;
  double stallDelay_ = std::numeric_limits<double>::infinity();
  // Called as the tick that brings x to the given count fires.
  std::function<void(int)> afterTick_;
  int statusAtStart_ = 0;
};

TEST_F(SteadyStateSimulationTest, FullRowsAreHandedOverLazilyUntilTheSlowestReachesTheLimit) {
  RunSteadyState({"-n", "3", "-N", "5"}, 1000);
  // Each observation is closed one time unit past its batch end. A's warm-up
  // gives none. A's fourth observation (at 11) first hands over the packets:
  // A's three and B's three so far. The run ends once B, the slower, has
  // five batches (at 15), after which the rest is handed over.
  EXPECT_EQ(Rows(),
            "0,5.5\n0,7.5\n0,9.5\n1,4.0\n1,7.0\n1,10.0\n"
            "0,11.5\n0,13.5\n0,15.5\n1,13.0\n1,16.0\n");
  EXPECT_EQ(simulator_->status, 2);
  // The step seen with the limit reached is still taken.
  EXPECT_EQ(simulator_->actionsFired, 15);
}

TEST_F(SteadyStateSimulationTest, WorkersAndImpulseNodesFollowTheWindowOfEachBatch) {
  RunSteadyState({"-n", "100", "-N", "3"}, 1000, 2.0, Nodes::kWindow);
  // x is the number of ticks so far (one at each whole time). A's batches
  // [2.5, 4.5], [4.5, 6.5], [6.5, 8.5] hold the integral of x (6, 10, 14)
  // plus two ticks each; B's [0, 3], [3, 6], [6, 9] the integral (3, 12,
  // 21) plus the ticks in it (a tick at a boundary falls in the batch it
  // opens: 2, 3, 3). The run ends with B's third batch, at 9.
  EXPECT_EQ(Rows(), "0,8.0\n0,12.0\n0,16.0\n1,5.0\n1,15.0\n1,24.0\n");
}

TEST_F(SteadyStateSimulationTest, AnInstantOfTimeVariableObservesTheStateAtEachBatchStart) {
  RunSteadyState({"-n", "100", "-N", "3"}, 1000, 2.0, Nodes::kInstant);
  // Each batch records x at its start, though it is closed only at its end,
  // after later ticks: A at 2.5, 4.5, 6.5; B at 0, 3, 6, where the tick at
  // the batch's very start is counted, as at a terminating time point.
  EXPECT_EQ(Rows(), "0,2.0\n0,4.0\n0,6.0\n1,0.0\n1,3.0\n1,6.0\n");
}

TEST_F(SteadyStateSimulationTest, AnInstantOfTimeBatchWithoutFiringsRecordsTheLastingState) {
  // A's batches of a quarter: most hold no tick, and each records the x in
  // force at its start (the tick at 3.0, 4.0 and 5.0 counted in the batch
  // it opens). The run ends with B's second batch, at 6.
  RunSteadyState({"-n", "100", "-N", "2"}, 1000, 0.25, Nodes::kInstant);
  EXPECT_EQ(Rows(),
            "0,2.0\n0,2.0\n0,3.0\n0,3.0\n0,3.0\n0,3.0\n0,4.0\n0,4.0\n0,4.0\n0,4.0\n"
            "0,5.0\n0,5.0\n0,5.0\n0,5.0\n1,0.0\n1,3.0\n");
}

TEST_F(SteadyStateSimulationTest, AnAbsorbingStateEndsTheRunWithAFinalHandOver) {
  RunSteadyState({"-n", "100"}, 8);
  EXPECT_NE(out_.find("Simulator encountered an absorbing state and is unable to proceed.  "
                      "Terminating run.\n"),
            std::string::npos)
      << out_;
  EXPECT_EQ(Rows(), "0,5.5\n0,7.5\n1,4.0\n1,7.0\n");
  EXPECT_EQ(simulator_->actionsFired, 8);
}

// A stop that comes during a firing ends the run after it, but the batches
// that firing ran past had ended: they are closed and handed over as they
// would have been without the stop, and nothing is fired after them.
TEST_F(SteadyStateSimulationTest, AStopDuringAFiringHandsOverTheBatchesThatFiringRanPast) {
  // The eighth tick (at 8) is the last: the next event is at 9, by which
  // A's batch ending at 8.5 and B's ending at 9 are complete.
  afterTick_ = [](int x) {
    if (x == 8) SimulatorInterruptSignal = SIGINT;
  };
  RunSteadyState({"-n", "100"}, 1000);
  SimulatorInterruptSignal = 0;
  EXPECT_EQ(Rows(), "0,5.5\n0,7.5\n0,9.5\n1,4.0\n1,7.0\n1,10.0\n");
  EXPECT_EQ(simulator_->actionsFired, 8);
  EXPECT_EQ(simulator_->exitStatus, 0);
  // So too when the rows are full as the stop comes (they are handed over
  // only when the next observation needs the room).
  simulator_->DetachModel();
  delete pv_;
  pv_ = nullptr;
  simulator_.reset();
  RunSteadyState({"-n", "1"}, 1000);
  SimulatorInterruptSignal = 0;
  EXPECT_EQ(Rows(), "0,5.5\n1,4.0\n0,7.5\n1,7.0\n0,9.5\n1,10.0\n");
  EXPECT_EQ(simulator_->actionsFired, 8);

}

// The manager's quit likewise: it reads on, after its reply, for what the
// run hands over as it stops. A stop from outside that comes during a firing
// (stood in for here by the firing itself) closes what that firing ran past.
TEST_F(SteadyStateSimulationTest, TheManagersQuitDuringAFiringHandsOverTheBatchesThatFiringRanPast) {
  afterTick_ = [this](int x) {
    if (x != 8) return;
    simulator_->quitReceived = true;
    simulator_->status = 2;
  };
  RunSteadyState({"-n", "100"}, 1000);
  EXPECT_EQ(Rows(), "0,5.5\n0,7.5\n0,9.5\n1,4.0\n1,7.0\n1,10.0\n");
  EXPECT_EQ(simulator_->actionsFired, 8);
}

// The quit is read at a hand-over, which a batch check makes when a row is
// full: the batches ended by the time of the next event are still closed and
// handed over after the reply, and nothing more is fired.
TEST_F(SteadyStateSimulationTest, TheManagersQuitReadWhileClosingBatchesHandsOverTheRestOfThem) {
  int ends[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
  // The quit waits in the connection, and the manager then sends nothing
  // more (it shuts its side once it has the reply).
  const char quit = 2;
  ASSERT_EQ(write(ends[1], &quit, 1), 1);
  shutdown(ends[1], SHUT_WR);
  afterTick_ = [this, ends](int x) {
    if (x != 1) return;
    simulator_->simMgrSocket = new KorvanSocket(false);
    simulator_->simMgrSocket->sock = ends[0];
  };
  // The first hand-over comes with A's third observation, at 9 (its row of
  // two is full); B's third batch ends at 9 too.
  RunSteadyState({"-n", "2"}, 1000);
  EXPECT_EQ(Rows(), "0,5.5\n0,7.5\n1,4.0\n1,7.0\n0,9.5\n1,10.0\n");
  EXPECT_EQ(simulator_->actionsFired, 8);
  EXPECT_TRUE(simulator_->quitReceived);
  EXPECT_FALSE(simulator_->linkLost);
  close(ends[1]);
}

// A run stopped before it began (no manager connected) in which nothing is
// enabled hands over nothing: no empty record in the binary file.
TEST_F(SteadyStateSimulationTest, AStoppedRunWithNothingEnabledHandsOverNothing) {
  const std::string binary = testing::TempDir() + "steady_state_stopped.bin";
  statusAtStart_ = 2;
  RunSteadyState({"-n", "3", "-b", binary}, 0);
  simulator_->CloseResultFiles();
  std::ifstream in(binary, std::ios::binary | std::ios::ate);
  // The 256-byte header alone.
  EXPECT_EQ(static_cast<long long>(in.tellg()), 256);
  EXPECT_EQ(simulator_->status, 2);
  EXPECT_EQ(simulator_->actionsFired, 0);
  std::remove(binary.c_str());
}

// Batches far shorter than the time between firings: the firing at 3 ends
// A's warm-up (at 2.5) and half a million batches after it, but closing
// them stops at the limit.
TEST_F(SteadyStateSimulationTest, ClosingManyBatchesAtOneFiringStopsAtTheLimit) {
  RunSteadyState({"-n", "100", "-N", "3"}, 1000, 0x1p-20, Nodes::kClock, 1);
  const std::string rows = Rows();
  EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), 3) << rows.substr(0, 200);
  EXPECT_EQ(simulator_->actionsFired, 3);
}

// A variable's batch count does not wrap: one that has completed as many
// batches as an int holds still lets the run end at the limit.
TEST_F(SteadyStateSimulationTest, ABatchCountAtTheLargestIntStillLetsTheRunReachItsLimit) {
  // A has completed its warm-up by the third tick; its count is then set
  // just short of the largest int, as after that many short batches.
  afterTick_ = [this](int x) {
    if (x == 3) simulator_->batchCounts->ModifyKey(0, INT_MAX - 1);
  };
  RunSteadyState({"-n", "100", "-N", "3"}, 1000);
  // B's third batch (at 9) is the limit; one more event fires.
  EXPECT_EQ(Rows(), "0,5.5\n0,7.5\n0,9.5\n1,4.0\n1,7.0\n1,10.0\n");
  EXPECT_EQ(simulator_->actionsFired, 9);
  EXPECT_EQ(simulator_->batchesDone, 3);
}

// A time that is not a finite number would never be passed: an infinite
// batch runs for ever, one that is not a number closes no batch at all.
TEST_F(SteadyStateSimulationTest, TimesThatAreNotFiniteNumbersAreRefused) {
  for (const double batch : {std::numeric_limits<double>::infinity(), std::nan("")}) {
    EXPECT_EXIT(
        {
          alarm(5);
          RunSteadyState({"-n", "3", "-N", "5"}, 1000, batch);
          std::exit(0);
        },
        testing::ExitedWithCode(1), "ERROR: Reward variable A has a stop time that is not a finite number");
  }
}

// A state that lasts for ever (the only event left is at an infinite time)
// closes batch after batch at that one event. A run without a limit goes on
// doing so until it is stopped, as any such run does; a stop request must
// end it there, with what it has handed over.
// The simulator a test's signal handler stops (made by RunSteadyState).
std::unique_ptr<SimulatorClass>* stopTarget = nullptr;

TEST_F(SteadyStateSimulationTest, AStopEndsTheBatchesOfAStateThatLastsForEver) {
  stallAfterTicks_ = true;
  // The first alarm asks the run to stop; a second one, later, ends a run
  // that did not stop.
  const auto watch = [](void (*stop)()) {
    static void (*request)() = nullptr;
    request = stop;
    signal(SIGALRM, [](int) {
      static int alarms = 0;
      if (++alarms > 1) _exit(3);
      request();
      alarm(10);
    });
    alarm(1);
  };
  // Ends the child: 0 when the run stopped after its 8th firing, having
  // handed over the batches closed by then.
  const auto endStoppedAtTheEighthFiring = [this] {
    const bool stopped =
        simulator_->actionsFired == 8 && Rows().compare(0, 14, "0,5.5\n0,7.5\n0,") == 0;
    std::remove(path_.c_str());
    std::exit(stopped ? 0 : 4);
  };
  // An interrupt: stopped at the event at an infinite time, without firing
  // it, and what was closed so far handed over.
  EXPECT_EXIT(
      {
        watch([] { SimulatorInterruptSignal = SIGINT; });
        RunSteadyState({"-n", "50"}, 8);
        endStoppedAtTheEighthFiring();
      },
      testing::ExitedWithCode(0), "");
  // So too at an event so far off that its batches would take ages to close.
  EXPECT_EXIT(
      {
        stallDelay_ = 1e15;
        watch([] { SimulatorInterruptSignal = SIGINT; });
        RunSteadyState({"-n", "50"}, 8);
        endStoppedAtTheEighthFiring();
      },
      testing::ExitedWithCode(0), "");
  // A stop that comes during the firing that leads to so far off an event:
  // the closing after it ends once a row is full, which is handed over.
  EXPECT_EXIT(
      {
        stallDelay_ = 1e15;
        alarm(10);
        afterTick_ = [](int x) {
          if (x == 8) SimulatorInterruptSignal = SIGINT;
        };
        RunSteadyState({"-n", "50"}, 8);
        endStoppedAtTheEighthFiring();
      },
      testing::ExitedWithCode(0), "");
  // So too the manager's quit, come during that firing.
  EXPECT_EXIT(
      {
        stallDelay_ = 1e15;
        alarm(10);
        afterTick_ = [this](int x) {
          if (x != 8) return;
          simulator_->quitReceived = true;
          simulator_->status = 2;
        };
        RunSteadyState({"-n", "50"}, 8);
        endStoppedAtTheEighthFiring();
      },
      testing::ExitedWithCode(0), "");
  // The run stopped from outside (the manager quit, say) while closing.
  EXPECT_EXIT(
      {
        stopTarget = &simulator_;
        watch([] { (*stopTarget)->status = 2; });
        RunSteadyState({"-n", "50"}, 8);
        std::remove(path_.c_str());
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
}

TEST_F(SteadyStateSimulationTest, BatchesThatDoNotAdvanceStopTheRunAsAFailure) {
  // A's batches have no length: its boundary would be closed again and again
  // at the same time. Under a watchdog first, since that never returns.
  EXPECT_EXIT(
      {
        alarm(5);
        RunSteadyState({"-n", "3", "-N", "5"}, 1000, 0.0);
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
  if (HasFailure()) return;
  RunSteadyState({"-n", "3", "-N", "5"}, 1000, 0.0);
  // A's warm-up ends at 2.5; the first event after it (at 3) finds no later
  // boundary, and the run stops before firing it.
  EXPECT_EQ(simulator_->actionsFired, 2);
  EXPECT_EQ(simulator_->exitStatus, 1);
  EXPECT_EQ(simulator_->status, 2);
  EXPECT_EQ(Rows(), "");
}

}  // namespace
