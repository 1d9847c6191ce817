#include "solve/linear/lsi.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "numerics/sparse_lu/slu_drivers.h"
#include "solve/linear/lsi_slu_solver.h"
#include "solve/options/solver_option_table.h"

namespace {

using Index = std::int64_t;

struct System {
  Index n = 0;
  std::vector<Index> rows, cols;
  std::vector<double> values;
  Index ne() const { return static_cast<Index>(rows.size()); }
  void Add(Index r, Index c, double v) {
    rows.push_back(r);
    cols.push_back(c);
    values.push_back(v);
  }
};

System FromDense(Index n, const std::vector<double>& dense) {
  System s;
  s.n = n;
  for (Index i = 0; i < n; ++i) {
    for (Index j = 0; j < n; ++j) {
      const double v = dense[static_cast<std::size_t>(i * n + j)];
      if (v != 0.0) s.Add(i + 1, j + 1, v);
    }
  }
  return s;
}

// An unsymmetric, diagonally dominant matrix with about `density` of its
// entries filled, off the diagonal of modulus between `floor` and 1 times
// `scale`.
System Random(Index n, double density, unsigned seed, double scale = 1.0, double floor = 0.0) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> value(floor, 1.0), pick(0.0, 1.0);
  std::vector<double> dense(static_cast<std::size_t>(n * n), 0.0);
  for (Index i = 0; i < n; ++i) {
    for (Index j = 0; j < n; ++j) {
      if (i == j)
        dense[static_cast<std::size_t>(i * n + j)] = n;
      else if (pick(rng) < density) {
        dense[static_cast<std::size_t>(i * n + j)] =
            (pick(rng) < 0.5 ? -scale : scale) * value(rng);
      }
    }
  }
  return FromDense(n, dense);
}

std::vector<double> Multiply(const System& s, const std::vector<double>& x, bool transposed) {
  std::vector<double> y(static_cast<std::size_t>(s.n), 0.0);
  for (Index e = 0; e < s.ne(); ++e) {
    const auto r = static_cast<std::size_t>(s.rows[e] - 1),
               c = static_cast<std::size_t>(s.cols[e] - 1);
    if (transposed)
      y[c] += s.values[e] * x[r];
    else
      y[r] += s.values[e] * x[c];
  }
  return y;
}

double Residual(const System& s, const std::vector<double>& x, const std::vector<double>& b,
                bool transposed = false) {
  const std::vector<double> ax = Multiply(s, x, transposed);
  double worst = 0.0;
  for (std::size_t i = 0; i < b.size(); ++i) worst = std::max(worst, std::fabs(ax[i] - b[i]));
  return worst;
}

Index Call(LSIBaseSolve** handle, const System& s, Index flags, std::vector<double>* x,
           const std::vector<double>& b) {
  const Index ne = s.ne(), n = s.n, kind = 4;
  Index info = 99;
  LSISolve(s.values.data(), s.rows.data(), s.cols.data(), x->data(), b.data(), &ne, &n, handle,
           &flags, &info, &kind);
  return info;
}

std::vector<double> Ones(Index n) { return std::vector<double>(static_cast<std::size_t>(n), 1.0); }

class Lsi : public ::testing::Test {
 protected:
  void SetUp() override { LSIOptionsClient::Instance().values = LsiOptionValues{}; }
  void TearDown() override {
    std::vector<double> none(1);
    if (handle != nullptr) Call(&handle, System{}, kLsiDestroy, &none, none);
    lsi_testing::FailAllocationAfter(-1);
    lsi_testing::SetInitialStorageFactor(5);
    LSIOptionsClient::Instance().values = LsiOptionValues{};
    EXPECT_EQ(lsi_testing::LiveSolvers(), 0);
    EXPECT_EQ(lsi_testing::SharedBytes(), 0);
  }
  LSIBaseSolve* handle = nullptr;
};

