// Estimations through the real engine and its outside servers, as the
// modelling environment runs them: the model loaded through the instance
// manager, the estimation defined (service 110, request 92), the run begun
// and solved at steady state while the estimation action runs one
// experiment after another and pass after pass, then the results (request
// 2). NIST StRD Misra1a and DanWood, one steady-state experiment per
// observation, reach the certified estimates and standard deviations; a
// linear balance is reconciled to its weighted least-squares solution; a
// decay's rate constant is fitted to its state measured over time.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/tools/engine_road_fixture.h"
#include "tests/tools/estimation_road.h"
#include "tools/client.h"
#include "tools/model_writer/model_writer.h"
#include "tools/road.h"
#include "workloads/nist_problems.h"

namespace {

using engineroad::EngineRoad;
using engineroad::kBeginRunDone;
using engineroad::kProblemService;
using engineroad::kRunEnded;
using engineroad::ModelEquation;
using engineroad::ModelVariable;
using engineroad::Node;
using engineroad::Reader;
using modelwriter::Expr;
using modelwriter::Writer;
using vantor_client::MakeCommand;
using namespace estimationroad;

using modelwriter::Add;
using modelwriter::Binary;
using modelwriter::Mul;
using modelwriter::Real;
using modelwriter::Sub;
using modelwriter::Unary;
using modelwriter::Var;

Definition OnePerObservation(const testsupport::Certified& cert) {
  Definition d;
  d.estimated = {1, 2};
  for (std::size_t k = 0; k < cert.x.size(); ++k) {
    Experiment e;
    e.name = std::string("E").append(std::to_string(k + 1));
    e.inputs = {{3, cert.x[k]}};
    e.measured = {4};
    e.entries = {{4, cert.y[k], 0.0}};
    d.experiments.push_back(e);
  }
  d.records = {4};
  return d;
}

void ExpectCertified(const Results& r, const testsupport::Certified& cert) {
  EXPECT_GE(r.outcome, 1u);
  EXPECT_LE(r.outcome, 4u);
  ASSERT_EQ(r.estimates.size(), cert.values.size());
  ASSERT_GE(r.statistics, 1u);
  ASSERT_EQ(r.errors.size(), cert.deviations.size());
  for (std::size_t j = 0; j < cert.values.size(); ++j) {
    EXPECT_NEAR(r.estimates[j], cert.values[j], 1e-6 * std::fabs(cert.values[j])) << "b" << j + 1;
    EXPECT_NEAR(r.errors[j], cert.deviations[j], 1e-4 * std::fabs(cert.deviations[j]))
        << "sd of b" << j + 1;
  }
}

TEST_F(EstimationRoad, Misra1aReachesTheCertifiedValues) {
  const testsupport::Certified misra = testsupport::NistDataset("Misra1a");
  const testsupport::Certified* cert = &misra;
  // b1·(1 − exp(−b2·x)).
  const Expr f = Mul(Var(1), Sub(Real(1.0), Exp(Sub(Real(0.0), Mul(Var(2), Var(3))))));
  ASSERT_TRUE(Start([&](Writer& w) { Regression(w, cert->starts[0], f); }))
      << Failure() << Events();
  Results r;
  ESTIMATE_OR_SKIP(OnePerObservation(*cert), &r);
  ExpectCertified(r, *cert);
  EXPECT_NEAR(r.final, cert->rss, 1e-6 * cert->rss);
  // The estimation ends (request 50, do not go on); the estimates written
  // back are in the model from the next run on.
  auto end = std::make_unique<vantor_client::Request>(kEstimationService);
  Writer(*end).U16(50);
  Writer(*end).U8(0);
  ASSERT_TRUE(road_->Expect(std::move(end), "request 50", 0)) << Failure();
  auto begin = std::make_unique<vantor_client::Request>(kProblemService);
  begin->PutUInt16(31);
  ASSERT_TRUE(road_->Expect(std::move(begin), "request 31", kBeginRunDone) &&
              road_->Expect(MakeCommand(kProblemService, 9), "command 9", 0) &&
              road_->WaitStep(0.0, "the steady state"))
      << Failure() << Events();
  double b1 = 0.0, b2 = 0.0;
  ASSERT_TRUE(road_->Read(1, &b1, "b1") && road_->Read(2, &b2, "b2")) << Failure();
  EXPECT_EQ(b1, r.estimates[0]);
  EXPECT_EQ(b2, r.estimates[1]);
  ASSERT_TRUE(Finish()) << Failure() << Events();
}

TEST_F(EstimationRoad, DanWoodReachesTheCertifiedValues) {
  const testsupport::Certified dan_wood = testsupport::NistDataset("DanWood");
  const testsupport::Certified* cert = &dan_wood;
  // b1·x^b2.
  const Expr f = Mul(Var(1), Pow(Var(3), Var(2)));
  ASSERT_TRUE(Start([&](Writer& w) { Regression(w, cert->starts[0], f); }))
      << Failure() << Events();
  Results r;
  ESTIMATE_OR_SKIP(OnePerObservation(*cert), &r);
  ExpectCertified(r, *cert);
  ASSERT_TRUE(Finish()) << Failure() << Events();
}

void Line(Writer& w) { Regression(w, {1.0, 0.0}, Mul(Var(1), Var(3))); }

// The NLP solvers minimise the sum of squares from its gradient: SLSQP (1)
// and Ipopt (10) converge on the one-parameter line and say so.
class LineRoad : public EstimationRoad {
 protected:
  void FitWith(std::uint32_t solver) {
    ASSERT_TRUE(Start(Line) && IntOption(124, solver)) << Failure() << Events();
    Results r;
    ASSERT_TRUE(Estimate(LineFit(), &r)) << Failure() << Events();
    EXPECT_GE(r.outcome, 1u) << Events();
    EXPECT_LE(r.outcome, 4u) << Events();
    ASSERT_EQ(r.estimates.size(), 1u);
    EXPECT_NEAR(r.estimates[0], kLineSlope, 1e-5);
    EXPECT_EQ(Events().find("cannot find a solution"), std::string::npos) << Events();
    ASSERT_TRUE(Finish()) << Failure() << Events();
  }
};

TEST_F(LineRoad, SqpaFitsALineAndSaysItConverged) { FitWith(1); }

TEST_F(LineRoad, SqpbFitsALineAndSaysItConverged) { FitWith(10); }

// Every pass of an estimation solves the steady state again within the one
// run command: at print level 3 each pass says so, and the line is told
// once for the whole estimation, its count when the run comes to rest.
TEST_F(EstimationRoad, AnEstimationTellsALineOfEveryPassOnceWithItsCount) {
  ASSERT_TRUE(Start(Line) && IntOption(31, 3)) << Failure() << Events();
  Results r;
  ASSERT_TRUE(Estimate(LineFit(), &r)) << Failure() << Events();
  EXPECT_NEAR(r.estimates.at(0), kLineSlope, 1e-5);
  ASSERT_TRUE(RunEnded()) << Failure();
  road_->Collect();
  const std::string line = "Solving steady state ...";
  EXPECT_EQ(std::count(run_.events.begin(), run_.events.end(), line), 1) << Events();
  // Three experiments a pass, and more than one pass.
  EXPECT_GE(engineroad::RepeatCount(run_.events, line), 5) << Events();
  ASSERT_TRUE(Finish()) << Failure() << Events();
}

// What the passes repeated is told before the outcome: it has arrived when
// the results first carry the outcome, ahead of the line that says how the
// estimation ended, so a client that closes on the outcome has it.
TEST_F(EstimationRoad, AnEstimationTellsItsCountsBeforeItsOutcome) {
  ASSERT_TRUE(Start(Line) && IntOption(31, 3)) << Failure() << Events();
  Results r;
  ASSERT_TRUE(Estimate(LineFit(), &r)) << Failure() << Events();
  road_->Collect();
  const std::vector<std::string> lines = run_.events;
  const std::string counted = "The report \"Solving steady state ...\" was repeated ";
  const auto count = std::find_if(lines.begin(), lines.end(),
                                  [&](const std::string& l) { return l.rfind(counted, 0) == 0; });
  const auto outcome = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
    return l.find("convergence") != std::string::npos || l.find("converged") != std::string::npos;
  });
  ASSERT_NE(count, lines.end()) << Events();
  EXPECT_GE(std::stol(count->substr(counted.size())), 5) << Events();
  ASSERT_NE(outcome, lines.end()) << Events();
  EXPECT_LT(count - lines.begin(), outcome - lines.begin()) << Events();
  ASSERT_TRUE(RunEnded()) << Failure();
  ASSERT_TRUE(Finish()) << Failure() << Events();
}

