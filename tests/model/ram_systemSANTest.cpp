#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "random/Distributions.h"
#include "tests/model/ModelFixture.h"

namespace {

// A generator whose every draw is the same fraction.
class FixedUniform : public RandomNumberGenerator {
 public:
  explicit FixedUniform(double u) : u_(u) {}
  double rnd() override { return u_; }

 private:
  double u_;
};

class RamSystemTest : public ModelFixture {
 protected:
  // The enabling of every group of the composed model, in group order:
  // watchdog_reboot, random_failure, bit_errorGroup, page_errorGroup, failure,
  // seuGroup, sefi, power_cycle.
  std::vector<bool> EnabledGroups() {
    std::vector<bool> enabled;
    for (int i = 0; i < rj->numGroups; i++) enabled.push_back(rj->groups[i]->Enabled());
    return enabled;
  }
  std::vector<bool> Expect(bool watchdog, bool random, bool bit, bool page, bool failure,
                           bool seu, bool sefi, bool power) {
    return {watchdog, random, bit, page, failure, seu, sefi, power};
  }
  std::vector<std::string> Names(const List<BaseStateVariableClass>& svs) {
    std::vector<std::string> names;
    for (int i = 0; i < svs.getNumItems(); i++) names.push_back(svs.getItem(i)->name);
    return names;
  }
  std::vector<BaseActionClass*> Items(List<BaseActionClass>* actions) {
    std::vector<BaseActionClass*> items;
    for (int i = 0; i < actions->getNumItems(); i++) items.push_back(actions->getItem(i));
    return items;
  }
};

TEST_F(RamSystemTest, StructureFollowsTheDeclarationOrder) {
  Build(0);
  ASSERT_STREQ(ram->name, "ram_system");
  ASSERT_EQ(ram->numStateVariables, 4);
  const char* placeNames[4] = {"flash_corrupted", "ram_working", "ram_corrupted", "system_failed"};
  for (int i = 0; i < 4; i++) EXPECT_STREQ(ram->places[i]->name, placeNames[i]);
  EXPECT_EQ(ram->places[0], ram->flash_corrupted);
  EXPECT_EQ(ram->places[3], ram->system_failed);

  Activity* activities[7] = {&ram->failure,         &ram->watchdog_reboot,  &ram->random_failure,
                             &ram->bit_error_case1, &ram->bit_error_case2,  &ram->page_error_case1,
                             &ram->page_error_case2};
  const char* names[7] = {"failure",         "watchdog_reboot",  "random_failure",
                          "bit_error_case1", "bit_error_case2",  "page_error_case1",
                          "page_error_case2"};
  const Distribution kinds[7] = {INSTANTANEOUS, DETERMINISTIC, EXPONENTIAL, EXPONENTIAL,
                                 EXPONENTIAL,   EXPONENTIAL,   EXPONENTIAL};
  // The Join renumbers groups by their index in its group array.
  const int groupIds[7] = {4, 0, 1, 2, 2, 3, 3};
  ASSERT_EQ(ram->numActions, 7);
  for (int i = 0; i < 7; i++) {
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(ram->actions[i], activities[i]);
    EXPECT_STREQ(activities[i]->name, names[i]);
    EXPECT_EQ(activities[i]->distributionType, kinds[i]);
    EXPECT_EQ(activities[i]->executionPolicy, RACE_ENABLED);
    EXPECT_FALSE(activities[i]->reactivation);
    EXPECT_EQ(activities[i]->groupId, groupIds[i]);
    EXPECT_EQ(activities[i]->parentModel, ram);
    EXPECT_EQ(activities[i]->Rank(), 1);
    EXPECT_FALSE(activities[i]->ReactivationPredicate());
    EXPECT_FALSE(activities[i]->ReactivationFunction());
    // Action ids are taken in construction order: the activities, then the
    // two case groups.
    EXPECT_EQ(activities[i]->id, ram->failure.id + i);
  }
  EXPECT_EQ(ram->bit_errorGroup.id, ram->failure.id + 7);
  EXPECT_EQ(ram->page_errorGroup.id, ram->failure.id + 8);

  BaseGroupClass* groups[5] = {&ram->watchdog_reboot, &ram->random_failure, &ram->bit_errorGroup,
                               &ram->page_errorGroup, &ram->failure};
  ASSERT_EQ(ram->numGroups, 5);
  for (int i = 0; i < 5; i++) EXPECT_EQ(ram->groups[i], groups[i]);
  EXPECT_STREQ(ram->bit_errorGroup.name, "bit_errorGroup");
  ASSERT_EQ(ram->bit_errorGroup.numMembers, 2);
  EXPECT_EQ(ram->bit_errorGroup.members[0], &ram->bit_error_case1);
  EXPECT_EQ(ram->bit_errorGroup.members[1], &ram->bit_error_case2);
  EXPECT_STREQ(ram->page_errorGroup.name, "page_errorGroup");
  ASSERT_EQ(ram->page_errorGroup.numMembers, 2);
  EXPECT_EQ(ram->page_errorGroup.members[0], &ram->page_error_case1);
  EXPECT_EQ(ram->page_errorGroup.members[1], &ram->page_error_case2);

  // Arcs, in the order they were added (the shared place is the Join's).
  EXPECT_EQ(Names(ram->failure.enablingSVs),
            (std::vector<std::string>{"flash_corrupted", "ram_corrupted", "system_failed"}));
  EXPECT_EQ(ram->failure.enablingSVs.getItem(0), rj->flash_corrupted);
  EXPECT_EQ(Names(ram->failure.affectedSVs), (std::vector<std::string>{"system_failed"}));
  EXPECT_EQ(Names(ram->watchdog_reboot.affectedSVs),
            (std::vector<std::string>{"ram_working", "ram_corrupted"}));
  EXPECT_EQ(Names(ram->bit_error_case2.affectedSVs),
            (std::vector<std::string>{"ram_working", "ram_corrupted"}));
  EXPECT_EQ(Names(ram->page_error_case1.affectedSVs), (std::vector<std::string>{"ram_working"}));
  EXPECT_EQ(Items(ram->ram_corrupted->getAffectingActions()),
            (std::vector<BaseActionClass*>{&ram->watchdog_reboot, &ram->random_failure,
                                           &ram->bit_error_case2, &ram->page_error_case2}));
  EXPECT_EQ(Items(ram->ram_corrupted->getEnabledActions()),
            (std::vector<BaseActionClass*>{&ram->failure, &ram->watchdog_reboot,
                                           &ram->random_failure}));
  EXPECT_EQ(Items(ram->ram_working->getEnabledActions()),
            (std::vector<BaseActionClass*>{&ram->bit_error_case1, &ram->bit_error_case2,
                                           &ram->page_error_case1, &ram->page_error_case2}));
}

TEST_F(RamSystemTest, InitialStateEnablesTheErrorsAndRandomFailureOnly) {
  Build(0);
  Markings m = Read();
  EXPECT_EQ(m.flashCorrupted, 0);
  EXPECT_EQ(m.ramWorking, 1);
  EXPECT_EQ(m.ramCorrupted, 0);
  EXPECT_EQ(m.systemFailed, 0);
  EXPECT_EQ(EnabledGroups(), Expect(false, true, true, true, false, true, true, false));
  EXPECT_TRUE(ram->bit_error_case1.Enabled());
  EXPECT_TRUE(ram->bit_error_case2.Enabled());
  EXPECT_TRUE(ram->page_error_case1.Enabled());
  EXPECT_TRUE(ram->page_error_case2.Enabled());
}

TEST_F(RamSystemTest, HarmlessCasesChangeNoMarking) {
  Build(0);
  std::vector<char> before(pv->StateSize()), after(pv->StateSize());
  pv->CurrentState(before.data());
  EXPECT_EQ(Fire(&ram->bit_error_case1), &ram->bit_error_case1);
  EXPECT_EQ(Fire(&ram->page_error_case1), &ram->page_error_case1);
  EXPECT_EQ(pv->GetLastFiredAction(), &ram->page_error_case1);
  pv->CurrentState(after.data());
  EXPECT_EQ(before, after);
  EXPECT_EQ(EnabledGroups(), Expect(false, true, true, true, false, true, true, false));
}

TEST_F(RamSystemTest, CorruptionAccumulatesUntilTheWatchdogReboots) {
  Build(0);
  Fire(&ram->random_failure);
  EXPECT_EQ(ram->ram_corrupted->getMark(), 1);
  EXPECT_EQ(ram->ram_working->getMark(), 1);
  EXPECT_EQ(EnabledGroups(), Expect(true, false, true, true, false, true, true, false));

  // A case-2 error on a RAM that still works adds a second corruption.
  Fire(&ram->page_error_case2);
  EXPECT_EQ(ram->ram_working->getMark(), 0);
  EXPECT_EQ(ram->ram_corrupted->getMark(), 2);
  EXPECT_EQ(EnabledGroups(), Expect(true, false, false, false, false, true, true, false));

  // One reboot repairs everything.
  Fire(&ram->watchdog_reboot);
  EXPECT_EQ(ram->ram_working->getMark(), 1);
  EXPECT_EQ(ram->ram_corrupted->getMark(), 0);
  EXPECT_EQ(EnabledGroups(), Expect(false, true, true, true, false, true, true, false));

  // The marking arithmetic is plain 16-bit arithmetic: another error after
  // the reboot starts again from 0.
  Fire(&ram->bit_error_case2);
  EXPECT_EQ(ram->ram_working->getMark(), 0);
  EXPECT_EQ(ram->ram_corrupted->getMark(), 1);
}

TEST_F(RamSystemTest, FailureFiresAtMostOnce) {
  Build(0);
  // The flash fails first: failure still needs a corrupted RAM.
  Fire(&flash->sefi);
  EXPECT_EQ(ram->flash_corrupted->getMark(), 1);
  EXPECT_FALSE(ram->failure.Enabled());
  Fire(&ram->random_failure);
  EXPECT_TRUE(ram->failure.Enabled());
  EXPECT_EQ(ram->failure.SampleDistribution(), 0.0);

  EXPECT_EQ(Fire(&ram->failure), &ram->failure);
  EXPECT_EQ(ram->system_failed->getMark(), 1);
  EXPECT_FALSE(ram->failure.Enabled());

  // Neither a reboot and a new corruption nor a power cycle and a new flash
  // failure enable it again.
  Fire(&ram->watchdog_reboot);
  Fire(&ram->random_failure);
  EXPECT_FALSE(ram->failure.Enabled());
  Fire(&flash->power_cycle);
  Fire(&flash->sefi);
  EXPECT_EQ(Read().flashCorrupted, 1);
  EXPECT_EQ(Read().ramCorrupted, 1);
  EXPECT_FALSE(ram->failure.Enabled());
  EXPECT_EQ(ram->system_failed->getMark(), 1);
}

TEST_F(RamSystemTest, EnablingHistoryReportsChangesOnce) {
  Build(0);
  EXPECT_TRUE(ram->watchdog_reboot.EnablingChange() == false);
  Fire(&ram->random_failure);
  // false -> true is one change; asking again is none.
  EXPECT_TRUE(ram->watchdog_reboot.EnablingChange());
  EXPECT_FALSE(ram->watchdog_reboot.EnablingChange());
  EXPECT_TRUE(ram->watchdog_reboot.currentEnabled);
  EXPECT_TRUE(ram->watchdog_reboot.previousEnabled);
}

TEST_F(RamSystemTest, CaseWeightsFollowRamSize) {
  Build(0);
  ASSERT_EQ(ram_size, 128.0f);
  EXPECT_EQ(ram->bit_error_case1.Weight(), 0.75);
  EXPECT_EQ(ram->bit_error_case2.Weight(), 0.25);
  EXPECT_EQ(ram->page_error_case1.Weight(), 0.75);
  EXPECT_EQ(ram->page_error_case2.Weight(), 0.25);
  EXPECT_EQ(ram->bit_errorGroup.Weight(), 1.0);
  EXPECT_EQ(ram->watchdog_reboot.Weight(), 1.0);

  // Weights are read at every evaluation, from the single-precision global
  // in double arithmetic.
  ram_size = 100.0f;
  EXPECT_EQ(ram->bit_error_case2.Weight(), 100.0 / 512.0);
  EXPECT_EQ(ram->bit_error_case1.Weight(), 1.0 - 100.0 / 512.0);

  ram_size = 512.0f;
  EXPECT_EQ(ram->bit_error_case1.Weight(), 0.0);
  EXPECT_EQ(ram->bit_error_case2.Weight(), 1.0);
  // With case 1 weighing nothing the group always fires case 2, whatever the
  // uniform drawn.
  for (int i = 0; i < 5; i++) {
    Fire(&ram->watchdog_reboot);
    EXPECT_EQ(Fire(&ram->bit_errorGroup), &ram->bit_error_case2);
    EXPECT_EQ(Read().ramWorking, 0);
    EXPECT_EQ(Read().ramCorrupted, 1);
  }
}

TEST_F(RamSystemTest, TimingOfEachActivity) {
  Build(0);
  EXPECT_EQ(ram->watchdog_reboot.SampleDistribution(), 0.00347);
  EXPECT_EQ(ram->watchdog_reboot.DeterministicParamValue(), 0.00347);
  EXPECT_EQ(ram->watchdog_reboot.Rate(), 0.0);
  double* parameters = ram->watchdog_reboot.ReturnDistributionParameters();
  ASSERT_NE(parameters, nullptr);
  EXPECT_EQ(parameters[0], 0.00347);

  EXPECT_EQ(ram->failure.Rate(), 0.0);
  EXPECT_EQ(ram->failure.ReturnDistributionParameters(), nullptr);

  EXPECT_EQ(ram->random_failure.Rate(), static_cast<double>(0.005f));
  EXPECT_EQ(ram->random_failure.ReturnDistributionParameters()[0], static_cast<double>(0.005f));
  random_failure_rate = 2.0f;  // read at every call
  EXPECT_EQ(ram->random_failure.Rate(), 2.0);

  EXPECT_EQ(ram->bit_error_case1.Rate(), 6.012);
  EXPECT_EQ(ram->bit_error_case2.ReturnDistributionParameters()[0], 6.012);
  EXPECT_EQ(ram->page_error_case2.Rate(), 2.95e-6);
  EXPECT_EQ(ram->page_error_case1.ReturnDistributionParameters()[0], 2.95e-6);

  // An exponential delay is one draw of Exponential(rate) from the
  // program-wide distribution object.
  UserDistributions fixed;
  delete fixed.generator;
  fixed.generator = new FixedUniform(0.25);
  UserDistributions* saved = TheDistribution;
  TheDistribution = &fixed;
  double bitDelay = ram->bit_error_case1.SampleDistribution();
  double pageDelay = ram->page_error_case2.SampleDistribution();
  double randomDelay = ram->random_failure.SampleDistribution();
  TheDistribution = saved;
  EXPECT_DOUBLE_EQ(bitDelay, -std::log(0.25) / 6.012);
  EXPECT_DOUBLE_EQ(pageDelay, -std::log(0.25) / 2.95e-6);
  EXPECT_DOUBLE_EQ(randomDelay, -std::log(0.25) / 2.0);
}

}  // namespace
