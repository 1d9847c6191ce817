// The homotopy and control-design services through the real engine and its
// outside servers, driven as the modelling environment drives them: tank
// models loaded through the instance manager, solved at steady state, then
// linearised (service 114) or moved to a new inflow (service 69).
#include "tools/analysis_runs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "road_env.h"
#include "tests/support/hang_bound.h"

namespace {

using vantor_scenario::AnalysisRunOptions;
using vantor_scenario::CdiMatrix;
using vantor_scenario::HomotopyRun;
using vantor_scenario::LinearisationRun;
using vantor_scenario::TankModel;

using roadtest::Lines;

class AnalysisRoad : public roadtest::RoadEnv {
 protected:
  AnalysisRunOptions Options(TankModel model) {
    AnalysisRunOptions options;
    options.engine = Engine();
    options.folder = Folder();
    options.model = model;
    return options;
  }
};

// A_t h' = q - k sqrt(h) at steady state: A = -k / (2 A_t sqrt(h_s)),
// B = 1 / A_t, C = 1, D = 0 and G = 2 sqrt(h_s) / k.
TEST_F(AnalysisRoad, DrainedTankLinearisesToItsClosedForm) {
  constexpr double kArea = 2.0, kWeir = 0.5, kInflow = 0.75;
  AnalysisRunOptions options = Options(TankModel::kDrained);
  options.inflow = kInflow;
  LinearisationRun run;
  ASSERT_TRUE(vantor_scenario::RunLinearisation(options, &run)) << run.trace.failure << "\n"
                                                                << Lines(run.trace);
  EXPECT_EQ(run.compute_status, 0u) << Lines(run.trace);
  // The steady state within the solver's tolerance; the linearisation is
  // exact at the point it was taken.
  ASSERT_EQ(run.steady.size(), 1u);
  EXPECT_NEAR(run.steady[0], (kInflow / kWeir) * (kInflow / kWeir), 1e-4);
  const double root = std::sqrt(run.steady[0]);
  EXPECT_EQ(run.reply.states, 1);
  EXPECT_EQ(run.reply.inputs, 1);
  EXPECT_EQ(run.reply.outputs, 1);
  const double expected[] = {-kWeir / (2 * kArea * root), 1 / kArea, 1.0, 0.0, 2 * root / kWeir};
  const std::uint16_t bits[] = {0x1, 0x2, 0x4, 0x8, 0x10};
  for (int i = 0; i < 5; ++i) {
    const CdiMatrix* m = run.reply.Find(bits[i]);
    ASSERT_NE(m, nullptr) << bits[i];
    ASSERT_TRUE(m->available) << bits[i] << ": code " << m->error << "\n" << Lines(run.trace);
    EXPECT_NEAR(m->At(1, 1), expected[i], 1e-6) << "matrix bit " << bits[i];
  }
  // D has no entry at all: the output is the state itself.
  EXPECT_TRUE(run.reply.Find(0x8)->values.empty());
  // Inputs, outputs, states by name with their values.
  ASSERT_EQ(run.reply.values.size(), 3u);
  EXPECT_EQ(run.reply.values[0].first, "T101.F_in");
  EXPECT_NEAR(run.reply.values[0].second, kInflow, 1e-12);
  EXPECT_EQ(run.reply.values[2].first, "T101.h");
  EXPECT_EQ(run.trace.exit_code, 0);
}

// The inflow is an input, not an unknown of the linearised model: named as
// an output it is refused with its line, and the engine goes on.
TEST_F(AnalysisRoad, AnInputNamedAsAnOutputIsRefused) {
  AnalysisRunOptions options = Options(TankModel::kDrained);
  options.outputs = {2};
  LinearisationRun run;
  ASSERT_TRUE(vantor_scenario::RunLinearisation(options, &run)) << run.trace.failure << "\n"
                                                                << Lines(run.trace);
  EXPECT_EQ(run.compute_status, 0x8000FFFFu);
  EXPECT_NE(Lines(run.trace).find(
                "The selected CDI output variable T101.F_in is not an unknown of the linearised "
                "model"),
            std::string::npos)
      << Lines(run.trace);
  EXPECT_EQ(run.trace.exit_code, 0);
}

// More settled intervals than the response may run could never end it
// early: refused with its line before anything is computed.
TEST_F(AnalysisRoad, AStepResponseThatCannotSettleIsRefused) {
  AnalysisRunOptions options = Options(TankModel::kDrained);
  options.settled = 20;
  options.most_intervals = 10;
  options.steps = 2;
  LinearisationRun run;
  ASSERT_TRUE(vantor_scenario::RunLinearisation(options, &run)) << run.trace.failure << "\n"
                                                                << Lines(run.trace);
  EXPECT_EQ(run.compute_status, 0x8000FFFFu);
  EXPECT_NE(Lines(run.trace).find("The step response asks for 20 settled intervals but allows at "
                                  "most 10 intervals"),
            std::string::npos)
      << Lines(run.trace);
  // Within its limit the same request is computed.
  options.settled = 10;
  ASSERT_TRUE(vantor_scenario::RunLinearisation(options, &run)) << run.trace.failure << "\n"
                                                                << Lines(run.trace);
  EXPECT_EQ(run.compute_status, 0u) << Lines(run.trace);
}

// The listing of a step response names each output with its own input.
TEST_F(AnalysisRoad, TheStepResponseListingNamesItsInput) {
  AnalysisRunOptions options = Options(TankModel::kDrained);
  options.print_level = 3;
  options.settled = 5;
  options.most_intervals = 10;
  options.steps = 2;
  LinearisationRun run;
  ASSERT_TRUE(vantor_scenario::RunLinearisation(options, &run)) << run.trace.failure << "\n"
                                                                << Lines(run.trace);
  EXPECT_EQ(run.compute_status, 0u) << Lines(run.trace);
  EXPECT_NE(Lines(run.trace).find("Response of output T101.h wrt input T101.F_in\n"),
            std::string::npos)
      << Lines(run.trace);
}

// 65535 steps in each of 65535 intervals: refused with its line, at once.
TEST_F(AnalysisRoad, AStepResponseBeyondTheWorkBoundIsRefused) {
  AnalysisRunOptions options = Options(TankModel::kDrained);
  options.settled = options.most_intervals = options.steps = 65535;
  LinearisationRun run;
  ASSERT_TRUE(vantor_scenario::RunLinearisation(options, &run)) << run.trace.failure << "\n"
                                                                << Lines(run.trace);
  EXPECT_EQ(run.compute_status, 0x80000214u);
  EXPECT_NE(Lines(run.trace).find("The control design request's step response needs 4.295e+09 "
                                  "solves, more than the 100000000 allowed"),
            std::string::npos)
      << Lines(run.trace);
}

// A step response within the bound that runs for a long while (10^8
// steps) holds the server thread: command 2 sent meanwhile is still
// answered within the client's wait and the engine ends with 0; closing
// the client ends it with the code of a client gone, not killed.
TEST_F(AnalysisRoad, CommandTwoOrAClosedClientEndsALongStepResponse) {
  using While = AnalysisRunOptions::WhileComputing;
  AnalysisRunOptions options = Options(TankModel::kDrained);
  // The client's wait, a hang's bound: the step response itself would
  // hold the engine for hours.
  options.engine.timeout_ms = testsupport::HangBoundMs(5000);
  options.settled = options.most_intervals = options.steps = 10000;
  options.while_computing = While::kEndCommand;
  LinearisationRun run;
  ASSERT_TRUE(vantor_scenario::RunLinearisation(options, &run)) << run.trace.failure << "\n"
                                                                << Lines(run.trace);
  EXPECT_FALSE(run.answered_at_once);
  EXPECT_EQ(run.end_status, 0x00320024u);
  EXPECT_EQ(run.trace.exit_code, 0);
  options.while_computing = While::kClose;
  ASSERT_TRUE(vantor_scenario::RunLinearisation(options, &run)) << run.trace.failure << "\n"
                                                                << Lines(run.trace);
  EXPECT_FALSE(run.answered_at_once);
  EXPECT_EQ(run.close_status, 0u);
  EXPECT_EQ(run.closed_exit_code, 0x37);
}

// Two interacting tanks: G = [[2 sqrt(h2)/k + 1/c, 2 sqrt(h2)/k], [2 sqrt(h2)/k,
// 2 sqrt(h2)/k]] = [[12, 8], [8, 8]], whose relative gains are [[3, -2],
// [-2, 3]]: every row and column sums to 1.
TEST_F(AnalysisRoad, InteractingTanksRelativeGainsSumToOne) {
  LinearisationRun run;
  ASSERT_TRUE(vantor_scenario::RunLinearisation(Options(TankModel::kInteracting), &run))
      << run.trace.failure << "\n"
      << Lines(run.trace);
  ASSERT_EQ(run.steady.size(), 2u);
  EXPECT_NEAR(run.steady[0], 6.0, 1e-8);
  EXPECT_NEAR(run.steady[1], 4.0, 1e-8);
  const CdiMatrix* g = run.reply.Find(0x10);
  ASSERT_NE(g, nullptr);
  ASSERT_TRUE(g->available) << g->error << "\n" << Lines(run.trace);
  EXPECT_NEAR(g->At(1, 1), 12.0, 1e-6);
  EXPECT_NEAR(g->At(1, 2), 8.0, 1e-6);
  EXPECT_NEAR(g->At(2, 1), 8.0, 1e-6);
  EXPECT_NEAR(g->At(2, 2), 8.0, 1e-6);
  const CdiMatrix* rga = run.reply.Find(0x20);
  ASSERT_NE(rga, nullptr);
  ASSERT_TRUE(rga->available) << rga->error;
  for (std::uint16_t i = 1; i <= 2; ++i) {
    EXPECT_NEAR(rga->At(i, 1) + rga->At(i, 2), 1.0, 1e-9) << "row " << i;
    EXPECT_NEAR(rga->At(1, i) + rga->At(2, i), 1.0, 1e-9) << "column " << i;
  }
  EXPECT_NEAR(rga->At(1, 1), 3.0, 1e-6);
  EXPECT_NEAR(rga->At(1, 2), -2.0, 1e-6);
  // A: the valve couples the levels, each tank drains through its outlet.
  const CdiMatrix* a = run.reply.Find(0x1);
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(a->available);
  EXPECT_NEAR(a->At(1, 1), -0.25 / 2.0, 1e-6);
  EXPECT_NEAR(a->At(1, 2), 0.25 / 2.0, 1e-6);
  EXPECT_NEAR(a->At(2, 1), 0.25, 1e-6);
  EXPECT_NEAR(a->At(2, 2), -0.25 - 0.5 / (2 * 2.0), 1e-6);
}

// From q = 0.5 (h = 1) to q = 0.05 (h = 0.01): Newton from h = 1 overshoots
// past the bound h = 0, where the weir law has no derivative; moving q in
// homotopy steps reaches the root a direct solve finds from a good guess.
TEST_F(AnalysisRoad, HomotopyReachesTheTargetTheDirectSolveMisses) {
  AnalysisRunOptions options = Options(TankModel::kDrained);
  options.inflow = 0.5;
  HomotopyRun run;
  ASSERT_TRUE(vantor_scenario::RunHomotopy(options, 0.05, 0.012, &run)) << run.trace.failure << "\n"
                                                                        << Lines(run.trace);
  EXPECT_TRUE(run.direct_failed) << "h = " << run.direct_h;
  EXPECT_NEAR(run.reference_h, 0.01, 1e-4);
  EXPECT_EQ(run.lambda, 1.0);
  EXPECT_DOUBLE_EQ(run.homotopy_inflow, 0.05);
  EXPECT_NEAR(run.homotopy_h, run.reference_h, 1e-6);
  const std::string lines = Lines(run.trace);
  EXPECT_NE(lines.find("Steady state solution obtained for target specification"),
            std::string::npos)
      << lines;
  EXPECT_NE(lines.find("Maximum number of iterations over all blocks"), std::string::npos);
  // On the way the full step failed and was cut back from the best point.
  EXPECT_NE(lines.find("Convergence failure:  Return to best point and cut step"),
            std::string::npos);
}

// Homotopy.StepIncrement below 1 is stored; the homotopy goes on with 1,
// says so once, and still reaches the target. Its many small steps sum to
// an ulp short of 1, but the last solve is at the target itself.
TEST_F(AnalysisRoad, AStepIncrementBelowOneIsToldOnceAndOneUsed) {
  AnalysisRunOptions options = Options(TankModel::kDrained);
  options.inflow = 0.5;
  options.int_options = {{95, 0}};
  HomotopyRun run;
  ASSERT_TRUE(vantor_scenario::RunHomotopy(options, 0.05, 0.012, &run)) << run.trace.failure << "\n"
                                                                        << Lines(run.trace);
  EXPECT_EQ(run.lambda, 1.0);
  EXPECT_EQ(run.homotopy_inflow, 0.05);
  // Each converged step starts the next close by: the last stops within
  // the solver's tolerance of h = 0.01 sooner than a direct solve.
  EXPECT_NEAR(run.homotopy_h, 0.01, 1e-5);
  const std::string told = "The homotopy refuses Homotopy.StepIncrement = 0 and goes on with 1";
  EXPECT_EQ(std::count(run.trace.events.begin(), run.trace.events.end(), told), 1)
      << Lines(run.trace);
  EXPECT_NE(Lines(run.trace).find("Step size increment factor......:1\n"), std::string::npos)
      << Lines(run.trace);
}

}  // namespace
