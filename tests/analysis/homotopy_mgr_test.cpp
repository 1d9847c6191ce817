#include "analysis/homotopy/homotopy_mgr.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "framework/messaging/message.h"
#include "tests/analysis/analysis_fakes.h"
#include "tests/analysis/body_writer.h"
#include "tests/analysis/control_fakes.h"
#include "tests/framework/message_helpers.h"

namespace {

using analysis_fakes::BodyWriter;
using analysis_fakes::FakeHomotopyServices;
using analysis_fakes::FakeServices;
using analysis_fakes::FakeVariable;

class HomotopyMgrTest : public ::testing::Test {
 protected:
  HomotopyMgrTest() : manager(services) {
    x = services.vars.Add(1, "x", 2.0);
    y = services.vars.Add(2, "y", -1.0);
  }

  Status Serve(const BodyWriter& body, DseMessage** reply = nullptr) {
    auto message = testsupport::ReceivedBody(body.bytes, HomotopyMgr::kService);
    DseMessage* made = nullptr;
    const Status s = manager.HandleRequest(HomotopyMgr::kService, message.get(), &made, nullptr);
    if (reply != nullptr) {
      *reply = made;
    } else {
      delete made;
    }
    return s;
  }
  void SetUpTwo() {
    ASSERT_EQ(Serve(BodyWriter().U16(71).U16(2).U32(1).F64(12.0).U32(2).F64(-1.0)), 0u);
  }
  Status Hook(std::int32_t hook, std::int32_t* next) {
    services.hook = hook;
    SimActionControl element;
    const Status s = manager.Execute(next, &element, nullptr);
    EXPECT_EQ(element.state, SimActionControl::kDone);
    return s;
  }

