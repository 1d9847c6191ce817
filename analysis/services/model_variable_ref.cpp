#include "analysis/services/model_variable_ref.h"

#include "daes/model/variable.h"

namespace {
constexpr Status kNoRealValue = 0x8026FFFFu;
constexpr std::uint16_t kRealType = 4;
}  // namespace

ModelVariableRef::ModelVariableRef(DAESVarTableEntry* entry)
    : entry_(entry), variable_(dynamic_cast<DAESVariable*>(entry)), id_(entry->SequenceNumber()) {}

Status ModelVariableRef::GetValue(double* value) {
  if (entry_ == nullptr) return kGone;
  if ((entry_->ValueType() & 0xFF) != kRealType) return kNoRealValue;
  *value = entry_->GetRealValue();
  return status::kOk;
}

Status ModelVariableRef::GetScaledValue(double* value) {
  if (entry_ == nullptr) return kGone;
  if ((entry_->ValueType() & 0xFF) != kRealType) return kNoRealValue;
  *value = entry_->GetScaledValue();
  return status::kOk;
}

Status ModelVariableRef::SetScaledValue(double value) {
  if (entry_ == nullptr) return kGone;
  if (variable_ != nullptr) return variable_->SetScaledValue(value);
  return entry_->SetValue(value * entry_->GetScale());
}

Status ModelVariableRef::GetScale(double* scale) {
  if (entry_ == nullptr) return kGone;
  *scale = entry_->GetScale();
  return status::kOk;
}
