// Steady-state sensitivities of a generated flowsheet (2,500 units of three
// equations: enthalpy balance, vapour pressure, valve) with respect to 100 valve coefficients,
// through the engine's sensitivity calculator (the decomposition server's single group, one
// factorisation, one solve per parameter), beside UMFPACK solving the same
// right-hand sides with its own factors of the same Jacobian, in the same
// run. Both sides evaluate the same right-hand-side columns; the counter
// is time per parameter.
#include <benchmark/benchmark.h>
#include <umfpack.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "daes/blocks/solver_block.h"
#include "daes/equations/equation_node.h"
#include "daes/equations/row_element.h"
#include "daes/instance/instance_node.h"
#include "daes/model/variable.h"
#include "daes/problem/problem.h"
#include "daes/problem/solver_equation.h"
#include "expr/tree/binary_expression.h"
#include "expr/tree/expression.h"
#include "expr/tree/operator_table.h"
#include "expr/tree/unary_expression.h"
#include "expr/tree/var_ref_expression.h"
#include "foundation/interfaces/solver_options.h"
#include "solve/groups/decomposition.h"
#include "solve/groups/eso_group.h"
#include "solve/ifaces/executive.h"
#include "solve/options/solver_option_table.h"
#include "solve/proxies/decomposer_proxy.h"
#include "solve/proxies/sensitivity_calculator.h"
#include "solve/proxies/server_host.h"
#include "tests/support/quiet_server_host.h"

