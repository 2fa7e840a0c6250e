#include "model/ram_systemSAN.h"

#include <new>

#include "Cpp/BaseClasses/ErrorReporting.h"
#include "model/redundant_flash_studyRangeStudy.h"
#include "random/Distributions.h"

namespace {

// 1/512 as the model writes it: a single-precision constant.
const float kPerMegabyte = 0.001953125f;

const double kWatchdogDelay = 0.00347;
const double kBitErrorRate = 6.012;
const double kPageErrorRate = 2.95e-6;

// (place index, activity index) pairs, in the order the arcs are added; the
// order fixes the order of the framework's lists.
const int kAffectArcs[20] = {3, 0, 1, 1, 2, 1, 2, 2, 1, 3, 1, 4, 2, 4, 1, 5, 1, 6, 2, 6};
const int kEnableArcs[18] = {0, 0, 2, 0, 3, 0, 2, 1, 2, 2, 1, 3, 1, 4, 1, 5, 1, 6};

double* NewParameters() {
  double* parameters = new (std::nothrow) double[1]();
  if (parameters == nullptr) MemoryAllocationError();
  return parameters;
}

}  // namespace

// ---------------------------------------------------------------- failure

ram_systemSAN::failureActivity::failureActivity()
    : flash_corrupted(nullptr),
      flash_corrupted_Mark(nullptr),
      ram_corrupted(nullptr),
      ram_corrupted_Mark(nullptr),
      system_failed(nullptr),
      system_failed_Mark(nullptr) {
  ActivityInitialize("failure", 4, INSTANTANEOUS, RACE_ENABLED, 1, 3, false);
}

ram_systemSAN::failureActivity::~failureActivity() {}

bool ram_systemSAN::failureActivity::Enabled() {
  previousEnabled = currentEnabled;
  currentEnabled =
      *flash_corrupted_Mark > 0 && *ram_corrupted_Mark > 0 && *system_failed_Mark == 0;
  return currentEnabled;
}

double ram_systemSAN::failureActivity::Weight() { return 1; }
double ram_systemSAN::failureActivity::Rate() { return 0; }
bool ram_systemSAN::failureActivity::ReactivationPredicate() { return false; }
bool ram_systemSAN::failureActivity::ReactivationFunction() { return false; }
double ram_systemSAN::failureActivity::SampleDistribution() { return 0; }
double* ram_systemSAN::failureActivity::ReturnDistributionParameters() { return nullptr; }

BaseActionClass* ram_systemSAN::failureActivity::Fire() {
  *system_failed_Mark = static_cast<short>(*system_failed_Mark + 1);
  return this;
}

int ram_systemSAN::failureActivity::Rank() { return 1; }

void ram_systemSAN::failureActivity::LinkVariables() {
  flash_corrupted->RegisterPointer(&flash_corrupted_Mark);
  ram_corrupted->RegisterPointer(&ram_corrupted_Mark);
  system_failed->RegisterPointer(&system_failed_Mark);
}

// -------------------------------------------------------- watchdog_reboot

ram_systemSAN::watchdog_rebootActivity::watchdog_rebootActivity()
    : ram_corrupted(nullptr),
      ram_corrupted_Mark(nullptr),
      ram_working(nullptr),
      ram_working_Mark(nullptr),
      TheDistributionParameters(NewParameters()) {
  ActivityInitialize("watchdog_reboot", 0, DETERMINISTIC, RACE_ENABLED, 2, 1, false);
}

ram_systemSAN::watchdog_rebootActivity::~watchdog_rebootActivity() {
  delete[] TheDistributionParameters;
}

bool ram_systemSAN::watchdog_rebootActivity::Enabled() {
  previousEnabled = currentEnabled;
  currentEnabled = *ram_corrupted_Mark > 0;
  return currentEnabled;
}

double ram_systemSAN::watchdog_rebootActivity::Weight() { return 1; }
double ram_systemSAN::watchdog_rebootActivity::Rate() { return 0; }
bool ram_systemSAN::watchdog_rebootActivity::ReactivationPredicate() { return false; }
bool ram_systemSAN::watchdog_rebootActivity::ReactivationFunction() { return false; }
double ram_systemSAN::watchdog_rebootActivity::SampleDistribution() { return kWatchdogDelay; }

double* ram_systemSAN::watchdog_rebootActivity::ReturnDistributionParameters() {
  TheDistributionParameters[0] = kWatchdogDelay;
  return TheDistributionParameters;
}

