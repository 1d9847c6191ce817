// Variables and contexts for the tape tests: variables that take part in
// derivatives (column class 2) and keep one derivative entry, and a context
// over an owned variable array.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "expr/tape/tape.h"
#include "tests/expr/expr_builders.h"

namespace tapetest {

class ADVar : public ExpressionADVariable {
 public:
  ADVar(std::string name, double value, bool active = true, std::uint16_t type = SUValue::kReal)
      : name_(std::move(name)), active_(active), type_(type) {
    if (type == SUValue::kReal) {
      value_.SetType(SUValue::kReal);
      value_.SetReal(value);
    } else {
      value_.Assign(SUValue::ConstructInt(static_cast<std::int32_t>(value), type));
    }
    SetSize(1, true);
  }
  const char* NameText() const override { return name_.c_str(); }
  SUValue* ValuePointer() override { return &value_; }
  std::uint16_t ValueType() const override { return type_; }
  std::int32_t ColumnClass(std::int32_t, std::int32_t) override { return active_ ? 2 : 1; }
  Status DelayedValue(double lag, double* value) override {
    *value = value_.payload.real - 2.0 * lag;  // a history falling at slope 2
    return 0;
  }
  void Set(double v) { value_.SetReal(v); }
  double Get() const { return value_.payload.real; }

 private:
  std::string name_;
  bool active_;
  std::uint16_t type_;
  SUValue value_;
};

class TextVar : public ExpressionVariable {
 public:
  TextVar(std::string name, const char* text) : name_(std::move(name)) {
    value_.SetType(SUValue::kString);
    value_.SetString(text);
  }
  const char* NameText() const override { return name_.c_str(); }
  SUValue* ValuePointer() override { return &value_; }
  std::uint16_t ValueType() const override { return SUValue::kString; }

 private:
  std::string name_;
  SUValue value_;
};

// An ExprADContext with its own array of `vars`.
struct Bound {
  Bound(Expression* root, std::vector<ExpressionVariable*> vars)
      : array(vars.empty() ? 1 : vars.size(), nullptr) {
    for (std::size_t i = 0; i < vars.size(); ++i) array[i] = vars[i];
    context =
        std::make_unique<ExprADContext>(root, array.data(), static_cast<std::int32_t>(vars.size()),
                                        static_cast<std::int32_t>(array.size()));
  }
  std::vector<ExpressionVariable*> array;
  std::unique_ptr<ExprADContext> context;
};

}  // namespace tapetest
