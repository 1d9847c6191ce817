// Equations in the forms a modelling environment may send them, through the
// real engine: the sum and product nodes of x' + k x = 0 sent without a
// result type take theirs from their operands, and the model solves as the
// typed one does.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "tests/tools/engine_road_fixture.h"
#include "tools/client.h"
#include "tools/road.h"

namespace {

using engineroad::EngineRoad;
using engineroad::kProblemService;
using engineroad::kResultsService;
using modelwriter::Writer;
using vantor_client::MakeCommand;

// The node as sent without a result type.
modelwriter::Expr Untyped(const modelwriter::Expr& typed) {
  auto node = std::make_shared<modelwriter::Node>(*typed);
  node->type = 0;
  return node;
}

class EquationFormsRoad : public EngineRoad {
 protected:
  double X() {
    double x = std::nan("");
    road_->Read(2, &x, "x");
    return x;
  }
};

TEST_F(EquationFormsRoad, ASumAndProductSentWithoutATypeSolve) {
  using modelwriter::Var;
  constexpr double kRate = 0.5;
  const bool ok = [&] {
    if (!StartEngine(Engine(), "Untyped") ||
        !road_->Expect(MakeCommand(kResultsService, 32, {}, {0.1}), "command 32", 0) ||
        !IntOption(30, 4) || !RealOption(130, 1e-9) || !RealOption(131, 1e-9) || !IntOption(29, 4))
      return false;
    return Load([&](Writer& w) {
      w.List(3);
      engineroad::ModelVariable(w, modelwriter::kRealVariable, 1, ".k", kRate, 4);
      engineroad::ModelVariable(w, modelwriter::kStateVariable, 2, ".x", 1.0, 32);
      engineroad::ModelEquation(
          w, 10, ".e", Untyped(modelwriter::Add(Var(0), Untyped(modelwriter::Mul(Var(1), Var(2))))),
          {{2, 2, 1}, {2, 1}, {2, 2}});
    });
  }();
  ASSERT_TRUE(ok) << Failure() << "\n" << Events();
  ASSERT_TRUE(BeginRun() && Step(0.0) && Step(0.1) && Step(0.2)) << Failure() << "\n" << Events();
  EXPECT_NEAR(X(), std::exp(-kRate * 0.2), 1e-6);
  EXPECT_EQ(Events().find("does not read"), std::string::npos) << Events();
  EXPECT_TRUE(FinishRun()) << Failure();
}

}  // namespace
