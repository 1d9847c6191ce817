// The two-entry column elimination (one body for both argument forms) and
// its replays on new values.
#include <algorithm>
#include <cmath>
#include <utility>

#include "numerics/sparse_lu/further_routines.h"
#include "numerics/sparse_lu/one_based.h"

namespace {

using ConstInts = slu::OneBased<const std::int64_t>;

// Below this fraction of the other entry a pivot gives way.
constexpr double kPivotRatio = 0.05;

// The matrix as linked lists: columns through COLSTART (heads), LIST (next)
// and COLPREV; rows through ROWOLD (heads), ROWTAIL, ROWNEXT, ROWPREV and
// ROWLEN. A removed entry gets row 0.
class Eliminator {
 public:
  std::int64_t n = 0, ne = 0, lsave = 0;
  slu::RealView a, mult, pivot, saved;
  slu::IntView column, row, head, rowhead, next, count, queue, target, pivotrow, epos, dpos, range,
      pivotend, targetend, pivpos, pivcol, tarpos, tarcol, mergeptr, mkept, mremoved, colmark,
      rowtail, colprev, rownext, rowprev, rowlen;

  bool Valid() const;
  void BuildLists();
  // Eliminates the queue; returns the number of records.
  std::int64_t Run(std::int64_t queued, std::int64_t* merges, std::int64_t* remaining);
  std::int64_t Compact(std::int64_t records);

