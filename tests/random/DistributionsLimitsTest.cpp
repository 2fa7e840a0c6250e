// Variates at parameters where a plain evaluation of the formula leaves the
// precision or the range of a double: the results must still be values of
// the distribution.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "random/Distributions.h"

namespace {

// Always hands out the same uniform.
class ConstantGenerator : public RandomNumberGenerator {
 public:
  explicit ConstantGenerator(double u) : u_(u) {}
  double rnd() override { return u_; }

 private:
  double u_;
};

class Constant {
 public:
  explicit Constant(double u) {
    delete d.generator;
    d.generator = new ConstantGenerator(u);
  }
  Distributions d;
};

TEST(DistributionsLimitsTest, TinySuccessProbabilityGivesHugeCounts) {
  // ln(1 - p) for p below 2^-54 must not be taken as ln 1 = 0: the count is
  // ln(U) / ln(1 - p), about -ln(U) / p, not -inf.
  const double u = 0.5;
  for (double p : {1e-10, 1e-16, 6e-17, 5e-17, 1e-20, 1e-300}) {
    SCOPED_TRACE(p);
    const double expected = std::floor(std::log(u) / std::log1p(-p));
    Constant geometric(u);
    const double g = geometric.d.Geometric(p);
    EXPECT_TRUE(std::isfinite(g)) << g;
    EXPECT_NEAR(g / expected, 1.0, 1e-12);
    Constant negative(u);
    const double nb = negative.d.NegativeBinomial(3, p);
    EXPECT_TRUE(std::isfinite(nb)) << nb;
    EXPECT_NEAR(nb / (3 * expected), 1.0, 1e-12);
  }
}

TEST(DistributionsLimitsTest, BetaWithSmallShapesIsAlwaysAFraction) {
  // Beta(0.001, 0.001) puts almost all its mass next to 0 and 1; both gamma
  // variates often underflow, and their ratio must still be a fraction.
  UserDistributions d(0, 31415);
  const int n = 20000;
  int nearZero = 0;
  for (int i = 0; i < n; i++) {
    const double x = d.Beta(0.001, 0.001);
    ASSERT_TRUE(x >= 0.0 && x <= 1.0) << "draw " << i << ": " << x;
    if (x < 0.5) nearZero++;
  }
  // Symmetric: half of the mass on each side (5 standard errors).
  EXPECT_NEAR(nearZero / static_cast<double>(n), 0.5, 5 * 0.5 / std::sqrt(n));
}

TEST(DistributionsLimitsTest, RemainingLifeOfVeryOldUnitKeepsItsScale) {
  // The remaining life is much shorter than the age's resolution; it must
  // not be rounded to multiples of it. Shape 1 is memoryless: with
  // U = e^-1 the remaining life is exactly 1 whatever the age.
  for (double age : {1e3, 1e15, 1e16, 1e17, 1e30}) {
    Constant c(std::exp(-1.0));
    EXPECT_NEAR(c.d.ConditionalWeibull(1, 1, age), 1.0, 1e-9) << age;
  }
  // Shape 2, scale 1, age b: remaining life sqrt(b^2 + E) - b, about
  // E / (2 b) with E = -ln U = 1.
  for (double age : {1e4, 1e8, 1e9, 1e12}) {
    Constant c(std::exp(-1.0));
    const double r = c.d.ConditionalWeibull(2, 1, age);
    EXPECT_NEAR(r * 2 * age, 1.0, 1e-6) << age;
  }
}

TEST(DistributionsLimitsTest, GammaWithHugeShapeHasItsVariance) {
  // Gamma(a) standardised, (X - a) / sqrt(a), has mean 0 and variance 1
  // for every shape; the acceptance test of the rejection method must not
  // drown in the rounding of terms of size a. Tolerances: 5 standard
  // errors over 200000 draws (variance's kurtosis about 3).
  const int n = 200000;
  for (double shape : {1e12, 1e16, 1e18, 1e22}) {
    SCOPED_TRACE(shape);
    UserDistributions d(0, 31415);
    double sum = 0, sum2 = 0;
    for (int i = 0; i < n; i++) {
      const double z = (d.Gamma(shape, 1) - shape) / std::sqrt(shape);
      sum += z;
      sum2 += z * z;
    }
    const double mean = sum / n;
    EXPECT_NEAR(mean, 0.0, 5 / std::sqrt(n));
    EXPECT_NEAR(sum2 / n - mean * mean, 1.0, 5 * std::sqrt(2.0 / n));
  }
}

// Zero far more standard deviations above the mean than any polar pair can
// reach: the value is still the normal conditioned on being non-negative,
// whose excess over zero is close to an exponential of rate a / sd (mean
// sd / a, less by a factor 1 - 2 / a^2), not NaN and not 0.
TEST(DistributionsLimitsTest, NormalFarBelowZeroStillHasItsTail) {
  const int n = 20000;
  for (double a : {41.0, 1e3, 1e9, 1e100, 1e200}) {
    for (double sd : {1.0, 1e-100}) {
      SCOPED_TRACE(testing::Message() << "a " << a << ", sd " << sd);
      UserDistributions d(0, 31415);
      double sum = 0.0;
      for (int i = 0; i < n; i++) {
        const double x = d.Normal(-a * sd, sd * sd);
        ASSERT_TRUE(x > 0.0 && std::isfinite(x)) << "draw " << i << ": " << x;
        sum += x * a / sd;
      }
      EXPECT_NEAR(sum / n, 1.0 - 2.0 / (a * a), 5.0 / std::sqrt(n));
    }
  }
  // 1e310 standard deviations, a distance that overflows: the excess has
  // mean variance / -mean, here 1e-320 (subnormal; the smallest draws
  // round to 0).
  UserDistributions d(0, 31415);
  double sum = 0.0;
  for (int i = 0; i < n; i++) {
    const double x = d.Normal(-1e300, 1e-20);
    ASSERT_TRUE(x >= 0.0 && std::isfinite(x)) << "draw " << i << ": " << x;
    sum += x;
  }
  EXPECT_NEAR(sum / n / 1e-320, 1.0, 5.0 / std::sqrt(n));
  EXPECT_EQ(d.Normal(-1e300, 1e-300), 0.0);  // 1e450 sd below zero: 1e-600 rounds to 0
}

}  // namespace
