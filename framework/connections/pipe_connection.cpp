#include "framework/connections/pipe_connection.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "framework/connections/io_status.h"
#include "platform/socket.h"

namespace {

std::string PipeName(std::uint32_t from, std::uint32_t to, std::uint32_t session_id) {
  return "\\\\.\\Pipe\\XosFrom_" + std::to_string(from) + "_To_" + std::to_string(to) + "SESSION" +
         std::to_string(session_id);
}

std::string MailslotName(std::uint32_t from, std::uint32_t to, std::uint32_t session_id) {
  char session[8];
  char route[8];
  XosEncodeNumberBase64(session_id, session);
  XosEncodeNumberBase64(from * 16 + to, route);
  return std::string("\\\\.\\mailslot\\X") + session + "." + route;
}

// The socket paths of both names; a name that cannot become a path is
// refused once, with the reason, and the connection never opens.
Status ResolvePaths(const std::string& read_name, const std::string& write_name,
                    std::string* read_path, std::string* write_path) {
  std::string problem;
  if (platform::LocalEndpointPath(read_name, read_path, &problem) &&
      platform::LocalEndpointPath(write_name, write_path, &problem)) {
    return status::kOk;
  }
  std::fprintf(stderr, "Cannot use the connection %s: %s\n", read_name.c_str(), problem.c_str());
  return status::kBadArguments;
}

// While nobody has bound the peer's path, or its backlog is full, the peer
// is simply not there yet.
bool PeerNotThereYet(int error) {
  return error == ENOENT || error == ECONNREFUSED || error == EAGAIN;
}

}  // namespace

XosLocalPairConnection::XosLocalPairConnection(std::string read_name, std::string write_name,
                                               Connector connect, Receiver receive)
    : connect_(connect), receive_(receive) {
  read_name_ = std::move(read_name);
  write_name_ = std::move(write_name);
  refusal_ = ResolvePaths(read_name_, write_name_, &read_path_, &write_path_);
}

XosLocalPairConnection::~XosLocalPairConnection() {
  platform::CloseSocket(read_);
  platform::CloseSocket(write_);
  platform::RemoveBoundFile(bound_);
}

Status XosLocalPairConnection::OpenWriteSide() {
  if ((flags_ & kWriteOpen) != 0) return status::kOk;
  if (refusal_ != status::kOk) return refusal_;
  int error = 0;
  write_ = connect_(write_path_, &error);
  if (write_ < 0) return PeerNotThereYet(error) ? status::kNotYetOpen : status::kUnhandled;
  flags_ |= kWriteOpen;
  return status::kOk;
}

Status XosLocalPairConnection::Open() {
  if (ClosedByPeer()) return status::kPeerGone;
  const Status read_side = OpenReadSide();
  if (status::IsFailure(read_side)) return read_side;
  const Status write_side = OpenWriteSide();
  if (status::IsFailure(write_side)) return write_side;
  return IsOpen() ? status::kOk : status::kNotYetOpen;
}

void XosLocalPairConnection::AddReadiness(std::vector<platform::Readiness>* items, bool read,
                                          bool write) {
  if (ClosedByPeer()) return;
  const bool read_open = (flags_ & kReadOpen) != 0;
  if (read || (write && write_ < 0 && !read_open)) {
    items->push_back({read_open ? read_ : ArrivalDescriptor(), false});
  }
  if (write && write_ >= 0) items->push_back({write_, true});
}

Status XosLocalPairConnection::Write(const void* buffer, std::uint32_t count,
                                     std::uint32_t* written) {
  *written = 0;
  if (ClosedByPeer()) return status::kPeerGone;
  const Status opened = OpenWriteSide();
  if (status::IsFailure(opened)) return opened;
  if (opened != status::kOk) return status::kOk;
  const platform::Transfer transfer = platform::SendSome(write_, buffer, count);
  if (transfer.outcome == platform::TransferOutcome::kDone) {
    *written = static_cast<std::uint32_t>(transfer.bytes);
  }
  return TransferStatus(transfer, status::kPeerGone);
}

Status XosLocalPairConnection::Read(void* buffer, std::uint32_t count, std::uint32_t* read) {
  *read = 0;
  if (ClosedByPeer()) return status::kPeerGone;
  const Status opened = OpenReadSide();
  if (opened != status::kOk) return opened;
  const platform::Transfer transfer = receive_(read_, buffer, count);
  if (transfer.outcome == platform::TransferOutcome::kDone) {
    *read = static_cast<std::uint32_t>(transfer.bytes);
  }
  return TransferStatus(transfer, status::kPeerGone);
}

XosPipeConnection::XosPipeConnection(std::uint32_t own_number, std::uint32_t peer_number,
                                     std::uint32_t session_id)
    : XosLocalPairConnection(PipeName(peer_number, own_number, session_id),
                             PipeName(own_number, peer_number, session_id), platform::ConnectLocal,
                             platform::ReceiveSome) {
  OpenReadSide();
}

XosPipeConnection::~XosPipeConnection() { platform::CloseSocket(listener_); }

Status XosPipeConnection::OpenReadSide() {
  if ((flags_ & kReadOpen) != 0) return status::kOk;
  if (refusal_ != status::kOk) return refusal_;
  int error = 0;
  if (listener_ < 0) {
    listener_ = platform::ListenLocal(read_path_, &bound_, &error);
    if (listener_ < 0) return status::kUnhandled;
  }
  read_ = platform::AcceptLocal(listener_, &error);
  if (read_ < 0) return error == EAGAIN ? status::kNotYetOpen : status::kUnhandled;
  flags_ |= kReadOpen;
  return status::kOk;
}

XosMailConnection::XosMailConnection(std::uint32_t own_number, std::uint32_t peer_number,
                                     std::uint32_t session_id)
    : XosLocalPairConnection(MailslotName(peer_number, own_number, session_id),
                             MailslotName(own_number, peer_number, session_id),
                             platform::ConnectDatagram, platform::ReceivePacket) {
  OpenReadSide();
}

Status XosMailConnection::OpenReadSide() {
  if ((flags_ & kReadOpen) != 0) return status::kOk;
  if (refusal_ != status::kOk) return refusal_;
  int error = 0;
  read_ = platform::BindDatagram(read_path_, &bound_, &error);
  if (read_ < 0) return status::kUnhandled;
  flags_ |= kReadOpen;
  return status::kOk;
}

void XosPipeConnection::RemoveKilledPeerSocket(std::uint32_t own_number, std::uint32_t peer_number,
                                               std::uint32_t session_id) {
  std::string path, problem;
  if (!platform::LocalEndpointPath(PipeName(own_number, peer_number, session_id), &path,
                                   &problem)) {
    return;
  }
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) && info.st_uid == ::geteuid()) {
    ::unlink(path.c_str());
  }
}
