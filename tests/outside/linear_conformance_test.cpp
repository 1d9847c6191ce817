// The linear framework libraries through their declared interfaces: seeded
// sparse systems against LAPACK and UMFPACK, singular matrices, scaling failures, the
// parameters, and bad input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <map>
#include <random>

#include <umfpack.h>

#include "tests/outside/kvs_harness.h"

extern "C" {
void dgesv_(const int* n, const int* nrhs, double* a, const int* lda, int* ipiv, double* b,
            const int* ldb, int* info);
void dgesvd_(const char* jobu, const char* jobvt, const int* m, const int* n, double* a,
             const int* lda, double* s, double* u, const int* ldu, double* vt, const int* ldvt,
             double* work, const int* lwork, int* info);
}

namespace {

using namespace kvs_test;

struct Sparse {
  int n = 0;
  std::vector<std::int64_t> rows, cols;  // 1-based
  std::vector<double> values;
  std::vector<double> Dense() const {
    std::vector<double> a(size_t(n) * size_t(n), 0.0);
    for (size_t k = 0; k < values.size(); ++k)
      a[size_t(cols[k] - 1) * size_t(n) + size_t(rows[k] - 1)] += values[k];
    return a;
  }
};

// A flowsheet-like matrix: a strong diagonal, a few couplings per row.
Sparse RandomSparse(int n, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> value(-1.0, 1.0);
  std::uniform_int_distribution<int> col(1, n);
  Sparse m;
  m.n = n;
  for (int i = 1; i <= n; ++i) {
    m.rows.push_back(i), m.cols.push_back(i), m.values.push_back(4.0 + value(gen));
    for (int k = 0; k < 3; ++k)
      m.rows.push_back(i), m.cols.push_back(col(gen)), m.values.push_back(value(gen));
  }
  return m;
}

std::vector<double> SingularValues(std::vector<double> a, int n) {
  std::vector<double> s(static_cast<size_t>(n));
  int info = 0, lwork = -1, one = 1;
  double query = 0, dummy = 0;
  dgesvd_("N", "N", &n, &n, a.data(), &n, s.data(), &dummy, &one, &dummy, &one, &query, &lwork,
          &info);
  lwork = int(query);
  std::vector<double> work(static_cast<size_t>(lwork));
  dgesvd_("N", "N", &n, &n, a.data(), &n, s.data(), &dummy, &one, &dummy, &one, work.data(), &lwork,
          &info);
  return s;
}

int SvdRank(const std::vector<double>& a, int n) {
  const auto s = SingularValues(a, n);
  return int(std::count_if(s.begin(), s.end(), [&](double v) { return v > 1e-10 * s[0]; }));
}

double BackwardError(const Sparse& m, const std::vector<double>& x, const std::vector<double>& b) {
  std::vector<double> r = b, row_sum(size_t(m.n), 0.0);
  for (size_t k = 0; k < m.values.size(); ++k) {
    r[size_t(m.rows[k] - 1)] -= m.values[k] * x[size_t(m.cols[k] - 1)];
    row_sum[size_t(m.rows[k] - 1)] += std::fabs(m.values[k]);
  }
  auto inf = [](const std::vector<double>& v) {
    double s = 0;
    for (double e : v) s = std::max(s, std::fabs(e));
    return s;
  };
  return inf(r) / (inf(row_sum) * inf(x) + inf(b));
}

// The same system through UMFPACK, for orders where a dense solve is slow.
std::vector<double> UmfpackSolve(const Sparse& m, const std::vector<double>& b) {
  const auto n = static_cast<std::int64_t>(m.n);
  const auto nz = static_cast<std::int64_t>(m.values.size());
  std::vector<std::int64_t> ti(m.rows.size()), tj(m.cols.size());
  for (size_t k = 0; k < m.rows.size(); ++k) ti[k] = m.rows[k] - 1, tj[k] = m.cols[k] - 1;
  std::vector<std::int64_t> ap(static_cast<size_t>(n) + 1), ai(static_cast<size_t>(nz));
  std::vector<double> ax(static_cast<size_t>(nz)), x(static_cast<size_t>(n), 0.0);
  umfpack_dl_triplet_to_col(n, n, nz, ti.data(), tj.data(), m.values.data(), ap.data(), ai.data(),
                            ax.data(), nullptr);
  void *symbolic = nullptr, *numeric = nullptr;
  umfpack_dl_symbolic(n, n, ap.data(), ai.data(), ax.data(), &symbolic, nullptr, nullptr);
  umfpack_dl_numeric(ap.data(), ai.data(), ax.data(), symbolic, &numeric, nullptr, nullptr);
  umfpack_dl_solve(UMFPACK_A, ap.data(), ai.data(), ax.data(), x.data(), b.data(), numeric,
                   nullptr, nullptr);
  umfpack_dl_free_numeric(&numeric);
  umfpack_dl_free_symbolic(&symbolic);
  return x;
}

// The largest of |r_i| / (sum_j |a_ij x_j| + |b_i|) over the rows.
double RowwiseBackwardError(const Sparse& m, const std::vector<double>& x,
                            const std::vector<double>& b) {
  std::vector<double> r = b, size(b.size(), 0.0);
  for (size_t k = 0; k < m.values.size(); ++k) {
    r[size_t(m.rows[k] - 1)] -= m.values[k] * x[size_t(m.cols[k] - 1)];
    size[size_t(m.rows[k] - 1)] += std::fabs(m.values[k] * x[size_t(m.cols[k] - 1)]);
  }
  double worst = 0;
  for (size_t i = 0; i < r.size(); ++i)
    worst = std::max(worst, std::fabs(r[i]) / (size[i] + std::fabs(b[i])));
  return worst;
}

// Five bands: cheap to factorise at sizes whose arrays are recycled.
Sparse Banded(int n, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> value(-1.0, 1.0);
  Sparse m;
  m.n = n;
  for (int i = 1; i <= n; ++i)
    for (int j = std::max(1, i - 2); j <= std::min(n, i + 2); ++j)
      m.rows.push_back(i), m.cols.push_back(j), m.values.push_back(i == j ? 6.0 : value(gen));
  return m;
}

class LinearLibrary : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    factory_ =
        LoadFactory<KVSLASystemFactory>(GetParam(), kGetFactoryLASystem, IID_KVSLASystemFactory);
    ASSERT_NE(factory_, nullptr);
  }
  void TearDown() override {
    if (factory_ != nullptr) factory_->Release();
  }

 public:
  KVSLASystem* Create(const Sparse& m) {
    KVSLASystem* s = nullptr;
    EXPECT_EQ(factory_->CreateSystem(m.n, m.n, int(m.values.size()), m.rows.data(), m.cols.data(),
                                     &handler_, &s),
              0u);
    return s;
  }
  KVSLASystemFactory* factory_ = nullptr;
  RecordingHandler handler_;
};

