#include "control/problem/run_steps.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "control/problem/problem_manager.h"
#include "control/problem/problem_services.h"
#include "control/problem/server_integrator.h"
#include "control/properties/property_mgr.h"
#include "daes/delays/delay_mgr.h"
#include "daes/events/implicit_event.h"
#include "daes/model/var_table_entry.h"
#include "daes/problem/problem.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/group_method.h"
#include "foundation/interfaces/run_mode.h"
#include "foundation/interfaces/variable_drivers.h"
#include "foundation/messages/su_print.h"
#include "foundation/messages/su_repeats.h"
#include "framework/messaging/message_controller.h"
#include "framework/servers/sending.h"
#include "platform/posix_file.h"
#include "solve/ifaces/decomposition.h"
#include "solve/methods/solver_factories.h"
#include "solve/options/solver_option_table.h"

namespace {

// Solver options the steps read.
constexpr std::int32_t kOptExplicitEventTolerance = 7;
constexpr std::int32_t kOptLinearSolver = 25;
constexpr std::int32_t kOptRunMode = 29;
constexpr std::int32_t kOptRelativeSingularityCheck = 52;
constexpr std::int32_t kOptTearUpdate = 55;
constexpr std::int32_t kOptLocateIEvents = 144;
constexpr std::int32_t kOptReInitAfterIE = 145;
constexpr std::int32_t kOptDiscontinuityEventTol = 156;

// Variable flags: a state, a derivative, fixed or initial.
constexpr std::uint32_t kStateFlag = 0x1;
constexpr std::uint32_t kDerivativeFlag = 0x4;
constexpr std::uint32_t kFixedFlag = 0x80;
constexpr std::uint32_t kInitialFlag = 0x8000;

constexpr std::uint32_t kEventCode = 16;
constexpr Status kReusedSnapshot = 660;
constexpr Status kSevere = 0xA032FFFFu;

constexpr char kNoDescription[] = "No description supplied";
constexpr char kSnapshotFailed[] =
    "Failed to Save Snapshot, possibly due to insufficient disk space.\n run aborted.";
constexpr char kSnapshotLimit[] = "Maximum number of snapshots exceeded, Snapshot not saved.";

SolverOptions& Options() { return *SolverOptions::Instance(); }
std::int32_t RunModeOption() { return Options().GetInt(kOptRunMode); }
std::int32_t PrintLevel() { return Options().GetInt(kOptPrintLevel); }
bool Verbose() { return SolverOptionTable::Instance()->IsVerbose(); }
bool ReinitialiseAtEvents() {
  return Options().GetBool(kOptReInitAfterIE) && Options().GetBool(kOptLocateIEvents);
}

void MoveTime(double time) {
  SetSimulationTime(time);
  if (VariableDrivers().count() > 0) ApplyVariableDrivers(time);
}

// The error-report switch cleared, and the integration mode on, for one
// integrator call.
class IntegratorCall {
 public:
  explicit IntegratorCall(bool* mode, bool quiet) : mode_(mode), saved_(GetErrorReportSwitch()) {
    *mode_ = true;
    if (quiet) SetErrorReportSwitch(0);
  }
  ~IntegratorCall() {
    SetErrorReportSwitch(saved_);
    *mode_ = false;
  }
  IntegratorCall(const IntegratorCall&) = delete;
  IntegratorCall& operator=(const IntegratorCall&) = delete;

 private:
  bool* mode_;
  std::uint32_t saved_;
};

}  // namespace

SimRunSteps::SimRunSteps(SimProblemMgr& manager, SimRunModel* model) : pm_(manager) {
  if (model == nullptr) {
    own_model_ = std::make_unique<SimDaesRunModel>();
    model = own_model_.get();
  }
  model_ = model;
  make_integrator_ = [](std::int32_t choice, Status* made) {
    return SimServerIntegrator::Create(choice, made);
  };
  make_method_ = [](std::int32_t code, std::int32_t linear) {
    return CreateGroupMethod(code, linear);
  };
  SetServerProxyHost(this);
}

