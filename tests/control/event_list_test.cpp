// The timed-event list: time order, merging within the tolerance by group
// bits, and a notice for every event that leaves it.
#include "control/problem/event_list.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

class EventListTest : public ::testing::Test {
 protected:
  std::vector<std::uint64_t> gone;
  SimEventList list{[this](std::uint64_t id) { gone.push_back(id); }};

  std::vector<std::pair<double, std::uint32_t>> Contents() {
    std::vector<std::pair<double, std::uint32_t>> out;
    while (!list.Empty()) {
      SimExplicitEvent event;
      list.First(true, &event);
      out.emplace_back(event.time, event.kind);
    }
    return out;
  }
};

TEST_F(EventListTest, InsertionKeepsTimeOrderAndHandlesAreUnique) {
  std::uint64_t a = 0, b = 0, c = 0;
  EXPECT_EQ(list.Add(16, 2.0, -1.0, &a), 0u);
  EXPECT_EQ(list.Add(16, 0.5, -1.0, &b), 0u);
  EXPECT_EQ(list.Add(16, 1.0, -1.0, &c), 0u);
  EXPECT_NE(a, b);
  EXPECT_NE(b, c);
  EXPECT_NE(a, 0u);
  using Row = std::pair<double, std::uint32_t>;
  EXPECT_EQ(Contents(), (std::vector<Row>{{0.5, 16}, {1.0, 16}, {2.0, 16}}));
  EXPECT_EQ(gone, (std::vector<std::uint64_t>{b, c, a}));
}

TEST_F(EventListTest, CloseEventsOfOneGroupMergeOthersDoNot) {
  std::uint64_t first = 0, merged = 0;
  ASSERT_EQ(list.Add(66, 1.0, -1.0, &first), 0u);
  EXPECT_EQ(list.Add(65, 1.00005, 1e-4, &merged), SimEventList::kMerged);
  EXPECT_EQ(merged, first);
  ASSERT_EQ(list.Size(), 1u);
  EXPECT_EQ(list.Head()->kind, 67u);
  EXPECT_TRUE(gone.empty());

  // Greater group bits stop the walk: 65 goes before the 130.
  list.Clear();
  ASSERT_EQ(list.Add(130, 3.0, -1.0, nullptr), 0u);
  EXPECT_EQ(list.Add(65, 3.0, -1.0, nullptr), 0u);
  using Row = std::pair<double, std::uint32_t>;
  EXPECT_EQ(Contents(), (std::vector<Row>{{3.0, 65}, {3.0, 130}}));
  // Smaller group bits are walked past.
  ASSERT_EQ(list.Add(16, 4.0, -1.0, nullptr), 0u);
  EXPECT_EQ(list.Add(65, 4.0, -1.0, nullptr), 0u);
  EXPECT_EQ(Contents(), (std::vector<Row>{{4.0, 16}, {4.0, 65}}));
}

TEST_F(EventListTest, TheToleranceIsOnlyLowered) {
  EXPECT_EQ(list.Tolerance(), 1e-4);
  list.Add(16, 1.0, 1e-6, nullptr);
  EXPECT_EQ(list.Tolerance(), 1e-6);
  list.Add(16, 2.0, 1e-3, nullptr);
  EXPECT_EQ(list.Tolerance(), 1e-6);
  EXPECT_EQ(list.LowerTolerance(1e-3), 1u);
  EXPECT_EQ(list.LowerTolerance(1e-8), 0u);
  // Now 1.0 and 1.00005 are apart.
  EXPECT_EQ(list.Add(16, 1.00005, -1.0, nullptr), 0u);
  EXPECT_EQ(list.Size(), 3u);
}

TEST_F(EventListTest, FirstEventLooksOrTakesAndEveryRemovalIsAnnounced) {
  SimExplicitEvent event;
  EXPECT_EQ(list.First(false, &event), SimEventList::kEmpty);
  EXPECT_EQ(list.First(true, &event), SimEventList::kEmpty);
  std::uint64_t a = 0, b = 0;
  list.Add(32, 1.0, -1.0, &a);
  list.Add(32, 2.0, -1.0, &b);
  EXPECT_EQ(list.First(false, &event), 0u);
  EXPECT_EQ(event.id, a);
  EXPECT_EQ(list.Size(), 2u);
  EXPECT_TRUE(gone.empty());
  EXPECT_EQ(list.First(true, &event), 0u);
  EXPECT_EQ(gone, (std::vector<std::uint64_t>{a}));
  list.Clear();
  EXPECT_EQ(gone, (std::vector<std::uint64_t>{a, b}));
  // A new event never takes a handle that was given out before.
  std::uint64_t c = 0;
  list.Add(32, 1.0, -1.0, &c);
  EXPECT_GT(c, b);
}

}  // namespace
