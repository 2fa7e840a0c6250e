#ifndef PV_MODEL_TEST_MODELS_H
#define PV_MODEL_TEST_MODELS_H

// Small models for the reward framework tests: an atomic model with three
// places x, y, z and one activity adding a token to each; a join of several
// of them; instant-of-time reward variables over the places; an impulse
// reward counting firings; and a reward model built from a list of variables.

#include <string>
#include <utility>
#include <vector>

#include "Cpp/BaseClasses/Activity.h"
#include "Cpp/BaseClasses/ImpulseNodeClass.h"
#include "Cpp/BaseClasses/InstantOfTime.h"
#include "Cpp/BaseClasses/PVModel.h"
#include "Cpp/BaseClasses/PerformanceVariableNode.h"
#include "Cpp/BaseClasses/SANModel.h"
#include "Cpp/BaseClasses/state/Place.h"
#include "Cpp/Composer/Join.h"

namespace reward_test {

class AddToken : public Activity {
 public:
  AddToken(const char* name, Place* target)
      : Activity(name, 0, EXPONENTIAL, RACE_ENABLED, 1, 0, false), target(target) {}
  BaseActionClass* Fire() override {
    target->setMark(static_cast<short>(target->getMark() + 1));
    return this;
  }
  void LinkVariables() override {}

  Place* target;
};

class TinySAN : public SANModel {
 public:
  explicit TinySAN(const char* modelName = "tiny")
      : x("x", 0), y("y", 0), z("z", 0), incX("incX", &x), incY("incY", &y), incZ("incZ", &z) {
    BaseStateVariableClass* places[] = {&x, &y, &z};
    Activity* activities[] = {&incX, &incY, &incZ};
    BaseGroupClass* groupArray[] = {&incX, &incY, &incZ};
    initializeSANModelNow(modelName, 3, places, 0, nullptr, 3, activities, 3, groupArray);
    AddAffectArc(&x, &incX);
    AddAffectArc(&y, &incY);
    AddAffectArc(&z, &incZ);
  }

  short Mark(const std::string& place) const {
    return place == "x" ? x.getMark() : place == "y" ? y.getMark() : z.getMark();
  }

  Place x, y, z;
  AddToken incX, incY, incZ;
};

// A join of TinySAN children with the given names, sharing nothing.
class TinyJoin : public Join {
 public:
  explicit TinyJoin(const std::vector<std::string>& names)
      : Join("Join", static_cast<int>(names.size()), 0, nullptr) {
    for (size_t i = 0; i < names.size(); i++) {
      TinySAN* child = new TinySAN();
      child->DefineName(names[i].c_str());
      children[i] = child;
      owned.push_back(child);
    }
    SetupActions();
    NumSharedStateVariables = 0;
    Setup();
  }
  ~TinyJoin() override {
    for (TinySAN* child : owned) delete child;
  }

  TinySAN* Child(int i) const { return owned[i]; }

  std::vector<TinySAN*> owned;
};

// Observes the place of one TinySAN; slot j holds the submodel of the
// node's model dependency j.
class MarkWorker : public InstantOfTime {
 public:
  MarkWorker(std::string place, int slots) : place(std::move(place)) {
    numModelSlots = slots;
    modelSlots = new BaseModelClass**[slots > 0 ? slots : 1];
    for (int j = 0; j < slots; j++) modelSlots[j] = &observed[j];
  }
  ~MarkWorker() override { delete[] modelSlots; }

  double Reward_Function() override { return static_cast<TinySAN*>(observed[0])->Mark(place); }

  std::string place;
  BaseModelClass* observed[4] = {nullptr, nullptr, nullptr, nullptr};
};

// Adds Impulse_Function() for every firing of its triggering action.
class CountFirings : public ImpulseNodeClass {
 public:
  void EndAccumulate(double) override {}
  double Impulse_Function() override { return 1.0; }
  void Accumulate(double, double) override {
    value += Impulse_Function();
    square = value * value;
  }
  void CurrentReward() override {
    value = Impulse_Function();
    square = value * value;
  }
  void ResetImpulse() override { Reset(); }
  ImpulseNodeClass** CreateImpulseNodes(int n) override {
    ImpulseNodeClass** nodes = new ImpulseNodeClass*[n];
    for (int k = 0; k < n; k++) nodes[k] = new CountFirings();
    return nodes;
  }
};

// One reward variable: its time points and what it observes.
struct VariableDefinition {
  std::string name;
  std::vector<double> starts;
  std::vector<double> stops;
  // (state variable, model) dependencies; the worker observes the first.
  std::vector<std::pair<std::string, std::string>> observes;
  // (action, model) of one impulse function counting that action's firings.
  std::pair<std::string, std::string> impulse;
};

inline VariableDefinition InstantVariable(const std::string& name, std::vector<double> times,
                                    const std::string& place, const std::string& model) {
  return VariableDefinition{name, times, times, {{place, model}}, {}};
}

class MarkNode : public PerformanceVariableNode {
 public:
  MarkNode(const VariableDefinition& variable, int variableIndex, int timeIndex)
      : variable(variable), variableIndex(variableIndex), timeIndex(timeIndex) {
    modelSlot = &top;
    bool impulse = !variable.impulse.first.empty();
    Initialize(variable.name.c_str(), InstantOfTimeReward, static_cast<int>(variable.starts.size()),
               variable.starts.data(), variable.stops.data(), timeIndex, impulse ? 1 : 0, 1,
               static_cast<int>(variable.observes.size()));
    for (const auto& dependency : variable.observes) {
      AddVariableDependency(dependency.first.c_str(), dependency.second.c_str());
    }
    if (impulse) {
      AddImpulse(variable.impulse.first.c_str(), variable.impulse.second.c_str(), new CountFirings());
    }
  }
  ~MarkNode() override {
    for (int i = 0; i < numWorkers; i++) {
      if (workers[i] == nullptr) continue;
      workers[i]->FreeName();
      delete workers[i];
    }
  }

  void CreateWorkerList() override {
    for (int i = 0; i < numWorkers; i++) {
      workers[i] = new MarkWorker(variable.observes[0].first, numModelDependencies);
    }
  }

  VariableDefinition variable;
  int variableIndex;
  int timeIndex;
  BaseModelClass* top = nullptr;
};

// A reward model over top (which it takes over) with the given variables.
class TestPVModel : public PVModel {
 public:
  TestPVModel(BaseModelClass* top, std::vector<VariableDefinition> variables, bool expandTimePoints)
      : variables(std::move(variables)) {
    topModel = top;
    DefineName("testPVModel");
    CreatePVList(static_cast<int>(this->variables.size()), expandTimePoints);
    Initialize();
  }

  PerformanceVariableNode* createPVNode(int variableIndex, int timeIndex) override {
    if (variableIndex < 0 || variableIndex >= static_cast<int>(variables.size())) return nullptr;
    created.emplace_back(variableIndex, timeIndex);
    return new MarkNode(variables[variableIndex], variableIndex, timeIndex);
  }

  MarkNode* Node(int i) const { return static_cast<MarkNode*>(GetPVNode(i)); }

  std::vector<VariableDefinition> variables;
  std::vector<std::pair<int, int>> created;
};

// What the step loop does for one event: accumulate up to it, then fire it.
inline void Step(PVModel* pv, BaseActionClass* action, double now) {
  pv->Accumulate(now);
  pv->FireAction(action, now);
}

}  // namespace reward_test

#endif
