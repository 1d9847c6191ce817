#include "numerics/lsq/packed_cholesky.h"

#include <cmath>

namespace {

// 0-based position of a(i,j), i <= j, in the packed upper triangle.
inline std::int64_t At(std::int64_t i, std::int64_t j) { return i + j * (j + 1) / 2; }

double Dot(const double* a, const double* b, std::int64_t n) {
  double s = 0.0;
  for (std::int64_t k = 0; k < n; ++k) s += a[k] * b[k];
  return s;
}

void Axpy(double t, const double* x, double* y, std::int64_t n) {
  for (std::int64_t k = 0; k < n; ++k) y[k] += t * x[k];
}

void Scale(double t, double* x, std::int64_t n) {
  for (std::int64_t k = 0; k < n; ++k) x[k] *= t;
}

double AbsSum(const double* x, std::int64_t n) {
  double s = 0.0;
  for (std::int64_t k = 0; k < n; ++k) s += std::fabs(x[k]);
  return s;
}

}  // namespace

void PackedCholeskyFactor(double* ap, const std::int64_t& n, std::int64_t& info) {
  for (std::int64_t j = 0; j < n; ++j) {
    double* col_j = ap + At(0, j);
    double sum = 0.0;
    for (std::int64_t k = 0; k < j; ++k) {
      const double* col_k = ap + At(0, k);
      const double t = (col_j[k] - Dot(col_k, col_j, k)) / col_k[k];
      col_j[k] = t;
      sum += t * t;
    }
    const double d = col_j[j] - sum;
    if (!(d > 0.0)) {
      info = j + 1;
      return;
    }
    col_j[j] = std::sqrt(d);
  }
  info = 0;
}

void PackedCholeskyCondition(double* ap, const std::int64_t& n, double& rcond, double* z,
                             std::int64_t& info) {
  // 1-norm of the symmetric matrix from its upper triangle.
  for (std::int64_t j = 0; j < n; ++j) {
    z[j] = AbsSum(ap + At(0, j), j + 1);
    for (std::int64_t i = 0; i < j; ++i) z[i] += std::fabs(ap[At(i, j)]);
  }
  double anorm = 0.0;
  for (std::int64_t j = 0; j < n; ++j) anorm = std::fmax(anorm, z[j]);

  PackedCholeskyFactor(ap, n, info);
  rcond = 0.0;
  if (info != 0) return;
  PackedCholeskyEstimate(ap, n, anorm, rcond, z);
}

void PackedCholeskyEstimate(const double* ap, const std::int64_t& n, const double& anorm,
                            double& rcond, double* z) {
  rcond = 0.0;

  // Solve R^T w = e, choosing the signs of e so that w grows as fast as it
  // can: a large solution of A y = e reveals a large norm of the inverse.
  double ek = 1.0;
  for (std::int64_t j = 0; j < n; ++j) z[j] = 0.0;
  for (std::int64_t k = 0; k < n; ++k) {
    const double rkk = ap[At(k, k)];
    if (z[k] != 0.0) ek = std::copysign(ek, -z[k]);
    if (std::fabs(ek - z[k]) > rkk) {
      const double s = rkk / std::fabs(ek - z[k]);
      Scale(s, z, n);
      ek *= s;
    }
    double wk = ek - z[k];
    double wkm = -ek - z[k];
    double s = std::fabs(wk);
    double sm = std::fabs(wkm);
    wk /= rkk;
    wkm /= rkk;
    if (k + 1 < n) {
      for (std::int64_t j = k + 1; j < n; ++j) {
        const double rkj = ap[At(k, j)];
        sm += std::fabs(z[j] + wkm * rkj);
        z[j] += wk * rkj;
        s += std::fabs(z[j]);
      }
      if (s < sm) {
        const double t = wkm - wk;
        wk = wkm;
        for (std::int64_t j = k + 1; j < n; ++j) z[j] += t * ap[At(k, j)];
      }
    }
    z[k] = wk;
  }
  Scale(1.0 / AbsSum(z, n), z, n);

  // Solve R y = w.
  for (std::int64_t k = n - 1; k >= 0; --k) {
    const double rkk = ap[At(k, k)];
    if (std::fabs(z[k]) > rkk) Scale(rkk / std::fabs(z[k]), z, n);
    z[k] /= rkk;
    Axpy(-z[k], ap + At(0, k), z, k);
  }
  Scale(1.0 / AbsSum(z, n), z, n);
  double ynorm = 1.0;

  // Solve R^T v = y, then R z = v; the growth from y to z estimates the
  // norm of the inverse.
  for (std::int64_t k = 0; k < n; ++k) {
    const double rkk = ap[At(k, k)];
    z[k] -= Dot(ap + At(0, k), z, k);
    if (std::fabs(z[k]) > rkk) {
      const double s = rkk / std::fabs(z[k]);
      Scale(s, z, n);
      ynorm *= s;
    }
    z[k] /= rkk;
  }
  double s = 1.0 / AbsSum(z, n);
  Scale(s, z, n);
  ynorm *= s;
  for (std::int64_t k = n - 1; k >= 0; --k) {
    const double rkk = ap[At(k, k)];
    if (std::fabs(z[k]) > rkk) {
      const double t = rkk / std::fabs(z[k]);
      Scale(t, z, n);
      ynorm *= t;
    }
    z[k] /= rkk;
    Axpy(-z[k], ap + At(0, k), z, k);
  }
  s = 1.0 / AbsSum(z, n);
  Scale(s, z, n);
  ynorm *= s;
  if (anorm != 0.0) rcond = ynorm / anorm;
}

void PackedCholeskyInverse(double* ap, const std::int64_t& n, double* det,
                           const std::int64_t& job) {
  if (job / 10 != 0) {
    // det(A) = prod(r_kk)^2, kept as a mantissa in [1, 10) and a power of ten.
    double mantissa = 1.0;
    double exponent = 0.0;
    for (std::int64_t k = 0; k < n && mantissa != 0.0; ++k) {
      const double r = ap[At(k, k)];
      mantissa *= r * r;
      while (mantissa != 0.0 && std::fabs(mantissa) < 1.0) {
        mantissa *= 10.0;
        exponent -= 1.0;
      }
      while (std::fabs(mantissa) >= 10.0) {
        mantissa /= 10.0;
        exponent += 1.0;
      }
    }
    det[0] = mantissa;
    det[1] = mantissa == 0.0 ? 0.0 : exponent;
  }
  if (job % 10 == 0) return;

  // R := R^{-1}, column by column: column k of the inverse needs only the
  // columns of the inverse to its left.
  for (std::int64_t k = 0; k < n; ++k) {
    double* col_k = ap + At(0, k);
    col_k[k] = 1.0 / col_k[k];
    Scale(-col_k[k], col_k, k);
    for (std::int64_t j = k + 1; j < n; ++j) {
      double* col_j = ap + At(0, j);
      const double t = col_j[k];
      col_j[k] = 0.0;
      Axpy(t, col_k, col_j, k + 1);
    }
  }
  // A^{-1} = R^{-1} R^{-T}: column j of R^{-1} contributes t * (its first k
  // entries) to every column k < j, and its own column scales by r_jj.
  for (std::int64_t j = 0; j < n; ++j) {
    double* col_j = ap + At(0, j);
    for (std::int64_t k = 0; k < j; ++k) Axpy(col_j[k], col_j, ap + At(0, k), k + 1);
    Scale(col_j[j], col_j, j + 1);
  }
}
