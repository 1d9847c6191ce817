// The heated tank train run as a user runs it: the engine started as the
// client's child, the model sent once, one command 10 per communication
// interval of 1 s to t = 200, the last unit's and unit 10's M and T read
// after every step, the feed stepped from 10 to 12 kg/s by a set-item at
// t = 50 (the command 10 after it re-initialises there); the model in its
// lean form (constants, nothing recorded, the feed first) or as a modelling
// environment sends it (parameters as FIXED variables, every unit variable
// recorded, the feed after the units). Beside it, in the same iteration, a
// hand-written IDA + KLU program of the same equations (analytic Jacobian,
// the feed step by a stop time and a re-initialisation, 200 interpolated
// outputs): at its best (optimised serial vector operations, subnormals
// flushed), as it is and held to the engine's default largest step, and on
// Debian's libraries as they are (built without optimisation) for
// comparison. Reports the ratio of the dynamic
// phase (first command 10 to the last step's values) to each and of the
// whole run (start of the engine to its exit), the whole run's phases
// (start, the model's receipt, command 6, request 31, the run's end, the
// engine's end to its exit), and the largest relative difference between
// the two programs' values.
#include <benchmark/benchmark.h>
#include <ida/ida.h>
#include <nvector/nvector_serial.h>
#include <sunlinsol/sunlinsol_klu.h>
#include <sunmatrix/sunmatrix_sparse.h>

#include <stdlib.h>
#include <xmmintrin.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "outside/nvector/fast_serial.h"
#include "tools/model_writer/tank_train.h"
#include "tools/result_replies.h"
#include "tools/road_steps.h"

