// BinaryExpression: the node of every operator row with two operands:
// logical, comparison and arithmetic operators, set operators, slices,
// delays, the two-operand max and min, and the structural rows that build
// names and loops (Vec, SubId, Deriv, ForEach, Assignment). Holds one
// reference on each operand.
#pragma once

#include "expr/tree/expression.h"

// Set ranges longer than this are refused: a slice is often built from data
// that came from outside.
inline constexpr std::int64_t kMaxSliceElements = 1 << 22;

class BinaryExpression : public Expression {
 public:
  BinaryExpression() = default;
  // A row without exactly two operands keeps error 627 on the node.
  BinaryExpression(std::uint16_t op, Expression* first, Expression* second, std::uint16_t type);
  BinaryExpression(const BinaryExpression& other);
  ~BinaryExpression() override;

  ClCollectable* NewEmpty() const override { return new BinaryExpression; }
  ClCollectable* Copy() const override { return new BinaryExpression(*this); }
  std::uint16_t ClassId() const override { return exprclass::kBinary; }
  void RestoreFromVStream(Clvistream& stream) override;
  void RestoreFromFile(ClFileStream& file) override;
  void SaveToVStream(Clvostream& stream) const override;
  void SaveToFile(ClFileStream& file) const override;

  std::int32_t SetPrivate(bool on) override;
  bool IsTimeDependent() const override;
  std::uint32_t NodeCount() const override { return node_count_; }
  std::uint32_t SetNodeCount(std::uint32_t count) override { return node_count_ = count; }
  Expression* DeepCopy() const override;
  Expression* EliminateObsoleteOperators() override;
  std::int32_t OperandCount() const override { return 2; }
  bool IsTerm() const override;
  bool IsConstant() const override;
  std::int32_t CountReferences() const override;
  Expression* Operand(std::int32_t index, Expression* replacement = nullptr) override;
  std::int32_t ListLength() const override;
  Expression* ListElement(std::int32_t i) const override;
  Status SaveCompactToVStream(Clvostream& stream, std::uint32_t mode = 0) const override;
  Status WriteCompactToMessage(BvuBinaryStream& message) const override;
  std::int32_t Simplify(Expression** replacement) override;
  Status Evaluate(SUValue& result, ExprContext* context) override;
  Status VisitVariables(ExprContext* context, std::uint32_t* counter, std::uint32_t mode) override;
  void PrintModelling(std::ostream& out, ExprContext* context = nullptr) const override;
  void PrintDebug(std::ostream& out, std::int32_t depth, bool end_line) const override;
  void PrintErrors(std::ostream& out, ExprContext* context, bool* found) const override;
  void DetachForDisposal() override { first_ = second_ = nullptr; }
  Status WriteValueCode(ExprCodeWriter& writer, CodeOutputs& out, std::uint32_t& flags) override;
  Status WriteDerivativeCode(ExprCodeWriter& writer, CodeOutputs& out,
                             std::int32_t factor) override;
  Status ExpandSetIndices(std::int32_t level_base, SetIterators& iterators, Expression* iterator,
                          std::int32_t& count) override;
  Status AssignIteratorLevels(std::int32_t offset, std::vector<std::string>& names,
                              std::int32_t level, bool in_loop) override;
  Status DescribeToBuilder(ExprCodeWriter& writer) override;

  std::int32_t CountSetIndices() const override;
  std::int32_t CountFlag0002() const override;
  std::int32_t CountFlag0004() const override;
  std::int32_t CountFlag0800() const override;
  std::int32_t CountFlag1000() const override;
  bool IsOperation() const override { return !IsNameRow(); }
  bool DependsOnVariables(ExprContext* context, std::int32_t arg) const override;
  bool HasImplicitReference() const override;
  bool NeedsIteration() const override;
  std::uint32_t QualifyImplicitReferences(Expression* prefix) override;
  Status NonlinearityClass(ExprContext* context, std::int32_t c, std::uint32_t* flags,
                           std::int32_t i, std::int32_t j) override;
  void ResetCaches() override;
  Expression* SubstituteInPlace(ExprSubstitutionVisitor& visitor) override;
  Expression* RebuildWithChildren(std::int32_t count, const char* const* names) override;
  Expression* RebuildWithChildren(std::int32_t* count, ExpressionVariable** variables,
                                  ExprNameResolver* resolver) override;
  Expression* Rewrite(const char* name, bool* changed) override;
  Expression* RewriteIndexChain(const char* name, bool* changed) override;

 private:
  // A node of this row and type over the two (no reference taken); the
  // operands that are fresh are adopted.
  Expression* Rebuilt(Expression* first, Expression* second) const;
  void SetOperands(Expression* first, Expression* second);
  Status Apply(SUValue& result, const SUValue& a, const SUValue& b);
  // The first rewrite of the mask that applies, or null; *swapped when the
  // operands were exchanged in place instead.
  Expression* Rewritten(const SUValue* ca, const SUValue* cb, bool* swapped);
  bool IsNameRow() const { return op_ == kVec || op_ == kSubId || op_ == kDeriv; }
  void UpdateNodeCount();
  void PrintOperand(std::ostream& out, const Expression* operand, bool enclose,
                    ExprContext* context) const;

  Expression* first_ = nullptr;
  Expression* second_ = nullptr;
  std::uint32_t node_count_ = 1;
};

// `operand` as a sum, difference or product of type t that names no type
// of its own holds it: itself, or under a change of its type to t (Float
// from an integer or logical to real, otherwise Nop, made at once on a
// constant). One reference taken for the caller.
Expression* ConvertedOperand(Expression* operand, std::uint16_t t);
