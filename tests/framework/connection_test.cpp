#include "framework/connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "framework/compute_node.h"
#include "framework/io_status.h"
#include "framework/pipe_connection.h"
#include "framework/segment.h"
#include "framework/socket_connection.h"
#include "platform/local_socket.h"
#include "platform/socket.h"
#include "segment_helpers.h"
#include "tests/support/scoped_env.h"
#include "tests/support/stdout_capture.h"
#include "tests/support/temp_dir.h"

using testsupport::BuildChain;
using testsupport::Frame;
using testsupport::FrameOf;
using testsupport::FramesOf;
using testsupport::Pattern;

namespace {

using Connection = std::unique_ptr<XosConnection>;

// Each test gets its own pipe folder and its own listening socket.
class ConnectionTest : public ::testing::Test {
 protected:
  ConnectionTest() : pipe_dir_("VANTOR_PIPE_DIR", dir_.path().c_str()) {}

  static XosComputeNode Node(const char* host, std::uint16_t port = 0) {
    XosComputeNode node;
    node.Initialize(host, XosComputeNode::kWindowsNT, XosComputeNode::kNoMethod, nullptr, nullptr);
    node.listening_port = port;
    return node;
  }

  static void OpenBoth(XosConnection* a, XosConnection* b) {
    for (int i = 0; i < 2000 && !(a->IsOpen() && b->IsOpen()); ++i) {
      a->Open();
      b->Open();
      if (!(a->IsOpen() && b->IsOpen())) usleep(1000);
    }
    ASSERT_TRUE(a->IsOpen());
    ASSERT_TRUE(b->IsOpen());
  }

  // Sends a message's frames one way, reading them on the other end as
  // they come, as the I/O queue's flush and read do.
  static std::vector<Frame> Carry(XosConnection* from, XosConnection* to,
                                  const std::vector<std::uint8_t>& data) {
    DseSegment* chain = BuildChain(data);
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
    return received;
  }

