#include "framework/messaging/io_queue.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "fake_connection.h"
#include "framework/connections/io_status.h"
#include "framework/servers/controller.h"
#include "message_helpers.h"
#include "platform/byte_order.h"
#include "platform/posix_file.h"
#include "platform/shared_memory.h"
#include "shared_batch.h"
#include "tests/support/capture_sink.h"
#include "tests/support/scoped_env.h"
#include "tests/support/stdout_capture.h"
#include "tests/support/temp_dir.h"

using namespace testsupport;

namespace {

constexpr Status kAllWritten = DseIOQueue::kAllWritten;

MessagePtr Made(std::uint32_t type, std::size_t size, std::uint32_t klass = 3) {
  auto message = std::make_unique<DseMessage>(type, DseMessage::kRequest);
  message->message_class = klass;
  for (std::size_t i = 0; i < size; ++i) message->PutUInt8(static_cast<std::uint8_t>(i * 13));
  return message;
}

// A hold or release frame as a peer sends it.
Bytes Notice(std::uint32_t klass, std::uint32_t subtype) {
  DseMessage notice(DseMessage::kConnectionType, subtype);
  notice.message_class = klass;
  notice.SetId(DseIOQueue::kNoticeId);
  return WireBytes(notice);
}

// Peer number answers the connect handshake, serving these types.
void AnswerOn(DseIOQueue& queue, std::uint32_t number, const std::vector<std::uint32_t>& types) {
  DseMessage answer(DseMessage::kConnectionType, DseMessage::kConnect);
  answer.flags = DseMessage::kReply;
  answer.PutUInt32(static_cast<std::uint32_t>(types.size()));
  for (std::uint32_t type : types) answer.PutUInt32(type);
  EXPECT_EQ(queue.TakeConnectReply(Received(answer, queue.FindPeer(number)).get()), 0u);
}

class IOQueueTest : public ::testing::Test {
 protected:
  explicit IOQueueTest(std::uint32_t own = 0) : queue_(nullptr, nullptr, own, &status_) {}

  FakeConnection* AddPeer(std::uint32_t number) {
    auto* connection = new FakeConnection;
    EXPECT_EQ(queue_.AddPeerOver(connection, number, nullptr), 1);
    connection->Open();
    return connection;
  }
  void Answer(std::uint32_t number, const std::vector<std::uint32_t>& types) {
    AnswerOn(queue_, number, types);
  }
  // The aux fields of the messages a peer was sent since the last look.
  static std::string Auxes(FakeConnection* peer) {
    std::string auxes;
    for (const auto& m : TakeMessages(&peer->output))
      auxes.append(auxes.empty() ? "" : " ").append(std::to_string(m->aux));
    return auxes;
  }
  Status Route(MessagePtr message, std::int32_t timeout_ms = -1) {
    message->Pack(true);
    return queue_.Route(message.get(), timeout_ms);
  }

