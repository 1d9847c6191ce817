#include "expr/tree/unary_expression.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <sstream>

#include "expr/eval/expr_context.h"
#include "expr/eval/value_ops.h"
#include "expr/store/restore_helpers.h"
#include "expr/tree/list_expression.h"
#include "expr/tree/var_ref_expression.h"
#include "foundation/persistence/binary_stream.h"
#include "foundation/persistence/persistence.h"
#include "foundation/persistence/virtual_stream.h"
#include "platform/math.h"

using namespace exprvalue;

UnaryExpression::UnaryExpression(std::uint16_t op, Expression* operand, std::uint16_t type)
    : Expression(op, type) {
  if (OpRow().operands != 1) SetErrorCode(kErrOperandCount);
  SetOperand(operand);
}

UnaryExpression::UnaryExpression(const UnaryExpression& other)
    : Expression(other), operand_(other.operand_), node_count_(other.node_count_) {
  if (operand_ != nullptr) operand_->AddRef();
}

UnaryExpression::~UnaryExpression() { Release(operand_); }

void UnaryExpression::SetOperand(Expression* operand) {
  const OperatorRow& row = OpRow();
  const std::uint16_t t = operand != nullptr ? operand->GetResultType() : 0;
  if ((row.flags & opflag::kConverts) != 0 && t != row.result_type && row.result_type == 4 &&
      (t == SUValue::kInteger || t == SUValue::kLogical)) {
    operand_ = MakeUnaryExpression(kFloat, operand, 0);
  } else {
    operand_ = operand;
    if (operand_ != nullptr) operand_->AddRef();
  }
  node_count_ = (operand_ != nullptr ? operand_->NodeCount() : 0) + 1;
  if (type_ == 0 && op_ != kDeRef && operand_ != nullptr) type_ = operand_->GetResultType();
}

// --- collectable bodies ---

void UnaryExpression::SaveToFile(ClFileStream& file) const {
  Expression::SaveToFile(file);
  WriteCollectableToFile(operand_, file);
}

void UnaryExpression::RestoreFromFile(ClFileStream& file) {
  const RestoringNode restoring(this);
  Expression::RestoreFromFile(file);
  Release(operand_);
  operand_ = nullptr;
  operand_ = RestoreOperandFromFile(file);
  node_count_ = (operand_ != nullptr ? operand_->NodeCount() : 0) + 1;
}

void UnaryExpression::SaveToVStream(Clvostream& stream) const {
  Expression::SaveToVStream(stream);
  WriteCollectable(operand_, stream);
}

void UnaryExpression::RestoreFromVStream(Clvistream& stream) {
  const RestoringNode restoring(this);
  Expression::RestoreFromVStream(stream);
  Release(operand_);
  operand_ = nullptr;
  operand_ = RestoreOperand(stream);
  node_count_ = (operand_ != nullptr ? operand_->NodeCount() : 0) + 1;
}

// --- structure ---

std::int32_t UnaryExpression::SetPrivate(bool on) {
  if (operand_ != nullptr) operand_->SetPrivate(on);
  return Expression::SetPrivate(on);
}

bool UnaryExpression::IsTimeDependent() const {
  return Expression::IsTimeDependent() || (operand_ != nullptr && operand_->IsTimeDependent());
}

Expression* UnaryExpression::DeepCopy() const {
  auto* copy = new UnaryExpression(*this);
  copy->AddRef();
  if (operand_ != nullptr) {
    Expression* inner = operand_->DeepCopy();
    copy->Operand(1, inner);
    inner->Release();
  }
  return copy;
}

// The replacement goes in place of the operand, as in a binary node.
Expression* UnaryExpression::EliminateObsoleteOperators() {
  if (operand_ == nullptr) return nullptr;
  if (Expression* replacement = operand_->EliminateObsoleteOperators()) {
    Operand(1, replacement);
    replacement->Release();
  }
  return nullptr;
}

bool UnaryExpression::IsTerm() const {
  const std::uint16_t flags = OpRow().flags;
  if ((flags & opflag::kFoldable) == 0 ||
      (!TranscendentalFoldingSwitch && (flags & opflag::kTranscendental) != 0) ||
      operand_ == nullptr) {
    return false;
  }
  return RememberedTerm([this] { return operand_->IsTerm(); });
}

bool UnaryExpression::IsConstant() const {
  if (IsAggregate() || IsDeRef() || operand_ == nullptr) return false;
  return operand_->IsConstant();
}

