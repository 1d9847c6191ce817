#include "framework/message.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "framework/message_ids.h"
#include "framework/segment.h"
#include "framework/template.h"
#include "message_helpers.h"
#include "tests/support/golden.h"

using testsupport::BodyOf;
using testsupport::HexBytes;
using testsupport::MessagePtr;
using testsupport::Peer;
using testsupport::Received;
using testsupport::ReceivedChain;
using testsupport::RecordingClient;
using testsupport::SameBytes;

namespace {

// Publishes a fresh allocator for one test.
class OwnIds {
 public:
  explicit OwnIds(std::int32_t child = 0) : ids(child) { DseMessageIdAllocator::SetCurrent(&ids); }
  ~OwnIds() { DseMessageIdAllocator::SetCurrent(nullptr); }
  DseMessageIdAllocator ids;
};

class PlainTemplate : public DseTemplate {
 public:
  using DseTemplate::DseTemplate;
  Status BuildHeader(DseMessage**) override { return 0; }
  Status Fill(DseMessage**) override { return 0; }
};

TEST(MessageIdTest, IdsCarryThePrefixWrapAndSkipThoseInUse) {
  DseMessageIdAllocator ids(1);
  for (std::uint32_t n = 1; n <= 8191; ++n) ASSERT_EQ(ids.Allocate(), 0x2000u | n);
  EXPECT_EQ(ids.Allocate(), 0u);  // every value is in use
  ids.Lower(0x2005);
  ids.Lower(0x2003);
  EXPECT_EQ(ids.Allocate(), 0x2003u);  // wrapped to 1, skipped 1 and 2
  EXPECT_EQ(ids.Allocate(), 0x2005u);
  ids.Raise(0x2003);
  EXPECT_EQ(ids.UseCount(0x2003), 2u);
  for (int i = 0; i < 3; ++i) ids.Lower(0x2003);
  EXPECT_EQ(ids.UseCount(0x2003), 0u);  // not below 0
  ids.Raise(0x4005);  // child 2's id
  EXPECT_EQ(ids.UseCount(0x4005), 0u);
}

TEST(MessageIdTest, MessagesRepliesAndTemplatesHoldTheirId) {
  OwnIds own;
  auto request = std::make_unique<DseMessage>(60, DseMessage::kIdPathRead);
  request->PutDouble(0.0);
  ASSERT_EQ(request->Pack(true), 0u);
  const std::uint32_t id = request->GetId();
  MessagePtr received = Received(*request);
  MessagePtr reply(DseMessage::DseMessageAsReply(*received));
  EXPECT_EQ(reply->GetId(), id);
  EXPECT_EQ(own.ids.UseCount(id), 3u);
  {
    PlainTemplate kept(*received);
    EXPECT_EQ(own.ids.UseCount(id), 4u);
  }
  request.reset();
  received.reset();
  reply.reset();
  EXPECT_EQ(own.ids.UseCount(id), 0u);
}

TEST(MessageTest, PackWritesTheHeaderAndOnlyNonRepliesTakeANewId) {
  OwnIds own(1);
  DseMessage m(60, DseMessage::kRequest);
  m.aux = 2;
  m.sequence = 9;
  m.flags = 0x20;
  m.PutUInt8(0xEE);
  ASSERT_EQ(m.Pack(true), 0u);
  EXPECT_EQ(m.State(), DseMessage::kPacked);
  EXPECT_TRUE(SameBytes(HexBytes("02 0F 00 F0 FF 10 20 03 0C 3C 01 20 02 09 01 00 01 00 EE 03"),
                        testsupport::WireBytes(m)));
  EXPECT_EQ(m.Pack(true), 0u);  // already packed: same id
  EXPECT_EQ(m.GetId(), 0x2001u);
  MessagePtr reply(DseMessage::DseMessageAsReply(*Received(m)));
  ASSERT_EQ(reply->Pack(true), 0u);
  EXPECT_EQ(reply->GetId(), 0x2001u);
}

TEST(MessageTest, ControlMessagesCarryTheRequestIdAsU16AndPeriodicRequestsTheirFlags) {
  OwnIds own(3);
  DseMessage request(70, DseMessage::kRequest);
  request.message_class = 4;
  request.Pack(true);
  const std::pair<DseMessage*, std::uint32_t> made[] = {
      {request.MakeCancel(), 3}, {request.MakeDrop(), 4}, {request.MakeStartTimer(), 5}, {request.MakeNotice6(), 6}};
  for (const auto& [message, subtype] : made) {
    MessagePtr owned(message);
    EXPECT_EQ(std::vector<std::uint32_t>({owned->type, owned->message_class, owned->subtype, owned->flags}),
              std::vector<std::uint32_t>({70, 4, subtype, subtype == 3 ? 0x20u : 0u}));
    EXPECT_TRUE(SameBytes(HexBytes("01 60"), BodyOf(*owned)));
  }
  const double every = 2.5;
  DseMessage periodic(60, DseMessage::kRequest);
  ASSERT_EQ(periodic.PrepareSend(nullptr, nullptr, &every, 300), 0u);
  EXPECT_EQ(periodic.flags, 0x11u);
  EXPECT_EQ(periodic.timeout, 300.0);
  DseMessage once(60, DseMessage::kRequest);
  once.PrepareSend(nullptr, nullptr, nullptr, -1);
  EXPECT_EQ(once.flags, 0u);
}

// Replies of several destinations gathered as the I/O layer gathers them.
class ReplyCombinationTest : public ::testing::Test {
 protected:
  // A status-only reply per status; 0 stands for a reply with a body.
  Status Combine(DseMessage& request, const std::vector<Status>& statuses) {
    for (std::uint32_t i = 0; i < statuses.size(); ++i) request.AddDestination(Peer(i));
    request.PrepareSend(&client_, &client_, nullptr, -1);
    MessagePtr gathered;
    for (std::uint32_t i = 0; i < statuses.size(); ++i) {
      DseMessage reply(60, request.subtype);
      reply.flags = DseMessage::kReply | (statuses[i] != 0 ? DseMessage::kStatusOnly : 0);
      reply.PutUInt32(statuses[i]);
      if (i == 0) {
        gathered = Received(reply, Peer(0));
        gathered->flags |= DseMessage::kGathered;
        gathered->CopyDestinations(request);
        EXPECT_EQ(gathered->CollectReply(gathered->TakeSegments()), 0u);
      } else {
        EXPECT_FALSE(gathered->HasAllReplies());
        EXPECT_EQ(gathered->CollectReply(ReceivedChain(reply, Peer(i))), 0u);
      }
    }
    EXPECT_TRUE(gathered->HasAllReplies());
    DseSegment* again = ReceivedChain(request, Peer(0));
    EXPECT_EQ(gathered->CollectReply(again), 0x8000FFFFu);  // a second reply of one destination
    DseSegment::ReturnChain(again);
    return request.OnReply(gathered.get(), nullptr);
  }
  RecordingClient client_;
};

TEST_F(ReplyCombinationTest, AFailureWinsAmongRepliesElseTheGreatestLowHalf) {
  client_.reply_answer = 7;
  struct Row {
    bool command;
    std::vector<Status> statuses;
    Status combined;
  };
  const Row rows[] = {
      {false, {0x00010005, 0x80000123, 0}, 0x80000123},  // the reply with a body answers 7
      {false, {0x00320002, 0x00000009, 0x00010003}, 9},
      // Commands keep the greatest success or the smallest failure.
      {true, {5, 0x80000100, 0x80000001}, 0x80000001},
      {true, {3, 7, 1}, 7},
  };
  for (const Row& row : rows) {
    std::unique_ptr<DseMessage> request(row.command ? new DseCommand(60, 1, 0, nullptr, 0, nullptr, 0, nullptr)
                                                    : new DseMessage(60, DseMessage::kRequest));
    EXPECT_EQ(Combine(*request, row.statuses), row.combined);
    EXPECT_EQ(client_.completions.back(), row.combined);
  }
  EXPECT_EQ(client_.reply_types, std::vector<std::uint32_t>{60});  // only the reply with a body
  EXPECT_EQ(client_.last_context, &client_);
}

TEST_F(ReplyCombinationTest, SingleRepliesTemplateRepliesAndOtherSubtypesCompleteTheRequest) {
  DseMessage request(60, DseMessage::kRequest);
  request.PrepareSend(&client_, nullptr, nullptr, -1);
  DseMessage failed(60, 12);
  failed.flags = DseMessage::kReply | DseMessage::kStatusOnly;
  failed.PutUInt32(0x80000044);
  DseMessage* follow_up = &request;
  EXPECT_EQ(request.OnReply(Received(failed).get(), &follow_up), 0x80000044u);
  EXPECT_EQ(follow_up, nullptr);

  DseMessage header(60, 7);
  MessagePtr reply = Received(header);
  EXPECT_EQ(request.OnTemplateReply(reply.get()), 0u);
  client_.template_answer = 0x80000099;
  EXPECT_EQ(request.OnTemplateReply(reply.get()), 0x80000099u);
  DseMessage orphan(60, DseMessage::kRequest);
  EXPECT_EQ(orphan.OnTemplateReply(reply.get()), 0x80000028u);

  DseMessage write(60, DseMessage::kIdPathWrite);
  write.PrepareSend(&client_, nullptr, nullptr, -1);
  EXPECT_EQ(write.OnReply(reply.get(), nullptr), 0xA000FFFFu);
  EXPECT_EQ(write.OnTemplateReply(reply.get()), 0xA000FFFFu);
  EXPECT_EQ(client_.template_replies, 2);
  EXPECT_EQ(client_.completions, (std::vector<Status>{0x80000044u, 0x80000099u, 0xA000FFFFu}));
}

}  // namespace
