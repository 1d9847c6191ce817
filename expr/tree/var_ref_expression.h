// Leaves that refer to model variables. A VarRefExpression names a variable
// by its offset in the evaluation context, so one tree serves many
// contexts; a VariableExpression also holds the variable and enters it in a
// context when visited. Both carry row Term but are neither foldable nor
// constant: the simplifier must never evaluate them without a context.
#pragma once

#include "expr/tree/expression.h"

class VarRefExpression : public Expression {
 public:
  // `offset` is 0-based.
  explicit VarRefExpression(std::uint32_t offset = 0, std::uint16_t type = SUValue::kReal);
  VarRefExpression(const VarRefExpression& other) = default;

  ClCollectable* NewEmpty() const override { return new VarRefExpression; }
  ClCollectable* Copy() const override { return new VarRefExpression(*this); }
  std::uint16_t ClassId() const override { return exprclass::kVarRef; }
  void RestoreFromVStream(Clvistream& stream) override;
  void RestoreFromFile(ClFileStream& file) override;
  void SaveToVStream(Clvostream& stream) const override;
  void SaveToFile(ClFileStream& file) const override;

  bool IsTerm() const override { return false; }
  bool IsConstant() const override { return false; }
  std::int32_t CountReferences() const override { return 1; }
  Status SaveCompactToVStream(Clvostream& stream, std::uint32_t mode = 0) const override;
  Status Evaluate(SUValue& result, ExprContext* context) override;
  Status VisitVariables(ExprContext* context, std::uint32_t* counter, std::uint32_t mode) override;
  void PrintModelling(std::ostream& out, ExprContext* context = nullptr) const override;
  void PrintDebug(std::ostream& out, std::int32_t depth, bool end_line) const override;
  // Asks the variable at the offset for its column class.
  bool DependsOnVariables(ExprContext* context, std::int32_t arg) const override;
  Status NonlinearityClass(ExprContext* context, std::int32_t c, std::uint32_t* flags,
                           std::int32_t i, std::int32_t j) override;
  // Loads the next values of the cursor into the variable (one per element).
  Status SizeInWords(ExprContext* context, SizeCursor& cursor) override;
  std::int32_t VariableElementCountIn(ExprContext* context) const;
  Status WriteValueCode(ExprCodeWriter& writer, CodeOutputs& out, std::uint32_t& flags) override;
  Status WriteDerivativeCode(ExprCodeWriter& writer, CodeOutputs& out,
                             std::int32_t factor) override;

  std::uint32_t Offset() const { return offset_; }

 protected:
  Status WriteLeafBody(BvuBinaryStream& message) const override;
  void PrintIndent(std::ostream& out, std::int32_t depth) const;

  std::uint32_t offset_;
};

class ExpressionVariable;

class VariableExpression : public VarRefExpression {
 public:
  // With flag 0x80 the node owns its variable (copied when the node is).
  static constexpr std::uint16_t kOwnsVariable = 0x0080;

  explicit VariableExpression(ExpressionVariable* variable = nullptr, std::uint16_t flags = 0);
  VariableExpression(const VariableExpression& other);
  ~VariableExpression() override;

  ClCollectable* NewEmpty() const override { return new VariableExpression; }
  ClCollectable* Copy() const override { return new VariableExpression(*this); }
  std::uint16_t ClassId() const override { return exprclass::kVariable; }
  void RestoreFromVStream(Clvistream& stream) override;
  void RestoreFromFile(ClFileStream& file) override;
  void SaveToVStream(Clvostream& stream) const override;
  void SaveToFile(ClFileStream& file) const override;

  void Print(std::ostream& out) override;
  Status VisitVariables(ExprContext* context, std::uint32_t* counter, std::uint32_t mode) override;
  void PrintModelling(std::ostream& out, ExprContext* context = nullptr) const override;
  void PrintDebug(std::ostream& out, std::int32_t depth, bool end_line) const override;
  ExpressionVariable* BoundVariable() const override { return variable_; }
  ExpressionVariable* VariableSpec() override;
  ExpressionVariable* StateVariableSpec() override;
  void DetachForDisposal() override;
  Status WriteValueCode(ExprCodeWriter& writer, CodeOutputs& out, std::uint32_t& flags) override;
  Status WriteDerivativeCode(ExprCodeWriter& writer, CodeOutputs& out,
                             std::int32_t factor) override;

 private:
  void Adopt(ExpressionVariable* variable);
  // A variable that came with a stored node: without the owning flag the
  // restored nodes naming it share it.
  void AdoptRestored(ExpressionVariable* variable);
  void PrintName(std::ostream& out) const;

  ExpressionVariable* variable_ = nullptr;
};