SimRunSteps::~SimRunSteps() {
  // The temporary build folder goes when it is empty; what was kept stays.
  if (!temporary_folder_.empty()) platform::RemoveDirectory(temporary_folder_.c_str());
  if (GetServerProxyHost() == this) SetServerProxyHost(nullptr);
  if (GetCurrentEventSchedule() == schedule_.get()) SetCurrentEventSchedule(nullptr);
}

SimRunResults& SimRunSteps::Results() { return pm_.RunResults(); }
SimRunIntegrator* SimRunSteps::Integrator() { return pm_.Integrator(); }

void SimRunSteps::SetPhase(std::int32_t phase) {
  previous_phase_ = GetSolutionPhase();
  SetSolutionPhase(phase);
}

void SimRunSteps::KeepDelayedValuesBefore(double time) {
  if (DelayMgr* delays = GetCurrentDelayMgr()) delays->KeepBeforeJump(time);
}

void SimRunSteps::StepDone(const char* label, double time) {
  if (DelayMgr* delays = GetCurrentDelayMgr()) delays->RecordAll(time);
  Results().WriteValues(label, time);
}

// --- preparation ---

Status SimRunSteps::PrepareSimulation(std::int32_t a, std::int32_t b) {
  DsePostEventText(kEventCode, 0, "Preparing simulation for solution");
  Status result = status::kOk;
  if ((pm_.StatusBits() & run_bits::kBuilt) == 0) {
    pm_.ClearStatusBits(run_bits::kProblemBits);
    const std::uint32_t changes = SolverOptionTable::Instance()->ApplyPendingChanges();
    if ((changes & kOptionChangeGroupMethods) != 0) EmptyGroupMethods();
    result = CheckProblem(nullptr, a, b);
  } else if (pm_.CheckProblemMarked()) {
    result = CheckProblem(nullptr, a, b);
  }
  if ((pm_.StatusBits() & run_bits::kSolvers) == 0 && !status::IsFailure(result)) {
    result = BuildSolvers();
    if (!status::IsFailure(result)) pm_.SetStatusBits(run_bits::kSolvers);
  }
  if (status::IsFailure(result)) {
    ReleaseProblem();
    return result;
  }
  if ((pm_.StatusBits() & run_bits::kQualityOutput) == 0) {
    pm_.SetStatusBits(run_bits::kQualityOutput);
    if (const char* file = std::getenv("SPQCFILE")) Results().OpenValueDump(file);
    if (const char* file = std::getenv("QCEXCLUSIONS")) Results().LoadDumpExclusions(file);
  }
  if ((pm_.StatusBits() & run_bits::kReady) != 0) return status::kOk;
  const std::string folder = CompileFolder();
  const Status compiled = model_->CompileForRun(GetCurrentProblem(), folder.c_str());
  if (status::IsFailure(compiled)) return compiled;
  const Status started = pm_.StartSolverThread();
  if (status::IsFailure(started)) return started;
  pm_.SetStatusBits(run_bits::kReady);
  DsePostEventText(kEventCode, 0, "Simulation ready for solution");
  return status::kOk;
}

// Never beside the program: its folder is shared by every engine and need
// not be writable.
std::string SimRunSteps::CompileFolder() {
  if (!pm_.Folders().RunName().empty()) return pm_.Folders().RunFolder();
  if (temporary_folder_.empty()) {
    std::error_code ec;
    std::string folder = (std::filesystem::temp_directory_path(ec) / "vantor-XXXXXX").string();
    int error = 0;
    if (!ec && platform::MakeTemporaryFolder(&folder, &error)) temporary_folder_ = folder + "/";
  }
  return temporary_folder_;
}

