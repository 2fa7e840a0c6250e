#include "simulator/PacketQueue.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

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

// A report size far beyond the observations a run makes (-n 100000000 with
// a handful of replications) costs memory only for what is written: the
// rows start zeroed without being cleared page by page.
TEST(DataPacketTest, RowsTakeMemoryOnlyWhereWritten) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer maps shadow memory for every allocation";
#endif
  struct rusage before, after;
  ASSERT_EQ(getrusage(RUSAGE_SELF, &before), 0);
  const int width = 20000000;  // 3 rows: 480 MB of doubles
  std::vector<std::unique_ptr<DataPacket>> packets;
  for (int k = 0; k < 4; k++) packets.emplace_back(new DataPacket(k, 0, 3, width));
  for (auto& packet : packets) {
    for (int row = 0; row < 3; row++) {
      EXPECT_EQ(packet->values[static_cast<size_t>(row) * width + width / 2], 0.0);
      packet->values[static_cast<size_t>(row) * width] = row + 1.0;
      EXPECT_EQ(packet->counts[row], 0);
    }
  }
  ASSERT_EQ(getrusage(RUSAGE_SELF, &after), 0);
  // ru_maxrss is in kilobytes; the four packets hold 1.9 GB.
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024);
  EXPECT_EQ(packets[3]->values[2 * static_cast<size_t>(width)], 3.0);
}
