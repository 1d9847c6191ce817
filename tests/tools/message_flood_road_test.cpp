// A client that floods the engine with commands while a long computation
// holds its server thread: the engine keeps what waits for it within its
// bound, refuses the rest with one line, and command 2 still ends the
// computation and the engine.
#include <gtest/gtest.h>

#include <string>

#include "road_env.h"
#include "tests/support/hang_bound.h"
#include "tools/analysis_runs.h"

namespace {

using roadtest::Lines;
using vantor_scenario::AnalysisRunOptions;

using MessageFloodRoad = roadtest::RoadEnv;

// What the engine may grow by: the filed messages' bound and what the
// run itself takes, several times over under a sanitizer's shadow memory.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr long kMostGrowthMb = 4 * 96;
#else
constexpr long kMostGrowthMb = 96;
#endif

// 60,000 one-segment commands would take the engine some 240 MB if it
// filed them all (each takes a block of 4 kB); what may wait is bounded
// far below that (some 17 MB).
TEST_F(MessageFloodRoad, AFloodDuringALongStepResponseLeavesMemoryBoundedAndCommandTwoEndsIt) {
  AnalysisRunOptions options;
  options.engine = Engine();
  options.engine.timeout_ms = testsupport::HangBoundMs(20000);
  options.folder = Folder();
  options.model = vantor_scenario::TankModel::kDrained;
  options.settled = options.most_intervals = options.steps = 10000;
  options.while_computing = AnalysisRunOptions::WhileComputing::kEndCommand;
  options.flood = 60000;
  vantor_scenario::LinearisationRun run;
  ASSERT_TRUE(vantor_scenario::RunLinearisation(options, &run)) << run.trace.failure << "\n"
                                                                << Lines(run.trace);
  EXPECT_FALSE(run.answered_at_once);
  ASSERT_GT(run.memory_before_kb, 0);
  ASSERT_GT(run.memory_peak_kb, 0);
  const long grown_mb = (run.memory_peak_kb - run.memory_before_kb) / 1024;
  EXPECT_LT(grown_mb, kMostGrowthMb)
      << "the engine grew from " << run.memory_before_kb / 1024 << " MB";
  EXPECT_EQ(run.end_status, 0x00320024u);
  EXPECT_EQ(run.trace.exit_code, 0);
  EXPECT_NE(Lines(run.trace).find("Messages from peer 0 refused while the engine is busy"),
            std::string::npos)
      << Lines(run.trace);
}

}  // namespace
