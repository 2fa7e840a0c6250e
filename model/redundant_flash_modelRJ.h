#ifndef REDUNDANT_FLASH_MODEL_RJ_H
#define REDUNDANT_FLASH_MODEL_RJ_H

#include "Cpp/BaseClasses/state/Place.h"
#include "Cpp/Composer/Join.h"
#include "model/ram_systemSAN.h"
#include "model/redundant_flash_systemSAN.h"

// Names of the Join's shared state variables, in shared-name order.
extern const char* redundant_flash_modelRJ__SharedNames[1];

// The whole model: the RAM system (child 0, "ram_system") beside the
// redundant flash (child 1, "redundant_flash_system"), whose flash_corrupted
// places are one variable: the Join's own place flash_corrupted is the main
// variable, so the flash model writes the marking that the RAM model reads.
//
// Ownership: the Join owns both children and its joint place.
class redundant_flash_modelRJ : public Join {
 public:
  redundant_flash_modelRJ();
  ~redundant_flash_modelRJ() override;

  ram_systemSAN* ram_system;
  redundant_flash_systemSAN* redundant_flash_system;
  // Null when no child has state variables (nothing is shared then).
  Place* flash_corrupted;
};

#endif