TEST_P(LinearLibrary, SeededSystemsMatchLapack) {
  for (int n : {1, 7, 60, 500, 4000}) {
    const Sparse m = RandomSparse(n, unsigned(n));
    std::vector<double> b(static_cast<size_t>(n)), x(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) b[size_t(i)] = std::sin(i + 1.0);
    KVSLASystem* s = Create(m);
    ASSERT_NE(s, nullptr);
    SetInt(s, "MaxRefineIter", 2);
    SetReal(s, "ErrorTol", 0.0);
    ASSERT_EQ(s->SetMatrixValues(m.values.data()), 0u) << n;
    ASSERT_EQ(s->SetRHS(b.data()), 0u);
    ASSERT_EQ(s->Solve(x.data()), 0u);
    EXPECT_LE(BackwardError(m, x, b), 1e-13) << n;
    if (n <= 500) {
      auto a = m.Dense();
      auto ref = b;
      std::vector<int> ipiv(static_cast<size_t>(n));
      int one = 1, info = 0;
      dgesv_(&n, &one, a.data(), &n, ipiv.data(), ref.data(), &n, &info);
      ASSERT_EQ(info, 0);
      for (int i = 0; i < n; ++i) EXPECT_NEAR(x[size_t(i)], ref[size_t(i)], 1e-10) << n;
    } else {
      const std::vector<double> ref = UmfpackSolve(m, b);
      for (int i = 0; i < n; ++i) EXPECT_NEAR(x[size_t(i)], ref[size_t(i)], 1e-10) << n;
    }
    s->Release();
  }
}

