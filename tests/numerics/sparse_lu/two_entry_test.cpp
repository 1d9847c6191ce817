// ColumnGather and MergeDuplicates against plain references; the two-entry
// elimination, its replays and the two solves against the drivers' solve
// of the whole system S^T y = c.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <random>
#include <vector>

#include "numerics/sparse_lu/further_routines.h"
#include "tests/numerics/sparse_lu/driver_lu.h"
#include "tests/numerics/sparse_lu/reference.h"

namespace {

using slu_test::Coordinate;
using slu_test::DriverLu;
using slu_test::SparseMatrix;
using Ints = std::vector<std::int64_t>;
using Reals = std::vector<double>;

std::size_t At(std::int64_t i) { return static_cast<std::size_t>(i - 1); }

// A flowsheet's equations held as columns (unknowns as rows) whose
// transpose is diagonally dominant by rows: about two_fraction of the
// columns are connections in two unknowns (many in chains, some tied to a
// few hub rows that grow long), the others have 3 to 6 entries.
SparseMatrix ConnectionSystem(std::int64_t n, double two_fraction, std::mt19937_64& rng) {
  using slu_test::Uniform;
  slu_test::Triplets t;
  const std::int64_t hubs = std::max<std::int64_t>(1, n / 50);
  std::uniform_int_distribution<std::int64_t> any(1, n), hub(1, hubs);
  auto sign = [&] { return Uniform(rng) < 0.0 ? -1.0 : 1.0; };
  auto other = [&](std::int64_t j) {
    std::int64_t i = Uniform(rng) < -0.4 ? hub(rng) : any(rng);
    while (i == j && n > 1) i = any(rng);
    return i;
  };
  for (std::int64_t j = 1; j <= n; ++j) {
    if (Uniform(rng, 0.0, 1.0) < two_fraction && n > 1) {
      const std::int64_t i = Uniform(rng, 0.0, 1.0) < 0.5 && j > 1 ? j - 1 : other(j);
      t.Add(j, j, sign() * Uniform(rng, 2.0, 3.0));
      t.Add(i, j, sign() * Uniform(rng, 0.2, 0.8));
      continue;
    }
    const auto count = static_cast<std::int64_t>(Uniform(rng, 2.0, 6.0));
    double sum = 0.0;
    for (std::int64_t e = 0; e < count && n > 1; ++e) {
      const double v = Uniform(rng);
      sum += std::fabs(v);
      t.Add(other(j), j, v);
    }
    t.Add(j, j, sign() * (sum + Uniform(rng, 1.0, 2.0)));
  }
  return t.Build(n, n);
}

// Entries by column with some positions given two or three times.
Coordinate WithDuplicates(const SparseMatrix& s, std::mt19937_64& rng) {
  Coordinate c = slu_test::ToCoordinate(s);
  Coordinate d;
  d.m = d.n = s.n;
  for (std::size_t k = 0; k < c.values.size(); ++k) {
    const int copies = rng() % 7 == 0 ? static_cast<int>(rng() % 2) + 2 : 1;
    // The copies sit at different places within the column.
    for (int t = 0; t < copies; ++t) {
      d.rows.push_back(c.rows[k]);
      d.cols.push_back(c.cols[k]);
      d.values.push_back(c.values[k] / copies);
    }
  }
  for (std::size_t k = 0; k + 1 < d.values.size(); ++k) {
    if (d.cols[k] == d.cols[k + 1] && rng() % 3 == 0) {
      std::swap(d.rows[k], d.rows[k + 1]);
      std::swap(d.values[k], d.values[k + 1]);
    }
  }
  return d;
}

// The whole chain on one system: MergeDuplicates, the elimination, replays,
// and the solve of S^T y = c through the reduced matrix.
struct TwoEntry {
  explicit TwoEntry(Coordinate entries, std::int64_t saved_length = 0) : input(std::move(entries)) {
    n = input.n;
    ne = input.ne();
    lsave = saved_length > 0 ? saved_length : 20 * ne + 10;
  }

