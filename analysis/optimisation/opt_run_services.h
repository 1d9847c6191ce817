// What the optimisation manager and its action ask of the run beyond the
// analysis services: the hook point, the integrator, the explicit-event
// schedule, snapshots, the problem manager's run settings and hold count,
// and sending. The engine gives one implementation over its real objects;
// tests give recording doubles. Server thread; no lock.
#pragma once

#include <cstdint>

#include "platform/status.h"

class DseMessage;

// Explicit-event codes and flags of the optimisation run.
inline constexpr std::uint32_t kOptBoundaryEvent = 0x440;
inline constexpr std::uint32_t kOptLastBoundaryEvent = 0x441;
inline constexpr std::uint32_t kOptConstraintEvent = 0x1040;
inline constexpr std::uint32_t kOptConstraintAtBoundaryEvent = 0x1440;
inline constexpr std::uint32_t kOptBoundaryFlag = 0x400;
inline constexpr std::uint32_t kOptConstraintFlag = 0x1000;

// The problem manager's current run-settings record.
struct OptRunSettings {
  std::uint64_t value = 0;
  std::uint16_t flags = 0;
};

class OptimisationRunServices {
 public:
  virtual ~OptimisationRunServices() = default;
  // The action manager's current hook point.
  virtual std::int32_t HookPoint() = 0;
  virtual void ClearRunFlags(std::uint32_t flags) = 0;
  virtual void SetRunValue(double value) = 0;
  virtual Status IntegratorStatus() = 0;
  virtual double CurrentTime() = 0;
  virtual Status StopIntegratorAt(double time) = 0;
  // Ends the integrator's leg where it stands: the controls have just
  // switched, and a step must not reach back across the switch. The state
  // sensitivities are kept for the next leg.
  virtual Status RestartIntegration() = 0;
  virtual Status ScheduleEvent(std::uint32_t code, double time, double tolerance) = 0;
  // The real option ExplicitEventTolerance.
  virtual double ExplicitEventTolerance() = 0;
  virtual Status TakeNamedSnapshot(const char* name, std::int32_t* id) = 0;
  virtual Status RestoreSnapshot(std::int32_t id) = 0;
  virtual OptRunSettings GetRunSettings() = 0;
  virtual void WritePendingRunSettings(const OptRunSettings& settings) = 0;
  virtual void ClearPendingRunSettings() = 0;
  virtual void SetRefreshFlag() = 0;
  virtual void ChangeHoldCount(bool raise) = 0;
  // Sends without waiting; takes the message.
  virtual Status Send(DseMessage* message) = 0;
};
