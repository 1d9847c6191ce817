#include "expr/tree/proc_call_expression.h"

#include <cstring>
#include <ostream>
#include <string>

#include "expr/store/restore_helpers.h"
#include "foundation/directory/id_path.h"
#include "foundation/persistence/binary_stream.h"
#include "foundation/persistence/file_stream.h"
#include "foundation/persistence/persistence.h"
#include "foundation/persistence/virtual_stream.h"

namespace {

template <typename T>
T* Held(T* e) {
  if (e != nullptr) e->AddRef();
  return e;
}

// The operand was made by the restore, which disposes of it when the
// restore fails: releasing it here as well would free it twice.
ProcIOListExpression* AsIOList(Expression* e) {
  auto* list = dynamic_cast<ProcIOListExpression*>(e);
  if (e != nullptr && list == nullptr) RaiseDamagedInput();
  return list;
}

std::uint32_t Nodes(const Expression* e) { return e != nullptr ? e->NodeCount() : 0; }

}  // namespace

ProcCallExpression::ProcCallExpression() : ProcCallExpression(nullptr, nullptr) {}

ProcCallExpression::ProcCallExpression(ProcIOListExpression* inputs, ProcIOListExpression* outputs)
    : Expression(kTerm, 0) {
  EnsureExpressionClassesRegistered();
  inputs_ = Held(inputs != nullptr ? inputs : new ProcIOListExpression);
  outputs_ = Held(outputs != nullptr ? outputs : new ProcIOListExpression);
  made_inputs_ = inputs == nullptr;
  made_outputs_ = outputs == nullptr;
  name_.SetType(SUValue::kName);
  name_.status = SUValue::kUnknown;
  UpdateNodeCount();
}

ProcCallExpression::ProcCallExpression(const ProcCallExpression& other)
    : Expression(other), inputs_(Held(other.inputs_)), outputs_(Held(other.outputs_)),
      definition_(other.definition_), call_path_(other.call_path_), node_count_(other.node_count_),
      size_(Held(other.size_)), components_(Held(other.components_)) {
  name_.Assign(other.name_);
}

ProcCallExpression::~ProcCallExpression() {
  Release(size_);
  Release(components_);
  Release(inputs_);
  Release(outputs_);
}

void ProcCallExpression::GiveEmptyLists() {
  made_inputs_ = inputs_ == nullptr;
  made_outputs_ = outputs_ == nullptr;
  if (made_inputs_) inputs_ = Held(new ProcIOListExpression);
  if (made_outputs_) outputs_ = Held(new ProcIOListExpression);
}

// The restore disposes of what it made; the lists made here are this node's.
void ProcCallExpression::DetachForDisposal() {
  if (!made_inputs_) inputs_ = nullptr;
  if (!made_outputs_) outputs_ = nullptr;
  size_ = components_ = nullptr;
}

void ProcCallExpression::UpdateNodeCount() { node_count_ = 1 + Nodes(inputs_) + Nodes(outputs_); }

void ProcCallExpression::SetName(const char* name) {
  SUValue v;
  v.SetType(SUValue::kName);
  v.SetString(name);
  name_.Assign(v);
}

const char* ProcCallExpression::GetProcName() const {
  if (name_.status != SUValue::kValid) return nullptr;
  return name_.type == SUValue::kString || name_.type == SUValue::kName ? name_.GetString()
                                                                        : nullptr;
}

const BvuIdPath* ProcCallExpression::ArgumentPath() const {
  if (definition_ != nullptr) return definition_->ArgumentPath();
  return call_path_.count() > 0 ? &call_path_ : nullptr;
}

void ProcCallExpression::Bind(ProcedureDefinition* definition) {
  definition_ = definition;
  const char* name = definition != nullptr ? definition->DisplayName() : nullptr;
  if (name != nullptr) SetName(name);
  UpdateNodeCount();
}

