// EstimationProblem: the numeric side of one estimation. It holds the
// unknowns in the optimiser's space (x = value · scale, bounds scaled alike),
// the residuals and their Jacobian, and the dense optimiser that moves the
// unknowns. Run is called once per pass of the experiments; when the
// optimiser has finished it turns the code into the outcome and computes the
// statistics of the estimate. Server thread (the action's execute); no lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/status.h"

class AnalysisVariable;
class BvuBinaryStream;
class LSIBaseSolve;
class QLNDenseOptimiser;
struct EstimationResults;

// Message status words of the outcomes.
inline constexpr Status kEstSingularConvergence = 0x80280253u;
inline constexpr Status kEstOptimiserFailed = 0x80280252u;
inline constexpr Status kEstIterationLimit = 0x80280254u;
inline constexpr Status kEstConvergenceFailure = 0x80280255u;
inline constexpr Status kEstLineStepTooSmall = 0x80280325u;

// Driver modes.
inline constexpr std::int32_t kEstFirstPass = 7;
inline constexpr std::int32_t kEstFailedPass = 8;
inline constexpr std::int32_t kEstNormalPass = 0;

// Solver option numbers the driver reads.
namespace estimation_options {
inline constexpr std::int32_t kLinearSolver = 25;
inline constexpr std::int32_t kPrintLevel = 31;
inline constexpr std::int32_t kOptimizer = 80;
inline constexpr std::int32_t kNlsRelFuncTol = 87;
inline constexpr std::int32_t kNlsAbsFuncTol = 88;
inline constexpr std::int32_t kNlsSolTol = 89;
inline constexpr std::int32_t kNlsFalseConvTol = 90;
inline constexpr std::int32_t kNlsMaxIter = 91;
inline constexpr std::int32_t kReturnToBest = 101;
inline constexpr std::int32_t kFeasoptMaxRelStep = 115;
inline constexpr std::int32_t kFeasoptMaxAbsStep = 116;
inline constexpr std::int32_t kLogLikelihoodSolTol = 121;
inline constexpr std::int32_t kLogLikelihoodMaxIter = 122;
inline constexpr std::int32_t kEstimationSolver = 124;
inline constexpr std::int32_t kEstimationPrintLevel = 127;

// EstimationPrintLevel as the estimator uses it (0 to 4).
std::int32_t EstimationPrintLevel();
// How much the estimator reports: EstimationPrintLevel, or 0 when the
// general PrintLevel is 0.
std::int32_t ReportLevel();
}  // namespace estimation_options

// The two-sided 95% Student-t value: the listed row at or below dof, 1.96
// above 200; 0.0 when dof < 1.
double EstimationTValue(std::int32_t dof);

class EstimationProblem {
 public:
  enum class Kind { kEstimated, kReconciled, kHeteroscedasticity };
  struct Unknown {
    Kind kind = Kind::kEstimated;
    // Null for unknowns the caller plays (driver-level use); then value,
    // bounds and scale below stand.
    AnalysisVariable* variable = nullptr;
    std::string name;
    // Reconciled unknowns: the experiment's name.
    std::string experiment;
    // Display multiplier and offset: shown value = A · value + B.
    double multiplier = 1.0;
    double offset = 0.0;
    double value = 0.0;
    double lower = -1e300;
    double upper = 1e300;
    double scale = 1.0;
    // Heteroscedasticity parameters: the record.
    std::int32_t record = -1;
    // An estimated initial condition (the variable's specification is
    // Initial): listed with "(initial value)".
    bool initial = false;
  };
  // One measurement of the pass, experiments in order.
  struct Layout {
    std::int32_t objective_type = 1;
    std::int32_t solver_kind = 2;
    std::vector<Unknown> unknowns;
    std::int32_t measurements = 0;
    // Per measurement: its record and its experiment.
    std::vector<std::int32_t> record_of;
    std::vector<std::int32_t> experiment_of;
    std::vector<std::string> experiment_names;
    std::int32_t records = 0;
    // True when the statistics are wanted (sensitivities in use).
    bool statistics = true;
  };
  // What one pass delivers. jacobian holds per measurement its row of N
  // sensitivities (N = estimated + reconciled), measurement after
  // measurement; predicted and weights (W_e) serve maximum likelihood.
  struct Pass {
    const double* residuals = nullptr;
    const double* jacobian = nullptr;
    const double* predicted = nullptr;
    const double* weights = nullptr;
  };
  using PrintFn = std::function<void(Status, const std::string&)>;
  using OptimiserFactory =
      std::function<QLNDenseOptimiser*(std::int32_t kind, std::int32_t m, std::int32_t n)>;

  // The manager's form: unknowns only; Create completes it.
  EstimationProblem(std::vector<AnalysisVariable*> unknowns, std::int32_t measurements);
  ~EstimationProblem();
  EstimationProblem(const EstimationProblem&) = delete;
  EstimationProblem& operator=(const EstimationProblem&) = delete;

