#include "Cpp/Composer/Join.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "Cpp/BaseClasses/state/Place.h"
#include "Cpp/BaseClasses/state/SharedStateVarLink.h"
#include "tests/Cpp/BaseClasses/FrameworkTestSupport.h"

namespace {

using framework_test::TestActivity;
using framework_test::TestSAN;

const char* kSharedNames[] = {"s"};

// A generated-style join: children side by side, each child's first state
// variable (a place, or a composed child's shared variable) shared under "s".
// Owns its children and its joint place.
class TestJoin : public Join {
 public:
  TestJoin(const std::vector<BaseModelClass*>& kids, const std::vector<const char*>& names)
      : Join("Join", static_cast<int>(kids.size()), 1, kSharedNames) {
    for (size_t i = 0; i < kids.size(); i++) {
      children[i] = kids[i];
      children[i]->DefineName(names[i]);
    }
    SetupActions();
    if (AllChildrenEmpty()) {
      NumSharedStateVariables = 0;
    } else {
      joint = new Place("s");
      addSharedPtr(joint, "s");
      for (int i = 0; i < numChildren; i++) {
        if (children[i]->numStateVariables <= 0) continue;
        BaseStateVariableClass* v = FirstVariable(children[i]);
        joint->ShareWith(static_cast<Place*>(v));
        addSharingInfo(v, joint, children[i]);
      }
    }
    Setup();
  }
  ~TestJoin() override {
    delete joint;
    for (int i = 0; i < numChildren; i++) delete children[i];
  }
  static BaseStateVariableClass* FirstVariable(BaseModelClass* m) {
    if (m->GetModelType() == 1) return static_cast<SANModel*>(m)->places[0];
    return m->GetSharedStateVariables()[0];
  }

