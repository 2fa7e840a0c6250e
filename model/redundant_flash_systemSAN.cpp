#include "model/redundant_flash_systemSAN.h"

#include <new>

#include "Cpp/BaseClasses/ErrorReporting.h"
#include "model/redundant_flash_studyRangeStudy.h"
#include "random/Distributions.h"

namespace {

// 1/512 as the model writes it: a single-precision constant.
const float kPerMegabyte = 0.001953125f;

const double kSeuRate = 1.5e-16;
const double kSefiRate = 0.00274;

// (place index, activity index) pairs, in the order the arcs are added.
const int kAffectArcs[14] = {1, 0, 1, 1, 0, 1, 1, 2, 0, 2, 1, 3, 0, 3};
const int kEnableArcs[8] = {1, 0, 1, 1, 1, 2, 1, 3};

double* NewParameters() {
  double* parameters = new (std::nothrow) double[1]();
  if (parameters == nullptr) MemoryAllocationError();
  return parameters;
}

// Share of the flash hit by an upset: the marking, the single-precision
// flash_size and constant, multiplied in that order in double precision.
inline double UpsetShare(short replicas) {
  return static_cast<double>(replicas) * static_cast<double>(flash_size) *
         static_cast<double>(kPerMegabyte);
}

}  // namespace

// -------------------------------------------------------------- seu_case1

redundant_flash_systemSAN::seuActivity_case1::seuActivity_case1()
    : replicas_available(nullptr),
      replicas_available_Mark(nullptr),
      TheDistributionParameters(NewParameters()) {
  ActivityInitialize("seu_case1", 0, EXPONENTIAL, RACE_ENABLED, 1, 1, false);
}

redundant_flash_systemSAN::seuActivity_case1::~seuActivity_case1() {
  delete[] TheDistributionParameters;
}

bool redundant_flash_systemSAN::seuActivity_case1::Enabled() {
  previousEnabled = currentEnabled;
  currentEnabled = *replicas_available_Mark > 0;
  return currentEnabled;
}

double redundant_flash_systemSAN::seuActivity_case1::Weight() {
  return 1.0 - UpsetShare(*replicas_available_Mark);
}

double redundant_flash_systemSAN::seuActivity_case1::Rate() { return kSeuRate; }
bool redundant_flash_systemSAN::seuActivity_case1::ReactivationPredicate() { return false; }
bool redundant_flash_systemSAN::seuActivity_case1::ReactivationFunction() { return false; }

double redundant_flash_systemSAN::seuActivity_case1::SampleDistribution() {
  return TheDistribution->Exponential(kSeuRate);
}

double* redundant_flash_systemSAN::seuActivity_case1::ReturnDistributionParameters() {
  TheDistributionParameters[0] = Rate();
  return TheDistributionParameters;
}

BaseActionClass* redundant_flash_systemSAN::seuActivity_case1::Fire() {
  // The copy is lost and rewritten at once: no net change.
  *replicas_available_Mark = static_cast<short>(*replicas_available_Mark - 1);
  *replicas_available_Mark = static_cast<short>(*replicas_available_Mark + 1);
  return this;
}

int redundant_flash_systemSAN::seuActivity_case1::Rank() { return 1; }

void redundant_flash_systemSAN::seuActivity_case1::LinkVariables() {
  replicas_available->RegisterPointer(&replicas_available_Mark);
}

// -------------------------------------------------------------- seu_case2

redundant_flash_systemSAN::seuActivity_case2::seuActivity_case2()
    : replicas_available(nullptr),
      replicas_available_Mark(nullptr),
      flash_corrupted(nullptr),
      flash_corrupted_Mark(nullptr),
      TheDistributionParameters(NewParameters()) {
  ActivityInitialize("seu_case2", 0, EXPONENTIAL, RACE_ENABLED, 2, 1, false);
}

redundant_flash_systemSAN::seuActivity_case2::~seuActivity_case2() {
  delete[] TheDistributionParameters;
}

bool redundant_flash_systemSAN::seuActivity_case2::Enabled() {
  previousEnabled = currentEnabled;
  currentEnabled = *replicas_available_Mark > 0;
  return currentEnabled;
}

