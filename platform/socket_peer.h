// Who is at the other end of an accepted TCP connection from this machine:
// the user and the process that hold the connecting socket, so that a
// listener only a process of our own should reach can check its peer
// before it believes a byte. Linux tells through /proc: the socket tables
// /proc/net/tcp and /proc/net/tcp6 give the connecting socket's user and
// inode, the descriptors under /proc/<pid>/fd the processes that hold it.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "platform/socket.h"

namespace platform {

struct LocalPeer {
  uid_t user = 0;
  ino_t socket_inode = 0;
  pid_t process = 0;  // 0 when no process this one may look at holds it
};

enum class PeerLookup {
  kFound,
  kNotLocal,    // no socket of this machine's network space is the other end
  kCannotTell,  // the socket tables cannot be read
};

// The socket tables read: the kernel's, unless a test names others.
struct PeerTables {
  const char* ipv4 = "/proc/net/tcp";
  const char* ipv6 = "/proc/net/tcp6";
};

// The local socket connected to the accepted socket fd, and the process
// that holds it.
PeerLookup FindLocalPeer(int fd, LocalPeer* peer, const PeerTables& tables = {});

// How many times this process has looked through every process's
// descriptors for a socket's holder (the costly part of a look-up).
std::uint64_t ProcessScanCount();

// Whether the process is the ancestor or was started by it, directly or
// through others.
bool ProcessDescendsFrom(pid_t process, pid_t ancestor);

// Whether the accepted connection comes from a loopback address, from a
// socket of this process's user and, when expected is above 0, from that
// process or one it started. Where the owner cannot be established the
// connection is refused; another user's is refused without looking for its
// process.
bool IsOwnLocalPeer(int fd, const HostAddress& from, pid_t expected, const PeerTables& tables = {});

}  // namespace platform
