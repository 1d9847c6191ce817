// What the run loop asks of the results manager, which sits above it: the
// communication schedule that gives dynamic steps their targets, the queued
// step assignments applied at run start, the re-initialisation mark read by
// the initialisation step, and the automatic snapshot after each run step.
// The results manager implements it and puts itself here for its lifetime;
// the loop finds no manager (null) before then. Server thread, or the run
// thread while it holds the problem manager's baton.
#pragma once

#include <cstdint>

#include "platform/status.h"

class RunResultsSeam {
 public:
  // Step flags of a run step record, as the automatic snapshot reads them.
  static constexpr std::uint32_t kStepRecorded = 0x1;
  static constexpr std::uint32_t kStepEvent = 0x2;
  static constexpr std::uint32_t kStepSteadyState = 0x10;
  static constexpr std::uint32_t kStepInitialisationRun = 0x20;
  static constexpr std::uint32_t kStepCommunication = 0x40;
  static constexpr std::uint32_t kStepInitialisation = 0x80;
  static constexpr std::uint32_t kStepRewind = 0x100;

  // The time of the next communication: the count n goes up by one and the
  // answer is t0 + n * interval.
  virtual double NextCommunicationTime() = 0;
  // t0 becomes the time, n goes back to 0 and the interval hold is cleared.
  virtual void SetCommunicationTime(double time) = 0;
  // Applies the queued step assignments at the time; the flags tell whether
  // the solution must restart and whether any value changed.
  virtual Status ApplyAssignments(bool* restart, bool* changed, double time) = 0;
  // Whether assignments asked for a re-initialisation since the last call;
  // the mark is cleared.
  virtual bool TakeReinitialisationMark() = 0;
  // The automatic snapshot after a run step that reached `step_time` with
  // the step flags; the run position is time, run number and snapshot count.
  // With `pause` (the client paused after the simulation had moved past the
  // run position) a communication step stores the run position at `time`
  // even when it stopped short of its point. Returns whether the step counts
  // as an event (the step record's handed flag).
  virtual bool AfterRunStep(double time, std::uint16_t run, std::int16_t count,
                            std::uint32_t step_flags, double step_time, double tolerance,
                            bool pause) = 0;

  static RunResultsSeam* Current();
  static void SetCurrent(RunResultsSeam* seam);

 protected:
  ~RunResultsSeam() = default;
};
