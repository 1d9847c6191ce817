#include "expr/tree/expression.h"

#include <atomic>
#include <ostream>
#include <sstream>

#include "expr/eval/expr_context.h"
#include "expr/store/restore_helpers.h"
#include "expr/tree/binary_expression.h"
#include "expr/tree/system_function.h"
#include "expr/tree/unary_expression.h"
#include "foundation/persistence/binary_stream.h"
#include "foundation/persistence/file_stream.h"
#include "foundation/persistence/memory_stream.h"
#include "foundation/persistence/virtual_stream.h"

std::uint32_t SimplifyMask = 0xFFFEFFFFu;

namespace {
// Starts above 0, which no remembered answer holds for. Trees of several
// threads share it, so it is atomic.
std::atomic<std::uint64_t> g_tree_changes{1};
}  // namespace

std::uint64_t TreeChangeCount() { return g_tree_changes.load(std::memory_order_relaxed); }
void NoteTreeChange() { g_tree_changes.fetch_add(1, std::memory_order_relaxed); }

Expression::Expression(std::uint16_t op, std::uint16_t type)
    : op_(op < kOperatorRows ? op : std::uint16_t{kEmptyRow}) {
  EnsureExpressionClassesRegistered();
  const std::uint16_t column = OpRow().result_type;
  if (type == 0 && column > 1) {
    type_ = column;
  } else {
    type_ = type;
    // Derived constructors finish before the node reports its own type, so
    // the check runs here against what this header holds.
    if (type != 0 && type != GetResultType()) error_ = kErrTypeConflict;
  }
}

Expression::Expression(const Expression& other)
    : BvuCollectable(other), op_(other.op_), type_(other.GetResultType()), error_(other.error_),
      flags_(other.flags_) {}

Expression::~Expression() = default;

ClCollectable* Expression::NewEmpty() const { return new Expression; }
ClCollectable* Expression::Copy() const { return new Expression(*this); }
std::uint16_t Expression::ClassId() const { return exprclass::kExpression; }

void Expression::Release() {
  if (refs_ <= 1) {
    delete this;
    return;
  }
  --refs_;
}

const char* Expression::GetNameText(std::int32_t) { return ""; }

void Expression::Print(std::ostream& out) { PrintModelling(out, nullptr); }

// --- collectable bodies ---

void Expression::SaveToFile(ClFileStream& file) const {
  const auto code = static_cast<std::int16_t>(static_cast<std::int8_t>(OpRow().code));
  file.Write16(static_cast<std::uint16_t>(code));
  file.Write16(error_);
  file.Write16(flags_);
}

void Expression::RestoreFromFile(ClFileStream& file) {
  std::uint16_t code = 0;
  file.Read16(code);
  file.Read16(error_);
  file.Read16(flags_);
  op_ = RowForCode(static_cast<std::uint8_t>(code));
  type_ = 0;
  NoteOperandChange();
}

void Expression::SaveToVStream(Clvostream& stream) const {
  stream.PutChar(static_cast<char>(OpRow().code));
  stream.PutU16(GetResultType());
  stream.PutU16(error_);
  stream.PutU16(flags_);
}

void Expression::RestoreFromVStream(Clvistream& stream) {
  char code = 0;
  stream.GetChar(code);
  stream.GetU16(type_);
  stream.GetU16(error_);
  stream.GetU16(flags_);
  op_ = RowForCode(static_cast<std::uint8_t>(code));
  NoteOperandChange();
}

// --- header queries ---

std::int32_t Expression::SetPrivate(bool on) {
  flags_ = on ? (flags_ | kFlagPrivate) : (flags_ & ~kFlagPrivate);
  return on ? kFlagPrivate : 0;
}

bool Expression::IsTimeDependent() const { return (flags_ & 0x0002) != 0 || op_ == kTime; }

Expression* Expression::DeepCopy() const {
  auto* copy = static_cast<Expression*>(Copy());
  copy->AddRef();
  return copy;
}

Expression* Expression::EliminateObsoleteOperators() { return nullptr; }

Expression* Expression::Operand(std::int32_t, Expression*) { return nullptr; }

std::int32_t Expression::Simplify(Expression** replacement) {
  *replacement = nullptr;
  return 0;
}

Status Expression::Evaluate(SUValue&, ExprContext*) { return exprstatus::kNoEvaluator; }

Status Expression::VisitVariables(ExprContext*, std::uint32_t* counter, std::uint32_t) {
  if (counter != nullptr) ++*counter;
  return 0;
}