namespace {

using modelwriter::TankTrain;
using vantor_client::MakeCommand;
using vantor_scenario::Road;

constexpr double kEnd = 200.0, kStepTime = 50.0, kFeed = 10.0, kSteppedFeed = 12.0;
constexpr double kRtol = 1e-6, kAtol = 1e-8;
constexpr double kEngineMaxStep = 1.0;
constexpr int kOutputs = static_cast<int>(kEnd);

using Clock = std::chrono::steady_clock;
double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// M and T of the watched units at every output time 1..kEnd.
struct Trace {
  std::vector<std::uint32_t> units;
  std::vector<std::vector<double>> values;  // per output: M, T of each unit
};

std::vector<std::uint32_t> Watched(std::uint32_t n) {
  return n > 10 ? std::vector<std::uint32_t>{10, n} : std::vector<std::uint32_t>{n};
}

// --- the hand-written program ---

struct TrainData {
  std::uint32_t units;
  double feed;
};

int Residual(realtype, N_Vector yv, N_Vector ypv, N_Vector rv, void* user) {
  const auto* d = static_cast<const TrainData*>(user);
  const double* y = NV_DATA_S(yv);
  const double* yp = NV_DATA_S(ypv);
  double* r = NV_DATA_S(rv);
  const double cp = TankTrain::kHeatCapacity;
  for (std::uint32_t i = 0; i < d->units; ++i) {
    const double* u = y + 4 * i;
    const double f_in = i == 0 ? d->feed : y[4 * i - 2];
    const double t_in = i == 0 ? TankTrain::kFeedTemperature : y[4 * i - 3];
    double* out = r + 4 * i;
    out[0] = yp[4 * i] - (f_in - u[2]);
    out[1] = u[0] * cp * yp[4 * i + 1] - (f_in * cp * (t_in - u[1]) + u[3]);
    out[2] = u[2] - TankTrain::kValve * std::sqrt(std::max(u[0], 0.0) / TankTrain::Area(i + 1));
    out[3] = u[3] - TankTrain::kHeatTransfer * (TankTrain::kSteam - u[1]);
  }
  return 0;
}

// J = dF/dy + cj dF/dy', columns [M, T, F, Q] of each unit, rows [mass,
// energy, valve, heater], 12 N - 3 entries.
int Jacobian(realtype, realtype cj, N_Vector yv, N_Vector ypv, N_Vector, SUNMatrix jm, void* user,
             N_Vector, N_Vector, N_Vector) {
  const auto* d = static_cast<const TrainData*>(user);
  const double* y = NV_DATA_S(yv);
  const double* yp = NV_DATA_S(ypv);
  const double cp = TankTrain::kHeatCapacity;
  sunindextype* cols = SM_INDEXPTRS_S(jm);
  sunindextype* rows = SM_INDEXVALS_S(jm);
  double* v = SM_DATA_S(jm);
  sunindextype at = 0;
  auto put = [&](sunindextype row, double value) { rows[at] = row, v[at++] = value; };
  const auto n = static_cast<sunindextype>(d->units);
  for (sunindextype i = 0; i < n; ++i) {
    const sunindextype b = 4 * i;
    const bool next = i + 1 < n;
    const double f_in = i == 0 ? d->feed : y[b - 2];
    const double area = TankTrain::Area(static_cast<std::uint32_t>(i + 1));
    cols[b] = at;  // M
    put(b, cj);
    put(b + 1, cp * yp[b + 1]);
    const double m = std::max(y[b], 0.0);
    put(b + 2, m > 0.0 ? -TankTrain::kValve * 0.5 / (std::sqrt(m / area) * area) : 0.0);
    cols[b + 1] = at;  // T
    put(b + 1, y[b] * cp * cj + f_in * cp);
    put(b + 3, TankTrain::kHeatTransfer);
    if (next) put(b + 5, -y[b + 2] * cp);
    cols[b + 2] = at;  // F
    put(b, 1.0);
    put(b + 2, 1.0);
    if (next) {
      put(b + 4, -1.0);
      put(b + 5, -cp * (y[b + 1] - y[b + 5]));
    }
    cols[b + 3] = at;  // Q
    put(b + 1, -1.0);
    put(b + 3, 1.0);
  }
  cols[4 * n] = at;
  return 0;
}

// Consistent slopes of the states at the current values (algebraic ones 0).
void Slopes(const TrainData& d, const double* y, double* yp) {
  for (std::uint32_t i = 0; i < d.units; ++i) {
    const double f_in = i == 0 ? d.feed : y[4 * i - 2];
    const double t_in = i == 0 ? TankTrain::kFeedTemperature : y[4 * i - 3];
    yp[4 * i] = f_in - y[4 * i + 2];
    yp[4 * i + 1] =
        (f_in * TankTrain::kHeatCapacity * (t_in - y[4 * i + 1]) + y[4 * i + 3]) /
        (y[4 * i] * TankTrain::kHeatCapacity);
    yp[4 * i + 2] = yp[4 * i + 3] = 0.0;
  }
}

// Subnormal numbers flushed to zero for as long as it lives. IDA's history
// arrays of the units the feed step has not reached decay into subnormals
// over long steps, and each operation on one costs about a hundred
// cycles: at 10,000 units this made the reference five times slower. The
// flush changes nothing above 2.2e-308.
class FlushSubnormals {
 public:
  FlushSubnormals() : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | kFlushToZero | kZeroInputs); }
  ~FlushSubnormals() { _mm_setcsr(saved_); }
  FlushSubnormals(const FlushSubnormals&) = delete;
  FlushSubnormals& operator=(const FlushSubnormals&) = delete;

 private:
  static constexpr unsigned kFlushToZero = 0x8000, kZeroInputs = 0x0040;
  unsigned saved_;
};

