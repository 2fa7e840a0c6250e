#include "bench/BaselineSimulator.h"

#include <cstdio>
#include <cstring>

#include "random/Distributions.h"
#include "random/MersenneTwister.h"
#include "random/Tausworthe.h"

namespace {

// The fixed global variables of every experiment, in single precision as
// the model declares them.
const float kFlashSize = 64.0f;
const float kRamSize = 128.0f;
const float kRandomFailureRate = 0.005f;
const float kPerMegabyte = 0.001953125f;  // 1/512

const double kWatchdogDelay = 0.00347;
const double kBitErrorRate = 6.012;
const double kPageErrorRate = 2.95e-6;
const double kSeuRate = 1.5e-16;
const double kSefiRate = 0.00274;

// The time points of `reliability`; the last one ends a replication.
const int kNumTimePoints = 3;
const double kTimePoints[kNumTimePoints] = {30.0, 180.0, 365.0};
const double kEndTime = 365.0;

// The groups a firing can touch: the firing activity's own group and every
// group with an activity whose enabling reads a place the firing writes,
// in the order the simulator looks at them (the reverse of the order of
// discovery along the model's arcs). Terminated by -1.
const int kTouched[11][6] = {
    /* failure          */ {4, -1},
    /* watchdog_reboot  */ {1, 4, 3, 2, 0, -1},
    /* random_failure   */ {0, 4, 1, -1},
    /* bit_error_case1  */ {3, 2, -1},
    /* bit_error_case2  */ {1, 0, 4, 3, 2, -1},
    /* page_error_case1 */ {2, 3, -1},
    /* page_error_case2 */ {1, 0, 4, 2, 3, -1},
    /* seu_case1        */ {7, 6, 5, -1},
    /* seu_case2        */ {4, 7, 6, 5, -1},
    /* sefi             */ {4, 7, 5, 6, -1},
    /* power_cycle      */ {4, 6, 5, 7, -1},
};

// Case choice of a two-case group: one uniform u is drawn before the
// weights are looked at; case 1 fires when u times the total weight falls
// below case 1's weight.
bool FirstCase(double u, double weight1, double weight2) {
  const double total = weight2 + weight1;
  return total * u < weight1;
}

// "%.10f" without trailing zeros, one digit kept after the point.
void FormatValue(double value, char* text, size_t size) {
  std::snprintf(text, size, "%.10f", value);
  size_t length = std::strlen(text);
  const char* point = std::strchr(text, '.');
  if (point == nullptr) return;
  const size_t keep = static_cast<size_t>(point - text) + 2;
  while (length > keep && text[length - 1] == '0') length--;
  text[length] = '\0';
}

}  // namespace

BaselineSimulator::BaselineSimulator(const Settings& settings) : settings_(settings) {
  numReplicas_ = static_cast<short>(settings.experiment % 4 + 1);
  powerCycleRate_ = static_cast<float>(1 << (settings.experiment / 4)) / 32.0f;
  if (settings.generator == 1 || settings.generator == 2) {
    delete TheDistribution->generator;
    TheDistribution->generator = settings.generator == 1
                                     ? static_cast<RandomNumberGenerator*>(new Tausworthe())
                                     : new MersenneTwister();
  }
  TheDistribution->generator->srnd(settings.seed == 0 ? 31415 : settings.seed);
  for (int g = 0; g < kNumGroups; g++) slotOf_[g] = -1;
  observations_ = new double[static_cast<size_t>(kNumTimePoints) * settings.reportSize];
}

BaselineSimulator::~BaselineSimulator() { delete[] observations_; }

bool BaselineSimulator::Enabled(int group) const {
  switch (group) {
    case kWatchdogReboot:
      return ramCorrupted_ > 0;
    case kRandomFailure:
      return ramCorrupted_ == 0;
    case kBitError:
    case kPageError:
      return ramWorking_ > 0;
    case kFailure:
      return flashCorrupted_ > 0 && ramCorrupted_ > 0 && systemFailed_ == 0;
    case kSeu:
    case kSefi:
      return replicasAvailable_ > 0;
    default:
      return replicasAvailable_ < numReplicas_;
  }
}