// Rows made from others (numerically and structurally) give result 3 and
// dependent lists whose removal leaves a non-singular matrix of SVD rank.
TEST_P(LinearLibrary, SingularMatricesNameTheirDependentPairs) {
  const int n = 40;
  Sparse base = RandomSparse(n, 99);
  struct Case {
    const char* what;
    std::function<void(Sparse&)> make;
  };
  const Case cases[] = {
      {"row 5 = row 2 + 3 row 9",
       [](Sparse& m) {
         std::map<std::int64_t, double> row;
         for (size_t k = 0; k < m.values.size(); ++k) {
           if (m.rows[k] == 2) row[m.cols[k]] += m.values[k];
           if (m.rows[k] == 9) row[m.cols[k]] += 3 * m.values[k];
           if (m.rows[k] == 5) m.values[k] = 0;
         }
         for (auto [c, v] : row) m.rows.push_back(5), m.cols.push_back(c), m.values.push_back(v);
       }},
      {"column 7 and 8 equal, row 30 empty",
       [](Sparse& m) {
         for (size_t k = 0; k < m.values.size(); ++k) {
           if (m.cols[k] == 8) m.values[k] = 0;
           if (m.rows[k] == 30) m.values[k] = 0;
         }
         const size_t count = m.values.size();
         for (size_t k = 0; k < count; ++k)
           if (m.cols[k] == 7 && m.rows[k] != 30)
             m.rows.push_back(m.rows[k]), m.cols.push_back(8), m.values.push_back(m.values[k]);
       }},
  };
  for (const Case& c : cases) {
    Sparse m = base;
    c.make(m);
    const int svd_rank = SvdRank(m.Dense(), n);
    ASSERT_LT(svd_rank, n) << c.what;
    KVSLASystem* s = Create(m);
    ASSERT_EQ(s->SetMatrixValues(m.values.data()), kKvsSingular) << c.what;
    void* dep = nullptr;
    ASSERT_EQ(s->QueryInterface(IID_KVSLinearDependency, &dep), 0u);
    auto* d = static_cast<KVSLinearDependency*>(dep);
    std::int32_t rank = 0;
    std::vector<std::int32_t> rows(static_cast<size_t>(n)), cols(static_cast<size_t>(n));
    d->GetRank(&rank);
    d->GetDependentRows(rows.data());
    d->GetDependentCols(cols.data());
    d->Release();
    EXPECT_EQ(rank, svd_rank) << c.what;
    // The independent rows and columns form a non-singular matrix.
    std::vector<double> full = m.Dense(), kept(size_t(rank) * size_t(rank));
    for (int i = 0; i < rank; ++i)
      for (int j = 0; j < rank; ++j)
        kept[size_t(j) * size_t(rank) + size_t(i)] =
            full[size_t(cols[size_t(j)] - 1) * size_t(n) + size_t(rows[size_t(i)] - 1)];
    EXPECT_EQ(SvdRank(kept, rank), rank) << c.what;
    // A solve satisfies the independent rows and leaves dependent variables 0.
    std::vector<double> b(size_t(n), 1.0), x(static_cast<size_t>(n));
    for (int k = rank; k < n; ++k) b[size_t(rows[size_t(k)] - 1)] = 0;
    ASSERT_EQ(s->SetRHS(b.data()), 0u);
    EXPECT_EQ(s->Solve(x.data()), 0u);
    for (int k = rank; k < n; ++k) EXPECT_EQ(x[size_t(cols[size_t(k)] - 1)], 0.0);
    s->Release();
  }
}

TEST_P(LinearLibrary, ABadlyScaledSystemAnswersNormError) {
  const Sparse m{2, {1, 2}, {1, 2}, {1e-300, 1.0}};
  const double b[] = {1e300, 1.0};
  double x[2];
  KVSLASystem* s = Create(m);
  ASSERT_EQ(s->SetMatrixValues(m.values.data()), 0u);
  ASSERT_EQ(s->SetRHS(b), 0u);
  EXPECT_EQ(s->Solve(x), kKvsNormError);
  s->Release();
}

