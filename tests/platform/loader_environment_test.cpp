// Which LD_LIBRARY_PATH entries the engine keeps: only folders named from
// the root; an empty or relative one would be the current folder.
#include "platform/loader_environment.h"

#include <gtest/gtest.h>

namespace {

using platform::AbsoluteSearchEntries;

TEST(LoaderEnvironment, OnlyEntriesFromTheRootAreKept) {
  bool dropped = true;
  EXPECT_EQ(AbsoluteSearchEntries("/usr/lib:/opt/x/lib", &dropped), "/usr/lib:/opt/x/lib");
  EXPECT_FALSE(dropped);
  // The loader splits at ';' too.
  EXPECT_EQ(AbsoluteSearchEntries("/a;/b", &dropped), "/a:/b");
  EXPECT_FALSE(dropped);
  for (const auto& [value, kept] : std::initializer_list<std::pair<const char*, const char*>>{
           {"/nonexistent:", "/nonexistent"},
           {":/usr/lib", "/usr/lib"},
           {".", ""},
           {"/a::/b", "/a:/b"},
           {"lib:/a;./b;", "/a"},
           {"$ORIGIN", ""}}) {
    dropped = false;
    EXPECT_EQ(AbsoluteSearchEntries(value, &dropped), kept) << value;
    EXPECT_TRUE(dropped) << value;
  }
}

}  // namespace
