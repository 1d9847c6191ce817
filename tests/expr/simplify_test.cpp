#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "expr/tree/system_function.h"
#include "tests/expr/expr_builders.h"
#include "tests/framework/message_helpers.h"
#include "tests/support/golden.h"

using namespace exprtest;

namespace {

TEST(Simplify, UnaryRulesRewriteAndKeepCountsBalanced) {
  const Ref a = Var(0), b = Var(1);
  struct Case {
    Ref tree;
    const char* text;
  };
  Case cases[] = {
      {U(kNot, U(kNot, B(kGt, a, b))), "V1>V2"},
      {U(kMinus, U(kMinus, a)), "V1"},
      {U(kNot, B(kGt, a, b)), "V2>=V1"},
      {U(kNot, B(kEq, a, b)), "V2<>V1"},
      {U(kMinus, B(kSub, a, b)), "V2-V1"},
      {U(kPlus, a), "V1"},
      {U(kSqrt, Real(16.0)), "4"},
      {U(kMinus, Real(2.5)), "-2.5"},
      {B(kAdd, a, Real(1.0)), "1+V1"},
      {B(kMul, Real(3.0), B(kAdd, Real(1.0), Int(1))), "6"},
  };
  for (Case& c : cases) EXPECT_EQ(Printed(c.tree.get()), c.text);
  // What the test holds plus what the remaining trees hold: nothing lost,
  // nothing held twice.
  EXPECT_EQ(a->RefCount(), 1u + 1 + 1 + 1 + 1 + 1 + 1 + 1);
}

TEST(Simplify, AggregateOfTwoConstantsFoldsButNotOverVariables) {
  const Ref one = Real(1.0), two = Real(2.0), v = Var(0);
  const Ref constants = U(kSigma, ListOf({&one, &two}));
  EXPECT_EQ(Printed(constants.get()), "3");
  const Ref with_variable = U(kSigma, ListOf({&one, &v}));
  EXPECT_EQ(with_variable->Op(), kSigma);
  const Ref product = U(kProd, ListOf({&two, &two}));
  EXPECT_EQ(Printed(product.get()), "4");
}

TEST(Simplify, FailedFoldingLeavesTheNodeWithItsErrorCode) {
  const Ref tree = B(kMod, Int(5), Int(0));
  EXPECT_EQ(tree->Op(), kMod);
  EXPECT_EQ(tree->ErrorCode(), static_cast<std::uint16_t>(exprstatus::kDivisionByZero));
  const Ref loge = U(kLoge, Real(0.0));
  EXPECT_EQ(loge->Op(), kLoge);
}

// A Time constant of an older layout turns into a system-function leaf, and
// the unary node installs it in place of its operand.
TEST(Simplify, ObsoleteTimeConstantIsReplacedInsideUnaryNodes) {
  struct TimeTerminal : TerminalExpression {
    TimeTerminal() { op_ = kTime; }
  };
  const Ref time = Hold(new TimeTerminal);
  const Ref tree = Hold(new UnaryExpression(kMinus, time.get(), SUValue::kReal));
  EXPECT_EQ(tree->EliminateObsoleteOperators(), nullptr);
  ASSERT_EQ(tree->Operand(1)->ClassId(), exprclass::kSysFun);
  EXPECT_EQ(time->RefCount(), 1u);
  EXPECT_EQ(Printed(tree.get()), "-Time");
}

// Random trees are built, copied, simplified, rewritten, evaluated, written
// and read, then released; the sanitizer tree reports any leak or double
// release, and the shared leaves must end with only the test's reference.
TEST(Simplify, RandomTreesReleaseEverythingTheyHold) {
  std::mt19937 random(7);
  std::vector<Ref> leaves;
  for (int i = 0; i < 4; ++i) leaves.push_back(Var(static_cast<std::uint32_t>(i)));
  leaves.push_back(Real(2.0));
  leaves.push_back(Real(-0.5));
  leaves.push_back(Int(3));
  leaves.push_back(Logical(true));
  leaves.push_back(IntSet({1, 2}));
  leaves.push_back(Ref(NewSysFunExpression(FindOrRegisterSystemFunction("Time"))));
  std::vector<std::uint16_t> unary, binary;
  for (std::uint16_t row = 0; row < kEmptyRow; ++row) {
    if (OperatorTable[row].operands == 1) unary.push_back(row);
    if (OperatorTable[row].operands == 2) binary.push_back(row);
  }
  TestVariable vars[4] = {{"a", 1.0}, {"b", 2.0}, {"c", 0.0}, {"d", -1.0}};
  auto grow = [&](auto&& self, int depth) -> Ref {
    const unsigned pick = random() % 10;
    if (depth == 0 || pick < 3) return Ref(leaves[random() % leaves.size()]->DeepCopy());
    if (pick < 5) {
      const Ref a = self(self, depth - 1), b = self(self, depth - 1);
      return ListOf({&a, &b});
    }
    if (pick < 7) return U(unary[random() % unary.size()], self(self, depth - 1));
    const Ref a = self(self, depth - 1);
    return B(binary[random() % binary.size()], a, self(self, depth - 1));
  };
  for (int round = 0; round < 400; ++round) {
    const Ref tree = grow(grow, 5);
    const Ref copy = Ref(tree->DeepCopy());
    const Ref shallow = Hold(static_cast<Expression*>(copy->Copy()));
    const Ref simplified = Ref(SimplifyFully(copy->DeepCopy()));
    Expression::Release(simplified->EliminateObsoleteOperators());
    TestContext context(tree.get(), {&vars[0], &vars[1], &vars[2], &vars[3]});
    context.Evaluate();
    DseMessage message(60, DseMessage::kRequest);
    if (tree->WriteCompactToMessage(message) == 0) {
      const Ref back = Ref(Expression::ReadFromMessage(*testsupport::Received(message)));
      EXPECT_NE(back, nullptr) << Printed(tree.get()) << "\n"
                               << testsupport::HexDump(testsupport::BodyOf(message));
    }
    Printed(simplified.get(), &context);
  }
  for (const Ref& leaf : leaves) EXPECT_EQ(leaf->RefCount(), 1u);
}

}  // namespace

