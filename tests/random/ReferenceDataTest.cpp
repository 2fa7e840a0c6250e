// The generator reference data travels with the sources: a clone of the
// repository on its own must be able to run every generator test.

#include <gtest/gtest.h>

#include <string>

#include "tests/random/ReferenceData.h"

TEST(ReferenceDataTest, IsReadFromInsideTheRepository) {
  const std::string source = KORVAN_SOURCE_DIR;
  const std::string path = RandomReference::Path();
  ASSERT_EQ(path.compare(0, source.size(), source), 0) << path;
  EXPECT_EQ(path.find("/.."), std::string::npos) << path;

  RandomReference ref;
  ASSERT_TRUE(ref.Load()) << "cannot read " << path;
  // Every block is there whole: four lagged Fibonacci seeds of 200 values,
  // the Mersenne Twister and Tausworthe words.
  ASSERT_EQ(ref.lagged.size(), 4u);
  for (const auto& seed : ref.lagged) EXPECT_EQ(seed.second.size(), 200u) << seed.first;
  EXPECT_EQ(ref.mt.size(), 52u);
  EXPECT_EQ(ref.tw.size(), 30u);
}