Status SimRunSteps::CheckProblem(DAESProblem** out, std::int32_t a, std::int32_t b) {
  if (out != nullptr) *out = nullptr;
  pm_.MarkLightPreparation();
  if (SimRunIntegrator* integrator = Integrator()) integrator->ForwardToServer16(a, &b);
  ReleaseProblem();
  Results().FreeDumpTables();

  if (GetCurrentEventSchedule() != nullptr) {
    model_->InstancesEdited();
    SetCurrentEventSchedule(nullptr);
  }
  schedule_.reset(DAESCreateEventSchedule());
  SetCurrentEventSchedule(schedule_.get());

  DAESProblem* problem = model_->CreateProblem(0);
  if (problem == nullptr) return run_step::kNoProblemMade;

  if (!model_->SolversSetUp(problem)) {
    // Built all the same for the status it reports.
    const Status built = model_->BuildSystem(problem);
    delete problem;
    pm_.MarkCheckProblem();
    return status::IsFailure(built) ? built : run_step::kNoProblemMade;
  }
  pm_.SimMasterManager::ProblemBuilt(problem->VariableCount(), problem->EquationCount());
  std::int32_t evaluator = pm_.options_flag_a_ != 0 ? SimRunModel::kCompiled : 0;
  if (const char* use = std::getenv("QLN_CE_USE")) {
    evaluator = use[0] == '0' ? SimRunModel::kInterpreted : SimRunModel::kCompiled;
  }
  const Status chosen = model_->ChooseEvaluator(problem, evaluator);
  if (status::IsFailure(chosen)) model_->ReportChoiceFailure(problem, chosen);
  const Status built = model_->BuildSystem(problem);
  if (status::IsFailure(built)) return built;

  if (out != nullptr) {
    *out = problem;
  } else {
    const Status opened = Results().OpenRecords();
    if ((opened & 0xFFFF) == kReusedSnapshot) pm_.SetStepResultPending(false);
  }
  std::int32_t variables = problem->VariableCount();
  std::int32_t equations = problem->EquationCount();
  std::int32_t non_zeros = static_cast<std::int32_t>(problem->NonZeroCount());
  const std::int32_t level = PrintLevel();
  if (level != 0 && (!pm_.IsNestedMode() || level >= 3)) {
    SuPrint(0, "Simulation has %d variables, %d equations and %d non-zeros", &variables, &equations,
            &non_zeros);
  }
  // A procedure that cannot take the new problem fails the build with its message.
  const Status opened = problem->OpenProcedures();
  if (status::IsFailure(opened)) return opened;
  pm_.SetStatusBits(run_bits::kBuilt);
  pm_.check_problem_ = false;
  return built;
}

Status SimRunSteps::ReleaseProblem() {
  DAESProblem* problem = GetCurrentProblem();
  if (problem == nullptr) return status::kOk;
  EnterRunMode(1);
  // Nothing may keep working on the problem once it is gone.
  if (SimRunIntegrator* integrator = Integrator()) integrator->ReleaseSolvers();
  const Status released = pm_.ReleaseSolvers();
  pm_.Executive().ReleaseAll();
  SimProblemMgr::DeleteProblem(problem);
  pm_.MarkCheckProblem();
  return released;
}

void SimRunSteps::ReleaseLightPreparation() { pm_.ReleaseLightPreparation(); }

Status SimRunSteps::EnterRunMode(std::int32_t mode) {
  DAESProblem* problem = GetCurrentProblem();
  if (problem == nullptr) return run_step::kUnknownStep;
  return model_->EnterRunMode(problem, mode);
}

Status SimRunSteps::BuildSolvers() {
  const std::int32_t kind = Options().GetInt(kOptIntegrator);
  if (SimRunIntegrator* integrator = Integrator()) {
    if (integrator->GetIntegratorKind() == kind) {
      FillGroupMethods();
      return status::kOk;
    }
    SetCurrentIntegrator(nullptr);
    pm_.SetIntegrator(nullptr);
  }
  Status made = status::kOk;
  std::unique_ptr<SimRunIntegrator> integrator = make_integrator_(kind, &made);
  Status result = 1;
  if (integrator == nullptr) {
    result = run_step::kNoIntegrator;
  } else if (status::IsFailure(integrator->ErrorStatus())) {
    result = integrator->ErrorStatus();
    integrator.reset();
  }
  SetCurrentIntegrator(integrator != nullptr ? integrator->Proxy() : nullptr);
  pm_.SetIntegrator(std::move(integrator));
  FillGroupMethods();
  return result;
}

