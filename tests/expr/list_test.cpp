#include <gtest/gtest.h>

#include <sstream>

#include "tests/expr/expr_builders.h"
#include "tests/framework/message_helpers.h"

using namespace exprtest;

namespace {

TEST(ExpressionLists, ElementTypeCombinesOnlyForAPlainArrayType) {
  struct Case {
    std::uint16_t first, second, list_type, expected;
  };
  const Case cases[] = {
      {2, 4, 0x100, 0x104}, {3, 2, 0x100, 0x102}, {4, 3, 0x100, 0x104}, {5, 5, 0x100, 0x105},
      {7, 5, 0x100, 0x107}, {2, 4, 0x104, 0x104}, {2, 4, 0, 0},
  };
  for (const Case& c : cases) {
    const Ref a = Var(0, c.first), b = Var(1, c.second);
    EXPECT_EQ(ListOf({&a, &b}, c.list_type)->GetResultType(), c.expected)
        << c.first << "," << c.second << " in " << c.list_type;
  }
}

TEST(ExpressionLists, EvaluatesItemsInOrderIntoOneArray) {
  TestVariable x("x", 1.5);
  const Ref scalar = Var(0);
  const Ref three = ListOf({&scalar, &scalar, &scalar});
  const Ref nested = ListOf({&scalar, &three});
  TestContext context(nested.get(), {&x});
  ASSERT_EQ(context.Evaluate(), 0u);
  EXPECT_EQ(context.Result().count, 4);
  EXPECT_EQ(ValueText(context.Result()), "<1.5,1.5,1.5,1.5>");

  const Ref failing = U(kLoge, Var(0));
  const Ref bad = ListOf({&scalar, &failing});
  x.ValuePointer()->SetReal(0.0);
  TestContext bad_context(bad.get(), {&x});
  EXPECT_EQ(bad_context.Evaluate(), exprstatus::kItemFailed);

  const Ref empty = ListOf({});
  EXPECT_TRUE(empty->IsConstant());
  EXPECT_TRUE(empty->IsTerm());
  EXPECT_EQ(Eval(empty.get()).value.count, 0);
}

TEST(ExpressionLists, ComprehensionRunsItsBodyPerMember) {
  struct IteratingContext : TestContext {
    using TestContext::TestContext;
    std::int32_t BeginIterator(const char* name) override {
      names += name;
      return 0;
    }
    void SetIteratorValue(const SUValue& value, std::int32_t) override {
      members.push_back(value.GetIntAt(0));
    }
    std::string names;
    std::vector<std::int32_t> members;
  };
  const Ref loop = B(kForEach, Real(2.0), IntSet({4, 5, 6}));
  const Ref list = ListOf({&loop});
  IteratingContext context(list.get());
  ASSERT_EQ(context.Evaluate(), 0u);
  EXPECT_EQ(context.names, "i");
  EXPECT_EQ(context.members, (std::vector<std::int32_t>{4, 5, 6}));
  EXPECT_EQ(context.Result().count, 3);

  const Ref none = B(kForEach, Real(2.0), IntSet({}));
  const Ref empty_loop = ListOf({&none});
  IteratingContext empty_context(empty_loop.get());
  ASSERT_EQ(empty_context.Evaluate(), 0u);
  EXPECT_EQ(empty_context.Result().count, 0);
}

TEST(ExpressionLists, AggregatesReduceTheirList) {
  const Ref a = Real(1.5), b = Int(2), c = Real(-4.0), v = Var(0);
  struct Case {
    std::uint16_t op;
    double expected;
  };
  const Case cases[] = {{kSigma, 0.5}, {kProd, -12.0}, {kMaxList, 2.0}, {kMinList, -4.0}};
  for (const Case& k : cases) {
    const Ref list = ListOf({&a, &b, &c, &v});
    const Ref tree = U(k.op, list);
    TestVariable x("x", 1.0);
    TestContext context(tree.get(), {&x});
    ASSERT_EQ(context.Evaluate(), 0u) << OperatorTable[k.op].name;
    EXPECT_EQ(context.Result().payload.real, k.expected) << OperatorTable[k.op].name;
  }
  const Ref s1 = IntSet({1, 2}), s2 = IntSet({2, 3});
  const Ref sets = ListOf({&s1, &s2}, 0x10A);
  const Ref united = U(kUnionFn, sets);
  EXPECT_EQ(ValueText(Eval(united.get()).value), "[1,2,3]");
  const Ref common = U(kISectFn, sets);
  EXPECT_EQ(ValueText(Eval(common.get()).value), "[2]");
}

TEST(ExpressionLists, CompactRoundTripKeepsNestingAndTheProcedureFlag) {
  const Ref a = Var(0), b = Real(3.0);
  const Ref inner = ListOf({&a, &b});
  const Ref outer = ListOf({&inner, &a});
  const Ref io = ListOf<ProcIOListExpression>({&a, &b}, 0);
  for (const Ref* tree : {&outer, &io}) {
    DseMessage message(60, DseMessage::kRequest);
    ASSERT_EQ((*tree)->WriteCompactToMessage(message), 0u);
    const auto bytes = testsupport::BodyOf(message);
    const Ref back = Ref(Expression::ReadFromMessage(*testsupport::Received(message)));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->ClassId(), (*tree)->ClassId());
    EXPECT_EQ(back->NodeCount(), (*tree)->NodeCount());
    EXPECT_EQ(Printed(back.get()), Printed(tree->get()));
    DseMessage again(60, DseMessage::kRequest);
    back->WriteCompactToMessage(again);
    EXPECT_EQ(testsupport::BodyOf(again), bytes);
  }
  // A procedure IO list is not itself counted.
  EXPECT_EQ(io->NodeCount(), 2u);
  EXPECT_EQ(outer->NodeCount(), 5u);
}

