#include "model/redundant_flash_studyRangeStudy.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <new>
#include <sstream>
#include <string>

#include "Cpp/BaseClasses/ErrorReporting.h"
#include "model/redundant_flash_rewardPVModel.h"

float flash_size = 0;
short num_replicas = 0;
float power_cycle_rate = 0;
float ram_size = 0;
float random_failure_rate = 0;

BaseStudyClass* GlobalStudyPtr = nullptr;

namespace {

const int kNumGlobals = 5;
const int kNumExperiments = 36;

// Name and type of each global, in declaration order.
const char* const kNames[kNumGlobals] = {"flash_size", "num_replicas", "power_cycle_rate",
                                         "ram_size", "random_failure_rate"};
const char* const kTypes[kNumGlobals] = {"float", "short", "float", "float", "float"};

char* CopyString(const char* text) {
  char* copy = strdup(text);
  if (copy == nullptr) MemoryAllocationError();
  return copy;
}

template <class T>
T* NewValues() {
  T* values = new (std::nothrow) T[kNumExperiments]();
  if (values == nullptr) MemoryAllocationError();
  return values;
}

// The global named name, or null; exact, case-sensitive comparison.
void* FindGlobal(const char* name) {
  if (name == nullptr) return nullptr;
  if (std::strcmp(name, "flash_size") == 0) return &flash_size;
  if (std::strcmp(name, "num_replicas") == 0) return &num_replicas;
  if (std::strcmp(name, "power_cycle_rate") == 0) return &power_cycle_rate;
  if (std::strcmp(name, "ram_size") == 0) return &ram_size;
  if (std::strcmp(name, "random_failure_rate") == 0) return &random_failure_rate;
  return nullptr;
}


// 1/512, as the flash model's case weights write it.
const float kPerMegabyte = 0.001953125f;

// The global values the model cannot take and that the checks made while it
// runs would miss, or catch only in some runs, described; empty when there
// is none. (A delay or a case weight out of range is fatal when it is drawn
// or used; these may never be.)
std::string GlobalValueProblem() {
  std::ostringstream problem;
  // With no copy the flash starts out intact and no power cycle is ever
  // due (replicas_available < num_replicas never holds): a system that
  // cannot fail.
  if (num_replicas < 1) {
    problem << "num_replicas is " << num_replicas << ": the flash needs at least 1 copy";
    return problem.str();
  }
  // Every delay drawn at rate -inf is -ln(U) / -inf = -0, which passes for
  // a delay of 0: the RAM would fail at once, as at rate +inf. (Any other
  // negative rate gives negative delays, refused when drawn.)
  if (std::isinf(random_failure_rate) && random_failure_rate < 0) {
    problem << "random_failure_rate is " << static_cast<double>(random_failure_rate)
            << ": a rate cannot be negative";
    return problem.str();
  }
  // The delay of every power cycle. One is due only once a copy is lost,
  // which many replications never see, so a run may end before it draws
  // one.
  if (!(power_cycle_rate >= 0)) {
    problem << "power_cycle_rate is " << static_cast<double>(power_cycle_rate)
            << ": a delay cannot be negative or not a number";
    return problem.str();
  }
  // An upset hits a share replicas_available * flash_size / 512 of the
  // flash, the weight of its second case; the first weighs 1 minus that.
  // The share is largest with every copy intact. Upsets are so rare that a
  // run seldom draws one, so weights out of range would go unnoticed.
  const double share = static_cast<double>(num_replicas) * static_cast<double>(flash_size) *
                       static_cast<double>(kPerMegabyte);
  if (!(share >= 0.0 && share <= 1.0)) {
    problem << "flash_size is " << static_cast<double>(flash_size) << ": with num_replicas "
            << num_replicas << " it must be from 0 to " << 512.0 / num_replicas
            << " (an upset hits num_replicas * flash_size / 512 of the flash)";
    return problem.str();
  }
  return std::string();
}

}  // namespace

redundant_flash_studyRangeStudy::redundant_flash_studyRangeStudy() {
  numGVs = kNumGlobals;
  numExperiments = kNumExperiments;
  gvNames = new (std::nothrow) char*[kNumGlobals];
  gvTypes = new (std::nothrow) char*[kNumGlobals];
  if (gvNames == nullptr || gvTypes == nullptr) MemoryAllocationError();
  for (int i = 0; i < kNumGlobals; i++) {
    gvNames[i] = CopyString(kNames[i]);
    gvTypes[i] = CopyString(kTypes[i]);
  }

  flash_sizeValues = NewValues<float>();
  num_replicasValues = NewValues<short>();
  power_cycle_rateValues = NewValues<float>();
  ram_sizeValues = NewValues<float>();
  random_failure_rateValues = NewValues<float>();

  SetValues_flash_size();
  SetValues_num_replicas();
  SetValues_power_cycle_rate();
  SetValues_ram_size();
  SetValues_random_failure_rate();

  SetDefaultKorvanRoot(const_cast<char*>("c:/Korvan-2.4/"));
}