  FakeHomotopyServices services;
  HomotopyMgr manager;
  FakeVariable* x = nullptr;
  FakeVariable* y = nullptr;
};

TEST_F(HomotopyMgrTest, ScriptedRunStepsLambdaAndSnapshots) {
  EXPECT_EQ(GetHomotopyManager(), &manager);
  SetUpTwo();
  ASSERT_EQ(manager.GetNumVariables(), 2);
  std::int32_t next = -1;
  EXPECT_EQ(Hook(5, &next), 0u);
  EXPECT_EQ(services.nested, 1);
  EXPECT_FALSE(services.error_reporting);
  EXPECT_EQ(Hook(6, &next), 0u);  // initial specification solved
  EXPECT_EQ(next, 3);
  EXPECT_EQ(manager.Stage(), 1);

  EXPECT_EQ(Hook(5, &next), 0u);
  EXPECT_DOUBLE_EQ(manager.Lambda(), 0.1);
  EXPECT_DOUBLE_EQ(x->value(), 2.0 + 0.1 * 10.0);
  EXPECT_EQ(services.run_requests, 0x2000u);
  EXPECT_EQ(Hook(6, &next), 0u);
  EXPECT_EQ(next, 3);

  // One iteration: min(10 * 0.1 / 1, 1.0) = 1.0, clipped to 0.9.
  services.iterations = {1, 3};
  EXPECT_EQ(Hook(5, &next), 0u);
  EXPECT_DOUBLE_EQ(manager.Step(), 0.9);
  EXPECT_DOUBLE_EQ(manager.Lambda(), 1.0);
  EXPECT_DOUBLE_EQ(x->value(), 12.0);

  EXPECT_EQ(Hook(3, &next), 0u);  // fails at the target
  EXPECT_EQ(next, 5);
  EXPECT_EQ(Hook(5, &next), 0u);  // cut back to 0.1 + 0.45
  EXPECT_DOUBLE_EQ(manager.Step(), 0.45);
  EXPECT_DOUBLE_EQ(manager.Lambda(), 0.55);
  EXPECT_DOUBLE_EQ(services.current_time, 7.5);
  EXPECT_DOUBLE_EQ(services.drivers_applied_at, 7.5);
  EXPECT_DOUBLE_EQ(services.record_time, 3.0);
  EXPECT_EQ(services.record_flag, 1);

  EXPECT_EQ(Hook(6, &next), 0u);
  EXPECT_EQ(next, 3);
  EXPECT_EQ(Hook(5, &next), 0u);  // three iterations: 10 * 0.45 / 3 clipped to 0.45
  EXPECT_DOUBLE_EQ(manager.Lambda(), 1.0);
  EXPECT_EQ(Hook(8, &next), 0u);
  EXPECT_EQ(next, 4);
  EXPECT_EQ(manager.Stage(), 0);

  const std::vector<std::string> expected = {
      "take Homotopy Best Step caller 10", "restore 10", "delete 10",
      "take Homotopy Best Step caller 11", "delete 11",  "problem Homotopy Result"};
  EXPECT_EQ(services.snapshots, expected);
  EXPECT_EQ(services.nested, 0);
  EXPECT_TRUE(services.error_reporting);
  EXPECT_TRUE(services.Printed("Steady state solution obtained for target specification"));
  EXPECT_TRUE(services.Printed("Maximum number of iterations over all blocks =  3 \n"));
  EXPECT_TRUE(services.Printed("x  = 12"));
}

TEST_F(HomotopyMgrTest, CannotReduceReturnsToBestPoint) {
  services.doubles["Homotopy.InitialStep"] = 0.01;
  SetUpTwo();
  std::int32_t next = -1;
  Hook(7, &next);
  Hook(8, &next);
  Hook(7, &next);
  EXPECT_EQ(Hook(3, &next), 0u);
  EXPECT_EQ(Hook(7, &next), 0u);
  EXPECT_TRUE(manager.Failed());
  EXPECT_DOUBLE_EQ(manager.Lambda(), 0.0);
  EXPECT_DOUBLE_EQ(x->value(), 2.0);
  bool found = false;
  for (const auto& p : services.printed) {
    if (p.first == HomotopyMgr::kCannotReduce) {
      found = true;
      EXPECT_EQ(p.second,
                "Homotopy failed:  Cannot reduce step size any further.\nSolution returned to the "
                "best point at parameter value 0.");
    }
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(Hook(8, &next), HomotopyMgr::kFailed);
  EXPECT_EQ(next, 4);
  EXPECT_EQ(services.nested, 0);
  EXPECT_TRUE(services.error_reporting);
}

TEST_F(HomotopyMgrTest, FailureAtInitialSpecificationLeavesNestedMode) {
  SetUpTwo();
  std::int32_t next = -1;
  Hook(5, &next);
  EXPECT_EQ(Hook(3, &next), HomotopyMgr::kFailed);
  EXPECT_EQ(next, 6);
  EXPECT_EQ(services.nested, 0);
  EXPECT_TRUE(services.error_reporting);
  EXPECT_EQ(Hook(1, &next), HomotopyMgr::kBadHook);
  EXPECT_EQ(next, 6);
}

TEST_F(HomotopyMgrTest, NothingToDoPrintsEvenAtLevelZero) {
  services.ints["PrintLevel"] = 0;
  ASSERT_EQ(Serve(BodyWriter().U16(71).U16(0)), 0u);
  std::int32_t next = -1;
  Hook(5, &next);
  EXPECT_EQ(Hook(6, &next), 0u);
  EXPECT_EQ(next, 4);
  ASSERT_EQ(services.printed.size(), 1u);
  EXPECT_EQ(services.printed[0].first, HomotopyMgr::kNothingToDo);

  // Targets within 1e-14 of the start.
  services.printed.clear();
  ASSERT_EQ(Serve(BodyWriter().U16(71).U16(1).U32(1).F64(2.0 + 1e-15)), 0u);
  Hook(5, &next);
  EXPECT_EQ(Hook(6, &next), 0u);
  EXPECT_EQ(next, 4);
  ASSERT_EQ(services.printed.size(), 1u);
  EXPECT_EQ(services.printed[0].second,
            "The current and target specifications are identical.\nNo homotopy will be "
            "performed.\n");
}

TEST_F(HomotopyMgrTest, MessagesStartStopAndLambda) {
  services.ints["RunMode"] = 4;
  EXPECT_EQ(Serve(BodyWriter().U16(72)), 0u);
  EXPECT_TRUE(services.created.empty());
  EXPECT_EQ(services.snapshot_flags, 0x4u);
  EXPECT_EQ(Serve(BodyWriter().U16(73)), 0u);
  EXPECT_EQ(services.removed, 0);  // no action was made: the flag stays
  EXPECT_EQ(services.snapshot_flags, 0x4u);

  services.ints["RunMode"] = 5;
  EXPECT_EQ(Serve(BodyWriter().U16(72)), 0u);
  EXPECT_EQ(services.created, std::vector<std::string>{"HomotopyAction"});
  EXPECT_TRUE(manager.ActionCreated());
  EXPECT_EQ(Serve(BodyWriter().U16(73)), 0u);
  EXPECT_EQ(services.removed, 1);
  EXPECT_EQ(services.snapshot_flags, 0u);
  EXPECT_FALSE(manager.Requested());

  EXPECT_EQ(Serve(BodyWriter().U16(99)), HomotopyMgr::kUnknownKind);
  DseMessage* reply = nullptr;
  EXPECT_EQ(Serve(BodyWriter().U16(74), &reply), 0u);
  ASSERT_NE(reply, nullptr);
  EXPECT_TRUE(
      testsupport::SameBytes(BodyWriter().U16(74).F64(0.0).bytes, testsupport::BodyOf(*reply)));
  EXPECT_EQ(reply->type, HomotopyMgr::kService);
  delete reply;
}

TEST_F(HomotopyMgrTest, SetUpRefusesUnresolvedReferenceAndResets) {
  EXPECT_EQ(Serve(BodyWriter().U16(71).U16(2).U32(1).F64(1.0).U32(99).F64(2.0)),
            FakeServices::kUnresolved);
  EXPECT_EQ(manager.GetNumVariables(), 0);
  EXPECT_NE(Serve(BodyWriter().U16(71).U16(1).U32(1)), 0u);  // target cut short
  EXPECT_EQ(manager.GetNumVariables(), 0);
  SetUpTwo();
  double current[2], target[2], start[2];
  EXPECT_EQ(manager.GetCurrentAndTargetValues(current, target), 0u);
  EXPECT_EQ(current[0], 2.0);
  EXPECT_EQ(target[1], -1.0);
  EXPECT_EQ(manager.GetStartValues(start), 0u);
  EXPECT_EQ(manager.DetachProblem(nullptr, nullptr), 0u);
  EXPECT_EQ(manager.GetNumVariables(), 0);
}

// The count word claims far more entries than the body holds: the set-up is
// refused at the first missing entry and keeps nothing of it.
TEST_F(HomotopyMgrTest, SetUpCountBeyondBodyRefusedWithNothingKept) {
  EXPECT_NE(Serve(BodyWriter().U16(71).U16(0xFFFF).U32(1).F64(5.0)), 0u);
  EXPECT_EQ(manager.GetNumVariables(), 0);
  SetUpTwo();
  EXPECT_EQ(manager.GetNumVariables(), 2);
  double current[2], target[2];
  EXPECT_EQ(manager.GetCurrentAndTargetValues(current, target), 0u);
  EXPECT_EQ(target[0], 12.0);
}

}  // namespace

namespace {

// The open solvers' homotopy object: the homotopy variables by index, their
// values set and read, and a variable destroyed leaving with its target.
TEST_F(HomotopyMgrTest, TheHomotopyVariablesAreTheOpenSolversParameters) {
  EXPECT_EQ(ProcessHomotopy(), static_cast<QLNHomotopyParameters*>(&manager));
  SetUpTwo();
  ASSERT_EQ(manager.Count(), 2);
  EXPECT_STREQ(manager.Name(1), "y");
  EXPECT_STREQ(manager.Name(2), "");
  EXPECT_EQ(manager.SetValue(0, 7.5), 0u);
  EXPECT_EQ(x->value(), 7.5);
  EXPECT_EQ(manager.Value(0), 7.5);
  EXPECT_EQ(manager.SetValue(2, 1.0), HomotopyMgr::kFailed);
  EXPECT_EQ(manager.Evaluate(), 0u);
  y->fail_reads = true;
  EXPECT_EQ(manager.Evaluate(), 1u);
  EXPECT_EQ(manager.Value(1), 0.0);

  manager.ForgetVariable(x);
  ASSERT_EQ(manager.GetNumVariables(), 1);
  EXPECT_EQ(manager.GetVariable(0), y);
  double current[1] = {0.0}, target[1] = {0.0};
  y->fail_reads = false;
  ASSERT_EQ(manager.GetCurrentAndTargetValues(current, target), 0u);
  EXPECT_EQ(target[0], -1.0);
  manager.ForgetVariable(x);
  EXPECT_EQ(manager.GetNumVariables(), 1);
}

}  // namespace
