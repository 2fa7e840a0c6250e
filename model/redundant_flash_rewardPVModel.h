#ifndef REDUNDANT_FLASH_REWARD_PV_MODEL_H
#define REDUNDANT_FLASH_REWARD_PV_MODEL_H

#include "Cpp/BaseClasses/InstantOfTime.h"
#include "Cpp/BaseClasses/PVModel.h"
#include "Cpp/BaseClasses/PerformanceVariableNode.h"

class BaseModelClass;

// Worker of reliability: the marking of system_failed of the RAM model it
// observes (bound by the node to the submodel named "ram_system").
//
// Ownership: owns its one-entry model-slot array.
class redundant_flash_rewardPV0Worker : public InstantOfTime {
 public:
  redundant_flash_rewardPV0Worker();
  ~redundant_flash_rewardPV0Worker() override;

  // system_failed of the observed RAM model, as a double.
  double Reward_Function() override;

  // The observed ram_systemSAN. Held as the base pointer type because the
  // node writes it through the model slot as a BaseModelClass pointer.
  BaseModelClass* ram_system;
};

// reliability, instant of time, observed at 30, 180 and 365 (the node's own
// window is the time point of its time index); depends on system_failed of
// "ram_system".
//
// Ownership: the node creates and deletes its workers.
class redundant_flash_rewardPV0 : public PerformanceVariableNode {
 public:
  explicit redundant_flash_rewardPV0(int timeIndex);
  ~redundant_flash_rewardPV0() override;

  void CreateWorkerList() override;

  // The top model, stored here by the framework through the node's model
  // slot.
  BaseModelClass* TheModelPtr;
};

// The reward model of this program: owns the Join redundant_flash_modelRJ
// (the whole model) and defines the one reward variable, reliability.
class redundant_flash_rewardPVModel : public PVModel {
 public:
  // Builds the whole model with the global values now in force. With
  // expandTimePoints, one node per time point of reliability (three nodes);
  // otherwise one node observing the first time point.
  explicit redundant_flash_rewardPVModel(bool expandTimePoints);
  ~redundant_flash_rewardPVModel() override;

  // A new redundant_flash_rewardPV0(timeIndex) for variable 0; null for any
  // other variable.
  PerformanceVariableNode* createPVNode(int variableIndex, int timeIndex) override;
};

#endif
