// The seam of the time-stepping core (IDA behind a nonlinear solver that
// runs the engine's corrector decomposition; Euler and RK4 beside it). When
// no core could be made the server answers integration with
// kStatusNoDynamicCore.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/status.h"

namespace integrator {

class DynamicCore {
 public:
  virtual ~DynamicCore() = default;
  // Mode 3: integrate from the current time to `target`; 1 when a
  // discontinuity lies before it (*reached then the step's end).
  virtual Status IntegrateTo(double target, double* reached) = 0;
  // The model holds consistent values at `time` (after initialisation or
  // re-initialisation): the next leg starts there at order 1.
  virtual void Restart(double time) = 0;
  // After an initialisation where the last leg was ended at the same time:
  // the engine is handed the derivatives' jump there (see SensitivityJump).
  virtual Status JumpSensitivities() = 0;
  virtual Status Finish() = 0;
  // The engine's time (after a rewind, say): where a new leg starts.
  virtual void Synchronise(double time) = 0;
  // 1/cj of the current corrector.
  virtual Status StepQuantity(double* value) = 0;
  // x' = x'pred + cj (x - xpred) for the states a group has solved.
  virtual Status ExchangeStates(std::int32_t count, const std::int32_t* positions,
                                double* values) = 0;
  // Sensitivity row `row` (0-based) at the time reached, one value per
  // problem variable; kStatusNoStep without an integration history.
  virtual Status SensitivityRow(std::int32_t row, double* values) = 0;
  // The time derivatives at the time reached.
  virtual Status TimeDerivatives(double* values) = 0;
  virtual Status ReadValues(std::vector<double>* values) = 0;
  // Sensitivity-residual calls IDAS made (none are wanted).
  virtual long SensitivityResidualCalls() const = 0;
  // Steps taken since set-up, for {00380024}.
  virtual std::uint32_t StepCount() const = 0;
};

class IntegratorServer;
// IDA (Gear12, ImplicitEuler) or fixed steps (Euler, RK4) over the server's
// problem; null when SUNDIALS cannot make its context.
std::unique_ptr<DynamicCore> MakeDynamicCore(IntegratorServer* server);

}  // namespace integrator
