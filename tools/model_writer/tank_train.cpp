#include "tools/model_writer/tank_train.h"

#include <cmath>

namespace modelwriter {

double TankTrain::SteadyMass(std::uint32_t unit) {
  const double level = kFeedFlow / kValve;
  return Area(unit) * level * level;
}

double TankTrain::SteadyTemperature(std::uint32_t unit) {
  const double r = kFeedFlow * kHeatCapacity / (kFeedFlow * kHeatCapacity + kConductance);
  return kSteam + (kFeedTemperature - kSteam) * std::pow(r, static_cast<double>(unit));
}

void TankTrain::Write(Writer& w, const Step& node) const {
  w.List(8 * units + 2);
  auto variable = [&](Tag tag, std::uint32_t index, const std::string& name, double value,
                      std::uint16_t spec) {
    w.Item(tag);
    w.Placement({node, {index, name}});
    w.Value(value), w.Spec(spec), w.End();
  };
  auto equation = [&](std::uint32_t index, const std::string& name, const Expr& e,
                      const std::vector<std::vector<std::uint32_t>>& references) {
    w.Item(kInlineEquation);
    w.U32(0);
    w.Expression(e);
    w.Placement({node, {index, name}});
    w.EquationHead(static_cast<std::uint32_t>(references.size()));
    for (const auto& r : references) w.Reference(r);
  };
  // The feed first: the first unit's equations refer to it.
  variable(kRealVariable, FeedFlowIndex(), ".F0", kFeedFlow, 4);
  variable(kRealVariable, FeedTemperatureIndex(), ".T0", kFeedTemperature, 4);
  for (std::uint32_t i = 1; i <= units; ++i) {
    const std::string unit = std::to_string(i);
    const std::uint32_t m = Index(i, kMass), t = Index(i, kTemperature), f = Index(i, kFlow),
                        q = Index(i, kDuty);
    const std::uint32_t f_in = i == 1 ? FeedFlowIndex() : Index(i - 1, kFlow);
    const std::uint32_t t_in = i == 1 ? FeedTemperatureIndex() : Index(i - 1, kTemperature);
    variable(kStateVariable, m, ".M" + unit, SteadyMass(i), 32);
    variable(kStateVariable, t, ".T" + unit, SteadyTemperature(i), 32);
    variable(kRealVariable, f, ".F" + unit, kFeedFlow, 1);
    variable(kRealVariable, q, ".Q" + unit, kConductance * (kSteam - SteadyTemperature(i)), 1);
    // M' - (F_in - F)
    equation(8 * (i - 1) + 5, ".mass" + unit, Sub(Var(0), Sub(Var(1), Var(2))),
             {{2, m, 1}, {2, f_in}, {2, f}});
    // M cp T' - (F_in cp (T_in - T) + Q)
    equation(8 * (i - 1) + 6, ".energy" + unit,
             Sub(Mul(Mul(Var(0), Real(kHeatCapacity)), Var(1)),
                 Add(Mul(Mul(Var(2), Real(kHeatCapacity)), Sub(Var(3), Var(4))), Var(5))),
             {{2, m}, {2, t, 1}, {2, f_in}, {2, t_in}, {2, t}, {2, q}});
    // F - kv sqrt(M / A)
    equation(8 * (i - 1) + 7, ".valve" + unit,
             Sub(Var(0), Mul(Real(kValve), Sqrt(Div(Var(1), Real(Area(i)))))), {{2, f}, {2, m}});
    // Q - UA (Ts - T)
    equation(8 * (i - 1) + 8, ".heater" + unit,
             Sub(Var(0), Mul(Real(kConductance), Sub(Real(kSteam), Var(1)))), {{2, q}, {2, t}});
  }
}

}  // namespace modelwriter
