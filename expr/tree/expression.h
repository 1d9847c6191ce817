// Expression: the reference-counted node of every formula of the model
// (residuals, conditions, monitor expressions, procedure arguments). Each
// node names one row of OperatorTable; the derived classes add operands
// (unary, binary), a typed constant (TerminalExpression), a variable
// reference, a list or a system function.
//
// Counting: a new node starts with no reference; whoever stores a pointer
// takes one (AddRef) and gives it back with Release, which deletes the node
// at the last one. The builders (MakeUnaryExpression, MakeBinaryExpression,
// ReadFromMessage) hand back nodes with one reference taken for the caller.
// Trees are built and used by one thread at a time.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "expr/tree/operator_table.h"
#include "foundation/collections/bvu_collectable.h"
#include "foundation/values/typed_value.h"
#include "platform/status.h"

class BvuBinaryStream;
class ExprContext;
class Expression;
class ExpressionVariable;
struct CodeOutputs;
struct ExprCodeWriter;
struct SetIterators;

// Offered the procedure calls of a tree while SubstituteInPlace walks it,
// each before its inputs.
class ExprSubstitutionVisitor {
 public:
  virtual void See(Expression& node) = 0;

 protected:
  ~ExprSubstitutionVisitor() = default;
};

// Looks a dereferenced name up while a tree is bound to variables.
class ExprNameResolver {
 public:
  virtual ExpressionVariable* Lookup(const char* name, std::uint16_t type) = 0;

 protected:
  ~ExprNameResolver() = default;
};

// The running state of SizeInWords: a byte total, and the values that
// variable references load into their variables.
struct SizeCursor {
  std::uint32_t total = 0;
  const double* values = nullptr;
  const double* end = nullptr;
};

namespace exprstatus {
inline constexpr Status kNoEvaluator = 0xA030FFFFu;
inline constexpr Status kUnknownOperator = 0x80300274u;  // 628
inline constexpr Status kDivisionByZero = 0x80300276u;
inline constexpr Status kNotClassified = 0x80300272u;
inline constexpr Status kLogOfZero = 0xFFFFFFFFu;
inline constexpr Status kItemFailed = 0x8000FFFFu;
inline constexpr Status kReregistered = 0x4030023Du;
// What a value's own status says after an evaluation, as an evaluation status.
inline constexpr Status kIndeterminate = 0x80000232u;
inline constexpr Status kIndexOrType = 0x80000237u;
inline constexpr Status kIllegalTypeChange = 0x80000233u;
inline constexpr Status kOutOfRange = 0x80000238u;
inline constexpr Status kUnassigned = 0x231u;  // a warning: no failure bit
}  // namespace exprstatus

// Node error codes.
inline constexpr std::uint16_t kErrTypeConflict = 626;
inline constexpr std::uint16_t kErrOperandCount = 627;
inline constexpr std::uint16_t kErrUnknownOperator = 628;
// A value's status after a failed mathematical library call.
inline constexpr std::int16_t kMathFailedValue = -4;  // 65532

// Class ids of the expression family.
namespace exprclass {
inline constexpr std::uint16_t kSysFun = 113;
inline constexpr std::uint16_t kExpressionList = 109;
inline constexpr std::uint16_t kExpressionVariable = 112;
inline constexpr std::uint16_t kExpression = 120;
inline constexpr std::uint16_t kTerminal = 121;
inline constexpr std::uint16_t kUnary = 122;
inline constexpr std::uint16_t kBinary = 123;
inline constexpr std::uint16_t kVarRef = 124;
inline constexpr std::uint16_t kVariable = 125;
inline constexpr std::uint16_t kList = 126;
inline constexpr std::uint16_t kHomList = 127;
inline constexpr std::uint16_t kProcIOList = 128;
inline constexpr std::uint16_t kProcCall = 129;
}  // namespace exprclass

// Node flag bits.
inline constexpr std::uint16_t kFlagPrivate = 0x0200;

// The levels of nesting (the root is one) of an expression that is read,
// stored and read again; a list level counts three (its stored form nests
// three objects).
inline constexpr int kMaxExpressionDepth = 10000;
// Elements (one per scalar, one per member of a set or array) that the
// constant folding of one compact read may make in all; a message that
// folds more is refused.
inline constexpr std::int64_t kMaxFoldedElementsPerRead = std::int64_t{1} << 22;

