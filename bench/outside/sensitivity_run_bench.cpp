// Dynamic sensitivities of the series flowsheet (1,000 units, 3,000
// unknowns) with respect to the first ten valve coefficients, to t = 10,
// through the engine (started as the client's child; the integrator server
// on IDAS with the engine's corrector and sensitivity calculator) beside a
// hand-written IDAS program with KLU, an analytic Jacobian and analytic
// sensitivity residuals (staggered), at the same tolerances, in the same
// run. Each side runs once with sensitivities and once without: the totals,
// IDAS's time per step, and each side's sensitivity overhead. Only the run
// is timed on the engine's side (eleven command 10s, then request 55 for
// every registered value); starting, loading and preparing are not.
#include <benchmark/benchmark.h>
#include <idas/idas.h>
#include <nvector/nvector_serial.h>
#include <sunlinsol/sunlinsol_klu.h>
#include <sunmatrix/sunmatrix_sparse.h>

#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/model_writer/flowsheet_model.h"
#include "tools/road.h"

namespace {

using modelwriter::SeriesFlowsheet;
using vantor_client::MakeCommand;
using vantor_scenario::Notification;
using vantor_scenario::Road;

constexpr std::uint32_t kUnits = 1000;
constexpr int kParameters = 10;
constexpr double kEnd = 10.0, kInterval = 1.0, kRtol = 1e-6, kAtol = 1e-6;

// --- the hand-written program: unknowns per unit M, T, F ---

struct Sheet {
  std::vector<double> k;
  double cj = 0.0;
};

double FlowIn(const double* y, std::size_t u) {
  return u == 0 ? SeriesFlowsheet::kFeedFlow : y[3 * (u - 1) + 2];
}
double TemperatureIn(const double* y, std::size_t u) {
  return u == 0 ? SeriesFlowsheet::kFeedTemperature : y[3 * (u - 1) + 1];
}

int Residual(realtype, N_Vector yv, N_Vector ypv, N_Vector rv, void* data) {
  const auto* s = static_cast<const Sheet*>(data);
  const double* y = NV_DATA_S(yv);
  const double* yp = NV_DATA_S(ypv);
  double* r = NV_DATA_S(rv);
  for (std::size_t u = 0; u < kUnits; ++u) {
    const double m = y[3 * u], t = y[3 * u + 1], f = y[3 * u + 2];
    const double fin = FlowIn(y, u), tin = TemperatureIn(y, u);
    r[3 * u] = yp[3 * u] - fin + f;
    r[3 * u + 1] = f - s->k[u] * m;
    r[3 * u + 2] = m * yp[3 * u + 1] - fin * (tin - t) + 0.1 * (t - 1.0);
  }
  return 0;
}

// dF/dy + cj dF/dy', column by column.
int Jacobian(realtype, realtype cj, N_Vector yv, N_Vector ypv, N_Vector, SUNMatrix j, void* data,
             N_Vector, N_Vector, N_Vector) {
  const auto* s = static_cast<const Sheet*>(data);
  const double* y = NV_DATA_S(yv);
  const double* yp = NV_DATA_S(ypv);
  sunindextype* cols = SM_INDEXPTRS_S(j);
  sunindextype* rows = SM_INDEXVALS_S(j);
  double* v = SM_DATA_S(j);
  sunindextype at = 0;
  auto put = [&](sunindextype row, double value) { rows[at] = row, v[at++] = value; };
  for (std::size_t u = 0; u < kUnits; ++u) {
    const auto b = static_cast<sunindextype>(3 * u);
    const double m = y[3 * u], t = y[3 * u + 1], f = y[3 * u + 2];
    const double fin = FlowIn(y, u);
    const bool next = u + 1 < kUnits;
    // M
    cols[b] = at;
    put(b, cj);
    put(b + 1, -s->k[u]);
    put(b + 2, yp[3 * u + 1]);
    // T: its own energy row and the next unit's inflow temperature
    cols[b + 1] = at;
    put(b + 2, cj * m + fin + 0.1);
    if (next) put(b + 5, -f);
    // F: its rows and the next unit's inflow
    cols[b + 2] = at;
    put(b, 1.0);
    put(b + 1, 1.0);
    if (next) {
      put(b + 3, -1.0);
      put(b + 5, -(t - y[3 * (u + 1) + 1]));
    }
  }
  cols[3 * kUnits] = at;
  return 0;
}

// The sensitivity residuals: J_y s + J_y' s' + dF/dk_j.
int SensitivityResidual(int ns, realtype, N_Vector yv, N_Vector ypv, N_Vector, N_Vector* ys,
                        N_Vector* yps, N_Vector* rs, void* data, N_Vector, N_Vector, N_Vector) {
  const auto* s = static_cast<const Sheet*>(data);
  const double* y = NV_DATA_S(yv);
  const double* yp = NV_DATA_S(ypv);
  for (int p = 0; p < ns; ++p) {
    const double* sy = NV_DATA_S(ys[p]);
    const double* syp = NV_DATA_S(yps[p]);
    double* r = NV_DATA_S(rs[p]);
    for (std::size_t u = 0; u < kUnits; ++u) {
      const double m = y[3 * u], t = y[3 * u + 1];
      const double fin = FlowIn(y, u), tin = TemperatureIn(y, u);
      const double sm = sy[3 * u], st = sy[3 * u + 1], sf = sy[3 * u + 2];
      const double sfin = u == 0 ? 0.0 : sy[3 * (u - 1) + 2];
      const double stin = u == 0 ? 0.0 : sy[3 * (u - 1) + 1];
      r[3 * u] = syp[3 * u] - sfin + sf;
      r[3 * u + 1] = sf - s->k[u] * sm - (static_cast<int>(u) == p ? m : 0.0);
      r[3 * u + 2] = sm * yp[3 * u + 1] + m * syp[3 * u + 1] - sfin * (tin - t) -
                     fin * (stin - st) + 0.1 * st;
    }
  }
  return 0;
}

// Consistent initial values and slopes (and sensitivities with `ns`).
void InitialValues(const Sheet& s, N_Vector yv, N_Vector ypv, N_Vector* ys, N_Vector* yps,
                   int ns) {
  double* y = NV_DATA_S(yv);
  double* yp = NV_DATA_S(ypv);
  for (std::size_t u = 0; u < kUnits; ++u) {
    y[3 * u] = SeriesFlowsheet::InitialMass(static_cast<std::uint32_t>(u));
    y[3 * u + 1] = 1.0;
    y[3 * u + 2] = s.k[u] * y[3 * u];
  }
  for (std::size_t u = 0; u < kUnits; ++u) {
    const double m = y[3 * u], t = y[3 * u + 1];
    const double fin = FlowIn(y, u), tin = TemperatureIn(y, u);
    yp[3 * u] = fin - y[3 * u + 2];
    yp[3 * u + 1] = (fin * (tin - t) - 0.1 * (t - 1.0)) / m;
    yp[3 * u + 2] = 0.0;
  }
  for (int p = 0; p < ns; ++p) {
    double* sy = NV_DATA_S(ys[p]);
    double* syp = NV_DATA_S(yps[p]);
    for (std::size_t i = 0; i < 3 * kUnits; ++i) sy[i] = syp[i] = 0.0;
    // States fixed at t = 0: only the valve's own flow moves.
    sy[3 * static_cast<std::size_t>(p) + 2] = y[3 * static_cast<std::size_t>(p)];
    for (std::size_t u = 0; u < kUnits; ++u) {
      const double sfin = u == 0 ? 0.0 : sy[3 * (u - 1) + 2];
      const double tin = TemperatureIn(y, u);
      syp[3 * u] = sfin - sy[3 * u + 2];
      syp[3 * u + 1] = sfin * (tin - y[3 * u + 1]) / y[3 * u];
    }
  }
}

struct IdasRun {
  double seconds = 0.0;
  long steps = 0;
  // With sensitivities: the first kCompared unknowns' rows at kEnd,
  // unknown-major as request 55 gives them.
  std::vector<double> compared;
};

// The first ten units' unknowns take part in the comparison.
constexpr std::size_t kCompared = 30;

IdasRun RunIdas(bool sensitivities) {
  IdasRun out;
  const auto start = std::chrono::steady_clock::now();
  SUNContext ctx = nullptr;
  SUNContext_Create(nullptr, &ctx);
  Sheet sheet;
  for (std::uint32_t u = 0; u < kUnits; ++u) sheet.k.push_back(SeriesFlowsheet::Valve(u));
  const sunindextype n = 3 * kUnits;
  N_Vector y = N_VNew_Serial(n, ctx);
  N_Vector yp = N_VNew_Serial(n, ctx);
  const int ns = sensitivities ? kParameters : 0;
  N_Vector* ys = ns > 0 ? N_VCloneVectorArray(ns, y) : nullptr;
  N_Vector* yps = ns > 0 ? N_VCloneVectorArray(ns, y) : nullptr;
  InitialValues(sheet, y, yp, ys, yps, ns);
  void* mem = IDACreate(ctx);
  IDAInit(mem, Residual, 0.0, y, yp);
  IDASStolerances(mem, kRtol, kAtol);
  IDASetUserData(mem, &sheet);
  SUNMatrix a = SUNSparseMatrix(n, n, 9 * kUnits, CSC_MAT, ctx);
  SUNLinearSolver ls = SUNLinSol_KLU(y, a, ctx);
  IDASetLinearSolver(mem, ls, a);
  IDASetJacFn(mem, Jacobian);
  if (ns > 0) {
    IDASensInit(mem, ns, IDA_STAGGERED, SensitivityResidual, ys, yps);
    IDASensEEtolerances(mem);
    IDASetSensErrCon(mem, SUNTRUE);
  }
  double t = 0.0;
  int flag = 0;
  for (int k = 1; k <= static_cast<int>(kEnd / kInterval) && flag >= 0; ++k) {
    flag = IDASolve(mem, k * kInterval, &t, y, yp, IDA_NORMAL);
    if (flag >= 0 && ns > 0) flag = IDAGetSens(mem, &t, ys);
  }
  out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  IDAGetNumSteps(mem, &out.steps);
  for (std::size_t i = 0; flag >= 0 && i < kCompared; ++i) {
    for (int p = 0; p < ns; ++p) out.compared.push_back(NV_Ith_S(ys[p], i));
  }
  if (flag < 0) out.seconds = -1.0;
  IDAFree(&mem);
  SUNLinSolFree(ls);
  SUNMatDestroy(a);
  if (ns > 0) {
    N_VDestroyVectorArray(ys, ns);
    N_VDestroyVectorArray(yps, ns);
  }
  N_VDestroy(y);
  N_VDestroy(yp);
  SUNContext_Free(&ctx);
  return out;
}

// --- the engine ---

struct EngineRun {
  double seconds = -1.0;
  std::vector<double> compared;
};

std::unique_ptr<vantor_client::Request> Option(std::uint16_t number, std::uint16_t code,
                                               double value) {
  auto r = std::make_unique<vantor_client::Request>(53, 8);
  modelwriter::Writer w(*r);
  w.IdPath({number}), w.U16(number), w.U16(0), w.U16(code);
  if (code == 2) {
    w.U32(static_cast<std::uint32_t>(value));
  } else {
    w.F64(value);
  }
  return r;
}

// Loads and prepares the flowsheet, registers every unknown and the first
// ten valves when asked, runs to kEnd and fetches the values.
EngineRun RunEngine(bool sensitivities, const std::string& folder, std::string* why) {
  EngineRun out;
  vantor_client::EngineOptions options;
  options.program = VANTOR_ENGINE;
  options.timeout_ms = 600000;
  std::unique_ptr<vantor_client::Client> client;
  if (vantor_client::Client::Start(options, &client, why) != 0) return out;
  vantor_scenario::FirstOrderRun sink;
  Road road(*client, &sink);
  const modelwriter::Step node{2, "Sheet"};
  SeriesFlowsheet sheet;
  sheet.units = kUnits;
  auto edit = [](std::uint16_t kind, std::uint16_t tag) {
    auto r = std::make_unique<vantor_client::Request>(vantor_scenario::kInstanceService);
    r->PutUInt16(kind);
    r->PutUInt16(tag);
    return r;
  };
  auto create = edit(5, 5);
  modelwriter::Writer(*create).Placement({node});
  auto fill = edit(3, 10);
  {
    modelwriter::Writer w(*fill);
    w.IdPath({2});
    sheet.Write(w, node, {sheet.Valves()});
  }
  auto begin = std::make_unique<vantor_client::Request>(50);
  begin->PutUInt16(31);
  bool ok =
      road.Expect(MakeCommand(50, 3, {}, {}, {"Sheet", folder + "/"}), "command 3", 0) &&
      road.Expect(MakeCommand(55, 32, {}, {kInterval}), "command 32", 0) &&
      road.Expect(Option(29, 2, 4), "RunMode 4", 0) && road.Expect(Option(30, 2, 4), "Gear12", 0) &&
      road.Expect(Option(130, 4, kRtol), "rtol", 0) &&
      road.Expect(Option(131, 4, kAtol), "atol", 0) &&
      road.Expect(std::move(create), "create", 0) && road.Expect(std::move(fill), "fill", 0) &&
      road.Expect(MakeCommand(50, 6, {0, 0}), "command 6", 0) &&
      road.WaitNotice([](const Notification& s) { return (s.bits & 0x3C) == 0x3C; }, "prepared");
  std::size_t values = 0;
  if (ok && sensitivities) {
    auto lists = std::make_unique<vantor_client::Request>(64);
    modelwriter::Writer w(*lists);
    w.U16(51);
    w.U16(static_cast<std::uint16_t>(3 * kUnits));
    for (std::uint32_t u = 0; u < kUnits; ++u) {
      for (std::uint32_t slot : {SeriesFlowsheet::kMass, SeriesFlowsheet::kTemperature,
                                 SeriesFlowsheet::kFlow})
        w.IdPath({2, sheet.Index(0, u, slot)});
    }
    w.U16(kParameters);
    for (std::uint32_t j = 0; j < kParameters; ++j)
      w.IdPath({2, sheet.Index(0, j, SeriesFlowsheet::kValve)});
    w.U16(0xFFFF);
    auto enable = std::make_unique<vantor_client::Request>(64);
    enable->PutUInt16(52);
    enable->PutUInt16(0);
    ok = road.Expect(std::move(lists), "request 51", 0) &&
         road.Expect(std::move(enable), "request 52", 0);
    values = 3 * kUnits * kParameters;
  }
  ok = ok && road.Expect(std::move(begin), "request 31", 0x26A);
  if (ok) {
    const auto start = std::chrono::steady_clock::now();
    for (int k = 0; ok && k <= static_cast<int>(kEnd / kInterval); ++k) {
      ok = road.Expect(MakeCommand(50, 10), "command 10", 0) &&
           road.WaitStep(k * kInterval, "step " + std::to_string(k));
    }
    if (ok && sensitivities) {
      auto fetch = std::make_unique<vantor_client::Request>(64);
      fetch->PutUInt16(55);
      fetch->PutUInt16(0);
      Status result = 0;
      std::vector<vantor_client::Message> replies;
      ok = road.Exchange(std::move(fetch), "request 55", &result, &replies) && result == 0 &&
           replies.size() == 1 && replies[0].body.size() == 8 * values + 2;
      if (ok) {
        out.compared.resize(kCompared * kParameters);
        std::memcpy(out.compared.data(), replies[0].body.data(), 8 * out.compared.size());
      }
    }
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  if (ok && road.Expect(MakeCommand(50, 2), "command 2", 0x00320024u))
    client->WaitFor([&] { return client->PeerLost(); });
  int exit_code = 0;
  client->Close(&exit_code);
  if (!ok) {
    out.seconds = -1.0;
    *why = sink.failure;
    for (const std::string& line : sink.events) *why += "; " + line;
  }
  return out;
}

void FlowsheetSensitivities(benchmark::State& state) {
  const std::string pipes = std::filesystem::temp_directory_path() / "vantor-sensitivity-bench";
  std::filesystem::create_directories(pipes);
  setenv("VANTOR_PIPE_DIR", pipes.c_str(), 1);
  setenv("VANTOR_REGISTRY", VANTOR_BUILD_REGISTRY, 1);
  for (auto _ : state) {
    EngineRun ours[2];
    for (const bool with : {false, true}) {
      const std::string folder = pipes + "/run";
      std::filesystem::remove_all(folder);
      std::filesystem::create_directories(folder);
      std::string why;
      ours[with ? 1 : 0] = RunEngine(with, folder, &why);
      if (ours[with ? 1 : 0].seconds < 0) {
        state.SkipWithError(("the engine's run failed: " + why).c_str());
        return;
      }
    }
    const IdasRun plain = RunIdas(false);
    const IdasRun theirs = RunIdas(true);
    if (plain.seconds < 0 || theirs.seconds < 0) {
      state.SkipWithError("IDAS failed");
      return;
    }
    state.SetIterationTime(ours[1].seconds);
    state.counters["units"] = kUnits;
    state.counters["parameters"] = kParameters;
    state.counters["ours_s"] = ours[1].seconds;
    state.counters["ours_no_sens_s"] = ours[0].seconds;
    state.counters["ours_sens_overhead"] = ours[1].seconds / ours[0].seconds;
    state.counters["idas_s"] = theirs.seconds;
    state.counters["idas_no_sens_s"] = plain.seconds;
    state.counters["idas_sens_overhead"] = theirs.seconds / plain.seconds;
    state.counters["idas_steps"] = static_cast<double>(theirs.steps);
    state.counters["idas_us_per_step"] = 1e6 * theirs.seconds / static_cast<double>(theirs.steps);
    state.counters["ours_us_per_idas_step"] =
        1e6 * ours[1].seconds / static_cast<double>(theirs.steps);
    state.counters["ratio"] = ours[1].seconds / theirs.seconds;
    // The first ten units' sensitivities at t = 10 on both sides: the
    // largest difference relative to the largest value.
    double largest = 0.0, difference = 0.0;
    for (std::size_t i = 0; i < theirs.compared.size() && i < ours[1].compared.size(); ++i) {
      largest = std::max(largest, std::fabs(theirs.compared[i]));
      difference = std::max(difference, std::fabs(theirs.compared[i] - ours[1].compared[i]));
    }
    state.counters["sens_max_diff_rel"] = largest > 0.0 ? difference / largest : NAN;
  }
}

BENCHMARK(FlowsheetSensitivities)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
