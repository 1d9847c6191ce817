#include "platform/floating_point.h"

#include <cfenv>

namespace platform {

namespace {
constexpr int kEngineTraps = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW;
}

void SetFloatingPointTraps(bool on) {
  if (on) {
    feenableexcept(kEngineTraps);
  } else {
    fedisableexcept(kEngineTraps);
  }
}

int EnabledFloatingPointTraps() { return fegetexcept(); }

void ClearFloatingPointStatus() { feclearexcept(FE_ALL_EXCEPT); }

void ResetFloatingPoint() { fesetenv(FE_DFL_ENV); }

}  // namespace platform
