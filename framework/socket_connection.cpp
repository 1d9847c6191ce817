#include "framework/socket_connection.h"

#include <memory>

#include "framework/compute_node.h"
#include "framework/io_status.h"

namespace {

std::unique_ptr<XosListeningSocket> process_listener;

}  // namespace

XosSocketConnection::XosSocketConnection(const XosComputeNode& node)
    : host_name_(node.host_name), address_(node.address), port_(node.listening_port) {}

XosSocketConnection::~XosSocketConnection() { platform::CloseSocket(socket_); }

Status XosSocketConnection::Open() {
  if (IsOpen()) return status::kOk;
  if (ClosedByPeer()) return status::kClosedConnection;
  int socket = -1;
  if (port_ != 0) {
    int error = 0;
    socket = platform::ConnectTcp(address_, port_, kConnectTimeoutMs, &error);
  } else {
    Status result = status::kOk;
    XosListeningSocket* listener = XosListeningSocket::Get(&result);
    if (listener == nullptr) return result;
    socket = listener->TakeConnection(address_);
  }
  if (socket < 0) return status::kNotYetOpen;
  if (!platform::SetNonBlocking(socket, true)) {
    platform::CloseSocket(socket);
    return status::kUnhandled;
  }
  socket_ = socket;
  blocking_ = false;
  flags_ |= kReadOpen | kWriteOpen;
  return status::kOk;
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
    const platform::Transfer transfer =
        platform::SendSome(socket_, bytes + *written, count - *written);
    if (transfer.outcome == platform::TransferOutcome::kWouldBlock) break;
    if (transfer.outcome != platform::TransferOutcome::kDone) {
      return TransferStatus(transfer, status::kPeerGone);
    }
    *written += static_cast<std::uint32_t>(transfer.bytes);
  }
  return status::kOk;
}

XosListeningSocket* XosListeningSocket::Get(Status* result) {
  if (!process_listener) {
    std::uint16_t port = 0;
    int error = 0;
    const int socket = platform::ListenTcp(&port, &error);
    if (socket < 0) {
      *result = status::kUnhandled;
      return nullptr;
    }
    process_listener.reset(new XosListeningSocket(socket, port));
  }
  *result = status::kOk;
  return process_listener.get();
}

void XosListeningSocket::CloseProcessListener() { process_listener.reset(); }

XosListeningSocket::~XosListeningSocket() {
  for (const Waiting& w : waiting_) platform::CloseSocket(w.socket);
  platform::CloseSocket(socket_);
}

int XosListeningSocket::TakeConnection(const platform::HostAddress& from) {
  for (;;) {
    Waiting arrived;
    int error = 0;
    arrived.socket = platform::AcceptTcp(socket_, &arrived.from, &error);
    if (arrived.socket < 0) break;
    if (waiting_.size() == kMaxWaiting) {
      platform::CloseSocket(waiting_.front().socket);
      waiting_.erase(waiting_.begin());
    }
    waiting_.push_back(arrived);
  }
  for (auto w = waiting_.begin(); w != waiting_.end(); ++w) {
    if (!from.Known() || w->from == from) {
      const int socket = w->socket;
      waiting_.erase(w);
      return socket;
    }
  }
  return -1;
}
