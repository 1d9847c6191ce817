// The drivers end to end on seeded matrix families, against LAPACK and
// SuiteSparse BTF as independent references.
#include <gtest/gtest.h>

#include <btf.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "numerics/sparse_lu/slu_drivers.h"
#include "tests/numerics/sparse_lu/driver_lu.h"
#include "tests/numerics/sparse_lu/reference.h"

namespace {

using slu_test::Coordinate;
using slu_test::DriverLu;
using slu_test::SparseMatrix;

// A few dense rows and columns over a sparse diagonal-dominant base.
SparseMatrix DenseLines(std::int64_t n, std::mt19937_64& rng) {
  slu_test::Triplets t;
  for (std::int64_t i = 1; i <= n; ++i) {
    t.Add(i, i, 4.0 + slu_test::Uniform(rng, 0.0, 1.0));
    if (i > 1) t.Add(i, i - 1, slu_test::Uniform(rng));
  }
  for (std::int64_t line : {std::int64_t{2}, n / 2, n - 1}) {
    for (std::int64_t k = 1; k <= n; ++k) {
      if (k == line) continue;
      t.Add(line, k, 0.1 * slu_test::Uniform(rng));
      t.Add(k, line, 0.1 * slu_test::Uniform(rng));
    }
  }
  return t.Build(n, n);
}

// Block upper triangular with blocks of order 1 to 4 (runs of order 1
// included), permuted.
SparseMatrix BlockChain(std::int64_t blocks, std::mt19937_64& rng) {
  std::vector<std::int64_t> orders;
  std::uniform_int_distribution<std::int64_t> order(1, 4);
  for (std::int64_t b = 0; b < blocks; ++b) orders.push_back(order(rng));
  return slu_test::PermutedBlockTriangular(orders, 0.05, rng);
}

struct Family {
  std::string name;
  std::function<SparseMatrix(std::mt19937_64&)> make;
};

std::vector<Family> Families() {
  using namespace slu_test;
  return {
      {"random", [](std::mt19937_64& r) { return RandomSparse(150, 0.03, r); }},
      {"random dense", [](std::mt19937_64& r) { return RandomSparse(60, 0.3, r); }},
      {"block chain", [](std::mt19937_64& r) { return BlockChain(60, r); }},
      {"known blocks",
       [](std::mt19937_64& r) { return PermutedBlockTriangular({5, 1, 1, 7, 2, 1, 9}, 0.3, r); }},
      {"arrow", [](std::mt19937_64& r) { return Arrow(80, r); }},
      {"banded", [](std::mt19937_64& r) { return Banded(120, 3, r); }},
      {"dense lines", [](std::mt19937_64& r) { return DenseLines(90, r); }},
  };
}

TEST(SluDrivers, FamiliesSolveLikeLapackBothWays) {
  for (const Family& family : Families()) {
    for (int seed = 1; seed <= 3; ++seed) {
      std::mt19937_64 rng(static_cast<unsigned>(100 * seed));
      const SparseMatrix a = family.make(rng);
      DriverLu lu(slu_test::ToCoordinate(a));
      int retries = 0;
      ASSERT_EQ(lu.AnalyseAndFactorize(&retries), 0) << family.name << " seed " << seed;
      EXPECT_LE(retries, 1) << family.name;
      for (bool trans : {false, true}) {
        const std::vector<double> b = slu_test::RandomVector(a.n, rng);
        const std::vector<double> x = lu.Solve(b, trans);
        EXPECT_EQ(lu.solve_info[0], 0);
        EXPECT_LE(slu_test::BackwardError(a, x, b, trans), 1e-15) << family.name << " " << trans;
        const std::vector<double> reference = slu_test::LapackSolve(a, b, trans);
        EXPECT_LE(slu_test::MaxAbsDifference(x, reference),
                  1e-10 * std::max(1.0, slu_test::MaxAbs(reference)))
            << family.name;
      }
    }
  }
}

}  // namespace
