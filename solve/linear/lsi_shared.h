// Process-wide state of the LSI solvers: the drivers' control arrays, the
// shared work space and the allocator every LSI array goes through (so that
// a test can make it fail).
#pragma once

#include <cstddef>
#include <cstdint>

#include "solve/linear/lsi.h"

namespace lsi_detail {

struct Controls {
  std::int64_t icntl[9] = {-999, 0, 0, 0, 0, 0, 0, 0, 0};
  double cntl[5] = {};
};
// Filled on first use; the option-driven entries are refreshed on every call.
Controls& ControlArrays();
void RefreshControls();

// Work arrays shared by all solvers, grown to the largest order seen.
struct SharedMemory {
  double* w = nullptr;         // N: the rank correction's vectors
  double* u = nullptr;         // N
  std::int64_t* iw = nullptr;  // 9 N
  double* work = nullptr;      // 4 N
  std::int64_t order = 0;      // the N the arrays hold
};
SharedMemory& Shared();
// Makes sure of the arrays for order n; false (after printing) when an
// allocation failed.
bool EnsureShared(std::int64_t n, std::int64_t ne);
void ReleaseShared();

// realloc with the test fault; null on failure (the old block is kept).
void* Reallocate(void* block, std::size_t bytes);

std::int64_t& LiveSolverCount();
std::int64_t InitialStorageFactor();

const LsiOptionValues& Options();

}  // namespace lsi_detail
