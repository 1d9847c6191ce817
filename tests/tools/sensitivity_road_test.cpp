// Sensitivities through the real engine and its outside servers, as the
// modelling environment asks for them: the model loaded through the
// instance manager, the variables and parameters registered with the
// sensitivity manager (service 64, request 51) and switched on (52), the
// run, then the values (55). The steady state goes through the integrator
// server's initialise and the engine's sensitivity calculator; a dynamic run
// through the server's IDAS sensitivities with the engine's corrector.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/compiler_installation.h"
#include "tests/support/hang_bound.h"
#include "tests/support/scoped_env.h"
#include "tests/tools/engine_road_fixture.h"
#include "tests/tools/time_models.h"
#include "tools/client.h"
#include "tools/model_writer/flowsheet_model.h"
#include "tools/model_writer/model_writer.h"
#include "tools/road.h"

namespace {

using engineroad::EngineRoad;
using engineroad::kProblemService;
using engineroad::kResultsService;
using engineroad::kRunEnded;
using engineroad::ModelEquation;
using engineroad::ModelVariable;
using engineroad::Node;
using modelwriter::Writer;
using vantor_client::MakeCommand;

constexpr std::uint32_t kSensitivityService = 64;

// Engine options and what the road sets before loading.
struct RunSettings {
  std::int32_t run_mode = 1;  // 1 steady state, 4 dynamic
  double interval = 0.1;
  double rtol = 1e-5;
  double atol = 1e-5;
  // Gear12: the default implicit Euler is first order only.
  std::uint32_t integrator = 4;
  // Above 0: the engine's print level (5 shows the sensitivity systems).
  std::int32_t print_level = 0;
  // Above 0: the nonlinear solvers' residual, absolute and relative tolerances.
  double solver_tolerance = 0.0;
  // Library conditions, each at its index below the root.
  std::vector<std::pair<std::uint32_t, modelwriter::Expr>> conditions;
};

class SensitivityRoad : public EngineRoad {
 protected:
  // Starts the engine, names the simulation, sets the options, loads the
  // model written by `model` into the node at root index 2 and prepares.
  bool Start(const RunSettings& settings, const std::function<void(Writer&)>& model) {
    vantor_client::EngineOptions engine;
    engine.program = VANTOR_ENGINE;
    engine.timeout_ms = testsupport::HangBoundMs(60000);
    engine.services = {4, 55, 67, 81, 82, 85, 86, 95};
    if (!StartEngine(engine, "Sens") ||
        !road_->Expect(MakeCommand(kResultsService, 32, {}, {settings.interval}), "command 32",
                       0) ||
        !IntOption(30, settings.integrator) || !RealOption(130, settings.rtol) ||
        !RealOption(131, settings.atol) ||
        !IntOption(29, static_cast<std::uint32_t>(settings.run_mode)) ||
        (settings.print_level > 0 &&
         !IntOption(31, static_cast<std::uint32_t>(settings.print_level))))
      return false;
    for (std::uint16_t tolerance : {0, 1, 2}) {
      if (settings.solver_tolerance > 0.0 && !RealOption(tolerance, settings.solver_tolerance))
        return false;
    }
    return Conditions(settings.conditions) && Load(model);
  }

  // Request 51: the variables, then the parameters, by id path under the
  // node.
  static std::unique_ptr<vantor_client::Request> Lists(
      const std::vector<std::uint32_t>& variables, const std::vector<std::uint32_t>& parameters) {
    auto lists = std::make_unique<vantor_client::Request>(kSensitivityService);
    Writer w(*lists);
    w.U16(51);
    for (const auto* list : {&variables, &parameters}) {
      w.U16(static_cast<std::uint16_t>(list->size()));
      for (std::uint32_t index : *list) w.IdPath({2, index});
    }
    w.U16(0xFFFF);
    return lists;
  }
  // Request 51, then request 52.
  bool Register(const std::vector<std::uint32_t>& variables,
                const std::vector<std::uint32_t>& parameters) {
    if (!road_->Expect(Lists(variables, parameters), "request 51", 0)) return false;
    auto enable = std::make_unique<vantor_client::Request>(kSensitivityService);
    Writer(*enable).U16(52);
    Writer(*enable).U16(0);
    return road_->Expect(std::move(enable), "request 52", 0);
  }

  bool SteadyState() {
    return BeginRun() &&
           road_->Expect(MakeCommand(kProblemService, 9), "the steady state (command 9)", 0) &&
           road_->WaitStep(0.0, "the steady state");
  }