TEST_F(Lsi, FlagSequenceOnOneHandle) {
  const System a = Random(12, 0.2, 1);
  System scaled = a;
  for (double& v : scaled.values) v *= 3.0;
  const std::vector<double> b = Ones(a.n);
  const struct {
    Index flags;
    const System* values;
    Index analyses, factorizations, fast;
    const System* solves;  // null: x is not written
    bool transposed;
  } steps[] = {
      {kLsiAnalyse | kLsiFactorize | kLsiSolve, &a, 1, 1, 0, &a, false},
      {kLsiSolve, &a, 1, 1, 0, &a, false},  // same factors
      {kLsiNewValues | kLsiSolve, &scaled, 1, 1, 1, &scaled, false},
      {kLsiSolveTransposed, &scaled, 1, 1, 1, &scaled, true},
      {kLsiFactorize, &a, 1, 2, 1, nullptr, false},
      {kLsiSolve, &a, 1, 2, 1, &a, false},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.flags);
    std::vector<double> x(static_cast<std::size_t>(a.n), -7.0);
    EXPECT_EQ(Call(&handle, *step.values, step.flags, &x, b), kLsiOk);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->Analyses(), step.analyses);
    EXPECT_EQ(handle->Factorizations(), step.factorizations);
    EXPECT_EQ(handle->FastFactorizations(), step.fast);
    if (step.solves == nullptr) {
      EXPECT_EQ(x, std::vector<double>(x.size(), -7.0));
    } else {
      EXPECT_LT(Residual(*step.solves, x, b, step.transposed), 1e-12);
    }
  }
  std::vector<double> x = Ones(a.n);
  EXPECT_EQ(Call(&handle, a, kLsiDestroy, &x, b), kLsiOk);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(Call(&handle, a, kLsiDestroy, &x, b), kLsiOk);  // nothing to destroy
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(lsi_testing::LiveSolvers(), 0);
}

TEST_F(Lsi, RepivotEveryThirdNewValues) {
  SolverOptionTable table;
  ASSERT_EQ(table.SetInteger(99, 3), 0u);
  const System a = Random(10, 0.3, 2);
  const std::vector<double> b = Ones(a.n);
  for (int call = 1; call <= 9; ++call) {
    SCOPED_TRACE(call);
    System values = a;
    for (double& v : values.values) v *= 1.0 + 0.1 * call;
    const std::int32_t full = handle == nullptr ? 0 : handle->Factorizations();
    const std::int32_t fast = handle == nullptr ? 0 : handle->FastFactorizations();
    std::vector<double> x = Ones(a.n);
    EXPECT_EQ(Call(&handle, values, kLsiNewValues | kLsiSolve, &x, b), kLsiOk);
    EXPECT_LT(Residual(values, x, b), 1e-12);
    // The first call analyses and factorizes in full whatever the counter.
    const bool full_expected = call == 1 || call % 3 == 0;
    EXPECT_EQ(handle->Factorizations() - full, full_expected ? 1 : 0);
    EXPECT_EQ(handle->FastFactorizations() - fast, full_expected ? 0 : 1);
  }
  std::vector<double> x = Ones(a.n);
  Call(&handle, a, kLsiDestroy, &x, b);
}

TEST_F(Lsi, NewValuesRefactorizeInFullOnlyAfterDroppedEntries) {
  const struct {
    double drop_tolerance, scale, floor;
    bool full;
  } cases[] = {
      {0.0, 1.0, 0.0, false},
      {1e-3, 1.0, 0.5, false},  // nothing to drop: the fast path stays
      {0.1, 0.05, 0.2, true},   // entries dropped: the pivot sequence cannot be repeated
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.drop_tolerance);
    LSIOptionsClient::Instance().values.drop_tolerance = c.drop_tolerance;
    const System a = Random(12, 0.3, 7, c.scale, c.floor);
    const std::vector<double> b = Ones(a.n);
    std::vector<double> x = Ones(a.n);
    ASSERT_EQ(Call(&handle, a, kLsiAnalyse | kLsiFactorize, &x, b), kLsiOk);
    ASSERT_EQ(Call(&handle, a, kLsiNewValues | kLsiSolve, &x, b), kLsiOk);
    EXPECT_EQ(handle->Factorizations(), c.full ? 2 : 1);
    EXPECT_EQ(handle->FastFactorizations(), c.full ? 0 : 1);
    Call(&handle, a, kLsiDestroy, &x, b);
  }
}

TEST_F(Lsi, GrowingOperationCountsForceAnAnalysis) {
  const System a = Random(12, 0.3, 8);
  const std::vector<double> b = Ones(a.n);
  // A threshold below 1 flags growth as soon as the window is full.
  const struct {
    std::int32_t window;
    double threshold;
    std::int32_t analyses;
  } cases[] = {{0, 0.5, 1}, {1, 2.0, 1}, {1, 0.5, 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.window);
    LSIOptionsClient::Instance().values.reanalyze_window = c.window;
    LSIOptionsClient::Instance().values.reanalyze_threshold = c.threshold;
    std::vector<double> x = Ones(a.n);
    for (int call = 0; call < 4; ++call) {
      ASSERT_EQ(Call(&handle, a, kLsiNewValues | kLsiSolve, &x, b), kLsiOk);
    }
    EXPECT_LT(Residual(a, x, b), 1e-12);
    EXPECT_EQ(handle->Analyses(), c.analyses);
    Call(&handle, a, kLsiDestroy, &x, b);
  }
}

