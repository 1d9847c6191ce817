#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "foundation/typed_value.h"
#include "tests/foundation/typed_value_builders.h"

namespace {

using tv::IntSet;
using tv::Printed;
using tv::StrSet;

constexpr std::uint16_t kOrderedInts = SUValue::kOrderedIntSet;
constexpr std::uint16_t kOrderedStrings = SUValue::kOrderedStringSet;

struct AlgebraCase {
  SUValue left;
  char op;
  SUValue right;
  std::int16_t status;
  const char* printed;  // of the left operand afterwards, whatever its status
};

TEST(TypedValueSetAlgebra, OperationsKeepOrderAndNoDuplicates) {
  const std::vector<AlgebraCase> cases = [] {
    std::vector<AlgebraCase> c;
    c.push_back({IntSet({1, 3}), '+', tv::Int(2), 0, "[1,2,3]"});
    c.push_back({IntSet({1, 3}), '+', tv::Int(3), 0, "[1,3]"});
    c.push_back({IntSet({5, 1}), '+', IntSet({4, 1, 9}, kOrderedInts), 0, "[1,4,5,9]"});
    c.push_back({IntSet({5, 1}, kOrderedInts), '+', IntSet({4, 1, 9}), 0, "[5,1,4,9]"});
    c.push_back({StrSet({"b", "A"}), '+', StrSet({"a", "C"}), 0, "[\"A\",\"b\",\"C\"]"});
    c.push_back({StrSet({"b"}, kOrderedStrings), '+', tv::Str("A"), 0, "[\"b\",\"A\"]"});
    c.push_back({tv::EmptySet(), '+', IntSet({2, 1}), 0, "[1,2]"});
    c.push_back({tv::EmptySet(SUValue::kEmptyOrderedSet), '+', IntSet({2, 1}), 0,
                 "[1,2]"});
    c.push_back({IntSet({1}), '+', StrSet({"a"}), -3, "[1]"});
    c.push_back({StrSet({"a"}), '+', tv::Int(1), -3, "[\"a\"]"});
    c.push_back({IntSet({1}), '+', tv::Real(1.5), -2, "[1]"});
    c.push_back({tv::Int(1), '+', IntSet({1}), -2, "1"});

    c.push_back({IntSet({1, 2, 3}), '-', IntSet({2, 7}), 0, "[1,3]"});
    c.push_back({IntSet({3, 1, 2}, kOrderedInts), '-', tv::Int(1), 0, "[3,2]"});
    c.push_back({StrSet({"a", "B", "c"}), '-', StrSet({"b", "C"}), 0, "[\"a\"]"});
    c.push_back({tv::EmptySet(), '-', IntSet({1}), 0, "[]"});
    c.push_back({StrSet({"a"}), '-', IntSet({1}), -3, "[\"a\"]"});

    c.push_back({IntSet({1, 2, 3}), '*', IntSet({3, 2, 9}, kOrderedInts), 0,
                 "[2,3]"});
    c.push_back({IntSet({3, 1, 2}, kOrderedInts), '*', IntSet({1, 3}), 0, "[3,1]"});
    c.push_back({IntSet({1, 2, 3}), '*', tv::Int(2), 0, "[2]"});
    c.push_back({IntSet({1, 3}), '*', tv::Int(2), 0, "[]"});
    c.push_back({StrSet({"x", "Y"}), '*', tv::Str("y"), 0, "[\"Y\"]"});
    c.push_back({IntSet({1, 2}), '*', tv::EmptySet(), 0, "[]"});

    c.push_back({IntSet({1, 2}), '/', IntSet({2, 3}), 0, "[1,3]"});
    c.push_back({IntSet({2, 1}, kOrderedInts), '/', IntSet({2, 3}), 0, "[1,3]"});
    c.push_back({StrSet({"a", "b"}), '/', StrSet({"B", "c"}), 0, "[\"a\",\"c\"]"});
    c.push_back({IntSet({1}), '/', tv::Int(1), 0, "[]"});
    c.push_back({tv::EmptySet(), '/', tv::Int(4), 0, "[4]"});
    c.push_back({IntSet({1}), '/', StrSet({"a"}), -3, "[1]"});
    c.push_back({tv::Str("s"), '/', StrSet({"a"}), -2, "\"s\""});
    return c;
  }();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SUValue left(cases[i].left);
    tv::Apply(left, cases[i].op, cases[i].right);
    EXPECT_EQ(left.status, cases[i].status) << "case " << i;
    EXPECT_EQ(tv::Shown(left), cases[i].printed) << "case " << i;
  }
}

TEST(TypedValueSetAlgebra, OperandMayBeItsOwnRightOperand) {
  SUValue s = IntSet({1, 2, 3});
  s.Subtract(s);
  EXPECT_EQ(Printed(s), "[]");
  SUValue t = StrSet({"a", "b"});
  t.DivideBy(t);
  EXPECT_EQ(Printed(t), "[]");
}

