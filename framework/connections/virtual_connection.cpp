#include "framework/connections/virtual_connection.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "framework/connections/io_status.h"
#include "framework/processes/compute_node.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace {

constexpr char kPasswordKey[] = "qomvex";
constexpr char kPasswordExcluded[] = ",\"";
constexpr char kNetworkProblems[] =
    "Network Problems, possibly REXEC service not running on server machine.";

}  // namespace

Status XosScramblePassword(const char* password, const char* key, const char* excluded,
                           std::string* scrambled) {
  scrambled->clear();
  if (password == nullptr) password = "";
  if (key == nullptr) key = "";
  if (excluded == nullptr) excluded = "";
  const std::size_t n = std::strlen(password);
  if (n > XosVirtualConnection::kMaxPasswordLength) return status::kBadArguments;

  std::string alphabet;
  for (int c = 32; c <= 126; ++c) {
    if (std::strchr(excluded, c) == nullptr) alphabet += static_cast<char>(c);
  }
  const std::size_t key_length = std::strlen(key);
  std::string result(n, '\0');
  std::vector<bool> taken(n, false);
  std::string moved;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t place = alphabet.find(password[i]);
    if (place == std::string::npos) {
      result[i] = password[i];
      taken[i] = true;
      continue;
    }
    const std::size_t shift = key_length == 0 ? 0 : (key[i % key_length] & 7);
    moved += alphabet[(place + alphabet.size() - shift) % alphabet.size()];
  }
  std::size_t place = n / 2;
  for (char c : moved) {
    while (taken[place]) place = (place + 1) % n;
    result[place] = c;
    taken[place] = true;
    place = (place + static_cast<unsigned char>(c)) % n;
  }
  *scrambled = std::move(result);
  return status::kOk;
}

XosVirtualConnection::XosVirtualConnection(const XosComputeNode& node, XosProcess* process,
                                           const std::string& command_line, Status* result,
                                           std::uint16_t service_port)
    : host_name_(node.host_name), process_(process) {
  start_status_ = Start(node, command_line, service_port);
  *result = start_status_;
}

XosVirtualConnection::~XosVirtualConnection() { platform::CloseSocket(stream_); }

Status XosVirtualConnection::NotStarted(Status result, std::string text) {
  text_ = std::move(text);
  platform::CloseSocket(stream_);
  stream_ = -1;
  MarkClosedByPeer();
  return result;
}

Status XosVirtualConnection::Start(const XosComputeNode& node, const std::string& command_line,
                                   std::uint16_t service_port) {
  // A zero byte would end its field early and shift the ones after it.
  for (const std::string* field : {&node.user, &node.password, &command_line}) {
    if (field->find('\0') != std::string::npos) {
      return NotStarted(status::kBadArguments, "A user name, password or command line for " +
                                                   node.host_name + " holds a zero byte.");
    }
  }
  std::string password;
  if (XosScramblePassword(node.password.c_str(), kPasswordKey, kPasswordExcluded, &password) !=
      status::kOk) {
    return NotStarted(status::kBadArguments,
                      "The password for " + node.host_name + " is longer than " +
                          std::to_string(kMaxPasswordLength) + " characters.");
  }
  if (!node.address.Known()) {
    return NotStarted(status::kUnhandled, "No Network information for machine " + node.host_name);
  }
  int error = 0;
  stream_ = platform::ConnectTcp(node.address, service_port, kExchangeTimeoutMs, &error);
  if (stream_ < 0) return NotStarted(status::kNetworkFailure, kNetworkProblems);
  // No separate error port: "0". Every field ends with its zero byte.
  std::string request("0", 2);
  for (const std::string& field : {node.user, password, command_line}) {
    request.append(field.c_str(), field.size() + 1);
  }
  if (!platform::SendAll(stream_, request.data(), request.size(), kExchangeTimeoutMs, &error)) {
    return NotStarted(status::kNetworkFailure, kNetworkProblems);
  }
  std::uint8_t answer = 1;
  const platform::Transfer reply = platform::ReceiveWithin(stream_, &answer, 1, kExchangeTimeoutMs);
  if (reply.outcome != platform::TransferOutcome::kDone || reply.bytes != 1 || answer != 0) {
    refused_at_ = platform::TickCount();
    return status::kUnhandled;
  }
  if (!platform::SetNonBlocking(stream_, true)) return status::kUnhandled;
  flags_ |= kReadOpen | kWriteOpen;
  return status::kOk;
}

Status XosVirtualConnection::Read(void* buffer, std::uint32_t count, std::uint32_t* read) {
  *read = 0;
  if (stream_ < 0) {
    if (text_read_ >= text_.size()) return status::kPeerGone;
    const std::size_t n = std::min<std::size_t>(count, text_.size() - text_read_);
    std::memcpy(buffer, text_.data() + text_read_, n);
    text_read_ += n;
    *read = static_cast<std::uint32_t>(n);
    return status::kOk;
  }
  // A reason that comes slowly must not hold the caller for long.
  const std::uint32_t waited = platform::TickCount() - refused_at_;
  const int left = waited >= kReasonTimeoutMs ? 0 : static_cast<int>(kReasonTimeoutMs - waited);
  const platform::Transfer transfer = IsOpen()
                                          ? platform::ReceiveSome(stream_, buffer, count)
                                          : platform::ReceiveWithin(stream_, buffer, count, left);
  if (transfer.outcome == platform::TransferOutcome::kDone) {
    *read = static_cast<std::uint32_t>(transfer.bytes);
  }
  return TransferStatus(transfer, status::kPeerGone);
}

Status XosVirtualConnection::Write(const void* buffer, std::uint32_t count,
                                   std::uint32_t* written) {
  *written = 0;
  if (!IsOpen()) return ClosedByPeer() ? status::kWriteOnClosed : status::kNotYetOpen;
  const platform::Transfer transfer = platform::SendSome(stream_, buffer, count);
  if (transfer.outcome == platform::TransferOutcome::kDone) {
    *written = static_cast<std::uint32_t>(transfer.bytes);
  }
  return TransferStatus(transfer, status::kPeerGone);
}

Status XosVirtualConnection::Open() { return start_status_; }

const char* XosVirtualConnection::GetReadName() {
  std::puts("XosConnection::GetReadName, UNKNOWN Connection Virtual I/O class called !");
  return read_name_.c_str();
}

const char* XosVirtualConnection::GetWriteName() {
  std::puts("XosConnection::GetWriteName, UNKNOWN Connection Virtual I/O class called !");
  return write_name_.c_str();
}
