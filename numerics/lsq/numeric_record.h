// The one way the routines of this folder print: an 80-character record,
// blank-padded, handed to the message printer's numeric entry with status 0.
// The printer drops the trailing blanks and uses the record as its format, so
// records carry no '%', '@' or backslash.
#pragma once

#include <string_view>

// Texts longer than a record are cut at 80 characters.
void PrintNumericRecord(std::string_view text);
