// The framework libraries through their declared interfaces: factorise and
// refactorise-and-solve on flowsheet-like Jacobians beside KLU, and the
// nonlinear libraries on Broyden tridiagonal of order 100,000 beside KINSOL
// with KLU (time and Jacobian evaluations to the root). A table of time
// ratios to KINSOL closes the run.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <kinsol/kinsol.h>
#include <nvector/nvector_serial.h>
#include <suitesparse/klu.h>
#include <sundials/sundials_context.h>
#include <sunlinsol/sunlinsol_klu.h>
#include <sunmatrix/sunmatrix_sparse.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "numerics/sparse_lu/defaults.h"
#include "numerics/sparse_lu/slu_drivers.h"
#include "numerics/sparse_lu/slu_interface.h"
#include "solve/ifaces/kvs_linear.h"
#include "solve/ifaces/kvs_nonlinear.h"

namespace {

template <class Factory>
Factory* Load(const char* name, const char* entry, const platform::IID& iid) {
  const std::string path = std::string(VANTOR_KVS_DIR) + "/" + name + ".so";
  void* lib = dlopen(path.c_str(), RTLD_NOW);
  if (lib == nullptr) return nullptr;
  auto get = reinterpret_cast<GetFactoryFunction>(dlsym(lib, entry));
  platform::IUnknown* object = get();
  void* factory = nullptr;
  object->QueryInterface(iid, &factory);
  object->Release();
  return static_cast<Factory*>(factory);
}

// Many small dense diagonal blocks, each fed by a few entries of earlier
// blocks: the shape of a flowsheet's Jacobian.
struct Flowsheet {
  std::int64_t n = 0;
  std::vector<std::int64_t> rows, cols;  // 1-based
  std::vector<double> values;
  std::vector<std::int64_t> start, index;  // CSC, 0-based, for KLU
  std::vector<double> csc;
};

Flowsheet MakeFlowsheet(int blocks, int size, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> v(-1, 1);
  Flowsheet f;
  f.n = std::int64_t(blocks) * size;
  for (int b = 0; b < blocks; ++b)
    for (int i = 0; i < size; ++i) {
      const std::int64_t row = std::int64_t(b) * size + i + 1;
      for (int j = 0; j < size; ++j) {
        f.rows.push_back(row);
        f.cols.push_back(std::int64_t(b) * size + j + 1);
        f.values.push_back(i == j ? 2.0 * size + v(gen) : v(gen));
      }
      if (b > 0) {
        std::uniform_int_distribution<std::int64_t> earlier(1, std::int64_t(b) * size);
        f.rows.push_back(row), f.cols.push_back(earlier(gen)), f.values.push_back(v(gen));
      }
    }
  std::vector<std::int64_t> order(f.values.size());
  for (size_t k = 0; k < order.size(); ++k) order[k] = std::int64_t(k);
  std::sort(order.begin(), order.end(), [&](std::int64_t a, std::int64_t b) {
    return std::pair(f.cols[size_t(a)], f.rows[size_t(a)]) <
           std::pair(f.cols[size_t(b)], f.rows[size_t(b)]);
  });
  f.start.assign(size_t(f.n) + 1, 0);
  for (std::int64_t k : order) {
    f.index.push_back(f.rows[size_t(k)] - 1);
    f.csc.push_back(f.values[size_t(k)]);
    ++f.start[size_t(f.cols[size_t(k)])];
  }
  for (std::int64_t j = 0; j < f.n; ++j) f.start[size_t(j) + 1] += f.start[size_t(j)];
  return f;
}

class Quiet final : public KVSMessagesHandler {
 public:
  Status Print(const char*, std::int32_t, Status) override { return 0; }
  Status Nothing() override { return 0; }
};
Quiet quiet;

void KvsLinear(benchmark::State& state, const char* library, bool refactorise) {
  auto* factory = Load<KVSLASystemFactory>(library, kGetFactoryLASystem, IID_KVSLASystemFactory);
  if (factory == nullptr) return state.SkipWithError("library not built");
  const Flowsheet f = MakeFlowsheet(int(state.range(0)), 6, 1);
  std::vector<double> b(size_t(f.n), 1.0), x(size_t(f.n));
  KVSLASystem* kept = nullptr;
  factory->CreateSystem(int(f.n), int(f.n), int(f.values.size()), f.rows.data(), f.cols.data(),
                        &quiet, &kept);
  void* p = nullptr;
  kept->QueryInterface(IID_KVSParameters, &p);
  const std::int32_t strategy = std::int32_t(state.range(1));
  static_cast<KVSParameters*>(p)->Set("PivotSearch", kKvsInteger, &strategy);
  static_cast<KVSParameters*>(p)->Release();
  kept->SetMatrixValues(f.values.data());
  for (auto _ : state) {
    KVSLASystem* s = kept;
    if (!refactorise)
      factory->CreateSystem(int(f.n), int(f.n), int(f.values.size()), f.rows.data(), f.cols.data(),
                            &quiet, &s);
    s->SetMatrixValues(f.values.data());
    s->SetRHS(b.data());
    s->Solve(x.data());
    benchmark::DoNotOptimize(x.data());
    if (!refactorise) s->Release();
  }
  kept->Release();
  factory->Release();
}

void Klu(benchmark::State& state, bool refactorise) {
  Flowsheet f = MakeFlowsheet(int(state.range(0)), 6, 1);
  klu_l_common common;
  klu_l_defaults(&common);
  std::vector<double> x(size_t(f.n));
  klu_l_symbolic* symbolic = klu_l_analyze(f.n, f.start.data(), f.index.data(), &common);
  klu_l_numeric* numeric =
      klu_l_factor(f.start.data(), f.index.data(), f.csc.data(), symbolic, &common);
  for (auto _ : state) {
    std::fill(x.begin(), x.end(), 1.0);
    if (refactorise) {
      klu_l_refactor(f.start.data(), f.index.data(), f.csc.data(), symbolic, numeric, &common);
      klu_l_solve(symbolic, numeric, f.n, 1, x.data(), &common);
    } else {
      klu_l_symbolic* s = klu_l_analyze(f.n, f.start.data(), f.index.data(), &common);
      klu_l_numeric* num = klu_l_factor(f.start.data(), f.index.data(), f.csc.data(), s, &common);
      klu_l_solve(s, num, f.n, 1, x.data(), &common);
      klu_l_free_numeric(&num, &common);
      klu_l_free_symbolic(&s, &common);
    }
    benchmark::DoNotOptimize(x.data());
  }
  klu_l_free_numeric(&numeric, &common);
  klu_l_free_symbolic(&symbolic, &common);
}

// Our sparse LU drivers alone on the same matrix: what kvs_slu wraps, so
// the difference is the library layer's share.
class Drivers {
 public:
  explicit Drivers(const Flowsheet& f)
      : f_(f), n_(f.n), ne_(std::int64_t(f.values.size())), la_(3 * ne_), cntl_(slu::kCntlLength),
        w_(size_t(5 * n_)), icntl_(slu::kIcntlLength), info_(slu::kInfoLength),
        keep_(size_t(10 * n_ + 7)), iw_(size_t(9 * n_)), b_(size_t(n_), 1.0), x_(size_t(n_)),
        error_(3) {
    SluSetDefaults(cntl_.data(), icntl_.data());
    icntl_[0] = icntl_[1] = icntl_[2] = 0;
    Analyse();
    Factorise(1);
  }
  // A fresh analysis and factorisation, or one with the kept pivots; then
  // the solve.
  void Run(bool refactorise) {
    if (refactorise) {
      Factorise(2);
    } else {
      Analyse();
      Factorise(1);
    }
    const std::int64_t trans = 0, job = 1;
    SluSolve(&n_, &n_, &trans, &job, &la_, a_.data(), irn_.data(), keep_.data(), cntl_.data(),
             icntl_.data(), b_.data(), x_.data(), error_.data(), w_.data(), iw_.data(),
             info_.data());
    benchmark::DoNotOptimize(x_.data());
  }

