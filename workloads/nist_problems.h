// The NIST StRD nonlinear regressions for the least-squares optimiser's tests
// and benchmark: certified values read from NIST's own files, the models, and
// the count of correct digits a solve reached. Header-only, no test framework.
#pragma once

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "workloads/least_squares_problems.h"

namespace testsupport {

struct Certified {
  std::string name;
  std::string level;  // the folder: low_, average_ or high_difficulty
  std::vector<std::vector<double>> starts;
  std::vector<double> values;
  std::vector<double> deviations;
  double rss = 0.0;
  std::vector<double> x, y;
};

inline Certified ReadCertified(const std::filesystem::path& file) {
  Certified c;
  c.name = file.stem().string();
  c.level = file.parent_path().filename().string();
  c.starts.resize(2);
  std::ifstream in(file);
  std::string line;
  bool data = false;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    if (data) {
      double y = 0.0, x = 0.0;
      if (words >> y >> x) {
        c.y.push_back(y);
        c.x.push_back(x);
      }
      continue;
    }
    std::string first, eq;
    words >> first;
    double s1 = 0.0, s2 = 0.0, value = 0.0, sd = 0.0;
    if (first.size() >= 2 && first[0] == 'b' &&
        std::isdigit(static_cast<unsigned char>(first[1])) &&
        (words >> eq >> s1 >> s2 >> value >> sd) && eq == "=") {
      c.starts[0].push_back(s1);
      c.starts[1].push_back(s2);
      c.values.push_back(value);
      c.deviations.push_back(sd);
    }
    if (line.rfind("Residual Sum of Squares:", 0) == 0) c.rss = std::stod(line.substr(25));
    if (line.rfind("Data:", 0) == 0 && line.find(" y ") != std::string::npos) data = true;
  }
  return c;
}

// Every dataset under root/nist-strd, sorted by level and name; empty when
// the folder is absent.
inline std::vector<Certified> NistDatasets(const std::filesystem::path& root) {
  std::vector<Certified> out;
  const std::filesystem::path base = root / "nist-strd";
  std::error_code ec;
  if (root.empty() || !std::filesystem::is_directory(base, ec)) return out;
  for (const char* level : {"low_difficulty", "average_difficulty", "high_difficulty"}) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(base / level, ec))
      files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const auto& f : files) out.push_back(ReadCertified(f));
  }
  return out;
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