// The line fitted beside 6,000 groups that are singular at every solve:
// past the different reports a command keeps, every steady state of every
// pass ends with the list of their indeterminate variables. The list is
// told once, header and all, and counted after; the fit's lines do not
// grow with its solves, and its outcome comes.
TEST_F(EstimationRoad, AFitBesideManySingularGroupsTellsTheirListOnce) {
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << engineroad::kNumbersNotThreads;
  constexpr std::uint32_t kPairs = 6000;
  ASSERT_TRUE(Start([](Writer& w) {
    Regression(w, {1.0, 0.0}, Mul(Var(1), Var(3)), 4 * kPairs);
    engineroad::SingularPairs(w, 100, kPairs);
  })) << Failure();
  Results r;
  ASSERT_TRUE(Estimate(LineFit(), &r)) << Failure();
  EXPECT_NEAR(r.estimates.at(0), kLineSlope, 1e-5);
  ASSERT_TRUE(RunEnded()) << Failure();
  const std::vector<std::string> lines = LinesSince(0);
  RecordProperty("lines", std::to_string(lines.size()));
  engineroad::ExpectAListToldOnce(lines, kPairs);
  EXPECT_EQ(engineroad::CountStarting(lines, "Least squares relative convergence"), 1u);
  ASSERT_TRUE(Finish()) << Failure();
}

