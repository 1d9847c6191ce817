#include "expr/tree/binary_expression.h"

#include <algorithm>
#include <climits>
#include <ostream>
#include <utility>

#include "expr/eval/expr_context.h"
#include "expr/eval/value_ops.h"
#include "expr/store/restore_helpers.h"
#include "foundation/persistence/binary_stream.h"
#include "foundation/persistence/persistence.h"
#include "foundation/persistence/virtual_stream.h"
#include "platform/math.h"

using namespace exprvalue;

BinaryExpression::BinaryExpression(std::uint16_t op, Expression* first, Expression* second,
                                   std::uint16_t type)
    : Expression(op, type) {
  if (OpRow().operands != 2) SetErrorCode(kErrOperandCount);
  SetOperands(first, second);
}

BinaryExpression::BinaryExpression(const BinaryExpression& other)
    : Expression(other), first_(other.first_), second_(other.second_),
      node_count_(other.node_count_) {
  if (first_ != nullptr) first_->AddRef();
  if (second_ != nullptr) second_->AddRef();
}

BinaryExpression::~BinaryExpression() {
  Release(first_);
  Release(second_);
}

// A pure change of type (Nop) is not sent: the node reads back over the
// operand itself. Over a constant the change is made here, so that the
// node folds now as it would when read back.
Expression* ConvertedOperand(Expression* operand, std::uint16_t t) {
  const std::uint16_t own = operand->GetResultType();
  if (own == t) {
    operand->AddRef();
    return operand;
  }
  const bool to_real =
      t == SUValue::kReal && (own == SUValue::kInteger || own == SUValue::kLogical);
  Expression* node = MakeUnaryExpression(to_real ? kFloat : kNop, operand, t);
  if (to_real || node->Op() != kNop || !operand->IsTerm() || operand->FoldFailed()) return node;
  SUValue value;
  PrepareValue(value, t);
  if (status::IsFailure(node->Evaluate(value, nullptr))) {
    // A term that fails itself is marked, so that a change of it to the type
    // of each node above does not evaluate it all again.
    SUValue itself;
    PrepareValue(itself, own);
    if (status::IsFailure(operand->Evaluate(itself, nullptr))) operand->MarkFoldFailed();
    return node;
  }
  if (!ChargeFoldedElements(value)) return node;
  Expression* folded = FoldedConstant(value, t);
  if (folded == nullptr) return node;
  node->Release();
  return folded;
}

void BinaryExpression::SetOperands(Expression* first, Expression* second) {
  const std::uint16_t tl = first != nullptr ? first->GetResultType() : 0;
  const std::uint16_t tr = second != nullptr ? second->GetResultType() : 0;
  auto keep = [](Expression* e) {
    if (e != nullptr) e->AddRef();
    return e;
  };
  if (op_ == kForEach) {
    if (first != nullptr) SetFlags(first->Flags());
    first_ = keep(first);
    second_ = keep(second);
  } else if (type_ != 0 || first == nullptr || second == nullptr) {
    first_ = keep(first);
    second_ = keep(second);
  } else if ((OpRow().flags & opflag::kConverts) != 0) {
    const std::uint16_t t = std::max(tl, tr);
    type_ = t;
    first_ = ConvertedOperand(first, t);
    second_ = ConvertedOperand(second, t);
  } else {
    // Assignment.
    first_ = keep(first);
    second_ = keep(second);
    if (tl == tr) {
      type_ = tl;
    } else if (tl == SUValue::kReal && tr == SUValue::kInteger) {
      Expression* wrapped = MakeUnaryExpression(kFloat, second_, 0);
      second_->Release();
      second_ = wrapped;
      type_ = SUValue::kReal;
    } else if (tr == SUValue::kReal && tl == SUValue::kInteger) {
      Expression* wrapped = MakeUnaryExpression(kFloat, first_, 0);
      first_->Release();
      first_ = wrapped;
      type_ = SUValue::kReal;
    } else if (tl == 0 || tr == 0) {
      type_ = static_cast<std::uint16_t>(tl | tr);
    }
  }
  if (op_ == kVec && first_ != nullptr && first_->Op() == kVec) {
    first_->SetFlags(first_->Flags() | 0x0001);
  }
  UpdateNodeCount();
}

void BinaryExpression::UpdateNodeCount() {
  ClearFoldFailed();
  node_count_ = 1 + (first_ != nullptr ? first_->NodeCount() : 0) +
                (second_ != nullptr ? second_->NodeCount() : 0);
}

