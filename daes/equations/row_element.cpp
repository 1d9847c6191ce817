#include "daes/equations/row_element.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <ostream>
#include <sstream>
#include <string>

#include "daes/model/parameter.h"
#include "daes/model/services.h"
#include "daes/model/variable.h"
#include "daes/problem/problem.h"
#include "daes/problem/solver_equation.h"
#include "expr/codegen/code_writer.h"
#include "expr/tree/operator_table.h"
#include "foundation/directory/directory_node.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/run_mode.h"
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
constexpr std::int32_t kTextSlots = daes::kStringArgumentBytes / 8;

// A text as a C string literal.
std::string Quoted(const char* text) {
  std::string quoted(1, '"');
  quoted += EscapedText(text);
  quoted.push_back('"');
  return quoted;
}

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

namespace {
// A real for the variable, through the problem's entry for a merged one.
Status StoreReal(DAESVarTableEntry* v, double x) {
  if (!std::isfinite(x)) return daes::kIndefiniteValue;
  DAESVarTableEntry* target = v;
  if ((v->GetFlags() & daes::kMerged) != 0) {
    if (DAESProblem* problem = GetCurrentProblem()) {
      if (DAESVarTableEntry* entry = problem->EntryFor(v)) target = entry;
    }
  }
  target->SetValue(x);
  return 0;
}

void StoreText(DAESVarTableEntry* v, const char* field, bool blank_padded) {
  // Read no further than the text's end: a C text need not fill 40 bytes.
  std::size_t n = strnlen(field, daes::kStringArgumentBytes);
  char text[daes::kStringArgumentBytes + 1] = {};
  std::memcpy(text, field, n);
  while (blank_padded && n > 0 && text[n - 1] == ' ') --n;
  text[n] = '\0';
  v->SetStringValue(text);
}

void StoreInteger(DAESVarTableEntry* v, const double* slot) {
  std::int64_t i = 0;
  std::memcpy(&i, slot, sizeof i);
  v->SetValueFromInteger(static_cast<std::int32_t>(i));
}
}  // namespace

Status DAESRowElement::UnpackFortran(const double* values, std::int32_t code,
                                     std::int32_t* position, std::int32_t index, std::int32_t) {
  DAESVarTableEntry* v = ElementVariable();
  ++*position;
  if (v == nullptr) return daes::kNoVariableBound;
  switch (code) {
    case daes::kRealInput:
      return StoreReal(v, values[index]);
    case daes::kStringInput:
      StoreText(v,
                reinterpret_cast<const char*>(values) +
                    static_cast<std::ptrdiff_t>(index) * daes::kStringArgumentBytes,
                true);
      return 0;
    case daes::kIntegerInput:
      StoreInteger(v, values + index);
      return 0;
    default:
      return 0;
  }
}

Status DAESRowElement::UnpackC(const double* values, std::int32_t code, std::int32_t* position) {
  DAESVarTableEntry* v = ElementVariable();
  const double* slot = values + *position;
  ++*position;
  if (v == nullptr) return daes::kNoVariableBound;
  switch (code) {
    case daes::kRealInput:
      return SolverIndex() >= 0 ? StoreReal(v, *slot) : 0;
    case daes::kStringInput: {
      const char* area = nullptr;
      std::memcpy(&area, slot, sizeof area);
      if (area != nullptr) StoreText(v, area, false);
      return 0;
    }
    case daes::kIntegerInput:
      StoreInteger(v, slot);
      return 0;
    default:
      return 0;
  }
}

std::int32_t DAESRowElement::ClaimOutput(bool is_output, std::int32_t* arguments,
                                         std::int32_t* outputs, std::int32_t wanted,
                                         DAESVarTableEntry** variable, std::int32_t base,
                                         std::int32_t) {
  ++*arguments;
  if (!is_output) return 0;
  if (++*outputs != wanted) return 0;
  *variable = ElementVariable();
  return base + 1;
}