// Nls.MaxIter below 0 and EstimationPrintLevel above 4 are stored; the
// estimator goes on with 0 and 4 and says so once each over the whole
// estimation and a second one. No iteration moves the slope from its start.
TEST_F(EstimationRoad, OptionsOutOfTheirBoundsAreToldOnceWithWhatIsUsed) {
  ASSERT_TRUE(Start(Line) && IntOption(91, static_cast<std::uint32_t>(-3)) && IntOption(127, 9))
      << Failure() << Events();
  const std::string bound = "The estimator refuses Nls.MaxIter = -3 and goes on with 0";
  const std::string level = "The estimator refuses EstimationPrintLevel = 9 and goes on with 4";
  for (int estimation = 1; estimation <= 2; ++estimation) {
    Results r;
    ASSERT_TRUE(Estimate(LineFit(), &r)) << estimation << Failure() << Events();
    ASSERT_EQ(r.estimates.size(), 1u) << estimation;
    EXPECT_EQ(r.estimates[0], 1.0) << estimation;
    ASSERT_TRUE(RunEnded()) << Failure();
  }
  road_->Collect();
  EXPECT_NE(Events().find("Estimated variables will not be moved"), std::string::npos) << Events();
  EXPECT_EQ(Events().find("Unknown error"), std::string::npos) << Events();
  EXPECT_EQ(std::count(run_.events.begin(), run_.events.end(), bound), 1) << Events();
  EXPECT_EQ(std::count(run_.events.begin(), run_.events.end(), level), 1) << Events();
  ASSERT_TRUE(Finish()) << Failure() << Events();
}

// EstimationSolver 3 runs the chosen open NLP solver without sensitivities:
// its gradients are differences of the passes, and it ends at the fit, not
// where it started.
TEST_F(EstimationRoad, OpenSolverWithoutSensitivitiesFitsByDifferences) {
  ASSERT_TRUE(Start(Line) && IntOption(124, 3)) << Failure() << Events();
  auto choose = std::make_unique<vantor_client::Request>(kProblemService);
  choose->PutUInt16(123);
  choose->PutString("kvs_sqpa.dll");
  ASSERT_TRUE(road_->Expect(std::move(choose), "the open NLP estimation solver (request 123)", 0))
      << Failure() << Events();
  Results r;
  ASSERT_TRUE(Estimate(LineFit(), &r)) << Failure() << Events();
  EXPECT_GE(r.outcome, 1u) << Events();
  EXPECT_LE(r.outcome, 4u) << Events();
  ASSERT_EQ(r.estimates.size(), 1u);
  EXPECT_NEAR(r.estimates[0], kLineSlope, 1e-5) << Events();
  // The statistics come from one more pass with sensitivities, after the
  // outcome is known: they are waited for, and the run then ends.
  ASSERT_TRUE(StatisticsCame(&r)) << Failure() << Events();
  ASSERT_TRUE(RunEnded() && Ask(&r)) << Failure() << Events();
  ASSERT_GE(r.statistics, 1u);
  ASSERT_EQ(r.errors.size(), 1u);
  // Residuals 0.0643, -0.1714, 0.0929 about the fit: s² = Σr² / 2, and
  // the slope's standard error s / sqrt(Σx²).
  const double residuals[] = {2.1 - kLineSlope, 3.9 - 2 * kLineSlope, 6.2 - 3 * kLineSlope};
  double rss = 0.0;
  for (double e : residuals) rss += e * e;
  EXPECT_NEAR(r.errors[0], std::sqrt(rss / 2.0 / 14.0), 1e-6);
  ASSERT_TRUE(EndEngine()) << Failure() << Events();
}

// y = exp(b)·x from b = 400: the model solves there, but its values
// (5e173) overflow the sum of squares, so the first pass cannot be
// evaluated. The estimation ends at once and says so; no step is taken from
// it and no estimate comes back.
TEST_F(EstimationRoad, FirstPassThatCannotBeEvaluatedEndsWithoutAnEstimate) {
  const Expr f = Mul(Exp(Var(1)), Var(3));
  ASSERT_TRUE(Start([&](Writer& w) { Regression(w, {400.0, 0.0}, f); })) << Failure() << Events();
  Results r;
  EXPECT_FALSE(Estimate(LineFit(), &r)) << Events();
  EXPECT_NE(Events().find("The estimation run cannot proceed: the model cannot be evaluated at "
                          "the initial values of the estimated variables (experiment L1 gives "
                          "values that are not finite or too large)"),
            std::string::npos)
      << Events();
  ASSERT_TRUE(RunEnded() && Ask(&r)) << Failure() << Events();
  EXPECT_EQ(r.outcome, kNoOutcome);
  EXPECT_TRUE(r.estimates.empty());
  EXPECT_EQ(Events().find("Step 1"), std::string::npos) << Events();
  ASSERT_TRUE(EndEngine()) << Failure() << Events();
}

