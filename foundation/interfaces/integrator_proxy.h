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
  virtual bool HasCapability1() = 0;
  // Whether a group about to be solved is announced.
  virtual bool ShouldAnnounce(const void* group) = 0;
  // What the group methods ask during a solve. The verbosity flag is the
  // proxy's own (clear at start); the step quantity scales the derivative of
  // a corrector solve; an integrated explicit group's block is handed over
  // after its solve (as its DAESBlock) and the integrator's answer is the
  // group's result.
  virtual bool IsVerbose() = 0;
  virtual void SetVerbose(bool on) = 0;
  virtual double GetServerValue() = 0;
  virtual std::uint32_t ExchangeGroupStates(void* block) = 0;
  // What the nonlinear solvers are told before each solve: the
  // integrator's indeterminacy word and its interpolation value.
  virtual std::uint32_t GetAuxWord() = 0;
  virtual std::int32_t GetInterpolation() = 0;
};
