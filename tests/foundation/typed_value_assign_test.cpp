#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/values/typed_value.h"
#include "tests/foundation/typed_value_builders.h"

namespace {

using tv::Int;
using tv::IntSet;
using tv::Shown;
using tv::Str;
using tv::StrSet;

struct Kind {
  const char* label;
  std::function<SUValue()> make;
};

SUValue SourceName() {
  SUValue v = tv::Name("x.y");
  v.name = {3, 4, 5};
  return v;
}

SUValue RealArray() {
  SUValue v;
  v.SetType(SUValue::kOneDimension | SUValue::kReal);
  const SUValue half = tv::Real(0.5);
  v.SetElement(0, half);
  v.status = SUValue::kValid;
  return v;
}

const std::vector<Kind> kSources = {
    {"notype", [] { return SUValue(); }},
    {"int", [] { return Int(7); }},
    {"logical", [] { return tv::Logical(true); }},
    {"real", [] { return tv::Real(2.5); }},
    {"string", [] { return Str("Ab"); }},
    {"name", SourceName},
    {"spec", [] { return tv::Spec(SUValue::kFixed); }},
    {"set8", [] { return tv::EmptySet(); }},
    {"set10",
     [] {
       return IntSet({3, 1});
     }},
    {"set13",
     [] {
       return StrSet({"B", "a"});
     }},
    {"set40", [] { return tv::EmptySet(SUValue::kEmptyOrderedSet); }},
    {"set42",
     [] {
       return IntSet({3, 1}, SUValue::kOrderedIntSet);
     }},
    {"set45",
     [] {
       return StrSet({"b", "A"}, SUValue::kOrderedStringSet);
     }},
    {"int array",
     [] {
       return tv::IntArray({1, 2, 3});
     }},
};

const std::vector<Kind> kTargets = {
    {"notype", [] { return SUValue(); }},
    {"int", [] { return Int(5); }},
    {"logical", [] { return tv::Logical(false); }},
    {"real", [] { return tv::Real(0.5); }},
    {"string", [] { return Str("old"); }},
    {"name", [] { return tv::Name("n"); }},
    {"spec", [] { return tv::Spec(SUValue::kFree); }},
    {"set8", [] { return tv::EmptySet(); }},
    {"set10", [] { return IntSet({9}); }},
    {"set13", [] { return StrSet({"z"}); }},
    {"set40", [] { return tv::EmptySet(SUValue::kEmptyOrderedSet); }},
    {"set42", [] { return IntSet({9}, SUValue::kOrderedIntSet); }},
    {"set45", [] { return StrSet({"z"}, SUValue::kOrderedStringSet); }},
    {"real array", RealArray},
};

// "status|payload as printed" of target (row) after Assign(source), per source in
// the order of kSources, separated by blanks.
const char* const kExpected[] = {
    // notype target takes the source's type
    "1|notype 0|7 0|True 0|2.5 0|\"Ab\" 0|x.y 0|Fixed 0|[] 0|[1,3] 0|[\"a\",\"B\"] 0|[] "
    "0|[3,1] 0|[\"b\",\"A\"] 0|<1,2,3>",
    "-3|5 0|7 0|1 -2|5 -2|5 -2|5 0|4 -3|5 -3|5 -3|5 -3|5 -3|5 -3|5 -2|5",
    "-3|False 0|True 0|True -2|False -2|False -2|False 0|True -3|False -3|False -3|False "
    "-3|False -3|False -3|False -2|False",
    "-3|0.5 0|7 0|1 0|2.5 -2|0.5 -2|0.5 0|4 -3|0.5 -3|0.5 -3|0.5 -3|0.5 -3|0.5 -3|0.5 "
    "-2|0.5",
    "-3|\"old\" -2|\"old\" -2|\"old\" -2|\"old\" 0|\"Ab\" 0|\"x.y\" -2|\"old\" -3|\"old\" "
    "-3|\"old\" -3|\"old\" -3|\"old\" -3|\"old\" -3|\"old\" -2|\"old\"",
    "-3|n -2|n -2|n -2|n 0|Ab 0|x.y -2|n -3|n -3|n -3|n -3|n -3|n -3|n -2|n",
    // a specification value without a name prints nothing
    "-3|Free 0| 0|Free -2|Free -2|Free -2|Free 0|Fixed -3|Free -3|Free -3|Free -3|Free "
    "-3|Free -3|Free -2|Free",
    // an empty set takes the element kind, but sets hold only integers and strings
    "0|[] 0|[7] -2|[] -2|[] 0|[\"Ab\"] -2|[] -2|[] 0|[] 0|[1,3] 0|[\"a\",\"B\"] 0|[] "
    "0|[3,1] 0|[\"b\",\"A\"] 0|<[1],[2],[3]>",
    "-3|[9] 0|[7] 0|[1] -2|[9] -2|[9] -2|[9] 0|[4] 0|[] 0|[1,3] -2|[9] 0|[] 0|[1,3] "
    "-2|[9] -2|[9]",
    "-3|[\"z\"] -2|[\"z\"] -2|[\"z\"] -2|[\"z\"] 0|[\"Ab\"] 0|[\"x.y\"] -2|[\"z\"] 0|[] "
    "-2|[\"z\"] 0|[\"a\",\"B\"] 0|[] -2|[\"z\"] 0|[\"A\",\"b\"] -2|[\"z\"]",
    "0|[] 0|[7] -2|[] -2|[] 0|[\"Ab\"] -2|[] -2|[] 0|[] 0|[1,3] 0|[\"a\",\"B\"] 0|[] "
    "0|[3,1] 0|[\"b\",\"A\"] 0|<[1],[2],[3]>",
    "-3|[9] 0|[7] 0|[1] -2|[9] -2|[9] -2|[9] 0|[4] 0|[] 0|[1,3] -2|[9] 0|[] 0|[3,1] "
    "-2|[9] -2|[9]",
    "-3|[\"z\"] -2|[\"z\"] -2|[\"z\"] -2|[\"z\"] 0|[\"Ab\"] 0|[\"x.y\"] -2|[\"z\"] 0|[] "
    "-2|[\"z\"] 0|[\"a\",\"B\"] 0|[] -2|[\"z\"] 0|[\"b\",\"A\"] -2|[\"z\"]",
    // scalars go into every element; a refused element marks the array
    "-3|<0.5> 0|<7> 0|<1> 0|<2.5> -2|<!> -2|<!> 0|<4> -3|<0.5> -3|<0.5> -3|<0.5> -3|<0.5> "
    "-3|<0.5> -3|<0.5> 0|<1,2,3>",
};

TEST(TypedValueAssign, EverySourceKindIntoEveryTargetKind) {
  ASSERT_EQ(std::size(kExpected), kTargets.size());
  for (std::size_t t = 0; t < kTargets.size(); ++t) {
    std::istringstream expected(kExpected[t]);
    for (std::size_t s = 0; s < kSources.size(); ++s) {
      SUValue target = kTargets[t].make();
      target.Assign(kSources[s].make());
      std::string cell = "(missing)";
      expected >> cell;
      EXPECT_EQ(std::to_string(target.status) + "|" + Shown(target), cell)
          << kSources[s].label << " into " << kTargets[t].label;
    }
    EXPECT_TRUE(expected.eof()) << "extra cells for " << kTargets[t].label;
  }
}

TEST(TypedValueAssign, NameAttributesTravelWithTheName) {
  for (SUValue target : {SUValue(), tv::Name("n")}) {
    target.Assign(SourceName());
    EXPECT_EQ(target.name.first, 3);
    EXPECT_EQ(target.name.second, 4);
    EXPECT_EQ(target.name.third, 5);
  }
}

TEST(TypedValueAssign, CopiesAreValidExceptForNotype) {
  SUValue unknown_int;
  unknown_int.SetType(SUValue::kInteger);
  ASSERT_EQ(unknown_int.status, SUValue::kUnknown);
  EXPECT_EQ(SUValue::CopyConstruct(unknown_int).status, SUValue::kValid);
  EXPECT_EQ(SUValue::CopyConstruct(SUValue()).status, SUValue::kUnknown);
  EXPECT_EQ(tv::Printed(SUValue::CopyConstruct(IntSet({1, 2}))), "[1,2]");
  EXPECT_EQ(SUValue::ConstructInt(3, SUValue::kEmptySet).type, SUValue::kIntSet);
  EXPECT_EQ(SUValue::ConstructInt(3, SUValue::kString).status, SUValue::kTypeClash);
}

TEST(TypedValueAssign, SourceThatIsTheTargetOrInsideItIsReadBeforeItChanges) {
  for (SUValue v : {Str("text"), IntSet({2, 1}), StrSet({"q", "p"}), tv::IntArray({4, 5})}) {
    const std::string before = tv::Printed(v);
    v.Assign(v);
    EXPECT_EQ(tv::Printed(v), before);
  }
  const SUValue x = Str("x");
  const SUValue y = Str("yy");
  SUValue texts = tv::ArrayOf({&x, &y});
  texts.Assign(texts.Elements()[1]);
  EXPECT_EQ(tv::Printed(texts), "<\"yy\",\"yy\">");
  texts.SetString(texts.Elements()[0].GetString());
  EXPECT_EQ(tv::Printed(texts), "<\"yy\",\"yy\">");
  SUValue set = StrSet({"only"});
  set.SetString(set.GetStringAt(0));
  EXPECT_EQ(tv::Printed(set), "[\"only\"]");
  // An array assigned into an untyped slot of its own, at any depth.
  SUValue holder;
  holder.Resize(2);
  holder.SetElement(1, tv::Int(1));
  holder.SetElement(0, holder);
  EXPECT_EQ(tv::Printed(holder), "<<?,1>,1>");
  SUValue direct;
  direct.Resize(2);
  direct.Elements()[0].Assign(direct);
  EXPECT_EQ(tv::Printed(direct), "<<?,?>,?>");
  SUValue deep;
  deep.Resize(1);
  deep.SetElement(0, direct);
  deep.Elements()[0].Elements()[1].Assign(deep);
  EXPECT_EQ(tv::Printed(deep), "<<<?,?>,<<<?,?>,?>>>>");
}

TEST(TypedValueText, OnlyAStrictlyShorterTextReusesTheBuffer) {
  SUValue v = Str("abcdef");
  const char* buffer = v.GetString();
  v.SetString(v.GetString() + 3);  // a shorter part of its own text
  EXPECT_EQ(v.GetString(), buffer);
  EXPECT_STREQ(v.GetString(), "def");
  v.SetString(v.GetString());  // as long as the held text: a fresh buffer
  EXPECT_NE(v.GetString(), buffer);
  EXPECT_STREQ(v.GetString(), "def");
  buffer = v.GetString();
  v.SetString(nullptr);  // null stores as the empty text, in place
  EXPECT_EQ(v.GetString(), buffer);
  EXPECT_STREQ(v.GetString(), "");
  SUValue fresh;
  fresh.SetString(nullptr);
  EXPECT_EQ(fresh.type, SUValue::kString);
  EXPECT_STREQ(fresh.GetString(), "");
}

TEST(TypedValueSharedText, CopiedStringSetsShareRecordsAndReleaseThemOnce) {
  SUValue original = StrSet({"alpha", "beta"});
  {
    const SUValue copy(original);
    EXPECT_TRUE(copy.StringElements()[0].IsSameRecord(original.StringElements()[0]));
    SUValue ordered = tv::EmptySet(SUValue::kOrderedStringSet);
    ordered.Assign(copy);
    EXPECT_EQ(original.StringElements()[1].UseCount(), 3);
  }
  EXPECT_EQ(original.StringElements()[0].UseCount(), 1);
  original.SubtractString("ALPHA");
  EXPECT_EQ(tv::Printed(original), "[\"beta\"]");

  SUStringRef a;
  SUStringRef b;
  a.Set("text");
  b.Share(a);
  b.Share(b);  // its own record: no change
  EXPECT_EQ(a.UseCount(), 2);
  b.Set(b.Text());  // a copy of its own text
  EXPECT_FALSE(b.IsSameRecord(a));
  EXPECT_STREQ(b.Text(), "text");
  EXPECT_EQ(a.UseCount(), 1);
  ReleaseSharedBuffer(b);
  ReleaseSharedBuffer(a);
  ReleaseSharedBuffer(a);
  EXPECT_EQ(a.Text(), nullptr);
}

TEST(TypedValueSharedText, SaturatedUseCountCopiesInsteadOfWrapping) {
  SUStringRef base;
  base.Set("shared");
  std::vector<SUStringRef> holders(65534);
  for (SUStringRef& h : holders) h.Share(base);
  ASSERT_EQ(base.UseCount(), 65535);
  SUStringRef one_more;
  one_more.Share(base);
  EXPECT_FALSE(one_more.IsSameRecord(base));
  EXPECT_STREQ(one_more.Text(), "shared");
  EXPECT_EQ(base.UseCount(), 65535);
  ReleaseSharedBuffer(one_more);
  for (SUStringRef& h : holders) ReleaseSharedBuffer(h);
  EXPECT_EQ(base.UseCount(), 1);
  ReleaseSharedBuffer(base);
}

TEST(TypedValueArray, ElementTypesAndGrowthFromAnOwnElement) {
  EXPECT_EQ(SUValue::ElementType(0x32A), 0x20A);  // one dimension less, no ordered flag
  EXPECT_EQ(SUValue::ElementType(0x05), 0x00);

  SUValue rows;
  rows.SetType(0x200 | SUValue::kInteger);
  const SUValue row = tv::IntArray({1, 2});
  for (std::int32_t r = 0; r < 3; ++r) rows.SetElement(r, row);
  SUValue copy(rows);
  copy.SetInt(4);  // into every slot, and only the three that exist
  EXPECT_EQ(tv::Printed(copy), "<<4,4>,<4,4>,<4,4>>");
  copy.SetElement(3, copy.Elements()[0]);  // grows, from its own element
  EXPECT_EQ(tv::Printed(copy), "<<4,4>,<4,4>,<4,4>,<4,4>>");
}

TEST(TypedValueArray, NestedValuesReleaseTheirSharedRecords) {
  const SUValue set = StrSet({"a", "b", "c"});
  const auto uses = [&] { return set.StringElements()[0].UseCount(); };
  SUValue line;
  line.SetType(0x100 | SUValue::kStringSet);
  for (int i = 0; i < 5; ++i) line.SetElement(i, set);
  SUValue plane;
  plane.SetType(0x200 | SUValue::kStringSet);
  for (int i = 0; i < 3; ++i) plane.SetElement(i, line);
  EXPECT_EQ(uses(), 1 + 5 + 15);
  {
    SUValue mixed;
    mixed.Resize(2);
    mixed.SetElement(0, Str("text"));
    mixed.SetElement(1, plane);
    EXPECT_EQ(uses(), 1 + 5 + 15 + 15);
  }
  EXPECT_EQ(uses(), 1 + 5 + 15);
  plane.Resize(0);
  plane.SetType(SUValue::kNoType);
  line.SetType(SUValue::kNoType);
  EXPECT_EQ(uses(), 1);
}

TEST(TypedValueArray, AssignIntoFilledArrayGoesElementByElement) {
  SUValue target = RealArray();  // one element, four slots
  target.Assign(tv::IntArray({1, 2, 3, 4}));
  EXPECT_EQ(tv::Printed(target), "<1,2,3,4>");
  target.Assign(tv::IntArray({1, 2, 3, 4, 5}));  // more than its slots
  EXPECT_EQ(target.status, SUValue::kTypeClash);
  EXPECT_EQ(tv::Shown(target), "<1,2,3,4>");
  SUValue strings;
  strings.SetType(SUValue::kOneDimension | SUValue::kString);
  strings.Assign(tv::IntArray({1}));
  EXPECT_EQ(strings.status, SUValue::kTypeClash);
}

TEST(TypedValueArray, SetElementAndResizeBounds) {
  SUValue scalar = Int(3);
  EXPECT_EQ(scalar.SetElement(0, Int(4)), &scalar);
  EXPECT_EQ(tv::Printed(scalar), "3");
  SUValue a;
  a.Resize(2);
  EXPECT_EQ(a.type, SUValue::kOneDimension);
  EXPECT_EQ(a.SetElement(1, Str("s")), &a.Elements()[1]);
  EXPECT_EQ(a.SetElement(3, Int(1)), &a);  // beyond the end
  EXPECT_EQ(a.status, SUValue::kSetClash);
  a.status = SUValue::kValid;
  a.Resize(1);
  a.Resize(2);  // the dropped element comes back empty
  EXPECT_EQ(tv::Printed(a), "<?,?>");
  SUValue text = Str("t");
  text.Resize(1);
  EXPECT_EQ(text.status, SUValue::kTypeClash);
}

}  // namespace
