// The decomposition server on a 50,000-equation flowsheet pattern, through
// its COM interface with the test doubles as block and executive, beside
// SuiteSparse's btf_l_order (matching and block order only) on the same
// pattern in the same run. The server's time includes reading the block,
// the dependence queries and making every group through the factory.
#include <benchmark/benchmark.h>
#include <btf.h>

#include <chrono>
#include <cstdlib>
#include <set>

#include "tests/outside/server_models.h"

namespace {

using namespace server_test;

constexpr std::int32_t kUnits = 12500;  // about 50,000 equations

double BtfOrderSeconds(const Model& m, SuiteSparse_long* blocks) {
  const auto n = static_cast<SuiteSparse_long>(m.equations.size());
  std::vector<SuiteSparse_long> ap{0}, ai;
  for (const auto& eq : m.equations) {
    std::set<std::int32_t> cols(eq.variables.begin(), eq.variables.end());
    for (auto c : cols) ai.push_back(c);
    ap.push_back(static_cast<SuiteSparse_long>(ai.size()));
  }
  std::vector<SuiteSparse_long> p(n), q(n), r(n + 1), work(5 * n);
  double done = 0;
  SuiteSparse_long matched = 0;
  const auto start = std::chrono::steady_clock::now();
  *blocks = btf_l_order(n, ap.data(), ai.data(), -1, &done, p.data(), q.data(), r.data(), &matched,
                        work.data());
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void DecomposeFlowsheet(benchmark::State& state) {
  setenv("VANTOR_REGISTRY", VANTOR_BUILD_REGISTRY, 1);
  platform::CoInitializeEx(nullptr, 0);
  Model m = Flowsheet(kUnits, 11);
  double server = 0, btf = 0;
  std::int64_t groups = 0, runs = 0;
  SuiteSparse_long btf_blocks = 0;
  for (auto _ : state) {
    auto* group = new FakeProblemGroup(&m);
    auto* exec = new FakeExecutive(&m);
    group->AddRef();
    exec->AddRef();
    IUnknown* made = nullptr;
    exec->CreateDecomposerObject(&made);
    void* q = nullptr;
    made->QueryInterface(IID_IQLNDecomposer, &q);
    made->Release();
    auto* decomposer = static_cast<IQLNDecomposer*>(q);
    IQLNDecomposition* out = nullptr;
    const auto start = std::chrono::steady_clock::now();
    const Status s = decomposer->Decompose(exec, group, 0, 0, 0, &out);
    const double t =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (s != 0 || out == nullptr) state.SkipWithError("decompose failed");
    groups = static_cast<std::int64_t>(exec->last_decomposition->groups.size());
    server += t;
    btf += BtfOrderSeconds(m, &btf_blocks);
    ++runs;
    state.SetIterationTime(t);
    if (out != nullptr) out->Release();
    decomposer->Release();
    group->Release();
    exec->Release();
  }
  if (groups != btf_blocks) state.SkipWithError("block counts differ from btf_l_order");
  state.counters["equations"] = static_cast<double>(m.equations.size());
  state.counters["groups"] = static_cast<double>(groups);
  state.counters["btf_ms"] = 1e3 * btf / static_cast<double>(runs);
  state.counters["ratio_to_btf"] = server / btf;
  platform::CoUninitialize();
}

BENCHMARK(DecomposeFlowsheet)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