// Every setting still solves; dropped factor entries need refinement, and
// refinement up to "MaxRefineIter" against "ErrorTol" mends them.
TEST_P(LinearLibrary, SettingsTakeEffect) {
  const int n = 300;
  const Sparse m = RandomSparse(n, 5);
  std::vector<double> b(size_t(n), 1.0), x(static_cast<size_t>(n));
  struct Case {
    const char* name;
    std::int32_t kind;
    double real;
    const char* text;
  };
  const Case cases[] = {
      {"PivotTolerance", kKvsReal, 1.0, nullptr}, {"UseTranspose", kKvsText, 0, "YES"},
      {"ScaleMatrix", kKvsText, 0, "no"},         {"RePivot", kKvsText, 0, "YES"},
      {"PivotSearch", kKvsInteger, 2, nullptr},   {"Triangularisation", kKvsText, 0, "No"}};
  for (const Case& c : cases) {
    KVSLASystem* s = Create(m);
    const std::int32_t i = std::int32_t(c.real);
    const void* v = c.kind == kKvsText   ? static_cast<const void*>(c.text)
                    : c.kind == kKvsReal ? static_cast<const void*>(&c.real)
                                         : static_cast<const void*>(&i);
    ASSERT_EQ(SetParameter(s, c.name, c.kind, v), 0u) << c.name;
    for (int round = 0; round < 2; ++round) {  // the second refactorises
      ASSERT_EQ(s->SetMatrixValues(m.values.data()), 0u) << c.name;
      s->SetRHS(b.data());
      ASSERT_EQ(s->Solve(x.data()), 0u) << c.name;
      EXPECT_LE(BackwardError(m, x, b), 1e-13) << c.name;
    }
    s->Release();
  }
  // Dropped factor entries spoil the plain solve; refinement mends it.
  KVSLASystem* s = Create(m);
  SetReal(s, "DropTolerance", 0.02);
  SetReal(s, "ErrorTol", 1e-12);
  s->SetMatrixValues(m.values.data());
  s->SetRHS(b.data());
  EXPECT_EQ(s->Solve(x.data()), kKvsNormError);
  SetInt(s, "MaxRefineIter", 60);
  EXPECT_EQ(s->Solve(x.data()), 0u);
  EXPECT_LE(BackwardError(m, x, b), 1e-13);
  // With a weak diagonal, pivots taken without a threshold are unstable:
  // the solve says so or misses the accuracy the threshold gives. The same
  // system switches, so the new setting must reach pivots already chosen.
  Sparse weak = m;
  for (size_t k = 0; k < weak.values.size(); k += 4) weak.values[k] = (weak.values[k] - 4) * 1e-3;
  SetReal(s, "DropTolerance", 0.0);
  SetInt(s, "MaxRefineIter", 0);
  for (const double u : {0.1, 0.0}) {
    SetReal(s, "PivotTolerance", u);
    ASSERT_EQ(s->SetMatrixValues(weak.values.data()), 0u) << u;
    const std::uint32_t r = s->Solve(x.data());
    if (u > 0) {
      EXPECT_EQ(r, 0u);
      EXPECT_LE(BackwardError(weak, x, b), 1e-13);
    } else {
      EXPECT_TRUE(r == kKvsNormError || BackwardError(weak, x, b) > 1e-13) << r;
    }
  }
  s->Release();
}

