// OptimisationMgr: the client's steady-state and dynamic optimisation. It
// serves service 112 (define, start, stop, switch mode, results), owns the
// problem definition and the run objects, is its own single-instance
// action "OptimisationAction" that drives the evaluations at the run's hook
// points, and publishes itself as the process's optimisation manager.
// Server thread (requests and the action); the published queries also run
// on the run thread while the server thread waits for the baton. No lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analysis/optimisation/opt_definition.h"
#include "analysis/optimisation/opt_run_object.h"
#include "analysis/optimisation/opt_run_services.h"
#include "analysis/optimisation/optimisation_manager.h"
#include "control/actions/action_mgr.h"
#include "control/managers/subsystem_manager.h"
#include "control/problem/client_requests.h"
#include "daes/model/services.h"
#include "framework/servers/server_callback.h"

class AnalysisServices;
class BvuBinaryStream;
class DseMessage;
class EstOpenNLPSolver;

// Solver option numbers and names the optimisation reads.
namespace opt_options {
inline constexpr std::int32_t kOptimizer = 80;
inline constexpr std::int32_t kExplicitEventToleranceNumber = 7;
inline constexpr char kExplicitEventTolerance[] = "ExplicitEventTolerance";
}  // namespace opt_options

class OptimisationMgr final : public QLNSubSystemManager,
                              public QLNOptimisationManager,
                              public SimSingleAction,
                              public DseServerCB,
                              public SimOpenNLPSelection,
                              public OptRunHost,
                              public DAESOptimisationServices {
 public:
  static constexpr std::uint32_t kService = 112;
  static constexpr char kActionName[] = "OptimisationAction";
  static constexpr char kInitialSpecSnapshot[] = "Optimization Initial Spec";
  // Request kinds.
  static constexpr std::uint16_t kStartStop = 60;
  static constexpr std::uint16_t kDefine = 76;
  static constexpr std::uint16_t kClear = 77;
  static constexpr std::uint16_t kSteadyState = 78;
  static constexpr std::uint16_t kDynamic = 79;
  static constexpr std::uint16_t kResults = 90;
  static constexpr std::uint16_t kEndMark = 65535;
  // Progress messages: service 87, subtype 12, body u16 158 first.
  static constexpr std::uint32_t kProgressService = 87;
  static constexpr std::uint16_t kProgressTag = 158;
  // Action results.
  static constexpr std::int32_t kResultContinue = 1;
  static constexpr std::int32_t kResultStopAtBoundary = 2;
  static constexpr std::int32_t kResultRestart = 3;
  static constexpr std::int32_t kResultFinished = 4;
  static constexpr std::int32_t kResultStop = 6;

  // run may be null (no run services: the action refuses to run).
  OptimisationMgr(AnalysisServices& services, OptimisationRunServices* run = nullptr);
  ~OptimisationMgr() override;

  void SetRunServices(OptimisationRunServices* run) { run_ = run; }
  // Makes the run objects of later runs; without one no run object is made.
  void SetRunFactory(OptRunFactory* factory) { factory_ = factory; }

  // --- service 112 ---
  Status HandleRequest(std::uint32_t type, DseMessage* request, DseMessage** reply,
                       DseTemplate** kept) override;
  // One request read from body; a results reply goes to *reply.
  Status HandleMessage(BvuBinaryStream& body, DseMessage** reply);
  Status StartStop(bool start);
  void Cancel();
  void Clear();
  Status WriteResults(BvuBinaryStream& reply);
  void SetDynamic(bool dynamic);

  // --- solver mode: 1 reduced space, 2 full space; 0 for Optimizer 2 and 5
  // before the run rule (which makes them 1) ---
  static std::int32_t ModeFor(std::int32_t optimizer, bool dynamic);
  std::int32_t SolverMode() const { return mode_; }

  // --- Open NLP optimisation solver ---
  std::int32_t OpenNLPRunType() override;
  Status SelectOpenNLPSolver(const char* name, std::int32_t describe, DseMessage* reply) override;
  Status SetOpenNLPSolverOption(const char* name, BvuBinaryStream& message);
  Status SetOpenNLPSolverOption(const char* solver, const char* option, DseMessage* request,
                                DseMessage* reply) override;
  void UnloadOpenNLPSolver();
  EstOpenNLPSolver* OpenNLPSolver() const { return solver_; }

  // --- QLNOptimisationManager ---
  std::int32_t GetNumControlValues() override { return definition_.V(); }
  std::int32_t GetNumElements() override { return definition_.N(); }
  std::int32_t GetNumControls() override { return definition_.C(); }
  double GetCurrentElementLength() override;
  std::int32_t GetCurrentElement() override { return current_element_; }
  double GetElementStartTime() override;
  double GetElementEndTime() override;
  double GetNextElementEndTime() override;
  Status GetControlValues(AnalysisVariable* variable, double* start, double* end) override;
  std::int32_t GetMovingElements() override { return definition_.moving_elements ? 1 : 0; }
  std::int32_t GetNumMovableLengths() override { return definition_.M(); }
  std::int32_t GetPiecewiseLinear() override { return definition_.piecewise_linear ? 1 : 0; }
  double GetFinalTime() override { return definition_.final_time; }
  std::uint8_t GetElementBoundaryPassed() override { return boundary_passed_; }
  Status GetMultipliers(AnalysisVariable* variable, double* upper, double* lower) override;

  // --- DAESOptimisationServices: a model variable's lower and upper
  // multipliers ---
  Status GetVariableReals(DAESVarTableEntry* entry, double* first, double* second) override;

  // --- QLNSubSystemManager ---
  Status ProblemEdited() override;
  Status DetachProblem(const char* folder, const char* sub_folder) override;
  // A variable being destroyed that the definition names takes the whole
  // definition with it, as an edit of a built problem does.
  void ForgetVariable(AnalysisVariable* variable);

  // --- OptRunHost ---
  OptDefinition& Definition() override { return definition_; }
  AnalysisServices& Services() override { return services_; }
  std::vector<double>& Multipliers() override { return multipliers_; }
  void SetResult(bool available, std::int32_t evaluations, double objective) override;

  // --- the action ---
  Status Execute(std::int32_t* request, SimActionControl* element,
                 const SimExplicitEvent* event) override;

  // --- state, for the action, the drivers and tests ---
  bool Started() const { return started_; }
  bool ResultAvailable() const { return result_available_; }
  std::int32_t EvaluationCount() const { return evaluations_; }
  double ObjectiveValue() const { return objective_; }
  std::int32_t SavedSyncSteps() const { return saved_sync_; }
  std::int32_t PassCount() const { return pass_count_; }
  bool SensitivitiesNeeded() const { return sensitivities_needed_; }
  bool ReplyPending() const { return reply_pending_; }
  bool OptimumReached() const { return optimum_reached_; }
  bool PassInProgress() const { return pass_in_progress_; }
  bool SnapshotTaken() const { return snapshot_taken_; }
  std::int32_t SnapshotId() const { return snapshot_id_; }
  double NextBoundary() const { return next_boundary_; }
  const OptRunSettings& SavedRunSettings() const { return settings_copy_; }
  std::vector<double>& ResultValues() { return result_values_; }
  std::vector<double>& Gradients() { return gradients_; }
  OptReducedRun* ReducedRun() const { return reduced_.get(); }
  OptFullSpaceRun* FullSpaceRun() const { return full_space_.get(); }
  std::int32_t Optimizer();

  // Action parts (each also callable by tests).
  void SetUpEvaluation(bool steady_state);
  void CollectValues(bool at_end);
  Status SteadyStatePass(std::int32_t code);
  static std::int32_t MapResult(Status status, bool* optimum);

 private:
  Status Define(BvuBinaryStream& body);
  void DeleteRunObjects();
  void WriteStartValues();
  // Optimisation variables and result values from the model's values.
  void TakeModelPoint();
  void RestartRamps();
  Status RunStart(std::int32_t* result);
  Status ScheduleConstraint(std::int32_t* result);
  Status Event(const SimExplicitEvent& event, std::int32_t* result);
  Status FailedStep(std::int32_t* result);
  Status Pass(std::int32_t code);
  std::int32_t ApplyMapping(Status pass_status);
  void EndOptimum(std::int32_t* result);
  const OptScheduleGroup* CurrentGroup() const;

  AnalysisServices& services_;
  OptimisationRunServices* run_;
  OptRunFactory* factory_ = nullptr;
  OptDefinition definition_;
  // Run objects.
  std::unique_ptr<OptReducedRun> reduced_;
  std::unique_ptr<OptFullSpaceRun> full_space_;
  // Lifecycle.
  bool started_ = false;
  std::int32_t saved_sync_ = -1;
  OptRunSettings settings_copy_;
  std::int32_t snapshot_id_ = -1;
  bool run_flag_ = true;
  NewSimAction* action_ = nullptr;
  // Mode.
  bool previous_dynamic_ = false;
  std::int32_t mode_ = 1;
  bool sensitivities_needed_ = false;
  // Results.
  bool result_available_ = false;
  std::int32_t evaluations_ = 0;
  double objective_ = 0.0;
  std::vector<double> multipliers_;
  std::vector<double> result_values_;
  std::vector<double> gradients_;
  bool reply_pending_ = false;
  // Run state.
  std::int32_t pass_count_ = 0;
  std::int32_t current_element_ = -1;
  std::uint8_t boundary_passed_ = 0;
  bool optimum_reached_ = false;
  bool pass_in_progress_ = false;
  bool snapshot_taken_ = false;
  double next_boundary_ = 0.0;
  std::int32_t next_constraint_ = 1;  // 1-based in the current group
  // Open NLP optimisation solver.
  EstOpenNLPSolver* solver_ = nullptr;
  std::string solver_name_;
};
