#ifndef HEAP_H
#define HEAP_H

#include <algorithm>

#include "Cpp/BaseClasses/KorvanAssert.h"

// Indexed binary min-heap: each entry is a key and a caller-chosen integer
// identifier, and the heap knows every identifier's position so that its key
// can be changed in place. Each identifier is inserted at most once.
//
// Invariants: keys[(i - 1) / 2] <= keys[i] for 0 < i < size, and
// positions[ids[p]] == p for every p < size. Equal keys never swap.
template <typename T>
class Heap {
 public:
  explicit Heap(int n)
      : capacity(n > 0 ? n : 0),
        keys(new T[capacity > 0 ? capacity : 1]),
        positions(new int[capacity > 0 ? capacity : 1]()),
        ids(new int[capacity > 0 ? capacity : 1]()),
        positionsSize(capacity),
        size(0) {}
  Heap(const Heap&) = delete;
  Heap& operator=(const Heap&) = delete;
  ~Heap() {
    delete[] keys;
    delete[] positions;
    delete[] ids;
  }

  // Identifiers index the positions array, which doubles until it holds
  // them: from 2^30 on the doubling would pass the range of int.
  static constexpr int kIdLimit = 1 << 30;

  // Adds (key, id) and returns the entry's final position.
  // REQUIRES: 0 <= id < kIdLimit.
  int Insert(const T& key, int id) {
    KORVAN_ASSERT(id >= 0 && id < kIdLimit);
    if (size == capacity) {
      // A heap built empty grows to one entry: doubling zero would not grow.
      int grown = capacity > 0 ? 2 * capacity : 1;
      T* newKeys = new T[grown];
      int* newIds = new int[grown]();
      std::copy(keys, keys + size, newKeys);
      std::copy(ids, ids + size, newIds);
      delete[] keys;
      delete[] ids;
      keys = newKeys;
      ids = newIds;
      capacity = grown;
    }
    if (id >= positionsSize) {
      int grown = positionsSize > 0 ? positionsSize : 1;
      while (grown <= id) grown *= 2;
      int* newPositions = new int[grown]();
      std::copy(positions, positions + positionsSize, newPositions);
      delete[] positions;
      positions = newPositions;
      positionsSize = grown;
    }
    keys[size] = key;
    positions[id] = size;
    ids[size] = id;
    size++;
    return BubbleUp(size - 1);
  }

  // Moves the entry at i up while its parent's key is strictly greater;
  // returns the final position.
  int BubbleUp(int i) {
    while (i > 0 && keys[(i - 1) / 2] > keys[i]) {
      Swap(i, (i - 1) / 2);
      i = (i - 1) / 2;
    }
    return i;
  }

  // Moves the entry at i down while a child's key is strictly smaller;
  // returns the final position.
  int BubbleDown(int i) {
    for (;;) {
      int l = 2 * i + 1;
      if (l >= size) return i;
      int child = (l + 1 < size && keys[l] > keys[l + 1]) ? l + 1 : l;
      if (!(keys[child] < keys[i])) return i;
      Swap(i, child);
      i = child;
    }
  }

  // The smallest key and its identifier. REQUIRES: the heap is not empty.
  const T& TopKey() const {
    KORVAN_ASSERT(size > 0);
    return keys[0];
  }
  int TopId() const {
    KORVAN_ASSERT(size > 0);
    return ids[0];
  }

  // REQUIRES: id was inserted.
  const T& KeyOf(int id) const { return keys[positions[id]]; }

  // Gives id a new key and restores heap order: up, or down if it did not move.
  void ModifyKey(int id, const T& key) {
    int p = positions[id];
    keys[p] = key;
    if (BubbleUp(p) == p) BubbleDown(p);
  }

  int Size() const { return size; }
  int Capacity() const { return capacity; }
  int PositionsSize() const { return positionsSize; }
  int PositionOf(int id) const { return positions[id]; }
  int IdAt(int position) const { return ids[position]; }
  const T& KeyAt(int position) const { return keys[position]; }

 private:
  void Swap(int a, int b) {
    std::swap(keys[a], keys[b]);
    std::swap(ids[a], ids[b]);
    positions[ids[a]] = a;
    positions[ids[b]] = b;
  }

  int capacity;
  T* keys;
  int* positions;
  int* ids;
  int positionsSize;
  int size;
};

#endif