 private:
  void UnlinkRow(std::int64_t p);
  void UnlinkColumn(std::int64_t p);
  void Record(std::int64_t k, std::int64_t c, std::int64_t* merges, std::int64_t* queued);
};

bool Eliminator::Valid() const {
  if (n < 0 || ne < 0 || lsave < 0) return false;
  for (std::int64_t p = 1; p <= ne; ++p) {
    if (column[p] < 1 || column[p] > n || row[p] < 1 || row[p] > n) return false;
  }
  if (head[1] != 1 || head[n + 1] != ne + 1) return false;
  for (std::int64_t j = 1; j <= n; ++j) {
    if (head[j + 1] < head[j] || count[j] != head[j + 1] - head[j]) return false;
  }
  // Each position once, listed under its own column.
  for (std::int64_t p = 1; p <= ne; ++p) rownext[p] = 0;
  for (std::int64_t j = 1; j <= n; ++j) {
    for (std::int64_t s = head[j]; s < head[j + 1]; ++s) {
      const std::int64_t p = next[s];
      if (p < 1 || p > ne || column[p] != j || rownext[p] != 0) return false;
      rownext[p] = 1;
    }
  }
  return true;
}

void Eliminator::BuildLists() {
  // Previous links and tails from the list by column, then the next links
  // (which share LIST's storage) once every slot has been read.
  for (std::int64_t j = 1; j <= n; ++j) {
    const std::int64_t first = head[j], end = head[j + 1];
    for (std::int64_t s = first; s < end; ++s) colprev[next[s]] = s > first ? next[s - 1] : 0;
    colmark[j] = end > first ? next[end - 1] : 0;
    head[j] = end > first ? next[first] : 0;
  }
  for (std::int64_t j = 1; j <= n; ++j) {
    std::int64_t p = colmark[j];
    if (p != 0) next[p] = 0;
    for (; p != 0 && colprev[p] != 0; p = colprev[p]) next[colprev[p]] = p;
    colmark[j] = 0;
  }
  for (std::int64_t i = 1; i <= n; ++i) rowhead[i] = rowtail[i] = rowlen[i] = 0;
  for (std::int64_t p = 1; p <= ne; ++p) {
    const std::int64_t r = row[p];
    rowprev[p] = rowtail[r];
    rownext[p] = 0;
    if (rowtail[r] != 0) {
      rownext[rowtail[r]] = p;
    } else {
      rowhead[r] = p;
    }
    rowtail[r] = p;
    ++rowlen[r];
  }
}

void Eliminator::UnlinkRow(std::int64_t p) {
  const std::int64_t r = row[p];
  if (rowprev[p] != 0) {
    rownext[rowprev[p]] = rownext[p];
  } else {
    rowhead[r] = rownext[p];
  }
  if (rownext[p] != 0) {
    rowprev[rownext[p]] = rowprev[p];
  } else {
    rowtail[r] = rowprev[p];
  }
}

void Eliminator::UnlinkColumn(std::int64_t p) {
  if (colprev[p] != 0) {
    next[colprev[p]] = next[p];
  } else {
    head[column[p]] = next[p];
  }
  if (next[p] != 0) colprev[next[p]] = colprev[p];
}

// Record k eliminates column c (two entries, not both zero, room checked).
void Eliminator::Record(std::int64_t k, std::int64_t c, std::int64_t* merges,
                        std::int64_t* queued) {
  const std::int64_t p1 = head[c], p2 = next[p1];
  const std::int64_t l1 = rowlen[row[p1]], l2 = rowlen[row[p2]];
  const double a1 = a[p1], a2 = a[p2];
  // The shorter row's entry is preferred, a tie goes to the second, and a
  // pivot below the ratio gives way.
  bool first = l1 < l2;
  if (first && std::fabs(a1) < kPivotRatio * std::fabs(a2)) first = false;
  if (!first && std::fabs(a2) < kPivotRatio * std::fabs(a1)) first = true;
  const std::int64_t pd = first ? p1 : p2, pe = first ? p2 : p1;
  const std::int64_t rp = row[pd], rt = row[pe];
  const double m = -a[pe] / a[pd];
  target[k] = rt;
  pivotrow[k] = rp;
  mult[k] = m;
  epos[k] = pe;
  dpos[k] = pd;
  pivot[k] = a[pd];
  const std::int64_t lp = rowlen[rp], lt = rowlen[rt];
  for (std::int64_t p : {pd, pe}) {
    UnlinkRow(p);
    UnlinkColumn(p);
    row[p] = 0;
  }
  count[c] = 0;

  std::int64_t s = range[k];
  for (std::int64_t t = rowhead[rt]; t != 0; t = rownext[t], ++s) {
    tarpos[s] = t;
    tarcol[s] = column[t];
    colmark[column[t]] = t;
  }
  targetend[k] = s - 1;
  s = range[k];
  const std::int64_t moved = rowhead[rp];
  for (std::int64_t p = moved; p != 0; p = rownext[p], ++s) {
    saved[s] = a[p];
    pivpos[s] = p;
    pivcol[s] = column[p];
    a[p] *= m;
    row[p] = rt;
  }
  pivotend[k] = s - 1;
  if (moved != 0) {
    if (rowtail[rt] != 0) {
      rownext[rowtail[rt]] = moved;
      rowprev[moved] = rowtail[rt];
    } else {
      rowhead[rt] = moved;
    }
    rowtail[rt] = rowtail[rp];
  }
  rowhead[rp] = rowtail[rp] = rowlen[rp] = 0;

  std::int64_t merged = 0;
  for (std::int64_t p = moved; p != 0;) {
    const std::int64_t after = rownext[p], kept = colmark[column[p]];
    if (kept != 0) {
      a[kept] += a[p];
      UnlinkRow(p);
      UnlinkColumn(p);
      ++merged;
      mkept[*merges + merged] = kept;
      mremoved[*merges + merged] = p;
      if (--count[column[p]] == 2 && *queued < n) queue[++*queued] = column[p];
      row[p] = 0;
    }
    p = after;
  }
  for (std::int64_t t = range[k]; t <= targetend[k]; ++t) colmark[tarcol[t]] = 0;
  rowlen[rt] = (lp - 1) + (lt - 1) - merged;
  *merges += merged;
  mergeptr[k + 1] = *merges + 1;
  range[k + 1] = range[k] + std::max(lp, lt) - 1;
}

std::int64_t Eliminator::Run(std::int64_t queued, std::int64_t* merges, std::int64_t* remaining) {
  std::int64_t records = 0;
  *merges = 0;
  range[1] = 1;
  mergeptr[1] = 1;
  for (std::int64_t q = 1; q <= queued; ++q) {
    const std::int64_t c = queue[q];
    if (count[c] != 2 || (a[head[c]] == 0.0 && a[next[head[c]]] == 0.0)) {
      queue[q] = -1;
      continue;
    }
    const std::int64_t l1 = rowlen[row[head[c]]], l2 = rowlen[row[next[head[c]]]];
    if (range[records + 1] + std::max(l1, l2) - 2 > lsave) break;
    ++records;
    const std::int64_t before = *merges;
    Record(records, c, merges, &queued);
    *remaining -= 2 + (*merges - before);
    queue[records] = c;  // the queue compacts to the eliminated columns
  }
  return records;
}

// Drops the eliminated columns and the pivot rows, renumbers the rest in
// increasing order and compacts the surviving entries by old position.
std::int64_t Eliminator::Compact(std::int64_t records) {
  const slu::IntView newcol(colmark), newrow(rowtail), oldcol(head), oldrow(rowhead);
  for (std::int64_t i = 1; i <= n; ++i) newcol[i] = newrow[i] = 0;
  for (std::int64_t k = 1; k <= records; ++k) {
    newcol[queue[k]] = -1;
    newrow[pivotrow[k]] = -1;
  }
  std::int64_t columns = 0, rows = 0;
  for (std::int64_t j = 1; j <= n; ++j) {
    if (newcol[j] == 0) oldcol[newcol[j] = ++columns] = j;
  }
  for (std::int64_t i = 1; i <= n; ++i) {
    if (newrow[i] == 0) oldrow[newrow[i] = ++rows] = i;
  }
  std::int64_t kept = 0;
  for (std::int64_t p = 1; p <= ne; ++p) {
    if (row[p] == 0) continue;
    ++kept;
    a[kept] = a[p];
    column[kept] = newcol[column[p]];
    row[kept] = newrow[row[p]];
    next[kept] = p;
  }
  return kept;
}

// ---- Replays ----

struct Replay {
  std::int64_t n = 0, ne = 0, k = 0;
  slu::RealView a, mult, pivot, saved;
  ConstInts final_pos, target, pivotrow, range, mkept, mremoved, mergeptr, dkept, ddup, oldpos;
  slu::IntView epos, dpos, pivotend, targetend, pivpos, pivcol, tarpos, tarcol, xtarget, xpivot,
      xrecord;
  std::int64_t ndup = 0, nkept = 0, nremain = 0;