TEST(ExpressionLists, ForwardsPrivacyReferencesAndObsoleteOperators) {
  const Ref a = Var(0), b = Real(1.0);
  const Ref list = ListOf({&a, &b});
  EXPECT_EQ(list->CountReferences(), 1);
  EXPECT_FALSE(list->IsConstant());
  list->SetPrivate(true);
  EXPECT_TRUE(list->ListElement(1)->IsPrivate());
  EXPECT_EQ(list->ListElement(3), nullptr);
  std::ostringstream debug;
  ListOf<ProcIOListExpression>({&b}, 0)->PrintDebug(debug, 0, true);
  EXPECT_EQ(debug.str().rfind(" Proc IO List Expression:\n", 0), 0u);
}

// IMPLICIT x: a dereference of the name x that its model's path qualifies.
Ref Implicit(const char* name) {
  Ref node = U(kDeRef, Text(name, SUValue::kName));
  node->SetFlags(node->Flags() | 0x0020);
  return node;
}

// An aggregate over implicit references is qualified like a sum of them:
// every item in order, and the counts follow the longer names.
TEST(ExpressionLists, ImplicitReferencesAreQualifiedInEveryItem) {
  const Ref x = Implicit("x"), y = Implicit("y");
  const Ref sigma = U(kSigma, ListOf({&x, &y}));
  const Ref sum = B(kAdd, Implicit("x"), Implicit("y"));
  EXPECT_TRUE(sigma->HasImplicitReference());
  EXPECT_TRUE(sum->HasImplicitReference());
  const Ref prefix = Text("M", SUValue::kName);
  const std::uint32_t sum_count = sum->QualifyImplicitReferences(prefix.get());
  const std::uint32_t sigma_count = sigma->QualifyImplicitReferences(prefix.get());
  EXPECT_EQ(Printed(sum.get()), "(IMPLICIT M.x)+(IMPLICIT M.y)");
  EXPECT_EQ(Printed(sigma.get()), "SIGMA(IMPLICIT M.x,IMPLICIT M.y)");
  // One node more in each: a list node for the sum's binary node, and the
  // aggregate on top.
  EXPECT_EQ(sigma_count, sum_count + 1);
  EXPECT_EQ(sigma->NodeCount(), sigma_count);
  const Ref plain = Var(0);
  EXPECT_FALSE(ListOf({&plain})->HasImplicitReference());
}

// Both rewrite forms reach every item; the list that comes back is of the
// rewritten list's class and type, and an unchanged list is the list itself.
TEST(ExpressionLists, RewritesReachEveryItem) {
  const Ref x = Text("x", SUValue::kName), one = Int(1), other = Var(0);
  const Ref index = Ref(
      MakeIndexedName(kVec, Ref(MakeIndexedName(kVec, x.get(), one.get())).get(), Int(2).get()));
  const Ref hom = ListOf({&other, &x});
  const Ref plain = ListOf<ListExpression>({&x, &index}, 0);
  bool changed = false;
  const Ref rewritten = Hold(hom->Rewrite("x", &changed));
  EXPECT_TRUE(changed);
  EXPECT_EQ(rewritten->ClassId(), exprclass::kHomList);
  EXPECT_EQ(rewritten->GetResultType(), hom->GetResultType());
  EXPECT_EQ(rewritten->ListElement(1), other.get());
  EXPECT_EQ(rewritten->ListElement(2)->Op(), kDeRef);
  EXPECT_EQ(hom->ListElement(2), x.get());

  changed = false;
  const Ref regrouped = Hold(plain->RewriteIndexChain("x", &changed));
  EXPECT_TRUE(changed);
  EXPECT_EQ(regrouped->ClassId(), exprclass::kList);
  EXPECT_EQ(regrouped->ListElement(1)->Op(), kDeRef);
  // The index chain x(1)(2) regrouped to the right with x dereferenced.
  ASSERT_EQ(regrouped->ListElement(2)->Op(), kVec);
  EXPECT_EQ(regrouped->ListElement(2)->Operand(1)->Op(), kDeRef);
  EXPECT_EQ(regrouped->ListElement(2)->Operand(2)->Op(), kVec);

  // Nothing named: the list itself, but its index chains still regroup.
  changed = false;
  EXPECT_EQ(plain->Rewrite("y", &changed), plain.get());
  const Ref kept = Hold(plain->RewriteIndexChain("y", &changed));
  EXPECT_FALSE(changed);
  EXPECT_EQ(kept->ListElement(1), x.get());
  EXPECT_EQ(kept->ListElement(2)->Operand(1), x.get());
  EXPECT_EQ(kept->ListElement(2)->Operand(2)->Op(), kVec);

  // An index list over such a list names nothing either: it stays as it
  // is, and the list regrouped for it is let go (the leak checker sees it).
  const Ref over = B(kVec, plain, Int(3));
  changed = false;
  EXPECT_EQ(over->RewriteIndexChain("y", &changed), over.get());
  EXPECT_FALSE(changed);
}

}  // namespace
