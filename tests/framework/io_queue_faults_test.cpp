// The I/O queue when a peer breaks off mid-frame and when a batch's creator
// changes the batch after announcing it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "fake_connection.h"
#include "framework/messaging/io_queue.h"
#include "framework/connections/io_status.h"
#include "shared_batch.h"
#include "tests/support/capture_sink.h"
#include "tests/support/stdout_capture.h"

using testsupport::Bytes;
using testsupport::FakeConnection;
using testsupport::TakeMessages;

namespace {

std::unique_ptr<DseMessage> Made(std::uint32_t type, std::size_t size) {
  auto message = std::make_unique<DseMessage>(type, DseMessage::kRequest);
  message->message_class = 3;
  for (std::size_t i = 0; i < size; ++i) message->PutUInt8(static_cast<std::uint8_t>(i * 7));
  return message;
}

class QueueFaults : public ::testing::Test {
 protected:
  FakeConnection* AddPeer(std::uint32_t number) {
    auto* connection = new FakeConnection;
    EXPECT_EQ(queue_.AddPeerOver(connection, number, nullptr), 1);
    connection->Open();
    return connection;
  }

  Status status_ = 0;
  DseIOQueue queue_{nullptr, nullptr, 0, &status_};
};

TEST_F(QueueFaults, APeerBrokenOffMidFrameDoesNotStopThePeersSharingTheFrame) {
  FakeConnection* broken = AddPeer(1);
  FakeConnection* well = AddPeer(2);
  broken->write_plan = [](std::uint32_t) { return 5u; };
  const std::size_t size = 2 * DseSegment::kMaxData + 9;
  auto message = Made(2, size);
  message->Pack(true);
  ASSERT_EQ(queue_.Route(message.get(), -1), DseIOQueue::kOutputLeft);
  broken->write_failure = status::kPeerGone;
  for (int i = 0; i < 5; ++i) EXPECT_EQ(queue_.Flush(), DseIOQueue::kPeerLost);
  const auto arrived = TakeMessages(&well->output);
  ASSERT_EQ(arrived.size(), 1u);
  EXPECT_EQ(arrived[0]->RemainingBytes(), size);
}

// A frame without data, one segment of a message of 65,534 that never
// completes; each would pin a whole block.
Bytes FirstSegment(std::uint16_t id, std::uint16_t index) {
  return {0x02, 0x0E, 0x00, 0xF1, 0xFF, 0x10, 0x00, 0x03, 0x0C, 0x3C, static_cast<std::uint8_t>(id),
          static_cast<std::uint8_t>(id >> 8), 0x00, 0x00, 0xFE, 0xFF, static_cast<std::uint8_t>(index),
          static_cast<std::uint8_t>(index >> 8), 0x03};
}

TEST_F(QueueFaults, APeerPinsBoundedMemoryInMessagesItNeverCompletes) {
  testsupport::CaptureSink told;
  const std::uint32_t in_use = DseSegment::PoolMadeCount() - DseSegment::PoolFreeCount();
  struct Flood {
    std::uint32_t peer, messages, segments_each;
  };
  for (const Flood flood : {Flood{1, 1000, 1}, Flood{2, 1, 10000}}) {
    FakeConnection* peer = AddPeer(flood.peer);
    for (std::uint32_t m = 0; m < flood.messages; ++m) {
      for (std::uint32_t i = 1; i <= flood.segments_each; ++i) {
        peer->Append(FirstSegment(static_cast<std::uint16_t>(m + 100), static_cast<std::uint16_t>(i)));
      }
    }
    auto whole = Made(7, 10);
    peer->Deliver(*whole);
    EXPECT_EQ(queue_.ReadAll(), 0u);
    const std::unique_ptr<DseMessage> arrived(queue_.TakeReceived());
    ASSERT_NE(arrived, nullptr);  // complete messages still go through
    EXPECT_EQ(arrived->type, 7u);
  }
  const std::uint32_t pinned = DseSegment::PoolMadeCount() - DseSegment::PoolFreeCount() - in_use;
  EXPECT_LE(pinned, DseIOQueue::kMostIncompleteMessages + DseIOQueue::kMostHeldSegments + 2);
  std::string lines;
  for (const auto& group : told.groups()) lines += group.lines.front() + "\n";
  EXPECT_EQ(lines,
            "Segments of message 164 from peer 1 refused: too many incomplete messages\n"
            "Segments of message 100 from peer 2 refused: too many segments of incomplete messages\n");
}

TEST_F(QueueFaults, ABatchIsReadWhenOpenedSoItsCreatorCannotPullItAway) {
  testsupport::SharedBatches batches;
  auto first = Made(60, 5);
  auto second = Made(61, DseSegment::kMaxData + 10);
  const Bytes layout = testsupport::BatchLayout({first.get(), second.get()});
  const std::uint32_t shared = batches.Share(layout);
  const auto size = static_cast<std::uint32_t>(layout.size());
  ASSERT_EQ(queue_.OpenBatchedMessageFile(batches.First(), shared, size), 0u);
  const std::string path = std::string("/").append(batches.Name(shared));
  const int fd = ::shm_open(path.c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, 0), 0);
  ::close(fd);
  const std::unique_ptr<DseMessage> taken(queue_.TakeBatchedMessage());
  ASSERT_NE(taken, nullptr);
  EXPECT_EQ(taken->type, 60u);

  // Another announcement may not throw the rest of this batch away.
  testsupport::StdoutCapture said;
  EXPECT_EQ(queue_.OpenBatchedMessageFile(batches.First(), batches.Share(layout), size), 0x8000FFFFu);
  EXPECT_NE(said.Take().find("Batched messages refused: a batch is still open"), std::string::npos);
  const std::unique_ptr<DseMessage> rest(queue_.TakeBatchedMessage());
  ASSERT_NE(rest, nullptr);
  EXPECT_EQ(rest->RemainingBytes(), DseSegment::kMaxData + 10);
  EXPECT_EQ(queue_.TakeBatchedMessage(), nullptr);
  EXPECT_FALSE(queue_.BatchOpen());
}

}  // namespace
