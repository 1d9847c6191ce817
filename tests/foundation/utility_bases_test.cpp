#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/collections/collection_errors.h"
#include "foundation/messages/status_and_msg.h"
#include "tests/support/death.h"

namespace {

TEST(StatusAndMsg, FormatsTheTextsIntoTheFirstUnlessThereIsNone) {
  const std::string a(300, 'a'), b(400, 'b'), c(500, 'c'), d(600, 'd');
  struct Case {
    const char* format;
    std::vector<const char*> texts;
    std::string expected;
  };
  const Case cases[] = {
      {"%s not found", {"x"}, "x not found"},
      {"%s and %s", {"one", nullptr}, "one and "},
      {"%s|%s|%s|%s",
       {a.c_str(), b.c_str(), c.c_str(), d.c_str()},
       a + "|" + b + "|" + c + "|" + d},
      {"[%40s]", {"x"}, "[" + std::string(39, ' ') + "x]"},  // wider than the texts
      {"100% done %s", {""}, "100% done %s"},  // without a first text the format is the message
      {"50%", {}, "50%"},
      {nullptr, {"ignored"}, ""},
  };
  for (const Case& c : cases) {
    std::vector<const char*> t = c.texts;
    t.resize(4, nullptr);
    const BvuStatusAndMsg message(0x80000001u, c.format, t[0], t[1], t[2], t[3]);
    EXPECT_EQ(message.GetText(), c.expected);
    EXPECT_EQ(message.GetStatus(), 0x80000001u);
  }
}

ClLibraryFailure Caught(ClErrorClass kind, std::uint32_t code, unsigned a, unsigned b) {
  const ClLibraryErrorGuard guard;
  try {
    ClRaiseError(kind, code, a, b);
  } catch (const ClLibraryFailure& failure) {
    return failure;
  }
  return ClLibraryFailure("not raised", kind);
}

TEST(CollectionErrors, GuardThrowsTheFormattedTextWithTheErrorClassAndNests) {
  const ClLibraryFailure index = Caught(ClErrorClass::kBounds, kClIndex, 9, 4);
  EXPECT_STREQ(index.what(), "[INDEX] Index (9) out of range [0->4]");
  EXPECT_EQ(index.kind(), ClErrorClass::kBounds);
  const ClLibraryErrorGuard outer;
  { const ClLibraryErrorGuard inner; }
  EXPECT_THROW(ClRaiseError(ClErrorClass::kExternal, kClRef), ClLibraryFailure);
}

TEST(CollectionErrorsDeathTest, ReportWritesTheTextAndExitsWithOne) {
  testsupport::ExpectLibraryDeath(
      [] { ClRaiseError(ClErrorClass::kExternal, kClMagic, 17L, 34952L); },
      "[MAGIC] Bad magic number: 17 (should be 34952)");
  testsupport::ExpectLibraryDeath([] { ReportLibraryError(ClBoundsErr("any text")); }, "any text");
}

}  // namespace
