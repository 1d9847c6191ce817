// A square sparse system given as 1-based (row, column) pairs: values set,
// equilibrated (rows, then columns) and factorised, solved with refinement,
// and for a singular matrix its rank with the dependent rows and columns.
// The COM systems of the linear and nonlinear libraries both run on it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "outside/framework/sparse_lu.h"

namespace kvs {

struct LinearSettings {
  LuSettings lu;
  double error_tol = 1e-10;       // residual bound that ends refinement
  std::int32_t max_refine = 0;    // refinement steps at most
  double singular_rcond = 1e-14;  // below it the matrix is treated as singular
};

enum class FactorResult { kOk, kSingular, kFailed };
enum class SolveResult { kOk, kNormError, kFailed };

class LinearCore {
 public:
  explicit LinearCore(std::unique_ptr<SparseLu> lu) : lu_(std::move(lu)) {}
  ~LinearCore();
  LinearCore(const LinearCore&) = delete;
  LinearCore& operator=(const LinearCore&) = delete;

  // False for indices outside 1..n, a size below 1 or counts beyond 32 bits.
  bool SetPattern(std::int64_t n, std::int64_t non_zeros, const std::int64_t* rows,
                  const std::int64_t* cols);
  // kFailed for non-finite values. On kSingular the rank and the dependent
  // lists are kept, and later solves give the dependent variables 0 and
  // ignore the dependent rows.
  FactorResult Factorise(const double* values, const LinearSettings& settings);
  // kNormError when the solution is not finite or does not satisfy the
  // system to a backward error of sqrt(eps).
  SolveResult Solve(const double* rhs, double* x, const LinearSettings& settings);
  // After kSingular: adds `size` to each dependent pivot of the equilibrated
  // matrix (a dependent row with its dependent column), so that later
  // solves and products use that regular matrix instead of cutting the
  // dependence out. The rank and the lists stay those of the matrix given.
  // False (nothing changed) when the perturbed matrix cannot be factorised.
  bool Perturb(double size, const LinearSettings& settings);
  bool perturbed() const { return perturbed_; }

  std::int64_t n() const { return n_; }
  std::int64_t rank() const { return rank_; }
  // 0-based; the independent ones first, the dependent ones from rank() on.
  const std::vector<std::int64_t>& row_order() const { return row_order_; }
  const std::vector<std::int64_t>& col_order() const { return col_order_; }
  std::int32_t factorisations() const { return factorisations_; }

  // y = A x and y = A^T x with the values last given.
  void Multiply(const double* x, double* y) const;
  void MultiplyTransposed(const double* x, double* y) const;

 private:
  bool Analyse(const LinearSettings& settings);
  void FindRank();
  bool FactoriseReduced(const LinearSettings& settings);
  // The values scaled as the LU takes them (row_scale_, col_scale_ kept).
  const double* Equilibrate(const double* values);

  std::unique_ptr<SparseLu> lu_;
  std::int64_t n_ = 0;
  std::int64_t non_zeros_ = 0;               // input pairs
  std::vector<std::int64_t> start_, index_;  // CSC
  std::vector<std::int32_t> slot_;  // input k -> CSC slot; narrow, read every factorisation
  std::vector<double> csc_values_;
  // With an LU that takes pairs and no pair repeated, the values stay in
  // the caller's order, and the CSC values are filled only when wanted.
  bool pairs_ = false;
  bool csc_stale_ = false;
  bool valued_ = false;                            // values given and finite
  std::vector<std::int32_t> pair_row_, pair_col_;  // 0-based, the caller's order
  std::vector<double> values_;                     // the caller's order
  const std::vector<double>& CscValues();
  std::vector<double> b_, sol_, residual_, correction_, row_sum_;  // solve work, kept
  std::vector<double> scaled_, scaled_rhs_, row_scale_, col_scale_;
  bool analysed_ = false, analysed_transposed_ = false;
  bool singular_ = false;
  bool perturbed_ = false;
  // The singular matrix with its dependence cut out, or once perturbed the
  // perturbed matrix (unscaled; its factors are of the equilibrated one).
  std::unique_ptr<SparseLu> reduced_;
  std::vector<std::int64_t> reduced_start_, reduced_index_;
  std::vector<double> reduced_values_;
  std::int64_t rank_ = 0;
  std::vector<std::int64_t> row_order_, col_order_;
  std::int32_t factorisations_ = 0;
};

}  // namespace kvs
