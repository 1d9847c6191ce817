// The sparse LU drivers against UMFPACK and KLU on the same systems in one
// run: analyse + factorize + solve, and refactorize (same pattern, new
// values) + solve. The drivers run with the lengths they report themselves,
// found once before timing, as the engine keeps them. After the run a table
// gives each CPU time as a ratio to UMFPACK's and KLU's; every benchmark reports
// the backward error of its solution as a counter.
#include <benchmark/benchmark.h>

#include <klu.h>
#include <umfpack.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "numerics/sparse_lu/defaults.h"
#include "numerics/sparse_lu/slu_drivers.h"
#include "numerics/sparse_lu/slu_interface.h"
#include "workloads/sparse_matrices.h"

namespace {

using slu_test::SparseMatrix;

enum Family {
  kRandom1k,    // n = 1,000, 6-10 entries a row
  kRandom10k,   // n = 10,000, about 5 entries a row
  kBanded,      // n = 10,000, half-width 4
  kLaplace100,  // 2-D Laplacian on 100 x 100
  kLaplace200,  // on 200 x 200
  kChain10k,    // block-triangular chain, about 1,000 blocks
  kChain40k,    // about 4,000 blocks
  kFlowsheet,   // Jacobian pattern of a generated process flowsheet
};

const char* const kNames[] = {"random1k",   "random10k", "banded10k", "laplace100",
                              "laplace200", "chain10k",  "chain40k",  "flowsheet"};

SparseMatrix RandomRows(std::int64_t n, std::mt19937_64& rng) {
  slu_test::Triplets t;
  std::uniform_int_distribution<std::int64_t> count(5, 9), column(1, n);
  for (std::int64_t i = 1; i <= n; ++i) {
    t.Add(i, i, 4.0 + slu_test::Uniform(rng, 0.0, 1.0));
    for (std::int64_t k = count(rng); k > 0; --k) t.Add(i, column(rng), slu_test::Uniform(rng));
  }
  return t.Build(n, n);
}

SparseMatrix Laplacian(std::int64_t side) {
  slu_test::Triplets t;
  auto id = [side](std::int64_t x, std::int64_t y) { return x * side + y + 1; };
  for (std::int64_t x = 0; x < side; ++x) {
    for (std::int64_t y = 0; y < side; ++y) {
      t.Add(id(x, y), id(x, y), 4.0);
      if (x > 0) t.Add(id(x, y), id(x - 1, y), -1.0);
      if (x + 1 < side) t.Add(id(x, y), id(x + 1, y), -1.0);
      if (y > 0) t.Add(id(x, y), id(x, y - 1), -1.0);
      if (y + 1 < side) t.Add(id(x, y), id(x, y + 1), -1.0);
    }
  }
  return t.Build(side * side, side * side);
}

// Blocks of order 1 to 19 (mean 10), dense inside, sparse coupling above.
SparseMatrix Chain(std::int64_t n, std::mt19937_64& rng) {
  std::vector<std::int64_t> orders;
  for (std::int64_t left = n; left > 0;) {
    const std::int64_t o = std::min<std::int64_t>(left, 1 + static_cast<std::int64_t>(rng() % 19));
    orders.push_back(o);
    left -= o;
  }
  return slu_test::PermutedBlockTriangular(orders, 2.0 / static_cast<double>(n), rng);
}

// Units in a line, each a short run of sequential equations feeding a small
// algebraic loop, fed by the previous unit's outlet; a recycle every 40
// units ties 5 units into one larger block. Rows and columns permuted.
SparseMatrix Flowsheet(std::int64_t units, std::mt19937_64& rng) {
  slu_test::Triplets t;
  std::int64_t first = 1;
  std::vector<std::int64_t> outlet;
  std::uniform_int_distribution<std::int64_t> run(3, 12), loop(2, 5);
  std::vector<std::int64_t> unit_first;
  for (std::int64_t u = 0; u < units; ++u) {
    unit_first.push_back(first);
    const std::int64_t r = run(rng), l = loop(rng), size = r + l;
    for (std::int64_t k = 0; k < size; ++k) {
      const std::int64_t row = first + k;
      t.Add(row, row, 2.0 + slu_test::Uniform(rng, 0.0, 1.0));
      if (k > 0) t.Add(row, row - 1, slu_test::Uniform(rng));
      if (k >= r) {
        for (std::int64_t c = first + r; c < first + size; ++c) {
          if (c != row) t.Add(row, c, 0.3 * slu_test::Uniform(rng));
        }
      }
    }
    for (std::int64_t v : outlet) t.Add(first, v, slu_test::Uniform(rng));
    outlet = {first + size - 1, first + size - 2};
    if (u % 40 == 39) t.Add(unit_first[static_cast<std::size_t>(u - 4)], first + size - 1, 0.1);
    first += size;
  }
  const std::int64_t n = first - 1;
  std::vector<std::int64_t> pr(static_cast<std::size_t>(n)), pc(pr.size());
  for (std::int64_t i = 0; i < n; ++i)
    pr[static_cast<std::size_t>(i)] = pc[static_cast<std::size_t>(i)] = i + 1;
  std::shuffle(pr.begin(), pr.end(), rng);
  std::shuffle(pc.begin(), pc.end(), rng);
  for (auto& i : t.rows) i = pr[static_cast<std::size_t>(i - 1)];
  for (auto& j : t.cols) j = pc[static_cast<std::size_t>(j - 1)];
  return t.Build(n, n);
}

const SparseMatrix& MatrixFor(Family family) {
  static std::map<int, SparseMatrix> cache;
  auto [it, inserted] = cache.try_emplace(family);
  if (inserted) {
    std::mt19937_64 rng(4321 + family);
    switch (family) {
      case kRandom1k:
        it->second = RandomRows(1000, rng);
        break;
      case kRandom10k:
        it->second = slu_test::RandomSparse(10000, 4e-4, rng);
        break;
      case kBanded:
        it->second = slu_test::Banded(10000, 4, rng);
        break;
      case kLaplace100:
        it->second = Laplacian(100);
        break;
      case kLaplace200:
        it->second = Laplacian(200);
        break;
      case kChain10k:
        it->second = Chain(10000, rng);
        break;
      case kChain40k:
        it->second = Chain(40000, rng);
        break;
      case kFlowsheet:
        it->second = Flowsheet(1000, rng);
        break;
    }
  }
  return it->second;
}

// The same pattern with other values, for the refactorizations.
const SparseMatrix& NewValuesFor(Family family) {
  static std::map<int, SparseMatrix> cache;
  auto [it, inserted] = cache.try_emplace(family);
  if (inserted) {
    std::mt19937_64 rng(99);
    it->second = MatrixFor(family);
    for (double& v : it->second.values) v *= 1.0 + 0.1 * slu_test::Uniform(rng);
  }
  return it->second;
}

std::vector<double> RightHandSide(std::int64_t n) {
  std::vector<double> b(static_cast<std::size_t>(n));
  for (std::int64_t i = 0; i < n; ++i)
    b[static_cast<std::size_t>(i)] = std::sin(static_cast<double>(i + 1));
  return b;
}

double BackwardError(const SparseMatrix& a, const std::vector<double>& x,
                     const std::vector<double>& b) {
  std::vector<double> r = b, row_sums(b.size(), 0.0);
  for (std::int64_t j = 1; j <= a.n; ++j) {
    for (std::int64_t e = a.colptr[j - 1]; e < a.colptr[j]; ++e) {
      const auto i = static_cast<std::size_t>(a.rows[e - 1] - 1);
      r[i] -= a.values[e - 1] * x[static_cast<std::size_t>(j - 1)];
      row_sums[i] += std::fabs(a.values[e - 1]);
    }
  }
  auto max_abs = [](const std::vector<double>& v) {
    double m = 0.0;
    for (double y : v) m = std::max(m, std::fabs(y));
    return m;
  };
  return max_abs(r) / (max_abs(row_sums) * max_abs(x) + max_abs(b));
}

// The drivers with the engine's array lengths.
struct Drivers {
  explicit Drivers(const SparseMatrix& a) : a_(a), n_(a.n), ne_(a.nnz()) {
    SluSetDefaults(cntl_, icntl_);
    icntl_[0] = icntl_[1] = 0;
    for (std::int64_t j = 1; j <= a.n; ++j) {
      for (std::int64_t e = a.colptr[j - 1]; e < a.colptr[j]; ++e) {
        rows_.push_back(a.rows[e - 1]);
        cols_.push_back(j);
      }
    }
    keep_.resize(static_cast<std::size_t>(10 * n_ + 7));
    iw_.resize(static_cast<std::size_t>(9 * n_));
    w_.resize(static_cast<std::size_t>(4 * n_));
    // The lengths the routines report, found once.
    la_ = 5 * ne_;
    if (Analyse() == -3) {
      la_ = info_[2];
      Analyse();
    }
    la_ = std::max(la_, std::max(info_[2], info_[3]));
    Analyse();
    if (Factorize(1, a.values) == -3) {
      la_ = info_[3];
      Analyse();
      Factorize(1, a.values);
    }
    compresses_ = 0;
  }

