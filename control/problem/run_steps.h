// The run steps of the engine: preparation of a problem for solution (its
// build, its solvers, quality-control output, compilation and the run
// thread), the step the run thread executes (initialisation, steady state,
// dynamic integration, re-initialisation), and what the control loop does
// around the steps on the server thread (option changes, step recording,
// queued snapshots, rewind). It also answers the server proxies' questions
// of the problem manager.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "control/problem/run_integrator.h"
#include "control/problem/run_model.h"
#include "control/problem/run_ops.h"
#include "solve/proxies/server_host.h"

class DAESEventSchedule;
class DAESProblem;
class QLNGroupMethod;
class SimProblemMgr;

namespace run_step {
inline constexpr Status kNoProblemMade = 0x80320384u;
inline constexpr Status kNoIntegrator = 0x8032025Bu;
inline constexpr Status kOvershoot = 0x8032025Fu;
inline constexpr Status kTargetReached = 0x00320258u;
inline constexpr Status kEventLocated = 0x00320259u;
inline constexpr Status kEventQueried = 0x00320270u;
inline constexpr Status kFixedStates = 0xA032FFFFu;
inline constexpr Status kUnknownStep = 0x8032FFFFu;
// The code part of a step result status.
inline constexpr Status Code(Status s) { return s & 0xA000FFFFu; }

// Timed-event kind bits a step reads.
inline constexpr std::uint32_t kCommunicationBit = 1;
inline constexpr std::uint32_t kSteadyStateBit = 16;
inline constexpr std::uint32_t kInitialisationBit = 32;
inline constexpr std::uint32_t kDynamicBit = 64;
inline constexpr std::uint32_t kDynamicStartBit = 128;
inline constexpr std::uint32_t kSynchroniseBit = 0x800;

// Group-method codes the solver build fills empty slots with.
inline constexpr std::int32_t kLinearMethod = 30;
inline constexpr std::int32_t kNonlinearMethod = 60;
inline constexpr std::int32_t kExplicitMethod = 10;
inline constexpr std::int32_t kTornMethod = 100;
inline constexpr std::int32_t kTornWegstein = 101;
}  // namespace run_step

class SimRunSteps final : public SimRunOps, public ServerProxyHost {
 public:
  using IntegratorFactory =
      std::function<std::unique_ptr<SimRunIntegrator>(std::int32_t choice, Status* status)>;
  using MethodFactory = std::function<QLNGroupMethod*(std::int32_t code, std::int32_t linear)>;

  // Null model: the daes problem root over the instance tree set later.
  // Installs itself as the server proxies' host.
  explicit SimRunSteps(SimProblemMgr& manager, SimRunModel* model = nullptr);
  ~SimRunSteps() override;
  SimRunSteps(const SimRunSteps&) = delete;
  SimRunSteps& operator=(const SimRunSteps&) = delete;

  // The engine's model, when none was handed in (else null).
  SimDaesRunModel* DaesModel() { return own_model_.get(); }
  void SetIntegratorFactory(IntegratorFactory factory) { make_integrator_ = std::move(factory); }
  void SetMethodFactory(MethodFactory factory) { make_method_ = std::move(factory); }
  // The sensitivity manager's query with argument 4; 0 while there is none.
  void SetSensitivityQuery(std::function<std::int32_t()> query) {
    sensitivity_query_ = std::move(query);
  }

  // --- preparation, on the server thread ---
  Status PrepareSimulation(std::int32_t a, std::int32_t b) override;
  Status CheckProblem() override { return CheckProblem(nullptr, 0, 0); }
  // With `out` the problem is handed out instead of opening the records.
  Status CheckProblem(DAESProblem** out, std::int32_t a, std::int32_t b);
  // Keeps or makes the integrator and fills the empty group-method slots;
  // 1 when a new integrator was made.
  Status BuildSolvers();
  Status ApplyOptionChanges() override;
  // Gives up the built problem and the solvers that work on it.
  Status ReleaseProblem();
  // Clears the light-preparation mark and releases the solver objects.
  void ReleaseLightPreparation();
  Status EnterRunMode(std::int32_t mode);

  // --- the step, on the run thread ---
  Status RunStep() override;
  // The step itself; *failed when a dynamic step failed, whose status bits
  // RunStep sets once the step's lines are all told.
  Status StepWork(bool* failed);
  Status SolveSteadyState(double time);
  Status IntegrateDynamic(double target);
  Status Reinitialise(double time, bool at_event);
  Status CheckRelativeSingularity(std::int32_t solver);
  Status ReportIndeterminateVariables(std::int32_t solver);
  Status StepResult() const { return step_result_; }
  bool IntegrationMode() const { return integrating_; }
  // The solution phase before the last step set it.
  std::int32_t PreviousSolutionPhase() const { return previous_phase_; }

  // --- around the steps, on the server thread ---
  Status RecordStep() override;
  Status TakeQueuedSnapshots() override;
  Status Rewind() override {
    std::int32_t state = 0;
    return RewindToClock(&state);
  }
  Status RewindToClock(std::int32_t* state) override;
  Status SendDueTimeMessage(bool* sent) override;
  // The property manager's set-up of the run thread, and its package test.
  Status ThreadSetUp() override;
  Status PackagesLoaded() override { return GppiPropertiesForRun(); }
  // The engine keeps no counts of the solution (request 34 reads them from
  // the solver objects), so there are none to start again.
  void ResetStatistics() override {}
  // Queues a snapshot description and sets the snapshot request.
  void QueueSnapshot(const char* text, std::int32_t a, std::int32_t b, std::int32_t c,
                     const char* second);
  std::size_t QueuedSnapshots() const;

  // --- ServerProxyHost ---
  Status JoinCom() override;
  void LeaveCom() override;
  platform::IUnknown* Executive() override;
  std::int32_t SensitivityQuery4() override {
    return sensitivity_query_ ? sensitivity_query_() : 0;
  }
  // The problem manager has no work of its own before the server
  // initialises: the run step has readied the problem already.
  void PreInitialise() override {}
  // The engine keeps no count that would ask for several groups: a
  // decomposition gives one unless the option asks for more.
  bool PositiveCountTest() override { return false; }

 private:
  SimRunResults& Results();
  SimRunIntegrator* Integrator();
  void SetPhase(std::int32_t phase);
  // The delay manager's record and the value dump after a step.
  void StepDone(const char* label, double time);
  // The delayed variables' values at `time` are about to jump.
  void KeepDelayedValuesBefore(double time);
  Status InitialisationStep(double time);
  Status FixedStateWarnings();
  void FillGroupMethods();
  void EmptyGroupMethods();
  Status QueryDecomposition(std::int32_t solver, bool check);
  // Where generated code is built: the run folder, or a folder of this
  // process below the temporary folder while there is none.
  std::string CompileFolder();

  SimProblemMgr& pm_;
  std::unique_ptr<SimDaesRunModel> own_model_;
  SimRunModel* model_;
  IntegratorFactory make_integrator_;
  MethodFactory make_method_;
  std::function<std::int32_t()> sensitivity_query_;
  std::unique_ptr<DAESEventSchedule> schedule_;
  std::string temporary_folder_;
  Status step_result_ = 0;
  bool integrating_ = false;
  std::int32_t previous_phase_ = 0;
  bool time_message_due_ = false;
  double time_message_at_ = 0.0;
};