// Counts the changes of operands anywhere in any tree (an operand or list
// item replaced, a node restored): what a node remembers of the tree below
// it holds only while the count stands still.
std::uint64_t TreeChangeCount();
void NoteTreeChange();

class Expression : public BvuCollectable {
 public:
  // The requested type 0 takes the row's result type when that is above 1;
  // a requested type that the node does not report marks error 626.
  explicit Expression(std::uint16_t op = kNop, std::uint16_t type = 0);
  // Operator, type as the source reports it, error code and flags.
  Expression(const Expression& other);
  Expression& operator=(const Expression&) = delete;

  // --- collectable ---
  ClCollectable* NewEmpty() const override;
  ClCollectable* Copy() const override;
  std::uint16_t ClassId() const override;
  ~Expression() override;
  void RestoreFromVStream(Clvistream& stream) override;
  void RestoreFromFile(ClFileStream& file) override;
  void SaveToVStream(Clvostream& stream) const override;
  void SaveToFile(ClFileStream& file) const override;
  std::int32_t GetKind() override { return ClassId(); }
  void Destroy() override { Release(); }
  const char* GetNameText(std::int32_t arg = 0) override;
  void Print(std::ostream& out) override;

  // --- counting ---
  void AddRef() { ++refs_; }
  // Deletes the node when the count was 1 or less.
  void Release();
  std::uint32_t RefCount() const { return refs_; }
  // Release that accepts null.
  static void Release(Expression* node) {
    if (node != nullptr) node->Release();
  }

  // --- header ---
  std::uint16_t Op() const { return op_; }
  const OperatorRow& OpRow() const { return Row(op_); }
  std::uint16_t Flags() const { return flags_; }
  void SetFlags(std::uint16_t flags) { flags_ = flags; }
  std::uint16_t ErrorCode() const { return error_; }
  void SetErrorCode(std::uint16_t code) { error_ = code; }

  virtual void SetResultType(std::uint16_t type) { type_ = type; }
  virtual std::uint16_t GetResultType() const { return type_; }
  // Sets or clears the private mark; 512 or 0.
  virtual std::int32_t SetPrivate(bool on);
  bool IsPrivate() const { return (flags_ & kFlagPrivate) != 0; }
  virtual bool IsTimeDependent() const;
  virtual std::uint32_t NodeCount() const { return 1; }
  virtual std::uint32_t SetNodeCount(std::uint32_t count) { return count; }
  // A new, unshared tree equal to this one, with one reference taken.
  virtual Expression* DeepCopy() const;
  // A replacement for this node with one reference taken, or null. Inner
  // nodes install their operands' replacements themselves.
  virtual Expression* EliminateObsoleteOperators();
  virtual std::int32_t OperandCount() const { return 0; }
  // Foldable: may be evaluated without a context.
  virtual bool IsTerm() const { return op_ == kTerm; }
  // A term whose evaluation failed when it was simplified: its parents
  // stop simplifying as they would after evaluating it again, without
  // walking it once more at every level above. Cleared when an operand
  // changes.
  bool FoldFailed() const { return fold_failed_ == (TranscendentalFoldingSwitch ? 1 : 2); }
  void MarkFoldFailed() { fold_failed_ = TranscendentalFoldingSwitch ? 1 : 2; }
  void ClearFoldFailed() { fold_failed_ = 0; }
  // A node of a long sum or product that the reader balanced: the
  // simplifier leaves it as it is and takes it as a term of any chain above
  // it, so the sum is not rebuilt node by node and reads back the same.
  bool InBalancedChain() const { return balanced_chain_; }
  void MarkBalancedChain() { balanced_chain_ = true; }
  virtual bool IsConstant() const { return op_ == kTerm; }
  // Names and variables below this node.
  virtual std::int32_t CountReferences() const { return IsConstant() ? 0 : 1; }
  // Operand `index` (from 1); a non-null replacement different from it
  // takes its place (the old one released, a reference taken on the new).
  virtual Expression* Operand(std::int32_t index, Expression* replacement = nullptr);
  virtual std::int32_t ListLength() const { return 0; }
  virtual Expression* ListElement(std::int32_t) const { return nullptr; }
  virtual ExpressionVariable* BoundVariable() const { return nullptr; }

