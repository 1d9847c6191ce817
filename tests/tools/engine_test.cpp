// The real engine as the client's child 1: the handshake, the run-state
// notifications, the answers of the problem manager's services, the run
// folder with its lock, the file service and the exit codes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>

#include "framework/connections/segment.h"
#include "platform/byte_order.h"
#include "tests/support/hang_bound.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"
#include "tools/client.h"

namespace {

using vantor_client::Bytes;
using vantor_client::Client;
using vantor_client::Request;

constexpr int kPeerLostExitCode = 0x37;
constexpr std::uint32_t kProblemService = 50;
constexpr std::uint32_t kFileService = 58;

// The vantor-client program against a second engine with the pipe folder
// given; what it printed.
std::string RunClientProgram(const std::string& pipes, const std::string& steps) {
  const std::string command = "VANTOR_PIPE_DIR=" + pipes + " " + VANTOR_CLIENT + " " +
                              VANTOR_ENGINE + " " + steps + " 2>&1";
  std::string printed;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return printed;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) printed += buffer;
  ::pclose(pipe);
  return printed;
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override { Start(); }
  void Start(const std::vector<std::string>& arguments = {}) {
    vantor_client::EngineOptions options;
    options.program = VANTOR_ENGINE;
    options.arguments = arguments;
    // Messages of 32 MB under a sanitizer on a busy machine: only a hang's.
    options.timeout_ms = testsupport::HangBoundMs(10000);
    ASSERT_EQ(Client::Start(options, &client_), 0u);
  }

  // Sends and waits; the final status.
  Status Exchange(std::unique_ptr<Request> request,
                  std::vector<vantor_client::Message>* replies = nullptr) {
    std::uint32_t id = 0;
    EXPECT_FALSE(status::IsFailure(client_->Send(std::move(request), &id)));
    EXPECT_EQ(client_->Await(id), 0u);
    const Status result = client_->Find(id)->status;
    if (replies != nullptr) *replies = client_->TakeReplies(id);
    client_->Forget(id);
    return result;
  }

  Status Command(std::uint32_t number, const std::vector<std::string>& texts = {}) {
    return Exchange(vantor_client::MakeCommand(kProblemService, number, {}, {}, texts));
  }

  std::unique_ptr<Request> Asking(std::uint32_t type, std::uint16_t code) {
    auto request = std::make_unique<Request>(type);
    request->PutUInt16(code);
    return request;
  }

  // Closes once the engine has ended on its own.
  int EndedExitCode() {
    EXPECT_NE(client_->WaitFor([] { return false; }), Client::kTimedOut);
    EXPECT_TRUE(client_->PeerLost());
    int exit_code = -1;
    client_->Close(&exit_code);
    return exit_code;
  }

  testsupport::TempDir pipes_;
  testsupport::ScopedEnv pipe_dir_{"VANTOR_PIPE_DIR", pipes_.path().c_str()};
  std::unique_ptr<Client> client_;
};

TEST_F(EngineTest, AnnouncesItselfAnswersWhatItKnowsAndEndsWhenTheClientGoes) {
  // The first pass's notification: time 0, both counters 0, bit 0x1.
  ASSERT_EQ(client_->WaitFor([&] { return !client_->Notifications().empty(); }), 0u);
  const vantor_client::Message first = client_->Notifications().front();
  EXPECT_EQ(first.type, 81u);
  EXPECT_EQ(first.subtype, 12u);
  const Bytes expected = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
  EXPECT_EQ(first.body, expected);

  for (std::uint32_t unknown : {0u, 1u, 7u, 77u, 151u, 4000000u}) {
    EXPECT_EQ(Command(unknown), 0x8032FFFFu) << unknown;
  }
  EXPECT_EQ(Command(9), 0x80320025u);  // not prepared
  EXPECT_EQ(Command(137), 0xA032FFFFu);
  std::vector<vantor_client::Message> replies;
  EXPECT_EQ(Exchange(Asking(kProblemService, 5), &replies), 0x00320027u);
  EXPECT_TRUE(replies.empty());
  EXPECT_EQ(Exchange(Asking(kProblemService, 4)), 0x8032FFFFu);
  EXPECT_EQ(Exchange(Asking(60, 150)), 0x8032FFFFu);
  // Nothing else was told: the bits did not change.
  client_->Poll();
  EXPECT_EQ(client_->TakeNotifications().size(), 1u);

  int exit_code = -1;
  EXPECT_EQ(client_->Close(&exit_code), 0u);
  EXPECT_EQ(exit_code, kPeerLostExitCode);
}

