#include "simulator/EventList.h"

#include "Cpp/BaseClasses/BaseActionClass.h"
#include "random/Distributions.h"
#include "simulator/SimulatorClass.h"

namespace {

inline Event*** OwnerOf(const Event* e) { return &e->action->eventInfo->eventSlot; }

}  // namespace

EventList::EventList(int capacity)
    : capacity(capacity),
      heap(new Event*[capacity > 0 ? capacity : 1]()),
      size(0),
      ties(new int[capacity > 0 ? capacity : 1]),
      numTies(0),
      keys(new double[capacity > 0 ? capacity : 1]()),
      owners(new SlotOwner[capacity > 0 ? capacity : 1]()) {
  freeEvents.reserve(capacity);
  for (int i = 0; i < capacity; i++) freeEvents.push_back(new Event());
}

EventList::~EventList() {
  ClearEventList();
  for (Event* e : freeEvents) delete e;
  delete[] owners;
  delete[] keys;
  delete[] ties;
  delete[] heap;
}

void EventList::Remove(Event** slot) {
  const int i = static_cast<int>(slot - heap);
  const int last = size - 1;
  freeEvents.push_back(heap[i]);
  *owners[i] = nullptr;
  size = last;
  Event* const moving = heap[last];
  heap[last] = nullptr;
  if (i == last) return;
  // The last event fills the hole: up if it is before the hole's parent,
  // otherwise down.
  if (SiftUp(i, moving, keys[last], owners[last]) == i) {
    SiftDown(i, moving, keys[last], owners[last]);
  }
}

void EventList::Remove(void* p) { Remove(*static_cast<Event***>(p)); }

void EventList::ModifyKey(Event** slot) {
  const int i = static_cast<int>(slot - heap);
  Event* const moving = heap[i];
  if (SiftUp(i, moving, moving->time, owners[i]) == i) {
    SiftDown(i, moving, moving->time, owners[i]);
  }
}

// Both sifts move a hole instead of swapping: the moving event is placed
// once, at its final slot, and every event it passes is placed once (SiftUp
// is in the header, beside Insert).
inline int EventList::SiftDown(int i, Event* moving, double t, SlotOwner owner) {
  Event** const h = heap;
  double* const k = keys;
  SlotOwner* const o = owners;
  const int n = size;
  for (;;) {
    const int l = 2 * i + 1;
    if (l >= n) break;
    int child = l;
    // The right child only when strictly before the left one.
    if (l + 1 < n && Before(k[l + 1], h[l + 1]->action, k[l], h[l]->action)) child = l + 1;
    if (!Before(k[child], h[child]->action, t, moving->action)) break;
    h[i] = h[child];
    k[i] = k[child];
    o[i] = o[child];
    *o[i] = &h[i];
    i = child;
  }
  h[i] = moving;
  k[i] = t;
  o[i] = owner;
  *owner = &h[i];
  return i;
}

int EventList::BubbleUp(int i) { return SiftUp(i, heap[i], keys[i], owners[i]); }

int EventList::BubbleDown(int i) { return SiftDown(i, heap[i], keys[i], owners[i]); }

void EventList::FindEquals(int i) {
  ties[numTies++] = i;
  for (int c = 2 * i + 1; c <= 2 * i + 2 && c < size; c++) {
    if (keys[c] != keys[i]) continue;
    const int childRank = heap[c]->action->Rank();
    if (childRank == heap[i]->action->Rank()) FindEquals(c);
  }
}

Event** EventList::Earliest() {
  if (size == 0) return nullptr;
  // Without a child at the root's time there is no tie (and no rank to ask).
  if ((size < 2 || keys[1] != keys[0]) && (size < 3 || keys[2] != keys[0])) return &heap[0];
  numTies = 0;
  FindEquals(0);
  if (numTies == 1) {
    numTies = 0;
    return &heap[0];
  }
  double sum = 0.0;
  for (int k = 0; k < numTies; k++) sum += heap[ties[k]]->action->Weight();
  double target = sum * TheDistribution->generator->rnd();
  // When no running total exceeds the target (all weights zero, or rounding
  // with u close to 1) the last tie is taken.
  int chosen = ties[numTies - 1];
  double running = 0.0;
  for (int k = 0; k < numTies; k++) {
    running += heap[ties[k]]->action->Weight();
    if (running > target) {
      chosen = ties[k];
      break;
    }
  }
  numTies = 0;
  return &heap[chosen];
}

void EventList::ClearEventList() {
  for (int i = 0; i < size; i++) {
    Event* e = heap[i];
    freeEvents.push_back(e);
    ScheduleRecord* record = e->action->eventInfo;
    record->eventSlot = nullptr;
    record->notInReactivationList = true;
    heap[i] = nullptr;
    owners[i] = nullptr;
  }
  size = 0;
}

int EventList::IsValid() const {
  for (int i = 0; i < size / 2; i++) {
    int l = 2 * i + 1;
    if (heap[i]->time > heap[l]->time) return l;
    if (l + 1 < size && heap[i]->time > heap[l + 1]->time) return l + 1;
  }
  for (int k = 0; k < size; k++) {
    if (*OwnerOf(heap[k]) != &heap[k]) return 100000 + k;
  }
  for (int k = size; k < capacity; k++) {
    if (heap[k] != nullptr) return k;
  }
  for (const Event* e : freeEvents) {
    for (int k = 0; k < size; k++) {
      if (heap[k] == e) return -k;
    }
  }
  // The copies the sifts work on.
  for (int k = 0; k < size; k++) {
    if (keys[k] != heap[k]->time || owners[k] != OwnerOf(heap[k])) return 200000 + k;
  }
  return 0;
}

void EventList::PrintList(std::ostream& out) const {
  out << "------------------Event List-----------------" << std::endl;
  for (int i = 0; i < size; i++) {
    out << "(" << heap[i]->action->name << ") " << heap[i]->enablingTime << " --> "
        << heap[i]->time << std::endl;
  }
  out << "---------------------------------------------" << std::endl << std::endl;
}
