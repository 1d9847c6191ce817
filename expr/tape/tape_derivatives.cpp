// The reverse pass: from the last instruction to the first, each result's
// adjoint (d residual / d result) is handed on to its operands. A tape comes
// from a tree, so every result has one reader and adjoints are assigned;
// they overwrite the lower half of the real stack, whose values the pass no
// longer needs once their reader is done. Variables receive theirs through
// AddToElement, or are summed into one caller's double.
#include <algorithm>
#include <cfloat>
#include <cmath>

#include "expr/tape/tape.h"
#include "expr/tree/expression.h"
#include "expr/tree/system_function.h"
#include "foundation/interfaces/run_mode.h"
#include "foundation/messages/math_error.h"
#include "platform/math.h"

using namespace tapekind;

namespace {

// The partial of a delayed value with respect to the value now: 0 for a
// lag longer than the step, where the history alone answers. A delayed
// value that cannot say keeps the value now's 1.
double DelayedValueWeight(ExpressionVariable* v, double lag) {
  double weight = 1.0;
  if (v == nullptr || status::IsFailure(v->DelayedValueWeight(lag, &weight)) ||
      !std::isfinite(weight)) {
    return 1.0;
  }
  return weight;
}

bool IsResult(std::uint8_t kind) {
  return kind == kResReal || kind == kResInt || kind == kResIntAsReal || kind == kResText;
}

ExpressionADVariable* AsAD(ExpressionVariable* v) {
  return v != nullptr ? v->AsADVariable() : nullptr;
}

// A converted scalar takes part only when the tree reads it as a real and
// the value is one: an integer has no derivative.
bool IsRealScalar(std::uint64_t operand, const SUValue* value) {
  return OperandType(operand) == SUValue::kReal && value != nullptr &&
         value->type == SUValue::kReal;
}

}  // namespace

// An operand takes part when a real variable below it is of column class 2 or more.
bool ExprADContext::IsActive(std::uint8_t kind, std::uint64_t operand, std::int32_t mode) {
  if (kind == kVarReal) {
    ExpressionADVariable* v = AsAD(GetVariable(static_cast<std::int32_t>(operand)));
    return v != nullptr && v->ColumnClass(0, mode) > 1;
  }
  if (kind == kVarTyped && OperandType(operand) != 0) {
    ExpressionVariable* v = GetVariable(OperandIndex(operand));
    ExpressionADVariable* ad = AsAD(v);
    return ad != nullptr && IsRealScalar(operand, v->CurrentValue()) &&
           ad->ColumnClass(0, mode) > 1;
  }
  if (kind == kVarTyped) {
    ExpressionVariable* v = GetVariable(static_cast<std::int32_t>(operand));
    for (std::int32_t e = 0; v != nullptr && e < v->ElementCount(); ++e) {
      ExpressionADVariable* element = AsAD(v->ElementOfList(e));
      if (element != nullptr && element->ColumnClass(0, mode) > 1) return true;
    }
    return false;
  }
  if (!IsResult(kind)) return false;
  const TapeInstruction& in = tape_.code[operand - 1];
  return IsActive(in.left_kind, in.left, mode) || IsActive(in.right_kind, in.right, mode);
}

bool ExprADContext::HasDelay() const {
  const std::int32_t total = count_ < 0 ? -count_ : count_;
  for (std::int32_t k = 0; k < total && static_cast<std::size_t>(k) < tape_.code.size(); ++k) {
    if (tape_.code[static_cast<std::size_t>(k)].op == kDelay) return true;
  }
  return false;
}