double redundant_flash_systemSAN::seuActivity_case2::Weight() {
  return UpsetShare(*replicas_available_Mark);
}

double redundant_flash_systemSAN::seuActivity_case2::Rate() { return kSeuRate; }
bool redundant_flash_systemSAN::seuActivity_case2::ReactivationPredicate() { return false; }
bool redundant_flash_systemSAN::seuActivity_case2::ReactivationFunction() { return false; }

double redundant_flash_systemSAN::seuActivity_case2::SampleDistribution() {
  return TheDistribution->Exponential(kSeuRate);
}

double* redundant_flash_systemSAN::seuActivity_case2::ReturnDistributionParameters() {
  TheDistributionParameters[0] = Rate();
  return TheDistributionParameters;
}

BaseActionClass* redundant_flash_systemSAN::seuActivity_case2::Fire() {
  *replicas_available_Mark = static_cast<short>(*replicas_available_Mark - 1);
  if (*replicas_available_Mark == 0) *flash_corrupted_Mark = 1;
  return this;
}

int redundant_flash_systemSAN::seuActivity_case2::Rank() { return 1; }

void redundant_flash_systemSAN::seuActivity_case2::LinkVariables() {
  replicas_available->RegisterPointer(&replicas_available_Mark);
  flash_corrupted->RegisterPointer(&flash_corrupted_Mark);
}

// ------------------------------------------------------------------- sefi

redundant_flash_systemSAN::sefiActivity::sefiActivity()
    : replicas_available(nullptr),
      replicas_available_Mark(nullptr),
      flash_corrupted(nullptr),
      flash_corrupted_Mark(nullptr),
      TheDistributionParameters(NewParameters()) {
  ActivityInitialize("sefi", 1, EXPONENTIAL, RACE_ENABLED, 2, 1, false);
}

redundant_flash_systemSAN::sefiActivity::~sefiActivity() { delete[] TheDistributionParameters; }

bool redundant_flash_systemSAN::sefiActivity::Enabled() {
  previousEnabled = currentEnabled;
  currentEnabled = *replicas_available_Mark > 0;
  return currentEnabled;
}

double redundant_flash_systemSAN::sefiActivity::Weight() { return 1; }
double redundant_flash_systemSAN::sefiActivity::Rate() { return kSefiRate; }
bool redundant_flash_systemSAN::sefiActivity::ReactivationPredicate() { return false; }
bool redundant_flash_systemSAN::sefiActivity::ReactivationFunction() { return false; }

double redundant_flash_systemSAN::sefiActivity::SampleDistribution() {
  return TheDistribution->Exponential(kSefiRate);
}

double* redundant_flash_systemSAN::sefiActivity::ReturnDistributionParameters() {
  TheDistributionParameters[0] = Rate();
  return TheDistributionParameters;
}

BaseActionClass* redundant_flash_systemSAN::sefiActivity::Fire() {
  *replicas_available_Mark = 0;
  *flash_corrupted_Mark = 1;
  return this;
}

int redundant_flash_systemSAN::sefiActivity::Rank() { return 1; }

void redundant_flash_systemSAN::sefiActivity::LinkVariables() {
  replicas_available->RegisterPointer(&replicas_available_Mark);
  flash_corrupted->RegisterPointer(&flash_corrupted_Mark);
}

// ------------------------------------------------------------ power_cycle

redundant_flash_systemSAN::power_cycleActivity::power_cycleActivity()
    : replicas_available(nullptr),
      replicas_available_Mark(nullptr),
      flash_corrupted(nullptr),
      flash_corrupted_Mark(nullptr),
      TheDistributionParameters(NewParameters()) {
  ActivityInitialize("power_cycle", 2, DETERMINISTIC, RACE_ENABLED, 2, 1, false);
}

redundant_flash_systemSAN::power_cycleActivity::~power_cycleActivity() {
  delete[] TheDistributionParameters;
}

