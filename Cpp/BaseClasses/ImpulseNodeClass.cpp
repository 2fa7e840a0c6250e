#include "Cpp/BaseClasses/ImpulseNodeClass.h"

#include <cstdlib>
#include <cstring>

#include "Cpp/BaseClasses/ErrorReporting.h"

ImpulseNodeClass::~ImpulseNodeClass() { free(name); }

void ImpulseNodeClass::DefineName(const char* newName, int functionIndex, int nodeIndex) {
  char* copy = strdup(newName != nullptr ? newName : "");
  if (copy == nullptr) MemoryAllocationError();
  free(name);
  name = copy;
  impulseFunctionIndex = functionIndex;
  impulseNodeIndex = nodeIndex;
}

void ImpulseNodeClass::Reset() {
  value = 0.0;
  square = 0.0;
}
