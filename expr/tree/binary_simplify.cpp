// One simplification step of a binary node: constant folding, then the
// first rewrite whose mask bit is on and whose pattern matches. Every node a
// rule builds comes from the builders (and is simplified in turn); inner
// nodes give up their reference once the outer node holds them.
#include <string>
#include "expr/tree/binary_expression.h"

#include "expr/tree/unary_expression.h"

namespace {

bool On(std::uint32_t bit) { return (SimplifyMask & bit) != 0; }

// A constant's numeric value: integers and logicals as reals, reals as they are.
bool Numeric(const SUValue* v, double* out) {
  if (v == nullptr || v->IsSet() || v->IsArray() || v->status != SUValue::kValid) return false;
  if (v->type == SUValue::kReal) {
    *out = v->payload.real;
    return true;
  }
  if (v->type == SUValue::kInteger || v->type == SUValue::kLogical) {
    *out = static_cast<double>(v->payload.integer);
    return true;
  }
  return false;
}

bool Equals(const SUValue* v, double x) {
  double d = 0.0;
  return Numeric(v, &d) && d == x;
}

Expression* Shared(bool one, std::uint16_t type) {
  const SharedConstants& c = Constants();
  Expression* e = nullptr;
  switch (type & SUValue::kKindMask) {
    case SUValue::kInteger:
      e = one ? c.int1 : c.int0;
      break;
    case SUValue::kLogical:
      e = one ? c.logical_true : c.logical_false;
      break;
    case SUValue::kReal:
      e = one ? c.real1 : c.real0;
      break;
    default:
      return nullptr;
  }
  if ((type & ~SUValue::kKindMask) != 0) return nullptr;
  e->AddRef();
  return e;
}

bool Has(const Expression* e, std::uint16_t op) {
  return e != nullptr && e->Op() == op && e->OperandCount() == 2;
}
bool IsUnary(const Expression* e, std::uint16_t op) {
  return e != nullptr && e->Op() == op && e->OperandCount() == 1;
}

// Builders that drop the references of fresh inner nodes.
Expression* Bin(std::uint16_t op, Expression* a, Expression* b, std::uint16_t type,
                bool fresh_a = false, bool fresh_b = false) {
  Expression* e = MakeBinaryExpression(op, a, b, type);
  if (fresh_a) a->Release();
  if (fresh_b) b->Release();
  return e;
}
// A node of a regrouped chain: the chain's type and flags.
Expression* Link(std::uint16_t op, Expression* a, Expression* b, const Expression& chain,
                 bool fresh_a = false, bool fresh_b = false) {
  auto* node = new BinaryExpression(op, a, b, chain.GetResultType());
  node->SetFlags(chain.Flags());
  node->AddRef();
  Expression* e = SimplifyFully(node);
  if (fresh_a) a->Release();
  if (fresh_b) b->Release();
  return e;
}
Expression* Un(std::uint16_t op, Expression* a, std::uint16_t type, bool fresh = false) {
  Expression* e = MakeUnaryExpression(op, a, type);
  if (fresh) a->Release();
  return e;
}

// Regrouping would change the meaning of a comparison chain: (c == x) == y
// is not c == (x == y) when x is not logical.
bool Regroupable(std::uint16_t op) {
  return op != kEq && op != kNe && op != kSEq && op != kSNe && op != kIEq && op != kINe;
}

}  // namespace

std::int32_t BinaryExpression::Simplify(Expression** replacement) {
  *replacement = nullptr;
  if (first_ == nullptr || second_ == nullptr || InBalancedChain()) return 0;
  if (IsNameRow() && !On(0x10000)) return 0;
  if (op_ == kForEach || op_ == kAssignment) return 0;
  SUValue values[2];
  const SUValue* constant[2] = {nullptr, nullptr};
  Expression* operands[2] = {first_, second_};
  for (int i = 0; i < 2; ++i) {
    if (operands[i]->FoldFailed()) {
      // This node's evaluation fails as well, if it is a term.
      const std::uint16_t flags = OpRow().flags;
      const Expression* other = operands[1 - i];
      if ((flags & opflag::kFoldable) != 0 &&
          (TranscendentalFoldingSwitch || (flags & opflag::kTranscendental) == 0) &&
          (other->FoldFailed() || other->IsTerm())) {
        MarkFoldFailed();
      }
      return 0;
    }
    if (!operands[i]->IsTerm()) continue;
    PrepareValue(values[i], operands[i]->GetResultType());
    if (status::IsFailure(operands[i]->Evaluate(values[i], nullptr))) {
      operands[i]->MarkFoldFailed();
      return 0;
    }
    constant[i] = &values[i];
  }
  if (On(0x0001) && (IsTerm() || IsNameRow())) {
    SUValue value;
    PrepareValue(value, GetResultType());
    if (status::IsFailure(Evaluate(value, nullptr))) {
      if (IsTerm()) MarkFoldFailed();
      return 0;
    }
    if (!ChargeFoldedElements(value)) return 0;
    *replacement = FoldedConstant(value, GetResultType());
    return *replacement != nullptr ? 1 : 0;
  }
  bool swapped = false;
  *replacement = Rewritten(constant[0], constant[1], &swapped);
  return *replacement != nullptr || swapped ? 1 : 0;
}

