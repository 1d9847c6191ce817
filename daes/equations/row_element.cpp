#include "daes/equations/row_element.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>

#include "daes/model/parameter.h"
#include "daes/problem/problem.h"
#include "expr/codegen/code_writer.h"
#include "expr/tree/operator_table.h"
#include "foundation/directory/directory_node.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/messages/su_print.h"
#include "foundation/persistence/binary_stream.h"
#include "platform/com_status.h"

namespace {
constexpr std::uint16_t kReferenceByPath = 18;

bool IsLiteralParameter(std::uint16_t kind) {
  return kind == 15 || kind == 16 || kind == 17 || kind == 19 || kind == 23;
}

// The variable a d = 0 reference names; null for a kind that names none.
Status ReadVariableReference(BvuBinaryStream& stream, BvuDirectoryNode* instance,
                             DAESVarTableEntry** variable) {
  *variable = nullptr;
  std::uint16_t kind = 0;
  Status s = stream.GetUInt16(&kind);
  if (status::IsFailure(s)) return s;
  if (kind == kReferenceByPath) {
    BvuDirectoryNode* node = nullptr;
    s = instance->ReadIdPath(stream, &node);
    if (status::IsFailure(s) && s != status::kGeneralFailure) return s;
    *variable = static_cast<DAESVarTableEntry*>(node != nullptr ? node->AsValueEntry() : nullptr);
    if (*variable != nullptr) return 0;
    // A path to nothing, or to a node that holds no value: the rest of the
    // body is not read, so the failure must not pass for a finished item.
    SuPrint(kBvuNoSuchChild, "Variable reference refused: its path names no variable");
    return kBvuNoSuchChild;
  }
  if (!IsLiteralParameter(kind)) return 0;
  BvuDirectoryNode* parent = nullptr;
  std::int32_t index = -1;
  std::string name;
  s = instance->ReadIdPathWithNames(stream, &parent, &index, &name, false);
  if (status::IsFailure(s)) return s;
  auto* existing = dynamic_cast<DAESParameter*>(parent->ChildAt(index));
  DAESParameter* p = existing;
  if (p == nullptr) p = new DAESParameter(name.c_str(), parent, kind);
  s = p->ReadItemBody(stream, instance);
  if (existing == nullptr) {
    if (status::IsSuccess(s) && parent->ChildAt(index) == nullptr) {
      s = parent->InsertChildAt(index, p);
    } else if (status::IsSuccess(s)) {
      s = status::kGeneralFailure;  // the slot holds a node of another kind
    }
    if (status::IsFailure(s)) {
      p->SetParent(nullptr);
      delete p;
      return s;
    }
  }
  *variable = p;
  return s;
}

Status ReadArray(BvuBinaryStream& stream, BvuDirectoryNode* instance, std::uint32_t depth,
                 DAESRowElement** out, std::int32_t* scalars) {
  *out = nullptr;
  std::uint32_t m = 0;
  Status s = stream.GetUInt32(&m);
  if (status::IsFailure(s)) return s;
  const auto empty_type = static_cast<std::uint16_t>(4 | (depth << 8));
  DAESArray* array = nullptr;
  for (std::uint32_t k = 1; k <= m; ++k) {
    DAESRowElement* member = nullptr;
    if (depth > 0) {
      s = ReadArray(stream, instance, depth - 1, &member, scalars);
    } else {
      DAESVarTableEntry* variable = nullptr;
      s = ReadVariableReference(stream, instance, &variable);
      if (status::IsSuccess(s) && variable != nullptr) {
        member = new DAESScalar(variable);
        ++*scalars;
      }
    }
    if (status::IsFailure(s)) {
      if (member != nullptr) member->Release();
      if (array != nullptr) array->Release();
      return s;
    }
    if (array == nullptr) {
      // Sized by what was read, never by the count a message claims.
      array = new DAESArray(member != nullptr ? member->ValueType() : empty_type);
    }
    array->SetMember(static_cast<std::int32_t>(k), member);
  }
  if (array == nullptr) array = new DAESArray(empty_type);
  *out = array;
  return 0;
}
}  // namespace

std::uint32_t DAESRowElement::Release() {
  const std::uint32_t left = --refs_;
  if (left == 0) delete this;
  return left;
}