  TempDir pipes_;
  ScopedEnv pipe_dir_{"VANTOR_PIPE_DIR", pipes_.path().c_str()};
  Status status_ = 0;
  DseIOQueue queue_;
};

TEST_F(IOQueueTest, RoutesByTypeTokenAndSourcePeerAndHoldsUnknownTypesUntilTheHandshake) {
  ASSERT_EQ(status_, 0u);
  FakeConnection* a = AddPeer(1);
  FakeConnection* b = AddPeer(2);
  EXPECT_EQ(queue_.AddPeerOver(new FakeConnection, 2, nullptr), 0);  // known
  EXPECT_EQ(queue_.AddPeerOver(new FakeConnection, 0, nullptr), 0);  // own
  EXPECT_EQ(Route(Made(60, 4)), kAllWritten);
  Answer(1, {60});
  EXPECT_EQ(queue_.WaitingCount(), 1u);  // until every peer has answered
  Answer(2, {});
  EXPECT_EQ(queue_.Flush(), kAllWritten);
  EXPECT_EQ(Auxes(a), "1");
  EXPECT_EQ(Auxes(b), "");
  // Types 1 to 3 go to every peer, others to the peers serving them.
  for (const auto& [type, routed, to_a, to_b] :
       {std::tuple<std::uint32_t, Status, const char*, const char*>{0, 0xA000FFFF, "", ""},
        {2, kAllWritten, "2", "2"},
        {60, kAllWritten, "1", ""},
        {70, 0xA000FFFF, "", ""}}) {
    EXPECT_EQ(Route(Made(type, 8)), routed) << type;
    EXPECT_EQ(Auxes(a), to_a) << type;
    EXPECT_EQ(Auxes(b), to_b) << type;
  }
  // A reply goes back where its request came from, whatever its type.
  MessagePtr request = Received(*Made(60, 2), queue_.FindPeer(2));
  EXPECT_EQ(Route(MessagePtr(DseMessage::DseMessageAsReply(*request))), kAllWritten);
  EXPECT_EQ(Auxes(a), "");
  EXPECT_EQ(Auxes(b), "0");
}

TEST_F(IOQueueTest, TenSegmentsOfAClassGoOutBetweenAHoldAndARelease) {
  FakeConnection* a = AddPeer(1);
  a->write_plan = [](std::uint32_t) { return 0u; };
  EXPECT_EQ(Route(Made(2, 10 * DseSegment::kMaxData)), DseIOQueue::kOutputLeft);
  const DseIOQueue* peer = queue_.PeerAt(0);
  EXPECT_EQ(std::vector<std::uint32_t>(
                {peer->QueuedSegments(0), peer->QueuedSegments(3), peer->QueuedSegments(4)}),
            std::vector<std::uint32_t>({1, 10, 1}));
  EXPECT_TRUE(peer->Held());
  EXPECT_EQ(queue_.HeldPeerCount(), 1u);
  a->write_plan = nullptr;
  EXPECT_EQ(queue_.Flush(), kAllWritten);
  EXPECT_FALSE(peer->Held());
  EXPECT_EQ(queue_.HeldPeerCount(), 0u);
  const auto sent = TakeMessages(&a->output);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(WireBytes(*sent[0]), Notice(0, DseMessage::kRaiseHold));
  EXPECT_EQ(sent[1]->RemainingBytes(), 10 * DseSegment::kMaxData);
  EXPECT_EQ(WireBytes(*sent[2]), Notice(4, DseMessage::kLowerHold));

  // Notices received move the hold count, never below 0, and are no messages.
  for (int i = 0; i < 2; ++i) a->Append(Notice(0, DseMessage::kRaiseHold));
  EXPECT_EQ(queue_.ReadAll(), 0u);
  EXPECT_EQ(queue_.HoldCount(), 2u);
  for (int i = 0; i < 3; ++i) a->Append(Notice(4, DseMessage::kLowerHold));
  EXPECT_EQ(queue_.ReadAll(), 0u);
  EXPECT_EQ(queue_.HoldCount(), 0u);
  EXPECT_EQ(queue_.TakeReceived(), nullptr);
}

// The write progress of a shared segment lives in the segment: a peer may
// not start it while another one is in the middle of it.
TEST_F(IOQueueTest, PartialWritesGiveEachPeerEveryFrameOnceAndInOrder) {
  FakeConnection* a = AddPeer(1);
  FakeConnection* b = AddPeer(2);
  std::mt19937 random(11);
  for (FakeConnection* peer : {a, b})
    peer->write_plan = [&](std::uint32_t) { return 1 + random() % 900; };
  Bytes expected;
  std::vector<MessagePtr> messages;
  for (std::size_t size :
       {std::size_t{3 * DseSegment::kMaxData + 5}, std::size_t{7}, std::size_t{5000}}) {
    messages.push_back(Made(2, size));
    messages.back()->aux = 2;
    messages.back()->FirstSegment()->aux = 2;
    const Bytes frames = WireBytes(*messages.back());
    expected.insert(expected.end(), frames.begin(), frames.end());
  }
  for (auto& message : messages) Route(std::move(message));
  for (int i = 0; i < 200 && queue_.Flush() != kAllWritten; ++i) {
  }
  EXPECT_TRUE(SameBytes(expected, a->output));
  EXPECT_TRUE(SameBytes(expected, b->output));
  EXPECT_EQ(DseSegment::PoolFreeCount(), DseSegment::PoolMadeCount());
}

// A flush pauses once when a peer took nothing: not when it takes bytes,
// even part of a frame, nor while pauses are deferred.
TEST_F(IOQueueTest, AWriterThatTakesNothingPausesAndALostPeerReadsAsLost) {
  FakeConnection* a = AddPeer(1);
  a->write_plan = [](std::uint32_t) { return 0u; };
  EXPECT_EQ(Route(Made(2, 8), 30), DseIOQueue::kRouteTimedOut);
  EXPECT_GE(queue_.PauseCount(), 1u);
  std::uint64_t paused = queue_.PauseCount();
  EXPECT_EQ(queue_.Flush(), DseIOQueue::kOutputLeft);
  EXPECT_EQ(queue_.PauseCount(), ++paused);
  queue_.DeferPauses(true);
  EXPECT_EQ(queue_.Flush(), DseIOQueue::kOutputLeft);
  queue_.DeferPauses(false);
  EXPECT_EQ(queue_.PauseCount(), paused);
  a->write_plan = [](std::uint32_t size) { return size / 2; };
  EXPECT_EQ(queue_.Flush(), DseIOQueue::kOutputLeft);
  a->write_plan = nullptr;
  EXPECT_EQ(queue_.Flush(), kAllWritten);
  EXPECT_EQ(queue_.PauseCount(), paused);

  MessagePtr unsent = Made(2, 8);
  unsent->Pack(true);
  EXPECT_EQ(queue_.Enqueue(unsent.get()), 0u);
  a->write_failure = status::kPeerGone;
  EXPECT_EQ(queue_.Flush(), DseIOQueue::kPeerLost);
  a->read_failure = status::kClosedConnection;
  EXPECT_EQ(queue_.ReadAll(), DseIOQueue::kPeerLost);
  // A TCP peer that ended the stream in order is lost at the first read,
  // as a pipe's is: the engine must end the same way over both.
  a->read_failure = status::kConnectionClosed;
  EXPECT_EQ(queue_.ReadAll(), DseIOQueue::kPeerLost);
}

// However many peers took nothing, a flush pauses once for all of them.
TEST(IOQueuePauseTest, AFlushPausesOnceForAllThePeersThatTookNothing) {
  for (std::uint32_t stalled : {1u, 3u, 20u}) {
    Status made = 0;
    DseIOQueue queue(nullptr, nullptr, 0, &made);
    for (std::uint32_t number = 1; number <= stalled + 1; ++number) {
      auto* connection = new FakeConnection;
      ASSERT_EQ(queue.AddPeerOver(connection, number, nullptr), 1);
      connection->Open();
      if (number <= stalled) connection->write_plan = [](std::uint32_t) { return 0u; };
    }
    MessagePtr message = Made(2, 8);
    message->Pack(true);
    EXPECT_EQ(queue.Route(message.get(), -1), DseIOQueue::kOutputLeft);
    EXPECT_EQ(queue.Flush(), DseIOQueue::kOutputLeft);
    EXPECT_EQ(queue.PauseCount(), 2u) << stalled;
  }
}

TEST_F(IOQueueTest, RepliesOfSeveralPeersAreDeliveredTogetherOnceAllAreIn) {
  const char* argv[] = {"engine", "-ChildNo=1"};
  Status made = 0;
  DseController controller(2, argv, "unused.cfg", &made);
  DseIOQueue& queue = *controller.IOQueue();
  for (std::uint32_t number : {0u, 2u, 3u}) queue.AddPeerOver(new FakeConnection, number, nullptr);
  for (std::uint32_t number : {0u, 2u, 3u}) AnswerOn(queue, number, {60});
  RecordingClient client;
  auto* request = new DseMessage(60, DseMessage::kRequest);
  ASSERT_FALSE(status::IsFailure(controller.Send(request, 0, &client, nullptr, nullptr, -1)));
  ASSERT_EQ(request->aux, 3u);
  for (std::uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(queue.TakeReceived(), nullptr);
    MessagePtr reply(DseMessage::DseMessageAsReply(*request));
    reply->sequence = 1;
    queue.AddReceived(3, Received(*reply, request->Destination(i)).release());
  }
  MessagePtr gathered(queue.TakeReceived());
  ASSERT_NE(gathered, nullptr);
  EXPECT_NE(gathered->flags & DseMessage::kGathered, 0u);
  for (std::uint32_t i = 0; i < 3; ++i) EXPECT_NE(gathered->ReplyChain(i), nullptr);
}

class ChildQueueTest : public IOQueueTest {
 protected:
  ChildQueueTest() : IOQueueTest(1) {}
};

TEST_F(ChildQueueTest, PeerListsAddNewPeersAndTheHandshakeTeachesTokens) {
  AddPeer(0);
  DseMessage list(DseMessage::kConnectionType, DseMessage::kPeerList);
  list.PutUInt32(4);
  for (std::uint16_t number : {1, 0, 2, 2}) {  // itself, its parent, a sibling twice
    list.PutUInt32(0);
    list.PutUInt16(0);
    list.PutUInt16(number);
  }
  EXPECT_EQ(queue_.AddPeersFromList(Received(list).get()), 0u);
  EXPECT_EQ(queue_.PeerCount(), 2u);
  ASSERT_NE(queue_.FindPeer(2), nullptr);

  Answer(0, {4, 81});
  ASSERT_NE(queue_.Token(81), nullptr);
  EXPECT_EQ(queue_.Token(81)->peers, std::vector<DseIOQueue*>{queue_.FindPeer(0)});
  EXPECT_TRUE(queue_.FindPeer(0)->Connected());
  EXPECT_FALSE(queue_.AllConnected());
}

MessagePtr PeerList(std::uint16_t first, std::uint16_t count) {
  DseMessage list(DseMessage::kConnectionType, DseMessage::kPeerList);
  list.PutUInt32(count);
  for (std::uint16_t i = 0; i < count; ++i) {
    list.PutUInt32(0);
    list.PutUInt16(0);
    list.PutUInt16(static_cast<std::uint16_t>(first + i));
  }
  return Received(list);
}

// The peers of a list that have not opened yet take nothing, and keep no
// flush waiting. A list of more peers than the process has descriptors for
// is refused whole.
TEST_F(ChildQueueTest, APeerListNeitherSlowsEveryFlushNorTakesEveryDescriptor) {
  ASSERT_EQ(queue_.AddPeersFromList(PeerList(10, 100).get()), 0u);
  ASSERT_EQ(queue_.PeerCount(), 100u);
  Route(Made(2, 8));
  EXPECT_EQ(queue_.Flush(), DseIOQueue::kOutputLeft);
  EXPECT_EQ(queue_.PauseCount(), 0u);

  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit lowered = saved;
  lowered.rlim_cur = saved.rlim_cur - platform::DescriptorRoom() + 40;  // room for 40 more
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  CaptureSink told;
  EXPECT_EQ(queue_.AddPeersFromList(PeerList(200, 100).get()), status::kBadArguments);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(queue_.PeerCount(), 100u);
  ASSERT_EQ(told.groups().size(), 1u);
  EXPECT_EQ(told.groups()[0].lines[0],
            "Peer list refused: 100 peers, more than this process can hold");
}

// The lines of the event messages among `messages`, in order; the other
// messages are left out.
std::vector<std::string> EventLines(const std::vector<MessagePtr>& messages) {
  std::vector<std::string> lines;
  for (const MessagePtr& m : messages) {
    if (m->type != DseMessage::kEventType) continue;
    std::uint16_t one = 0, count = 0;
    std::uint32_t value = 0;
    m->GetUInt16(&one);
    m->GetUInt32(&value);
    m->GetUInt16(&count);
    for (std::uint16_t i = 0; i < count; ++i) {
      char* text = nullptr;
      if (status::IsFailure(m->GetStringNew(&text))) break;
      lines.emplace_back(text != nullptr ? text : "");
      delete[] text;
    }
  }
  return lines;
}

class SiblingQueueTest : public ChildQueueTest {
 protected:
  // The parent (0) and a sibling (2) that keeps no pace, both serving the
  // event lines; the sibling takes nothing.
  void SetUp() override {
    parent_ = AddPeer(0);
    sibling_ = new FakeConnection;
    ASSERT_EQ(queue_.AddPeerOver(sibling_, 2, nullptr, false), 1);
    sibling_->Open();
    sibling_->write_plan = [](std::uint32_t) { return 0u; };
    Answer(0, {4, 81});
    Answer(2, {4, 81, 60});
  }
  // Event k with one line "line k".
  Status Line(int k) {
    const std::string text = "line " + std::to_string(k);
    const char* const lines[] = {text.c_str()};
    return Route(MessagePtr(DseMessage::MakeEvent(16, 0, 1, lines)));
  }

