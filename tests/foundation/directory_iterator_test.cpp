#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "foundation/directory/directory_iterator.h"
#include "foundation/directory/directory_node.h"
#include "foundation/directory/name_path.h"
#include "tests/foundation/tree_samples.h"

namespace {

using testsupport::AddChild;
using testsupport::Paths;
using testsupport::SampleTree;
using Names = std::vector<std::string>;

// A{.b{.c} .x{.c}} B{(1,2){.c} (3)}
class SampleWalk : public ::testing::Test {
 protected:
  SampleWalk() {
    BvuDirectoryProper* a = AddChild(tree_.root(), 0, "A");
    AddChild(AddChild(a, 0, ".b"), 0, ".c");
    AddChild(AddChild(a, 1, ".x"), 0, ".c");
    BvuDirectoryProper* b = AddChild(tree_.root(), 1, "B");
    AddChild(AddChild(b, 0, "(1,2)"), 0, ".c");
    AddChild(b, 1, "(3)");
  }

  Names Matches(const char* path) {
    BvuDirectoryIterator* iterator = nullptr;
    std::vector<BvuDirectoryNode*> found;
    BvuDirectoryNode* node = tree_.root()->FindFirstMatch(path, &iterator);
    while (node != nullptr) {
      found.push_back(node);
      if (iterator->NextMatch(&node) != status::kOk) node = nullptr;
    }
    EXPECT_EQ(iterator->NextMatch(&node), kBvuEmptySlot);
    DeleteDirectoryIterator(iterator);
    return Paths(found);
  }

