// The results manager joined to the control loop: the loop's results seam
// answered by the real manager (assignments, run position, communication
// schedule, snapshots, the time message), and the manager's view of the
// problem answered by the problem manager and the current problem. The
// engine makes one after its problem manager, installs it there and takes
// it down before the problem manager goes.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "control/problem/run_ops.h"
#include "daes/model/services.h"
#include "results/manager/results_mgr.h"

class DAESProblem;
class DAESVarTableEntry;
class SimProblemMgr;
class ValueDumpFile;

class SimRunResultsJoin;

// A problem variable as queued assignments see it. A member of an
// equivalence stands for its whole group: what is set reaches every member
// through the equivalence the current problem holds for it.
class SimEntryAssignable final : public AssignableVariable {
 public:
  SimEntryAssignable(DAESVarTableEntry* entry, SimRunResultsJoin* join)
      : entry_(entry), join_(join) {}
  std::uint32_t Flags() const override;
  void SetFlags(std::uint32_t flags) override;
  std::string Name() const override;
  std::int32_t Index() const override;
  void Bounds(double* lower, double* upper) const override;
  double Value() const override;
  void SetValue(double value) override;
  void SetValueMarked(double value, bool marked) override;
  std::uint32_t Specification() const override;
  Status SetSpecification(std::uint32_t code) override;
  std::vector<AssignableVariable*> Group() override;
  bool HoldsTypedValue() const override;
  void GetTypedValue(SUValue* value) const override;
  void SetTypedValue(const SUValue& value) override;

 private:
  // The equivalence the current problem holds for a merged entry, else the
  // entry itself; looked up anew, as an equivalence goes with its problem.
  DAESVarTableEntry* Target() const;

  DAESVarTableEntry* entry_;
  SimRunResultsJoin* join_;
};

// A problem entry as result items see it: a variable when its kind test
// answers 0, else a value object.
class SimEntryObject final : public ResultObject {
 public:
  SimEntryObject(DAESVarTableEntry* entry, SimRunResultsJoin* join)
      : entry_(entry), join_(join) {}
  DAESVarTableEntry* Entry() const { return entry_; }
  bool IsVariable() const override;
  std::string Name() const override;
  std::uint16_t TypeCode() const override;
  std::uint32_t Flags() const override;
  std::int32_t Index() const override;
  double RealValue() const override;
  void GetTypedValue(SUValue* value) const override;
  void SetReal(double value) override;
  Status SetTypedValue(const SUValue& value) override;
  void Bounds(double* lower, double* upper) const override;
  void SetBounds(double lower, double upper) override;
  void SetScale(double scale) override;
  Status SetSpecification(std::uint32_t code) override;
  std::uint32_t Specification() const override;
  // A state's derivative, a derivative's state; null for any other.
  ResultObject* Companion() override;
  // The engine's variables keep one specification code and one switch
  // (flag bit 19): there is nothing beside them to set.
  Status SetSecondCode(std::uint32_t) override { return status::kOk; }
  void SetSecondSwitch(bool) override {}
  // Flag bit 19, as assignments set it.
  void SetFirstSwitch(bool on) override;
  // The description.
  void SetText(const char* text) override;
  void SetFlagBits(std::uint32_t bits) override;

 private:
  DAESVarTableEntry* entry_;
  SimRunResultsJoin* join_;
};

