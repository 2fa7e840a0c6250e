#include "simulator/EventList.h"

#include "Cpp/BaseClasses/BaseActionClass.h"
#include "random/Distributions.h"
#include "simulator/SimulatorClass.h"

namespace {

inline Event*** OwnerOf(const Event* e) { return &e->action->eventInfo->eventSlot; }

}  // namespace

EventList::EventList(int capacity)
    : freeEvents(new Event*[capacity > 0 ? capacity : 1]),
      numFree(0),
      capacity(capacity),
      heap(new Entry[capacity > 0 ? capacity : 1]()),
      size(0),
      ties(new int[capacity > 0 ? capacity : 1]),
      numTies(0) {
  for (int i = 0; i < capacity; i++) freeEvents[numFree++] = new Event();
}

EventList::~EventList() {
  ClearEventList();
  for (int i = 0; i < numFree; i++) delete freeEvents[i];
  delete[] ties;
  delete[] heap;
  delete[] freeEvents;
}

inline int EventList::HoleDown(int i, double t) const {
  Entry* const h = heap;
  const int n = size;
  for (;;) {
    const int l = 2 * i + 1;
    if (l >= n) break;
    int child = l;
    double childKey = h[l].key;
    if (l + 1 < n) {
      const double rightKey = h[l + 1].key;
      // The right child only when strictly before the left one.
      if (rightKey == childKey) return ~i;
      if (rightKey < childKey) {
        child = l + 1;
        childKey = rightKey;
      }
    }
    if (!(childKey < t)) {
      if (childKey == t) return ~i;
      break;
    }
    MoveEntry(h, i, child);
    i = child;
  }
  return i;
}

void EventList::Remove(Event** slot) {
  Entry* const h = heap;
  const int i = IndexOf(slot);
  const int last = size - 1;
  freeEvents[numFree++] = h[i].event;
  *h[i].owner = nullptr;
  size = last;
  Event* const moving = h[last].event;
  const SlotOwner owner = h[last].owner;
  const double t = h[last].key;
  h[last].event = nullptr;
  if (i == last) return;
  // The last event fills the hole: up if it is before the hole's parent,
  // otherwise down. (At the root there is no parent to ask about.)
  int to = i;
  if (i > 0) {
    to = HoleUp(i, t);
    if (to < 0) return Settle(i, ~to, true, moving, t, owner);
  }
  if (to == i) {
    to = HoleDown(i, t);
    if (to < 0) return Settle(i, ~to, false, moving, t, owner);
  }
  Place(h, to, moving, t, owner);
}

void EventList::Remove(void* p) { Remove(*static_cast<Event***>(p)); }

void EventList::ModifyKey(Event** slot) {
  const int i = IndexOf(slot);
  Event* const moving = heap[i].event;
  const SlotOwner owner = heap[i].owner;
  const double t = moving->time;
  int to = HoleUp(i, t);
  if (to < 0) return Settle(i, ~to, true, moving, t, owner);
  if (to == i) {
    to = HoleDown(i, t);
    if (to < 0) return Settle(i, ~to, false, moving, t, owner);
  }
  Place(heap, to, moving, t, owner);
}

// The general loops: the ranks decide between equal times. Rarely reached
// (instantaneous and deterministic activities).
__attribute__((noinline)) void EventList::Settle(int start, int hole, bool up, Event* e, double t,
                                                 SlotOwner owner) {
  BaseActionClass* const a = e->action;
  int to = hole;
  if (up) {
    to = HoleUpTied(hole, t, a);
    if (to == start) to = HoleDownTied(start, t, a);
  } else {
    to = HoleDownTied(hole, t, a);
  }
  Place(heap, to, e, t, owner);
}

int EventList::HoleUpTied(int i, double t, BaseActionClass* a) {
  Entry* const h = heap;
  while (i > 0) {
    const int p = (i - 1) / 2;
    if (!Before(t, a, h[p].key, h[p].event->action)) break;
    MoveEntry(h, i, p);
    i = p;
  }
  return i;
}

int EventList::HoleDownTied(int i, double t, BaseActionClass* a) {
  Entry* const h = heap;
  const int n = size;
  for (;;) {
    const int l = 2 * i + 1;
    if (l >= n) break;
    int child = l;
    // The right child only when strictly before the left one.
    if (l + 1 < n && Before(h[l + 1].key, h[l + 1].event->action, h[l].key, h[l].event->action)) {
      child = l + 1;
    }
    if (!Before(h[child].key, h[child].event->action, t, a)) break;
    MoveEntry(h, i, child);
    i = child;
  }
  return i;
}

