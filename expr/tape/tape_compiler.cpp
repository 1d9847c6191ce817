// The tape compiler: a post-order walk of the tree that writes one
// instruction per operator node, so that every operand is computed before
// the instruction that reads it. Leaves become operands of their parent;
// a leaf that is the whole expression, and a system function, get an
// instruction of their own.
#include <cstdlib>
#include <ctime>

#include "expr/tape/tape.h"
#include "expr/tree/expression.h"
#include "expr/tree/list_expression.h"
#include "expr/tree/proc_call_expression.h"
#include "expr/tree/system_function.h"
#include "expr/tree/var_ref_expression.h"

using namespace tapekind;

struct ExprPCContext::Operand {
  std::uint8_t kind = kNone;
  std::uint8_t flag = 0;
  std::uint64_t value = 0;
  bool array = false;  // a whole array: only aggregates and arguments read it
};

namespace {

bool IsIntType(std::uint16_t t) { return t == SUValue::kInteger || t == SUValue::kLogical; }
bool IsTextType(std::uint16_t t) { return t == SUValue::kString || t == SUValue::kName; }
bool IsScalarType(std::uint16_t t) { return IsIntType(t) || t == SUValue::kReal || IsTextType(t); }

// Rows the tape runs.
bool Compilable(std::uint16_t op) {
  return (op >= kTerm && op <= kPow) || op == kDeRef || op == kDeRefS || op == kDeRefI ||
         (op >= kSin && op <= kLog10) || op == kAbs || op == kSqr ||
         (op >= kSigma && op <= kMinList) || op == kDelay || op == kConcat ||
         (op >= kMax && op <= kNRnd) || (op >= kConv2R && op <= kConv2I) ||
         (op >= kSEq && op <= kISqr);
}

// Rows RunPlain runs: real in, real out, no status but a domain's.
bool PlainRow(const TapeInstruction& in) {
  const auto real = [](std::uint8_t kind) {
    return kind == kVarReal || kind == kConstReal || kind == kResReal || kind == kNone;
  };
  if (in.result != 0 || !real(in.left_kind) || !real(in.right_kind)) return false;
  switch (in.op) {
    case kNoOperatorRow:
    case kTerm:
    case kPlus:
    case kFloat:
    case kMinus:
    case kAdd:
    case kSub:
    case kMul:
    case kDiv:
    case kPow:
    case kSqrt:
    case kExp:
    case kAbs:
    case kSqr:
    case kSigma:
    case kProd:
    case kMaxList:
    case kMinList:
    case kMax:
    case kMin:
      return true;
    default:
      return false;
  }
}

std::uint8_t ResultKindOf(std::uint16_t type) {
  if (IsIntType(type)) return 1;
  if (IsTextType(type)) return 2;
  return 0;
}

}  // namespace

TapeState& TapeStateNow() {
  static TapeState state;
  return state;
}

ExprPCContext::ExprPCContext(Expression* expression, ExpressionVariable** variables,
                             std::int32_t count, ExprVariableFinder* finder, std::int32_t capacity)
    : ExprContext(expression, variables, count, capacity), finder_(finder) {
  Compile();
}

ExprPCContext::~ExprPCContext() {
  TapeState& s = TapeStateNow();
  if (s.owner == this) {
    s.owner = nullptr;
    s.values_current = false;
  }
}

void ExprPCContext::Compile() {
  tape_.code.clear();
  count_ = 0;
  refused_ = nullptr;
  Expression* root = Root();
  if (root == nullptr) return;
  Operand result;
  // An array on its own has no value the tape could give.
  if (!Emit(root, root->GetResultType(), &result) || result.array) {
    if (refused_ == nullptr) refused_ = root;
    tape_.code.clear();
    return;
  }
  if (tape_.code.empty()) {
    // The whole expression is one leaf: an instruction of its own.
    const std::uint8_t rk =
        result.kind == kVarTyped ? ResultKindOf(OperandType(result.value))
        : result.kind == kVarInt || result.kind == kConstInt                              ? 1
        : result.kind == kVarText || result.kind == kVarName || result.kind == kConstText ? 2
                                                                                          : 0;
    Push(kTerm, result, Operand{}, rk);
  }
  count_ = static_cast<std::int32_t>(tape_.code.size());
  plain_ = true;
  for (const TapeInstruction& in : tape_.code) plain_ = plain_ && PlainRow(in);
  TapeState& s = TapeStateNow();
  const std::size_t need = 2 * static_cast<std::size_t>(count_) + 2;
  if (s.capacity < need) {
    // The remade stacks hold no context's values: whoever ran last must run
    // again before a derivative pass reads them.
    s.values_current = false;
    s.owner = nullptr;
    s.reals.assign(need, 0.0);
    s.ints.assign(need, 0);
    s.texts.assign(need, std::string());
    s.capacity = need;
  }
}

