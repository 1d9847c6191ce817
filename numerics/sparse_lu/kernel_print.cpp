#include "numerics/sparse_lu/kernel_print.h"

#include <algorithm>
#include <cstdio>

#include "numerics/sparse_lu/one_based.h"
#include "numerics/sparse_lu/slu_print.h"

namespace slu {

namespace {

constexpr std::int64_t kIntsPerRecord = 6;
constexpr std::int64_t kRealsPerRecord = 5;
constexpr std::int64_t kPairsPerRecord = 3;

// Records of `per` pieces; continuation records are indented under the
// first piece.
template <typename Piece>
void WriteRecords(std::int64_t unit, const std::string& label, std::int64_t count, std::int64_t per,
                  Piece piece) {
  std::string record = label;
  if (count == 0) {
    SluWriteRecord(unit, record);
    return;
  }
  for (std::int64_t k = 1; k <= count; ++k) {
    record += piece(k);
    if (k % per == 0 || k == count) {
      SluWriteRecord(unit, record);
      record.assign(label.size(), ' ');
    }
  }
}

}  // namespace

SummaryUnit SummaryUnitFrom(const std::int64_t* icntl) {
  SummaryUnit s;
  if (icntl[2] >= 3 && icntl[1] >= 1) s.unit = icntl[1];
  s.full = icntl[2] >= 4;
  return s;
}

std::string OperationCount(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%12.1f", value);
  return text;
}

void WriteInts(std::int64_t unit, const std::string& label, const std::int64_t* values,
               std::int64_t count) {
  if (unit < 1) return;
  WriteRecords(unit, label, count, kIntsPerRecord,
               [&](std::int64_t k) { return SluInt(values[k - 1]); });
}

void WriteReals(std::int64_t unit, const std::string& label, const double* values,
                std::int64_t count) {
  if (unit < 1) return;
  WriteRecords(unit, label, count, kRealsPerRecord,
               [&](std::int64_t k) { return SluReal(values[k - 1]); });
}

void WritePairs(std::int64_t unit, const std::string& head, const double* values,
                const std::int64_t* rows, std::int64_t count) {
  if (unit < 1) return;
  SluWriteRecord(unit, head);
  if (count <= 0) return;
  WriteRecords(unit, "", count, kPairsPerRecord,
               [&](std::int64_t k) { return SluReal(values[k - 1]) + SluInt(rows[k - 1], 8); });
}

void WriteColumns(std::int64_t unit, std::int64_t columns, std::int64_t n, std::int64_t ne,
                  const std::int64_t* start, const double* values, const std::int64_t* rows) {
  if (unit < 1) return;
  const OneBased<const std::int64_t> s(start);
  for (std::int64_t j = 1; j <= std::min(columns, n); ++j) {
    const std::int64_t first = std::clamp<std::int64_t>(s[j], 1, ne + 1);
    const std::int64_t end = std::clamp<std::int64_t>(j < n ? s[j + 1] : ne + 1, first, ne + 1);
    WritePairs(unit, " Column" + SluInt(j), values + first - 1, rows + first - 1, end - first);
  }
}

void WriteFactors(std::int64_t unit, std::int64_t n, std::int64_t np, const double* factors,
                  const std::int64_t* irnf, const std::int64_t* iptrl, const std::int64_t* iptru) {
  if (unit < 1) return;
  const OneBased<const std::int64_t> l(iptrl), u(iptru);
  for (std::int64_t k = 1; k <= n; ++k) {
    const std::int64_t u_first = (k == 1 ? 2 : l[k - 1]) + 1;
    WritePairs(unit, " Column" + SluInt(k) + " of L", factors + u[k], irnf + u[k], l[k] - u[k]);
    WritePairs(unit, " Column" + SluInt(k) + " of U", factors + u_first - 1, irnf + u_first - 1,
               u[k] - u_first + 1);
  }
  const std::int64_t e = l[n];
  const std::int64_t mf = irnf[1];
  const std::int64_t nf = n - np;
  if (mf < 1 || nf < 1) return;
  SluWriteRecord(unit, " Full part" + SluInt(mf) + SluInt(nf));
  WriteInts(unit, " Rows        =", irnf + e, mf);
  WriteInts(unit, " Interchanges=", irnf + e + mf, nf);
  for (std::int64_t c = 1; c <= nf; ++c) {
    WriteReals(unit, " Column" + SluInt(c) + " =", factors + e + (c - 1) * mf, mf);
  }
}

}  // namespace slu
