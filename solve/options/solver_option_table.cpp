#include "solve/options/solver_option_table.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "foundation/interfaces/problem_manager_hooks.h"
#include "framework/libraries/library_exports.h"
#include "solve/options/option_descriptors.h"
#include "solve/options/option_lists.h"

namespace {

using Kind = SolverOptionTable::Kind;

struct NumberSpec {
  std::int32_t number;
  Kind kind;
  bool staged;
  bool boolean;
  bool resets;  // false: SetDefaults leaves the value alone
  double real;
  std::int32_t integer;  // integers and flags
  const char* text;
};

// Every number with a value: its kind and its reset value (or, for those that
// do not reset, the value it starts with: its default text).
// clang-format off
constexpr NumberSpec kNumberSpecs[] = {
    {0, Kind::kReal, false, false, true, 1e-05, 0, nullptr},
    {1, Kind::kReal, false, false, true, 1e-05, 0, nullptr},
    {2, Kind::kReal, false, false, true, 1e-05, 0, nullptr},
    {3, Kind::kReal, false, false, true, 1e-05, 0, nullptr},
    {4, Kind::kReal, false, false, true, 1e-05, 0, nullptr},
    {7, Kind::kReal, false, false, true, 1e-05, 0, nullptr},
    {8, Kind::kReal, false, false, true, 1e-06, 0, nullptr},
    {9, Kind::kReal, false, false, true, 1.0, 0, nullptr},
    {10, Kind::kReal, false, false, true, 0.0, 0, nullptr},
    {11, Kind::kReal, false, false, true, 1e-05, 0, nullptr},
    {12, Kind::kReal, false, false, true, 0.01, 0, nullptr},
    {13, Kind::kReal, false, false, true, 50.0, 0, nullptr},
    {17, Kind::kReal, false, false, true, 0.0, 0, nullptr},
    {20, Kind::kReal, false, false, true, 1e-308, 0, nullptr},
    {21, Kind::kInteger, true, false, true, 0.0, 0, nullptr},
    {24, Kind::kInteger, false, false, true, 0.0, 100, nullptr},
    {25, Kind::kInteger, true, false, true, 0.0, 4, nullptr},
    {26, Kind::kInteger, true, false, true, 0.0, 1, nullptr},
    {29, Kind::kInteger, true, false, true, 0.0, 1, nullptr},
    {30, Kind::kInteger, true, false, true, 0.0, 3, nullptr},
    {31, Kind::kInteger, false, false, true, 0.0, 2, nullptr},
    {32, Kind::kInteger, false, false, true, 0.0, 0, nullptr},
    {33, Kind::kInteger, false, true, true, 0.0, 0, nullptr},
    {34, Kind::kInteger, false, false, true, 0.0, 0, nullptr},
    {35, Kind::kInteger, false, false, true, 0.0, 0, nullptr},
    {36, Kind::kInteger, false, false, true, 0.0, 0, nullptr},
    {37, Kind::kFlag, false, false, true, 0.0, 1, nullptr},
    {38, Kind::kInteger, true, false, true, 0.0, 3, nullptr},
    {39, Kind::kInteger, false, false, true, 0.0, 10, nullptr},
    {40, Kind::kInteger, false, false, true, 0.0, 10, nullptr},
    {41, Kind::kInteger, false, false, true, 0.0, 0, nullptr},
    {42, Kind::kReal, false, false, true, 0.1, 0, nullptr},
    {50, Kind::kFlag, false, false, true, 0.0, 0, nullptr},
    {51, Kind::kReal, false, false, true, 10000000000.0, 0, nullptr},
    {52, Kind::kFlag, false, false, true, 0.0, 1, nullptr},
    {53, Kind::kReal, false, false, true, 0.01, 0, nullptr},
    {54, Kind::kReal, false, false, true, 0.0001, 0, nullptr},
    {55, Kind::kInteger, true, false, true, 0.0, 1, nullptr},
    {56, Kind::kReal, false, false, true, -5.0, 0, nullptr},
    {57, Kind::kReal, false, false, true, 0.0, 0, nullptr},
    {70, Kind::kInteger, true, true, true, 0.0, 0, nullptr},
    {74, Kind::kReal, false, false, true, 1e-05, 0, nullptr},
    {75, Kind::kReal, false, false, true, 1e-05, 0, nullptr},
    {76, Kind::kReal, false, false, true, 1e-05, 0, nullptr},
    {77, Kind::kInteger, false, false, true, 0.0, -1, nullptr},
    {78, Kind::kInteger, false, false, true, 0.0, 0, nullptr},
    {79, Kind::kInteger, false, false, true, 0.0, 0, nullptr},
    {80, Kind::kInteger, false, false, true, 0.0, 1, nullptr},
    {85, Kind::kFlag, false, false, true, 0.0, 1, nullptr},
    {86, Kind::kInteger, false, false, true, 0.0, 1, nullptr},
    {87, Kind::kReal, false, false, true, 0.0001, 0, nullptr},
    {88, Kind::kReal, false, false, true, 1e-20, 0, nullptr},
    {89, Kind::kReal, false, false, true, 0.0001, 0, nullptr},
    {90, Kind::kReal, false, false, true, 0.0, 0, nullptr},
    {91, Kind::kInteger, false, false, true, 0.0, 50, nullptr},
    {92, Kind::kReal, false, false, true, 0.1, 0, nullptr},
    {93, Kind::kReal, false, false, true, 1.0, 0, nullptr},
    {94, Kind::kReal, false, false, true, 0.01, 0, nullptr},
    {95, Kind::kInteger, false, false, true, 0.0, 10, nullptr},
    {96, Kind::kReal, false, false, true, 0.5, 0, nullptr},
    {97, Kind::kInteger, true, false, true, 0.0, 0, nullptr},
    {98, Kind::kInteger, false, false, true, 0.0, 100, nullptr},
    {99, Kind::kInteger, false, false, true, 0.0, 0, nullptr},
    {100, Kind::kInteger, false, false, true, 0.0, 3, nullptr},
    {101, Kind::kFlag, false, false, true, 0.0, 0, nullptr},
    {102, Kind::kInteger, false, false, true, 0.0, 5, nullptr},
    {103, Kind::kInteger, false, false, false, 0.0, 100000000, nullptr},
    {109, Kind::kReal, false, false, true, 0.1, 0, nullptr},
    {110, Kind::kReal, false, false, true, 0.001, 0, nullptr},
    {111, Kind::kInteger, true, true, true, 0.0, 0, nullptr},
    {112, Kind::kInteger, false, false, true, 0.0, 0, nullptr},
    {113, Kind::kInteger, false, false, true, 0.0, 100, nullptr},
    {114, Kind::kReal, false, false, true, 0.0001, 0, nullptr},
    {115, Kind::kReal, false, false, true, 10.0, 0, nullptr},
    {116, Kind::kReal, false, false, true, 10.0, 0, nullptr},
    {117, Kind::kInteger, false, false, true, 0.0, 0, nullptr},
    {118, Kind::kInteger, false, true, true, 0.0, 0, nullptr},
    {119, Kind::kInteger, false, true, true, 0.0, 0, nullptr},
    {120, Kind::kInteger, false, true, true, 0.0, 1, nullptr},
    {121, Kind::kReal, false, false, false, 0.0001, 0, nullptr},
    {122, Kind::kInteger, false, false, false, 0.0, 100, nullptr},
    {123, Kind::kInteger, false, false, true, 0.0, 0, nullptr},
    {124, Kind::kInteger, false, false, true, 0.0, 2, nullptr},
    {125, Kind::kText, false, false, true, 0.0, 0, nullptr},
    {126, Kind::kText, false, false, true, 0.0, 0, nullptr},
    {127, Kind::kInteger, false, false, true, 0.0, 2, nullptr},
    {128, Kind::kInteger, false, false, true, 0.0, 2, nullptr},
    {129, Kind::kInteger, false, false, false, 0.0, 5, nullptr},
    {130, Kind::kReal, false, false, false, 1e-05, 0, nullptr},
    {131, Kind::kReal, false, false, false, 1e-05, 0, nullptr},
    {132, Kind::kReal, false, false, false, 1e-05, 0, nullptr},
    {133, Kind::kReal, false, false, false, 1e-05, 0, nullptr},
    {134, Kind::kInteger, false, true, false, 0.0, 0, nullptr},
    {135, Kind::kInteger, false, true, false, 0.0, 0, nullptr},
    {136, Kind::kInteger, false, true, false, 0.0, 0, nullptr},
    {137, Kind::kInteger, false, false, false, 0.0, 1, nullptr},
    {138, Kind::kReal, false, false, false, 0.01, 0, nullptr},
    {139, Kind::kReal, false, false, false, 0.005, 0, nullptr},
    {140, Kind::kReal, false, false, false, 0.001, 0, nullptr},
    {141, Kind::kReal, false, false, false, 1.0, 0, nullptr},
    {142, Kind::kInteger, false, true, false, 0.0, 0, nullptr},
    {143, Kind::kInteger, false, true, false, 0.0, 1, nullptr},
    {144, Kind::kInteger, false, true, false, 0.0, 0, nullptr},
    {145, Kind::kInteger, false, true, false, 0.0, 0, nullptr},
    {146, Kind::kInteger, false, true, false, 0.0, 0, nullptr},
    {147, Kind::kInteger, false, true, false, 0.0, 0, nullptr},
    {148, Kind::kInteger, false, false, false, 0.0, 0, nullptr},
    {149, Kind::kInteger, false, false, false, 0.0, 0, nullptr},
    {150, Kind::kReal, false, false, false, 0.5, 0, nullptr},
    {151, Kind::kText, false, false, true, 0.0, 0, "Brunvald.UnifiedIntegrator"},
    {152, Kind::kText, false, false, true, 0.0, 0, "Brunvald.Decomposer"},
    {153, Kind::kInteger, true, true, true, 0.0, 1, nullptr},
    {154, Kind::kInteger, false, true, true, 0.0, 1, nullptr},
    {155, Kind::kInteger, false, true, true, 0.0, 1, nullptr},
    {156, Kind::kReal, false, false, true, 1e-05, 0, nullptr},
    {157, Kind::kFlag, true, false, true, 0.0, 0, nullptr},
    {158, Kind::kFlag, false, false, true, 0.0, 1, nullptr},
    {159, Kind::kReal, false, false, true, 0.1, 0, nullptr},
    {160, Kind::kReal, false, false, true, 0.0001, 0, nullptr},
    {161, Kind::kInteger, false, false, true, 0.0, 1, nullptr},
    {162, Kind::kInteger, false, false, true, 0.0, 5000, nullptr},
    {163, Kind::kReal, false, false, true, 1.0, 0, nullptr},
    {164, Kind::kFlag, false, false, true, 0.0, 1, nullptr},
    {165, Kind::kFlag, false, false, true, 0.0, 0, nullptr},
    {166, Kind::kFlag, false, false, true, 0.0, 0, nullptr},
    {167, Kind::kUnstored, false, false, false, 0.0, 0, nullptr},
    {168, Kind::kFlag, false, false, true, 0.0, 1, nullptr},
    {169, Kind::kInteger, false, true, true, 0.0, 0, nullptr},
    {170, Kind::kInteger, false, false, true, 0.0, 10, nullptr},
    {171, Kind::kFlag, false, false, false, 0.0, 1, nullptr},
};
// clang-format on

using NumberMask = std::array<bool, kOptionNumberCount>;

constexpr NumberMask MaskOf(std::initializer_list<std::int32_t> numbers) {
  NumberMask mask{};
  for (const std::int32_t n : numbers) mask[static_cast<std::size_t>(n)] = true;
  return mask;
}

// Integration.StepSizeType (137) is read by the nonlinear proxies.
constexpr NumberMask kIntGetter =
    MaskOf({21, 24, 25, 29,  30,  31,  32,  36,  38,  55,  77,  78,  79,  80,  86,  91,
            95, 97, 98, 100, 102, 103, 112, 113, 117, 120, 122, 124, 127, 128, 137, 170});
constexpr NumberMask kRealGetter =
    MaskOf({0,  1,  2,  3,  4,  7,  8,  9,  10, 11, 12,  13,  51,  53,  54,  56,  57, 74,
            75, 76, 87, 88, 89, 90, 92, 93, 94, 96, 109, 110, 114, 115, 116, 121, 156});
constexpr NumberMask kFlagGetter = MaskOf({37, 50, 52, 85, 101, 157, 158, 164, 165, 166, 168, 171});
constexpr NumberMask kEqualsOneGetter = MaskOf({144, 145, 146, 153, 154, 155, 169});
// Integers the client shows as TRUE/FALSE: Compression and the two
// compiled-evaluation switches, which the code generator asks as flags.
constexpr NumberMask kNonZeroGetter = MaskOf({111, 118, 119});
constexpr std::int32_t kCompressionNumber = 111;

std::atomic<SolverOptionTable*> g_table{nullptr};
std::mutex g_making;

char* CopyText(const char* text) {
  if (text == nullptr) return nullptr;
  const std::size_t length = std::strlen(text) + 1;
  auto* copy = static_cast<char*>(std::malloc(length));
  if (copy != nullptr) std::memcpy(copy, text, length);
  return copy;
}

bool InRange(std::int32_t number) { return number >= 0 && number < kOptionNumberCount; }

// The reset value of a real, integer or flag option into its slot.
template <class SlotType>
void PutNumericDefault(const NumberSpec& spec, SlotType* slot) {
  switch (spec.kind) {
    case Kind::kReal:
      slot->in_force.real = spec.real;
      break;
    case Kind::kInteger:
      slot->in_force.integer = spec.integer;
      break;
    case Kind::kFlag:
      slot->in_force.flag = spec.integer != 0 ? 1 : 0;
      break;
    default:
      break;
  }
}

}  // namespace

