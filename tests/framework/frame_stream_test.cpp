#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "fake_connection.h"
#include "framework/io_status.h"
#include "framework/segment.h"
#include "segment_helpers.h"

using testsupport::Bytes;
using testsupport::FakeConnection;
using testsupport::Frame;
using testsupport::FrameOf;
using testsupport::Join;
using testsupport::PackedFrames;

namespace {

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

// What a reader must make of a whole byte stream: a start byte with a
// matching length pair that fits a block takes the whole frame it announces,
// kept when its end byte and header are sound and dropped otherwise; any
// other byte is skipped.
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
    const bool sound = bytes[pos + length + 4] == 0x03 && (format == 16 || (format == 17 && length >= 18));
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
      {0x00, 0x02, 0x02, 0x13, 0x00, 0x02, 0x0E, 0x00, 0xF1, 0xFE, 0x41},  // start bytes without a length pair
      bad_end, too_long, wide_short,
      {0x02, 0x05, 0x00, 0xFA, 0xFF, 16, 0, 0, 0, 0x03},  // L = 5 with an end byte where it says
  };
  for (const Bytes& before : damaged) {
    for (std::uint32_t piece : {1u, 3u, 5000u}) {
      FakeConnection stream(Join({before, Join(good)}));
      stream.read_plan = [piece](std::uint32_t) { return piece; };
      EXPECT_EQ(ReadAll(stream), good) << testsupport::HexDump(Bytes(before.begin(), before.begin() + 5));
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
    EXPECT_EQ(DseSegment::Read(s, &stream), expected) << testsupport::HexDump(bytes);
    if (expected == 0) {
      EXPECT_EQ(FrameOf(s), frame);
    }
    DseSegment::ReturnToPool(s);
  }
}

// Random streams of good, damaged and fake frames between garbage, read in
// random pieces, must give what the whole-stream model gives; with garbage
// free of start bytes that is exactly the good frames.
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
          bytes.insert(bytes.end(), {0x02, static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
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
    stream.read_plan = [&](std::uint32_t) { return static_cast<std::uint32_t>(random() % (largest + 1)); };
    const auto read = ReadAll(stream);
    ASSERT_EQ(read, ModelFrames(bytes)) << "run " << run;
    if (clean) {
      ASSERT_EQ(read, good) << "run " << run;
    }
  }
}

TEST(FrameWriterTest, EveryDestinationGetsTheWholeFrameInPiecesAndFailuresAreNoBusy) {
  DseSegment* segment = testsupport::BuildChain(testsupport::Pattern(200));
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
