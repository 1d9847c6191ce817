#include "control/problem/problem_manager.h"

#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "control/actions/monitor.h"
#include "control/actions/sync_action.h"
#include "control/managers/instance_mgr.h"
#include "control/managers/library_mgr.h"
#include "control/problem/client_requests.h"
#include "control/problem/control_loop.h"
#include "control/problem/problem_services.h"
#include "control/properties/property_mgr.h"
#include "daes/delays/delay_mgr.h"
#include "daes/problem/problem.h"
#include "expr/tree/system_function.h"
#include "foundation/files/file_utilities.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/run_mode.h"
#include "foundation/interfaces/solver_options.h"
#include "foundation/interfaces/variable_drivers.h"
#include "foundation/messages/su_print.h"
#include "framework/libraries/library_exports.h"
#include "framework/libraries/library_loader.h"
#include "framework/messaging/message.h"
#include "framework/messaging/message_controller.h"
#include "framework/servers/sending.h"
#include "framework/servers/server_registry.h"
#include "platform/com.h"
#include "platform/posix_file.h"
#include "platform/unknown.h"
#include "solve/options/solver_option_table.h"
#include "solve/proxies/integrator_server_proxy.h"

namespace {

SimProblemMgr* g_problem_manager = nullptr;
SimRunOps* g_default_ops = nullptr;
SimRunResults* g_default_results = nullptr;
// Joins of COM counted per thread: only the first one joins.
thread_local std::int32_t t_com_joins = 0;

constexpr std::size_t kTimeUnitRoom = 9;
constexpr std::int32_t kRunModeOption = 29;
constexpr std::int32_t kDynamicMode = 4;
constexpr std::uint32_t kPropertyOption = 77;

bool Has(std::uint32_t count, std::uint32_t index) { return index < count; }

// "Time" in an expression is the time of the point being computed, which
// the integrator and the event search keep up to date.
double CurrentSimulationTime(std::uint64_t) { return GetSimulationTime(); }

}  // namespace

SimProblemMgr* SimProblemMgr::Instance() { return g_problem_manager; }

SimProblemMgr::SimProblemMgr(DseServerRegistry* registry, Status* result) {
  if (result != nullptr) *result = status::kOk;
  SetMasterManager(this);
  instances_ = std::make_unique<SimInstanceMgr>();
  library_ = std::make_unique<SimLibraryMgr>();
  properties_ = std::make_unique<GppiPropertyMgr>();
  instances_->SetExpressionTree(library_.get());
  // The action manager joins the master here unless some owner made it first.
  actions_ = SimActionMgr::Instance();
  actions_->SetEventSource(this);

  SetProblemManagerHooks(this);
  daes::SetProblemManagerServices(this);
  SystemFunction::Register("Time", 0, &CurrentSimulationTime, true);
  g_problem_manager = this;
  options_ = SolverOptionTable::Instance();
  options_->SetOwner(this);
  // What loaded libraries and generated code ask (QLN_Rqst: the time, the
  // tolerances, the run mode) the table answers.
  SetEngineOptionsHandler(options_);

  std::string current;
  if (SimWorkingFolder::GetCurrentFolder(&current) == SimWorkingFolder::kOk) {
    folders_.SetWorkingFolder(current.c_str());
  }
  run_state_ = 2;
  SetStatusBits(run_bits::kEngineUp);
  SetRunOps(g_default_ops);
  SetRunResults(g_default_results);
  handover_ = SimRunHandover::Create(this);
  executive_ = std::make_unique<SimExecutiveService>(*this);
  explicit_events_ = std::make_unique<SimExplicitEventService>(*this);
  implicit_events_ = std::make_unique<SimImplicitEventService>(*this);
  monitor_factory_ = std::make_unique<SimMonitorMgr>();
  actions_->RegisterFactory(monitor_factory_.get());
  sync_factory_ = std::make_unique<SimSyncMgr>();
  actions_->RegisterFactory(sync_factory_.get());
  delays_ = std::make_unique<SimDelayService>(*this);
  delay_jumps_ = std::make_unique<SimDelayJumpService>(*this);
  init_spec_ = std::make_unique<SimInitSpecAction>(*this);
  actions_->RegisterFactory(init_spec_.get());
  events_.SetNotice([this](std::uint64_t id) {
    if (actions_ != nullptr) actions_->ExplicitEventNotice(id);
  });
  notified_bits_ = 0;
  notified_time_ = -99.0;
  preparation_ = 1;

  if (registry != nullptr) {
    // The managers of later subsystems register their ids as they arrive.
    const std::pair<std::uint32_t, DseServerCB*> services[] = {
        {kFileService, this},
        {kFileServiceToo, this},
        {kProblemService, this},
        {kProblemServiceToo, this},
        {SimLibraryMgr::kService, library_.get()},
        {SimInstanceMgr::kService, instances_.get()},
        {kOptionService, this},
        {kOptionServiceToo, this},
        {GppiPropertyMgr::kService, properties_.get()},
        {SimActionMgr::kService, actions_},
    };
    for (const auto& [id, server] : services) {
      const Status registered = registry->Register(id, server);
      if (status::IsFailure(registered) && result != nullptr) *result = registered;
    }
  }

  if (t_com_joins++ == 0) {
    const Status joined = platform::CoInitializeEx(nullptr, platform::COINIT_MULTITHREADED);
    if (status::IsFailure(joined)) {
      std::fprintf(stderr, "SimProblemMgr: cannot join COM (0x%08X)\n", joined);
    }
  }
  com_joins_ = 1;
}

