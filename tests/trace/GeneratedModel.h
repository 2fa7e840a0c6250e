#ifndef TESTS_TRACE_GENERATED_MODEL_H
#define TESTS_TRACE_GENERATED_MODEL_H

// The generated model of this system, built the way the simulator builds
// it: the study, the first experiment's global variables, the reward model.

#include <map>
#include <string>

#include "Cpp/BaseClasses/BaseActionClass.h"
#include "Cpp/BaseClasses/BaseModelClass.h"
#include "Cpp/BaseClasses/PVModel.h"
#include "model/redundant_flash_studyRangeStudy.h"

namespace generatedmodel {

class GeneratedModel {
 public:
  GeneratedModel() {
    BaseStudyClass* study = GenerateStudy();
    study->SetGVs(0);
    pv = study->GetPVModel(true);
    join = pv->GetTopModel();
    ram = join->GetChild(0);
    flash = join->GetChild(1);
  }
  ~GeneratedModel() { DestructStudy(); }
  GeneratedModel(const GeneratedModel&) = delete;
  GeneratedModel& operator=(const GeneratedModel&) = delete;

  // Model ids J (the Join), R (RAM model), F (flash model); action ids r0..r6
  // and f0..f3 of the two models' actions in their order.
  std::map<std::string, int> Ids() const {
    std::map<std::string, int> ids = {
        {"J", join->modelId}, {"R", ram->modelId}, {"F", flash->modelId}};
    for (int i = 0; i < ram->numActions; i++) ids["r" + std::to_string(i)] = ram->actions[i]->id;
    for (int i = 0; i < flash->numActions; i++) {
      ids["f" + std::to_string(i)] = flash->actions[i]->id;
    }
    return ids;
  }

  PVModel* pv;
  BaseModelClass* join;
  BaseModelClass* ram;
  BaseModelClass* flash;
};

}  // namespace generatedmodel

#endif
