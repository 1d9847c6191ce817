// Reverse-communication driver of the least-squares optimiser and its
// covariance finisher.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "numerics/lsq/nls.h"
#include "numerics/lsq/nls_internal.h"
#include "numerics/lsq/packed_cholesky.h"

namespace nls {
namespace {

// Work of the condition estimate; process-wide like the rest of the state.
std::vector<double> g_covariance_work;

// Leverage-based influence of each residual: |r_i| sqrt(h_i / (1 - h_i)) with
// h_i = J_i C J_i^T; -1 where it is undefined or R is not at X.
void RegressionDiagnostics(const IntArray& iv, const RealArray& v, const Problem& pb,
                           std::int64_t cov) {
  const Work w = WorkFor(iv, v, pb.p);
  const double* c = &v(cov);
  for (std::int64_t i = 0; i < pb.n; ++i) {
    double leverage = -1.0;
    if (iv(kRestor) == 0) {
      for (std::int64_t j = 0; j < pb.p; ++j) w.y[j] = pb.dr[i + j * pb.nd];
      SymmetricMultiply(pb.p, c, w.y, w.u);
      leverage = GuardedDot(pb.p, w.y, w.u);
    }
    pb.rd[i] = (leverage >= 0.0 && leverage < 1.0)
                   ? std::fabs(pb.r[i]) * std::sqrt(leverage / (1.0 - leverage))
                   : -1.0;
  }
  iv(kRegd) = 1;
}

// The storage of the last allocation is there, for this P, within the arrays.
bool StorageFits(const IntArray& iv, std::int64_t liv, std::int64_t lv, std::int64_t p) {
  if (iv(kState) < 1 || iv(kAllocP) != p) return false;
  const Layout l = LayoutFor(iv, p);
  return l.r >= 1 && l.flags >= 1 && l.lastv <= lv && l.lastiv <= liv;
}

// (R^T R)^-1 at V(cov) from R at V(IV(RMAT)), R kept: J^T J is never formed,
// so the covariance carries the condition of J, not its square. False when
// R is singular to working precision (the estimated reciprocal condition of
// R^T R at most MACHEP squared).
bool InvertFromFactor(const IntArray& iv, const RealArray& v, std::int64_t p, std::int64_t cov) {
  const double* r = &v(iv(kRmat));
  double* c = &v(cov);
  // Rows turned to a positive diagonal, which R^T R does not notice.
  for (std::int64_t j = 0; j < p; ++j) {
    for (std::int64_t k = 0; k <= j; ++k) {
      const double sign = r[PackedAt(k, k)] < 0.0 ? -1.0 : 1.0;
      c[PackedAt(k, j)] = sign * r[PackedAt(k, j)];
    }
  }
  double anorm = 0.0;
  for (std::int64_t j = 0; j < p; ++j) {
    if (!(c[PackedAt(j, j)] > 0.0)) return false;
    double column = 0.0;
    for (std::int64_t i = 0; i < p; ++i) {
      const std::int64_t shared = std::min(i, j);
      double a = 0.0;
      for (std::int64_t k = 0; k <= shared; ++k) a += c[PackedAt(k, i)] * c[PackedAt(k, j)];
      column += std::fabs(a);
    }
    anorm = std::fmax(anorm, column);
  }
  PackedCholeskyEstimate(c, p, anorm, v(kRcond), g_covariance_work.data());
  const double machine_epsilon = NlsMachineConstant(kMachineEpsilon);
  if (!(v(kRcond) > machine_epsilon * machine_epsilon)) return false;
  PackedCholeskyInverse(c, p, nullptr, 1);
  return true;
}

}  // namespace

void FinishCovariance(const IntArray& iv, const RealArray& v, const Problem& pb) {
  const std::int64_t p = pb.p;
  const std::int64_t i = iv(kMode) - p;
  iv(kMode) = 0;
  iv(kCnvcod) = 0;
  if (iv(kFdh) <= 0) return;
  if ((i - 2) * (i - 2) == 1) iv(kRegd) = 1;
  if (iv(kRdreq) % 2 == 0) return;
  std::int64_t cov = std::llabs(iv(kH));
  iv(kFdh) = 0;
  if (iv(kCovmat) != 0) return;
  if (i < 2 && iv(kRmat) > 0) {
    g_covariance_work.assign(static_cast<std::size_t>(p), 0.0);
    if (!InvertFromFactor(iv, v, p, cov)) cov = -1;
  } else if (i < 2) {
    g_covariance_work.assign(static_cast<std::size_t>(p), 0.0);
    std::int64_t info = 0;
    PackedCholeskyCondition(&v(cov), p, v(kRcond), g_covariance_work.data(), info);
    if (info != 0) {
      cov = -1;
    } else {
      PackedCholeskyInverse(&v(cov), p, nullptr, 1);
    }
  }
  iv(kCovmat) = cov;
  if (cov > 0 && iv(kRdreq) >= 2) RegressionDiagnostics(iv, v, pb, cov);
}

}  // namespace nls