  // Command 10 `steps` times from t = 0: the initialisation, then one
  // communication interval each.
  // `at` is called after each step with its time.
  bool Dynamic(int steps, double interval, const std::function<bool(double)>& at) {
    if (!BeginRun()) return false;
    for (int k = 0; k < steps; ++k) {
      const std::string what = "step " + std::to_string(k);
      if (!road_->Expect(MakeCommand(kProblemService, 10), what, 0) ||
          !road_->WaitStep(interval * k, what) || !at(interval * k))
        return false;
    }
    return true;
  }

  // Request 55: variable by variable, parameter by parameter.
  bool Values(std::vector<double>* values) {
    auto request = std::make_unique<vantor_client::Request>(kSensitivityService);
    Writer(*request).U16(55);
    Writer(*request).U16(0);
    Status result = 0;
    std::vector<vantor_client::Message> replies;
    if (!road_->Exchange(std::move(request), "request 55", &result, &replies)) return false;
    if (result != 0 || replies.size() != 1) return Fail("request 55: " + vantor_scenario::Hex(result));
    const vantor_client::Bytes& body = replies[0].body;
    if (body.size() < 2 || (body.size() - 2) % 8 != 0 || body[body.size() - 2] != 0xFF ||
        body.back() != 0xFF)
      return Fail("request 55: a reply not of doubles and the end mark");
    values->resize((body.size() - 2) / 8);
    std::memcpy(values->data(), body.data(), values->size() * 8);
    return true;
  }

  bool Read(std::uint32_t index, double* value) {
    return road_->Read(index, value, "value " + std::to_string(index));
  }

  // Ends the run and the engine; its exit code must be 0.
  bool Finish() {
    auto end = std::make_unique<vantor_client::Request>(kProblemService);
    end->PutUInt16(134);
    return road_->Expect(std::move(end), "request 134", kRunEnded) && EndEngine();
  }

  // SwitchedDelayedDecay (below) with its switch at ts, stepped to t = 3 at
  // rtol = atol = `tolerance` (points every `interval`) and, when asked, the
  // event located by the engine and the model re-initialised there: x, y,
  // z and their sensitivities by p against the closed form at every point
  // and every stop short of one (its time goes into *stops), within 1e-8
  // (20 tolerances at a coarser one, never more than 5e-8).
  void CrossTheSwitch(double ts, bool reinitialise, std::vector<double>* stops,
                      double interval = 0.25, double tolerance = 1e-10);

