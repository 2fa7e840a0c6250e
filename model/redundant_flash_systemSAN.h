#ifndef REDUNDANT_FLASH_SYSTEM_SAN_H
#define REDUNDANT_FLASH_SYSTEM_SAN_H

#include "Cpp/BaseClasses/Activity.h"
#include "Cpp/BaseClasses/PostselectGroup.h"
#include "Cpp/BaseClasses/SANModel.h"
#include "Cpp/BaseClasses/state/Place.h"

// The redundant flash: num_replicas copies, destroyed one at a time by
// single-event upsets (seu) or all at once by a functional interrupt (sefi),
// and restored by a periodic power cycle. With no copy left the (shared)
// flash_corrupted place holds 1.
//
// Places, in index order: 0 flash_corrupted (0), 1 replicas_available
// (num_replicas when the model is built).
// Activities, in index order: seu_case1, seu_case2, sefi, power_cycle.
// Groups handed to the framework: seuGroup, sefi, power_cycle.
//
// Ownership: as for the RAM model, the model owns its places (heap), its
// activities and its case group (members).
class redundant_flash_systemSAN : public SANModel {
 public:
  // Case 1 of seu (exponential 1.5e-16): the upset hits a copy that is
  // rewritten at once; weight 1 - replicas_available * flash_size / 512.
  class seuActivity_case1 : public Activity {
   public:
    seuActivity_case1();
    ~seuActivity_case1() override;
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

    Place* replicas_available;
    short* replicas_available_Mark;
    double* TheDistributionParameters;
  };

  // Case 2 of seu: one copy is lost; the last one lost corrupts the flash.
  // Weight replicas_available * flash_size / 512.
  class seuActivity_case2 : public Activity {
   public:
    seuActivity_case2();
    ~seuActivity_case2() override;
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

    Place* replicas_available;
    short* replicas_available_Mark;
    Place* flash_corrupted;
    short* flash_corrupted_Mark;
    double* TheDistributionParameters;
  };

  // Exponential 0.00274: every copy is lost at once.
  class sefiActivity : public Activity {
   public:
    sefiActivity();
    ~sefiActivity() override;
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

    Place* replicas_available;
    short* replicas_available_Mark;
    Place* flash_corrupted;
    short* flash_corrupted_Mark;
    double* TheDistributionParameters;
  };

  // Deterministic, the delay being the current power_cycle_rate: restores
  // all num_replicas copies while one is missing.
  class power_cycleActivity : public Activity {
   public:
    power_cycleActivity();
    ~power_cycleActivity() override;
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

    Place* replicas_available;
    short* replicas_available_Mark;
    Place* flash_corrupted;
    short* flash_corrupted_Mark;
    double* TheDistributionParameters;
  };

  redundant_flash_systemSAN();
  ~redundant_flash_systemSAN() override;

  void CustomInitialization();
  void assignPlacesToActivitiesInst();
  // Points the activities at their places, taken from the state-variable
  // array by index.
  void assignPlacesToActivitiesTimed();

  // ---- Places, in index order. ----
  Place* flash_corrupted;
  Place* replicas_available;
  BaseStateVariableClass* placeList[2];

  // ---- Activities, in construction order, then the case group. ----
  seuActivity_case1 seu_case1;
  seuActivity_case2 seu_case2;
  sefiActivity sefi;
  power_cycleActivity power_cycle;
  PostselectGroup seuGroup;
};

#endif
