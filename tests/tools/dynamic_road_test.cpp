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
#include "tests/support/hang_bound.h"
#include "tests/tools/engine_road_fixture.h"
#include "tests/tools/tank_event_models.h"
#include "tests/tools/time_models.h"
#include "tools/analysis_runs.h"
#include "tools/model_writer/flowsheet_model.h"
#include "tools/model_writer/sample_models.h"
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
  options.engine.timeout_ms = testsupport::HangBoundMs(60000);
  options.folder = Folder();
  RobertsonRun run;
  ASSERT_TRUE(vantor_scenario::RunRobertson(options, &run)) << run.failure << "\n" << Lines(run);
  ASSERT_EQ(run.points.size(), 3u);
  for (const auto& p : run.points) {
    std::printf("t = %-8g y = %.10e %.10e %.10e  error %.2e  %.2f s\n", p.t, p.y[0], p.y[1], p.y[2],
                vantor_scenario::RobertsonError(p), p.seconds);
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
  EXPECT_NE(printed.find("every value within 1e-4 of the reference"), std::string::npos) << printed;
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
using modelwriter::Expr;
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
    int interpolate = 1;              // Integration.ItplToComTime
    // Above 0: Integration.LocateIEvents on, with this event tolerance.
    double event_tol = 0.0;
    // Conditions put in the library first, each at its index below the root.
    std::vector<std::pair<std::uint32_t, modelwriter::Expr>> conditions;
  };
  bool Start(const Settings& settings, const std::function<void(Writer&)>& model) {
    vantor_client::EngineOptions engine = Engine();
    engine.services = {4, 55, 67, 81, 82, 85, 86, 95};
    return StartEngine(engine, "Dyn") &&
           road_->Expect(MakeCommand(engineroad::kResultsService, 32, {}, {settings.interval}),
                         "command 32", 0) &&
           IntOption(30, 4) && RealOption(130, settings.rtol) && RealOption(131, settings.atol) &&
           (settings.max_step <= 0.0 || RealOption(141, settings.max_step)) &&
           (settings.interpolate != 0 || IntOption(143, 0)) &&
           (settings.event_tol <= 0.0 ||
            (IntOption(144, 1) && RealOption(156, settings.event_tol))) &&
           IntOption(29, 4) && Conditions(settings.conditions) && Load(model);
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
  // x1' = x2, x2' = -W^2 x1 - 2 Z W x2 with Z = 1e-3, from x1 = 1, x2 = 0:
  // rung down by exp(-Z W t).
  static constexpr double kRingingZ = 1e-3;
  static std::function<void(Writer&)> RingingOf(double kw) {
    return [kw](Writer& w) {
      w.List(4);
      ModelVariable(w, modelwriter::kStateVariable, 1, ".x1", 1.0, 32);
      ModelVariable(w, modelwriter::kStateVariable, 2, ".x2", 0.0, 32);
      ModelEquation(w, 10, ".position", Sub(Var(0), Var(1)), {{2, 1, 1}, {2, 2}});
      ModelEquation(
          w, 11, ".velocity",
          Add(Var(0), Add(Mul(Real(kw * kw), Var(1)), Mul(Real(2 * kRingingZ * kw), Var(2)))),
          {{2, 2, 1}, {2, 1}, {2, 2}});
    };
  }
  // W = 1e6: a period of 6.3e-6, rung down by exp(-1000 t).
  static void Ringing(Writer& w) { RingingOf(1e6)(w); }
  // A steady-state run (command 9) to its end, reading x1 and x2.
  bool SteadyState(double* x1, double* x2) {
    return BeginRun() &&
           road_->Expect(MakeCommand(engineroad::kProblemService, 9), "command 9", 0) &&
           road_->WaitStep(0.0, "the steady state") && Value(1, x1) && Value(2, x2) && FinishRun();
  }
  // A steady-state run (command 9) that is expected to fail: waits for the
  // failure to be told.
  bool FailedSteadyState() {
    if (!BeginRun() ||
        !road_->Expect(MakeCommand(engineroad::kProblemService, 9), "command 9", 0))
      return false;
    client_->WaitFor([&] {
      road_->Collect();
      return Events().find("Steady state solution failure") != std::string::npos;
    });
    return true;
  }
  // Service 114's set-up: the matrices of `bits` with the model's variables
  // of these indices as states, inputs and outputs, each of scale 1.
  static std::unique_ptr<vantor_client::Request> CdiSetUp(
      std::uint16_t bits, const std::vector<std::uint32_t>& states,
      const std::vector<std::uint32_t>& inputs, const std::vector<std::uint32_t>& outputs) {
    auto setup = std::make_unique<vantor_client::Request>(114);
    setup->PutUInt16(82);
    setup->PutUInt16(bits);
    setup->PutDouble(0.0);
    for (const auto* list : {&states, &inputs, &outputs})
      setup->PutUInt32(static_cast<std::uint32_t>(list->size()));
    for (const auto* list : {&states, &inputs, &outputs}) {
      for (std::uint32_t index : *list) {
        Writer(*setup).IdPath({2, index});
        setup->PutDouble(1.0);
      }
    }
    return setup;
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

// At the default tolerances (atol 1e-5 far above x) x must still fall:
// landing on every point (Integration.ItplToComTime off) it falls as the
// exact solution does; interpolated from steps that the loose tolerance
// lets grow, it stays within the tolerance of it. With an atol below x it
// matches it either way.
TEST_F(DynamicRoad, ATinyStateDecaysWhateverItsResiduals) {
  struct Case {
    double atol;
    int interpolate;
  };
  for (const Case c : {Case{1e-5, 0}, Case{1e-5, 1}, Case{1e-14, 1}}) {
    const double atol = c.atol;
    Settings settings;
    settings.rtol = atol < 1e-5 ? 1e-7 : 1e-5;
    settings.atol = atol;
    settings.interpolate = c.interpolate;
    ASSERT_TRUE(Start(settings, TinyDecay)) << Failure() << Events();
    std::vector<double> x;
    ASSERT_TRUE(Steps(6, 1.0,
                      [&](double) {
                        double v = 0;
                        if (!Value(1, &v)) return false;
                        x.push_back(v);
                        return true;
                      }))
        << Failure() << Events();
    ASSERT_TRUE(FinishRun()) << Failure();
    for (std::size_t k = 1; k < x.size(); ++k) {
      const double exact = 1e-6 * std::exp(-static_cast<double>(k));
      const std::string what =
          "t = " + std::to_string(k) + ", atol " + std::to_string(atol) +
          (c.interpolate != 0 ? ", interpolated" : "");
      if (atol >= 1e-5) {
        EXPECT_NEAR(x[k], exact, atol) << what;
      }
      if (c.interpolate == 0 || atol < 1e-5) {
        EXPECT_LT(x[k], x[k - 1]) << what;
        EXPECT_GT(x[k], 0.0) << what;
      }
      if (atol < 1e-5) {
        EXPECT_NEAR(x[k], exact, 1e-4 * exact) << what;
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
    ASSERT_TRUE(Steps(4, 1.0,
                      [&](double t) {
                        double x1 = 0, z = 0;
                        if (!Value(1, &x1) || !Value(2, &z)) return false;
                        const double exact = 1.0 / (1.0 + t);
                        worst = std::max(worst, std::fabs(x1 - exact) / (tol * exact + tol));
                        worst = std::max(
                            worst, std::fabs(z - exact * exact) / (tol * exact * exact + tol));
                        return true;
                      }))
        << "tolerance " << tol << ": " << Failure() << Events();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_TRUE(FinishRun()) << Failure();
    std::printf("tolerance %g: worst error %.2f tolerances, %.2f s\n", tol, worst, seconds);
    EXPECT_LE(worst, 20.0) << "tolerance " << tol;
  }
}

using engineroad::kCrest;
using engineroad::kEventTime;
using engineroad::ValveTank;
using engineroad::WeirLevel;
using engineroad::WeirTank;

struct EventCase {
  const char* what;
  std::function<void(Writer&)> model;
  const char* line;  // the branch change the engine reports
  double tol;
  bool engine_locates;  // Integration.LocateIEvents on
};

// The event is located to the integration tolerance (or, where the engine
// locates it, to Integration.DiscontinuityEventTol), the step across it
// succeeds at every tolerance down to 1e-10, the branch change is reported
// and the level after it follows the closed form.
TEST_F(DynamicRoad, StateEventsAreLocatedAndTheLevelFollowsTheClosedForm) {
  const char* kIfLine = "Equation Model.Weir moved from ELSE branch to THEN branch";
  const char* kSwitchLine = "Equation Model.Valve moved from Closed to Open";
  const std::vector<EventCase> cases = {
      {"IF", WeirTank, kIfLine, 1e-5, false},
      {"IF", WeirTank, kIfLine, 1e-8, false},
      {"IF", WeirTank, kIfLine, 1e-10, false},
      {"IF located by the engine", WeirTank, kIfLine, 1e-8, true},
      {"switch", ValveTank, kSwitchLine, 1e-5, false},
      {"switch", ValveTank, kSwitchLine, 1e-10, false},
  };
  for (const EventCase& c : cases) {
    const std::string what = std::string(c.what) + " at tolerance " + std::to_string(c.tol);
    Settings settings;
    settings.interval = 0.5;
    settings.rtol = settings.atol = c.tol;
    settings.conditions = {{1, modelwriter::Greater(Var(0), Real(kCrest))},
                           {2, modelwriter::Greater(Real(1.0), Var(0))}};
    if (c.engine_locates) settings.event_tol = 0.1 * c.tol;
    ASSERT_TRUE(Start(settings, c.model)) << what << ": " << Failure() << Events();
    ASSERT_TRUE(BeginRun()) << Failure();
    double worst = 0.0;
    std::vector<double> stops;
    for (int k = 0; k <= 6; ++k) {
      const double t = 0.5 * k;
      ASSERT_TRUE(StepTo(t, &stops)) << what << ": " << Failure() << Events();
      double h = 0;
      ASSERT_TRUE(Value(1, &h)) << Failure();
      worst = std::max(worst, std::fabs(h - WeirLevel(t)) / (c.tol * WeirLevel(t) + c.tol));
    }
    ASSERT_TRUE(FinishRun()) << Failure();
    std::printf("%s: event at %.12f, worst level error %.2f tolerances\n", what.c_str(),
                stops.empty() ? -1.0 : stops[0], worst);
    EXPECT_LE(worst, 20.0) << what;
    ASSERT_EQ(stops.size(), 1u) << what;
    EXPECT_NEAR(stops[0], kEventTime, 10 * c.tol * kEventTime) << what;
    EXPECT_NE(Events().find(c.line), std::string::npos) << what << "\n" << Events();
  }
}

// The crest reached exactly at a communication point (1.4 = 2 x 0.7, and
// the end of the seventh interval of 0.2): the step from the point stops
// once at the event, within the tolerance of it, and the run then keeps
// to the closed form.
TEST_F(DynamicRoad, AnEventAtACommunicationPointStopsOnceAndTheRunGoesOn) {
  for (const double interval : {0.7, 0.2}) {
    for (const double tol : {1e-5, 1e-10}) {
      const std::string what =
          "interval " + std::to_string(interval) + ", tolerance " + std::to_string(tol);
      Settings settings;
      settings.interval = interval;
      settings.rtol = settings.atol = tol;
      settings.conditions = {{1, modelwriter::Greater(Var(0), Real(kCrest))}};
      ASSERT_TRUE(Start(settings, WeirTank)) << what << ": " << Failure() << Events();
      ASSERT_TRUE(BeginRun()) << Failure();
      std::vector<double> stops;
      double worst = 0.0;
      for (int k = 0; k * interval < 2.9; ++k) {
        const double t = interval * k;
        ASSERT_TRUE(StepTo(t, &stops)) << what << ": " << Failure() << Events();
        double h = 0;
        ASSERT_TRUE(Value(1, &h)) << Failure();
        worst = std::max(worst, std::fabs(h - WeirLevel(t)) / (tol * WeirLevel(t) + tol));
      }
      ASSERT_TRUE(FinishRun()) << Failure();
      EXPECT_LE(worst, 20.0) << what;
      ASSERT_EQ(stops.size(), 1u) << what;
      EXPECT_NEAR(stops[0], kEventTime, 10 * tol * kEventTime) << what;
      EXPECT_NE(Events().find("Equation Model.Weir moved from ELSE branch to THEN branch"),
                std::string::npos)
          << what;
      run_ = vantor_scenario::FirstOrderRun();
    }
  }
}

// A tank whose outflow F = k sqrt(M) makes the corrector's group
// nonlinear: M' = 2 - F from M = 1, k = 0.8. Run with the built-in
// nonlinear method and again with the sparse library chosen as the open
// NLA solver (request 111): both follow a fine RK4 reference of M at
// t = 1, 2, 3 to the integration tolerance, and each other.
TEST_F(DynamicRoad, AnOpenNLASolverIntegratesAsTheBuiltInMethod) {
  const double reference[3] = {2.013676829930, 2.773107195179, 3.369108396082};
  constexpr double kTol = 1e-8;
  std::vector<double> runs[2];
  for (const bool open : {false, true}) {
    Settings settings;
    settings.rtol = settings.atol = kTol;
    ASSERT_TRUE(Start(settings, engineroad::ValveTankModel)) << Failure() << Events();
    if (open) {
      auto choose = std::make_unique<vantor_client::Request>(engineroad::kProblemService);
      Writer w(*choose);
      w.U16(111);
      choose->PutString("kvs_sparse.dll");
      w.U16(0);
      ASSERT_TRUE(road_->Expect(std::move(choose), "request 111", 0)) << Failure() << Events();
      // Level 3 names the library each group is solved with.
      ASSERT_TRUE(IntOption(31, 3)) << Failure();
    }
    ASSERT_TRUE(Steps(4, settings.interval, [&](double t) {
      if (t == 0.0) return true;
      double m = 0.0;
      if (!Value(2, &m)) return false;
      runs[open ? 1 : 0].push_back(m);
      return true;
    })) << Failure() << Events();
    ASSERT_TRUE(FinishRun()) << Failure();
    EXPECT_EQ(Events().find("Solving group") != std::string::npos, open) << Events();
    run_ = vantor_scenario::FirstOrderRun();
  }
  ASSERT_EQ(runs[0].size(), 3u);
  ASSERT_EQ(runs[1].size(), 3u);
  for (std::size_t k = 0; k < 3; ++k) {
    EXPECT_NEAR(runs[0][k], reference[k], 100 * kTol * reference[k]) << "built-in, t = " << k + 1;
    EXPECT_NEAR(runs[1][k], reference[k], 100 * kTol * reference[k]) << "open, t = " << k + 1;
    EXPECT_NEAR(runs[1][k], runs[0][k], 100 * kTol * reference[k]) << "t = " << k + 1;
  }
}

// x' = u - x with u = 0 fixed, and y' = -DELAY(x BY 0.5) y, from x = y = 1:
// x = exp(-t). Run to t = 1 and linearised there (service 114, A with x, y
// the states and u the input), the delayed value is held at the present
// one: A = [[-1, 0], [., -x(1)]] with x(1) = exp(-1), where the history
// would give -x(0.5).
TEST_F(DynamicRoad, ALinearisationAfterADynamicRunHoldsTheDelayedValues) {
  Settings settings;
  settings.interval = 0.5;
  settings.rtol = settings.atol = 1e-10;
  ASSERT_TRUE(Start(settings, [](Writer& w) {
    w.List(5);
    ModelVariable(w, modelwriter::kStateVariable, 1, ".x", 1.0, 32);
    ModelVariable(w, modelwriter::kStateVariable, 2, ".y", 1.0, 32);
    ModelVariable(w, modelwriter::kRealVariable, 3, ".u", 0.0, 4);
    ModelEquation(w, 10, ".ex", Add(Sub(Var(0), Var(1)), Var(2)), {{2, 1, 1}, {2, 3}, {2, 1}});
    const auto delayed = modelwriter::Binary(51, Var(1), Real(0.5));
    ModelEquation(w, 11, ".ey", Add(Var(0), Mul(delayed, Var(2))), {{2, 2, 1}, {2, 1}, {2, 2}});
  })) << Failure() << Events();
  double x = 0.0;
  double y = 0.0;
  ASSERT_TRUE(Steps(3, settings.interval, [&](double) { return Value(1, &x) && Value(2, &y); }))
      << Failure() << Events();
  ASSERT_NEAR(x, std::exp(-1.0), 1e-7);
  // Before 0.5 the delay reads x(0) = 1: ln y(t) = -(0.5 + 1 - exp(0.5 - t)).
  const auto closed_y = [](double t) { return std::exp(-(1.5 - std::exp(0.5 - t))); };
  ASSERT_NEAR(y, closed_y(1.0), 5e-5) << Events();

  constexpr std::uint16_t kBits = 0x1;
  ASSERT_TRUE(road_->Expect(CdiSetUp(kBits, {1, 2}, {3}, {1, 2}), "kind 82", 0))
      << Failure() << Events();
  auto compute = std::make_unique<vantor_client::Request>(114);
  compute->PutUInt16(83);
  Status computed = 1;
  std::vector<vantor_client::Message> replies;
  ASSERT_TRUE(road_->Exchange(std::move(compute), "kind 83", &computed, &replies)) << Failure();
  ASSERT_EQ(computed, 0u) << Events();
  ASSERT_EQ(replies.size(), 1u);
  vantor_scenario::CdiReply reply;
  ASSERT_TRUE(vantor_scenario::DecodeCdiReply(replies[0].body, kBits, &reply));
  const vantor_scenario::CdiMatrix* a = reply.Find(0x1);
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(a->available) << a->error << "\n" << Events();
  EXPECT_NEAR(a->At(1, 1), -1.0, 1e-9);
  EXPECT_NEAR(a->At(1, 2), 0.0, 1e-12);
  EXPECT_NEAR(a->At(2, 2), -std::exp(-1.0), 1e-7);
  // Afterwards the run reads its history again: on to t = 1.5.
  ASSERT_TRUE(Step(1.5)) << Failure() << Events();
  ASSERT_TRUE(Value(1, &x) && Value(2, &y)) << Failure();
  EXPECT_NEAR(x, std::exp(-1.5), 1e-7);
  // y reads x(t - 0.5) from the history, not the present x.
  EXPECT_NEAR(y, closed_y(1.5), 5e-5);
  ASSERT_TRUE(FinishRun()) << Failure();
}

// A linearisation asked for all through a continuous run of a long
// flowsheet: between steps it is computed, while a step computes it waits
// (busy, no reply) and never evaluates the problem or holds its delays
// under the run thread (the sanitizer tree runs this road too).
TEST_F(DynamicRoad, ALinearisationWaitsWhileAStepComputes) {
  using modelwriter::SeriesFlowsheet;
  SeriesFlowsheet sheet;
  sheet.units = 60;
  Settings settings;
  settings.interval = 0.5;
  ASSERT_TRUE(Start(settings, [&](Writer& w) { sheet.Write(w, engineroad::Node(), {sheet.Valves()}); }))
      << Failure() << Events();
  std::vector<std::uint32_t> states;
  for (std::uint32_t u = 0; u < sheet.units; ++u) {
    states.push_back(sheet.Index(0, u, SeriesFlowsheet::kMass));
    states.push_back(sheet.Index(0, u, SeriesFlowsheet::kTemperature));
  }
  ASSERT_TRUE(road_->Expect(CdiSetUp(0x1, states, {sheet.Index(0, 0, SeriesFlowsheet::kValve)},
                                     {states[0]}),
                            "kind 82", 0))
      << Failure() << Events();
  ASSERT_TRUE(BeginRun() &&
              road_->Expect(MakeCommand(engineroad::kProblemService, 9), "command 9", 0))
      << Failure();
  constexpr Status kBusy = 0x0032000Au;
  int taken = 0;
  int busy = 0;
  const auto until =
      std::chrono::steady_clock::now() + testsupport::HangBound(std::chrono::seconds(60));
  while ((busy < 3 || taken == 0) && std::chrono::steady_clock::now() < until) {
    auto compute = std::make_unique<vantor_client::Request>(114);
    compute->PutUInt16(83);
    Status computed = 1;
    std::vector<vantor_client::Message> replies;
    ASSERT_TRUE(road_->Exchange(std::move(compute), "kind 83", &computed, &replies))
        << Failure();
    ASSERT_TRUE(computed == 0 || computed == kBusy) << vantor_scenario::Hex(computed) << Events();
    ASSERT_EQ(replies.size(), computed == 0 ? 1u : 0u);
    (computed == 0 ? taken : busy) += 1;
  }
  // How many land inside a step is the scheduler's choice: one shows it.
  EXPECT_GE(busy, 1);
  EXPECT_GT(taken, 0);
  ASSERT_TRUE(CommandOnceIdle(8, "command 8")) << Failure() << Events();
  EXPECT_TRUE(FinishRun()) << Failure();
}

// Powell's badly scaled function from its published start (0, 1), as a
// steady state at the engine's default singularity share: never declared
// singular, it reaches the root; a group with no root but a singular
// Jacobian fails saying so, with its rank.
TEST_F(DynamicRoad, BadlyScaledSteadyStatesAreNotSingular) {
  auto powell = [](Writer& w) {
    w.List(4);
    ModelVariable(w, modelwriter::kRealVariable, 1, ".x1", 0.0, 1);
    ModelVariable(w, modelwriter::kRealVariable, 2, ".x2", 1.0, 1);
    ModelEquation(w, 10, ".product", Sub(Mul(Real(1e4), Mul(Var(0), Var(1))), Real(1.0)),
                  {{2, 1}, {2, 2}});
    auto decay = [](std::uint32_t k) { return modelwriter::Unary(32, Mul(Real(-1.0), Var(k))); };
    ModelEquation(w, 11, ".sum", Sub(Add(decay(0), decay(1)), Real(1.0001)), {{2, 1}, {2, 2}});
  };
  vantor_client::EngineOptions engine = Engine();
  engine.services = {4, 55, 67, 81, 82, 85, 86, 95};
  ASSERT_TRUE(StartEngine(engine, "Powell") && RealOption(0, 1e-12) && Load(powell))
      << Failure() << Events();
  double x1 = 0, x2 = 0;
  ASSERT_TRUE(SteadyState(&x1, &x2)) << Failure() << Events();
  // MINPACK's published root.
  EXPECT_NEAR(x1, 1.098159329699759e-5, 1e-9 * 1.1e-5) << Events();
  EXPECT_NEAR(x2, 9.106146739867318, 1e-6) << Events();
  EXPECT_EQ(Events().find("singular"), std::string::npos) << Events();

  // x1 x2 = 2 and x1 x2 = 3 from (1, 1): singular and inconsistent.
  run_ = vantor_scenario::FirstOrderRun();
  auto inconsistent = [](Writer& w) {
    w.List(4);
    ModelVariable(w, modelwriter::kRealVariable, 1, ".x1", 1.0, 1);
    ModelVariable(w, modelwriter::kRealVariable, 2, ".x2", 1.0, 1);
    ModelEquation(w, 10, ".two", Sub(Mul(Var(0), Var(1)), Real(2.0)), {{2, 1}, {2, 2}});
    ModelEquation(w, 11, ".three", Sub(Mul(Var(0), Var(1)), Real(3.0)), {{2, 1}, {2, 2}});
  };
  ASSERT_TRUE(StartEngine(engine, "Singular") && Load(inconsistent)) << Failure() << Events();
  ASSERT_TRUE(FailedSteadyState()) << Failure();
  EXPECT_NE(Events().find("Jacobian is singular: rank 1 of 2"), std::string::npos) << Events();
  EXPECT_NE(Events().find("Group 1: Nonlinear solver failed."), std::string::npos) << Events();
  EXPECT_NE(Events().find("Nonlinear solver failed: "), std::string::npos) << Events();
  EXPECT_TRUE(FinishRun()) << Failure();
}

}  // namespace

namespace {

// Van der Pol at mu = 1000 from (2, 0), rtol 1e-6 and atol 1e-13: the
// given first step (0.005) fails from the start however often it is cut.
// The run says so once, goes on from a first step estimated from the
// tolerances and follows the slow manifold, where
// ln y1 - y1^2 / 2 = ln 2 - 2 + t / mu (to about 1 / mu^2).
void VanDerPol(Writer& w) {
  w.List(4);
  ModelVariable(w, modelwriter::kStateVariable, 1, ".y1", 2.0, 32);
  ModelVariable(w, modelwriter::kStateVariable, 2, ".y2", 0.0, 32);
  ModelEquation(w, 3, ".slow", Sub(Var(0), Var(1)), {{2, 1, 1}, {2, 2}});
  // y2' = mu (1 - y1^2) y2 - y1.
  const Expr rate =
      Sub(Mul(Mul(Real(1000.0), Sub(Real(1.0), Mul(Var(1), Var(1)))), Var(2)), Var(1));
  ModelEquation(w, 4, ".fast", Sub(Var(0), rate), {{2, 2, 1}, {2, 1}, {2, 2}});
}

TEST_F(DynamicRoad, ATinyAbsoluteToleranceStartsFromAnEstimatedFirstStep) {
  Settings settings;
  settings.interval = 20.0;
  settings.rtol = 1e-6;
  settings.atol = 1e-13;
  ASSERT_TRUE(Start(settings, VanDerPol)) << Failure() << Events();
  std::vector<double> y1;
  ASSERT_TRUE(Steps(4, settings.interval,
                    [&](double) {
                      double v = 0;
                      if (!Value(1, &v)) return false;
                      y1.push_back(v);
                      return true;
                    }))
      << Failure() << Events();
  ASSERT_TRUE(FinishRun()) << Failure();
  for (std::size_t k = 1; k < y1.size(); ++k) {
    const double t = settings.interval * static_cast<double>(k);
    EXPECT_NEAR(std::log(y1[k]) - y1[k] * y1[k] / 2.0, std::log(2.0) - 2.0 + t / 1000.0, 1e-5)
        << "t = " << t;
  }
  const std::string events = Events();
  const std::string said = "estimates its first step from the tolerances";
  const std::size_t at = events.find(said);
  EXPECT_NE(at, std::string::npos) << events;
  EXPECT_EQ(events.find(said, at + 1), std::string::npos) << events;
  EXPECT_EQ(events.find("too small"), std::string::npos) << events;
}

// s' = -s from s(0) = 1 drives one group of `size` unknowns: x0 + x1 = 2 s
// (through exp) and x0 + 1.001 z = 2.001 s, z joined to x1 through a chain of
// z_k = z_(k-1). Condition about 4e3, root x0 = x1 = z = s = e^-t. s is
// index 1, x0 2, x1 3, the chain from 4 on.
void IllConditionedPair(Writer& w, std::uint32_t size) {
  const std::uint32_t unknowns = size + 1;
  w.List(2 * unknowns);
  ModelVariable(w, modelwriter::kStateVariable, 1, ".s", 1.0, 32);
  ModelVariable(w, modelwriter::kRealVariable, 2, ".x0", 0.99, 1);
  ModelVariable(w, modelwriter::kRealVariable, 3, ".x1", 0.99, 1);
  for (std::uint32_t k = 4; k <= unknowns; ++k) {
    ModelVariable(w, modelwriter::kRealVariable, k, ".z" + std::to_string(k - 3), 0.99, 1);
  }
  std::uint32_t id = unknowns + 1;
  ModelEquation(w, id++, ".decay", Add(Var(0), Var(1)), {{2, 1, 1}, {2, 1}});
  // exp(x0 + x1 - 2 s) = 1 keeps the group nonlinear and its Jacobian's
  // rows as near parallel as the pair's, wherever Newton goes.
  ModelEquation(
      w, id++, ".sum",
      Sub(modelwriter::Unary(32, Sub(Add(Var(0), Var(1)), Mul(Real(2.0), Var(2)))), Real(1.0)),
      {{2, 2}, {2, 3}, {2, 1}});
  for (std::uint32_t k = 4; k <= unknowns; ++k) {
    ModelEquation(w, id++, ".link" + std::to_string(k - 3), Sub(Var(0), Var(1)),
                  {{2, k}, {2, k - 1}});
  }
  ModelEquation(w, id++, ".near",
                Sub(Add(Var(0), Mul(Real(1.001), Var(1))), Mul(Real(2.001), Var(2))),
                {{2, 2}, {2, unknowns}, {2, 1}});
}

// The pair is well posed: at the default options it initialises and
// integrates to the closed form, whether its group goes to the direct
// corrector (2 unknowns) or to the nonlinear library (9).
TEST_F(DynamicRoad, AnIllConditionedPairIsNotSingular) {
  for (std::uint32_t size : {2u, 9u}) {
    SCOPED_TRACE("group of " + std::to_string(size));
    run_ = vantor_scenario::FirstOrderRun();
    Settings settings;
    ASSERT_TRUE(Start(settings, [size](Writer& w) { IllConditionedPair(w, size); }))
        << Failure() << Events();
    std::vector<std::pair<double, double>> read;
    ASSERT_TRUE(Steps(4, 1.0,
                      [&](double) {
                        double x0 = 0, z = 0;
                        if (!Value(2, &x0) || !Value(size + 1, &z)) return false;
                        read.emplace_back(x0, z);
                        return true;
                      }))
        << Failure() << Events();
    ASSERT_TRUE(FinishRun()) << Failure();
    for (std::size_t k = 0; k < read.size(); ++k) {
      const double exact = std::exp(-static_cast<double>(k));
      EXPECT_NEAR(read[k].first, exact, 1e-3 * exact) << "x0 at t = " << k;
      EXPECT_NEAR(read[k].second, exact, 1e-3 * exact) << "z at t = " << k;
    }
    EXPECT_EQ(Events().find("singular"), std::string::npos) << Events();
  }
}

}  // namespace

namespace {

// x1 x2 = 4 and x1 = x2 from (0, 0): the group's Jacobian is singular
// where it starts and regular at its root (2, 2). At the default options
// the steady state steps off the start on perturbed pivots and reaches the
// root without a word of singularity; with Nonlinear.SingPert at 0 the
// client asks for no perturbation, and the group fails as singular.
TEST_F(DynamicRoad, ASteadyStateSingularOnlyAtItsStartIsSolved) {
  auto product = [](Writer& w) {
    w.List(4);
    ModelVariable(w, modelwriter::kRealVariable, 1, ".x1", 0.0, 1);
    ModelVariable(w, modelwriter::kRealVariable, 2, ".x2", 0.0, 1);
    ModelEquation(w, 10, ".product", Sub(Mul(Var(0), Var(1)), Real(4.0)), {{2, 1}, {2, 2}});
    ModelEquation(w, 11, ".equal", Sub(Var(0), Var(1)), {{2, 1}, {2, 2}});
  };
  vantor_client::EngineOptions engine = Engine();
  engine.services = {4, 55, 67, 81, 82, 85, 86, 95};
  ASSERT_TRUE(StartEngine(engine, "Product") && RealOption(0, 1e-12) && Load(product))
      << Failure() << Events();
  double x1 = 0, x2 = 0;
  ASSERT_TRUE(SteadyState(&x1, &x2)) << Failure() << Events();
  EXPECT_NEAR(x1, 2.0, 1e-9) << Events();
  EXPECT_NEAR(x2, 2.0, 1e-9) << Events();
  EXPECT_EQ(Events().find("singular"), std::string::npos) << Events();

  run_ = vantor_scenario::FirstOrderRun();
  ASSERT_TRUE(StartEngine(engine, "Held") && RealOption(12, 0.0) && Load(product))
      << Failure() << Events();
  ASSERT_TRUE(FailedSteadyState()) << Failure();
  EXPECT_NE(Events().find("Jacobian is singular: rank 1 of 2"), std::string::npos) << Events();
  EXPECT_TRUE(FinishRun()) << Failure();
}

// x' = -x from 1 to t = 1 in one command with steps of at most 8e-6: some
// 125,000 integration steps, more than a step of a healthy run was ever
// refused at, end normally at exp(-1) with no word of the step bound.
TEST_F(DynamicRoad, ALongStepOfManyIntegrationStepsEndsNormally) {
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << engineroad::kNumbersNotThreads;
  Settings settings;
  settings.interval = 1.0;
  settings.max_step = 8e-6;
  ASSERT_TRUE(Start(settings, [](Writer& w) {
    w.List(2);
    ModelVariable(w, modelwriter::kStateVariable, 1, ".x", 1.0, 32);
    ModelEquation(w, 10, ".decay", Add(Var(0), Var(1)), {{2, 1, 1}, {2, 1}});
  })) << Failure() << Events();
  double x = 0.0;
  ASSERT_TRUE(Steps(2, settings.interval, [&](double) { return Value(1, &x); }))
      << Failure() << Events();
  EXPECT_NEAR(x, std::exp(-1.0), 1e-4);
  EXPECT_EQ(Events().find("Integration.MaxSteps"), std::string::npos) << Events();
  ASSERT_TRUE(FinishRun()) << Failure();
}

// x' = x^2 from x(0) = 1e6 blows up at t = 1e-6: the steps shrink until
// t + h = t, and went on so, tens of millions of them, for minutes with no
// word under the default step bound. The step ends at once with a line
// that gives the time and what to try, with Gear12 and ImplicitEuler alike.
TEST_F(DynamicRoad, AStepThatNoLongerMovesTimeEndsWithALine) {
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << engineroad::kNumbersNotThreads;
  for (const std::uint32_t method : {4u, 3u}) {
    SCOPED_TRACE(testing::Message() << "Integrator " << method);
    CloseEngine();
    Settings settings;
    settings.rtol = 1e-6;
    ASSERT_TRUE(Start(settings,
                      [](Writer& w) {
                        w.List(2);
                        ModelVariable(w, modelwriter::kStateVariable, 1, ".x", 1e6, 32);
                        ModelEquation(w, 10, ".blowup", Sub(Var(0), Mul(Var(1), Var(1))),
                                      {{2, 1, 1}, {2, 1}});
                      }) &&
                IntOption(30, method))
        << Failure() << Events();
    ASSERT_TRUE(Steps(1, settings.interval, [](double) { return true; })) << Failure() << Events();
    std::string said;
    ASSERT_TRUE(StepFailsSaying("The integration stands still at t = ", &said))
        << Failure() << Events();
    const double t = std::stod(said.substr(said.find("t = ") + 4));
    EXPECT_NEAR(t, 1e-6, 1e-9) << said;
    EXPECT_NE(said.find("Integration.RelErrorTol"), std::string::npos) << said;
    EXPECT_EQ(Events().find("Integration.MaxSteps"), std::string::npos) << Events();
    EXPECT_TRUE(FinishRun()) << Failure();
  }
}

// Robertson's kinetics to t = 1e11 under Integration.MaxStepSize 1e10, in
// ten commands and in one. Through the first decades a first-order
// method's steps grow by some 15 % in five hundred, and a fine atol keeps
// Gear's small, yet each moves time by millions of its rounding units:
// Gear at its own order, held to orders 1 and 2, and implicit Euler reach
// the Test Set's values.
TEST_F(DynamicRoad, RobertsonRunsToItsEndAtEveryOrderAndAFineAtol) {
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << engineroad::kNumbersNotThreads;
  constexpr double kEnd = 1e11;
  struct Case {
    std::uint32_t integrator, order;
    double rtol, atol;
    int commands;
  };
  // Implicit Euler is Integrator 3; Gear (4) is held by Integration.MaxOrder.
  const Case cases[] = {{3, 5, 1e-6, 1e-14, 10}, {3, 5, 1e-8, 1e-16, 1},
                        {4, 1, 1e-8, 1e-16, 10}, {4, 2, 1e-10, 1e-14, 1},
                        {4, 2, 1e-10, 1e-16, 10}, {4, 5, 1e-8, 1e-16, 1},
                        {4, 5, 1e-12, 1e-16, 10}};
  double reference[3];
  ASSERT_TRUE(vantor_scenario::RobertsonReference(kEnd, reference));
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "Integrator " << c.integrator << ", order " << c.order
                                    << ", rtol " << c.rtol << ", atol " << c.atol << ", "
                                    << c.commands << " commands");
    CloseEngine();
    Settings settings;
    settings.interval = kEnd / c.commands;
    settings.rtol = c.rtol;
    settings.atol = c.atol;
    settings.max_step = 1e10;
    std::vector<double> stops;
    ASSERT_TRUE(Start(settings, modelwriter::Robertson) && IntOption(30, c.integrator) &&
                IntOption(129, c.order) && BeginRun() && Step(0.0))
        << Failure() << Events();
    // The interval travels as a 4-byte float.
    for (int k = 1; k <= c.commands; ++k) {
      ASSERT_TRUE(StepTo(static_cast<float>(settings.interval) * static_cast<double>(k), &stops))
          << Failure() << Events();
    }
    EXPECT_TRUE(stops.empty());
    // A first-order method's global error is some 1e-3 of y1 and y2 here
    // whatever the tolerance, the second order's 1e-4.
    const double error = c.order == 1 || c.integrator == 3 ? 2e-3 : c.order == 2 ? 2e-4 : 2e-5;
    for (std::uint32_t i = 0; i < 3; ++i) {
      double y = 0.0;
      ASSERT_TRUE(Value(i + 1, &y)) << Failure();
      EXPECT_NEAR(y, reference[i], error * reference[i]) << "y" << i + 1;
    }
    EXPECT_EQ(Events().find("stands still"), std::string::npos) << Events();
    EXPECT_TRUE(FinishRun()) << Failure();
  }
}

// A lightly damped ringing, x1' = x2, x2' = -W^2 x1 - 2 Z W x2 (W = 1e6, Z =
// 1e-3), in one command to t = 1e7 with steps bounded only by 1e10: Gear's
// steps stay near a hundredth of the period while it rings, each moving
// time by a great many rounding units, and it reaches its target at rest.
TEST_F(DynamicRoad, ALightlyDampedRingingRunsToItsTarget) {
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << engineroad::kNumbersNotThreads;
  Settings settings;
  settings.interval = 1e7;
  settings.rtol = settings.atol = 1e-6;
  settings.max_step = 1e10;
  ASSERT_TRUE(Start(settings, Ringing) && BeginRun() && Step(0.0) && Step(1e7))
      << Failure() << Events();
  for (std::uint32_t i = 1; i <= 2; ++i) {
    double x = 1.0;
    ASSERT_TRUE(Value(i, &x)) << Failure();
    EXPECT_NEAR(x, 0.0, 1e-5) << "x" << i;
  }
  EXPECT_EQ(Events().find("stands still"), std::string::npos) << Events();
  EXPECT_TRUE(FinishRun()) << Failure();
}

// Runs that start again at a late time: IDA steps from a small first step
// and doubles it, or crawls through a fast transient, each step moving time
// by a few rounding units or none at first. Their steps grow, and they run
// on to their targets.
class LateRestartRoad : public DynamicRoad {
 protected:
  // x' = k (u - x) from x = 1, u (2) fixed at 1.
  static std::function<void(Writer&)> Approach(double k) {
    return [k](Writer& w) {
      w.List(3);
      ModelVariable(w, modelwriter::kStateVariable, 1, ".x", 1.0, 32);
      ModelVariable(w, modelwriter::kRealVariable, 2, ".u", 1.0, 4);
      ModelEquation(w, 10, ".approach", Sub(Var(0), Mul(Real(k), Sub(Var(1), Var(2)))),
                    {{2, 1, 1}, {2, 2}, {2, 1}});
    };
  }
  // The run clock set to t0 (command 94) and the problem prepared again.
  bool StartAt(double t0) {
    Status moved = 1;
    return road_->Exchange(MakeCommand(engineroad::kProblemService, 94, {}, {t0}), "command 94",
                           &moved) &&
           !status::IsFailure(moved) && vantor_scenario::Prepare(*road_, "command 6") &&
           BeginRun() && Step(t0);
  }
  // A run of `points` commands over `span` from t0 (from the run's start
  // when t0 is 0), each read and judged by `off` from the values of the
  // first `count` variables and the time s since t0.
  struct Leg {
    std::function<void(Writer&)> model;
    std::uint32_t count = 1;
    std::function<double(const std::vector<double>&, double)> off;
    double t0 = 0.0, span = 1.0;
    int points = 10;
    double rtol = 1e-6;
    double fixed = 0.0;  // above 0: Gear's fixed steps of this size
    double u = 0.0;      // above 0: the model's u set to it
  };
  // The largest `off` along the leg into *worst; every command ends at its
  // point, and none stands still.
  bool WorstAlong(const Leg& leg, double* worst) {
    CloseEngine();
    Settings settings;
    settings.interval = leg.span / leg.points;
    settings.rtol = settings.atol = leg.rtol;
    settings.max_step = 1e10;
    if (!Start(settings, leg.model) ||
        !(leg.fixed <= 0.0 || (IntOption(137, 0) && RealOption(138, leg.fixed))) ||
        !(leg.u <= 0.0 || Set("u", leg.u)) ||
        !(leg.t0 > 0.0 ? StartAt(leg.t0) : BeginRun() && Step(0.0)))
      return false;
    const double begin = road_->Last().time;
    *worst = 0.0;
    std::vector<double> values(leg.count);
    for (int n = 1; n <= leg.points; ++n) {
      bool failed = false;
      if (!StepEnds("point " + std::to_string(n), &failed)) return false;
      if (failed) return Fail("the run failed at point " + std::to_string(n));
      for (std::uint32_t i = 0; i < leg.count; ++i) {
        if (!Value(i + 1, &values[i])) return false;
      }
      *worst = std::max(*worst, leg.off(values, road_->Last().time - begin));
    }
    if (Events().find("stands still") != std::string::npos) return Fail("it stood still");
    return FinishRun();
  }
  // The same leg from t = 0 and from its t0: the late one's worst within 3x.
  void ExpectAsRightAsFromZero(Leg leg) {
    const double t0 = leg.t0;
    double from_zero = 0.0, late = 0.0;
    leg.t0 = 0.0;
    ASSERT_TRUE(WorstAlong(leg, &from_zero)) << Failure() << Events();
    leg.t0 = t0;
    ASSERT_TRUE(WorstAlong(leg, &late)) << Failure() << Events();
    std::printf("from %.10g: %.3g off, from 0: %.3g\n", t0, late, from_zero);
    EXPECT_LE(late, 3.0 * from_zero);
  }

  // One command to T with u = 1, u set to 2 and one command to 2T: x = 2 -
  // exp(-k T) there.
  void ExpectSecondLegReaches(double big_t, double k) {
    ASSERT_TRUE(Steps(2, big_t, [](double) { return true; })) << Failure() << Events();
    double x = 0.0;
    ASSERT_TRUE(Set("u", 2.0) && Step(2.0 * big_t) && Value(1, &x)) << Failure() << Events();
    EXPECT_NEAR(x, 2.0 - std::exp(-k * big_t), 1e-4);
    EXPECT_EQ(Events().find("stands still"), std::string::npos) << Events();
    EXPECT_TRUE(FinishRun()) << Failure();
  }
};

TEST_F(LateRestartRoad, AGivenTinyFirstStepGrowsToTheTarget) {
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << engineroad::kNumbersNotThreads;
  struct Case {
    double big_t, first;
    std::uint32_t method;
  };
  for (const Case& c :
       {Case{1e6, 1e-12, 4}, Case{1e6, 1e-12, 3}, Case{1e9, 1e-9, 4}, Case{1e5, 1e-13, 4}}) {
    SCOPED_TRACE(testing::Message()
                 << "T " << c.big_t << ", first step " << c.first << ", Integrator " << c.method);
    CloseEngine();
    Settings settings;
    settings.interval = c.big_t;
    settings.max_step = 1e10;
    ASSERT_TRUE(Start(settings, Approach(1.0)) && IntOption(30, c.method) &&
                RealOption(139, c.first))
        << Failure() << Events();
    ExpectSecondLegReaches(c.big_t, 1.0);
  }
}

// k = 1e7: the transient after the restart lasts some microseconds, at a
// time whose rounding unit is a good part of a step.
TEST_F(LateRestartRoad, AFastTransientAtALateTimeRunsThrough) {
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << engineroad::kNumbersNotThreads;
  for (const auto& [big_t, rtol] : {std::pair{1e6, 1e-8}, std::pair{1e7, 1e-6}}) {
    SCOPED_TRACE(testing::Message() << "T " << big_t << ", rtol " << rtol);
    CloseEngine();
    Settings settings;
    settings.interval = big_t;
    settings.rtol = rtol;
    settings.max_step = 1e10;
    ASSERT_TRUE(Start(settings, Approach(1e7))) << Failure() << Events();
    ExpectSecondLegReaches(big_t, 1e7);
  }
}

// x' + k x = 0 from t0 = 1e5 (command 94), k from 1 to 1000 once Time >
// t0 + 0.5 (an IF): after the switch IDA starts again at a late time.
// Every point on the closed form; past the switch, within what the
// switch's place in time (located to 1e-9, or a few rounding units of it)
// moves the value by as well.
TEST_F(LateRestartRoad, ARateThatJumpsLateFollowsItsClosedForm) {
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << engineroad::kNumbersNotThreads;
  constexpr double kT0 = 1e5, kInterval = 0.01;
  Settings settings;
  settings.interval = kInterval;
  settings.rtol = 1e-10;
  settings.atol = 1e-12;
  settings.conditions = {{1, modelwriter::Greater(modelwriter::Time(), Real(kT0 + 0.5))}};
  ASSERT_TRUE(Start(settings,
                    [](Writer& w) {
                      w.List(4);
                      ModelVariable(w, modelwriter::kStateVariable, 1, ".x", 1.0, 32);
                      ModelVariable(w, modelwriter::kRealVariable, 2, ".k", 1.0, 1);
                      ModelEquation(w, 10, ".decay", Add(Var(0), Mul(Var(1), Var(2))),
                                    {{2, 1, 1}, {2, 2}, {2, 1}});
                      timemodels::ClockedU(w, 1000.0, 1.0);
                    }) &&
              RealOption(156, 1e-9) && StartAt(kT0))
      << Failure() << Events();
  const double unit = std::nextafter(kT0, HUGE_VAL) - kT0;
  std::vector<double> stops;
  for (int n = 1; n <= 53; ++n) {
    const double t = kT0 + kInterval * n;
    ASSERT_TRUE(StepTo(t, &stops)) << Failure() << Events();
    const double s = road_->Last().time - kT0;
    const double exact = s <= 0.5 ? std::exp(-s) : std::exp(-0.5 - 1000.0 * (s - 0.5));
    const double slack = s <= 0.5 ? 0.0 : 1000.0 * exact * (1e-9 + 4.0 * unit);
    double x = 0.0;
    ASSERT_TRUE(Value(1, &x)) << Failure();
    EXPECT_NEAR(x, exact, 10.0 * (1e-10 * exact + 1e-12) + slack) << "t0 + " << s;
  }
  EXPECT_EQ(Events().find("stands still"), std::string::npos) << Events();
  EXPECT_TRUE(FinishRun()) << Failure();
}

// Gear's steps held at t = 1e6 by a fixed step (Integration.StepSizeType
// 0) or by Integration.MaxStepSize: at 5e-10 each moves time by four or
// five rounding units, at 1e-11 by none, and the step ends at once with the
// line and the advice for what holds them, however near the target. Held
// at 1e-7 (some 860 units) they run on to the closed form.
TEST_F(LateRestartRoad, StepsHeldBelowWhatMovesTimeEndWithTheirLine) {
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << engineroad::kNumbersNotThreads;
  constexpr double kT0 = 1e6;
  struct Case {
    double interval, size;
    bool fixed;
  };
  for (const Case& c : {Case{5e-6, 5e-10, true}, Case{kT0, 5e-10, true}, Case{5e-6, 5e-10, false},
                        Case{kT0, 1e-11, false}, Case{1e-4, 1e-7, true}, Case{1e-4, 1e-7, false}}) {
    SCOPED_TRACE(testing::Message() << "interval " << c.interval << ", steps of " << c.size
                                    << (c.fixed ? ", fixed" : ", held"));
    CloseEngine();
    Settings settings;
    settings.interval = c.interval;
    settings.max_step = c.fixed ? 0.0 : c.size;
    ASSERT_TRUE(Start(settings, Approach(1.0)) && IntOption(137, c.fixed ? 0 : 1) &&
                RealOption(138, c.size) && IntOption(103, 20000) && Set("u", 2.0) &&
                StartAt(kT0))
        << Failure() << Events();
    if (c.size > 1e-8) {
      double x = 0.0;
      ASSERT_TRUE(Step(kT0 + c.interval) && Value(1, &x)) << Failure() << Events();
      EXPECT_NEAR(x, 2.0 - std::exp(-(road_->Last().time - kT0)), 1e-8);
      EXPECT_EQ(Events().find("stands still"), std::string::npos) << Events();
    } else {
      std::string said;
      ASSERT_TRUE(StepFailsSaying("The integration stands still at t = ", &said))
          << Failure() << Events();
      EXPECT_NE(said.find(c.fixed ? "Take a larger Integration.StepSize"
                                  : "Integration.MaxStepSize"),
                std::string::npos)
          << said;
      EXPECT_EQ(Events().find("Integration.MaxSteps"), std::string::npos) << Events();
    }
    EXPECT_TRUE(FinishRun()) << Failure();
  }
}

// Fixed steps from t0 = 1e6, where time's rounding unit is 1.16e-10: the
// engine's Euler and RK4, and Gear's steps of Integration.StepSizeType 0.
// x' = 2 - x from 1, so x = 2 - exp(-s) at t0 + s. A step moves time by a
// whole number of units, not by its size, and the solution moves with
// time: to the method's own error, where the nominal size once put it up
// to a few per cent of the interval off. Steps of a hundred units or fewer
// end with the line instead.
TEST_F(LateRestartRoad, FixedStepsAtALateTimeFollowTheClosedFormOrStandStill) {
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << engineroad::kNumbersNotThreads;
  constexpr double kT0 = 1e6, kSpan = 1e-4;
  const double unit = std::nextafter(kT0, HUGE_VAL) - kT0;
  // Integrator 1 is Euler, 2 RK4, 4 Gear.
  for (const std::uint32_t method : {1u, 2u, 4u}) {
    for (const double size : {5e-10, 1e-9, 1e-8, 3e-8}) {
      SCOPED_TRACE(testing::Message() << "Integrator " << method << ", steps of " << size);
      CloseEngine();
      Settings settings;
      settings.interval = kSpan;
      ASSERT_TRUE(Start(settings, Approach(1.0)) && IntOption(30, method) &&
                  IntOption(137, 0) && RealOption(138, size) && Set("u", 2.0) && StartAt(kT0))
          << Failure() << Events();
      if (size > 100 * unit) {
        double x = 0.0;
        ASSERT_TRUE(Step(kT0 + kSpan) && Value(1, &x)) << Failure() << Events();
        const double s = road_->Last().time - kT0;
        // Euler's error grows by h/2 x'' a unit of time, Gear's is held to
        // its tolerance; each step rounds.
        const double own = (method == 1 ? 0.6 * size * s : method == 4 ? 1e-10 : 0.0) +
                           s / size * 1e-15;
        EXPECT_NEAR(x, 2.0 - std::exp(-s), own);
      } else {
        std::string said;
        ASSERT_TRUE(StepFailsSaying("The integration stands still at t = ", &said))
            << Failure() << Events();
        EXPECT_NE(said.find("Take a larger Integration.StepSize"), std::string::npos) << said;
      }
      EXPECT_TRUE(FinishRun()) << Failure();
    }
  }
}

// The ringing started again at a late time, its steps moving time by a few
// hundred of its rounding units: IDA's clock moved by each step rounded to
// those units while its solution moved by the step, so the phase drifted
// with the time run (0.029 over one decay time from 1e6, 0.2 from 1e8 at
// W = 23,437.5, and Gear's fixed steps of 1,001 units 0.024 within 5 ms
// once t passed 2^20). Along the decay time the values keep to the closed
// form within 3x of the same span from t = 0; from 1e3, where each step
// moves time by a million units, as before.
TEST_F(LateRestartRoad, ARingingAtALateTimeRunsToItsTarget) {
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << engineroad::kNumbersNotThreads;
  constexpr double kZ = kRingingZ, kSlow = 23437.5;
  // A float on the wire: the last one below 2^20.
  const double below = std::ldexp(1.0, 20) - 0.0625;
  struct Case {
    double t0, w, span;
    int points;
    double fixed;
  };
  const Case cases[] = {{1e3, 1e6, 1e-3, 10, 0.0},
                        {1e6, 1e6, 1e-3, 10, 0.0},
                        {1e8, kSlow, 1.0 / (kZ * kSlow), 10, 0.0},
                        {below, kSlow, 0.0675, 27, 0.0},
                        {below, kSlow, 0.0675, 27, 1001 * std::ldexp(1.0, -33)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "W " << c.w << " from " << c.t0 << " over " << c.span
                                    << (c.fixed > 0.0 ? ", fixed steps" : ""));
    const double w = c.w, wd = w * std::sqrt(1 - kZ * kZ);
    Leg leg;
    leg.model = RingingOf(w);
    leg.count = 2;
    // x1 = exp(-Z W s) (cos + Z W / W_d sin)(W_d s), x2 its slope; the
    // distance in the phase plane, x2 in units of W_d.
    leg.off = [w, wd](const std::vector<double>& x, double s) {
      const double a = std::exp(-kZ * w * s), c = std::cos(wd * s), n = std::sin(wd * s);
      return std::hypot(x[0] - a * (c + kZ * w / wd * n), (x[1] + a * w * w / wd * n) / wd);
    };
    leg.t0 = c.t0;
    leg.span = c.span;
    leg.points = c.points;
    leg.fixed = c.fixed;
    ExpectAsRightAsFromZero(leg);
  }
}

// x' = 1e6 (2 - x) from 1 at a late time and rtol 1e-8: the first steps
// move time by a few units each, and x at t0 + 1e-6 was 2.4e-4 off from
// 1e6 (24,000 tolerances) where the same span from t = 0 is 3.4e-8 off.
// From 100, as before.
TEST_F(LateRestartRoad, AFastApproachAtALateTimeIsAsRightAsFromZero) {
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << engineroad::kNumbersNotThreads;
  constexpr double kK = 1e6;
  for (const double t0 : {1e2, 1e5, 1e6, 1e7}) {
    SCOPED_TRACE(testing::Message() << "from " << t0);
    Leg leg;
    leg.model = Approach(kK);
    leg.off = [](const std::vector<double>& x, double s) {
      return std::fabs(x[0] - (2.0 - std::exp(-kK * s)));
    };
    leg.t0 = t0;
    leg.span = 1e-5;
    leg.rtol = 1e-8;
    leg.u = 2.0;
    ExpectAsRightAsFromZero(leg);
  }
}

}  // namespace
