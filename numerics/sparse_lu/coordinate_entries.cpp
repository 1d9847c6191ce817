// Coordinate entries by column: ColumnGather and MergeDuplicates.
#include "numerics/sparse_lu/further_routines.h"
#include "numerics/sparse_lu/one_based.h"

namespace {

using ConstInts = slu::OneBased<const std::int64_t>;

bool ColumnsInRange(std::int64_t n, std::int64_t ne, const ConstInts& column) {
  for (std::int64_t k = 1; k <= ne; ++k) {
    if (column[k] < 1 || column[k] > n) return false;
  }
  return true;
}

}  // namespace

void ColumnGather(const std::int64_t* N, const std::int64_t* NE, const std::int64_t* JCN,
                  const std::int64_t* IRN, std::int64_t* W, std::int64_t* OUT) {
  const std::int64_t n = *N, ne = *NE;
  const ConstInts column(JCN), row(IRN);
  if (n < 0 || ne < 0 || !ColumnsInRange(n, ne, column)) return;
  const slu::IntView w(W), out(OUT);
  for (std::int64_t j = 1; j <= n; ++j) w[j] = 0;
  for (std::int64_t k = 1; k <= ne; ++k) ++w[column[k]];
  // Counts to starts; each start then runs on as its column is filled.
  std::int64_t start = 1;
  for (std::int64_t j = 1; j <= n; ++j) {
    const std::int64_t count = w[j];
    w[j] = start;
    start += count;
  }
  for (std::int64_t k = 1; k <= ne; ++k) out[w[column[k]]++] = row[k];
  // W(j) now holds the start of column j + 1.
  for (std::int64_t j = n; j >= 2; --j) w[j] = w[j - 1];
  if (n >= 1) w[1] = 1;
}

void MergeDuplicates(const std::int64_t* N, const std::int64_t* NE, double* A, std::int64_t* JCN,
                     std::int64_t* IRN, std::int64_t* COLSTART, std::int64_t* COLCOUNT,
                     std::int64_t* NQUEUE, std::int64_t* QUEUE, std::int64_t* NDUP,
                     std::int64_t* KEPT, std::int64_t* DUPLICATE, std::int64_t* NKEPT,
                     std::int64_t* OLDPOS, std::int64_t* MARK) {
  const std::int64_t n = *N, ne = *NE;
  const slu::IntView column(JCN), row(IRN);
  bool valid = n >= 0 && ne >= 0 && ColumnsInRange(n, ne, ConstInts(JCN));
  for (std::int64_t k = 1; valid && k <= ne; ++k) {
    valid = row[k] >= 1 && row[k] <= n && (k == 1 || column[k - 1] <= column[k]);
  }
  if (!valid) {
    *NQUEUE = *NDUP = *NKEPT = -1;
    return;
  }
  const slu::RealView a(A);
  const slu::IntView start(COLSTART), count(COLCOUNT), queue(QUEUE), kept(KEPT),
      duplicate(DUPLICATE), old(OLDPOS), mark(MARK);
  for (std::int64_t j = 1; j <= n; ++j) count[j] = 0;
  for (std::int64_t k = 1; k <= ne; ++k) ++count[column[k]];
  start[1] = 1;
  for (std::int64_t j = 1; j <= n; ++j) start[j + 1] = start[j] + count[j];

  for (std::int64_t i = 1; i <= n; ++i) mark[i] = 0;
  std::int64_t pairs = 0, twos = 0;
  for (std::int64_t j = 1; j <= n; ++j) {
    for (std::int64_t p = start[j]; p < start[j + 1]; ++p) {
      const std::int64_t first = mark[row[p]];
      if (first == 0) {
        mark[row[p]] = p;
        continue;
      }
      a[first] += a[p];
      row[p] = n + 1;
      --count[j];
      ++pairs;
      kept[pairs] = first;
      duplicate[pairs] = p;
    }
    if (count[j] == 2) queue[++twos] = j;
    for (std::int64_t p = start[j]; p < start[j + 1]; ++p) {
      if (row[p] <= n) mark[row[p]] = 0;
    }
  }
  // Compact in stored order; the starts then describe the compacted list.
  std::int64_t next = 0;
  for (std::int64_t p = 1; p <= ne; ++p) {
    if (row[p] > n) continue;
    ++next;
    a[next] = a[p];
    row[next] = row[p];
    column[next] = column[p];
    old[next] = p;
  }
  for (std::int64_t j = 1; j <= n; ++j) start[j + 1] = start[j] + count[j];
  *NQUEUE = twos;
  *NDUP = pairs;
  *NKEPT = next;
}
