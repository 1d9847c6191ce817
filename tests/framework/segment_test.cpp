#include "framework/segment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "segment_helpers.h"
#include "tests/support/golden.h"

using testsupport::BuildChain;
using testsupport::FrameOf;
using testsupport::HexBytes;
using testsupport::Pattern;
using testsupport::SameBytes;

namespace {

// The 13 header bytes of the test messages for one segment of count n.
std::string Header(int count, int index) {
  char text[64];
  std::snprintf(text, sizeof text, "10 20 03 0C 32 34 12 01 05 %02X %02X %02X %02X", count & 0xFF,
                count >> 8, index & 0xFF, index >> 8);
  return text;
}

TEST(SegmentFrameTest, EmptyMessageIsNineteenBytes) {
  DseSegment* s = BuildChain({});
  ASSERT_EQ(DseSegment::PackHeaders(s, 3, 50, 12, nullptr), 0u);
  EXPECT_TRUE(SameBytes(HexBytes("02 0E 00 F1 FF" + Header(1, 1) + "03"), FrameOf(s)));
  EXPECT_EQ(s->transfer_count, 19u);
  DseSegment::ReturnChain(s);
}

TEST(SegmentFrameTest, FullSegmentHoldsExactly3980Bytes) {
  const auto data = Pattern(3980);
  DseSegment* s = BuildChain(data);
  EXPECT_EQ(s->next, nullptr);
  DseSegment::PackHeaders(s, 3, 50, 12, nullptr);
  const auto frame = FrameOf(s);
  ASSERT_EQ(frame.size(), 3999u);
  // L = 3994 = 0x0F9A, its complement 0xF065.
  EXPECT_TRUE(SameBytes(HexBytes("02 9A 0F 65 F0" + Header(1, 1)),
                        testsupport::Bytes(frame.begin(), frame.begin() + 18)));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), frame.begin() + 18));
  EXPECT_EQ(frame.back(), 0x03);
  DseSegment::ReturnChain(s);
}

TEST(SegmentFrameTest, OneMoreByteChainsASecondSegment) {
  DseSegment* first = BuildChain(Pattern(3981));
  DseSegment* second = first->next;
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->next, nullptr);
  DseSegment::PackHeaders(first, 3, 50, 12, nullptr);
  EXPECT_EQ(FrameOf(first).size(), 3999u);
  const std::uint8_t last_byte = Pattern(3981).back();
  char tail[8];
  std::snprintf(tail, sizeof tail, "%02X 03", last_byte);
  // Every segment carries the first segment's header and its own index.
  EXPECT_TRUE(SameBytes(HexBytes("02 0F 00 F0 FF" + Header(2, 2) + tail), FrameOf(second)));
  EXPECT_EQ(first->frame[14], 2);
  EXPECT_EQ(first->frame[16], 1);
  DseSegment::ReturnChain(first);
}

TEST(SegmentFrameTest, ValueThatDoesNotFitMovesWholeToANewSegment) {
  DseSegment* first = BuildChain(Pattern(3977));
  DseSegment* current = first;
  while (current->next != nullptr) current = current->next;
  unsigned char* place = DseSegment::ReserveValue(&current, 4);
  ASSERT_NE(current, first);
  EXPECT_EQ(place, current->frame + 18);
  std::memcpy(place, "\xAA\xBB\xCC\xDD", 4);
  DseSegment::PackHeaders(first, 3, 50, 12, nullptr);
  // The three free bytes stay out of the first frame.
  EXPECT_EQ(first->FrameSize(), 18u + 3977u + 1u);
  EXPECT_EQ(first->frame[18 + 3977], 0x03);
  EXPECT_TRUE(SameBytes(HexBytes("02 12 00 ED FF" + Header(2, 2) + "AA BB CC DD 03"),
                        FrameOf(current)));
  DseSegment::ReturnChain(first);
}

TEST(SegmentFrameTest, ValueLargerThanASegmentIsRefused) {
  DseSegment* s = BuildChain({});
  DseSegment* current = s;
  EXPECT_EQ(DseSegment::ReserveValue(&current, DseSegment::kMaxData + 1), nullptr);
  EXPECT_EQ(current, s);
  DseSegment::ReturnChain(s);
}