// --- collectable bodies ---

void BinaryExpression::SaveToFile(ClFileStream& file) const {
  Expression::SaveToFile(file);
  WriteCollectableToFile(first_, file);
  WriteCollectableToFile(second_, file);
}

void BinaryExpression::RestoreFromFile(ClFileStream& file) {
  const RestoringNode restoring(this);
  Expression::RestoreFromFile(file);
  Release(first_);
  Release(second_);
  first_ = second_ = nullptr;
  first_ = RestoreOperandFromFile(file);
  second_ = RestoreOperandFromFile(file);
  UpdateNodeCount();
}

void BinaryExpression::SaveToVStream(Clvostream& stream) const {
  Expression::SaveToVStream(stream);
  WriteCollectable(first_, stream);
  WriteCollectable(second_, stream);
}

void BinaryExpression::RestoreFromVStream(Clvistream& stream) {
  const RestoringNode restoring(this);
  Expression::RestoreFromVStream(stream);
  Release(first_);
  Release(second_);
  first_ = second_ = nullptr;
  first_ = RestoreOperand(stream);
  if (stream.Good()) second_ = RestoreOperand(stream);
  UpdateNodeCount();
}

// --- structure ---

std::int32_t BinaryExpression::SetPrivate(bool on) {
  if (first_ != nullptr) first_->SetPrivate(on);
  if (second_ != nullptr) second_->SetPrivate(on);
  return Expression::SetPrivate(on);
}

bool BinaryExpression::IsTimeDependent() const {
  const bool b = second_ != nullptr && second_->IsTimeDependent();
  if (op_ == kSubId) return b;
  return b || (first_ != nullptr && first_->IsTimeDependent());
}

Expression* BinaryExpression::DeepCopy() const {
  auto* copy = new BinaryExpression(*this);
  copy->AddRef();
  for (std::int32_t i = 1; i <= 2; ++i) {
    Expression* operand = i == 1 ? first_ : second_;
    if (operand == nullptr) continue;
    Expression* inner = operand->DeepCopy();
    copy->Operand(i, inner);
    inner->Release();
  }
  return copy;
}

Expression* BinaryExpression::EliminateObsoleteOperators() {
  for (std::int32_t i = 1; i <= 2; ++i) {
    Expression* operand = Operand(i);
    if (operand == nullptr) continue;
    if (Expression* replacement = operand->EliminateObsoleteOperators()) {
      Operand(i, replacement);
      replacement->Release();
    }
  }
  return nullptr;
}

namespace {

// Both operands answer true; the smaller is asked first, so that a long
// chain over a variable answers at its near end instead of walking to the
// far one (each node of a chain asks while it is built).
template <typename Query>
bool Both(const Expression* a, const Expression* b, Query query) {
  if (a == nullptr || b == nullptr) return false;
  if (b->NodeCount() < a->NodeCount()) std::swap(a, b);
  return query(a) && query(b);
}

}  // namespace

bool BinaryExpression::IsTerm() const {
  const std::uint16_t flags = OpRow().flags;
  if ((flags & opflag::kFoldable) == 0 ||
      (!TranscendentalFoldingSwitch && (flags & opflag::kTranscendental) != 0)) {
    return false;
  }
  return RememberedTerm(
      [this] { return Both(first_, second_, [](const Expression* e) { return e->IsTerm(); }); });
}

bool BinaryExpression::IsConstant() const {
  if (IsNameRow() || op_ == kForEach || op_ == kAssignment) return false;
  return Both(first_, second_, [](const Expression* e) { return e->IsConstant(); });
}

std::int32_t BinaryExpression::CountReferences() const {
  return (first_ != nullptr ? first_->CountReferences() : 0) +
         (second_ != nullptr ? second_->CountReferences() : 0);
}

Expression* BinaryExpression::Operand(std::int32_t index, Expression* replacement) {
  if (index != 1 && index != 2) return nullptr;
  Expression*& slot = index == 1 ? first_ : second_;
  if (replacement != nullptr && replacement != slot) {
    replacement->AddRef();
    Release(slot);
    slot = replacement;
    UpdateNodeCount();
    NoteOperandChange();
  }
  return slot;
}

std::int32_t BinaryExpression::ListLength() const {
  if (first_ == nullptr) return 0;
  if (op_ == kVec) return first_->ListLength() + 1;
  if (op_ == kSubId) return first_->ListLength();
  return 0;
}