void NlsBoundedDriver(double* b, double* d, double* dr, std::int64_t* iv_array,
                      const std::int64_t& liv, const std::int64_t& lv, const std::int64_t& n,
                      const std::int64_t& nd, std::int64_t& n1, std::int64_t& n2,
                      const std::int64_t& p, double* r, double* rd, double* v_array, double* x) {
  using namespace nls;
  if (liv < 1) return;
  const IntArray iv{iv_array};
  const RealArray v{v_array};
  const Problem pb{b, d, dr, r, rd, x, n, nd, p, liv, lv};
  n1 = 1;
  n2 = n;
  std::int64_t code = iv(1);
  bool iterated = true;
  if (code != kEvaluateResiduals && code != kEvaluateJacobian) {
    iterated = false;
    if (liv < kMinLiv[0] && code != 0) {
      if (code <= kStorageAllocated) iv(1) = kLivTooSmall;
      return;
    }
    if (code == 0) {
      NlsSetDefaults(1, iv_array, liv, lv, v_array);
      code = iv(1);
      if (code != kDefaultsSet) return;
    }
    if (nd < 1 || p < 1 || n < 1) {
      iv(1) = kBadSizes;
      return;
    }
    if (code > kStorageAllocated) return;  // final codes stay final
    if (code < 0 || nd < n) {
      iv(1) = kInconsistentArguments;
      return;
    }
    if (code == kDefaultsSet || code == kSizeStorage) {
      iv(kVneed) += p * (p + 15) / 2;
      iv(1) = kSizeStorage;
      const std::int64_t failure = AllocateStorage(iv, v, pb);
      if (failure != 0) {
        iv(1) = failure;
        return;
      }
      if (code == kSizeStorage) {
        iv(1) = kStorageAllocated;
        return;
      }
      StartIteration(iv, v, pb, true);
      iterated = true;
    } else if (code == kStorageAllocated) {
      if (!StorageFits(iv, liv, lv, p)) {
        iv(1) = kInconsistentArguments;
        return;
      }
      StartIteration(iv, v, pb, true);
      iterated = true;
    } else {
      // 3 to 11: continue from X with what the last run learnt.
      if (iv(kState) != 2 || !StorageFits(iv, liv, lv, p)) {
        iv(1) = kNothingToContinue;
        return;
      }
      StartIteration(iv, v, pb, false);
      iterated = true;
    }
  } else {
    if (liv < kMinLiv[0] || !StorageFits(iv, liv, lv, p)) {
      iv(1) = kInconsistentArguments;
      return;
    }
    iv(kRestor) = 0;
    ContinueIteration(iv, v, pb);
  }
  code = iv(1);
  if (!iterated || code == kEvaluateResiduals || code == kEvaluateJacobian) return;
  FinishCovariance(iv, v, pb);
  ReportFinal(iv, v, pb);
}
