// Printing a tape instruction back in modelling form, for the messages that
// report a failed evaluation.
#include <cstdio>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

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

namespace {

// One piece of a printed line still to be written: a fixed text, or an
// operand (which may be a whole earlier instruction).
struct Pending {
  const char* text = nullptr;
  std::uint8_t kind = kNone;
  std::uint64_t operand = 0;
};

bool IsAggregate(std::uint32_t op) {
  return op == kSigma || op == kProd || op == kMaxList || op == kMinList;
}

}  // namespace

void ExprPCContext::PrintLeaf(std::uint8_t kind, std::uint64_t operand, std::ostream& out) {
  if (kind == kConstReal || kind == kConstInt || kind == kConstIntAsReal || kind == kConstText) {
    reinterpret_cast<const SUValue*>(operand)->Print(out);
  } else {
    const char* name = VariableName(static_cast<std::int32_t>(operand));
    out << (name != nullptr ? name : "?");
  }
}

// Written with a stack of its own: an aggregate of many elements is a chain
// of as many instructions, and a tape is as deep as the tree it came from.
void ExprPCContext::PrintTape(std::int32_t instruction, std::ostream& out) {
  const std::int32_t n = count_ < 0 ? -count_ : count_;
  const bool failing_part = instruction < 0;
  const std::int32_t k = failing_part ? -instruction - 1 : instruction;
  if (k >= n) return;
  std::vector<Pending> stack;
  auto text = [&](const char* t) { stack.push_back(Pending{t, kNone, 0}); };
  auto operand = [&](std::uint8_t kind, std::uint64_t value) {
    if (kind != kNone) stack.push_back(Pending{nullptr, kind, value});
  };
  const TapeInstruction& top = tape_.code[static_cast<std::size_t>(k)];
  if (failing_part) {
    switch (top.op) {
      case kDiv:
      case kMod:
        operand(top.right_kind, top.right);
        break;
      case kPow:
        operand(top.right_kind, top.right);
        text("^");
        operand(top.left_kind, top.left);
        break;
      case kSqrt:
      case kExp:
      case kLoge:
        operand(top.left_kind, top.left);
        break;
      default: {
        char invalid[40];
        std::snprintf(invalid, sizeof invalid, "Invalid operator %d", static_cast<int>(top.op));
        out << invalid;
        return;
      }
    }
  } else {
    operand(kResReal, static_cast<std::uint64_t>(k) + 1);
  }
  // Pieces are pushed in reverse and popped in order.
  std::vector<const TapeInstruction*> chain;
  while (!stack.empty()) {
    const Pending piece = stack.back();
    stack.pop_back();
    if (piece.text != nullptr) {
      out << piece.text;
      continue;
    }
    if (!IsResult(piece.kind)) {
      PrintLeaf(piece.kind, piece.operand, out);
      continue;
    }
    const std::int64_t at = static_cast<std::int64_t>(static_cast<std::int32_t>(piece.operand)) - 1;
    if (at < 0 || at >= n) continue;
    const TapeInstruction& in = tape_.code[static_cast<std::size_t>(at)];
    if (in.op == kSysFun) {
      const auto* f = static_cast<const SystemFunction*>(in.left_value);
      out << (f != nullptr ? f->Name() : std::string()) << "()";
      continue;
    }
    const char* open = OpeningText(in.op);
    const std::size_t length = std::char_traits<char>::length(open);
    const bool closes = length > 0 && open[length - 1] == '(';
    out << open;
    if (closes) text(")");
    if (IsAggregate(in.op)) {
      // A chain of one aggregate prints as one call with every element:
      // walk down its left operands to the first element.
      chain.clear();
      const TapeInstruction* link = &in;
      chain.push_back(link);
      while (link->left_kind == kResReal && link->left >= 1 &&
             link->left <= static_cast<std::uint64_t>(n) &&
             tape_.code[link->left - 1].op == in.op) {
        link = &tape_.code[link->left - 1];
        chain.push_back(link);
      }
      for (const TapeInstruction* c : chain) {
        if (c->right_kind == kNone) continue;
        operand(c->right_kind, c->right);
        text(InfixText(c->op));
      }
      operand(link->left_kind, link->left);
      continue;
    }
    if (in.right_kind != kNone) {
      operand(in.right_kind, in.right);
      text(InfixText(in.op));
    }
    operand(in.left_kind, in.left);
  }
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
