// The two-entry elimination on a flowsheet's equations: replay on new
// values, refactorisation of the reduced matrix and the solve of S^T y = c,
// beside refactorisation and solve of the whole matrix with our drivers and
// with KLU, timed in the same iterations. Counters give each time per
// iteration and the ratios of ours to the others ("x_drivers", "x_klu").
#include <benchmark/benchmark.h>

#include <klu.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>
#include <vector>

#include "numerics/sparse_lu/defaults.h"
#include "numerics/sparse_lu/further_routines.h"
#include "numerics/sparse_lu/slu_drivers.h"
#include "workloads/sparse_matrices.h"

namespace {

using Ints = std::vector<std::int64_t>;
using Reals = std::vector<double>;
using Clock = std::chrono::steady_clock;

std::size_t Z(std::int64_t v) { return static_cast<std::size_t>(v); }

// Equations as columns: units of 6 unknowns with 5 dense equations and one
// connection to the previous unit, then a chain of two-entry equations fed
// by the last unit. The transpose is diagonally dominant by rows.
struct Flowsheet {
  std::int64_t n = 0;
  Ints rows, cols;  // by column, 1-based
  Reals values;
};

Flowsheet MakeFlowsheet(std::int64_t units, std::int64_t chain, std::mt19937_64& rng) {
  Flowsheet f;
  f.n = 6 * units + chain;
  auto add = [&](std::int64_t i, std::int64_t j, double v) {
    f.rows.push_back(i);
    f.cols.push_back(j);
    f.values.push_back(v);
  };
  auto connection = [&](std::int64_t self, std::int64_t other) {
    if (other < self) add(other, self, slu_test::Uniform(rng, 0.2, 0.8));
    add(self, self, slu_test::Uniform(rng, 2.0, 3.0));
    if (other > self) add(other, self, slu_test::Uniform(rng, 0.2, 0.8));
  };
  for (std::int64_t u = 0; u < units; ++u) {
    const std::int64_t first = 6 * u + 1;
    connection(first, u > 0 ? first - 1 : first + 1);
    for (std::int64_t j = first + 1; j < first + 6; ++j) {
      for (std::int64_t i = first; i < first + 6; ++i) {
        add(i, j, i == j ? 8.0 + slu_test::Uniform(rng) : slu_test::Uniform(rng));
      }
    }
  }
  for (std::int64_t j = 6 * units + 1; j <= f.n; ++j) connection(j, j - 1);
  return f;
}

// The drivers on one square coordinate matrix, analysed and factorized once
// with the lengths they report; then refactorized and solved transposed.
struct Drivers {
  Drivers(std::int64_t order, const Ints& r, const Ints& c, const Reals& v)
      : n(order), ne(std::int64_t(v.size())), rows(r), cols(c) {
    SluSetDefaults(cntl, icntl);
    icntl[0] = icntl[1] = 0;
    keep.resize(Z(10 * n + 7));
    iw.resize(Z(9 * n));
    w.resize(Z(4 * n));
    la = 5 * ne;
    for (int attempt = 0; attempt < 3; ++attempt) {
      a.assign(Z(la), 0.0);
      irn.assign(Z(la), 0);
      std::copy(v.begin(), v.end(), a.begin());
      std::copy(rows.begin(), rows.end(), irn.begin());
      jcn = cols;
      const std::int64_t job = 1;
      SluAnalyse(&n, &n, &ne, &job, &la, a.data(), irn.data(), jcn.data(), keep.data(), cntl, icntl,
                 iw.data(), info, &rinfo);
      if (info[0] == -3) {
        la = info[2];
        continue;
      }
      if (Factorize(1, v) != -3) break;
      la = info[3];
    }
  }
  std::int64_t Factorize(std::int64_t job, const Reals& v) {
    std::copy(v.begin(), v.end(), a.begin());
    SluFactorize(&n, &n, &ne, &job, &la, a.data(), irn.data(), jcn.data(), keep.data(), cntl, icntl,
                 w.data(), iw.data(), info, &rinfo);
    return info[0];
  }
  void SolveTransposed(Reals& b, Reals& x) {
    const std::int64_t job = 1, trans = 1;
    double error[3];
    std::int64_t solve_info[12];
    SluSolve(&n, &n, &trans, &job, &la, a.data(), irn.data(), keep.data(), cntl, icntl, b.data(),
             x.data(), error, w.data(), iw.data(), solve_info);
  }

