#include "Cpp/BaseClasses/BaseActionClass.h"

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <new>

#include "Cpp/BaseClasses/ErrorReporting.h"
#include "Cpp/BaseClasses/state/BaseStateVariableClass.h"

int BaseActionClass::MaxID = 0;

namespace {

char* CopyName(const char* s) {
  if (s == nullptr) s = "";
  size_t n = std::strlen(s) + 1;
  char* copy = new (std::nothrow) char[n];
  if (copy == nullptr) MemoryAllocationError();
  std::memcpy(copy, s, n);
  return copy;
}

}  // namespace

BaseActionClass::BaseActionClass()
    : groupId(0),
      executionPolicy(RACE_ENABLED),
      disabled(true),
      reactivation(false),
      name(CopyName("default")),
      actionAffects(nullptr),
      fired(false),
      distributionType(EXPONENTIAL),
      eventInfo(nullptr),
      parentModel(nullptr),
      pvImpulseSets(nullptr),
      pvImpulseTables(nullptr),
      pvImpulseCounts(nullptr),
      pvRateSets(nullptr),
      completedNodes(0),
      phase(1),
      id(MaxID++),
      affectedSVs(10),
      enablingSVs(10) {}

BaseActionClass::BaseActionClass(const char* n, int g, Distribution d, ExecutionPolicyType p,
                                 int affectedCount, int enablingCount, bool r)
    : BaseActionClass() {
  BaseActionClassInitialize(n, g, d, p, affectedCount, enablingCount, r);
}

// The reward model normally releases the reward data first; whatever is
// still allocated here is released so that no action leaks it.
BaseActionClass::~BaseActionClass() {
  delete[] name;
  name = nullptr;
  DeallocatePVRateDS();
  DeallocatePVImpulseDS();
}

bool BaseActionClass::isSync() { return false; }
bool BaseActionClass::Enabled() { return false; }
double BaseActionClass::Weight() { return 0.0; }
double BaseActionClass::Rate() { return 0.0; }
bool BaseActionClass::ReactivationPredicate() { return false; }
bool BaseActionClass::ReactivationFunction() { return false; }
double BaseActionClass::SampleDistribution() { return 0.0; }
double* BaseActionClass::ReturnDistributionParameters() { return nullptr; }
void BaseActionClass::SetFired(int f) { fired = (f != 0); }
BaseActionClass* BaseActionClass::Fire() { return nullptr; }
int BaseActionClass::Rank() { return 0; }
bool BaseActionClass::EnablingChange() { return false; }
bool BaseActionClass::IsAMember(BaseActionClass* a) { return a == this; }
double BaseActionClass::Probability(BaseActionClass*) { return 1.0; }

void BaseActionClass::printAffectedState(std::ostream* s) {
  for (int i = 0; i < affectedSVs.getNumItems(); i++) affectedSVs[i]->printState(s);
}

void BaseActionClass::printEnablingState(std::ostream* s) {
  for (int i = 0; i < enablingSVs.getNumItems(); i++) enablingSVs[i]->printState(s);
}

BaseActionClass* BaseActionClass::getPrintedAction() { return this; }
double BaseActionClass::ErlangParamM() { return 1.0; }

void BaseActionClass::BaseActionClassInitialize(const char* n, int g, Distribution d,
                                                ExecutionPolicyType p, int, int, bool r) {
  defineName(n);
  reactivation = r;
  groupId = g;
  distributionType = d;
  executionPolicy = p;
}

void BaseActionClass::defineName(const char* newName) {
  char* copy = CopyName(newName);
  delete[] name;
  name = copy;
}

void BaseActionClass::addEnablingSV(BaseStateVariableClass* v) {
  if (v->isLeafNode()) {
    enablingSVs.append(v);
  } else {
    v->addSelfAsEnablingSVToAction(this);
  }
}

void BaseActionClass::addAffectedSV(BaseStateVariableClass* v) {
  if (v->isLeafNode()) {
    affectedSVs.append(v);
  } else {
    v->addSelfAsAffectedSVToAction(this);
  }
}

void BaseActionClass::removeEnablingSV(BaseStateVariableClass* v) {
  if (v->isLeafNode()) {
    enablingSVs.remove(v);
  } else {
    v->removeSelfFromEnablingSVOfAction(this);
  }
}

void BaseActionClass::removeAffectedSV(BaseStateVariableClass* v) {
  if (v->isLeafNode()) {
    affectedSVs.remove(v);
  } else {
    v->removeSelfFromAffectedSVOfAction(this);
  }
}

void BaseActionClass::AllocatePVRateDS(int n) {
  FastSet* sets = new (std::nothrow) FastSet[n > 0 ? n : 1];
  if (sets == nullptr) {
    std::cerr << "!! Memory allocation error in BaseActionClass::AllocatePVRateDS()" << std::endl;
    std::exit(1);
  }
  DeallocatePVRateDS();
  pvRateSets = sets;
}

void BaseActionClass::AllocatePVImpulseDS(int n) {
  int slots = n > 0 ? n : 1;
  FastSet* sets = new (std::nothrow) FastSet[slots];
  int*** tables = new (std::nothrow) int**[slots]();
  int** counts = new (std::nothrow) int*[slots]();
  if (sets == nullptr || tables == nullptr || counts == nullptr) {
    std::cerr << "!! Memory allocation error in BaseActionClass::AllocatePVImpulseDS()"
              << std::endl;
    std::exit(1);
  }
  DeallocatePVImpulseDS();
  pvImpulseSets = sets;
  pvImpulseTables = tables;
  pvImpulseCounts = counts;
}

void BaseActionClass::DeallocatePVRateDS() {
  delete[] pvRateSets;
  pvRateSets = nullptr;
}

void BaseActionClass::DeallocatePVImpulseDS() {
  delete[] pvImpulseSets;
  delete[] pvImpulseTables;
  delete[] pvImpulseCounts;
  pvImpulseSets = nullptr;
  pvImpulseTables = nullptr;
  pvImpulseCounts = nullptr;
}

void BaseActionClass::PrintInfo() {
  std::cout << "********* " << name << "**********" << std::endl;
  std::cout << std::endl;
  std::cout << "Enabled by:" << std::endl;
  for (int i = 0; i < enablingSVs.getNumItems(); i++) {
    std::cout << "           " << enablingSVs[i]->name << std::endl;
  }
  std::cout << "Affects:" << std::endl;
  for (int i = 0; i < affectedSVs.getNumItems(); i++) {
    std::cout << "           " << affectedSVs[i]->name << std::endl;
  }
  std::cout << "Group ID = " << groupId << std::endl;
  std::cout << "Execution Policy = " << executionPolicy << std::endl;
  std::cout << "Disabled = " << disabled << std::endl;
  std::cout << "Reactivation = " << reactivation << std::endl;
  std::cout << "DistributionType = " << distributionType << std::endl;
}
