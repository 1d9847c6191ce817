#include "daes/blocks/solver_block.h"

#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/group_method.h"
#include "platform/unknown.h"

namespace {
// Run-selection bits of fixed variables kept in the last segment.
constexpr std::uint32_t kRunSelectionBits = 0x500000;
constexpr std::uint32_t kMethodCount = 4;

// The position of the entry with `sequence` in [low, high), or the
// insertion point as -(point) - 1.
std::int64_t SearchSequence(DAESVarTableEntry* const* items, std::uint32_t low, std::uint32_t high,
                            std::uint32_t sequence) {
  std::int64_t lo = low;
  std::int64_t hi = static_cast<std::int64_t>(high) - 1;
  while (lo <= hi) {
    const std::int64_t middle = (lo + hi) / 2;
    const std::uint32_t at = items[middle]->SequenceNumber();
    if (at == sequence) return middle;
    if (at < sequence) {
      lo = middle + 1;
    } else {
      hi = middle - 1;
    }
  }
  return -lo - 1;
}
}  // namespace

DAESBlock::~DAESBlock() {
  for (std::uint32_t i = 0; i < indeterminate_.Count(); ++i) {
    indeterminate_.At(i)->MarkIndeterminate(false);
  }
  ReleaseEquationSetObject();
}

void DAESBlock::ReleaseEquationSetObject() {
  if (equation_set_ != nullptr) equation_set_->Release();
  equation_set_ = nullptr;
  corrector_factors_ = -1.0;
  settings_mark_ = {};
}

void DAESBlock::Reset() { ReleaseEquationSetObject(); }

Status DAESBlock::AddIndeterminate(DAESVarTableEntry* variable) {
  const std::int64_t found =
      SearchSequence(indeterminate_.Data(), 0, indeterminate_.Count(), variable->SequenceNumber());
  if (found >= 0) return 0;
  const Status status = indeterminate_.Insert(static_cast<std::uint32_t>(-found - 1), variable);
  if (status == 0) {
    variable->MarkIndeterminate(true);
    flags_ |= daes::kHasIndeterminate;
  }
  return status;
}

Status DAESBlock::RemoveIndeterminate(DAESVarTableEntry* variable) {
  const std::int64_t found =
      SearchSequence(indeterminate_.Data(), 0, indeterminate_.Count(), variable->SequenceNumber());
  if (found < 0) return 0;
  indeterminate_.At(static_cast<std::uint32_t>(found))->MarkIndeterminate(false);
  indeterminate_.Erase(static_cast<std::uint32_t>(found));
  if (indeterminate_.Count() == 0) flags_ &= ~daes::kHasIndeterminate;
  return 0;
}

DAESSolverBlock::DAESSolverBlock(std::uint32_t reserve)
    : DAESBlock(1), rows_(reserve, reserve > 0 ? reserve * 1024 : 4096),
      vars_(reserve, reserve > 0 ? reserve * 1024 : 4096) {}

DAESSolverBlock::~DAESSolverBlock() {
  for (std::uint32_t i = 0; i < rows_.Count(); ++i) delete rows_.At(i);
  DropWorkspace();
}

void DAESSolverBlock::DropWorkspace() {
  if (workspace_ != nullptr && kind_ < kMethodCount) {
    if (QLNGroupMethod* method = GetGroupMethod(static_cast<std::int32_t>(kind_))) {
      method->DropWorkspace(&workspace_);
    }
  }
  workspace_ = nullptr;
}

void DAESSolverBlock::Reset() {
  DAESBlock::Reset();
  DropWorkspace();
}

DAESSolverBlock::Segment DAESSolverBlock::SegmentOf(DAESVarTableEntry* variable) {
  const std::uint32_t f = variable->GetFlags();
  if ((f & daes::kState) != 0) return kKnown;
  if ((f & daes::kAlgebraic) != 0) return kUnknown;
  if ((flags_ & daes::kEquationSetBlock) != 0 && (f & daes::kFixed) != 0 &&
      (f & kRunSelectionBits) != 0) {
    return kLast;
  }
  return kOther;
}

void DAESSolverBlock::CountClass(Segment segment) {
  switch (segment) {
    case kKnown:
      ++known_;
      break;
    case kUnknown:
      ++unknown_;
      break;
    case kOther:
      ++other_;
      break;
    case kLast:
      ++last_;
      break;
  }
}

