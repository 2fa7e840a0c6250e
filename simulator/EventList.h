#ifndef EVENT_LIST_H
#define EVENT_LIST_H

#include <ostream>
#include <vector>

#include "Cpp/BaseClasses/BaseActionClass.h"
#include "simulator/Event.h"
#include "simulator/SimulatorClass.h"

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
  // Inline (below): the step schedules a group after nearly every firing.
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

  // 0 when every invariant holds, otherwise a code naming the first failure:
  // heap order (the later slot), a group not pointing back at its slot
  // (100000 + slot), a filled slot past the end (that slot), a spare event
  // in the heap (minus its slot), a stale time or group copy (200000 + slot).
  int IsValid() const;
  void PrintList(std::ostream& out) const;

  int Size() const { return size; }
  int Capacity() const { return capacity; }
  int FreeCount() const { return static_cast<int>(freeEvents.size()); }
  Event** Slot(int i) { return &heap[i]; }

 private:
  // The address of a group's eventSlot field (in its ScheduleRecord).
  typedef Event*** SlotOwner;

  // True when an event at ta of group a fires before one at tb of group b:
  // earlier, or at the same time with a higher Rank() (a's asked first; the
  // ranks are asked only on equal times).
  static bool Before(double ta, BaseActionClass* a, double tb, BaseActionClass* b);
  // The sifts behind BubbleUp and BubbleDown, inlined into the operations:
  // event `moving` (time t, group's eventSlot field at owner) goes from the
  // hole at slot i up, respectively down, to its place; returns that slot.
  int SiftUp(int i, Event* moving, double t, SlotOwner owner);
  int SiftDown(int i, Event* moving, double t, SlotOwner owner);

  std::vector<Event*> freeEvents;  // spare events, owned; the back is the front
  int capacity;
  Event** heap;  // slots 0 .. size-1 in heap order; null from size on
  int size;
  int* ties;     // heap indices collected by FindEquals
  int numTies;
  // Beside each occupied slot, kept in step with heap: the event's time
  // (what the sifts compare, without following the event pointer) and the
  // address of its group's eventSlot (what every move updates).
  double* keys;
  SlotOwner* owners;
};

// True when an event at ta of group a fires before one at tb of group b.
inline bool EventList::Before(double ta, BaseActionClass* a, double tb, BaseActionClass* b) {
  if (ta != tb) return ta < tb;
  const int rankA = a->Rank();
  const int rankB = b->Rank();
  return rankA > rankB;
}

// The array pointers are read into locals once: the stores through a group's
// eventSlot could otherwise alias the members and force reloads.
inline int EventList::SiftUp(int i, Event* moving, double t, SlotOwner owner) {
  Event** const h = heap;
  double* const k = keys;
  SlotOwner* const o = owners;
  while (i > 0) {
    const int p = (i - 1) / 2;
    if (!Before(t, moving->action, k[p], h[p]->action)) break;
    h[i] = h[p];
    k[i] = k[p];
    o[i] = o[p];
    *o[i] = &h[i];
    i = p;
  }
  h[i] = moving;
  k[i] = t;
  o[i] = owner;
  *owner = &h[i];
  return i;
}

inline int EventList::Insert(Event* e) {
  Event* spare = freeEvents.back();
  freeEvents.pop_back();
  *spare = *e;
  return SiftUp(size++, spare, spare->time, &spare->action->eventInfo->eventSlot);
}

#endif