namespace {
// Writes `size` bytes at `slot`; 1 when they differ from what was there.
std::int32_t Store(void* slot, const void* bytes, std::size_t size) {
  if (std::memcmp(slot, bytes, size) == 0) return 0;
  std::memcpy(slot, bytes, size);
  return 1;
}

bool IsString(const SUValue* v) {
  return v != nullptr && (v->type & SUValue::kKindMask) == SUValue::kString;
}

// A real or an integer as its 8-byte slot.
std::int32_t StoreNumber(double* slot, const SUValue* v) {
  if (v != nullptr && (v->type & SUValue::kKindMask) == SUValue::kInteger) {
    const std::int64_t n = v->payload.integer;
    return Store(slot, &n, sizeof n);
  }
  const double x =
      v != nullptr && (v->type & SUValue::kKindMask) == SUValue::kReal ? v->payload.real : 0.0;
  return Store(slot, &x, sizeof x);
}
}  // namespace

std::int32_t DAESRowElement::PackFortran(double* values, std::int32_t* position, std::int32_t index,
                                         std::int32_t) {
  const SUValue* v = ValuePointer();
  std::int32_t changed = 0;
  if (IsString(v)) {
    char field[daes::kStringArgumentBytes];
    std::memset(field, ' ', sizeof field);
    const char* text = v->GetString() != nullptr ? v->GetString() : "";
    std::memcpy(field, text, std::min(std::strlen(text), sizeof field));
    changed = Store(reinterpret_cast<char*>(values) +
                        static_cast<std::ptrdiff_t>(index) * daes::kStringArgumentBytes,
                    field, sizeof field);
  } else {
    changed = StoreNumber(values + index, v);
  }
  ++*position;
  return changed;
}

std::int32_t DAESRowElement::PackC(double* values, std::int32_t* position, std::int32_t base) {
  const SUValue* v = ValuePointer();
  std::int32_t changed = 0;
  if (IsString(v)) {
    char* area = reinterpret_cast<char*>(values + base) +
                 static_cast<std::ptrdiff_t>(*position) * daes::kStringArgumentBytes;
    char text[daes::kStringArgumentBytes] = {};
    const char* source = v->GetString() != nullptr ? v->GetString() : "";
    // A longer text is cut, its 40th byte the end.
    std::strncpy(text, source, sizeof text - 1);
    changed = Store(area, text, sizeof text);
    changed |= Store(values + *position, &area, sizeof area);
  } else {
    changed = StoreNumber(values + *position, v);
  }
  ++*position;
  return changed;
}

void DAESRowElement::WritePack(std::ostream& out, std::uint32_t row, std::int32_t slot,
                               bool fortran) {
  const SUValue* v = ValuePointer();
  const bool output = row == kOutput || row == kStrOutput || row == kIntOutput;
  std::string value;
  if (row == kStrInput || row == kStrOutput) {
    const char* text = v != nullptr && v->GetString() != nullptr ? v->GetString() : "";
    value = EscapedText(text);
    value.insert(value.begin(), '"');
    value.push_back('"');
  } else if (SolverIndex() >= 0 && (v == nullptr || v->type == SUValue::kReal)) {
    value = std::to_string(SolverIndex());
    value.insert(0, "x[");
    value.push_back(']');
  } else if (v != nullptr && (v->type & SUValue::kKindMask) == SUValue::kReal) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", v->payload.real);
    value = text;
  } else {
    value = std::to_string(v != nullptr && !v->IsArray() ? v->GetIntAt(0) : 0);
  }
  const char* macro = output             ? "    PACKREALOUTPUT("
                      : row == kIntInput ? "  PACKINTINPUT("
                      : row != kStrInput ? "  PACKREALINPUT("
                      : fortran          ? "  PACKFTNSTRINPUT("
                                         : "  PACKSTRINPUT(";
  out << macro << slot << "," << value << ");\n";
}

bool DAESRowElement::WriteUnpack(std::ostream& out, std::int32_t slot) {
  const SUValue* v = ValuePointer();
  if (SolverIndex() < 0 || IsParameter() != 0 || (v != nullptr && v->type != SUValue::kReal)) {
    return false;
  }
  out << "      UNPACKREALINPUT(" << slot << "," << SolverIndex() << ");\n";
  return true;
}