SolverOptionTable* SolverOptionTable::Instance() {
  if (SolverOptionTable* table = g_table.load(std::memory_order_acquire)) return table;
  std::lock_guard<std::mutex> lock(g_making);
  if (SolverOptionTable* table = g_table.load(std::memory_order_acquire)) return table;
  // Lives until the process ends.
  return new SolverOptionTable;
}

SolverOptionTable* SolverOptionTable::Existing() { return g_table.load(std::memory_order_acquire); }

void SolverOptionTable::MarkChanged() {
  // One count for every table of the process: a table made where another
  // was never repeats a generation a reader kept.
  static std::atomic<std::uint64_t> next{0};
  generation_.store(next.fetch_add(1, std::memory_order_relaxed) + 1, std::memory_order_release);
}

SolverOptionTable::SolverOptionTable() {
  ReserveFirstRoom(named_);
  for (ClientList& list : clients_) ReserveFirstRoom(list);
  for (const NumberSpec& spec : kNumberSpecs) {
    Slot& slot = slots_[static_cast<std::size_t>(spec.number)];
    slot.kind = spec.kind;
    slot.staged = spec.staged;
    slot.boolean = spec.boolean;
    if (spec.kind == Kind::kText) {
      slot.in_force.text = nullptr;
    } else {
      PutNumericDefault(spec, &slot);
    }
    slot.requested = slot.in_force;
  }
  SetDefaults();
  displaced_ = g_table.exchange(this, std::memory_order_acq_rel);
  displaced_facade_ = SolverOptions::Install(this);
}

