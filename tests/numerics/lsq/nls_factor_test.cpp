// The optimiser's triangular factor of the Jacobian: every way of folding the
// rows in (Householder pieces of any size, Givens row by row, one block or
// several) gives the same R up to the signs of its rows, with R^T R = J^T J
// and R^T (Q^T r) = J^T r.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "numerics/lsq/nls_internal.h"

namespace {

struct Factor {
  std::vector<double> r, qtr;
};

// Rows [first, last) of J (n by p, column-major) and r folded into `into`.
void Fold(Factor& into, const std::vector<double>& jac, const std::vector<double>& res,
          std::int64_t n, std::int64_t p, std::int64_t first, std::int64_t last, bool householder,
          std::int64_t chunk_rows) {
  std::vector<double> chunk(static_cast<std::size_t>(chunk_rows * (p + 1)));
  std::vector<double> row(static_cast<std::size_t>(p));
  nls::AccumulateRows(p, jac.data(), n, res.data(), first, last, householder, into.r.data(),
                      into.qtr.data(), chunk.data(), chunk_rows, row.data());
}

TEST(NlsFactor, EveryFoldGivesTheSameTriangle) {
  std::mt19937_64 rng(7);
  std::normal_distribution<double> normal;
  struct Way {
    bool householder;
    std::int64_t chunk_rows;
    std::int64_t split;  // rows folded in a first block, the rest in a second
  };
  const Way ways[] = {{true, 1, 0}, {true, 3, 0},  {true, 64, 0},
                      {true, 2, 5}, {false, 1, 0}, {false, 1, 4}};
  for (std::int64_t p : {1, 3, 6}) {
    for (std::int64_t n : {p, p + 1, std::int64_t{17}}) {
      std::vector<double> jac(static_cast<std::size_t>(n * p)), res(static_cast<std::size_t>(n));
      for (auto& e : jac) e = normal(rng);
      for (auto& e : res) e = normal(rng);
      if (p > 1) {  // a badly scaled column and an exactly zero row
        for (std::int64_t i = 0; i < n; ++i) jac[i + n] *= 1e-9;
        for (std::int64_t j = 0; j < p; ++j) jac[(n - 1) + j * n] = 0.0;
      }
      std::vector<double> reference;
      for (const Way& way : ways) {
        const std::int64_t packed = p * (p + 1) / 2;
        Factor f{std::vector<double>(static_cast<std::size_t>(packed), 0.0),
                 std::vector<double>(static_cast<std::size_t>(p), 0.0)};
        const std::int64_t split = std::min(way.split, n);
        Fold(f, jac, res, n, p, 0, split, way.householder, way.chunk_rows);
        Fold(f, jac, res, n, p, split, n, way.householder, way.chunk_rows);
        const std::string what = "p " + std::to_string(p) + " n " + std::to_string(n) +
                                 (way.householder ? " Householder " : " Givens ") +
                                 std::to_string(way.chunk_rows) + "/" + std::to_string(split);
        // R^T R = J^T J and R^T qtr = J^T r, column by column.
        for (std::int64_t j = 0; j < p; ++j) {
          double column = 0.0, gradient = 0.0, rtq = 0.0;
          for (std::int64_t k = 0; k < n; ++k) {
            column += jac[k + j * n] * jac[k + j * n];
            gradient += jac[k + j * n] * res[k];
          }
          for (std::int64_t i = 0; i <= j; ++i) {
            double jtj = 0.0, rtr = 0.0;
            for (std::int64_t k = 0; k < n; ++k) jtj += jac[k + i * n] * jac[k + j * n];
            for (std::int64_t k = 0; k <= i; ++k)
              rtr += f.r[nls::PackedAt(k, i)] * f.r[nls::PackedAt(k, j)];
            EXPECT_NEAR(rtr, jtj, 1e-12 * (1.0 + column)) << what << " (" << i << "," << j << ")";
          }
          for (std::int64_t k = 0; k <= j; ++k) rtq += f.r[nls::PackedAt(k, j)] * f.qtr[k];
          EXPECT_NEAR(rtq, gradient, 1e-12 * (1.0 + std::sqrt(column) * 5.0)) << what;
        }
        // The same triangle whatever the way, once each row's sign is fixed.
        std::vector<double> normalised = f.r;
        for (std::int64_t k = 0; k < p; ++k) {
          const double sign = f.r[nls::PackedAt(k, k)] < 0.0 ? -1.0 : 1.0;
          for (std::int64_t j = k; j < p; ++j) normalised[nls::PackedAt(k, j)] *= sign;
        }
        if (reference.empty()) reference = normalised;
        for (std::size_t e = 0; e < reference.size(); ++e)
          EXPECT_NEAR(normalised[e], reference[e], 1e-10 * (1.0 + std::fabs(reference[e])))
              << what << " entry " << e;
      }
    }
  }
}

}  // namespace