  // --- structure queries ---
  virtual std::int32_t CountSetIndices() const { return 0; }
  virtual std::int32_t CountFlag0002() const { return (flags_ & 0x0002) != 0 ? 1 : 0; }
  virtual std::int32_t CountFlag0004() const { return (flags_ & 0x0004) != 0 ? 1 : 0; }
  virtual std::int32_t CountFlag0800() const { return (flags_ & 0x0800) != 0 ? 1 : 0; }
  virtual std::int32_t CountFlag1000() const { return (flags_ & 0x1000) != 0 ? 1 : 0; }
  virtual bool IsOperation() const { return false; }
  virtual std::int32_t ReservedFlagQuery() const { return 0; }
  virtual std::int32_t WordCount() const { return 1; }
  virtual std::int32_t ReservedOperandQuery() const { return 0; }
  virtual bool DependsOnVariables(ExprContext*, std::int32_t) const { return false; }
  virtual bool HasImplicitReference() const { return false; }
  virtual bool NeedsIteration() const { return false; }
  // Puts the prefix name in front of implicit references; the node count.
  virtual std::uint32_t QualifyImplicitReferences(Expression*) { return NodeCount(); }
  // Hands each operand the nonlinearity class it is used with; variable
  // references mark their variable (SetClassMark with c, i, j).
  virtual Status NonlinearityClass(ExprContext*, std::int32_t, std::uint32_t*, std::int32_t,
                                   std::int32_t) {
    return 0;
  }
  virtual Status SizeInWords(ExprContext*, SizeCursor& cursor) {
    cursor.total += 8u * static_cast<std::uint32_t>(WordCount());
    return 0;
  }
  virtual ExpressionVariable* VariableSpec() { return nullptr; }
  virtual ExpressionVariable* StateVariableSpec() { return nullptr; }
  virtual void ResetCaches() {}

  // --- rebuilding: each gives this node, or a new node without a
  // reference (the caller takes one) ---

  // Binds dereferenced names to the position of the name in `names`.
  virtual Expression* RebuildWithChildren(std::int32_t count, const char* const* names);
  // Binds dereferenced names through the resolver, appending each variable
  // found to `variables` at `*count`.
  virtual Expression* RebuildWithChildren(std::int32_t* count, ExpressionVariable** variables,
                                          ExprNameResolver* resolver);
  // A name constant equal to `name` becomes a dereference of itself.
  virtual Expression* Rewrite(const char* name, bool* changed);
  // As Rewrite; index chains (Vec) are regrouped to the right first.
  virtual Expression* RewriteIndexChain(const char* name, bool* changed);
  // RebuildWithChildren (name-list form) in place: the node that stands
  // now, with the caller's reference moved to it.
  static Expression* RebuildInPlace(Expression* node, std::int32_t count, const char* const* names);
  // What stands in this node's place: the node itself, or a new node
  // without a reference (the caller takes one). Inner nodes put their
  // operands' answers in place of the operands.
  virtual Expression* SubstituteInPlace(ExprSubstitutionVisitor&) { return this; }

  // --- compact forms ---
  virtual Status SaveCompactToVStream(Clvostream& stream, std::uint32_t mode = 0) const;
  virtual Status WriteCompactToMessage(BvuBinaryStream& message) const;

  // One simplification step: 0 for no change; 1 with a replacement (one
  // reference taken) or, for an in-place change, without one.
  virtual std::int32_t Simplify(Expression** replacement);
  virtual Status Evaluate(SUValue& result, ExprContext* context);
  virtual Status VisitVariables(ExprContext* context, std::uint32_t* counter, std::uint32_t mode);

  // --- printing ---
  virtual void PrintModelling(std::ostream& out, ExprContext* context = nullptr) const;
  virtual void PrintDebug(std::ostream& out, std::int32_t depth, bool end_line) const;
  virtual void PrintErrors(std::ostream& out, ExprContext* context, bool* found) const;
  // "Null Expression" for null.
  static void PrintNode(std::ostream& out, const Expression* node, ExprContext* context = nullptr);