void ProcCallExpression::SetSizeExpression(Expression* size) {
  Held(size);
  Release(size_);
  size_ = size;
}

void ProcCallExpression::SetComponentList(Expression* list) {
  Held(list);
  Release(components_);
  components_ = list;
}

Expression* ProcCallExpression::DeepCopy() const {
  auto* copy = new ProcCallExpression(static_cast<ProcIOListExpression*>(inputs_->DeepCopy()),
                                      static_cast<ProcIOListExpression*>(outputs_->DeepCopy()));
  // DeepCopy handed each list with a reference; the copy holds its own.
  copy->inputs_->Release();
  copy->outputs_->Release();
  copy->SetFlags(Flags());
  copy->definition_ = definition_;
  copy->call_path_ = call_path_;
  copy->name_.Assign(name_);
  if (size_ != nullptr) {
    Expression* s = size_->DeepCopy();
    copy->SetSizeExpression(s);
    s->Release();
  }
  if (components_ != nullptr) {
    Expression* c = components_->DeepCopy();
    copy->SetComponentList(c);
    c->Release();
  }
  copy->node_count_ = node_count_;
  copy->AddRef();
  return copy;
}

// --- forwarding ---

std::int32_t ProcCallExpression::CountReferences() const {
  return inputs_->CountReferences() + outputs_->CountReferences();
}
std::int32_t ProcCallExpression::CountSetIndices() const {
  return inputs_->CountSetIndices() + outputs_->CountSetIndices();
}
std::int32_t ProcCallExpression::CountFlag0002() const {
  return inputs_->CountFlag0002() + outputs_->CountFlag0002();
}
std::int32_t ProcCallExpression::CountFlag0004() const {
  return inputs_->CountFlag0004() + outputs_->CountFlag0004();
}
bool ProcCallExpression::IsTimeDependent() const {
  return inputs_->IsTimeDependent() || outputs_->IsTimeDependent();
}
bool ProcCallExpression::NeedsIteration() const {
  return inputs_->NeedsIteration() || outputs_->NeedsIteration();
}

std::int32_t ProcCallExpression::SetPrivate(bool on) {
  inputs_->SetPrivate(on);
  outputs_->SetPrivate(on);
  if (size_ != nullptr) size_->SetPrivate(on);
  return Expression::SetPrivate(on);
}

Expression* ProcCallExpression::Operand(std::int32_t index, Expression* replacement) {
  if (index != 1 && index != 2) return nullptr;
  ProcIOListExpression*& slot = index == 1 ? inputs_ : outputs_;
  auto* list = dynamic_cast<ProcIOListExpression*>(replacement);
  if (list != nullptr && list != slot) {
    list->AddRef();
    Release(slot);
    slot = list;
    UpdateNodeCount();
  }
  return slot;
}

Status ProcCallExpression::NonlinearityClass(ExprContext* context, std::int32_t,
                                             std::uint32_t* flags, std::int32_t i, std::int32_t j) {
  const bool bit = definition_ != nullptr && (definition_->OptionByte() & 0x10) != 0;
  const std::int32_t mode = bit ? 3 : 4;
  const Status s = inputs_->NonlinearityClass(context, mode, flags, i, j);
  if (status::IsFailure(s)) return s;
  return outputs_->NonlinearityClass(context, mode, flags, i, j);
}

Expression* ProcCallExpression::EliminateObsoleteOperators() {
  for (Expression** slot : {&size_, &components_}) {
    if (*slot == nullptr) continue;
    if (Expression* r = (*slot)->EliminateObsoleteOperators()) {
      Release(*slot);
      *slot = r;
    }
  }
  inputs_->EliminateObsoleteOperators();
  outputs_->EliminateObsoleteOperators();
  return nullptr;
}

void ProcCallExpression::ResetCaches() {
  definition_ = nullptr;
  inputs_->ResetCaches();
}