std::int32_t DAESSolverBlock::InsertVariable(DAESVarTableEntry* variable, std::int32_t* position) {
  const Segment segment = SegmentOf(variable);
  std::int32_t result = 0;
  if (bulk_ && InsertBeside(variable, segment, position, &result)) return result;
  Settle();
  const std::uint32_t counts[] = {known_, unknown_, other_, last_};
  std::uint32_t low = 0;
  for (int s = 0; s < segment; ++s) low += counts[s];
  // Appended variables may stand past the counted segments.
  const std::uint32_t high = std::min(low + counts[segment], vars_.Count());
  low = std::min(low, high);
  const std::int64_t found = SearchSequence(vars_.Data(), low, high, variable->SequenceNumber());
  if (found >= 0) {
    *position = static_cast<std::int32_t>(found);
    return static_cast<std::int32_t>(found) + 1;
  }
  const auto at = static_cast<std::uint32_t>(-found - 1);
  if (vars_.Insert(at, variable) != 0) {
    *position = -1;
    return -1;
  }
  Joined(variable);
  CountClass(segment);
  *position = static_cast<std::int32_t>(at);
  return 0;
}

Status DAESSolverBlock::AddVariable(DAESVarTableEntry* variable) {
  std::int32_t position = 0;
  return InsertVariable(variable, &position) < 0 ? daes::kBlockOutOfMemory : 0;
}

// Answers when the variable is found in its segment or its place is the
// one where the segment's waiting entries stand; false leaves the sorted
// insert to the caller.
bool DAESSolverBlock::InsertBeside(DAESVarTableEntry* variable, Segment segment,
                                   std::int32_t* position, std::int32_t* result) {
  if (appended_) return false;
  const std::uint32_t counts[] = {known_, unknown_, other_, last_};
  std::uint32_t flat_low = 0;
  std::uint32_t logical_low = 0;
  for (int s = 0; s < segment; ++s) {
    flat_low += counts[s] - static_cast<std::uint32_t>(runs_[s].size());
    logical_low += counts[s];
  }
  std::vector<DAESVarTableEntry*>& run = runs_[segment];
  const auto waiting = static_cast<std::uint32_t>(run.size());
  const std::uint32_t flat_high = flat_low + counts[segment] - waiting;
  if (flat_high > vars_.Count()) return false;
  const std::uint32_t sequence = variable->SequenceNumber();
  const std::int64_t found = SearchSequence(vars_.Data(), flat_low, flat_high, sequence);
  if (found >= 0) {
    const auto offset = static_cast<std::uint32_t>(found) - flat_low;
    const std::uint32_t at = logical_low + offset + (offset >= run_at_[segment] ? waiting : 0);
    *position = static_cast<std::int32_t>(at);
    *result = static_cast<std::int32_t>(at) + 1;
    return true;
  }
  const auto offset = static_cast<std::uint32_t>(-found - 1) - flat_low;
  std::uint32_t at = logical_low + offset;
  if (waiting == 0 && flat_low + offset == vars_.Count()) {
    // Nothing stands behind: an insert at the end moves nothing.
    if (vars_.Insert(vars_.Count(), variable) != 0) {
      *position = -1;
      *result = -1;
      return true;
    }
  } else if (waiting == 0) {
    run_at_[segment] = offset;
    run.push_back(variable);
    ++pending_;
  } else {
    if (offset != run_at_[segment]) return false;
    const std::int64_t in_run = SearchSequence(run.data(), 0, waiting, sequence);
    if (in_run >= 0) {
      at += static_cast<std::uint32_t>(in_run);
      *position = static_cast<std::int32_t>(at);
      *result = static_cast<std::int32_t>(at) + 1;
      return true;
    }
    const auto j = static_cast<std::uint32_t>(-in_run - 1);
    run.insert(run.begin() + j, variable);
    ++pending_;
    at += j;
  }
  Joined(variable);
  CountClass(segment);
  *position = static_cast<std::int32_t>(at);
  *result = 0;
  return true;
}

