// The results manager: the run's snapshot store on "snapshot.snp" and its
// part in every snapshot (variable values, problem-manager block, value
// pool, event schedule), the communication schedule and snapshot intervals,
// the automatic snapshot after each run step, and the files it keeps across
// problem edits, saves and new starts. It never deletes a snapshot file: an
// old "snapshot.snp" moves to a free name, and a re-mapped file replaces it
// by rename once synced.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "control/managers/subsystem_manager.h"
#include "foundation/interfaces/results_seam.h"
#include "foundation/values/packed_value.h"
#include "framework/servers/server_callback.h"
#include "results/manager/assign_value.h"
#include "results/manager/result_items.h"
#include "results/plot/plot_history_mgr.h"
#include "results/snapshots/snap_base.h"
#include "results/snapshots/snapshot_mgr.h"
#include "results/use/use_mgr.h"

class BvuDirectoryProper;
class PlotReportOwner;
class DseMessage;
class DseServerRegistry;

// What the results manager needs of the problem manager and the model. The
// engine's problem manager supplies every operation (no defaults), so that
// a hook it left out does not compile.
class ResultsProblemSide {
 public:
  virtual ~ResultsProblemSide() = default;
  virtual double CurrentTime() = 0;
  // Solver option 29.
  virtual std::int32_t RunMode() = 0;
  virtual void ResetRunHooks() = 0;
  virtual void SetValuesChanged() = 0;
  // Queues the snapshot for the server thread.
  virtual Status RequestSnapshot(const char* name, bool first) = 0;
  // An event line of code 16 with its message number.
  virtual void PostEvent(std::uint32_t number, const char* text) = 0;
  // Sends the message to the client without reply; takes it.
  virtual void Send(DseMessage* message) = 0;
  // The problem's variables as a tree of SimUseData nodes holding their
  // present value-table indices; the problem's own, not handed over.
  virtual BvuDirectoryProper* VariableTree() = 0;
  // Writes the restored values (one record per variable, in the present
  // order) into the problem's variables.
  virtual Status StoreRestoredValues(const SUPackedValueTable& values) = 0;
  // Whether the client wants snapshot values as text (kind 140).
  virtual bool WantsSnapshotText() = 0;

  // What assignments read and tell.
  // A solver option's value (31 clipping messages, 74 change tolerance, 85
  // assignment warnings, 146 restart after assignments).
  virtual double Option(std::int32_t number) = 0;
  // The problem manager's restart query.
  virtual bool RestartRequested() = 0;
  // A line for the client (SuPrint with the status).
  virtual void Print(Status status, const std::string& text) = 0;
  // A specification changed without a change of structure: the integrator
  // re-initialises.
  virtual void NotifyIntegrator() = 0;
  virtual void SetStructureChanged() = 0;
  // Command 59 of service 55 to the client with the snapshot id, waiting
  // at most `wait_ms` for it to complete; a failure when it did not.
  virtual Status ConfirmRestore(std::uint32_t id, std::int32_t wait_ms) = 0;
  // The problem manager's data block that snapshots carry (section 1);
  // null for none.
  virtual std::vector<std::uint8_t>* ProblemBlock() = 0;
  // The variables the plot history records; none: no plot history.
  virtual ResultModel* Model() = 0;
  // The problem's variable of the value-table index (an alias's original).
  virtual AssignableVariable* VariableAt(std::int32_t index) = 0;
  // The variable's record in the value table, or -1 when it has none.
  virtual std::int32_t ValueIndex(const ResultVariable* variable) = 0;
  // The event schedule as snapshots carry it: a tree of SimUseData nodes
  // whose indices are the entries' places, and the entries; null for none.
  virtual BvuDirectoryProper* EventTree() = 0;
  virtual std::vector<std::uint32_t>* EventSchedule() = 0;
  // Hands the restored entries back to the schedule.
  virtual Status RestoreEventSchedule(const std::vector<std::uint32_t>& entries) = 0;

