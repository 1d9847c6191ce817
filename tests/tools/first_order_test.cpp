// The FirstOrder sample model through the real engine and its outside
// servers, as scripts/run-example runs it: loaded through the instance
// manager, edited (a malformed description refused, then commands 29 and
// 6), the steady state, u := 5 and eleven steps of the dynamic run.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "road_env.h"
#include "tools/client.h"
#include "tools/first_order.h"

namespace {

using vantor_scenario::ExactX;
using vantor_scenario::FirstOrderOptions;
using vantor_scenario::FirstOrderRun;

class FirstOrderRoad : public roadtest::RoadEnv {
 protected:
  FirstOrderOptions Options(bool edit) {
    FirstOrderOptions options;
    options.engine = Engine();
    options.folder = Folder();
    options.edit = edit;
    return options;
  }
};

void ExpectTable(const FirstOrderRun& run) {
  EXPECT_NEAR(run.steady_x, 2.0, 1e-8);
  EXPECT_NEAR(run.steady_y, 4.0, 1e-8);
  ASSERT_EQ(run.samples.size(), static_cast<std::size_t>(std::lround(1.0 / run.interval)) + 1);
  for (std::size_t k = 0; k < run.samples.size(); ++k) {
    const double t = run.interval * static_cast<double>(k);
    const vantor_scenario::Sample& s = run.samples[k];
    EXPECT_NEAR(s.t, t, 1e-9);
    EXPECT_NEAR(s.x, ExactX(t), 1e-4 * ExactX(t)) << "t = " << t;
    EXPECT_NEAR(s.y, 2 * ExactX(t), 2e-4 * ExactX(t)) << "t = " << t;
  }
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_TRUE(run.snapshot_written);
  EXPECT_TRUE(vantor_scenario::WithinTolerance(run));
}

TEST_F(FirstOrderRoad, EditRefusalRebuildAndTheTable) {
  FirstOrderRun run;
  const bool ok = vantor_scenario::RunFirstOrder(Options(true), &run);
  ASSERT_TRUE(ok) << run.failure;
  // The malformed description was refused with a failure status, and the
  // tree it left gave the same table.
  EXPECT_TRUE(status::IsFailure(run.refused)) << std::hex << run.refused;
  ExpectTable(run);
  // The initial state is not a fixed state: no warning at t = 0.
  std::string built;
  for (const std::string& line : run.events) {
    EXPECT_EQ(line.find("fixed state variable"), std::string::npos) << line;
    if (line.rfind("Simulation has", 0) == 0) built = line;
  }
  // u, k, x, x' and y; e1 holds x', k, u and x, e2 y and x.
  EXPECT_EQ(built, "Simulation has 5 variables, 2 equations and 6 non-zeros");
}

TEST_F(FirstOrderRoad, ThroughTheResultsServiceEveryRefillAgreesWithTheCurve) {
  FirstOrderRun run;
  FirstOrderOptions options = Options(false);
  options.results = true;
  ASSERT_TRUE(vantor_scenario::RunFirstOrder(options, &run)) << run.failure;
  EXPECT_EQ(run.refused, 0u);
  EXPECT_EQ(run.interval, 0.05);
  ExpectTable(run);
  // x and y as reals with their flags: at the template's start the steady
  // state, then after every step the instance manager's values, within
  // 1e-4 of the exact curve (u = 5 went in by the set-item at run start).
  EXPECT_EQ(run.result_kinds, (std::vector<std::uint16_t>{56, 56}));
  ASSERT_EQ(run.refills.size(), run.samples.size() + 1);
  EXPECT_EQ(run.refills[0].x, run.steady_x);
  EXPECT_EQ(run.refills[0].y, run.steady_y);
  for (std::size_t k = 0; k < run.samples.size(); ++k) {
    const vantor_scenario::Sample& refill = run.refills[k + 1];
    const vantor_scenario::Sample& read = run.samples[k];
    EXPECT_EQ(refill.t, read.t);
    EXPECT_EQ(refill.x, read.x) << "t = " << read.t;
    EXPECT_EQ(refill.y, read.y) << "t = " << read.t;
    EXPECT_NEAR(refill.x, ExactX(read.t), 1e-4 * ExactX(read.t));
  }
  ASSERT_EQ(run.result_values.size(), 2u);
  EXPECT_EQ(run.result_values[0], run.read_back.x);
  EXPECT_EQ(run.result_values[1], run.read_back.y);
  // The time plot of x over [0, 1] at the communication points: within the
  // compression tolerance of the same curve.
  ASSERT_EQ(run.plot_x.size(), run.samples.size());
  for (std::size_t k = 0; k < run.plot_x.size(); ++k) {
    const double t = run.plot_times[k];
    EXPECT_NEAR(t, run.samples[k].t, 1e-9);
    EXPECT_NEAR(run.plot_x[k], ExactX(t), 1e-4 * ExactX(t) + run.plot_tolerance * ExactX(t))
        << "t = " << t;
  }
  // The run's snapshots, no other snapshot file in its folder, and the
  // newest snapshot read back by request 33.
  ASSERT_FALSE(run.snapshot_names.empty());
  EXPECT_TRUE(run.other_files.empty());
  EXPECT_EQ(run.sent_name, run.snapshot_names.front());
  EXPECT_GE(run.sent_time, 0.0);
  // The run's newest stretch starts at its initial specification.
  EXPECT_EQ(run.restore_status, 0u);
  EXPECT_EQ(run.restored_name, "Initial Specification");
}

TEST_F(FirstOrderRoad, AnEngineThatCannotStartIsAFailureNotATable) {
  FirstOrderOptions options = Options(true);
  options.engine.program = (work_ / "no-such-engine").string();
  FirstOrderRun run;
  EXPECT_FALSE(vantor_scenario::RunFirstOrder(options, &run));
  EXPECT_NE(run.failure.find("did not start"), std::string::npos) << run.failure;
  EXPECT_FALSE(vantor_scenario::WithinTolerance(run));
}

// The run-example's own command: the labelled table, the steady state and
// the closing line, with exit status 0.
TEST_F(FirstOrderRoad, TheClientProgramPrintsTheTableAndSucceeds) {
  const std::string command = std::string(VANTOR_CLIENT) + " --timeout=30000 " + VANTOR_ENGINE +
                              " first-order " + work_.path().string() + " 2>/dev/null";
  std::string printed;
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) printed += buffer;
  const int status = ::pclose(pipe);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << printed;
  EXPECT_NE(printed.find("steady state (u = 2): x = 2.0000000000, y = 4.0000000000"),
            std::string::npos)
      << printed;
  EXPECT_NE(printed.find("    t            x            y      exact x   rel. error"),
            std::string::npos);
  EXPECT_NE(printed.find(" 1.00     3.8963"), std::string::npos) << printed;
  EXPECT_NE(printed.find("the run was fine"), std::string::npos) << printed;
  // A second step on the line is refused before anything starts.
  const std::string twice = std::string(VANTOR_CLIENT) + " " + VANTOR_ENGINE + " first-order " +
                            work_.path().string() + " listen 1 2>&1";
  pipe = ::popen(twice.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  printed.clear();
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) printed += buffer;
  const int refused = ::pclose(pipe);
  EXPECT_TRUE(WIFEXITED(refused) && WEXITSTATUS(refused) == 2) << printed;
  EXPECT_NE(printed.find("runs alone"), std::string::npos) << printed;
}

// The managers above the control layer are there from the engine's start.
TEST_F(FirstOrderRoad, TheEngineServesTheHigherManagersFromItsStart) {
  std::unique_ptr<vantor_client::Client> client;
  ASSERT_EQ(vantor_client::Client::Start(Options(false).engine, &client), 0u);
  for (std::uint32_t type : {50u, 53u, 55u, 61u, 62u, 65u, 113u}) {
    EXPECT_TRUE(client->Serves(type)) << type;
  }
  int exit_code = -1;
  client->Close(&exit_code);
}

}  // namespace