SolverOptionTable::~SolverOptionTable() {
  // Libraries must not ask a table that is gone.
  if (EngineOptionsHandler() == this) SetEngineOptionsHandler(nullptr);
  SolverOptions::Install(displaced_facade_);
  g_table.store(displaced_, std::memory_order_release);
  for (Slot& slot : slots_) {
    if (slot.kind == Kind::kText) std::free(slot.in_force.text);
  }
}

Kind SolverOptionTable::KindOf(std::int32_t number) {
  if (!InRange(number)) return Kind::kNone;
  for (const NumberSpec& spec : kNumberSpecs) {
    if (spec.number == number) return spec.kind;
  }
  return Kind::kNone;
}

SolverOptionTable::Slot* SolverOptionTable::SlotOf(std::int32_t number) {
  return InRange(number) ? &slots_[static_cast<std::size_t>(number)] : nullptr;
}

const SolverOptionTable::Slot* SolverOptionTable::SlotOf(std::int32_t number) const {
  return InRange(number) ? &slots_[static_cast<std::size_t>(number)] : nullptr;
}

void SolverOptionTable::SetDefaults() {
  pending_ = 1;
  forced_restructure_ = 0;
  for (const NumberSpec& spec : kNumberSpecs) {
    if (!spec.resets) continue;
    Slot& slot = slots_[static_cast<std::size_t>(spec.number)];
    if (spec.kind == Kind::kText) {
      std::free(slot.in_force.text);
      slot.in_force.text = CopyText(spec.text);
    } else {
      PutNumericDefault(spec, &slot);
    }
    if (slot.staged) slot.requested = slot.in_force;
  }
  MarkChanged();
}

