#include "random/LaggedFibonacci.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tests/random/ReferenceData.h"

namespace {

class LaggedFibonacciTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ref.Load()) << "cannot read " << RandomReference::Path(); }
  RandomReference ref;
};

std::vector<double> StateAfterStart(long seed) {
  ranf_start(seed);
  return std::vector<double>(ran_u, ran_u + 100);
}

TEST_F(LaggedFibonacciTest, RanfArrayReproducesReferenceBatches) {
  ASSERT_EQ(ref.lagged.size(), 4u);
  for (const auto& [seed, values] : ref.lagged) {
    SCOPED_TRACE(seed);
    ASSERT_EQ(values.size(), 200u);
    double batch[100];
    ranf_start(seed);
    ranf_array(batch, 100);
    ranf_array(batch, 100);
    for (int i = 0; i < 100; i++) ASSERT_EQ(batch[i], values[i]) << i;
    ranf_array(batch, 100);
    for (int i = 0; i < 100; i++) ASSERT_EQ(batch[i], values[100 + i]) << i;

    // A longer call hands out the same consecutive values in one go.
    double run[300];
    ranf_start(seed);
    ranf_array(run, 300);
    for (int i = 0; i < 200; i++) ASSERT_EQ(run[100 + i], values[i]) << i;
  }
}

TEST_F(LaggedFibonacciTest, ObjectsShareOneStreamAndReadPosition) {
  const std::vector<double>& s31415 = ref.lagged.at(31415);
  const std::vector<double>& s12345 = ref.lagged.at(12345);
  LaggedFibonacci a;
  LaggedFibonacci b;

  // Seeding refills the batch but keeps the position, wherever it stands.
  a.srnd(31415);
  int start = LaggedFibonacci::SharedPosition();
  ASSERT_GE(start, 0);
  ASSERT_LE(start, 100);
  for (int i = start; i < 200; i++) ASSERT_EQ(a.rnd(), s31415[i]) << i;
  EXPECT_EQ(LaggedFibonacci::SharedPosition(), 100);

  // Re-seeding at the end of a batch: the next draw computes a fresh batch,
  // so the stream resumes with the third batch after the start.
  a.srnd(12345);
  EXPECT_EQ(a.rnd(), s12345[100]);

  // The read position is shared, the batches are each object's own: b
  // starts at a's position, and a goes on in its own batch.
  for (int i = 0; i < 36; i++) a.rnd();
  EXPECT_EQ(LaggedFibonacci::SharedPosition(), 37);
  b.srnd(31415);
  EXPECT_EQ(b.rnd(), s31415[37]);
  EXPECT_EQ(a.rnd(), s12345[138]);
  EXPECT_EQ(b.rnd(), s31415[39]);
}

TEST_F(LaggedFibonacciTest, OutOfRangeSeedsAreReducedAndSeedingEnds) {
  // Unreduced, negative seeds never finish seeding: prove termination in a
  // child process under a watchdog before making the calls here.
  EXPECT_EXIT(
      {
        alarm(20);
        ranf_start(-1);
        ranf_start(LONG_MIN);
        ranf_start(LONG_MAX);
        LaggedFibonacci g;
        g.srnd(ULONG_MAX);
        g.srnd(2147483648UL);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  if (HasFailure()) return;

  const long range = LaggedFibonacci::kMaxSeed + 1;  // 2^31 - 2
  EXPECT_EQ(range, 2147483646L);
  EXPECT_EQ(StateAfterStart(-1), StateAfterStart(LaggedFibonacci::kMaxSeed));
  EXPECT_EQ(StateAfterStart(range), StateAfterStart(0));
  EXPECT_EQ(StateAfterStart(range + 12345), StateAfterStart(12345));
  EXPECT_EQ(StateAfterStart(-range + 1), StateAfterStart(1));
  EXPECT_EQ(StateAfterStart(LONG_MIN), StateAfterStart(LONG_MIN % range + range));
  EXPECT_NE(StateAfterStart(LaggedFibonacci::kMaxSeed), StateAfterStart(0));

  // srnd takes the seed as a two's-complement long: all ones is -1.
  LaggedFibonacci g;
  g.srnd(ULONG_MAX);
  const std::vector<double> after_srnd(ran_u, ran_u + 100);
  double expected[100];
  ranf_start(LaggedFibonacci::kMaxSeed);
  ranf_array(expected, 100);
  ranf_array(expected, 100);
  EXPECT_EQ(after_srnd, std::vector<double>(ran_u, ran_u + 100));
  const int p = LaggedFibonacci::SharedPosition();
  if (p < 100) {
    EXPECT_EQ(g.rnd(), expected[p]);
  }
}

TEST(LaggedFibonacciDeathTest, ShortBatchIsRefused) {
  double batch[100];
  EXPECT_DEATH(ranf_array(batch, 99), "n >= 100");
}

}  // namespace
