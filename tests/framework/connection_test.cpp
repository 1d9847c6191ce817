#include "framework/connections/connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "framework/connections/io_status.h"
#include "framework/connections/pipe_connection.h"
#include "framework/connections/segment.h"
#include "framework/connections/socket_connection.h"
#include "framework/connections/virtual_connection.h"
#include "framework/processes/child_engine.h"
#include "framework/processes/compute_node.h"
#include "platform/local_socket.h"
#include "platform/socket.h"
#include "segment_helpers.h"
#include "tests/support/hang_bound.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

namespace fs = std::filesystem;
using namespace testsupport;
using namespace std::string_literals;

namespace {

XosComputeNode Node(const char* host, std::uint16_t port = 0) {
  XosComputeNode node;
  node.Initialize(host, XosComputeNode::kWindowsNT, XosComputeNode::kNoMethod, nullptr, nullptr);
  node.listening_port = port;
  return node;
}

// A read of up to 16 bytes and a one-byte write: status and count.
using Outcome = std::pair<Status, std::uint32_t>;
Outcome ReadSome(XosConnection& c) {
  char buffer[16];
  std::uint32_t n = 9;
  const Status result = c.Read(buffer, sizeof buffer, &n);
  return {result, n};
}
Outcome WriteOne(XosConnection& c) {
  std::uint32_t n = 9;
  const Status result = c.Write("x", 1, &n);
  return {result, n};
}

// Each test gets its own pipe folder and its own listening socket.
class ConnectionTest : public ::testing::Test {
 protected:
  static void OpenBoth(XosConnection* a, XosConnection* b) {
    testsupport::WaitUntil([&] {
      a->Open();
      b->Open();
      return a->IsOpen() && b->IsOpen();
    });
    ASSERT_TRUE(a->IsOpen());
    ASSERT_TRUE(b->IsOpen());
  }

  // Sends the frames of a message one way, reading them on the other end
  // as they come, as the I/O queue's flush and read do.
  static void Carry(XosConnection* from, XosConnection* to, std::size_t size) {
    DseSegment* chain = BuildChain(Pattern(size));
    DseSegment::PackHeaders(chain, 3, 50, 12, nullptr);
    const std::vector<Frame> sent = FramesOf(chain);
    std::vector<Frame> received;
    DseSegment* writing = chain;
    DseSegment* reading = DseSegment::Make(nullptr);
    for (int guard = 0; guard < 100000 && received.size() < sent.size(); ++guard) {
      if (writing != nullptr) {
        const Status wrote = DseSegment::Write(writing, from);
        EXPECT_FALSE(status::IsFailure(wrote)) << std::hex << wrote;
        if (wrote == 0) writing = writing->next;
      }
      const Status got = DseSegment::Read(reading, to);
      EXPECT_FALSE(status::IsFailure(got)) << std::hex << got;
      if (got == 0) {
        received.push_back(FrameOf(reading));
        DseSegment::ReturnToPool(reading);
        reading = DseSegment::Make(nullptr);
      }
    }
    DseSegment::ReturnToPool(reading);
    DseSegment::ReturnChain(chain);
    EXPECT_EQ(received, sent);
  }

  TempDir dir_;
  ScopedEnv pipe_dir_{"VANTOR_PIPE_DIR", dir_.path().c_str()};
  XosSocketLayer layer_;
};

using PipeConnectionTest = ConnectionTest;

TEST_F(PipeConnectionTest, EitherSideMayComeFirstAndFramesCrossBothWaysWithoutBlocking) {
  for (bool child_first : {false, true}) {
    const std::uint32_t first = child_first ? 1 : 0;
    XosPipeConnection early(first, 1 - first, 77);
    // Its read pipe exists from the start, in the pipe folder.
    const std::string own = std::to_string(first), peer = std::to_string(1 - first);
    EXPECT_TRUE(fs::exists(dir_ / ("XosFrom_" + peer + "_To_" + own + "SESSION77")));
    // Alone: reads are "not open yet", writes take nothing and succeed.
    EXPECT_EQ(early.Open(), status::kNotYetOpen);
    EXPECT_EQ(ReadSome(early), Outcome(status::kNotYetOpen, 0));
    EXPECT_EQ(WriteOne(early), Outcome(0, 0));
    XosPipeConnection late(1 - first, first, 77);
    OpenBoth(&early, &late);
    EXPECT_EQ(ReadSome(early), Outcome(0, 0));  // nothing there: no wait, no bytes, no failure
    Carry(&early, &late, 9000);                 // three frames
    // More than a socket buffer holds, so that writes come back partly done.
    Carry(&late, &early, 600000);
  }
  XosPipeConnection pipe(2, 0, 4711);
  EXPECT_STREQ(pipe.GetReadName(), "\\\\.\\Pipe\\XosFrom_0_To_2SESSION4711");
  EXPECT_STREQ(pipe.GetWriteName(), "\\\\.\\Pipe\\XosFrom_2_To_0SESSION4711");
}

TEST_F(PipeConnectionTest, AGonePeerFailsReadsAndWritesWithoutSigpipe) {
  struct sigaction old_action {};
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &default_action, &old_action);
  for (bool write_first : {true, false}) {
    XosPipeConnection a(0, 1, 8);
    {
      XosPipeConnection b(1, 0, 8);
      OpenBoth(&a, &b);
    }
    if (write_first) {
      EXPECT_EQ(WriteOne(a), Outcome(status::kPeerGone, 0));
    }
    EXPECT_EQ(ReadSome(a).first, status::kPeerGone);
    EXPECT_EQ(WriteOne(a).first, status::kPeerGone);
    EXPECT_FALSE(a.IsOpen());
    EXPECT_NE(a.Flags() & XosConnection::kClosedByPeer, 0);
  }
  sigaction(SIGPIPE, &old_action, nullptr);
}

