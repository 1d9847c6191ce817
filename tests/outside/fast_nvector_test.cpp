// The optimised serial vector operations against Debian's stock ones:
// every operation, every special case of the linear sum and the scale, with
// the outputs aliased to the inputs, must agree to the bit, and so must a
// whole IDA run.
#include <gtest/gtest.h>
#include <ida/ida.h>
#include <nvector/nvector_serial.h>
#include <sunlinsol/sunlinsol_dense.h>
#include <sunmatrix/sunmatrix_dense.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "outside/nvector/fast_serial.h"

namespace {

constexpr sunindextype kLength = 37;  // not a multiple of any vector width

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The same operations on a stock vector set and an optimised one.
class FastSerialOps : public ::testing::Test {
 protected:
  void SetUp() override {
    SUNContext_Create(nullptr, &ctx_);
    std::mt19937 random(7);
    std::uniform_real_distribution<double> value(-3.0, 3.0);
    for (int k = 0; k < 4; ++k) {
      N_Vector s = N_VNew_Serial(kLength, ctx_);
      N_Vector f = N_VNew_Serial(kLength, ctx_);
      ASSERT_TRUE(vantor_nvector::UseFastSerialOps(f));
      for (sunindextype i = 0; i < kLength; ++i) NV_Ith_S(s, i) = NV_Ith_S(f, i) = value(random);
      stock_.push_back(s);
      fast_.push_back(f);
    }
    // Zeros, ties and a NaN where the special cases look for them.
    for (N_Vector v : {stock_[1], fast_[1]}) {
      NV_Ith_S(v, 3) = 0.0;
      NV_Ith_S(v, 9) = 0.0;
      NV_Ith_S(v, 20) = std::numeric_limits<double>::quiet_NaN();
    }
    for (N_Vector v : {stock_[2], fast_[2]})
      for (sunindextype i = 0; i < kLength; ++i) NV_Ith_S(v, i) = static_cast<double>(i % 5) - 2.0;
  }
  void TearDown() override {
    for (N_Vector v : stock_) N_VDestroy(v);
    for (N_Vector v : fast_) N_VDestroy(v);
    SUNContext_Free(&ctx_);
  }
  // Resets vector k of both sets to the same values again.
  void Reset(int k, double scale) {
    for (sunindextype i = 0; i < kLength; ++i)
      NV_Ith_S(stock_[k], i) = NV_Ith_S(fast_[k], i) = scale * std::sin(1.0 + static_cast<double>(i));
  }
  void ExpectSame(int k, const char* what) {
    for (sunindextype i = 0; i < kLength; ++i)
      ASSERT_TRUE(SameBits(NV_Ith_S(stock_[k], i), NV_Ith_S(fast_[k], i)))
          << what << " at " << i << ": " << NV_Ith_S(stock_[k], i) << " against "
          << NV_Ith_S(fast_[k], i);
  }

