#include "simulator/EventList.h"

#include "Cpp/BaseClasses/BaseActionClass.h"
#include "random/Distributions.h"
#include "simulator/SimulatorClass.h"

namespace {

inline Event**& SlotOf(const Event* e) { return e->action->eventInfo->eventSlot; }

}  // namespace

EventList::EventList(int capacity)
    : capacity(capacity), heap(new Event*[capacity > 0 ? capacity : 1]()), size(0),
      ties(new int[capacity > 0 ? capacity : 1]), numTies(0) {
  freeEvents.reserve(capacity);
  for (int i = 0; i < capacity; i++) freeEvents.push_back(new Event());
}

EventList::~EventList() {
  ClearEventList();
  for (Event* e : freeEvents) delete e;
  delete[] ties;
  delete[] heap;
}

bool EventList::Before(const Event* a, const Event* b) {
  if (a->time != b->time) return a->time < b->time;
  return a->action->Rank() > b->action->Rank();
}

void EventList::Place(int i, Event* e) {
  heap[i] = e;
  SlotOf(e) = &heap[i];
}

int EventList::Insert(Event* e) {
  Event* spare = freeEvents.back();
  freeEvents.pop_back();
  *spare = *e;
  Place(size, spare);
  size++;
  return BubbleUp(size - 1);
}

void EventList::Remove(Event** slot) {
  int i = static_cast<int>(slot - heap);
  int last = size - 1;
  Event* removed = heap[i];
  freeEvents.push_back(removed);
  SlotOf(removed) = nullptr;
  size = last;
  if (i == last) {
    heap[i] = nullptr;
    return;
  }
  Place(i, heap[last]);
  heap[last] = nullptr;
  if (BubbleUp(i) == i) BubbleDown(i);
}

void EventList::Remove(void* p) { Remove(*static_cast<Event***>(p)); }

void EventList::ModifyKey(Event** slot) {
  int i = static_cast<int>(slot - heap);
  if (BubbleUp(i) == i) BubbleDown(i);
}

// Both sifts move a hole instead of swapping: the moving event is placed
// once, at its final slot, and every event it passes is placed once.
int EventList::BubbleUp(int i) {
  Event* moving = heap[i];
  while (i > 0) {
    int p = (i - 1) / 2;
    if (!Before(moving, heap[p])) break;
    Place(i, heap[p]);
    i = p;
  }
  Place(i, moving);
  return i;
}

int EventList::BubbleDown(int i) {
  Event* moving = heap[i];
  for (;;) {
    int l = 2 * i + 1;
    if (l >= size) break;
    int child = l;
    // The right child only when strictly before the left one.
    if (l + 1 < size && Before(heap[l + 1], heap[l])) child = l + 1;
    if (!Before(heap[child], moving)) break;
    Place(i, heap[child]);
    i = child;
  }
  Place(i, moving);
  return i;
}

void EventList::FindEquals(int i) {
  ties[numTies++] = i;
  const Event* root = heap[i];
  for (int c = 2 * i + 1; c <= 2 * i + 2 && c < size; c++) {
    if (heap[c]->time == root->time && heap[c]->action->Rank() == root->action->Rank()) {
      FindEquals(c);
    }
  }
}

Event** EventList::Earliest() {
  if (size == 0) return nullptr;
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
    if (SlotOf(heap[k]) != &heap[k]) return 100000 + k;
  }
  for (int k = size; k < capacity; k++) {
    if (heap[k] != nullptr) return k;
  }
  for (const Event* e : freeEvents) {
    for (int k = 0; k < size; k++) {
      if (heap[k] == e) return -k;
    }
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
