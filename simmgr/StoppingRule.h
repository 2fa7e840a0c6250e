#ifndef STOPPING_RULE_H
#define STOPPING_RULE_H

#include <cstdint>

#include "simmgr/RunningStatistics.h"

// When an experiment has enough observations.
//
// Fixed mode (`replications` > 0): every variable needs exactly that many
// observations; later ones are not used.
//
// Precision mode (`replications` == 0): a variable is precise once it has at
// least `minReplications` observations and the half-width h of its
// confidence interval at `confidence` satisfies h <= `absolute` (when
// absolute > 0) or h <= `relative` * |mean| (when relative > 0); either
// target is enough when both are given. A relative target is never met by a
// mean of 0, where it has no meaning. While all observations of a variable
// are equal (as with a failure not seen yet) the t interval has width 0 and
// tells nothing; h is then taken as -ln(1 - confidence) / n, the distance
// from 0 of the upper confidence bound of a probability whose event was not
// seen in n trials (about 3/n at 95%). An experiment stops when every
// variable is precise, or when every variable has `maxReplications`
// observations (precision not met).
struct StoppingRule {
  int64_t replications = 0;
  double relative = 0.0;
  double absolute = 0.0;
  double confidence = 0.95;
  int64_t minReplications = 1000;
  int64_t maxReplications = 10000000;

  bool Fixed() const { return replications > 0; }
  // Observations of each variable that are used at most.
  int64_t Limit() const { return Fixed() ? replications : maxReplications; }
  // The half-width the rule compares (see above).
  double RuleHalfWidth(const RunningStatistics& statistics) const;
  bool Precise(const RunningStatistics& statistics) const;
  // Rough number of observations the variable will need in all, from what
  // it has shown so far; for progress estimates only.
  int64_t EstimateNeeded(const RunningStatistics& statistics) const;
};

#endif
