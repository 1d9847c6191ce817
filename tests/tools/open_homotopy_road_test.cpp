// The homotopy object through the real engine: a client names homotopy
// variables (service 69) and chooses an open NLA solver library (request
// 111); the library, asking each group's equation set for its homotopy
// parameters, is offered those variables with their values.
#include <gtest/gtest.h>

#include <string>

#include "tests/tools/engine_road_fixture.h"

namespace open_homotopy {

using engineroad::ModelEquation;
using engineroad::ModelVariable;
using modelwriter::Add;
using modelwriter::Mul;
using modelwriter::Sub;
using modelwriter::Var;
using modelwriter::Writer;
using vantor_client::MakeCommand;

constexpr std::uint32_t kHomotopyService = 69;

// x^3 + x = p: p fixed at 2 (1), x free (2), so x = 1.
void Cubic(Writer& w) {
  w.List(3);
  ModelVariable(w, modelwriter::kRealVariable, 1, ".p", 2.0, 4);
  ModelVariable(w, modelwriter::kRealVariable, 2, ".x", 0.5, 1);
  ModelEquation(w, 10, ".e", Sub(Add(Mul(Mul(Var(0), Var(0)), Var(0)), Var(0)), Var(1)),
                {{2, 2}, {2, 1}});
}

class OpenHomotopyRoad : public engineroad::EngineRoad {
 protected:
  bool Start() {
    vantor_client::EngineOptions engine = Engine();
    engine.services = {4, 55, 67, 81, 82, 85, 86, 95};
    return StartEngine(engine, "Homotopy") && IntOption(29, 1) && Load(Cubic);
  }
  // Message 71: the homotopy variables at these indices of the node, each
  // with its target.
  bool Variables(const std::vector<std::pair<std::uint32_t, double>>& targets) {
    auto request = std::make_unique<vantor_client::Request>(kHomotopyService);
    Writer w(*request);
    w.U16(71);
    w.U16(static_cast<std::uint16_t>(targets.size()));
    for (const auto& [index, target] : targets) w.IdPath({2, index}), w.F64(target);
    return road_->Expect(std::move(request), "message 71", 0);
  }
  bool SteadyState() {
    return BeginRun() &&
           road_->Expect(MakeCommand(engineroad::kProblemService, 9), "command 9", 0) &&
           road_->WaitStep(0.0, "the steady state");
  }
  // How many times the library told `line`.
  int Told(const std::string& line) {
    int count = 0;
    for (const std::string& event : run_.events) count += event.rfind(line, 0) == 0 ? 1 : 0;
    return count;
  }
  // Request 111: the probe library as the open NLA solver, its systems
  // made anew for every group.
  bool ChooseProbe() {
    auto choose = std::make_unique<vantor_client::Request>(engineroad::kProblemService);
    Writer w(*choose);
    w.U16(111);
    choose->PutString("kvs_homotopy_probe.dll");
    w.U16(0);
    return road_->Expect(std::move(choose), "request 111", 0);
  }
};

// p named with target 10: the library is offered one parameter, at its
// value 2; named no longer, none (the library chosen again, so that the
// group's system is made again).
TEST_F(OpenHomotopyRoad, TheLibraryIsOfferedTheHomotopyVariables) {
  ASSERT_TRUE(Start()) << Failure() << Events();
  ASSERT_TRUE(Variables({{1, 10.0}}) && ChooseProbe()) << Failure() << Events();
  ASSERT_TRUE(SteadyState()) << Failure() << Events();
  double x = 0.0;
  ASSERT_TRUE(road_->Read(2, &x, "x")) << Failure();
  EXPECT_NEAR(x, 1.0, 1e-8);
  EXPECT_EQ(Told("Homotopy parameters: 1 2"), 1) << Events();
  EXPECT_EQ(Told("Homotopy parameters: 0"), 0) << Events();

  ASSERT_TRUE(Variables({}) && ChooseProbe()) << Failure();
  ASSERT_TRUE(Set("p", 10.0) && SteadyState()) << Failure() << Events();
  ASSERT_TRUE(road_->Read(2, &x, "x")) << Failure();
  EXPECT_NEAR(x, 2.0, 1e-8);
  EXPECT_EQ(Told("Homotopy parameters: 0"), 1) << Events();
  EXPECT_TRUE(FinishRun()) << Failure();
}

}  // namespace open_homotopy