ExprPCContext::Operand ExprPCContext::Push(std::uint32_t op, const Operand& left,
                                           const Operand& right, std::uint8_t result) {
  TapeInstruction in;
  in.left_kind = left.kind;
  in.left_flag = left.flag;
  in.left = left.value;
  in.right_kind = right.kind;
  in.right_flag = right.flag;
  in.right = right.value;
  if (in.left_kind == kConstReal)
    in.left_real = reinterpret_cast<const SUValue*>(in.left)->payload.real;
  if (in.right_kind == kConstReal)
    in.right_real = reinterpret_cast<const SUValue*>(in.right)->payload.real;
  in.result = result;
  // A row over reals reads an integer result as a real.
  if (op < kOperatorRows &&
      Row(static_cast<std::uint16_t>(op)).operand_types[0] == SUValue::kReal) {
    if (in.left_kind == kResInt) in.left_kind = kResIntAsReal;
    if (in.right_kind == kResInt) in.right_kind = kResIntAsReal;
  }
  if (op == kTerm) op = result == 1 ? kTermI : result == 2 ? kTermS : kTerm;
  in.op = op;
  tape_.code.push_back(in);
  Operand out;
  out.kind = result == 1 ? kResInt : result == 2 ? kResText : kResReal;
  out.flag = static_cast<std::uint8_t>(left.flag | right.flag);
  out.value = tape_.code.size();
  return out;
}

bool ExprPCContext::EmitLeaf(Expression* node, std::uint16_t wanted, Operand* out) {
  const std::uint16_t type = node->GetResultType();
  if (node->ClassId() == exprclass::kSysFun) {
    SystemFunction* f = static_cast<SysFunExpression*>(node)->Function();
    if (f == nullptr) return false;
    Operand none;
    *out = Push(kSysFun, none, none, ResultKindOf(f->ResultType()) == 2 ? 2 : 0);
    tape_.code.back().left_value = f;
    return true;
  }
  if (node->ClassId() == exprclass::kTerminal) {
    const SUValue& v = static_cast<TerminalExpression*>(node)->Value();
    if (IsIntType(type)) {
      out->kind = wanted == SUValue::kReal ? kConstIntAsReal : kConstInt;
    } else if (type == SUValue::kReal) {
      out->kind = kConstReal;
    } else if (type == SUValue::kString || (type == SUValue::kName && finder_ != nullptr)) {
      out->kind = kConstText;
    } else {
      return false;
    }
    out->value = reinterpret_cast<std::uintptr_t>(&v);
    return true;
  }
  if (node->ClassId() != exprclass::kVarRef && node->ClassId() != exprclass::kVariable)
    return false;
  // Name-typed leaves are looked up at run time, which needs a finder.
  if (type == SUValue::kName && finder_ == nullptr) return false;
  // An array is read whole, only by the aggregates over it and as a
  // procedure argument; each checks the elements it can take.
  const bool array = type >= SUValue::kOneDimension;
  std::int32_t index = static_cast<std::int32_t>(static_cast<VarRefExpression*>(node)->Offset());
  if (ExpressionVariable* bound = node->BoundVariable()) {
    if (status::IsFailure(AddVariable(bound, &index))) return false;
  }
  ExpressionVariable* v = GetVariable(index);
  if (v == nullptr) return false;
  const std::uint16_t own = v->ValueType();
  out->array = array;
  if (array) {
    out->kind = kVarTyped;
  } else if (IsIntType(type) && IsIntType(own)) {
    out->kind = wanted == SUValue::kReal   ? kVarIntAsReal
                : wanted == SUValue::kName ? kVarIntText
                                           : kVarInt;
  } else if (type == SUValue::kReal && own == SUValue::kReal) {
    out->kind = kVarReal;
  } else if (IsTextType(type) && IsTextType(own)) {
    out->kind = wanted == SUValue::kName ? kVarName : kVarText;
  } else if (IsScalarType(type)) {
    // The variable is not of the tree's type: its value is converted when read.
    out->kind = kVarTyped;
    out->flag = v->IsParameter() == 0 ? 1 : 0;
    out->value = TypedOperand(index, type);
    return true;
  } else {
    return false;
  }
  out->flag = v->IsParameter() == 0 ? 1 : 0;
  out->value = static_cast<std::uint64_t>(index);
  return true;
}

bool ExprPCContext::EmitAggregate(Expression* node, Operand* out) {
  Expression* list = node->Operand(1);
  if (list == nullptr) return false;
  const std::uint16_t op = node->Op();
  Operand none;
  if (list->ClassId() != exprclass::kList && list->ClassId() != exprclass::kHomList) {
    // An aggregate over one array variable: folded when it is read.
    Operand array;
    const std::uint16_t element = SUValue::ElementType(list->GetResultType());
    if (list->Op() != kTerm || list->GetResultType() < SUValue::kOneDimension ||
        (!IsIntType(element) && element != SUValue::kReal) ||
        !EmitLeaf(list, SUValue::kReal, &array) || !array.array) {
      return false;
    }
    *out = Push(op, array, none, 0);
    return true;
  }
  const std::int32_t n = static_cast<ListExpression*>(list)->ItemCount();
  const std::uint16_t wanted = Row(op).operand_types[0];
  if (n == 0) {
    *out = Push(kNoOperatorRow, none, none, 0);
    return true;
  }
  Operand acc;
  if (!Emit(list->ListElement(1), wanted, &acc) || acc.array) return false;
  if (n == 1) {
    *out = Push(op, acc, none, 0);
    return true;
  }
  for (std::int32_t i = 1; i < n; ++i) {
    Operand next;
    if (!Emit(list->ListElement(i + 1), wanted, &next) || next.array) return false;
    acc = Push(op, acc, next, 0);
  }
  *out = acc;
  return true;
}

