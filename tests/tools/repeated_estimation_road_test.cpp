// One engine, the same estimation defined and run again: every definition
// is a problem of its own, prepared from the model's values when it runs.
// The second run gives the first run's estimate; a start value the client
// changes in between is where the third starts (its objective at the
// initial point is the model's there).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>

#include "tests/support/hang_bound.h"
#include "tests/tools/engine_road_fixture.h"
#include "tests/tools/estimation_road.h"
#include "tools/client.h"
#include "tools/model_writer/model_writer.h"
#include "tools/result_replies.h"
#include "tools/road.h"
#include "tools/road_steps.h"

#if defined(VANTOR_NLP_LIBRARIES)

namespace {

using estimationroad::EstimationRoad;
using estimationroad::kSolvers;
using estimationroad::Results;
using estimationroad::Solver;
using modelwriter::Writer;

// y = b·x with b (index 1) in [0, upper] from `start`, x (3) fixed, y (4)
// free; 2 is unused.
void Line(Writer& w, double start, double upper) {
  using modelwriter::Mul;
  using modelwriter::Sub;
  using modelwriter::Var;
  w.List(5);
  w.Item(modelwriter::kRealVariable);
  w.Placement({engineroad::Node(), {1, ".b"}});
  w.Value(start), w.Spec(4), w.Lower(0.0), w.Upper(upper), w.End();
  engineroad::ModelVariable(w, modelwriter::kRealVariable, 2, ".unused", 0.0, 4);
  engineroad::ModelVariable(w, modelwriter::kRealVariable, 3, ".x", 1.0, 4);
  engineroad::ModelVariable(w, modelwriter::kRealVariable, 4, ".y", 1.0, 1);
  engineroad::ModelEquation(w, 10, ".e", Sub(Var(0), Mul(Var(1), Var(2))),
                            {{2, 4}, {2, 1}, {2, 3}});
}

// The objective an estimation reports at slope b: the sum of squares, or
// for maximum likelihood the log-likelihood of its one record of three.
double Objective(const Solver& solver, double b) {
  const double y[] = {2.1, 3.9, 6.2};
  double sse = 0.0;
  for (int k = 0; k < 3; ++k) sse += (y[k] - b * (k + 1)) * (y[k] - b * (k + 1));
  return solver.likelihood ? -1.5 * (std::log(2.0 * M_PI * sse / 3.0) + 1.0) : sse;
}

class RepeatedEstimationRoad : public EstimationRoad, public ::testing::WithParamInterface<int> {
 protected:
  bool StartLine(const Solver& solver, double start, double upper) {
    vantor_client::EngineOptions engine;
    engine.program = VANTOR_ENGINE;
    engine.timeout_ms = testsupport::HangBoundMs(120000);
    engine.services = {4, 55, 67, 81, 82, 85, 86, 95};
    if (!StartEngine(engine, "Again") || !IntOption(29, 1) ||
        !IntOption(86, solver.likelihood ? 2 : 1) || !IntOption(124, solver.kind))
      return false;
    if (!Load([&](Writer& w) { Line(w, start, upper); })) return false;
    if (solver.kind != 3) return true;
    auto choose = std::make_unique<vantor_client::Request>(engineroad::kProblemService);
    choose->PutUInt16(123);
    choose->PutString("kvs_sqpa.dll");
    return road_->Expect(std::move(choose), "the open NLP estimation solver (request 123)", 0);
  }

  // A set-item of service 55 on b's value, with the engine at rest.
  bool SetStart(double value) {
    auto request = std::make_unique<vantor_client::Request>(engineroad::kResultsService,
                                                            vantor_scenario::kWriteSubtype);
    vantor_client::PutSetReal(*request, {2, 1}, 1, value);
    return road_->Expect(std::move(request), "set-item on b", 0);
  }

  // The estimation from `start`: converged on `optimum`, with the
  // objective at `start` as its initial one.
  void FitsFrom(const Solver& solver, double start, double optimum, const std::string& which) {
    SCOPED_TRACE(which);
    Results r;
    ASSERT_TRUE(Estimate(estimationroad::LineFit(), &r)) << Failure() << Events();
    EXPECT_GE(r.outcome, 1u) << Events();
    EXPECT_LE(r.outcome, 4u) << Events();
    ASSERT_EQ(r.estimates.size(), 1u);
    EXPECT_NEAR(r.estimates[0], optimum, 1e-6) << Events();
    EXPECT_NEAR(r.initial, Objective(solver, start), 1e-9 * (1.0 + std::fabs(r.initial)))
        << Events();
    EXPECT_NEAR(r.final, Objective(solver, optimum), 1e-6);
    ASSERT_TRUE(RunEnded()) << Failure() << Events();
  }
};

TEST_P(RepeatedEstimationRoad, RunsAgainFromTheModelsValues) {
  const Solver& solver = kSolvers[GetParam()];
  // The slope inside its bounds, and held on the bound 1.5 below it.
  struct Case {
    double upper, start, moved, optimum;
  };
  for (const Case& c : {Case{10.0, 1.0, 4.0, estimationroad::kLineSlope},
                        Case{1.5, 1.0, 0.5, 1.5}}) {
    SCOPED_TRACE("b in [0, " + std::to_string(c.upper) + "]");
    CloseEngine();
    ASSERT_TRUE(StartLine(solver, c.start, c.upper)) << Failure() << Events();
    FitsFrom(solver, c.start, c.optimum, "the first run");
    if (HasFatalFailure()) return;
    // The first run wrote its estimate back: the second starts there.
    FitsFrom(solver, c.optimum, c.optimum, "the same run again");
    if (HasFatalFailure()) return;
    ASSERT_TRUE(SetStart(c.moved)) << Failure() << Events();
    FitsFrom(solver, c.moved, c.optimum, "a run after the client moved the start");
    if (HasFatalFailure()) return;
    EXPECT_TRUE(FinishRun()) << Failure() << Events();
  }
}

INSTANTIATE_TEST_SUITE_P(EverySolver, RepeatedEstimationRoad,
                         ::testing::Range(0, static_cast<int>(std::size(kSolvers))),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(kSolvers[info.param].label);
                         });

}  // namespace

#endif