void DAESRowElement::WritePack(std::ostream& out, std::uint32_t row, std::int32_t first,
                               std::int32_t element, std::int32_t count,
                               daes::PackCodeState* state, bool fortran) {
  const SUValue* v = ValuePointer();
  const bool output = row == kOutput || row == kStrOutput || row == kIntOutput;
  if (row == kStrInput) {
    const char* text = v != nullptr && v->GetString() != nullptr ? v->GetString() : "";
    const std::string quoted = Quoted(text);
    const char* declare = state->texts_declared ? "  psArgs = " : "  char *psArgs = ";
    state->texts_declared = true;
    if (fortran) {
      out << declare << "(char *)&pdInputs[" << first << "];\n"
          << "  PACKFTNSTRVECINPUT(" << daes::kStringArgumentBytes * element << "," << quoted
          << ");\n";
      return;
    }
    // The table holds the addresses of the texts' own 40-byte areas, kept
    // apart from the inputs so that the procedure sees the texts in place.
    if (element == 0) {
      out << "  if (!*pbCalled) {\n"
          << "    char **ppsArgs = (char **)&g_pInstance->pProcData[" << state->table << "];\n";
      for (std::int32_t k = 0; k < count; ++k) {
        out << "    *ppsArgs++ = (char *)&pdInputs[" << first + kTextSlots * k << "];\n";
      }
      out << "  }\n";
    }
    out << declare << "(char *)&g_pInstance->pProcData[" << state->table + element << "];\n"
        << "  PACKSTRVECINPUT(" << quoted << ");\n";
    if (element + 1 == count) state->table += count;
    return;
  }
  std::string value;
  if (row == kStrOutput) {
    const char* text = v != nullptr && v->GetString() != nullptr ? v->GetString() : "";
    value = Quoted(text);
  } else if (row != kIntInput && SolverIndex() >= 0 && (v == nullptr || v->type == SUValue::kReal)) {
    value = "x[" + std::to_string(SolverIndex()) + "]";
  } else if (row != kIntInput && v != nullptr &&
             (v->type & SUValue::kKindMask) == SUValue::kReal) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", v->payload.real);
    value = text;
  } else {
    value = std::to_string(v != nullptr && !v->IsArray() ? v->GetIntAt(0) : 0);
  }
  if (row == kIntInput) {
    out << (state->integers_declared ? "  piArgs = " : "  int *piArgs = ") << "(int *)&pdInputs["
        << first << "];\n"
        << "  PACKINTVECINPUT(" << element << "," << value << ");\n";
    state->integers_declared = true;
    return;
  }
  const std::int32_t width = row == kStrOutput ? kTextSlots : 1;
  out << (output ? "    PACKREALOUTPUT(" : "  PACKREALINPUT(") << first + element * width << ","
      << value << ");\n";
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
  if (held == nullptr || *held == nullptr || !IsSameElement(*held)) return 0;
  *held = nullptr;
  return Release();
}

Status DAESRowElement::MarkUsed(QLNRow* group) {
  DAESVarTableEntry* v = ElementVariable();
  if (v == nullptr) return daes::kNoVariableBound;
  // The group's entry of the same sequence number: an equivalence for a member.
  DAESSolverBlock* block = dynamic_cast<DAESSolverBlock*>(group);
  if (block == nullptr) block = GetCurrentProblem();
  const std::int32_t at = block != nullptr ? block->FindBySequence(v->SequenceNumber()) : -1;
  DAESVarTableEntry* entry = at >= 0 ? block->GetVariable(at) : nullptr;
  if (entry == nullptr) entry = v;
  entry->SetFlags(daes::kReferenced);
  // A derivative brings the state it belongs to.
  auto* dot = dynamic_cast<DAESDotVariable*>(entry);
  while (dot != nullptr) {
    DAESVarTableEntry* state = dot->GetStateVariable();
    if (state == nullptr) break;
    state->SetFlags(daes::kReferenced);
    dot = dynamic_cast<DAESDotVariable*>(state);
  }
  return 0;
}

std::int32_t DAESRowElement::MarkOccurrence(std::uint32_t sequence, std::int32_t column,
                                            std::int32_t pass, std::int32_t* counter,
                                            std::vector<DAESRowElement*>* parameters) {
  if (IsParameter() != 0) {
    if (parameters != nullptr) {
      parameters->push_back(this);
      if (counter != nullptr) ++*counter;
    }
    return 0;
  }
  DAESVarTableEntry* v = ElementVariable();
  if (v == nullptr || v->SequenceNumber() != sequence) return 0;
  SetClassMark(-1, column, pass);
  return 1;
}

