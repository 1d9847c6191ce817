// The summaries the three kernels write at print level ICNTL(3) 3 and
// above, to the unit ICNTL(2): at level 3 the scalars of a call, from
// level 4 on also its arrays, the columns it was given and the factors.
// Integers are right-aligned in 10 columns, six to a record; reals in the
// fixed 12-column form, five to a record; a column as (value, row) pairs,
// three to a record.
#pragma once

#include <cstdint>
#include <string>

namespace slu {

struct SummaryUnit {
  std::int64_t unit = 0;  // 0: no summaries
  bool full = false;      // level 4 and above
};
SummaryUnit SummaryUnitFrom(const std::int64_t* icntl);

// An operation count: fixed, one decimal, 12 columns.
std::string OperationCount(double value);

// `label` then the values (entries 1..count of the 1-based arrays).
void WriteInts(std::int64_t unit, const std::string& label, const std::int64_t* values,
               std::int64_t count);
void WriteReals(std::int64_t unit, const std::string& label, const double* values,
                std::int64_t count);
// `head` then the (value, row) pairs of one column.
void WritePairs(std::int64_t unit, const std::string& head, const double* values,
                const std::int64_t* rows, std::int64_t count);
// A matrix held by columns: column j from START(j) to START(j+1) - 1, the
// last to NE; "Column" j and its pairs, for the first `columns` columns.
void WriteColumns(std::int64_t unit, std::int64_t columns, std::int64_t n, std::int64_t ne,
                  const std::int64_t* start, const double* values, const std::int64_t* rows);
// The factors in the layout of SluKernelFactorize: each column's L part
// (value, row) and U part (value, pivot step), then the full part.
void WriteFactors(std::int64_t unit, std::int64_t n, std::int64_t np, const double* factors,
                  const std::int64_t* irnf, const std::int64_t* iptrl, const std::int64_t* iptru);

}  // namespace slu
