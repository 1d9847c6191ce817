#include "numerics/lsq/index_sort.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace {

// Shorter part first keeps a segment at level k below N / 2^(k-1) entries,
// so 64 levels cover every 64-bit N.
constexpr int kStackLevels = 64;

struct PartitionStack {
  std::int64_t lo[kStackLevels];
  std::int64_t hi[kStackLevels];
};

PartitionStack g_int64_stack;
PartitionStack g_int64_alt_stack;
PartitionStack g_two_keys_stack;
PartitionStack g_abs_real_stack;

// Sorts idx[0..n-1] (entry numbers 1..n) so that less(a, b) never holds for a
// later a and an earlier b. `less` compares two entry numbers.
template <typename Less>
void IndexQuicksort(std::int64_t n, std::int64_t* idx, PartitionStack& stack, Less less) {
  if (n < 1) return;
  for (std::int64_t i = 0; i < n; ++i) idx[i] = i + 1;
  int level = 0;
  stack.lo[0] = 0;
  stack.hi[0] = n - 1;
  for (;;) {
    std::int64_t lo = stack.lo[level];
    std::int64_t hi = stack.hi[level];
    while (lo >= hi) {
      if (level == 0) return;
      --level;
      lo = stack.lo[level];
      hi = stack.hi[level];
    }
    // Median of three moved to hi: already ordered input (the usual row-ordered
    // pattern) would otherwise partition one entry at a time.
    const std::int64_t mid = lo + (hi - lo) / 2;
    if (less(idx[mid], idx[lo])) std::swap(idx[mid], idx[lo]);
    if (less(idx[hi], idx[lo])) std::swap(idx[hi], idx[lo]);
    if (less(idx[hi], idx[mid])) std::swap(idx[hi], idx[mid]);
    std::swap(idx[mid], idx[hi]);
    const std::int64_t pivot = idx[hi];

    std::int64_t i = lo - 1;
    std::int64_t j = hi;
    for (;;) {
      while (less(idx[++i], pivot)) {
      }
      bool crossed = false;
      for (;;) {
        --j;
        if (i >= j) {  // tested on every step so the scan never leaves [lo, hi]
          crossed = true;
          break;
        }
        if (!less(pivot, idx[j])) break;
      }
      if (crossed) break;
      std::swap(idx[i], idx[j]);
    }
    std::swap(idx[i], idx[hi]);

    if (level + 1 >= kStackLevels) {
      std::puts("  --- STACK OVERFLOW ----");
      std::abort();
    }
    if (i - lo < hi - i) {
      stack.lo[level + 1] = lo;
      stack.hi[level + 1] = i - 1;
      stack.lo[level] = i + 1;
    } else {
      stack.lo[level + 1] = i + 1;
      stack.hi[level + 1] = hi;
      stack.hi[level] = i - 1;
    }
    ++level;
  }
}

}  // namespace

void QsortIndexInt64(const std::int64_t& n, const std::int64_t* key, std::int64_t* idx) {
  IndexQuicksort(n, idx, g_int64_stack,
                 [key](std::int64_t a, std::int64_t b) { return key[a - 1] < key[b - 1]; });
}

void QsortIndexInt64Alt(const std::int64_t& n, const std::int64_t* key, std::int64_t* idx) {
  IndexQuicksort(n, idx, g_int64_alt_stack,
                 [key](std::int64_t a, std::int64_t b) { return key[a - 1] < key[b - 1]; });
}

void QsortIndexTwoKeys(const std::int64_t& n, const std::int64_t* key1, const std::int64_t* key2,
                       std::int64_t* idx) {
  IndexQuicksort(n, idx, g_two_keys_stack, [key1, key2](std::int64_t a, std::int64_t b) {
    return key1[a - 1] < key1[b - 1] || (key1[a - 1] == key1[b - 1] && key2[a - 1] < key2[b - 1]);
  });
}

void QsortIndexAbsReal(const std::int64_t& n, const double* x, std::int64_t* idx) {
  IndexQuicksort(n, idx, g_abs_real_stack, [x](std::int64_t a, std::int64_t b) {
    return std::fabs(x[a - 1]) < std::fabs(x[b - 1]);
  });
}
