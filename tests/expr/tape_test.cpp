// The tape's edge cases: what the compiler makes of each kind of node, the
// interpreter's domain checks and error precedence, the printed tape, and
// the derivative rules at their singular points.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <sstream>

#include "expr/eval/value_ops.h"
#include "expr/tree/system_function.h"
#include "foundation/messages/math_error.h"
#include "tests/expr/tape_helpers.h"

using namespace exprtest;
using namespace tapetest;

namespace {

struct Tape : ::testing::Test {
  void SetUp() override {
    InstallMathErrorHook();
    MathErrorStatus.Reset();
  }
  ADVar x{"x", 2.0};
  ADVar y{"y", 3.0};
  ADVar n{"n", 0.0, false, SUValue::kInteger};
  ADVar m{"m", 5.0, false, SUValue::kInteger};
  TextVar s{"s", "abc"};
  std::vector<ExpressionVariable*> All() { return {&x, &y, &n, &m, &s}; }
  void SetInt(ADVar& v, std::int32_t i) {
    v.ValuePointer()->Assign(SUValue::ConstructInt(i, SUValue::kInteger));
  }
};

Ref X() { return Var(0); }
Ref Y() { return Var(1); }
Ref N() { return Var(2, SUValue::kInteger); }
Ref M() { return Var(3, SUValue::kInteger); }
Ref S() { return Var(4, SUValue::kString); }

Ref ListOfRefs(std::uint16_t op, const std::vector<Ref>& items) {
  auto* list = new ExpressionList;
  for (const Ref& item : items) list->Append(item.get());
  return U(op, Hold(new HomListExpression(list, 0x100)));
}
template <typename... R>
Ref ListExpr(std::uint16_t op, R&&... items) {
  std::vector<Ref> held;
  (held.push_back(std::forward<R>(items)), ...);
  return ListOfRefs(op, held);
}

TEST_F(Tape, CompilerPicksVariantsAndShapes) {
  struct Case {
    const char* what;
    Ref tree;
    std::int32_t count;  // 0: no tape
    std::uint32_t last_op;
  };
  Case cases[] = {
      {"integer sum", B(kAdd, N(), M()), 1, kIAdd},
      {"string equality", B(kEq, S(), Text("ABC")), 1, kSEq},
      {"lone constant", Real(4.5), 1, kTerm},
      {"lone integer variable", N(), 1, kTermI},
      {"empty sum", ListExpr(kSigma), 1, kNoOperatorRow},
      {"one-element product", ListExpr(kProd, X()), 1, kProd},
      {"three-element maximum", ListExpr(kMaxList, X(), Y(), X()), 2, kMaxList},
      {"real to text", U(kConv2S, X(), SUValue::kString), 1, kConv2S},
      {"text to real", U(kConv2S, S(), SUValue::kReal), 1, kConv2R},
      {"text to integer", U(kConv2S, S(), SUValue::kInteger), 1, kConv2I},
      {"slice", B(kSlice, N(), M()), 0, 0},
      {"set union", B(kUnion, IntSet({1}), B(kSlice, N(), M())), 0, 0},
  };
  for (Case& c : cases) {
    Bound b(c.tree.get(), All());
    ExprADContext& ctx = *b.context;
    EXPECT_EQ(ctx.InstructionCount(), c.count) << c.what;
    if (c.count == 0) {
      EXPECT_EQ(ctx.Evaluate(), tapestatus::kNoTape) << c.what;
      EXPECT_EQ(ctx.EvaluateJacobian(0), tapestatus::kNoTape) << c.what;
      continue;
    }
    EXPECT_EQ(ctx.Tape().code.back().op, c.last_op) << c.what;
    EXPECT_EQ(ctx.Evaluate(), 0u) << c.what;
  }
  // The chain is left-nested: the second step reads the first step's result.
  Ref chain = ListExpr(kSigma, X(), Y(), Real(1.0));
  Bound b(chain.get(), All());
  EXPECT_EQ(b.context->Tape().code[1].left_kind, tapekind::kResReal);
  ASSERT_EQ(b.context->Evaluate(), 0u);
  EXPECT_EQ(b.context->Result().payload.real, 6.0);
  Ref empty = ListExpr(kSigma);
  Bound e(empty.get(), All());
  ASSERT_EQ(e.context->Evaluate(), 0u);
  EXPECT_EQ(e.context->Result().payload.real, 0.0);
}

TEST_F(Tape, SmallThenLargeTapesShareGrowingStacks) {
  Ref small = B(kMul, X(), Y());
  Bound a(small.get(), All());
  std::vector<Ref> items;
  for (int i = 0; i < 500; ++i) items.push_back(B(kMul, X(), Real(i)));
  Ref large = ListOfRefs(kSigma, items);
  Bound b(large.get(), All());
  ASSERT_EQ(a.context->Evaluate(), 0u);
  ASSERT_EQ(b.context->Evaluate(), 0u);
  EXPECT_EQ(a.context->Result().payload.real, 6.0);
  EXPECT_EQ(b.context->Result().payload.real, 2.0 * 499 * 500 / 2);
}

TEST_F(Tape, InterpreterEdgeCases) {
  struct Case {
    const char* what;
    Ref tree;
    double xv, yv;
    std::int32_t nv;
    Status status;
    std::int32_t failing;
    const char* text;  // error text, when status fails with one
    double value;
  };
  const Status domain = tapestatus::Code(639);
  Case cases[] = {
      {"sqrt(0)", U(kSqrt, X()), 0, 0, 0, 0, 0, nullptr, 0},
      {"sqrt(-1)", U(kSqrt, X()), -1, 0, 0, domain, 0, "sqrt(-1)", 0},
      {"0^0", B(kPow, X(), Y()), 0, 0, 0, domain, 0, "pow(0,0)", 0},
      {"(-8)^3", B(kPow, X(), Y()), -8, 3, 0, 0, 0, nullptr, -512},
      {"(-8)^0.5", B(kPow, X(), Y()), -8, 0.5, 0, domain, 0, "pow(-8,0.5)", 0},
      {"10^400", B(kPow, X(), Y()), 10, 400, 0, tapestatus::Code(251), 0, "pow(10,400)", 0},
      {"exp(709)", U(kExp, X()), 709, 0, 0, 0, 0, nullptr, std::exp(709.0)},
      {"exp(710)", U(kExp, X()), 710, 0, 0, domain, 0, "exp(710)", 0},
      {"loge(0)", U(kLoge, X()), 0, 0, 0, domain, 0, "loge(0)", 0},
      {"log10(-1)", U(kLog10, X()), -1, 0, 0, domain, 0, "log10(-1)", 0},
      {"asin(2)", U(kASin, X()), 2, 0, 0, domain, 0, "asin(2)", 0},
      {"acos(-2)", U(kACos, X()), -2, 0, 0, domain, 0, "acos(-2)", 0},
      {"1/0 after sqrt", B(kAdd, U(kSqrt, Y()), B(kDiv, Real(1), X())), 0, 4, 0,
       tapestatus::Code(630), 1, nullptr, 0},
      {"sqrt overwrites 1/0", B(kAdd, B(kDiv, Real(1), X()), U(kSqrt, Y())), 0, -4, 0, domain, 1,
       "sqrt(-4)", 0},
      {"1/0 keeps sqrt", B(kAdd, U(kSqrt, Y()), B(kDiv, Real(1), X())), 0, -4, 0, domain, 0,
       "sqrt(-4)", 0},
      {"cosh(1000)", U(kCosh, X()), 1000, 0, 0, status::kMathRange, 0, nullptr, 0},
      {"iSqr 46340", U(kSqr, N()), 0, 0, 46340, 0, 0, nullptr, 46340.0 * 46340},
      {"iSqr 50000", U(kSqr, N()), 0, 0, 50000, tapestatus::Code(255), 0, nullptr, 0},
      {"iSqr 70000 wraps positive", U(kSqr, N()), 0, 0, 70000, tapestatus::Code(255), 0, nullptr,
       0},
      {"iAbs INT_MIN", U(kAbs, N()), 0, 0, INT_MIN, tapestatus::Code(255), 0, nullptr, 0},
      {"INT_MIN % -1", B(kMod, N(), Int(-1)), 0, 0, INT_MIN, 0, 0, nullptr, 0},
      {"n % 0", B(kMod, N(), M()), 0, 0, 7, 0, 0, nullptr, 2},
      {"integer sum wraps", B(kAdd, N(), Int(1)), 0, 0, INT_MAX, 0, 0, nullptr, INT_MIN},
      {"round half away", U(kRound, X()), -2.5, 0, 0, 0, 0, nullptr, -3},
  };
  for (Case& c : cases) {
    x.Set(c.xv);
    y.Set(c.yv);
    SetInt(n, c.nv);
    Bound b(c.tree.get(), All());
    ExprADContext& ctx = *b.context;
    ASSERT_TRUE(ctx.HasTape()) << c.what;
    const Status st = ctx.Evaluate();
    EXPECT_EQ(st, c.status) << c.what;
    if (status::IsFailure(st)) {
      EXPECT_EQ(TapeStateNow().failing, c.failing) << c.what;
      if (c.text != nullptr) {
        EXPECT_STREQ(TapeStateNow().error_text, c.text) << c.what;
      }
    } else {
      EXPECT_EQ(TapeStateNow().failing, ctx.InstructionCount()) << c.what;
      EXPECT_DOUBLE_EQ(exprvalue::AsReal(ctx.Result()), c.value) << c.what;
    }
    MathErrorStatus.Reset();
  }
}

TEST_F(Tape, ErrorTextsAndPrinting) {
  EXPECT_STREQ(ExprErrorText(630), "division by zero");
  EXPECT_STREQ(ExprErrorText(251), "Exception: Floating point overflow");
  EXPECT_STREQ(ExprErrorText(648), "X^Y where X<=0.0 causes divide by zero");
  EXPECT_STREQ(ExprErrorText(653), "unknown error code 653");

  struct Case {
    Ref tree;
    std::int32_t instruction;
    const char* printed;
  };
  Case cases[] = {
      {B(kAdd, U(kSqrt, X()), B(kDiv, Y(), X())), 2, "SQRT(x)+y/x"},
      {B(kAdd, Y(), B(kDiv, Y(), X())), -1, "x"},
      {B(kMul, Y(), B(kPow, X(), Y())), -1, "x^y"},
      {B(kMul, Y(), U(kLog10, X())), -1, "Invalid operator 38"},
      {B(kMul, Y(), U(kSqrt, X())), -1, "x"},
      {B(kMul, Y(), U(kExp, X())), -1, "x"},
      {B(kMul, Y(), U(kLoge, X())), -1, "x"},
      {B(kMod, N(), M()), -1, "m"},
      {ListExpr(kSigma, X(), Y(), X()), 1, "SIGMA(x,y,x)"},
      {B(kAnd, B(kLt, X(), Y()), U(kNot, B(kGe, N(), M()))), INT_MAX, "x<y AND m>n"},
  };
  for (Case& c : cases) {
    Bound b(c.tree.get(), All());
    std::ostringstream out;
    const std::int32_t root = b.context->InstructionCount() - 1;
    b.context->PrintTape(c.instruction == INT_MAX ? root : c.instruction, out);
    EXPECT_EQ(out.str(), c.printed);
  }
  // A failed run prints the failing part through Print.
  x.Set(0.0);
  Ref div = B(kMul, Y(), B(kDiv, Y(), X()));
  Bound b(div.get(), All());
  EXPECT_EQ(b.context->Evaluate(), tapestatus::Code(630));
  std::ostringstream out;
  b.context->Print(out);
  EXPECT_EQ(out.str(), "x\n");  // the divisor
}

// A failing square root of a sum of 20,000 terms prints the sum whole as
// its part at fault, and a product nested in a maximum keeps its own call.
TEST_F(Tape, LongAggregatesPrintWhole) {
  constexpr int kTerms = 20000;
  std::vector<Ref> terms;
  for (int i = 0; i < kTerms; ++i) terms.push_back(i % 2 == 0 ? X() : Y());
  Ref root = U(kSqrt, ListOfRefs(kSigma, terms));
  x.Set(-1.0);
  y.Set(0.5);
  Bound b(root.get(), All());
  ASSERT_EQ(b.context->Evaluate(), tapestatus::Code(639));
  std::ostringstream out;
  b.context->Print(out);
  std::string expected = "SIGMA(x";
  for (int i = 1; i < kTerms; ++i) expected += i % 2 == 0 ? ",x" : ",y";
  expected += ")\n";
  EXPECT_EQ(out.str(), expected);

  Ref nested =
      ListExpr(kMaxList, ListExpr(kProd, X(), Y(), X()), Y(), ListExpr(kMinList, Y(), X()));
  Bound c(nested.get(), All());
  std::ostringstream whole;
  c.context->PrintTape(c.context->InstructionCount() - 1, whole);
  EXPECT_EQ(whole.str(), "MAX(PRODUCT(x,y,x),y,MIN(y,x))");
}

TEST_F(Tape, DerivativeRulesAtTheirEdges) {
  ADVar passive{"p", 0.0, false};
  struct Case {
    const char* what;
    Ref tree;
    double xv, yv;
    bool active;
    Status status;
    double dx;
  };
  Case cases[] = {
      {"d(x*y)/dx", B(kMul, X(), Y()), 2, 3, true, 0, 3},
      {"d(x/y)/dy at x", B(kDiv, Y(), X()), 3, 2, true, 0, -2.0 / 9},
      {"sqrt(0) active", U(kSqrt, X()), 0, 0, true, tapestatus::Code(640), 0},
      {"sqrt(0) passive", U(kSqrt, X()), 0, 0, false, 0, 0},
      {"sqrt(4)", U(kSqrt, X()), 4, 0, true, 0, 0.25},
      {"x^y at 0", B(kPow, X(), Y()), 0, 2, true, tapestatus::Code(648), 0},
      {"(-2)^3", B(kPow, X(), Real(3)), -2, 0, true, 0, 12},
      {"log10(10)", U(kLog10, X()), 10, 0, true, 0, 1 / (10 * 2.302585092994046)},
      {"3*PRODUCT(x,y) at x=0", B(kMul, Real(3), ListExpr(kProd, X(), Y())), 0, 5, true, 0, 15},
      {"max picks y", B(kMax, X(), Y()), 1, 2, true, 0, 0},
      {"x/y with huge y", B(kDiv, X(), Y()), 1, 2e154, true, 0, 1 / 2e154},
      {"DELAY x BY 0.5", B(kDelay, X(), Real(0.5)), 1, 0, true, 0, 1},
  };
  for (Case& c : cases) {
    ADVar v{"x", c.xv, c.active};
    y.Set(c.yv);
    Bound b(c.tree.get(), {&v, &y});
    ExprADContext& ctx = *b.context;
    ASSERT_TRUE(ctx.HasTape()) << c.what;
    v.SetElementValue(0, 0.0);
    y.SetElementValue(0, 0.0);
    EXPECT_EQ(ctx.EvaluateJacobian(0), c.status) << c.what;
    if (c.status == 0) {
      EXPECT_DOUBLE_EQ(v.ElementValue(0), c.dx) << c.what;
    }
  }
  // d(x/y)/dy in the caller's double, which the pass adds into.
  Ref q = B(kDiv, X(), Y());
  x.Set(2);
  y.Set(3);
  Bound b(q.get(), All());
  double d = 1.0;
  ASSERT_EQ(b.context->EvaluateDerivative(&y, &d, 0), 0u);
  EXPECT_DOUBLE_EQ(d, 1.0 - 2.0 / 9);
}

// The reverse pass walks from the root down: a replacing error (division,
// ARCSIN, ARCCOS, ...) always takes the status and the index, a square
// root, logarithm or power error only when nothing is recorded yet.
TEST_F(Tape, DerivativeErrorsRecordByTheirRule) {
  ADVar z{"z", 0.0};
  struct Case {
    const char* what;
    Ref tree;
    double xv, yv, zv;
    Status status;
    std::int32_t failing;
  };
  Case cases[] = {
      {"arcsin at 1", U(kASin, X()), 1, 0, 0, tapestatus::Code(642), 0},
      {"arccos at -1", U(kACos, X()), -1, 0, 0, tapestatus::Code(643), 0},
      {"x/y with tiny y", B(kDiv, X(), Y()), 1, 1e-200, 0, tapestatus::Code(251), 0},
      {"x^y overflowing in y", B(kPow, X(), Y()), 1e300, 1.02, 0, tapestatus::Code(251), 0},
      {"negative base, active exponent", B(kPow, X(), Y()), -2, 3, 0, tapestatus::Code(648), 0},
      {"arcsin replaces sqrt", B(kAdd, U(kASin, X()), U(kSqrt, Y())), 1, 0, 0,
       tapestatus::Code(642), 0},
      {"sqrt keeps arcsin", B(kAdd, U(kSqrt, Y()), U(kASin, X())), 1, 0, 0,
       tapestatus::Code(642), 1},
      {"first of two keeping errors stays", B(kAdd, U(kSqrt, Y()), B(kPow, X(), Var(2))), 0, 0,
       2, tapestatus::Code(648), 1},
  };
  for (Case& c : cases) {
    x.Set(c.xv);
    y.Set(c.yv);
    z.Set(c.zv);
    Bound b(c.tree.get(), {&x, &y, &z});
    ExprADContext& ctx = *b.context;
    ASSERT_EQ(ctx.Evaluate(), 0u) << c.what;
    EXPECT_EQ(ctx.EvaluateJacobian(0), c.status) << c.what;
    EXPECT_EQ(TapeStateNow().failing, c.failing) << c.what;
    MathErrorStatus.Reset();
  }
}

// The context's walks over its variables: the partial a pass left is read
// back by mode, and sizing every variable makes no value array.
TEST_F(Tape, VariableWalksSizeResetAndReadBack) {
  Ref product = B(kMul, X(), Y());
  Bound b(product.get(), {&x, &y});
  x.Set(2);
  y.Set(5);
  x.SetElementValue(0, 0.0);
  y.SetElementValue(0, 0.0);
  ASSERT_EQ(b.context->EvaluateJacobian(0), 0u);
  EXPECT_EQ(b.context->VariableDerivativeFlag(0, 0), 5.0);
  EXPECT_EQ(b.context->VariableDerivativeFlag(1, 0), 2.0);
  EXPECT_EQ(b.context->VariableDerivativeFlag(7, 0), 0.0);  // no such variable
  EXPECT_EQ(b.context->MarkVariables(3), 0);
  EXPECT_FALSE(x.HasEntries());
  EXPECT_FALSE(y.HasEntries());
  EXPECT_EQ(b.context->VariableDerivativeFlag(0, 0), 0.0);
  Ref constant = Real(1.0);
  Bound none(constant.get(), {});
  EXPECT_EQ(none.context->MarkVariables(2), 0);
  EXPECT_EQ(none.context->ResetVariables(0, 0), 0u);
}

TEST_F(Tape, AggregatesOverAnArrayVariable) {
  constexpr std::uint16_t kRealArray = SUValue::kOneDimension | SUValue::kReal;
  const Ref a = Var(1, kRealArray);
  struct Case {
    const char* what;
    Ref tree;
    double value;
    double dx;
    double da[3];
  };
  // At a = (2, 0, 3) and x = 2; the zero element makes the product's
  // partials the products of the other elements, times the adjoint.
  Case cases[] = {
      {"SUM", U(kSigma, a), 5, 0, {1, 1, 1}},
      {"PRODUCT", U(kProd, a), 0, 0, {0, 6, 0}},
      {"x*PRODUCT", B(kMul, X(), U(kProd, a)), 0, 0, {0, 12, 0}},
      {"MAX", U(kMaxList, a), 3, 0, {0, 0, 1}},
      {"MIN", U(kMinList, a), 0, 0, {0, 1, 0}},
      {"x^2*SUM", B(kMul, U(kSqr, X()), U(kSigma, a)), 20, 20, {4, 4, 4}},
  };
  for (Case& c : cases) {
    ArrayVar arr("a", {2, 0, 3});
    x.Set(2);
    x.SetElementValue(0, 0.0);
    Bound b(c.tree.get(), {&x, &arr});
    ExprADContext& ctx = *b.context;
    ASSERT_TRUE(ctx.HasTape()) << c.what;
    ASSERT_EQ(ctx.Evaluate(), 0u) << c.what;
    EXPECT_DOUBLE_EQ(ctx.Result().payload.real, c.value) << c.what;
    ASSERT_EQ(ctx.EvaluateJacobian(0), 0u) << c.what;
    EXPECT_DOUBLE_EQ(x.ElementValue(0), c.dx) << c.what;
    for (int e = 0; e < 3; ++e) {
      EXPECT_DOUBLE_EQ(arr.At(e)->ElementValue(0), c.da[e]) << c.what << " element " << e;
      double d = 0.0;
      ASSERT_EQ(ctx.EvaluateDerivative(arr.At(e), &d, 0), 0u);
      EXPECT_DOUBLE_EQ(d, c.da[e]) << c.what << " chosen element " << e;
    }
  }
  // An array is read only whole, by an aggregate over it alone.
  ArrayVar arr("a", {1, 2});
  const Ref refused[] = {
      Var(1, kRealArray),
      B(kAdd, X(), a),
      ListExpr(kSigma, X(), Var(1, kRealArray)),
      U(kSigma, Var(1, SUValue::kOneDimension | SUValue::kString)),
  };
  for (const Ref& tree : refused) {
    Bound b(tree.get(), {&x, &arr});
    EXPECT_FALSE(b.context->HasTape()) << Printed(tree.get());
  }
}

double clock_now = 0.0;
double Clock(std::uint64_t) { return clock_now; }

// DELAY x BY lag reads x's history, which falls at slope 2 per unit of lag:
// its partial in the lag is -2 while the lag reaches no further back than
// the current time, and 0 beyond it, where the history has no slope to
// follow; in mode 1 a delayed value that moves in time does not follow x.
TEST_F(Tape, DelayDerivativeFollowsTimeAndLag) {
  SystemFunction::Register("Time", 0, &Clock, true);
  struct Case {
    double time, lag;
    std::int32_t mode;
    double dx, dlag;
  };
  const Case cases[] = {
      {1.0, 0.5, 0, 1, -2}, {1.0, 0.5, 1, 0, -2}, {1.0, 0.0, 1, 1, -2}, {1.0, 1.0, 0, 1, -2},
      {0.2, 0.5, 0, 1, 0},  {0.0, 0.5, 1, 1, 0},  {0.0, 0.0, 1, 1, -2},
  };
  Ref delay = B(kDelay, X(), Y());
  for (const Case& c : cases) {
    clock_now = c.time;
    x.Set(4.0);
    y.Set(c.lag);
    Bound b(delay.get(), {&x, &y});
    ExprADContext& ctx = *b.context;
    ASSERT_TRUE(ctx.HasTape());
    ASSERT_EQ(ctx.Evaluate(), 0u);
    EXPECT_DOUBLE_EQ(ctx.Result().payload.real, 4.0 - 2.0 * c.lag);
    x.SetElementValue(0, 0.0);
    y.SetElementValue(0, 0.0);
    ASSERT_EQ(ctx.EvaluateJacobian(c.mode), 0u);
    EXPECT_EQ(x.ElementValue(0), c.dx) << c.time << " " << c.lag << " mode " << c.mode;
    EXPECT_NEAR(y.ElementValue(0), c.dlag, 1e-9) << c.time << " " << c.lag << " mode " << c.mode;
  }
  // Otherwise x's partial is the weight of the value now in the look-up: 0
  // where the history alone answers (a lag longer than the step).
  for (const double weight : {0.0, 0.25}) {
    clock_now = 1.0;
    x.delay_weight = weight;
    y.Set(0.5);
    Bound b(delay.get(), {&x, &y});
    ASSERT_EQ(b.context->Evaluate(), 0u);
    x.SetElementValue(0, 0.0);
    ASSERT_EQ(b.context->EvaluateJacobian(0), 0u);
    EXPECT_EQ(x.ElementValue(0), weight);
  }
  x.delay_weight = 1.0;
  SystemFunction::Register("Time", 0, nullptr, true);
  clock_now = 0.0;
}

// A variable whose sensitivity by parameter k at time t is 10 k + t.
class Sensed : public ADVar {
 public:
  using ADVar::ADVar;
  Status ValueAtTime(std::int32_t key, double time, double* value) override {
    *value = 10.0 * key + time;
    return 0;
  }
};

// While a sensitivity system is formed, 3 DELAY(x BY lag) with a positive
// lag hands x nothing, and the delayed sweep gives 3 times x's sensitivity
// one lag back; a zero lag is x itself, and held or not it follows x.
TEST_F(Tape, HeldDelaysTakeTheSensitivityOfTheirLag) {
  SystemFunction::Register("Time", 0, &Clock, true);
  clock_now = 2.0;
  Sensed h{"h", 4.0};
  Ref product = B(kMul, Real(3.0), B(kDelay, X(), Y()));
  for (const double lag : {0.5, 0.0}) {
    y.Set(lag);
    Bound b(product.get(), {&h, &y});
    ExprADContext& ctx = *b.context;
    EXPECT_TRUE(ctx.HasDelay());
    ASSERT_EQ(ctx.Evaluate(), 0u);
    for (const bool held : {false, true}) {
      h.SetElementValue(0, 0.0);
      {
        std::unique_ptr<HeldDelays> scope = held ? std::make_unique<HeldDelays>() : nullptr;
        ASSERT_EQ(ctx.EvaluateJacobian(0), 0u);
      }
      EXPECT_EQ(h.ElementValue(0), held && lag > 0.0 ? 0.0 : 3.0) << lag << " " << held;
    }
    EXPECT_FALSE(TapeStateNow().delays_held);
    double sensitivity = 0.0;
    h.SetElementValue(0, 7.0);
    ASSERT_EQ(ctx.DelayedSensitivity(2, &sensitivity), 0u);
    EXPECT_DOUBLE_EQ(sensitivity, lag > 0.0 ? 3.0 * (20.0 + 2.0 - lag) : 0.0) << lag;
    EXPECT_EQ(h.ElementValue(0), 7.0);  // the delayed sweep hands nothing
  }
  Ref undelayed = B(kMul, X(), Y());
  Bound plain(undelayed.get(), All());
  EXPECT_FALSE(plain.context->HasDelay());
  SystemFunction::Register("Time", 0, nullptr, true);
  clock_now = 0.0;
}

TEST_F(Tape, SweepRunsItsOwnValues) {
  Ref product = B(kMul, X(), Y());
  Ref sum = B(kAdd, X(), U(kSqr, Y()));
  Bound a(product.get(), All());
  Bound b(sum.get(), All());
  ASSERT_EQ(a.context->Evaluate(), 0u);
  ASSERT_EQ(b.context->Evaluate(), 0u);  // another context ran in between
  double d = 0.0;
  ASSERT_EQ(a.context->EvaluateDerivative(&x, &d, 0), 0u);
  EXPECT_DOUBLE_EQ(d, 3.0);
  // Stale values: the sweep runs the tape again.
  y.Set(7.0);
  a.context->MarkStale();
  d = 0.0;
  ASSERT_EQ(a.context->EvaluateDerivative(&x, &d, 0), 0u);
  EXPECT_DOUBLE_EQ(d, 7.0);
  EXPECT_GT(a.context->InstructionCount(), 0);
}

// A tape of real arithmetic alone runs in the lean loop: it must leave
// every value the sweep reads (the saved results of sqrt, exp, pow and max
// included) as the full run would.
TEST_F(Tape, ArithmeticTapesLeaveWhatTheSweepReads) {
  Ref f = B(kAdd, B(kMul, U(kSqrt, B(kDiv, B(kMax, X(), Real(0.0)), Y())), Real(2.0)),
            B(kSub, U(kExp, X()), B(kPow, X(), Y())));
  Bound b(f.get(), All());
  ASSERT_EQ(b.context->Evaluate(), 0u);
  const double r = std::sqrt(2.0 / 3.0);
  EXPECT_DOUBLE_EQ(b.context->Result().payload.real, 2.0 * r + std::exp(2.0) - 8.0);
  double dx = 0.0;
  double dy = 0.0;
  ASSERT_EQ(b.context->EvaluateDerivative(&x, &dx, 0), 0u);
  ASSERT_EQ(b.context->EvaluateDerivative(&y, &dy, 0), 0u);
  EXPECT_NEAR(dx, 1.0 / (r * 3.0) + std::exp(2.0) - 3.0 * 4.0, 1e-12);
  EXPECT_NEAR(dy, -2.0 / (r * 9.0) - 8.0 * std::log(2.0), 1e-12);
  // Below zero the max takes its constant.
  x.Set(-1.0);
  ASSERT_EQ(b.context->Evaluate(), 0u);
  EXPECT_DOUBLE_EQ(b.context->Result().payload.real, std::exp(-1.0) + 1.0);
}

TEST_F(Tape, GrowingTheStacksMakesTheLastRunStale) {
  Ref f = B(kAdd, B(kMul, X(), Y()), U(kExp, X()));
  Bound a(f.get(), All());
  ASSERT_EQ(a.context->Evaluate(), 0u);
  // A tape larger than any before it remakes the shared stacks.
  std::vector<Ref> items;
  const std::size_t larger = TapeStateNow().capacity + 10;
  for (std::size_t i = 0; i < larger; ++i) items.push_back(X());
  Ref big = ListOfRefs(kSigma, items);
  Bound b(big.get(), All());
  ASSERT_TRUE(b.context->HasTape());
  x.SetElementValue(0, 0.0);
  ASSERT_EQ(a.context->EvaluateJacobian(0), 0u);
  EXPECT_NEAR(x.ElementValue(0), 3.0 + std::exp(2.0), 1e-12);
}

// A variable that states no type: every leaf reading it converts its value.
class UntypedVar : public ADVar {
 public:
  using ADVar::ADVar;
  std::uint16_t ValueType() const override { return 0; }
};

TEST_F(Tape, LeavesOfAnotherTypeConvertWhenRead) {
  UntypedVar count{"count", 1000000.0, false, SUValue::kInteger};
  UntypedVar unset{"unset", 0.0};
  unset.ValuePointer()->SetType(SUValue::kNoType);
  std::vector<ExpressionVariable*> vars = All();
  vars.push_back(&count);
  vars.push_back(&unset);
  SetInt(n, 4);
  struct Case {
    const char* what;
    Ref tree;
    Status status;
    double value;        // real and integer results
    const char* text;    // text results
    bool typed_operand;  // the first instruction reads a converted leaf
  } cases[] = {
      {"integer read as real", B(kAdd, Var(2), X()), 0, 6.0, nullptr, true},
      {"alone", Var(2), 0, 4.0, nullptr, true},
      {"untyped integer", B(kMul, Var(5, SUValue::kInteger), M()), 0, 5e6, nullptr, true},
      {"untyped integer as text", U(kConv2S, Var(5, SUValue::kInteger), SUValue::kString), 0, 0,
       "1000000", true},
      {"integer read as real, as text", U(kConv2S, Var(5), SUValue::kString), 0, 0, "1000000",
       true},
      {"real read as integer", B(kAdd, Var(0, SUValue::kInteger), M()), tapestatus::Code(565), 0,
       nullptr, true},
      {"text read as real", U(kSin, Var(4)), tapestatus::Code(565), 0, nullptr, true},
      {"integer read as text", B(kConcat, Var(2, SUValue::kString), Text("x"), SUValue::kString),
       tapestatus::Code(565), 0, nullptr, true},
      {"no value", U(kExp, Var(6)), tapestatus::Code(561), 0, nullptr, true},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bound b(c.tree.get(), vars);
    ExprADContext& ctx = *b.context;
    ASSERT_TRUE(ctx.HasTape());
    EXPECT_EQ(ctx.Tape().code[0].left_kind == tapekind::kVarTyped, c.typed_operand);
    ASSERT_EQ(ctx.Evaluate(), c.status);
    if (status::IsFailure(c.status)) {
      EXPECT_EQ(TapeStateNow().failing, 0);
      continue;
    }
    if (c.text != nullptr) {
      EXPECT_STREQ(ctx.Result().GetString(), c.text);
    } else {
      EXPECT_EQ(exprvalue::AsReal(ctx.Result()), c.value);
    }
  }
  // A converted real takes part in the derivatives; a converted integer not.
  UntypedVar u{"u", 3.0};
  vars.push_back(&u);
  Ref f = B(kMul, Var(7), B(kAdd, Var(7), Var(2)));  // u (u + n)
  Bound b(f.get(), vars);
  u.SetElementValue(0, 0.0);
  n.SetElementValue(0, 0.0);
  ASSERT_EQ(b.context->EvaluateJacobian(0), 0u);
  EXPECT_EQ(u.ElementValue(0), 2 * 3.0 + 4.0);
  EXPECT_EQ(n.ElementValue(0), 0.0);
}

TEST_F(Tape, TextRows) {
  struct Case {
    Ref tree;
    const char* text;
  };
  Case cases[] = {
      {B(kConcat, S(), Text("def")), "abcdef"},
      {U(kConv2S, X(), SUValue::kString), "2"},
      {U(kConv2S, N(), SUValue::kString), "-12"},
      // An integer wanted as a name is still printed as an integer.
      {U(kConv2S, M(), SUValue::kName), "1000000"},
  };
  SetInt(n, -12);
  SetInt(m, 1000000);
  for (Case& c : cases) {
    Bound b(c.tree.get(), All());
    ASSERT_EQ(b.context->Evaluate(), 0u) << c.text;
    EXPECT_STREQ(b.context->Result().GetString(), c.text);
  }
}

}  // namespace

