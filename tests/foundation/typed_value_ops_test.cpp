#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
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
  const char* label;
  std::function<SUValue()> left;
  std::function<void(SUValue&)> apply;
  std::int16_t status;
  std::uint16_t type;
  const char* printed;
};

TEST(TypedValueArithmetic, KindRulesOfTheFourOperations) {
  const std::vector<ArithmeticCase> cases = {
      {"int + real keeps the int", [] { return Int(2); }, [](SUValue& v) { v.Add(Real(0.5)); },
       -2, SUValue::kInteger, "2"},
      {"real + int", [] { return Real(0.5); }, [](SUValue& v) { v.Add(Int(2)); }, 0,
       SUValue::kReal, "2.5"},
      {"notype + real starts from 0", [] { return SUValue(); },
       [](SUValue& v) { v.Subtract(Real(1.5)); }, 0, SUValue::kReal, "-1.5"},
      {"notype + int", [] { return SUValue(); }, [](SUValue& v) { v.AddInt(3); }, 0,
       SUValue::kInteger, "3"},
      {"int + logical", [] { return Int(2); }, [](SUValue& v) { v.Add(tv::Logical(true)); }, 0,
       SUValue::kInteger, "3"},
      {"real * int", [] { return Real(1.5); }, [](SUValue& v) { v.MultiplyBy(Int(3)); }, 0,
       SUValue::kReal, "4.5"},
      {"int * real", [] { return Int(3); }, [](SUValue& v) { v.MultiplyBy(Real(2.0)); }, -2,
       SUValue::kInteger, "3"},
      {"AddReal on int", [] { return Int(3); }, [](SUValue& v) { v.AddReal(1.0); }, -2,
       SUValue::kInteger, "3"},
      {"string - int", [] { return tv::Str("s"); }, [](SUValue& v) { v.SubtractInt(1); }, -2,
       SUValue::kString, "\"s\""},
      {"notype + string", [] { return SUValue(); }, [](SUValue& v) { v.AddString("s"); }, -2,
       SUValue::kNoType, "notype"},
      {"int + notype", [] { return Int(1); }, [](SUValue& v) { v.Add(SUValue()); }, -2,
       SUValue::kInteger, "1"},
      {"arrays take no arithmetic", [] { return tv::IntArray({1}); },
       [](SUValue& v) { v.AddInt(1); }, -2, 0x102, "<1>"},
      {"max + 1 wraps", [] { return Int(kMax); }, [](SUValue& v) { v.AddInt(1); }, 0,
       SUValue::kInteger, "-2147483648"},
      {"min - 1 wraps", [] { return Int(kMin); }, [](SUValue& v) { v.SubtractInt(1); }, 0,
       SUValue::kInteger, "2147483647"},
      {"product wraps", [] { return Int(65536); }, [](SUValue& v) { v.MultiplyByInt(65537); }, 0,
       SUValue::kInteger, "65536"},
      {"integer division truncates", [] { return Int(-7); }, [](SUValue& v) { v.DivideByInt(2); },
       0, SUValue::kInteger, "-3"},
      {"integer division by zero", [] { return Int(7); }, [](SUValue& v) { v.DivideBy(Int(0)); },
       -2, SUValue::kInteger, "7"},
      {"min / -1", [] { return Int(kMin); }, [](SUValue& v) { v.DivideByInt(-1); }, -2,
       SUValue::kInteger, "-2147483648"},
      {"notype / 0 stays notype", [] { return SUValue(); }, [](SUValue& v) { v.DivideByInt(0); },
       -2, SUValue::kNoType, "notype"},
      {"real / int zero", [] { return Real(1.0); }, [](SUValue& v) { v.DivideByInt(0); }, 0,
       SUValue::kReal, "inf"},
      {"real / real", [] { return Real(1.0); }, [](SUValue& v) { v.DivideBy(Real(4.0)); }, 0,
       SUValue::kReal, "0.25"},
  };
  for (const ArithmeticCase& c : cases) {
    SUValue v = c.left();
    c.apply(v);
    EXPECT_EQ(v.status, c.status) << c.label;
    EXPECT_EQ(v.type, c.type) << c.label;
    EXPECT_EQ(Shown(v), c.printed) << c.label;
  }
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
