#include "daes/problem/enumerators.h"

#include "daes/blocks/solver_block.h"
#include "daes/equations/equation_node.h"
#include "daes/model/variable.h"
#include "daes/problem/solver_equation.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/solver_options.h"
#include "platform/com.h"
#include "platform/com_status.h"

namespace {
constexpr std::uint32_t kFixedFlag = 0x80;

std::uint32_t KindFlags(std::uint32_t f) {
  std::uint32_t kind = (f & 0x10) != 0 ? 16 : 32;
  if ((f & 0x80) != 0) kind += 96;
  kind += (f & 0x01) != 0 ? 1 : (f & 0x04) != 0 ? 4 : 2;
  if ((f & 0x08) != 0) kind += 8;
  if ((f & 0x800) != 0) kind += 0x800;
  return kind;
}

// The state of a derivative, the derivative of a state.
DAESVarTableEntry* Linked(DAESVarTableEntry* v) {
  if (auto* dot = v->AsDotVariable()) return dot->GetStateVariable();
  return v->GetDerivative();
}

// The model equation of a row whose model makes more than one row (a
// procedure call with several outputs), else -1: a server that tears such
// rows must know which of them one call solves together.
std::int64_t MultiRowModel(QLNEquation* row) {
  auto* solver = dynamic_cast<DAESSolverEquation*>(row->UnderlyingEquation());
  DAESSimpleEquation* model = solver != nullptr ? solver->ModelEquation() : nullptr;
  if (model == nullptr || model->RowCount() < 2) return -1;
  return static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(model));
}

template <typename Self>
Status Answer(Self* self, const platform::IID& iid, const platform::IID& own, void** object) {
  if (object == nullptr) return platform::E_INVALIDARG;
  if (iid != platform::IID_IUnknown && iid != own) {
    *object = nullptr;
    return platform::E_NOINTERFACE;
  }
  self->AddRef();
  *object = self;
  return 0;
}
}  // namespace

std::int32_t DAESBlockEnumSource::ActiveVariableCount() { return block_->VariableCount(); }
DAESVarTableEntry* DAESBlockEnumSource::GetVariable(std::int32_t i) {
  return block_->GetVariable(i);
}
std::int32_t DAESBlockEnumSource::GroupColumnOf(DAESVarTableEntry* v) {
  return block_->FindVariable(v);
}
std::int32_t DAESBlockEnumSource::GroupRowCount() {
  return static_cast<std::int32_t>(block_->GetRowCount());
}
QLNEquation* DAESBlockEnumSource::GroupRow(std::int32_t i) {
  return i < 0 ? nullptr
               : dynamic_cast<QLNEquation*>(block_->GetRow(static_cast<std::uint32_t>(i)));
}

DAESVariableWalk::DAESVariableWalk(DAESEnumSource* source, std::uint32_t options)
    : source_(source), exclude_((options & daes::kEnumExcludeFixed) != 0 ? kFixedFlag : 0) {}

Status DAESVariableWalk::Fill(std::uint32_t count, QLNVariableRecord* records,
                              std::uint32_t* fetched, bool version13) {
  const std::int32_t n = source_->ActiveVariableCount();
  std::uint32_t written = 0;
  while (written < count && position_ < n) {
    DAESVarTableEntry* v = source_->GetVariable(position_);
    const std::int32_t index = position_++;
    if (v == nullptr) continue;
    const std::uint32_t f = v->GetFlags();
    if ((f & include_) == 0 || (f & exclude_) != 0) continue;
    DAESVarTableEntry* linked = Linked(v);
    if (version13 && linked != nullptr && v->AsDotVariable() != nullptr &&
        (linked->GetFlags() & exclude_) != 0) {
      continue;
    }
    QLNVariableRecord& r = records[written++];
    r = QLNVariableRecord{};
    r.variable = v;
    r.index = index;
    r.kind = KindFlags(f);
    const std::int32_t column = linked != nullptr ? source_->GroupColumnOf(linked) : 0;
    r.linked = column - 1;
    if (version13 && (f & 0x01) != 0 && column == 0) r.kind += 1;  // 1 becomes 2
    r.value = v->GetScaledValue();
    v->GetStoredBounds(&r.lower, &r.upper);
  }
  *fetched = written;
  return position_ >= n ? 1 : 0;
}

