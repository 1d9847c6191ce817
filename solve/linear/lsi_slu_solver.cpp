#include "solve/linear/lsi_slu_solver.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "foundation/messages/su_print.h"
#include "numerics/sparse_lu/slu_drivers.h"
#include "solve/linear/lsi_shared.h"

namespace {

constexpr Status kOutOfMemoryStatus = 0x80000007u;
// The drivers report a need that lets the next call succeed; the bound only
// guards against a need that keeps moving.
constexpr int kMaxStorageRetries = 8;
constexpr std::int64_t kJobOne = 1;
constexpr std::int64_t kJobTwo = 2;

template <class T>
bool Resize(T** array, std::int64_t count) {
  void* grown = lsi_detail::Reallocate(*array, static_cast<std::size_t>(count) * sizeof(T));
  if (grown == nullptr) return false;
  *array = static_cast<T*>(grown);
  return true;
}

template <class T>
void CopyEntries(T* to, const T* from, std::int64_t count) {
  std::memcpy(to, from, static_cast<std::size_t>(count) * sizeof(T));
}

}  // namespace

using lsi_detail::ControlArrays;
using lsi_detail::Options;
using lsi_detail::Shared;

LSISluSolver::LSISluSolver(std::int64_t ne, std::int64_t n) : LSIBaseSolve(ne, n) {}

LSISluSolver::~LSISluSolver() {
  for (void* block :
       {static_cast<void*>(a_), static_cast<void*>(irn_), static_cast<void*>(jcn_),
        static_cast<void*>(saved_irn_), static_cast<void*>(keep_), static_cast<void*>(saved_keep_),
        static_cast<void*>(rows_), static_cast<void*>(cols_), static_cast<void*>(kept_rows_),
        static_cast<void*>(kept_cols_), static_cast<void*>(window_)}) {
    std::free(block);
  }
  if (counted_ && --lsi_detail::LiveSolverCount() == 0) lsi_detail::ReleaseShared();
}

void LSISluSolver::OutOfMemory(const char* format, std::int64_t bytes) {
  flags_ |= kLsiOutOfMemoryBit;
  if (Options().print_level >= 1) {
    const auto shown = static_cast<std::uint32_t>(bytes);
    SuPrint(kOutOfMemoryStatus, format, &shown);
  }
}

std::int64_t LSISluSolver::Initialise() {
  flags_ &= ~(kLsiAnalysedOnce | kLsiRankDeficientBit | kLsiOutOfMemoryBit | kLsiFactorizedOnce |
              kLsiResetRequested);
  flags_ |= kLsiFirstAfterAnalysis | kLsiKeepIntact;
  if (!counted_) {
    counted_ = true;
    ++lsi_detail::LiveSolverCount();
  }
  if (!lsi_detail::EnsureShared(n_, ne_)) {
    flags_ |= kLsiOutOfMemoryBit;
    return kLsiOutOfMemory;
  }
  la_ = lsi_detail::InitialStorageFactor() * ne_;
  lkeep_ = 10 * n_ + 7;
  const std::int64_t bytes = 20 * la_ + 8 * (lkeep_ + 9);
  if (!Resize(&a_, la_) || !Resize(&irn_, la_) || !Resize(&jcn_, la_) ||
      !Resize(&saved_irn_, la_) || !Resize(&keep_, lkeep_) || !Resize(&saved_keep_, lkeep_)) {
    OutOfMemory("Out of memory: Could not allocate %u bytes for SLU realworkspace in LSI", bytes);
    return kLsiOutOfMemory;
  }
  const LsiOptionValues& o = Options();
  if (o.print_level >= 5) {
    const auto order = static_cast<std::int32_t>(n_);
    const auto shown = static_cast<std::int32_t>(bytes);
    SuPrint(status::kOk, "LSI object, matrix size %d, initially allocated %d bytes SLU memory",
            &order, &shown);
  }
  if (o.reanalyze_window > 0) {
    if (!ResizeWindow(o.reanalyze_window)) return kLsiOutOfMemory;
    threshold_ = o.reanalyze_threshold;
    if (o.print_level >= 5) {
      SuPrint(status::kOk, "     FLOPS window size is %d", &window_length_);
      SuPrint(status::kOk, "     FLOPS thresold is %13.6e", &threshold_);
    }
  }
  return kLsiOk;
}