// The analysis managers serve their ids from start-up: the sensitivity
// manager's values (none: only the end mark) and the estimation results
// (no outcome: code 9, nothing estimated).
TEST_F(EngineTest, TheAnalysisManagersAnswerTheirServices) {
  auto enable = Asking(64, 52);
  enable->PutUInt16(0);
  EXPECT_EQ(Exchange(std::move(enable)), 0u);
  std::vector<vantor_client::Message> replies;
  auto values = Asking(64, 55);
  values->PutUInt16(0);
  EXPECT_EQ(Exchange(std::move(values), &replies), 0u);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].body, (Bytes{0xFF, 0xFF}));
  EXPECT_EQ(Exchange(Asking(110, 2), &replies), 0u);
  ASSERT_EQ(replies.size(), 1u);
  ASSERT_GE(replies[0].body.size(), 4u);
  EXPECT_EQ(replies[0].body[0], 9);
  auto refused = Asking(110, 50);
  refused->PutUInt8(0);
  EXPECT_EQ(Exchange(std::move(refused)), 0u);
}

TEST_F(EngineTest, TheRunFolderIsLockedWhileTheEngineUsesIt) {
  testsupport::TempDir work;
  const std::string folder = work.path().string() + "/";
  const std::filesystem::path lock = work / "Lock Sim" / "OrvelQVLock.aml";
  EXPECT_EQ(Command(3, {"Lock Sim", folder}), 0u);
  ASSERT_EQ(client_->WaitFor([&] { return std::filesystem::exists(lock); }), 0u);

  // A second engine on the same folder is refused it when it names it, and
  // finds it locked.
  const std::string second = RunClientProgram(
      pipes_.path().string(), "command 50 3 'text:Lock Sim' text:" + folder +
                                  " listen 200 command 50 141 'text:Lock Sim' text:" + folder);
  EXPECT_NE(second.find("status of command 3 (id 3) on service 50: 0x8032FFFF"), std::string::npos)
      << second;
  EXPECT_NE(second.find("Lock Sim/: it is in use by another engine"), std::string::npos) << second;
  EXPECT_NE(second.find("status of command 141 (id 4) on service 50: 0x8032FFFF"),
            std::string::npos)
      << second;
  EXPECT_TRUE(std::filesystem::exists(lock));

  EXPECT_EQ(Command(2), 0x00320024u);
  EXPECT_EQ(EndedExitCode(), 0);
  EXPECT_FALSE(std::filesystem::exists(lock));
  const std::string probe =
      RunClientProgram(pipes_.path().string(), "command 50 141 'text:Lock Sim' text:" + folder);
  EXPECT_NE(probe.find("on service 50: 0x00320000"), std::string::npos) << probe;
  EXPECT_FALSE(std::filesystem::exists(lock));
}

TEST_F(EngineTest, TheFileServiceCopiesAndLists) {
  testsupport::TempDir work;
  work.WriteFile("model.txt", "FirstOrder");
  // Each path travels as a folder and a name.
  auto copy = Asking(kFileService, 23);
  for (const char* name : {"model.txt", "copy.txt"}) {
    copy->PutString(work.path().c_str());
    copy->PutString(name);
  }
  copy->PutUInt8(0);
  EXPECT_EQ(Exchange(std::move(copy)), 0u);
  EXPECT_EQ(testsupport::ReadFileBytes(work / "copy.txt"), "FirstOrder");

  auto list = Asking(kFileService, 20);
  list->PutString(work.path().c_str());
  list->PutString("*.txt");
  std::vector<vantor_client::Message> replies;
  EXPECT_EQ(Exchange(std::move(list), &replies), 0u);
  ASSERT_EQ(replies.size(), 1u);
  const std::string body(replies[0].body.begin(), replies[0].body.end());
  EXPECT_NE(body.find("copy.txt"), std::string::npos);
  EXPECT_NE(body.find("model.txt"), std::string::npos);
}

