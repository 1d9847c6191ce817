// The small optimisation model the definition and manager tests share: six
// variables (decisions x, y; controls u, v; objective J; constraint c) and a
// dynamic and a steady-state definition over them.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/analysis/opt_fakes.h"

namespace opt_model {

inline void AddVariables(analysis_fakes::FakeServices& services) {
  services.Add(1, "x", 0.0)->scale = 2.0;
  services.Add(2, "y", 0.0);
  services.Add(3, "u", 0.0)->scale = 2.0;
  services.Add(4, "v", 0.0);
  services.Add(5, "J", 0.0);
  services.Add(6, "c", 0.0);
}

// N = 2 elements on [0, 2] with an interior time 0.8, moving individual
// lengths, two piecewise linear controls (3 values each), one decision
// and one initial variable, an objective and three constraints on c.
inline analysis_fakes::OptDefinitionRecord Dynamic() {
  analysis_fakes::OptDefinitionRecord r;
  r.final_time = 2.0;
  r.n = 2;
  r.interior = {0.8};
  r.moving = 1;
  r.individual = 1;
  r.linear = 1;
  r.length_bounds = {{0.1, 1.5}, {0.2, 1.6}};
  r.decision = {{1, -1.0, 1.0, 0.5}};
  r.initial = {{2, 0.0, 4.0, 3.0}};
  r.controls = {{3, 0.5, {1.0, 2.0, 3.0}, {{-1, 1}, {-2, 2}, {-3, 3}}},
                {4, 0.0, {4.0, 5.0, 6.0}, {{0, 9}, {0, 9}, {0, 9}}}};
  r.objectives = {5};
  r.constrained = {{6, {{1, 0.5, 2, 0.3}, {2, 1.0, 3, 0.9}, {1, 0.0, 0, 0.0}}}};
  return r;
}

// Steady state: decisions x and y in [0, 5] from 1 and 2, minimise J,
// c >= 1 at time 0.
inline analysis_fakes::OptDefinitionRecord Steady() {
  analysis_fakes::OptDefinitionRecord r;
  r.dynamic = 0;
  r.final_time = 0.0;
  r.decision = {{1, 0.0, 5.0, 1.0}, {2, 0.0, 5.0, 2.0}};
  r.objectives = {5};
  r.constrained = {{6, {{0, 0.0, 2, 1.0}}}};
  return r;
}

// One control u with a maximum move over n elements on [0, 1]: n
// optimisation variables and 2n move rows, each a gradient over them all.
inline analysis_fakes::OptDefinitionRecord MovesOverElements(std::uint16_t n) {
  analysis_fakes::OptDefinitionRecord r;
  r.n = n;
  for (std::uint16_t k = 1; k < n; ++k) r.interior.push_back(double(k) / n);
  r.length_bounds.assign(n, {0.0, 1.0});
  r.controls.push_back({3, 0.5, std::vector<double>(n, 0.0), {}});
  r.controls.back().bounds.assign(n, {-1.0, 1.0});
  r.objectives = {5};
  return r;
}

}  // namespace opt_model