  // What item access needs: the object of an id path (the problem's, null
  // when it does not resolve), the object of a value-table index, the
  // plot history's variable for an object, whether a run is active, the
  // two scaling switches of the solver options and the specification-
  // changed notice.
  virtual ResultObject* ResolveObject(const BvuIdPath& path) = 0;
  virtual ResultObject* ObjectAt(std::int32_t index) = 0;
  // The object as queued assignments see it.
  virtual AssignableVariable* Assignable(ResultObject* object) = 0;
  virtual ResultVariable* PlotVariable(ResultObject* object) = 0;
  // A step computes on the run thread: the problem is not the server's.
  virtual bool RunActive() = 0;
  // Command 15: a snapshot request for the control loop with its three
  // flags and a description (may be null).
  virtual Status QueueSnapshot(const char* name, bool first, bool second, bool third,
                               const char* description) = 0;
  // Refreshes the table with the problem's present values: snapshots hold
  // what the table held when the run position was last stored.
  virtual void StorePosition(SUPackedValueTable* values) = 0;
  // A restored snapshot's values are to be taken by the problem.
  virtual void SetRestored() = 0;
  // The run goes on from a restored time.
  virtual void SetRestartTime(double time) = 0;
  virtual void SetScalingSwitches() = 0;
  virtual void SpecificationChanged(std::int32_t which) = 0;
  // After client assignments were taken (commands 21 and 23).
  virtual void NotifyDelayManager() = 0;
  virtual void AddRequestBits(std::uint32_t bits) = 0;
  virtual void UpdateMonitors(double time) = 0;
};

class SimResultsMgr;

// The plot history's view of the problem's variables: a variable's value
// is its value-table record where it has one, and what a single-precision
// plot cannot hold is held at 9.98e27 with its sign.
class SimResultsFinder final : public ResultModel {
 public:
  static constexpr float kLargest = 9.99e27f;
  static constexpr float kStandIn = 9.98e27f;

  explicit SimResultsFinder(SimResultsMgr* manager);
  ~SimResultsFinder();
  SimResultsFinder(const SimResultsFinder&) = delete;
  SimResultsFinder& operator=(const SimResultsFinder&) = delete;

  ResultVariable* FindVariable(const char* name, bool prefix) override;
  ResultVariable* ResolveIdPath(const BvuIdPath& path) override;
  std::int32_t VariableCount() override;
  ResultVariable* VariableAt(std::int32_t index) override;
  std::uint32_t Generation() override;
  double ZeroThreshold() override;
  // The finder's stand-in for the model's variable (null for null).
  ResultVariable* Wrap(ResultVariable* variable);
  static double Clamp(double value);

 private:
  class Variable;
  friend class Variable;
  SimResultsMgr* manager_;
  std::unordered_map<const ResultVariable*, std::unique_ptr<Variable>> wrapped_;
};

