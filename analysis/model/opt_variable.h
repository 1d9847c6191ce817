// OptVariable: one scalar unknown of an optimisation or an estimation that
// stands beside a model variable (or for an element length, or a
// heteroscedasticity parameter). It owns its name; its id is its own.
#pragma once

#include <string>

#include "analysis/model/analysis_variable.h"

class OptVariable : public AnalysisVariable {
 public:
  OptVariable(std::string name, double value, double lower, double upper, double scale = 1.0);

  const char* GetNameText(std::int32_t = 0) override { return name_.c_str(); }
  std::uint32_t Id() override { return id_; }
  Status GetValue(double* value) override;
  Status SetValue(double value) override;
  Status GetScaledValue(double* value) override;
  Status SetScaledValue(double value) override;
  Status GetBounds(double* lower, double* upper) override;
  Status SetBounds(double lower, double upper) override;
  Status GetScale(double* scale) override;
  Status GetValueFactor(double* factor) override;
  std::int32_t ValueKind() override { return 4; }

  Status status() const { return status_; }
  double value() const { return value_; }
  double lower() const { return lower_; }
  double upper() const { return upper_; }
  double scale() const { return scale_; }

 private:
  Status status_ = 0;
  double value_;
  double lower_;
  double upper_;
  double scale_;
  std::string name_;
  std::uint32_t id_;
};