  // Sizes everything and makes the optimiser (the factory's, or
  // CreateDenseOptimiser (2, kind, m, 0, n) without one). Maximum
  // likelihood runs kind 2 as kind 1.
  static std::unique_ptr<EstimationProblem> Create(Layout layout, PrintFn print,
                                                   EstimationResults* results,
                                                   OptimiserFactory factory = nullptr);
  // Releases the linear-solver handle and the optimiser.
  void Destroy();
  // x of each estimated unknown from its scaled value.
  void LoadInitialPoint();
  // One pass: the driver's result, 0 to run the experiments again.
  std::int32_t Run(std::int32_t mode, const Pass& pass, BvuBinaryStream* progress);
  void ReturnToBest(std::int32_t print);
  // F of the pass (least squares Σr², maximum likelihood −ΣL_i); the
  // printing form lists residuals and per-experiment sums by print level.
  double Objective(const Pass& pass, std::int32_t print);
  double Objective(const Pass& pass) { return Objective(pass, 0); }
  // g into gradient_ (n values); Jacobian copied from the pass first.
  void Gradient(const Pass& pass, std::int32_t print);

  // Statistics: covariance with display multipliers (false: model units),
  // lower triangle into *out; false when the normal matrix cannot be
  // factorised.
  bool Covariance(bool client_units, double two_f, std::vector<double>* out);
  // From a covariance triangle; false when a variance is not positive.
  static bool Correlation(const std::vector<double>& covariance, std::int32_t n,
                          std::vector<double>* out);
  void StandardErrors(const std::vector<double>& covariance, double two_f,
                      std::vector<double>* out) const;

  // Whether the statistics are computed when the optimiser has finished.
  void SetStatistics(bool wanted) { layout_.statistics = wanted; }
  std::int32_t UnknownCount() const { return n_; }
  std::int32_t MeasurementCount() const { return m_; }
  const std::vector<AnalysisVariable*>& Unknowns() const { return variables_; }
  const std::vector<double>& X() const { return x_; }
  const std::vector<double>& BestX() const { return best_x_; }
  const std::vector<double>& Jacobian() const { return jacobian_; }
  const std::vector<double>& GradientValues() const { return gradient_; }
  const std::vector<double>& Bounds() const { return bounds_; }
  const std::vector<double>& LogLikelihoods() const { return likelihood_; }
  double Value(std::int32_t j) const;
  double BestObjective() const { return best_objective_; }
  std::int32_t Result() const { return result_; }
  std::int32_t ReturnCode() const { return code_; }
  std::int32_t CallCount() const { return calls_; }
  std::int32_t StepCount() const { return steps_; }
  std::int32_t MaxIterations() const { return max_iterations_; }
  std::int32_t SolverKind() const { return layout_.solver_kind; }
  // Model-unit standard errors and confidence limits of the last statistics.
  const std::vector<double>& ModelStandardErrors() const { return model_se_; }
  const std::vector<double>& ModelCovariance() const { return model_cov_; }
  const std::vector<double>& ModelLimits() const { return model_limits_; }
  std::int32_t Dof() const { return dof_; }
  // The estimated-variables listing, with or without statistics.
  void ListEstimates(bool statistics, std::int32_t print);

 private:
  std::int32_t ParameterCount() const;  // estimated + reconciled
  std::int32_t Gamma(std::int32_t record, double* gamma) const;
  void CopyJacobian(const Pass& pass, std::int32_t print);
  std::int32_t CallOptimiser(std::int32_t flag, const Pass& pass);
  void Outcome(std::int32_t print);
  // An NLP solver's "converged" (code 1) judged at the pass's point:
  // 1 kept, 17 singular convergence, 3 a point that is no optimum.
  std::int32_t Judge(const Pass& pass, std::int32_t print);
  void Statistics(const Pass& pass, std::int32_t print);
  void WriteBack();
  void Say(Status status, const std::string& text) const;
  bool Better(double objective) const;

  Layout layout_;
  PrintFn print_;
  EstimationResults* results_ = nullptr;
  std::vector<AnalysisVariable*> variables_;
  std::int32_t n_ = 0;
  std::int32_t m_ = 0;
  std::vector<double> bounds_, jacobian_, residuals_, x_, previous_x_, best_x_, scales_;
  std::vector<double> gradient_, likelihood_, predicted_, weights_;
  double best_objective_ = 0.0;
  double objective_ = 0.0;
  double sum_squares_ = 0.0;
  double accuracy_ = -1.0;
  // The optimiser works on residuals and their Jacobian, not on the
  // objective and its gradient.
  bool residual_optimiser_ = true;
  std::int32_t max_iterations_ = 0;
  std::int32_t code_ = 0;
  // Without sensitivities the outcome waits for the pass that brings them.
  bool judge_later_ = false;
  std::int32_t calls_ = 0;
  std::int32_t steps_ = 0;
  std::int32_t result_ = 0;
  std::int32_t iterations_ = 0;
  bool failed_pass_ = false;
  double tolerance_ = 0.0;
  double max_rel_step_ = 0.0;
  double max_abs_step_ = 0.0;
  std::unique_ptr<QLNDenseOptimiser> optimiser_;
  LSIBaseSolve* lsi_ = nullptr;
  std::vector<double> model_se_, model_cov_, model_limits_;
  std::int32_t dof_ = 0;
  std::int32_t statistics_kind_ = 0;
};
