// Estimation by the bounded nonlinear least-squares routines: N residuals
// in P parameters.
#pragma once

#include <cstdint>
#include <vector>

#include "solve/optimisers/dense_optimiser.h"

// Answers of Run besides the driver's own codes.
inline constexpr std::int32_t kNlsEvaluateResiduals = -1;
inline constexpr std::int32_t kNlsEvaluateJacobian = -2;
inline constexpr std::int32_t kNlsUnknownEnd = 21;

class NlsOptimiser final : public QLNDenseOptimiser {
 public:
  NlsOptimiser(std::int32_t residuals, std::int32_t parameters);

  std::int32_t Run(double* point, const double* residuals, const double* jacobian,
                   const double* bounds, std::int32_t mode) override;
  std::int32_t Iterations() override { return static_cast<std::int32_t>(iv_[30]); }
  std::int32_t Evaluations() override { return static_cast<std::int32_t>(iv_[5]); }
  std::int32_t SuccessfulSteps() override { return static_cast<std::int32_t>(iv_[29]); }

  // The driver's answer map: IV(1) to the Run answer; 14 is not mapped
  // here (the driver is called again at once).
  static std::int32_t AnswerFor(std::int64_t code);

 private:
  std::int64_t n_;
  std::int64_t p_;
  std::vector<double> b_, d_, dr_, r_, rd_, v_;
  std::vector<std::int64_t> iv_;
  std::int32_t last_answer_ = 0;
};