SimProblemMgr::~SimProblemMgr() {
  handover_->Shutdown();
  executive_->ReleaseAll();
  events_.Clear();
  SimActionMgr::Destroy();
  actions_ = nullptr;
  SimWorkingFolder::DeleteResultFiles(folders_.RunFolderDescriptor());
  if (com_joins_ > 0 && --t_com_joins == 0) platform::CoUninitialize();
  if (options_ != nullptr && SolverOptionTable::Existing() == options_) options_->SetOwner(nullptr);
  if (options_ != nullptr && EngineOptionsHandler() == options_) SetEngineOptionsHandler(nullptr);
  if (GetProblemManagerHooks() == this) SetProblemManagerHooks(nullptr);
  // The tree goes after this body, its variables with it.
  if (daes::ProblemManagerServices() == this) daes::SetProblemManagerServices(nullptr);
  ClearProcedureContext();
  if (g_problem_manager == this) g_problem_manager = nullptr;
  SetMasterManager(nullptr);
}

Status SimProblemMgr::QueryInterface(const platform::IID& iid, void** object) {
  constexpr Status kNoInterface = 0x80004002u;
  if (object == nullptr) return 0x80070057u;
  platform::IUnknown* face = nullptr;
  if (iid == platform::IID_IUnknown || iid == IID_IQLNESOFactory) {
    face = executive_.get();
  } else if (iid == IID_IQLNExplicitEventMgr) {
    face = explicit_events_.get();
  } else if (iid == IID_IQLNImplicitEventMgr) {
    face = implicit_events_.get();
  } else if (iid == IID_IQLNPropertiesManager) {
    face = static_cast<IQLNPropertiesManager*>(properties_.get());
  } else if (iid == IID_IQLNDelayManager) {
    face = delays_.get();
  } else if (iid == IID_IQLNDelayJumps) {
    face = delay_jumps_.get();
  } else if (iid == IID_IQLNSensitivityManager) {
    // Counts from the sensitivity manager, matrices to the integrator.
    face = GetSensitivityManagerOps();
  }
  if (face == nullptr) return kNoInterface;
  *object = face;
  AddRef();
  return status::kOk;
}

void SimProblemMgr::Report(Status status, const std::string& text) {
  collector_.AddGroup(status, {text});
}

void SimProblemMgr::ReportAtOnce(Status status, const std::string& text) {
  Report(status, text);
  // Ahead of the reply that refuses, so the client reads why with it.
  collector_.SendGroupsNow();
}

const char* SimProblemMgr::TimeUnit(double* scale) {
  if (scale != nullptr) *scale = time_scale_;
  return time_unit_.c_str();
}

const char* SimProblemMgr::WorkingFolderPath() {
  return folders_.WorkingFolder().empty() ? nullptr : folders_.WorkingFolder().c_str();
}

const char* SimProblemMgr::RunFolderPath() {
  if (folders_.RunName().empty()) return nullptr;
  run_folder_text_ = folders_.RunFolder();
  return run_folder_text_.c_str();
}

void SimProblemMgr::SetDefaultSeams(SimRunOps* ops, SimRunResults* results) {
  g_default_ops = ops;
  g_default_results = results;
}

void SimProblemMgr::SetRunOps(SimRunOps* ops) { run_ops_ = ops != nullptr ? ops : &plain_ops_; }

