#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>

#include "tests/model/ModelFixture.h"

namespace {

class RangeStudyTest : public ModelFixture {
 protected:
  redundant_flash_studyRangeStudy* Study() {
    return static_cast<redundant_flash_studyRangeStudy*>(GenerateStudy());
  }
};

TEST_F(RangeStudyTest, OneStudyPerProcess) {
  EXPECT_EQ(GlobalStudyPtr, nullptr);
  BaseStudyClass* first = GenerateStudy();
  EXPECT_EQ(GlobalStudyPtr, first);
  EXPECT_EQ(GenerateStudy(), first);
  DestructStudy();
  EXPECT_EQ(GlobalStudyPtr, nullptr);
  DestructStudy();  // nothing left to delete
  EXPECT_EQ(GlobalStudyPtr, nullptr);
}

TEST_F(RangeStudyTest, TablesAndExperiments) {
  redundant_flash_studyRangeStudy* s = Study();
  ASSERT_EQ(s->GetNumGVs(), 5);
  EXPECT_EQ(s->GetNumExps(), 36);
  const char* names[5] = {"flash_size", "num_replicas", "power_cycle_rate", "ram_size",
                          "random_failure_rate"};
  const char* types[5] = {"float", "short", "float", "float", "float"};
  for (int i = 0; i < 5; i++) {
    EXPECT_STREQ(s->GetGVName(i), names[i]);
    EXPECT_STREQ(s->GetGVType(i), types[i]);
  }
  EXPECT_STREQ(s->GetDefaultKorvanRoot(), "c:/Korvan-2.4/");

  for (int k = 0; k < 36; k++) {
    SCOPED_TRACE(k);
    s->SetGVs(k);
    EXPECT_EQ(num_replicas, k % 4 + 1);
    EXPECT_EQ(power_cycle_rate, static_cast<float>(std::pow(2.0, k / 4) / 32.0));
    EXPECT_EQ(flash_size, 64.0f);
    EXPECT_EQ(ram_size, 128.0f);
    EXPECT_EQ(random_failure_rate, 0.005f);
  }
  s->SetGVs(0);
  EXPECT_EQ(num_replicas, 1);
  EXPECT_EQ(power_cycle_rate, 0.03125f);
  s->SetGVs(35);
  EXPECT_EQ(num_replicas, 4);
  EXPECT_EQ(power_cycle_rate, 8.0f);
}

TEST_F(RangeStudyTest, ExperimentsOutsideTheRangeChangeNothing) {
  redundant_flash_studyRangeStudy* s = Study();
  s->SetGVs(6);
  for (int bad : {-1, 36, INT_MIN, INT_MAX}) {
    SCOPED_TRACE(bad);
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    s->SetGVs(bad);
    s->PrintGlobalValues(bad);
    std::string out = ::testing::internal::GetCapturedStdout();
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "");
    std::string line = "!! redundant_flash_studyRangeStudy::SetGVs: Experiment " +
                       std::to_string(bad) + " does not exist.\n";
    EXPECT_EQ(err, line + line);
    EXPECT_EQ(num_replicas, 3);
    EXPECT_EQ(power_cycle_rate, 0.0625f);
    EXPECT_EQ(flash_size, 64.0f);
  }
}

TEST_F(RangeStudyTest, PrintGlobalValuesListsAndSetsTheExperiment) {
  redundant_flash_studyRangeStudy* s = Study();
  s->SetGVs(35);
  ::testing::internal::CaptureStdout();
  s->PrintGlobalValues(5);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "The Global Variable values for experiment Experiment 6 are:\n"
            "flash_size\tfloat\t64\n"
            "num_replicas\tshort\t2\n"
            "power_cycle_rate\tfloat\t0.0625\n"
            "ram_size\tfloat\t128\n"
            "random_failure_rate\tfloat\t0.005\n");
  EXPECT_EQ(num_replicas, 2);
  EXPECT_EQ(power_cycle_rate, 0.0625f);
}

