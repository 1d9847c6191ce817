// The contract shared by the sparse LU driver routines SluAnalyse,
// SluFactorize and SluSolve: the meaning of the control and information
// arrays, the layout of the persistent KEEP array, the argument checks that
// every driver makes first, and the texts of their errors and warnings.
//
// Conventions of the whole library: every argument is passed by pointer and
// re-read through it, arrays are indexed from 1 in the comments (entry k is
// element k-1), every stored index is 1-based, integers are 64-bit, reals
// double, and no routine allocates.
#pragma once

#include <cstdint>

namespace slu {

// Entries of the driver controls ICNTL(1..9) and CNTL(1..5), 1-based.
inline constexpr int kErrorUnit = 1;          // ICNTL(1)
inline constexpr int kWarningUnit = 2;        // ICNTL(2)
inline constexpr int kPrintLevel = 3;         // ICNTL(3)
inline constexpr int kSearchLimit = 4;        // ICNTL(4)
inline constexpr int kBlockSize = 5;          // ICNTL(5)
inline constexpr int kMinimumBlock = 6;       // ICNTL(6)
inline constexpr int kSingularIsError = 7;    // ICNTL(7)
inline constexpr int kChangeableColumns = 8;  // ICNTL(8)
inline constexpr int kRefinementLimit = 9;    // ICNTL(9)

inline constexpr int kDensitySwitch = 1;   // CNTL(1)
inline constexpr int kPivotThreshold = 2;  // CNTL(2)
inline constexpr int kDropTolerance = 3;   // CNTL(3)
inline constexpr int kPivotTolerance = 4;  // CNTL(4)
inline constexpr int kConvergence = 5;     // CNTL(5)

inline constexpr int kIcntlLength = 9;
inline constexpr int kCntlLength = 5;
inline constexpr int kInfoLength = 12;

// Warning parts of a driver's INFO(1); a driver returns their sum (0..7).
inline constexpr std::int64_t kWarnEntries = 1;  // duplicates or out-of-range entries
inline constexpr std::int64_t kWarnRank = 2;     // rank deficiency
inline constexpr std::int64_t kWarnNoPivot = 4;  // a block without an acceptable pivot

// Positions (1-based) inside KEEP for an M x N matrix. Each named offset is
// the position before its section: IPTRL(j) is KEEP(iptrl + j).
struct KeepLayout {
  KeepLayout(std::int64_t m, std::int64_t n)
      : iptrl(m + n), iptru(iptrl + n), iptrd(iptru + n), iptro(iptrd + n + 1),
        nblock(iptro + n - 1), mblock(nblock + 1), kblock(nblock + 2) {}

  std::int64_t BlockOrder(std::int64_t k) const { return nblock + 3 * k; }
  std::int64_t BlockFlag(std::int64_t k) const { return mblock + 3 * k; }
  std::int64_t BlockStart(std::int64_t k) const { return kblock + 3 * k; }
  // LBLOCK(k), kept only when ICNTL(8) is non-zero.
  std::int64_t ChangedColumns(std::int64_t blocks, std::int64_t k) const {
    return kblock + 3 * blocks + k;
  }
  // The last position used with NB blocks and ICNTL(8) set.
  std::int64_t LastUsed(std::int64_t blocks) const { return ChangedColumns(blocks, blocks); }

  std::int64_t iptrl, iptru, iptrd, iptro, nblock, mblock, kblock;
};

// Array lengths the engine passes for its square systems of order N with NE
// entries.
struct EngineLengths {
  std::int64_t la, keep, iw, w;
};
EngineLengths EngineLengthsFor(std::int64_t n, std::int64_t ne);

// The three drivers, for messages and checks.
enum class Driver { kAnalyse, kFactorize, kSolve };

// Causes of a driver's error return. Each maps to its INFO(1) code.
enum class DriverError {
  kBadDimensions,         // -1: M < 1 or N < 1
  kBadEntryCount,         // -2: NE < 1
  kShortStorage,          // -3: LA too small
  kStructurallySingular,  // -4
  kBadPermutations,       // -5: JOB = 2 with faulty permutations
  kBadJob,                // -6: JOB out of range
  kDroppedBefore,         // -6: JOB > 1 after a factorization that dropped entries
  kIncompatible,          // -7: JOB = 2 met an unacceptable pivot
  kNoConvergence,         // -8: iterative refinement did not converge
  kNormEstimate,          // -9: the norm estimator did not finish
};
std::int64_t CodeOf(DriverError error);

// Values quoted by the error messages; only those of the error are read.
struct ErrorValues {
  std::int64_t m = 0, n = 0, ne = 0, job = 0, la = 0;
  std::int64_t need = 0;              // least LA for -3
  std::int64_t rank = 0;              // structural rank for -4
  std::int64_t refinement_limit = 0;  // ICNTL(9) for -8
};

// Writes the error's message to the error unit (ICNTL(1) when ICNTL(3) >= 1)
// and returns its INFO(1) code.
std::int64_t ReportError(const std::int64_t* icntl, Driver driver, DriverError error,
                         const ErrorValues& values);

// The argument checks every driver makes before anything else, in their
// order: M and N (-1), NE (-2), LA < 2 NE (-3, with the least LA in INFO(3)
// for SluAnalyse and in INFO(4) for SluFactorize), JOB outside 1..3, or 1..4
// for SluSolve (-6). SluSolve checks only M, N and JOB. On an error INFO(1)
// and the least-LA entry are set, the message written, and the code
// returned; nothing else is touched. Returns 0 when the arguments pass.
std::int64_t CheckDriverArguments(Driver driver, const std::int64_t* m, const std::int64_t* n,
                                  const std::int64_t* ne, const std::int64_t* job,
                                  const std::int64_t* la, const std::int64_t* icntl,
                                  std::int64_t* info);

// Warning lines of SluAnalyse about its entries, written to the warning unit
// (ICNTL(2) when ICNTL(3) >= 2). `ordinal` counts the entries of the kind
// found so far (1 for the first); only the first ten are written.
void WarnOutOfRange(const std::int64_t* icntl, std::int64_t ordinal, std::int64_t entry,
                    std::int64_t row, std::int64_t column);
void WarnDuplicate(const std::int64_t* icntl, std::int64_t ordinal, std::int64_t entry,
                   std::int64_t row, std::int64_t column);
// The two closing lines, duplicates first.
void WarnEntrySummary(const std::int64_t* icntl, std::int64_t duplicates,
                      std::int64_t out_of_range);

}  // namespace slu