redundant_flash_studyRangeStudy::~redundant_flash_studyRangeStudy() {
  delete[] flash_sizeValues;
  delete[] num_replicasValues;
  delete[] power_cycle_rateValues;
  delete[] ram_sizeValues;
  delete[] random_failure_rateValues;
  delete thePVModel;
  thePVModel = nullptr;
}

PVModel* redundant_flash_studyRangeStudy::GetPVModel(bool expandTimePoints) {
  const std::string problem = GlobalValueProblem();
  if (!problem.empty()) {
    std::cout.flush();
    std::cerr << "FATAL ERROR: Global variable " << problem << std::endl;
    std::exit(1);
  }
  // The old model goes first: only one reward model (and model) lives at a
  // time.
  delete thePVModel;
  thePVModel = nullptr;
  thePVModel = new redundant_flash_rewardPVModel(expandTimePoints);
  return thePVModel;
}

void redundant_flash_studyRangeStudy::SetGVs(int experiment) {
  // The value arrays have numExperiments entries; a number outside them
  // would read past the arrays.
  if (experiment < 0 || experiment >= numExperiments) {
    std::cerr << "!! redundant_flash_studyRangeStudy::SetGVs: Experiment " << experiment
              << " does not exist." << std::endl;
    return;
  }
  flash_size = flash_sizeValues[experiment];
  num_replicas = num_replicasValues[experiment];
  power_cycle_rate = power_cycle_rateValues[experiment];
  ram_size = ram_sizeValues[experiment];
  random_failure_rate = random_failure_rateValues[experiment];
}

void redundant_flash_studyRangeStudy::PrintGlobalValues(int experiment) {
  if (numGVs == 0) {
    std::cout << "There are no global variables." << std::endl;
    return;
  }
  if (experiment < 0 || experiment >= numExperiments) {
    SetGVs(experiment);  // reports the experiment
    return;
  }
  SetGVs(experiment);
  std::cout << "The Global Variable values for experiment " << GetExpName(experiment) << " are:"
            << std::endl;
  std::cout << "flash_size\tfloat\t" << static_cast<double>(flash_size) << std::endl;
  std::cout << "num_replicas\tshort\t" << num_replicas << std::endl;
  std::cout << "power_cycle_rate\tfloat\t" << static_cast<double>(power_cycle_rate) << std::endl;
  std::cout << "ram_size\tfloat\t" << static_cast<double>(ram_size) << std::endl;
  std::cout << "random_failure_rate\tfloat\t" << static_cast<double>(random_failure_rate)
            << std::endl;
}

void* redundant_flash_studyRangeStudy::GetGVValue(char* name) {
  void* global = FindGlobal(name);
  if (global == nullptr) {
    std::cerr << "!! redundant_flash_studyRangeStudy::GetGVValue: Global Variable "
              << Printable(name) << " does not exist." << std::endl;
  }
  return global;
}

void redundant_flash_studyRangeStudy::OverrideGVValue(char* name, void* value) {
  void* global = FindGlobal(name);
  if (global == nullptr) {
    std::cerr << "!! redundant_flash_studyRangeStudy::OverrideGVValue: Global Variable "
              << Printable(name) << " does not exist." << std::endl;
    return;
  }
  if (value == nullptr) {
    std::cerr << "!! redundant_flash_studyRangeStudy::OverrideGVValue: No value for Global Variable "
              << Printable(name) << "." << std::endl;
    return;
  }
  // value need not be aligned for the global's type.
  std::memcpy(global, value, global == &num_replicas ? sizeof(short) : sizeof(float));
}

void redundant_flash_studyRangeStudy::SetValues_flash_size() {
  for (int k = 0; k < kNumExperiments; k++) flash_sizeValues[k] = 64.0f;
}

void redundant_flash_studyRangeStudy::SetValues_num_replicas() {
  for (int k = 0; k < kNumExperiments; k++) num_replicasValues[k] = static_cast<short>(k % 4 + 1);
}

void redundant_flash_studyRangeStudy::SetValues_power_cycle_rate() {
  // 2^(k div 4) / 32: exact powers of two, 0.03125 .. 8.
  for (int k = 0; k < kNumExperiments; k++) {
    power_cycle_rateValues[k] = std::ldexp(1.0f, k / 4 - 5);
  }
}

void redundant_flash_studyRangeStudy::SetValues_ram_size() {
  for (int k = 0; k < kNumExperiments; k++) ram_sizeValues[k] = 128.0f;
}

void redundant_flash_studyRangeStudy::SetValues_random_failure_rate() {
  for (int k = 0; k < kNumExperiments; k++) random_failure_rateValues[k] = 0.005f;
}

BaseStudyClass* GenerateStudy() {
  if (GlobalStudyPtr == nullptr) GlobalStudyPtr = new redundant_flash_studyRangeStudy();
  return GlobalStudyPtr;
}

void DestructStudy() {
  delete GlobalStudyPtr;
  GlobalStudyPtr = nullptr;
}