Status ExprADContext::Sweep(std::int32_t mode, ExpressionVariable* chosen, double* value,
                            std::int32_t key) {
  if (count_ == 0) return tapestatus::kNoTape;
  TapeState& s = TapeStateNow();
  const std::int32_t total = count_ < 0 ? -count_ : count_;
  if (tape_.code[static_cast<std::size_t>(total) - 1].result == 3) {
    s.failing = total - 1;
    return tapestatus::kNoCallDerivative;
  }
  if (count_ < 0 || !s.values_current || s.owner != this) {
    count_ = count_ < 0 ? -count_ : count_;
    const Status run = RunTape();
    if (status::IsFailure(run)) return run;
  }
  s.values_current = false;  // the adjoints overwrite the values
  const std::int32_t n = count_;
  const std::size_t half = s.capacity / 2;
  double* reals = s.reals.data();
  const std::int32_t* ints = s.ints.data();
  Status status = 0;
  auto record = [&](std::uint16_t code, std::int32_t k, bool replace) {
    if (replace || !status::IsFailure(status)) {
      status = tapestatus::Code(code);
      s.failing = k;
    }
  };
  auto operand_value = [&](const TapeInstruction& in, bool left) -> double {
    const std::uint8_t kind = left ? in.left_kind : in.right_kind;
    const std::uint64_t x = left ? in.left : in.right;
    switch (kind) {
      case kVarReal: {
        const SUValue* v = static_cast<const SUValue*>(left ? in.left_value : in.right_value);
        return v != nullptr ? v->payload.real : 0.0;
      }
      case kVarIntAsReal:
      case kVarInt: {
        const SUValue* v = static_cast<const SUValue*>(left ? in.left_value : in.right_value);
        return v != nullptr ? v->GetIntAt(0) : 0.0;
      }
      case kVarTyped: {
        const SUValue* v = static_cast<const SUValue*>(left ? in.left_value : in.right_value);
        if (v == nullptr) return 0.0;
        if (OperandType(x) != 0) {
          if (v->type == SUValue::kReal) return v->payload.real;
          return v->type == SUValue::kInteger || v->type == SUValue::kLogical ? v->payload.integer
                                                                              : 0.0;
        }
        double folded = 0.0;
        FoldArray(in.op, *v, &folded);
        return folded;
      }
      case kConstReal:
        return left ? in.left_real : in.right_real;
      case kConstInt:
      case kConstIntAsReal:
        return reinterpret_cast<const SUValue*>(x)->GetIntAt(0);
      case kResReal:
        return reals[x];
      case kResInt:
      case kResIntAsReal:
        return ints[x];
      default:
        return 0.0;
    }
  };
  auto hand = [&](ExpressionVariable* v, double contribution) {
    if (key >= 0) return;
    if (chosen != nullptr) {
      if (v == chosen) *value += contribution;
    } else if (ExpressionADVariable* ad = AsAD(v)) {
      ad->AddToElement(0, contribution);
    }
  };
  // A folded array hands each element variable its share: all of it for a
  // sum, the product of the other elements for a product, and the whole
  // to the first element that is the largest or smallest.
  auto spread = [&](const TapeInstruction& in, bool left, double contribution) {
    ExpressionVariable* v = GetVariable(static_cast<std::int32_t>(left ? in.left : in.right));
    const SUValue* array = static_cast<const SUValue*>(left ? in.left_value : in.right_value);
    if (v == nullptr || array == nullptr || array->Elements() == nullptr) return;
    const std::int32_t n = std::min(array->count, v->ElementCount());
    auto element = [&](std::int32_t e) {
      const SUValue& x = array->Elements()[e];
      return x.type == SUValue::kReal ? x.payload.real : static_cast<double>(x.GetIntAt(0));
    };
    double folded = 0.0;
    FoldArray(in.op, *array, &folded);
    bool handed = false;
    for (std::int32_t e = 0; e < n; ++e) {
      double share = 1.0;
      if (in.op == kProd) {
        for (std::int32_t o = 0; o < array->count; ++o) {
          if (o != e) share *= element(o);
        }
      } else if (in.op == kMaxList || in.op == kMinList) {
        share = !handed && element(e) == folded ? 1.0 : 0.0;
        handed = handed || share != 0.0;
      }
      hand(v->ElementOfList(e), contribution * share);
    }
  };
  auto push = [&](const TapeInstruction& in, bool left, double contribution) {
    const std::uint8_t kind = left ? in.left_kind : in.right_kind;
    const std::uint64_t operand = left ? in.left : in.right;
    if (IsResult(kind)) {
      reals[operand] = contribution;
    } else if (kind == kVarReal) {
      hand(GetVariable(static_cast<std::int32_t>(operand)), contribution);
    } else if (kind == kVarTyped && OperandType(operand) != 0) {
      const SUValue* value = static_cast<const SUValue*>(left ? in.left_value : in.right_value);
      if (IsRealScalar(operand, value)) hand(GetVariable(OperandIndex(operand)), contribution);
    } else if (kind == kVarTyped) {
      spread(in, left, contribution);
    }
  };
  auto math_checked = [&](std::int32_t k) {
    const Status m = MathErrorStatus.status();
    if (status::IsFailure(m)) {
      if (!status::IsFailure(status)) {
        status = m;
        s.failing = k;
      }
      MathErrorStatus.Reset();
    }
  };

  // The values the sweep reads are taken before any adjoint is written
  // over them: instruction k's operands are read at k, their slots written
  // at k too, and nothing after k reads them.
  std::vector<double>& left_values = s.sweep_left;
  std::vector<double>& right_values = s.sweep_right;
  left_values.resize(static_cast<std::size_t>(n));
  right_values.resize(static_cast<std::size_t>(n));
  for (std::int32_t k = 0; k < n; ++k) {
    const TapeInstruction& in = tape_.code[static_cast<std::size_t>(k)];
    left_values[static_cast<std::size_t>(k)] = operand_value(in, true);
    right_values[static_cast<std::size_t>(k)] = operand_value(in, false);
  }
  reals[static_cast<std::size_t>(n)] = 1.0;
  for (std::int32_t k = n - 1; k >= 0; --k) {
    const TapeInstruction& in = tape_.code[static_cast<std::size_t>(k)];
    const std::size_t slot = static_cast<std::size_t>(k) + 1;
    const double adjoint = reals[slot];
    const double a = left_values[static_cast<std::size_t>(k)];
    const double b = right_values[static_cast<std::size_t>(k)];
    const double r = reals[half + slot];
    double dl = 1.0;
    double dr = 1.0;
    switch (in.op) {
      case kEq:
      case kGt:
      case kLt:
      case kGe:
      case kLe:
      case kNe:
      case kSEq:
      case kSGt:
      case kSLt:
      case kSGe:
      case kSLe:
      case kSNe:
      case kIEq:
      case kIGt:
      case kILt:
      case kIGe:
      case kILe:
      case kINe:
      case kNot:
      case kAnd:
      case kOr:
      case kXor:
      case kRound:
      case kTruncate:
      case kMod:
        dl = 0.0;
        dr = 0.0;
        break;
      case kMinus:
      case kIMinus:
        dl = -1.0;
        break;
      case kSub:
      case kISub:
        dr = -1.0;
        break;
      case kMul:
      case kIMul:
      case kProd:
        // Each factor's partial is the other factor: exact when either is 0.
        if (in.right_kind != kNone) {
          dl = b;
          dr = a;
        }
        break;
      case kDiv:
        if (b == 0.0) {
          record(647, k, true);
          dl = dr = 0.0;
          break;
        }
        dl = 1.0 / b;
        if (std::fabs(b) > 1.5e154) {
          dr = 0.0;
        } else if (b * b == 0.0 || (std::fabs(b) < 1.0 && std::fabs(a) > b * b * DBL_MAX)) {
          record(251, k, true);
          dr = 0.0;
        } else {
          dr = -a / (b * b);
        }
        break;
      case kPow:
        if (a == 0.0) {
          if (IsActive(in.left_kind, in.left, mode) || IsActive(in.right_kind, in.right, mode)) {
            record(648, k, false);
          }
          dl = dr = 0.0;
        } else if (a < 0.0) {
          // A negative base has a whole exponent: d/da is well defined, d/db is not.
          dl = b * r / a;
          dr = 0.0;
          if (IsActive(in.right_kind, in.right, mode)) record(648, k, false);
        } else {
          dl = b * r / a;
          dr = r * std::log(a);
          if (std::isinf(dr) && std::isfinite(r)) record(251, k, false);
        }
        break;
      case kSin:
        dl = platform::Cos(a);
        math_checked(k);
        break;
      case kCos:
        dl = -platform::Sin(a);
        math_checked(k);
        break;
      case kTan: {
        const double c = std::cos(a);
        if (c == 0.0)
          record(641, k, true), dl = 0.0;
        else
          dl = 1.0 / (c * c);
        break;
      }
      case kASin:
      case kACos: {
        const double root = std::sqrt(1.0 - a * a);
        if (root == 0.0 || !(root == root)) {
          record(in.op == kASin ? 642 : 643, k, true);
          dl = 0.0;
        } else {
          dl = (in.op == kASin ? 1.0 : -1.0) / root;
        }
        break;
      }
      case kATan:
        dl = 1.0 / (1.0 + a * a);
        break;
      case kSinh:
        dl = platform::Cosh(a);
        math_checked(k);
        break;
      case kCosh:
        dl = platform::Sinh(a);
        math_checked(k);
        break;
      case kTanh: {
        const double c = std::cosh(a);
        if (c == 0.0 || std::isinf(c)) {
          if (c == 0.0) record(653, k, true);
          dl = 0.0;
        } else {
          dl = 1.0 / (c * c);
        }
        break;
      }
      case kSqrt:
        if (a > 0.0) {
          dl = 0.5 / r;
        } else if (a < 0.0) {
          record(631, k, false);
          dl = 0.0;
        } else {
          if (IsActive(in.left_kind, in.left, mode)) record(640, k, false);
          dl = 0.0;
        }
        break;
      case kExp:
        dl = r;
        break;
      case kLoge:
        if (a == 0.0)
          record(644, k, false), dl = 0.0;
        else
          dl = 1.0 / a;
        break;
      case kLog10:
        if (a == 0.0)
          record(645, k, false), dl = 0.0;
        else
          dl = 1.0 / (a * 2.302585092994046);
        break;
      case kAbs:
      case kIAbs:
        dl = a < 0.0 ? -1.0 : 1.0;
        break;
      case kSqr:
      case kISqr:
        dl = 2.0 * a;
        break;
      case kMax:
      case kMin:
      case kMaxList:
      case kMinList:
        if (in.right_kind != kNone) {
          const bool left_wins = in.op == kMax || in.op == kMaxList ? a >= b : a <= b;
          dl = left_wins ? 1.0 : 0.0;
          dr = left_wins ? 0.0 : 1.0;
        }
        break;
      case kDelay: {
        // The history reaches back only to the start: a lag beyond the
        // current time reads the first value, which the lag does not move.
        const SystemFunction* clock = SystemFunction::Find("Time");
        const double time = clock != nullptr ? clock->CallReal() : 0.0;
        // Held, the value read lies a lag back: the present value does not
        // move it, the sensitivity recorded then does. Otherwise the present
        // value moves it by the look-up's weight on it.
        const bool held = (s.delays_held || key >= 0) && b > 0.0;
        dr = 0.0;
        ExpressionVariable* v = GetVariable(static_cast<std::int32_t>(in.left));
        dl = held || (mode == 1 && b != 0.0 && time != 0.0) ? 0.0 : DelayedValueWeight(v, b);
        ExpressionADVariable* recorded = held && key >= 0 ? AsAD(v) : nullptr;
        double then = 0.0;
        if (recorded != nullptr &&
            !status::IsFailure(recorded->ValueAtTime(key, time - b, &then))) {
          *value += adjoint * then;
        }
        if (v != nullptr && b <= time) {
          const DelayProbe probe;
          double d0 = 0.0;
          double d1 = 0.0;
          if (!status::IsFailure(v->DelayedValue(b, &d0)) &&
              !status::IsFailure(v->DelayedValue(b + 0.0001, &d1))) {
            dr = (d1 - d0) / 0.0001;
          }
        }
        break;
      }
      case kURnd:
      case kNRnd:
      case kConv2R:
      case kConv2I:
      case kConv2S:
      case kConcat:
      case kSysFun:
      case kTermS:
        dl = dr = 0.0;
        break;
      default:
        break;
    }
    push(in, true, adjoint * dl);
    if (in.right_kind != kNone) push(in, false, adjoint * dr);
  }
  return status;
}

