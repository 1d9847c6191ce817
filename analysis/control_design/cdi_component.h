// Control-design computations: turns the Jacobian of a converged model into
// the linear state-space model dx/dt = A x + B u, y = C x + D u around that
// solution, and derives the steady-state gain G, the relative gain array,
// the Morari resiliency and Niederlinski indices, unit-step responses and the
// state-transition matrix. Everything but the two indices stays sparse.
//
// Jacobian layout (both parts): rows 1..nvars, columns 1..nvars are the
// unknowns, columns nvars+1.. the inputs. In the dynamic part a state's
// column holds dF/dx' of that state; in the steady-state part it holds dF/dx.
// Algebraic columns hold dF/dy in both. All indices are 1-based.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

// Option bits of a request.
inline constexpr std::int32_t kCdiA = 0x1;
inline constexpr std::int32_t kCdiB = 0x2;
inline constexpr std::int32_t kCdiC = 0x4;
inline constexpr std::int32_t kCdiD = 0x8;
inline constexpr std::int32_t kCdiG = 0x10;
inline constexpr std::int32_t kCdiRga = 0x20;
inline constexpr std::int32_t kCdiMri = 0x40;
inline constexpr std::int32_t kCdiNi = 0x80;
inline constexpr std::int32_t kCdiStepResponse = 0x100;
inline constexpr std::int32_t kCdiStm = 0x200;

// Result codes of the matrices and indices.
inline constexpr std::int32_t kCdiNotComputed = -1;
inline constexpr std::int32_t kCdiIndexAboveOne = -2;
inline constexpr std::int32_t kCdiStructurallySingular = -3;
inline constexpr std::int32_t kCdiNoStates = -4;
inline constexpr std::int32_t kCdiNoMemory = -5;
inline constexpr std::int32_t kCdiGSingular = -6;
inline constexpr std::int32_t kCdiGNotSquare = -7;
inline constexpr std::int32_t kCdiLinearAlgebra = -8;
inline constexpr std::int32_t kCdiBadInput = -9;
inline constexpr std::int32_t kCdiIndeterminate = -10;
inline constexpr std::int32_t kCdiSvdFailed = -11;
inline constexpr std::int32_t kCdiProblemNoStates = -12;
inline constexpr std::int32_t kCdiStmTooBig = -13;

// The summary text of a code, empty for codes without one.
const char* CdiErrorText(std::int32_t code);

struct CdiComputeInput {
  const double* dyn_values = nullptr;
  const std::int64_t* dyn_rows = nullptr;
  const std::int64_t* dyn_cols = nullptr;
  std::int64_t dyn_count = 0;
  const double* ss_values = nullptr;
  const std::int64_t* ss_rows = nullptr;
  const std::int64_t* ss_cols = nullptr;
  std::int64_t ss_count = 0;
  std::int32_t nvars = 0;
  std::int32_t nstates = 0;
  std::int32_t nalgebraic = 0;
  const std::int32_t* state_cols = nullptr;
  const std::int32_t* input_cols = nullptr;
  std::int32_t ninputs = 0;
  const std::int32_t* output_cols = nullptr;
  std::int32_t noutputs = 0;
  std::int32_t options = 0;
  std::int32_t linear_solver = 4;
  // States, then outputs, then inputs.
  const double* scale = nullptr;
  bool scaling = false;
  double drop_tolerance = 0.0;
  double machine_precision = 2.220446049250314e-16;
  std::int32_t print_level = 2;
  bool new_pattern = true;
  // Asked at every step of the step response and the state transition;
  // true ends them unfinished.
  std::function<bool()> stop;
};

class QLNCDIComponent {
 public:
  virtual ~QLNCDIComponent() = default;
  // Returns the mask of rejected values.
  virtual std::int32_t SetStepResponseOptions(std::int32_t steps_per_interval,
                                              std::int32_t settled_required,
                                              std::int32_t max_intervals, double interval,
                                              double settle_tol, double second_tol,
                                              double instability_bound, double ramp_tol,
                                              double second_ramp) = 0;
  // 0 or the last of -1..-4 met.
  virtual std::int32_t SetSTMOptions(double total_time, double step, double threshold,
                                     const std::int32_t* excluded, std::int32_t nexcluded) = 0;
  virtual void Compute(const CdiComputeInput& in) = 0;
  virtual std::int32_t GetStepResponse(std::vector<double>* responses, std::int32_t* intervals,
                                       double* final_time,
                                       std::vector<std::int32_t>* ramp_flags) const = 0;
  virtual std::int32_t GetMatrix(std::int32_t bit, std::vector<double>* values,
                                 std::vector<std::int32_t>* rows, std::vector<std::int32_t>* cols,
                                 std::int32_t* count, std::int32_t* status) const = 0;
  virtual std::int32_t GetMRI(double* mri) const = 0;
  virtual std::int32_t GetNI(double* ni) const = 0;
};

