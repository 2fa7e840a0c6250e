#include "Cpp/BaseClasses/ActionModelPairClass.h"

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

ActionModelPairClass::~ActionModelPairClass() {
  free(actionName);
  free(modelName);
}

void ActionModelPairClass::SetPair(const char* action, const char* model) {
  char* newAction = CopyOrNull(action);
  char* newModel = CopyOrNull(model);
  free(actionName);
  free(modelName);
  actionName = newAction;
  modelName = newModel;
}
