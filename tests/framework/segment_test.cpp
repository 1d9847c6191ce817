#include "framework/connections/segment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <numeric>
#include <random>
#include <vector>

#include "fake_connection.h"
#include "framework/connections/io_status.h"
#include "segment_helpers.h"
#include "tests/support/golden.h"

using namespace testsupport;

namespace {

// The 13 header bytes of the test messages for one segment of count n.
std::string Header(int count, int index) {
  char text[64];
  std::snprintf(text, sizeof text, "10 20 03 0C 32 34 12 01 05 %02X %02X %02X %02X", count & 0xFF,
                count >> 8, index & 0xFF, index >> 8);
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
  EXPECT_TRUE(
      SameBytes(HexBytes("02 12 00 ED FF" + Header(2, 2) + "AA BB CC DD 03"), FrameOf(current)));
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
  EXPECT_TRUE(
      SameBytes(HexBytes("02 9E 0F 61 F0 11 20 03 0C 32 34 12 01 05 FF FF 00 00 01 00 00 00"),
                Head(first, 22)));
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + 3980, frame.begin() + 22));
  EXPECT_EQ(frame[4002], 0x03);
  EXPECT_TRUE(
      SameBytes(HexBytes("FF FF 00 00 FF FF 00 00"), Bytes(last->frame + 14, last->frame + 22)));
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
    EXPECT_EQ(std::vector<std::uint32_t>({klass, type, subtype, got->message_id, got->flags,
                                          got->aux, got->sequence, got->count}),
              std::vector<std::uint32_t>(
                  {1, 77, 7, 0xBEEF, 0x80, 3, 9, wide_count != 0 ? wide_count : 1}));
    EXPECT_EQ(DataOf(got), Pattern(100));
    DseSegment::ReturnChain(sent);
    DseSegment::ReturnChain(got);
  }
}

