// Column grouping for finite-difference perturbation: partitions the columns
// of a sparse Jacobian pattern into groups in which no two columns share a
// row, so that one evaluation (or one integration) per group perturbs all of
// its columns and every changed row belongs to exactly one column of the
// group. Greedy first-fit colouring of the columns in ascending order.
// Arguments by reference, 64-bit integers, 1-based arrays and entry numbers.
#pragma once

#include <cstdint>

// M rows, NCOL columns, NE entries (IROW(e), JCOL(e)) sorted by row.
// Out: GROUP(NCOL) the group of each column (-1 for a column without
// entries), NGRP the number of groups, GROUPLIST for each group in turn its
// column count followed by its columns ascending (length NGRP plus the number
// of columns with entries; untouched when NGRP is 0).
// Work: ROWSTART(M+1), COLSTART(NCOL+1), MARK(NCOL), ORDER(NE); the caller
// may slice GROUP, ROWSTART, COLSTART, MARK and ORDER from one block of
// NE + 4 NCOL + 2 integers when M = NCOL.
// Input that is not sorted by row, or with a row outside 1..M or a column
// outside 1..NCOL, is refused with NGRP = -1 and every GROUP = -1: grouping
// unsorted rows would silently put columns that share a row together. Rows
// without entries are allowed.
void GroupColumnsForPerturbation(const std::int64_t& m, const std::int64_t& ncol,
                                 const std::int64_t& ne, const std::int64_t* irow,
                                 const std::int64_t* jcol, std::int64_t* grouplist,
                                 std::int64_t& ngrp, std::int64_t* group, std::int64_t* rowstart,
                                 std::int64_t* colstart, std::int64_t* mark, std::int64_t* order);

// Stable counting sort of the entry numbers 1..NE by KEY(e) in 1..NB: ORDER
// receives them bucket by bucket, each bucket in ascending entry order; POS(NB)
// ends holding, for each bucket, the position one past its last entry.
void CountingSortByKey(const std::int64_t& nb, const std::int64_t& ne, const std::int64_t* key,
                       std::int64_t* order, std::int64_t* pos);