namespace {

constexpr int kUnits = 2500;
constexpr int kParameters = 100;

Expression* Held(Expression* e) {
  e->AddRef();
  return e;
}
Expression* V(std::uint32_t i) { return Held(new VarRefExpression(i)); }
Expression* C(double v) { return Held(new TerminalExpression(v)); }
Expression* Bin(std::uint16_t op, Expression* a, Expression* b) {
  Expression* e = MakeBinaryExpression(op, a, b);
  a->Release();
  b->Release();
  return e;
}
Expression* Un(std::uint16_t op, Expression* a) {
  Expression* e = MakeUnaryExpression(op, a);
  a->Release();
  return e;
}

// Unit k: flow F, temperature T, pressure P and a fixed valve coefficient
// c; unit 0 is the fixed feed.
struct Flowsheet {
  Flowsheet() : root(new DAESInstanceNode(nullptr, nullptr)) {
    std::int32_t next = 1;
    auto variable = [&](const std::string& name, double value, bool fixed) {
      auto* v = new DAESRealVariable(root, name.c_str());
      v->SetFlags(fixed ? daes::kFixed : (daes::kAlgebraic | daes::kFree));
      v->SetValue(value);
      root->InsertChildAt(next++, v);
      return v;
    };
    for (int k = 0; k <= kUnits; ++k) {
      const std::string u = ".U" + std::to_string(k);
      F.push_back(variable(u + ".F", 10.0 + 0.001 * k, k == 0));
      T.push_back(variable(u + ".T", 350.0 - 0.01 * k, k == 0));
      P.push_back(variable(u + ".P", 5.0e5 - 100.0 * k, k == 0));
      c.push_back(variable(u + ".c", 0.5, true));
    }
    auto equation = [&](const std::string& name, Expression* e,
                        std::vector<DAESVarTableEntry*> vars) {
      auto* node = new DAESEquationNode(root, name.c_str(), e);
      e->Release();
      std::vector<DAESRowElement*> elements;
      for (DAESVarTableEntry* v : vars) elements.push_back(new DAESScalar(v));
      node->SetRowElements(std::move(elements), static_cast<std::int32_t>(vars.size()));
      root->InsertChildAt(next++, node);
    };
    for (int k = 1; k <= kUnits; ++k) {
      const std::string u = ".E" + std::to_string(k);
      equation(u + "h",
               Bin(kAdd, Bin(kSub, Bin(kMul, V(0), V(1)), Bin(kMul, V(2), V(3))),
                   Bin(kMul, C(0.1), V(0))),
               {F[k], T[k], F[k - 1], T[k - 1]});
      equation(u + "p",
               Bin(kSub, V(0),
                   Un(kExp, Bin(kSub, C(20.0), Bin(kDiv, C(4000.0), Bin(kAdd, V(1), C(10.0)))))),
               {P[k], T[k]});
      equation(u + "v", Bin(kSub, V(0), Bin(kMul, V(3), Un(kSqrt, Bin(kSub, V(1), V(2))))),
               {F[k], P[k - 1], P[k], c[k]});
    }
    problem.reset(DAESCreateProblem(root, 0, nullptr));
  }
  ~Flowsheet() {
    problem.reset();
    BvuDirectoryProper::DeleteBelow(root);
    delete root;
  }
  DAESInstanceNode* root;
  std::vector<DAESVarTableEntry*> F, T, P, c;
  std::unique_ptr<DAESProblem> problem;
};

// The problem manager as the decomposer proxy sees it: the factory of
// groups and decompositions.
class Executive final : public IQLNESOFactory {
 public:
  Status QueryInterface(const platform::IID& iid, void** out) override {
    *out = nullptr;
    if (iid != IID_IQLNESOFactory && iid != platform::IID_IUnknown) return 0x80004002u;
    *out = static_cast<IQLNESOFactory*>(this);
    return 0;
  }
  std::uint32_t AddRef() override { return 1; }
  std::uint32_t Release() override { return 1; }
  Status SetSimulationTime(double) override { return 0; }
  Status PostSolverMessage(Status, std::int32_t, const char* const*, std::int32_t,
                           void* const*) override {
    return 0;
  }
  Status SetNestedMode(std::int32_t) override { return 0; }
  Status CreateGroupTable(std::int32_t, const double*, const double*) override { return 0; }
  Status SetGroupValues(std::int32_t, const double*) override { return 0; }
  Status AttachSolverObject(platform::IUnknown*, std::int32_t) override { return 0; }
  Status DetachSolverObject(std::int32_t) override { return 0; }
  Status CheckCompiledEquations() override { return 0; }
  Status CreateDecomposerObject(platform::IUnknown** out) override {
    *out = static_cast<IQLNDecomposer*>(new QLNDecomposerProxy());
    return 0;
  }
  Status CreateESOGroupObject(std::int32_t type, platform::IUnknown** out) override {
    return ::CreateESOGroupObject(type, out);
  }
  Status CreateDecompositionObject(platform::IUnknown** out) override {
    return ::CreateDecompositionObject(out);
  }
};

class Host final : public QuietServerProxyHost {
 public:
  platform::IUnknown* Executive() override { return &executive; }
  class Executive executive;
};

class Manager final : public SensitivityManagerFace {
 public:
  explicit Manager(Flowsheet* s) : s_(s) {}
  Status PrepareStorage() override { return 0; }
  std::int32_t VariableCount() override { return 1; }
  DAESVarTableEntry* Variable(std::int32_t) override { return s_->F[kUnits]; }
  std::int32_t EntryCount() override { return kParameters; }
  DAESVarTableEntry* Entry(std::int32_t j) override {
    return s_->c[static_cast<std::size_t>(j + 1)];
  }
  Status Store(std::int32_t, DAESVarTableEntry*, double value, std::int32_t) override {
    sum += value;
    return 0;
  }
  Status RecordDelayed(std::int32_t, DAESVarTableEntry*, double, double) override { return 0; }
  double sum = 0.0;