std::uint32_t SolverOptionTable::ApplyPendingChanges() {
  if (pending_ == 0) return 0;
  auto differs = [this](std::int32_t number) {
    const Slot& slot = slots_[static_cast<std::size_t>(number)];
    return slot.kind == Kind::kFlag ? slot.requested.flag != slot.in_force.flag
                                    : slot.requested.integer != slot.in_force.integer;
  };
  std::uint32_t bits = 0;
  if (differs(30)) bits |= kOptionChangeIntegrator;
  if (differs(97) || differs(153) || forced_restructure_ != 0) bits |= kOptionChangeDecomposition;
  if (differs(29)) bits |= kOptionChangeRunMode;
  for (const std::int32_t number : {25, 26, 38, 55, 21, 157}) {
    if (differs(number)) bits |= kOptionChangeGroupMethods | kOptionChangeDecomposition;
  }
  if (differs(kCompressionNumber)) bits |= kOptionChangeCompression | kOptionChangeDecomposition;
  for (Slot& slot : slots_) {
    if (slot.staged) slot.in_force = slot.requested;
  }
  forced_restructure_ = 0;
  pending_ = 0;
  MarkChanged();
  return bits;
}

bool SolverOptionTable::GetBool(std::int32_t number) {
  if (number < 37 || number >= kOptionNumberCount) return false;
  const Slot& slot = slots_[static_cast<std::size_t>(number)];
  const auto n = static_cast<std::size_t>(number);
  if (kFlagGetter[n]) return slot.in_force.flag != 0;
  if (kNonZeroGetter[n]) return slot.in_force.integer != 0;
  if (kEqualsOneGetter[n]) return slot.in_force.integer == 1;
  return false;
}

