#include <gtest/gtest.h>

#include "tests/model/ModelFixture.h"

namespace {

using FlashSystemTest = ModelFixture;

TEST_F(FlashSystemTest, StructureFollowsTheDeclarationOrder) {
  Build(0);
  ASSERT_STREQ(flash->name, "redundant_flash_system");
  ASSERT_EQ(flash->numStateVariables, 2);
  EXPECT_STREQ(flash->places[0]->name, "flash_corrupted");
  EXPECT_STREQ(flash->places[1]->name, "replicas_available");

  Activity* activities[4] = {&flash->seu_case1, &flash->seu_case2, &flash->sefi,
                             &flash->power_cycle};
  const char* names[4] = {"seu_case1", "seu_case2", "sefi", "power_cycle"};
  const Distribution kinds[4] = {EXPONENTIAL, EXPONENTIAL, EXPONENTIAL, DETERMINISTIC};
  // Group ids continue after the RAM model's five groups.
  const int groupIds[4] = {5, 5, 6, 7};
  ASSERT_EQ(flash->numActions, 4);
  for (int i = 0; i < 4; i++) {
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(flash->actions[i], activities[i]);
    EXPECT_STREQ(activities[i]->name, names[i]);
    EXPECT_EQ(activities[i]->distributionType, kinds[i]);
    EXPECT_EQ(activities[i]->groupId, groupIds[i]);
    EXPECT_EQ(activities[i]->parentModel, flash);
    EXPECT_EQ(activities[i]->Rank(), 1);
    EXPECT_EQ(activities[i]->id, flash->seu_case1.id + i);
  }
  // The flash model is built right after the RAM model and its two groups.
  EXPECT_EQ(flash->seu_case1.id, ram->page_errorGroup.id + 1);
  EXPECT_EQ(flash->seuGroup.id, flash->seu_case1.id + 4);

  ASSERT_EQ(flash->numGroups, 3);
  EXPECT_EQ(flash->groups[0], &flash->seuGroup);
  EXPECT_EQ(flash->groups[1], &flash->sefi);
  EXPECT_EQ(flash->groups[2], &flash->power_cycle);
  EXPECT_STREQ(flash->seuGroup.name, "seuGroup");
  ASSERT_EQ(flash->seuGroup.numMembers, 2);
  EXPECT_EQ(flash->seuGroup.members[0], &flash->seu_case1);
  EXPECT_EQ(flash->seuGroup.members[1], &flash->seu_case2);

  // replicas_available enables all four; the flash activities write the
  // shared place in the order seu_case2, sefi, power_cycle.
  List<BaseActionClass>* enabled = flash->replicas_available->getEnabledActions();
  ASSERT_EQ(enabled->getNumItems(), 4);
  for (int i = 0; i < 4; i++) EXPECT_EQ(enabled->getItem(i), activities[i]);
  List<BaseActionClass>* affecting = rj->flash_corrupted->getAffectingActions();
  ASSERT_EQ(affecting->getNumItems(), 3);
  EXPECT_EQ(affecting->getItem(0), &flash->seu_case2);
  EXPECT_EQ(affecting->getItem(1), &flash->sefi);
  EXPECT_EQ(affecting->getItem(2), &flash->power_cycle);
  ASSERT_EQ(flash->seu_case2.affectedSVs.getNumItems(), 2);
  EXPECT_EQ(flash->seu_case2.affectedSVs.getItem(0), flash->replicas_available);
  EXPECT_EQ(flash->seu_case2.affectedSVs.getItem(1), rj->flash_corrupted);
}

TEST_F(FlashSystemTest, OneCopyIsLostByTheFirstUpset) {
  Build(0);  // num_replicas 1
  EXPECT_EQ(flash->replicas_available->getMark(), 1);
  EXPECT_FALSE(flash->power_cycle.Enabled());
  EXPECT_EQ(Fire(&flash->seu_case2), &flash->seu_case2);
  EXPECT_EQ(flash->replicas_available->getMark(), 0);
  EXPECT_EQ(rj->flash_corrupted->getMark(), 1);
  EXPECT_FALSE(flash->seuGroup.Enabled());
  EXPECT_FALSE(flash->sefi.Enabled());
  EXPECT_TRUE(flash->power_cycle.Enabled());
}

TEST_F(FlashSystemTest, FourCopiesNeedFourUpsetsAndAPowerCycleRestoresThem) {
  Build(3);  // num_replicas 4
  ASSERT_EQ(num_replicas, 4);
  EXPECT_EQ(flash->replicas_available->getMark(), 4);
  EXPECT_FALSE(flash->power_cycle.Enabled());

  // A harmless upset leaves every copy in place.
  Fire(&flash->seu_case1);
  EXPECT_EQ(flash->replicas_available->getMark(), 4);
  EXPECT_FALSE(flash->power_cycle.Enabled());

  for (int lost = 1; lost <= 3; lost++) {
    Fire(&flash->seu_case2);
    EXPECT_EQ(flash->replicas_available->getMark(), 4 - lost);
    EXPECT_EQ(rj->flash_corrupted->getMark(), 0);
    EXPECT_TRUE(flash->power_cycle.Enabled());
    EXPECT_TRUE(flash->seuGroup.Enabled());
  }
  Fire(&ram->random_failure);
  EXPECT_FALSE(ram->failure.Enabled());
  Fire(&flash->seu_case2);
  EXPECT_EQ(flash->replicas_available->getMark(), 0);
  EXPECT_EQ(rj->flash_corrupted->getMark(), 1);
  // The RAM model sees the flash corruption through the shared place.
  EXPECT_TRUE(ram->failure.Enabled());

  EXPECT_EQ(Fire(&flash->power_cycle), &flash->power_cycle);
  EXPECT_EQ(flash->replicas_available->getMark(), 4);
  EXPECT_EQ(rj->flash_corrupted->getMark(), 0);
  EXPECT_FALSE(flash->power_cycle.Enabled());
  EXPECT_FALSE(ram->failure.Enabled());
}

TEST_F(FlashSystemTest, SefiCorruptsTheFlashWhateverIsLeft) {
  Build(2);  // num_replicas 3
  EXPECT_EQ(flash->replicas_available->getMark(), 3);
  Fire(&flash->sefi);
  EXPECT_EQ(flash->replicas_available->getMark(), 0);
  EXPECT_EQ(rj->flash_corrupted->getMark(), 1);
  EXPECT_FALSE(flash->sefi.Enabled());

  Fire(&flash->power_cycle);
  Fire(&flash->seu_case2);
  EXPECT_EQ(flash->replicas_available->getMark(), 2);
  Fire(&flash->sefi);
  EXPECT_EQ(flash->replicas_available->getMark(), 0);
  EXPECT_EQ(rj->flash_corrupted->getMark(), 1);
}

TEST_F(FlashSystemTest, PowerCycleFollowsTheCurrentGlobals) {
  Build(0);
  // The delay is power_cycle_rate itself, read at every call.
  EXPECT_EQ(flash->power_cycle.SampleDistribution(), 0.03125);
  EXPECT_EQ(flash->power_cycle.DeterministicParamValue(), 0.03125);
  power_cycle_rate = 8.0f;
  EXPECT_EQ(flash->power_cycle.SampleDistribution(), 8.0);
  EXPECT_EQ(flash->power_cycle.ReturnDistributionParameters()[0], 8.0);
  EXPECT_EQ(flash->power_cycle.Rate(), 0.0);

  // The predicate and the restore use the current num_replicas, while the
  // initial marking was taken when the model was built.
  num_replicas = 3;
  EXPECT_TRUE(flash->power_cycle.Enabled());
  Fire(&flash->power_cycle);
  EXPECT_EQ(flash->replicas_available->getMark(), 3);
  EXPECT_FALSE(flash->power_cycle.Enabled());

  EXPECT_EQ(flash->sefi.Rate(), 0.00274);
  EXPECT_EQ(flash->sefi.ReturnDistributionParameters()[0], 0.00274);
  EXPECT_EQ(flash->seu_case1.Rate(), 1.5e-16);
  EXPECT_EQ(flash->seu_case2.ReturnDistributionParameters()[0], 1.5e-16);
}

TEST_F(FlashSystemTest, UpsetWeightsFollowTheCopiesLeft) {
  Build(3);  // four copies, flash_size 64
  EXPECT_EQ(flash->seu_case2.Weight(), 0.5);
  EXPECT_EQ(flash->seu_case1.Weight(), 0.5);
  EXPECT_EQ(flash->seuGroup.Weight(), 1.0);
  Fire(&flash->seu_case2);
  Fire(&flash->seu_case2);
  Fire(&flash->seu_case2);
  EXPECT_EQ(flash->seu_case2.Weight(), 0.125);
  EXPECT_EQ(flash->seu_case1.Weight(), 0.875);

  // With a copy's share at 1 the group always loses a copy.
  flash_size = 512.0f;
  EXPECT_EQ(flash->seu_case1.Weight(), 0.0);
  EXPECT_EQ(Fire(&flash->seuGroup), &flash->seu_case2);
  EXPECT_EQ(rj->flash_corrupted->getMark(), 1);
}

}  // namespace