TEST(SegmentFrameTest, ParseRefusesDamagedFramesWithoutMovingOn) {
  const auto good = PackedFrames(40)[0];
  const std::vector<std::function<void(Bytes&)>> damages = {
      [](Bytes& f) { f[0] = 0x01; },      // start byte
      [](Bytes& f) { f[3] ^= 1; },        // complement
      [](Bytes& f) { f.back() = 0x04; },  // end byte
      [](Bytes& f) { f[5] = 18; },        // format
      [](Bytes& f) { f.pop_back(); },     // cut short
      [](Bytes& f) {
        f[1] = 0xA0;
        f[2] = 0x0F;
        f[3] = 0x5F;
        f[4] = 0xF0;
      },  // beyond a block
      // Lengths too short for their header, with an end byte where they say.
      [](Bytes& f) { f = {0x02, 0x05, 0x00, 0xFA, 0xFF, 16, 0, 0, 0, 0x03}; },
      [](Bytes& f) {
        f = {0x02, 0x0E, 0x00, 0xF1, 0xFF, 17, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x03};
      },
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

using Indices = std::vector<std::uint32_t>;

DseSegment* Received(std::uint32_t id, std::uint32_t index, std::uint32_t count) {
  DseSegment* s = DseSegment::Make(nullptr);
  s->message_id = id;
  s->index = index;
  s->count = count;
  return s;
}

Indices IndicesOf(const DseSegment* first) {
  Indices indices;
  for (const DseSegment* s = first; s != nullptr; s = s->next) indices.push_back(s->index);
  return indices;
}

class SegmentAssemblyTest : public ::testing::Test {
 protected:
  // Files a segment; the indices of the chain it completed (empty while incomplete).
  Indices File(std::uint32_t id, std::uint32_t index, std::uint32_t count, Status expected = 0) {
    DseSegment* complete = nullptr;
    EXPECT_EQ(DseSegment::Assemble(Received(id, index, count), &list_, &complete), expected);
    const Indices indices = IndicesOf(complete);
    if (complete != nullptr) {
      EXPECT_EQ(complete->message_id, id);
    }
    DseSegment::ReturnChain(complete);
    return indices;
  }
  DseAssemblyList list_;
};

TEST_F(SegmentAssemblyTest, InterleavedMessagesAreKeptApartByIdAndComeOutInOrder) {
  EXPECT_EQ(File(9, 1, 1), Indices{1});
  EXPECT_TRUE(File(1, 2, 2).empty());
  EXPECT_TRUE(File(2, 3, 3).empty());
  EXPECT_TRUE(File(2, 1, 3).empty());
  EXPECT_EQ(list_.Size(), 2u);
  EXPECT_EQ(list_.Head()->message_id, 2u);  // the message extended last comes first
  EXPECT_EQ(File(1, 1, 2), (Indices{1, 2}));
  EXPECT_EQ(File(2, 2, 3), (Indices{1, 2, 3}));
  EXPECT_EQ(list_.Size(), 0u);
}

TEST_F(SegmentAssemblyTest, RefusedSegmentsGoBackAndClearGivesIncompleteMessagesBack) {
  File(4, 1, 3);
  File(4, 2, 3);
  // Blocks in use, not free ones: a large pool deletes surplus blocks given back.
  const auto in_use = [] { return DseSegment::PoolMadeCount() - DseSegment::PoolFreeCount(); };
  const std::uint32_t used_before = in_use();
  File(4, 2, 3, 0x8000FFFF);  // a duplicate
  File(4, 0, 3, 0x8000FFFF);  // no index 0
  File(4, 4, 3, 0x8000FFFF);  // beyond the count
  File(4, 3, 5, 0x8000FFFF);  // a different count for the same id
  File(5, 1, 0, 0x8000FFFF);
  EXPECT_EQ(in_use(), used_before);
  EXPECT_EQ(list_.Size(), 1u);
  list_.Clear();
  EXPECT_EQ(list_.Size(), 0u);
  EXPECT_EQ(in_use(), used_before - 2);
}

// Any arrival order with any repeats completes the message exactly once,
// in index order, refusing every repeat.
TEST_F(SegmentAssemblyTest, RandomArrivalOrdersMatchSortedUniqueModel) {
  std::mt19937 random(99);
  for (int round = 0; round < 200; ++round) {
    const std::uint32_t count = 1 + random() % 12;
    Indices arrivals(count);
    std::iota(arrivals.begin(), arrivals.end(), 1u);
    const Indices expected = arrivals;
    for (int extra = random() % 4; extra > 0; --extra) arrivals.push_back(1 + random() % count);
    std::shuffle(arrivals.begin(), arrivals.end(), random);
    std::vector<bool> seen(count + 1, false);
    std::uint32_t distinct = 0;
    for (std::uint32_t index : arrivals) {
      const bool repeat = seen[index];
      seen[index] = true;
      distinct += repeat ? 0 : 1;
      const Indices done = File(77, index, count, repeat ? 0x8000FFFF : 0);
      EXPECT_EQ(done, distinct == count ? expected : Indices{}) << "round " << round;
      if (distinct == count) break;  // a repeat now would start a new message
    }
    EXPECT_EQ(list_.Size(), 0u);
  }
}

// Reads frames until the stream has nothing more, as a peer's reader does:
// a fresh segment after each complete frame.
std::vector<Frame> ReadAll(FakeConnection& stream) {
  std::vector<Frame> frames;
  DseSegment* s = DseSegment::Make(nullptr);
  for (int guard = 0; guard < 10'000'000; ++guard) {
    const Status result = DseSegment::Read(s, &stream);
    if (result == 0) {
      EXPECT_EQ(s->read_state, DseSegment::kComplete);
      frames.push_back(FrameOf(s));
      DseSegment::ReturnToPool(s);
      s = DseSegment::Make(nullptr);
      continue;
    }
    EXPECT_EQ(result, status::kIncompleteFrame);
    if (result != status::kIncompleteFrame || stream.Exhausted()) break;
  }
  DseSegment::ReturnToPool(s);
  return frames;
}

// The frames a reader must take from a whole byte stream: sound frames, garbage skipped.
std::vector<Frame> ModelFrames(const Bytes& bytes) {
  std::vector<Frame> frames;
  std::size_t pos = 0;
  while (pos + 5 <= bytes.size()) {
    const std::uint32_t length = bytes[pos + 1] | (bytes[pos + 2] << 8);
    const std::uint32_t complement = bytes[pos + 3] | (bytes[pos + 4] << 8);
    if (bytes[pos] != 0x02 || (length ^ 0xFFFF) != complement || length < 14 || length > 3998) {
      ++pos;
      continue;
    }
    if (pos + length + 5 > bytes.size()) break;
    const std::uint8_t format = bytes[pos + 5];
    const bool sound =
        bytes[pos + length + 4] == 0x03 && (format == 16 || (format == 17 && length >= 18));
    if (sound) frames.emplace_back(bytes.begin() + pos, bytes.begin() + pos + length + 5);
    pos += length + 5;
  }
  return frames;
}

TEST(FrameReaderTest, SkipsGarbageAndDamagedFramesAndReadsTheNext) {
  const auto good = PackedFrames(300, 2);
  auto bad_end = PackedFrames(50, 1)[0];
  bad_end.back() = 0x04;
  // L = 4,000 with its complement, then enough bytes to fill it.
  Bytes too_long = {0x02, 0xA0, 0x0F, 0x5F, 0xF0};
  too_long.resize(4005, 0x03);
  // A wide header does not fit in L = 14.
  Bytes wide_short = {0x02, 0x0E, 0x00, 0xF1, 0xFF, 17};
  wide_short.resize(18, 0);
  wide_short.push_back(0x03);
  const Bytes damaged[] = {
      {0x00, 0x02, 0x02, 0x13, 0x00, 0x02, 0x0E, 0x00, 0xF1, 0xFE,
       0x41},  // start bytes without a length pair
      bad_end,
      too_long,
      wide_short,
      {0x02, 0x05, 0x00, 0xFA, 0xFF, 16, 0, 0, 0, 0x03},  // L = 5 with an end byte where it says
  };
  for (const Bytes& before : damaged) {
    for (std::uint32_t piece : {1u, 3u, 5000u}) {
      FakeConnection stream(Join({before, Join(good)}));
      stream.read_plan = [piece](std::uint32_t) { return piece; };
      EXPECT_EQ(ReadAll(stream), good) << HexDump(Bytes(before.begin(), before.begin() + 5));
    }
  }
}

TEST(FrameReaderTest, StreamFailureIsReportedAndReadingResumesAfterIt) {
  const auto frame = PackedFrames(100)[0];
  FakeConnection stream;
  DseSegment* s = DseSegment::Make(nullptr);
  EXPECT_EQ(DseSegment::Read(s, &stream), status::kIncompleteFrame);  // nothing there is no frame
  EXPECT_EQ(s->read_state, DseSegment::kNothingRead);
  stream.Append(Bytes(frame.begin(), frame.begin() + 30));
  EXPECT_EQ(DseSegment::Read(s, &stream), status::kIncompleteFrame);
  stream.read_failure = status::kPeerGone;
  EXPECT_EQ(DseSegment::Read(s, &stream), status::kPeerGone);
  stream.read_failure = 0;
  stream.Append(Bytes(frame.begin() + 30, frame.end()));
  EXPECT_EQ(DseSegment::Read(s, &stream), 0u);
  EXPECT_EQ(FrameOf(s), frame);
  DseSegment::ReturnToPool(s);
}

TEST(FrameReaderTest, PacketStreamTakesOnlyExactWholeFrames) {
  const auto frame = PackedFrames(64)[0];
  Bytes longer = frame;
  longer.push_back(0x00);  // more arrived than the length says
  Bytes bad_end(frame.begin(), frame.end() - 1);
  bad_end.push_back(0x00);
  const std::pair<Bytes, Status> cases[] = {
      {frame, 0},
      {{}, status::kNothingRead},
      {longer, 0x8000FFFF},
      {Bytes(frame.begin(), frame.end() - 1), 0x8000FFFF},
      {bad_end, 0x8000FFFF},
      {{0x02, 0x05, 0x00, 0xFA, 0xFF, 16, 0, 0, 0, 0x03}, 0x8000FFFF}};
  for (const auto& [bytes, expected] : cases) {
    FakeConnection stream(bytes, XosBaseIO::kPacketStream);
    DseSegment* s = DseSegment::Make(nullptr);
    EXPECT_EQ(DseSegment::Read(s, &stream), expected) << HexDump(bytes);
    if (expected == 0) {
      EXPECT_EQ(FrameOf(s), frame);
    }
    DseSegment::ReturnToPool(s);
  }
}

// Random streams, read in random pieces, give what the whole-stream model gives.
TEST(FrameReaderTest, RandomChunkingsAndDamageMatchTheWholeStreamModel) {
  std::mt19937 random(20240611);
  auto coin = [&](int one_in) { return random() % one_in == 0; };
  for (int run = 0; run < 300; ++run) {
    Bytes bytes;
    std::vector<Frame> good;
    const bool clean = coin(4);  // only good frames and garbage without start bytes
    for (int i = 1 + static_cast<int>(random() % 12); i > 0; --i) {
      switch (clean ? random() % 2 : random() % 5) {
        case 0:
          for (const Frame& f : PackedFrames(coin(3) ? random() % 9000 : random() % 40, random())) {
            good.push_back(f);
            bytes.insert(bytes.end(), f.begin(), f.end());
          }
          break;
        case 1:
          for (std::size_t k = random() % 64; k > 0; --k) {
            const auto b = static_cast<std::uint8_t>(random());
            bytes.push_back(clean && b == 0x02 ? 0x42 : b);
          }
          break;
        case 2: {  // a frame damaged in one byte
          Frame f = PackedFrames(random() % 200, 9)[0];
          f[random() % f.size()] ^= static_cast<std::uint8_t>(1 + random() % 255);
          bytes.insert(bytes.end(), f.begin(), f.end());
          break;
        }
        case 3: {  // a start with a valid length pair announcing garbage
          const auto length = static_cast<std::uint16_t>(random() % 4100);
          bytes.insert(
              bytes.end(),
              {0x02, static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
               static_cast<std::uint8_t>(~length), static_cast<std::uint8_t>(~length >> 8)});
          break;
        }
        default: {  // a frame cut short
          Frame f = PackedFrames(random() % 300, 8)[0];
          f.resize(random() % f.size());
          bytes.insert(bytes.end(), f.begin(), f.end());
        }
      }
    }
    FakeConnection stream(bytes);
    const std::uint32_t largest = coin(2) ? 1 + random() % 8 : 1 + random() % 5000;
    stream.read_plan = [&](std::uint32_t) {
      return static_cast<std::uint32_t>(random() % (largest + 1));
    };
    const auto read = ReadAll(stream);
    ASSERT_EQ(read, ModelFrames(bytes)) << "run " << run;
    if (clean) {
      ASSERT_EQ(read, good) << "run " << run;
    }
  }
}

TEST(FrameWriterTest, EveryDestinationGetsTheWholeFrameInPiecesAndFailuresAreNoBusy) {
  DseSegment* segment = BuildChain(Pattern(200));
  DseSegment::PackHeaders(segment, 3, 50, 12, nullptr);
  const Frame frame = FrameOf(segment);
  segment->use_count = 2;
  for (Status failure : {0x80000035u, 0xA0000035u, 0x8000FFFFu}) {
    FakeConnection failing;
    failing.write_failure = failure;
    EXPECT_EQ(DseSegment::Write(segment, &failing), failure);
  }
  EXPECT_EQ(segment->use_count, 2u);
  FakeConnection first, second;
  first.write_plan = [](std::uint32_t) { return 0u; };
  EXPECT_EQ(DseSegment::Write(segment, &first), status::kNothingWritten);
  first.write_plan = [](std::uint32_t) { return 100u; };
  EXPECT_EQ(DseSegment::Write(segment, &first), status::kPartlyWritten);
  EXPECT_EQ(segment->transfer_offset, 100u);
  first.write_plan = nullptr;
  EXPECT_EQ(DseSegment::Write(segment, &first), 0u);
  EXPECT_EQ(segment->use_count, 1u);
  second.write_plan = [](std::uint32_t) { return 50u; };
  while (DseSegment::Write(segment, &second) == status::kPartlyWritten) {
  }
  EXPECT_EQ(segment->use_count, 0u);
  EXPECT_EQ(DseSegment::Write(segment, &second), 0u);  // nothing left to write
  EXPECT_EQ(first.output, frame);
  EXPECT_EQ(second.output, frame);
  DseSegment::ReturnChain(segment);
}

}  // namespace
