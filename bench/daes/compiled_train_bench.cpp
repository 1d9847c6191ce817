// Residual and Jacobian of the heated tank train through the block a
// corrector sees, once through the compiled flowsheet library and once
// through the tapes, in the same iteration: a residual evaluation, then a
// Jacobian (derivative pass and the block's entries with the derivative
// columns folded in). Reports tape_over_library, the ratio of the two
// times, the allocations of one compiled evaluation, and the largest
// relative difference between the two paths' values.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "codegen/flowsheet/compiled_flowsheet.h"
#include "daes/problem/solver_equation.h"
#include "foundation/messages/status_and_msg.h"
#include "tests/support/tank_train_problem.h"

namespace {
std::atomic<long> g_allocations{0};
}  // namespace

// Every allocation is counted; the replacements pair malloc with free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

namespace fs = std::filesystem;

// The train with its library generated, built and loaded.
struct CompiledTrain {
  explicit CompiledTrain(std::uint32_t units) : train(units) {
    if (!train.Ready()) return;
    char made[] = "/tmp/vantor-bench-train-XXXXXX";
    if (mkdtemp(made) == nullptr) return;
    dir = made;
    const fs::path prefix = testsupport::MakeCompiledInstallation(dir, VANTOR_SOURCE_DIR);
    if (prefix.empty()) return;
    std::error_code ec;
    fs::create_directories(prefix / "build", ec);
    setenv("QLN_CE_USE", "1", 1);
    setenv("QLN_CE_KEEP", "1", 1);
    codegen::FlowsheetGeneration generation;
    generation.server_folder = (prefix / "bin").string();
    generation.folder = (prefix / "build").string();
    generation.report = [](BvuStatusAndMsg* message) { delete message; };
    std::string name;
    if (codegen::GenerateCompiledCode(generation, train.Problem(), &name, nullptr) != 0 ||
        name.empty()) {
      return;
    }
    loaded = codegen::LoadCompiledLibrary(train.Problem(), name.c_str()) == 0 &&
             daes::CurrentCompiledLibrary().IsLoaded();
    residuals.resize(train.Block()->GetRowCount());
    values.resize(train.Entries());
    tape_residuals.resize(residuals.size());
    tape_values.resize(values.size());
  }
  ~CompiledTrain() {
    codegen::LoadCompiledLibrary(nullptr, nullptr);
    if (!dir.empty()) fs::remove_all(dir);
  }
  // One residual and one Jacobian through the block, the time of each of
  // the three steps added to `phases`; false on a failure.
  bool Evaluate(std::uint32_t extra, std::vector<double>* r, std::vector<double>* j,
                double* phases) {
    DAESSolverBlock* block = train.Block();
    double largest = 0.0;
    auto start = std::chrono::steady_clock::now();
    auto lap = [&](int k) {
      const auto now = std::chrono::steady_clock::now();
      phases[k] += std::chrono::duration<double>(now - start).count();
      start = now;
    };
    Status s = block->EvaluateResiduals(daes::kEvalResidual | extra, r->data(), &largest);
    lap(0);
    s |= block->EvaluateRows(daes::kEvalDerivatives | daes::kEvalElementSteps | extra);
    lap(1);
    s |= block->EvaluateJacobianEntries(train.Entries(), train.Rows(), train.Cols(), j->data(), 1,
                                        kCoefficient);
    lap(2);
    return s == 0;
  }
  static constexpr double kCoefficient = 50.0;  // 1 / h for a step of 0.02 s
  testsupport::TankTrainProblem train;
  std::string dir;
  bool loaded = false;
  std::vector<double> residuals, values, tape_residuals, tape_values;
};

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double LargestRelativeDifference(const std::vector<double>& a, const std::vector<double>& b) {
  double worst = 0.0;
  for (std::size_t k = 0; k < a.size() && k < b.size(); ++k) {
    worst = std::max(worst, std::fabs(a[k] - b[k]) / std::max(std::fabs(b[k]), 1.0));
  }
  return worst;
}

// Each iteration times the library's evaluation and then the tape's; the
// counters compare the sums.
void BM_TankTrainResidualAndJacobian(benchmark::State& state) {
  const auto units = static_cast<std::uint32_t>(state.range(0));
  CompiledTrain c(units);
  if (!c.loaded) {
    state.SkipWithError("the train's library was not built or not loaded");
    return;
  }
  // The first evaluations size what they keep.
  double library_phases[3] = {}, tape_phases[3] = {};
  c.Evaluate(0, &c.residuals, &c.values, library_phases);
  c.Evaluate(daes::kEvalInterpreted, &c.tape_residuals, &c.tape_values, tape_phases);
  std::fill(std::begin(library_phases), std::end(library_phases), 0.0);
  std::fill(std::begin(tape_phases), std::end(tape_phases), 0.0);
  double library_seconds = 0.0;
  double tape_seconds = 0.0;
  long allocations = 0;
  bool ok = true;
  for (auto _ : state) {
    const long before = g_allocations.load();
    auto start = std::chrono::steady_clock::now();
    ok = c.Evaluate(0, &c.residuals, &c.values, library_phases) && ok;
    library_seconds += Seconds(start);
    allocations += g_allocations.load() - before;
    state.PauseTiming();
    start = std::chrono::steady_clock::now();
    ok = c.Evaluate(daes::kEvalInterpreted, &c.tape_residuals, &c.tape_values, tape_phases) && ok;
    tape_seconds += Seconds(start);
    state.ResumeTiming();
  }
  if (!ok) {
    state.SkipWithError("an evaluation failed");
    return;
  }
  const double iterations = static_cast<double>(std::max<std::int64_t>(state.iterations(), 1));
  state.counters["units"] = units;
  state.counters["library_us"] = 1e6 * library_seconds / iterations;
  state.counters["tape_us"] = 1e6 * tape_seconds / iterations;
  state.counters["tape_over_library"] = library_seconds > 0.0 ? tape_seconds / library_seconds : 0.0;
  const char* names[3] = {"residuals", "derivatives", "entries"};
  for (int k = 0; k < 3; ++k) {
    state.counters[std::string("library_") + names[k] + "_us"] = 1e6 * library_phases[k] / iterations;
    state.counters[std::string("tape_") + names[k] + "_us"] = 1e6 * tape_phases[k] / iterations;
  }
  state.counters["allocations_per_evaluation"] = static_cast<double>(allocations) / iterations;
  double with_code = 0.0;
  DAESProblem* problem = c.train.Problem();
  for (std::int32_t i = 0; i < problem->EquationCount(); ++i) {
    auto* row = dynamic_cast<DAESSolverEquation*>(problem->GetEquation(i));
    if (row != nullptr &&
        row->HasCompiledJacobian(daes::CurrentCompiledLibrary().generation)) {
      with_code += 1.0;
    }
  }
  state.counters["rows_with_jacobian_code"] = with_code;
  state.counters["max_rel_diff"] =
      std::max(LargestRelativeDifference(c.residuals, c.tape_residuals),
               LargestRelativeDifference(c.values, c.tape_values));
}
BENCHMARK(BM_TankTrainResidualAndJacobian)
    ->Arg(1000)
    ->ArgName("N")
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
