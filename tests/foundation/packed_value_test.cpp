#include "foundation/values/packed_value.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "foundation/values/snapshot_version.h"
#include "foundation/values/typed_value.h"
#include "tests/support/golden.h"
#include "typed_value_builders.h"

using testsupport::HexBytes;
using testsupport::SameBytes;

namespace {

std::uint32_t PrefixOf(const SUValuePool& pool, std::uint32_t offset) {
  std::uint32_t prefix = 0;
  std::memcpy(&prefix, pool.Data() + offset - 4, 4);
  return prefix;
}

TEST(ValuePoolTest, ReloadKeepsTheBytesZeroesTheRestAndRemakesAFarTooLargeBuffer) {
  SUValuePool pool;
  pool.Allocate(100);
  EXPECT_EQ(pool.Capacity(), 128u);
  const std::vector<std::uint8_t> bytes(40, 0xAB);
  pool.LoadBytes(bytes.data(), 40);  // wants 64: 128 is not more than twice that
  EXPECT_EQ(pool.Capacity(), 128u);
  EXPECT_EQ(pool.Used(), 40u);
  EXPECT_EQ(pool.Data()[39], 0xAB);
  EXPECT_EQ(pool.Data()[40], 0);
  pool.LoadBytes(bytes.data(), 20);  // wants 32: remade
  EXPECT_EQ(pool.Capacity(), 32u);
  SUValuePool fresh;  // an empty section into a pool without a buffer
  fresh.LoadBytes(nullptr, 0);
  EXPECT_EQ(fresh.Used(), 0u);
}

TEST(ValuePoolTest, StringBlocksAreReusedWhileTheTextFits) {
  SUValuePool pool;
  std::uint32_t offset = 0;
  pool.StoreString(&offset, "abcde");
  EXPECT_EQ(PrefixOf(pool, offset), 16u);  // the smallest new block
  const std::uint32_t first = offset;
  pool.StoreString(&offset, "0123456789");
  EXPECT_EQ(offset, first);
  pool.StoreString(&offset, "abcdefghijklmnopqrst");
  EXPECT_EQ(offset, first + 20);
  EXPECT_EQ(PrefixOf(pool, offset), 21u);  // exactly the text and its NUL
  char small[8] = "kept";
  EXPECT_FALSE(pool.FetchString(offset, small, sizeof small));
  EXPECT_STREQ(small, "kept");
  char big[32];
  EXPECT_TRUE(pool.FetchString(offset, big, sizeof big));
  EXPECT_STREQ(big, "abcdefghijklmnopqrst");
  // A text that lies in the pool itself survives the pool's growth.
  for (int i = 0; i < 8; ++i) {
    std::uint32_t copy = 0;
    pool.StoreString(&copy, pool.StringAt(offset));
    offset = copy;
  }
  EXPECT_STREQ(pool.StringAt(offset), "abcdefghijklmnopqrst");
}

TEST(ValuePoolTest, ListsReuseTheirBlockAndLoadBack) {
  SUValuePool pool;
  std::uint32_t offset = 0;
  pool.StoreIntList(&offset, tv::IntSet({1, 2, 3, 4, 5}));
  const std::uint32_t five = offset;
  pool.StoreIntList(&offset, tv::IntSet({9, 7}));
  EXPECT_EQ(offset, five);
  SUValue loaded = tv::EmptySet(SUValue::kIntSet);
  ASSERT_EQ(pool.LoadIntSet(offset, &loaded), 0u);
  EXPECT_TRUE(loaded.IsEqual(tv::IntSet({7, 9})));
  pool.StoreIntList(&offset, tv::IntSet({1, 2, 3}));
  EXPECT_NE(offset, five);  // the block now counts only two
  std::uint32_t texts = 0;
  SUValue with_gap = tv::StrSet({"a", "b"});
  with_gap.payload.strings[1].Set(nullptr);
  pool.StoreStringList(&texts, with_gap);
  SUValue strings = tv::EmptySet(SUValue::kStringSet);
  ASSERT_EQ(pool.LoadStringSet(texts, &strings), 0u);
  EXPECT_EQ(tv::Printed(strings), "[\"a\",\"\"]");
  EXPECT_EQ(strings.GetStringAt(1), nullptr);
  std::uint32_t scalar = 0;
  pool.StoreIntList(&scalar, tv::Logical(true));
  EXPECT_EQ(PrefixOf(pool, scalar), 1u);
  pool.StoreIntList(&scalar, tv::Real(1.0));
  EXPECT_EQ(PrefixOf(pool, scalar), 0u);
  // Damaged offsets and records are refused.
  for (std::uint32_t bad : {0u, 2u, pool.Used() + 4, 0xFFFFFFFFu}) {
    EXPECT_EQ(pool.LoadIntSet(bad, &loaded), status::kBadArguments) << bad;
  }
  SUPackedValue record;
  record.type = SUValue::kString;
  record.payload.offset = 1000;
  EXPECT_EQ(record.ToValue(&loaded, pool), status::kBadArguments);
  EXPECT_EQ(loaded.status, SUValue::kUnreadable);
  EXPECT_EQ(record.StringAddress(pool), nullptr);
}

TEST(PackedValueTest, ToValueOfFromValueGivesTheValueBack) {
  SUValuePool pool;
  const SUValue values[] = {tv::Int(-12),          tv::Logical(true), tv::Real(6.5),
                            tv::Str("level"),      tv::EmptySet(),    tv::IntSet({4, -1, 8}),
                            tv::StrSet({"b", "A"})};
  for (const SUValue& v : values) {
    SUPackedValue record;
    ASSERT_EQ(record.FromValue(v, pool), 0u) << v.type;
    EXPECT_EQ(record.type, v.type);
    SUValue back;
    ASSERT_EQ(record.ToValue(&back, pool), 0u);
    EXPECT_EQ(back.status, SUValue::kValid);
    EXPECT_TRUE(back.IsEqual(v)) << v.type;
  }
}

TEST(PackedValueTest, NumbersTakeTheRecordsOwnType) {
  SUValuePool pool;
  SUPackedValue record;
  EXPECT_EQ(record.flags, 0xFFFFFFFFu);
  record.SetInt(4);
  ASSERT_EQ(record.FromValue(tv::Real(7.9), pool), 0u);
  EXPECT_EQ(record.payload.integer, 7);
  ASSERT_EQ(record.FromValue(tv::Real(1e300), pool), 0u);
  EXPECT_EQ(record.payload.integer, 2147483647);
  EXPECT_EQ(record.FromValue(tv::Str("x"), pool), status::kBadArguments);
  record.SetReal(0.0);
  record.SetInt(3);
  EXPECT_EQ(record.type, SUValue::kReal);
  EXPECT_EQ(record.payload.real, 3.0);
  record.SetString("short", pool);
  const std::uint32_t block = record.payload.offset;
  ASSERT_EQ(record.FromValue(tv::Name("tiny"), pool), 0u);
  EXPECT_EQ(record.payload.offset, block);
  EXPECT_STREQ(record.StringAddress(pool), "tiny");
}

void FillThree(SUPackedValueTable& table) {
  table.Resize(3);
  for (int i = 0; i < 3; ++i) {
    table.Record(i).attribute = static_cast<std::uint16_t>(i + 1);
    table.Record(i).SetInt(100 + i);
    table.Record(i).flags = 0x10u * (i + 1);
  }
}

TEST(PackedValueTableTest, ImageIsWrittenFieldByFieldAndLoadsInTheLayoutOfTheFileBeingRead) {
  SUPackedValueTable table;
  FillThree(table);
  table.Record(0).owner = reinterpret_cast<void*>(std::uintptr_t{0x1122334455667788});
  const std::vector<std::uint8_t> image = table.GetImage();
  EXPECT_TRUE(
      SameBytes(HexBytes("88 77 66 55 44 33 22 11 01 00 02 00 64 00 00 00 00 00 00 00 10 00 00 00"),
                testsupport::Bytes(image.begin(), image.begin() + 24)));
  SUPackedValueTable back;
  ASSERT_EQ(back.LoadImage(image.data(), 72), 0u);
  EXPECT_EQ(back.Record(0).owner, nullptr);
  EXPECT_EQ(back.Record(2).payload.integer, 102);
  EXPECT_EQ(back.Record(2).flags, 0x30u);

  std::vector<std::uint8_t> bytes(120);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i);
  struct Reset {
    ~Reset() { SnapshotFileVersion = 0; }
  } reset;
  SnapshotFileVersion = 3;
  ASSERT_EQ(back.LoadImage(bytes.data(), 120), 0u);
  ASSERT_EQ(back.Count(), 6);
  EXPECT_EQ(back.Record(1).attribute, 0x1D1C);  // bytes 28, 29: the second 20-byte record
  EXPECT_EQ(back.Record(1).flags, 0xFFFFFFFFu);
  SnapshotFileVersion = 7;
  ASSERT_EQ(back.LoadImage(bytes.data(), 120), 0u);
  ASSERT_EQ(back.Count(), 5);
  EXPECT_EQ(back.Record(1).flags, 0x2F2E2D2Cu);
  EXPECT_EQ(back.LoadImage(bytes.data(), 100), status::kBadArguments);
  EXPECT_EQ(back.Count(), 5);  // a refused image changes nothing
}