  // The event lines so far, with those still on their way.
  std::string Events() {
    if (client_ != nullptr && road_ != nullptr) {
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
      client_->WaitFor([&] { return std::chrono::steady_clock::now() > until; });
      road_->Collect();
    }
    std::string all;
    for (const std::string& line : run_.events) all += line + "\n";
    return all;
  }
};

using modelwriter::Add;
using modelwriter::Mul;
using modelwriter::Real;
using modelwriter::Sub;
using modelwriter::Var;

// x^3 + x = p: p fixed (index 1), x free (2), the equation (10).
void Cubic(Writer& w, double p) {
  w.List(3);
  ModelVariable(w, modelwriter::kRealVariable, 1, ".p", p, 4);
  ModelVariable(w, modelwriter::kRealVariable, 2, ".x", 0.5, 1);
  ModelEquation(w, 10, ".e", Sub(Add(Mul(Mul(Var(0), Var(0)), Var(0)), Var(0)), Var(1)),
                {{2, 2}, {2, 1}});
}

// The steady state of x^3 + x = p at p = 2 (x = 1): dx/dp = 1/(3x^2 + 1)
// from request 55, and central differences of two more solves at p +- h
// with tight solver tolerances in the same engine.
TEST_F(SensitivityRoad, SteadyStateOfTheCubicMatchesTheClosedFormAndDifferences) {
  RunSettings settings;
  settings.solver_tolerance = 1e-13;
  ASSERT_TRUE(Start(settings, [](Writer& w) { Cubic(w, 2.0); })) << Failure() << Events();
  ASSERT_TRUE(Register({2}, {1})) << Failure() << Events();
  ASSERT_TRUE(SteadyState()) << Failure() << Events();
  double x = 0.0;
  ASSERT_TRUE(Read(2, &x)) << Failure();
  EXPECT_NEAR(x, 1.0, 1e-12);
  std::vector<double> values;
  ASSERT_TRUE(Values(&values)) << Failure() << Events();
  ASSERT_EQ(values.size(), 1u);
  const double exact = 1.0 / (3.0 * x * x + 1.0);
  EXPECT_NEAR(values[0], 0.25, 1e-8);
  EXPECT_NEAR(values[0], exact, 1e-8 * exact);

  constexpr double h = 1e-3;
  double solved[2] = {0.0, 0.0};
  for (int side = 0; side < 2; ++side) {
    ASSERT_TRUE(Set("p", side == 0 ? 2.0 + h : 2.0 - h)) << Failure();
    ASSERT_TRUE(SteadyState()) << Failure() << Events();
    ASSERT_TRUE(Read(2, &solved[side])) << Failure();
  }
  EXPECT_NEAR((solved[0] - solved[1]) / (2 * h), values[0], 1e-5);
  ASSERT_TRUE(Finish()) << Failure() << Events();
  EXPECT_EQ(Events().find("failure"), std::string::npos) << Events();
}

// x' = -p x from x(0) = 1.
void Decay(Writer& w, double p) { engineroad::DecayModel(w, ".p", p); }

// Its dynamic run: points every 0.25, tolerances tight enough for the
// closed form to 1e-7.
RunSettings DecaySettings() {
  RunSettings settings;
  settings.run_mode = 4;
  settings.interval = 0.25;
  settings.rtol = 1e-10;
  settings.atol = 1e-10;
  return settings;
}

// A dynamic run with sensitivities on: the engine's run steps ask the
// sensitivity manager, the integrator server carries the sensitivities
// through IDAS with the engine's corrector, and request 55 gives dx/dp =
// -t e^(-p t) at every communication point.
TEST_F(SensitivityRoad, DynamicDecayMatchesTheClosedFormAtEveryPoint) {
  constexpr double p = 0.7;
  const RunSettings settings = DecaySettings();
  ASSERT_TRUE(Start(settings, [&](Writer& w) { Decay(w, p); }) && Register({2}, {1}))
      << Failure() << Events();
  std::vector<double> times;
  const bool ran = Dynamic(5, settings.interval, [&](double t) {
    double x = 0.0;
    std::vector<double> values;
    if (!Read(2, &x) || !Values(&values)) return false;
    times.push_back(t);
    EXPECT_NEAR(x, std::exp(-p * t), 1e-7) << t;
    EXPECT_EQ(values.size(), 1u) << t;
    if (values.size() == 1) {
      const double exact = -t * std::exp(-p * t);
      EXPECT_NEAR(values[0], exact, 1e-7 * std::max(1e-3, std::fabs(exact))) << t;
    }
    return true;
  });
  ASSERT_TRUE(ran) << Failure() << Events();
  EXPECT_EQ(times.size(), 5u);
  ASSERT_TRUE(Finish()) << Failure() << Events();
}

// With a quality-control file named, the dynamic run's sensitivities go
// into it beside the value tables: one "Sens:" line of dx/dp per step,
// each -t e^(-p t) at the step's time.
TEST_F(SensitivityRoad, TheQualityFileCarriesTheSensitivityLines) {
  constexpr double p = 0.7;
  const std::string file = work_.path().string() + "/qc.txt";
  testsupport::ScopedEnv named("SPQCFILE", file.c_str());
  const RunSettings settings = DecaySettings();
  ASSERT_TRUE(Start(settings, [&](Writer& w) { Decay(w, p); }) && Register({2}, {1}))
      << Failure() << Events();
  std::vector<double> exact;
  ASSERT_TRUE(Dynamic(5, settings.interval, [&](double t) {
    exact.push_back(-t * std::exp(-p * t));
    return true;
  })) << Failure() << Events();
  ASSERT_TRUE(Finish()) << Failure() << Events();

  std::ifstream in(file);
  ASSERT_TRUE(in) << file;
  const std::string head = "Sens: d(Model.x) by d(Model.p) = ";
  std::vector<double> written;
  bool tables = false;
  for (std::string line; std::getline(in, line);) {
    tables = tables || line.find("DYN-Value") != std::string::npos;
    if (line.rfind("Sens:", 0) != 0) continue;
    ASSERT_EQ(line.compare(0, head.size(), head), 0) << line;
    written.push_back(std::stod(line.substr(head.size())));
  }
  EXPECT_TRUE(tables);
  ASSERT_FALSE(written.empty());
  // Every point's value is among the lines (a step may write more than one).
  for (double want : exact) {
    const bool found = std::any_of(written.begin(), written.end(), [&](double v) {
      return std::fabs(v - want) <= 2e-5 * std::max(1e-3, std::fabs(want));
    });
    EXPECT_TRUE(found) << want;
  }
}

// x' = -p x from x(0) = 1 and y = DELAY(x, 0.5): p fixed (1), x (2), y (3).
void DelayedDecay(Writer& w, double p) {
  w.List(5);
  ModelVariable(w, modelwriter::kRealVariable, 1, ".p", p, 4);
  ModelVariable(w, modelwriter::kStateVariable, 2, ".x", 1.0, 32);
  ModelVariable(w, modelwriter::kRealVariable, 3, ".y", 1.0, 1);
  ModelEquation(w, 10, ".e", Add(Var(0), Mul(Var(1), Var(2))), {{2, 2, 1}, {2, 1}, {2, 2}});
  ModelEquation(w, 11, ".late", Sub(Var(0), modelwriter::Delay(Var(1), Real(0.5))),
                {{2, 3}, {2, 2}});
}

// The delayed variable's sensitivity is the undelayed one half a time unit
// ago: dy/dp = -(t - 0.5) e^(-p (t - 0.5)) from t = 0.5 and 0 before, in
// request 55 and in the quality file's "Sens:" lines, while dx/dp stays
// -t e^(-p t); by the interpreter and by a compiled library alike.
TEST_F(SensitivityRoad, ADelayedVariableCarriesTheSensitivityOfItsLag) {
  constexpr double p = 0.7;
  const auto prefix = testsupport::MakeCompilerInstallation(work_.path() / "install", true);
  for (const bool compiled : {false, true}) {
    SCOPED_TRACE(compiled ? "compiled" : "interpreted");
    CloseEngine();
    const std::string file = work_.path().string() + (compiled ? "/qc2.txt" : "/qc1.txt");
    testsupport::ScopedEnv named("SPQCFILE", file.c_str());
    testsupport::ScopedEnv use("QLN_CE_USE", compiled ? "1" : "0");
    testsupport::ScopedEnv folder("QLNSERVERDIR", (prefix / "bin").c_str());
    testsupport::ScopedEnv keep("QLN_CE_KEEP", "0");
    RunSettings settings = DecaySettings();
    settings.rtol = 1e-8;
    settings.atol = 1e-8;
    ASSERT_TRUE(Start(settings, [&](Writer& w) { DelayedDecay(w, p); }) && Register({2, 3}, {1}))
        << Failure() << Events();
    std::vector<double> late;
    const bool ran = Dynamic(13, settings.interval, [&](double t) {
      std::vector<double> values;
      if (!Values(&values) || values.size() != 2) return false;
      const double lag = t - 0.5;
      const double dx = -t * std::exp(-p * t);
      const double dy = lag < 0.0 ? 0.0 : -lag * std::exp(-p * lag);
      late.push_back(dy);
      EXPECT_NEAR(values[0], dx, 1e-5 * std::max(0.1, std::fabs(dx))) << t;
      EXPECT_NEAR(values[1], dy, 1e-6 * std::max(0.1, std::fabs(dy))) << t;
      return true;
    });
    ASSERT_TRUE(ran) << Failure() << Events();
    EXPECT_EQ(Events().find("Loaded flowsheet object code library") != std::string::npos,
              compiled);
    ASSERT_TRUE(Finish()) << Failure() << Events();

    std::ifstream in(file);
    ASSERT_TRUE(in) << file;
    const std::string head = "Sens: d(Model.y) by d(Model.p) = ";
    std::vector<double> written;
    for (std::string line; std::getline(in, line);) {
      if (line.compare(0, head.size(), head) == 0) {
        written.push_back(std::stod(line.substr(head.size())));
      }
    }
    ASSERT_FALSE(written.empty());
    for (double want : late) {
      const bool found = std::any_of(written.begin(), written.end(), [&](double v) {
        return std::fabs(v - want) <= 1e-4 * std::max(0.1, std::fabs(want));
      });
      EXPECT_TRUE(found) << want;
    }
  }
}

// x' = -p x + u from x(0) = 1, u = 0 until Time passes `at`, then 1 (an
// IF), y = DELAY(x, 0.5) and z' = y from z(0) = 0: p fixed (1), u (2),
// x (3), y (4), z (5).
void SwitchedDelayedDecay(Writer& w, double p) {
  using modelwriter::Delay;
  w.List(9);
  ModelVariable(w, modelwriter::kRealVariable, 1, ".p", p, 4);
  ModelVariable(w, modelwriter::kRealVariable, 2, ".u", 0.0, 1);
  ModelVariable(w, modelwriter::kStateVariable, 3, ".x", 1.0, 32);
  ModelVariable(w, modelwriter::kRealVariable, 4, ".y", 1.0, 1);
  ModelVariable(w, modelwriter::kStateVariable, 5, ".z", 0.0, 32);
  ModelEquation(w, 10, ".e", Sub(Add(Var(0), Mul(Var(1), Var(2))), Var(3)),
                {{2, 3, 1}, {2, 1}, {2, 3}, {2, 2}});
  ModelEquation(w, 11, ".late", Sub(Var(0), Delay(Var(1), Real(0.5))), {{2, 4}, {2, 3}});
  ModelEquation(w, 12, ".sum", Sub(Var(0), Var(1)), {{2, 5, 1}, {2, 4}});
  timemodels::ClockedU(w, 1.0, 0.0);
}

// The closed form of SwitchedDelayedDecay with its switch at ts.
struct SwitchedForm {
  double p, ts;
  // x and the integral of x from 0 to t, with their derivatives by p.
  void X(double t, double* x, double* dx) const {
    const double a = t - ts, e = std::exp(-p * t), ea = std::exp(-p * a);
    *x = e + (a > 0.0 ? (1.0 - ea) / p : 0.0);
    *dx = -t * e + (a > 0.0 ? (a * ea * p - (1.0 - ea)) / (p * p) : 0.0);
  }
  void IntegralX(double t, double* i, double* di) const {
    const double a = t - ts, e = std::exp(-p * t), ea = std::exp(-p * a);
    *i = (1.0 - e) / p;
    *di = (t * e * p - (1.0 - e)) / (p * p);
    if (a > 0.0) {
      *i += a / p - (1.0 - ea) / (p * p);
      *di += -a / (p * p) - a * ea / (p * p) + 2.0 * (1.0 - ea) / (p * p * p);
    }
  }
  // {x, y, z, dx/dp, dy/dp, dz/dp}; y reads x(0) = 1 until the lag has passed.
  std::vector<double> At(double t) const {
    std::vector<double> v(6, 0.0);
    X(t, &v[0], &v[3]);
    v[1] = 1.0;
    v[2] = std::min(t, 0.5);
    if (t > 0.5) {
      X(t - 0.5, &v[1], &v[4]);
      double i = 0.0, di = 0.0;
      IntegralX(t - 0.5, &i, &di);
      v[2] += i;
      v[5] = di;
    }
    return v;
  }
};

void SensitivityRoad::CrossTheSwitch(double ts, bool reinitialise, std::vector<double>* stops,
                                     double interval, double tolerance) {
  constexpr double p = 0.7;
  CloseEngine();
  RunSettings settings = DecaySettings();
  settings.interval = interval;
  settings.rtol = settings.atol = tolerance;
  settings.conditions = {{1, modelwriter::Greater(modelwriter::Time(), Real(ts))}};
  ASSERT_TRUE(
      Start(settings, [&](Writer& w) { SwitchedDelayedDecay(w, p); }) &&
      (!reinitialise || (IntOption(144, 1) && IntOption(145, 1) && RealOption(156, 1e-12))) &&
      Register({3, 4, 5}, {1}))
      << Failure() << Events();
  ASSERT_TRUE(BeginRun() && Step(0.0)) << Failure() << Events();
  const SwitchedForm form{p, ts};
  // The model and request 55 at time t against the closed form; each
  // quantity's worst miss, in units of the bound, and where. At rtol 1e-8
  // the states themselves are some 2e-8 off, before the switch too: each
  // step errs within the tolerance, all of a sign.
  const double bound = std::max(1e-8, std::min(20.0 * tolerance, 5e-8));
  std::vector<std::pair<double, double>> worst(6, {0.0, 0.0});
  const auto check = [&](double t) {
    const std::vector<double> want = form.At(t);
    std::vector<double> got(3, 0.0), sens;
    if (!Read(3, &got[0]) || !Read(4, &got[1]) || !Read(5, &got[2]) || !Values(&sens) ||
        sens.size() != 3)
      return false;
    got.insert(got.end(), sens.begin(), sens.end());
    for (std::size_t i = 0; i < 6; ++i) {
      const double miss = std::fabs(got[i] - want[i]) / (bound * std::max(1.0, std::fabs(want[i])));
      if (!(miss <= worst[i].first)) worst[i] = {miss, t};
    }
    return true;
  };
  const auto points = static_cast<int>(std::lround(3.0 / interval));
  for (int k = 1; k <= points; ++k) {
    const double t = settings.interval * k;
    ASSERT_TRUE(StepTo(t, stops, check) && check(t)) << t << ": " << Failure() << Events();
  }
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_LE(worst[i].first, 1.0) << "quantity " << i << " at t = " << worst[i].second;
  }
  ASSERT_TRUE(Finish()) << Failure() << Events();
}

