// Private layout and shared pieces of the least-squares optimiser: the IV and
// V cells it keeps between calls, the placement of its work storage, and the
// routines the driver, iteration, checker and printers share. Not part of the
// interface; callers include nls.h.
#pragma once

#include <cstdint>

#include "numerics/lsq/nls.h"

namespace nls {

// Which NlsMachineConstant.
inline constexpr std::int64_t kSqrtSmallest = 2;
inline constexpr std::int64_t kMachineEpsilon = 3;
inline constexpr std::int64_t kSqrtMachineEpsilon = 4;
inline constexpr std::int64_t kSqrtBig = 5;
inline constexpr std::int64_t kBig = 6;

// 1-based views of the caller's arrays.
struct IntArray {
  std::int64_t* p;
  std::int64_t& operator()(std::int64_t k) const { return p[k - 1]; }
};
struct RealArray {
  double* p;
  double& operator()(std::int64_t k) const { return p[k - 1]; }
};

// Private IV cells (all below 59 so that they exist for every algorithm).
inline constexpr std::int64_t kPhase = 5;        // what the pending request is for
inline constexpr std::int64_t kModel = 7;        // 1 Gauss-Newton, 2 augmented
inline constexpr std::int64_t kSwitched = 8;     // model switched within this iteration
inline constexpr std::int64_t kNewtonStep = 10;  // trial step is the full Newton step
inline constexpr std::int64_t kStepTaken = 11;   // a step was accepted since the last Jacobian
inline constexpr std::int64_t kState = 12;       // 0 none, 1 storage allocated, 2 iterate held
inline constexpr std::int64_t kAllocP = 13;      // P the storage was allocated for
inline constexpr std::int64_t kSecantSet = 27;   // S has been updated at least once
inline constexpr std::int64_t kLastNewton = 28;  // last accepted step was a full Newton step
inline constexpr std::int64_t kPrintedHeader = 29;
inline constexpr std::int64_t kRetried = 32;  // a trial of this iteration failed

// Phases of the pending request.
inline constexpr std::int64_t kPhaseStartResiduals = 1;
inline constexpr std::int64_t kPhaseJacobian = 2;
inline constexpr std::int64_t kPhaseTrialResiduals = 3;

// Private V cells.
inline constexpr std::int64_t kDstnrm = 1;    // scaled length of the trial step
inline constexpr std::int64_t kRadius = 2;    // trust radius, < 0 before the first step
inline constexpr std::int64_t kPreduc = 3;    // reduction the current model predicts
inline constexpr std::int64_t kNreduc = 4;    // Newton reduction at the iterate, < 0 undefined
inline constexpr std::int64_t kReldx = 5;     // relative size of the trial step
inline constexpr std::int64_t kStppar = 6;    // Levenberg parameter of the trial step
inline constexpr std::int64_t kFtrial = 7;    // F at the trial point
inline constexpr std::int64_t kGtstep = 8;    // g^T s of the trial step
inline constexpr std::int64_t kPredGn = 9;    // Gauss-Newton prediction for the trial step
inline constexpr std::int64_t kPredAug = 11;  // augmented prediction for the trial step
inline constexpr std::int64_t kReldf = 12;    // actual relative reduction of the last step
inline constexpr std::int64_t kPreldf = 13;   // predicted relative reduction of the last step
inline constexpr std::int64_t kLastReldx = 14;
inline constexpr std::int64_t kF0 = 15;  // F at the iterate before the last step

// Minima by algorithm 1..4.
inline constexpr std::int64_t kMinLiv[4] = {82, 59, 103, 103};
inline constexpr std::int64_t kMinLv[4] = {98, 71, 101, 85};

inline constexpr std::int64_t kParameterCount = 32;  // V(19..50)
inline constexpr std::int64_t kFirstParameter = 19;

// Where the work storage lies, derived from IV(LMAT), IV(PERM) and P.
struct Layout {
  std::int64_t p = 0;
  std::int64_t packed = 0;  // P(P+1)/2
  // V subscripts.
  std::int64_t r = 0;       // R of J = QR at the iterate (IV(RMAT))
  std::int64_t secant = 0;  // S
  std::int64_t model = 0;   // Hessian of the model in use; the covariance at the end (IV(H))
  std::int64_t factor = 0;  // factor of the shifted model on the free variables
  std::int64_t g = 0;       // gradient J^T r at the iterate
  std::int64_t g0 = 0;      // gradient at the previous iterate
  std::int64_t xc = 0;      // the iterate
  std::int64_t step = 0;    // trial step, unscaled
  std::int64_t jcr = 0;     // J(iterate)^T r(trial)
  std::int64_t qtr = 0;     // Q^T r at the iterate, the first P components
  std::int64_t rhs = 0;     // Q^T r + R s of the step being built
  std::int64_t row = 0;     // one row on its way into a triangle
  std::int64_t peak = 0;    // longest each column of J has been in this solve
  std::int64_t work = 0;    // first of the remaining work vectors
  std::int64_t lastv = 0;   // last V subscript used
  // IV subscripts.
  std::int64_t flags = 0;  // bound state of each parameter at the iterate
  std::int64_t free = 0;   // free list of the step being built
  std::int64_t lastiv = 0;
};
inline constexpr std::int64_t kWorkVectors = 9;  // vectors after `work`
Layout LayoutFor(const IntArray& iv, std::int64_t p);

// The work storage as 0-based pointers into the caller's IV and V.
struct Work {
  std::int64_t p = 0;
  double* r = nullptr;
  double* secant = nullptr;
  double* model = nullptr;
  double* factor = nullptr;
  double* g = nullptr;
  double* g0 = nullptr;
  double* xc = nullptr;
  double* step = nullptr;
  double* jcr = nullptr;
  double* qtr = nullptr;
  double* rhs = nullptr;
  double* row = nullptr;
  double* peak = nullptr;
  double* scaled_g = nullptr;  // D^-1 g
  double* scaled_s = nullptr;  // D s of the step being built
  double* model_g = nullptr;   // model gradient at the partial step
  double* t = nullptr;         // step of one piece, free variables only
  double* free_g = nullptr;    // gradient of one piece, free variables only
  double* w = nullptr;
  double* best = nullptr;
  double* y = nullptr;
  double* u = nullptr;
  std::int64_t* flags = nullptr;  // 0 free, -1 held at lower, 1 held at upper, 2 fixed
  std::int64_t* free = nullptr;
};
Work WorkFor(const IntArray& iv, const RealArray& v, std::int64_t p);

// Values of V(19..50) the iteration uses, by what they mean; the V name each
// is read from follows it.
struct Tuning {
  // The trust-region step.
  double step_tolerance;       // EPSLON: relative accuracy of the step
  double short_step_fraction;  // PHMNFC: the step may fall short of the radius by this (< 0)
  double long_step_fraction;   // PHMXFC: or exceed it by this
  // The radius after a step, by actual/predicted reduction.
  double radius_decrease;     // DECFAC: factor after a poor step
  double radius_increase;     // INCFAC: factor after a good step
  double min_radius_factor;   // RDFCMN: least factor after a failed step
  double max_radius_factor;   // RDFCMX: most growth in one step
  double poor_fit_ratio;      // TUNER1: below this the radius shrinks
  double acceptance_ratio;    // TUNER2: below this the step is refused
  double good_fit_ratio;      // TUNER3: from this on the radius may grow
  double model_switch_ratio;  // TUNER4: read, not used by this iteration
  double full_step_fraction;  // TUNER5: a step this close to the radius reached it
  // Convergence tests.
  double absolute_function_tolerance;     // AFCTOL
  double relative_function_tolerance;     // RFCTOL
  double x_convergence_tolerance;         // XCTOL
  double false_convergence_tolerance;     // XFTOL
  double initial_radius;                  // LMAX0
  double singular_test_radius;            // LMAXS: radius of the singular-convergence test
  double singular_convergence_tolerance;  // SCTOL
  // Scaling.
  double initial_scale;         // DINIT
  double scale_floor_fraction;  // DTINIT: least scale, relative to the largest
  double fallback_scale;        // D0INIT: scale of a parameter J never moved
  double scale_decay;           // DFAC: a scale stays above this times its longest
  // Model choice and safeguards.
  double model_switch_fuzz;    // FUZZ: margin against switching models on noise
  double residual_norm_limit;  // RLIMIT: a trial with larger ||r|| that raised F failed
  double min_secant_cosine;    // COSMIN: least cos(y, s) for a secant update
};
Tuning TuningFrom(const RealArray& v);

// Packed symmetric matrices: the upper triangle by columns, 0-based.
inline std::int64_t PackedAt(std::int64_t i, std::int64_t j) {
  return i <= j ? i + j * (j + 1) / 2 : j + i * (i + 1) / 2;
}
void SymmetricMultiply(std::int64_t n, const double* h, const double* x, double* y);
double QuadraticForm(std::int64_t n, const double* h, const double* x);

// The model on the free variables in scaled coordinates:
// A(a,b) = H(i,j) / (d_i d_j) for i = free[a], j = free[b]. The Gauss-Newton
// model also carries R (H = R^T R) and the least-squares right-hand side
// c = Q^T r + R s: its steps come from orthogonal factors of R D^-1 and c,
// never from H, so they see the condition of J, not its square.
struct ScaledModel {
  const double* h;
  const double* d;
  const std::int64_t* free;
  std::int64_t nf;
  const double* r = nullptr;    // null for the augmented model
  const double* rhs = nullptr;  // c, P values
  std::int64_t p = 0;
  double* row = nullptr;
  double* peak = nullptr;  // work of P values
  double Entry(std::int64_t a, std::int64_t b) const {
    const std::int64_t i = free[a];
    const std::int64_t j = free[b];
    return h[PackedAt(i, j)] / (d[i] * d[j]);
  }
};

struct TrustRegionStep {
  double mu = 0.0;      // Levenberg parameter of the step
  bool newton = false;  // the unconstrained minimiser of the model
  double norm = 0.0;
};
// Minimises b^T t + t^T A t / 2 subject to ||t|| <= delta; t, factor, w,
// best and z are work of the free size (factor packed).
TrustRegionStep SolveTrustRegion(const ScaledModel& m, const double* b, double delta,
                                 const Tuning& tn, double* t, double* factor, double* w,
                                 double* best, double* z);
// The Newton step -A^-1 b when A is positive definite; its reduction
// b^T A^-1 b / 2 into `reduction`.
bool NewtonStep(const ScaledModel& m, const double* b, double* t, double* factor,
                double& reduction);
double ModelReduction(const ScaledModel& m, const double* b, const double* t);

// Symmetric rank-two update of S so that S s = y# afterwards, with S first
// scaled down where it overstates the curvature along s. Returns false and
// leaves S alone when y^T s <= min_cosine ||y|| ||s||. ysharp is overwritten;
// ss is work of P values.
bool SecantUpdate(std::int64_t p, const double* s, const double* y, double* ysharp,
                  double min_cosine, double* secant, double* ss);

// The triangular factor of the Jacobian. R (packed upper, P by P) and qtr
// start at zero; each block of rows of [J r] is rotated in, by Householder
// reflections when `householder`, else by Givens rotations row by row.
// `chunk` is work of chunk_rows * (P + 1) values for the Householder form.
void AccumulateRows(std::int64_t p, const double* jac, std::int64_t ld, const double* res,
                    std::int64_t first, std::int64_t last, bool householder, double* r, double* qtr,
                    double* chunk, std::int64_t chunk_rows, double* row);
// y := R x and y := R^T x for packed upper R.
void TriangularMultiply(std::int64_t p, const double* r, const double* x, double* y);
void TriangularTransposeMultiply(std::int64_t p, const double* r, const double* x, double* y);
// h := R^T R (packed).
void GramFromFactor(std::int64_t p, const double* r, double* h);
// Adds the row z (with right-hand side rho) to the triangle u and its
// right-hand side q by Givens rotations; z is destroyed.
void RotateRowIn(std::int64_t n, double* u, double* q, double* z, double rho);

// Steps of the iteration shared by its files.
void BuildModel(const IntArray& iv, const Work& w);
// The model in use on the free variables; rhs is c for the Gauss-Newton model.
ScaledModel ModelOn(const IntArray& iv, const Work& w, const double* d, std::int64_t nf,
                    const double* rhs);
void FindHeldVariables(const Work& w, const double* bounds);
std::int64_t FreeList(const Work& w);
void ComputeTrialStep(const IntArray& iv, const RealArray& v, const Work& w, const double* bounds,
                      const double* d, double* x, double delta);
// V needed by the iteration on top of the driver's IV(VNEED) share.
std::int64_t IterationVneed(std::int64_t p);

// Sum-of-squares helpers that never overflow; components below the fixed
// underflow threshold relative to the largest are dropped.
double TwoNorm(std::int64_t n, const double* x);
double GuardedDot(std::int64_t n, const double* x, const double* y);

// Default V(19..50) for ALG1 1 (regression) or 2 (general).
void DefaultParameters(std::int64_t alg1, double* out);
extern const char* const kParameterNames[kParameterCount];

// Parameter checker: validates IV and V; 0 when sound, else the code for
// IV(1). Prints its diagnostics when IV(PRUNIT) != 0.
std::int64_t CheckParameters(const IntArray& iv, std::int64_t liv, std::int64_t lv,
                             const RealArray& v);
// Stop test of the iteration; this engine never asks to stop.
bool StopRequested();

// The iteration: storage sizing (IV(1) = 13), a fresh or continued start,
// and the handling of the answer to a request.
struct Problem {
  double* b;
  double* d;
  double* dr;
  double* r;
  double* rd;
  double* x;
  std::int64_t n;
  std::int64_t nd;
  std::int64_t p;
  std::int64_t liv;
  std::int64_t lv;
};
std::int64_t AllocateStorage(const IntArray& iv, const RealArray& v, const Problem& pb);
void StartIteration(const IntArray& iv, const RealArray& v, const Problem& pb, bool fresh);
void ContinueIteration(const IntArray& iv, const RealArray& v, const Problem& pb);

// Covariance finisher: factors and inverts the matrix the iteration left.
void FinishCovariance(const IntArray& iv, const RealArray& v, const Problem& pb);

// Printing through the numeric bridge, only when IV(PRUNIT) != 0.
void PrintLine(const IntArray& iv, const char* text);
void ReportStart(const IntArray& iv, const Problem& pb);
void ReportIteration(const IntArray& iv, const RealArray& v);
void ReportFinal(const IntArray& iv, const RealArray& v, const Problem& pb);
void ReportCovariance(const IntArray& iv, const RealArray& v, const Problem& pb);

}  // namespace nls
