// Typed values and compact stored values in message bodies.
#include <gtest/gtest.h>

#include "foundation/packed_value.h"
#include "foundation/typed_value.h"
#include "framework/message.h"
#include "message_helpers.h"
#include "tests/foundation/typed_value_builders.h"
#include "tests/support/golden.h"

using testsupport::BodyOf;
using testsupport::HexBytes;
using testsupport::MessagePtr;
using testsupport::Received;
using testsupport::ReceivedBody;
using testsupport::SameBytes;

namespace {

SUValue Named(const char* text, std::uint16_t first, std::uint8_t second, std::uint8_t third) {
  SUValue v = tv::Name(text);
  v.name = {first, second, third};
  return v;
}

// A set with exactly these elements in this order and this capacity; a null
// text stands for a missing element.
SUValue Ints(std::uint16_t type, std::initializer_list<std::int32_t> elements, std::int32_t capacity) {
  SUValue v = tv::EmptySet(type);
  v.InitSet(capacity);
  for (std::int32_t e : elements) v.payload.ints[v.count++] = e;
  return v;
}

SUValue Texts(std::uint16_t type, std::initializer_list<const char*> elements, std::int32_t capacity) {
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

testsupport::Bytes Written(const SUValue& v, bool with_type, Status expected = 0) {
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
      // Attribute 1 (16 bits in the value) is cut to its low byte on the wire.
      {Named("ab", 0x1234, 7, 9), "07 00 34 09 03 00 00 61 62 00"},
      {tv::Spec(SUValue::kFixed), "04"},
      {tv::EmptySet(), ""},
      {Ints(SUValue::kOrderedIntSet, {0x62, 0x61}, 8), "02 00 00 00 08 00 00 00 62 00 00 00 61 00 00 00"},
      {Texts(SUValue::kOrderedStringSet, {"b", nullptr}, 2), "02 00 00 00 04 00 00 00 02 00 00 62 00 00 00 00"},
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
      EXPECT_EQ(std::vector<int>({back.name.first, back.name.second, back.name.third}), std::vector<int>({0x34, 7, 9}));
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
    EXPECT_TRUE(status::IsFailure(cut.ReadBinary(*ReceivedBody(HexBytes("02 00 00")), code))) << code;
    EXPECT_EQ(cut.status, SUValue::kUnreadable) << code;
  }
  // A capacity below the count, or far beyond it.
  for (const char* body : {"02 00 00 00 01 00 00 00 01 00 00 00 02 00 00 00", "00 00 00 00 FF FF FF 7F"}) {
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
  EXPECT_EQ(std::make_tuple(integer.attribute, integer.type, integer.payload.integer), std::make_tuple(2, SUValue::kInteger, 9));
}

}  // namespace