void SimRunSteps::FillGroupMethods() {
  const std::int32_t linear = Options().GetInt(kOptLinearSolver);
  const std::int32_t torn =
      Options().GetInt(kOptTearUpdate) == 0 ? run_step::kTornWegstein : run_step::kTornMethod;
  const std::pair<std::int32_t, std::int32_t> slots[] = {
      {kGroupLinear, run_step::kLinearMethod},
      {kGroupNonlinear, run_step::kNonlinearMethod},
      {kGroupExplicit, run_step::kExplicitMethod},
      {kGroupTorn, torn},
  };
  for (const auto& [kind, code] : slots) {
    if (GetGroupMethod(kind) != nullptr) continue;
    QLNGroupMethod* method = make_method_(code, linear);
    if (method != nullptr && status::IsFailure(ReplaceGroupMethod(kind, method))) delete method;
  }
}

void SimRunSteps::EmptyGroupMethods() {
  for (std::int32_t kind = 0; kind < kGroupKindCount; ++kind) ReplaceGroupMethod(kind, nullptr);
}

Status SimRunSteps::ApplyOptionChanges() {
  SolverOptionTable* table = SolverOptionTable::Instance();
  if (!table->HasPendingChanges()) return 0;
  const std::int32_t mode = RunModeOption();
  const std::uint32_t changes = table->ApplyPendingChanges();
  if (changes == 0) return 0;
  if ((changes & kOptionChangeRunMode) != 0) ClearVariableDrivers();
  if ((changes & kOptionChangeCompression) != 0) {
    EnterRunMode(2);
    const double noted = pm_.record_.time;
    if (mode == kRunDynamic) Results().TakeDescribedSnapshot("Problem edited", 0, 0, 0, nullptr);
    CheckProblem(nullptr, 1, 0);
    if (mode == kRunDynamic) {
      SetSimulationTime(noted);
      pm_.CommandSetTime(noted);
    }
    EnterRunMode(1);
  }
  if ((changes & kOptionChangeDecomposition) != 0) ReleaseLightPreparation();
  if ((changes & kOptionChangeGroupMethods) != 0) EmptyGroupMethods();
  if ((changes & (kOptionChangeIntegrator | kOptionChangeGroupMethods)) != 0) {
    BuildSolvers();
    pm_.SetStepResultPending(false);
    pm_.record_.counter = 0;
  }
  return changes;
}

// --- the step ---

Status SimRunSteps::RunStep() {
  bool failed = false;
  Status result = status::kOk;
  {
    // A failing step repeats its reports many times over: each is told
    // once, and its count when the step ends, or the run command that
    // holds it comes to rest.
    SuRepeatScope repeats;
    result = StepWork(&failed);
  }
  // The notice these bits bring comes after every line of the step.
  if (failed) pm_.SetStatusBits(run_bits::kRunFailed | run_bits::kStoppedByAction);
  return result;
}

