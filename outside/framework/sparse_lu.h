// The sparse LU a framework library runs on, behind one small interface so
// that a library differs from its sibling only in the adapter it creates
// (kvs_mfl and kvs_sparse_mfl: UMFPACK; kvs_slu and kvs_sparse: an adapter
// over our own sparse LU drivers, with their own rank report).
#pragma once

#include <cstdint>
#include <memory>

namespace kvs {

struct LuSettings {
  double pivot_tolerance = 0.1;  // threshold partial pivoting, 0..1
  double drop_tolerance = 0.0;   // entries of the factors below it are dropped
  bool scale = true;             // row scaling inside the factorisation
  bool transpose = false;        // factorise the transpose, solve with its transpose
  bool repivot = false;          // a fresh analysis for every set of values
  std::int32_t strategy = 0;     // 0 automatic, 1 unsymmetric, 2 symmetric
};

enum class LuResult { kOk, kSingular, kFailed };

// Square, compressed by columns, 0-based; the pattern stays for the
// object's life. Factorise may be called again with new values.
class SparseLu {
 public:
  virtual ~SparseLu() = default;
  virtual bool Analyse(std::int64_t n, const std::int64_t* col_start, const std::int64_t* row_index,
                       const LuSettings& settings) = 0;
  // kSingular when a pivot is exactly zero or the reciprocal condition
  // estimate is below `singular_rcond`; the factors are then unusable.
  virtual LuResult Factorise(const double* values, const LuSettings& settings,
                             double singular_rcond) = 0;
  // x = A^-1 b with the last factors.
  virtual bool Solve(const double* b, double* x) = 0;
  // The same with up to `refine_steps` steps of the LU's own iterative
  // refinement, for an LU that has it; the caller's refinement follows.
  virtual bool Solve(const double* b, double* x, std::int32_t /*refine_steps*/) {
    return Solve(b, x);
  }
  // After kSingular: the rank with the rows and columns (0-based, the
  // independent ones first) when the LU reports them itself; false sends
  // the matrix to the library's own rank analysis.
  virtual bool RankInfo(std::int64_t* /*rank*/, std::int64_t* /*rows*/, std::int64_t* /*cols*/) {
    return false;
  }
  // An LU that can take the matrix as (row, column) pairs, 0-based, in the
  // caller's order with no pair repeated: after AnalysePairs its values come
  // in that order too, which spares the caller compressing every set.
  virtual bool TakesPairs() const { return false; }
  virtual bool AnalysePairs(std::int64_t /*n*/, std::int64_t /*count*/,
                            const std::int32_t* /*rows*/, const std::int32_t* /*cols*/,
                            const LuSettings& /*settings*/) {
    return false;
  }
  // Another object of the same kind, for a second matrix.
  virtual std::unique_ptr<SparseLu> Fresh() const = 0;
};

std::unique_ptr<SparseLu> MakeUmfpackLu();
std::unique_ptr<SparseLu> MakeSluLu();

}  // namespace kvs
