// The constant tables and the 1-norm estimator.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <random>
#include <string_view>
#include <vector>

#include "numerics/sparse_lu/machine_constants.h"
#include "numerics/sparse_lu/norm_estimator.h"
#include "numerics/sparse_lu/slu_print.h"
#include "tests/numerics/sparse_lu/reference.h"

namespace {

std::uint64_t RealBits(std::int64_t k) { return std::bit_cast<std::uint64_t>(RealConstantDouble(&k)); }

TEST(MachineConstants, RealTableHasItsBitPatterns) {
  EXPECT_EQ(RealBits(1), 0x3CB0000000000002u);
  EXPECT_EQ(RealBits(2), 0x3CA0000000000006u);
  EXPECT_EQ(RealBits(3), 0x0010000000000001u);
  EXPECT_EQ(RealBits(4), 0x0010000000000001u);
  EXPECT_EQ(RealBits(5), 0x7FEFFFFFFFFFFFFBu);
}

TEST(MachineConstants, IntegerTablesDescribeSingleAndDoublePrecision) {
  const std::vector<std::int64_t> single = {2, 24, 8, 1, 1, -23, -24, -149, -126, 127};
  const std::vector<std::int64_t> dual = {2, 53, 11, 1, 1, -52, -53, -1074, -1022, 1023};
  for (std::int64_t k = 1; k <= 10; ++k) {
    EXPECT_EQ(IntegerConstantSingle(&k), single[k - 1]) << k;
    EXPECT_EQ(IntegerConstantDouble(&k), dual[k - 1]) << k;
  }
  // The exponents match the arithmetic they describe.
  std::int64_t k = 6;
  EXPECT_EQ(std::ldexp(1.0, static_cast<int>(IntegerConstantDouble(&k))), 0x1p-52);
  k = 8;
  EXPECT_EQ(std::ldexp(1.0f, static_cast<int>(IntegerConstantSingle(&k))), 0x1p-149f);
}

void StderrWriter(std::int64_t, std::string_view record) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(record.size()), record.data());
}

TEST(MachineConstantsDeathTest, IndexOutOfRangeEndsTheProcessWithItsMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  SetSluRecordWriter(&StderrWriter);
  std::int64_t k = 0;
  EXPECT_EXIT(IntegerConstantSingle(&k), testing::ExitedWithCode(255), "ID05A-F-out of range");
  k = 11;
  EXPECT_EXIT(IntegerConstantDouble(&k), testing::ExitedWithCode(255), "ID05A-F-out of range");
  k = 6;
  EXPECT_EXIT(RealConstantDouble(&k), testing::ExitedWithCode(255), "ID05A-F-out of range");
  SetSluRecordWriter(nullptr);
}

// One estimate of the 1-norm of the dense n x n matrix b, driven a request
// at a time.
class Estimate {
 public:
  Estimate(const std::vector<double>& b, std::int64_t n)
      : b_(b), n_(n), x_(n), signs_(n), state_(4) { v.assign(n, 0.0); }

  // Serves one request; false once the estimate is complete.
  bool Step() {
    if (done_) return false;
    NormEst1(&n_, &request_, x_.data(), &value, v.data(), signs_.data(), state_.data());
    done_ = request_ != 1 && request_ != 2;
    if (done_) return false;
    ++products;
    std::vector<double> y(n_, 0.0);
    for (std::int64_t i = 0; i < n_; ++i) {
      for (std::int64_t j = 0; j < n_; ++j) {
        y[i] += (request_ == 1 ? b_[i + j * n_] : b_[j + i * n_]) * x_[j];
      }
    }
    x_ = y;
    return true;
  }
  Estimate& Run() {
    while (Step()) {
    }
    EXPECT_EQ(request_, 0);
    return *this;
  }

  double value = 0.0;
  std::vector<double> v;
  int products = 0;

 private:
  std::vector<double> b_;
  std::int64_t n_;
  std::int64_t request_ = 0;
  bool done_ = false;
  std::vector<double> x_;
  std::vector<std::int64_t> signs_, state_;
};

Estimate EstimateNorm(const std::vector<double>& b, std::int64_t n) {
  Estimate e(b, n);
  e.Run();
  return e;
}

TEST(NormEst1, OrderOneTakesOneProduct) {
  const Estimate e = EstimateNorm({-3.0}, 1);
  EXPECT_EQ(e.products, 1);
  EXPECT_EQ(e.value, 3.0);
  EXPECT_EQ(e.v[0], -3.0);
}

TEST(NormEst1, IdentityReachesTheFinalTestAtOnce) {
  const std::int64_t n = 5;
  std::vector<double> identity(n * n, 0.0);
  for (std::int64_t i = 0; i < n; ++i) identity[i * (n + 1)] = 1.0;
  const Estimate e = EstimateNorm(identity, n);
  EXPECT_EQ(e.products, 4);  // x0, signs, one unit vector, the test vector
  EXPECT_NEAR(e.value, 1.0, 1e-15);
}

TEST(NormEst1, FindsTheLargestColumnExactly) {
  // Column 3 has the largest sum of moduli and all other columns are small.
  const std::int64_t n = 4;
  std::vector<double> b(n * n, 0.01);
  const std::vector<double> column = {2.0, -3.0, 1.0, 4.0};
  for (std::int64_t i = 0; i < n; ++i) b[i + 2 * n] = column[i];
  const Estimate e = EstimateNorm(b, n);
  EXPECT_DOUBLE_EQ(e.value, slu_test::OneNorm(b, n));
  EXPECT_EQ(e.v, column);
}

TEST(NormEst1, NeverExceedsTheNormAndStaysWithinElevenProducts) {
  std::mt19937_64 rng(11);
  for (int trial = 0; trial < 200; ++trial) {
    const std::int64_t n = 2 + trial % 49;
    std::vector<double> b(static_cast<std::size_t>(n * n));
    for (double& v : b) v = slu_test::Uniform(rng);
    const Estimate e = EstimateNorm(b, n);
    EXPECT_LE(e.value, slu_test::OneNorm(b, n) * (1.0 + 1e-14)) << "trial " << trial;
    EXPECT_GT(e.value, 0.0);
    EXPECT_LE(e.products, 11) << "trial " << trial;
  }
}

TEST(NormEst1, InterleavedEstimatesMatchSequentialOnes) {
  std::mt19937_64 rng(3);
  const std::int64_t n = 9;
  std::vector<double> b1(n * n), b2(n * n);
  for (double& v : b1) v = slu_test::Uniform(rng);
  for (double& v : b2) v = slu_test::Uniform(rng);
  Estimate one(b1, n), two(b2, n);
  for (bool busy = true; busy;) {
    const bool first = one.Step();
    const bool second = two.Step();
    busy = first || second;
  }
  const Estimate alone1 = EstimateNorm(b1, n), alone2 = EstimateNorm(b2, n);
  EXPECT_EQ(one.value, alone1.value);
  EXPECT_EQ(two.value, alone2.value);
  EXPECT_EQ(one.v, alone1.v);
  EXPECT_EQ(two.v, alone2.v);
}

TEST(NormEst1, EmptyOrderIsRefused) {
  const std::int64_t n = 0;
  std::int64_t request = 0, signs = 0, state[4] = {};
  double x = 0.0, v = 0.0, estimate = 7.0;
  NormEst1(&n, &request, &x, &estimate, &v, &signs, state);
  EXPECT_EQ(request, -1);
  EXPECT_EQ(estimate, 7.0);
}

}  // namespace