Status SimRunSteps::StepWork(bool* failed) {
  if (pm_.LightPreparation()) ReleaseLightPreparation();
  // What changed the model's values since the last step (assignments,
  // restores) reaches a compiled library's own copy of them.
  if (DAESProblem* problem = GetCurrentProblem()) problem->WriteCompiledValues();
  const SimExplicitEvent* head = pm_.Events().Head();
  if (head == nullptr) return run_step::kUnknownStep;
  const SimExplicitEvent event = *head;
  const double target = event.time;
  const std::uint32_t kind = event.kind;
  RunStatusRecord& clock = pm_.record_;

  if ((kind & (run_step::kInitialisationBit | run_step::kDynamicStartBit)) != 0) {
    pm_.SetPendingEventTime(target);
    const bool initialisation_run = RunModeOption() == kRunInitialisation;
    if (pm_.ReinitialisationMark() && !initialisation_run) {
      const bool at_event = run_step::Code(step_result_) == 601;
      step_result_ = Reinitialise(target, at_event);
      pm_.SetReinitialisationMark(false);
    } else {
      step_result_ = InitialisationStep(target);
    }
    clock.time = target;
    if (!status::IsFailure(step_result_)) {
      pm_.SetStatusBits(run_bits::kStepPending);
      clock.counter = 1;
      if (initialisation_run) {
        // Sent by the collecting state on the server thread.
        time_message_due_ = true;
        time_message_at_ = target;
      }
    } else {
      clock.counter = 0;
      pm_.ClearStatusBits(run_bits::kStepPending);
    }
    if (initialisation_run) ++clock.stops;
    return step_result_;
  }

  if ((kind & run_step::kSteadyStateBit) != 0) {
    pm_.SetPendingEventTime(target);
    pm_.SetReinitialisationMark(false);
    step_result_ = SolveSteadyState(0.0);
    clock.time = 0.0;
    if (!status::IsFailure(step_result_)) {
      if (Options().GetBool(kOptRelativeSingularityCheck)) CheckRelativeSingularity(0);
      ReportIndeterminateVariables(0);
      clock.counter = 1;
    } else {
      clock.counter = 0;
    }
    ++clock.stops;
    return step_result_;
  }

  if ((kind & run_step::kDynamicBit) != 0) {
    pm_.SetPendingEventTime(target);
    pm_.SetReinitialisationMark(false);
    step_result_ = IntegrateDynamic(target);
    const Status code = run_step::Code(step_result_);
    if (code == 600) {
      clock.time = target;
      clock.counter = 1;
      if ((kind & run_step::kSynchroniseBit) != 0 && Integrator() != nullptr) {
        Integrator()->SynchroniseTime();
      }
      return step_result_;
    }
    if (code == 601 || code == 624) {
      const bool reinitialise = ReinitialiseAtEvents();
      if (code == 601) {
        if (reinitialise) {
          pm_.SetReinitialisationMark(true);
          pm_.SetNextAction(2);
        } else {
          if (Integrator() != nullptr) Integrator()->Finish();
          if (QLNEventSchedule* schedule = GetCurrentEventSchedule()) schedule->EvaluateAll();
          // The integrator's restart records the values after the event.
          KeepDelayedValuesBefore(GetSimulationTime());
          const SimExplicitEvent* now = pm_.Events().Find(event.id);
          const double event_time = now != nullptr ? now->time : event.time;
          SimRunResults& results = Results();
          if ((kind & run_step::kCommunicationBit) != 0 &&
              std::fabs(event_time - target) >= pm_.Events().Tolerance() &&
              results.CommunicationCount() > 0) {
            results.LowerCommunicationCount();
          }
          step_result_ = status::kOk;
        }
      }
      const double now = GetSimulationTime();
      clock.time = now;
      clock.counter = 1;
      if (reinitialise) {
        pm_.SetPendingEventTime(now);
        pm_.Events().Add(run_step::kDynamicStartBit, now, -1.0, nullptr);
      }
      return step_result_;
    }
    if (!status::IsFailure(step_result_)) {
      clock.time = event.time;
      clock.counter = 1;
      return step_result_;
    }
    *failed = true;
    clock.time = GetSimulationTime();
    clock.counter = 0;
    pm_.SetPendingEventTime(clock.time);
    return step_result_;
  }
  return run_step::kUnknownStep;
}

