// The part of the I/O queue that the process manager uses: a started child
// becomes a peer of the queue, connected by what XosConnection::Create
// chooses for its machine.
#pragma once

#include <cstdint>

class DseProcess;
class XosComputeNode;

class DseIOPeers {
 public:
  // 1 when added; 0 when the peer number is the queue's own or present.
  virtual std::int32_t AddPeer(XosComputeNode* node, std::uint32_t own_number,
                               std::uint32_t peer_number, std::uint32_t session_id,
                               DseProcess* process) = 0;

 protected:
  ~DseIOPeers() = default;
};
