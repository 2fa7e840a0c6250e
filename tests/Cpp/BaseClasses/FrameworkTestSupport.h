#ifndef FRAMEWORK_TEST_SUPPORT_H
#define FRAMEWORK_TEST_SUPPORT_H

// Small hand-written models for the framework tests: a scripted generator, a
// test activity whose enabling, weight and rank are set by the test, and an
// atomic model that owns its places, activities and groups the way generated
// models do.

#include <cstddef>
#include <string>
#include <vector>

#include "Cpp/BaseClasses/Activity.h"
#include "Cpp/BaseClasses/BaseGroupClass.h"
#include "Cpp/BaseClasses/SANModel.h"
#include "Cpp/BaseClasses/state/Place.h"
#include "random/Distributions.h"
#include "random/RandomNumberGenerator.h"

namespace framework_test {

// Returns the scripted values in turn (the last one repeatedly) and counts
// the draws.
class FixedGenerator : public RandomNumberGenerator {
 public:
  explicit FixedGenerator(std::vector<double> v) : values(std::move(v)) {}
  double rnd() override {
    double u = values.empty() ? 0.0 : values[next < values.size() ? next : values.size() - 1];
    next++;
    return u;
  }
  std::vector<double> values;
  size_t next = 0;
};

// Installs a FixedGenerator in the program-wide distribution object; the
// generator stays installed (valid) after the test.
inline FixedGenerator* InstallGenerator(std::vector<double> values) {
  delete TheDistribution->generator;
  FixedGenerator* g = new FixedGenerator(std::move(values));
  TheDistribution->generator = g;
  return g;
}

// An activity reading an optional input place and writing an optional
// output place through linked marking pointers, as generated activities do.
// Enabled when `on` is set and the input (if any) is positive; firing moves a
// token from input to output.
class TestActivity : public Activity {
 public:
  TestActivity(const char* n, int r = 1, double w = 1.0) : rank(r), weight(w) {
    ActivityInitialize(n, 0, EXPONENTIAL, RACE_ENABLED, 1, 1, false);
  }
  bool Enabled() override {
    previousEnabled = currentEnabled;
    currentEnabled = on && (inPlace == nullptr || *inMark > 0);
    enabledCalls++;
    return currentEnabled;
  }
  double Weight() override { return weight; }
  int Rank() override { return rank; }
  double Rate() override { return 2.0; }
  double SampleDistribution() override { return TheDistribution->Exponential(2.0); }
  BaseActionClass* Fire() override {
    fires++;
    if (inPlace != nullptr) (*inMark)--;
    if (outPlace != nullptr) (*outMark)++;
    return this;
  }
  void LinkVariables() override {
    if (inPlace != nullptr) inPlace->RegisterPointer(&inMark);
    if (outPlace != nullptr) outPlace->RegisterPointer(&outMark);
  }

  bool on = true;
  int rank;
  double weight;
  int fires = 0;
  int enabledCalls = 0;
  Place* inPlace = nullptr;
  Place* outPlace = nullptr;
  short* inMark = nullptr;
  short* outMark = nullptr;
};

// An atomic model of places p0..p(n-1) with the given initial markings and
// one activity per (input, output) pair (index -1 for none), each activity
// its own group; activity i is named names[i].
class TestSAN : public SANModel {
 public:
  struct Arc {
    const char* name;
    int in;
    int out;
  };

  TestSAN(const char* modelName, const std::vector<short>& marks, const std::vector<Arc>& arcs) {
    for (const Arc& a : arcs) ownActivities.push_back(new TestActivity(a.name));
    for (size_t i = 0; i < marks.size(); i++) {
      std::string n = "p" + std::to_string(i);
      ownPlaces.push_back(new Place(n.c_str(), marks[i]));
    }
    std::vector<BaseStateVariableClass*> svs(ownPlaces.begin(), ownPlaces.end());
    std::vector<BaseGroupClass*> groupList(ownActivities.begin(), ownActivities.end());
    std::vector<Activity*> acts(ownActivities.begin(), ownActivities.end());
    initializeSANModelNow(modelName, static_cast<int>(svs.size()), svs.data(), 0, nullptr,
                          static_cast<int>(acts.size()), acts.data(),
                          static_cast<int>(groupList.size()), groupList.data());
    for (size_t i = 0; i < arcs.size(); i++) {
      TestActivity* t = ownActivities[i];
      if (arcs[i].in >= 0) {
        t->inPlace = ownPlaces[arcs[i].in];
        AddEnableArc(t->inPlace, t);
        AddAffectArc(t->inPlace, t);
      }
      if (arcs[i].out >= 0) {
        t->outPlace = ownPlaces[arcs[i].out];
        AddAffectArc(t->outPlace, t);
      }
    }
    for (TestActivity* t : ownActivities) t->LinkVariables();
  }
  ~TestSAN() override {
    for (Place* p : ownPlaces) delete p;
    for (TestActivity* a : ownActivities) delete a;
  }

  std::vector<Place*> ownPlaces;
  std::vector<TestActivity*> ownActivities;
};

}  // namespace framework_test

#endif
