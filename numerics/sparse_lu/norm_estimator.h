// NormEst1 estimates the 1-norm of a matrix B that the caller can only
// multiply by (Hager's power method with sign vectors, with Higham's
// refinements). It works by reverse communication and keeps its whole state
// in the caller's arrays, so estimates may run interleaved.
//
// The caller sets REQUEST = 0 and loops: on return REQUEST = 1 asks for X to
// be replaced by B X, 2 for X to be replaced by B^T X; 0 means ESTIMATE is
// final (V then holds the product B v that gave it); -1 means N < 1. X and V
// hold N reals, SIGNS N integers, STATE at least 4. An estimate takes at most
// 11 products (one when N = 1).
#pragma once

#include <cstdint>

void NormEst1(const std::int64_t* N, std::int64_t* REQUEST, double* X, double* ESTIMATE, double* V,
              std::int64_t* SIGNS, std::int64_t* STATE);
