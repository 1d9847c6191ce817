// SluRankInfo and SparseMatVecCoord.
#include <algorithm>
#include <utility>

#include "numerics/sparse_lu/further_routines.h"
#include "numerics/sparse_lu/one_based.h"
#include "numerics/sparse_lu/slu_drivers.h"
#include "numerics/sparse_lu/slu_interface.h"

namespace {

using ConstInts = slu::OneBased<const std::int64_t>;

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
    std::int64_t r = 0;
    FullPartRankFlags(&mf, &nf, IRN + (factors + start - 2 + e + mf), &r, W, COLS + (k1 + np - 1));
    // Every row of the block is in the non-singular part but the full part's
    // rows, which take their own flags.
    for (std::int64_t k = k1; k < k1 + nr; ++k) row_flag[k] = 1;
    for (std::int64_t k = mf; k >= 1; --k) row_flag[k1 - 1 + irnf[e + k]] = w[k];
    for (std::int64_t j = 1; j <= np; ++j) {
      column_flag[k1 + j - 1] = iptru(j) < iptrl(j) ? 1 : 0;
    }
    rank += (nr - mf) + r;
    k1 += nc;
  }
  *RANK = rank;
  for (std::int64_t i = 1; i <= m; ++i) w[i] = row_flag[keep[i]];
  slu::SplitFlags(m, W, ROWS);
  for (std::int64_t j = 1; j <= n; ++j) w[keep[m + j]] = column_flag[j];
  slu::SplitFlags(n, W, COLS);
}

void SparseMatVecCoord(const std::int64_t* NE, const double* A, const std::int64_t* IRN,
                       const std::int64_t* JCN, const std::int64_t* M, const std::int64_t*,
                       const double* X, double* Y) {
  for (std::int64_t i = 0; i < *M; ++i) Y[i] = 0.0;
  for (std::int64_t k = 0; k < *NE; ++k) Y[IRN[k] - 1] += A[k] * X[JCN[k] - 1];
}
