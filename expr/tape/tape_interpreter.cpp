// The tape interpreter: one pass over the instructions, each writing its
// result into slot index+1 of the stack of its kind. The derivative pass
// reuses the values left here, and the second half of the real stack keeps
// the results it needs that the adjoints overwrite (Pow, Exp, Sqrt, Prod,
// two-operand Max and Min).
#include <strings.h>
#include <cfenv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "expr/tape/tape.h"
#include "expr/tree/expression.h"
#include "expr/tree/system_function.h"
#include "foundation/messages/math_error.h"
#include "platform/math.h"

using namespace tapekind;

namespace {

struct Code {
  std::uint16_t code;
  const char* text;
};

constexpr Code kErrorTexts[] = {
    {251, "Exception: Floating point overflow"},
    {255, "Integer overflow"},
    {561, "attempt to read an unassigned variable"},
    {562, "the value is not determinate"},
    {563, "attempt to change type illegally"},
    {564, "attempt to resize (vector) illegally"},
    {565, "attempt to assign from incompatible type"},
    {566, "attempt to apply operator to incompatible types"},
    {567, "vector index out of bounds, or wrong type"},
    {568, "value is not in required range"},
    {615, "Lag in Delay function is negative"},
    {626, "unexpected expression operator - please report"},
    {627, "wrong number of arguments for operator/function"},
    {628, "unknown expression operator - please report"},
    {629, "result is undefined"},
    {630, "division by zero"},
    {631, "SQRT argument is negative"},
    {632, "LOG10 or LOGE argument is zero or negative"},
    {639, "argument outside defined domain for this function"},
    {640, "SQRT(0.0) causes divide by zero"},
    {641, "TAN(PI/2.0) causes divide by zero"},
    {642, "ARCSIN(1.0) causes divide by zero"},
    {643, "ARCCOS(1.0) causes divide by zero"},
    {644, "LOGE(0.0) causes divide by zero"},
    {645, "LOG10(0.0) causes divide by zero"},
    {646, "PRODUCT(...) where one of its arguments is 0.0 causes divide by zero"},
    {647, "X/0.0 causes divide by zero"},
    {648, "X^Y where X<=0.0 causes divide by zero"},
    {649, "result or argument too large for this function"},
};

char unknown_text[32];

std::int32_t Saturated(double x) {
  if (!(x == x)) return 0;
  if (x >= 2147483647.0) return INT32_MAX;
  if (x <= -2147483648.0) return INT32_MIN;
  return static_cast<std::int32_t>(x);
}

// Two's-complement wrap of a 64-bit result, without undefined behaviour.
std::int32_t Wrapped(std::int64_t x) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(x)));
}

// One loaded operand in every form a row may read.
struct Value {
  double r = 0.0;
  std::int32_t i = 0;
  const char* s = "";
  bool integer = false;  // a converted value that was an integer
};

bool IsInt(std::uint16_t t) {
  return t == SUValue::kInteger || t == SUValue::kLogical || t == SUValue::kSpecification;
}
bool IsText(std::uint16_t t) { return t == SUValue::kString || t == SUValue::kName; }

// A variable's value converted to the type the tree gave it, as assigning it
// to a value of that type would: integers widen to reals, and nothing else
// changes kind. 0, or the code of the failure.
std::uint16_t Convert(const SUValue& value, std::uint16_t declared, Value* v, char* text,
                      std::size_t room) {
  if (value.type == SUValue::kNoType) return 561;
  if (IsInt(value.type) && (IsInt(declared) || declared == SUValue::kReal)) {
    v->i = value.payload.integer;
    v->r = v->i;
    v->integer = true;
    std::snprintf(text, room, "%d", v->i);
    v->s = text;
    return 0;
  }
  if (value.type == SUValue::kReal && declared == SUValue::kReal) {
    v->r = value.payload.real;
    return 0;
  }
  if (IsText(value.type) && IsText(declared)) {
    v->s = value.GetString() != nullptr ? value.GetString() : "";
    return 0;
  }
  return 565;
}

