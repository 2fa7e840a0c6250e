#include "Cpp/BaseClasses/ModelGroupClass.h"

#include <new>

#include "Cpp/BaseClasses/ErrorReporting.h"
#include "Cpp/BaseClasses/KorvanAssert.h"

ModelGroupClass::~ModelGroupClass() { delete[] models; }

void ModelGroupClass::CreateModelList(int n) {
  delete[] models;
  models = nullptr;
  numModels = 0;
  if (n <= 0) return;
  models = new (std::nothrow) BaseModelClass*[n]();
  if (models == nullptr) MemoryAllocationError();
  numModels = n;
}

void ModelGroupClass::SetModel(int i, BaseModelClass* model) {
  KORVAN_ASSERT(i >= 0 && i < numModels);
  models[i] = model;
}

BaseModelClass* ModelGroupClass::GetModel(int i) const {
  KORVAN_ASSERT(i >= 0 && i < numModels);
  return models[i];
}

bool ModelGroupClass::IsDependentOnModel(BaseModelClass* model) const {
  for (int i = 0; i < numModels; i++) {
    if (models[i] == model) return true;
  }
  return false;
}
