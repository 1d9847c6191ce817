#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/values/typed_value.h"
#include "tests/foundation/typed_value_builders.h"

namespace {

using tv::Int;
using tv::IntSet;
using tv::Name;
using tv::Printed;
using tv::Real;
using tv::Shown;
using tv::Str;
using tv::StrSet;

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::uint16_t kOrderedInts = SUValue::kOrderedIntSet;
constexpr std::uint16_t kOrderedStrings = SUValue::kOrderedStringSet;

struct OperationCase {
  SUValue left;
  char op;
  SUValue right;
  const char* expected;  // "status|payload of the left operand afterwards"
};

void ExpectOperations(const std::vector<OperationCase>& cases, bool with_type) {
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SUValue v(cases[i].left);
    tv::Apply(v, cases[i].op, cases[i].right);
    const std::string type = with_type ? std::to_string(v.type) + "|" : "";
    EXPECT_EQ(std::to_string(v.status) + "|" + type + Shown(v), cases[i].expected) << "case " << i;
  }
}

TEST(TypedValueArithmetic, KindRulesOfTheFourOperations) {
  std::vector<OperationCase> c;                     // "status|type|payload"
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
  ExpectOperations(c, true);
}

TEST(TypedValueNames, IndicesGoInsideOneParenthesisAndNamesJoinWithADot) {
  SUValue n = Name("a");
  n.AddInt(1);
  n.AddReal(1e20);
  n.AddString("key");
  n.Add(Int(-4));
  n.Add(tv::Str("x"));  // a string operand is a key
  EXPECT_EQ(Printed(n), "a(1,1e+20,\"key\",-4,\"x\")");

  SUValue empty = Name("");
  empty.AddInt(1);
  empty.AddReal(2.0);
  EXPECT_EQ(Printed(empty), "");
  empty.AddString("key");  // the key alone becomes the name
  EXPECT_EQ(Printed(empty), "key");

  SUValue joined = Name("");
  for (const char* part : {"b", "c", ""}) joined.Add(Name(part));
  EXPECT_EQ(Printed(joined), "b.c");
  joined.Add(joined);
  EXPECT_EQ(Printed(joined), "b.c.b.c");

  SUValue s = tv::Str("ab");
  s.Add(tv::Str("cd"));
  s.AddString(nullptr);
  s.Add(Name("e"));
  EXPECT_EQ(Printed(s), "\"abcde\"");
  s.MultiplyBy(tv::Str("x"));
  EXPECT_EQ(s.status, SUValue::kTypeClash);
  EXPECT_EQ(Shown(s), "\"abcde\"");
}

using Reduce = void (SUValue::*)(const SUValue&);

