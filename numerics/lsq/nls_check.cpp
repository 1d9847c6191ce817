// Parameter checker of the least-squares optimiser: the ranges of the IV
// options and of V(19..50), checked once per solve when storage is allocated.
#include <cmath>
#include <cstdio>
#include <limits>

#include "numerics/lsq/nls_internal.h"

namespace nls {
namespace {

struct Range {
  double lo;
  double hi;
};

// Valid ranges of V(19..50) for the regression algorithms.
void ParameterRanges(Range* out) {
  const double machine_epsilon = NlsMachineConstant(kMachineEpsilon);
  const double big = NlsMachineConstant(kBig);
  const double below_one = 1.0 - machine_epsilon;
  const Range ranges[kParameterCount] = {
      {machine_epsilon, below_one},  // EPSLON
      {-below_one, 0.0},             // PHMNFC
      {0.0, big},                    // PHMXFC
      {machine_epsilon, below_one},  // DECFAC
      {1.0, big},                    // INCFAC
      {machine_epsilon, below_one},  // RDFCMN
      {1.0, big},                    // RDFCMX
      {machine_epsilon, below_one},  // TUNER1
      {0.0, below_one},              // TUNER2
      {machine_epsilon, below_one},  // TUNER3
      {machine_epsilon, below_one},  // TUNER4
      {machine_epsilon, below_one},  // TUNER5
      {0.0, big},                    // AFCTOL
      {0.0, 1.0},                    // RFCTOL
      {0.0, 1.0},                    // XCTOL
      {0.0, 1.0},                    // XFTOL
      {machine_epsilon, big},        // LMAX0
      {machine_epsilon, big},        // LMAXS
      {0.0, 1.0},                    // SCTOL
      {-big, big},                   // DINIT
      {0.0, big},                    // DTINIT
      {machine_epsilon, big},        // D0INIT
      {0.0, 1.0},                    // DFAC
      {machine_epsilon, 1.0},        // DLTFDC
      {machine_epsilon, 1.0},        // DLTFDJ
      {machine_epsilon, 1.0},        // DELTA0
      {machine_epsilon, big},        // FUZZ
      {machine_epsilon, big},        // RLIMIT
      {0.0, 1.0},                    // COSMIN
      {0.0, big},                    // HUBERC
      {0.0, big},                    // RSPTOL
      {0.0, big},                    // SIGMIN
  };
  for (std::int64_t k = 0; k < kParameterCount; ++k) out[k] = ranges[k];
}

struct IvRange {
  std::int64_t subscript;
  std::int64_t lo;
  std::int64_t hi;
};

constexpr std::int64_t kUnbounded = std::numeric_limits<std::int64_t>::max();
constexpr IvRange kIvRanges[] = {
    {kCovreq, -3, 3},         {kDtype, 0, 1}, {kMxfcal, 0, kUnbounded}, {kMxiter, 0, kUnbounded},
    {kPrunit, 0, kUnbounded}, {kInits, 0, 0}, {kRdreq, 0, 3},           {kQrtyp, 0, 1},
};

void ListNondefaultValues(const IntArray& iv, const RealArray& v) {
  double defaults[kParameterCount];
  DefaultParameters(1, defaults);
  bool headed = false;
  char line[96];
  for (std::int64_t k = 0; k < kParameterCount; ++k) {
    const double value = v(kFirstParameter + k);
    if (value == defaults[k]) continue;
    if (!headed) {
      PrintLine(iv, " NONDEFAULT VALUES....");
      headed = true;
    }
    std::snprintf(line, sizeof line, " %s V(%2lld) = %14.6E", kParameterNames[k],
                  static_cast<long long>(kFirstParameter + k), value);
    PrintLine(iv, line);
  }
}

}  // namespace

bool StopRequested() { return false; }

std::int64_t CheckParameters(const IntArray& iv, std::int64_t liv, std::int64_t lv,
                             const RealArray& v) {
  char line[128];
  const std::int64_t alg = iv(kAlgsav);
  if (alg != 1 && alg != 3) {
    std::snprintf(line, sizeof line,
                  " THE FIRST PARAMETER TO NLSSETDEFAULTS SHOULD BE %6d RATHER THAN %6lld", 1,
                  static_cast<long long>(alg));
    PrintLine(iv, line);
    return kBadAlgorithm;
  }
  const std::int64_t min_liv = kMinLiv[alg - 1];
  const std::int64_t min_lv = kMinLv[alg - 1];
  if (liv < min_liv) {
    std::snprintf(line, sizeof line, " /// LIV = %8lld MUST BE AT LEAST %8lld",
                  static_cast<long long>(liv), static_cast<long long>(min_liv));
    PrintLine(iv, line);
    return kLivTooSmall;
  }
  if (lv < min_lv) {
    std::snprintf(line, sizeof line, " /// LV = %8lld MUST BE AT LEAST %8lld",
                  static_cast<long long>(lv), static_cast<long long>(min_lv));
    PrintLine(iv, line);
    return kLvTooSmall;
  }
  for (const IvRange& range : kIvRanges) {
    const std::int64_t value = iv(range.subscript);
    if (value < range.lo || value > range.hi) {
      std::snprintf(line, sizeof line, " /// IV(%3lld) = %12lld IS OUT OF RANGE",
                    static_cast<long long>(range.subscript), static_cast<long long>(value));
      PrintLine(iv, line);
      return kBadIvBase + range.subscript;
    }
  }
  Range ranges[kParameterCount];
  ParameterRanges(ranges);
  for (std::int64_t k = 0; k < kParameterCount; ++k) {
    const double value = v(kFirstParameter + k);
    if (value >= ranges[k].lo && value <= ranges[k].hi) continue;  // NaN fails both
    std::snprintf(line, sizeof line, " /// %s V(%2lld) = %11.3E NOT IN [%10.3E,%10.3E]",
                  kParameterNames[k], static_cast<long long>(kFirstParameter + k), value,
                  ranges[k].lo, ranges[k].hi);
    PrintLine(iv, line);
    return kFirstParameter + k;
  }
  if (iv(kParprt) != 0) ListNondefaultValues(iv, v);
  return 0;
}

}  // namespace nls