TEST_F(PipeConnectionTest, AStaleSocketFileIsReplacedAndItsOwnIsRemoved) {
  const std::string stale = (dir_ / "XosFrom_1_To_0SESSION9").string();
  platform::BoundFile left_behind;
  int error = 0;
  platform::CloseSocket(platform::ListenLocal(stale, &left_behind, &error));
  ASSERT_TRUE(fs::exists(stale));
  {
    XosPipeConnection a(0, 1, 9);
    XosPipeConnection b(1, 0, 9);
    OpenBoth(&a, &b);
    Carry(&b, &a, 50);
  }
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_FALSE(fs::exists(dir_ / "XosFrom_0_To_1SESSION9"));
}

TEST_F(PipeConnectionTest, APipeFolderTooLongForSocketsIsRefused) {
  const std::string folder = dir_.path().string() + "/" + std::string(90, 'd');
  ScopedEnv env("VANTOR_PIPE_DIR", folder.c_str());
  ::testing::internal::CaptureStderr();
  XosPipeConnection pipe(0, 1, 123456);
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("VANTOR_PIPE_DIR"), std::string::npos) << said;
  EXPECT_EQ(pipe.Open(), status::kBadArguments);
  EXPECT_EQ(ReadSome(pipe).first, status::kBadArguments);
  EXPECT_EQ(WriteOne(pipe).first, status::kBadArguments);
}

TEST_F(ConnectionTest, MailslotsCarryWholeFramesBothWays) {
  XosMailConnection a(0, 2, 64);
  EXPECT_STREQ(a.GetReadName(), "\\\\.\\mailslot\\X01.W");   // 2*16+0 = 32
  EXPECT_STREQ(a.GetWriteName(), "\\\\.\\mailslot\\X01.2");  // 0*16+2
  EXPECT_EQ(a.Open(), status::kNotYetOpen);
  XosMailConnection b(2, 0, 64);
  OpenBoth(&a, &b);
  Carry(&a, &b, 9000);
  Carry(&b, &a, 10);
}

// Each child is taken from a listener of its own, whichever address it
// comes from, so two children of one host are never mixed up.
TEST_F(ConnectionTest, ParentsTakeEachChildFromItsOwnListenerAndExchangeFrames) {
  XosSocketConnection to_one(Node("127.0.0.1"), 1);
  XosSocketConnection to_two(Node("127.0.0.1"), 2);
  EXPECT_EQ(to_one.Open(), status::kNotYetOpen);  // no child yet
  Status result = 0;
  const std::uint16_t port_one = XosListeningSocket::Get(1, &result)->Port();
  const std::uint16_t port_two = XosListeningSocket::Get(2, &result)->Port();
  ASSERT_EQ(result, 0u);
  XosSocketConnection two(Node("127.0.0.1", port_two), 0);
  OpenBoth(&two, &to_two);
  EXPECT_EQ(to_one.Open(), status::kNotYetOpen);
  XosSocketConnection one(Node("::1", port_one), 0);
  OpenBoth(&one, &to_one);
  EXPECT_EQ(XosListeningSocket::Find(1), nullptr);  // closed once taken
  Carry(&to_one, &one, 20000);
  Carry(&two, &to_two, 10);

  // Nobody listening leaves a connection not yet open.
  int error = 0;
  std::uint16_t free_port = 0;
  platform::CloseSocket(platform::ListenTcp(&free_port, &error));
  XosSocketConnection nowhere(Node("127.0.0.1", free_port), 0);
  EXPECT_EQ(nowhere.Open(), status::kNotYetOpen);
  EXPECT_EQ(ReadSome(nowhere).first, status::kNotYetOpen);
  EXPECT_EQ(WriteOne(nowhere), Outcome(status::kNotYetOpen, 0));
}

