// The constant tables' index check and the 1-norm estimator.
#include <gtest/gtest.h>

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

void StderrWriter(std::int64_t, std::string_view record) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(record.size()), record.data());
}

TEST(MachineConstantsDeathTest, IndexOutOfRangeEndsTheProcessWithItsMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  SetSluRecordWriter(&StderrWriter);
  std::int64_t low = 0, high = 11, real = 6;
  EXPECT_EXIT(IntegerConstantSingle(&low), testing::ExitedWithCode(255), "ID05A-F-out of range");
  EXPECT_EXIT(IntegerConstantDouble(&high), testing::ExitedWithCode(255), "ID05A-F-out of range");
  EXPECT_EXIT(RealConstantDouble(&real), testing::ExitedWithCode(255), "ID05A-F-out of range");
  SetSluRecordWriter(nullptr);
}

// One estimate of the 1-norm of the dense n x n matrix b, driven a request
// at a time.
struct Estimate {
  Estimate(const std::vector<double>& matrix, std::int64_t order)
      : b(matrix), n(order), x(order), v(order), signs(order), state(4) {}

  // Serves one request; false once the estimate is complete.
  bool Step() {
    if (request != 0 && request != 1 && request != 2) return false;
    NormEst1(&n, &request, x.data(), &value, v.data(), signs.data(), state.data());
    if (request != 1 && request != 2) return false;
    ++products;
    std::vector<double> y(n, 0.0);
    for (std::int64_t i = 0; i < n; ++i) {
      for (std::int64_t j = 0; j < n; ++j) {
        y[i] += (request == 1 ? b[i + j * n] : b[j + i * n]) * x[j];
      }
    }
    x = y;
    return true;
  }

  std::vector<double> b;
  std::int64_t n, request = 0;
  std::vector<double> x, v;
  std::vector<std::int64_t> signs, state;
  double value = 0.0;
  int products = 0;
};

Estimate EstimateNorm(const std::vector<double>& b, std::int64_t n) {
  Estimate e(b, n);
  while (e.Step()) {
  }
  EXPECT_EQ(e.request, 0);
  return e;
}

TEST(NormEst1, HandExamplesFindTheNormWithTheExpectedProducts) {
  const Estimate one = EstimateNorm({-3.0}, 1);
  EXPECT_EQ(one.products, 1);
  EXPECT_EQ(one.value, 3.0);
  EXPECT_EQ(one.v, std::vector<double>{-3.0});

  const std::int64_t n = 4;
  std::vector<double> identity(n * n, 0.0);
  for (std::int64_t i = 0; i < n; ++i) identity[i * (n + 1)] = 1.0;
  const Estimate unit = EstimateNorm(identity, n);
  EXPECT_EQ(unit.products, 4);  // x0, signs, one unit vector, the test vector
  EXPECT_NEAR(unit.value, 1.0, 1e-15);

  // Column 3 has the largest sum of moduli and all other columns are small.
  std::vector<double> b(n * n, 0.01);
  const std::vector<double> column = {2.0, -3.0, 1.0, 4.0};
  std::copy(column.begin(), column.end(), b.begin() + 2 * n);
  const Estimate e = EstimateNorm(b, n);
  EXPECT_DOUBLE_EQ(e.value, slu_test::OneNorm(b, n));
  EXPECT_EQ(e.v, column);
}

TEST(NormEst1, NeverExceedsTheNormAndStaysWithinElevenProducts) {
  std::mt19937_64 rng(11);
  for (int trial = 0; trial < 200; ++trial) {
    const std::int64_t n = 2 + trial % 49;
    const std::vector<double> b = slu_test::RandomVector(n * n, rng);
    const Estimate e = EstimateNorm(b, n);
    EXPECT_LE(e.value, slu_test::OneNorm(b, n) * (1.0 + 1e-14)) << "trial " << trial;
    EXPECT_GT(e.value, 0.0);
    EXPECT_LE(e.products, 11) << "trial " << trial;
  }
}

TEST(NormEst1, InterleavedEstimatesMatchSequentialOnes) {
  std::mt19937_64 rng(3);
  const std::int64_t n = 9;
  const std::vector<double> b1 = slu_test::RandomVector(n * n, rng),
                            b2 = slu_test::RandomVector(n * n, rng);
  Estimate one(b1, n), two(b2, n);
  while (one.Step() | two.Step()) {  // both step every round
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
