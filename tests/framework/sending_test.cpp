#include "framework/sending.h"

#include <gtest/gtest.h>

#include "framework/client_callback.h"
#include "framework/message.h"
#include "message_helpers.h"
#include "tests/support/golden.h"

using testsupport::BodyOf;
using testsupport::HexBytes;
using testsupport::RecordingClient;
using testsupport::SameBytes;
using testsupport::StandInController;

namespace {

TEST(SendingTest, WithoutAControllerNothingIsSentAndWaitsWithoutACountAreAThousand) {
  DseMessage message(60, DseMessage::kRequest);
  EXPECT_EQ(DseSendMessage(&message, 0, nullptr, nullptr, nullptr, -1), 0xA000FFFFu);
  EXPECT_EQ(DsePostEventText(16, 0, "line"), 0xA000FFFFu);
  DseBlockingClientCB blocking(nullptr);
  EXPECT_EQ(DseWaitForReply(&blocking, 3), 0xA000FFFFu);
  StandInController controller;
  EXPECT_EQ(DseWaitForReply(&blocking, 0), 0xA000FFFFu);
  EXPECT_EQ(controller.polls, 1000);
}

TEST(SendingTest, SendAndWaitReturnsWhenTheReplyArrivesDuringAPoll) {
  StandInController controller;
  RecordingClient caller;
  auto* request = new DseMessage(60, DseMessage::kRequest);
  controller.on_poll = [&] {
    if (controller.polls == 3) controller.DeliverStatus(request->GetId(), 0x00320004);
  };
  int context = 0;
  EXPECT_EQ(DseSendAndWait(request, 0, &caller, &context, nullptr, 50), 0u);
  EXPECT_EQ(controller.polls, 3);
  EXPECT_EQ(caller.completions, std::vector<Status>{0x00320004u});
  EXPECT_EQ(caller.last_context, &context);
  EXPECT_TRUE(controller.pending.empty());
  EXPECT_TRUE(controller.cancelled.empty());
}

// The caller's frame is gone once the call returns: a reply that arrives
// later must find no pending request pointing into it.
TEST(SendingTest, SendAndWaitThatTimesOutCancelsItsRequestBeforeALateReply) {
  StandInController controller;
  RecordingClient caller;
  auto* request = new DseMessage(60, DseMessage::kRequest);
  std::uint32_t id = 0;
  controller.on_poll = [&] { id = request->GetId(); };
  EXPECT_EQ(DseSendAndWait(request, 0, &caller, nullptr, nullptr, 5), 0xA000FFFFu);
  EXPECT_EQ(controller.polls, 5);
  EXPECT_EQ(controller.cancelled, std::vector<std::uint32_t>{id});
  EXPECT_TRUE(controller.pending.empty());
  EXPECT_FALSE(controller.DeliverStatus(id, 0));  // the late reply is dropped
  EXPECT_TRUE(caller.completions.empty());
}

TEST(SendingTest, SendAndWaitCancelsARequestThatWouldStayPending) {
  StandInController controller;
  auto* request = new DseMessage(60, DseMessage::kRequest);
  controller.on_poll = [&] { controller.DeliverStatus(request->GetId(), 0); };
  EXPECT_EQ(DseSendAndWait(request, kDseKeepPending, nullptr, nullptr, nullptr, 10), 0u);
  EXPECT_EQ(controller.cancelled.size(), 1u);
  EXPECT_TRUE(controller.pending.empty());
}

TEST(SendingTest, BlockingClientForwardsToTheCallersClient) {
  RecordingClient caller;
  caller.reply_answer = 0x11;
  DseBlockingClientCB blocking(&caller);
  DseBlockingClientCB alone(nullptr);
  DseMessage reply(60, DseMessage::kRequest);
  const Status answers[] = {blocking.HandleTemplateReply(60, &reply), blocking.HandleReply(61, &reply, nullptr),
                            alone.HandleReply(61, &reply, nullptr), blocking.HandleOther(61, &reply, nullptr),
                            alone.HandleOther(61, &reply, nullptr), blocking.RequestComplete(5, nullptr)};
  EXPECT_EQ(std::vector<Status>(std::begin(answers), std::end(answers)),
            (std::vector<Status>{0xA000FFFF, 0x11, 0xA000FFFF, 0x80000028, 0, 0}));
  EXPECT_FALSE(blocking.Waiting());
  EXPECT_EQ(caller.completions, std::vector<Status>{5u});
}

TEST(SendingTest, EventLinesTravelAsTypeFourMessages) {
  StandInController controller;
  EXPECT_EQ(DsePostEventText(16, 7, "hi"), 0u);
  ASSERT_EQ(controller.events.size(), 1u);
  const DseMessage& event = *controller.events[0];
  EXPECT_EQ(event.type, 4u);
  EXPECT_EQ(event.message_class, 3u);
  EXPECT_EQ(event.subtype, 16u);
  EXPECT_EQ(event.flags, 0x20u);
  EXPECT_TRUE(SameBytes(HexBytes("01 00 07 00 00 00 01 00 03 00 00 68 69 00"), BodyOf(event)));

  const std::uint32_t values[] = {1, 2};
  const std::uint32_t counts[] = {0, 2};
  const char* second[] = {"a", "b"};
  const char* const* lines[] = {nullptr, second};
  EXPECT_EQ(DsePostEvent(17, 2, values, counts, lines), 0u);
  ASSERT_EQ(controller.events.size(), 3u);
  EXPECT_TRUE(SameBytes(HexBytes("01 00 02 00 00 00 02 00 02 00 00 61 00 02 00 00 62 00"),
                        BodyOf(*controller.events[2])));
  EXPECT_EQ(DsePostEvent(17, 0, nullptr, nullptr, nullptr), 0u);
}

}  // namespace
