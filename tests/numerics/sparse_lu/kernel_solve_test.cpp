// Kernel analyse, factorize and solve against LAPACK on seeded matrices.
#include <gtest/gtest.h>

#include <random>

#include "tests/numerics/sparse_lu/kernel_lu.h"
#include "tests/numerics/sparse_lu/reference.h"

namespace slu_test {
namespace {

std::vector<double> RandomVector(std::int64_t n, std::mt19937_64& rng) {
  std::vector<double> b(static_cast<std::size_t>(n));
  for (double& v : b) v = Uniform(rng);
  return b;
}

// Solves both orientations and checks them against LAPACK.
void ExpectSolvesLikeLapack(KernelLu& lu, const SparseMatrix& a, std::mt19937_64& rng,
                            const std::string& what) {
  for (bool trans : {false, true}) {
    const auto b = RandomVector(a.n, rng);
    const auto x = lu.Solve(b, trans);
    EXPECT_LE(BackwardError(a, x, b, trans), 1e-13) << what << " trans=" << trans;
    const auto reference = LapackSolve(a, b, trans);
    ASSERT_FALSE(reference.empty()) << what;
    EXPECT_LE(MaxAbsDifference(x, reference), 1e-8 * (1.0 + MaxAbs(reference)))
        << what << " trans=" << trans;
  }
}

TEST(KernelSolve, RandomMatricesSolveLikeLapackForEveryDensitySwitchAndSearch) {
  std::mt19937_64 rng(20240601);
  for (std::int64_t n : {1, 2, 3, 7, 20, 60, 150}) {
    for (double density_switch : {0.0, 0.5, 1.0}) {
      for (std::int64_t search : {-1, 0, 1, 3}) {
        const SparseMatrix a = RandomSparse(n, 3.0 / static_cast<double>(n), rng);
        KernelControls c;
        c.cntl[0] = density_switch;
        c.icntl[3] = search;
        KernelLu lu(a, c);
        const auto& analysis = lu.Analyse();
        const std::string what = "n=" + std::to_string(n) + " switch=" +
                                 std::to_string(density_switch) + " search=" +
                                 std::to_string(search);
        ASSERT_EQ(analysis.info[0], 0) << what;
        ASSERT_EQ(lu.Factorize(1).info[0], 0) << what;
        ExpectSolvesLikeLapack(lu, a, rng, what);
      }
    }
  }
}

}  // namespace
}  // namespace slu_test
