#ifndef EVENT_LIST_H
#define EVENT_LIST_H

#include <ostream>
#include <vector>

#include "simulator/Event.h"

// The pending completions of the model's groups, at most one per group, as a
// binary min-heap ordered by time and then by higher Rank(). Among events
// equal in both, Earliest() draws one at random in proportion to the groups'
// Weight().
//
// Every group's ScheduleRecord::eventSlot always holds the address of the
// heap slot of its event (null when it has none); the list updates it on
// every move, so events can be removed or re-keyed in O(log n).
//
// All events are made when the list is built and recycled through a free
// list: scheduling and unscheduling never allocate. REQUIRES: never more
// pending events than the capacity.
class EventList {
 public:
  explicit EventList(int capacity);
  EventList(const EventList&) = delete;
  EventList& operator=(const EventList&) = delete;
  ~EventList();

  // Copies e into a spare event and schedules it; e stays the caller's.
  int Insert(Event* e);
  // Removes the event in slot.
  void Remove(Event** slot);
  // Removes the slot stored at p (e.g. a ScheduleRecord, whose first field
  // is its eventSlot).
  void Remove(void* p);
  // Restores heap order after the event in slot got a new time.
  void ModifyKey(Event** slot);
  // The slot of the event to fire next, or null when the list is empty.
  // Draws one uniform number when the earliest event has exact ties.
  Event** Earliest();
  // Unschedules everything: every pending group loses its event slot and is
  // marked as not in the reactivation list.
  void ClearEventList();

  void FindEquals(int i);
  int BubbleUp(int i);
  int BubbleDown(int i);

  // 0 when every invariant holds, otherwise a code naming the first failure.
  int IsValid() const;
  void PrintList(std::ostream& out) const;

  int Size() const { return size; }
  int Capacity() const { return capacity; }
  int FreeCount() const { return static_cast<int>(freeEvents.size()); }
  Event** Slot(int i) { return &heap[i]; }

 private:
  // True when a fires before b: earlier, or equal time and higher rank.
  static bool Before(const Event* a, const Event* b);
  void Place(int i, Event* e);

  std::vector<Event*> freeEvents;  // spare events, owned; the back is the front
  int capacity;
  Event** heap;  // slots 0 .. size-1 in heap order; null from size on
  int size;
  int* ties;     // heap indices collected by FindEquals
  int numTies;
};

#endif
