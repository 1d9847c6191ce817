#include "framework/servers/sending.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "framework/messaging/message.h"
#include "framework/messaging/message_controller.h"
#include "framework/servers/client_callback.h"
#include "message_helpers.h"
#include "tests/support/golden.h"

using namespace testsupport;

namespace {

// Keeps sent requests pending as the controller does; a test delivers
// status replies to them, now or from inside a poll.
class StandInController : public DseMessageController {
 public:
  StandInController() { DseSetCurrentController(this); }
  ~StandInController() { DseSetCurrentController(nullptr); }

  Status Send(DseMessage* message, std::uint32_t options, DseClientCB* client, void* context,
              const double* interval, std::int32_t timeout_ms) override {
    if ((options & kDseKeepPending) != 0) message->flags |= DseMessage::kKeepPending;
    const Status prepared = message->PrepareSend(client, context, interval, timeout_ms);
    pending[message->GetId()].reset(message);
    return prepared;
  }
  Status Poll() override {
    ++polls;
    if (on_poll) on_poll();
    return 0;
  }
  bool OutputWaiting() override { return false; }
  Status CancelRequest(std::uint32_t id) override {
    cancelled.push_back(id);
    return pending.erase(id) != 0 ? 0 : 21;
  }
  Status PostEvents(std::uint32_t code, std::int32_t count, const std::uint32_t* values,
                    const std::uint32_t* line_counts, const char* const* const* lines,
                    DseSentMark*) override {
    for (std::int32_t i = 0; i < count; ++i) {
      events.emplace_back(DseMessage::MakeEvent(code, values[i], line_counts[i], lines[i]));
    }
    return 0;
  }
  // A status-only reply to a pending request, handled as the controller's
  // dispatch handles it; false when nothing is pending under the id.
  bool DeliverStatus(std::uint32_t id, Status result) {
    auto found = pending.find(id);
    if (found == pending.end()) return false;
    DseMessage& request = *found->second;
    DseMessage reply(request.type, request.subtype);
    reply.flags = request.flags | DseMessage::kReply | DseMessage::kStatusOnly;
    reply.PutUInt32(result);
    request.OnReply(Received(reply).get(), nullptr);
    if ((reply.flags & (DseMessage::kKeepPending | DseMessage::kPeriodic)) == 0)
      pending.erase(found);
    return true;
  }

  std::map<std::uint32_t, MessagePtr> pending;
  std::vector<MessagePtr> events;
  std::vector<std::uint32_t> cancelled;
  int polls = 0;
  std::function<void()> on_poll;
};

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
TEST(SendingTest, SendAndWaitCancelsARequestThatTimedOutOrWouldStayPending) {
  StandInController controller;
  RecordingClient caller;
  auto* request = new DseMessage(60, DseMessage::kRequest);
  std::uint32_t id = 0;
  controller.on_poll = [&] { id = request->GetId(); };
  EXPECT_EQ(DseSendAndWait(request, 0, &caller, nullptr, nullptr, 5), 0xA000FFFFu);
  EXPECT_EQ(controller.polls, 5);
  EXPECT_EQ(controller.cancelled, std::vector<std::uint32_t>{id});
  EXPECT_FALSE(controller.DeliverStatus(id, 0));  // the late reply is dropped
  EXPECT_TRUE(caller.completions.empty());

  request = new DseMessage(60, DseMessage::kRequest);
  controller.on_poll = [&] { controller.DeliverStatus(request->GetId(), 0); };
  EXPECT_EQ(DseSendAndWait(request, kDseKeepPending, nullptr, nullptr, nullptr, 10), 0u);
  EXPECT_EQ(controller.cancelled.size(), 2u);
  EXPECT_TRUE(controller.pending.empty());
}

TEST(SendingTest, BlockingClientForwardsToTheCallersClient) {
  RecordingClient caller;
  caller.reply_answer = 0x11;
  DseBlockingClientCB blocking(&caller);
  DseBlockingClientCB alone(nullptr);
  DseMessage reply(60, DseMessage::kRequest);
  const Status answers[] = {
      blocking.HandleTemplateReply(60, &reply), blocking.HandleReply(61, &reply, nullptr),
      alone.HandleReply(61, &reply, nullptr),   blocking.HandleOther(61, &reply, nullptr),
      alone.HandleOther(61, &reply, nullptr),   blocking.RequestComplete(5, nullptr)};
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
  EXPECT_EQ(
      std::vector<std::uint32_t>({event.type, event.message_class, event.subtype, event.flags}),
      std::vector<std::uint32_t>({4, 3, 16, 0x20}));
  EXPECT_TRUE(SameBytes(HexBytes("01 00 07 00 00 00 01 00 03 00 00 68 69 00"), BodyOf(event)));

  const std::uint32_t values[] = {1, 2};
  const std::uint32_t counts[] = {0, 2};
  const char* second[] = {"a", "b"};
  const char* const* lines[] = {nullptr, second};
  EXPECT_EQ(DsePostEvent(17, 2, values, counts, lines, nullptr), 0u);
  ASSERT_EQ(controller.events.size(), 3u);
  EXPECT_TRUE(SameBytes(HexBytes("01 00 02 00 00 00 02 00 02 00 00 61 00 02 00 00 62 00"),
                        BodyOf(*controller.events[2])));
  EXPECT_EQ(DsePostEvent(17, 0, nullptr, nullptr, nullptr, nullptr), 0u);
}

}  // namespace
