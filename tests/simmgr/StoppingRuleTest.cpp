#include "simmgr/StoppingRule.h"

#include <cmath>
#include <random>
#include <gtest/gtest.h>
#include <vector>

namespace {

RunningStatistics Binary(int64_t n, int64_t ones) {
  RunningStatistics s;
  for (int64_t i = 0; i < n; ++i) s.Add(i < ones ? 1.0 : 0.0);
  return s;
}

}  // namespace

// Looks at min * 2^j up to the maximum, and the level every interval is
// computed at: the nominal one shared among the looks (and, for
// simultaneous intervals, among the variables).
TEST(StoppingRuleTest, LooksAndTheLevelTheyCost) {
  StoppingRule rule;
  rule.absolute = 0.01;
  // 1000, 2000, ..., 8 192 000, then 10 000 000.
  EXPECT_EQ(rule.Looks(), 15);
  EXPECT_EQ(rule.NextLook(0), 1000);
  EXPECT_EQ(rule.NextLook(1000), 1000);
  EXPECT_EQ(rule.NextLook(1001), 2000);
  EXPECT_EQ(rule.NextLook(8192001), 10000000);
  EXPECT_EQ(rule.NextLook(20000000), 10000000);
  EXPECT_TRUE(rule.IsLook(4000));
  EXPECT_FALSE(rule.IsLook(3000));
  EXPECT_TRUE(rule.IsLook(10000000));
  EXPECT_DOUBLE_EQ(rule.IntervalConfidence(), 1.0 - 0.05 / 15);
  rule.simultaneous = true;
  rule.variables = 3;
  EXPECT_DOUBLE_EQ(rule.IntervalConfidence(), 1.0 - 0.05 / 45);
  rule.maxReplications = 1000;
  EXPECT_EQ(rule.Looks(), 1);

  StoppingRule fixed;
  fixed.replications = 500;
  EXPECT_EQ(fixed.Looks(), 1);
  EXPECT_EQ(fixed.NextLook(1), 500);
  EXPECT_EQ(fixed.IntervalConfidence(), 0.95);
  fixed.simultaneous = true;
  fixed.variables = 3;
  EXPECT_DOUBLE_EQ(fixed.IntervalConfidence(), 1.0 - 0.05 / 3);
  RunningStatistics s = Binary(499, 10);
  EXPECT_FALSE(fixed.Precise(s));
  s.Add(0.0);
  EXPECT_TRUE(fixed.Precise(s));

  StoppingRule test;
  test.testLabel = "reliability@365";
  test.test = SequentialTest(SequentialTest::kBelow, 0.1, 0.05, 0.05, 0.01);
  EXPECT_TRUE(test.Hypothesis());
  EXPECT_EQ(test.Looks(), 1);
  EXPECT_EQ(test.Limit(), test.maxReplications);
  EXPECT_FALSE(test.Precise(Binary(1000000, 10)));
}