std::int32_t UnaryExpression::CountReferences() const {
  return (operand_ != nullptr ? operand_->CountReferences() : 0) + (IsDeRef() ? 1 : 0);
}

Expression* UnaryExpression::Operand(std::int32_t index, Expression* replacement) {
  if (index != 1) return nullptr;
  if (replacement != nullptr && replacement != operand_) {
    replacement->AddRef();
    Release(operand_);
    operand_ = replacement;
    node_count_ = operand_->NodeCount() + 1;
    ClearFoldFailed();
    NoteOperandChange();
  }
  return operand_;
}

// --- compact forms ---

// A pure change of type (row NOP) is written as its operand alone: the
// reader takes code 1 for a leaf, and the builders put the change back.
Status UnaryExpression::WriteCompactToMessage(BvuBinaryStream& message) const {
  if (op_ == kNop && operand_ != nullptr) return operand_->WriteCompactToMessage(message);
  const Status s = WriteHeader(message);
  if (s != 0) return s;
  return operand_ != nullptr ? operand_->WriteCompactToMessage(message) : exprstatus::kItemFailed;
}

Status UnaryExpression::SaveCompactToVStream(Clvostream& stream, std::uint32_t mode) const {
  if (op_ == kNop && operand_ != nullptr) return operand_->SaveCompactToVStream(stream, mode);
  WriteHeader(stream);
  if (operand_ == nullptr) return exprstatus::kItemFailed;
  return operand_->SaveCompactToVStream(stream, mode | (IsAggregate() ? 1u : 0u));
}

// --- evaluation ---

Status UnaryExpression::Evaluate(SUValue& result, ExprContext* context) {
  if (operand_ == nullptr) return exprstatus::kNoEvaluator;
  SUValue x;
  PrepareValue(x, operand_->GetResultType());
  const Status s = operand_->Evaluate(x, context);
  if (status::IsFailure(s)) return s;
  const Status applied = Apply(result, x, context);
  SetErrorCode(static_cast<std::uint16_t>(applied));
  return applied;
}

namespace {

// The one-argument library functions of x as real.
Status ApplyFunction(std::uint16_t op, SUValue& result, double x) {
  switch (op) {
    case kSin:
      return StoreChecked(result, platform::Sin(x));
    case kCos:
      return StoreChecked(result, platform::Cos(x));
    case kASin:
      return StoreChecked(result, platform::Asin(x));
    case kACos:
      return StoreChecked(result, platform::Acos(x));
    case kSinh:
      return StoreChecked(result, platform::Sinh(x));
    case kCosh:
      return StoreChecked(result, platform::Cosh(x));
    case kSqrt:
      return StoreChecked(result, platform::Sqrt(x));
    case kExp:
      return StoreChecked(result, platform::Exp(x));
    case kLog10:
      return StoreChecked(result, platform::Log10(x));
    // Stored without a check: called directly so that no failure is left
    // behind for the next checked call to find.
    case kTan:
      return StoreReal(result, std::tan(x));
    case kATan:
      return StoreReal(result, std::atan(x));
    case kTanh:
      return StoreReal(result, std::tanh(x));
    default:  // kLoge
      if (x == 0.0) return exprstatus::kLogOfZero;
      return StoreChecked(result, platform::Log(x));
  }
}

// The list aggregates and set functions over an array operand.
Status ApplyAggregate(std::uint16_t op, SUValue& result, const SUValue& x) {
  SUValue reduced;
  switch (op) {
    case kSigma:
      reduced.SumOf(x);
      break;
    case kProd:
      reduced.ProductOf(x);
      break;
    case kMaxList:
      reduced.MaxOf(x);
      break;
    case kMinList:
      reduced.MinOf(x);
      break;
    case kUnionFn:
      reduced.UnionOf(x);
      break;
    case kDiffFn:
      reduced.DifferenceOf(x);
      break;
    case kISectFn:
      reduced.IntersectionOf(x);
      break;
    default:
      reduced.SymmetricDifferenceOf(x);
      break;  // kSymDiffFn
  }
  return StoreValue(result, reduced);
}

}  // namespace

