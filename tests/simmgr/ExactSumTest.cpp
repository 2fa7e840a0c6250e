#include "simmgr/ExactSum.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <random>

#include "simmgr/RunningStatistics.h"

namespace {

// Multiples of 2^-40 with integer numerators: their exact sum is an integer
// sum, a trivially correct reference.
std::vector<double> ScaledIntegers(std::mt19937_64& random, int n, std::vector<int64_t>& numerators) {
  std::uniform_int_distribution<int64_t> draw(-(int64_t(1) << 52), int64_t(1) << 52);
  std::vector<double> values;
  for (int i = 0; i < n; ++i) {
    numerators.push_back(draw(random));
    values.push_back(std::ldexp(static_cast<double>(numerators.back()), -40));
  }
  return values;
}

}  // namespace

// Sums that plain addition gets wrong: cancellation, and the last bit of a
// sum just above, at and below a half-way point.
TEST(ExactSumTest, CancellationAndCorrectRounding) {
  ExactSum cancel;
  for (double x : {1e100, 1.0, -1e100}) cancel.Add(x);
  EXPECT_EQ(cancel.Value(), 1.0);
  EXPECT_EQ(cancel.Sign(), 1);

  const double half = std::ldexp(1.0, -53);  // half the last bit of 1.0
  ExactSum above;
  for (double x : {1.0, half, std::ldexp(1.0, -60)}) above.Add(x);
  EXPECT_EQ(above.Value(), 1.0 + 2 * half);  // plain addition gives 1.0
  ExactSum tieToEven;
  for (double x : {1.0, half}) tieToEven.Add(x);
  EXPECT_EQ(tieToEven.Value(), 1.0);
  ExactSum tieUp;
  for (double x : {1.0 + 2 * half, half}) tieUp.Add(x);
  EXPECT_EQ(tieUp.Value(), 1.0 + 4 * half);
  ExactSum below;
  for (double x : {1.0, half, -std::ldexp(1.0, -60)}) below.Add(x);
  EXPECT_EQ(below.Value(), 1.0);

  // The product's rounding error is kept: (1 + 2^-30)^2 = 1 + 2^-29 + 2^-60.
  ExactSum square;
  square.AddProduct(1.0 + std::ldexp(1.0, -30), 1.0 + std::ldexp(1.0, -30));
  square.Add(-1.0);
  square.Add(-std::ldexp(1.0, -29));
  EXPECT_EQ(square.Value(), std::ldexp(1.0, -60));

  ExactSum empty;
  EXPECT_EQ(empty.Value(), 0.0);
  EXPECT_EQ(empty.Sign(), 0);
}

// The same values in any order and any split into merged parts give the
// same bits, equal to the integer reference.
TEST(ExactSumTest, OrderAndSplitDoNotMatter) {
  std::mt19937_64 random(20261208);
  for (int trial = 0; trial < 50; ++trial) {
    std::vector<int64_t> numerators;
    std::vector<double> values = ScaledIntegers(random, 200, numerators);
    // Values of very different sizes as well, cancelling out.
    for (double x : {1e30, -1e30, 3e-300, -3e-300, 0x1p-70, -0x1p-70}) values.push_back(x);
    __int128 exact = 0;
    for (int64_t n : numerators) exact += n;
    ExactSum whole;
    for (double x : values) whole.Add(x);
    std::shuffle(values.begin(), values.end(), random);
    const size_t cut = random() % values.size();
    ExactSum first, second;
    for (size_t i = 0; i < values.size(); ++i) (i < cut ? first : second).Add(values[i]);
    second.Merge(first);
    EXPECT_EQ(second.Value(), whole.Value());
    const ExactSum restored = ExactSum::FromParts(second.Partials(), second.Special());
    EXPECT_EQ(restored.Value(), whole.Value());
    // Rounded once: the integer sum converted to double.
    EXPECT_EQ(whole.Value(), std::ldexp(static_cast<double>(exact), -40)) << trial;
  }
}

// A quotient of the exact sum is rounded once, not after the sum's own
// rounding: n copies of x divide back to x (Value() / n gave
// 0.09999999999999999 for 85139 copies of 0.1), and a half-way quotient
// goes to the even neighbour.
TEST(ExactSumTest, QuotientIsRoundedOnce) {
  ExactSum tenths;
  for (int i = 0; i < 85139; ++i) tenths.Add(0.1);
  EXPECT_EQ(tenths.Quotient(85139.0), 0.1);
  std::mt19937_64 random(20261211);
  std::uniform_real_distribution<double> unit(1.0, 2.0);
  for (int trial = 0; trial < 300; ++trial) {
    const double x = std::ldexp(unit(random), static_cast<int>(random() % 200) - 100) * (trial % 3 == 0 ? -1 : 1);
    const int n = 2 + static_cast<int>(random() % 3000);
    ExactSum copies;
    for (int i = 0; i < n; ++i) copies.Add(x);
    EXPECT_EQ(copies.Quotient(static_cast<double>(n)), x) << x << " x " << n;
    // The same divisor in two factors.
    EXPECT_EQ(copies.Quotient(static_cast<double>(n) / 2.0, 2.0), x) << x << " x " << n;
  }
  // 2^54 + 6 over 4 is 2^52 + 1.5, half-way: the even 2^52 + 2; 2^54 + 2
  // over 4 goes down to 2^52; a little more than half-way goes up.
  ExactSum tie;
  tie.Add(0x1p54);
  tie.Add(6.0);
  EXPECT_EQ(tie.Quotient(4.0), 0x1p52 + 2.0);
  ExactSum down;
  down.Add(0x1p54);
  down.Add(2.0);
  EXPECT_EQ(down.Quotient(4.0), 0x1p52);
  down.Add(0x1p-20);
  EXPECT_EQ(down.Quotient(4.0), 0x1p52 + 1.0);
  // Negative sums are rounded alike.
  ExactSum negative;
  negative.Add(-0x1p54);
  negative.Add(-6.0);
  EXPECT_EQ(negative.Quotient(4.0), -(0x1p52 + 2.0));
}