  SUNContext ctx_ = nullptr;
  std::vector<N_Vector> stock_, fast_;
};

TEST_F(FastSerialOps, LinearSumAndScaleAgreeInEverySpecialCaseAndAliasing) {
  const double coefficients[] = {1.0, -1.0, 2.5, -2.5, 0.0};
  // z apart, z = x, z = y.
  for (int alias = 0; alias < 3; ++alias) {
    for (double a : coefficients) {
      for (double b : coefficients) {
        Reset(0, 1.0), Reset(1, -0.7), Reset(3, 0.0);
        const int z = alias == 0 ? 3 : alias == 1 ? 0 : 1;
        N_VLinearSum(a, stock_[0], b, stock_[1], stock_[z]);
        N_VLinearSum(a, fast_[0], b, fast_[1], fast_[z]);
        ExpectSame(z, ("linear sum a=" + std::to_string(a) + " b=" + std::to_string(b) +
                       " alias " + std::to_string(alias)).c_str());
      }
    }
  }
  for (double c : coefficients) {
    for (int z : {3, 0}) {
      Reset(0, 1.3), Reset(3, 0.0);
      N_VScale(c, stock_[0], stock_[z]);
      N_VScale(c, fast_[0], fast_[z]);
      ExpectSame(z, ("scale " + std::to_string(c)).c_str());
    }
  }
}

TEST_F(FastSerialOps, ElementwiseOperationsAgree) {
  auto both = [&](auto op, const char* what) {
    op(stock_), op(fast_);
    ExpectSame(3, what);
  };
  both([](auto& v) { N_VConst(0.25, v[3]); }, "const");
  both([](auto& v) { N_VProd(v[0], v[1], v[3]); }, "prod");
  both([](auto& v) { N_VDiv(v[0], v[1], v[3]); }, "div");
  both([](auto& v) { N_VAbs(v[1], v[3]); }, "abs");
  both([](auto& v) { N_VInv(v[1], v[3]); }, "inv");
  both([](auto& v) { N_VAddConst(v[0], -0.5, v[3]); }, "add const");
  both([](auto& v) { N_VCompare(1.0, v[0], v[3]); }, "compare");
  Reset(3, 9.0);
  bool stock = N_VInvTest(stock_[1], stock_[3]), fast = N_VInvTest(fast_[1], fast_[3]);
  EXPECT_FALSE(stock);
  EXPECT_EQ(stock, fast);
  ExpectSame(3, "inverse test");
  // Constraints 2, 1, 0, -1, -2 against values on both sides of zero.
  stock = N_VConstrMask(stock_[2], stock_[0], stock_[3]);
  fast = N_VConstrMask(fast_[2], fast_[0], fast_[3]);
  EXPECT_FALSE(stock);
  EXPECT_EQ(stock, fast);
  ExpectSame(3, "constraint mask");
}

TEST_F(FastSerialOps, ReductionsAgreeToTheBit) {
  Reset(3, 1e-3);
  const N_Vector w = stock_[3], wf = fast_[3];
  const std::vector<std::pair<const char*, std::pair<double, double>>> results = {
      {"dot", {N_VDotProd(stock_[0], stock_[2]), N_VDotProd(fast_[0], fast_[2])}},
      {"max norm", {N_VMaxNorm(stock_[0]), N_VMaxNorm(fast_[0])}},
      {"wrms", {N_VWrmsNorm(stock_[0], w), N_VWrmsNorm(fast_[0], wf)}},
      {"wrms mask", {N_VWrmsNormMask(stock_[0], w, stock_[2]),
                     N_VWrmsNormMask(fast_[0], wf, fast_[2])}},
      {"min", {N_VMin(stock_[0]), N_VMin(fast_[0])}},
      {"wl2", {N_VWL2Norm(stock_[0], w), N_VWL2Norm(fast_[0], wf)}},
      {"l1", {N_VL1Norm(stock_[0]), N_VL1Norm(fast_[0])}},
      // Zero denominators are passed over; a NaN numerator is not.
      {"min quotient", {N_VMinQuotient(stock_[0], stock_[1]), N_VMinQuotient(fast_[0], fast_[1])}},
      {"min quotient NaN", {N_VMinQuotient(stock_[1], stock_[2]),
                            N_VMinQuotient(fast_[1], fast_[2])}},
  };
  for (const auto& [what, pair] : results)
    EXPECT_TRUE(SameBits(pair.first, pair.second)) << what << ": " << pair.first << " against "
                                                   << pair.second;
}

// Robertson's problem, a stiff DAE, with dense Newton: IDA's whole path
// (prediction, weights, error tests, interpolation) on each set.
struct StiffKinetics {
  static int Residual(realtype, N_Vector yv, N_Vector ypv, N_Vector rv, void*) {
    const double* y = NV_DATA_S(yv);
    const double* yp = NV_DATA_S(ypv);
    double* r = NV_DATA_S(rv);
    r[0] = yp[0] + 0.04 * y[0] - 1e4 * y[1] * y[2];
    r[1] = yp[1] - 0.04 * y[0] + 1e4 * y[1] * y[2] + 3e7 * y[1] * y[1];
    r[2] = y[0] + y[1] + y[2] - 1.0;
    return 0;
  }
  static std::vector<double> Run(bool fast, long* steps) {
    SUNContext ctx = nullptr;
    SUNContext_Create(nullptr, &ctx);
    N_Vector y = N_VNew_Serial(3, ctx), yp = N_VNew_Serial(3, ctx);
    if (fast) vantor_nvector::UseFastSerialOps(y), vantor_nvector::UseFastSerialOps(yp);
    NV_Ith_S(y, 0) = 1.0, NV_Ith_S(y, 1) = 0.0, NV_Ith_S(y, 2) = 0.0;
    NV_Ith_S(yp, 0) = -0.04, NV_Ith_S(yp, 1) = 0.04, NV_Ith_S(yp, 2) = 0.0;
    void* mem = IDACreate(ctx);
    IDAInit(mem, Residual, 0.0, y, yp);
    IDASStolerances(mem, 1e-6, 1e-10);
    SUNMatrix a = SUNDenseMatrix(3, 3, ctx);
    SUNLinearSolver ls = SUNLinSol_Dense(y, a, ctx);
    IDASetLinearSolver(mem, ls, a);
    std::vector<double> out;
    double t = 0.0;
    for (double tout = 0.4; tout < 4e6; tout *= 10) {
      if (IDASolve(mem, tout, &t, y, yp, IDA_NORMAL) < 0) break;
      for (int i = 0; i < 3; ++i) out.push_back(NV_Ith_S(y, i));
    }
    IDAGetNumSteps(mem, steps);
    IDAFree(&mem);
    SUNLinSolFree(ls);
    SUNMatDestroy(a);
    N_VDestroy(y);
    N_VDestroy(yp);
    SUNContext_Free(&ctx);
    return out;
  }
};

TEST(FastSerialIda, RunGivesTheStockRunsValuesToTheBit) {
  long stock_steps = 0, fast_steps = 0;
  const std::vector<double> stock = StiffKinetics::Run(false, &stock_steps);
  const std::vector<double> fast = StiffKinetics::Run(true, &fast_steps);
  ASSERT_EQ(stock.size(), 21u);
  ASSERT_EQ(fast.size(), stock.size());
  EXPECT_EQ(fast_steps, stock_steps);
  for (std::size_t k = 0; k < stock.size(); ++k)
    EXPECT_TRUE(SameBits(stock[k], fast[k])) << k << ": " << stock[k] << " against " << fast[k];
}

}  // namespace
