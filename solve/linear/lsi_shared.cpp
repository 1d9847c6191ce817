#include "solve/linear/lsi_shared.h"

#include <cstdlib>
#include <iterator>

#include "foundation/messages/su_print.h"
#include "solve/options/solver_option_table.h"

namespace lsi_detail {
namespace {

constexpr Status kOutOfMemoryStatus = 0x80000007u;
constexpr std::int32_t kFollowedOptions[] = {31, 25, 17, 100, 20, 21, 99};

int fail_after = -1;
std::int64_t storage_factor = 5;
std::int64_t live_base_solvers = 0;
std::int64_t shared_bytes = 0;

// Grows one shared array to `count` entries of T; false after printing.
template <class T>
bool Grow(T** array, std::int64_t count, const char* failure) {
  const auto bytes = static_cast<std::size_t>(count) * sizeof(T);
  void* grown = Reallocate(*array, bytes);
  if (grown == nullptr) {
    if (Options().print_level >= 1) {
      const auto shown = static_cast<std::uint32_t>(bytes);
      SuPrint(kOutOfMemoryStatus, failure, &shown);
    }
    return false;
  }
  *array = static_cast<T*>(grown);
  return true;
}

}  // namespace

Controls& ControlArrays() {
  static Controls controls;
  return controls;
}

void RefreshControls() {
  Controls& c = ControlArrays();
  const LsiOptionValues& o = Options();
  if (c.icntl[0] == -999) {
    const std::int64_t icntl[9] = {0, 0, 2, o.pivot_search, 32, 1, 1, 0, 10};
    for (int i = 0; i < 9; ++i) c.icntl[i] = icntl[i];
    const double cntl[5] = {0.5, 0.1, o.drop_tolerance, o.pivot_tolerance, 0.5};
    for (int i = 0; i < 5; ++i) c.cntl[i] = cntl[i];
  }
  c.icntl[3] = o.pivot_search;
  c.cntl[2] = o.drop_tolerance;
  c.cntl[3] = o.pivot_tolerance;
}

SharedMemory& Shared() {
  static SharedMemory shared;
  return shared;
}

bool EnsureShared(std::int64_t n, std::int64_t ne) {
  RefreshControls();
  const LsiOptionValues& o = Options();
  if (o.print_level >= 5) {
    const auto order = static_cast<std::int32_t>(n), entries = static_cast<std::int32_t>(ne);
    const auto search = static_cast<std::int32_t>(o.pivot_search);
    SuPrint(status::kOk, "LSI: SLU object created for matrix of size %d with %d non-zeros", &order,
            &entries);
    SuPrint(status::kOk,
            "LSI: Options: Search %d columns for pivots; Drop tolerance =%13.6e; Pivot "
            "tolerance =%13.6e",
            &search, &o.drop_tolerance, &o.pivot_tolerance);
  }
  SharedMemory& s = Shared();
  if (n <= s.order) return true;
  // Each array keeps the length it reached, so a later retry grows only
  // what is still short.
  if (!Grow(&s.w, n, "Out of memory: could not allocate %u bytes workspace for SLU in LSI") ||
      !Grow(&s.u, n, "Out of memory: could not allocate %u bytes workspace for SLU in LSI") ||
      !Grow(&s.iw, 9 * n,
            "Out of memory: could not allocate %u bytes integer workspace for SLU in LSI") ||
      !Grow(&s.work, 4 * n,
            "Out of memory: Could not allocate %u bytes for SLU realworkspace in LSI")) {
    return false;
  }
  s.order = n;
  shared_bytes = n * static_cast<std::int64_t>(2 * sizeof(double) + 9 * sizeof(std::int64_t) +
                                               4 * sizeof(double));
  if (o.print_level >= 5) {
    const auto order = static_cast<std::int32_t>(n);
    const auto bytes = static_cast<std::int32_t>(shared_bytes);
    SuPrint(status::kOk, "LSI object, matrix size %d, increased LSI shared memory to %d bytes",
            &order, &bytes);
  }
  return true;
}

void ReleaseShared() {
  SharedMemory& s = Shared();
  std::free(s.w);
  std::free(s.u);
  std::free(s.iw);
  std::free(s.work);
  s = SharedMemory{};
  shared_bytes = 0;
}

void* Reallocate(void* block, std::size_t bytes) {
  if (fail_after == 0) {
    fail_after = -1;
    return nullptr;
  }
  if (fail_after > 0) --fail_after;
  return std::realloc(block, bytes == 0 ? 1 : bytes);
}

std::int64_t& LiveSolverCount() {
  static std::int64_t count = 0;
  return count;
}

std::int64_t InitialStorageFactor() { return storage_factor; }

const LsiOptionValues& Options() { return LSIOptionsClient::Instance().values; }

}  // namespace lsi_detail

LSIOptionsClient& LSIOptionsClient::Instance() {
  static LSIOptionsClient client;
  return client;
}

Status LSIOptionsClient::OptionChanged(std::int32_t number, const void* value) {
  if (value == nullptr) return status::kOk;
  using Kind = SolverOptionTable::Kind;
  const Kind kind = SolverOptionTable::KindOf(number);
  double real = 0.0;
  std::int32_t integer = 0;
  if (kind == Kind::kReal) {
    real = *static_cast<const double*>(value);
  } else if (kind == Kind::kInteger) {
    integer = *static_cast<const std::int32_t*>(value);
  } else if (kind == Kind::kFlag) {
    integer = *static_cast<const unsigned char*>(value) != 0 ? 1 : 0;
  } else {
    return status::kOk;
  }
  switch (number) {
    case 31:
      values.print_level = integer;
      break;
    case 25:
      values.linear_solver = integer;
      break;
    case 17:
      values.drop_tolerance = real;
      break;
    case 100:
      values.pivot_search = integer;
      break;
    case 20:
      values.pivot_tolerance = real;
      break;
    case 21:
      values.use_transpose = integer;
      break;
    case 99:
      values.repivot = integer;
      break;
    default:
      break;
  }
  return status::kOk;
}

Status LSIOptionsClient::NamedOptionChanged(std::uint32_t, const SUValue&) { return status::kOk; }

LSIBaseSolve::LSIBaseSolve(std::int64_t ne, std::int64_t n) : n_(n), ne_(ne) {
  if (lsi_detail::live_base_solvers++ == 0 && SolverOptionTable::Existing() != nullptr) {
    SolverOptionTable::RegisterClientForNumbers(
        &LSIOptionsClient::Instance(), lsi_detail::kFollowedOptions,
        static_cast<std::int32_t>(std::size(lsi_detail::kFollowedOptions)));
  }
}

LSIBaseSolve::~LSIBaseSolve() {
  if (--lsi_detail::live_base_solvers == 0) {
    if (SolverOptionTable* table = SolverOptionTable::Existing()) {
      table->RemoveClient(&LSIOptionsClient::Instance());
    }
  }
}

namespace lsi_testing {
void FailAllocationAfter(int successes) { lsi_detail::fail_after = successes < 0 ? -1 : successes; }
void SetInitialStorageFactor(std::int64_t factor) {
  lsi_detail::storage_factor = factor < 2 ? 2 : factor;
}
std::int64_t LiveSolvers() { return lsi_detail::LiveSolverCount(); }
std::int64_t SharedBytes() { return lsi_detail::shared_bytes; }
}  // namespace lsi_testing
