#include "Cpp/BaseClasses/BaseGroupClass.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "Cpp/BaseClasses/Activity.h"
#include "Cpp/BaseClasses/EmptyGroup.h"
#include "Cpp/BaseClasses/PostselectGroup.h"
#include "Cpp/BaseClasses/PreselectGroup.h"
#include "Cpp/BaseClasses/SingleGroup.h"
#include "Cpp/BaseClasses/state/Place.h"
#include "tests/Cpp/BaseClasses/FrameworkTestSupport.h"

namespace {

using framework_test::FixedGenerator;
using framework_test::InstallGenerator;
using framework_test::TestActivity;

PostselectGroup* CaseGroup(const char* name, const std::vector<TestActivity*>& cases) {
  PostselectGroup* g = new PostselectGroup();
  g->initialize(static_cast<int>(cases.size()), name);
  for (TestActivity* a : cases) g->appendGroup(a);
  return g;
}

TEST(BaseGroupClassTest, SelectionKeepsTheTopRankAndBisectsTheCumulativeWeights) {
  TestActivity low("low", 1, 5.0), a("a", 2, 0.2), b("b", 2, 0.8);
  PostselectGroup* g = CaseGroup("g", {&a, &low, &b});
  FixedGenerator* gen = InstallGenerator({0.5});

  ASSERT_TRUE(g->SelectAction());
  EXPECT_EQ(gen->next, 1u);
  EXPECT_EQ(g->selectedAction, &b);  // x = 0.5 of total 1.0: past a's 0.2
  EXPECT_EQ(g->selectedRank, 2);
  EXPECT_EQ(g->numWeights, 2);
  EXPECT_DOUBLE_EQ(g->weightDistribution[0].weight, 0.2);
  EXPECT_DOUBLE_EQ(g->weightDistribution[1].weight, 1.0);
  EXPECT_TRUE(low.disabled);
  EXPECT_FALSE(a.disabled);
  EXPECT_FALSE(b.disabled);

  gen->values = {0.1};
  gen->next = 0;
  ASSERT_TRUE(g->SelectAction());
  EXPECT_EQ(g->selectedAction, &a);

  // A higher rank met later drops the earlier candidates (whose flags stay).
  TestActivity c("c", 1, 1.0), d("d", 1, 1.0), top("top", 3, 0.5);
  PostselectGroup* h = CaseGroup("h", {&c, &d, &top});
  gen->values = {0.99};
  gen->next = 0;
  ASSERT_TRUE(h->SelectAction());
  EXPECT_EQ(h->selectedAction, &top);
  EXPECT_EQ(h->numWeights, 1);
  EXPECT_FALSE(c.disabled);
  EXPECT_FALSE(d.disabled);
  delete g;
  delete h;
}

TEST(BaseGroupClassTest, BisectionAgreesWithALinearSearchOverManyDraws) {
  std::vector<double> weights = {0.5, 0.0, 1.5, 0.25, 3.0, 0.0, 0.75};
  std::vector<TestActivity*> cases;
  for (size_t i = 0; i < weights.size(); i++) {
    cases.push_back(new TestActivity(("c" + std::to_string(i)).c_str(), 1, weights[i]));
  }
  PostselectGroup* g = CaseGroup("g", cases);
  FixedGenerator* gen = InstallGenerator({});
  double total = 6.0;
  for (int k = 0; k < 200; k++) {
    double u = (k + 0.5) / 200.0;
    gen->values = {u};
    gen->next = 0;
    ASSERT_TRUE(g->SelectAction());
    double x = total * u, cumulative = 0.0;
    size_t expected = weights.size() - 1;
    for (size_t i = 0; i < weights.size(); i++) {
      cumulative += weights[i];
      if (x < cumulative) {
        expected = i;
        break;
      }
    }
    EXPECT_EQ(g->selectedAction, cases[expected]) << "u = " << u;
  }
  delete g;
  for (TestActivity* a : cases) delete a;
}

TEST(BaseGroupClassTest, ZeroWeightsChooseTheLastCandidateAndNoneEnabledChangesNothing) {
  TestActivity a("a", 1, 0.0), b("b", 1, 0.0), off("off", 1, 0.0);
  off.on = false;
  PostselectGroup* g = CaseGroup("g", {&a, &b, &off});
  FixedGenerator* gen = InstallGenerator({0.7});
  ASSERT_TRUE(g->SelectAction());
  EXPECT_EQ(g->selectedAction, &b);
  EXPECT_TRUE(off.disabled);

  a.on = false;
  b.on = false;
  gen->next = 0;
  EXPECT_FALSE(g->SelectAction());
  EXPECT_EQ(gen->next, 1u);  // the uniform is drawn first, whatever follows
  EXPECT_EQ(g->selectedAction, &b);
  EXPECT_TRUE(a.disabled);
  EXPECT_TRUE(b.disabled);
  EXPECT_DOUBLE_EQ(g->CalculateWeightDistribution(), -1.0);
  delete g;
}

// A uniform of exactly 1 (the Tausworthe generator returns it for one of
// its states) reaches the total weight: the last case with weight is
// chosen, never a case of weight zero after it.
TEST(BaseGroupClassTest, AUniformOfOneNeverChoosesACaseOfWeightZero) {
  TestActivity a("a", 1, 0.75), b("b", 1, 0.25), none("none", 1, 0.0), also("also", 1, 0.0);
  PostselectGroup* g = CaseGroup("g", {&a, &b, &none, &also});
  InstallGenerator({1.0});
  ASSERT_TRUE(g->SelectAction());
  EXPECT_EQ(g->selectedAction, &b);
  delete g;
}

TEST(BaseGroupClassTest, PostselectGroupChoosesWhenFiredAndIsTimedByItsFirstMember) {
  TestActivity a("a", 1, 1.0), b("b", 1, 3.0);
  PostselectGroup* g = CaseGroup("g", {&a, &b});
  FixedGenerator* gen = InstallGenerator({0.9, 0.5});
  EXPECT_DOUBLE_EQ(g->Weight(), 1.0);
  EXPECT_EQ(g->Rank(), 1);
  EXPECT_TRUE(g->Enabled());
  EXPECT_EQ(g->Fire(), &b);
  EXPECT_EQ(b.fires, 1);
  EXPECT_EQ(g->selectedAction, nullptr);
  // SampleDistribution is the first member's: one exponential from 0.5.
  EXPECT_DOUBLE_EQ(g->SampleDistribution(), -std::log(0.5) / 2.0);
  EXPECT_EQ(gen->next, 2u);

  // Nothing enabled when fired: nothing fires.
  a.on = b.on = false;
  EXPECT_EQ(g->Fire(), nullptr);
  EXPECT_EQ(a.fires + b.fires, 1);
  delete g;
}

// The chosen activity answered Enabled() a moment before, in the same
// state: it is not asked again, and what its history tells afterwards is
// what it would have told had it been asked twice. A chosen group still
// makes its own selection (and draw).
TEST(BaseGroupClassTest, AChosenActivityIsAskedOnceAndAChosenGroupSelectsAgain) {
  TestActivity a("a", 1, 1.0), b("b", 1, 1.0);
  PostselectGroup* g = CaseGroup("g", {&a, &b});
  a.on = false;
  a.Enabled();
  a.on = true;
  a.enabledCalls = 0;
  FixedGenerator* gen = InstallGenerator({0.1});
  ASSERT_TRUE(g->SelectAction());
  EXPECT_EQ(g->selectedAction, &a);
  EXPECT_EQ(gen->next, 1u);
  EXPECT_EQ(a.enabledCalls, 1);
  EXPECT_EQ(b.enabledCalls, 1);
  EXPECT_TRUE(a.currentEnabled);
  // The next EnablingChange() compares against the answer of the
  // selection, as it would have after a second question.
  EXPECT_FALSE(a.EnablingChange());
  a.on = false;
  EXPECT_TRUE(a.EnablingChange());

  a.on = true;
  a.enabledCalls = b.enabledCalls = 0;
  PostselectGroup* outer = new PostselectGroup();
  outer->initialize(1, "outer");
  outer->appendGroup(g);
  gen->values = {0.1, 0.9};
  gen->next = 0;
  ASSERT_TRUE(outer->SelectAction());
  EXPECT_EQ(outer->selectedAction, &b);  // g selects again, with the second draw
  EXPECT_EQ(gen->next, 2u);
  EXPECT_EQ(a.enabledCalls, 2);  // once for outer's candidates, once for g's
  EXPECT_EQ(b.enabledCalls, 2);
  delete outer;
  delete g;
}

TEST(BaseGroupClassTest, NestedGroupsSelectThroughEveryLevel) {
  TestActivity a("a", 1, 1.0), b("b", 1, 1.0), c("c", 1, 2.0);
  PostselectGroup* inner = CaseGroup("inner", {&a, &b});
  PostselectGroup* outer = new PostselectGroup();
  outer->initialize(2, "outer");
  outer->appendGroup(inner);  // weight 1, rank 1
  outer->appendGroup(&c);     // weight 2, rank 1
  InstallGenerator({0.2, 0.75});
  ASSERT_TRUE(outer->SelectAction());
  EXPECT_EQ(outer->selectedAction, &b);  // outer picks inner (0.6 < 1), inner picks b
  EXPECT_TRUE(outer->IsAMember(inner));
  EXPECT_FALSE(outer->IsAMember(&a));

  // Probability: inner has 1/3 of outer's weight, b half of inner's.
  EXPECT_DOUBLE_EQ(outer->Probability(&b), 1.0 / 3.0 * 0.5);
  EXPECT_DOUBLE_EQ(outer->Probability(&c), 2.0 / 3.0);
  c.rank = 2;
  EXPECT_DOUBLE_EQ(outer->Probability(&b), 0.0);

  outer->setGroupId(7);
  EXPECT_EQ(a.groupId, 7);
  EXPECT_EQ(c.groupId, 7);
  EXPECT_EQ(outer->groupId, 0);

  testing::internal::CaptureStdout();
  outer->printGroup();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "** Members of Group outer\n[0] inner\n  [0.0] a\n  [0.1] b\n[1] c\n");
  delete outer;
  delete inner;
}