// One system fed value after value (kept pivots, kept row scaling) solves
// as a fresh system does, also when a row shrinks or grows by many orders,
// turns dependent and recovers; a repeated pair adds its values every time.
void RefactoriseAgainstFresh(LinearLibrary& lib, bool repeated) {
  const int n = 500;
  // Every pair once: repeated pairs of the random pattern merged.
  Sparse base;
  base.n = n;
  std::map<std::pair<std::int64_t, std::int64_t>, double> merged;
  const Sparse random = RandomSparse(n, 17);
  for (size_t k = 0; k < random.values.size(); ++k)
    merged[{random.rows[k], random.cols[k]}] += random.values[k];
  for (auto [at, value] : merged)
    base.rows.push_back(at.first), base.cols.push_back(at.second), base.values.push_back(value);
  Sparse m = base;
  // Row 1 once more at the end, so that its diagonal entry comes twice.
  if (repeated) m.rows.push_back(1), m.cols.push_back(1), m.values.push_back(0.0);
  std::vector<double> b(static_cast<size_t>(n)), x(static_cast<size_t>(n)),
      fresh_x(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) b[size_t(i)] = std::cos(i + 1.0);
  KVSLASystem* kept = lib.Create(m);
  ASSERT_NE(kept, nullptr);
  // Pivots and row scaling stay from the first values; the drivers' own
  // refinement makes up for rows that shrink or grow since.
  SetInt(kept, "MaxRefineIter", 2);
  std::mt19937 gen(3);
  std::uniform_real_distribution<double> jitter(0.5, 1.5);
  for (int round = 0; round < 8; ++round) {
    Sparse v = m;
    for (double& e : v.values) e *= jitter(gen);
    if (repeated) v.values.back() = 0.25 * round;
    const double row_factor = round == 2 ? 1e-12 : round == 3 ? 1e12 : 1.0;
    for (size_t k = 0; k < v.values.size(); ++k)
      if (v.rows[k] == 7) v.values[k] *= row_factor;
    if (round == 5) {  // row 9 a copy of row 4: singular, then regular again
      for (size_t k = 0; k < v.values.size(); ++k)
        if (v.rows[k] == 9) v.values[k] = 0.0;
      for (size_t k = 0; k < base.values.size(); ++k)
        if (v.rows[k] == 4)
          v.rows.push_back(9), v.cols.push_back(v.cols[k]), v.values.push_back(v.values[k]);
      KVSLASystem* s = lib.Create(v);
      EXPECT_EQ(s->SetMatrixValues(v.values.data()), kKvsSingular);
      s->Release();
      continue;
    }
    KVSLASystem* fresh = lib.Create(v);
    ASSERT_EQ(fresh->SetMatrixValues(v.values.data()), 0u) << round;
    fresh->SetRHS(b.data());
    ASSERT_EQ(fresh->Solve(fresh_x.data()), 0u) << round;
    fresh->Release();
    ASSERT_EQ(kept->SetMatrixValues(v.values.data()), 0u) << round;
    ASSERT_EQ(kept->SetRHS(b.data()), 0u);
    ASSERT_EQ(kept->Solve(x.data()), 0u) << round;
    // Rows of very different size: each row is judged on its own scale.
    EXPECT_LE(RowwiseBackwardError(v, x, b), 1e-12) << round;
    if (row_factor != 1.0) continue;
    for (int i = 0; i < n; ++i)
      EXPECT_NEAR(x[size_t(i)], fresh_x[size_t(i)],
                  1e-9 * std::max(1.0, std::fabs(fresh_x[size_t(i)])))
          << round << " " << i;
  }
  // A dependent row in the kept system, then regular values again.
  Sparse dependent = m;
  for (size_t k = 0; k < dependent.values.size(); ++k)
    if (dependent.rows[k] == 9) dependent.values[k] = 0.0;
  EXPECT_EQ(kept->SetMatrixValues(dependent.values.data()), kKvsSingular);
  ASSERT_EQ(kept->SetMatrixValues(m.values.data()), 0u);
  ASSERT_EQ(kept->Solve(x.data()), 0u);  // the right-hand side is kept
  EXPECT_LE(BackwardError(m, x, b), 1e-13);
  kept->Release();
}

TEST_P(LinearLibrary, RefactorisationsSolveAsFreshSystems) {
  RefactoriseAgainstFresh(*this, false);  // the pairs as given
  RefactoriseAgainstFresh(*this, true);   // compressed by columns
}

// Systems come and go: a new pattern of another size, or of the same size
// on arrays a dropped system gave back, solves right from its first values.
TEST_P(LinearLibrary, PatternsAfterDroppedSystemsSolve) {
  unsigned seed = 0;
  for (int n : {3000, 2500, 3000, 5000}) {
    const Sparse m = Banded(n, ++seed);
    std::vector<double> b(size_t(n), 1.0), x(static_cast<size_t>(n));
    KVSLASystem* s = Create(m);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(s->SetMatrixValues(m.values.data()), 0u) << n;
    ASSERT_EQ(s->SetRHS(b.data()), 0u);
    ASSERT_EQ(s->Solve(x.data()), 0u) << n;
    EXPECT_LE(BackwardError(m, x, b), 1e-13) << n;
    s->Release();
  }
  // Non-finite entries in the right-hand side or in a repeated pair fail.
  const Sparse twice{2, {1, 1, 2}, {1, 1, 2}, {1.0, std::nan(""), 1.0}};
  KVSLASystem* s = Create(twice);
  EXPECT_GT(s->SetMatrixValues(twice.values.data()), 0u);
  const double values[] = {1.0, 1.0, 2.0}, inf[] = {1.0, HUGE_VAL};
  double x[2];
  ASSERT_EQ(s->SetMatrixValues(values), 0u);
  ASSERT_EQ(s->SetRHS(inf), 0u);
  EXPECT_GT(s->Solve(x), 0u);
  const double b[] = {4.0, 4.0};
  ASSERT_EQ(s->SetRHS(b), 0u);
  ASSERT_EQ(s->Solve(x), 0u);
  EXPECT_DOUBLE_EQ(x[0], 2.0);  // the repeated pair's values add
  EXPECT_DOUBLE_EQ(x[1], 2.0);
  s->Release();
}

