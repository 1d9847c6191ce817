// ModelVariableRef: a model variable as the analysis managers see it. The
// marks the managers set go to the model variable's own flag word; the id is
// its sequence number. Made and owned by the engine services.
#pragma once

#include "analysis/model/analysis_variable.h"

class DAESVariable;

class ModelVariableRef final : public AnalysisVariable {
 public:
  // What a variable that is gone answers.
  static constexpr Status kGone = 0x8032FFFFu;

  explicit ModelVariableRef(DAESVarTableEntry* entry);

  const char* GetNameText(std::int32_t arg = 0) override {
    return entry_ != nullptr ? entry_->GetNameText(arg) : "";
  }
  void SetFlags(std::uint32_t flags) override {
    if (entry_ != nullptr) entry_->SetFlags(flags);
  }
  void ClearFlags(std::uint32_t flags) override {
    if (entry_ != nullptr) entry_->ClearFlags(flags);
  }
  std::uint32_t GetFlags() override { return entry_ != nullptr ? entry_->GetFlags() : 0; }
  std::uint32_t Id() override {
    if (entry_ != nullptr) id_ = entry_->SequenceNumber();
    return id_;
  }
  Status GetValue(double* value) override;
  Status SetValue(double value) override {
    return entry_ != nullptr ? entry_->SetValue(value) : kGone;
  }
  Status GetScaledValue(double* value) override;
  Status SetScaledValue(double value) override;
  Status GetBounds(double* lower, double* upper) override {
    return entry_ != nullptr ? entry_->GetBounds(lower, upper) : kGone;
  }
  Status SetBounds(double lower, double upper) override {
    return entry_ != nullptr ? entry_->SetBounds(lower, upper) : kGone;
  }
  Status GetScale(double* scale) override;
  // The value operations apply the scale.
  Status GetValueFactor(double* factor) override { return GetScale(factor); }
  std::int32_t ValueKind() override { return entry_ != nullptr ? entry_->ValueType() & 0xFF : 0; }
  DAESVarTableEntry* ModelEntry() override { return entry_; }
  // The model variable (null for other entries), found while the entry is
  // certainly alive: a clear after a detach may only compare it.
  DAESVariable* Variable() const { return variable_; }
  // The entry is being destroyed: from now on the adapter reaches nothing
  // and its operations fail, whoever still holds it.
  void Detach() {
    entry_ = nullptr;
    variable_ = nullptr;
  }

 private:
  DAESVarTableEntry* entry_;
  DAESVariable* variable_;
  // The entry's sequence number as last read, the id once it is gone.
  std::uint32_t id_;
};
