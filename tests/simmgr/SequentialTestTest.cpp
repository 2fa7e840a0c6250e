#include "simmgr/SequentialTest.h"

#include <cmath>
#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace {

// The decision and the observation it came at, by the textbook sums.
struct Outcome {
  SequentialTest::Decision decision = SequentialTest::kUndecided;
  int at = 0;
};

Outcome Reference(const std::vector<int>& stream, double p1, double p0, double alpha, double beta) {
  const double upper = std::log((1 - beta) / alpha);
  const double lower = std::log(beta / (1 - alpha));
  double ratio = 0.0;
  for (size_t i = 0; i < stream.size(); ++i) {
    ratio += stream[i] == 1 ? std::log(p1 / p0) : std::log((1 - p1) / (1 - p0));
    if (ratio >= upper) return {SequentialTest::kAccept, static_cast<int>(i + 1)};
    if (ratio <= lower) return {SequentialTest::kReject, static_cast<int>(i + 1)};
  }
  return {SequentialTest::kUndecided, static_cast<int>(stream.size())};
}

Outcome Feed(SequentialTest test, const std::vector<int>& stream) {
  for (size_t i = 0; i < stream.size(); ++i) {
    if (test.Observe(stream[i]) != SequentialTest::kUndecided) {
      EXPECT_EQ(test.Count(), static_cast<int64_t>(i + 1));
      return {test.Current(), static_cast<int>(i + 1)};
    }
  }
  return {SequentialTest::kUndecided, static_cast<int>(stream.size())};
}

}  // namespace

// Known boundaries: for "p < 0.1" with delta 0.01 and alpha = beta = 0.05,
// each 0 adds ln(0.91/0.89) = 0.022223 and each 1 ln(0.09/0.11) = -0.200671
// to the log ratio; the bounds are -/+ ln 19 = 2.944439. All zeros accept
// at the 133rd observation, all ones reject at the 15th.
TEST(SequentialTestTest, ScriptedStreamsCrossTheKnownBoundaries) {
  const SequentialTest below(SequentialTest::kBelow, 0.1, 0.05, 0.05, 0.01);
  EXPECT_NEAR(below.AcceptBound(), std::log(19.0), 1e-12);
  EXPECT_NEAR(below.RejectBound(), -std::log(19.0), 1e-12);
  Outcome zeros = Feed(below, std::vector<int>(1000, 0));
  EXPECT_EQ(zeros.decision, SequentialTest::kAccept);
  EXPECT_EQ(zeros.at, 133);
  Outcome ones = Feed(below, std::vector<int>(1000, 1));
  EXPECT_EQ(ones.decision, SequentialTest::kReject);
  EXPECT_EQ(ones.at, 15);
  // "p > 0.1" is the other way round.
  const SequentialTest above(SequentialTest::kAbove, 0.1, 0.05, 0.05, 0.01);
  EXPECT_EQ(Feed(above, std::vector<int>(1000, 0)).decision, SequentialTest::kReject);
  EXPECT_EQ(Feed(above, std::vector<int>(1000, 0)).at, 133);
  EXPECT_EQ(Feed(above, std::vector<int>(1000, 1)).decision, SequentialTest::kAccept);
  // One failure in ten, the rate of the threshold: nine zeros add 0.200004,
  // the one takes 0.200671 away, so the ratio drifts by -0.000667 per ten and
  // after 10 000 observations stands at -0.67, between the bounds:
  // undecided however long the stream.
  std::vector<int> level;
  for (int i = 0; i < 10000; ++i) level.push_back(i % 10 == 9 ? 1 : 0);
  const Outcome undecided = Feed(below, level);
  EXPECT_EQ(undecided.decision, SequentialTest::kUndecided);
  SequentialTest held = below;
  for (int x : level) held.Observe(x);
  EXPECT_NEAR(held.LogRatio(), 1000 * (9 * std::log(0.91 / 0.89) + std::log(0.09 / 0.11)), 1e-9);
  EXPECT_GT(held.LogRatio(), held.RejectBound());

  // Mixed streams against the textbook sums, for several settings.
  std::mt19937 random(4711);
  for (int trial = 0; trial < 200; ++trial) {
    const double theta = 0.05 + 0.9 * (random() % 1000) / 1000.0;
    const double delta = std::min({0.02 + 0.03 * (random() % 100) / 100.0, theta / 2, (1 - theta) / 2});
    const double alpha = 0.01 + 0.1 * (random() % 100) / 100.0;
    const double beta = 0.01 + 0.1 * (random() % 100) / 100.0;
    const bool isBelow = trial % 2 == 0;
    std::bernoulli_distribution draw(theta + (random() % 3 - 1.0) * delta);
    std::vector<int> stream;
    for (int i = 0; i < 5000; ++i) stream.push_back(draw(random) ? 1 : 0);
    const SequentialTest test(isBelow ? SequentialTest::kBelow : SequentialTest::kAbove, theta, alpha, beta, delta);
    std::string error;
    ASSERT_TRUE(test.Check(error)) << error;
    const double p1 = isBelow ? theta - delta : theta + delta;
    const double p0 = isBelow ? theta + delta : theta - delta;
    const Outcome expected = Reference(stream, p1, p0, alpha, beta);
    const Outcome got = Feed(test, stream);
    EXPECT_EQ(got.decision, expected.decision) << trial;
    EXPECT_EQ(got.at, expected.at) << trial;
  }
}