// Precision of 0/1 observations is judged by the Clopper-Pearson interval
// at the corrected level, the larger distance from the mean to an end; at
// zero failures that is the upper end itself, so no separate rule is
// needed for it.
TEST(StoppingRuleTest, PrecisionOfProbabilitiesIncludingNoFailureSeen) {
  StoppingRule rule;
  rule.absolute = 0.02;
  rule.minReplications = 100;
  rule.maxReplications = 100 * 64;  // 7 looks
  ASSERT_EQ(rule.Looks(), 7);
  const double level = 1.0 - 0.05 / 7;
  const RunningStatistics half = Binary(6400, 3200);
  const ConfidenceInterval exact = ConfidenceInterval::ClopperPearson(3200, 6400, level);
  EXPECT_EQ(rule.RuleHalfWidth(half), std::max(0.5 - exact.Low(), exact.High() - 0.5));
  EXPECT_TRUE(rule.Precise(half));  // about 2.69 * 0.5 / 80 = 0.0168
  EXPECT_FALSE(rule.Precise(Binary(3200, 1600)));  // about 0.0238
  rule.relative = 0.05;  // 0.05 * 0.5 = 0.025 is met although 0.02 is not
  EXPECT_TRUE(rule.Precise(Binary(3200, 1600)));
  rule.relative = 0.0;

  // None seen in n: the interval is [0, 1 - (a/2)^(1/n)], a = 0.05 / 7.
  const double a = 0.05 / 7;
  for (int64_t n : {200, 400, 800, 1600}) {
    const RunningStatistics none = Binary(n, 0);
    const double upper = 1.0 - std::pow(a / 2.0, 1.0 / static_cast<double>(n));
    EXPECT_NEAR(rule.RuleHalfWidth(none), upper, 1e-12) << n;
    EXPECT_EQ(rule.Precise(none), upper <= 0.02) << n;
  }
  // Below the minimum nothing is precise.
  EXPECT_FALSE(rule.Precise(Binary(99, 0)));

  // Equal observations that are not 0 or 1 have a t interval without
  // width: the distance -ln(1 - level) / n stands in for it.
  RunningStatistics constant;
  for (int i = 0; i < 400; ++i) constant.Add(2.5);
  EXPECT_NEAR(rule.RuleHalfWidth(constant), -std::log(1.0 - level) / 400.0, 1e-12);
  // And the interval reported is that one, not a point that would claim
  // certainty from two observations.
  const ConfidenceInterval reported = rule.Interval(constant);
  EXPECT_EQ(reported.HalfWidth(2.5), rule.RuleHalfWidth(constant));
  EXPECT_EQ(reported.Low(), 2.5 - rule.RuleHalfWidth(constant));
  RunningStatistics two;
  two.Add(0.5);
  two.Add(0.5);
  EXPECT_NEAR(ConfidenceInterval::Of(ConfidenceInterval::kAutomatic, two, 0.95).HalfWidth(0.5),
              -std::log(0.05) / 2.0, 1e-12);
  // Equal observations of 1e17, whose stand-in is below the spacing of the
  // doubles there, meet no absolute target finer than that spacing.
  RunningStatistics large;
  for (int i = 0; i < 400; ++i) large.Add(1e17);
  EXPECT_EQ(rule.RuleHalfWidth(large), 16.0);
  EXPECT_FALSE(rule.Precise(large));
  // Other observations: the t interval.
  RunningStatistics real;
  for (int i = 0; i < 400; ++i) real.Add(i % 2 == 0 ? 0.25 : 0.75);
  EXPECT_EQ(rule.Interval(real).Used(), ConfidenceInterval::kStudentT);
  EXPECT_NEAR(rule.RuleHalfWidth(real), real.HalfWidth(level), 1e-15);
  EXPECT_GT(rule.EstimateNeeded(Binary(200, 100)), 200);
  EXPECT_TRUE(rule.IsLook(rule.EstimateNeeded(Binary(200, 100))));

  // Observations whose sum overflows have an infinite mean and no
  // interval: an infinite half-width is not within any share of it.
  RunningStatistics huge;
  for (int i = 0; i < 400; ++i) huge.Add(i % 2 == 0 ? 1.5e308 : 1.0e308);
  ASSERT_FALSE(rule.Interval(huge).Valid());
  rule.relative = 0.05;
  EXPECT_FALSE(rule.Precise(huge));
  rule.relative = 0.0;
  EXPECT_FALSE(rule.Precise(huge));
}

