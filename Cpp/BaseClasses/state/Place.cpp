#include "Cpp/BaseClasses/state/Place.h"

#include <new>

#include "Cpp/BaseClasses/ErrorReporting.h"

Place::Place() : Place("default", 0) {}

Place::Place(const char* name) : Place(name, 0) {}

// The storage is registered first with its owner, then mark, so the chain
// reads mark, value from its head; sharingCount ends at 2.
Place::Place(const char* placeName, short initialMark) : mark(nullptr) {
  value = new (std::nothrow) short(0);
  if (value == nullptr) MemoryAllocationError();
  RegisterOwnedPointer(&value, this);
  SetName(placeName);
  RegisterPointer(&mark);
  *mark = initialMark;
}