// F1 and F2 fixed (indices 1, 2), F3 free (3): F3 = F1 + F2 (10).
void Balance(Writer& w) {
  w.List(4);
  const char* names[] = {".F1", ".F2", ".F3"};
  for (std::uint32_t i = 0; i < 3; ++i) {
    ModelVariable(w, modelwriter::kRealVariable, i + 1, names[i], 1.0, i < 2 ? 4 : 1);
  }
  ModelEquation(w, 10, ".balance", Sub(Var(0), Add(Var(1), Var(2))), {{2, 3}, {2, 1}, {2, 2}});
}

// The measured flows of a balance F3 = F1 + F2, reconciled: the weighted
// least-squares solution, here in closed form.
TEST_F(EstimationRoad, ReconcilingALinearBalanceGivesTheWeightedLeastSquares) {
  ASSERT_TRUE(Start(Balance)) << Failure() << Events();
  const double m[3] = {10.2, 5.1, 14.7};
  const double w[3] = {1.0, 2.0, 0.5};
  Definition d;
  Experiment e;
  e.name = "plant";
  e.measured = {1, 2, 3};
  for (std::uint32_t k = 0; k < 3; ++k) e.entries.push_back({k + 1, m[k], w[k]});
  d.experiments = {e};
  d.records = {1, 2, 3};
  Results r;
  ESTIMATE_OR_SKIP(d, &r);
  EXPECT_GE(r.outcome, 1u);
  EXPECT_LE(r.outcome, 4u);
  EXPECT_EQ(r.reconciled.size(), 2u);
  // Minimise Σ w_k² (m_k − F_k)² with F3 = F1 + F2: the normal equations
  // of rows (1, 0), (0, 1), (1, 1) weighted by w².
  const double a = w[0] * w[0] + w[2] * w[2], b = w[2] * w[2], c = w[1] * w[1] + w[2] * w[2];
  const double r1 = w[0] * w[0] * m[0] + w[2] * w[2] * m[2];
  const double r2 = w[1] * w[1] * m[1] + w[2] * w[2] * m[2];
  const double det = a * c - b * b;
  const double f1 = (c * r1 - b * r2) / det, f2 = (a * r2 - b * r1) / det;
  ASSERT_EQ(r.measurements.size(), 3u);
  EXPECT_NEAR(r.measurements[0].second, f1, 1e-8);
  EXPECT_NEAR(r.measurements[1].second, f2, 1e-8);
  EXPECT_NEAR(r.measurements[2].second, f1 + f2, 1e-8);
  ASSERT_TRUE(Finish()) << Failure() << Events();
}

// x' = -k x from x(0) = 1.
void Decay(Writer& w, double k) { engineroad::DecayModel(w, ".k", k); }

// k from x measured at six times of one dynamic experiment, the data
// exactly e^(-0.7 t): the fit reaches k = 0.7 with the measured state
// predicted, not reconciled.
TEST_F(EstimationRoad, DynamicDecayFitsItsRateConstant) {
  constexpr double k = 0.7;
  ASSERT_TRUE(Start([](Writer& w) { Decay(w, 0.3); }, true)) << Failure() << Events();
  Definition d;
  d.estimated = {1};
  Experiment e;
  e.name = "decay";
  e.dynamic = true;
  e.initials = {{2, 1.0}};
  e.measured = {2};
  for (int i = 1; i <= 6; ++i) {
    const double t = 0.5 * i;
    e.entries.push_back({2, std::exp(-k * t), 0.0, t});
  }
  d.experiments = {e};
  d.records = {2};
  Results r;
  ASSERT_TRUE(Estimate(d, &r)) << Failure() << Events();
  EXPECT_GE(r.outcome, 1u);
  EXPECT_LE(r.outcome, 4u);
  EXPECT_TRUE(r.reconciled.empty());
  ASSERT_EQ(r.estimates.size(), 1u);
  EXPECT_NEAR(r.estimates[0], k, 1e-6);
  ASSERT_EQ(r.measurements.size(), 6u);
  for (const auto& [observed, predicted] : r.measurements) EXPECT_NEAR(predicted, observed, 1e-6);
  ASSERT_TRUE(Finish()) << Failure() << Events();
}

}  // namespace

