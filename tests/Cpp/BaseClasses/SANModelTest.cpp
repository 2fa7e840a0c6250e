#include "Cpp/BaseClasses/SANModel.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "Cpp/BaseClasses/Activity.h"
#include "Cpp/BaseClasses/state/Place.h"
#include "tests/Cpp/BaseClasses/FrameworkTestSupport.h"

namespace {

using framework_test::TestActivity;
using framework_test::TestSAN;

// Three places (1, 2, -1); x moves p0 -> p1, a second x moves p1 -> p2,
// y adds to p0.
TestSAN* ThreePlaceModel(const char* name = "m") {
  return new TestSAN(name, {1, 2, -1}, {{"x", 0, 1}, {"x", 1, 2}, {"y", -1, 0}});
}

std::vector<unsigned char> Bytes(FILE* f) {
  std::vector<unsigned char> out;
  std::rewind(f);
  int c;
  while ((c = std::fgetc(f)) != EOF) out.push_back(static_cast<unsigned char>(c));
  return out;
}

FILE* FileWith(const std::vector<unsigned char>& bytes) {
  FILE* f = std::tmpfile();
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
  return f;
}

TEST(SANModelTest, ModelsTakeConsecutiveIdsAndKeepTheirArrays) {
  TestSAN* a = ThreePlaceModel("a");
  TestSAN* b = ThreePlaceModel("b");
  EXPECT_EQ(b->modelId, a->modelId + 1);
  EXPECT_EQ(a->parentId, a->modelId);
  EXPECT_EQ(BaseModelClass::MaxModelId, b->modelId);
  EXPECT_GE(a->modelId, 1);
  a->SetParentId(40);
  EXPECT_EQ(a->parentId, 40);

  EXPECT_EQ(a->GetModelType(), 1);
  EXPECT_EQ(a->GetNumberOfChildren(), 0);
  EXPECT_EQ(a->getNumStateVariables(), 3);
  EXPECT_EQ(a->numActions, 3);
  EXPECT_EQ(a->numGroups, 3);
  EXPECT_EQ(a->NumSharedStateVariables, 0);
  EXPECT_EQ(a->ownActivities[2]->parentModel, a);
  std::vector<Place*> places = a->ownPlaces;
  std::vector<Activity*> acts(a->ownActivities.begin(), a->ownActivities.end());
  EXPECT_TRUE(checkLocalSVs(a, places.data()));
  EXPECT_TRUE(checkLocalActions(a, acts.data()));
  EXPECT_TRUE(checkReadOnlyPlaces(a, nullptr));
  std::swap(places[0], places[1]);
  EXPECT_FALSE(checkLocalSVs(a, places.data()));
  EXPECT_EQ(a->GetLocalStateVariables(nullptr), a->places);
  delete a;
  delete b;
}

TEST(SANModelTest, ImageHoldsTheUnsharedMarkingsAndFiringWritesThroughLinks) {
  TestSAN* m = ThreePlaceModel();
  EXPECT_EQ(m->StateSize(), 6);
  EXPECT_TRUE(m->HasLocalState());
  unsigned char initial[6];
  m->CurrentState(initial);
  EXPECT_EQ(std::vector<unsigned char>(initial, initial + 6),
            (std::vector<unsigned char>{1, 0, 2, 0, 0xFF, 0xFF}));

  TestActivity* x = m->ownActivities[0];
  ASSERT_TRUE(x->Enabled());
  EXPECT_EQ(x->Fire(), x);
  EXPECT_EQ(m->ownPlaces[0]->getMark(), 0);
  EXPECT_EQ(m->ownPlaces[1]->getMark(), 3);
  EXPECT_FALSE(x->Enabled());
  unsigned char after[6];
  m->CurrentState(after);
  EXPECT_FALSE(m->CompareState(initial, after));
  m->SetState(initial);
  EXPECT_EQ(m->ownPlaces[1]->getMark(), 2);
  m->CurrentState(after);
  EXPECT_TRUE(m->CompareState(initial, after));
  delete m;
}

TEST(SANModelTest, LocalStateHashesComparesPrintsAndSavesItsBytes) {
  TestSAN* m = ThreePlaceModel();
  State* s = nullptr;
  m->ConstructLocalState(s);
  m->GetLocalState(s);
  // bytes 1 0 2 0 -1 -1: 1*2 + 2*5 - 11 - 13
  EXPECT_EQ(s->hash(), -12);
  testing::internal::CaptureStdout();
  s->print();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "    1    0    2    0   -1   -1\n");

  FILE* f = std::tmpfile();
  ASSERT_EQ(s->fwriteState(f), 0);
  EXPECT_EQ(Bytes(f), (std::vector<unsigned char>{6, 0, 0, 0, 1, 0, 2, 0, 0xFF, 0xFF}));

  m->ownPlaces[1]->setMark(9);
  State* t = nullptr;
  m->ConstructLocalState(t);
  m->GetLocalState(t);
  EXPECT_EQ(s->compare(*t), -1);
  EXPECT_EQ(t->compare(*s), 1);
  std::rewind(f);
  ASSERT_EQ(t->freadState(f), 0);
  EXPECT_EQ(t->compare(*s), 0);
  m->SetLocalState(t);
  EXPECT_EQ(m->ownPlaces[1]->getMark(), 2);
  std::fclose(f);