  // Reads one tree in the compact message form: a new node with one
  // reference taken, or null when the bytes do not read as an expression
  // (nothing is left allocated then). More than kMaxExpressionDepth levels
  // of nesting are refused. A node that names no type takes one from its
  // operands, and reads as it will once sent with that type (a change of
  // type to it that is not sent is left out). A sum or product of many
  // terms (a chain of Add or Mul nodes of one header, or of one type once
  // typed) comes back as a balanced tree of its terms. What a tree read
  // sends reads back to a tree that sends the same bytes: one read-write
  // round reaches the stable form. The constants folded while reading draw
  // on the CompactReadBudget in force.
  static Expression* ReadFromMessage(BvuBinaryStream& message, void* reading_context = nullptr,
                                     std::uint32_t flags = 0, int depth = 0);

  // --- C++ code (expr/codegen) ---
  // The value text of this node; flags are passed down and partly returned.
  virtual Status WriteValueCode(ExprCodeWriter& writer, CodeOutputs& out, std::uint32_t& flags);
  // The derivative chain below this node from factor number `factor` on;
  // 1 when the node cannot be differentiated.
  virtual Status WriteDerivativeCode(ExprCodeWriter& writer, CodeOutputs& out, std::int32_t factor);
  // Turns set-valued indices into iterator references.
  virtual Status ExpandSetIndices(std::int32_t level_base, SetIterators& iterators,
                                  Expression* iterator, std::int32_t& count);
  virtual Status AssignIteratorLevels(std::int32_t offset, std::vector<std::string>& names,
                                      std::int32_t level, bool in_loop);
  virtual Status DescribeToBuilder(ExprCodeWriter& writer);

  // Frees what a failed restore made without following its references:
  // the other objects of that restore are disposed of one by one.
  virtual void DetachForDisposal() {}

 protected:
  // Operator, type, error code and flags of `from` (readers of older layouts).
  static void CopyHeader(Expression& to, const Expression& from) {
    to.op_ = from.op_;
    to.type_ = from.type_;
    to.error_ = from.error_;
    to.flags_ = from.flags_;
  }
  // Puts `fresh` (a substitution's answer) at operand `index`; an answer
  // the operand slot refuses is freed.
  void PutOperand(std::int32_t index, Expression* fresh);
  // The header of the compact forms: code, flags, type.
  Status WriteHeader(BvuBinaryStream& message) const;
  void WriteHeader(Clvostream& stream) const;
  // IsTerm of an inner node from its operands' answers (`compute`), kept
  // until the next tree change or switch of transcendental folding: a
  // chain asked at every node while it is built answers in constant time
  // per node instead of walking to its far end each time.
  template <typename Compute>
  bool RememberedTerm(Compute compute) const {
    const std::uint64_t now = TreeChangeCount();
    const std::uint8_t key = TranscendentalFoldingSwitch ? 2 : 4;
    if (term_seen_ == now && (term_answer_ & 6) == key) return (term_answer_ & 1) != 0;
    const bool answer = compute();
    term_seen_ = now;
    term_answer_ = static_cast<std::uint8_t>(key | (answer ? 1 : 0));
    return answer;
  }
  // An operand of this node changed: remembered answers above it are stale.
  // A node that was never asked has none above it that depend on it.
  void NoteOperandChange() const {
    if (term_seen_ != 0) NoteTreeChange();
  }
  // Leaf classes: class id and body after the header.
  virtual Status WriteLeafBody(BvuBinaryStream&) const { return 0; }
  // The debug line of this node alone.
  void PrintDebugLine(std::ostream& out, std::int32_t depth, bool end_line) const;

  std::uint16_t op_;
  std::uint16_t type_ = 0;

 private:
  std::uint32_t refs_ = 0;
  std::uint16_t error_ = 0;
  std::uint16_t flags_ = 0;
  // 1 or 2: FoldFailed with transcendental folding on or off.
  std::uint8_t fold_failed_ = 0;
  bool balanced_chain_ = false;
  // RememberedTerm: the answer (bit 0) and the switch it holds for (2 on,
  // 4 off), valid while TreeChangeCount() is term_seen_ (never 0).
  mutable std::uint8_t term_answer_ = 0;
  mutable std::uint64_t term_seen_ = 0;
};

// A constant: row Term and one typed value.
class TerminalExpression : public Expression {
 public:
  TerminalExpression();
  TerminalExpression(const SUValue& value, std::uint16_t type);
  explicit TerminalExpression(double value);
  TerminalExpression(const TerminalExpression& other);

