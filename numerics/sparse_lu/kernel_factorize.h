// SluKernelFactorize: LU factors of a sparse M x N matrix in the column order
// IQ and with the row preference IP chosen by SluKernelAnalyse. The first NP
// columns are factorized one at a time by left-looking sparse elimination
// with threshold pivoting; the rest, with the rows not yet pivotal, form one
// full block factorized in place by SluKernelFullBlas3, 2 or 1 (chosen by
// ICNTL(5): > 1, 1, <= 0).
//
// JOB 1 factorizes with pivoting; 2 reuses the pattern and pivots of the
// last JOB = 1 call with new values (an unacceptable pivot in column k of the
// permuted matrix is error -(7+k)); 3 pivots again starting from the row
// order of the stored factors. With JOB > 1 and 0 < ICNTL(6) < N the first
// min(NP, N - ICNTL(6)) columns are kept as they are.
//
// Factor layout in FACTORS/IRNF: FACTORS(1), FACTORS(2) the drop tolerance
// and pivot limit of the JOB = 1 call, IRNF(1) the entries it dropped,
// IRNF(2) = MF the rows of the full block. Column k follows column k-1
// (column 0 ends at 2): its U part IPTRL(k-1)+1 .. IPTRU(k) holds, per
// earlier step i, IRNF = i and FACTORS = -w_i / d_i; its L part
// IPTRU(k)+1 .. IPTRL(k) holds the pivot (its row, 1/d_k) and then the
// other rows with their values. Behind E = IPTRL(N): IRNF(E+1..E+MF) the
// rows of the full block, IRNF(E+MF+1..E+MF+NF) its interchange record,
// FACTORS(E+1..E+MF*NF) the full block's LU factors (leading dimension MF).
//
// RWORK holds M reals. IWORK holds 3M + 4N integers (8N for the driver's
// square blocks leaves room). On error -3, INFO(4) is a length with which
// the same call succeeds; the factors are then unusable.
#pragma once

#include <cstdint>

void SluKernelFactorize(const std::int64_t* M, const std::int64_t* N, const std::int64_t* NE,
                        const std::int64_t* JOB, const double* AVAL, const std::int64_t* AROW,
                        const std::int64_t* ACOLPTR, const double* CNTL, const std::int64_t* ICNTL,
                        std::int64_t* IP, const std::int64_t* IQ, const std::int64_t* NP,
                        const std::int64_t* LFACT, double* FACTORS, std::int64_t* IRNF,
                        std::int64_t* IPTRL, std::int64_t* IPTRU, double* RWORK,
                        std::int64_t* IWORK, std::int64_t* INFO, double* RINFO);

// Integer work needed by SluKernelFactorize.
inline std::int64_t SluKernelFactorizeWorkLength(std::int64_t m, std::int64_t n) {
  return 3 * m + 4 * n;
}

// Dense LU with partial pivoting of the M x N column-major A in place:
// IPIV(j) is the row exchanged with row j at step j. A column whose largest
// remaining modulus is not above PIVLIM is rejected: its part from row j
// down is set to zero and it is exchanged with the last column not yet
// rejected, recording -j where it comes to rest. Columns beyond the last
// step (M < N) record minus their own position. RANK counts the pivots.
void SluKernelFullBlas3(const std::int64_t* M, const std::int64_t* N, double* A,
                        const std::int64_t* LDA, const std::int64_t* NB, const double* PIVLIM,
                        std::int64_t* IPIV, std::int64_t* RANK);
void SluKernelFullBlas2(const std::int64_t* M, const std::int64_t* N, double* A,
                        const std::int64_t* LDA, const double* PIVLIM, std::int64_t* IPIV,
                        std::int64_t* RANK);
void SluKernelFullBlas1(const std::int64_t* M, const std::int64_t* N, double* A,
                        const std::int64_t* LDA, const double* PIVLIM, std::int64_t* IPIV,
                        std::int64_t* RANK);