namespace {

using modelwriter::Add;
using modelwriter::Div;
using modelwriter::Mul;
using modelwriter::Real;
using modelwriter::Sub;
using modelwriter::Var;

Expr Neg(Expr e) { return Unary(16, std::move(e)); }
Expr Sin(Expr e) { return Unary(25, std::move(e)); }
Expr Cos(Expr e) { return Unary(26, std::move(e)); }

// A NIST model as NIST writes it, its parameters b1..bP at offsets 1..P and
// x at P + 1; null for a name it does not know.
Expr NistExpr(const std::string& name, std::uint32_t params) {
  auto b = [](std::uint32_t j) { return Var(j); };
  const Expr x = Var(params + 1);
  const Expr one = Real(1.0);
  auto sq = [](const Expr& e) { return Pow(e, Real(2.0)); };
  auto cube = [](const Expr& e) { return Pow(e, Real(3.0)); };
  // b1*(1-exp[-b2*x])
  if (name == "Misra1a" || name == "BoxBOD") return Mul(b(1), Sub(one, Exp(Mul(Neg(b(2)), x))));
  // exp[-b1*x]/(b2+b3*x)
  if (name == "Chwirut1" || name == "Chwirut2") {
    return Div(Exp(Mul(Neg(b(1)), x)), Add(b(2), Mul(b(3), x)));
  }
  // b1*x**b2
  if (name == "DanWood") return Mul(b(1), Pow(x, b(2)));
  // b1*exp(-b2*x) + b3*exp(-(x-b4)**2 / b5**2) + b6*exp(-(x-b7)**2 / b8**2)
  if (name.rfind("Gauss", 0) == 0) {
    auto peak = [&](std::uint32_t j) {
      return Mul(b(j), Exp(Div(Neg(sq(Sub(x, b(j + 1)))), sq(b(j + 2)))));
    };
    return Add(Add(Mul(b(1), Exp(Mul(Neg(b(2)), x))), peak(3)), peak(6));
  }
  // b1*exp(-b2*x) + b3*exp(-b4*x) + b5*exp(-b6*x)
  if (name.rfind("Lanczos", 0) == 0) {
    auto term = [&](std::uint32_t j) { return Mul(b(j), Exp(Mul(Neg(b(j + 1)), x))); };
    return Add(Add(term(1), term(3)), term(5));
  }
  // b1 * (1-(1+b2*x/2)**(-2))
  if (name == "Misra1b") {
    return Mul(b(1), Sub(one, Pow(Add(one, Div(Mul(b(2), x), Real(2.0))), Neg(Real(2.0)))));
  }
  // b1 * (1-(1+2*b2*x)**(-.5))
  if (name == "Misra1c") {
    return Mul(b(1), Sub(one, Pow(Add(one, Mul(Mul(Real(2.0), b(2)), x)), Neg(Real(0.5)))));
  }
  // b1*b2*x*((1+b2*x)**(-1))
  if (name == "Misra1d") {
    return Mul(Mul(Mul(b(1), b(2)), x), Pow(Add(one, Mul(b(2), x)), Neg(one)));
  }
  // b1 + b2*cos( 2*pi*x/12 ) + b3*sin( 2*pi*x/12 ) + b5*cos( 2*pi*x/b4 )
  // + b6*sin( 2*pi*x/b4 ) + b8*cos( 2*pi*x/b7 ) + b9*sin( 2*pi*x/b7 )
  if (name == "ENSO") {
    auto angle = [&](const Expr& period) {
      return Div(Mul(Mul(Real(2.0), Real(M_PI)), x), period);
    };
    auto wave = [&](std::uint32_t j, const Expr& period) {
      return Add(Mul(b(j), Cos(angle(period))), Mul(b(j + 1), Sin(angle(period))));
    };
    return Add(Add(Add(b(1), wave(2, Real(12.0))), wave(5, b(4))), wave(8, b(7)));
  }
  // (b1+b2*x+b3*x**2+b4*x**3) / (1+b5*x+b6*x**2+b7*x**3)
  if (name == "Hahn1" || name == "Thurber") {
    return Div(Add(Add(Add(b(1), Mul(b(2), x)), Mul(b(3), sq(x))), Mul(b(4), cube(x))),
               Add(Add(Add(one, Mul(b(5), x)), Mul(b(6), sq(x))), Mul(b(7), cube(x))));
  }
  // (b1 + b2*x + b3*x**2) / (1 + b4*x + b5*x**2)
  if (name == "Kirby2") {
    return Div(Add(Add(b(1), Mul(b(2), x)), Mul(b(3), sq(x))),
               Add(Add(one, Mul(b(4), x)), Mul(b(5), sq(x))));
  }
  // b1 + b2*exp[-x*b4] + b3*exp[-x*b5]
  if (name == "MGH17") {
    return Add(Add(b(1), Mul(b(2), Exp(Mul(Neg(x), b(4))))), Mul(b(3), Exp(Mul(Neg(x), b(5)))));
  }
  // b1 * (b2+x)**(-1/b3)
  if (name == "Bennett5") return Mul(b(1), Pow(Add(b(2), x), Div(Neg(one), b(3))));
  // (b1/b2) * exp[-0.5*((x-b3)/b2)**2]
  if (name == "Eckerle4") {
    return Mul(Div(b(1), b(2)), Exp(Mul(Neg(Real(0.5)), sq(Div(Sub(x, b(3)), b(2))))));
  }
  // b1*(x**2+x*b2) / (x**2+x*b3+b4)
  if (name == "MGH09") {
    return Div(Mul(b(1), Add(sq(x), Mul(x, b(2)))), Add(Add(sq(x), Mul(x, b(3))), b(4)));
  }
  // b1 * exp[b2/(x+b3)]
  if (name == "MGH10") return Mul(b(1), Exp(Div(b(2), Add(x, b(3)))));
  // b1 / (1+exp[b2-b3*x])
  if (name == "Rat42") return Div(b(1), Add(one, Exp(Sub(b(2), Mul(b(3), x)))));
  // b1 / ((1+exp[b2-b3*x])**(1/b4))
  if (name == "Rat43") {
    return Div(b(1), Pow(Add(one, Exp(Sub(b(2), Mul(b(3), x)))), Div(one, b(4))));
  }
  return nullptr;
}

// b1..bP fixed (indices 1..P), x fixed (P + 1), y free (P + 2): y = f
// (P + 3), references y, b1..bP, x.
void NistRegression(Writer& w, const std::vector<double>& start, const Expr& f) {
  const auto params = static_cast<std::uint32_t>(start.size());
  w.List(params + 3);
  for (std::uint32_t j = 1; j <= params; ++j) {
    ModelVariable(w, modelwriter::kRealVariable, j, ".b" + std::to_string(j), start[j - 1], 4);
  }
  ModelVariable(w, modelwriter::kRealVariable, params + 1, ".x", 1.0, 4);
  ModelVariable(w, modelwriter::kRealVariable, params + 2, ".y", 1.0, 1);
  std::vector<std::vector<std::uint32_t>> refs = {{2, params + 2}};
  for (std::uint32_t j = 1; j <= params + 1; ++j) refs.push_back({2, j});
  ModelEquation(w, params + 3, ".e", Sub(Var(0), f), refs);
}

Definition NistDefinition(const testsupport::Certified& cert) {
  const auto params = static_cast<std::uint32_t>(cert.values.size());
  Definition d;
  for (std::uint32_t j = 1; j <= params; ++j) d.estimated.push_back(j);
  for (std::size_t k = 0; k < cert.x.size(); ++k) {
    Experiment e;
    e.name = std::string("E").append(std::to_string(k + 1));
    e.inputs = {{params + 1, cert.x[k]}};
    e.measured = {params + 2};
    e.entries = {{params + 2, cert.y[k], 0.0}};
    d.experiments.push_back(e);
  }
  d.records = {params + 2};
  return d;
}

// The value of a written model at the variables' values by offset; NaN for
// a node it does not know.
double WrittenValue(const Expr& e, const std::vector<double>& vars) {
  constexpr std::uint8_t kConstant = 121, kReference = 124;
  if (e->leaf_class == kConstant) return e->real;
  if (e->leaf_class == kReference) return e->offset < vars.size() ? vars[e->offset] : NAN;
  if (e->leaf_class != 0 || e->operands.empty()) return NAN;
  const double a = WrittenValue(e->operands[0], vars);
  if (e->operands.size() == 1) {
    switch (e->code) {
      case 16:
        return -a;
      case 25:
        return std::sin(a);
      case 26:
        return std::cos(a);
      case 31:
        return std::sqrt(a);
      case 32:
        return std::exp(a);
      default:
        return NAN;
    }
  }
  const double b = WrittenValue(e->operands[1], vars);
  switch (e->code) {
    case 18:
      return a + b;
    case 19:
      return a - b;
    case 20:
      return a * b;
    case 21:
      return a / b;
    case 23:
      return std::pow(a, b);
    default:
      return NAN;
  }
}

// A sum of squares below this is round-off of the data.
constexpr double kRoundOffSum = 1e-20;

// Each model as written, at the certified values over the data, gives the
// certified residual sum of squares: a miswritten model shows here, before
// any engine run. Lanczos1's data are its model to 13 digits and its sum
// (1.4e-25) is all round-off, so there the residuals only stay that small.
TEST(NistModels, EachWrittenModelGivesTheCertifiedSumOfSquares) {
  const auto all = testsupport::NistDatasets();
  EXPECT_EQ(all.size(), 25u);
  for (const auto& cert : all) {
    const auto params = static_cast<std::uint32_t>(cert.values.size());
    const Expr f = NistExpr(cert.name, params);
    ASSERT_NE(f, nullptr) << cert.name;
    std::vector<double> vars(params + 2, 0.0);
    std::copy(cert.values.begin(), cert.values.end(), vars.begin() + 1);
    double rss = 0.0;
    for (std::size_t k = 0; k < cert.x.size(); ++k) {
      vars[params + 1] = cert.x[k];
      const double residual = cert.y[k] - WrittenValue(f, vars);
      rss += residual * residual;
    }
    if (cert.rss < kRoundOffSum) {
      EXPECT_LT(rss, kRoundOffSum) << cert.name;
    } else {
      EXPECT_NEAR(rss, cert.rss, 1e-9 * cert.rss) << cert.name;
    }
  }
}

class NistSweep : public EstimationRoad,
                  public ::testing::WithParamInterface<std::tuple<const char*, int>> {
 protected:
  // One estimation; false (with the reason) when the road broke, true when
  // the run ended, converged or not, with *stopped set when the action
  // stopped it.
  bool Fit(const testsupport::Certified& cert, int start, const Solver& solver, Results* r,
           bool* stopped) {
    *stopped = false;
    run_ = vantor_scenario::FirstOrderRun();
    const Expr f = NistExpr(cert.name, static_cast<std::uint32_t>(cert.values.size()));
    if (!Start([&](Writer& w) {
          NistRegression(w, cert.starts[static_cast<std::size_t>(start)], f);
        }) ||
        !IntOption(124, solver.kind) || !RealOption(121, 1e-12) || !IntOption(122, 500) ||
        (solver.likelihood && !IntOption(86, 2)))
      return false;
    if (solver.kind == 3) {
      auto choose = std::make_unique<vantor_client::Request>(kProblemService);
      choose->PutUInt16(123);
      choose->PutString("kvs_sqpa.dll");
      if (!road_->Expect(std::move(choose), "request 123", 0)) return false;
    }
    if (!Estimate(NistDefinition(cert), r)) {
      *stopped = Failure().find("the estimation stopped") != std::string::npos;
      return *stopped;
    }
    return RunEnded() && Ask(r) && EndEngine();
  }
};

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif
#else
constexpr bool kThreadSanitizer = false;
#endif

// Two low problems (Misra1a, DanWood) and three higher ones whose starts
// lead general solvers astray (BoxBOD's exponential, whose failed passes
// diverge far, Rat42's logistic, MGH09's rational with four parameters):
// between them the solvers end each way they can (at the optimum, short of
// it, on a flat stretch, singular). The thread-sanitizer tree runs these.
bool AmongTheFirstFive(const std::string& name) {
  for (const char* first : {"Misra1a", "DanWood", "BoxBOD", "Rat42", "MGH09"}) {
    if (name == first) return true;
  }
  return false;
}

constexpr std::size_t kMostObservationsByDefault = 20;

// The fits known to reach the certified values, from the starts listed (1,
// 2 or both, 3): there a solver that says it failed has regressed.
// Elsewhere the general solvers mostly stop short of the estimation's
// tolerance (1e-12 here) at their own (1e-6), and say so.
struct Reaches {
  const char* problem;
  const char* solver;  // its label
  int starts;
};
constexpr Reaches kReaches[] = {
    {"BoxBOD", "Ipopt", 1},
    {"BoxBOD", "NLS", 3},
    {"DanWood", "Ipopt", 2},
    {"DanWood", "NLS", 3},
    {"DanWood", "SLSQP", 3},
    {"DanWood", "Differences", 3},
    {"DanWood", "MaximumLikelihood", 3},
    {"MGH09", "NLS", 3},
    {"MGH09", "MaximumLikelihood", 2},
    {"MGH10", "NLS", 2},
    {"Misra1a", "NLS", 3},
    {"Misra1b", "NLS", 3},
    {"Misra1c", "NLS", 3},
    {"Misra1d", "NLS", 3},
    {"Rat42", "Ipopt", 2},
    {"Rat42", "NLS", 3},
    {"Rat42", "MaximumLikelihood", 3},
    {"Rat43", "Ipopt", 2},
    {"Rat43", "NLS", 3},
    {"Rat43", "MaximumLikelihood", 3},
};

bool Reached(const std::string& problem, const Solver& solver, int start) {
  for (const Reaches& r : kReaches) {
    if (problem == r.problem && std::string(solver.label) == r.solver &&
        (r.starts & (1 << start)) != 0)
      return true;
  }
  return false;
}

// A solver from both certified starts of one problem: it reaches the
// certified values and sum of squares, or it says it failed; where it is
// known to reach them, it must.
TEST_P(NistSweep, ReachesTheCertifiedValuesOrSaysItFailed) {
  const std::string name = std::get<0>(GetParam());
  const Solver& solver = kSolvers[std::get<1>(GetParam())];
  if (kThreadSanitizer && !AmongTheFirstFive(name)) {
    GTEST_SKIP()
        << "the thread-sanitizer tree fits five of the problems; the Release tree fits all";
  }
  // Known faults, each to be mended and then taken off this list.
  const struct {
    const char* problem;
    const char* solver;
    const char* fault;
  } known[] = {
      {"Thurber", "MaximumLikelihood",
       "start 1 ends at another true minimum, its denominator zero among the data: b1 1143.2 "
       "(certified 1288.1), likelihood -227.5 (-145.5); no Gauss-Newton step lowers it"},
      {"ENSO", "MaximumLikelihood",
       "says converged with b6 and b8 off by 1.7e-6 and 2.6e-6 of themselves"},
      {"Gauss1", "Ipopt", "start 1 alone takes over three minutes"},
      {"Gauss2", "Ipopt", "start 1 alone takes over three minutes"},
  };
  for (const auto& k : known) {
    if (name == k.problem && std::string(solver.label) == k.solver) GTEST_SKIP() << k.fault;
  }
  const testsupport::Certified problem = testsupport::NistDataset(name);
  const testsupport::Certified* cert = &problem;
  // Each observation is an experiment of the engine's: the problems of 150
  // to 250 observations take minutes a solver, the whole collection about
  // 20 CPU-minutes; ten problems of at most 20 run by default.
  if (cert->x.size() > kMostObservationsByDefault && std::getenv("VANTOR_NIST_ALL") == nullptr) {
    GTEST_SKIP() << "more than " << kMostObservationsByDefault
                 << " observations: minutes a solver; VANTOR_NIST_ALL=1 runs it";
  }
  const double n = static_cast<double>(cert->x.size());
  for (int start = 0; start < 2; ++start) {
    const std::string what = name + " start " + std::to_string(start + 1) + ", " + solver.name;
    SCOPED_TRACE(what);
    Results r;
    bool stopped = false;
    const auto began = std::chrono::steady_clock::now();
    if (!Fit(*cert, start, solver, &r, &stopped)) {
      ADD_FAILURE() << Failure();
      continue;
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
    std::printf("%-40s outcome %u%s, %.1f s\n", what.c_str(), r.outcome,
                stopped ? " (stopped)" : "", took.count());
    if (stopped || r.outcome < 1 || r.outcome > 4) {
      // Said so: an outcome of failure, or the action stopped.
      EXPECT_NE(r.outcome, 9u) << Events();
      EXPECT_FALSE(Reached(name, solver, start)) << "outcome " << r.outcome << "\n" << Events();
      continue;
    }
    ASSERT_EQ(r.estimates.size(), cert->values.size());
    for (std::size_t j = 0; j < cert->values.size(); ++j) {
      EXPECT_NEAR(r.estimates[j], cert->values[j], 1e-6 * std::fabs(cert->values[j]))
          << "b" << j + 1 << " (outcome " << r.outcome << ")\n"
          << Events();
    }
    // The likelihood at the least-squares point, all residuals alike.
    auto likelihood = [n](double rss) { return -n / 2.0 * (std::log(2.0 * M_PI * rss / n) + 1.0); };
    if (cert->rss < kRoundOffSum) {
      // Lanczos1's sum is the round-off of its data: any point as good is.
      if (solver.likelihood) {
        EXPECT_GT(r.final, likelihood(kRoundOffSum)) << "outcome " << r.outcome;
      } else {
        EXPECT_LT(r.final, kRoundOffSum) << "outcome " << r.outcome;
      }
      continue;
    }
    const double final = solver.likelihood ? likelihood(cert->rss) : cert->rss;
    EXPECT_NEAR(r.final, final, 1e-6 * std::fabs(final)) << "outcome " << r.outcome;
  }
}

std::string ProblemAndSolver(const ::testing::TestParamInfo<std::tuple<const char*, int>>& info) {
  return std::string(std::get<0>(info.param)) + "_" + kSolvers[std::get<1>(info.param)].label;
}

// One test a problem and solver, so that they run side by side and none
// runs long: a pass of Gauss1's 250 observations takes seconds.
INSTANTIATE_TEST_SUITE_P(
    Nist, NistSweep,
    ::testing::Combine(::testing::Values("Chwirut1", "Chwirut2", "DanWood", "Gauss1", "Gauss2",
                                         "Lanczos3", "Misra1a", "Misra1b", "ENSO", "Gauss3",
                                         "Hahn1", "Kirby2", "Lanczos1", "Lanczos2", "MGH17",
                                         "Misra1c", "Misra1d", "Bennett5", "BoxBOD", "Eckerle4",
                                         "MGH09", "MGH10", "Rat42", "Rat43", "Thurber"),
                       ::testing::Range(0, static_cast<int>(std::size(kSolvers)))),
    ProblemAndSolver);

}  // namespace
