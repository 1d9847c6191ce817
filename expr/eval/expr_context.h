// Evaluation contexts and the variable interface that expressions see.
//
// An ExprContext binds one expression (it holds a reference) to the
// variables it reads and keeps the value it yields; evaluation walks the
// tree. The variable array belongs to the creator, who sizes it by
// VariableCount; AddVariable refuses to write past it. One evaluation runs at
// a time (the mathematical error status is process-wide).
#pragma once

#include <cstdint>
#include <iosfwd>

#include "foundation/collections/collectable.h"
#include "foundation/values/typed_value.h"
#include "platform/status.h"

class Expression;
struct CodeOutputs;
struct ExprCodeWriter;

// A variable as contexts and nodes see it: value, name, type, solver index.
// Variables of the equation system, row elements and monitor variables
// implement it.
class ExpressionVariable : public ClCollectable {
 public:
  ClCollectable* NewEmpty() const override { return new ExpressionVariable; }
  ClCollectable* Copy() const override { return new ExpressionVariable(*this); }
  std::uint16_t ClassId() const override { return 112; }

  virtual std::int32_t VariableReservedA() { return 0; }
  virtual const char* NameText() const { return nullptr; }
  virtual SUValue* ValuePointer() { return nullptr; }
  virtual SUValue* CurrentValue() { return ValuePointer(); }
  virtual std::uint16_t ValueType() const { return 0; }
  virtual std::int32_t SolverIndex() const { return 0; }
  virtual std::int32_t IsParameter() const { return 0; }
  virtual std::int32_t ElementCount() const { return 1; }
  virtual ExpressionVariable** ElementList() { return nullptr; }
  virtual ExpressionVariable* ElementOfList(std::int32_t) { return this; }
  virtual Status RegisterDelay() { return 0xA032FFFFu; }
  virtual Status DelayedValue(double /*lag*/, double* value) {
    *value = 0.0;
    return 0xA032FFFFu;
  }
  // How much the delayed value moves with the value now: 0 when it is read
  // from the history alone, 1 when it is the value now.
  virtual Status DelayedValueWeight(double /*lag*/, double* weight) {
    *weight = 1.0;
    return 0xA032FFFFu;
  }
  virtual std::int32_t VariableReservedB() { return 0; }
  virtual std::int32_t VariableReservedC() { return 0; }
  virtual bool VariableReservedD() { return false; }
  virtual ExpressionVariable* StateVariableSpec() { return nullptr; }
  virtual ExpressionVariable* VariableSpec() { return this; }
  // C++ code (expr/codegen): the name into the three streams, a linear
  // Jacobian entry, and the name announced to the code builder.
  virtual Status WriteVariableCode(ExprCodeWriter& writer, CodeOutputs& out, std::uint32_t& flags);
  virtual Status WriteVariableDerivativeCode(ExprCodeWriter& writer, CodeOutputs& out,
                                             std::int32_t factor);
  virtual Status AnnounceToBuilder(ExprCodeWriter& writer);
  // The variable's derivative face, or null: the answer of a dynamic_cast,
  // without its cost in the evaluation loops.
  virtual class ExpressionADVariable* AsADVariable() { return nullptr; }
};

// A variable that takes part in derivative evaluation: one entry per
// element, each a real and eight class bytes (one per pass), made on demand.
class ExpressionADVariable : public ExpressionVariable {
 public:
  explicit ExpressionADVariable(std::uint32_t count = 0) : count_(count) {}
  ExpressionADVariable(const ExpressionADVariable& other);
  ExpressionADVariable& operator=(const ExpressionADVariable&) = delete;
  ~ExpressionADVariable() override { Free(); }
  ExpressionADVariable* AsADVariable() final { return this; }