// BubbleUp and BubbleDown are the general loops on their own.
int EventList::BubbleUp(int i) {
  Entry e = heap[i];
  const int to = HoleUpTied(i, e.key, e.event->action);
  Place(heap, to, e.event, e.key, e.owner);
  return to;
}

int EventList::BubbleDown(int i) {
  Entry e = heap[i];
  const int to = HoleDownTied(i, e.key, e.event->action);
  Place(heap, to, e.event, e.key, e.owner);
  return to;
}

void EventList::FindEquals(int i) {
  ties[numTies++] = i;
  for (int c = 2 * i + 1; c <= 2 * i + 2 && c < size; c++) {
    if (heap[c].key != heap[i].key) continue;
    const int childRank = heap[c].event->action->Rank();
    if (childRank == heap[i].event->action->Rank()) FindEquals(c);
  }
}

Event** EventList::Earliest() {
  if (size == 0) return nullptr;
  // Without a child at the root's time there is no tie (and no rank to ask).
  const Entry* const h = heap;
  if ((size < 2 || h[1].key != h[0].key) && (size < 3 || h[2].key != h[0].key)) {
    return &heap[0].event;
  }
  numTies = 0;
  FindEquals(0);
  if (numTies == 1) {
    numTies = 0;
    return &heap[0].event;
  }
  double sum = 0.0;
  for (int k = 0; k < numTies; k++) sum += heap[ties[k]].event->action->Weight();
  double target = sum * TheDistribution->generator->rnd();
  // When no running total exceeds the target (a uniform of exactly 1, which
  // the Tausworthe generator can return; rounding; all weights zero) the
  // last tie with a positive weight is taken, or the last tie when none has
  // one: an event of weight zero never fires while one with weight can.
  int chosen = ties[numTies - 1];
  int lastWeighted = -1;
  double running = 0.0;
  int k = 0;
  for (; k < numTies; k++) {
    const double weight = heap[ties[k]].event->action->Weight();
    running += weight;
    if (weight > 0.0) lastWeighted = ties[k];
    if (running > target) {
      chosen = ties[k];
      break;
    }
  }
  if (k == numTies && lastWeighted >= 0) chosen = lastWeighted;
  numTies = 0;
  return &heap[chosen].event;
}

void EventList::ClearEventList() {
  for (int i = 0; i < size; i++) {
    Event* e = heap[i].event;
    freeEvents[numFree++] = e;
    ScheduleRecord* record = e->action->eventInfo;
    record->eventSlot = nullptr;
    record->notInReactivationList = true;
    heap[i] = Entry();
  }
  size = 0;
}

int EventList::IsValid() const {
  for (int i = 0; i < size / 2; i++) {
    int l = 2 * i + 1;
    if (heap[i].event->time > heap[l].event->time) return l;
    if (l + 1 < size && heap[i].event->time > heap[l + 1].event->time) return l + 1;
  }
  for (int k = 0; k < size; k++) {
    if (*OwnerOf(heap[k].event) != &heap[k].event) return 100000 + k;
  }
  // Slot 0 cannot report itself as its index (0 is "valid", and so is -0):
  // it reports the capacity, which no slot has, or minus the capacity.
  for (int k = size; k < capacity; k++) {
    if (heap[k].event != nullptr) return k > 0 ? k : capacity;
  }
  for (int f = 0; f < numFree; f++) {
    for (int k = 0; k < size; k++) {
      if (heap[k].event == freeEvents[f]) return k > 0 ? -k : -capacity;
    }
  }
  // The copies the sifts work on.
  for (int k = 0; k < size; k++) {
    if (heap[k].key != heap[k].event->time || heap[k].owner != OwnerOf(heap[k].event)) {
      return 200000 + k;
    }
  }
  return 0;
}

void EventList::PrintList(std::ostream& out) const {
  out << "------------------Event List-----------------" << std::endl;
  for (int i = 0; i < size; i++) {
    const Event* e = heap[i].event;
    out << "(" << e->action->name << ") " << e->enablingTime << " --> " << e->time << std::endl;
  }
  out << "---------------------------------------------" << std::endl << std::endl;
}
