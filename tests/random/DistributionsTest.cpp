#include "random/Distributions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "random/LaggedFibonacci.h"
#include "random/MersenneTwister.h"
#include "random/Tausworthe.h"

namespace {

// Hands out a fixed script of uniforms (cycled) and counts the draws.
class ScriptedGenerator : public RandomNumberGenerator {
 public:
  ScriptedGenerator(std::vector<double> script, int* draws) : script_(script), draws_(draws) {}
  double rnd() override { return script_[(*draws_)++ % script_.size()]; }

 private:
  std::vector<double> script_;
  int* draws_;
};

// A Distributions object drawing from a script; draws counts the uniforms.
class Scripted {
 public:
  explicit Scripted(std::vector<double> script) {
    delete d.generator;
    d.generator = new ScriptedGenerator(script, &draws);
  }
  Distributions d;
  int draws = 0;
};

TEST(DistributionsTest, EachVariateDrawsItsUniformsInOrder) {
  const double u1 = 0.3, u2 = 0.6, u3 = 0.8;
  struct Case {
    const char* name;
    std::function<double(Distributions&)> draw;
    int uniforms;
    double expected;
  };
  const std::vector<Case> cases = {
      {"Deterministic", [](Distributions& d) { return d.Deterministic(4.5); }, 0, 4.5},
      {"Triangular(a,a,c)", [](Distributions& d) { return d.Triangular(2, 2, 7); }, 0, 2.0},
      {"Exponential", [](Distributions& d) { return d.Exponential(2); }, 1, -std::log(u1) / 2},
      {"Gamma(1,b)", [](Distributions& d) { return d.Gamma(1, 3); }, 1, 3 * -std::log(u1)},
      {"Erlang(2.5,b)", [](Distributions& d) { return d.Erlang(2.5, 5); }, 2,
       -(5 / 2.5) * std::log(u1 * u2)},
      {"Erlang(3,b)", [](Distributions& d) { return d.Erlang(3, 6); }, 3,
       -2 * std::log(u1 * u2 * u3)},
      {"Binomial(2.5,p)", [](Distributions& d) { return d.Binomial(2.5, 0.6); }, 3, 2.0},
      {"NegativeBinomial(2.5,p)", [](Distributions& d) { return d.NegativeBinomial(2.5, 0.5); },
       3, std::floor(std::log(u1) / std::log(0.5)) + std::floor(std::log(u2) / std::log(0.5)) +
              std::floor(std::log(u3) / std::log(0.5))},
      {"HypoExponential(0)", [](Distributions& d) { return d.HypoExponential(0, nullptr); }, 0, 0},
      {"Uniform", [](Distributions& d) { return d.Uniform(10, 20); }, 1, 13.0},
      {"Triangular below mode", [](Distributions& d) { return d.Triangular(0, 10, 5); }, 1,
       10 * std::sqrt(u1 * 0.5)},
      {"Pareto", [](Distributions& d) { return d.Pareto(2, 4); }, 1, 2 * std::pow(u1, -0.25)},
      {"Geometric", [](Distributions& d) { return d.Geometric(0.5); }, 1,
       std::floor(std::log(u1) / std::log(0.5))},
      {"Beta(1,1)", [](Distributions& d) { return d.Beta(1, 1); }, 2,
       std::log(u1) / (std::log(u1) + std::log(u2))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scripted s({u1, u2, u3, 0.9, 0.9, 0.9});
    EXPECT_DOUBLE_EQ(c.draw(s.d), c.expected);
    EXPECT_EQ(s.draws, c.uniforms);
  }
  double rates[3] = {1, 2, 4};
  Scripted hypo({u1, u2, u3});
  EXPECT_DOUBLE_EQ(hypo.d.HypoExponential(3, rates),
                   -std::log(u1) - std::log(u2) / 2 - std::log(u3) / 4);
  EXPECT_EQ(hypo.draws, 3);
}

TEST(DistributionsTest, HyperExponentialChoosesBranchByWeight) {
  // Pairs (rate, weight): weights 1 and 3 need not sum to 1.
  double pairs[4] = {2.0, 1.0, 5.0, 3.0};
  const double u2 = 0.5;
  for (double u : {0.0, 0.2, 0.2499}) {
    Scripted s({u, u2});
    EXPECT_DOUBLE_EQ(s.d.HyperExponential(2, pairs), -std::log(u2) / 2.0) << u;
    EXPECT_EQ(s.draws, 2);
  }
  for (double u : {0.25, 0.7, 0.999}) {
    Scripted s({u, u2});
    EXPECT_DOUBLE_EQ(s.d.HyperExponential(2, pairs), -std::log(u2) / 5.0) << u;
    EXPECT_EQ(s.draws, 2);
  }
  // All weights zero: no branch qualifies and the last is taken.
  double unweighted[4] = {2.0, 0.0, 5.0, 0.0};
  Scripted s({0.1, u2});
  EXPECT_DOUBLE_EQ(s.d.HyperExponential(2, unweighted), -std::log(u2) / 5.0);
}

TEST(DistributionsDeathTest, HyperExponentialNeedsAPair) {
  Distributions d;
  EXPECT_DEATH(d.HyperExponential(0, nullptr), "n >= 1");
}

TEST(DistributionsTest, PolarMethodRejectsOutsideDiscAndNegativeNormals) {
  // (0.95, 0.95) lies outside the unit disc; (0.8, 0.6) gives y1 = 0.6 and
  // S = 0.4; (0.2, 0.6) gives y1 = -0.6 with the same S.
  const double w = std::sqrt(-2 * std::log(0.4) / 0.4);
  Scripted normal({0.95, 0.95, 0.8, 0.6});
  EXPECT_NEAR(normal.d.Normal(1, 4), 1 + 2 * 0.6 * w, 1e-12);
  EXPECT_EQ(normal.draws, 4);

  Scripted lognormal({0.2, 0.6});
  EXPECT_NEAR(lognormal.d.Lognormal(1, 4), std::exp(1 - 2 * 0.6 * w), 1e-12);
  EXPECT_EQ(lognormal.draws, 2);

  // A negative value is discarded and a whole new pair drawn.
  Scripted truncated({0.2, 0.6, 0.8, 0.6});
  EXPECT_NEAR(truncated.d.Normal(0, 1), 0.6 * w, 1e-12);
  EXPECT_EQ(truncated.draws, 4);

  UserDistributions real(0, 31415);
  for (int i = 0; i < 20000; i++) ASSERT_GE(real.Normal(-1.0, 1.0), 0.0);
  EXPECT_EQ(real.Normal(2.0, 0.0), 2.0);
  EXPECT_EQ(real.Normal(2.0, -0.0), 2.0);  // the root of -0 is -0
}

TEST(DistributionsTest, ImpossibleParametersGiveNaNWithoutDrawing) {
  // Each of these would otherwise loop for ever (no acceptable value can
  // come out) or overflow the integer counter.
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<std::function<double(Distributions&)>> draws = {
      [](Distributions& d) { return d.Normal(-1, 0); },
      [=](Distributions& d) { return d.Normal(-inf, 1); },
      [](Distributions& d) { return d.Normal(0, -1); },
      [=](Distributions& d) { return d.Normal(nan, 1); },
      [=](Distributions& d) { return d.Normal(-inf, inf); },
      [=](Distributions& d) { return d.Gamma(nan, 1); },
      [=](Distributions& d) { return d.Gamma(inf, 1); },
      [=](Distributions& d) { return d.Beta(inf, 2); },
      [](Distributions& d) { return d.Gamma(-5, 1); },
      [](Distributions& d) { return d.Gamma(-2.718281828459045, 1); },
      [=](Distributions& d) { return d.Gamma(-inf, 1); },
      [](Distributions& d) { return d.Gamma(9e307, 1); },
      [=](Distributions& d) { return d.Erlang(inf, 1); },
      [](Distributions& d) { return d.Erlang(3e9, 1); },
      [=](Distributions& d) { return d.Binomial(inf, 0.5); },
      [=](Distributions& d) { return d.NegativeBinomial(1e300, 0.5); },
      [](Distributions& d) { return d.Normal(-1, -0.0); },
  };
  for (size_t i = 0; i < draws.size(); i++) {
    Scripted s({0.5});
    EXPECT_TRUE(std::isnan(draws[i](s.d))) << i;
    EXPECT_EQ(s.draws, i == 7 ? 2 : 0) << i;  // Beta draws its first gamma
  }
}

TEST(DistributionsTest, GammaShapeAtOrBelowZeroGivesNaNWithoutDrawing) {
  // Between -e and 0 (and at 0) a shape used to give values, U2 = 0
  // accepting the first proposal, that no gamma distribution has and that
  // nothing downstream could tell from a delay.
  for (double shape : {-1.0, -0.5, -1e-9, 0.0}) {
    Scripted s({0.5, 0.0});
    EXPECT_TRUE(std::isnan(s.d.Gamma(shape, 2))) << shape;
    EXPECT_EQ(s.draws, 0) << shape;
  }
  Scripted beta({0.5, 0.0});
  EXPECT_TRUE(std::isnan(beta.d.Beta(-0.5, 1)));
}

TEST(DistributionsTest, GammaRejectionLoops) {
  // Cheng (shape 2): (0.999, 0.999) fails both tests; (0.5, 0.5) gives
  // V = 0, X = shape and passes the quick test.
  Scripted cheng({0.999, 0.999, 0.5, 0.5});
  EXPECT_DOUBLE_EQ(cheng.d.Gamma(2, 3), 6.0);
  EXPECT_EQ(cheng.draws, 4);

  // Small shape 0.5, b = (e + 0.5) / e: U1 = 0.9 takes the P > 1 branch and
  // is rejected by U2 = 0.9; U1 = 0.5 takes the P <= 1 branch, X = (0.5 b)^2
  // = 0.35, which U2 = 0.6 <= e^-X = 0.70 accepts.
  const double b = (std::exp(1.0) + 0.5) / std::exp(1.0);
  Scripted small({0.9, 0.9, 0.5, 0.6});
  EXPECT_DOUBLE_EQ(small.d.Gamma(0.5, 2), 2 * std::pow(b * 0.5, 2.0));
  EXPECT_EQ(small.draws, 4);
}

TEST(DistributionsTest, SmallShapeGammaTestsXBelowOneAgainstItsExponential) {
  // Shape 0.5: U1 = 0.5 gives P = 0.59 <= 1 and X = P^2 = 0.35, where
  // X^(shape - 1) exceeds 1 but e^-X is 0.70. U2 = 0.99 rejects it, and the
  // next pair (0.3, 0.6), X = (0.3 b)^2 = 0.13, is accepted. Accepting every
  // X <= 1 would give the gamma a density proportional to x^(shape - 1)
  // there, without e^-x.
  const double b = (std::exp(1.0) + 0.5) / std::exp(1.0);
  Scripted s({0.5, 0.99, 0.3, 0.6});
  EXPECT_DOUBLE_EQ(s.d.Gamma(0.5, 1), std::pow(b * 0.3, 2.0));
  EXPECT_EQ(s.draws, 4);
}

// Sample mean and variance of n draws.
struct Moments {
  double mean = 0, variance = 0;
};
Moments Sample(int n, const std::function<double()>& draw) {
  double sum = 0, sum2 = 0;
  for (int i = 0; i < n; i++) {
    const double x = draw();
    sum += x;
    sum2 += x * x;
  }
  Moments m;
  m.mean = sum / n;
  m.variance = sum2 / n - m.mean * m.mean;
  return m;
}

// phi(a) / Q(a): the mean of a standard normal conditioned on exceeding a.
double TailMean(double a) {
  return std::exp(-0.5 * a * a) / std::sqrt(2 * M_PI) / (0.5 * std::erfc(a / std::sqrt(2.0)));
}
double TailVariance(double a) { return 1 + a * TailMean(a) - TailMean(a) * TailMean(a); }

TEST(DistributionsTest, MomentsMatchTheDistributions) {
  // 200000 draws from a fixed seed. The tolerances are 5 standard errors of
  // the sample mean (sd / sqrt(n)) and of the sample variance
  // (var * sqrt((kurtosis - 1) / n)), so a correct variate passes for any
  // seed but with odds of about 1e-6, while a wrong scale, rate or shape
  // convention moves a moment by tens of standard errors.
  const int n = 200000;
  struct Case {
    const char* name;
    std::function<double(Distributions&)> draw;
    double mean, variance, kurtosis;
  };
  const std::vector<Case> cases = {
      {"Exponential(2)", [](Distributions& d) { return d.Exponential(2); }, 0.5, 0.25, 9},
      {"Gamma(2.5,2)", [](Distributions& d) { return d.Gamma(2.5, 2); }, 5, 10, 3 + 6 / 2.5},
      {"Gamma(1,3)", [](Distributions& d) { return d.Gamma(1, 3); }, 3, 9, 9},
      {"Gamma(0.5,2)", [](Distributions& d) { return d.Gamma(0.5, 2); }, 1, 2, 3 + 6 / 0.5},
      {"Erlang(3,6)", [](Distributions& d) { return d.Erlang(3, 6); }, 6, 12, 3 + 6 / 3.0},
      {"Beta(2,3)", [](Distributions& d) { return d.Beta(2, 3); }, 0.4, 0.04, 3 - 9.0 / 14},
      {"Uniform(1,3)", [](Distributions& d) { return d.Uniform(1, 3); }, 2, 1 / 3.0, 1.8},
      // Normal(1, 1) conditioned on >= 0: mean 1 + l, variance 1 - l - l^2,
      // l = phi(1) / Phi(1) = 0.2876; kurtosis taken as 4, above the normal's.
      {"Normal(1,1)", [](Distributions& d) { return d.Normal(1, 1); }, 1.2876000, 0.6296862, 4},
      // Zero ten standard deviations above the mean: the tail beyond a = 10,
      // mean l - 10 and variance 1 + a l - l^2 with l = phi(a) / Q(a); close
      // to an exponential of rate a, whose kurtosis is 9.
      {"Normal(-10,1)", [](Distributions& d) { return d.Normal(-10, 1); }, TailMean(10) - 10, TailVariance(10), 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UserDistributions d(0, 31415);
    const Moments m = Sample(n, [&] { return c.draw(d); });
    EXPECT_NEAR(m.mean, c.mean, 5 * std::sqrt(c.variance / n));
    EXPECT_NEAR(m.variance, c.variance, 5 * c.variance * std::sqrt((c.kurtosis - 1) / n));
  }
}

// Parameters whose intermediate values leave the range of a double: an old
// unit's remaining life, a product of thousands of uniforms. Their results
// are finite and right, and every result that never left the range is
// computed exactly as the plain formula computes it.
TEST(DistributionsTest, ExtremeParametersKeepFiniteExactResults) {
  UserDistributions d(0, 31415);
  const int n = 20000;
  // Memoryless: an exponential unit of any age has an exponential remaining
  // life (mean 1, standard error 1 / sqrt(n)).
  const Moments old = Sample(n, [&] { return d.ConditionalWeibull(1, 1, 800); });
  EXPECT_NEAR(old.mean, 1.0, 5 / std::sqrt(n));
  // Shape 2 at age 30: the hazard is about 60, the remaining life about an
  // exponential of rate 60.
  const Moments worn = Sample(n, [&] { return d.ConditionalWeibull(2, 1, 30); });
  EXPECT_NEAR(worn.mean, 1 / 60.0, 5 / 60.0 / std::sqrt(n));
  // 2000 stages of mean 1: variance 1/2000.
  const Moments erlang = Sample(2000, [&] { return d.Erlang(2000, 1); });
  EXPECT_NEAR(erlang.mean, 1.0, 5 * std::sqrt(1 / 2000.0 / 2000.0));

  Scripted young({0.3});
  EXPECT_EQ(young.d.ConditionalWeibull(2, 1, 0.5), std::pow(-std::log(0.3 * std::exp(-0.25)), 0.5) - 0.5);
  Scripted few({0.3, 0.7, 0.9});
  EXPECT_EQ(few.d.Erlang(3, 6), -(6 / 3.0) * std::log(0.3 * 0.7 * 0.9));
}

TEST(DistributionsTest, ConstructorsChooseAndSeedTheGenerator) {
  Distributions plain;
  EXPECT_NE(dynamic_cast<LaggedFibonacci*>(plain.generator), nullptr);
  UserDistributions unseeded;
  EXPECT_NE(dynamic_cast<LaggedFibonacci*>(unseeded.generator), nullptr);

  for (int kind : {0, 2, 5, -1}) {
    UserDistributions d(kind, 12345);
    EXPECT_NE(dynamic_cast<LaggedFibonacci*>(d.generator), nullptr) << kind;
    EXPECT_EQ(dynamic_cast<MersenneTwister*>(d.generator), nullptr) << kind;
  }

  UserDistributions tausworthe(1, 31415);
  ASSERT_NE(dynamic_cast<Tausworthe*>(tausworthe.generator), nullptr);
  EXPECT_EQ(tausworthe.generator->rnd(), 0.11983029643065776);

  // The owner deletes whatever generator is installed, and tolerates none.
  UserDistributions replaced(0, 1);
  delete replaced.generator;
  replaced.generator = new MersenneTwister();
  UserDistributions emptied(0, 1);
  delete emptied.generator;
  emptied.generator = nullptr;
}

}  // namespace
