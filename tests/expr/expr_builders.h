// Small trees for the expression tests: leaves, nodes built through the
// builders, a context over named test variables with a replaceable name
// lookup, and evaluation and printing in one call.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "expr/eval/expr_context.h"
#include "expr/tree/binary_expression.h"
#include "expr/tree/expression.h"
#include "expr/tree/list_expression.h"
#include "expr/tree/unary_expression.h"
#include "expr/tree/var_ref_expression.h"

namespace exprtest {

struct Releaser {
  void operator()(Expression* e) const { Expression::Release(e); }
};
using Ref = std::unique_ptr<Expression, Releaser>;

inline Ref Hold(Expression* e) {
  e->AddRef();
  return Ref(e);
}
inline Ref Real(double v) { return Hold(new TerminalExpression(v)); }
inline Ref Int(std::int32_t v, std::uint16_t type = SUValue::kInteger) {
  return Hold(new TerminalExpression(SUValue::ConstructInt(v, type), type));
}
inline Ref Logical(bool v) { return Int(v ? 1 : 0, SUValue::kLogical); }
inline Ref Text(const char* text, std::uint16_t type = SUValue::kString) {
  SUValue v;
  v.SetType(type);
  v.SetString(text);
  return Hold(new TerminalExpression(v, type));
}
inline Ref IntSet(std::initializer_list<std::int32_t> members) {
  SUValue v;
  v.SetType(SUValue::kIntSet);
  for (std::int32_t m : members) v.AddInt(m);
  return Hold(new TerminalExpression(v, SUValue::kIntSet));
}
inline Ref Var(std::uint32_t offset, std::uint16_t type = SUValue::kReal) {
  return Hold(new VarRefExpression(offset, type));
}
inline Ref U(std::uint16_t op, const Ref& a, std::uint16_t type = 0) {
  return Ref(MakeUnaryExpression(op, a.get(), type));
}
inline Ref B(std::uint16_t op, const Ref& a, const Ref& b, std::uint16_t type = 0) {
  return Ref(MakeBinaryExpression(op, a.get(), b.get(), type));
}
template <typename List = HomListExpression>
Ref ListOf(std::initializer_list<const Ref*> items, std::uint16_t type = 0x100) {
  auto* list = new ExpressionList;
  for (const Ref* item : items) list->Append(item->get());
  return Hold(new List(list, type));
}

inline std::string Printed(const Expression* e, ExprContext* context = nullptr) {
  std::ostringstream out;
  Expression::PrintNode(out, e, context);
  return out.str();
}

// A named variable holding a value.
class TestVariable : public ExpressionVariable {
 public:
  TestVariable(std::string name, double value) : name_(std::move(name)) {
    value_.SetType(SUValue::kReal);
    value_.SetReal(value);
  }
  const char* NameText() const override { return name_.c_str(); }
  SUValue* ValuePointer() override { return &value_; }
  std::uint16_t ValueType() const override { return SUValue::kReal; }
  Status RegisterDelay() override {
    ++delays;
    return 0;
  }
  int delays = 0;

 private:
  std::string name_;
  SUValue value_;
};

// A context over test variables; names resolve through `lookup` when set.
class TestContext : public ExprContext {
 public:
  explicit TestContext(Expression* root, std::vector<ExpressionVariable*> variables = {},
                       std::int32_t room = 8)
      : TestContext(Padded(variables, room), root, static_cast<std::int32_t>(variables.size())) {}

  Status MapName(SUValue& value, const SUValue& name, std::uint32_t options) override {
    ++map_calls;
    last_name = name.GetString() != nullptr ? name.GetString() : "";
    if (lookup) return lookup(value, name);
    return ExprContext::MapName(value, name, options);
  }

  std::function<Status(SUValue&, const SUValue&)> lookup;
  int map_calls = 0;
  std::string last_name;

 private:
  TestContext(std::shared_ptr<std::vector<ExpressionVariable*>> array, Expression* root,
              std::int32_t count)
      : ExprContext(root, array->data(), count, static_cast<std::int32_t>(array->size())),
        array_(std::move(array)) {}
  static std::shared_ptr<std::vector<ExpressionVariable*>> Padded(
      const std::vector<ExpressionVariable*>& variables, std::int32_t room) {
    auto array = std::make_shared<std::vector<ExpressionVariable*>>(
        std::max<std::size_t>(variables.size(), static_cast<std::size_t>(room)), nullptr);
    std::size_t i = 0;
    for (ExpressionVariable* v : variables) (*array)[i++] = v;
    return array;
  }
  std::shared_ptr<std::vector<ExpressionVariable*>> array_;
};

struct Outcome {
  Outcome() = default;
  Outcome(Outcome&&) = default;
  Outcome& operator=(Outcome&& other) noexcept {
    status = other.status;
    value.~SUValue();
    new (&value) SUValue(std::move(other.value));
    return *this;
  }
  Status status = 0;
  SUValue value;
};

inline Outcome Eval(Expression* e, ExprContext* context = nullptr) {
  Outcome o;
  PrepareValue(o.value, e->GetResultType());
  o.status = e->Evaluate(o.value, context);
  return o;
}

inline std::string ValueText(const SUValue& v) {
  std::ostringstream out;
  v.Print(out);
  return out.str();
}

}  // namespace exprtest
