// The triangular solve the kernels call, against the library's DTRSV in
// every form, at the small sizes solved in place and just past them.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "numerics/sparse_lu/blas.h"

namespace {

TEST(SluBlas, TriangularSolveAgreesWithTheLibraryInEveryForm) {
  std::mt19937 random(61);
  std::uniform_real_distribution<double> value(-2.0, 2.0);
  for (std::int64_t n = 1; n <= 10; ++n) {
    for (const std::int64_t lda : {n, n + 3}) {
      std::vector<double> a(static_cast<std::size_t>(lda * n));
      for (double& e : a) e = value(random);
      for (std::int64_t j = 0; j < n; ++j) a[static_cast<std::size_t>(j + j * lda)] += 4.0;
      for (const char uplo : {'U', 'L', 'u'}) {
        for (const char trans : {'N', 'T', 'C', 't'}) {
          for (const char diag : {'N', 'U', 'n'}) {
            std::vector<double> x(static_cast<std::size_t>(n));
            for (double& e : x) e = value(random);
            if (n > 2) x[1] = 0.0;  // a zero entry skips its column
            std::vector<double> want = x;
            const int nn = static_cast<int>(n), ld = static_cast<int>(lda), one = 1;
            dtrsv_(&uplo, &trans, &diag, &nn, a.data(), &ld, want.data(), &one, 1, 1, 1);
            slu_blas::Dtrsv(uplo, trans, diag, n, a.data(), lda, x.data(), 1);
            for (std::size_t i = 0; i < x.size(); ++i) {
              EXPECT_NEAR(x[i], want[i], 1e-14 * (1.0 + std::fabs(want[i])))
                  << "n " << n << " lda " << lda << ' ' << uplo << trans << diag << " entry " << i;
            }
          }
        }
      }
    }
  }
}

}  // namespace
