// A dynamic optimisation whose control is piecewise linear: in each
// element the control runs on a ramp from one value to the next, and at an
// element boundary the next ramp starts where the last ended. Fitting u to
// t^2 in the least-squares sense over [0, 1] has a closed form: the L2
// projection of t^2 on the continuous piecewise-linear functions of the
// element mesh.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/tools/engine_road_fixture.h"
#include "tests/tools/optimisation_road.h"
#include "tools/model_writer/model_writer.h"

#if defined(VANTOR_NLP_LIBRARIES)

// Named: the folder's files compile several to a unit.
namespace rampsroad {

using engineroad::ModelEquation;
using engineroad::ModelVariable;
using modelwriter::Mul;
using modelwriter::Real;
using modelwriter::Sub;
using modelwriter::Var;
using modelwriter::Writer;

// A clock tau' = 1 (index 1), the squared error z' = (u - tau^2)^2 (2),
// the control u (3), the objective J = z (4); equations 10 to 12.
void TrackSquare(Writer& w) {
  w.List(7);
  ModelVariable(w, modelwriter::kStateVariable, 1, ".tau", 0.0, 32);
  ModelVariable(w, modelwriter::kStateVariable, 2, ".z", 0.0, 32);
  ModelVariable(w, modelwriter::kRealVariable, 3, ".u", 0.0, 4);
  ModelVariable(w, modelwriter::kRealVariable, 4, ".J", 0.0, 1);
  ModelEquation(w, 10, ".etau", Sub(Var(0), Real(1.0)), {{2, 1, 1}});
  const auto error = Sub(Var(1), Mul(Var(2), Var(2)));
  ModelEquation(w, 11, ".ez", Sub(Var(0), Mul(error, error)), {{2, 2, 1}, {2, 3}, {2, 1}});
  ModelEquation(w, 12, ".eJ", Sub(Var(0), Var(1)), {{2, 4}, {2, 2}});
}

// Elements ending at `times` (the last is the final time), u piecewise
// linear in [-2, 2] from 0 at every boundary; minimise J.
void RampDefinition(Writer& w, const std::vector<double>& times) {
  const auto n = static_cast<std::uint16_t>(times.size());
  w.U16(76);
  w.U8(1), w.F64(times.back()), w.U16(n);
  for (std::size_t k = 0; k + 1 < times.size(); ++k) w.F64(times[k]);
  w.U8(0), w.U8(0), w.U8(0), w.U8(0), w.U8(1);
  w.F64(0.5), w.F64(2.0);
  for (std::uint16_t k = 0; k < n; ++k) w.F64(0.1), w.F64(1.0);
  w.U16(0), w.U16(0);
  w.U16(1);
  w.IdPath({2, 3});
  w.F64(0.0);
  for (std::uint16_t k = 0; k <= n; ++k) w.F64(0.0);
  for (std::uint16_t k = 0; k <= n; ++k) w.F64(-2.0), w.F64(2.0);
  w.U16(1);
  w.IdPath({2, 4});
  w.U16(0), w.U16(0), w.U16(0);
  w.U16(0xFFFF);
}

class ControlRampRoad : public optimisationroad::OptimisationFixture {};

// One ramp on [0, 1]: the best line is t - 1/6, J = 1/180. Two ramps
// meeting at 1/2: the hat-function projection, values -1/24, 5/24, 23/24
// at 0, 1/2, 1 and J = 1/2880. The objective is the model's J, reported
// with the optimum and held by the model at the end; the engine then ends
// with 0 (a ramp still installed when the problem went was deleted twice).
TEST_F(ControlRampRoad, PiecewiseLinearControlsReachTheLeastSquaresRamps) {
  struct Case {
    std::vector<double> times;
    std::vector<double> u;
    double j;
  };
  for (const Case& c : {Case{{1.0}, {-1.0 / 6.0, 5.0 / 6.0}, 1.0 / 180.0},
                        Case{{0.5, 1.0}, {-1.0 / 24.0, 5.0 / 24.0, 23.0 / 24.0}, 1.0 / 2880.0}}) {
    SCOPED_TRACE(std::to_string(c.times.size()) + " elements");
    CloseEngine();
    ASSERT_TRUE(Start(1, TrackSquare, 4)) << Failure() << Events();
    ASSERT_TRUE(Optimisation([](Writer& w) { w.U16(60), w.U8(1); }, "kind 60")) << Failure();
    ASSERT_TRUE(Optimisation([&](Writer& w) { RampDefinition(w, c.times); }, "kind 76"))
        << Failure();
    values_per_control_ = c.u.size();
    optimisationroad::Optimum o;
    ASSERT_TRUE(Optimise(0, 0, &o)) << Failure() << Events();
    EXPECT_NEAR(o.objective, c.j, 1e-7) << Events();
    ASSERT_EQ(o.controls.size(), c.u.size());
    for (std::size_t k = 0; k < c.u.size(); ++k) EXPECT_NEAR(o.controls[k], c.u[k], 1e-4) << k;
    // Once the run has ended the model holds the optimal run's end: the
    // clock at 1, the control at its last value, J = z(1); the engine then
    // ends cleanly.
    ASSERT_TRUE(EndRun()) << Failure() << Events();
    double u = 0.0, tau = 0.0, j = 0.0;
    ASSERT_TRUE(road_->Read(3, &u, "u") && road_->Read(1, &tau, "tau") && road_->Read(4, &j, "J"))
        << Failure();
    EXPECT_NEAR(tau, 1.0, 1e-9);
    EXPECT_NEAR(u, c.u.back(), 1e-4);
    EXPECT_NEAR(j, c.j, 1e-7);
    ASSERT_TRUE(EndEngine()) << Failure() << Events();
  }
}

}  // namespace rampsroad

#endif
