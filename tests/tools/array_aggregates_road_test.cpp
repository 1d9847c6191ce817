// SIGMA, PRODUCT, MAX and MIN over an array reference, through the real
// engine: the array's members are read at every evaluation and take their
// derivatives, so a dynamic sum follows its state and an unknown inside
// the array is solved for.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "tests/tools/engine_road_fixture.h"
#include "tools/client.h"
#include "tools/road.h"

namespace array_aggregates_road {

using engineroad::EngineRoad;
using engineroad::kProblemService;
using engineroad::kResultsService;
using engineroad::ModelEquation;
using engineroad::ModelVariable;
using modelwriter::Writer;
using vantor_client::MakeCommand;
namespace mw = modelwriter;

// Wire codes of the aggregates.
constexpr std::uint8_t kSigmaCode = 42, kProductCode = 43, kMinCode = 44, kMaxCode = 45;

// Reference k read whole, as a one-dimensional real array.
mw::Expr ArrayVar(std::uint32_t k) {
  auto node = std::make_shared<mw::Node>(*mw::Var(k));
  node->type = 0x104;
  return node;
}

// An equation whose reference 0 is the array of the model's items `members`
// and whose further references are the scalars `scalars`.
void ArrayEquation(Writer& w, std::uint32_t index, const std::string& name, const mw::Expr& e,
                   const std::vector<std::uint32_t>& members,
                   const std::vector<std::vector<std::uint32_t>>& scalars) {
  w.Item(mw::kInlineEquation);
  w.U32(0);
  w.Expression(e);
  w.Placement({engineroad::Node(), {index, name}});
  w.EquationHead(static_cast<std::uint32_t>(1 + scalars.size()));
  w.ArrayReference(1, static_cast<std::uint32_t>(members.size()));
  for (std::uint32_t m : members) w.Member({2, m});
  for (const auto& s : scalars) w.Reference(s);
}

class ArrayAggregatesRoad : public EngineRoad {
 protected:
  bool Value(std::uint32_t index, double* value) {
    return road_->Read(index, value, "value " + std::to_string(index));
  }
  // The model's steady state (command 9), then x (index 2) read.
  bool SolveFor(const std::string& name, const std::function<void(Writer&)>& model, double* x) {
    return StartEngine(Engine(), name) && Load(model) && BeginRun() &&
           road_->Expect(MakeCommand(kProblemService, 9), "command 9", 0) &&
           road_->WaitStep(0.0, "the steady state") && Value(2, x) && FinishRun() &&
           (Events().find("solution failure") == std::string::npos ||
            Fail("the steady state failed"));
  }
};

// a = 0.24 fixed, x' = 0.7 from x(0) = 0.5, yS = SIGMA(ARRAY[x, a]): yS(t)
// = 0.74 + 0.7 t.
TEST_F(ArrayAggregatesRoad, ADynamicSumOverAnArrayFollowsItsState) {
  const bool ok = [&] {
    if (!StartEngine(Engine(), "ArraySum") ||
        !road_->Expect(MakeCommand(kResultsService, 32, {}, {0.25}), "command 32", 0) ||
        !IntOption(30, 4) || !RealOption(130, 1e-9) || !RealOption(131, 1e-9) || !IntOption(29, 4))
      return false;
    return Load([](Writer& w) {
      w.List(5);
      ModelVariable(w, mw::kRealVariable, 1, ".a", 0.24, 4);
      ModelVariable(w, mw::kStateVariable, 2, ".x", 0.5, 32);
      ModelVariable(w, mw::kRealVariable, 3, ".yS", 0.0, 1);
      ModelEquation(w, 10, ".rate", mw::Sub(mw::Var(0), mw::Real(0.7)), {{2, 2, 1}});
      ArrayEquation(w, 11, ".sum", mw::Sub(mw::Var(1), mw::Unary(kSigmaCode, ArrayVar(0))), {2, 1},
                    {{2, 3}});
    });
  }();
  ASSERT_TRUE(ok) << Failure() << "\n" << Events();
  ASSERT_TRUE(BeginRun()) << Failure() << "\n" << Events();
  for (int k = 0; k <= 4; ++k) {
    const double t = 0.25 * k;
    ASSERT_TRUE(Step(t)) << Failure() << "\n" << Events();
    double x = 0.0, sum = 0.0;
    ASSERT_TRUE(Value(2, &x) && Value(3, &sum)) << Failure();
    EXPECT_NEAR(x, 0.5 + 0.7 * t, 1e-7) << t;
    EXPECT_NEAR(sum, 0.74 + 0.7 * t, 1e-7) << t;
  }
  EXPECT_TRUE(FinishRun()) << Failure();
}

// The unknown x inside the array, the aggregate given: each solves to its
// closed form from the start value x = 1.
struct Inverse {
  const char* name;
  std::uint8_t code;
  double a;       // the fixed member
  double target;  // the aggregate's value
  double x;       // the solution
};

void PrintTo(const Inverse& c, std::ostream* out) { *out << c.name; }

class ArrayInverseRoad : public ArrayAggregatesRoad,
                         public ::testing::WithParamInterface<Inverse> {};

TEST_P(ArrayInverseRoad, AnUnknownInsideTheArrayIsSolvedFor) {
  const Inverse& c = GetParam();
  double x = 0.0;
  ASSERT_TRUE(SolveFor(
      c.name,
      [&](Writer& w) {
        w.List(3);
        ModelVariable(w, mw::kRealVariable, 1, ".a", c.a, 4);
        ModelVariable(w, mw::kRealVariable, 2, ".x", 1.0, 1);
        ArrayEquation(w, 10, ".e", mw::Sub(mw::Unary(c.code, ArrayVar(0)), mw::Real(c.target)),
                      {2, 1}, {});
      },
      &x))
      << Failure() << "\n"
      << Events();
  EXPECT_NEAR(x, c.x, 1e-8) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Aggregates, ArrayInverseRoad,
                         ::testing::Values(Inverse{"Sigma", kSigmaCode, 1.0, 3.0, 2.0},
                                           Inverse{"Product", kProductCode, 2.0, 3.0, 1.5},
                                           Inverse{"Max", kMaxCode, -4.0, 5.0, 5.0},
                                           Inverse{"Min", kMinCode, 7.0, 0.25, 0.25}),
                         [](const auto& info) { return std::string(info.param.name); });

// PRODUCT(ARRAY[x, a]) * x = 0.18 with a = 2 from x = 1: x^2 = 0.09.
TEST_F(ArrayAggregatesRoad, AProductOverTheArrayTimesItsMemberConvergesToTheRoot) {
  double x = 0.0;
  ASSERT_TRUE(SolveFor(
      "ProductTimes",
      [](Writer& w) {
        w.List(3);
        ModelVariable(w, mw::kRealVariable, 1, ".a", 2.0, 4);
        ModelVariable(w, mw::kRealVariable, 2, ".x", 1.0, 1);
        ArrayEquation(
            w, 10, ".e",
            mw::Sub(mw::Mul(mw::Unary(kProductCode, ArrayVar(0)), mw::Var(1)), mw::Real(0.18)),
            {2, 1}, {{2, 2}});
      },
      &x))
      << Failure() << "\n"
      << Events();
  EXPECT_NEAR(x, 0.3, 1e-8);
}

}  // namespace array_aggregates_road