// Whether the operand is read as text.
bool ReadsText(std::uint8_t kind, std::uint64_t operand) {
  return kind == kResText || kind == kConstText || kind == kVarText || kind == kVarName ||
         (kind == kVarTyped && IsText(OperandType(operand)));
}
bool ReadsInt(std::uint8_t kind, std::uint64_t operand) {
  return kind == kResInt || kind == kResIntAsReal || kind == kConstInt || kind == kConstIntAsReal ||
         kind == kVarInt || kind == kVarIntAsReal || kind == kVarIntText ||
         (kind == kVarTyped && IsInt(OperandType(operand)));
}

bool IsArgumentRow(std::uint32_t op) { return op >= kInput && op <= kOutsEnd; }

// Packs the leaves of an array argument in row-major order at the area's
// cursor; false (with the failure's code) when one cannot be converted.
bool PackLeaves(const SUValue& array, std::uint32_t op, std::uint8_t* at, std::size_t* done,
                std::uint16_t* code) {
  const SUValue* e = array.Elements();
  for (std::int32_t k = 0; e != nullptr && k < array.count; ++k) {
    if (e[k].IsArray()) {
      if (!PackLeaves(e[k], op, at, done, code)) return false;
      continue;
    }
    const bool text = op == kStrInput || op == kStrOutput;
    const bool integer = op == kIntInput || op == kIntOutput;
    Value v;
    char digits[16];
    *code = Convert(e[k],
                    text      ? SUValue::kString
                    : integer ? SUValue::kInteger
                              : SUValue::kReal,
                    &v, digits, sizeof digits);
    if (*code != 0) return false;
    std::uint8_t* to = at + *done;
    if (text) {
      std::memset(to, 0, kProcTextField);
      std::memcpy(to, v.s, strnlen(v.s, kProcTextField - 1));
      *done += kProcTextField;
    } else if (integer) {
      const std::int64_t wide = v.i;
      std::memcpy(to, &wide, 8);
      *done += 8;
    } else {
      std::memcpy(to, &v.r, 8);
      *done += 8;
    }
  }
  return true;
}

// The bytes an array argument takes in the area.
std::size_t PackedSize(const SUValue& array, std::size_t width) {
  std::size_t size = 0;
  const SUValue* e = array.Elements();
  for (std::int32_t k = 0; e != nullptr && k < array.count; ++k) {
    size += e[k].IsArray() ? PackedSize(e[k], width) : width;
  }
  return size;
}

}  // namespace

const char* ExprErrorText(std::uint16_t code) {
  for (const Code& c : kErrorTexts) {
    if (c.code == code) return c.text;
  }
  std::snprintf(unknown_text, sizeof unknown_text, "unknown error code %d", code);
  return unknown_text;
}

bool FoldArray(std::uint32_t op, const SUValue& array, double* out) {
  *out = 0.0;
  const SUValue* e = array.Elements();
  if (e == nullptr) return array.IsArray();
  for (std::int32_t k = 0; k < array.count; ++k) {
    double x = 0.0;
    if (e[k].type == SUValue::kReal) {
      x = e[k].payload.real;
    } else if (e[k].type == SUValue::kInteger || e[k].type == SUValue::kLogical) {
      x = e[k].GetIntAt(0);
    } else {
      return false;
    }
    if (k == 0) {
      *out = x;
    } else if (op == kSigma) {
      *out += x;
    } else if (op == kProd) {
      *out *= x;
    } else if (op == kMaxList ? x > *out : x < *out) {
      *out = x;
    }
  }
  return true;
}

// Computes pow with overflow watched; true when it overflowed.
bool WatchedPow(double x, double y, double* result) {
  std::fenv_t saved;
  std::feholdexcept(&saved);
  *result = std::pow(x, y);
  const bool overflow = std::fetestexcept(FE_OVERFLOW) != 0;
  std::fesetenv(&saved);
  return overflow;
}

SUValue* ExprPCContext::ValueOf(TapeInstruction& in, bool left) {
  void*& cached = left ? in.left_value : in.right_value;
  const std::uint8_t kind = left ? in.left_kind : in.right_kind;
  const std::uint64_t operand = left ? in.left : in.right;
  // An array's value is a copy of its members' values that only a fresh
  // read brings up to date: it is asked for at every evaluation.
  const bool array = kind == kVarTyped && OperandType(operand) == 0;
  if (cached == nullptr || array) {
    ExpressionVariable* v = GetVariable(OperandIndex(operand));
    if (v != nullptr) cached = v->CurrentValue();
  }
  return static_cast<SUValue*>(cached);
}

