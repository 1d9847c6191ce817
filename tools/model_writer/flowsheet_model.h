// A dynamic flowsheet written as an instance description: units in series,
// unit u holding a mass M and a temperature T (states) and its outflow F
// through a valve of coefficient k_u (fixed), fed by the unit before it (the
// first by a fixed feed F_in = 2, T_in = 1.5):
//   M' = F_in - F,   F = k M,   M T' = F_in (T_in - T) - 0.1 (T - 1),
// from M = 1 + 0.05 (u mod 10), T = 1. Copies of it may sit side by side
// in one node, each with its own valve coefficients. For the sensitivity
// tests and benchmarks.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/model_writer/model_writer.h"

namespace modelwriter {

struct SeriesFlowsheet {
  enum Slot : std::uint32_t { kMass = 0, kTemperature = 1, kFlow = 2, kValve = 3 };
  static constexpr double kFeedFlow = 2.0, kFeedTemperature = 1.5;

  // Child index in the node of copy c's unit u item; equations follow at
  // slots 10, 11 and 12, the feed at FeedIndex.
  std::uint32_t Index(std::uint32_t copy, std::uint32_t unit, std::uint32_t slot) const {
    return 1 + copy * CopyStride() + unit * 20 + slot;
  }
  std::uint32_t FeedIndex(std::uint32_t copy, std::uint32_t slot) const {
    return 1 + copy * CopyStride() + units * 20 + slot;
  }
  std::uint32_t CopyStride() const { return units * 20 + 10; }
  static double Valve(std::uint32_t unit) { return 0.8 + 0.04 * (unit % 10); }
  static double InitialMass(std::uint32_t unit) { return 1.0 + 0.05 * (unit % 10); }
  std::vector<double> Valves() const {
    std::vector<double> v;
    for (std::uint32_t u = 0; u < units; ++u) v.push_back(Valve(u));
    return v;
  }

  // The item list of the node: one copy per entry of `valves` (each `units`
  // coefficients).
  void Write(Writer& w, const Step& node, const std::vector<std::vector<double>>& valves) const;

  std::uint32_t units = 10;
};

}  // namespace modelwriter
