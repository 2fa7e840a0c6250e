#include "simmgr/RunningStatistics.h"
#include "simmgr/ConfidenceInterval.h"
#include "simmgr/NumberText.h"

#include <cmath>
#include <gtest/gtest.h>


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
  // Observations of -0 are zeros: their mean is 0 (shown as "0", never
  // "-0"), and they are 0/1 observations.
  RunningStatistics zeros;
  for (int i = 0; i < 3; ++i) zeros.Add(-0.0);
  EXPECT_EQ(zeros.Mean(), 0.0);
  EXPECT_FALSE(std::signbit(zeros.Mean()));
  EXPECT_EQ(zeros.Variance(), 0.0);
  EXPECT_TRUE(zeros.Binary());
  // Sums that overflowed both ways have no mean: it is shown as "nan",
  // never "-nan", which some readers of the files do not take for one.
  RunningStatistics both;
  for (double x : {1e308, 1e308, -1e308, -1e308}) both.Add(x);
  EXPECT_TRUE(std::isnan(both.Mean()));
  EXPECT_FALSE(std::signbit(both.Mean()));
  EXPECT_EQ(NumberText::Shortest(both.Mean()), "nan");
}

// The mean and the variance are rounded once from the exact sums: equal
// observations have their own value as the mean (a mean 1 ulp off was
// written for 85139 observations of 0.1), and the variance is the exact
// one rounded (from n S2 - S1^2 = 82.70800000000000185..., over 30).
TEST(RunningStatisticsTest, MeanAndVarianceAreRoundedOnce) {
  RunningStatistics tenths;
  for (int i = 0; i < 85139; ++i) tenths.Add(0.1);
  EXPECT_EQ(tenths.Mean(), 0.1);
  RunningStatistics s;
  for (double x : {0.1, 3.3, 0.7, 3.3, 0.2, 2.5}) s.Add(x);
  EXPECT_EQ(s.Variance(), 2.3136666666666663);
}

// Observations so large that n times the sum of their squares leaves the
// range of doubles, although their variance does not: the variance must
// not come out as 0, which makes the t interval a single point.
TEST(RunningStatisticsTest, LargeObservationsKeepTheirSpread) {
  RunningStatistics s;
  s.Add(9e153);
  s.Add(8e153);  // squares 8.1e307 + 6.4e307: finite; twice that is not
  ASSERT_TRUE(s.SumOfSquares().Finite());
  const double variance = s.Variance();  // (1e153)^2 / 2 = 5e305
  EXPECT_FALSE(variance == 0.0) << "variance " << variance;
  EXPECT_NEAR(variance / 5e305, 1.0, 1e-12);
  const ConfidenceInterval ci = ConfidenceInterval::Of(ConfidenceInterval::kStudentT, s, 0.95);
  // An interval it cannot compute is no interval; one without width claims
  // certainty the two different observations do not give.
  if (ci.Valid()) {
    EXPECT_LT(ci.Low(), 8e153);
    EXPECT_GT(ci.High(), 9e153);
  }
}

// Observations so small that their squares lose digits to underflow (equal
// ones of 1e-162, whose squares round to 0) leave sums whose n S2 falls
// short of S1^2 by those lost digits: saved in a study's state, they must
// read back, or the study cannot be resumed. Sums that really disagree,
// however small, are still refused.
TEST(RunningStatisticsTest, TinyObservationsRebuildFromTheirParts) {
  for (double x : {1e-162, 3e-170, 1e-300, 5e-324}) {
    for (int n : {2, 1000, 100000}) {
      for (bool equal : {true, false}) {
        RunningStatistics s;
        for (int i = 0; i < n; ++i) s.Add(equal || i % 3 != 0 ? x : 2 * x);
        RunningStatistics back;
        ASSERT_TRUE(RunningStatistics::FromParts(s.Count(), s.Sum(), s.SumOfSquares(), s.Binary(), back))
            << x << " n " << n << (equal ? " equal" : "");
        EXPECT_EQ(back.Mean(), s.Mean());
        EXPECT_EQ(back.Variance(), s.Variance());
      }
    }
  }
  // Two observations summing to 2e-150 have squares of at least 2e-300.
  ExactSum sum, squares;
  sum.Add(2e-150);
  squares.Add(1e-300);
  RunningStatistics back;
  EXPECT_FALSE(RunningStatistics::FromParts(2, sum, squares, false, back));
}