Status DAESVarDataEnum::QueryInterface(const platform::IID& iid, void** object) {
  return Answer(this, iid, daes::IID_IEnumQLNVariableData, object);
}
std::uint32_t DAESVarDataEnum::Release() {
  if (--refs_ != 0) return refs_;
  delete this;
  return 0;
}
Status DAESVarDataEnum::Next(std::uint32_t count, QLNVariableRecord** records,
                             std::uint32_t* fetched) {
  if (records == nullptr || fetched == nullptr) return platform::E_INVALIDARG;
  *records = static_cast<QLNVariableRecord*>(
      platform::CoTaskMemAlloc(sizeof(QLNVariableRecord) * (count > 0 ? count : 1)));
  if (*records == nullptr) return platform::E_OUTOFMEMORY;
  return Fill(count, *records, fetched, false);
}
Status DAESVarDataEnum::Skip(std::uint32_t) { return platform::E_NOTIMPL; }
Status DAESVarDataEnum::Reset() { return platform::E_NOTIMPL; }
Status DAESVarDataEnum::Clone(IEnumQLNVariableData**) { return platform::E_NOTIMPL; }

Status DAESVarData13Enum::QueryInterface(const platform::IID& iid, void** object) {
  return Answer(this, iid, daes::IID_IEnumQLN13VariableData, object);
}
std::uint32_t DAESVarData13Enum::Release() {
  if (--refs_ != 0) return refs_;
  delete this;
  return 0;
}
Status DAESVarData13Enum::Next(std::uint32_t count, QLNVariableRecord* records,
                               std::uint32_t* fetched) {
  if (records == nullptr || fetched == nullptr) return platform::E_INVALIDARG;
  return Fill(count, records, fetched, true);
}
Status DAESVarData13Enum::Skip(std::uint32_t) { return platform::E_NOTIMPL; }
Status DAESVarData13Enum::Reset() { return platform::E_NOTIMPL; }
Status DAESVarData13Enum::Clone(IEnumQLN13VariableData**) { return platform::E_NOTIMPL; }

DAESEqnDataEnum::DAESEqnDataEnum(DAESEnumSource* source)
    : source_(source), detail_(static_cast<std::uint32_t>(IsIntegratorOptionOn())) {}

Status DAESEqnDataEnum::QueryInterface(const platform::IID& iid, void** object) {
  return Answer(this, iid, daes::IID_IEnumQLNEquationData, object);
}
std::uint32_t DAESEqnDataEnum::Release() {
  if (--refs_ != 0) return refs_;
  delete this;
  return 0;
}
Status DAESEqnDataEnum::Next(std::uint32_t count, QLNEquationRecord* records,
                             std::uint32_t* fetched) {
  if (records == nullptr || fetched == nullptr) return platform::E_INVALIDARG;
  const std::int32_t n = source_->GroupRowCount();
  std::uint32_t written = 0;
  while (written < count && position_ < n) {
    QLNEquation* row = source_->GroupRow(position_);
    QLNEquationRecord& r = records[written++];
    r.equation = row;
    r.index = position_++;
    const bool torn = detail_ != 0 && row != nullptr && (row->GetFlags() & 0x8) != 0;
    r.flags = torn ? 8 : 0;
    r.model = torn ? MultiRowModel(row) : -1;
  }
  *fetched = written;
  return position_ >= n ? 1 : 0;
}
Status DAESEqnDataEnum::Skip(std::uint32_t) { return platform::E_NOTIMPL; }
Status DAESEqnDataEnum::Reset() { return platform::E_NOTIMPL; }
Status DAESEqnDataEnum::Clone(IEnumQLNEquationData**) { return platform::E_NOTIMPL; }