int LSISluSolver::ResizeStorage(std::int64_t need) {
  if ((flags_ & kLsiOutOfMemoryBit) != 0) return 1;
  need = std::max(need, 2 * ne_);
  if (need == la_) return 0;
  const bool factorizing = factorizing_;
  if (!Resize(&a_, need) || !Resize(&irn_, need) || !Resize(&jcn_, need) ||
      !Resize(&saved_irn_, need)) {
    if (factorizing) {
      OutOfMemory("Out of memory: Could not allocate %d bytes for SLU solver in LSI", 20 * need);
    } else {
      OutOfMemory("Out of memory: could not allocate %u bytes for SLU in LSI", 20 * need);
    }
    return 1;
  }
  const bool increased = need > la_;
  la_ = need;
  flags_ |= factorizing ? kLsiResizedInFactorize : kLsiResizedInAnalyse;
  if (Options().print_level >= 5) {
    const auto order = static_cast<std::int32_t>(n_);
    const auto bytes = static_cast<std::int32_t>(20 * la_);
    SuPrint(status::kOk,
            increased ? "LSI object, matrix size %d, increased SLU memory to %d bytes"
                      : "LSI object, matrix size %d, decreased SLU memory to %d bytes",
            &order, &bytes);
  }
  return 0;
}

void LSISluSolver::CopyInput(const double* a, const std::int64_t* irn, const std::int64_t* jcn) {
  CopyEntries(a_, a, ne_);
  CopyEntries(irn_, irn, ne_);
  CopyEntries(jcn_, jcn, ne_);
}

std::int64_t LSISluSolver::Analyse(const double* a, const std::int64_t* irn,
                                   const std::int64_t* jcn) {
  ++analyses_;
  factorizing_ = false;
  flags_ &= ~kLsiResizedInAnalyse;
  lsi_detail::Controls& c = ControlArrays();
  for (int attempt = 0;; ++attempt) {
    CopyInput(a, irn, jcn);
    SluAnalyse(&n_, &n_, &ne_, &kJobOne, &la_, a_, irn_, jcn_, keep_, c.cntl, c.icntl, Shared().iw,
               info_, &rinfo_);
    if (info_[0] != -3) break;
    if (attempt == kMaxStorageRetries) return info_[0];
    if (ResizeStorage(std::max(info_[2], info_[3])) != 0) return kLsiOutOfMemory;
  }
  if (info_[0] < 0) return info_[0];
  // Room for the factorization the analysis expects; the permuted pattern
  // lies within the first NE entries, so shrinking keeps it.
  if (ResizeStorage(std::max(info_[2], info_[3])) != 0) return kLsiOutOfMemory;
  flags_ |= kLsiFirstAfterAnalysis | kLsiResizedInAnalyse | kLsiKeepIntact;
  CopyEntries(saved_irn_, irn_, la_);
  CopyEntries(saved_keep_, keep_, lkeep_);
  window_position_ = window_seen_ = 0;
  growth_ = false;
  return info_[0];
}

std::int64_t LSISluSolver::Factorize(const double* a) {
  ++factorizations_;
  factorizing_ = true;
  flags_ &= ~kLsiResizedInFactorize;
  if ((flags_ & kLsiKeepIntact) == 0) {
    CopyEntries(irn_, saved_irn_, la_);
    CopyEntries(keep_, saved_keep_, lkeep_);
  }
  lsi_detail::Controls& c = ControlArrays();
  for (int attempt = 0;; ++attempt) {
    CopyEntries(a_, a, ne_);
    SluFactorize(&n_, &n_, &ne_, &kJobOne, &la_, a_, irn_, jcn_, keep_, c.cntl, c.icntl,
                 Shared().work, Shared().iw, info_, &rinfo_);
    if (info_[0] != -3) break;
    // The failed call rewrote KEEP; the pattern in IRN is untouched.
    CopyEntries(keep_, saved_keep_, lkeep_);
    if (attempt == kMaxStorageRetries) return info_[0];
    if (ResizeStorage(std::max(info_[2], info_[3])) != 0) return kLsiOutOfMemory;
  }
  const bool first = (flags_ & kLsiFirstAfterAnalysis) != 0;
  flags_ &= ~(kLsiFirstAfterAnalysis | kLsiKeepIntact);
  if (info_[0] < 0) return info_[0];
  last_count_ = rinfo_;
  if (first) reference_count_ = rinfo_;
  if (rinfo_ != 0.0) EnterCount(rinfo_);
  return info_[0];
}

std::int64_t LSISluSolver::FastFactorize(const double* a) {
  ++fast_factorizations_;
  lsi_detail::Controls& c = ControlArrays();
  CopyEntries(a_, a, ne_);
  SluFactorize(&n_, &n_, &ne_, &kJobTwo, &la_, a_, irn_, jcn_, keep_, c.cntl, c.icntl,
               Shared().work, Shared().iw, info_, &rinfo_);
  if (info_[0] >= 0) {
    last_count_ = rinfo_;
    if (rinfo_ != 0.0) EnterCount(rinfo_);
  }
  return info_[0];
}