  // Virtual so that a composite (an array of variables) can hand each
  // operation on to its members.
  virtual std::int32_t SetSize(std::uint32_t count, bool allocate);
  virtual std::int32_t ColumnClass(std::int32_t, std::int32_t) { return 0; }
  // ColumnClass through the caller's integer; 0.
  virtual Status GetColumnClass(std::int32_t i, std::int32_t j, std::int32_t* out) {
    *out = ColumnClass(i, j);
    return 0;
  }
  // Markers 0 and -1 are stored as they are; any other raises a stored
  // marker that is non-zero and lower (0 marks an entry left out).
  virtual std::int32_t SetClassMark(std::int8_t marker, std::int32_t i, std::int32_t j);
  std::int8_t Marker(std::uint32_t i) const;
  virtual void SetElementValue(std::uint32_t i, double value);
  // Entry i's value, 0.0 without an array.
  Status GetElementValue(std::uint32_t i, double* value) const;
  virtual void AddToElement(std::uint32_t i, double value);
  double ElementValue(std::uint32_t i) const;
  // The variable's value at an earlier time, as the sensitivity
  // calculations keep it; a plain variable keeps none: 0.0 and 0xA031FFFF.
  virtual Status ValueAtTime(std::int32_t /*key*/, double /*time*/, double* value) {
    *value = 0.0;
    return 0xA031FFFFu;
  }
  bool HasEntries() const { return entries_ != nullptr; }
  // The entries the variable is sized for, and those it holds now.
  std::uint32_t EntryCount() const { return count_; }
  std::uint32_t HeldEntries() const { return entries_ == nullptr ? 0 : (count_ > 1 ? count_ : 1); }
  // Holds at least n entries (at least its size), keeping what it held.
  void EnsureEntries(std::uint32_t n);

 private:
  struct Entry {
    double value;
    std::int8_t classes[8];
  };
  bool InRange(std::uint32_t i) const { return entries_ != nullptr && i < count_; }
  void Allocate();
  void Free();

  std::uint32_t count_;
  Entry* entries_ = nullptr;
  // A single entry lives in the object, beside what reads it.
  Entry single_{};
};

class ExprContext {
 public:
  // Takes a reference on the expression; the variable array (room for
  // `count` entries when count >= 0) stays the creator's.
  ExprContext(Expression* expression, ExpressionVariable** variables, std::int32_t count,
              std::int32_t capacity = -1);
  ExprContext(const ExprContext&) = delete;
  ExprContext& operator=(const ExprContext&) = delete;
  virtual ~ExprContext();

  virtual Status VisitVariables();
  virtual void Print(std::ostream& out);
  // While the count is negative the expression is asked each time.
  virtual std::int32_t VariableCount();
  // Finds the variable by identity or appends it; a null variable is always
  // appended. 0x8000020F when the array has no room left.
  virtual Status AddVariable(ExpressionVariable* variable, std::int32_t* index);
  virtual ExpressionVariable* GetVariable(std::int32_t index, std::int32_t flag = 0);
  virtual void PrintModelling(std::ostream& out);
  virtual Status Evaluate();
  virtual std::int32_t BeginIterator(const char*) { return 0; }
  virtual void ContextReservedA() {}
  virtual void ContextReservedB() {}
  virtual void SetIteratorValue(const SUValue&, std::int32_t) {}
  virtual std::int32_t EndIterator() { return 0; }
  virtual void ContextReservedC() {}
  // Resolves a name into a value; here the name itself comes back.
  virtual Status MapName(SUValue& value, const SUValue& name, std::uint32_t options);
  virtual SUValue* VariableValue(std::int32_t index);
  virtual const char* VariableName(std::int32_t index);

  SUValue& Result() { return result_; }
  Expression* Root() const { return expression_; }
  // The entries stored so far (never more than the room).
  std::int32_t StoredVariables() const { return stored_; }

 private:
  SUValue result_;
  ExpressionVariable** variables_;
  std::int32_t count_;
  std::int32_t capacity_;
  std::int32_t stored_ = 0;
  Expression* expression_;
};
