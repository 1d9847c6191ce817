// Compiled evaluation through the real engine on the equation forms its
// code writers handle apart from plain residuals: an IF whose branch
// changes at a state event, a switch with transitions, and a sum over an
// array reference that follows its state. Each runs compiled, to its
// closed form. Then the model is edited and prepared again: the engine
// builds a second library for the new problem, and the run follows the
// edited model.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/codegen/compiled_road_fixture.h"
#include "tests/support/hang_bound.h"
#include "tests/support/scoped_env.h"
#include "tests/tools/tank_event_models.h"

namespace compiled_evaluation_road {

namespace mw = modelwriter;

using engineroad::kEventTime;
using engineroad::kProblemService;
using engineroad::kResultsService;
using engineroad::ModelEquation;
using engineroad::ModelVariable;
using modelwriter::Writer;
using vantor_client::MakeCommand;

// a fixed, x' = rate from x(0) = 0.5, s = SIGMA(ARRAY[x, a]): s = 0.5 + a +
// rate t.
void ArraySum(Writer& w, double a, double rate) {
  w.List(5);
  ModelVariable(w, mw::kRealVariable, 1, ".a", a, 4);
  ModelVariable(w, mw::kStateVariable, 2, ".x", 0.5, 32);
  ModelVariable(w, mw::kRealVariable, 3, ".s", 0.0, 1);
  ModelEquation(w, 10, ".rate", mw::Sub(mw::Var(0), mw::Real(rate)), {{2, 2, 1}});
  auto array = std::make_shared<mw::Node>(*mw::Var(0));
  array->type = 0x104;
  w.Item(mw::kInlineEquation);
  w.U32(0);
  w.Expression(mw::Sub(mw::Var(1), mw::Unary(42, array)));
  w.Placement({engineroad::Node(), {11, ".sum"}});
  w.EquationHead(2);
  w.ArrayReference(1, 2);
  w.Member({2, 2});
  w.Member({2, 1});
  w.Reference({2, 3});
}

class CodegenCompileEvaluationRoad : public codegen_test::CompiledRoad {
 protected:
  // Compiled evaluation asked for through the environment, Gear12 at
  // tolerance 1e-8, the conditions h > 1.2 (1) and 1.0 > h (2) in the
  // library, then the model.
  bool Start(const std::string& name, double interval, const std::function<void(Writer&)>& model) {
    run_ = {};
    vantor_client::EngineOptions engine = Engine();
    engine.timeout_ms = testsupport::HangBoundMs(120000);
    if (!StartEngine(engine, name) ||
        !road_->Expect(MakeCommand(kResultsService, 32, {}, {interval}), "command 32", 0) ||
        !IntOption(30, 4) || !RealOption(130, 1e-8) || !RealOption(131, 1e-8) || !IntOption(29, 4))
      return false;
    return Conditions(engineroad::TankConditions()) && Load(model);
  }

  bool Value(std::uint32_t index, double* value) {
    return road_->Read(index, value, "value " + std::to_string(index));
  }

  std::size_t Count(const std::string& text) const {
    std::size_t n = 0;
    for (const std::string& line : run_.events) n += line.find(text) != std::string::npos;
    return n;
  }

