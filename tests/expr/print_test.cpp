#include <gtest/gtest.h>

#include <sstream>

#include "expr/tree/system_function.h"
#include "tests/expr/expr_builders.h"

using namespace exprtest;

namespace {

TEST(ExpressionPrint, ModellingFormsAndParentheses) {
  const Ref a = Var(0), b = Var(1), c = Var(2), x = Var(3);
  struct Case {
    Ref tree;
    const char* text;
  };
  Case cases[] = {
      {B(kAdd, a, B(kMul, b, c)), "V1+(V2*V3)"},
      {B(kMul, B(kAdd, a, b), c), "(V1+V2)*V3"},
      {U(kSin, B(kAdd, x, Real(1.0))), "SIN(1+V4)"},
      {U(kMinus, B(kAdd, a, b)), "-(V1+V2)"},
      {U(kMinus, a), "-V1"},
      {B(kDelay, x, Real(2.0)), "DELAY V4 BY 2"},
      {B(kMax, a, b), "max(V1,V2)"},
      {B(kForEach, a, IntSet({1, 2})), "FOREACH(V1 IN [1,2])"},
      {B(kPow, a, U(kSqrt, b)), "V1^SQRT(V2)"},
      {ListOf({&a, &b}), "V1,V2"},
      {ListOf<ProcIOListExpression>({&a, &b}, 0), "(V1,V2)"},
  };
  for (Case& c : cases) EXPECT_EQ(Printed(c.tree.get()), c.text);
  EXPECT_EQ(Printed(nullptr), "Null Expression");
}

// Every operator row prints in the form its row names: function form,
// prefix or infix, or one of the special forms.
TEST(ExpressionPrint, EveryOperatorPrintsInItsRowForm) {
  const Ref a = Var(0), b = Var(1);
  for (std::uint16_t op = 0; op < kEmptyRow; ++op) {
    const OperatorRow& row = OperatorTable[op];
    const std::string name = row.modelling;
    std::string expected;
    Ref node;
    if (row.operands == 1) {
      node = Hold(new UnaryExpression(op, a.get(), 0));
      if (row.print_form == kPrintFunction) expected = name + "(V1)";
      if (row.print_form == kPrintInfix) expected = name + "V1";
      if (row.print_form == kPrintSpecial) {
        expected = "UNKNOWN SPECIAL FORMAT FOR UNARY EXPRESSION OPERATOR " + name + "(V1)";
      }
    } else if (row.operands == 2) {
      node = Hold(new BinaryExpression(op, a.get(), b.get(), 0));
      if (row.print_form == kPrintFunction) expected = name + "(V1,V2)";
      if (row.print_form == kPrintInfix) expected = "V1" + name + "V2";
      if (op == kVec) expected = "V1(V2)";
      if (op == kDeriv) expected = "$V1";
      if (op == kDelay) expected = "DELAY V1 BY V2";
      if (op == kForEach) expected = "FOREACH(V1 IN V2)";
    } else {
      continue;
    }
    if (node->Operand(1)->Op() != kTerm) continue;  // wrapped for its type; covered below
    EXPECT_EQ(Printed(node.get()), expected) << row.name;
  }
}

TEST(ExpressionPrint, IndexedNamePrintsAsOneArgumentList) {
  const Ref x = Text("x", SUValue::kName);
  const Ref first = Ref(MakeIndexedName(kVec, x.get(), Int(1).get()));
  const Ref both = Ref(MakeIndexedName(kVec, first.get(), Int(2).get()));
  EXPECT_EQ(Printed(both.get()), "x(1,2)");
  EXPECT_EQ(both->GetResultType(), SUValue::kName);
  EXPECT_EQ(both->ListLength(), 2);
  EXPECT_EQ(Printed(both->ListElement(1)), "1");
  // A set index adds a dimension; a FOREACH base keeps its loop outside.
  const Ref over_set = Ref(MakeIndexedName(kVec, x.get(), IntSet({1, 2}).get()));
  EXPECT_EQ(over_set->GetResultType(), 0x100 | SUValue::kName);
  const Ref loop = B(kForEach, x, IntSet({1, 2}));
  const Ref indexed = Ref(MakeIndexedName(kVec, loop.get(), Int(3).get()));
  ASSERT_EQ(indexed->Op(), kForEach);
  EXPECT_EQ(Printed(indexed.get()), "FOREACH(x(3) IN [1,2])");
  EXPECT_EQ(indexed->GetResultType(), 0x100 | SUValue::kName);
}

TEST(ExpressionPrint, QualifyNameMergesIntoChainsAndCountsNodes) {
  const Ref prefix = Text("unit", SUValue::kName);
  const Ref chain = B(kSubId, Text("a", SUValue::kName), Text("b", SUValue::kName));
  Expression* place = chain.get();
  EXPECT_EQ(QualifyName(prefix.get(), &place), 1);
  EXPECT_EQ(Printed(chain.get()), "unit.a.b");
  EXPECT_EQ(chain->NodeCount(), 5u);

  Expression* leaf = Text("c", SUValue::kName).release();
  EXPECT_EQ(QualifyName(prefix.get(), &leaf), 0);
  const Ref qualified(leaf);
  EXPECT_EQ(Printed(qualified.get()), "unit.c");
}

TEST(ExpressionPrint, PrivateNodesHideTheirText) {
  const Ref tree = B(kAdd, Var(0), Var(1));
  EXPECT_EQ(tree->SetPrivate(true), 512);
  EXPECT_EQ(Printed(tree.get()), "PrivateExpression");
  EXPECT_EQ(Printed(tree->Operand(1)), "PrivateExpression");
  EXPECT_EQ(tree->SetPrivate(false), 0);
  EXPECT_EQ(Printed(tree.get()), "V1+V2");
}

TEST(ExpressionPrint, SetConstantsStartValidAndEmptyOthersUndefined) {
  const Ref set = Hold(new TerminalExpression(SUValue(), SUValue::kIntSet));
  const Ref real = Hold(new TerminalExpression(SUValue(), SUValue::kReal));
  EXPECT_EQ(static_cast<TerminalExpression*>(set.get())->Value().status, SUValue::kValid);
  EXPECT_EQ(static_cast<TerminalExpression*>(set.get())->Value().count, 0);
  EXPECT_EQ(static_cast<TerminalExpression*>(real.get())->Value().status, SUValue::kUnknown);
  EXPECT_EQ(Printed(real.get()), "?");
  TestContext context(set.get());
  EXPECT_EQ(context.Result().status, SUValue::kValid);
}

TEST(ExpressionPrint, DebugLinesIndentByDepth) {
  const Ref tree = B(kAdd, Var(0), Real(2.5));
  std::ostringstream out;
  tree->PrintDebug(out, 0, true);
  EXPECT_EQ(out.str(),
            " Add [opcode=19] Real\n"
            "   Term [opcode=1] Real =2.5\n"
            "   VarRefExpression  at offset 0\n");
}

TEST(ExpressionPrint, VariableReferenceUsesContextNamesOnlyWhenItHoldsThem) {
  const Ref ref = Var(4);
  TestVariable v[5] = {{"a", 0}, {"b", 0}, {"c", 0}, {"d", 0}, {"flow", 0}};
  TestContext four(ref.get(), {&v[0], &v[1], &v[2], &v[3]});
  TestContext five(ref.get(), {&v[0], &v[1], &v[2], &v[3], &v[4]});
  EXPECT_EQ(Printed(ref.get()), "V5");
  EXPECT_EQ(Printed(ref.get(), &four), "V5");
  EXPECT_EQ(Printed(ref.get(), &five), "flow");

  TestVariable named("tank.level", 1.0);
  const Ref bound = Hold(new VariableExpression(&named));
  const Ref unnamed = Hold(new VariableExpression(nullptr));
  EXPECT_EQ(Printed(bound.get()), "tank.level");
  EXPECT_EQ(Printed(unnamed.get()), "unnamed");
}

TEST(ExpressionPrint, ErrorsAreReportedThroughTheirNode) {
  const Ref tree = B(kMod, Var(0, SUValue::kInteger), Int(0));
  TestVariable x("x", 0);
  TestContext context(tree.get(), {&x});
  EXPECT_EQ(context.Evaluate(), exprstatus::kDivisionByZero);
  std::ostringstream out;
  context.Print(out);
  EXPECT_EQ(out.str(), "x%0");
}

}  // namespace
