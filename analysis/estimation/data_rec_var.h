// DataRecVar: the unknown of a reconciled measurement, the true value of a
// measured variable that the model fixes, in one experiment. Owned by the
// estimation manager; the measured variable stays the model's. Operations a
// solver has no business with answer 0xA028FFFF.
#pragma once

#include <string>

#include "analysis/model/analysis_variable.h"

class DataRecVar : public AnalysisVariable {
 public:
  static constexpr std::size_t kMaxName = 255;

  // Named "<variable>(<experiment>)", cut to 255 characters.
  DataRecVar(AnalysisVariable* measured, std::int32_t experiment, const char* experiment_name);

  const char* GetNameText(std::int32_t = 0) override { return name_.c_str(); }
  std::uint32_t Id() override { return id_; }
  Status GetValue(double* value) override;
  // Stores the value and still answers 0xA028FFFF.
  Status SetValue(double value) override;
  Status GetScaledValue(double* value) override;
  Status SetScaledValue(double value) override;
  Status GetBounds(double* lower, double* upper) override;
  Status SetBounds(double, double) override;
  Status GetScale(double* scale) override;
  Status GetValueFactor(double* factor) override;
  std::int32_t ValueKind() override { return 4; }

  AnalysisVariable* Measured() const { return measured_; }
  std::int32_t Experiment() const { return experiment_; }

 private:
  AnalysisVariable* measured_;
  std::int32_t experiment_;
  double value_ = 0.0;
  double scale_ = 1.0;
  double bounds_[2] = {0.0, 0.0};
  std::string name_;
  std::uint32_t id_;
};
