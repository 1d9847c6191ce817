// Index quicksorts against a reference order, on the inputs that break
// partition loops: duplicates, runs, equal keys, tiny and large N.
#include "numerics/lsq/index_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numeric>
#include <random>
#include <vector>

namespace {

using Keys = std::vector<std::int64_t>;

// The inputs every sort must survive, from one seeded source.
std::vector<Keys> KeySets() {
  std::mt19937_64 rng(20240611);
  std::vector<Keys> sets;
  for (std::int64_t n : {0, 1, 2, 3, 7, 1000, 4099}) {
    Keys dup(static_cast<std::size_t>(n));
    for (auto& k : dup) k = static_cast<std::int64_t>(rng() % 10) - 5;
    sets.push_back(dup);
    Keys wide(static_cast<std::size_t>(n));
    for (auto& k : wide) k = static_cast<std::int64_t>(rng());
    sets.push_back(wide);
    Keys sorted(static_cast<std::size_t>(n));
    std::iota(sorted.begin(), sorted.end(), -n / 2);
    sets.push_back(sorted);
    sets.push_back(Keys(sorted.rbegin(), sorted.rend()));
    sets.push_back(Keys(static_cast<std::size_t>(n), 42));
  }
  return sets;
}

// IDX is a permutation of 1..N, ordered by `less`, and the keys are as given.
void ExpectSortedPermutation(const std::vector<std::int64_t>& idx,
                             const std::function<bool(std::int64_t, std::int64_t)>& less) {
  std::vector<std::int64_t> seen(idx);
  std::sort(seen.begin(), seen.end());
  for (std::size_t i = 0; i < seen.size(); ++i)
    ASSERT_EQ(seen[i], static_cast<std::int64_t>(i + 1));
  for (std::size_t i = 1; i < idx.size(); ++i)
    ASSERT_FALSE(less(idx[i], idx[i - 1])) << "position " << i + 1;
}

TEST(IndexSort, EverySortOrdersAPermutationAndLeavesKeysAlone) {
  for (const Keys& keys : KeySets()) {
    const auto n = static_cast<std::int64_t>(keys.size());
    const Keys before = keys;
    auto key_less = [&](std::int64_t a, std::int64_t b) { return keys[a - 1] < keys[b - 1]; };
    std::vector<std::int64_t> idx(keys.size());
    QsortIndexInt64(n, keys.data(), idx.data());
    ExpectSortedPermutation(idx, key_less);
    QsortIndexInt64Alt(n, keys.data(), idx.data());
    ExpectSortedPermutation(idx, key_less);

    Keys second(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) second[i] = static_cast<std::int64_t>(i % 3);
    QsortIndexTwoKeys(n, keys.data(), second.data(), idx.data());
    ExpectSortedPermutation(idx, [&](std::int64_t a, std::int64_t b) {
      return keys[a - 1] < keys[b - 1] ||
             (keys[a - 1] == keys[b - 1] && second[a - 1] < second[b - 1]);
    });

    std::vector<double> reals(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) reals[i] = static_cast<double>(keys[i]) * 0.5;
    QsortIndexAbsReal(n, reals.data(), idx.data());
    ExpectSortedPermutation(idx, [&](std::int64_t a, std::int64_t b) {
      return std::fabs(reals[a - 1]) < std::fabs(reals[b - 1]);
    });
    EXPECT_EQ(keys, before);
  }
}

TEST(IndexSort, NothingBelowOneEntryTouchesIdx) {
  std::vector<std::int64_t> idx = {-9, -9};
  const Keys rows = {2, 1};
  QsortIndexInt64(0, rows.data(), idx.data());
  QsortIndexInt64(-4, rows.data(), idx.data());
  EXPECT_EQ(idx, Keys(2, -9));
}

TEST(IndexSort, LargeOrderedAndHugeInputsComplete) {
  // Row-ordered patterns arrive sorted; a last-key pivot made them quadratic.
  Keys ordered(200000);
  std::iota(ordered.begin(), ordered.end(), 1);
  std::vector<std::int64_t> idx(ordered.size());
  QsortIndexInt64(static_cast<std::int64_t>(ordered.size()), ordered.data(), idx.data());
  EXPECT_TRUE(std::is_sorted(idx.begin(), idx.end()));

  // Beyond 2^20 entries a 20-level partition stack ended the process.
  std::mt19937_64 rng(7);
  Keys huge(std::size_t{1} << 21);
  for (auto& k : huge) k = static_cast<std::int64_t>(rng() % 1000);
  idx.assign(huge.size(), 0);
  QsortIndexInt64Alt(static_cast<std::int64_t>(huge.size()), huge.data(), idx.data());
  for (std::size_t i = 1; i < idx.size(); ++i)
    ASSERT_LE(huge[static_cast<std::size_t>(idx[i - 1] - 1)],
              huge[static_cast<std::size_t>(idx[i] - 1)]);
}

}  // namespace
