#include "framework/segment.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "segment_helpers.h"
#include "tests/support/golden.h"

using testsupport::Bytes;
using testsupport::BuildChain;
using testsupport::FrameOf;
using testsupport::HexBytes;
using testsupport::Pattern;
using testsupport::SameBytes;

namespace {

// The 13 header bytes of the test messages for one segment of count n.
std::string Header(int count, int index) {
  char text[64];
  std::snprintf(text, sizeof text, "10 20 03 0C 32 34 12 01 05 %02X %02X %02X %02X", count & 0xFF, count >> 8,
                index & 0xFF, index >> 8);
  return text;
}

Bytes Head(const DseSegment* s, std::size_t n) { return Bytes(s->frame, s->frame + n); }

TEST(SegmentFrameTest, FramesHaveTheirGoldenBytesAndASegmentHoldsExactly3980) {
  DseSegment* empty = BuildChain({});
  ASSERT_EQ(DseSegment::PackHeaders(empty, 3, 50, 12, nullptr), 0u);
  EXPECT_TRUE(SameBytes(HexBytes("02 0E 00 F1 FF" + Header(1, 1) + "03"), FrameOf(empty)));
  DseSegment::ReturnChain(empty);

  const auto data = Pattern(3981);
  DseSegment* first = BuildChain(data);
  DseSegment* second = first->next;
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->next, nullptr);
  DseSegment::PackHeaders(first, 3, 50, 12, nullptr);
  // L = 3994 = 0x0F9A; every segment carries the first one's header and its own index.
  EXPECT_TRUE(SameBytes(HexBytes("02 9A 0F 65 F0" + Header(2, 1)), Head(first, 18)));
  EXPECT_EQ(first->FrameSize(), 3999u);
  EXPECT_TRUE(std::equal(data.begin(), data.end() - 1, first->frame + 18));
  EXPECT_EQ(first->frame[3998], 0x03);
  char tail[8];
  std::snprintf(tail, sizeof tail, "%02X 03", data.back());
  EXPECT_TRUE(SameBytes(HexBytes("02 0F 00 F0 FF" + Header(2, 2) + tail), FrameOf(second)));
  DseSegment::ReturnChain(first);
}

TEST(SegmentFrameTest, ValueThatDoesNotFitMovesWholeToANewSegment) {
  DseSegment* first = BuildChain(Pattern(3977));
  DseSegment* current = first;
  EXPECT_EQ(DseSegment::ReserveValue(&current, DseSegment::kMaxData + 1), nullptr);  // never fits
  EXPECT_EQ(current, first);
  unsigned char* place = DseSegment::ReserveValue(&current, 4);
  ASSERT_NE(current, first);
  EXPECT_EQ(place, current->frame + 18);
  std::memcpy(place, "\xAA\xBB\xCC\xDD", 4);
  DseSegment::PackHeaders(first, 3, 50, 12, nullptr);
  // The three free bytes stay out of the first frame.
  EXPECT_EQ(first->FrameSize(), 18u + 3977u + 1u);
  EXPECT_EQ(first->frame[18 + 3977], 0x03);
  EXPECT_TRUE(SameBytes(HexBytes("02 12 00 ED FF" + Header(2, 2) + "AA BB CC DD 03"), FrameOf(current)));
  DseSegment::ReturnChain(first);
}

TEST(SegmentFrameTest, MoreThan65534SegmentsUseTheWideHeader) {
  const auto data = Pattern(3980 + 10);
  DseSegment* first = BuildChain(data);
  DseSegment* last = first->next;
  last->index = 65535;  // as if the message had that many segments
  DseSegment::PackHeaders(first, 3, 50, 12, last);
  const auto frame = FrameOf(first);
  ASSERT_EQ(frame.size(), 4003u);  // L = 3998 = 0x0F9E
  EXPECT_TRUE(SameBytes(HexBytes("02 9E 0F 61 F0 11 20 03 0C 32 34 12 01 05 FF FF 00 00 01 00 00 00"), Head(first, 22)));
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + 3980, frame.begin() + 22));
  EXPECT_EQ(frame[4002], 0x03);
  EXPECT_TRUE(SameBytes(HexBytes("FF FF 00 00 FF FF 00 00"), Bytes(last->frame + 14, last->frame + 22)));
  EXPECT_TRUE(std::equal(data.begin() + 3980, data.end(), last->frame + 22));
  // Packing again (a resend) leaves the frame as it is.
  DseSegment::PackHeaders(first, 3, 50, 12, last);
  EXPECT_TRUE(SameBytes(frame, FrameOf(first)));
  DseSegment::ReturnChain(first);
}