bool redundant_flash_systemSAN::power_cycleActivity::Enabled() {
  previousEnabled = currentEnabled;
  currentEnabled = *replicas_available_Mark < num_replicas;
  return currentEnabled;
}

double redundant_flash_systemSAN::power_cycleActivity::Weight() { return 1; }
double redundant_flash_systemSAN::power_cycleActivity::Rate() { return 0; }
bool redundant_flash_systemSAN::power_cycleActivity::ReactivationPredicate() { return false; }
bool redundant_flash_systemSAN::power_cycleActivity::ReactivationFunction() { return false; }

// The delay is the value of power_cycle_rate itself (not its reciprocal),
// read at every call.
double redundant_flash_systemSAN::power_cycleActivity::SampleDistribution() {
  return static_cast<double>(power_cycle_rate);
}

double* redundant_flash_systemSAN::power_cycleActivity::ReturnDistributionParameters() {
  TheDistributionParameters[0] = static_cast<double>(power_cycle_rate);
  return TheDistributionParameters;
}

double redundant_flash_systemSAN::power_cycleActivity::DeterministicParamValue() {
  return static_cast<double>(power_cycle_rate);
}

BaseActionClass* redundant_flash_systemSAN::power_cycleActivity::Fire() {
  *replicas_available_Mark = num_replicas;
  *flash_corrupted_Mark = 0;
  return this;
}

int redundant_flash_systemSAN::power_cycleActivity::Rank() { return 1; }

void redundant_flash_systemSAN::power_cycleActivity::LinkVariables() {
  replicas_available->RegisterPointer(&replicas_available_Mark);
  flash_corrupted->RegisterPointer(&flash_corrupted_Mark);
}

// ------------------------------------------------------------------ model

redundant_flash_systemSAN::redundant_flash_systemSAN() {
  Activity* activityList[4] = {&seu_case1, &seu_case2, &sefi, &power_cycle};

  seuGroup.initialize(2, "seuGroup");
  seuGroup.appendGroup(&seu_case1);
  seuGroup.appendGroup(&seu_case2);
  BaseGroupClass* groupList[3] = {&seuGroup, &sefi, &power_cycle};

  // The number of copies is the one in force now: the experiment's values
  // and any overrides must be set before the model is built.
  flash_corrupted = new Place("flash_corrupted", 0);
  replicas_available = new Place("replicas_available", num_replicas);
  placeList[0] = flash_corrupted;
  placeList[1] = replicas_available;

  initializeSANModelNow("redundant_flash_system", 2, placeList, 0, nullptr, 4, activityList, 3,
                        groupList);
  // Every gate and arc reads places and global variables only.
  enablingReadsOnlyPlaces = true;

  assignPlacesToActivitiesTimed();

  for (int i = 0; i < 14; i += 2) AddAffectArc(places[kAffectArcs[i]], activityList[kAffectArcs[i + 1]]);
  for (int i = 0; i < 8; i += 2) AddEnableArc(places[kEnableArcs[i]], activityList[kEnableArcs[i + 1]]);

  for (Activity* activity : activityList) activity->LinkVariables();
}

redundant_flash_systemSAN::~redundant_flash_systemSAN() {
  // The places go first; the group and then the activities (members) follow
  // in reverse order of declaration, then the SANModel part.
  for (int i = 0; i < numStateVariables - numReadOnlyPlaces; i++) delete places[i];
}

void redundant_flash_systemSAN::CustomInitialization() {}

void redundant_flash_systemSAN::assignPlacesToActivitiesInst() {}

void redundant_flash_systemSAN::assignPlacesToActivitiesTimed() {
  seu_case1.replicas_available = static_cast<Place*>(places[1]);
  seu_case2.replicas_available = static_cast<Place*>(places[1]);
  seu_case2.flash_corrupted = static_cast<Place*>(places[0]);
  sefi.replicas_available = static_cast<Place*>(places[1]);
  sefi.flash_corrupted = static_cast<Place*>(places[0]);
  power_cycle.replicas_available = static_cast<Place*>(places[1]);
  power_cycle.flash_corrupted = static_cast<Place*>(places[0]);
}
