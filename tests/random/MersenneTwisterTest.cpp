#include "random/MersenneTwister.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tests/random/ReferenceData.h"

namespace {

TEST(MersenneTwisterTest, ReproducesReferenceWords) {
  RandomReference ref;
  ASSERT_TRUE(ref.Load()) << "cannot read " << RandomReference::Path();
  ASSERT_EQ(ref.mt.size(), 52u);
  for (unsigned long seed : {5489UL, 31415UL, 18671867UL, 4294967295UL}) {
    MersenneTwister words;
    MersenneTwister fractions;
    words.srnd(seed);
    fractions.srnd(seed);
    std::vector<unsigned long> w(700);
    std::vector<double> u(700);
    for (int i = 0; i < 700; i++) {
      w[i] = words.rnd_int32();
      u[i] = fractions.rnd();
    }
    int checked = 0;
    for (const RandomReference::Word& r : ref.mt) {
      if (r.seed != seed) continue;
      SCOPED_TRACE(testing::Message() << "seed " << seed << " index " << r.index);
      EXPECT_EQ(w[r.index], r.word);
      EXPECT_EQ(u[r.index], r.value);
      checked++;
    }
    EXPECT_EQ(checked, 13) << seed;
  }
}

TEST(MersenneTwisterTest, MatchesStandardLibraryEngine) {
  for (unsigned long seed : {0UL, 1UL, 5489UL, 31415UL, 4294967295UL}) {
    std::mt19937 expected(static_cast<std::mt19937::result_type>(seed));
    MersenneTwister g;
    g.srnd(seed);
    for (int i = 0; i < 5000; i++) {
      // Alternate the two draws: both advance the same stream.
      const unsigned long word = expected();
      if (i % 2 == 0) {
        ASSERT_EQ(g.rnd_int32(), word) << seed << " " << i;
      } else {
        ASSERT_EQ(g.rnd(), (word + 0.5) / 4294967296.0) << seed << " " << i;
      }
    }
    // Re-seeding restarts the stream in the middle of a block.
    g.srnd(seed);
    std::mt19937 again(static_cast<std::mt19937::result_type>(seed));
    for (int i = 0; i < 1000; i++) ASSERT_EQ(g.rnd_int32(), again()) << seed;
  }
  // Only the low 32 bits of a seed count.
  MersenneTwister wide;
  wide.srnd(0x100000000UL + 7);
  std::mt19937 narrow(7);
  for (int i = 0; i < 10; i++) EXPECT_EQ(wide.rnd_int32(), narrow());
}

// Records the seeds it is given through the virtual slot.
class SeedSpy : public MersenneTwister {
 public:
  void srnd(unsigned long seed) override {
    seeds.push_back(seed);
    MersenneTwister::srnd(seed);
  }
  std::vector<unsigned long> seeds;
};

TEST(MersenneTwisterTest, SeedsItselfBeforeFirstDraw) {
  SeedSpy g;
  std::mt19937 expected(18671867);
  for (int i = 0; i < 1300; i++) ASSERT_EQ(g.rnd_int32(), expected()) << i;
  // Once: later blocks are regenerated without re-seeding.
  EXPECT_EQ(g.seeds, std::vector<unsigned long>{18671867UL});

  MersenneTwister fresh;
  std::mt19937 first(18671867);
  EXPECT_EQ(fresh.rnd(), (first() + 0.5) / 4294967296.0);
}

TEST(MersenneTwisterTest, FractionsAreStrictlyInsideUnitInterval) {
  // The extreme words map to 2^-33 and 1 - 2^-33 exactly.
  EXPECT_EQ(MersenneTwister::WordToFraction(0), 0x1p-33);
  EXPECT_EQ(MersenneTwister::WordToFraction(0xFFFFFFFFUL), 1.0 - 0x1p-33);
  EXPECT_GT(MersenneTwister::WordToFraction(0), 0.0);
  EXPECT_LT(MersenneTwister::WordToFraction(0xFFFFFFFFUL), 1.0);

  EXPECT_EQ(MersenneTwister::getMatrixA(0), 0UL);
  EXPECT_EQ(MersenneTwister::getMatrixA(1), 0x9908B0DFUL);
  EXPECT_EQ(MersenneTwister::getMatrixA(2), 0x9908B0DFUL);
}

}  // namespace
