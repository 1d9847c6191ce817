// Dynamic runs through the real engine and its outside servers against
// published values and closed forms: Robertson's stiff kinetics with the
// variable-order integrator.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "road_env.h"
#include "tools/robertson.h"

namespace {

using vantor_scenario::RobertsonOptions;
using vantor_scenario::RobertsonRun;

class RobertsonRoad : public roadtest::RoadEnv {};

std::string Lines(const RobertsonRun& run) {
  std::string all;
  for (const std::string& line : run.events) all += line + "\n";
  return all;
}

// rtol 1e-6, atol 1e-14 for every unknown (y2 falls to about 1e-13): every
// value, y2 included, within 1e-4 of the reference, none negative.
TEST_F(RobertsonRoad, StiffKineticsMatchThePublishedValues) {
  RobertsonOptions options;
  options.engine = Engine();
  options.engine.timeout_ms = 60000;
  options.folder = Folder();
  RobertsonRun run;
  ASSERT_TRUE(vantor_scenario::RunRobertson(options, &run)) << run.failure << "\n" << Lines(run);
  ASSERT_EQ(run.points.size(), 3u);
  for (const auto& p : run.points) {
    std::printf("t = %-8g y = %.10e %.10e %.10e  error %.2e  %.2f s\n", p.t, p.y[0], p.y[1],
                p.y[2], vantor_scenario::RobertsonError(p), p.seconds);
    EXPECT_LE(vantor_scenario::RobertsonError(p), 1e-4) << "t = " << p.t;
    EXPECT_GE(p.y[0], 0.0) << "t = " << p.t;
    EXPECT_GE(p.y[1], 0.0) << "t = " << p.t;
  }
  EXPECT_EQ(run.exit_code, 0);
}

// The sample as vantor-client runs it: the table against the reference and
// exit status 0; a second step on the line is refused before anything runs.
TEST_F(RobertsonRoad, TheClientProgramRunsTheSample) {
  auto run = [](const std::string& command, std::string* printed) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) *printed += buffer;
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  std::string printed;
  EXPECT_EQ(run(std::string(VANTOR_CLIENT) + " --timeout=60000 " + VANTOR_ENGINE + " robertson " +
                    Folder() + " 2>/dev/null",
                &printed),
            0)
      << printed;
  EXPECT_NE(printed.find("every value within 1e-4 of the reference"), std::string::npos)
      << printed;
  EXPECT_NE(printed.find("   1e+11  2.0833"), std::string::npos) << printed;
  printed.clear();
  EXPECT_EQ(run(std::string(VANTOR_CLIENT) + " " + VANTOR_ENGINE + " robertson " + Folder() +
                    " listen 1 2>&1",
                &printed),
            2);
  EXPECT_NE(printed.find("\"robertson\" runs alone"), std::string::npos) << printed;
}

}  // namespace
