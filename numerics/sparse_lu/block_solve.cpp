// BlockSolve: A x = b from the last diagonal block to the first, A^T x = b
// from the first to the last, the off-diagonal columns applied between the
// block solves. The order of the blocks, and of the columns inside a
// triangular block, makes every component it reads final already.
#include "numerics/sparse_lu/kernel_solve.h"
#include "numerics/sparse_lu/one_based.h"
#include "numerics/sparse_lu/slu_drivers.h"

namespace {

using ConstInts = slu::OneBased<const std::int64_t>;
using ConstReals = slu::OneBased<const double>;

}  // namespace

void BlockSolve(const std::int64_t* N, const std::int64_t*, const std::int64_t* LFACT,
                const double* FACTORS, const double* A, const std::int64_t* IRNF,
                const std::int64_t* INDEX, const std::int64_t* TRISTART,
                const std::int64_t* OFFSTART, const std::int64_t*, const std::int64_t* BLOCKS,
                const std::int64_t* IPTRL, const std::int64_t* IPTRU, double* B, double* X,
                const std::int64_t* TRANS, const std::int64_t* KCNTL, double* W) {
  const ConstInts blocks(BLOCKS), index(INDEX), tri(TRISTART), off(OFFSTART);
  const ConstReals a(A);
  const slu::RealView b(B), x(X);
  const std::int64_t nb = blocks[3];
  if (nb <= 0) return;
  const bool trans = (*TRANS & 1) != 0;
  // The columns are already in pivot order: no column permutation. Kept per
  // call rather than process-wide, so solves may run at the same time.
  const std::int64_t natural = 0;

  auto kernel = [&](std::int64_t block, std::int64_t k1) {
    const std::int64_t order = blocks[3 * block - 2];
    const std::int64_t np = blocks[3 * block - 1];
    const std::int64_t start = block == 1 ? 1 : blocks[3 * block];
    const std::int64_t lfact = *LFACT - start + 1;
    std::int64_t info[7] = {0, 0, 0, 0, 0, 0, 0};
    SluKernelSolve(&order, &order, KCNTL, &natural, &np, TRANS, &lfact, FACTORS + (start - 1),
                   IRNF + (start - 1), IPTRL + (k1 - 1), IPTRU + (k1 - 1), b.From(k1), x.From(k1),
                   W, info);
  };

  if (!trans) {
    std::int64_t k2 = *N;
    for (std::int64_t block = nb; block >= 1; --block) {
      const std::int64_t k1 = k2 - blocks[3 * block - 2] + 1;
      if (blocks[3 * block - 1] < 0) {
        for (std::int64_t j = k2; j >= k1; --j) {
          const double xj = b[j] / a[tri[j]];
          x[j] = xj;
          for (std::int64_t p = tri[j] + 1; p < tri[j + 1]; ++p) b[index[p]] -= a[p] * xj;
        }
      } else {
        kernel(block, k1);
      }
      if (block > 1) {
        for (std::int64_t j = k1; j <= k2; ++j) {
          const double xj = x[j];
          if (xj == 0.0) continue;
          for (std::int64_t p = off[j]; p < off[j + 1]; ++p) b[index[p]] -= a[p] * xj;
        }
      }
      k2 = k1 - 1;
    }
    return;
  }
  std::int64_t k1 = 1;
  for (std::int64_t block = 1; block <= nb; ++block) {
    const std::int64_t k2 = k1 + blocks[3 * block - 2] - 1;
    if (block > 1) {
      for (std::int64_t j = k1; j <= k2; ++j) {
        double sum = 0.0;
        for (std::int64_t p = off[j]; p < off[j + 1]; ++p) sum += a[p] * x[index[p]];
        b[j] -= sum;
      }
    }
    if (blocks[3 * block - 1] < 0) {
      for (std::int64_t j = k1; j <= k2; ++j) {
        double sum = 0.0;
        for (std::int64_t p = tri[j] + 1; p < tri[j + 1]; ++p) sum += a[p] * x[index[p]];
        x[j] = (b[j] - sum) / a[tri[j]];
      }
    } else {
      kernel(block, k1);
    }
    k1 = k2 + 1;
  }
}