TEST(SegmentFrameTest, ParsedFrameGivesBackHeaderAndData) {
  for (std::uint32_t wide_count : {0u, 70000u}) {
    DseSegment* sent = BuildChain(Pattern(100), 0xBEEF, 0x80, 3, 9);
    if (wide_count != 0) sent->index = wide_count;
    DseSegment::PackHeaders(sent, 1, 77, 7, nullptr);
    Bytes memory = FrameOf(sent);
    memory.push_back(0x55);  // the next record
    const unsigned char* place = memory.data();
    DseSegment* got = DseSegment::Make(nullptr);
    ASSERT_EQ(DseSegment::ParseFrame(got, &place, memory.data() + memory.size()), 0u);
    EXPECT_EQ(place, memory.data() + memory.size() - 1);
    std::uint32_t klass = 0, type = 0, subtype = 0;
    ASSERT_EQ(DseSegment::UnpackHeader(got, &klass, &type, &subtype), 0u);
    EXPECT_EQ(std::vector<std::uint32_t>({klass, type, subtype, got->message_id, got->flags, got->aux, got->sequence,
                                          got->count}),
              std::vector<std::uint32_t>({1, 77, 7, 0xBEEF, 0x80, 3, 9, wide_count != 0 ? wide_count : 1}));
    EXPECT_EQ(testsupport::DataOf(got), Pattern(100));
    DseSegment::ReturnChain(sent);
    DseSegment::ReturnChain(got);
  }
}

TEST(SegmentFrameTest, ParseRefusesDamagedFramesWithoutMovingOn) {
  const auto good = testsupport::PackedFrames(40)[0];
  const std::vector<std::function<void(Bytes&)>> damages = {
      [](Bytes& f) { f[0] = 0x01; },       // start byte
      [](Bytes& f) { f[3] ^= 1; },         // complement
      [](Bytes& f) { f.back() = 0x04; },   // end byte
      [](Bytes& f) { f[5] = 18; },         // format
      [](Bytes& f) { f.pop_back(); },      // cut short
      [](Bytes& f) { f[1] = 0xA0; f[2] = 0x0F; f[3] = 0x5F; f[4] = 0xF0; },  // beyond a block
      // Lengths too short for their header, with an end byte where they say.
      [](Bytes& f) { f = {0x02, 0x05, 0x00, 0xFA, 0xFF, 16, 0, 0, 0, 0x03}; },
      [](Bytes& f) { f = {0x02, 0x0E, 0x00, 0xF1, 0xFF, 17, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x03}; },
  };
  for (std::size_t i = 0; i < damages.size(); ++i) {
    Bytes bytes = good;
    damages[i](bytes);
    const unsigned char* place = bytes.data();
    DseSegment* got = DseSegment::Make(nullptr);
    EXPECT_EQ(DseSegment::ParseFrame(got, &place, bytes.data() + bytes.size()), 0x8000FFFFu) << i;
    EXPECT_EQ(place, bytes.data()) << i;
    DseSegment::ReturnChain(got);
  }
}

// The pool is process-wide: each check starts from a drained pool and gives
// everything back.
TEST(SegmentPoolTest, RefillsTwentyAtATimeAndTakesNoBlockStillBeingWritten) {
  DseSegment::DrainPool();
  const std::uint32_t made = DseSegment::PoolMadeCount();
  std::vector<DseSegment*> taken;
  for (int i = 0; i < 20; ++i) taken.push_back(DseSegment::TakeFromPool());
  EXPECT_EQ(DseSegment::PoolMadeCount(), made + 20);
  EXPECT_EQ(DseSegment::PoolFreeCount(), 0u);
  taken[0]->use_count = 1;
  DseSegment::ReturnToPool(taken[0]);
  EXPECT_EQ(DseSegment::PoolFreeCount(), 0u);
  taken[0]->use_count = 0;
  DseSegment::ReturnToPool(taken[0]);
  EXPECT_EQ(DseSegment::TakeFromPool(), taken[0]);  // nothing new made
  for (DseSegment* s : taken) DseSegment::ReturnToPool(s);
  EXPECT_EQ(DseSegment::PoolFreeCount(), 20u);
  DseSegment::DrainPool();
  EXPECT_EQ(DseSegment::PoolMadeCount(), made);
}

TEST(SegmentPoolTest, BlocksBeyondTheFirst1024AreFreedOnce512LieFree) {
  DseSegment::DrainPool();
  ASSERT_EQ(DseSegment::PoolMadeCount(), 0u) << "blocks outstanding from an earlier test";
  std::vector<DseSegment*> kept, surplus;
  for (int i = 0; i < 1040; ++i) {
    DseSegment* b = DseSegment::TakeFromPool();
    (b->poolable != 0 ? kept : surplus).push_back(b);
  }
  // The refill that went from 1,020 to 1,040 made blocks that are not kept.
  ASSERT_EQ(kept.size(), 1020u);
  ASSERT_EQ(surplus.size(), 20u);
  DseSegment::ReturnToPool(surplus[0]);  // few free: kept all the same
  for (int i = 0; i < 511; ++i) DseSegment::ReturnToPool(kept[i]);
  EXPECT_EQ(DseSegment::PoolFreeCount(), 512u);
  DseSegment::ReturnToPool(surplus[1]);  // 512 free: this one is freed
  EXPECT_EQ(DseSegment::PoolFreeCount(), 512u);
  EXPECT_EQ(DseSegment::PoolMadeCount(), 1039u);
  for (std::size_t i = 511; i < kept.size(); ++i) DseSegment::ReturnToPool(kept[i]);
  for (std::size_t i = 2; i < surplus.size(); ++i) DseSegment::ReturnToPool(surplus[i]);
  EXPECT_EQ(DseSegment::PoolFreeCount(), 1021u);
  EXPECT_EQ(DseSegment::PoolMadeCount(), 1021u);
  DseSegment::DrainPool();
  EXPECT_EQ(DseSegment::PoolMadeCount(), 0u);
}

}  // namespace
