// Routines of the sparse LU library that nothing in the engine calls: the
// rank and row/column flags of one kernel factorization, the full-part step
// of the rank rule on its own, a gather of coordinate entries by column, the
// merge of duplicate entries, and a family that eliminates the columns
// holding exactly two entries and replays such eliminations on new values,
// with the two solves that go with it.
//
// Conventions as in the rest of the library: every argument by pointer,
// arrays indexed from 1 in these comments, 64-bit integers, doubles, no
// allocation. Every count and index an argument carries is checked before
// anything is written: indices in range, pointers monotone and inside their
// arrays, old positions increasing. A refused call writes nothing but -1
// into its count output where it has one (RANK, K, the entry and pair
// counts, the exchange count); work arrays may have been used by the check.
//
// Orientation of the two-entry family. The stored N x N matrix S holds one
// equation per column, so a column with two entries is an equation in two
// unknowns (a flowsheet's connection): a1 y(r1) + a2 y(r2) = c. Eliminating
// it with pivot d in row p and the other entry e in row t gives
//   y(p) = m y(t) + c/d,  m = -e/d,
// and row p, multiplied by m, is merged into row t. The family solves
// S^T y = c as follows:
//   1. MergeDuplicates, then TwoEntryColumnEliminate (or a replay on new
//      values): K records and the reduced (N-K) x (N-K) matrix R;
//   2. ScaledColumnSolve on c with the records' pivot rows (the eliminated
//      columns), pivots, saved previous values and columns: the scaled
//      right-hand sides c/d in X, and R's right-hand side gathered in Y;
//   3. solve R^T z = Y with any LU;
//   4. ApplyRowOperations: z scattered to the remaining rows, then
//      y(pivot row) = m y(target row) + X(eliminated column) record by record
//      from the last, with the exchanges of the last replay.
// A replay that meets |d| < 0.05 |a| exchanges the record's two rows, and
// changes the record for later replays; the exchanges it reports are those
// relative to the records as it found them, so a caller that replays more
// than once replays from a copy of the records the elimination made.
#pragma once

#include <cstdint>

// ---- Rank of one kernel factorization ---------------------------------

// After SluKernelFactorize on an M x N matrix with column order IQ (IQ(1)
// <= 0: the natural order) and NP sparse pivot steps: RANK, ROWS(i) = 1 for
// a row of the non-singular part (0 otherwise), COLS(j) likewise for the
// given column j. LFACT is read only to check that the factor indices lie
// inside IRNF. W holds max(M, N) integers.
void KernelRankFlags(const std::int64_t* M, const std::int64_t* N, const std::int64_t* IQ,
                     const std::int64_t* NP, const std::int64_t* LFACT, const std::int64_t* IRNF,
                     const std::int64_t* IPTRL, const std::int64_t* IPTRU, std::int64_t* RANK,
                     std::int64_t* ROWS, std::int64_t* COLS, std::int64_t* W);

// The same, then the flags turned into lists: the rows (columns) of the
// non-singular part first in increasing order, the others filled in from
// the back (so in decreasing order).
void KernelRankLists(const std::int64_t* M, const std::int64_t* N, const std::int64_t* IQ,
                     const std::int64_t* NP, const std::int64_t* LFACT, const std::int64_t* IRNF,
                     const std::int64_t* IPTRL, const std::int64_t* IPTRU, std::int64_t* RANK,
                     std::int64_t* ROWS, std::int64_t* COLS, std::int64_t* W);

// The full part of M rows and N columns with its interchange record PIVOTS
// (N entries: the row exchanged at each accepted step, minus the step of a
// rejected column where it came to rest): RANK = r, the leading accepted
// pivots, ROWFLAGS (M) and COLFLAGS (N) carried back through the
// interchanges. With M < 1 only COLFLAGS (all 0) and with N < 1 only
// ROWFLAGS (all 0) are written.
void FullPartRankFlags(const std::int64_t* M, const std::int64_t* N, const std::int64_t* PIVOTS,
                       std::int64_t* RANK, std::int64_t* ROWFLAGS, std::int64_t* COLFLAGS);

