// The optimiser's model pieces against brute-force and closed-form references.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "numerics/lsq/nls_internal.h"

namespace {

double Model(const std::vector<double>& a, const double* b, double t0, double t1) {
  // a packed 2x2: a00, a01, a11.
  return b[0] * t0 + b[1] * t1 + 0.5 * (a[0] * t0 * t0 + 2.0 * a[1] * t0 * t1 + a[2] * t1 * t1);
}

nls::Tuning DefaultTuning() {
  std::vector<double> v(60, 0.0);
  double defaults[32];
  nls::DefaultParameters(1, defaults);
  for (int k = 0; k < 32; ++k) v[static_cast<std::size_t>(18 + k)] = defaults[k];
  return nls::TuningFrom(nls::RealArray{v.data()});
}

TEST(NlsTrustRegion, StepIsAsGoodAsAnyPointOfTheBall) {
  std::mt19937_64 rng(11);
  std::normal_distribution<double> normal;
  const nls::Tuning tn = DefaultTuning();
  const std::int64_t free[2] = {0, 1};
  const double d[2] = {1.0, 1.0};
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<double> a = {normal(rng), normal(rng), normal(rng)};  // often indefinite
    double b[2] = {normal(rng), normal(rng)};
    double delta = 0.1 + 2.0 * std::fabs(normal(rng));
    if (trial == 0) {
      // The hard case: b has no part along the direction of negative curvature.
      a = {-1.0, 0.0, 2.0};
      b[0] = 0.0;
      b[1] = 1.0;
      delta = 2.0;
    }
    const nls::ScaledModel m{a.data(), d, free, 2};
    double t[2], factor[3], w[2], best[2], z[2];
    const nls::TrustRegionStep step = nls::SolveTrustRegion(m, b, delta, tn, t, factor, w, best, z);
    const double norm = std::hypot(t[0], t[1]);
    ASSERT_LE(norm, (1.0 + tn.long_step_fraction) * delta * (1.0 + 1e-12));
    ASSERT_NEAR(nls::ModelReduction(m, b, t), -Model(a, b, t[0], t[1]), 1e-12);
    // The optimum over the ball of radius 0.9 delta bounds ours from above.
    double brute = 0.0;
    const double reach = (1.0 + tn.short_step_fraction) * delta;
    for (int ir = 1; ir <= 120; ++ir)
      for (int it = 0; it < 360; ++it) {
        const double r = reach * ir / 120.0;
        const double th = it * M_PI / 180.0;
        brute = std::fmin(brute, Model(a, b, r * std::cos(th), r * std::sin(th)));
      }
    EXPECT_LE(Model(a, b, t[0], t[1]), brute + 1e-9 * (1.0 + std::fabs(brute)))
        << trial << " a=" << a[0] << "," << a[1] << "," << a[2] << " b=" << b[0] << "," << b[1]
        << " delta=" << delta << " t=" << t[0] << "," << t[1] << " mu=" << step.mu;
    if (step.newton) {
      EXPECT_EQ(step.mu, 0.0);
    }
  }
}

TEST(NlsSecant, UpdateMeetsTheSecantConditionAndStaysSymmetric) {
  std::mt19937_64 rng(3);
  std::normal_distribution<double> normal;
  const std::int64_t p = 5;
  for (int trial = 0; trial < 50; ++trial) {
    std::vector<double> s(p), y(p), ysharp(p), secant(p * (p + 1) / 2), ss(p);
    for (auto& e : s) e = normal(rng);
    for (std::int64_t i = 0; i < p; ++i) y[i] = s[i] + 0.3 * normal(rng);  // y^T s > 0 mostly
    for (auto& e : ysharp) e = normal(rng);
    for (auto& e : secant) e = normal(rng);
    const std::vector<double> wanted = ysharp;
    double ys = 0.0;
    for (std::int64_t i = 0; i < p; ++i) ys += y[i] * s[i];
    const bool updated =
        nls::SecantUpdate(p, s.data(), y.data(), ysharp.data(), 1e-6, secant.data(), ss.data());
    ASSERT_EQ(updated, ys > 1e-6 * std::sqrt(nls::GuardedDot(p, y.data(), y.data()) *
                                             nls::GuardedDot(p, s.data(), s.data())));
    if (!updated) continue;
    std::vector<double> product(p);
    nls::SymmetricMultiply(p, secant.data(), s.data(), product.data());
    for (std::int64_t i = 0; i < p; ++i)
      EXPECT_NEAR(product[i], wanted[i], 1e-10 * (1.0 + std::fabs(wanted[i])));
  }
}

TEST(NlsSecant, NoCurvatureLeavesSAlone) {
  const double s[2] = {1.0, 0.0}, y[2] = {-1.0, 0.0};
  double ysharp[2] = {5.0, 5.0}, ss[2];
  std::vector<double> secant = {1.0, 2.0, 3.0};
  EXPECT_FALSE(nls::SecantUpdate(2, s, y, ysharp, 1e-6, secant.data(), ss));
  EXPECT_EQ(secant, (std::vector<double>{1.0, 2.0, 3.0}));
}

TEST(NlsSums, TwoNormNeitherOverflowsNorUnderflows) {
  const double big[3] = {3e200, -4e200, 0.0};
  EXPECT_DOUBLE_EQ(nls::TwoNorm(3, big), 5e200);
  const double tiny[2] = {3e-200, 4e-200};
  EXPECT_DOUBLE_EQ(nls::TwoNorm(2, tiny), 5e-200);
  // Below the fixed threshold relative to the largest a component adds nothing.
  const double spread[3] = {1e-9, 1.0, 1e-9};
  EXPECT_EQ(nls::TwoNorm(3, spread), 1.0);
  const double kept[2] = {1.0, 1e-7};
  EXPECT_GT(nls::TwoNorm(2, kept), 1.0);
}

}  // namespace
