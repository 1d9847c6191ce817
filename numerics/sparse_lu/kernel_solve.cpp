#include "numerics/sparse_lu/kernel_solve.h"

#include <algorithm>
#include <string>
#include <utility>

#include "numerics/sparse_lu/blas.h"
#include "numerics/sparse_lu/kernel_print.h"
#include "numerics/sparse_lu/one_based.h"
#include "numerics/sparse_lu/slu_print.h"

using slu::IntView;
using slu::RealView;

namespace {

using ConstInts = slu::OneBased<const std::int64_t>;
using ConstReals = slu::OneBased<const double>;

// The factors as SluKernelFactorize lays them out.
// The level-2 triangular solves of a small full block in plain loops: the
// library's argument checks cost more than the arithmetic there. Each loop
// runs in the order of the reference routine, so the results are the same.
constexpr std::int64_t kSmallBlock = 8;

void LowerUnit(std::int64_t r, const double* a, std::int64_t lda, double* x) {
  for (std::int64_t j = 0; j < r; ++j) {
    const double t = x[j];
    if (t == 0.0) continue;
    for (std::int64_t i = j + 1; i < r; ++i) x[i] -= t * a[i + j * lda];
  }
}

void Upper(std::int64_t r, const double* a, std::int64_t lda, double* x) {
  for (std::int64_t j = r - 1; j >= 0; --j) {
    if (x[j] == 0.0) continue;
    x[j] /= a[j + j * lda];
    const double t = x[j];
    for (std::int64_t i = j - 1; i >= 0; --i) x[i] -= t * a[i + j * lda];
  }
}

void UpperTransposed(std::int64_t r, const double* a, std::int64_t lda, double* x) {
  for (std::int64_t j = 0; j < r; ++j) {
    double t = x[j];
    for (std::int64_t i = 0; i < j; ++i) t -= a[i + j * lda] * x[i];
    x[j] = t / a[j + j * lda];
  }
}

void LowerUnitTransposed(std::int64_t r, const double* a, std::int64_t lda, double* x) {
  for (std::int64_t j = r - 1; j >= 0; --j) {
    double t = x[j];
    for (std::int64_t i = r - 1; i > j; --i) t -= a[i + j * lda] * x[i];
    x[j] = t;
  }
}

struct Factors {
  ConstReals values;
  ConstInts index, iptrl, iptru;
  std::int64_t n;

  std::int64_t UBegin(std::int64_t k) const { return (k == 1 ? 2 : iptrl[k - 1]) + 1; }
  bool HasPivot(std::int64_t k) const { return iptru[k] < iptrl[k]; }
  std::int64_t FullEnd() const { return iptrl[n]; }
};

}  // namespace

