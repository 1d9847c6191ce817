// The controller's failure paths: set-up, nested batches, unannounced types, handshakes.
#include <gtest/gtest.h>

#include "fake_connection.h"
#include "framework/messaging/io_queue.h"
#include "framework/servers/controller.h"
#include "framework/servers/server_callback.h"
#include "framework/servers/server_registry.h"
#include "message_helpers.h"
#include "platform/child_process.h"
#include "segment_helpers.h"
#include "shared_batch.h"
#include "tests/support/stdout_capture.h"

using testsupport::Bytes;
using testsupport::FakeConnection;
using testsupport::MessagePtr;
using testsupport::TakeMessages;

namespace {

// Answers request kind 1 with "OK" and fails kind 2; records commands.
class Server : public DseServerCB {
 public:
  Status HandleCommand(std::uint32_t, std::uint32_t command, std::uint32_t, const char* const*,
                       std::uint32_t, const std::int32_t*, std::uint32_t, const double*) override {
    commands.push_back(command);
    return 0;
  }
  Status HandleRequest(std::uint32_t type, DseMessage* request, DseMessage** reply,
                       DseTemplate**) override {
    std::uint16_t kind = 0;
    request->GetUInt16(&kind);
    if (kind != 1) return 0x8000020F;
    *reply = new DseMessage(type, request->subtype);
    (*reply)->PutUInt16(0x4B4F);
    return 0;
  }
  std::vector<std::uint32_t> commands;
};

MessagePtr Command(std::uint32_t number, std::uint32_t flags = 0) {
  auto command = std::make_unique<DseMessage>(60, DseMessage::kCommand);
  command->flags = flags;
  for (std::uint32_t value : {number, 0u, 0u, 0u}) command->PutUInt32(value);
  return command;
}

Status CarriedStatus(DseMessage& reply) {
  std::uint32_t carried = 0;
  EXPECT_EQ(reply.GetUInt32(&carried), 0u);
  return carried;
}

// A child's controller whose parent is a fake connection.
class ChildController : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* argv[] = {"engine", "-ChildNo=1"};
    Status status = 0;
    controller_ = std::make_unique<DseController>(2, argv, "vantor.cfg", &status);
    ASSERT_EQ(status, 0u);
    registry_.Register(60, &server_);
    wire_ = new FakeConnection;
    controller_->IOQueue()->AddPeerOver(wire_, 0, nullptr);
    ASSERT_EQ(controller_->StartWithPeers(&registry_, nullptr), 0u);
  }
  // Queues the parent's peer list and its answer to the child's connect,
  // announcing the types; the next poll completes the handshake.
  void QueueHandshake(const std::vector<std::uint32_t>& types) {
    DseMessage list(DseMessage::kConnectionType, DseMessage::kPeerList);
    list.message_class = DseMessage::kControlClass;
    list.PutUInt32(0);
    wire_->Deliver(list);
    DseMessage answer(DseMessage::kConnectionType, DseMessage::kConnect);
    answer.message_class = DseMessage::kControlClass;
    answer.flags = DseMessage::kReply;
    answer.PutUInt32(static_cast<std::uint32_t>(types.size()));
    for (std::uint32_t type : types) answer.PutUInt32(type);
    wire_->Deliver(answer);
  }
  // Polls and returns what the child wrote, connect messages left out.
  std::vector<MessagePtr> Round(Status expected = DseIOQueue::kAllWritten) {
    EXPECT_EQ(controller_->Poll(), expected);
    auto sent = TakeMessages(&wire_->output);
    std::erase_if(sent, [](const MessagePtr& m) { return m->type == DseMessage::kConnectionType; });
    return sent;
  }

  Server server_;
  DseServerRegistry registry_;
  std::unique_ptr<DseController> controller_;
  FakeConnection* wire_ = nullptr;
};

TEST_F(ChildController, ABatchAnnouncedInsideABatchIsRefusedAndTheRestOfTheBatchRuns) {
  QueueHandshake({DseMessage::kEventType, 60});
  Round();
  testsupport::SharedBatches batches;
  const std::uint32_t second = batches.Next();
  // The inner announcement names its own batch.
  auto announce = [&](std::uint32_t size) {
    auto announcement = std::make_unique<DseMessage>(60, DseMessage::kBatchAnnouncement);
    for (std::uint32_t value : {batches.First(), second, size}) announcement->PutUInt32(value);
    return announcement;
  };
  const std::size_t size =
      testsupport::BatchLayout({announce(0).get(), Command(5, 0x20).get()}).size();
  const auto inner = announce(static_cast<std::uint32_t>(size));
  const auto after = Command(5, 0x20);
  ASSERT_EQ(batches.Share(testsupport::BatchLayout({inner.get(), after.get()})), second);

  wire_->Deliver(*announce(static_cast<std::uint32_t>(size)));
  testsupport::StdoutCapture said;
  const auto sent = Round();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(CarriedStatus(*sent[0]), 0u);
  EXPECT_EQ(CarriedStatus(*sent[1]), 0x8000020Fu);
  EXPECT_EQ(server_.commands, std::vector<std::uint32_t>{5});
  EXPECT_FALSE(controller_->IOQueue()->BatchOpen());
  EXPECT_NE(said.Take().find("Batched messages refused: a batch announced inside a batch"),
            std::string::npos);
}

