#include "platform/socket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/local_socket.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

using platform::TransferOutcome;
using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

TEST(SocketTransferTest, AnOversizedDatagramIsConsumedAndRefused) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, pair), 0);
  ASSERT_EQ(platform::SendSome(pair[1], "0123456789", 10).bytes, 10u);
  ASSERT_EQ(platform::SendSome(pair[1], "ok", 2).bytes, 2u);
  char buffer[4];
  const platform::Transfer big = platform::ReceivePacket(pair[0], buffer, sizeof(buffer));
  EXPECT_EQ(big.outcome, TransferOutcome::kFailed);
  const platform::Transfer next = platform::ReceivePacket(pair[0], buffer, sizeof(buffer));
  EXPECT_EQ(next.outcome, TransferOutcome::kDone);
  EXPECT_EQ(std::string(buffer, next.bytes), "ok");
  EXPECT_EQ(platform::ReceivePacket(pair[0], buffer, sizeof(buffer)).outcome,
            TransferOutcome::kWouldBlock);
  platform::CloseSocket(pair[0]);
  platform::CloseSocket(pair[1]);
}

TEST(TcpSocketTest, HostsResolveToIPv4First) {
  platform::HostAddress address;
  ASSERT_TRUE(platform::ResolveHost("localhost", &address));
  EXPECT_EQ(address.Text(), "127.0.0.1");
  platform::HostAddress numeric;
  ASSERT_TRUE(platform::ResolveHost("127.0.0.1", &numeric));
  EXPECT_TRUE(numeric == address);
  EXPECT_FALSE(platform::ResolveHost("", &address));
  EXPECT_FALSE(address.Known());
}

// A peer reaches the listener whichever family its name resolved to.
TEST(TcpSocketTest, TheListenerTakesIPv4AndIPv6Connections) {
  std::uint16_t port = 0;
  int error = 0;
  const int listener = platform::ListenTcp(&port, &error);
  ASSERT_GE(listener, 0) << error;
  for (const char* host : {"127.0.0.1", "::1"}) {
    platform::HostAddress address;
    ASSERT_TRUE(platform::ResolveHost(host, &address));
    const int client = platform::ConnectTcp(address, port, 5000, &error);
    EXPECT_GE(client, 0) << host << " " << error;
    platform::HostAddress from;
    int accepted = -1;
    testsupport::WaitUntil([&] {
      accepted = platform::AcceptTcp(listener, &from, &error);
      return accepted >= 0;
    });
    EXPECT_GE(accepted, 0) << host;
    EXPECT_EQ(from.Text(), host);
    platform::CloseSocket(accepted);
    platform::CloseSocket(client);
  }
  platform::CloseSocket(listener);
}

TEST(LocalSocketTest, EngineNamesBecomePathsInThePipeFolder) {
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

TEST(LocalSocketTest, OnlyTheFileThatWasBoundIsRemoved) {
  TempDir dir;
  const std::string path = (dir / "XosFrom_2_To_1SESSION9").string();
  int error = 0;
  platform::BoundFile stale;
  platform::CloseSocket(platform::ListenLocal(path, &stale, &error));  // its file stays
  platform::BoundFile bound;
  const int listener = platform::ListenLocal(path, &bound, &error);
  ASSERT_GE(listener, 0) << error;
  // The stale record no longer names the file there, even if its inode
  // number came back.
  platform::RemoveBoundFile(stale);
  EXPECT_EQ(access(path.c_str(), F_OK), 0);
  platform::RemoveBoundFile(bound);
  EXPECT_NE(access(path.c_str(), F_OK), 0);
  EXPECT_EQ(platform::ConnectLocal(path, &error), -1);
  EXPECT_EQ(error, ENOENT);
  platform::CloseSocket(listener);
}

}  // namespace

TEST(WakeSignalTest, ASignalIsKeptUntilClearedAndWakesAWaitOnAnotherThread) {
  platform::WakeSignal wake;
  ASSERT_GE(wake.Descriptor(), 0);
  const std::vector<platform::Readiness> items = {{wake.Descriptor(), false}};
  EXPECT_FALSE(platform::WaitForAny(items, 0));
  wake.Signal();
  wake.Signal();
  EXPECT_TRUE(platform::WaitForAny(items, 0));
  wake.Clear();  // both signals at once
  EXPECT_FALSE(platform::WaitForAny(items, 0));
  wake.Clear();  // nothing to clear: no block, no change
  EXPECT_FALSE(platform::WaitForAny(items, 0));
  std::thread signaller([&wake] { wake.Signal(); });
  // Bounded only so that a lost signal fails rather than hangs.
  EXPECT_TRUE(platform::WaitForAny(items, 60000));
  signaller.join();
}

// A loop that waits for a descriptor between passes relies on the bound
// being waited out: a millisecond cut to nothing lets it spin through its
// passes before the other thread has run at all.
TEST(WakeSignalTest, AWaitOnASilentDescriptorLastsItsWholeBound) {
  platform::WakeSignal wake;
  const std::vector<platform::Readiness> items = {{wake.Descriptor(), false}};
  for (std::uint32_t bound : {1u, 2u}) {
    const auto begun = std::chrono::steady_clock::now();
    EXPECT_FALSE(platform::WaitForAny(items, bound));
    EXPECT_GE(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(bound))
        << "bound " << bound << " ms";
  }
}
