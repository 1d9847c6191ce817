#include "numerics/lsq/numeric_print.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "foundation/messages/su_print.h"
#include "numerics/lsq/index_sort.h"
#include "numerics/lsq/numeric_record.h"

namespace {

void AppendFormatted(std::string& line, const char* format, double value) {
  char field[48];
  std::snprintf(field, sizeof field, format, value);
  line += field;
}

void AppendEntry(std::string& line, std::int64_t row, std::int64_t column, double value) {
  char head[48];
  std::snprintf(head, sizeof head, "  (%6lld,%6lld)= ", static_cast<long long>(row),
                static_cast<long long>(column));
  line += head;
  AppendFormatted(line, "%12.5E", value);
  line += "  ";
}

}  // namespace

void PrintNumericRecord(std::string_view text) {
  constexpr std::size_t kRecordLength = 80;
  char record[kRecordLength];
  std::memset(record, ' ', sizeof record);
  std::memcpy(record, text.data(), text.size() < sizeof record ? text.size() : sizeof record);
  const Status ok = status::kOk;
  SuPrintNumeric(&ok, record, nullptr, nullptr, nullptr, nullptr, nullptr,
                 static_cast<std::int32_t>(kRecordLength));
}

void PrintRealVector(const double* x, const std::int64_t& n) {
  if (n <= 0) {
    PrintNumericRecord(std::string());
    return;
  }
  std::string line;
  for (std::int64_t i = 0; i < n; ++i) {
    line += ' ';
    AppendFormatted(line, "%13.6E", x[i]);
    if (i % 5 == 4 || i + 1 == n) {
      PrintNumericRecord(line);
      line.clear();
    }
  }
}

void PrintSparseTriplets(const std::int64_t* irow, const std::int64_t* jcol, const double* val,
                         const std::int64_t* type, std::int64_t* idx, const std::int64_t& ne) {
  if (ne < 1) return;
  QsortIndexTwoKeys(ne, irow, jcol, idx);
  static const char kTags[] = "[I][C][V][A][N]";
  const bool tagged = type != nullptr && type[0] != -2;
  std::string line;
  for (std::int64_t k = 0; k < ne; ++k) {
    const std::int64_t e = idx[k] - 1;
    AppendEntry(line, irow[e], jcol[e], val[e]);
    if (tagged) {
      std::int64_t kind = type[e];
      if (kind >= 8) kind -= 8;
      line += (kind >= 0 && kind <= 4) ? std::string(kTags + 3 * kind, 3) : std::string("[?]");
      line += ' ';
    } else {
      line += "    ";
    }
    if (k % 2 == 1 || k + 1 == ne) {
      PrintNumericRecord(line);
      line.clear();
    }
  }
}
