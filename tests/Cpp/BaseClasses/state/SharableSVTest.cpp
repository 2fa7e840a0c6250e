#include "Cpp/BaseClasses/state/SharableSV.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <vector>

#include "Cpp/BaseClasses/BaseActionClass.h"
#include "Cpp/BaseClasses/state/MemoryCopy.h"
#include "Cpp/BaseClasses/state/Place.h"
#include "Cpp/BaseClasses/state/SharedStateVarLink.h"

namespace {

std::vector<BaseActionClass*> Items(const List<BaseActionClass>* l) {
  std::vector<BaseActionClass*> out;
  for (int i = 0; i < l->getNumItems(); i++) out.push_back(l->getItem(i));
  return out;
}

std::vector<BaseStateVariableClass*> Items(const List<BaseStateVariableClass>& l) {
  std::vector<BaseStateVariableClass*> out;
  for (int i = 0; i < l.getNumItems(); i++) out.push_back(l.getItem(i));
  return out;
}

// Connects v and a both ways, as a model's arcs do.
void Enable(BaseStateVariableClass* v, BaseActionClass* a) {
  v->appendEnabledAction(a);
  a->addEnablingSV(v);
}
void Affect(BaseStateVariableClass* v, BaseActionClass* a) {
  v->appendAffectingAction(a);
  a->addAffectedSV(v);
}

TEST(SharableSVTest, NewPlaceHasTwoRegisteredPointersAndATwoByteImage) {
  Place p("p", 3);
  std::ostringstream out;
  p.printState(&out);
  EXPECT_EQ(out.str(), "p = 3\n");
  std::ostringstream val;
  p.printStateVal(&val);
  EXPECT_EQ(val.str(), "3");
  EXPECT_EQ(p.StateSize(), 2);
  EXPECT_EQ(p.getSharingCount(), 2);
  EXPECT_TRUE(p.getStored());
  EXPECT_FALSE(p.getShared());
  EXPECT_EQ(p.mark, p.value);

  unsigned char image[2] = {0, 0};
  p.setMark(-2);
  p.CurrentState(image);
  EXPECT_EQ(image[0], 0xFE);  // little-endian 16-bit -2
  EXPECT_EQ(image[1], 0xFF);
  unsigned char in[2] = {0x34, 0x12};
  p.SetState(in);
  EXPECT_EQ(p.getMark(), 0x1234);

  Place d;
  EXPECT_STREQ(d.name, "default");
  EXPECT_STREQ(d.prefix, "");
  EXPECT_EQ(d.getMark(), 0);
}

// Case 1 (both stored): the merged value is other's, only this stays stored,
// and every registered pointer of both leads to one storage.
TEST(SharableSVTest, SharingTwoStoredPlacesMergesStorageListsAndPointers) {
  Place a("a", 1);
  Place b("b", 5);
  short* activityPointerA = nullptr;
  short* activityPointerB = nullptr;
  a.RegisterPointer(&activityPointerA);
  b.RegisterPointer(&activityPointerB);
  BaseActionClass readsA, readsB, readsBoth, writesB;
  Enable(&a, &readsA);
  Enable(&b, &readsB);
  Enable(&a, &readsBoth);
  Enable(&b, &readsBoth);
  Affect(&b, &writesB);

  a.ShareWith(&b);

  EXPECT_EQ(a.getMark(), 5);
  EXPECT_EQ(b.getMark(), 5);
  EXPECT_TRUE(a.getStored());
  EXPECT_TRUE(a.getShared());
  EXPECT_FALSE(b.getStored());
  EXPECT_TRUE(b.getShared());
  EXPECT_EQ(b.mainVariable, &a);
  EXPECT_EQ(a.getSharingCount(), 6);  // 3 pointers each

  b.setMark(7);
  EXPECT_EQ(a.getMark(), 7);
  *activityPointerA = 8;
  EXPECT_EQ(b.getMark(), 8);
  *activityPointerB = 9;
  EXPECT_EQ(a.getMark(), 9);
  EXPECT_EQ(b.value, a.value);

  // One pair of lists, merged in order, no repeats.
  EXPECT_EQ(b.enabledActions, a.enabledActions);
  EXPECT_EQ(b.affectingActions, a.affectingActions);
  EXPECT_EQ(Items(a.enabledActions),
            (std::vector<BaseActionClass*>{&readsA, &readsBoth, &readsB}));
  EXPECT_EQ(Items(a.affectingActions), (std::vector<BaseActionClass*>{&writesB}));
  // Actions now list the main variable, once.
  EXPECT_EQ(Items(readsB.enablingSVs), (std::vector<BaseStateVariableClass*>{&a}));
  EXPECT_EQ(Items(readsBoth.enablingSVs), (std::vector<BaseStateVariableClass*>{&a}));
  EXPECT_EQ(Items(writesB.affectedSVs), (std::vector<BaseStateVariableClass*>{&a}));
}

TEST(SharableSVTest, SharingCountOfAPlainPairIsFour) {
  Place a("a", 1);
  Place b("b", 5);
  a.ShareWith(&b);
  EXPECT_EQ(a.getSharingCount(), 4);
  EXPECT_EQ(a.getMark(), 5);
}

// Cases 2 and 3: whichever side is the follower, the stored newcomer joins
// the existing main, keeps no storage of its own and does not change the
// group's value.
TEST(SharableSVTest, StoredNewcomerJoinsTheExistingMainFromEitherSide) {
  Place m("m", 4);
  Place f("f", 0);
  Place x("x", 11);
  Place y("y", 12);
  m.ShareWith(&f);  // m main, f follower, value 0
  m.setMark(4);

  f.ShareWith(&x);  // case 2: this (f) follower, other (x) stored
  EXPECT_FALSE(x.getStored());
  EXPECT_EQ(x.mainVariable, &m);
  EXPECT_EQ(x.getMark(), 4);

  y.ShareWith(&f);  // case 3: this (y) stored, other (f) follower
  EXPECT_FALSE(y.getStored());
  EXPECT_EQ(y.mainVariable, &m);
  EXPECT_EQ(y.getMark(), 4);

  EXPECT_TRUE(m.getStored());
  y.setMark(21);
  for (Place* p : {&m, &f, &x, &y}) EXPECT_EQ(p->getMark(), 21);
  EXPECT_EQ(m.getSharingCount(), 8);
}

// Case 4: both followers; the main of the larger-count side stays stored.
TEST(SharableSVTest, TwoGroupsMergeUnderOneMain) {
  Place m1("m1", 1), f1("f1", 0);
  Place m2("m2", 2), f2("f2", 0), g2("g2", 0);
  m1.ShareWith(&f1);
  m2.ShareWith(&f2);
  m2.ShareWith(&g2);
  m1.setMark(1);
  m2.setMark(2);
  BaseActionClass readsF1, readsG2;
  Enable(&f1, &readsF1);  // recorded in group 1's one list
  Enable(&g2, &readsG2);

  // other's main (m2) has sharingCount 6, this (f1) has 2: this's main is
  // redirected to m2.
  f1.ShareWith(&g2);
  EXPECT_TRUE(m2.getStored());
  EXPECT_FALSE(m1.getStored());
  EXPECT_EQ(m1.mainVariable, &m2);
  EXPECT_EQ(f1.mainVariable, &m1);  // followers keep their own main link
  for (Place* p : {&m1, &f1, &m2, &f2, &g2}) EXPECT_EQ(p->getMark(), 2);
  f1.setMark(30);
  for (Place* p : {&m1, &f1, &m2, &f2, &g2}) EXPECT_EQ(p->getMark(), 30);
  EXPECT_EQ(m2.getSharingCount(), 10);
  EXPECT_EQ(Items(m2.enabledActions), (std::vector<BaseActionClass*>{&readsG2, &readsF1}));
  EXPECT_EQ(f1.enabledActions, m2.enabledActions);
  EXPECT_EQ(Items(readsG2.enablingSVs), (std::vector<BaseStateVariableClass*>{&m2}));
}

// A follower whose recorded main was itself redirected later still joins
// the group's real storage, and sharing within one group changes nothing.
TEST(SharableSVTest, SharingThroughAStaleMainLinkOrWithinAGroupKeepsOneStorage) {
  Place top("top", 0), inner("inner", 0), child("child", 3), late("late", 6);
  inner.ShareWith(&child);  // inner main of child
  top.ShareWith(&inner);    // top main; child's mainVariable is still inner
  EXPECT_EQ(child.mainVariable, &inner);
  EXPECT_EQ(top.getMark(), 3);

  child.ShareWith(&late);  // case 2 through the stale link
  EXPECT_TRUE(top.getStored());
  EXPECT_FALSE(late.getStored());
  late.setMark(13);
  for (Place* p : {&top, &inner, &child, &late}) EXPECT_EQ(p->getMark(), 13);

  int count = top.getSharingCount();
  child.ShareWith(&inner);
  top.ShareWith(&top);
  late.ShareWith(&child);
  EXPECT_EQ(top.getSharingCount(), count);
  EXPECT_TRUE(top.getStored());
  for (Place* p : {&top, &inner, &child, &late}) EXPECT_EQ(p->getMark(), 13);
}

// Sharing a pair again, either way round, or a variable with itself, leaves
// the actions' lists as they were: the main stays in them (it was taken out
// when the main was "replaced" by itself).
TEST(SharableSVTest, SharingAgainLeavesTheActionsListsAlone) {
  Place joint("joint", 0), own("own", 1), alone("alone", 2);
  BaseActionClass writer, reader, other;
  Affect(&own, &writer);
  Enable(&own, &reader);
  Affect(&alone, &other);
  Enable(&alone, &other);
  joint.ShareWith(&own);
  const std::vector<BaseStateVariableClass*> expected = {&joint};
  ASSERT_EQ(Items(writer.affectedSVs), expected);
  own.ShareWith(&joint);
  joint.ShareWith(&own);
  joint.ShareWith(&joint);
  EXPECT_EQ(Items(writer.affectedSVs), expected);
  EXPECT_EQ(Items(reader.enablingSVs), expected);
  alone.ShareWith(&alone);
  EXPECT_EQ(Items(other.affectedSVs), (std::vector<BaseStateVariableClass*>{&alone}));
  EXPECT_EQ(Items(other.enablingSVs), (std::vector<BaseStateVariableClass*>{&alone}));
}

TEST(SharableSVTest, AffectingActionsAreRecordedOnlyThroughTheMain) {
  Place m("m", 0), f("f", 0);
  m.ShareWith(&f);
  BaseActionClass a, b;
  f.appendAffectingAction(&a);
  EXPECT_EQ(m.getNumAffectingActions(), 0);
  m.appendAffectingAction(&b);
  EXPECT_EQ(Items(f.affectingActions), (std::vector<BaseActionClass*>{&b}));
  m.appendAffectingAction(&b);
  EXPECT_EQ(m.getNumAffectingActions(), 1);
}

TEST(SharableSVTest, ListAccessorsReportOutOfBoundsIndices) {
  Place p("p", 0);
  BaseActionClass a;
  p.appendEnabledAction(&a);
  EXPECT_EQ(p.getEnabledAction(0), &a);
  testing::internal::CaptureStderr();
  EXPECT_EQ(p.getEnabledAction(1), nullptr);
  EXPECT_EQ(p.getAffectingAction(0), nullptr);
  EXPECT_EQ(p.getEnabledAction(-1), nullptr);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("!! BaseStateVariableClass::getEnabledAction(int):  EnabledAction index out "
                     "of bounds\n"),
            std::string::npos);
  EXPECT_NE(err.find("!! BaseStateVariableClass::getAffectingAction(int):  AffectingAction index "
                     "out of bounds\n"),
            std::string::npos);

