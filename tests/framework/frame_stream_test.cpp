#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <vector>

#include "fake_stream.h"
#include "framework/io_status.h"
#include "framework/segment.h"
#include "segment_helpers.h"
#include "tests/support/golden.h"

using testsupport::BuildChain;
using testsupport::FakeStream;
using testsupport::Frame;
using testsupport::FrameOf;
using testsupport::FramesOf;
using testsupport::Pattern;

namespace {

std::vector<Frame> PackedFrames(std::size_t data_size, std::uint32_t id = 0x1234) {
  DseSegment* chain = BuildChain(Pattern(data_size), id);
  DseSegment::PackHeaders(chain, 3, 50, 12, nullptr);
  auto frames = FramesOf(chain);
  DseSegment::ReturnChain(chain);
  return frames;
}

std::vector<std::uint8_t> Join(const std::vector<Frame>& parts) {
  std::vector<std::uint8_t> bytes;
  for (const auto& p : parts) bytes.insert(bytes.end(), p.begin(), p.end());
  return bytes;
}

// Reads frames until the stream has nothing more, as a peer's reader does:
// a fresh segment after each complete frame.
std::vector<Frame> ReadAll(FakeStream& stream) {
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
std::vector<Frame> ModelFrames(const std::vector<std::uint8_t>& bytes) {
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
    const bool sound = bytes[pos + length + 4] == 0x03 &&
                       ((format == 16 && length >= 14) || (format == 17 && length >= 18));
    if (sound) frames.emplace_back(bytes.begin() + pos, bytes.begin() + pos + length + 5);
    pos += length + 5;
  }
  return frames;
}

TEST(FrameReaderTest, ResynchronisesAfterGarbageFedOneByteAtATime) {
  const auto frames = PackedFrames(300);
  // Garbage holding start bytes without a valid length pair behind them.
  std::vector<std::uint8_t> bytes = {0x00, 0x02, 0x02, 0x13, 0x00, 0x02, 0x0E, 0x00, 0xF1, 0xFE, 0x41};
  const auto frame_bytes = Join(frames);
  bytes.insert(bytes.end(), frame_bytes.begin(), frame_bytes.end());
  FakeStream stream(bytes);
  stream.read_plan = [](std::uint32_t) { return 1u; };
  EXPECT_EQ(ReadAll(stream), frames);
}

TEST(FrameReaderTest, ReadsBackToBackFramesWhateverTheSplits) {
  const auto a = PackedFrames(5000, 1);
  const auto b = PackedFrames(0, 2);
  std::vector<Frame> all = a;
  all.insert(all.end(), b.begin(), b.end());
  std::mt19937 random(7);
  for (int round = 0; round < 50; ++round) {
    FakeStream stream(Join(all));
    stream.read_plan = [&](std::uint32_t) { return static_cast<std::uint32_t>(random() % 40); };
    EXPECT_EQ(ReadAll(stream), all) << "round " << round;
  }
}

TEST(FrameReaderTest, DropsFrameWithBadEndByteAndReadsTheNext) {
  auto bad = PackedFrames(50, 1)[0];
  bad.back() = 0x04;
  const auto good = PackedFrames(60, 2);
  FakeStream stream(Join({bad, good[0]}));
  stream.read_plan = [](std::uint32_t asked) { return asked > 3 ? 3u : asked; };
  EXPECT_EQ(ReadAll(stream), good);
}

TEST(FrameReaderTest, RefusesLengthsABlockCannotHoldOrAHeaderDoesNotFit) {
  const auto good = PackedFrames(20);
  // L = 4,000 with its complement, then enough bytes to fill it.
  std::vector<std::uint8_t> too_long = {0x02, 0xA0, 0x0F, 0x5F, 0xF0};
  too_long.resize(4005, 0x03);
  // L = 5 with an end byte where it says.
  const std::vector<std::uint8_t> too_short = {0x02, 0x05, 0x00, 0xFA, 0xFF, 16, 0, 0, 0, 0x03};
  // A wide header does not fit in L = 14.
  std::vector<std::uint8_t> wide_short = {0x02, 0x0E, 0x00, 0xF1, 0xFF, 17};
  wide_short.resize(18, 0);
  wide_short.push_back(0x03);
  for (const auto& damaged : {too_long, too_short, wide_short}) {
    FakeStream stream(Join({damaged, good[0]}));
    EXPECT_EQ(ReadAll(stream), good);
  }
}

TEST(FrameReaderTest, StreamFailureIsReportedAndReadingResumesAfterIt) {
  const auto frames = PackedFrames(100);
  FakeStream stream(frames[0]);
  stream.read_plan = [](std::uint32_t) { return 30u; };
  DseSegment* s = DseSegment::Make(nullptr);
  EXPECT_EQ(DseSegment::Read(s, &stream), status::kIncompleteFrame);
  stream.read_failure = status::kPeerGone;
  EXPECT_EQ(DseSegment::Read(s, &stream), status::kPeerGone);
  stream.read_failure = 0;
  Status result = status::kIncompleteFrame;
  while (result == status::kIncompleteFrame) result = DseSegment::Read(s, &stream);
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(FrameOf(s), frames[0]);
  DseSegment::ReturnToPool(s);
}

TEST(FrameReaderTest, NothingAvailableIsNotAFrame) {
  FakeStream stream;
  DseSegment* s = DseSegment::Make(nullptr);
  EXPECT_EQ(DseSegment::Read(s, &stream), status::kIncompleteFrame);
  EXPECT_EQ(s->read_state, DseSegment::kNothingRead);
  DseSegment::ReturnToPool(s);
}

TEST(FrameReaderTest, PacketStreamTakesOnlyExactWholeFrames) {
  const auto frame = PackedFrames(64)[0];
  struct Case {
    std::vector<std::uint8_t> bytes;
    Status expected;
  };
  std::vector<std::uint8_t> longer(frame.begin(), frame.end());
  longer.push_back(0x00);  // more arrived than the length says
  const std::vector<std::uint8_t> shorter(frame.begin(), frame.end() - 1);
  std::vector<std::uint8_t> bad_end(frame.begin(), frame.end() - 1);
  bad_end.push_back(0x00);
  const std::vector<Case> cases = {
      {frame, 0}, {{}, status::kNothingRead}, {longer, 0x8000FFFF}, {shorter, 0x8000FFFF},
      {bad_end, 0x8000FFFF}, {{0x02, 0x05, 0x00, 0xFA, 0xFF, 16, 0, 0, 0, 0x03}, 0x8000FFFF}};
  for (const Case& c : cases) {
    FakeStream stream(c.bytes, XosBaseIO::kPacketStream);
    DseSegment* s = DseSegment::Make(nullptr);
    EXPECT_EQ(DseSegment::Read(s, &stream), c.expected) << testsupport::HexDump(c.bytes);
    if (c.expected == 0) {
      EXPECT_EQ(FrameOf(s), frame);
    }
    DseSegment::ReturnToPool(s);
  }
}

// Random streams of good, damaged and fake frames between garbage, read in
// random pieces, must give what the whole-stream model gives; with garbage
// free of start bytes that is exactly the good frames.
class FrameReaderFuzz {
 public:
  explicit FrameReaderFuzz(std::uint32_t seed) : random_(seed) {}