TEST_F(ChildController, ARequestWantingNoReplyStillGetsTheReplyItsServerMade) {
  QueueHandshake({DseMessage::kEventType});
  Round();
  DseMessage request(60, DseMessage::kRequest);
  request.flags = DseMessage::kNoReply;
  request.PutUInt16(1);
  wire_->Deliver(request);
  const auto sent = Round();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0]->flags, 0xA0u);
  EXPECT_EQ(testsupport::DataOf(sent[0]->FirstSegment()), (Bytes{0x4F, 0x4B}));
}

TEST_F(ChildController, ARequestForATypeNobodyAnnouncedCompletesWithAFailure) {
  testsupport::RecordingClient client;
  auto* request = new DseMessage(70, DseMessage::kRequest);
  ASSERT_FALSE(status::IsFailure(controller_->Send(request, 0, &client, nullptr, nullptr, -1)));
  DseMessage* line = DseMessage::MakeEvent(16, 0, 0, nullptr);
  ASSERT_FALSE(status::IsFailure(controller_->Send(line, 0, nullptr, nullptr, nullptr, -1)));
  QueueHandshake({DseMessage::kEventType});
  testsupport::StdoutCapture said;
  const auto sent = Round();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0]->type, DseMessage::kEventType);
  EXPECT_EQ(client.completions, std::vector<Status>{0xA000FFFF});
  EXPECT_EQ(controller_->PendingCount(), 0u);
  EXPECT_NE(said.Take().find("of type 70 dropped: no peer serves the type"), std::string::npos);
}

TEST_F(ChildController, AnOrphanDispatchesWhatItReadAndSaysWhichHandshakeItMissed) {
  controller_->SetConnectDeadline(0);
  wire_->Deliver(*Command(5));
  testsupport::StdoutCapture said;
  const auto sent = Round(DseIOQueue::kPeerLost);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(CarriedStatus(*sent[0]), 0u);
  EXPECT_EQ(server_.commands, std::vector<std::uint32_t>{5});
  EXPECT_NE(said.Take().find("The connect handshake with process 0 did not complete within 0 ms"),
            std::string::npos);
}

TEST_F(ChildController, AClientThatEndsBeforeTheHandshakeEndsItWithoutWaitingForTheDeadline) {
  testsupport::StdoutCapture said;
  Round();
  EXPECT_NE(controller_->ConnectionState(), DseController::kAllConnected);
  // The parent is gone: this process now has another one.
  platform::SetParentProcessIdForTesting(1);
  Round(DseIOQueue::kPeerLost);
  platform::SetParentProcessIdForTesting(0);
  EXPECT_NE(said.Take().find("The parent process ended before the connect handshake completed"),
            std::string::npos);
}

TEST_F(ChildController, AHandshakeCompletedInTheLastRoundBeatsTheDeadline) {
  controller_->SetConnectDeadline(0);
  QueueHandshake({DseMessage::kEventType});
  Round();
  EXPECT_EQ(controller_->ConnectionState(), DseController::kAllConnected);
}

TEST(ControllerSetUp, AControllerWhoseSetUpFailedRefusesEveryCall) {
  testsupport::StdoutCapture quiet;
  const char* argv[] = {"engine", "-ChildNo=0"};
  Status status = 0;
  DseController controller(2, argv, "vantor.cfg", &status);
  ASSERT_EQ(status, 0xA000FFFFu);
  DseServerRegistry registry;
  EXPECT_EQ(controller.Start(&registry, nullptr), 0xA000FFFFu);
  EXPECT_EQ(controller.StartWithPeers(&registry, nullptr), 0xA000FFFFu);
  EXPECT_EQ(controller.WaitForConnections(1), 0xA000FFFFu);
  EXPECT_EQ(controller.Dispatch(new DseMessage(60, DseMessage::kRequest)), 0xA000FFFFu);
  EXPECT_EQ(controller.PollWithTimers(), 0x8000FFFFu);
  EXPECT_EQ(controller.CancelRequest(1), 0xA000FFFFu);
  DseServerRegistry* back = &registry;
  controller.ReleaseServerRegistry(&back);
  EXPECT_EQ(back, nullptr);
}

}  // namespace
