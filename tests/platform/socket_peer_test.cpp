// A loopback listener and the peer check: what only this machine can reach,
// and who holds the socket at the other end of a connection.
#include "platform/socket_peer.h"

#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/socket.h"

namespace {

// An IPv4 address of this machine that is not loopback; unknown when it
// has none.
platform::HostAddress OtherOwnAddress() {
  platform::HostAddress found;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return found;
  for (const ifaddrs* a = list; a != nullptr && !found.Known(); a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
    platform::HostAddress address;
    address.family = AF_INET;
    std::memcpy(address.bytes, &reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr, 4);
    if (!address.IsLoopback()) found = address;
  }
  ::freeifaddrs(list);
  return found;
}

// The connection waiting in the listener, within five seconds; -1 without.
int Accept(int listener, platform::HostAddress* from) {
  if (!platform::WaitForAny({{listener, false}}, 5000)) return -1;
  int error = 0;
  return platform::AcceptTcp(listener, from, &error);
}

// Made by hand: a forked child must not resolve names.
int ConnectLoopback(std::uint16_t port) {
  platform::HostAddress loopback;
  loopback.family = AF_INET;
  loopback.bytes[0] = 127;
  loopback.bytes[3] = 1;
  int error = 0;
  return platform::ConnectTcp(loopback, port, 5000, &error);
}

// Through another address of this machine the loopback listener cannot be
// reached; the listener on every interface can.
TEST(SocketPeerTest, ALoopbackListenerIsOutOfReachOfOtherAddresses) {
  const platform::HostAddress other = OtherOwnAddress();
  if (!other.Known()) GTEST_SKIP() << "this machine has no address but loopback";
  for (const platform::ListenScope scope :
       {platform::ListenScope::kLoopback, platform::ListenScope::kAnyHost}) {
    std::uint16_t port = 0;
    int error = 0;
    const int listener = platform::ListenTcp(&port, &error, scope);
    ASSERT_GE(listener, 0) << error;
    const int client = platform::ConnectTcp(other, port, 5000, &error);
    if (scope == platform::ListenScope::kLoopback) {
      EXPECT_LT(client, 0) << other.Text();
      EXPECT_EQ(error, ECONNREFUSED);
    } else {
      EXPECT_GE(client, 0) << other.Text() << " " << error;
    }
    platform::CloseSocket(client);
    platform::CloseSocket(listener);
  }
}

TEST(SocketPeerTest, ThePeerIsFoundWithItsUserAndProcess) {
  std::uint16_t port = 0;
  int error = 0;
  const int listener = platform::ListenTcp(&port, &error, platform::ListenScope::kLoopback);
  ASSERT_GE(listener, 0) << error;
  // From this process.
  const int own = ConnectLoopback(port);
  ASSERT_GE(own, 0);
  platform::HostAddress from;
  const int accepted = Accept(listener, &from);
  ASSERT_GE(accepted, 0);
  EXPECT_EQ(from.Text(), "127.0.0.1");
  platform::LocalPeer peer;
  ASSERT_EQ(platform::FindLocalPeer(accepted, &peer), platform::PeerLookup::kFound);
  EXPECT_EQ(peer.user, ::geteuid());
  EXPECT_NE(peer.socket_inode, 0u);
  EXPECT_EQ(peer.process, ::getpid());
  EXPECT_TRUE(platform::IsOwnLocalPeer(accepted, from, 0));
  EXPECT_TRUE(platform::IsOwnLocalPeer(accepted, from, ::getpid()));
  EXPECT_FALSE(platform::IsOwnLocalPeer(accepted, from, ::getpid() + 100000));

  // From a child that holds its connection until told to go.
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int fd = ConnectLoopback(port);
    char byte = 0;
    (void)!::read(go[0], &byte, 1);
    ::_exit(fd >= 0 ? 0 : 1);
  }
  const int from_child = Accept(listener, &from);
  ASSERT_GE(from_child, 0);
  ASSERT_EQ(platform::FindLocalPeer(from_child, &peer), platform::PeerLookup::kFound);
  EXPECT_EQ(peer.process, child);
  EXPECT_TRUE(platform::ProcessDescendsFrom(child, ::getpid()));
  EXPECT_FALSE(platform::ProcessDescendsFrom(::getpid(), child));
  EXPECT_TRUE(platform::IsOwnLocalPeer(from_child, from, child));
  EXPECT_FALSE(platform::IsOwnLocalPeer(from_child, from, ::getpid() + 100000));
  (void)!::write(go[1], "x", 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  for (int fd : {own, accepted, from_child, listener, go[0], go[1]}) ::close(fd);
}

// Another user on this machine is not taken for one of ours.
TEST(SocketPeerTest, AnotherUsersSocketIsNotOurs) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
  std::uint16_t port = 0;
  int error = 0;
  const int listener = platform::ListenTcp(&port, &error, platform::ListenScope::kLoopback);
  ASSERT_GE(listener, 0) << error;
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    const int fd = ConnectLoopback(port);
    char byte = 0;
    (void)!::read(go[0], &byte, 1);
    ::_exit(fd >= 0 ? 0 : 1);
  }
  platform::HostAddress from;
  const int accepted = Accept(listener, &from);
  ASSERT_GE(accepted, 0);
  platform::LocalPeer peer;
  ASSERT_EQ(platform::FindLocalPeer(accepted, &peer), platform::PeerLookup::kFound);
  EXPECT_EQ(peer.user, 65534u);
  // Refused from the socket table alone: a stranger's connections do not
  // each cost a look through every process.
  const std::uint64_t scans = platform::ProcessScanCount();
  EXPECT_FALSE(platform::IsOwnLocalPeer(accepted, from, 0));
  EXPECT_FALSE(platform::IsOwnLocalPeer(accepted, from, child));
  EXPECT_EQ(platform::ProcessScanCount(), scans);
  (void)!::write(go[1], "x", 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  for (int fd : {accepted, listener, go[0], go[1]}) ::close(fd);
}

// Where the socket tables cannot be read, no one is known to own the
// connection: it is refused, not taken for ours.
TEST(SocketPeerTest, AnOwnerThatCannotBeEstablishedIsRefused) {
  std::uint16_t port = 0;
  int error = 0;
  const int listener = platform::ListenTcp(&port, &error, platform::ListenScope::kLoopback);
  ASSERT_GE(listener, 0) << error;
  const int own = ConnectLoopback(port);
  ASSERT_GE(own, 0);
  platform::HostAddress from;
  const int accepted = Accept(listener, &from);
  ASSERT_GE(accepted, 0);
  platform::PeerTables unreadable;
  unreadable.ipv4 = "/proc/no-such-table";
  unreadable.ipv6 = "/proc/no-such-table6";
  platform::LocalPeer peer;
  EXPECT_EQ(platform::FindLocalPeer(accepted, &peer, unreadable),
            platform::PeerLookup::kCannotTell);
  EXPECT_FALSE(platform::IsOwnLocalPeer(accepted, from, 0, unreadable));
  EXPECT_FALSE(platform::IsOwnLocalPeer(accepted, from, ::getpid(), unreadable));
  EXPECT_TRUE(platform::IsOwnLocalPeer(accepted, from, 0));
  for (int fd : {own, accepted, listener}) ::close(fd);
}

}  // namespace
