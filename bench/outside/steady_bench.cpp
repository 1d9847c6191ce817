// The steady-state path end to end: the integrator server taking the run,
// the decomposition server ordering the groups, the engine's groups (played
// by the test doubles: a dense Newton per group) solved in turn; beside
// KINSOL with SUNDIALS' KLU on the whole system of the same flowsheet, from
// the same start, in the same run. Both sides use difference Jacobians over
// the same residuals; evaluations are counted one equation at a time.
#include <benchmark/benchmark.h>
#include <kinsol/kinsol.h>
#include <nvector/nvector_serial.h>
#include <sunlinsol/sunlinsol_klu.h>
#include <sunmatrix/sunmatrix_sparse.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <random>
#include <set>

#include "tests/outside/server_models.h"

namespace {

using namespace server_test;

constexpr std::int32_t kUnits = 2500;  // about 10,000 equations

// x_own + 0.25 sum sin(x_other) = c per equation: a contraction, one root.
Model SteadyFlowsheet() {
  Model m = Flowsheet(kUnits, 5);
  std::mt19937_64 rng(9);
  std::uniform_real_distribution<double> constant(-1.0, 1.0);
  for (auto& eq : m.equations) {
    const std::vector<std::int32_t> vars = eq.variables;
    const double c = constant(rng);
    eq.kinds.assign(vars.size(), 3);
    eq.kinds[0] = 1;
    eq.residual = [vars, c](const V& x) {
      double r = x[static_cast<std::size_t>(vars[0])] - c;
      for (std::size_t k = 1; k < vars.size(); ++k)
        r += 0.25 * std::sin(x[static_cast<std::size_t>(vars[k])]);
      return r;
    };
  }
  std::fill(m.values.begin(), m.values.end(), 0.0);
  return m;
}

// The whole system for KINSOL: every unknown of the model, and per unknown
// the equations that hold it.
struct Whole {
  Model* m;
  std::vector<std::size_t> unknowns;
  std::vector<std::vector<std::int32_t>> touches;
  long jacobians = 0;

