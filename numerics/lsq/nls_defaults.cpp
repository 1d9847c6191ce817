// Machine constants, default values and the work-storage layout of the
// least-squares optimiser.
#include <cmath>

#include "numerics/lsq/nls.h"
#include "numerics/lsq/nls_internal.h"

namespace {

// Fixed values, not the hardware's: results must not depend on the machine.
constexpr double kConstants[6] = {
    1e-15,                 // smallest positive ETA
    3.162277660168379e-8,  // its square root
    1e-15,                 // MACHEP
    3.162277660168379e-8,  // its square root
    1e10,                  // square root of BIG
    1e20,                  // BIG
};

double g_cache[6];
bool g_cached = false;

double Cached(std::int64_t k) {
  if (!g_cached) CacheMachineConstants();
  return g_cache[k - 1];
}

}  // namespace

double NlsMachineConstant(const std::int64_t& k) {
  return (k >= 1 && k <= 6) ? kConstants[k - 1] : 1e-15;
}

void CacheMachineConstants() {
  for (std::int64_t k = 1; k <= 6; ++k) g_cache[k - 1] = NlsMachineConstant(k);
  g_cached = true;
}

namespace nls {

const char* const kParameterNames[kParameterCount] = {
    "EPSLON..", "PHMNFC..", "PHMXFC..", "DECFAC..", "INCFAC..", "RDFCMN..", "RDFCMX..", "TUNER1..",
    "TUNER2..", "TUNER3..", "TUNER4..", "TUNER5..", "AFCTOL..", "RFCTOL..", "XCTOL...", "XFTOL...",
    "LMAX0...", "LMAXS...", "SCTOL...", "DINIT...", "DTINIT..", "D0INIT..", "DFAC....", "DLTFDC..",
    "DLTFDJ..", "DELTA0..", "FUZZ....", "RLIMIT..", "COSMIN..", "HUBERC..", "RSPTOL..", "SIGMIN.."};

void DefaultParameters(std::int64_t alg1, double* out) {
  const double machine_epsilon = Cached(nls::kMachineEpsilon);
  const double cbrt_epsilon = std::cbrt(machine_epsilon);
  const double sqrt_epsilon = Cached(nls::kSqrtMachineEpsilon);
  const double relative_function_tolerance = std::fmax(1e-10, cbrt_epsilon * cbrt_epsilon);
  const double common[23] = {
      0.1,                                            // EPSLON
      -0.1,                                           // PHMNFC
      0.1,                                            // PHMXFC
      0.5,                                            // DECFAC
      2.0,                                            // INCFAC
      0.1,                                            // RDFCMN
      4.0,                                            // RDFCMX
      0.1,                                            // TUNER1
      1e-4,                                           // TUNER2
      0.75,                                           // TUNER3
      0.5,                                            // TUNER4
      0.75,                                           // TUNER5
      1e-6,                                           // AFCTOL
      relative_function_tolerance,                    // RFCTOL
      sqrt_epsilon,                                   // XCTOL
      100.0 * machine_epsilon,                        // XFTOL
      1.0,                                            // LMAX0
      1.0,                                            // LMAXS
      std::fmin(1e-10, relative_function_tolerance),  // SCTOL
      alg1 == 1 ? 0.0 : -1.0,                         // DINIT
      1e-6,                                           // DTINIT
      1.0,                                            // D0INIT
      0.6,                                            // DFAC
  };
  for (int k = 0; k < 23; ++k) out[k] = common[k];
  if (alg1 == 1) {
    const double regression[9] = {
        cbrt_epsilon,                              // DLTFDC
        sqrt_epsilon,                              // DLTFDJ
        sqrt_epsilon,                              // DELTA0
        1.5,                                       // FUZZ
        Cached(nls::kSqrtBig),                     // RLIMIT
        std::fmax(1e-6, 100.0 * machine_epsilon),  // COSMIN
        0.7,                                       // HUBERC
        1e-3,                                      // RSPTOL
        1e-4,                                      // SIGMIN
    };
    for (int k = 0; k < 9; ++k) out[23 + k] = regression[k];
  } else {
    out[23] = 1000.0 * machine_epsilon;  // ETA0
    out[24] = 0.8;                       // BIAS
  }
}

std::int64_t IterationVneed(std::int64_t p) {
  return 3 * (p * (p + 1) / 2) + (kWorkVectors + 2) * p + 7;
}

Layout LayoutFor(const IntArray& iv, std::int64_t p) {
  Layout l;
  l.p = p;
  l.packed = p * (p + 1) / 2;
  l.r = iv(kLmat);
  l.secant = l.r + l.packed;
  l.model = l.secant + l.packed;
  l.factor = l.model + l.packed;
  l.g = l.factor + l.packed;
  l.g0 = l.g + p;
  l.xc = l.g0 + p;
  l.step = l.xc + p;
  l.jcr = l.step + p;
  l.qtr = l.jcr + p;
  l.rhs = l.qtr + p;
  l.row = l.rhs + p;
  l.peak = l.row + p;
  l.work = l.peak + p;
  l.lastv = l.work + kWorkVectors * p - 1;
  l.flags = iv(kPerm);
  l.free = l.flags + p;
  l.lastiv = l.flags + 4 * p - 1;
  return l;
}

}  // namespace nls