Status UnaryExpression::Apply(SUValue& result, const SUValue& x, ExprContext* context) {
  switch (op_) {
    case kNot:
      return StoreInt(result, AsInt(x) == 0 ? 1 : 0, SUValue::kLogical);
    case kNop:  // a pure change of type
    case kPlus:
    case kIPlus:
      return StoreValue(result, x);
    case kMinus:
    case kIMinus: {
      // Negation starts from a zero of the operand's own kind: an integer
      // zero minus a real would be a clash of kinds.
      SUValue zero = SUValue::ConstructInt(0, SUValue::kInteger);
      if (x.Kind() == SUValue::kReal) {
        zero.SetType(SUValue::kReal);
        zero.SetReal(0.0);
      }
      zero.Subtract(x);
      return StoreValue(result, zero);
    }
    case kFloat:
      return StoreReal(result, static_cast<double>(AsInt(x)));
    case kRound: {
      const double r = AsReal(x);
      SUValue rounded;
      rounded.SetType(SUValue::kReal);
      rounded.SetReal(r >= 0 ? std::trunc(r + 0.5) : std::trunc(r - 0.5));
      return StoreInt(result, AsInt(rounded));
    }
    case kTruncate:
      return StoreInt(result, AsInt(x));
    case kSin:
    case kCos:
    case kASin:
    case kACos:
    case kSinh:
    case kCosh:
    case kSqrt:
    case kExp:
    case kLog10:
    case kTan:
    case kATan:
    case kTanh:
    case kLoge:
      return ApplyFunction(op_, result, AsReal(x));
    case kAbs:
    case kIAbs:
      if (x.type == SUValue::kInteger) {
        const std::int32_t i = x.payload.integer;
        return StoreInt(result,
                        i < 0 ? static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(i)) : i);
      }
      return StoreReal(result, std::fabs(AsReal(x)));
    case kSqr:
    case kISqr: {
      SUValue square(x);
      square.MultiplyBy(x);
      return StoreValue(result, square);
    }
    case kDeRef:
    case kDeRefS:
    case kDeRefI:
      return Dereference(context, result, x);
    case kSigma:
    case kProd:
    case kMaxList:
    case kMinList:
    case kUnionFn:
    case kDiffFn:
    case kISectFn:
    case kSymDiffFn:
      return ApplyAggregate(op_, result, x);
    case kSize:
      return StoreInt(result, x.IsSet() ? x.count : 1);
    case kConv2:
    case kConv2R:
    case kConv2S:
    case kConv2I:
      Convert(result, x);
      return result.status < 0 ? ValueStatusToEvaluation(result.status) : 0;
    default:
      SetErrorCode(kErrUnknownOperator);
      return exprstatus::kUnknownOperator;
  }
}

Status UnaryExpression::Dereference(ExprContext* context, SUValue& result, const SUValue& name) {
  if (context == nullptr) return exprstatus::kNoEvaluator;
  if (name.IsArray()) {
    const std::int32_t n = name.count;
    result.Resize(n);
    Status s = 0;
    for (std::int32_t i = 0; i < n && !status::IsFailure(s); ++i) {
      SUValue element;
      s = Dereference(context, element, name.Elements()[i]);
      result.SetElement(i, element);
    }
    return s;
  }
  SUValue value;
  context->MapName(value, name, 256);
  const std::int16_t value_status = value.status;
  if (value_status >= 0) result.Assign(value);
  return ValueStatusToEvaluation(value_status);
}

void UnaryExpression::Convert(SUValue& result, const SUValue& x) const {
  const bool text = x.type == SUValue::kString || x.type == SUValue::kName;
  const char* first =
      text ? x.GetString() : (x.IsStringSet() && x.count > 0 ? x.GetStringAt(0) : nullptr);
  switch (GetResultType()) {
    case SUValue::kInteger:
      StoreInt(result, first != nullptr ? std::atoi(first) : 0);
      return;
    case SUValue::kReal:
      StoreReal(result, first != nullptr ? std::atof(first) : 0.0);
      return;
    case SUValue::kString: {
      char buffer[40] = "";
      if (x.type == SUValue::kInteger) {
        std::snprintf(buffer, sizeof buffer, "%d", x.payload.integer);
      } else if (x.type == SUValue::kLogical) {
        std::snprintf(buffer, sizeof buffer, "%s", x.payload.integer != 0 ? "TRUE" : "FALSE");
      } else if (x.type == SUValue::kReal) {
        std::snprintf(buffer, sizeof buffer, "%.16g", x.payload.real);
      }
      SUValue converted;
      converted.SetType(SUValue::kString);
      converted.SetString(first != nullptr ? first : buffer);
      StoreValue(result, converted);
      return;
    }
    case SUValue::kIntSet: {
      if (!x.IsStringSet()) return;
      SUValue set;
      set.SetType(SUValue::kIntSet);
      for (std::int32_t i = 0; i < x.count; ++i) {
        const char* s = x.GetStringAt(i);
        set.AddInt(s != nullptr ? std::atoi(s) : 0);
      }
      StoreValue(result, set);
      return;
    }
    case SUValue::kStringSet: {
      if (!x.IsIntegerSet()) return;
      SUValue set;
      set.SetType(SUValue::kStringSet);
      for (std::int32_t i = 0; i < x.count; ++i) {
        char buffer[12];
        std::snprintf(buffer, sizeof buffer, "%d", x.GetIntAt(i));
        set.AddString(buffer);
      }
      StoreValue(result, set);
      return;
    }
    default:
      return;
  }
}

