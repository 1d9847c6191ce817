// System functions: named values that the engine supplies to expressions at
// run time ("Time", "RunMode"). The entries live in one process-wide
// registry (names compared without letter case) and are never removed; an
// expression refers to one through a SysFunExpression leaf, which counts a
// reference on it. Registration happens on the server thread.
#pragma once

#include <cstdint>
#include <string>

#include "expr/tree/expression.h"

// A real-valued callback; a string-typed function answers a text instead,
// which the evaluation copies.
using SystemFunctionCallback = double (*)(std::uint64_t value);
using SystemFunctionTextCallback = const char* (*)(std::uint64_t value);

class SystemFunction {
 public:
  SystemFunction(const char* name, std::uint64_t value, SystemFunctionCallback callback);
  virtual ~SystemFunction() = default;
  SystemFunction(const SystemFunction&) = delete;
  SystemFunction& operator=(const SystemFunction&) = delete;

  // 0x4030023D (nothing changed) when the name already has a callback and
  // replace is off; otherwise stores value and callback (a new entry at the
  // front when the name is new) and answers 0.
  static Status Register(const char* name, std::uint64_t value, SystemFunctionCallback callback,
                         bool replace);
  static Status RegisterText(const char* name, std::uint64_t value,
                             SystemFunctionTextCallback callback, bool replace);
  static SystemFunction* Find(const char* name);

  const std::string& Name() const { return name_; }
  std::uint16_t ResultType() const { return type_; }
  std::uint32_t RefCount() const { return refs_; }
  void AddRef() { ++refs_; }
  void Release() {
    if (refs_ > 0) --refs_;
  }
  std::uint64_t Value() const { return value_; }
  bool HasCallback() const { return callback_ != nullptr || text_callback_ != nullptr; }
  double CallReal() const { return callback_ != nullptr ? callback_(value_) : 0.0; }
  const char* CallText() const;

 private:
  std::uint32_t refs_ = 0;
  std::uint16_t type_ = SUValue::kReal;
  std::string name_;
  std::uint64_t value_;
  SystemFunctionCallback callback_;
  SystemFunctionTextCallback text_callback_ = nullptr;
  SystemFunction* next_ = nullptr;

  static SystemFunction* head_;
};

// The entry of that name, registered without value or callback when missing.
SystemFunction* FindOrRegisterSystemFunction(const char* name);

// A leaf over one registry entry (row Term, the entry's type).
class SysFunExpression : public Expression {
 public:
  explicit SysFunExpression(SystemFunction* function = nullptr);
  SysFunExpression(const SysFunExpression& other);
  ~SysFunExpression() override;

  ClCollectable* NewEmpty() const override { return new SysFunExpression; }
  ClCollectable* Copy() const override { return new SysFunExpression(*this); }
  std::uint16_t ClassId() const override { return exprclass::kSysFun; }
  void RestoreFromVStream(Clvistream& stream) override;
  void RestoreFromFile(ClFileStream& file) override;
  void SaveToVStream(Clvostream& stream) const override;
  void SaveToFile(ClFileStream& file) const override;

  Expression* DeepCopy() const override;
  bool IsTerm() const override { return false; }
  bool IsConstant() const override { return false; }
  std::int32_t CountReferences() const override { return 0; }
  Status SaveCompactToVStream(Clvostream& stream, std::uint32_t mode = 0) const override;
  // Fails with 0xA030FFFF when unbound or of a type other than real or string.
  Status Evaluate(SUValue& result, ExprContext* context) override;
  void PrintModelling(std::ostream& out, ExprContext* context = nullptr) const override;
  // "QV_<name>()": generated code reads the value through a function of
  // the run-time support, like the engine's own callback.
  Status WriteValueCode(ExprCodeWriter& writer, CodeOutputs& out, std::uint32_t& flags) override;

  SystemFunction* Function() const { return function_; }

 protected:
  Status WriteLeafBody(BvuBinaryStream& message) const override;

 private:
  void Bind(const char* name);

  SystemFunction* function_;
};

// A new SysFunExpression over the entry with one reference taken.
Expression* NewSysFunExpression(SystemFunction* function);
