// The dense factors a decomposition keeps for its small corrector groups.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "solve/groups/direct_corrector.h"

namespace {

struct Factors {
  explicit Factors(std::vector<double> matrix)
      : n(static_cast<std::int32_t>(std::lround(std::sqrt(matrix.size())))),
        lu(std::move(matrix)),
        pivots(static_cast<std::size_t>(n)),
        rows(static_cast<std::size_t>(n)),
        cols(static_cast<std::size_t>(n)) {}
  bool Factorise(double floor = 1e-12) {
    return FactoriseEquilibrated(n, lu.data(), pivots.data(), rows.data(), cols.data(), floor);
  }
  std::vector<double> Solve(std::vector<double> b) const {
    SolveEquilibrated(n, lu.data(), pivots.data(), rows.data(), cols.data(), b.data(), b.data());
    return b;
  }
  std::int32_t n;
  std::vector<double> lu;
  std::vector<std::int32_t> pivots;
  std::vector<double> rows, cols;
};

// Rows and columns scaled over sixteen orders of magnitude around a matrix
// that pivoting must reorder: the solution comes back to the digits in
// every component, however small.
TEST(EquilibratedFactors, BadlyScaledSystemsSolveToTheDigits) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> entry(-1.0, 1.0), power(-8.0, 8.0);
  for (std::int32_t n = 1; n <= DirectCorrector::kLargest; ++n) {
    for (int trial = 0; trial < 25; ++trial) {
      const auto size = static_cast<std::size_t>(n);
      std::vector<double> r(size), c(size), a(size * size), x(size), b(size, 0.0);
      for (std::size_t i = 0; i < size; ++i) {
        r[i] = std::pow(10.0, power(random));
        c[i] = std::pow(10.0, power(random));
      }
      // A permuted diagonally dominant core: its dominant entry off the
      // diagonal, so that the factors must pivot.
      for (std::size_t i = 0; i < size; ++i) {
        for (std::size_t k = 0; k < size; ++k) {
          const double core = entry(random) + ((k + 1) % size == i ? 3.0 * n : 0.0);
          a[i * size + k] = r[i] * core * c[k];
        }
      }
      for (std::size_t k = 0; k < size; ++k) x[k] = entry(random) / c[k];
      for (std::size_t i = 0; i < size; ++i)
        for (std::size_t k = 0; k < size; ++k) b[i] += a[i * size + k] * x[k];
      Factors f(a);
      ASSERT_TRUE(f.Factorise()) << "n " << n << " trial " << trial;
      const std::vector<double> got = f.Solve(b);
      for (std::size_t k = 0; k < size; ++k) {
        EXPECT_NEAR(got[k], x[k], 1e-10 * std::fabs(x[k])) << "n " << n << " component " << k;
      }
    }
  }
}

TEST(EquilibratedFactors, SingularOrNonFiniteMatricesAreRefused) {
  EXPECT_FALSE(Factors({1.0, 2.0, 2.0, 4.0}).Factorise());
  EXPECT_FALSE(Factors({1.0, 2.0, 0.0, 0.0}).Factorise()) << "a zero row";
  EXPECT_FALSE(Factors({1.0, 0.0, 2.0, 0.0}).Factorise()) << "a zero column";
  EXPECT_FALSE(Factors({1.0, std::nan(""), 2.0, 4.0}).Factorise());
  EXPECT_FALSE(Factors({std::numeric_limits<double>::infinity()}).Factorise());
  // Nearly singular once scaled, however large its entries.
  EXPECT_FALSE(Factors({1e20, 2e20, 1e20, 2e20 * (1 + 1e-14)}).Factorise());
  EXPECT_TRUE(Factors({1e20, 2e20, 1e20, 2e20 * (1 + 1e-6)}).Factorise());
}

}  // namespace
