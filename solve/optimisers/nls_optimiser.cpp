#include "solve/optimisers/nls_optimiser.h"

#include <algorithm>

#include "foundation/interfaces/solver_options.h"
#include "numerics/lsq/nls.h"

namespace {

constexpr std::int32_t kOptRelFuncTol = 87;
constexpr std::int32_t kOptAbsFuncTol = 88;
constexpr std::int32_t kOptSolTol = 89;
constexpr std::int32_t kOptFalseConvTol = 90;
constexpr std::int32_t kOptMaxIter = 91;

}  // namespace

NlsOptimiser::NlsOptimiser(std::int32_t residuals, std::int32_t parameters)
    : n_(std::max(residuals, 1)), p_(std::max(parameters, 1)) {
  b_.assign(static_cast<std::size_t>(2 * p_), 0.0);
  d_.assign(static_cast<std::size_t>(p_), 0.0);
  dr_.assign(static_cast<std::size_t>(n_ * p_), 0.0);
  r_.assign(static_cast<std::size_t>(n_), 0.0);
  rd_.assign(static_cast<std::size_t>(n_), 0.0);
  iv_.assign(static_cast<std::size_t>(nls::RequiredLiv(p_)), 0);
  v_.assign(static_cast<std::size_t>(nls::RequiredLv(p_)), 0.0);
  CacheMachineConstants();
  const std::int64_t liv = static_cast<std::int64_t>(iv_.size());
  const std::int64_t lv = static_cast<std::int64_t>(v_.size());
  NlsSetDefaults(1, iv_.data(), liv, lv, v_.data());
}

std::int32_t NlsOptimiser::AnswerFor(std::int64_t code) {
  if (code == 1) return kNlsEvaluateResiduals;
  if (code == 2) return kNlsEvaluateJacobian;
  // The covariance requests: the caller evaluates and calls again.
  if (code == -1 || code == -2) return static_cast<std::int32_t>(code);
  if (code >= 3 && code <= 10) return static_cast<std::int32_t>(code + 10);
  if (code == 65 || code == 0) return static_cast<std::int32_t>(code);
  return kNlsUnknownEnd;
}

std::int32_t NlsOptimiser::Run(double* point, const double* residuals, const double* jacobian,
                               const double* bounds, std::int32_t mode) {
  const std::int64_t liv = static_cast<std::int64_t>(iv_.size());
  const std::int64_t lv = static_cast<std::int64_t>(v_.size());
  const bool start = mode == kOptimiserStart;
  if (start) {
    // Every estimation starts afresh, whatever the previous one left.
    std::fill(v_.begin(), v_.end(), 0.0);
    NlsSetDefaults(1, iv_.data(), liv, lv, v_.data());
    for (std::int64_t j = 0; j < p_; ++j) {
      b_[static_cast<std::size_t>(2 * j)] = bounds[j];
      b_[static_cast<std::size_t>(2 * j + 1)] = bounds[p_ + j];
    }
    SolverOptions* options = SolverOptions::Instance();
    const double abs_tol = options->GetReal(kOptAbsFuncTol);
    v_[30] = abs_tol == 0.0 ? 1e-20 : abs_tol;
    v_[31] = options->GetReal(kOptRelFuncTol);
    v_[32] = options->GetReal(kOptSolTol);
    const double false_conv = options->GetReal(kOptFalseConvTol);
    if (false_conv > 0.0) v_[33] = false_conv;
    iv_[13] = 0;
    for (std::size_t k = 18; k <= 23; ++k) iv_[k] = 0;
    // Below 0 the routine refuses its set-up; the estimator says it goes on
    // with 0 and means no step.
    iv_[16] = iv_[17] = std::max(options->GetInt(kOptMaxIter), 0);
    std::fill(d_.begin(), d_.end(), 0.0);
    std::fill(rd_.begin(), rd_.end(), 0.0);
  }
  iv_[1] = mode == kOptimiserPointFailed ? 1 : 0;
  if (mode != kOptimiserPointFailed) {
    if ((start || last_answer_ == kNlsEvaluateResiduals) && residuals != nullptr) {
      std::copy(residuals, residuals + n_, r_.begin());
    }
    if ((start || last_answer_ == kNlsEvaluateJacobian) && jacobian != nullptr) {
      std::copy(jacobian, jacobian + n_ * p_, dr_.begin());
    }
  }
  std::int64_t code = 0;
  do {
    std::int64_t n1 = 0;
    std::int64_t n2 = 0;
    NlsBoundedDriver(b_.data(), d_.data(), dr_.data(), iv_.data(), liv, lv, n_, n_, n1, n2, p_,
                     r_.data(), rd_.data(), v_.data(), point);
    code = iv_[0];
  } while (code == 14);
  last_answer_ = AnswerFor(code);
  return last_answer_;
}
