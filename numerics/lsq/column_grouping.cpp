#include "numerics/lsq/column_grouping.h"

void CountingSortByKey(const std::int64_t& nb, const std::int64_t& ne, const std::int64_t* key,
                       std::int64_t* order, std::int64_t* pos) {
  for (std::int64_t k = 0; k < nb; ++k) pos[k] = 0;
  for (std::int64_t e = 0; e < ne; ++e) ++pos[key[e] - 1];
  std::int64_t start = 1;
  for (std::int64_t k = 0; k < nb; ++k) {
    const std::int64_t count = pos[k];
    pos[k] = start;
    start += count;
  }
  for (std::int64_t e = 0; e < ne; ++e) {
    std::int64_t& p = pos[key[e] - 1];
    order[p - 1] = e + 1;
    ++p;
  }
}

void GroupColumnsForPerturbation(const std::int64_t& m, const std::int64_t& ncol,
                                 const std::int64_t& ne, const std::int64_t* irow,
                                 const std::int64_t* jcol, std::int64_t* grouplist,
                                 std::int64_t& ngrp, std::int64_t* group, std::int64_t* rowstart,
                                 std::int64_t* colstart, std::int64_t* mark, std::int64_t* order) {
  for (std::int64_t j = 0; j < ncol; ++j) group[j] = -1;
  ngrp = 0;
  if (ne <= 0) return;

  // Row starts by a sorted scan. Rows without entries take the start of the
  // next row that has some, so every row range below is exact.
  std::int64_t row = 0;
  for (std::int64_t e = 0; e < ne; ++e) {
    const std::int64_t r = irow[e];
    const std::int64_t c = jcol[e];
    if (r < row || r < 1 || r > m || c < 1 || c > ncol) {
      for (std::int64_t j = 0; j < ncol; ++j) group[j] = -1;
      ngrp = -1;
      return;
    }
    while (row < r) rowstart[row++] = e + 1;
    group[c - 1] = 0;
  }
  while (row <= m) rowstart[row++] = ne + 1;

  // Entries by column; COLSTART(j) is column j's first position in ORDER.
  CountingSortByKey(ncol, ne, jcol, order, mark);
  std::int64_t next = 1;
  for (std::int64_t j = 0; j < ncol; ++j) {
    colstart[j] = next;
    next = mark[j];
  }
  colstart[ncol] = ne + 1;

  for (std::int64_t g = 0; g < ncol; ++g) mark[g] = 0;
  for (std::int64_t j = 0; j < ncol; ++j) {
    if (group[j] < 0) continue;
    for (std::int64_t q = colstart[j]; q < colstart[j + 1]; ++q) {
      const std::int64_t r = irow[order[q - 1] - 1];
      for (std::int64_t e = rowstart[r - 1]; e < rowstart[r]; ++e) {
        const std::int64_t g = group[jcol[e - 1] - 1];
        if (g > 0) mark[g - 1] = 1;
      }
    }
    std::int64_t chosen = 1;
    while (chosen <= ngrp && mark[chosen - 1] != 0) ++chosen;
    if (chosen > ngrp) ngrp = chosen;
    group[j] = chosen;
    for (std::int64_t g = 0; g < ngrp; ++g) mark[g] = 0;
  }

  // Group sizes into COLSTART, then each group's head and its fill position.
  for (std::int64_t g = 0; g < ngrp; ++g) colstart[g] = 0;
  for (std::int64_t j = 0; j < ncol; ++j)
    if (group[j] > 0) ++colstart[group[j] - 1];
  std::int64_t head = 1;
  for (std::int64_t g = 0; g < ngrp; ++g) {
    grouplist[head - 1] = colstart[g];
    mark[g] = head + 1;
    head += colstart[g] + 1;
  }
  for (std::int64_t j = 0; j < ncol; ++j) {
    if (group[j] <= 0) continue;
    grouplist[mark[group[j] - 1] - 1] = j + 1;
    ++mark[group[j] - 1];
  }
}