TEST_F(RangeStudyTest, LookupAndOverrideByName) {
  redundant_flash_studyRangeStudy* s = Study();
  s->SetGVs(0);
  EXPECT_EQ(s->GetGVValue(const_cast<char*>("num_replicas")), &num_replicas);
  EXPECT_EQ(s->GetGVValue(const_cast<char*>("random_failure_rate")), &random_failure_rate);

  ::testing::internal::CaptureStderr();
  EXPECT_EQ(s->GetGVValue(const_cast<char*>("Flash_size")), nullptr);
  EXPECT_EQ(s->GetGVValue(nullptr), nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "!! redundant_flash_studyRangeStudy::GetGVValue: Global Variable Flash_size does not "
            "exist.\n"
            "!! redundant_flash_studyRangeStudy::GetGVValue: Global Variable (null) does not "
            "exist.\n");

  short replicas = 7;
  float rate = 0.5f;
  s->OverrideGVValue(const_cast<char*>("num_replicas"), &replicas);
  s->OverrideGVValue(const_cast<char*>("power_cycle_rate"), &rate);
  EXPECT_EQ(num_replicas, 7);
  EXPECT_EQ(power_cycle_rate, 0.5f);

  ::testing::internal::CaptureStderr();
  s->OverrideGVValue(const_cast<char*>("ram_size "), &rate);
  s->OverrideGVValue(const_cast<char*>("ram_size"), nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "!! redundant_flash_studyRangeStudy::OverrideGVValue: Global Variable ram_size  does "
            "not exist.\n"
            "!! redundant_flash_studyRangeStudy::OverrideGVValue: No value for Global Variable "
            "ram_size.\n");
  EXPECT_EQ(ram_size, 128.0f);

  // Through the override string, as the simulator applies it.
  char overrides[] = "f:power_cycle_rate:0.25:f:ram_size:256";
  s->overrideGVs(overrides);
  EXPECT_EQ(power_cycle_rate, 0.25f);
  EXPECT_EQ(ram_size, 256.0f);
}

TEST_F(RangeStudyTest, InitialMarkingsFollowTheExperiment) {
  Build(0);
  EXPECT_EQ(flash->replicas_available->getMark(), 1);
  DestructStudy();
  Build(35);
  EXPECT_EQ(flash->replicas_available->getMark(), 4);
  EXPECT_EQ(flash->power_cycle.SampleDistribution(), 8.0);
  EXPECT_EQ(ram->ram_working->getMark(), 1);
  EXPECT_EQ(rj->flash_corrupted->getMark(), 0);
}

TEST_F(RangeStudyTest, OverrideBeforeBuildingSetsTheCopies) {
  ::testing::internal::CaptureStdout();
  Build(35, "s:num_replicas:3");
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(num_replicas, 3);
  EXPECT_EQ(flash->replicas_available->getMark(), 3);
  EXPECT_FALSE(flash->power_cycle.Enabled());
}

// Values that the run would never refuse, because it never draws or uses
// them as a delay or a case weight out of range, are refused when the model
// is built, naming the variable.
TEST_F(RangeStudyTest, ValuesTheModelCannotTakeAreRefusedWhenItIsBuilt) {
  // No copy of the flash: a system that could never fail.
  EXPECT_EXIT(Build(3, "s:num_replicas:0"), ::testing::ExitedWithCode(1),
              "FATAL ERROR: Global variable num_replicas is 0: the flash needs at least 1 copy");
  EXPECT_EXIT(Build(3, "s:num_replicas:-32768"), ::testing::ExitedWithCode(1),
              "Global variable num_replicas is -32768");
  // Its delays would all be -0, taken for 0.
  EXPECT_EXIT(Build(0, "f:random_failure_rate:-inf"), ::testing::ExitedWithCode(1),
              "FATAL ERROR: Global variable random_failure_rate is -inf: a rate cannot be "
              "negative");
  // A power cycle is due only once a copy is lost, which a run may never see.
  EXPECT_EXIT(Build(0, "f:power_cycle_rate:-1"), ::testing::ExitedWithCode(1),
              "FATAL ERROR: Global variable power_cycle_rate is -1: a delay cannot be negative or "
              "not a number");
  EXPECT_EXIT(Build(0, "f:power_cycle_rate:nan"), ::testing::ExitedWithCode(1),
              "Global variable power_cycle_rate is nan");
  // Upsets are too rare for a run to reach their case weights.
  EXPECT_EXIT(Build(3, "f:flash_size:128.5"), ::testing::ExitedWithCode(1),
              "FATAL ERROR: Global variable flash_size is 128.5: with num_replicas 4 it must be "
              "from 0 to 128");
  EXPECT_EXIT(Build(0, "f:flash_size:-1"), ::testing::ExitedWithCode(1),
              "Global variable flash_size is -1");
  EXPECT_EXIT(Build(0, "f:flash_size:nan"), ::testing::ExitedWithCode(1),
              "Global variable flash_size is nan");
  EXPECT_EXIT(Build(0, "f:flash_size:inf"), ::testing::ExitedWithCode(1),
              "Global variable flash_size is inf");

  // The ends of the ranges are valid: every upset loses a copy, or none.
  ::testing::internal::CaptureStdout();
  Build(3, "f:flash_size:128:f:random_failure_rate:inf");
  EXPECT_EQ(flash->seu_case1.Weight(), 0.0);
  DestructStudy();
  Build(0, "f:flash_size:0:f:random_failure_rate:0:f:power_cycle_rate:0");
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(flash->seu_case2.Weight(), 0.0);
  EXPECT_EQ(flash->replicas_available->getMark(), 1);
}

}  // namespace
