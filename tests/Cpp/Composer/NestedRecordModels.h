#ifndef NESTED_RECORD_MODELS_H
#define NESTED_RECORD_MODELS_H

// Atomic models holding a place and a two-field record, and a join sharing
// records, for the nested-composition tests.

#include <string>
#include <vector>

#include "Cpp/BaseClasses/Activity.h"
#include "Cpp/BaseClasses/SANModel.h"
#include "Cpp/BaseClasses/state/BaseStructStateVariable.h"
#include "Cpp/BaseClasses/state/Place.h"
#include "Cpp/Composer/Join.h"

namespace nested {

// A record whose 16-bit fields are places it creates and deletes itself.
class Record : public BaseStructStateVariable {
 public:
  Record(const char* n, std::vector<short> marks) : BaseStructStateVariable(n, ""), initial(marks) {
    std::vector<ArrayType> types(marks.size(), SHORT_FIELD);
    makeArrays(types.data(), static_cast<int>(types.size()));
  }
  ~Record() override {
    for (Place* p : owned) delete p;
  }
  Field field(ArrayType type, BaseStateVariableClass*) const override {
    Record* self = const_cast<Record*>(this);
    std::string n = "f" + std::to_string(owned.size());
    Place* p = new Place(n.c_str(), initial[owned.size()]);
    self->owned.push_back(p);
    return Field(p, type);
  }
  Place* at(int i) const { return owned[i]; }

  std::vector<short> initial;
  std::vector<Place*> owned;
};

// Moves a token from field 0 to field 1 of a record.
class Move : public Activity {
 public:
  Move(const char* n, Record* r) : Activity(n, 0, EXPONENTIAL, RACE_ENABLED, 1, 0, false), rec(r) {}
  bool Enabled() override { return rec->at(0)->getMark() > 0; }
  BaseActionClass* Fire() override {
    rec->at(0)->setMark(static_cast<short>(rec->at(0)->getMark() - 1));
    rec->at(1)->setMark(static_cast<short>(rec->at(1)->getMark() + 1));
    return this;
  }
  void LinkVariables() override {}
  Record* rec;
};

// An atomic model with a place `p` and a record `r` of two fields, and one
// activity on the record.
class RecSAN : public SANModel {
 public:
  RecSAN(const char* n, short p0, std::vector<short> fields)
      : p("p", p0), r("r", fields), move("move", &r) {
    BaseStateVariableClass* svs[] = {&p, &r};
    Activity* acts[] = {&move};
    BaseGroupClass* groupArray[] = {&move};
    initializeSANModelNow(n, 2, svs, 0, nullptr, 1, acts, 1, groupArray);
    AddEnableArc(&r, &move);
    AddAffectArc(&r, &move);
  }
  Place p;
  Record r;
  Move move;
};

inline const char* kNames[] = {"r"};

// A join sharing, under "r", the record variables given with their children.
class RecJoin : public Join {
 public:
  RecJoin(const std::vector<BaseModelClass*>& kids, const std::vector<const char*>& names,
          const std::vector<BaseStructStateVariable*>& shared)
      : Join("Join", static_cast<int>(kids.size()), 1, kNames) {
    for (size_t i = 0; i < kids.size(); i++) {
      children[i] = kids[i];
      children[i]->DefineName(names[i]);
    }
    SetupActions();
    joint = new Record("r", {0, 0});
    addSharedPtr(joint, "r");
    for (size_t i = 0; i < shared.size(); i++) {
      joint->ShareWith(shared[i]);
      addSharingInfo(shared[i], joint, kids[i < kids.size() ? i : kids.size() - 1]);
    }
    Setup();
  }
  ~RecJoin() override {
    delete joint;
    for (int i = 0; i < numChildren; i++) delete children[i];
  }
  Record* joint = nullptr;
};

}  // namespace nested

#endif