  std::int64_t n, ne, la = 0;
  Ints rows, cols, irn, jcn, keep, iw;
  Reals a, w;
  double cntl[5], rinfo = 0.0;
  std::int64_t icntl[9], info[12];
};

// Merge, eliminate and keep everything the replays and solves need.
struct Eliminated {
  explicit Eliminated(const Flowsheet& f) : n(f.n), ne(std::int64_t(f.values.size())) {
    values = f.values;
    jcn = f.cols;
    irn = f.rows;
    colstart.resize(Z(n + 1));
    colcount.resize(Z(n));
    queue.resize(Z(n));
    kept.resize(Z(ne));
    dup.resize(Z(ne));
    oldpos.resize(Z(ne));
    Ints mark(Z(n));
    MergeDuplicates(&n, &ne, values.data(), jcn.data(), irn.data(), colstart.data(),
                    colcount.data(), &k, queue.data(), &ndup, kept.data(), dup.data(), &nkept,
                    oldpos.data(), mark.data());
    list.resize(Z(nkept));
    for (std::int64_t p = 1; p <= nkept; ++p) list[Z(p - 1)] = p;
    for (Ints* v : {&rowold, &target, &pivotrow, &epos, &dpos, &pivotend, &targetend, &xtarget,
                    &xpivot, &xrecord})
      v->resize(Z(n));
    mult.resize(Z(n));
    pivot.resize(Z(n));
    range.resize(Z(n + 1));
    mergeptr.resize(Z(n + 1));
    lsave = 8 * nkept;
    for (Ints* v : {&pivpos, &pivcol, &tarpos, &tarcol}) v->resize(Z(lsave));
    saved.resize(Z(lsave));
    mkept.resize(Z(nkept));
    mremoved.resize(Z(nkept));
    Ints iw(Z(3 * n + 3 * nkept));
    TwoEntryColumnEliminate(
        &n, &nkept, values.data(), jcn.data(), irn.data(), colstart.data(), rowold.data(),
        list.data(), colcount.data(), &k, queue.data(), target.data(), pivotrow.data(), mult.data(),
        epos.data(), dpos.data(), pivot.data(), range.data(), pivotend.data(), targetend.data(),
        saved.data(), pivpos.data(), pivcol.data(), tarpos.data(), tarcol.data(), &nmerge,
        mergeptr.data(), mkept.data(), mremoved.data(), &nremain, iw.data(), &lsave);
    values.resize(Z(nremain));
    jcn.resize(Z(nremain));
    irn.resize(Z(nremain));
  }

  void Replay(Reals& v) {
    const std::int64_t spare = 0;
    EliminationReplay3(
        &n, &ne, v.data(), &spare, list.data(), &k, &spare, target.data(), pivotrow.data(),
        mult.data(), epos.data(), dpos.data(), pivot.data(), range.data(), pivotend.data(),
        targetend.data(), pivpos.data(), pivcol.data(), tarpos.data(), tarcol.data(), mkept.data(),
        mremoved.data(), saved.data(), mergeptr.data(), &ndup, kept.data(), dup.data(), &nkept,
        oldpos.data(), &nexch, xtarget.data(), xpivot.data(), &nremain, xrecord.data());
  }