// With an absolute target alone the looks end at the worst case: there
// every Clopper-Pearson interval of 0/1 observations, whatever their mean,
// is narrow enough at the level the looks up to there call for, and one
// replication earlier some is not.
TEST(StoppingRuleTest, TheWorstCaseEndsTheLooks) {
  StoppingRule rule;
  rule.absolute = 0.02;
  const int64_t worst = rule.WorstCase();
  rule.maxReplications = worst;
  EXPECT_EQ(rule.Looks(), 3);  // 1000, 2000 and the worst case
  EXPECT_GT(worst, 2000);
  const double level = rule.IntervalConfidence();
  auto widest = [&](int64_t n) {
    double w = 0.0;
    for (int64_t x = 0; x <= n; ++x) {
      w = std::max(w, ConfidenceInterval::ClopperPearson(x, n, level).HalfWidth(static_cast<double>(x) / n));
    }
    return w;
  };
  EXPECT_LE(widest(worst), 0.02);
  EXPECT_GT(widest(worst - 1), 0.02);
  EXPECT_EQ(worst, 3632);
  EXPECT_DOUBLE_EQ(level, 1.0 - 0.05 / 3);

  // The default study (make run): 0.01 at 99% looks at 1000, 2000, 4000,
  // 8000, 16 000 and 24 811, every interval at 1 - 0.01 / 6.
  StoppingRule run;
  run.absolute = 0.01;
  run.confidence = 0.99;
  run.maxReplications = run.WorstCase();
  EXPECT_EQ(run.maxReplications, 24811);
  std::vector<int64_t> looks;
  for (int64_t n = run.NextLook(1); looks.size() < 10; n = run.NextLook(n + 1)) {
    looks.push_back(n);
    if (n == run.maxReplications) break;
  }
  EXPECT_EQ(looks, (std::vector<int64_t>{1000, 2000, 4000, 8000, 16000, 24811}));
  EXPECT_EQ(run.Looks(), 6);
  EXPECT_DOUBLE_EQ(run.IntervalConfidence(), 1.0 - 0.01 / 6);
  // Taken further to 0.01 at 95%: six looks, up to 17 501.
  run.confidence = 0.95;
  run.maxReplications = 10000000;
  EXPECT_EQ(run.WorstCase(), 17501);

  // Simultaneous intervals cost more replications.
  rule.maxReplications = 10000000;
  rule.simultaneous = true;
  rule.variables = 3;
  EXPECT_GT(rule.WorstCase(), worst);
}

// A worst case beyond the default maximum of 10 000 000: the looks up to it
// are more than those up to 10 000 000, and its level is theirs. The search
// stopped as soon as the count of looks did not fall, with a maximum found
// at the level of 15 looks that has 16: an interval near 1/2 was still
// 0.000302 wide at the last look, and the experiment ended without its
// precision.
TEST(StoppingRuleTest, AWorstCaseBeyondTheDefaultMaximumHasTheLevelOfItsOwnLooks) {
  StoppingRule rule;
  rule.absolute = 0.0003;
  rule.maxReplications = rule.WorstCase();
  EXPECT_GT(rule.maxReplications, 10000000);
  EXPECT_GT(rule.Looks(), 15);
  const int64_t n = rule.maxReplications;
  const double level = rule.IntervalConfidence();
  EXPECT_LE(ConfidenceInterval::ClopperPearson(n / 2, n, level).HalfWidth(static_cast<double>(n / 2) / n), 0.0003);
  // Started low, as from a small maximum, the search still ends at the same
  // worst case: 0.01 at 95% is six looks, up to 17 501.
  StoppingRule small;
  small.absolute = 0.01;
  small.maxReplications = 2000;
  EXPECT_EQ(small.WorstCase(), 17501);
}

// Looks at the end of int64_t's range: doubling the last look below the
// maximum overflowed (a maximum of 2^63 - 1, as a damaged saved state could
// give, left Looks() doubling a wrapped-around count for ever).
TEST(StoppingRuleTest, LooksNearTheEndOfTheRangeDoNotOverflow) {
  StoppingRule rule;
  rule.absolute = 0.01;
  rule.minReplications = 1000;
  rule.maxReplications = INT64_MAX;
  // 1000 * 2^k for k = 0 .. 53 lie below 2^63 - 1, then the maximum.
  EXPECT_EQ(rule.Looks(), 55);
  EXPECT_EQ(rule.NextLook(1001), 2000);
  EXPECT_EQ(rule.NextLook(int64_t{1000} << 53), int64_t{1000} << 53);
  EXPECT_EQ(rule.NextLook((int64_t{1000} << 53) + 1), INT64_MAX);
  EXPECT_EQ(rule.NextLook(INT64_MAX), INT64_MAX);
  EXPECT_TRUE(rule.IsLook(INT64_MAX));
  rule.minReplications = INT64_MAX / 2 + 1;
  EXPECT_EQ(rule.Looks(), 2);
  EXPECT_EQ(rule.NextLook(2), INT64_MAX / 2 + 1);
  EXPECT_EQ(rule.NextLook(INT64_MAX / 2 + 2), INT64_MAX);
  // An odd maximum just past a doubled look: that look is still one.
  rule.minReplications = 3;
  rule.maxReplications = 7;
  EXPECT_EQ(rule.Looks(), 3);  // 3, 6, 7
  EXPECT_EQ(rule.NextLook(4), 6);
  EXPECT_EQ(rule.NextLook(7), 7);
}

