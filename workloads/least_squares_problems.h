// Reference least-squares problems for the optimiser's tests and benchmark:
// the classic test functions of Moré, Garbow and Hillstrom from their standard
// starting points, with exact Jacobians from forward-mode dual numbers, and a
// caller that drives NlsBoundedDriver as the engine's dense optimiser does.
// Header-only and free of the test framework: the benchmark runs it too.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "numerics/lsq/nls.h"

namespace testsupport {

// A value with one directional derivative.
struct Dual {
  double v = 0.0;
  double d = 0.0;
  Dual() = default;
  Dual(double value) : v(value) {}  // NOLINT: constants mix freely
  Dual(double value, double dot) : v(value), d(dot) {}
};
inline Dual operator+(Dual a, Dual b) { return {a.v + b.v, a.d + b.d}; }
inline Dual operator-(Dual a, Dual b) { return {a.v - b.v, a.d - b.d}; }
inline Dual operator-(Dual a) { return {-a.v, -a.d}; }
inline Dual operator*(Dual a, Dual b) { return {a.v * b.v, a.d * b.v + a.v * b.d}; }
inline Dual operator/(Dual a, Dual b) { return {a.v / b.v, (a.d * b.v - a.v * b.d) / (b.v * b.v)}; }
inline Dual exp(Dual a) { return {std::exp(a.v), std::exp(a.v) * a.d}; }
inline Dual log(Dual a) { return {std::log(a.v), a.d / a.v}; }
inline Dual sin(Dual a) { return {std::sin(a.v), std::cos(a.v) * a.d}; }
inline Dual cos(Dual a) { return {std::cos(a.v), -std::sin(a.v) * a.d}; }
inline Dual sqrt(Dual a) { return {std::sqrt(a.v), a.d / (2.0 * std::sqrt(a.v))}; }
inline Dual atan(Dual a) { return {std::atan(a.v), a.d / (1.0 + a.v * a.v)}; }
inline Dual pow(Dual a, double e) { return {std::pow(a.v, e), e * std::pow(a.v, e - 1.0) * a.d}; }
inline Dual pow(Dual a, Dual e) {
  const double value = std::pow(a.v, e.v);
  return {value, value * (e.d * std::log(a.v) + e.v * a.d / a.v)};
}
using std::atan;
using std::cos;
using std::exp;
using std::log;
using std::pow;
using std::sin;
using std::sqrt;

struct LeastSquaresProblem {
  std::string name;
  std::int64_t n = 0;
  std::int64_t p = 0;
  std::vector<double> x0;
  // Published minima of the sum of squares (2F) that a correct run may reach.
  std::vector<double> minima;
  std::function<void(const double* x, double* r)> residuals;
  std::function<void(const double* x, double* jac)> jacobian;  // column-major n x p
};

// Wraps a functor with `template <class T> void operator()(const T* x, T* r)`.
template <typename Functor>
LeastSquaresProblem MakeProblem(std::string name, std::int64_t n, std::vector<double> x0,
                                std::vector<double> minima, Functor f) {
  LeastSquaresProblem pb;
  pb.name = std::move(name);
  pb.n = n;
  pb.p = static_cast<std::int64_t>(x0.size());
  pb.x0 = std::move(x0);
  pb.minima = std::move(minima);
  pb.residuals = [f](const double* x, double* r) { f(x, r); };
  const std::int64_t p = pb.p;
  pb.jacobian = [f, n, p](const double* x, double* jac) {
    std::vector<Dual> xd(static_cast<std::size_t>(p));
    std::vector<Dual> rd(static_cast<std::size_t>(n));
    for (std::int64_t j = 0; j < p; ++j) {
      for (std::int64_t k = 0; k < p; ++k) xd[k] = Dual(x[k], k == j ? 1.0 : 0.0);
      f(xd.data(), rd.data());
      for (std::int64_t i = 0; i < n; ++i) jac[i + j * n] = rd[i].d;
    }
  };
  return pb;
}

inline double ValueOf(double a) { return a; }
inline double ValueOf(const Dual& a) { return a.v; }

// Moré, Garbow and Hillstrom's functions; minima as published (6 digits).
inline std::vector<LeastSquaresProblem> ClassicProblems() {
  std::vector<LeastSquaresProblem> all;
  all.push_back(MakeProblem("Rosenbrock", 2, {-1.2, 1.0}, {0.0}, [](const auto* x, auto* r) {
    r[0] = 10.0 * (x[1] - x[0] * x[0]);
    r[1] = 1.0 - x[0];
  }));
  all.push_back(
      MakeProblem("FreudensteinRoth", 2, {0.5, -2.0}, {0.0, 48.9842}, [](const auto* x, auto* r) {
        r[0] = -13.0 + x[0] + ((5.0 - x[1]) * x[1] - 2.0) * x[1];
        r[1] = -29.0 + x[0] + ((x[1] + 1.0) * x[1] - 14.0) * x[1];
      }));
  all.push_back(MakeProblem("PowellBadlyScaled", 2, {0.0, 1.0}, {0.0}, [](const auto* x, auto* r) {
    r[0] = 1e4 * x[0] * x[1] - 1.0;
    r[1] = exp(-x[0]) + exp(-x[1]) - 1.0001;
  }));
  all.push_back(MakeProblem("BrownBadlyScaled", 3, {1.0, 1.0}, {0.0}, [](const auto* x, auto* r) {
    r[0] = x[0] - 1e6;
    r[1] = x[1] - 2e-6;
    r[2] = x[0] * x[1] - 2.0;
  }));
  all.push_back(MakeProblem("Beale", 3, {1.0, 1.0}, {0.0}, [](const auto* x, auto* r) {
    const double y[3] = {1.5, 2.25, 2.625};
    auto power = x[1];
    for (int i = 0; i < 3; ++i) {
      r[i] = y[i] - x[0] * (1.0 - power);
      power = power * x[1];
    }
  }));
  all.push_back(
      MakeProblem("JennrichSampson", 10, {0.3, 0.4}, {124.362}, [](const auto* x, auto* r) {
        for (int i = 1; i <= 10; ++i) r[i - 1] = 2.0 + 2.0 * i - (exp(i * x[0]) + exp(i * x[1]));
      }));
  all.push_back(
      MakeProblem("HelicalValley", 3, {-1.0, 0.0, 0.0}, {0.0}, [](const auto* x, auto* r) {
        const double two_pi = 8.0 * std::atan(1.0);
        auto theta = atan(x[1] / x[0]) / two_pi;
        if (ValueOf(x[0]) < 0.0) theta = theta + 0.5;
        r[0] = 10.0 * (x[2] - 10.0 * theta);
        r[1] = 10.0 * (sqrt(x[0] * x[0] + x[1] * x[1]) - 1.0);
        r[2] = x[2];
      }));
  all.push_back(MakeProblem("Box3D", 10, {0.0, 10.0, 20.0}, {0.0}, [](const auto* x, auto* r) {
    for (int i = 1; i <= 10; ++i) {
      const double t = 0.1 * i;
      r[i - 1] = exp(-t * x[0]) - exp(-t * x[1]) - x[2] * (std::exp(-t) - std::exp(-10.0 * t));
    }
  }));
  all.push_back(
      MakeProblem("PowellSingular", 4, {3.0, -1.0, 0.0, 1.0}, {0.0}, [](const auto* x, auto* r) {
        r[0] = x[0] + 10.0 * x[1];
        r[1] = std::sqrt(5.0) * (x[2] - x[3]);
        r[2] = (x[1] - 2.0 * x[2]) * (x[1] - 2.0 * x[2]);
        r[3] = std::sqrt(10.0) * (x[0] - x[3]) * (x[0] - x[3]);
      }));
  all.push_back(MakeProblem("Wood", 6, {-3.0, -1.0, -3.0, -1.0}, {0.0}, [](const auto* x, auto* r) {
    r[0] = 10.0 * (x[1] - x[0] * x[0]);
    r[1] = 1.0 - x[0];
    r[2] = std::sqrt(90.0) * (x[3] - x[2] * x[2]);
    r[3] = 1.0 - x[2];
    r[4] = std::sqrt(10.0) * (x[1] + x[3] - 2.0);
    r[5] = (x[1] - x[3]) / std::sqrt(10.0);
  }));
  all.push_back(MakeProblem("BrownDennis", 20, {25.0, 5.0, -5.0, -1.0}, {85822.2},
                            [](const auto* x, auto* r) {
                              for (int i = 1; i <= 20; ++i) {
                                const double t = i / 5.0;
                                const auto a = x[0] + t * x[1] - std::exp(t);
                                const auto b = x[2] + x[3] * std::sin(t) - std::cos(t);
                                r[i - 1] = a * a + b * b;
                              }
                            }));
  all.push_back(MakeProblem(
      "BiggsExp6", 13, {1.0, 2.0, 1.0, 1.0, 1.0, 1.0}, {0.0, 5.65565e-3},
      [](const auto* x, auto* r) {
        for (int i = 1; i <= 13; ++i) {
          const double t = 0.1 * i;
          const double y = std::exp(-t) - 5.0 * std::exp(-10.0 * t) + 3.0 * std::exp(-4.0 * t);
          r[i - 1] = x[2] * exp(-t * x[0]) - x[3] * exp(-t * x[1]) + x[5] * exp(-t * x[4]) - y;
        }
      }));
  all.push_back(MakeProblem("Watson6", 31, std::vector<double>(6, 0.0), {2.28767e-3},
                            [](const auto* x, auto* r) {
                              for (int i = 1; i <= 29; ++i) {
                                const double t = i / 29.0;
                                auto s1 = 0.0 * x[0];
                                auto s2 = x[0];
                                double power = 1.0;
                                for (int j = 2; j <= 6; ++j) {
                                  s1 = s1 + (j - 1.0) * power * x[j - 1];
                                  power *= t;
                                  s2 = s2 + power * x[j - 1];
                                }
                                r[i - 1] = s1 - s2 * s2 - 1.0;
                              }
                              r[29] = x[0];
                              r[30] = x[1] - x[0] * x[0] - 1.0;
                            }));
  all.push_back(MakeProblem("BroydenTridiagonal", 10, std::vector<double>(10, -1.0), {0.0},
                            [](const auto* x, auto* r) {
                              for (int i = 0; i < 10; ++i) {
                                auto v = (3.0 - 2.0 * x[i]) * x[i] + 1.0;
                                if (i > 0) v = v - x[i - 1];
                                if (i < 9) v = v - 2.0 * x[i + 1];
                                r[i] = v;
                              }
                            }));
  return all;
}

inline LeastSquaresProblem ClassicProblem(const std::string& name) {
  for (auto& pb : ClassicProblems())
    if (pb.name == name) return pb;
  return {};
}

// Plays the engine's dense optimiser: exact array sizes, constants cached and
// defaults set at construction, nothing printed.
class NlsCaller {
 public:
  NlsCaller(std::int64_t n, std::int64_t p)
      : n_(n), p_(p), liv_(nls::RequiredLiv(p)), lv_(nls::RequiredLv(p)),
        iv_(static_cast<std::size_t>(liv_), 0), v_(static_cast<std::size_t>(lv_), 0.0),
        b_(static_cast<std::size_t>(2 * p), 0.0), d_(static_cast<std::size_t>(p), 0.0),
        dr_(static_cast<std::size_t>(n * p), 0.0), r_(static_cast<std::size_t>(n), 0.0),
        rd_(static_cast<std::size_t>(n), 0.0), x_(static_cast<std::size_t>(p), 0.0) {
    CacheMachineConstants();
    NlsSetDefaults(1, iv_.data(), liv_, lv_, v_.data());
    iv_[nls::kPrunit - 1] = 0;
  }
  // Sized for the problem and started from its standard point.
  explicit NlsCaller(const LeastSquaresProblem& pb) : NlsCaller(pb.n, pb.p) { Start(pb.x0); }

