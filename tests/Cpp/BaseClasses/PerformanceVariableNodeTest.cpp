#include "Cpp/BaseClasses/PerformanceVariableNode.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/Cpp/BaseClasses/PVModelTestModels.h"

namespace {

using reward_test::InstantVariable;
using reward_test::MarkNode;
using reward_test::TestPVModel;
using reward_test::TinySAN;
using reward_test::VariableDefinition;

// A node whose definition the test writes itself.
class BareNode : public PerformanceVariableNode {
 public:
  BareNode() { modelSlot = &top; }
  void CreateWorkerList() override {}
  BaseModelClass* top = nullptr;
};

TEST(PerformanceVariableNodeTest, InitializeCopiesTheDefinitionAndTakesTheNextId) {
  double starts[] = {1, 10, 100};
  double stops[] = {2, 20, 200};
  BareNode first;
  BareNode second;
  EXPECT_EQ(first.GetStart(), -1.0);
  EXPECT_EQ(first.GetStop(), -1.0);
  EXPECT_EQ(first.GetId(), -1);
  int next = PerformanceVariableNode::the_id;
  first.Initialize("first", IntervalOfTimeReward, 3, starts, stops, 1, 0, 2, 1);
  second.Initialize("second", InstantOfTimeReward, 3, starts, stops, 2, 0, 0, 0);
  EXPECT_EQ(first.GetId(), next);
  EXPECT_EQ(second.GetId(), next + 1);
  EXPECT_EQ(PerformanceVariableNode::the_id, next + 2);

  starts[1] = stops[1] = -5;  // the node keeps its own copies
  EXPECT_STREQ(first.GetName(), "first");
  EXPECT_EQ(first.GetRewardType(), IntervalOfTimeReward);
  EXPECT_EQ(first.GetNumTimePoints(), 3);
  EXPECT_EQ(first.GetStartTime(1), 10.0);
  EXPECT_EQ(first.GetStopTime(1), 20.0);
  EXPECT_EQ(first.GetStart(), 10.0);
  EXPECT_EQ(first.GetStop(), 20.0);
  EXPECT_EQ(first.GetInterval(), 10.0);
  EXPECT_EQ(second.GetStart(), 100.0);
  EXPECT_EQ(first.GetSteadyState(), 0);
  EXPECT_EQ(first.GetAccumulationState(), PV_NOT_STARTED);

  // More dependencies than announced: the tables grow.
  first.AddVariableDependency("a", "m1");
  first.AddVariableDependency("b", "m2");
  first.AddVariableDependency("c", "m1");
  first.AddModelDependency("m3");
  first.AddModelDependency("m2");
  ASSERT_EQ(first.GetNumVariableDependencies(), 3);
  EXPECT_STREQ(first.GetVariableDependency(0)->GetSVName(), "a");
  EXPECT_STREQ(first.GetVariableDependency(2)->GetModelName(), "m1");
  ASSERT_EQ(first.GetNumModelDependencies(), 3);
  EXPECT_STREQ(first.GetModelDependency(2), "m3");
  EXPECT_TRUE(first.IsDependentOnModel("m2"));
  EXPECT_FALSE(first.IsDependentOnModel("M2"));
  EXPECT_FALSE(first.IsDependentOnModel("m"));

  double moreStarts[] = {7};
  double moreStops[] = {8};
  first.InitializeTimeArrays(1, moreStarts, moreStops);
  EXPECT_EQ(first.GetNumTimePoints(), 1);
  EXPECT_EQ(first.GetStopTime(0), 8.0);
  EXPECT_EQ(first.GetStop(), 20.0);  // the current window is kept

  // A time index outside the time points selects no window.
  BareNode outside;
  outside.Initialize("outside", InstantOfTimeReward, 3, starts, stops, 3, 0, 0, 0);
  EXPECT_EQ(outside.GetStart(), -1.0);
  EXPECT_EQ(outside.GetStop(), -1.0);
  BareNode none;
  none.Initialize("none", InstantOfTimeReward, 0, nullptr, nullptr, 0, 0, 0, 0);
  EXPECT_EQ(none.GetNumTimePoints(), 0);
}

TEST(PerformanceVariableNodeTest, AccumulateFollowsTheWindowAndTheRewardType) {
  TinySAN* top = new TinySAN();
  VariableDefinition variable{"xs", {10}, {20}, {{"x", "tiny"}}, {}};
  TestPVModel pv(top, {variable}, true);
  PerformanceVariableNode* node = pv.GetPVNode(0);
  BaseActionClass* none = pv.GetNoActionFired();
  top->x.setMark(2);

  node->Accumulate(5, 0, none);  // below start: untouched
  EXPECT_EQ(node->GetAccumulationState(), PV_NOT_STARTED);
  node->Accumulate(20, 0, none);  // at stop: still accumulating
  EXPECT_EQ(node->GetAccumulationState(), PV_ACCUMULATING);
  EXPECT_EQ(node->GetValue(), 0.0);  // instant of time adds only when complete
  node->Accumulate(20.5, 0, none);
  EXPECT_EQ(node->GetAccumulationState(), PV_COMPLETED);
  EXPECT_EQ(node->GetValue(), 2.0);
  node->Accumulate(30, 0, none);  // completed: skipped
  EXPECT_EQ(node->GetValue(), 2.0);

  node->Reset();
  EXPECT_EQ(node->GetAccumulationState(), PV_NOT_STARTED);
  EXPECT_EQ(node->GetWorker(0)->GetValue(), 0.0);
  // A firing after the time point hides the state from the worker.
  node->Accumulate(25, 15, none);
  EXPECT_EQ(node->GetValue(), 0.0);
  EXPECT_EQ(node->GetAccumulationState(), PV_COMPLETED);

  node->Reset();
  // The end closes a node whose stop is below end + 1, and only then.
  node->EndAccumulate(18.5, 0, none);
  EXPECT_EQ(node->GetAccumulationState(), PV_ACCUMULATING);
  node->EndAccumulate(19.5, 0, none);
  EXPECT_EQ(node->GetAccumulationState(), PV_COMPLETED);
  EXPECT_EQ(node->GetValue(), 2.0);

  node->Reset();
  node->UpdateAccumulate(20);
  EXPECT_EQ(node->GetAccumulationState(), PV_ACCUMULATING);
  node->UpdateAccumulate(21);
  EXPECT_EQ(node->GetAccumulationState(), PV_COMPLETED);

  node->CurrentReward(none);
  EXPECT_EQ(node->GetValue(), 2.0);
  EXPECT_EQ(node->GetSquare(), 4.0);

  node->DefineName("renamed");
  EXPECT_STREQ(node->GetWorker(0)->GetName(), "renamed");
  EXPECT_STREQ(node->GetName(), "xs");
}

TEST(PerformanceVariableNodeTest, UpdateDependenciesClearsAnActionOnceAllItsNodesAreDone) {
  TinySAN* top = new TinySAN();
  TestPVModel pv(top, {InstantVariable("xs", {1, 2}, "x", "tiny")}, true);
  ASSERT_EQ(top->incX.AffectedNodes.size(), 2);
  pv.GetPVNode(0)->UpdateDependencies();
  EXPECT_EQ(top->incX.completedNodes, 1);
  EXPECT_EQ(top->incX.AffectedNodes.size(), 2);
  pv.GetPVNode(1)->UpdateDependencies();
  EXPECT_EQ(top->incX.completedNodes, 2);
  EXPECT_EQ(top->incX.AffectedNodes.size(), 0);
  // Steady-state nodes never finish observing.
  pv.GetPVNode(1)->SetSteadyState(1);
  pv.GetPVNode(1)->UpdateDependencies();
  EXPECT_EQ(top->incX.completedNodes, 2);
}

TEST(PerformanceVariableNodeTest, WorkerAndRecordBasics) {
  reward_test::MarkWorker worker("x", 1);
  EXPECT_EQ(worker.GetWorkerIndex(), -1);
  EXPECT_EQ(worker.GetNodeId(), -1);
  EXPECT_EQ(worker.GetName(), nullptr);
  worker.DefineName("w", 4);
  worker.DefineName("w2", 5);
  EXPECT_STREQ(worker.GetName(), "w2");
  EXPECT_EQ(worker.GetWorkerIndex(), 5);
  worker.FreeName();
  EXPECT_EQ(worker.GetName(), nullptr);
  worker.value = 3;
  worker.Reset();
  EXPECT_EQ(worker.GetValue(), 0.0);

  reward_test::CountFirings impulse;
  EXPECT_EQ(impulse.impulseNodeIndex, -1);
  EXPECT_EQ(impulse.impulseFunctionIndex, -1);
  impulse.DefineName("imp", 2, 3);
  EXPECT_STREQ(impulse.name, "imp");
  EXPECT_EQ(impulse.impulseFunctionIndex, 2);
  EXPECT_EQ(impulse.impulseNodeIndex, 3);
  impulse.value = 4;
  impulse.square = 16;
  impulse.Reset();
  EXPECT_EQ(impulse.GetSquare(), 0.0);
  EXPECT_EQ(impulse.min(1, 2), 1.0);
  EXPECT_EQ(impulse.min(2, 2), 2.0);
  EXPECT_EQ(impulse.max(1, 2), 2.0);

  ModelGroupClass group;
  EXPECT_EQ(group.GetNumModels(), 0);
  TinySAN a;
  TinySAN b;
  group.CreateModelList(2);
  group.SetModel(1, &b);
  EXPECT_EQ(group.GetModel(0), nullptr);
  EXPECT_TRUE(group.IsDependentOnModel(&b));
  EXPECT_FALSE(group.IsDependentOnModel(&a));

  VarModelPairClass variable;
  variable.SetPair("sv", "model");
  variable.SetPair("sv2", nullptr);
  EXPECT_STREQ(variable.GetSVName(), "sv2");
  EXPECT_EQ(variable.GetModelName(), nullptr);
  ActionModelPairClass action;
  action.SetPair("act", "model");
  EXPECT_STREQ(action.GetActionName(), "act");
  EXPECT_STREQ(action.GetModelName(), "model");
}

TEST(PerformanceVariableNodeTest, BaseWorkerCurrentRewardOnlyReports) {
  reward_test::MarkWorker worker("x", 0);
  worker.value = 7;
  testing::internal::CaptureStderr();
  worker.PerformanceVariableWorker::CurrentReward();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "!! Calling PerformanceVariableWorker::CurrentReward()\n");
  EXPECT_EQ(worker.GetValue(), 7.0);
}

// The two reports that end the process report failure.
TEST(PerformanceVariableNodeDeathTest, DependencyOnAMissingSubmodelEndsWithStatus1) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        TestPVModel pv(new TinySAN(), {InstantVariable("xs", {1}, "x", "absent")}, true);
      },
      testing::ExitedWithCode(1),
      "Number of absent's was 0\\.  Model cannot be created\\.\nModel Name was: tiny\n\\.");
}

TEST(PerformanceVariableNodeDeathTest, UnregisteredImpulseEndsWithStatus1) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        BareNode node;
        node.Initialize("n", InstantOfTimeReward, 0, nullptr, nullptr, 0, 1, 0, 0);
        reward_test::CountFirings stranger;
        node.AddImpulseModelDependency("tiny", &stranger);
      },
      testing::ExitedWithCode(1),
      "Model Dependency requested on undefined impulse\\.  Check code generator\\.  "
      "Error code GP0001\\.\n");
}

}  // namespace