  bool InRange(std::int64_t p) const { return p >= 1 && p <= ne; }
  bool Increasing(const ConstInts& list, std::int64_t count) const;
  bool Valid(bool duplicates) const;
  void Duplicates();
  std::int64_t Records(std::int64_t first);
  void FinalCompaction();
};

bool Replay::Increasing(const ConstInts& list, std::int64_t count) const {
  if (count < 0 || count > ne) return false;
  for (std::int64_t i = 1; i <= count; ++i) {
    if (!InRange(list[i]) || (i > 1 && list[i] <= list[i - 1])) return false;
  }
  return true;
}

bool Replay::Valid(bool duplicates) const {
  if (n < 0 || ne < 0 || k < 0 || k > n || !Increasing(final_pos, nremain)) return false;
  if (duplicates) {
    if (ndup < 0 || ndup > ne || !Increasing(oldpos, nkept)) return false;
    for (std::int64_t i = 1; i <= ndup; ++i) {
      if (!InRange(dkept[i]) || !InRange(ddup[i])) return false;
    }
  }
  if (k >= 1 && (range[1] < 1 || mergeptr[1] < 1)) return false;
  for (std::int64_t r = 1; r <= k; ++r) {
    const std::int64_t lo = range[r], hi = range[r + 1];
    if (hi < lo || pivotend[r] < lo - 1 || pivotend[r] >= hi || targetend[r] < lo - 1 ||
        targetend[r] >= hi || mergeptr[r + 1] < mergeptr[r] || mergeptr[r + 1] - 1 > ne) {
      return false;
    }
    if (!InRange(epos[r]) || !InRange(dpos[r]) || target[r] < 1 || target[r] > n ||
        pivotrow[r] < 1 || pivotrow[r] > n) {
      return false;
    }
    for (std::int64_t s = lo; s <= pivotend[r]; ++s) {
      if (!InRange(pivpos[s])) return false;
    }
    for (std::int64_t s = lo; s <= targetend[r]; ++s) {
      if (!InRange(tarpos[s])) return false;
    }
    for (std::int64_t q = mergeptr[r]; q < mergeptr[r + 1]; ++q) {
      if (!InRange(mkept[q]) || !InRange(mremoved[q])) return false;
    }
  }
  return true;
}

void Replay::Duplicates() {
  for (std::int64_t i = 1; i <= ndup; ++i) a[dkept[i]] += a[ddup[i]];
  for (std::int64_t i = 1; i <= nkept; ++i) a[i] = a[oldpos[i]];
}

// Step 2 for records first..K; returns the exchanges made.
std::int64_t Replay::Records(std::int64_t first) {
  std::int64_t exchanges = 0;
  for (std::int64_t r = first; r <= k; ++r) {
    const double e = a[epos[r]], d = a[dpos[r]];
    if (std::fabs(d) < kPivotRatio * std::fabs(e)) {
      mult[r] = -d / e;
      pivot[r] = e;
      ++exchanges;
      xtarget[exchanges] = target[r];
      xpivot[exchanges] = pivotrow[r];
      xrecord[exchanges] = r;
      std::swap(epos[r], dpos[r]);
      std::swap(pivotend[r], targetend[r]);
      for (std::int64_t s = range[r]; s < range[r + 1]; ++s) {
        std::swap(pivpos[s], tarpos[s]);
        std::swap(pivcol[s], tarcol[s]);
      }
    } else {
      mult[r] = -e / d;
      pivot[r] = d;
    }
    for (std::int64_t s = range[r]; s <= pivotend[r]; ++s) {
      saved[s] = a[pivpos[s]];
      a[pivpos[s]] *= mult[r];
    }
    for (std::int64_t q = mergeptr[r]; q < mergeptr[r + 1]; ++q) a[mkept[q]] += a[mremoved[q]];
  }
  return exchanges;
}

void Replay::FinalCompaction() {
  for (std::int64_t i = 1; i <= nremain; ++i) a[i] = a[final_pos[i]];
}

Replay MakeReplay(const std::int64_t* N, const std::int64_t* NE, double* A,
                  const std::int64_t* FINAL, const std::int64_t* K, const std::int64_t* TARGET,
                  const std::int64_t* PIVOTROW, double* MULT, std::int64_t* EPOS,
                  std::int64_t* DPOS, double* PIVOT, const std::int64_t* RANGE,
                  std::int64_t* PIVOTEND, std::int64_t* TARGETEND, std::int64_t* PIVPOS,
                  std::int64_t* PIVCOL, std::int64_t* TARPOS, std::int64_t* TARCOL,
                  const std::int64_t* MKEPT, const std::int64_t* MREMOVED, double* SAVED,
                  const std::int64_t* MERGEPTR, std::int64_t* XTARGET, std::int64_t* XPIVOT,
                  const std::int64_t* NREMAIN, std::int64_t* XRECORD) {
  Replay r;
  r.n = *N;
  r.ne = *NE;
  r.k = *K;
  r.nremain = *NREMAIN;
  r.a = slu::RealView(A);
  r.mult = slu::RealView(MULT);
  r.pivot = slu::RealView(PIVOT);
  r.saved = slu::RealView(SAVED);
  r.final_pos = ConstInts(FINAL);
  r.target = ConstInts(TARGET);
  r.pivotrow = ConstInts(PIVOTROW);
  r.range = ConstInts(RANGE);
  r.mkept = ConstInts(MKEPT);
  r.mremoved = ConstInts(MREMOVED);
  r.mergeptr = ConstInts(MERGEPTR);
  r.epos = slu::IntView(EPOS);
  r.dpos = slu::IntView(DPOS);
  r.pivotend = slu::IntView(PIVOTEND);
  r.targetend = slu::IntView(TARGETEND);
  r.pivpos = slu::IntView(PIVPOS);
  r.pivcol = slu::IntView(PIVCOL);
  r.tarpos = slu::IntView(TARPOS);
  r.tarcol = slu::IntView(TARCOL);
  r.xtarget = slu::IntView(XTARGET);
  r.xpivot = slu::IntView(XPIVOT);
  r.xrecord = slu::IntView(XRECORD);
  return r;
}

}  // namespace

