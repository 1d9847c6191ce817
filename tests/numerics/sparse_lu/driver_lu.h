// A typed wrapper for tests: the three drivers on one coordinate matrix
// with vectors for every array, the engine's controls (no printing).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "workloads/sparse_matrices.h"

namespace slu_test {

struct Coordinate {
  std::int64_t m = 0, n = 0;
  std::vector<std::int64_t> rows, cols;
  std::vector<double> values;
  std::int64_t ne() const { return static_cast<std::int64_t>(rows.size()); }
};
Coordinate ToCoordinate(const SparseMatrix& a);

struct DriverLu {
  explicit DriverLu(Coordinate matrix);

  // Each returns INFO(1). Analyse resets the arrays to length la.
  std::int64_t Analyse(std::int64_t la, std::int64_t job = 1);
  // Sets LA to la (0: keep), growing A and IRN when needed, and factorizes `values` (the matrix's
  // own when empty).
  std::int64_t Factorize(std::int64_t job, const std::vector<double>& values = {},
                         std::int64_t la = 0);
  // Analyse at 2 NE, once more at INFO(3) after -3; factorize at
  // max(INFO(3), INFO(4)), once more at INFO(4) after -3. Returns the
  // factorize INFO(1); the counts tell how often each was repeated.
  std::int64_t AnalyseAndFactorize(int* analyse_retries = nullptr,
                                   int* factorize_retries = nullptr);
  std::vector<double> Solve(std::vector<double> rhs, bool trans, std::int64_t job = 1);

  std::int64_t Blocks() const;
  // Block orders, a triangular block of order r counted as r blocks of 1.
  std::vector<std::int64_t> BlockOrders() const;

  Coordinate a;
  std::array<double, 5> cntl{};
  std::array<std::int64_t, 9> icntl{};
  std::int64_t la = 0;
  std::vector<double> values, w;
  std::vector<std::int64_t> irn, jcn, keep, iw;
  std::array<std::int64_t, 12> info{};
  double rinfo = 0.0;
  // Of the last Solve.
  std::array<std::int64_t, 12> solve_info{};
  std::array<double, 3> error{};
  std::vector<double> permuted_rhs;
};

}  // namespace slu_test
