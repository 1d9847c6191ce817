// Operators the evaluator does not take, through the real engine: the
// preparation refuses the model, and one line names the equation and the
// operator, so the modeller knows what to change. The engine stays up:
// the same equation without the operator prepares and solves.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/tools/engine_road_fixture.h"
#include "tools/client.h"
#include "tools/road.h"

namespace refused_operator_road {

using engineroad::EngineRoad;
using engineroad::kProblemService;
using engineroad::ModelEquation;
using engineroad::ModelVariable;
using modelwriter::Writer;
using vantor_client::MakeCommand;
namespace mw = modelwriter;

constexpr Status kNoSolverEquation = 0x80000052u;

struct Refused {
  const char* name;
  std::uint8_t code;  // on the wire
  const char* operator_name;
};

void PrintTo(const Refused& c, std::ostream* out) { *out << c.name; }

class RefusedOperatorRoad : public EngineRoad, public ::testing::WithParamInterface<Refused> {
 protected:
  // p = -2 fixed, y calculated, y - OP(p) = 0 (or y - p = 0 without it).
  static void Model(Writer& w, const mw::Expr& right) {
    w.List(3);
    ModelVariable(w, mw::kRealVariable, 1, ".p", -2.0, 4);
    ModelVariable(w, mw::kRealVariable, 2, ".y", 0.0, 1);
    ModelEquation(w, 10, ".odd", mw::Sub(mw::Var(0), right), {{2, 2}, {2, 1}});
  }
  bool Fill(const std::function<void(Writer&)>& model) {
    auto fill = vantor_scenario::InstanceEdit(3, 10);
    Writer w(*fill);
    w.IdPath({2});
    model(w);
    return road_->Expect(std::move(fill), "filling the node", 0);
  }
};

TEST_P(RefusedOperatorRoad, TheRefusalNamesTheEquationAndTheOperator) {
  const Refused& c = GetParam();
  ASSERT_TRUE(StartEngine(Engine(), c.name)) << Failure();
  auto create = vantor_scenario::InstanceEdit(5, 5);
  Writer(*create).Placement({engineroad::Node()});
  ASSERT_TRUE(road_->Expect(std::move(create), "creating the node", 0)) << Failure();
  ASSERT_TRUE(Fill([&](Writer& w) { Model(w, mw::Unary(c.code, mw::Var(1))); })) << Failure();
  ASSERT_TRUE(
      road_->Expect(MakeCommand(kProblemService, 6, {0, 0}), "command 6", kNoSolverEquation))
      << Failure() << "\n"
      << Events();
  std::string named;
  auto find_named = [&] {
    for (const std::string& line : run_.events) {
      if (line.find("Model.odd") != std::string::npos &&
          line.find(c.operator_name) != std::string::npos) {
        named = line;
      }
    }
    return !named.empty();
  };
  // A client that closes once it reads the failure has read why already.
  EXPECT_TRUE(find_named()) << "the line came after the reply to command 6\n" << Events();
  client_->WaitFor([&] {
    road_->Collect();
    return find_named();
  });
  EXPECT_NE(named.find(std::string("the operator ") + c.operator_name + " in " + c.operator_name +
                       "(Model.p)"),
            std::string::npos)
      << Events();

  // The model mended: y = p.
  ASSERT_TRUE(Fill([](Writer& w) { Model(w, mw::Var(1)); })) << Failure();
  ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 6, {0, 0}), "command 6 again", 0))
      << Failure() << "\n"
      << Events();
  ASSERT_TRUE(BeginRun() && road_->Expect(MakeCommand(kProblemService, 9), "command 9", 0) &&
              road_->WaitStep(0.0, "the steady state"))
      << Failure() << "\n"
      << Events();
  double y = 0.0;
  ASSERT_TRUE(road_->Read(2, &y, "y")) << Failure();
  EXPECT_EQ(y, -2.0);
  EXPECT_TRUE(FinishRun()) << Failure();
}

INSTANTIATE_TEST_SUITE_P(Rows, RefusedOperatorRoad,
                         ::testing::Values(Refused{"Sign", 58, "SIGN"},
                                           Refused{"ConvertTo", 67, "CONVERTTO"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace refused_operator_road
