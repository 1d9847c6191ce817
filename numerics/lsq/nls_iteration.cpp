// The iteration of the least-squares optimiser as a state machine kept in IV:
// each call handles the answer to the pending request and either asks for the
// next evaluation or ends with a final code. X always returns the best point.
#include <cmath>
#include <cstdio>
#include <limits>

#include "numerics/lsq/nls_internal.h"

namespace nls {
namespace {

double Dot(std::int64_t n, const double* x, const double* y) {
  double s = 0.0;
  for (std::int64_t i = 0; i < n; ++i) s += x[i] * y[i];
  return s;
}

bool AllFinite(std::int64_t n, const double* x) {
  for (std::int64_t i = 0; i < n; ++i)
    if (!std::isfinite(x[i])) return false;
  return true;
}

// Column j of the Jacobian (0-based).
const double* Column(const Problem& pb, std::int64_t j) { return pb.dr + j * pb.nd; }

void RequestResiduals(const IntArray& iv, std::int64_t phase) {
  iv(kNfcall) += 1;
  iv(kPhase) = phase;
  iv(1) = kEvaluateResiduals;
}

void RequestJacobian(const IntArray& iv) {
  iv(kNgcall) += 1;
  iv(kPhase) = kPhaseJacobian;
  iv(1) = kEvaluateJacobian;
}

// Ends the solve at the iterate; a covariance can follow when J^T J at the
// iterate is held.
void Finish(const IntArray& iv, const Work& w, const Problem& pb, std::int64_t code) {
  if (iv(kState) == 2) {
    for (std::int64_t i = 0; i < pb.p; ++i) pb.x[i] = w.xc[i];
    iv(kFdh) = iv(kCovreq) != 0 ? 1 : 0;
  } else {
    iv(kFdh) = 0;
  }
  iv(kRestor) = iv(kPhase) == kPhaseTrialResiduals ? 1 : 0;
  iv(kPhase) = 0;
  iv(kCnvcod) = 0;
  iv(kMode) = 0;
  iv(1) = code;
}

// Scale of the parameters. With DTYPE 1 it follows the column norms of J,
// never below the scale decay times the longest that column has been in this
// solve, nor below the floor fraction of the largest; when J vanishes
// altogether the old scale, or the fallback scale, stays. A decay that
// compounded from iteration to iteration would let the scale of a parameter
// whose column fades (an exponential rate pushed into its flat tail) fall
// without end, and the trust region then allows it any move at all.
void UpdateScale(const IntArray& iv, const Tuning& tn, const Work& w, double* d) {
  const std::int64_t p = w.p;
  if (iv(kDtype) == 0) {
    for (std::int64_t i = 0; i < p; ++i)
      if (!(d[i] > 0.0) || !std::isfinite(d[i])) d[i] = 1.0;
    return;
  }
  // Column i of J has the length of column i of R.
  double largest = 0.0;
  for (std::int64_t i = 0; i < p; ++i) {
    w.u[i] = TwoNorm(i + 1, w.r + i * (i + 1) / 2);
    largest = std::fmax(largest, w.u[i]);
  }
  const double floor = tn.scale_floor_fraction * largest;
  for (std::int64_t i = 0; i < p; ++i) {
    const double column = w.u[i];
    const double old = (d[i] > 0.0 && std::isfinite(d[i])) ? d[i] : 0.0;
    w.peak[i] = std::fmax(w.peak[i], column);
    double next = std::fmax(tn.scale_decay * w.peak[i], column);
    if (next < floor) next = floor;
    if (!(next > 0.0)) next = old > 0.0 ? old : tn.fallback_scale;
    d[i] = next;
  }
}

// Whether the radius has fallen below what rounding leaves of every scaled
// component of the iterate or, when the scale follows J (no column longer
// than its scale), of the residuals: no step within it can change x or F.
// Trials that fail again and again from x = 0 would otherwise shrink it
// towards the smallest double, where the step's arithmetic overflows.
bool RadiusSpent(const IntArray& iv, const RealArray& v, const Work& w, const Problem& pb) {
  const double machine_epsilon = NlsMachineConstant(kMachineEpsilon);
  double size = 0.0;
  for (std::int64_t i = 0; i < pb.p; ++i) {
    const double component = pb.d[i] * std::fabs(w.xc[i]);
    size = i == 0 ? component : std::fmin(size, component);
  }
  if (iv(kDtype) != 0) size = std::fmax(size, std::sqrt(2.0 * std::fmax(v(kF), 0.0)));
  const double floor = std::fmax(machine_epsilon * size,
                                 std::numeric_limits<double>::min() / machine_epsilon);
  return !(v(kRadius) > floor);
}

// Builds the trial step within the current radius and asks for residuals at
// it, unless the step is empty or the evaluation limit is reached.
void TryStep(const IntArray& iv, const RealArray& v, const Work& w, const Problem& pb) {
  if (RadiusSpent(iv, v, w, pb)) {
    Finish(iv, w, pb, iv(kCnvcod) != 0 ? iv(kCnvcod) : kFalseConvergence);
    return;
  }
  ComputeTrialStep(iv, v, w, pb.b, pb.d, pb.x, v(kRadius));
  if (v(kDstnrm) == 0.0) {
    // No move left that the model favours: the pending code stands, else the
    // iterate is not where the tests say it should be.
    Finish(iv, w, pb, iv(kCnvcod) != 0 ? iv(kCnvcod) : kFalseConvergence);
    return;
  }
  if (iv(kNfcall) >= iv(kMxfcal)) {
    Finish(iv, w, pb, iv(kCnvcod) != 0 ? iv(kCnvcod) : kEvaluationLimit);
    return;
  }
  RequestResiduals(iv, kPhaseTrialResiduals);
}

// S is updated from the step, the change of gradient y = g+ - g and
// y# = g+ - J^T r+ (the change that J^T J cannot explain).
void UpdateSecant(const IntArray& iv, const Tuning& tn, const Work& w) {
  const std::int64_t p = w.p;
  for (std::int64_t i = 0; i < p; ++i) {
    w.y[i] = w.g[i] - w.g0[i];
    w.u[i] = w.g[i] - w.jcr[i];
  }
  if (SecantUpdate(p, w.step, w.y, w.u, tn.min_secant_cosine, w.secant, w.t)) iv(kSecantSet) = 1;
}

// The convergence tests at the iterate, given its Newton reduction (< 0
// when the model has no minimiser) and the length of its Newton step; 0 when
// none holds.
std::int64_t ConvergenceCode(const IntArray& iv, const RealArray& v, const Tuning& tn,
                             const Work& w, const ScaledModel& m, double f, double newton_reduction,
                             double newton_length) {
  std::int64_t code = 0;
  if (f <= tn.absolute_function_tolerance) {
    code = kAbsoluteFunctionConvergence;
  } else {
    const bool relative =
        newton_reduction >= 0.0 && newton_reduction <= tn.relative_function_tolerance * f;
    const bool x_converged =
        iv(kNiter) > 0 && iv(kLastNewton) != 0 && v(kLastReldx) <= tn.x_convergence_tolerance;
    if (relative && x_converged) {
      code = kBothConvergence;
    } else if (relative) {
      code = kRelativeFunctionConvergence;
    } else if (x_converged) {
      code = kXConvergence;
    } else if ((newton_reduction < 0.0 || newton_length > tn.singular_test_radius) &&
               (iv(kNiter) == 0 || v(kReldf) <= std::fmax(tn.singular_convergence_tolerance,
                                                          tn.relative_function_tolerance))) {
      // No step of moderate length promises anything and the last step got
      // nothing either: the model is singular.
      SolveTrustRegion(m, w.free_g, tn.singular_test_radius, tn, w.t, w.factor, w.w, w.best, w.y);
      if (ModelReduction(m, w.free_g, w.t) <= tn.singular_convergence_tolerance * f) {
        code = kSingularConvergence;
      }
    }
  }
  return code;
}

// Rows of [J r] folded into R and Q^T r per Householder piece: the model and
// factor slots, free until the model is built, hold the piece.
std::int64_t ChunkRows(std::int64_t p) {
  return p;  // p rows of p + 1 values fill the two packed slots
}

// The Jacobian at the iterate has arrived: its factor R, the gradient
// R^T Q^T r, secant, scale, convergence tests, then the next trial step.
void OnJacobian(const IntArray& iv, const RealArray& v, const Work& w, const Problem& pb) {
  const std::int64_t p = pb.p;
  const Tuning tn = TuningFrom(v);
  for (std::int64_t k = 0; k < p * (p + 1) / 2; ++k) w.r[k] = 0.0;
  for (std::int64_t j = 0; j < p; ++j) w.qtr[j] = 0.0;
  AccumulateRows(p, pb.dr, pb.nd, pb.r, 0, pb.n, iv(kQrtyp) != 0, w.r, w.qtr, w.model, ChunkRows(p),
                 w.row);
  TriangularTransposeMultiply(p, w.r, w.qtr, w.g);
  if (iv(kStepTaken) != 0) UpdateSecant(iv, tn, w);
  iv(kStepTaken) = 0;
  UpdateScale(iv, tn, w, pb.d);
  iv(kState) = 2;
  BuildModel(iv, w);
  FindHeldVariables(w, pb.b);

  const double f = v(kF);
  const std::int64_t nf = FreeList(w);
  const ScaledModel m = ModelOn(iv, w, pb.d, nf, w.qtr);
  for (std::int64_t a = 0; a < nf; ++a) w.free_g[a] = w.g[w.free[a]] / pb.d[w.free[a]];
  double newton_reduction = -1.0;
  double newton_length = 0.0;
  if (NewtonStep(m, w.free_g, w.t, w.factor, newton_reduction)) newton_length = TwoNorm(nf, w.t);
  v(kNreduc) = newton_reduction;
  ReportIteration(iv, v);

  std::int64_t code = ConvergenceCode(iv, v, tn, w, m, f, newton_reduction, newton_length);
  if (iv(kCnvcod) != 0) {
    // After the confirming step: the pending code stands, or a sharper one.
    const bool sharper = code >= kXConvergence && code <= kAbsoluteFunctionConvergence;
    Finish(iv, w, pb, sharper ? code : iv(kCnvcod));
    return;
  }
  if ((code == kRelativeFunctionConvergence || code == kBothConvergence) &&
      iv(kNiter) < iv(kMxiter)) {
    // The test holds at this iterate, which is as far as the Newton
    // reduction promised; its Newton step, one more Jacobian, takes x the
    // rest of the way (for a slowly converging large-residual fit, several
    // digits). A step that fails keeps this iterate and the code.
    iv(kCnvcod) = code;
    code = 0;
    v(kRadius) = std::fmax(v(kRadius), (1.0 + tn.long_step_fraction) * newton_length);
  }
  if (code == 0 && iv(kNiter) >= iv(kMxiter)) code = kIterationLimit;
  if (code == 0 && StopRequested()) code = 11;
  if (code != 0) {
    Finish(iv, w, pb, code);
    return;
  }
  if (v(kRadius) < 0.0) v(kRadius) = tn.initial_radius;
  TryStep(iv, v, w, pb);
}

// Rounding units of MACHEP that summing F may lose.
constexpr double kRoundingUlps = 100.0;

// Whether a computed trial point becomes the iterate. A full Newton step
// whose promise is smaller than the noise in F (F missing its prediction by
// more than the whole Newton reduction, and by less than the finest relative
// change a default solve asks for) cannot be confirmed by any step: F is as
// small as it can be resolved. Such a step is taken, as the model's best
// guess, and ends the solve like a confirming step (IV(CNVCOD) set), which
// stands unless F grew by more than its promise or than summing F rounds.
bool TrialAccepted(const IntArray& iv, const RealArray& v, const Tuning& tn, double f,
                   double trial_f) {
  const double predicted = v(kPreduc);
  const double actual_reduction = f - trial_f;
  const double machine_epsilon = NlsMachineConstant(kMachineEpsilon);
  const double miss = std::fabs(actual_reduction - predicted);
  const double finest = std::pow(machine_epsilon, 2.0 / 3.0) * f;
  double rounding = std::fmax(std::fabs(predicted), kRoundingUlps * machine_epsilon * f);
  if (iv(kCnvcod) == 0 && iv(kNewtonStep) != 0 && v(kNreduc) >= 0.0 && v(kNreduc) <= miss &&
      miss <= finest) {
    iv(kCnvcod) = kRelativeFunctionConvergence;
    rounding = std::fmax(rounding, miss);
  }
  if (iv(kCnvcod) != 0) return actual_reduction >= -rounding;
  return trial_f < f && actual_reduction >= tn.acceptance_ratio * predicted;
}

// The residuals at a trial point have arrived (or could not be computed).
void OnTrialResiduals(const IntArray& iv, const RealArray& v, const Work& w, const Problem& pb) {
  const std::int64_t p = pb.p;
  const Tuning tn = TuningFrom(v);
  const double f = v(kF);
  bool failed = iv(kToobig) != 0 || !AllFinite(pb.n, pb.r);
  double trial_f = 0.0;
  if (!failed) {
    const double norm = TwoNorm(pb.n, pb.r);
    trial_f = 0.5 * norm * norm;
    // J at the iterate is still in DR: J^T r+ feeds the secant update.
    for (std::int64_t j = 0; j < p; ++j) w.jcr[j] = Dot(pb.n, Column(pb, j), pb.r);
    if (norm > tn.residual_norm_limit && trial_f > f) failed = true;
  }
  v(kFtrial) = trial_f;
  const double predicted = v(kPreduc);
  const double actual_reduction = f - trial_f;
  const bool accepted = !failed && TrialAccepted(iv, v, tn, f, trial_f);
  const double step_length = v(kDstnrm);
  double radius = v(kRadius);

  if (accepted) {
    iv(kNiter) += 1;
    const double rho = predicted > 0.0 ? actual_reduction / predicted : 1.0;
    if (rho < tn.poor_fit_ratio) {
      radius = tn.radius_decrease * step_length;
    } else if (rho >= tn.good_fit_ratio && step_length >= tn.full_step_fraction * radius) {
      radius = std::fmin(tn.max_radius_factor * radius,
                         std::fmax(radius, tn.radius_increase * step_length));
    }
    // A trial of this iteration failed at the old radius: do not offer it
    // again to the next model.
    if (iv(kRetried) != 0) radius = std::fmin(radius, tn.radius_increase * step_length);
    v(kRadius) = radius;
    // Keep the model that foretold this step better, with a margin against
    // switching on noise.
    const bool augmented = iv(kModel) == 2;
    const double own_error = std::fabs(actual_reduction - (augmented ? v(kPredAug) : v(kPredGn)));
    const double other_error = std::fabs(actual_reduction - (augmented ? v(kPredGn) : v(kPredAug)));
    if (tn.model_switch_fuzz * other_error < own_error) iv(kModel) = augmented ? 1 : 2;
    v(kReldf) = f > 0.0 ? actual_reduction / f : 0.0;
    v(kPreldf) = f > 0.0 ? predicted / f : 0.0;
    v(kF0) = f;
    v(kF) = trial_f;
    v(kLastReldx) = v(kReldx);
    iv(kLastNewton) = iv(kNewtonStep);
    iv(kSwitched) = 0;
    iv(kRetried) = 0;
    iv(kStepTaken) = 1;
    for (std::int64_t i = 0; i < p; ++i) {
      w.g0[i] = w.g[i];
      w.xc[i] = pb.x[i];
    }
    RequestJacobian(iv);
    return;
  }

  if (iv(kCnvcod) != 0) {
    Finish(iv, w, pb, iv(kCnvcod));  // the confirming step found nothing better
    return;
  }
  if (v(kReldx) <= tn.false_convergence_tolerance) {
    Finish(iv, w, pb, kFalseConvergence);
    return;
  }
  if (!failed && iv(kNewtonStep) != 0 && v(kReldx) <= tn.x_convergence_tolerance) {
    // A full Newton step below the x-convergence tolerance that fails meets rounding in F, not a
    // wrong model: x cannot be improved at that scale.
    Finish(iv, w, pb, kXConvergence);
    return;
  }
  iv(kRetried) = 1;
  const bool augmented = iv(kModel) == 2;
  const double own_error = std::fabs(actual_reduction - (augmented ? v(kPredAug) : v(kPredGn)));
  const double other_error = std::fabs(actual_reduction - (augmented ? v(kPredGn) : v(kPredAug)));
  if (!failed && iv(kSwitched) == 0 && iv(kSecantSet) != 0 && other_error < own_error) {
    // The other model saw this failure coming: try it at the same radius.
    iv(kModel) = augmented ? 1 : 2;
    iv(kSwitched) = 1;
    BuildModel(iv, w);
  } else {
    double factor = tn.radius_decrease;
    if (!failed) {
      // Minimiser of the quadratic through f, the slope g^T s and f(trial).
      const double gts = v(kGtstep);
      const double curvature = 2.0 * (trial_f - f - gts);
      if (gts < 0.0 && curvature > 0.0) factor = -gts / curvature;
      factor = std::fmin(tn.radius_decrease, std::fmax(tn.min_radius_factor, factor));
    }
    radius = factor * step_length;
    v(kRadius) = radius;
  }
  TryStep(iv, v, w, pb);
}

}  // namespace

std::int64_t AllocateStorage(const IntArray& iv, const RealArray& v, const Problem& pb) {
  const std::int64_t code = CheckParameters(iv, pb.liv, pb.lv, v);
  if (code != 0) return code;
  const std::int64_t p = pb.p;
  const std::int64_t need_liv = iv(kLastiv) + iv(kIvneed) + 4 * p;
  const std::int64_t need_lv = iv(kLastv) + iv(kVneed) + IterationVneed(p);
  const Layout l = LayoutFor(iv, p);
  char line[96];
  if (pb.liv < need_liv || l.lastiv > pb.liv) {
    std::snprintf(line, sizeof line, " /// LIV = %8lld MUST BE AT LEAST %8lld",
                  static_cast<long long>(pb.liv), static_cast<long long>(need_liv));
    PrintLine(iv, line);
    return kLivTooSmall;
  }
  if (pb.lv < need_lv || l.lastv > pb.lv) {
    std::snprintf(line, sizeof line, " /// LV = %8lld MUST BE AT LEAST %8lld",
                  static_cast<long long>(pb.lv), static_cast<long long>(need_lv));
    PrintLine(iv, line);
    return kLvTooSmall;
  }
  iv(kLastiv) = need_liv;
  iv(kLastv) = need_lv;
  iv(kRmat) = l.r;
  iv(kH) = l.model;  // the covariance replaces the model at the end
  iv(kAllocP) = p;
  iv(kState) = 1;
  return 0;
}

void StartIteration(const IntArray& iv, const RealArray& v, const Problem& pb, bool fresh) {
  const std::int64_t p = pb.p;
  const Work w = WorkFor(iv, v, p);
  iv(kFdh) = 0;
  for (std::int64_t i = 0; i < p; ++i) {
    if (!(pb.b[2 * i] <= pb.b[2 * i + 1])) {
      iv(1) = kInconsistentArguments;
      return;
    }
  }
  if (!fresh && (iv(kNiter) >= iv(kMxiter) || iv(kNfcall) >= iv(kMxfcal))) {
    // Limits unchanged: the run stays where it ended, covariance included.
    iv(1) = iv(kNiter) >= iv(kMxiter) ? kIterationLimit : kEvaluationLimit;
    return;
  }
  if (fresh) {
    iv(kNfcall) = 0;
    iv(kNgcall) = 0;
    iv(kNiter) = 0;
    iv(kNfcov) = 0;
    iv(kNgcov) = 0;
    iv(kModel) = 1;
    iv(kSecantSet) = 0;
    iv(kPrintedHeader) = 0;
    for (std::int64_t k = 0; k < p * (p + 1) / 2; ++k) w.secant[k] = 0.0;
    for (std::int64_t i = 0; i < p; ++i) w.peak[i] = v(kDinit) > 0.0 ? v(kDinit) : 0.0;
    v(kRadius) = -1.0;
    v(kLastReldx) = 1.0;
    if (v(kDinit) > 0.0)
      for (std::int64_t i = 0; i < p; ++i) pb.d[i] = v(kDinit);
  }
  iv(kState) = 1;  // J^T J of an earlier run may have become its covariance
  iv(kCovmat) = 0;
  iv(kRegd) = 0;
  iv(kFdh) = 0;
  iv(kMode) = 0;
  iv(kCnvcod) = 0;
  iv(kSwitched) = 0;
  iv(kRetried) = 0;
  iv(kStepTaken) = 0;
  iv(kLastNewton) = 0;
  iv(kRestor) = 0;
  // The start may come from values that violate their bounds.
  for (std::int64_t i = 0; i < p; ++i)
    pb.x[i] = std::fmin(pb.b[2 * i + 1], std::fmax(pb.b[2 * i], pb.x[i]));
  if (fresh) ReportStart(iv, pb);
  if (iv(kNiter) >= iv(kMxiter)) {
    Finish(iv, w, pb, kIterationLimit);
    return;
  }
  if (iv(kNfcall) >= iv(kMxfcal)) {
    Finish(iv, w, pb, kEvaluationLimit);
    return;
  }
  RequestResiduals(iv, kPhaseStartResiduals);
}

void ContinueIteration(const IntArray& iv, const RealArray& v, const Problem& pb) {
  const Work w = WorkFor(iv, v, pb.p);
  const std::int64_t phase = iv(kPhase);
  const bool toobig = iv(kToobig) != 0;
  const std::int64_t asked = phase == kPhaseJacobian ? kEvaluateJacobian : kEvaluateResiduals;
  if (phase < kPhaseStartResiduals || phase > kPhaseTrialResiduals || iv(1) != asked) {
    iv(1) = kInconsistentArguments;
    return;
  }
  switch (phase) {
    case kPhaseStartResiduals: {
      if (toobig || !AllFinite(pb.n, pb.r)) {
        Finish(iv, w, pb, kInitialResidualsFailed);
        return;
      }
      const double norm = TwoNorm(pb.n, pb.r);
      v(kF) = 0.5 * norm * norm;
      for (std::int64_t i = 0; i < pb.p; ++i) w.xc[i] = pb.x[i];
      RequestJacobian(iv);
      return;
    }
    case kPhaseJacobian: {
      bool finite = true;
      for (std::int64_t j = 0; j < pb.p && finite; ++j) finite = AllFinite(pb.n, Column(pb, j));
      if (toobig || !finite) {
        // The iterate stays, but without J^T J there is no covariance.
        iv(kState) = 1;
        Finish(iv, w, pb, kJacobianFailed);
        for (std::int64_t i = 0; i < pb.p; ++i) pb.x[i] = w.xc[i];
        return;
      }
      OnJacobian(iv, v, w, pb);
      return;
    }
    default:
      OnTrialResiduals(iv, v, w, pb);
      return;
  }
}

}  // namespace nls