Status ExprADContext::EvaluateDerivative(ExpressionVariable* variable, double* value,
                                         std::int32_t mode) {
  return DerivativeForVariable(variable, value, mode);
}

Status ExprADContext::EvaluateJacobian(std::int32_t mode) {
  const Status prepared = PrepareDerivatives(0);
  if (status::IsFailure(prepared)) return prepared;
  return ReversePass(mode);
}

double ExprADContext::VariableDerivativeFlag(std::int32_t index, std::int32_t mode) {
  ExpressionADVariable* v = AsAD(GetVariable(index));
  return v != nullptr ? v->ElementValue(static_cast<std::uint32_t>(mode)) : 0.0;
}

std::int32_t ExprADContext::MarkVariables(std::uint32_t n) {
  std::int32_t last = 0;
  for (std::int32_t i = 0; i < VariableCount(); ++i) {
    if (ExpressionADVariable* v = AsAD(GetVariable(i))) last = v->SetSize(n, false);
  }
  return last;
}

Status ExprADContext::ResetVariables(std::int32_t a, std::int32_t b) {
  for (std::int32_t i = 0; i < VariableCount(); ++i) {
    if (ExpressionADVariable* v = AsAD(GetVariable(i))) v->SetClassMark(0, a, b);
  }
  return 0;
}

