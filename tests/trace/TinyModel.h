#ifndef TESTS_TRACE_TINY_MODEL_H
#define TESTS_TRACE_TINY_MODEL_H

// A small composed model for the trace tests, under a reward model without
// reward variables:
//   pump (atomic): places level (2), running (1); the lone activity start
//     and the cases pump_case1 / pump_case2 of "pumpGroup".
//   tank (atomic): places level (3), valve (prefix "tank", 1); activity drain.
//   Join: shares "level"; the merged value is the tank's 3 (the last child
//     shared wins).

#include <map>
#include <string>

#include "Cpp/BaseClasses/Activity.h"
#include "Cpp/BaseClasses/PVModel.h"
#include "Cpp/BaseClasses/PostselectGroup.h"
#include "Cpp/BaseClasses/SANModel.h"
#include "Cpp/BaseClasses/state/Place.h"
#include "Cpp/Composer/Join.h"

namespace tinymodel {

class TinyActivity : public Activity {
 public:
  TinyActivity(const char* name, Distribution d)
      : Activity(name, 0, d, RACE_ENABLED, 1, 1, false) {}
  BaseActionClass* Fire() override { return this; }
  void LinkVariables() override {}
};

class PumpSAN : public SANModel {
 public:
  PumpSAN() {
    pumpGroup->initialize(2, "pumpGroup");
    pumpGroup->appendGroup(pump1);
    pumpGroup->appendGroup(pump2);
    BaseStateVariableClass* placeList[] = {level, running};
    Activity* activityList[] = {start, pump1, pump2};
    BaseGroupClass* groupList[] = {start, pumpGroup};
    initializeSANModelNow("pump", 2, placeList, 0, nullptr, 3, activityList, 2, groupList);
    AddAffectArc(running, start);
    AddAffectArc(level, pump1);
    AddAffectArc(running, pump2);
    AddAffectArc(level, pump2);
    AddEnableArc(running, start);
    AddEnableArc(running, pump1);
    AddEnableArc(level, pump1);
    AddEnableArc(running, pump2);
  }
  ~PumpSAN() override {
    delete level;
    delete running;
    delete pumpGroup;
    delete pump2;
    delete pump1;
    delete start;
  }

  TinyActivity* start = new TinyActivity("start", EXPONENTIAL);
  TinyActivity* pump1 = new TinyActivity("pump_case1", EXPONENTIAL);
  TinyActivity* pump2 = new TinyActivity("pump_case2", EXPONENTIAL);
  PostselectGroup* pumpGroup = new PostselectGroup();
  Place* level = new Place("level", 2);
  Place* running = new Place("running", 1);
};

class TankSAN : public SANModel {
 public:
  TankSAN() {
    valve->SetPrefix("tank");
    BaseStateVariableClass* placeList[] = {level, valve};
    Activity* activityList[] = {drain};
    BaseGroupClass* groupList[] = {drain};
    initializeSANModelNow("tank", 2, placeList, 0, nullptr, 1, activityList, 1, groupList);
    AddAffectArc(level, drain);
    AddAffectArc(valve, drain);
    AddEnableArc(valve, drain);
    AddEnableArc(level, drain);
  }
  ~TankSAN() override {
    delete level;
    delete valve;
    delete drain;
  }

  TinyActivity* drain = new TinyActivity("drain", DETERMINISTIC);
  Place* level = new Place("level", 3);
  Place* valve = new Place("valve", 1);
};

inline const char* const kSharedNames[] = {"level"};

class TinyJoin : public Join {
 public:
  TinyJoin() : Join("Join", 2, 1, kSharedNames) {
    children[0] = pump = new PumpSAN();
    pump->DefineName("pump");
    children[1] = tank = new TankSAN();
    tank->DefineName("tank");
    SetupActions();
    level = new Place("level");
    addSharedPtr(level, "level");
    level->ShareWith(pump->level);
    addSharingInfo(pump->level, level, pump);
    level->ShareWith(tank->level);
    addSharingInfo(tank->level, level, tank);
    Setup();
  }
  ~TinyJoin() override {
    delete pump;
    delete tank;
    delete level;
  }

  PumpSAN* pump;
  TankSAN* tank;
  Place* level;
};

class TinyPVModel : public PVModel {
 public:
  TinyPVModel() { topModel = join = new TinyJoin(); }
  PerformanceVariableNode* createPVNode(int, int) override { return nullptr; }
  TinyJoin* join;
};

// Replaces every "{key}" in text by the number given for key: model and
// action ids come from class-wide counters, so golden texts name them by key.
inline std::string Fill(std::string text, const std::map<std::string, int>& ids) {
  for (const auto& entry : ids) {
    const std::string key = "{" + entry.first + "}", value = std::to_string(entry.second);
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at)) {
      text.replace(at, key.size(), value);
      at += value.size();
    }
  }
  return text;
}

inline std::map<std::string, int> Ids(TinyJoin* join) {
  return {{"J", join->modelId},           {"P", join->pump->modelId},
          {"T", join->tank->modelId},     {"start", join->pump->start->id},
          {"pump1", join->pump->pump1->id}, {"pump2", join->pump->pump2->id},
          {"pumpGroup", join->pump->pumpGroup->id}, {"drain", join->tank->drain->id}};
}

}  // namespace tinymodel

#endif
