// The sparse linear interface: LSISolve, a handle-based entry to the sparse
// LU drivers that analyses, factorizes, re-factorizes and solves one square
// sparse system as its flag word asks, keeping the factors in the handle
// between calls.
//
// Work arrays that live only during one call (the drivers' IW and W, two
// vectors for the rank-deficiency correction) and the drivers' control
// arrays are process-wide, shared by every solver: all LSI solvers run on
// one thread at a time.
#pragma once

#include <cstdint>

#include "solve/options/options_client.h"

// Flag word of LSISolve.
inline constexpr std::int64_t kLsiAnalyse = 1;
inline constexpr std::int64_t kLsiFactorize = 2;
inline constexpr std::int64_t kLsiNewValues = 4;
inline constexpr std::int64_t kLsiSolve = 8;
inline constexpr std::int64_t kLsiSolveTransposed = 16;
inline constexpr std::int64_t kLsiReserved = 32;
inline constexpr std::int64_t kLsiDestroy = 64;

// Info answers of LSISolve; other negative values are the drivers' INFO(1).
inline constexpr std::int64_t kLsiOk = 0;
inline constexpr std::int64_t kLsiStructurallySingular = -1;
inline constexpr std::int64_t kLsiRankDeficient = -2;
inline constexpr std::int64_t kLsiSizeMismatch = -6;
inline constexpr std::int64_t kLsiOutOfMemory = -7;

// State bits of a solver's flag word.
inline constexpr std::uint32_t kLsiAnalysedOnce = 1;
inline constexpr std::uint32_t kLsiRankDeficientBit = 2;
inline constexpr std::uint32_t kLsiOutOfMemoryBit = 4;
inline constexpr std::uint32_t kLsiFactorizedOnce = 8;
inline constexpr std::uint32_t kLsiFirstAfterAnalysis = 16;
// IRN and KEEP are as the analysis left them (no factorization since).
inline constexpr std::uint32_t kLsiKeepIntact = 32;
inline constexpr std::uint32_t kLsiResizedInFactorize = 64;
inline constexpr std::uint32_t kLsiResizedInAnalyse = 128;
inline constexpr std::uint32_t kLsiResetRequested = 0x100;

// What one solve by flags is asked to do.
struct LsiRequest {
  std::int64_t flags = 0;  // kLsiReserved, kLsiAnalyse, kLsiFactorize, kLsiNewValues
  bool plain_solve = false;
  bool transposed_solve = false;
};

// A solver of one sparse matrix; an LSISolve handle points to one.
class LSIBaseSolve {
 public:
  LSIBaseSolve(std::int64_t ne, std::int64_t n);
  LSIBaseSolve(const LSIBaseSolve&) = delete;
  LSIBaseSolve& operator=(const LSIBaseSolve&) = delete;

  virtual std::int64_t Reserved1() { return 0; }
  virtual std::int64_t Analyse(const double* a, const std::int64_t* irn,
                               const std::int64_t* jcn) = 0;
  virtual std::int64_t Reserved3() { return 0; }
  virtual std::int64_t Reserved4() { return 0; }
  virtual std::int64_t Factorize(const double* a) = 0;
  virtual std::int64_t Reserved6() { return 0; }
  virtual std::int64_t FastFactorize(const double* a) = 0;
  virtual std::int64_t Solve(const double* rhs, double* x) = 0;
  virtual std::int64_t SolveTransposed(const double* rhs, double* x) = 0;
  // To `need` entries (at least 2 NE); 1 when the solver is out of memory.
  virtual int ResizeStorage(std::int64_t need) = 0;
  virtual std::int64_t Initialise() = 0;
  virtual std::int64_t SolveByFlags(const double* a, const std::int64_t* irn,
                                    const std::int64_t* jcn, double* x, const double* b,
                                    const LsiRequest& request) = 0;
  virtual void MarkForReset() = 0;
  virtual std::int64_t Rank() const = 0;
  // Rows and columns left out by the last rank-deficient factorization: N
  // entries, the first Rank() of them 0; null before any deficiency.
  virtual const std::int64_t* FirstDeficiencyList() const = 0;
  virtual const std::int64_t* SecondDeficiencyList() const = 0;
  virtual double LastOperationCount() const = 0;
  virtual double AverageOperationCount() const = 0;
  virtual double ReferenceOperationCount() const = 0;
  virtual ~LSIBaseSolve();

  std::uint32_t Flags() const { return flags_; }
  std::int64_t LastStatus() const { return last_status_; }
  std::int64_t Order() const { return n_; }
  std::int64_t Entries() const { return ne_; }
  std::int32_t Factorizations() const { return factorizations_; }
  std::int32_t FastFactorizations() const { return fast_factorizations_; }
  std::int32_t Analyses() const { return analyses_; }

 protected:
  std::uint32_t flags_ = 0;
  std::int64_t last_status_ = 0;
  std::int64_t n_ = 0;
  std::int64_t ne_ = 0;
  std::int32_t factorizations_ = 0;
  std::int32_t fast_factorizations_ = 0;
  std::int32_t analyses_ = 0;
};

// Copies of the options the LSI follows, kept by one process-wide client.
struct LsiOptionValues {
  std::int32_t print_level = 2;
  std::int32_t linear_solver = 4;
  double drop_tolerance = 0.0;
  double pivot_tolerance = 0.0;
  std::int32_t use_transpose = 0;
  std::int32_t repivot = 0;
  std::int32_t pivot_search = 0;
  // No option number: the growth factor of the operation-count monitor and
  // its window length (0 switches the monitor off).
  double reanalyze_threshold = 2.0;
  std::int32_t reanalyze_window = 0;
};

class LSIOptionsClient final : public QLNOptionsClient {
 public:
  static LSIOptionsClient& Instance();
  Status OptionChanged(std::int32_t number, const void* value) override;
  Status NamedOptionChanged(std::uint32_t id, const SUValue& value) override;
  LsiOptionValues values;
};

// The handle's whole protocol: flag 64 destroys it; otherwise a missing
// handle is made for (NE, N), and the matrix is analysed, factorized and
// solved as the flags ask. `rows` and `cols` are 1-based. `solver_kind` (the
// LinearSolver choice) is accepted for the callers; the SLU solver is the
// only kind.
void LSISolve(const double* values, const std::int64_t* rows, const std::int64_t* cols, double* x,
              const double* b, const std::int64_t* ne, const std::int64_t* n, LSIBaseSolve** handle,
              const std::int64_t* flags, std::int64_t* info, const std::int64_t* solver_kind);

namespace lsi_testing {
// The next `successes` allocations of the LSI succeed and the one after
// fails; a negative count switches the fault off.
void FailAllocationAfter(int successes);
// The storage length of new solvers and resets, in multiples of NE (5).
void SetInitialStorageFactor(std::int64_t factor);
// Live solvers and the bytes of the shared work space now held.
std::int64_t LiveSolvers();
std::int64_t SharedBytes();
}  // namespace lsi_testing
