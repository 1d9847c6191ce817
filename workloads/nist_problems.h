// The NIST StRD nonlinear regressions for the least-squares optimiser's
// tests and benchmark: the certified numbers the project carries
// (nist_datasets.cpp), the models, and the count of correct digits a solve
// reached. No test framework: the benchmark uses it too.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "workloads/least_squares_problems.h"

namespace testsupport {

// NIST's levels of difficulty.
enum class NistLevel { kLower, kAverage, kHigher };

inline const char* NistLevelName(NistLevel level) {
  switch (level) {
    case NistLevel::kLower:
      return "lower";
    case NistLevel::kAverage:
      return "average";
    case NistLevel::kHigher:
      break;
  }
  return "higher";
}

// One problem as the table holds it: per parameter {start 1, start 2,
// certified value, certified standard deviation}; the observations as
// (x, y) pairs.
struct NistNumbers {
  const char* name;
  NistLevel level;
  std::vector<std::array<double, 4>> parameters;
  double rss;
  std::vector<double> observations;
};

// The 25 problems, by level and then by name.
std::span<const NistNumbers> NistTable();

struct Certified {
  std::string name;
  NistLevel level = NistLevel::kLower;
  std::vector<std::vector<double>> starts;
  std::vector<double> values;
  std::vector<double> deviations;
  double rss = 0.0;
  std::vector<double> x, y;
};

inline Certified CertifiedOf(const NistNumbers& n) {
  Certified c;
  c.name = n.name;
  c.level = n.level;
  c.starts.resize(2);
  for (const std::array<double, 4>& b : n.parameters) {
    c.starts[0].push_back(b[0]);
    c.starts[1].push_back(b[1]);
    c.values.push_back(b[2]);
    c.deviations.push_back(b[3]);
  }
  c.rss = n.rss;
  for (std::size_t k = 0; k + 1 < n.observations.size(); k += 2) {
    c.x.push_back(n.observations[k]);
    c.y.push_back(n.observations[k + 1]);
  }
  return c;
}

// Every problem, by level and then by name.
inline std::vector<Certified> NistDatasets() {
  std::vector<Certified> out;
  for (const NistNumbers& n : NistTable()) out.push_back(CertifiedOf(n));
  return out;
}

// One problem by name; throws std::out_of_range for a name it lacks.
inline Certified NistDataset(const std::string& name) {
  for (const NistNumbers& n : NistTable()) {
    if (name == n.name) return CertifiedOf(n);
  }
  throw std::out_of_range("no NIST problem " + name);
}

// The model of a dataset; returns false for a name it does not know.
template <typename T>
bool NistModel(const std::string& name, const T* b, double x, T& y) {
  const double two_pi = 8.0 * std::atan(1.0);
  if (name == "Misra1a" || name == "BoxBOD") {
    y = b[0] * (1.0 - exp(-b[1] * x));
  } else if (name == "Chwirut1" || name == "Chwirut2") {
    y = exp(-b[0] * x) / (b[1] + b[2] * x);
  } else if (name == "DanWood") {
    y = b[0] * pow(T(x), b[1]);
  } else if (name.rfind("Gauss", 0) == 0) {
    y = b[0] * exp(-b[1] * x) + b[2] * exp(-(x - b[3]) * (x - b[3]) / (b[4] * b[4])) +
        b[5] * exp(-(x - b[6]) * (x - b[6]) / (b[7] * b[7]));
  } else if (name.rfind("Lanczos", 0) == 0) {
    y = b[0] * exp(-b[1] * x) + b[2] * exp(-b[3] * x) + b[4] * exp(-b[5] * x);
  } else if (name == "Misra1b") {
    y = b[0] * (1.0 - pow(1.0 + b[1] * x / 2.0, -2.0));
  } else if (name == "Misra1c") {
    y = b[0] * (1.0 - pow(1.0 + 2.0 * b[1] * x, -0.5));
  } else if (name == "Misra1d") {
    y = b[0] * b[1] * x / (1.0 + b[1] * x);
  } else if (name == "Kirby2") {
    y = (b[0] + b[1] * x + b[2] * x * x) / (1.0 + b[3] * x + b[4] * x * x);
  } else if (name == "Hahn1" || name == "Thurber") {
    y = (b[0] + b[1] * x + b[2] * x * x + b[3] * x * x * x) /
        (1.0 + b[4] * x + b[5] * x * x + b[6] * x * x * x);
  } else if (name == "MGH17") {
    y = b[0] + b[1] * exp(-x * b[3]) + b[2] * exp(-x * b[4]);
  } else if (name == "ENSO") {
    y = b[0] + b[1] * std::cos(two_pi * x / 12) + b[2] * std::sin(two_pi * x / 12) +
        b[4] * cos(two_pi * x / b[3]) + b[5] * sin(two_pi * x / b[3]) +
        b[7] * cos(two_pi * x / b[6]) + b[8] * sin(two_pi * x / b[6]);
  } else if (name == "Eckerle4") {
    y = (b[0] / b[1]) * exp(-0.5 * ((x - b[2]) / b[1]) * ((x - b[2]) / b[1]));
  } else if (name == "MGH09") {
    y = b[0] * (x * x + x * b[1]) / (x * x + x * b[2] + b[3]);
  } else if (name == "MGH10") {
    y = b[0] * exp(b[1] / (x + b[2]));
  } else if (name == "Rat42") {
    y = b[0] / (1.0 + exp(b[1] - b[2] * x));
  } else if (name == "Rat43") {
    y = b[0] / pow(1.0 + exp(b[1] - b[2] * x), 1.0 / b[3]);
  } else if (name == "Bennett5") {
    y = b[0] * pow(b[1] + x, -1.0 / b[2]);
  } else {
    return false;
  }
  return true;
}

// The least-squares problem of a dataset from start 0 or 1 (residual y - model).
inline LeastSquaresProblem NistProblem(const Certified& cert, int start) {
  const std::string name = cert.name;
  const auto xs = cert.x, ys = cert.y;
  return MakeProblem(name, static_cast<std::int64_t>(ys.size()), cert.starts[start], {cert.rss},
                     [name, xs, ys](const auto* b, auto* r) {
                       for (std::size_t i = 0; i < xs.size(); ++i) {
                         std::decay_t<decltype(r[0])> y{};
                         NistModel(name, b, xs[i], y);
                         r[i] = ys[i] - y;
                       }
                     });
}

// The fewest correct significant digits over the parameters (NIST's log
// relative error), at most 11 (the certified values carry that many).
inline double CorrectDigits(const Certified& cert, const std::vector<double>& x) {
  double digits = 11.0;
  for (std::size_t j = 0; j < cert.values.size(); ++j) {
    if (!std::isfinite(x[j])) return 0.0;
    const double error = std::fabs(x[j] - cert.values[j]) / std::fabs(cert.values[j]);
    if (error > 0.0) digits = std::min(digits, -std::log10(error));
  }
  return std::max(digits, 0.0);
}

// The tight tolerances for the accuracy claims: the certified values carry
// eleven digits, the engine's relative tolerance stops near five.
inline void ApplyTightTolerances(NlsCaller& c) {
  c.V(nls::kRfctol) = 1e-14;
  c.V(nls::kAfctol) = 1e-27;
  c.V(nls::kXctol) = 1e-10;
}

}  // namespace testsupport
