#include "analysis/estimation/time_profile.h"

double TimeDependentVariable::ValueAt(double time) const {
  if (count_ <= 0) return 0.0;
  // An input whose profile starts later holds its first value until then,
  // rather than jumping to its final one.
  if (time < times_[0]) return values_[0];
  for (std::int32_t j = 0; j + 1 < count_; ++j) {
    if (times_[j] <= time && time < times_[j + 1]) {
      return values_[j] +
             (values_[j + 1] - values_[j]) / (times_[j + 1] - times_[j]) * (time - times_[j]);
    }
  }
  return values_[count_ - 1];
}
