// Models with a state event that the dynamic and compiled-evaluation road
// tests share: a tank whose outflow starts when its level passes a weir's
// crest, once by an IF and once by a switch, in the node Node(). Both need
// the library conditions of TankConditions().
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/tools/engine_road_fixture.h"
#include "tools/client.h"
#include "tools/model_writer/model_writer.h"
#include "tools/road.h"

namespace engineroad {

// A tank filled at 1 with area 2 from h = 0.5; its outflow q switches on
// by an IF when the level passes the weir's crest at 1.2:
// q = 0.5 (h - 1.2) above it, 0 below. The level reaches the crest at
// t* = 1.4 and then approaches 3.2: h = 1.2 + 2 (1 - exp(-(t - t*) / 4)).
constexpr double kCrest = 1.2, kEventTime = 1.4;
inline double WeirLevel(double t) {
  return t <= kEventTime ? 0.5 + t / 2 : kCrest + 2.0 * (1.0 - std::exp(-(t - kEventTime) / 4));
}

using LibraryConditions = std::vector<std::pair<std::uint32_t, modelwriter::Expr>>;

// The conditions of both tanks: h > 1.2 (1) and 1.0 > h (2).
inline LibraryConditions TankConditions() {
  using namespace modelwriter;
  return {{1, Greater(Var(0), Real(kCrest))}, {2, Greater(Real(1.0), Var(0))}};
}

// An inline equation at `placement`.
inline void PlacedEquation(modelwriter::Writer& w, const std::vector<modelwriter::Step>& placement,
                           const modelwriter::Expr& expression,
                           const std::vector<std::vector<std::uint32_t>>& references) {
  w.Item(modelwriter::kInlineEquation);
  w.U32(0);
  w.Expression(expression);
  w.Placement(placement);
  w.EquationHead(static_cast<std::uint32_t>(references.size()));
  for (const auto& reference : references) w.Reference(reference);
}

// The tank's level h (index 1), outflow q (2) and balance 2 h' = 1 - q.
inline void TankBalance(modelwriter::Writer& w) {
  using namespace modelwriter;
  ModelVariable(w, kStateVariable, 1, ".h", 0.5, 32);
  ModelVariable(w, kRealVariable, 2, ".q", 0.0, 1);
  ModelEquation(w, 10, ".balance", Sub(Mul(Real(2.0), Var(0)), Sub(Real(1.0), Var(1))),
                {{2, 1, 1}, {2, 2}});
}

// q - 0.5 (h - 1.2) = 0 over the references q, h.
inline modelwriter::Expr Spill() {
  using namespace modelwriter;
  return Sub(Var(0), Mul(Real(0.5), Sub(Var(1), Real(kCrest))));
}

inline void WeirTank(modelwriter::Writer& w) {
  using modelwriter::Var;
  w.List(4);
  TankBalance(w);
  const modelwriter::Step weir{8, ".Weir"};
  w.IfHead({1}, {Node(), weir});
  w.EquationHead(1);
  w.Reference({2, 1});
  w.List(1);
  PlacedEquation(w, {Node(), weir, {1, ".Then"}, {1, ".Q"}}, Spill(), {{2, 2}, {2, 1}});
  w.List(1);
  PlacedEquation(w, {Node(), weir, {2, ".Else"}, {1, ".Q"}}, Var(0), {{2, 2}});
}

// The same tank with a drain valve switch: "Closed" (q = 0) until h > 1.2,
// then "Open" (q = 0.5 (h - 1.2)) until 1.0 > h.
inline void ValveTank(modelwriter::Writer& w) {
  using modelwriter::Var;
  w.List(4);
  TankBalance(w);
  const modelwriter::Step valve{8, ".Valve"};
  w.SwitchHead({Node(), valve}, {"Closed", "Open"});
  for (std::uint32_t k = 0; k < 2; ++k) {
    const modelwriter::Step state{k, k == 0 ? ".Closed" : ".Open"};
    w.List(2);
    if (k == 0) {
      PlacedEquation(w, {Node(), valve, state, {1, ".Q"}}, Var(0), {{2, 2}});
    } else {
      PlacedEquation(w, {Node(), valve, state, {1, ".Q"}}, Spill(), {{2, 2}, {2, 1}});
    }
    w.TransitionHead({k == 0 ? 1u : 2u}, {Node(), valve, state, {5, ".Moves"}, {1, ".T"}});
    w.EquationHead(1);
    w.Reference({2, 1});
    w.TargetState(k == 0 ? "Open" : "Closed");
  }
  w.InitialState("Closed");
}

}  // namespace engineroad
