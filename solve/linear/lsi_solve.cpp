#include <new>

#include "solve/linear/lsi.h"
#include "solve/linear/lsi_shared.h"
#include "solve/linear/lsi_slu_solver.h"

void LSISolve(const double* values, const std::int64_t* rows, const std::int64_t* cols, double* x,
              const double* b, const std::int64_t* ne, const std::int64_t* n, LSIBaseSolve** handle,
              const std::int64_t* flags, std::int64_t* info, const std::int64_t* /*solver_kind*/) {
  if (info == nullptr) return;
  *info = kLsiOk;
  if (handle == nullptr || flags == nullptr) {
    *info = kLsiSizeMismatch;
    return;
  }
  const std::int64_t f = *flags;
  if ((f & kLsiDestroy) != 0) {
    delete *handle;
    *handle = nullptr;
    return;
  }
  // Sizes and arrays the handle cannot take are refused before it is made
  // or touched.
  const bool solves = (f & (kLsiSolve | kLsiSolveTransposed)) != 0;
  if (ne == nullptr || n == nullptr || *ne < 1 || *n < 1 || values == nullptr || rows == nullptr ||
      cols == nullptr || (solves && (x == nullptr || b == nullptr))) {
    *info = kLsiSizeMismatch;
    return;
  }
  if (*handle == nullptr) {
    auto* solver = new (std::nothrow) LSISluSolver(*ne, *n);
    if (solver == nullptr) {
      *info = kLsiOutOfMemory;
      return;
    }
    // A solver that ran out of memory stays the caller's to destroy.
    *handle = solver;
    if (solver->Initialise() != kLsiOk) {
      *info = kLsiOutOfMemory;
      return;
    }
  } else if ((*handle)->Order() != *n || (*handle)->Entries() != *ne) {
    *info = kLsiSizeMismatch;
    return;
  }

  LsiRequest request;
  request.flags = f & (kLsiReserved | kLsiAnalyse | kLsiFactorize | kLsiNewValues);
  const std::int64_t* irn = rows;
  const std::int64_t* jcn = cols;
  if (lsi_detail::Options().use_transpose == 1) {
    // The solver keeps the transpose: its transposed solve answers the
    // system as given, its plain solve the transposed one.
    irn = cols;
    jcn = rows;
    request.plain_solve = (f & kLsiSolveTransposed) != 0;
    request.transposed_solve = (f & kLsiSolve) != 0;
  } else {
    request.plain_solve = (f & kLsiSolve) != 0;
    request.transposed_solve = (f & kLsiSolveTransposed) != 0;
  }
  *info = (*handle)->SolveByFlags(values, irn, jcn, x, b, request);
}
