#ifndef TESTS_SIMULATOR_SCRIPTED_MODEL_H
#define TESTS_SIMULATOR_SCRIPTED_MODEL_H

// Small models assembled by tests: activities whose enabling, effect and
// delays are scripted, an atomic model holding them, and a reward model over
// it with the variables a test asks for.

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "Cpp/BaseClasses/Activity.h"
#include "Cpp/BaseClasses/PVModel.h"
#include "Cpp/BaseClasses/PostselectGroup.h"
#include "Cpp/BaseClasses/SANModel.h"
#include "Cpp/BaseClasses/SingleGroup.h"
#include "Cpp/BaseClasses/state/Place.h"

namespace scripted {

// An activity whose enabling, effect and delays are given by the test. Its
// delays are handed out in order, the last one repeating.
class Scripted : public Activity {
 public:
  Scripted(const char* name, std::function<bool()> enabled, std::function<void()> fire,
           std::vector<double> delays)
      : enabled_(std::move(enabled)), fire_(std::move(fire)), delays_(std::move(delays)) {
    ActivityInitialize(name, 0, EXPONENTIAL, RACE_ENABLED, 1, 1, false);
  }
  bool Enabled() override {
    previousEnabled = currentEnabled;
    currentEnabled = enabled_();
    return currentEnabled;
  }
  double SampleDistribution() override {
    return delays_[std::min(samples++, delays_.size() - 1)];
  }
  BaseActionClass* Fire() override {
    firings++;
    fire_();
    return this;
  }
  int Rank() override { return 1; }
  double Weight() override { return 1.0; }
  bool ReactivationPredicate() override { return predicate ? predicate() : false; }
  bool ReactivationFunction() override { return reactivate ? reactivate() : false; }
  void LinkVariables() override {}

  size_t samples = 0;
  int firings = 0;
  std::function<bool()> predicate;
  std::function<bool()> reactivate;

 private:
  std::function<bool()> enabled_;
  std::function<void()> fire_;
  std::vector<double> delays_;
};

// An atomic model assembled by the test; it owns its places, activities and
// groups. Each group takes its index as group id, as a composed model does.
class ScriptedSAN : public SANModel {
 public:
  ~ScriptedSAN() override {
    for (BaseGroupClass* g : ownedGroups_) delete g;
    for (Activity* a : activities_) delete a;
    for (Place* p : places_) delete p;
  }
  Place* AddPlace(const char* name, short mark) {
    places_.push_back(new Place(name, mark));
    return places_.back();
  }
  Scripted* AddActivity(Scripted* a, bool ownGroup = true) {
    activities_.push_back(a);
    if (ownGroup) groupList_.push_back(a);
    return a;
  }
  PostselectGroup* AddGroup(const char* name, std::vector<Scripted*> members) {
    PostselectGroup* g = new PostselectGroup();
    g->initialize(static_cast<int>(members.size()), name);
    for (Scripted* m : members) g->appendGroup(m);
    ownedGroups_.push_back(g);
    groupList_.push_back(g);
    return g;
  }
  // A single group wrapping member (which must have been added with
  // ownGroup false).
  SingleGroup* AddSingleGroup(Scripted* member) {
    SingleGroup* g = new SingleGroup(member);
    ownedGroups_.push_back(g);
    groupList_.push_back(g);
    return g;
  }
  // Any group the test made (members must have been added with ownGroup
  // false); the model takes it over.
  template <typename Group>
  Group* AddOwnedGroup(Group* g) {
    ownedGroups_.push_back(g);
    groupList_.push_back(g);
    return g;
  }
  void Build() {
    std::vector<BaseStateVariableClass*> places(places_.begin(), places_.end());
    initializeSANModelNow("scripted", static_cast<int>(places.size()), places.data(), 0, nullptr,
                          static_cast<int>(activities_.size()), activities_.data(),
                          static_cast<int>(groupList_.size()), groupList_.data());
    for (size_t i = 0; i < groupList_.size(); i++) groupList_[i]->setGroupId(static_cast<int>(i));
  }

 private:
  std::vector<Place*> places_;
  std::vector<Activity*> activities_;
  std::vector<BaseGroupClass*> groupList_;
  std::vector<BaseGroupClass*> ownedGroups_;
};

// A reward model over a scripted model (which it takes over), with the
// nodes made by makeNode for each variable index below numVariables.
class ScriptedPV : public PVModel {
 public:
  ScriptedPV(ScriptedSAN* model, int numVariables = 0,
             std::function<PerformanceVariableNode*(int, int)> makeNode = nullptr)
      : makeNode_(std::move(makeNode)) {
    topModel = model;
    CreatePVList(numVariables, true);
    Initialize();
  }
  PerformanceVariableNode* createPVNode(int variable, int timeIndex) override {
    return makeNode_ ? makeNode_(variable, timeIndex) : nullptr;
  }

 private:
  std::function<PerformanceVariableNode*(int, int)> makeNode_;
};

}  // namespace scripted

#endif
