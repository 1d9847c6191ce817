// SluSolve's error measures and refinement, SluRankInfo against LAPACK's
// SVD rank, and SparseMatVecCoord.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "numerics/sparse_lu/machine_constants.h"
#include "numerics/sparse_lu/slu_drivers.h"
#include "numerics/sparse_lu/slu_interface.h"
#include "tests/numerics/sparse_lu/driver_lu.h"
#include "tests/numerics/sparse_lu/reference.h"

namespace {

using slu_test::Coordinate;
using slu_test::DriverLu;
using slu_test::SingularValues;
using slu_test::SparseMatrix;

std::int64_t SvdRank(const SparseMatrix& a) {
  const std::vector<double> s =
      SingularValues(a.Dense(), static_cast<int>(a.m), static_cast<int>(a.n));
  return std::count_if(s.begin(), s.end(), [&](double v) { return v > 1e-8 * s[0]; });
}

// The two-part componentwise backward error, computed directly.
std::pair<double, double> BackwardErrors(const SparseMatrix& a, const std::vector<double>& x,
                                         const std::vector<double>& b, bool trans) {
  const std::vector<double> ax = slu_test::Multiply(a, x, trans);
  std::vector<double> abs_ax(b.size(), 0.0), sums(b.size(), 0.0);
  for (std::int64_t j = 1; j <= a.n; ++j) {
    for (std::int64_t e = a.colptr[j - 1]; e < a.colptr[j]; ++e) {
      const auto i = static_cast<std::size_t>(a.rows[e - 1] - 1);
      const auto c = static_cast<std::size_t>(j - 1);
      const double v = a.values[e - 1];
      const std::size_t row = trans ? c : i, col = trans ? i : c;
      abs_ax[row] += std::fabs(v * x[col]);
      sums[row] += std::fabs(v);
    }
  }
  const std::int64_t k = 1;
  const double ctau = 1000.0 * RealConstantDouble(&k);
  const double xmax = slu_test::MaxAbs(x);
  double omega1 = 0.0, omega2 = 0.0;
  for (std::size_t i = 0; i < b.size(); ++i) {
    const double r = std::fabs(b[i] - ax[i]);
    const double d1 = std::fabs(b[i]) + abs_ax[i], d2 = std::fabs(b[i]) + xmax * sums[i];
    if (d1 > d2 * static_cast<double>(x.size()) * ctau) {
      omega1 = std::max(omega1, r / d1);
    } else if (d2 > 0.0) {
      omega2 = std::max(omega2, r / (abs_ax[i] + xmax * sums[i]));
    }
  }
  return {omega1, omega2};
}

// Hilbert-like blocks down a block chain: badly conditioned, exactly
// representable right-hand sides from integer solutions.
SparseMatrix HilbertChain(std::int64_t blocks, std::int64_t order) {
  slu_test::Triplets t;
  for (std::int64_t b = 0; b < blocks; ++b) {
    const std::int64_t first = b * order;
    for (std::int64_t i = 1; i <= order; ++i) {
      for (std::int64_t j = 1; j <= order; ++j) {
        t.Add(first + i, first + j, 1.0 / static_cast<double>(i + j - 1));
      }
      if (b > 0) t.Add(first - 1, first + i, 0.5);
    }
  }
  return t.Build(blocks * order, blocks * order);
}

// The matrix SluSolve forms residuals from is scaled after the
// factorization, so that the errors stand well above rounding.
TEST(SluSolve, BackwardErrorsMatchADirectComputation) {
  std::mt19937_64 rng(21);
  for (const SparseMatrix& a : {slu_test::RandomSparse(60, 0.08, rng), HilbertChain(4, 5)}) {
    DriverLu lu(slu_test::ToCoordinate(a));
    ASSERT_EQ(lu.AnalyseAndFactorize(), 0);
    const slu::KeepLayout layout(a.n, a.n);
    const std::int64_t kept = lu.keep[static_cast<std::size_t>(layout.kblock - 1)] - 1;
    for (std::int64_t k = 0; k < kept; ++k) lu.values[static_cast<std::size_t>(k)] *= 1.001;
    SparseMatrix scaled = a;
    for (double& v : scaled.values) v *= 1.001;
    for (bool trans : {false, true}) {
      const std::vector<double> b = slu_test::RandomVector(a.n, rng);
      const std::vector<double> plain = lu.Solve(b, trans, 1);
      EXPECT_EQ(lu.permuted_rhs, b);  // JOB = 1 leaves the right-hand side alone
      const std::vector<double> x = lu.Solve(b, trans, 2);
      EXPECT_EQ(x, plain);  // one solve, no refinement step
      const auto [omega1, omega2] = BackwardErrors(scaled, x, b, trans);
      EXPECT_NEAR(lu.error[0], omega1, 1e-9 * omega1);
      EXPECT_NEAR(lu.error[1], omega2, 1e-9 * omega2);
      EXPECT_GT(omega1 + omega2, 1e-9);
      // JOB > 1 leaves the right-hand side in permuted order.
      std::vector<double> sorted_rhs = lu.permuted_rhs, sorted_b = b;
      std::sort(sorted_rhs.begin(), sorted_rhs.end());
      std::sort(sorted_b.begin(), sorted_b.end());
      EXPECT_EQ(sorted_rhs, sorted_b);
    }
  }
}

// Without threshold pivoting the factors are poor: refinement improves the
// backward error, stops on a stall with CNTL(5) = 0 keeping the better
// solution, and reports -8 when it may not finish.
TEST(SluSolve, RefinementImprovesAndStops) {
  const SparseMatrix a = HilbertChain(6, 6);
  std::vector<double> x0(static_cast<std::size_t>(a.n));
  for (std::size_t i = 0; i < x0.size(); ++i) x0[i] = static_cast<double>(i % 7) - 3.0;
  const std::vector<double> b = slu_test::Multiply(a, x0, false);
  DriverLu lu(slu_test::ToCoordinate(a));
  lu.cntl[1] = 0.0;
  ASSERT_EQ(lu.AnalyseAndFactorize(), 0);
  lu.Solve(b, false, 2);
  const double before = lu.error[0] + lu.error[1];
  lu.Solve(b, false, 3);
  EXPECT_EQ(lu.solve_info[0], 0);
  EXPECT_LE(lu.error[0] + lu.error[1], before);

  lu.cntl[4] = 0.0;
  lu.Solve(b, false, 3);
  EXPECT_EQ(lu.solve_info[0], 0);
  EXPECT_LE(lu.error[0] + lu.error[1], before);

  lu.cntl[4] = 0.5;
  lu.icntl[8] = 1;
  const std::vector<double> x = lu.Solve(b, false, 3);
  if (before > 1.2e-16) {
    EXPECT_EQ(lu.solve_info[0], -8);
    EXPECT_LE(slu_test::BackwardError(a, x, b, false), 1e-6);  // the last solution is returned
  }
  lu.icntl[8] = 0;  // no pass allowed: still one, never a zero solution
  const std::vector<double> y = lu.Solve(b, false, 3);
  EXPECT_GT(slu_test::MaxAbs(y), 0.0);
}

// ERROR(3) bounds the true relative forward error (the solution is known
// exactly); a rectangular matrix gets no estimate.
TEST(SluSolve, ForwardErrorEstimateIsABound) {
  for (std::int64_t order : {3, 5, 7}) {
    const SparseMatrix a = HilbertChain(3, order);
    std::vector<double> x0(static_cast<std::size_t>(a.n));
    for (std::size_t i = 0; i < x0.size(); ++i) x0[i] = static_cast<double>(i % 5) + 1.0;
    DriverLu lu(slu_test::ToCoordinate(a));
    ASSERT_EQ(lu.AnalyseAndFactorize(), 0);
    for (bool trans : {false, true}) {
      const std::vector<double> rhs = slu_test::Multiply(a, x0, trans);
      const std::vector<double> x = lu.Solve(rhs, trans, 4);
      ASSERT_EQ(lu.solve_info[0], 0);
      const double truth = slu_test::MaxAbsDifference(x, x0) / slu_test::MaxAbs(x);
      EXPECT_GE(lu.error[2], truth) << order;
      if (order == 3) {
        EXPECT_LE(lu.error[2], 1e-8);
      }
    }
  }
  std::mt19937_64 rng(4);
  const SparseMatrix tall = slu_test::RandomRectangular(20, 10, 0.4, rng);
  DriverLu rect(slu_test::ToCoordinate(tall));
  ASSERT_GE(rect.AnalyseAndFactorize(), 0);
  rect.Solve(slu_test::Multiply(tall, slu_test::RandomVector(10, rng), false), false, 4);
  EXPECT_EQ(rect.error[2], 0.0);
}

struct RankCase {
  std::string name;
  SparseMatrix a;
};

// Exactly rank-deficient matrices: a product of random integer factors
// (one dense block), a block chain with two equal columns, and zero rows.
std::vector<RankCase> RankCases() {
  std::mt19937_64 rng(33);
  std::uniform_int_distribution<int> digit(-3, 3);
  std::vector<RankCase> cases;
  for (auto [n, r] : {std::pair<std::int64_t, std::int64_t>{12, 9}, {20, 14}, {8, 1}}) {
    slu_test::Triplets t;
    std::vector<double> x(static_cast<std::size_t>(n * r)), y(x.size());
    for (auto& v : x) v = digit(rng);
    for (auto& v : y) v = digit(rng);
    for (std::int64_t i = 0; i < n; ++i) {
      for (std::int64_t j = 0; j < n; ++j) {
        double v = 0.0;
        for (std::int64_t k = 0; k < r; ++k) {
          v += x[static_cast<std::size_t>(i * r + k)] * y[static_cast<std::size_t>(k * n + j)];
        }
        if (v != 0.0) t.Add(i + 1, j + 1, v);
      }
    }
    cases.push_back({"product " + std::to_string(n) + " rank " + std::to_string(r), t.Build(n, n)});
  }
  {
    // Blocks 1..3, 4..7, 8, 9..13; columns 5 and 6 are equal.
    slu_test::Triplets t;
    const std::vector<std::pair<std::int64_t, std::int64_t>> blocks = {
        {1, 3}, {4, 7}, {8, 8}, {9, 13}};
    for (auto [first, last] : blocks) {
      for (std::int64_t j = first; j <= last; ++j) {
        const std::int64_t source = j == 6 ? 5 : j;
        for (std::int64_t i = first; i <= last; ++i) {
          t.Add(i, j, i == source ? 4.0 : static_cast<double>((i * 7 + source * 3) % 5) - 2.0);
        }
        if (first > 1) t.Add(first - 1, j, static_cast<double>(source % 3) + 1.0);
      }
    }
    cases.push_back({"chain with equal columns", t.Build(13, 13)});
  }
  return cases;
}

TEST(SluRankInfo, RankAndANonSingularPartLikeTheSvd) {
  for (const RankCase& c : RankCases()) {
    DriverLu lu(slu_test::ToCoordinate(c.a));
    lu.cntl[3] = 1e-10;
    lu.icntl[6] = 0;  // a zero row or column is rank deficiency here
    ASSERT_GE(lu.AnalyseAndFactorize(), 0) << c.name;
    const std::int64_t n = c.a.n;
    std::int64_t rank = -1;
    std::vector<std::int64_t> rows(static_cast<std::size_t>(n)), cols(rows.size()), w(rows.size());
    SluRankInfo(&n, &n, &lu.la, lu.irn.data(), lu.keep.data(), &rank, rows.data(), cols.data(),
                w.data());
    EXPECT_EQ(rank, SvdRank(c.a)) << c.name;
    EXPECT_EQ(lu.info[4], rank) << c.name;
    EXPECT_TRUE(slu_test::IsPermutation(rows) && slu_test::IsPermutation(cols)) << c.name;
    const auto r = static_cast<std::size_t>(rank);
    EXPECT_TRUE(std::is_sorted(rows.begin(), rows.begin() + r));
    EXPECT_TRUE(std::is_sorted(rows.rbegin(), rows.rend() - r));
    EXPECT_TRUE(std::is_sorted(cols.rbegin(), cols.rend() - r));
    // A(ROWS(1:r), COLS(1:r)) is non-singular.
    const std::vector<double> dense = c.a.Dense();
    std::vector<double> sub(r * r);
    for (std::size_t j = 0; j < r; ++j) {
      for (std::size_t i = 0; i < r; ++i) {
        sub[j * r + i] = dense[static_cast<std::size_t>((cols[j] - 1) * n + rows[i] - 1)];
      }
    }
    const std::vector<double> s = SingularValues(sub, static_cast<int>(r), static_cast<int>(r));
    EXPECT_GT(s.back(), 1e-8 * s.front()) << c.name;
  }
}

TEST(SluRankInfo, FullRankAndLeftOutRowsInDecreasingOrder) {
  std::mt19937_64 rng(8);
  const SparseMatrix a = slu_test::RandomSparse(30, 0.1, rng);
  DriverLu full(slu_test::ToCoordinate(a));
  ASSERT_EQ(full.AnalyseAndFactorize(), 0);
  std::int64_t n = 30, rank = 0;
  std::vector<std::int64_t> rows(30), cols(30), w(30);
  SluRankInfo(&n, &n, &full.la, full.irn.data(), full.keep.data(), &rank, rows.data(), cols.data(),
              w.data());
  EXPECT_EQ(rank, 30);
  std::vector<std::int64_t> natural(30);
  for (std::int64_t i = 0; i < 30; ++i) natural[static_cast<std::size_t>(i)] = i + 1;
  EXPECT_EQ(rows, natural);
  EXPECT_EQ(cols, natural);

  // Rows 2 and 5 of 6 are zero.
  Coordinate c;
  c.m = c.n = 6;
  for (std::int64_t i : {1, 3, 4, 6}) {
    for (std::int64_t j = 1; j <= 6; ++j) {
      c.rows.push_back(i);
      c.cols.push_back(j);
      c.values.push_back(i == j ? 10.0 : static_cast<double>((i + 2 * j) % 4));
    }
  }
  DriverLu lu(c);
  lu.icntl[6] = 0;
  lu.cntl[3] = 1e-10;
  ASSERT_GE(lu.AnalyseAndFactorize(), 0);
  n = 6;
  rows.resize(6);
  cols.resize(6);
  SluRankInfo(&n, &n, &lu.la, lu.irn.data(), lu.keep.data(), &rank, rows.data(), cols.data(),
              w.data());
  EXPECT_EQ(rank, 4);
  EXPECT_EQ(slu_test::Joined(rows), "1 3 4 6 5 2");
}

TEST(SparseMatVecCoord, EmptyAndDuplicates) {
  const std::vector<double> a = {1.0, 2.0, 3.0, 4.0};
  const std::vector<std::int64_t> irn = {1, 2, 2, 1}, jcn = {1, 2, 2, 3};
  const std::vector<double> x = {1.0, 10.0, 100.0};
  std::vector<double> y = {7.0, 7.0};
  const std::int64_t m = 2, n = 3, none = 0, four = 4;
  SparseMatVecCoord(&none, a.data(), irn.data(), jcn.data(), &m, &n, x.data(), y.data());
  EXPECT_EQ(slu_test::Joined(y), "0 0");
  SparseMatVecCoord(&four, a.data(), irn.data(), jcn.data(), &m, &n, x.data(), y.data());
  EXPECT_EQ(slu_test::Joined(y), "401 50");
}

}  // namespace