  FakeConnection* parent_ = nullptr;
  FakeConnection* sibling_ = nullptr;
};

// A sibling that takes nothing holds no flush and no other peer back; it
// keeps the newest lines its room takes and, once it reads, hears first how
// many it missed. Over a sweep of line counts, below and beyond its room:
// what it got and what it was told make up every line, and the parent,
// which keeps pace, gets all of them.
TEST_F(SiblingQueueTest, ASiblingThatTakesNothingGetsItsNewestLinesAndTheCountOfTheRest) {
  const DseIOQueue* sibling = queue_.FindPeer(2);
  EXPECT_FALSE(sibling->KeepsPace());
  EXPECT_TRUE(queue_.FindPeer(0)->KeepsPace());
  int sent = 0;
  for (int lines : {1, 31, 32, 33, 100, 500}) {
    for (int k = 0; k < lines; ++k) EXPECT_EQ(Line(sent + k), DseIOQueue::kOutputLeft);
    EXPECT_EQ(queue_.PauseCount(), 0u) << lines;
    // The lines its room takes, and the count of the rest.
    EXPECT_LE(sibling->QueuedSegments(3), DseIOQueue::kMostQueuedLines + 1) << lines;
    EXPECT_FALSE(queue_.OutputWaiting());
    EXPECT_EQ(EventLines(TakeMessages(&parent_->output)).size(), static_cast<std::size_t>(lines));

    sibling_->write_plan = nullptr;
    EXPECT_EQ(queue_.Flush(), kAllWritten);
    EXPECT_EQ(queue_.Flush(), kAllWritten);
    const std::vector<std::string> got = EventLines(TakeMessages(&sibling_->output));
    sibling_->write_plan = [](std::uint32_t) { return 0u; };
    ASSERT_FALSE(got.empty());
    std::size_t missed = 0;
    const std::string told =
        " message lines were dropped: they came faster than this peer took them";
    std::size_t first = 0;
    if (got[0].find(told) != std::string::npos) {
      missed = std::stoul(got[0]);
      first = 1;
    }
    EXPECT_EQ(missed + got.size() - first, static_cast<std::size_t>(lines)) << lines;
    EXPECT_EQ(missed > 0, lines > static_cast<int>(DseIOQueue::kMostQueuedLines)) << lines;
    // The newest, in order.
    for (std::size_t i = first; i < got.size(); ++i) {
      EXPECT_EQ(got[i], "line " + std::to_string(sent + lines - (got.size() - i))) << lines;
    }
    sent += lines;
  }
  EXPECT_EQ(DseSegment::PoolFreeCount(), DseSegment::PoolMadeCount());
}

// The replies to a sibling's own requests are never dropped, however many
// lines pass them, nor what is sent about a request to it (a cancel), while
// run states beyond its room are; a parent that takes nothing still gets
// every line.
TEST_F(SiblingQueueTest, RepliesWaitForTheSiblingAndThePaceKeeperMissesNothing) {
  std::vector<MessagePtr> requests;
  for (int k = 0; k < 50; ++k) {
    requests.push_back(Received(*Made(60, 2), queue_.FindPeer(2)));
    auto reply = MessagePtr(DseMessage::DseMessageAsReply(*requests.back()));
    reply->PutUInt32(static_cast<std::uint32_t>(k));
    EXPECT_EQ(Route(std::move(reply)), DseIOQueue::kOutputLeft);
    Line(k);
  }
  for (int k = 50; k < 300; ++k) Line(k);
  EXPECT_EQ(queue_.FindPeer(2)->QueuedReplies(), 50u);
  // Queued without a flush: a flush would pause on the parent.
  parent_->write_plan = [](std::uint32_t) { return 0u; };
  TakeMessages(&parent_->output);
  for (int k = 300; k < 400; ++k) {
    const std::string text = "line " + std::to_string(k);
    const char* const lines[] = {text.c_str()};
    MessagePtr event(DseMessage::MakeEvent(16, 0, 1, lines));
    event->Pack(true);
    EXPECT_EQ(queue_.Enqueue(event.get()), 0u);
  }
  for (int k = 0; k < 50; ++k) {
    auto request = Made(60, 2);
    request->Pack(true);
    MessagePtr cancel(request->MakeCancel());
    cancel->Pack(true);
    EXPECT_EQ(queue_.Enqueue(cancel.get()), 0u);
    auto state = std::make_unique<DseMessage>(81, DseMessage::kRequest);
    state->flags |= DseMessage::kNoReply;
    state->PutUInt32(static_cast<std::uint32_t>(k));
    state->Pack(true);
    EXPECT_EQ(queue_.Enqueue(state.get()), 0u);
  }
  // Every reply and cancel, and the newest run states and lines its room
  // takes.
  EXPECT_LE(queue_.FindPeer(2)->QueuedSegments(3), 50u + 50u + DseIOQueue::kMostQueuedLines + 1);
  EXPECT_TRUE(queue_.OutputWaiting());
  EXPECT_EQ(queue_.FindPeer(0)->QueuedSegments(3), 150u);
  parent_->write_plan = nullptr;
  sibling_->write_plan = nullptr;
  EXPECT_EQ(queue_.Flush(), kAllWritten);
  EXPECT_EQ(queue_.Flush(), kAllWritten);
  std::size_t replies = 0, cancels = 0, states = 0;
  for (const MessagePtr& m : TakeMessages(&sibling_->output)) {
    cancels += m->type == 60 && m->subtype == DseMessage::kCancel;
    states += m->type == 81;
    if ((m->flags & DseMessage::kReply) == 0) continue;
    std::uint32_t k = 0;
    m->GetUInt32(&k);
    EXPECT_EQ(k, replies++);
  }
  EXPECT_EQ(replies, 50u);
  EXPECT_EQ(cancels, 50u);
  EXPECT_GT(states, 0u);
  EXPECT_LT(states, 50u);
  const auto taken = TakeMessages(&parent_->output);
  EXPECT_EQ(
      std::count_if(taken.begin(), taken.end(), [](const MessagePtr& m) { return m->type == 81; }),
      50);
  EXPECT_EQ(EventLines(taken).size(), 100u);
}

// A peer that stops in the middle of a frame it shares holds no other peer
// of the frame, whichever of them keeps pace; each gets the frame whole.
TEST_F(SiblingQueueTest, APeerStoppedMidFrameHoldsNoPeerSharingTheFrame) {
  for (FakeConnection* stopped : {sibling_, parent_}) {
    FakeConnection* other = stopped == sibling_ ? parent_ : sibling_;
    other->write_plan = nullptr;
    int calls = 0;
    stopped->write_plan = [&](std::uint32_t) { return calls++ == 0 ? 700u : 0u; };
    const std::size_t size = 2 * DseSegment::kMaxData + 9;
    auto message = Made(2, size);
    const Bytes frames = WireBytes(*message);
    message->Pack(true);
    ASSERT_EQ(queue_.Route(message.get(), -1), DseIOQueue::kOutputLeft);
    for (int i = 0; i < 3; ++i) queue_.Flush();
    auto arrived = TakeMessages(&other->output);
    ASSERT_EQ(arrived.size(), 1u);
    EXPECT_EQ(arrived[0]->RemainingBytes(), size);
    stopped->write_plan = nullptr;
    EXPECT_EQ(queue_.Flush(), kAllWritten);
    arrived = TakeMessages(&stopped->output);
    ASSERT_EQ(arrived.size(), 1u);
    EXPECT_EQ(arrived[0]->RemainingBytes(), size);
  }
  EXPECT_EQ(DseSegment::PoolFreeCount(), DseSegment::PoolMadeCount());
}

TEST_F(ChildQueueTest, RandomPeerListsAndConnectAnswersStayInsideTheirBodies) {
  StdoutCapture quiet;
  std::mt19937 random(5);
  for (int round = 0; round < 60; ++round) {
    DseIOQueue queue(nullptr, nullptr, 1, &status_);
    queue.AddPeerOver(new FakeConnection, 0, nullptr);
    Bytes body(4 + random() % 40);
    for (auto& byte : body) byte = static_cast<std::uint8_t>(random());
    platform::StoreLE32(body.data(),
                        random() % 2 ? random() % 8 : static_cast<std::uint32_t>(random()));
    const MessagePtr list = ReceivedBody(body, 1, DseMessage::kPeerList);
    const Status listed = queue.AddPeersFromList(list.get());
    EXPECT_LE(queue.PeerCount(), 1 + body.size() / 8);
    if (platform::LoadLE32(body.data()) * 8ull > body.size() - 4) {
      EXPECT_EQ(listed, 0x8000020Fu);
    }
    const MessagePtr answer = Received(*ReceivedBody(body, 1, 1, 0x80), queue.FindPeer(0));
    queue.TakeConnectReply(answer.get());
  }
}

TEST_F(IOQueueTest, APeerBrokenOffMidFrameDoesNotStopThePeersSharingTheFrame) {
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

// A request frame without data (class 3, subtype 12, type 60), one segment
// of a message that never completes; each would pin a whole block. Format
// 16 holds counts up to 65,534, format 17 (four bytes longer) any count.
Bytes FirstSegment(std::uint16_t id, std::uint32_t index, std::uint32_t count) {
  const bool wide = count > 65534;
  const std::uint8_t length = wide ? 0x12 : 0x0E;
  Bytes frame = {0x02,
                 length,
                 0x00,
                 static_cast<std::uint8_t>(~length),
                 0xFF,
                 static_cast<std::uint8_t>(wide ? 0x11 : 0x10),
                 0x00,
                 0x03,
                 0x0C,
                 0x3C,
                 static_cast<std::uint8_t>(id),
                 static_cast<std::uint8_t>(id >> 8),
                 0x00,
                 0x00};
  for (std::uint32_t word : {count, index}) {
    for (int shift = 0; shift < (wide ? 32 : 16); shift += 8)
      frame.push_back(static_cast<std::uint8_t>(word >> shift));
  }
  frame.push_back(0x03);
  return frame;
}

// Many small incomplete messages are cut off by their number. A message
// larger than a peer may hold, alone or with the ones under way, is refused
// at its first segment with a reply and a line, the rest of it is dropped,
// and the peer's next messages of many segments still arrive.
TEST_F(IOQueueTest, APeerPinsBoundedMemoryInMessagesItNeverCompletes) {
  testsupport::CaptureSink told;
  const std::uint32_t in_use = DseSegment::PoolMadeCount() - DseSegment::PoolFreeCount();
  struct Flood {
    std::uint32_t peer, messages, segments_each, count;
    std::size_t next_size;
  };
  const std::uint32_t beyond = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(DseIOQueue::MostHeldBytes() / sizeof(DseSegment) + 1, UINT32_MAX));
  std::vector<FakeConnection*> peers;
  for (const Flood flood : {Flood{1, 1000, 1, 2, 10}, Flood{2, 1, 10000, beyond, 40000},
                            Flood{3, 2, 1, beyond / 2 + 1, 40000}}) {
    FakeConnection* peer = AddPeer(flood.peer);
    peers.push_back(peer);
    for (std::uint32_t m = 0; m < flood.messages; ++m) {
      for (std::uint32_t i = 1; i <= flood.segments_each; ++i)
        peer->Append(FirstSegment(static_cast<std::uint16_t>(m + 100), i, flood.count));
    }
    auto whole = Made(7, flood.next_size);
    peer->Deliver(*whole);
    EXPECT_EQ(queue_.ReadAll(), 0u);
    const std::unique_ptr<DseMessage> arrived(queue_.TakeReceived());
    ASSERT_NE(arrived, nullptr);  // complete messages still go through
    EXPECT_EQ(arrived->type, 7u);
    EXPECT_EQ(arrived->RemainingBytes(), flood.next_size);
  }
  const std::uint32_t pinned = DseSegment::PoolMadeCount() - DseSegment::PoolFreeCount() - in_use;
  // Besides those: peer 3's message under way and each peer's receive block.
  EXPECT_LE(pinned, DseIOQueue::kMostIncompleteMessages + 1 + 3);
  std::vector<std::string> lines;
  for (const auto& group : told.groups()) lines.push_back(group.lines.front());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Segments of message 164 from peer 1 refused: too many incomplete messages");
  EXPECT_EQ(lines[1].rfind("Message 100 from peer 2 refused: ", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2].rfind("Message 101 from peer 3 refused: ", 0), 0u) << lines[2];
  // The refused requests are answered, so their senders are not left waiting.
  for (std::uint32_t k : {1u, 2u}) {
    const auto answers = TakeMessages(&peers[k]->output);
    ASSERT_EQ(answers.size(), 1u) << k;
    EXPECT_EQ(answers[0]->GetId(), 99u + k);
    EXPECT_EQ(answers[0]->flags & (DseMessage::kReply | DseMessage::kStatusOnly),
              DseMessage::kReply | DseMessage::kStatusOnly);
    std::uint32_t answered = 0;
    EXPECT_EQ(answers[0]->GetUInt32(&answered), 0u);
    EXPECT_EQ(answered, DseIOQueue::kMessageRefused);
  }
}

// What a peer sends while the filed messages are not taken: within the
// bounds it is filed, beyond them it waits in the connection, and nothing
// is lost once the filed ones are taken. (Posts: requests are bounded
// sooner, with the replies they will have.)
TEST_F(IOQueueTest, APeerFilesBoundedMessagesUnreadAndTheRestWaitsInItsConnection) {
  constexpr std::uint32_t kMost = DseIOQueue::kMostFiledMessages;
  FakeConnection* one = AddPeer(1);
  auto small = Made(7, 4);
  small->flags |= DseMessage::kNoReply;
  small->Pack(true);
  const Bytes frame = WireBytes(*small);
  for (std::uint32_t m = 0; m < kMost + 10; ++m) one->Append(frame);
  EXPECT_EQ(queue_.ReadAll(), 0u);
  EXPECT_EQ(queue_.FindPeer(1)->FiledMessages(), kMost);
  EXPECT_EQ(queue_.FiledMessages(), kMost);
  EXPECT_FALSE(one->Exhausted());
  std::uint32_t taken = 0;
  for (;;) {
    const std::unique_ptr<DseMessage> message(queue_.TakeReceived());
    if (message == nullptr) {
      if (one->Exhausted()) break;
      EXPECT_EQ(queue_.ReadAll(), 0u);
      continue;
    }
    EXPECT_EQ(message->type, 7u);
    ++taken;
  }
  EXPECT_EQ(taken, kMost + 10);
  EXPECT_EQ(queue_.FiledMessages(), 0u);
  EXPECT_EQ(queue_.FiledSegments(), 0u);

  // Counted in blocks too: messages of three segments stop at that bound.
  auto large = Made(8, 2 * DseSegment::kMaxData + 1);
  large->flags |= DseMessage::kNoReply;
  large->Pack(true);
  const Bytes frames = WireBytes(*large);
  for (std::uint32_t m = 0; m < kMost; ++m) one->Append(frames);
  EXPECT_EQ(queue_.ReadAll(), 0u);
  EXPECT_EQ(queue_.FiledSegments(), DseIOQueue::kMostFiledSegments + 1);
  EXPECT_EQ(queue_.FiledMessages(), (DseIOQueue::kMostFiledSegments + 2) / 3);
  for (;;) {
    const std::unique_ptr<DseMessage> message(queue_.TakeReceived());
    if (message != nullptr) continue;
    if (one->Exhausted()) break;
    EXPECT_EQ(queue_.ReadAll(), 0u);
  }

  // Over all peers: five peers with as much as one may file each; four of
  // them fill the bound of all, the fifth waits in its connection.
  std::vector<FakeConnection*> more;
  for (std::uint32_t peer = 2; peer <= 6; ++peer) more.push_back(AddPeer(peer));
  for (FakeConnection* peer : more) {
    for (std::uint32_t m = 0; m < kMost; ++m) peer->Append(frame);
  }
  EXPECT_EQ(queue_.ReadAll(), 0u);
  EXPECT_EQ(queue_.FiledMessages(), DseIOQueue::kMostFiledMessagesOfAll);
  EXPECT_EQ(queue_.FindPeer(5)->FiledMessages(), kMost);
  EXPECT_EQ(queue_.FindPeer(6)->FiledMessages(), 0u);
  EXPECT_EQ(more.back()->at, 0u);
}

// A reader that holds the thread for long work reads on beyond the bounds
// for the message that ends it: that one is filed, once; the others are
// refused with one line, and requests among them answered, so their
// senders are not left waiting.
TEST_F(IOQueueTest, BeyondTheBoundsOnlyTheMessageThatEndsTheWorkIsFiled) {
  testsupport::CaptureSink told;
  constexpr std::uint32_t kMost = DseIOQueue::kMostFiledMessages;
  FakeConnection* peer = AddPeer(1);
  auto post = Made(7, 4);
  post->flags |= DseMessage::kNoReply;
  post->Pack(true);
  const Bytes posted = WireBytes(*post);
  for (std::uint32_t m = 0; m < kMost + 500; ++m) peer->Append(posted);
  for (std::uint16_t type : {7, 9, 9}) {
    auto request = Made(type, 4);
    peer->Deliver(*request);
  }
  const std::function<bool(DseMessage&)> ends = [](DseMessage& m) { return m.type == 9; };
  EXPECT_EQ(queue_.ReadAll(&ends), 0u);
  // Once it has the one, it reads no further.
  EXPECT_FALSE(peer->Exhausted());
  EXPECT_EQ(queue_.FiledMessages(), kMost + 1);
  EXPECT_TRUE(queue_.AnyReceived(ends));
  ASSERT_EQ(told.groups().size(), 1u);
  EXPECT_EQ(told.groups()[0].lines.front().rfind("Messages from peer 1 refused while the engine is "
                                                 "busy: 4096 of its messages",
                                                 0),
            0u)
      << told.groups()[0].lines.front();
  const auto answers = TakeMessages(&peer->output);
  ASSERT_EQ(answers.size(), 1u);  // the request of type 7; the posts want none
  std::uint32_t answered = 0;
  EXPECT_EQ(answers[0]->GetUInt32(&answered), 0u);
  EXPECT_EQ(answered, DseIOQueue::kMessageRefused);
  // Taken, the filed ones make room: the second end is read as usual.
  std::uint32_t ended = 0;
  while (const std::unique_ptr<DseMessage> m{queue_.TakeReceived()}) ended += m->type == 9;
  EXPECT_EQ(ended, 1u);
  EXPECT_EQ(queue_.ReadAll(&ends), 0u);
  EXPECT_TRUE(peer->Exhausted());
  const std::unique_ptr<DseMessage> second(queue_.TakeReceived());
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->type, 9u);
  EXPECT_EQ(told.groups().size(), 1u);
}

