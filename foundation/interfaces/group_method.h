// A method that solves one kind of equation-set group (explicit, linear,
// nonlinear, torn). Implemented by the group methods of the solve subsystem
// (solve/), which makes them from method codes; the process-wide table of
// current objects holds and deletes them. Engine-internal: no outside code
// calls it, so it keeps a real destructor.
#pragma once

#include <cstdint>

#include "platform/status.h"

class QLNGroup;

// Answer of the optional operations a method does not support.
inline constexpr Status kGroupMethodUnsupported = 0xA020FFFFu;

class QLNGroupMethod {
 public:
  virtual ~QLNGroupMethod() = default;

  // Solves the block's equations for its unknowns.
  virtual Status Solve(QLNGroup* block, std::uint8_t mode, std::uint32_t request,
                       std::uint32_t word, Status* status_out) = 0;
  // Releases the solver handle the method keeps for a block.
  virtual Status ReleaseHandle(std::int32_t /*handle*/) { return 0; }
  virtual Status Operation4() { return 0; }
  // Drops the solver work space held in a block's slot; a method that frees
  // it clears the slot.
  virtual Status DropWorkspace(void** /*slot*/) { return 0; }
  // Optional operations of the open-solver proxies.
  virtual Status Operation6(void* /*argument*/) { return kGroupMethodUnsupported; }
  virtual Status Operation7(void* /*argument*/) { return kGroupMethodUnsupported; }
  virtual Status Operation8(void* /*argument*/) { return kGroupMethodUnsupported; }
  virtual void Notify() {}
};