// The integrator's restart at the switch takes the DELAY's share of the
// sensitivities, so the run goes on past it on the closed form; the stop
// at the switch answers the sensitivities there.
TEST_F(SensitivityRoad, SensitivitiesThroughADelayCrossASwitch) {
  for (const double ts : {1.02, 1.27}) {
    SCOPED_TRACE("switch at " + std::to_string(ts));
    std::vector<double> stops;
    CrossTheSwitch(ts, false, &stops);
    if (HasFatalFailure()) return;
    ASSERT_EQ(stops.size(), 1u) << Events();
    EXPECT_NEAR(stops[0], ts, 1e-6);
  }
}

// The same with the event located by the engine and the model
// re-initialised there (options 144 and 145): the re-initialisation's
// sensitivity solve starts from the rows at the event.
TEST_F(SensitivityRoad, SensitivitiesThroughAReinitialisationAtTheSwitch) {
  for (const double ts : {1.02, 1.27}) {
    SCOPED_TRACE("switch at " + std::to_string(ts));
    std::vector<double> stops;
    CrossTheSwitch(ts, true, &stops);
    if (HasFatalFailure()) return;
    ASSERT_FALSE(stops.empty()) << Events();
    for (const double stop : stops) EXPECT_NEAR(stop, ts, 1e-6);
  }
}

