// SimProblemMgr: the top object of the engine. The server thread builds one
// on its stack; it makes the subsystem managers that exist, registers the
// service ids, serves the client's commands and requests of its own ids,
// holds the control state that the control loop drives and the working
// folder. This header is the one place where other subsystems find the
// problem manager's operations.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "control/actions/action_mgr.h"
#include "control/managers/subsystem_manager.h"
#include "control/messages/message_collector.h"
#include "control/problem/event_list.h"
#include "control/problem/run_folder.h"
#include "control/problem/run_integrator.h"
#include "control/problem/run_ops.h"
#include "control/problem/run_thread.h"
#include "control/problem/upper_services.h"
#include "daes/model/services.h"
#include "foundation/interfaces/problem_manager_hooks.h"
#include "foundation/interfaces/solver_options_owner.h"
#include "foundation/messages/su_repeats.h"
#include "framework/servers/client_callback.h"
#include "framework/servers/file_service.h"
#include "framework/servers/server_callback.h"
#include "platform/guid.h"
#include "platform/status.h"
#include "platform/unknown.h"

class BvuBinaryStream;
class DAESProblem;
class DseMessage;
class DseServerRegistry;
class GppiPropertyMgr;
class QLNVariable;
class SimExecutiveService;
class SimExplicitEventService;
class SimImplicitEventService;
class SimDelayService;
class SimDelayJumpService;
class SimInitSpecAction;
class SimInstanceMgr;
class SimLibraryMgr;
class SimMonitorMgr;
class SimSyncMgr;
class SolverOptionTable;

// Status bits of the run-state notification.
namespace run_bits {
inline constexpr std::uint32_t kEngineUp = 0x1;
inline constexpr std::uint32_t kBuilt = 0x4;
inline constexpr std::uint32_t kSolvers = 0x8;
inline constexpr std::uint32_t kQualityOutput = 0x10;
inline constexpr std::uint32_t kReady = 0x20;
inline constexpr std::uint32_t kPrepared = kBuilt | kSolvers | kQualityOutput | kReady;
inline constexpr std::uint32_t kStepPending = 0x40;
inline constexpr std::uint32_t kRunning = 0x80;
inline constexpr std::uint32_t kRunFailed = 0x100;
inline constexpr std::uint32_t kThreadTerminated = 0x200;
inline constexpr std::uint32_t kStoppedByAction = 0x400;
// Every bit from 0x2 to 0x400, cleared by an interrupt.
inline constexpr std::uint32_t kInterruptCleared = 0x7FE;
// Bits 0x4 to 0x400, cleared when a problem is named, edited or detached.
inline constexpr std::uint32_t kProblemBits = 0x7FC;
inline constexpr std::uint32_t kOneShot = 0x800 | 0x1000 | 0x2000 | 0x4000;
}  // namespace run_bits

// Statuses of the problem manager's services.
namespace pm_status {
inline constexpr Status kOk = 0x00320000u;
inline constexpr Status kFailure = 0x8032FFFFu;
inline constexpr Status kSevereFailure = 0xA032FFFFu;
inline constexpr Status kBusy = 0x0032000Au;
inline constexpr Status kEnding = 0x00320024u;
inline constexpr Status kNotPrepared = 0x80320025u;
inline constexpr Status kNoReplyRequest = 0x00320027u;
inline constexpr Status kRunEnded = 0x00320049u;
inline constexpr Status kNoProblem = 0x80320268u;
}  // namespace pm_status

// The run status record: the simulation time and two counters, the second
// counting stops. The results manager will own it once it exists.
// The run clock's time: the run thread moves it during a step while the
// server thread's action dispatch reads it for the event tolerance, so it is
// read and written whole (relaxed: the hand-over orders everything else).
class RunClockTime {
 public:
  RunClockTime() = default;
  RunClockTime(const RunClockTime& other) : value_(other.Get()) {}
  RunClockTime& operator=(const RunClockTime& other) { return *this = other.Get(); }
  RunClockTime& operator=(double value) {
    value_.store(value, std::memory_order_relaxed);
    return *this;
  }
  operator double() const { return Get(); }
  double Get() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<double> value_{0.0};
};