// A loopback listener waits for its child's process: a connection from
// any other process is closed unread, and the child's is taken after it.
TEST_F(ConnectionTest, ALoopbackListenerTakesOnlyItsChildsProcess) {
  Status result = 0;
  XosListeningSocket* listener = XosListeningSocket::Get(6, &result, true);
  ASSERT_NE(listener, nullptr);
  const std::uint16_t port = listener->Port();
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Waits for its turn, then connects and holds the connection.
    char byte = 0;
    (void)!::read(go[0], &byte, 1);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    (void)!::read(go[0], &byte, 1);
    ::_exit(connected ? 0 : 1);
  }
  listener->ExpectProcess(child);
  // This process is not the child.
  platform::HostAddress loopback;
  ASSERT_TRUE(platform::ResolveHost("127.0.0.1", &loopback));
  int error = 0;
  const int impostor = platform::ConnectTcp(loopback, port, 5000, &error);
  ASSERT_GE(impostor, 0) << error;
  XosSocketConnection to_child(Node("127.0.0.1"), 6);
  ASSERT_TRUE(platform::WaitForAny({{listener->Descriptor(), false}}, 5000));
  EXPECT_EQ(to_child.Open(), status::kNotYetOpen);
  EXPECT_EQ(XosListeningSocket::Find(6), listener);
  // The impostor's connection was closed before anything was sent.
  char byte = 0;
  ASSERT_TRUE(platform::WaitForAny({{impostor, false}}, 5000));
  EXPECT_LE(::recv(impostor, &byte, 1, 0), 0);
  (void)!::write(go[1], "x", 1);
  ASSERT_TRUE(platform::WaitForAny({{listener->Descriptor(), false}}, 5000));
  EXPECT_EQ(to_child.Open(), status::kOk);
  EXPECT_EQ(XosListeningSocket::Find(6), nullptr);
  (void)!::write(go[1], "x", 1);
  int exit_status = 0;
  ASSERT_EQ(::waitpid(child, &exit_status, 0), child);
  EXPECT_EQ(WEXITSTATUS(exit_status), 0);
  for (int fd : {impostor, go[0], go[1]}) ::close(fd);
}