void SimProblemMgr::SetRunResults(SimRunResults* results) {
  results_ = results != nullptr ? results : &plain_results_;
}

std::int32_t SimProblemMgr::JoinCom() {
  if (t_com_joins++ == 0) {
    const Status joined = platform::CoInitializeEx(nullptr, platform::COINIT_MULTITHREADED);
    if (status::IsFailure(joined)) {
      std::fprintf(stderr, "SimProblemMgr: cannot join COM (0x%08X)\n", joined);
    }
  }
  return t_com_joins;
}

std::int32_t SimProblemMgr::LeaveCom() {
  if (t_com_joins > 0 && --t_com_joins == 0) platform::CoUninitialize();
  return t_com_joins;
}

// --- primary services ---

void SimProblemMgr::ForgetVariable(DAESVarTableEntry* entry) {
  MonitorServices().UnregisterRamped(entry);
  if (monitor_factory_ != nullptr) monitor_factory_->ForgetEntry(entry);
  upper_->ForgetVariable(entry);
}

void SimProblemMgr::SetUpperServices(SimUpperServices* upper) {
  upper_ = upper != nullptr ? upper : &plain_upper_;
}

void SimProblemMgr::LeaveNestedMode() {
  if (nested_ == 0) return;
  if (--nested_ == 0 && integrator_ != nullptr) integrator_->NestedRunsEnded();
}

DseMessage* SimProblemMgr::NewNotificationMessage(std::uint32_t type) {
  return new DseMessage(type, DseMessage::kRequest);
}

Status SimProblemMgr::SendMessage(DseMessage* message, std::uint32_t options, DseClientCB* client,
                                  void* context) {
  if (message == nullptr) return status::kBadArguments;
  if (DseCurrentController() == nullptr) {
    delete message;
    return status::kGeneralFailure;
  }
  return DseSendMessage(message, options, client, context, nullptr, -1);
}

std::int32_t SimProblemMgr::IntegratorQuery() const {
  return integrator_ != nullptr ? integrator_->GetIntegratorKind() : -1;
}

void SimProblemMgr::ProblemValueQuery(std::int32_t* variables, std::int32_t* equations) const {
  DAESProblem* problem = GetCurrentProblem();
  if (variables != nullptr) *variables = problem != nullptr ? problem->VariableCount() : 0;
  if (equations != nullptr) *equations = problem != nullptr ? problem->EquationCount() : 0;
}

Status SimProblemMgr::DelayOperation(double time) {
  DelayMgr* delays = GetCurrentDelayMgr();
  return delays != nullptr ? delays->RecordAll(time) : status::kOk;
}

Status SimProblemMgr::ProblemOperation(const std::function<Status(DAESProblem&)>& operation) {
  DAESProblem* problem = GetCurrentProblem();
  if (problem == nullptr) return pm_status::kNoProblem;
  return operation ? operation(*problem) : status::kOk;
}

Status SimProblemMgr::ReportSolverObjects(
    const std::function<Status(platform::IUnknown*, std::int32_t, double)>& report) {
  if (!report) return status::kOk;
  Status result = status::kOk;
  const double now = GetSimulationTime();
  for (std::int32_t slot = 0; slot < SimExecutiveService::kSlots; ++slot) {
    platform::IUnknown* object = executive_->SolverObject(slot);
    if (object == nullptr) continue;
    const Status reported = report(object, slot, now);
    if (status::IsFailure(reported) && !status::IsFailure(result)) result = reported;
  }
  return result;
}

Status SimProblemMgr::ExportProblemCode() {
  if (GetCurrentProblem() == nullptr) {
    const Status prepared = run_ops_->PrepareSimulation(0, 0);
    if (status::IsFailure(prepared)) return prepared;
    // The export built it outside a run: the next run prepares again.
    preparation_ = 2;
  }
  DAESProblem* problem = GetCurrentProblem();
  if (problem == nullptr) return pm_status::kNoProblem;
  return upper_->WriteProblemCode(problem, [this](Status status, const char* line) {
    SuPrint(status, "%s", line != nullptr ? line : "");
    collector_.SendGroups();
  });
}

void SimProblemMgr::ReleaseExportPreparation() {
  if (GetCurrentProblem() == nullptr || preparation_ != 2) return;
  run_state_ = 2;
  step_result_pending_ = false;
  preparation_ = 3;
}

// --- the run thread ---

Status SimProblemMgr::StartSolverThread() {
  return handover_->StartSolverThread(no_exception_handling_ != 0);
}

