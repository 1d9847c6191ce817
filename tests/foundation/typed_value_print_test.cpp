#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "foundation/typed_value.h"
#include "tests/foundation/typed_value_builders.h"

namespace {

using tv::Printed;

SUValue WithStatus(SUValue v, std::int16_t status) {
  v.status = status;
  return v;
}

TEST(TypedValuePrint, EveryKind) {
  SUValue two_dims;
  two_dims.SetType(0x200 | SUValue::kInteger);
  const SUValue row = tv::IntArray({1, 2});
  const SUValue short_row = tv::IntArray({3});
  two_dims.SetElement(0, row);
  two_dims.SetElement(1, short_row);
  two_dims.status = SUValue::kValid;
  SUValue empty_array;
  empty_array.Resize(0);
  SUValue with_unknown;
  with_unknown.Resize(2);
  with_unknown.SetElement(1, tv::Int(1));
  SUValue missing_text = tv::StrSet({"a"});
  missing_text.ResizeSet(2);

  const std::vector<std::pair<SUValue, std::string>> cases = [&] {
    std::vector<std::pair<SUValue, std::string>> c;
    c.emplace_back(WithStatus(tv::Int(1), SUValue::kUnknown), "?");
    c.emplace_back(WithStatus(tv::Int(1), SUValue::kUnreadable), "!");
    c.emplace_back(WithStatus(tv::Int(1), SUValue::kTypeClash), "!");
    c.emplace_back(WithStatus(tv::Int(1), -4), "!");
    c.emplace_back(WithStatus(SUValue(), SUValue::kValid), "notype");
    c.emplace_back(tv::Int(-12), "-12");
    c.emplace_back(tv::Logical(true), "True");
    c.emplace_back(SUValue::ConstructInt(2, SUValue::kLogical), "True");
    c.emplace_back(tv::Logical(false), "False");
    c.emplace_back(tv::Real(2.5), "2.5");
    c.emplace_back(tv::Real(1.0 / 3.0), "0.333333");
    c.emplace_back(tv::Real(1e20), "1e+20");
    c.emplace_back(tv::Str("hi there"), "\"hi there\"");
    c.emplace_back(tv::Str(""), "\"\"");
    c.emplace_back(tv::Name("unit.x(1)"), "unit.x(1)");
    c.emplace_back(tv::Spec(SUValue::kFree), "Free");
    c.emplace_back(tv::Spec(SUValue::kInitial), "Initial");
    c.emplace_back(tv::Spec(SUValue::kFixed), "Fixed");
    c.emplace_back(tv::Spec(SUValue::kRateInitial), "RateInitial");
    c.emplace_back(tv::Spec(SUValue::kObjective), "Objective");
    c.emplace_back(tv::Spec(SUValue::kVary), "Vary");
    c.emplace_back(tv::Spec(3), "");
    c.emplace_back(tv::EmptySet(), "[]");
    c.emplace_back(tv::EmptySet(SUValue::kEmptyOrderedSet), "[]");
    c.emplace_back(tv::IntSet({2, 1}), "[1,2]");
    c.emplace_back(tv::IntSet({-1}, SUValue::kOrderedIntSet), "[-1]");
    c.emplace_back(tv::IntSet({}), "[]");
    c.emplace_back(tv::StrSet({"b", "a"}), "[\"a\",\"b\"]");
    c.emplace_back(SUValue(missing_text), "[\"\",\"\"]");
    c.emplace_back(tv::IntArray({1, 2}), "<1,2>");
    c.emplace_back(SUValue(empty_array), "<>");
    c.emplace_back(SUValue(two_dims), "<<1,2>,<3>>");
    c.emplace_back(SUValue(with_unknown), "<?,1>");
    return c;
  }();
  for (const auto& [value, text] : cases) EXPECT_EQ(Printed(value), text);
}

TEST(TypedValuePrint, MissingValuePrintsBang) {
  std::ostringstream out;
  PrintSUValue(out, nullptr);
  const SUValue v = tv::IntSet({3});
  PrintSUValue(out, &v);
  EXPECT_EQ(out.str(), "![3]");
}

}  // namespace
