#include "framework/connections/socket_connection.h"

#include <cstdio>
#include <map>
#include <memory>

#include "framework/connections/io_status.h"
#include "framework/processes/compute_node.h"
#include "platform/socket_peer.h"

namespace {

std::map<std::uint32_t, std::unique_ptr<XosListeningSocket>> child_listeners;

}  // namespace

XosSocketConnection::XosSocketConnection(const XosComputeNode& node, std::uint32_t peer_number)
    : host_name_(node.host_name), address_(node.address), port_(node.listening_port),
      peer_number_(peer_number) {}

XosSocketConnection::~XosSocketConnection() {
  platform::CloseSocket(socket_);
  if (port_ == 0) XosListeningSocket::Close(peer_number_);
}

Status XosSocketConnection::Open() {
  if (IsOpen()) return status::kOk;
  if (ClosedByPeer()) return status::kClosedConnection;
  if (port_ != 0) {
    int error = 0;
    if (socket_ < 0) socket_ = platform::StartConnectTcp(address_, port_, &error);
    if (socket_ < 0) return status::kNotYetOpen;
    switch (platform::FinishConnectTcp(socket_, 0, &error)) {
      case platform::ConnectProgress::kConnected:
        break;
      case platform::ConnectProgress::kPending:
        return status::kNotYetOpen;
      case platform::ConnectProgress::kFailed:
        // Not listening yet: the next Open tries again.
        platform::CloseSocket(socket_);
        socket_ = -1;
        return status::kNotYetOpen;
    }
  } else {
    XosListeningSocket* listener = XosListeningSocket::Find(peer_number_);
    const int socket = listener != nullptr ? listener->TakeConnection() : -1;
    if (socket < 0) return status::kNotYetOpen;
    // The child is here; nothing else is taken in its place.
    XosListeningSocket::Close(peer_number_);
    socket_ = socket;
  }
  blocking_ = false;
  flags_ |= kReadOpen | kWriteOpen;
  return status::kOk;
}

void XosSocketConnection::AddReadiness(std::vector<platform::Readiness>* items, bool read,
                                       bool write) {
  if (IsOpen()) {
    if (read) items->push_back({socket_, false});
    if (write) items->push_back({socket_, true});
  } else if (ClosedByPeer() || !(read || write)) {
    return;
  } else if (port_ != 0) {
    items->push_back({socket_, true});  // the connect under way ends
  } else if (const XosListeningSocket* listener = XosListeningSocket::Find(peer_number_)) {
    items->push_back({listener->Descriptor(), false});
  }
}

Status XosSocketConnection::Read(void* buffer, std::uint32_t count, std::uint32_t* read) {
  *read = 0;
  if (!IsOpen()) {
    if (ClosedByPeer()) return status::kClosedConnection;
    if (Open() != status::kOk) return status::kNotYetOpen;
  }
  const platform::Transfer transfer = platform::ReceiveSome(socket_, buffer, count);
  if (transfer.outcome == platform::TransferOutcome::kDone) {
    *read = static_cast<std::uint32_t>(transfer.bytes);
  }
  return TransferStatus(transfer, status::kConnectionClosed);
}

Status XosSocketConnection::Write(const void* buffer, std::uint32_t count, std::uint32_t* written) {
  *written = 0;
  if (!IsOpen()) {
    if (ClosedByPeer()) return status::kWriteOnClosed;
    if (Open() != status::kOk) return status::kNotYetOpen;
  }
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  const int attempts = wait_mode_ == 0 ? 1 : 10;
  for (int i = 0; i < attempts && *written < count; ++i) {
    const platform::Transfer transfer = SendOnce(bytes + *written, count - *written);
    if (transfer.outcome == platform::TransferOutcome::kWouldBlock) break;
    if (transfer.outcome != platform::TransferOutcome::kDone) {
      // The bytes already sent must be counted, or they would go again.
      if (*written > 0) break;
      return TransferStatus(transfer, status::kPeerGone);
    }
    *written += static_cast<std::uint32_t>(transfer.bytes);
  }
  return status::kOk;
}

platform::Transfer XosSocketConnection::SendOnce(const void* data, std::size_t count) {
  return platform::SendSome(socket_, data, count);
}

XosListeningSocket* XosListeningSocket::Get(std::uint32_t child_number, Status* result,
                                            bool loopback) {
  *result = status::kOk;
  std::unique_ptr<XosListeningSocket>& listener = child_listeners[child_number];
  if (!listener) {
    std::uint16_t port = 0;
    int error = 0;
    const int socket = platform::ListenTcp(
        &port, &error,
        loopback ? platform::ListenScope::kLoopback : platform::ListenScope::kAnyHost);
    if (socket < 0) {
      child_listeners.erase(child_number);
      *result = status::kUnhandled;
      return nullptr;
    }
    listener.reset(new XosListeningSocket(socket, port, loopback));
  }
  return listener.get();
}

XosListeningSocket* XosListeningSocket::Find(std::uint32_t child_number) {
  const auto found = child_listeners.find(child_number);
  return found != child_listeners.end() ? found->second.get() : nullptr;
}

void XosListeningSocket::Close(std::uint32_t child_number) { child_listeners.erase(child_number); }

void XosListeningSocket::CloseAll() { child_listeners.clear(); }

XosListeningSocket::~XosListeningSocket() { platform::CloseSocket(socket_); }

int XosListeningSocket::TakeConnection() {
  for (;;) {
    platform::HostAddress from;
    int error = 0;
    const int socket = platform::AcceptTcp(socket_, &from, &error);
    if (socket < 0 || !loopback_ || platform::IsOwnLocalPeer(socket, from, expected_process_)) {
      return socket;
    }
    // Not the child: closed before a byte goes either way.
    std::fprintf(stderr, "Refused a connection from %s: not this user's child process\n",
                 from.Text().c_str());
    platform::CloseSocket(socket);
  }
}