  Place* joint = nullptr;
};

std::vector<unsigned char> Image(BaseModelClass* m) {
  std::vector<unsigned char> image(static_cast<size_t>(m->StateSize()));
  m->CurrentState(image.data());
  return image;
}

std::vector<BaseActionClass*> Items(const List<BaseActionClass>* l) {
  std::vector<BaseActionClass*> out;
  for (int i = 0; i < l->getNumItems(); i++) out.push_back(l->getItem(i));
  return out;
}

// A: p0 (shared, 0) p1 p2; t moves p0 -> p1, u moves p2 -> p0, v p1 -> p2.
// B: p0 (shared, 1) p1 p2; w moves p0 -> p1, z p1 -> p0.
struct TwoModels {
  TwoModels() {
    a = new TestSAN("A", {0, 5, 6}, {{"t", 0, 1}, {"u", 2, 0}, {"v", 1, 2}});
    b = new TestSAN("B", {1, 7, 8}, {{"w", 0, 1}, {"z", 1, 0}});
    join = new TestJoin({a, b}, {"A", "B"});
  }
  ~TwoModels() { delete join; }
  TestSAN* a;
  TestSAN* b;
  TestJoin* join;
};

TEST(JoinTest, SharedPlaceTakesTheLastChildsValueAndLivesOnlyInTheSharedPart) {
  TwoModels m;
  Place* ap0 = m.a->ownPlaces[0];
  Place* bp0 = m.b->ownPlaces[0];
  EXPECT_EQ(ap0->getMark(), 1);
  EXPECT_EQ(bp0->getMark(), 1);
  EXPECT_EQ(m.join->joint->getMark(), 1);
  EXPECT_TRUE(m.join->joint->getStored());
  EXPECT_FALSE(ap0->getStored());
  EXPECT_FALSE(bp0->getStored());

  EXPECT_EQ(m.join->numStateVariables, 5);
  EXPECT_EQ(m.join->StateSize(), 10);
  EXPECT_EQ(m.join->stateSize, 10);
  EXPECT_EQ(m.join->childStateSizes[0], 4);
  EXPECT_EQ(m.join->childStateSizes[1], 4);
  EXPECT_EQ(m.join->SharedStateSize(), 2);
  EXPECT_EQ(Image(m.join), (std::vector<unsigned char>{5, 0, 6, 0, 7, 0, 8, 0, 1, 0}));

  // A firing in one child is seen by the other through the shared storage.
  std::vector<unsigned char> initial = Image(m.join);
  TestActivity* w = m.b->ownActivities[0];
  ASSERT_TRUE(w->Enabled());
  w->Fire();
  EXPECT_EQ(ap0->getMark(), 0);
  EXPECT_FALSE(m.a->ownActivities[0]->Enabled());
  EXPECT_EQ(Image(m.join), (std::vector<unsigned char>{5, 0, 6, 0, 8, 0, 8, 0, 0, 0}));
  EXPECT_FALSE(m.join->CompareState(initial.data(), Image(m.join).data()));
  m.join->SetState(initial.data());
  EXPECT_EQ(ap0->getMark(), 1);
  EXPECT_EQ(m.b->ownPlaces[1]->getMark(), 7);
  EXPECT_TRUE(m.join->CompareState(initial.data(), Image(m.join).data()));
}

TEST(JoinTest, ActionsGroupsAndVariableListsAfterSharing) {
  TwoModels m;
  std::vector<TestActivity*> all = m.a->ownActivities;
  all.insert(all.end(), m.b->ownActivities.begin(), m.b->ownActivities.end());
  ASSERT_EQ(m.join->numActions, 5);
  ASSERT_EQ(m.join->numGroups, 5);
  for (int i = 0; i < 5; i++) {
    EXPECT_EQ(m.join->actions[i], all[i]);
    EXPECT_EQ(m.join->groups[i], all[i]);
    EXPECT_EQ(all[i]->groupId, i);
    EXPECT_EQ(all[i]->parentModel, i < 3 ? m.a : m.b);
  }

  // The joint place holds the merged lists, A's then B's, without repeats;
  // the actions list the joint place in place of the children's.
  Place* joint = m.join->joint;
  TestActivity *t = all[0], *u = all[1], *w = all[3], *z = all[4];
  EXPECT_EQ(Items(joint->enabledActions), (std::vector<BaseActionClass*>{t, w}));
  EXPECT_EQ(Items(joint->affectingActions), (std::vector<BaseActionClass*>{t, u, w, z}));
  EXPECT_EQ(m.a->ownPlaces[0]->enabledActions, joint->enabledActions);
  EXPECT_EQ(m.b->ownPlaces[0]->affectingActions, joint->affectingActions);
  EXPECT_EQ(t->enablingSVs[0], joint);
  EXPECT_EQ(t->enablingSVs.getNumItems(), 1);
  EXPECT_EQ(t->affectedSVs[0], joint);
  EXPECT_EQ(t->affectedSVs[1], m.a->ownPlaces[1]);
  EXPECT_EQ(z->affectedSVs[1], joint);

  // The record of what was merged.
  EXPECT_EQ(m.join->sharedVariableLists[0]->getNumItems(), 2);
  SharedStateVarLink* chain = m.join->sharingLinks[0];
  ASSERT_NE(chain, nullptr);
  EXPECT_EQ(chain->stateVariable, m.a->ownPlaces[0]);
  EXPECT_EQ(chain->model, m.a);
  ASSERT_NE(chain->next, nullptr);
  EXPECT_EQ(chain->next->stateVariable, m.b->ownPlaces[0]);
  EXPECT_EQ(chain->next->next, nullptr);
  EXPECT_EQ(m.join->getMainSharedVariable(m.b->ownPlaces[0]), joint);
  EXPECT_EQ(m.join->getMainSharedVariable(m.b->ownPlaces[1]), nullptr);
  EXPECT_EQ(m.join->getListOfSharedVariables(joint), chain);
  EXPECT_EQ(m.join->GetSharedStateVariables()[0], joint);

  List<BaseModelClass> models;
  m.join->listModels("B", &models);
  m.join->listModels("Join", &models);
  ASSERT_EQ(models.getNumItems(), 1);
  EXPECT_EQ(models[0], m.b);
  List<BaseActionClass> named;
  m.join->listActions("z", &named);
  EXPECT_EQ(named.getNumItems(), 1);
  List<BaseActionClass> acts;
  m.join->listActions(&acts);
  EXPECT_EQ(acts.getNumItems(), 5);
  List<BaseStateVariableClass> svs;
  List<BaseModelClass> owners;
  m.join->listSVs("A", "p2", &svs, &owners);
  EXPECT_EQ(svs.getNumItems(), 1);
  EXPECT_EQ(owners[0], m.a);

  EXPECT_EQ(m.join->GetModelType(), 2);
  EXPECT_EQ(m.join->GetNumberOfChildren(), 2);
  EXPECT_EQ(m.join->GetChild(1), m.b);
  EXPECT_EQ(m.a->modelId + 1, m.b->modelId);
  EXPECT_EQ(m.b->modelId + 1, m.join->modelId);

  std::ostringstream out;
  m.join->printState(&out);
  std::string id = std::to_string(m.join->modelId);
  EXPECT_NE(out.str().find("Model: (" + id + ")Join\nModel: ("), std::string::npos);
  EXPECT_NE(out.str().find("  p2 = 8\nShared Variables:\n  s = 1\n"), std::string::npos);
  testing::internal::CaptureStdout();
  m.join->printAllSharedVariables();
  std::string shared = testing::internal::GetCapturedStdout();
  EXPECT_EQ(shared.find("Shared Variables for composer node Join\n  Shared Variable 0 has name s "
                        "and address "),
            0u);
  EXPECT_NE(shared.find("    And here is its list of equivalent variables:\n      This link holds "
                        "state var p0 at address "),
            std::string::npos);
}

TEST(JoinTest, LocalStateIsTheSharedPartWithTheAtomicFileLayout) {
  TwoModels m;
  EXPECT_TRUE(m.join->HasLocalState());
  State* s = nullptr;
  m.join->ConstructLocalState(s);
  m.join->GetLocalState(s);
  EXPECT_EQ(s->hash(), 2);
  FILE* f = std::tmpfile();
  ASSERT_EQ(s->fwriteState(f), 0);
  std::rewind(f);
  unsigned char bytes[8] = {};
  ASSERT_EQ(std::fread(bytes, 1, 8, f), 6u);
  EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + 6),
            (std::vector<unsigned char>{2, 0, 0, 0, 1, 0}));

  m.join->joint->setMark(3);
  std::rewind(f);
  ASSERT_EQ(s->freadState(f), 0);
  m.join->SetLocalState(s);
  EXPECT_EQ(m.a->ownPlaces[0]->getMark(), 1);
  std::fclose(f);

  // A record larger than the shared part is refused and changes nothing.
  f = std::tmpfile();
  const unsigned char big[] = {3, 0, 0, 0, 9, 9, 9};
  std::fwrite(big, 1, sizeof big, f);
  std::rewind(f);
  EXPECT_NE(s->freadState(f), 0);
  EXPECT_EQ(s->GetStatePtr()[0], 1);
  std::fclose(f);

  State* t = nullptr;
  m.join->ConstructLocalState(t);
  EXPECT_EQ(t->compare(*s), -1);
  *t = *s;
  EXPECT_EQ(t->compare(*s), 0);
  testing::internal::CaptureStdout();
  t->print();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "    1    0\n");
  m.join->DestructLocalState(s);
  m.join->DestructLocalState(t);
}

