// Diagnostic printers of the numeric code: a real vector five values a line
// and a sparse matrix as (row, column, value) triplets. Each line is an
// 80-character record handed to the message printer's numeric entry with
// status 0 (trailing blanks dropped there). Arguments by reference, 64-bit
// integers, 1-based arrays.
//
// Numbers use the C forms of the scientific fields, right-aligned: a value
// whose exponent needs three digits widens its field by one character (the
// line shifts rather than losing the exponent letter), and NaN and infinities
// print as "NAN", "INF" and "-INF" in the field. Rows or columns above 999999
// widen their six places likewise.
#pragma once

#include <cstdint>

// Five values a line, each " " + a 13-character field (sign, d.dddddd,
// E, exponent sign, two digits); N <= 0 prints one empty line.
void PrintRealVector(const double* x, const std::int64_t& n);

// Sorts IDX(NE) (work) by (IROW, JCOL) and prints two entries a line:
// "  (row,column)= value  " followed by four blanks or, unless TYPE(1) = -2,
// the entry's tag "[I]", "[C]", "[V]", "[A]" or "[N]" (kind code TYPE(e),
// less 8 when it is 8 or more) and a blank. A kind outside the table prints
// "[?]". NE < 1 prints nothing and reads no array; a null TYPE means no tags.
void PrintSparseTriplets(const std::int64_t* irow, const std::int64_t* jcol, const double* val,
                         const std::int64_t* type, std::int64_t* idx, const std::int64_t& ne);
