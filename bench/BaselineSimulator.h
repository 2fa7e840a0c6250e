#ifndef BENCH_BASELINE_SIMULATOR_H
#define BENCH_BASELINE_SIMULATOR_H

#include <cstdint>
#include <ostream>

// A direct, hand-written simulation of the study's one model (the RAM system
// beside the redundant flash memory, the reward `reliability` at 30, 180 and
// 365), written without the model framework: the markings are plain fields,
// the enabling predicates, delays, case weights and effects are written out,
// and the groups each firing can touch are constant tables.
//
// It is the yardstick of the simulator's speed and a second, independent
// statement of the model: for the same experiment, generator, seed,
// replication limit and report size it draws the same random numbers in the
// same order as the simulator, fires the same number of activities and
// writes the same ASCII result file. It draws from the program-wide
// distribution object, as the simulator does.
class BaselineSimulator {
 public:
  struct Settings {
    int experiment = 0;        // 0 .. 35
    uint32_t seed = 31415;     // 0 means 31415
    int generator = 0;         // 0 lagged Fibonacci, 1 Tausworthe, 2 Mersenne Twister
    int64_t replications = 1;  // at least 1
    int reportSize = 1000;     // observations per hand-over, at least 1
  };

  // Selects and seeds the generator held by the program-wide distribution
  // object. REQUIRES: valid settings (see the fields) and a seed the chosen
  // generator takes.
  explicit BaselineSimulator(const Settings& settings);
  BaselineSimulator(const BaselineSimulator&) = delete;
  BaselineSimulator& operator=(const BaselineSimulator&) = delete;
  ~BaselineSimulator();

  // Runs every replication; writes the ASCII result file (header included)
  // to ascii when it is not null. Returns the number of activities fired.
  int64_t Run(std::ostream* ascii);

 private:
  // The scheduling units, in the order the simulator lists the model's
  // groups: a case group stands for all its cases.
  enum Group {
    kWatchdogReboot,
    kRandomFailure,
    kBitError,
    kPageError,
    kFailure,
    kSeu,
    kSefi,
    kPowerCycle,
    kNumGroups
  };
  // What fired: an activity without cases, or one case of a case group.
  enum Firing {
    kFiredFailure,
    kFiredWatchdogReboot,
    kFiredRandomFailure,
    kFiredBitError1,
    kFiredBitError2,
    kFiredPageError1,
    kFiredPageError2,
    kFiredSeu1,
    kFiredSeu2,
    kFiredSefi,
    kFiredPowerCycle,
    kNumFirings
  };

  bool Enabled(int group) const;
  double Delay(int group);
  // Fires the group at the current time: selects the case of a case group,
  // changes the markings; returns what fired.
  int Fire(int group);
  // One step: fires the earliest event, then unschedules the touched groups
  // that lost their enabling and schedules the touched groups that gained it.
  // Returns false when nothing is left to fire.
  bool Step();
  void Schedule(int group);
  void RunReplication();

  // ---- The event list: a binary heap of groups ordered by completion time
  // (every group of this model has rank 1 and weight 1). ----
  void HeapInsert(int group);
  void HeapRemoveSlot(int slot);
  int SiftUp(int slot);
  int SiftDown(int slot);
  void HeapPlace(int slot, int group);
  // The slot of the event to fire next (a draw among exact ties), or -1.
  int EarliestSlot();
  void CollectTies(int slot);

  void HandOver(std::ostream* ascii, int count);

  Settings settings_;
  // Global-variable values of the experiment.
  short numReplicas_;
  float powerCycleRate_;

  // Markings.
  short flashCorrupted_ = 0;
  short ramWorking_ = 1;
  short ramCorrupted_ = 0;
  short systemFailed_ = 0;
  short replicasAvailable_ = 0;

  double now_ = 0.0;
  double failureTime_ = -1.0;  // when system_failed was set; -1 when not yet

  double time_[kNumGroups];
  int slotOf_[kNumGroups];  // heap slot of the group's event, -1 when none
  int heap_[kNumGroups];
  int heapSize_ = 0;
  int ties_[kNumGroups];
  int numTies_ = 0;

  int64_t fired_ = 0;
  double* observations_ = nullptr;  // 3 rows of reportSize
};

#endif