  testsupport::TempDir dir_;
  testsupport::ScopedEnv pipe_dir_;
  XosSocketLayer layer_;
};

using PipeConnectionTest = ConnectionTest;

TEST_F(PipeConnectionTest, NamesFollowTheSenderAndReceiver) {
  XosPipeConnection pipe(2, 0, 4711);
  EXPECT_STREQ(pipe.GetReadName(), "\\\\.\\Pipe\\XosFrom_0_To_2SESSION4711");
  EXPECT_STREQ(pipe.GetWriteName(), "\\\\.\\Pipe\\XosFrom_2_To_0SESSION4711");
  EXPECT_EQ(pipe.StreamKind(), XosBaseIO::kByteStream);
  // Its read pipe exists from the start, in the pipe folder.
  EXPECT_EQ(access((dir_ / "XosFrom_0_To_2SESSION4711").c_str(), F_OK), 0);
}

TEST_F(PipeConnectionTest, EitherSideMayComeFirst) {
  for (bool child_first : {false, true}) {
    const std::uint32_t first = child_first ? 1 : 0;
    Connection early(new XosPipeConnection(first, 1 - first, 77));
    // Alone: reads are "not open yet", writes take nothing and succeed.
    std::uint32_t n = 9;
    char byte = 0;
    EXPECT_EQ(early->Open(), status::kNotYetOpen);
    EXPECT_EQ(early->Read(&byte, 1, &n), status::kNotYetOpen);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(early->Write("x", 1, &n), 0u);
    EXPECT_EQ(n, 0u);
    Connection late(new XosPipeConnection(1 - first, first, 77));
    OpenBoth(early.get(), late.get());
    Carry(early.get(), late.get(), Pattern(100));
    Carry(late.get(), early.get(), Pattern(9000));  // three frames
  }
}

TEST_F(PipeConnectionTest, FramesCrossBothWaysWithoutBlocking) {
  XosPipeConnection parent(0, 3, 5);
  XosPipeConnection child(3, 0, 5);
  OpenBoth(&parent, &child);
  // Nothing there: no wait, no bytes, no failure.
  char buffer[64];
  std::uint32_t n = 9;
  EXPECT_EQ(parent.Read(buffer, sizeof(buffer), &n), 0u);
  EXPECT_EQ(n, 0u);
  // More than a socket buffer holds, so that writes come back partly done.
  Carry(&parent, &child, Pattern(600000));
  Carry(&child, &parent, Pattern(600000));
}

TEST_F(PipeConnectionTest, DataArrivesInThePiecesTheReaderAsksFor) {
  XosPipeConnection a(0, 1, 6);
  XosPipeConnection b(1, 0, 6);
  OpenBoth(&a, &b);
  std::uint32_t n = 0;
  ASSERT_EQ(a.Write("0123456789", 10, &n), 0u);
  ASSERT_EQ(n, 10u);
  std::string got;
  for (int i = 0; i < 1000 && got.size() < 10; ++i) {
    char piece[3];
    ASSERT_EQ(b.Read(piece, sizeof(piece), &n), 0u);
    EXPECT_LE(n, 3u);
    got.append(piece, n);
  }
  EXPECT_EQ(got, "0123456789");
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
    char buffer[16];
    std::uint32_t n = 9;
    if (write_first) {
      EXPECT_EQ(a.Write("late", 4, &n), status::kPeerGone);
      EXPECT_EQ(n, 0u);
    }
    EXPECT_EQ(a.Read(buffer, sizeof(buffer), &n), status::kPeerGone);
    EXPECT_EQ(a.Write("late", 4, &n), status::kPeerGone);
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
  ASSERT_EQ(access(stale.c_str(), F_OK), 0);
  {
    XosPipeConnection a(0, 1, 9);
    XosPipeConnection b(1, 0, 9);
    OpenBoth(&a, &b);
    Carry(&b, &a, Pattern(50));
  }
  EXPECT_NE(access(stale.c_str(), F_OK), 0);
  EXPECT_NE(access((dir_ / "XosFrom_0_To_1SESSION9").c_str(), F_OK), 0);
}

TEST_F(PipeConnectionTest, APipeFolderTooLongForSocketsIsRefused) {
  const std::string folder = dir_.path().string() + "/" + std::string(90, 'd');
  testsupport::ScopedEnv env("VANTOR_PIPE_DIR", folder.c_str());
  ::testing::internal::CaptureStderr();
  XosPipeConnection pipe(0, 1, 123456);
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("VANTOR_PIPE_DIR"), std::string::npos) << said;
  char buffer[4];
  std::uint32_t n = 0;
  EXPECT_EQ(pipe.Open(), status::kBadArguments);
  EXPECT_EQ(pipe.Read(buffer, 4, &n), status::kBadArguments);
  EXPECT_EQ(pipe.Write("x", 1, &n), status::kBadArguments);
}

TEST_F(ConnectionTest, MailslotsCarryWholeFramesBothWays) {
  XosMailConnection a(0, 2, 64);
  EXPECT_STREQ(a.GetReadName(), "\\\\.\\mailslot\\X01.W");   // 2*16+0 = 32
  EXPECT_STREQ(a.GetWriteName(), "\\\\.\\mailslot\\X01.2");  // 0*16+2
  EXPECT_EQ(a.StreamKind(), XosBaseIO::kPacketStream);
  EXPECT_EQ(a.Open(), status::kNotYetOpen);
  std::uint32_t n = 9;
  EXPECT_EQ(a.Write("x", 1, &n), 0u);
  EXPECT_EQ(n, 0u);
  XosMailConnection b(2, 0, 64);
  OpenBoth(&a, &b);
  Carry(&a, &b, Pattern(9000));
  Carry(&b, &a, Pattern(10));
}

using SocketConnectionTest = ConnectionTest;