// --- simplification ---

namespace {

std::uint16_t OppositeComparison(std::uint16_t op) {
  switch (op) {
    case kEq:
      return kNe;
    case kGt:
      return kGe;
    case kLt:
      return kLe;
    case kGe:
      return kGt;
    case kLe:
      return kLt;
    case kNe:
      return kEq;
    default:
      return kEmptyRow;
  }
}

bool Folds(Expression* node, SUValue& value) {
  PrepareValue(value, node->GetResultType());
  return !status::IsFailure(node->Evaluate(value, nullptr));
}

}  // namespace

std::int32_t UnaryExpression::Simplify(Expression** replacement) {
  *replacement = nullptr;
  if (operand_ == nullptr) return 0;
  if (operand_->FoldFailed()) {
    // This node's evaluation fails as well, if it is a term.
    const std::uint16_t flags = OpRow().flags;
    if ((flags & opflag::kFoldable) != 0 &&
        (TranscendentalFoldingSwitch || (flags & opflag::kTranscendental) == 0)) {
      MarkFoldFailed();
    }
    return 0;
  }
  if (operand_->IsTerm()) {
    SUValue value;
    if (!Folds(operand_, value)) {
      operand_->MarkFoldFailed();
      return 0;
    }
  }
  // An aggregate over two plain elements becomes the two-operand operator.
  if (IsAggregate() && OpRow().result_type == SUValue::kReal) {
    auto* list = dynamic_cast<ListExpression*>(operand_);
    if (list != nullptr && list->ItemCount() == 2) {
      Expression* a = list->ListElement(1);
      Expression* b = list->ListElement(2);
      const bool plain = dynamic_cast<VarRefExpression*>(a) == nullptr &&
                         dynamic_cast<VarRefExpression*>(b) == nullptr &&
                         a->CountReferences() == 0 && b->CountReferences() == 0;
      if (plain) {
        const std::uint16_t binary = op_ == kSigma     ? kAdd
                                     : op_ == kProd    ? kMul
                                     : op_ == kMaxList ? kMax
                                                       : kMin;
        *replacement = MakeBinaryExpression(binary, a, b, SUValue::kReal);
        return 1;
      }
    }
  }
  if (op_ == kPlus) {
    operand_->AddRef();
    *replacement = operand_;
    return 1;
  }
  *replacement = SimplifyByMask();
  return *replacement != nullptr ? 1 : 0;
}

Expression* UnaryExpression::SimplifyByMask() {
  if ((SimplifyMask & 0x0001) != 0 && IsTerm()) {
    SUValue value;
    if (!Folds(this, value)) {
      MarkFoldFailed();
    } else if (ChargeFoldedElements(value)) {
      if (Expression* folded = FoldedConstant(value, GetResultType())) return folded;
    }
  }
  if ((SimplifyMask & 0x0080) != 0 && (OpRow().flags & opflag::kNestedRewrite) != 0 &&
      operand_->Op() == op_ && operand_->Operand(1) != nullptr) {
    Expression* inner = operand_->Operand(1);
    inner->AddRef();
    return inner;
  }
  if ((SimplifyMask & 0x0200) != 0) {
    Expression* a = operand_->Operand(1);
    Expression* b = operand_->Operand(2);
    if (op_ == kNot && a != nullptr && b != nullptr) {
      const std::uint16_t opposite = OppositeComparison(operand_->Op());
      if (opposite != kEmptyRow) {
        return MakeBinaryExpression(opposite, b, a, operand_->GetResultType());
      }
    }
    if (op_ == kMinus && operand_->Op() == kSub && a != nullptr && b != nullptr) {
      return MakeBinaryExpression(kSub, b, a, operand_->GetResultType());
    }
  }
  return nullptr;
}

