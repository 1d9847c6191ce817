#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "tests/results/results_mgr_fakes.h"
#include "tests/results/snapshot_fakes.h"

namespace {

using resultstest::FakeProblem;
using resultstest::FakeVariable;

class Assignments : public snaptest::SnapshotFolder {
 protected:
  Assignments() : problem_({"a", "b", "c"}), manager_(&problem_) {
    RunPosition at;
    EXPECT_EQ(manager_.OpenSnapshotFile(3, problem_.Values({0, 0, 0}), &at, false, false), 0u);
  }
  // Queues a real and applies it; the changed flag.
  bool Apply(FakeVariable& v, double value, std::uint32_t pattern = 0, std::uint32_t mask = 0) {
    EXPECT_EQ(manager_.AssignValue(24, nullptr, value, 0, &v, false, pattern, mask), 0u);
    bool restart = true, changed = false;
    EXPECT_EQ(manager_.ApplyAssignments(&restart, &changed, 0.0), 0u);
    EXPECT_EQ(manager_.QueuedCount(), 0u);
    return changed;
  }
  double Stored(std::int32_t index) { return manager_.Values()->Record(index).payload.real; }

  FakeProblem problem_;
  SimResultsMgr manager_;
};

TEST_F(Assignments, RealsAreClippedToTheirBoundsWithMessagesOnRequest) {
  FakeVariable v("Plant.a", 0);
  v.lower = 0;
  v.upper = 1;
  Apply(v, 5);
  EXPECT_EQ(v.Value(), 1.0);
  EXPECT_EQ(Stored(0), 1.0);
  EXPECT_TRUE(problem_.printed.empty());
  problem_.options[31] = 1;
  Apply(v, -2);
  EXPECT_EQ(v.Value(), 0.0);
  ASSERT_EQ(problem_.printed.size(), 1u);
  EXPECT_EQ(problem_.printed[0], "Assignment (-2) to Plant.a was clipped to lower bound (0)");
  Apply(v, 5);
  EXPECT_EQ(problem_.printed.back(), "Assignment (5) to Plant.a was clipped to upper bound (1)");
}

TEST_F(Assignments, SignificanceIsRelativeAboveTheToleranceAndAbsoluteBelow) {
  problem_.options[74] = 1e-3;
  FakeVariable big("big", 0, 1000);
  EXPECT_FALSE(Apply(big, 1000.5));
  EXPECT_EQ(big.Value(), 1000.5);  // stored all the same
  EXPECT_TRUE(Apply(big, 1002));
  FakeVariable small("small", 1, 0);
  EXPECT_FALSE(Apply(small, 5e-4));
  EXPECT_TRUE(Apply(small, 2.6e-3));
  FakeVariable broken("broken", 2, std::numeric_limits<double>::quiet_NaN());
  EXPECT_TRUE(Apply(broken, 1));
  // A flag change counts whatever the value.
  FakeVariable flagged("flagged", 2, 1);
  EXPECT_TRUE(Apply(flagged, 1, 0x100, 0x100));
  EXPECT_EQ(manager_.Values()->Record(2).flags & 0x100, 0x100u);
  EXPECT_NE(manager_.Position().run & 0x8000, 0);
}

TEST_F(Assignments, EveryMemberOfAnEquivalenceGroupIsUpdated) {
  FakeVariable a("a", 0), b("b", 1);
  a.specification = 4;
  b.specification = 1;
  a.group = {&a, &b};
  Apply(a, 2.5);
  EXPECT_EQ(Stored(0), 2.5);
  EXPECT_EQ(Stored(1), 2.5);
  EXPECT_EQ(manager_.Values()->Record(0).attribute, 4);
  EXPECT_EQ(manager_.Values()->Record(1).attribute, 1);
  EXPECT_EQ(Stored(2), 0.0);
}

TEST_F(Assignments, AliasesBitsAndSpecificationsReachTheirVariable) {
  FakeVariable original("c", 2), alias("c alias", 2);
  alias.flags = AssignableVariable::kAliasBit;
  problem_.by_index[2] = &original;
  Apply(alias, 7, AssignableVariable::kBit25 | AssignableVariable::kBit19,
        AssignableVariable::kBit25 | AssignableVariable::kBit19);
  EXPECT_EQ(original.Value(), 7.0);
  EXPECT_TRUE(original.marked);
  EXPECT_NE(original.flags & AssignableVariable::kBit19, 0u);
  EXPECT_EQ(alias.Value(), 0.0);

  bool restart = false, changed = false;
  ASSERT_EQ(manager_.AssignValue(2, nullptr, 0, 2, &original, false, 0, 0), 0u);
  manager_.ApplyAssignments(&restart, &changed, 0);
  original.structure_answer = 1;
  ASSERT_EQ(manager_.AssignValue(2, nullptr, 0, 32, &original, false, 0, 0), 0u);
  manager_.ApplyAssignments(&restart, &changed, 0);
  EXPECT_EQ(original.specification, 32u);
  EXPECT_EQ(problem_.integrator_notices, 1);
  EXPECT_EQ(problem_.structure_changes, 1);
}

TEST_F(Assignments, TypedKindsConvertSkipEqualsAndKeepStructuralParameters) {
  FakeVariable n("n", 0);
  n.typed.SetType(SUValue::kInteger);
  n.typed.SetInt(3);
  SUValue three = SUValue::ConstructInt(3, SUValue::kInteger);
  SUValue seven = SUValue::ConstructInt(7, SUValue::kInteger);
  bool restart = false, changed = false;
  manager_.AssignValue(4, &three, 0, 0, &n, false, 0, 0);
  manager_.ApplyAssignments(&restart, &changed, 0);
  EXPECT_FALSE(changed);
  manager_.AssignValue(255, &seven, 0, 0, &n, false, 0x40, 0x40);
  manager_.ApplyAssignments(&restart, &changed, 0);
  EXPECT_TRUE(changed);
  EXPECT_EQ(n.typed.type, SUValue::kInteger);
  EXPECT_EQ(n.typed.payload.integer, 7);
  EXPECT_EQ(n.flags & 0x40, 0x40u);
  EXPECT_EQ(manager_.Values()->Record(0).payload.real, 7.0);

  FakeVariable s("s", 1);
  s.flags = AssignableVariable::kStructuralBit;
  s.typed.SetType(SUValue::kString);
  s.typed.SetString("old");
  SUValue text;
  text.SetType(SUValue::kString);
  text.SetString("new");
  manager_.AssignValue(68, &text, 0, 0, &s, false, 0, 0);
  manager_.ApplyAssignments(&restart, &changed, 0);
  EXPECT_TRUE(changed);
  EXPECT_STREQ(s.typed.GetString(), "old");

  FakeVariable other("other", 2);
  manager_.AssignValue(77, nullptr, 1, 0, &other, false, 0, 0);  // no such kind: dropped
  manager_.ApplyAssignments(&restart, &changed, 0);
  EXPECT_FALSE(changed);
}

TEST_F(Assignments, RampedVariablesAreRefusedAndRestartsMarkReinitialisation) {
  FakeVariable ramped("r", 0);
  ramped.flags = AssignableVariable::kRampedBit;
  EXPECT_EQ(manager_.AssignValue(24, nullptr, 1, 0, &ramped, false, 0, 0), status::kGeneralFailure);
  EXPECT_EQ(manager_.QueuedCount(), 0u);
  ASSERT_EQ(problem_.printed.size(), 1u);
  EXPECT_EQ(problem_.printed[0],
            "Cannot assign to ramped variable r\nAssignment ignored - simulation will continue");
  EXPECT_EQ(manager_.AssignValue(24, nullptr, 1, 0, &ramped, true, 0, 0), 0u);
  EXPECT_EQ(manager_.RemoveQueuedItem(&ramped)->variable, nullptr);
  bool restart = false, changed = false;
  manager_.ApplyAssignments(&restart, &changed, 0);
  EXPECT_FALSE(changed);

  problem_.restart_requested = true;
  problem_.options[146] = 1;
  FakeVariable v("v", 1);
  manager_.AssignValue(24, nullptr, 3, 0, &v, false, 0, 0);
  manager_.ApplyAssignments(&restart, &changed, 0.0);
  EXPECT_TRUE(restart);
  EXPECT_FALSE(manager_.TakeReinitialisationMark());  // at time 0
  manager_.AssignValue(24, nullptr, 4, 0, &v, false, 0, 0);
  manager_.ApplyAssignments(&restart, &changed, 2.0);
  EXPECT_TRUE(manager_.TakeReinitialisationMark());
  EXPECT_FALSE(manager_.TakeReinitialisationMark());
}

// A variable that goes leaves the staged, reply and client lists; its
// queued step items keep their place and are skipped.
TEST_F(Assignments, AForgottenVariableLeavesEveryList) {
  FakeVariable gone("Plant.a", 0), stays("Plant.b", 1);
  auto item = [](FakeVariable& v, double value) {
    return std::make_unique<SimAssignValue>(24, nullptr, value, 0, &v, 0, 0);
  };
  for (FakeVariable* v : {&gone, &stays}) {
    EXPECT_EQ(manager_.AssignValue(24, nullptr, 5, 0, v, false, 0, 0), 0u);
    manager_.Stage(item(*v, 6), false);
  }
  EXPECT_EQ(manager_.HandleCommand(55, 21, 0, nullptr, 0, nullptr, 0, nullptr), 0u);
  for (FakeVariable* v : {&gone, &stays}) {
    manager_.Stage(item(*v, 7), false);
    manager_.Stage(item(*v, 8), true);
  }
  manager_.ForgetVariable(&gone);
  for (const auto* list :
       {&manager_.Staged(), &manager_.ReplyItems(), &manager_.ClientAssignments()}) {
    ASSERT_EQ(list->size(), 1u);
    EXPECT_EQ(list->front()->variable, &stays);
  }
  EXPECT_EQ(manager_.QueuedCount(), 2u);
  EXPECT_EQ(manager_.FindQueuedItem(&gone), nullptr);
  bool restart = false, changed = false;
  manager_.ApplyAssignments(&restart, &changed, 0.0);
  EXPECT_EQ(gone.Value(), 0.0);
  EXPECT_EQ(stays.Value(), 5.0);
}

}  // namespace
