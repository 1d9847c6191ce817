// Residual and Jacobian evaluation through the problem root and through a
// solver block of the run, per equation and per non-zero,
// on a generated flowsheet of 10,000 equations (2,500 units of four: mass
// balance, enthalpy balance, vapour pressure, valve). The same equations
// written out in C++ run beside it: the ratio is what compiled equations
// could gain.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

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

namespace {

constexpr int kUnits = 2500;

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

// Unit k: flow F, temperature T, pressure P; unit 0 is the feed.
struct Flowsheet {
  Flowsheet() : root(new DAESInstanceNode(nullptr, nullptr)) {
    std::int32_t next = 1;
    auto variable = [&](const std::string& name, double value) {
      auto* v = new DAESRealVariable(root, name.c_str());
      v->SetFlags(daes::kAlgebraic | daes::kFree);
      v->SetValue(value);
      root->InsertChildAt(next++, v);
      return v;
    };
    for (int k = 0; k <= kUnits; ++k) {
      const std::string u = ".U" + std::to_string(k);
      F.push_back(variable(u + ".F", 10.0 + 0.001 * k));
      T.push_back(variable(u + ".T", 350.0 - 0.01 * k));
      P.push_back(variable(u + ".P", 5.0e5 - 100.0 * k));
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
      // F[k] - F[k-1] - 0.001
      equation(u + "m", Bin(kSub, Bin(kSub, V(0), V(1)), C(0.001)), {F[k], F[k - 1]});
      // F[k]*T[k] - F[k-1]*T[k-1] + 0.1*F[k]
      equation(u + "h",
               Bin(kAdd, Bin(kSub, Bin(kMul, V(0), V(1)), Bin(kMul, V(2), V(3))),
                   Bin(kMul, C(0.1), V(0))),
               {F[k], T[k], F[k - 1], T[k - 1]});
      // P[k] - exp(20 - 4000/(T[k] + 10))
      equation(u + "p",
               Bin(kSub, V(0),
                   Un(kExp, Bin(kSub, C(20.0), Bin(kDiv, C(4000.0), Bin(kAdd, V(1), C(10.0)))))),
               {P[k], T[k]});
      // F[k] - 0.5*sqrt(P[k-1] - P[k])
      equation(u + "v", Bin(kSub, V(0), Bin(kMul, C(0.5), Un(kSqrt, Bin(kSub, V(1), V(2))))),
               {F[k], P[k - 1], P[k]});
    }
    problem.reset(DAESCreateProblem(root, 0, nullptr));
    for (std::int32_t i = 0; i < problem->EquationCount(); ++i) {
      rows.push_back(static_cast<DAESSolverEquation*>(problem->GetEquation(i)));
    }
  }
  ~Flowsheet() {
    problem.reset();
    BvuDirectoryProper::DeleteBelow(root);
    delete root;
  }
  DAESInstanceNode* root;
  std::vector<DAESVarTableEntry*> F, T, P;
  std::unique_ptr<DAESProblem> problem;
  std::vector<DAESSolverEquation*> rows;
};

Flowsheet& Sheet() {
  static Flowsheet sheet;
  return sheet;
}

void PerEquation(benchmark::State& state, std::size_t equations) {
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * equations));
  // Equations per nanosecond, inverted.
  state.counters["ns_per_equation"] = benchmark::Counter(
      static_cast<double>(equations) / 1e9,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_ProblemResidual(benchmark::State& state) {
  Flowsheet& s = Sheet();
  for (auto _ : state) {
    for (DAESSolverEquation* row : s.rows) {
      Status st = row->Evaluate(daes::kEvalResidual, nullptr);
      benchmark::DoNotOptimize(st);
    }
  }
  PerEquation(state, s.rows.size());
}
BENCHMARK(BM_ProblemResidual)->Unit(benchmark::kMicrosecond);

void BM_ProblemResidualAndJacobian(benchmark::State& state) {
  Flowsheet& s = Sheet();
  for (auto _ : state) {
    for (DAESSolverEquation* row : s.rows) {
      Status st = row->Evaluate(daes::kEvalResidual | daes::kEvalDerivatives, nullptr);
      benchmark::DoNotOptimize(st);
    }
  }
  PerEquation(state, s.rows.size());
}
BENCHMARK(BM_ProblemResidualAndJacobian)->Unit(benchmark::kMicrosecond);

// The same evaluation through a solver block of the run: residuals per
// equation, Jacobian entries (derivative pass plus block entries) per
// non-zero.
struct RunBlock {
  RunBlock() {
    DAESSolverBlock* raw = nullptr;
    Sheet().problem->BuildSolverBlock(&raw, daes::kFree, 0, 0, 0, true);
    block.reset(raw);
    block->BuildStructure(&rows, &cols, nullptr, 0);
    residuals.resize(block->GetRowCount());
    values.resize(block->StructureSize());
  }
  std::unique_ptr<DAESSolverBlock> block;
  const std::int64_t* rows = nullptr;
  const std::int64_t* cols = nullptr;
  std::vector<double> residuals;
  std::vector<double> values;
};

void PerNonZero(benchmark::State& state, std::size_t entries) {
  state.counters["ns_per_nonzero"] = benchmark::Counter(
      static_cast<double>(entries) / 1e9,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_BlockResidual(benchmark::State& state) {
  RunBlock b;
  double largest = 0.0;
  for (auto _ : state) {
    Status st = b.block->EvaluateResiduals(daes::kEvalResidual, b.residuals.data(), &largest);
    benchmark::DoNotOptimize(st);
  }
  PerEquation(state, b.residuals.size());
}
BENCHMARK(BM_BlockResidual)->Unit(benchmark::kMicrosecond);

void BM_BlockResidualAndJacobian(benchmark::State& state) {
  RunBlock b;
  for (auto _ : state) {
    Status st = b.block->EvaluateRows(daes::kEvalResidual | daes::kEvalDerivatives);
    st |= b.block->EvaluateJacobianEntries(b.block->StructureSize(), b.rows, b.cols,
                                           b.values.data(), 0, 0.0);
    benchmark::DoNotOptimize(st);
  }
  PerEquation(state, b.residuals.size());
  PerNonZero(state, b.values.size());
}
BENCHMARK(BM_BlockResidualAndJacobian)->Unit(benchmark::kMicrosecond);

// The same equations as C++ over arrays of values, residual and Jacobian
// entries into flat arrays.
struct Native {
  Native() : F(kUnits + 1), T(kUnits + 1), P(kUnits + 1), r(4 * kUnits), J(11 * kUnits) {
    for (int k = 0; k <= kUnits; ++k) {
      F[k] = 10.0 + 0.001 * k;
      T[k] = 350.0 - 0.01 * k;
      P[k] = 5.0e5 - 100.0 * k;
    }
  }
  void Residuals() {
    for (int k = 1; k <= kUnits; ++k) {
      double* out = &r[4 * (k - 1)];
      out[0] = F[k] - F[k - 1] - 0.001;
      out[1] = F[k] * T[k] - F[k - 1] * T[k - 1] + 0.1 * F[k];
      out[2] = P[k] - std::exp(20.0 - 4000.0 / (T[k] + 10.0));
      out[3] = F[k] - 0.5 * std::sqrt(P[k - 1] - P[k]);
    }
  }
  void Jacobian() {
    for (int k = 1; k <= kUnits; ++k) {
      double* j = &J[11 * (k - 1)];
      j[0] = 1.0;
      j[1] = -1.0;
      j[2] = T[k] + 0.1;
      j[3] = F[k];
      j[4] = -T[k - 1];
      j[5] = -F[k - 1];
      const double e = std::exp(20.0 - 4000.0 / (T[k] + 10.0));
      j[6] = 1.0;
      j[7] = -e * 4000.0 / ((T[k] + 10.0) * (T[k] + 10.0));
      const double s = std::sqrt(P[k - 1] - P[k]);
      j[8] = 1.0;
      j[9] = -0.25 / s;
      j[10] = 0.25 / s;
    }
  }
  std::vector<double> F, T, P, r, J;
};

void BM_NativeResidual(benchmark::State& state) {
  Native n;
  for (auto _ : state) {
    n.Residuals();
    benchmark::DoNotOptimize(n.r.data());
    benchmark::ClobberMemory();
  }
  PerEquation(state, 4 * kUnits);
}
BENCHMARK(BM_NativeResidual)->Unit(benchmark::kMicrosecond);

void BM_NativeResidualAndJacobian(benchmark::State& state) {
  Native n;
  for (auto _ : state) {
    n.Residuals();
    n.Jacobian();
    benchmark::DoNotOptimize(n.J.data());
    benchmark::ClobberMemory();
  }
  PerEquation(state, 4 * kUnits);
  PerNonZero(state, 11 * kUnits);
}
BENCHMARK(BM_NativeResidualAndJacobian)->Unit(benchmark::kMicrosecond);

// Building the problem from the tree: collection, registration, tapes.
void BM_ProblemCreate(benchmark::State& state) {
  Flowsheet& s = Sheet();
  for (auto _ : state) {
    std::unique_ptr<DAESProblem> p(DAESCreateProblem(s.root, 0, nullptr));
    benchmark::DoNotOptimize(p.get());
  }
  PerEquation(state, s.rows.size());
}
BENCHMARK(BM_ProblemCreate)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
