// EstimationMgr: the client's parameter estimation and data reconciliation.
// It takes the estimation definition of service 110 (estimated variables,
// experiments, measured-variable statistics), owns the experiments and the
// unknowns made for it, starts and stops the "EstimationAction" that runs the
// experiments, and answers the request for results. One per process, made
// with the other managers; it is its own action factory and publishes itself
// as the process's estimation manager. Server thread and the action's
// execute; no lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "analysis/estimation/estimation_manager.h"
#include "analysis/estimation/experiments.h"
#include "control/actions/action_mgr.h"
#include "control/managers/subsystem_manager.h"
#include "control/problem/client_requests.h"
#include "framework/servers/server_callback.h"

class AnalysisServices;
class BvuBinaryStream;
class DataRecVar;
class DseMessage;
class EstOpenNLPSolver;
class EstimationProblem;
class EstimationRunServices;
class QLNDenseOptimiser;
class OptVariable;

// What the last estimation produced; filled by the solver driver and its
// statistics, sent by WriteResults.
struct EstimationResults {
  std::uint32_t outcome = 0;
  std::uint32_t iterations = 0;
  double initial_objective = 0.0;
  double final_objective = 0.0;
  std::vector<double> estimates;
  // 0 none, 1 covariance, 2 covariance and correlation.
  std::uint8_t statistics = 0;
  std::vector<double> standard_errors;
  // Lower triangles by rows, N(N+1)/2 each.
  std::vector<double> covariance;
  std::vector<double> correlation;
  // Confidence limits in the client's units, a pair per unknown.
  std::vector<double> confidence;
  // Per measurement, experiments in order.
  struct Measurement {
    double observed = 0.0;
    double predicted = 0.0;
    double percentage_error = 0.0;
    double difference = 0.0;
    double standardised = 0.0;
  };
  std::vector<Measurement> measurements;
  // Per measured-variable record (maximum likelihood).
  struct Record {
    double log_likelihood = 0.0;
    double wrss = 0.0;
    double wrs = 0.0;
    double see = 0.0;
    double explained = 0.0;
    // In the client's units (display multiplier and offset of the record).
    double see_client = 0.0;
  };
  std::vector<Record> records;
  double sum_log_likelihood = 0.0;
  double sum_wrss = 0.0;
  double sum_wrs = 0.0;
  double overall_explained = 0.0;
  double predicted_squares = 0.0;
};

