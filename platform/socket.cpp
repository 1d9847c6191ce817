#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>

namespace platform {

namespace {

TransferOutcome OutcomeOf(int error) {
  switch (error) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return TransferOutcome::kWouldBlock;
    case EPIPE:
    case ECONNRESET:
    case ECONNABORTED:
    case ECONNREFUSED:
    case ENOTCONN:
    case ESHUTDOWN:
    case ETIMEDOUT:
      return TransferOutcome::kBroken;
    default:
      return TransferOutcome::kFailed;
  }
}

Transfer Failure(int error) {
  Transfer t;
  t.outcome = OutcomeOf(error);
  t.error = error;
  return t;
}

Transfer Moved(ssize_t n) {
  Transfer t;
  t.bytes = static_cast<std::size_t>(n);
  return t;
}

bool WaitFor(int fd, short events, int timeout_ms) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int n = ::poll(&p, 1, timeout_ms);
    if (n > 0) return true;
    if (n == 0 || errno != EINTR) return false;
  }
}

void ToSockaddr(const HostAddress& address, std::uint16_t port, sockaddr_storage* storage,
                socklen_t* length) {
  std::memset(storage, 0, sizeof(*storage));
  if (address.family == AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(storage);
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    std::memcpy(&in->sin_addr, address.bytes, 4);
    *length = sizeof(sockaddr_in);
  } else {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    std::memcpy(&in6->sin6_addr, address.bytes, 16);
    *length = sizeof(sockaddr_in6);
  }
}

void FromSockaddr(const sockaddr* from, HostAddress* address) {
  *address = HostAddress();
  if (from->sa_family == AF_INET) {
    address->family = AF_INET;
    std::memcpy(address->bytes, &reinterpret_cast<const sockaddr_in*>(from)->sin_addr, 4);
  } else if (from->sa_family == AF_INET6) {
    const in6_addr& in6 = reinterpret_cast<const sockaddr_in6*>(from)->sin6_addr;
    // An IPv4 peer of the dual listener is an IPv4 address.
    if (IN6_IS_ADDR_V4MAPPED(&in6)) {
      address->family = AF_INET;
      std::memcpy(address->bytes, in6.s6_addr + 12, 4);
    } else {
      address->family = AF_INET6;
      std::memcpy(address->bytes, &in6, 16);
    }
  }
}

}  // namespace

bool HostAddress::operator==(const HostAddress& other) const {
  return family == other.family && std::memcmp(bytes, other.bytes, sizeof(bytes)) == 0;
}

std::string HostAddress::Text() const {
  if (!Known()) return {};
  char text[INET6_ADDRSTRLEN] = {};
  ::inet_ntop(family, bytes, text, sizeof(text));
  return text;
}

bool HostAddress::IsLoopback() const {
  if (family == AF_INET) return bytes[0] == 127;
  static const std::uint8_t kIpv6Loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return family == AF_INET6 && std::memcmp(bytes, kIpv6Loopback, 16) == 0;
}

bool ResolveHost(const std::string& host, HostAddress* address) {
  *address = HostAddress();
  if (host.empty()) return false;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0) return false;
  const addrinfo* chosen = nullptr;
  for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET) {
      chosen = a;
      break;
    }
    if (a->ai_family == AF_INET6 && chosen == nullptr) chosen = a;
  }
  if (chosen != nullptr) FromSockaddr(chosen->ai_addr, address);
  ::freeaddrinfo(list);
  return address->Known();
}

std::string LocalHostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof(name) - 1) != 0) return {};
  return name;
}

void IgnoreBrokenPipeSignal() { std::signal(SIGPIPE, SIG_IGN); }

Transfer SendSome(int fd, const void* data, std::size_t count) {
  for (;;) {
    const ssize_t n = ::send(fd, data, count, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return Moved(n);
    if (errno != EINTR) return Failure(errno);
  }
}

Transfer ReceiveSome(int fd, void* data, std::size_t count) {
  if (count == 0) return Transfer();
  for (;;) {
    const ssize_t n = ::recv(fd, data, count, MSG_DONTWAIT);
    if (n > 0) return Moved(n);
    if (n == 0) {
      Transfer t;
      t.outcome = TransferOutcome::kClosed;
      return t;
    }
    if (errno != EINTR) return Failure(errno);
  }
}

Transfer ReceivePacket(int fd, void* data, std::size_t count) {
  for (;;) {
    // MSG_TRUNC makes recv give the datagram's real length.
    const ssize_t n = ::recv(fd, data, count, MSG_DONTWAIT | MSG_TRUNC);
    if (n >= 0) {
      if (static_cast<std::size_t>(n) > count) {
        Transfer t = Moved(static_cast<ssize_t>(count));
        t.outcome = TransferOutcome::kFailed;
        t.error = EMSGSIZE;
        return t;
      }
      return Moved(n);
    }
    if (errno != EINTR) return Failure(errno);
  }
}

Transfer ReceiveWithin(int fd, void* data, std::size_t count, int timeout_ms) {
  if (!WaitFor(fd, POLLIN, timeout_ms)) return Failure(ETIMEDOUT);
  return ReceiveSome(fd, data, count);
}

bool SendAll(int fd, const void* data, std::size_t count, int timeout_ms, int* error) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  while (count > 0) {
    const Transfer t = SendSome(fd, bytes, count);
    if (t.outcome == TransferOutcome::kDone) {
      bytes += t.bytes;
      count -= t.bytes;
    } else if (t.outcome != TransferOutcome::kWouldBlock) {
      *error = t.error;
      return false;
    } else if (!WaitFor(fd, POLLOUT, timeout_ms)) {
      *error = ETIMEDOUT;
      return false;
    }
  }
  return true;
}

