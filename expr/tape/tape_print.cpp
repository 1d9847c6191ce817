// Printing a tape instruction back in modelling form, for the messages that
// report a failed evaluation.
#include <cstdio>
#include <ostream>
#include <sstream>
#include <string>

#include "expr/tape/tape.h"
#include "expr/tree/expression.h"
#include "expr/tree/system_function.h"

using namespace tapekind;

namespace {

const char* OpeningText(std::uint32_t op) {
  switch (op) {
    case kNot:
      return "NOT ";
    case kPlus:
    case kIPlus:
      return "+";
    case kMinus:
    case kIMinus:
      return "-";
    case kRound:
      return "ROUND(";
    case kTruncate:
      return "TRUNCATE(";
    case kSin:
      return "SIN(";
    case kCos:
      return "COS(";
    case kTan:
      return "TAN(";
    case kASin:
      return "ARCSIN(";
    case kACos:
      return "ARCCOS(";
    case kATan:
      return "ARCTAN(";
    case kSinh:
      return "SINH(";
    case kCosh:
      return "COSH(";
    case kTanh:
      return "TANH(";
    case kSqrt:
      return "SQRT(";
    case kExp:
      return "EXP(";
    case kLoge:
      return "LOGE(";
    case kLog10:
      return "LOG10(";
    case kAbs:
    case kIAbs:
      return "ABS(";
    case kSqr:
    case kISqr:
      return "SQR(";
    case kSigma:
      return "SIGMA(";
    case kProd:
      return "PRODUCT(";
    case kMaxList:
    case kMax:
      return "MAX(";
    case kMinList:
    case kMin:
      return "MIN(";
    case kDelay:
      return "DELAY ";
    default:
      return "";
  }
}

const char* InfixText(std::uint32_t op) {
  switch (op) {
    case kAnd:
      return " AND ";
    case kOr:
      return " OR ";
    case kXor:
      return " XOR ";
    case kEq:
    case kSEq:
    case kIEq:
      return "==";
    case kGt:
    case kSGt:
    case kIGt:
      return ">";
    case kLt:
    case kSLt:
    case kILt:
      return "<";
    case kGe:
    case kSGe:
    case kIGe:
      return ">=";
    case kLe:
    case kSLe:
    case kILe:
      return "<=";
    case kNe:
    case kSNe:
    case kINe:
      return "<>";
    case kAdd:
    case kIAdd:
      return "+";
    case kSub:
    case kISub:
      return "-";
    case kMul:
    case kIMul:
      return "*";
    case kDiv:
      return "/";
    case kMod:
      return "%";
    case kPow:
      return "^";
    case kDelay:
      return " BY ";
    case kSigma:
    case kProd:
    case kMaxList:
    case kMinList:
    case kMax:
    case kMin:
    case kConcat:
      return ",";
    default:
      return "";
  }
}

bool IsResult(std::uint8_t kind) {
  return kind == kResReal || kind == kResInt || kind == kResIntAsReal || kind == kResText;
}

}  // namespace

void ExprPCContext::PrintOperand(std::uint8_t kind, std::uint64_t operand, std::ostream& out) {
  if (kind == kNone) return;
  if (IsResult(kind)) {
    PrintTape(static_cast<std::int32_t>(operand) - 1, out);
  } else if (kind == kConstReal || kind == kConstInt || kind == kConstIntAsReal ||
             kind == kConstText) {
    reinterpret_cast<const SUValue*>(operand)->Print(out);
  } else {
    const char* name = VariableName(static_cast<std::int32_t>(operand));
    out << (name != nullptr ? name : "?");
  }
}

void ExprPCContext::PrintTape(std::int32_t instruction, std::ostream& out) {
  const std::int32_t n = count_ < 0 ? -count_ : count_;
  const bool failing_part = instruction < 0;
  const std::int32_t k = failing_part ? -instruction - 1 : instruction;
  if (k >= n) return;
  // Chains of aggregates print as one call with every element.
  const TapeInstruction& in = tape_.code[static_cast<std::size_t>(k)];
  if (failing_part) {
    switch (in.op) {
      case kDiv:
      case kMod:
        PrintOperand(in.right_kind, in.right, out);
        return;
      case kPow:
        PrintOperand(in.left_kind, in.left, out);
        out << "^";
        PrintOperand(in.right_kind, in.right, out);
        return;
      case kSqrt:
      case kExp:
      case kLoge:
        PrintOperand(in.left_kind, in.left, out);
        return;
      default: {
        char text[40];
        std::snprintf(text, sizeof text, "Invalid operator %d", static_cast<int>(in.op));
        out << text;
        return;
      }
    }
  }
  if (in.op == kSysFun) {
    const auto* f = static_cast<const SystemFunction*>(in.left_value);
    out << (f != nullptr ? f->Name() : std::string()) << "()";
    return;
  }
  const bool aggregate =
      in.op == kSigma || in.op == kProd || in.op == kMaxList || in.op == kMinList;
  const char* open = OpeningText(in.op);
  const bool inner_chain =
      aggregate && in.left_kind == kResReal && tape_.code[in.left - 1].op == in.op;
  if (!inner_chain) out << open;
  if (inner_chain) {
    // The left operand is the same chain: print its elements without the call.
    std::ostringstream inner;
    PrintTape(static_cast<std::int32_t>(in.left) - 1, inner);
    std::string text = inner.str();
    const std::string head = open;
    if (text.compare(0, head.size(), head) == 0 && !text.empty() && text.back() == ')') {
      text = text.substr(0, text.size() - 1);
    }
    out << text;
  } else {
    PrintOperand(in.left_kind, in.left, out);
  }
  if (in.right_kind != kNone) {
    out << InfixText(in.op);
    PrintOperand(in.right_kind, in.right, out);
  }
  const std::size_t len = std::char_traits<char>::length(open);
  if (len > 0 && open[len - 1] == '(') out << ")";
}

void ExprPCContext::Print(std::ostream& out) {
  if (count_ == 0) {
    ExprContext::Print(out);
    return;
  }
  // After a failed run the part that failed, after a success the whole tape.
  const std::int32_t n = count_ < 0 ? -count_ : count_;
  const std::int32_t failing = TapeStateNow().failing;
  PrintTape(failing >= 0 && failing < n ? -failing - 1 : n - 1, out);
  out << "\n";
}