TEST(TypedValueReductions, FoldNumbersAndSetsOverNestedArraysInElementOrder) {
  const SUValue one = Int(1), two = Int(2), three = Int(3), half = Real(0.5), text = tv::Str("t");
  const SUValue four = tv::IntArray({4});
  const SUValue third = tv::ArrayOf({&three, &four});
  const SUValue first = tv::IntArray({1, 2});
  SUValue empty;
  empty.Resize(0);
  const SUValue nested = tv::ArrayOf({&first, &empty, &third});  // <<1,2>,<>,<3,<4>>>
  const SUValue a = IntSet({1, 2}), b = IntSet({2, 3}), c = IntSet({3, 4});
  const SUValue sets = tv::ArrayOf({&a, &b, &c});
  struct Case {
    Reduce reduce;
    SUValue array;
    SUValue start;
    const char* expected;  // "status|type|payload"
  };
  const Case cases[] = {
      {&SUValue::SumOf, nested, {}, "0|2|10"},
      {&SUValue::ProductOf, nested, {}, "0|2|24"},
      {&SUValue::MaxOf, nested, {}, "0|4|4"},
      {&SUValue::MinOf, nested, {}, "0|4|1"},
      {&SUValue::SumOf, tv::ArrayOf({&three, &half}), {}, "0|4|3.5"},
      {&SUValue::SumOf, first, Real(0.0), "0|2|3"},  // the elements decide the kind
      {&SUValue::SumOf, tv::IntArray({kMax, 1}), {}, "0|2|-2147483648"},
      {&SUValue::SumOf, tv::ArrayOf({&one, &text}), Int(5), "-2|2|5"},
      {&SUValue::SumOf, Int(5), {}, "0|2|5"},  // a scalar counts as one element
      {&SUValue::SumOf, empty, Int(5), "1|0|notype"},
      {&SUValue::MaxOf, empty, Int(5), "1|0|notype"},
      {&SUValue::UnionOf, empty, Int(5), "1|0|notype"},
      {&SUValue::UnionOf, sets, {}, "0|10|[1,2,3,4]"},
      {&SUValue::IntersectionOf, sets, {}, "0|10|[]"},
      {&SUValue::DifferenceOf, sets, {}, "0|10|[1]"},
      {&SUValue::SymmetricDifferenceOf, sets, {}, "0|10|[1,4]"},
      {&SUValue::UnionOf,
       tv::ArrayOf({&two, &a}),
       {},
       "-2|2|2"},  // a first scalar cannot join sets
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SUValue r(cases[i].start);
    (r.*cases[i].reduce)(cases[i].array);
    EXPECT_EQ(std::to_string(r.status) + "|" + std::to_string(r.type) + "|" + Shown(r),
              cases[i].expected)
        << "case " << i;
  }
}

// Integer sets against integer operands: see the reference model below.
TEST(TypedValueSetAlgebra, OperationsKeepOrderAndNoDuplicates) {
  std::vector<OperationCase> c;
  c.push_back({IntSet({5, 1}), '+', IntSet({4, 1, 9}, kOrderedInts), "0|[1,4,5,9]"});
  c.push_back({StrSet({"b", "A"}), '+', StrSet({"a", "C"}), "0|[\"A\",\"b\",\"C\"]"});
  c.push_back({StrSet({"b"}, kOrderedStrings), '+', tv::Str("A"), "0|[\"b\",\"A\"]"});
  c.push_back({IntSet({1}), '+', StrSet({"a"}), "-3|[1]"});
  c.push_back({StrSet({"a"}), '+', Int(1), "-3|[\"a\"]"});
  c.push_back({IntSet({1}), '+', Real(1.5), "-2|[1]"});
  c.push_back({Int(1), '+', IntSet({1}), "-2|1"});
  c.push_back({StrSet({"a", "B", "c"}), '-', StrSet({"b", "C"}), "0|[\"a\"]"});
  c.push_back({StrSet({"a"}), '-', IntSet({1}), "-3|[\"a\"]"});
  c.push_back({StrSet({"x", "Y"}), '*', tv::Str("y"), "0|[\"Y\"]"});
  c.push_back({StrSet({"a", "b"}), '/', StrSet({"B", "c"}), "0|[\"a\",\"c\"]"});
  c.push_back({IntSet({1}), '/', StrSet({"a"}), "-3|[1]"});
  c.push_back({tv::Str("s"), '/', StrSet({"a"}), "-2|\"s\""});
  ExpectOperations(c, false);
  SUValue s = IntSet({1, 2, 3});
  s.Subtract(s);  // its own right operand
  EXPECT_EQ(Printed(s), "[]");
  SUValue t = StrSet({"a", "b"});
  t.DivideBy(t);
  EXPECT_EQ(Printed(t), "[]");
}

