#include "expr/tree/var_ref_expression.h"

#include <algorithm>
#include <ostream>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "expr/eval/expr_context.h"
#include "expr/store/restore_helpers.h"
#include "foundation/persistence/binary_stream.h"
#include "foundation/persistence/file_stream.h"
#include "foundation/persistence/persistence.h"
#include "foundation/persistence/virtual_stream.h"

VarRefExpression::VarRefExpression(std::uint32_t offset, std::uint16_t type)
    : Expression(kTerm, type), offset_(offset) {}

void VarRefExpression::SaveToFile(ClFileStream& file) const {
  Expression::SaveToFile(file);
  file.Write32(offset_);
}

void VarRefExpression::RestoreFromFile(ClFileStream& file) {
  Expression::RestoreFromFile(file);
  file.Read32(offset_);
}

void VarRefExpression::SaveToVStream(Clvostream& stream) const {
  Expression::SaveToVStream(stream);
  stream.PutU32(offset_);
}

void VarRefExpression::RestoreFromVStream(Clvistream& stream) {
  Expression::RestoreFromVStream(stream);
  stream.GetU32(offset_);
}

Status VarRefExpression::WriteLeafBody(BvuBinaryStream& message) const {
  return message.PutUInt32(offset_);
}

Status VarRefExpression::SaveCompactToVStream(Clvostream& stream, std::uint32_t) const {
  WriteHeader(stream);
  stream.PutChar(static_cast<char>(ClassId() + 32));
  stream.PutU32(offset_);
  return stream.Bad() ? exprstatus::kItemFailed : 0;
}

Status VarRefExpression::Evaluate(SUValue& result, ExprContext* context) {
  if (context == nullptr) return exprstatus::kNoEvaluator;
  SUValue* value = context->VariableValue(static_cast<std::int32_t>(offset_));
  if (value == nullptr) return exprstatus::kNoEvaluator;
  result.Assign(*value);
  return 0;
}

Status VarRefExpression::VisitVariables(ExprContext* context, std::uint32_t* counter,
                                        std::uint32_t mode) {
  if (counter != nullptr) ++*counter;
  if ((mode & 2) != 0 && context != nullptr) {
    if (ExpressionVariable* v = context->GetVariable(static_cast<std::int32_t>(offset_))) {
      v->RegisterDelay();
    }
  }
  return 0;
}

void VarRefExpression::PrintModelling(std::ostream& out, ExprContext* context) const {
  if (IsPrivate()) {
    out << "PrivateExpression";
    return;
  }
  if (context != nullptr && context->VariableCount() > static_cast<std::int64_t>(offset_)) {
    const char* name = context->VariableName(static_cast<std::int32_t>(offset_));
    out << (name != nullptr ? name : "");
    return;
  }
  out << 'V' << (static_cast<std::uint64_t>(offset_) + 1);
}

void VarRefExpression::PrintIndent(std::ostream& out, std::int32_t depth) const {
  out << std::string(static_cast<std::size_t>(2 * depth + 1), ' ');
}

void VarRefExpression::PrintDebug(std::ostream& out, std::int32_t depth, bool end_line) const {
  if (IsPrivate()) {
    out << "PrivateExpression";
  } else {
    PrintIndent(out, depth);
    out << "VarRefExpression "
        << " at offset " << offset_;
  }
  if (end_line) out << '\n';
}

namespace {

ExpressionADVariable* DerivativeVariable(ExprContext* context, std::uint32_t offset) {
  if (context == nullptr) return nullptr;
  ExpressionVariable* v = context->GetVariable(static_cast<std::int32_t>(offset));
  return v != nullptr ? v->AsADVariable() : nullptr;
}

}  // namespace

bool VarRefExpression::DependsOnVariables(ExprContext* context, std::int32_t arg) const {
  ExpressionADVariable* v = DerivativeVariable(context, offset_);
  return v != nullptr && v->ColumnClass(0, arg) != 0;
}

Status VarRefExpression::NonlinearityClass(ExprContext* context, std::int32_t c, std::uint32_t*,
                                           std::int32_t i, std::int32_t j) {
  if (ExpressionADVariable* v = DerivativeVariable(context, offset_)) {
    v->SetClassMark(static_cast<std::int8_t>(c), i, j);
  }
  return 0;
}

std::int32_t VarRefExpression::VariableElementCountIn(ExprContext* context) const {
  if (context == nullptr) return 0;
  ExpressionVariable* v = context->GetVariable(static_cast<std::int32_t>(offset_));
  return v != nullptr ? v->ElementCount() : 0;
}

Status VarRefExpression::SizeInWords(ExprContext* context, SizeCursor& cursor) {
  ExpressionVariable* v =
      context != nullptr ? context->GetVariable(static_cast<std::int32_t>(offset_)) : nullptr;
  if (v == nullptr) return exprstatus::kNoEvaluator;
  const std::int32_t n = v->ElementCount();
  for (std::int32_t k = 0; k < std::max(n, 1); ++k) {
    if (cursor.values == nullptr || cursor.values >= cursor.end) return exprstatus::kItemFailed;
    ExpressionVariable* element = n <= 1 ? v : v->ElementOfList(k);
    if (auto* ad = dynamic_cast<ExpressionADVariable*>(element))
      ad->SetElementValue(0, *cursor.values);
    ++cursor.values;
    cursor.total += 8;
  }
  return 0;
}

// --- VariableExpression ---