// The rank-deficiency correction computed straight from the drivers.
std::vector<double> CorrectedByHand(const System& s, const std::vector<double>& b, bool transposed,
                                    Index* rank, std::vector<Index>* rows,
                                    std::vector<Index>* cols) {
  const Index n = s.n, ne = s.ne(), job = 1, la = 5 * ne;
  const Index icntl[9] = {0, 0, 2, 0, 32, 1, 1, 0, 10};
  const double cntl[5] = {0.5, 0.1, 0.0, 0.0, 0.5};
  std::vector<double> a(static_cast<std::size_t>(la)), w(static_cast<std::size_t>(4 * n));
  std::vector<Index> irn(static_cast<std::size_t>(la)),
      jcn = s.cols, keep(static_cast<std::size_t>(10 * n + 7)), iw(static_cast<std::size_t>(9 * n));
  Index info[12] = {};
  double rinfo = 0.0;
  std::copy(s.values.begin(), s.values.end(), a.begin());
  std::copy(s.rows.begin(), s.rows.end(), irn.begin());
  SluAnalyse(&n, &n, &ne, &job, &la, a.data(), irn.data(), jcn.data(), keep.data(), cntl, icntl,
             iw.data(), info, &rinfo);
  std::copy(s.values.begin(), s.values.end(), a.begin());
  SluFactorize(&n, &n, &ne, &job, &la, a.data(), irn.data(), jcn.data(), keep.data(), cntl, icntl,
               w.data(), iw.data(), info, &rinfo);
  rows->assign(static_cast<std::size_t>(n), 0);
  cols->assign(static_cast<std::size_t>(n), 0);
  SluRankInfo(&n, &n, &la, irn.data(), keep.data(), rank, rows->data(), cols->data(), iw.data());
  const std::vector<Index>& moved = transposed ? *cols : *rows;
  const std::vector<Index>& target = transposed ? *rows : *cols;
  std::vector<double> shifted(static_cast<std::size_t>(n), 0.0), x(static_cast<std::size_t>(n));
  for (Index k = *rank; k < n; ++k) shifted[moved[k] - 1] = b[moved[k] - 1];
  std::vector<double> u = Multiply(s, shifted, transposed);
  for (Index i = 0; i < n; ++i) u[i] = b[i] - u[i];
  const Index trans = transposed ? 1 : 0;
  double error[3];
  Index solve_info[12];
  SluSolve(&n, &n, &trans, &job, &la, a.data(), irn.data(), keep.data(), cntl, icntl, u.data(),
           x.data(), error, w.data(), iw.data(), solve_info);
  for (Index k = *rank; k < n; ++k) x[target[k] - 1] += shifted[moved[k] - 1];
  return x;
}

TEST_F(Lsi, SingularMatrixIsCorrectedOnItsNonSingularPart) {
  // Row 4 is twice row 3: structurally regular, numerically of rank 3.
  const System a = FromDense(4, {4, 1, 0, 0, 1, 4, 1, 0, 0, 1, 1, 1, 0, 2, 2, 2});
  const std::vector<double> b = {1.0, 2.0, 3.0, 5.0};
  for (const bool transposed : {false, true}) {
    SCOPED_TRACE(transposed);
    std::vector<double> x(4, 0.0);
    EXPECT_EQ(Call(&handle, a, transposed ? kLsiSolveTransposed : kLsiSolve, &x, b),
              kLsiRankDeficient);
    Index rank = 0;
    std::vector<Index> rows, cols;
    const std::vector<double> expected = CorrectedByHand(a, b, transposed, &rank, &rows, &cols);
    EXPECT_EQ(rank, 3);
    EXPECT_EQ(handle->Rank(), rank);
    for (Index k = 0; k < a.n; ++k) {
      EXPECT_NEAR(x[k], expected[k], 1e-13);
      EXPECT_EQ(handle->FirstDeficiencyList()[k], k < rank ? 0 : rows[k]);
      EXPECT_EQ(handle->SecondDeficiencyList()[k], k < rank ? 0 : cols[k]);
    }
  }
}

