// SluRankInfo and SparseMatVecCoord.
#include <algorithm>
#include <utility>

#include "numerics/sparse_lu/one_based.h"
#include "numerics/sparse_lu/slu_drivers.h"
#include "numerics/sparse_lu/slu_interface.h"

namespace {

using ConstInts = slu::OneBased<const std::int64_t>;

// Rows (or columns) flagged 1 to the front in increasing order, the others
// to the back so that they end in decreasing order.
void Split(std::int64_t count, const slu::IntView& flag, const slu::IntView& out) {
  std::int64_t front = 0, back = count + 1;
  for (std::int64_t i = 1; i <= count; ++i) {
    if (flag[i] == 1) {
      out[++front] = i;
    } else {
      out[--back] = i;
    }
  }
}

}  // namespace

void SluRankInfo(const std::int64_t* M, const std::int64_t* N, const std::int64_t*,
                 const std::int64_t* IRN, const std::int64_t* KEEP, std::int64_t* RANK,
                 std::int64_t* ROWS, std::int64_t* COLS, std::int64_t* W) {
  const std::int64_t m = *M, n = *N;
  const slu::KeepLayout layout(m, n);
  const ConstInts keep(KEEP), irn(IRN);
  // Flags by permuted position, rows in ROWS and columns in COLS for now.
  const slu::IntView row_flag(ROWS), column_flag(COLS), w(W);
  const std::int64_t nb = keep[layout.BlockStart(1)];
  const std::int64_t factors = keep[layout.iptro + n + 1];
  std::int64_t rank = 0, k1 = 1;
  for (std::int64_t b = 1; b <= nb; ++b) {
    const std::int64_t nc = keep[layout.BlockOrder(b)];
    const std::int64_t nr = nb == 1 ? m : nc;
    const std::int64_t np = keep[layout.BlockFlag(b)];
    if (np < 0) {
      for (std::int64_t k = k1; k < k1 + nc; ++k) row_flag[k] = column_flag[k] = 1;
      rank += nc;
      k1 += nc;
      continue;
    }
    const std::int64_t start = b == 1 ? 1 : keep[layout.BlockStart(b)];
    const ConstInts irnf(IRN + (factors + start - 2));
    auto iptrl = [&](std::int64_t j) { return keep[layout.iptrl + k1 + j - 1]; };
    auto iptru = [&](std::int64_t j) { return keep[layout.iptru + k1 + j - 1]; };
    const std::int64_t mf = irnf[2];
    const std::int64_t nf = nc - np;
    const std::int64_t e = iptrl(nc);
    // The full part: its leading accepted pivots, carried back through the
    // interchanges of the dense factorization. Row flags in W(1..MF).
    const slu::IntView full_column(column_flag.From(k1 + np));
    std::int64_t r = 0;
    if (mf >= 1 && nf >= 1) {
      auto pivot = [&](std::int64_t k) { return irnf[e + mf + k]; };
      while (r < std::min(mf, nf) && pivot(r + 1) > 0) ++r;
      for (std::int64_t k = 1; k <= mf; ++k) w[k] = k <= r ? 1 : 0;
      for (std::int64_t k = 1; k <= nf; ++k) full_column[k] = k <= r ? 1 : 0;
      for (std::int64_t k = r + 1; k <= nf; ++k) std::swap(full_column[k], full_column[-pivot(k)]);
      for (std::int64_t k = r; k >= 1; --k) std::swap(w[k], w[pivot(k)]);
    } else {
      for (std::int64_t k = 1; k <= mf; ++k) w[k] = 0;
      for (std::int64_t k = 1; k <= nf; ++k) full_column[k] = 0;
    }
    // A row is in the non-singular part when it took a sparse pivot or an
    // accepted full pivot; a row that took neither is left out.
    for (std::int64_t k = k1; k < k1 + nr; ++k) row_flag[k] = 0;
    std::int64_t sparse_pivots = 0;
    for (std::int64_t j = 1; j <= np; ++j) {
      const bool pivoted = iptru(j) < iptrl(j);
      column_flag[k1 + j - 1] = pivoted ? 1 : 0;
      if (!pivoted) continue;
      ++sparse_pivots;
      row_flag[k1 - 1 + irnf[iptru(j) + 1]] = 1;
    }
    if (nf >= 1) {
      for (std::int64_t k = mf; k >= 1; --k) row_flag[k1 - 1 + irnf[e + k]] = w[k];
    }
    rank += sparse_pivots + r;
    k1 += nc;
  }
  *RANK = rank;
  for (std::int64_t i = 1; i <= m; ++i) w[i] = row_flag[keep[i]];
  Split(m, w, slu::IntView(ROWS));
  for (std::int64_t j = 1; j <= n; ++j) w[keep[m + j]] = column_flag[j];
  Split(n, w, slu::IntView(COLS));
}

void SparseMatVecCoord(const std::int64_t* NE, const double* A, const std::int64_t* IRN,
                       const std::int64_t* JCN, const std::int64_t* M, const std::int64_t*,
                       const double* X, double* Y) {
  for (std::int64_t i = 0; i < *M; ++i) Y[i] = 0.0;
  for (std::int64_t k = 0; k < *NE; ++k) Y[IRN[k] - 1] += A[k] * X[JCN[k] - 1];
}