// --- variables ---

Status UnaryExpression::VisitVariables(ExprContext* context, std::uint32_t* counter,
                                       std::uint32_t mode) {
  if (counter != nullptr) ++*counter;
  if (IsDeRef() && context != nullptr) {
    std::int32_t index = 0;
    const Status s = context->AddVariable(nullptr, &index);
    if (status::IsFailure(s)) return s;
  }
  if (operand_ == nullptr) return 0;
  return operand_->VisitVariables(context, counter, mode | (IsAggregate() ? 1u : 0u));
}

// --- printing ---

void UnaryExpression::PrintFunctionForm(std::ostream& out, ExprContext* context) const {
  out << OpRow().modelling << '(';
  PrintNode(out, operand_, context);
  out << ')';
}

void UnaryExpression::PrintModelling(std::ostream& out, ExprContext* context) const {
  if (IsPrivate()) {
    out << "PrivateExpression";
    return;
  }
  const OperatorRow& row = OpRow();
  switch (row.print_form) {
    case kPrintFunction:
      PrintFunctionForm(out, context);
      return;
    case kPrintInfix:
      out << row.modelling;
      if (IsDeRef()) {
        if ((Flags() & 0x0020) != 0) out << "IMPLICIT ";
        auto* name = dynamic_cast<const TerminalExpression*>(operand_);
        if ((Flags() & 0x0004) != 0 && name != nullptr && name->Value().type == SUValue::kName) {
          out << static_cast<int>(static_cast<std::int8_t>(name->Value().name.second)) << '_';
        }
        PrintNode(out, operand_, context);
        return;
      }
      if (operand_ != nullptr && operand_->NodeCount() > 1) {
        out << '(';
        PrintNode(out, operand_, context);
        out << ')';
      } else {
        PrintNode(out, operand_, context);
      }
      return;
    case 3:
      PrintNode(out, operand_, context);
      out << row.modelling;
      return;
    case kPrintSpecial:
      out << "UNKNOWN SPECIAL FORMAT FOR UNARY EXPRESSION OPERATOR ";
      PrintFunctionForm(out, context);
      return;
    default:
      out << "UNKNOWN FORMAT TYPE FOR UNARY EXPRESSION OPERATOR ";
      PrintFunctionForm(out, context);
      return;
  }
}

void UnaryExpression::PrintDebug(std::ostream& out, std::int32_t depth, bool end_line) const {
  if (IsPrivate()) {
    out << "PrivateExpression";
    if (end_line) out << '\n';
    return;
  }
  Expression::PrintDebug(out, depth, end_line);
  if (operand_ != nullptr) operand_->PrintDebug(out, depth + 1, end_line);
}

void UnaryExpression::PrintErrors(std::ostream& out, ExprContext* context, bool* found) const {
  Expression::PrintErrors(out, context, found);
  if (ErrorCode() == 0 && operand_ != nullptr) operand_->PrintErrors(out, context, found);
}

// --- structure queries ---

std::int32_t UnaryExpression::CountSetIndices() const {
  return operand_ != nullptr ? operand_->CountSetIndices() : 0;
}

std::int32_t UnaryExpression::CountFlag0002() const {
  return (operand_ != nullptr ? operand_->CountFlag0002() : 0) + Expression::CountFlag0002();
}

std::int32_t UnaryExpression::CountFlag0004() const {
  return (operand_ != nullptr ? operand_->CountFlag0004() : 0) + Expression::CountFlag0004();
}

std::int32_t UnaryExpression::CountFlag1000() const {
  return (operand_ != nullptr ? operand_->CountFlag1000() : 0) + Expression::CountFlag1000();
}

bool UnaryExpression::DependsOnVariables(ExprContext* context, std::int32_t arg) const {
  return operand_ != nullptr && operand_->DependsOnVariables(context, arg);
}

namespace {

bool IsImplicit(std::uint16_t flags) { return (flags & 0x0020) != 0 && (flags & 0x0008) == 0; }

}  // namespace

bool UnaryExpression::HasImplicitReference() const {
  if (IsDeRef() && IsImplicit(Flags())) return true;
  return operand_ != nullptr && operand_->HasImplicitReference();
}