// A composed child's merged variable is shared in turn; its sharing record is
// copied into the parent's, so each model frees only its own links.
TEST(JoinTest, NestedJoinSharesThroughTheChildsJointPlace) {
  TestSAN* a = new TestSAN("A", {2, 0}, {{"t", 0, 1}});
  TestSAN* b = new TestSAN("B", {3, 0}, {{"w", 0, 1}});
  TestJoin* inner = new TestJoin({a, b}, {"A", "B"});
  TestSAN* c = new TestSAN("C", {4, 9}, {{"y", 1, 0}});
  TestJoin top({inner, c}, {"inner", "C"});

  EXPECT_EQ(a->ownPlaces[0]->getMark(), 4);
  EXPECT_TRUE(top.joint->getStored());
  EXPECT_FALSE(inner->joint->getStored());
  EXPECT_EQ(inner->StateSize(), 4);  // its shared part moved up
  EXPECT_EQ(inner->stateSize, 6);     // cached before the parent shared
  std::vector<unsigned char> x(4, 1), y(4, 1);
  EXPECT_TRUE(inner->CompareState(x.data(), y.data()));  // reads 4 bytes, not 6
  EXPECT_EQ(top.numStateVariables, 4);
  EXPECT_EQ(Image(&top), (std::vector<unsigned char>{0, 0, 0, 0, 9, 0, 4, 0}));
  c->ownActivities[0]->Fire();
  EXPECT_EQ(b->ownPlaces[0]->getMark(), 5);

  std::vector<BaseStateVariableClass*> chain;
  for (SharedStateVarLink* l = top.sharingLinks[0]; l != nullptr; l = l->next) {
    chain.push_back(l->stateVariable);
  }
  EXPECT_EQ(chain, (std::vector<BaseStateVariableClass*>{inner->joint, a->ownPlaces[0],
                                                         b->ownPlaces[0], c->ownPlaces[0]}));
  EXPECT_NE(top.sharingLinks[0]->next, inner->sharingLinks[0]);
  EXPECT_EQ(top.getMainSharedVariable(a->ownPlaces[0]), top.joint);
  EXPECT_EQ(top.getListOfSharedVariables(inner->joint), inner->sharingLinks[0]);
  EXPECT_EQ(top.numGroups, 3);
  EXPECT_EQ(c->ownActivities[0]->groupId, 2);
}