// A result matrix: 1-based triplets; a full list grows by half of its
// initial capacity.
class CdiTriplets {
 public:
  explicit CdiTriplets(std::int32_t initial = 2);
  void Add(double value, std::int32_t row, std::int32_t col);
  void Clear();
  std::int32_t Count() const { return count_; }
  std::int32_t Capacity() const { return static_cast<std::int32_t>(values_.size()); }
  const std::vector<double>& Values() const { return values_; }
  const std::vector<std::int32_t>& Rows() const { return rows_; }
  const std::vector<std::int32_t>& Cols() const { return cols_; }

 private:
  std::int32_t initial_;
  std::int32_t count_ = 0;
  std::vector<double> values_;
  std::vector<std::int32_t> rows_, cols_;
};

class CDIcomponent final : public QLNCDIComponent {
 public:
  // The step response's settled count and interval limit until set.
  static constexpr std::int32_t kDefaultSettled = 15;
  static constexpr std::int32_t kDefaultMaxIntervals = 1000;
  static constexpr std::int32_t kDefaultStepsPerInterval = 10;

  CDIcomponent();
  ~CDIcomponent() override;
  std::int32_t SetStepResponseOptions(std::int32_t steps_per_interval,
                                      std::int32_t settled_required, std::int32_t max_intervals,
                                      double interval, double settle_tol, double second_tol,
                                      double instability_bound, double ramp_tol,
                                      double second_ramp) override;
  std::int32_t SetSTMOptions(double total_time, double step, double threshold,
                             const std::int32_t* excluded, std::int32_t nexcluded) override;
  void Compute(const CdiComputeInput& in) override;
  std::int32_t GetStepResponse(std::vector<double>* responses, std::int32_t* intervals,
                               double* final_time,
                               std::vector<std::int32_t>* ramp_flags) const override;
  std::int32_t GetMatrix(std::int32_t bit, std::vector<double>* values,
                         std::vector<std::int32_t>* rows, std::vector<std::int32_t>* cols,
                         std::int32_t* count, std::int32_t* status) const override;
  std::int32_t GetMRI(double* mri) const override;
  std::int32_t GetNI(double* ni) const override;

  // Integrations the last STM needed (the number of column groups).
  std::int32_t StmIntegrations() const { return stm_groups_; }

 private:
  enum Matrix { kA, kB, kC, kD, kG, kRga, kStm, kMatrices };
  static int IndexOfBit(std::int32_t bit);
  void Reset();
  void ComputeInner(const CdiComputeInput& in);
  void StepResponse(const CdiComputeInput& in);
  void StateTransition(const CdiComputeInput& in);
  void Summary(std::int32_t print_level) const;

  CdiTriplets mats_[kMatrices];
  std::int32_t status_[kMatrices];
  double mri_ = 0.0, ni_ = 0.0;
  std::int32_t mri_status_ = -1, ni_status_ = -1;

  // Step response.
  std::int32_t sr_steps_ = kDefaultStepsPerInterval, sr_settled_ = kDefaultSettled,
               sr_max_ = kDefaultMaxIntervals;
  double sr_interval_ = 10.0, sr_tol_ = 1e-5, sr_tol2_ = 1e-5, sr_bound_ = 1e16, sr_ramp_ = 0.01,
         sr_ramp2_ = 0.01;
  std::vector<double> sr_response_;
  std::int32_t sr_intervals_ = 0;
  double sr_final_time_ = 0.0;
  std::vector<std::int32_t> sr_ramp_flags_;
  std::int32_t sr_status_ = -1;

  // STM.
  double stm_t_ = 1.0, stm_h_ = 0.01, stm_threshold_ = 0.0;
  std::vector<std::int32_t> stm_excluded_;
  std::int32_t stm_groups_ = 0;
  bool stm_grouping_held_ = false;
  std::vector<std::int64_t> stm_grouplist_;
  std::vector<std::vector<std::int32_t>> stm_structure_;  // rows per column of M^-1
};
