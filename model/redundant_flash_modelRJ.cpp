#include "model/redundant_flash_modelRJ.h"

const char* redundant_flash_modelRJ__SharedNames[1] = {"flash_corrupted"};

redundant_flash_modelRJ::redundant_flash_modelRJ()
    : Join("Join", 2, 1, redundant_flash_modelRJ__SharedNames),
      ram_system(nullptr),
      redundant_flash_system(nullptr),
      flash_corrupted(nullptr) {
  ram_system = new ram_systemSAN();
  children[0] = ram_system;
  ram_system->DefineName("ram_system");
  redundant_flash_system = new redundant_flash_systemSAN();
  children[1] = redundant_flash_system;
  redundant_flash_system->DefineName("redundant_flash_system");

  SetupActions();

  if (AllChildrenEmpty()) {
    NumSharedStateVariables = 0;
  } else {
    // Sharing a child's place with the Join's own place makes the Join's
    // place the main variable: the shared marking lives in the Join's image.
    flash_corrupted = new Place("flash_corrupted");
    addSharedPtr(flash_corrupted, "flash_corrupted");
    if (ram_system->numStateVariables > 0) {
      flash_corrupted->ShareWith(ram_system->flash_corrupted);
      addSharingInfo(ram_system->flash_corrupted, flash_corrupted, ram_system);
    }
    if (redundant_flash_system->numStateVariables > 0) {
      flash_corrupted->ShareWith(redundant_flash_system->flash_corrupted);
      addSharingInfo(redundant_flash_system->flash_corrupted, flash_corrupted,
                     redundant_flash_system);
    }
  }

  Setup();
}

redundant_flash_modelRJ::~redundant_flash_modelRJ() {
  // Null when nothing was shared.
  delete flash_corrupted;
  delete ram_system;
  delete redundant_flash_system;
}
