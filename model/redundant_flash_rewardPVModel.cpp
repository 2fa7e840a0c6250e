#include "model/redundant_flash_rewardPVModel.h"

#include <new>

#include "Cpp/BaseClasses/ErrorReporting.h"
#include "model/ram_systemSAN.h"
#include "model/redundant_flash_modelRJ.h"

namespace {

// The time points of reliability, single-precision constants.
const float kTimePoints[3] = {30.0f, 180.0f, 365.0f};

}  // namespace

// ----------------------------------------------------------------- worker

redundant_flash_rewardPV0Worker::redundant_flash_rewardPV0Worker() : ram_system(nullptr) {
  numModelSlots = 1;
  modelSlots = new (std::nothrow) BaseModelClass**[1];
  if (modelSlots == nullptr) MemoryAllocationError();
  modelSlots[0] = &ram_system;
}

redundant_flash_rewardPV0Worker::~redundant_flash_rewardPV0Worker() {
  delete[] modelSlots;
  modelSlots = nullptr;
}

double redundant_flash_rewardPV0Worker::Reward_Function() {
  // The node binds this slot only to the submodels named "ram_system".
  return static_cast<double>(static_cast<ram_systemSAN*>(ram_system)->system_failed->getMark());
}

// ------------------------------------------------------------------- node

redundant_flash_rewardPV0::redundant_flash_rewardPV0(int timeIndex) : TheModelPtr(nullptr) {
  modelSlot = &TheModelPtr;
  double starts[3];
  double stops[3];
  for (int i = 0; i < 3; i++) {
    starts[i] = static_cast<double>(kTimePoints[i]);
    stops[i] = static_cast<double>(kTimePoints[i]);
  }
  Initialize("reliability", InstantOfTimeReward, 3, starts, stops, timeIndex, 0, 1, 1);
  AddVariableDependency("system_failed", "ram_system");
}

redundant_flash_rewardPV0::~redundant_flash_rewardPV0() {
  // The worker array exists once the node was bound to a model; its entries
  // once CreateWorkerList ran.
  if (workers != nullptr) {
    for (int i = 0; i < numWorkers; i++) {
      if (workers[i] == nullptr) continue;
      workers[i]->FreeName();
      delete workers[i];
      workers[i] = nullptr;
    }
  }
}

void redundant_flash_rewardPV0::CreateWorkerList() {
  for (int i = 0; i < numWorkers; i++) {
    redundant_flash_rewardPV0Worker* worker = new (std::nothrow) redundant_flash_rewardPV0Worker();
    if (worker == nullptr) MemoryAllocationError();
    workers[i] = worker;
  }
}

// ----------------------------------------------------------- reward model

redundant_flash_rewardPVModel::redundant_flash_rewardPVModel(bool expandTimePoints) {
  topModel = new redundant_flash_modelRJ();
  DefineName("redundant_flash_rewardPVModel");
  CreatePVList(1, expandTimePoints);
  Initialize();
}

redundant_flash_rewardPVModel::~redundant_flash_rewardPVModel() {}

PerformanceVariableNode* redundant_flash_rewardPVModel::createPVNode(int variableIndex,
                                                                     int timeIndex) {
  if (variableIndex != 0) return nullptr;
  redundant_flash_rewardPV0* node = new (std::nothrow) redundant_flash_rewardPV0(timeIndex);
  if (node == nullptr) MemoryAllocationError();
  return node;
}