  explicit Whole(Model* model) : m(model) {
    std::vector<std::ptrdiff_t> column(m->types.size(), -1);
    for (std::size_t v = 0; v < m->types.size(); ++v) {
      if ((m->types[v] & 0x60) == 0x60 || (m->types[v] & 0x3) == 0) continue;
      column[v] = static_cast<std::ptrdiff_t>(unknowns.size());
      unknowns.push_back(v);
    }
    touches.resize(unknowns.size());
    for (std::size_t e = 0; e < m->equations.size(); ++e) {
      std::set<std::int32_t> vars(m->equations[e].variables.begin(),
                                  m->equations[e].variables.end());
      for (const std::int32_t v : vars) {
        const std::ptrdiff_t c = column[static_cast<std::size_t>(v)];
        if (c >= 0) touches[static_cast<std::size_t>(c)].push_back(static_cast<std::int32_t>(e));
      }
    }
  }
  sunindextype NonZeros() const {
    sunindextype n = 0;
    for (const auto& t : touches) n += static_cast<sunindextype>(t.size());
    return n;
  }
  void Load(const double* x) {
    for (std::size_t k = 0; k < unknowns.size(); ++k) m->values[unknowns[k]] = x[k];
  }
  static int Residual(N_Vector u, N_Vector f, void* self) {
    auto* w = static_cast<Whole*>(self);
    w->Load(N_VGetArrayPointer(u));
    double* r = N_VGetArrayPointer(f);
    for (std::size_t e = 0; e < w->m->equations.size(); ++e)
      r[e] = w->m->Residual(static_cast<std::int32_t>(e));
    return 0;
  }
  // Column by column over the equations each unknown touches.
  static int Jacobian(N_Vector u, N_Vector fu, SUNMatrix j, void* self, N_Vector, N_Vector) {
    auto* w = static_cast<Whole*>(self);
    ++w->jacobians;
    w->Load(N_VGetArrayPointer(u));
    const double* f = N_VGetArrayPointer(fu);
    sunindextype* start = SUNSparseMatrix_IndexPointers(j);
    sunindextype* row = SUNSparseMatrix_IndexValues(j);
    double* value = SUNSparseMatrix_Data(j);
    sunindextype nz = 0;
    std::vector<double>& x = w->m->values;
    for (std::size_t k = 0; k < w->unknowns.size(); ++k) {
      start[k] = nz;
      const std::size_t v = w->unknowns[k];
      const double save = x[v];
      const double h = 1e-7 * std::max(1.0, std::fabs(save));
      x[v] = save + h;
      for (const std::int32_t e : w->touches[k]) {
        row[nz] = e;
        value[nz++] = (w->m->Residual(e) - f[e]) / h;
      }
      x[v] = save;
    }
    start[w->unknowns.size()] = nz;
    return 0;
  }
};

void SteadyStateFlowsheet(benchmark::State& state) {
  setenv("VANTOR_REGISTRY", VANTOR_BUILD_REGISTRY, 1);
  platform::CoInitializeEx(nullptr, 0);
  for (auto _ : state) {
    Model m = SteadyFlowsheet();
    const std::vector<double> start_values = m.values;
    platform::CLSID clsid{};
    void* p = nullptr;
    if (platform::CLSIDFromProgID(u"Brunvald.UnifiedIntegrator", &clsid) != 0 ||
        platform::CoCreateInstance(clsid, nullptr, 23, IID_IUnifiedIntegrator, &p) != 0) {
      state.SkipWithError("no integrator server");
      break;
    }
    auto* server = static_cast<IUnifiedIntegrator*>(p);
    auto* group = new FakeProblemGroup(&m);
    group->AddRef();
    auto* exec = new FakeExecutive(&m);
    exec->AddRef();
    double reached = 0;
    server->SetUp(group, exec);
    server->RunControl(kRunControlSteadyState);
    const long evaluations0 = m.evaluations;
    auto start = std::chrono::steady_clock::now();
    const Status s = server->Initialise(&reached, 0.0, kIntegratorStart, 0);
    const double ours =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long our_evaluations = m.evaluations - evaluations0;
    std::size_t groups = 0;
    std::size_t largest = 0;
    if (exec->last_decomposition != nullptr) {
      for (auto* g : exec->last_decomposition->groups) {
        ++groups;
        largest = std::max(largest, g->equations.size());
      }
    }
    server->ReleaseProblem();
    server->Release();
    group->Release();
    exec->Release();
    if (s != 0) {
      state.SkipWithError("steady state failed");
      break;
    }
    const std::vector<double> our_values = m.values;

    // KINSOL with KLU from the same start: Newton with a fresh Jacobian
    // every step, to the residual test the group solves meet.
    m.values = start_values;
    Whole whole(&m);
    const auto n = static_cast<sunindextype>(whole.unknowns.size());
    SUNContext context = nullptr;
    SUNContext_Create(nullptr, &context);
    N_Vector u = N_VNew_Serial(n, context), scale = N_VNew_Serial(n, context);
    for (sunindextype k = 0; k < n; ++k)
      NV_Ith_S(u, k) = start_values[whole.unknowns[static_cast<std::size_t>(k)]];
    N_VConst(1.0, scale);
    SUNMatrix jac = SUNSparseMatrix(n, n, whole.NonZeros(), CSC_MAT, context);
    SUNLinearSolver klu = SUNLinSol_KLU(u, jac, context);
    void* kin = KINCreate(context);
    KINInit(kin, Whole::Residual, u);
    KINSetUserData(kin, &whole);
    KINSetLinearSolver(kin, klu, jac);
    KINSetJacFn(kin, Whole::Jacobian);
    KINSetFuncNormTol(kin, 1e-14);
    KINSetScaledStepTol(kin, 1e-16);
    KINSetMaxSetupCalls(kin, 1);
    KINSetNumMaxIters(kin, 100);
    // Plain Newton steps, as the groups take them.
    KINSetMaxNewtonStep(kin, 1e10);
    const long kinsol0 = m.evaluations;
    start = std::chrono::steady_clock::now();
    const int flag = KINSol(kin, u, KIN_NONE, scale, scale);
    const double theirs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    long iterations = 0;
    KINGetNumNonlinSolvIters(kin, &iterations);
    double difference = 0;
    for (sunindextype k = 0; k < n; ++k) {
      const double mine = our_values[whole.unknowns[static_cast<std::size_t>(k)]];
      difference =
          std::max(difference, std::fabs(NV_Ith_S(u, k) - mine) / std::max(1.0, std::fabs(mine)));
    }
    if (flag < 0) {
      state.SkipWithError(("KINSOL failed: " + std::to_string(flag)).c_str());
    }
    state.SetIterationTime(ours);
    state.counters["equations"] = static_cast<double>(m.equations.size());
    state.counters["groups"] = static_cast<double>(groups);
    state.counters["largest_group"] = static_cast<double>(largest);
    state.counters["ours_s"] = ours;
    state.counters["ours_eq_evals"] = static_cast<double>(our_evaluations);
    state.counters["kinsol_klu_s"] = theirs;
    state.counters["kinsol_klu_iters"] = static_cast<double>(iterations);
    state.counters["kinsol_klu_jacobians"] = static_cast<double>(whole.jacobians);
    state.counters["kinsol_klu_eq_evals"] = static_cast<double>(m.evaluations - kinsol0);
    state.counters["ratio_total"] = ours / theirs;
    state.counters["max_rel_diff"] = difference;
    KINFree(&kin);
    SUNLinSolFree(klu);
    SUNMatDestroy(jac);
    N_VDestroy(scale);
    N_VDestroy(u);
    SUNContext_Free(&context);
  }
  platform::CoUninitialize();
}

BENCHMARK(SteadyStateFlowsheet)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
