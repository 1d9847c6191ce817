// The trust-region step of the least-squares optimiser: the model on the free
// parameters in scaled coordinates, its constrained minimiser (Levenberg
// parameter found by safeguarded Newton iteration on the step length), and
// the bending of that step at the bounds.
#include <cmath>
#include <limits>

#include "numerics/lsq/nls_internal.h"
#include "numerics/lsq/packed_cholesky.h"

namespace nls {

Work WorkFor(const IntArray& iv, const RealArray& v, std::int64_t p) {
  const Layout l = LayoutFor(iv, p);
  double* base = &v(1);
  std::int64_t* ibase = &iv(1);
  Work w;
  w.p = p;
  w.r = base + l.r - 1;
  w.secant = base + l.secant - 1;
  w.model = base + l.model - 1;
  w.factor = base + l.factor - 1;
  w.g = base + l.g - 1;
  w.g0 = base + l.g0 - 1;
  w.xc = base + l.xc - 1;
  w.step = base + l.step - 1;
  w.jcr = base + l.jcr - 1;
  w.qtr = base + l.qtr - 1;
  w.rhs = base + l.rhs - 1;
  w.row = base + l.row - 1;
  w.peak = base + l.peak - 1;
  double* work = base + l.work - 1;
  double** vectors[kWorkVectors] = {&w.scaled_g, &w.scaled_s, &w.model_g, &w.t, &w.free_g,
                                    &w.w,        &w.best,     &w.y,       &w.u};
  for (std::int64_t k = 0; k < kWorkVectors; ++k) *vectors[k] = work + k * p;
  w.flags = ibase + l.flags - 1;
  w.free = ibase + l.free - 1;
  return w;
}

Tuning TuningFrom(const RealArray& v) {
  Tuning t;
  t.step_tolerance = v(kEpslon);
  t.short_step_fraction = v(kPhmnfc);
  t.long_step_fraction = v(kPhmxfc);
  t.radius_decrease = v(kDecfac);
  t.radius_increase = v(kIncfac);
  t.min_radius_factor = v(kRdfcmn);
  t.max_radius_factor = v(kRdfcmx);
  t.poor_fit_ratio = v(kTuner1);
  t.acceptance_ratio = v(kTuner2);
  t.good_fit_ratio = v(kTuner3);
  t.model_switch_ratio = v(kTuner4);
  t.full_step_fraction = v(kTuner5);
  t.absolute_function_tolerance = v(kAfctol);
  t.relative_function_tolerance = v(kRfctol);
  t.x_convergence_tolerance = v(kXctol);
  t.false_convergence_tolerance = v(kXftol);
  t.initial_radius = v(kLmax0);
  t.singular_test_radius = v(kLmaxs);
  t.singular_convergence_tolerance = v(kSctol);
  t.initial_scale = v(kDinit);
  t.scale_floor_fraction = v(kDtinit);
  t.fallback_scale = v(kD0init);
  t.scale_decay = v(kDfac);
  t.model_switch_fuzz = v(kFuzz);
  t.residual_norm_limit = v(kRlimit);
  t.min_secant_cosine = v(kCosmin);
  return t;
}

void SymmetricMultiply(std::int64_t n, const double* h, const double* x, double* y) {
  for (std::int64_t i = 0; i < n; ++i) y[i] = 0.0;
  for (std::int64_t j = 0; j < n; ++j) {
    const double* col = h + j * (j + 1) / 2;
    double sum = 0.0;
    for (std::int64_t i = 0; i < j; ++i) {
      sum += col[i] * x[i];
      y[i] += col[i] * x[j];
    }
    y[j] += sum + col[j] * x[j];
  }
}

double QuadraticForm(std::int64_t n, const double* h, const double* x) {
  double sum = 0.0;
  for (std::int64_t j = 0; j < n; ++j) {
    const double* col = h + j * (j + 1) / 2;
    double off = 0.0;
    for (std::int64_t i = 0; i < j; ++i) off += col[i] * x[i];
    sum += x[j] * (2.0 * off + col[j] * x[j]);
  }
  return sum;
}

namespace {

double Dot(std::int64_t n, const double* x, const double* y) {
  double s = 0.0;
  for (std::int64_t i = 0; i < n; ++i) s += x[i] * y[i];
  return s;
}

// factor := A + mu I on the free variables.
void FillShifted(const ScaledModel& m, double mu, double* factor) {
  for (std::int64_t b = 0; b < m.nf; ++b) {
    double* col = factor + b * (b + 1) / 2;
    for (std::int64_t a = 0; a <= b; ++a) col[a] = m.Entry(a, b);
    col[b] += mu;
  }
}

// x := U^-T x with the packed upper factor U.
void SolveTransposed(std::int64_t n, const double* u, double* x) {
  for (std::int64_t j = 0; j < n; ++j) {
    const double* col = u + j * (j + 1) / 2;
    x[j] = (x[j] - Dot(j, col, x)) / col[j];
  }
}

// x := U^-1 x.
void SolveUpper(std::int64_t n, const double* u, double* x) {
  for (std::int64_t j = n - 1; j >= 0; --j) {
    const double* col = u + j * (j + 1) / 2;
    x[j] /= col[j];
    for (std::int64_t i = 0; i < j; ++i) x[i] -= col[i] * x[j];
  }
}

// t := -(U^T U)^-1 b.
void SolveFactored(std::int64_t n, const double* u, const double* b, double* t) {
  for (std::int64_t i = 0; i < n; ++i) t[i] = -b[i];
  SolveTransposed(n, u, t);
  SolveUpper(n, u, t);
}

// The Gauss-Newton factor: the rows of [R D^-1 | c] on the free columns and
// sqrt(mu) I rotated into U (U^T U = A + mu I) and q. False when U is
// singular to working precision.
bool FactorGaussNewton(const ScaledModel& m, double mu, double* factor, double* q) {
  const std::int64_t nf = m.nf;
  for (std::int64_t k = 0; k < nf * (nf + 1) / 2; ++k) factor[k] = 0.0;
  for (std::int64_t a = 0; a < nf; ++a) q[a] = 0.0;
  double* z = m.row;
  for (std::int64_t k = 0; k < m.p; ++k) {
    bool any = false;
    for (std::int64_t a = 0; a < nf; ++a) {
      const std::int64_t i = m.free[a];
      z[a] = i >= k ? m.r[PackedAt(k, i)] / m.d[i] : 0.0;
      any = any || z[a] != 0.0;
    }
    if (any) RotateRowIn(nf, factor, q, z, m.rhs[k]);
  }
  if (mu > 0.0) {
    const double root = std::sqrt(mu);
    for (std::int64_t a = 0; a < nf; ++a) {
      for (std::int64_t c = 0; c < nf; ++c) z[c] = c == a ? root : 0.0;
      RotateRowIn(nf, factor, q, z, 0.0);
    }
  }
  double largest = 0.0;
  for (std::int64_t k = 0; k < nf * (nf + 1) / 2; ++k)
    largest = std::fmax(largest, std::fabs(factor[k]));
  const double tiny = NlsMachineConstant(kMachineEpsilon) * largest;
  for (std::int64_t a = 0; a < nf; ++a)
    if (!(factor[a + a * (a + 1) / 2] > tiny)) return false;
  return true;
}

// factor := the factor of A + mu I and t := -(A + mu I)^-1 b; `reduction`
// gets the model's reduction b^T A^-1 b / 2 when mu = 0. The Gauss-Newton
// model takes both from its orthogonal factor (the reduction is ||q||^2 / 2,
// free of the rounding in b); the augmented model, which may be indefinite,
// from a Cholesky factor of A + mu I.
bool FactorAndSolve(const ScaledModel& m, double mu, const double* b, double* factor, double* t,
                    double& reduction) {
  if (m.r != nullptr) {
    if (!FactorGaussNewton(m, mu, factor, t)) return false;
    const double fit = TwoNorm(m.nf, t);
    reduction = 0.5 * fit * fit;
    for (std::int64_t a = 0; a < m.nf; ++a) t[a] = -t[a];
    SolveUpper(m.nf, factor, t);
    return true;
  }
  FillShifted(m, mu, factor);
  std::int64_t info = 0;
  PackedCholeskyFactor(factor, m.nf, info);
  if (info != 0) return false;
  SolveFactored(m.nf, factor, b, t);
  reduction = -0.5 * Dot(m.nf, b, t);
  return true;
}

}  // namespace

double ModelReduction(const ScaledModel& m, const double* b, const double* t) {
  double quad = 0.0;
  for (std::int64_t bb = 0; bb < m.nf; ++bb) {
    double off = 0.0;
    for (std::int64_t a = 0; a < bb; ++a) off += m.Entry(a, bb) * t[a];
    quad += t[bb] * (2.0 * off + m.Entry(bb, bb) * t[bb]);
  }
  return -(Dot(m.nf, b, t) + 0.5 * quad);
}

bool NewtonStep(const ScaledModel& m, const double* b, double* t, double* factor,
                double& reduction) {
  return FactorAndSolve(m, 0.0, b, factor, t, reduction);
}

namespace {

// The search for the Levenberg parameter mu.
constexpr int kMaxLevenbergIterations = 60;
// A fresh mu lies at least this fraction of the bracket above its lower end.
constexpr double kFreshMuOffset = 1e-3;
// A bracket this narrow, relative to its upper end, has converged.
constexpr double kBracketWidth = 1e-12;
// Inverse-iteration sweeps that sharpen the direction of least curvature.
constexpr int kInverseIterationSweeps = 2;

struct MuBracket {
  double lower;
  double upper;
};

// Gershgorin: A + mu I is positive definite above -min_a A(a,a), and the step
// is no longer than delta once mu exceeds |b|/delta + ||A||.
MuBracket GershgorinBracket(const ScaledModel& m, double b_norm, double delta) {
  double a_norm = 0.0;
  double min_diag = std::numeric_limits<double>::infinity();
  for (std::int64_t a = 0; a < m.nf; ++a) {
    double row = 0.0;
    for (std::int64_t c = 0; c < m.nf; ++c) row += std::fabs(m.Entry(a, c));
    a_norm = std::fmax(a_norm, row);
    min_diag = std::fmin(min_diag, m.Entry(a, a));
  }
  return {std::fmax(0.0, std::fmax(-min_diag, b_norm / delta - a_norm)), b_norm / delta + a_norm};
}

// The Newton correction of mu for 1/||t(mu)|| - 1/delta = 0, with factor
// holding the Cholesky factor of A + mu I; w is work.
double MuCorrection(std::int64_t nf, const double* factor, const double* t, double norm,
                    double delta, double* w) {
  for (std::int64_t a = 0; a < nf; ++a) w[a] = t[a];
  SolveTransposed(nf, factor, w);
  const double ratio = norm / TwoNorm(nf, w);
  return ratio * ratio * (norm - delta) / delta;
}

// Near the hard case t stays short of the radius however close mu comes to
// -lambda_min: the step t + tau z along the direction z of least curvature of
// A + mu I (found by inverse iteration from the condition estimate's null
// vector) reaches it. Raises *mu_lower by what z shows; true with the step in
// `best` when that step is close enough to the model's minimiser to stop.
// factor holds the factor of A + mu I again afterwards.
bool HardCaseStep(const ScaledModel& m, const double* b, double delta, double mu, double norm,
                  double step_tolerance, const double* t, double* factor, double* z, double* best,
                  double* mu_lower) {
  const std::int64_t nf = m.nf;
  double rcond = 0.0;
  std::int64_t info = 0;
  FillShifted(m, mu, factor);
  PackedCholeskyCondition(factor, nf, rcond, z, info);  // factors A + mu I again
  for (int sweep = 0; sweep < kInverseIterationSweeps; ++sweep) {
    SolveTransposed(nf, factor, z);
    SolveUpper(nf, factor, z);
    const double z_norm = TwoNorm(nf, z);
    for (std::int64_t a = 0; a < nf; ++a) z[a] /= z_norm;
  }
  // rho = z^T (A + mu I) z = ||U z||^2.
  double rho = 0.0;
  for (std::int64_t j = 0; j < nf; ++j) {
    double uz = 0.0;
    for (std::int64_t a = j; a < nf; ++a) uz += factor[j + a * (a + 1) / 2] * z[a];
    rho += uz * uz;
  }
  *mu_lower = std::fmax(*mu_lower, mu - rho);
  // Only a clearly negative curvature pays for the move: a flat direction
  // (a parameter the residuals ignore) must not be pushed along.
  const double curvature = rho - mu;  // z^T A z
  if (!(curvature < -step_tolerance * mu)) return false;
  double tz = 0.0;
  double utu = 0.0;  // t^T (A + mu I) t
  for (std::int64_t a = 0; a < nf; ++a) tz += t[a] * z[a];
  for (std::int64_t a = 0; a < nf; ++a) utu -= t[a] * b[a];
  const double root = std::sqrt(tz * tz + delta * delta - norm * norm);
  double tau = -tz + root;
  const double other = -tz - root;
  auto change = [&](double s) { return -mu * s * tz + 0.5 * s * s * curvature; };
  if (change(other) < change(tau)) tau = other;
  if (!(tau * tau * rho <= step_tolerance * (utu + mu * delta * delta))) return false;
  for (std::int64_t a = 0; a < nf; ++a) best[a] = t[a] + tau * z[a];
  return true;
}

}  // namespace

TrustRegionStep SolveTrustRegion(const ScaledModel& m, const double* b, double delta,
                                 const Tuning& tn, double* t, double* factor, double* w,
                                 double* best, double* z) {
  const std::int64_t nf = m.nf;
  TrustRegionStep result;
  const double short_end = (1.0 + tn.short_step_fraction) * delta;
  const double long_end = (1.0 + tn.long_step_fraction) * delta;
  const double b_norm = TwoNorm(nf, b);
  for (std::int64_t a = 0; a < nf; ++a) t[a] = 0.0;
  if (nf == 0) {
    result.newton = true;
    return result;
  }

  auto [mu_lower, mu_upper] = GershgorinBracket(m, b_norm, delta);
  const double negligible_mu = NlsMachineConstant(kMachineEpsilon) * mu_upper;

  double mu = -1.0;
  double unused = 0.0;
  if (FactorAndSolve(m, 0.0, b, factor, t, unused)) {
    const double norm = TwoNorm(nf, t);
    if (norm <= long_end) {
      result.newton = true;
      result.norm = norm;
      return result;
    }
    // From the left, a Newton step on 1/||t(mu)|| - 1/delta never passes
    // the root, so it bounds mu from below.
    mu = MuCorrection(nf, factor, t, norm, delta, w);
    mu_lower = std::fmax(mu_lower, mu);
  }
  if (b_norm == 0.0 && mu_lower == 0.0) return result;  // flat and convex: stay

  bool have_best = false;
  double best_norm = 0.0;
  double best_mu = 0.0;
  for (int iteration = 0; iteration < kMaxLevenbergIterations; ++iteration) {
    if (!(mu > 0.0 && mu >= mu_lower && mu <= mu_upper)) {
      mu = std::fmax(std::sqrt(mu_lower * mu_upper),
                     mu_lower + kFreshMuOffset * (mu_upper - mu_lower));
    }
    if (!FactorAndSolve(m, mu, b, factor, t, unused)) {
      mu_lower = mu;
      mu = -1.0;  // choose afresh inside the narrower bracket
      continue;
    }
    const double norm = TwoNorm(nf, t);
    for (std::int64_t a = 0; a < nf; ++a) best[a] = t[a];
    have_best = true;
    best_norm = norm;
    best_mu = mu;
    if (norm >= short_end && norm <= long_end) break;
    if (norm > delta) {
      mu_lower = mu;
    } else {
      mu_upper = mu;
      if (mu <= negligible_mu) break;  // the model is flat where t falls short
      // The hard case needs negative curvature, which R^T R never has.
      if (m.r == nullptr &&
          HardCaseStep(m, b, delta, mu, norm, tn.step_tolerance, t, factor, z, best, &mu_lower)) {
        best_norm = delta;
        break;
      }
    }
    if (mu_upper - mu_lower <= kBracketWidth * mu_upper) break;
    mu += MuCorrection(nf, factor, t, norm, delta, w);
  }
  if (!have_best) return result;
  double scale = 1.0;
  if (best_norm > long_end) scale = delta / best_norm;
  for (std::int64_t a = 0; a < nf; ++a) t[a] = best[a] * scale;
  result.mu = best_mu;
  result.norm = best_norm * scale;
  return result;
}

bool SecantUpdate(std::int64_t p, const double* s, const double* y, double* ysharp,
                  double min_cosine, double* secant, double* ss) {
  const double ys = Dot(p, y, s);
  if (!(ys > min_cosine * TwoNorm(p, y) * TwoNorm(p, s))) return false;  // too little curvature
  SymmetricMultiply(p, secant, s, ss);
  const double sss = Dot(p, s, ss);
  const double sys = Dot(p, s, ysharp);
  if (sss != 0.0) {
    // Sizing: an S that overstates the curvature along s is scaled down first.
    const double size = std::fmin(1.0, std::fabs(sys / sss));
    if (size < 1.0) {
      for (std::int64_t k = 0; k < p * (p + 1) / 2; ++k) secant[k] *= size;
      for (std::int64_t i = 0; i < p; ++i) ss[i] *= size;
    }
  }
  for (std::int64_t i = 0; i < p; ++i) ysharp[i] -= ss[i];  // now y# - S s
  const double* u = ysharp;
  const double us = Dot(p, u, s);
  for (std::int64_t j = 0; j < p; ++j) {
    for (std::int64_t i = 0; i <= j; ++i) {
      secant[PackedAt(i, j)] += (u[i] * y[j] + y[i] * u[j]) / ys - us * y[i] * y[j] / (ys * ys);
    }
  }
  return true;
}

void BuildModel(const IntArray& iv, const Work& w) {
  GramFromFactor(w.p, w.r, w.model);
  if (iv(kModel) != 2) return;
  for (std::int64_t k = 0; k < w.p * (w.p + 1) / 2; ++k) w.model[k] += w.secant[k];
}

ScaledModel ModelOn(const IntArray& iv, const Work& w, const double* d, std::int64_t nf,
                    const double* rhs) {
  ScaledModel m{w.model, d, w.free, nf};
  if (iv(kModel) != 2) {
    m.r = w.r;
    m.rhs = rhs;
    m.p = w.p;
    m.row = w.row;
  }
  return m;
}

void FindHeldVariables(const Work& w, const double* bounds) {
  for (std::int64_t i = 0; i < w.p; ++i) {
    const double lo = bounds[2 * i];
    const double hi = bounds[2 * i + 1];
    std::int64_t flag = 0;
    if (lo == hi) {
      flag = 2;
    } else if (w.xc[i] <= lo && w.g[i] >= 0.0) {
      flag = -1;  // descent would leave through the lower bound
    } else if (w.xc[i] >= hi && w.g[i] <= 0.0) {
      flag = 1;
    }
    w.flags[i] = flag;
  }
}

std::int64_t FreeList(const Work& w) {
  std::int64_t nf = 0;
  for (std::int64_t i = 0; i < w.p; ++i)
    if (w.flags[i] == 0) w.free[nf++] = i;
  return nf;
}

// Variables whose reach differs from the shortest by less than this
// relative amount meet their bounds together.
constexpr double kSameReach = 1e-12;

void ComputeTrialStep(const IntArray& iv, const RealArray& v, const Work& w, const double* bounds,
                      const double* d, double* x, double delta) {
  const std::int64_t p = w.p;
  const Tuning tn = TuningFrom(v);
  for (std::int64_t i = 0; i < p; ++i) {
    w.scaled_g[i] = w.g[i] / d[i];
    w.scaled_s[i] = 0.0;
    w.model_g[i] = w.scaled_g[i];
    w.rhs[i] = w.qtr[i];
  }
  std::int64_t nf = FreeList(w);
  bool newton = false;
  double first_mu = 0.0;
  double remaining = delta;
  // Each piece minimises the model over the variables still free; where it
  // meets a bound the variables that reach it are pinned and the rest of the
  // radius goes to the next piece.
  for (std::int64_t piece = 0; piece < p && nf > 0; ++piece) {
    for (std::int64_t a = 0; a < nf; ++a) w.free_g[a] = w.model_g[w.free[a]];
    const ScaledModel m = ModelOn(iv, w, d, nf, w.rhs);
    const TrustRegionStep tr =
        SolveTrustRegion(m, w.free_g, remaining, tn, w.t, w.factor, w.w, w.best, w.y);
    if (piece == 0) {
      newton = tr.newton;
      first_mu = tr.mu;
    }
    // reach[a]: the fraction of t that brings variable free[a] to its bound.
    double* reach = w.w;
    double alpha = 1.0;
    for (std::int64_t a = 0; a < nf; ++a) {
      const std::int64_t i = w.free[a];
      reach[a] = std::numeric_limits<double>::infinity();
      if (w.t[a] == 0.0) continue;
      const double xi = w.xc[i] + w.scaled_s[i] / d[i];
      const double room = ((w.t[a] < 0.0 ? bounds[2 * i] : bounds[2 * i + 1]) - xi) * d[i];
      // Only a reach below 1 counts: a far bound over a tiny component of
      // t would overflow the quotient.
      const double ahead = w.t[a] < 0.0 ? -room : room;
      const double length = std::fabs(w.t[a]);
      if (ahead / 2.0 < length) reach[a] = std::fmax(0.0, ahead / length);
      alpha = std::fmin(alpha, reach[a]);
    }
    if (alpha >= 1.0) {
      for (std::int64_t a = 0; a < nf; ++a) w.scaled_s[w.free[a]] += w.t[a];
      break;
    }
    newton = false;
    std::int64_t kept = 0;
    for (std::int64_t a = 0; a < nf; ++a) {
      const std::int64_t i = w.free[a];
      if (reach[a] <= alpha * (1.0 + kSameReach)) {
        const double bound = w.t[a] < 0.0 ? bounds[2 * i] : bounds[2 * i + 1];
        w.scaled_s[i] = (bound - w.xc[i]) * d[i];
      } else {
        w.scaled_s[i] += alpha * w.t[a];
        w.free[kept++] = i;
      }
    }
    if (kept == nf) break;
    nf = kept;
    const double used = TwoNorm(p, w.scaled_s);
    if (used >= (1.0 + tn.short_step_fraction) * delta) break;
    remaining = std::sqrt(delta * delta - used * used);
    // Model gradient at the partial step: (g + H s) / d.
    for (std::int64_t i = 0; i < p; ++i) w.step[i] = w.scaled_s[i] / d[i];
    SymmetricMultiply(p, w.model, w.step, w.u);
    for (std::int64_t i = 0; i < p; ++i) w.model_g[i] = (w.g[i] + w.u[i]) / d[i];
    TriangularMultiply(p, w.r, w.step, w.rhs);
    for (std::int64_t i = 0; i < p; ++i) w.rhs[i] += w.qtr[i];
  }

  // The trial point, inside the box whatever the rounding.
  for (std::int64_t i = 0; i < p; ++i) {
    const double lo = bounds[2 * i];
    const double hi = bounds[2 * i + 1];
    x[i] = std::fmin(hi, std::fmax(lo, w.xc[i] + w.scaled_s[i] / d[i]));
    w.step[i] = x[i] - w.xc[i];
    w.u[i] = d[i] * w.step[i];
  }
  const double gts = Dot(p, w.g, w.step);
  TriangularMultiply(p, w.r, w.step, w.row);
  const double sjs = Dot(p, w.row, w.row);
  const double sss = QuadraticForm(p, w.secant, w.step);
  v(kDstnrm) = TwoNorm(p, w.u);
  v(kGtstep) = gts;
  v(kPredGn) = -(gts + 0.5 * sjs);
  v(kPredAug) = -(gts + 0.5 * (sjs + sss));
  v(kPreduc) = iv(kModel) == 2 ? v(kPredAug) : v(kPredGn);
  v(kStppar) = first_mu;
  iv(kNewtonStep) = newton ? 1 : 0;
  double largest_move = 0.0;
  double size = 0.0;
  for (std::int64_t i = 0; i < p; ++i) {
    largest_move = std::fmax(largest_move, std::fabs(w.u[i]));
    size = std::fmax(size, d[i] * (std::fabs(x[i]) + std::fabs(w.xc[i])));
  }
  v(kReldx) = size > 0.0 ? largest_move / size : (largest_move > 0.0 ? 1.0 : 0.0);
}

}  // namespace nls
