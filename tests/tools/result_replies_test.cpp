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

TEST(ResultReplies, TimePlotWithAJumpAndItsHeader) {
  DseMessage header(55, DseMessage::kRequest);
  header.PutUInt32(2);
  header.PutUInt32(24);
  header.PutUInt32(0);
  vantor_client::PlotData plot;
  ASSERT_TRUE(vantor_client::DecodePlotHeader(Body(header), &plot));
  EXPECT_EQ(plot.found, (std::vector<bool>{true, false}));
  header.PutUInt32(24);
  EXPECT_FALSE(vantor_client::DecodePlotHeader(Body(header), &plot));

  DseMessage data(55, DseMessage::kRequest);
  data.PutUInt32(1);
  data.PutUInt24(0);
  data.PutUInt32(3);
  for (double v : {0.0, 0.1, 0.05, 2.0, 2.999999950695069e28, 0.05, 2.1, 2.2, 2.3, 2.4})
    data.PutDouble(v);
  ASSERT_TRUE(vantor_client::DecodePlotData(Body(data), &plot));
  EXPECT_EQ(plot.interval, 0.05);
  ASSERT_EQ(plot.samples.size(), 1u);
  EXPECT_EQ(plot.samples[0], (std::vector<double>{2.0, 2.3, 2.4}));
  ASSERT_EQ(plot.jumps[0].size(), 1u);
  EXPECT_EQ(plot.jumps[0][0].before, 2.1);
  EXPECT_EQ(plot.jumps[0][0].after, 2.2);
  // A count the body cannot hold is refused before anything is sized by it.
  DseMessage huge(55, DseMessage::kRequest);
  huge.PutUInt32(0xFFFFFFFFu);
  huge.PutUInt24(0);
  huge.PutUInt32(0xFFFFFFFFu);
  for (int i = 0; i < 3; ++i) huge.PutDouble(0.0);
  EXPECT_FALSE(vantor_client::DecodePlotData(Body(huge), &plot));
  DseMessage no_samples(55, DseMessage::kRequest);
  no_samples.PutUInt32(0x7FFFFFFFu);
  no_samples.PutUInt24(0);
  no_samples.PutUInt32(0);
  for (int i = 0; i < 3; ++i) no_samples.PutDouble(0.0);
  EXPECT_FALSE(vantor_client::DecodePlotData(Body(no_samples), &plot));
  Bytes cut = Body(data);
  cut.pop_back();
  EXPECT_FALSE(vantor_client::DecodePlotData(cut, &plot));
}

TEST(ResultReplies, UseRepliesOfRequests20And146) {
  DseMessage reply(55, DseMessage::kRequest);
  reply.PutUInt16(20);
  reply.PutUInt32(1);
  reply.PutString("Plant.a");
  reply.PutUInt32(1);
  reply.PutUInt8(24);
  reply.PutDouble(2.5);
  reply.PutUInt32(0x100);
  reply.PutUInt32(0x20A3180);
  reply.PutString("Plant.b");
  vantor_client::UseReply read;
  ASSERT_TRUE(vantor_client::DecodeUseReply(Body(reply), 146, &read));
  EXPECT_EQ(read.staged_names, (std::vector<std::string>{"Plant.a"}));
  ASSERT_EQ(read.items.size(), 1u);
  EXPECT_EQ(read.items[0].real, 2.5);
  EXPECT_EQ(read.items[0].mask, 0x20A3180u);
  EXPECT_EQ(read.items[0].name, "Plant.b");
  // Nothing differs: empty counts.
  DseMessage failed(55, DseMessage::kRequest);
  failed.PutUInt16(20);
  failed.PutUInt32(0);
  failed.PutUInt32(0);
  for (std::uint16_t request : {20, 146}) {
    ASSERT_TRUE(vantor_client::DecodeUseReply(Body(failed), request, &read));
    EXPECT_EQ(read.staged, 0u);
    EXPECT_TRUE(read.items.empty());
  }
  Bytes cut = Body(reply);
  cut.pop_back();
  EXPECT_FALSE(vantor_client::DecodeUseReply(cut, 146, &read));
  // The names are read only for 146: the same bytes do not read as 20's,
  // and no reply comes as kind 146.
  EXPECT_FALSE(vantor_client::DecodeUseReply(Body(reply), 20, &read));
  Bytes old_kind = Body(failed);
  old_kind[0] = 146;
  EXPECT_FALSE(vantor_client::DecodeUseReply(old_kind, 146, &read));
}

TEST(ResultReplies, SnapshotAndFileLists) {
  DseMessage list(55, DseMessage::kRequest);
  list.PutUInt16(30);
  list.PutUInt24(1);
  list.PutUInt32(0x01020304);
  list.PutUInt32(0x05060708);
  list.PutDouble(1.5);
  list.PutUInt16(2);
  list.PutUInt16(3);
  list.PutString("first");
  list.PutString("");
  list.PutUInt24(1001);
  std::vector<vantor_client::SnapshotEntry> read;
  ASSERT_TRUE(vantor_client::DecodeSnapshotList(Body(list), 30, &read));
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read[0].name, "first");
  EXPECT_EQ(read[0].id, 1001u);
  EXPECT_EQ(read[0].time, 1.5);
  EXPECT_FALSE(vantor_client::DecodeSnapshotList(Body(list), 138, &read));
  DseMessage files(55, DseMessage::kRequest);
  files.PutUInt24(0xFFFFFF);  // more names than bytes
  files.PutString("a.snp");
  std::vector<std::string> names;
  EXPECT_FALSE(vantor_client::DecodeFileList(Body(files), &names));
  DseMessage none(55, DseMessage::kRequest);
  none.PutUInt24(0);
  EXPECT_TRUE(vantor_client::DecodeFileList(Body(none), &names));
  EXPECT_TRUE(names.empty());
}

}  // namespace
