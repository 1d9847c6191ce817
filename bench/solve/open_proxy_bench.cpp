// The engine's share of a linear group solve: the group through the SLU
// proxy, its adapter work and the library, beside the same create, set
// values, set right-hand side and solve calls made on "kvs_slu" directly.
// Report the ratio of the two times of one run. The linear groups of a
// generated flowsheet, decomposed by the group server, likewise.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <ctime>
#include <string>
#include <vector>

#include "framework/libraries/library_api.h"
#include "platform/dynamic_library.h"
#include "solve/ifaces/decomposer.h"
#include "solve/open/kvs_proxies.h"
#include "tests/solve/flowsheet_model.h"
#include "tests/solve/group_support.h"

namespace {

using daestest::Writer;
using daestest::mw::Add;
using daestest::mw::Mul;
using daestest::mw::Real;
using daestest::mw::Var;

// A chain of n unknowns: 4 x(k) - x(k-1) - x(k+1) = 1.
void Chain(Writer& w, std::uint32_t n) {
  w.List(2 * n);
  for (std::uint32_t k = 0; k < n; ++k) {
    w.Item(daestest::mw::kRealVariable);
    w.Placement({{2, "B"}, {k + 1, ".x" + std::to_string(k)}});
    w.Value(0.0), w.End();
  }
  for (std::uint32_t k = 0; k < n; ++k) {
    std::vector<std::uint32_t> refs{k + 1};
    auto e = Add(Mul(Real(4.0), Var(0)), Real(-1.0));
    if (k > 0) {
      refs.push_back(k);
      e = Add(e, Mul(Real(-1.0), Var(static_cast<std::uint32_t>(refs.size() - 1))));
    }
    if (k + 1 < n) {
      refs.push_back(k + 2);
      e = Add(e, Mul(Real(-1.0), Var(static_cast<std::uint32_t>(refs.size() - 1))));
    }
    w.Item(daestest::mw::kInlineEquation), w.U32(0);
    w.Expression(e);
    w.Placement({{2, "B"}, {n + k + 1, ".e" + std::to_string(k)}});
    w.EquationHead(static_cast<std::uint32_t>(refs.size()));
    for (std::uint32_t r : refs) w.Reference({2, r});
  }
}

void BM_GroupThroughProxy(benchmark::State& state) {
  AddDLLSearchPath(VANTOR_KVS_DIR);
  const auto n = static_cast<std::uint32_t>(state.range(0));
  grouptest::Options options;
  grouptest::Model m([&](Writer& w) { Chain(w, n); });
  QLNKVSSluProxy proxy;
  std::vector<double> start(n, 0.0);
  for (auto _ : state) {
    m.SetValues(start);
    benchmark::DoNotOptimize(proxy.Solve(m.run.get(), 0, 0, 0, nullptr));
  }
}

void BM_SameCallsOnTheLibrary(benchmark::State& state) {
  const auto n = static_cast<std::uint32_t>(state.range(0));
  void* lib = dlopen(VANTOR_KVS_DIR "/kvs_slu.so", RTLD_NOW | RTLD_LOCAL);
  auto get = reinterpret_cast<GetFactoryFunction>(dlsym(lib, kGetFactoryLASystem));
  platform::IUnknown* object = get();
  void* raw = nullptr;
  object->QueryInterface(IID_KVSLASystemFactory, &raw);
  object->Release();
  auto* factory = static_cast<KVSLASystemFactory*>(raw);
  std::vector<std::int64_t> rows, cols;
  std::vector<double> values;
  for (std::uint32_t j = 1; j <= n; ++j) {
    for (std::uint32_t i = j > 1 ? j - 1 : 1; i <= std::min(n, j + 1); ++i) {
      rows.push_back(i);
      cols.push_back(j);
      values.push_back(i == j ? 4.0 : -1.0);
    }
  }
  std::vector<double> rhs(n, 1.0), x(n);
  for (auto _ : state) {
    KVSLASystem* system = nullptr;
    factory->CreateSystem(static_cast<std::int32_t>(n), static_cast<std::int32_t>(n),
                          static_cast<std::int32_t>(rows.size()), rows.data(), cols.data(),
                          QLNCOpenMessagesHandler::Instance(), &system);
    system->SetMatrixValues(values.data());
    system->SetRHS(rhs.data());
    benchmark::DoNotOptimize(system->Solve(x.data()));
    system->Release();
  }
  factory->Release();
}

KVSLASystemFactory* LoadSlu() {
  void* lib = dlopen(VANTOR_KVS_DIR "/kvs_slu.so", RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) return nullptr;
  auto get = reinterpret_cast<GetFactoryFunction>(dlsym(lib, kGetFactoryLASystem));
  platform::IUnknown* object = get();
  void* raw = nullptr;
  object->QueryInterface(IID_KVSLASystemFactory, &raw);
  object->Release();
  return static_cast<KVSLASystemFactory*>(raw);
}

double ThreadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// One linear group as the library sees it: its pattern, the Jacobian and
// the right-hand side the proxy hands over at the start values, and a
// system made once, as the proxy keeps its own in the group.
struct Captured {
  std::vector<std::int64_t> rows, cols;
  std::vector<double> values, rhs, x;
  KVSLASystem* system = nullptr;
};

Captured Capture(DAESSolverBlock& b, KVSLASystemFactory* factory) {
  Captured c;
  const std::int32_t n = std::int32_t(b.GetRowCount());
  std::vector<double> residuals(size_t(n), 0.0);
  b.EvaluateResiduals(7u, residuals.data(), nullptr);
  for (double r : residuals) c.rhs.push_back(-r);
  const std::int64_t* rows = nullptr;
  const std::int64_t* cols = nullptr;
  b.BuildStructure(&rows, &cols, nullptr, 0);
  c.rows.assign(rows, rows + b.StructureSize());
  c.cols.assign(cols, cols + b.StructureSize());
  c.values.assign(b.StructureSize(), 0.0);
  b.EvaluateRows(12);
  b.EvaluateJacobianEntries(b.StructureSize(), rows, cols, c.values.data(), 0, 0.0);
  c.x.assign(size_t(b.VariableCount()), 0.0);
  factory->CreateSystem(n, b.VariableCount(), std::int32_t(c.rows.size()), c.rows.data(),
                        c.cols.data(), QLNCOpenMessagesHandler::Instance(), &c.system);
  return c;
}

using PlayFunction = Status (*)(platform::IUnknown*, platform::IUnknown*, std::int32_t,
                                platform::IUnknown**);

// The generated flowsheet decomposed by the group server; its linear groups
// solved through the SLU proxy (the group's evaluation, the proxy's
// settings and checks, the library) and, in turn within every iteration,
// the same factorise-and-solve calls made on kvs_slu directly. Each side is
// timed on this thread's CPU clock; "engine_share" is the part of the
// proxy's time the library calls do not account for.
void BM_FlowsheetLinearGroups(benchmark::State& state) {
  AddDLLSearchPath(VANTOR_KVS_DIR);
  void* server = platform::OpenLibrary(VANTOR_GROUP_SERVER).handle;
  KVSLASystemFactory* factory = LoadSlu();
  if (server == nullptr || factory == nullptr) return state.SkipWithError("libraries not built");
  auto play = reinterpret_cast<PlayFunction>(platform::LibrarySymbol(server, "PlayDecomposer"));
  const auto units = static_cast<std::uint32_t>(state.range(0));
  grouptest::Options options;
  grouptest::Methods methods;
  ReplaceGroupMethod(kGroupLinear, new QLNKVSSluProxy());
  grouptest::Model m([&](daestest::Writer& w) { grouptest::Flowsheet(w, units); });
  auto* problem_group = new QLNESOGroup(m.run.get());
  problem_group->AddRef();
  grouptest::Factory engine;
  platform::IUnknown* out = nullptr;
  if (play(&engine, static_cast<IQLNESO*>(problem_group), 0, &out) != 0) {
    return state.SkipWithError("no decomposition");
  }
  auto* decomposition = static_cast<QLNDecomposition*>(static_cast<IQLNDecomposition*>(out));
  std::vector<QLNESOGroup*> linear;
  std::vector<std::vector<std::pair<DAESVarTableEntry*, double>>> starts;
  std::vector<Captured> direct;
  for (std::uint32_t g = 0; g < decomposition->GetRowCount(); ++g) {
    void* eso = nullptr;
    decomposition->GetGroup(std::int32_t(g), IID_IESO, &eso);
    std::uint8_t type = 0;
    static_cast<IESO*>(eso)->GetGroupType(&type);
    auto* group = dynamic_cast<QLNESOGroup*>(static_cast<IESO*>(eso));
    auto* block = group != nullptr ? dynamic_cast<DAESSolverBlock*>(group->Block()) : nullptr;
    if (type == kGroupTypeLinear && block != nullptr) {
      linear.push_back(group);
      starts.emplace_back();
      for (std::int32_t j = 0; j < block->VariableCount(); ++j)
        starts.back().push_back({block->GetVariable(j), block->GetVariable(j)->GetRealValue()});
      direct.push_back(Capture(*block, factory));
    }
    static_cast<IESO*>(eso)->Release();
  }
  double engine_time = 0.0, library_time = 0.0;
  std::int32_t failed = 0;
  for (auto _ : state) {
    const double t0 = ThreadSeconds();
    for (std::size_t g = 0; g < linear.size(); ++g) {
      for (auto& [variable, value] : starts[g]) variable->SetValue(value);
      std::int32_t count = 0;
      failed += status::IsFailure(linear[g]->SolveWithMode(0, 0, &count)) ? 1 : 0;
    }
    const double t1 = ThreadSeconds();
    for (Captured& c : direct) {
      c.system->SetMatrixValues(c.values.data());
      c.system->SetRHS(c.rhs.data());
      benchmark::DoNotOptimize(c.system->Solve(c.x.data()));
    }
    library_time += ThreadSeconds() - t1;
    engine_time += t1 - t0;
  }
  if (failed != 0) state.SkipWithError("a linear group failed");
  state.counters["groups"] = double(linear.size());
  state.counters["engine_share"] = engine_time > 0 ? 1.0 - library_time / engine_time : 0.0;
  state.counters["proxy_ms"] = 1e3 * engine_time / double(state.iterations());
  state.counters["library_ms"] = 1e3 * library_time / double(state.iterations());
  for (Captured& c : direct) c.system->Release();
  decomposition->Release();
  problem_group->Release();
  factory->Release();
}

}  // namespace

BENCHMARK(BM_GroupThroughProxy)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SameCallsOnTheLibrary)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FlowsheetLinearGroups)
    ->Arg(400)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK_MAIN();
