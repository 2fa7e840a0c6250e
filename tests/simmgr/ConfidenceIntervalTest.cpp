#include "simmgr/ConfidenceInterval.h"

#include <cmath>
#include <gtest/gtest.h>

namespace {

RunningStatistics Binary(int64_t n, int64_t ones) {
  RunningStatistics s;
  for (int64_t i = 0; i < n; ++i) s.Add(i < ones ? 1.0 : 0.0);
  return s;
}

// The binomial probability of x in n at p, by logarithms.
double Binomial(int n, int x, double p) {
  return std::exp(std::lgamma(n + 1.0) - std::lgamma(x + 1.0) - std::lgamma(n - x + 1.0) + x * std::log(p) +
                  (n - x) * std::log1p(-p));
}

}  // namespace

// Published 95% Clopper-Pearson intervals (as statistical software gives
// them, to 1e-8), the one-sided ends included: 0/10 is [0, 0.3084971],
// 10/10 [0.6915029, 1], and in general the end at x = 0 is
// 1 - (0.025)^(1/n) exactly.
TEST(ConfidenceIntervalTest, ClopperPearsonMatchesPublishedValues) {
  struct Case {
    int64_t x, n;
    double low, high;
  };
  for (const Case& c : {Case{0, 10, 0.0, 0.30849710}, Case{1, 10, 0.00252858, 0.44501612},
                        Case{3, 10, 0.06673951, 0.65245285}, Case{5, 10, 0.18708603, 0.81291397},
                        Case{10, 10, 0.69150290, 1.0}, Case{0, 1000, 0.0, 0.00368208}}) {
    const ConfidenceInterval ci = ConfidenceInterval::ClopperPearson(c.x, c.n, 0.95);
    ASSERT_TRUE(ci.Valid());
    EXPECT_NEAR(ci.Low(), c.low, 1e-8) << c.x << "/" << c.n;
    EXPECT_NEAR(ci.High(), c.high, 1e-8) << c.x << "/" << c.n;
  }
  EXPECT_EQ(ConfidenceInterval::ClopperPearson(0, 10, 0.95).Low(), 0.0);
  EXPECT_EQ(ConfidenceInterval::ClopperPearson(10, 10, 0.95).High(), 1.0);
  for (int64_t n : {2, 17, 400, 123456}) {
    EXPECT_NEAR(ConfidenceInterval::ClopperPearson(0, n, 0.99).High(), 1.0 - std::pow(0.005, 1.0 / n), 1e-13);
    EXPECT_NEAR(ConfidenceInterval::ClopperPearson(n, n, 0.99).Low(), std::pow(0.005, 1.0 / n), 1e-13);
  }
  // Symmetry: x/n and (n-x)/n mirror each other.
  const ConfidenceInterval a = ConfidenceInterval::ClopperPearson(7, 23, 0.9);
  const ConfidenceInterval b = ConfidenceInterval::ClopperPearson(16, 23, 0.9);
  EXPECT_NEAR(a.Low(), 1.0 - b.High(), 1e-14);
  EXPECT_NEAR(a.High(), 1.0 - b.Low(), 1e-14);
  EXPECT_FALSE(ConfidenceInterval::ClopperPearson(11, 10, 0.95).Valid());
  EXPECT_FALSE(ConfidenceInterval::ClopperPearson(1, 10, 1.0).Valid());
}

// The exact method holds its level for every p: the probability, summed
// over every outcome x of binomial(n, p), that the interval of x contains
// p is at least 95%.
TEST(ConfidenceIntervalTest, ClopperPearsonCoversAtLeastItsLevelForEveryProbability) {
  for (int n : {5, 20, 60}) {
    for (double p = 0.005; p < 1.0; p += 0.0137) {
      double covered = 0.0;
      for (int x = 0; x <= n; ++x) {
        const ConfidenceInterval ci = ConfidenceInterval::ClopperPearson(x, n, 0.95);
        if (ci.Low() <= p && p <= ci.High()) covered += Binomial(n, x, p);
      }
      EXPECT_GE(covered, 0.95 - 1e-12) << "n " << n << " p " << p;
    }
  }
}