Expression* BinaryExpression::ListElement(std::int32_t i) const {
  if (first_ == nullptr) return nullptr;
  if (op_ == kVec) return i == ListLength() ? second_ : first_->ListElement(i);
  if (op_ == kSubId) return first_->ListElement(i);
  return nullptr;
}

// --- compact forms ---

Status BinaryExpression::WriteCompactToMessage(BvuBinaryStream& message) const {
  Status s = WriteHeader(message);
  if (s != 0) return s;
  if (first_ == nullptr || second_ == nullptr) return exprstatus::kItemFailed;
  s = first_->WriteCompactToMessage(message);
  if (status::IsFailure(s)) return s;
  return second_->WriteCompactToMessage(message);
}

Status BinaryExpression::SaveCompactToVStream(Clvostream& stream, std::uint32_t mode) const {
  if (first_ == nullptr || second_ == nullptr) return exprstatus::kItemFailed;
  if (op_ == kVec) return first_->SaveCompactToVStream(stream, mode);
  WriteHeader(stream);
  const Status s = first_->SaveCompactToVStream(stream, mode);
  if (status::IsFailure(s)) return s;
  return second_->SaveCompactToVStream(stream, mode);
}

// --- evaluation ---

Status BinaryExpression::Evaluate(SUValue& result, ExprContext* context) {
  if (first_ == nullptr || second_ == nullptr) return exprstatus::kNoEvaluator;
  SUValue a;
  SUValue b;
  PrepareValue(a, first_->GetResultType());
  PrepareValue(b, second_->GetResultType());
  Status s = first_->Evaluate(a, context);
  if (status::IsFailure(s)) return s;
  s = second_->Evaluate(b, context);
  if (status::IsFailure(s)) return s;
  const Status applied = Apply(result, a, b);
  SetErrorCode(static_cast<std::uint16_t>(applied));
  return applied;
}

namespace {

Status Settled(const SUValue& result) {
  return result.status < 0 ? ValueStatusToEvaluation(result.status) : 0;
}

bool IsIntegerKind(const SUValue& v) {
  return !v.IsSet() && !v.IsArray() && (v.type == SUValue::kInteger || v.type == SUValue::kLogical);
}

// The logical operators, comparisons (string and integer rows compare as
// their real row) and membership.
bool Truth(std::uint16_t op, const SUValue& a, const SUValue& b) {
  switch (op) {
    case kAnd:
      return AsInt(a) != 0 && AsInt(b) != 0;
    case kOr:
      return AsInt(a) != 0 || AsInt(b) != 0;
    case kXor:
      return (AsInt(a) != 0) != (AsInt(b) != 0);
    case kIn:
      return b.IsGreaterEqual(a);
    case kEq:
    case kSEq:
    case kIEq:
      return a.IsEqual(b);
    case kGt:
    case kSGt:
    case kIGt:
      return a.IsGreater(b);
    case kLt:
    case kSLt:
    case kILt:
      return a.IsLess(b);
    case kGe:
    case kSGe:
    case kIGe:
      return a.IsGreaterEqual(b);
    case kLe:
    case kSLe:
    case kILe:
      return a.IsLessEqual(b);
    default:
      return a.IsNotEqual(b);  // kNe, kSNe, kINe
  }
}

}  // namespace