  std::int64_t& IV(std::int64_t k) { return iv_[static_cast<std::size_t>(k - 1)]; }
  double& V(std::int64_t k) { return v_[static_cast<std::size_t>(k - 1)]; }
  std::int64_t n() const { return n_; }
  std::int64_t p() const { return p_; }
  std::vector<double>& x() { return x_; }
  std::vector<double>& r() { return r_; }
  std::vector<double>& dr() { return dr_; }
  std::vector<double>& d() { return d_; }
  std::vector<double>& rd() { return rd_; }
  double Lower(std::int64_t i) const { return b_[static_cast<std::size_t>(2 * i)]; }
  double Upper(std::int64_t i) const { return b_[static_cast<std::size_t>(2 * i + 1)]; }

  // Start of a solve: point, bounds (unbounded when empty), scale and
  // diagnostics cleared.
  void Start(const std::vector<double>& x0, const std::vector<double>& lower = {},
             const std::vector<double>& upper = {}) {
    for (std::int64_t i = 0; i < p_; ++i) {
      const auto k = static_cast<std::size_t>(i);
      x_[k] = x0[k];
      b_[2 * k] = lower.empty() ? -HUGE_VAL : lower[k];
      b_[2 * k + 1] = upper.empty() ? HUGE_VAL : upper[k];
      d_[k] = 0.0;
    }
    for (auto& e : rd_) e = 0.0;
  }