  *t = *t;
  m->ownPlaces[2]->setMark(4);
  m->GetLocalState(t);
  *s = *t;
  EXPECT_EQ(s->GetStatePtr()[4], 4);
  EXPECT_NE(s->GetStatePtr(), t->GetStatePtr());
  m->DestructLocalState(s);
  m->DestructLocalState(t);
  m->DestructLocalState(nullptr);
  delete m;
}

TEST(SANModelTest, HashAndCompareFollowSignedAndUnsignedBytes) {
  SANModel::LocalState s(2), t(2), e(0);
  s.data[0] = 1;
  s.data[1] = 2;
  EXPECT_EQ(s.hash(), 8);
  t.data[0] = -1;
  t.data[1] = 0;
  EXPECT_EQ(t.hash(), -2);
  EXPECT_EQ(e.hash(), 0);
  EXPECT_EQ(s.compare(t), -1);  // 0x01 < 0xFF
  EXPECT_EQ(e.compare(e), 0);
  // Images of different sizes are compared without reading past either.
  EXPECT_EQ(e.compare(s), -1);
  EXPECT_EQ(s.compare(e), 1);
  // The hash weights wrap at 256 positions.
  SANModel::LocalState big(257);
  big.data[256] = 1;
  EXPECT_EQ(big.hash(), 2);
}

// A stored size that does not fit, a negative one, or a record cut short is
// refused with the state left as it was; a smaller image is accepted.
TEST(SANModelTest, ReadingASavedStateNeverOverrunsTheBuffer) {
  SANModel::LocalState s(4);
  for (int i = 0; i < 4; i++) s.data[i] = static_cast<char>(10 + i);
  auto unchanged = [&s]() {
    return s.size == 4 && s.data[0] == 10 && s.data[1] == 11 && s.data[2] == 12 && s.data[3] == 13;
  };
  const std::vector<std::vector<unsigned char>> refused = {
      {5, 0, 0, 0, 1, 2, 3, 4, 5},               // larger than the buffer
      {0, 0, 0, 0x80, 1, 2, 3, 4},               // negative
      {0xFF, 0xFF, 0xFF, 0xFF},                  // -1
      {4, 0, 0, 0, 1, 2},                        // data cut short
      {4, 0},                                    // size cut short
      {},                                        // nothing
      {0, 0, 0, 1, 1, 2, 3, 4},                  // 16 MiB
  };
  for (const std::vector<unsigned char>& record : refused) {
    FILE* f = FileWith(record);
    EXPECT_NE(s.freadState(f), 0);
    EXPECT_TRUE(unchanged());
    std::fclose(f);
  }
  FILE* f = FileWith({2, 0, 0, 0, 7, 8, 4, 0, 0, 0, 1, 2, 3, 4});
  ASSERT_EQ(s.freadState(f), 0);
  EXPECT_EQ(s.size, 2);
  EXPECT_EQ(s.data[0], 7);
  // The buffer keeps its capacity: a full-size record still fits afterwards.
  ASSERT_EQ(s.freadState(f), 0);
  EXPECT_EQ(s.size, 4);
  EXPECT_EQ(s.data[3], 4);
  std::fclose(f);
}

TEST(SANModelTest, ListsFindModelsActionsAndVariablesByName) {
  TestSAN* m = ThreePlaceModel("m");
  List<BaseActionClass> acts;
  m->listActions("x", &acts);
  ASSERT_EQ(acts.getNumItems(), 1);
  EXPECT_EQ(acts[0], m->ownActivities[0]);
  m->listActions("nothing", &acts);
  m->listActions(&acts);
  EXPECT_EQ(acts.getNumItems(), 3);
  List<BaseGroupClass> groups;
  m->listGroups(&groups);
  EXPECT_EQ(groups.getNumItems(), 3);

  List<BaseModelClass> models;
  m->listModels("other", &models);
  EXPECT_EQ(models.getNumItems(), 0);
  m->listModels("m", &models);
  EXPECT_EQ(models[0], m);

  List<BaseStateVariableClass> svs;
  List<BaseModelClass> owners;
  m->listSVs("other", "p1", &svs, &owners);
  EXPECT_EQ(svs.getNumItems(), 0);
  m->listSVs("m", "p1", &svs, &owners);
  m->listSVs("m", "p1", &svs, &owners);
  ASSERT_EQ(svs.getNumItems(), 1);
  EXPECT_EQ(svs[0], m->ownPlaces[1]);
  EXPECT_EQ(owners.getNumItems(), 1);
  delete m;
}

