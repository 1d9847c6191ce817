#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "foundation/messages/math_error.h"
#include "tests/expr/expr_builders.h"

using namespace exprtest;

namespace {

class Evaluate : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallMathErrorHook();
    MathErrorStatus.Reset();
  }
};

// Operands are variables so that the builders cannot fold the node away.
struct Values {
  TestVariable a{"a", 0};
  TestVariable b{"b", 0};
};

Outcome EvalWith(const Ref& tree, double a, double b = 0) {
  Values v;
  v.a.ValuePointer()->SetReal(a);
  v.b.ValuePointer()->SetReal(b);
  TestContext context(tree.get(), {&v.a, &v.b});
  return Eval(tree.get(), &context);
}

TEST_F(Evaluate, UnaryOperatorsOnReals) {
  struct Case {
    std::uint16_t op;
    double x;
    double expected;
  };
  const Case cases[] = {
      {kMinus, 2.5, -2.5}, {kPlus, 1.25, 1.25},  {kSqrt, 9.0, 3.0}, {kExp, 0.0, 1.0},
      {kLoge, 1.0, 0.0},   {kLog10, 100.0, 2.0}, {kSin, 0.0, 0.0},  {kCos, 0.0, 1.0},
      {kAbs, -3.5, 3.5},   {kSqr, -3.0, 9.0},    {kTan, 0.0, 0.0},  {kATan, 0.0, 0.0},
  };
  for (const Case& c : cases) {
    const Outcome o = EvalWith(U(c.op, Var(0)), c.x);
    EXPECT_EQ(o.status, 0u) << OperatorTable[c.op].name;
    EXPECT_DOUBLE_EQ(o.value.payload.real, c.expected) << OperatorTable[c.op].name;
  }
}

TEST_F(Evaluate, ConversionsToIntegers) {
  struct Case {
    std::uint16_t op;
    double x;
    std::int32_t expected;
  };
  const Case cases[] = {
      {kRound, 2.5, 3}, {kRound, -2.5, -3}, {kTruncate, -2.7, -2}, {kTruncate, 3e12, INT_MAX}};
  for (const Case& c : cases) {
    const Outcome o = EvalWith(U(c.op, Var(0)), c.x);
    EXPECT_EQ(o.status, 0u);
    EXPECT_EQ(o.value.payload.integer, c.expected) << OperatorTable[c.op].name << " " << c.x;
  }
  // Float truncates a real operand.
  EXPECT_EQ(EvalWith(U(kFloat, Var(0)), 2.9).value.payload.real, 2.0);
}

TEST_F(Evaluate, MathFailuresAreStatusesNeverSignals) {
  Outcome o = EvalWith(U(kLoge, Var(0)), 0.0);
  EXPECT_EQ(o.status, exprstatus::kLogOfZero);
  EXPECT_EQ(o.value.status, SUValue::kUnknown);  // untouched
  for (std::uint16_t op : {kLoge, kSqrt, kASin}) {
    o = EvalWith(U(op, Var(0)), -2.0);
    EXPECT_EQ(o.status, status::kMathDomain) << OperatorTable[op].name;
    EXPECT_EQ(o.value.status, kMathFailedValue);
    EXPECT_FALSE(status::IsFailure(MathErrorStatus.status()));  // taken
  }
  o = EvalWith(B(kPow, Var(0), Var(1)), 10.0, 400.0);
  EXPECT_TRUE(status::IsFailure(o.status));
  EXPECT_EQ(o.value.status, kMathFailedValue);
  o = EvalWith(B(kPow, Var(0), Var(1)), 2.0, 10.0);
  EXPECT_EQ(o.value.payload.real, 1024.0);
}

TEST_F(Evaluate, BinaryArithmeticAndComparisons) {
  struct Case {
    std::uint16_t op;
    double a, b, expected;
  };
  const Case reals[] = {{kAdd, 1, 2, 3},    {kSub, 1, 2, -1}, {kMul, 3, 4, 12},
                        {kDiv, 1, 4, 0.25}, {kMax, 1, 2, 2},  {kMin, 1, 2, 1}};
  for (const Case& c : reals) {
    const Outcome o = EvalWith(B(c.op, Var(0), Var(1)), c.a, c.b);
    EXPECT_EQ(o.status, 0u);
    EXPECT_EQ(o.value.payload.real, c.expected) << OperatorTable[c.op].name;
  }
  const Case logicals[] = {{kEq, 2, 2, 1},  {kNe, 2, 2, 0}, {kGt, 3, 2, 1},
                           {kLt, 3, 2, 0},  {kGe, 2, 2, 1}, {kLe, 3, 2, 0},
                           {kAnd, 1, 0, 0}, {kOr, 1, 0, 1}, {kXor, 1, 1, 0}};
  for (const Case& c : logicals) {
    const Outcome o = EvalWith(B(c.op, Var(0), Var(1)), c.a, c.b);
    EXPECT_EQ(o.status, 0u);
    EXPECT_EQ(o.value.type, SUValue::kLogical);
    EXPECT_EQ(o.value.payload.integer, static_cast<int>(c.expected)) << OperatorTable[c.op].name;
  }
}

