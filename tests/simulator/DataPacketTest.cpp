#include "simulator/DataPacket.h"

#include <gtest/gtest.h>

TEST(DataPacketTest, StartsZeroedRowMajorAndCountsStayInsideRows) {
  DataPacket packet(3, 7, 4, 5);
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(packet.counts[i], 0);
    for (int k = 0; k < 5; k++) EXPECT_EQ(packet.values[i * 5 + k], 0.0);
  }
  packet.counts[0] = 2;
  packet.counts[1] = 9;   // more than the row holds
  packet.counts[2] = -1;  // never valid
  EXPECT_EQ(packet.UsableCount(0), 2);
  EXPECT_EQ(packet.UsableCount(1), 5);
  EXPECT_EQ(packet.UsableCount(2), 0);

  DataPacket noColumns(1, 1, 2, 0);
  noColumns.counts[1] = 3;
  EXPECT_EQ(noColumns.UsableCount(1), 0);
}