namespace {

// Variables owned by variable expressions: a restored graph that hands one
// variable to two owners is damaged, not a reason to free it twice.
std::unordered_set<const ExpressionVariable*>& OwnedVariables() {
  static std::unordered_set<const ExpressionVariable*> owned;
  return owned;
}

// Variables that a restore made for nodes that do not own theirs: nothing
// else holds such a variable, so the restored nodes naming it share it and
// the last of them frees it. An owning node of the same graph takes it over.
std::unordered_map<const ExpressionVariable*, std::int32_t>& RestoredShares() {
  static std::unordered_map<const ExpressionVariable*, std::int32_t> shares;
  return shares;
}

}  // namespace

VariableExpression::VariableExpression(ExpressionVariable* variable, std::uint16_t flags)
    : VarRefExpression(
          0, variable != nullptr ? variable->ValueType() : std::uint16_t{SUValue::kReal}) {
  SetFlags(flags);
  Adopt(variable);
}

VariableExpression::VariableExpression(const VariableExpression& other) : VarRefExpression(other) {
  ExpressionVariable* v = other.variable_;
  if (v != nullptr && (Flags() & kOwnsVariable) != 0)
    v = static_cast<ExpressionVariable*>(v->Copy());
  Adopt(v);
  if (v != nullptr && (Flags() & kOwnsVariable) == 0) {
    const auto share = RestoredShares().find(v);
    if (share != RestoredShares().end()) ++share->second;
  }
}

VariableExpression::~VariableExpression() {
  if (variable_ == nullptr) return;
  if ((Flags() & kOwnsVariable) != 0) {
    OwnedVariables().erase(variable_);
    delete variable_;
    return;
  }
  const auto share = RestoredShares().find(variable_);
  if (share != RestoredShares().end() && --share->second == 0) {
    RestoredShares().erase(share);
    delete variable_;
  }
}

void VariableExpression::Adopt(ExpressionVariable* variable) {
  variable_ = variable;
  if (variable_ != nullptr && (Flags() & kOwnsVariable) != 0) {
    if (!OwnedVariables().insert(variable_).second) {
      variable_ = nullptr;
      RaiseDamagedInput();
    }
    RestoredShares().erase(variable_);
  }
}

void VariableExpression::AdoptRestored(ExpressionVariable* variable) {
  Adopt(variable);
  if (variable_ == nullptr || (Flags() & kOwnsVariable) != 0) return;
  if (OwnedVariables().count(variable_) == 0) ++RestoredShares()[variable_];
}

// The failed restore disposes of the variable itself.
void VariableExpression::DetachForDisposal() {
  if (variable_ != nullptr) {
    OwnedVariables().erase(variable_);
    RestoredShares().erase(variable_);
  }
  variable_ = nullptr;
}

void VariableExpression::SaveToFile(ClFileStream& file) const {
  VarRefExpression::SaveToFile(file);
  WriteCollectableToFile(variable_, file);
}

void VariableExpression::RestoreFromFile(ClFileStream& file) {
  VarRefExpression::RestoreFromFile(file);
  ClCollectable* object = RestoreCollectableFromFile(file);
  auto* variable = dynamic_cast<ExpressionVariable*>(object);
  if (object != nullptr && variable == nullptr) RaiseDamagedInput();
  AdoptRestored(variable);
}

void VariableExpression::SaveToVStream(Clvostream& stream) const {
  VarRefExpression::SaveToVStream(stream);
  WriteCollectable(variable_, stream);
}

void VariableExpression::RestoreFromVStream(Clvistream& stream) {
  VarRefExpression::RestoreFromVStream(stream);
  ClCollectable* object = RestoreCollectable(stream);
  auto* variable = dynamic_cast<ExpressionVariable*>(object);
  if (object != nullptr && variable == nullptr) RaiseDamagedInput();
  AdoptRestored(variable);
}

ExpressionVariable* VariableExpression::VariableSpec() {
  return variable_ != nullptr ? variable_->VariableSpec() : nullptr;
}

ExpressionVariable* VariableExpression::StateVariableSpec() {
  return variable_ != nullptr ? variable_->StateVariableSpec() : nullptr;
}

void VariableExpression::PrintName(std::ostream& out) const {
  if (IsPrivate()) {
    out << "PrivateExpression";
    return;
  }
  const char* name = variable_ != nullptr ? variable_->NameText() : nullptr;
  out << (name != nullptr ? name : "unnamed");
}

void VariableExpression::Print(std::ostream& out) { PrintName(out); }

Status VariableExpression::VisitVariables(ExprContext* context, std::uint32_t* counter,
                                          std::uint32_t) {
  if (counter != nullptr) ++*counter;
  if (context == nullptr) return 0;
  std::int32_t index = 0;
  const Status s = context->AddVariable(variable_, &index);
  if (status::IsFailure(s)) return s;
  offset_ = static_cast<std::uint32_t>(index);
  return 0;
}

void VariableExpression::PrintModelling(std::ostream& out, ExprContext* context) const {
  if (IsPrivate() || context == nullptr) {
    PrintName(out);
    return;
  }
  VarRefExpression::PrintModelling(out, context);
}

void VariableExpression::PrintDebug(std::ostream& out, std::int32_t depth, bool end_line) const {
  if (IsPrivate()) {
    out << "PrivateExpression";
  } else {
    PrintIndent(out, depth);
    out << "VariableExpression ";
    PrintName(out);
    out << " at index " << (static_cast<std::uint64_t>(offset_) + 1);
  }
  if (end_line) out << '\n';
}