TEST(BaseGroupClassTest, ProbabilityWithZeroTotalWeightReportsIt) {
  TestActivity a("a", 1, 0.0);
  PostselectGroup* g = CaseGroup("g", {&a});
  testing::internal::CaptureStdout();
  double p = g->Probability(&a);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "BaseGroupClass::Probability() TotalWeight is zero.\n");
  EXPECT_TRUE(p != p);  // 0/0
  delete g;
}

TEST(BaseGroupClassTest, ProbabilityOfAMemberThatIsNotEnabledIsZero) {
  TestActivity a("a", 1, 1.0), b("b", 1, 3.0), off("off", 1, 5.0), offHigh("offHigh", 2, 1.0);
  off.on = false;
  offHigh.on = false;
  PostselectGroup* g = CaseGroup("g", {&a, &off, &b, &offHigh});
  EXPECT_DOUBLE_EQ(g->Probability(&off), 0.0);
  EXPECT_DOUBLE_EQ(g->Probability(&offHigh), 0.0);
  EXPECT_DOUBLE_EQ(g->Probability(&a), 0.25);
  EXPECT_DOUBLE_EQ(g->Probability(&b), 0.75);
  delete g;
}

TEST(BaseGroupClassTest, ProbabilityReachesActionsNestedSeveralLevelsDown) {
  // outer { mid { inner { a, b }, c }, d }: every post-select group has
  // weight 1, so outer picks mid half the time, mid picks inner half the
  // time, and inner picks b three times in four.
  TestActivity a("a", 1, 1.0), b("b", 1, 3.0), c("c", 1, 1.0), d("d", 1, 1.0);
  PostselectGroup* inner = CaseGroup("inner", {&a, &b});
  PostselectGroup* mid = new PostselectGroup();
  mid->initialize(2, "mid");
  mid->appendGroup(inner);
  mid->appendGroup(&c);
  PostselectGroup* outer = new PostselectGroup();
  outer->initialize(2, "outer");
  outer->appendGroup(mid);
  outer->appendGroup(&d);
  EXPECT_DOUBLE_EQ(outer->Probability(&a), 0.5 * 0.5 * 0.25);
  EXPECT_DOUBLE_EQ(outer->Probability(&b), 0.5 * 0.5 * 0.75);
  EXPECT_DOUBLE_EQ(outer->Probability(&c), 0.25);
  EXPECT_DOUBLE_EQ(outer->Probability(&d), 0.5);
  delete outer;
  delete mid;
  delete inner;
}

