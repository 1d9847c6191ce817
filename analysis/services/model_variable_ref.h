// ModelVariableRef: a model variable as the analysis managers see it. The
// marks the managers set go to the model variable's own flag word; the id is
// its sequence number. Made and owned by the engine services.
#pragma once

#include "analysis/model/analysis_variable.h"

class DAESVariable;

class ModelVariableRef final : public AnalysisVariable {
 public:
  explicit ModelVariableRef(DAESVarTableEntry* entry);

  const char* GetNameText(std::int32_t arg = 0) override { return entry_->GetNameText(arg); }
  void SetFlags(std::uint32_t flags) override { entry_->SetFlags(flags); }
  void ClearFlags(std::uint32_t flags) override { entry_->ClearFlags(flags); }
  std::uint32_t GetFlags() override { return entry_->GetFlags(); }
  std::uint32_t Id() override { return entry_->SequenceNumber(); }
  Status GetValue(double* value) override;
  Status SetValue(double value) override { return entry_->SetValue(value); }
  Status GetScaledValue(double* value) override;
  Status SetScaledValue(double value) override;
  Status GetBounds(double* lower, double* upper) override {
    return entry_->GetBounds(lower, upper);
  }
  Status SetBounds(double lower, double upper) override { return entry_->SetBounds(lower, upper); }
  Status GetScale(double* scale) override;
  // The value operations apply the scale.
  Status GetValueFactor(double* factor) override { return GetScale(factor); }
  std::int32_t ValueKind() override { return entry_->ValueType() & 0xFF; }
  DAESVarTableEntry* ModelEntry() override { return entry_; }
  // The model variable (null for other entries), found while the entry is
  // certainly alive: a clear after a detach may only compare it.
  DAESVariable* Variable() const { return variable_; }

 private:
  DAESVarTableEntry* entry_;
  DAESVariable* variable_;
};
