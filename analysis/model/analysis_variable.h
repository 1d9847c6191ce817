// The variable as the analysis managers see it: the model's variables (through
// an adapter the engine makes), the estimation's reconciled unknowns and the
// optimisation's own variables. Membership marks live in the flag word of the
// variable itself, so an adapter forwards the flag operations to the model.
#pragma once

#include <cstdint>

#include "daes/model/var_table_entry.h"
#include "platform/status.h"

namespace analysis_flags {
// The model fixes the value; as a sensitivity variable it is the identity.
inline constexpr std::uint32_t kFixed = 0x80;
inline constexpr std::uint32_t kSensitivityVariable = 0x200;
inline constexpr std::uint32_t kOptimisationVariable = 0x8000;
inline constexpr std::uint32_t kSlack = 0x20000;
inline constexpr std::uint32_t kSensitivityParameter = 0x100000;
inline constexpr std::uint32_t kControl = 0x200000;
}  // namespace analysis_flags

class AnalysisVariable : public QLNVariable {
 public:
  // Managers compare variables by this id, never by address.
  virtual std::uint32_t Id() = 0;
  // Unscaled value; a failed read leaves *value and returns a failure.
  virtual Status GetValue(double* value) = 0;
  virtual Status SetValue(double value) = 0;
  virtual Status GetScaledValue(double* value) = 0;
  virtual Status SetScaledValue(double value) = 0;
  virtual Status GetBounds(double* lower, double* upper) = 0;
  virtual Status SetBounds(double lower, double upper) = 0;
  // The factor by which a stored value is multiplied when read.
  virtual Status GetScale(double* scale) = 0;
  // The factor the value operations apply; sensitivities are converted by it.
  virtual Status GetValueFactor(double* factor) = 0;
  // The typed value's kind (4 real).
  virtual std::int32_t ValueKind() = 0;
  // The model entry behind the variable, null for the managers' own.
  virtual DAESVarTableEntry* ModelEntry() { return nullptr; }
};