std::int64_t LSISluSolver::Solve(const double* rhs, double* x) {
  lsi_detail::Controls& c = ControlArrays();
  const std::int64_t trans = 0;
  std::int64_t info[12] = {};
  double error[3] = {};
  // JOB 1 leaves the right-hand side as it is.
  SluSolve(&n_, &n_, &trans, &kJobOne, &la_, a_, irn_, keep_, c.cntl, c.icntl,
           const_cast<double*>(rhs), x, error, Shared().work, Shared().iw, info);
  return 0;
}

std::int64_t LSISluSolver::SolveTransposed(const double* rhs, double* x) {
  lsi_detail::Controls& c = ControlArrays();
  const std::int64_t trans = 1;
  std::int64_t info[12] = {};
  double error[3] = {};
  SluSolve(&n_, &n_, &trans, &kJobOne, &la_, a_, irn_, keep_, c.cntl, c.icntl,
           const_cast<double*>(rhs), x, error, Shared().work, Shared().iw, info);
  return 0;
}

void LSISluSolver::MarkForReset() { flags_ |= kLsiRankDeficientBit | kLsiResetRequested; }

bool LSISluSolver::ResizeWindow(std::int32_t length) {
  if (length > 0) {
    if (!Resize(&window_, length)) {
      flags_ |= kLsiOutOfMemoryBit;
      return false;
    }
    std::fill(window_, window_ + length, 0.0);
  }
  window_length_ = std::max(length, 0);
  window_position_ = window_seen_ = 0;
  return true;
}

void LSISluSolver::EnterCount(double count) {
  if (window_length_ <= 0) return;
  window_[window_position_] = count;
  window_position_ = (window_position_ + 1) % window_length_;
  if (window_seen_ < window_length_) ++window_seen_;
  if (window_seen_ < window_length_) return;
  double sum = 0.0;
  for (std::int32_t i = 0; i < window_length_; ++i) sum += window_[i];
  average_count_ = sum / window_length_;
  if (average_count_ > threshold_ * reference_count_) growth_ = true;
}

bool LSISluSolver::NoteFactorization(std::int64_t result) {
  lists_current_ = false;
  if (result < 0) {
    // No usable factors: the next call factorizes whatever it asks.
    flags_ &= ~kLsiFactorizedOnce;
    return false;
  }
  flags_ |= kLsiFactorizedOnce;
  if ((result & 2) != 0) {
    flags_ |= kLsiRankDeficientBit;
    rank_ = info_[4];
  } else {
    flags_ &= ~kLsiRankDeficientBit;
    rank_ = n_;
  }
  return true;
}

std::int64_t LSISluSolver::AnalyseAndFactorize(const double* a, const std::int64_t* irn,
                                               const std::int64_t* jcn) {
  const std::int64_t analysed = Analyse(a, irn, jcn);
  if (analysed < 0) {
    // KEEP is unusable after a failed analysis: the next call starts over.
    flags_ &= ~(kLsiAnalysedOnce | kLsiFactorizedOnce);
    if (analysed != -4) return analysed;
    flags_ |= kLsiRankDeficientBit;
    return kLsiStructurallySingular;
  }
  flags_ |= kLsiAnalysedOnce;
  const std::int64_t factorized = Factorize(a);
  NoteFactorization(factorized);
  return factorized;
}

bool LSISluSolver::FillRankLists() {
  if (lists_current_) return true;
  if (rows_ == nullptr) {
    if (!Resize(&rows_, n_) || !Resize(&cols_, n_) || !Resize(&kept_rows_, n_) ||
        !Resize(&kept_cols_, n_)) {
      flags_ |= kLsiOutOfMemoryBit;
      return false;
    }
  }
  SluRankInfo(&n_, &n_, &la_, irn_, keep_, &rank_, rows_, cols_, Shared().iw);
  for (std::int64_t k = 0; k < n_; ++k) {
    kept_rows_[k] = k < rank_ ? 0 : rows_[k];
    kept_cols_[k] = k < rank_ ? 0 : cols_[k];
  }
  lists_current_ = true;
  return true;
}

