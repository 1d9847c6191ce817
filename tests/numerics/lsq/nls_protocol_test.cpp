// The optimiser driven as the engine's dense optimiser drives it, codes and all.
#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <random>
#include <set>
#include <vector>

#include "numerics/lsq/nls.h"
#include "workloads/least_squares_problems.h"

namespace {

using testsupport::ClassicProblem;
using testsupport::Drive;
using testsupport::LeastSquaresProblem;
using testsupport::NlsCaller;

// Final codes a run of the engine's configuration may end with.
const std::set<std::int64_t> kFinalCodes = {3, 4, 5, 6, 7, 8, 9, 10, 63, 65};

double HalfSumOfSquares(const LeastSquaresProblem& pb, const double* x) {
  std::vector<double> r(static_cast<std::size_t>(pb.n));
  pb.residuals(x, r.data());
  double s = 0.0;
  for (double e : r) s += e * e;
  return 0.5 * s;
}

TEST(NlsDefaults, RefuseBadAlgorithmAndShortArrays) {
  std::vector<std::int64_t> iv(120, -7);
  std::vector<double> v(200, 0.0);
  for (std::int64_t alg : {0, 5}) {
    std::fill(iv.begin(), iv.end(), -7);
    NlsSetDefaults(alg, iv.data(), 120, 200, v.data());
    EXPECT_EQ(iv[0], 67);
    EXPECT_EQ(iv[nls::kPrunit - 1], 6);
    EXPECT_EQ(iv[nls::kAlgsav - 1], alg);
    EXPECT_EQ(iv[nls::kMxfcal - 1], -7) << "nothing else is set";
  }
  NlsSetDefaults(1, iv.data(), 81, 200, v.data());
  EXPECT_EQ(iv[0], 15);
  NlsSetDefaults(1, iv.data(), 82, 97, v.data());
  EXPECT_EQ(iv[0], 16);
  NlsSetDefaults(2, iv.data(), 59, 71, v.data());
  EXPECT_EQ(iv[0], 12) << "the general algorithm needs less";
  EXPECT_EQ(iv[nls::kNvdflt - 1], 25);
  NlsSetDefaults(3, iv.data(), 102, 200, v.data());
  EXPECT_EQ(iv[0], 15);
}

TEST(NlsDriver, RefusesBadSizesAndInconsistentCalls) {
  NlsCaller c(3, 2);
  std::int64_t n1 = 0, n2 = 0;
  const std::int64_t liv = nls::RequiredLiv(2), lv = nls::RequiredLv(2);
  std::vector<double> b = {-1, 1, -1, 1}, d(2), dr(6), r(3), rd(3), x(2);
  for (const auto& [n, nd, p] :
       std::vector<std::array<std::int64_t, 3>>{{0, 3, 2}, {3, 0, 2}, {3, 3, 0}}) {
    c.IV(1) = 12;
    NlsBoundedDriver(b.data(), d.data(), dr.data(), &c.IV(1), liv, lv, n, nd, n1, n2, p, r.data(),
                     rd.data(), &c.V(1), x.data());
    EXPECT_EQ(c.IV(1), 66);
  }
  c.IV(1) = 12;
  NlsBoundedDriver(b.data(), d.data(), dr.data(), &c.IV(1), liv, lv, 3, 2, n1, n2, 2, r.data(),
                   rd.data(), &c.V(1), x.data());
  EXPECT_EQ(c.IV(1), 64) << "fewer rows per call than residuals";

  const auto answer = [](std::int64_t entered) {
    NlsCaller fresh(3, 2);
    fresh.IV(1) = entered;
    return fresh.Call();
  };
  EXPECT_EQ(answer(3), 1400) << "nothing to continue";
  EXPECT_EQ(answer(14), 64) << "nothing allocated";
  EXPECT_EQ(answer(2), 64) << "an answer without a request";
}

TEST(NlsDriver, StartsAtOnceFromDefaultsOrAfterSizing) {
  const auto pb = ClassicProblem("Beale");
  // 12 allocates and asks for residuals; 0 sets the defaults first.
  for (std::int64_t entered : {12, 0}) {
    NlsCaller c(pb);
    c.IV(1) = entered;
    EXPECT_EQ(c.Call(), 1) << entered;
  }
  NlsCaller from13(pb);
  from13.IV(1) = 13;
  EXPECT_EQ(from13.Call(), 14);
  EXPECT_EQ(from13.Call(), 1);
}

TEST(NlsProtocol, ScriptedCallerSeesOnlyProtocolAnswers) {
  const auto pb = ClassicProblem("Rosenbrock");
  NlsCaller c(pb.n, pb.p);
  c.Start(pb.x0, {-2.0, -2.0}, {2.0, 2.0});
  c.ApplyEngineOptions(0.0, 1e-4, 1e-4, 0.0, 50);
  std::int64_t residual_requests = 0, jacobian_requests = 0;
  double best = HUGE_VAL;
  std::vector<double> last_residual_x;
  std::int64_t code = c.Call();
  ASSERT_EQ(code, 1) << "the first answer asks for residuals";
  while (code == 1 || code == 2) {
    if (code == 1) {
      ++residual_requests;
      for (std::int64_t i = 0; i < pb.p; ++i) {
        EXPECT_GE(c.x()[i], c.Lower(i));
        EXPECT_LE(c.x()[i], c.Upper(i));
      }
      pb.residuals(c.x().data(), c.r().data());
      best = std::fmin(best, HalfSumOfSquares(pb, c.x().data()));
      last_residual_x = c.x();
    } else {
      ++jacobian_requests;
      EXPECT_EQ(c.x(), last_residual_x) << "the Jacobian is asked where residuals were just given";
      pb.jacobian(c.x().data(), c.dr().data());
    }
    code = c.Call();
    EXPECT_TRUE(code == 1 || code == 2 || kFinalCodes.count(code)) << code;
  }
  EXPECT_EQ(code, 6);
  EXPECT_EQ(c.IV(nls::kNfcall), residual_requests);
  EXPECT_EQ(c.IV(nls::kNgcall), jacobian_requests);
  EXPECT_EQ(c.IV(nls::kNiter), jacobian_requests - 1) << "one Jacobian per accepted iterate";
  EXPECT_LE(residual_requests, 50);
  EXPECT_DOUBLE_EQ(c.V(nls::kF), best) << "X is the best point met";
  EXPECT_DOUBLE_EQ(HalfSumOfSquares(pb, c.x().data()), c.V(nls::kF));
}

TEST(NlsProtocol, LimitsEndTheSolveWithTheirCodes) {
  const auto pb = ClassicProblem("Rosenbrock");
  NlsCaller no_iterations(pb);
  no_iterations.ApplyEngineOptions(0.0, 1e-4, 1e-4, 0.0, 0);
  EXPECT_EQ(no_iterations.Call(), 10) << "nothing is evaluated";
  EXPECT_EQ(no_iterations.IV(nls::kNfcall), 0);
  EXPECT_EQ(no_iterations.x(), pb.x0);

  NlsCaller few_evaluations(pb);
  few_evaluations.IV(nls::kMxfcal) = 5;
  const auto run = Drive(few_evaluations, pb);
  EXPECT_EQ(run.code, 9);
  EXPECT_EQ(run.residual_requests, 5);
  EXPECT_EQ(few_evaluations.IV(nls::kNfcall), 5);
  EXPECT_DOUBLE_EQ(HalfSumOfSquares(pb, run.x.data()), run.f);

  NlsCaller few_iterations(pb);
  few_iterations.IV(nls::kMxiter) = 3;
  EXPECT_EQ(Drive(few_iterations, pb).code, 10);
  EXPECT_EQ(few_iterations.IV(nls::kNiter), 3);
}

TEST(NlsProtocol, ResidualFailuresShortenTheStepAndStillConverge) {
  const auto pb = ClassicProblem("Rosenbrock");
  NlsCaller c(pb);
  c.V(nls::kAfctol) = 1e-20;
  int refused = 0;
  const auto run = Drive(c, pb, [&](const double* x) {
    const bool ok = x[1] > -0.02;  // the path from the standard start dips below this
    if (!ok) ++refused;
    return ok;
  });
  EXPECT_GT(refused, 0);
  EXPECT_EQ(run.code, 6);
  EXPECT_NEAR(run.x[0], 1.0, 1e-9);
  EXPECT_NEAR(run.x[1], 1.0, 1e-9);
  EXPECT_EQ(c.IV(nls::kNfcall), run.residual_requests) << "refused evaluations count too";
}

// From x = 0 the relative step never shrinks, so only the radius tells
// that failing trials have nothing left to try: the solve ends with a code
// long before the radius reaches the smallest doubles, where the step's
// arithmetic overflows.
TEST(NlsProtocol, TrialsFailingAroundZeroEndWithACodeNotAnOverflow) {
  const auto pb = ClassicProblem("Rosenbrock");
  const std::vector<double> zero(static_cast<std::size_t>(pb.p), 0.0);
  NlsCaller c(pb.n, pb.p);
  c.Start(zero);
  c.ApplyEngineOptions(0.0, 1e-4, 1e-4, 0.0, 1000000);
  std::feclearexcept(FE_ALL_EXCEPT);
  const auto run = Drive(c, pb, [&](const double* x) { return x[0] == 0.0 && x[1] == 0.0; });
  EXPECT_FALSE(std::fetestexcept(FE_OVERFLOW | FE_DIVBYZERO | FE_INVALID));
  EXPECT_EQ(run.code, 8) << "false convergence";
  EXPECT_EQ(run.x, zero) << "the start is the best point";
  EXPECT_LT(run.residual_requests, 200);

  // A parameter far from zero does not hold back one that can still move.
  LeastSquaresProblem apart;
  apart.n = 2;
  apart.p = 2;
  apart.x0 = {1e20, 0.0};
  apart.residuals = [](const double* x, double* r) {
    r[0] = x[0] - 1e20;
    r[1] = x[1] - 3.0;
  };
  apart.jacobian = [](const double*, double* jac) {
    jac[0] = 1.0, jac[1] = 0.0, jac[2] = 0.0, jac[3] = 1.0;
  };
  NlsCaller far(apart);
  far.ApplyEngineOptions(0.0, 1e-4, 1e-4, 0.0, 50);
  const auto moved = Drive(far, apart);
  EXPECT_EQ(moved.code, 6) << "absolute function convergence";
  EXPECT_NEAR(moved.x[1], 3.0, 1e-9);
}

TEST(NlsProtocol, EvaluationFailuresAtTheStartOrOfTheJacobianEndTheSolve) {
  const auto pb = ClassicProblem("Beale");
  NlsCaller start(pb);
  ASSERT_EQ(start.Call(), 1);
  EXPECT_EQ(start.Call(true), 63);

  NlsCaller nan_start(pb);
  ASSERT_EQ(nan_start.Call(), 1);
  nan_start.r().assign(static_cast<std::size_t>(pb.n), std::nan(""));
  EXPECT_EQ(nan_start.Call(), 63) << "residuals that are not numbers cannot be used";

  NlsCaller jacobian(pb);
  std::int64_t code = jacobian.Call();
  int jacobians = 0;
  std::vector<double> iterate;
  while (code == 1 || code == 2) {
    if (code == 1) pb.residuals(jacobian.x().data(), jacobian.r().data());
    if (code == 2 && ++jacobians == 3) {
      iterate = jacobian.x();
      code = jacobian.Call(true);
      break;
    }
    if (code == 2) pb.jacobian(jacobian.x().data(), jacobian.dr().data());
    code = jacobian.Call();
  }
  EXPECT_EQ(code, 65);
  EXPECT_EQ(jacobian.x(), iterate) << "X stays at the last iterate";
  EXPECT_EQ(jacobian.IV(nls::kCovmat), 0) << "no covariance without a Jacobian";
}

TEST(NlsProtocol, FinalCodeContinuesWithRaisedLimits) {
  const auto pb = ClassicProblem("BrownDennis");
  NlsCaller c(pb);
  c.IV(nls::kMxiter) = 4;
  const auto first = Drive(c, pb);
  ASSERT_EQ(first.code, 10);
  EXPECT_EQ(Drive(c, pb).code, 10) << "unchanged limits end at once";
  EXPECT_EQ(c.IV(nls::kNfcall), first.residual_requests);

  c.IV(nls::kMxiter) = 500;
  const auto second = Drive(c, pb);
  EXPECT_EQ(second.code, 4);
  EXPECT_NEAR(2.0 * second.f, 85822.2, 0.1);
  EXPECT_EQ(c.IV(nls::kNfcall), first.residual_requests + second.residual_requests)
      << "a continuation keeps counting";
}

TEST(NlsProtocol, DefaultsAgainStartANewSolveOnTheSameArrays) {
  const auto pb = ClassicProblem("Beale");
  NlsCaller c(pb);
  c.V(nls::kAfctol) = 1e-20;
  ASSERT_EQ(Drive(c, pb).code, 6);
  const std::int64_t first_evaluations = c.IV(nls::kNfcall);

  NlsSetDefaults(1, &c.IV(1), nls::RequiredLiv(pb.p), nls::RequiredLv(pb.p), &c.V(1));
  c.IV(nls::kPrunit) = 0;
  c.Start({0.5, 0.2});
  c.V(nls::kAfctol) = 1e-20;
  const auto again = Drive(c, pb);
  EXPECT_EQ(again.code, 6);
  EXPECT_EQ(c.IV(nls::kNfcall), again.residual_requests) << "counters restart";
  EXPECT_NEAR(again.x[0], 3.0, 1e-9);
  EXPECT_GT(first_evaluations, 0);
}

TEST(NlsChecker, RefusesOptionsOutOfRange) {
  const auto pb = ClassicProblem("Beale");
  struct Case {
    std::int64_t code;
    std::function<void(NlsCaller&)> spoil;
  };
  const std::vector<Case> cases = {
      {32, [](NlsCaller& c) { c.V(nls::kRfctol) = -1.0; }},
      {19, [](NlsCaller& c) { c.V(nls::kEpslon) = std::nan(""); }},
      {1018, [](NlsCaller& c) { c.IV(nls::kMxiter) = -1; }},
      {67, [](NlsCaller& c) { c.IV(nls::kAlgsav) = 2; }},
  };
  for (const auto& k : cases) {
    NlsCaller c(pb);
    k.spoil(c);
    EXPECT_EQ(c.Call(), k.code);
    EXPECT_EQ(c.Call(), k.code) << "and stays";
  }
}

TEST(NlsDriver, ProjectsAStartOutsideTheBoundsAndRefusesCrossedBounds) {
  const auto pb = ClassicProblem("Rosenbrock");
  NlsCaller c(pb.n, pb.p);
  c.Start({5.0, -5.0}, {-2.0, 1.5}, {2.0, 3.0});
  ASSERT_EQ(c.Call(), 1);
  EXPECT_EQ(c.x(), (std::vector<double>{2.0, 1.5}));

  NlsCaller crossed(pb.n, pb.p);
  crossed.Start(pb.x0, {1.0, 0.0}, {0.0, 1.0});
  EXPECT_EQ(crossed.Call(), 64);
}

TEST(NlsDriver, ArbitraryCodesAndAnswersNeverBreakIt) {
  // A caller that gets the protocol wrong: random codes, random TOOBIG,
  // residuals that are sometimes not numbers. Every answer must stay in range.
  const auto pb = ClassicProblem("HelicalValley");
  std::mt19937_64 rng(1234);
  for (int trial = 0; trial < 300; ++trial) {
    NlsCaller c(pb.n, pb.p);
    c.Start(pb.x0, {-5.0, -5.0, -5.0}, {5.0, 5.0, 5.0});
    std::int64_t code = c.Call();
    for (int step = 0; step < 40; ++step) {
      std::int64_t injected = 0;
      if (rng() % 5 == 0) injected = c.IV(1) = static_cast<std::int64_t>(rng() % 40) - 5;
      if (code == 1) pb.residuals(c.x().data(), c.r().data());
      if (code == 2) pb.jacobian(c.x().data(), c.dr().data());
      if (rng() % 7 == 0) c.r()[rng() % 3] = std::nan("");
      const std::int64_t before = c.IV(1);
      code = c.Call(rng() % 6 == 0);
      if (before > 16) {
        ASSERT_EQ(code, before) << "final codes stay final";
      } else {
        ASSERT_TRUE(code == 1 || code == 2 || (code >= 3 && code <= 10) ||
                    (code >= 14 && code <= 16) || (code >= 63 && code <= 66) || code == 1400)
            << code << " after " << before << " (injected " << injected << ")";
      }
      for (std::int64_t i = 0; i < pb.p; ++i) ASSERT_TRUE(std::isfinite(c.x()[i]));
    }
  }
}

}  // namespace
