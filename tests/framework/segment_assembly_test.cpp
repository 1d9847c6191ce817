#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "framework/segment.h"

namespace {

DseSegment* Received(std::uint32_t id, std::uint32_t index, std::uint32_t count) {
  DseSegment* s = DseSegment::Make(nullptr);
  s->message_id = id;
  s->index = index;
  s->count = count;
  return s;
}

std::vector<std::uint32_t> Indices(const DseSegment* first) {
  std::vector<std::uint32_t> indices;
  for (const DseSegment* s = first; s != nullptr; s = s->next) indices.push_back(s->index);
  return indices;
}

class SegmentAssemblyTest : public ::testing::Test {
 protected:
  // Files a segment; returns the completed chain or null.
  DseSegment* File(DseSegment* s, Status expected = 0) {
    DseSegment* complete = nullptr;
    EXPECT_EQ(DseSegment::Assemble(s, &list_, &complete), expected);
    if (complete != nullptr) done_.push_back(complete);
    return complete;
  }
  void TearDown() override {
    for (DseSegment* chain : done_) DseSegment::ReturnChain(chain);
  }
  DseAssemblyList list_;
  std::vector<DseSegment*> done_;
};

TEST_F(SegmentAssemblyTest, SingleSegmentMessageIsCompleteAtOnce) {
  DseSegment* s = Received(9, 1, 1);
  EXPECT_EQ(File(s), s);
  EXPECT_EQ(list_.Size(), 0u);
}

TEST_F(SegmentAssemblyTest, SegmentsArrivingOutOfOrderComeOutInOrder) {
  EXPECT_EQ(File(Received(5, 3, 3)), nullptr);
  EXPECT_EQ(File(Received(5, 1, 3)), nullptr);
  EXPECT_EQ(list_.Size(), 1u);
  DseSegment* chain = File(Received(5, 2, 3));
  ASSERT_NE(chain, nullptr);
  EXPECT_EQ(Indices(chain), (std::vector<std::uint32_t>{1, 2, 3}));
  EXPECT_EQ(list_.Size(), 0u);
}

TEST_F(SegmentAssemblyTest, DuplicateIsRefusedAndTheRestKept) {
  File(Received(5, 1, 3));
  File(Received(5, 2, 3));
  const std::uint32_t free_before = DseSegment::PoolFreeCount();
  File(Received(5, 2, 3), 0x8000FFFF);
  File(Received(5, 1, 3), 0x8000FFFF);
  EXPECT_EQ(DseSegment::PoolFreeCount(), free_before);  // the refused blocks went back
  EXPECT_EQ(list_.Size(), 1u);
  DseSegment* chain = File(Received(5, 3, 3));
  ASSERT_NE(chain, nullptr);
  EXPECT_EQ(Indices(chain), (std::vector<std::uint32_t>{1, 2, 3}));
}

TEST_F(SegmentAssemblyTest, InterleavedMessagesAreKeptApartById) {
  File(Received(1, 2, 2));
  File(Received(2, 1, 3));
  File(Received(2, 3, 3));
  EXPECT_EQ(list_.Size(), 2u);
  EXPECT_EQ(list_.Head()->message_id, 2u);  // the message extended last comes first
  DseSegment* one = File(Received(1, 1, 2));
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(one->message_id, 1u);
  EXPECT_EQ(Indices(one), (std::vector<std::uint32_t>{1, 2}));
  DseSegment* two = File(Received(2, 2, 3));
  ASSERT_NE(two, nullptr);
  EXPECT_EQ(Indices(two), (std::vector<std::uint32_t>{1, 2, 3}));
}

TEST_F(SegmentAssemblyTest, SegmentsThatCannotBelongToTheMessageAreRefused) {
  File(Received(4, 0, 2), 0x8000FFFF);   // no index 0
  File(Received(4, 3, 2), 0x8000FFFF);   // beyond the count
  File(Received(4, 1, 0), 0x8000FFFF);
  File(Received(4, 1, 2));
  File(Received(4, 2, 5), 0x8000FFFF);   // a different count for the same id
  EXPECT_EQ(list_.Size(), 1u);
  EXPECT_NE(File(Received(4, 2, 2)), nullptr);
}

TEST_F(SegmentAssemblyTest, ClearGivesIncompleteMessagesBack) {
  DseSegment* a = Received(1, 1, 3);
  DseSegment* b = Received(1, 3, 3);
  DseSegment* c = Received(2, 2, 2);
  const std::uint32_t free_before = DseSegment::PoolFreeCount();
  File(a);
  File(b);
  File(c);
  list_.Clear();
  EXPECT_EQ(list_.Size(), 0u);
  EXPECT_EQ(DseSegment::PoolFreeCount(), free_before + 3);
}

// Any arrival order with any repeats completes each message exactly once,
// in index order, refusing every repeat.
TEST_F(SegmentAssemblyTest, RandomArrivalOrdersMatchSortedUniqueModel) {
  std::mt19937 random(99);
  for (int round = 0; round < 200; ++round) {
    const std::uint32_t count = 1 + random() % 12;
    std::vector<std::uint32_t> arrivals;
    for (std::uint32_t i = 1; i <= count; ++i) arrivals.push_back(i);
    for (int extra = random() % 4; extra > 0; --extra) arrivals.push_back(1 + random() % count);
    std::shuffle(arrivals.begin(), arrivals.end(), random);
    std::vector<bool> seen(count + 1, false);
    std::uint32_t distinct = 0;
    DseSegment* chain = nullptr;
    for (std::uint32_t index : arrivals) {
      if (chain != nullptr) {  // the message completed: a repeat now starts a new one
        break;
      }
      const bool repeat = seen[index];
      seen[index] = true;
      if (!repeat) ++distinct;
      chain = File(Received(77, index, count), repeat ? 0x8000FFFF : 0);
      EXPECT_EQ(chain != nullptr, distinct == count) << "round " << round;
    }
    ASSERT_NE(chain, nullptr);
    std::vector<std::uint32_t> expected(count);
    for (std::uint32_t i = 0; i < count; ++i) expected[i] = i + 1;
    EXPECT_EQ(Indices(chain), expected);
    EXPECT_EQ(list_.Size(), 0u);
  }
}

}  // namespace