  void RunOnce() {
    std::vector<std::uint8_t> bytes;
    std::vector<Frame> good;
    const bool clean = Coin(4);  // only good frames and garbage without start bytes
    const int items = 1 + static_cast<int>(random_() % 12);
    for (int i = 0; i < items; ++i) {
      switch (clean ? random_() % 2 : random_() % 5) {
        case 0: {
          const std::size_t size = Coin(3) ? random_() % 9000 : random_() % 40;
          for (const Frame& f : PackedFrames(size, static_cast<std::uint32_t>(random_()))) {
            good.push_back(f);
            bytes.insert(bytes.end(), f.begin(), f.end());
          }
          break;
        }
        case 1: {
          const std::size_t size = random_() % 64;
          for (std::size_t k = 0; k < size; ++k) {
            std::uint8_t b = static_cast<std::uint8_t>(random_());
            if (clean && b == 0x02) b = 0x42;
            bytes.push_back(b);
          }
          break;
        }
        case 2: {  // a frame damaged in one byte
          Frame f = PackedFrames(random_() % 200, 9)[0];
          f[random_() % f.size()] ^= static_cast<std::uint8_t>(1 + random_() % 255);
          bytes.insert(bytes.end(), f.begin(), f.end());
          break;
        }
        case 3: {  // a start with a valid length pair announcing garbage
          const std::uint16_t length = static_cast<std::uint16_t>(random_() % 4100);
          bytes.insert(bytes.end(), {0x02, static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
                                     static_cast<std::uint8_t>(~length), static_cast<std::uint8_t>(~length >> 8)});
          break;
        }
        default: {  // a frame cut short
          Frame f = PackedFrames(random_() % 300, 8)[0];
          f.resize(random_() % f.size());
          bytes.insert(bytes.end(), f.begin(), f.end());
          break;
        }
      }
    }
    FakeStream stream(bytes);
    const std::uint32_t largest = Coin(2) ? 1 + random_() % 8 : 1 + random_() % 5000;
    stream.read_plan = [&](std::uint32_t) { return static_cast<std::uint32_t>(random_() % (largest + 1)); };
    const auto read = ReadAll(stream);
    ASSERT_EQ(read, ModelFrames(bytes)) << "seed state after " << runs_ << " runs";
    if (clean) {
      ASSERT_EQ(read, good);
    }
    ++runs_;
  }