Status DAESRowElement::SetColumnDerivative(const double* values, std::uint32_t i) {
  if (values == nullptr) return status::kBadArguments;
  AddToElement(i, values[0]);
  return 0;
}

Status DAESRowElement::RegisterIn(DAESEqnRow* target, QLNRow* source) {
  DAESVarTableEntry* v = ElementVariable();
  return v != nullptr ? v->RegisterIn(target, source) : daes::kNoVariableBound;
}

Status DAESRowElement::DerivativeStep(std::uint32_t flags, DAESSolverEquation* equation,
                                      double residual, std::int32_t column, std::int32_t pass,
                                      bool check, std::int32_t* counter, double* derivatives) {
  std::int32_t local = 0;
  if (counter == nullptr) counter = &local;
  if (equation == nullptr || IsParameter() != 0) return 0;
  const std::int32_t kind = ColumnClass(column, pass);
  if (kind <= 0) return 0;
  bool perturb = false;
  bool store = false;
  if (kind == 4) {
    perturb = store = (flags & daes::kEvalElementSteps) != 0;
  } else {
    if (derivatives != nullptr)
      derivatives[*counter] = ElementValue(static_cast<std::uint32_t>(column));
    perturb = check && kind == 3;
  }
  Status s = 0;
  if (perturb) {
    double numeric = 0.0;
    s = equation->PerturbDerivative(this, residual, &numeric, store);
    // A difference over a failed residual says nothing about the analytic
    // one, which only a check needs (the difference leaves it unchanged).
    if (kind == 3 && !status::IsFailure(s)) {
      equation->CheckDerivative(numeric, equation->DerivativeFor(ElementVariable()), this,
                                flags & daes::kEvalCheckNumerics);
    }
  }
  ++*counter;
  return s;
}

void DAESRowElement::PrintLine(std::ostream& out, std::int32_t index, std::int32_t column,
                               std::int32_t width, bool dynamic, const char* prefix,
                               std::int32_t prefix_index) {
  static constexpr char kKinds[] = "?ICVAN";
  if (prefix != nullptr) {
    out << prefix << '[' << (prefix_index + 1) << "] ";
  } else {
    out << 'V' << (index + 1) << ' ';
  }
  DAESVarTableEntry* v = ElementVariable();
  const std::int32_t half = width / 2;
  const std::int32_t kind = ColumnClass(column, dynamic ? 1 : 0);
  const char* name = NameText();
  out << std::setw(half) << (name != nullptr ? name : "") << std::setw(width)
      << (v != nullptr ? v->GetNameText() : "");
  std::ostringstream value;
  if (v == nullptr) {
    value << '?';
  } else if (v->TypedValue().Kind() == SUValue::kReal) {
    value << v->GetRealValue();
  } else {
    v->TypedValue().Print(value);
  }
  out << std::setw(width) << value.str();
  if (kind > 0) {
    out << std::setw(width) << ElementValue(static_cast<std::uint32_t>(column));
  } else {
    out << std::setw(width) << "inactive";
  }
  out << std::setw(half) << (kind >= -1 && kind <= 4 ? kKinds[kind + 1] : '?') << '\n';
}

void DAESRowElement::PrintValue(std::ostream& out) {
  DAESVarTableEntry* v = ElementVariable();
  out << (v != nullptr ? v->GetNameText() : "") << " = ";
  if (v != nullptr) v->TypedValue().Print(out);
}

void DAESMarkColumn(DAESRowElement* element, DAESClassCollector* collector, std::int32_t column,
                    bool outputs_only, std::int32_t pass, DAESRowElement* only) {
  if (element == nullptr || collector == nullptr) return;
  if (element->ElementKind() == daes::kArrayElement) {
    auto* array = static_cast<DAESArray*>(element);
    for (std::int32_t i = 1; i <= array->ElementCount(); ++i) {
      DAESMarkColumn(array->Member(i), collector, column, outputs_only, pass, only);
    }
    return;
  }
  if (outputs_only && only != nullptr && only != element) return;
  DAESVarTableEntry* v = element->ElementVariable();
  if (v == nullptr || element->IsParameter() != 0) return;
  collector->RecordClass(v, element->ColumnClass(column, pass), column);
}