  testsupport::ScopedEnv use_{"QLN_CE_USE", "1"};
  testsupport::ScopedEnv keep_{"QLN_CE_KEEP", "0"};
};

TEST_F(CodegenCompileEvaluationRoad, ConditionalEquationsRunCompiledToTheClosedForm) {
  const struct {
    const char* what;
    std::function<void(Writer&)> model;
    const char* moved;
  } cases[] = {
      {"IF", engineroad::WeirTank, "Equation Model.Weir moved from ELSE branch to THEN branch"},
      {"switch", engineroad::ValveTank, "Equation Model.Valve moved from Closed to Open"}};
  for (const auto& c : cases) {
    ASSERT_TRUE(Start(c.what, 0.5, c.model)) << c.what << ": " << Failure() << "\n" << Events();
    ASSERT_TRUE(BeginRun()) << Failure();
    std::vector<double> stops;
    for (int k = 0; k <= 6; ++k) {
      const double t = 0.5 * k;
      ASSERT_TRUE(StepTo(t, &stops)) << c.what << ": " << Failure() << "\n" << Events();
      double h = 0.0;
      ASSERT_TRUE(Value(1, &h)) << Failure();
      EXPECT_NEAR(h, engineroad::WeirLevel(t), 1e-6) << c.what << " at " << t;
    }
    ASSERT_TRUE(FinishRun()) << Failure();
    EXPECT_EQ(Count("Loaded flowsheet object code library (tcex"), 1u) << c.what << Events();
    EXPECT_EQ(Count("could not be compiled"), 0u) << c.what << Events();
    ASSERT_EQ(stops.size(), 1u) << c.what;
    EXPECT_NEAR(stops[0], kEventTime, 1e-6) << c.what;
    EXPECT_EQ(Count(c.moved), 1u) << c.what << Events();
  }
}

TEST_F(CodegenCompileEvaluationRoad, AnEditedModelGetsALibraryOfItsOwn) {
  ASSERT_TRUE(Start("Edited", 0.25, [](Writer& w) { ArraySum(w, 0.24, 0.7); })) << Failure() << "\n"
                                                                                << Events();
  ASSERT_TRUE(BeginRun()) << Failure();
  for (int k = 0; k <= 4; ++k) {
    const double t = 0.25 * k;
    ASSERT_TRUE(Step(t)) << Failure() << "\n" << Events();
    double s = 0.0;
    ASSERT_TRUE(Value(3, &s)) << Failure();
    EXPECT_NEAR(s, 0.74 + 0.7 * t, 1e-7) << t;
  }
  auto end = std::make_unique<vantor_client::Request>(kProblemService);
  end->PutUInt16(134);
  ASSERT_TRUE(road_->Expect(std::move(end), "request 134", engineroad::kRunEnded)) << Failure();
  EXPECT_EQ(Count("Loaded flowsheet object code library (tcex0)"), 1u) << Events();

  // The edit: another fixed member and another rate, prepared again.
  auto fill = vantor_scenario::InstanceEdit(3, 10);
  Writer w(*fill);
  w.IdPath({2});
  ArraySum(w, -0.5, 2.0);
  ASSERT_TRUE(road_->Expect(std::move(fill), "the edit", 0)) << Failure();
  ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 6, {0, 0}), "command 6 again", 0))
      << Failure() << "\n"
      << Events();
  ASSERT_TRUE(road_->WaitNotice(
      [](const vantor_scenario::Notification& n) {
        return (n.bits & engineroad::kPreparedBits) == engineroad::kPreparedBits;
      },
      "prepared again"))
      << Failure() << "\n"
      << Events();
  // The run goes on from the clock's time, x from where the edit left it:
  // x rises at the new rate and s = x - 0.5.
  ASSERT_TRUE(BeginRun()) << Failure() << "\n" << Events();
  double x0 = 0.0;
  for (int k = 0; k <= 4; ++k) {
    const double t = 1.0 + 0.25 * k;
    ASSERT_TRUE(Step(t)) << Failure() << "\n" << Events();
    double x = 0.0, s = 0.0;
    ASSERT_TRUE(Value(2, &x) && Value(3, &s)) << Failure();
    if (k == 0) x0 = x;
    EXPECT_NEAR(x, x0 + 2.0 * (t - 1.0), 1e-7) << t;
    EXPECT_NEAR(s, x - 0.5, 1e-7) << t;
  }
  ASSERT_TRUE(FinishRun()) << Failure();
  EXPECT_EQ(Count("Loaded flowsheet object code library (tcex1)"), 1u) << Events();
  EXPECT_EQ(Count("could not be compiled"), 0u) << Events();
}

}  // namespace compiled_evaluation_road
