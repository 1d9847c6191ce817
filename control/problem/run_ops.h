// The two seams through which the control loop reaches work that lives
// elsewhere: the run steps (preparation, checks, the step itself, recording)
// and the results manager (assignments, run position, communication
// schedule, snapshots). The problem manager holds one of each; until their
// owners exist, plain versions stand in that do nothing and succeed.
#pragma once

#include <cstdint>

#include "platform/status.h"

class SimRunOps {
 public:
  virtual ~SimRunOps() = default;
  // Builds what a run needs; i1 and i2 ask for a full rebuild of the problem
  // and of the solvers.
  virtual Status PrepareSimulation(std::int32_t i1, std::int32_t i2) = 0;
  virtual Status CheckProblem() = 0;
  // Takes the collected step into the results; removes the reached event.
  virtual Status RecordStep() = 0;
  virtual Status ApplyOptionChanges() = 0;
  virtual Status TakeQueuedSnapshots() = 0;
  virtual Status Rewind() = 0;
  // The rewind with the state the loop goes to: 5 when the run clock had no
  // step, else left as it was.
  virtual Status RewindToClock(std::int32_t* /*state*/) { return Rewind(); }
  // One step of the current run, on the run thread; its result status.
  virtual Status RunStep() = 0;
  // A step that has a time message due leaves it here: the run thread never
  // sends. The collecting state sends it (*sent) and its status becomes the
  // step's result.
  virtual Status SendDueTimeMessage(bool* sent) {
    if (sent != nullptr) *sent = false;
    return status::kOk;
  }
  // Per-thread set-up of the properties system, on the run thread.
  virtual Status ThreadSetUp() { return status::kOk; }
  // Whether the properties system has its packages loaded (not negative).
  virtual Status PackagesLoaded() { return status::kOk; }
};

// What the loop reads and moves of the results manager.
class SimRunResults {
 public:
  static constexpr Status kSnapshotLimit = 0x00380010u;

  virtual ~SimRunResults() = default;
  // Applies queued value assignments; *applied tells whether one was.
  virtual Status ApplyAssignments(bool* applied) = 0;
  // The stored run position: the run clock is taken back to it.
  virtual double RunPosition() = 0;
  virtual void ResetStepClock() = 0;
  virtual Status SaveQueuedSnapshots() = 0;
  // Takes a snapshot of the problem under the description.
  virtual Status TakeSnapshot(const char* description) = 0;
  virtual void SetDynamic(bool dynamic) = 0;
  // The run clock is recorded when a scheduled step is stopped.
  virtual void RecordRunClock() = 0;
  virtual bool ReinitialisationMark() = 0;
  virtual void ClearReinitialisationMark() = 0;
  virtual bool PendingPlotRestart() = 0;
  virtual double LastPlottedTime() = 0;
  virtual void ExtendPlotHistory(double time) = 0;
  // Command 32 and the time moves of commands 2 and 94.
  virtual Status HandleCommand(std::uint32_t string_count, const char* const* strings,
                               std::uint32_t integer_count, const std::int32_t* integers,
                               std::uint32_t real_count, const double* reals) = 0;
  virtual Status EndOfDynamicRun() = 0;
  virtual void MoveTo(double time) = 0;
  virtual Status SendTimeMessage(double time) = 0;

  // What the run steps ask; each does nothing here until the results
  // manager's own version takes its place.
  // Opens the records of a freshly built problem; code part 660 says the
  // last snapshot was reused.
  virtual Status OpenRecords() { return status::kOk; }
  // A snapshot with a description: its text, three small fields and a
  // second text. Negative on failure, positive when the store is full.
  virtual Status TakeDescribedSnapshot(const char* text, std::int32_t, std::int32_t, std::int32_t,
                                       const char*) {
    return TakeSnapshot(text);
  }
  // The snapshot of a collected step at the run clock; the reached event is
  // taken from the step record and handed back handled.
  virtual Status TakeStepSnapshot(double /*time*/, std::uint16_t /*counter*/, bool /*pause*/) {
    return status::kOk;
  }
  // Writes the values of the snapshot at the run clock back (and the clock
  // the snapshot holds into *time and *counter).
  virtual Status RestoreSnapshotValues(double* /*time*/, std::uint16_t* /*counter*/,
                                       std::int32_t /*flag*/) {
    return status::kOk;
  }
  // The quality-control value dump: its file, the names left out of it,
  // and one block of values under a label.
  virtual Status OpenValueDump(const char* /*file*/) { return status::kOk; }
  virtual Status LoadDumpExclusions(const char* /*file*/) { return status::kOk; }
  virtual void FreeDumpTables() {}
  virtual Status WriteValues(const char* /*label*/, double /*time*/) { return status::kOk; }

  // The communication schedule: interval, start t0 and the count n of points
  // passed. Setting the start resets the count. The results manager keeps
  // its own; these are the plain schedule of an engine without one.
  virtual double CommunicationInterval() const { return interval_; }
  virtual void SetCommunicationInterval(double interval) { interval_ = interval; }
  virtual double CommunicationStart() const { return start_; }
  virtual void SetCommunicationTime(double start) {
    start_ = start;
    count_ = 0;
  }
  virtual std::int64_t CommunicationCount() const { return count_; }
  virtual double NextCommunicationTime() {
    ++count_;
    return start_ + static_cast<double>(count_) * interval_;
  }
  virtual void LowerCommunicationCount() {
    if (count_ > 0) --count_;
  }

 private:
  double interval_ = 0.1;
  double start_ = 0.0;
  std::int64_t count_ = 0;
};

// Stand-ins until the run steps and the results manager exist.
class SimPlainRunOps final : public SimRunOps {
 public:
  Status PrepareSimulation(std::int32_t, std::int32_t) override { return status::kOk; }
  Status CheckProblem() override { return status::kOk; }
  Status RecordStep() override { return status::kOk; }
  Status ApplyOptionChanges() override { return status::kOk; }
  Status TakeQueuedSnapshots() override { return status::kOk; }
  Status Rewind() override { return status::kOk; }
  Status RunStep() override { return status::kOk; }
};

class SimPlainRunResults final : public SimRunResults {
 public:
  Status ApplyAssignments(bool* applied) override {
    if (applied != nullptr) *applied = false;
    return status::kOk;
  }
  double RunPosition() override { return 0.0; }
  void ResetStepClock() override {}
  Status SaveQueuedSnapshots() override { return status::kOk; }
  Status TakeSnapshot(const char*) override { return status::kOk; }
  void SetDynamic(bool) override {}
  void RecordRunClock() override {}
  bool ReinitialisationMark() override { return false; }
  void ClearReinitialisationMark() override {}
  bool PendingPlotRestart() override { return false; }
  double LastPlottedTime() override { return 0.0; }
  void ExtendPlotHistory(double) override {}
  Status HandleCommand(std::uint32_t, const char* const*, std::uint32_t, const std::int32_t*,
                       std::uint32_t, const double*) override {
    return 0x8038FFFFu;
  }
  Status EndOfDynamicRun() override { return status::kOk; }
  void MoveTo(double) override {}
  Status SendTimeMessage(double) override { return status::kOk; }
};
