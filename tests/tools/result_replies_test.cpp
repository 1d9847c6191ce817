// The client's reading of result replies and of request 58's reply.
#include "tools/result_replies.h"

#include <gtest/gtest.h>

#include "framework/messaging/message.h"
#include "tests/framework/message_helpers.h"

namespace {

using vantor_client::Bytes;

Bytes Body(DseMessage& message) {
  const testsupport::Bytes body = testsupport::BodyOf(message);
  return Bytes(body.begin(), body.end());
}

TEST(ResultReplies, KindsAndValuesOfEveryKind) {
  DseMessage kinds_message(55, DseMessage::kIdPathRead);
  for (std::uint16_t kind : {56, 24, 1, 4, 68, 255}) kinds_message.PutUInt16(kind);
  std::vector<std::uint16_t> kinds;
  ASSERT_TRUE(vantor_client::DecodeResultKinds(Body(kinds_message), &kinds));
  EXPECT_EQ(kinds, (std::vector<std::uint16_t>{56, 24, 1, 4, 68, 255}));

  DseMessage values_message(55, DseMessage::kIdPathRead);
  values_message.PutDouble(2.146312);
  values_message.PutUInt32(0x80);
  values_message.PutDouble(static_cast<double>(1e28f));
  values_message.PutUInt8(1);
  values_message.PutUInt32(7);
  values_message.PutString("abc");
  values_message.PutUInt16(10);
  values_message.PutUInt32(2);
  const Bytes body = Body(values_message);
  std::vector<vantor_client::ResultValue> values;
  ASSERT_TRUE(vantor_client::DecodeResultValues(body, kinds, &values));
  ASSERT_EQ(values.size(), 6u);
  EXPECT_EQ(values[0].real, 2.146312);
  EXPECT_EQ(values[0].flags, 0x80u);
  EXPECT_EQ(values[1].real, static_cast<double>(1e28f));
  EXPECT_EQ(values[2].word, 1u);
  EXPECT_EQ(values[3].word, 7u);
  EXPECT_EQ(values[4].text, "abc");
  EXPECT_EQ(values[5].type, 10);
  EXPECT_EQ(values[5].typed, (Bytes{2, 0, 0, 0}));

  // Every cut body is refused, and so is a typed value before the end.
  for (std::size_t cut = 0; cut + 4 < body.size(); ++cut) {
    const Bytes shorter(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(cut));
    EXPECT_FALSE(vantor_client::DecodeResultValues(shorter, kinds, &values)) << cut;
  }
  EXPECT_FALSE(vantor_client::DecodeResultValues(body, {255, 24}, &values));
  EXPECT_FALSE(vantor_client::DecodeResultKinds(Bytes{1}, &kinds));
}

TEST(ResultReplies, RestoreReplyAsTheEngineWritesIt) {
  DseMessage reply(55, DseMessage::kRequest);
  reply.PutUInt16(58);
  reply.PutUInt32(0x40000048u);
  reply.PutDouble(0.0);
  reply.PutUInt32(0xFFFFFFFFu);
  reply.PutString("Missing Description");
  reply.PutUInt32(1);
  reply.PutUInt32(2);
  vantor_client::RestoreReply read;
  ASSERT_TRUE(vantor_client::DecodeRestoreReply(Body(reply), &read));
  EXPECT_EQ(read.status, 0x40000048u);
  EXPECT_EQ(read.count, -1);
  EXPECT_EQ(read.name, "Missing Description");
  EXPECT_EQ(read.time_of_day, 2u);
  Bytes cut = Body(reply);
  cut.pop_back();
  EXPECT_FALSE(vantor_client::DecodeRestoreReply(cut, &read));
}

}  // namespace
