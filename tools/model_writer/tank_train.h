// The heated tank train as an instance description: N tanks in series, each
// draining through a valve into the next and heated by steam. Unit i holds
// the states M_i (kg) and T_i (K) and the algebraic F_i (kg/s) and Q_i (W):
//   M_i' = F_(i-1) - F_i
//   M_i c_p T_i' = F_(i-1) c_p (T_(i-1) - T_i) + Q_i
//   F_i = k_v sqrt(max(M_i, 0) / A_i)
//   Q_i = UA (T_steam - T_i)
// fed by the fixed feed F_0 and its temperature T_0. It starts at the steady
// state of the feed it is written with. For the end-to-end benchmarks and
// the tests of dynamic runs with a feed step.
#pragma once

#include <cstdint>

#include "tools/model_writer/model_writer.h"

namespace modelwriter {

struct TankTrain {
  static constexpr double kValve = 2.0, kHeatCapacity = 4180.0, kHeatTransfer = 5000.0,
                          kSteam = 400.0, kFeedTemperature = 300.0;
  enum Slot : std::uint32_t { kMass = 0, kTemperature = 1, kFlow = 2, kDuty = 3 };

  static double Area(std::uint32_t unit) { return 1.0 + 0.1 * (unit % 7); }
  // The steady state of unit `unit` (1-based) at feed `feed`.
  static double SteadyMass(std::uint32_t unit, double feed);
  static double SteadyTemperature(std::uint32_t unit, double feed);

  // Child indices in the node: the feed at 1, its temperature at 2, unit
  // i's variables at 10 i + slot and its four equations at 10 i + 4 .. 7.
  // Sent as an environment sends it, k_v, c_p, UA and T_steam are at 3 .. 6
  // and unit i's area at 10 i + 8.
  static constexpr std::uint32_t kFeedIndex = 1, kFeedTemperatureIndex = 2;
  static std::uint32_t Index(std::uint32_t unit, Slot slot) { return 10 * unit + slot; }

  // The node's item list (its count first).
  void Write(Writer& w, const Step& node) const;

  std::uint32_t units = 10;
  double feed = 10.0;
  // As a modelling environment sends it: the parameters as FIXED variables
  // the equations refer to, every unit variable recorded in the results,
  // and the feed after the units in the value table. Otherwise the lean
  // form: constants in the expressions, nothing recorded, the feed first.
  bool as_environment = false;
};

}  // namespace modelwriter