// A join sharing, under "s", the variables given with their children.
class ListedJoin : public Join {
 public:
  ListedJoin(const std::vector<BaseModelClass*>& kids, const std::vector<const char*>& names,
             const std::vector<std::pair<BaseStateVariableClass*, BaseModelClass*>>& shared)
      : Join("Join", static_cast<int>(kids.size()), 1, kSharedNames) {
    for (size_t i = 0; i < kids.size(); i++) {
      children[i] = kids[i];
      children[i]->DefineName(names[i]);
    }
    SetupActions();
    joint = new Place("s");
    addSharedPtr(joint, "s");
    for (const auto& [variable, owner] : shared) {
      joint->ShareWith(static_cast<Place*>(variable));
      addSharingInfo(variable, joint, owner);
    }
    Setup();
  }
  ~ListedJoin() override {
    delete joint;
    for (int i = 0; i < numChildren; i++) delete children[i];
  }
  Place* joint = nullptr;
};

// An outer join that shares a place the inner join left unshared shrinks
// the inner join's child after the inner join was set up: the image still
// holds every marking once, within its size, and gives them all back. An
// outer join that lists, under one name, a grandchild's place and then the
// inner join's shared variable holding it keeps every action on its lists.
TEST(JoinTest, OuterJoinsSharingGrandchildPlacesKeepImagesAndLists) {
  {
    TestSAN* a = new TestSAN("A", {1, 2, 3}, {});
    TestSAN* b = new TestSAN("B", {4, 5, 6}, {});
    ListedJoin* inner = new ListedJoin({a, b}, {"A", "B"}, {{a->ownPlaces[0], a}, {b->ownPlaces[0], b}});
    TestSAN* c = new TestSAN("C", {7, 8}, {});
    ListedJoin outer({inner, c}, {"I", "C"}, {{a->ownPlaces[1], inner}, {c->ownPlaces[0], c}});
    std::vector<Place*> places;
    for (TestSAN* m : {a, b, c}) places.insert(places.end(), m->ownPlaces.begin(), m->ownPlaces.end());
    std::vector<short> before;
    for (Place* p : places) before.push_back(p->getMark());
    const size_t size = static_cast<size_t>(outer.StateSize());
    std::vector<unsigned char> image(size + 8, 0x55);
    outer.CurrentState(image.data());
    EXPECT_EQ(std::vector<unsigned char>(image.begin() + size, image.end()), std::vector<unsigned char>(8, 0x55));
    for (Place* p : places) p->setMark(-1);
    outer.SetState(image.data());
    std::vector<short> after;
    for (Place* p : places) after.push_back(p->getMark());
    EXPECT_EQ(after, before);
  }
  {
    TestSAN* a = new TestSAN("A", {1, 0}, {{"t", 0, 1}});
    TestSAN* b = new TestSAN("B", {1, 0}, {{"w", 0, 1}});
    ListedJoin* inner = new ListedJoin({a, b}, {"A", "B"}, {{a->ownPlaces[0], a}, {b->ownPlaces[0], b}});
    TestSAN* c = new TestSAN("C", {1, 0}, {{"z", 0, 1}});
    ListedJoin outer({inner, c}, {"I", "C"},
                     {{a->ownPlaces[0], inner}, {inner->joint, inner}, {c->ownPlaces[0], c}});
    // Every activity still lists the shared place (through whichever of
    // the two joint places became the group's main).
    for (TestActivity* t : {a->ownActivities[0], b->ownActivities[0], c->ownActivities[0]}) {
      for (const List<BaseStateVariableClass>* l : {&t->enablingSVs, &t->affectedSVs}) {
        EXPECT_TRUE(l->contains(outer.joint) || l->contains(inner->joint)) << t->name;
      }
    }
  }
}

