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

class QLNDenseOptimiser {
 public:
  virtual ~QLNDenseOptimiser() = default;
  // point: the parameters (in and out); residuals and jacobian (column by
  // column, one row per residual): what the caller evaluated at the point
  // when asked; bounds: all lower bounds, then all upper bounds (read on a
  // start).
  virtual std::int32_t Run(double* point, const double* residuals, const double* jacobian,
                           const double* bounds, std::int32_t mode) = 0;
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