void DAESSolverBlock::Settle() {
  if (pending_ == 0) return;
  std::uint32_t lows[4];
  std::uint32_t low = 0;
  const std::uint32_t counts[] = {known_, unknown_, other_, last_};
  for (int s = 0; s < 4; ++s) {
    lows[s] = low;
    low += counts[s] - static_cast<std::uint32_t>(runs_[s].size());
  }
  // From the last segment back, so that each run's place still holds.
  for (int s = 3; s >= 0; --s) {
    std::vector<DAESVarTableEntry*>& run = runs_[s];
    if (run.empty()) continue;
    vars_.InsertRun(lows[s] + run_at_[s], run.data(), static_cast<std::uint32_t>(run.size()));
    std::vector<DAESVarTableEntry*>().swap(run);
    run_at_[s] = 0;
  }
  pending_ = 0;
}

DAESVarTableEntry* DAESSolverBlock::PendingAt(std::int32_t i) const {
  if (i < 0) return nullptr;
  auto at = static_cast<std::uint32_t>(i);
  const std::uint32_t counts[] = {known_, unknown_, other_, last_};
  std::uint32_t flat = 0;
  for (int s = 0; s < 4; ++s) {
    const auto waiting = static_cast<std::uint32_t>(runs_[s].size());
    if (at < counts[s]) {
      if (at < run_at_[s] || waiting == 0) return vars_.At(flat + at);
      if (at < run_at_[s] + waiting) return runs_[s][at - run_at_[s]];
      return vars_.At(flat + at - waiting);
    }
    at -= counts[s];
    flat += counts[s] - waiting;
  }
  return vars_.At(flat + at);
}

Status DAESSolverBlock::AppendVariable(DAESVarTableEntry* variable) {
  Settle();
  appended_ = true;
  const Status status = vars_.Insert(vars_.Count(), variable);
  if (status == 0) {
    Joined(variable);
    CountClass(SegmentOf(variable));
  }
  return status;
}

std::int32_t DAESSolverBlock::FindVariable(const DAESVarTableEntry* variable) const {
  // The integrator asks for every variable's column at each read, so a
  // scan would make a read quadratic in the table.
  constexpr std::uint32_t kScanLimit = 16;
  const std::uint32_t n = Table().Count();
  if (n <= kScanLimit) {
    for (std::uint32_t i = 0; i < n; ++i) {
      if (vars_.At(i) == variable) return static_cast<std::int32_t>(i) + 1;
    }
    return 0;
  }
  if (variable == nullptr) return 0;
  const auto slot_of = [this](const DAESVarTableEntry* entry) {
    const auto key = reinterpret_cast<std::uintptr_t>(entry);
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> position_shift_);
  };
  if (!positions_valid_) {
    int bits = 1;
    while ((std::size_t{1} << bits) < 2 * static_cast<std::size_t>(n)) ++bits;
    position_shift_ = 64 - bits;
    positions_.assign(std::size_t{1} << bits, PositionSlot{});
    repeated_entries_ = false;
    const std::size_t mask = positions_.size() - 1;
    for (std::uint32_t i = 0; i < n; ++i) {
      const DAESVarTableEntry* entry = vars_.At(i);
      std::size_t at = slot_of(entry);
      while (positions_[at].entry != nullptr && positions_[at].entry != entry) at = (at + 1) & mask;
      if (positions_[at].entry == nullptr) {
        positions_[at] = {entry, static_cast<std::int32_t>(i) + 1};
      } else {
        repeated_entries_ = true;
      }
    }
    positions_valid_ = true;
  }
  // Where this or another block found the entry last, checked: mostly
  // right, as the integrator asks the problem again and again. A table
  // listing an entry twice answers its first place, which only the index
  // knows.
  const std::int32_t hint = variable->PositionHint();
  if (!repeated_entries_ && hint >= 0 && static_cast<std::uint32_t>(hint) < n &&
      vars_.At(static_cast<std::uint32_t>(hint)) == variable) {
    return hint + 1;
  }
  const std::size_t mask = positions_.size() - 1;
  for (std::size_t at = slot_of(variable);; at = (at + 1) & mask) {
    const PositionSlot& slot = positions_[at];
    if (slot.entry == variable) {
      variable->SetPositionHint(slot.position - 1);
      return slot.position;
    }
    if (slot.entry == nullptr) return 0;
  }
}