  // The engine's options as its dense optimiser applies them.
  void ApplyEngineOptions(double abs_tol, double rel_tol, double sol_tol, double false_tol,
                          std::int64_t max_iter) {
    V(nls::kAfctol) = abs_tol == 0.0 ? 1e-20 : abs_tol;
    V(nls::kRfctol) = rel_tol;
    V(nls::kXctol) = sol_tol;
    if (false_tol > 0.0) V(nls::kXftol) = false_tol;
    IV(nls::kMxfcal) = max_iter;
    IV(nls::kMxiter) = max_iter;
    for (std::int64_t k : {nls::kCovprt, nls::kOutlev, nls::kParprt, nls::kPrunit, nls::kSolprt,
                           nls::kStatpr, nls::kX0prt})
      IV(k) = 0;
  }

  std::int64_t Call(bool toobig = false) {
    IV(nls::kToobig) = toobig ? 1 : 0;
    std::int64_t n1 = 1;
    std::int64_t n2 = n_;
    NlsBoundedDriver(b_.data(), d_.data(), dr_.data(), iv_.data(), liv_, lv_, n_, n_, n1, n2, p_,
                     r_.data(), rd_.data(), v_.data(), x_.data());
    return iv_[0];
  }

 private:
  std::int64_t n_, p_, liv_, lv_;
  std::vector<std::int64_t> iv_;
  std::vector<double> v_, b_, d_, dr_, r_, rd_, x_;
};

struct RunResult {
  std::int64_t code = 0;
  double f = 0.0;
  std::vector<double> x;
  std::int64_t residual_requests = 0;
  std::int64_t jacobian_requests = 0;
};

// Answers requests until a final code. `evaluable` (optional) says where the
// residuals can be computed; elsewhere the caller reports TOOBIG.
inline RunResult Drive(NlsCaller& c, const LeastSquaresProblem& pb,
                       const std::function<bool(const double*)>& evaluable = nullptr) {
  RunResult out;
  bool toobig = false;
  std::int64_t code = c.Call(false);
  for (int guard = 0; guard < 1000000 && (code == 1 || code == 2); ++guard) {
    toobig = false;
    if (code == 1) {
      ++out.residual_requests;
      if (evaluable && !evaluable(c.x().data())) {
        toobig = true;
      } else {
        pb.residuals(c.x().data(), c.r().data());
      }
    } else {
      ++out.jacobian_requests;
      pb.jacobian(c.x().data(), c.dr().data());
    }
    code = c.Call(toobig);
  }
  out.code = code;
  out.f = c.V(nls::kF);
  out.x = c.x();
  return out;
}

}  // namespace testsupport