Expression* BinaryExpression::Rewritten(const SUValue* ca, const SUValue* cb, bool* swapped) {
  const std::uint16_t flags = OpRow().flags;
  const bool commutative = (flags & opflag::kCommutative) != 0;
  const bool associative = (flags & opflag::kAssociative) != 0;
  const std::uint16_t t = GetResultType();
  Expression* a = first_;
  Expression* b = second_;
  const bool a_const = ca != nullptr;
  const bool b_const = cb != nullptr;
  // Dividing by a reciprocal is only the same for reals.
  const bool real = t == SUValue::kReal;
  // Regrouping moves terms only within one chain: nodes of this operator,
  // type and flags, as the reader groups them. A node of another type or
  // flags is a term of its own (moving terms across it would retype them,
  // and every reading of the sent tree would group them anew), and so is a
  // balanced long chain.
  auto in_chain = [this](const Expression* e) {
    return Has(e, op_) && e->GetResultType() == GetResultType() && e->Flags() == Flags() &&
           !e->InBalancedChain();
  };

  // A pair of constants that could not be folded stays in its order.
  if (On(0x0002) && commutative && b_const && !a_const) {
    std::swap(first_, second_);
    *swapped = true;
    return nullptr;
  }
  if (On(0x0004) && associative && commutative && Regroupable(op_)) {
    if (in_chain(a) && !a_const && a->Operand(1)->IsTerm()) {
      Expression* inner = Link(op_, a->Operand(2), b, *this);
      return Link(op_, a->Operand(1), inner, *this, false, true);
    }
    if (a_const && in_chain(b) && b->Operand(1)->IsTerm()) {
      Expression* inner = Link(op_, a, b->Operand(1), *this);
      return Link(op_, inner, b->Operand(2), *this, true, false);
    }
  }
  if (On(0x0008) && commutative && a_const &&
      (((flags & opflag::kZeroIdentity) != 0 && Equals(ca, 0)) ||
       ((flags & opflag::kOneIdentity) != 0 && Equals(ca, 1)))) {
    b->AddRef();
    return b;
  }
  if (On(0x0010) && !commutative && b_const &&
      (((flags & opflag::kZeroIdentity) != 0 && Equals(cb, 0)) ||
       ((flags & opflag::kOneIdentity) != 0 && Equals(cb, 1)))) {
    a->AddRef();
    return a;
  }
  if (On(0x0020) && commutative && a_const) {
    if ((flags & opflag::kZeroAbsorbs) != 0 && Equals(ca, 0)) {
      if (Expression* zero = Shared(false, t)) return zero;
    } else if ((flags & opflag::kOneAbsorbs) != 0 && Equals(ca, 1)) {
      if (Expression* one = Shared(true, t)) return one;
    }
  }
  if (On(0x0040) && !commutative && a_const) {
    if ((flags & opflag::kZeroAbsorbs) != 0 && Equals(ca, 0)) {
      if (Expression* zero = Shared(false, t)) return zero;
    } else if ((flags & opflag::kOneAbsorbs) != 0 && Equals(ca, 1)) {
      if (Expression* one = Shared(true, t)) return one;
    }
  }
  if (On(0x0100) && (flags & opflag::kNestedRewrite) != 0 && Has(b, op_)) {
    if (op_ == kSub) {
      Expression* inner = Bin(kSub, b->Operand(2), b->Operand(1), t);
      return Bin(kAdd, a, inner, t, false, true);
    }
    if (op_ == kDiv && real) {
      Expression* inner = Bin(kDiv, b->Operand(2), b->Operand(1), t);
      return Bin(kMul, a, inner, t, false, true);
    }
  }
  if (On(0x0400)) {
    if (op_ == kSub && a_const && Equals(ca, 0)) return Un(kMinus, b, t);
    if (op_ == kPow && b_const && Equals(cb, 0)) return Shared(true, SUValue::kReal);
    if (op_ == kPow && b_const && Equals(cb, 2.0)) return Un(kSqr, a, t);
  }
  if (On(0x0800) && b_const) {
    if (op_ == kDiv && real && !Equals(cb, 0)) {
      Expression* one = Shared(true, SUValue::kReal);
      Expression* reciprocal = Bin(kDiv, one, b, t, true, false);
      return Bin(kMul, reciprocal, a, t, true, false);
    }
    if (op_ == kSub) return Bin(kAdd, a, Un(kMinus, b, t), t, false, true);
  }
  if (On(0x1000) && a_const && b->OperandCount() == 2 && b->Operand(1)->Op() != kNop &&
      ((op_ == kAdd && b->Op() == kSub) || (op_ == kMul && b->Op() == kDiv && real))) {
    Expression* inner = Bin(op_, a, b->Operand(1), t);
    return Bin(b->Op(), inner, b->Operand(2), t, true, false);
  }
  if (On(0x2000)) {
    if ((op_ == kMul || op_ == kDiv) && IsUnary(a, kMinus)) {
      return Un(kMinus, Bin(op_, a->Operand(1), b, t), t, true);
    }
    if ((op_ == kMul || op_ == kDiv) && IsUnary(b, kMinus)) {
      return Un(kMinus, Bin(op_, a, b->Operand(1), t), t, true);
    }
    if (a->OperandCount() == 1 && b->OperandCount() == 1 && a->Op() == b->Op() &&
        a->ClassId() == exprclass::kUnary && b->ClassId() == exprclass::kUnary) {
      const std::uint16_t u = a->Op();
      const bool pair =
          (u == kNot && (op_ == kAnd || op_ == kOr)) ||
          (u == kMinus && (op_ == kAdd || op_ == kSub || op_ == kMul || op_ == kDiv)) ||
          (u == kAbs && (op_ == kMul || op_ == kDiv));
      if (pair) {
        std::uint16_t inner_op = op_;
        if (op_ == kAnd) inner_op = kOr;
        if (op_ == kOr) inner_op = kAnd;
        return Un(u, Bin(inner_op, a->Operand(1), b->Operand(1), t), t, true);
      }
    }
    if (op_ == kSub && IsUnary(b, kMinus) && !b_const) return Bin(kAdd, a, b->Operand(1), t);
    if (op_ == kAdd && IsUnary(b, kMinus) && !b_const) return Bin(kSub, a, b->Operand(1), t);
    if (op_ == kSub && IsUnary(a, kMinus) && !a_const) {
      return Un(kMinus, Bin(kAdd, a->Operand(1), b, t), t, true);
    }
    if (op_ == kAdd && IsUnary(a, kMinus) && !a_const) return Bin(kSub, b, a->Operand(1), t);
  }
  if (On(0x4000) && op_ == kIntSect && IsUnary(a, kDeRef) && IsUnary(b, kDeRef)) {
    const Expression* na = a->Operand(1);
    const Expression* nb = b->Operand(1);
    if (na->ClassId() == exprclass::kTerminal && nb->ClassId() == exprclass::kTerminal &&
        na->GetResultType() == SUValue::kName && nb->GetResultType() == SUValue::kName) {
      const char* ta = static_cast<const TerminalExpression*>(na)->Value().GetString();
      const char* tb = static_cast<const TerminalExpression*>(nb)->Value().GetString();
      if (ta != nullptr && tb != nullptr && std::string(ta) == tb) {
        a->AddRef();
        return a;
      }
    }
  }
  if (On(0x8000) && (op_ == kAdd || op_ == kMul)) {
    if (!in_chain(a) && in_chain(b) && !a->IsConstant() && in_chain(b->Operand(2))) {
      Expression* inner = Link(op_, b->Operand(1), a, *this);
      return Link(op_, inner, b->Operand(2), *this, true, false);
    }
    if (in_chain(a) && in_chain(a->Operand(1))) {
      Expression* inner = Link(op_, a->Operand(2), b, *this);
      return Link(op_, a->Operand(1), inner, *this, false, true);
    }
  }
  return nullptr;
}
