#include "simmgr/RunningStatistics.h"

#include <cmath>
#include <gtest/gtest.h>

#include "simmgr/StoppingRule.h"

// Hand values: 2, 4, 4, 4, 5, 5, 7, 9 has mean 5 and sum of squared
// deviations 32, so the sample variance is 32/7; t(7, 0.975) = 2.364624.
TEST(RunningStatisticsTest, MeanVarianceAndIntervalMatchHandValues) {
  RunningStatistics s;
  EXPECT_EQ(s.Count(), 0);
  EXPECT_EQ(s.Mean(), 0.0);
  EXPECT_TRUE(std::isinf(s.HalfWidth(0.95)));
  s.Add(2.0);
  EXPECT_EQ(s.Variance(), 0.0);
  EXPECT_TRUE(std::isinf(s.HalfWidth(0.95)));
  for (double x : {4.0, 4.0, 4.0, 5.0, 5.0, 7.0, 9.0}) s.Add(x);
  EXPECT_EQ(s.Count(), 8);
  EXPECT_DOUBLE_EQ(s.Mean(), 5.0);
  EXPECT_NEAR(s.Variance(), 32.0 / 7.0, 1e-12);
  EXPECT_NEAR(s.HalfWidth(0.95), 2.364624 * std::sqrt(32.0 / 7.0 / 8.0), 1e-5);
  // Known quantiles: t(1, 0.975) = 12.7062, t(9, 0.995) = 3.249836, and the
  // normal limit 1.959964.
  EXPECT_NEAR(RunningStatistics::StudentQuantile(1, 0.95), 12.7062047, 1e-6);
  EXPECT_NEAR(RunningStatistics::StudentQuantile(9, 0.99), 3.2498355, 1e-6);
  EXPECT_NEAR(RunningStatistics::StudentQuantile(100000000, 0.95), 1.959964, 1e-5);
  EXPECT_TRUE(std::isinf(RunningStatistics::StudentQuantile(0, 0.95)));
  EXPECT_TRUE(std::isinf(RunningStatistics::StudentQuantile(5, 1.0)));
}

// Counts of events: the mean is the exact fraction, whatever the order.
TEST(RunningStatisticsTest, ZeroOneObservationsGiveTheExactFraction) {
  RunningStatistics s;
  for (int i = 0; i < 2000; ++i) s.Add(i % 143 == 0 ? 1.0 : 0.0);
  EXPECT_EQ(s.Mean(), 14.0 / 2000.0);
  // p(1-p) n/(n-1) for a 0/1 sample.
  EXPECT_NEAR(s.Variance(), 0.007 * 0.993 * 2000.0 / 1999.0, 1e-15);
}

TEST(StoppingRuleTest, FixedAndPrecisionRules) {
  StoppingRule fixed;
  fixed.replications = 10;
  RunningStatistics s;
  for (int i = 0; i < 9; ++i) s.Add(i % 2);
  EXPECT_FALSE(fixed.Precise(s));
  s.Add(1.0);
  EXPECT_TRUE(fixed.Precise(s));
  EXPECT_EQ(fixed.Limit(), 10);

  // Half-width of 400 observations with p = 0.5: 1.966 * sqrt(0.25063/400) = 0.0492.
  RunningStatistics half;
  for (int i = 0; i < 400; ++i) half.Add(i % 2);
  StoppingRule rule;
  rule.minReplications = 100;
  rule.absolute = 0.05;
  EXPECT_TRUE(rule.Precise(half));
  rule.absolute = 0.045;
  EXPECT_FALSE(rule.Precise(half));
  rule.relative = 0.1;  // 0.1 * 0.5 = 0.05 is met although 0.045 is not
  EXPECT_TRUE(rule.Precise(half));
  rule.minReplications = 401;
  EXPECT_FALSE(rule.Precise(half));
  EXPECT_GT(rule.EstimateNeeded(half), 400);

  // A variable that has shown no event: the relative rule has no meaning
  // and the t interval is [0, 0]; only the bound -ln(0.05)/n = 2.996/n
  // counts against the absolute target.
  RunningStatistics none;
  for (int i = 0; i < 299; ++i) none.Add(0.0);
  StoppingRule zero;
  zero.minReplications = 100;
  zero.relative = 0.5;
  EXPECT_FALSE(zero.Precise(none));
  zero.absolute = 0.01;
  EXPECT_FALSE(zero.Precise(none));  // 2.996/299 > 0.01
  none.Add(0.0);
  none.Add(0.0);
  EXPECT_TRUE(zero.Precise(none));   // 2.996/301 < 0.01
  EXPECT_NEAR(zero.RuleHalfWidth(none), -std::log(0.05) / 301.0, 1e-12);
}