void TwoEntryColumnEliminateArrays(
    const std::int64_t* N, const std::int64_t* NE, double* A, std::int64_t* JCN, std::int64_t* IRN,
    std::int64_t* COLSTART, std::int64_t* ROWOLD, std::int64_t* LIST, std::int64_t* COLCOUNT,
    std::int64_t* NQUEUE, std::int64_t* QUEUE, std::int64_t* TARGET, std::int64_t* PIVOTROW,
    double* MULT, std::int64_t* EPOS, std::int64_t* DPOS, double* PIVOT, std::int64_t* RANGE,
    std::int64_t* PIVOTEND, std::int64_t* TARGETEND, double* SAVED, std::int64_t* PIVPOS,
    std::int64_t* PIVCOL, std::int64_t* TARPOS, std::int64_t* TARCOL, std::int64_t* NMERGE,
    std::int64_t* MERGEPTR, std::int64_t* MKEPT, std::int64_t* MREMOVED, std::int64_t* NREMAIN,
    std::int64_t* COLMARK, std::int64_t* ROWTAIL, std::int64_t* COLPREV, std::int64_t* ROWNEXT,
    std::int64_t* ROWPREV, std::int64_t* ROWLEN, const std::int64_t* LSAVE) {
  Eliminator e;
  e.n = *N;
  e.ne = *NE;
  e.lsave = *LSAVE;
  e.a = slu::RealView(A);
  e.mult = slu::RealView(MULT);
  e.pivot = slu::RealView(PIVOT);
  e.saved = slu::RealView(SAVED);
  e.column = slu::IntView(JCN);
  e.row = slu::IntView(IRN);
  e.head = slu::IntView(COLSTART);
  e.rowhead = slu::IntView(ROWOLD);
  e.next = slu::IntView(LIST);
  e.count = slu::IntView(COLCOUNT);
  e.queue = slu::IntView(QUEUE);
  e.target = slu::IntView(TARGET);
  e.pivotrow = slu::IntView(PIVOTROW);
  e.epos = slu::IntView(EPOS);
  e.dpos = slu::IntView(DPOS);
  e.range = slu::IntView(RANGE);
  e.pivotend = slu::IntView(PIVOTEND);
  e.targetend = slu::IntView(TARGETEND);
  e.pivpos = slu::IntView(PIVPOS);
  e.pivcol = slu::IntView(PIVCOL);
  e.tarpos = slu::IntView(TARPOS);
  e.tarcol = slu::IntView(TARCOL);
  e.mergeptr = slu::IntView(MERGEPTR);
  e.mkept = slu::IntView(MKEPT);
  e.mremoved = slu::IntView(MREMOVED);
  e.colmark = slu::IntView(COLMARK);
  e.rowtail = slu::IntView(ROWTAIL);
  e.colprev = slu::IntView(COLPREV);
  e.rownext = slu::IntView(ROWNEXT);
  e.rowprev = slu::IntView(ROWPREV);
  e.rowlen = slu::IntView(ROWLEN);

  const std::int64_t queued = *NQUEUE;
  bool valid = queued >= 0 && queued <= e.n && e.Valid();
  // Queued columns hold two entries, each column queued once.
  for (std::int64_t j = 1; valid && j <= e.n; ++j) e.colmark[j] = 0;
  for (std::int64_t q = 1; valid && q <= queued; ++q) {
    const std::int64_t c = e.queue[q];
    valid = c >= 1 && c <= e.n && e.count[c] == 2 && e.colmark[c] == 0;
    if (valid) e.colmark[c] = 1;
  }
  if (!valid) {
    *NQUEUE = *NMERGE = *NREMAIN = -1;
    return;
  }
  e.BuildLists();
  std::int64_t merges = 0, remaining = e.ne;
  const std::int64_t records = e.Run(queued, &merges, &remaining);
  *NREMAIN = e.Compact(records);
  *NQUEUE = records;
  *NMERGE = merges;
}

