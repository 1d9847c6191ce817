#include "numerics/sparse_lu/blas.h"

#include <cstdio>
#include <cstdlib>
#include <limits>

namespace slu_blas {

int BlasInt(std::int64_t value) {
  if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) {
    std::fprintf(stderr, "sparse LU: dimension %lld does not fit the BLAS interface\n",
                 static_cast<long long>(value));
    std::abort();
  }
  return static_cast<int>(value);
}

std::int64_t Idamax(std::int64_t n, const double* x, std::int64_t incx) {
  if (n < 1) return 0;
  const int nn = BlasInt(n), inc = BlasInt(incx);
  return idamax_(&nn, x, &inc);
}

void Dswap(std::int64_t n, double* x, std::int64_t incx, double* y, std::int64_t incy) {
  if (n < 1) return;
  const int nn = BlasInt(n), ix = BlasInt(incx), iy = BlasInt(incy);
  dswap_(&nn, x, &ix, y, &iy);
}

void Dscal(std::int64_t n, double a, double* x, std::int64_t incx) {
  if (n < 1) return;
  const int nn = BlasInt(n), ix = BlasInt(incx);
  dscal_(&nn, &a, x, &ix);
}

void Daxpy(std::int64_t n, double a, const double* x, std::int64_t incx, double* y,
           std::int64_t incy) {
  if (n < 1) return;
  const int nn = BlasInt(n), ix = BlasInt(incx), iy = BlasInt(incy);
  daxpy_(&nn, &a, x, &ix, y, &iy);
}

double Ddot(std::int64_t n, const double* x, std::int64_t incx, const double* y,
            std::int64_t incy) {
  if (n < 1) return 0.0;
  const int nn = BlasInt(n), ix = BlasInt(incx), iy = BlasInt(incy);
  return ddot_(&nn, x, &ix, y, &iy);
}

void Dgemv(char trans, std::int64_t m, std::int64_t n, double alpha, const double* a,
           std::int64_t lda, const double* x, std::int64_t incx, double beta, double* y,
           std::int64_t incy) {
  if (m < 1 || n < 1) return;
  const int mm = BlasInt(m), nn = BlasInt(n), ld = BlasInt(lda), ix = BlasInt(incx),
            iy = BlasInt(incy);
  dgemv_(&trans, &mm, &nn, &alpha, a, &ld, x, &ix, &beta, y, &iy, 1);
}

namespace {

// DTRSV's own loops, in its order of operations, for a unit stride. The
// blocks of a train of small groups are 1 to 3 wide: there the call into
// BLAS and its argument checks cost more than the solve.
void SmallTrsv(bool upper, bool transposed, bool unit, std::int64_t n, const double* a,
               std::int64_t lda, double* x) {
  auto at = [&](std::int64_t i, std::int64_t j) { return a[i + j * lda]; };
  if (!transposed) {
    if (upper) {
      for (std::int64_t j = n - 1; j >= 0; --j) {
        if (x[j] == 0.0) continue;
        if (!unit) x[j] /= at(j, j);
        const double t = x[j];
        for (std::int64_t i = j - 1; i >= 0; --i) x[i] -= t * at(i, j);
      }
    } else {
      for (std::int64_t j = 0; j < n; ++j) {
        if (x[j] == 0.0) continue;
        if (!unit) x[j] /= at(j, j);
        const double t = x[j];
        for (std::int64_t i = j + 1; i < n; ++i) x[i] -= t * at(i, j);
      }
    }
    return;
  }
  if (upper) {
    for (std::int64_t j = 0; j < n; ++j) {
      double t = x[j];
      for (std::int64_t i = 0; i < j; ++i) t -= at(i, j) * x[i];
      if (!unit) t /= at(j, j);
      x[j] = t;
    }
  } else {
    for (std::int64_t j = n - 1; j >= 0; --j) {
      double t = x[j];
      for (std::int64_t i = n - 1; i > j; --i) t -= at(i, j) * x[i];
      if (!unit) t /= at(j, j);
      x[j] = t;
    }
  }
}

bool Is(char c, char upper) { return c == upper || c == upper - 'A' + 'a'; }

}  // namespace

void Dtrsv(char uplo, char trans, char diag, std::int64_t n, const double* a, std::int64_t lda,
           double* x, std::int64_t incx) {
  if (n < 1) return;
  constexpr std::int64_t kSmall = 8;
  if (n <= kSmall && incx == 1 && lda >= n && (Is(uplo, 'U') || Is(uplo, 'L')) &&
      (Is(trans, 'N') || Is(trans, 'T') || Is(trans, 'C')) && (Is(diag, 'U') || Is(diag, 'N'))) {
    SmallTrsv(Is(uplo, 'U'), !Is(trans, 'N'), Is(diag, 'U'), n, a, lda, x);
    return;
  }
  const int nn = BlasInt(n), ld = BlasInt(lda), ix = BlasInt(incx);
  dtrsv_(&uplo, &trans, &diag, &nn, a, &ld, x, &ix, 1, 1, 1);
}

void DtrsmLeft(char uplo, char transa, char diag, std::int64_t m, std::int64_t n, double alpha,
               const double* a, std::int64_t lda, double* b, std::int64_t ldb) {
  if (m < 1 || n < 1) return;
  const char side = 'L';
  const int mm = BlasInt(m), nn = BlasInt(n), la = BlasInt(lda), lb = BlasInt(ldb);
  dtrsm_(&side, &uplo, &transa, &diag, &mm, &nn, &alpha, a, &la, b, &lb, 1, 1, 1, 1);
}

void Dgemm(char transa, char transb, std::int64_t m, std::int64_t n, std::int64_t k, double alpha,
           const double* a, std::int64_t lda, const double* b, std::int64_t ldb, double beta,
           double* c, std::int64_t ldc) {
  if (m < 1 || n < 1 || k < 1) return;
  const int mm = BlasInt(m), nn = BlasInt(n), kk = BlasInt(k), la = BlasInt(lda), lb = BlasInt(ldb),
            lc = BlasInt(ldc);
  dgemm_(&transa, &transb, &mm, &nn, &kk, &alpha, a, &la, b, &lb, &beta, c, &lc, 1, 1);
}

}  // namespace slu_blas
