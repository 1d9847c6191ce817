// Analyse, factorize and solve of the sparse LU kernels on random, banded and
// block-triangular families, with UMFPACK and LAPACK solving the same
// systems in the same run. Each benchmark reports the backward error of its
// solution as a counter, so that speed is never bought with accuracy.
#include <benchmark/benchmark.h>

#include <umfpack.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "numerics/sparse_lu/defaults.h"
#include "numerics/sparse_lu/kernel_analyse.h"
#include "numerics/sparse_lu/kernel_factorize.h"
#include "numerics/sparse_lu/kernel_solve.h"
#include "workloads/sparse_matrices.h"

extern "C" {
void dgetrf_(const int* m, const int* n, double* a, const int* lda, int* ipiv, int* info);
void dgetrs_(const char* trans, const int* n, const int* nrhs, const double* a, const int* lda,
             const int* ipiv, double* b, const int* ldb, int* info, std::size_t trans_len);
}

namespace {

using slu_test::SparseMatrix;

enum Family { kRandom, kBanded, kBlockTriangular };

const SparseMatrix& MatrixFor(Family family, std::int64_t n) {
  static std::map<std::pair<int, std::int64_t>, SparseMatrix> cache;
  auto [it, inserted] = cache.try_emplace({family, n});
  if (inserted) {
    std::mt19937_64 rng(1234 + n);
    switch (family) {
      case kRandom:
        it->second = slu_test::RandomSparse(n, 4.0 / static_cast<double>(n), rng);
        break;
      case kBanded:
        it->second = slu_test::Banded(n, 4, rng);
        break;
      case kBlockTriangular: {
        std::vector<std::int64_t> orders;
        for (std::int64_t left = n; left > 0;) {
          const std::int64_t o =
              std::min<std::int64_t>(left, 1 + static_cast<std::int64_t>(rng() % 40));
          orders.push_back(o);
          left -= o;
        }
        it->second = slu_test::PermutedBlockTriangular(orders, 4.0 / static_cast<double>(n), rng);
        break;
      }
    }
  }
  return it->second;
}

std::vector<double> RightHandSide(std::int64_t n) {
  std::vector<double> b(static_cast<std::size_t>(n));
  for (std::int64_t i = 0; i < n; ++i) b[i] = std::sin(static_cast<double>(i + 1));
  return b;
}

double BackwardError(const SparseMatrix& a, const std::vector<double>& x,
                     const std::vector<double>& b) {
  std::vector<double> r = b, row_sums(b.size(), 0.0);
  for (std::int64_t j = 1; j <= a.n; ++j) {
    for (std::int64_t e = a.colptr[j - 1]; e < a.colptr[j]; ++e) {
      const auto i = static_cast<std::size_t>(a.rows[e - 1] - 1);
      r[i] -= a.values[e - 1] * x[j - 1];
      row_sums[i] += std::fabs(a.values[e - 1]);
    }
  }
  auto max_abs = [](const std::vector<double>& v) {
    double m = 0.0;
    for (double x : v) m = std::max(m, std::fabs(x));
    return m;
  };
  return max_abs(r) / (max_abs(row_sums) * max_abs(x) + max_abs(b));
}

// One analyse + factorize + solve with the kernels.
struct KernelRun {
  explicit KernelRun(const SparseMatrix& a) : a_(a) {
    SluKernelSetDefaults(cntl_, icntl_);
    icntl_[0] = icntl_[1] = 0;
  }

  std::vector<double> Solve(const std::vector<double>& b) {
    const std::int64_t m = a_.m, n = a_.n, ne = a_.nnz();
    // The engine's first length; a shortage is met with twice the least
    // length, since running at the least length compresses on every move.
    std::int64_t la = 5 * ne;
    std::vector<std::int64_t> iq, ip(m), colhead(m), rowlen(m), rowprev(m), rownext(m), rowmark(m),
        ifirst(n), collen(n), colprev(n), colnext(n);
    std::int64_t info[7], np = 0;
    double rinfo = 0.0;
    for (;;) {
      a_work_.assign(static_cast<std::size_t>(la), 0.0);
      irn_.assign(static_cast<std::size_t>(la), 0);
      jcn_.assign(static_cast<std::size_t>(la), 0);
      std::copy(a_.values.begin(), a_.values.end(), a_work_.begin());
      std::copy(a_.rows.begin(), a_.rows.end(), irn_.begin());
      iq.assign(a_.colptr.begin(), a_.colptr.end() - 1);
      SluKernelAnalyse(&m, &n, &ne, &la, a_work_.data(), irn_.data(), jcn_.data(), iq.data(), cntl_,
                       icntl_, ip.data(), &np, colhead.data(), rowlen.data(), rowprev.data(),
                       rownext.data(), rowmark.data(), ifirst.data(), collen.data(), colprev.data(),
                       colnext.data(), info, &rinfo);
      compresses_ = info[1];
      if (info[0] != -3) break;
      la = 2 * info[2];
    }
    std::int64_t lfact = std::max(info[3], ne + 2);
    const std::int64_t job = 1;
    std::vector<std::int64_t> colptr(a_.colptr.begin(), a_.colptr.end() - 1);
    std::vector<std::int64_t> iwork(static_cast<std::size_t>(SluKernelFactorizeWorkLength(m, n)));
    std::vector<std::int64_t> iptrl(n), iptru(n);
    std::vector<double> rwork(static_cast<std::size_t>(std::max(m, n)));
    for (;;) {
      factors_.assign(static_cast<std::size_t>(lfact), 0.0);
      irnf_.assign(static_cast<std::size_t>(lfact), 0);
      SluKernelFactorize(&m, &n, &ne, &job, a_.values.data(), a_.rows.data(), colptr.data(), cntl_,
                         icntl_, ip.data(), iq.data(), &np, &lfact, factors_.data(), irnf_.data(),
                         iptrl.data(), iptru.data(), rwork.data(), iwork.data(), info, &rinfo);
      if (info[0] != -3) break;
      lfact = info[3];
    }
    std::vector<double> x(static_cast<std::size_t>(n));
    const std::int64_t trans = 0;
    SluKernelSolve(&m, &n, icntl_, iq.data(), &np, &trans, &lfact, factors_.data(), irnf_.data(),
                   iptrl.data(), iptru.data(), b.data(), x.data(), rwork.data(), info);
    return x;
  }