void NlsSetDefaults(const std::int64_t& alg, std::int64_t* iv_array, const std::int64_t& liv,
                    const std::int64_t& lv, double* v_array) {
  using namespace nls;
  const IntArray iv{iv_array};
  const RealArray v{v_array};
  if (liv >= kPrunit) iv(kPrunit) = 6;
  if (liv >= kAlgsav) iv(kAlgsav) = alg;
  if (liv < 1) return;
  if (alg < 1 || alg > 4) {
    iv(1) = kBadAlgorithm;
    return;
  }
  const std::int64_t min_liv = kMinLiv[alg - 1];
  const std::int64_t min_lv = kMinLv[alg - 1];
  if (liv < min_liv) {
    iv(1) = kLivTooSmall;
    return;
  }
  if (lv < min_lv) {
    iv(1) = kLvTooSmall;
    return;
  }

  const std::int64_t alg1 = (alg - 1) % 2 + 1;
  double defaults[kParameterCount];
  DefaultParameters(alg1, defaults);
  const std::int64_t count = alg1 == 1 ? 32 : 25;
  for (std::int64_t k = 0; k < count; ++k) v(kFirstParameter + k) = defaults[k];
  iv(1) = kDefaultsSet;
  if (alg > 2) iv(kDradpr) = 1;

  iv(kIvneed) = 0;
  iv(kLastiv) = min_liv;
  iv(kLastv) = min_lv;
  iv(kLmat) = min_lv + 1;
  iv(kMxfcal) = 50000;
  iv(kMxiter) = 500;
  iv(kOutlev) = 1;
  iv(kParprt) = 0;
  iv(kPerm) = min_liv + 1;
  iv(kSolprt) = 1;
  iv(kStatpr) = 1;
  iv(kVneed) = 0;
  iv(kX0prt) = 0;
  // A new solve on old arrays must not see the last one's iteration.
  iv(kState) = 0;
  iv(kAllocP) = 0;
  iv(kPhase) = 0;

  if (alg1 == 1) {
    iv(kCovprt) = 3;
    iv(kCovreq) = 1;
    iv(kDtype) = 1;
    iv(kHc) = 0;
    iv(kIerr) = 0;
    iv(kInits) = 0;
    iv(kIpivot) = 0;
    iv(kNvdflt) = 32;
    iv(kVsave) = alg > 2 ? 61 : 58;
    iv(kParsav) = alg > 2 ? 70 : 67;
    iv(kQrtyp) = 1;
    iv(kRdreq) = 3;
    iv(kRmat) = 0;
  } else {
    iv(kDtype) = 0;
    iv(kInits) = 1;  // INITH
    iv(kNfcov) = 0;
    iv(kNgcov) = 0;
    iv(kNvdflt) = 25;
    iv(kParsav) = alg > 2 ? 61 : 47;
  }
}