// With the switch on a multiple of the lag, the leg restarts at the
// DELAY's break there and its first step finds the event just after: the
// step that went past the event must leave nothing in the sensitivities'
// history, which the DELAY reads half a time unit later. With the switch
// at 1.5 or 2, dx/dp turns at t = 1/p before it and the DELAY reads the
// turn a lag later between rows up to 0.035 apart at rtol 1e-9. On the
// closed form at every spacing of the points and every tolerance.
TEST_F(SensitivityRoad, SensitivitiesThroughADelayWithTheSwitchOnALag) {
  for (const double ts : {0.5, 1.0, 1.5, 2.0}) {
    for (const double tolerance : {1e-8, 1e-9, 1e-10}) {
      for (const double interval : {0.01, 0.1, 0.25}) {
        std::ostringstream trace;
        trace << "switch at " << ts << ", tolerance " << tolerance << ", points every "
              << interval;
        SCOPED_TRACE(trace.str());
        std::vector<double> stops;
        CrossTheSwitch(ts, false, &stops, interval, tolerance);
        if (HasFatalFailure()) return;
        for (const double stop : stops) EXPECT_NEAR(stop, ts, 1e-6);
      }
    }
  }
}

// New lists sent to a dynamic run of a long flowsheet with
// sensitivities. While the run can go on from its last step, its
// integration carries the lists it began with: the same lists again
// change nothing and the run goes on to the numbers of a run that was
// never sent them; other lists, or none, wait (busy) with one line that
// says why. While a step computes, every list waits (the sanitizer tree
// runs this road too).
TEST_F(SensitivityRoad, NewListsWaitWhileTheIntegrationGoesOn) {
  using F = modelwriter::SeriesFlowsheet;
  F sheet;
  sheet.units = 60;
  const std::vector<std::uint32_t> variables{sheet.Index(0, sheet.units - 1, F::kMass)};
  const std::vector<std::uint32_t> parameters{sheet.Index(0, 0, F::kValve)};
  const std::vector<std::uint32_t> others{sheet.Index(0, 1, F::kValve)};
  constexpr Status kBusy = 0x0032000Au;
  const std::string held = "The sensitivity lists stay as the dynamic run began with them";
  auto ask = [&](std::unique_ptr<vantor_client::Request> request, Status* answer) {
    return road_->Exchange(std::move(request), "service 64", answer);
  };
  auto clear = [] {
    auto request = std::make_unique<vantor_client::Request>(kSensitivityService);
    Writer(*request).U16(54);
    Writer(*request).U16(0);
    return request;
  };
  // d(last mass)/d(first valve) at t = 1, the lists sent again between
  // the steps or not.
  auto run = [&](bool resend, double* at_one) {
    RunSettings settings;
    settings.run_mode = 4;
    settings.interval = 0.5;
    ASSERT_TRUE(Start(settings, [&](Writer& w) { sheet.Write(w, Node(), {sheet.Valves()}); }))
        << Failure() << Events();
    ASSERT_TRUE(Register(variables, parameters)) << Failure() << Events();
    ASSERT_TRUE(BeginRun() && Step(0.0) && Step(0.5)) << Failure() << Events();
    if (resend) {
      const std::size_t from = run_.events.size();
      Status same = 1, other = 1, none = 1;
      ASSERT_TRUE(ask(Lists(variables, parameters), &same) &&
                  ask(Lists(variables, others), &other) && ask(clear(), &none) &&
                  ask(Lists(variables, others), &other))
          << Failure();
      EXPECT_EQ(same, 0u);
      EXPECT_EQ(other, kBusy);
      EXPECT_EQ(none, kBusy);
      const std::vector<std::string> said = LinesSince(from);
      EXPECT_EQ(std::count_if(said.begin(), said.end(),
                              [&](const std::string& l) { return l.find(held) != l.npos; }),
                1)
          << Events();
    }
    ASSERT_TRUE(Step(1.0)) << Failure() << Events();
    std::vector<double> sens;
    ASSERT_TRUE(Values(&sens)) << Failure();
    ASSERT_EQ(sens.size(), 1u);
    *at_one = sens[0];
  };
  double plain = 0.0, resent = 0.0;
  ASSERT_NO_FATAL_FAILURE(run(false, &plain));
  ASSERT_TRUE(FinishRun()) << Failure() << Events();
  ASSERT_NO_FATAL_FAILURE(run(true, &resent));
  EXPECT_NE(plain, 0.0);
  EXPECT_DOUBLE_EQ(resent, plain);

  // A continuous run: between its steps the same lists are taken, while
  // a step computes they wait.
  ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 9), "command 9", 0))
      << Failure() << Events();
  int taken = 0;
  int busy = 0;
  const auto until =
      std::chrono::steady_clock::now() + testsupport::HangBound(std::chrono::seconds(60));
  while ((busy == 0 || taken == 0) && std::chrono::steady_clock::now() < until) {
    Status s = 1;
    ASSERT_TRUE(ask(Lists(variables, parameters), &s)) << Failure();
    ASSERT_TRUE(s == 0 || s == kBusy) << vantor_scenario::Hex(s) << Events();
    (s == 0 ? taken : busy) += 1;
  }
  // How many land inside a step is the scheduler's choice: one shows it.
  EXPECT_GE(busy, 1);
  EXPECT_GT(taken, 0);
  ASSERT_TRUE(CommandOnceIdle(8, "command 8")) << Failure() << Events();
  ASSERT_TRUE(FinishRun()) << Failure() << Events();
}