  p.SetName("q");
  p.SetPrefix("model");
  EXPECT_STREQ(p.name, "q");
  EXPECT_STREQ(p.prefix, "model");
  testing::internal::CaptureStdout();
  p.printEnabledActions();
  p.printAffectingActions();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("Enabled actions for q:\n[0] "), 0u);
  EXPECT_NE(out.find("Affecting actions for q:\nNo items in the list\n"), std::string::npos);
  List<BaseStateVariableClass>* leaves = p.getLeafNodes();
  EXPECT_EQ(Items(*leaves), (std::vector<BaseStateVariableClass*>{&p}));
  delete leaves;
}

TEST(SharableSVTest, SharedStateVarLinkChainsAppendSearchAndPrint) {
  Place a("a", 0), b("b", 0), c("c", 0);
  SharedStateVarLink* chain = new SharedStateVarLink(&a);
  chain->addStateVarLink(new SharedStateVarLink(&b, nullptr));
  EXPECT_TRUE(chain->hasStateVar(&b));
  EXPECT_FALSE(chain->hasStateVar(&c));
  EXPECT_FALSE(chain->next->hasStateVar(&a));
  testing::internal::CaptureStdout();
  chain->printAllStateVariables();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("      This link holds state var a at address "), 0u);
  EXPECT_NE(out.find("      This link holds state var b at address "), std::string::npos);
  SharedStateVarLink::clearStateVarList(chain);
  SharedStateVarLink::clearStateVarList(nullptr);
}

