// An estimate whose least-squares value lies outside its variable's bounds
// ends on the bound, and every estimation solver must say it converged
// there: at a constrained optimum the unconstrained Gauss-Newton step still
// lowers the sum of squares, so only the step held inside the bounds tells
// an optimum from a solver that stopped short. The engine runs at its
// default tolerances; the estimate written back is in the model's next run.
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
#include "tools/road.h"

#if defined(VANTOR_NLP_LIBRARIES)

namespace {

using engineroad::kBeginRunDone;
using engineroad::Node;
using estimationroad::EstimationRoad;
using estimationroad::kSolvers;
using estimationroad::Results;
using estimationroad::Solver;
using modelwriter::Writer;

// y = b·x with b (index 1) in [lower, upper] from `start`, x (3) fixed and
// y (4) free; 2 is an unused parameter, as in the unbounded line.
void BoundedLine(Writer& w, double start, double lower, double upper) {
  using modelwriter::Mul;
  using modelwriter::Sub;
  using modelwriter::Var;
  w.List(5);
  w.Item(modelwriter::kRealVariable);
  w.Placement({Node(), {1, ".b"}});
  w.Value(start), w.Spec(4), w.Lower(lower), w.Upper(upper), w.End();
  engineroad::ModelVariable(w, modelwriter::kRealVariable, 2, ".unused", 0.0, 4);
  engineroad::ModelVariable(w, modelwriter::kRealVariable, 3, ".x", 1.0, 4);
  engineroad::ModelVariable(w, modelwriter::kRealVariable, 4, ".y", 1.0, 1);
  engineroad::ModelEquation(w, 10, ".e", Sub(Var(0), Mul(Var(1), Var(2))),
                            {{2, 4}, {2, 1}, {2, 3}});
}

// The line's residual sum of squares at slope b.
double SumOfSquares(double b) {
  const double y[] = {2.1, 3.9, 6.2};
  double s = 0.0;
  for (int k = 0; k < 3; ++k) s += (y[k] - b * (k + 1)) * (y[k] - b * (k + 1));
  return s;
}

class BoundedEstimationRoad : public EstimationRoad, public ::testing::WithParamInterface<int> {
 protected:
  // The engine at its own tolerances with `solver`, the bounded line loaded.
  bool StartAtDefaults(const Solver& solver, double start, double lower, double upper) {
    vantor_client::EngineOptions engine;
    engine.program = VANTOR_ENGINE;
    engine.timeout_ms = testsupport::HangBoundMs(120000);
    engine.services = {4, 55, 67, 81, 82, 85, 86, 95};
    if (!StartEngine(engine, "Bound") || !IntOption(29, 1) ||
        !IntOption(86, solver.likelihood ? 2 : 1) || !IntOption(124, solver.kind))
      return false;
    if (!Load([&](Writer& w) { BoundedLine(w, start, lower, upper); })) return false;
    if (solver.kind != 3) return true;
    auto choose = std::make_unique<vantor_client::Request>(engineroad::kProblemService);
    choose->PutUInt16(123);
    choose->PutString("kvs_sqpa.dll");
    return road_->Expect(std::move(choose), "the open NLP estimation solver (request 123)", 0);
  }

  // The fit ends converged on `bound`; the next steady state runs with it.
  void FitsOnTheBound(const Solver& solver, double start, double lower, double upper,
                      double bound) {
    SCOPED_TRACE(std::string(solver.name) + ", b in [" + std::to_string(lower) + ", " +
                 std::to_string(upper) + "]");
    // A session a fit: the one before may have failed on its way.
    CloseEngine();
    ASSERT_TRUE(StartAtDefaults(solver, start, lower, upper)) << Failure() << Events();
    Results r;
    ASSERT_TRUE(Estimate(estimationroad::LineFit(), &r)) << Failure() << Events();
    EXPECT_GE(r.outcome, 1u) << Events();
    EXPECT_LE(r.outcome, 4u) << Events();
    EXPECT_EQ(Events().find("Convergence failure"), std::string::npos) << Events();
    ASSERT_EQ(r.estimates.size(), 1u);
    EXPECT_NEAR(r.estimates[0], bound, 1e-6) << Events();
    const double sse = SumOfSquares(bound);
    if (solver.likelihood) {
      // One record of three measurements, all residuals alike.
      EXPECT_NEAR(r.final, -1.5 * (std::log(2.0 * M_PI * sse / 3.0) + 1.0), 1e-6);
    } else {
      EXPECT_NEAR(r.final, sse, 1e-6);
    }
    // The estimation ends (request 50, do not go on); the estimate is the
    // model's value from the next run on.
    auto end = std::make_unique<vantor_client::Request>(estimationroad::kEstimationService);
    Writer(*end).U16(50);
    Writer(*end).U8(0);
    ASSERT_TRUE(RunEnded() && road_->Expect(std::move(end), "request 50", 0))
        << Failure() << Events();
    auto begin = std::make_unique<vantor_client::Request>(engineroad::kProblemService);
    begin->PutUInt16(31);
    ASSERT_TRUE(
        road_->Expect(std::move(begin), "request 31", kBeginRunDone) &&
        road_->Expect(vantor_client::MakeCommand(engineroad::kProblemService, 9), "command 9", 0) &&
        road_->WaitStep(0.0, "the steady state"))
        << Failure() << Events();
    double b = 0.0;
    ASSERT_TRUE(road_->Read(1, &b, "b")) << Failure();
    EXPECT_EQ(b, r.estimates[0]);
    ASSERT_TRUE(FinishRun()) << Failure() << Events();
  }
};

// The least-squares slope is 28.5 / 14 = 2.036: b <= 1.5 ends at 1.5
// (SSE 4.06), b >= 2.5 at 2.5 (SSE 3.06), from inside either box.
TEST_P(BoundedEstimationRoad, ConvergesOnTheBoundItMeets) {
  const Solver& solver = kSolvers[GetParam()];
  FitsOnTheBound(solver, 1.0, 0.0, 1.5, 1.5);
  FitsOnTheBound(solver, 4.0, 2.5, 10.0, 2.5);
}

INSTANTIATE_TEST_SUITE_P(EverySolver, BoundedEstimationRoad,
                         ::testing::Range(0, static_cast<int>(std::size(kSolvers))),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(kSolvers[info.param].label);
                         });

}  // namespace

#endif