// A file-service request (command 10) whose one frame says it is the first
// of 2^32 - 1: the long frame form that carries such a count, packed when
// the client sends it.
class OversizeRequest : public Request {
 public:
  OversizeRequest() : Request(kFileService) { PutUInt16(10); }
  Status PrepareSend(DseClientCB* client, void* context, const double* interval,
                     std::int32_t timeout_ms) override {
    const Status packed = Request::PrepareSend(client, context, interval, timeout_ms);
    DseSegment* s = FirstSegment();
    if (status::IsFailure(packed) || s->format == DseSegment::kFormatWide) return packed;
    // The data and end byte move behind the header, four bytes longer.
    unsigned char* f = s->frame;
    std::memmove(f + DseSegment::kDataStartWide, f + DseSegment::kDataStart,
                 s->frame_length - (DseSegment::kDataStart - 5));
    s->frame_length += DseSegment::kDataStartWide - DseSegment::kDataStart;
    platform::StoreLE16(f + 1, static_cast<std::uint16_t>(s->frame_length));
    platform::StoreLE16(f + 3, static_cast<std::uint16_t>(~s->frame_length));
    f[5] = DseSegment::kFormatWide;
    s->format = DseSegment::kFormatWide;
    s->count = 0xFFFFFFFFu;
    platform::StoreLE32(f + 14, s->count);
    platform::StoreLE32(f + 18, 1);
    s->transfer_count = s->FrameSize();
    return packed;
  }
};

// A message larger than a peer may hold is answered with a refusal and
// told; the client's next messages of many segments are answered, those
// of more than 8,192 segments (32.6 MB) too.
TEST_F(EngineTest, AMessageLargerThanAPeerMayHoldIsRefusedAndThePeerGoesOn) {
  EXPECT_EQ(Exchange(std::make_unique<OversizeRequest>()), 0x8000020Fu);
  const auto told = [&] {
    for (const vantor_client::Event& event : client_->Events()) {
      for (const std::string& line : event.lines) {
        if (line.rfind("Message ", 0) == 0 && line.find(" from peer 0 refused: ") != line.npos)
          return true;
      }
    }
    return false;
  };
  EXPECT_EQ(client_->WaitFor(told), 0u);
  for (const std::size_t size : {std::size_t{40000}, std::size_t{8300} * DseSegment::kMaxData}) {
    auto request = Asking(kFileService, 10);
    for (std::size_t at = 0; at < size; at += 8) request->PutUInt64(at);
    std::vector<vantor_client::Message> replies;
    EXPECT_EQ(Exchange(std::move(request), &replies), 0u) << size;
    EXPECT_EQ(replies.size(), 1u) << size;
  }
}

// Engines started with command line items of the test's own.
class EngineStartedTest : public EngineTest {
 protected:
  void SetUp() override {}

  // The engine's current folder as the file service tells it (command 10):
  // the last of its four texts, each a 24-bit length with the NUL and the
  // bytes.
  std::string CurrentFolder() {
    std::vector<vantor_client::Message> replies;
    EXPECT_EQ(Exchange(Asking(kFileService, 10), &replies), 0u);
    std::string text;
    std::size_t at = 6;  // the command and its status
    for (int field = 0; field < 4 && !replies.empty(); ++field) {
      const Bytes& body = replies[0].body;
      if (body.size() < at + 3) return "";
      const std::size_t length = body[at] | body[at + 1] << 8 | body[at + 2] << 16;
      at += 3;
      if (length == 0 || body.size() - at < length) return "";
      text.assign(body.begin() + static_cast<std::ptrdiff_t>(at),
                  body.begin() + static_cast<std::ptrdiff_t>(at + length - 1));
      at += length;
    }
    return text;
  }
};

TEST_F(EngineStartedTest, ALongWorkingFolderIsEnteredAndOneThatCannotBeIsTold) {
  testsupport::TempDir work;
  const std::filesystem::path deep = work.path() / std::string(140, 'w') / "run";
  std::filesystem::create_directories(deep);
  ASSERT_GT(deep.string().size(), 132u);
  Start({"-DefDir=" + deep.string()});
  EXPECT_EQ(CurrentFolder(), deep.string() + "/");
  EXPECT_TRUE(client_->Events().empty());
  int exit_code = -1;
  client_->Close(&exit_code);
  client_.reset();

  // Told at the first poll, and the engine goes on where it was started.
  const std::string gone = (deep / "gone").string();
  Start({"-DefDir=" + gone});
  ASSERT_EQ(client_->WaitFor([&] { return !client_->Events().empty(); }), 0u);
  EXPECT_EQ(client_->Events()[0].value, 0x80000044u);
  ASSERT_FALSE(client_->Events()[0].lines.empty());
  EXPECT_EQ(client_->Events()[0].lines[0].rfind(
                "Invalid Working Directory <" + gone + ">Specified\nDefaulting to Directory <", 0),
            0u);
  EXPECT_NE(CurrentFolder(), "");
}

