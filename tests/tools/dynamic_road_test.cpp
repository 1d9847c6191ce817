// Dynamic runs through the real engine and its outside servers against
// published values and closed forms: Robertson's stiff kinetics, a state far
// below the steady-state tolerances, a nonlinear DAE at tolerances from 1e-4
// to 1e-12.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "road_env.h"
#include "tests/tools/engine_road_fixture.h"
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

namespace {

using engineroad::ModelEquation;
using engineroad::ModelVariable;
using modelwriter::Add;
using modelwriter::Mul;
using modelwriter::Real;
using modelwriter::Sub;
using modelwriter::Var;
using modelwriter::Writer;
using vantor_client::MakeCommand;

// Gear12 runs of small models through the engine, read at every
// communication interval.
class DynamicRoad : public engineroad::EngineRoad {
 protected:
  struct Settings {
    double interval = 1.0;
    double rtol = 1e-5, atol = 1e-5;  // the engine's defaults
    double max_step = 0.0;            // above 0: Integration.MaxStepSize
  };
  bool Start(const Settings& settings, const std::function<void(Writer&)>& model) {
    vantor_client::EngineOptions engine = Engine();
    engine.services = {4, 55, 67, 81, 82, 85, 86, 95};
    return StartEngine(engine, "Dyn") &&
           road_->Expect(MakeCommand(engineroad::kResultsService, 32, {}, {settings.interval}),
                         "command 32", 0) &&
           IntOption(30, 4) && RealOption(130, settings.rtol) && RealOption(131, settings.atol) &&
           (settings.max_step <= 0.0 || RealOption(141, settings.max_step)) && IntOption(29, 4) &&
           Load(model);
  }
  // The run's first `steps` commands 10 (the initialisation at t = 0, then
  // one interval each); `at` reads after each.
  bool Steps(int steps, double interval, const std::function<bool(double)>& at) {
    if (!BeginRun()) return false;
    for (int k = 0; k < steps; ++k) {
      const std::string what = "step " + std::to_string(k);
      if (!road_->Expect(MakeCommand(engineroad::kProblemService, 10), what, 0) ||
          !road_->WaitStep(static_cast<float>(interval) * k, what) || !at(road_->Last().time))
        return false;
    }
    return true;
  }
  bool Value(std::uint32_t index, double* value) {
    return road_->Read(index, value, "value " + std::to_string(index));
  }
};

// x' = -x z with (z - 1)(1 + x'^2) = 0 from x(0) = 1e-6: z = 1 and x decays
// as 1e-6 exp(-t), though every residual starts below the steady-state
// tolerances.
void TinyDecay(Writer& w) {
  w.List(4);
  ModelVariable(w, modelwriter::kStateVariable, 1, ".x", 1e-6, 32);
  ModelVariable(w, modelwriter::kRealVariable, 2, ".z", 1.0, 1);
  ModelEquation(w, 10, ".rate", Add(Var(0), Mul(Var(1), Var(2))), {{2, 1, 1}, {2, 1}, {2, 2}});
  ModelEquation(w, 11, ".unit", Mul(Sub(Var(0), Real(1.0)), Add(Real(1.0), Mul(Var(1), Var(1)))),
                {{2, 2}, {2, 1, 1}});
}

// At the default tolerances (atol 1e-5 far above x) x must still fall as
// the exact solution does; with an atol below x it matches it.
TEST_F(DynamicRoad, ATinyStateDecaysWhateverItsResiduals) {
  for (const double atol : {1e-5, 1e-14}) {
    Settings settings;
    settings.rtol = atol < 1e-5 ? 1e-7 : 1e-5;
    settings.atol = atol;
    ASSERT_TRUE(Start(settings, TinyDecay)) << Failure() << Events();
    std::vector<double> x;
    ASSERT_TRUE(Steps(6, 1.0, [&](double) {
      double v = 0;
      if (!Value(1, &v)) return false;
      x.push_back(v);
      return true;
    })) << Failure() << Events();
    ASSERT_TRUE(FinishRun()) << Failure();
    for (std::size_t k = 1; k < x.size(); ++k) {
      const double exact = 1e-6 * std::exp(-static_cast<double>(k));
      EXPECT_LT(x[k], x[k - 1]) << "t = " << k << ", atol " << atol;
      EXPECT_GT(x[k], 0.0) << "t = " << k << ", atol " << atol;
      if (atol < 1e-5) {
        EXPECT_NEAR(x[k], exact, 1e-4 * exact) << "t = " << k;
      }
    }
    // exact: 6.74e-9
    EXPECT_LT(x.back(), 1e-8) << "atol " << atol;
  }
}

// x1' = -z with z + z^3 = x1^2 + x1^6 (so z = x1^2 and x1 = 1/(1 + t)):
// a state and an algebraic unknown in one nonlinear corrector group.
void Quadratic(Writer& w) {
  w.List(4);
  ModelVariable(w, modelwriter::kStateVariable, 1, ".x1", 1.0, 32);
  ModelVariable(w, modelwriter::kRealVariable, 2, ".z", 1.0, 1);
  ModelEquation(w, 10, ".rate", Add(Var(0), Var(1)), {{2, 1, 1}, {2, 2}});
  const auto square = Mul(Var(1), Var(1));
  ModelEquation(w, 11, ".cubic",
                Sub(Add(Var(0), Mul(Var(0), Mul(Var(0), Var(0)))),
                    Add(square, Mul(square, Mul(square, square)))),
                {{2, 2}, {2, 1}});
}

// The error follows the integration tolerances from 1e-4 down to 1e-12,
// each run ending without a stall.
TEST_F(DynamicRoad, AccuracyFollowsTheIntegrationTolerances) {
  for (const double tol : {1e-4, 1e-6, 1e-8, 1e-10, 1e-12}) {
    Settings settings;
    settings.rtol = settings.atol = tol;
    ASSERT_TRUE(Start(settings, Quadratic)) << Failure() << Events();
    double worst = 0.0;
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(Steps(4, 1.0, [&](double t) {
      double x1 = 0, z = 0;
      if (!Value(1, &x1) || !Value(2, &z)) return false;
      const double exact = 1.0 / (1.0 + t);
      worst = std::max(worst, std::fabs(x1 - exact) / (tol * exact + tol));
      worst = std::max(worst, std::fabs(z - exact * exact) / (tol * exact * exact + tol));
      return true;
    })) << "tolerance " << tol << ": " << Failure() << Events();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_TRUE(FinishRun()) << Failure();
    std::printf("tolerance %g: worst error %.2f tolerances, %.2f s\n", tol, worst, seconds);
    EXPECT_LE(worst, 20.0) << "tolerance " << tol;
  }
}

}  // namespace