// ---- Coordinate entries -----------------------------------------------

// Places the row indices IRN of NE entries with columns JCN (1..N) into
// OUT, grouped by column, in their given order within a column. W (N)
// returns the start of each column in OUT, so W(1) = 1.
void ColumnGather(const std::int64_t* N, const std::int64_t* NE, const std::int64_t* JCN,
                  const std::int64_t* IRN, std::int64_t* W, std::int64_t* OUT);

// For NE entries (values A, columns JCN, rows IRN, all in 1..N) grouped by
// column in increasing column order: merges the later entries of a
// (row, column) into the first (NDUP pairs of KEPT and DUPLICATE positions,
// at most NE), lists the columns left with exactly two entries (NQUEUE of
// them in QUEUE, N entries) and compacts the entries in place, NKEPT of
// them, OLDPOS(i) the old position of entry i (the identity when there were
// no duplicates). COLSTART (N + 1) and COLCOUNT (N) describe the compacted
// list. MARK holds N integers.
void MergeDuplicates(const std::int64_t* N, const std::int64_t* NE, double* A, std::int64_t* JCN,
                     std::int64_t* IRN, std::int64_t* COLSTART, std::int64_t* COLCOUNT,
                     std::int64_t* NQUEUE, std::int64_t* QUEUE, std::int64_t* NDUP,
                     std::int64_t* KEPT, std::int64_t* DUPLICATE, std::int64_t* NKEPT,
                     std::int64_t* OLDPOS, std::int64_t* MARK);

// ---- Two-entry column elimination -------------------------------------

// Arguments in order (lengths in brackets; K records, P merge pairs):
//  N, NE; A, JCN, IRN [NE] the entries; COLSTART [N+1] the column starts
//  into LIST, returning the old number of each new column; ROWOLD [N]
//  returning the old number of each new row; LIST [NE] the entry positions
//  by column (1..NE after MergeDuplicates), returning the old position of
//  each kept entry; COLCOUNT [N]; NQUEUE in: queued columns, out: K (-1 when
//  refused); QUEUE [N] the queued columns (each with two entries), returning
//  the eliminated ones in record order; the records TARGET, PIVOTROW,
//  MULT, EPOS, DPOS, PIVOT [N]; RANGE [N+1] the saved-range pointers;
//  PIVOTEND, TARGETEND [N]; SAVED, PIVPOS, PIVCOL, TARPOS, TARCOL [LSAVE];
//  NMERGE out: P; MERGEPTR [N+1]; MKEPT, MREMOVED [NE]; NREMAIN out: the
//  entries of the reduced matrix; IW [3N + 3NE]; LSAVE the length of the
//  saved ranges: a record that would not fit is not made and the columns
//  still queued stay in the reduced matrix.
// The reduced matrix is left in A, JCN, IRN (1..NREMAIN) with new numbers.
void TwoEntryColumnEliminate(const std::int64_t* N, const std::int64_t* NE, double* A,
                             std::int64_t* JCN, std::int64_t* IRN, std::int64_t* COLSTART,
                             std::int64_t* ROWOLD, std::int64_t* LIST, std::int64_t* COLCOUNT,
                             std::int64_t* NQUEUE, std::int64_t* QUEUE, std::int64_t* TARGET,
                             std::int64_t* PIVOTROW, double* MULT, std::int64_t* EPOS,
                             std::int64_t* DPOS, double* PIVOT, std::int64_t* RANGE,
                             std::int64_t* PIVOTEND, std::int64_t* TARGETEND, double* SAVED,
                             std::int64_t* PIVPOS, std::int64_t* PIVCOL, std::int64_t* TARPOS,
                             std::int64_t* TARCOL, std::int64_t* NMERGE, std::int64_t* MERGEPTR,
                             std::int64_t* MKEPT, std::int64_t* MREMOVED, std::int64_t* NREMAIN,
                             std::int64_t* IW, const std::int64_t* LSAVE);