  void Eliminate() {
    values = input.values;
    jcn = input.cols;
    irn = input.rows;
    colstart.assign(At(n + 2), 0);
    colcount.assign(At(n + 1), 0);
    queue.assign(At(n + 1), 0);
    kept.assign(At(ne + 1), 0);
    dup.assign(At(ne + 1), 0);
    oldpos.assign(At(ne + 1), 0);
    Ints mark(At(n + 1));
    MergeDuplicates(&n, &ne, values.data(), jcn.data(), irn.data(), colstart.data(),
                    colcount.data(), &k, queue.data(), &ndup, kept.data(), dup.data(), &nkept,
                    oldpos.data(), mark.data());
    if (nkept < 0) return;
    md_colstart = colstart;
    md_values.assign(values.begin(), values.begin() + nkept);
    md_rows.assign(irn.begin(), irn.begin() + nkept);
    md_cols.assign(jcn.begin(), jcn.begin() + nkept);
    list.resize(At(nkept + 1));
    for (std::int64_t p = 1; p <= nkept; ++p) list[At(p)] = p;
    for (Ints* v : {&rowold, &target, &pivotrow, &epos, &dpos, &pivotend, &targetend})
      v->assign(At(n + 1), 0);
    for (Reals* v : {&mult, &pivot}) v->assign(At(n + 1), 0.0);
    for (Ints* v : {&range, &mergeptr}) v->assign(At(n + 2), 0);
    for (Ints* v : {&pivpos, &pivcol, &tarpos, &tarcol}) v->assign(At(lsave + 1), 0);
    saved.assign(At(lsave + 1), 0.0);
    mkept.assign(At(nkept + 1), 0);
    mremoved.assign(At(nkept + 1), 0);
    Ints iw(At(3 * n + 3 * nkept + 1));
    TwoEntryColumnEliminate(
        &n, &nkept, values.data(), jcn.data(), irn.data(), colstart.data(), rowold.data(),
        list.data(), colcount.data(), &k, queue.data(), target.data(), pivotrow.data(), mult.data(),
        epos.data(), dpos.data(), pivot.data(), range.data(), pivotend.data(), targetend.data(),
        saved.data(), pivpos.data(), pivcol.data(), tarpos.data(), tarcol.data(), &nmerge,
        mergeptr.data(), mkept.data(), mremoved.data(), &nremain, iw.data(), &lsave);
    values.resize(At(nremain + 1));
  }