bool DAESSolverBlock::HoldsVariable(const DAESVarTableEntry* variable) const {
  constexpr std::uint32_t kScanLimit = 16;
  const std::uint32_t n = Table().Count();
  if (n <= kScanLimit || positions_valid_) return FindVariable(variable) != 0;
  if (!members_valid_) {
    members_.clear();
    members_.reserve(n);
    for (std::uint32_t i = 0; i < n; ++i) ++members_[vars_.At(i)];
    members_valid_ = true;
  }
  return members_.find(variable) != members_.end();
}

std::int32_t DAESSolverBlock::FindBySequence(std::uint32_t sequence) const {
  const std::uint32_t counts[] = {known_, unknown_, other_, last_};
  if (pending_ != 0) {
    // No entry stands past the segments while entries wait.
    std::uint32_t flat = 0;
    std::uint32_t logical = 0;
    for (int s = 0; s < 4; ++s) {
      const std::vector<DAESVarTableEntry*>& run = runs_[s];
      const auto waiting = static_cast<std::uint32_t>(run.size());
      const std::uint32_t flat_count = counts[s] - waiting;
      std::int64_t found = SearchSequence(vars_.Data(), flat, flat + flat_count, sequence);
      if (found >= 0) {
        const auto offset = static_cast<std::uint32_t>(found) - flat;
        return static_cast<std::int32_t>(logical + offset + (offset >= run_at_[s] ? waiting : 0));
      }
      found = SearchSequence(run.data(), 0, waiting, sequence);
      if (found >= 0) return static_cast<std::int32_t>(logical + run_at_[s] + found);
      flat += flat_count;
      logical += counts[s];
    }
    return -1;
  }
  std::uint32_t low = 0;
  DAESVarTableEntry* const* items = vars_.Data();
  for (std::uint32_t count : counts) {
    const std::uint32_t high = std::min(low + count, vars_.Count());
    const std::int64_t found = SearchSequence(items, std::min(low, high), high, sequence);
    if (found >= 0) return static_cast<std::int32_t>(found);
    low = high;
  }
  // Appended entries stand unsorted past the segments.
  for (std::uint32_t i = low; i < vars_.Count(); ++i) {
    if (vars_.At(i)->SequenceNumber() == sequence) return static_cast<std::int32_t>(i);
  }
  return -1;
}

void DAESSolverBlock::RemoveVariableAt(std::uint32_t i) {
  Settle();
  if (i >= vars_.Count()) return;
  UncountVariable(vars_.At(i));
  vars_.Erase(i);
  positions_valid_ = false;
  members_valid_ = false;
}

Status DAESSolverBlock::AddRow(QLNRow* row) {
  const Status status = rows_.Insert(rows_.Count(), row);
  if (status != 0) return status;
  row_links_.clear();
  held_rows_.clear();
  entry_elements_ = {};
  // A sub-block contributes its own element count, an equation its
  // variables.
  if (auto* block = dynamic_cast<DAESSolverBlock*>(row)) {
    elements_ += block->ElementCount();
  } else {
    elements_ += static_cast<std::uint32_t>(row->VariableCount());
  }
  const std::uint32_t f = row->GetFlags();
  if ((f & daes::kCountedRow) != 0) ++counted_rows_;
  if ((f & daes::kProcedureRow) != 0) ++procedure_rows_;
  return 0;
}

void DAESSolverBlock::UncountVariable(DAESVarTableEntry* variable) {
  Settle();
  std::uint32_t* counters[] = {&known_, &unknown_, &other_, &last_};
  std::uint32_t& counter = *counters[SegmentOf(variable)];
  if (counter > 0) --counter;
}

void DAESSolverBlock::CountStateBecameAlgebraic() {
  Settle();
  if (known_ > 0) --known_;
  ++unknown_;
}

void DAESSolverBlock::CountAlgebraicBecameState() {
  Settle();
  if (unknown_ > 0) --unknown_;
  ++known_;
}

std::uint32_t DAESSolverBlock::GetNetCount() const {
  if (count_override_ != 0) return count_override_;
  return non_zeros_ - sensitivity_nonzeros_ - selected_fixed_nonzeros_;
}