bool UnaryExpression::NeedsIteration() const {
  return !IsAggregate() && operand_ != nullptr && operand_->NeedsIteration();
}

void UnaryExpression::ResetCaches() {
  if (operand_ != nullptr) operand_->ResetCaches();
}

Expression* UnaryExpression::SubstituteInPlace(ExprSubstitutionVisitor& visitor) {
  if (operand_ == nullptr) return this;
  PutOperand(1, operand_->SubstituteInPlace(visitor));
  // Nodes below may have changed in place.
  node_count_ = operand_->NodeCount() + 1;
  return this;
}

std::uint32_t UnaryExpression::QualifyImplicitReferences(Expression* prefix) {
  if (operand_ == nullptr) return NodeCount();
  operand_->QualifyImplicitReferences(prefix);
  if (IsDeRef() && IsImplicit(Flags())) QualifyName(prefix, &operand_);
  return node_count_ = operand_->NodeCount() + 1;
}

Status UnaryExpression::NonlinearityClass(ExprContext* context, std::int32_t c,
                                          std::uint32_t* flags, std::int32_t i, std::int32_t j) {
  if (operand_ == nullptr) return exprstatus::kUnknownOperator;
  const bool depends = operand_->DependsOnVariables(context, j);
  std::int32_t handed = c;
  switch (op_) {
    case kNot:
    case kRound:
    case kTruncate:
    case kMaxList:
    case kMinList:
      if (c < 4 && depends) handed = 4;
      break;
    case kPlus:
    case kMinus:
    case kFloat:
      break;
    case kSigma:
      if (c < 1 && depends) handed = 1;
      break;
    case kProd:
      if (c < 3 && depends) handed = 3;
      break;
    default:
      if (op_ >= kSin && op_ <= kSqr) {
        if (c < 3 && depends) handed = 3;
        break;
      }
      return exprstatus::kUnknownOperator;
  }
  return operand_->NonlinearityClass(context, handed, flags, i, j);
}

// --- binding names to variables ---

std::string UnaryExpression::DereferencedName() const {
  std::ostringstream text;
  PrintNode(text, operand_);
  std::string name = text.str();
  const std::size_t dollar = name.find('$');
  if (dollar != std::string::npos) {
    name = name.substr(0, dollar) + name.substr(dollar + 1) + ".Derivative";
  }
  return name;
}

namespace {

bool NamesMatch(const std::string& wanted, const char* listed) {
  if (listed == nullptr) return false;
  if (SUValue::CompareCI(wanted.c_str(), listed) == 0) return true;
  // "global." in front of a listed name does not count.
  if (std::strlen(listed) > 7 && listed[6] == '.') {
    const std::string head(listed, 6);
    if (SUValue::CompareCI(head.c_str(), "global") == 0) {
      return SUValue::CompareCI(wanted.c_str(), listed + 7) == 0;
    }
  }
  return false;
}

}  // namespace

Expression* UnaryExpression::RebuildWithChildren(std::int32_t count, const char* const* names) {
  if (operand_ == nullptr) return this;
  if (op_ == kDeRef) {
    const std::string name = DereferencedName();
    for (std::int32_t i = 0; i < count; ++i) {
      if (NamesMatch(name, names[i]))
        return new VarRefExpression(static_cast<std::uint32_t>(i), GetResultType());
    }
  }
  Expression* rebuilt = operand_->RebuildWithChildren(count, names);
  if (rebuilt == operand_) return this;
  rebuilt->AddRef();
  auto* node = new UnaryExpression(op_, rebuilt, GetResultType());
  rebuilt->Release();
  return node;
}

Expression* UnaryExpression::RebuildWithChildren(std::int32_t* count,
                                                 ExpressionVariable** variables,
                                                 ExprNameResolver* resolver) {
  if (operand_ == nullptr) return this;
  if (op_ == kDeRef && operand_->CountReferences() == 0 && resolver != nullptr) {
    if (ExpressionVariable* found = resolver->Lookup(DereferencedName().c_str(), GetResultType())) {
      variables[*count] = found;
      ++*count;
      return new VarRefExpression(static_cast<std::uint32_t>(*count - 1), GetResultType());
    }
  }
  Expression* rebuilt = operand_->RebuildWithChildren(count, variables, resolver);
  if (rebuilt == operand_) return this;
  rebuilt->AddRef();
  auto* node = new UnaryExpression(op_, rebuilt, GetResultType());
  rebuilt->Release();
  return node;
}
