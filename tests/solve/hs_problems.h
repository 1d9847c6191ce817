// Hock-Schittkowski test problems with forward-mode derivatives: each
// gives its objective and constraints c(x) >= 0 (equalities first, = 0),
// its bounds, its standard start and its published optimum.
#pragma once

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace hs {

inline constexpr int kMaxN = 5;
inline constexpr double kInf = std::numeric_limits<double>::infinity();

// A value with its derivatives in up to kMaxN variables.
struct D {
  double v = 0.0;
  double d[kMaxN] = {};
  D() = default;
  D(double value) : v(value) {}  // NOLINT: constants mix in freely
};
inline D operator+(D a, const D& b) {
  a.v += b.v;
  for (int k = 0; k < kMaxN; ++k) a.d[k] += b.d[k];
  return a;
}
inline D operator-(D a, const D& b) {
  a.v -= b.v;
  for (int k = 0; k < kMaxN; ++k) a.d[k] -= b.d[k];
  return a;
}
inline D operator-(const D& a) { return D(0.0) - a; }
inline D operator*(const D& a, const D& b) {
  D r(a.v * b.v);
  for (int k = 0; k < kMaxN; ++k) r.d[k] = a.d[k] * b.v + a.v * b.d[k];
  return r;
}
inline D sq(const D& a) { return a * a; }

using Function = std::function<void(const D* x, D* f, D* c)>;

struct Problem {
  std::string name;
  int n, equalities, inequalities;
  std::vector<double> start, lower, upper;
  double optimum;
  Function eval;
  int m() const { return equalities + inequalities; }

  // f, c, the gradient of f and the dense Jacobian (row i, column j at i * n + j).
  void Evaluate(const double* x, double* f, double* c, double* grad, double* jac) const {
    std::vector<D> xd(static_cast<std::size_t>(n));
    for (int j = 0; j < n; ++j) {
      xd[static_cast<std::size_t>(j)].v = x[j];
      xd[static_cast<std::size_t>(j)].d[j] = 1.0;
    }
    D fd;
    std::vector<D> cd(static_cast<std::size_t>(m()));
    eval(xd.data(), &fd, cd.data());
    if (f != nullptr) *f = fd.v;
    for (int i = 0; i < m(); ++i) {
      if (c != nullptr) c[i] = cd[static_cast<std::size_t>(i)].v;
      for (int j = 0; j < n && jac != nullptr; ++j) {
        jac[i * n + j] = cd[static_cast<std::size_t>(i)].d[j];
      }
    }
    for (int j = 0; j < n && grad != nullptr; ++j) grad[j] = fd.d[j];
  }
};

inline std::vector<double> Free(int n, double v) { return std::vector<double>(n, v); }

inline std::vector<Problem> All() {
  return {
      {"HS001",
       2,
       0,
       0,
       {-2, 1},
       {-kInf, -1.5},
       {kInf, kInf},
       0.0,
       [](const D* x, D* f, D*) { *f = D(100) * sq(x[1] - sq(x[0])) + sq(D(1) - x[0]); }},
      {"HS004",
       2,
       0,
       0,
       {1.125, 0.125},
       {1, 0},
       {kInf, kInf},
       8.0 / 3.0,
       [](const D* x, D* f, D*) {
         const D a = x[0] + D(1);
         *f = a * a * a * D(1.0 / 3.0) + x[1];
       }},
      {"HS006",
       2,
       1,
       0,
       {-1.2, 1},
       Free(2, -kInf),
       Free(2, kInf),
       0.0,
       [](const D* x, D* f, D* c) {
         *f = sq(D(1) - x[0]);
         c[0] = D(10) * (x[1] - sq(x[0]));
       }},
      {"HS010",
       2,
       0,
       1,
       {-10, 10},
       Free(2, -kInf),
       Free(2, kInf),
       -1.0,
       [](const D* x, D* f, D* c) {
         *f = x[0] - x[1];
         c[0] = D(-3) * sq(x[0]) + D(2) * x[0] * x[1] - sq(x[1]) + D(1);
       }},
      {"HS011",
       2,
       0,
       1,
       {4.9, 0.1},
       Free(2, -kInf),
       Free(2, kInf),
       -8.498464223,
       [](const D* x, D* f, D* c) {
         *f = sq(x[0] - D(5)) + sq(x[1]) - D(25);
         c[0] = -sq(x[0]) + x[1];
       }},
      {"HS012",
       2,
       0,
       1,
       {0, 0},
       Free(2, -kInf),
       Free(2, kInf),
       -30.0,
       [](const D* x, D* f, D* c) {
         *f = D(0.5) * sq(x[0]) + sq(x[1]) - x[0] * x[1] - D(7) * x[0] - D(7) * x[1];
         c[0] = D(25) - D(4) * sq(x[0]) - sq(x[1]);
       }},
      {"HS021",
       2,
       0,
       1,
       {-1, -1},
       {2, -50},
       {50, 50},
       -99.96,
       [](const D* x, D* f, D* c) {
         *f = D(0.01) * sq(x[0]) + sq(x[1]) - D(100);
         c[0] = D(10) * x[0] - x[1] - D(10);
       }},
      {"HS028",
       3,
       1,
       0,
       {-4, 1, 1},
       Free(3, -kInf),
       Free(3, kInf),
       0.0,
       [](const D* x, D* f, D* c) {
         *f = sq(x[0] + x[1]) + sq(x[1] + x[2]);
         c[0] = x[0] + D(2) * x[1] + D(3) * x[2] - D(1);
       }},
      {"HS035",
       3,
       0,
       1,
       {0.5, 0.5, 0.5},
       Free(3, 0),
       Free(3, kInf),
       1.0 / 9.0,
       [](const D* x, D* f, D* c) {
         *f = D(9) - D(8) * x[0] - D(6) * x[1] - D(4) * x[2] + D(2) * sq(x[0]) + D(2) * sq(x[1]) +
              sq(x[2]) + D(2) * x[0] * x[1] + D(2) * x[0] * x[2];
         c[0] = D(3) - x[0] - x[1] - D(2) * x[2];
       }},
      {"HS048",
       5,
       2,
       0,
       {3, 5, -3, 2, -2},
       Free(5, -kInf),
       Free(5, kInf),
       0.0,
       [](const D* x, D* f, D* c) {
         *f = sq(x[0] - D(1)) + sq(x[1] - x[2]) + sq(x[3] - x[4]);
         c[0] = x[0] + x[1] + x[2] + x[3] + x[4] - D(5);
         c[1] = x[2] - D(2) * (x[3] + x[4]) + D(3);
       }},
      {"HS071",
       4,
       1,
       1,
       {1, 5, 5, 1},
       Free(4, 1),
       Free(4, 5),
       17.0140173,
       [](const D* x, D* f, D* c) {
         *f = x[0] * x[3] * (x[0] + x[1] + x[2]) + x[2];
         c[0] = sq(x[0]) + sq(x[1]) + sq(x[2]) + sq(x[3]) - D(40);
         c[1] = x[0] * x[1] * x[2] * x[3] - D(25);
       }},
      {"HS076",
       4,
       0,
       3,
       {0.5, 0.5, 0.5, 0.5},
       Free(4, 0),
       Free(4, kInf),
       -4.681818181,
       [](const D* x, D* f, D* c) {
         *f = sq(x[0]) + D(0.5) * sq(x[1]) + sq(x[2]) + D(0.5) * sq(x[3]) - x[0] * x[2] +
              x[2] * x[3] - x[0] - D(3) * x[1] + x[2] - x[3];
         c[0] = D(5) - x[0] - D(2) * x[1] - x[2] - x[3];
         c[1] = D(4) - D(3) * x[0] - x[1] - D(2) * x[2] + x[3];
         c[2] = x[1] + D(4) * x[2] - D(1.5);
       }},
      {"HS038",
       4,
       0,
       0,
       {-3, -1, -3, -1},
       Free(4, -10),
       Free(4, 10),
       0.0,
       [](const D* x, D* f, D*) {
         *f = D(100) * sq(x[1] - sq(x[0])) + sq(D(1) - x[0]) + D(90) * sq(x[3] - sq(x[2])) +
              sq(D(1) - x[2]) + D(10.1) * (sq(x[1] - D(1)) + sq(x[3] - D(1))) +
              D(19.8) * (x[1] - D(1)) * (x[3] - D(1));
       }},
      {"HS043",
       4,
       0,
       3,
       {0, 0, 0, 0},
       Free(4, -kInf),
       Free(4, kInf),
       -44.0,
       [](const D* x, D* f, D* c) {
         *f = sq(x[0]) + sq(x[1]) + D(2) * sq(x[2]) + sq(x[3]) - D(5) * x[0] - D(5) * x[1] -
              D(21) * x[2] + D(7) * x[3];
         c[0] = D(8) - sq(x[0]) - sq(x[1]) - sq(x[2]) - sq(x[3]) - x[0] + x[1] - x[2] + x[3];
         c[1] = D(10) - sq(x[0]) - D(2) * sq(x[1]) - sq(x[2]) - D(2) * sq(x[3]) + x[0] + x[3];
         c[2] = D(5) - D(2) * sq(x[0]) - sq(x[1]) - sq(x[2]) - D(2) * x[0] + x[1] + x[3];
       }},
      {"HS050",
       5,
       3,
       0,
       {35, -31, 11, 5, -5},
       Free(5, -kInf),
       Free(5, kInf),
       0.0,
       [](const D* x, D* f, D* c) {
         *f = sq(x[0] - x[1]) + sq(x[1] - x[2]) + sq(sq(x[2] - x[3])) + sq(x[3] - x[4]);
         c[0] = x[0] + D(2) * x[1] + D(3) * x[2] - D(6);
         c[1] = x[1] + D(2) * x[2] + D(3) * x[3] - D(6);
         c[2] = x[2] + D(2) * x[3] + D(3) * x[4] - D(6);
       }},
  };
}

// x0 >= 2 and x0 <= 1: no feasible point.
inline Problem Infeasible() {
  return {
      "infeasible", 2, 0, 2, {0, 0}, Free(2, -10), Free(2, 10), 0.0, [](const D* x, D* f, D* c) {
        *f = sq(x[0]) + sq(x[1]);
        c[0] = x[0] - D(2);
        c[1] = D(1) - x[0];
      }};
}

// Falls without end along x0.
inline Problem Unbounded() {
  return {
      "unbounded", 2, 0, 1, {0, 0}, Free(2, -kInf), Free(2, kInf), 0.0, [](const D* x, D* f, D* c) {
        *f = -sq(x[0]) - x[0] + sq(x[1]);
        c[0] = x[0] + D(1);
      }};
}

}  // namespace hs
