// Overflow-safe sums of the least-squares optimiser. Both drop contributions
// below the fixed underflow threshold (the square root of the cached ETA).
#include <cmath>

#include "numerics/lsq/nls_internal.h"

namespace nls {

double TwoNorm(std::int64_t n, const double* x) {
  const double threshold = NlsMachineConstant(kSqrtSmallest);
  double largest = 0.0;
  double sum = 0.0;  // sum of (x_i / largest)^2
  for (std::int64_t i = 0; i < n; ++i) {
    const double a = std::fabs(x[i]);
    if (a > largest) {
      const double ratio = largest / a;
      sum = ratio > threshold ? 1.0 + sum * ratio * ratio : 1.0;
      largest = a;
    } else if (largest > 0.0) {
      const double ratio = a / largest;
      if (ratio > threshold) sum += ratio * ratio;
    }
  }
  return largest * std::sqrt(sum);
}

double GuardedDot(std::int64_t n, const double* x, const double* y) {
  const double threshold = NlsMachineConstant(kSqrtSmallest);
  double sum = 0.0;
  for (std::int64_t i = 0; i < n; ++i) {
    const double ax = std::fabs(x[i]);
    const double ay = std::fabs(y[i]);
    const double larger = std::fmax(ax, ay);
    if (larger <= 1.0) {
      if (larger < threshold) continue;
      if (std::fabs((x[i] / threshold) * y[i]) < threshold) continue;
    }
    sum += x[i] * y[i];
  }
  return sum;
}

}  // namespace nls