TEST(BaseGroupClassTest, ProbabilityTakesTheTopRankWhateverItsSign) {
  TestActivity a("a", -1, 1.0), b("b", -1, 3.0), low("low", -2, 1.0);
  PostselectGroup* g = CaseGroup("g", {&a, &b, &low});
  EXPECT_DOUBLE_EQ(g->Probability(&a), 0.25);
  EXPECT_DOUBLE_EQ(g->Probability(&b), 0.75);
  EXPECT_DOUBLE_EQ(g->Probability(&low), 0.0);
  delete g;
}

TEST(BaseGroupClassTest, PreselectGroupHoldsItsChoiceUntilItFires) {
  TestActivity a("a", 4, 1.0), b("b", 6, 1.0);
  PreselectGroup* g = new PreselectGroup(2);
  g->defineName("pre");
  g->appendGroup(&a);
  g->appendGroup(&b);
  EXPECT_TRUE(g->needSelection);
  FixedGenerator* gen = InstallGenerator({0.3});
  EXPECT_EQ(g->Rank(), 6);  // selection made on the first query
  EXPECT_FALSE(g->needSelection);
  EXPECT_EQ(g->selectedAction, &b);
  g->Rank();
  g->SampleDistribution();  // b's own exponential draw
  EXPECT_EQ(gen->next, 2u);
  EXPECT_EQ(g->Fire(), &b);
  EXPECT_TRUE(g->needSelection);
  EXPECT_EQ(g->selectedAction, &b);  // kept; the next query selects anew
  b.on = false;
  EXPECT_TRUE(g->Enabled());
  EXPECT_EQ(g->selectedAction, &a);
  a.on = false;
  g->needSelection = true;
  EXPECT_EQ(g->Rank(), 4);  // nothing selectable: the last selection answers
  EXPECT_TRUE(g->needSelection);
  delete g;
}

