// SluSolve: the permuted right-hand side through the factors, with the
// componentwise backward errors, iterative refinement and the forward-error
// estimate on request.
//
// W holds, max(M, N) reals each: the solution being refined, the residual
// (the right-hand side of the next correction), the correction and then
// |A||x|, the kernel's work and then the row sums of |A|; with JOB = 4 a
// fifth part is the kernel's work of the estimate. X holds the solution
// saved by the refinement until the solution is put into it. IW holds the
// row categories and the estimator's signs.
#include <algorithm>
#include <cmath>
#include <limits>

#include "numerics/sparse_lu/kernel_solve.h"
#include "numerics/sparse_lu/machine_constants.h"
#include "numerics/sparse_lu/norm_estimator.h"
#include "numerics/sparse_lu/one_based.h"
#include "numerics/sparse_lu/slu_drivers.h"
#include "numerics/sparse_lu/slu_interface.h"

using slu::IntView;
using slu::KeepLayout;
using slu::RealView;

namespace {

using ConstInts = slu::OneBased<const std::int64_t>;
using ConstReals = slu::OneBased<const double>;

constexpr std::int64_t kEstimateRequests = 40;

class Solver {
 public:
  Solver(const std::int64_t* M, const std::int64_t* N, const std::int64_t* TRANS,
         const std::int64_t* JOB, const std::int64_t* LA, const double* A, const std::int64_t* IRN,
         const std::int64_t* KEEP, const double* CNTL, const std::int64_t* ICNTL, double* RHS,
         double* X, double* ERROR, double* W, std::int64_t* IW, std::int64_t* INFO)
      : m_(*M), n_(*N), job_(*JOB), la_(*LA), trans_((*TRANS & 1) != 0), a_(A), irn_(IRN),
        keep_(KEEP), cntl_(CNTL), icntl_(ICNTL), rhs_(RHS), x_(X), error_(ERROR), iw_(IW),
        info_(INFO), layout_(*M, *N), length_(std::max(*M, *N)), solution_(W),
        residual_(W + length_), product_(W + 2 * length_), sums_(W + 3 * length_),
        spare_(W + 4 * length_) {}

  void Run();

 private:
  // The inner solve on permuted vectors: `in` is destroyed, `out` complete.
  void Inner(double* in, double* out, double* work, bool transposed) const;
  void Residual();
  void Measure();
  bool Refine();
  void EstimateForwardError();
  void PutSolution(const RealView& from);
  void Fail(slu::DriverError error);

  const std::int64_t m_, n_, job_, la_;
  const bool trans_;
  const ConstReals a_;
  const ConstInts irn_, keep_;
  const double* cntl_;  // CNTL(k) is cntl_[k-1]
  const ConstInts icntl_;
  const RealView rhs_, x_, error_;
  const IntView iw_, info_;
  const KeepLayout layout_;
  const std::int64_t length_;
  const RealView solution_, residual_, product_, sums_, spare_;

