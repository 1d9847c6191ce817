#include "expr/tree/system_function.h"

#include <ostream>

#include "expr/eval/expr_context.h"
#include "expr/store/restore_helpers.h"
#include "foundation/persistence/binary_stream.h"
#include "foundation/persistence/file_stream.h"
#include "foundation/persistence/virtual_stream.h"

SystemFunction* SystemFunction::head_ = nullptr;

SystemFunction::SystemFunction(const char* name, std::uint64_t value,
                               SystemFunctionCallback callback)
    : name_(name != nullptr ? name : ""), value_(value), callback_(callback) {}

SystemFunction* SystemFunction::Find(const char* name) {
  for (SystemFunction* f = head_; f != nullptr; f = f->next_) {
    if (SUValue::CompareCI(f->name_.c_str(), name) == 0) return f;
  }
  return nullptr;
}

Status SystemFunction::Register(const char* name, std::uint64_t value,
                                SystemFunctionCallback callback, bool replace) {
  if (SystemFunction* f = Find(name)) {
    if (f->HasCallback() && !replace) return exprstatus::kReregistered;
    f->value_ = value;
    f->callback_ = callback;
    f->text_callback_ = nullptr;
    f->type_ = SUValue::kReal;
    return 0;
  }
  auto* f = new SystemFunction(name, value, callback);
  f->next_ = head_;
  head_ = f;
  return 0;
}

Status SystemFunction::RegisterText(const char* name, std::uint64_t value,
                                    SystemFunctionTextCallback callback, bool replace) {
  const Status s = Register(name, value, nullptr, replace);
  if (s != 0) return s;
  SystemFunction* f = Find(name);
  f->text_callback_ = callback;
  f->type_ = SUValue::kString;
  return 0;
}

const char* SystemFunction::CallText() const {
  const char* text = text_callback_ != nullptr ? text_callback_(value_) : nullptr;
  return text != nullptr ? text : "";
}

SystemFunction* FindOrRegisterSystemFunction(const char* name) {
  SystemFunction* f = SystemFunction::Find(name);
  if (f == nullptr) {
    SystemFunction::Register(name, 0, nullptr, false);
    f = SystemFunction::Find(name);
  }
  return f;
}

// --- SysFunExpression ---

SysFunExpression::SysFunExpression(SystemFunction* function)
    : Expression(kTerm,
                 function != nullptr ? function->ResultType() : std::uint16_t{SUValue::kReal}),
      function_(function) {
  if (function_ != nullptr) function_->AddRef();
}

SysFunExpression::SysFunExpression(const SysFunExpression& other)
    : Expression(other), function_(other.function_) {
  if (function_ != nullptr) function_->AddRef();
}

SysFunExpression::~SysFunExpression() {
  if (function_ != nullptr) function_->Release();
}

void SysFunExpression::Bind(const char* name) {
  if (function_ != nullptr) function_->Release();
  function_ = FindOrRegisterSystemFunction(name);
  function_->AddRef();
}

void SysFunExpression::SaveToVStream(Clvostream& stream) const {
  Expression::SaveToVStream(stream);
  stream.PutString(function_ != nullptr ? function_->Name().c_str() : "Time");
}

void SysFunExpression::RestoreFromVStream(Clvistream& stream) {
  Expression::RestoreFromVStream(stream);
  char name[kMaxSystemFunctionName];
  if (stream.GetString(name, sizeof name)) Bind(name);
}

// The binary form stores the name as well: without it the node would come
// back bound to nothing.
void SysFunExpression::SaveToFile(ClFileStream& file) const {
  Expression::SaveToFile(file);
  file.WriteString(function_ != nullptr ? function_->Name().c_str() : "Time");
}

void SysFunExpression::RestoreFromFile(ClFileStream& file) {
  Expression::RestoreFromFile(file);
  char name[kMaxSystemFunctionName];
  if (!file.ReadString(name, sizeof name)) {
    RaiseDamagedInput();
    return;
  }
  Bind(name);
  type_ = function_->ResultType();
}

Expression* SysFunExpression::DeepCopy() const {
  auto* copy = new SysFunExpression(*this);
  copy->AddRef();
  return copy;
}

Status SysFunExpression::SaveCompactToVStream(Clvostream&, std::uint32_t) const { return 0; }

Status SysFunExpression::WriteLeafBody(BvuBinaryStream& message) const {
  return message.PutString(function_ != nullptr ? function_->Name().c_str() : "Time");
}

Status SysFunExpression::Evaluate(SUValue& result, ExprContext* context) {
  if (function_ == nullptr) return exprstatus::kNoEvaluator;
  switch (GetResultType()) {
    case SUValue::kReal: {
      SUValue value;
      value.SetType(SUValue::kReal);
      value.SetReal(function_->CallReal());
      result.Assign(value);
      return 0;
    }
    case SUValue::kString: {
      SUValue value;
      value.SetType(SUValue::kString);
      value.SetString(function_->CallText());
      result.Assign(value);
      if (context != nullptr && SUValue::CompareCI(function_->Name().c_str(), "RunMode") == 0) {
        SUValue name;
        name.SetType(SUValue::kString);
        name.SetString("QV_RunMode");
        SUValue mapped;
        mapped.SetType(SUValue::kString);
        mapped.SetString("");
        context->MapName(mapped, name, 0);
      }
      return 0;
    }
    default:
      return exprstatus::kNoEvaluator;
  }
}

void SysFunExpression::PrintModelling(std::ostream& out, ExprContext*) const {
  if (IsPrivate()) {
    out << "PrivateExpression";
    return;
  }
  out << (function_ != nullptr ? function_->Name() : std::string("Time"));
}

Expression* NewSysFunExpression(SystemFunction* function) {
  auto* node = new SysFunExpression(function);
  node->AddRef();
  return node;
}
