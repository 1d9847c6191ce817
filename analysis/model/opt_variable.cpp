#include "analysis/model/opt_variable.h"

#include <atomic>
#include <utility>

namespace {
// Ids of the managers' own variables count down from the top, away from the
// model's sequence numbers.
std::atomic<std::uint32_t> next_own_id{0xFFFFFFF0u};
}  // namespace

OptVariable::OptVariable(std::string name, double value, double lower, double upper, double scale)
    : value_(value), lower_(lower), upper_(upper), scale_(scale), name_(std::move(name)),
      id_(next_own_id.fetch_sub(1)) {}

Status OptVariable::GetValue(double* value) {
  *value = value_;
  return 0;
}

Status OptVariable::SetValue(double value) {
  value_ = value;
  return 0;
}

Status OptVariable::GetScaledValue(double* value) {
  *value = value_ / scale_;
  return 0;
}

Status OptVariable::SetScaledValue(double value) {
  value_ = value * scale_;
  return 0;
}

Status OptVariable::GetBounds(double* lower, double* upper) {
  *lower = lower_;
  *upper = upper_;
  return 0;
}

Status OptVariable::SetBounds(double lower, double upper) {
  lower_ = lower;
  upper_ = upper;
  return 0;
}

Status OptVariable::GetScale(double* scale) {
  *scale = scale_;
  return 0;
}

Status OptVariable::GetValueFactor(double* factor) {
  *factor = 1.0;
  return 0;
}