// The same with the six sections of IW as separate arrays: column tails
// [N] (nothing is appended to a column, so they serve as column marks),
// row tails [N], previous-in-column [NE], next-in-row [NE],
// previous-in-row [NE], row lengths [N].
void TwoEntryColumnEliminateArrays(
    const std::int64_t* N, const std::int64_t* NE, double* A, std::int64_t* JCN, std::int64_t* IRN,
    std::int64_t* COLSTART, std::int64_t* ROWOLD, std::int64_t* LIST, std::int64_t* COLCOUNT,
    std::int64_t* NQUEUE, std::int64_t* QUEUE, std::int64_t* TARGET, std::int64_t* PIVOTROW,
    double* MULT, std::int64_t* EPOS, std::int64_t* DPOS, double* PIVOT, std::int64_t* RANGE,
    std::int64_t* PIVOTEND, std::int64_t* TARGETEND, double* SAVED, std::int64_t* PIVPOS,
    std::int64_t* PIVCOL, std::int64_t* TARPOS, std::int64_t* TARCOL, std::int64_t* NMERGE,
    std::int64_t* MERGEPTR, std::int64_t* MKEPT, std::int64_t* MREMOVED, std::int64_t* NREMAIN,
    std::int64_t* COLMARK, std::int64_t* ROWTAIL, std::int64_t* COLPREV, std::int64_t* ROWNEXT,
    std::int64_t* ROWPREV, std::int64_t* ROWLEN, const std::int64_t* LSAVE);

// ---- Replays on new values ---------------------------------------------

// Repeats the elimination's records on new values A (NE, same pattern as
// given to MergeDuplicates): the duplicates merged and the entries
// compacted as MergeDuplicates did (NDUP, DKEPT, DDUP, NKEPT, OLDPOS), the
// records applied in order, the reduced matrix's values compacted by FINAL
// (LIST of the elimination, NREMAIN entries). MULT, PIVOT and SAVED take
// the new multipliers, pivots and previous values. A record whose pivot
// falls below 0.05 times the other entry exchanges its rows: NEXCH grows,
// XTARGET, XPIVOT and XRECORD take its rows and number, and EPOS/DPOS, the
// two ends and the two rows' saved positions and columns trade places.
// EliminationReplay3 writes NEXCH only when an exchange occurred;
// EliminationReplay1 always writes it. N and NE are read only to check the
// other arguments; SPARE arguments are not read.
void EliminationReplay3(const std::int64_t* N, const std::int64_t* NE, double* A,
                        const std::int64_t* SPARE1, const std::int64_t* FINAL,
                        const std::int64_t* K, const std::int64_t* SPARE2,
                        const std::int64_t* TARGET, const std::int64_t* PIVOTROW, double* MULT,
                        std::int64_t* EPOS, std::int64_t* DPOS, double* PIVOT,
                        const std::int64_t* RANGE, std::int64_t* PIVOTEND, std::int64_t* TARGETEND,
                        std::int64_t* PIVPOS, std::int64_t* PIVCOL, std::int64_t* TARPOS,
                        std::int64_t* TARCOL, const std::int64_t* MKEPT,
                        const std::int64_t* MREMOVED, double* SAVED, const std::int64_t* MERGEPTR,
                        const std::int64_t* NDUP, const std::int64_t* DKEPT,
                        const std::int64_t* DDUP, const std::int64_t* NKEPT,
                        const std::int64_t* OLDPOS, std::int64_t* NEXCH, std::int64_t* XTARGET,
                        std::int64_t* XPIVOT, const std::int64_t* NREMAIN, std::int64_t* XRECORD);

void EliminationReplay1(const std::int64_t* N, const std::int64_t* NE, double* A,
                        const std::int64_t* SPARE1, const std::int64_t* FINAL,
                        const std::int64_t* K, const std::int64_t* SPARE2,
                        const std::int64_t* TARGET, const std::int64_t* PIVOTROW, double* MULT,
                        std::int64_t* EPOS, std::int64_t* DPOS, double* PIVOT,
                        const std::int64_t* RANGE, std::int64_t* PIVOTEND, std::int64_t* TARGETEND,
                        std::int64_t* PIVPOS, std::int64_t* PIVCOL, std::int64_t* TARPOS,
                        std::int64_t* TARCOL, const std::int64_t* MKEPT,
                        const std::int64_t* MREMOVED, double* SAVED, const std::int64_t* MERGEPTR,
                        const std::int64_t* NDUP, const std::int64_t* DKEPT,
                        const std::int64_t* DDUP, const std::int64_t* NKEPT,
                        const std::int64_t* OLDPOS, std::int64_t* NEXCH, std::int64_t* XTARGET,
                        std::int64_t* XPIVOT, const std::int64_t* NREMAIN, std::int64_t* XRECORD);