Expression* ProcCallExpression::SubstituteInPlace(ExprSubstitutionVisitor& visitor) {
  visitor.See(*this);
  PutOperand(1, inputs_->SubstituteInPlace(visitor));
  UpdateNodeCount();
  return this;
}

Status ProcCallExpression::VisitVariables(ExprContext* context, std::uint32_t* counter,
                                          std::uint32_t mode) {
  if (counter != nullptr) ++*counter;
  const Status s = inputs_->VisitVariables(context, counter, mode | 1);
  if (status::IsFailure(s)) return s;
  return outputs_->VisitVariables(context, counter, mode | 1);
}

// --- printing ---

void ProcCallExpression::PrintModelling(std::ostream& out, ExprContext* context) const {
  const char* name = GetProcName();
  out << "CALL ";
  outputs_->PrintModelling(out, context);
  out << "=" << (name != nullptr ? name : "");
  if (IsPrivate()) return;
  inputs_->PrintModelling(out, context);
  if (components_ != nullptr) {
    out << " ";
    components_->PrintModelling(out, context);
  }
}

void ProcCallExpression::PrintDebug(std::ostream& out, std::int32_t depth, bool end_line) const {
  const char* name = GetProcName();
  out << std::string(static_cast<std::size_t>(2 * depth + 1), ' ') << "Procedure Call "
      << (name != nullptr ? name : "") << '\n';
  if (!IsPrivate()) {
    outputs_->PrintDebug(out, depth + 1, end_line);
    inputs_->PrintDebug(out, depth + 1, end_line);
  }
  if (components_ != nullptr) components_->PrintDebug(out, depth + 1, end_line);
}

// --- compact forms ---

Status ProcCallExpression::SaveCompactToVStream(Clvostream& stream, std::uint32_t mode) const {
  WriteHeader(stream);
  stream.PutChar(static_cast<char>(ClassId() + 32));
  Status s = inputs_->SaveCompactToVStream(stream, mode | 1);
  if (s == 0) s = outputs_->SaveCompactToVStream(stream, mode | 1);
  if (status::IsFailure(s)) return s;
  const char* name = GetProcName();
  const std::uint32_t length = name != nullptr ? static_cast<std::uint32_t>(std::strlen(name)) : 0;
  stream.PutU32(length);
  if (length > 0) stream.PutBytes(name, length);
  const BvuIdPath* path = ArgumentPath();
  stream.PutU32(path != nullptr ? 1 : 0);
  if (path != nullptr) WriteCollectable(path, stream);
  return stream.Bad() ? exprstatus::kItemFailed : 0;
}

Status ProcCallExpression::WriteCallPath(BvuBinaryStream& message, const BvuIdPath& path) {
  Status s = message.PutUInt8(path.with_names() ? 1 : 0);
  if (status::IsSuccess(s)) s = message.PutUInt16(path.count());
  for (std::size_t at = 0; at < path.ids().size() && status::IsSuccess(s); ++at) {
    const std::uint32_t id = path.ids()[at];
    s = message.PutUInt32(id);
    if (status::IsSuccess(s) && path.with_names() && id != kIdPathRoot && id != kIdPathEnd) {
      s = message.PutCString(path.NameAt(at).c_str());
    }
  }
  return status::IsFailure(s) ? s : status::kOk;
}

BvuIdPath ProcCallExpression::ReadCallPath(BvuBinaryStream& message, Status* status) {
  std::uint8_t flag = 0;
  std::uint16_t count = 0;
  Status s = message.GetUInt8(&flag);
  if (status::IsSuccess(s)) s = message.GetUInt16(&count);
  BvuIdPath path(flag != 0);
  for (std::uint16_t step = 0; step < count && status::IsSuccess(s); ++step) {
    std::uint32_t id = 0;
    s = message.GetUInt32(&id);
    if (status::IsFailure(s)) break;
    // The tree's ids are 24-bit: a wider one names nothing.
    if (id > kIdPathRoot) {
      s = status::kBadArguments;
      break;
    }
    std::string name;
    if (flag != 0 && id != kIdPathRoot && id != kIdPathEnd) {
      char* text = nullptr;
      s = message.GetShortStringNew(&text);
      if (text != nullptr) name = text;
      delete[] text;
      if (status::IsFailure(s)) break;
    }
    s = path.Append(id, name.c_str());
  }
  if (status != nullptr) *status = status::IsFailure(s) ? s : status::kOk;
  return path;
}