// Random operations on a sorted and an ordered integer set against std::set
// and an insertion-ordered vector.
TEST(TypedValueSetAlgebra, MatchesReferenceModelOnRandomOperations) {
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<int> element(-20, 20);
  for (int round = 0; round < 100; ++round) {
    SUValue sorted = tv::EmptySet();
    SUValue ordered = tv::EmptySet(SUValue::kEmptyOrderedSet);
    std::set<std::int32_t> model;
    std::vector<std::int32_t> sequence;
    for (int step = 0; step < 40; ++step) {
      const int choice = static_cast<int>(rng() % 8);
      std::set<std::int32_t> operand;
      SUValue right;
      if (choice < 4) {
        right.SetInt(element(rng));
      } else {
        right.SetType(SUValue::kIntSet);
        for (int k = 0; k < 5; ++k) right.AddInt(element(rng));
      }
      for (std::int32_t i = 0; i < std::max(right.count, 1); ++i) operand.insert(right.GetIntAt(i));
      const char op = "+-*/"[choice % 4];
      tv::Apply(sorted, op, right);
      tv::Apply(ordered, op, right);
      for (std::int32_t v : operand) {
        const bool held = model.count(v) != 0;
        if (op == '+' || (op == '/' && !held)) {
          if (model.insert(v).second) sequence.push_back(v);
        } else if (op == '-' || (op == '/' && held)) {
          model.erase(v);
          std::erase(sequence, v);
        }
      }
      if (op == '*') {
        std::erase_if(model, [&](std::int32_t v) { return operand.count(v) == 0; });
        std::erase_if(sequence, [&](std::int32_t v) { return operand.count(v) == 0; });
      }
      ASSERT_EQ(sorted.status, SUValue::kValid);
      ASSERT_EQ(
          std::vector<std::int32_t>(sorted.IntElements(), sorted.IntElements() + sorted.count),
          std::vector<std::int32_t>(model.begin(), model.end()))
          << "round " << round << " step " << step;
      ASSERT_EQ(
          std::vector<std::int32_t>(ordered.IntElements(), ordered.IntElements() + ordered.count),
          sequence)
          << "round " << round << " step " << step;
      for (std::int32_t v : model) ASSERT_GT(sorted.FindInt(v), 0);
    }
  }
}

TEST(TypedValueSetConversion, OrderedIntoSortedSortsAndDropsDuplicates) {
  SUValue ordered;
  ordered.SetType(kOrderedInts);
  ordered.ResizeSet(4);  // as a reader fills it, duplicates included
  const std::int32_t raw[] = {3, 1, 3, 2};
  std::copy(raw, raw + 4, ordered.payload.ints);
  SUValue sorted;
  sorted.SetType(SUValue::kIntSet);
  sorted.Assign(ordered);
  EXPECT_EQ(Printed(sorted), "[1,2,3]");
  SUValue texts;
  texts.SetType(SUValue::kStringSet);
  texts.Assign(StrSet({"b", "C", "a", "B"}, kOrderedStrings));
  EXPECT_EQ(Printed(texts), "[\"a\",\"b\",\"C\"]");
}

TEST(TypedValueSetSearch, FindGivesPositionOrInsertionPointAndAccessIsBounded) {
  const SUValue sorted = IntSet({10, 20, 30});
  EXPECT_EQ(sorted.FindInt(20), 2);
  EXPECT_EQ(sorted.FindInt(25), -2);
  EXPECT_EQ(sorted.FindInt(40), -3);
  EXPECT_EQ(sorted.FindInt(10, 1), -1);
  EXPECT_EQ(IntSet({30, 10}, kOrderedInts).FindInt(20), -1);
  EXPECT_EQ(tv::Logical(true).FindInt(1), 1);
  const SUValue names = StrSet({"beta", "Alpha", "gamma"});
  EXPECT_EQ(names.FindString("ALPHA"), 1);
  EXPECT_EQ(names.FindString("Delta"), -2);
  EXPECT_EQ(StrSet({"b", "a"}, kOrderedStrings).FindString("A"), 2);
  EXPECT_EQ(Name("x.Y").FindString("X.y"), 1);
  EXPECT_STREQ(names.GetStringAt(1), "beta");
  EXPECT_EQ(names.GetStringAt(3), nullptr);
  EXPECT_EQ(sorted.GetIntAt(2), 30);
  EXPECT_EQ(sorted.GetIntAt(-1), 0);
  EXPECT_EQ(sorted.GetIntAt(3), 0);
}