 private:
  Flowsheet* s_;
};

class Calculator final : public QLNSensitivityCalculator {
 public:
  Status ServerRow(double*, std::int32_t) override { return 0; }
  Status ServerInitialRow(double*) override { return 0; }
  Status ServerExtraRow(double*) override { return 0; }
  Status ServerInterface(const void*, void**) override { return 0; }
};

struct Setting {
  Setting() : manager(&sheet) {
    setenv("VANTOR_REGISTRY", VANTOR_BUILD_REGISTRY, 1);
    SetServerProxyHost(&host);
    SetSensitivityManagerFace(&manager);
  }
  ~Setting() {
    SetSensitivityManagerFace(nullptr);
    SetServerProxyHost(nullptr);
  }
  SolverOptionTable table;
  Host host;
  Flowsheet sheet;
  Manager manager;
};

Setting& Shared() {
  static Setting* setting = new Setting();
  return *setting;
}

void PerParameter(benchmark::State& state) {
  // Seconds per parameter.
  state.counters["per_parameter"] = benchmark::Counter(
      static_cast<double>(kParameters),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Ours: the calculator's whole steady-state pass, decomposition kept.
void BM_SensitivityCalculator(benchmark::State& state) {
  Setting& s = Shared();
  Calculator calculator;
  if (calculator.Compute(0.0, 1, 1) != 0) {
    state.SkipWithError("the sensitivity calculator failed");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(calculator.Compute(0.0, 1, 1));
  }
  benchmark::DoNotOptimize(s.manager.sum);
  PerParameter(state);
}
BENCHMARK(BM_SensitivityCalculator)->Unit(benchmark::kMillisecond);

// UMFPACK: the same Jacobian and right-hand sides, factorised by UMFPACK
// once per pass, one solve per parameter.
void BM_SensitivityUmfpack(benchmark::State& state) {
  Shared();
  Calculator calculator;
  if (calculator.Compute(0.0, 1, 1) != 0) {
    state.SkipWithError("the sensitivity calculator failed");
    return;
  }
  DAESSolverBlock* system = calculator.System();
  const std::int64_t* rows = nullptr;
  const std::int64_t* cols = nullptr;
  system->BuildStructure(&rows, &cols, nullptr, 0);
  const auto ne = static_cast<std::size_t>(system->StructureSize());
  const int n = system->VariableCount();
  const auto m = static_cast<std::size_t>(system->GetRowCount());
  // Entries come grouped by column: the column starts follow directly.
  std::vector<int> starts(static_cast<std::size_t>(n) + 1, 0), index(ne);
  for (std::size_t e = 0; e < ne; ++e) {
    ++starts[static_cast<std::size_t>(cols[e])];
    index[e] = static_cast<int>(rows[e] - 1);
  }
  for (int j = 0; j < n; ++j)
    starts[static_cast<std::size_t>(j) + 1] += starts[static_cast<std::size_t>(j)];
  std::vector<double> values(ne), rhs(m), x(static_cast<std::size_t>(n));
  for (auto _ : state) {
    system->EvaluateRows(daes::kEvalResidual | daes::kEvalDerivatives);
    system->EvaluateJacobianEntries(static_cast<std::uint32_t>(ne), rows, cols, values.data(), 0,
                                    0.0);
    void* symbolic = nullptr;
    void* numeric = nullptr;
    umfpack_di_symbolic(n, n, starts.data(), index.data(), values.data(), &symbolic, nullptr,
                        nullptr);
    umfpack_di_numeric(starts.data(), index.data(), values.data(), symbolic, &numeric, nullptr,
                       nullptr);
    for (int j = 1; j <= kParameters; ++j) {
      system->EvaluateJacobianColumn(Shared().sheet.c[static_cast<std::size_t>(j)], rhs.data(), 0);
      for (double& b : rhs) b = -b;
      umfpack_di_solve(UMFPACK_A, starts.data(), index.data(), values.data(), x.data(), rhs.data(),
                       numeric, nullptr, nullptr);
    }
    umfpack_di_free_numeric(&numeric);
    umfpack_di_free_symbolic(&symbolic);
    benchmark::DoNotOptimize(x.data());
  }
  PerParameter(state);
}
BENCHMARK(BM_SensitivityUmfpack)->Unit(benchmark::kMillisecond);

}  // namespace