DAESScalar::DAESScalar(DAESVarTableEntry* variable) : variable_(nullptr) {
  Bind(variable);
  // Room for the path of a variable a few steps below the root, made once.
  path_.Reserve(8);
  path_.Append(kIdPathRoot);
  path_.Append(kIdPathEnd);
  if (auto* node = dynamic_cast<BvuDirectoryNode*>(variable)) node->GetIdPath(&path_);
  if (variable != nullptr) {
    const char* name = variable->GetNameText();
    binding_name_ = name != nullptr ? name : "";
  }
}

DAESScalar::~DAESScalar() { Bind(nullptr); }

void DAESScalar::Bind(DAESVarTableEntry* variable) {
  if (variable == variable_) return;
  if (variable_ != nullptr) variable_->RemoveReferrer(this);
  variable_ = variable;
  if (variable_ != nullptr) variable_->AddReferrer(this);
}

void DAESScalar::EntryGone(DAESVarTableEntry* entry) {
  if (entry != variable_) return;
  variable_ = nullptr;
  daes::ElementLayoutChanged();
}

Status DAESScalar::ValueAtTime(std::int32_t key, double time, double* value) {
  *value = 0.0;
  const double now = GetSimulationTime();
  if (time > now) return daes::kLaterThanNow;
  if (variable_ == nullptr) return daes::kNoVariableBound;
  DAESSensitivityServices* sensitivity = daes::SensitivityServices();
  if (sensitivity == nullptr) return daes::kNotImplemented;
  return sensitivity->GetValueAtTime(variable_, key, now - time, value);
}

