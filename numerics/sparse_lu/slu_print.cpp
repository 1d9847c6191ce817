#include "numerics/sparse_lu/slu_print.h"

#include <cinttypes>
#include <cstdio>

#include "foundation/messages/su_print.h"

namespace {

// The printer's numeric entry takes a format; '%' would start a conversion,
// so it is doubled. The unit only decides whether a record is written.
void WriteToPrinter(std::int64_t, std::string_view record) {
  std::string format;
  format.reserve(record.size());
  for (char c : record) {
    format.push_back(c);
    if (c == '%') format.push_back('%');
  }
  const Status plain = status::kOk;
  SuPrintNumeric(&plain, format.data(), nullptr, nullptr, nullptr, nullptr, nullptr,
                 static_cast<std::int32_t>(format.size()));
}

SluRecordWriter g_writer = &WriteToPrinter;

}  // namespace

SluRecordWriter SetSluRecordWriter(SluRecordWriter writer) {
  SluRecordWriter previous = g_writer;
  g_writer = writer != nullptr ? writer : &WriteToPrinter;
  return previous;
}

void SluWriteRecord(std::int64_t unit, std::string_view record) {
  if (unit >= 1) g_writer(unit, record);
}

void SluWriteAlways(std::string_view record) { g_writer(0, record); }

SluUnits SluUnitsFrom(const std::int64_t* icntl) {
  SluUnits units;
  if (icntl[2] >= 1) units.error = icntl[0];
  if (icntl[2] >= 2) units.warning = icntl[1];
  return units;
}

std::string SluInt(std::int64_t value, int width) {
  char text[32];
  std::snprintf(text, sizeof text, "%*" PRId64, width, value);
  return text;
}

std::string SluReal(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%12.4E", value);
  return text;
}