// A parent whose listener answers nobody (its queue is full) must not hold
// up the polling of its child: Open, and the read and write that try it,
// leave the connect under way on a socket that never blocks.
TEST_F(ConnectionTest, AChildsConnectionNeverWaitsForItsParent) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in loopback{};
  loopback.sin_family = AF_INET;
  loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(loopback);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&loopback), length), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&loopback), &length), 0);
  const XosComputeNode parent = Node("127.0.0.1", ntohs(loopback.sin_port));
  std::vector<int> fillers;
  for (int i = 0; i < 2; ++i) {
    int error = 0;
    fillers.push_back(platform::StartConnectTcp(parent.address, parent.listening_port, &error));
  }
  XosSocketConnection child(parent, 0);
  // Tried on a thread of its own: a connect that blocks waits out the
  // system's connect time-out (minutes), which the bound only catches.
  Status opened = 0;
  Outcome read, written;
  std::atomic<bool> tried{false};
  std::thread trying([&] {
    opened = child.Open();
    read = ReadSome(child);
    written = WriteOne(child);
    tried = true;
  });
  const bool returned =
      WaitUntil([&] { return tried.load(); }, HangBound(std::chrono::seconds(10)));
  EXPECT_TRUE(returned) << "the child's connection waited for its parent";
  // Room in the parent's queue lets a blocked connect end.
  std::vector<int> taken;
  while (!tried.load()) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) taken.push_back(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  trying.join();
  EXPECT_EQ(opened, status::kNotYetOpen);
  EXPECT_EQ(read, Outcome(status::kNotYetOpen, 0));
  EXPECT_EQ(written, Outcome(status::kNotYetOpen, 0));
  std::vector<platform::Readiness> waits_on;
  child.AddReadiness(&waits_on, true, true);
  ASSERT_EQ(waits_on.size(), 1u);
  const int connecting = waits_on[0].fd;
  ASSERT_GE(connecting, 0);
  EXPECT_NE(::fcntl(connecting, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_FALSE(platform::WaitForAny(waits_on, 0)) << "the connect was made";
  for (int fd : taken) ::close(fd);
  for (int fd : fillers) platform::CloseSocket(fd);
  platform::CloseSocket(listener);
}

// A socket connection whose sends follow a script, to reach the failures a
// real socket gives only by chance (one after some bytes went out).
class ScriptedSocket : public XosSocketConnection {
 public:
  explicit ScriptedSocket(std::vector<platform::Transfer> script)
      : XosSocketConnection(Node("127.0.0.1", 1), 0), script_(std::move(script)) {
    flags_ |= kReadOpen | kWriteOpen;
  }

 protected:
  platform::Transfer SendOnce(const void*, std::size_t count) override {
    platform::Transfer next = script_.at(used_++);
    next.bytes = std::min(next.bytes, count);
    return next;
  }

 private:
  std::vector<platform::Transfer> script_;
  std::size_t used_ = 0;
};

TEST(SocketWriteTest, AFailureComesWithNothingWrittenAndNoByteGoesTwice) {
  using platform::TransferOutcome;
  const platform::Transfer three{3, TransferOutcome::kDone, 0}, all{10, TransferOutcome::kDone, 0},
      busy{0, TransferOutcome::kWouldBlock, 0}, failed{0, TransferOutcome::kFailed, ENOBUFS},
      broken{0, TransferOutcome::kBroken, ECONNRESET};
  struct Case {
    std::vector<platform::Transfer> script;
    std::vector<Outcome> writes;  // of 10 bytes each, in turn
  };
  const Case cases[] = {
      {{all}, {{0, 10}}},
      {{three, busy}, {{0, 3}}},
      {{failed}, {{status::kUnhandled, 0}}},
      // Sent bytes are counted; the failure is met by the next write.
      {{three, failed, failed}, {{0, 3}, {status::kUnhandled, 0}}},
      {{three, broken, broken}, {{0, 3}, {status::kPeerGone, 0}, {status::kWriteOnClosed, 0}}},
  };
  for (const Case& c : cases) {
    ScriptedSocket socket(c.script);
    for (const Outcome& expected : c.writes) {
      std::uint32_t written = 99;
      const Status result = socket.Write("0123456789", 10, &written);
      EXPECT_EQ(Outcome(result, written), expected);
    }
  }
}

// No real bound: a wait that ended only at its bound would hang the test.
constexpr std::uint32_t kNoBound = 3600 * 1000;

bool Ready(XosConnection& c, bool read, bool write, std::uint32_t bound) {
  std::vector<platform::Readiness> items;
  c.AddReadiness(&items, read, write);
  return platform::WaitForAny(items, bound);
}

TEST_F(ConnectionTest, WaitsEndWhenThePeerArrivesAndWhenItsBytesDo) {
  for (bool tcp : {false, true}) {
    SCOPED_TRACE(tcp ? "tcp" : "pipes");
    std::unique_ptr<XosConnection> waiting;
    std::unique_ptr<XosConnection> peer;
    std::function<XosConnection*()> make_peer;
    if (tcp) {
      waiting = std::make_unique<XosSocketConnection>(Node("127.0.0.1"), 1);
      Status result = 0;
      const std::uint16_t port = XosListeningSocket::Get(1, &result)->Port();
      make_peer = [port] { return new XosSocketConnection(Node("127.0.0.1", port), 0); };
    } else {
      waiting = std::make_unique<XosPipeConnection>(0, 1, 5);
      make_peer = [] { return new XosPipeConnection(1, 0, 5); };
    }
    EXPECT_EQ(waiting->Open(), status::kNotYetOpen);
    EXPECT_FALSE(Ready(*waiting, true, true, 0));  // nobody there yet
    std::thread arrives([&] {
      peer.reset(make_peer());
      peer->Open();
    });
    EXPECT_TRUE(Ready(*waiting, false, true, kNoBound));
    arrives.join();
    OpenBoth(waiting.get(), peer.get());
    EXPECT_FALSE(Ready(*waiting, true, false, 0));  // nothing to read
    EXPECT_TRUE(Ready(*waiting, false, true, 0));   // room to write
    std::thread writes([&] { WriteOne(*peer); });
    EXPECT_TRUE(Ready(*waiting, true, false, kNoBound));
    writes.join();
    EXPECT_EQ(ReadSome(*waiting), Outcome(0, 1));
  }
}

// Layers overlap and may end in any order; the last one closes the
// listeners.
TEST(SocketLayerTest, LayersEndInAnyOrder) {
  auto older = std::make_unique<XosSocketLayer>();
  {
    XosSocketLayer newer;
    newer.LocalNode().os_kind = XosComputeNode::kWindows9x;
    Status result = 0;
    XosListeningSocket* listener = XosListeningSocket::Get(5, &result);
    older.reset();
    EXPECT_EQ(XosSocketLayer::LocalKind(), XosComputeNode::kWindows9x);
    EXPECT_EQ(XosListeningSocket::Find(5), listener);
  }
  EXPECT_EQ(XosSocketLayer::LocalKind(), XosComputeNode::kWindowsNT);
  EXPECT_EQ(XosListeningSocket::Find(5), nullptr);
}

// A connection accepted from a plain client socket, which ends the stream
// in order or resets it.
TEST_F(ConnectionTest, AnOrderlyCloseIsReportedOnceAndAResetIsAGonePeer) {
  platform::HostAddress loopback;
  ASSERT_TRUE(platform::ResolveHost("127.0.0.1", &loopback));
  for (bool reset : {false, true}) {
    Status result = 0;
    const std::uint16_t port = XosListeningSocket::Get(1, &result)->Port();
    int error = 0;
    const int client = platform::ConnectTcp(loopback, port, 5000, &error);
    ASSERT_GE(client, 0) << error;
    XosSocketConnection connection(Node("127.0.0.1"), 1);
    testsupport::WaitUntil([&] { return connection.Open() == 0; });
    ASSERT_TRUE(connection.IsOpen());
    if (reset) {
      linger hard{1, 0};
      ASSERT_EQ(setsockopt(client, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard)), 0);
    } else {
      ASSERT_EQ(send(client, "last words", 10, 0), 10);
      shutdown(client, SHUT_WR);
    }
    platform::CloseSocket(client);
    std::string data;
    Status read = 0;
    testsupport::WaitUntil([&] {
      char buffer[64];
      std::uint32_t n = 0;
      read = connection.Read(buffer, sizeof(buffer), &n);
      data.append(buffer, n);
      return read != 0;
    });
    EXPECT_EQ(data, reset ? "" : "last words");
    EXPECT_EQ(read, reset ? status::kPeerGone : status::kConnectionClosed);
    EXPECT_FALSE(connection.IsOpen());
    EXPECT_NE(connection.Flags() & XosConnection::kClosedByPeer, 0);
    EXPECT_EQ(ReadSome(connection).first, status::kClosedConnection);
    EXPECT_EQ(connection.Open(), status::kClosedConnection);
    EXPECT_EQ(WriteOne(connection), Outcome(status::kWriteOnClosed, 0));
  }
}

TEST_F(ConnectionTest, CreateChoosesTcpForAnotherHostAndPipesForThisOne) {
  auto kind_of = [](XosComputeNode* node) -> std::string {
    std::unique_ptr<XosConnection> c(XosConnection::Create(node, 0, 1, 2));
    if (dynamic_cast<XosSocketConnection*>(c.get()) != nullptr) return "tcp";
    if (dynamic_cast<XosPipeConnection*>(c.get()) != nullptr) return "pipe";
    if (dynamic_cast<XosMailConnection*>(c.get()) != nullptr) return "mailslot";
    return c == nullptr ? "none" : "other";
  };
  XosComputeNode loopback = Node("127.0.0.1");
  XosComputeNode localhost = Node("localhost");
  XosComputeNode here = Node(nullptr);
  EXPECT_EQ(kind_of(&loopback) + kind_of(&localhost) + kind_of(&here) + kind_of(nullptr),
            "tcptcppipepipe");
  // This machine's name in other cases, and its part before the first ".".
  std::string name = platform::LocalHostName();
  for (char& c : name) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  XosComputeNode named;
  named.host_name = name;
  EXPECT_TRUE(named.IsLocal());
  EXPECT_EQ(kind_of(&named), "pipe");
  const std::string short_name = name.substr(0, name.find('.'));
  named.host_name = short_name;
  EXPECT_TRUE(named.IsLocal());
  // A configured full name of this machine, whose own name is short.
  named.host_name = short_name + ".example.test";
  EXPECT_EQ(named.IsLocal(), short_name == name);
  named.host_name = short_name + "x";
  EXPECT_FALSE(named.IsLocal());
  // The local system kind decides for this machine.
  layer_.LocalNode().os_kind = XosComputeNode::kWindows9x;
  EXPECT_EQ(kind_of(&here), "mailslot");
  layer_.LocalNode().os_kind = XosComputeNode::kUnix;
  EXPECT_EQ(kind_of(&here) + kind_of(&loopback), "nonetcp");
}

TEST(Base64Test, DigitsRunLeastSignificantFirst) {
  const std::pair<std::uint32_t, const char*> cases[] = {
      {0, "0"}, {35, "Z"}, {61, "z"}, {62, "_"}, {63, "#"}, {65, "11"}, {0xFFFFFFFFu, "#####3"}};
  for (const auto& [value, text] : cases) {
    char buffer[8] = "xxxxxxx";
    EXPECT_EQ(XosEncodeNumberBase64(value, buffer), static_cast<std::int32_t>(strlen(text)));
    EXPECT_STREQ(buffer, text) << value;
  }
}

// A loopback remote-execution service answering with the given bytes, optionally slowly.
class FakeRexecServer {
 public:
  explicit FakeRexecServer(std::string answer, bool stay = false, int dribble_ms = 0)
      : answer_(std::move(answer)), stay_(stay), dribble_ms_(dribble_ms) {
    int error = 0;
    listener_ = platform::ListenTcp(&port_, &error);
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeRexecServer() {
    Finish();
    platform::CloseSocket(listener_);
  }
  std::uint16_t port() const { return port_; }
  // Waits for the exchange to end; what the client sent.
  std::string Finish() {
    closing_ = true;
    if (thread_.joinable()) thread_.join();
    return received_;
  }

 private:
  // Bytes that are there win over a request to finish.
  bool Receive(int fd, bool once) {
    pollfd p{fd, POLLIN, 0};
    const auto until = std::chrono::steady_clock::now() + HangBound(std::chrono::seconds(10));
    while (std::chrono::steady_clock::now() < until) {
      if (poll(&p, 1, 10) <= 0) {
        if (!closing_) continue;
        // Told to finish: bytes sent before that are still read.
        if (poll(&p, 1, 0) <= 0) return false;
      }
      if (once) return true;
      char buffer[256];
      const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
      if (n <= 0) return false;
      received_.append(buffer, static_cast<std::size_t>(n));
      return true;
    }
    return false;
  }
  void Serve() {
    if (!Receive(listener_, true)) return;
    const int session = accept(listener_, nullptr, nullptr);
    // "0", user, password, command line: four zero bytes.
    while (std::count(received_.begin(), received_.end(), '\0') < 4 && Receive(session, false)) {
    }
    if (dribble_ms_ == 0) send(session, answer_.data(), answer_.size(), MSG_NOSIGNAL);
    for (std::size_t i = 0; dribble_ms_ > 0 && i < answer_.size() && !closing_; ++i) {
      send(session, answer_.data() + i, 1, MSG_NOSIGNAL);
      usleep(static_cast<useconds_t>(dribble_ms_) * 1000);
    }
    while (stay_ && Receive(session, false)) {
    }
    close(session);
  }

  std::string answer_;
  bool stay_;
  int dribble_ms_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::string received_;
  std::atomic<bool> closing_{false};
  std::thread thread_;
};

XosComputeNode Loopback(const char* user, const char* password) {
  XosComputeNode node;
  node.Initialize("127.0.0.1", XosComputeNode::kUnix, XosComputeNode::kRemoteExecution, user,
                  password);
  return node;
}

// What the first read that gives bytes or a status other than 0 gives.
std::string ReadText(XosConnection* connection, Status* result) {
  std::string text;
  WaitUntil(
      [&] {
        char buffer[256];
        std::uint32_t n = 0;
        *result = connection->Read(buffer, sizeof(buffer), &n);
        text.append(buffer, n);
        return *result != 0 || n > 0;
      },
      HangBound(std::chrono::seconds(5)));
  return text;
}

TEST(RemoteStartTest, SendsTheRequestAndTalksToTheStartedProcess) {
  FakeRexecServer server("\0hello from child"s, true);
  Status result = 1;
  XosVirtualConnection remote(Loopback("alice", ",a"), nullptr, "prog -ChildNo=1", &result,
                              server.port());
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(remote.Open(), 0u);
  Status read_result = 1;
  EXPECT_EQ(ReadText(&remote, &read_result), "hello from child");
  std::uint32_t n = 0;
  EXPECT_EQ(remote.Write("input", 5, &n), 0u);
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(server.Finish(), "0\0alice\0,Z\0prog -ChildNo=1\0input"s);
  // The process (the service's stream) has ended.
  ReadText(&remote, &read_result);
  EXPECT_EQ(read_result, status::kPeerGone);
}

TEST(RemoteStartTest, ARefusalLeavesTheServicesReasonToRead) {
  FakeRexecServer server("\x01Login incorrect.\n"s);
  Status result = 0;
  XosVirtualConnection remote(Loopback("bob", "pw"), nullptr, "prog", &result, server.port());
  EXPECT_EQ(result, status::kUnhandled);
  EXPECT_FALSE(remote.IsOpen());
  EXPECT_EQ(remote.Open(), status::kUnhandled);
  Status read_result = 1;
  EXPECT_EQ(ReadText(&remote, &read_result), "Login incorrect.\n");
  ReadText(&remote, &read_result);
  EXPECT_EQ(read_result, status::kPeerGone);
}

// However the reason is read, it is waited for 2 s after the refusal at
// most, so a service that sends it slowly cannot hold the caller.
TEST(RemoteStartTest, AReasonThatComesSlowlyIsCutAtItsDeadline) {
  const std::string reason(40, 'r');
  FakeRexecServer server("\x01" + reason, false, 150);
  Status result = 0;
  XosVirtualConnection remote(Loopback("bob", "pw"), nullptr, "prog", &result, server.port());
  ASSERT_EQ(result, status::kUnhandled);
  std::string text;
  Status read_result = 0;
  while (!status::IsFailure(read_result) && text.size() < reason.size()) {
    char buffer[256];
    std::uint32_t n = 0;
    read_result = remote.Read(buffer, sizeof(buffer), &n);
    text.append(buffer, n);
  }
  EXPECT_EQ(read_result, status::kPeerGone);
  EXPECT_LT(text.size(), reason.size());
  EXPECT_EQ(text, reason.substr(0, text.size()));
}

// Fields end at their zero byte: one inside a field would shift the rest.
TEST(RemoteStartTest, AZeroByteInAFieldIsRefusedUnsent) {
  for (int field = 0; field < 3; ++field) {
    FakeRexecServer server("\0"s);
    XosComputeNode node = Loopback("bob", "pw");
    if (field == 0) node.user = "bo\0b"s;
    if (field == 1) node.password = "p\0w"s;
    Status result = 0;
    XosVirtualConnection remote(node, nullptr, field == 2 ? "prog\0 -x"s : "prog"s, &result,
                                server.port());
    EXPECT_EQ(result, status::kBadArguments) << field;
    EXPECT_EQ(server.Finish(), "") << field;
    Status read_result = 0;
    EXPECT_EQ(ReadText(&remote, &read_result),
              "A user name, password or command line for 127.0.0.1 holds a zero byte.");
  }
}

TEST(RemoteStartTest, AnUnreachableServiceIsANetworkFailureWithItsText) {
  std::uint16_t free_port;
  {
    FakeRexecServer gone("");
    free_port = gone.port();
  }
  Status result = 0;
  XosVirtualConnection remote(Loopback("bob", "pw"), nullptr, "prog", &result, free_port);
  EXPECT_EQ(result, status::kNetworkFailure);
  EXPECT_EQ(remote.Open(), status::kNetworkFailure);
  const std::string text =
      "Network Problems, possibly REXEC service not running on server machine.";
  EXPECT_NE(remote.Flags() & XosConnection::kClosedByPeer, 0);
  Status read_result = 1;
  EXPECT_EQ(ReadText(&remote, &read_result), text);  // once
  EXPECT_EQ(ReadText(&remote, &read_result), "");
  EXPECT_EQ(read_result, status::kPeerGone);
  std::uint32_t n = 9;
  EXPECT_EQ(remote.Write("x", 1, &n), status::kWriteOnClosed);

  XosComputeNode unknown = Loopback("bob", "pw");
  unknown.address = platform::HostAddress();
  XosVirtualConnection nowhere(unknown, nullptr, "prog", &result, free_port);
  EXPECT_EQ(result, status::kUnhandled);  // which keeps its own text
  EXPECT_EQ(nowhere.Text(), "No Network information for machine 127.0.0.1");
}

TEST(RemoteStartTest, APasswordLongerThan130CharactersIsRefusedUnsent) {
  FakeRexecServer server("\0"s);
  Status result = 0;
  XosVirtualConnection remote(Loopback("bob", std::string(131, 'p').c_str()), nullptr, "prog",
                              &result, server.port());
  EXPECT_EQ(result, status::kBadArguments);
  EXPECT_EQ(server.Finish(), "");
}

TEST(PasswordScramblerTest, MovesCharactersBackByTheKeyAndLaysThemFromTheMiddle) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"a", "`"},    // 'q' & 7 = 1 place back
      {" ", "~"},    // wraps round the alphabet
      {",a", ",Z"},  // the comma stays; 'o' & 7 = 7 places back, skipping no excluded one
      {"ab", "[`"},  // laid from the middle: '`' at 1, then 96 steps on: taken, so 0
      {"\"\"", "\"\""},
      {std::string(130, 'p'), ""},  // the longest allowed
      {std::string(131, 'p'), ""},  // refused, nothing scrambled
  };
  for (const auto& [password, scrambled_expected] : cases) {
    std::string scrambled = "old";
    const Status result = XosScramblePassword(password.c_str(), "qomvex", ",\"", &scrambled);
    EXPECT_EQ(result, password.size() > 130 ? status::kBadArguments : 0u);
    EXPECT_EQ(scrambled.size(), password.size() > 130 ? 0 : password.size());
    if (!scrambled_expected.empty() || password.empty()) {
      EXPECT_EQ(scrambled, scrambled_expected) << password;
    }
  }
}

