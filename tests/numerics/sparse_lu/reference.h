// Dense references from LAPACK for the solver tests.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/numerics/sparse_lu/test_matrices.h"

namespace slu_test {

// x with A x = b (or A^T x = b) by dgetrf/dgetrs; empty when A is singular.
std::vector<double> LapackSolve(const SparseMatrix& a, const std::vector<double>& b, bool trans);

// Normwise backward error ||b - op(A) x|| / (||A|| ||x|| + ||b||), infinity norms.
double BackwardError(const SparseMatrix& a, const std::vector<double>& x,
                     const std::vector<double>& b, bool trans);

// op(A) x.
std::vector<double> Multiply(const SparseMatrix& a, const std::vector<double>& x, bool trans);

// 1-norm of a dense column-major n x n matrix by dlange.
double OneNorm(const std::vector<double>& dense, std::int64_t n);

// Rank by dgesvd with a relative tolerance.
std::int64_t NumericalRank(const SparseMatrix& a, double tolerance = 1e-9);

double MaxAbsDifference(const std::vector<double>& x, const std::vector<double>& y);
double MaxAbs(const std::vector<double>& x);

}  // namespace slu_test