TEST(BaseGroupClassTest, EnablingChangeReportsEachTransitionOnce) {
  TestActivity a("a"), b("b");
  a.on = false;
  EXPECT_FALSE(a.EnablingChange());  // false -> false
  a.on = true;
  EXPECT_TRUE(a.EnablingChange());  // false -> true
  EXPECT_FALSE(a.EnablingChange());
  EXPECT_EQ(a.enabledCalls, 3);

  PostselectGroup* g = CaseGroup("g", {&a, &b});
  b.Enabled();
  EXPECT_FALSE(g->EnablingChange());
  b.on = false;
  EXPECT_TRUE(g->EnablingChange());  // any member's change counts
  EXPECT_FALSE(g->EnablingChange());
  delete g;
}

TEST(BaseGroupClassTest, ActivityIsItsOwnSelection) {
  TestActivity a("a");
  BaseActionClass other;
  EXPECT_EQ(a.selectedAction, &a);
  EXPECT_TRUE(a.disabled);
  EXPECT_DOUBLE_EQ(a.Probability(&a), 1.0);
  EXPECT_DOUBLE_EQ(a.Probability(&other), 0.0);
  a.on = false;
  EXPECT_FALSE(a.SelectAction());
  EXPECT_EQ(a.selectedAction, &a);
  a.setGroupId(3);
  EXPECT_EQ(a.groupId, 3);
  EXPECT_EQ(a.getPrintedAction(), &a);
  Place p("p", 0);
  a.addAffectedSV(&p);
  EXPECT_TRUE(a.IsAnAffectingStateVariable(&p));
}

