#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "foundation/directory_node.h"

namespace {

// Nodes without a parent: the table only holds their addresses.
std::vector<std::unique_ptr<BvuDirectoryNode>> MakeItems(int count) {
  std::vector<std::unique_ptr<BvuDirectoryNode>> items;
  for (int at = 0; at < count; ++at) items.push_back(std::make_unique<BvuDirectoryNode>(nullptr, "item"));
  return items;
}

void ExpectSameAsModel(BvuDirectoryProper& table, const std::map<int, BvuDirectoryNode*>& model,
                       int lowest_used, int highest_used) {
  ASSERT_EQ(table.HighIndex(), highest_used);
  if (highest_used < 0) {
    ASSERT_EQ(table.LowIndex(), -1);
    return;
  }
  // Growing to the back may leave empty slots below the lowest index used.
  ASSERT_GE(table.LowIndex(), 0);
  ASSERT_LE(table.LowIndex(), lowest_used);
  ASSERT_EQ(table.SlotCount(), table.HighIndex() - table.LowIndex() + 1);
  ASSERT_GE(table.Capacity(), table.SlotCount());
  for (int index = table.LowIndex() - 3; index <= table.HighIndex() + 3; ++index) {
    const auto found = model.find(index);
    ASSERT_EQ(table.ChildAt(index), found != model.end() ? found->second : nullptr) << "index " << index;
  }
}

TEST(LookupTable, FollowsAMapUnderRandomInsertReplaceAndRemove) {
  auto items = MakeItems(40);
  for (unsigned seed = 1; seed <= 8; ++seed) {
    std::mt19937 random(seed);
    BvuDirectoryProper table(nullptr, "table");
    // Indices no id can name are refused.
    EXPECT_EQ(table.InsertChildAt(-1, items[0].get()), status::kBadArguments);
    EXPECT_EQ(table.InsertChildAt(0xFFFFFE, items[0].get()), status::kBadArguments);
    std::map<int, BvuDirectoryNode*> model;
    int lowest = INT_MAX;
    int highest = -2;
    for (int step = 0; step < 800; ++step) {
      // Indices near the used range, well below it (growth to the back,
      // down to 0) and far above it (growth to the front).
      const int low = model.empty() ? 0 : std::max(lowest - 20, 0);
      const int span = model.empty() ? 100 : highest - low + 40;
      int index = low + static_cast<int>(random() % static_cast<unsigned>(span));
      if (random() % 10 == 0) index = static_cast<int>(random() % 3000);
      BvuDirectoryNode* item = items[random() % items.size()].get();
      switch (random() % 4) {
        case 0:
        case 1:
          ASSERT_EQ(table.InsertChildAt(index, item), status::kOk);
          model[index] = item;
          lowest = std::min(lowest, index);
          highest = std::max(highest, index);
          break;
        case 2: {
          if (model.empty()) break;
          const auto at = std::next(model.begin(), static_cast<long>(random() % model.size()));
          EXPECT_EQ(table.ReplaceChildAt(at->first, item), at->second);
          at->second = item;
          break;
        }
        default: {
          BvuDirectoryNode* removed = nullptr;
          const auto found = model.find(index);
          EXPECT_EQ(table.RemoveChildAt(index, &removed), found != model.end() ? status::kOk : kBvuEmptySlot);
          EXPECT_EQ(removed, found != model.end() ? found->second : nullptr);
          if (found != model.end()) model.erase(found);
        }
      }
      ASSERT_NO_FATAL_FAILURE(ExpectSameAsModel(table, model, lowest, highest)) << "seed " << seed << " step " << step;
    }
    table.Reset();
  }
}

TEST(LookupTable, InsertingBelowAFullTableKeepsEveryChildAtItsIndex) {
  auto items = MakeItems(5);
  // Children at 2..5 fill four slots; index 1 or 0 below them needs a new
  // array with the children at its back.
  for (const int below : {1, 0}) {
    BvuDirectoryProper table(nullptr, "t");
    for (int index = 2; index <= 5; ++index) table.InsertChildAt(index, items[index - 1].get());
    ASSERT_EQ(table.Capacity(), 4);
    table.InsertChildAt(below, items[0].get());
    EXPECT_EQ(table.LowIndex(), 0);
    EXPECT_EQ(table.HighIndex(), 5);
    EXPECT_EQ(table.ChildAt(below), items[0].get());
    for (int index = 2; index <= 5; ++index) EXPECT_EQ(table.ChildAt(index), items[index - 1].get()) << index;
    table.Reset();
  }
}

}  // namespace
