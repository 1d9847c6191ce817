// Typed values on virtual streams, through the in-memory streams.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "foundation/persistence/memory_stream.h"
#include "foundation/values/typed_value.h"
#include "typed_value_builders.h"

namespace {

std::string Saved(const SUValue& v) {
  ClMemoryOutStream out;
  v.SaveToVStream(out);
  return out.Text();
}

SUValue Restored(const std::string& text, bool* good = nullptr) {
  ClMemoryInStream in(text);
  SUValue v;
  v.RestoreFromVStream(in);
  if (good != nullptr) *good = in.Good();
  return v;
}

SUValue NamedPath(const char* text, std::uint16_t first, std::uint8_t second, std::uint8_t third) {
  SUValue v = tv::Name(text);
  v.name = {first, second, third};
  return v;
}

TEST(TypedValueVStreamTest, NameHeadAndAttributesInTheirOrder) {
  // Type, status, then attributes 1, 3 and 2, the length with its NUL, the characters.
  EXPECT_EQ(Saved(NamedPath("ab", 0x1234, 7, 9)), "6 0 4660 9 7 3 ab");
  EXPECT_EQ(Saved(tv::StrSet({"b", "a"})), "13 0 2 4 2 a2 b");
  SUValue unknown;
  EXPECT_EQ(Saved(unknown), "0 1 ");
}

// Every kind comes back with its status, set capacity, name attributes and
// missing texts: saving what was restored gives the same text.
TEST(TypedValueVStreamTest, EveryKindRoundTrips) {
  SUValue failed = tv::Real(2.75);
  failed.status = SUValue::kTypeClash;
  SUValue roomy = tv::IntSet({5, 1});
  roomy.Subtract(tv::IntSet({5, 1}));
  SUValue grid;  // two rows of string sets, the last with two missing texts
  grid.SetType(SUValue::kOneDimension * 2 | SUValue::kStringSet);
  grid.Resize(2);
  for (std::int32_t row = 0; row < 2; ++row) {
    SUValue& line = grid.payload.elements[row];
    line.Resize(3);
    line.payload.elements[0].Assign(tv::StrSet({"x", "y"}));
    line.payload.elements[1].Assign(tv::StrSet({}));
    line.payload.elements[2].ResizeSet(2);
  }
  grid.status = SUValue::kValid;
  SUValue names;
  names.SetType(SUValue::kOneDimension | SUValue::kName);
  names.Resize(2);
  names.payload.elements[0].Assign(NamedPath("Plant.Tank", 0x1234, 7, 9));
  names.payload.elements[1].Assign(NamedPath("", 1, 2, 3));
  const SUValue values[] = {tv::Int(-9),
                            tv::Logical(true),
                            tv::Spec(SUValue::kFree),
                            failed,
                            tv::Str("text"),
                            tv::IntSet({3, 1, 2}),
                            tv::IntSet({3, 1}, SUValue::kOrderedIntSet),
                            tv::EmptySet(),
                            tv::EmptySet(SUValue::kEmptyOrderedSet),
                            roomy,
                            tv::StrSet({"q", "p"}, SUValue::kOrderedStringSet),
                            tv::IntArray({1, 2, 3}),
                            grid,
                            names};
  for (const SUValue& v : values) {
    const std::string saved = Saved(v);
    bool good = false;
    const SUValue back = Restored(saved, &good);
    ASSERT_TRUE(good) << saved;
    EXPECT_EQ(Saved(back), saved);
    if (v.status == SUValue::kValid) {
      EXPECT_TRUE(back.IsEqual(v)) << saved;
    }
  }
  EXPECT_EQ(Restored(Saved(grid)).payload.elements[1].payload.elements[2].GetStringAt(1), nullptr);
}

// A string or name that never got a text saves it as length 0 and comes
// back without one, alone or as an array element, so saving it again gives
// the same text (the empty text is length 1).
TEST(TypedValueVStreamTest, MissingTextsStayMissing) {
  SUValue text;
  text.SetType(SUValue::kString);
  SUValue name;
  name.SetType(SUValue::kName);
  name.name = {0x1234, 7, 9};
  SUValue texts;  // two string elements without a text
  texts.SetType(SUValue::kOneDimension | SUValue::kString);
  texts.Resize(2);
  texts.payload.elements[1].status = SUValue::kTypeClash;
  const SUValue empty = tv::Str("");
  EXPECT_EQ(Saved(text), "5 1 0 ");
  EXPECT_EQ(Saved(empty), "5 0 1 ");
  for (const SUValue* v : std::initializer_list<const SUValue*>{&text, &name, &texts, &empty}) {
    const std::string saved = Saved(*v);
    bool good = false;
    const SUValue back = Restored(saved, &good);
    ASSERT_TRUE(good) << saved;
    EXPECT_EQ(Saved(back), saved);
  }
  EXPECT_EQ(Restored(Saved(text)).GetString(), nullptr);
  EXPECT_STREQ(Restored(Saved(empty)).GetString(), "");
  const SUValue name_back = Restored(Saved(name));
  EXPECT_EQ(name_back.GetString(), nullptr);
  EXPECT_EQ(name_back.name.first, 0x1234);
  EXPECT_EQ(name_back.name.third, 9);
  EXPECT_EQ(Restored(Saved(texts)).payload.elements[1].GetString(), nullptr);
}

TEST(TypedValueVStreamTest, DamagedStreamsFailWithoutRunningAway) {
  const char* damaged[] = {
      "5 0 10 ab",               // text shorter than its length
      "5 0 -3 ",                 // negative length
      "258 0 2000000000 ",       // an array announcing two billion elements
      "256 0 1 512 0 1 2 0 7 ",  // an element with more dimensions than its array
      "10 0 1 100000000 5 ",     // capacity far beyond the count
      "13 0 3 2 ",               // count above the capacity
      "10 0 4 4 1 2 ",           // elements missing
      "26 0 ",                   // a set code with an unknown bit
      "1 0 7 ",                  // no kind 1
      "257 0 1 1 0 7 ",          // an array of kind 1
  };
  for (const char* text : damaged) {
    bool good = true;
    SUValue v = Restored(text, &good);
    EXPECT_FALSE(good) << text;
  }
  // Storage taken under an unknown set code is still freed.
  SUValue odd;
  odd.SetType(0x1A);
  odd.AddInt(1);
}

}  // namespace
