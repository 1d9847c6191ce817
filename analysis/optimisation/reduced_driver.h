// ReducedSpaceDriver: the optimisation in the reduced space. Every call is
// one evaluated point (a steady-state or dynamic run of the model): the
// driver turns the collected objective and constraint values with their
// gradients into the objective and constraint vector of its dense
// optimiser, and hands the optimiser's answer back as "evaluate this point",
// "optimum" or "failed". It writes the optimisation reports and appends the
// progress-message body. Server thread (the run action's execute); no lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "analysis/optimisation/optimisation_layout.h"
#include "platform/status.h"

class BvuBinaryStream;
class QLNDenseOptimiser;
class SolverOptions;

// Statuses of the optimiser outcomes.
inline constexpr Status kOptLineSearches = 0x80270320u;
inline constexpr Status kOptUphill = 0x80270321u;
inline constexpr Status kOptInfeasible = 0x80270322u;
inline constexpr Status kOptNotConverged = 0x80270323u;
inline constexpr Status kOptMaxEvaluations = 0x80270324u;
inline constexpr Status kOptLineStepTooSmall = 0x80270325u;

// Driver codes.
inline constexpr std::int32_t kOptFirstEvaluation = 7;
inline constexpr std::int32_t kOptEvaluationFailed = 8;
inline constexpr std::int32_t kOptEvaluated = 9;

// Progress states.
inline constexpr std::uint32_t kOptProgressOptimum = 1;
inline constexpr std::uint32_t kOptProgressPoint = 0;
inline constexpr std::uint32_t kOptProgressFailed = 0xFFFFFFFFu;

namespace optimisation_options {
inline constexpr std::int32_t kOptimizer = 80;
inline constexpr std::int32_t kObjFun = 112;
inline constexpr std::int32_t kMaxEval = 113;
inline constexpr std::int32_t kOptTol = 114;
inline constexpr std::int32_t kMaxRelStep = 115;
inline constexpr std::int32_t kMaxAbsStep = 116;
inline constexpr std::int32_t kPrintLevel = 128;
// OptimizationPrintLevel within its bounds 0..4; a stored value out of them
// is said once, with the level used.
std::int32_t PrintLevel(SolverOptions* options);
}  // namespace optimisation_options

class ReducedSpaceDriver {
 public:
  // What one evaluated point delivers: the K objective values, then the R
  // constrained values x of the constraint records (the driver turns them
  // into c by kind), each with its row of P derivatives with respect to the
  // optimisation variables (objectives first, row r entry j at r·P + j).
  // `constrained` holds the Q constrained variables' values for the progress
  // message (may be null).
  struct Pass {
    const double* objectives = nullptr;
    const double* constraints = nullptr;
    const double* gradients = nullptr;
    const double* constrained = nullptr;
  };
  using PrintFn = std::function<void(Status, const std::string&)>;
  using OptimiserFactory = std::function<QLNDenseOptimiser*(
      std::int32_t kind, std::int32_t equalities, std::int32_t constraints, std::int32_t p)>;
  // The named tolerance "_KVS_SQPB.OptTol" for the summary of `Optimizer` 10;
  // false when it has none.
  using NamedToleranceFn = std::function<bool(double*)>;

  // Sizes everything and makes the optimiser (the factory's, or
  // CreateDenseOptimiser(1, Optimizer, E', C', P, list) without one).
  static std::unique_ptr<ReducedSpaceDriver> Create(optimisation::Layout layout, PrintFn print,
                                                    OptimiserFactory factory = nullptr);
  ~ReducedSpaceDriver();
  ReducedSpaceDriver(const ReducedSpaceDriver&) = delete;
  ReducedSpaceDriver& operator=(const ReducedSpaceDriver&) = delete;

  void SetNamedTolerance(NamedToleranceFn fn) { named_tolerance_ = std::move(fn); }

  // One call per evaluated point. Result: 1 optimum, the outcome code (>= 2)
  // on failure, 0 when the next point (already written to the variables)
  // wants evaluating. *keep_reply is set at the optimum.
  std::int32_t Run(std::int32_t code, const Pass& pass, bool* keep_reply,
                   BvuBinaryStream* progress);

