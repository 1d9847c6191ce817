#include <gtest/gtest.h>

#include "foundation/persistence/memory_stream.h"
#include "tests/expr/expr_builders.h"

using namespace exprtest;

namespace {

// A derivative variable whose column class says whether it counts as a
// variable of the expression.
class ColumnVariable : public ExpressionADVariable {
 public:
  ColumnVariable(const char* name, bool depends)
      : ExpressionADVariable(1), name_(name), depends_(depends) {}
  std::int32_t ColumnClass(std::int32_t, std::int32_t) override { return depends_ ? 1 : 0; }
  const char* NameText() const override { return name_; }

 private:
  const char* name_;
  bool depends_;
};

TEST(DerivativeVariable, EntriesAreMadeOnDemandAndMarkersOnlyRise) {
  ExpressionADVariable v(3);
  double value = 7.0;
  EXPECT_EQ(v.GetElementValue(1, &value), 0u);  // no array: 0.0, no read through null
  EXPECT_EQ(value, 0.0);
  v.AddToElement(1, 2.0);
  EXPECT_EQ(v.ElementValue(1), 0.0);
  EXPECT_FALSE(v.HasEntries());
  v.SetClassMark(0, 1, 0);  // 0 makes no array
  EXPECT_FALSE(v.HasEntries());
  struct Step {
    std::int8_t marker;
    std::int8_t stored;
  };
  const Step steps[] = {{3, 0}, {-1, -1}, {3, 3}, {2, 3}, {4, 4}, {0, 0}, {4, 0}};
  for (const Step& s : steps) {
    v.SetClassMark(s.marker, 1, 0);
    EXPECT_EQ(v.Marker(1), s.stored) << "after " << int(s.marker);
  }
  v.SetElementValue(1, 1.5);
  v.AddToElement(1, 2.0);
  EXPECT_EQ(v.ElementValue(1), 3.5);
  EXPECT_EQ(v.GetElementValue(1, &value), 0u);
  EXPECT_EQ(value, 3.5);
  EXPECT_EQ(v.ElementValue(9), 0.0);  // beyond the entries
}

TEST(Binding, DereferencedNamesBecomeVariableReferences) {
  const Ref x = U(kDeRef, Text("X", SUValue::kName), SUValue::kReal);
  const Ref dx = U(kDeRef, Text("$tank.x", SUValue::kName), SUValue::kReal);
  const Ref unknown = U(kDeRef, Text("z", SUValue::kName), SUValue::kReal);
  const Ref tree = B(kAdd, B(kMul, x, dx), unknown);
  const char* names[] = {"global.x", "tank.x.Derivative"};
  Expression* held = Ref(tree->DeepCopy()).release();
  held = Expression::RebuildInPlace(held, 2, names);
  const Ref rebuilt(held);
  EXPECT_EQ(Printed(rebuilt.get()), "(V1*V2)+(z)");
  EXPECT_EQ(rebuilt->Operand(1)->Operand(2)->ClassId(), exprclass::kVarRef);
  EXPECT_EQ(rebuilt->Operand(1)->Operand(2)->GetResultType(), SUValue::kReal);
  // Nothing to bind: the node itself.
  EXPECT_EQ(Expression::RebuildInPlace(rebuilt.get(), 0, nullptr), rebuilt.get());
}

TEST(Binding, ResolverAppendsTheVariablesItFinds) {
  struct Resolver : ExprNameResolver {
    ExpressionVariable* Lookup(const char* name, std::uint16_t) override {
      return std::string(name) == "p" ? &p : nullptr;
    }
    TestVariable p{"p", 5.0};
  } resolver;
  const Ref tree = B(kAdd, U(kDeRef, Text("p", SUValue::kName), SUValue::kReal),
                     U(kDeRef, Text("q", SUValue::kName), SUValue::kReal));
  ExpressionVariable* variables[4] = {};
  std::int32_t count = 1;
  Expression* fresh = tree->RebuildWithChildren(&count, variables, &resolver);
  ASSERT_NE(fresh, tree.get());
  const Ref rebuilt = Hold(fresh);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(variables[1], &resolver.p);
  EXPECT_EQ(Printed(rebuilt.get()), "V2+(q)");
}

TEST(Binding, ListItemsAreBoundAndTheOriginalListIsKept) {
  const Ref x = U(kDeRef, Text("x", SUValue::kName), SUValue::kReal);
  const Ref y = U(kDeRef, Text("y", SUValue::kName), SUValue::kReal);
  const Ref z = U(kDeRef, Text("z", SUValue::kName), SUValue::kReal);
  const Ref two = Real(2.0);
  const Ref sum = U(kSigma, ListOf({&x, &two, &y, &z}), SUValue::kReal);
  const std::string before = Printed(sum.get());
  const char* names[] = {"global.y", "x"};
  sum->AddRef();
  const Ref rebuilt(Expression::RebuildInPlace(sum.get(), 2, names));
  ASSERT_NE(rebuilt.get(), sum.get());
  EXPECT_EQ(Printed(sum.get()), before);  // shared trees stay as they were
  Expression* items = rebuilt->Operand(1);
  ASSERT_EQ(items->ClassId(), exprclass::kHomList);
  EXPECT_EQ(items->ListElement(1)->ClassId(), exprclass::kVarRef);
  EXPECT_EQ(Printed(items->ListElement(1)), "V2");
  EXPECT_EQ(items->ListElement(2), two.get());  // unchanged items are shared
  EXPECT_EQ(Printed(items->ListElement(3)), "V1");
  EXPECT_EQ(items->ListElement(4), z.get());
  EXPECT_EQ(items->NodeCount(), 1u + 1u + 1u + 1u + z->NodeCount());
  EXPECT_EQ(items->GetResultType(), sum->Operand(1)->GetResultType());

  // The resolver form, on the argument list of a procedure call.
  struct Resolver : ExprNameResolver {
    ExpressionVariable* Lookup(const char* name, std::uint16_t) override {
      return std::string(name) == "z" ? &found : nullptr;
    }
    TestVariable found{"z", 1.0};
  } resolver;
  const Ref inputs = ListOf<ProcIOListExpression>({&y, &z}, 0);
  ExpressionVariable* variables[2] = {};
  std::int32_t count = 0;
  const Ref bound = Hold(inputs->RebuildWithChildren(&count, variables, &resolver));
  ASSERT_NE(bound.get(), inputs.get());
  EXPECT_EQ(bound->ClassId(), exprclass::kProcIOList);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(variables[0], &resolver.found);
  EXPECT_EQ(bound->ListElement(1), y.get());
  EXPECT_EQ(bound->ListElement(2)->ClassId(), exprclass::kVarRef);
  // Nothing to bind: the list itself.
  EXPECT_EQ(inputs->RebuildWithChildren(0, nullptr), inputs.get());
}

TEST(Binding, NonlinearityClassesReachTheVariables) {
  ColumnVariable x("x", true), y("y", true), k("k", false);
  struct Case {
    std::uint16_t op;
    std::int8_t x_class, y_or_k_class;
    bool with_constant;  // the second operand is k, which does not depend
  };
  const Case cases[] = {{kMul, 3, 3, false}, {kMul, 1, 3, true}, {kAdd, 1, 1, false},
                        {kDiv, 1, 3, true},  {kPow, 3, 3, true}, {kEq, 1, 1, false},
                        {kAnd, 4, 4, false}};
  for (const Case& c : cases) {
    const Ref tree = B(c.op, Var(0), Var(1));
    ExpressionADVariable* second = c.with_constant ? static_cast<ExpressionADVariable*>(&k) : &y;
    TestContext context(tree.get(), {&x, second});
    for (ExpressionADVariable* v : {static_cast<ExpressionADVariable*>(&x), second})
      v->SetClassMark(-1, 0, 0);
    std::uint32_t flags = 0;
    EXPECT_EQ(tree->NonlinearityClass(&context, 1, &flags, 0, 0), 0u);
    EXPECT_EQ(x.Marker(0), c.x_class) << OperatorTable[c.op].name;
    EXPECT_EQ(second->Marker(0), c.y_or_k_class) << OperatorTable[c.op].name;
  }
  const Ref slice = B(kSlice, Var(0), Var(1));
  TestContext context(slice.get(), {&x, &y});
  EXPECT_EQ(slice->NonlinearityClass(&context, 1, nullptr, 0, 0), exprstatus::kNotClassified);
  const Ref sign = U(kSign, Var(0));
  EXPECT_EQ(sign->NonlinearityClass(&context, 1, nullptr, 0, 0), exprstatus::kUnknownOperator);
  const Ref delay = B(kDelay, Var(0), Var(1));
  std::uint32_t flags = 0;
  delay->NonlinearityClass(&context, 1, &flags, 0, 0);
  EXPECT_EQ(flags & 0x0800, 0x0800u);
}

TEST(Binding, IndexChainsRegroupToTheRight) {
  const Ref x = Text("x", SUValue::kName);
  const Ref chain = Ref(MakeIndexedName(
      kVec,
      Ref(MakeIndexedName(kVec, Ref(MakeIndexedName(kVec, x.get(), Int(1).get())).get(),
                          Int(2).get()))
          .get(),
      Int(3).get()));
  bool changed = false;
  const Ref regrouped = Hold(chain->RewriteIndexChain("x", &changed));
  EXPECT_TRUE(changed);
  ASSERT_EQ(regrouped->Op(), kVec);
  EXPECT_EQ(regrouped->Operand(1)->Op(), kDeRef);
  EXPECT_EQ(regrouped->Operand(2)->Op(), kVec);
  EXPECT_EQ(regrouped->Operand(2)->Operand(2)->Op(), kVec);
  changed = false;
  const Ref other = Hold(chain->RewriteIndexChain("y", &changed));
  EXPECT_FALSE(changed);
}

TEST(Binding, VariableExpressionsEnterTheirVariableOnce) {
  TestVariable a("a", 1.0), b("b", 2.0);
  const Ref va = Hold(new VariableExpression(&a)), vb = Hold(new VariableExpression(&b));
  const Ref va2 = Hold(new VariableExpression(&a));
  const Ref tree = B(kAdd, B(kMul, va, vb), va2);
  TestContext context(tree.get(), {}, 4);
  EXPECT_EQ(context.VisitVariables(), 0u);
  EXPECT_EQ(context.VariableCount(), 2);
  EXPECT_EQ(static_cast<VarRefExpression*>(va2.get())->Offset(), 0u);
  EXPECT_EQ(static_cast<VarRefExpression*>(vb.get())->Offset(), 1u);
  ASSERT_EQ(context.Evaluate(), 0u);
  EXPECT_EQ(context.Result().payload.real, 3.0);
  EXPECT_EQ(Printed(tree.get(), &context), "(a*b)+a");
  EXPECT_EQ(va->BoundVariable(), &a);
  EXPECT_EQ(va->VariableSpec(), &a);
}

TEST(Binding, SizeInWordsLoadsValuesIntoVariables) {
  ColumnVariable x("x", true);
  x.SetSize(1, true);
  const Ref tree = B(kAdd, Real(1.0), Var(0));
  TestContext context(tree.get(), {&x});
  const double values[] = {2.5};
  SizeCursor cursor{0, values, values + 1};
  EXPECT_EQ(tree->Operand(1)->SizeInWords(&context, cursor), 0u);
  EXPECT_EQ(cursor.total, 8u);
  EXPECT_EQ(tree->Operand(2)->SizeInWords(&context, cursor), 0u);
  EXPECT_EQ(x.ElementValue(0), 2.5);
  EXPECT_EQ(tree->Operand(2)->SizeInWords(&context, cursor), exprstatus::kItemFailed);  // ran out
}

TEST(Binding, VirtualStreamCompactFormKeepsHeadersPrintable) {
  const Ref v1 = Var(1);
  const Ref tree = B(kAdd, Var(0), ListOf({&v1}));
  ClMemoryOutStream out;
  EXPECT_EQ(tree->SaveCompactToVStream(out), 0u);
  // code 18+32 '2', flags, type; a leaf adds its class id + 32.
  EXPECT_EQ(out.Text(),
            "2"
            "0 260 "
            "\""
            "0 4 "
            "\x9c"
            "0 "
            "\""
            "0 260 "
            "\x9f"
            "1  "
            "\""
            "0 4 "
            "\x9c"
            "1 ");
  EXPECT_EQ(Real(1.0)->SaveCompactToVStream(out), exprstatus::kNoEvaluator);
}

}  // namespace
