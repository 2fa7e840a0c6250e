// The program-wide distribution object as main finds it. This executable
// draws nothing before these checks, so the shared lagged Fibonacci read
// position is still at its start.

#include <gtest/gtest.h>

#include "random/Distributions.h"
#include "random/LaggedFibonacci.h"
#include "random/MersenneTwister.h"
#include "tests/random/ReferenceData.h"

namespace {

TEST(TheGeneratorTest, IsSeededLaggedFibonacciBeforeMain) {
  RandomReference ref;
  ASSERT_TRUE(ref.Load()) << "cannot read " << RandomReference::Path();
  const std::vector<double>& expected = ref.lagged.at(31415);

  EXPECT_EQ(TheDistribution, &TheGenerator);
  ASSERT_NE(dynamic_cast<LaggedFibonacci*>(TheDistribution->generator), nullptr);
  ASSERT_EQ(LaggedFibonacci::SharedPosition(), 0);

  // The simulator seeds once more with the default seed: same stream.
  TheDistribution->generator->srnd(31415);
  for (int i = 0; i < 200; i++) ASSERT_EQ(TheDistribution->generator->rnd(), expected[i]) << i;

  // The simulator may replace the generator; TheGenerator deletes the new
  // one at exit (the leak checker of sanitizer builds watches this).
  delete TheDistribution->generator;
  TheDistribution->generator = new MersenneTwister();
  TheDistribution->generator->srnd(31415);
  EXPECT_GT(TheDistribution->Exponential(1.0), 0.0);
}

}  // namespace