double ram_systemSAN::watchdog_rebootActivity::DeterministicParamValue() {
  return kWatchdogDelay;
}

BaseActionClass* ram_systemSAN::watchdog_rebootActivity::Fire() {
  *ram_working_Mark = 1;
  *ram_corrupted_Mark = 0;
  return this;
}

int ram_systemSAN::watchdog_rebootActivity::Rank() { return 1; }

void ram_systemSAN::watchdog_rebootActivity::LinkVariables() {
  ram_corrupted->RegisterPointer(&ram_corrupted_Mark);
  ram_working->RegisterPointer(&ram_working_Mark);
}

// --------------------------------------------------------- random_failure

ram_systemSAN::random_failureActivity::random_failureActivity()
    : ram_corrupted(nullptr), ram_corrupted_Mark(nullptr), TheDistributionParameters(NewParameters()) {
  ActivityInitialize("random_failure", 1, EXPONENTIAL, RACE_ENABLED, 1, 1, false);
}

ram_systemSAN::random_failureActivity::~random_failureActivity() {
  delete[] TheDistributionParameters;
}

bool ram_systemSAN::random_failureActivity::Enabled() {
  previousEnabled = currentEnabled;
  currentEnabled = *ram_corrupted_Mark == 0;
  return currentEnabled;
}

double ram_systemSAN::random_failureActivity::Weight() { return 1; }
double ram_systemSAN::random_failureActivity::Rate() {
  return static_cast<double>(random_failure_rate);
}
bool ram_systemSAN::random_failureActivity::ReactivationPredicate() { return false; }
bool ram_systemSAN::random_failureActivity::ReactivationFunction() { return false; }

double ram_systemSAN::random_failureActivity::SampleDistribution() {
  return TheDistribution->Exponential(static_cast<double>(random_failure_rate));
}

double* ram_systemSAN::random_failureActivity::ReturnDistributionParameters() {
  TheDistributionParameters[0] = Rate();
  return TheDistributionParameters;
}

BaseActionClass* ram_systemSAN::random_failureActivity::Fire() {
  *ram_corrupted_Mark = static_cast<short>(*ram_corrupted_Mark + 1);
  return this;
}

int ram_systemSAN::random_failureActivity::Rank() { return 1; }

void ram_systemSAN::random_failureActivity::LinkVariables() {
  ram_corrupted->RegisterPointer(&ram_corrupted_Mark);
}

// -------------------------------------------------------- bit_error_case1

ram_systemSAN::bit_errorActivity_case1::bit_errorActivity_case1()
    : ram_working(nullptr), ram_working_Mark(nullptr), TheDistributionParameters(NewParameters()) {
  ActivityInitialize("bit_error_case1", 2, EXPONENTIAL, RACE_ENABLED, 1, 1, false);
}

ram_systemSAN::bit_errorActivity_case1::~bit_errorActivity_case1() {
  delete[] TheDistributionParameters;
}

bool ram_systemSAN::bit_errorActivity_case1::Enabled() {
  previousEnabled = currentEnabled;
  currentEnabled = *ram_working_Mark > 0;
  return currentEnabled;
}

double ram_systemSAN::bit_errorActivity_case1::Weight() {
  return 1.0 - static_cast<double>(ram_size) * static_cast<double>(kPerMegabyte);
}

double ram_systemSAN::bit_errorActivity_case1::Rate() { return kBitErrorRate; }
bool ram_systemSAN::bit_errorActivity_case1::ReactivationPredicate() { return false; }
bool ram_systemSAN::bit_errorActivity_case1::ReactivationFunction() { return false; }

double ram_systemSAN::bit_errorActivity_case1::SampleDistribution() {
  return TheDistribution->Exponential(kBitErrorRate);
}

double* ram_systemSAN::bit_errorActivity_case1::ReturnDistributionParameters() {
  TheDistributionParameters[0] = Rate();
  return TheDistributionParameters;
}

BaseActionClass* ram_systemSAN::bit_errorActivity_case1::Fire() { return this; }

int ram_systemSAN::bit_errorActivity_case1::Rank() { return 1; }

void ram_systemSAN::bit_errorActivity_case1::LinkVariables() {
  ram_working->RegisterPointer(&ram_working_Mark);
}

// -------------------------------------------------------- bit_error_case2

ram_systemSAN::bit_errorActivity_case2::bit_errorActivity_case2()
    : ram_working(nullptr),
      ram_working_Mark(nullptr),
      ram_corrupted(nullptr),
      ram_corrupted_Mark(nullptr),
      TheDistributionParameters(NewParameters()) {
  ActivityInitialize("bit_error_case2", 2, EXPONENTIAL, RACE_ENABLED, 2, 1, false);
}

