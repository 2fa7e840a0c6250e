#include "simmgr/ExperimentSelection.h"

#include <gtest/gtest.h>

TEST(ExperimentSelectionTest, ListsAndRanges) {
  std::vector<int> k;
  std::string error;
  ASSERT_TRUE(ExperimentSelection::Parse("0-35", 36, k, error)) << error;
  EXPECT_EQ(k.size(), 36u);
  EXPECT_EQ(k.front(), 0);
  EXPECT_EQ(k.back(), 35);
  ASSERT_TRUE(ExperimentSelection::Parse("8-11,0,4", 36, k, error)) << error;
  EXPECT_EQ(k, (std::vector<int>{0, 4, 8, 9, 10, 11}));
  // Overlaps and repeats are given once, in order.
  ASSERT_TRUE(ExperimentSelection::Parse("3,1-3,2,35,3-3", 36, k, error)) << error;
  EXPECT_EQ(k, (std::vector<int>{1, 2, 3, 35}));
}

TEST(ExperimentSelectionTest, RefusesWhatIsNotAListOfTheStudysExperiments) {
  std::vector<int> k;
  std::string error;
  for (const char* bad : {"", ",", "1,", ",1", "1,,2", "-1", "1-", "a", "1-2-3", "2-1", "36",
                          "0-36", " 1", "1 ", "+1", "1.5", "9999999999"}) {
    EXPECT_FALSE(ExperimentSelection::Parse(bad, 36, k, error)) << "'" << bad << "'";
    EXPECT_FALSE(error.empty());
  }
  EXPECT_FALSE(ExperimentSelection::Parse("36", 36, k, error));
  EXPECT_NE(error.find("0 to 35"), std::string::npos) << error;
}