Status ExprADContext::RunTapeWithIO(ProcArea input, ProcArea output, bool* changed,
                                    std::int32_t mode) {
  TapeState& s = TapeStateNow();
  input.cursor = 0;
  output.cursor = 0;
  s.input = input;
  s.output = output;
  s.inputs_changed = changed != nullptr && *changed;
  s.derivative_mode = mode;
  const Status st = RunTape();
  if (changed != nullptr) *changed = s.inputs_changed;
  s.input = ProcArea{};
  s.output = ProcArea{};
  return st;
}

Status ExprADContext::ClassifyNonlinearity(std::int32_t* out, std::int32_t a, std::int32_t b,
                                           std::int32_t mode) {
  std::uint32_t flags = 0;
  Status s = 0;
  if (Root() != nullptr) s = Root()->NonlinearityClass(this, 1, &flags, mode, b);
  for (std::int32_t i = VariableCount() - 1; i >= 0; --i) {
    ExpressionVariable* v = GetVariable(i);
    if (v == nullptr) continue;
    for (std::int32_t e = 0; e < v->ElementCount(); ++e) {
      if (ExpressionADVariable* ad = AsAD(v->ElementOfList(e))) {
        const std::int32_t c = ad->ColumnClass(a, b);
        if (c > *out) *out = c;
      }
    }
  }
  return s;
}
