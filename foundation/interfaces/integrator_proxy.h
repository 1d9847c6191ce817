// The engine's face of the outside integrator. Implemented by the integrator
// proxy of the solve subsystem (solve/); the problem manager creates it from
// the integrator option, makes it current and deletes it; the model asks it
// only what the integrator reported it can do.
#pragma once

#include <cstdint>

class UnifiedIntegratorProxy {
 public:
  virtual ~UnifiedIntegratorProxy() = default;
  // Bit value 2 of the capability word the integrator reported at set-up;
  // callers test only zero against non-zero.
  virtual std::uint32_t GetCapabilityBit2() = 0;
  // Bit value 1 of that word: procedure rows enter block Jacobians only
  // while tearing is off.
  virtual bool HasCapability1() { return false; }
  // Whether a group about to be solved is announced.
  virtual bool ShouldAnnounce(const void* /*group*/) { return false; }
  // What the group methods ask during a solve. The verbosity flag is the
  // proxy's own (clear at start); the step quantity scales the derivative of
  // a corrector solve; an integrated explicit group's block is handed over
  // after its solve (as its DAESBlock) and the integrator's answer is the
  // group's result.
  virtual bool IsVerbose() { return false; }
  virtual void SetVerbose(bool /*on*/) {}
  virtual double GetServerValue() { return 1.0; }
  virtual std::uint32_t ExchangeGroupStates(void* /*block*/) { return 0; }
};