  const SparseMatrix& a_;
  std::int64_t compresses_ = 0;
  double cntl_[4];
  std::int64_t icntl_[7];
  std::vector<double> a_work_, factors_;
  std::vector<std::int64_t> irn_, jcn_, irnf_;
};

void BM_SparseLuKernels(benchmark::State& state) {
  const SparseMatrix& a = MatrixFor(static_cast<Family>(state.range(0)), state.range(1));
  const auto b = RightHandSide(a.n);
  KernelRun run(a);
  std::vector<double> x;
  for (auto _ : state) {
    x = run.Solve(b);
    benchmark::DoNotOptimize(x.data());
  }
  state.counters["backward_error"] = BackwardError(a, x, b);
  state.counters["nnz"] = static_cast<double>(a.nnz());
  state.counters["compresses"] = static_cast<double>(run.compresses_);
}

void BM_Umfpack(benchmark::State& state) {
  const SparseMatrix& a = MatrixFor(static_cast<Family>(state.range(0)), state.range(1));
  const auto b = RightHandSide(a.n);
  std::vector<SuiteSparse_long> ap(a.colptr.begin(), a.colptr.end()),
      ai(a.rows.begin(), a.rows.end());
  for (auto& p : ap) --p;
  for (auto& i : ai) --i;
  std::vector<double> x(static_cast<std::size_t>(a.n));
  for (auto _ : state) {
    void* symbolic = nullptr;
    void* numeric = nullptr;
    umfpack_dl_symbolic(a.m, a.n, ap.data(), ai.data(), a.values.data(), &symbolic, nullptr,
                        nullptr);
    umfpack_dl_numeric(ap.data(), ai.data(), a.values.data(), symbolic, &numeric, nullptr, nullptr);
    umfpack_dl_solve(UMFPACK_A, ap.data(), ai.data(), a.values.data(), x.data(), b.data(), numeric,
                     nullptr, nullptr);
    umfpack_dl_free_numeric(&numeric);
    umfpack_dl_free_symbolic(&symbolic);
    benchmark::DoNotOptimize(x.data());
  }
  state.counters["backward_error"] = BackwardError(a, x, b);
}

void BM_LapackDense(benchmark::State& state) {
  const SparseMatrix& a = MatrixFor(static_cast<Family>(state.range(0)), state.range(1));
  const auto b = RightHandSide(a.n);
  const int n = static_cast<int>(a.n), one = 1;
  std::vector<int> ipiv(static_cast<std::size_t>(n));
  std::vector<double> x;
  for (auto _ : state) {
    std::vector<double> dense = a.Dense();
    x = b;
    int info = 0;
    dgetrf_(&n, &n, dense.data(), &n, ipiv.data(), &info);
    dgetrs_("N", &n, &one, dense.data(), &n, ipiv.data(), x.data(), &n, &info, 1);
    benchmark::DoNotOptimize(x.data());
  }
  state.counters["backward_error"] = BackwardError(a, x, b);
}

void Families(benchmark::internal::Benchmark* b, std::int64_t largest) {
  for (int family : {kRandom, kBanded, kBlockTriangular}) {
    for (std::int64_t n : {300, 1000, 2000}) {
      if (n <= largest) b->Args({family, n});
    }
  }
  b->ArgNames({"family", "n"})->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_SparseLuKernels)->Apply([](auto* b) { Families(b, 2000); });
BENCHMARK(BM_Umfpack)->Apply([](auto* b) { Families(b, 2000); });
BENCHMARK(BM_LapackDense)->Apply([](auto* b) { Families(b, 1000); });

}  // namespace

BENCHMARK_MAIN();
