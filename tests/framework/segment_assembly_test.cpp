#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "framework/segment.h"

namespace {

using Indices = std::vector<std::uint32_t>;

DseSegment* Received(std::uint32_t id, std::uint32_t index, std::uint32_t count) {
  DseSegment* s = DseSegment::Make(nullptr);
  s->message_id = id;
  s->index = index;
  s->count = count;
  return s;
}

Indices IndicesOf(const DseSegment* first) {
  Indices indices;
  for (const DseSegment* s = first; s != nullptr; s = s->next) indices.push_back(s->index);
  return indices;
}

class SegmentAssemblyTest : public ::testing::Test {
 protected:
  // Files a segment; the indices of the chain it completed (empty while incomplete).
  Indices File(std::uint32_t id, std::uint32_t index, std::uint32_t count, Status expected = 0) {
    DseSegment* complete = nullptr;
    EXPECT_EQ(DseSegment::Assemble(Received(id, index, count), &list_, &complete), expected);
    const Indices indices = IndicesOf(complete);
    if (complete != nullptr) {
      EXPECT_EQ(complete->message_id, id);
    }
    DseSegment::ReturnChain(complete);
    return indices;
  }
  DseAssemblyList list_;
};

TEST_F(SegmentAssemblyTest, InterleavedMessagesAreKeptApartByIdAndComeOutInOrder) {
  EXPECT_EQ(File(9, 1, 1), Indices{1});
  EXPECT_TRUE(File(1, 2, 2).empty());
  EXPECT_TRUE(File(2, 3, 3).empty());
  EXPECT_TRUE(File(2, 1, 3).empty());
  EXPECT_EQ(list_.Size(), 2u);
  EXPECT_EQ(list_.Head()->message_id, 2u);  // the message extended last comes first
  EXPECT_EQ(File(1, 1, 2), (Indices{1, 2}));
  EXPECT_EQ(File(2, 2, 3), (Indices{1, 2, 3}));
  EXPECT_EQ(list_.Size(), 0u);
}

TEST_F(SegmentAssemblyTest, RefusedSegmentsGoBackAndTheRestIsKept) {
  File(4, 1, 3);
  File(4, 2, 3);
  const std::uint32_t free_before = DseSegment::PoolFreeCount();
  File(4, 2, 3, 0x8000FFFF);  // a duplicate
  File(4, 0, 3, 0x8000FFFF);  // no index 0
  File(4, 4, 3, 0x8000FFFF);  // beyond the count
  File(4, 3, 5, 0x8000FFFF);  // a different count for the same id
  File(5, 1, 0, 0x8000FFFF);
  EXPECT_EQ(DseSegment::PoolFreeCount(), free_before);
  EXPECT_EQ(list_.Size(), 1u);
  EXPECT_EQ(File(4, 3, 3), (Indices{1, 2, 3}));
}

TEST_F(SegmentAssemblyTest, ClearGivesIncompleteMessagesBack) {
  DseSegment* segments[] = {Received(1, 1, 3), Received(1, 3, 3), Received(2, 2, 2)};
  const std::uint32_t free_before = DseSegment::PoolFreeCount();
  DseSegment* complete = nullptr;
  for (DseSegment* s : segments) DseSegment::Assemble(s, &list_, &complete);
  list_.Clear();
  EXPECT_EQ(list_.Size(), 0u);
  EXPECT_EQ(DseSegment::PoolFreeCount(), free_before + 3);
}

// Any arrival order with any repeats completes the message exactly once,
// in index order, refusing every repeat.
TEST_F(SegmentAssemblyTest, RandomArrivalOrdersMatchSortedUniqueModel) {
  std::mt19937 random(99);
  for (int round = 0; round < 200; ++round) {
    const std::uint32_t count = 1 + random() % 12;
    Indices arrivals(count);
    std::iota(arrivals.begin(), arrivals.end(), 1u);
    const Indices expected = arrivals;
    for (int extra = random() % 4; extra > 0; --extra) arrivals.push_back(1 + random() % count);
    std::shuffle(arrivals.begin(), arrivals.end(), random);
    std::vector<bool> seen(count + 1, false);
    std::uint32_t distinct = 0;
    for (std::uint32_t index : arrivals) {
      const bool repeat = seen[index];
      seen[index] = true;
      distinct += repeat ? 0 : 1;
      const Indices done = File(77, index, count, repeat ? 0x8000FFFF : 0);
      EXPECT_EQ(done, distinct == count ? expected : Indices{}) << "round " << round;
      if (distinct == count) break;  // a repeat now would start a new message
    }
    EXPECT_EQ(list_.Size(), 0u);
  }
}

}  // namespace