// An unbound call writes the path it was read with, or an empty one.
Status ProcCallExpression::WriteCompactToMessage(BvuBinaryStream& message) const {
  Status s = WriteHeader(message);
  if (s == 0) s = message.PutUInt8(static_cast<std::uint8_t>(ClassId()));
  if (s == 0) s = inputs_->WriteCompactToMessage(message);
  if (s == 0) s = outputs_->WriteCompactToMessage(message);
  if (s != 0) return s;
  const BvuIdPath* path = ArgumentPath();
  return WriteCallPath(message, path != nullptr ? *path : BvuIdPath());
}

// --- persistence ---

void ProcCallExpression::SaveToVStream(Clvostream& stream) const {
  Expression::SaveToVStream(stream);
  WriteCollectable(inputs_, stream);
  WriteCollectable(outputs_, stream);
  WriteCollectable(size_, stream);
  WriteCollectable(components_, stream);
  const char* name = GetProcName();
  const std::uint32_t length = name != nullptr ? static_cast<std::uint32_t>(std::strlen(name)) : 0;
  // The length counts the terminating zero, which is written too.
  stream.PutU32(length + 1);
  stream.PutBytes(name != nullptr ? name : "", length + 1);
  stream.PutU16(0);
}

void ProcCallExpression::SaveToFile(ClFileStream& file) const {
  Expression::SaveToFile(file);
  WriteCollectableToFile(inputs_, file);
  WriteCollectableToFile(outputs_, file);
  WriteCollectableToFile(size_, file);
  WriteCollectableToFile(components_, file);
  file.Write16(0);
}

void ProcCallExpression::RestoreFromVStream(Clvistream& stream) {
  const RestoringNode restoring(this);
  Expression::RestoreFromVStream(stream);
  Release(inputs_);
  Release(outputs_);
  Release(size_);
  Release(components_);
  inputs_ = outputs_ = nullptr;
  size_ = components_ = nullptr;
  made_inputs_ = made_outputs_ = false;
  inputs_ = AsIOList(RestoreOperand(stream));
  outputs_ = AsIOList(RestoreOperand(stream));
  size_ = RestoreOperand(stream);
  components_ = RestoreOperand(stream);
  GiveEmptyLists();
  std::uint32_t length = 0;
  if (stream.GetU32(length) && length >= 1 && length <= (1u << 16)) {
    std::string name(length, '\0');
    if (stream.GetBytes(name.data(), name.size())) SetName(name.c_str());
  }
  std::uint16_t end = 0;
  stream.GetU16(end);
  definition_ = nullptr;
  UpdateNodeCount();
}

void ProcCallExpression::RestoreFromFile(ClFileStream& file) {
  const RestoringNode restoring(this);
  Expression::RestoreFromFile(file);
  Release(inputs_);
  Release(outputs_);
  Release(size_);
  Release(components_);
  inputs_ = outputs_ = nullptr;
  size_ = components_ = nullptr;
  made_inputs_ = made_outputs_ = false;
  inputs_ = AsIOList(RestoreOperandFromFile(file));
  outputs_ = AsIOList(RestoreOperandFromFile(file));
  size_ = RestoreOperandFromFile(file);
  components_ = RestoreOperandFromFile(file);
  GiveEmptyLists();
  std::uint16_t end = 0;
  file.Read16(end);
  definition_ = nullptr;
  UpdateNodeCount();
}
