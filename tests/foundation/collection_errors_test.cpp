#include "foundation/collection_errors.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/death.h"

namespace {

ClLibraryFailure Caught(ClErrorClass kind, std::uint32_t code, unsigned a, unsigned b) {
  const ClLibraryErrorGuard guard;
  try {
    ClRaiseError(kind, code, a, b);
  } catch (const ClLibraryFailure& failure) {
    return failure;
  }
  return ClLibraryFailure("not raised", kind);
}

TEST(CollectionErrors, GuardThrowsTheFormattedTextWithTheErrorClass) {
  const ClLibraryFailure index = Caught(ClErrorClass::kBounds, kClIndex, 9, 4);
  EXPECT_STREQ(index.what(), "[INDEX] Index (9) out of range [0->4]");
  EXPECT_EQ(index.kind(), ClErrorClass::kBounds);
  const ClLibraryFailure nocreate = Caught(ClErrorClass::kInternal, kClNoCreate, 300, 300);
  EXPECT_STREQ(nocreate.what(),
               "[NOCREATE] ClFactory: no create function for class with ID 300 (0x12c)");
  EXPECT_EQ(nocreate.kind(), ClErrorClass::kInternal);
  EXPECT_EQ(Caught(ClErrorClass::kExternal, kClReadErr, 0, 0).kind(), ClErrorClass::kExternal);
}

TEST(CollectionErrors, GuardsNestAndRestoreTheOuterHandler) {
  const ClLibraryErrorGuard outer;
  { const ClLibraryErrorGuard inner; }
  EXPECT_THROW(ClRaiseError(ClErrorClass::kInternal, kClRef), ClLibraryFailure);
}

TEST(CollectionErrorsDeathTest, ReportWritesTheTextAndExitsWithOne) {
  testsupport::ExpectLibraryDeath(
      [] { ClRaiseError(ClErrorClass::kExternal, kClMagic, 17L, 34952L); },
      "[MAGIC] Bad magic number: 17 (should be 34952)");
  testsupport::ExpectLibraryDeath([] { ReportLibraryError(ClBoundsErr("any text")); }, "any text");
}

}  // namespace
