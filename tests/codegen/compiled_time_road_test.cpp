// The simulation time under compiled evaluation through the real engine:
// the library's equations read "Time" from the engine (QLN_Rqst), so a
// forcing in the time follows its closed form and an IF or a switch on a
// condition in the time changes branch at its time, as interpreted.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "tests/codegen/compiled_road_fixture.h"
#include "tests/support/hang_bound.h"
#include "tests/support/scoped_env.h"
#include "tests/tools/time_models.h"

namespace compiled_time_road {

using modelwriter::Writer;
using vantor_client::MakeCommand;

class CodegenCompileTimeRoad : public codegen_test::CompiledRoad {
 protected:
  // Compiled evaluation asked for through the environment, Gear12 at
  // tolerance 1e-8, the library conditions, then the model.
  bool Start(const std::string& name, double interval,
             const std::vector<std::pair<std::uint32_t, modelwriter::Expr>>& conditions,
             const std::function<void(Writer&)>& model) {
    run_ = {};
    vantor_client::EngineOptions engine = Engine();
    engine.timeout_ms = testsupport::HangBoundMs(120000);
    if (!StartEngine(engine, name) ||
        !road_->Expect(MakeCommand(engineroad::kResultsService, 32, {}, {interval}), "command 32",
                       0) ||
        !IntOption(30, 4) || !RealOption(130, 1e-8) || !RealOption(131, 1e-8) || !IntOption(29, 4))
      return false;
    return Conditions(conditions) && Load(model);
  }

  double Value(std::uint32_t index) {
    double value = std::nan("");
    road_->Read(index, &value, "value " + std::to_string(index));
    return value;
  }

  std::size_t Count(const std::string& text) const {
    std::size_t n = 0;
    for (const std::string& line : run_.events) n += line.find(text) != std::string::npos;
    return n;
  }

  // Every equation ran in the one library the engine built.
  void ExpectAllCompiled(const std::string& what) const {
    EXPECT_EQ(Count("Loaded flowsheet object code library (tcex"), 1u) << what << Events();
    EXPECT_EQ(Count("could not be compiled"), 0u) << what << Events();
  }

  testsupport::ScopedEnv use_{"QLN_CE_USE", "1"};
  testsupport::ScopedEnv keep_{"QLN_CE_KEEP", "0"};
};

TEST_F(CodegenCompileTimeRoad, AForcingInTimeFollowsItsClosedForm) {
  ASSERT_TRUE(Start("Forced", timemodels::kForcedInterval, {}, timemodels::Forced))
      << Failure() << Events();
  ASSERT_TRUE(BeginRun() && Step(0.0)) << Failure();
  timemodels::ExpectForcedRun([&](double t) { return Step(t); }, [&] { return Value(1); });
  ASSERT_FALSE(HasFatalFailure()) << Failure() << Events();
  ASSERT_TRUE(FinishRun()) << Failure();
  ExpectAllCompiled("forced");
}

TEST_F(CodegenCompileTimeRoad, AConditionOnTheTimeChangesBranchAtItsTime) {
  struct Case {
    void (*model)(Writer&);
    const char* line;
  };
  for (const Case c :
       {Case{timemodels::ClockedIf, "Equation Model.Clock moved from ELSE branch to THEN branch"},
        Case{timemodels::ClockedSwitch, "Equation Model.Clock moved from Slow to Fast"}}) {
    ASSERT_TRUE(Start("Clocked", 0.5, timemodels::ClockConditions(), c.model))
        << c.line << ": " << Failure() << Events();
    ASSERT_TRUE(BeginRun() && Step(0.0)) << Failure();
    std::vector<double> stops;
    ASSERT_TRUE(StepTo(0.5, &stops)) << c.line << ": " << Failure() << Events();
    ASSERT_EQ(stops.size(), 1u) << c.line << "\n" << Events();
    EXPECT_NEAR(stops[0], timemodels::kSwitchTime, 1e-5) << c.line;
    EXPECT_NEAR(Value(1), timemodels::ClockedX(0.5), 1e-6) << c.line;
    EXPECT_NEAR(Value(2), 2.0, 1e-12) << c.line;
    EXPECT_EQ(Count(c.line), 1u) << Events();
    ASSERT_TRUE(StepTo(1.0, &stops)) << Failure();
    EXPECT_NEAR(Value(1), timemodels::ClockedX(1.0), 1e-6) << c.line;
    ASSERT_TRUE(FinishRun()) << Failure();
    ExpectAllCompiled(c.line);
  }
}

}  // namespace compiled_time_road
