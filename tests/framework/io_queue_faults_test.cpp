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
