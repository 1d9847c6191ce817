// Solves with the factors that SluKernelFactorize left (same IQ, NP and
// layout): A x = b, or A^T x = b when bit 0 of TRANS is set. B (M entries,
// N when transposed) is not changed; X receives N entries (M when
// transposed); RWORK holds max(M, N) reals. Columns without a pivot get 0 in
// the solution. ICNTL(5) selects the level of SluKernelFullSolve.
#pragma once

#include <cstdint>

void SluKernelSolve(const std::int64_t* M, const std::int64_t* N, const std::int64_t* ICNTL,
                    const std::int64_t* IQ, const std::int64_t* NP, const std::int64_t* TRANS,
                    const std::int64_t* LFACT, const double* FACTORS, const std::int64_t* IRNF,
                    const std::int64_t* IPTRL, const std::int64_t* IPTRU, const double* B,
                    double* X, double* RWORK, std::int64_t* INFO);

// Solves in place with an MF x NF full block factorized by one of the
// SluKernelFullBlas routines (leading dimension LDA, interchange record
// IPIV). Only the leading r x r part is used, r the number of accepted
// pivots; the solution components of rejected columns are 0. X holds
// max(MF, NF) entries. LEVEL > 0 solves with DTRSV, else with DAXPY/DDOT loops.
void SluKernelFullSolve(const std::int64_t* TRANS, const std::int64_t* MF, const std::int64_t* NF,
                        const double* A, const std::int64_t* LDA, const std::int64_t* IPIV,
                        double* X, const std::int64_t* LEVEL);