// --- rebuilding ---

Expression* Expression::RebuildWithChildren(std::int32_t, const char* const*) { return this; }

Expression* Expression::RebuildWithChildren(std::int32_t*, ExpressionVariable**,
                                            ExprNameResolver*) {
  return this;
}

Expression* Expression::Rewrite(const char*, bool*) { return this; }

Expression* Expression::RewriteIndexChain(const char* name, bool* changed) {
  return Rewrite(name, changed);
}

Expression* Expression::RebuildInPlace(Expression* node, std::int32_t count,
                                       const char* const* names) {
  Expression* rebuilt = node->RebuildWithChildren(count, names);
  if (rebuilt == node) return node;
  rebuilt->AddRef();
  node->Release();
  return rebuilt;
}

void Expression::PutOperand(std::int32_t index, Expression* fresh) {
  if (fresh == nullptr || fresh == Operand(index)) return;
  fresh->AddRef();
  Operand(index, fresh);
  fresh->Release();
}

// --- compact forms ---

Status Expression::WriteHeader(BvuBinaryStream& message) const {
  std::uint16_t type = GetResultType();
  if (OperandCount() == 0 && type == 0 && ClassId() != exprclass::kProcCall) type = SUValue::kReal;
  Status s = message.PutUInt8(OpRow().code);
  if (s == 0) s = message.PutUInt16(flags_);
  if (s == 0) s = message.PutUInt16(type);
  return s;
}

void Expression::WriteHeader(Clvostream& stream) const {
  stream.PutChar(static_cast<char>(OpRow().code + 32));
  stream.PutU16(flags_);
  stream.PutU16(GetResultType());
}

Status Expression::WriteCompactToMessage(BvuBinaryStream& message) const {
  Status s = WriteHeader(message);
  if (s != 0 || op_ == kTime) return s;
  s = message.PutUInt8(static_cast<std::uint8_t>(ClassId()));
  return s != 0 ? s : WriteLeafBody(message);
}

Status Expression::SaveCompactToVStream(Clvostream& stream, std::uint32_t) const {
  WriteHeader(stream);
  return stream.Bad() ? exprstatus::kItemFailed : 0;
}

// --- printing ---

void Expression::PrintNode(std::ostream& out, const Expression* node, ExprContext* context) {
  if (node == nullptr) {
    out << "Null Expression";
    return;
  }
  node->PrintModelling(out, context);
}

void Expression::PrintModelling(std::ostream& out, ExprContext*) const {
  if (IsPrivate()) {
    out << "PrivateExpression";
    return;
  }
  if (op_ != kTerm) out << OpRow().modelling;
}

namespace {

const char* const kKindNames[8] = {"NoType", "SameType", "Integer", "Logical",
                                   "Real",   "String",   "Name",    "Spec"};

void PrintTypeName(std::ostream& out, std::uint16_t type) {
  if (type >= SUValue::kOneDimension) out << "Array" << (type >> 8) << " of ";
  out << kKindNames[type & SUValue::kKindMask];
  if ((type & SUValue::kSetFlag) != 0)
    out << ((type & SUValue::kOrderedFlag) ? " OrderedSet" : " Set");
}

}  // namespace

void Expression::PrintDebugLine(std::ostream& out, std::int32_t depth, bool) const {
  out << std::string(static_cast<std::size_t>(2 * depth + 1), ' ') << OpRow().name
      << " [opcode=" << op_ << "] ";
  PrintTypeName(out, GetResultType());
  if (IsPrivate()) out << " PrivateExpression";
}

void Expression::PrintDebug(std::ostream& out, std::int32_t depth, bool end_line) const {
  PrintDebugLine(out, depth, end_line);
  if (end_line) out << '\n';
}

void Expression::PrintErrors(std::ostream& out, ExprContext* context, bool* found) const {
  if (error_ == 0) return;
  PrintModelling(out, context);
  if (found != nullptr) *found = true;
}

// --- TerminalExpression ---

TerminalExpression::TerminalExpression() : Expression(kTerm, 0) {}

TerminalExpression::TerminalExpression(const SUValue& value, std::uint16_t type)
    : Expression(kTerm, type) {
  PrepareValue(value_, type);
  if (value.type != SUValue::kNoType) value_.Assign(value);
  // A type that left the kind open takes the value's: the stored forms read
  // the value back by the node's type.
  if (type_ == 0 || type_ == SUValue::kEmptySet || type_ == SUValue::kEmptyOrderedSet) {
    type_ = value_.type;
  }
}

