// Refactorization, storage shortage and its retry, rank deficiency, drops and
// the error returns of the kernels.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

#include "tests/numerics/sparse_lu/kernel_lu.h"
#include "tests/numerics/sparse_lu/reference.h"

namespace slu_test {
namespace {

// Backward error of the solution for a right-hand side of ones.
double OnesError(const KernelLu& lu, const SparseMatrix& a, bool trans = false) {
  const std::vector<double> ones(static_cast<std::size_t>(a.n), 1.0);
  return BackwardError(a, lu.Solve(ones, trans), ones, trans);
}

// How far the solution of op(A) x = op(A) x0 is from x0.
double ConsistentError(const KernelLu& lu, const SparseMatrix& a, const std::vector<double>& x0,
                       bool trans = false, std::int64_t level = -1) {
  return MaxAbsDifference(lu.Solve(Multiply(a, x0, trans), trans, level), x0);
}

// Entry (row, column) of the matrix that is the pivot of sparse step k, and
// where its value is in SparseMatrix::values.
struct PivotEntry {
  std::int64_t row, column;
  std::size_t value_index;
};

PivotEntry PivotOfStep(const KernelLu& lu, const SparseMatrix& a, std::int64_t k) {
  PivotEntry p{lu.irnf[lu.iptru[k - 1]], lu.analysis.iq[k - 1], 0};
  for (std::int64_t e = a.colptr[p.column - 1]; e < a.colptr[p.column]; ++e) {
    if (a.rows[e - 1] == p.row) p.value_index = static_cast<std::size_t>(e - 1);
  }
  return p;
}

// New values under which the updated pivot of sparse step k cancels.
std::vector<double> CancelPivot(const KernelLu& lu, const SparseMatrix& a, std::int64_t k) {
  std::vector<double> values = a.values;
  values[PivotOfStep(lu, a, k).value_index] -= 1.0 / lu.factors[lu.iptru[k - 1]];
  return values;
}

SparseMatrix WithValues(SparseMatrix a, const std::vector<double>& values) {
  a.values = values;
  return a;
}

// Analyses from `la`, growing it to the reported need after each -3; the
// number of retries.
int AnalyseWithRetries(KernelLu& lu, std::int64_t la, std::int64_t* compresses = nullptr,
                       const std::vector<std::int64_t>& rows = {},
                       const std::vector<std::int64_t>& columns = {}) {
  for (int attempts = 0;; ++attempts) {
    const AnalyseResult& r = lu.Analyse(la, rows, columns);
    if (compresses != nullptr) *compresses += r.info[1];
    if (r.info[0] != -3 || attempts == 20) return attempts;
    EXPECT_GT(r.info[2], la) << "a retry must get further";
    la = r.info[2];
  }
}

TEST(KernelRefactorize, NewValuesWithTheOldPivotsEqualAFreshFactorization) {
  std::mt19937_64 rng(41);
  for (double density_switch : {0.0, 0.5, 1.0}) {
    const SparseMatrix a = RandomSparse(80, 0.05, rng);
    const KernelControls c = KernelControls().DensitySwitch(density_switch);
    KernelLu lu(a, c);
    ASSERT_EQ(lu.Factorized().info[0], 0);
    const std::vector<double> factors = lu.factors;
    ASSERT_EQ(lu.Factorize(2).info[0], 0);
    EXPECT_EQ(lu.factors, factors) << "same values, the very same factors";

    const SparseMatrix b = a.WithNewValues(rng);
    ASSERT_EQ(lu.Factorize(2, b.values).info[0], 0);
    KernelLu fresh(b, c);
    fresh.analysis = lu.analysis;
    ASSERT_EQ(fresh.Factorize(1).info[0], 0);
    const std::vector<double> ones(static_cast<std::size_t>(a.n), 1.0);
    EXPECT_LE(MaxAbsDifference(lu.Solve(ones, false), fresh.Solve(ones, false)), 1e-10);
    EXPECT_LE(OnesError(lu, b, true), 1e-13);
  }
}

// A band keeps the matrix regular when a pivot entry is changed.
TEST(KernelRefactorize, ACancelledPivotStopsJobTwoWithItsColumnAndIsRepivotedByOthers) {
  std::mt19937_64 rng(42);
  const SparseMatrix a = Banded(60, 2, rng);
  KernelLu lu(a, KernelControls().PivotTolerance(1e-10));
  const std::int64_t np = lu.Analyse().np;
  ASSERT_EQ(lu.Factorize(1).info[0], 0);
  for (std::int64_t k : {std::int64_t{1}, np / 2, np}) {
    ASSERT_LT(lu.iptru[k - 1], lu.iptrl[k - 1]);
    EXPECT_EQ(lu.Factorize(2, CancelPivot(lu, a, k)).info[0], -(7 + k)) << "step " << k;
    ASSERT_EQ(lu.Factorize(1).info[0], 0);  // back to the valid factors
  }
  // JOB 3 and JOB 1 take another row for the column whose pivot failed.
  const PivotEntry p = PivotOfStep(lu, a, 1);
  const std::vector<double> values = CancelPivot(lu, a, 1);
  for (std::int64_t job : {3, 1}) {
    ASSERT_EQ(lu.Factorize(job, values).info[0], 0) << job;
    EXPECT_EQ(lu.factorization.info[4], a.n);
    EXPECT_LE(OnesError(lu, WithValues(a, values)), 1e-13) << job;
    EXPECT_TRUE(IsPermutation(lu.factor_ip));
    EXPECT_NE(lu.factor_ip[p.row - 1], 1) << "the analysis row lost step 1";
  }
}

TEST(KernelRefactorize, AFullBlockThatLosesRankIsReported) {
  std::mt19937_64 rng(43);
  const SparseMatrix a = RandomSparse(12, 0.3, rng);
  KernelLu lu(a, KernelControls().DensitySwitch(0.0));  // everything in the full block
  ASSERT_EQ(lu.Factorized().info[0], 0);
  std::vector<double> values = a.values;
  for (std::int64_t e = a.colptr[4]; e < a.colptr[5]; ++e) values[e - 1] = 0.0;  // column 5
  const std::int64_t code = lu.Factorize(2, values).info[0];
  EXPECT_LE(code, -8);
  EXPECT_GE(code, -(7 + a.n));
}

TEST(KernelRefactorize, PartialReuseRecomputesOnlyTheLastColumns) {
  std::mt19937_64 rng(46);
  const SparseMatrix a = RandomSparse(40, 0.1, rng);
  KernelLu lu(a, KernelControls().KeptLast(6));  // the last six columns may change
  const AnalyseResult& r = lu.Analyse();
  for (std::int64_t k = 35; k <= 40; ++k) EXPECT_GE(r.colpos[k - 1], 35);  // kept last
  ASSERT_EQ(lu.Factorize(1).info[0], 0);
  std::vector<double> values = a.values;
  for (std::int64_t e = a.colptr[34]; e <= a.nnz(); ++e) values[e - 1] *= 1.5;
  for (std::int64_t job : {2, 3}) {
    ASSERT_EQ(lu.Factorize(job, values).info[0], 0);
    EXPECT_LE(OnesError(lu, WithValues(a, values)), 1e-13) << "job " << job;
  }
}

TEST(KernelStorage, ShortFactorStorageReportsALengthThatSucceeds) {
  std::mt19937_64 rng(51);
  for (double density_switch : {0.0, 0.5, 1.0}) {
    const SparseMatrix a = RandomSparse(90, 0.05, rng);
    const KernelControls c = KernelControls().DensitySwitch(density_switch);
    KernelLu ample(a, c);
    ASSERT_EQ(ample.Factorized().info[0], 0);
    const std::int64_t used = ample.factorization.info[3];
    const std::vector<double> ones(static_cast<std::size_t>(a.n), 1.0);
    const auto expected = ample.Solve(ones, false);
    const std::int64_t least = std::max(a.n, a.nnz() + 2);
    for (std::int64_t lfact : {least, (least + used) / 2, used - 1}) {
      if (lfact >= used) continue;
      KernelLu lu(a, c);
      lu.analysis = ample.analysis;
      const FactorizeResult& r = lu.Factorize(1, {}, lfact);
      ASSERT_EQ(r.info[0], -3) << lfact;
      const std::int64_t need = r.info[3];
      ASSERT_GE(need, used);
      ASSERT_EQ(lu.Factorize(1, {}, need).info[0], 0) << lfact;
      EXPECT_EQ(lu.Solve(ones, false), expected);
    }
  }
}

TEST(KernelStorage, ShortAnalysisStorageIsRetriedUntilItSucceeds) {
  std::mt19937_64 rng(52);
  for (int trial = 0; trial < 6; ++trial) {
    const SparseMatrix a = RandomSparse(120, 0.03, rng);
    KernelLu ample(a, KernelControls());
    const AnalyseResult expected = ample.Analyse();
    ASSERT_EQ(expected.info[0], 0);
    KernelLu lu(a, KernelControls());
    std::int64_t compresses = 0;
    AnalyseWithRetries(lu, a.nnz() + 1, &compresses);
    EXPECT_EQ(lu.analysis.info[0], 0);
    EXPECT_GT(compresses, 0);
    // The elimination does not depend on the storage it had.
    EXPECT_EQ(lu.analysis.ip, expected.ip);
    EXPECT_EQ(lu.analysis.iq, expected.iq);
    EXPECT_EQ(lu.analysis.np, expected.np);
  }
}

TEST(KernelStorage, HeavyFillMakesRoomByCompressing) {
  std::mt19937_64 rng(53);
  // The arrow eliminated from its dense corner first fills everything.
  const SparseMatrix a = Arrow(40, rng);
  std::vector<std::int64_t> natural(40);
  std::iota(natural.begin(), natural.end(), 1);
  KernelLu lu(a, KernelControls().GivenOrder().DensitySwitch(1.0));
  // The need reported covers the elimination step that ran short.
  EXPECT_EQ(AnalyseWithRetries(lu, a.nnz() + 5, nullptr, natural, natural), 1);
  EXPECT_EQ(lu.analysis.info[0], 0);
  EXPECT_GT(lu.analysis.info[1], 0);  // compresses made the room
  ASSERT_EQ(lu.Factorize(1).info[0], 0);
  EXPECT_LE(OnesError(lu, a), 1e-13);
}

TEST(KernelRank, EmptyRowAndColumnArePlacedAndReported) {
  // Row 3 and column 2 are empty.
  const SparseMatrix a =
      FromTriplets(4, 4, {1, 2, 4, 1, 2, 4}, {1, 1, 3, 3, 4, 4}, {4.0, 1.0, 3.0, 1.0, 5.0, 2.0});
  KernelLu lu(a, KernelControls());
  const AnalyseResult& r = lu.Analyse();
  EXPECT_EQ(r.info[0], 1);
  EXPECT_EQ(r.info[4], 3);
  EXPECT_GE(r.np, 1);
  EXPECT_EQ(r.colpos[1], 1);  // the empty column first
  EXPECT_EQ(r.ip[2], 4);      // the empty row last
  EXPECT_TRUE(IsPermutation(r.ip));
  EXPECT_TRUE(IsPermutation(r.iq));
  const FactorizeResult& f = lu.Factorize(1);
  EXPECT_EQ(f.info[0], 0);
  EXPECT_EQ(f.info[4], 3);
  EXPECT_TRUE(IsPermutation(lu.factor_ip));
  // Consistent right-hand sides: column 2 gets 0, the rest is exact.
  EXPECT_LE(ConsistentError(lu, a, {1.0, 0.0, -2.0, 3.0}), 1e-14);
  EXPECT_LE(ConsistentError(lu, a, {0.5, 1.5, 0.0, -1.0}, true), 1e-14);
}

TEST(KernelRank, ZeroColumnOfTheFullBlockGoesLast) {
  std::mt19937_64 rng(61);
  SparseMatrix a = RandomSparse(9, 0.5, rng);
  for (std::int64_t e = a.colptr[3]; e < a.colptr[4]; ++e) a.values[e - 1] = 0.0;  // column 4
  for (std::int64_t level : {32, 1, 0}) {
    KernelLu lu(a, KernelControls().DensitySwitch(0.0).Level(level));
    const FactorizeResult& f = lu.Factorized();
    EXPECT_EQ(f.info[0], 0);
    EXPECT_EQ(f.info[4], 8);
    const std::int64_t e = lu.iptrl[8];
    EXPECT_EQ(lu.irnf[e + 9 + 8], -lu.analysis.colpos[3]);  // rejected at its own step
    std::vector<double> x0 = RandomVector(9, rng);
    x0[3] = 0.0;
    EXPECT_LE(ConsistentError(lu, a, x0, false, level), 1e-12);
  }
}

TEST(KernelRank, PivotlessSparseStepLeavesZeroAndAPermutation) {
  std::mt19937_64 rng(62);
  // Column 7 holds a single entry below the pivot tolerance.
  const SparseMatrix b = RandomSparse(30, 0.1, rng);
  Triplets t;
  for (std::int64_t j = 1; j <= b.n; ++j) {
    for (std::int64_t e = b.colptr[j - 1]; e < b.colptr[j]; ++e) {
      if (j != 7) t.Add(b.rows[e - 1], j, b.values[e - 1]);
    }
  }
  t.Add(3, 7, 1e-14);
  const SparseMatrix a = t.Build(30, 30);
  KernelLu lu(a, KernelControls().PivotTolerance(1e-10));
  const AnalyseResult& r = lu.Analyse();
  EXPECT_EQ(r.info[0], 1);
  ASSERT_LE(r.colpos[6], r.np);  // removed as singular in the sparse phase
  const FactorizeResult& f = lu.Factorize(1);
  EXPECT_EQ(f.info[0], 0);
  EXPECT_EQ(f.info[4], 29);
  EXPECT_TRUE(IsPermutation(lu.factor_ip));
  std::vector<double> x0 = RandomVector(30, rng);
  x0[6] = 0.0;
  EXPECT_EQ(lu.Solve(Multiply(a, x0, false), false)[6], 0.0);
  EXPECT_LE(ConsistentError(lu, a, x0), 1e-12);
}

TEST(KernelRank, ZeroEntriesNeverBecomePivotsWhateverTheTolerances) {
  // The explicit zero in row 1 is preferred by the given order and passes a
  // threshold of 0; it must not be taken.
  const SparseMatrix a =
      FromTriplets(3, 3, {1, 2, 1, 2, 3}, {1, 1, 2, 2, 3}, {0.0, 1.0, 1.0, 1.0, 1.0});
  // No threshold, and a pivot tolerance below zero.
  KernelLu lu(a,
              KernelControls().GivenOrder().DensitySwitch(1.0).Threshold(0.0).PivotTolerance(-1.0));
  const AnalyseResult& r = lu.Analyse(0, {1, 2, 3}, {1, 2, 3});
  ASSERT_EQ(r.info[0], 0);
  EXPECT_EQ(r.ip[1], 1);  // row 2 pivots in column 1
  ASSERT_EQ(lu.Factorize(1).info[0], 0);
  EXPECT_EQ(ConsistentError(lu, a, {1.0, -2.0, 3.0}), 0.0);
}

TEST(KernelRank, ColumnsKeptLastStillCountInTheRankEstimate) {
  std::mt19937_64 rng(63);
  // The last three columns are kept out of the sparse phase.
  KernelLu lu(RandomSparse(8, 0.9, rng), KernelControls().KeptLast(3));
  EXPECT_EQ(lu.Analyse().info[0], 0);
  EXPECT_EQ(lu.analysis.info[4], 8);
}

TEST(KernelDrops, SmallEntriesAreDroppedCountedAndBlockRefactorization) {
  std::mt19937_64 rng(71);
  SparseMatrix a = RandomSparse(40, 0.08, rng);
  std::int64_t small = 0;
  for (std::size_t e = 0; e < a.values.size(); e += 7, ++small) a.values[e] = 1e-9;
  KernelLu lu(a, KernelControls().DropTolerance(1e-6));
  EXPECT_GE(lu.Analyse().info[5], small);
  const FactorizeResult& f = lu.Factorize(1);
  EXPECT_GE(f.info[5], small);
  EXPECT_EQ(lu.irnf[0], f.info[5]);
  EXPECT_EQ(lu.factors[0], 1e-6);
  const std::vector<std::int64_t> irnf = lu.irnf;
  EXPECT_EQ(lu.Factorize(2).info[0], -6);
  EXPECT_EQ(lu.Factorize(3).info[0], -6);
  EXPECT_EQ(lu.irnf, irnf);  // nothing changed
}

TEST(KernelErrors, AnalyseRefusesBadArguments) {
  const SparseMatrix a = FromTriplets(2, 2, {1, 2, 2}, {1, 1, 2}, {1.0, 2.0, 3.0});
  KernelLu lu(a, KernelControls());
  EXPECT_EQ(lu.Analyse(2).info[0], -3);  // LA below NE
  EXPECT_EQ(lu.analysis.info[2], 3);

  KernelControls given = KernelControls().GivenOrder().Search(3);
  EXPECT_EQ(KernelLu(a, given).Analyse(0, {1, 2}, {1, 2}).info[0], -6);  // limit not 1
  KernelLu repeated(FromTriplets(3, 3, {1, 2, 3}, {1, 2, 3}, {1.0, 2.0, 3.0}),
                    given.Search(1).DensitySwitch(1.0));
  EXPECT_EQ(repeated.Analyse(0, {1, 2, 3}, {1, 1, 2}).info[0], -5);
  EXPECT_EQ(repeated.Analyse(0, {1, 2, 3}, {1, 4, 2}).info[0], -5);
  EXPECT_EQ(repeated.Analyse(0, {1, 2, 3}, {3, 1, 2}).info[0], 0);

  SparseMatrix twice = a;  // a row met twice in one column
  twice.rows = {1, 1, 2};
  EXPECT_EQ(KernelLu(twice, KernelControls()).Analyse().info[0], -4);
  SparseMatrix no_rows = a;
  no_rows.m = 0;
  EXPECT_EQ(KernelLu(no_rows, KernelControls()).Analyse().info[0], -1);
  KernelLu nothing(FromTriplets(2, 2, {}, {}, {}), KernelControls());
  EXPECT_EQ(nothing.Analyse().info[0], -2);
  EXPECT_EQ(nothing.analysis.np, 0);
  EXPECT_EQ(nothing.analysis.rinfo, 0.0);
}

TEST(KernelErrors, FactorizeAndSolveRefuseBadArguments) {
  const SparseMatrix a = FromTriplets(2, 2, {1, 2, 2}, {1, 1, 2}, {1.0, 2.0, 3.0});
  KernelLu lu(a, KernelControls());
  lu.Analyse();
  EXPECT_EQ(lu.Factorize(1, {}, 4).info[0], -3);  // below NE + 2
  EXPECT_EQ(lu.factorization.info[3], 5);
  EXPECT_EQ(lu.Factorize(4).info[0], -5);
  lu.analysis.np = 3;
  EXPECT_EQ(lu.Factorize(1).info[0], -7);
  lu.Analyse();
  SparseMatrix twice = a;
  twice.rows = {2, 2, 1};
  KernelLu duplicate(twice, KernelControls());
  duplicate.analysis = lu.analysis;
  EXPECT_EQ(duplicate.Factorize(1).info[0], -4);

  SparseMatrix no_columns = a;
  no_columns.n = 0;
  KernelLu empty(no_columns, KernelControls());
  EXPECT_EQ(empty.Factorize(1).info[0], -1);
  empty.Solve({}, false);
  EXPECT_EQ(empty.last_solve_info, -1);
}

}  // namespace
}  // namespace slu_test
