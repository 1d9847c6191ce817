// The dense optimisers the optimisation and estimation runs drive by
// reverse communication: each Run takes what the previous answer asked the
// caller to evaluate and answers what it needs next, or a final status.
// Engine-internal, so a real destructor is fine.
#pragma once

#include <cstdint>

#include "platform/status.h"

inline constexpr Status kOptimiserUnsupported = 0xA027FFFFu;

// Run modes.
inline constexpr std::int32_t kOptimiserStart = 2;
inline constexpr std::int32_t kOptimiserPointFailed = -100;

// One call of an optimisation run's reverse communication. The caller
// evaluated what the previous answer asked for at `point`: the objective,
// the constraints (equalities first, each meaning value >= 0 or = 0) and
// their gradients, column 0 of `gradients` the objective's and column
// 1 + i constraint i's, `gradient_rows` apart. Estimation runs give the
// residuals as constraints and the Jacobian as the constraint gradients.
struct DenseOptimiserCall {
  double* point = nullptr;
  double objective = 0.0;
  const double* constraints = nullptr;
  const double* gradients = nullptr;
  std::int32_t gradient_rows = 0;
  // All lower bounds, then all upper bounds (read on a start).
  const double* bounds = nullptr;
  std::int32_t max_iterations = 0;
  std::int32_t print_level = 0;
  double tolerance = 0.0;
  double max_abs_step = 0.0;
  double max_rel_step = 0.0;
  std::int32_t mode = 0;
  // Out: the solver's convergence measure, -1.0 when it has none.
  double accuracy = -1.0;
};

// The optimisation form of a plain least-squares call.
inline DenseOptimiserCall PlainOptimiserCall(double* point, const double* residuals,
                                             const double* jacobian, const double* bounds,
                                             std::int32_t mode) {
  DenseOptimiserCall call;
  call.point = point;
  call.constraints = residuals;
  call.gradients = jacobian;
  call.bounds = bounds;
  call.mode = mode;
  return call;
}

class QLNDenseOptimiser {
 public:
  virtual ~QLNDenseOptimiser() = default;
  // point: the parameters (in and out); residuals and jacobian (column by
  // column, one row per residual): what the caller evaluated at the point
  // when asked; bounds: all lower bounds, then all upper bounds (read on a
  // start).
  virtual std::int32_t Run(double* point, const double* residuals, const double* jacobian,
                           const double* bounds, std::int32_t mode) = 0;
  // The optimisation form of Run; the least-squares optimiser reads the
  // constraints as residuals and the gradients as their Jacobian.
  virtual std::int32_t Run(DenseOptimiserCall& call) {
    return Run(call.point, call.constraints, call.gradients, call.bounds, call.mode);
  }
  virtual std::int32_t Iterations() { return static_cast<std::int32_t>(kOptimiserUnsupported); }
  virtual std::int32_t Evaluations() { return static_cast<std::int32_t>(kOptimiserUnsupported); }
  virtual std::int32_t SuccessfulSteps() {
    return static_cast<std::int32_t>(kOptimiserUnsupported);
  }
  virtual double* SecondWorkPart() { return nullptr; }
  virtual double* WorkVector() { return nullptr; }
  virtual Status ConsistencyConstraints(std::int32_t** /*list*/) { return kOptimiserUnsupported; }
  virtual Status PassSetting(const char* /*name*/, std::int32_t /*kind*/, const void* /*value*/) {
    return kOptimiserUnsupported;
  }
};