TerminalExpression::TerminalExpression(double value) : Expression(kTerm, SUValue::kReal) {
  value_.SetType(SUValue::kReal);
  value_.SetReal(value);
}

TerminalExpression::TerminalExpression(const TerminalExpression& other)
    : Expression(other), value_(other.value_) {}

ClCollectable* TerminalExpression::NewEmpty() const { return new TerminalExpression; }
// A copied constant keeps its value: a constant without one is no constant.
ClCollectable* TerminalExpression::Copy() const { return new TerminalExpression(*this); }

void TerminalExpression::SaveToVStream(Clvostream& stream) const {
  Expression::SaveToVStream(stream);
  value_.SaveToVStream(stream);
}

void TerminalExpression::RestoreFromVStream(Clvistream& stream) {
  Expression::RestoreFromVStream(stream);
  value_.RestoreFromVStream(stream);
}

// The binary body also carries the type and the value (in its
// virtual-stream text), so that a constant comes back with what it held.
void TerminalExpression::SaveToFile(ClFileStream& file) const {
  Expression::SaveToFile(file);
  file.Write16(GetResultType());
  ClMemoryOutStream text;
  value_.SaveToVStream(text);
  file.Write32(static_cast<std::uint32_t>(text.Text().size()));
  file.WriteBytes(text.Text().data(), text.Text().size());
}

void TerminalExpression::RestoreFromFile(ClFileStream& file) {
  Expression::RestoreFromFile(file);
  std::uint16_t type = 0;
  std::uint32_t length = 0;
  if (!file.Read16(type) || !file.Read32(length)) return;
  type_ = type;
  if (!ReadValueText(file, length, value_)) RaiseDamagedInput();
}

Expression* TerminalExpression::DeepCopy() const {
  auto* copy = new TerminalExpression(*this);
  copy->AddRef();
  return copy;
}

Expression* TerminalExpression::EliminateObsoleteOperators() {
  if (op_ != kTime) return nullptr;
  return NewSysFunExpression(FindOrRegisterSystemFunction("Time"));
}

std::int32_t TerminalExpression::Simplify(Expression** replacement) {
  *replacement = EliminateObsoleteOperators();
  return *replacement != nullptr ? 1 : 0;
}

Expression* TerminalExpression::Rewrite(const char* name, bool* changed) {
  const bool named = value_.type == SUValue::kName || value_.type == SUValue::kLogical;
  if (!named || !value_.EqualsText(name)) return this;
  if (changed != nullptr) *changed = true;
  return new UnaryExpression(kDeRef, this, GetResultType());
}

Status TerminalExpression::SaveCompactToVStream(Clvostream&, std::uint32_t) const {
  return exprstatus::kNoEvaluator;
}

Status TerminalExpression::WriteLeafBody(BvuBinaryStream& message) const {
  return value_.WriteBinary(message, false);
}

Status TerminalExpression::Evaluate(SUValue& result, ExprContext*) {
  result.Assign(value_);
  return result.status < 0 ? ValueStatusToEvaluation(result.status) : 0;
}

void TerminalExpression::PrintModelling(std::ostream& out, ExprContext* context) const {
  Expression::PrintModelling(out, context);
  if (!IsPrivate()) value_.Print(out);
}

void TerminalExpression::PrintDebug(std::ostream& out, std::int32_t depth, bool end_line) const {
  PrintDebugLine(out, depth, end_line);
  out << " =";
  value_.Print(out);
  if (end_line) out << '\n';
}

// --- helpers ---

Status ValueStatusToEvaluation(std::int16_t value_status) {
  switch (value_status) {
    case 0:
      return 0;
    case 1:
      return exprstatus::kUnassigned;
    case -1:
      return exprstatus::kOutOfRange;
    case -2:
      return exprstatus::kIllegalTypeChange;
    case -3:
      return exprstatus::kIndexOrType;
    default:
      return exprstatus::kIndeterminate;
  }
}

void PrepareValue(SUValue& value, std::uint16_t type) {
  value.SetType(type);
  value.status = IsPlainSetType(type) ? SUValue::kValid : SUValue::kUnknown;
}

// --- builders ---

Expression* FoldedConstant(const SUValue& value, std::uint16_t type) {
  auto* folded = new TerminalExpression(value, type);
  if (!SUValue::IsTransferable(folded->GetResultType()) ||
      !SUValue::IsTransferable(folded->Value().type)) {
    delete folded;
    return nullptr;
  }
  folded->AddRef();
  return folded;
}