void TwoEntryColumnEliminate(const std::int64_t* N, const std::int64_t* NE, double* A,
                             std::int64_t* JCN, std::int64_t* IRN, std::int64_t* COLSTART,
                             std::int64_t* ROWOLD, std::int64_t* LIST, std::int64_t* COLCOUNT,
                             std::int64_t* NQUEUE, std::int64_t* QUEUE, std::int64_t* TARGET,
                             std::int64_t* PIVOTROW, double* MULT, std::int64_t* EPOS,
                             std::int64_t* DPOS, double* PIVOT, std::int64_t* RANGE,
                             std::int64_t* PIVOTEND, std::int64_t* TARGETEND, double* SAVED,
                             std::int64_t* PIVPOS, std::int64_t* PIVCOL, std::int64_t* TARPOS,
                             std::int64_t* TARCOL, std::int64_t* NMERGE, std::int64_t* MERGEPTR,
                             std::int64_t* MKEPT, std::int64_t* MREMOVED, std::int64_t* NREMAIN,
                             std::int64_t* IW, const std::int64_t* LSAVE) {
  const std::int64_t n = std::max<std::int64_t>(*N, 0), ne = std::max<std::int64_t>(*NE, 0);
  TwoEntryColumnEliminateArrays(N, NE, A, JCN, IRN, COLSTART, ROWOLD, LIST, COLCOUNT, NQUEUE, QUEUE,
                                TARGET, PIVOTROW, MULT, EPOS, DPOS, PIVOT, RANGE, PIVOTEND,
                                TARGETEND, SAVED, PIVPOS, PIVCOL, TARPOS, TARCOL, NMERGE, MERGEPTR,
                                MKEPT, MREMOVED, NREMAIN, IW, IW + n, IW + 2 * n, IW + 2 * n + ne,
                                IW + 2 * n + 2 * ne, IW + 2 * n + 3 * ne, LSAVE);
}