// Every input, then InsEnd, every output, then OutsEnd; none has a result.
bool ExprPCContext::EmitCall(Expression* node, Operand* out) {
  auto* call = static_cast<ProcCallExpression*>(node);
  if (call->Outputs()->ItemCount() == 0) return false;
  Operand none;
  for (int pass = 0; pass < 2; ++pass) {
    ProcIOListExpression* list = pass == 0 ? call->Inputs() : call->Outputs();
    for (std::int32_t i = 1; i <= list->ItemCount(); ++i) {
      Expression* element = list->ListElement(i);
      const std::uint16_t declared = element->GetResultType();
      Operand value;
      if (!Emit(element, declared, &value)) return false;
      // An array argument is packed element by element, by its elements' type.
      const std::uint16_t type = value.array ? declared & 0x0F : declared;
      const std::uint16_t base = pass == 0 ? kInput : kOutput;
      const std::uint16_t row = IsTextType(type) ? base + 1 : IsIntType(type) ? base + 2 : base;
      if (row == base && type != SUValue::kReal) return false;
      Push(row, value, none, 3);
    }
    *out = Push(pass == 0 ? kInsEnd : kOutsEnd, none, none, 3);
  }
  return true;
}

// The first node refused is the innermost: its parents fail after it.
bool ExprPCContext::Emit(Expression* node, std::uint16_t wanted, Operand* out) {
  const bool emitted = EmitNode(node, wanted, out);
  if (!emitted && refused_ == nullptr) refused_ = node;
  return emitted;
}

bool ExprPCContext::EmitNode(Expression* node, std::uint16_t wanted, Operand* out) {
  if (node == nullptr) return false;
  if (node->ClassId() == exprclass::kProcCall) return EmitCall(node, out);
  std::uint16_t op = node->Op();
  if (op == kTerm) return EmitLeaf(node, wanted, out);
  if (!Compilable(op)) return false;
  const OperatorRow& row = Row(op);
  if (op == kURnd || op == kNRnd) std::srand(static_cast<unsigned>(std::time(nullptr)));
  if ((row.flags & opflag::kAggregate) != 0) return EmitAggregate(node, out);

  Expression* left = node->Operand(1);
  Expression* right = node->OperandCount() > 1 ? node->Operand(2) : nullptr;
  Operand l;
  Operand r;
  std::uint16_t want = row.operand_types[0] != 0 ? row.operand_types[0] : wanted;
  if (left != nullptr) {
    const std::uint16_t tl = left->GetResultType();
    const std::uint16_t tr = right != nullptr ? right->GetResultType() : 0;
    if (row.integer_variant >= 0 && IsIntType(tl) && (right == nullptr || IsIntType(tr))) {
      op = static_cast<std::uint16_t>(row.integer_variant);
      want = SUValue::kInteger;
    } else if (row.string_variant >= 0 && tl == SUValue::kString &&
               (right == nullptr || tr == SUValue::kString)) {
      op = static_cast<std::uint16_t>(row.string_variant);
      want = SUValue::kString;
    } else if (op == kDeRef) {
      const std::uint8_t rk = ResultKindOf(node->GetResultType());
      if (rk == 2) op = kDeRefS;
      if (rk == 1) op = kDeRefI;
    } else if (op == kDelay) {
      ExpressionVariable* v = left->BoundVariable();
      if (v == nullptr && left->ClassId() == exprclass::kVarRef) {
        v = GetVariable(static_cast<std::int32_t>(static_cast<VarRefExpression*>(left)->Offset()));
      }
      if (v == nullptr) return false;
      v->RegisterDelay();
    }
    if (!Emit(left, want, &l)) return false;
    if (op == kDelay && l.kind != kVarReal) return false;
  }
  if (right != nullptr && !Emit(right, want, &r)) return false;
  if (l.array || r.array) return false;
  std::uint8_t result = ResultKindOf(node->GetResultType());
  if (op == kConv2S || op == kConv2R || op == kConv2I) {
    op = result == 0 ? kConv2R : result == 1 ? kConv2I : kConv2S;
  }
  // Rows whose table type is fixed decide their stack themselves.
  const std::uint16_t fixed = Row(op).result_type;
  if (fixed > 1 && op != kConv2R && op != kConv2I && op != kConv2S) result = ResultKindOf(fixed);
  *out = Push(op, l, r, result);
  return true;
}
