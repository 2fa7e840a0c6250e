#ifndef RAM_SYSTEM_SAN_H
#define RAM_SYSTEM_SAN_H

#include "Cpp/BaseClasses/Activity.h"
#include "Cpp/BaseClasses/PostselectGroup.h"
#include "Cpp/BaseClasses/SANModel.h"
#include "Cpp/BaseClasses/state/Place.h"

// The RAM system: a RAM that works, is corrupted by bit and page errors or by
// random failures, is repaired by a watchdog reboot, and makes the system
// fail when it is corrupted while the (shared) flash is corrupted.
//
// Places, in index order: 0 flash_corrupted (0), 1 ram_working (1),
// 2 ram_corrupted (0), 3 system_failed (0).
// Activities, in index order: failure, watchdog_reboot, random_failure,
// bit_error_case1, bit_error_case2, page_error_case1, page_error_case2.
// Groups handed to the framework: watchdog_reboot, random_failure,
// bit_errorGroup, page_errorGroup, failure.
//
// Ownership: the model owns its places (created on the heap, deleted through
// the state-variable array), its activities and its two case groups (members).
// Each activity reads and writes markings through its linked pointers, which
// the places keep pointing at their (possibly shared) storage.
class ram_systemSAN : public SANModel {
 public:
  // Instantaneous: enabled when flash_corrupted > 0, ram_corrupted > 0 and
  // system_failed = 0; sets system_failed to 1 by adding a token.
  class failureActivity : public Activity {
   public:
    failureActivity();
    ~failureActivity() override;
    bool Enabled() override;
    double Weight() override;
    double Rate() override;
    bool ReactivationPredicate() override;
    bool ReactivationFunction() override;
    double SampleDistribution() override;
    double* ReturnDistributionParameters() override;
    BaseActionClass* Fire() override;
    int Rank() override;
    void LinkVariables() override;

    Place* flash_corrupted;
    short* flash_corrupted_Mark;
    Place* ram_corrupted;
    short* ram_corrupted_Mark;
    Place* system_failed;
    short* system_failed_Mark;
  };

  // Deterministic delay 0.00347: repairs a corrupted RAM.
  class watchdog_rebootActivity : public Activity {
   public:
    watchdog_rebootActivity();
    ~watchdog_rebootActivity() override;
    bool Enabled() override;
    double Weight() override;
    double Rate() override;
    bool ReactivationPredicate() override;
    bool ReactivationFunction() override;
    double SampleDistribution() override;
    double* ReturnDistributionParameters() override;
    BaseActionClass* Fire() override;
    int Rank() override;
    void LinkVariables() override;
    double DeterministicParamValue();

    Place* ram_corrupted;
    short* ram_corrupted_Mark;
    Place* ram_working;
    short* ram_working_Mark;
    double* TheDistributionParameters;
  };

  // Exponential with rate random_failure_rate, enabled while the RAM is not
  // corrupted.
  class random_failureActivity : public Activity {
   public:
    random_failureActivity();
    ~random_failureActivity() override;
    bool Enabled() override;
    double Weight() override;
    double Rate() override;
    bool ReactivationPredicate() override;
    bool ReactivationFunction() override;
    double SampleDistribution() override;
    double* ReturnDistributionParameters() override;
    BaseActionClass* Fire() override;
    int Rank() override;
    void LinkVariables() override;

    Place* ram_corrupted;
    short* ram_corrupted_Mark;
    double* TheDistributionParameters;
  };

  // Case 1 of bit_error (exponential 6.012): the error is harmless; weight
  // 1 - ram_size / 512.
  class bit_errorActivity_case1 : public Activity {
   public:
    bit_errorActivity_case1();
    ~bit_errorActivity_case1() override;
    bool Enabled() override;
    double Weight() override;
    double Rate() override;
    bool ReactivationPredicate() override;
    bool ReactivationFunction() override;
    double SampleDistribution() override;
    double* ReturnDistributionParameters() override;
    BaseActionClass* Fire() override;
    int Rank() override;
    void LinkVariables() override;

    Place* ram_working;
    short* ram_working_Mark;
    double* TheDistributionParameters;
  };

  // Case 2 of bit_error: the RAM is corrupted; weight ram_size / 512.
  class bit_errorActivity_case2 : public Activity {
   public:
    bit_errorActivity_case2();
    ~bit_errorActivity_case2() override;
    bool Enabled() override;
    double Weight() override;
    double Rate() override;
    bool ReactivationPredicate() override;
    bool ReactivationFunction() override;
    double SampleDistribution() override;
    double* ReturnDistributionParameters() override;
    BaseActionClass* Fire() override;
    int Rank() override;
    void LinkVariables() override;

    Place* ram_working;
    short* ram_working_Mark;
    Place* ram_corrupted;
    short* ram_corrupted_Mark;
    double* TheDistributionParameters;
  };

  // Case 1 of page_error (exponential 2.95e-6): harmless, weight 0.75.
  class page_errorActivity_case1 : public Activity {
   public:
    page_errorActivity_case1();
    ~page_errorActivity_case1() override;
    bool Enabled() override;
    double Weight() override;
    double Rate() override;
    bool ReactivationPredicate() override;
    bool ReactivationFunction() override;
    double SampleDistribution() override;
    double* ReturnDistributionParameters() override;
    BaseActionClass* Fire() override;
    int Rank() override;
    void LinkVariables() override;

    Place* ram_working;
    short* ram_working_Mark;
    double* TheDistributionParameters;
  };

  // Case 2 of page_error: the RAM is corrupted; weight 0.25.
  class page_errorActivity_case2 : public Activity {
   public:
    page_errorActivity_case2();
    ~page_errorActivity_case2() override;
    bool Enabled() override;
    double Weight() override;
    double Rate() override;
    bool ReactivationPredicate() override;
    bool ReactivationFunction() override;
    double SampleDistribution() override;
    double* ReturnDistributionParameters() override;
    BaseActionClass* Fire() override;
    int Rank() override;
    void LinkVariables() override;

    Place* ram_working;
    short* ram_working_Mark;
    Place* ram_corrupted;
    short* ram_corrupted_Mark;
    double* TheDistributionParameters;
  };

  ram_systemSAN();
  ~ram_systemSAN() override;

  void CustomInitialization();
  // Point the instantaneous (failure), respectively the timed activities at
  // their places, taken from the state-variable array by index.
  void assignPlacesToActivitiesInst();
  void assignPlacesToActivitiesTimed();

  // ---- Places, in index order. ----
  Place* flash_corrupted;
  Place* ram_working;
  Place* ram_corrupted;
  Place* system_failed;
  // The places as the list handed to the framework.
  BaseStateVariableClass* placeList[4];

  // ---- Activities, in construction order, then the case groups. ----
  // Declared in this order so that members are destroyed groups first, then
  // the activities in reverse order of construction.
  failureActivity failure;
  watchdog_rebootActivity watchdog_reboot;
  random_failureActivity random_failure;
  bit_errorActivity_case1 bit_error_case1;
  bit_errorActivity_case2 bit_error_case2;
  page_errorActivity_case1 page_error_case1;
  page_errorActivity_case2 page_error_case2;
  PostselectGroup bit_errorGroup;
  PostselectGroup page_errorGroup;
};

#endif