bool SimProblemMgr::IntegrationGoesOn() const {
  return step_result_pending_ &&
         SolverOptions::Instance()->GetInt(kRunModeOption) == kDynamicMode;
}

Status SimProblemMgr::StopRun() {
  handover_->StopRun();
  run_state_ = 2;
  step_result_pending_ = false;
  if (step_scheduled_) {
    results_->RecordRunClock();
    poll_with_timers_ = true;
    const SimExplicitEvent* first = events_.Head();
    if (first != nullptr && (first->kind & (16 | 32)) != 0) events_.DeleteFirst();
    // A step stopped after it reached its communication point: the point
    // is passed, and left in the list it would be the next step's target,
    // which would then not move the run.
    first = events_.Head();
    if (first != nullptr && first->kind == step_event::kCommunication &&
        record_.time + events_.Tolerance() >= first->time)
      events_.DeleteFirst();
    step_scheduled_ = false;
  }
  ++record_.stops;
  return status::kOk;
}

// --- commands ---

Status SimProblemMgr::HandleCommand(std::uint32_t, std::uint32_t command,
                                    std::uint32_t string_count, const char* const* strings,
                                    std::uint32_t integer_count, const std::int32_t* integers,
                                    std::uint32_t real_count, const double* reals) {
  SolverOptionTable::Instance();
  auto integer = [&](std::uint32_t i) { return Has(integer_count, i) ? integers[i] : 0; };
  auto text = [&](std::uint32_t i) -> const char* {
    return Has(string_count, i) && strings[i] != nullptr ? strings[i] : nullptr;
  };
  if (StepScheduled() && TouchesTheRun(command)) return pm_status::kBusy;
  switch (command) {
    case 2:
      ClearStatusBits(run_bits::kEngineUp);
      if (SolverOptions::Instance()->GetInt(kRunModeOption) == kDynamicMode) {
        // The run's end is written from what a step still computing writes:
        // the step is stopped first.
        if (StepScheduled()) StopRun();
        results_->EndOfDynamicRun();
      }
      interrupt_ = 1;
      return pm_status::kEnding;
    case 6: {
      const Status prepared = CommandPrepare(integer_count, integers);
      // The lines that say why a model was refused go ahead of the reply:
      // a client may close as soon as it reads the failure.
      if (status::IsFailure(prepared)) collector_.SendGroupsNow();
      return prepared;
    }
    case 3:
      return CommandSetName(string_count, strings);
    case 5:
      return CommandSaveAs(string_count, strings);
    case 4:
      if (text(0) != nullptr && status::IsSuccess(XosDynamicLibrary::AddSearchPath(text(0))))
        folders_.AddClientSearchPath(text(0));
      return pm_status::kSevereFailure;
    case 8:
      return CommandPause();
    case 9:
      return CommandRun();
    case 10:
      // During a run the loop takes the step from the count; a request left
      // set as well would start one more run after it.
      if ((StatusBits() & run_bits::kRunning) == 0) step_request_ = 1;
      run_state_ = 0;
      ++step_count_;
      return status::kOk;
    case 14:
      return CommandInterrupt();
    case 29:
      return CommandEdit(integer_count, integers);
    case 32:
      return results_->HandleCommand(string_count, strings, integer_count, integers, real_count,
                                     reals);
    case 39:
      if (!instance_record_made_) {
        instance_record_made_ = true;
        instance_flag_ = 1;
      }
      if (Has(integer_count, 0) && integer(0) < child_number_) instance_flag_ = 0;
      return status::kOk;
    case 41:
      if (!(Has(integer_count, 0) && integer(0) == 0)) ++record_.stops;
      return status::kOk;
    case 57:
      no_exception_handling_ = integer(0) != 0 ? 1 : 0;
      return status::kOk;
    case 80:
      options_flag_a_ = integer(0) != 0 ? 1 : 0;
      if (GetCurrentProblem() != nullptr && preparation_ == 2) {
        run_state_ = 2;
        step_result_pending_ = false;
        preparation_ = 3;
      }
      return status::kOk;
    case 81:
      options_flag_b_ = integer(0) != 0 ? 1 : 0;
      return status::kOk;
    case 130:
      if (text(0) != nullptr) time_unit_ = std::string(text(0)).substr(0, kTimeUnitRoom);
      if (Has(real_count, 0)) time_scale_ = reals[0];
      return status::kOk;
    case 94:
      return CommandSetTime(Has(real_count, 0) ? reals[0] : 0.0);
    case 137:
      return pm_status::kSevereFailure;
    case 141:
      return CommandLockCheck(string_count, strings);
    case 142:
      folders_.CloseLock();
      single_action_ = 1;
      return status::kOk;
    case 150:
      return CommandRelease();
    default:
      // Unknown numbers, and those whose subsystems are not built yet.
      return pm_status::kFailure;
  }
}

