#ifndef REDUNDANT_FLASH_STUDY_RANGE_STUDY_H
#define REDUNDANT_FLASH_STUDY_RANGE_STUDY_H

#include "Cpp/BaseClasses/BaseStudyClass.h"

class PVModel;

// The model's global variables. They hold 0 until a study sets them; the
// model's expressions read them directly, some at construction (the initial
// marking of replicas_available), the others at every evaluation.
extern float flash_size;
extern short num_replicas;
extern float power_cycle_rate;
extern float ram_size;
extern float random_failure_rate;

// The study of this program: 36 experiments over the five global variables.
// Experiment k (0 .. 35) sets num_replicas = (k mod 4) + 1 and
// power_cycle_rate = 2^(k div 4) / 32; flash_size 64, ram_size 128 and
// random_failure_rate 0.005 are the same in every experiment.
//
// Ownership: the study owns its five value arrays and the reward model that
// GetPVModel built last (and through it the whole model).
class redundant_flash_studyRangeStudy : public BaseStudyClass {
 public:
  redundant_flash_studyRangeStudy();
  ~redundant_flash_studyRangeStudy() override;

  // Deletes the reward model of an earlier call, then builds a new one (and
  // with it the whole model) from the global values now in force. Values the
  // model cannot take and that its run might not refuse (num_replicas below
  // 1, random_failure_rate -inf, a power_cycle_rate that is negative or not
  // a number, a flash_size that puts the upset's case weights outside 0 to
  // 1) end the process with status 1 and a "FATAL ERROR: Global variable
  // ..." line on standard error.
  PVModel* GetPVModel(bool expandTimePoints) override;
  // Copies the experiment's values into the globals, in declaration order.
  // An experiment outside 0 .. GetNumExps() - 1 leaves every global unchanged
  // and is reported on standard error.
  void SetGVs(int experiment) override;
  // SetGVs(experiment), then lists the globals on standard output. An
  // experiment that SetGVs refuses lists nothing.
  void PrintGlobalValues(int experiment) override;
  // The address of the named global, or null (reported on standard error)
  // when the name is none of the five. Names match exactly.
  void* GetGVValue(char* name) override;
  // Copies a value of the named global's own type (short for num_replicas,
  // float otherwise) from value. An unknown name, or a null value, is
  // reported on standard error and changes nothing.
  void OverrideGVValue(char* name, void* value) override;

  // Fill one value array each, by the experiment rule above.
  void SetValues_flash_size();
  void SetValues_num_replicas();
  void SetValues_power_cycle_rate();
  void SetValues_ram_size();
  void SetValues_random_failure_rate();

  // ---- Per-experiment values, one entry per experiment. ----
  float* flash_sizeValues;
  short* num_replicasValues;
  float* power_cycle_rateValues;
  float* ram_sizeValues;
  float* random_failure_rateValues;
};

// The one study of the process: null until GenerateStudy and after
// DestructStudy.
extern BaseStudyClass* GlobalStudyPtr;

// Returns the study, creating it on the first call.
BaseStudyClass* GenerateStudy();
// Deletes the study (and its reward model and model), if any.
void DestructStudy();

#endif