Status SimRunSteps::InitialisationStep(double time) {
  SetRunMode(kRunInitialisation);
  MoveTime(time);
  SetPhase(1);
  const bool verbose = Verbose();
  if (verbose) SuPrint(0, "Initializing at time %g ", &time);
  Status result = run_step::kNoIntegrator;
  // The same model from the same values goes on as it was: only values the
  // initialisation changes make a break here (set values and an edit make
  // their own), and a run from a snapshot restarts no more than the run
  // that took it.
  if (DelayMgr* mgr = GetCurrentDelayMgr()) mgr->KeepBeforeJump(time, delays::kRoughestSmooth + 1);
  if (SimRunIntegrator* integrator = Integrator()) {
    IntegratorCall call(&integrating_, true);
    result = integrator->InitialiseAt(time);
  }
  // The lines that say how it ended are told however many reports came.
  const SuOutcomeLines outcome;
  if (!status::IsFailure(result)) {
    if (verbose) SuPrint(0, " ");
    StepDone("Initial-Value", time);
    if (Options().GetBool(kOptRelativeSingularityCheck)) CheckRelativeSingularity(1);
    ReportIndeterminateVariables(1);
  } else {
    SuPrint(verbose ? kSevere : 0, "Initialization failed at time %g", &time);
  }
  return result;
}

Status SimRunSteps::SolveSteadyState(double time) {
  SetRunMode(kRunSteadyState);
  MoveTime(time);
  SetPhase(1);
  if (DAESProblem* problem = GetCurrentProblem()) {
    for (std::int32_t i = 0; i < problem->VariableCount(); ++i) {
      DAESVarTableEntry* variable = problem->GetVariable(i);
      if (variable != nullptr && (variable->GetFlags() & kDerivativeFlag) != 0) {
        variable->SetValue(0.0);
      }
    }
  }
  const bool verbose = Verbose();
  if (verbose) SuPrint(0, "Solving steady state ...");
  Status result = run_step::kNoIntegrator;
  if (SimRunIntegrator* integrator = Integrator()) {
    IntegratorCall call(&integrating_, true);
    result = integrator->Initialise();
  }
  const SuOutcomeLines outcome;
  if (!status::IsFailure(result)) {
    if (verbose) SuPrint(0, "Steady state solution complete");
    StepDone("SS-Value", time);
  } else {
    SuPrint(pm_.IsNestedMode() ? 0 : kSevere, "Steady state solution failure");
  }
  return result;
}

Status SimRunSteps::FixedStateWarnings() {
  DAESProblem* problem = GetCurrentProblem();
  if (problem == nullptr) return status::kOk;
  std::int32_t fixed = 0;
  for (std::int32_t i = 0; i < problem->VariableCount(); ++i) {
    DAESVarTableEntry* variable = problem->GetVariable(i);
    if (variable == nullptr) continue;
    const std::uint32_t flags = variable->GetFlags();
    // An initial state carries the fixed bit too, but it is not fixed.
    if ((flags & kStateFlag) == 0 || (flags & kFixedFlag) == 0 || (flags & kInitialFlag) != 0) {
      continue;
    }
    BvuNameable* named = variable;
    SuPrint(0, "@ns is a Fixed State variable", &named);
    ++fixed;
  }
  if (fixed == 0) return status::kOk;
  if (fixed == 1) {
    SuPrint(run_step::kFixedStates,
            "There is a fixed state variable; your dynamic simulation may fail");
  } else {
    SuPrint(run_step::kFixedStates,
            "There are %d fixed state variables; your dynamic simulation may fail", &fixed);
  }
  return run_step::kFixedStates;
}

