// The setters of the option table: what a write stores, and that every write
// ends with the number's clients being told.
#include <cstdlib>
#include <cstring>

#include "foundation/directory/id_path.h"
#include "foundation/interfaces/solver_options_owner.h"
#include "solve/options/solver_option_table.h"

namespace {

constexpr std::int32_t kFirstIntegerSettable = 21;
constexpr std::int32_t kLastRealSettable = 163;

bool IsTextNumber(std::int32_t number) {
  return number == 125 || number == 126 || number == 151 || number == 152;
}

}  // namespace

// Integers and flags alike; a staged option keeps the value as requested and
// marks a pending change when it differs from the value in force.
void SolverOptionTable::StoreWhole(Slot& slot, std::int32_t value) {
  Value& target = slot.staged ? slot.requested : slot.in_force;
  if (slot.kind == Kind::kFlag) {
    target.flag = value != 0 ? 1 : 0;
    if (slot.staged && slot.requested.flag != slot.in_force.flag) pending_ = 1;
  } else {
    target.integer = value;
    if (slot.staged && slot.requested.integer != slot.in_force.integer) pending_ = 1;
  }
}

Status SolverOptionTable::SetInteger(std::int32_t number, std::int32_t value) {
  Slot* slot = SlotOf(number);
  if (slot == nullptr) return status::kGeneralFailure;
  const void* told = &value;
  Status result = status::kGeneralFailure;
  if (number >= kFirstIntegerSettable) {
    // Stored whatever the descriptor's bounds: some values outside them
    // have a meaning (a negative PrintLevel is silence), and a reader that
    // cannot take a value refuses it and says what it goes on with.
    if (slot->kind == Kind::kInteger || slot->kind == Kind::kFlag) {
      StoreWhole(*slot, value);
      const Value& stored = slot->staged ? slot->requested : slot->in_force;
      told = slot->kind == Kind::kFlag ? static_cast<const void*>(&stored.flag)
                                       : static_cast<const void*>(&stored.integer);
      result = status::kOk;
    } else if (slot->kind == Kind::kUnstored) {
      result = status::kOk;
    }
    if (number == kOptPrintLevel && result == status::kOk && owner_ != nullptr) {
      owner_->SetPrintLevel(value);
    }
  }
  MarkChanged();
  Notify(number, told);
  return result;
}

Status SolverOptionTable::SetReal(std::int32_t number, double value) {
  Slot* slot = SlotOf(number);
  if (slot == nullptr) return status::kGeneralFailure;
  const void* told = &value;
  Status result = status::kGeneralFailure;
  if (number <= kLastRealSettable && slot->kind == Kind::kReal) {
    slot->in_force.real = value;
    told = &slot->in_force.real;
    result = status::kOk;
  }
  MarkChanged();
  Notify(number, told);
  return result;
}

// A logical value stores nothing: flags are written as integers. The
// clients are still called, with the value the table keeps, so that they
// stay in step with it.
Status SolverOptionTable::SetFlag(std::int32_t number, bool value) {
  Slot* slot = SlotOf(number);
  if (slot == nullptr) return status::kGeneralFailure;
  const std::int32_t whole = value ? 1 : 0;
  const void* told = &whole;
  if (slot->kind == Kind::kFlag || slot->kind == Kind::kInteger) {
    const Value& kept = slot->staged ? slot->requested : slot->in_force;
    told = slot->kind == Kind::kFlag ? static_cast<const void*>(&kept.flag)
                                     : static_cast<const void*>(&kept.integer);
  }
  Notify(number, told);
  return status::kGeneralFailure;
}

Status SolverOptionTable::SetText(std::int32_t number, const char* text) {
  Slot* slot = SlotOf(number);
  if (slot == nullptr) return status::kGeneralFailure;
  const void* told = text;
  Status result = status::kGeneralFailure;
  if (IsTextNumber(number)) {
    char* copy = nullptr;
    if (text != nullptr) {
      const std::size_t length = std::strlen(text) + 1;
      copy = static_cast<char*>(std::malloc(length));
      if (copy != nullptr) std::memcpy(copy, text, length);
    }
    if (text == nullptr || copy != nullptr) {
      std::free(slot->in_force.text);
      slot->in_force.text = copy;
      told = copy;
      result = status::kOk;
    }
  }
  MarkChanged();
  Notify(number, told);
  return result;
}

Status SolverOptionTable::SetValue(std::int32_t number, const SUValue& value) {
  switch (value.type) {
    case SUValue::kInteger:
      return SetInteger(number, value.payload.integer);
    case SUValue::kLogical:
      return SetFlag(number, value.payload.integer != 0);
    case SUValue::kReal:
      return SetReal(number, value.payload.real);
    case SUValue::kString:
      return SetText(number, value.GetString());
    default:
      return status::kOk;
  }
}

std::uint32_t SolverOptionTable::WrittenNumber(const BvuIdPath& ids, std::uint32_t first) {
  if (first != 0) return first;
  // Clients name the option either by the selector or by the path's one id;
  // a selector of 0 with a path of one id means that id.
  std::uint32_t only = 0;
  std::int32_t steps = 0;
  for (const std::uint32_t id : ids.ids()) {
    if (id == kIdPathRoot || id == kIdPathEnd) continue;
    only = id;
    ++steps;
  }
  return steps == 1 ? only : first;
}

Status SolverOptionTable::SetItem(std::uint32_t, const BvuIdPath& ids, std::uint32_t,
                                  std::uint32_t first, SUValue* value) {
  if (value == nullptr) return status::kBadArguments;
  const std::uint32_t number = WrittenNumber(ids, first);
  if (number >= static_cast<std::uint32_t>(kOptionNumberCount)) return status::kGeneralFailure;
  return SetValue(static_cast<std::int32_t>(number), *value);
}
