#include "simulator/PacketQueue.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <vector>

#include "simulator/DataPacket.h"

namespace {

std::vector<std::unique_ptr<DataPacket>> MakePackets(int n) {
  std::vector<std::unique_ptr<DataPacket>> packets;
  for (int k = 0; k < n; k++) packets.emplace_back(new DataPacket(k, 0, 1, 1));
  return packets;
}

}  // namespace

TEST(PacketQueueTest, FillsToCapacityThenRefusesAndEmptiesInOrder) {
  PacketQueue queue(50);
  auto packets = MakePackets(51);
  EXPECT_EQ(queue.Take(), nullptr);  // empty at the start
  EXPECT_EQ(queue.Count(), 0);
  for (int k = 0; k < 50; k++) {
    ASSERT_TRUE(queue.Put(packets[k].get()));
    ASSERT_TRUE(queue.IsValid());
    EXPECT_EQ(queue.Count(), k + 1);
  }
  // Full: read and write index meet with the ring wrapped.
  EXPECT_EQ(queue.readIndex, queue.writeIndex);
  EXPECT_TRUE(queue.wrapped);
  EXPECT_FALSE(queue.Put(packets[50].get()));
  EXPECT_EQ(queue.Count(), 50);
  for (int k = 0; k < 50; k++) {
    EXPECT_EQ(queue.Take(), packets[k].get());
    ASSERT_TRUE(queue.IsValid());
  }
  // Empty again: indices meet, not wrapped.
  EXPECT_EQ(queue.readIndex, queue.writeIndex);
  EXPECT_FALSE(queue.wrapped);
  EXPECT_EQ(queue.Take(), nullptr);
  EXPECT_EQ(queue.Count(), 0);
}

// Interleaved puts and takes against std::deque: the count, the order and the
// `wrapped` flag (set exactly while the write index has gone round once more
// than the read index) follow the reference through many wrap-arounds.
TEST(PacketQueueTest, WrapsAroundLikeAReferenceFifo) {
  const int size = 5;
  PacketQueue queue(size);
  auto packets = MakePackets(8);
  std::deque<DataPacket*> reference;
  long puts = 0, takes = 0;
  // A fixed pattern of puts (1) and takes (0) that fills, drains and
  // straddles the end of the ring repeatedly.
  const int pattern[] = {1, 1, 1, 0, 1, 1, 1, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1, 1, 1, 0,
                         1, 1, 1, 1, 1, 0, 1, 0, 0, 1, 1, 0, 0, 0, 0, 1, 0, 0, 1, 1};
  for (int round = 0; round < 5; round++) {
    for (int step : pattern) {
      if (step == 1) {
        DataPacket* packet = packets[(puts + takes) % 8].get();
        const bool stored = queue.Put(packet);
        EXPECT_EQ(stored, reference.size() < size);
        if (stored) {
          reference.push_back(packet);
          puts++;
        }
      } else {
        DataPacket* taken = queue.Take();
        if (reference.empty()) {
          EXPECT_EQ(taken, nullptr);
        } else {
          EXPECT_EQ(taken, reference.front());
          reference.pop_front();
          takes++;
        }
      }
      ASSERT_TRUE(queue.IsValid());
      ASSERT_EQ(queue.Count(), static_cast<int>(reference.size()));
      EXPECT_EQ(queue.wrapped, puts / size > takes / size);
    }
  }
  EXPECT_GT(puts, 3 * size);  // the ring went round several times
}