TEST_F(EngineTest, AConsoleEventEndsTheEngine) {
  ASSERT_EQ(Command(77), 0x8032FFFFu);
  ASSERT_EQ(::kill(client_->EnginePid(), SIGTERM), 0);
  EXPECT_NE(client_->WaitFor([] { return false; }), Client::kTimedOut);
  EXPECT_TRUE(client_->PeerLost());
  int exit_code = -1;
  client_->Close(&exit_code);
  EXPECT_NE(exit_code, 0);
}

// Started on its own, the engine is a top-level process without its
// configuration file: it prints its banner, one line on who starts it and
// how, waits 5 s and ends as a failure with its status (no failure path
// exits with 0).
TEST(EngineProcess, WithoutAClientItSaysWhoStartsItAndFails) {
  testsupport::TempDir folder;
  const std::string errors = (folder / "errors").string();
  const std::string command =
      "cd " + folder.path().string() + " && " + VANTOR_ENGINE + " 2>" + errors;
  const auto start = std::chrono::steady_clock::now();
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string printed;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) printed += buffer;
  const int status = ::pclose(pipe);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5000));
  EXPECT_TRUE(std::regex_match(printed, std::regex("vantor\\.exe \\(Version 38\\.0\\) built on "
                                                   "[A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} at "
                                                   "[0-9]{2}:[0-9]{2}:[0-9]{2}\n")))
      << printed;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0x0B);
  std::ifstream in(errors);
  const std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(said,
            std::string("vantor: a client starts the engine as its child, with -ChildNo=1 (for "
                        "example vantor-client ") +
                VANTOR_ENGINE +
                " first-order FOLDER; see vantor-client --help); on its own it has no client "
                "to serve\nvantor: exit status 0x8000000B\n");
}

// A client that starts the engine and ends before connecting: the engine
// sees its parent go and ends at once, not after the 60 s connect deadline.
TEST(EngineProcess, AClientGoneBeforeTheHandshakeEndsTheEngine) {
  testsupport::TempDir pipes;
  const std::string command = "VANTOR_PIPE_DIR=" + pipes.path().string() + " " + VANTOR_ENGINE +
                              " -ChildNo=1 -SessionId=4242 >/dev/null 2>&1 & echo $!";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char buffer[32] = {};
  const bool read = std::fgets(buffer, sizeof buffer, pipe) != nullptr;
  ::pclose(pipe);  // the shell, the engine's parent, has ended
  ASSERT_TRUE(read);
  const int pid = std::atoi(buffer);
  ASSERT_GT(pid, 0);
  auto ended = [pid] {
    std::FILE* stat = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (stat == nullptr) return true;
    int ignored = 0;
    char state = '?';
    char name[256];
    const int got = std::fscanf(stat, "%d %255s %c", &ignored, name, &state);
    std::fclose(stat);
    return got == 3 && (state == 'Z' || state == 'X');
  };
  const auto start = std::chrono::steady_clock::now();
  while (!ended() && std::chrono::steady_clock::now() - start < std::chrono::seconds(30)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const bool gone = ended();
  if (!gone) ::kill(pid, SIGKILL);
  EXPECT_TRUE(gone) << "the engine still waited for its client";
}

// A reader that has stopped, its pipe of one page nearly full of what
// another writer put there: the engine's lines that fit (its banner and
// usage, written at once) are there when the engine has ended, whole and
// in order, not held back because all of them do not fit.
TEST(EngineProcess, AStalledPipeKeepsTheEnginesLinesItHasRoomFor) {
  std::FILE* reading = ::popen((std::string(VANTOR_ENGINE) + " --help").c_str(), "r");
  ASSERT_NE(reading, nullptr);
  std::string told;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, reading) != nullptr) told += buffer;
  ASSERT_EQ(::pclose(reading), 0);

  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  ::fcntl(ends[0], F_SETPIPE_SZ, 4096);
  const int capacity = ::fcntl(ends[0], F_GETPIPE_SZ);
  const std::string others = std::string(capacity - 300, 'o') + "\n";
  ASSERT_LT(capacity - others.size(), told.size());
  ASSERT_EQ(::write(ends[1], others.data(), others.size()), static_cast<ssize_t>(others.size()));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
  char* argv[] = {const_cast<char*>(VANTOR_ENGINE), const_cast<char*>("--help"), nullptr};
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, VANTOR_ENGINE, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(ends[1]);
  ASSERT_EQ(spawned, 0);
  // It ends by itself: what its stream does not take is given up at exit.
  int status = -1;
  const auto until =
      std::chrono::steady_clock::now() + testsupport::HangBound(std::chrono::minutes(2));
  while (::waitpid(pid, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (!WIFEXITED(status)) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    ADD_FAILURE() << "the engine did not end";
  }

  std::string got;
  for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;)
    got.append(buffer, static_cast<std::size_t>(n));
  ::close(ends[0]);
  ASSERT_EQ(got.substr(0, others.size()), others);
  const std::string engine = got.substr(others.size());
  std::size_t longest = 0;
  for (std::size_t from = 0, end; (end = told.find('\n', from)) != std::string::npos;
       from = end + 1)
    longest = std::max(longest, end + 1 - from);
  // Short of the room by less than the line that did not fit.
  EXPECT_GT(engine.size() + longest, capacity - others.size()) << "held back: " << engine;
  EXPECT_EQ(told.substr(0, engine.size()), engine);
  EXPECT_TRUE(engine.empty() || engine.back() == '\n') << engine;
}

}  // namespace