Status BinaryExpression::Apply(SUValue& result, const SUValue& a, const SUValue& b) {
  switch (op_) {
    case kVec:
    case kSubId:
    case kAdd:
    case kIAdd:
    case kUnion:
    case kConcat:
      result.Assign(a);
      result.Add(b);
      return Settled(result);
    case kSub:
    case kISub:
    case kDiff:
      result.Assign(a);
      result.Subtract(b);
      return Settled(result);
    case kMul:
    case kIMul:
    case kIntSect:
      result.Assign(a);
      result.MultiplyBy(b);
      return Settled(result);
    case kDiv:
      // An integer divisor of 0 is refused as well as a real one.
      if ((GetResultType() == SUValue::kReal && AsReal(b) == 0.0) ||
          (IsIntegerKind(a) && IsIntegerKind(b) && AsInt(b) == 0)) {
        return exprstatus::kDivisionByZero;
      }
      result.Assign(a);
      result.DivideBy(b);
      return Settled(result);
    case kSymDiff:
      result.Assign(a);
      result.DivideBy(b);
      return Settled(result);
    case kAnd:
    case kOr:
    case kXor:
    case kIn:
    case kEq:
    case kSEq:
    case kIEq:
    case kGt:
    case kSGt:
    case kIGt:
    case kLt:
    case kSLt:
    case kILt:
    case kGe:
    case kSGe:
    case kIGe:
    case kLe:
    case kSLe:
    case kILe:
    case kNe:
    case kSNe:
    case kINe:
      return StoreInt(result, Truth(op_, a, b) ? 1 : 0, SUValue::kLogical);
    case kMod: {
      const std::int32_t x = AsInt(a);
      const std::int32_t y = AsInt(b);
      if (y == 0) return exprstatus::kDivisionByZero;
      // INT_MIN % -1 traps on x86; its remainder is 0.
      return StoreInt(result, y == -1 ? 0 : x % y);
    }
    case kPow:
      return StoreChecked(result, platform::Pow(AsReal(a), AsReal(b)));
    case kSlice: {
      const std::int32_t from = AsInt(a);
      const std::int32_t to = AsInt(b);
      if (static_cast<std::int64_t>(to) - from >= kMaxSliceElements) return exprstatus::kOutOfRange;
      SUValue range;
      range.MakeIntRange(from, to);
      return StoreValue(result, range);
    }
    case kDeriv: {
      SUValue suffix;
      suffix.SetType(SUValue::kName);
      suffix.SetString("Derivative");
      result.Assign(a);
      result.Add(suffix);
      return Settled(result);
    }
    case kDelay:
      return 0;
    case kMax:
      return StoreValue(result, a.IsGreater(b) ? a : b);
    case kMin:
      return StoreValue(result, b.IsGreater(a) ? a : b);
    default:
      SetErrorCode(kErrUnknownOperator);
      return exprstatus::kUnknownOperator;
  }
}

Status BinaryExpression::VisitVariables(ExprContext* context, std::uint32_t* counter,
                                        std::uint32_t mode) {
  if (counter != nullptr) ++*counter;
  if (first_ != nullptr) {
    const Status s = first_->VisitVariables(context, counter, mode | (op_ == kDelay ? 2u : 0u));
    if (status::IsFailure(s)) return s;
  }
  return second_ != nullptr ? second_->VisitVariables(context, counter, mode) : 0;
}

// --- printing ---

void BinaryExpression::PrintOperand(std::ostream& out, const Expression* operand, bool enclose,
                                    ExprContext* context) const {
  if (enclose) out << '(';
  PrintNode(out, operand, context);
  if (enclose) out << ')';
}

void BinaryExpression::PrintModelling(std::ostream& out, ExprContext* context) const {
  if (IsPrivate()) {
    out << "PrivateExpression";
    return;
  }
  const OperatorRow& row = OpRow();
  const char* name = row.modelling;
  switch (row.print_form) {
    case kPrintFunction:
      out << name << '(';
      PrintOperand(out, first_, false, context);
      out << ',';
      PrintOperand(out, second_, false, context);
      out << ')';
      return;
    case kPrintInfix: {
      // No precedence: every operator operand is enclosed.
      const bool enclose_first = first_ != nullptr && first_->Op() > kSubId &&
                                 first_->OpRow().print_form != kPrintFunction;
      const bool enclose_second = second_ != nullptr && second_->Op() >= kNot &&
                                  second_->Op() != kDeriv &&
                                  second_->OpRow().print_form != kPrintFunction;
      PrintOperand(out, first_, enclose_first, context);
      out << name;
      PrintOperand(out, second_, enclose_second, context);
      return;
    }
    case 3:
      out << '(';
      PrintOperand(out, first_, false, context);
      out << ',';
      PrintOperand(out, second_, false, context);
      out << ')' << name;
      return;
    case kPrintSpecial:
      switch (op_) {
        case kVec:
          PrintOperand(out, first_, false, context);
          out << (first_ != nullptr && first_->Op() == kVec ? ',' : '(');
          PrintOperand(out, second_, false, context);
          if ((Flags() & 0x0001) == 0) out << ')';
          return;
        case kDeriv:
          out << name;
          PrintOperand(out, first_, false, context);
          return;
        case kDelay:
          out << "DELAY ";
          PrintOperand(out, first_, false, context);
          out << " BY ";
          PrintOperand(out, second_, false, context);
          return;
        case kForEach:
          out << "FOREACH(";
          PrintOperand(out, first_, false, context);
          out << " IN ";
          PrintOperand(out, second_, false, context);
          out << ')';
          return;
        default:
          out << name << '(';
          PrintOperand(out, first_, false, context);
          out << ',';
          PrintOperand(out, second_, false, context);
          out << ')';
          return;
      }
    default:
      out << '(';
      PrintOperand(out, first_, false, context);
      out << name;
      PrintOperand(out, second_, false, context);
      out << ')';
      return;
  }
}