// The error bounds hold: with p at the edge of the indifference region on
// the claim's wrong side, the claim is accepted in at most about alpha of
// the runs (Wald: alpha / (1 - beta) = 0.0526 here), and rejected on its
// right side in at most about beta. 3000 runs each give a standard error of
// 0.004; the tolerance is three of them.
TEST(SequentialTestTest, ErrorRatesStayWithinTheirBounds) {
  std::mt19937 random(99);
  const SequentialTest test(SequentialTest::kBelow, 0.2, 0.05, 0.05, 0.02);
  for (double p : {0.22, 0.18}) {
    std::bernoulli_distribution draw(p);
    int wrong = 0;
    const int runs = 3000;
    for (int r = 0; r < runs; ++r) {
      SequentialTest t = test;
      while (t.Observe(draw(random) ? 1 : 0) == SequentialTest::kUndecided) {
      }
      wrong += (p > 0.2) == (t.Current() == SequentialTest::kAccept) ? 1 : 0;
    }
    EXPECT_LE(static_cast<double>(wrong) / runs, 0.05 / 0.95 + 3 * 0.004) << "p " << p;
  }
}

TEST(SequentialTestTest, ClaimsAreReadAndCheckedAndRestored) {
  std::string variable, error;
  SequentialTest::Direction direction;
  double threshold = 0;
  ASSERT_TRUE(SequentialTest::Parse("reliability@365 < 0.1", variable, direction, threshold, error)) << error;
  EXPECT_EQ(variable, "reliability@365");
  EXPECT_EQ(direction, SequentialTest::kBelow);
  EXPECT_EQ(threshold, 0.1);
  ASSERT_TRUE(SequentialTest::Parse("  r@30>0.25 ", variable, direction, threshold, error)) << error;
  EXPECT_EQ(variable, "r@30");
  EXPECT_EQ(direction, SequentialTest::kAbove);
  for (const char* bad : {"r < ", "< 0.1", "r < 1", "r < 0", "r <> 0.1", "r = 0.1", "r < abc", "r < 0.1x",
                          "r < nan", ""}) {
    EXPECT_FALSE(SequentialTest::Parse(bad, variable, direction, threshold, error)) << bad;
    EXPECT_FALSE(error.empty());
  }
  EXPECT_FALSE(SequentialTest(SequentialTest::kBelow, 0.01, 0.05, 0.05, 0.01).Check(error));
  EXPECT_NE(error.find("indifference region"), std::string::npos);
  EXPECT_FALSE(SequentialTest(SequentialTest::kBelow, 0.99, 0.05, 0.05, 0.01).Check(error));
  EXPECT_FALSE(SequentialTest(SequentialTest::kBelow, 0.5, 0.6, 0.5, 0.01).Check(error));
  EXPECT_TRUE(SequentialTest(SequentialTest::kBelow, 0.5, 0.05, 0.05, 0.01).Check(error));
  // A region whose ends round to the threshold gives both hypotheses one
  // probability: the test could never decide, and ran to the limit.
  EXPECT_FALSE(SequentialTest(SequentialTest::kBelow, 0.1, 0.05, 0.05, 1e-18).Check(error));
  EXPECT_NE(error.find("too narrow"), std::string::npos) << error;
  EXPECT_EQ(SequentialTest(SequentialTest::kAbove, 0.125, 0.05, 0.05, 0.01).Claim("v"), "v > 0.125");

  // A saved decision stands; saved counts without one are judged at once.
  SequentialTest t(SequentialTest::kBelow, 0.1, 0.05, 0.05, 0.01);
  t.Restore(100, 0, SequentialTest::kUndecided);
  EXPECT_EQ(t.Current(), SequentialTest::kUndecided);  // 2.22 is below 2.94
  EXPECT_EQ(t.Observe(0), SequentialTest::kUndecided);
  t.Restore(200, 0, SequentialTest::kUndecided);
  EXPECT_EQ(t.Current(), SequentialTest::kAccept);
  t.Restore(200, 0, SequentialTest::kReject);
  EXPECT_EQ(t.Current(), SequentialTest::kReject);
  EXPECT_EQ(t.Count(), 200);
}

// With p1 = 1/4 and p0 = 3/4 every observation moves the ratio by exactly
// ln 3, and with alpha = 1/16, beta = 7/16 the accept bound is ln 9: two
// more successes than failures reach it exactly, and Wald's test accepts
// there. The bound must not be missed by the last bit of a logarithm, nor
// the mirror-image bound on the reject side.
TEST(SequentialTestTest, AStreamExactlyOnABoundIsDecidedThere) {
  // "p < 0.5": p1 = 0.25, p0 = 0.75; ratio after n with k ones: (n - 2k) ln 3.
  const SequentialTest accepting(SequentialTest::kBelow, 0.5, 0.0625, 0.4375, 0.25);
  const Outcome a = Feed(accepting, {0, 1, 0, 0, 1, 1, 1, 1});
  EXPECT_EQ(a.decision, SequentialTest::kAccept);
  EXPECT_EQ(a.at, 4);  // (4 - 2) ln 3 = ln 9 = ln((1 - 7/16) / (1/16))

  // alpha = 7/16, beta = 1/16: the reject bound is ln(1/9).
  const SequentialTest rejecting(SequentialTest::kBelow, 0.5, 0.4375, 0.0625, 0.25);
  const Outcome r = Feed(rejecting, {1, 0, 1, 1, 0, 0, 0, 0});
  EXPECT_EQ(r.decision, SequentialTest::kReject);
  EXPECT_EQ(r.at, 4);  // (4 - 6) ln 3 = ln(1/9) = ln((1/16) / (1 - 7/16))
}
