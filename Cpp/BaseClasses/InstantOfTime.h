#ifndef INSTANT_OF_TIME_H
#define INSTANT_OF_TIME_H

#include "Cpp/BaseClasses/PerformanceVariableWorker.h"

// Worker of an instant-of-time reward: its value is the reward of the state
// in force at its start time. Its weight is always 1.
class InstantOfTime : public PerformanceVariableWorker {
 public:
  InstantOfTime() = default;
  ~InstantOfTime() override = default;

  // The state is read only while no firing after start has happened yet
  // (start >= lastTime); otherwise value and square keep what was read
  // then (0 after Reset when nothing was).
  void Accumulate(double now, double lastTime) override;
  void CurrentReward() override;
};

#endif