void BinaryExpression::PrintDebug(std::ostream& out, std::int32_t depth, bool end_line) const {
  if (IsPrivate()) {
    out << "PrivateExpression";
    if (end_line) out << '\n';
    return;
  }
  Expression::PrintDebug(out, depth, end_line);
  if (first_ != nullptr) first_->PrintDebug(out, depth + 1, end_line);
  if (second_ != nullptr) second_->PrintDebug(out, depth + 1, end_line);
}

void BinaryExpression::PrintErrors(std::ostream& out, ExprContext* context, bool* found) const {
  bool mine = false;
  Expression::PrintErrors(out, context, &mine);
  if (mine) {
    if (found != nullptr) *found = true;
    return;
  }
  if (first_ != nullptr) first_->PrintErrors(out, context, &mine);
  if (!mine && second_ != nullptr) second_->PrintErrors(out, context, &mine);
  if (mine && found != nullptr) *found = true;
}

// --- structure queries ---

std::int32_t BinaryExpression::CountSetIndices() const {
  const std::int32_t a = first_ != nullptr ? first_->CountSetIndices() : 0;
  const std::int32_t b = second_ != nullptr ? second_->CountSetIndices() : 0;
  if (op_ == kVec && second_ != nullptr && IsPlainSetType(second_->GetResultType())) return a + 1;
  if (op_ == kSubId) return a + b;
  return std::max(a, b);
}

namespace {

template <typename Query>
std::int32_t Sum(const Expression* a, const Expression* b, Query query) {
  return (a != nullptr ? query(a) : 0) + (b != nullptr ? query(b) : 0);
}

}  // namespace

std::int32_t BinaryExpression::CountFlag0002() const {
  if (op_ == kSubId) return second_ != nullptr ? second_->CountFlag0002() : 0;
  return Sum(first_, second_, [](const Expression* e) { return e->CountFlag0002(); });
}

std::int32_t BinaryExpression::CountFlag0004() const {
  return Sum(first_, second_, [](const Expression* e) { return e->CountFlag0004(); });
}

std::int32_t BinaryExpression::CountFlag0800() const {
  if (op_ == kDeriv) return 1;
  if (op_ == kSubId) return second_ != nullptr ? second_->CountFlag0800() : 0;
  return 0;
}

std::int32_t BinaryExpression::CountFlag1000() const {
  return Sum(first_, second_, [](const Expression* e) { return e->CountFlag1000(); });
}

bool BinaryExpression::DependsOnVariables(ExprContext* context, std::int32_t arg) const {
  return (second_ != nullptr && second_->DependsOnVariables(context, arg)) ||
         (first_ != nullptr && first_->DependsOnVariables(context, arg));
}

bool BinaryExpression::HasImplicitReference() const {
  return (first_ != nullptr && first_->HasImplicitReference()) ||
         (second_ != nullptr && second_->HasImplicitReference());
}

bool BinaryExpression::NeedsIteration() const {
  return op_ == kForEach || (first_ != nullptr && first_->NeedsIteration()) ||
         (second_ != nullptr && second_->NeedsIteration()) || CountSetIndices() > 0;
}

void BinaryExpression::ResetCaches() {
  if (first_ != nullptr) first_->ResetCaches();
  if (second_ != nullptr) second_->ResetCaches();
}

Expression* BinaryExpression::SubstituteInPlace(ExprSubstitutionVisitor& visitor) {
  if (first_ != nullptr) PutOperand(1, first_->SubstituteInPlace(visitor));
  if (second_ != nullptr) PutOperand(2, second_->SubstituteInPlace(visitor));
  // Nodes below may have changed in place.
  UpdateNodeCount();
  return this;
}

std::uint32_t BinaryExpression::QualifyImplicitReferences(Expression* prefix) {
  const std::uint32_t a = first_ != nullptr ? first_->QualifyImplicitReferences(prefix) : 0;
  const std::uint32_t b = second_ != nullptr ? second_->QualifyImplicitReferences(prefix) : 0;
  return node_count_ = a + b + 1;
}

