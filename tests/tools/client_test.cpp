// The vantor client against the test engine as a real child process.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>

#include "framework/messaging/io_queue.h"
#include "tests/support/hang_bound.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"
#include "tools/client.h"
#include "tools/test_engine/protocol.h"

namespace {

using namespace test_engine;
using vantor_client::Bytes;
using vantor_client::Client;
using vantor_client::Request;

constexpr int kPeerLostExitCode = 0x37;

std::unique_ptr<Request> Asking(std::uint32_t type, std::uint16_t kind, const Bytes& rest = {}) {
  auto request = std::make_unique<Request>(type);
  request->PutUInt16(kind);
  for (std::uint8_t byte : rest) request->PutUInt8(byte);
  return request;
}

Bytes BytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

class ClientTest : public ::testing::Test {
 protected:
  void Start(bool tcp = false, std::vector<std::string> arguments = {},
             std::uint32_t timeout_ms = testsupport::HangBoundMs(10000)) {
    vantor_client::EngineOptions options;
    options.program = VANTOR_TEST_ENGINE;
    options.tcp = tcp;
    options.arguments = std::move(arguments);
    options.timeout_ms = timeout_ms;
    ASSERT_EQ(Client::Start(options, &client_), 0u);
  }

  // Sends and waits; the request's outcome.
  const vantor_client::Outcome& Exchange(std::unique_ptr<Request> request, double period = 0.0) {
    std::uint32_t id = 0;
    EXPECT_FALSE(status::IsFailure(client_->Send(std::move(request), &id, period)));
    if (period == 0.0) {
      EXPECT_EQ(client_->Await(id), 0u);
    }
    last_id_ = id;
    return *client_->Find(id);
  }

  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    for (const auto& event : client_->Events())
      lines.insert(lines.end(), event.lines.begin(), event.lines.end());
    return lines;
  }

  testsupport::TempDir pipes_;
  testsupport::ScopedEnv pipe_dir_{"VANTOR_PIPE_DIR", pipes_.path().c_str()};
  std::unique_ptr<Client> client_;
  std::uint32_t last_id_ = 0;
};

class ClientOverEitherConnection : public ClientTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ClientOverEitherConnection, RequestsGetTheirAnswersAndClosingEndsTheEngine) {
  Start(GetParam());
  const auto& echo = Exchange(Asking(kService, kEcho, BytesOf("hello")));
  ASSERT_EQ(echo.replies.size(), 1u);
  const vantor_client::Message& reply = echo.replies[0];
  EXPECT_EQ(reply.id, last_id_);
  EXPECT_EQ(reply.sequence, 1u);
  EXPECT_EQ(reply.flags, 0x80u);
  EXPECT_EQ(reply.body, BytesOf("hello"));

  EXPECT_EQ(Exchange(Asking(kUnservedType, kEcho)).status, 0xA000FFFFu);
  EXPECT_EQ(Exchange(Asking(kService, kFail)).status, 0x8000020Fu);
  EXPECT_EQ(Exchange(vantor_client::MakeCommand(kService, kAnswerStatus, {7})).status, 7u);

  // A request that wants no reply and whose server makes none gets no status.
  auto quiet = Asking(kService, kFail);
  quiet->flags = 0x20;
  std::uint32_t quiet_id = 0;
  ASSERT_FALSE(status::IsFailure(client_->Send(std::move(quiet), &quiet_id)));
  Exchange(Asking(kService, kEcho));  // answered after the quiet one would have been
  EXPECT_FALSE(client_->Find(quiet_id)->complete);

  int exit_code = 0;
  EXPECT_EQ(client_->Close(&exit_code), 0u);
  EXPECT_EQ(exit_code, kPeerLostExitCode);
}

INSTANTIATE_TEST_SUITE_P(PipesAndTcp, ClientOverEitherConnection, ::testing::Bool());