  std::int64_t Analyse() {
    const std::int64_t job = 1;
    a_work_.assign(static_cast<std::size_t>(la_), 0.0);
    irn_.assign(static_cast<std::size_t>(la_), 0);
    std::copy(a_.values.begin(), a_.values.end(), a_work_.begin());
    std::copy(rows_.begin(), rows_.end(), irn_.begin());
    jcn_ = cols_;
    SluAnalyse(&n_, &n_, &ne_, &job, &la_, a_work_.data(), irn_.data(), jcn_.data(), keep_.data(),
               cntl_, icntl_, iw_.data(), info_, &rinfo_);
    compresses_ = info_[1];
    return info_[0];
  }
  std::int64_t Factorize(std::int64_t job, const std::vector<double>& values) {
    std::copy(values.begin(), values.end(), a_work_.begin());
    SluFactorize(&n_, &n_, &ne_, &job, &la_, a_work_.data(), irn_.data(), jcn_.data(), keep_.data(),
                 cntl_, icntl_, w_.data(), iw_.data(), info_, &rinfo_);
    return info_[0];
  }
  void Solve(std::vector<double>& b, std::vector<double>& x) {
    const std::int64_t job = 1, trans = 0;
    double error[3];
    std::int64_t info[12];
    SluSolve(&n_, &n_, &trans, &job, &la_, a_work_.data(), irn_.data(), keep_.data(), cntl_, icntl_,
             b.data(), x.data(), error, w_.data(), iw_.data(), info);
  }

