#include "tools/model_writer/tank_train.h"

#include <cmath>
#include <string>
#include <vector>

namespace modelwriter {
namespace {

constexpr std::uint8_t kMaxCode = 99;  // the two-argument max

void Variable(Writer& w, Tag tag, const Step& node, std::uint32_t index, const std::string& name,
              double value, std::uint16_t spec, bool recorded = false) {
  w.Item(tag);
  w.Placement({node, {index, "." + name}});
  w.Value(value), w.Spec(spec);
  if (recorded) w.Record(1);
  w.End();
}

constexpr std::uint32_t kValveIndex = 3, kHeatCapacityIndex = 4, kHeatTransferIndex = 5,
                        kSteamIndex = 6;
std::uint32_t AreaIndex(std::uint32_t unit) { return 10 * unit + 8; }

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
  const bool env = as_environment;
  w.List(2 + 8 * units + (env ? 4 + units : 0));
  auto feed_items = [&] {
    Variable(w, kRealVariable, node, kFeedIndex, "F0", feed, kFixed);
    Variable(w, kRealVariable, node, kFeedTemperatureIndex, "T0", kFeedTemperature, kFixed);
  };
  if (env) {
    Variable(w, kRealVariable, node, kValveIndex, "kv", kValve, kFixed);
    Variable(w, kRealVariable, node, kHeatCapacityIndex, "cp", kHeatCapacity, kFixed);
    Variable(w, kRealVariable, node, kHeatTransferIndex, "UA", kHeatTransfer, kFixed);
    Variable(w, kRealVariable, node, kSteamIndex, "Tsteam", kSteam, kFixed);
  } else {
    feed_items();
  }
  for (std::uint32_t i = 1; i <= units; ++i) {
    const std::string n = std::to_string(i);
    const double t = SteadyTemperature(i, feed);
    Variable(w, kStateVariable, node, Index(i, kMass), "M" + n, SteadyMass(i, feed), kInitial, env);
    Variable(w, kStateVariable, node, Index(i, kTemperature), "T" + n, t, kInitial, env);
    Variable(w, kRealVariable, node, Index(i, kFlow), "F" + n, feed, kFree, env);
    Variable(w, kRealVariable, node, Index(i, kDuty), "Q" + n, kHeatTransfer * (kSteam - t), kFree,
             env);
    if (env) Variable(w, kRealVariable, node, AreaIndex(i), "A" + n, Area(i), kFixed);
  }
  if (env) feed_items();
  // A parameter: a FIXED variable referred to at `offset`, or its constant.
  std::vector<std::vector<std::uint32_t>> refs;
  auto param = [&](double value, std::uint32_t index) {
    if (!env) return Real(value);
    refs.push_back({2, index});
    return Var(static_cast<std::uint32_t>(refs.size() - 1));
  };
  for (std::uint32_t i = 1; i <= units; ++i) {
    const std::string n = std::to_string(i);
    const std::uint32_t in_flow = i == 1 ? kFeedIndex : Index(i - 1, kFlow);
    const std::uint32_t in_temperature = i == 1 ? kFeedTemperatureIndex : Index(i - 1, kTemperature);
    const std::uint32_t base = 10 * i;
    // M' - (F_in - F)
    Equation(w, node, base + 4, "mass" + n, Sub(Var(0), Sub(Var(1), Var(2))),
             {{2, Index(i, kMass), 1}, {2, in_flow}, {2, Index(i, kFlow)}});
    // M c_p T' - (F_in c_p (T_in - T) + Q)
    refs = {{2, Index(i, kMass)},
            {2, Index(i, kTemperature), 1},
            {2, in_flow},
            {2, in_temperature},
            {2, Index(i, kTemperature)},
            {2, Index(i, kDuty)}};
    Expr cp = param(kHeatCapacity, kHeatCapacityIndex);
    Equation(w, node, base + 5, "energy" + n,
             Sub(Mul(Mul(Var(0), cp), Var(1)), Add(Mul(Mul(Var(2), cp), Sub(Var(3), Var(4))), Var(5))),
             refs);
    // F - k_v sqrt(max(M, 0) / A)
    refs = {{2, Index(i, kFlow)}, {2, Index(i, kMass)}};
    Expr kv = param(kValve, kValveIndex);
    Expr area = param(Area(i), AreaIndex(i));
    Equation(w, node, base + 6, "valve" + n,
             Sub(Var(0), Mul(kv, Sqrt(Div(Binary(kMaxCode, Var(1), Real(0.0)), area)))), refs);
    // Q - UA (T_steam - T)
    refs = {{2, Index(i, kDuty)}, {2, Index(i, kTemperature)}};
    Expr ua = param(kHeatTransfer, kHeatTransferIndex);
    Expr steam = param(kSteam, kSteamIndex);
    Equation(w, node, base + 7, "heater" + n, Sub(Var(0), Mul(ua, Sub(steam, Var(1)))), refs);
  }
}

}  // namespace modelwriter
