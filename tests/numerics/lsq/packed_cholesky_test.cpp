// The packed Cholesky routines and the optimiser's covariance against LAPACK's
// packed routines on the same matrices.
#include "numerics/lsq/packed_cholesky.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "numerics/lsq/nls.h"
#include "workloads/least_squares_problems.h"

extern "C" {
void dpptrf_(const char* uplo, const int* n, double* ap, int* info, std::size_t uplo_len);
void dpptri_(const char* uplo, const int* n, double* ap, int* info, std::size_t uplo_len);
}

namespace {

using Packed = std::vector<double>;

std::size_t At(std::int64_t i, std::int64_t j) {  // 0-based, i <= j
  return static_cast<std::size_t>(i + j * (j + 1) / 2);
}

// A = B^T B + shift I for a seeded random B: symmetric positive definite,
// ill-conditioned when shift is tiny and B is short.
Packed RandomSpd(std::int64_t n, std::int64_t rows, double shift, std::mt19937_64& rng) {
  std::normal_distribution<double> normal;
  std::vector<double> b(static_cast<std::size_t>(rows * n));
  for (auto& e : b) e = normal(rng);
  Packed a(static_cast<std::size_t>(n * (n + 1) / 2), 0.0);
  for (std::int64_t j = 0; j < n; ++j)
    for (std::int64_t i = 0; i <= j; ++i) {
      double s = i == j ? shift : 0.0;
      for (std::int64_t k = 0; k < rows; ++k) s += b[k + i * rows] * b[k + j * rows];
      a[At(i, j)] = s;
    }
  return a;
}

// The inverse by LAPACK's packed routines, and log10 of the determinant.
Packed LapackInverse(Packed a, std::int64_t n, int* info_out = nullptr,
                     double* log10_det = nullptr) {
  const int nn = static_cast<int>(n);
  int info = 0;
  dpptrf_("U", &nn, a.data(), &info, 1);
  for (std::int64_t k = 0; k < n && log10_det != nullptr; ++k) {
    *log10_det += 2.0 * std::log10(a[At(k, k)]);
  }
  if (info == 0) dpptri_("U", &nn, a.data(), &info, 1);
  if (info_out != nullptr) *info_out = info;
  return a;
}

double LargestMagnitude(const Packed& a) {
  double m = 0.0;
  for (double e : a) m = std::fmax(m, std::fabs(e));
  return m;
}

// 1-norm of a symmetric matrix from its packed upper triangle.
double OneNorm(const Packed& a, std::int64_t n) {
  double best = 0.0;
  for (std::int64_t j = 0; j < n; ++j) {
    double s = 0.0;
    for (std::int64_t i = 0; i < n; ++i) s += std::fabs(a[i <= j ? At(i, j) : At(j, i)]);
    best = std::fmax(best, s);
  }
  return best;
}

TEST(PackedCholesky, FactorInverseAndDeterminantAgreeWithLapack) {
  std::mt19937_64 rng(314);
  for (std::int64_t n = 1; n <= 14; ++n) {
    for (double shift : {1.0, 1e-6}) {
      const Packed a = RandomSpd(n, n + 2, shift, rng);
      Packed ours = a, factor = a;
      std::vector<double> z(static_cast<std::size_t>(n));
      double rcond = -1.0, det[2] = {0.0, 0.0}, log10_det = 0.0;
      std::int64_t info = -1;
      PackedCholeskyCondition(ours.data(), n, rcond, z.data(), info);
      ASSERT_EQ(info, 0);
      PackedCholeskyFactor(factor.data(), n, info);
      ASSERT_EQ(info, 0);
      EXPECT_EQ(factor, ours);
      PackedCholeskyInverse(ours.data(), n, det, 11);
      const Packed reference = LapackInverse(a, n, nullptr, &log10_det);
      const double scale = LargestMagnitude(reference);
      // Agreement is limited by the conditioning both share.
      const double true_rcond = 1.0 / (OneNorm(a, n) * OneNorm(reference, n));
      const double tolerance = std::fmax(1e-12, 50.0 * 2.2e-16 / true_rcond);
      for (std::size_t k = 0; k < a.size(); ++k)
        ASSERT_NEAR(ours[k], reference[k], tolerance * scale) << "n=" << n << " k=" << k;
      EXPECT_NEAR(std::log10(det[0]) + det[1], log10_det, 1e-12 * std::fabs(log10_det) + 1e-12);
      EXPECT_TRUE(det[0] >= 1.0 && det[0] < 10.0) << det[0];
      // The estimate never claims a better condition than the truth, and
      // stays within a modest factor of it.
      EXPECT_GE(rcond, true_rcond * (1.0 - 1e-9)) << n;
      EXPECT_LE(rcond, 10.0 * true_rcond) << n;
    }
  }
}

TEST(PackedCholesky, ReportsTheFirstColumnThatIsNotPositiveDefinite) {
  // Column 3 depends on columns 1 and 2; column 2 alone is fine.
  const Packed singular = {4.0, 2.0, 5.0, 6.0, 7.0, 13.0};
  const Packed indefinite = {1.0, 2.0, 1.0};
  for (const auto& [a, n] :
       {std::pair{singular, std::int64_t{3}}, std::pair{indefinite, std::int64_t{2}}}) {
    Packed ours = a;
    std::vector<double> z(static_cast<std::size_t>(n));
    double rcond = 1.0;
    std::int64_t info = 0;
    PackedCholeskyCondition(ours.data(), n, rcond, z.data(), info);
    int lapack_info = 0;
    LapackInverse(a, n, &lapack_info);
    EXPECT_EQ(info, lapack_info);
    EXPECT_GT(info, 0);
    EXPECT_EQ(rcond, 0.0);
  }
}

// J^T J at x, packed.
Packed GramAt(const testsupport::LeastSquaresProblem& pb, const std::vector<double>& x) {
  std::vector<double> jac(static_cast<std::size_t>(pb.n * pb.p));
  pb.jacobian(x.data(), jac.data());
  Packed jtj(static_cast<std::size_t>(pb.p * (pb.p + 1) / 2));
  for (std::int64_t j = 0; j < pb.p; ++j)
    for (std::int64_t i = 0; i <= j; ++i) {
      double s = 0.0;
      for (std::int64_t k = 0; k < pb.n; ++k) s += jac[k + i * pb.n] * jac[k + j * pb.n];
      jtj[At(i, j)] = s;
    }
  return jtj;
}

// Where J^T J is well conditioned the optimiser's covariance is LAPACK's
// inverse of it, from either orthogonal factorisation; R stays where IV(RMAT)
// points, with R^T R = J^T J.
TEST(NlsCovariance, IsTheInverseOfJTJAtTheSolution) {
  for (const char* name : {"BrownDennis", "Beale", "Rosenbrock", "HelicalValley"}) {
    for (std::int64_t qrtyp : {0, 1}) {
      const auto pb = testsupport::ClassicProblem(name);
      testsupport::NlsCaller c(pb);
      c.IV(nls::kQrtyp) = qrtyp;
      const auto run = testsupport::Drive(c, pb);
      ASSERT_TRUE(run.code >= 3 && run.code <= 6) << name << ": " << run.code;
      const std::int64_t cov = c.IV(nls::kCovmat);
      ASSERT_GT(cov, 0) << name;
      const Packed jtj = GramAt(pb, run.x);
      double log10_det = 0.0;
      const Packed reference = LapackInverse(jtj, pb.p, nullptr, &log10_det);
      ASSERT_GT(c.V(nls::kRcond), 1e-8) << name << " is not well conditioned";
      for (std::size_t k = 0; k < reference.size(); ++k) {
        EXPECT_NEAR(c.V(cov + static_cast<std::int64_t>(k)), reference[k],
                    1e-8 * LargestMagnitude(reference))
            << name << " QRTYP " << qrtyp << " entry " << k;
      }
      const std::int64_t r = c.IV(nls::kRmat);
      ASSERT_GT(r, 0);
      for (std::int64_t j = 0; j < pb.p; ++j)
        for (std::int64_t i = 0; i <= j; ++i) {
          double s = 0.0;
          for (std::int64_t k = 0; k <= i; ++k)
            s += c.V(r + static_cast<std::int64_t>(At(k, i))) *
                 c.V(r + static_cast<std::int64_t>(At(k, j)));
          EXPECT_NEAR(s, jtj[At(i, j)], 1e-10 * LargestMagnitude(jtj)) << name;
        }
    }
  }
}

// Orthonormal columns from a seeded random matrix (Gram-Schmidt, twice).
std::vector<double> Orthonormal(std::int64_t rows, std::int64_t cols, std::mt19937_64& rng) {
  std::normal_distribution<double> normal;
  std::vector<double> q(static_cast<std::size_t>(rows * cols));
  for (auto& e : q) e = normal(rng);
  for (std::int64_t j = 0; j < cols; ++j) {
    double* qj = &q[static_cast<std::size_t>(j * rows)];
    for (int pass = 0; pass < 2; ++pass) {
      for (std::int64_t k = 0; k < j; ++k) {
        const double* qk = &q[static_cast<std::size_t>(k * rows)];
        double dot = 0.0;
        for (std::int64_t i = 0; i < rows; ++i) dot += qk[i] * qj[i];
        for (std::int64_t i = 0; i < rows; ++i) qj[i] -= dot * qk[i];
      }
    }
    double norm = 0.0;
    for (std::int64_t i = 0; i < rows; ++i) norm += qj[i] * qj[i];
    for (std::int64_t i = 0; i < rows; ++i) qj[i] /= std::sqrt(norm);
  }
  return q;
}

// Where J^T J is too ill conditioned for its own inverse (J's condition
// 1e6 to 1e7, so J^T J's 1e12 to 1e14) the covariance still matches the
// reference built from J's singular values, V diag(1/sigma^2) V^T.
TEST(NlsCovariance, IllConditionedJacobianMatchesTheSingularValueReference) {
  std::mt19937_64 rng(20);
  struct Case {
    std::int64_t n, p;
    double condition;
  };
  for (const Case& k : {Case{12, 3, 1e6}, Case{30, 5, 1e7}, Case{8, 4, 3e6}}) {
    for (std::int64_t qrtyp : {0, 1}) {
      const auto u = Orthonormal(k.n, k.p, rng);
      const auto vt = Orthonormal(k.p, k.p, rng);
      std::vector<double> sigma(static_cast<std::size_t>(k.p));
      for (std::int64_t j = 0; j < k.p; ++j)
        sigma[j] = std::pow(k.condition, -static_cast<double>(j) / static_cast<double>(k.p - 1));
      // J = U diag(sigma) V^T; residuals J x - y with y off the range of J.
      std::vector<double> jac(static_cast<std::size_t>(k.n * k.p), 0.0), y(k.n);
      for (std::int64_t j = 0; j < k.p; ++j)
        for (std::int64_t i = 0; i < k.n; ++i)
          for (std::int64_t m = 0; m < k.p; ++m)
            jac[i + j * k.n] += u[i + m * k.n] * sigma[m] * vt[j + m * k.p];
      for (auto& e : y) e = std::normal_distribution<double>()(rng);
      auto pb = testsupport::MakeProblem("linear", k.n, std::vector<double>(k.p, 1.0), {0.0},
                                         [jac, y, k](const auto* x, auto* r) {
                                           for (std::int64_t i = 0; i < k.n; ++i) {
                                             r[i] = -y[i] + 0.0 * x[0];
                                             for (std::int64_t j = 0; j < k.p; ++j)
                                               r[i] = r[i] + jac[i + j * k.n] * x[j];
                                           }
                                         });
      testsupport::NlsCaller c(pb);
      c.IV(nls::kQrtyp) = qrtyp;
      const auto run = testsupport::Drive(c, pb);
      ASSERT_TRUE(run.code >= 3 && run.code <= 6) << k.condition << ": " << run.code;
      const std::int64_t cov = c.IV(nls::kCovmat);
      ASSERT_GT(cov, 0) << k.condition;
      Packed reference(static_cast<std::size_t>(k.p * (k.p + 1) / 2), 0.0);
      for (std::int64_t j = 0; j < k.p; ++j)
        for (std::int64_t i = 0; i <= j; ++i)
          for (std::int64_t m = 0; m < k.p; ++m)
            reference[At(i, j)] += vt[i + m * k.p] * vt[j + m * k.p] / (sigma[m] * sigma[m]);
      for (std::size_t e = 0; e < reference.size(); ++e) {
        EXPECT_NEAR(c.V(cov + static_cast<std::int64_t>(e)), reference[e],
                    1e-6 * LargestMagnitude(reference))
            << "condition " << k.condition << " QRTYP " << qrtyp << " entry " << e;
      }
    }
  }
}

TEST(NlsCovariance, SingularJTJIsReportedAndTheConvergenceCodeKept) {
  // The third parameter never enters the residuals: its column is zero.
  auto pb = testsupport::MakeProblem("RosenbrockPlusIdle", 2, {-1.2, 1.0, 7.0}, {0.0},
                                     [](const auto* x, auto* r) {
                                       r[0] = 10.0 * (x[1] - x[0] * x[0]) + 0.0 * x[2];
                                       r[1] = 1.0 - x[0];
                                     });
  testsupport::NlsCaller c(pb);
  c.V(nls::kAfctol) = 1e-20;
  const auto run = testsupport::Drive(c, pb);
  EXPECT_TRUE(run.code >= 3 && run.code <= 7) << run.code;
  for (double xi : run.x) EXPECT_TRUE(std::isfinite(xi));
  EXPECT_NEAR(run.x[0], 1.0, 1e-8);
  EXPECT_EQ(run.x[2], 7.0) << "an idle parameter does not move";
  EXPECT_EQ(c.IV(nls::kCovmat), -1);
  EXPECT_EQ(c.V(nls::kRcond), 0.0);
}

}  // namespace