  // Replays `variant` (1, 2 from record `first` on compacted values, 3) on
  // `fresh` (the input's layout) and returns the reduced values.
  Reals Replay(int variant, Reals fresh, std::int64_t first = 1) {
    nexch = variant == 1 ? 77 : 0;
    xtarget.assign(At(n + 1), 0);
    xpivot.assign(At(n + 1), 0);
    xrecord.assign(At(n + 1), 0);
    const std::int64_t spare = 0;
    auto args = [&](auto replay, auto... tail) {
      replay(&n, &ne, fresh.data(), &spare, list.data(), &k, &spare, target.data(), pivotrow.data(),
             mult.data(), epos.data(), dpos.data(), pivot.data(), range.data(), pivotend.data(),
             targetend.data(), pivpos.data(), pivcol.data(), tarpos.data(), tarcol.data(),
             mkept.data(), mremoved.data(), saved.data(), mergeptr.data(), &ndup, kept.data(),
             dup.data(), &nkept, oldpos.data(), &nexch, xtarget.data(), xpivot.data(), &nremain,
             xrecord.data(), tail...);
    };
    if (variant == 1) args(EliminationReplay1);
    if (variant == 3) args(EliminationReplay3);
    if (variant == 2) {
      // Records before `first` on the merged values, uncompacted, then the rest.
      for (std::int64_t i = 1; i <= ndup; ++i) fresh[At(kept[At(i)])] += fresh[At(dup[At(i)])];
      for (std::int64_t i = 1; i <= nkept; ++i) fresh[At(i)] = fresh[At(oldpos[At(i)])];
      const std::int64_t upto = std::min(first - 1, k), one = 1, none = 0;
      std::int64_t earlier = 0;
      Ints xt(At(n + 1)), xp(At(n + 1)), xr(At(n + 1));
      EliminationReplay2(&n, &ne, fresh.data(), &spare, list.data(), &upto, &spare, target.data(),
                         pivotrow.data(), mult.data(), epos.data(), dpos.data(), pivot.data(),
                         range.data(), pivotend.data(), targetend.data(), pivpos.data(),
                         pivcol.data(), tarpos.data(), tarcol.data(), mkept.data(), mremoved.data(),
                         saved.data(), mergeptr.data(), &spare, nullptr, nullptr, &spare, nullptr,
                         &earlier, xt.data(), xp.data(), &none, xr.data(), &one);
      args(EliminationReplay2, &first);
      // The exchanges of both calls, the earlier records first.
      if (nexch >= 0 && earlier > 0) {
        for (Ints* v : {&xtarget, &xpivot, &xrecord}) v->insert(v->begin(), earlier, 0);
        std::copy(xt.begin(), xt.begin() + earlier, xtarget.begin());
        std::copy(xp.begin(), xp.begin() + earlier, xpivot.begin());
        std::copy(xr.begin(), xr.begin() + earlier, xrecord.begin());
        nexch += earlier;
      }
    }
    fresh.resize(At(nremain + 1));
    return fresh;
  }

  // y with S^T y = c, S the eliminated matrix with reduced values `reduced`.
  Reals Solve(const Reals& reduced, Reals c) {
    const std::int64_t m = n - k;
    Reals y(At(m + 1)), x(At(n + 1), 0.0);
    ScaledColumnSolve(&n, &k, queue.data(), c.data(), y.data(), pivot.data(), saved.data(),
                      range.data(), pivotend.data(), colstart.data(), pivcol.data());
    Reals z;
    if (m > 0) {
      Coordinate r;
      r.m = r.n = m;
      r.rows.assign(irn.begin(), irn.begin() + nremain);
      r.cols.assign(jcn.begin(), jcn.begin() + nremain);
      r.values = reduced;
      DriverLu lu(r);
      EXPECT_EQ(lu.AnalyseAndFactorize(), 0);
      z = lu.Solve(y, true);
    }
    const std::int64_t exchanges = std::max<std::int64_t>(nexch, 0);
    ApplyRowOperations(&n, &k, queue.data(), target.data(), pivotrow.data(), mult.data(), c.data(),
                       x.data(), z.data(), rowold.data(), &exchanges, xtarget.data(), xpivot.data(),
                       xrecord.data());
    return x;
  }

