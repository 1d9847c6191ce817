// What the estimation action asks of the run: the hook point, the run
// state, snapshots, the explicit-event schedule and value assignment. The
// engine gives one implementation over its real objects; tests give
// recording doubles. Server thread (the action's execute); no lock.
#pragma once

#include <cstdint>

#include "platform/status.h"

class AnalysisVariable;
class DseMessage;

// Kinds of the measurement events the action schedules.
inline constexpr std::uint32_t kEstMoreMeasurements = 576;
inline constexpr std::uint32_t kEstLastMeasurement = 577;
// Flag of a measurement event in the event record.
inline constexpr std::uint32_t kEstMeasurementEventFlag = 0x200;

class EstimationRunServices {
 public:
  virtual ~EstimationRunServices() = default;
  // The action manager's current hook point.
  virtual std::int32_t HookPoint() = 0;
  // The problem manager drops run state (flags 0x500).
  virtual void DropRunState(std::uint32_t flags) = 0;
  virtual Status IntegratorStatus() = 0;
  virtual double CurrentTime() = 0;
  virtual Status TakeNamedSnapshot(const char* name, std::uint32_t* number) = 0;
  // Restores the snapshot; its time becomes the current time.
  virtual Status RestoreSnapshot(std::uint32_t number) = 0;
  // The results manager's assignment (kind 24: write-back of estimates).
  virtual Status AssignValue(AnalysisVariable* variable, double value, std::int32_t kind) = 0;
  virtual Status SetRate(AnalysisVariable* variable, double rate) = 0;
  // The explicit-event manager: schedule, its current tolerance, and the
  // record of the last event (false when there is none).
  virtual Status ScheduleEvent(std::uint32_t kind, double time, double tolerance) = 0;
  virtual double EventTolerance() = 0;
  virtual bool LastEvent(double* time, std::uint32_t* flags, double* tolerance) = 0;
  // Sends the driver's progress message to the client and lets go of it.
  virtual void SendProgress(DseMessage* message);
};