TEST(SharableSVTest, MemoryCopiesAreRawNativeBytes) {
  unsigned char buf[16];
  writeMemory<double>(1.5, buf + 1);  // unaligned
  double d = 0;
  readMemory2<double>(buf + 1, &d);
  EXPECT_EQ(d, 1.5);
  int src[3] = {1, -2, 3}, dst[3] = {0, 0, 0};
  writeArray<int>(src, buf, 3);
  readArray<int>(dst, buf, 3);
  EXPECT_EQ(std::memcmp(src, dst, sizeof src), 0);
}

class NotSharable : public BaseStateVariableClass {
 public:
  int StateSize() override { return 0; }
  void SetState(void*) override {}
  void CurrentState(void*) override {}
  void share(BaseStateVariableClass*) override {}
};

class OwnerlessStorage : public SharableSV<short> {
 public:
  OwnerlessStorage() {
    value = new short(0);
    RegisterOwnedPointer(&value, nullptr);
  }
};

TEST(SharableSVDeathTest, RegisteringOwnStorageWithoutAnOwnerFails) {
  EXPECT_DEATH({ OwnerlessStorage s; }, "NextElement->getOwner\\(\\)");
}

TEST(SharableSVDeathTest, SharingWithAnotherKindOfVariableFails) {
  EXPECT_DEATH(
      {
        Place p("p", 0);
        NotSharable other;
        p.share(&other);
      },
      "otherSV");
}

}  // namespace