bool ExprPCContext::RunPlain(TapeState& s) {
  const std::int32_t n = count_ < 0 ? -count_ : count_;
  const std::size_t half = s.capacity / 2;
  double* reals = s.reals.data();
  TapeInstruction* code = tape_.code.data();
  for (std::int32_t k = 0; k < n; ++k) {
    TapeInstruction& in = code[k];
    double a = 0.0;
    double b = 0.0;
    if (in.left_kind == kVarReal) {
      const auto* v = static_cast<const SUValue*>(in.left_value);
      if (v == nullptr && (v = ValueOf(in, true)) == nullptr) return false;
      a = v->payload.real;
    } else if (in.left_kind == kConstReal) {
      a = in.left_real;
    } else if (in.left_kind == kResReal) {
      a = reals[in.left];
    }
    if (in.right_kind == kVarReal) {
      const auto* v = static_cast<const SUValue*>(in.right_value);
      if (v == nullptr && (v = ValueOf(in, false)) == nullptr) return false;
      b = v->payload.real;
    } else if (in.right_kind == kConstReal) {
      b = in.right_real;
    } else if (in.right_kind == kResReal) {
      b = reals[in.right];
    }
    const std::size_t slot = static_cast<std::size_t>(k) + 1;
    const bool has_right = in.right_kind != kNone;
    double r = 0.0;
    // The same arithmetic as the full run; where that would fail, it runs.
    switch (in.op) {
      case kTerm:
      case kPlus:
      case kFloat:
        r = a;
        break;
      case kMinus:
        r = -a;
        break;
      case kAdd:
        r = a + b;
        break;
      case kSub:
        r = a - b;
        break;
      case kMul:
        r = a * b;
        break;
      case kDiv:
        if (b == 0.0) return false;
        r = a / b;
        break;
      case kPow:
        if ((a == 0.0 && b <= 0.0) || (a < 0.0 && b != std::trunc(b))) return false;
        if (WatchedPow(a, b, &r)) return false;
        reals[half + slot] = r;
        break;
      case kSqrt:
        if (a < 0.0) return false;
        r = std::sqrt(a);
        reals[half + slot] = r;
        break;
      case kExp:
        if (a > 709.782712893384) return false;
        r = std::exp(a);
        reals[half + slot] = r;
        break;
      case kAbs:
        r = std::fabs(a);
        break;
      case kSqr:
        r = a * a;
        break;
      case kSigma:
        r = has_right ? a + b : a;
        break;
      case kProd:
        r = has_right ? a * b : a;
        reals[half + slot] = r;
        break;
      case kMaxList:
        r = has_right && b > a ? b : a;
        break;
      case kMinList:
        r = has_right && b < a ? b : a;
        break;
      case kMax:
        r = b > a ? b : a;
        reals[half + slot] = r;
        break;
      case kMin:
        r = b < a ? b : a;
        reals[half + slot] = r;
        break;
      default:  // the row with no operator
        break;
    }
    reals[slot] = r;
  }
  SUValue& result = Result();
  if (result.type != SUValue::kReal) return false;
  s.failing = n;
  s.values_current = true;
  s.owner = this;
  // SetReal on a real scalar, in place.
  result.status = SUValue::kValid;
  result.payload.real = reals[n];
  return true;
}

Status ExprPCContext::RunTape() {
  TapeState& s = TapeStateNow();
  s.values_current = false;
  if (count_ == 0) return tapestatus::kNoTape;  // nothing compiled: no value to give
  if (plain_ && RunPlain(s)) return 0;
  return RunFull(s);
}

