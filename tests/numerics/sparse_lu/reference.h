// Dense references from LAPACK for the solver tests.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "workloads/sparse_matrices.h"

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

// Singular values of a dense column-major m x n matrix by dgesvd, largest
// first.
std::vector<double> SingularValues(std::vector<double> dense, int m, int n);

double MaxAbsDifference(const std::vector<double>& x, const std::vector<double>& y);
double MaxAbs(const std::vector<double>& x);
bool IsPermutation(std::vector<std::int64_t> v);  // of 1..size

// The entries separated by blanks, for compact expectations.
template <class T>
std::string Joined(const std::vector<T>& v) {
  std::ostringstream text;
  for (std::size_t i = 0; i < v.size(); ++i) text << (i > 0 ? " " : "") << v[i];
  return text.str();
}

}  // namespace slu_test