bool WaitForAny(const std::vector<Readiness>& items, std::uint32_t timeout_ms) {
  std::vector<pollfd> polled;
  polled.reserve(items.size());
  for (const Readiness& item : items) {
    if (item.fd >= 0)
      polled.push_back({item.fd, static_cast<short>(item.write ? POLLOUT : POLLIN), 0});
  }
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    // Rounded up: a bound of 1 ms truncated to 0 would not wait at all, and
    // a caller that waits by passes would spin.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    const int n = ::poll(polled.data(), polled.size(),
                         static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, INT_MAX)));
    if (n > 0) return true;
    if (n == 0 || errno != EINTR) return false;
  }
}

WakeSignal::WakeSignal() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakeSignal::~WakeSignal() {
  if (fd_ >= 0) ::close(fd_);
}

void WakeSignal::Signal() {
  if (fd_ < 0) return;
  const std::uint64_t one = 1;
  // A full counter still reads as ready: nothing to do on failure.
  [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
}

void WakeSignal::Clear() {
  if (fd_ < 0) return;
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = ::read(fd_, &count, sizeof count);
}

bool SetNonBlocking(int fd, bool on) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  return ::fcntl(fd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK)) == 0;
}

void CloseSocket(int fd) {
  if (fd >= 0) ::close(fd);
}

namespace {

int BoundListener(int family, bool loopback, std::uint16_t* port, int* error) {
  const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  sockaddr_storage any{};
  socklen_t length = sizeof(sockaddr_in);
  if (family == AF_INET6) {
    const int both = 0;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &both, sizeof(both));
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&any);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_any;
    length = sizeof(sockaddr_in6);
  } else {
    auto* in = reinterpret_cast<sockaddr_in*>(&any);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(loopback ? INADDR_LOOPBACK : INADDR_ANY);
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&any), length) != 0 || ::listen(fd, SOMAXCONN) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&any), &length) != 0) {
    *error = errno;
    ::close(fd);
    return -1;
  }
  // The port sits at the same place in both address forms.
  *port = ntohs(reinterpret_cast<sockaddr_in*>(&any)->sin_port);
  return fd;
}

}  // namespace

int ListenTcp(std::uint16_t* port, int* error, ListenScope scope) {
  // The loopback peer is told "127.0.0.1", so the IPv4 loopback alone.
  if (scope == ListenScope::kLoopback) return BoundListener(AF_INET, true, port, error);
  const int fd = BoundListener(AF_INET6, false, port, error);
  return fd >= 0 ? fd : BoundListener(AF_INET, false, port, error);
}

int AcceptTcp(int listener, HostAddress* from, int* error) {
  sockaddr_storage peer{};
  socklen_t length = sizeof(peer);
  for (;;) {
    const int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      FromSockaddr(reinterpret_cast<sockaddr*>(&peer), from);
      return fd;
    }
    if (errno != EINTR) {
      *error = errno;
      return -1;
    }
  }
}

int StartConnectTcp(const HostAddress& address, std::uint16_t port, int* error) {
  if (!address.Known()) {
    *error = EDESTADDRREQ;
    return -1;
  }
  const int fd = ::socket(address.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  sockaddr_storage target;
  socklen_t length = 0;
  ToSockaddr(address, port, &target, &length);
  int result;
  do {
    result = ::connect(fd, reinterpret_cast<sockaddr*>(&target), length);
  } while (result != 0 && errno == EINTR);
  if (result != 0 && errno != EINPROGRESS) {
    *error = errno;
    ::close(fd);
    return -1;
  }
  return fd;
}

ConnectProgress FinishConnectTcp(int fd, int timeout_ms, int* error) {
  if (!WaitFor(fd, POLLOUT, timeout_ms)) {
    *error = ETIMEDOUT;
    return ConnectProgress::kPending;
  }
  int failure = 0;
  socklen_t size = sizeof(failure);
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &size) != 0) failure = errno;
  if (failure == 0) return ConnectProgress::kConnected;
  *error = failure;
  return ConnectProgress::kFailed;
}

int ConnectTcp(const HostAddress& address, std::uint16_t port, int timeout_ms, int* error) {
  // Connect without blocking so that an unreachable host costs at most the
  // time-out, then hand the socket over in blocking mode.
  const int fd = StartConnectTcp(address, port, error);
  if (fd < 0) return -1;
  if (FinishConnectTcp(fd, timeout_ms, error) != ConnectProgress::kConnected ||
      !SetNonBlocking(fd, false)) {
    if (*error == 0) *error = errno;
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace platform
