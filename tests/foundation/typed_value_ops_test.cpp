#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "foundation/typed_value.h"
#include "tests/foundation/typed_value_builders.h"

namespace {

using tv::Int;
using tv::Name;
using tv::Printed;
using tv::Real;
using tv::Shown;

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

struct ArithmeticCase {
  SUValue left;
  char op;
  SUValue right;
  const char* expected;  // "status|type|payload as printed"
};

TEST(TypedValueArithmetic, KindRulesOfTheFourOperations) {
  const std::vector<ArithmeticCase> cases = [] {
    std::vector<ArithmeticCase> c;
    c.push_back({Int(2), '+', Real(0.5), "-2|2|2"});  // int + real keeps the int
    c.push_back({Real(0.5), '+', Int(2), "0|4|2.5"});
    c.push_back({SUValue(), '-', Real(1.5), "0|4|-1.5"});  // notype starts from 0
    c.push_back({SUValue(), '+', Int(3), "0|2|3"});
    c.push_back({Int(2), '+', tv::Logical(true), "0|2|3"});
    c.push_back({Real(1.5), '*', Int(3), "0|4|4.5"});
    c.push_back({Int(3), '*', Real(2.0), "-2|2|3"});
    c.push_back({tv::Str("s"), '-', Int(1), "-2|5|\"s\""});
    c.push_back({SUValue(), '+', tv::Str("s"), "-2|0|notype"});
    c.push_back({Int(1), '+', SUValue(), "-2|2|1"});
    c.push_back({tv::IntArray({1}), '+', Int(1), "-2|258|<1>"});
    c.push_back({Int(kMax), '+', Int(1), "0|2|-2147483648"});
    c.push_back({Int(kMin), '-', Int(1), "0|2|2147483647"});
    c.push_back({Int(65536), '*', Int(65537), "0|2|65536"});
    c.push_back({Int(-7), '/', Int(2), "0|2|-3"});
    c.push_back({Int(7), '/', Int(0), "-2|2|7"});
    c.push_back({Int(kMin), '/', Int(-1), "-2|2|-2147483648"});
    c.push_back({SUValue(), '/', Int(0), "-2|0|notype"});
    c.push_back({Real(1.0), '/', Int(0), "0|4|inf"});
    c.push_back({Real(1.0), '/', Real(4.0), "0|4|0.25"});
    return c;
  }();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SUValue v(cases[i].left);
    tv::Apply(v, cases[i].op, cases[i].right);
    EXPECT_EQ(std::to_string(v.status) + "|" + std::to_string(v.type) + "|" + Shown(v),
              cases[i].expected)
        << "case " << i;
  }
  SUValue v = Int(3);
  v.AddReal(1.0);
  EXPECT_EQ(v.status, SUValue::kTypeClash);
  SUValue w = Int(kMin);
  w.DivideByInt(-1);
  EXPECT_EQ(w.status, SUValue::kTypeClash);
}

TEST(TypedValueNames, IndicesGoInsideOneParenthesis) {
  SUValue n = Name("a");
  n.AddInt(1);
  EXPECT_EQ(Printed(n), "a(1)");
  n.AddInt(2);
  EXPECT_EQ(Printed(n), "a(1,2)");
  n.AddString("key");
  EXPECT_EQ(Printed(n), "a(1,2,\"key\")");

  SUValue r = Name("b");
  r.AddReal(2.5);
  r.AddReal(1e20);
  EXPECT_EQ(Printed(r), "b(2.5,1e+20)");

  SUValue k = Name("c");
  k.Add(tv::Str("x"));  // a string operand is a key
  EXPECT_EQ(Printed(k), "c(\"x\")");
  k.Add(Int(-4));
  EXPECT_EQ(Printed(k), "c(\"x\",-4)");
}

TEST(TypedValueNames, EmptyNames) {
  SUValue n = Name("");
  n.AddInt(1);
  n.AddReal(2.0);
  EXPECT_EQ(Printed(n), "");
  n.AddString("key");  // the key alone becomes the name
  EXPECT_EQ(Printed(n), "key");

  SUValue joined = Name("");
  joined.Add(Name("b"));
  EXPECT_EQ(Printed(joined), "b");
  joined.Add(Name("c"));
  EXPECT_EQ(Printed(joined), "b.c");
  joined.Add(Name(""));
  EXPECT_EQ(Printed(joined), "b.c");
  joined.Add(joined);
  EXPECT_EQ(Printed(joined), "b.c.b.c");
}