Status BinaryExpression::NonlinearityClass(ExprContext* context, std::int32_t c,
                                           std::uint32_t* flags, std::int32_t i, std::int32_t j) {
  if (first_ == nullptr || second_ == nullptr) return exprstatus::kUnknownOperator;
  const bool a_depends = first_->DependsOnVariables(context, j);
  const bool b_depends = second_->DependsOnVariables(context, j);
  std::int32_t ca = c;
  std::int32_t cb = c;
  switch (op_) {
    case kVec:
    case kSubId:
    case kSlice:
    case kDiff:
    case kIntSect:
    case kSymDiff:
    case kIn:
    case kForEach:
    case kAssignment:
      return exprstatus::kNotClassified;
    case kAnd:
    case kOr:
    case kXor:
    case kMod:
    case kConcat:
      ca = cb = 4;
      break;
    case kEq:
    case kGt:
    case kLt:
    case kGe:
    case kLe:
    case kNe:
      ca = cb = 1;
      break;
    case kAdd:
    case kSub:
      break;
    case kMul:
      if (c < 3) {
        ca = b_depends ? 3 : c;
        cb = a_depends ? 3 : c;
      }
      break;
    case kDiv:
      if (c < 3) {
        ca = b_depends ? 3 : c;
        cb = a_depends || b_depends ? 3 : c;
      }
      break;
    case kPow:
      if (c < 3 && (a_depends || b_depends)) ca = cb = 3;
      break;
    case kDelay:
      if (flags != nullptr) *flags |= 0x0800;
      ca = cb = 3;
      break;
    case kMax:
    case kMin:
      ca = cb = 3;
      break;
    default:
      return exprstatus::kUnknownOperator;
  }
  first_->NonlinearityClass(context, ca, flags, i, j);
  second_->NonlinearityClass(context, cb, flags, i, j);
  return 0;
}

// --- rebuilding ---

Expression* BinaryExpression::Rebuilt(Expression* first, Expression* second) const {
  // Fresh operands come without a reference; hold them while the node is made.
  first->AddRef();
  second->AddRef();
  auto* node = new BinaryExpression(op_, first, second, GetResultType());
  first->Release();
  second->Release();
  return node;
}

Expression* BinaryExpression::RebuildWithChildren(std::int32_t count, const char* const* names) {
  if (first_ == nullptr || second_ == nullptr) return this;
  Expression* a = first_->RebuildWithChildren(count, names);
  Expression* b = second_->RebuildWithChildren(count, names);
  return a == first_ && b == second_ ? this : Rebuilt(a, b);
}

Expression* BinaryExpression::RebuildWithChildren(std::int32_t* count,
                                                  ExpressionVariable** variables,
                                                  ExprNameResolver* resolver) {
  if (first_ == nullptr || second_ == nullptr) return this;
  Expression* a = first_->RebuildWithChildren(count, variables, resolver);
  Expression* b = second_->RebuildWithChildren(count, variables, resolver);
  return a == first_ && b == second_ ? this : Rebuilt(a, b);
}

Expression* BinaryExpression::Rewrite(const char* name, bool* changed) {
  if (op_ != kSubId || first_ == nullptr || second_ == nullptr) return this;
  bool any = false;
  Expression* a = first_->Rewrite(name, &any);
  Expression* b = second_->Rewrite(name, &any);
  if (!any) return this;
  if (changed != nullptr) *changed = true;
  return Rebuilt(a, b);
}

Expression* BinaryExpression::RewriteIndexChain(const char* name, bool* changed) {
  if (op_ != kVec || first_ == nullptr || second_ == nullptr) return this;
  if (first_->Op() == kVec && first_->Operand(1) != nullptr && first_->Operand(2) != nullptr) {
    // Vec(Vec(a, b), c) becomes Vec(a, Vec(b, c)).
    Expression* inner = new BinaryExpression(kVec, first_->Operand(2), second_, GetResultType());
    Expression* regrouped = Rebuilt(first_->Operand(1), inner);
    Expression* result = regrouped->RewriteIndexChain(name, changed);
    if (result != regrouped) {
      regrouped->AddRef();
      regrouped->Release();
    }
    return result;
  }
  bool any = false;
  Expression* a = first_->RewriteIndexChain(name, &any);
  if (!any) {
    // An operand may come back regrouped though nothing was named (a list
    // of index chains does); unused, it is let go.
    if (a != first_) {
      a->AddRef();
      a->Release();
    }
    return this;
  }
  if (changed != nullptr) *changed = true;
  return Rebuilt(a, second_);
}