TEST_F(Lsi, TransposedStorageAnswersTheSystemAsGiven) {
  SolverOptionTable table;
  ASSERT_EQ(table.SetInteger(21, 1), 0u);  // staged: the client is handed the request
  const System a = Random(15, 0.2, 3);
  const std::vector<double> b = Ones(a.n);
  const struct {
    Index flags;
    bool writes, transposed;
  } steps[] = {
      {kLsiAnalyse | kLsiFactorize | kLsiSolve, true, false},
      {kLsiSolveTransposed, true, true},
      {kLsiNewValues, false, false},  // a re-factorization alone leaves x alone
      {kLsiSolve, true, false},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.flags);
    std::vector<double> x(static_cast<std::size_t>(a.n), -7.0);
    EXPECT_EQ(Call(&handle, a, step.flags, &x, b), kLsiOk);
    if (step.writes) {
      EXPECT_LT(Residual(a, x, b, step.transposed), 1e-12);
    } else {
      EXPECT_EQ(x, std::vector<double>(x.size(), -7.0));
    }
  }
}

TEST_F(Lsi, SizeMismatchLeavesTheHandleAlone) {
  const System a = Random(6, 0.3, 4);
  std::vector<double> x = Ones(a.n);
  const std::vector<double> b = Ones(a.n);
  ASSERT_EQ(Call(&handle, a, kLsiAnalyse | kLsiFactorize | kLsiSolve, &x, b), kLsiOk);
  LSIBaseSolve* const before = handle;
  const std::uint32_t flags = handle->Flags();
  System wider = Random(7, 0.3, 4), fuller = a;
  fuller.Add(1, 6, 0.5);
  for (const System* other : {&wider, &fuller}) {
    std::vector<double> y = Ones(other->n);
    EXPECT_EQ(Call(&handle, *other, kLsiNewValues | kLsiSolve, &y, Ones(other->n)),
              kLsiSizeMismatch);
    EXPECT_EQ(handle, before);
    EXPECT_EQ(handle->Flags(), flags);
    EXPECT_EQ(handle->Analyses() + handle->Factorizations() + handle->FastFactorizations(), 2);
  }
}

TEST_F(Lsi, EveryFailedAllocationAnswersOutOfMemory) {
  const System a = Random(20, 0.3, 5);
  const std::vector<double> b = Ones(a.n);
  lsi_testing::SetInitialStorageFactor(2);  // so that the storage grows as well
  LSIOptionsClient::Instance().values.print_level = 0;
  bool succeeded = false;
  for (int successes = 0; successes < 40 && !succeeded; ++successes) {
    SCOPED_TRACE(successes);
    lsi_testing::FailAllocationAfter(successes);
    std::vector<double> x = Ones(a.n);
    const Index info = Call(&handle, a, kLsiAnalyse | kLsiFactorize | kLsiSolve, &x, b);
    lsi_testing::FailAllocationAfter(-1);
    succeeded = info == kLsiOk;
    if (!succeeded) {
      EXPECT_EQ(info, kLsiOutOfMemory);
      ASSERT_NE(handle, nullptr);
      EXPECT_NE(handle->Flags() & kLsiOutOfMemoryBit, 0u);
      EXPECT_EQ(Call(&handle, a, kLsiSolve, &x, b), kLsiOutOfMemory);  // unusable for good
    } else {
      EXPECT_LT(Residual(a, x, b), 1e-12);
    }
    Call(&handle, a, kLsiDestroy, &x, b);
    EXPECT_EQ(lsi_testing::SharedBytes(), 0);
  }
  EXPECT_TRUE(succeeded);
}

TEST_F(Lsi, ShortStorageGrowsUntilTheFactorsFit) {
  lsi_testing::SetInitialStorageFactor(2);
  const System a = Random(40, 0.3, 6);
  const std::vector<double> b = Ones(a.n);
  std::vector<double> x = Ones(a.n);
  ASSERT_EQ(Call(&handle, a, kLsiAnalyse | kLsiFactorize | kLsiSolve, &x, b), kLsiOk);
  EXPECT_LT(Residual(a, x, b), 1e-12);
  EXPECT_GT(static_cast<LSISluSolver*>(handle)->StorageLength(), 2 * a.ne());
  // A reset starts again from the initial length and grows once more.
  handle->MarkForReset();
  ASSERT_EQ(Call(&handle, a, kLsiSolve, &x, b), kLsiOk);
  EXPECT_EQ(handle->Analyses(), 2);
  EXPECT_LT(Residual(a, x, b), 1e-12);
  // A second handle shares the work space; it goes with the last one.
  LSIBaseSolve* other = nullptr;
  ASSERT_EQ(Call(&other, a, kLsiSolve, &x, b), kLsiOk);
  Call(&handle, a, kLsiDestroy, &x, b);
  EXPECT_GT(lsi_testing::SharedBytes(), 0);
  Call(&other, a, kLsiDestroy, &x, b);
}

}  // namespace
