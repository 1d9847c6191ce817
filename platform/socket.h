// BSD sockets for the engine's connections: host names and addresses, TCP
// clients and the listener, and the non-blocking transfers shared by TCP and
// Unix-domain sockets. Every send uses MSG_NOSIGNAL, so that a peer that has
// gone away gives a failure instead of SIGPIPE. The callers (the connection
// classes) own the descriptors they get from here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// An IPv4 or IPv6 host address; family 0 when unknown.
struct HostAddress {
  int family = 0;
  std::uint8_t bytes[16] = {};

  bool Known() const { return family != 0; }
  bool operator==(const HostAddress& other) const;
  // "127.0.0.1" or "::1"; empty when unknown.
  std::string Text() const;
  // 127.0.0.0/8 or ::1: an address that only this machine can be.
  bool IsLoopback() const;
};

// Looks the host up, preferring an IPv4 address; false when nothing is found.
bool ResolveHost(const std::string& host, HostAddress* address);

// This machine's name as gethostname() gives it.
std::string LocalHostName();

// Sets SIGPIPE to be ignored for the whole process (a second line of defence
// behind MSG_NOSIGNAL).
void IgnoreBrokenPipeSignal();

enum class TransferOutcome {
  kDone,        // bytes moved (possibly fewer than asked)
  kWouldBlock,  // nothing can move now
  kClosed,      // the peer ended the stream in order (a read of 0 bytes)
  kBroken,      // the peer is gone: reset, refused, broken pipe, not connected, timed out
  kFailed,      // any other failure (or a datagram larger than the buffer)
};

struct Transfer {
  std::size_t bytes = 0;
  TransferOutcome outcome = TransferOutcome::kDone;
  int error = 0;  // errno of a failure
};

// One non-blocking send or receive (interrupted calls are retried). A
// receive of 0 bytes asked for moves nothing and succeeds.
Transfer SendSome(int fd, const void* data, std::size_t count);
Transfer ReceiveSome(int fd, void* data, std::size_t count);
// Receives one datagram; a datagram that does not fit is consumed and fails.
Transfer ReceivePacket(int fd, void* data, std::size_t count);
// Waits up to timeout_ms for bytes to arrive, then receives what is there.
Transfer ReceiveWithin(int fd, void* data, std::size_t count, int timeout_ms);
// Sends every byte, waiting up to timeout_ms for room each time; false with
// *error set when that fails.
bool SendAll(int fd, const void* data, std::size_t count, int timeout_ms, int* error);

// A descriptor to wait on: for bytes or a connection to arrive, or (write)
// for room to send or a connect under way to end.
struct Readiness {
  int fd = -1;
  bool write = false;
};
// Waits up to timeout_ms until one of the descriptors is ready (a hang-up or
// an error counts as ready, so that the caller reads it); false when the
// time ran out. With nothing to wait on it waits the whole time.
bool WaitForAny(const std::vector<Readiness>& items, std::uint32_t timeout_ms);

// A descriptor another thread makes readable, so that a thread waiting on
// descriptors with WaitForAny also wakes for it. Signals before the wait
// are kept until cleared.
class WakeSignal {
 public:
  WakeSignal();
  ~WakeSignal();
  WakeSignal(const WakeSignal&) = delete;
  WakeSignal& operator=(const WakeSignal&) = delete;
  // -1 when the system gave none (waits then run to their bound).
  int Descriptor() const { return fd_; }
  void Signal();
  void Clear();

 private:
  int fd_ = -1;
};

bool SetNonBlocking(int fd, bool on);
void CloseSocket(int fd);

enum class ListenScope {
  kAnyHost,   // every interface: peers on other hosts may connect
  kLoopback,  // 127.0.0.1 alone: only this machine can connect
};
// A non-blocking TCP listener on a free port, with the largest backlog; -1
// with *error set on failure. On every interface it takes IPv6 and IPv4
// connections alike (IPv4 alone where the system has no IPv6), so that a
// peer reaches it whichever family its name resolves to.
int ListenTcp(std::uint16_t* port, int* error, ListenScope scope = ListenScope::kAnyHost);
// Takes one pending connection from a listener, non-blocking (the accepted
// socket is non-blocking too); -1 with *error EAGAIN when none is waiting.
int AcceptTcp(int listener, HostAddress* from, int* error);
// Starts connecting to the address and port without waiting: a
// non-blocking socket whose connection may still be under way, or -1 with
// *error set.
int StartConnectTcp(const HostAddress& address, std::uint16_t port, int* error);

enum class ConnectProgress { kConnected, kPending, kFailed };
// Waits up to timeout_ms (0: not at all) for a started connection to be
// made; *error says why it failed.
ConnectProgress FinishConnectTcp(int fd, int timeout_ms, int* error);

// Connects to the address and port, waiting at most timeout_ms; the
// connected socket is left blocking. -1 with *error set on failure.
int ConnectTcp(const HostAddress& address, std::uint16_t port, int timeout_ms, int* error);

}  // namespace platform
