#include "simmgr/SeedSequence.h"

#include <gtest/gtest.h>
#include <set>

// Every seed must be accepted by all three generators and never be 0 (which
// the simulator replaces by its default); a study's seeds are distinct, and
// the same base always gives the same seeds.
TEST(SeedSequenceTest, SeedsAreValidDistinctAndReproducible) {
  for (uint32_t base : {0u, 1u, 31415u, 2147483645u, 2147483648u, 4294967295u}) {
    const std::vector<uint32_t> seeds = SeedSequence::Derive(base, 1000);
    ASSERT_EQ(seeds.size(), 1000u);
    std::set<uint32_t> distinct(seeds.begin(), seeds.end());
    EXPECT_EQ(distinct.size(), seeds.size()) << "base " << base;
    for (uint32_t seed : seeds) {
      EXPECT_GE(seed, 1u);
      EXPECT_LE(seed, SeedSequence::kLargestSeed);   // lagged Fibonacci
      EXPECT_NE(seed & 0x7FFFFFFFu, 0u);             // Tausworthe
    }
    EXPECT_EQ(SeedSequence::Derive(base, 1000), seeds);
    // A shorter study gives the same seeds to the experiments it has.
    const std::vector<uint32_t> prefix = SeedSequence::Derive(base, 36);
    EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), seeds.begin()));
  }
  // Neighbouring bases do not give shifted copies of each other's seeds.
  const std::vector<uint32_t> a = SeedSequence::Derive(31415, 36);
  const std::vector<uint32_t> b = SeedSequence::Derive(31416, 36);
  std::set<uint32_t> both(a.begin(), a.end());
  both.insert(b.begin(), b.end());
  EXPECT_EQ(both.size(), 72u);
  // The documented derivation, for one value.
  EXPECT_EQ(a[5], 1 + SeedSequence::Mix((31415ull << 32) | 5u) % SeedSequence::kLargestSeed);
}

// Streams of retries and later segments: the first stream of every
// experiment keeps its primary seed, and no two streams of a study share a
// seed, primary ones included.
TEST(SeedSequenceTest, EveryStreamOfAStudyHasItsOwnSeed) {
  for (uint32_t base : {31415u, 0u, 4294967295u}) {
    const SeedSequence sequence(base, 36);
    const std::vector<uint32_t> primary = SeedSequence::Derive(base, 36);
    std::set<uint32_t> seen;
    size_t streams = 0;
    for (int k = 0; k < 36; ++k) {
      EXPECT_EQ(sequence.Seed(k, 0, 0), primary[k]);
      for (int segment = 0; segment < 25; ++segment) {
        for (int attempt = 0; attempt < 12; ++attempt) {
          const uint32_t seed = sequence.Seed(k, segment, attempt);
          EXPECT_GE(seed, 1u);
          EXPECT_LE(seed, SeedSequence::kLargestSeed);
          seen.insert(seed);
          ++streams;
        }
      }
    }
    EXPECT_EQ(seen.size(), streams) << "base " << base;
    // The same base, the same seeds; another base, other seeds.
    EXPECT_EQ(SeedSequence(base, 36).Seed(17, 3, 2), sequence.Seed(17, 3, 2));
    EXPECT_NE(SeedSequence(base + 1, 36).Seed(17, 3, 2), sequence.Seed(17, 3, 2));
  }
  // Far streams are still numbered and valid; beyond the numbering they are
  // refused rather than wrapped onto others.
  const SeedSequence sequence(31415, 36);
  EXPECT_GT(sequence.MaxStep(), 10000);
  EXPECT_TRUE(sequence.Valid(sequence.MaxStep() - 1, 0));
  EXPECT_FALSE(sequence.Valid(sequence.MaxStep(), 0));
  EXPECT_FALSE(sequence.Valid(-1, 0));
  const uint32_t far = sequence.Seed(35, sequence.MaxStep() - 1, 0);
  EXPECT_GE(far, 1u);
  EXPECT_LE(far, SeedSequence::kLargestSeed);
}
