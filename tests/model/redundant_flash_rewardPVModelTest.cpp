#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/model/ModelFixture.h"

namespace {

using RewardModelTest = ModelFixture;

TEST_F(RewardModelTest, ReliabilityHasOneNodePerTimePoint) {
  Build(0);
  ASSERT_STREQ(pv->name, "redundant_flash_rewardPVModel");
  ASSERT_EQ(pv->GetNumPVNodes(), 3);
  const double times[3] = {30, 180, 365};
  for (int i = 0; i < 3; i++) {
    SCOPED_TRACE(i);
    PerformanceVariableNode* node = pv->GetPVNode(i);
    EXPECT_STREQ(node->GetName(), "reliability");
    EXPECT_EQ(node->GetRewardType(), InstantOfTimeReward);
    EXPECT_EQ(node->GetStart(), times[i]);
    EXPECT_EQ(node->GetStop(), times[i]);
    EXPECT_EQ(node->GetId(), i);
    ASSERT_EQ(node->GetNumTimePoints(), 3);
    for (int t = 0; t < 3; t++) {
      EXPECT_EQ(node->GetStartTime(t), times[t]);
      EXPECT_EQ(node->GetStopTime(t), times[t]);
    }
    ASSERT_EQ(node->GetNumVariableDependencies(), 1);
    EXPECT_STREQ(node->GetVariableDependency(0)->GetSVName(), "system_failed");
    EXPECT_STREQ(node->GetVariableDependency(0)->GetModelName(), "ram_system");
    ASSERT_EQ(node->GetNumModelDependencies(), 1);
    EXPECT_STREQ(node->GetModelDependency(0), "ram_system");
    // One worker, bound to the one RAM model.
    ASSERT_EQ(node->GetNumWorkers(), 1);
    auto* worker = static_cast<redundant_flash_rewardPV0Worker*>(node->GetWorker(0));
    EXPECT_EQ(worker->ram_system, ram);
    EXPECT_EQ(worker->numModelSlots, 1);
    EXPECT_EQ(static_cast<redundant_flash_rewardPV0*>(node)->TheModelPtr, rj);
  }
  EXPECT_EQ(pv->GetMaxStopTime(), 365.0);

  // Only failure writes system_failed.
  ASSERT_EQ(pv->GetNumAffectingActions(), 1);
  EXPECT_EQ(pv->GetAffectingAction(0), &ram->failure);

  auto* rewardModel = static_cast<redundant_flash_rewardPVModel*>(pv);
  EXPECT_EQ(rewardModel->createPVNode(1, 0), nullptr);
  EXPECT_EQ(rewardModel->createPVNode(-1, 0), nullptr);
}

TEST_F(RewardModelTest, WithoutExpansionOneNodeObservesTheFirstTimePoint) {
  Build(0);
  redundant_flash_rewardPVModel single(false);
  ASSERT_EQ(single.GetNumPVNodes(), 1);
  EXPECT_EQ(single.GetPVNode(0)->GetStart(), 30.0);
  EXPECT_EQ(single.GetPVNode(0)->GetStop(), 30.0);
  EXPECT_EQ(single.GetPVNode(0)->GetNumTimePoints(), 3);
  EXPECT_EQ(single.GetMaxStopTime(), 30.0);
}

TEST_F(RewardModelTest, ObservationsFollowTheStateAtEachTimePoint) {
  Build(0);
  pv->ConsiderOnly(nullptr, 0);
  // The system fails at 100: not yet at 30, failed at 180 and 365.
  Fire(&flash->sefi, 10.0);
  Fire(&ram->random_failure, 20.0);
  Fire(&ram->failure, 100.0);
  pv->EndAccumulate(pv->GetMaxStopTime());
  EXPECT_EQ(pv->GetPVNode(0)->GetValue(), 0.0);
  EXPECT_EQ(pv->GetPVNode(1)->GetValue(), 1.0);
  EXPECT_EQ(pv->GetPVNode(1)->GetSquare(), 1.0);
  EXPECT_EQ(pv->GetPVNode(2)->GetValue(), 1.0);

  auto* worker = static_cast<redundant_flash_rewardPV0Worker*>(pv->GetPVNode(0)->GetWorker(0));
  EXPECT_EQ(worker->Reward_Function(), 1.0);
}

TEST_F(RewardModelTest, TypeFileListsEveryNode) {
  Build(0);
  std::string path = ::testing::TempDir() + "model_reward_types.txt";
  pv->WritePVTypeFile(path.c_str());
  std::ifstream in(path, std::ios::binary);
  std::stringstream read;
  read << in.rdbuf();
  std::string block =
      "Name:reliability\nType:0\nNumTimes:3\n"
      "Start:30\nStop:30\nStart:180\nStop:180\nStart:365\nStop:365\n";
  EXPECT_EQ(read.str(), "Version:1\nNumPV:3\n" + block + block + block);
  std::remove(path.c_str());
}

TEST_F(RewardModelTest, ASecondRewardModelReplacesTheFirst) {
  Build(0);
  Fire(&flash->sefi);
  PVModel* second = study->GetPVModel(true);
  // The old model is gone (LeakSanitizer would report it otherwise); the new
  // one starts from the initial marking and numbers its nodes from 0.
  auto* newJoin = static_cast<redundant_flash_modelRJ*>(second->GetTopModel());
  EXPECT_EQ(newJoin->flash_corrupted->getMark(), 0);
  ASSERT_EQ(second->GetNumPVNodes(), 3);
  for (int i = 0; i < 3; i++) EXPECT_EQ(second->GetPVNode(i)->GetId(), i);
  EXPECT_EQ(newJoin->modelId, second->modelId + 1);
  EXPECT_EQ(second->FireAction(&newJoin->redundant_flash_system->sefi, 1.0),
            &newJoin->redundant_flash_system->sefi);
  EXPECT_EQ(newJoin->ram_system->flash_corrupted->getMark(), 1);
}

}  // namespace
