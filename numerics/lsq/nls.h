// Bounded nonlinear least squares by reverse communication: minimise
// F(x) = 1/2 sum r_i(x)^2 over P parameters with lo <= x <= hi. A trust-region
// iteration that switches between the Gauss-Newton model J^T J and an
// augmented model J^T J + S, S a sized secant approximation of the second-order
// term. The caller owns every array; the routines hand control back whenever
// they need residuals (IV(1) = 1) or the Jacobian (IV(1) = 2) at X.
//
// Not re-entrant: the machine-constant cache is process-wide static storage
// and the routines assume one solve at a time in the process. Every argument
// is taken by reference, integers are 64-bit, arrays are 1-based and
// column-major (IV(k) is iv[k-1], DR(i,j) is dr[(i-1) + (j-1)*ND]).
//
// Caller protocol:
//  1. Allocate IV (LIV >= 4P+82), V (LV >= 2P(P+10)+105), B(2,P), D(P),
//     DR(N,P), R(N), RD(N); call CacheMachineConstants, then
//     NlsSetDefaults(1, ...) (IV(1) = 12).
//  2. Override options in IV and V by the subscripts below; set the bounds
//     B(1,i) <= B(2,i) (an X outside them is projected).
//  3. Loop: IV(TOOBIG) = 0 (1 when the residuals asked for cannot be
//     computed at X); call NlsBoundedDriver; on 1 store r(X) into R, on 2 the
//     Jacobian into DR; any other value is final. X then holds the best point
//     and V(F) half the sum of squares there.
//  The Jacobian is never squared: each one is folded into the upper
//  triangle R of J = QR (packed by columns at V(IV(RMAT)), left there at the
//  end) by Householder reflections (IV(QRTYP) = 1, the default) or Givens
//  rotations row by row (IV(QRTYP) = 0), and the steps, the Gauss-Newton
//  model and the covariance are taken from R.
//  After a final code 3 to 10 with IV(COVREQ) != 0 and IV(RDREQ) odd,
//  IV(COVMAT) > 0 points at the packed upper triangle of (R^T R)^-1 =
//  (J^T J)^-1 at X in V, with V(RCOND) its reciprocal condition estimate;
//  IV(COVMAT) = -1 when R is singular to working precision. With IV(RDREQ) = 3, RD(i) holds
//  |r_i| sqrt(h_i / (1 - h_i)), h_i the leverage of row i (-1 where undefined
//  or when R is not at X, IV(RESTOR) = 1). The covariance needs no further
//  evaluations, so no request other than 1 and 2 is ever made.
//  A new solve on the same arrays starts with NlsSetDefaults again; calling
//  with a final code 3 to 11 continues from X with the counters, scale,
//  radius and secant kept.
//
// Final codes: 3 X-convergence, 4 relative function convergence, 5 both,
// 6 absolute function convergence, 7 singular convergence, 8 false
// convergence, 9 evaluation limit IV(MXFCAL), 10 iteration limit IV(MXITER),
// 14 storage allocated (only to a caller that entered with 13), 15 LIV too
// small, 16 LV too small, 19..50 V(IV(1)) out of range, 63 residuals not
// computable at the start, 64 inconsistent arguments (ND < N, a lower bound
// above its upper bound, storage never allocated), 65 Jacobian not computable,
// 66 N, ND or P below 1, 67 algorithm number out of range, 1000+k IV(k) out
// of range, 1400 continuation asked for but no iteration to continue.
#pragma once

#include <cstdint>

