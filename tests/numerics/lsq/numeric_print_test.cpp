// Golden lines of the numeric printers and of the optimiser's diagnostics, as
// the message collector receives them (trailing blanks dropped).
#include "numerics/lsq/numeric_print.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "numerics/lsq/nls.h"
#include "tests/support/capture_sink.h"
#include "workloads/least_squares_problems.h"

namespace {

using Lines = std::vector<std::string>;

class NumericPrintTest : public ::testing::Test {
 protected:
  testsupport::CaptureSink sink_;
};

TEST_F(NumericPrintTest, RealVectorFiveValuesALine) {
  const std::vector<double> x = {1.0,   -2.5, 0.0, 1e-5, 9.9999995e9, 123456.789,
                                 -7e-7, 3.0,  4.0, 5.0,  6.0};
  const std::string first =
      "  1.000000E+00 -2.500000E+00  0.000000E+00  1.000000E-05  1.000000E+10";
  const std::string second =
      "  1.234568E+05 -7.000000E-07  3.000000E+00  4.000000E+00  5.000000E+00";
  const struct {
    std::int64_t n;
    Lines lines;
  } cases[] = {
      {0, {""}},
      {10, {first, second}},
      {11, {first, second, "  6.000000E+00"}},
  };
  for (const auto& c : cases) {
    sink_.Clear();
    PrintRealVector(x.data(), c.n);
    EXPECT_EQ(sink_.lines(), c.lines) << "N = " << c.n;
  }
}

TEST_F(NumericPrintTest, RealVectorWidensRatherThanLosingTheExponent) {
  const std::vector<double> x = {-0.0, 1e-300, -1e300, std::nan(""), -HUGE_VAL};
  PrintRealVector(x.data(), 5);
  EXPECT_EQ(sink_.lines(),
            Lines{" -0.000000E+00 1.000000E-300 -1.000000E+300           NAN          -INF"});
}

TEST_F(NumericPrintTest, SparseTripletsByRowThenColumn) {
  PrintSparseTriplets(nullptr, nullptr, nullptr, nullptr, nullptr, 0);
  EXPECT_TRUE(sink_.lines().empty()) << "no entry reads no array";

  const std::vector<std::int64_t> rows = {3, 2, 2};
  const std::vector<std::int64_t> cols = {1, 5, 1};
  const std::vector<double> vals = {1e10, -2.25e-3, 1.5};
  std::vector<std::int64_t> idx(3);
  const std::vector<std::int64_t> untyped = {-2, 0, 0};
  PrintSparseTriplets(rows.data(), cols.data(), vals.data(), untyped.data(), idx.data(), 3);
  EXPECT_EQ(sink_.lines(),
            (Lines{"  (     2,     1)=  1.50000E+00        (     2,     5)= -2.25000E-03",
                   "  (     3,     1)=  1.00000E+10"}));

  sink_.Clear();
  const std::vector<std::int64_t> kinds = {9, 0, 12};  // 9 is [C] after taking 8 off
  PrintSparseTriplets(rows.data(), cols.data(), vals.data(), kinds.data(), idx.data(), 3);
  EXPECT_EQ(sink_.lines(),
            (Lines{"  (     2,     1)=  1.50000E+00  [N]   (     2,     5)= -2.25000E-03  [I]",
                   "  (     3,     1)=  1.00000E+10  [C]"}));

  sink_.Clear();
  PrintSparseTriplets(rows.data(), cols.data(), vals.data(), kinds.data(), idx.data(), 1);
  EXPECT_EQ(sink_.lines(), Lines{"  (     3,     1)=  1.00000E+10  [C]"});
}

TEST_F(NumericPrintTest, OptimiserPrintsOnlyWithAUnit) {
  const auto pb = testsupport::ClassicProblem("Beale");
  testsupport::NlsCaller quiet(pb);
  testsupport::Drive(quiet, pb);
  EXPECT_TRUE(sink_.lines().empty());

  testsupport::NlsCaller loud(pb);
  loud.IV(nls::kPrunit) = 6;
  loud.IV(nls::kX0prt) = 1;
  loud.V(nls::kAfctol) = 1e-20;
  const auto run = testsupport::Drive(loud, pb);
  ASSERT_EQ(run.code, 6);
  const Lines lines = sink_.lines();
  ASSERT_GE(lines.size(), 8u);
  EXPECT_EQ(lines[0], "     I     INITIAL X(I)        D(I)");
  EXPECT_EQ(lines[1], "     1     1.000000E+00      0.000E+00");
  EXPECT_EQ(lines[3], "   IT   NF      F        RELDF    PRELDF    RELDX   MODEL  STPPAR");
  EXPECT_EQ(lines[4], "    0    1   7.102E+00");
  bool final_message = false, covariance = false;
  for (const auto& line : lines) {
    EXPECT_LE(line.size(), 80u);
    EXPECT_EQ(line.find_first_of("%@\\"), std::string::npos) << line;
    final_message = final_message || line == " ***** ABSOLUTE FUNCTION CONVERGENCE *****";
    covariance = covariance || line.rfind(" COVARIANCE = (J**T * J)**-1", 0) == 0;
  }
  EXPECT_TRUE(final_message);
  EXPECT_TRUE(covariance);
}

TEST_F(NumericPrintTest, CheckerNamesTheWrongAlgorithmAndBadValues) {
  const auto pb = testsupport::ClassicProblem("Beale");
  testsupport::NlsCaller c(pb);
  c.IV(nls::kPrunit) = 6;
  c.IV(nls::kAlgsav) = 2;
  EXPECT_EQ(c.Call(), 67);
  EXPECT_EQ(sink_.lines(),
            Lines{" THE FIRST PARAMETER TO NLSSETDEFAULTS SHOULD BE      1 RATHER THAN      2"});

  sink_.Clear();
  testsupport::NlsCaller listed(pb);
  listed.IV(nls::kPrunit) = 6;
  listed.IV(nls::kParprt) = 1;
  listed.IV(nls::kOutlev) = 0;
  listed.V(nls::kAfctol) = 1e-20;
  EXPECT_EQ(listed.Call(), 1);
  EXPECT_EQ(sink_.lines(), (Lines{" NONDEFAULT VALUES....", " AFCTOL.. V(31) =   1.000000E-20"}));
}

}  // namespace
