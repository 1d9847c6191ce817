// HS071 written as a steady-state model for the full-space optimisation,
// shared by its tests and its benchmark.
#pragma once

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "analysis/optimisation/full_space.h"

namespace optimisation_fakes {

// HS071 as a model: x1..x4, g = x1x2x3x4, f = x1x4(x1 + x2 + x3) + x3, with
// x1² + x2² + x3² + x4² = 40 as a model equation (x4 follows from x1..x3).
class Hs071Model final : public FullSpaceModel {
 public:
  std::int32_t Equations() override { return 3; }
  std::int32_t Variables() override { return 6; }
  AnalysisVariable* Variable(std::int32_t) override { return nullptr; }
  std::string Name(std::int32_t column) override {
    static const char* const kNames[] = {"x1", "x2", "x3", "x4", "g", "f"};
    return kNames[column];
  }
  double Value(std::int32_t column) override { return values[static_cast<std::size_t>(column)]; }
  void SetValue(std::int32_t column, double value) override {
    values[static_cast<std::size_t>(column)] = value;
  }
  void Bounds(std::int32_t column, double* lower, double* upper) override {
    *lower = column < 4 ? 1.0 : -1e30;
    *upper = column < 4 ? 5.0 : 1e30;
  }
  bool Fixed(std::int32_t column) override { return column < 3; }
  void Structure(std::vector<std::int32_t>* rows, std::vector<std::int32_t>* columns) override {
    *rows = {0, 0, 0, 0, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2};
    *columns = {0, 1, 2, 3, 4, 0, 1, 2, 3, 5, 0, 1, 2, 3};
  }
  Status Evaluate(const double* p, double* r, double* j) override {
    const double x1 = p[0], x2 = p[1], x3 = p[2], x4 = p[3];
    if (r != nullptr) {
      r[0] = x1 * x1 + x2 * x2 + x3 * x3 + x4 * x4 - 40.0;
      r[1] = p[4] - x1 * x2 * x3 * x4;
      r[2] = p[5] - (x1 * x4 * (x1 + x2 + x3) + x3);
    }
    if (j != nullptr) {
      const double v[] = {2 * x1,
                          2 * x2,
                          2 * x3,
                          2 * x4,
                          1.0,
                          -x2 * x3 * x4,
                          -x1 * x3 * x4,
                          -x1 * x2 * x4,
                          -x1 * x2 * x3,
                          1.0,
                          -(x4 * (x1 + x2 + x3) + x1 * x4),
                          -x1 * x4,
                          -(x1 * x4 + 1.0),
                          -x1 * (x1 + x2 + x3)};
      std::copy(std::begin(v), std::end(v), j);
    }
    return 0;
  }
  std::vector<double> values = {1, 5, 5, 1, 30, 16};
};

}  // namespace optimisation_fakes