bool SimProblemMgr::TouchesTheRun(std::uint32_t command) {
  // 94 sets the clock that the step moves.
  return command == 6 || command == 29 || command == 80 || command == 94 || command == 150;
}

Status SimProblemMgr::CommandPrepare(std::uint32_t count, const std::int32_t* integers) {
  // Nothing to prepare in: the line that said why went out with the attach.
  if (attach_failure_ != 0) return attach_failure_;
  problem_ready_ = 1;
  // A full preparation starts from a new problem: the old one is discarded,
  // and marked to be built again even where the built bit stays set. A
  // light one keeps the problem; the managers only hear of the discard.
  const bool full = preparation_ == 1 || preparation_ == 3 || problem_given_up_;
  if (full)
    DiscardProblem();
  else
    SimMasterManager::DiscardProblem();
  if (actions_ != nullptr) {
    NewSimAction* created = nullptr;
    actions_->CreateAction(SimInitSpecAction::kName, 0, &created);
  }
  // A light preparation keeps the built problem; after an edit gave it up
  // there is none to keep.
  if (!full) {
    light_preparation_ = true;
    SetStatusBits(run_bits::kBuilt | run_bits::kSolvers | run_bits::kQualityOutput);
    if (status::IsFailure(StartSolverThread()) || !handover_->ThreadStarted()) {
      ClearStatusBits(run_bits::kProblemBits & ~run_bits::kBuilt);
      return pm_status::kFailure;
    }
    SetStatusBits(run_bits::kReady);
    // Without this a run after an edit that kept the problem is refused
    // for good.
    preparation_ = 0;
    return status::kOk;
  }
  const bool rebuild = count > 0 && integers[0] != 0;
  const bool solvers = count > 1 && integers[1] != 0;
  const Status prepared = run_ops_->PrepareSimulation(rebuild ? 1 : 0, solvers ? 1 : 0);
  if (status::IsFailure(prepared)) return prepared;
  problem_given_up_ = false;
  preparation_ = 0;
  return prepared;
}

Status SimProblemMgr::CommandInterrupt() {
  const std::uint32_t needed = run_bits::kReady | run_bits::kRunning;
  if ((StatusBits() & needed) != needed) return pm_status::kBusy;
  const Status stopped = StopRun();
  if (actions_ != nullptr) actions_->ResetAll();
  collector_.ClearGroups();
  // The counts of the stopped run survive the freeing: told after it.
  EndRunReports();
  pending_event_time_ = -1.0;
  SuPrint(0, "\nSimulation run has been interrupted.\n");
  std::fputs("*** INTERRUPT! ***\n", stdout);
  std::fflush(stdout);
  run_interrupted_ = 1;
  return stopped;
}

void SimProblemMgr::BeginRunReports() {
  if (!run_reports_) run_reports_.emplace();
}

void SimProblemMgr::EndRunReports() { run_reports_.reset(); }

Status SimProblemMgr::CommandSetTime(double time) {
  record_.time = time;
  record_.counter = 0;
  step_result_pending_ = false;
  reinitialise_ = 0;
  results_->MoveTo(time);
  return results_->SendTimeMessage(time);
}

void SimProblemMgr::ReleaseLightPreparation() {
  light_preparation_ = false;
  executive_->ReleaseAll();
  if (integrator_ != nullptr) integrator_->ReleaseSolvers();
  NotifySolversChanged();
}

void SimProblemMgr::ResetRunClock() {
  if (record_.time == 0.0 && record_.counter == 0) return;
  record_.time = 0.0;
  record_.counter = 0;
  step_result_pending_ = false;
  reinitialise_ = 0;
  results_->MoveTo(0.0);
}

Status SimProblemMgr::CommandRelease() {
  check_problem_ = false;
  Status result = status::kOk;
  if (GetCurrentProblem() != nullptr) {
    if (integrator_ != nullptr) integrator_->ReleaseSolvers();
    result = ReleaseSolvers();
    DeleteProblem(GetCurrentProblem());
    check_problem_ = true;
  }
  return result;
}