// A tank whose outflow F = k sqrt(M) makes the corrector's group
// nonlinear: M' = 2 - F from M = 1. M, F and their sensitivities to k at
// t = 1, 2, 3 against a fine fixed-step RK4 of the system with its
// sensitivity equation (s' = -sqrt(M) - k s / (2 sqrt(M))).
TEST_F(SensitivityRoad, ANonlinearCorrectorGroupIntegratesAndCarriesSensitivities) {
  RunSettings settings;
  settings.run_mode = 4;
  settings.interval = 1.0;
  settings.rtol = 1e-8;
  settings.atol = 1e-10;
  ASSERT_TRUE(Start(settings, engineroad::ValveTankModel)) << Failure() << Events();
  ASSERT_TRUE(Register({2, 3}, {1})) << Failure() << Events();
  // M, dM/dk and dF/dk at t = 1, 2, 3.
  const double reference[3][3] = {{2.013676829930, -1.070675057079, 1.117238343106},
                                   {2.773107195179, -2.202602434906, 1.136195339543},
                                   {3.369108396082, -3.328371540093, 1.110185355346}};
  int points = 0;
  ASSERT_TRUE(Dynamic(4, settings.interval, [&](double t) {
    if (t == 0.0) return true;
    double m = 0.0;
    std::vector<double> values;
    if (!Read(2, &m) || !Values(&values) || values.size() != 2) return false;
    const double* want = reference[points++];
    EXPECT_NEAR(m, want[0], 1e-6 * want[0]) << t;
    EXPECT_NEAR(values[0], want[1], 1e-5 * std::fabs(want[1])) << t;
    EXPECT_NEAR(values[1], want[2], 1e-5 * std::fabs(want[2])) << t;
    return true;
  })) << Failure() << Events();
  EXPECT_EQ(points, 3);
  ASSERT_TRUE(Finish()) << Failure() << Events();
}