  Coordinate input;
  std::int64_t n = 0, ne = 0, lsave = 0, k = 0, ndup = 0, nkept = 0, nmerge = 0, nremain = 0,
               nexch = 0;
  Reals values, mult, pivot, saved;
  Reals md_values;
  Ints md_rows, md_cols, jcn, irn, colstart, md_colstart, colcount, queue, kept, dup, oldpos, list,
      rowold, target, pivotrow, epos, dpos, range, pivotend, targetend, pivpos, pivcol, tarpos,
      tarcol, mergeptr, mkept, mremoved, xtarget, xpivot, xrecord;
};

Reals FullSolve(const Coordinate& s, const Reals& c) {
  DriverLu lu(s);
  EXPECT_GE(lu.AnalyseAndFactorize(), 0);
  return lu.Solve(c, true);
}

double RelativeError(const Reals& x, const Reals& reference) {
  return slu_test::MaxAbsDifference(x, reference) / slu_test::MaxAbs(reference);
}

// New values keeping the transpose dominant by rows.
Reals Perturbed(Reals v, std::mt19937_64& rng) {
  for (double& x : v) x *= slu_test::Uniform(rng, 0.9, 1.1);
  return v;
}

TEST(ColumnGather, StableByColumnWithEmptyColumns) {
  std::mt19937_64 rng(4);
  for (std::int64_t ne : {0, 1, 40}) {
    const std::int64_t n = 9;
    Ints jcn, irn;
    for (std::int64_t k = 0; k < ne; ++k) {
      jcn.push_back(static_cast<std::int64_t>(rng() % 4) * 2 + 1);  // even columns empty
      irn.push_back(k + 100);
    }
    Ints w(9, -5), out(At(ne + 1), 0), expected;
    ColumnGather(&n, &ne, jcn.data(), irn.data(), w.data(), out.data());
    Ints starts;
    for (std::int64_t j = 1; j <= n; ++j) {
      starts.push_back(static_cast<std::int64_t>(expected.size()) + 1);
      for (std::size_t k = 0; k < jcn.size(); ++k)
        if (jcn[k] == j) expected.push_back(irn[k]);
    }
    EXPECT_EQ(out, expected);
    EXPECT_EQ(w, starts);
  }
  const std::int64_t n = 3, ne = 2;
  const Ints bad = {1, 4}, rows = {1, 2};
  Ints w = {7, 7, 7}, out = {7, 7};
  ColumnGather(&n, &ne, bad.data(), rows.data(), w.data(), out.data());
  EXPECT_EQ(slu_test::Joined(w) + " " + slu_test::Joined(out), "7 7 7 7 7");
}

TEST(MergeDuplicates, SumsLikeAnOrderedMapAndListsTwoEntryColumns) {
  std::mt19937_64 rng(12);
  for (std::int64_t n : {1, 6, 60}) {
    TwoEntry t(WithDuplicates(ConnectionSystem(n, 0.5, rng), rng));
    t.Eliminate();
    std::map<std::pair<std::int64_t, std::int64_t>, double> sums;
    std::map<std::pair<std::int64_t, std::int64_t>, std::int64_t> first;
    Ints dup_kept, dup_removed;
    for (std::int64_t p = 1; p <= t.ne; ++p) {
      const auto key = std::pair(t.input.cols[At(p)], t.input.rows[At(p)]);
      sums[key] += t.input.values[At(p)];
      if (!first.count(key)) {
        first[key] = p;
      } else {
        dup_kept.push_back(first[key]);
        dup_removed.push_back(p);
      }
    }
    ASSERT_EQ(t.nkept, static_cast<std::int64_t>(sums.size()));
    for (std::int64_t i = 1; i <= t.nkept; ++i) {
      EXPECT_EQ(sums[std::pair(t.md_cols[At(i)], t.md_rows[At(i)])], t.md_values[At(i)]);
    }
    EXPECT_EQ(Ints(t.kept.begin(), t.kept.begin() + t.ndup), dup_kept);
    EXPECT_EQ(Ints(t.dup.begin(), t.dup.begin() + t.ndup), dup_removed);
    // The compacted list keeps the first of each position, in stored order.
    Ints firsts;
    for (const auto& [key, p] : first) firsts.push_back(p);
    std::sort(firsts.begin(), firsts.end());
    EXPECT_EQ(Ints(t.oldpos.begin(), t.oldpos.begin() + t.nkept), firsts);
  }
  // Three times the same position; and no duplicates at all.
  Coordinate c;
  c.m = c.n = 2;
  c.rows = {2, 1, 2, 2, 1, 2};
  c.cols = {1, 1, 1, 1, 2, 2};
  c.values = {1, 10, 100, 1000, 5, 6};
  TwoEntry t(c);
  t.Eliminate();
  EXPECT_EQ(t.nkept, 4);
  EXPECT_EQ(t.ndup, 2);
  EXPECT_EQ(slu_test::Joined(Ints(t.oldpos.begin(), t.oldpos.begin() + 4)), "1 2 5 6");
  EXPECT_EQ(slu_test::Joined(t.md_colstart), "1 3 5");
  c.rows = {1, 2, 1, 2};
  c.cols = {1, 1, 2, 2};
  c.values = {1, 2, 3, 4};
  const std::int64_t n = 2, ne = 4;
  Ints start(3), count(2), queue(2), kept(4), dup(4), old(4), mark(2);
  std::int64_t nq = 0, nd = 0, nk = 0;
  MergeDuplicates(&n, &ne, c.values.data(), c.cols.data(), c.rows.data(), start.data(),
                  count.data(), &nq, queue.data(), &nd, kept.data(), dup.data(), &nk, old.data(),
                  mark.data());
  EXPECT_EQ(nk, 4);
  EXPECT_EQ(nd, 0);
  EXPECT_EQ(slu_test::Joined(queue), "1 2");
  EXPECT_EQ(slu_test::Joined(c.values), "1 2 3 4");
  // No entries at all: empty columns, nothing queued.
  const std::int64_t none = 0;
  start.assign(3, 9);
  MergeDuplicates(&n, &none, c.values.data(), c.cols.data(), c.rows.data(), start.data(),
                  count.data(), &nq, queue.data(), &nd, kept.data(), dup.data(), &nk, old.data(),
                  mark.data());
  EXPECT_EQ(nk, 0);
  EXPECT_EQ(nd, 0);
  EXPECT_EQ(nq, 0);
  EXPECT_EQ(slu_test::Joined(start), "1 1 1");
  // Columns out of order are refused before anything is written.
  c.cols = {2, 2, 1, 1};
  start.assign(3, 9);
  MergeDuplicates(&n, &ne, c.values.data(), c.cols.data(), c.rows.data(), start.data(),
                  count.data(), &nq, queue.data(), &nd, kept.data(), dup.data(), &nk, old.data(),
                  mark.data());
  EXPECT_EQ(nk, -1);
  EXPECT_EQ(slu_test::Joined(start), "9 9 9");
}

TEST(TwoEntryElimination, SolvesLikeTheWholeSystemAndEveryReplayToo) {
  std::mt19937_64 rng(2024);
  for (std::int64_t n : {50, 300, 2000}) {
    for (double fraction : {0.3, 0.7}) {
      const SparseMatrix s = ConnectionSystem(n, fraction, rng);
      TwoEntry t(WithDuplicates(s, rng));
      t.Eliminate();
      ASSERT_GT(t.k, 0);
      const Reals c = slu_test::RandomVector(n, rng);
      const Reals reference = FullSolve(t.input, c);
      EXPECT_LT(RelativeError(t.Solve(t.values, c), reference), 1e-12) << n << " " << fraction;

      // Each replay on the elimination's own values reproduces it exactly.
      for (int variant : {1, 2, 3}) {
        TwoEntry again = t;
        EXPECT_EQ(again.Replay(variant, t.input.values, variant == 2 ? t.k / 2 + 1 : 1), t.values);
        EXPECT_EQ(again.nexch, 0) << variant;
      }
      // And on new values it solves the new system.
      Coordinate fresh = t.input;
      fresh.values = Perturbed(t.input.values, rng);
      const Reals expected = FullSolve(fresh, c);
      for (int variant : {1, 2, 3}) {
        TwoEntry again = t;
        const Reals reduced = again.Replay(variant, fresh.values, t.k / 2 + 1);
        EXPECT_LT(RelativeError(again.Solve(reduced, c), expected), 1e-12) << variant;
      }
    }
  }
}

TEST(TwoEntryElimination, ExchangesWhereThePivotBecomesSmall) {
  std::mt19937_64 rng(7);
  const SparseMatrix s = ConnectionSystem(400, 0.6, rng);
  TwoEntry t(slu_test::ToCoordinate(s));
  t.Eliminate();
  ASSERT_GT(t.k, 10);
  const Reals c = slu_test::RandomVector(400, rng);
  for (const Ints& chosen : {Ints{t.k / 2}, Ints{1, t.k / 3, t.k}}) {
    // Without duplicates the replay's positions are the input's.
    Coordinate fresh = t.input;
    for (std::int64_t r : chosen) fresh.values[At(t.dpos[At(r)])] *= 1e-3;
    for (int variant : {1, 3}) {
      TwoEntry again = t;
      const Reals reduced = again.Replay(variant, fresh.values);
      // A chosen pivot may have been merged into; most are not.
      EXPECT_GE(again.nexch, (static_cast<std::int64_t>(chosen.size()) + 1) / 2);
      EXPECT_TRUE(std::is_sorted(again.xrecord.begin(), again.xrecord.begin() + again.nexch));
      EXPECT_LT(RelativeError(again.Solve(reduced, c), FullSolve(fresh, c)), 1e-12);
    }
  }
}

TEST(TwoEntryElimination, ShortSavedRangesStopEarlyAndStillSolve) {
  std::mt19937_64 rng(99);
  const SparseMatrix s = ConnectionSystem(200, 0.7, rng);
  TwoEntry full(slu_test::ToCoordinate(s));
  full.Eliminate();
  const std::int64_t used = full.range[At(full.k + 1)] - 1;
  TwoEntry exact(full.input, used), short_one(full.input, used - 1);
  exact.Eliminate();
  short_one.Eliminate();
  EXPECT_EQ(exact.k, full.k);
  EXPECT_LT(short_one.k, full.k);
  const Reals c = slu_test::RandomVector(200, rng);
  const Reals reference = FullSolve(full.input, c);
  EXPECT_LT(RelativeError(short_one.Solve(short_one.values, c), reference), 1e-12);
  // No room at all: nothing is eliminated (K = 0) and the solves only move values.
  TwoEntry none(full.input, 1);
  none.lsave = 0;
  none.Eliminate();
  EXPECT_EQ(none.k, 0);
  EXPECT_EQ(none.nremain, none.nkept);
  EXPECT_LT(RelativeError(none.Solve(none.values, c), reference), 1e-12);
}

TEST(TwoEntrySolves, WithNoRecordsOnlyGatherAndScatter) {
  const std::int64_t m = 3, k = 0, none = 0;
  Reals x = {1, 2, 3}, y(3, 0.0);
  const Ints gather = {3, 1, 2}, starts = {1};
  ScaledColumnSolve(&m, &k, nullptr, x.data(), y.data(), nullptr, nullptr, starts.data(), nullptr,
                    gather.data(), nullptr);
  EXPECT_EQ(slu_test::Joined(y), "3 1 2");
  Reals out(3, 0.0);
  ApplyRowOperations(&m, &k, nullptr, nullptr, nullptr, nullptr, x.data(), out.data(), y.data(),
                     gather.data(), &none, nullptr, nullptr, nullptr);
  EXPECT_EQ(slu_test::Joined(out), "1 2 3");
  // A gather position out of range is refused before Y is touched.
  const Ints bad = {3, 4, 1};
  ScaledColumnSolve(&m, &k, nullptr, x.data(), y.data(), nullptr, nullptr, starts.data(), nullptr,
                    bad.data(), nullptr);
  EXPECT_EQ(slu_test::Joined(y), "3 1 2");
}

TEST(TwoEntryElimination, BadArgumentsAreRefusedWithOutputsUntouched) {
  std::mt19937_64 rng(5);
  TwoEntry good(slu_test::ToCoordinate(ConnectionSystem(30, 0.5, rng)));
  good.Eliminate();
  ASSERT_GT(good.k, 0);
  // Each spoils one argument of a fresh elimination.
  const std::vector<std::function<void(TwoEntry&)>> spoil = {
      [](TwoEntry& t) { t.input.rows[3] = 31; },
      [](TwoEntry& t) { t.input.cols[0] = 0; },
      [](TwoEntry& t) { std::swap(t.input.cols[0], t.input.cols.back()); },
  };
  for (const auto& f : spoil) {
    TwoEntry t = good;
    f(t);
    t.Eliminate();
    EXPECT_EQ(t.nkept, -1);
  }
  // The elimination's own inputs: a bad list, queue, count or start.
  auto run = [&](auto change) {
    TwoEntry t = good;
    t.Eliminate();  // fills the arrays as MergeDuplicates leaves them
    t.values = t.input.values;
    t.jcn = t.input.cols;
    t.irn = t.input.rows;
    MergeDuplicates(&t.n, &t.ne, t.values.data(), t.jcn.data(), t.irn.data(), t.colstart.data(),
                    t.colcount.data(), &t.k, t.queue.data(), &t.ndup, t.kept.data(), t.dup.data(),
                    &t.nkept, t.oldpos.data(), Ints(At(t.n + 1)).data());
    for (std::int64_t p = 1; p <= t.nkept; ++p) t.list[At(p)] = p;
    change(t);
    const Reals values = t.values;
    const Ints target = t.target;
    Ints iw(At(3 * t.n + 3 * t.nkept + 1));
    TwoEntryColumnEliminate(
        &t.n, &t.nkept, t.values.data(), t.jcn.data(), t.irn.data(), t.colstart.data(),
        t.rowold.data(), t.list.data(), t.colcount.data(), &t.k, t.queue.data(), t.target.data(),
        t.pivotrow.data(), t.mult.data(), t.epos.data(), t.dpos.data(), t.pivot.data(),
        t.range.data(), t.pivotend.data(), t.targetend.data(), t.saved.data(), t.pivpos.data(),
        t.pivcol.data(), t.tarpos.data(), t.tarcol.data(), &t.nmerge, t.mergeptr.data(),
        t.mkept.data(), t.mremoved.data(), &t.nremain, iw.data(), &t.lsave);
    EXPECT_EQ(t.k, -1);
    EXPECT_EQ(t.nremain, -1);
    EXPECT_EQ(t.values, values);
    EXPECT_EQ(t.target, target);
  };
  run([](TwoEntry& t) { t.list[1] = t.list[0]; });
  run([](TwoEntry& t) { t.list[0] = t.nkept + 1; });
  run([](TwoEntry& t) { t.queue[0] = t.n + 1; });
  run([](TwoEntry& t) { t.queue[1] = t.queue[0]; });
  run([](TwoEntry& t) { t.k = t.n + 1; });
  run([](TwoEntry& t) { ++t.colcount[0]; });
  run([](TwoEntry& t) { std::swap(t.colstart[1], t.colstart[2]); });

  // Replays: a position out of range, unsorted old positions, a bad first record.
  int index = 0;
  auto replay = [&](auto change, int variant) {
    SCOPED_TRACE(++index);
    TwoEntry t = good;
    change(t);
    const Reals mult = t.mult;
    Reals fresh = t.input.values;
    t.Replay(variant, fresh, variant == 2 ? t.k + 2 : 1);
    EXPECT_EQ(t.nexch, -1);
    EXPECT_EQ(t.mult, mult);
  };
  replay([](TwoEntry& t) { t.epos[0] = t.ne + 1; }, 3);
  replay([](TwoEntry& t) { std::swap(t.oldpos[0], t.oldpos[1]); }, 1);
  replay([](TwoEntry& t) { t.list[0] = t.ne + 1; }, 3);
  replay([](TwoEntry& t) { t.range[1] = 0; }, 3);
  replay([](TwoEntry&) {}, 2);
}

}  // namespace