TEST(TypedValueSetStorage, ResizesAndRangesStayBounded) {
  SUValue s = IntSet({1, 2, 3, 4, 5});
  s.ResizeSet(2);
  EXPECT_EQ(Printed(s), "[0,0]");
  SUValue strings = StrSet({"a"});
  strings.ResizeSet(3);
  EXPECT_EQ(Printed(strings), "[\"\",\"\",\"\"]");  // missing texts
  SUValue r;
  r.MakeIntRange(3, 1);
  EXPECT_EQ(Printed(r), "[]");
  r.MakeIntRange(kMax - 1, kMax);
  EXPECT_EQ(Printed(r), "[2147483646,2147483647]");
  r.MakeIntRange(kMin, kMax);
  EXPECT_EQ(r.status, SUValue::kTypeClash);
}

SUValue WithStatus(SUValue v, std::int16_t status) {
  v.status = status;
  return v;
}

TEST(TypedValuePrint, EveryKind) {
  SUValue two_dims;
  two_dims.SetType(0x200 | SUValue::kInteger);
  two_dims.SetElement(0, tv::IntArray({1, 2}));
  two_dims.SetElement(1, tv::IntArray({3}));
  SUValue empty_array;
  empty_array.Resize(0);
  SUValue with_unknown;
  with_unknown.Resize(2);
  with_unknown.SetElement(1, Int(1));
  std::vector<std::pair<SUValue, std::string>> c;
  c.emplace_back(WithStatus(Int(1), SUValue::kUnknown), "?");
  c.emplace_back(WithStatus(Int(1), SUValue::kUnreadable), "!");
  c.emplace_back(WithStatus(SUValue(), SUValue::kValid), "notype");
  c.emplace_back(SUValue::ConstructInt(2, SUValue::kLogical), "True");
  c.emplace_back(tv::Logical(false), "False");
  c.emplace_back(Real(1.0 / 3.0), "0.333333");
  c.emplace_back(Real(1e20), "1e+20");
  c.emplace_back(tv::Str("hi there"), "\"hi there\"");
  c.emplace_back(Name("unit.x(1)"), "unit.x(1)");
  c.emplace_back(tv::Spec(3), "");
  c.emplace_back(IntSet({2, 1}), "[1,2]");
  c.emplace_back(tv::IntArray({1, 2}), "<1,2>");
  c.emplace_back(SUValue(empty_array), "<>");
  c.emplace_back(SUValue(two_dims), "<<1,2>,<3>>");
  c.emplace_back(SUValue(with_unknown), "<?,1>");
  const char* specifications[] = {"Free", "Initial", "Fixed", "RateInitial", "Objective", "Vary"};
  for (int bit = 0; bit < 6; ++bit) c.emplace_back(tv::Spec(1 << bit), specifications[bit]);
  for (const auto& [value, text] : c) EXPECT_EQ(Printed(value), text);
  std::ostringstream out;
  PrintSUValue(out, nullptr);
  PrintSUValue(out, &c[10].first);
  EXPECT_EQ(out.str(), "![1,2]");
}

// The six comparisons of left with right as a string of 0 and 1 in the
// order equal, not-equal, less, less-equal, greater, greater-equal.
std::string Relations(const SUValue& left, const SUValue& right) {
  std::string bits;
  for (bool b : {left.IsEqual(right), left.IsNotEqual(right), left.IsLess(right),
                 left.IsLessEqual(right), left.IsGreater(right), left.IsGreaterEqual(right)}) {
    bits += b ? '1' : '0';
  }
  return bits;
}

struct CompareCase {
  const char* label;
  SUValue left;
  SUValue right;
  const char* relations;
};

