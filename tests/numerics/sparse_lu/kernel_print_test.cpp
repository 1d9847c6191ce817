// The kernels' summaries: nothing below print level 3 or without a unit,
// the scalars of each call at level 3, its arrays and factors from level 4
// on, all to the unit ICNTL(2).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "numerics/sparse_lu/slu_print.h"
#include "tests/numerics/sparse_lu/kernel_lu.h"

namespace {

using slu_test::KernelControls;
using slu_test::KernelLu;
using slu_test::SparseMatrix;

std::vector<std::string> g_lines;
std::vector<std::int64_t> g_units;

void Capture(std::int64_t unit, std::string_view text) {
  g_units.push_back(unit);
  g_lines.emplace_back(text);
}

class KernelSummaries : public testing::Test {
 protected:
  void SetUp() override {
    g_lines.clear();
    g_units.clear();
    previous_ = SetSluRecordWriter(&Capture);
  }
  void TearDown() override { SetSluRecordWriter(previous_); }

  // Analyse, factorize and solve A x = b for the 3 x 3 matrix
  // [4 1 0; 1 4 1; 0 1 4] at the given print level, unit 7.
  std::vector<double> Run(std::int64_t level, bool trans = false) {
    const SparseMatrix a = slu_test::FromTriplets(3, 3, {1, 2, 1, 2, 3, 2, 3},
                                                  {1, 1, 2, 2, 2, 3, 3}, {4, 1, 1, 4, 1, 1, 4});
    KernelControls controls = KernelControls().DensitySwitch(1.0);  // sparse pivots first
    controls.icntl[1] = 7;
    controls.icntl[2] = level;
    KernelLu lu(a, controls);
    EXPECT_EQ(lu.Factorized().info[0], 0);
    return lu.Solve({5, 6, 5}, trans);
  }
  bool Has(const std::string& line) const {
    return std::find(g_lines.begin(), g_lines.end(), line) != g_lines.end();
  }

 private:
  SluRecordWriter previous_ = nullptr;
};

TEST_F(KernelSummaries, NothingBelowLevelThreeOrWithoutAUnit) {
  Run(2);
  EXPECT_TRUE(g_lines.empty());
  const SparseMatrix a = slu_test::FromTriplets(1, 1, {1}, {1}, {2.0});
  KernelControls controls;
  controls.icntl[2] = 4;  // a print level but unit 0
  KernelLu lu(a, controls);
  lu.Factorized();
  lu.Solve({1.0}, false);
  EXPECT_TRUE(g_lines.empty());
}

// The analysis takes one sparse pivot (column 1, pivot 4) and leaves a
// 2 x 2 full part; level 3 shows the first column of the input only.
TEST_F(KernelSummaries, LevelThreeWritesTheScalarsOfEachCall) {
  const std::vector<double> x = Run(3);
  EXPECT_EQ(x, (std::vector<double>{1.0, 1.0, 1.0}));
  for (std::int64_t unit : g_units) EXPECT_EQ(unit, 7);
  EXPECT_EQ(
      g_lines,
      (std::vector<std::string>{
          " Entering SluKernelAnalyse with M =         3 N =         3 NE =         7"
          " LA =        59",
          " CNTL  =  1.0000E+00  1.0000E-01  0.0000E+00  0.0000E+00",
          " ICNTL =         0         7         3         3        32         0",
          "                 0",
          " Column         1",
          "  4.0000E+00       1  1.0000E+00       2",
          " Leaving SluKernelAnalyse with NP =         1",
          " RINFO =         9.0",
          " INFO =         0         0         8        15         3         0",
          "                2",
          " Entering SluKernelFactorize with M =         3 N =         3 NE =         7"
          " JOB =         1 LFACT =        59 NP =         1",
          " CNTL  =  1.0000E+00  1.0000E-01  0.0000E+00  0.0000E+00",
          " ICNTL =         0         7         3         3        32         0",
          "                 0",
          " Leaving SluKernelFactorize with IRNF(2) =         2",
          " RINFO =         9.0",
          " INFO(1) =         0",
          " INFO(4:7) =         9         3         0         2",
          " Entering SluKernelSolve with M=         3 N =         3 NP =         1 TRANS =  F",
      }));
}

// Level 4 adds every column of the input, the orders, the factors (the
// pivot 4 stored as 1/4 in row 1, the full part's LU) and B and X.
TEST_F(KernelSummaries, LevelFourAddsArraysColumnsFactorsAndTheSolution) {
  const std::vector<double> x = Run(4, true);
  EXPECT_TRUE(Has(" Column         3"));
  EXPECT_TRUE(Has("  1.0000E+00       2  4.0000E+00       3"));
  EXPECT_TRUE(Has(" IQ =          1         2         3"));
  EXPECT_TRUE(Has(" Column         1 of L"));
  EXPECT_TRUE(Has("  2.5000E-01       1  1.0000E+00       2"));
  EXPECT_TRUE(Has(" Full part         2         2"));
  EXPECT_TRUE(Has(" Rows        =         2         3"));
  EXPECT_TRUE(Has(" Column         1 =  3.7500E+00  2.6667E-01"));
  EXPECT_TRUE(
      Has(" Entering SluKernelSolve with M=         3 N =         3 NP =         1 TRANS =  T"));
  EXPECT_TRUE(Has(" Size of full submatrix         2         2"));
  EXPECT_TRUE(Has(" B =  5.0000E+00  6.0000E+00  5.0000E+00"));
  EXPECT_EQ(g_lines.back(),
            " Leaving SluKernelSolve with X =" + SluReal(x[0]) + SluReal(x[1]) + SluReal(x[2]));
}

}  // namespace