// The hand-written run, its steps no longer than `max_step` when that is
// positive; at its best when `fast` (optimised vector operations, subnormals
// flushed), else on Debian's libraries as they are. False when IDA failed.
bool RunIda(std::uint32_t units, double max_step, bool fast, Trace* trace, long* steps) {
  std::optional<FlushSubnormals> flush;
  if (fast) flush.emplace();
  TrainData d{units, kFeed};
  const auto n = static_cast<sunindextype>(4 * units);
  SUNContext ctx = nullptr;
  SUNContext_Create(nullptr, &ctx);
  N_Vector y = N_VNew_Serial(n, ctx);
  N_Vector yp = N_VNew_Serial(n, ctx);
  if (fast) vantor_nvector::UseFastSerialOps(y), vantor_nvector::UseFastSerialOps(yp);
  for (std::uint32_t i = 1; i <= units; ++i) {
    double* u = NV_DATA_S(y) + 4 * (i - 1);
    u[0] = TankTrain::SteadyMass(i, kFeed);
    u[1] = TankTrain::SteadyTemperature(i, kFeed);
    u[2] = kFeed;
    u[3] = TankTrain::kHeatTransfer * (TankTrain::kSteam - u[1]);
  }
  Slopes(d, NV_DATA_S(y), NV_DATA_S(yp));
  void* mem = IDACreate(ctx);
  IDAInit(mem, Residual, 0.0, y, yp);
  IDASetUserData(mem, &d);
  IDASStolerances(mem, kRtol, kAtol);
  SUNMatrix a = SUNSparseMatrix(n, n, 12 * units, CSC_MAT, ctx);
  SUNLinearSolver ls = SUNLinSol_KLU(y, a, ctx);
  IDASetLinearSolver(mem, ls, a);
  IDASetJacFn(mem, Jacobian);
  if (max_step > 0.0) IDASetMaxStep(mem, max_step);
  IDASetStopTime(mem, kStepTime);
  long before = 0;  // the steps before the re-initialisation, which counts afresh
  double t = 0.0;
  int flag = 0;
  for (int k = 1; k <= kOutputs && flag >= 0; ++k) {
    flag = IDASolve(mem, k, &t, y, yp, IDA_NORMAL);
    if (flag < 0) break;
    std::vector<double> row;
    for (std::uint32_t u : trace->units) {
      row.push_back(NV_Ith_S(y, 4 * (u - 1)));
      row.push_back(NV_Ith_S(y, 4 * (u - 1) + 1));
    }
    trace->values.push_back(std::move(row));
    if (k == static_cast<int>(kStepTime)) {
      d.feed = kSteppedFeed;
      Slopes(d, NV_DATA_S(y), NV_DATA_S(yp));
      IDAGetNumSteps(mem, &before);
      IDAReInit(mem, t, y, yp);
      IDASetStopTime(mem, 2 * kEnd);  // no stop before the end
    }
  }
  IDAGetNumSteps(mem, steps);
  *steps += before;
  IDAFree(&mem);
  SUNLinSolFree(ls);
  SUNMatDestroy(a);
  N_VDestroy(y);
  N_VDestroy(yp);
  SUNContext_Free(&ctx);
  return flag >= 0;
}

// --- the engine ---

struct EngineTimes {
  double start = 0.0;    // the engine's start and handshake
  double receipt = 0.0;  // the model and the options sent
  double prepare = 0.0;  // command 6
  double begin = 0.0;    // request 31
  double dynamic = 0.0;
  double end = 0.0;   // request 134
  double exit = 0.0;  // command 2 to the engine's exit
  double whole = 0.0;
};

bool Option(Road& road, std::uint16_t number, std::uint16_t code, double value) {
  auto request = std::make_unique<vantor_client::Request>(vantor_scenario::kOptionService,
                                                          vantor_scenario::kWriteSubtype);
  modelwriter::Writer w(*request);
  w.IdPath({number});
  w.U16(number);
  w.U16(0);
  w.U16(code);
  if (code == 4)
    w.F64(value);
  else
    w.U32(static_cast<std::uint32_t>(value));
  return road.Expect(std::move(request), "option " + std::to_string(number), 0);
}

bool ReadUnits(Road& road, const std::vector<std::uint32_t>& units, std::vector<double>* row) {
  for (std::uint32_t u : units) {
    double m = NAN, t = NAN;
    const std::string unit = std::to_string(u);
    if (!road.Read(TankTrain::Index(u, TankTrain::kMass), &m, "M of unit " + unit) ||
        !road.Read(TankTrain::Index(u, TankTrain::kTemperature), &t, "T of unit " + unit))
      return false;
    row->push_back(m);
    row->push_back(t);
  }
  return true;
}

