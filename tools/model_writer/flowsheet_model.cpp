#include "tools/model_writer/flowsheet_model.h"

#include <string>

namespace modelwriter {

void SeriesFlowsheet::Write(Writer& w, const Step& node,
                            const std::vector<std::vector<double>>& valves) const {
  w.List(static_cast<std::uint32_t>(valves.size()) * (units * 7 + 2));
  for (std::uint32_t c = 0; c < valves.size(); ++c) {
    const std::string copy = ".c" + std::to_string(c);
    auto variable = [&](Tag tag, std::uint32_t index, const std::string& name, double value,
                        std::uint16_t spec) {
      w.Item(tag);
      w.Placement({node, {index, copy + name}});
      w.Value(value), w.Spec(spec), w.End();
    };
    variable(kRealVariable, FeedIndex(c, 0), "Fin", kFeedFlow, 4);
    variable(kRealVariable, FeedIndex(c, 1), "Tin", kFeedTemperature, 4);
    for (std::uint32_t u = 0; u < units; ++u) {
      const std::string unit = std::to_string(u);
      const std::uint32_t m = Index(c, u, kMass), t = Index(c, u, kTemperature),
                          f = Index(c, u, kFlow), k = Index(c, u, kValve);
      variable(kStateVariable, m, "M" + unit, InitialMass(u), 32);
      variable(kStateVariable, t, "T" + unit, 1.0, 32);
      variable(kRealVariable, f, "F" + unit, 1.0, 1);
      variable(kRealVariable, k, "k" + unit, valves[c][u], 4);
      const std::uint32_t f_in = u == 0 ? FeedIndex(c, 0) : Index(c, u - 1, kFlow);
      const std::uint32_t t_in = u == 0 ? FeedIndex(c, 1) : Index(c, u - 1, kTemperature);
      auto equation = [&](std::uint32_t slot, const std::string& name, const Expr& e,
                          const std::vector<std::vector<std::uint32_t>>& references) {
        w.Item(kInlineEquation);
        w.U32(0);
        w.Expression(e);
        w.Placement({node, {Index(c, u, slot), copy + name + unit}});
        w.EquationHead(static_cast<std::uint32_t>(references.size()));
        for (const auto& r : references) w.Reference(r);
      };
      equation(10, "mass", Add(Sub(Var(0), Var(1)), Var(2)), {{2, m, 1}, {2, f_in}, {2, f}});
      equation(11, "valve", Sub(Var(0), Mul(Var(1), Var(2))), {{2, f}, {2, k}, {2, m}});
      equation(12, "energy",
               Add(Sub(Mul(Var(0), Var(1)), Mul(Var(2), Sub(Var(3), Var(4)))),
                   Mul(Real(0.1), Sub(Var(4), Real(1.0)))),
               {{2, m}, {2, t, 1}, {2, f_in}, {2, t_in}, {2, t}});
    }
  }
}

}  // namespace modelwriter
