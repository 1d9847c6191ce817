// KernelRankFlags, KernelRankLists and FullPartRankFlags against LAPACK's
// SVD rank and condition estimate, and against SluRankInfo.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "numerics/sparse_lu/further_routines.h"
#include "numerics/sparse_lu/kernel_factorize.h"
#include "numerics/sparse_lu/slu_drivers.h"
#include "tests/numerics/sparse_lu/driver_lu.h"
#include "tests/numerics/sparse_lu/kernel_lu.h"
#include "tests/numerics/sparse_lu/reference.h"

extern "C" {
void dgetrf_(const int* m, const int* n, double* a, const int* lda, int* ipiv, int* info);
void dgecon_(const char* norm, const int* n, const double* a, const int* lda, const double* anorm,
             double* rcond, double* work, int* iwork, int* info, std::size_t);
}

namespace {

using slu_test::SparseMatrix;
using Ints = std::vector<std::int64_t>;

std::size_t Z(std::int64_t v) { return static_cast<std::size_t>(v); }

std::int64_t SvdRank(std::vector<double> dense, int m, int n) {
  const std::vector<double> s = slu_test::SingularValues(std::move(dense), m, n);
  return s.empty() ? 0
                   : std::count_if(s.begin(), s.end(), [&](double v) { return v > 1e-9 * s[0]; });
}

// Reciprocal 1-norm condition of the r x r submatrix of a dense m-row matrix.
double SubmatrixRcond(const std::vector<double>& dense, std::int64_t m, const Ints& rows,
                      const Ints& cols) {
  const int r = static_cast<int>(rows.size());
  if (r == 0) return 1.0;
  std::vector<double> sub(static_cast<std::size_t>(r * r));
  for (int j = 0; j < r; ++j)
    for (int i = 0; i < r; ++i) sub[Z(j * r + i)] = dense[Z((cols[j] - 1) * m + rows[i] - 1)];
  const double norm = slu_test::OneNorm(sub, r);
  std::vector<int> ipiv(Z(r)), iwork(Z(r));
  std::vector<double> work(Z(4 * r));
  int info = 0;
  double rcond = 0.0;
  dgetrf_(&r, &r, sub.data(), &r, ipiv.data(), &info);
  if (info != 0) return 0.0;
  dgecon_("1", &r, sub.data(), &r, &norm, &rcond, work.data(), iwork.data(), &info, 1);
  return rcond;
}

Ints Flagged(const Ints& flags) {
  Ints list;
  for (std::size_t i = 0; i < flags.size(); ++i)
    if (flags[i] == 1) list.push_back(static_cast<std::int64_t>(i) + 1);
  return list;
}

// Square integer matrices of known deficiency: sparse factor products,
// and sparse matrices with rows repeated or combined from others.
std::vector<SparseMatrix> Deficient(std::mt19937_64& rng) {
  std::vector<SparseMatrix> cases;
  std::uniform_int_distribution<int> digit(-3, 3);
  for (std::int64_t n : {5, 40, 300}) {
    const std::int64_t r = n - 1 - n / 7;
    std::vector<double> x(Z(n * r)), y(x.size());
    // About three entries per factor row: sparse, with small integer products.
    auto sparse = [&] { return rng() % std::uint64_t(r / 3 + 1) == 0 ? digit(rng) : 0; };
    for (double& v : x) v = sparse();
    for (double& v : y) v = sparse();
    for (std::int64_t k = 0; k < r; ++k) x[Z(k * r + k)] = y[Z(k * n + k)] = 1;
    slu_test::Triplets t;
    for (std::int64_t i = 0; i < n; ++i)
      for (std::int64_t j = 0; j < n; ++j) {
        double v = 0.0;
        for (std::int64_t k = 0; k < r; ++k) v += x[Z(i * r + k)] * y[Z(k * n + j)];
        if (v != 0.0) t.Add(i + 1, j + 1, v);
      }
    cases.push_back(t.Build(n, n));

    // Rows n and n-1 repeat and combine earlier rows; row 2 is empty.
    std::vector<std::vector<double>> rows(Z(n), std::vector<double>(Z(n)));
    for (std::int64_t i = 0; i < n; ++i) {
      rows[Z(i)][Z(i)] = 4;
      for (int e = 0; e < 3; ++e) rows[Z(i)][rng() % Z(n)] = digit(rng);
    }
    rows[1].assign(Z(n), 0.0);
    rows[Z(n - 1)] = rows[0];
    for (std::size_t j = 0; j < Z(n); ++j) rows[Z(n - 2)][j] = rows[0][j] + 2 * rows[2][j];
    slu_test::Triplets u;
    for (std::int64_t i = 0; i < n; ++i)
      for (std::int64_t j = 0; j < n; ++j)
        if (rows[Z(i)][Z(j)] != 0.0) u.Add(i + 1, j + 1, rows[Z(i)][Z(j)]);
    cases.push_back(u.Build(n, n));
  }
  return cases;
}

TEST(KernelRank, FlagsAndListsMatchTheSvdAndSluRankInfo) {
  std::mt19937_64 rng(31);
  for (const SparseMatrix& a : Deficient(rng)) {
    const std::string name = "order " + std::to_string(a.n);
    slu_test::KernelLu lu(a, slu_test::KernelControls().PivotTolerance(1e-10));
    ASSERT_EQ(lu.Factorized().info[0], 0) << name;
    const std::int64_t m = a.m, n = a.n, lfact = static_cast<std::int64_t>(lu.irnf.size());
    Ints rows(Z(m), -7), cols(Z(n), -7), w(Z(n));
    std::int64_t rank = -7;
    KernelRankFlags(&m, &n, lu.analysis.iq.data(), &lu.analysis.np, &lfact, lu.irnf.data(),
                    lu.iptrl.data(), lu.iptru.data(), &rank, rows.data(), cols.data(), w.data());
    const std::vector<double> dense = a.Dense();
    EXPECT_EQ(rank, SvdRank(dense, int(m), int(n))) << name;
    EXPECT_EQ(rank, lu.factorization.info[4]) << name;
    const Ints flagged_rows = Flagged(rows), flagged_cols = Flagged(cols);
    ASSERT_EQ(std::int64_t(flagged_rows.size()), rank);
    ASSERT_EQ(std::int64_t(flagged_cols.size()), rank);
    EXPECT_GT(SubmatrixRcond(dense, m, flagged_rows, flagged_cols), 1e-12) << name;

    Ints row_list(rows.size()), col_list(cols.size());
    KernelRankLists(&m, &n, lu.analysis.iq.data(), &lu.analysis.np, &lfact, lu.irnf.data(),
                    lu.iptrl.data(), lu.iptru.data(), &rank, row_list.data(), col_list.data(),
                    w.data());
    const auto r = Z(rank);
    EXPECT_EQ(Ints(row_list.begin(), row_list.begin() + long(r)), flagged_rows);
    EXPECT_EQ(Ints(col_list.begin(), col_list.begin() + long(r)), flagged_cols);
    EXPECT_TRUE(std::is_sorted(row_list.rbegin(), row_list.rend() - long(r)));
    EXPECT_TRUE(std::is_sorted(col_list.rbegin(), col_list.rend() - long(r)));
    EXPECT_TRUE(slu_test::IsPermutation(row_list) && slu_test::IsPermutation(col_list));

    slu_test::DriverLu driver(slu_test::ToCoordinate(a));
    driver.cntl[3] = 1e-10;
    driver.icntl[6] = 0;
    ASSERT_GE(driver.AnalyseAndFactorize(), 0);
    std::int64_t driver_rank = -1;
    Ints drows(rows.size()), dcols(cols.size());
    SluRankInfo(&m, &n, &driver.la, driver.irn.data(), driver.keep.data(), &driver_rank,
                drows.data(), dcols.data(), w.data());
    EXPECT_EQ(driver_rank, rank) << name;
  }
}

TEST(KernelRank, FullPartOfDenseBlocksWithRejectedColumns) {
  std::mt19937_64 rng(3);
  std::uniform_int_distribution<int> digit(-4, 4);
  for (auto [m, n, r] : {std::tuple{6, 6, 4}, {9, 5, 3}, {4, 8, 4}, {7, 7, 0}, {12, 10, 7}}) {
    std::vector<double> dense(Z(m * n), 0.0);
    for (int k = 0; k < r; ++k) {
      std::vector<double> u(Z(m)), v(Z(n));
      for (double& x : u) x = digit(rng);
      for (double& x : v) x = digit(rng);
      for (int j = 0; j < n; ++j)
        for (int i = 0; i < m; ++i) dense[Z(j * m + i)] += u[Z(i)] * v[Z(j)];
    }
    if (n > 2)
      for (int i = 0; i < m; ++i) dense[Z(m + i)] = 0.0;  // a zero column
    std::vector<double> lu = dense;
    const std::int64_t mm = m, nn = n;
    const double limit = 1e-10;
    Ints ipiv(Z(n)), rows(Z(m), -7), cols(Z(n), -7);
    std::int64_t taken = 0, rank = -7;
    SluKernelFullBlas2(&mm, &nn, lu.data(), &mm, &limit, ipiv.data(), &taken);
    FullPartRankFlags(&mm, &nn, ipiv.data(), &rank, rows.data(), cols.data());
    EXPECT_EQ(rank, SvdRank(dense, m, n)) << m << "x" << n;
    EXPECT_EQ(rank, taken);
    EXPECT_EQ(std::int64_t(Flagged(rows).size()), rank);
    EXPECT_GT(SubmatrixRcond(dense, m, Flagged(rows), Flagged(cols)), 1e-12) << m << "x" << n;
  }
}

TEST(KernelRank, BadArgumentsLeaveTheFlagsAlone) {
  const std::int64_t m = 3, n = 3;
  const Ints rejected_then_accepted = {2, -1, 3}, zero = {0, 1, 2};
  Ints rows = {7, 7, 7}, cols = {7, 7, 7};
  std::int64_t rank = 0;
  for (const Ints& pivots : {rejected_then_accepted, zero, Ints{2, 2, -4}}) {
    FullPartRankFlags(&m, &n, pivots.data(), &rank, rows.data(), cols.data());
    EXPECT_EQ(rank, -1);
    EXPECT_EQ(slu_test::Joined(rows) + " " + slu_test::Joined(cols), "7 7 7 7 7 7");
  }
  // Without full-part columns the full part's rows are all left out.
  const std::int64_t none = 0;
  FullPartRankFlags(&m, &none, nullptr, &rank, rows.data(), cols.data());
  EXPECT_EQ(rank, 0);
  EXPECT_EQ(slu_test::Joined(rows), "0 0 0");

  std::mt19937_64 rng(1);
  slu_test::KernelLu lu(slu_test::RandomSparse(8, 0.3, rng), slu_test::KernelControls());
  ASSERT_EQ(lu.Factorized().info[0], 0);
  const std::int64_t eight = 8, lfact = std::int64_t(lu.irnf.size()), np = 9, short_length = 3;
  Ints r8(8, 7), c8(8, 7), w(8);
  KernelRankFlags(&eight, &eight, lu.analysis.iq.data(), &np, &lfact, lu.irnf.data(),
                  lu.iptrl.data(), lu.iptru.data(), &rank, r8.data(), c8.data(), w.data());
  EXPECT_EQ(rank, -1);
  KernelRankLists(&eight, &eight, lu.analysis.iq.data(), &lu.analysis.np, &short_length,
                  lu.irnf.data(), lu.iptrl.data(), lu.iptru.data(), &rank, r8.data(), c8.data(),
                  w.data());
  EXPECT_EQ(rank, -1);
  EXPECT_EQ(slu_test::Joined(r8), "7 7 7 7 7 7 7 7");
}

}  // namespace