bool RunEngine(std::uint32_t units, int print_level, bool as_environment,
               const std::string& folder, Trace* trace, EngineTimes* times, std::string* why) {
  const auto start = Clock::now();
  vantor_client::EngineOptions options;
  options.program = VANTOR_ENGINE;
  options.timeout_ms = 600000;
  vantor_scenario::FirstOrderRun sink;
  std::unique_ptr<vantor_client::Client> client = vantor_scenario::StartEngine(options, &sink);
  if (!client) {
    *why = sink.failure;
    return false;
  }
  times->start = Seconds(start);
  const auto receipt = Clock::now();
  Road road(*client, &sink);
  TankTrain train;
  train.units = units;
  train.feed = kFeed;
  train.as_environment = as_environment;
  bool ok = vantor_scenario::NameSimulation(road, "Train", folder, 1.0) &&
            vantor_scenario::LoadNode(road, {2, "Train"},
                                      [&](modelwriter::Writer& w) { train.Write(w, {2, "Train"}); }) &&
            Option(road, 29, 2, 4) && Option(road, 30, 2, 4) && Option(road, 130, 4, kRtol) &&
            Option(road, 131, 4, kAtol) && Option(road, 31, 2, print_level);
  times->receipt = Seconds(receipt);
  const auto prepare = Clock::now();
  ok = ok && vantor_scenario::Prepare(road, "command 6");
  times->prepare = Seconds(prepare);
  const auto begin = Clock::now();
  ok = ok && vantor_scenario::BeginRun(road, "request 31");
  times->begin = Seconds(begin);
  if (ok) {
    const auto dynamic = Clock::now();
    for (int k = 0; ok && k <= kOutputs; ++k) {
      ok = road.Expect(MakeCommand(vantor_scenario::kProblemService, 10), "command 10", 0) &&
           road.WaitStep(k, "step to " + std::to_string(k));
      std::vector<double> row;
      if (ok && k > 0) ok = ReadUnits(road, trace->units, &row);
      if (ok && k > 0) trace->values.push_back(std::move(row));
      if (ok && k == static_cast<int>(kStepTime)) {
        auto set = std::make_unique<vantor_client::Request>(vantor_scenario::kResultsService,
                                                            vantor_scenario::kWriteSubtype);
        vantor_client::PutSetReal(*set, {2, TankTrain::kFeedIndex}, 1, kSteppedFeed);
        ok = road.Expect(std::move(set), "feed := 12 (set-item)", 0);
        // The next command 10 re-initialises at the step time; the clock
        // moves on with the one after it.
        ok = ok &&
             road.Expect(MakeCommand(vantor_scenario::kProblemService, 10), "command 10", 0) &&
             road.WaitStep(k, "re-initialisation at " + std::to_string(k));
      }
      sink.events.clear();  // a long run at a high print level keeps no lines
    }
    times->dynamic = Seconds(dynamic);
  }
  const auto end = Clock::now();
  auto end_run = std::make_unique<vantor_client::Request>(vantor_scenario::kProblemService);
  end_run->PutUInt16(134);
  ok = ok && road.Expect(std::move(end_run), "ending the run (request 134)",
                         vantor_scenario::kRunEnded);
  times->end = Seconds(end);
  const auto exit = Clock::now();
  ok = ok && road.Expect(MakeCommand(vantor_scenario::kProblemService, 2),
                         "ending the engine (command 2)", vantor_scenario::kEnding);
  ok = vantor_scenario::FinishEngine(*client, road, &sink, ok);
  times->exit = Seconds(exit);
  times->whole = Seconds(start);
  if (!ok) {
    *why = sink.failure;
    for (std::size_t i = 0; i < sink.events.size() && i < 20; ++i) *why += "; " + sink.events[i];
  }
  return ok;
}

double LargestDifference(const Trace& a, const Trace& b) {
  if (a.values.size() != b.values.size()) return INFINITY;
  double worst = 0.0;
  for (std::size_t k = 0; k < a.values.size(); ++k) {
    for (std::size_t j = 0; j < a.values[k].size(); ++j) {
      const double x = a.values[k][j], y = b.values[k][j];
      worst = std::max(worst, std::fabs(x - y) / std::max(std::fabs(y), 1.0));
    }
  }
  return worst;
}

