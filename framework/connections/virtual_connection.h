// A process started on another machine through its remote-execution
// service (TCP port 512). The connection is the stream of that exchange: it
// starts the process, then carries the process's output (or the service's
// reason for refusing). The XosProcess of the started child owns it.
#pragma once

#include <cstdint>
#include <string>

#include "framework/connections/connection.h"

class XosComputeNode;
class XosProcess;

// The password as the remote-execution service expects it: each character
// of the printable alphabet (32 to 126 without the excluded characters) is
// moved back (key character AND 7) places in the alphabet, the key used in
// turn, and the moved characters are laid out by a walk that starts in the
// middle and steps on by each laid character's code, past places already
// taken; other characters keep their places. 0x8000020F, and nothing
// scrambled, for a password of more than 130 characters.
Status XosScramblePassword(const char* password, const char* key, const char* excluded,
                           std::string* scrambled);

class XosVirtualConnection : public XosConnection {
 public:
  static constexpr std::uint16_t kRemoteExecutionPort = 512;
  static constexpr std::size_t kMaxPasswordLength = 130;

  // Starts the command line on the node's machine as the node's user:
  // "0", user, scrambled password and command line, each ending with a zero
  // byte; the service answers one byte, 0 for started. *result: 0; 0x8000FFFF
  // when the service refuses (its reason can then be read); 0x8000004E when
  // the service cannot be reached. Refused unsent, with a text to read:
  // 0x8000FFFF for a node without an address; 0x8000020F for a password
  // that is too long or a field that holds a zero byte.
  XosVirtualConnection(const XosComputeNode& node, XosProcess* process,
                       const std::string& command_line, Status* result,
                       std::uint16_t service_port = kRemoteExecutionPort);
  ~XosVirtualConnection() override;

  // Started: the process's output, without blocking (0x80000035 once it has
  // ended). Refused: the service's reason, waiting for it until 2 s after
  // the refusal at most, however it is read. Not sent: the carried text,
  // once.
  Status Read(void* buffer, std::uint32_t count, std::uint32_t* read) override;
  // Started: into the process's input. Otherwise 66 (closed) or 37.
  Status Write(const void* buffer, std::uint32_t count, std::uint32_t* written) override;
  // 0 when started, otherwise the failure of the start.
  Status Open() override;
  const char* GetReadName() override;
  const char* GetWriteName() override;

  // The text a failed start carries ("" when none).
  const std::string& Text() const { return text_; }
  XosProcess* Process() const { return process_; }
  const std::string& HostName() const { return host_name_; }

 private:
  static constexpr int kExchangeTimeoutMs = 30000;
  static constexpr std::uint32_t kReasonTimeoutMs = 2000;

  Status Start(const XosComputeNode& node, const std::string& command_line,
               std::uint16_t service_port);
  // Closes the stream, keeping the text to be read in its place.
  Status NotStarted(Status result, std::string text);

  std::string host_name_;
  XosProcess* process_;
  int stream_ = -1;
  Status start_status_ = 0;
  std::string text_;
  std::size_t text_read_ = 0;
  std::uint32_t refused_at_ = 0;  // tick count
};