namespace nls {

// IV subscripts.
inline constexpr std::int64_t kToobig = 2;
inline constexpr std::int64_t kIvneed = 3;
inline constexpr std::int64_t kVneed = 4;
inline constexpr std::int64_t kNfcall = 6;
inline constexpr std::int64_t kRestor = 9;
inline constexpr std::int64_t kCovprt = 14;
inline constexpr std::int64_t kCovreq = 15;
inline constexpr std::int64_t kDtype = 16;
inline constexpr std::int64_t kMxfcal = 17;
inline constexpr std::int64_t kMxiter = 18;
inline constexpr std::int64_t kOutlev = 19;
inline constexpr std::int64_t kParprt = 20;
inline constexpr std::int64_t kPrunit = 21;
inline constexpr std::int64_t kSolprt = 22;
inline constexpr std::int64_t kStatpr = 23;
inline constexpr std::int64_t kX0prt = 24;
inline constexpr std::int64_t kInits = 25;  // INITH for the general algorithms
inline constexpr std::int64_t kCovmat = 26;
inline constexpr std::int64_t kNgcall = 30;
inline constexpr std::int64_t kNiter = 31;
inline constexpr std::int64_t kMode = 35;
inline constexpr std::int64_t kLmat = 42;
inline constexpr std::int64_t kLastiv = 44;
inline constexpr std::int64_t kLastv = 45;
inline constexpr std::int64_t kParsav = 49;
inline constexpr std::int64_t kNvdflt = 50;
inline constexpr std::int64_t kAlgsav = 51;
inline constexpr std::int64_t kNfcov = 52;
inline constexpr std::int64_t kNgcov = 53;
inline constexpr std::int64_t kCnvcod = 55;
inline constexpr std::int64_t kH = 56;
inline constexpr std::int64_t kRdreq = 57;
inline constexpr std::int64_t kPerm = 58;
inline constexpr std::int64_t kVsave = 60;
inline constexpr std::int64_t kRegd = 67;
inline constexpr std::int64_t kHc = 71;
inline constexpr std::int64_t kFdh = 74;
inline constexpr std::int64_t kIerr = 75;
inline constexpr std::int64_t kIpivot = 76;
inline constexpr std::int64_t kRmat = 78;
inline constexpr std::int64_t kQrtyp = 80;
inline constexpr std::int64_t kDradpr = 101;

// V subscripts.
inline constexpr std::int64_t kF = 10;
inline constexpr std::int64_t kEpslon = 19;
inline constexpr std::int64_t kPhmnfc = 20;
inline constexpr std::int64_t kPhmxfc = 21;
inline constexpr std::int64_t kDecfac = 22;
inline constexpr std::int64_t kIncfac = 23;
inline constexpr std::int64_t kRdfcmn = 24;
inline constexpr std::int64_t kRdfcmx = 25;
inline constexpr std::int64_t kTuner1 = 26;
inline constexpr std::int64_t kTuner2 = 27;
inline constexpr std::int64_t kTuner3 = 28;
inline constexpr std::int64_t kTuner4 = 29;
inline constexpr std::int64_t kTuner5 = 30;
inline constexpr std::int64_t kAfctol = 31;
inline constexpr std::int64_t kRfctol = 32;
inline constexpr std::int64_t kXctol = 33;
inline constexpr std::int64_t kXftol = 34;
inline constexpr std::int64_t kLmax0 = 35;
inline constexpr std::int64_t kLmaxs = 36;
inline constexpr std::int64_t kSctol = 37;
inline constexpr std::int64_t kDinit = 38;
inline constexpr std::int64_t kDtinit = 39;
inline constexpr std::int64_t kD0init = 40;
inline constexpr std::int64_t kDfac = 41;
inline constexpr std::int64_t kDltfdc = 42;  // ETA0 for the general algorithms
inline constexpr std::int64_t kDltfdj = 43;  // BIAS for the general algorithms
inline constexpr std::int64_t kDelta0 = 44;
inline constexpr std::int64_t kFuzz = 45;
inline constexpr std::int64_t kRlimit = 46;
inline constexpr std::int64_t kCosmin = 47;
inline constexpr std::int64_t kHuberc = 48;
inline constexpr std::int64_t kRsptol = 49;
inline constexpr std::int64_t kSigmin = 50;
inline constexpr std::int64_t kRcond = 53;

// Final codes and requests in IV(1).
inline constexpr std::int64_t kEvaluateResiduals = 1;
inline constexpr std::int64_t kEvaluateJacobian = 2;
inline constexpr std::int64_t kXConvergence = 3;
inline constexpr std::int64_t kRelativeFunctionConvergence = 4;
inline constexpr std::int64_t kBothConvergence = 5;
inline constexpr std::int64_t kAbsoluteFunctionConvergence = 6;
inline constexpr std::int64_t kSingularConvergence = 7;
inline constexpr std::int64_t kFalseConvergence = 8;
inline constexpr std::int64_t kEvaluationLimit = 9;
inline constexpr std::int64_t kIterationLimit = 10;
inline constexpr std::int64_t kDefaultsSet = 12;
inline constexpr std::int64_t kSizeStorage = 13;
inline constexpr std::int64_t kStorageAllocated = 14;
inline constexpr std::int64_t kLivTooSmall = 15;
inline constexpr std::int64_t kLvTooSmall = 16;
inline constexpr std::int64_t kInitialResidualsFailed = 63;
inline constexpr std::int64_t kInconsistentArguments = 64;
inline constexpr std::int64_t kJacobianFailed = 65;
inline constexpr std::int64_t kBadSizes = 66;
inline constexpr std::int64_t kBadAlgorithm = 67;
inline constexpr std::int64_t kBadIvBase = 1000;
inline constexpr std::int64_t kNothingToContinue = 1400;

// The sizes a caller allocates for P parameters.
constexpr std::int64_t RequiredLiv(std::int64_t p) { return 4 * p + 82; }
constexpr std::int64_t RequiredLv(std::int64_t p) { return 2 * p * (p + 10) + 105; }

}  // namespace nls

// Fills the machine-constant cache (fixed values, not the hardware's).
void CacheMachineConstants();

// Constant k of the cache: 1 smallest ETA 1e-15, 2 its square root,
// 3 MACHEP 1e-15, 4 its square root, 5 square root of BIG 1e10, 6 BIG 1e20;
// any other k gives 1e-15.
double NlsMachineConstant(const std::int64_t& k);

// Defaults for ALG 1 or 3 (regression, 3 with extra storage) or 2 or 4
// (general optimisation); IV(1) = 12 on success, else 15, 16 or 67.
void NlsSetDefaults(const std::int64_t& alg, std::int64_t* iv, const std::int64_t& liv,
                    const std::int64_t& lv, double* v);

// One reverse-communication step. B(2,P) bounds, D(P) scale, DR(ND,P)
// Jacobian, R(ND) residuals, RD(ND) regression diagnostics, X(P) parameters.
// N1 and N2 receive the rows the request covers (1 and N).
void NlsBoundedDriver(double* b, double* d, double* dr, std::int64_t* iv, const std::int64_t& liv,
                      const std::int64_t& lv, const std::int64_t& n, const std::int64_t& nd,
                      std::int64_t& n1, std::int64_t& n2, const std::int64_t& p, double* r,
                      double* rd, double* v, double* x);