TEST(BaseGroupClassTest, ArraysGrowByOneAndByTheIncomingCount) {
  TestActivity a("a"), b("b"), c("c"), d("d");
  BaseGroupClass g;
  g.initialize(2, "g");
  g.appendGroup(&a);
  g.appendGroup(&b);
  EXPECT_EQ(g.arraySize, 2);
  g.appendGroup(&c);
  EXPECT_EQ(g.arraySize, 3);
  EXPECT_EQ(g.getMember(2), &c);

  BaseGroupClass h;
  h.initialize(1, "h");
  h.appendGroup(&d);
  h.appendMembers(&g);
  EXPECT_EQ(h.arraySize, 4);
  EXPECT_EQ(h.numMembers, 4);
  EXPECT_EQ(h.getMember(3), &c);
  h.enlargeArrays(6);
  EXPECT_EQ(h.arraySize, 6);
  EXPECT_EQ(h.getMember(0), &d);

  testing::internal::CaptureStderr();
  h.setMember(&a, 4);
  h.setMember(&a, -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err,
            "Array out of bounds error at Array out of bounds (BaseGroupClass::setMember()\n"
            "Array out of bounds error at Array out of bounds (BaseGroupClass::setMember()\n");
  h.setMember(&a, 0);
  EXPECT_EQ(h.getMember(0), &a);
  h.replaceMember(&a, &b);
  EXPECT_EQ(h.getMember(0), &b);
  EXPECT_EQ(h.getMember(2), &b);

  PostselectGroup fixed(2);
  fixed.defineName("fixed");
  EXPECT_EQ(fixed.numMembers, 2);
  fixed.setMember(&a, 0);
  fixed.setMember(&b, 1);
  testing::internal::CaptureStdout();
  fixed.PrintInfo();
  fixed.SelectAction();
  fixed.PrintInfo();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("************ Group: fixed ****************\nContains the following "
                     "actions:\n  a\n  b\nSelected Action = "),
            std::string::npos);
}

TEST(BaseGroupClassTest, SingleAndEmptyGroups) {
  TestActivity a("a", 2, 0.5);
  a.reactivation = true;
  SingleGroup s;
  EXPECT_EQ(s.numMembers, 1);
  s.SetAction(&a);
  EXPECT_TRUE(s.Enabled());
  EXPECT_TRUE(s.EnablingChange());
  a.Enabled();
  EXPECT_TRUE(s.Enabled());
  EXPECT_FALSE(s.EnablingChange());
  EXPECT_EQ(s.Rank(), 2);
  EXPECT_DOUBLE_EQ(s.Weight(), 0.5);
  EXPECT_DOUBLE_EQ(s.Probability(&a), 1.0);
  EXPECT_DOUBLE_EQ(s.Probability(&s), 0.0);
  testing::internal::CaptureStderr();
  EXPECT_TRUE(s.SelectAction());
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("inconsistant state"), std::string::npos);
  EXPECT_EQ(s.selectedAction, &a);
  EXPECT_FALSE(s.disabled);
  EXPECT_TRUE(s.reactivation);
  EXPECT_EQ(s.Fire(), &a);
  EXPECT_EQ(s.getPrintedAction(), &a);
  s.setGroupId(5);
  EXPECT_EQ(a.groupId, 5);

  SingleGroup wrapped(&a);
  EXPECT_STREQ(wrapped.name, "a");
  EXPECT_TRUE(wrapped.IsAMember(&a));
  EXPECT_TRUE(wrapped.Enabled());
  SingleGroup none(nullptr);
  EXPECT_EQ(none.numMembers, 0);

  EmptyGroup e;
  EXPECT_STREQ(e.name, "ImmediateGroup");
  EXPECT_FALSE(e.Enabled());
  EXPECT_EQ(e.Fire(), nullptr);
  EXPECT_EQ(e.Rank(), 0);
  EXPECT_DOUBLE_EQ(e.SampleDistribution(), 0.0);
  e.SetAction(&a);
  e.SetImpulseList(1, 2.0);
  e.CreateImpulseList(3);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(e.SelectAction());
  EXPECT_NE(testing::internal::GetCapturedStderr().find("inconsistant"), std::string::npos);
}

}  // namespace