// Without the duplicate step (NDUP .. OLDPOS not read): A holds the
// compacted values with records 1 .. FIRST-1 already applied; records
// FIRST .. K are repeated and the values compacted by FINAL (NREMAIN = 0
// leaves them uncompacted). NEXCH is written only when an exchange occurred;
// the exchanges listed are those of records FIRST..K, to be joined behind
// those of the earlier records for ApplyRowOperations.
void EliminationReplay2(
    const std::int64_t* N, const std::int64_t* NE, double* A, const std::int64_t* SPARE1,
    const std::int64_t* FINAL, const std::int64_t* K, const std::int64_t* SPARE2,
    const std::int64_t* TARGET, const std::int64_t* PIVOTROW, double* MULT, std::int64_t* EPOS,
    std::int64_t* DPOS, double* PIVOT, const std::int64_t* RANGE, std::int64_t* PIVOTEND,
    std::int64_t* TARGETEND, std::int64_t* PIVPOS, std::int64_t* PIVCOL, std::int64_t* TARPOS,
    std::int64_t* TARCOL, const std::int64_t* MKEPT, const std::int64_t* MREMOVED, double* SAVED,
    const std::int64_t* MERGEPTR, const std::int64_t* NDUP, const std::int64_t* DKEPT,
    const std::int64_t* DDUP, const std::int64_t* NKEPT, const std::int64_t* OLDPOS,
    std::int64_t* NEXCH, std::int64_t* XTARGET, std::int64_t* XPIVOT, const std::int64_t* NREMAIN,
    std::int64_t* XRECORD, const std::int64_t* FIRST);

// ---- The two solves -----------------------------------------------------

// For k = 1..K: X(PIVROWS(k)) /= PIVOTS(k), then X(ROWIND(p)) -= that value
// times VALUES(p) for p = STARTS(k) .. ENDS(k). Then Y(j) = X(GATHER(j)) for
// j = 1..M-K. STARTS holds K + 1 entries; VALUES and ROWIND STARTS(K+1) - 1.
void ScaledColumnSolve(const std::int64_t* M, const std::int64_t* K, const std::int64_t* PIVROWS,
                       double* X, double* Y, const double* PIVOTS, const double* VALUES,
                       const std::int64_t* STARTS, const std::int64_t* ENDS,
                       const std::int64_t* GATHER, const std::int64_t* ROWIND);

// X(POSITIONS(i)) = VALUES(i) for i = 1..M-K; then for k = K down to 1:
// X(TARGET(k)) = MULT(k) X(INDEX(k)) + SECOND(SOURCE(k)), and after the
// record BREAK(x) of each exchange x (last first) X(XPOS1(x)) and
// X(XPOS2(x)) swap. SECOND holds M entries; BREAK increases.
void ApplyRowOperations(const std::int64_t* M, const std::int64_t* K, const std::int64_t* SOURCE,
                        const std::int64_t* INDEX, const std::int64_t* TARGET, const double* MULT,
                        const double* SECOND, double* X, const double* VALUES,
                        const std::int64_t* POSITIONS, const std::int64_t* NEXCH,
                        const std::int64_t* XPOS1, const std::int64_t* XPOS2,
                        const std::int64_t* BREAK);

namespace slu {

// Rows (or columns) 1..count with FLAG(i) = 1 to the front of OUT in
// increasing order, the others from the back. Shared with SluRankInfo.
void SplitFlags(std::int64_t count, const std::int64_t* flag, std::int64_t* out);

}  // namespace slu