namespace {

// The common body of the three replays.
void RunReplay(Replay r, bool duplicates, std::int64_t first, bool always_count,
               std::int64_t* NEXCH) {
  if (!r.Valid(duplicates) || first < 1 || first > r.k + 1) {
    *NEXCH = -1;
    return;
  }
  if (duplicates) r.Duplicates();
  const std::int64_t exchanges = r.Records(first);
  if (exchanges > 0 || always_count) *NEXCH = exchanges;
  r.FinalCompaction();
}

}  // namespace

void EliminationReplay3(const std::int64_t* N, const std::int64_t* NE, double* A,
                        const std::int64_t*, const std::int64_t* FINAL, const std::int64_t* K,
                        const std::int64_t*, const std::int64_t* TARGET,
                        const std::int64_t* PIVOTROW, double* MULT, std::int64_t* EPOS,
                        std::int64_t* DPOS, double* PIVOT, const std::int64_t* RANGE,
                        std::int64_t* PIVOTEND, std::int64_t* TARGETEND, std::int64_t* PIVPOS,
                        std::int64_t* PIVCOL, std::int64_t* TARPOS, std::int64_t* TARCOL,
                        const std::int64_t* MKEPT, const std::int64_t* MREMOVED, double* SAVED,
                        const std::int64_t* MERGEPTR, const std::int64_t* NDUP,
                        const std::int64_t* DKEPT, const std::int64_t* DDUP,
                        const std::int64_t* NKEPT, const std::int64_t* OLDPOS, std::int64_t* NEXCH,
                        std::int64_t* XTARGET, std::int64_t* XPIVOT, const std::int64_t* NREMAIN,
                        std::int64_t* XRECORD) {
  Replay r = MakeReplay(N, NE, A, FINAL, K, TARGET, PIVOTROW, MULT, EPOS, DPOS, PIVOT, RANGE,
                        PIVOTEND, TARGETEND, PIVPOS, PIVCOL, TARPOS, TARCOL, MKEPT, MREMOVED, SAVED,
                        MERGEPTR, XTARGET, XPIVOT, NREMAIN, XRECORD);
  r.ndup = *NDUP;
  r.nkept = *NKEPT;
  r.dkept = ConstInts(DKEPT);
  r.ddup = ConstInts(DDUP);
  r.oldpos = ConstInts(OLDPOS);
  RunReplay(r, true, 1, false, NEXCH);
}