TEST(PasswordScramblerTest, KeepsOtherCharactersInPlaceAndPermutesTheMovedOnes) {
  std::mt19937 random(20240605);
  std::string alphabet;
  for (int c = 32; c <= 126; ++c) {
    if (c != ',' && c != '"') alphabet += static_cast<char>(c);
  }
  const std::string key = "qomvex";
  for (int round = 0; round < 500; ++round) {
    std::string password(random() % 131, ' ');
    for (char& c : password) {
      const int pick = static_cast<int>(random() % 100);
      c = pick < 5    ? ','
          : pick < 10 ? '"'
          : pick < 12 ? '\t'
                      : static_cast<char>(32 + random() % 95);
    }
    std::string scrambled;
    ASSERT_EQ(XosScramblePassword(password.c_str(), key.c_str(), ",\"", &scrambled), 0u);
    ASSERT_EQ(scrambled.size(), password.size());
    std::string moved_expected, moved_found;
    for (std::size_t i = 0; i < password.size(); ++i) {
      const std::size_t place = alphabet.find(password[i]);
      if (place == std::string::npos) {
        EXPECT_EQ(scrambled[i], password[i]);
        continue;
      }
      const std::size_t back = key[i % key.size()] & 7;
      moved_expected += alphabet[(place + alphabet.size() - back) % alphabet.size()];
      moved_found += scrambled[i];
    }
    std::sort(moved_expected.begin(), moved_expected.end());
    std::sort(moved_found.begin(), moved_found.end());
    EXPECT_EQ(moved_found, moved_expected) << password;
  }
}