  int runs() const { return runs_; }

 private:
  bool Coin(int one_in) { return random_() % one_in == 0; }
  std::mt19937 random_;
  int runs_ = 0;
};

TEST(FrameReaderTest, RandomChunkingsAndDamageMatchTheWholeStreamModel) {
  // VANTOR_FRAME_FUZZ_SECONDS makes this a long run during development.
  const char* seconds_text = std::getenv("VANTOR_FRAME_FUZZ_SECONDS");
  const int seconds = seconds_text != nullptr ? std::atoi(seconds_text) : 0;
  FrameReaderFuzz fuzz(20240611);
  if (seconds <= 0) {
    for (int i = 0; i < 300 && !::testing::Test::HasFatalFailure(); ++i) fuzz.RunOnce();
    return;
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end && !::testing::Test::HasFatalFailure()) fuzz.RunOnce();
  std::printf("%d random streams read\n", fuzz.runs());
}

// ------------------------------------------------------------------ writing

class FrameWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    segment_ = BuildChain(Pattern(200));
    DseSegment::PackHeaders(segment_, 3, 50, 12, nullptr);
    frame_ = FrameOf(segment_);
  }
  void TearDown() override {
    segment_->use_count = 0;
    DseSegment::ReturnChain(segment_);
  }
  DseSegment* segment_ = nullptr;
  Frame frame_;
};

TEST_F(FrameWriterTest, WritesInPiecesUntilAllIsOut) {
  segment_->use_count = 1;
  FakeStream stream;
  stream.write_plan = [](std::uint32_t) { return 0u; };
  EXPECT_EQ(DseSegment::Write(segment_, &stream), status::kNothingWritten);
  stream.write_plan = [](std::uint32_t) { return 100u; };
  EXPECT_EQ(DseSegment::Write(segment_, &stream), status::kPartlyWritten);
  EXPECT_EQ(segment_->transfer_offset, 100u);
  EXPECT_EQ(segment_->use_count, 1u);
  stream.write_plan = nullptr;
  EXPECT_EQ(DseSegment::Write(segment_, &stream), 0u);
  EXPECT_EQ(segment_->use_count, 0u);
  EXPECT_EQ(stream.output, frame_);
  // Nothing left to write.
  EXPECT_EQ(DseSegment::Write(segment_, &stream), 0u);
  EXPECT_EQ(stream.output, frame_);
}

TEST_F(FrameWriterTest, FailuresAreReportedNotTakenForBusy) {
  segment_->use_count = 1;
  for (Status failure : {0x80000035u, 0xA0000035u, 0x8000FFFFu}) {
    FakeStream stream;
    stream.write_failure = failure;
    EXPECT_EQ(DseSegment::Write(segment_, &stream), failure);
    EXPECT_EQ(segment_->use_count, 1u);
    EXPECT_EQ(segment_->transfer_count, frame_.size());
  }
}

TEST_F(FrameWriterTest, EveryDestinationGetsTheWholeFrame) {
  segment_->use_count = 2;
  FakeStream first, second;
  EXPECT_EQ(DseSegment::Write(segment_, &first), 0u);
  EXPECT_EQ(segment_->use_count, 1u);
  second.write_plan = [](std::uint32_t) { return 50u; };
  while (DseSegment::Write(segment_, &second) == status::kPartlyWritten) {
  }
  EXPECT_EQ(segment_->use_count, 0u);
  EXPECT_EQ(first.output, frame_);
  EXPECT_EQ(second.output, frame_);
}

}  // namespace