// One hand-written run timed; false (with the benchmark skipped) when it failed.
bool TimeIda(benchmark::State& state, std::uint32_t units, double max_step, bool fast,
             Trace* trace, long* steps, double* seconds) {
  const auto start = Clock::now();
  if (!RunIda(units, max_step, fast, trace, steps)) {
    state.SkipWithError("a hand-written IDA run failed");
    return false;
  }
  *seconds = Seconds(start);
  return true;
}

void TankTrainRun(benchmark::State& state) {
  const auto units = static_cast<std::uint32_t>(state.range(0));
  const int print_level = static_cast<int>(state.range(1));
  const bool as_environment = state.range(2) != 0;
  const std::string pipes = std::filesystem::temp_directory_path() / "vantor-train-bench";
  std::filesystem::create_directories(pipes);
  setenv("VANTOR_PIPE_DIR", pipes.c_str(), 1);
  setenv("VANTOR_REGISTRY", VANTOR_BUILD_REGISTRY, 1);
  for (auto _ : state) {
    const std::string folder = pipes + "/run";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    Trace ours{Watched(units), {}}, theirs{Watched(units), {}};
    EngineTimes engine;
    std::string why;
    if (!RunEngine(units, print_level, as_environment, folder, &ours, &engine, &why)) {
      state.SkipWithError(("the engine's run failed: " + why).c_str());
      return;
    }
    // The reference at its best, IDA's own steps.
    long steps = 0;
    double reference = 0.0;
    if (!TimeIda(state, units, 0.0, true, &theirs, &steps, &reference)) return;
    // The same held to the engine's default largest step
    // (Integration.MaxStepSize, 1 s): like with like on the step count.
    Trace capped_trace{Watched(units), {}};
    long capped_steps = 0;
    double capped = 0.0;
    if (!TimeIda(state, units, kEngineMaxStep, true, &capped_trace, &capped_steps, &capped))
      return;
    // Debian's libraries as they are, for comparison.
    Trace stock_trace{Watched(units), {}};
    long stock_steps = 0;
    double stock = 0.0;
    if (!TimeIda(state, units, 0.0, false, &stock_trace, &stock_steps, &stock)) return;
    const double difference = LargestDifference(ours, theirs);
    state.SetIterationTime(engine.dynamic);
    state.counters["units"] = units;
    state.counters["print_level"] = print_level;
    state.counters["environment_form"] = as_environment ? 1 : 0;
    state.counters["engine_prepare_s"] = engine.prepare;
    state.counters["engine_dynamic_s"] = engine.dynamic;
    state.counters["engine_start_s"] = engine.start;
    state.counters["engine_receipt_s"] = engine.receipt;
    state.counters["engine_begin_s"] = engine.begin;
    state.counters["engine_end_s"] = engine.end;
    state.counters["engine_exit_s"] = engine.exit;
    state.counters["engine_whole_s"] = engine.whole;
    state.counters["ida_klu_s"] = reference;
    state.counters["ida_klu_steps"] = static_cast<double>(steps);
    state.counters["ida_klu_capped_s"] = capped;
    state.counters["ida_klu_capped_steps"] = static_cast<double>(capped_steps);
    state.counters["ida_klu_stock_s"] = stock;
    state.counters["ratio_dynamic"] = engine.dynamic / reference;
    state.counters["ratio_dynamic_capped"] = engine.dynamic / capped;
    state.counters["ratio_dynamic_stock"] = engine.dynamic / stock;
    state.counters["ratio_whole"] = engine.whole / reference;
    state.counters["max_rel_diff"] = difference;
    if (!(difference < 1e-3)) {
      state.SkipWithError(("the two runs disagree by " + std::to_string(difference)).c_str());
      return;
    }
  }
}

BENCHMARK(TankTrainRun)
    ->ArgsProduct({{100, 1000, 10000}, {0, 2}, {0, 1}})
    ->ArgNames({"N", "PrintLevel", "EnvironmentForm"})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
