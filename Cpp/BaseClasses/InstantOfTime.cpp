#include "Cpp/BaseClasses/InstantOfTime.h"

void InstantOfTime::Accumulate(double, double lastTime) {
  weight = 1.0;
  // The state has been constant since lastTime; when that is not after the
  // time point, it is the state in force at the time point. Once a firing
  // after the time point has happened, the value read before it stands (a
  // steady-state batch is closed only at its end, long after its start).
  if (start >= lastTime) {
    value = Reward_Function();
    square = value * value;
  }
}

void InstantOfTime::CurrentReward() {
  value = Reward_Function();
  square = value * value;
}