Status SimProblemMgr::CommandSetName(std::uint32_t count, const char* const* strings) {
  if (count >= 2 && strings[1] != nullptr && strings[1][0] != '\0') {
    // The run folder is made inside it, never the folder itself.
    const std::string folder = NativeFilePath(strings[1]);
    platform::FileInfo info;
    if (!platform::GetFileInfo(folder.c_str(), &info, nullptr) || !info.is_directory) {
      ReportAtOnce(SimWorkingFolder::kCannotCreate,
                   "Working folder " + folder + " does not exist: no run folder can be made in it");
      return SimWorkingFolder::kCannotCreate;
    }
  }
  attach_failure_ = 0;
  ClearStatusBits(run_bits::kProblemBits);
  preparation_ = 1;
  // An empty name names nothing: without a name no run folder would open.
  const char* name =
      count > 0 && strings[0] != nullptr && strings[0][0] != '\0' ? strings[0] : kUntitled;
  name_ = name;
  unnamed_ = name_ == kUntitled;
  folders_.SetPendingName(name_);
  if (count >= 2 && strings[1] != nullptr) {
    folders_.SetWorkingFolder(strings[1]);
    second_text_ = count >= 3 && strings[2] != nullptr ? strings[2] : strings[1];
  }
  // Without a problem the folder is taken now, lock first: an engine that
  // comes second hears so here, before it reuses anything there. A folder
  // that cannot be made is tried again, and told, as the problem attaches.
  if (GetCurrentProblem() != nullptr) return status::kOk;
  std::string why;
  const Status opened = folders_.OpenRunFolder(&why);
  const bool held = opened == SimWorkingFolder::kInUse;
  if (!held && opened != SimWorkingFolder::kCannotCreate) {
    if (status::IsFailure(opened)) folders_.SetPendingName(name_);
    return status::kOk;
  }
  attach_failure_ = SimWorkingFolder::kCannotCreate;
  // Told as command 141 tells it: held by another engine, or no engine's
  // to lock.
  const Status refused = held ? pm_status::kFailure : SimWorkingFolder::kCannotCreate;
  ReportAtOnce(refused, "Cannot make the run folder " + folders_.TriedRunFolder() + ": " + why);
  return refused;
}

Status SimProblemMgr::CommandSaveAs(std::uint32_t count, const char* const* strings) {
  const char* name = count > 0 && strings[0] != nullptr ? strings[0] : kUntitled;
  const char* folder = count > 1 ? strings[1] : nullptr;
  const std::string old_folder = folders_.WorkingFolder();
  const std::string old_name = folders_.RunNameOrNull();
  const bool same_name = strcasecmp(name, old_name.c_str()) == 0;
  const bool same_folder =
      folder == nullptr ||
      strcasecmp(SimWorkingFolder::WithSeparator(folder).c_str(), old_folder.c_str()) == 0;
  if (same_name && same_folder) {
    unnamed_ = false;
    SimMasterManager::SaveFiles();
    return pm_status::kOk;
  }
  const bool had_problem = GetCurrentProblem() != nullptr;
  SimMasterManager::SaveAs(old_folder.c_str(), old_name.c_str());
  const std::string old_path = folders_.RunFolder();
  // What is deleted there goes through the folder the engine entered.
  const platform::FileDescriptor old_run(
      folders_.RunFolderDescriptor() >= 0 ? ::dup(folders_.RunFolderDescriptor()) : -1);

  name_ = name;
  if (folder != nullptr) {
    folders_.SetWorkingFolder(folder);
    second_text_ = count > 2 && strings[2] != nullptr ? strings[2] : folder;
  }
  folders_.SetPendingName(name_);
  std::string why;
  Status result = folders_.OpenRunFolder(&why);
  if (result != SimWorkingFolder::kNoPendingName && status::IsFailure(result)) {
    // The files would go wherever the engine is, or through a folder that
    // is not the user's: none are written.
    ReportAtOnce(SimWorkingFolder::kCannotCreate,
                 "Cannot make the run folder " + folders_.TriedRunFolder() + ": " + why);
    return SimWorkingFolder::kCannotCreate;
  }
  if (unnamed_) {
    // The untitled run folder only held what this engine put there.
    unnamed_ = false;
    if (old_run.valid() && old_name != "." && old_name != "..") {
      SimWorkingFolder::DeleteResultFiles(old_run.get());
      SimWorkingFolder::DeleteTempFiles(old_run.get());
      platform::RemoveDirectory(old_path.c_str());
    }
  } else {
    SimWorkingFolder::DeleteResultFiles(old_run.get());
  }
  if (had_problem) {
    result = SimMasterManager::StartNewFiles(folders_.WorkingFolder().c_str(), name_.c_str());
    if (!status::IsFailure(result)) result = SimMasterManager::SaveFiles();
  }
  return result;
}