namespace {

std::uint32_t BitsOf(const vantor_client::Message& notification) {
  const Bytes& body = notification.body;
  if (body.size() != 16) return 0xFFFFFFFFu;
  return static_cast<std::uint32_t>(body[12]) | static_cast<std::uint32_t>(body[13]) << 8 |
         static_cast<std::uint32_t>(body[14]) << 16 | static_cast<std::uint32_t>(body[15]) << 24;
}

// The body of a run-state notification: the time, the step counter, the
// stop count and the status bits, little-endian.
Bytes NotificationBody(double time, std::uint16_t counter, std::uint16_t stops,
                       std::uint32_t bits) {
  Bytes body(16);
  std::memcpy(body.data(), &time, sizeof time);
  body[8] = static_cast<std::uint8_t>(counter);
  body[9] = static_cast<std::uint8_t>(counter >> 8);
  body[10] = static_cast<std::uint8_t>(stops);
  body[11] = static_cast<std::uint8_t>(stops >> 8);
  for (int i = 0; i < 4; ++i) body[12 + i] = static_cast<std::uint8_t>(bits >> (8 * i));
  return body;
}

TEST_F(EngineTest, ARunWithoutAModelIsRefusedAndTold) {
  testsupport::TempDir work;
  const std::string folder = work.path().string() + "/";
  ASSERT_EQ(Command(3, {"Run Sim", folder}), 0u);
  auto bits_seen = [&] {
    std::vector<std::uint32_t> bits;
    for (const auto& notification : client_->Notifications()) bits.push_back(BitsOf(notification));
    return bits;
  };
  // An edit that keeps the problem lets the next preparation take the short
  // path, which starts the run thread without building anything. The
  // attach's own edit broadcast may come a pass later and undo both; then
  // they are sent once more.
  Status run = 0x80320025u;
  for (int attempt = 0; attempt < 3 && run != 0u; ++attempt) {
    ASSERT_EQ(Exchange(vantor_client::MakeCommand(kProblemService, 29, {0})), 0u);
    if (Command(6) == 0u) run = Command(9);
  }
  ASSERT_EQ(run, 0u);
  // Without a model the run steps cannot build a problem: the run is
  // refused before its first step, and the client is told.
  // The check that found no model built on the instance tree and took the
  // preparation back (bits 0x4 to 0x20 clear) before the refusal.
  ASSERT_EQ(client_->WaitFor([&] { return (bits_seen().back() & 0x100u) != 0; }), 0u);
  const std::vector<std::uint32_t> bits = bits_seen();
  ASSERT_GE(bits.size(), 3u);
  EXPECT_EQ(bits[0], 0x1u);
  EXPECT_NE(std::find(bits.begin(), bits.end(), 0x3Du), bits.end());
  EXPECT_EQ(bits.back() & 0x180u, 0x100u);
  bool told = false;
  EXPECT_EQ(client_->WaitFor([&] {
    for (const auto& event : client_->TakeEvents()) {
      for (const std::string& line : event.lines) {
        told |= line == "The problem failed its check, cannot start run";
      }
    }
    return told;
  }),
            0u);
  // Interrupting needs a run under way.
  EXPECT_EQ(Command(14), 0x0032000Au);
  EXPECT_EQ(Command(2), 0x00320024u);
  EXPECT_EQ(EndedExitCode(), 0);
}

}  // namespace

