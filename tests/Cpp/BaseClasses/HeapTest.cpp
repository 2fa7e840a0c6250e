#include "Cpp/BaseClasses/Heap.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

namespace {

template <typename T>
void ExpectValid(const Heap<T>& heap) {
  for (int i = 1; i < heap.Size(); i++) {
    ASSERT_FALSE(heap.KeyAt((i - 1) / 2) > heap.KeyAt(i)) << "heap order broken at " << i;
  }
  for (int p = 0; p < heap.Size(); p++) {
    ASSERT_EQ(heap.PositionOf(heap.IdAt(p)), p) << "position of id " << heap.IdAt(p);
  }
}

TEST(HeapTest, TopAndPositionsFollowInsertsAndKeyChanges) {
  Heap<double> heap(4);
  heap.Insert(3.0, 0);
  heap.Insert(1.0, 1);
  heap.Insert(2.0, 2);
  EXPECT_EQ(heap.TopKey(), 1.0);
  EXPECT_EQ(heap.TopId(), 1);
  EXPECT_EQ(heap.PositionOf(1), 0);
  ExpectValid(heap);

  heap.ModifyKey(1, 10.0);  // raising the top moves it down
  EXPECT_EQ(heap.TopId(), 2);
  EXPECT_EQ(heap.KeyOf(1), 10.0);
  ExpectValid(heap);
  heap.ModifyKey(0, 0.5);  // lowering moves up
  EXPECT_EQ(heap.TopId(), 0);
  ExpectValid(heap);
}

TEST(HeapTest, EqualKeysDoNotSwap) {
  Heap<int> heap(4);
  heap.Insert(5, 7);
  heap.Insert(5, 3);
  heap.Insert(5, 9);
  EXPECT_EQ(heap.IdAt(0), 7);
  EXPECT_EQ(heap.IdAt(1), 3);
  EXPECT_EQ(heap.IdAt(2), 9);
}

TEST(HeapTest, GrowsKeysAndPositionsByDoubling) {
  Heap<int> heap(4);
  heap.Insert(1, 10);
  EXPECT_EQ(heap.PositionsSize(), 16);
  for (int i = 0; i < 5; i++) heap.Insert(i, i);
  EXPECT_EQ(heap.Capacity(), 8);
  ExpectValid(heap);

  Heap<double> empty(0);  // built empty: must still be able to grow
  empty.Insert(2.0, 3);
  empty.Insert(1.0, 0);
  EXPECT_EQ(empty.TopId(), 0);
  ExpectValid(empty);
}

TEST(HeapTest, AgreesWithAReferenceUnderRandomOperations) {
  std::mt19937 random(2024);
  const int kIds = 64;
  Heap<double> heap(8);
  std::map<int, double> reference;
  for (int step = 0; step < 5000; step++) {
    int id = static_cast<int>(random() % kIds);
    double key = static_cast<double>(random() % 50);  // many ties on purpose
    if (reference.count(id) == 0) {
      heap.Insert(key, id);
    } else {
      heap.ModifyKey(id, key);
    }
    reference[id] = key;
    ExpectValid(heap);
    double smallest = reference.begin()->second;
    for (const auto& entry : reference) smallest = std::min(smallest, entry.second);
    ASSERT_EQ(heap.TopKey(), smallest);
    ASSERT_EQ(reference[heap.TopId()], smallest);
  }
  EXPECT_EQ(heap.Size(), static_cast<int>(reference.size()));
}

TEST(HeapDeathTest, ReadingTheTopOfAnEmptyHeapIsAnInternalError) {
  Heap<int> heap(0);
  EXPECT_DEATH(heap.TopKey(), "size > 0");
}

// An identifier outside the positions array's range wrote before its
// start (a negative one) or doubled the array past the range of int and
// spun for ever (2^30 and up): both are refused.
TEST(HeapDeathTest, IdentifiersOutsideTheirRangeAreInternalErrors) {
  Heap<double> heap(4);
  volatile int negative = -1;  // as a caller's index, not a constant
  EXPECT_DEATH(heap.Insert(1.0, negative), "id >= 0");
  volatile int huge = 1 << 30;
  EXPECT_DEATH(heap.Insert(1.0, huge), "id < kIdLimit");
  heap.Insert(1.0, 1000);
  EXPECT_GT(heap.PositionsSize(), 1000);
}

}  // namespace
