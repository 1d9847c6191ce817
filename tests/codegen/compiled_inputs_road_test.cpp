// Compiled evaluation switched on as a client does it (option 118 and
// command 80, no environment variables) on the heated tank train of ten
// units: the library is built in the run folder, option 119 keeps its
// source, and the feed step that a set-item makes between two steps reaches
// the compiled equations as it reaches the interpreted ones. Both runs are
// checked against the train's reference values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/codegen/compiled_road_fixture.h"
#include "tests/support/hang_bound.h"
#include "tests/support/scoped_env.h"
#include "tests/tools/engine_road_fixture.h"
#include "tools/result_replies.h"

namespace {

namespace fs = std::filesystem;
namespace mw = modelwriter;

using engineroad::EngineRoad;
using engineroad::kProblemService;
using engineroad::kResultsService;
using engineroad::Node;
using modelwriter::Writer;
using vantor_client::MakeCommand;

constexpr std::uint32_t kUnits = 10;
constexpr double kValve = 2.0, kHeat = 4180.0, kTransfer = 5000.0, kSteam = 400.0;
constexpr double kFeedTemperature = 300.0;
constexpr std::uint32_t kFeedIndex = 1;

// Unit u's items: M, T (states), F, Q and its four equations.
std::uint32_t Item(std::uint32_t u, std::uint32_t slot) { return 10 + 10 * u + slot; }
double Area(std::uint32_t u) { return 1.0 + 0.1 * ((u + 1) % 7); }

// The train at its steady state for a feed of 10 kg/s.
void TankTrain(Writer& w) {
  using mw::Add;
  using mw::Mul;
  using mw::Real;
  using mw::Sub;
  using mw::Var;
  w.List(1 + 8 * kUnits);
  engineroad::ModelVariable(w, mw::kRealVariable, kFeedIndex, ".Feed", 10.0, 4);
  const double r = 10.0 * kHeat / (10.0 * kHeat + kTransfer);
  double t_steady = kFeedTemperature;
  for (std::uint32_t u = 0; u < kUnits; ++u) {
    const std::string n = std::to_string(u + 1);
    t_steady = kSteam + (t_steady - kSteam) * r;
    engineroad::ModelVariable(w, mw::kStateVariable, Item(u, 0), ".M" + n, Area(u) * 25.0, 32);
    engineroad::ModelVariable(w, mw::kStateVariable, Item(u, 1), ".T" + n, t_steady, 32);
    engineroad::ModelVariable(w, mw::kRealVariable, Item(u, 2), ".F" + n, 10.0, 1);
    engineroad::ModelVariable(w, mw::kRealVariable, Item(u, 3), ".Q" + n,
                              kTransfer * (kSteam - t_steady), 1);
    const std::vector<std::uint32_t> f_in =
        u == 0 ? std::vector<std::uint32_t>{2, kFeedIndex} : std::vector<std::uint32_t>{2, Item(u - 1, 2)};
    const std::vector<std::uint32_t> m{2, Item(u, 0)}, dm{2, Item(u, 0), 1}, t{2, Item(u, 1)},
        dt{2, Item(u, 1), 1}, f{2, Item(u, 2)}, q{2, Item(u, 3)};
    // M' - F_in + F = 0
    engineroad::ModelEquation(w, Item(u, 4), ".mass" + n, Add(Sub(Var(0), Var(1)), Var(2)),
                              {dm, f_in, f});
    // M c T' - F_in c (T_in - T) - Q = 0
    const mw::Expr t_in = u == 0 ? Real(kFeedTemperature) : Var(5);
    std::vector<std::vector<std::uint32_t>> energy_refs{m, dt, f_in, t, q};
    if (u > 0) energy_refs.push_back({2, Item(u - 1, 1)});
    engineroad::ModelEquation(
        w, Item(u, 5), ".energy" + n,
        Sub(Sub(Mul(Mul(Var(0), Real(kHeat)), Var(1)),
                Mul(Mul(Var(2), Real(kHeat)), Sub(t_in, Var(3)))),
            Var(4)),
        energy_refs);
    // F - k sqrt(M / A) = 0
    engineroad::ModelEquation(
        w, Item(u, 6), ".valve" + n,
        Sub(Var(0), Mul(Real(kValve), mw::Sqrt(mw::Div(Var(1), Real(Area(u)))))), {f, m});
    // Q - UA (T_steam - T) = 0
    engineroad::ModelEquation(w, Item(u, 7), ".heater" + n,
                              Sub(Var(0), Mul(Real(kTransfer), Sub(Real(kSteam), Var(1)))), {q, t});
  }
}

struct TrainValues {
  double m50 = NAN, t50 = NAN, m100 = NAN, t100 = NAN;
  std::vector<std::string> events;
};

std::vector<std::string> Tcex(const fs::path& folder) {
  std::vector<std::string> names;
  if (!fs::is_directory(folder)) return names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("tcex", 0) == 0) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

class CodegenCompileRoad : public codegen_test::CompiledRoad {
 protected:
  // The run to t = 100 with the feed stepped from 10 to 12 at t = 50; with
  // `compiled` compiled evaluation is asked for through the option table.
  bool RunTrain(const std::string& name, bool compiled, bool keep, TrainValues* values) {
    vantor_client::EngineOptions engine = Engine();
    engine.timeout_ms = testsupport::HangBoundMs(120000);
    if (!StartEngine(engine, name) ||
        !road_->Expect(MakeCommand(kResultsService, 32, {}, {1.0}), "command 32", 0) ||
        !IntOption(30, 4) || !RealOption(130, 1e-6) || !RealOption(131, 1e-8) ||
        !IntOption(29, 4))
      return false;
    if (compiled && (!IntOption(118, 1) || !IntOption(119, keep ? 1 : 0) ||
                     !road_->Expect(MakeCommand(kProblemService, 80, {1}), "command 80", 0)))
      return false;
    if (!Load(TankTrain) || !BeginRun()) return false;
    const fs::path run_folder = work_.path() / name;
    for (int k = 0; k <= 100; ++k) {
      const std::string what = "step " + std::to_string(k);
      if (!road_->Expect(MakeCommand(kProblemService, 10), what, 0) || !road_->WaitStep(k, what))
        return false;
      if (k == 0) built_ = Tcex(run_folder);
      if (k == 50 || k == 100) {
        double m = 0.0, t = 0.0;
        if (!road_->Read(Item(kUnits - 1, 0), &m, what) ||
            !road_->Read(Item(kUnits - 1, 1), &t, what))
          return false;
        (k == 50 ? values->m50 : values->m100) = m;
        (k == 50 ? values->t50 : values->t100) = t;
      }
      if (k == 50) {
        // A set-item of the results manager, as the client's table edits it.
        auto feed = std::make_unique<vantor_client::Request>(kResultsService, 8);
        vantor_client::PutSetReal(*feed, {2, kFeedIndex}, 1, 12.0);
        if (!road_->Expect(std::move(feed), "feed := 12", 0)) return false;
        // The applied value sends the next step through a re-initialisation
        // at t = 50; the clock stays there until the step after it.
        if (!road_->Expect(MakeCommand(kProblemService, 10), "re-initialisation", 0) ||
            !road_->WaitStep(50, "re-initialisation at 50"))
          return false;
      }
    }
    road_->Collect();
    values->events = run_.events;
    return FinishRun();
  }

