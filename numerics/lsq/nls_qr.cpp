// The triangular factor of the Jacobian: blocks of rows of [J r] rotated into
// R and Q^T r by orthogonal transformations, so that the model never forms
// J^T J and squares the condition of J.
#include <algorithm>
#include <cmath>

#include "numerics/lsq/nls_internal.h"

namespace nls {

void RotateRowIn(std::int64_t n, double* u, double* q, double* z, double rho) {
  for (std::int64_t j = 0; j < n; ++j) {
    if (z[j] == 0.0) continue;
    double* col = u + j * (j + 1) / 2;
    const double h = std::hypot(col[j], z[j]);
    const double c = col[j] / h;
    const double s = z[j] / h;
    col[j] = h;
    for (std::int64_t k = j + 1; k < n; ++k) {
      double& ujk = u[j + k * (k + 1) / 2];
      const double t = ujk;
      ujk = c * t + s * z[k];
      z[k] = c * z[k] - s * t;
    }
    if (q != nullptr) {
      const double t = q[j];
      q[j] = c * t + s * rho;
      rho = c * rho - s * t;
    }
  }
}

namespace {

// Sums of squares between these keep their precision unscaled.
constexpr double kSafeSquareMin = 1e-290;
constexpr double kSafeSquareMax = 1e290;
constexpr double kSafeMax = 1e145;

// Householder reflections that fold the m rows held in `block` (column-major,
// leading dimension m, the right-hand side as column p) into R and qtr.
void FoldBlock(std::int64_t p, std::int64_t m, double* block, double* r, double* qtr) {
  for (std::int64_t j = 0; j < p; ++j) {
    double* bj = block + j * m;
    double& rjj = r[j + j * (j + 1) / 2];
    double below = 0.0;
    for (std::int64_t i = 0; i < m; ++i) below += bj[i] * bj[i];
    double length = 0.0;
    if (below > kSafeSquareMin && below < kSafeSquareMax && std::fabs(rjj) < kSafeMax) {
      length = std::sqrt(rjj * rjj + below);
    } else {
      // Squares that could underflow or overflow: sum them scaled.
      double scale = 0.0;
      for (std::int64_t i = 0; i < m; ++i) scale = std::fmax(scale, std::fabs(bj[i]));
      if (scale == 0.0) continue;  // nothing below R(j,j) to remove
      scale = std::fmax(scale, std::fabs(rjj));
      double sum = (rjj / scale) * (rjj / scale);
      for (std::int64_t i = 0; i < m; ++i) sum += (bj[i] / scale) * (bj[i] / scale);
      length = scale * std::sqrt(sum);
    }
    const double alpha = -std::copysign(length, rjj);
    // The reflector is v = (rjj - alpha, bj) with v^T v = 2 alpha (alpha - rjj).
    const double v0 = rjj - alpha;
    const double vtv = 2.0 * alpha * (alpha - rjj);
    for (std::int64_t k = j + 1; k <= p; ++k) {
      double* bk = block + k * m;
      double& top = k < p ? r[j + k * (k + 1) / 2] : qtr[j];
      double dot = v0 * top;
      for (std::int64_t i = 0; i < m; ++i) dot += bj[i] * bk[i];
      const double f = 2.0 * dot / vtv;
      top -= f * v0;
      for (std::int64_t i = 0; i < m; ++i) bk[i] -= f * bj[i];
    }
    rjj = alpha;
  }
}

}  // namespace

void AccumulateRows(std::int64_t p, const double* jac, std::int64_t ld, const double* res,
                    std::int64_t first, std::int64_t last, bool householder, double* r, double* qtr,
                    double* chunk, std::int64_t chunk_rows, double* row) {
  if (!householder) {
    for (std::int64_t i = first; i < last; ++i) {
      for (std::int64_t j = 0; j < p; ++j) row[j] = jac[i + j * ld];
      RotateRowIn(p, r, qtr, row, res[i]);
    }
    return;
  }
  // The caller's rows stay as they are: each piece is copied out and folded.
  for (std::int64_t start = first; start < last; start += chunk_rows) {
    const std::int64_t m = std::min(chunk_rows, last - start);
    for (std::int64_t j = 0; j < p; ++j)
      for (std::int64_t i = 0; i < m; ++i) chunk[i + j * m] = jac[start + i + j * ld];
    for (std::int64_t i = 0; i < m; ++i) chunk[i + p * m] = res[start + i];
    FoldBlock(p, m, chunk, r, qtr);
  }
}

void TriangularMultiply(std::int64_t p, const double* r, const double* x, double* y) {
  for (std::int64_t i = 0; i < p; ++i) y[i] = 0.0;
  for (std::int64_t j = 0; j < p; ++j) {
    const double* col = r + j * (j + 1) / 2;
    for (std::int64_t i = 0; i <= j; ++i) y[i] += col[i] * x[j];
  }
}

void TriangularTransposeMultiply(std::int64_t p, const double* r, const double* x, double* y) {
  for (std::int64_t j = 0; j < p; ++j) {
    const double* col = r + j * (j + 1) / 2;
    double sum = 0.0;
    for (std::int64_t i = 0; i <= j; ++i) sum += col[i] * x[i];
    y[j] = sum;
  }
}

void GramFromFactor(std::int64_t p, const double* r, double* h) {
  for (std::int64_t j = 0; j < p; ++j) {
    const double* cj = r + j * (j + 1) / 2;
    for (std::int64_t i = 0; i <= j; ++i) {
      const double* ci = r + i * (i + 1) / 2;
      double sum = 0.0;
      for (std::int64_t k = 0; k <= i; ++k) sum += ci[k] * cj[k];
      h[PackedAt(i, j)] = sum;
    }
  }
}

}  // namespace nls
