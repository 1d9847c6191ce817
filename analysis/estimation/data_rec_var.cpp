#include "analysis/estimation/data_rec_var.h"

#include <atomic>

#include "analysis/estimation/estimation_manager.h"

namespace {
// Own ids count down from below those of the optimisation variables.
std::atomic<std::uint32_t> next_id{0xEFFFFFFFu};
}  // namespace

DataRecVar::DataRecVar(AnalysisVariable* measured, std::int32_t experiment,
                       const char* experiment_name)
    : measured_(measured), experiment_(experiment), id_(next_id.fetch_sub(1)) {
  measured->GetValue(&value_);
  measured->GetScale(&scale_);
  if (scale_ == 0.0) scale_ = 1.0;
  measured->GetBounds(&bounds_[0], &bounds_[1]);
  name_ = measured->GetNameText(0);
  name_.append("(").append(experiment_name != nullptr ? experiment_name : "").append(")");
  if (name_.size() > kMaxName) name_.resize(kMaxName);
}

Status DataRecVar::GetValue(double* value) {
  *value = value_;
  return 0;
}

Status DataRecVar::SetValue(double value) {
  value_ = value;
  return est_status::kSevere;
}

Status DataRecVar::GetScaledValue(double* value) {
  *value = value_ / scale_;
  return 0;
}

Status DataRecVar::SetScaledValue(double value) {
  value_ = value * scale_;
  return 0;
}

Status DataRecVar::GetBounds(double* lower, double* upper) {
  *lower = bounds_[0];
  *upper = bounds_[1];
  return 0;
}

Status DataRecVar::SetBounds(double, double) { return est_status::kSevere; }

Status DataRecVar::GetScale(double* scale) {
  *scale = 1.0;
  return 0;
}

Status DataRecVar::GetValueFactor(double*) { return est_status::kSevere; }
