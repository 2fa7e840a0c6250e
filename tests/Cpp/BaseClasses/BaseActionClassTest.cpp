#include "Cpp/BaseClasses/BaseActionClass.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "Cpp/BaseClasses/BaseGroupClass.h"
#include "Cpp/BaseClasses/state/Place.h"

namespace {

class ErlangAction : public BaseActionClass {
 public:
  double ErlangParamM() override { return 2.0; }
};

TEST(BaseActionClassTest, IdsComeFromOneCounterAcrossClasses) {
  int first = BaseActionClass::MaxID;
  BaseActionClass a;
  BaseGroupClass g;
  ErlangAction e;
  EXPECT_EQ(a.id, first);
  EXPECT_EQ(g.id, first + 1);
  EXPECT_EQ(e.id, first + 2);
  EXPECT_EQ(BaseActionClass::MaxID, first + 3);

  EXPECT_STREQ(a.name, "default");
  EXPECT_EQ(a.groupId, 0);
  EXPECT_EQ(a.executionPolicy, 1);
  EXPECT_EQ(a.distributionType, 1);
  EXPECT_TRUE(a.disabled);
  EXPECT_FALSE(a.reactivation);
  EXPECT_EQ(a.phase, 1);
  EXPECT_EQ(a.actionAffects, nullptr);
  EXPECT_EQ(a.eventInfo, nullptr);
  EXPECT_TRUE(a.IsAMember(&a));
  EXPECT_FALSE(a.IsAMember(&e));
  a.SetFired(5);
  EXPECT_TRUE(a.fired);

  BaseActionClass init("fire", 4, INSTANTANEOUS, RACE_ENABLED, 2, 3, true);
  EXPECT_STREQ(init.name, "fire");
  EXPECT_EQ(init.groupId, 4);
  EXPECT_EQ(init.distributionType, 18);
  EXPECT_TRUE(init.reactivation);
  EXPECT_EQ(DETERMINISTIC, 2);
}

TEST(BaseActionClassTest, ErlangPhasesCountToM) {
  BaseActionClass one;
  one.ResetPhase();
  EXPECT_TRUE(one.ReadyToFire());
  ErlangAction two;
  two.ResetPhase();
  EXPECT_FALSE(two.ReadyToFire());
  two.Age();
  EXPECT_TRUE(two.ReadyToFire());
  two.Age();
  EXPECT_FALSE(two.ReadyToFire());
}

TEST(BaseActionClassTest, VariableListsHoldEachLeafOnceAndPrint) {
  BaseActionClass a("act", 0, EXPONENTIAL, RACE_ENABLED, 1, 1, false);
  Place p("p", 1), q("q", 2);
  a.addEnablingSV(&p);
  a.addEnablingSV(&p);
  a.addEnablingSV(&q);
  a.addAffectedSV(&q);
  EXPECT_EQ(a.enablingSVs.getNumItems(), 2);
  a.removeEnablingSV(&p);
  EXPECT_EQ(a.enablingSVs[0], &q);

  testing::internal::CaptureStdout();
  a.PrintInfo();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "********* act**********\n\nEnabled by:\n           q\nAffects:\n           q\n"
            "Group ID = 0\nExecution Policy = 1\nDisabled = 1\nReactivation = 0\n"
            "DistributionType = 1\n");
  std::ostringstream state;
  a.printAffectedState(&state);
  a.printEnablingState(&state);
  EXPECT_EQ(state.str(), "q = 2\nq = 2\n");

  BaseActionClass empty;
  testing::internal::CaptureStdout();
  empty.PrintInfo();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "********* default**********\n\nEnabled by:\nAffects:\nGroup ID = 0\n"
            "Execution Policy = 1\nDisabled = 1\nReactivation = 0\nDistributionType = 1\n");
}

TEST(BaseActionClassTest, RewardDataIsAllocatedReleasedAndNeverLeaked) {
  BaseActionClass a;
  EXPECT_FALSE(a.IsPVRateDSAllocated());
  a.AllocatePVRateDS(3);
  a.AllocatePVImpulseDS(2);
  EXPECT_TRUE(a.IsPVRateDSAllocated());
  EXPECT_TRUE(a.IsPVImpulseDSAllocated());
  EXPECT_EQ(a.pvImpulseTables[1], nullptr);
  EXPECT_EQ(a.pvImpulseCounts[0], nullptr);
  a.pvRateSets[2].insert(5);
  EXPECT_TRUE(a.pvRateSets[2].find(5));
  a.DeallocatePVRateDS();
  EXPECT_FALSE(a.IsPVRateDSAllocated());
  a.DeallocatePVRateDS();
  // The impulse data is still allocated here; the destructor releases it.
}

}  // namespace
