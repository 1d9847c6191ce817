// The heated tank train written as an instance description: N tanks, each
// draining through a valve into the next and heated by steam. Unit i
// (1-based) holds the states M_i (mass) and T_i (temperature) and the
// algebraic F_i (outflow) and Q_i (heat duty):
//   M_i' = F_(i-1) - F_i
//   M_i cp T_i' = F_(i-1) cp (T_(i-1) - T_i) + Q_i
//   F_i = kv sqrt(M_i / A_i),  A_i = 1 + 0.1 (i mod 7)
//   Q_i = UA (Ts - T_i)
// fed by the fixed F_0 (10, stepping to 12 in the runs) at T_0 = 300, from
// the steady state at the feed of 10. For the benchmarks and road tests.
#pragma once

#include <cstdint>
#include <string>

#include "tools/model_writer/model_writer.h"

namespace modelwriter {

struct TankTrain {
  enum Slot : std::uint32_t { kMass = 1, kTemperature = 2, kFlow = 3, kDuty = 4 };
  static constexpr double kValve = 2.0, kHeatCapacity = 4180.0, kConductance = 5000.0,
                          kSteam = 400.0, kFeedFlow = 10.0, kFeedTemperature = 300.0;

  // Child index of unit i's variable in the node; its four equations sit
  // at slots 5 to 8.
  static std::uint32_t Index(std::uint32_t unit, std::uint32_t slot) {
    return 8 * (unit - 1) + slot;
  }
  std::uint32_t FeedFlowIndex() const { return 8 * units + 1; }
  std::uint32_t FeedTemperatureIndex() const { return 8 * units + 2; }
  static double Area(std::uint32_t unit) { return 1.0 + 0.1 * (unit % 7); }
  // The steady state at the feed of 10.
  static double SteadyMass(std::uint32_t unit);
  static double SteadyTemperature(std::uint32_t unit);

  // The node's item list: 8 units + 2 items.
  void Write(Writer& w, const Step& node) const;

  std::uint32_t units = 10;
};

}  // namespace modelwriter
