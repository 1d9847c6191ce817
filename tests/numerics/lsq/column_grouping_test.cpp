// Column grouping against a plain first-fit colouring.
#include "numerics/lsq/column_grouping.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

namespace {

using Ints = std::vector<std::int64_t>;

struct Pattern {
  std::int64_t m = 0;
  std::int64_t ncol = 0;
  Ints rows;
  Ints cols;
};

struct Grouping {
  std::int64_t ngrp = 0;
  Ints group;
  Ints list;
};

// Slices the work from one block as the control-design caller does: NE +
// 4 NCOL + 2 integers when M = NCOL. Guards on both sides catch overruns.
Grouping Group(const Pattern& pt) {
  const std::int64_t ne = static_cast<std::int64_t>(pt.rows.size());
  const std::int64_t block = ne + 3 * pt.ncol + pt.m + 2;
  Ints storage(static_cast<std::size_t>(block + 2), -77);
  std::int64_t* base = storage.data() + 1;
  std::int64_t* group = base;
  std::int64_t* rowstart = group + pt.ncol;
  std::int64_t* colstart = rowstart + pt.m + 1;
  std::int64_t* mark = colstart + pt.ncol + 1;
  std::int64_t* order = mark + pt.ncol;
  Grouping g;
  g.list.assign(static_cast<std::size_t>(2 * pt.ncol + 1), -5);
  GroupColumnsForPerturbation(pt.m, pt.ncol, ne, pt.rows.data(), pt.cols.data(), g.list.data(),
                              g.ngrp, group, rowstart, colstart, mark, order);
  EXPECT_EQ(storage.front(), -77);
  EXPECT_EQ(storage.back(), -77);
  g.group.assign(group, group + pt.ncol);
  return g;
}

TEST(ColumnGrouping, RefusesRowsOutOfOrderInsteadOfGroupingWrongly) {
  // Entries by column, as the structure of an inverse is built.
  Pattern by_column{3, 3, {1, 2, 2, 3}, {1, 1, 2, 3}};
  std::swap(by_column.rows[1], by_column.rows[3]);
  const Grouping refused = Group(by_column);
  EXPECT_EQ(refused.ngrp, -1);
  EXPECT_EQ(refused.group, (Ints{-1, -1, -1}));
  EXPECT_EQ(Group(Pattern{2, 2, {1, 3}, {1, 2}}).ngrp, -1) << "row beyond M";
  EXPECT_EQ(Group(Pattern{2, 2, {1, 2}, {1, 3}}).ngrp, -1) << "column beyond NCOL";
  // Empty rows are fine when the rest is sorted: rows 2 and 4 have no entry.
  const Grouping gapped = Group(Pattern{5, 2, {1, 3, 3, 5}, {1, 1, 2, 2}});
  EXPECT_EQ(gapped.group, (Ints{1, 2}));
}

// Plain first-fit colouring over row sets, the reference for the property test.
Ints FirstFit(const Pattern& pt) {
  std::vector<std::set<std::int64_t>> rows_of(static_cast<std::size_t>(pt.ncol));
  for (std::size_t e = 0; e < pt.rows.size(); ++e) rows_of[pt.cols[e] - 1].insert(pt.rows[e]);
  Ints group(static_cast<std::size_t>(pt.ncol), -1);
  std::vector<std::set<std::int64_t>> used;  // rows taken by each group
  for (std::int64_t j = 0; j < pt.ncol; ++j) {
    if (rows_of[j].empty()) continue;
    std::size_t g = 0;
    for (; g < used.size(); ++g) {
      bool clash = false;
      for (std::int64_t r : rows_of[j]) clash = clash || used[g].count(r) != 0;
      if (!clash) break;
    }
    if (g == used.size()) used.emplace_back();
    used[g].insert(rows_of[j].begin(), rows_of[j].end());
    group[j] = static_cast<std::int64_t>(g + 1);
  }
  return group;
}

TEST(ColumnGrouping, RandomPatternsMatchFirstFitAndNeverShareARow) {
  std::mt19937_64 rng(99);
  for (int trial = 0; trial < 200; ++trial) {
    Pattern pt;
    pt.m = pt.ncol = 1 + static_cast<std::int64_t>(rng() % 30);
    const double density = 0.02 + 0.3 * static_cast<double>(rng() % 100) / 100.0;
    for (std::int64_t i = 1; i <= pt.m; ++i)
      for (std::int64_t j = 1; j <= pt.ncol; ++j) {
        if (std::uniform_real_distribution<double>(0, 1)(rng) >= density) continue;
        pt.rows.push_back(i);
        pt.cols.push_back(j);
      }
    const Grouping g = Group(pt);
    ASSERT_EQ(g.group, FirstFit(pt));
    std::int64_t with_entries = 0;
    for (std::int64_t j = 0; j < pt.ncol; ++j) with_entries += g.group[j] > 0;
    // GROUPLIST: each group's count then its columns ascending, every column
    // with entries exactly once.
    std::size_t at = 0;
    for (std::int64_t k = 1; k <= g.ngrp; ++k) {
      const std::int64_t count = g.list[at++];
      for (std::int64_t c = 0; c < count; ++c, ++at) {
        ASSERT_EQ(g.group[g.list[at] - 1], k);
        ASSERT_TRUE(c == 0 || g.list[at - 1] < g.list[at]);
      }
    }
    ASSERT_EQ(static_cast<std::int64_t>(at), g.ngrp + with_entries);
    std::set<std::pair<std::int64_t, std::int64_t>> row_group;
    for (std::size_t e = 0; e < pt.rows.size(); ++e)
      ASSERT_TRUE(row_group.insert({pt.rows[e], g.group[pt.cols[e] - 1]}).second)
          << "two columns of one group share row " << pt.rows[e];
  }
}

}  // namespace