// Factors that are not counts, with bits far below 1, and a small quotient:
// the products the rounding is decided by would lose bits to underflow, and
// deciding by them walked 8 units in the last place away from the quotient
// (-0x1.1a3895bb7a44fp-924). The division, exact to the last bit here,
// stands instead.
TEST(ExactSumTest, QuotientByFactorsWithLowBitsIsNotLedAstray) {
  ExactSum sum;
  sum.Add(-0x1.f753666303c3fp-902);
  EXPECT_EQ(sum.Quotient(0x1.0a03dd3aada58p-259, 0x1.b75f824d0a812p+281), -0x1.1a3895bb7a447p-924);
}

TEST(ExactSumTest, InfinitiesAndNaNsStick) {
  ExactSum overflow;
  overflow.Add(1.5e308);
  overflow.Add(1.5e308);
  EXPECT_FALSE(overflow.Finite());
  EXPECT_EQ(overflow.Value(), std::numeric_limits<double>::infinity());
  overflow.Add(-1e308);
  EXPECT_EQ(overflow.Value(), std::numeric_limits<double>::infinity());
  ExactSum both;
  both.Add(std::numeric_limits<double>::infinity());
  both.Add(-std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(both.Value()));
  EXPECT_EQ(both.Sign(), 0);
  ExactSum merged;
  merged.Add(1.0);
  merged.Merge(both);
  EXPECT_TRUE(std::isnan(merged.Value()));
}

// Statistics gathered by several processes and merged equal those of one
// stream to the last bit; the variance survives a mean far above the
// spread, where a plain sum of squares loses every digit.
TEST(RunningStatisticsTest, MergedPartsEqualOneStream) {
  std::mt19937_64 random(7);
  std::normal_distribution<double> noise(0.0, 1e-3);
  std::vector<double> values;
  for (int i = 0; i < 3000; ++i) values.push_back(1e9 + noise(random));
  RunningStatistics one;
  for (double x : values) one.Add(x);
  RunningStatistics a, b, c;
  for (size_t i = 0; i < values.size(); ++i) (i % 3 == 0 ? a : i % 3 == 1 ? b : c).Add(values[i]);
  RunningStatistics merged;
  merged.Merge(c);
  merged.Merge(a);
  merged.Merge(b);
  EXPECT_EQ(merged.Count(), one.Count());
  EXPECT_EQ(merged.Mean(), one.Mean());
  EXPECT_EQ(merged.Variance(), one.Variance());
  EXPECT_FALSE(merged.Binary());
  // Two-pass reference in long double.
  long double mean = 0;
  for (double x : values) mean += x;
  mean /= values.size();
  long double squares = 0;
  for (double x : values) squares += (x - mean) * (x - mean);
  const double reference = static_cast<double>(squares / (values.size() - 1));
  EXPECT_NEAR(one.Variance(), reference, reference * 1e-6);

  // 0/1 observations: exact fraction and p(1-p) n/(n-1), whatever the split.
  RunningStatistics ones, left, right;
  for (int i = 0; i < 2000; ++i) {
    const double x = i % 143 == 0 ? 1.0 : 0.0;
    ones.Add(x);
    (i < 777 ? left : right).Add(x);
  }
  left.Merge(right);
  EXPECT_TRUE(left.Binary());
  EXPECT_EQ(left.Mean(), 14.0 / 2000.0);
  EXPECT_EQ(left.Variance(), ones.Variance());
  EXPECT_NEAR(left.Variance(), 0.007 * 0.993 * 2000.0 / 1999.0, 1e-15);
}

TEST(RunningStatisticsTest, SavedPartsAreCheckedWhenRead) {
  RunningStatistics s;
  for (double x : {0.0, 1.0, 1.0, 0.0}) s.Add(x);
  RunningStatistics back;
  ASSERT_TRUE(RunningStatistics::FromParts(4, s.Sum(), s.SumOfSquares(), true, back));
  EXPECT_EQ(back.Mean(), 0.5);
  EXPECT_EQ(back.Variance(), s.Variance());
  ExactSum two, three, minus;
  two.Add(2.0);
  three.Add(3.0);
  minus.Add(-1.0);
  // Binary observations: the sum counts ones, equals the sum of squares
  // and is at most the count.
  EXPECT_FALSE(RunningStatistics::FromParts(1, two, two, true, back));
  EXPECT_FALSE(RunningStatistics::FromParts(4, two, three, true, back));
  EXPECT_TRUE(RunningStatistics::FromParts(4, two, two, true, back));
  EXPECT_FALSE(RunningStatistics::FromParts(-1, ExactSum(), ExactSum(), false, back));
  EXPECT_FALSE(RunningStatistics::FromParts(0, two, two, false, back));
  EXPECT_FALSE(RunningStatistics::FromParts(3, two, minus, false, back));
  EXPECT_TRUE(RunningStatistics::FromParts(3, minus, two, false, back));
}