TEST(JoinTest, ActionNameTableCountsNamesWithQuadraticProbing) {
  // T = 20; a and u collide at 17, b then probes 18 -> 19, c probes
  // 19 -> 0 -> 18 -> 3.
  TestSAN* a = new TestSAN("A", {}, {{"a", -1, -1}, {"u", -1, -1}, {"d", -1, -1}});
  TestSAN* b = new TestSAN("B", {}, {{"b", -1, -1}, {"c", -1, -1}, {"a", -1, -1}, {"b", -1, -1}});
  TestJoin j({a, b}, {"A", "B"});
  ASSERT_EQ(j.actionNameTableSize, 20);
  std::vector<std::string> names(20);
  std::vector<int> counts(j.actionNameCounts, j.actionNameCounts + 20);
  for (int i = 0; i < 20; i++) names[i] = j.actionNameTable[i] != nullptr ? j.actionNameTable[i] : "";
  EXPECT_EQ(names[17], "a");
  EXPECT_EQ(counts[17], 2);
  EXPECT_EQ(names[18], "u");
  EXPECT_EQ(names[19], "b");
  EXPECT_EQ(counts[19], 2);
  EXPECT_EQ(names[0], "d");
  EXPECT_EQ(names[3], "c");
  int filled = 0, total = 0;
  for (int i = 0; i < 20; i++) {
    filled += names[i].empty() ? 0 : 1;
    total += counts[i];
  }
  EXPECT_EQ(filled, 5);
  EXPECT_EQ(total, 7);

  // No state variables: no shared variable, empty shared part.
  EXPECT_EQ(j.NumSharedStateVariables, 0);
  EXPECT_EQ(j.joint, nullptr);
  EXPECT_EQ(j.StateSize(), 0);
  EXPECT_FALSE(j.HasLocalState());
  EXPECT_EQ(j.numStateVariables, 0);
}

TEST(JoinTest, HashIsUnsignedBase32AndProbesSubtractInUnsignedArithmetic) {
  EXPECT_EQ(BaseComposerClass::Hash("ab", 20), 2);
  EXPECT_EQ(BaseComposerClass::Hash("", 20), 0);
  EXPECT_EQ(BaseComposerClass::Hash("\xff", 20), 15);  // 2^32 - 1 mod 20
  EXPECT_EQ(BaseComposerClass::Hash("abcdefghij", 1000003),
            static_cast<int>(
                [] {
                  uint32_t h = 0;
                  for (const char* p = "abcdefghij"; *p; p++) h = h * 32 + *p;
                  return h % 1000003u;
                }()));
  // T = 12: x hashes to 0, finds 0 and 1 taken, and (0 - 1) as an unsigned
  // 32-bit number is 3 modulo 12.
  TestSAN* only = new TestSAN("A", {}, {{"a", -1, -1}, {"l", -1, -1}, {"x", -1, -1}});
  TestJoin j({only}, {"A"});
  ASSERT_EQ(j.actionNameTableSize, 12);
  EXPECT_STREQ(j.actionNameTable[3], "x");
  EXPECT_EQ(j.actionNameTable[11], nullptr);
}

TEST(JoinDeathTest, RegistrationAndChildIndexChecks) {
  EXPECT_DEATH(
      {
        TwoModels m;
        m.join->GetChild(2);
      },
      "i < GetNumberOfChildren\\(\\)");
  EXPECT_DEATH(
      {
        TwoModels m;
        Place extra("s");
        m.join->addSharedPtr(&extra, "s");
      },
      "AddedSharedPtrs < NumSharedStateVariables");
  EXPECT_DEATH(
      {
        const char* names[] = {"s"};
        Join j("J", 1, 1, names);
        Place p("t");
        j.addSharedPtr(&p, "t");
      },
      "0 == strcmp\\(VarName, SharedStateNames\\[AddedSharedPtrs\\]\\)");
  EXPECT_DEATH(
      {
        TwoModels m;
        Place stray("stray");
        m.join->addSharingInfo(&stray, &stray, m.a);
      },
      "VarIndex != -1");
  EXPECT_DEATH(
      {
        TwoModels m;
        slist<BaseActionClass*> out;
        m.join->GetGlobalActions(out);
      },
      "false");
  EXPECT_DEATH(
      {
        Join::LocalState x(2);
        Join::LocalState y(4);
        x = y;
      },
      "size == _localS->size");
}

}  // namespace
