// Message bodies: typed values, stored values, trees, and random bodies for every reader.
#include "framework/messaging/message.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "foundation/directory/directory_node.h"
#include "foundation/directory/id_path.h"
#include "foundation/values/packed_value.h"
#include "foundation/values/typed_value.h"
#include "framework/messaging/template.h"
#include "framework/servers/server_callback.h"
#include "framework/servers/server_registry.h"
#include "message_helpers.h"
#include "tests/foundation/tree_samples.h"
#include "tests/foundation/typed_value_builders.h"
#include "tests/support/capture_sink.h"
#include "tests/support/golden.h"

using namespace testsupport;

namespace {

// A stored integer set of a million elements, in the worst order for
// sorted insertion, loads at once (element by element it took hours), and
// holds what adding each element in turn would give.
TEST(PackedValueTableTest, AHugeIntegerSetLoadsInOneSort) {
  constexpr std::uint32_t n = 1000000;
  DseMessage stream(60, DseMessage::kRequest);
  stream.PutUInt32(1);
  stream.PutUInt8(0xFF);
  stream.PutUInt8(0x80);
  stream.PutUInt8(SUValue::kIntSet);
  stream.PutUInt32(n);
  for (std::uint32_t i = 0; i < n; ++i) stream.PutUInt32(n - i / 2 * 2);  // each twice, falling
  stream.PutUInt8(0);
  stream.PutUInt32(0);
  const MessagePtr received = Received(stream);
  SUPackedValueTable table;
  ASSERT_EQ(table.Restore(*received), 0u);
  SUValue loaded;
  ASSERT_EQ(table.Record(0).ToValue(&loaded, table.Pool()), 0u);
  ASSERT_EQ(loaded.count, static_cast<std::int32_t>(n / 2));
  EXPECT_EQ(loaded.GetIntAt(0), 2);
  EXPECT_EQ(loaded.GetIntAt(n / 2 - 1), static_cast<std::int32_t>(n));
}

SUValue Named(const char* text, std::uint16_t first, std::uint8_t second, std::uint8_t third) {
  SUValue v = tv::Name(text);
  v.name = {first, second, third};
  return v;
}

// A set with exactly these elements in this order and this capacity; a null
// text stands for a missing element.
SUValue Ints(std::uint16_t type, std::initializer_list<std::int32_t> elements,
             std::int32_t capacity) {
  SUValue v = tv::EmptySet(type);
  v.InitSet(capacity);
  for (std::int32_t e : elements) v.payload.ints[v.count++] = e;
  return v;
}

SUValue Texts(std::uint16_t type, std::initializer_list<const char*> elements,
              std::int32_t capacity) {
  SUValue v = tv::EmptySet(type);
  v.InitSet(capacity);
  for (const char* e : elements) v.payload.strings[v.count++].Set(e);
  return v;
}

SUValue RealArray() {
  SUValue v = tv::EmptySet(SUValue::kOneDimension | SUValue::kReal);
  v.Resize(2);
  return v;
}

Bytes Written(const SUValue& v, bool with_type, Status expected = 0) {
  DseMessage m(60, DseMessage::kRequest);
  EXPECT_EQ(v.WriteBinary(m, with_type), expected);
  return BodyOf(m);
}

TEST(TypedValueMessageTest, EachTransferableCodeHasItsGoldenBytesAndRoundTrips) {
  const std::pair<SUValue, const char*> cases[] = {
      {tv::Int(-5), "FB FF FF FF"},
      {tv::Logical(true), "01 00 00 00"},
      {tv::Real(1.5), "00 00 00 00 00 00 F8 3F"},
      {tv::Str("abc"), "04 00 00 61 62 63 00"},
      {tv::Spec(SUValue::kFixed), "04"},
      {tv::EmptySet(), ""},
      // Attribute 1 (16 bits in the value) is cut to its low byte on the wire.
      {Named("ab", 0x1234, 7, 9), "07 00 34 09 03 00 00 61 62 00"},
      {Ints(SUValue::kOrderedIntSet, {0x62, 0x61}, 8),
       "02 00 00 00 08 00 00 00 62 00 00 00 61 00 00 00"},
      {Texts(SUValue::kOrderedStringSet, {"b", nullptr}, 2),
       "02 00 00 00 04 00 00 00 02 00 00 62 00 00 00 00"},
      {tv::Str(""), nullptr},
      {tv::EmptySet(SUValue::kEmptyOrderedSet), nullptr},
      {Ints(SUValue::kIntSet, {-4, 0, 9}, 4), nullptr},
      {Ints(SUValue::kIntSet, {}, 8), nullptr},
      {tv::StrSet({"a", "B", "c"}), nullptr},
      {Texts(SUValue::kOrderedStringSet, {"z", nullptr, "a"}, 4), nullptr},
  };
  for (const auto& [v, golden] : cases) {
    SCOPED_TRACE(v.type);
    if (golden != nullptr) {
      EXPECT_TRUE(SameBytes(HexBytes(golden), Written(v, false)));
    }
    DseMessage m(60, DseMessage::kRequest);
    EXPECT_EQ(v.WriteBinary(m, false), 0u);
    MessagePtr in = Received(m);
    SUValue back;
    EXPECT_EQ(back.ReadBinary(*in, v.type), 0u);
    EXPECT_EQ(in->RemainingBytes(), 0u);
    EXPECT_EQ(back.status, SUValue::kValid);
    EXPECT_TRUE(back.IsEqual(v));
    EXPECT_EQ(back.type, v.type);
    if ((v.type & SUValue::kSetFlag) != 0) {
      EXPECT_EQ(std::make_pair(back.capacity, back.count), std::make_pair(v.capacity, v.count));
    }
    if (v.type == SUValue::kOrderedStringSet) {
      EXPECT_EQ(back.GetStringAt(1), nullptr);
    }
    if (v.type == SUValue::kName) {
      EXPECT_EQ(std::vector<int>({back.name.first, back.name.second, back.name.third}),
                std::vector<int>({0x34, 7, 9}));
    }
  }
  EXPECT_TRUE(SameBytes(HexBytes("02 00 05 00 00 00"), Written(tv::Int(5), true)));
  EXPECT_TRUE(SameBytes(HexBytes("08 00"), Written(tv::EmptySet(), true)));
  // Arrays and values without a type do not travel.
  EXPECT_TRUE(SameBytes(HexBytes("04 01"), Written(RealArray(), true)));
  EXPECT_TRUE(Written(RealArray(), false, 0xA000FFFF).empty());
  EXPECT_TRUE(Written(SUValue(), false, 0xA000FFFF).empty());
}

TEST(TypedValueMessageTest, UnknownCodesAndShortOrDamagedBodiesAreUnreadable) {
  MessagePtr in = ReceivedBody(HexBytes("01 02 03 04 05 06 07 08"));
  SUValue v;
  EXPECT_EQ(v.ReadBinary(*in, 0x104), status::kBadArguments);
  EXPECT_EQ(v.status, SUValue::kUnreadable);
  EXPECT_EQ(v.ReadBinary(*in, 12), status::kBadArguments);
  EXPECT_EQ(in->RemainingBytes(), 8u);  // nothing was read
  for (std::uint16_t code : {2, 4, 5, 6, 10, 13}) {
    SUValue cut;
    EXPECT_TRUE(status::IsFailure(cut.ReadBinary(*ReceivedBody(HexBytes("02 00 00")), code)))
        << code;
    EXPECT_EQ(cut.status, SUValue::kUnreadable) << code;
  }
  // A capacity below the count, or far beyond it.
  for (const char* body :
       {"02 00 00 00 01 00 00 00 01 00 00 00 02 00 00 00", "00 00 00 00 FF FF FF 7F"}) {
    EXPECT_EQ(v.ReadBinary(*ReceivedBody(HexBytes(body)), SUValue::kIntSet), status::kBadArguments);
  }
}

TEST(TypedValueMessageTest, MonitorSampleIsByteExact) {
  const SUValue values[] = {tv::Int(7), RealArray(), tv::Str("x")};
  const std::uint32_t tags[] = {11, 12, 13};
  DseMessage m(60, DseMessage::kRequest);
  EXPECT_EQ(WriteMonitorValues(m, 2.5, 3, values, tags), 0u);
  EXPECT_TRUE(SameBytes(HexBytes("00 00 00 00 00 00 04 40  03 00 00 00"
                                 "02 00 00 00 0B 00 00 00 07 00 00 00"
                                 "04 01 00 00 0C 00 00 00"
                                 "05 00 00 00 0D 00 00 00 02 00 00 78 00"),
                        BodyOf(m)));
}

TEST(PackedValueStreamTest, RecordsHaveTheirGoldenBytes) {
  SUValuePool pool;
  SUPackedValue records[6];
  records[0].attribute = 5;
  records[0].SetInt(7);
  records[0].flags = 0x11;
  records[1].attribute = 0x41;
  records[1].SetString("hi", pool);
  records[2].FromValue(tv::IntSet({3, 2}), pool);
  records[3].FromValue(Texts(SUValue::kStringSet, {"a", nullptr}, 4), pool);
  records[4].FromValue(tv::Logical(true), pool);
  records[5].SetReal(1.5);
  DseMessage m(60, DseMessage::kRequest);
  for (const SUPackedValue& r : records) EXPECT_EQ(r.Save(m, pool), 0u);
  EXPECT_TRUE(SameBytes(HexBytes("FF 85 02 07 00 00 00 00 11 00 00 00"
                                 "FF C1 05 03 00 00 68 69 00 00 FF FF FF FF"
                                 "FF 80 0A 02 00 00 00 02 00 00 00 03 00 00 00 00 FF FF FF FF"
                                 "FF 80 0D 02 00 00 00 02 00 00 61 00 00 00 00 00 FF FF FF FF"
                                 "FF 80 03 01 00 FF FF FF FF"
                                 "FF 80 04 00 00 00 00 00 00 F8 3F 00 FF FF FF FF"),
                        BodyOf(m)));
}

TEST(PackedValueStreamTest, TableRoundTripsThroughAMessageIntoAUsedTable) {
  SUPackedValueTable table;
  table.Resize(4);
  table.Record(0).SetInt(-3);
  table.Record(0).attribute = 1;
  table.Record(0).flags = 0x800;
  table.Record(1).SetString("level", table.Pool());
  table.Record(2).FromValue(tv::StrSet({"x", "y"}), table.Pool());
  table.Record(3).FromValue(tv::IntSet({4, 8, 15}), table.Pool());
  DseMessage m(60, DseMessage::kRequest);
  ASSERT_EQ(table.Save(m), 0u);
  SUPackedValueTable back;
  back.Resize(9);
  back.Pool().Allocate(40);
  ASSERT_EQ(back.Restore(*Received(m)), 0u);
  ASSERT_EQ(back.Count(), 4);
  for (int i = 0; i < 4; ++i) {
    SUValue expected, got;
    table.Record(i).ToValue(&expected, table.Pool());
    EXPECT_EQ(back.Record(i).ToValue(&got, back.Pool()), 0u);
    EXPECT_TRUE(got.IsEqual(expected)) << i;
    EXPECT_EQ(std::make_pair(back.Record(i).attribute, back.Record(i).flags),
              std::make_pair(table.Record(i).attribute, table.Record(i).flags));
  }
  // The old layout: an attribute byte without the type bit, then a real;
  // no 255, no tail.
  MessagePtr in = ReceivedBody(HexBytes("03 00 00 00 00 00 00 F8 3F  82 02 09 00 00 00"));
  SUPackedValue real, integer;
  ASSERT_EQ(real.Restore(*in, back.Pool()), 0u);
  EXPECT_EQ(std::make_tuple(real.attribute, real.type, real.payload.real, real.flags),
            std::make_tuple(3, SUValue::kReal, 1.5, SUPackedValue::kFreshFlags));
  ASSERT_EQ(integer.Restore(*in, back.Pool()), 0u);  // with the type bit
  EXPECT_EQ(std::make_tuple(integer.attribute, integer.type, integer.payload.integer),
            std::make_tuple(2, SUValue::kInteger, 9));
}

TEST(DirectoryMessages, TreeDescriptionsReadAcrossSegments) {
  // 330 records of about 30 bytes: the body runs over several 4 KB segments.
  DseMessage sent(60, DseMessage::kRequest);
  SampleTree original;
  auto record = [&sent](std::uint32_t index, const std::string& name) {
    sent.PutUInt8(1);
    sent.PutUInt24(index);
    sent.PutUInt24(3);
    sent.PutCString(name.c_str());
    sent.PutUInt8(0);
  };
  for (std::uint32_t unit = 0; unit < 30; ++unit) {
    const std::string unit_name = "Unit_with_a_rather_long_name_" + std::to_string(unit);
    record(unit, unit_name);
    BvuDirectoryProper* made =
        AddChild(original.root(), static_cast<std::int32_t>(unit), unit_name.c_str());
    for (std::uint32_t leaf = 0; leaf < 10; ++leaf) {
      const std::string leaf_name = ".variable_number_" + std::to_string(leaf);
      record(leaf, leaf_name);
      sent.PutUInt8(0xFF);
      AddChild(made, static_cast<std::int32_t>(leaf), leaf_name.c_str());
    }
    sent.PutUInt8(0xFF);
  }
  sent.PutUInt8(0xFF);
  ASSERT_GT(BodyOf(sent).size(), 8000u);
  SampleTree copy;
  ASSERT_EQ(copy.root()->ReadTree(*Received(sent), nullptr, nullptr), status::kOk);
  EXPECT_EQ(Outline(copy.root()), Outline(original.root()));
}

constexpr int kRounds = 400;

// Mostly small bodies, some across two segments; biased toward small
// numbers so that lengths and counts are sometimes plausible.
Bytes RandomBody(std::mt19937& random) {
  std::uniform_int_distribution<int> size_of(0, random() % 8 == 0 ? 6000 : 64);
  Bytes body(static_cast<std::size_t>(size_of(random)));
  for (auto& b : body) b = static_cast<std::uint8_t>(random() % 3 == 0 ? random() % 4 : random());
  return body;
}

// A valid body with a few bytes changed.
Bytes Mutated(const Bytes& valid, std::mt19937& random) {
  Bytes body = valid;
  if (body.empty()) return body;
  for (int i = 0; i < 3; ++i) body[random() % body.size()] = static_cast<std::uint8_t>(random());
  if (random() % 4 == 0) body.resize(random() % body.size());
  return body;
}

// What is left to read, counted afresh from the segment holding the cursor:
// the model of the count the message keeps up as it reads.
std::uint32_t CountedAfresh(DseMessage& message) {
  const std::uint8_t* cursor = message.Tell();
  std::uint32_t left = 0;
  bool reached = false;
  for (const DseSegment* s = message.FirstSegment(); s != nullptr; s = s->next) {
    reached = reached || (cursor >= s->frame && cursor <= s->window_end);
    if (reached && s->window_end > s->cursor)
      left += static_cast<std::uint32_t>(s->window_end - s->cursor);
  }
  return left;
}

TEST(MessageFuzzTest, StreamReadersStayInsideRandomBodies) {
  std::mt19937 random(20240611);
  for (int round = 0; round < kRounds; ++round) {
    MessagePtr in = ReceivedBody(RandomBody(random));
    for (int step = 0; step < 64; ++step) {
      std::uint64_t out[2] = {};
      char buffer[40];
      char* text = nullptr;
      Status read = 0;
      switch (random() % 11) {
        case 0:
          read = in->GetUInt8(reinterpret_cast<std::uint8_t*>(out));
          break;
        case 1:
          read = in->GetByteAsUInt32(reinterpret_cast<std::uint32_t*>(out));
          break;
        case 2:
          read = in->GetUInt16(reinterpret_cast<std::uint16_t*>(out));
          break;
        case 3:
          read = in->GetUInt24(reinterpret_cast<std::uint32_t*>(out));
          break;
        case 4:
          read = in->GetUInt32(reinterpret_cast<std::uint32_t*>(out));
          break;
        case 5:
          read = in->GetUInt64(out);
          break;
        case 6:
          read = in->GetFloatAsDouble(reinterpret_cast<double*>(out));
          break;
        case 7:
          read = random() % 2 ? in->TryGet4(out) : in->TryGet8(out);
          break;
        case 8:
        case 9:
          read = random() % 2 ? in->GetStringInto(buffer, sizeof buffer)
                              : in->GetShortStringInto(buffer, sizeof buffer);
          ASSERT_NE(std::memchr(buffer, 0, sizeof buffer), nullptr);
          break;
        default: {
          read = random() % 2 ? in->GetStringNew(&text) : in->GetShortStringNew(&text);
          const std::unique_ptr<char[]> owned(text);
          if (text != nullptr) {
            ASSERT_LT(std::strlen(text), read);
          }
        }
      }
      ASSERT_EQ(in->RemainingBytes(), CountedAfresh(*in));
      if (status::IsFailure(read) && in->RemainingBytes() == 0) break;
    }
  }
}

TEST(MessageFuzzTest, RegistryRefusesGarbageWithAStatus) {
  std::mt19937 random(77);
  CaptureSink sink;  // refusals are reported
  DseServerRegistry registry;
  ItemServer server;
  std::uint32_t value = 1;
  server.any = {4, &value};
  registry.Register(60, &server);
  registry.Register(4, &server);

  const char* strings[] = {"one", "two"};
  const std::int32_t integers[] = {1, 2, 3};
  const double reals[] = {0.5};
  DseCommand command(60, 9, 2, strings, 3, integers, 1, reals);
  const Bytes valid_command = BodyOf(command);
  const char* lines[] = {"a line", "another"};
  std::unique_ptr<DseMessage> event(DseMessage::MakeEvent(16, 1, 2, lines));
  const Bytes valid_event = BodyOf(*event);

  for (int round = 0; round < kRounds; ++round) {
    const bool mutate = round % 2 == 0;
    MessagePtr cmd = ReceivedBody(mutate ? Mutated(valid_command, random) : RandomBody(random), 60,
                                  DseMessage::kCommand);
    registry.ExecuteCommand(cmd.get());

    for (std::uint32_t subtype : {DseMessage::kIdPathRead, DseMessage::kIdPathWrite}) {
      MessagePtr path = ReceivedBody(RandomBody(random), 60, subtype, random() % 2);
      DseTemplate* kept = nullptr;
      const Status result = registry.ExecuteIdPathRequest(path.get(), &kept);
      if (kept != nullptr) {
        EXPECT_TRUE(status::IsSuccess(result));
        DseMessage* reply = nullptr;
        kept->BuildHeader(&reply);
        delete reply;
        kept->Fill(&reply);
        delete reply;
        delete kept;
      }
    }

    MessagePtr io = ReceivedBody(mutate ? Mutated(valid_event, random) : RandomBody(random), 4, 16);
    registry.ExecuteIOServerCommand(io.get(), 16);
  }
  EXPECT_FALSE(server.calls.empty());
}

TEST(MessageFuzzTest, ValueAndRecordReadersRefuseGarbage) {
  std::mt19937 random(4242);
  const std::uint16_t codes[] = {2, 3, 4, 5, 6, 7, 8, 10, 13, 40, 42, 45, 9, 0x104};
  for (int round = 0; round < kRounds; ++round) {
    MessagePtr in = ReceivedBody(RandomBody(random));
    while (in->RemainingBytes() > 0) {
      SUValue value;
      const Status read = value.ReadBinary(*in, codes[random() % std::size(codes)]);
      EXPECT_EQ(status::IsFailure(read), value.status == SUValue::kUnreadable);
      if (status::IsFailure(read)) break;
    }
    MessagePtr records = ReceivedBody(RandomBody(random));
    SUPackedValueTable table;
    table.Restore(*records);
    for (std::int32_t i = 0; i < table.Count(); ++i) {
      SUValue value;
      table.Record(i).ToValue(&value, table.Pool());
    }
  }
}

}  // namespace
