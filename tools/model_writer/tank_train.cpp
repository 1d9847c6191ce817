#include "tools/model_writer/tank_train.h"

#include <cmath>
#include <string>

namespace modelwriter {
namespace {

constexpr std::uint8_t kMaxCode = 99;  // the two-argument max

void Variable(Writer& w, Tag tag, const Step& node, std::uint32_t index, const std::string& name,
              double value, std::uint16_t spec) {
  w.Item(tag);
  w.Placement({node, {index, "." + name}});
  w.Value(value), w.Spec(spec), w.End();
}

void Equation(Writer& w, const Step& node, std::uint32_t index, const std::string& name,
              const Expr& residual, const std::vector<std::vector<std::uint32_t>>& references) {
  w.Item(kInlineEquation);
  w.U32(0);
  w.Expression(residual);
  w.Placement({node, {index, "." + name}});
  w.EquationHead(static_cast<std::uint32_t>(references.size()));
  for (const auto& r : references) w.Reference(r);
}

}  // namespace

double TankTrain::SteadyMass(std::uint32_t unit, double feed) {
  const double level = feed / kValve;
  return Area(unit) * level * level;
}

double TankTrain::SteadyTemperature(std::uint32_t unit, double feed) {
  const double r = feed * kHeatCapacity / (feed * kHeatCapacity + kHeatTransfer);
  return kSteam + (kFeedTemperature - kSteam) * std::pow(r, static_cast<double>(unit));
}

void TankTrain::Write(Writer& w, const Step& node) const {
  constexpr std::uint16_t kFree = 1, kFixed = 4, kInitial = 32;
  w.List(2 + 8 * units);
  Variable(w, kRealVariable, node, kFeedIndex, "F0", feed, kFixed);
  Variable(w, kRealVariable, node, kFeedTemperatureIndex, "T0", kFeedTemperature, kFixed);
  for (std::uint32_t i = 1; i <= units; ++i) {
    const std::string n = std::to_string(i);
    const double t = SteadyTemperature(i, feed);
    Variable(w, kStateVariable, node, Index(i, kMass), "M" + n, SteadyMass(i, feed), kInitial);
    Variable(w, kStateVariable, node, Index(i, kTemperature), "T" + n, t, kInitial);
    Variable(w, kRealVariable, node, Index(i, kFlow), "F" + n, feed, kFree);
    Variable(w, kRealVariable, node, Index(i, kDuty), "Q" + n, kHeatTransfer * (kSteam - t),
             kFree);
  }
  for (std::uint32_t i = 1; i <= units; ++i) {
    const std::string n = std::to_string(i);
    const std::uint32_t in_flow = i == 1 ? kFeedIndex : Index(i - 1, kFlow);
    const std::uint32_t in_temperature = i == 1 ? kFeedTemperatureIndex : Index(i - 1, kTemperature);
    const std::uint32_t base = 10 * i;
    // M' - (F_in - F)
    Equation(w, node, base + 4, "mass" + n, Sub(Var(0), Sub(Var(1), Var(2))),
             {{2, Index(i, kMass), 1}, {2, in_flow}, {2, Index(i, kFlow)}});
    // M c_p T' - (F_in c_p (T_in - T) + Q)
    Equation(w, node, base + 5, "energy" + n,
             Sub(Mul(Mul(Var(0), Real(kHeatCapacity)), Var(1)),
                 Add(Mul(Mul(Var(2), Real(kHeatCapacity)), Sub(Var(3), Var(4))), Var(5))),
             {{2, Index(i, kMass)},
              {2, Index(i, kTemperature), 1},
              {2, in_flow},
              {2, in_temperature},
              {2, Index(i, kTemperature)},
              {2, Index(i, kDuty)}});
    // F - k_v sqrt(max(M, 0) / A)
    Equation(w, node, base + 6, "valve" + n,
             Sub(Var(0), Mul(Real(kValve), Sqrt(Div(Binary(kMaxCode, Var(1), Real(0.0)),
                                                    Real(Area(i)))))),
             {{2, Index(i, kFlow)}, {2, Index(i, kMass)}});
    // Q - UA (T_steam - T)
    Equation(w, node, base + 7, "heater" + n,
             Sub(Var(0), Mul(Real(kHeatTransfer), Sub(Real(kSteam), Var(1)))),
             {{2, Index(i, kDuty)}, {2, Index(i, kTemperature)}});
  }
}

}  // namespace modelwriter