// Entries far off the bands, on a few rows only: the factors reach far
// beyond the bands there, and the plain solve still matches a dense LU.
TEST_P(LinearLibrary, FarEntriesOffTheBandsSolveToRoundOff) {
  for (int n : {60, 500}) {
    Sparse m = Banded(n, 11);
    for (int i = 1; i + 40 <= n; i += 13)
      m.rows.push_back(i), m.cols.push_back(i + 40), m.values.push_back(0.5);
    std::vector<double> b(static_cast<size_t>(n)), x(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) b[size_t(i)] = std::sin(i + 1.0);
    KVSLASystem* s = Create(m);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(s->SetMatrixValues(m.values.data()), 0u) << n;
    ASSERT_EQ(s->SetRHS(b.data()), 0u);
    ASSERT_EQ(s->Solve(x.data()), 0u) << n;
    EXPECT_LE(RowwiseBackwardError(m, x, b), 1e-14) << n;
    auto a = m.Dense();
    std::vector<int> ipiv(static_cast<size_t>(n));
    int one = 1, info = 0;
    dgesv_(&n, &one, a.data(), &n, ipiv.data(), b.data(), &n, &info);
    ASSERT_EQ(info, 0);
    for (int i = 0; i < n; ++i) EXPECT_NEAR(x[size_t(i)], b[size_t(i)], 1e-12) << n << " " << i;
    s->Release();
  }
}

TEST_P(LinearLibrary, BadInputFailsWithoutACrash) {
  const std::int64_t rows[] = {1, 2, 3}, cols[] = {1, 2, 0};
  const std::int64_t good[] = {1, 2, 2};
  KVSLASystem* s = nullptr;
  EXPECT_GT(factory_->CreateSystem(0, 0, 0, rows, cols, &handler_, &s), 0u);
  EXPECT_GT(factory_->CreateSystem(2, 2, 3, rows, cols, &handler_, &s), 0u);  // row 3, col 0
  EXPECT_GT(factory_->CreateSystem(2, 3, 2, good, good, &handler_, &s), 0u);  // not square
  EXPECT_GT(factory_->CreateSystem(2, 2, 2, nullptr, good, &handler_, &s), 0u);
  EXPECT_GT(factory_->CreateSystem(2, 2, 2, good, good, &handler_, nullptr), 0u);
  EXPECT_EQ(s, nullptr);
  ASSERT_EQ(factory_->CreateSystem(2, 2, 2, good, good, &handler_, &s), 0u);
  double x[2];
  const double nan[] = {1.0, std::nan("")};
  EXPECT_GT(s->Solve(x), 0u);  // nothing factorised yet
  EXPECT_GT(s->SetMatrixValues(nullptr), 0u);
  EXPECT_GT(s->SetMatrixValues(nan), 0u);
  EXPECT_GT(s->SetRHS(nullptr), 0u);
  EXPECT_GT(s->Solve(nullptr), 0u);
  EXPECT_GT(SetReal(s, "NoSuchParameter", 1.0), 0u);
  EXPECT_GT(SetInt(s, "PivotTolerance", 7), 0u);        // out of range
  EXPECT_GT(SetText(s, "MaxRefineIter", "three"), 0u);  // wrong kind
  EXPECT_GT(SetText(s, "UseTranspose", "maybe"), 0u);
  EXPECT_GT(SetParameter(s, "ErrorTol", 9, x), 0u);  // no such kind
  EXPECT_GT(SetParameter(s, nullptr, kKvsReal, x), 0u);
  s->Release();
}