namespace {

// The engine whose run operations only record: each leaves an "op" line in
// the message log.
class RunEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vantor_client::EngineOptions options;
    options.program = VANTOR_RUN_ENGINE;
    ASSERT_EQ(Client::Start(options, &client_), 0u);
  }
  Status Command(std::uint32_t number, const std::vector<std::string>& texts = {}) {
    std::uint32_t id = 0;
    EXPECT_FALSE(status::IsFailure(
        client_->Send(vantor_client::MakeCommand(kProblemService, number, {}, {}, texts), &id)));
    EXPECT_EQ(client_->Await(id), 0u);
    const Status result = client_->Find(id)->status;
    client_->Forget(id);
    return result;
  }
  // Command 41 with 0 changes nothing: a round trip through the loop.
  Status Exchange41() {
    std::uint32_t id = 0;
    EXPECT_FALSE(status::IsFailure(
        client_->Send(vantor_client::MakeCommand(kProblemService, 41, {0}), &id)));
    EXPECT_EQ(client_->Await(id), 0u);
    const Status result = client_->Find(id)->status;
    client_->Forget(id);
    return result;
  }
  // The run operations and the notified bits, in the order they came.
  void Collect(std::vector<std::string>* ops, std::vector<std::uint32_t>* bits) {
    for (const auto& event : client_->TakeEvents()) {
      for (const std::string& line : event.lines) {
        if (line.rfind("op ", 0) == 0) ops->push_back(line.substr(3));
      }
    }
    for (const auto& notification : client_->TakeNotifications()) {
      bits->push_back(BitsOf(notification));
      bodies_.push_back(notification.body);
    }
  }

  std::vector<Bytes> bodies_;
  testsupport::TempDir pipes_;
  testsupport::ScopedEnv pipe_dir_{"VANTOR_PIPE_DIR", pipes_.path().c_str()};
  std::unique_ptr<Client> client_;
};

TEST_F(RunEngineTest, TheSteadyStateRoadAsTheClientSeesIt) {
  testsupport::TempDir work;
  const std::string folder = work.path().string() + "/";
  ASSERT_EQ(Command(3, {"Road", folder}), 0u);
  // Attached once the lock is there; the first pass after it tells the
  // managers the problem was edited, which clears the actions. Two round
  // trips make sure command 6's action comes after that.
  ASSERT_EQ(
      client_->WaitFor([&] { return std::filesystem::exists(work / "Road" / "OrvelQVLock.aml"); }),
      0u);
  for (int i = 0; i < 2; ++i) ASSERT_EQ(Exchange41(), 0u);
  ASSERT_EQ(Command(6), 0u);
  std::vector<std::string> ops;
  std::vector<std::uint32_t> bits;
  ASSERT_EQ(client_->WaitFor([&] {
    Collect(&ops, &bits);
    return std::find(ops.begin(), ops.end(), "snapshot Initial Specification") != ops.end();
  }),
            0u)
      << testing::PrintToString(ops) << testing::PrintToString(bits);
  ASSERT_EQ(Command(9), 0u);
  ASSERT_EQ(client_->WaitFor([&] {
    Collect(&ops, &bits);
    return std::find(ops.begin(), ops.end(), "record") != ops.end() && bits.back() == 0x3Du;
  }),
            0u);
  EXPECT_EQ(ops, (std::vector<std::string>{"prepare 00", "snapshot Initial Specification", "check",
                                           "prepare 00", "step 16", "record"}));
  EXPECT_EQ(bits, (std::vector<std::uint32_t>{0x1u, 0x3Du, 0xBDu, 0x3Du}));
  EXPECT_EQ(bodies_, (std::vector<Bytes>{
                         NotificationBody(0.0, 0, 0, 0x1), NotificationBody(0.0, 0, 0, 0x3D),
                         NotificationBody(0.0, 0, 0, 0xBD), NotificationBody(0.0, 0, 0, 0x3D)}));
  EXPECT_EQ(Command(2), 0x00320024u);
  EXPECT_NE(client_->WaitFor([] { return false; }), Client::kTimedOut);
  int exit_code = -1;
  client_->Close(&exit_code);
  EXPECT_EQ(exit_code, 0);
}

// The road without the rests between two step commands that came after the
// step before had ended. The step told its clock running, the run rested
// there and the next command started it again at the same clock: the rest
// and the restart go, which leaves the road of commands that came in time.
std::vector<Bytes> Settled(const std::vector<Bytes>& bodies) {
  auto is = [](const Bytes& body, std::uint8_t bits) {
    return body.size() == 16 && body[12] == bits;
  };
  std::vector<Bytes> kept;
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    if (!kept.empty() && is(kept.back(), 0xBD) && is(bodies[i], 0x3D) && i + 1 < bodies.size() &&
        bodies[i + 1] == kept.back() &&
        std::equal(bodies[i].begin(), bodies[i].begin() + 12, kept.back().begin())) {
      ++i;
      continue;
    }
    kept.push_back(bodies[i]);
  }
  return kept;
}