TEST(TypedValueCompare, RelationsAcrossKinds) {
  const double nan = std::nan("");
  const std::vector<CompareCase> cases = [&] {
    std::vector<CompareCase> c;
    c.push_back({"int with equal real", Int(1), Real(1.0), "100101"});
    c.push_back({"spec with int", tv::Spec(4), Int(2), "010011"});
    c.push_back({"NaN with itself", Real(nan), Real(nan), "010000"});
    c.push_back({"strings differing in case", Str("abc"), Str("ABC"), "100101"});
    c.push_back({"string order ignores case", Str("a"), Str("B"), "011100"});
    c.push_back({"name with string", tv::Name("x.Y"), Str("X.y"), "100101"});
    c.push_back({"true with TRUE", tv::Logical(true), Str("TRUE"), "100101"});
    c.push_back({"text with true", Str("false"), tv::Logical(true), "011100"});
    c.push_back({"int with its one-element set", Int(3), IntSet({3}), "100000"});
    c.push_back({"one-element set with its int", IntSet({3}, kOrderedInts), Int(3), "100001"});
    c.push_back({"int with a larger set", Int(3), IntSet({3, 4}), "010000"});
    c.push_back({"set holding a scalar", IntSet({3, 4}), Int(3), "010001"});
    c.push_back({"string set holding a text", StrSet({"a", "b"}), Str("B"), "000001"});
    c.push_back({"text with its one-element set", Str("a"), StrSet({"A"}), "000000"});
    c.push_back({"proper subset", IntSet({1, 2}), IntSet({1, 2, 3}), "011100"});
    c.push_back({"same set", IntSet({1, 2}), IntSet({1, 2}), "100101"});
    c.push_back({"sorted [5] with ordered [3]", IntSet({5}), IntSet({3}, kOrderedInts), "010000"});
    c.push_back({"sorted with ordered by membership", IntSet({1, 3}), IntSet({3, 1}, kOrderedInts),
                 "100101"});
    c.push_back({"ordered with sorted by position", IntSet({3, 1}, kOrderedInts), IntSet({1, 3}),
                 "010101"});
    c.push_back({"empty set with empty integer set", tv::EmptySet(), IntSet({}), "100101"});
    c.push_back({"empty set with a set", tv::EmptySet(), IntSet({1}), "011100"});
    c.push_back({"integer set with string set", IntSet({1}), StrSet({"1"}), "000000"});
    c.push_back({"notype with notype", SUValue(), SUValue(), "000000"});
    c.push_back({"equal arrays", tv::IntArray({1, 2}), tv::IntArray({1, 2}), "100101"});
    c.push_back({"arrays differing in one", tv::IntArray({1, 2}), tv::IntArray({1, 3}), "010100"});
    c.push_back({"arrays of other counts", tv::IntArray({1}), tv::IntArray({1, 2}), "010000"});
    c.push_back({"array with scalar", tv::IntArray({1}), Int(1), "000000"});
    return c;
  }();
  for (const CompareCase& c : cases) {
    EXPECT_EQ(Relations(c.left, c.right), c.relations) << c.label;
  }
}

TEST(TypedValueCompare, CompareCIFoldsAsciiOnly) {
  EXPECT_EQ(SUValue::CompareCI("Alpha", "aLPHA"), 0);
  EXPECT_LT(SUValue::CompareCI("a", "B"), 0);
  EXPECT_EQ(SUValue::CompareCI("ab", "a"), 'b');
  EXPECT_EQ(SUValue::CompareCI(nullptr, ""), 0);
  EXPECT_NE(SUValue::CompareCI("\xC3\x89", "\xC3\xA9"), 0);  // É and é stay apart
  BuildLowerCaseTable();
  EXPECT_EQ(SUValue::CompareCI("[Z]", "[z]"), 0);
  EXPECT_NE(SUValue::CompareCI("@", "`"), 0);
}

TEST(TypedValueCompare, EqualsText) {
  EXPECT_TRUE(tv::Logical(true).EqualsText("True"));
  EXPECT_TRUE(Str("Pump").EqualsText("PUMP"));
  EXPECT_TRUE(tv::Name("a.b").EqualsText("A.B"));
  EXPECT_TRUE(StrSet({"one"}).EqualsText("ONE"));
  EXPECT_FALSE(StrSet({"one", "two"}).EqualsText("one"));
  EXPECT_FALSE(Int(1).EqualsText("1"));
}

}  // namespace
