// SluKernelAnalyse: the pivot search of the sparse LU kernel. It chooses the
// row and column orders of an M x N sparse matrix by Markowitz search with
// threshold pivoting, eliminating numerically as it goes so that the
// threshold sees real values, and stops once the active part is dense enough
// to be left to full-matrix processing in SluKernelFactorize.
//
// Input: NE entries held by columns in A and IRN; column j starts at IQ(j)
// and the last column ends at NE. A, IRN and JCN (of LA each) are working
// storage and are destroyed.
// Controls: CNTL(1) density switch, CNTL(2) pivot threshold u, CNTL(3) drop
// tolerance, CNTL(4) pivot limit; ICNTL(1..3) units and print level, ICNTL(4)
// search limit (<= 0: rows are searched too), ICNTL(6) last columns kept out
// of the sparse phase, ICNTL(7) pivot mode (1 diagonal, 2 given order with
// the column order in IFIRST and the row preference in IP, else general).
// Output: IP(i) the position of row i, IQ(k) the column at position k,
// COLPREV(j) the position of column j, NP the columns dealt with in the
// sparse phase, INFO(1..7) and RINFO(1) (operation count).
// COLHEAD, ROWLEN, ROWPREV, ROWNEXT, ROWMARK hold M entries, IFIRST, COLLEN,
// COLPREV, COLNEXT N entries.
#pragma once

#include <cstdint>

void SluKernelAnalyse(const std::int64_t* M, const std::int64_t* N, const std::int64_t* NE,
                      const std::int64_t* LA, double* A, std::int64_t* IRN, std::int64_t* JCN,
                      std::int64_t* IQ, const double* CNTL, const std::int64_t* ICNTL,
                      std::int64_t* IP, std::int64_t* NP, std::int64_t* COLHEAD,
                      std::int64_t* ROWLEN, std::int64_t* ROWPREV, std::int64_t* ROWNEXT,
                      std::int64_t* ROWMARK, std::int64_t* IFIRST, std::int64_t* COLLEN,
                      std::int64_t* COLPREV, std::int64_t* COLNEXT, std::int64_t* INFO,
                      double* RINFO);

// Compacts one storage of N lists: IND holds the indices (0 marks a free
// slot), IPTR(j) the start of list j (lists with IPTR(j) <= 0 are not
// stored), DISP the first slot behind the storage in use. With REALS
// non-zero the values in A move with their indices. DISP becomes the first
// free slot after the compacted lists. LA is not read.
void SluKernelCompress(const std::int64_t* LA, double* A, std::int64_t* IND, std::int64_t* IPTR,
                       const std::int64_t* N, std::int64_t* DISP, const std::int64_t* REALS);
