#include "simmgr/NumberText.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

// The progress line's elapsed and remaining times: rounded to the second,
// hours only from an hour on, and a time too long to matter told apart from
// one not known yet.
TEST(NumberTextTest, DurationsReadAsTheProgressLineShowsThem) {
  EXPECT_EQ(NumberText::Duration(0.0), "0:00");
  EXPECT_EQ(NumberText::Duration(59.4), "0:59");
  EXPECT_EQ(NumberText::Duration(59.5), "1:00");
  EXPECT_EQ(NumberText::Duration(3599.4), "59:59");
  EXPECT_EQ(NumberText::Duration(3599.5), "1:00:00");
  EXPECT_EQ(NumberText::Duration(100.0 * 3600.0 + 61.0), "100:01:01");
  EXPECT_EQ(NumberText::Duration(999999.0 * 3600.0 + 3599.0), "999999:59:59");
  EXPECT_EQ(NumberText::Duration(999999.0 * 3600.0 + 3599.5), "over 999999 h");
  EXPECT_EQ(NumberText::Duration(1e300), "over 999999 h");
  EXPECT_EQ(NumberText::Duration(std::numeric_limits<double>::infinity()), "over 999999 h");
  EXPECT_EQ(NumberText::Duration(-1.0), "--:--");
  EXPECT_EQ(NumberText::Duration(std::nan("")), "--:--");
}