  std::int64_t n, ne, k = 0, ndup = 0, nkept = 0, nmerge = 0, nremain = 0, nexch = 0, lsave = 0;
  Reals values, mult, pivot, saved;
  Ints jcn, irn, colstart, colcount, queue, kept, dup, oldpos, list, rowold, target, pivotrow, epos,
      dpos, range, pivotend, targetend, pivpos, pivcol, tarpos, tarcol, mergeptr, mkept, mremoved,
      xtarget, xpivot, xrecord;
};

double Seconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

void BM_TwoEntryFlowsheet(benchmark::State& state) {
  std::mt19937_64 rng(17);
  const Flowsheet f = MakeFlowsheet(state.range(0), state.range(1), rng);
  Reals fresh = f.values;
  for (double& v : fresh) v *= slu_test::Uniform(rng, 0.9, 1.1);
  Reals c(Z(f.n));
  for (std::int64_t i = 0; i < f.n; ++i) c[Z(i)] = std::sin(double(i + 1));

  Eliminated e(f);
  const std::int64_t m = f.n - e.k;
  Drivers reduced(m, e.irn, e.jcn, e.values), full(f.n, f.rows, f.cols, f.values);

  // KLU on the same matrix by columns (0-based).
  std::vector<SuiteSparse_long> ap(Z(f.n + 1), 0), ai(f.rows.size());
  for (std::int64_t col : f.cols) ++ap[Z(col)];
  for (std::int64_t j = 0; j < f.n; ++j) ap[Z(j + 1)] += ap[Z(j)];
  for (std::size_t p = 0; p < f.rows.size(); ++p) ai[p] = f.rows[p] - 1;
  klu_l_common common;
  klu_l_defaults(&common);
  klu_l_symbolic* symbolic = klu_l_analyze(f.n, ap.data(), ai.data(), &common);
  klu_l_numeric* numeric =
      klu_l_factor(ap.data(), ai.data(), const_cast<double*>(f.values.data()), symbolic, &common);

  Reals ours(Z(f.n)), theirs(Z(f.n)), klu(Z(f.n)), work, x(Z(f.n)), y(Z(m)), z(Z(m)), b;
  double ours_s = 0, drivers_s = 0, klu_s = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    work = fresh;
    e.Replay(work);
    reduced.Factorize(2, work);
    x = c;
    ScaledColumnSolve(&e.n, &e.k, e.queue.data(), x.data(), y.data(), e.pivot.data(),
                      e.saved.data(), e.range.data(), e.pivotend.data(), e.colstart.data(),
                      e.pivcol.data());
    reduced.SolveTransposed(y, z);
    const std::int64_t exchanges = std::max<std::int64_t>(e.nexch, 0);
    ApplyRowOperations(&e.n, &e.k, e.queue.data(), e.target.data(), e.pivotrow.data(),
                       e.mult.data(), x.data(), ours.data(), z.data(), e.rowold.data(), &exchanges,
                       e.xtarget.data(), e.xpivot.data(), e.xrecord.data());
    const auto t1 = Clock::now();
    full.Factorize(2, fresh);
    b = c;
    full.SolveTransposed(b, theirs);
    const auto t2 = Clock::now();
    klu_l_refactor(ap.data(), ai.data(), fresh.data(), symbolic, numeric, &common);
    klu = c;
    klu_l_tsolve(symbolic, numeric, f.n, 1, klu.data(), &common);
    const auto t3 = Clock::now();
    benchmark::DoNotOptimize(ours.data());
    benchmark::DoNotOptimize(klu.data());
    ours_s += Seconds(t0, t1);
    drivers_s += Seconds(t1, t2);
    klu_s += Seconds(t2, t3);
    state.SetIterationTime(Seconds(t0, t1));
  }
  klu_l_free_numeric(&numeric, &common);
  klu_l_free_symbolic(&symbolic, &common);
  double difference = 0, size = 0;
  for (std::size_t i = 0; i < ours.size(); ++i) {
    difference = std::max(difference, std::fabs(ours[i] - klu[i]));
    size = std::max(size, std::fabs(klu[i]));
  }
  const double runs = double(state.iterations());
  state.counters["ours_ms"] = 1e3 * ours_s / runs;
  state.counters["drivers_ms"] = 1e3 * drivers_s / runs;
  state.counters["klu_ms"] = 1e3 * klu_s / runs;
  state.counters["x_drivers"] = ours_s / drivers_s;
  state.counters["x_klu"] = ours_s / klu_s;
  state.counters["n"] = double(f.n);
  state.counters["eliminated"] = double(e.k);
  state.counters["rel_diff_klu"] = difference / size;
}

BENCHMARK(BM_TwoEntryFlowsheet)
    ->Args({20000, 100000})
    ->ArgNames({"units", "chain"})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