TEST(SANModelTest, PrintsStateAndModelInfo) {
  TestSAN* m = ThreePlaceModel("m");
  std::ostringstream out;
  m->printState(&out);
  EXPECT_EQ(out.str(), "Model: (" + std::to_string(m->modelId) + ")m\n  p0 = 1\n  p1 = 2\n  p2 = -1\n");
  testing::internal::CaptureStdout();
  m->PrintSANModelInfo();
  std::string info = testing::internal::GetCapturedStdout();
  std::string action0 =
      "ActionName = x\nGroup Id = 0\nDistributionType = 1\nExecutionPolicy = 1\n"
      "Number of affected state variables = 2\nNumber of enabling state variables = 1\n";
  EXPECT_EQ(info.find("SANModelInfo\nNumber of Actions = 3, Number of Groups = 3, Number of "
                      "State Variables = 3\n" + action0),
            0u);
  EXPECT_NE(info.find("\n\nGroup Name = x \nGroup Name = x \nGroup Name = y \nPlace Name = p0\n"
                      "Place Name = p1\nPlace Name = p2\n"),
            std::string::npos);
  delete m;
}

// Places shared as followers leave the image; the actions touching them are
// the global ones.
TEST(SANModelTest, SharedPlacesLeaveTheImageAndMakeTheirActionsGlobal) {
  TestSAN* m = ThreePlaceModel();
  Place outside("p0", 0);
  outside.ShareWith(m->ownPlaces[0]);
  EXPECT_EQ(m->StateSize(), 4);
  unsigned char image[4];
  m->CurrentState(image);
  EXPECT_EQ(std::vector<unsigned char>(image, image + 4),
            (std::vector<unsigned char>{2, 0, 0xFF, 0xFF}));

  slist<BaseActionClass*> global, local;
  m->GetGlobalActions(global);
  m->GetLocalActions(local);
  std::vector<BaseActionClass*> g(global.begin(), global.end());
  ASSERT_EQ(g.size(), 2u);
  EXPECT_GT(g[0], g[1]);  // decreasing pointer order
  BaseActionClass* x0 = m->ownActivities[0];
  BaseActionClass* y = m->ownActivities[2];
  EXPECT_TRUE((g[0] == x0 && g[1] == y) || (g[0] == y && g[1] == x0));
  std::vector<BaseActionClass*> l(local.begin(), local.end());
  EXPECT_EQ(l, (std::vector<BaseActionClass*>{m->ownActivities[1]}));

  outside.ShareWith(m->ownPlaces[1]);
  outside.ShareWith(m->ownPlaces[2]);
  EXPECT_EQ(m->StateSize(), 0);
  EXPECT_FALSE(m->HasLocalState());
  delete m;
}

// Two places of one model shared with each other: the one that keeps the
// storage keeps its bytes in the image, so its value is saved and restored.
TEST(SANModelTest, APlaceKeepingTheGroupsStorageStaysInTheImage) {
  TestSAN* m = ThreePlaceModel();
  m->ownPlaces[1]->ShareWith(m->ownPlaces[2]);  // p1 main (value -1), p2 follower
  ASSERT_EQ(m->StateSize(), 4);
  std::vector<unsigned char> image(4);
  m->CurrentState(image.data());
  EXPECT_EQ(image, (std::vector<unsigned char>{1, 0, 0xFF, 0xFF}));
  m->ownPlaces[2]->setMark(6);
  m->SetState(image.data());
  EXPECT_EQ(m->ownPlaces[2]->getMark(), -1);
  delete m;
}

class BareModel : public BaseModelClass {
 public:
  void listModels(const char*, List<BaseModelClass>*) override {}
  void CurrentState(void*) override {}
  void listActions(List<BaseActionClass>*) override {}
  void listGroups(List<BaseGroupClass>*) override {}
  void SetState(void*) override {}
  int StateSize() override { return 0; }
  bool CompareState(void*, void*) override { return true; }
  void listActions(const char*, List<BaseActionClass>*) override {}
  void listSVs(const char*, const char*, List<BaseStateVariableClass>*,
               List<BaseModelClass>*) override {}
};

TEST(SANModelTest, BaseModelDefaults) {
  BareModel b;
  EXPECT_EQ(b.GetSharedStateVariables(), nullptr);
  EXPECT_EQ(b.GetLocalStateVariables(nullptr), nullptr);
  EXPECT_EQ(b.getMainSharedVariable(nullptr), nullptr);
  EXPECT_EQ(b.getListOfSharedVariables(nullptr), nullptr);
  b.DefineName("bare");
  EXPECT_STREQ(b.name, "bare");
  BaseModelClass::LastActionTime = 2.5;
  EXPECT_EQ(BaseModelClass::LastActionTime, 2.5);
  BaseModelClass::LastActionTime = 0.0;
}

TEST(SANModelDeathTest, UnsupportedOperationsAndMismatchedCopiesFail) {
  EXPECT_DEATH({ BareModel().GetModelType(); }, "Assertion `false' failed");
  EXPECT_DEATH({ BareModel().HasLocalState(); }, "Assertion `false' failed");
  EXPECT_DEATH(
      {
        slist<BaseActionClass*> out;
        BareModel().GetLocalActions(out);
      },
      "false");
  EXPECT_DEATH(
      {
        TestSAN* m = ThreePlaceModel();
        m->GetChild(0);
      },
      "SANModel.cpp.*false");
  EXPECT_DEATH(
      {
        SANModel::LocalState a(2);
        SANModel::LocalState b(3);
        a = b;
      },
      "size == _localS->size");
}

}  // namespace