double BaselineSimulator::Delay(int group) {
  switch (group) {
    case kWatchdogReboot:
      return kWatchdogDelay;
    case kRandomFailure:
      return TheDistribution->Exponential(static_cast<double>(kRandomFailureRate));
    case kBitError:
      return TheDistribution->Exponential(kBitErrorRate);
    case kPageError:
      return TheDistribution->Exponential(kPageErrorRate);
    case kFailure:
      return 0.0;
    case kSeu:
      return TheDistribution->Exponential(kSeuRate);
    case kSefi:
      return TheDistribution->Exponential(kSefiRate);
    default:
      return static_cast<double>(powerCycleRate_);
  }
}

int BaselineSimulator::Fire(int group) {
  switch (group) {
    case kWatchdogReboot:
      ramWorking_ = 1;
      ramCorrupted_ = 0;
      return kFiredWatchdogReboot;
    case kRandomFailure:
      ramCorrupted_++;
      return kFiredRandomFailure;
    case kBitError:
    case kPageError: {
      const double u = TheDistribution->generator->rnd();
      const double corrupting =
          group == kBitError ? static_cast<double>(kRamSize) * static_cast<double>(kPerMegabyte)
                             : 0.25;
      const double harmless = group == kBitError ? 1.0 - corrupting : 0.75;
      if (FirstCase(u, harmless, corrupting)) {
        return group == kBitError ? kFiredBitError1 : kFiredPageError1;
      }
      ramWorking_--;
      ramCorrupted_++;
      return group == kBitError ? kFiredBitError2 : kFiredPageError2;
    }
    case kFailure:
      systemFailed_++;
      failureTime_ = now_;
      return kFiredFailure;
    case kSeu: {
      const double u = TheDistribution->generator->rnd();
      const double upset = static_cast<double>(replicasAvailable_) *
                           static_cast<double>(kFlashSize) * static_cast<double>(kPerMegabyte);
      if (FirstCase(u, 1.0 - upset, upset)) return kFiredSeu1;
      replicasAvailable_--;
      if (replicasAvailable_ == 0) flashCorrupted_ = 1;
      return kFiredSeu2;
    }
    case kSefi:
      replicasAvailable_ = 0;
      flashCorrupted_ = 1;
      return kFiredSefi;
    default:
      replicasAvailable_ = numReplicas_;
      flashCorrupted_ = 0;
      return kFiredPowerCycle;
  }
}

// ---- Event list. ----

void BaselineSimulator::HeapPlace(int slot, int group) {
  heap_[slot] = group;
  slotOf_[group] = slot;
}

int BaselineSimulator::SiftUp(int slot) {
  const int moving = heap_[slot];
  while (slot > 0) {
    const int parent = (slot - 1) / 2;
    if (!(time_[heap_[parent]] > time_[moving])) break;
    HeapPlace(slot, heap_[parent]);
    slot = parent;
  }
  HeapPlace(slot, moving);
  return slot;
}

int BaselineSimulator::SiftDown(int slot) {
  const int moving = heap_[slot];
  for (;;) {
    const int left = 2 * slot + 1;
    if (left >= heapSize_) break;
    int child = left;
    if (left + 1 < heapSize_ && time_[heap_[left]] > time_[heap_[left + 1]]) child = left + 1;
    if (!(time_[moving] > time_[heap_[child]])) break;
    HeapPlace(slot, heap_[child]);
    slot = child;
  }
  HeapPlace(slot, moving);
  return slot;
}

void BaselineSimulator::HeapInsert(int group) {
  HeapPlace(heapSize_, group);
  heapSize_++;
  SiftUp(heapSize_ - 1);
}

