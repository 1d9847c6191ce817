#include "platform/socket.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/local_socket.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

using platform::TransferOutcome;
using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

struct SocketPair {
  int fd[2] = {-1, -1};
  explicit SocketPair(int type = SOCK_STREAM) {
    EXPECT_EQ(socketpair(AF_UNIX, type | SOCK_NONBLOCK, 0, fd), 0);
  }
  ~SocketPair() {
    platform::CloseSocket(fd[0]);
    platform::CloseSocket(fd[1]);
  }
  void Close(int side) {
    platform::CloseSocket(fd[side]);
    fd[side] = -1;
  }
};

TEST(SocketTransferTest, ClassifiesWhatTheOtherEndDid) {
  SocketPair pair;
  char buffer[16];
  EXPECT_EQ(platform::ReceiveSome(pair.fd[0], buffer, sizeof(buffer)).outcome,
            TransferOutcome::kWouldBlock);
  ASSERT_EQ(platform::SendSome(pair.fd[1], "abc", 3).bytes, 3u);
  const platform::Transfer got = platform::ReceiveSome(pair.fd[0], buffer, sizeof(buffer));
  EXPECT_EQ(got.outcome, TransferOutcome::kDone);
  EXPECT_EQ(std::string(buffer, got.bytes), "abc");
  // Asking for nothing is not an end of stream.
  EXPECT_EQ(platform::ReceiveSome(pair.fd[0], buffer, 0).outcome, TransferOutcome::kDone);
  pair.Close(1);
  EXPECT_EQ(platform::ReceiveSome(pair.fd[0], buffer, sizeof(buffer)).outcome,
            TransferOutcome::kClosed);
}

TEST(SocketTransferTest, SendingToAGonePeerFailsWithoutSigpipe) {
  // With the default action SIGPIPE would end this test process.
  struct sigaction old_action {};
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &default_action, &old_action);
  SocketPair pair;
  pair.Close(1);
  const platform::Transfer sent = platform::SendSome(pair.fd[0], "abc", 3);
  EXPECT_EQ(sent.outcome, TransferOutcome::kBroken);
  EXPECT_EQ(sent.error, EPIPE);
  sigaction(SIGPIPE, &old_action, nullptr);
}

TEST(SocketTransferTest, AnOversizedDatagramIsConsumedAndRefused) {
  SocketPair pair(SOCK_DGRAM);
  ASSERT_EQ(platform::SendSome(pair.fd[1], "0123456789", 10).bytes, 10u);
  ASSERT_EQ(platform::SendSome(pair.fd[1], "ok", 2).bytes, 2u);
  char buffer[4];
  const platform::Transfer big = platform::ReceivePacket(pair.fd[0], buffer, sizeof(buffer));
  EXPECT_EQ(big.outcome, TransferOutcome::kFailed);
  const platform::Transfer next = platform::ReceivePacket(pair.fd[0], buffer, sizeof(buffer));
  EXPECT_EQ(next.outcome, TransferOutcome::kDone);
  EXPECT_EQ(std::string(buffer, next.bytes), "ok");
}

TEST(TcpSocketTest, ListenerAcceptsALoopbackClientWithoutBlocking) {
  std::uint16_t port = 0;
  int error = 0;
  const int listener = platform::ListenTcp(&port, &error);
  ASSERT_GE(listener, 0) << error;
  EXPECT_NE(port, 0);
  platform::HostAddress from;
  EXPECT_EQ(platform::AcceptTcp(listener, &from, &error), -1);
  EXPECT_EQ(error, EAGAIN);

  platform::HostAddress loopback;
  ASSERT_TRUE(platform::ResolveHost("127.0.0.1", &loopback));
  EXPECT_EQ(loopback.Text(), "127.0.0.1");
  const int client = platform::ConnectTcp(loopback, port, 5000, &error);
  ASSERT_GE(client, 0) << error;
  int accepted = -1;
  for (int i = 0; i < 1000 && accepted < 0; ++i) {
    accepted = platform::AcceptTcp(listener, &from, &error);
    if (accepted < 0) usleep(1000);
  }
  ASSERT_GE(accepted, 0);
  EXPECT_TRUE(from == loopback);
  ASSERT_TRUE(platform::SendAll(client, "ping", 4, 1000, &error));
  char buffer[8];
  const platform::Transfer got = platform::ReceiveWithin(accepted, buffer, sizeof(buffer), 5000);
  EXPECT_EQ(std::string(buffer, got.bytes), "ping");
  platform::CloseSocket(accepted);
  platform::CloseSocket(client);

  // Nobody listens any more: refused at once.
  platform::CloseSocket(listener);
  EXPECT_EQ(platform::ConnectTcp(loopback, port, 5000, &error), -1);
  EXPECT_EQ(error, ECONNREFUSED);
}

