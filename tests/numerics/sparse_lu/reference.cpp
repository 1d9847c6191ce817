#include "tests/numerics/sparse_lu/reference.h"

#include <algorithm>
#include <cmath>

extern "C" {
void dgesvd_(const char* jobu, const char* jobvt, const int* m, const int* n, double* a,
             const int* lda, double* s, double* u, const int* ldu, double* vt, const int* ldvt,
             double* work, const int* lwork, int* info, std::size_t jobu_len,
             std::size_t jobvt_len);
void dgetrf_(const int* m, const int* n, double* a, const int* lda, int* ipiv, int* info);
void dgetrs_(const char* trans, const int* n, const int* nrhs, const double* a, const int* lda,
             const int* ipiv, double* b, const int* ldb, int* info, std::size_t trans_len);
double dlange_(const char* norm, const int* m, const int* n, const double* a, const int* lda,
               double* work, std::size_t norm_len);
}

namespace slu_test {

std::vector<double> LapackSolve(const SparseMatrix& a, const std::vector<double>& b, bool trans) {
  const int n = static_cast<int>(a.n);
  std::vector<double> dense = a.Dense();
  std::vector<int> ipiv(static_cast<std::size_t>(n));
  int info = 0;
  dgetrf_(&n, &n, dense.data(), &n, ipiv.data(), &info);
  if (info != 0) return {};
  std::vector<double> x = b;
  const int one = 1;
  const char t = trans ? 'T' : 'N';
  dgetrs_(&t, &n, &one, dense.data(), &n, ipiv.data(), x.data(), &n, &info, 1);
  return x;
}

std::vector<double> Multiply(const SparseMatrix& a, const std::vector<double>& x, bool trans) {
  std::vector<double> y(static_cast<std::size_t>(trans ? a.n : a.m), 0.0);
  for (std::int64_t j = 1; j <= a.n; ++j) {
    for (std::int64_t e = a.colptr[j - 1]; e < a.colptr[j]; ++e) {
      const std::int64_t i = a.rows[e - 1];
      if (trans) {
        y[j - 1] += a.values[e - 1] * x[i - 1];
      } else {
        y[i - 1] += a.values[e - 1] * x[j - 1];
      }
    }
  }
  return y;
}

double MaxAbs(const std::vector<double>& x) {
  double m = 0.0;
  for (double v : x) m = std::max(m, std::fabs(v));
  return m;
}

double MaxAbsDifference(const std::vector<double>& x, const std::vector<double>& y) {
  double m = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) m = std::max(m, std::fabs(x[i] - y[i]));
  return m;
}

double BackwardError(const SparseMatrix& a, const std::vector<double>& x,
                     const std::vector<double>& b, bool trans) {
  const std::vector<double> ax = Multiply(a, x, trans);
  double residual = 0.0;
  for (std::size_t i = 0; i < b.size(); ++i) residual = std::max(residual, std::fabs(b[i] - ax[i]));
  // Infinity norm of op(A): largest row sum of |A| (column sum when transposed).
  std::vector<double> sums(static_cast<std::size_t>(trans ? a.n : a.m), 0.0);
  for (std::int64_t j = 1; j <= a.n; ++j) {
    for (std::int64_t e = a.colptr[j - 1]; e < a.colptr[j]; ++e) {
      sums[static_cast<std::size_t>(trans ? j - 1 : a.rows[e - 1] - 1)] +=
          std::fabs(a.values[e - 1]);
    }
  }
  const double denominator = MaxAbs(sums) * MaxAbs(x) + MaxAbs(b);
  return denominator > 0.0 ? residual / denominator : residual;
}

double OneNorm(const std::vector<double>& dense, std::int64_t n) {
  const int nn = static_cast<int>(n);
  const char norm = '1';
  return dlange_(&norm, &nn, &nn, dense.data(), &nn, nullptr, 1);
}

std::vector<double> SingularValues(std::vector<double> dense, int m, int n) {
  std::vector<double> s(static_cast<std::size_t>(std::min(m, n)));
  int lwork = -1, info = 0, one = 1;
  double query = 0.0, dummy = 0.0;
  dgesvd_("N", "N", &m, &n, dense.data(), &m, s.data(), &dummy, &one, &dummy, &one, &query, &lwork,
          &info, 1, 1);
  lwork = static_cast<int>(query);
  std::vector<double> work(static_cast<std::size_t>(lwork));
  dgesvd_("N", "N", &m, &n, dense.data(), &m, s.data(), &dummy, &one, &dummy, &one, work.data(),
          &lwork, &info, 1, 1);
  return s;
}

bool IsPermutation(std::vector<std::int64_t> v) {
  std::sort(v.begin(), v.end());
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (v[i] != static_cast<std::int64_t>(i) + 1) return false;
  }
  return true;
}

}  // namespace slu_test
