// The integrator server integrating a generated dynamic flowsheet (the
// engine's corrector played by the test doubles: one dense Newton per
// group), beside plain IDA with KLU and a difference Jacobian on the same
// residuals, in the same run. Equation evaluations are counted one equation
// at a time on both sides.
#include <benchmark/benchmark.h>
#include <ida/ida.h>
#include <nvector/nvector_serial.h>
#include <sunlinsol/sunlinsol_klu.h>
#include <sunmatrix/sunmatrix_sparse.h>

#include <chrono>
#include <cstdlib>
#include <set>

#include "tests/outside/server_models.h"

namespace {

using namespace server_test;

constexpr std::int32_t kUnits = 500;  // 6 variables and 4 equations each
constexpr double kEnd = 20.0, kRtol = 1e-5, kAtol = 1e-7;

// Plain IDA over the model's own equations: unknowns states then algebraic
// variables, as the server orders them.
struct Plain {
  Model* m;
  std::vector<std::size_t> position;
  std::vector<std::ptrdiff_t> derivative;
  // Per unknown: the equations holding it or its derivative.
  std::vector<std::vector<std::int32_t>> touches;
  long jacobians = 0;

  explicit Plain(Model* model) : m(model) {
    for (const std::int32_t want : {0x1, 0x2}) {
      for (std::size_t v = 0; v < m->types.size(); ++v) {
        const std::int32_t t = m->types[v];
        if ((t & 0x60) == 0x60 || (want == 0x1 ? (t & 0x1) == 0 : (t & 0x3) != 0x2)) continue;
        position.push_back(v);
        derivative.push_back(want == 0x1 ? m->partners[v] : -1);
      }
    }
    touches.resize(position.size());
    for (std::size_t k = 0; k < position.size(); ++k) {
      std::set<std::int32_t> eqs;
      for (std::size_t e = 0; e < m->equations.size(); ++e) {
        for (const std::int32_t v : m->equations[e].variables) {
          if (static_cast<std::size_t>(v) == position[k] ||
              (derivative[k] >= 0 && v == derivative[k]))
            eqs.insert(static_cast<std::int32_t>(e));
        }
      }
      touches[k].assign(eqs.begin(), eqs.end());
    }
  }
  void Load(double t, const double* y, const double* yp) {
    m->time = t;
    for (std::size_t k = 0; k < position.size(); ++k) {
      m->values[position[k]] = y[k];
      if (derivative[k] >= 0) m->values[static_cast<std::size_t>(derivative[k])] = yp[k];
    }
  }
  static int Residual(realtype t, N_Vector y, N_Vector yp, N_Vector r, void* self) {
    auto* p = static_cast<Plain*>(self);
    p->Load(t, NV_DATA_S(y), NV_DATA_S(yp));
    double* out = NV_DATA_S(r);
    for (std::size_t e = 0; e < p->m->equations.size(); ++e)
      out[e] = p->m->Residual(static_cast<std::int32_t>(e));
    return 0;
  }
  // dF/dy + cj dF/dy' by differences, column by column over the equations
  // each unknown touches.
  static int Jacobian(realtype t, realtype cj, N_Vector y, N_Vector yp, N_Vector r, SUNMatrix j,
                      void* self, N_Vector, N_Vector, N_Vector) {
    auto* p = static_cast<Plain*>(self);
    ++p->jacobians;
    p->Load(t, NV_DATA_S(y), NV_DATA_S(yp));
    const double* f = NV_DATA_S(r);
    sunindextype* cols = SM_INDEXPTRS_S(j);
    sunindextype* rows = SM_INDEXVALS_S(j);
    double* data = SM_DATA_S(j);
    sunindextype nz = 0;
    std::vector<double>& x = p->m->values;
    for (std::size_t k = 0; k < p->position.size(); ++k) {
      cols[k] = nz;
      const double save = x[p->position[k]];
      const double h = 1e-7 * std::max(1.0, std::fabs(save));
      const std::ptrdiff_t d = p->derivative[k];
      const double save_d = d >= 0 ? x[static_cast<std::size_t>(d)] : 0.0;
      x[p->position[k]] = save + h;
      if (d >= 0) x[static_cast<std::size_t>(d)] = save_d + cj * h;
      for (const std::int32_t e : p->touches[k]) {
        rows[nz] = e;
        data[nz++] = (p->m->Residual(e) - f[e]) / h;
      }
      x[p->position[k]] = save;
      if (d >= 0) x[static_cast<std::size_t>(d)] = save_d;
    }
    cols[p->position.size()] = nz;
    return 0;
  }
};

void IntegrateFlowsheet(benchmark::State& state) {
  setenv("VANTOR_REGISTRY", VANTOR_BUILD_REGISTRY, 1);
  platform::CoInitializeEx(nullptr, 0);
  for (auto _ : state) {
    DynamicFlowsheet sheet(kUnits);
    Model& m = sheet.m;
    platform::CLSID clsid{};
    void* p = nullptr;
    if (platform::CLSIDFromProgID(u"Brunvald.UnifiedIntegrator", &clsid) != 0 ||
        platform::CoCreateInstance(clsid, nullptr, 23, IID_IUnifiedIntegrator, &p) != 0) {
      state.SkipWithError("no integrator server");
      break;
    }
    auto* server = static_cast<IUnifiedIntegrator*>(p);
    m.integrator = server;
    auto* group = new FakeProblemGroup(&m);
    group->AddRef();
    auto* exec = new FakeExecutive(&m);
    exec->AddRef();
    VARIANT v{};
    v.vt = kVariantInt32;
    v.lVal = 4;  // Gear12
    server->SetOption(30, v);
    v.vt = kVariantDouble;
    v.dblVal = kRtol;
    server->SetOption(130, v);
    v.dblVal = kAtol;
    server->SetOption(131, v);
    double reached = 0;
    server->SetUp(group, exec);
    server->RunControl(kRunControlPrepare);
    if (server->Initialise(&reached, 0.0, kIntegratorInitialiseAt, 0) != 0) {
      state.SkipWithError("initialisation failed");
      break;
    }
    const std::vector<double> initial = m.values;
    server->RunControl(kRunControlSolve);
    const long evaluations0 = m.evaluations;
    auto start = std::chrono::steady_clock::now();
    const Status s = server->Initialise(&reached, kEnd, kIntegratorIntegrateTo, 0);
    const double ours =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (s != 0) {
      state.SkipWithError("integration failed");
      break;
    }
    const long our_evaluations = m.evaluations - evaluations0;
    void* c = nullptr;
    std::uint32_t our_steps = 0;
    if (server->GetInterface(IID_IServerCount, &c) == 0) {
      static_cast<IServerCount*>(c)->GetCount(&our_steps);
      static_cast<IServerCount*>(c)->Release();
    }
    const std::vector<double> our_end = m.values;

    // Plain IDA from the same consistent values.
    m.values = initial;
    Plain plain(&m);
    const auto n = static_cast<sunindextype>(plain.position.size());
    SUNContext ctx = nullptr;
    SUNContext_Create(nullptr, &ctx);
    N_Vector y = N_VNew_Serial(n, ctx), yp = N_VNew_Serial(n, ctx);
    for (sunindextype k = 0; k < n; ++k) {
      NV_Ith_S(y, k) = initial[plain.position[static_cast<std::size_t>(k)]];
      const std::ptrdiff_t d = plain.derivative[static_cast<std::size_t>(k)];
      NV_Ith_S(yp, k) = d >= 0 ? initial[static_cast<std::size_t>(d)] : 0.0;
    }
    sunindextype nnz = 0;
    for (const auto& t : plain.touches) nnz += static_cast<sunindextype>(t.size());
    void* mem = IDACreate(ctx);
    IDAInit(mem, Plain::Residual, 0.0, y, yp);
    IDASetUserData(mem, &plain);
    IDASStolerances(mem, kRtol, kAtol);
    IDASetInitStep(mem, 0.005);
    IDASetMaxStep(mem, 1.0);
    SUNMatrix a = SUNSparseMatrix(n, n, nnz, CSC_MAT, ctx);
    SUNLinearSolver ls = SUNLinSol_KLU(y, a, ctx);
    IDASetLinearSolver(mem, ls, a);
    IDASetJacFn(mem, Plain::Jacobian);
    const long plain0 = m.evaluations;
    start = std::chrono::steady_clock::now();
    realtype t = 0;
    IDASetStopTime(mem, kEnd);
    const int flag = IDASolve(mem, kEnd, &t, y, yp, IDA_NORMAL);
    const double theirs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    long plain_steps = 0;
    IDAGetNumSteps(mem, &plain_steps);
    double difference = 0;
    for (sunindextype k = 0; k < n; ++k)
      difference = std::max(
          difference,
          std::fabs(NV_Ith_S(y, k) - our_end[plain.position[static_cast<std::size_t>(k)]]) /
              (kRtol * std::fabs(NV_Ith_S(y, k)) + kAtol));
    if (flag < 0) state.SkipWithError("plain IDA failed");
    state.SetIterationTime(ours);
    state.counters["equations"] = static_cast<double>(m.equations.size());
    state.counters["ours_s"] = ours;
    state.counters["ours_steps"] = our_steps;
    state.counters["ours_us_per_step"] = 1e6 * ours / std::max<std::uint32_t>(our_steps, 1);
    state.counters["ours_eq_evals"] = static_cast<double>(our_evaluations);
    state.counters["ida_klu_s"] = theirs;
    state.counters["ida_klu_steps"] = static_cast<double>(plain_steps);
    state.counters["ida_klu_us_per_step"] = 1e6 * theirs / std::max(plain_steps, 1L);
    state.counters["ida_klu_eq_evals"] = static_cast<double>(m.evaluations - plain0);
    state.counters["ida_klu_jacobians"] = static_cast<double>(plain.jacobians);
    state.counters["ratio_total"] = ours / theirs;
    state.counters["end_diff_over_tol"] = difference;
    IDAFree(&mem);
    SUNLinSolFree(ls);
    SUNMatDestroy(a);
    N_VDestroy(y);
    N_VDestroy(yp);
    SUNContext_Free(&ctx);
    server->Release();
    group->Release();
    exec->Release();
  }
  platform::CoUninitialize();
}

BENCHMARK(IntegrateFlowsheet)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