// Random operations on a sorted and an ordered integer set against
// std::set and an insertion-ordered vector.
TEST(TypedValueSetAlgebra, MatchesReferenceModelOnRandomOperations) {
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<int> element(-20, 20);
  std::uniform_int_distribution<int> pick(0, 7);
  for (int round = 0; round < 200; ++round) {
    SUValue sorted = tv::EmptySet();
    SUValue ordered = tv::EmptySet(SUValue::kEmptyOrderedSet);
    std::set<std::int32_t> model;
    std::vector<std::int32_t> sequence;
    auto in_sequence = [&](std::int32_t v) {
      return std::find(sequence.begin(), sequence.end(), v) != sequence.end();
    };
    for (int step = 0; step < 40; ++step) {
      const int choice = pick(rng);
      std::set<std::int32_t> operand;
      SUValue right;
      if (choice < 4) {
        right.SetInt(element(rng));
        operand.insert(right.payload.integer);
      } else {
        right.SetType(SUValue::kIntSet);
        for (int k = 0; k < 5; ++k) {
          const std::int32_t v = element(rng);
          right.AddInt(v);
          operand.insert(v);
        }
      }
      const char op = "+-*/"[choice % 4];
      tv::Apply(sorted, op, right);
      tv::Apply(ordered, op, right);
      for (std::int32_t v : operand) {
        const bool held = model.count(v) != 0;
        if (op == '+' || (op == '/' && !held)) {
          if (model.insert(v).second) sequence.push_back(v);
        } else if (op == '-' || (op == '/' && held)) {
          model.erase(v);
          sequence.erase(std::remove(sequence.begin(), sequence.end(), v), sequence.end());
        }
      }
      if (op == '*') {
        std::erase_if(model, [&](std::int32_t v) { return operand.count(v) == 0; });
        std::erase_if(sequence, [&](std::int32_t v) { return operand.count(v) == 0; });
      }
      ASSERT_EQ(sorted.status, SUValue::kValid);
      ASSERT_EQ(std::vector<std::int32_t>(sorted.IntElements(),
                                          sorted.IntElements() + sorted.count),
                std::vector<std::int32_t>(model.begin(), model.end()))
          << "round " << round << " step " << step;
      ASSERT_EQ(std::vector<std::int32_t>(ordered.IntElements(),
                                          ordered.IntElements() + ordered.count),
                sequence)
          << "round " << round << " step " << step;
      ASSERT_GE(sorted.capacity, static_cast<std::uint32_t>(sorted.count));
      for (std::int32_t v : model) {
        ASSERT_GT(sorted.FindInt(v), 0);
        ASSERT_EQ(ordered.FindInt(v) > 0, in_sequence(v));
      }
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
  EXPECT_EQ(sorted.count, 3);
}

TEST(TypedValueSetConversion, OrderedStringsIntoSortedUseCaseInsensitiveOrder) {
  SUValue sorted;
  sorted.SetType(SUValue::kStringSet);
  sorted.Assign(StrSet({"b", "C", "a", "B"}, kOrderedStrings));
  EXPECT_EQ(Printed(sorted), "[\"a\",\"b\",\"C\"]");
}

TEST(TypedValueSetSearch, FindReportsPositionOrInsertionPoint) {
  const SUValue sorted = IntSet({10, 20, 30});
  EXPECT_EQ(sorted.FindInt(20), 2);
  EXPECT_EQ(sorted.FindInt(5), 0);
  EXPECT_EQ(sorted.FindInt(25), -2);
  EXPECT_EQ(sorted.FindInt(40), -3);
  EXPECT_EQ(sorted.FindInt(10, 1), -1);
  const SUValue ordered = IntSet({30, 10}, kOrderedInts);
  EXPECT_EQ(ordered.FindInt(10), 2);
  EXPECT_EQ(ordered.FindInt(30, 1), -1);
  EXPECT_EQ(ordered.FindInt(20), -1);
  EXPECT_EQ(tv::Int(5).FindInt(5), 1);
  EXPECT_EQ(tv::Int(5).FindInt(6), 0);
  EXPECT_EQ(tv::Logical(true).FindInt(1), 1);

  const SUValue names = StrSet({"beta", "Alpha", "gamma"});
  EXPECT_EQ(names.FindString("ALPHA"), 1);
  EXPECT_EQ(names.FindString("Delta"), -2);
  EXPECT_EQ(StrSet({"b", "a"}, kOrderedStrings).FindString("A"), 2);
  EXPECT_EQ(tv::Name("x.Y").FindString("X.y"), 1);
  EXPECT_STREQ(names.GetStringAt(1), "beta");
  EXPECT_EQ(names.GetStringAt(3), nullptr);
  EXPECT_EQ(sorted.GetIntAt(2), 30);
  EXPECT_EQ(sorted.GetIntAt(-1), 0);
  EXPECT_EQ(tv::Int(8).GetIntAt(0), 8);
}

TEST(TypedValueSetStorage, StorageGrowsByFourAndResizes) {
  SUValue s = IntSet({1, 2, 3, 4});
  EXPECT_EQ(s.capacity, 4u);
  s.AddInt(5);
  EXPECT_EQ(s.capacity, 8u);
  s.InitSet(9);
  EXPECT_EQ(s.count, 0);
  EXPECT_EQ(s.capacity, 12u);
  s.ResizeSet(2);
  EXPECT_EQ(Printed(s), "[0,0]");
  SUValue strings = StrSet({"a"});
  strings.ResizeSet(3);
  EXPECT_EQ(Printed(strings), "[\"\",\"\",\"\"]");  // missing texts
  SUValue unknown = tv::EmptySet();
  unknown.ResizeSet(3);
  EXPECT_EQ(unknown.count, 0);
}

TEST(TypedValueSetStorage, IntegerRanges) {
  SUValue r;
  r.MakeIntRange(1, 3);
  EXPECT_EQ(Printed(r), "[1,2,3]");
  r.MakeIntRange(3, 1);
  EXPECT_EQ(Printed(r), "[]");
  EXPECT_EQ(r.type, SUValue::kIntSet);
  const std::int32_t top = std::numeric_limits<std::int32_t>::max();
  r.MakeIntRange(top - 1, top);
  EXPECT_EQ(r.count, 2);
  EXPECT_EQ(r.GetIntAt(1), top);
  r.MakeIntRange(std::numeric_limits<std::int32_t>::min(), top);
  EXPECT_EQ(r.status, SUValue::kTypeClash);
}

}  // namespace
