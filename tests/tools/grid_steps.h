// The method of steps for y' = -sum w_i y(t - lag_i), y = 1 up to 0, where
// every lag is a whole number of grid steps: on each grid step y is a
// polynomial in the time since the step's start, the integral of the
// pieces whole lags back. A reference for the delayed-model roads.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace delayroad {

// Lag i is multiples[i] grid steps, weighted by weights[i].
struct Lags {
  double grid;
  std::vector<int> multiples;
  std::vector<double> weights;
};

class GridSteps {
 public:
  GridSteps(const Lags& lags, double end) : grid_(lags.grid) {
    const auto count = static_cast<std::size_t>(std::ceil(end / grid_)) + 1;
    double start = 1.0;
    for (std::size_t k = 0; k < count; ++k) {
      std::vector<double> slope{0.0};
      for (std::size_t i = 0; i < lags.multiples.size(); ++i) {
        const auto m = static_cast<std::size_t>(lags.multiples[i]);
        const std::vector<double> late = k >= m ? pieces_[k - m] : std::vector<double>{1.0};
        slope.resize(std::max(slope.size(), late.size()), 0.0);
        for (std::size_t j = 0; j < late.size(); ++j) slope[j] -= lags.weights[i] * late[j];
      }
      std::vector<double> piece{start};
      for (std::size_t j = 0; j < slope.size(); ++j) piece.push_back(slope[j] / (j + 1.0));
      start = Horner(piece, grid_);
      pieces_.push_back(std::move(piece));
    }
  }
  double operator()(double t) const {
    if (t <= 0.0) return 1.0;
    const auto k = std::min(static_cast<std::size_t>(t / grid_), pieces_.size() - 1);
    return Horner(pieces_[k], t - static_cast<double>(k) * grid_);
  }

 private:
  static double Horner(const std::vector<double>& p, double s) {
    double v = 0.0;
    for (std::size_t i = p.size(); i-- > 0;) v = v * s + p[i];
    return v;
  }
  double grid_;
  std::vector<std::vector<double>> pieces_;
};

}  // namespace delayroad
