#include "Cpp/BaseClasses/FastSet.h"

#include <gtest/gtest.h>

namespace {

TEST(FastSetTest, BuildsThenFreezesIntoAnAscendingArray) {
  int constructed = FastSet::number1;
  int frozen = FastSet::number2;
  FastSet set;
  EXPECT_TRUE(set.empty());
  EXPECT_TRUE(set.insert(5));
  EXPECT_TRUE(set.insert(2));
  EXPECT_FALSE(set.insert(5));
  EXPECT_TRUE(set.insert(9));
  EXPECT_TRUE(set.find(2));
  EXPECT_FALSE(set.find(3));
  set.NoMoreModifications();
  ASSERT_EQ(set.size(), 3);
  EXPECT_EQ(set[0], 2);
  EXPECT_EQ(set[1], 5);
  EXPECT_EQ(set[2], 9);
  EXPECT_EQ(FastSet::number1, constructed + 1);
  EXPECT_EQ(FastSet::number2, frozen + 1);

  set.clear();
  EXPECT_EQ(set.size(), 0);
  EXPECT_TRUE(set.frozen());

  FastSet none;
  none.NoMoreModifications();
  EXPECT_EQ(none.size(), 0);

  FastSet building;
  building.insert(1);
  building.clear();
  EXPECT_TRUE(building.empty());
}

TEST(FastSetDeathTest, OperationsOfTheWrongPhaseEndTheProcess) {
  FastSet set;
  EXPECT_DEATH(set.size(), "is_vec_rep");
  EXPECT_DEATH(set[0], "is_vec_rep");
  set.NoMoreModifications();
  set.clear();
  EXPECT_DEATH(set.insert(1), "!is_vec_rep");
  EXPECT_DEATH(set.find(1), "!is_vec_rep");
  EXPECT_DEATH(set.empty(), "!is_vec_rep");
  EXPECT_DEATH(set.NoMoreModifications(), "!is_vec_rep");
}

}  // namespace
