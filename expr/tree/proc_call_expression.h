// The node of a model equation that calls a user procedure: "CALL outputs =
// name inputs". It holds the two argument lists and, once the procedure
// equation that owns it has found it, the procedure's definition. It is
// never evaluated as an expression: the procedure equation calls the
// procedure; a compiled tape only packs the arguments.
#pragma once

#include <string>
#include <vector>

#include "expr/tree/list_expression.h"
#include "foundation/directory/id_path.h"

// What a call needs of a procedure definition; the procedure subsystem
// implements every operation.
class ProcedureDefinition {
 public:
  virtual const char* DisplayName() const = 0;
  // The argument path of the definition; null when it has none.
  virtual const BvuIdPath* ArgumentPath() const = 0;
  virtual std::uint8_t OptionByte() const = 0;
  virtual std::int32_t InterfaceFlag() const = 0;
  // Two bytes per argument, a signed kind byte and an array flag byte.
  virtual std::vector<std::uint8_t> ArgumentDescriptions(bool outputs) const = 0;
  // Writes the procedure's own class code under `class_name`.
  virtual void WriteClassCode(ExprCodeWriter& writer, CodeOutputs& out,
                              const std::string& class_name) = 0;

 protected:
  ~ProcedureDefinition() = default;
};

class ProcCallExpression : public Expression {
 public:
  // Empty input and output lists.
  ProcCallExpression();
  // Takes a reference on each list (null makes an empty one).
  ProcCallExpression(ProcIOListExpression* inputs, ProcIOListExpression* outputs);
  // Shares the other node's lists and optional expressions; keeps its binding.
  ProcCallExpression(const ProcCallExpression& other);
  ~ProcCallExpression() override;

  ClCollectable* NewEmpty() const override { return new ProcCallExpression; }
  ClCollectable* Copy() const override { return new ProcCallExpression(*this); }
  std::uint16_t ClassId() const override { return exprclass::kProcCall; }
  void RestoreFromVStream(Clvistream& stream) override;
  void RestoreFromFile(ClFileStream& file) override;
  void SaveToVStream(Clvostream& stream) const override;
  void SaveToFile(ClFileStream& file) const override;

  // The procedure name when it is a text, else null.
  const char* GetProcName() const;
  void Bind(ProcedureDefinition* definition);
  ProcedureDefinition* Definition() const { return definition_; }
  // The bound definition's path, else the path the call was read with
  // (null when it has none).
  const BvuIdPath* ArgumentPath() const;
  // The path of the definition in the library tree, as a message gave it;
  // the procedure equation resolves it.
  void SetCallPath(const BvuIdPath& path) { call_path_ = path; }
  // The argument path in a call's message form: names flag (byte), step
  // count (16-bit), then per step a 32-bit id and, with the flag, a short
  // string after every id other than ABS and END. Ids wider than the
  // tree's 24 bits are refused with 0x8000020F.
  static Status WriteCallPath(BvuBinaryStream& message, const BvuIdPath& path);
  static BvuIdPath ReadCallPath(BvuBinaryStream& message, Status* status);
  const BvuIdPath& CallPath() const { return call_path_; }
  // Optional expressions (one reference taken; null clears).
  void SetSizeExpression(Expression* size);
  void SetComponentList(Expression* list);
  Expression* SizeExpression() const { return size_; }
  Expression* ComponentList() const { return components_; }
  ProcIOListExpression* Inputs() const { return inputs_; }
  ProcIOListExpression* Outputs() const { return outputs_; }

  std::uint32_t NodeCount() const override { return node_count_; }
  Expression* DeepCopy() const override;
  bool IsTerm() const override { return false; }
  bool IsConstant() const override { return false; }
  std::int32_t CountReferences() const override;
  std::int32_t CountSetIndices() const override;
  std::int32_t CountFlag0002() const override;
  std::int32_t CountFlag0004() const override;
  bool IsTimeDependent() const override;
  bool NeedsIteration() const override;
  std::int32_t SetPrivate(bool on) override;
  std::int32_t OperandCount() const override { return 2; }
  Expression* Operand(std::int32_t index, Expression* replacement = nullptr) override;
  Status NonlinearityClass(ExprContext* context, std::int32_t c, std::uint32_t* flags,
                           std::int32_t i, std::int32_t j) override;
  Expression* EliminateObsoleteOperators() override;
  void ResetCaches() override;
  // The visitor sees the call, then its inputs are substituted.
  Expression* SubstituteInPlace(ExprSubstitutionVisitor& visitor) override;
  Status VisitVariables(ExprContext* context, std::uint32_t* counter, std::uint32_t mode) override;
  Status SaveCompactToVStream(Clvostream& stream, std::uint32_t mode = 0) const override;
  Status WriteCompactToMessage(BvuBinaryStream& message) const override;
  void PrintModelling(std::ostream& out, ExprContext* context = nullptr) const override;
  void PrintDebug(std::ostream& out, std::int32_t depth, bool end_line) const override;
  void DetachForDisposal() override;
  Status WriteValueCode(ExprCodeWriter& writer, CodeOutputs& out, std::uint32_t& flags) override;
  Status WriteDerivativeCode(ExprCodeWriter& writer, CodeOutputs& out,
                             std::int32_t factor) override;
  Status ExpandSetIndices(std::int32_t level_base, SetIterators& iterators, Expression* iterator,
                          std::int32_t& count) override;
  Status AssignIteratorLevels(std::int32_t offset, std::vector<std::string>& names,
                              std::int32_t level, bool in_loop) override;
  // Sets the procedure name (readers of older layouts; a binding sets it too).
  void SetProcName(const char* name) { SetName(name); }
  void SetNodeCountTo(std::uint32_t count) { node_count_ = count; }

 private:
  void UpdateNodeCount();
  void SetName(const char* name);
  // After a restore: an empty list where none was stored.
  void GiveEmptyLists();

  ProcIOListExpression* inputs_ = nullptr;
  ProcIOListExpression* outputs_ = nullptr;
  ProcedureDefinition* definition_ = nullptr;
  BvuIdPath call_path_;
  std::uint32_t node_count_ = 1;
  SUValue name_;
  Expression* size_ = nullptr;
  Expression* components_ = nullptr;
  // Lists made by GiveEmptyLists rather than restored.
  bool made_inputs_ = false;
  bool made_outputs_ = false;
};
