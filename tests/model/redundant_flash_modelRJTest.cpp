#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/model/ModelFixture.h"

namespace {

using ModelRJTest = ModelFixture;

short ShortAt(const std::vector<char>& image, int offset) {
  short v;
  std::memcpy(&v, image.data() + offset, sizeof v);
  return v;
}

TEST_F(ModelRJTest, ChildrenAndModelIds) {
  Build(0);
  EXPECT_STREQ(rj->name, "Join");
  ASSERT_EQ(rj->GetNumberOfChildren(), 2);
  EXPECT_EQ(rj->GetChild(0), ram);
  EXPECT_EQ(rj->GetChild(1), flash);
  ASSERT_EQ(rj->NumSharedStateVariables, 1);
  EXPECT_STREQ(rj->SharedStateNames[0], "flash_corrupted");
  EXPECT_STREQ(redundant_flash_modelRJ__SharedNames[0], "flash_corrupted");
  EXPECT_EQ(rj->SharedStateVariables[0], rj->flash_corrupted);
  // 4 + 2 places, two of them merged into the Join's own.
  EXPECT_EQ(rj->numStateVariables, 5);
  EXPECT_EQ(rj->numActions, 11);
  EXPECT_EQ(rj->numGroups, 8);
  // The reward model is built first, then the Join, then its children.
  EXPECT_EQ(rj->modelId, pv->modelId + 1);
  EXPECT_EQ(ram->modelId, rj->modelId + 1);
  EXPECT_EQ(flash->modelId, rj->modelId + 2);
}

TEST_F(ModelRJTest, TheThreeFlashCorruptedPlacesAreOneMarking) {
  Build(0);
  Place* joint = rj->flash_corrupted;
  ASSERT_NE(joint, nullptr);
  EXPECT_TRUE(joint->getStored());
  EXPECT_FALSE(ram->flash_corrupted->getStored());
  EXPECT_TRUE(ram->flash_corrupted->getShared());
  EXPECT_FALSE(flash->flash_corrupted->getStored());
  EXPECT_TRUE(flash->flash_corrupted->getShared());

  // Every linked pointer of both models leads to the Join's storage.
  short* storage = joint->value;
  EXPECT_EQ(ram->failure.flash_corrupted_Mark, storage);
  EXPECT_EQ(flash->seu_case2.flash_corrupted_Mark, storage);
  EXPECT_EQ(flash->sefi.flash_corrupted_Mark, storage);
  EXPECT_EQ(flash->power_cycle.flash_corrupted_Mark, storage);
  EXPECT_EQ(ram->flash_corrupted->mark, storage);
  EXPECT_EQ(flash->flash_corrupted->mark, storage);
  // Unshared places keep their own storage, also behind the linked pointers.
  EXPECT_EQ(ram->watchdog_reboot.ram_corrupted_Mark, ram->ram_corrupted->value);
  EXPECT_EQ(flash->sefi.replicas_available_Mark, flash->replicas_available->value);

  Fire(&flash->sefi);
  EXPECT_EQ(joint->getMark(), 1);
  EXPECT_EQ(ram->flash_corrupted->getMark(), 1);
  EXPECT_EQ(flash->flash_corrupted->getMark(), 1);
  joint->setMark(0);
  EXPECT_EQ(ram->flash_corrupted->getMark(), 0);
  Fire(&ram->random_failure);
  EXPECT_FALSE(ram->failure.Enabled());
  flash->flash_corrupted->setMark(1);
  EXPECT_TRUE(ram->failure.Enabled());
}

TEST_F(ModelRJTest, StateImageHoldsUnsharedPlacesThenTheSharedOne) {
  Build(3);  // four copies
  // RAM: ram_working, ram_corrupted, system_failed; flash: replicas_available;
  // then the shared flash_corrupted, 2 bytes each.
  ASSERT_EQ(ram->StateSize(), 6);
  ASSERT_EQ(flash->StateSize(), 2);
  ASSERT_EQ(rj->StateSize(), 10);
  ASSERT_EQ(pv->StateSize(), 10);

  std::vector<char> initial(10), image(10);
  pv->CurrentState(initial.data());
  EXPECT_EQ(ShortAt(initial, 0), 1);
  EXPECT_EQ(ShortAt(initial, 2), 0);
  EXPECT_EQ(ShortAt(initial, 4), 0);
  EXPECT_EQ(ShortAt(initial, 6), 4);
  EXPECT_EQ(ShortAt(initial, 8), 0);

  Fire(&ram->random_failure);
  Fire(&ram->bit_error_case2);
  Fire(&flash->seu_case2);
  Fire(&flash->sefi);
  Fire(&ram->failure);
  pv->CurrentState(image.data());
  EXPECT_EQ(ShortAt(image, 0), 0);
  EXPECT_EQ(ShortAt(image, 2), 2);
  EXPECT_EQ(ShortAt(image, 4), 1);
  EXPECT_EQ(ShortAt(image, 6), 0);
  EXPECT_EQ(ShortAt(image, 8), 1);
  EXPECT_FALSE(pv->CompareState(initial.data(), image.data()));

  // Restoring the initial image starts a replication afresh, enabling too.
  pv->SetState(initial.data());
  Markings m = Read();
  EXPECT_EQ(m.ramWorking, 1);
  EXPECT_EQ(m.ramCorrupted, 0);
  EXPECT_EQ(m.systemFailed, 0);
  EXPECT_EQ(m.replicas, 4);
  EXPECT_EQ(m.flashCorrupted, 0);
  EXPECT_EQ(ram->flash_corrupted->getMark(), 0);
  EXPECT_FALSE(ram->failure.Enabled());
  EXPECT_FALSE(flash->power_cycle.Enabled());
  EXPECT_TRUE(ram->random_failure.Enabled());
  pv->CurrentState(image.data());
  EXPECT_TRUE(pv->CompareState(initial.data(), image.data()));
}

}  // namespace