bool DAESRowElement::WriteJacobianEntry(std::ostream& out, const std::vector<std::int32_t>& columns,
                                        std::int32_t base, std::vector<bool>* written,
                                        std::int32_t derivative, std::int32_t case_number,
                                        std::int32_t fn) {
  const std::int32_t index = SolverIndex();
  if (index < 0 || IsParameter() != 0) return false;
  for (std::size_t p = 0; p < columns.size(); ++p) {
    if (std::abs(columns[p]) - 1 != index) continue;
    out << "J[" << base + static_cast<std::int32_t>(p) << ((*written)[p] ? "]+=" : "]=");
    (*written)[p] = true;
    if (derivative >= 0) {
      out << "g_pDerivs[" << derivative << "];";
    } else {
      out << "PD(" << index << "," << case_number << ",Fn" << fn << ",oldOutput);";
    }
    return true;
  }
  return false;
}

std::uint32_t DAESRowElement::ReleaseIfSame(DAESRowElement** held) {
  if (held == nullptr || !IsSameElement(*held)) return 0;
  *held = nullptr;
  return Release();
}

DAESScalar::DAESScalar(DAESVarTableEntry* variable) : variable_(variable) {
  path_.Append(kIdPathRoot);
  path_.Append(kIdPathEnd);
  if (auto* node = dynamic_cast<BvuDirectoryNode*>(variable)) node->GetIdPath(&path_);
}

std::int32_t DAESScalar::SolverIndex() const {
  DAESProblem* problem = GetCurrentProblem();
  if (problem == nullptr || variable_ == nullptr) return -1;
  return problem->ColumnOf(variable_) - 1;
}

const char* DAESScalar::NameText() const {
  return variable_ != nullptr ? variable_->GetNameText() : "";
}

SUValue* DAESScalar::ValuePointer() {
  return variable_ != nullptr ? variable_->ValuePointer() : nullptr;
}

std::uint16_t DAESScalar::ValueType() const {
  return variable_ != nullptr ? variable_->ValueType() : std::uint16_t{SUValue::kReal};
}

std::int32_t DAESScalar::IsParameter() const {
  return variable_ != nullptr ? variable_->IsStored() : 1;
}

Status DAESScalar::RegisterDelay() {
  return variable_ != nullptr ? variable_->RegisterDelay() : daes::kNotImplemented;
}

Status DAESScalar::DelayedValue(double lag, double* value) {
  if (variable_ == nullptr) {
    *value = 0.0;
    return daes::kNotImplemented;
  }
  return variable_->DelayedValue(lag, value);
}

DAESArray::DAESArray(std::uint16_t type) {
  // One dimension more than the members have: an array of arrays keeps
  // every level.
  const std::uint16_t dims = static_cast<std::uint16_t>((type >> 8) + 1);
  value_.SetType(static_cast<std::uint16_t>((dims << 8) | (type & 0x0F)));
}

DAESArray::~DAESArray() {
  for (auto it = members_.rbegin(); it != members_.rend(); ++it) {
    if (*it != nullptr) (*it)->Release();
  }
  delete holder_;
}

Status DAESArray::QueryInterface(const platform::IID& iid, void** object) {
  if (object == nullptr) return platform::E_INVALIDARG;
  if (iid == daes::IID_IQLNVariableCallback || iid == platform::IID_IUnknown) {
    *object = static_cast<IQLNVariableCallback*>(this);
    AddRef();
    return 0;
  }
  *object = nullptr;
  return platform::E_NOINTERFACE;
}

Status DAESArray::ReservedCallbackB() { return platform::E_NOTIMPL; }

DAESRowElement* DAESArray::FindByVariable(DAESVarTableEntry* variable) {
  if (variable == nullptr || (variable->EntryKind() == daes::kParameterKind) != parameter_) {
    return nullptr;
  }
  for (DAESRowElement* m : members_) {
    if (DAESRowElement* found = m != nullptr ? m->FindByVariable(variable) : nullptr) return found;
  }
  return nullptr;
}

DAESRowElement* DAESArray::FindBySequenceNumber(std::uint32_t n) {
  if (parameter_) return nullptr;
  for (DAESRowElement* m : members_) {
    if (DAESRowElement* found = m != nullptr ? m->FindBySequenceNumber(n) : nullptr) return found;
  }
  return nullptr;
}

void DAESArray::SetAdviseHolder(DAESArrayAdviseHolder* holder) {
  if (holder_ != holder) delete holder_;
  holder_ = holder;
}