// A peer that sends requests and takes none of its replies: once its
// replies and the requests to be answered reach the bound, what it sends
// waits in its connection; once it reads, every request is answered.
TEST_F(IOQueueTest, APeerThatTakesNoRepliesIsNotReadOnAndLosesNothing) {
  constexpr std::uint32_t kSent = 3000;
  constexpr std::uint32_t kMost = DseIOQueue::kMostQueuedReplies;
  FakeConnection* peer = AddPeer(1);
  peer->write_plan = [](std::uint32_t) { return 0u; };
  auto request = Made(7, 4);
  request->Pack(true);
  const Bytes frame = WireBytes(*request);
  for (std::uint32_t m = 0; m < kSent; ++m) peer->Append(frame);
  std::uint32_t answered = 0;
  // A round as the controller's: read, answer what was filed.
  const auto round = [&] {
    EXPECT_EQ(queue_.ReadAll(), 0u);
    while (const std::unique_ptr<DseMessage> message{queue_.TakeReceived()}) {
      DseMessage* reply = nullptr;
      ASSERT_EQ(DseServerRegistry::MakeStatusReplyTo(0, *message, &reply), 0u);
      EXPECT_EQ(queue_.Enqueue(reply), 0u);
      delete reply;
      ++answered;
    }
  };
  const DseIOQueue* queued = queue_.FindPeer(1);
  EXPECT_EQ(queue_.ReadAll(), 0u);
  EXPECT_EQ(queued->FiledMessages(), kMost);
  for (int r = 0; r < 3; ++r) round();
  EXPECT_EQ(answered, kMost);
  EXPECT_EQ(queued->QueuedReplies(), kMost);
  EXPECT_TRUE(queued->AwaitsItsReader());
  EXPECT_FALSE(peer->Exhausted());
  // Other output is not counted as replies.
  ASSERT_EQ(Route(Made(2, 8)), DseIOQueue::kOutputLeft);
  EXPECT_EQ(queued->QueuedReplies(), kMost);

  peer->write_plan = nullptr;
  while (!peer->Exhausted() || queue_.OutputWaiting()) {
    EXPECT_EQ(queue_.Flush(), kAllWritten);
    round();
  }
  EXPECT_EQ(answered, kSent);
  EXPECT_EQ(queued->QueuedReplies(), 0u);
  EXPECT_FALSE(queued->AwaitsItsReader());
  std::uint32_t replies = 0;
  for (const auto& m : TakeMessages(&peer->output)) replies += (m->flags & DseMessage::kReply) != 0;
  EXPECT_EQ(replies, kSent);
}