Status SimProblemMgr::CommandPause() {
  const std::uint32_t needed = run_bits::kReady | run_bits::kRunning;
  if ((StatusBits() & needed) != needed) return pm_status::kBusy;
  // 2 when the simulation has moved past the run position the results
  // keep (a step stopped short of its communication point, or one is under
  // way): the step collected next then records where the pause came.
  pause_request_ = GetSimulationTime() > results_->RunPosition() ? 2 : 1;
  run_state_ = 2;
  return status::kOk;
}

Status SimProblemMgr::CommandRun() {
  if (preparation_ != 0 || (StatusBits() & run_bits::kReady) == 0) return pm_status::kNotPrepared;
  run_request_ = 1;
  run_state_ = 1;
  return status::kOk;
}

Status SimProblemMgr::CommandEdit(std::uint32_t count, const std::int32_t* integers) {
  DsePostEventText(SputMessageCollector::kEventCode, 0, "Editing Simulation");
  problem_ready_ = 0;
  if (count > 0 && integers[0] != 0) {
    run_state_ = 2;
    step_result_pending_ = false;
    preparation_ = 3;
    return status::kOk;
  }
  preparation_ = 2;
  ClearStatusBits(run_bits::kProblemBits);
  if (handover_->ThreadStarted()) StopRun();
  return status::kOk;
}

Status SimProblemMgr::CommandLockCheck(std::uint32_t count, const char* const* strings) {
  const char* name = count > 0 ? strings[0] : nullptr;
  const char* folder = count > 1 ? strings[1] : folders_.WorkingFolder().c_str();
  std::string why;
  const Status checked = SimWorkingFolder::CheckFolder(folder, name != nullptr ? name : "", &why);
  if (!why.empty()) ReportAtOnce(checked, "The run folder cannot be locked: " + why);
  return checked;
}

// --- requests ---

Status SimProblemMgr::HandleRequest(std::uint32_t type, DseMessage* request, DseMessage** reply,
                                    DseTemplate** kept) {
  switch (type) {
    case kFileService:
    case kFileServiceToo:
      return ServeFiles(type, request, reply, kept);
    case kProblemService:
    case kProblemServiceToo:
      if (request->subtype != DseMessage::kRequest) {
        return DseServerCB::HandleRequest(type, request, reply, kept);
      }
      return ServeProblemRequest(request, reply);
    default:
      return pm_status::kFailure;
  }
}

Status SimProblemMgr::ServeFiles(std::uint32_t type, DseMessage* request, DseMessage** reply,
                                 DseTemplate** kept) {
  const Status served = files_.HandleRequest(type, request, reply, kept);
  if (status::IsFailure(served) || (served & kCodeMask) != kFolderChanged) return served;
  // The client changed the current folder: it becomes the working folder
  // unless one is known already.
  if (folders_.WorkingFolder().empty()) {
    std::string current;
    if (SimWorkingFolder::GetCurrentFolder(&current) == SimWorkingFolder::kOk) {
      folders_.SetWorkingFolder(current.c_str());
    }
  }
  return status::kOk;
}

Status SimProblemMgr::ServeProblemRequest(DseMessage* request, DseMessage** reply) {
  return SimClientRequests(*this).Serve(request, reply);
}

Status SimProblemMgr::SetItem(std::uint32_t type, const BvuIdPath& ids, std::uint32_t second,
                              std::uint32_t first, SUValue* value) {
  if (type != kOptionService && type != kOptionServiceToo) return pm_status::kFailure;
  // A write calls the option's solver clients at once, which must not race
  // the step; the table does not say which numbers have them, so all wait.
  if (StepScheduled()) return pm_status::kBusy;
  const Status set = SolverOptionTable::Instance()->SetItem(type, ids, second, first, value);
  // The property package hears of its option.
  if (SolverOptionTable::WrittenNumber(ids, first) == kPropertyOption && !status::IsFailure(set))
    properties_->OptionsChanged();
  return set;
}

// --- master operations ---