TEST_F(SocketConnectionTest, ParentAndChildConnectAndExchangeFrames) {
  XosComputeNode child_node = Node("127.0.0.1");
  XosSocketConnection parent_side(child_node);
  EXPECT_EQ(parent_side.Open(), status::kNotYetOpen);  // no child yet
  Status result = 0;
  const std::uint16_t port = XosListeningSocket::Get(&result)->Port();
  ASSERT_EQ(result, 0u);
  XosComputeNode parent_node = Node("127.0.0.1", port);
  XosSocketConnection child_side(parent_node);
  EXPECT_EQ(child_side.Open(), 0u);
  OpenBoth(&parent_side, &child_side);
  Carry(&parent_side, &child_side, Pattern(20000));
  Carry(&child_side, &parent_side, Pattern(10));
}

// A connection accepted from a plain client socket, so that the test can
// end the stream in order or reset it.
class AcceptedSocketTest : public ConnectionTest {
 protected:
  void SetUp() override {
    Status result = 0;
    const std::uint16_t port = XosListeningSocket::Get(&result)->Port();
    platform::HostAddress loopback;
    ASSERT_TRUE(platform::ResolveHost("127.0.0.1", &loopback));
    int error = 0;
    client_ = platform::ConnectTcp(loopback, port, 5000, &error);
    ASSERT_GE(client_, 0) << error;
    connection_ = std::make_unique<XosSocketConnection>(Node("127.0.0.1"));
    for (int i = 0; i < 2000 && connection_->Open() != 0; ++i) usleep(1000);
    ASSERT_TRUE(connection_->IsOpen());
  }
  void TearDown() override { platform::CloseSocket(client_); }

  // Reads until something other than "nothing yet" comes back.
  Status ReadUntilSomething(std::string* data) {
    for (int i = 0; i < 5000; ++i) {
      char buffer[64];
      std::uint32_t n = 0;
      const Status result = connection_->Read(buffer, sizeof(buffer), &n);
      data->append(buffer, n);
      if (result != 0 || n > 0) return result;
      usleep(1000);
    }
    return 0;
  }

  int client_ = -1;
  std::unique_ptr<XosSocketConnection> connection_;
};

TEST_F(AcceptedSocketTest, AnOrderlyCloseIsReportedOnceThenTheConnectionIsClosed) {
  ASSERT_EQ(send(client_, "last words", 10, 0), 10);
  shutdown(client_, SHUT_WR);
  std::string data;
  while (data.size() < 10 && ReadUntilSomething(&data) == 0) {
  }
  EXPECT_EQ(data, "last words");
  EXPECT_EQ(ReadUntilSomething(&data), status::kConnectionClosed);
  EXPECT_FALSE(connection_->IsOpen());
  char buffer[4];
  std::uint32_t n = 9;
  EXPECT_EQ(connection_->Read(buffer, 4, &n), status::kClosedConnection);
  EXPECT_EQ(connection_->Read(buffer, 4, &n), status::kClosedConnection);
  EXPECT_EQ(connection_->Open(), status::kClosedConnection);
  EXPECT_EQ(connection_->Write("x", 1, &n), status::kWriteOnClosed);
  EXPECT_EQ(n, 0u);
}

TEST_F(AcceptedSocketTest, AResetIsAGonePeer) {
  linger hard{1, 0};
  ASSERT_EQ(setsockopt(client_, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard)), 0);
  platform::CloseSocket(client_);
  client_ = -1;
  std::string data;
  EXPECT_EQ(ReadUntilSomething(&data), status::kPeerGone);
  EXPECT_NE(connection_->Flags() & XosConnection::kClosedByPeer, 0);
  char buffer[4];
  std::uint32_t n = 9;
  EXPECT_EQ(connection_->Read(buffer, 4, &n), status::kClosedConnection);
}

TEST_F(SocketConnectionTest, NobodyListeningLeavesTheConnectionNotYetOpen) {
  std::uint16_t port = 0;
  int error = 0;
  const int listener = platform::ListenTcp(&port, &error);
  platform::CloseSocket(listener);  // the port is free now
  XosSocketConnection connection(Node("127.0.0.1", port));
  char buffer[4];
  std::uint32_t n = 9;
  EXPECT_EQ(connection.Open(), status::kNotYetOpen);
  EXPECT_EQ(connection.Read(buffer, 4, &n), status::kNotYetOpen);
  EXPECT_EQ(connection.Write("x", 1, &n), status::kNotYetOpen);
  EXPECT_EQ(n, 0u);
}