TEST_F(IOQueueTest, ABatchIsReadWhenOpenedSoItsCreatorCannotPullItAway) {
  SharedBatches batches;
  auto first = Made(60, 5);
  auto second = Made(61, DseSegment::kMaxData + 10);
  const Bytes layout = BatchLayout({first.get(), second.get()});
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
  StdoutCapture said;
  EXPECT_EQ(queue_.OpenBatchedMessageFile(batches.First(), batches.Share(layout), size),
            0x8000FFFFu);
  EXPECT_NE(said.Take().find("Batched messages refused: a batch is still open"), std::string::npos);
  const std::unique_ptr<DseMessage> rest(queue_.TakeBatchedMessage());
  ASSERT_NE(rest, nullptr);
  EXPECT_EQ(rest->RemainingBytes(), DseSegment::kMaxData + 10);
  EXPECT_EQ(queue_.TakeBatchedMessage(), nullptr);
  EXPECT_FALSE(queue_.BatchOpen());
}

// --- shared-memory batches ---

class BatchTest : public IOQueueTest {
 protected:
  Status Open(std::uint32_t second, std::size_t size) {
    return queue_.OpenBatchedMessageFile(batches_.First(), second,
                                         static_cast<std::uint32_t>(size));
  }
  std::uint32_t Share(const Bytes& bytes) { return batches_.Share(bytes); }
  static Bytes Layout(MessagePtr message) { return BatchLayout({message.get()}); }

