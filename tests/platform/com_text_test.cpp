// Identifiers and texts of COM: GUID text forms, BSTRs and UTF-16.
#include "platform/bstr.h"
#include "platform/guid.h"
#include "platform/utf16.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

namespace {

using namespace platform;

constexpr GUID kBuilder = MakeGuid("{072CCDD1-5F1B-434E-B0C0-A4AC71A7D4B4}");
static_assert(kBuilder.Data1 == 0x072CCDD1u && kBuilder.Data2 == 0x5F1B &&
              kBuilder.Data3 == 0x434E && kBuilder.Data4[0] == 0xB0 && kBuilder.Data4[7] == 0xB4);

TEST(Guid, ParsesEitherCasePrintsUpperCaseAndRefusesEveryOtherForm) {
  GUID g{};
  ASSERT_TRUE(ParseGuid("{072ccdd1-5f1b-434e-b0c0-a4ac71a7d4b4}", &g));
  EXPECT_TRUE(IsEqualGUID(g, kBuilder));
  EXPECT_EQ(GuidText(g), "{072CCDD1-5F1B-434E-B0C0-A4AC71A7D4B4}");
  GUID other = g;
  other.Data4[7] ^= 1;
  EXPECT_FALSE(IsEqualGUID(g, other));

  std::mt19937 random(7);
  for (int i = 0; i < 200; ++i) {
    GUID r{static_cast<std::uint32_t>(random()),
           static_cast<std::uint16_t>(random()),
           static_cast<std::uint16_t>(random()),
           {}};
    for (auto& b : r.Data4) b = static_cast<std::uint8_t>(random());
    const std::string text = GuidText(r);
    GUID back{};
    ASSERT_TRUE(ParseGuid(text, &back)) << text;
    EXPECT_EQ(back, r);
  }
  const char* bad[] = {
      "",
      "072CCDD1-5F1B-434E-B0C0-A4AC71A7D4B4",   // no braces
      "{072CCDD1-5F1B-434E-B0C0-A4AC71A7D4B4",  // one brace
      "{072CCDD1-5F1B-434E-B0C0-A4AC71A7D4B4}x",
      "{072CCDD15F1B-434E-B0C0-A4AC71A7D4B4-}",  // dash moved
      "{072CCDG1-5F1B-434E-B0C0-A4AC71A7D4B4}",  // not a digit
      "(072CCDD1-5F1B-434E-B0C0-A4AC71A7D4B4)",
  };
  for (const char* text : bad) {
    GUID kept = kBuilder;
    EXPECT_FALSE(ParseGuid(text, &kept)) << text;
    EXPECT_EQ(kept, kBuilder) << "changed by " << text;
  }
}

TEST(Bstr, LengthIsTheByteCountPrefixAndCountsEmbeddedZeros) {
  const char16_t units[] = u"a\0b\0c";
  BSTR text = SysAllocStringLen(units, 5);
  ASSERT_NE(text, nullptr);
  std::uint32_t prefix = 0;
  std::memcpy(&prefix, reinterpret_cast<const char*>(text) - 4, 4);
  EXPECT_EQ(prefix, 10u);
  EXPECT_EQ(SysStringLen(text), 5u);
  EXPECT_EQ(text[5], u'\0');
  EXPECT_EQ(Utf8FromBstr(text), std::string("a\0b\0c", 5));
  BSTR up_to_zero = SysAllocString(units);
  EXPECT_EQ(SysStringLen(up_to_zero), 1u);
  BSTR zeros = SysAllocStringLen(nullptr, 3);
  EXPECT_EQ(Utf8FromBstr(zeros), std::string(3, '\0'));
  EXPECT_EQ(zeros[3], 0);
  for (BSTR b : {text, up_to_zero, zeros}) SysFreeString(b);

  // Null is the empty text throughout; a length whose byte count does not
  // fit 32 bits is refused rather than wrapped.
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(Utf8FromBstr(nullptr), "");
  SysFreeString(nullptr);
  EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr);
  EXPECT_EQ(SysAllocStringLen(nullptr, 0xFFFFFFFFu), nullptr);
}

TEST(Bstr, Utf8RoundTripsOutsideAscii) {
  const std::string text = "Gr\u00F6\u00DFe \u2211 \U0001D11E \u65E5\u672C";
  BSTR b = BstrFromUtf8(text);
  // Twelve characters, the clef as a pair.
  EXPECT_EQ(SysStringLen(b), 13u);
  EXPECT_EQ(b[8], 0xD834);
  EXPECT_EQ(b[9], 0xDD1E);
  EXPECT_EQ(Utf8FromBstr(b), text);
  SysFreeString(b);

  std::mt19937 random(11);
  for (int i = 0; i < 500; ++i) {
    std::u16string wide;
    for (int n = static_cast<int>(random() % 20); n > 0; --n) {
      char32_t c = random() % 0x110000;
      if (c >= 0xD800 && c <= 0xDFFF) c = 0x20AC;
      if (c < 0x10000) {
        wide.push_back(static_cast<char16_t>(c));
      } else {
        wide.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
        wide.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
      }
    }
    ASSERT_EQ(Utf16FromUtf8(Utf8FromUtf16(wide)), wide);
  }
}

TEST(Bstr, MalformedTextsBecomeReplacementCharacters) {
  const std::u16string r = u"\uFFFD";
  EXPECT_EQ(Utf16FromUtf8("a\xC3"), u"a" + r);        // cut short
  EXPECT_EQ(Utf16FromUtf8("\xE2\x82z"), r + u"z");    // cut short inside
  EXPECT_EQ(Utf16FromUtf8("\xC0\xAF"), r);            // overlong '/'
  EXPECT_EQ(Utf16FromUtf8("\xED\xA0\x80"), r);        // a surrogate
  EXPECT_EQ(Utf16FromUtf8("\xF4\x90\x80\x80"), r);    // beyond U+10FFFF
  EXPECT_EQ(Utf16FromUtf8("\x80\xFF"), r + r);        // no lead byte
  EXPECT_EQ(Utf8FromUtf16(u"x\xD800y"), "x\uFFFDy");  // lone high half
  EXPECT_EQ(Utf8FromUtf16(u"\xDC00"), "\uFFFD");      // lone low half

  // Any bytes: the first conversion repairs, the next ones keep the text.
  std::mt19937 random(13);
  for (int i = 0; i < 500; ++i) {
    std::string bytes(random() % 40, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    const std::u16string once = Utf16FromUtf8(bytes);
    ASSERT_EQ(Utf16FromUtf8(Utf8FromUtf16(once)), once);
  }
}

}  // namespace
