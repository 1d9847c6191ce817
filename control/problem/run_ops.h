// The two seams through which the control loop reaches work that lives
// elsewhere: the run steps (preparation, checks, the step itself, recording)
// and the results manager (assignments, run position, communication
// schedule, snapshots). Every operation is the owner's to supply, so that
// one left out does not compile. The problem manager holds one of each;
// until their owners exist, plain versions stand in that do nothing and
// succeed.
#pragma once

#include <cstdint>

#include "platform/status.h"

class DAESVarTableEntry;

// The property manager's package test (control/properties).
Status GppiPropertiesForRun();

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
  virtual Status RewindToClock(std::int32_t* state) = 0;
  // One step of the current run, on the run thread; its result status.
  virtual Status RunStep() = 0;
  // A step that has a time message due leaves it here: the run thread never
  // sends. The collecting state sends it (*sent) and its status becomes the
  // step's result.
  virtual Status SendDueTimeMessage(bool* sent) = 0;
  // Per-thread set-up of the properties system, on the run thread.
  virtual Status ThreadSetUp() = 0;
  // Whether the properties system has its packages loaded (not negative):
  // the tables go to the package before the run.
  virtual Status PackagesLoaded() = 0;
  // After a structural analysis: the counts kept of the solution start
  // again.
  virtual void ResetStatistics() = 0;
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
  // The initial specification at the run clock, when the client's snapshot
  // flags ask for it; a run position not yet counted is counted, on the
  // clock's stop counter too.
  virtual Status TakeInitialSpecificationSnapshot() = 0;
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

  // What the run steps ask.
  // Opens the records of a freshly built problem; code part 660 says the
  // last snapshot was reused.
  virtual Status OpenRecords() = 0;
  // A snapshot with a description: its text, three small fields and a
  // second text. Negative on failure, positive when the store is full.
  virtual Status TakeDescribedSnapshot(const char* text, std::int32_t live, std::int32_t notify,
                                       std::int32_t kept, const char* description) = 0;
  // The snapshot of a collected step at the run clock; the reached event is
  // taken from the step record and handed back handled. With `pause` the
  // run position follows the clock even short of a communication point.
  virtual Status TakeStepSnapshot(double time, std::uint16_t counter, bool pause) = 0;
  // Writes the values of the snapshot at the run clock back (and the clock
  // the snapshot holds into *time and *counter).
  virtual Status RestoreSnapshotValues(double* time, std::uint16_t* counter, std::int32_t flag) = 0;
  // The quality-control value dump: its file, the names left out of it,
  // and one block of values under a label.
  virtual Status OpenValueDump(const char* file) = 0;
  virtual Status LoadDumpExclusions(const char* file) = 0;
  virtual void FreeDumpTables() = 0;
  virtual Status WriteValues(const char* label, double time) = 0;
  // A line of text and an end of line in the value dump, when it is open.
  virtual Status WriteDumpLine(const char* text) = 0;
  // A sensitivity line in the value dump, when it is open: y by the
  // parameter x, or y by the switch time of the row.
  virtual Status WriteSensitivity(DAESVarTableEntry* y, DAESVarTableEntry* x, double value) = 0;
  virtual Status WriteSwitchTimeSensitivity(DAESVarTableEntry* y, std::int32_t row,
                                            double value) = 0;
  // Closes the value dump for good: nothing more is written into it.
  virtual void CloseValueDump() = 0;

  // The communication schedule: interval, start t0 and the count n of points
  // passed. Setting the start resets the count.
  virtual double CommunicationInterval() const = 0;
  virtual void SetCommunicationInterval(double interval) = 0;
  virtual double CommunicationStart() const = 0;
  virtual void SetCommunicationTime(double start) = 0;
  virtual std::int64_t CommunicationCount() const = 0;
  // n goes up by one; t0 + n * interval.
  virtual double NextCommunicationTime() = 0;
  virtual void LowerCommunicationCount() = 0;
};

// The answers of run steps that leave no time message and keep no
// per-thread set-up or statistics. The stand-in below is told apart by its
// own type, so what else shares these answers derives from this, not it.
class SimPlainRunAnswers : public SimRunOps {
 public:
  Status RewindToClock(std::int32_t*) override { return Rewind(); }
  // No step ran, so none left a time message.
  Status SendDueTimeMessage(bool* sent) override {
    if (sent != nullptr) *sent = false;
    return status::kOk;
  }
  Status ThreadSetUp() override { return status::kOk; }
  Status PackagesLoaded() override { return GppiPropertiesForRun(); }
  void ResetStatistics() override {}
};

// Stand-ins until the run steps and the results manager exist: nothing is
// built, so there is nothing to do, and each answers success.
class SimPlainRunOps final : public SimPlainRunAnswers {
 public:
  Status PrepareSimulation(std::int32_t, std::int32_t) override { return status::kOk; }
  Status CheckProblem() override { return status::kOk; }
  Status RecordStep() override { return status::kOk; }
  Status ApplyOptionChanges() override { return status::kOk; }
  Status TakeQueuedSnapshots() override { return status::kOk; }
  Status Rewind() override { return status::kOk; }
  Status RunStep() override { return status::kOk; }
};

// The plain communication schedule of an engine without a results manager:
// points at start + k * interval.
class SimPlainSchedule : public SimRunResults {
 public:
  double CommunicationInterval() const override { return interval_; }
  void SetCommunicationInterval(double interval) override { interval_ = interval; }
  double CommunicationStart() const override { return start_; }
  void SetCommunicationTime(double start) override {
    start_ = start;
    count_ = 0;
  }
  std::int64_t CommunicationCount() const override { return count_; }
  double NextCommunicationTime() override {
    ++count_;
    return start_ + static_cast<double>(count_) * interval_;
  }
  void LowerCommunicationCount() override {
    if (count_ > 0) --count_;
  }

 private:
  double interval_ = 0.1;
  double start_ = 0.0;
  std::int64_t count_ = 0;
};

// No records, snapshots or value dump without a results manager; test
// fakes of the results side start from these answers too.
class SimPlainRecordAnswers : public SimPlainSchedule {
 public:
  Status OpenRecords() override { return status::kOk; }
  Status TakeDescribedSnapshot(const char*, std::int32_t, std::int32_t, std::int32_t,
                               const char*) override {
    return status::kOk;
  }
  Status TakeStepSnapshot(double, std::uint16_t, bool) override { return status::kOk; }
  Status RestoreSnapshotValues(double*, std::uint16_t*, std::int32_t) override {
    return status::kOk;
  }
  Status OpenValueDump(const char*) override { return status::kOk; }
  Status LoadDumpExclusions(const char*) override { return status::kOk; }
  void FreeDumpTables() override {}
  Status WriteValues(const char*, double) override { return status::kOk; }
  Status WriteDumpLine(const char*) override { return status::kOk; }
  Status WriteSensitivity(DAESVarTableEntry*, DAESVarTableEntry*, double) override {
    return status::kOk;
  }
  Status WriteSwitchTimeSensitivity(DAESVarTableEntry*, std::int32_t, double) override {
    return status::kOk;
  }
  void CloseValueDump() override {}
};

class SimPlainRunResults final : public SimPlainRecordAnswers {
 public:
  Status ApplyAssignments(bool* applied) override {
    if (applied != nullptr) *applied = false;
    return status::kOk;
  }
  double RunPosition() override { return 0.0; }
  void ResetStepClock() override {}
  Status SaveQueuedSnapshots() override { return status::kOk; }
  Status TakeSnapshot(const char*) override { return status::kOk; }
  Status TakeInitialSpecificationSnapshot() override { return status::kOk; }
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
