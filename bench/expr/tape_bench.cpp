// Tape evaluation and the reverse pass, per expression node, on a seeded
// corpus of random residuals and on typical process-model balances; the
// figure later compiled code is compared with.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "expr/tape/tape.h"
#include "expr/tree/binary_expression.h"
#include "expr/tree/expression.h"
#include "expr/tree/list_expression.h"
#include "expr/tree/unary_expression.h"
#include "expr/tree/var_ref_expression.h"

namespace {

class Var : public ExpressionADVariable {
 public:
  explicit Var(double v) {
    value_.SetType(SUValue::kReal);
    value_.SetReal(v);
    SetSize(1, true);
  }
  SUValue* ValuePointer() override { return &value_; }
  std::uint16_t ValueType() const override { return SUValue::kReal; }
  std::int32_t ColumnClass(std::int32_t, std::int32_t) override { return 2; }

 private:
  SUValue value_;
};

Expression* Held(Expression* e) {
  e->AddRef();
  return e;
}
Expression* Leaf(std::uint32_t i) { return Held(new VarRefExpression(i)); }
Expression* Const(double v) { return Held(new TerminalExpression(v)); }
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

constexpr std::uint32_t kVars = 64;

Expression* Random(std::mt19937& rng, int depth) {
  auto pick = [&](std::uint32_t n) {
    return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(rng);
  };
  if (depth == 0) return pick(4) == 0 ? Const(1.5) : Leaf(pick(kVars));
  switch (pick(8)) {
    case 0:
      return Bin(kAdd, Random(rng, depth - 1), Random(rng, depth - 1));
    case 1:
      return Bin(kSub, Random(rng, depth - 1), Random(rng, depth - 1));
    case 2:
      return Bin(kMul, Random(rng, depth - 1), Random(rng, depth - 1));
    case 3:
      return Bin(kDiv, Random(rng, depth - 1),
                 Bin(kAdd, Un(kSqr, Random(rng, depth - 1)), Const(1)));
    case 4:
      return Un(kExp, Un(kSin, Random(rng, depth - 1)));
    case 5:
      return Un(kSqrt, Bin(kAdd, Un(kSqr, Random(rng, depth - 1)), Const(1)));
    case 6:
      return Bin(kPow, Bin(kAdd, Un(kSqr, Random(rng, depth - 1)), Const(1)), Const(1.5));
    default:
      return Un(kLoge, Bin(kAdd, Un(kSqr, Random(rng, depth - 1)), Const(1)));
  }
}

// Component balances sum(F_i x_ij) - F_out x_out,j and one energy balance
// sum(F_i cp (T_i - Tref)) + Q - F_out cp (T - Tref).
std::vector<Expression*> Balances() {
  std::vector<Expression*> out;
  const std::uint32_t streams = 6;
  for (std::uint32_t j = 0; j < 5; ++j) {
    auto* list = new ExpressionList;
    std::vector<Expression*> terms;
    for (std::uint32_t i = 0; i < streams; ++i)
      terms.push_back(Bin(kMul, Leaf(i), Leaf(8 + i * 5 + j)));
    for (Expression* t : terms) list->Append(t);
    Expression* sum = Un(kSigma, Held(new HomListExpression(list, 0x100)));
    for (Expression* t : terms) t->Release();
    out.push_back(Bin(kSub, sum, Bin(kMul, Leaf(6), Leaf(40 + j))));
  }
  Expression* energy = Leaf(50);  // Q
  for (std::uint32_t i = 0; i < streams; ++i) {
    energy = Bin(kAdd, energy,
                 Bin(kMul, Bin(kMul, Leaf(i), Leaf(51)), Bin(kSub, Leaf(52 + i), Const(298.15))));
  }
  out.push_back(Bin(kSub, energy,
                    Bin(kMul, Bin(kMul, Leaf(6), Leaf(51)), Bin(kSub, Leaf(60), Const(298.15)))));
  return out;
}

struct Corpus {
  explicit Corpus(bool balances) {
    std::mt19937 rng(42);
    for (std::uint32_t i = 0; i < kVars; ++i) vars.push_back(std::make_unique<Var>(0.5 + 0.01 * i));
    for (auto& v : vars) array.push_back(v.get());
    std::vector<Expression*> roots = balances ? Balances() : std::vector<Expression*>{};
    if (!balances) {
      for (int i = 0; i < 400; ++i) roots.push_back(Random(rng, 6));
    }
    for (Expression* r : roots) {
      nodes += r->NodeCount();
      contexts.push_back(
          std::make_unique<ExprADContext>(r, array.data(), static_cast<std::int32_t>(kVars)));
      r->Release();
    }
  }
  std::vector<std::unique_ptr<Var>> vars;
  std::vector<ExpressionVariable*> array;
  std::vector<std::unique_ptr<ExprADContext>> contexts;
  std::uint64_t nodes = 0;
};

void PerNode(benchmark::State& state, const Corpus& corpus) {
  // Time per node: shown in seconds with a unit prefix ("25n" is 25 ns).
  state.counters["per_node"] = benchmark::Counter(
      static_cast<double>(corpus.nodes) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void Evaluate(benchmark::State& state, bool balances) {
  Corpus corpus(balances);
  for (auto _ : state) {
    for (auto& c : corpus.contexts) benchmark::DoNotOptimize(c->Evaluate());
  }
  PerNode(state, corpus);
}

void Jacobian(benchmark::State& state, bool balances) {
  Corpus corpus(balances);
  for (auto _ : state) {
    for (auto& c : corpus.contexts) {
      c->MarkStale();
      benchmark::DoNotOptimize(c->EvaluateJacobian(0));
    }
  }
  PerNode(state, corpus);
}

BENCHMARK_CAPTURE(Evaluate, random_corpus, false);
BENCHMARK_CAPTURE(Jacobian, random_corpus_run_and_sweep, false);
BENCHMARK_CAPTURE(Evaluate, balances, true);
BENCHMARK_CAPTURE(Jacobian, balances_run_and_sweep, true);

}  // namespace

BENCHMARK_MAIN();