// Published 95% Wilson score intervals: 3/10 is [0.1077913, 0.6032219],
// 0/10 [0, 0.2775328], 10/10 [0.7224672, 1].
TEST(ConfidenceIntervalTest, WilsonMatchesPublishedValues) {
  struct Case {
    int64_t x, n;
    double low, high;
  };
  for (const Case& c : {Case{3, 10, 0.10779127, 0.60322185}, Case{0, 10, 0.0, 0.27753280},
                        Case{10, 10, 0.72246720, 1.0}}) {
    const ConfidenceInterval ci = ConfidenceInterval::Wilson(c.x, c.n, 0.95);
    ASSERT_TRUE(ci.Valid());
    EXPECT_NEAR(ci.Low(), c.low, 1e-7) << c.x << "/" << c.n;
    EXPECT_NEAR(ci.High(), c.high, 1e-7) << c.x << "/" << c.n;
  }
  EXPECT_EQ(ConfidenceInterval::Wilson(0, 10, 0.95).Low(), 0.0);
  EXPECT_EQ(ConfidenceInterval::Wilson(10, 10, 0.95).High(), 1.0);
  EXPECT_NEAR(ConfidenceInterval::NormalQuantile(0.95), 1.959963985, 1e-9);
}

// The method each kind of observations gets, and what an interval says.
TEST(ConfidenceIntervalTest, MethodFollowsTheObservations) {
  const RunningStatistics three = Binary(10, 3);
  ConfidenceInterval ci = ConfidenceInterval::Of(ConfidenceInterval::kAutomatic, three, 0.95);
  EXPECT_EQ(ci.Used(), ConfidenceInterval::kClopperPearson);
  EXPECT_NEAR(ci.High(), 0.65245285, 1e-8);
  EXPECT_NEAR(ci.HalfWidth(0.3), 0.65245285 - 0.3, 1e-8);
  EXPECT_EQ(ConfidenceInterval::Of(ConfidenceInterval::kWilson, three, 0.95).Used(), ConfidenceInterval::kWilson);
  ci = ConfidenceInterval::Of(ConfidenceInterval::kStudentT, three, 0.95);
  EXPECT_EQ(ci.Used(), ConfidenceInterval::kStudentT);
  EXPECT_NEAR(ci.High() - 0.3, three.HalfWidth(0.95), 1e-15);
  EXPECT_NEAR(ci.HalfWidth(0.3), three.HalfWidth(0.95), 1e-15);

  // No failure seen: a t interval would have no width; it takes the exact
  // end instead.
  ci = ConfidenceInterval::Of(ConfidenceInterval::kStudentT, Binary(10, 0), 0.95);
  EXPECT_EQ(ci.Used(), ConfidenceInterval::kStudentT);
  EXPECT_EQ(ci.Low(), 0.0);
  EXPECT_NEAR(ci.High(), 0.30849710, 1e-8);

  // Observations that are not all 0 or 1 have a t interval, whatever was
  // asked for.
  RunningStatistics real;
  for (double x : {2.0, 4.0, 4.0, 4.0, 5.0, 5.0, 7.0, 9.0}) real.Add(x);
  for (ConfidenceInterval::Method m : {ConfidenceInterval::kAutomatic, ConfidenceInterval::kClopperPearson,
                                       ConfidenceInterval::kWilson, ConfidenceInterval::kStudentT}) {
    ci = ConfidenceInterval::Of(m, real, 0.95);
    EXPECT_EQ(ci.Used(), ConfidenceInterval::kStudentT);
    EXPECT_NEAR(ci.Low(), 5.0 - 2.364624 * std::sqrt(32.0 / 7.0 / 8.0), 1e-5);
  }
  // Below two observations there is no interval.
  EXPECT_FALSE(ConfidenceInterval::Of(ConfidenceInterval::kAutomatic, Binary(1, 1), 0.95).Valid());
  EXPECT_TRUE(std::isinf(ConfidenceInterval::Of(ConfidenceInterval::kAutomatic, Binary(1, 1), 0.95).HalfWidth(1.0)));

  ConfidenceInterval::Method m;
  EXPECT_TRUE(ConfidenceInterval::Parse("clopper-pearson", m));
  EXPECT_EQ(m, ConfidenceInterval::kClopperPearson);
  EXPECT_TRUE(ConfidenceInterval::Parse("t", m));
  EXPECT_EQ(m, ConfidenceInterval::kStudentT);
  EXPECT_FALSE(ConfidenceInterval::Parse("Wilson", m));
  EXPECT_FALSE(ConfidenceInterval::Parse("", m));
}