  // Sizes.
  std::int32_t P() const { return p_; }
  std::int32_t ConstraintCount() const { return constraint_count_; }
  std::int32_t EqualityCount() const { return equality_count_; }
  const optimisation::Layout& layout() const { return layout_; }

  // The current point (unscaled), its bounds (lower, then upper), scales.
  const std::vector<double>& X() const { return x_; }
  const std::vector<double>& Bounds() const { return bounds_; }
  const std::vector<double>& Scales() const { return scales_; }
  // What the optimiser was last handed: the objective and the constraint
  // vector (each value >= 0 or = 0), and the gradient matrix, column 0 the
  // objective's and column 1 + i constraint i's, P + 1 rows apart.
  double Objective() const { return objective_; }
  const std::vector<double>& ConstraintVector() const { return c_; }
  const std::vector<double>& GradientMatrix() const { return gradients_; }
  double FinalTime() const;

  // After the optimum: the objective (with its sign undone), the evaluation
  // count and the multipliers in the manager's layout: per optimisation
  // variable (upper, lower), then one per constraint record.
  bool ResultAvailable() const { return result_available_; }
  double OptimumObjective() const { return optimum_objective_; }
  std::int32_t Evaluations() const { return evaluations_; }
  const std::vector<double>& Multipliers() const { return multipliers_; }
  // The status of a failed optimisation, 0 otherwise.
  Status FailureStatus() const { return failure_; }
  double ObjectiveSign() const { return sign_; }
  std::int32_t PrintLevel() const { return print_level_; }

  // Reports (public for the manager's listing requests).
  void VariableReport(bool with_bounds, bool with_multipliers) const;
  void ConstraintReport(const Pass& pass, bool with_multipliers) const;
  void GradientReport(const Pass& pass) const;

 private:
  ReducedSpaceDriver() = default;
  void ReadOptions(bool first);
  void Fill();
  void Summary() const;
  void Assemble(const Pass& pass);
  bool LengthsFeasible() const;
  std::int32_t CallOptimiser(std::int32_t mode);
  std::int32_t Answer(std::int32_t answer, const Pass& pass, bool* keep_reply,
                      BvuBinaryStream* progress);
  void Optimum(const Pass& pass, bool* keep_reply, BvuBinaryStream* progress);
  void Failure(std::int32_t code, const Pass& pass, BvuBinaryStream* progress);
  void Diagnosis() const;
  std::string ConstraintOrigin(std::int32_t index) const;
  void WriteProgress(std::uint32_t state, const Pass& pass, BvuBinaryStream* progress) const;
  void WritePoint();
  void DebugDump() const;
  double ControlTime(std::int32_t index) const;
  double ObjectiveValue(const Pass& pass) const;
  void Say(Status status, const std::string& text) const;

  optimisation::Layout layout_;
  PrintFn print_;
  NamedToleranceFn named_tolerance_;
  std::unique_ptr<QLNDenseOptimiser> optimiser_;
  std::int32_t p_ = 0;
  std::int32_t constraint_count_ = 0;
  std::int32_t equality_count_ = 0;
  std::int32_t r_ = 0;
  std::int32_t k_ = 0;
  // Index of the first length entry, -1 when none.
  std::int32_t first_length_ = -1;
  std::vector<double> x_, evaluated_x_, bounds_, scales_, c_, gradients_, multipliers_;
  double objective_ = 0.0;
  double accuracy_ = -1.0;
  double sign_ = 1.0;
  double tolerance_ = 1e-4;
  double max_rel_step_ = 10.0;
  double max_abs_step_ = 10.0;
  std::int32_t max_evaluations_ = 100;
  std::int32_t print_level_ = 2;
  std::int32_t evaluations_ = 0;
  std::int32_t function_count_ = 0;
  std::int32_t gradient_count_ = 0;
  std::int32_t steps_ = 0;
  std::int32_t state_ = 0;
  bool have_values_ = false;
  bool result_available_ = false;
  double optimum_objective_ = 0.0;
  Status failure_ = 0;
};