TEST(SegmentFrameTest, MoreThan65534SegmentsUseTheWideHeader) {
  const auto data = Pattern(3980 + 10);
  DseSegment* first = BuildChain(data);
  DseSegment* last = first->next;
  last->index = 65535;  // as if the message had that many segments
  DseSegment::PackHeaders(first, 3, 50, 12, last);
  const auto frame = FrameOf(first);
  ASSERT_EQ(frame.size(), 4003u);  // L = 3998 = 0x0F9E
  EXPECT_TRUE(SameBytes(HexBytes("02 9E 0F 61 F0 11 20 03 0C 32 34 12 01 05 FF FF 00 00 01 00 00 00"),
                        testsupport::Bytes(frame.begin(), frame.begin() + 22)));
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + 3980, frame.begin() + 22));
  EXPECT_EQ(frame[4002], 0x03);
  const auto tail = FrameOf(last);
  EXPECT_TRUE(SameBytes(HexBytes("FF FF 00 00 FF FF 00 00"),
                        testsupport::Bytes(tail.begin() + 14, tail.begin() + 22)));
  EXPECT_TRUE(std::equal(data.begin() + 3980, data.end(), tail.begin() + 22));
  // Packing again (a resend) leaves the frame as it is.
  DseSegment::PackHeaders(first, 3, 50, 12, last);
  EXPECT_TRUE(SameBytes(frame, FrameOf(first)));
  DseSegment::ReturnChain(first);
}

TEST(SegmentFrameTest, ParsedFrameGivesBackHeaderAndData) {
  for (std::uint32_t wide_count : {0u, 70000u}) {
    const auto data = Pattern(100);
    DseSegment* sent = BuildChain(data, 0xBEEF, 0x80, 3, 9);
    if (wide_count != 0) sent->index = wide_count;
    DseSegment::PackHeaders(sent, 1, 77, 7, nullptr);
    const auto frame = FrameOf(sent);
    std::vector<std::uint8_t> memory = frame;
    memory.push_back(0x55);  // the next record
    const unsigned char* place = memory.data();
    DseSegment* got = DseSegment::Make(nullptr);
    ASSERT_EQ(DseSegment::ParseFrame(got, &place, memory.data() + memory.size()), 0u);
    EXPECT_EQ(place, memory.data() + frame.size());
    std::uint32_t klass = 0, type = 0, subtype = 0;
    ASSERT_EQ(DseSegment::UnpackHeader(got, &klass, &type, &subtype), 0u);
    EXPECT_EQ(klass, 1u);
    EXPECT_EQ(type, 77u);
    EXPECT_EQ(subtype, 7u);
    EXPECT_EQ(got->message_id, 0xBEEFu);
    EXPECT_EQ(got->flags, 0x80);
    EXPECT_EQ(got->aux, 3);
    EXPECT_EQ(got->sequence, 9);
    EXPECT_EQ(got->count, wide_count != 0 ? wide_count : 1u);
    EXPECT_EQ(got->read_state, DseSegment::kComplete);
    EXPECT_EQ(testsupport::DataOf(got), data);
    DseSegment::ReturnChain(sent);
    DseSegment::ReturnChain(got);
  }
}

TEST(SegmentFrameTest, ParseRefusesDamagedFramesWithoutMovingOn) {
  DseSegment* sent = BuildChain(Pattern(40));
  DseSegment::PackHeaders(sent, 3, 50, 12, nullptr);
  const auto good = FrameOf(sent);
  DseSegment::ReturnChain(sent);

  struct Case {
    const char* what;
    std::function<void(std::vector<std::uint8_t>&)> damage;
  };
  const std::vector<Case> cases = {
      {"start byte", [](auto& f) { f[0] = 0x01; }},
      {"complement", [](auto& f) { f[3] ^= 1; }},
      {"end byte", [](auto& f) { f.back() = 0x04; }},
      {"format", [](auto& f) { f[5] = 18; }},
      {"cut short", [](auto& f) { f.pop_back(); }},
      {"length beyond a block", [](auto& f) { f[1] = 0xA0; f[2] = 0x0F; f[3] = 0x5F; f[4] = 0xF0; }},
      // A length too short for a header, with an end byte where it says.
      {"length below a header", [](auto& f) { f = {0x02, 0x05, 0x00, 0xFA, 0xFF, 16, 0, 0, 0, 0x03}; }},
      {"wide format below its header",
       [](auto& f) { f = {0x02, 0x0E, 0x00, 0xF1, 0xFF, 17, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x03}; }},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> bytes = good;
    c.damage(bytes);
    const unsigned char* place = bytes.data();
    DseSegment* got = DseSegment::Make(nullptr);
    EXPECT_EQ(DseSegment::ParseFrame(got, &place, bytes.data() + bytes.size()), 0x8000FFFFu) << c.what;
    EXPECT_EQ(place, bytes.data()) << c.what;
    DseSegment::ReturnChain(got);
  }
}