  ClCollectable* NewEmpty() const override;
  ClCollectable* Copy() const override;
  std::uint16_t ClassId() const override { return exprclass::kTerminal; }
  void RestoreFromVStream(Clvistream& stream) override;
  void RestoreFromFile(ClFileStream& file) override;
  void SaveToVStream(Clvostream& stream) const override;
  void SaveToFile(ClFileStream& file) const override;

  Expression* DeepCopy() const override;
  Expression* EliminateObsoleteOperators() override;
  std::int32_t Simplify(Expression** replacement) override;
  Expression* Rewrite(const char* name, bool* changed) override;
  Status SaveCompactToVStream(Clvostream& stream, std::uint32_t mode = 0) const override;
  Status Evaluate(SUValue& result, ExprContext* context) override;
  void PrintModelling(std::ostream& out, ExprContext* context = nullptr) const override;
  void PrintDebug(std::ostream& out, std::int32_t depth, bool end_line) const override;
  Status WriteValueCode(ExprCodeWriter& writer, CodeOutputs& out, std::uint32_t& flags) override;
  // A constant adds nothing to a chain.
  Status WriteDerivativeCode(ExprCodeWriter&, CodeOutputs&, std::int32_t) override { return 0; }
  Status DescribeToBuilder(ExprCodeWriter& writer) override;

  const SUValue& Value() const { return value_; }
  SUValue& Value() { return value_; }

 protected:
  Status WriteLeafBody(BvuBinaryStream& message) const override;

 private:
  SUValue value_;
};

// --- builders ---

// The node of `op` over its operands, simplified for as long as a step
// changes it; one reference taken for the caller. The operands keep the
// caller's references.
Expression* MakeUnaryExpression(std::uint16_t op, Expression* operand, std::uint16_t type = 0);
Expression* MakeBinaryExpression(std::uint16_t op, Expression* left, Expression* right,
                                 std::uint16_t type = 0);
// The constant a fold makes (one reference taken), or null when it could
// not be sent in the compact form: a folded tree must send as the tree did.
Expression* FoldedConstant(const SUValue& value, std::uint16_t type);
// Runs Simplify on `node` (one reference held by the caller) until it gives
// no more change; the final node with that reference. The nodes a rewrite
// builds are simplified in turn, kMaxNestedSimplifications of them for one
// outermost call; later ones stay as built.
Expression* SimplifyFully(Expression* node);
// Regrouping a large operand would otherwise rebuild it node by node, at
// every node above it and with a stack frame per level.
inline constexpr int kMaxNestedSimplifications = 256;
// A name node (row Vec or SubId) over base and index (one reference taken).
Expression* MakeIndexedName(std::uint16_t op, Expression* base, Expression* index);
// Puts `prefix` in front of the name held at `place`: 1 when merged into a
// chain, 0 when the operand was replaced.
std::int32_t QualifyName(Expression* prefix, Expression** place);
void MergePrefixIntoChain(Expression* chain, Expression* prefix);

// The evaluation status a value's own status stands for.
Status ValueStatusToEvaluation(std::int16_t value_status);

// A typed value that starts as an evaluation target: status 1, or valid and
// empty for a set type without array dimensions.
void PrepareValue(SUValue& value, std::uint16_t type);
inline bool IsPlainSetType(std::uint16_t type) { return (type & 0xFF08) == 8; }

// Shared constants, made on first use with one reference and never freed.
struct SharedConstants {
  Expression* real0;
  Expression* real1;
  Expression* int0;
  Expression* int1;
  Expression* logical_false;
  Expression* logical_true;
  Expression* spec[6];  // 4, 1, 2, 8, 16, 32
};
const SharedConstants& Constants();

// One budget of folded elements (kMaxFoldedElementsPerRead) for the
// compact reads made while it lives; a reader of a message that holds many
// expressions opens one for the whole message, else each read has its own.
class CompactReadBudget {
 public:
  CompactReadBudget();
  ~CompactReadBudget();
  CompactReadBudget(const CompactReadBudget&) = delete;
  CompactReadBudget& operator=(const CompactReadBudget&) = delete;

 private:
  bool top_;
};
// Folding while a compact read is under way charges its budget: false (and
// every read under that budget is refused) once it is spent. Outside
// reads, true.
bool ChargeFoldedElements(const SUValue& value);

// Rule bits of the simplifier; every bit but 0x10000 is on.
extern std::uint32_t SimplifyMask;