  SharedBatches batches_;
};

// Whole batches are the client tests'; here the ones that must be refused.
TEST_F(BatchTest, BatchesThatDoNotFitTheirMappingAreRefused) {
  const Bytes layout = Layout(Made(60, 100));
  StdoutCapture quiet;
  EXPECT_EQ(Open(Share(layout), layout.size() + 1), 0x8000FFFFu);      // larger than the object
  EXPECT_EQ(Open(Share(layout), 3), 0x8000FFFFu);                      // no room for a count
  EXPECT_EQ(Open(batches_.Next() + 100, layout.size()), 0x8000FFFFu);  // no such object
  EXPECT_NE(quiet.Take().find("is smaller than announced"), std::string::npos);

  Bytes wrong_count = layout;
  wrong_count[0] = 2;
  Bytes huge_count = layout;
  platform::StoreLE32(huge_count.data(), 0xFFFFFFFF);
  const std::pair<Bytes, std::size_t> cases[] = {
      {layout, layout.size() - 10},  // frames cut by the announced size
      {layout, layout.size() - 4},   // no end mark
      {wrong_count, layout.size()},  // a count its frames do not match
      {huge_count, layout.size()},   // a count larger than the view
      {Bytes(4, 0), 4}};             // nothing but the end mark
  StdoutCapture said;
  for (const auto& [bytes, announced] : cases) {
    ASSERT_EQ(Open(Share(bytes), announced), 0u);
    for (int i = 0; i < 3 && queue_.BatchOpen(); ++i) delete queue_.TakeBatchedMessage();
    EXPECT_FALSE(queue_.BatchOpen()) << announced;
  }
  EXPECT_NE(said.Take().find("Batched messages refused: a damaged frame"), std::string::npos);
}

TEST_F(BatchTest, RandomContentsAreReadWithinTheView) {
  StdoutCapture quiet;
  std::mt19937 random(3);
  const Bytes valid = Layout(Made(60, 40));
  for (int round = 0; round < 100; ++round) {
    Bytes bytes = valid;
    bytes.resize(4 + random() % (valid.size() + 8));
    for (int flips = random() % 6; flips > 0; --flips) {
      bytes[random() % bytes.size()] = static_cast<std::uint8_t>(random());
    }
    ASSERT_EQ(Open(Share(bytes), bytes.size()), 0u);
    for (int i = 0; i < 8 && queue_.BatchOpen(); ++i) delete queue_.TakeBatchedMessage();
    EXPECT_FALSE(queue_.BatchOpen());
  }
}

}  // namespace
