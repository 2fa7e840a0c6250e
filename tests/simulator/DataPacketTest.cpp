#include "simulator/DataPacket.h"

#include <gtest/gtest.h>

TEST(DataPacketTest, StartsZeroedWithRowMajorLayout) {
  DataPacket packet(3, 7, 4, 5);
  EXPECT_EQ(packet.clientId, 3);
  EXPECT_EQ(packet.experiment, 7);
  EXPECT_EQ(packet.numPVs, 4);
  EXPECT_EQ(packet.reportSize, 5);
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(packet.counts[i], 0);
    for (int k = 0; k < 5; k++) EXPECT_EQ(packet.values[i * 5 + k], 0.0);
  }
  // Row 2, column 4 is the last cell of row 2, right before row 3 starts.
  packet.values[2 * 5 + 4] = 1.5;
  packet.values[3 * 5 + 0] = 2.5;
  EXPECT_EQ(packet.values[14], 1.5);
  EXPECT_EQ(packet.values[15], 2.5);
}

TEST(DataPacketTest, UsableCountStaysInsideTheRow) {
  DataPacket packet(0, 0, 3, 4);
  packet.counts[0] = 2;
  packet.counts[1] = 9;   // more than the row holds
  packet.counts[2] = -1;  // never valid
  EXPECT_EQ(packet.UsableCount(0), 2);
  EXPECT_EQ(packet.UsableCount(1), 4);
  EXPECT_EQ(packet.UsableCount(2), 0);
}

TEST(DataPacketTest, EmptyDimensionsAreAllowed) {
  DataPacket noVariables(1, 1, 0, 1000);
  EXPECT_EQ(noVariables.numPVs, 0);
  DataPacket noColumns(1, 1, 2, 0);
  noColumns.counts[1] = 3;
  EXPECT_EQ(noColumns.UsableCount(1), 0);
}
