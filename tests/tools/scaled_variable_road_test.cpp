// Variables with a scale factor through the real engine: the solvers and
// the integrator work on the scaled values while the model keeps the raw
// ones, so a scaled run must give what the unscaled one gives.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tests/tools/engine_road_fixture.h"
#include "tools/client.h"

namespace {

using engineroad::ModelEquation;
using modelwriter::Add;
using modelwriter::Mul;
using modelwriter::Real;
using modelwriter::Sub;
using modelwriter::Var;
using modelwriter::Writer;
using vantor_client::MakeCommand;

constexpr double kRate = 0.5;
constexpr double kTol = 1e-8;

// A variable of the model, scaled by 1 / reciprocal unless that is 1.
void Variable(Writer& w, modelwriter::Tag kind, std::uint32_t index, const std::string& name,
              double value, std::uint16_t spec, double reciprocal) {
  w.Item(kind);
  w.Placement({engineroad::Node(), {index, name}});
  w.Value(value), w.Spec(spec);
  if (reciprocal != 1.0) w.ScaleReciprocal(reciprocal);
  w.End();
}

// x' = k (u - x) and y = 2 x, u (1) fixed, x (2) from 1, y (3): both
// unknowns scaled alike.
void Lag(Writer& w, double reciprocal) {
  w.List(5);
  Variable(w, modelwriter::kRealVariable, 1, ".u", 3.0, 4, 1.0);
  Variable(w, modelwriter::kStateVariable, 2, ".x", 1.0, 32, reciprocal);
  Variable(w, modelwriter::kRealVariable, 3, ".y", 0.0, 1, reciprocal);
  ModelEquation(w, 10, ".lag", Sub(Var(0), Mul(Real(kRate), Sub(Var(1), Var(2)))),
                {{2, 2, 1}, {2, 1}, {2, 2}});
  ModelEquation(w, 11, ".out", Sub(Var(0), Mul(Real(2.0), Var(1))), {{2, 3}, {2, 2}});
}

class ScaledVariableRoad : public engineroad::EngineRoad {
 protected:
  bool Start(const std::function<void(Writer&)>& model) {
    vantor_client::EngineOptions engine = Engine();
    engine.services = {4, 55, 67, 81, 82, 85, 86, 95};
    return StartEngine(engine, "Scaled") &&
           road_->Expect(MakeCommand(engineroad::kResultsService, 32, {}, {1.0}), "command 32",
                         0) &&
           IntOption(30, 4) && RealOption(130, kTol) && RealOption(131, kTol) && Load(model);
  }
  bool Read(std::uint32_t index, double* value) {
    return road_->Read(index, value, "value " + std::to_string(index));
  }
};

// At steady state x = u = 3 and y = 6; after u := 5 the dynamic run
// follows x = 5 - 2 exp(-k t) and y = 2 x to the integration tolerance
// (taken on the scaled values), whether x and y carry a scale of 100, of
// 1e-3 or none.
TEST_F(ScaledVariableRoad, ScaledUnknownsGiveTheUnscaledRun) {
  for (const double reciprocal : {1.0, 0.01, 1000.0}) {
    const std::string what = "scale " + std::to_string(1.0 / reciprocal);
    ASSERT_TRUE(Start([reciprocal](Writer& w) { Lag(w, reciprocal); }))
        << what << ": " << Failure() << Events();
    ASSERT_TRUE(BeginRun()) << what << ": " << Failure();
    ASSERT_TRUE(road_->Expect(MakeCommand(engineroad::kProblemService, 9), "command 9", 0) &&
                road_->WaitStep(0.0, "the steady state"))
        << what << ": " << Failure() << Events();
    double x = 0, y = 0;
    ASSERT_TRUE(Read(2, &x) && Read(3, &y)) << what << ": " << Failure();
    EXPECT_NEAR(x, 3.0, 1e-8) << what;
    EXPECT_NEAR(y, 6.0, 1e-8) << what;

    ASSERT_TRUE(Set("u", 5.0) && IntOption(29, 4) && BeginRun())
        << what << ": " << Failure() << Events();
    double worst = 0.0;
    for (int k = 0; k <= 4; ++k) {
      const std::string step = what + ", step " + std::to_string(k);
      ASSERT_TRUE(Step(static_cast<double>(k))) << step << ": " << Failure() << Events();
      ASSERT_TRUE(Read(2, &x) && Read(3, &y)) << step << ": " << Failure();
      const double exact = 5.0 - 2.0 * std::exp(-kRate * k);
      // The integrator's absolute tolerance holds for the scaled values.
      const double atol = kTol * reciprocal;
      worst = std::max(worst, std::fabs(x - exact) / (kTol * exact + atol));
      worst = std::max(worst, std::fabs(y - 2.0 * exact) / (2.0 * kTol * exact + atol));
    }
    ASSERT_TRUE(FinishRun()) << what << ": " << Failure();
    std::printf("%s: worst error %.2f tolerances\n", what.c_str(), worst);
    EXPECT_LE(worst, 20.0) << what;
    run_ = vantor_scenario::FirstOrderRun();
  }
}

// A tank whose outflow F = k sqrt(M) makes the corrector's group
// nonlinear: M' = 2 - F from M = 1, k = 0.8, M and F scaled alike. Every
// run follows a fine RK4 reference of M at t = 1, 2, 3.
TEST_F(ScaledVariableRoad, AScaledNonlinearGroupIntegratesAsAnUnscaledOne) {
  const double reference[3] = {2.013676829930, 2.773107195179, 3.369108396082};
  for (const double reciprocal : {1.0, 0.01, 1000.0}) {
    const std::string what = "scale " + std::to_string(1.0 / reciprocal);
    ASSERT_TRUE(Start([reciprocal](Writer& w) {
      w.List(5);
      Variable(w, modelwriter::kRealVariable, 1, ".k", 0.8, 4, 1.0);
      Variable(w, modelwriter::kStateVariable, 2, ".M", 1.0, 32, reciprocal);
      Variable(w, modelwriter::kRealVariable, 3, ".F", 1.0, 1, reciprocal);
      ModelEquation(w, 10, ".mass", Add(Sub(Var(0), Real(2.0)), Var(1)), {{2, 2, 1}, {2, 3}});
      ModelEquation(w, 11, ".valve", Sub(Var(0), Mul(Var(1), modelwriter::Sqrt(Var(2)))),
                    {{2, 3}, {2, 1}, {2, 2}});
    })) << what
        << ": " << Failure() << Events();
    ASSERT_TRUE(IntOption(29, 4) && BeginRun()) << what << ": " << Failure();
    double worst = 0.0;
    for (int k = 0; k <= 3; ++k) {
      const std::string step = what + ", step " + std::to_string(k);
      ASSERT_TRUE(Step(static_cast<double>(k))) << step << ": " << Failure() << Events();
      if (k == 0) continue;
      double m = 0;
      ASSERT_TRUE(Read(2, &m)) << step << ": " << Failure();
      const double exact = reference[k - 1];
      worst = std::max(worst, std::fabs(m - exact) / (kTol * exact + kTol * reciprocal));
    }
    ASSERT_TRUE(FinishRun()) << what << ": " << Failure();
    std::printf("%s: worst error %.2f tolerances\n", what.c_str(), worst);
    EXPECT_LE(worst, 20.0) << what;
    run_ = vantor_scenario::FirstOrderRun();
  }
}

}  // namespace