void SluKernelFullSolve(const std::int64_t* TRANS, const std::int64_t* MF, const std::int64_t* NF,
                        const double* A, const std::int64_t* LDA, const std::int64_t* IPIV,
                        double* X, const std::int64_t* LEVEL) {
  const std::int64_t mf = *MF, nf = *NF, lda = *LDA;
  const ConstInts ipiv(IPIV);
  const RealView x(X);
  auto at = [&](std::int64_t i, std::int64_t j) { return A + (i - 1) + (j - 1) * lda; };
  std::int64_t r = 0;
  for (std::int64_t k = std::min(mf, nf); k >= 1 && r == 0; --k) {
    if (ipiv[k] > 0) r = k;
  }
  const bool blas2 = *LEVEL > 0;

  if ((*TRANS & 1) == 0) {
    for (std::int64_t k = 1; k <= r; ++k) std::swap(x[k], x[ipiv[k]]);
    if (blas2 && r <= kSmallBlock) {
      LowerUnit(r, A, lda, X);
      Upper(r, A, lda, X);
    } else if (blas2) {
      slu_blas::Dtrsv('L', 'N', 'U', r, A, lda, X, 1);
      slu_blas::Dtrsv('U', 'N', 'N', r, A, lda, X, 1);
    } else {
      for (std::int64_t k = 1; k <= r; ++k) {
        if (x[k] != 0.0) slu_blas::Daxpy(r - k, -x[k], at(k + 1, k), 1, x.From(k + 1), 1);
      }
      for (std::int64_t k = r; k >= 1; --k) {
        x[k] /= *at(k, k);
        if (x[k] != 0.0) slu_blas::Daxpy(k - 1, -x[k], at(1, k), 1, X, 1);
      }
    }
    for (std::int64_t k = r + 1; k <= nf; ++k) x[k] = 0.0;
    // Undo the exchanges of the rejected columns, first exchanged last.
    for (std::int64_t k = r + 1; k <= nf; ++k) {
      if (ipiv[k] < 0) std::swap(x[k], x[-ipiv[k]]);
    }
    return;
  }

  for (std::int64_t k = nf; k >= r + 1; --k) {
    if (ipiv[k] < 0) std::swap(x[k], x[-ipiv[k]]);
  }
  if (blas2 && r <= kSmallBlock) {
    UpperTransposed(r, A, lda, X);
    LowerUnitTransposed(r, A, lda, X);
  } else if (blas2) {
    slu_blas::Dtrsv('U', 'T', 'N', r, A, lda, X, 1);
    slu_blas::Dtrsv('L', 'T', 'U', r, A, lda, X, 1);
  } else {
    for (std::int64_t k = 1; k <= r; ++k) {
      x[k] = (x[k] - slu_blas::Ddot(k - 1, at(1, k), 1, X, 1)) / *at(k, k);
    }
    for (std::int64_t k = r; k >= 1; --k) {
      x[k] -= slu_blas::Ddot(r - k, at(k + 1, k), 1, x.From(k + 1), 1);
    }
  }
  for (std::int64_t k = r + 1; k <= mf; ++k) x[k] = 0.0;
  for (std::int64_t k = r; k >= 1; --k) std::swap(x[k], x[ipiv[k]]);
}

namespace {

// The substitutions, on arguments already checked.
void Substitute(const std::int64_t* M, const std::int64_t* N, const std::int64_t* ICNTL,
                const std::int64_t* IQ, const std::int64_t* NP, const std::int64_t* TRANS,
                const double* FACTORS, const std::int64_t* IRNF, const std::int64_t* IPTRL,
                const std::int64_t* IPTRU, const double* B, double* X, double* RWORK) {
  const std::int64_t m = *M, n = *N;
  const std::int64_t np = *NP;
  const Factors f{ConstReals(FACTORS), ConstInts(IRNF), ConstInts(IPTRL), ConstInts(IPTRU), n};
  const ConstInts iq(IQ);
  const ConstReals b(B);
  const RealView x(X), w(RWORK);
  const bool natural = iq[1] <= 0;
  const std::int64_t e = f.FullEnd();
  const std::int64_t mf = f.index[2];
  const std::int64_t nf = n - np;
  const double* block = FACTORS + e;
  const std::int64_t* interchanges = IRNF + e + mf;
  auto full_row = [&](std::int64_t i) { return f.index[e + i]; };

  if ((*TRANS & 1) == 0) {
    for (std::int64_t i = 1; i <= m; ++i) w[i] = b[i];
    // Forward through L.
    for (std::int64_t k = 1; k <= np; ++k) {
      if (!f.HasPivot(k)) continue;
      const std::int64_t head = f.iptru[k] + 1;
      const double xk = w[f.index[head]] * f.values[head];
      x[k] = xk;
      if (xk == 0.0) continue;
      for (std::int64_t pos = head + 1; pos <= f.iptrl[k]; ++pos) {
        w[f.index[pos]] -= f.values[pos] * xk;
      }
    }
    // The full block: its rows gathered to the front of RWORK (the rows are
    // increasing, so gathering in place is safe).
    if (mf >= 1 && nf >= 1) {
      for (std::int64_t i = 1; i <= mf; ++i) w[i] = w[full_row(i)];
      SluKernelFullSolve(TRANS, &mf, &nf, block, &mf, interchanges, RWORK, &ICNTL[4]);
      for (std::int64_t k = 1; k <= nf; ++k) x[np + k] = w[k];
    } else {
      for (std::int64_t k = np + 1; k <= n; ++k) x[k] = 0.0;
    }
    // Backward through U.
    for (std::int64_t k = n; k >= 2; --k) {
      if (k <= np && !f.HasPivot(k)) {
        x[k] = 0.0;
        continue;
      }
      const double xk = x[k];
      for (std::int64_t pos = f.UBegin(k); pos <= f.iptru[k]; ++pos) {
        x[f.index[pos]] += f.values[pos] * xk;
      }
    }
    if (np >= 1 && !f.HasPivot(1)) x[1] = 0.0;
    if (!natural) {
      for (std::int64_t k = 1; k <= n; ++k) w[k] = x[k];
      for (std::int64_t k = 1; k <= n; ++k) x[iq[k]] = w[k];
    }
    return;
  }

  for (std::int64_t k = 1; k <= n; ++k) w[k] = b[natural ? k : iq[k]];
  for (std::int64_t i = 1; i <= m; ++i) x[i] = 0.0;
  // Forward through U^T.
  for (std::int64_t k = 2; k <= n; ++k) {
    double sum = w[k];
    for (std::int64_t pos = f.UBegin(k); pos <= f.iptru[k]; ++pos) {
      sum += f.values[pos] * w[f.index[pos]];
    }
    w[k] = sum;
  }
  // The full block. Its solution has MF entries: when that exceeds NF it is
  // formed in X, whose rows it then moves to (from the last, as rows are
  // increasing).
  if (mf >= 1 && nf >= 1) {
    double* v = mf <= nf ? w.From(np + 1) : X;
    if (v == X) {
      for (std::int64_t k = 1; k <= nf; ++k) x[k] = w[np + k];
    }
    SluKernelFullSolve(TRANS, &mf, &nf, block, &mf, interchanges, v, &ICNTL[4]);
    const RealView vv(v);
    for (std::int64_t i = mf; i >= 1; --i) {
      const double value = vv[i];
      if (v == X) x[i] = 0.0;
      x[full_row(i)] = value;
    }
  }
  // Backward through L^T.
  for (std::int64_t k = np; k >= 1; --k) {
    if (!f.HasPivot(k)) continue;
    const std::int64_t head = f.iptru[k] + 1;
    double sum = w[k];
    for (std::int64_t pos = head + 1; pos <= f.iptrl[k]; ++pos) {
      sum -= f.values[pos] * x[f.index[pos]];
    }
    x[f.index[head]] = sum * f.values[head];
  }
}

}  // namespace