Status SimRunSteps::IntegrateDynamic(double target) {
  SetRunMode(kRunDynamic);
  SetPhase(0);
  double t0 = GetSimulationTime();
  Status result = status::kOk;
  if (t0 == 0.0) result = FixedStateWarnings();
  const bool verbose = Verbose();
  if (verbose) SuPrint(0, "Integrating from %g to %g", &t0, &target);

  SimRunIntegrator* integrator = Integrator();
  enum class Outcome { kReached, kLocated, kFailed } outcome = Outcome::kReached;
  double reached = target;
  if (integrator == nullptr) {
    result = run_step::kNoIntegrator;
    outcome = Outcome::kFailed;
  } else if (integrator->HasCapability0() && Options().GetBool(kOptLocateIEvents)) {
    if (t0 > target) return result;
    const double tolerance = Options().GetReal(kOptDiscontinuityEventTol);
    const double h = pm_.IsNestedMode() ? 0.0 : Options().GetReal(kOptExplicitEventTolerance);
    const double half = h * 0.5;
    bool called = false;
    while (target > t0 + half && outcome == Outcome::kReached) {
      called = true;
      // The bracket of an event starts where the integrator says it last
      // stood, when that lies before where it stopped; else at this leg's start.
      double low = t0;
      {
        IntegratorCall call(&integrating_, false);
        result = integrator->IntegrateTo(&low, target);
      }
      if (status::IsFailure(result)) {
        outcome = Outcome::kFailed;
        break;
      }
      if (GetSimulationTime() > target + h) {
        result = run_step::kOvershoot;
        outcome = Outcome::kFailed;
        break;
      }
      double t1 = GetSimulationTime();
      if (low < t1) t0 = low;
      QLNEventSchedule* schedule = GetCurrentEventSchedule();
      if (schedule != nullptr && schedule->AnyEventChanged() != 0) {
        if (verbose) SuPrint(0, "Model discontinuity detected between %g and %g", &t0, &t1);
        Status located = status::kOk;
        {
          IntegratorCall call(&integrating_, false);
          result = integrator->LocateDiscontinuity(t0, &t1, tolerance, verbose, &located);
        }
        if (status::IsFailure(result)) {
          outcome = Outcome::kFailed;
          break;
        }
        result =
            schedule->FirstFiringCount() != 0 ? run_step::kEventQueried : run_step::kEventLocated;
        outcome = Outcome::kLocated;
        reached = t1;
      }
      t0 = t1;
    }
    if (!called && status::IsFailure(result)) outcome = Outcome::kFailed;
  } else {
    {
      IntegratorCall call(&integrating_, false);
      result = integrator->IntegrateTo(&t0, target);
    }
    if (result != status::kOk) {
      reached = GetSimulationTime();
      outcome = status::IsFailure(result) ? Outcome::kFailed : Outcome::kLocated;
    }
  }

  SimRunResults& results = Results();
  switch (outcome) {
    case Outcome::kFailed: {
      const double point =
          static_cast<double>(results.CommunicationCount()) * results.CommunicationInterval() +
          results.CommunicationStart();
      if (target == point && results.CommunicationCount() != 0) results.LowerCommunicationCount();
      return result;
    }
    case Outcome::kLocated:
    case Outcome::kReached:
      break;
  }
  // A stop at an event answers the sensitivities there, as a point does.
  if (SensitivityQuery4() != 0 && integrator->HasCapability3()) {
    const Status carried = integrator->TransferSensitivities(reached);
    if (status::IsFailure(carried)) return carried;
  }
  StepDone("DYN-Value", reached);
  return outcome == Outcome::kLocated ? result : run_step::kTargetReached;
}

Status SimRunSteps::Reinitialise(double time, bool at_event) {
  SetRunMode(kRunReinitialisation);
  SetPhase(2);
  Status result = run_step::kNoIntegrator;
  KeepDelayedValuesBefore(GetSimulationTime());
  if (SimRunIntegrator* integrator = Integrator()) {
    IntegratorCall call(&integrating_, false);
    result = integrator->Reinitialise(time, at_event);
  }
  if (!status::IsFailure(result)) StepDone("ReInitialisation-Value", GetSimulationTime());
  return result;
}

Status SimRunSteps::QueryDecomposition(std::int32_t solver, bool check) {
  if (pm_.IsNestedMode() && PrintLevel() < 3) return status::kOk;
  platform::IUnknown* object = pm_.Executive().SolverObject(solver);
  if (object == nullptr) return status::kOk;
  void* face = nullptr;
  const Status queried = object->QueryInterface(IID_IQLNDecomposition20, &face);
  if (status::IsFailure(queried) || face == nullptr) return queried;
  auto* decomposition = static_cast<IQLNDecomposition20*>(face);
  const Status result =
      check ? decomposition->ForEachGroup20() : decomposition->ReportIndeterminate();
  decomposition->Release();
  return result;
}