namespace {

// A variable whose column class is the mark the expression left on it.
class MarkedVar : public ADVar {
 public:
  using ADVar::ADVar;
  std::int32_t ColumnClass(std::int32_t, std::int32_t) override { return Marker(0); }
};

TEST(TapeClasses, ResidualsClassifyByTheirWorstUse) {
  struct Case {
    const char* what;
    Ref tree;
    std::int32_t expected;
  };
  Case cases[] = {
      {"linear", B(kSub, B(kAdd, X(), Y()), Real(2)), 1},
      {"bilinear", B(kSub, B(kMul, X(), Y()), Real(2)), 3},
      {"transcendental", B(kAdd, U(kExp, X()), Y()), 3},
  };
  for (Case& c : cases) {
    MarkedVar x{"x", 1.0};
    MarkedVar y{"y", 2.0};
    Bound b(c.tree.get(), {&x, &y});
    b.context->ResetVariables(0, 0);
    x.SetClassMark(-1, 0, 0);  // both entries take part
    y.SetClassMark(-1, 0, 0);
    std::int32_t out = 0;
    EXPECT_EQ(b.context->ClassifyNonlinearity(&out, 0, 0, 0), 0u) << c.what;
    EXPECT_GE(out, c.expected) << c.what;
    EXPECT_LE(out, c.what[0] == 't' ? 4 : c.expected) << c.what;
  }
}

}  // namespace