  const SparseMatrix& a_;
  std::int64_t n_, ne_, la_ = 0, compresses_ = 0;
  double cntl_[5], rinfo_ = 0.0;
  std::int64_t icntl_[9], info_[12];
  std::vector<std::int64_t> rows_, cols_, irn_, jcn_, keep_, iw_;
  std::vector<double> a_work_, w_;
};

void Report(benchmark::State& state, const SparseMatrix& a, const std::vector<double>& x,
            const std::vector<double>& b) {
  state.counters["backward_error"] = BackwardError(a, x, b);
  state.counters["n"] = static_cast<double>(a.n);
  state.counters["nnz"] = static_cast<double>(a.nnz());
}

void BM_Slu(benchmark::State& state) {
  const auto family = static_cast<Family>(state.range(0));
  const bool refactor = state.range(1) != 0;
  const SparseMatrix& a = MatrixFor(family);
  const SparseMatrix& fresh = NewValuesFor(family);
  Drivers slu(a);
  auto b = RightHandSide(a.n);
  std::vector<double> x(b.size());
  for (auto _ : state) {
    if (refactor) {
      slu.Factorize(2, fresh.values);
    } else {
      slu.Analyse();
      slu.Factorize(1, a.values);
    }
    slu.Solve(b, x);
    benchmark::DoNotOptimize(x.data());
  }
  Report(state, refactor ? fresh : a, x, b);
  state.counters["la_per_nnz"] = static_cast<double>(slu.la_) / static_cast<double>(a.nnz());
  state.counters["compresses"] = static_cast<double>(slu.compresses_);
  const slu::KeepLayout layout(a.n, a.n);
  state.counters["blocks"] =
      static_cast<double>(slu.keep_[static_cast<std::size_t>(layout.BlockStart(1) - 1)]);
}

struct Compressed {
  explicit Compressed(const SparseMatrix& a)
      : ap(a.colptr.begin(), a.colptr.end()), ai(a.rows.begin(), a.rows.end()) {
    for (auto& p : ap) --p;
    for (auto& i : ai) --i;
  }
  std::vector<SuiteSparse_long> ap, ai;
};

void BM_Umfpack(benchmark::State& state) {
  const auto family = static_cast<Family>(state.range(0));
  const bool refactor = state.range(1) != 0;
  const SparseMatrix& a = MatrixFor(family);
  const SparseMatrix& fresh = NewValuesFor(family);
  const Compressed c(a);
  const auto b = RightHandSide(a.n);
  std::vector<double> x(b.size());
  void* symbolic = nullptr;
  void* numeric = nullptr;
  umfpack_dl_symbolic(a.m, a.n, c.ap.data(), c.ai.data(), a.values.data(), &symbolic, nullptr,
                      nullptr);
  for (auto _ : state) {
    const SparseMatrix& m = refactor ? fresh : a;
    if (!refactor) {
      umfpack_dl_free_symbolic(&symbolic);
      umfpack_dl_symbolic(a.m, a.n, c.ap.data(), c.ai.data(), a.values.data(), &symbolic, nullptr,
                          nullptr);
    }
    umfpack_dl_numeric(c.ap.data(), c.ai.data(), m.values.data(), symbolic, &numeric, nullptr,
                       nullptr);
    umfpack_dl_solve(UMFPACK_A, c.ap.data(), c.ai.data(), m.values.data(), x.data(), b.data(),
                     numeric, nullptr, nullptr);
    umfpack_dl_free_numeric(&numeric);
    benchmark::DoNotOptimize(x.data());
  }
  umfpack_dl_free_symbolic(&symbolic);
  Report(state, refactor ? fresh : a, x, b);
}

void BM_Klu(benchmark::State& state) {
  const auto family = static_cast<Family>(state.range(0));
  const bool refactor = state.range(1) != 0;
  const SparseMatrix& a = MatrixFor(family);
  const SparseMatrix& fresh = NewValuesFor(family);
  Compressed c(a);
  const auto b = RightHandSide(a.n);
  std::vector<double> x;
  klu_l_common common;
  klu_l_defaults(&common);
  klu_l_symbolic* symbolic = klu_l_analyze(a.n, c.ap.data(), c.ai.data(), &common);
  klu_l_numeric* numeric = klu_l_factor(c.ap.data(), c.ai.data(),
                                        const_cast<double*>(a.values.data()), symbolic, &common);
  for (auto _ : state) {
    if (refactor) {
      klu_l_refactor(c.ap.data(), c.ai.data(), const_cast<double*>(fresh.values.data()), symbolic,
                     numeric, &common);
    } else {
      klu_l_free_numeric(&numeric, &common);
      klu_l_free_symbolic(&symbolic, &common);
      symbolic = klu_l_analyze(a.n, c.ap.data(), c.ai.data(), &common);
      numeric = klu_l_factor(c.ap.data(), c.ai.data(), const_cast<double*>(a.values.data()),
                             symbolic, &common);
    }
    x = b;
    klu_l_solve(symbolic, numeric, a.n, 1, x.data(), &common);
    benchmark::DoNotOptimize(x.data());
  }
  klu_l_free_numeric(&numeric, &common);
  klu_l_free_symbolic(&symbolic, &common);
  Report(state, refactor ? fresh : a, x, b);
}

void Cases(benchmark::internal::Benchmark* b) {
  for (int family = kRandom1k; family <= kFlowsheet; ++family) {
    for (int refactor : {0, 1}) b->Args({family, refactor});
  }
  b->ArgNames({"family", "refactor"})->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_Slu)->Apply(Cases);
BENCHMARK(BM_Umfpack)->Apply(Cases);
BENCHMARK(BM_Klu)->Apply(Cases);

// Keeps each run's CPU time per iteration (all three run on one thread;
// CPU time stays fair on a shared machine), keyed by solver and case.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const std::string name = run.benchmark_name();
      const auto slash = name.find('/');
      times_[name.substr(slash)][name.substr(0, slash)] = run.GetAdjustedCPUTime();
    }
  }
  void PrintRatios() const {
    std::printf("\n%-28s %12s %12s %12s %10s %10s\n", "case", "slu ms", "umfpack ms", "klu ms",
                "slu/umf", "slu/klu");
    for (int family = kRandom1k; family <= kFlowsheet; ++family) {
      for (int refactor : {0, 1}) {
        const std::string key =
            "/family:" + std::to_string(family) + "/refactor:" + std::to_string(refactor);
        const auto it = times_.find(key);
        if (it == times_.end()) continue;
        auto time = [&](const char* solver) {
          const auto t = it->second.find(solver);
          return t == it->second.end() ? NAN : t->second;
        };
        const double slu = time("BM_Slu"), umf = time("BM_Umfpack"), klu = time("BM_Klu");
        const std::string label =
            std::string(kNames[family]) + (refactor != 0 ? " refactor" : " full");
        std::printf("%-28s %12.3f %12.3f %12.3f %10.2f %10.2f\n", label.c_str(), slu, umf, klu,
                    slu / umf, slu / klu);
      }
    }
  }

 private:
  std::map<std::string, std::map<std::string, double>> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
