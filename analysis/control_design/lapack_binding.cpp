#include "analysis/control_design/lapack_binding.h"

#include <cstddef>
#include <vector>

extern "C" {
// gfortran appends the lengths of the character arguments.
void dgesvd_(const char* jobu, const char* jobvt, const int* m, const int* n, double* a,
             const int* lda, double* s, double* u, const int* ldu, double* vt, const int* ldvt,
             double* work, const int* lwork, int* info, std::size_t jobu_len,
             std::size_t jobvt_len);
void dgeev_(const char* jobvl, const char* jobvr, const int* n, double* a, const int* lda,
            double* wr, double* wi, double* vl, const int* ldvl, double* vr, const int* ldvr,
            double* work, const int* lwork, int* info, std::size_t jobvl_len,
            std::size_t jobvr_len);
}

std::int32_t LapackSingularValues(std::int32_t n, double* a, double* s) {
  if (n < 1) return -1;
  const int m = n, lda = n, ld = 1;
  const int lwork = 5 * n;
  std::vector<double> work(lwork);
  double dummy = 0.0;
  int info = 0;
  dgesvd_("N", "N", &m, &m, a, &lda, s, &dummy, &ld, &dummy, &ld, work.data(), &lwork, &info, 1, 1);
  return info;
}

std::int32_t LapackEigenvalues(std::int32_t n, double* a, double* wr, double* wi) {
  if (n < 1) return -1;
  const int nn = n, lda = n, ld = 1;
  // At least 3n without eigenvectors; 5n keeps the blocked path.
  const int lwork = 5 * n;
  std::vector<double> work(lwork);
  double dummy = 0.0;
  int info = 0;
  dgeev_("N", "N", &nn, a, &lda, wr, wi, &dummy, &ld, &dummy, &ld, work.data(), &lwork, &info, 1,
         1);
  return info;
}
