#ifndef STOPPING_RULE_H
#define STOPPING_RULE_H

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "simmgr/ConfidenceInterval.h"
#include "simmgr/RunningStatistics.h"
#include "simmgr/SequentialTest.h"

// When an experiment has enough observations, and the intervals it reports.
//
// Fixed mode (`replications` > 0): every variable needs exactly that many
// observations; later ones are not used.
//
// Precision mode (neither fixed nor a test): the experiment is looked at
// only when it has L_j = minReplications * 2^j observations (j = 0, 1, ...;
// the last look at maxReplications). At a look a variable is precise when
// its interval's half-width h (the larger distance from the mean to an end)
// satisfies h <= `absolute` (when absolute > 0) or h <= `relative` * |mean|
// (when relative > 0; never met by a mean of 0); either target is enough
// when both are given. The experiment stops at the first look at which
// every variable is precise, or at maxReplications (precision not met).
// Stopping where the interval happens to be narrow would let the interval
// cover less often than its level says; so every interval, at every look,
// is computed at the corrected level 1 - (1 - confidence) / K, K the number
// of looks there can be: whichever look the experiment stops at, its
// interval misses with probability at most K (1 - confidence) / K.
//
// With an absolute target alone and no maximum asked for, the looks end
// at the worst case of a probability: WorstCase() replications, after which
// every interval of 0/1 observations is narrow enough whatever their mean.
// Fewer looks, and so narrower intervals for the same replications.
//
// Two-stage mode (`twoStage`, precision mode with an absolute target; simmgr's
// default for an absolute target alone): the
// first Pilot() replications of an experiment are a pilot, which only
// plans the rest and is not part of any estimate. From each variable's
// pilot, a value of its probability on the side nearer 1/2 (the end of
// its 98% Clopper-Pearson interval) gives the replications its interval
// needs at the level 1 - kPlannedShare (1 - confidence); the largest of
// these is the first look after the pilot (Plan). A variable still not
// precise there goes on to the worst case, computed at the level
// 1 - (1 - kPlannedShare) (1 - confidence). The observations after the
// pilot are a sample of their own, whose size the pilot alone decides:
// each of the two looks misses with at most its share of 1 - confidence,
// so whichever the experiment stops at, its interval holds with
// probability at least `confidence`.
//
// Test mode (`test` set, on the reward variable `testVariable`): Wald's
// sequential test decides after every observation of that variable; the
// experiment stops at the decision, or undecided at maxReplications.
//
// Intervals are computed by `method` (see ConfidenceInterval); with
// `simultaneous` the level is corrected once more for the `variables`
// variables of an experiment (Bonferroni), so that all of them hold
// together with probability at least `confidence`.
struct StoppingRule {
  int64_t replications = 0;
  double relative = 0.0;
  double absolute = 0.0;
  double confidence = 0.95;
  int64_t minReplications = 1000;
  int64_t maxReplications = 10000000;
  ConfidenceInterval::Method method = ConfidenceInterval::kAutomatic;
  bool simultaneous = false;
  // Variables whose intervals an experiment reports (for `simultaneous`).
  int variables = 1;
  // Test mode: the test's parameters (no observations), its variable's
  // label and index among the reward variables (-1 until known).
  SequentialTest test;
  std::string testLabel;
  int testVariable = -1;
  // Two-stage mode; once the pilot is in (see Plan): the looks after it,
  // in observations after the pilot, and the level of each.
  bool twoStage = false;
  std::vector<int64_t> plan;
  std::vector<double> planLevels;

  // The share of 1 - confidence the planned look has in two-stage mode.
  static constexpr double kPlannedShare = 0.9;
  // The level of the pilot's interval whose end plans the rest.
  static constexpr double kPilotConfidence = 0.98;
  // The most replications WorstCase looks at (2^50).
  static constexpr int64_t kMostReplications = int64_t(1) << 50;

  bool Fixed() const { return replications > 0; }
  bool Hypothesis() const { return !testLabel.empty(); }
  bool Precision() const { return !Fixed() && !Hypothesis(); }
  bool TwoStage() const { return twoStage && Precision(); }
  // The pilot's replications (two-stage mode; 0 otherwise).
  int64_t Pilot() const { return TwoStage() ? std::max<int64_t>(minReplications, 2) : 0; }
  bool Planned() const { return !plan.empty(); }
  // Observations of each variable that are used at most.
  int64_t Limit() const { return Fixed() ? replications : maxReplications; }
  // The number of looks K (1 outside precision mode).
  int Looks() const;
  // The smallest maximum M (at least minReplications) at which the
  // Clopper-Pearson interval of 0/1 observations with mean 1/2, the widest,
  // computed at the level the looks up to M call for, has a half-width of
  // at most `absolute`; kMostReplications when even that many are too few.
  // REQUIRES: absolute > 0.
  int64_t WorstCase() const;
  // Whether kMostReplications are enough for WorstCase: an absolute target
  // finer than that is met by no study. REQUIRES: absolute > 0.
  bool WorstCaseReachable() const;
  // The level every interval is computed at; in two-stage mode the level
  // of the worst case, the last look.
  double IntervalConfidence() const;
  // The level of an interval of `n` observations: IntervalConfidence(),
  // but in a planned two-stage rule that of the look `n` is at (or the
  // next one).
  double LevelAt(int64_t n) const;
  // Two-stage mode: the level of the planned look.
  double PlannedConfidence() const;
  // Two-stage mode: this rule with its plan, from the pilot's statistics
  // of the variables marked in `considered`. REQUIRES: TwoStage().
  StoppingRule Planned(const std::vector<RunningStatistics>& pilot, const std::vector<bool>& considered) const;
  // Two-stage mode: the observations a variable whose pilot is `pilot`
  // needs at the planned look.
  int64_t PlannedNeed(const RunningStatistics& pilot) const;
  // The first look at `n` observations or more (precision mode); Limit()
  // in the other modes.
  int64_t NextLook(int64_t n) const;
  bool IsLook(int64_t n) const { return NextLook(n) == n; }
  ConfidenceInterval Interval(const RunningStatistics& statistics) const;
  // The half-width the precision targets are compared with.
  double RuleHalfWidth(const RunningStatistics& statistics) const;
  // Precision met by the variable now (precision mode; fixed mode: the
  // count is reached). Looks are the caller's business.
  bool Precise(const RunningStatistics& statistics) const;
  // Rough number of observations the variable will need in all, from what
  // it has shown so far; for progress estimates only.
  int64_t EstimateNeeded(const RunningStatistics& statistics) const;
};

#endif