 private:
  void Analyse() {
    for (int attempt = 0; attempt < 2; ++attempt) {
      a_.assign(size_t(la_), 0.0), irn_.assign(size_t(la_), 0);
      std::copy(f_.values.begin(), f_.values.end(), a_.begin());
      std::copy(f_.rows.begin(), f_.rows.end(), irn_.begin());
      jcn_ = f_.cols;
      const std::int64_t job = 1;
      SluAnalyse(&n_, &n_, &ne_, &job, &la_, a_.data(), irn_.data(), jcn_.data(), keep_.data(),
                 cntl_.data(), icntl_.data(), iw_.data(), info_.data(), &rinfo_);
      if (info_[0] != -3) break;
      la_ = info_[2];
    }
    la_ = std::max({la_, info_[2], info_[3]});
    a_.resize(size_t(la_)), irn_.resize(size_t(la_));
  }
  void Factorise(std::int64_t job) {
    std::copy(f_.values.begin(), f_.values.end(), a_.begin());
    SluFactorize(&n_, &n_, &ne_, &job, &la_, a_.data(), irn_.data(), jcn_.data(), keep_.data(),
                 cntl_.data(), icntl_.data(), w_.data(), iw_.data(), info_.data(), &rinfo_);
  }

  const Flowsheet& f_;
  const std::int64_t n_, ne_;
  std::int64_t la_;
  std::vector<double> cntl_, w_, a_;
  std::vector<std::int64_t> icntl_, info_, keep_, iw_, irn_, jcn_;
  double rinfo_ = 0.0;
  std::vector<double> b_, x_, error_;
};

void SluDrivers(benchmark::State& state, bool refactorise) {
  const Flowsheet f = MakeFlowsheet(int(state.range(0)), 6, 1);
  Drivers drivers(f);
  for (auto _ : state) drivers.Run(refactorise);
}

double ThreadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// kvs_slu's calls and the drivers alone in turn within every iteration,
// each timed on this thread's CPU clock: load on the shared machine falls
// on both alike, and the counter "layer_share" is the part of kvs_slu's
// time the drivers do not account for.
void SluLayerShare(benchmark::State& state, bool refactorise) {
  auto* factory = Load<KVSLASystemFactory>("kvs_slu", kGetFactoryLASystem, IID_KVSLASystemFactory);
  if (factory == nullptr) return state.SkipWithError("library not built");
  const Flowsheet f = MakeFlowsheet(int(state.range(0)), 6, 1);
  Drivers drivers(f);
  std::vector<double> b(size_t(f.n), 1.0), x(size_t(f.n));
  KVSLASystem* kept = nullptr;
  factory->CreateSystem(int(f.n), int(f.n), int(f.values.size()), f.rows.data(), f.cols.data(),
                        &quiet, &kept);
  kept->SetMatrixValues(f.values.data());
  double library = 0.0, alone = 0.0;
  for (auto _ : state) {
    const double t0 = ThreadSeconds();
    KVSLASystem* s = kept;
    if (!refactorise)
      factory->CreateSystem(int(f.n), int(f.n), int(f.values.size()), f.rows.data(), f.cols.data(),
                            &quiet, &s);
    s->SetMatrixValues(f.values.data());
    s->SetRHS(b.data());
    s->Solve(x.data());
    benchmark::DoNotOptimize(x.data());
    if (!refactorise) s->Release();
    const double t1 = ThreadSeconds();
    drivers.Run(refactorise);
    alone += ThreadSeconds() - t1;
    library += t1 - t0;
  }
  state.counters["layer_share"] = library > 0 ? 1.0 - alone / library : 0.0;
  state.counters["kvs_ms"] = 1e3 * library / double(state.iterations());
  state.counters["drivers_ms"] = 1e3 * alone / double(state.iterations());
  kept->Release();
  factory->Release();
}

BENCHMARK_CAPTURE(SluDrivers, factorise, false)->Arg(2000);
BENCHMARK_CAPTURE(SluDrivers, refactorise, true)->Arg(2000);
BENCHMARK_CAPTURE(KvsLinear, slu_factorise, "kvs_slu", false)->Args({2000, 0});
BENCHMARK_CAPTURE(KvsLinear, mfl_factorise, "kvs_mfl", false)->Args({2000, 0});
BENCHMARK_CAPTURE(Klu, factorise, false)->Arg(2000);
BENCHMARK_CAPTURE(KvsLinear, slu_refactorise, "kvs_slu", true)->Args({2000, 0});
BENCHMARK_CAPTURE(KvsLinear, mfl_refactorise, "kvs_mfl", true)->Args({2000, 0});
BENCHMARK_CAPTURE(Klu, refactorise, true)->Arg(2000);
// Medians of several repetitions: the machine is shared.
BENCHMARK_CAPTURE(SluLayerShare, factorise, false)
    ->Arg(2000)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK_CAPTURE(SluLayerShare, refactorise, true)
    ->Arg(2000)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// Broyden tridiagonal as an equation set.
class Broyden final : public KVSNumericAlgebraicESO {
 public:
  explicit Broyden(int n) : n_(n), x_(size_t(n), -1.0) {}
  Status QueryInterface(const platform::IID&, void** out) override {
    *out = nullptr;
    return 0x80004002u;
  }
  std::uint32_t AddRef() override { return 1; }
  std::uint32_t Release() override { return 1; }
  Status GetNumVariables(std::int32_t* c) override { return *c = n_, 0; }
  Status GetNumEquations(std::int32_t* c) override { return *c = n_, 0; }
  Status GetVariableBounds(const KVSIndexList*, double* lo, double* hi) override {
    std::fill(lo, lo + n_, -1e300);
    std::fill(hi, hi + n_, 1e300);
    return 0;
  }
  Status SetVariableValues(const KVSIndexList*, const double* v) override {
    x_.assign(v, v + n_);
    return 0;
  }
  Status GetVariableValues(const KVSIndexList*, double* v) override {
    std::copy(x_.begin(), x_.end(), v);
    return 0;
  }
  Status GetVariableName(std::int32_t, char**) override { return kKvsNotSupported4; }
  Status GetEquationName(std::int32_t, char**) override { return kKvsNotSupported4; }
  Status GetEquationVariablePairs(std::int32_t*, std::int32_t*) override {
    return kKvsNotSupported4;
  }
  Status Evaluate(const KVSIndexList*, double* f, double* j, std::uint32_t flags) override {
    const double* x = x_.data();
    for (int i = 0; i < n_ && (flags & kKvsResiduals); ++i)
      f[i] = (3 - 2 * x[i]) * x[i] - (i > 0 ? x[i - 1] : 0) - 2 * (i < n_ - 1 ? x[i + 1] : 0) + 1;
    if (flags & kKvsJacobian) {
      ++jacobians;
      for (int i = 0; i < n_; ++i) {
        if (i > 0) *j++ = -1;
        *j++ = 3 - 4 * x[i];
        if (i < n_ - 1) *j++ = -2;
      }
    }
    return 0;
  }
  Status GetNumNonZeros(std::int32_t* c) override { return *c = 3 * n_ - 2, 0; }
  Status GetStructure(std::int32_t* rows, std::int32_t* cols, std::int32_t* kinds) override {
    for (int i = 1; i <= n_; ++i)
      for (int c = i - 1; c <= i + 1; ++c)
        if (c >= 1 && c <= n_) *rows++ = i, *cols++ = c, *kinds++ = 1;
    return 0;
  }
  int jacobians = 0;

