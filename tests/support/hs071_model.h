// HS071 as an engine model under "HS" (root index 2): x1..x3 assigned
// (ids 1-3), x4 (4), g = x1x2x3x4 (5) and f (6), the x within [1, 5], with
// the equations e1 (10) x1² + x2² + x3² + x4² - 40, e2 (11) g - x1x2x3x4
// and e3 (12) f - (x1x4(x1 + x2 + x3) + x3): a list of nine items. A second
// form leaves the equality to the optimisation (WriteWithResidual).
#pragma once

#include <cstdint>
#include <vector>

#include "tools/model_writer/model_writer.h"

namespace hs071 {

// Where the model's variables start.
struct Start {
  double x1, x2, x3, x4, g, f;
};

inline modelwriter::Step Node() { return {2, "HS"}; }

inline void Variable(modelwriter::Writer& w, std::uint32_t id, const char* name, double value,
                     std::uint16_t spec, bool bounded) {
  w.Item(modelwriter::kRealVariable);
  w.Placement({Node(), {id, name}});
  w.Value(value), w.Spec(spec);
  if (bounded) w.Lower(1.0), w.Upper(5.0);
  w.End();
}

inline void Equation(modelwriter::Writer& w, std::uint32_t id, const char* name,
                     const modelwriter::Expr& e, const std::vector<std::uint32_t>& references) {
  w.Item(modelwriter::kInlineEquation);
  w.U32(0);
  w.Expression(e);
  w.Placement({Node(), {id, name}});
  w.EquationHead(static_cast<std::uint32_t>(references.size()));
  for (std::uint32_t r : references) w.Reference({2, r});
}

// x1² + x2² + x3² + x4² with x1 at reference `first`.
inline modelwriter::Expr SumOfSquares(std::uint32_t first) {
  using namespace modelwriter;
  auto square = [&](std::uint32_t k) { return Mul(Var(first + k), Var(first + k)); };
  return Add(Add(square(0), square(1)), Add(square(2), square(3)));
}

// e2 and e3, the same in both forms.
inline void Products(modelwriter::Writer& w) {
  using namespace modelwriter;
  Equation(w, 11, ".e2", Sub(Var(0), Mul(Mul(Var(1), Var(2)), Mul(Var(3), Var(4)))),
           {5, 1, 2, 3, 4});
  Equation(w, 12, ".e3",
           Sub(Var(0), Add(Mul(Mul(Var(1), Var(4)), Add(Add(Var(1), Var(2)), Var(3))), Var(3))),
           {6, 1, 2, 3, 4});
}

inline void Write(modelwriter::Writer& w, const Start& s) {
  using namespace modelwriter;
  w.List(9);
  Variable(w, 1, ".x1", s.x1, 4, true);
  Variable(w, 2, ".x2", s.x2, 4, true);
  Variable(w, 3, ".x3", s.x3, 4, true);
  Variable(w, 4, ".x4", s.x4, 1, true);
  Variable(w, 5, ".g", s.g, 1, false);
  Variable(w, 6, ".f", s.f, 1, false);
  Equation(w, 10, ".e1", Sub(SumOfSquares(0), Real(40.0)), {1, 2, 3, 4});
  Products(w);
}

// The form whose first equation only computes h = x1² + x2² + x3² + x4² - 40
// (id 7) with x4 assigned like x1..x3: the equality is the optimisation's
// constraint h = 0, not the model's.
inline void WriteWithResidual(modelwriter::Writer& w, const Start& s) {
  using namespace modelwriter;
  w.List(10);
  Variable(w, 1, ".x1", s.x1, 4, true);
  Variable(w, 2, ".x2", s.x2, 4, true);
  Variable(w, 3, ".x3", s.x3, 4, true);
  Variable(w, 4, ".x4", s.x4, 4, true);
  Variable(w, 5, ".g", s.g, 1, false);
  Variable(w, 6, ".f", s.f, 1, false);
  Variable(w, 7, ".h", 0.0, 1, false);
  Equation(w, 10, ".e1", Sub(Var(0), Sub(SumOfSquares(1), Real(40.0))), {7, 1, 2, 3, 4});
  Products(w);
}

}  // namespace hs071