Status DAESScalar::Rebind(DAESVariableTable* table) {
  if (table == nullptr) return 0;
  DAESVarTableEntry* found = nullptr;
  const Status s = table->FindVariable(binding_name_.c_str(), &found);
  Bind(status::IsFailure(s) ? nullptr : found);
  daes::ElementLayoutChanged();
  return s;
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

Status DAESScalar::DelayedValueWeight(double lag, double* weight) {
  if (variable_ == nullptr) {
    *weight = 1.0;
    return daes::kNotImplemented;
  }
  return variable_->DelayedValueWeight(lag, weight);
}

DAESArray::DAESArray(std::uint16_t type) {
  // One dimension more than the members have: an array of arrays keeps
  // every level.
  const std::uint16_t dims = static_cast<std::uint16_t>((type >> 8) + 1);
  value_.SetType(static_cast<std::uint16_t>((dims << 8) | (type & 0x0F)));
}

DAESArray::~DAESArray() {
  ReleaseAdviseLink();
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

Status DAESArray::UnpackFortran(const double* values, std::int32_t code, std::int32_t* position,
                                std::int32_t index, std::int32_t stride) {
  const std::int32_t n = ElementCount();
  Status result = 0;
  for (std::int32_t i = 0; i < n; ++i) {
    DAESRowElement* m = members_[static_cast<std::size_t>(i)];
    if (m == nullptr) continue;
    const Status s = m->UnpackFortran(values, code, position, index + i * stride, n * stride);
    if (status::IsFailure(s) && !status::IsFailure(result)) result = s;
  }
  return result;
}

Status DAESArray::UnpackC(const double* values, std::int32_t code, std::int32_t* position) {
  Status result = 0;
  for (DAESRowElement* m : members_) {
    if (m == nullptr) continue;
    const Status s = m->UnpackC(values, code, position);
    if (status::IsFailure(s) && !status::IsFailure(result)) result = s;
  }
  return result;
}

std::int32_t DAESArray::ClaimOutput(bool is_output, std::int32_t* arguments, std::int32_t* outputs,
                                    std::int32_t wanted, DAESVarTableEntry** variable,
                                    std::int32_t base, std::int32_t stride) {
  if (parameter_) return 0;
  const std::int32_t n = ElementCount();
  for (std::int32_t i = 0; i < n; ++i) {
    DAESRowElement* m = members_[static_cast<std::size_t>(i)];
    if (m == nullptr) continue;
    const std::int32_t r = m->ClaimOutput(is_output, arguments, outputs, wanted, variable,
                                          base + i * stride, n * stride);
    if (r != 0) return r;
  }
  return 0;
}

SUValue* DAESArray::ValuePointer() {
  Refresh(0);
  return &value_;
}

Status DAESArray::SetMember(std::int32_t index, DAESRowElement* member) {
  if (index < 1) return daes::kNotImplemented;
  if (static_cast<std::size_t>(index) > members_.size()) {
    members_.resize(index, nullptr);
    list_.resize(index, nullptr);
  }
  DAESRowElement*& slot = members_[static_cast<std::size_t>(index - 1)];
  if (slot != nullptr) slot->Release();
  slot = member;
  list_[static_cast<std::size_t>(index - 1)] = member;
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

void DAESArray::Refresh(std::int32_t force) { RefreshTree(force != 0, force == 0); }

void DAESArray::RefreshTree(bool force, bool ask_holder) {
  if (parameter_ && ask_holder && holder_ != nullptr && holder_->Changed()) {
    holder_->Update();
    refreshed_ = true;
  }
  // A forced refresh may bring new values: the next pack must write them.
  if (force) refreshed_ = true;
  value_.Resize(static_cast<std::int32_t>(members_.size()));
  for (std::size_t i = 0; i < members_.size(); ++i) {
    DAESRowElement* m = members_[i];
    if (m == nullptr) continue;
    const SUValue* v = nullptr;
    if (m->ElementKind() == daes::kArrayElement) {
      // Its value once refreshed, not through ValuePointer, which would
      // refresh its tree a second time at every level.
      auto* member = static_cast<DAESArray*>(m);
      member->RefreshTree(refreshed_, true);
      v = &member->value_;
    } else {
      if (refreshed_) m->Refresh(1);
      v = m->ValuePointer();
    }
    if (v != nullptr) value_.SetElement(static_cast<std::int32_t>(i), *v);
  }
}

std::int32_t DAESArray::SetSize(std::uint32_t count, bool allocate) {
  std::int32_t result = 0;
  for (DAESRowElement* m : members_) {
    if (m == nullptr) continue;
    result = m->SetSize(count, allocate);
    if (result < 0) return result;
  }
  return result;
}

std::int32_t DAESArray::ColumnClass(std::int32_t i, std::int32_t j) {
  if (parameter_) return 0;
  for (DAESRowElement* m : members_) {
    const std::int32_t kind = m != nullptr ? m->ColumnClass(i, j) : 0;
    if (kind != 0) return kind;
  }
  return 0;
}

std::int32_t DAESArray::SetClassMark(std::int8_t marker, std::int32_t i, std::int32_t j) {
  if (!parameter_) {
    for (DAESRowElement* m : members_) {
      if (m != nullptr) m->SetClassMark(marker, i, j);
    }
  }
  return ColumnClass(i, j);
}

void DAESArray::SetElementValue(std::uint32_t i, double value) {
  if (parameter_) return;
  for (DAESRowElement* m : members_) {
    if (m != nullptr) m->SetElementValue(i, value);
  }
}

void DAESArray::AddToElement(std::uint32_t i, double value) {
  if (parameter_) return;
  for (DAESRowElement* m : members_) {
    if (m != nullptr) m->AddToElement(i, value);
  }
}

Status DAESArray::MarkUsed(QLNRow* group) {
  Status result = 0;
  for (DAESRowElement* m : members_) {
    const Status s = m != nullptr ? m->MarkUsed(group) : 0;
    if (status::IsFailure(s) && !status::IsFailure(result)) result = s;
  }
  return result;
}

Status DAESArray::RegisterIn(DAESEqnRow* target, QLNRow* source) {
  Status s = 0;
  for (DAESRowElement* m : members_) {
    if (m == nullptr) continue;
    s = m->RegisterIn(target, source);
    if (status::IsFailure(s)) return s;
  }
  return s;
}

std::int32_t DAESArray::MarkOccurrence(std::uint32_t sequence, std::int32_t column,
                                       std::int32_t pass, std::int32_t* counter,
                                       std::vector<DAESRowElement*>* parameters) {
  if (parameter_) {
    if (parameters == nullptr) {
      // The array's own list is made once.
      if (!own_parameters_.empty()) return 0;
      own_parameters_.reserve(static_cast<std::size_t>(TotalCount()));
      parameters = &own_parameters_;
    }
    for (DAESRowElement* m : members_) {
      if (m != nullptr) m->MarkOccurrence(sequence, column, pass, counter, parameters);
    }
    return 0;
  }
  // Every occurrence takes the mark, not only the first.
  std::int32_t found = 0;
  for (DAESRowElement* m : members_) {
    if (m != nullptr && m->MarkOccurrence(sequence, column, pass, counter, parameters) == 1) {
      found = 1;
    }
  }
  return found;
}

Status DAESArray::SetColumnDerivative(const double* values, std::uint32_t i) {
  if (values == nullptr) return status::kBadArguments;
  Status s = 0;
  for (std::size_t k = 0; k < members_.size(); ++k) {
    if (members_[k] == nullptr) continue;
    s = members_[k]->SetColumnDerivative(values + k, i);
    if (status::IsFailure(s)) return s;
  }
  return s;
}

void DAESArray::ReleaseAdviseLink() {
  for (DAESRowElement* m : members_) {
    if (m != nullptr) m->ReleaseAdviseLink();
  }
}

Status DAESArray::Rebind(DAESVariableTable* table) {
  Status s = 0;
  for (DAESRowElement* m : members_) {
    if (m == nullptr) continue;
    s = m->Rebind(table);
    if (status::IsFailure(s)) return s;
  }
  return s;
}

Status DAESArray::DerivativeStep(std::uint32_t flags, DAESSolverEquation* equation, double residual,
                                 std::int32_t column, std::int32_t pass, bool check,
                                 std::int32_t* counter, double* derivatives) {
  if (parameter_) return 0;
  Status s = 0;
  for (DAESRowElement* m : members_) {
    if (m == nullptr) continue;
    s = m->DerivativeStep(flags, equation, residual, column, pass, check, counter, derivatives);
    if (status::IsFailure(s)) return s;
  }
  return s;
}

bool DAESArray::IsSameElement(DAESRowElement* other) {
  if (other == nullptr || other == this) return false;
  for (std::size_t i = 0; i < members_.size(); ++i) {
    if (members_[i] != other) continue;
    // The slot held a reference: cleared without a release it would leak.
    members_[i]->Release();
    members_[i] = nullptr;
    list_[i] = nullptr;
  }
  return false;
}

std::uint32_t DAESArray::ReleaseIfSame(DAESRowElement** held) {
  if (held == nullptr) return 0;
  if (*held == this) return DAESRowElement::ReleaseIfSame(held);
  std::uint32_t result = 0;
  for (DAESRowElement* m : members_) {
    if (*held == nullptr) break;
    if (m != nullptr) result = m->ReleaseIfSame(held);
  }
  return result;
}

void DAESArray::PrintLine(std::ostream& out, std::int32_t index, std::int32_t column,
                          std::int32_t width, bool dynamic, const char* prefix, std::int32_t) {
  std::ostringstream head;
  if (prefix != nullptr) {
    head << prefix << '[' << (index + 1) << ']';
  } else {
    head << 'A' << (index + 1);
  }
  const std::string text = head.str();
  for (std::size_t i = 0; i < members_.size(); ++i) {
    const auto k = static_cast<std::int32_t>(i);
    if (members_[i] != nullptr) {
      members_[i]->PrintLine(out, k, column, width, dynamic, text.c_str(), k);
    }
  }
}

void DAESArray::PrintValue(std::ostream& out) {
  out << name_;
  for (std::size_t i = 0; i < members_.size(); ++i) {
    out << (i == 0 ? "=<" : ",<");
    if (members_[i] != nullptr) members_[i]->PrintValue(out);
    out << '>';
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
    } else if (depth > daes::kMostArrayDimensions) {
      return daes::kArrayTooDeep;
    } else {
      s = ReadArray(stream, instance, depth - 1, &element, scalars);
      if (status::IsFailure(s)) return s;
      element->Refresh(1);
    }
    elements->push_back(element);
  }
  return 0;
}