// Solves on the non-singular part: the right-hand side of the rows left out
// is moved over to the columns left out, whose own equations the factors
// cannot honour.
void LSISluSolver::CorrectedSolve(const double* a, const std::int64_t* irn, const std::int64_t* jcn,
                                  const double* b, double* x, bool transposed) {
  double* w = Shared().w;
  double* u = Shared().u;
  std::fill(w, w + n_, 0.0);
  std::fill(u, u + n_, 0.0);
  const std::int64_t* moved = transposed ? cols_ : rows_;
  const std::int64_t* target = transposed ? rows_ : cols_;
  for (std::int64_t k = rank_; k < n_; ++k) w[moved[k] - 1] = b[moved[k] - 1];
  for (std::int64_t e = 0; e < ne_; ++e) {
    const std::int64_t row = irn[e], col = jcn[e];
    if (row < 1 || row > n_ || col < 1 || col > n_) continue;
    if (transposed) {
      u[col - 1] += a[e] * w[row - 1];
    } else {
      u[row - 1] += a[e] * w[col - 1];
    }
  }
  for (std::int64_t i = 0; i < n_; ++i) u[i] = b[i] - u[i];
  if (transposed) {
    SolveTransposed(u, x);
  } else {
    Solve(u, x);
  }
  for (std::int64_t k = rank_; k < n_; ++k) x[target[k] - 1] += w[moved[k] - 1];
}

std::int64_t LSISluSolver::SolveByFlags(const double* a, const std::int64_t* irn,
                                        const std::int64_t* jcn, double* x, const double* b,
                                        const LsiRequest& request) {
  last_status_ = kLsiOk;
  lsi_detail::RefreshControls();
  if ((flags_ & kLsiOutOfMemoryBit) != 0) return last_status_ = kLsiOutOfMemory;
  const LsiOptionValues& o = Options();
  bool analyse = (request.flags & kLsiAnalyse) != 0 || (flags_ & kLsiAnalysedOnce) == 0;
  bool factorize = (request.flags & kLsiFactorize) != 0 || (flags_ & kLsiFactorizedOnce) == 0;
  const bool new_values = (request.flags & kLsiNewValues) != 0;

  if ((flags_ & kLsiResetRequested) != 0) {
    flags_ &= ~(kLsiAnalysedOnce | kLsiRankDeficientBit | kLsiFactorizedOnce | kLsiResetRequested |
                kLsiResizedInAnalyse | kLsiResizedInFactorize);
    flags_ |= kLsiFirstAfterAnalysis | kLsiKeepIntact;
    if (ResizeStorage(lsi_detail::InitialStorageFactor() * ne_) != 0) {
      return last_status_ = kLsiOutOfMemory;
    }
    analyse = factorize = true;
  }
  // Counted only while repivoting is asked for, so the counter stays bounded.
  if (new_values && o.repivot > 0 && ++repivot_counter_ >= o.repivot) {
    repivot_counter_ = 0;
    factorize = true;
  }
  if (o.reanalyze_window != window_length_ && !ResizeWindow(o.reanalyze_window)) {
    return last_status_ = kLsiOutOfMemory;
  }
  threshold_ = o.reanalyze_threshold;

  std::int64_t result = 0;
  if (analyse) {
    result = AnalyseAndFactorize(a, irn, jcn);
  } else if (factorize) {
    result = Factorize(a);
    NoteFactorization(result);
    if (result >= 0 && ((flags_ & kLsiRankDeficientBit) != 0 || growth_)) {
      result = AnalyseAndFactorize(a, irn, jcn);
    }
  } else if (new_values) {
    if ((flags_ & kLsiRankDeficientBit) != 0 || growth_) {
      result = AnalyseAndFactorize(a, irn, jcn);
    } else {
      // A factorization that dropped entries cannot be repeated with its
      // pivot sequence (the drivers refuse JOB 2 then).
      if (o.drop_tolerance > 0.0 && info_[5] > 0) {
        result = Factorize(a);
      } else {
        result = FastFactorize(a);
        if (result < 0) result = Factorize(a);
      }
      NoteFactorization(result);
      if (result >= 0 && ((result & 2) != 0 || growth_)) result = AnalyseAndFactorize(a, irn, jcn);
    }
  }
  if ((flags_ & kLsiOutOfMemoryBit) != 0) return last_status_ = kLsiOutOfMemory;
  if (result < 0) return last_status_ = result;

  const bool deficient = (flags_ & kLsiRankDeficientBit) != 0;
  if (deficient && !FillRankLists()) {
    return last_status_ = kLsiOutOfMemory;
  }
  if (request.plain_solve) {
    if (deficient) {
      CorrectedSolve(a, irn, jcn, b, x, false);
    } else {
      Solve(b, x);
    }
  }
  if (request.transposed_solve) {
    if (deficient) {
      CorrectedSolve(a, irn, jcn, b, x, true);
    } else {
      SolveTransposed(b, x);
    }
  }
  return last_status_ = deficient ? kLsiRankDeficient : kLsiOk;
}
