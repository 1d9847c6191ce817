// UnaryExpression: the node of every operator row with one operand: prefix
// operators, conversions, the one-argument functions, the dereference of a
// name, the list aggregates and the set functions. Holds one reference on
// its operand.
#pragma once

#include <string>

#include "expr/tree/expression.h"

class UnaryExpression : public Expression {
 public:
  UnaryExpression() = default;
  // A row without exactly one operand keeps error 627 on the node.
  UnaryExpression(std::uint16_t op, Expression* operand, std::uint16_t type);
  UnaryExpression(const UnaryExpression& other);
  ~UnaryExpression() override;

  ClCollectable* NewEmpty() const override { return new UnaryExpression; }
  ClCollectable* Copy() const override { return new UnaryExpression(*this); }
  std::uint16_t ClassId() const override { return exprclass::kUnary; }
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
  std::int32_t OperandCount() const override { return 1; }
  bool IsTerm() const override;
  bool IsConstant() const override;
  std::int32_t CountReferences() const override;
  Expression* Operand(std::int32_t index, Expression* replacement = nullptr) override;
  Status SaveCompactToVStream(Clvostream& stream, std::uint32_t mode = 0) const override;
  Status WriteCompactToMessage(BvuBinaryStream& message) const override;
  std::int32_t Simplify(Expression** replacement) override;
  Status Evaluate(SUValue& result, ExprContext* context) override;
  Status VisitVariables(ExprContext* context, std::uint32_t* counter, std::uint32_t mode) override;
  void PrintModelling(std::ostream& out, ExprContext* context = nullptr) const override;
  void PrintDebug(std::ostream& out, std::int32_t depth, bool end_line) const override;
  void PrintErrors(std::ostream& out, ExprContext* context, bool* found) const override;
  void DetachForDisposal() override { operand_ = nullptr; }
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
  std::int32_t CountFlag1000() const override;
  bool IsOperation() const override { return !IsDeRef(); }
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
  // The name a dereference stands for ("$x" names "x.Derivative").
  std::string DereferencedName() const;

  // Resolves a name value (or an array of them) through the context.
  static Status Dereference(ExprContext* context, SUValue& result, const SUValue& name);
  // CONVERTTO into this node's result type.
  void Convert(SUValue& result, const SUValue& x) const;

 private:
  // Stores the operand (a Float over an integer where the row converts).
  void SetOperand(Expression* operand);
  Status Apply(SUValue& result, const SUValue& x, ExprContext* context);
  bool IsAggregate() const { return (OpRow().flags & opflag::kAggregate) != 0; }
  bool IsDeRef() const { return op_ == kDeRef || op_ == kDeRefS || op_ == kDeRefI; }
  Expression* SimplifyByMask();
  void PrintFunctionForm(std::ostream& out, ExprContext* context) const;

  Expression* operand_ = nullptr;
  std::uint32_t node_count_ = 1;
};