// Two-stage mode: a pilot of the minimum, a look planned from it at nine
// tenths of 1 - C, and the worst case at the tenth left. Only an absolute
// target in precision mode has a pilot.
TEST(StoppingRuleTest, TwoStageLevelsAndPilot) {
  StoppingRule rule;
  rule.absolute = 0.01;
  rule.twoStage = true;
  EXPECT_TRUE(rule.TwoStage());
  EXPECT_EQ(rule.Pilot(), 1000);
  EXPECT_EQ(rule.Looks(), 2);
  EXPECT_DOUBLE_EQ(rule.PlannedConfidence(), 1.0 - 0.9 * 0.05);
  EXPECT_DOUBLE_EQ(rule.IntervalConfidence(), 1.0 - 0.1 * 0.05);
  rule.simultaneous = true;
  rule.variables = 3;
  EXPECT_DOUBLE_EQ(rule.PlannedConfidence(), 1.0 - 0.9 * 0.05 / 3);
  EXPECT_DOUBLE_EQ(rule.IntervalConfidence(), 1.0 - 0.1 * 0.05 / 3);
  // The worst case at the level of its own look: the Clopper-Pearson
  // half-width near 1/2 at 99.5%.
  rule.simultaneous = false;
  const int64_t worst = rule.WorstCase();
  EXPECT_NEAR(static_cast<double>(worst), 2.807 * 2.807 / (4 * 0.01 * 0.01), 300.0);
  // Counted after the pilot, whose size does not bound it.
  StoppingRule longPilot = rule;
  longPilot.minReplications = 100000;
  EXPECT_EQ(longPilot.WorstCase(), worst);

  StoppingRule fixed = rule;
  fixed.replications = 500;
  EXPECT_FALSE(fixed.TwoStage());
  EXPECT_EQ(fixed.Pilot(), 0);
  EXPECT_EQ(fixed.IntervalConfidence(), 0.95);
}