TEST_F(Evaluate, DivisionAndRemainderRefuseZeroAndTheTrappingPair) {
  Outcome o = EvalWith(B(kDiv, Var(0), Var(1)), 1.0, 0.0);
  EXPECT_EQ(o.status, exprstatus::kDivisionByZero);
  EXPECT_EQ(o.value.status, SUValue::kUnknown);
  struct Case {
    std::int32_t a, b;
    Status status;
    std::int32_t expected;
  };
  const Case cases[] = {
      {7, 2, 0, 1}, {-7, 2, 0, -1}, {5, 0, exprstatus::kDivisionByZero, 0}, {INT_MIN, -1, 0, 0}};
  for (const Case& c : cases) {
    const Ref tree = B(kMod, Int(c.a), Int(c.b));
    o = Eval(tree.get());
    EXPECT_EQ(o.status, c.status) << c.a << " % " << c.b;
    if (c.status == 0) {
      EXPECT_EQ(o.value.payload.integer, c.expected);
    }
  }
  // An integer division node refuses 0 rather than reporting a clash.
  const Ref int_div = B(kDiv, Int(4), Int(0), SUValue::kInteger);
  EXPECT_EQ(Eval(int_div.get()).status, exprstatus::kDivisionByZero);
}

TEST_F(Evaluate, SetsSlicesAndMembership) {
  const Ref slice = B(kSlice, Int(1), Int(4));
  EXPECT_EQ(ValueText(Eval(slice.get()).value), "[1,2,3,4]");
  const Ref empty = B(kSlice, Int(4), Int(1));
  EXPECT_EQ(Eval(empty.get()).value.count, 0);
  const Ref huge = B(kSlice, Int(0), Int(INT_MAX));
  EXPECT_EQ(Eval(huge.get()).status, exprstatus::kOutOfRange);
  const Ref in = B(kIn, Int(2), IntSet({1, 2, 3}));
  EXPECT_EQ(Eval(in.get()).value.payload.integer, 1);
  const Ref size = U(kSize, IntSet({1, 2, 3}));
  EXPECT_EQ(Eval(size.get()).value.payload.integer, 3);
  const Ref scalar_size = U(kSize, Real(7.0));
  EXPECT_EQ(Eval(scalar_size.get()).value.payload.integer, 1);
}

TEST_F(Evaluate, TwoOperandMaxAndMinTakeTheSecondOnEqualValues) {
  for (std::uint16_t op : {kMax, kMin}) {
    const Ref tree = B(op, Int(2), Real(2.0), SUValue::kNoType);
    SUValue result;
    ASSERT_EQ(tree->Evaluate(result, nullptr), 0u);
    EXPECT_EQ(result.type, SUValue::kReal) << OperatorTable[op].name;
  }
}

TEST_F(Evaluate, NamesDerivativesAndDelays) {
  const Ref deriv = B(kDeriv, Text("x", SUValue::kName), Text("y", SUValue::kName));
  SUValue name;
  ASSERT_EQ(deriv->Evaluate(name, nullptr), 0u);
  EXPECT_STREQ(name.GetString(), "x.Derivative");
  const Ref delay = B(kDelay, Var(0), Real(2.0));
  EXPECT_EQ(EvalWith(delay, 5.0).status, 0u);
  const Ref concat = B(kConcat, Text("ab"), Text("cd"));
  EXPECT_STREQ(Eval(concat.get()).value.GetString(), "abcd");
}

TEST_F(Evaluate, IntegerAndRealOperandsMeetThroughFloat) {
  const Ref sum = B(kAdd, Var(0, SUValue::kInteger), Var(1));
  EXPECT_EQ(sum->GetResultType(), SUValue::kReal);
  EXPECT_EQ(sum->Operand(1)->Op(), kFloat);
  const Ref compare = B(kLt, Var(0, SUValue::kInteger), Var(1));
  EXPECT_EQ(compare->Operand(1)->ClassId(), exprclass::kVarRef);
  struct Case {
    std::uint16_t left, right, type;
    std::uint16_t wrapped;  // operand that gets a Float, 0 for none
  };
  const Case assignments[] = {{4, 2, 4, 2}, {2, 4, 4, 1}, {5, 5, 5, 0}, {0, 5, 5, 0}, {5, 2, 0, 0}};
  for (const Case& c : assignments) {
    const Ref tree = B(kAssignment, Var(0, c.left), Var(1, c.right));
    EXPECT_EQ(tree->GetResultType(), c.type) << c.left << ":" << c.right;
    if (c.wrapped != 0) {
      EXPECT_EQ(tree->Operand(c.wrapped)->Op(), kFloat);
    }
  }
}