 private:
  int n_;
  std::vector<double> x_;
};

constexpr int kBroydenOrder = 100000;

void KvsBroyden(benchmark::State& state, const char* library, const char* method) {
  auto* factory = Load<KVSNLASystemFactory>(library, kGetFactoryNLASystem, IID_KVSNLASystemFactory);
  if (factory == nullptr) return state.SkipWithError("library not built");
  int jacobians = 0;
  for (auto _ : state) {
    Broyden eso(kBroydenOrder);
    KVSNLASystem* s = nullptr;
    factory->CreateSystem(&eso, &quiet, &s);
    void* p = nullptr;
    s->QueryInterface(IID_KVSParameters, &p);
    static_cast<KVSParameters*>(p)->Set("NewtonMethod", kKvsText, method);
    static_cast<KVSParameters*>(p)->Release();
    Status detail = 0;
    if (s->Solve(0, &detail) != 0) state.SkipWithError("no convergence");
    s->Release();
    jacobians = eso.jacobians;
  }
  state.counters["jacobians"] = jacobians;
  factory->Release();
}

BENCHMARK_CAPTURE(KvsBroyden, sparse_hybrid, "kvs_sparse", "Hybrid")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(KvsBroyden, sparse_newton, "kvs_sparse", "Newton")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(KvsBroyden, sparse_fast_newton, "kvs_sparse", "Fast Newton")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(KvsBroyden, sparse_mfl_hybrid, "kvs_sparse_mfl", "Hybrid")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(KvsBroyden, sparse_mfl_newton, "kvs_sparse_mfl", "Newton")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(KvsBroyden, sparse_mfl_fast_newton, "kvs_sparse_mfl", "Fast Newton")
    ->Unit(benchmark::kMillisecond);

// The same problem for KINSOL: residuals and a CSC Jacobian for its KLU
// solver. Column j holds rows j-1 (-2), j (3 - 4 x_j) and j+1 (-1).
int KinsolResidual(N_Vector u, N_Vector f, void*) {
  const double* x = N_VGetArrayPointer(u);
  double* r = N_VGetArrayPointer(f);
  const sunindextype n = N_VGetLength(u);
  for (sunindextype i = 0; i < n; ++i)
    r[i] = (3 - 2 * x[i]) * x[i] - (i > 0 ? x[i - 1] : 0) - 2 * (i < n - 1 ? x[i + 1] : 0) + 1;
  return 0;
}

int KinsolJacobian(N_Vector u, N_Vector, SUNMatrix jac, void*, N_Vector, N_Vector) {
  const double* x = N_VGetArrayPointer(u);
  const sunindextype n = N_VGetLength(u);
  sunindextype* start = SUNSparseMatrix_IndexPointers(jac);
  sunindextype* row = SUNSparseMatrix_IndexValues(jac);
  double* value = SUNSparseMatrix_Data(jac);
  sunindextype k = 0;
  for (sunindextype j = 0; j < n; ++j) {
    start[j] = k;
    if (j > 0) row[k] = j - 1, value[k++] = -2;
    row[k] = j, value[k++] = 3 - 4 * x[j];
    if (j < n - 1) row[k] = j + 1, value[k++] = -1;
  }
  start[n] = k;
  return 0;
}

// KINSOL with its line search, a fresh Jacobian every `setup_every` steps
// (1: Newton; KINSOL's default 10: modified Newton). The residual test is
// the libraries' own default, max |F_i| <= 1e-8.
void KinsolBroyden(benchmark::State& state, long setup_every) {
  SUNContext context = nullptr;
  SUNContext_Create(nullptr, &context);
  const sunindextype n = kBroydenOrder;
  long jacobians = 0;
  for (auto _ : state) {
    N_Vector u = N_VNew_Serial(n, context), scale = N_VNew_Serial(n, context);
    N_VConst(-1.0, u);
    N_VConst(1.0, scale);
    SUNMatrix jac = SUNSparseMatrix(n, n, 3 * n - 2, CSC_MAT, context);
    SUNLinearSolver klu = SUNLinSol_KLU(u, jac, context);
    void* kin = KINCreate(context);
    KINInit(kin, KinsolResidual, u);
    KINSetLinearSolver(kin, klu, jac);
    KINSetJacFn(kin, KinsolJacobian);
    KINSetFuncNormTol(kin, 1e-8);
    KINSetScaledStepTol(kin, 1e-14);
    KINSetMaxSetupCalls(kin, setup_every);
    KINSetNumMaxIters(kin, 200);
    // Only KIN_SUCCESS meets the residual test; other non-negative flags
    // stop on a short step.
    if (KINSol(kin, u, KIN_LINESEARCH, scale, scale) != KIN_SUCCESS)
      state.SkipWithError("no convergence");
    KINGetNumJacEvals(kin, &jacobians);
    KINFree(&kin);
    SUNLinSolFree(klu);
    SUNMatDestroy(jac);
    N_VDestroy(scale);
    N_VDestroy(u);
  }
  state.counters["jacobians"] = double(jacobians);
  SUNContext_Free(&context);
}

BENCHMARK_CAPTURE(KinsolBroyden, kinsol_klu_newton, 1L)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(KinsolBroyden, kinsol_klu_modified, 10L)->Unit(benchmark::kMillisecond);

// Keeps the CPU time of each Broyden row (all run on one thread, so CPU
// time stays fair on a shared machine) to print them as ratios to KINSOL.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const std::string name = run.benchmark_name();
      if (name.find("Broyden/") == std::string::npos || run.error_occurred) continue;
      const auto j = run.counters.find("jacobians");
      rows_.push_back({name.substr(name.find('/') + 1), run.GetAdjustedCPUTime(),
                       j == run.counters.end() ? NAN : double(j->second)});
      if (name.find("kinsol_klu_newton") != std::string::npos) newton_ = rows_.back().ms;
      if (name.find("kinsol_klu_modified") != std::string::npos) modified_ = rows_.back().ms;
    }
  }
  void PrintRatios() const {
    std::printf("\nBroyden tridiagonal, order %d\n%-24s %10s %10s %12s %14s\n", kBroydenOrder,
                "solver", "ms", "jacobians", "/kinsol_klu", "/kinsol_modif");
    for (const Row& r : rows_)
      std::printf("%-24s %10.1f %10.0f %12.2f %14.2f\n", r.name.c_str(), r.ms, r.jacobians,
                  r.ms / newton_, r.ms / modified_);
  }

 private:
  struct Row {
    std::string name;
    double ms, jacobians;
  };
  std::vector<Row> rows_;
  double newton_ = NAN, modified_ = NAN;
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
