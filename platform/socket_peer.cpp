#include "platform/socket_peer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace platform {
namespace {

// An address in the 16-byte form (IPv4 mapped into IPv6) and its port.
struct Endpoint {
  std::array<std::uint8_t, 16> address{};
  std::uint16_t port = 0;
  bool operator==(const Endpoint& other) const {
    return address == other.address && port == other.port;
  }
};

void MapIpv4(const void* four_bytes, Endpoint* e) {
  e->address = {};
  e->address[10] = e->address[11] = 0xFF;
  std::memcpy(e->address.data() + 12, four_bytes, 4);
}

bool EndpointOf(const sockaddr_storage& s, Endpoint* e) {
  if (s.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(s);
    MapIpv4(&in.sin_addr, e);
    e->port = ntohs(in.sin_port);
    return true;
  }
  if (s.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(s);
    std::memcpy(e->address.data(), &in6.sin6_addr, 16);
    e->port = ntohs(in6.sin6_port);
    return true;
  }
  return false;
}

bool HexWord(const std::string& digits, unsigned long limit, unsigned long* value) {
  if (digits.empty() || digits.size() > 8) return false;
  char* end = nullptr;
  *value = std::strtoul(digits.c_str(), &end, 16);
  return end != nullptr && *end == '\0' && *value <= limit;
}

// "0100007F:1F90" (IPv4) or 32 hex digits and the port (IPv6): the address
// in 32-bit words as the kernel holds them, in this machine's byte order.
bool ParseEndpoint(const std::string& text, Endpoint* e) {
  const std::size_t colon = text.find(':');
  if (colon != 8 && colon != 32) return false;
  std::uint8_t bytes[16] = {};
  for (std::size_t w = 0; w < colon / 8; ++w) {
    unsigned long value = 0;
    if (!HexWord(text.substr(w * 8, 8), 0xFFFFFFFFul, &value)) return false;
    const auto word = static_cast<std::uint32_t>(value);
    std::memcpy(bytes + 4 * w, &word, 4);
  }
  if (colon == 8) {
    MapIpv4(bytes, e);
  } else {
    std::memcpy(e->address.data(), bytes, 16);
  }
  unsigned long port = 0;
  if (!HexWord(text.substr(colon + 1), 0xFFFF, &port)) return false;
  e->port = static_cast<std::uint16_t>(port);
  return true;
}

// The socket of the table whose own end is `local` and whose other end is
// `remote`: false when none is; *readable false when the table is not.
bool FindInTable(const char* table, const Endpoint& local, const Endpoint& remote, LocalPeer* peer,
                 bool* readable) {
  std::ifstream in(table);
  *readable = in.is_open();
  std::string line;
  std::getline(in, line);  // the heading
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, own, other, state, queues, timer, retransmits;
    unsigned long user = 0, timeout = 0, inode = 0;
    if (!(fields >> slot >> own >> other >> state >> queues >> timer >> retransmits >> user >>
          timeout >> inode)) {
      continue;
    }
    Endpoint own_end, other_end;
    if (!ParseEndpoint(own, &own_end) || !ParseEndpoint(other, &other_end)) continue;
    if (own_end == local && other_end == remote) {
      peer->user = static_cast<uid_t>(user);
      peer->socket_inode = static_cast<ino_t>(inode);
      return true;
    }
  }
  return false;
}

bool IsNumber(const char* text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
  }
  return true;
}

std::atomic<std::uint64_t> g_scans{0};

// A process of the user whose descriptors hold the socket; 0 when none we
// may read does.
pid_t ProcessHolding(ino_t inode, uid_t user) {
  if (inode == 0) return 0;
  ++g_scans;
  const std::string wanted = "socket:[" + std::to_string(inode) + "]";
  DIR* processes = ::opendir("/proc");
  if (processes == nullptr) return 0;
  pid_t found = 0;
  while (found == 0) {
    const dirent* entry = ::readdir(processes);
    if (entry == nullptr) break;
    if (!IsNumber(entry->d_name)) continue;
    // Only the socket's owner's processes can hold it (passing it on aside).
    struct stat owner {};
    const std::string process = std::string("/proc/") + entry->d_name;
    if (::stat(process.c_str(), &owner) != 0 || owner.st_uid != user) continue;
    const std::string folder = process + "/fd";
    DIR* descriptors = ::opendir(folder.c_str());
    if (descriptors == nullptr) continue;
    while (const dirent* fd = ::readdir(descriptors)) {
      char text[64] = {};
      const std::string link = folder + "/" + fd->d_name;
      const ssize_t got = ::readlink(link.c_str(), text, sizeof text - 1);
      if (got > 0 && wanted == std::string(text, static_cast<std::size_t>(got))) {
        found = static_cast<pid_t>(std::atol(entry->d_name));
        break;
      }
    }
    ::closedir(descriptors);
  }
  ::closedir(processes);
  return found;
}

}  // namespace

namespace {
// The connecting socket: its user and inode, not its process.
PeerLookup FindPeerSocket(int fd, LocalPeer* peer, const PeerTables& tables) {
  *peer = LocalPeer();
  sockaddr_storage own{}, other{};
  socklen_t own_length = sizeof own, other_length = sizeof other;
  Endpoint ours, theirs;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &own_length) != 0 ||
      ::getpeername(fd, reinterpret_cast<sockaddr*>(&other), &other_length) != 0 ||
      !EndpointOf(own, &ours) || !EndpointOf(other, &theirs)) {
    return PeerLookup::kNotLocal;
  }
  bool any_readable = false;
  for (const char* table : {tables.ipv4, tables.ipv6}) {
    bool readable = false;
    // The connecting socket's own end is our peer, its other end is us.
    const bool found = FindInTable(table, theirs, ours, peer, &readable);
    any_readable = any_readable || readable;
    if (found) return PeerLookup::kFound;
  }
  return any_readable ? PeerLookup::kNotLocal : PeerLookup::kCannotTell;
}
}  // namespace

PeerLookup FindLocalPeer(int fd, LocalPeer* peer, const PeerTables& tables) {
  const PeerLookup found = FindPeerSocket(fd, peer, tables);
  if (found == PeerLookup::kFound) peer->process = ProcessHolding(peer->socket_inode, peer->user);
  return found;
}

std::uint64_t ProcessScanCount() { return g_scans.load(); }

bool ProcessDescendsFrom(pid_t process, pid_t ancestor) {
  // Bounded: a chain of parents is short, and /proc may change under us.
  for (int step = 0; step < 256 && process > 0; ++step) {
    if (process == ancestor) return true;
    std::ifstream in("/proc/" + std::to_string(process) + "/stat");
    std::string text;
    std::getline(in, text);
    // "pid (name) state parent ...": the name may hold blanks and ')'.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream rest(text.substr(close + 1));
    std::string state;
    long parent = 0;
    if (!(rest >> state >> parent)) return false;
    process = static_cast<pid_t>(parent);
  }
  return false;
}

bool IsOwnLocalPeer(int fd, const HostAddress& from, pid_t expected, const PeerTables& tables) {
  if (!from.IsLoopback()) return false;
  LocalPeer peer;
  // An owner that cannot be established is not ours.
  if (FindPeerSocket(fd, &peer, tables) != PeerLookup::kFound) return false;
  // Refused from the table alone: another user's connections cost no scan.
  if (peer.user != ::geteuid()) return false;
  if (expected <= 0) return true;
  peer.process = ProcessHolding(peer.socket_inode, peer.user);
  return peer.process > 0 && ProcessDescendsFrom(peer.process, expected);
}

}  // namespace platform
