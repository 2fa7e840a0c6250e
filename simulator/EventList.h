#ifndef EVENT_LIST_H
#define EVENT_LIST_H

#include <ostream>

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
  // The same, with the event's fields given (the step fills the spare
  // event directly instead of copying one of its own).
  int Insert(double time, double enablingTime, BaseActionClass* action);
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
  // Slot 0 reports the capacity instead of its index (minus it for a spare
  // event), so that no failure reads as 0.
  int IsValid() const;
  void PrintList(std::ostream& out) const;

  int Size() const { return size; }
  int Capacity() const { return capacity; }
  int FreeCount() const { return numFree; }
  Event** Slot(int i) { return &heap[i].event; }

 private:
  // The address of a group's eventSlot field (in its ScheduleRecord).
  typedef Event*** SlotOwner;

  // One heap slot. The slot proper is `event` (its address is what a
  // group's eventSlot holds, so it must stay the first field); beside it,
  // kept in step, the event's time (what the sifts compare, without
  // following the event pointer) and the address of its group's eventSlot
  // (what every move updates). One array keeps a move to one entry copy.
  struct Entry {
    Event* event;
    SlotOwner owner;
    double key;
  };

  int IndexOf(Event** slot) const {
    return static_cast<int>(reinterpret_cast<Entry*>(slot) - heap);
  }

  // True when an event at ta of group a fires before one at tb of group b:
  // earlier, or at the same time with a higher Rank() (a's asked first; the
  // ranks are asked only on equal times).
  static bool Before(double ta, BaseActionClass* a, double tb, BaseActionClass* b);

  // The sifts move a hole instead of swapping: every event passed is moved
  // once, and the moving event (time t) is placed once, at the slot where
  // the hole ends. HoleUp and HoleDown compare times only and return that
  // slot, or ~hole (negative) when they meet an exact tie at hole; Settle
  // then goes on from that hole with the general loops, which ask the ranks
  // (out of line, so that the fast loops and their callers make no calls).
  // The general loops make from a hole exactly the comparisons they would
  // have made from the start, so the ranks asked are always theirs.
  int HoleUp(int i, double t) const;
  int HoleDown(int i, double t) const;
  // Finishes moving e (time t, group's eventSlot at owner) from the tie met
  // at hole: upward when up is set (and then, if it never left start,
  // downward from start), otherwise downward. Places it.
  void Settle(int start, int hole, bool up, Event* e, double t, SlotOwner owner);
  int HoleUpTied(int i, double t, BaseActionClass* a);
  int HoleDownTied(int i, double t, BaseActionClass* a);
  // Moves the entry at slot from into slot to of h (the heap array, read
  // once by the caller: the store through the owner could alias the field).
  static void MoveEntry(Entry* h, int to, int from);
  static void Place(Entry* h, int i, Event* e, double t, SlotOwner owner);

  Event** freeEvents;  // spare events in 0 .. numFree-1, owned; the last is the front
  int numFree;
  int capacity;
  Entry* heap;  // slots 0 .. size-1 in heap order; event null from size on
  int size;
  int* ties;    // heap indices collected by FindEquals
  int numTies;
};

// True when an event at ta of group a fires before one at tb of group b.
inline bool EventList::Before(double ta, BaseActionClass* a, double tb, BaseActionClass* b) {
  if (ta != tb) return ta < tb;
  const int rankA = a->Rank();
  const int rankB = b->Rank();
  return rankA > rankB;
}

// Field by field, as Place writes them: a whole-entry copy is done with
// wider loads, which wait when the entry was stored a moment ago.
inline void EventList::MoveEntry(Entry* h, int to, int from) {
  h[to].event = h[from].event;
  h[to].owner = h[from].owner;
  h[to].key = h[from].key;
  *h[to].owner = &h[to].event;
}

inline void EventList::Place(Entry* h, int i, Event* e, double t, SlotOwner owner) {
  h[i].event = e;
  h[i].owner = owner;
  h[i].key = t;
  *owner = &h[i].event;
}

inline int EventList::HoleUp(int i, double t) const {
  Entry* const h = heap;
  while (i > 0) {
    const int p = (i - 1) / 2;
    const double parentKey = h[p].key;
    // Not earlier than the parent: an equal time goes to the ranks, a later
    // one (or a time that is not a number) stops here.
    if (!(t < parentKey)) {
      if (t == parentKey) return ~i;
      break;
    }
    MoveEntry(h, i, p);
    i = p;
  }
  return i;
}

inline int EventList::Insert(Event* e) { return Insert(e->time, e->enablingTime, e->action); }

inline int EventList::Insert(double t, double enablingTime, BaseActionClass* action) {
  Event* spare = freeEvents[--numFree];
  spare->time = t;
  spare->enablingTime = enablingTime;
  spare->action = action;
  const SlotOwner owner = &action->eventInfo->eventSlot;
  const int start = size++;
  const int i = HoleUp(start, t);
  if (i < 0) {
    Settle(start, ~i, true, spare, t, owner);
    return 0;
  }
  Place(heap, i, spare, t, owner);
  return i;
}

#endif
