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
  Status DelayedValueWeight(double, double* weight) override {
    *weight = delay_weight;
    return 0;
  }
  // How much a delayed value moves with the value now.
  double delay_weight = 1.0;
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

// A real array whose elements are variables of their own: the aggregates
// read the array whole and hand each element its derivative.
class ArrayVar : public ExpressionVariable {
 public:
  ArrayVar(std::string name, std::vector<double> values) : name_(std::move(name)) {
    value_.SetType(SUValue::kOneDimension | SUValue::kReal);
    value_.Resize(static_cast<std::int32_t>(values.size()));
    for (std::size_t e = 0; e < values.size(); ++e) {
      elements_.push_back(std::make_unique<ADVar>(name_ + "_" + std::to_string(e), 0.0));
      value_.Elements()[e].SetType(SUValue::kReal);
      Set(static_cast<std::int32_t>(e), values[e]);
    }
  }
  const char* NameText() const override { return name_.c_str(); }
  SUValue* ValuePointer() override { return &value_; }
  std::uint16_t ValueType() const override { return value_.type; }
  std::int32_t ElementCount() const override { return static_cast<std::int32_t>(elements_.size()); }
  ExpressionVariable* ElementOfList(std::int32_t e) override { return At(e); }
  ADVar* At(std::int32_t e) { return elements_[static_cast<std::size_t>(e)].get(); }
  void Set(std::int32_t e, double v) {
    value_.Elements()[e].SetReal(v);
    At(e)->Set(v);
  }

 private:
  std::string name_;
  SUValue value_;
  std::vector<std::unique_ptr<ADVar>> elements_;
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
