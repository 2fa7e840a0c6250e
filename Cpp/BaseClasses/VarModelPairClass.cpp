#include "Cpp/BaseClasses/VarModelPairClass.h"

#include <cstdlib>
#include <cstring>

#include "Cpp/BaseClasses/ErrorReporting.h"

namespace {

char* CopyOrNull(const char* text) {
  if (text == nullptr) return nullptr;
  char* copy = strdup(text);
  if (copy == nullptr) MemoryAllocationError();
  return copy;
}

}  // namespace

VarModelPairClass::~VarModelPairClass() {
  free(svName);
  free(modelName);
}

void VarModelPairClass::SetPair(const char* sv, const char* model) {
  char* newSV = CopyOrNull(sv);
  char* newModel = CopyOrNull(model);
  free(svName);
  free(modelName);
  svName = newSV;
  modelName = newModel;
}
