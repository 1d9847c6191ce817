// Seeded random trees over every arithmetic, logical, integer and aggregate
// row: the tape gives the tree-walk value, and the reverse pass gives the
// derivatives of a five-point difference wherever the function is smooth,
// including through the aggregates over an array variable.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "expr/eval/value_ops.h"
#include "foundation/messages/math_error.h"
#include "tests/expr/tape_helpers.h"

using namespace exprtest;
using namespace tapetest;

namespace {

constexpr int kVars = 4;
// After the reals and one integer: a real array of kElements.
constexpr int kArray = kVars + 1;
constexpr int kElements = 3;

class Generator {
 public:
  // Mixed trees also read the integer variable where they want a real.
  explicit Generator(std::uint32_t seed, bool mixed = false) : rng_(seed), mixed_(mixed) {}

  // A real tree whose every row stays inside its domain at any values of
  // the variables.
  Ref Real(int depth) {
    if (depth <= 0 || Pick(6) == 0) return Leaf();
    switch (Pick(21)) {
      case 0:
        return B(kAdd, Real(depth - 1), Real(depth - 1));
      case 1:
        return B(kSub, Real(depth - 1), Real(depth - 1));
      case 2:
        return B(kMul, Real(depth - 1), Real(depth - 1));
      case 3:
        return B(kDiv, Real(depth - 1), Positive(depth - 1));
      case 4:
        return B(kPow, Positive(depth - 1), Bounded(depth - 1));
      case 5:
        return U(kMinus, Real(depth - 1));
      case 6:
        return U(Pick(2) == 0 ? kSin : kCos, Real(depth - 1));
      case 7:
        return U(Pick(2) == 0 ? kATan : kTanh, Real(depth - 1));
      case 8:
        return U(kTan, B(kMul, Bounded(depth - 1), Const(0.5)));
      case 9:
        return U(Pick(2) == 0 ? kASin : kACos, B(kMul, Bounded(depth - 1), Const(0.9)));
      case 10:
        return U(Pick(2) == 0 ? kSinh : kCosh, Bounded(depth - 1));
      case 11:
        return U(kExp, Bounded(depth - 1));
      case 12: {
        static constexpr std::uint16_t kLogs[] = {kSqrt, kLoge, kLog10};
        return U(kLogs[Pick(3)], Positive(depth - 1));
      }
      case 13:
        return U(Pick(2) == 0 ? kAbs : kSqr, Real(depth - 1));
      case 14:
        return B(Pick(2) == 0 ? kMax : kMin, Real(depth - 1), Real(depth - 1));
      case 15: {
        static constexpr std::uint16_t kAggregates[] = {kSigma, kProd, kMaxList, kMinList};
        const std::uint16_t op = kAggregates[Pick(4)];
        const int n = static_cast<int>(Pick(4)) + 1;
        std::vector<Ref> items;
        for (int i = 0; i < n; ++i) items.push_back(Real(depth - 1));
        auto* list = new ExpressionList;
        for (const Ref& item : items) list->Append(item.get());
        return U(op, Hold(new HomListExpression(list, 0x100)));
      }
      case 16:
        return U(kFloat, Integer(depth - 1));
      case 17:
        return B(kMul, U(kFloat, Logical(depth - 1)), Real(depth - 1));
      case 18:
        return U(kPlus, Real(depth - 1));
      case 19: {
        static constexpr std::uint16_t kOverArray[] = {kSigma, kProd, kMaxList, kMinList};
        return U(kOverArray[Pick(4)], Var(kArray, SUValue::kOneDimension | SUValue::kReal));
      }
      default:
        return B(kPow, Real(depth - 1), Const(static_cast<double>(Pick(3) + 1)));
    }
  }

 private:
  std::uint32_t Pick(std::uint32_t n) {
    return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(rng_);
  }
  Ref Const(double v) { return exprtest::Real(v); }
  Ref Leaf() {
    if (mixed_ && Pick(6) == 0) return Var(kVars, SUValue::kReal);
    if (Pick(4) == 0) return Const(std::uniform_real_distribution<double>(-2, 2)(rng_));
    return Var(Pick(kVars));
  }
  Ref Bounded(int depth) { return U(Pick(2) == 0 ? kSin : kTanh, Real(depth)); }
  Ref Positive(int depth) { return B(kAdd, U(kSqr, Real(depth)), Const(0.5)); }
  Ref Integer(int depth) {
    if (depth <= 0)
      return Pick(2) == 0 ? Var(kVars, SUValue::kInteger) : Int(static_cast<int>(Pick(7)) - 3);
    switch (Pick(8)) {
      case 0:
        return U(kRound, Real(depth - 1));
      case 1:
        return U(kTruncate, Real(depth - 1));
      case 2:
        return B(kAdd, Integer(depth - 1), Integer(depth - 1));
      case 3:
        return B(kSub, Integer(depth - 1), Integer(depth - 1));
      case 4:
        return B(kMul, Integer(depth - 1), Integer(depth - 1));
      case 5:
        return B(kMod, Integer(depth - 1), Int(static_cast<int>(Pick(3)) + 2));
      case 6:
        return U(Pick(2) == 0 ? kAbs : kMinus, Integer(depth - 1));
      default:
        return U(kSqr, Integer(depth - 1));
    }
  }
  Ref Logical(int depth) {
    static constexpr std::uint16_t kCompare[] = {kEq, kGt, kLt, kGe, kLe, kNe};
    switch (Pick(5)) {
      case 0:
        return B(kCompare[Pick(6)], Real(depth - 1), Real(depth - 1));
      case 1:
        return B(kCompare[Pick(6)], Integer(depth - 1), Integer(depth - 1));
      case 2:
        return U(kNot, Logical(depth - 1));
      default: {
        static constexpr std::uint16_t kLogic[] = {kAnd, kOr, kXor};
        return B(kLogic[Pick(3)], Logical(depth - 1), Logical(depth - 1));
      }
    }
  }