TEST_F(Evaluate, ConvertToFollowsTheNodeType) {
  struct Case {
    Ref operand;
    std::uint16_t type;
    const char* expected;
  };
  Case cases[] = {
      {Text("12abc"), SUValue::kInteger, "12"},
      {Text("2.5e1"), SUValue::kReal, "25"},
      {Logical(true), SUValue::kString, "TRUE"},
      {Int(-4), SUValue::kString, "-4"},
      {Real(1.0 / 3), SUValue::kString, "0.3333333333333333"},
  };
  for (Case& c : cases) {
    const Ref tree = U(kConv2, c.operand, c.type);
    const Outcome o = Eval(tree.get());
    EXPECT_EQ(o.status, 0u);
    const std::string got =
        o.value.type == SUValue::kString ? o.value.GetString() : ValueText(o.value);
    EXPECT_EQ(got, c.expected);
  }
  const Ref to_set = U(kConv2, IntSet({3, 1}), SUValue::kStringSet);
  EXPECT_EQ(Eval(to_set.get()).value.count, 2);
}

TEST_F(Evaluate, DereferenceMapsEachValueStatus) {
  const Ref tree = U(kDeRef, Text("x", SUValue::kName), SUValue::kReal);
  struct Case {
    std::int16_t value_status;
    Status expected;
  };
  const Case cases[] = {{0, 0},
                        {1, exprstatus::kUnassigned},
                        {-1, exprstatus::kOutOfRange},
                        {-2, exprstatus::kIllegalTypeChange},
                        {-3, exprstatus::kIndexOrType},
                        {-4, exprstatus::kIndeterminate}};
  for (const Case& c : cases) {
    TestContext context(tree.get());
    context.lookup = [&](SUValue& value, const SUValue&) {
      value.SetType(SUValue::kReal);
      value.SetReal(4.0);
      value.status = c.value_status;
      return Status{0};
    };
    EXPECT_EQ(context.Evaluate(), c.expected) << c.value_status;
    EXPECT_EQ(context.last_name, "x");
  }
  EXPECT_EQ(Eval(tree.get()).status, exprstatus::kNoEvaluator);  // no context, no names
}

TEST_F(Evaluate, UnknownOperatorsAndLeavesWithoutEvaluator) {
  const Ref sign = U(kSign, Var(0));
  EXPECT_EQ(EvalWith(sign, 1.0).status, exprstatus::kUnknownOperator);
  EXPECT_EQ(sign->ErrorCode(), kErrUnknownOperator);
  const Ref leaf = Hold(new Expression(kInsEnd, 0));
  EXPECT_EQ(Eval(leaf.get()).status, exprstatus::kNoEvaluator);
  const Ref wrong_count = Hold(new UnaryExpression(kAdd, Var(0).get(), 0));
  EXPECT_EQ(wrong_count->ErrorCode(), kErrOperandCount);
}

TEST_F(Evaluate, ContextRefusesVariablesBeyondItsRoom) {
  TestVariable a("a", 1), b("b", 2), c("c", 3);
  const Ref tree = Var(0);
  TestContext context(tree.get(), {}, 2);
  std::int32_t index = -1;
  EXPECT_EQ(context.AddVariable(&a, &index), 0u);
  EXPECT_EQ(context.AddVariable(&a, &index), 0u);
  EXPECT_EQ(index, 0);
  EXPECT_EQ(context.AddVariable(nullptr, &index), 0u);
  EXPECT_EQ(index, 1);
  EXPECT_EQ(context.AddVariable(&c, &index), status::kBadArguments);
  EXPECT_EQ(context.VariableCount(), 2);
  (void)b;
}

}  // namespace

namespace {

TEST(EvaluationContext, SetResultsStartValidAndUncountedContextsCountAfresh) {
  // A set result is ready to be filled; any other waits for its value.
  const Ref set = IntSet({});
  TestContext over_set(set.get());
  EXPECT_EQ(over_set.Result().type, SUValue::kIntSet);
  EXPECT_EQ(over_set.Result().status, SUValue::kValid);
  EXPECT_EQ(over_set.Result().count, 0);
  const Ref real = Var(0);
  TestContext over_real(real.get());
  EXPECT_NE(over_real.Result().status, SUValue::kValid);

  // Without a count of its own the context asks the tree every time, so a
  // list that grows is counted as it is now.
  const Ref a = Var(0), b = Var(1);
  const Ref list = ListOf({&a});
  ExpressionVariable* room[4] = {};
  ExprContext context(list.get(), room, -1, 4);
  EXPECT_EQ(context.VariableCount(), 1);
  static_cast<ListExpression*>(list.get())->List()->Append(b.get());
  EXPECT_EQ(context.VariableCount(), 2);
}

}  // namespace