Status SimRunSteps::CheckRelativeSingularity(std::int32_t solver) {
  return QueryDecomposition(solver, true);
}

Status SimRunSteps::ReportIndeterminateVariables(std::int32_t solver) {
  // Part of how a steady state or initialisation ended.
  const SuOutcomeLines outcome;
  return QueryDecomposition(solver, false);
}

// --- around the steps ---

Status SimRunSteps::SendDueTimeMessage(bool* sent) {
  if (sent != nullptr) *sent = time_message_due_;
  if (!time_message_due_) return status::kOk;
  time_message_due_ = false;
  step_result_ = Results().SendTimeMessage(time_message_at_);
  return step_result_;
}

Status SimRunSteps::ThreadSetUp() {
  GppiPropertyMgr* properties = pm_.Properties();
  return properties != nullptr ? properties->ThreadSetUp() : status::kOk;
}

Status SimRunSteps::RecordStep() {
  const RunStatusRecord& clock = pm_.Record();
  const Status taken =
      Results().TakeStepSnapshot(clock.time, clock.counter, pm_.pause_request_ >= 2);
  if (status::IsFailure(taken)) {
    DsePostEventText(kEventCode, run_step::kUnknownStep, kSnapshotFailed);
    pm_.SetNextAction(6);
  } else if (taken != status::kOk && PrintLevel() > 0) {
    DsePostEventText(kEventCode, 0, kSnapshotLimit);
  }
  return taken;
}

void SimRunSteps::QueueSnapshot(const char* text, std::int32_t a, std::int32_t b, std::int32_t c,
                                const char* second) {
  pm_.QueueSnapshot(text, a, b, c, second);
}

std::size_t SimRunSteps::QueuedSnapshots() const { return pm_.QueuedSnapshotCount(); }

Status SimRunSteps::TakeQueuedSnapshots() {
  pm_.snapshot_request_ = 0;
  const std::vector<SimProblemMgr::SnapshotRequest> queued = pm_.TakeSnapshotQueue();
  if (queued.empty()) {
    return Results().TakeDescribedSnapshot(kNoDescription, 0, 0, 0, nullptr);
  }
  if (queued.size() == 1) {
    const SimProblemMgr::SnapshotRequest& one = queued.front();
    return Results().TakeDescribedSnapshot(one.text.c_str(), one.a, one.b, one.c,
                                           one.second.empty() ? nullptr : one.second.c_str());
  }
  std::string joined;
  for (const SimProblemMgr::SnapshotRequest& description : queued) {
    joined += description.text;
    joined += "; ";
  }
  return Results().TakeDescribedSnapshot(joined.c_str(), 0, 0, 0, nullptr);
}

Status SimRunSteps::RewindToClock(std::int32_t* state) {
  pm_.rewind_request_ = 0;
  RunStatusRecord& clock = pm_.record_;
  double restored_time = clock.time;
  const Status restored = Results().RestoreSnapshotValues(&restored_time, &clock.counter, 1);
  clock.time = restored_time;
  if (status::IsFailure(restored)) return restored;
  if (clock.counter == 0) {
    if (state != nullptr) *state = 5;
    ClearVariableDrivers();
  }
  SetSimulationTime(clock.time);
  pm_.SetStepResultPending(false);
  pm_.ClearStatusBits(run_bits::kStepPending);
  if (PrintLevel() >= 3) SuPrint(0, "Resetting nonlinear solvers due to rewind");
  if (SimRunIntegrator* integrator = Integrator()) integrator->Finish();
  return pm_.SimMasterManager::RewindTo(clock.time);
}

// --- the server proxies' host ---

Status SimRunSteps::JoinCom() {
  // The proxies leave again only after a first join (0 or 1).
  return pm_.JoinCom() == 1 ? 0u : 1u;
}

void SimRunSteps::LeaveCom() { pm_.LeaveCom(); }

platform::IUnknown* SimRunSteps::Executive() { return &pm_.Executive(); }
