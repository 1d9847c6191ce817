// The three full-matrix LU routines and the full-block solve, against LAPACK.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "numerics/sparse_lu/kernel_factorize.h"
#include "numerics/sparse_lu/kernel_solve.h"
#include "tests/numerics/sparse_lu/reference.h"

extern "C" void dgetrf_(const int* m, const int* n, double* a, const int* lda, int* ipiv,
                        int* info);
extern "C" void dtrsv_(const char* uplo, const char* trans, const char* diag, const int* n,
                       const double* a, const int* lda, double* x, const int* incx, std::size_t,
                       std::size_t, std::size_t);

namespace slu_test {
namespace {

struct DenseLu {
  std::vector<double> a;
  std::vector<std::int64_t> ipiv;
  std::int64_t rank = -1;
};

enum class Routine { kBlocked, kLevel2, kLevel1 };

DenseLu Factor(Routine routine, std::int64_t m, std::int64_t n, std::vector<double> a,
               std::int64_t nb = 4, double limit = 0.0) {
  DenseLu lu;
  lu.ipiv.assign(static_cast<std::size_t>(n), 0);
  const std::int64_t lda = m;
  switch (routine) {
    case Routine::kBlocked:
      SluKernelFullBlas3(&m, &n, a.data(), &lda, &nb, &limit, lu.ipiv.data(), &lu.rank);
      break;
    case Routine::kLevel2:
      SluKernelFullBlas2(&m, &n, a.data(), &lda, &limit, lu.ipiv.data(), &lu.rank);
      break;
    case Routine::kLevel1:
      SluKernelFullBlas1(&m, &n, a.data(), &lda, &limit, lu.ipiv.data(), &lu.rank);
      break;
  }
  lu.a = std::move(a);
  return lu;
}

std::vector<double> Solve(const DenseLu& lu, std::int64_t m, std::int64_t n, std::vector<double> x,
                          bool trans, std::int64_t level) {
  const std::int64_t t = trans ? 1 : 0;
  x.resize(static_cast<std::size_t>(std::max(m, n)), 0.0);
  SluKernelFullSolve(&t, &m, &n, lu.a.data(), &m, lu.ipiv.data(), x.data(), &level);
  x.resize(static_cast<std::size_t>(trans ? m : n));
  return x;
}

std::vector<double> Apply(const std::vector<double>& a, std::int64_t m, std::int64_t n,
                          const std::vector<double>& x, bool trans) {
  std::vector<double> y(static_cast<std::size_t>(trans ? n : m), 0.0);
  for (std::int64_t j = 0; j < n; ++j) {
    for (std::int64_t i = 0; i < m; ++i) y[trans ? j : i] += a[i + j * m] * x[trans ? i : j];
  }
  return y;
}

TEST(FullFactorize, AllLevelsMatchLapackOnRegularMatrices) {
  std::mt19937_64 rng(1);
  for (std::int64_t n : {1, 2, 5, 13, 40}) {
    const std::vector<double> a = RandomVector(n * n, rng);
    std::vector<double> lapack = a;
    std::vector<int> pivots(static_cast<std::size_t>(n));
    const int nn = static_cast<int>(n);
    int info = 0;
    dgetrf_(&nn, &nn, lapack.data(), &nn, pivots.data(), &info);
    ASSERT_EQ(info, 0);
    for (Routine r : {Routine::kBlocked, Routine::kLevel2, Routine::kLevel1}) {
      for (std::int64_t nb : {1, 3, 32}) {  // 3 does not divide the orders
        const DenseLu lu = Factor(r, n, n, a, nb);
        EXPECT_EQ(lu.rank, n);
        for (std::int64_t j = 0; j < n; ++j) EXPECT_EQ(lu.ipiv[j], pivots[j]);
        EXPECT_LE(MaxAbsDifference(lu.a, lapack), 1e-12) << "n=" << n << " nb=" << nb;
      }
    }
  }
}

// Small blocks substitute in loops of their own, larger ones call the
// library: both give the library's answer to the last bit, either way
// round, with zeros in the right-hand side that the loops step over.
TEST(FullFactorize, SmallBlocksSolveAsTheLibraryDoes) {
  std::mt19937_64 rng(4);
  auto trsv = [](char uplo, char trans, char diag, std::int64_t n, const std::vector<double>& a,
                 std::vector<double>* x) {
    const int nn = static_cast<int>(n), one = 1;
    dtrsv_(&uplo, &trans, &diag, &nn, a.data(), &nn, x->data(), &one, 1, 1, 1);
  };
  for (std::int64_t n = 1; n <= 12; ++n) {
    const DenseLu lu = Factor(Routine::kLevel2, n, n, RandomVector(n * n, rng));
    ASSERT_EQ(lu.rank, n);
    std::vector<double> b = RandomVector(n, rng);
    for (std::int64_t k = 0; k < n; k += 3) b[static_cast<std::size_t>(k)] = 0.0;
    std::vector<double> x = b;
    for (std::int64_t k = 0; k < n; ++k) {
      std::swap(x[static_cast<std::size_t>(k)], x[static_cast<std::size_t>(lu.ipiv[k] - 1)]);
    }
    trsv('L', 'N', 'U', n, lu.a, &x);
    trsv('U', 'N', 'N', n, lu.a, &x);
    EXPECT_EQ(Solve(lu, n, n, b, false, 1), x) << n;
    std::vector<double> y = b;
    trsv('U', 'T', 'N', n, lu.a, &y);
    trsv('L', 'T', 'U', n, lu.a, &y);
    for (std::int64_t k = n - 1; k >= 0; --k) {
      std::swap(y[static_cast<std::size_t>(k)], y[static_cast<std::size_t>(lu.ipiv[k] - 1)]);
    }
    EXPECT_EQ(Solve(lu, n, n, b, true, 1), y) << n;
  }
}

TEST(FullFactorize, RejectedColumnsGatherAtTheEnd) {
  std::mt19937_64 rng(2);
  const std::int64_t m = 7, n = 7;
  std::vector<double> a = RandomVector(m * n, rng);
  for (std::int64_t i = 0; i < m; ++i) {
    a[i + 1 * m] = 0.0;                 // column 2 is zero
    a[i + 4 * m] = 2.0 * a[i + 0 * m];  // column 5 repeats column 1
  }
  for (Routine r : {Routine::kBlocked, Routine::kLevel2, Routine::kLevel1}) {
    const DenseLu lu = Factor(r, m, n, a, 3, 1e-12);
    EXPECT_EQ(lu.rank, 5);
    // Column 2 is rejected at step 2 and rests in the last slot.
    EXPECT_EQ(lu.ipiv[6], -2);
    EXPECT_LT(lu.ipiv[5], 0);
    for (std::int64_t j = 0; j < 5; ++j) EXPECT_GT(lu.ipiv[j], 0);
    // Consistent systems: rejected columns' unknowns are 0, their equations dependent.
    std::vector<double> x0 = RandomVector(n, rng), y0 = RandomVector(n, rng);
    x0[1] = x0[4] = 0.0;
    const auto b = Apply(a, m, n, x0, false), c = Apply(a, m, n, y0, true);
    for (std::int64_t level : {1, 0}) {
      EXPECT_LE(MaxAbsDifference(Solve(lu, m, n, b, false, level), x0), 1e-12);
      const auto y = Solve(lu, m, n, c, true, level);
      EXPECT_LE(MaxAbsDifference(Apply(a, m, n, y, true), c), 1e-12);
    }
  }
}

TEST(FullFactorize, RectangularBlocksSolveBothWays) {
  std::mt19937_64 rng(3);
  for (auto [m, n] : {std::pair<std::int64_t, std::int64_t>{9, 5}, {5, 9}}) {
    const std::vector<double> a = RandomVector(m * n, rng);
    for (Routine r : {Routine::kBlocked, Routine::kLevel2, Routine::kLevel1}) {
      const DenseLu lu = Factor(r, m, n, a, 2);
      EXPECT_EQ(lu.rank, std::min(m, n));
      // Columns past the last step record their own place.
      for (std::int64_t k = m + 1; k <= n; ++k) EXPECT_EQ(lu.ipiv[k - 1], -k);
      const bool trans = m < n;
      const std::vector<double> x0 = RandomVector(trans ? m : n, rng);
      const auto b = Apply(a, m, n, x0, trans);
      for (std::int64_t level : {1, 0}) {
        EXPECT_LE(MaxAbsDifference(Solve(lu, m, n, b, trans, level), x0), 1e-12);
      }
    }
  }
}

}  // namespace
}  // namespace slu_test
