// TCP connections to processes on other machines, and the one listening
// socket of the process through which children on other machines reach it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "framework/connection.h"
#include "platform/socket.h"
#include "platform/status.h"

// A connection to a peer on another machine. When the node names a
// listening port (a child's parent) the connection connects there; otherwise
// (a parent's child) it takes the child's connection from the process's
// listening socket. The socket is non-blocking once open.
class XosSocketConnection : public XosConnection {
 public:
  // Wait mode 0: one send per write; otherwise up to 10 sends while data
  // remains and the socket takes it.
  static constexpr std::int32_t kDefaultWaitMode = 10;

  explicit XosSocketConnection(const XosComputeNode& node);
  ~XosSocketConnection() override;

  // Not open: 0xA0000035 when closed by the peer, 37 when it cannot be
  // opened (nothing read). Nothing to read now: 0 bytes, 0. The peer ended
  // the stream: 0x80000042; reset: 0x80000035 (both mark it closed).
  Status Read(void* buffer, std::uint32_t count, std::uint32_t* read) override;
  // Not open: 66 when closed by the peer, 37 when it cannot be opened. A
  // socket that takes nothing more ends the write with what it took.
  Status Write(const void* buffer, std::uint32_t count, std::uint32_t* written) override;
  Status Open() override;

  void SetWaitMode(std::int32_t mode) { wait_mode_ = mode; }
  const std::string& HostName() const { return host_name_; }

 private:
  static constexpr int kConnectTimeoutMs = 10000;

  int socket_ = -1;
  std::string host_name_;
  platform::HostAddress address_;
  std::uint16_t port_ = 0;
  std::int32_t wait_mode_ = kDefaultWaitMode;
  bool blocking_ = true;
};

// The process's one TCP listener on the any-address and a free port, made
// on first use; its port is what a child on another machine is told in
// "-ParentNode". Connections it accepts wait here until the connection of
// the child they come from takes them.
class XosListeningSocket {
 public:
  // The listener (made when needed), or null with *result set to
  // 0x8000FFFF when it cannot be made.
  static XosListeningSocket* Get(Status* result);
  // Closes the listener and every connection still waiting in it.
  static void CloseProcessListener();

  ~XosListeningSocket();
  XosListeningSocket(const XosListeningSocket&) = delete;
  XosListeningSocket& operator=(const XosListeningSocket&) = delete;

  std::uint16_t Port() const { return port_; }

  // A waiting connection from the address (from anywhere when the address
  // is unknown), or -1 when none has arrived.
  int TakeConnection(const platform::HostAddress& from);

 private:
  // Connections nobody claims are dropped beyond this many, oldest first.
  static constexpr std::size_t kMaxWaiting = 32;

  struct Waiting {
    platform::HostAddress from;
    int socket;
  };

  XosListeningSocket(int socket, std::uint16_t port) : socket_(socket), port_(port) {}

  int socket_;
  std::uint16_t port_;
  std::vector<Waiting> waiting_;
};