  std::mt19937 rng_;
  bool mixed_;
};

// A real variable that states no type of its own, so that every leaf reading
// it converts its value when the tape runs.
class UntypedVar : public ADVar {
 public:
  using ADVar::ADVar;
  std::uint16_t ValueType() const override { return 0; }
};

struct Corpus : ::testing::Test {
  void SetUp() override {
    InstallMathErrorHook();
    MathErrorStatus.Reset();
  }
};

double Value(ExprADContext& c, Status* s) {
  *s = c.Evaluate();
  return c.Result().payload.real;
}

bool Near(double a, double b, double rel) {
  if (std::isinf(a) || std::isinf(b)) return a == b;
  return std::fabs(a - b) <= rel * std::max(1.0, std::max(std::fabs(a), std::fabs(b)));
}

struct Counts {
  int compared = 0;
  int differentiated = 0;
  int through_array = 0;
  int through_untyped = 0;
};

// In mixed runs x1 and x3 state no type, and the integer is read as a real.
void RunCorpus(std::uint32_t seed, bool mixed, Counts* counts) {
  Generator gen(seed, mixed);
  std::mt19937 points(7);
  int& compared = counts->compared;
  int& differentiated = counts->differentiated;
  int& through_array = counts->through_array;
  for (int tree = 0; tree < 3000; ++tree) {
    const Ref root = gen.Real(1 + tree % 6);
    std::vector<std::unique_ptr<ADVar>> owned;
    std::vector<ExpressionVariable*> vars;
    for (int i = 0; i < kVars; ++i) {
      static const char* const kNames[kVars] = {"x0", "x1", "x2", "x3"};
      const double value = std::uniform_real_distribution<double>(-1.5, 1.5)(points);
      if (mixed && i % 2 == 1) {
        owned.push_back(std::make_unique<UntypedVar>(kNames[i], value));
      } else {
        owned.push_back(std::make_unique<ADVar>(kNames[i], value));
      }
      vars.push_back(owned.back().get());
    }
    owned.push_back(
        std::make_unique<ADVar>("n", static_cast<double>(tree % 5 - 2), false, SUValue::kInteger));
    vars.push_back(owned.back().get());
    std::vector<double> elements;
    for (int e = 0; e < kElements; ++e)
      elements.push_back(std::uniform_real_distribution<double>(-1.5, 1.5)(points));
    ArrayVar array("a", elements);
    vars.push_back(&array);
    Bound bound(root.get(), vars);
    ExprADContext& c = *bound.context;
    ASSERT_TRUE(c.HasTape()) << Printed(root.get());

    TestContext walk(root.get(), vars);
    const Outcome expected = Eval(root.get(), &walk);
    Status s = 0;
    const double got = Value(c, &s);
    ASSERT_EQ(status::IsFailure(s), status::IsFailure(expected.status)) << Printed(root.get());
    if (status::IsFailure(s)) continue;
    const double want = exprvalue::AsReal(expected.value);
    ASSERT_TRUE(Near(got, want, 1e-12)) << Printed(root.get()) << ": " << got << " vs " << want;
    ++compared;

    // The four reals, then each element of the array.
    std::vector<ADVar*> inputs;
    for (int i = 0; i < kVars; ++i) inputs.push_back(owned[static_cast<std::size_t>(i)].get());
    for (int e = 0; e < kElements; ++e) inputs.push_back(array.At(e));
    for (ADVar* x : inputs) x->SetElementValue(0, 0.0);
    // An exact zero base under a power has no derivative pass (648).
    const Status js = c.EvaluateJacobian(0);
    if (js == tapestatus::Code(648)) continue;
    ASSERT_EQ(js, 0u) << Printed(root.get());
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      ADVar& x = *inputs[i];
      const int element = static_cast<int>(i) - kVars;
      const double x0 = x.Get();
      const double h = 1e-3;
      auto set = [&](double v) {
        if (element >= 0) {
          array.Set(element, v);
        } else {
          x.Set(v);
        }
      };
      auto f = [&](double dx) {
        set(x0 + dx);
        Status st = 0;
        return Value(c, &st);
      };
      const double fm2 = f(-2 * h), fm1 = f(-h), f0 = f(0), fp1 = f(h), fp2 = f(2 * h);
      set(x0);
      const double fd = (fm2 - 8 * fm1 + 8 * fp1 - fp2) / (12 * h);
      // A kink or a jump within the stencil: its slopes disagree.
      const double slopes[] = {(fm1 - fm2) / h, (f0 - fm1) / h, (fp1 - f0) / h, (fp2 - fp1) / h};
      const double scale = std::max(1.0, std::fabs(fd));
      const auto [low, high] = std::minmax_element(std::begin(slopes), std::end(slopes));
      if (*high - *low > 0.05 * scale) continue;
      if (!std::isfinite(fd) || std::fabs(fd) > 1e6) continue;
      const double ad = x.ElementValue(0);
      EXPECT_TRUE(Near(ad, fd, 1e-6))
          << Printed(root.get()) << " d/d" << x.NameText() << ": " << ad << " vs " << fd;
      ++differentiated;
      if (element >= 0 && fd != 0.0) ++through_array;
      if (mixed && element < 0 && i % 2 == 1 && fd != 0.0) ++counts->through_untyped;
    }
  }
}

