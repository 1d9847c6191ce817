// A method that solves one kind of equation-set group (explicit, linear,
// nonlinear, torn). Implemented by the group methods of the solve subsystem
// (solve/), which makes them from method codes; the process-wide table of
// current objects holds and deletes them. Engine-internal: no outside code
// calls it, so it keeps a real destructor. Every operation is the method's
// to answer.
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
  virtual Status ReleaseHandle(std::int32_t handle) = 0;
  virtual Status Operation4() = 0;
  // Drops the solver work space held in a block's slot; a method that frees
  // it clears the slot.
  virtual Status DropWorkspace(void** slot) = 0;
  // Optional operations of the open-solver proxies; kGroupMethodUnsupported
  // from a method without them.
  virtual Status Operation6(void* argument) = 0;
  virtual Status Operation7(void* argument) = 0;
  virtual Status Operation8(void* argument) = 0;
  virtual void Notify() = 0;
};
