// Models driven by the simulation time that the interpreted and compiled
// road tests share: a forcing in "Time" with a closed form, and a rate that
// an IF or a switch on the library conditions Time > 0.3 (1) and
// 0.3 > Time (2) doubles at t = 0.3.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "tests/tools/engine_road_fixture.h"
#include "tools/model_writer/model_writer.h"

namespace timemodels {

constexpr double kPi = 3.14159265358979323846;
constexpr double kSwitchTime = 0.3;
constexpr std::uint16_t kFree = 1;
constexpr std::uint16_t kInitial = 32;

inline modelwriter::Expr Cosine(modelwriter::Expr a) {
  return modelwriter::Unary(26, std::move(a));
}

// x' = 1 + cos(200 pi Time) from x(0) = 0: x = t + sin(200 pi t) / (200 pi).
inline double ForcedX(double t) { return t + std::sin(200.0 * kPi * t) / (200.0 * kPi); }
inline void Forced(modelwriter::Writer& w) {
  using namespace modelwriter;
  w.List(2);
  engineroad::ModelVariable(w, kStateVariable, 1, ".x", 0.0, kInitial);
  engineroad::ModelEquation(w, 10, ".forced",
                            Sub(Var(0), Add(Real(1.0), Cosine(Mul(Real(200.0 * kPi), Time())))),
                            {{2, 1, 1}});
}

// The forced run in sixteen steps of the interval to 0.2, twenty periods:
// x (read by `x`) against its closed form after each, back at 0.2 at the end.
constexpr double kForcedInterval = 0.0125;
inline void ExpectForcedRun(const std::function<bool(double)>& step,
                            const std::function<double()>& x) {
  for (int k = 1; k <= 16; ++k) {
    const double t = kForcedInterval * k;
    ASSERT_TRUE(step(t)) << "t = " << t;
    EXPECT_NEAR(x(), ForcedX(t), 1e-6) << "t = " << t;
  }
  EXPECT_NEAR(x(), 0.2, 1e-6);
}

// The conditions the clocked models switch on.
inline std::vector<std::pair<std::uint32_t, modelwriter::Expr>> ClockConditions() {
  using namespace modelwriter;
  return {{1, Greater(Time(), Real(kSwitchTime))}, {2, Greater(Real(kSwitchTime), Time())}};
}

// x' = u with u = 2 after the switch, else 1: x = t up to 0.3, then
// 0.3 + 2 (t - 0.3).
inline double ClockedX(double t) {
  return t <= kSwitchTime ? t : kSwitchTime + 2.0 * (t - kSwitchTime);
}
inline void ClockedRate(modelwriter::Writer& w) {
  using namespace modelwriter;
  w.List(4);
  engineroad::ModelVariable(w, kStateVariable, 1, ".x", 0.0, kInitial);
  engineroad::ModelVariable(w, kRealVariable, 2, ".u", 1.0, kFree);
  engineroad::ModelEquation(w, 10, ".rate", Sub(Var(0), Var(1)), {{2, 1, 1}, {2, 2}});
}

// u = value, placed at `placement`.
inline void Rate(modelwriter::Writer& w, const std::vector<modelwriter::Step>& placement,
                 double value) {
  using namespace modelwriter;
  w.Item(kInlineEquation);
  w.U32(0);
  w.Expression(Sub(Var(0), Real(value)));
  w.Placement(placement);
  w.EquationHead(1);
  w.Reference({2, 2});
}

// IF Time > 0.3 (library condition 1) THEN u = `then` ELSE u = `otherwise`.
inline void ClockedU(modelwriter::Writer& w, double then, double otherwise) {
  const modelwriter::Step clock{8, ".Clock"};
  w.IfHead({1}, {engineroad::Node(), clock});
  w.EquationHead(0);
  w.List(1);
  Rate(w, {engineroad::Node(), clock, {1, ".Then"}, {1, ".U"}}, then);
  w.List(1);
  Rate(w, {engineroad::Node(), clock, {2, ".Else"}, {1, ".U"}}, otherwise);
}

// IF Time > 0.3 THEN u = 2 ELSE u = 1.
inline void ClockedIf(modelwriter::Writer& w) {
  ClockedRate(w);
  ClockedU(w, 2.0, 1.0);
}

// A switch from "Slow" to "Fast" on Time > 0.3 (and back on 0.3 > Time,
// which never holds again).
inline void ClockedSwitch(modelwriter::Writer& w) {
  ClockedRate(w);
  const modelwriter::Step clock{8, ".Clock"};
  w.SwitchHead({engineroad::Node(), clock}, {"Slow", "Fast"});
  for (std::uint32_t k = 0; k < 2; ++k) {
    const modelwriter::Step state{k, k == 0 ? ".Slow" : ".Fast"};
    w.List(2);
    Rate(w, {engineroad::Node(), clock, state, {1, ".U"}}, k == 0 ? 1.0 : 2.0);
    w.TransitionHead({k + 1}, {engineroad::Node(), clock, state, {5, ".Moves"}, {1, ".T"}});
    w.EquationHead(0);
    w.TargetState(k == 0 ? "Fast" : "Slow");
  }
  w.InitialState("Slow");
}

}  // namespace timemodels
