// Small conversions and stores that the tree-walk evaluators share.
#pragma once

#include <cstdint>

#include "expr/tree/expression.h"
#include "foundation/messages/math_error.h"
#include "foundation/values/typed_value.h"

namespace exprvalue {

// A real operand unchanged, any other operand's integer converted.
inline double AsReal(const SUValue& x) {
  return x.Kind() == SUValue::kReal && !x.IsSet() && !x.IsArray()
             ? x.payload.real
             : static_cast<double>(x.GetIntAt(0));
}

// An integer unchanged, a real truncated toward zero (saturated, so that an
// out-of-range real cannot make the conversion undefined).
inline std::int32_t AsInt(const SUValue& x) {
  if (x.Kind() == SUValue::kReal && !x.IsSet() && !x.IsArray()) {
    const double r = x.payload.real;
    if (!(r == r)) return 0;
    if (r >= 2147483647.0) return INT32_MAX;
    if (r <= -2147483648.0) return INT32_MIN;
    return static_cast<std::int32_t>(r);
  }
  return x.GetIntAt(0);
}

inline Status StoreInt(SUValue& result, std::int32_t value,
                       std::uint16_t kind = SUValue::kInteger) {
  result.Assign(SUValue::ConstructInt(value, kind));
  return result.status < 0 ? ValueStatusToEvaluation(result.status) : 0;
}

inline Status StoreReal(SUValue& result, double value) {
  SUValue v;
  v.SetType(SUValue::kReal);
  v.SetReal(value);
  result.Assign(v);
  return result.status < 0 ? ValueStatusToEvaluation(result.status) : 0;
}

inline Status StoreValue(SUValue& result, const SUValue& value) {
  if (value.status < 0) return ValueStatusToEvaluation(value.status);
  result.Assign(value);
  return result.status < 0 ? ValueStatusToEvaluation(result.status) : 0;
}

// After a checked library call: a failure recorded by the math-error hook
// marks the result and is handed on (and taken); else the real is stored.
inline Status StoreChecked(SUValue& result, double value) {
  const Status math = MathErrorStatus.status();
  if (status::IsFailure(math)) {
    result.status = kMathFailedValue;
    MathErrorStatus.Reset();
    return math;
  }
  return StoreReal(result, value);
}

}  // namespace exprvalue