TEST_F(Corpus, TapeValueEqualsTreeWalkAndDerivativesEqualDifferences) {
  Counts counts;
  RunCorpus(20261207, false, &counts);
  EXPECT_GT(counts.compared, 2900);
  EXPECT_GT(counts.differentiated, 5000);
  EXPECT_GT(counts.through_array, 3000);
}

// Leaves whose variable is not of the tree's type read converted values:
// the same values as the tree walk, and the same derivatives.
TEST_F(Corpus, ConvertedLeavesKeepValuesAndDerivatives) {
  Counts counts;
  RunCorpus(20261208, true, &counts);
  EXPECT_GT(counts.compared, 2900);
  EXPECT_GT(counts.differentiated, 5000);
  EXPECT_GT(counts.through_untyped, 1500);
}


// A variable whose column class is the mark the classification left.
class MarkedVar : public ADVar {
 public:
  using ADVar::ADVar;
  std::int32_t ColumnClass(std::int32_t, std::int32_t) override { return Marker(0); }
};

// A variable the classification calls linear has a Jacobian entry that no
// variable changes: its partial is the same at any two points.
TEST_F(Corpus, VariablesClassedLinearHaveConstantPartials) {
  Generator gen(20261209);
  std::mt19937 points(9);
  auto draw = [&] { return std::uniform_real_distribution<double>(-1.5, 1.5)(points); };
  int linear = 0, nonlinear = 0;
  for (int tree = 0; tree < 3000; ++tree) {
    const Ref root = gen.Real(1 + tree % 5);
    static const char* const kNames[kVars] = {"x0", "x1", "x2", "x3"};
    std::vector<std::unique_ptr<MarkedVar>> marked;
    std::vector<std::unique_ptr<ADVar>> active;
    std::vector<ExpressionVariable*> marked_vars, active_vars;
    for (int i = 0; i < kVars; ++i) {
      marked.push_back(std::make_unique<MarkedVar>(kNames[i], 0.0));
      active.push_back(std::make_unique<ADVar>(kNames[i], 0.0));
      marked_vars.push_back(marked.back().get());
      active_vars.push_back(active.back().get());
    }
    ADVar n("n", 1.0, false, SUValue::kInteger);
    ArrayVar array("a", {0.5, -0.25, 1.0});
    for (auto* list : {&marked_vars, &active_vars}) {
      list->push_back(&n);
      list->push_back(&array);
    }
    Bound classes(root.get(), marked_vars);
    ASSERT_EQ(classes.context->ResetVariables(0, 0), 0u);
    for (auto& v : marked) v->SetClassMark(-1, 0, 0);
    std::int32_t worst = 0;
    if (status::IsFailure(classes.context->ClassifyNonlinearity(&worst, 0, 0, 0))) continue;

    // The partials at two random points.
    Bound bound(root.get(), active_vars);
    double partial[2][kVars] = {};
    bool ok = true;
    for (int p = 0; p < 2 && ok; ++p) {
      // The array takes no part in the classification here: it stays put.
      for (auto& v : active) v->Set(draw()), v->SetElementValue(0, 0.0);
      ok = status::IsSuccess(bound.context->EvaluateJacobian(0));
      for (int i = 0; i < kVars; ++i) {
        partial[p][i] = active[static_cast<std::size_t>(i)]->ElementValue(0);
      }
    }
    MathErrorStatus.Reset();
    if (!ok) continue;
    for (int i = 0; i < kVars; ++i) {
      const std::int8_t mark = marked[static_cast<std::size_t>(i)]->Marker(0);
      if (mark > 1) ++nonlinear;
      if (mark != 1) continue;
      EXPECT_TRUE(Near(partial[0][i], partial[1][i], 1e-9))
          << Printed(root.get()) << " d/d" << kNames[i] << ": " << partial[0][i] << " vs "
          << partial[1][i];
      ++linear;
    }
  }
  EXPECT_GT(linear, 500);
  EXPECT_GT(nonlinear, 500);
}
}  // namespace
