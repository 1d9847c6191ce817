// The sparse LU drivers: SluAnalyse, SluFactorize and SluSolve on one
// unsymmetric M x N matrix in coordinate form, called in that order (the
// contract they share is in slu_interface.h); BlockSolve, the inner solve of
// SluSolve on a matrix in block upper triangular form; SluRankInfo, the rows
// and columns of the non-singular part after a factorization; and
// SparseMatVecCoord, y = A x for a coordinate matrix.
//
// Work array lengths (the engine's square systems pass IW of 9N and W of
// 4N): SluAnalyse needs IW of 6M + 3N, SluFactorize IW of 4M + 5N and W of
// M, SluSolve IW of max(M, N) and W of 4 max(M, N), with JOB = 4 IW of
// 2 max(M, N) and W of 5 max(M, N). KEEP holds M + 9N + 7 entries (10N + 7
// for the engine).
//
// Nothing is allocated while the caller's storage suffices. When LA is too
// short for a pivot search, SluAnalyse runs that search once more on
// storage of its own to learn its whole need, so that the length it
// reports lets the next call succeed.
#pragma once

#include <cstdint>

void SluAnalyse(const std::int64_t* M, const std::int64_t* N, const std::int64_t* NE,
                const std::int64_t* JOB, const std::int64_t* LA, double* A, std::int64_t* IRN,
                std::int64_t* JCN, std::int64_t* KEEP, const double* CNTL,
                const std::int64_t* ICNTL, std::int64_t* IW, std::int64_t* INFO, double* RINFO);

void SluFactorize(const std::int64_t* M, const std::int64_t* N, const std::int64_t* NE,
                  const std::int64_t* JOB, const std::int64_t* LA, double* A, std::int64_t* IRN,
                  const std::int64_t* JCN, std::int64_t* KEEP, const double* CNTL,
                  const std::int64_t* ICNTL, double* W, std::int64_t* IW, std::int64_t* INFO,
                  double* RINFO);

void SluSolve(const std::int64_t* M, const std::int64_t* N, const std::int64_t* TRANS,
              const std::int64_t* JOB, const std::int64_t* LA, const double* A,
              const std::int64_t* IRN, const std::int64_t* KEEP, const double* CNTL,
              const std::int64_t* ICNTL, double* RHS, double* X, double* ERROR, double* W,
              std::int64_t* IW, std::int64_t* INFO);

// Solves A x = b (bit 0 of TRANS clear) or A^T x = b with a matrix in block
// upper triangular form factorized block by block. B is destroyed, X gets
// every component. W holds N reals for the kernel solve. SPARE1 and SPARE2
// are not read.
void BlockSolve(const std::int64_t* N, const std::int64_t* SPARE1, const std::int64_t* LFACT,
                const double* FACTORS, const double* A, const std::int64_t* IRNF,
                const std::int64_t* INDEX, const std::int64_t* TRISTART,
                const std::int64_t* OFFSTART, const std::int64_t* SPARE2,
                const std::int64_t* BLOCKS, const std::int64_t* IPTRL, const std::int64_t* IPTRU,
                double* B, double* X, const std::int64_t* TRANS, const std::int64_t* KCNTL,
                double* W);

// After a successful SluFactorize: RANK, the rows (ROWS, M entries) and
// columns (COLS, N entries) of the non-singular part first in increasing
// order, the others behind them in decreasing order. W holds max(M, N).
void SluRankInfo(const std::int64_t* M, const std::int64_t* N, const std::int64_t* LA,
                 const std::int64_t* IRN, const std::int64_t* KEEP, std::int64_t* RANK,
                 std::int64_t* ROWS, std::int64_t* COLS, std::int64_t* W);

// Y(1..M) = sum over the NE entries of A(k) X(JCN(k)) into row IRN(k);
// duplicates add up. N is not read.
void SparseMatVecCoord(const std::int64_t* NE, const double* A, const std::int64_t* IRN,
                       const std::int64_t* JCN, const std::int64_t* M, const std::int64_t* N,
                       const double* X, double* Y);
