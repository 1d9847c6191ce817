#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>

#include "foundation/bvu_collectable.h"
#include "foundation/list_elem.h"
#include "foundation/status_and_msg.h"

namespace {

TEST(StatusAndMsg, FormatsTheTextsIntoTheFirst) {
  BvuStatusAndMsg m(0x80000001u, "%s not found", "x");
  EXPECT_STREQ(m.GetText(), "x not found");
  EXPECT_EQ(m.GetStatus(), 0x80000001u);
  BvuStatusAndMsg four(0, "%s-%s-%s-%s", "a", "b", "c", "d");
  EXPECT_STREQ(four.GetText(), "a-b-c-d");
  BvuStatusAndMsg missing(0, "%s and %s", "one", nullptr);
  EXPECT_STREQ(missing.GetText(), "one and ");
}

TEST(StatusAndMsg, WithoutASecondTextTheFormatIsTheMessage) {
  BvuStatusAndMsg plain(5, "100% done %s", "");
  EXPECT_STREQ(plain.GetText(), "100% done %s");
  BvuStatusAndMsg none(5, "50%", nullptr);
  EXPECT_STREQ(none.GetText(), "50%");
  BvuStatusAndMsg null_format(5, nullptr, "ignored");
  EXPECT_STREQ(null_format.GetText(), "");
  EXPECT_STREQ(plain.GetNameText(), "");
}

TEST(StatusAndMsg, LongTextsAndWidthsFitTheirBuffer) {
  const std::string a(300, 'a'), b(400, 'b'), c(500, 'c'), d(600, 'd');
  BvuStatusAndMsg m(0, "%s|%s|%s|%s", a.c_str(), b.c_str(), c.c_str(), d.c_str());
  EXPECT_EQ(std::string(m.GetText()), a + "|" + b + "|" + c + "|" + d);
  BvuStatusAndMsg wide(0, "[%40s]", "x");  // wider than the sum of the lengths
  EXPECT_EQ(std::strlen(wide.GetText()), 42u);
}

// Counts releases instead of being deleted.
struct Counted : BvuCollectable {
  int releases = 0;
  void Destroy() override { ++releases; }
  const char* GetNameText(std::int32_t) override { return "counted"; }
};

struct Tracked : BvuCollectable {
  explicit Tracked(bool* gone) : gone_(gone) {}
  ~Tracked() override { *gone_ = true; }
  const char* GetNameText(std::int32_t) override { return "tracked"; }
  bool* gone_;
};

TEST(UtilityBases, DestroyAcceptsNullAndLetsSubclassesRelease) {
  BvuCollectable::Destroy(nullptr);
  Counted counted;
  BvuCollectable::Destroy(&counted);
  EXPECT_EQ(counted.releases, 1);
  bool gone = false;
  BvuCollectable::Destroy(new Tracked(&gone));
  EXPECT_TRUE(gone);
}

TEST(UtilityBases, PrintWritesTheNameAndListElementsTheirAddress) {
  Counted counted;
  std::ostringstream name;
  counted.Print(name);
  EXPECT_EQ(name.str(), "counted\n");
  EXPECT_EQ(counted.GetKind(), 0);

  BvuListElem elem;
  std::ostringstream address, expected;
  elem.PrintAddress(address);
  expected << '[' << static_cast<const void*>(&elem) << ']';
  EXPECT_EQ(address.str(), expected.str());
  EXPECT_EQ(elem.next, nullptr);
  std::ostringstream empty;
  elem.Print(empty);
  EXPECT_EQ(empty.str(), "\n");
}

}  // namespace