double TimeOf(const vantor_client::Message& notification) {
  double time = -1.0;
  if (notification.body.size() == 16) std::memcpy(&time, notification.body.data(), sizeof time);
  return time;
}

class RunModeEngineTest : public RunEngineTest {
 protected:
  void SetUp() override {}
  void Start(const char* mode) {
    mode_ = std::make_unique<testsupport::ScopedEnv>("VANTOR_RUN_MODE", mode);
    RunEngineTest::SetUp();
  }
  // Named, attached and prepared.
  void Prepare() {
    ASSERT_EQ(Command(3, {"Road", folder_}), 0u);
    ASSERT_EQ(client_->WaitFor(
                  [&] { return std::filesystem::exists(work_ / "Road" / "OrvelQVLock.aml"); }),
              0u);
    for (int i = 0; i < 2; ++i) ASSERT_EQ(Exchange41(), 0u);
    ASSERT_EQ(Command(6), 0u);
  }
  // Waits until the notified bits are back at rest after ops lines came.
  void WaitForRest(std::size_t op_count) {
    ASSERT_EQ(client_->WaitFor([&] {
      Collect(&ops_, &bits_, &times_);
      return ops_.size() >= op_count && bits_.back() == 0x3Du;
    }),
              0u)
        << testing::PrintToString(ops_);
  }
  void Collect(std::vector<std::string>* ops, std::vector<std::uint32_t>* bits,
               std::vector<double>* times) {
    for (const auto& event : client_->TakeEvents()) {
      for (const std::string& line : event.lines) {
        if (line.rfind("op ", 0) == 0) ops->push_back(line.substr(3));
      }
    }
    for (const auto& notification : client_->TakeNotifications()) {
      bits->push_back(BitsOf(notification));
      times->push_back(TimeOf(notification));
      bodies_.push_back(notification.body);
    }
  }

  std::unique_ptr<testsupport::ScopedEnv> mode_;
  testsupport::TempDir work_;
  std::string folder_ = work_.path().string() + "/";
  std::vector<std::string> ops_;
  std::vector<std::uint32_t> bits_;
  std::vector<double> times_;
};

TEST_F(RunModeEngineTest, AnInitialisationRunStepsTwice) {
  Start("5");
  Prepare();
  // Both commands sent before either answer: the second comes while the
  // first step runs, not after a rest that would start a new run.
  std::uint32_t ids[2] = {0, 0};
  for (std::uint32_t& id : ids) {
    ASSERT_FALSE(status::IsFailure(
        client_->Send(vantor_client::MakeCommand(kProblemService, 10, {}, {}, {}), &id)));
  }
  for (std::uint32_t id : ids) {
    ASSERT_EQ(client_->Await(id), 0u);
    EXPECT_EQ(client_->Find(id)->status, 0u);
    client_->Forget(id);
  }
  WaitForRest(8);
  EXPECT_EQ(ops_,
            (std::vector<std::string>{"prepare 00", "snapshot Initial Specification", "check",
                                      "prepare 00", "step 32", "record", "step 32", "record"}));
  // The initialisation step counts 1 on the clock.
  EXPECT_EQ(
      Settled(bodies_),
      (std::vector<Bytes>{NotificationBody(0.0, 0, 0, 0x1), NotificationBody(0.0, 0, 0, 0x3D),
                          NotificationBody(0.0, 1, 0, 0xBD), NotificationBody(0.0, 1, 0, 0x3D)}));
}

