// Index quicksorts: order a permutation vector IDX (filled with 1..N) by one
// or two 64-bit keys or by the magnitude of a real, without moving the keys.
// Arguments by reference, 64-bit integers, 1-based arrays (IDX(1) is idx[0]).
// Each routine owns its partition stack in static storage, so a routine is
// not re-entrant; QsortIndexInt64Alt exists so that two callers that may nest
// (control design and control ramps) do not share one stack. The order of
// equal keys is unspecified.
#pragma once

#include <cstdint>

// KEY(IDX(1)) <= KEY(IDX(2)) <= ... ; N < 1 leaves IDX untouched.
void QsortIndexInt64(const std::int64_t& n, const std::int64_t* key, std::int64_t* idx);

// Same contract as QsortIndexInt64, with a partition stack of its own.
void QsortIndexInt64Alt(const std::int64_t& n, const std::int64_t* key, std::int64_t* idx);

// Ascending by KEY1, ties by KEY2.
void QsortIndexTwoKeys(const std::int64_t& n, const std::int64_t* key1, const std::int64_t* key2,
                       std::int64_t* idx);

// Ascending by |X|.
void QsortIndexAbsReal(const std::int64_t& n, const double* x, std::int64_t* idx);