TEST_P(LinearLibrary, ParametersAndTextsRoundTrip) {
  KVSServices* services = Services();
  void* unknown = nullptr;
  ASSERT_EQ(factory_->QueryInterface(IID_KVSUtilityComponent, &unknown), 0u);
  auto* utility = static_cast<KVSUtilityComponent*>(unknown);
  char* product = nullptr;
  ASSERT_EQ(utility->GetProduct(&product), 0u);
  EXPECT_GT(std::strlen(product), 0u);
  services->Free(product);
  utility->Release();

  const Sparse m = RandomSparse(3, 1);
  KVSLASystem* s = Create(m);
  void* p = nullptr;
  ASSERT_EQ(s->QueryInterface(IID_KVSParameters, &p), 0u);
  auto* params = static_cast<KVSParameters*>(p);
  std::int32_t count = 0;
  char** names = nullptr;
  params->GetCount(&count);
  ASSERT_EQ(params->GetNames(&names), 0u);
  std::vector<std::string> listed(names, names + count);
  for (int i = 0; i < count; ++i) services->Free(names[i]);
  services->Free(names);
  for (const char* wanted : {"Triangularisation", "DropTolerance", "PivotTolerance", "UseTranspose",
                             "ScaleMatrix", "RePivot", "PivotSearch", "ErrorTol", "MaxRefineIter"})
    EXPECT_NE(std::find(listed.begin(), listed.end(), wanted), listed.end()) << wanted;
  SetReal(s, "ErrorTol", 1e-7);
  SetText(s, "UseTranspose", "yes");
  std::int32_t kind = -1;
  double real = 0;
  char* text = nullptr;
  EXPECT_EQ(params->GetValue("ErrorTol", &kind, &real), 0u);
  EXPECT_EQ(kind, kKvsReal);
  EXPECT_EQ(real, 1e-7);
  EXPECT_EQ(params->GetValue("UseTranspose", &kind, &text), 0u);
  EXPECT_EQ(kind, kKvsText);
  EXPECT_STREQ(text, "YES");
  services->Free(text);
  params->Release();
  s->Release();
}

// Every listed name is found by its index in any case, its value kept
// apart from its neighbours'; a near miss is refused.
TEST_P(LinearLibrary, EveryListedNameIsFoundInAnyCase) {
  KVSServices* services = Services();
  KVSLASystem* s = Create(RandomSparse(3, 2));
  void* p = nullptr;
  ASSERT_EQ(s->QueryInterface(IID_KVSParameters, &p), 0u);
  auto* params = static_cast<KVSParameters*>(p);
  std::int32_t count = 0;
  char** names = nullptr;
  params->GetCount(&count);
  ASSERT_EQ(params->GetNames(&names), 0u);
  std::vector<std::string> listed(names, names + count);
  for (int i = 0; i < count; ++i) services->Free(names[i]);
  services->Free(names);
  ASSERT_GT(listed.size(), 8u);
  for (const std::string& name : listed) {
    std::string upper = name, lower = name;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const std::string& asked : {name, upper, lower}) {
      std::int32_t kind = -1;
      union {
        double real;
        std::int32_t integer;
        char* text;
      } value{};
      EXPECT_EQ(params->GetValue(asked.c_str(), &kind, &value), 0u) << asked;
      if (kind == kKvsText) services->Free(value.text);
    }
    std::int32_t kind = -1;
    double value = 0;
    EXPECT_GT(params->GetValue((name + "x").c_str(), &kind, &value), 0u) << name;
    EXPECT_GT(params->GetValue(name.substr(0, name.size() - 1).c_str(), &kind, &value), 0u)
        << name;
  }
  EXPECT_EQ(SetReal(s, "errortol", 3e-9), 0u);
  EXPECT_EQ(SetInt(s, "MAXREFINEITER", 4), 0u);
  std::int32_t kind = -1, refinements = 0;
  double tolerance = 0;
  EXPECT_EQ(params->GetValue("ErrorTol", &kind, &tolerance), 0u);
  EXPECT_EQ(tolerance, 3e-9);
  EXPECT_EQ(params->GetValue("MaxRefineIter", &kind, &refinements), 0u);
  EXPECT_EQ(refinements, 4);
  params->Release();
  s->Release();
}

INSTANTIATE_TEST_SUITE_P(Libraries, LinearLibrary, ::testing::Values("kvs_slu", "kvs_mfl"));

}  // namespace
