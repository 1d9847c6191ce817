#include "framework/messaging/message.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "framework/connections/segment.h"
#include "framework/messaging/message_ids.h"
#include "framework/messaging/template.h"
#include "message_helpers.h"
#include "tests/support/golden.h"

using namespace testsupport;

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
  ids.Raise(0x4005);                    // child 2's id
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
                        WireBytes(m)));
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
  const std::pair<DseMessage*, std::uint32_t> made[] = {{request.MakeCancel(), 3},
                                                        {request.MakeDrop(), 4},
                                                        {request.MakeStartTimer(), 5},
                                                        {request.MakeNotice6(), 6}};
  for (const auto& [message, subtype] : made) {
    MessagePtr owned(message);
    EXPECT_EQ(std::vector<std::uint32_t>(
                  {owned->type, owned->message_class, owned->subtype, owned->flags}),
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
    std::unique_ptr<DseMessage> request(
        row.command ? new DseCommand(60, 1, 0, nullptr, 0, nullptr, 0, nullptr)
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

std::string Taken(char* text) {
  return std::unique_ptr<char[]>(text) ? std::string(text) : "<null>";
}

TEST(MessageStreamTest, FixedSizeValuesAreLittleEndianAndReadBack) {
  DseMessage m(60, DseMessage::kRequest);
  std::uint8_t* two = m.ReserveUInt16();
  std::uint8_t* three = m.ReserveUInt24();
  for (Status put : {m.PutUInt8(0xAB), m.PutInt8(-2), m.PutChar('z'), m.PutUInt16(0x1234),
                     m.PutUInt24(0xFFFFFE), m.PutUInt32(0x89ABCDEF),
                     m.PutUInt64(0x0102030405060708ull), m.PutFloat(1.5f), m.PutDouble(-2.0),
                     m.PutUInt32(7), m.PatchUInt16(two, 0xBEEF), m.PatchUInt24(three, 0x123456)}) {
    EXPECT_EQ(put, 0u);
  }
  EXPECT_EQ(m.PatchUInt16(nullptr, 1), 0x8000FFFFu);
  EXPECT_TRUE(SameBytes(
      HexBytes("EF BE 56 34 12 AB FE 7A 34 12 FE FF FF EF CD AB 89 08 07 06 05 04 03 02 01"
               "00 00 C0 3F 00 00 00 00 00 00 00 C0 07 00 00 00"),
      BodyOf(m)));
  auto in = Received(m);
  std::uint8_t u8 = 0;
  std::uint16_t u16 = 0;
  std::uint32_t u32 = 0, u24 = 0, byte = 0;
  std::uint64_t u64 = 0;
  double real = 0;
  unsigned char raw[8];
  in->GetUInt16(&u16);  // the patched places
  in->GetUInt24(&u24);
  for (Status got :
       {in->GetUInt8(&u8), in->GetByteAsUInt32(&byte), in->GetUInt8(&u8), in->GetUInt16(&u16),
        in->GetUInt24(&u24), in->GetUInt32(&u32), in->GetUInt64(&u64)}) {
    EXPECT_EQ(got, 0u);
  }
  EXPECT_EQ(byte, 0xFEu);
  EXPECT_EQ(u8, 'z');
  EXPECT_EQ(u16, 0x1234);
  EXPECT_EQ(u24, 0xFFFFFEu);
  EXPECT_EQ(u32, 0x89ABCDEFu);
  EXPECT_EQ(u64, 0x0102030405060708ull);
  EXPECT_EQ(in->GetFloatAsDouble(&real), 1u);  // 1, not 0, when read
  EXPECT_EQ(real, 1.5);
  EXPECT_EQ(in->TryGet8(raw), 1u);
  EXPECT_TRUE(SameBytes(HexBytes("00 00 00 00 00 00 00 C0"), ToBytes(raw, 8)));
  EXPECT_EQ(in->TryGet4(raw), 1u);
  EXPECT_EQ(in->GetUInt8(&u8), 0x8000FFFFu);
}

TEST(MessageStreamTest, TryReadsTellAShortRestFromAnEmptyBody) {
  auto in = ReceivedBody(HexBytes("01 02 03"));
  unsigned char raw[8] = {9, 9, 9, 9};
  EXPECT_EQ(in->TryGet4(raw), 0u);  // three bytes are not enough
  EXPECT_TRUE(SameBytes(HexBytes("00 00 00 00"), ToBytes(raw, 4)));
  EXPECT_EQ(in->RemainingBytes(), 0u);  // the short rest is used up
  double real = 5;
  EXPECT_EQ(in->GetFloatAsDouble(&real), 0x8000FFFFu);
  EXPECT_EQ(real, 0.0);
  EXPECT_EQ(in->TryGet8(raw), 0x8000FFFFu);
}

// The server thread runs with the invalid-operation trap armed; a peer's
// signalling NaN must neither trap nor leave a raised flag behind.
TEST(MessageStreamTest, SignallingNaNReadsAsAQuietNaNWithoutRaisingAFlag) {
  auto in = ReceivedBody(HexBytes("01 00 80 FF  00 00 C0 7F"));
  std::feclearexcept(FE_ALL_EXCEPT);
  double real = 0;
  EXPECT_EQ(in->GetFloatAsDouble(&real), 1u);
  EXPECT_TRUE(std::isnan(real) && std::signbit(real));
  EXPECT_EQ(in->GetFloatAsDouble(&real), 1u);
  EXPECT_TRUE(std::isnan(real) && !std::signbit(real));
  EXPECT_EQ(std::fetestexcept(FE_INVALID), 0);
}

TEST(MessageStreamTest, StringFormsMatchTheirGoldenBytesAndReadBack) {
  DseMessage m(60, DseMessage::kRequest);
  EXPECT_EQ(m.PutString("abc"), 0u);
  EXPECT_EQ(m.PutCString("abc"), 4u);  // bytes after the length
  EXPECT_EQ(m.PutString(nullptr), 0u);
  EXPECT_EQ(m.PutCString(nullptr), 0u);
  EXPECT_EQ(m.PutString(""), 0u);
  EXPECT_TRUE(
      SameBytes(HexBytes("04 00 00 61 62 63 00  04 00 61 62 63 00  00 00 00  00 00  01 00 00 00"),
                BodyOf(m)));
  auto in = Received(m);
  char buffer[8];
  char* text = nullptr;
  EXPECT_EQ(in->GetStringInto(buffer, sizeof buffer), 4u);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(in->GetShortStringNew(&text), 4u);
  EXPECT_EQ(Taken(text), "abc");
  EXPECT_EQ(in->GetStringNew(&text), 0u);
  EXPECT_EQ(Taken(text), "<null>");  // null travels as null
  EXPECT_EQ(in->GetShortStringInto(buffer, sizeof buffer), 0u);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(in->GetStringNew(&text), 1u);
  EXPECT_EQ(Taken(text), "");
}

TEST(MessageStreamTest, ValuesNeverSplitAcrossSegmentsAndTheReaderFollows) {
  DseMessage m(60, DseMessage::kRequest);
  for (int i = 0; i < 3978; ++i) m.PutUInt8(static_cast<std::uint8_t>(i));
  m.PutUInt32(0xCAFEF00D);
  DseSegment* second = m.FirstSegment()->next;
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(SameBytes(HexBytes("0D F0 FE CA"), ToBytes(second->DataStart(), 4)));
  for (int i = 0; i < 3966; ++i) m.PutUInt8(1);
  EXPECT_EQ(m.PutCString("twelve chars"), 13u);  // 8 bytes left after the length: moves on
  EXPECT_NE(second->next, nullptr);
  EXPECT_EQ(m.PutCString(std::string(3979, 'f').c_str()), 3980u);
  EXPECT_EQ(m.PutCString(std::string(3980, 'g').c_str()), status::kBadArguments);
  // The long form runs across segments, filling each to the brim.
  std::string long_text(4999, 'x');
  for (std::size_t i = 0; i < long_text.size(); ++i) long_text[i] = static_cast<char>('a' + i % 26);
  ASSERT_EQ(m.PutString(long_text.c_str()), 0u);

  auto in = Received(m);
  std::uint8_t byte = 0;
  for (int i = 0; i < 3978; ++i) in->GetUInt8(&byte);
  std::uint32_t value = 0;
  EXPECT_EQ(in->GetUInt32(&value), 0u);
  EXPECT_EQ(value, 0xCAFEF00Du);
  for (int i = 0; i < 3966; ++i) in->GetUInt8(&byte);
  char buffer[32];
  char* text = nullptr;
  EXPECT_EQ(in->GetShortStringInto(buffer, sizeof buffer), 13u);
  EXPECT_STREQ(buffer, "twelve chars");
  EXPECT_EQ(in->GetShortStringNew(&text), 3980u);
  EXPECT_EQ(Taken(text), std::string(3979, 'f'));
  EXPECT_EQ(in->GetStringNew(&text), 5000u);
  EXPECT_EQ(Taken(text), long_text);
}

TEST(MessageStreamTest, ReceivedTextIsBoundedByTheBufferAndTheBodyAndAlwaysTerminated) {
  // "0123456789" twice for too small a buffer; "abcd" and "wxyz" sent
  // without the NUL their lengths count; "a\0b"; a length beyond the body.
  auto in = ReceivedBody(
      HexBytes("0B 00 00 30 31 32 33 34 35 36 37 38 39 00  0B 00 30 31 32 33 34 35 36 37 38 39 00"
               "04 00 00 61 62 63 64  04 00 77 78 79 7A  03 00 00 61 00 62  FF FF FF 61"));
  char small[5] = "kept";
  EXPECT_EQ(in->GetStringInto(small, sizeof small), 0xA000FFFFu);
  EXPECT_STREQ(small, "");
  std::strcpy(small, "kept");
  EXPECT_EQ(in->GetShortStringInto(small, sizeof small), 0xA000FFFFu);
  EXPECT_STREQ(small, "");
  char buffer[16];
  std::memset(buffer, 'Q', sizeof buffer);
  char* text = nullptr;
  EXPECT_EQ(in->GetStringInto(buffer, sizeof buffer), 4u);  // the reader stayed in step
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(in->GetShortStringNew(&text), 4u);
  EXPECT_EQ(Taken(text), "wxy");
  EXPECT_EQ(in->GetStringNew(&text), 3u);
  EXPECT_EQ(Taken(text), "a");
  EXPECT_EQ(in->GetStringNew(&text), 0x8000FFFFu);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(ReceivedBody(HexBytes("10 00 61 62"))->GetShortStringInto(buffer, sizeof buffer),
            0x8000FFFFu);
}

TEST(MessageStreamTest, SeekTruncatesAndReturnsLaterSegmentsToThePool) {
  DseMessage m(60, DseMessage::kRequest);
  m.PutUInt32(1);
  std::uint8_t* mark = m.Tell();
  for (int i = 0; i < 9000; ++i) m.PutUInt8(2);
  // Blocks in use, not free ones: a large pool deletes surplus blocks given back.
  const auto in_use = [] { return DseSegment::PoolMadeCount() - DseSegment::PoolFreeCount(); };
  const std::uint32_t used_before = in_use();
  EXPECT_EQ(m.Seek(mark), 0u);
  EXPECT_EQ(m.FirstSegment()->next, nullptr);
  EXPECT_EQ(in_use(), used_before - 2);
  m.PutUInt16(0x0303);
  EXPECT_TRUE(SameBytes(HexBytes("01 00 00 00 03 03"), BodyOf(m)));
  std::uint8_t elsewhere[4];
  EXPECT_EQ(m.Seek(elsewhere), 0x80000015u);
}

TEST(MessageStreamTest, RereadFromKeepsEverySegmentOfAReceivedMessage) {
  DseMessage sent(60, DseMessage::kRequest);
  sent.PutUInt32(7);
  // Three segments of doubles, each landing whole in its segment.
  for (int i = 0; i < 1200; ++i) sent.PutDouble(i);
  MessagePtr received = Received(sent);
  std::uint32_t first = 0;
  ASSERT_EQ(received->GetUInt32(&first), 0u);
  std::uint8_t* mark = received->Tell();
  const std::uint32_t rest = received->RemainingBytes();
  auto read_all = [&] {
    double sum = 0, value = 0;
    for (int i = 0; i < 1200; ++i) {
      if (received->TryGet8(&value) != 1) return -1.0;
      sum += value;
    }
    return sum;
  };
  const double whole = 1199.0 * 1200.0 / 2.0;
  EXPECT_EQ(read_all(), whole);
  EXPECT_EQ(received->RemainingBytes(), 0u);
  EXPECT_EQ(received->RereadFrom(mark), 0u);
  EXPECT_EQ(received->RemainingBytes(), rest);
  EXPECT_EQ(read_all(), whole);
  std::uint8_t elsewhere[4];
  EXPECT_EQ(received->RereadFrom(elsewhere), 0x80000015u);
}

}  // namespace
