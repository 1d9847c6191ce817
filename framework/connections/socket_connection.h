// TCP connections to processes on other machines, and the one listening
// socket of the process through which children on other machines reach it.
#pragma once

#include <cstdint>
#include <string>

#include "framework/connections/connection.h"
#include "platform/socket.h"
#include "platform/status.h"

// A connection to a peer on another machine. When the node names a
// listening port (a child's parent) the connection connects there, without
// waiting: one connect is under way at a time and each Open looks whether
// it has been made (a parent host that does not answer would otherwise hold
// the server thread for the system's connect time-out, minutes). Otherwise (a parent's child) it
// takes the connection that arrives at the listener of that child. The socket is non-blocking.
class XosSocketConnection : public XosConnection {
 public:
  // Wait mode 0: one send per write; otherwise up to 10 sends while data
  // remains and the socket takes it.
  static constexpr std::int32_t kDefaultWaitMode = 10;

  // peer_number: the child whose listener a parent's side takes from.
  XosSocketConnection(const XosComputeNode& node, std::uint32_t peer_number);
  // A parent's side also closes its child's listener.
  ~XosSocketConnection() override;

  // Not open: 0xA0000035 when closed by the peer, 37 when it cannot be
  // opened (nothing read). Nothing to read now: 0 bytes, 0. The peer ended
  // the stream: 0x80000042; reset: 0x80000035 (both mark it closed).
  Status Read(void* buffer, std::uint32_t count, std::uint32_t* read) override;
  // Not open: 66 when closed by the peer, 37 when it cannot be opened. A
  // socket that takes nothing more ends the write with what it took. A
  // failure comes with nothing written: one that follows sends of the same
  // call ends it with what they took instead, and the next write meets it,
  // so that no byte is ever sent twice.
  Status Write(const void* buffer, std::uint32_t count, std::uint32_t* written) override;
  Status Open() override;
  // Open: the socket. Not open: the connect under way, or the listener the
  // child arrives at.
  void AddReadiness(std::vector<platform::Readiness>* items, bool read, bool write) override;

  const std::string& HostName() const { return host_name_; }

 protected:
  // One non-blocking send on the socket.
  virtual platform::Transfer SendOnce(const void* data, std::size_t count);

 private:
  int socket_ = -1;
  std::string host_name_;
  platform::HostAddress address_;
  std::uint16_t port_ = 0;
  std::uint32_t peer_number_ = 0;
  std::int32_t wait_mode_ = kDefaultWaitMode;
  bool blocking_ = true;
};

// A TCP listener that waits for one child. Its port is what that child is
// told in "-ParentNode". The engine's listener for a child on another
// machine listens on every interface and takes whatever arrives there as
// that child, from whichever address it comes (the child's host can be any
// of the network's); children of one host cannot be given each other's
// connections. A loopback listener (a child on this machine reached by TCP,
// as vantor-client --tcp starts its engine) listens on 127.0.0.1 alone and
// takes only a connection from a socket of this user and, once told, of
// the child's process: anything else is closed unread and the listener
// waits on. The listeners are kept by child number; the connection of the
// child closes its listener once it has taken the child's connection (or
// when it goes), the socket layer closes the rest.
class XosListeningSocket {
 public:
  // The child's listener (made when needed), or null with *result set to
  // 0x8000FFFF when it cannot be made. `loopback` counts when it is made.
  static XosListeningSocket* Get(std::uint32_t child_number, Status* result, bool loopback = false);
  // The child's listener; null when none is open.
  static XosListeningSocket* Find(std::uint32_t child_number);
  // Closes the child's listener and any connection waiting in it.
  static void Close(std::uint32_t child_number);
  static void CloseAll();

  ~XosListeningSocket();
  XosListeningSocket(const XosListeningSocket&) = delete;
  XosListeningSocket& operator=(const XosListeningSocket&) = delete;

  std::uint16_t Port() const { return port_; }
  int Descriptor() const { return socket_; }

  // A loopback listener takes a connection only from this process or one
  // it started (the child's process, once it runs).
  void ExpectProcess(int process) { expected_process_ = process; }

  // A connection that has arrived, or -1 when none has.
  int TakeConnection();

 private:
  XosListeningSocket(int socket, std::uint16_t port, bool loopback)
      : socket_(socket), port_(port), loopback_(loopback) {}

  int socket_;
  std::uint16_t port_;
  bool loopback_;
  int expected_process_ = 0;
};
