// A dynamic run of a generated chain of N first-order units, to t = 10,
// through the engine (started as the client's child and driven by
// messages, as the modelling environment drives it), beside a hand-written
// IDA program with KLU on the same equations, in the same run. Unit i:
// dx_i/dt = x_(i-1) - x_i with x_0 = u = 1 fixed, x_i(0) = 0. Only the run
// is timed on the engine's side: eleven command 10s (the initialisation and
// ten steps of 1.0); starting, loading and preparing are not.
#include <benchmark/benchmark.h>
#include <ida/ida.h>
#include <nvector/nvector_serial.h>
#include <sunlinsol/sunlinsol_klu.h>
#include <sunmatrix/sunmatrix_sparse.h>

#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <string>

#include "tools/road.h"

namespace {

using vantor_client::MakeCommand;
using vantor_scenario::Notification;
using vantor_scenario::Road;

constexpr double kEnd = 10.0, kInterval = 1.0, kRtol = 1e-5, kAtol = 1e-5;

// x_n(t) of the chain: 1 - exp(-t) * sum_{j<n} t^j / j!.
double ExactUnit(int n, double t) {
  double term = 1.0, sum = 0.0;
  for (int j = 0; j < n; ++j) {
    sum += term;
    term *= t / (j + 1);
  }
  return 1.0 - std::exp(-t) * sum;
}

// --- the hand-written program ---

int Residual(realtype, N_Vector y, N_Vector yp, N_Vector r, void*) {
  const double* x = NV_DATA_S(y);
  const double* xp = NV_DATA_S(yp);
  double* out = NV_DATA_S(r);
  const sunindextype n = NV_LENGTH_S(y);
  for (sunindextype i = 0; i < n; ++i) out[i] = xp[i] - ((i == 0 ? 1.0 : x[i - 1]) - x[i]);
  return 0;
}

int Jacobian(realtype, realtype cj, N_Vector y, N_Vector, N_Vector, SUNMatrix j, void*, N_Vector,
             N_Vector, N_Vector) {
  const sunindextype n = NV_LENGTH_S(y);
  sunindextype* cols = SM_INDEXPTRS_S(j);
  sunindextype* rows = SM_INDEXVALS_S(j);
  double* v = SM_DATA_S(j);
  sunindextype at = 0;
  for (sunindextype c = 0; c < n; ++c) {
    cols[c] = at;
    rows[at] = c, v[at++] = 1.0 + cj;
    if (c + 1 < n) rows[at] = c + 1, v[at++] = -1.0;
  }
  cols[n] = at;
  return 0;
}

// x_1 at kEnd, or NaN when IDA failed; *steps its steps.
double RunIda(int n, long* steps) {
  SUNContext ctx = nullptr;
  SUNContext_Create(nullptr, &ctx);
  N_Vector y = N_VNew_Serial(n, ctx);
  N_Vector yp = N_VNew_Serial(n, ctx);
  N_VConst(0.0, y);
  N_VConst(0.0, yp);
  NV_Ith_S(yp, 0) = 1.0;  // consistent: x_1' = u - x_1
  void* mem = IDACreate(ctx);
  IDAInit(mem, Residual, 0.0, y, yp);
  IDASStolerances(mem, kRtol, kAtol);
  SUNMatrix a = SUNSparseMatrix(n, n, 2 * n, CSC_MAT, ctx);
  SUNLinearSolver ls = SUNLinSol_KLU(y, a, ctx);
  IDASetLinearSolver(mem, ls, a);
  IDASetJacFn(mem, Jacobian);
  double t = 0.0;
  int flag = 0;
  for (int k = 1; k <= static_cast<int>(kEnd / kInterval) && flag >= 0; ++k)
    flag = IDASolve(mem, k * kInterval, &t, y, yp, IDA_NORMAL);
  const double first = flag >= 0 ? NV_Ith_S(y, 0) : NAN;
  IDAGetNumSteps(mem, steps);
  IDAFree(&mem);
  SUNLinSolFree(ls);
  SUNMatDestroy(a);
  N_VDestroy(y);
  N_VDestroy(yp);
  SUNContext_Free(&ctx);
  return first;
}

// --- the engine ---

void WriteChain(modelwriter::Writer& w, int n) {
  const modelwriter::Step node{2, "Chain"};
  w.List(static_cast<std::uint32_t>(1 + 2 * n));
  w.Item(modelwriter::kRealVariable);
  w.Placement({node, {1, ".u"}});
  w.Value(1.0), w.Spec(4), w.End();
  for (int i = 1; i <= n; ++i) {
    const auto at = static_cast<std::uint32_t>(2 * i);
    w.Item(modelwriter::kStateVariable);
    w.Placement({node, {at, ".x" + std::to_string(i)}});
    w.Value(0.0), w.Spec(32), w.End();
  }
  using modelwriter::Mul;
  using modelwriter::Real;
  using modelwriter::Sub;
  using modelwriter::Var;
  for (int i = 1; i <= n; ++i) {
    const auto at = static_cast<std::uint32_t>(2 * i);
    w.Item(modelwriter::kInlineEquation);
    w.U32(0);
    w.Expression(Sub(Var(0), Mul(Real(1.0), Sub(Var(1), Var(2)))));
    w.Placement({node, {at + 1, ".e" + std::to_string(i)}});
    w.EquationHead(3);
    w.Reference({2, at, 1});
    w.Reference({2, i == 1 ? 1u : at - 2});
    w.Reference({2, at});
  }
}

// Loads and prepares the chain, runs it and reads x_1; the run's seconds,
// or a negative number after saying why in *why.
double RunEngine(int n, const std::string& folder, double* first, std::string* why) {
  vantor_client::EngineOptions options;
  options.program = VANTOR_ENGINE;
  options.timeout_ms = 120000;
  std::unique_ptr<vantor_client::Client> client;
  if (vantor_client::Client::Start(options, &client, why) != 0) return -1;
  vantor_scenario::FirstOrderRun sink;
  Road road(*client, &sink);
  auto edit = [](std::uint16_t kind, std::uint16_t tag) {
    auto r = std::make_unique<vantor_client::Request>(vantor_scenario::kInstanceService);
    r->PutUInt16(kind);
    r->PutUInt16(tag);
    return r;
  };
  auto create = edit(5, 5);
  modelwriter::Writer(*create).Placement({{2, "Chain"}});
  auto fill = edit(3, 10);
  {
    modelwriter::Writer w(*fill);
    w.IdPath({2});
    WriteChain(w, n);
  }
  auto mode = std::make_unique<vantor_client::Request>(53, 8);
  {
    modelwriter::Writer w(*mode);
    w.IdPath({29}), w.U16(29), w.U16(0), w.U16(2), w.U32(4);
  }
  // Variable-order BDF, as IDA runs on the other side.
  auto method = std::make_unique<vantor_client::Request>(53, 8);
  {
    modelwriter::Writer w(*method);
    w.IdPath({30}), w.U16(30), w.U16(0), w.U16(2), w.U32(4);
  }
  auto begin = std::make_unique<vantor_client::Request>(50);
  begin->PutUInt16(31);
  bool ok =
      road.Expect(MakeCommand(50, 3, {}, {}, {"Chain", folder + "/"}), "command 3", 0) &&
      road.Expect(MakeCommand(55, 32, {}, {kInterval}), "command 32", 0) &&
      road.Expect(std::move(create), "create", 0) && road.Expect(std::move(fill), "fill", 0) &&
      road.Expect(std::move(mode), "RunMode 4", 0) && road.Expect(std::move(method), "Gear12", 0) &&
      road.Expect(MakeCommand(50, 6, {0, 0}), "command 6", 0) &&
      road.WaitNotice([](const Notification& s) { return (s.bits & 0x3C) == 0x3C; }, "prepared") &&
      road.Expect(std::move(begin), "request 31", 0x26A);
  double seconds = -1;
  if (ok) {
    const auto start = std::chrono::steady_clock::now();
    for (int k = 0; ok && k <= static_cast<int>(kEnd / kInterval); ++k) {
      ok = road.Expect(MakeCommand(50, 10), "command 10", 0) &&
           road.WaitStep(k * kInterval, "step " + std::to_string(k));
    }
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (ok) ok = road.Read(2, first, "x_1");
  }
  // The engine ends on its own after command 2; otherwise closing ends it.
  if (ok && road.Expect(MakeCommand(50, 2), "command 2", 0x00320024u))
    client->WaitFor([&] { return client->PeerLost(); });
  int exit_code = 0;
  client->Close(&exit_code);
  if (!ok) {
    *why = sink.failure;
    for (const std::string& line : sink.events) *why += "; " + line;
    return -1;
  }
  return seconds;
}

void ChainRun(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::string pipes = std::filesystem::temp_directory_path() / "vantor-chain-bench";
  std::filesystem::create_directories(pipes);
  setenv("VANTOR_PIPE_DIR", pipes.c_str(), 1);
  setenv("VANTOR_REGISTRY", VANTOR_BUILD_REGISTRY, 1);
  for (auto _ : state) {
    std::string folder = pipes + "/run";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    double ours_first = NAN;
    std::string why;
    const double ours = RunEngine(n, folder, &ours_first, &why);
    if (ours < 0) {
      state.SkipWithError(("the engine's run failed: " + why).c_str());
      return;
    }
    long ida_steps = 0;
    const auto start = std::chrono::steady_clock::now();
    const double ida_first = RunIda(n, &ida_steps);
    const double theirs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(ours);
    const double exact = ExactUnit(1, kEnd);
    state.counters["units"] = n;
    state.counters["ours_s"] = ours;
    state.counters["ours_us_per_unit"] = 1e6 * ours / n;
    state.counters["ida_klu_s"] = theirs;
    state.counters["ida_klu_us_per_unit"] = 1e6 * theirs / n;
    state.counters["ida_klu_steps"] = static_cast<double>(ida_steps);
    state.counters["ratio"] = ours / theirs;
    state.counters["ours_err_x1"] = std::fabs(ours_first - exact);
    state.counters["ida_err_x1"] = std::fabs(ida_first - exact);
  }
}

BENCHMARK(ChainRun)->Arg(100)->Arg(1000)->Iterations(1)->UseManualTime()->Unit(
    benchmark::kMillisecond);

}  // namespace