TEST(TypedValueNames, StringsConcatenate) {
  SUValue s = tv::Str("ab");
  s.Add(tv::Str("cd"));
  s.AddString(nullptr);
  s.Add(Name("e"));
  EXPECT_EQ(Printed(s), "\"abcde\"");
  s.MultiplyBy(tv::Str("x"));
  EXPECT_EQ(s.status, SUValue::kTypeClash);
  EXPECT_EQ(Shown(s), "\"abcde\"");
}

SUValue Nested() {
  // <<1,2>,<>,<3,<4>>> as a one-dimensional array of mixed elements
  const SUValue four = tv::IntArray({4});
  const SUValue three = Int(3);
  const SUValue third = tv::ArrayOf({&three, &four});
  const SUValue first = tv::IntArray({1, 2});
  SUValue empty;
  empty.Resize(0);
  return tv::ArrayOf({&first, &empty, &third});
}

TEST(TypedValueReductions, NumbersOverNestedArrays) {
  const SUValue nested = Nested();
  ASSERT_EQ(Printed(nested), "<<1,2>,<>,<3,<4>>>");
  SUValue r;
  r.SumOf(nested);
  EXPECT_EQ(r.type, SUValue::kInteger);
  EXPECT_EQ(Printed(r), "10");
  r.ProductOf(nested);
  EXPECT_EQ(Printed(r), "24");
  r.MaxOf(nested);
  EXPECT_EQ(r.type, SUValue::kReal);
  EXPECT_EQ(Printed(r), "4");
  r.MinOf(nested);
  EXPECT_EQ(Printed(r), "1");

  const SUValue half = Real(0.5);
  const SUValue two = Int(2);
  const SUValue mixed = tv::ArrayOf({&two, &half});
  SUValue sum;
  sum.SumOf(mixed);
  EXPECT_EQ(sum.type, SUValue::kReal);
  EXPECT_EQ(Printed(sum), "2.5");
  SUValue real_result = Real(0.0);
  real_result.SumOf(tv::IntArray({1, 2}));
  EXPECT_EQ(real_result.type, SUValue::kReal);  // a real result stays real

  SUValue wrapped;
  wrapped.SumOf(tv::IntArray({kMax, 1}));
  EXPECT_EQ(Printed(wrapped), "-2147483648");
}

TEST(TypedValueReductions, EmptyArraysAndNonNumbers) {
  SUValue empty;
  empty.Resize(0);
  for (auto reduce : {&SUValue::SumOf, &SUValue::MaxOf, &SUValue::UnionOf}) {
    SUValue r = Int(5);
    (r.*reduce)(empty);
    EXPECT_EQ(r.type, SUValue::kNoType);
    EXPECT_EQ(r.status, SUValue::kUnknown);
  }
  const SUValue text = tv::Str("t");
  const SUValue one = Int(1);
  SUValue r = Int(5);
  r.SumOf(tv::ArrayOf({&one, &text}));
  EXPECT_EQ(r.status, SUValue::kTypeClash);
  EXPECT_EQ(Shown(r), "5");
  r.SumOf(r);  // a scalar counts as one element
  EXPECT_EQ(Printed(r), "5");
}

TEST(TypedValueReductions, SetAlgebraInElementOrder) {
  const SUValue a = tv::IntSet({1, 2});
  const SUValue b = tv::IntSet({2, 3});
  const SUValue c = tv::IntSet({3, 4});
  SUValue sets;
  sets.SetType(SUValue::kOneDimension | SUValue::kIntSet);
  sets.SetElement(0, a);
  sets.SetElement(1, b);
  sets.SetElement(2, c);
  SUValue r;
  r.UnionOf(sets);
  EXPECT_EQ(Printed(r), "[1,2,3,4]");
  r.IntersectionOf(sets);
  EXPECT_EQ(Printed(r), "[]");
  r.DifferenceOf(sets);
  EXPECT_EQ(Printed(r), "[1]");
  r.SymmetricDifferenceOf(sets);
  EXPECT_EQ(Printed(r), "[1,4]");
  // The first element may be a scalar that later sets combine with.
  const SUValue two = Int(2);
  SUValue scalar_first;
  scalar_first.UnionOf(tv::ArrayOf({&two, &a}));
  EXPECT_EQ(scalar_first.status, SUValue::kTypeClash);
}

}  // namespace