class EstimationMgr final : public SimSingleAction,
                            public QLNSubSystemManager,
                            public DseServerCB,
                            public QLNEstimationManager,
                            public SimOpenNLPSelection {
 public:
  static constexpr std::uint32_t kService = 110;
  static constexpr char kActionName[] = "EstimationAction";
  static constexpr char kInitialSpecSnapshot[] = "Estimation Initial Spec";
  // Request kinds.
  static constexpr std::uint16_t kStart = 1;
  static constexpr std::uint16_t kResults = 2;
  static constexpr std::uint16_t kClear = 3;
  static constexpr std::uint16_t kResultsKeep = 47;
  static constexpr std::uint16_t kClearToo = 48;
  static constexpr std::uint16_t kContinue = 50;
  static constexpr std::uint16_t kDefine = 92;
  // Experiment kinds in the definition.
  static constexpr std::uint16_t kDynamicKind = 0;
  static constexpr std::uint16_t kSteadyStateKind = 1;
  static constexpr std::uint32_t kNoOutcome = 9;
  static constexpr std::size_t kMaxName = 127;
  // The dense matrices (covariance N(N+1)/2, Jacobian M x N) are held to
  // this many cells each; a larger definition is refused before anything is
  // sized from its counts.
  static constexpr std::uint64_t kMaxDenseCells = std::uint64_t{1} << 24;
  static constexpr Status kTooLarge = 0x80280213u;

  explicit EstimationMgr(AnalysisServices& services);
  ~EstimationMgr() override;

  // --- the action ---
  Status Execute(std::int32_t* request, SimActionControl* element,
                 const SimExplicitEvent* event) override;

  // --- manager operations ---
  Status Start();
  void Stop(bool keep);
  void Clear();
  Status WriteResults(DseMessage& reply);
  // One request read from body; a results reply goes to *reply.
  Status HandleMessage(BvuBinaryStream& body, DseMessage** reply);
  Status ReadExperiment(BvuBinaryStream& body, std::int32_t index);

  // --- Open NLP estimation solver ---
  Status SelectOpenNLPSolver(const char* name, std::int32_t describe, DseMessage* reply) override;
  Status WriteOpenNLPOptions(BvuBinaryStream& reply);
  Status SetOpenNLPSolverOption(const char* name, BvuBinaryStream& message);
  Status SetOpenNLPSolverOption(const char* solver, const char* option, DseMessage* request,
                                DseMessage* reply) override;
  void UnloadOpenNLPSolver();
  std::int32_t OpenNLPRunType() override;

  // --- QLNEstimationManager ---
  std::int32_t GetObjectiveType() override { return objective_; }
  std::int32_t GetNumEstimated() override { return static_cast<std::int32_t>(estimated_.size()); }
  std::int32_t GetNumReconciled() override { return static_cast<std::int32_t>(reconciled_.size()); }
  AnalysisVariable* const* GetEstimatedVariables() override { return estimated_.data(); }
  DataRecVar* const* GetReconciledVariables() override { return reconciled_.data(); }

  // --- QLNSubSystemManager ---
  Status ProblemEdited() override;
  Status DetachProblem(const char* folder, const char* sub_folder) override;
  // A variable being destroyed that the definition names takes the whole
  // definition with it (its experiments are built around their variables),
  // as an edit of a built problem does.
  void ForgetVariable(AnalysisVariable* variable);
  bool Names(AnalysisVariable* variable) const;

  // --- DseServerCB ---
  Status HandleRequest(std::uint32_t type, DseMessage* request, DseMessage** reply,
                       DseTemplate** kept) override;

  // --- the definition and the run state, for the action, the driver and tests ---
  bool Active() const { return active_; }
  std::int32_t NumExperiments() const { return static_cast<std::int32_t>(experiments_.size()); }
  EstExperiment* Experiment(std::int32_t i) const {
    return experiments_[static_cast<std::size_t>(i)].get();
  }
  std::int32_t MeasurementTotal() const { return measurement_total_; }
  const std::vector<double>& EstimatedMultipliers() const { return est_a_; }
  const std::vector<double>& EstimatedOffsets() const { return est_b_; }
  const std::vector<double>& ReconciledMultipliers() const { return rec_a_; }
  const std::vector<double>& ReconciledOffsets() const { return rec_b_; }
  const std::vector<AnalysisVariable*>& RecordVariables() const { return records_; }
  const std::vector<double>& RecordMultipliers() const { return rec_c_; }
  const std::vector<double>& RecordOffsets() const { return rec_d_; }
  OptVariable* Heteroscedasticity(std::int32_t i) const {
    return hetero_[static_cast<std::size_t>(i)].get();
  }
  std::int32_t HeteroscedasticityFlag() const { return hetero_flag_; }
  const std::vector<std::int32_t>& MeasurementMap() const { return map_; }
  const std::vector<std::int32_t>& MeasurementsPerRecord() const { return per_record_; }
  const std::vector<AnalysisVariable*>& Unknowns() const { return unknowns_; }
  std::int32_t SingleExperiment() const { return single_experiment_; }
  EstimationProblem* Problem() const { return problem_.get(); }
  std::int32_t WriteBack() const { return write_back_; }
  std::int32_t SavedSyncSteps() const { return saved_sync_steps_; }
  double LastMeasurementTime() const { return last_measurement_time_; }
  EstimationResults& Results() { return results_; }
  std::vector<std::uint32_t>& SnapshotNumbers() { return snapshot_numbers_; }
  // The time and run counter the stop puts back (saved at the last
  // experiment's first run step).
  void SaveRunPosition(double time, std::uint16_t counter) {
    saved_time_ = time;
    saved_counter_ = counter;
  }
  EstOpenNLPSolver* OpenNLPSolver() const { return solver_; }

  // --- the action's run ---
  static constexpr Status kNoExperiments = 0x8028025Du;
  static constexpr Status kBadHookPoint = 0x8028002Cu;
  static constexpr std::int32_t kReplyContinue = 1;
  static constexpr std::int32_t kReplyRestart = 3;
  static constexpr std::int32_t kReplyFinished = 4;
  static constexpr std::int32_t kReplyStop = 6;
  void SetRunServices(EstimationRunServices* run) { run_ = run; }
  EstimationRunServices* RunServices() const { return run_; }
  // The optimisers of later definitions come from `factory` (null: the
  // dense optimiser factory).
  void SetOptimiserFactory(
      std::function<QLNDenseOptimiser*(std::int32_t, std::int32_t, std::int32_t)> factory) {
    optimiser_factory_ = std::move(factory);
  }
  Status PrepareExperiments();
  Status ScheduleMeasurementEvent(std::uint32_t kind, double previous, double next,
                                  double tolerance);
  std::int32_t CurrentExperiment() const { return current_experiment_; }
  bool FirstPassDone() const { return first_pass_done_; }
  bool PassRestart() const { return pass_restart_; }
  bool AtMeasurement() const { return at_measurement_; }

  // --- pass completion, statistics and report ---
  static constexpr Status kRunAgain = 0x802800D3u;
  static constexpr std::int32_t kPassDone = 9;
  static constexpr std::int32_t kPassFailed = 8;
  // Gathers the pass of every experiment and drives the solver; kRunAgain,
  // and Done() tells whether the estimation has finished. A first pass that
  // cannot be evaluated ends the estimation with no outcome: kNoExperiments.
  Status CompletePass(std::int32_t reason);
  bool Done() const { return done_; }
  std::int32_t PassCount() const { return pass_counter_; }
  bool SensitivitiesInUse() const { return sensitivities_ != 0; }
  void SetSensitivitiesInUse(bool on) { sensitivities_ = on ? 1 : 0; }
  void ListEstimates(bool statistics);
  // The per-measurement and per-record figures of the last pass.
  void ComputeFigures();
  void PrintReport();

 private:
  Status Define(BvuBinaryStream& body);
  Status ReadDefinition(BvuBinaryStream& body);
  Status FinishDefinition();
  // kTooLarge, with a message, when the dense matrices would exceed the cap.
  Status CheckSize();
  void FreeDefinition();
  // Deletes the initial snapshot of the last preparation and forgets the
  // experiments' snapshots: the next experiment prepares the estimation.
  void ForgetPreparation();
  Status Continue(BvuBinaryStream& body);
  void WriteExperimentResults(DseMessage& reply);
  void WriteMeasurement(DseMessage& reply, EstExperiment& experiment, std::size_t entry,
                        std::size_t global);
  void MakeProblem();
  void StartExperiment(EstExperiment& experiment);
  void ApplyUnknowns(EstExperiment& experiment);
  std::int32_t Measure(EstExperiment& experiment);
  std::int32_t Finish();
  void FollowRunType(std::int32_t experiment);

  AnalysisServices& services_;
  // Definition.
  std::vector<AnalysisVariable*> estimated_;
  std::vector<double> est_a_, est_b_;
  std::vector<std::unique_ptr<EstExperiment>> experiments_;
  std::int32_t measurement_total_ = 0;
  std::vector<std::unique_ptr<DataRecVar>> reconciled_owned_;
  std::vector<DataRecVar*> reconciled_;
  std::vector<double> rec_a_, rec_b_;
  std::vector<AnalysisVariable*> records_;
  std::vector<double> hetero_initial_;
  std::vector<double> rec_c_, rec_d_;
  std::vector<std::unique_ptr<OptVariable>> hetero_;
  std::int32_t hetero_flag_ = 0;
  std::int32_t objective_ = 1;
  std::vector<std::int32_t> map_;
  std::vector<std::int32_t> per_record_;
  std::vector<AnalysisVariable*> unknowns_;
  std::int32_t single_experiment_ = 0;
  std::unique_ptr<EstimationProblem> problem_;
  // Run state.
  bool active_ = false;
  std::int32_t saved_sync_steps_ = -1;
  std::int32_t current_experiment_ = 0;
  EstimationResults results_;
  std::vector<std::uint32_t> snapshot_numbers_;
  double last_measurement_time_ = -1.0;
  std::int32_t write_back_ = 0;
  std::int32_t sensitivities_ = 1;
  std::int32_t pass_counter_ = 0;
  EstimationRunServices* run_ = nullptr;
  std::function<QLNDenseOptimiser*(std::int32_t, std::int32_t, std::int32_t)> optimiser_factory_;
  std::vector<bool> started_;
  bool at_measurement_ = false;
  bool first_pass_done_ = false;
  bool pass_restart_ = false;
  bool done_ = false;
  std::int32_t last_result_ = 0;
  std::vector<double> pass_residuals_, pass_predicted_, pass_observed_, pass_rows_;
  std::vector<double> pass_weights_;
  double predicted_squares_ = 0.0;
  double saved_time_ = 0.0;
  std::uint16_t saved_counter_ = 0;
  NewSimAction* action_ = nullptr;
  // Open NLP estimation solver.
  EstOpenNLPSolver* solver_ = nullptr;
  std::string solver_name_;
};
