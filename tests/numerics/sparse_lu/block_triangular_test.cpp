// Transversal and block triangular order against SuiteSparse BTF and a recursive Tarjan.
#include <gtest/gtest.h>

#include <btf.h>

#include <algorithm>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "numerics/sparse_lu/block_triangular.h"
#include "tests/numerics/sparse_lu/reference.h"

namespace {

using List = std::vector<std::int64_t>;
using slu_test::IsPermutation;
using slu_test::Joined;

// Lists stored back to back with a gap of one unused slot between them.
struct Pattern {
  std::int64_t n = 0;
  std::vector<std::int64_t> entries, start, count;

  explicit Pattern(const std::vector<List>& lists) : n(static_cast<std::int64_t>(lists.size())) {
    for (const List& list : lists) {
      entries.push_back(-7);  // the gap: never read
      start.push_back(static_cast<std::int64_t>(entries.size()) + 1);
      count.push_back(static_cast<std::int64_t>(list.size()));
      entries.insert(entries.end(), list.begin(), list.end());
    }
    if (entries.empty()) entries.push_back(0);
  }
  const List ListAt(std::int64_t i) const {
    const auto s = static_cast<std::size_t>(start[i - 1] - 1);
    return List(entries.begin() + s, entries.begin() + s + count[i - 1]);
  }
  // The lists in the order given by `which` (which[k] = old list at k).
  Pattern Reordered(const std::vector<std::int64_t>& which) const {
    std::vector<List> lists;
    for (std::int64_t old : which) lists.push_back(ListAt(old));
    return Pattern(lists);
  }
};

struct Transversal {
  std::vector<std::int64_t> match;
  std::int64_t rank = -1;
};

Transversal Match(const Pattern& p) {
  Transversal t;
  t.match.assign(static_cast<std::size_t>(p.n), 0);
  std::vector<std::int64_t> work(static_cast<std::size_t>(4 * p.n) + 1);
  const auto len = static_cast<std::int64_t>(p.entries.size());
  MaximumTransversal(&p.n, p.entries.data(), &len, p.start.data(), p.count.data(), t.match.data(),
                     &t.rank, work.data());
  // The form with separate work arrays gives the same result.
  const auto size = static_cast<std::size_t>(p.n);
  std::vector<std::int64_t> match(size), pred(size), look(size), mark(size), next(size);
  std::int64_t rank = -1;
  MaximumTransversalArrays(&p.n, p.entries.data(), &len, p.start.data(), p.count.data(),
                           match.data(), &rank, pred.data(), look.data(), mark.data(), next.data());
  EXPECT_EQ(rank, t.rank);
  EXPECT_EQ(match, t.match);
  return t;
}

struct Blocks {
  std::vector<std::int64_t> order, blockstart;
  std::int64_t count = -1;
};

Blocks Order(const Pattern& p) {
  Blocks b;
  b.order.assign(static_cast<std::size_t>(p.n), 0);
  b.blockstart.assign(static_cast<std::size_t>(p.n), 0);
  std::vector<std::int64_t> work(static_cast<std::size_t>(3 * p.n) + 1);
  const auto len = static_cast<std::int64_t>(p.entries.size());
  BlockTriangularOrder(&p.n, p.entries.data(), &len, p.start.data(), p.count.data(), b.order.data(),
                       b.blockstart.data(), &b.count, work.data());
  const auto size = static_cast<std::size_t>(p.n);
  std::vector<std::int64_t> order(size), blockstart(size), low(size), number(size), prev(size);
  std::int64_t count = -1;
  BlockTriangularOrderArrays(&p.n, p.entries.data(), &len, p.start.data(), p.count.data(),
                             order.data(), blockstart.data(), &count, low.data(), number.data(),
                             prev.data());
  EXPECT_EQ(count, b.count);
  EXPECT_EQ(order, b.order);
  EXPECT_EQ(blockstart, b.blockstart);
  b.blockstart.resize(static_cast<std::size_t>(b.count));
  return b;
}

std::vector<List> RandomLists(std::int64_t n, double density, std::mt19937_64& rng) {
  std::vector<List> lists(static_cast<std::size_t>(n));
  std::bernoulli_distribution present(density);
  for (auto& list : lists) {
    for (std::int64_t j = 1; j <= n; ++j) {
      if (present(rng)) list.push_back(j);
    }
    std::shuffle(list.begin(), list.end(), rng);
  }
  return lists;
}

// SuiteSparse's view: the lists as columns of a compressed-column matrix.
struct Compressed {
  std::vector<SuiteSparse_long> ap, ai;
  explicit Compressed(const Pattern& p) {
    ap.push_back(0);
    for (std::int64_t i = 1; i <= p.n; ++i) {
      for (std::int64_t c : p.ListAt(i)) ai.push_back(c - 1);
      ap.push_back(static_cast<SuiteSparse_long>(ai.size()));
    }
    if (ai.empty()) ai.push_back(0);
  }
};

// Structural rank by btf_l_maxtrans and the sorted block orders by
// btf_l_strongcomp.
std::pair<std::int64_t, List> Btf(const Pattern& p) {
  Compressed c(p);
  const auto n = static_cast<std::size_t>(p.n);
  std::vector<SuiteSparse_long> match(n), perm(n), r(n + 1), work(5 * n);
  double done = 0.0;
  const auto rank =
      btf_l_maxtrans(p.n, p.n, c.ap.data(), c.ai.data(), 0.0, &done, match.data(), work.data());
  const auto blocks =
      btf_l_strongcomp(p.n, c.ap.data(), c.ai.data(), nullptr, perm.data(), r.data(), work.data());
  List orders;
  for (SuiteSparse_long b = 0; b < blocks; ++b) orders.push_back(r[b + 1] - r[b]);
  std::sort(orders.begin(), orders.end());
  return {rank, orders};
}

// Tarjan's search written recursively: start nodes in increasing order, list
// entries in stored order; a block's nodes are placed as they leave the stack.
Blocks RecursiveTarjan(const Pattern& p) {
  const auto n = static_cast<std::size_t>(p.n);
  std::vector<std::int64_t> index(n + 1, 0), low(n + 1, 0), stack;
  std::vector<bool> on_stack(n + 1, false);
  std::int64_t counter = 0;
  Blocks b;
  std::function<void(std::int64_t)> visit = [&](std::int64_t v) {
    index[v] = low[v] = ++counter;
    stack.push_back(v);
    on_stack[v] = true;
    for (std::int64_t w : p.ListAt(v)) {
      if (index[w] == 0) {
        visit(w);
        low[v] = std::min(low[v], low[w]);
      } else if (on_stack[w]) {
        low[v] = std::min(low[v], index[w]);
      }
    }
    if (low[v] != index[v]) return;
    b.blockstart.push_back(static_cast<std::int64_t>(b.order.size()) + 1);
    for (;;) {
      const std::int64_t w = stack.back();
      stack.pop_back();
      on_stack[w] = false;
      b.order.push_back(w);
      if (w == v) break;
    }
  };
  for (std::int64_t s = 1; s <= p.n; ++s) {
    if (index[s] == 0) visit(s);
  }
  b.count = static_cast<std::int64_t>(b.blockstart.size());
  return b;
}

TEST(BlockTriangular, EmptyOrderTouchesNothing) {
  const std::int64_t n = 0, len = 1;
  std::int64_t entries[1] = {0}, start[1] = {9}, count[1] = {9}, match[1] = {-5}, work[4] = {};
  std::int64_t rank = -1, order[1] = {-5}, blockstart[1] = {-5}, blocks = -1;
  MaximumTransversal(&n, entries, &len, start, count, match, &rank, work);
  BlockTriangularOrder(&n, entries, &len, start, count, order, blockstart, &blocks, work);
  EXPECT_EQ(rank, 0);
  EXPECT_EQ(blocks, 0);
  EXPECT_EQ(Joined(List{match[0], order[0], blockstart[0]}), "-5 -5 -5");
}

TEST(BlockTriangularOrder, RandomPatternsAgreeWithBtfAndTheRecursiveSearch) {
  std::mt19937_64 rng(77);
  std::uniform_int_distribution<std::int64_t> order(1, 60);
  std::uniform_real_distribution<double> density(0.0, 0.15);
  int full_rank_patterns = 0;
  for (int trial = 0; trial < 1000; ++trial) {
    const std::int64_t n = trial < 990 ? order(rng) : 500 + 150 * (trial - 990);
    const Pattern p(RandomLists(n, trial < 990 ? density(rng) : 3.0 / static_cast<double>(n), rng));
    const Transversal t = Match(p);
    ASSERT_TRUE(IsPermutation(t.match)) << "trial " << trial;
    const Pattern permuted = p.Reordered(t.match);
    const auto [btf_rank, btf_orders] = Btf(permuted);
    ASSERT_EQ(t.rank, btf_rank) << "trial " << trial;
    // The matched positions hold pattern entries; by maximality no more.
    std::int64_t on_entries = 0;
    for (std::int64_t c = 1; c <= n; ++c) {
      const List list = p.ListAt(t.match[c - 1]);
      on_entries += std::count(list.begin(), list.end(), c) > 0 ? 1 : 0;
    }
    ASSERT_EQ(on_entries, t.rank) << "trial " << trial;
    if (t.rank < n) continue;
    ++full_rank_patterns;

    const Blocks b = Order(permuted);
    ASSERT_TRUE(IsPermutation(b.order));
    // The block orders, and block lower triangular form: a row reaches only
    // its own and earlier blocks.
    const auto size = static_cast<std::size_t>(n) + 1;
    std::vector<std::int64_t> orders(static_cast<std::size_t>(b.count)), position(size),
        block_of(size);
    for (std::int64_t blk = 0; blk < b.count; ++blk) {
      const std::int64_t end = blk + 1 < b.count ? b.blockstart[blk + 1] : n + 1;
      for (std::int64_t k = b.blockstart[blk]; k < end; ++k) block_of[k] = blk, ++orders[blk];
    }
    std::sort(orders.begin(), orders.end());
    ASSERT_EQ(orders, btf_orders) << "trial " << trial;
    for (std::int64_t k = 1; k <= n; ++k) position[b.order[k - 1]] = k;
    for (std::int64_t k = 1; k <= n; ++k) {
      for (std::int64_t c : permuted.ListAt(b.order[k - 1])) {
        ASSERT_LE(block_of[position[c]], block_of[k]) << "trial " << trial;
      }
    }
    if (n <= 200) {
      const Blocks reference = RecursiveTarjan(permuted);
      ASSERT_EQ(b.order, reference.order) << "trial " << trial;
      ASSERT_EQ(b.blockstart, reference.blockstart) << "trial " << trial;
    }
  }
  EXPECT_GT(full_rank_patterns, 100);
}

// A long chain and a long cycle need deep searches; both must run without
// recursion and without rescanning lists (quadratic work would time out).
TEST(BlockTriangularOrder, LongChainAndCycleRunWithoutRecursion) {
  const std::int64_t n = 100000;
  std::vector<List> chain, cycle;
  for (std::int64_t i = 1; i <= n; ++i) {
    chain.push_back(i < n ? List{i, i + 1} : List{i});
    cycle.push_back(i < n ? List{i + 1, i} : List{1, i});
  }
  const Pattern chain_pattern(chain);
  EXPECT_EQ(Match(chain_pattern).rank, n);
  const Blocks c = Order(chain_pattern);
  EXPECT_EQ(c.count, n);
  EXPECT_EQ(c.order.front(), n);

  const Pattern cycle_pattern(cycle);
  const Transversal t = Match(cycle_pattern);
  EXPECT_EQ(t.rank, n);
  const Blocks one = Order(cycle_pattern.Reordered(t.match));
  EXPECT_EQ(one.count, 1);
}

}  // namespace
