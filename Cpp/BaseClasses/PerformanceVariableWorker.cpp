#include "Cpp/BaseClasses/PerformanceVariableWorker.h"

#include <cstdlib>
#include <cstring>
#include <iostream>

#include "Cpp/BaseClasses/ErrorReporting.h"

PerformanceVariableWorker::~PerformanceVariableWorker() { free(name); }

void PerformanceVariableWorker::CurrentReward() {
  std::cerr << "!! Calling PerformanceVariableWorker::CurrentReward()" << std::endl;
}

void PerformanceVariableWorker::Reset() {
  value = 0.0;
  square = 0.0;
}

void PerformanceVariableWorker::DefineName(const char* newName, int index) {
  char* copy = strdup(newName != nullptr ? newName : "");
  if (copy == nullptr) MemoryAllocationError();
  free(name);
  name = copy;
  workerIndex = index;
}

void PerformanceVariableWorker::FreeName() {
  free(name);
  name = nullptr;
}