TEST_F(ClientTest, PeriodicReadAnswersOncePerTimerRoundUntilDropped) {
  Start();
  auto read = std::make_unique<Request>(kOtherService, DseMessage::kIdPathRead);
  read->PutDouble(1.0);
  for (std::uint16_t item : {kCounter, kReal, kText}) {
    read->PutUInt8(0);
    read->PutUInt16(1);
    read->PutUInt24(0xFFFFFF);
    read->PutUInt16(item);
    read->PutUInt16(0);
  }
  const auto& outcome = Exchange(std::move(read), 1.0);
  const std::uint32_t periodic = last_id_;
  // Runs n rounds with timers and waits for the replies they make; any
  // further reply would have come before the echo's.
  auto rounds = [&](int n, std::size_t expected) {
    if (n > 0) Exchange(vantor_client::MakeCommand(kService, kTimerRound, {n}));
    client_->WaitFor([&] { return outcome.replies.size() >= expected; });
    Exchange(Asking(kService, kEcho));
    EXPECT_EQ(outcome.replies.size(), expected);
  };
  rounds(0, 1);
  ASSERT_EQ(outcome.headers.size(), 1u);
  EXPECT_EQ(outcome.headers[0].flags, 0xD1u);
  EXPECT_EQ(outcome.headers[0].message_class, 1u);
  EXPECT_EQ(outcome.headers[0].body, (Bytes{4, 0, 24, 0, 68, 0}));
  EXPECT_EQ(outcome.replies[0].flags, 0x91u);
  EXPECT_EQ(outcome.replies[0].sequence, 1u);
  const Bytes values = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0x40, 6, 0, 0, 'd', 'u', 'm', 'm', 'y', 0};
  EXPECT_EQ(outcome.replies[0].body, values);

  rounds(2, 3);
  EXPECT_EQ(outcome.replies[2].flags, 0x80u);
  EXPECT_EQ(outcome.replies[2].body[0], 3u);  // the counter is looked up on every round

  ASSERT_EQ(client_->Drop(periodic), 0u);
  rounds(1, 3);
  ASSERT_EQ(client_->StartTimer(periodic), 0u);
  rounds(1, 4);
  // What the caller takes the client no longer keeps.
  EXPECT_EQ(client_->TakeReplies(periodic).size(), 4u);
  rounds(1, 1);
  EXPECT_EQ(client_->Cancel(periodic), 0u);
  EXPECT_TRUE(outcome.complete);
  client_->Forget(periodic);
  EXPECT_EQ(client_->Find(periodic), nullptr);
}

TEST_F(ClientTest, EngineLinesAndRequestsReachTheClient) {
  Start(false, {"-DefDir=/no/such/folder"});
  client_->SetRequestHandler([](const vantor_client::Message&, std::optional<Bytes>* body) {
    *body = BytesOf("understood");
    return 0u;
  });
  Exchange(vantor_client::MakeCommand(kService, kPostLines, {3}, {}, {"first", "second"}));
  Exchange(Asking(kService, kAskClient, BytesOf("question")));
  ASSERT_EQ(client_->WaitFor([&] { return Lines().size() == 4; }), 0u);

  // The folder's line was made before anyone could hear it, and kept.
  EXPECT_EQ(client_->Events()[0].value, 0x80000044u);
  const auto engine_folder = std::filesystem::canonical(VANTOR_TEST_ENGINE).parent_path();
  EXPECT_EQ(Lines()[0],
            "Invalid Working Directory </no/such/folder>Specified\n"
            "Defaulting to Directory <" +
                engine_folder.string() + ">");
  EXPECT_EQ(client_->Events()[1].value, 3u);
  const std::vector<std::string> lines = Lines();
  EXPECT_EQ(
      std::vector<std::string>(lines.begin() + 1, lines.end()),
      (std::vector<std::string>{"first", "second", "client answered 0x00000000: understood"}));
  const auto notifications = client_->TakeNotifications();
  ASSERT_EQ(notifications.size(), 1u);
  EXPECT_EQ(notifications[0].type, kClientService);
  EXPECT_EQ(notifications[0].body, BytesOf("question"));
  EXPECT_EQ(client_->TakeEvents().size(), 4u);
  EXPECT_TRUE(client_->Events().empty() && client_->Notifications().empty());
}

