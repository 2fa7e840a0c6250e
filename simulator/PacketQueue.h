#ifndef PACKET_QUEUE_H
#define PACKET_QUEUE_H

class DataPacket;
class KorvanMutex;

// A fixed ring of data-packet pointers between the producer of results (the
// run drivers) and their consumer (the write-out). Every access to the
// fields below happens with `mutex` held.
//
// Empty when readIndex == writeIndex and not `wrapped`; full when they are
// equal and `wrapped`. `wrapped` is set when writeIndex wraps to 0 and
// cleared when readIndex does.
//
// Ownership: the queue owns its slot array and its mutex, never the packets
// it holds; whoever destroys a queue first takes its packets out.
class PacketQueue {
 public:
  // REQUIRES: size > 0.
  explicit PacketQueue(int size);
  ~PacketQueue();

  PacketQueue(const PacketQueue&) = delete;
  PacketQueue& operator=(const PacketQueue&) = delete;

  // Stores `packet` at the tail; false (and nothing stored) when full.
  bool Put(DataPacket* packet);
  // The packet at the head, removed; null when empty.
  DataPacket* Take();
  // Packets held.
  int Count();

  // Whether the fields satisfy the ring's invariants (for tests).
  bool IsValid();

  DataPacket** items;
  int size;
  int readIndex;
  int writeIndex;
  bool wrapped;
  KorvanMutex* mutex;

 private:
  int CountLocked() const;
};

#endif