std::int32_t DAESArray::PackFortran(double* values, std::int32_t* position, std::int32_t index,
                                    std::int32_t stride) {
  Refresh(0);
  if (parameter_ && !refreshed_ && packed_values_ != nullptr && packed_values_ == values) {
    *position = packed_position_;
    return 0;
  }
  const std::int32_t n = ElementCount();
  std::int32_t changed = 0;
  for (std::int32_t i = 0; i < n; ++i) {
    if (DAESRowElement* m = members_[static_cast<std::size_t>(i)]) {
      changed |= m->PackFortran(values, position, index + i * stride, n * stride);
    }
  }
  if (parameter_) {
    packed_values_ = values;
    packed_position_ = *position;
    refreshed_ = false;
  }
  return changed;
}

std::int32_t DAESArray::PackC(double* values, std::int32_t* position, std::int32_t base) {
  std::int32_t changed = 0;
  for (DAESRowElement* m : members_) {
    if (m != nullptr) changed |= m->PackC(values, position, base);
  }
  return changed;
}

SUValue* DAESArray::ValuePointer() {
  Refresh(0);
  return &value_;
}

Status DAESArray::SetMember(std::int32_t index, DAESRowElement* member) {
  if (index < 1) return daes::kNotImplemented;
  if (static_cast<std::size_t>(index) > members_.size()) members_.resize(index, nullptr);
  DAESRowElement*& slot = members_[static_cast<std::size_t>(index - 1)];
  if (slot != nullptr) slot->Release();
  slot = member;
  if (member == nullptr) return status::kGeneralFailure;
  if (index == 1) {
    const char* full = member->NameText();
    name_ = full != nullptr ? full : "";
    const std::size_t dot = name_.rfind('.');
    const std::size_t paren = name_.rfind('(');
    if (paren != std::string::npos && (dot == std::string::npos || paren > dot)) {
      name_.resize(paren);
    }
    parameter_ = member->IsParameter() != 0;
  }
  return 0;
}

DAESRowElement* DAESArray::Member(std::int32_t index) const {
  return index >= 1 && static_cast<std::size_t>(index) <= members_.size() ? members_[index - 1]
                                                                          : nullptr;
}

void DAESArray::Refresh(std::int32_t force) {
  if (parameter_ && force == 0 && holder_ != nullptr && holder_->Changed()) {
    holder_->Update();
    refreshed_ = true;
  }
  // A forced refresh may bring new values: the next pack must write them.
  if (force != 0) refreshed_ = true;
  value_.Resize(static_cast<std::int32_t>(members_.size()));
  for (std::size_t i = 0; i < members_.size(); ++i) {
    if (members_[i] == nullptr) continue;
    if (refreshed_) members_[i]->Refresh(1);
    if (const SUValue* v = members_[i]->ValuePointer()) {
      value_.SetElement(static_cast<std::int32_t>(i), *v);
    }
  }
}

DAESRowElement* DAESArray::ElementAt(std::int32_t i) {
  for (DAESRowElement* m : members_) {
    const std::int32_t n = m != nullptr ? m->TotalCount() : 1;
    if (i < n) return m != nullptr ? m->ElementAt(i) : nullptr;
    i -= n;
  }
  return nullptr;
}

std::int32_t DAESArray::TotalCount() const {
  std::int32_t n = 0;
  for (DAESRowElement* m : members_) n += m != nullptr ? m->TotalCount() : 1;
  return n;
}

bool DAESArray::HasUnboundMember() const {
  for (DAESRowElement* m : members_) {
    if (m == nullptr || m->HasUnboundMember()) return true;
  }
  return false;
}

Status DAESCreateRowElements(BvuBinaryStream& stream, BvuDirectoryNode* instance, std::uint32_t n,
                             std::vector<DAESRowElement*>* elements, std::int32_t* scalars) {
  for (std::uint32_t k = 0; k < n; ++k) {
    std::uint32_t depth = 0;
    Status s = stream.GetByteAsUInt32(&depth);
    if (status::IsFailure(s)) return s;
    DAESRowElement* element = nullptr;
    if (depth == 0) {
      DAESVarTableEntry* variable = nullptr;
      s = ReadVariableReference(stream, instance, &variable);
      if (status::IsFailure(s)) return s;
      element = new DAESScalar(variable);
      if (variable != nullptr) ++*scalars;
    } else {
      s = ReadArray(stream, instance, depth - 1, &element, scalars);
      if (status::IsFailure(s)) return s;
      element->Refresh(1);
    }
    elements->push_back(element);
  }
  return 0;
}