TEST_F(ConnectionTest, CreateChoosesTcpForAnotherHostAndPipesForThisOne) {
  auto kind_of = [](XosConnection* c) -> std::string {
    std::unique_ptr<XosConnection> owned(c);
    if (c == nullptr) return "none";
    if (dynamic_cast<XosSocketConnection*>(c) != nullptr) return "tcp";
    if (dynamic_cast<XosPipeConnection*>(c) != nullptr) return "pipe";
    if (dynamic_cast<XosMailConnection*>(c) != nullptr) return "mailslot";
    return "other";
  };
  XosComputeNode loopback = Node("127.0.0.1");
  XosComputeNode localhost = Node("localhost");
  XosComputeNode here = Node(nullptr);
  EXPECT_EQ(kind_of(XosConnection::Create(&loopback, 0, 1, 2)), "tcp");
  EXPECT_EQ(kind_of(XosConnection::Create(&localhost, 0, 1, 2)), "tcp");
  EXPECT_EQ(kind_of(XosConnection::Create(&here, 0, 1, 2)), "pipe");
  EXPECT_EQ(kind_of(XosConnection::Create(nullptr, 0, 1, 2)), "pipe");

  // This machine's name in other cases, and its part before the first ".".
  std::string name = platform::LocalHostName();
  for (char& c : name) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  XosComputeNode named;
  named.host_name = name;
  EXPECT_TRUE(named.IsLocal());
  EXPECT_EQ(kind_of(XosConnection::Create(&named, 0, 1, 2)), "pipe");
  named.host_name = name.substr(0, name.find('.'));
  EXPECT_TRUE(named.IsLocal());
  named.host_name += "x";
  EXPECT_FALSE(named.IsLocal());

  // The local system kind decides for this machine.
  layer_.LocalNode().os_kind = XosComputeNode::kWindows9x;
  EXPECT_EQ(kind_of(XosConnection::Create(&here, 0, 1, 2)), "mailslot");
  layer_.LocalNode().os_kind = XosComputeNode::kUnix;
  EXPECT_EQ(kind_of(XosConnection::Create(&here, 0, 1, 2)), "none");
  EXPECT_EQ(kind_of(XosConnection::Create(&loopback, 0, 1, 2)), "tcp");
}

TEST(ConnectionNameTest, BaseNamesSayTheyAreUnknown) {
  struct Bare : XosConnection {
    Status Write(const void*, std::uint32_t, std::uint32_t*) override { return 0; }
    Status Read(void*, std::uint32_t, std::uint32_t*) override { return 0; }
    Status Open() override { return 0; }
  } bare;
  testsupport::StdoutCapture capture;
  bare.GetReadName();
  bare.GetWriteName();
  EXPECT_EQ(capture.Take(),
            "XosConnection::GetReadName, UNKNOWN Connection Base class called !\n"
            "XosConnection::GetWriteName, UNKNOWN Connection Base Calss called !\n");
}

TEST(Base64Test, DigitsRunLeastSignificantFirst) {
  const struct {
    std::uint32_t value;
    const char* text;
  } cases[] = {{0, "0"},
               {9, "9"},
               {10, "A"},
               {35, "Z"},
               {36, "a"},
               {61, "z"},
               {62, "_"},
               {63, "#"},
               {64, "01"},
               {65, "11"},
               {4095, "##"},
               {4096, "001"},
               {0xFFFFFFFFu, "#####3"}};
  for (const auto& c : cases) {
    char buffer[8] = "xxxxxxx";
    EXPECT_EQ(XosEncodeNumberBase64(c.value, buffer), static_cast<std::int32_t>(strlen(c.text)));
    EXPECT_STREQ(buffer, c.text) << c.value;
  }
}

}  // namespace