namespace {

// Finds the variables of a small name table.
struct Finder : ExprVariableFinder {
  ExpressionVariable* FindVariable(const char* name) override {
    for (auto& [n, v] : table) {
      if (n == name) return v;
    }
    return nullptr;
  }
  std::vector<std::pair<std::string, ExpressionVariable*>> table;
};

TEST(TapeNames, BuiltNamesAreLookedUpThroughTheFinder) {
  ADVar t12{"T(1,2)", 9.5};
  ADVar level{"Tank.Level", 0.25};
  ADVar n{"n", 2.0, false, SUValue::kInteger};
  Finder finder;
  finder.table = {{"T(1,2)", &t12}, {"Tank.Level", &level}};
  const Ref name = Text("T", SUValue::kName);
  const Ref indexed = B(kVec, B(kVec, name, Int(1)), Var(0, SUValue::kInteger));
  const Ref sub = B(kSubId, Text("Tank", SUValue::kName), Text("Level", SUValue::kName));
  struct Case {
    Ref tree;
    double value;
  };
  Case cases[] = {
      {U(kDeRef, indexed, SUValue::kReal), 9.5},
      {B(kAdd, Real(1), U(kDeRef, sub, SUValue::kReal)), 1.25},
  };
  ExpressionVariable* vars[] = {&n};
  for (Case& c : cases) {
    ExprPCContext with(c.tree.get(), vars, 1, &finder);
    ASSERT_TRUE(with.HasTape()) << Printed(c.tree.get());
    ASSERT_EQ(with.Evaluate(), 0u) << Printed(c.tree.get());
    EXPECT_EQ(with.Result().payload.real, c.value);
    ExprPCContext without(c.tree.get(), vars, 1);
    EXPECT_FALSE(without.HasTape());  // names need a finder
  }
  finder.table.clear();
  ExprPCContext lost(cases[0].tree.get(), vars, 1, &finder);
  EXPECT_EQ(lost.Evaluate(), tapestatus::Code(561));

  // A dereference reads by the type it yields.
  ADVar count{"count", 7.0, false, SUValue::kInteger};
  TextVar label{"label", "abc"};
  finder.table = {{"count", &count}, {"label", &label}};
  const Ref as_int = U(kDeRef, Text("count", SUValue::kName), SUValue::kInteger);
  ExprPCContext integer(as_int.get(), vars, 1, &finder);
  ASSERT_TRUE(integer.HasTape());
  EXPECT_EQ(integer.Tape().code.back().op, kDeRefI);
  ASSERT_EQ(integer.Evaluate(), 0u);
  EXPECT_EQ(integer.Result().payload.integer, 7);
  const Ref as_text = U(kDeRef, Text("label", SUValue::kName), SUValue::kString);
  ExprPCContext text(as_text.get(), vars, 1, &finder);
  ASSERT_TRUE(text.HasTape());
  EXPECT_EQ(text.Tape().code.back().op, kDeRefS);
  ASSERT_EQ(text.Evaluate(), 0u);
  EXPECT_STREQ(text.Result().GetString(), "abc");
}

TEST(TapeRandom, DeviatesStayInTheirRanges) {
  ADVar mean{"a", 10.0};
  ADVar spread{"b", 2.0};
  const Ref uniform = B(kURnd, Var(0), Var(1));
  const Ref normal = B(kNRnd, Var(0), Var(1));
  Bound u(uniform.get(), {&mean, &spread});
  Bound g(normal.get(), {&mean, &spread});
  std::srand(1);
  double sum = 0;
  for (int i = 0; i < 2000; ++i) {
    ASSERT_EQ(u.context->Evaluate(), 0u);
    const double x = u.context->Result().payload.real;
    EXPECT_GE(x, 10.0 - 2.0 - 1e-9);
    EXPECT_LE(x, 10.0 + 2.0 + 1e-9);
    ASSERT_EQ(g.context->Evaluate(), 0u);
    sum += g.context->Result().payload.real;
  }
  EXPECT_NEAR(sum / 2000, 10.0, 0.5);
}

}  // namespace

namespace {
// The derivative face the evaluation loops ask for must agree with a
// dynamic_cast for every kind of variable.
TEST(ADFace, AgreesWithADynamicCast) {
  ADVar ad("a", 1.0);
  TextVar text("t", "x");
  ArrayVar array("v", {1.0, 2.0});
  ExpressionVariable plain;
  ExpressionADVariable bare;
  ExpressionVariable* all[] = {&ad, &text, &array, &plain, &bare};
  for (ExpressionVariable* v : all) {
    EXPECT_EQ(v->AsADVariable(), dynamic_cast<ExpressionADVariable*>(v));
  }
  EXPECT_EQ(ad.AsADVariable(), &ad);
  EXPECT_EQ(plain.AsADVariable(), nullptr);
}
}  // namespace
