// A generated flowsheet for the group tests and benchmarks: a chain of
// units with linear, nonlinear and explicit groups of every size.
#pragma once

#include <cstdint>
#include <string>

#include "tests/daes/daes_helpers.h"

namespace grouptest {

// A chain of `units` units after a fixed feed unit 0. Each unit has flow F,
// temperature T, pressure P and a root Q: F and T form a 2x2 block (linear
// in odd units, nonlinear in even ones), P follows explicitly and Q from a
// one-variable nonlinear equation.
inline void Flowsheet(daestest::Writer& w, std::uint32_t units) {
  using daestest::mw::Mul;
  using daestest::mw::Real;
  using daestest::mw::Sub;
  using daestest::mw::Var;
  w.List(4 * (units + 1) + 4 * units);
  auto unit = [](std::uint32_t k) {
    std::string name = std::to_string(k);
    name.insert(name.begin(), 'U');
    return daestest::mw::Step{k + 2, name};
  };
  for (std::uint32_t k = 0; k <= units; ++k) {
    const char* names[] = {".F", ".T", ".P", ".Q"};
    const double fixed[] = {10.0, 350.0, 3500.0, 59.0};
    const double guess[] = {10.0, 300.0, 3000.0, 50.0};
    for (std::uint32_t i = 0; i < 4; ++i) {
      w.Item(daestest::mw::kRealVariable);
      w.Placement({unit(k), {i + 1, names[i]}});
      w.Value(k == 0 ? fixed[i] : guess[i]);
      if (k == 0) w.Spec(4);
      w.End();
    }
  }
  for (std::uint32_t k = 1; k <= units; ++k) {
    auto ref = [&](std::uint32_t u, std::uint32_t i) { w.Reference({u + 2, i}); };
    w.Item(daestest::mw::kInlineEquation), w.U32(0);
    w.Expression(Sub(Sub(Var(0), Var(1)), Mul(Real(0.001), Var(2))));
    w.Placement({unit(k), {5, ".m"}});
    w.EquationHead(3), ref(k, 1), ref(k - 1, 1), ref(k, 2);
    w.Item(daestest::mw::kInlineEquation), w.U32(0);
    auto heat = k % 2 == 1 ? Mul(Real(0.01), Var(2)) : Mul(Real(0.01), Mul(Var(2), Var(2)));
    w.Expression(Sub(Sub(Sub(Var(0), Mul(Real(0.5), Var(1))), heat), Real(150.0)));
    w.Placement({unit(k), {6, ".e"}});
    w.EquationHead(3), ref(k, 2), ref(k - 1, 2), ref(k, 1);
    w.Item(daestest::mw::kInlineEquation), w.U32(0);
    w.Expression(Sub(Var(0), Mul(Real(10.0), Var(1))));
    w.Placement({unit(k), {7, ".p"}});
    w.EquationHead(2), ref(k, 3), ref(k, 2);
    w.Item(daestest::mw::kInlineEquation), w.U32(0);
    w.Expression(Sub(Mul(Var(0), Var(0)), Var(1)));
    w.Placement({unit(k), {8, ".q"}});
    w.EquationHead(2), ref(k, 4), ref(k, 3);
  }
}

}  // namespace grouptest