Status SimProblemMgr::AttachProblem(const char* folder, const char* name) {
  std::string why;
  const Status opened = folders_.OpenRunFolder(&why);
  if (opened != SimWorkingFolder::kNoPendingName && status::IsFailure(opened)) {
    // Run files written wherever the engine happens to be (its own folder,
    // often) would be lost to the client: no run folder, no problem.
    attach_failure_ = SimWorkingFolder::kCannotCreate;
    ReportAtOnce(attach_failure_,
                 "Cannot make the run folder " + folders_.TriedRunFolder() + ": " + why);
    return attach_failure_;
  }
  SimWorkingFolder::DeleteTempFiles(folders_.RunFolderDescriptor());
  SimWorkingFolder::BackUpOrRestore([this] { SendRestoredNotice(); });
  return SimMasterManager::AttachProblem(folder, name);
}

void SimProblemMgr::SendRestoredNotice() {
  const std::int32_t restored = 0;
  auto* notice =
      new DseCommand(SimWorkingFolder::kRestoredService, SimWorkingFolder::kRestoredCommand, 0,
                     nullptr, 1, &restored, 0, nullptr);
  notice->flags |= DseMessage::kNoReply;
  if (DseCurrentController() == nullptr) {
    delete notice;
    return;
  }
  DseSendMessage(notice, 0, nullptr, nullptr, nullptr, -1);
}

Status SimProblemMgr::ProblemEdited() {
  if (preparation_ == 2) {
    run_state_ = 2;
    step_result_pending_ = false;
    preparation_ = 3;
  }
  problem_ready_ = 0;
  SetCurrentEventSchedule(nullptr);
  return SimMasterManager::ProblemEdited();
}

void SimProblemMgr::DeleteProblem(DAESProblem* problem) {
  if (problem == nullptr) return;
  problem->CloseProcedures();
  delete problem;
}

Status SimProblemMgr::DiscardProblem() {
  if (DAESProblem* problem = GetCurrentProblem()) {
    // Nothing may keep working on the problem once it is gone.
    if (integrator_ != nullptr) integrator_->ReleaseSolvers();
    ReleaseSolvers();
    executive_->ReleaseAll();
    DeleteProblem(problem);
    check_problem_ = true;
  }
  return SimMasterManager::DiscardProblem();
}

Status SimProblemMgr::StartRun(std::int32_t run_mode) {
  const Status told = SimMasterManager::StartRun(run_mode);
  if (status::IsFailure(told)) return told;
  const Status prepared = run_ops_->PrepareSimulation(0, 0);
  const char* qc = std::getenv("QLN_QCFileOpt");
  if (qc != nullptr && strcasecmp(qc, "Clean") == 0) results_->CloseValueDump();
  return prepared;
}

Status SimProblemMgr::WriteQcLine(const char* text) {
  return results_->WriteDumpLine(text != nullptr ? text : "");
}

Status SimProblemMgr::ReleaseSolvers() {
  // The delayed variables belong to the problem that goes with the solvers.
  if (DelayMgr* delays = GetCurrentDelayMgr()) delays->Clear();
  return SimMasterManager::ReleaseSolvers();
}

Status SimProblemMgr::DetachProblem(const char* folder, const char* sub_folder) {
  if (handover_->ThreadStarted()) StopRun();
  ClearStatusBits(run_bits::kProblemBits);
  if (installations_found_) {
    SimClientRequests::UnloadNLASolver(*this);
    SimClientRequests::RenewNonlinearMethod();
  }
  // Whatever works on the problem lets go of it before it is destroyed,
  // found installations or not; the broadcast stops at the first manager
  // that fails, so the integrator is told on its own first.
  if (integrator_ != nullptr) integrator_->ReleaseSolvers();
  ReleaseSolvers();
  executive_->ReleaseAll();
  DeleteProblem(GetCurrentProblem());
  events_.Clear();
  if (DelayMgr* delays = GetCurrentDelayMgr()) delays->Clear();
  ClearVariableDrivers();
  if (options_ != nullptr && SolverOptionTable::Existing() == options_) options_->SetDefaults();
  events_.SetTolerance(results_->CommunicationInterval() / 100.0);
  step_result_pending_ = false;
  run_state_ = 2;
  // Before the run files go: the estimation deletes its own snapshot.
  upper_->ResetEstimation();
  properties_->Reset();
  SimWorkingFolder::DeleteResultFiles(folders_.RunFolderDescriptor());
  record_ = RunStatusRecord{};
  return SimMasterManager::DetachProblem(folder, sub_folder);
}
