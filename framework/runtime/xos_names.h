// Names handed over with a length instead of a terminator (FORTRAN texts).
#pragma once

#include <cstdint>

// The first length bytes of text (at most 1,023, ending at a zero byte)
// without trailing blanks, as a terminated text in a buffer of the calling
// thread that the next call overwrites.
const char* XosTrimName(const char* text, std::int32_t length);
