// The compiled expression of a monitor and the variables it reads: model
// variables by reference, literals held by the variable itself. Names are
// found ignoring case; "QVTime" is the simulation time.
#pragma once

#include <cstdint>
#include <string>

#include "expr/eval/expr_context.h"
#include "expr/tape/tape.h"

class DAESVarTableEntry;

class SimMonitorVariable final : public ExpressionVariable {
 public:
  // Bound to a model variable.
  SimMonitorVariable(const char* name, DAESVarTableEntry* entry);
  // Holding its own copy of a literal.
  SimMonitorVariable(const char* name, const SUValue& literal);

  const char* NameText() const override { return name_.c_str(); }
  SUValue* ValuePointer() override;
  std::uint16_t ValueType() const override;
  void SetReal(double value);
  bool OwnsValue() const { return owns_value_; }
  bool BoundTo(const DAESVarTableEntry* entry) const { return !owns_value_ && entry_ == entry; }

 private:
  std::string name_;
  bool owns_value_ = false;
  DAESVarTableEntry* entry_ = nullptr;
  SUValue value_;
};

class SimMonitorContext final : public ExprPCContext, public ExprVariableFinder {
 public:
  static constexpr char kTimeName[] = "QVTime";

  // The variable array stays the monitor's.
  SimMonitorContext(Expression* expression, ExpressionVariable** variables, std::int32_t count);
  ExpressionVariable* FindVariable(const char* name) override;

 private:
  SimMonitorVariable time_;
  ExpressionVariable** variables_;
  std::int32_t count_;
};