  std::int64_t rows_ = 0, columns_ = 0;  // n_b and n_x
  double omega1_ = 0.0, omega2_ = 0.0, xmax_ = 0.0;
};

void Solver::Fail(slu::DriverError error) {
  slu::ErrorValues v;
  v.m = m_;
  v.n = n_;
  v.job = job_;
  v.refinement_limit = icntl_[9];
  info_[1] = slu::ReportError(icntl_.From(1), slu::Driver::kSolve, error, v);
}

void Solver::Inner(double* in, double* out, double* work, bool transposed) const {
  const std::int64_t nb = keep_[layout_.BlockStart(1)];
  const std::int64_t factors = keep_[layout_.iptro + n_ + 1];
  const std::int64_t lfact = la_ - factors + 1;
  const std::int64_t kcntl[7] = {icntl_[1], icntl_[2], 0, icntl_[4], icntl_[5], 0, 0};
  const std::int64_t trans = transposed ? 1 : 0;
  const std::int64_t natural = 0;
  if (nb == 1 && keep_[layout_.BlockFlag(1)] >= 0) {
    // One block that is not triangular: straight to the kernel.
    std::int64_t info[7] = {0, 0, 0, 0, 0, 0, 0};
    SluKernelSolve(&m_, &n_, kcntl, &natural, keep_.From(layout_.BlockFlag(1)), &trans, &lfact,
                   a_.From(factors), irn_.From(factors), keep_.From(layout_.iptrl + 1),
                   keep_.From(layout_.iptru + 1), in, out, work, info);
    return;
  }
  BlockSolve(&n_, &n_, &lfact, a_.From(factors), a_.From(1), irn_.From(factors), irn_.From(1),
             keep_.From(layout_.iptrd + 1), keep_.From(layout_.iptro + 1), nullptr,
             keep_.From(layout_.BlockOrder(1)), keep_.From(layout_.iptrl + 1),
             keep_.From(layout_.iptru + 1), in, out, &trans, kcntl, work);
}

// residual = b - op(A) x, product = |op(A)| |x|, sums = row sums of
// |op(A)|, from the permuted matrix that SluFactorize keeps in front.
void Solver::Residual() {
  for (std::int64_t i = 1; i <= rows_; ++i) {
    residual_[i] = rhs_[i];
    product_[i] = sums_[i] = 0.0;
  }
  // The diagonal-block parts of the columns, then the off-diagonal parts.
  for (int part = 0; part < 2; ++part) {
    const std::int64_t base = part == 0 ? layout_.iptrd : layout_.iptro;
    for (std::int64_t column = 1; column <= n_; ++column) {
      for (std::int64_t e = keep_[base + column]; e < keep_[base + column + 1]; ++e) {
        const std::int64_t row = irn_[e];
        const double v = a_[e];
        if (!trans_) {
          const double t = v * solution_[column];
          residual_[row] -= t;
          product_[row] += std::fabs(t);
          sums_[row] += std::fabs(v);
        } else {
          const double t = v * solution_[row];
          residual_[column] -= t;
          product_[column] += std::fabs(t);
          sums_[column] += std::fabs(v);
        }
      }
    }
  }
}

// The two parts of the componentwise backward error; IW(i) the category.
void Solver::Measure() {
  Residual();
  xmax_ = 0.0;
  for (std::int64_t j = 1; j <= columns_; ++j) xmax_ = std::max(xmax_, std::fabs(solution_[j]));
  const std::int64_t one = 1;
  const double ctau = 1000.0 * RealConstantDouble(&one);
  const double scale = static_cast<double>(columns_) * ctau;
  omega1_ = omega2_ = 0.0;
  for (std::int64_t i = 1; i <= rows_; ++i) {
    const double r = std::fabs(residual_[i]);
    const double d1 = std::fabs(rhs_[i]) + product_[i];
    const double d2 = std::fabs(rhs_[i]) + xmax_ * sums_[i];
    if (d1 > d2 * scale) {
      iw_[i] = 1;
      omega1_ = std::max(omega1_, r / d1);
      continue;
    }
    iw_[i] = 2;
    if (!(d2 * scale > 0.0)) continue;
    const double d = product_[i] + xmax_ * sums_[i];
    // An empty row against a non-zero right-hand side: no x fits it.
    omega2_ = std::max(omega2_, d > 0.0 ? r / d : std::numeric_limits<double>::infinity());
  }
}

// Returns false when the refinement ran out of passes (-8).
bool Solver::Refine() {
  // Without a pass there would be no solution at all: one pass at least.
  const std::int64_t limit = std::max<std::int64_t>(icntl_[9], 1);
  for (std::int64_t j = 1; j <= columns_; ++j) solution_[j] = 0.0;
  for (std::int64_t i = 1; i <= rows_; ++i) residual_[i] = rhs_[i];
  double previous = 0.0, saved1 = 0.0, saved2 = 0.0;
  for (std::int64_t pass = 1;; ++pass) {
    Inner(residual_.From(1), product_.From(1), sums_.From(1), trans_);
    for (std::int64_t j = 1; j <= columns_; ++j) solution_[j] += product_[j];
    Measure();
    if (job_ == 2) return true;
    const double omega = omega1_ + omega2_;
    if (1.0 + omega <= 1.0) return true;
    if (pass > 1 && omega > cntl_[4] * previous) {
      if (omega > previous) {
        for (std::int64_t j = 1; j <= columns_; ++j) solution_[j] = x_[j];
        omega1_ = saved1;
        omega2_ = saved2;
      }
      return true;
    }
    for (std::int64_t j = 1; j <= columns_; ++j) x_[j] = solution_[j];
    saved1 = omega1_;
    saved2 = omega2_;
    previous = omega;
    if (pass + 1 > limit) return false;
  }
}

// ERROR(3): for each category of rows, the 1-norm estimate of
// W_k op(A)^-T (so of op(A)^-1 W_k in the infinity norm) times its omega.
void Solver::EstimateForwardError() {
  // One weight vector serves both categories: they do not share a row.
  for (std::int64_t i = 1; i <= rows_; ++i) {
    product_[i] = iw_[i] == 1 ? std::fabs(rhs_[i]) + product_[i] : product_[i] + xmax_ * sums_[i];
  }
  const IntView signs(iw_.From(length_ + 1));
  for (std::int64_t category = 1; category <= 2; ++category) {
    bool present = false;
    for (std::int64_t i = 1; i <= rows_ && !present; ++i) present = iw_[i] == category;
    if (!present) continue;
    auto weight = [&](std::int64_t i) { return iw_[i] == category ? product_[i] : 0.0; };
    std::int64_t request = 0, state[4] = {0, 0, 0, 0};
    double estimate = 0.0;
    // The estimate's vectors: x in the residual part, v in the sums part.
    for (std::int64_t served = 0;; ++served) {
      NormEst1(&n_, &request, residual_.From(1), &estimate, sums_.From(1), signs.From(1), state);
      if (request == 0) break;
      if (served == kEstimateRequests || request < 0) {
        Fail(slu::DriverError::kNormEstimate);
        return;
      }
      if (request == 1) {
        Inner(residual_.From(1), solution_.From(1), spare_.From(1), !trans_);
        for (std::int64_t i = 1; i <= n_; ++i) residual_[i] = weight(i) * solution_[i];
      } else {
        for (std::int64_t i = 1; i <= n_; ++i) residual_[i] *= weight(i);
        Inner(residual_.From(1), solution_.From(1), spare_.From(1), trans_);
        for (std::int64_t i = 1; i <= n_; ++i) residual_[i] = solution_[i];
      }
    }
    error_[3] += (xmax_ > 0.0 ? estimate / xmax_ : estimate) * (category == 1 ? omega1_ : omega2_);
  }
}

void Solver::PutSolution(const RealView& from) {
  if (!trans_) {
    for (std::int64_t j = 1; j <= n_; ++j) x_[keep_[m_ + j]] = from[j];
  } else {
    for (std::int64_t i = 1; i <= m_; ++i) x_[i] = from[keep_[i]];
  }
}

void Solver::Run() {
  if (slu::CheckDriverArguments(slu::Driver::kSolve, &m_, &n_, nullptr, &job_, nullptr,
                                icntl_.From(1), info_.From(1)) != 0) {
    return;
  }
  info_[1] = 0;
  error_[3] = 0.0;
  rows_ = trans_ ? n_ : m_;
  columns_ = trans_ ? m_ : n_;
  // The right-hand side in permuted order.
  const RealView permuted = job_ == 1 ? residual_ : solution_;
  if (!trans_) {
    for (std::int64_t i = 1; i <= m_; ++i) permuted[keep_[i]] = rhs_[i];
  } else {
    for (std::int64_t j = 1; j <= n_; ++j) permuted[j] = rhs_[keep_[m_ + j]];
  }
  if (job_ == 1) {
    Inner(residual_.From(1), solution_.From(1), sums_.From(1), trans_);
    PutSolution(solution_);
    return;
  }
  for (std::int64_t i = 1; i <= rows_; ++i) rhs_[i] = solution_[i];
  const bool converged = Refine();
  // The saved solution in X is not needed past this point.
  PutSolution(solution_);
  error_[1] = omega1_;
  error_[2] = omega2_;
  if (!converged) {
    Fail(slu::DriverError::kNoConvergence);
    return;
  }
  if (job_ == 4 && m_ == n_) EstimateForwardError();
}

}  // namespace

void SluSolve(const std::int64_t* M, const std::int64_t* N, const std::int64_t* TRANS,
              const std::int64_t* JOB, const std::int64_t* LA, const double* A,
              const std::int64_t* IRN, const std::int64_t* KEEP, const double* CNTL,
              const std::int64_t* ICNTL, double* RHS, double* X, double* ERROR, double* W,
              std::int64_t* IW, std::int64_t* INFO) {
  Solver solver(M, N, TRANS, JOB, LA, A, IRN, KEEP, CNTL, ICNTL, RHS, X, ERROR, W, IW, INFO);
  solver.Run();
}