TEST_F(ClientTest, LargeMessagesAndBatchesArriveWhole) {
  Start();
  Bytes large(50000);
  std::mt19937 random(7);
  std::generate(large.begin(), large.end(), [&] { return static_cast<std::uint8_t>(random()); });
  const auto& echo = Exchange(Asking(kService, kEcho, large));
  ASSERT_EQ(echo.replies.size(), 1u);
  EXPECT_TRUE(echo.replies[0].body == large);

  std::vector<std::unique_ptr<DseMessage>> batch;
  for (const char* text : {"batched 1", "batched 2"}) {
    auto command = vantor_client::MakeCommand(kService, kPostLines, {}, {}, {text});
    command->flags = 0x20;
    batch.push_back(std::move(command));
  }
  EXPECT_EQ(client_->SendBatch(kService, std::move(batch)), 0u);
  ASSERT_EQ(client_->WaitFor([&] { return Lines().size() == 2; }), 0u);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"batched 1", "batched 2"}));
}

// Sending does not wait for the connection; every wait ends with the time-out.
TEST_F(ClientTest, AStalledEngineHoldsTheClientNoLongerThanItsTimeOut) {
  using std::chrono::milliseconds;
  using std::chrono::steady_clock;
  // The time-out and the stall both stretched with the machine: the
  // stall stays five times longer, so a client that waited for the engine
  // would get its reply, not the time-out.
  const std::uint32_t timeout_ms = testsupport::HangBoundMs(1500);
  const std::uint32_t stall_ms = timeout_ms * 16 / 3;
  Start(false, {}, timeout_ms);
  auto stall = vantor_client::MakeCommand(kService, kStall, {static_cast<std::int32_t>(stall_ms)});
  stall->flags = 0x20;
  ASSERT_EQ(client_->Post(std::move(stall)), 0u);
  // One-segment requests until the connection takes no more.
  std::uint32_t id = 0;
  steady_clock::duration longest{};
  for (int i = 0; i < 200 && longest < milliseconds(50); ++i) {
    const auto sent = steady_clock::now();
    ASSERT_EQ(client_->Send(Asking(kService, kEcho, Bytes(3900)), &id), 0u);
    longest = std::max(longest, steady_clock::now() - sent);
  }
  // Sending never waits for the engine: a send as long as the stall would.
  EXPECT_LT(longest, milliseconds(stall_ms));
  const auto waited = steady_clock::now();
  EXPECT_EQ(client_->Await(id), 0xA000FFFFu);
  EXPECT_FALSE(client_->Find(id)->complete) << "the stalled engine answered";
  EXPECT_LT(steady_clock::now() - waited, milliseconds(stall_ms));
}

// A wait asks its test once a round: a test that answers yes only to the
// round that saw what it waits for (and notes it) ends the wait there, not
// at the time-out. Whatever the round it comes in.
TEST_F(ClientTest, AWaitEndsAtTheRoundItsTestSaysYes) {
  Start(false, {}, testsupport::HangBoundMs(60000));
  for (int yes_at : {1, 2, 3, 10}) {
    int asked = 0;
    EXPECT_EQ(client_->WaitFor([&] { return ++asked == yes_at; }), 0u) << yes_at;
    EXPECT_EQ(asked, yes_at);
  }
  int exit_code = 0;
  EXPECT_EQ(client_->Close(&exit_code), 0u);
}

TEST_F(ClientTest, KillingTheEngineIsSeenAsALostPeer) {
  Start();
  ASSERT_EQ(::kill(client_->EnginePid(), SIGKILL), 0);
  EXPECT_EQ(client_->WaitFor([] { return false; }), DseIOQueue::kPeerLost);
  EXPECT_TRUE(client_->PeerLost());
  EXPECT_EQ(client_->Failures(), (std::vector<std::string>{"Process 'engine' has failed."}));
  int exit_code = 0;
  client_->Close(&exit_code);
  EXPECT_EQ(exit_code, 128 + SIGKILL);
}

}  // namespace
