// A connection carries the framed segments between two processes of one
// session: TCP to a peer on another machine, a pair of named pipes or
// mailslots to a peer on this one. Reads and writes never block, so that
// the controller's polling never stalls. Each peer of the I/O queue owns its
// connection.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "framework/connections/base_io.h"

class XosComputeNode;
namespace platform {
struct Transfer;
struct Readiness;
}  // namespace platform

class XosConnection : public XosBaseIO {
 public:
  static constexpr std::uint16_t kWriteOpen = 0x02;
  static constexpr std::uint16_t kReadOpen = 0x10;
  static constexpr std::uint16_t kClosedByPeer = 0x40;

  // The connection to the peer process: TCP when the node is another
  // machine; otherwise what the local system kind gives (a pipe pair for
  // NT, a mailslot pair for 9x, none for any other kind). A null node is
  // this machine. Null when no kind fits.
  static XosConnection* Create(XosComputeNode* node, std::uint32_t own_number,
                               std::uint32_t peer_number, std::uint32_t session_id);

  ~XosConnection() override = default;
  XosConnection(const XosConnection&) = delete;
  XosConnection& operator=(const XosConnection&) = delete;

  std::int32_t StreamKind() override { return kByteStream; }

  // Tries to open whatever side is not open yet: 0 once both are open, 37
  // while the peer is not there yet, or a failure.
  virtual Status Open() = 0;
  virtual bool IsOpen();
  virtual const char* GetReadName();
  virtual const char* GetWriteName();
  // Adds the descriptors whose readiness lets this connection move on: for
  // read, bytes arriving; for write, room to write; for either, the peer
  // arriving while it is not open. A kind with nothing to wait on adds none.
  virtual void AddReadiness(std::vector<platform::Readiness>* items, bool read, bool write);

  std::uint16_t Flags() const { return flags_; }

 protected:
  XosConnection() = default;

  void MarkClosedByPeer();
  bool ClosedByPeer() const { return (flags_ & kClosedByPeer) != 0; }
  // The status of a send or receive: 0 for bytes moved or none movable now;
  // a peer that is gone marks the connection closed and gives 0x80000035
  // (or closed_status for a stream it ended in order); 0x8000FFFF for any
  // other failure.
  Status TransferStatus(const platform::Transfer& transfer, Status closed_status);

  std::uint16_t flags_ = 0;
  std::string read_name_;
  std::string write_name_;
};

// Writes value in base 64, least significant digit first, with the digits
// "0"-"9", "A"-"Z", "a"-"z", "_" and "#", and a terminating zero; 0 gives
// "0". Returns the number of digits (at most 6; the buffer holds 7).
std::int32_t XosEncodeNumberBase64(std::uint32_t value, char* buffer);
