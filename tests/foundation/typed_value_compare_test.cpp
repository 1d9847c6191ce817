#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "foundation/typed_value.h"
#include "tests/foundation/typed_value_builders.h"

namespace {

using tv::Int;
using tv::IntSet;
using tv::Real;
using tv::Str;
using tv::StrSet;

constexpr std::uint16_t kOrderedInts = SUValue::kOrderedIntSet;

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
    c.push_back({"int below real", Int(1), Real(2.5), "011100"});
    c.push_back({"spec with int", tv::Spec(4), Int(2), "010011"});
    c.push_back({"NaN with itself", Real(nan), Real(nan), "010000"});
    c.push_back({"NaN with int", Real(nan), Int(0), "010000"});
    c.push_back({"strings differing in case", Str("abc"), Str("ABC"), "100101"});
    c.push_back({"string order ignores case", Str("a"), Str("B"), "011100"});
    c.push_back({"name with string", tv::Name("x.Y"), Str("X.y"), "100101"});
    c.push_back({"true with TRUE", tv::Logical(true), Str("TRUE"), "100101"});
    c.push_back({"false with fAlSe", tv::Logical(false), Str("fAlSe"), "100101"});
    c.push_back({"text with true", Str("false"), tv::Logical(true), "011100"});
    c.push_back({"int with its one-element set", Int(3), IntSet({3}), "100101"});
    c.push_back({"int with a larger set", Int(3), IntSet({3, 4}), "011100"});
    c.push_back({"set holding a scalar", IntSet({3, 4}), Int(3), "010011"});
    c.push_back({"string set holding a text", StrSet({"a", "b"}), Str("B"), "010011"});
    c.push_back({"proper subset", IntSet({1, 2}), IntSet({1, 2, 3}), "011100"});
    c.push_back({"same set", IntSet({1, 2}), IntSet({1, 2}), "100101"});
    c.push_back({"disjoint", IntSet({1}), IntSet({2}), "010000"});
    c.push_back({"sorted [5] with ordered [3]", IntSet({5}), IntSet({3}, kOrderedInts),
                 "010000"});
    c.push_back({"sorted with ordered by membership", IntSet({1, 3}), IntSet({3, 1}, kOrderedInts),
                 "100101"});
    c.push_back({"ordered with sorted by position", IntSet({3, 1}, kOrderedInts), IntSet({1, 3}),
                 "010101"});
    c.push_back({"empty set with empty integer set", tv::EmptySet(), IntSet({}), "100101"});
    c.push_back({"empty set with a set", tv::EmptySet(), IntSet({1}), "011100"});
    c.push_back({"integer set with string set", IntSet({1}), StrSet({"1"}), "000000"});
    c.push_back({"real with set", Real(1.0), IntSet({1}), "000000"});
    c.push_back({"notype with notype", SUValue(), SUValue(), "000000"});
    c.push_back({"int with text", Int(1), Str("1"), "000000"});
    c.push_back({"equal arrays", tv::IntArray({1, 2}), tv::IntArray({1, 2}), "100101"});
    c.push_back({"arrays differing in one", tv::IntArray({1, 2}), tv::IntArray({1, 3}),
                 "010100"});
    c.push_back({"every element less", tv::IntArray({1, 2}), tv::IntArray({2, 3}), "011100"});
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
  EXPECT_FALSE(tv::Logical(true).EqualsText("false"));
  EXPECT_TRUE(tv::Logical(false).EqualsText("FALSE"));
  EXPECT_FALSE(tv::Logical(false).EqualsText("no"));
  EXPECT_TRUE(Str("Pump").EqualsText("PUMP"));
  EXPECT_TRUE(tv::Name("a.b").EqualsText("A.B"));
  EXPECT_TRUE(StrSet({"one"}).EqualsText("ONE"));
  EXPECT_FALSE(StrSet({"one", "two"}).EqualsText("one"));
  EXPECT_FALSE(Int(1).EqualsText("1"));
}

}  // namespace