  SampleTree tree_;
};

TEST_F(SampleWalk, PatternsMatchOneLevelPerComponentInAnyLetterCase) {
  const Names all = {"A", "A.b", "A.b.c", "A.x", "A.x.c", "B", "B(1,2)", "B(1,2).c", "B(3)"};
  EXPECT_EQ(Matches(nullptr), all);  // every node below, once, parents first
  const std::pair<const char*, Names> cases[] = {
      {"", {}},
      {"A.*.c", {"A.b.c", "A.x.c"}},
      {"a.?", {"A.b", "A.x"}},
      {"*", {"A", "B"}},
      {"A.nothing", {}},
      {"~", all},  // a tilde matches the next component at any depth
      {"~.c", {"A.b.c", "A.x.c", "B(1,2).c"}},
      {"~(3)", {"B(3)"}},
      {"A.~", {"A.b", "A.b.c", "A.x", "A.x.c"}},
      {"A.~.c", {"A.b.c", "A.x.c"}},
      {"B(1(2)", {"B(1,2)"}},  // an index split over components matches several indices
      {"B(1(2).c", {"B(1,2).c"}},
      {"B(1)", {}},
  };
  for (const auto& [pattern, names] : cases) EXPECT_EQ(Matches(pattern), names) << pattern;
  EXPECT_STREQ(tree_.root()->FindFirstMatch("~.c", nullptr)->GetNameText(), "A.b.c");
  EXPECT_EQ(tree_.root()->FindFirstMatch("Z", nullptr), nullptr);
}

struct Pairs {
  std::vector<std::pair<std::string, std::string>> seen;
  Status answer = status::kOk;
  static Status Collect(void* argument, BvuDirectoryNode* first, BvuDirectoryNode* second) {
    auto* pairs = static_cast<Pairs*>(argument);
    // One path buffer serves every node: copy the first text before the second.
    std::string first_path = first->GetNameText();
    pairs->seen.emplace_back(std::move(first_path),
                             second != nullptr ? second->GetNameText() : "-");
    return pairs->answer;
  }
};

TEST_F(SampleWalk, MatchPathPairsNodesOfTheSameNamesInAnyCase) {
  SampleTree other;
  BvuDirectoryProper* a = AddChild(other.root(), 5, "a");
  AddChild(AddChild(a, 9, ".B"), 0, ".C");
  Pairs pairs;
  EXPECT_EQ(tree_.root()->MatchPath("~.c", other.root(), &pairs, Pairs::Collect, 0), status::kOk);
  EXPECT_EQ(pairs.seen, (decltype(pairs.seen){{"A.b.c", "a.B.C"}}));
  pairs.seen.clear();
  EXPECT_EQ(tree_.root()->MatchPath("Blocks(\"A\").*", other.root(), &pairs, Pairs::Collect, 1),
            status::kOk);
  EXPECT_EQ(pairs.seen, (decltype(pairs.seen){{"A.b", "a.B"}, {"A.x", "-"}}));
  EXPECT_EQ(tree_.root()->MatchPath("", other.root(), &pairs, Pairs::Collect, 0), kBvuEmptySlot);
  EXPECT_EQ(tree_.root()->MatchPath("A", nullptr, &pairs, Pairs::Collect, 0), kBvuEmptySlot);
}

TEST_F(SampleWalk, MatchPathGivesEveryPairWhateverTheCallbackAnswers) {
  Pairs pairs;
  for (const Status answer : {0x00320000u, 0x80000001u, 0xA000FFFFu}) {
    pairs.seen.clear();
    pairs.answer = answer;
    EXPECT_EQ(tree_.root()->MatchPath("~", tree_.root(), &pairs, Pairs::Collect, 0), status::kOk);
    EXPECT_EQ(pairs.seen.size(), 9u) << std::hex << answer;
  }
}

TEST_F(SampleWalk, PairIteratorWalksUnpartneredSubtreesAlone) {
  SampleTree other;
  AddChild(other.root(), 0, "b");
  BvuDirectoryPairIterator pairs(tree_.root(), other.root());
  std::vector<std::string> seen;
  BvuDirectoryNode* first = nullptr;
  BvuDirectoryNode* second = nullptr;
  while (pairs.Next(&first, &second) == status::kOk) {
    seen.push_back(std::string(first->GetNameText()) + "=" +
                   (second != nullptr ? second->Name() : "-"));
  }
  EXPECT_EQ(seen, (Names{"A=-", "A.b=-", "A.b.c=-", "A.x=-", "A.x.c=-", "B=b", "B(1,2)=-",
                         "B(1,2).c=-", "B(3)=-"}));
  EXPECT_EQ(pairs.Next(&first, &second), kBvuEmptySlot);
}

struct Visits {
  std::vector<std::string> order;
  std::string fail_at = "none";
  static Status Visit(BvuDirectoryNode* node, void* argument) {
    auto* visits = static_cast<Visits*>(argument);
    visits->order.emplace_back(node->GetNameText());
    return visits->order.back() == visits->fail_at ? 0x80000001u : status::kOk;
  }
};

TEST_F(SampleWalk, PostOrderVisitsChildrenFirstAndAFailureStopsTheSiblings) {
  Visits visits;
  EXPECT_EQ(tree_.root()->WalkPostOrder(Visits::Visit, &visits), status::kOk);
  EXPECT_EQ(visits.order,
            (Names{"A.b.c", "A.b", "A.x.c", "A.x", "A", "B(1,2).c", "B(1,2)", "B(3)", "B", ""}));
  visits = Visits{{}, "A.b"};
  EXPECT_EQ(tree_.root()->ChildAt(0)->WalkPostOrder(Visits::Visit, &visits), status::kOk);
  EXPECT_EQ(visits.order, (Names{"A.b.c", "A.b", "A"}));
  visits = Visits{{}, "A"};
  EXPECT_EQ(tree_.root()->ChildAt(0)->WalkPostOrder(Visits::Visit, &visits), 0x80000001u);
}

using Components = std::vector<std::string>;

Components Split(const char* path) {
  Components components;
  const std::int32_t count = SplitNamePath(path, &components);
  EXPECT_EQ(count, static_cast<std::int32_t>(components.size()));
  return components;
}

TEST(SplitNamePath, CutsBeforeEverySeparatorOutsideQuotesAndQualifiers) {
  EXPECT_EQ(Split("Plant.Tank(1).Level"), (Components{"Plant", ".Tank", "(1)", ".Level"}));
  EXPECT_EQ(Split("a.\"b.c(d\".e"), (Components{"a", ".\"b.c(d\"", ".e"}));
  EXPECT_EQ(Split("Blocks(\"T 1\").x"), (Components{"Blocks(\"T 1\")", ".x"}));
  EXPECT_EQ(Split("a.STREAMS(s1).y"), (Components{"a", ".STREAMS(s1)", ".y"}));
  EXPECT_EQ(Split("xBlocks(1)"), (Components{"xBlocks", "(1)"}));
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
      {".Tank", ".T*", false, kNameWildMatch},
      {"axb", "a*b", false, kNameWildMatch},
      // "*" takes the first "b" and never backtracks.
      {"axbyb", "a*b", false, kNameNoMatch},
      {".Tan", ".Tank", false, kNameNoMatch},
      {".Tanks", ".Tank", true, kNamePrefixMatch},
      {"(1,2)", "(1", true, kNamePrefixMatch},
      {"(1,2)", "(1", false, kNameNoMatch},
      {".\"a*\"", ".\"a*\"", false, kNameExactMatch},
      {".\"ab\"", ".\"a*\"", false, kNameNoMatch},
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
