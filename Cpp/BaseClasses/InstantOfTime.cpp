#include "Cpp/BaseClasses/InstantOfTime.h"

void InstantOfTime::Accumulate(double, double lastTime) {
  value = 0.0;
  square = 0.0;
  weight = 1.0;
  // The state has been constant since lastTime; when that is not after the
  // time point, it is the state in force at the time point.
  if (start >= lastTime) {
    value = Reward_Function();
    square = value * value;
  }
}

void InstantOfTime::CurrentReward() {
  value = Reward_Function();
  square = value * value;
}
