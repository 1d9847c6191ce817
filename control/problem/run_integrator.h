// What the run steps and the client requests use of the run's integrator.
// The integrator server proxy stands behind it in the engine; tests put a
// recording fake in its place. Every operation is the integrator's to
// supply.
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
  virtual Status InitialiseAt(double time) = 0;
  virtual Status Initialise() = 0;
  // *reached gets the time the integration stopped at.
  virtual Status IntegrateTo(double* reached, double time) = 0;
  // Narrows [low, *high] around a fired event; *high ends at its upper side.
  virtual Status LocateDiscontinuity(double low, double* high, double tolerance, bool finalise,
                                     Status* status) = 0;
  virtual Status TransferSensitivities(double time) = 0;
  virtual Status SynchroniseTime() = 0;
  virtual Status Finish() = 0;
  virtual Status Reinitialise(double time, bool at_event) = 0;
  // Event location, and sensitivities carried by the integrator.
  virtual bool HasCapability0() const = 0;
  virtual bool HasCapability3() const = 0;
  // The status the integrator was left in (its creation status at first);
  // solver statistics are refused while it says no solvers can be made.
  virtual Status ErrorStatus() const = 0;
  virtual Status ForwardToServer16(std::int32_t code, void* data) = 0;
  // The problem it works on goes away, or the solver objects or the group
  // methods change: it lets go of its group over the problem and builds it
  // again at its next call.
  virtual Status ReleaseSolvers() = 0;
  // The last nested run of an analysis is over: the integrator reports
  // its failures again.
  virtual Status NestedRunsEnded() = 0;
  // The proxy the model asks what the integrator can do; null for none.
  virtual UnifiedIntegratorProxy* Proxy() = 0;
};