TEST(ChildCommandTest, CommandsRunUnderTheDisplayAndTheSystemsDebugger) {
  XosComputeNode unix_node, nt, vms;
  unix_node.os_kind = XosComputeNode::kUnix;
  nt.os_kind = XosComputeNode::kWindowsNT;
  vms.os_kind = XosComputeNode::kVms;
  const std::string args = "-ChildNo=1";
  EXPECT_EQ(XosProcess::RemoteCommandLine(unix_node, "prog", args, XosProcess::kVisible, ""),
            "prog -ChildNo=1");
  EXPECT_EQ(XosProcess::RemoteCommandLine(unix_node, "prog", args, 1, "ws7"),
            "xterm -display ws7:0.0 -e prog -ChildNo=1");
  EXPECT_EQ(XosProcess::RemoteCommandLine(unix_node, "prog", args, XosProcess::kDebugged, ""),
            "dbx prog.out -ChildNo=1");
  EXPECT_EQ(XosProcess::RemoteCommandLine(nt, "prog", args, XosProcess::kDebugged, "ws7"),
            "xterm -display ws7:0.0  -e msdev prog -ChildNo=1");
  EXPECT_EQ(XosProcess::RemoteCommandLine(vms, "prog", args, XosProcess::kDebugged, ""),
            "debug prog -ChildNo=1");
  {
    testsupport::ScopedEnv unset("XOS_DEBUGGER", nullptr);
    EXPECT_EQ(XosProcess::LocalCommandLine("/a b/prog", "-ChildNo=2", XosProcess::kVisible),
              "\"/a b/prog\" -ChildNo=2");
    EXPECT_EQ(XosProcess::LocalCommandLine("/a b/prog", "-ChildNo=2", XosProcess::kDebugged),
              "gdb --args \"/a b/prog\" -ChildNo=2");
  }
  testsupport::ScopedEnv set("XOS_DEBUGGER", "valgrind -q");
  EXPECT_EQ(XosProcess::LocalCommandLine("/p", "-x", XosProcess::kDebugged),
            "valgrind -q \"/p\" -x");
}

}  // namespace
