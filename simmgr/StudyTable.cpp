#include "simmgr/StudyTable.h"

#include <cstdio>
#include <cstdlib>

#include "Cpp/BaseClasses/BaseStudyClass.h"
#include "Cpp/BaseClasses/PVModel.h"
#include "Cpp/BaseClasses/PerformanceVariableNode.h"
#include "model/redundant_flash_studyRangeStudy.h"
#include "simmgr/NumberText.h"

namespace {

// Reads a global variable through the untyped address the study gives.
double ReadValue(const void* address, const std::string& type) {
  if (address == nullptr) return 0.0;
  if (type == "float") return *static_cast<const float*>(address);
  if (type == "double") return *static_cast<const double*>(address);
  if (type == "short") return *static_cast<const short*>(address);
  if (type == "int") return *static_cast<const int*>(address);
  if (type == "long") return static_cast<double>(*static_cast<const long*>(address));
  if (type == "char") return *static_cast<const char*>(address);
  if (type == "bool") return *static_cast<const bool*>(address) ? 1.0 : 0.0;
  return 0.0;
}

}  // namespace

void StudyTable::Load() {
  BaseStudyClass* study = GenerateStudy();
  numExperiments = study->GetNumExps();
  for (int g = 0; g < study->GetNumGVs(); ++g) {
    globals.push_back({study->GetGVName(g), study->GetGVType(g)});
  }
  for (int k = 0; k < numExperiments; ++k) {
    study->SetGVs(k);
    std::vector<double> row;
    std::vector<std::string> textRow;
    for (const GlobalVariable& global : globals) {
      const double value = ReadValue(study->GetGVValue(const_cast<char*>(global.name.c_str())),
                                     global.type);
      row.push_back(value);
      textRow.push_back(NumberText::Shortest(value, global.type == "float"));
    }
    values.push_back(row);
    texts.push_back(textRow);
  }
  // Expanded as the simulator expands it: one node per time point, each
  // node's current stop time its own time point.
  PVModel* rewardModel = study->GetPVModel(true);
  for (int i = 0; i < rewardModel->GetNumPVNodes(); ++i) {
    const PerformanceVariableNode* node = rewardModel->GetPVNode(i);
    RewardVariable reward;
    reward.name = node->GetName() != nullptr ? node->GetName() : "pv" + std::to_string(i);
    reward.time = node->GetStop();
    reward.terminating = node->GetSteadyState() == 0;
    reward.label = reward.name + "@" + NumberText::Shortest(reward.time);
    rewards.push_back(reward);
  }
  DestructStudy();
}

int StudyTable::FindGlobal(const std::string& name) const {
  for (size_t g = 0; g < globals.size(); ++g) {
    if (globals[g].name == name) return static_cast<int>(g);
  }
  return -1;
}
