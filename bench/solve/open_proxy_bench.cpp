// The engine's share of a linear group solve: the group through the SLU
// proxy, its adapter work and the library, beside the same create, set
// values, set right-hand side and solve calls made on "kvs_slu" directly.
// Report the ratio of the two times of one run.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <string>
#include <vector>

#include "framework/libraries/library_api.h"
#include "solve/open/kvs_proxies.h"
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

}  // namespace

BENCHMARK(BM_GroupThroughProxy)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SameCallsOnTheLibrary)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