namespace {

// Simplifications under way on this thread and how many nested ones the
// outermost has left.
thread_local int t_simplifying = 0;
thread_local int t_nested_left = 0;

struct SimplifyLevel {
  SimplifyLevel() {
    if (t_simplifying++ == 0) t_nested_left = kMaxNestedSimplifications;
  }
  ~SimplifyLevel() { --t_simplifying; }
  SimplifyLevel(const SimplifyLevel&) = delete;
  SimplifyLevel& operator=(const SimplifyLevel&) = delete;
};

}  // namespace

Expression* SimplifyFully(Expression* node) {
  if (t_simplifying > 0 && t_nested_left-- <= 0) return node;
  const SimplifyLevel level;
  // A rule set that cycled would otherwise hang the reader of a message.
  for (int step = 0; step < 10000 && node != nullptr; ++step) {
    Expression* replacement = nullptr;
    if (node->Simplify(&replacement) == 0) break;
    if (replacement != nullptr) {
      node->Release();
      node = replacement;
    }
  }
  return node;
}

Expression* MakeUnaryExpression(std::uint16_t op, Expression* operand, std::uint16_t type) {
  auto* node = new UnaryExpression(op, operand, type);
  node->AddRef();
  return SimplifyFully(node);
}

Expression* MakeBinaryExpression(std::uint16_t op, Expression* left, Expression* right,
                                 std::uint16_t type) {
  auto* node = new BinaryExpression(op, left, right, type);
  node->AddRef();
  return SimplifyFully(node);
}

Expression* MakeIndexedName(std::uint16_t op, Expression* base, Expression* index) {
  if (base->Op() == kForEach) {
    Expression* inner = MakeIndexedName(op, base->Operand(1), index);
    const std::uint16_t type = static_cast<std::uint16_t>(inner->GetResultType() + 0x100);
    auto* loop = new BinaryExpression(kForEach, inner, base->Operand(2), type);
    loop->SetResultType(type);
    loop->AddRef();
    inner->Release();
    return loop;
  }
  std::uint16_t dims = static_cast<std::uint16_t>((base->GetResultType() & 0xFF00) +
                                                  (index->GetResultType() & 0xFF00));
  if (op == kVec && IsPlainSetType(index->GetResultType())) dims += 0x100;
  const auto type = static_cast<std::uint16_t>(dims | SUValue::kName);
  auto* node = new BinaryExpression(op, base, index, type);
  node->AddRef();
  return node;
}

void MergePrefixIntoChain(Expression* chain, Expression* prefix) {
  Expression* first = chain->Operand(1);
  if (first != nullptr && (first->Op() == kSubId || first->Op() == kDeriv) &&
      first->Operand(1) != nullptr) {
    MergePrefixIntoChain(first, prefix);
  } else {
    Expression* named = MakeIndexedName(kSubId, prefix, first);
    chain->Operand(1, named);
    named->Release();
  }
  Expression* a = chain->Operand(1);
  Expression* b = chain->Operand(2);
  chain->SetNodeCount(1 + (b ? b->NodeCount() : 0) + (a ? a->NodeCount() : 0));
}

std::int32_t QualifyName(Expression* prefix, Expression** place) {
  Expression* operand = *place;
  if ((operand->Op() == kSubId || operand->Op() == kDeriv) && operand->Operand(1) != nullptr) {
    MergePrefixIntoChain(operand, prefix);
    return 1;
  }
  *place = MakeIndexedName(kSubId, prefix, operand);
  operand->Release();
  return 0;
}

const SharedConstants& Constants() {
  static const SharedConstants constants = [] {
    auto make_int = [](std::int32_t v, std::uint16_t type) {
      auto* node = new TerminalExpression(SUValue::ConstructInt(v, type), type);
      node->AddRef();
      return static_cast<Expression*>(node);
    };
    auto make_real = [](double v) {
      auto* node = new TerminalExpression(v);
      node->AddRef();
      return static_cast<Expression*>(node);
    };
    SharedConstants c{};
    c.real0 = make_real(0.0);
    c.real1 = make_real(1.0);
    c.int0 = make_int(0, SUValue::kInteger);
    c.int1 = make_int(1, SUValue::kInteger);
    c.logical_false = make_int(0, SUValue::kLogical);
    c.logical_true = make_int(1, SUValue::kLogical);
    const std::int32_t specs[6] = {4, 1, 2, 8, 16, 32};
    for (int i = 0; i < 6; ++i) c.spec[i] = make_int(specs[i], SUValue::kSpecification);
    return c;
  }();
  return constants;
}