class SimRunResultsJoin final : public SimRunResults,
                                public ResultsProblemSide,
                                public DAESResultsServices {
 public:
  // Makes the results manager, registers its services (55 and 65) and
  // installs itself as the problem manager's results seam; *result (may be
  // null) is 0 or the failed registration.
  SimRunResultsJoin(SimProblemMgr& manager, DseServerRegistry* registry, Status* result);
  ~SimRunResultsJoin() override;
  SimRunResultsJoin(const SimRunResultsJoin&) = delete;
  SimRunResultsJoin& operator=(const SimRunResultsJoin&) = delete;

  SimResultsMgr& Manager() { return *results_; }
  // The variables the model asked to record in the results.
  const std::set<DAESVarTableEntry*>& Recorded() const { return recorded_; }
  // Snapshots asked for by the automatic snapshot, not yet taken.
  const std::vector<std::string>& QueuedSnapshots() const { return queued_; }
  // Messages left on another thread than the one that made the join (the
  // server thread), sent at the loop's next pass through here.
  std::size_t HeldMessageCount();
  void SendHeldMessages();

  // --- SimRunResults ---
  Status ApplyAssignments(bool* applied) override;
  double RunPosition() override;
  void ResetStepClock() override;
  Status SaveQueuedSnapshots() override;
  Status TakeSnapshot(const char* description) override;
  // At the run clock (time, counter and stop counter as the run position);
  // the count it raises goes back to the clock.
  Status TakeInitialSpecificationSnapshot() override;
  void SetDynamic(bool dynamic) override { dynamic_ = dynamic; }
  void RecordRunClock() override;
  bool ReinitialisationMark() override;
  void ClearReinitialisationMark() override { mark_ = false; }
  bool PendingPlotRestart() override { return false; }
  double LastPlottedTime() override;
  void ExtendPlotHistory(double time) override;
  Status HandleCommand(std::uint32_t string_count, const char* const* strings,
                       std::uint32_t integer_count, const std::int32_t* integers,
                       std::uint32_t real_count, const double* reals) override;
  Status EndOfDynamicRun() override;
  void MoveTo(double time) override;
  Status SendTimeMessage(double time) override;
  Status OpenRecords() override;
  Status TakeDescribedSnapshot(const char* text, std::int32_t, std::int32_t, std::int32_t,
                               const char*) override;
  // The snapshot after a collected step: the results manager reads the
  // reached event (the head of the timed events) and it is removed when the
  // clock reached it, so that the next step targets the next event.
  Status TakeStepSnapshot(double time, std::uint16_t counter, bool pause) override;
  Status RestoreSnapshotValues(double* time, std::uint16_t* counter, std::int32_t flag) override;
  // The quality-control value dump over the current problem's variables.
  // The file is written from the first table or line on; the exclusions
  // are taken when the dump first writes, so a later rebuild that frees
  // them does not let excluded names in.
  Status OpenValueDump(const char* file) override;
  // One name substring per line; blank lines are skipped.
  Status LoadDumpExclusions(const char* file) override;
  void FreeDumpTables() override;
  Status WriteValues(const char* label, double time) override;
  Status WriteDumpLine(const char* text) override;
  Status WriteSensitivity(DAESVarTableEntry* y, DAESVarTableEntry* x, double value) override;
  Status WriteSwitchTimeSensitivity(DAESVarTableEntry* y, std::int32_t row, double value) override;
  void CloseValueDump() override;
  double CommunicationInterval() const override { return results_->CommunicationInterval(); }
  void SetCommunicationInterval(double interval) override;
  double CommunicationStart() const override { return results_->CommunicationStart(); }
  void SetCommunicationTime(double start) override { results_->SetCommunicationTime(start); }
  std::int64_t CommunicationCount() const override {
    return static_cast<std::int64_t>(results_->CommunicationCount());
  }
  double NextCommunicationTime() override { return results_->NextCommunicationTime(); }
  void LowerCommunicationCount() override { results_->LowerCommunicationCount(); }

  // --- ResultsProblemSide ---
  double CurrentTime() override;
  std::int32_t RunMode() override;
  // Every hook point of the actions starts over.
  void ResetRunHooks() override;
  void SetValuesChanged() override;
  Status RequestSnapshot(const char* name, bool first) override;
  void PostEvent(std::uint32_t number, const char* text) override;
  void Send(DseMessage* message) override;
  // The tree of the records opened last: each stored variable and
  // parameter under its name's parts ("Model", ".x"), holding its record.
  BvuDirectoryProper* VariableTree() override { return variable_tree_.get(); }
  Status StoreRestoredValues(const SUPackedValueTable& values) override;
  bool WantsSnapshotText() override;
  // Command 59 of service 55 with the id, waited for on the server thread.
  Status ConfirmRestore(std::uint32_t id, std::int32_t wait_ms) override;
  // The problem's variables as the plot history records them.
  ResultModel* Model() override;
  double Option(std::int32_t number) override;
  void Print(Status status, const std::string& text) override;
  // Whether a restore moved the run since the last step started.
  bool RestartRequested() override;
  void NotifyIntegrator() override;
  void SetStructureChanged() override;
  // The run status record as snapshots carry it (time, counter, stops);
  // a restored block is kept here, not put back into the clock, which
  // follows the restored run position instead.
  std::vector<std::uint8_t>* ProblemBlock() override;
  AssignableVariable* VariableAt(std::int32_t index) override;
  std::int32_t ValueIndex(const ResultVariable* variable) override;
  // The implicit events of the current schedule, by their equations'
  // names, and their states.
  BvuDirectoryProper* EventTree() override { return event_tree_.get(); }
  std::vector<std::uint32_t>* EventSchedule() override;
  Status RestoreEventSchedule(const std::vector<std::uint32_t>& entries) override;

  ResultObject* ResolveObject(const BvuIdPath& path) override;
  ResultObject* ObjectAt(std::int32_t index) override;
  AssignableVariable* Assignable(ResultObject* object) override;
  ResultVariable* PlotVariable(ResultObject* object) override;
  // A step computes on the run thread (or the server waits on the client
  // in the middle of an operation).
  bool RunActive() override;
  Status QueueSnapshot(const char* name, bool first, bool second, bool third,
                       const char* description) override;
  // The restored snapshot's values go into the problem at once, and the run
  // moves to its time.
  void SetRestored() override;
  void SetRestartTime(double time) override;
  // Option 70 ("Scaling") is asked for, which stages an option change.
  void SetScalingSwitches() override;
  // The kept result requests refill: their flag words show the change.
  void SpecificationChanged(std::int32_t which) override;
  // The current problem's present values (none without a problem).
  void StorePosition(SUPackedValueTable* values) override;
  // The run-state notification's one-shot bits.
  void AddRequestBits(std::uint32_t bits) override;
  // The current delay manager records its variables at the simulation time.
  void NotifyDelayManager() override;
  void UpdateMonitors(double time) override;

  // The record of the entry in the value table opened last, or -1.
  std::int32_t RecordOf(const DAESVarTableEntry* entry) const;
  // The one stand-in of the entry for assignments and for result items.
  SimEntryAssignable* AssignableOf(DAESVarTableEntry* entry);
  SimEntryObject* ObjectOf(DAESVarTableEntry* entry);

  // --- DAESResultsServices ---
  void AddVariable(DAESVarTableEntry* entry) override;
  void RemoveVariable(DAESVarTableEntry* entry) override;
  // A variable going away: forgotten, and its queued assignments dropped.
  void ForgetEntry(DAESVarTableEntry* entry) override;
  // An outside component's value: queued for the next step (kind 24).
  Status AssignValue(DAESVarTableEntry* entry, double value, std::int32_t code,
                     std::uint32_t flags) override;

 private:
  class DumpModel;
  // Made on the first write (under dump_lock_); null without a file.
  ValueDumpFile* Dump();

  struct TreeDeleter {
    void operator()(BvuDirectoryProper* tree) const;
  };
  using Tree = std::unique_ptr<BvuDirectoryProper, TreeDeleter>;
  // The records' entries in value-table order, their variable tree, and
  // the event schedule's tree, from the problem whose records open.
  void IndexRecords(DAESProblem* problem, SUPackedValueTable* values);
  void IndexEvents();

  SimProblemMgr& manager_;
  std::vector<DAESVarTableEntry*> records_;
  std::map<const DAESVarTableEntry*, std::int32_t> record_of_;
  Tree variable_tree_;
  Tree event_tree_;
  std::vector<std::uint32_t> event_states_;
  std::vector<std::uint8_t> block_;
  // Made before the results manager, which asks for it to keep a plot
  // history.
  class PlotModel;
  std::unique_ptr<PlotModel, void (*)(PlotModel*)> plot_model_;
  std::unique_ptr<SimResultsMgr> results_;
  // Steps write from the run thread, lines and closing come from the
  // server thread.
  std::mutex dump_lock_;
  std::string dump_name_;
  std::vector<std::string> dump_excluded_;
  std::unique_ptr<DumpModel> dump_model_;
  std::unique_ptr<ValueDumpFile> dump_;
  std::vector<std::string> queued_;
  std::set<DAESVarTableEntry*> recorded_;
  std::map<DAESVarTableEntry*, std::unique_ptr<SimEntryAssignable>> assignables_;
  std::map<DAESVarTableEntry*, std::unique_ptr<SimEntryObject>> objects_;
  bool dynamic_ = false;
  bool mark_ = false;
  std::thread::id server_thread_;
  std::mutex held_lock_;
  std::vector<DseMessage*> held_;
};
