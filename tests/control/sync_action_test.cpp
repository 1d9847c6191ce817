// The synchronisation action: creation through "Sync", the exchange with
// the client at its hook points, the pass budget of SyncSteps, and a send
// that fails.
#include "control/actions/sync_action.h"

#include <gtest/gtest.h>

#include "solve/options/solver_option_table.h"
#include "tests/control/action_test_support.h"
#include "tests/support/golden.h"

namespace {

using testsupport::BodyOf;

class SyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    manager_ = SimActionMgr::Instance();
    ASSERT_EQ(manager_->RegisterFactory(&factory_), 0u);
    SolverOptionTable::Instance()->SetInt(SimSync::kSyncStepsOption, 0);
  }
  void TearDown() override {
    SimActionMgr::Destroy();
    SolverOptionTable::Instance()->SetDefaults();
  }

  // Creates an action named "S1"; the handle it was given.
  std::uint64_t Create() {
    DseMessage name(67, 12);
    name.PutString("S1");
    testsupport::MessagePtr request = testsupport::CreateRequest("Sync", testsupport::BodyOf(name));
    std::uint8_t skip[8];
    char text[8];
    request->GetStringInto(text, sizeof text);
    request->GetUInt32(reinterpret_cast<std::uint32_t*>(skip));
    DseMessage* reply = nullptr;
    EXPECT_EQ(manager_->CreateAction("sync", request.get(), &reply), 1u);
    std::unique_ptr<DseMessage> owned(reply);
    EXPECT_NE(reply, nullptr);
    created_reply_ = BodyOf(*reply);
    return manager_->FindAction(1) != nullptr ? 1 : 0;
  }

  Status Pass(std::int32_t point = 12) {
    manager_->SetHookPoint(point, 13);
    std::int32_t request = 0;
    return manager_->Dispatch(&request);
  }

  SimSyncMgr factory_;
  SimActionMgr* manager_ = nullptr;
  testsupport::RecordingSender sender_;
  testsupport::Bytes created_reply_;
};

TEST_F(SyncTest, CreationCopiesTheRequestAndHooksTheFourPointsInListTwo) {
  const std::uint64_t handle = Create();
  ASSERT_EQ(handle, 1u);
  // "Sync" u32 2 "S1", then u16 0 and the handle the manager appends.
  const testsupport::Bytes expected = {5, 0,   0,   'S', 'y', 'n', 'c', 0, 2, 0, 0, 0, 3, 0,
                                       0, 'S', '1', 0,   0,   0,   1,   0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(created_reply_, expected);
  for (std::int32_t point = 0; point < kHookPointCount; ++point) {
    const bool hooked = point == 6 || point == 8 || point == 10 || point == 12;
    EXPECT_EQ(manager_->ListSize(point, 2), hooked ? 1u : 0u) << point;
  }
}

TEST_F(SyncTest, AnOverlongNameCreatesNothing) {
  DseMessage name(67, 12);
  name.PutString(std::string(SimSyncMgr::kNameRoom, 'n').c_str());
  testsupport::MessagePtr request = testsupport::CreateRequest("Sync", BodyOf(name));
  char text[8];
  std::uint32_t kind = 0;
  request->GetStringInto(text, sizeof text);
  request->GetUInt32(&kind);
  DseMessage* reply = nullptr;
  EXPECT_TRUE(status::IsFailure(manager_->CreateAction("Sync", request.get(), &reply)));
  EXPECT_EQ(reply, nullptr);
  EXPECT_EQ(manager_->ListSize(12, 2), 0u);
}

TEST_F(SyncTest, FullWaitsForEveryReplyAndEveryExchangeNamesItsClient) {
  const std::uint64_t handle = Create();
  for (int exchange = 0; exchange < 3; ++exchange) {
    EXPECT_EQ(Pass(), kCallAgain);
    EXPECT_EQ(Pass(), kCallAgain);
    ASSERT_EQ(sender_.sent.size(), static_cast<std::size_t>(exchange + 1));
    // The mended send: the manager hears the replies of every exchange.
    EXPECT_EQ(sender_.sent.back().client, manager_);
    EXPECT_EQ(sender_.sent.back().context, manager_->FindAction(handle));
    ASSERT_EQ(sender_.Answer(handle, {}), 0u);
    EXPECT_EQ(Pass(), 0u);
  }
  // The action's own answers, as the hook point hears them.
  NewSimAction* action = manager_->FindAction(handle);
  std::int32_t request = 0;
  EXPECT_EQ(action->Execute(&request, nullptr, nullptr), SimSync::kWait);
  EXPECT_EQ(request, 1);
  ASSERT_EQ(sender_.Answer(handle, {}), 0u);
  EXPECT_EQ(action->Execute(&request, nullptr, nullptr), SimSync::kDone);
  // The exchange is the request with u16 1.
  testsupport::Bytes body = testsupport::ReceivedBodyOf(*sender_.sent[0].message);
  ASSERT_GE(body.size(), 2u);
  EXPECT_EQ(body[body.size() - 2], 1);
  EXPECT_EQ(body[body.size() - 1], 0);
}

TEST_F(SyncTest, HighGoesOnForFivePassesAfterAReplyAndWaitsAtTheSixth) {
  const std::uint64_t handle = Create();
  SolverOptionTable::Instance()->SetInt(SimSync::kSyncStepsOption, 3);
  SolverOptionTable::Instance()->ApplyPendingChanges();
  EXPECT_EQ(Pass(), kCallAgain);  // the budget starts empty
  ASSERT_EQ(sender_.Answer(handle, {}), 0u);
  EXPECT_EQ(Pass(), 0u);
  EXPECT_EQ(SimSync::PassBudget(3), 5);
  for (int pass = 0; pass < 5; ++pass) EXPECT_EQ(Pass(), 0u) << pass;
  EXPECT_EQ(Pass(), kCallAgain);
  // Only one exchange is out at a time.
  EXPECT_EQ(sender_.sent.size(), 2u);
}

TEST(SyncBudget, OutOfRangeValuesWaitAsFull) {
  EXPECT_EQ(SimSync::PassBudget(0), 0);
  EXPECT_EQ(SimSync::PassBudget(1), 500);
  EXPECT_EQ(SimSync::PassBudget(2), 20);
  EXPECT_EQ(SimSync::PassBudget(4), 0);
  EXPECT_EQ(SimSync::PassBudget(-1), 0);
}

TEST_F(SyncTest, AFailedSendIsReturnedOnceThenTheActionLeavesAndIsFreed) {
  Create();
  sender_.fail = true;
  EXPECT_EQ(Pass(), 0x80000035u);
  EXPECT_EQ(manager_->ListSize(12, 2), 1u);
  EXPECT_EQ(Pass(), 0u);
  for (std::int32_t point : SimSync::kHookPoints) EXPECT_EQ(manager_->ListSize(point, 2), 0u);
  EXPECT_EQ(manager_->FlushPendingRemovals(), 10u);
  EXPECT_EQ(manager_->FindAction(1), nullptr);
  EXPECT_EQ(factory_.InstanceCount(), 0);
}

TEST_F(SyncTest, RemovingAnActionThatAwaitsAReplyCancelsTheRequest) {
  Create();
  EXPECT_EQ(Pass(), kCallAgain);
  ASSERT_EQ(manager_->RemoveAction(manager_->FindAction(1)), 0u);
  ASSERT_EQ(sender_.cancelled.size(), 1u);
  EXPECT_EQ(sender_.cancelled[0], sender_.sent[0].id);
}

}  // namespace
