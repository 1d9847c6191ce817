// Fixed characteristics of the floating-point arithmetic, looked up by index:
// IntegerConstantSingle and IntegerConstantDouble (K = 1..10: radix, digits,
// exponent width, 1, 1, exponents of the relative precision, rounding unit,
// smallest subnormal, smallest normal, largest exponent) and
// RealConstantDouble (K = 1..5: relative precision, rounding unit, smallest
// normal twice, largest number). The real values are the doubles nearest to
// their 16-digit decimal forms, a few units away from the exact limits.
//
// An index outside its table is a programming error: the routine prints
// "ID05A-F-out of range" and ends the process.
#pragma once

#include <cstdint>

std::int64_t IntegerConstantSingle(const std::int64_t* K);
std::int64_t IntegerConstantDouble(const std::int64_t* K);
double RealConstantDouble(const std::int64_t* K);
