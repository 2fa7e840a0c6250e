#ifndef TESTS_MODEL_MODEL_FIXTURE_H
#define TESTS_MODEL_MODEL_FIXTURE_H

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "Cpp/BaseClasses/PVModel.h"
#include "model/ram_systemSAN.h"
#include "model/redundant_flash_modelRJ.h"
#include "model/redundant_flash_rewardPVModel.h"
#include "model/redundant_flash_studyRangeStudy.h"
#include "model/redundant_flash_systemSAN.h"

// Builds the whole model the way the simulator does (study, experiment,
// optional override, reward model) and tears the study down after the test,
// so that every test starts without a study.
class ModelFixture : public ::testing::Test {
 protected:
  void Build(int experiment, const char* overrides = nullptr) {
    study = GenerateStudy();
    study->SetGVs(experiment);
    if (overrides != nullptr) {
      std::vector<char> text(overrides, overrides + std::strlen(overrides) + 1);
      study->overrideGVs(text.data());
    }
    pv = study->GetPVModel(true);
    rj = static_cast<redundant_flash_modelRJ*>(pv->GetTopModel());
    ram = rj->ram_system;
    flash = rj->redundant_flash_system;
  }

  void TearDown() override { DestructStudy(); }

  // The markings, in the order of the composed state image.
  struct Markings {
    short ramWorking, ramCorrupted, systemFailed, replicas, flashCorrupted;
  };
  Markings Read() const {
    return {ram->ram_working->getMark(), ram->ram_corrupted->getMark(),
            ram->system_failed->getMark(), flash->replicas_available->getMark(),
            rj->flash_corrupted->getMark()};
  }

  // Fires one action through the reward model at time t, as a step does.
  BaseActionClass* Fire(BaseActionClass* action, double t = 1.0) {
    pv->Accumulate(t);
    return pv->FireAction(action, t);
  }

  BaseStudyClass* study = nullptr;
  PVModel* pv = nullptr;
  redundant_flash_modelRJ* rj = nullptr;
  ram_systemSAN* ram = nullptr;
  redundant_flash_systemSAN* flash = nullptr;
};

#endif