// The plan: the pilot's probability taken at the end of its 98% interval
// nearer 1/2 decides the first look, at which an interval of that mean is
// narrow enough; a pilot near 1/2 plans the look 1/2 needs at the planned
// level, the largest there is, still below the worst case; a pilot that is
// not of 0/1 observations plans the worst case alone. Intervals take the level of the look their
// count is at, and a planned look below the minimum can stop the run (the
// minimum is the pilot's).
TEST(StoppingRuleTest, TwoStagePlanFromThePilot) {
  StoppingRule rule;
  rule.absolute = 0.01;
  rule.twoStage = true;
  rule.maxReplications = rule.WorstCase();
  const std::vector<bool> considered = {true, true};

  // No failure in the pilot: the 98% upper end is 1 - 0.01^(1/1000).
  const StoppingRule rare = rule.Planned({Binary(1000, 0), Binary(1000, 0)}, considered);
  ASSERT_EQ(rare.plan.size(), 2u);
  EXPECT_EQ(rare.plan.back(), rule.maxReplications);
  const int64_t first = rare.plan.front();
  EXPECT_LT(first, 1000);
  EXPECT_EQ(rare.NextLook(1), first);
  EXPECT_EQ(rare.NextLook(first + 1), rule.maxReplications);
  EXPECT_DOUBLE_EQ(rare.LevelAt(first), rule.PlannedConfidence());
  EXPECT_DOUBLE_EQ(rare.LevelAt(first + 1), rule.IntervalConfidence());
  const double upper = 1.0 - std::pow(0.01, 1.0 / 1000);
  const int64_t ones = std::llround(upper * static_cast<double>(first));
  const RunningStatistics atPlan = Binary(first, ones);
  EXPECT_TRUE(rare.Precise(atPlan));
  const ConfidenceInterval expected = ConfidenceInterval::ClopperPearson(ones, first, rule.PlannedConfidence());
  EXPECT_DOUBLE_EQ(rare.Interval(atPlan).High(), expected.High());
  // The variable nearest 1/2 plans: 300 of 1000 needs more than 100 of
  // 1000, and the same on the other side of 1/2.
  const StoppingRule mixed = rule.Planned({Binary(1000, 100), Binary(1000, 300)}, considered);
  const StoppingRule alone = rule.Planned({Binary(1000, 300), Binary(1000, 300)}, considered);
  const StoppingRule mirrored = rule.Planned({Binary(1000, 700), Binary(1000, 100)}, considered);
  EXPECT_EQ(mixed.plan, alone.plan);
  EXPECT_EQ(mirrored.plan, alone.plan);
  EXPECT_GT(alone.plan.front(), 8000);
  EXPECT_LT(alone.plan.front(), rule.maxReplications);
  // An unconsidered variable does not plan.
  EXPECT_EQ(rule.Planned({Binary(1000, 500), Binary(1000, 0)}, {false, true}).plan, rare.plan);

  const StoppingRule half = rule.Planned({Binary(1000, 480), Binary(1000, 0)}, considered);
  ASSERT_EQ(half.plan.size(), 2u);
  EXPECT_EQ(half.plan, rule.Planned({Binary(1000, 500), Binary(1000, 0)}, considered).plan);
  EXPECT_NEAR(static_cast<double>(half.plan.front()), 2.005 * 2.005 / (4 * 0.01 * 0.01), 200.0);
  EXPECT_GT(half.plan.front(), alone.plan.front());
  RunningStatistics measured;
  for (int i = 0; i < 1000; ++i) measured.Add(i % 3 == 0 ? 2.5 : 0.5);
  const StoppingRule unplanned = rule.Planned({measured, Binary(1000, 0)}, considered);
  EXPECT_EQ(unplanned.plan, std::vector<int64_t>{rule.maxReplications});
  EXPECT_DOUBLE_EQ(unplanned.LevelAt(1), rule.IntervalConfidence());
  // A maximum asked for ends the plan.
  StoppingRule capped = rule;
  capped.maxReplications = 5000;
  EXPECT_EQ(capped.Planned({Binary(1000, 300), Binary(1000, 0)}, considered).plan, std::vector<int64_t>{5000});
}

// The whole procedure on Bernoulli draws, as the manager runs it: the
// pilot apart, the planned look, else the worst case. Its interval must
// hold at least as often as the nominal level (Clopper-Pearson is
// conservative; 2000 runs give a standard error of about 0.5%).
TEST(StoppingRuleTest, TwoStageIntervalsHoldAtTheirLevel) {
  StoppingRule rule;
  rule.absolute = 0.05;
  rule.twoStage = true;
  rule.minReplications = 100;
  rule.maxReplications = rule.WorstCase();
  const std::vector<bool> considered = {true};
  std::mt19937_64 random(20261210);
  for (const double p : {0.02, 0.2, 0.45}) {
    std::bernoulli_distribution draw(p);
    int held = 0;
    const int runs = 2000;
    for (int run = 0; run < runs; ++run) {
      std::vector<RunningStatistics> pilot(1);
      for (int64_t i = 0; i < rule.Pilot(); ++i) pilot[0].Add(draw(random) ? 1.0 : 0.0);
      const StoppingRule planned = rule.Planned(pilot, considered);
      RunningStatistics sample;
      for (const int64_t look : planned.plan) {
        while (sample.Count() < look) sample.Add(draw(random) ? 1.0 : 0.0);
        if (planned.Precise(sample)) break;
      }
      const ConfidenceInterval interval = planned.Interval(sample);
      if (interval.Low() <= p && p <= interval.High()) ++held;
    }
    EXPECT_GE(held, runs * 94 / 100) << "p = " << p;
  }
}
