#include "simulator/PacketQueue.h"

#include <new>

#include "Cpp/BaseClasses/ErrorReporting.h"
#include "Cpp/BaseClasses/KorvanAssert.h"
#include "platform/KorvanMutex.h"

PacketQueue::PacketQueue(int size)
    : items(nullptr), size(size), readIndex(0), writeIndex(0), wrapped(false), mutex(nullptr) {
  KORVAN_ASSERT(size > 0);
  items = new (std::nothrow) DataPacket*[size]();
  mutex = new (std::nothrow) KorvanMutex();
  if (items == nullptr || mutex == nullptr) MemoryAllocationError();
}

PacketQueue::~PacketQueue() {
  delete[] items;
  delete mutex;
}

int PacketQueue::CountLocked() const {
  int held = writeIndex - readIndex;
  if (writeIndex < readIndex || wrapped) held += size;
  return held;
}

bool PacketQueue::Put(DataPacket* packet) {
  mutex->Get();
  const bool full = readIndex == writeIndex && wrapped;
  if (!full) {
    items[writeIndex] = packet;
    if (++writeIndex == size) {
      writeIndex = 0;
      wrapped = true;
    }
  }
  mutex->Release();
  return !full;
}

DataPacket* PacketQueue::Take() {
  DataPacket* packet = nullptr;
  mutex->Get();
  const bool empty = readIndex == writeIndex && !wrapped;
  if (!empty) {
    packet = items[readIndex];
    items[readIndex] = nullptr;
    if (++readIndex == size) {
      readIndex = 0;
      wrapped = false;
    }
  }
  mutex->Release();
  return packet;
}

int PacketQueue::Count() {
  mutex->Get();
  const int held = CountLocked();
  mutex->Release();
  return held;
}

bool PacketQueue::IsValid() {
  mutex->Get();
  bool valid = readIndex >= 0 && readIndex < size && writeIndex >= 0 && writeIndex < size;
  if (valid) {
    // With the ring not wrapped the held slots lie between the two indices;
    // with it wrapped the write index has gone round once and is behind (or
    // level with) the read index.
    valid = wrapped ? writeIndex <= readIndex : readIndex <= writeIndex;
  }
  if (valid) {
    // Slots outside the held range are cleared by Take.
    const int held = CountLocked();
    for (int k = held; k < size && valid; k++) {
      valid = items[(readIndex + k) % size] == nullptr;
    }
  }
  mutex->Release();
  return valid;
}