  std::vector<std::string> built_;
};

bool Logged(const std::vector<std::string>& events, const std::string& text) {
  return std::any_of(events.begin(), events.end(),
                     [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

void ExpectReference(const TrainValues& v) {
  EXPECT_NEAR(v.m50, 32.5, 1e-4);
  EXPECT_NEAR(v.t50, 367.692430518, 1e-4);
  EXPECT_NEAR(v.m100, 35.4748146815, 1e-3);
  EXPECT_NEAR(v.t100, 363.709524766, 1e-3);
}

TEST_F(CodegenCompileRoad, TheFeedStepReachesTheCompiledEquations) {
  const fs::path program = fs::path(VANTOR_ENGINE).parent_path();
  const std::vector<std::string> beside_program = Tcex(program);
  TrainValues compiled;
  ASSERT_TRUE(RunTrain("Compiled", true, true, &compiled)) << Failure() << Events();
  EXPECT_TRUE(Logged(compiled.events, "Loaded flowsheet object code library (tcex0)"))
      << Events();
  // Built in the run folder, its source kept by option 119; nothing beside
  // the program or in the installation.
  EXPECT_EQ(std::count(built_.begin(), built_.end(), "tcex0.so"), 1) << ::testing::PrintToString(built_);
  EXPECT_EQ(std::count(built_.begin(), built_.end(), "tcex0.cpp"), 1);
  EXPECT_EQ(Tcex(program), beside_program);
  EXPECT_TRUE(Tcex(prefix_ / "bin").empty());
  ExpectReference(compiled);
}

TEST_F(CodegenCompileRoad, TheInterpretedTrainFollowsTheFeedStepToo) {
  TrainValues interpreted;
  ASSERT_TRUE(RunTrain("Interpreted", false, false, &interpreted)) << Failure() << Events();
  EXPECT_FALSE(Logged(interpreted.events, "Generating flowsheet object code"));
  EXPECT_TRUE(built_.empty());
  ExpectReference(interpreted);
}

}  // namespace
