// Seeded sparse matrices for the solver's tests and benchmark, held by
// columns with 1-based row indices as the kernels take them.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace slu_test {

struct SparseMatrix {
  std::int64_t m = 0, n = 0;
  std::vector<std::int64_t> colptr;  // n + 1 entries, 1-based, colptr[n] = nnz + 1
  std::vector<std::int64_t> rows;    // 1-based
  std::vector<double> values;

  std::int64_t nnz() const { return static_cast<std::int64_t>(rows.size()); }
  // Column-major dense copy (m x n).
  std::vector<double> Dense() const;
  // The same pattern with new values drawn from rng.
  SparseMatrix WithNewValues(std::mt19937_64& rng) const;
};

// Builds from triplets (1-based); entries of equal position are summed.
SparseMatrix FromTriplets(std::int64_t m, std::int64_t n, std::vector<std::int64_t> rows,
                          std::vector<std::int64_t> cols, std::vector<double> values);

// Entries gathered one at a time, then built by FromTriplets.
struct Triplets {
  std::vector<std::int64_t> rows, cols;
  std::vector<double> values;
  void Add(std::int64_t i, std::int64_t j, double v) {
    rows.push_back(i);
    cols.push_back(j);
    values.push_back(v);
  }
  SparseMatrix Build(std::int64_t m, std::int64_t n) const {
    return FromTriplets(m, n, rows, cols, values);
  }
};

double Uniform(std::mt19937_64& rng, double lo = -1.0, double hi = 1.0);
std::vector<double> RandomVector(std::int64_t n, std::mt19937_64& rng);  // in [-1, 1]

// Random unsymmetric, regular through a permuted diagonal of modulus 1..2.
SparseMatrix RandomSparse(std::int64_t n, double density, std::mt19937_64& rng);
// Random rectangular pattern without the added diagonal.
SparseMatrix RandomRectangular(std::int64_t m, std::int64_t n, double density,
                               std::mt19937_64& rng);
// Band of half-width w with a dominant diagonal.
SparseMatrix Banded(std::int64_t n, std::int64_t w, std::mt19937_64& rng);
// Block upper triangular with the given block orders, dense diagonal blocks,
// sparse coupling above them, rows and columns randomly permuted.
SparseMatrix PermutedBlockTriangular(const std::vector<std::int64_t>& orders, double coupling,
                                     std::mt19937_64& rng);
// Diagonal plus a full first row and first column.
SparseMatrix Arrow(std::int64_t n, std::mt19937_64& rng);

}  // namespace slu_test