std::int32_t SolverOptionTable::GetInt(std::int32_t number) {
  if (!InRange(number) || !kIntGetter[static_cast<std::size_t>(number)]) return 0;
  return slots_[static_cast<std::size_t>(number)].in_force.integer;
}

double SolverOptionTable::GetReal(std::int32_t number) {
  if (!InRange(number) || !kRealGetter[static_cast<std::size_t>(number)]) return 0.0;
  return slots_[static_cast<std::size_t>(number)].in_force.real;
}

const char* SolverOptionTable::GetString(std::int32_t number) const {
  if (number != 125 && number != 126 && number != 151 && number != 152) return nullptr;
  return slots_[static_cast<std::size_t>(number)].in_force.text;
}

double SolverOptionTable::ValueInForce(std::int32_t number) const {
  const Slot* slot = SlotOf(number);
  if (slot == nullptr) return 0.0;
  switch (slot->kind) {
    case Kind::kReal:
      return slot->in_force.real;
    case Kind::kInteger:
      return slot->in_force.integer;
    case Kind::kFlag:
      return slot->in_force.flag != 0 ? 1.0 : 0.0;
    default:
      return 0.0;
  }
}

bool SolverOptionTable::IsVerbose() {
  const std::int32_t level = GetInt(kOptPrintLevel);
  if (level == 0) return false;
  if (level >= 3) return true;
  ProblemManagerHooks* manager = GetProblemManagerHooks();
  return manager == nullptr || !manager->IsNestedMode();
}

Status SolverOptionTable::ValueSlot(std::int32_t number, std::uint32_t* wire_type, void** address) {
  *wire_type = 0;
  *address = nullptr;
  Slot* slot = SlotOf(number);
  if (slot == nullptr) return status::kUnhandled;
  switch (slot->kind) {
    case Kind::kReal:
      *wire_type = kOptionWireReal;
      *address = &slot->in_force.real;
      break;
    case Kind::kInteger:
      *wire_type = kOptionWireInteger;
      *address = &slot->in_force.integer;
      break;
    case Kind::kFlag:
      *wire_type = kOptionWireFlag;
      *address = &slot->in_force.flag;
      break;
    case Kind::kText:
      *wire_type = kOptionWireText;
      *address = slot->in_force.text;
      break;
    case Kind::kUnstored:
      *wire_type = kOptionWireInteger;
      break;
    case Kind::kNone:
      return status::kUnhandled;
  }
  return status::kOk;
}

Status SolverOptionTable::GetItem(std::uint32_t, const BvuIdPath&, std::uint32_t first,
                                  std::uint32_t, std::uint32_t* type_code, void** value_address) {
  if (first >= static_cast<std::uint32_t>(kOptionNumberCount)) {
    *type_code = 0;
    *value_address = nullptr;
    return status::kUnhandled;
  }
  return ValueSlot(static_cast<std::int32_t>(first), type_code, value_address);
}