// The ten valve coefficients as sensitivity parameters of the flowsheet,
// the masses, temperatures and outflows as variables, integrated to t = 1
// and t = 2 at rtol 1e-8; against central differences of runs at rtol
// 1e-12 with each coefficient moved by +-h. The moved runs are copies of
// the flowsheet in one engine.
TEST_F(SensitivityRoad, TenUnitFlowsheetMatchesCentralDifferences) {
  using F = modelwriter::SeriesFlowsheet;
  const F sheet;
  const std::vector<double> valves = sheet.Valves();
  std::vector<std::uint32_t> variables, parameters;
  for (std::uint32_t u = 0; u < sheet.units; ++u) {
    for (std::uint32_t slot : {F::kMass, F::kTemperature, F::kFlow})
      variables.push_back(sheet.Index(0, u, slot));
    parameters.push_back(sheet.Index(0, u, F::kValve));
  }
  RunSettings settings;
  settings.run_mode = 4;
  settings.interval = 1.0;
  settings.rtol = 1e-8;
  settings.atol = 1e-10;
  ASSERT_TRUE(Start(settings, [&](Writer& w) { sheet.Write(w, Node(), {valves}); })) << Failure() << Events();
  ASSERT_TRUE(Register(variables, parameters)) << Failure() << Events();
  std::vector<std::vector<double>> sensitivities;  // per time, variable-major
  ASSERT_TRUE(Dynamic(3, settings.interval, [&](double t) {
    if (t == 0.0) return true;
    std::vector<double> values;
    if (!Values(&values)) return false;
    sensitivities.push_back(values);
    return true;
  })) << Failure() << Events();
  ASSERT_TRUE(Finish()) << Failure() << Events();
  ASSERT_EQ(sensitivities.size(), 2u);
  ASSERT_EQ(sensitivities[0].size(), variables.size() * parameters.size());

  // Copy 2j moves k_j up by h_j, copy 2j + 1 down, integrated tightly so
  // that the differences carry no integration error worth the name.
  std::vector<std::vector<double>> moved;
  std::vector<double> h;
  for (std::uint32_t j = 0; j < sheet.units; ++j) {
    h.push_back(1e-4 * valves[j]);
    for (const double sign : {1.0, -1.0}) {
      moved.push_back(valves);
      moved.back()[j] += sign * h.back();
    }
  }
  settings.rtol = 1e-12;
  settings.atol = 1e-12;
  ASSERT_TRUE(Start(settings, [&](Writer& w) { sheet.Write(w, Node(), moved); })) << Failure() << Events();
  std::vector<std::vector<double>> solved;  // per time, copy-major then variable
  ASSERT_TRUE(Dynamic(3, settings.interval, [&](double t) {
    if (t == 0.0) return true;
    solved.emplace_back();
    for (std::uint32_t c = 0; c < moved.size(); ++c) {
      for (std::uint32_t u = 0; u < sheet.units; ++u) {
        for (std::uint32_t slot : {F::kMass, F::kTemperature, F::kFlow}) {
          double value = 0.0;
          if (!Read(sheet.Index(c, u, slot), &value)) return false;
          solved.back().push_back(value);
        }
      }
    }
    return true;
  })) << Failure() << Events();
  ASSERT_TRUE(Finish()) << Failure() << Events();
  ASSERT_EQ(solved.size(), 2u);

  const std::size_t n = variables.size();
  double worst = 0.0;
  for (std::size_t when = 0; when < 2; ++when) {
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < sheet.units; ++j) {
        const double up = solved[when][(2 * j) * n + i];
        const double down = solved[when][(2 * j + 1) * n + i];
        const double difference = (up - down) / (2 * h[j]);
        const double ours = sensitivities[when][i * sheet.units + j];
        // Upstream of the valve nothing moves: both sides are 0 there.
        const double error = std::fabs(ours - difference) / std::max(std::fabs(difference), 1e-3);
        worst = std::max(worst, error);
        EXPECT_LE(error, 1e-5) << "t = " << (when + 1) * settings.interval << ", variable " << i
                               << ", k" << j << ": " << ours << " against " << difference;
      }
    }
  }
  RecordProperty("worst_relative_error", std::to_string(worst));
}

}  // namespace