// Levels close to 1 (a simultaneous level shared among many looks and
// variables, or one asked for) leave a tail of 1e-12 or less: the quantile
// must be that of the tail asked for, not of 1 - tail rounded to a double,
// which is off by up to 1e-4 of the tail and here makes the intervals
// narrower. References from 40-digit arithmetic, for the level
// 0.999999999999 as a double.
TEST(ConfidenceIntervalTest, LevelsCloseToOneKeepTheirTails) {
  const double level = 0.999999999999;
  EXPECT_GE(ConfidenceInterval::NormalQuantile(level), 7.13050989287927 * (1 - 1e-14));
  EXPECT_GE(RunningStatistics::StudentQuantile(1000000000, level), 7.13050989287927 * (1 - 1e-14));
  // No failure in 1000: 1 - (tail)^(1/1000).
  EXPECT_GE(ConfidenceInterval::ClopperPearson(0, 1000, level).High(), 0.0279268210970767 * (1 - 1e-13));
}

// A half-width below half a unit in the last place of the mean must not
// round both ends onto it: equal observations of 1e17 (whose stand-in
// half-width, -ln(1 - c) / n, is about 1.5) and a spread tiny beside such a
// mean would otherwise get an interval of no width, precise to any target.
TEST(ConfidenceIntervalTest, LargeMeansKeepAWidth) {
  for (double x : {1e16, 1e17, -3e20, 1e150}) {
    for (int n : {2, 400}) {
      RunningStatistics equal;
      for (int i = 0; i < n; ++i) equal.Add(x);
      const ConfidenceInterval ci = ConfidenceInterval::Of(ConfidenceInterval::kAutomatic, equal, 0.95);
      ASSERT_TRUE(ci.Valid());
      EXPECT_LT(ci.Low(), x) << x << " n " << n;
      EXPECT_GT(ci.High(), x) << x << " n " << n;
      EXPECT_GT(ci.HalfWidth(x), 0.0) << x << " n " << n;
    }
  }
  // A thousand observations of 1e17 and one 16 above (the next double but
  // one): the t half-width is about 1e-3, far below the spacing of 16.
  RunningStatistics spread;
  for (int i = 0; i < 1000; ++i) spread.Add(1e17);
  spread.Add(1e17 + 16.0);
  const double mean = spread.Mean();
  const ConfidenceInterval ci = ConfidenceInterval::Of(ConfidenceInterval::kStudentT, spread, 0.95);
  ASSERT_TRUE(ci.Valid());
  EXPECT_EQ(ci.Low(), std::nextafter(mean, 0.0));
  EXPECT_EQ(ci.High(), std::nextafter(mean, 1e300));
  // Intervals wider than the spacing are left as they were.
  RunningStatistics small;
  for (int i = 0; i < 10; ++i) small.Add(2.5);
  EXPECT_EQ(ConfidenceInterval::Of(ConfidenceInterval::kStudentT, small, 0.95).Low(), 2.5 + std::log(0.05) / 10.0);
}

// Observations of -2^-537, 0 and 2^-537 have a variance of 2^-1074, the
// least there is, whose t half-width underflows to 0. They are not equal,
// and get no interval of no width: the stand-in half-width of equal
// observations is taken.
TEST(ConfidenceIntervalTest, AHalfWidthThatUnderflowsGetsTheStandIn) {
  RunningStatistics tiny;
  for (double x : {-std::ldexp(1.0, -537), 0.0, std::ldexp(1.0, -537)}) tiny.Add(x);
  ASSERT_GT(tiny.Variance(), 0.0);
  const ConfidenceInterval ci = ConfidenceInterval::Of(ConfidenceInterval::kStudentT, tiny, 0.95);
  EXPECT_NEAR(ci.High(), -std::log(0.05) / 3.0, 1e-12);
  EXPECT_NEAR(ci.Low(), std::log(0.05) / 3.0, 1e-12);
}
