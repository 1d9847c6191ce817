#include "expr/eval/expr_context.h"

#include <cstring>
#include <ostream>

#include "expr/tree/expression.h"

// --- ExpressionADVariable ---

ExpressionADVariable::ExpressionADVariable(const ExpressionADVariable& other)
    : ExpressionVariable(other), count_(other.count_) {
  if (other.entries_ != nullptr) {
    entries_ = count_ <= 1 ? &single_ : new Entry[count_];
    std::memcpy(entries_, other.entries_, sizeof(Entry) * (count_ > 0 ? count_ : 1));
  }
}

void ExpressionADVariable::Allocate() {
  if (entries_ != nullptr) return;
  if (count_ <= 1) {
    single_ = Entry{};
    entries_ = &single_;
    return;
  }
  entries_ = new Entry[count_]();
}

void ExpressionADVariable::Free() {
  if (entries_ != &single_) delete[] entries_;
  entries_ = nullptr;
}

void ExpressionADVariable::EnsureEntries(std::uint32_t n) {
  if (entries_ == nullptr) {
    if (n > count_) count_ = n;
    Allocate();
    return;
  }
  if (n <= count_) return;
  Entry* grown = new Entry[n]();
  std::memcpy(grown, entries_, sizeof(Entry) * (count_ > 0 ? count_ : 1));
  Free();
  entries_ = grown;
  count_ = n;
}

std::int32_t ExpressionADVariable::SetSize(std::uint32_t count, bool allocate) {
  if (entries_ != nullptr && count != count_) Free();
  count_ = count;
  if (allocate) Allocate();
  return 0;
}

std::int32_t ExpressionADVariable::SetClassMark(std::int8_t marker, std::int32_t i,
                                                std::int32_t j) {
  if (entries_ == nullptr && marker != 0) Allocate();
  const auto entry = static_cast<std::uint32_t>(i);
  if (InRange(entry)) {
    std::int8_t& stored = entries_[entry].classes[0];
    if (marker == -1 || marker == 0) {
      stored = marker;
    } else if (marker != 0 && stored != 0 && stored < marker) {
      stored = marker;
    }
  }
  return ColumnClass(i, j);
}

std::int8_t ExpressionADVariable::Marker(std::uint32_t i) const {
  return InRange(i) ? entries_[i].classes[0] : 0;
}

void ExpressionADVariable::SetElementValue(std::uint32_t i, double value) {
  if (InRange(i)) entries_[i].value = value;
}

// Without an array there is nothing to read: 0.0, as ElementValue answers.
Status ExpressionADVariable::GetElementValue(std::uint32_t i, double* value) const {
  *value = InRange(i) ? entries_[i].value : 0.0;
  return 0;
}

void ExpressionADVariable::AddToElement(std::uint32_t i, double value) {
  if (InRange(i)) entries_[i].value += value;
}

double ExpressionADVariable::ElementValue(std::uint32_t i) const {
  return InRange(i) ? entries_[i].value : 0.0;
}

// --- ExprContext ---

ExprContext::ExprContext(Expression* expression, ExpressionVariable** variables, std::int32_t count,
                         std::int32_t capacity)
    : variables_(variables), count_(count), capacity_(capacity), expression_(expression) {
  if (expression_ != nullptr) expression_->AddRef();
  PrepareValue(result_, expression_ != nullptr ? expression_->GetResultType() : 0);
  if (capacity_ < 0) capacity_ = count_ >= 0 ? count_ : VariableCount();
  if (variables_ == nullptr) capacity_ = 0;
}

ExprContext::~ExprContext() { Expression::Release(expression_); }

Status ExprContext::VisitVariables() {
  if (expression_ == nullptr) return 0;
  std::uint32_t counter = 0;
  return expression_->VisitVariables(this, &counter, 0);
}

void ExprContext::Print(std::ostream& out) {
  bool found = false;
  if (expression_ != nullptr) expression_->PrintErrors(out, this, &found);
}

std::int32_t ExprContext::VariableCount() {
  if (count_ >= 0) return count_;
  return expression_ != nullptr ? expression_->CountReferences() : 0;
}

Status ExprContext::AddVariable(ExpressionVariable* variable, std::int32_t* index) {
  const std::int32_t stored = count_ > 0 ? count_ : 0;
  if (variable != nullptr) {
    for (std::int32_t i = 0; i < stored; ++i) {
      if (variables_[i] == variable) {
        *index = i;
        return 0;
      }
    }
  }
  // The creator sized the array; an entry beyond it would overrun it.
  if (stored >= capacity_) return status::kBadArguments;
  variables_[stored] = variable;
  *index = stored;
  count_ = stored + 1;
  return 0;
}

ExpressionVariable* ExprContext::GetVariable(std::int32_t index, std::int32_t) {
  if (index < 0 || index >= capacity_ || variables_ == nullptr) return nullptr;
  return variables_[index];
}

void ExprContext::PrintModelling(std::ostream& out) {
  Expression::PrintNode(out, expression_, this);
}

Status ExprContext::Evaluate() {
  if (expression_ == nullptr) return exprstatus::kNoEvaluator;
  return expression_->Evaluate(result_, this);
}

Status ExprContext::MapName(SUValue& value, const SUValue& name, std::uint32_t) {
  value.SetType(SUValue::kNoType);
  value.Assign(name);
  return 0;
}

SUValue* ExprContext::VariableValue(std::int32_t index) {
  ExpressionVariable* v = GetVariable(index);
  return v != nullptr ? v->ValuePointer() : nullptr;
}

const char* ExprContext::VariableName(std::int32_t index) {
  ExpressionVariable* v = GetVariable(index);
  return v != nullptr ? v->NameText() : nullptr;
}
