// The one place where the sparse LU routines write text. A routine hands a
// finished record to SluWriteRecord with the unit number from its controls;
// units below 1 write nothing (the engine sets 0 for both units). Records
// go to the message printer's entry for the numeric routines; tests may put
// their own writer in its place.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

using SluRecordWriter = void (*)(std::int64_t unit, std::string_view record);

// Installs a writer and returns the previous one; null restores the printer.
SluRecordWriter SetSluRecordWriter(SluRecordWriter writer);

// Writes one record (one line) to the unit when the unit is at least 1.
void SluWriteRecord(std::int64_t unit, std::string_view record);

// Writes a record whatever the units say: for the fatal message of the
// constant tables, which have no controls.
void SluWriteAlways(std::string_view record);

// The units of a routine: the error unit is ICNTL(1) when the print level
// ICNTL(3) is at least 1, the warning unit ICNTL(2) when it is at least 2;
// otherwise 0 (nothing written).
struct SluUnits {
  std::int64_t error = 0;
  std::int64_t warning = 0;
};
SluUnits SluUnitsFrom(const std::int64_t* icntl);

// Record pieces in the fixed forms of the printed messages.
std::string SluInt(std::int64_t value, int width = 10);  // right-aligned integer
std::string SluReal(double value);                       // 12 columns, 4 decimals, exponent
