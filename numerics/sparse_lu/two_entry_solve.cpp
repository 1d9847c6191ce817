// The two solves around a two-entry elimination: ScaledColumnSolve before
// the reduced solve, ApplyRowOperations after it.
#include <utility>

#include "numerics/sparse_lu/further_routines.h"
#include "numerics/sparse_lu/one_based.h"

namespace {

using ConstInts = slu::OneBased<const std::int64_t>;
using ConstReals = slu::OneBased<const double>;

bool AllIn(const ConstInts& list, std::int64_t count, std::int64_t limit) {
  for (std::int64_t i = 1; i <= count; ++i) {
    if (list[i] < 1 || list[i] > limit) return false;
  }
  return true;
}

}  // namespace

void ScaledColumnSolve(const std::int64_t* M, const std::int64_t* K, const std::int64_t* PIVROWS,
                       double* X, double* Y, const double* PIVOTS, const double* VALUES,
                       const std::int64_t* STARTS, const std::int64_t* ENDS,
                       const std::int64_t* GATHER, const std::int64_t* ROWIND) {
  const std::int64_t m = *M, k = *K;
  if (m < 0 || k < 0 || k > m) return;
  const ConstInts pivot_row(PIVROWS), start(STARTS), end(ENDS), gather(GATHER), row(ROWIND);
  if (!AllIn(pivot_row, k, m) || !AllIn(gather, m - k, m) || start[1] < 1) return;
  for (std::int64_t c = 1; c <= k; ++c) {
    if (end[c] < start[c] - 1 || end[c] >= start[c + 1]) return;
    for (std::int64_t p = start[c]; p <= end[c]; ++p) {
      if (row[p] < 1 || row[p] > m) return;
    }
  }
  const slu::RealView x(X), y(Y);
  const ConstReals pivot(PIVOTS), value(VALUES);
  for (std::int64_t c = 1; c <= k; ++c) {
    const std::int64_t i = pivot_row[c];
    x[i] /= pivot[c];
    for (std::int64_t p = start[c]; p <= end[c]; ++p) x[row[p]] -= x[i] * value[p];
  }
  for (std::int64_t j = 1; j <= m - k; ++j) y[j] = x[gather[j]];
}

void ApplyRowOperations(const std::int64_t* M, const std::int64_t* K, const std::int64_t* SOURCE,
                        const std::int64_t* INDEX, const std::int64_t* TARGET, const double* MULT,
                        const double* SECOND, double* X, const double* VALUES,
                        const std::int64_t* POSITIONS, const std::int64_t* NEXCH,
                        const std::int64_t* XPOS1, const std::int64_t* XPOS2,
                        const std::int64_t* BREAK) {
  const std::int64_t m = *M, k = *K, exchanges = *NEXCH;
  if (m < 0 || k < 0 || k > m || exchanges < 0 || exchanges > k) return;
  const ConstInts source(SOURCE), index(INDEX), target(TARGET), position(POSITIONS), x1(XPOS1),
      x2(XPOS2), at(BREAK);
  if (!AllIn(source, k, m) || !AllIn(index, k, m) || !AllIn(target, k, m) ||
      !AllIn(position, m - k, m) || !AllIn(x1, exchanges, m) || !AllIn(x2, exchanges, m) ||
      !AllIn(at, exchanges, k)) {
    return;
  }
  for (std::int64_t e = 2; e <= exchanges; ++e) {
    if (at[e] <= at[e - 1]) return;
  }
  const slu::RealView x(X);
  const ConstReals mult(MULT), second(SECOND), value(VALUES);
  for (std::int64_t i = 1; i <= m - k; ++i) x[position[i]] = value[i];
  std::int64_t r = k;
  auto apply_down_to = [&](std::int64_t last) {
    for (; r >= last; --r) x[target[r]] = mult[r] * x[index[r]] + second[source[r]];
  };
  for (std::int64_t e = exchanges; e >= 1; --e) {
    apply_down_to(at[e]);
    std::swap(x[x1[e]], x[x2[e]]);
  }
  apply_down_to(1);
}
