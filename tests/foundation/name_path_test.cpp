#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/name_path.h"

namespace {

using Components = std::vector<std::string>;

Components Split(const char* path) {
  Components components;
  const std::int32_t count = SplitNamePath(path, &components);
  EXPECT_EQ(count, static_cast<std::int32_t>(components.size()));
  return components;
}

TEST(SplitNamePath, CutsBeforeEverySeparatorOutsideQuotesAndQualifiers) {
  EXPECT_EQ(Split("Plant.Tank(1).Level"), (Components{"Plant", ".Tank", "(1)", ".Level"}));
  EXPECT_EQ(Split("a(1)(2)"), (Components{"a", "(1)", "(2)"}));
  EXPECT_EQ(Split("a.\"b.c(d\".e"), (Components{"a", ".\"b.c(d\"", ".e"}));
  EXPECT_EQ(Split("Blocks(\"T 1\").x"), (Components{"Blocks(\"T 1\")", ".x"}));
  EXPECT_EQ(Split("a.STREAMS(s1).y"), (Components{"a", ".STREAMS(s1)", ".y"}));
  EXPECT_EQ(Split("xBlocks(1)"), (Components{"xBlocks", "(1)"}));
  EXPECT_EQ(Split(".Tank.Level"), (Components{".Tank", ".Level"}));
  EXPECT_EQ(Split(nullptr), (Components{"~"}));
  EXPECT_EQ(Split(""), Components{});
}

struct MatchCase {
  const char* name;
  const char* pattern;
  bool prefix;
  std::int32_t expected;
};

TEST(MatchNamePattern, AnswersAsTheTableSays) {
  const MatchCase cases[] = {
      {"anything", "~", false, kNameAnyComponent},
      {".Tank", ".Tank", false, kNameExactMatch},
      {".tank", ".TANK", false, kNameExactMatch},
      {".Tank", ".t?nk", false, kNameWildMatch},
      {".Tank", "*", false, kNameWildMatch},
      {".Tank", ".T*", false, kNameWildMatch},
      {".Tank", "*k", false, kNameWildMatch},
      {"axb", "a*b", false, kNameWildMatch},
      // "*" takes the first "b" and never backtracks.
      {"axbyb", "a*b", false, kNameNoMatch},
      {".Tan", ".Tank", false, kNameNoMatch},
      {".Tanks", ".Tank", false, kNameNoMatch},
      {".Tanks", ".Tank", true, kNamePrefixMatch},
      {"(1,2)", "(1", true, kNamePrefixMatch},
      {"(1,2)", "(1", false, kNameNoMatch},
      {".\"a*\"", ".\"a*\"", false, kNameExactMatch},
      {".\"ab\"", ".\"a*\"", false, kNameNoMatch},
      {".\"a?\"", ".\"a?\"", false, kNameExactMatch},
      {"ab", "a~b", false, kNameExactMatch},
      {"", "", false, kNameExactMatch},
      {"a", "?", false, kNameWildMatch},
      {"", "?", false, kNameNoMatch},
  };
  for (const MatchCase& c : cases) {
    EXPECT_EQ(MatchNamePattern(c.name, c.pattern, c.prefix), c.expected)
        << "name " << c.name << " pattern " << c.pattern << " prefix " << c.prefix;
  }
}

TEST(NameAnyCase, ComparesAndFoldsOnlyAsciiLetters) {
  EXPECT_TRUE(SameNameAnyCase(".Tank", ".TANK"));
  EXPECT_FALSE(SameNameAnyCase(".Tank", ".Tanks"));
  EXPECT_FALSE(SameNameAnyCase("\xC3\xA9", "\xC3\x89"));
  EXPECT_TRUE(SameNameAnyCase(nullptr, ""));
  EXPECT_EQ(FoldedName("a.B(1)\xC3\xA9"), "A.B(1)\xC3\xA9");
}

}  // namespace