namespace {

// A variable reference that counts how often it is asked whether it is a
// term: the far end of a chain.
class CountedLeaf final : public VarRefExpression {
 public:
  explicit CountedLeaf(int* asked) : VarRefExpression(0, SUValue::kReal), asked_(asked) {}
  bool IsTerm() const override {
    ++*asked_;
    return false;
  }

 private:
  int* asked_;
};

// A chain of `depth` functions over `leaf`, built node by node as a read
// builds it (each simplified as it is made).
Ref Chain(const Ref& leaf, int depth) {
  Ref top = U(kSin, leaf);
  for (int level = 1; level < depth; ++level) top = U(level % 2 == 0 ? kSin : kCos, top);
  return top;
}

// Each node of a unary chain asks whether the chain below it is a term
// while it is made: the far end is reached a bounded number of times in
// all, not once per node.
TEST(Simplify, ADeepUnaryChainAsksItsFarEndOnce) {
  int asked = 0;
  const Ref leaf = Hold(new CountedLeaf(&asked));
  const Ref chain = Chain(leaf, 5000);
  EXPECT_LE(asked, 4);
  EXPECT_FALSE(chain->IsTerm());
  // Binary nodes over the chain do not walk it again either.
  asked = 0;
  Ref sum = B(kSub, Real(1.0), chain);
  for (int level = 0; level < 2000; ++level) sum = B(kSub, Real(1.0), U(kCos, sum));
  EXPECT_LE(asked, 4);
}

// What a node remembers goes when an operand below it is replaced.
TEST(Simplify, ReplacingAnOperandDeepInAChainChangesTheAnswerAtTheTop) {
  const Ref leaf = Var(0);
  const Ref held = U(kSin, leaf);
  Ref top = U(kCos, held);
  for (int level = 1; level < 50; ++level) top = U(kCos, top);
  EXPECT_FALSE(top->IsTerm());
  const Ref constant = Real(0.5);
  held->Operand(1, constant.get());
  EXPECT_TRUE(top->IsTerm());
  held->Operand(1, leaf.get());
  EXPECT_FALSE(top->IsTerm());
  // The answer also follows the switch of transcendental folding.
  held->Operand(1, constant.get());
  const bool was = TranscendentalFoldingSwitch;
  TranscendentalFoldingSwitch = !was;
  EXPECT_EQ(top->IsTerm(), !was);
  TranscendentalFoldingSwitch = was;
  EXPECT_EQ(top->IsTerm(), was);
}

}  // namespace