ram_systemSAN::bit_errorActivity_case2::~bit_errorActivity_case2() {
  delete[] TheDistributionParameters;
}

bool ram_systemSAN::bit_errorActivity_case2::Enabled() {
  previousEnabled = currentEnabled;
  currentEnabled = *ram_working_Mark > 0;
  return currentEnabled;
}

double ram_systemSAN::bit_errorActivity_case2::Weight() {
  return static_cast<double>(ram_size) * static_cast<double>(kPerMegabyte);
}

double ram_systemSAN::bit_errorActivity_case2::Rate() { return kBitErrorRate; }
bool ram_systemSAN::bit_errorActivity_case2::ReactivationPredicate() { return false; }
bool ram_systemSAN::bit_errorActivity_case2::ReactivationFunction() { return false; }

double ram_systemSAN::bit_errorActivity_case2::SampleDistribution() {
  return TheDistribution->Exponential(kBitErrorRate);
}

double* ram_systemSAN::bit_errorActivity_case2::ReturnDistributionParameters() {
  TheDistributionParameters[0] = Rate();
  return TheDistributionParameters;
}

BaseActionClass* ram_systemSAN::bit_errorActivity_case2::Fire() {
  *ram_working_Mark = static_cast<short>(*ram_working_Mark - 1);
  *ram_corrupted_Mark = static_cast<short>(*ram_corrupted_Mark + 1);
  return this;
}

int ram_systemSAN::bit_errorActivity_case2::Rank() { return 1; }

void ram_systemSAN::bit_errorActivity_case2::LinkVariables() {
  ram_working->RegisterPointer(&ram_working_Mark);
  ram_corrupted->RegisterPointer(&ram_corrupted_Mark);
}

// ------------------------------------------------------- page_error_case1

ram_systemSAN::page_errorActivity_case1::page_errorActivity_case1()
    : ram_working(nullptr), ram_working_Mark(nullptr), TheDistributionParameters(NewParameters()) {
  ActivityInitialize("page_error_case1", 3, EXPONENTIAL, RACE_ENABLED, 1, 1, false);
}

ram_systemSAN::page_errorActivity_case1::~page_errorActivity_case1() {
  delete[] TheDistributionParameters;
}

bool ram_systemSAN::page_errorActivity_case1::Enabled() {
  previousEnabled = currentEnabled;
  currentEnabled = *ram_working_Mark > 0;
  return currentEnabled;
}

double ram_systemSAN::page_errorActivity_case1::Weight() { return 0.75; }
double ram_systemSAN::page_errorActivity_case1::Rate() { return kPageErrorRate; }
bool ram_systemSAN::page_errorActivity_case1::ReactivationPredicate() { return false; }
bool ram_systemSAN::page_errorActivity_case1::ReactivationFunction() { return false; }

double ram_systemSAN::page_errorActivity_case1::SampleDistribution() {
  return TheDistribution->Exponential(kPageErrorRate);
}

double* ram_systemSAN::page_errorActivity_case1::ReturnDistributionParameters() {
  TheDistributionParameters[0] = Rate();
  return TheDistributionParameters;
}

BaseActionClass* ram_systemSAN::page_errorActivity_case1::Fire() { return this; }

int ram_systemSAN::page_errorActivity_case1::Rank() { return 1; }

void ram_systemSAN::page_errorActivity_case1::LinkVariables() {
  ram_working->RegisterPointer(&ram_working_Mark);
}

// ------------------------------------------------------- page_error_case2

ram_systemSAN::page_errorActivity_case2::page_errorActivity_case2()
    : ram_working(nullptr),
      ram_working_Mark(nullptr),
      ram_corrupted(nullptr),
      ram_corrupted_Mark(nullptr),
      TheDistributionParameters(NewParameters()) {
  ActivityInitialize("page_error_case2", 3, EXPONENTIAL, RACE_ENABLED, 2, 1, false);
}

ram_systemSAN::page_errorActivity_case2::~page_errorActivity_case2() {
  delete[] TheDistributionParameters;
}

bool ram_systemSAN::page_errorActivity_case2::Enabled() {
  previousEnabled = currentEnabled;
  currentEnabled = *ram_working_Mark > 0;
  return currentEnabled;
}