// Writes its own exchange count always, whatever it held on entry.
void EliminationReplay1(const std::int64_t* N, const std::int64_t* NE, double* A,
                        const std::int64_t*, const std::int64_t* FINAL, const std::int64_t* K,
                        const std::int64_t*, const std::int64_t* TARGET,
                        const std::int64_t* PIVOTROW, double* MULT, std::int64_t* EPOS,
                        std::int64_t* DPOS, double* PIVOT, const std::int64_t* RANGE,
                        std::int64_t* PIVOTEND, std::int64_t* TARGETEND, std::int64_t* PIVPOS,
                        std::int64_t* PIVCOL, std::int64_t* TARPOS, std::int64_t* TARCOL,
                        const std::int64_t* MKEPT, const std::int64_t* MREMOVED, double* SAVED,
                        const std::int64_t* MERGEPTR, const std::int64_t* NDUP,
                        const std::int64_t* DKEPT, const std::int64_t* DDUP,
                        const std::int64_t* NKEPT, const std::int64_t* OLDPOS, std::int64_t* NEXCH,
                        std::int64_t* XTARGET, std::int64_t* XPIVOT, const std::int64_t* NREMAIN,
                        std::int64_t* XRECORD) {
  Replay r = MakeReplay(N, NE, A, FINAL, K, TARGET, PIVOTROW, MULT, EPOS, DPOS, PIVOT, RANGE,
                        PIVOTEND, TARGETEND, PIVPOS, PIVCOL, TARPOS, TARCOL, MKEPT, MREMOVED, SAVED,
                        MERGEPTR, XTARGET, XPIVOT, NREMAIN, XRECORD);
  r.ndup = *NDUP;
  r.nkept = *NKEPT;
  r.dkept = ConstInts(DKEPT);
  r.ddup = ConstInts(DDUP);
  r.oldpos = ConstInts(OLDPOS);
  RunReplay(r, true, 1, true, NEXCH);
}

void EliminationReplay2(const std::int64_t* N, const std::int64_t* NE, double* A,
                        const std::int64_t*, const std::int64_t* FINAL, const std::int64_t* K,
                        const std::int64_t*, const std::int64_t* TARGET,
                        const std::int64_t* PIVOTROW, double* MULT, std::int64_t* EPOS,
                        std::int64_t* DPOS, double* PIVOT, const std::int64_t* RANGE,
                        std::int64_t* PIVOTEND, std::int64_t* TARGETEND, std::int64_t* PIVPOS,
                        std::int64_t* PIVCOL, std::int64_t* TARPOS, std::int64_t* TARCOL,
                        const std::int64_t* MKEPT, const std::int64_t* MREMOVED, double* SAVED,
                        const std::int64_t* MERGEPTR, const std::int64_t*, const std::int64_t*,
                        const std::int64_t*, const std::int64_t*, const std::int64_t*,
                        std::int64_t* NEXCH, std::int64_t* XTARGET, std::int64_t* XPIVOT,
                        const std::int64_t* NREMAIN, std::int64_t* XRECORD,
                        const std::int64_t* FIRST) {
  Replay r = MakeReplay(N, NE, A, FINAL, K, TARGET, PIVOTROW, MULT, EPOS, DPOS, PIVOT, RANGE,
                        PIVOTEND, TARGETEND, PIVPOS, PIVCOL, TARPOS, TARCOL, MKEPT, MREMOVED, SAVED,
                        MERGEPTR, XTARGET, XPIVOT, NREMAIN, XRECORD);
  RunReplay(r, false, *FIRST, false, NEXCH);
}