TEST(SegmentFrameTest, UnpackRefusesUnknownFormat) {
  DseSegment* s = BuildChain({});
  DseSegment::PackHeaders(s, 3, 50, 12, nullptr);
  s->frame[5] = 15;
  EXPECT_EQ(DseSegment::UnpackHeader(s, nullptr, nullptr, nullptr), 0xA000FFFFu);
  DseSegment::ReturnChain(s);
}

// The pool is process-wide: each check starts from a drained pool and gives
// everything back.
TEST(SegmentPoolTest, RefillsTwentyAtATimeAndReusesReturnedBlocks) {
  DseSegment::DrainPool();
  const std::uint32_t made = DseSegment::PoolMadeCount();
  DseSegment* a = DseSegment::TakeFromPool();
  EXPECT_EQ(DseSegment::PoolMadeCount(), made + 20);
  EXPECT_EQ(DseSegment::PoolFreeCount(), 19u);
  std::vector<DseSegment*> taken{a};
  for (int i = 0; i < 19; ++i) taken.push_back(DseSegment::TakeFromPool());
  EXPECT_EQ(DseSegment::PoolFreeCount(), 0u);
  EXPECT_EQ(DseSegment::PoolMadeCount(), made + 20);
  DseSegment::ReturnToPool(a);
  EXPECT_EQ(DseSegment::TakeFromPool(), a);  // nothing new made
  for (DseSegment* s : taken) DseSegment::ReturnToPool(s);
  EXPECT_EQ(DseSegment::PoolFreeCount(), 20u);
  DseSegment::DrainPool();
  EXPECT_EQ(DseSegment::PoolMadeCount(), made);
}

TEST(SegmentPoolTest, BlockStillBeingWrittenIsNotTakenBack) {
  DseSegment::DrainPool();
  DseSegment* s = DseSegment::Make(nullptr);
  s->use_count = 1;
  const std::uint32_t free_before = DseSegment::PoolFreeCount();
  DseSegment::ReturnToPool(s);
  EXPECT_EQ(DseSegment::PoolFreeCount(), free_before);
  s->use_count = 0;
  DseSegment::ReturnToPool(s);
  EXPECT_EQ(DseSegment::PoolFreeCount(), free_before + 1);
  DseSegment::DrainPool();
}

TEST(SegmentPoolTest, BlocksBeyondTheFirst1024AreFreedOnce512LieFree) {
  DseSegment::DrainPool();
  ASSERT_EQ(DseSegment::PoolMadeCount(), 0u) << "blocks outstanding from an earlier test";
  std::vector<DseSegment*> blocks;
  for (int i = 0; i < 1040; ++i) blocks.push_back(DseSegment::TakeFromPool());
  EXPECT_EQ(DseSegment::PoolMadeCount(), 1040u);
  EXPECT_EQ(DseSegment::PoolFreeCount(), 0u);
  std::vector<DseSegment*> kept, surplus;
  for (DseSegment* b : blocks) (b->poolable != 0 ? kept : surplus).push_back(b);
  // The refill that went from 1,020 to 1,040 made blocks that are not kept.
  ASSERT_EQ(kept.size(), 1020u);
  ASSERT_EQ(surplus.size(), 20u);

  DseSegment::ReturnToPool(surplus[0]);  // few free: kept all the same
  EXPECT_EQ(DseSegment::PoolFreeCount(), 1u);
  for (int i = 0; i < 511; ++i) DseSegment::ReturnToPool(kept[i]);
  EXPECT_EQ(DseSegment::PoolFreeCount(), 512u);
  DseSegment::ReturnToPool(surplus[1]);  // 512 free: this one is freed
  EXPECT_EQ(DseSegment::PoolFreeCount(), 512u);
  EXPECT_EQ(DseSegment::PoolMadeCount(), 1039u);
  for (std::size_t i = 511; i < kept.size(); ++i) DseSegment::ReturnToPool(kept[i]);
  EXPECT_EQ(DseSegment::PoolFreeCount(), 1021u);
  for (std::size_t i = 2; i < surplus.size(); ++i) DseSegment::ReturnToPool(surplus[i]);
  EXPECT_EQ(DseSegment::PoolFreeCount(), 1021u);
  EXPECT_EQ(DseSegment::PoolMadeCount(), 1021u);
  DseSegment::DrainPool();
  EXPECT_EQ(DseSegment::PoolMadeCount(), 0u);
}

}  // namespace
