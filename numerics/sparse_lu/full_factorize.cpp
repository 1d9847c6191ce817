// The three full-matrix LU routines of the factorize kernel: blocked
// (panels updated with level-2 BLAS inside, level-3 BLAS between panels),
// level 2 and level 1. All keep rejected columns at the end of the block.
#include <algorithm>
#include <cmath>

#include "numerics/sparse_lu/blas.h"
#include "numerics/sparse_lu/kernel_factorize.h"
#include "numerics/sparse_lu/one_based.h"

namespace {

using slu_blas::Daxpy;
using slu_blas::Dgemm;
using slu_blas::Dgemv;
using slu_blas::Dscal;
using slu_blas::Dswap;
using slu_blas::DtrsmLeft;
using slu_blas::Dtrsv;
using slu_blas::Idamax;

// 1-based access to a column-major matrix.
class Matrix {
 public:
  Matrix(double* a, std::int64_t lda) : a_(a), lda_(lda) {}
  double& operator()(std::int64_t i, std::int64_t j) const { return a_[(i - 1) + (j - 1) * lda_]; }
  double* At(std::int64_t i, std::int64_t j) const { return &(*this)(i, j); }
  std::int64_t lda() const { return lda_; }

 private:
  double* a_;
  std::int64_t lda_;
};

// Pivot of column j among rows j..m, or 0 when none is above the limit.
std::int64_t PivotRow(const Matrix& a, std::int64_t m, std::int64_t j, double limit) {
  const std::int64_t p = j - 1 + Idamax(m - j + 1, a.At(j, j), 1);
  return std::fabs(a(p, j)) > limit ? p : 0;
}

// Zeroes column j from row j down and moves it behind the columns still in
// play; returns the slot it came to rest in.
std::int64_t Reject(const Matrix& a, std::int64_t m, std::int64_t j, std::int64_t& last,
                    const slu::IntView& ipiv) {
  for (std::int64_t i = j; i <= m; ++i) a(i, j) = 0.0;
  const std::int64_t slot = last;
  if (j < slot) Dswap(m, a.At(1, j), 1, a.At(1, slot), 1);
  ipiv[slot] = -j;
  --last;
  return slot;
}

void SwapRows(const Matrix& a, std::int64_t r1, std::int64_t r2, std::int64_t first,
              std::int64_t last) {
  if (r1 == r2 || last < first) return;
  Dswap(last - first + 1, a.At(r1, first), a.lda(), a.At(r2, first), a.lda());
}

// Crout elimination inside panels of nb columns, right-looking between
// panels. With full_swaps every row exchange runs across the whole matrix
// (the level-2 form, one panel); otherwise exchanges stay inside the panel
// and reach the other columns when the panel is complete.
void CroutLU(std::int64_t m, std::int64_t n, double* data, std::int64_t lda, std::int64_t nb,
             double limit, std::int64_t* IPIV, std::int64_t* RANK, bool full_swaps) {
  const Matrix a(data, lda);
  const slu::IntView ipiv(IPIV);
  std::int64_t last = n;
  std::int64_t j = 1;
  std::int64_t rank = 0;
  while (j <= std::min(m, last)) {
    const std::int64_t ps = j;
    std::int64_t pe = std::min(j + nb - 1, last);
    while (j <= pe && j <= m) {
      Dgemv('N', m - j + 1, j - ps, -1.0, a.At(j, ps), lda, a.At(ps, j), 1, 1.0, a.At(j, j), 1);
      const std::int64_t p = PivotRow(a, m, j, limit);
      if (p != 0) {
        ipiv[j] = p;
        if (full_swaps) {
          SwapRows(a, j, p, 1, n);
        } else {
          SwapRows(a, j, p, ps, pe);
        }
        Dscal(m - j, 1.0 / a(j, j), a.At(j + 1, j), 1);
        Dgemv('T', j - ps, pe - j, -1.0, a.At(ps, j + 1), lda, a.At(j, ps), lda, 1.0,
              a.At(j, j + 1), lda);
        ++rank;
        ++j;
        continue;
      }
      const std::int64_t slot = Reject(a, m, j, last, ipiv);
      if (j < slot && slot > pe) {
        // The column brought in from outside the panel still lacks the
        // panel's exchanges and its rows of U inside the panel.
        for (std::int64_t t = ps; t < j; ++t) std::swap(a(t, j), a(ipiv[t], j));
        Dtrsv('L', 'N', 'U', j - ps, a.At(ps, ps), lda, a.At(ps, j), 1);
      }
      pe = std::min(pe, last);
    }
    const std::int64_t done = j - ps;
    if (!full_swaps) {
      for (std::int64_t t = ps; t < j; ++t) {
        SwapRows(a, t, ipiv[t], 1, ps - 1);
        SwapRows(a, t, ipiv[t], pe + 1, last);
      }
    }
    if (done > 0 && pe < last) {
      DtrsmLeft('L', 'N', 'U', done, last - pe, 1.0, a.At(ps, ps), lda, a.At(ps, pe + 1), lda);
      Dgemm('N', 'N', m - j + 1, last - pe, done, -1.0, a.At(j, ps), lda, a.At(ps, pe + 1), lda,
            1.0, a.At(j, pe + 1), lda);
    }
  }
  for (std::int64_t k = j; k <= last; ++k) ipiv[k] = -k;
  *RANK = rank;
}

}  // namespace

void SluKernelFullBlas3(const std::int64_t* M, const std::int64_t* N, double* A,
                        const std::int64_t* LDA, const std::int64_t* NB, const double* PIVLIM,
                        std::int64_t* IPIV, std::int64_t* RANK) {
  CroutLU(*M, *N, A, *LDA, std::max<std::int64_t>(*NB, 1), std::max(*PIVLIM, 0.0), IPIV, RANK,
          false);
}

void SluKernelFullBlas2(const std::int64_t* M, const std::int64_t* N, double* A,
                        const std::int64_t* LDA, const double* PIVLIM, std::int64_t* IPIV,
                        std::int64_t* RANK) {
  CroutLU(*M, *N, A, *LDA, std::max<std::int64_t>(*N, 1), std::max(*PIVLIM, 0.0), IPIV, RANK, true);
}

void SluKernelFullBlas1(const std::int64_t* M, const std::int64_t* N, double* A,
                        const std::int64_t* LDA, const double* PIVLIM, std::int64_t* IPIV,
                        std::int64_t* RANK) {
  const std::int64_t m = *M, n = *N;
  const Matrix a(A, *LDA);
  const slu::IntView ipiv(IPIV);
  const double limit = std::max(*PIVLIM, 0.0);
  // Left-looking: column j receives each earlier column in turn.
  auto update = [&](std::int64_t j, std::int64_t steps) {
    for (std::int64_t i = 1; i <= steps; ++i) {
      Daxpy(m - i, -a(i, j), a.At(i + 1, i), 1, a.At(i + 1, j), 1);
    }
  };
  std::int64_t last = n;
  std::int64_t j = 1;
  std::int64_t rank = 0;
  while (j <= std::min(m, last)) {
    update(j, j - 1);
    const std::int64_t p = PivotRow(a, m, j, limit);
    if (p == 0) {
      Reject(a, m, j, last, ipiv);
      continue;
    }
    ipiv[j] = p;
    SwapRows(a, j, p, 1, n);
    Dscal(m - j, 1.0 / a(j, j), a.At(j + 1, j), 1);
    ++rank;
    ++j;
  }
  // Columns beyond the last step still get their rows of U.
  for (std::int64_t k = j; k <= last; ++k) {
    update(k, j - 1);
    ipiv[k] = -k;
  }
  *RANK = rank;
}
