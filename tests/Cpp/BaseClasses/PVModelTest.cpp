#include "Cpp/BaseClasses/PVModel.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Cpp/BaseClasses/BaseGroupClass.h"
#include "tests/Cpp/BaseClasses/PVModelTestModels.h"

namespace {

using reward_test::InstantVariable;
using reward_test::Step;
using reward_test::TestPVModel;
using reward_test::TinyJoin;
using reward_test::TinySAN;
using reward_test::VariableDefinition;

std::vector<int> Elements(FastSet& set) {
  std::vector<int> out;
  for (int i = 0; i < set.size(); i++) out.push_back(set[i]);
  return out;
}

TEST(PVModelTest, CreatePVListMakesOneNodePerTimePointWhenExpanding) {
  int firstId = PerformanceVariableNode::the_id;
  TestPVModel expanded(new TinySAN(), {InstantVariable("count", {30, 180, 365}, "x", "tiny")},
                       true);
  ASSERT_EQ(expanded.GetNumPVNodes(), 3);
  EXPECT_EQ(expanded.created, (std::vector<std::pair<int, int>>{{0, 0}, {0, 1}, {0, 2}}));
  const double times[] = {30, 180, 365};
  for (int i = 0; i < 3; i++) {
    PerformanceVariableNode* node = expanded.GetPVNode(i);
    EXPECT_STREQ(node->GetName(), "count");
    EXPECT_EQ(node->GetStart(), times[i]);
    EXPECT_EQ(node->GetStop(), times[i]);
    EXPECT_EQ(node->GetNumTimePoints(), 3);
    EXPECT_EQ(node->GetId(), i);
    EXPECT_EQ(node->GetAccumulationState(), PV_NOT_STARTED);
  }
  EXPECT_EQ(expanded.GetMaxStopTime(), 365.0);
  EXPECT_EQ(PerformanceVariableNode::the_id, firstId + 3);

  TestPVModel single(new TinySAN(), {InstantVariable("count", {30, 180, 365}, "x", "tiny")},
                     false);
  ASSERT_EQ(single.GetNumPVNodes(), 1);
  EXPECT_EQ(single.created, (std::vector<std::pair<int, int>>{{0, 0}}));
  EXPECT_EQ(single.GetPVNode(0)->GetStop(), 30.0);
  EXPECT_EQ(single.GetMaxStopTime(), 30.0);
  // The class-wide counter runs on, yet the node's id is its position: the
  // per-node tables of the actions are indexed by it.
  EXPECT_EQ(PerformanceVariableNode::the_id, firstId + 4);
  EXPECT_EQ(single.GetPVNode(0)->GetId(), 0);
  EXPECT_EQ(single.GetLastFiredAction(), single.GetNoActionFired());
  EXPECT_STREQ(single.GetNoActionFired()->name, "No Action Fired Yet");
}

TEST(PVModelTest, NodeArrayGrowsWithoutLosingNodes) {
  // 45 variables of 3 time points are 135 nodes: past the first 100 slots,
  // and one variable needs room for 3 at once. The last variable has no time
  // points and still needs a slot.
  std::vector<VariableDefinition> variables;
  for (int v = 0; v < 45; v++) {
    variables.push_back(InstantVariable("v" + std::to_string(v), {1.0 * v, v + 0.5, v + 0.75},
                                        "x", "tiny"));
  }
  variables.push_back(InstantVariable("none", {}, "x", "tiny"));
  TestPVModel pv(new TinySAN(), variables, true);
  ASSERT_EQ(pv.GetNumPVNodes(), 136);
  for (int i = 0; i < 135; i++) {
    EXPECT_EQ(pv.Node(i)->variableIndex, i / 3);
    EXPECT_EQ(pv.Node(i)->timeIndex, i % 3);
  }
  EXPECT_EQ(pv.Node(135)->variableIndex, 45);
  // No time point selected: the window stays at its unset value.
  EXPECT_EQ(pv.GetPVNode(135)->GetStop(), -1.0);
  EXPECT_EQ(pv.GetMaxStopTime(), 44.75);
  TinySAN* top = static_cast<TinySAN*>(pv.GetTopModel());
  EXPECT_EQ(top->incX.AffectedNodes.size(), 136);
}

TEST(PVModelTest, InitializeLinksEachActionToTheNodesItCanChange) {
  TinySAN* top = new TinySAN();
  TestPVModel pv(top,
                 {InstantVariable("xs", {10, 20}, "x", "tiny"),
                  InstantVariable("ys", {15}, "y", "tiny")},
                 true);
  ASSERT_EQ(pv.GetNumPVNodes(), 3);

  EXPECT_EQ(Elements(top->incX.AffectedNodes), (std::vector<int>{0, 1}));
  EXPECT_EQ(Elements(top->incY.AffectedNodes), (std::vector<int>{2}));
  EXPECT_EQ(Elements(top->incX.AffectedNodesByRateReward), (std::vector<int>{0, 1}));
  EXPECT_EQ(Elements(top->incX.pvRateSets[0]), (std::vector<int>{0}));
  EXPECT_EQ(top->incX.pvRateSets[2].size(), 0);
  EXPECT_EQ(Elements(top->incY.pvRateSets[2]), (std::vector<int>{0}));
  // z is observed by nobody: incZ gets empty, frozen rate data and its
  // AffectedNodes stays an empty set that was never built.
  EXPECT_TRUE(top->incZ.AffectedNodes.empty());
  EXPECT_EQ(top->incZ.AffectedNodesByRateReward.size(), 0);
  for (int i = 0; i < 3; i++) EXPECT_EQ(top->incZ.pvRateSets[i].size(), 0);

  ASSERT_EQ(pv.GetNumAffectingActions(), 2);
  EXPECT_EQ(pv.GetAffectingAction(0), &top->incX);
  EXPECT_EQ(pv.GetAffectedSet(0), &top->incX.AffectedNodes);
  EXPECT_EQ(pv.GetAffectingAction(1), &top->incY);
  ASSERT_EQ(pv.GetPVNode(1)->GetNumAffectingActions(), 1);
  EXPECT_EQ(pv.GetPVNode(1)->GetAffectingAction(0), &top->incX);
  ASSERT_EQ(pv.GetPVNode(2)->GetNumAffectingActions(), 1);
  EXPECT_EQ(pv.GetPVNode(2)->GetAffectingAction(0), &top->incY);

  // The pseudo-action has frozen, empty data for every node.
  BaseActionClass* none = pv.GetNoActionFired();
  EXPECT_EQ(none->AffectedNodes.size(), 0);
  for (int i = 0; i < 3; i++) EXPECT_EQ(none->pvRateSets[i].size(), 0);

  // Forwarded model operations.
  EXPECT_EQ(pv.StateSize(), 6);
  List<BaseActionClass> actionList;
  pv.listActions(&actionList);
  EXPECT_EQ(actionList.getNumItems(), 3);
  List<BaseGroupClass> groupList;
  pv.listGroups(&groupList);
  ASSERT_EQ(groupList.getNumItems(), 3);
  EXPECT_EQ(groupList[2], &top->incZ);
  char image[6];
  top->x.setMark(7);
  pv.CurrentState(image);
  top->x.setMark(0);
  pv.SetState(image);
  EXPECT_EQ(top->x.getMark(), 7);
  List<BaseModelClass> models;
  pv.listModels("tiny", &models);
  EXPECT_EQ(models.getNumItems(), 1);
}

TEST(PVModelTest, InstantOfTimeObservesTheStateInForceAtItsTimePoint) {
  TinySAN* top = new TinySAN();
  TestPVModel pv(top, {InstantVariable("xs", {30, 100}, "x", "tiny")}, true);
  pv.ConsiderOnly(nullptr, 0);
  PerformanceVariableNode* at30 = pv.GetPVNode(0);
  PerformanceVariableNode* at100 = pv.GetPVNode(1);
  std::vector<char> initial(pv.StateSize());
  pv.CurrentState(initial.data());

  for (int replication = 0; replication < 2; replication++) {
    Step(&pv, &top->incX, 10);
    EXPECT_EQ(BaseModelClass::LastActionTime, 10.0);
    EXPECT_EQ(pv.GetLastFiredAction(), &top->incX);
    // Below its start a node is untouched.
    EXPECT_EQ(at30->GetAccumulationState(), PV_NOT_STARTED);
    EXPECT_EQ(at30->GetValue(), 0.0);
    // An event exactly at the time point: the node keeps accumulating and
    // sees the state after that firing at the next step.
    Step(&pv, &top->incX, 30);
    EXPECT_EQ(at30->GetAccumulationState(), PV_ACCUMULATING);
    Step(&pv, &top->incX, 50);
    EXPECT_EQ(at30->GetAccumulationState(), PV_COMPLETED);
    EXPECT_EQ(at30->GetValue(), 2.0);
    EXPECT_EQ(at30->GetSquare(), 4.0);
    EXPECT_EQ(at100->GetAccumulationState(), PV_NOT_STARTED);

    // No event after 50: the end closes the node with the state at the end.
    pv.EndAccumulate(pv.GetMaxStopTime());
    EXPECT_EQ(at100->GetAccumulationState(), PV_COMPLETED);
    EXPECT_EQ(at100->GetValue(), 3.0);
    EXPECT_EQ(at100->GetSquare(), 9.0);
    // A completed node is skipped: nothing is added twice.
    EXPECT_EQ(at30->GetValue(), 2.0);
    pv.EndAccumulate(pv.GetMaxStopTime());
    EXPECT_EQ(at100->GetValue(), 3.0);

    pv.SetState(initial.data());
    pv.PVReset();
    EXPECT_EQ(at30->GetAccumulationState(), PV_NOT_STARTED);
    EXPECT_EQ(at30->GetValue(), 0.0);
    EXPECT_EQ(at100->GetSquare(), 0.0);
    EXPECT_EQ(pv.GetLastFiredAction(), pv.GetNoActionFired());
    EXPECT_EQ(BaseModelClass::LastActionTime, 0.0);
  }

  // A replication without events observes the initial state everywhere.
  top->x.setMark(5);
  pv.EndAccumulate(100);
  EXPECT_EQ(at30->GetValue(), 5.0);
  EXPECT_EQ(at100->GetValue(), 5.0);
}

// The reward model skips its walk while no considered node can accumulate;
// a node set going again from outside must be walked at the next step.
TEST(PVModelTest, NodesSetGoingFromOutsideAreWalkedAgain) {
  TinySAN* top = new TinySAN();
  TestPVModel pv(top, {InstantVariable("xs", {30, 100}, "x", "tiny")}, true);
  pv.ConsiderOnly(nullptr, 0);
  PerformanceVariableNode* at30 = pv.GetPVNode(0);
  PerformanceVariableNode* at100 = pv.GetPVNode(1);
  Step(&pv, &top->incX, 50);
  Step(&pv, &top->incX, 150);
  ASSERT_EQ(at30->GetAccumulationState(), PV_COMPLETED);
  ASSERT_EQ(at100->GetAccumulationState(), PV_COMPLETED);
  EXPECT_EQ(at100->GetValue(), 1.0);

  at30->SetAccumulationState(PV_NOT_STARTED);
  Step(&pv, &top->incX, 200);
  EXPECT_EQ(at30->GetAccumulationState(), PV_COMPLETED);

  at100->Reset();
  Step(&pv, &top->incX, 210);
  EXPECT_EQ(at100->GetAccumulationState(), PV_COMPLETED);

  // A steady-state node's reset moves its window on; it accumulates again
  // from the new start, and not before.
  at30->SetSteadyState(1);
  at30->Reset();
  EXPECT_EQ(at30->GetStart(), 30.0);
  at30->SetStop(300);
  at30->Reset();
  ASSERT_EQ(at30->GetStart(), 300.0);
  Step(&pv, &top->incX, 299);
  EXPECT_EQ(at30->GetAccumulationState(), PV_NOT_STARTED);
  Step(&pv, &top->incX, 300);
  EXPECT_EQ(at30->GetAccumulationState(), PV_ACCUMULATING);
}

TEST(PVModelTest, ConsiderOnlySelectsTheNodesThatAccumulate) {
  TinySAN* top = new TinySAN();
  TestPVModel pv(top, {InstantVariable("xs", {1, 2, 3}, "x", "tiny")}, true);
  EXPECT_EQ(pv.GetNumConsideredNodes(), 0);
  int indices[] = {2, 0};
  pv.ConsiderOnly(indices, 2);
  ASSERT_EQ(pv.GetNumConsideredNodes(), 2);
  EXPECT_EQ(pv.GetConsideredNodes()[0], pv.GetPVNode(2));
  EXPECT_EQ(pv.GetConsideredNodes()[1], pv.GetPVNode(0));

  Step(&pv, &top->incX, 0.5);
  pv.EndAccumulate(10);
  EXPECT_EQ(pv.GetPVNode(0)->GetValue(), 1.0);
  EXPECT_EQ(pv.GetPVNode(2)->GetValue(), 1.0);
  // Not considered: never accumulates.
  EXPECT_EQ(pv.GetPVNode(1)->GetAccumulationState(), PV_NOT_STARTED);

  TestPVModel all(new TinySAN(), {InstantVariable("xs", {1, 2, 3}, "x", "tiny")}, true);
  all.ConsiderOnly(nullptr, 0);
  ASSERT_EQ(all.GetNumConsideredNodes(), 3);
  for (int i = 0; i < 3; i++) EXPECT_EQ(all.GetConsideredNodes()[i], all.GetPVNode(i));
}

TEST(PVModelTest, PVResetLeavesNodesThatNeverStartedAlone) {
  VariableDefinition batch{"batch", {10}, {20}, {{"x", "tiny"}}, {}};
  TinySAN* top = new TinySAN();
  TestPVModel pv(top, {batch, batch}, false);
  pv.ConsiderOnly(nullptr, 0);
  PerformanceVariableNode* started = pv.GetPVNode(0);
  PerformanceVariableNode* idle = pv.GetPVNode(1);
  started->SetSteadyState(1);
  idle->SetSteadyState(1);
  EXPECT_EQ(started->GetInterval(), 10.0);

  // Only the first node gets going.
  started->Accumulate(15, 0, pv.GetNoActionFired());
  EXPECT_EQ(started->GetAccumulationState(), PV_ACCUMULATING);
  pv.PVReset();
  // A reset steady-state node moves to its next window; the idle one stays.
  EXPECT_EQ(started->GetStart(), 20.0);
  EXPECT_EQ(started->GetStop(), 30.0);
  EXPECT_EQ(idle->GetStart(), 10.0);
  EXPECT_EQ(idle->GetStop(), 20.0);

  pv.SteadyState();
  EXPECT_EQ(started->GetAccumulationState(), PV_ACCUMULATING);
  EXPECT_EQ(idle->GetAccumulationState(), PV_ACCUMULATING);
  // SteadyState resets the started ones first.
  EXPECT_EQ(idle->GetStart(), 10.0);
}

TEST(PVModelTest, SubmodelsSharingANameEachGetAWorker) {
  TinyJoin* join = new TinyJoin({"tiny", "other", "tiny"});
  TestPVModel pv(join, {InstantVariable("xs", {5}, "x", "tiny")}, true);
  pv.ConsiderOnly(nullptr, 0);
  PerformanceVariableNode* node = pv.GetPVNode(0);
  ASSERT_EQ(node->GetNumWorkers(), 2);
  EXPECT_EQ(node->GetModelGroup(0)->GetModel(0), join->Child(0));
  EXPECT_EQ(node->GetModelGroup(1)->GetModel(0), join->Child(2));
  EXPECT_EQ(node->GetWorker(1)->GetWorkerIndex(), 1);
  EXPECT_STREQ(node->GetWorker(1)->GetName(), "xs");
  EXPECT_EQ(Elements(join->Child(0)->incX.pvRateSets[0]), (std::vector<int>{0}));
  EXPECT_EQ(Elements(join->Child(2)->incX.pvRateSets[0]), (std::vector<int>{1}));
  EXPECT_EQ(join->Child(1)->incX.AffectedNodesByRateReward.size(), 0);

  Step(&pv, &join->Child(0)->incX, 1);
  Step(&pv, &join->Child(2)->incX, 2);
  Step(&pv, &join->Child(2)->incX, 3);
  Step(&pv, &join->Child(1)->incX, 4);  // observed by nobody
  pv.EndAccumulate(5);
  // The observation is the sum of both rewards; the square is of the sum.
  EXPECT_EQ(node->GetValue(), 3.0);
  EXPECT_EQ(node->GetSquare(), 9.0);
}

TEST(PVModelTest, WorkersEnumerateSubmodelCombinationsFirstDependencySlowest) {
  TinyJoin* join = new TinyJoin({"tiny", "other", "tiny", "other"});
  VariableDefinition pairs{"pairs", {5}, {5}, {{"x", "tiny"}, {"y", "other"}}, {}};
  TestPVModel pv(join, {pairs}, true);
  PerformanceVariableNode* node = pv.GetPVNode(0);
  ASSERT_EQ(node->GetNumModelDependencies(), 2);
  ASSERT_EQ(node->GetNumWorkers(), 4);
  TinySAN* t0 = join->Child(0);
  TinySAN* o0 = join->Child(1);
  TinySAN* t1 = join->Child(2);
  TinySAN* o1 = join->Child(3);
  const BaseModelClass* expected[4][2] = {{t0, o0}, {t0, o1}, {t1, o0}, {t1, o1}};
  for (int w = 0; w < 4; w++) {
    for (int d = 0; d < 2; d++) EXPECT_EQ(node->GetModelGroup(w)->GetModel(d), expected[w][d]);
    auto* worker = static_cast<reward_test::MarkWorker*>(node->GetWorker(w));
    EXPECT_EQ(worker->observed[1], expected[w][1]);
  }
  // y of the second "other" submodel is seen by the workers holding it.
  EXPECT_EQ(Elements(o1->incY.pvRateSets[0]), (std::vector<int>{1, 3}));
  EXPECT_EQ(Elements(t1->incX.pvRateSets[0]), (std::vector<int>{2, 3}));
}

// Adds, for every firing of its action, the marking of x of the "tiny"
// submodel it observes (slot 0); slot 1 holds an "other" submodel.
class MarkImpulse : public ImpulseNodeClass {
 public:
  MarkImpulse() {
    numModelNames = 2;
    modelSlots = new BaseModelClass**[2];
    modelSlots[0] = &observed[0];
    modelSlots[1] = &observed[1];
  }
  ~MarkImpulse() override { delete[] modelSlots; }
  void EndAccumulate(double) override {}
  double Impulse_Function() override { return static_cast<TinySAN*>(observed[0])->Mark("x"); }
  void Accumulate(double, double) override {
    value += Impulse_Function();
    square = value * value;
  }
  void CurrentReward() override {}
  void ResetImpulse() override { Reset(); }
  ImpulseNodeClass** CreateImpulseNodes(int n) override {
    ImpulseNodeClass** nodes = new ImpulseNodeClass*[n];
    for (int k = 0; k < n; k++) nodes[k] = new MarkImpulse();
    return nodes;
  }
  BaseModelClass* observed[2] = {nullptr, nullptr};
};

// An impulse reward on incX of the "tiny" submodels whose function also
// observes the "other" submodels.
class MarkImpulseNode : public PerformanceVariableNode {
 public:
  MarkImpulseNode() {
    modelSlot = &top;
    double times[] = {10};
    Initialize("marks", InstantOfTimeReward, 1, times, times, 0, 1, 0, 0);
    MarkImpulse* impulse = new MarkImpulse();
    AddImpulse("incX", "tiny", impulse);
    AddImpulseModelDependency("other", impulse);
  }
  void CreateWorkerList() override {}
  BaseModelClass* top = nullptr;
};

class MarkImpulsePV : public PVModel {
 public:
  explicit MarkImpulsePV(BaseModelClass* model) {
    topModel = model;
    CreatePVList(1, true);
    Initialize();
  }
  PerformanceVariableNode* createPVNode(int, int) override { return new MarkImpulseNode(); }
};

TEST(PVModelTest, ImpulseNodesObserveTheSubmodelWhoseActionTriggersThem) {
  TinyJoin* join = new TinyJoin({"tiny", "other", "tiny", "other"});
  MarkImpulsePV pv(join);
  pv.ConsiderOnly(nullptr, 0);
  PerformanceVariableNode* node = pv.GetPVNode(0);
  TinySAN* t0 = join->Child(0);
  TinySAN* o0 = join->Child(1);
  TinySAN* t1 = join->Child(2);
  TinySAN* o1 = join->Child(3);
  // One impulse node per triggering submodel and "other" submodel.
  ASSERT_EQ(node->GetNumImpulseNodes(0), 4);
  const BaseModelClass* expected[4][2] = {{t0, o0}, {t0, o1}, {t1, o0}, {t1, o1}};
  for (int k = 0; k < 4; k++) {
    auto* impulse = static_cast<MarkImpulse*>(node->GetImpulseNode(0, k));
    EXPECT_EQ(impulse->model, expected[k][0]);
    EXPECT_EQ(impulse->observed[0], expected[k][0]);
    EXPECT_EQ(impulse->observed[1], expected[k][1]);
  }

  // A firing of the second "tiny" submodel's incX is seen by its two impulse
  // nodes, each reading x of that submodel.
  Step(&pv, &t1->incX, 1);
  pv.EndAccumulate(10);
  EXPECT_EQ(node->GetImpulseValue(), 2.0);
}

TEST(PVModelTest, ImpulseRewardCountsTheFiringsOfItsAction) {
  TinySAN* top = new TinySAN();
  VariableDefinition firings{"firings", {0}, {100}, {}, {"incX", "tiny"}};
  TestPVModel pv(top, {firings}, true);
  pv.ConsiderOnly(nullptr, 0);
  PerformanceVariableNode* node = pv.GetPVNode(0);
  ASSERT_EQ(node->GetNumImpulseFunctions(), 1);
  ASSERT_EQ(node->GetNumImpulseNodes(0), 1);
  EXPECT_EQ(node->GetImpulseNode(0, 0)->model, top);
  EXPECT_EQ(Elements(top->incX.AffectedNodes), (std::vector<int>{0}));
  EXPECT_EQ(Elements(top->incX.pvImpulseSets[0]), (std::vector<int>{0}));
  EXPECT_EQ(top->incX.pvImpulseCounts[0][0], 1);
  EXPECT_TRUE(node->ImpulseAffectedBy(&top->incX));
  EXPECT_FALSE(node->ImpulseAffectedBy(&top->incY));

  for (int replication = 0; replication < 2; replication++) {
    // A firing is accounted at the step after it (or at the end).
    Step(&pv, &top->incX, 10);
    Step(&pv, &top->incY, 20);
    Step(&pv, &top->incX, 30);
    pv.EndAccumulate(100);
    EXPECT_EQ(node->GetImpulseValue(), 2.0);
    EXPECT_EQ(node->GetValue(), 2.0);
    EXPECT_EQ(node->GetSquare(), 4.0);
    pv.PVReset();
    EXPECT_EQ(node->GetImpulseNode(0, 0)->GetValue(), 0.0);
  }

  node->CurrentReward(&top->incX);
  EXPECT_EQ(node->GetImpulseValue(), 1.0);
  std::vector<char> state(pv.StateSize());
  pv.PutPVState(state.data());
  EXPECT_EQ(node->GetImpulseValue(), 0.0);
}

TEST(PVModelTest, FireActionWithStateReportsCurrentRewards) {
  TinySAN* top = new TinySAN();
  TestPVModel pv(top, {InstantVariable("xs", {5}, "x", "tiny")}, true);
  pv.ConsiderOnly(nullptr, 0);
  std::vector<char> state(pv.StateSize());
  pv.FireAction(state.data(), &top->incX);
  EXPECT_EQ(pv.GetLastFiredAction(), &top->incX);
  EXPECT_EQ(pv.GetPVNode(0)->GetValue(), 1.0);
  EXPECT_EQ(state[0] + state[1], 1);  // x's marking in the image
  pv.AgeAction(state.data(), &top->incX);
  EXPECT_EQ(pv.GetLastFiredAction(), pv.GetNoActionFired());
  pv.GetPVState(state.data());
  pv.RemakeAffectedLists();

  // An action whose Fire names no fired member stands for itself.
  BaseActionClass silent;
  EXPECT_EQ(pv.FireAction(&silent, 7), &silent);
  EXPECT_EQ(pv.GetLastFiredAction(), &silent);
  EXPECT_EQ(BaseModelClass::LastActionTime, 7.0);
}

// ---- Reward type file. ----

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::string TempPath(const char* leaf) {
  return testing::TempDir() + "/korvan_reward_" + leaf;
}

TEST(PVModelTest, TypeFileDescribesEveryNodeWithAllItsTimePoints) {
  TestPVModel pv(new TinySAN(),
                 {InstantVariable("reliability", {30, 180, 365}, "x", "tiny"),
                  VariableDefinition{"window", {0.5}, {1e6}, {{"y", "tiny"}}, {}},
                  InstantVariable("untimed", {}, "z", "tiny")},
                 true);
  // Only the first node is considered: all are written anyway.
  int first = 0;
  pv.ConsiderOnly(&first, 1);
  std::string path = TempPath("types.txt");
  {
    std::ofstream stale(path);
    stale << "this line must go\n";
  }
  pv.WritePVTypeFile(path.c_str());
  std::string block =
      "Name:reliability\nType:0\nNumTimes:3\n"
      "Start:30\nStop:30\nStart:180\nStop:180\nStart:365\nStop:365\n";
  EXPECT_EQ(ReadFile(path), "Version:1\nNumPV:5\n" + block + block + block +
                                "Name:window\nType:0\nNumTimes:1\nStart:0.5\nStop:1e+06\n"
                                "Name:untimed\nType:0\nNumTimes:0\n");

  TestPVModel empty(new TinySAN(), {}, true);
  EXPECT_EQ(empty.GetNumPVNodes(), 0);
  EXPECT_EQ(empty.GetMaxStopTime(), 0.0);
  empty.WritePVTypeFile(path.c_str());
  EXPECT_EQ(ReadFile(path), "Version:1\nNumPV:0\n");
  std::remove(path.c_str());

  // A file that cannot be opened: nothing written, nothing reported.
  testing::internal::CaptureStderr();
  empty.WritePVTypeFile((TempPath("missing") + "/dir/types.txt").c_str());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