class SimResultsMgr : public DseServerCB,
                      public SputSnapBase,
                      public QLNSubSystemManager,
                      public RunResultsSeam {
 public:
  // What a write that touches the problem answers while a step computes.
  static constexpr Status kBusy = 0x0032000Au;
  // The client's services of the results manager.
  static constexpr std::uint32_t kService = 55;
  static constexpr std::uint32_t kServiceToo = 65;
  static constexpr std::uint32_t kNoticeService = 85;
  // The request bit that tells the client the run restarts from new values.
  static constexpr std::uint32_t kRestartRequestBits = 4096;
  static constexpr std::uint16_t kValuesKind = 139;
  static constexpr std::uint16_t kTextKind = 140;
  static constexpr std::uint32_t kIntervalCommand = 32;
  static constexpr std::uint32_t kSnapshotIntervalCommand = 16;
  // To the client: a snapshot was taken.
  static constexpr std::uint32_t kTakenCommand = 40;
  // To the client: the run files were saved (service 95).
  static constexpr std::uint32_t kFilesService = 95;
  static constexpr std::uint32_t kFilesSavedCommand = 136;

  // Snapshot flags (command 16).
  static constexpr std::uint32_t kTimedSnapshots = 0x1;
  static constexpr std::uint32_t kDynamicInitialisation = 0x2;
  static constexpr std::uint32_t kSuppress = 0x4 | 0x8;
  static constexpr std::uint32_t kSteadyState = 0x10;
  static constexpr std::uint32_t kInitialisationRun = 0x20;
  static constexpr std::uint32_t kInitialisationAtZero = 0x40;
  static constexpr std::uint32_t kInitialSpecification = 0x80;
  static constexpr std::uint32_t kProblemEditedSnapshot = 0x100;
  static constexpr std::uint32_t kFileSavedSnapshot = 0x200;

  static constexpr std::int32_t kDynamicRun = 4;
  static constexpr std::uint32_t kFirstId = 1000;
  static constexpr std::int32_t kSectionCount = 4;
  // How long a restore in a dynamic run waits for the client.
  static constexpr std::int32_t kRestoreWaitMs = 30000;

  // Message numbers of the event lines.
  static constexpr std::uint32_t kNewFileNumber = 63;
  static constexpr std::uint32_t kCannotOpenNumber = 658;
  static constexpr std::uint32_t kCannotMapNumber = 659;
  static constexpr std::uint32_t kReusedNumber = 660;

  explicit SimResultsMgr(ResultsProblemSide* problem);
  ~SimResultsMgr() override;
  SimResultsMgr(const SimResultsMgr&) = delete;
  SimResultsMgr& operator=(const SimResultsMgr&) = delete;

  // Registers services 55 and 65 for this manager.
  Status RegisterServices(DseServerRegistry* registry);
  // Commands 32 (one real: the communication interval) and 16 (flags, an
  // optional maximum number of snapshots, an optional snapshot interval);
  // other commands are not this manager's (0x8000FFFF).
  Status HandleCommand(std::uint32_t type, std::uint32_t command, std::uint32_t string_count,
                       const char* const* strings, std::uint32_t integer_count,
                       const std::int32_t* integers, std::uint32_t real_count,
                       const double* reals) override;
  // Subtype 7: a result template on the request's id-path list.
  Status HandleRequest(std::uint32_t type, DseMessage* request, DseMessage** reply,
                       DseTemplate** kept) override;
  // The client sets one attribute (first selector) of a variable or value
  // object; 0x80000015 when the path does not resolve, 0x8000FFFF for an
  // attribute the object has not.
  Status SetItem(std::uint32_t type, const BvuIdPath& ids, std::uint32_t second,
                 std::uint32_t first, SUValue* value) override;
  Status StartResultTemplate(DseMessage* request, DseTemplate** kept);
  // A numbered request of subtype 12; the reply, when one is made, goes to
  // *reply.
  Status HandleNumberedRequest(DseMessage* request, DseMessage** reply, DseTemplate** kept);
  // Request 58: restores the newest snapshot of the run.
  Status RestoreLatest(bool delete_plot, DseMessage* request, DseMessage** reply);
  // The position of the snapshot the last restore by command 1 or request
  // 58 read, for the problem to take its values.
  const RunPosition& LastRestored() const { return last_restored_; }

  // --- intervals (commands 32 and 16) ---
  // The value as "%f" reads it back; 0x8000020F when that is 0 or less (or
  // not a number), nothing changed.
  Status SetCommunicationInterval(float requested);
  // Flags become (old AND 0x8) OR flags; a maximum below 0 leaves the store
  // unbounded. A snapshot interval (has_interval) needs flag 0x1 and must
  // read back above 0 (0x8000020F otherwise, nothing changed).
  Status SetSnapshotFlags(std::uint32_t flags, std::int32_t maximum, bool has_interval,
                          float interval);
  // The suppressing flags 0x4 and 0x8 one at a time.
  void SetSuppressFlag(std::uint32_t bit, bool on) {
    bit &= kSuppress;
    snapshot_flags_ = on ? snapshot_flags_ | bit : snapshot_flags_ & ~bit;
  }
  void SetIntervalHold(std::uint64_t hold) { interval_hold_ = hold; }
  double CommunicationInterval() const { return interval_; }
  double RequestedInterval() const { return requested_interval_; }
  double SnapshotInterval() const { return snapshot_interval_; }
  std::uint32_t CommunicationsPerSnapshot() const { return per_snapshot_; }
  std::uint32_t TimedCounter() const { return timed_counter_; }
  std::uint32_t SnapshotFlags() const { return snapshot_flags_; }

  // --- assignments ---
  // Queues an assignment for the next run step. A ramped variable is
  // refused (0xA000FFFF) unless skip_ramp_check.
  Status AssignValue(std::uint32_t kind, const SUValue* typed, double real, std::uint32_t code,
                     AssignableVariable* variable, bool skip_ramp_check, std::uint32_t pattern,
                     std::uint32_t mask);
  // The first queued assignment of the variable, or null; Remove also
  // clears its variable so that it is dropped when applied.
  SimAssignValue* FindQueuedItem(const AssignableVariable* variable);
  SimAssignValue* RemoveQueuedItem(const AssignableVariable* variable);
  std::size_t QueuedCount() const { return step_assignments_.size(); }
  // A variable going away: queued step items keep their place without it,
  // its staged, reply and client items go.
  void ForgetVariable(const AssignableVariable* variable);
  // An object going away: the kept result templates' items that read it
  // read as having no value from now on.
  void ForgetObject(const ResultObject* object);
  // The result templates made here tell when they come and go.
  void AddResponse(SimResultResponse* response);
  void RemoveResponse(SimResultResponse* response);

  // --- snapshot use ---
  // An assignment found by snapshot use: staged, or a reply item for a
  // structural parameter.
  void Stage(std::unique_ptr<SimAssignValue> item, bool reply_item);
  using Assignments = std::vector<std::unique_ptr<SimAssignValue>>;
  const Assignments& Staged() const { return staged_; }
  const Assignments& ReplyItems() const { return reply_items_; }
  const Assignments& ClientAssignments() const { return client_; }
  // Command 23: the client assignments to the run (queued for the next
  // step, or set at once without a value table); the close status.
  Status ApplyClientAssignments();
  // Command 128 "All": every snapshot file of the folder compacted.
  Status CompressAllFiles();
  // One file compacted: the run's through its store, another read first.
  Status CompactFile(const char* name);

  // --- the run loop's seam ---
  double NextCommunicationTime() override;
  void SetCommunicationTime(double time) override;
  double CommunicationStart() const { return last_communication_; }
  std::uint64_t CommunicationCount() const { return communications_since_; }
  // A point that was not reached is scheduled again.
  void LowerCommunicationCount() {
    if (communications_since_ > 0) --communications_since_;
  }
  Status ApplyAssignments(bool* restart, bool* changed, double time) override;
  bool TakeReinitialisationMark() override;
  bool AfterRunStep(double time, std::uint16_t run, std::int16_t count, std::uint32_t step_flags,
                    double step_time, double tolerance, bool pause) override;

  // --- run start and snapshots ---
  // Holds the value table (the old one goes), opens or starts "snapshot.snp"
  // and checks its variables against the problem's.
  Status OpenSnapshotFile(std::int32_t variable_count, std::unique_ptr<SUPackedValueTable> values,
                          RunPosition* at, bool open_existing, bool reuse);
  // Whether the last OpenSnapshotFile took the newest snapshot's values.
  bool Reused() const { return reused_; }
  // Takes the snapshot now (live or not) at the stored run position, tells
  // the client, and with notify sends it the snapshot's values: kind 139
  // with the use-data tree and value table, or kind 140 with the name of a
  // "RES....tmp" file in the working folder holding the snapshot as text.
  // With notify, kept and by_caller all clear, a run number that is not
  // positive and option 154 set, only "Initial Specification" is taken.
  Status TakeNamedSnapshot(const char* name, std::uint32_t* id, bool live, bool kept,
                           bool notify = false, bool by_caller = false,
                           const char* description = nullptr);
  // With flag 0x80: the run position is set and "Initial Specification"
  // taken (live, no notice); a position not yet counted is counted.
  Status TakeInitialSpecificationSnapshot(RunPosition* at);
  // Restores the snapshot through the store and writes its values back;
  // the run position becomes the snapshot's.
  Status RestoreSnapshot(std::uint32_t id, RunPosition* at);
  Status DeleteSnapshot(std::uint32_t id) { return store_.DeleteSnapshot(id); }
  Status FindSnapshotByName(const char* name, std::uint32_t* id) const {
    return store_.FindSnapshotByName(name, id);
  }
  // Empties the plot history; with reopen, opens "PlotData.cpd" anew.
  Status RestartPlotHistory(bool reopen);
  SputPlotHistoryMgr* PlotHistory() { return plot_.get(); }
  // The plot history's variables, through this manager as their finder
  // (0 without a plot history).
  Status RemovePlotVariable(ResultVariable* variable);
  // The variable is going: the history stops recording it, at its last
  // value, and keeps what it recorded.
  void StopPlotVariable(ResultVariable* variable);
  Status AddPlotVariable(ResultVariable* variable);
  SimResultsFinder& Finder() { return finder_; }
  SputUseMgr& UseMgr() { return *use_; }
  ResultsProblemSide* Problem() { return problem_; }
  std::uint32_t EventCount() const { return event_count_; }
  // Service 95, kind 58 and the time; no reply is awaited.
  void SendTimeMessage(double time);
  // The notice of service 85 for a snapshot taken; the caller owns it.
  Status BuildSnapshotNotice(std::uint32_t id, DseMessage** notice);
  // Writes the restore table back into the problem; the run position
  // becomes the restored snapshot's.
  Status RestoreSnapshotValues(const RunPosition& restored, RunPosition* at);
  // The name the last automatic snapshot asked for (empty when none).
  const std::string& LastRequestedName() const { return last_requested_; }
  RunPosition Position() const;
  // Stores the run position and refreshes the value table with it.
  void SetRunPosition(const RunPosition& at);
  // The run position moves to the time (commands 2 and 94, a stopped step);
  // the communication schedule starts there.
  void MoveRunPosition(double time) {
    run_time_ = time;
    SetCommunicationTime(time);
  }
  SputSnapshotMgr& Store() { return store_; }
  // The snapshot participants by index: this manager four times, then the
  // delay manager's two histories when there is a delay manager.
  const SputSnapshotMgr::Participants& Participants() const { return registered_; }
  SUPackedValueTable* Values() { return values_.get(); }
  SUPackedValueTable* RestoreTable() { return restore_.get(); }

  // --- manager operations ---
  Status AttachProblem(const char* folder, const char* name) override;
  Status ProblemEdited() override;
  Status SaveFiles() override;
  Status SaveAs(const char* folder, const char* name) override;
  Status StartNewFiles(const char* folder, const char* name) override;

  // --- snapshot participation ---
  std::uint32_t Id(std::int32_t index) override;
  Status StructureRecord(std::int32_t index, DseMessage** message) override;
  Status MapStructure(std::int32_t record_index, DseMessage* message) override;
  Status SectionData(std::int32_t index, const std::uint8_t** data, std::uint32_t* length) override;
  Status RestoreSection(std::int32_t index, const std::uint8_t* data,
                        std::uint32_t length) override;
  Status SnapshotWritten(std::int32_t index) override;
  Status Ready(std::int32_t index, std::int32_t* ready) override;
  Status ConvertSection(std::int32_t index, const std::uint8_t* data, std::uint32_t length,
                        const std::uint8_t** converted, std::uint32_t* converted_length) override;
  Status RestoreFinished(std::int32_t index) override;

 private:
  // Reads a "%f" text of the value back; false when it is not above 0.
  static bool ReadBackInterval(float requested, double* value);
  void RebuildRestoreTable();
  void DropRunState();
  // Moves "snapshot.snp" to a name no file has; the name, or empty when it
  // could not be moved (the file then stays where it was).
  std::string MoveSnapshotFileAside();
  void SendRenamed(const std::string& name);
  Status StartAnew(Status so_far, bool fallback, RunPosition* at);
  Status Remap();
  Status TakeAutomatic(const char* name);
  // Updates the value-table records of the variable (or of each member of
  // its equivalence group) to the real value.
  void StoreReal(AssignableVariable* variable, double value, std::uint32_t pattern,
                 std::uint32_t mask);
  void ClearMaps();
  // Commands of the client protocol other than the intervals.
  Status ProtocolCommand(std::uint32_t command, std::uint32_t string_count,
                         const char* const* strings, std::uint32_t integer_count,
                         const std::int32_t* integers, std::uint32_t real_count,
                         const double* reals);
  // Numbered requests of snapshot use and restores.
  Status UseRequest(std::uint16_t number, DseMessage* request, DseMessage* reply, bool* replied);
  Status SendRestored(std::uint16_t id, DseMessage* reply);
  Status ImportRequest(DseMessage* request, bool to_file);
  void DropRestoreTable();
  // Plot history closed, "PlotData.cpd" deleted, opened anew.
  void StartPlotFileAnew();
  // Attribute 1: queued before a run, at once during one.
  Status SetVariableValue(ResultObject* object, double value);
  void ReopenPlotHistory(bool anew);
  void RecordPlot(double time);

  ResultsProblemSide* problem_;
  SimResultsFinder finder_;
  SputSnapshotMgr store_;
  std::unique_ptr<SputUseMgr> use_;
  SputSnapshotMgr::Participants registered_;
  std::unique_ptr<SUPackedValueTable> values_;
  std::unique_ptr<SUPackedValueTable> restore_;
  std::int32_t variable_count_ = 0;

  double run_time_ = 0.0;
  std::uint16_t run_number_ = 0;
  std::int16_t snapshot_count_ = 0;

  double interval_ = 0.1;
  double requested_interval_ = 0.1;
  double last_communication_ = 0.0;
  std::uint64_t communications_since_ = 0;
  std::uint64_t interval_hold_ = 0;
  std::uint32_t timed_counter_ = 0;
  std::uint32_t per_snapshot_ = 20;
  double snapshot_interval_ = 2.0;
  std::uint32_t snapshot_flags_ = 0;
  bool reinitialise_ = false;
  bool reused_ = false;
  std::string last_requested_;
  std::vector<std::unique_ptr<SimAssignValue>> step_assignments_;
  Assignments staged_;
  Assignments reply_items_;
  Assignments client_;
  // Made here and not yet deleted (the controller keeps periodic ones);
  // each holds objects of the problem. A problem the run thread lets go
  // of forgets its objects there.
  std::mutex responses_lock_;
  std::vector<SimResultResponse*> responses_;
  std::unique_ptr<SputPlotHistoryMgr> plot_;
  // Reports' view of the plot history (request 28).
  std::unique_ptr<PlotReportOwner, void (*)(PlotReportOwner*)> report_owner_{nullptr, DeleteOwner};
  static void DeleteOwner(PlotReportOwner* owner);
  bool plot_recording_ = false;

  // From present variable (event entry) index to snapshot record index,
  // built while a file is checked.
  std::vector<std::uint32_t> variable_map_;
  std::uint32_t event_count_ = 0;
  RunPosition last_restored_{0.0, 0, 0};
  std::vector<std::uint32_t> event_map_;
  std::vector<std::uint8_t> events_image_;
  bool map_failed_ = false;
  std::vector<std::uint8_t> image_;
  std::vector<std::uint8_t> converted_;
};