void BaselineSimulator::HeapRemoveSlot(int slot) {
  slotOf_[heap_[slot]] = -1;
  const int last = --heapSize_;
  if (slot == last) return;
  HeapPlace(slot, heap_[last]);
  if (SiftUp(slot) == slot) SiftDown(slot);
}

void BaselineSimulator::CollectTies(int slot) {
  ties_[numTies_++] = slot;
  for (int child = 2 * slot + 1; child <= 2 * slot + 2 && child < heapSize_; child++) {
    if (time_[heap_[child]] == time_[heap_[slot]]) CollectTies(child);
  }
}

int BaselineSimulator::EarliestSlot() {
  if (heapSize_ == 0) return -1;
  numTies_ = 0;
  CollectTies(0);
  if (numTies_ == 1) return 0;
  // Equal weights: the k-th tie (in the walk's order) takes the k-th share.
  const double target = numTies_ * TheDistribution->generator->rnd();
  for (int k = 0; k < numTies_; k++) {
    if (k + 1.0 > target) return ties_[k];
  }
  return ties_[numTies_ - 1];
}

// ---- Stepping. ----

void BaselineSimulator::Schedule(int group) {
  time_[group] = Delay(group) + now_;
  HeapInsert(group);
}

bool BaselineSimulator::Step() {
  int slot = EarliestSlot();
  if (slot < 0) return false;
  const int group = heap_[slot];
  now_ = time_[group];
  if (now_ > kEndTime) return false;
  HeapRemoveSlot(slot);
  const int fired = Fire(group);
  fired_++;
  const int* touched = kTouched[fired];
  for (const int* g = touched; *g >= 0; g++) {
    if (slotOf_[*g] >= 0 && !Enabled(*g)) HeapRemoveSlot(slotOf_[*g]);
  }
  for (const int* g = touched; *g >= 0; g++) {
    if (slotOf_[*g] < 0 && Enabled(*g)) Schedule(*g);
  }
  return true;
}

void BaselineSimulator::RunReplication() {
  while (heapSize_ > 0) HeapRemoveSlot(heapSize_ - 1);
  flashCorrupted_ = 0;
  ramWorking_ = 1;
  ramCorrupted_ = 0;
  systemFailed_ = 0;
  replicasAvailable_ = numReplicas_;
  now_ = 0.0;
  failureTime_ = -1.0;
  for (int g = 0; g < kNumGroups; g++) {
    if (Enabled(g)) Schedule(g);
  }
  while (Step()) {
  }
}

void BaselineSimulator::HandOver(std::ostream* ascii, int count) {
  if (ascii == nullptr) return;
  char text[400];
  for (int v = 0; v < kNumTimePoints; v++) {
    for (int k = 0; k < count; k++) {
      FormatValue(observations_[v * settings_.reportSize + k], text, sizeof(text));
      *ascii << v << "," << text << "\n";
    }
  }
}

int64_t BaselineSimulator::Run(std::ostream* ascii) {
  if (ascii != nullptr) {
    *ascii << "#KORVAN_SIM_ASCII_FILE,KORVAN_VER=Version 2.4,FILE_VER=1,EXPERIMENTS="
           << settings_.experiment << "\n#FORMAT: (PV ID Number),(PV Value)\n";
  }
  int count = 0;
  for (int64_t r = 1; r <= settings_.replications; r++) {
    RunReplication();
    // The marking of system_failed in force at each time point: the failure
    // activity fires at most once.
    for (int v = 0; v < kNumTimePoints; v++) {
      const bool failed = failureTime_ >= 0.0 && failureTime_ <= kTimePoints[v];
      observations_[v * settings_.reportSize + count] = failed ? 1.0 : 0.0;
    }
    count++;
    if (count == settings_.reportSize || r == settings_.replications) {
      HandOver(ascii, count);
      count = 0;
    }
  }
  if (ascii != nullptr) ascii->flush();
  return fired_;
}