TEST(PackedValueTableTest, ReorderTakesRecordsByIndexAndWritesThemBack) {
  SUPackedValueTable source;
  FillThree(source);
  std::vector<std::uint8_t> image = source.GetImage();
  const auto size = static_cast<std::uint32_t>(image.size());
  SUPackedValueTable table;
  table.Resize(3);
  const std::uint32_t index[] = {2, 0, 1};
  ASSERT_EQ(table.Reorder(image.data(), size, index), 0u);
  EXPECT_EQ(table.Record(0).payload.integer, 102);
  EXPECT_EQ(table.Record(0).attribute, 3);
  EXPECT_EQ(table.Record(0).flags, 0x30u);
  EXPECT_EQ(table.Record(2).payload.integer, 101);
  SUPackedValueTable again;
  ASSERT_EQ(again.LoadImage(image.data(), size), 0u);
  EXPECT_EQ(again.Record(0).payload.integer, 102);  // the image now holds the new order

  const std::uint32_t outside[] = {0, 3, 1};
  const std::vector<std::uint8_t> before = image;
  EXPECT_EQ(table.Reorder(image.data(), size, outside), status::kBadArguments);
  EXPECT_EQ(table.Reorder(image.data(), 48, index),
            status::kBadArguments);  // two records for three
  EXPECT_EQ(image, before);
}

// Building a set from many integers at once holds what adding each in turn
// gives.
TEST(PackedValueTableTest, AddingIntegersAtOnceEqualsOneByOne) {
  std::mt19937 random(14);
  for (int round = 0; round < 50; ++round) {
    SUValue one_by_one = round % 2 ? tv::IntSet({3, 1}) : tv::EmptySet();
    SUValue at_once = SUValue::CopyConstruct(one_by_one);
    std::vector<std::int32_t> values(random() % 60);
    for (std::int32_t& v : values) v = static_cast<std::int32_t>(random() % 40);
    for (std::int32_t v : values) one_by_one.AddInt(v);
    at_once.AddInts(values);
    EXPECT_TRUE(at_once.IsEqual(one_by_one));
    EXPECT_EQ(at_once.type, one_by_one.type);
    EXPECT_EQ(at_once.capacity, one_by_one.capacity);
  }
}

}  // namespace
