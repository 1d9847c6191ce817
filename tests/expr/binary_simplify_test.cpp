// The binary rewrites: each rule of the mask on its own pattern, each bit
// switched off, value preservation on random trees and a bounded number of
// steps.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>

#include "expr/eval/value_ops.h"
#include "foundation/messages/math_error.h"
#include "tests/expr/expr_builders.h"

using namespace exprtest;

namespace {

// Restores the process-wide mask when a case is done.
struct MaskGuard {
  explicit MaskGuard(std::uint32_t mask) : saved(SimplifyMask) { SimplifyMask = mask; }
  ~MaskGuard() { SimplifyMask = saved; }
  std::uint32_t saved;
};

Ref A() { return Var(0); }
Ref Bv() { return Var(1); }
Ref C() { return Var(2); }
Ref D() { return Var(3); }
Ref I() { return Var(4, SUValue::kInteger); }
Ref L() { return Var(5, SUValue::kLogical); }

TEST(BinarySimplify, RulesGiveTheirRewrites) {
  struct Case {
    std::function<Ref()> build;
    const char* text;
  };
  const Case cases[] = {
      {[] { return B(kAdd, Real(1), B(kAdd, Real(2), A())); }, "3+V1"},
      {[] { return B(kAdd, Real(0), A()); }, "V1"},
      {[] { return B(kMul, A(), Real(1)); }, "V1"},
      {[] { return B(kSub, A(), Real(0)); }, "V1"},
      {[] { return B(kDiv, A(), Real(1)); }, "V1"},
      {[] { return B(kPow, A(), Real(1)); }, "V1"},
      {[] { return B(kPow, A(), Real(2)); }, "SQR(V1)"},
      {[] { return B(kDiv, A(), Real(0)); }, "V1/0"},
      {[] { return B(kDiv, A(), Real(4)); }, "0.25*V1"},
      {[] { return B(kDiv, I(), Int(4), SUValue::kInteger); },
       "V5/4"},  // integer division keeps its divisor
      {[] { return B(kSub, A(), Real(3)); }, "-3+V1"},
      {[] { return B(kSub, Real(0), A()); }, "-V1"},
      {[] { return B(kSub, A(), B(kSub, Bv(), C())); }, "V1+(V3-V2)"},
      {[] { return B(kDiv, A(), B(kDiv, Bv(), C())); }, "V1*(V3/V2)"},
      {[] { return B(kAdd, Real(2), B(kSub, A(), Bv())); }, "(2+V1)-V2"},
      {[] { return B(kAnd, U(kNot, L()), U(kNot, Var(6, SUValue::kLogical))); }, "NOT(V6 OR V7)"},
      {[] { return B(kMul, U(kAbs, A()), U(kAbs, Bv())); }, "ABS(V1*V2)"},
      {[] { return B(kSub, A(), U(kMinus, Bv())); }, "V1+V2"},
      {[] { return B(kAdd, U(kMinus, A()), Bv()); }, "V2-V1"},
      {[] { return B(kMul, U(kMinus, A()), U(kMinus, Bv())); }, "V1*V2"},
      {[] { return B(kAdd, B(kAdd, B(kAdd, A(), Bv()), C()), D()); }, "(V1+V2)+(V3+V4)"},
      {[] { return B(kEq, B(kEq, Int(1), I()), L()); },
       "(1==V5)==V6"},  // comparisons keep their grouping
  };
  for (const Case& c : cases) EXPECT_EQ(Printed(c.build().get()), c.text);

  struct Shared {
    std::function<Ref()> build;
    Expression* expected;
  };
  const SharedConstants& k = Constants();
  const Shared shared[] = {
      {[] { return B(kMul, Real(0), A()); }, k.real0},
      {[] { return B(kMul, Int(0), I()); }, k.int0},
      {[] { return B(kOr, Logical(true), L()); }, k.logical_true},
      {[] { return B(kPow, Real(1), A()); }, k.real1},
      {[] { return B(kPow, A(), Real(0)); }, k.real1},
  };
  for (const Shared& c : shared) EXPECT_EQ(c.build().get(), c.expected) << Printed(c.build().get());
}

Ref Named(const char* text) { return U(kDeRef, Text(text, SUValue::kName), SUValue::kIntSet); }

TEST(BinarySimplify, NamedSetsAndNameBuildingRows) {
  // A set intersected with itself is the set, by exact name only.
  const Ref same = B(kIntSect, Named("S"), Named("S"), SUValue::kIntSet);
  EXPECT_EQ(same->Op(), kDeRef) << Printed(same.get());
  EXPECT_EQ(B(kIntSect, Named("S"), Named("s"), SUValue::kIntSet)->Op(), kIntSect);
  {
    MaskGuard guard(0xFFFEFFFFu & ~0x4000u);
    EXPECT_EQ(B(kIntSect, Named("S"), Named("S"), SUValue::kIntSet)->Op(), kIntSect);
  }
  // Name-building rows over constants fold only with their own bit.
  const Ref vec = B(kVec, Text("a", SUValue::kName), Int(1), SUValue::kName);
  EXPECT_EQ(vec->Op(), kVec) << Printed(vec.get());
  MaskGuard all(0xFFFFFFFFu);
  const Ref folded = B(kVec, Text("a", SUValue::kName), Int(1), SUValue::kName);
  EXPECT_EQ(folded->ClassId(), exprclass::kTerminal) << Printed(folded.get());
}

// Regrouping takes apart only nodes of the node's own operator, type and
// flags: a sum of another type or flags, and a long sum the reader
// balanced, are terms of the sum above them and keep their own nodes.
TEST(BinarySimplify, RegroupingKeepsToOneChain) {
  const std::uint16_t other = 0x5B;
  auto inner = [&](std::uint16_t type, std::uint16_t flags) {
    Ref sum = B(kAdd, B(kAdd, A(), Bv(), type), C(), type);
    sum->SetFlags(flags);
    return sum;
  };
  // ((V1+V2)+V3)+V4 regroups as one chain...
  EXPECT_EQ(Printed(B(kAdd, inner(SUValue::kReal, 0), D(), SUValue::kReal).get()),
            "(V1+V2)+(V3+V4)");
  // ...but not across a sum of another type or other flags.
  for (const auto& [type, flags] :
       {std::pair<std::uint16_t, std::uint16_t>{other, 0}, {SUValue::kReal, 0x0010}}) {
    const Ref term = inner(type, flags);
    const Ref sum = B(kAdd, term, D(), SUValue::kReal);
    EXPECT_EQ(sum->Operand(1), term.get()) << Printed(sum.get());
  }
  // Constants are not moved out of a sum of another type either.
  const Ref typed = B(kAdd, Real(1), A(), other);
  EXPECT_EQ(B(kAdd, typed, Bv(), SUValue::kReal)->Operand(1), typed.get());
  // Nor into a balanced sum, which the simplifier leaves as it is.
  const Ref balanced = Hold(new BinaryExpression(kAdd, B(kAdd, A(), Bv()).get(),
                                                 B(kAdd, C(), D()).get(), SUValue::kReal));
  balanced->MarkBalancedChain();
  Expression* again = nullptr;
  EXPECT_EQ(balanced->Simplify(&again), 0);
  EXPECT_EQ(B(kAdd, balanced, Var(7), SUValue::kReal)->Operand(1), balanced.get());
}

TEST(BinarySimplify, EachBitOffLeavesItsPattern) {
  struct Case {
    std::uint32_t bit;
    std::function<Ref()> build;
    const char* text;
  };
  const Case cases[] = {
      {0x0002, [] { return B(kAdd, A(), Real(1)); }, "V1+1"},
      {0x0008, [] { return B(kAdd, Real(0), A()); }, "0+V1"},
      {0x0010, [] { return B(kPow, A(), Real(1)); }, "V1^1"},
      {0x0100, [] { return B(kSub, A(), B(kSub, Bv(), C())); }, "V1-(V2-V3)"},
      {0x0400, [] { return B(kPow, A(), Real(2)); }, "V1^2"},
      {0x0800, [] { return B(kDiv, A(), Real(4)); }, "V1/4"},
      {0x0004, [] { return B(kAdd, Real(1), B(kAdd, Real(2), A())); }, "1+(2+V1)"},
      {0x0020, [] { return B(kMul, Real(0), A()); }, "0*V1"},
      {0x0040, [] { return B(kPow, Real(1), A()); }, "1^V1"},
      {0x1000, [] { return B(kAdd, Real(2), B(kSub, A(), Bv())); }, "2+(V1-V2)"},
      {0x2000, [] { return B(kSub, A(), U(kMinus, Bv())); }, "V1-(-V2)"},
      {0x8000, [] { return B(kAdd, B(kAdd, B(kAdd, A(), Bv()), C()), D()); }, "((V1+V2)+V3)+V4"},
  };
  for (const Case& c : cases) {
    MaskGuard guard(0xFFFEFFFFu & ~c.bit);
    EXPECT_EQ(Printed(c.build().get()), c.text) << std::hex << c.bit;
  }
  // Without folding two constants of a commutative row are not swapped forever.
  MaskGuard guard(0xFFFEFFFFu & ~0x0001u);
  EXPECT_EQ(Printed(B(kAdd, Real(2), Real(3)).get()), "2+3");
}

// Random real trees over four variables, built once without any rule.
Ref RandomTree(std::mt19937& rng, int depth) {
  auto pick = [&](std::uint32_t n) {
    return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(rng);
  };
  if (depth == 0 || pick(5) == 0) {
    static const double kConstants[] = {0, 1, 2, 4, -1, 0.5};
    return pick(3) == 0 ? Real(kConstants[pick(6)]) : Var(pick(4));
  }
  static const std::uint16_t kBinary[] = {kAdd, kSub, kMul, kDiv, kPow, kMax, kMin};
  static const std::uint16_t kUnary[] = {kMinus, kAbs, kSqr, kSin};
  if (pick(4) == 0) return U(kUnary[pick(4)], RandomTree(rng, depth - 1));
  return B(kBinary[pick(7)], RandomTree(rng, depth - 1), RandomTree(rng, depth - 1));
}

TEST(BinarySimplify, RewritesKeepValuesAndEnd) {
  InstallMathErrorHook();
  std::mt19937 shapes(11);
  std::mt19937 points(5);
  TestVariable v[4] = {{"a", 0}, {"b", 0}, {"c", 0}, {"d", 0}};
  int compared = 0;
  for (int n = 0; n < 2000; ++n) {
    const std::uint32_t seed = static_cast<std::uint32_t>(shapes());
    std::mt19937 r1(seed);
    std::mt19937 r2(seed);
    Ref plain;
    {
      MaskGuard off(0);
      plain = RandomTree(r1, 5);
    }
    const Ref simplified = RandomTree(r2, 5);
    // The step loop on the unsimplified root ends well within bounds.
    Expression* root = plain->DeepCopy();
    int steps = 0;
    for (Expression* next = nullptr; steps < 1000 && root->Simplify(&next) != 0; ++steps) {
      if (next != nullptr) {
        root->Release();
        root = next;
        next = nullptr;
      }
    }
    EXPECT_LT(steps, 1000) << Printed(plain.get());
    root->Release();
    for (auto& x : v)
      x.ValuePointer()->SetReal(std::uniform_real_distribution<double>(-2, 2)(points));
    TestContext c1(plain.get(), {&v[0], &v[1], &v[2], &v[3]});
    TestContext c2(simplified.get(), {&v[0], &v[1], &v[2], &v[3]});
    const Outcome o1 = Eval(plain.get(), &c1);
    const Outcome o2 = Eval(simplified.get(), &c2);
    MathErrorStatus.Reset();
    if (status::IsFailure(o1.status) || status::IsFailure(o2.status)) continue;
    const double x1 = exprvalue::AsReal(o1.value);
    const double x2 = exprvalue::AsReal(o2.value);
    if (!std::isfinite(x1) || std::fabs(x1) > 1e12) continue;
    EXPECT_NEAR(x1, x2, 1e-9 * std::max(1.0, std::fabs(x1)))
        << Printed(plain.get()) << " => " << Printed(simplified.get());
    ++compared;
  }
  EXPECT_GT(compared, 1000);
}

}  // namespace
