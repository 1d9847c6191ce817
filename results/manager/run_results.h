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

class DAESVarTableEntry;
class SimProblemMgr;
class ValueDumpFile;

// A problem variable as queued assignments see it.
class SimEntryAssignable final : public AssignableVariable {
 public:
  explicit SimEntryAssignable(DAESVarTableEntry* entry) : entry_(entry) {}
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
  std::vector<AssignableVariable*> Group() override { return {}; }
  bool HoldsTypedValue() const override;
  void GetTypedValue(SUValue* value) const override;
  void SetTypedValue(const SUValue& value) override;

 private:
  DAESVarTableEntry* entry_;
};

// A problem entry as result items see it: a variable when its kind test
// answers 0, else a value object.
class SimEntryObject final : public ResultObject {
 public:
  explicit SimEntryObject(DAESVarTableEntry* entry) : entry_(entry) {}
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
  Status SetSpecification(std::uint32_t code) override;
  std::uint32_t Specification() const override;
  void SetFlagBits(std::uint32_t bits) override;

 private:
  DAESVarTableEntry* entry_;
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
  void ResetRunHooks() override {}
  void SetValuesChanged() override {}
  Status RequestSnapshot(const char* name, bool first) override;
  void PostEvent(std::uint32_t number, const char* text) override;
  void Send(DseMessage* message) override;
  BvuDirectoryProper* VariableTree() override { return nullptr; }
  Status StoreRestoredValues(const SUPackedValueTable& values) override;
  bool WantsSnapshotText() override { return false; }
  // Command 59 of service 55 with the id, waited for on the server thread.
  Status ConfirmRestore(std::uint32_t id, std::int32_t wait_ms) override;
  // The problem's variables as the plot history records them.
  ResultModel* Model() override;
  double Option(std::int32_t number) override;
  void Print(Status status, const std::string& text) override;

  ResultObject* ResolveObject(const BvuIdPath& path) override;
  AssignableVariable* Assignable(ResultObject* object) override;
  bool RunActive() override;
  Status QueueSnapshot(const char* name, bool first, bool second, bool third,
                       const char* description) override;
  // The restored snapshot's values go into the problem at once.
  void SetRestored() override;
  // The current problem's present values (none without a problem).
  void StorePosition(SUPackedValueTable* values) override;
  // The run-state notification's one-shot bits.
  void AddRequestBits(std::uint32_t bits) override;
  // The current delay manager records its variables at the simulation time.
  void NotifyDelayManager() override;

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

  SimProblemMgr& manager_;
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
