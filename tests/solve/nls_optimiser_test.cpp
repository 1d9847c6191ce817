// The least-squares optimiser driven by reverse communication: the same
// iterates on a second estimation as on the first and as the least-squares
// routines driven directly, and the answer map of the driver's codes; the
// answers of an open NLP solver's steps.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "numerics/lsq/nls.h"
#include "solve/ifaces/kvs_nlp.h"
#include "solve/optimisers/nlp_step.h"
#include "solve/optimisers/nls_optimiser.h"
#include "tests/solve/group_support.h"

namespace {

// y = a exp(b t) at six times, fitted in (a, b).
struct Fit {
  std::vector<double> t{0.0, 0.5, 1.0, 1.5, 2.0, 2.5};
  std::vector<double> y{2.1, 2.9, 4.4, 6.8, 10.1, 14.9};
  void Residuals(const double* x, double* r) const {
    for (std::size_t i = 0; i < t.size(); ++i) r[i] = x[0] * std::exp(x[1] * t[i]) - y[i];
  }
  void Jacobian(const double* x, double* j) const {
    const std::size_t n = t.size();
    for (std::size_t i = 0; i < n; ++i) {
      j[i] = std::exp(x[1] * t[i]);
      j[n + i] = x[0] * t[i] * std::exp(x[1] * t[i]);
    }
  }
};

std::vector<std::vector<double>> Drive(NlsOptimiser& opt, const Fit& fit, std::int32_t* end) {
  std::vector<double> x{1.0, 0.1}, r(6), j(12);
  const double bounds[] = {-10.0, -10.0, 10.0, 10.0};
  std::vector<std::vector<double>> points;
  fit.Residuals(x.data(), r.data());
  fit.Jacobian(x.data(), j.data());
  std::int32_t answer = opt.Run(x.data(), r.data(), j.data(), bounds, kOptimiserStart);
  for (int calls = 0; calls < 500; ++calls) {
    if (answer == kNlsEvaluateResiduals) {
      points.push_back(x);
      fit.Residuals(x.data(), r.data());
    } else if (answer == kNlsEvaluateJacobian) {
      fit.Jacobian(x.data(), j.data());
    } else {
      break;
    }
    answer = opt.Run(x.data(), r.data(), j.data(), nullptr, 0);
  }
  *end = answer;
  points.push_back(x);
  return points;
}

std::vector<std::vector<double>> DriveDirectly(const Fit& fit, std::int64_t* end) {
  const std::int64_t p = 2, n = 6;
  std::vector<std::int64_t> iv(static_cast<std::size_t>(nls::RequiredLiv(p)), 0);
  std::vector<double> v(static_cast<std::size_t>(nls::RequiredLv(p)), 0.0);
  CacheMachineConstants();
  NlsSetDefaults(1, iv.data(), static_cast<std::int64_t>(iv.size()),
                 static_cast<std::int64_t>(v.size()), v.data());
  v[30] = 1e-20;
  v[31] = 1e-10;
  v[32] = 1e-8;
  iv[13] = 0;
  for (std::size_t k = 18; k <= 23; ++k) iv[k] = 0;
  iv[16] = iv[17] = 50;
  std::vector<double> b{-10.0, 10.0, -10.0, 10.0}, d(2, 0.0), dr(12), r(6), rd(6, 0.0);
  std::vector<double> x{1.0, 0.1};
  fit.Residuals(x.data(), r.data());
  fit.Jacobian(x.data(), dr.data());
  std::vector<std::vector<double>> points;
  for (int calls = 0; calls < 500; ++calls) {
    std::int64_t n1 = 0, n2 = 0;
    NlsBoundedDriver(b.data(), d.data(), dr.data(), iv.data(), static_cast<std::int64_t>(iv.size()),
                     static_cast<std::int64_t>(v.size()), n, n, n1, n2, p, r.data(), rd.data(),
                     v.data(), x.data());
    if (iv[0] == 1) {
      points.push_back(x);
      fit.Residuals(x.data(), r.data());
    } else if (iv[0] == 2) {
      fit.Jacobian(x.data(), dr.data());
    } else if (iv[0] != 14) {
      break;
    }
  }
  *end = iv[0];
  points.push_back(x);
  return points;
}

}  // namespace

TEST(NlsOptimiser, SecondEstimationRepeatsTheFirstAndTheRoutinesDirectly) {
  grouptest::Options options;
  options.Real(87, 1e-10);
  options.Real(88, 0.0);  // taken as 1e-20
  options.Real(89, 1e-8);
  options.Real(90, 0.0);
  options.SetInt(91, 50);
  const Fit fit;
  NlsOptimiser opt(6, 2);
  std::int32_t end1 = 0, end2 = 0;
  const auto first = Drive(opt, fit, &end1);
  const auto second = Drive(opt, fit, &end2);
  std::int64_t direct_end = 0;
  const auto direct = DriveDirectly(fit, &direct_end);
  EXPECT_GE(end1, 13);
  EXPECT_LE(end1, 20);
  EXPECT_EQ(end1, end2);
  EXPECT_EQ(end1, NlsOptimiser::AnswerFor(direct_end));
  EXPECT_GT(first.size(), 3u);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first, direct);
  EXPECT_GT(opt.Iterations(), 0);
}

TEST(NlsOptimiser, DriverCodesMapToRunAnswers) {
  EXPECT_EQ(NlsOptimiser::AnswerFor(1), -1);
  EXPECT_EQ(NlsOptimiser::AnswerFor(2), -2);
  EXPECT_EQ(NlsOptimiser::AnswerFor(-1), -1);
  EXPECT_EQ(NlsOptimiser::AnswerFor(-2), -2);
  EXPECT_EQ(NlsOptimiser::AnswerFor(3), 13);
  EXPECT_EQ(NlsOptimiser::AnswerFor(10), 20);
  EXPECT_EQ(NlsOptimiser::AnswerFor(65), 65);
  EXPECT_EQ(NlsOptimiser::AnswerFor(0), 0);
  EXPECT_EQ(NlsOptimiser::AnswerFor(11), 21);
  EXPECT_EQ(NlsOptimiser::AnswerFor(63), 21);
  EXPECT_EQ(NlsOptimiser::AnswerFor(-3), 21);
}


TEST(NlpStepAnswer, TheStepResultTable) {
  EXPECT_EQ(NlpStepAnswer(-8, 0, 9), 6);
  for (std::int32_t failed : {-7, -1, 7, 100, -9}) EXPECT_EQ(NlpStepAnswer(failed, 0, 9), 2);
  EXPECT_EQ(NlpStepAnswer(0, 0, 9), 1);
  EXPECT_EQ(NlpStepAnswer(1, kNlpWantsObjective, 9), -1);
  EXPECT_EQ(NlpStepAnswer(1, kNlpWantsConstraints | kNlpWantsJacobian, 9), 0);
  EXPECT_EQ(NlpStepAnswer(1, kNlpWantsGradient, 9), -2);
  EXPECT_EQ(NlpStepAnswer(1, 0, 9), -2);
  EXPECT_EQ(NlpStepAnswer(2, 0, 9), 3);
  EXPECT_EQ(NlpStepAnswer(3, 0, 9), 4);
  EXPECT_EQ(NlpStepAnswer(4, 0, 9), 5);
  EXPECT_EQ(NlpStepAnswer(5, 0, 9), 7);
  EXPECT_EQ(NlpStepAnswer(6, 0, 9), 9);
}
