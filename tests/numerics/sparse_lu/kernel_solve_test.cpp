// Kernel analyse, factorize and solve against LAPACK on seeded matrices, in
// every pivot mode and search setting.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "tests/numerics/sparse_lu/kernel_lu.h"
#include "tests/numerics/sparse_lu/reference.h"

namespace slu_test {
namespace {

// Both orientations: backward error at most 1e-13 and LAPACK's solution.
void ExpectSolvesLikeLapack(const KernelLu& lu, const SparseMatrix& a, std::mt19937_64& rng,
                            const std::string& what) {
  for (bool trans : {false, true}) {
    const auto b = RandomVector(a.n, rng);
    const auto x = lu.Solve(b, trans);
    EXPECT_LE(BackwardError(a, x, b, trans), 1e-13) << what << " trans=" << trans;
    const auto reference = LapackSolve(a, b, trans);
    ASSERT_FALSE(reference.empty()) << what;
    EXPECT_LE(MaxAbsDifference(x, reference), 1e-9 * (1.0 + MaxAbs(reference)))
        << what << " trans=" << trans;
  }
}

void AnalyseFactorizeAndCompare(const SparseMatrix& a, const KernelControls& c,
                                std::mt19937_64& rng, const std::string& what) {
  KernelLu lu(a, c);
  ASSERT_EQ(lu.Analyse().info[0], 0) << what;
  ASSERT_EQ(lu.Factorize(1).info[0], 0) << what;
  EXPECT_EQ(lu.factorization.info[4], a.n) << what;
  ExpectSolvesLikeLapack(lu, a, rng, what);
}

TEST(KernelSolve, RandomMatricesSolveLikeLapackForEveryDensitySwitchAndSearch) {
  std::mt19937_64 rng(20240601);
  for (std::int64_t n : {1, 2, 3, 7, 20, 60, 150, 500}) {
    for (double density_switch : {0.0, 0.5, 1.0}) {
      for (std::int64_t search : {-1, 0, 1, 3}) {
        if (n == 500 && (density_switch == 0.0 || search == 3)) continue;  // keep it short
        const KernelControls c = KernelControls().DensitySwitch(density_switch).Search(search);
        const std::string what = "n=" + std::to_string(n) +
                                 " switch=" + std::to_string(density_switch) +
                                 " search=" + std::to_string(search);
        AnalyseFactorizeAndCompare(RandomSparse(n, 3.0 / static_cast<double>(n), rng), c, rng,
                                   what);
      }
    }
  }
}

TEST(KernelSolve, StructuredFamiliesSolveLikeLapack) {
  std::mt19937_64 rng(99);
  const KernelControls c;
  AnalyseFactorizeAndCompare(Banded(120, 3, rng), c, rng, "banded");
  AnalyseFactorizeAndCompare(PermutedBlockTriangular({1, 4, 1, 1, 9, 2, 30}, 0.2, rng), c, rng,
                             "block triangular");
  AnalyseFactorizeAndCompare(Arrow(80, rng), c, rng, "arrow");
  SparseMatrix single = FromTriplets(1, 1, {1}, {1}, {-4.0});
  KernelLu lu(single, c);
  EXPECT_EQ(lu.Analyse().np, 0);  // the density test ends the sparse phase at once
  EXPECT_EQ(lu.analysis.info[4], 1);
  ASSERT_EQ(lu.Factorize(1).info[0], 0);
  EXPECT_EQ(lu.Solve({2.0}, false), std::vector<double>{-0.5});
}

TEST(KernelSolve, DiagonalModeTakesDiagonalPivotsOrSwitchesToFullProcessing) {
  std::mt19937_64 rng(8);
  KernelControls c = KernelControls().Diagonal().Search(0);
  // A dominant diagonal: every sparse pivot passes on the diagonal.
  const SparseMatrix a = Banded(60, 2, rng);
  KernelLu lu(a, c);
  const AnalyseResult& r = lu.Analyse();
  ASSERT_EQ(r.info[0], 0);
  ASSERT_GT(r.np, 0);
  for (std::int64_t i = 1; i <= a.n; ++i) {  // row i pivots in column i
    EXPECT_TRUE(r.ip[i - 1] > r.np || r.iq[r.ip[i - 1] - 1] == i) << i;
  }
  ASSERT_EQ(lu.Factorize(1).info[0], 0);
  ExpectSolvesLikeLapack(lu, a, rng, "diagonal mode");

  // A permuted diagonal with a zero diagonal: no diagonal candidate exists.
  Triplets t;
  for (std::int64_t j = 1; j <= 30; ++j) {
    t.Add(j % 30 + 1, j, 2.0 + Uniform(rng));
    t.Add((j + 4) % 30 + 1, j, Uniform(rng));
  }
  const SparseMatrix b = t.Build(30, 30);
  KernelLu full(b, c.Search(3));
  EXPECT_EQ(full.Analyse().info[0], 2);
  EXPECT_EQ(full.analysis.np, 0);
  ASSERT_EQ(full.Factorize(1).info[0], 0);
  ExpectSolvesLikeLapack(full, b, rng, "no diagonal pivot");
}

TEST(KernelSolve, GivenOrderReproducesAnEarlierAnalysis) {
  std::mt19937_64 rng(14);
  const SparseMatrix a = RandomSparse(90, 0.04, rng);
  KernelLu free_choice(a, KernelControls());
  const AnalyseResult first = free_choice.Analyse();
  ASSERT_EQ(first.info[0], 0);

  KernelLu given(a, KernelControls().GivenOrder());
  const AnalyseResult& again = given.Analyse(0, first.ip, first.iq);
  ASSERT_EQ(again.info[0], 0);
  EXPECT_EQ(again.np, first.np);
  EXPECT_EQ(again.iq, first.iq);
  EXPECT_EQ(again.ip, first.ip);
  ASSERT_EQ(given.Factorize(1).info[0], 0);
  ExpectSolvesLikeLapack(given, a, rng, "given order");
}

TEST(KernelSolve, RectangularSystemsAreSolvedOnTheirNonSingularPart) {
  std::mt19937_64 rng(21);
  for (auto [m, n] : {std::pair<std::int64_t, std::int64_t>{40, 25}, {25, 40}}) {
    SparseMatrix a = RandomRectangular(m, n, 0.15, rng);
    // A dominant diagonal keeps the matrix of full rank.
    for (std::int64_t j = 1; j <= std::min(m, n); ++j) {
      for (std::int64_t e = a.colptr[j - 1]; e < a.colptr[j]; ++e) {
        if (a.rows[e - 1] == j) a.values[e - 1] += 10.0;
      }
    }
    KernelLu lu(a, KernelControls());
    ASSERT_GE(lu.Analyse().info[0], 0);
    ASSERT_EQ(lu.Factorize(1).info[0], 0);
    EXPECT_EQ(lu.factorization.info[4], std::min(m, n));
    // A consistent system has the generating vector as its solution.
    const bool trans = m < n;  // the orientation with more equations than unknowns
    const auto x0 = RandomVector(trans ? m : n, rng);
    const auto b = Multiply(a, x0, trans);
    EXPECT_LE(MaxAbsDifference(lu.Solve(b, trans), x0), 1e-12) << m << "x" << n;
  }
}

}  // namespace
}  // namespace slu_test
