// Combinatorial orderings of a square sparsity pattern given as N lists
// (rows) of column indices: ENTRIES holds the lists, list i occupies
// START(i) .. START(i)+COUNT(i)-1, in any order and with gaps. No routine
// changes ENTRIES, START or COUNT; LENTRIES is never read.
//
// MaximumTransversal matches lists to columns so that as many entries as
// possible lie on the diagonal: MATCH(i) is the list placed at position i,
// RANK the number of matched positions (the structural rank). MATCH is always
// completed to a permutation: the k-th unmatched list takes the k-th free
// position. WORK holds 4N integers.
//
// BlockTriangularOrder finds the symmetric permutation that makes a pattern
// (with a zero-free diagonal) block lower triangular: ORDER(k) is the old
// index at new position k, BLOCKSTART(b) the first position of block b,
// NUMBLOCKS the number of blocks. BLOCKSTART doubles as the search stack, so
// its entries beyond NUMBLOCKS mean nothing. WORK holds 3N integers.
//
// The *Arrays forms take the work columns as separate arrays and give the
// same results.
#pragma once

#include <cstdint>

void MaximumTransversal(const std::int64_t* N, const std::int64_t* ENTRIES,
                        const std::int64_t* LENTRIES, const std::int64_t* START,
                        const std::int64_t* COUNT, std::int64_t* MATCH, std::int64_t* RANK,
                        std::int64_t* WORK);

void MaximumTransversalArrays(const std::int64_t* N, const std::int64_t* ENTRIES,
                              const std::int64_t* LENTRIES, const std::int64_t* START,
                              const std::int64_t* COUNT, std::int64_t* MATCH, std::int64_t* RANK,
                              std::int64_t* PRED, std::int64_t* LOOK, std::int64_t* MARK,
                              std::int64_t* NEXT);

void BlockTriangularOrder(const std::int64_t* N, const std::int64_t* ENTRIES,
                          const std::int64_t* LENTRIES, const std::int64_t* START,
                          const std::int64_t* COUNT, std::int64_t* ORDER, std::int64_t* BLOCKSTART,
                          std::int64_t* NUMBLOCKS, std::int64_t* WORK);

void BlockTriangularOrderArrays(const std::int64_t* N, const std::int64_t* ENTRIES,
                                const std::int64_t* LENTRIES, const std::int64_t* START,
                                const std::int64_t* COUNT, std::int64_t* ORDER,
                                std::int64_t* BLOCKSTART, std::int64_t* NUMBLOCKS,
                                std::int64_t* LOWLINK, std::int64_t* NUMBER,
                                std::int64_t* PREVNODE);