void SluKernelSolve(const std::int64_t* M, const std::int64_t* N, const std::int64_t* ICNTL,
                    const std::int64_t* IQ, const std::int64_t* NP, const std::int64_t* TRANS,
                    const std::int64_t*, const double* FACTORS, const std::int64_t* IRNF,
                    const std::int64_t* IPTRL, const std::int64_t* IPTRU, const double* B,
                    double* X, double* RWORK, std::int64_t* INFO) {
  const std::int64_t m = *M, n = *N;
  INFO[0] = 0;
  if (m < 1 || n < 1) {
    INFO[0] = -1;
    const std::int64_t unit = SluUnitsFrom(ICNTL).error;
    SluWriteRecord(unit, " **** Error return from SluKernelSolve ****");
    SluWriteRecord(unit, " M =" + SluInt(m) + " N =" + SluInt(n));
    return;
  }
  const slu::SummaryUnit summary = slu::SummaryUnitFrom(ICNTL);
  const bool trans = (*TRANS & 1) != 0;
  if (summary.unit >= 1) {
    SluWriteRecord(summary.unit, " Entering SluKernelSolve with M=" + SluInt(m) +
                                     " N =" + SluInt(n) + " NP =" + SluInt(*NP) +
                                     " TRANS =" + std::string(trans ? "  T" : "  F"));
    if (summary.full) {
      const std::int64_t mf = IRNF[1];
      SluWriteRecord(summary.unit, " Size of full submatrix" + SluInt(mf) + SluInt(n - *NP));
      slu::WriteFactors(summary.unit, n, *NP, FACTORS, IRNF, IPTRL, IPTRU);
      slu::WriteReals(summary.unit, " B =", B, trans ? n : m);
    }
  }
  Substitute(M, N, ICNTL, IQ, NP, TRANS, FACTORS, IRNF, IPTRL, IPTRU, B, X, RWORK);
  if (summary.unit >= 1 && summary.full) {
    slu::WriteReals(summary.unit, " Leaving SluKernelSolve with X =", X, trans ? m : n);
  }
}