TEST(TcpSocketTest, LocalhostResolvesToIPv4First) {
  platform::HostAddress address;
  ASSERT_TRUE(platform::ResolveHost("localhost", &address));
  EXPECT_EQ(address.Text(), "127.0.0.1");
  EXPECT_FALSE(platform::ResolveHost("", &address));
  EXPECT_FALSE(address.Known());
}

TEST(LocalSocketTest, DesignedNamesBecomePathsInThePipeFolder) {
  TempDir dir;
  const std::string folder = (dir / "pipes").string();
  ScopedEnv env("VANTOR_PIPE_DIR", folder.c_str());
  std::string path;
  std::string error;
  ASSERT_TRUE(platform::LocalEndpointPath("\\\\.\\Pipe\\XosFrom_1_To_0SESSION7", &path, &error));
  EXPECT_EQ(path, folder + "/XosFrom_1_To_0SESSION7");
  // The folder is made, closed to others.
  struct stat info;
  ASSERT_EQ(stat(folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_TRUE(platform::LocalEndpointPath("\\\\.\\MAILSLOT\\X1.G", &path, &error));
  EXPECT_EQ(path, folder + "/mailslot.X1.G");

  EXPECT_FALSE(platform::LocalEndpointPath("XosFrom_1_To_0", &path, &error));
  EXPECT_FALSE(platform::LocalEndpointPath("\\\\.\\Pipe\\..\\escape", &path, &error));
  EXPECT_FALSE(platform::LocalEndpointPath("\\\\.\\Pipe\\", &path, &error));
}

TEST(LocalSocketTest, APipeFolderTooLongForASocketAddressIsRefused) {
  TempDir dir;
  const std::string folder = dir.path().string() + "/" + std::string(100, 'p');
  ScopedEnv env("VANTOR_PIPE_DIR", folder.c_str());
  std::string path;
  std::string error;
  EXPECT_FALSE(platform::LocalEndpointPath("\\\\.\\Pipe\\XosFrom_1_To_0SESSION7", &path, &error));
  EXPECT_NE(error.find("VANTOR_PIPE_DIR"), std::string::npos) << error;
}

TEST(LocalSocketTest, TheDefaultFolderBelongsToTheUserAlone) {
  ScopedEnv env("VANTOR_PIPE_DIR", nullptr);
  std::string folder;
  std::string error;
  ASSERT_TRUE(platform::LocalEndpointFolder(&folder, &error)) << error;
  EXPECT_EQ(folder, "/tmp/vantor-" + std::to_string(getuid()));
  struct stat info;
  ASSERT_EQ(lstat(folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, getuid());
  EXPECT_EQ(info.st_mode & 077, 0u);
}

TEST(LocalSocketTest, BindingReplacesAStaleFileAndRemovesOnlyItsOwn) {
  TempDir dir;
  const std::string path = (dir / "XosFrom_2_To_1SESSION9").string();
  int error = 0;
  platform::BoundFile stale;
  const int first = platform::ListenLocal(path, &stale, &error);
  ASSERT_GE(first, 0) << error;
  platform::CloseSocket(first);  // its file stays behind

  platform::BoundFile bound;
  const int listener = platform::ListenLocal(path, &bound, &error);
  ASSERT_GE(listener, 0) << error;
  const int client = platform::ConnectLocal(path, &error);
  ASSERT_GE(client, 0) << error;
  EXPECT_GE(platform::AcceptLocal(listener, &error), 0);

  // The stale record no longer names the file on disk.
  platform::RemoveBoundFile(stale);
  EXPECT_EQ(access(path.c_str(), F_OK), 0);
  platform::RemoveBoundFile(bound);
  EXPECT_NE(access(path.c_str(), F_OK), 0);
  EXPECT_EQ(platform::ConnectLocal(path, &error), -1);
  EXPECT_EQ(error, ENOENT);
  platform::CloseSocket(client);
  platform::CloseSocket(listener);
}

}  // namespace
