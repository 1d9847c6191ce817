#include "framework/connections/connection.h"

#include <cstdio>

#include "framework/connections/io_status.h"
#include "framework/connections/pipe_connection.h"
#include "framework/connections/socket_connection.h"
#include "framework/processes/compute_node.h"
#include "platform/socket.h"

XosConnection* XosConnection::Create(XosComputeNode* node, std::uint32_t own_number,
                                     std::uint32_t peer_number, std::uint32_t session_id) {
  if (node != nullptr && !node->IsLocal()) return new XosSocketConnection(*node, peer_number);
  switch (XosSocketLayer::LocalKind()) {
    case XosComputeNode::kWindowsNT:
      return new XosPipeConnection(own_number, peer_number, session_id);
    case XosComputeNode::kWindows9x:
      return new XosMailConnection(own_number, peer_number, session_id);
    default:
      return nullptr;
  }
}

bool XosConnection::IsOpen() {
  return (flags_ & (kReadOpen | kWriteOpen)) == (kReadOpen | kWriteOpen);
}

void XosConnection::MarkClosedByPeer() {
  flags_ = static_cast<std::uint16_t>((flags_ & ~(kReadOpen | kWriteOpen)) | kClosedByPeer);
}

Status XosConnection::TransferStatus(const platform::Transfer& transfer, Status closed_status) {
  switch (transfer.outcome) {
    case platform::TransferOutcome::kDone:
    case platform::TransferOutcome::kWouldBlock:
      return status::kOk;
    case platform::TransferOutcome::kClosed:
      MarkClosedByPeer();
      return closed_status;
    case platform::TransferOutcome::kBroken:
      MarkClosedByPeer();
      return status::kPeerGone;
    case platform::TransferOutcome::kFailed:
      break;
  }
  return status::kUnhandled;
}

const char* XosConnection::GetReadName() {
  std::puts("XosConnection::GetReadName, UNKNOWN Connection Base class called !");
  return read_name_.c_str();
}

const char* XosConnection::GetWriteName() {
  std::puts("XosConnection::GetWriteName, UNKNOWN Connection Base Calss called !");
  return write_name_.c_str();
}

void XosConnection::AddReadiness(std::vector<platform::Readiness>*, bool, bool) {}

std::int32_t XosEncodeNumberBase64(std::uint32_t value, char* buffer) {
  static constexpr char kDigits[] =
      "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_#";
  std::int32_t n = 0;
  do {
    buffer[n++] = kDigits[value & 63];
    value >>= 6;
  } while (value != 0);
  buffer[n] = '\0';
  return n;
}