double ram_systemSAN::page_errorActivity_case2::Weight() { return 0.25; }
double ram_systemSAN::page_errorActivity_case2::Rate() { return kPageErrorRate; }
bool ram_systemSAN::page_errorActivity_case2::ReactivationPredicate() { return false; }
bool ram_systemSAN::page_errorActivity_case2::ReactivationFunction() { return false; }

double ram_systemSAN::page_errorActivity_case2::SampleDistribution() {
  return TheDistribution->Exponential(kPageErrorRate);
}

double* ram_systemSAN::page_errorActivity_case2::ReturnDistributionParameters() {
  TheDistributionParameters[0] = Rate();
  return TheDistributionParameters;
}

BaseActionClass* ram_systemSAN::page_errorActivity_case2::Fire() {
  *ram_working_Mark = static_cast<short>(*ram_working_Mark - 1);
  *ram_corrupted_Mark = static_cast<short>(*ram_corrupted_Mark + 1);
  return this;
}

int ram_systemSAN::page_errorActivity_case2::Rank() { return 1; }

void ram_systemSAN::page_errorActivity_case2::LinkVariables() {
  ram_working->RegisterPointer(&ram_working_Mark);
  ram_corrupted->RegisterPointer(&ram_corrupted_Mark);
}

// ------------------------------------------------------------------ model

ram_systemSAN::ram_systemSAN() {
  // The activities (and their action ids) were made by the member
  // initialisers, in index order, before the groups.
  Activity* activityList[7] = {&failure,         &watchdog_reboot,  &random_failure,
                               &bit_error_case1, &bit_error_case2,  &page_error_case1,
                               &page_error_case2};

  bit_errorGroup.initialize(2, "bit_errorGroup");
  bit_errorGroup.appendGroup(&bit_error_case1);
  bit_errorGroup.appendGroup(&bit_error_case2);
  page_errorGroup.initialize(2, "page_errorGroup");
  page_errorGroup.appendGroup(&page_error_case1);
  page_errorGroup.appendGroup(&page_error_case2);
  BaseGroupClass* groupList[5] = {&watchdog_reboot, &random_failure, &bit_errorGroup,
                                  &page_errorGroup, &failure};

  flash_corrupted = new Place("flash_corrupted", 0);
  ram_working = new Place("ram_working", 1);
  ram_corrupted = new Place("ram_corrupted", 0);
  system_failed = new Place("system_failed", 0);
  placeList[0] = flash_corrupted;
  placeList[1] = ram_working;
  placeList[2] = ram_corrupted;
  placeList[3] = system_failed;

  initializeSANModelNow("ram_system", 4, placeList, 0, nullptr, 7, activityList, 5, groupList);
  // Every gate and arc reads places and global variables only.
  enablingReadsOnlyPlaces = true;

  assignPlacesToActivitiesInst();
  assignPlacesToActivitiesTimed();

  for (int i = 0; i < 20; i += 2) AddAffectArc(places[kAffectArcs[i]], activityList[kAffectArcs[i + 1]]);
  for (int i = 0; i < 18; i += 2) AddEnableArc(places[kEnableArcs[i]], activityList[kEnableArcs[i + 1]]);

  for (Activity* activity : activityList) activity->LinkVariables();
}

ram_systemSAN::~ram_systemSAN() {
  // The places go first; the groups and then the activities (members) follow
  // in reverse order of declaration, then the SANModel part.
  for (int i = 0; i < numStateVariables - numReadOnlyPlaces; i++) delete places[i];
}

void ram_systemSAN::CustomInitialization() {}

void ram_systemSAN::assignPlacesToActivitiesInst() {
  failure.flash_corrupted = static_cast<Place*>(places[0]);
  failure.ram_corrupted = static_cast<Place*>(places[2]);
  failure.system_failed = static_cast<Place*>(places[3]);
}

void ram_systemSAN::assignPlacesToActivitiesTimed() {
  watchdog_reboot.ram_corrupted = static_cast<Place*>(places[2]);
  watchdog_reboot.ram_working = static_cast<Place*>(places[1]);
  random_failure.ram_corrupted = static_cast<Place*>(places[2]);
  bit_error_case1.ram_working = static_cast<Place*>(places[1]);
  bit_error_case2.ram_working = static_cast<Place*>(places[1]);
  bit_error_case2.ram_corrupted = static_cast<Place*>(places[2]);
  page_error_case1.ram_working = static_cast<Place*>(places[1]);
  page_error_case2.ram_working = static_cast<Place*>(places[1]);
  page_error_case2.ram_corrupted = static_cast<Place*>(places[2]);
}
