// What the run steps and the client requests use of the run's integrator.
// The integrator server proxy stands behind it in the engine; tests put a
// recording fake in its place. Operations a fake leaves alone answer as an
// integrator without a server would.
#pragma once

#include <cstdint>

#include "platform/status.h"

class UnifiedIntegratorProxy;

class SimRunIntegrator {
 public:
  static constexpr Status kNoServer = 0x8000FFFFu;

  virtual ~SimRunIntegrator() = default;
  virtual std::int32_t GetIntegratorKind() const = 0;
  // Tells the server a run begins or ends (run control codes).
  virtual Status BeginRun() = 0;
  virtual Status EndRun() = 0;

  // The run steps' calls.
  virtual Status InitialiseAt(double /*time*/) { return kNoServer; }
  virtual Status Initialise() { return kNoServer; }
  // *reached gets the time the integration stopped at.
  virtual Status IntegrateTo(double* /*reached*/, double /*time*/) { return kNoServer; }
  // Narrows [low, *high] around a fired event; *high ends at its upper side.
  virtual Status LocateDiscontinuity(double /*low*/, double* /*high*/, double /*tolerance*/,
                                     bool /*finalise*/, Status* status) {
    if (status != nullptr) *status = kNoServer;
    return kNoServer;
  }
  virtual Status TransferSensitivities(double /*time*/) { return status::kOk; }
  virtual Status SynchroniseTime() { return status::kOk; }
  virtual Status Finish() { return kNoServer; }
  virtual Status Reinitialise(double /*time*/, bool /*at_event*/) { return kNoServer; }
  // Event location, and sensitivities carried by the integrator.
  virtual bool HasCapability0() const { return false; }
  virtual bool HasCapability3() const { return false; }
  // The status the integrator was left in (its creation status at first);
  // solver statistics are refused while it says no solvers can be made.
  virtual Status ErrorStatus() const { return status::kOk; }
  virtual Status ForwardToServer16(std::int32_t /*code*/, void* /*data*/) { return status::kOk; }
  // The problem it works on goes away, or the solver objects or the group
  // methods change: it lets go of its group over the problem and builds it
  // again at its next call.
  virtual Status ReleaseSolvers() { return status::kOk; }
  // The last nested run of an analysis is over: the integrator reports
  // its failures again.
  virtual Status NestedRunsEnded() { return status::kOk; }
  // The proxy the model asks what the integrator can do; null for none.
  virtual UnifiedIntegratorProxy* Proxy() { return nullptr; }
};