TEST_F(RunModeEngineTest, ADynamicRunStepByStep) {
  Start("4");
  Prepare();
  for (int i = 0; i < 11; ++i) ASSERT_EQ(Command(10), 0u);
  WaitForRest(6 + 20);
  std::vector<std::string> expected{
      "prepare 00", "snapshot Initial Specification", "check", "prepare 00", "step 128", "record"};
  for (int i = 0; i < 10; ++i) {
    expected.push_back("step 65");
    expected.push_back("record");
  }
  EXPECT_EQ(ops_, expected);
  EXPECT_NEAR(times_.back(), 1.0, 1e-9);
  // Each communication point is told once, at n times the interval.
  std::vector<Bytes> told{NotificationBody(0.0, 0, 0, 0x1), NotificationBody(0.0, 0, 0, 0x3D),
                          NotificationBody(0.0, 0, 0, 0xBD)};
  for (int n = 1; n <= 10; ++n) told.push_back(NotificationBody(n * 0.1, 0, 0, 0xBD));
  told.push_back(NotificationBody(10 * 0.1, 0, 0, 0x3D));
  EXPECT_EQ(Settled(bodies_), told);
  // The clock only moves forward, one communication point at a time.
  for (std::size_t i = 1; i < times_.size(); ++i) EXPECT_GE(times_[i], times_[i - 1]);
}

// The road the settled one leaves out: a step command that comes once the
// step before rested starts the run again at the clock it rested at.
TEST_F(RunModeEngineTest, AStepCommandAfterARestRestartsAtThatClock) {
  Start("4");
  Prepare();
  ASSERT_EQ(Command(10), 0u);
  WaitForRest(6);
  ASSERT_EQ(Command(10), 0u);
  WaitForRest(8);
  ASSERT_EQ(Command(10), 0u);
  WaitForRest(10);
  const std::vector<Bytes> told{
      NotificationBody(0.0, 0, 0, 0x1),  NotificationBody(0.0, 0, 0, 0x3D),
      NotificationBody(0.0, 0, 0, 0xBD), NotificationBody(0.0, 0, 0, 0x3D),
      NotificationBody(0.0, 0, 0, 0xBD), NotificationBody(0.1, 0, 0, 0xBD),
      NotificationBody(0.1, 0, 0, 0x3D), NotificationBody(0.1, 0, 0, 0xBD),
      NotificationBody(0.2, 0, 0, 0xBD), NotificationBody(0.2, 0, 0, 0x3D)};
  EXPECT_EQ(bodies_, told);
  EXPECT_EQ(Settled(bodies_),
            (std::vector<Bytes>{told[0], told[1], told[2], told[5], told[8], told[9]}));
}

// A run stopped by an action that asks for next action 4 at the third
// step's hook point pauses at the third communication point.
TEST_F(RunModeEngineTest, ARunStoppedByAnActionAtTheStepHookPoint) {
  testsupport::ScopedEnv stop("VANTOR_STOP_AT_STEP", "3");
  Start("4");
  Prepare();
  ASSERT_EQ(Command(9), 0u);
  WaitForRest(6 + 9);
  std::vector<std::string> expected{
      "prepare 00", "snapshot Initial Specification", "check", "prepare 00", "step 128", "record"};
  for (int i = 0; i < 3; ++i) {
    for (const char* line : {"step 65", "hook 12", "record"}) expected.push_back(line);
  }
  EXPECT_EQ(ops_, expected);
  std::vector<Bytes> told{NotificationBody(0.0, 0, 0, 0x1), NotificationBody(0.0, 0, 0, 0x3D),
                          NotificationBody(0.0, 0, 0, 0xBD)};
  for (int n = 1; n <= 3; ++n) told.push_back(NotificationBody(n * 0.1, 0, 0, 0xBD));
  told.push_back(NotificationBody(3 * 0.1, 0, 0, 0x3D));
  EXPECT_EQ(bodies_, told);
}

TEST_F(RunModeEngineTest, PauseResumeAndInterrupt) {
  Start("4");
  Prepare();
  ASSERT_EQ(Command(9), 0u);
  ASSERT_EQ(client_->WaitFor([&] {
    Collect(&ops_, &bits_, &times_);
    return std::count(ops_.begin(), ops_.end(), "step 65") >= 3;
  }),
            0u);
  ASSERT_EQ(Command(8), 0u);
  WaitForRest(0);
  const double paused_at = times_.back();
  ASSERT_EQ(Command(9), 0u);
  ASSERT_EQ(client_->WaitFor([&] {
    Collect(&ops_, &bits_, &times_);
    return times_.back() > paused_at + 0.25;
  }),
            0u);
  // Interrupted while running: the thread stops and the engine rests.
  EXPECT_EQ(Command(14), 0u);
  WaitForRest(0);
  EXPECT_EQ(Command(14), 0x0032000Au);
  EXPECT_EQ(Command(2), 0x00320024u);
  EXPECT_NE(client_->WaitFor([] { return false; }), Client::kTimedOut);
  int exit_code = -1;
  client_->Close(&exit_code);
  EXPECT_EQ(exit_code, 0);
}

}  // namespace
