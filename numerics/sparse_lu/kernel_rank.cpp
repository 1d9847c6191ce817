// The rank rule at the level of one kernel factorization, its full-part step
// and the flags-to-lists split that SluRankInfo shares.
#include <algorithm>
#include <utility>

#include "numerics/sparse_lu/further_routines.h"
#include "numerics/sparse_lu/one_based.h"

namespace {

using ConstInts = slu::OneBased<const std::int64_t>;

// The interchange record of an M x N full part is usable when its accepted
// steps name rows 1..M and every entry behind them names a column 1..N.
bool ValidPivots(std::int64_t m, std::int64_t n, const ConstInts& pivot) {
  std::int64_t k = 1;
  for (; k <= std::min(m, n) && pivot[k] >= 0; ++k) {
    if (pivot[k] < 1 || pivot[k] > m) return false;
  }
  for (; k <= n; ++k) {
    if (pivot[k] >= 0 || -pivot[k] > n) return false;
  }
  return true;
}

// Everything KernelRankFlags reads lies where the factor layout puts it.
bool ValidFactors(std::int64_t m, std::int64_t n, const ConstInts& iq, std::int64_t np,
                  std::int64_t lfact, const ConstInts& irnf, const ConstInts& iptrl,
                  const ConstInts& iptru) {
  if (m < 1 || n < 1 || np < 0 || np > n || lfact < 2) return false;
  if (iq[1] > 0) {
    for (std::int64_t k = 1; k <= n; ++k) {
      if (iq[k] < 1 || iq[k] > n) return false;
    }
  }
  std::int64_t end = 2;
  for (std::int64_t k = 1; k <= n; ++k) {
    if (iptru[k] < end || iptrl[k] < iptru[k]) return false;
    end = iptrl[k];
  }
  const std::int64_t mf = irnf[2], nf = n - np;
  if (mf < 0 || mf > m || end > lfact - mf - (mf >= 1 && nf >= 1 ? nf : 0)) return false;
  for (std::int64_t k = 1; k <= mf; ++k) {
    if (irnf[end + k] < 1 || irnf[end + k] > m) return false;
  }
  return mf < 1 || nf < 1 || ValidPivots(mf, nf, ConstInts(irnf.From(end + mf + 1)));
}

// The flags by position, then the column flags carried back through IQ.
bool RankFlags(const std::int64_t* M, const std::int64_t* N, const std::int64_t* IQ,
               const std::int64_t* NP, const std::int64_t* LFACT, const std::int64_t* IRNF,
               const std::int64_t* IPTRL, const std::int64_t* IPTRU, std::int64_t* RANK,
               std::int64_t* ROWS, std::int64_t* COLS, std::int64_t* W) {
  const std::int64_t m = *M, n = *N;
  const ConstInts iq(IQ), irnf(IRNF), iptrl(IPTRL), iptru(IPTRU);
  if (!ValidFactors(m, n, iq, *NP, *LFACT, irnf, iptrl, iptru)) {
    *RANK = -1;
    return false;
  }
  const std::int64_t np = *NP, mf = irnf[2], nf = n - np, e = iptrl[n];
  const slu::IntView rows(ROWS), cols(COLS), w(W);
  std::int64_t r = 0;
  FullPartRankFlags(&mf, &nf, IRNF + (e + mf), &r, W, COLS + np);
  for (std::int64_t i = 1; i <= m; ++i) rows[i] = 1;
  for (std::int64_t k = mf; k >= 1; --k) rows[irnf[e + k]] = w[k];
  for (std::int64_t k = 1; k <= np; ++k) cols[k] = iptru[k] < iptrl[k] ? 1 : 0;
  *RANK = (m - mf) + r;
  if (iq[1] > 0) {
    for (std::int64_t k = 1; k <= n; ++k) w[iq[k]] = cols[k];
    for (std::int64_t j = 1; j <= n; ++j) cols[j] = w[j];
  }
  return true;
}

}  // namespace

namespace slu {

void SplitFlags(std::int64_t count, const std::int64_t* flag, std::int64_t* out) {
  std::int64_t front = 0, back = count;
  for (std::int64_t i = 1; i <= count; ++i) {
    if (flag[i - 1] == 1) {
      out[front++] = i;
    } else {
      out[--back] = i;
    }
  }
}

}  // namespace slu

void FullPartRankFlags(const std::int64_t* M, const std::int64_t* N, const std::int64_t* PIVOTS,
                       std::int64_t* RANK, std::int64_t* ROWFLAGS, std::int64_t* COLFLAGS) {
  const std::int64_t m = *M, n = *N;
  const ConstInts pivot(PIVOTS);
  const slu::IntView row(ROWFLAGS), col(COLFLAGS);
  if (m < 0 || n < 0 || (m >= 1 && n >= 1 && !ValidPivots(m, n, pivot))) {
    *RANK = -1;
    return;
  }
  if (m < 1 || n < 1) {
    for (std::int64_t k = 1; k <= n; ++k) col[k] = 0;
    for (std::int64_t k = 1; k <= (n < 1 ? m : 0); ++k) row[k] = 0;
    *RANK = 0;
    return;
  }
  std::int64_t r = 0;
  while (r < std::min(m, n) && pivot[r + 1] >= 0) ++r;
  for (std::int64_t k = 1; k <= m; ++k) row[k] = k <= r ? 1 : 0;
  for (std::int64_t k = 1; k <= n; ++k) col[k] = k <= r ? 1 : 0;
  for (std::int64_t k = r + 1; k <= n; ++k) std::swap(col[k], col[-pivot[k]]);
  for (std::int64_t k = r; k >= 1; --k) std::swap(row[k], row[pivot[k]]);
  *RANK = r;
}

void KernelRankFlags(const std::int64_t* M, const std::int64_t* N, const std::int64_t* IQ,
                     const std::int64_t* NP, const std::int64_t* LFACT, const std::int64_t* IRNF,
                     const std::int64_t* IPTRL, const std::int64_t* IPTRU, std::int64_t* RANK,
                     std::int64_t* ROWS, std::int64_t* COLS, std::int64_t* W) {
  RankFlags(M, N, IQ, NP, LFACT, IRNF, IPTRL, IPTRU, RANK, ROWS, COLS, W);
}

void KernelRankLists(const std::int64_t* M, const std::int64_t* N, const std::int64_t* IQ,
                     const std::int64_t* NP, const std::int64_t* LFACT, const std::int64_t* IRNF,
                     const std::int64_t* IPTRL, const std::int64_t* IPTRU, std::int64_t* RANK,
                     std::int64_t* ROWS, std::int64_t* COLS, std::int64_t* W) {
  if (!RankFlags(M, N, IQ, NP, LFACT, IRNF, IPTRL, IPTRU, RANK, ROWS, COLS, W)) return;
  const std::int64_t m = *M, n = *N;
  std::copy(ROWS, ROWS + m, W);
  slu::SplitFlags(m, W, ROWS);
  std::copy(COLS, COLS + n, W);
  slu::SplitFlags(n, W, COLS);
}