struct RunStatusRecord {
  RunClockTime time;
  std::uint16_t counter = 0;
  std::uint16_t stops = 0;
};

class SimProblemMgr : public SimMasterManager,
                      public DAESProblemManagerServices,
                      public DseServerCB,
                      public DseClientCB,
                      public ProblemManagerHooks,
                      public SolverOptionsOwner,
                      public SimActionEventSource,
                      private SimRunStepper {
 public:
  // Service ids the problem manager serves itself.
  static constexpr std::uint32_t kFileService = 58;
  static constexpr std::uint32_t kFileServiceToo = 68;
  static constexpr std::uint32_t kProblemService = 50;
  static constexpr std::uint32_t kProblemServiceToo = 60;
  static constexpr std::uint32_t kOptionService = 53;
  static constexpr std::uint32_t kOptionServiceToo = 63;
  static constexpr char kUntitled[] = "QV_Untitled";

  // Builds the managers that exist and registers the service ids. *status
  // (may be null) is 0, or the failure of a step that could not be done.
  explicit SimProblemMgr(DseServerRegistry* registry, Status* status = nullptr);
  ~SimProblemMgr() override;

  // The one problem manager of the process, or null.
  static SimProblemMgr* Instance();
  // Destroys the problem after its procedures have heard that it goes: the
  // post-calls of a run still open, then the calls that close the problem.
  static void DeleteProblem(DAESProblem* problem);

  // The COM-style face: IUnknown and the executive give the executive face,
  // the explicit and implicit event managers, the delay, properties and
  // sensitivity managers theirs, each with one more reference. The
  // sensitivity face exists once the sensitivity manager does; without it,
  // as for any other id, 0x80004002 and *object untouched.
  Status QueryInterface(const platform::IID& iid, void** object);
  // Reference counting of the COM-style interfaces: the server thread owns
  // the object, so a count of 0 frees nothing.
  std::uint32_t AddRef() { return ++references_; }
  std::uint32_t Release() { return references_ > 0 ? --references_ : 0; }

  // Client services.
  Status HandleCommand(std::uint32_t type, std::uint32_t command, std::uint32_t string_count,
                       const char* const* strings, std::uint32_t integer_count,
                       const std::int32_t* integers, std::uint32_t real_count,
                       const double* reals) override;
  Status HandleRequest(std::uint32_t type, DseMessage* request, DseMessage** reply,
                       DseTemplate** kept) override;
  Status SetItem(std::uint32_t type, const BvuIdPath& ids, std::uint32_t second,
                 std::uint32_t first, SUValue* value) override;
  Status RequestComplete(Status, void*) override { return status::kOk; }

  // Master operations the problem manager adds its own work to.
  Status AttachProblem(const char* folder, const char* name) override;
  Status ProblemEdited() override;
  // The problem is unloaded: its solvers let go and it is destroyed before
  // the managers hear of it. Command 6 tells only the managers.
  Status DiscardProblem() override;
  // Tells the managers, then prepares what the run still lacks; with
  // QLN_QCFileOpt "Clean" the run writes no quality-control values.
  Status StartRun(std::int32_t run_mode) override;
  // The current delay manager forgets the problem's delayed variables.
  Status ReleaseSolvers() override;
  Status DetachProblem(const char* folder, const char* sub_folder) override;

  // ProblemManagerHooks.
  bool IsNestedMode() override { return nested_ > 0; }
  // SolverOptionsOwner.
  void SetPrintLevel(std::int32_t level) override { print_level_ = level; }
  const char* TimeUnit(double* scale) override;
  const char* WorkingFolderPath() override;
  const char* RunFolderPath() override;
  // SimActionEventSource.
  const SimExplicitEvent* FirstEvent() override { return events_.Head(); }
  double EventTolerance() override { return events_.Tolerance(); }
  double CurrentTime() override { return record_.time; }

  // Status bits, read by the run thread too.
  std::uint32_t StatusBits() const { return bits_.load(); }
  void SetStatusBits(std::uint32_t bits) { bits_.fetch_or(bits); }
  void ClearStatusBits(std::uint32_t bits) { bits_.fetch_and(~bits); }

  const RunStatusRecord& Record() const { return record_; }
  std::int32_t RunState() const { return run_state_; }
  // 0 none, 1 paused at the last step, 2 paused past it (command 8).
  std::int32_t PauseRequest() const { return pause_request_; }
  std::int32_t PreparationNeeded() const { return preparation_; }
  const std::string& SimulationName() const { return name_; }
  bool Unnamed() const { return unnamed_; }
  SimWorkingFolder::Folders& Folders() { return folders_; }
  SputMessageCollector& Collector() { return collector_; }
  SimActionMgr* Actions() const { return actions_; }
  // Lines for the client's message log, as one group with its status.
  void Report(Status status, const std::string& text);
  // The same, sent now with every group collected so far.
  void ReportAtOnce(Status status, const std::string& text);

  // The seams every problem manager made from now on starts with (null: the
  // plain stand-ins), for engines whose run steps and results are others'.
  static void SetDefaultSeams(SimRunOps* ops, SimRunResults* results);
  // The seams to the run steps and the results manager; null restores the
  // plain stand-ins. Not owned.
  void SetRunOps(SimRunOps* ops);
  void SetRunResults(SimRunResults* results);
  SimRunOps& RunOps() { return *run_ops_; }
  SimRunResults& RunResults() { return *results_; }
  SimEventList& Events() { return events_; }
  SimRunHandover& Handover() { return *handover_; }
  SimExecutiveService& Executive() { return *executive_; }
  // The root of the model-instance tree and the library tree.
  SimInstanceMgr* Instances() const { return instances_.get(); }
  SimLibraryMgr* Library() const { return library_.get(); }
  GppiPropertyMgr* Properties() const { return properties_.get(); }
  // Reads an object reference (an id path) and resolves it in the
  // instance tree: the model object's variable (null when the path does
  // not resolve or the object holds none) and its 1-based column in the
  // current problem (0 without one). A read failure is the stream's status.
  Status ReadObjectReference(BvuBinaryStream& in, QLNVariable** variable, std::int32_t* index);

  // The run's integrator, made by the solver build of preparation; null
  // until then. The problem manager owns it.
  SimRunIntegrator* Integrator() const { return integrator_.get(); }
  void SetIntegrator(std::unique_ptr<SimRunIntegrator> integrator) {
    integrator_ = std::move(integrator);
  }
  // The run thread and the hand-over.
  Status StartSolverThread();
  Status TakeRunLock() { return handover_->TakeRunLock(); }
  Status RunOneStep() { return handover_->RunOneStep(); }
  Status StopRun();
  // Edits and run commands wait while a step computes, and while the server
  // thread waits on the client in the middle of an operation (the wait polls
  // and would otherwise let an edit free what the operation is using).
  bool StepScheduled() const { return step_scheduled_ || client_waits_ > 0; }
  // A dynamic run's next step goes on from the last one (no initialisation).
  bool IntegrationGoesOn() const;
  void HoldForClient(bool hold) { client_waits_ += hold ? 1 : (client_waits_ > 0 ? -1 : 0); }
  // Whether the control loop is inside a run, between its steps too (an
  // action's passes go on without the client): the run has not come to rest.
  bool RunMoving() const { return run_moving_; }
  bool StepResultPending() const { return step_result_pending_; }
  std::int32_t StepCount() const { return step_count_; }
  std::int32_t NextAction() const { return next_action_; }
  void SetNextAction(std::int32_t next) { next_action_ = next; }
  void SetRunState(std::int32_t state) { run_state_ = state; }
  // The simulation time; the run clock is the run status record's.
  void SetCurrentTime(double time) { record_.time = time; }
  // The problem manager's re-initialisation mark, read by the run step.
  bool ReinitialisationMark() const { return reinitialise_ != 0; }
  // The primary services the run steps, the managers and the actions use.
  static constexpr double kEpsilon = 2.220446049250314e-16;
  static constexpr double kLargestValue = 1.797693134862315e308;
  std::uint16_t StopCounter() const { return record_.stops; }
  // The results manager's count of its run position: 0 for a snapshot
  // file started anew, raised when a position is counted.
  void SetStopCounter(std::uint16_t stops) { record_.stops = stops; }
  double CommunicationInterval() { return results_->CommunicationInterval(); }
  // When the run clock moved: back to 0 with its counter, no step result
  // pending, no re-initialisation, and the report writer at 0.
  void ResetRunClock();
  void ResetActions() {
    if (actions_ != nullptr) actions_->ResetAll();
  }
  bool NeedsPreparation() const { return preparation_ != 0; }
  bool Edited() const { return preparation_ == 2; }
  const std::string& ExtraSearchPath() const { return folders_.ExtraSearchPath(); }
  double PendingEventTime() const { return pending_event_time_; }
  void SetPendingEventTime(double time) { pending_event_time_ = time; }
  // Set by the run step when its result waits to be taken.
  void SetStepResultPending(bool pending) { step_result_pending_ = pending; }
  void SetReinitialisationMark(bool mark) { reinitialise_ = mark ? 1 : 0; }
  bool CheckProblemMarked() const { return check_problem_; }
  void MarkCheckProblem() { check_problem_ = true; }
  bool LightPreparation() const { return light_preparation_; }
  void MarkLightPreparation() { light_preparation_ = true; }
  // Clears the mark, lets go of the solver objects and tells the integrator
  // and, once, the client that the solvers changed.
  void ReleaseLightPreparation();
  void MarkFullPreparation() { preparation_ = 3; }
  // An edit gave up the built problem: the next preparation builds anew,
  // whatever command 29 asked for.
  void MarkProblemGivenUp() { problem_given_up_ = true; }
  void EndDynamicRun() { end_of_dynamic_run_ = 1; }
  bool DynamicRunEnded() const { return end_of_dynamic_run_ != 0; }
  // The solver objects changed: told to the client once (a one-shot bit).
  void NotifySolversChanged() { SetStatusBits(0x800); }
  // Nested runs raise and lower a counter; the executive's nested mode is
  // the process-wide error-report switch instead.
  void EnterNestedMode() { ++nested_; }
  // The last leave tells the integrator, which may have been kept quiet
  // by the nested runs.
  void LeaveNestedMode();
  // A queued snapshot and a rewind, done by the loop at its next fixed point.
  void RequestSnapshot() { snapshot_request_ = 1; }
  // A snapshot the client asked for: its text, three flags (live, kept,
  // notify) and description. Queued with the request set; the queue lives
  // until the loop takes it, across a preparation too.
  struct SnapshotRequest {
    std::string text;
    std::int32_t a = 0;
    std::int32_t b = 0;
    std::int32_t c = 0;
    std::string second;
  };
  void QueueSnapshot(const char* text, std::int32_t a, std::int32_t b, std::int32_t c,
                     const char* second);
  std::vector<SnapshotRequest> TakeSnapshotQueue();
  std::size_t QueuedSnapshotCount() const { return snapshot_queue_.size(); }
  // A restore moved the run to `time`: the run clock and the simulation
  // time go there, the integrator finishes, and the next step initialises
  // there instead of going on from where the integrator stood.
  void SetRestartTime(double time);
  // Whether a restore moved the run since the last step started.
  bool RestartPending() const { return restart_pending_; }
  // The time moved to `time`: timed events before it can never be reached
  // and go, so that their monitors schedule again.
  void UpdateMonitors(double time);
  // A specification changed the structure: the problem is built again
  // before the next step, which initialises afresh.
  void MarkStructureChanged();
  bool StructureChanged() const { return check_problem_; }
  // A specification changed without changing the structure: the next step
  // re-initialises the integrator (or initialises at time 0).
  void MarkReinitialisation();
  // The client's command 81: snapshot notices carry the values as text.
  bool SnapshotTextWanted() const { return options_flag_b_ != 0; }
  void RequestRewind() { rewind_request_ = 1; }
  // A line of the quality-control output, when it is open.
  Status WriteQcLine(const char* text);
  // Asks the loop for one poll with timers once the problem is built.
  void RequestTimerPoll() { poll_with_timers_ = true; }

  // The subsystems above this layer; null restores the stand-in that has
  // nothing to reset or export. Not owned.
  void SetUpperServices(SimUpperServices* upper);
  SimUpperServices& Upper() { return *upper_; }

  // A model variable or parameter is being destroyed (the model asks, with
  // or without a problem built): ramps, monitors and the managers above
  // let go of it.
  void ForgetVariable(DAESVarTableEntry* entry) override;

  // Messages to the client: a new request of the service type, sent as
  // DseSendMessage sends; the collector's groups go out at once.
  DseMessage* NewNotificationMessage(std::uint32_t type);
  Status SendMessage(DseMessage* message, std::uint32_t options, DseClientCB* client,
                     void* context);
  Status FlushMessages() { return collector_.SendGroups(); }

  // Forwarding operations. Their targets' arguments are fixed here: the
  // integrator's kind (all ones without an integrator); the problem's
  // variable and equation counts (zeros without a problem); the delay
  // manager records its variables at the time; the report writer moves to
  // the time; a problem operation and the report of the solver objects are
  // the caller's, run on the current problem (0x80320268 without one) and
  // on each occupied solver slot at the current simulation time.
  std::int32_t IntegratorQuery() const;
  void ProblemValueQuery(std::int32_t* variables, std::int32_t* equations) const;
  Status DelayOperation(double time);
  void ReportWriterOperation(double time) { results_->MoveTo(time); }
  Status ProblemOperation(const std::function<Status(DAESProblem&)>& operation);
  Status ReportSolverObjects(
      const std::function<Status(platform::IUnknown*, std::int32_t slot, double time)>& report);
  bool NoExceptionHandling() const { return no_exception_handling_ != 0; }
  // The code-export object's check; 0x0032000A without one.
  Status CheckCompiledEquations() { return upper_->CheckCompiledEquations(); }

  // The export of the problem's code: a problem is prepared first when
  // there is none (it then counts as edited, preparation flag 2); each
  // progress line is printed and sent at once. The makefile is the code
  // export's.
  Status ExportProblemCode();
  Status WriteExportMakefile(bool build) { return upper_->WriteExportMakefile(build); }
  // Before libraries are force-unloaded: a problem prepared for an export
  // has its run flags reset and is prepared in full by the next run.
  void ReleaseExportPreparation();

  // Joins and leaves COM for the calling thread: only the first join of a
  // thread joins, only its last leave leaves. The joins of the thread.
  std::int32_t JoinCom();
  std::int32_t LeaveCom();

  // The control loop, until the client asks the engine to end or is gone;
  // the exit status of the engine.
  Status RunControlLoop(class ControlLoopPort& port);

 private:
  friend class SimControlLoop;
  friend class SimClientRequests;
  friend class SimRunSteps;

  Status CommandSetName(std::uint32_t count, const char* const* strings);
  Status CommandSaveAs(std::uint32_t count, const char* const* strings);
  Status CommandPause();
  Status CommandRun();
  Status CommandEdit(std::uint32_t count, const std::int32_t* integers);
  Status CommandLockCheck(std::uint32_t count, const char* const* strings);
  Status CommandPrepare(std::uint32_t count, const std::int32_t* integers);
  Status CommandInterrupt();
  Status CommandSetTime(double time);
  // A run command counts what its steps repeat from its first step until
  // it comes to rest, however it ends, and tells the counts then (server
  // thread, the run thread at its wait or stopped). What the actions and
  // requests say between the steps is told as it comes.
  void BeginRunReports();
  void EndRunReports();
  Status CommandRelease();
  // Commands that touch the problem, the solvers or the integrator wait
  // while a step computes.
  static bool TouchesTheRun(std::uint32_t command);
  // SimRunStepper, on the run thread.
  Status ThreadSetUp() override { return run_ops_->ThreadSetUp(); }
  bool HandsBackFirst() override { return record_.stops == 0; }
  bool StepAllowed() override {
    return (StatusBits() & (run_bits::kReady | run_bits::kStepPending | run_bits::kRunning)) != 0;
  }
  Status RunStep() override { return run_ops_->RunStep(); }
  Status ServeFiles(std::uint32_t type, DseMessage* request, DseMessage** reply,
                    DseTemplate** kept);
  Status ServeProblemRequest(DseMessage* request, DseMessage** reply);
  // The installation look-ups of the first attach; true once the solver
  // framework was found.
  void FindInstallations();
  void SendRestoredNotice();

  std::uint32_t references_ = 1;
  // Built first: the broadcast order is construction order.
  SputMessageCollector collector_;
  BvuFileService files_;
  SimActionMgr* actions_ = nullptr;
  // Built first of the managers, instances before the library.
  std::unique_ptr<SimInstanceMgr> instances_;
  std::unique_ptr<SimLibraryMgr> library_;
  std::unique_ptr<GppiPropertyMgr> properties_;
  SolverOptionTable* options_ = nullptr;
  bool owns_options_ = false;

  SimWorkingFolder::Folders folders_;
  std::string name_;
  std::string second_text_;
  bool unnamed_ = false;
  std::string run_folder_text_;

  // Control requests, set by commands and read by the loop.
  std::int32_t interrupt_ = 0;
  std::int32_t problem_ready_ = 0;
  std::int32_t single_action_ = 0;
  std::int32_t snapshot_request_ = 0;
  std::int32_t rewind_request_ = 0;
  std::int32_t step_request_ = 0;
  std::int32_t step_count_ = 0;
  std::int32_t run_request_ = 0;
  std::int32_t pause_request_ = 0;
  std::uint8_t run_interrupted_ = 0;
  std::uint8_t end_of_dynamic_run_ = 0;
  std::int32_t preparation_ = 1;
  std::int32_t run_state_ = 2;
  bool run_moving_ = false;
  std::optional<SuRepeatHold> run_reports_;
  std::int32_t next_action_ = 0;
  std::atomic<std::uint32_t> bits_{0};
  std::int32_t no_exception_handling_ = 0;
  std::int32_t options_flag_a_ = 0;
  std::int32_t options_flag_b_ = 0;
  std::int32_t print_level_ = 0;
  std::int32_t nested_ = 0;
  bool poll_with_timers_ = false;

  // What the last notification told the client.
  std::uint32_t notified_bits_ = 0;
  double notified_time_ = -99.0;
  RunStatusRecord record_;
  double pending_event_time_ = -1.0;
  std::string time_unit_ = "Hours";
  double time_scale_ = 1.0;
  // The engine-instance record of command 39.
  bool instance_record_made_ = false;
  std::int32_t child_number_ = 0;
  std::int32_t instance_flag_ = 0;
  bool installations_found_ = false;
  // Why the last attach found no run folder; the loop waits for a new name.
  Status attach_failure_ = 0;
  std::int32_t com_joins_ = 0;

  SimPlainRunOps plain_ops_;
  SimPlainRunResults plain_results_;
  SimRunOps* run_ops_ = &plain_ops_;
  SimRunResults* results_ = &plain_results_;
  SimPlainUpperServices plain_upper_;
  SimUpperServices* upper_ = &plain_upper_;
  SimEventList events_;
  std::shared_ptr<SimRunHandover> handover_;
  std::unique_ptr<SimExecutiveService> executive_;
  std::unique_ptr<SimExplicitEventService> explicit_events_;
  std::unique_ptr<SimImplicitEventService> implicit_events_;
  std::unique_ptr<SimDelayService> delays_;
  std::unique_ptr<SimDelayJumpService> delay_jumps_;
  std::unique_ptr<SimInitSpecAction> init_spec_;
  std::unique_ptr<SimMonitorMgr> monitor_factory_;
  std::unique_ptr<SimSyncMgr> sync_factory_;
  std::unique_ptr<SimRunIntegrator> integrator_;
  bool step_scheduled_ = false;
  std::int32_t client_waits_ = 0;
  bool step_result_pending_ = false;
  std::int32_t reinitialise_ = 0;
  bool check_problem_ = true;
  bool restart_pending_ = false;
  std::vector<SnapshotRequest> snapshot_queue_;
  bool light_preparation_ = false;
  bool problem_given_up_ = false;
};
