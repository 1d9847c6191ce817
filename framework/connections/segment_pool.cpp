// The process-wide pool of segment blocks: refilled 20 at a time; the first
// 1,024 blocks made always come back to it, later ones are freed once 512
// lie free, so that a burst of traffic does not pin its memory for ever.
#include <new>

#include "framework/connections/segment.h"

namespace {

constexpr std::uint32_t kRefill = 20;
constexpr std::uint32_t kPoolableBelow = 1024;
constexpr std::uint32_t kSurplusAt = 512;

struct Pool {
  DseSegment* head = nullptr;
  DseSegment* tail = nullptr;
  std::uint32_t free_count = 0;
  std::uint32_t made = 0;
};

Pool& ThePool() {
  static Pool pool;
  return pool;
}

void Append(Pool& pool, DseSegment* block) {
  block->pool_link = nullptr;
  if (pool.tail != nullptr) {
    pool.tail->pool_link = block;
  } else {
    pool.head = block;
  }
  pool.tail = block;
  ++pool.free_count;
}

DseSegment* NewBlock(bool poolable) {
  auto* block = new (std::nothrow) DseSegment();
  if (block != nullptr) block->poolable = poolable ? 1 : 0;
  return block;
}

}  // namespace

DseSegment* DseSegment::TakeFromPool() {
  Pool& pool = ThePool();
  if (pool.head != nullptr) {
    DseSegment* block = pool.head;
    pool.head = block->pool_link;
    if (pool.head == nullptr) pool.tail = nullptr;
    --pool.free_count;
    block->pool_link = nullptr;
    return block;
  }
  pool.made += kRefill;
  const bool poolable = pool.made < kPoolableBelow;
  for (std::uint32_t i = 0; i + 1 < kRefill; ++i) {
    DseSegment* block = NewBlock(poolable);
    if (block == nullptr) {
      // Count only what exists, so that the thresholds stay honest.
      pool.made -= kRefill - i;
      return pool.head != nullptr ? TakeFromPool() : nullptr;
    }
    Append(pool, block);
  }
  DseSegment* block = NewBlock(poolable);
  if (block == nullptr) {
    --pool.made;
    return TakeFromPool();
  }
  return block;
}

void DseSegment::ReturnToPool(DseSegment* block) {
  if (block == nullptr || block->use_count >= 1) return;
  Pool& pool = ThePool();
  if (block->poolable == 0 && pool.free_count >= kSurplusAt) {
    delete block;
    --pool.made;
    return;
  }
  Append(pool, block);
}

void DseSegment::ReturnChain(DseSegment* first) {
  while (first != nullptr) {
    DseSegment* after = first->next;
    ReturnToPool(first);
    first = after;
  }
}

void DseSegment::DrainPool() {
  Pool& pool = ThePool();
  while (pool.head != nullptr) {
    DseSegment* block = pool.head;
    pool.head = block->pool_link;
    delete block;
    --pool.made;
  }
  pool.tail = nullptr;
  pool.free_count = 0;
}

std::uint32_t DseSegment::PoolFreeCount() { return ThePool().free_count; }
std::uint32_t DseSegment::PoolMadeCount() { return ThePool().made; }
