// Small models for the server tests, and a generated flowsheet pattern.
#pragma once

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>

#include "tests/outside/server_fakes.h"

namespace server_test {

using V = std::vector<double>;

// A tank: A h' = qin - qout, qout = k sqrt(h); qin fixed.
struct Tank {
  Model m;
  std::int32_t h, dh, qout, qin;
  Tank() {
    h = m.AddState(4.0, &dh);
    qout = m.AddVariable(kAlgebraic, 1.0);
    qin = m.AddVariable(kFixed, 3.0);
    const auto H = static_cast<std::size_t>(h), DH = static_cast<std::size_t>(dh),
               QO = static_cast<std::size_t>(qout), QI = static_cast<std::size_t>(qin);
    m.AddEquation({dh, qin, qout}, {1, 1, 1},
                  [=](const V& x) { return 2.0 * x[DH] - x[QI] + x[QO]; });
    m.AddEquation({qout, h}, {1, 3},
                  [=](const V& x) { return x[QO] - 0.5 * std::sqrt(std::fabs(x[H])); });
  }
};

// Steady-state model with each kind of group: an explicit equation, a 2x2
// linear group, a 2x2 nonlinear group and a 2x2 group whose equations are
// torn (flag 8), in a chain.
struct Mixed {
  Model m;
  std::int32_t a, b, c, d, e, f, g, p;
  Mixed() {
    a = m.AddVariable(kAlgebraic, 0.0);
    b = m.AddVariable(kAlgebraic, 0.0);
    c = m.AddVariable(kAlgebraic, 0.0);
    d = m.AddVariable(kAlgebraic, 2.0);
    e = m.AddVariable(kAlgebraic, 1.5);
    f = m.AddVariable(kAlgebraic, 1.0);
    g = m.AddVariable(kAlgebraic, 1.0);
    p = m.AddVariable(kFixed, 2.0);
    auto at = [](std::int32_t i) { return static_cast<std::size_t>(i); };
    const auto A = at(a), B = at(b), C = at(c), D = at(d), E = at(e), F = at(f), G = at(g),
               P = at(p);
    // a = 3 p
    m.AddEquation({a, p}, {1, 1}, [=](const V& x) { return x[A] - 3 * x[P]; });
    // 2b + c = a, b - c = 1
    m.AddEquation({b, c, a}, {1, 1, 1}, [=](const V& x) { return 2 * x[B] + x[C] - x[A]; });
    m.AddEquation({b, c}, {1, 1}, [=](const V& x) { return x[B] - x[C] - 1; });
    // d^2 + e = b + 4, d e = c + 2
    m.AddEquation({d, e, b}, {3, 1, 1}, [=](const V& x) { return x[D] * x[D] + x[E] - x[B] - 4; });
    m.AddEquation({d, e, c}, {3, 3, 1}, [=](const V& x) { return x[D] * x[E] - x[C] - 2; });
    // torn: f + exp(-g) = d, g - 0.5 f = e
    m.AddEquation(
        {f, g, d}, {1, 3, 1}, [=](const V& x) { return x[F] + std::exp(-x[G]) - x[D]; }, 8);
    m.AddEquation(
        {f, g, e}, {1, 1, 1}, [=](const V& x) { return x[G] - 0.5 * x[F] - x[E]; }, 8);
  }
};

// Two equations in one unknown, and a variable no equation holds.
struct Singular {
  Model m;
  Singular() {
    const std::int32_t x = m.AddVariable(kAlgebraic), y = m.AddVariable(kAlgebraic);
    (void)y;
    const auto X = static_cast<std::size_t>(x);
    m.AddEquation({x}, {1}, [=](const V& v) { return v[X] - 1; });
    m.AddEquation({x}, {3}, [=](const V& v) { return v[X] * v[X] - 1; });
  }
};

// A flowsheet pattern: units in series, each a few equations over its own
// streams and the previous unit's outlet, with recycles from later units.
// Only the structure and the dependence kinds matter.
inline Model Flowsheet(std::int32_t units, std::uint64_t seed) {
  Model m;
  std::mt19937_64 rng(seed);
  std::uniform_int_distribution<int> size(2, 6), kind(0, 2), recycle(0, 9), back(1, 6);
  std::vector<std::int32_t> outlet;
  std::vector<std::size_t> first_equation;
  for (std::int32_t u = 0; u < units; ++u) {
    const int n = size(rng);
    first_equation.push_back(m.equations.size());
    std::vector<std::int32_t> vars;
    for (int i = 0; i < n; ++i) vars.push_back(m.AddVariable(kAlgebraic));
    for (int i = 0; i < n; ++i) {
      std::vector<std::int32_t> eq{vars[static_cast<std::size_t>(i)]};
      // Within a unit: a chain, sometimes closed into a loop.
      if (i > 0) eq.push_back(vars[static_cast<std::size_t>(i - 1)]);
      if (i == 0 && kind(rng) == 0) eq.push_back(vars.back());
      if (i == 0 && u > 0) eq.push_back(outlet.back());
      std::vector<std::int32_t> kinds;
      for (std::size_t k = 0; k < eq.size(); ++k) kinds.push_back(kind(rng) == 0 ? 3 : 1);
      m.AddEquation(eq, kinds, [](const V&) { return 0.0; });
    }
    outlet.push_back(vars.back());
    // A recycle: the first equation of an earlier unit reads this outlet.
    if (u > 6 && recycle(rng) == 0) {
      auto& eq = m.equations[first_equation[static_cast<std::size_t>(u - back(rng))]];
      eq.variables.push_back(vars.back());
      eq.kinds.push_back(1);
    }
  }
  // Equations out of order, so the matching has work to do.
  std::shuffle(m.equations.begin(), m.equations.end(), rng);
  return m;
}

// A dynamic flowsheet: units in series, each a holdup M and an energy E
// (states) with its outflow F = k sqrt(M) and temperature T = E / M; every
// twentieth unit sends a fifth of its outflow back five units.
struct DynamicFlowsheet {
  Model m;
  std::vector<std::int32_t> M, dM, E, dE, F, T;
  double feed = 2.0;
  explicit DynamicFlowsheet(std::int32_t units) {
    for (std::int32_t u = 0; u < units; ++u) {
      std::int32_t d = 0;
      M.push_back(m.AddState(1.0, &d));
      dM.push_back(d);
      E.push_back(m.AddState(1.0, &d));
      dE.push_back(d);
      F.push_back(m.AddVariable(kAlgebraic, 1.0));
      T.push_back(m.AddVariable(kAlgebraic, 1.0));
    }
    auto at = [](std::int32_t i) { return static_cast<std::size_t>(i); };
    auto recycles = [units](std::int32_t u) { return u % 20 == 19 && u >= 5 && u + 1 < units; };
    for (std::int32_t u = 0; u < units; ++u) {
      const auto m0 = at(M[at(u)]), dm = at(dM[at(u)]), e0 = at(E[at(u)]), de = at(dE[at(u)]),
                 f = at(F[at(u)]), t = at(T[at(u)]);
      const double k = 0.8 + 0.4 * ((u * 7) % 11) / 10.0;
      const double* feed_p = &feed;
      const bool first = u == 0;
      const std::size_t pf = first ? 0 : at(F[at(u - 1)]), pt = first ? 0 : at(T[at(u - 1)]);
      const double forward = !first && recycles(u - 1) ? 0.8 : 1.0;
      const bool gets = u + 5 < units && recycles(u + 5);
      const std::size_t rf = gets ? at(F[at(u + 5)]) : 0, rt = gets ? at(T[at(u + 5)]) : 0;
      // Inflow: the previous unit's forward flow, plus a recycle.
      auto inflow = [=](const V& x) {
        return (first ? *feed_p : forward * x[pf]) + (gets ? 0.2 * x[rf] : 0.0);
      };
      auto inenergy = [=](const V& x) {
        return (first ? *feed_p * 1.5 : forward * x[pf] * x[pt]) +
               (gets ? 0.2 * x[rf] * x[rt] : 0.0);
      };
      std::vector<std::int32_t> mass{dM[at(u)], F[at(u)]}, mass_k{1, 1};
      std::vector<std::int32_t> energy{dE[at(u)], F[at(u)], T[at(u)]}, energy_k{1, 3, 3};
      if (!first) {
        mass.push_back(F[at(u - 1)]);
        mass_k.push_back(1);
        energy.push_back(F[at(u - 1)]);
        energy.push_back(T[at(u - 1)]);
        energy_k.insert(energy_k.end(), {3, 3});
      }
      if (gets) {
        mass.push_back(F[at(u + 5)]);
        mass_k.push_back(1);
        energy.push_back(F[at(u + 5)]);
        energy.push_back(T[at(u + 5)]);
        energy_k.insert(energy_k.end(), {3, 3});
      }
      m.AddEquation(mass, mass_k, [=](const V& x) { return x[dm] - inflow(x) + x[f]; });
      m.AddEquation(energy, energy_k, [=](const V& x) {
        return x[de] - inenergy(x) + x[f] * x[t] + 0.1 * (x[t] - 1);
      });
      m.AddEquation({F[at(u)], M[at(u)]}, {1, 3},
                    [=](const V& x) { return x[f] - k * std::sqrt(std::fabs(x[m0])); });
      m.AddEquation({T[at(u)], E[at(u)], M[at(u)]}, {1, 3, 3},
                    [=](const V& x) { return x[t] * x[m0] - x[e0]; });
    }
  }
};

}  // namespace server_test
