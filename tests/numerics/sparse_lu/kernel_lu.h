// A typed wrapper for tests: runs the kernel analyse, factorize and solve on
// one matrix with vectors for every array.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "workloads/sparse_matrices.h"

namespace slu_test {

struct KernelControls {
  KernelControls();  // the kernel defaults with every unit set to 0
  // Chainable settings by meaning.
  KernelControls& DensitySwitch(double v) { return Set(cntl[0], v); }
  KernelControls& Threshold(double v) { return Set(cntl[1], v); }
  KernelControls& DropTolerance(double v) { return Set(cntl[2], v); }
  KernelControls& PivotTolerance(double v) { return Set(cntl[3], v); }
  KernelControls& Search(std::int64_t v) { return Set(icntl[3], v); }
  KernelControls& Level(std::int64_t v) { return Set(icntl[4], v); }
  KernelControls& KeptLast(std::int64_t v) { return Set(icntl[5], v); }
  KernelControls& Diagonal() { return Set(icntl[6], std::int64_t{1}); }
  KernelControls& GivenOrder() { return Set(icntl[6], std::int64_t{2}).Search(1); }

  std::array<double, 4> cntl;
  std::array<std::int64_t, 7> icntl;

 private:
  template <class T>
  KernelControls& Set(T& entry, T v) {
    entry = v;
    return *this;
  }
};

struct AnalyseResult {
  std::array<std::int64_t, 7> info{};
  double rinfo = 0.0;
  std::int64_t np = 0;
  std::vector<std::int64_t> ip, iq, colpos;
};

struct FactorizeResult {
  std::array<std::int64_t, 7> info{};
  double rinfo = 0.0;
};

struct KernelLu {
  KernelLu(const SparseMatrix& matrix, const KernelControls& kernel_controls)
      : a(matrix), controls(kernel_controls) {}

  // la = 0 gives room for a dense fill. `given_rows`/`given_columns` feed the
  // given-order mode.
  const AnalyseResult& Analyse(std::int64_t la = 0,
                               const std::vector<std::int64_t>& given_rows = {},
                               const std::vector<std::int64_t>& given_columns = {});
  // Factorizes `values` (same pattern; the matrix's own when empty) with the
  // order of the last analysis. lfact = 0 gives a length that always fits.
  const FactorizeResult& Factorize(std::int64_t job, const std::vector<double>& values = {},
                                   std::int64_t lfact = 0);
  std::vector<double> Solve(const std::vector<double>& b, bool trans,
                            std::int64_t level = -1) const;
  std::int64_t AmpleLength() const;
  // Analyse() then Factorize(1).
  const FactorizeResult& Factorized() {
    Analyse();
    return Factorize(1);
  }

  SparseMatrix a;
  KernelControls controls;
  AnalyseResult analysis;
  FactorizeResult factorization;
  // The factor arrays, for tests that look at the layout.
  std::vector<double> factors;
  std::vector<std::int64_t> irnf, iptrl, iptru, factor_ip;
  mutable std::int64_t last_solve_info = 0;
};

}  // namespace slu_test