Status ExprPCContext::RunFull(TapeState& s) {
  const std::int32_t n = count_ < 0 ? -count_ : count_;
  const std::size_t half = s.capacity / 2;
  double* reals = s.reals.data();
  std::int32_t* ints = s.ints.data();
  Status status = 0;
  char text[48];
  char operand_text[2][16];  // integers read as text, one buffer per side
  std::string scratch;

  auto fail = [&](Status st, std::int32_t k) {
    status = st;
    s.failing = k;
  };
  auto load = [&](TapeInstruction& in, bool left, Value* v) {
    const std::uint8_t kind = left ? in.left_kind : in.right_kind;
    const std::uint64_t x = left ? in.left : in.right;
    switch (kind) {
      case kVarReal:
      case kVarIntAsReal:
      case kVarInt:
      case kVarIntText:
      case kVarText:
      case kVarName:
      case kVarTyped: {
        SUValue* value = ValueOf(in, left);
        if (value == nullptr) {
          fail(tapestatus::Code(561), static_cast<std::int32_t>(&in - tape_.code.data()));
          return;
        }
        if (kind == kVarTyped && OperandType(x) != 0) {
          const std::uint16_t code = Convert(*value, OperandType(x), v, operand_text[left ? 0 : 1],
                                             sizeof operand_text[0]);
          if (code != 0) {
            fail(tapestatus::Code(code), static_cast<std::int32_t>(&in - tape_.code.data()));
          }
        } else if (kind == kVarTyped) {
          // An argument row packs the array itself.
          if (!IsArgumentRow(in.op) && !FoldArray(in.op, *value, &v->r)) {
            fail(tapestatus::Code(566), static_cast<std::int32_t>(&in - tape_.code.data()));
            v->r = 0.0;
          }
        } else if (kind == kVarReal) {
          v->r = value->payload.real;
        } else if (kind == kVarText || kind == kVarName) {
          v->s = value->GetString() != nullptr ? value->GetString() : "";
        } else {
          v->i = value->GetIntAt(0);
          v->r = v->i;
          if (kind == kVarIntText) {
            char* digits = operand_text[left ? 0 : 1];
            std::snprintf(digits, sizeof operand_text[0], "%d", v->i);
            v->s = digits;
          }
        }
        return;
      }
      case kConstReal:
        v->r = left ? in.left_real : in.right_real;
        return;
      case kConstInt:
      case kConstIntAsReal:
        v->i = reinterpret_cast<const SUValue*>(x)->GetIntAt(0);
        v->r = v->i;
        return;
      case kConstText: {
        const char* t = reinterpret_cast<const SUValue*>(x)->GetString();
        v->s = t != nullptr ? t : "";
        return;
      }
      case kResReal:
        v->r = reals[x];
        return;
      case kResInt:
      case kResIntAsReal:
        v->i = ints[x];
        v->r = v->i;
        return;
      case kResText:
        v->s = s.texts[x].c_str();
        return;
      default:
        return;
    }
  };

  for (std::int32_t k = 0; k < n; ++k) {
    TapeInstruction& in = tape_.code[static_cast<std::size_t>(k)];
    Value a;
    Value b;
    load(in, true, &a);
    load(in, false, &b);
    const std::size_t slot = static_cast<std::size_t>(k) + 1;
    const bool has_right = in.right_kind != kNone;
    double r = 0.0;
    std::int32_t i = 0;
    auto domain = [&](const char* form, double x, double y) {
      std::snprintf(s.error_text, sizeof s.error_text, form, x, y);
      fail(tapestatus::Code(639), k);
      r = 0.0;
    };
    auto math_checked = [&](double value) {
      const Status m = MathErrorStatus.status();
      if (status::IsFailure(m)) {
        if (!status::IsFailure(status)) fail(m, k);
        MathErrorStatus.Reset();
      }
      return value;
    };
    switch (in.op) {
      case kNoOperatorRow:
        r = 0.0;
        break;
      case kTerm:
      case kPlus:
      case kFloat:
        r = a.r;
        break;
      case kTermI:
      case kIPlus:
        i = a.i;
        break;
      case kTermS:
        s.texts[slot] = a.s;
        break;
      case kNot:
        i = a.i == 0;
        break;
      case kAnd:
        i = a.i != 0 && b.i != 0;
        break;
      case kOr:
        i = a.i != 0 || b.i != 0;
        break;
      case kXor:
        i = (a.i != 0) != (b.i != 0);
        break;
      case kEq:
        i = a.r == b.r;
        break;
      case kGt:
        i = a.r > b.r;
        break;
      case kLt:
        i = a.r < b.r;
        break;
      case kGe:
        i = a.r >= b.r;
        break;
      case kLe:
        i = a.r <= b.r;
        break;
      case kNe:
        i = a.r != b.r;
        break;
      case kIEq:
        i = a.i == b.i;
        break;
      case kIGt:
        i = a.i > b.i;
        break;
      case kILt:
        i = a.i < b.i;
        break;
      case kIGe:
        i = a.i >= b.i;
        break;
      case kILe:
        i = a.i <= b.i;
        break;
      case kINe:
        i = a.i != b.i;
        break;
      case kSEq:
      case kSGt:
      case kSLt:
      case kSGe:
      case kSLe:
      case kSNe: {
        const int c = strcasecmp(a.s, b.s);
        i = in.op == kSEq   ? c == 0
            : in.op == kSGt ? c > 0
            : in.op == kSLt ? c < 0
            : in.op == kSGe ? c >= 0
            : in.op == kSLe ? c <= 0
                            : c != 0;
        break;
      }
      case kVec: {
        // T(1) indexed again becomes T(1,2).
        const bool int_index = in.right_kind == kConstInt || in.right_kind == kVarInt ||
                               in.right_kind == kResInt ||
                               (in.right_kind == kVarTyped && IsInt(OperandType(in.right)));
        char index[24];
        if (int_index) std::snprintf(index, sizeof index, "%d", b.i);
        scratch = a.s;
        if (!scratch.empty() && scratch.back() == ')') {
          scratch.back() = ',';
        } else {
          scratch += '(';
        }
        scratch += int_index ? index : b.s;
        scratch += ')';
        s.texts[slot] = scratch;
        break;
      }
      case kSubId:
        scratch = a.s;
        scratch += '.';
        scratch += b.s;
        s.texts[slot] = scratch;
        break;
      case kDeRef:
      case kDeRefS:
      case kDeRefI: {
        ExpressionVariable* v = finder_ != nullptr ? finder_->FindVariable(a.s) : nullptr;
        SUValue* value = v != nullptr ? v->CurrentValue() : nullptr;
        if (value == nullptr || value->status != SUValue::kValid) {
          if (!status::IsFailure(status)) fail(tapestatus::Code(561), k);
          break;
        }
        if (in.result == 2) {
          s.texts[slot] = value->GetString() != nullptr ? value->GetString() : "";
        } else if (value->type == SUValue::kReal) {
          r = value->payload.real;
          i = Saturated(r);
        } else {
          i = value->GetIntAt(0);
          r = i;
        }
        break;
      }
      case kMinus:
        r = -a.r;
        break;
      case kIMinus:
        i = Wrapped(-static_cast<std::int64_t>(a.i));
        break;
      case kRound:
        i = Saturated(a.r >= 0 ? std::trunc(a.r + 0.5) : std::trunc(a.r - 0.5));
        break;
      case kTruncate:
        i = Saturated(a.r);
        break;
      case kAdd:
        r = a.r + b.r;
        break;
      case kSub:
        r = a.r - b.r;
        break;
      case kMul:
        r = a.r * b.r;
        break;
      case kIAdd:
        i = Wrapped(static_cast<std::int64_t>(a.i) + b.i);
        break;
      case kISub:
        i = Wrapped(static_cast<std::int64_t>(a.i) - b.i);
        break;
      case kIMul:
        i = Wrapped(static_cast<std::int64_t>(a.i) * b.i);
        break;
      case kDiv:
        if (b.r == 0.0) {
          if (!status::IsFailure(status)) fail(tapestatus::Code(630), k);
        } else {
          r = a.r / b.r;
        }
        break;
      case kMod:
        if (b.i == 0) {
          if (!status::IsFailure(status)) fail(tapestatus::Code(630), k);
        } else {
          i = b.i == -1 ? 0 : a.i % b.i;  // INT_MIN % -1 traps
        }
        break;
      case kPow:
        if ((a.r == 0.0 && b.r <= 0.0) || (a.r < 0.0 && b.r != std::trunc(b.r))) {
          domain("pow(%g,%g)", a.r, b.r);
        } else if (WatchedPow(a.r, b.r, &r)) {
          std::snprintf(s.error_text, sizeof s.error_text, "pow(%g,%g)", a.r, b.r);
          fail(tapestatus::Code(251), k);
        }
        reals[half + slot] = r;
        break;
      case kSin:
        r = math_checked(platform::Sin(a.r));
        break;
      case kCos:
        r = math_checked(platform::Cos(a.r));
        break;
      case kSinh:
        r = math_checked(platform::Sinh(a.r));
        break;
      case kCosh:
        r = math_checked(platform::Cosh(a.r));
        break;
      case kTan:
        r = std::tan(a.r);
        break;
      case kATan:
        r = std::atan(a.r);
        break;
      case kTanh:
        r = std::tanh(a.r);
        break;
      case kASin:
        if (a.r < -1.0 || a.r > 1.0)
          domain("asin(%g)", a.r, 0);
        else
          r = std::asin(a.r);
        break;
      case kACos:
        if (a.r < -1.0 || a.r > 1.0)
          domain("acos(%g)", a.r, 0);
        else
          r = std::acos(a.r);
        break;
      case kSqrt:
        if (a.r < 0.0)
          domain("sqrt(%g)", a.r, 0);
        else
          r = std::sqrt(a.r);
        reals[half + slot] = r;
        break;
      case kExp:
        if (a.r > 709.782712893384)
          domain("exp(%g)", a.r, 0);
        else
          r = std::exp(a.r);
        reals[half + slot] = r;
        break;
      case kLoge:
        if (a.r <= 0.0)
          domain("loge(%g)", a.r, 0);
        else
          r = std::log(a.r);
        break;
      case kLog10:
        if (a.r <= 0.0)
          domain("log10(%g)", a.r, 0);
        else
          r = std::log10(a.r);
        break;
      case kAbs:
        r = std::fabs(a.r);
        break;
      case kSqr:
        r = a.r * a.r;
        break;
      case kIAbs:
      case kISqr: {
        const std::int64_t x = a.i;
        const std::int64_t wide = in.op == kIAbs ? (x < 0 ? -x : x) : x * x;
        if (wide > INT32_MAX) {
          fail(tapestatus::Code(255), k);
          i = 0;
        } else {
          i = static_cast<std::int32_t>(wide);
        }
        break;
      }
      case kSigma:
        r = has_right ? a.r + b.r : a.r;
        break;
      case kProd:
        r = has_right ? a.r * b.r : a.r;
        reals[half + slot] = r;
        break;
      case kMaxList:
        r = has_right && b.r > a.r ? b.r : a.r;
        break;
      case kMinList:
        r = has_right && b.r < a.r ? b.r : a.r;
        break;
      case kMax:
        r = b.r > a.r ? b.r : a.r;
        reals[half + slot] = r;
        break;
      case kMin:
        r = b.r < a.r ? b.r : a.r;
        reals[half + slot] = r;
        break;
      case kDelay: {
        ExpressionVariable* v = GetVariable(static_cast<std::int32_t>(in.left));
        const Status d = v != nullptr ? v->DelayedValue(b.r, &r) : tapestatus::Code(561);
        if (status::IsFailure(d) && !status::IsFailure(status)) fail(d, k);
        break;
      }
      case kConcat:
        scratch = a.s;
        scratch += b.s;
        s.texts[slot] = scratch;
        break;
      case kSysFun: {
        auto* f = static_cast<SystemFunction*>(in.left_value);
        if (in.result == 2) {
          const char* t = f->CallText();
          s.texts[slot] = t != nullptr ? t : "";
        } else {
          r = f->CallReal();
        }
        break;
      }
      // Scaled by the library's own RAND_MAX: glibc's is 2^31 - 1, not 32767,
      // which would put URnd far outside a +- b and never end NRnd's loop.
      case kURnd:
        r = a.r + 2.0 * (std::rand() / static_cast<double>(RAND_MAX) - 0.5) * b.r;
        break;
      case kNRnd: {
        double u;
        double v;
        double q;
        do {
          u = 2.0 * std::rand() / static_cast<double>(RAND_MAX) - 1.0;
          v = 2.0 * std::rand() / static_cast<double>(RAND_MAX) - 1.0;
          q = u * u + v * v;
        } while (!(q > 0.0 && q < 1.0));
        r = a.r + b.r * u * std::sqrt(-2.0 * std::log(q) / q);
        break;
      }
      case kConv2R:
        r = ReadsText(in.left_kind, in.left) ? std::atof(a.s) : a.r;
        break;
      case kConv2I:
        i = ReadsText(in.left_kind, in.left)  ? std::atoi(a.s)
            : ReadsInt(in.left_kind, in.left) ? a.i
                                              : Saturated(a.r);
        break;
      case kConv2S: {
        if (ReadsText(in.left_kind, in.left)) {
          std::snprintf(text, 41, "%s", a.s);
        } else if (ReadsInt(in.left_kind, in.left) || a.integer) {
          std::snprintf(text, 41, "%d", a.i);
        } else {
          std::snprintf(text, 41, "%g", a.r);
        }
        s.texts[slot] = text;
        break;
      }
      case kInput:
      case kStrInput:
      case kIntInput:
      case kOutput:
      case kStrOutput:
      case kIntOutput: {
        const bool input = in.op <= kIntInput;
        ProcArea& area = input ? s.input : s.output;
        const bool text = in.op == kStrInput || in.op == kStrOutput;
        const bool integer = in.op == kIntInput || in.op == kIntOutput;
        const std::size_t width = text ? kProcTextField : 8;
        if (in.left_kind == kVarTyped && OperandType(in.left) == 0) {
          const SUValue* array = ValueOf(in, true);
          if (array == nullptr) break;  // reported when loaded
          const std::size_t size = PackedSize(*array, width);
          if (area.data == nullptr || area.cursor + size > area.size) {
            fail(tapestatus::Code(567), k);
            break;
          }
          // Packed aside first: a failed element leaves the area as it was.
          std::vector<std::uint8_t> packed(size);
          std::size_t done = 0;
          std::uint16_t code = 0;
          if (!PackLeaves(*array, in.op, packed.data(), &done, &code)) {
            fail(tapestatus::Code(code), k);
            break;
          }
          std::uint8_t* at = area.data + area.cursor;
          if (input && size > 0 && std::memcmp(at, packed.data(), size) != 0) {
            s.inputs_changed = true;
          }
          if (size > 0) std::memcpy(at, packed.data(), size);
          area.cursor += size;
          break;
        }
        if (area.data == nullptr || area.cursor + width > area.size) {
          fail(tapestatus::Code(567), k);  // the area has no room for the argument
          break;
        }
        std::uint8_t packed[kProcTextField] = {};
        if (text) {
          // Cut to 39 characters; the field's last byte stays 0.
          std::memcpy(packed, a.s, strnlen(a.s, kProcTextField - 1));
        } else if (integer) {
          const std::int64_t wide = a.i;
          std::memcpy(packed, &wide, 8);
        } else {
          std::memcpy(packed, &a.r, 8);
        }
        std::uint8_t* at = area.data + area.cursor;
        if (input && std::memcmp(at, packed, width) != 0) s.inputs_changed = true;
        std::memcpy(at, packed, width);
        area.cursor += width;
        break;
      }
      case kInsEnd:
      case kOutsEnd:
        break;  // the procedure equation makes the call
      default:
        if (!status::IsFailure(status)) fail(tapestatus::Code(628), k);
        break;
    }
    if (in.result == 1)
      ints[slot] = i;
    else if (in.result == 0)
      reals[slot] = r;
  }
  if (status::IsFailure(status)) return status;
  if (tape_.code[static_cast<std::size_t>(n) - 1].result == 3) {
    s.failing = n;  // a procedure call packs; it has no value of its own
    return 0;
  }
  s.failing = n;
  s.values_current = true;
  s.owner = this;
  const TapeInstruction& last = tape_.code[static_cast<std::size_t>(n) - 1];
  const std::size_t top = static_cast<std::size_t>(n);
  SUValue& result = Result();
  const std::uint16_t type = result.type;
  if (type == SUValue::kString || type == SUValue::kName) {
    SUValue v;
    v.SetType(type);
    v.SetString(last.result == 2 ? s.texts[top].c_str() : "");
    result.Assign(v);
  } else if (type == SUValue::kInteger || type == SUValue::kLogical) {
    result.Assign(
        SUValue::ConstructInt(last.result == 1 ? ints[top] : Saturated(reals[top]), type));
  } else if (type == SUValue::kReal) {
    // The usual case, stored in place: assigning a real to a real is this.
    result.SetReal(last.result == 1 ? ints[top] : reals[top]);
  } else {
    SUValue v;
    v.SetType(SUValue::kReal);
    v.SetReal(last.result == 1 ? ints[top] : reals[top]);
    result.Assign(v);
  }
  return 0;
}
