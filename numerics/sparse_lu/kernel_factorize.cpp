#include "numerics/sparse_lu/kernel_factorize.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "numerics/sparse_lu/kernel_print.h"
#include "numerics/sparse_lu/one_based.h"
#include "numerics/sparse_lu/slu_print.h"

using slu::IntView;
using slu::RealView;

namespace {

// Where the factors of the columns go while the call runs. When a column
// does not fit, the call keeps going to find the length it needs: it drops
// the U parts (later columns never read them) and keeps only the L parts;
// if even those do not fit, the rest is bounded from above.
enum class Storage { kFull, kLOnly, kBounded };

class Factorizer {
 public:
  Factorizer(const std::int64_t* M, const std::int64_t* N, const std::int64_t* NE,
             const std::int64_t* JOB, const double* AVAL, const std::int64_t* AROW,
             const std::int64_t* ACOLPTR, const double* CNTL, const std::int64_t* ICNTL,
             std::int64_t* IP, const std::int64_t* IQ, const std::int64_t* NP,
             const std::int64_t* LFACT, double* FACTORS, std::int64_t* IRNF, std::int64_t* IPTRL,
             std::int64_t* IPTRU, double* RWORK, std::int64_t* IWORK, std::int64_t* INFO,
             double* RINFO)
      : m_(*M), n_(*N), ne_(*NE), job_(*JOB), np_(*NP), lfact_(*LFACT), aval_(AVAL), arow_(AROW),
        acolptr_(ACOLPTR), iq_(IQ), ip_(IP), factors_(FACTORS), irnf_(IRNF), iptrl_(IPTRL),
        iptru_(IPTRU), rwork_(RWORK), info_(INFO), cntl_(CNTL), icntl_(ICNTL), rinfo_(RINFO),
        units_(SluUnitsFrom(ICNTL)) {
    if (m_ >= 1 && n_ >= 1) {
      row_step_ = IntView(IWORK);
      row_mark_ = IntView(IWORK + m_);
      l_rows_ = IntView(IWORK + 2 * m_);
      stack_step_ = IntView(IWORK + 3 * m_);
      stack_pos_ = IntView(IWORK + 3 * m_ + n_);
      u_steps_ = IntView(IWORK + 3 * m_ + 2 * n_);
      prune_end_ = IntView(IWORK + 3 * m_ + 3 * n_);
    }
  }

  void Run();

 private:
  bool CheckArguments();
  void Error(std::int64_t code, const std::string& detail, bool trailing_blank = false);
  void PrintEntry() const;
  void PrintExit() const;

  std::int64_t ColumnAt(std::int64_t k) const { return iq_[1] <= 0 ? k : iq_[k]; }
  std::int64_t ColumnBegin(std::int64_t j) const { return acolptr_[j]; }
  std::int64_t ColumnEnd(std::int64_t j) const { return j < n_ ? acolptr_[j + 1] : ne_ + 1; }
  std::int64_t EndBefore(std::int64_t k) const { return k == 1 ? 2 : iptrl_[k - 1]; }
  bool HasPivot(std::int64_t k) const { return iptru_[k] < iptrl_[k]; }
  std::int64_t PivotRowOf(std::int64_t s) const { return irnf_[iptru_[s] + 1]; }
  std::int64_t ReuseCount() const;

  // JOB = 1 and 3.
  bool FactorizeFrom(std::int64_t first);
  bool Scatter(std::int64_t k, std::int64_t j);
  void FindStructure(std::int64_t k, std::int64_t j);
  bool ApplyUpdates();
  std::int64_t ULength() const;
  void GatherU(std::int64_t k, bool store);
  void StoreSparseColumn(std::int64_t k);
  void StoreFullColumn(std::int64_t k);
  void Prune(std::int64_t k, std::int64_t pivot_row);
  void StartFullPart();
  void KeepLOnly(std::int64_t upto);
  void BoundTheRest(std::int64_t k);
  bool FinishFactors();

  // JOB = 2.
  bool Refactorize(std::int64_t first);

  void FactorizeFullBlock(std::int64_t e);
  std::int64_t FullRank(std::int64_t e) const;
  void NumberRows();
  void RebuildRowOrder();

  const std::int64_t m_, n_, ne_, job_, np_, lfact_;
  const slu::OneBased<const double> aval_;
  const slu::OneBased<const std::int64_t> arow_, acolptr_;
  const slu::OneBased<const std::int64_t> iq_;
  const IntView ip_;
  const RealView factors_;
  const IntView irnf_, iptrl_, iptru_;
  const RealView rwork_;
  const IntView info_;
  const double* cntl_;
  const std::int64_t* icntl_;
  double* rinfo_;
  const SluUnits units_;

  // Work columns in IWORK.
  IntView row_step_;  // pivot step of a row (> 0), -(its place) in the full block, or 0
  IntView row_mark_;  // 2k-1: met in column k's input, 2k: reached by its search
  IntView l_rows_;    // rows of the current column that are not pivotal
  IntView stack_step_, stack_pos_;  // search stack: step and next L position
  IntView u_steps_;                 // steps updating the current column, in completion order
  IntView prune_end_;               // last L position the search visits for a pruned step, else 0

  double u_ = 0.0, drop_ = 0.0, pivot_limit_ = 0.0;
  std::int64_t n_u_ = 0, n_l_ = 0;
  bool dropped_here_ = false;
  std::int64_t pivot_row_ = 0;  // pivot chosen for the current column
  std::int64_t pos_ = 2;        // last factor position written
  std::int64_t need_ = 2;       // last position if every factor had been stored
  std::int64_t bound_ = 0;      // upper bound of the need once kBounded
  Storage storage_ = Storage::kFull;
  std::int64_t mf_ = 0, nf_ = 0;
  std::int64_t full_start_ = 0;  // where the full block is gathered (top of FACTORS)
  bool full_started_ = false;
};

void Factorizer::Error(std::int64_t code, const std::string& detail, bool trailing_blank) {
  info_[1] = code;
  SluWriteRecord(units_.error, std::string(" **** Error return from SluKernelFactorize ****") +
                                   (trailing_blank ? " " : ""));
  SluWriteRecord(units_.error, detail);
}

bool Factorizer::CheckArguments() {
  if (m_ < 1 || n_ < 1) {
    Error(-1, " M =" + SluInt(m_) + " N =" + SluInt(n_));
    return false;
  }
  if (ne_ < 1) {
    Error(-2, " NE =" + SluInt(ne_));
    return false;
  }
  if (np_ < 0 || np_ > n_) {
    Error(-7, " NP =" + SluInt(np_) + " N =" + SluInt(n_));
    return false;
  }
  const std::int64_t least = std::max(m_, ne_ + 2);
  if (lfact_ < least) {
    info_[4] = least;
    Error(-3, " LFACT must be increased from" + SluInt(lfact_) + " to at least" + SluInt(least),
          true);
    return false;
  }
  if (job_ < 1 || job_ > 3) {
    Error(-5, " JOB =" + SluInt(job_));
    return false;
  }
  if (job_ > 1 && irnf_[1] != 0) {
    info_[1] = -6;
    SluWriteRecord(units_.error, " **** Error return from SluKernelFactorize ***");
    SluWriteRecord(units_.error, " Call with JOB=" + SluInt(job_) +
                                     " follows JOB=1 call in which entries were dropped");
    return false;
  }
  return true;
}

std::int64_t Factorizer::ReuseCount() const {
  const std::int64_t changing = icntl_[5];
  if (job_ == 1 || changing <= 0 || changing >= n_) return 0;
  return std::min(np_, n_ - changing);
}

// Scatters column j into RWORK; a row met twice is error -4.
bool Factorizer::Scatter(std::int64_t k, std::int64_t j) {
  for (std::int64_t e = ColumnBegin(j); e < ColumnEnd(j); ++e) {
    const std::int64_t r = arow_[e];
    if (row_mark_[r] == 2 * k - 1) {
      Error(-4, " Entry in row" + SluInt(r) + " and column" + SluInt(j) + " duplicated");
      return false;
    }
    row_mark_[r] = 2 * k - 1;
    rwork_[r] = aval_[e];
  }
  return true;
}

// Depth-first search from the rows of column j: a pivotal row leads to the
// L rows of its step. Steps are recorded as they complete, so applying them
// from the last recorded to the first is a topological order.
void Factorizer::FindStructure(std::int64_t k, std::int64_t j) {
  const std::int64_t reached = 2 * k;
  n_u_ = n_l_ = 0;
  auto l_end = [&](std::int64_t s) { return prune_end_[s] > 0 ? prune_end_[s] : iptrl_[s]; };
  for (std::int64_t e = ColumnBegin(j); e < ColumnEnd(j); ++e) {
    const std::int64_t r0 = arow_[e];
    if (row_mark_[r0] == reached) continue;
    row_mark_[r0] = reached;
    if (row_step_[r0] <= 0) {
      l_rows_[++n_l_] = r0;
      continue;
    }
    std::int64_t top = 1;
    stack_step_[1] = row_step_[r0];
    stack_pos_[1] = iptru_[row_step_[r0]] + 2;
    while (top > 0) {
      const std::int64_t s = stack_step_[top];
      const std::int64_t end = l_end(s);
      bool pushed = false;
      for (std::int64_t pos = stack_pos_[top]; pos <= end; ++pos) {
        const std::int64_t r = irnf_[pos];
        if (row_mark_[r] == reached) continue;
        row_mark_[r] = reached;
        if (row_step_[r] > 0) {
          stack_pos_[top] = pos + 1;
          ++top;
          stack_step_[top] = row_step_[r];
          stack_pos_[top] = iptru_[row_step_[r]] + 2;
          pushed = true;
          break;
        }
        l_rows_[++n_l_] = r;
      }
      if (!pushed) {
        u_steps_[++n_u_] = s;
        --top;
      }
    }
  }
}

// Applies the updating steps in topological order. A multiplier below the
// drop tolerance is dropped (its step is marked negative in u_steps_).
bool Factorizer::ApplyUpdates() {
  bool dropped = false;
  for (std::int64_t t = n_u_; t >= 1; --t) {
    const std::int64_t s = u_steps_[t];
    const std::int64_t p = PivotRowOf(s);
    double w = rwork_[p];
    if (std::fabs(w) < drop_) {
      ++info_[6];
      dropped = true;
      u_steps_[t] = -s;
      rwork_[p] = 0.0;
      continue;
    }
    w = -w * factors_[iptru_[s] + 1];
    rwork_[p] = w;
    for (std::int64_t pos = iptru_[s] + 2; pos <= iptrl_[s]; ++pos) {
      rwork_[irnf_[pos]] += factors_[pos] * w;
    }
    *rinfo_ += static_cast<double>(1 + 2 * (iptrl_[s] - iptru_[s] - 1));
  }
  return dropped;
}

// Drops the U parts of the columns stored so far and closes up their L parts
// from position 3, so that the count can go on in the space left.
void Factorizer::KeepLOnly(std::int64_t upto) {
  std::int64_t w = 2;
  for (std::int64_t s = 1; s <= upto; ++s) {
    const std::int64_t first = iptru_[s] + 1;
    const std::int64_t length = iptrl_[s] - iptru_[s];
    for (std::int64_t t = 0; t < length; ++t) {
      irnf_[w + 1 + t] = irnf_[first + t];
      factors_[w + 1 + t] = factors_[first + t];
    }
    if (prune_end_[s] > 0) prune_end_[s] += w + 1 - first;
    iptru_[s] = w;
    iptrl_[s] = w + length;
    w = iptrl_[s];
  }
  pos_ = w;
  storage_ = Storage::kLOnly;
}

// The L parts no longer fit either: every later column is bounded by M
// entries (its U and L rows are distinct rows) and the full block by the
// rows still without a pivot.
void Factorizer::BoundTheRest(std::int64_t k) {
  storage_ = Storage::kBounded;
  std::int64_t pivots = 0;
  for (std::int64_t r = 1; r <= m_; ++r) pivots += row_step_[r] > 0 ? 1 : 0;
  const std::int64_t rows = m_ - pivots;
  const std::int64_t columns = n_ - np_;
  bound_ = need_ + (n_ - k) * m_ + std::max(rows * columns, rows + columns);
}

std::int64_t Factorizer::ULength() const {
  std::int64_t length = 0;
  for (std::int64_t t = 1; t <= n_u_; ++t) length += u_steps_[t] > 0 ? 1 : 0;
  return length;
}

// The U part, in the order the search completed the steps, is written when
// storing; its rows of RWORK are cleared either way.
void Factorizer::GatherU(std::int64_t k, bool store) {
  for (std::int64_t t = 1; t <= n_u_; ++t) {
    const std::int64_t s = std::abs(u_steps_[t]);
    const std::int64_t p = PivotRowOf(s);
    if (store && u_steps_[t] > 0) {
      ++pos_;
      irnf_[pos_] = s;
      factors_[pos_] = rwork_[p];
    }
    rwork_[p] = 0.0;
  }
  if (storage_ != Storage::kBounded) iptru_[k] = pos_;
}

void Factorizer::StoreSparseColumn(std::int64_t k) {
  const std::int64_t u_length = ULength();

  // The rows that stay in L: small values are dropped; the pivot is the
  // acceptable row that comes first in the analysis order.
  double mx = 0.0;
  std::int64_t kept = 0;
  for (std::int64_t t = 1; t <= n_l_; ++t) {
    const std::int64_t r = l_rows_[t];
    if (std::fabs(rwork_[r]) < drop_) {
      ++info_[6];
      dropped_here_ = true;
      rwork_[r] = 0.0;
      l_rows_[t] = -r;
      continue;
    }
    ++kept;
    mx = std::max(mx, std::fabs(rwork_[r]));
  }
  pivot_row_ = 0;
  for (std::int64_t t = 1; t <= n_l_; ++t) {
    const std::int64_t r = l_rows_[t];
    if (r < 0) continue;
    const double v = std::fabs(rwork_[r]);
    if (v >= u_ * mx && v > pivot_limit_ && (pivot_row_ == 0 || ip_[r] < ip_[pivot_row_])) {
      pivot_row_ = r;
    }
  }
  if (pivot_row_ == 0 && drop_ > 0.0) info_[6] += kept;
  const std::int64_t l_length = pivot_row_ != 0 ? kept : 0;
  need_ += u_length + l_length;

  if (storage_ == Storage::kFull && pos_ + u_length + l_length > lfact_) KeepLOnly(k - 1);
  if (storage_ == Storage::kLOnly && pos_ + l_length > lfact_) BoundTheRest(k);

  GatherU(k, storage_ == Storage::kFull);

  if (pivot_row_ != 0) {
    row_step_[pivot_row_] = k;
    ++info_[5];
    *rinfo_ += 1.0;
    if (storage_ != Storage::kBounded) {
      ++pos_;
      irnf_[pos_] = pivot_row_;
      factors_[pos_] = 1.0 / rwork_[pivot_row_];
      for (std::int64_t t = 1; t <= n_l_; ++t) {
        const std::int64_t r = l_rows_[t];
        if (r < 0 || r == pivot_row_) continue;
        ++pos_;
        irnf_[pos_] = r;
        factors_[pos_] = rwork_[r];
      }
    }
  }
  if (storage_ != Storage::kBounded) iptrl_[k] = pos_;
  for (std::int64_t t = 1; t <= n_l_; ++t) rwork_[std::abs(l_rows_[t])] = 0.0;
}

// Once a column is complete, every step that updated it and has the new
// pivot row among its L rows can restrict later searches to its rows that
// are already pivotal (past the sparse phase, always). Not after a drop: the
// column's stored L would no longer cover the rows that are skipped.
void Factorizer::Prune(std::int64_t k, std::int64_t pivot_row) {
  if (dropped_here_ || storage_ == Storage::kBounded) return;
  for (std::int64_t t = 1; t <= n_u_; ++t) {
    const std::int64_t s = u_steps_[t];
    if (s <= 0 || prune_end_[s] > 0) continue;
    std::int64_t lo = iptru_[s] + 2;
    std::int64_t hi = iptrl_[s];
    if (k <= np_) {
      bool holds_pivot = false;
      for (std::int64_t pos = lo; pos <= hi && !holds_pivot; ++pos) {
        holds_pivot = irnf_[pos] == pivot_row;
      }
      if (!holds_pivot) continue;
    }
    while (lo <= hi) {
      if (row_step_[irnf_[lo]] > 0) {
        ++lo;
        continue;
      }
      std::swap(irnf_[lo], irnf_[hi]);
      std::swap(factors_[lo], factors_[hi]);
      --hi;
    }
    prune_end_[s] = lo - 1;
  }
}

// The rows without a pivot become the full block's rows, numbered in
// increasing row order; the block is gathered at the top of FACTORS and
// moved behind the sparse factors at the end.
void Factorizer::StartFullPart() {
  full_started_ = true;
  mf_ = 0;
  for (std::int64_t r = 1; r <= m_; ++r) {
    if (row_step_[r] == 0) row_step_[r] = -(++mf_);
  }
  nf_ = n_ - np_;
  if (storage_ != Storage::kFull) return;
  if (nf_ == 0) return;  // the rows are listed at the end
  full_start_ = lfact_ - mf_ * nf_ + 1;
  if (full_start_ <= pos_) {
    KeepLOnly(np_);
    return;
  }
  // The row list lives in IRNF beside the block until the end.
  for (std::int64_t r = 1; r <= m_; ++r) {
    if (row_step_[r] < 0) irnf_[full_start_ - row_step_[r] - 1] = r;
  }
}

void Factorizer::StoreFullColumn(std::int64_t k) {
  const std::int64_t u_length = ULength();
  need_ += u_length;
  if (storage_ == Storage::kFull && pos_ + u_length >= full_start_) KeepLOnly(np_);

  const bool store = storage_ == Storage::kFull;
  GatherU(k, store);
  if (storage_ != Storage::kBounded) iptrl_[k] = pos_;

  if (store) {
    double* column = factors_.From(full_start_ + (k - np_ - 1) * mf_);
    for (std::int64_t i = 1; i <= mf_; ++i) {
      const std::int64_t r = irnf_[full_start_ + i - 1];
      column[i - 1] = rwork_[r];
      rwork_[r] = 0.0;
    }
    return;
  }
  // Nothing gathered: clear every row the updates and the input reached.
  for (std::int64_t t = 1; t <= n_u_; ++t) {
    const std::int64_t s = std::abs(u_steps_[t]);
    for (std::int64_t pos = iptru_[s] + 2; pos <= iptrl_[s]; ++pos) rwork_[irnf_[pos]] = 0.0;
  }
  const std::int64_t j = ColumnAt(k);
  for (std::int64_t e = ColumnBegin(j); e < ColumnEnd(j); ++e) rwork_[arow_[e]] = 0.0;
}

bool Factorizer::FactorizeFrom(std::int64_t first) {
  pos_ = need_ = EndBefore(first);
  for (std::int64_t k = first; k <= n_ && storage_ != Storage::kBounded; ++k) {
    if (k > np_ && !full_started_) StartFullPart();
    const std::int64_t j = ColumnAt(k);
    if (!Scatter(k, j)) return false;
    FindStructure(k, j);
    dropped_here_ = ApplyUpdates();
    if (k <= np_) {
      StoreSparseColumn(k);
      if (pivot_row_ != 0) Prune(k, pivot_row_);
    } else {
      StoreFullColumn(k);
      Prune(k, 0);
    }
  }
  if (!full_started_) StartFullPart();
  return FinishFactors();
}

std::int64_t Factorizer::FullRank(std::int64_t e) const {
  std::int64_t r = 0;
  while (r < std::min(mf_, nf_) && irnf_[e + mf_ + r + 1] > 0) ++r;
  return r;
}

// Factorizes the full block behind position e and records its interchanges
// behind its row list.
void Factorizer::FactorizeFullBlock(std::int64_t e) {
  double* block = factors_.From(e + 1);
  std::int64_t* record = irnf_.From(e + mf_ + 1);
  std::int64_t rank = 0;
  if (mf_ >= 1 && nf_ >= 1) {
    const std::int64_t level = icntl_[4];
    if (level > 1) {
      const std::int64_t nb = std::min(level, nf_);
      SluKernelFullBlas3(&mf_, &nf_, block, &mf_, &nb, &pivot_limit_, record, &rank);
    } else if (level == 1) {
      SluKernelFullBlas2(&mf_, &nf_, block, &mf_, &pivot_limit_, record, &rank);
    } else {
      SluKernelFullBlas1(&mf_, &nf_, block, &mf_, &pivot_limit_, record, &rank);
    }
    for (std::int64_t k = 1; k <= std::min(mf_, nf_); ++k) {
      // The product is taken in single precision.
      const float product = static_cast<float>(mf_ - k) * static_cast<float>(nf_ - k);
      *rinfo_ += static_cast<double>(mf_ - k + 1) + 2.0 * static_cast<double>(product);
    }
  } else {
    for (std::int64_t k = 1; k <= nf_; ++k) record[k - 1] = -k;
  }
  info_[5] += rank;
}

bool Factorizer::FinishFactors() {
  const std::int64_t least = std::max(m_, ne_ + 2);
  if (storage_ != Storage::kFull) {
    const std::int64_t need =
        storage_ == Storage::kBounded ? bound_ : need_ + std::max(mf_ * nf_, mf_ + nf_);
    info_[4] = std::max(need, least);
    Error(-3, " LFACT must be increased from" + SluInt(lfact_) + " to at least" + SluInt(info_[4]),
          true);
    return false;
  }
  const std::int64_t e = pos_;
  const std::int64_t used = e + std::max(mf_ * nf_, mf_ + nf_);
  if (used > lfact_) {
    info_[4] = std::max(used, least);
    Error(-3, " LFACT must be increased from" + SluInt(lfact_) + " to at least" + SluInt(info_[4]),
          true);
    return false;
  }
  if (nf_ >= 1) {
    // Move the row list and the gathered block down behind the sparse part.
    std::memmove(irnf_.From(e + 1), irnf_.From(full_start_), sizeof(std::int64_t) * mf_);
    std::memmove(factors_.From(e + 1), factors_.From(full_start_),
                 sizeof(double) * static_cast<std::size_t>(mf_ * nf_));
  } else {
    for (std::int64_t r = 1; r <= m_; ++r) {
      if (row_step_[r] < 0) irnf_[e - row_step_[r]] = r;
    }
  }
  FactorizeFullBlock(e);
  info_[4] = used;
  return true;
}

// JOB = 2: same pattern and pivots, new values.
bool Factorizer::Refactorize(std::int64_t first) {
  const std::int64_t e = iptrl_[n_];
  mf_ = irnf_[2];
  nf_ = n_ - np_;
  const std::int64_t used = e + std::max(mf_ * nf_, mf_ + nf_);
  if (used > lfact_) {
    info_[4] = std::max(used, std::max(m_, ne_ + 2));
    Error(-3, " LFACT must be increased from" + SluInt(lfact_) + " to at least" + SluInt(info_[4]),
          true);
    return false;
  }
  const std::int64_t old_full_rank = FullRank(e);
  for (std::int64_t k = 1; k < first; ++k) info_[5] += HasPivot(k) ? 1 : 0;

  for (std::int64_t k = first; k <= n_; ++k) {
    const std::int64_t j = ColumnAt(k);
    std::int64_t touched = 0;
    auto touch = [&](std::int64_t r) {
      if (row_mark_[r] == k) return;
      row_mark_[r] = k;
      l_rows_[++touched] = r;
    };
    for (std::int64_t pos = ColumnBegin(j); pos < ColumnEnd(j); ++pos) {
      rwork_[arow_[pos]] = aval_[pos];
      touch(arow_[pos]);
    }
    for (std::int64_t pos = iptru_[k]; pos > EndBefore(k); --pos) {
      const std::int64_t s = irnf_[pos];
      const std::int64_t p = PivotRowOf(s);
      const double w = -rwork_[p] * factors_[iptru_[s] + 1];
      factors_[pos] = w;
      rwork_[p] = 0.0;
      for (std::int64_t q = iptru_[s] + 2; q <= iptrl_[s]; ++q) {
        rwork_[irnf_[q]] += factors_[q] * w;
        touch(irnf_[q]);
      }
      *rinfo_ += static_cast<double>(1 + 2 * (iptrl_[s] - iptru_[s] - 1));
    }
    if (k <= np_) {
      if (HasPivot(k)) {
        const double pivot = rwork_[PivotRowOf(k)];
        if (std::fabs(pivot) <= pivot_limit_) {
          Error(-(7 + k), " Small pivot found in column" + SluInt(k) + " of the permuted matrix.",
                true);
          return false;
        }
        factors_[iptru_[k] + 1] = 1.0 / pivot;
        for (std::int64_t q = iptru_[k] + 2; q <= iptrl_[k]; ++q) {
          factors_[q] = rwork_[irnf_[q]];
        }
        ++info_[5];
        *rinfo_ += 1.0;
      }
    } else {
      double* column = factors_.From(e + 1 + (k - np_ - 1) * mf_);
      for (std::int64_t i = 1; i <= mf_; ++i) column[i - 1] = rwork_[irnf_[e + i]];
    }
    for (std::int64_t t = 1; t <= touched; ++t) rwork_[l_rows_[t]] = 0.0;
  }

  const std::int64_t sparse_rank = info_[5];
  FactorizeFullBlock(e);
  if (info_[5] - sparse_rank < old_full_rank) {
    // A pivot the last factorization took is no longer acceptable.
    std::int64_t step = nf_ + 1;
    for (std::int64_t t = 1; t <= nf_; ++t) {
      if (irnf_[e + mf_ + t] < 0) step = std::min(step, -irnf_[e + mf_ + t]);
    }
    const std::int64_t k = np_ + step;
    Error(-(7 + k), " Small pivot found in column" + SluInt(k) + " of the permuted matrix.", true);
    return false;
  }
  info_[4] = used;
  return true;
}

// JOB = 3 starts from the row order of the stored factors: pivot rows at
// their steps, then the full block's rows.
void Factorizer::RebuildRowOrder() {
  const std::int64_t e = iptrl_[n_];
  const std::int64_t mf = irnf_[2];
  for (std::int64_t r = 1; r <= m_; ++r) ip_[r] = 0;
  for (std::int64_t k = 1; k <= np_; ++k) {
    if (HasPivot(k)) ip_[PivotRowOf(k)] = k;
  }
  std::int64_t next = np_;
  for (std::int64_t i = 1; i <= mf; ++i) {
    const std::int64_t r = irnf_[e + i];
    if (r >= 1 && r <= m_ && ip_[r] == 0) ip_[r] = ++next;
  }
  for (std::int64_t r = 1; r <= m_; ++r) {
    if (ip_[r] == 0) ip_[r] = ++next;
  }
}

// Final row positions: a pivot row takes its step; the other rows, in
// increasing order, take the positions no pivot took, so IP stays a
// permutation when a sparse step found no pivot.
void Factorizer::NumberRows() {
  std::int64_t next = 0;
  auto next_free = [&] {
    for (++next; next <= np_ && HasPivot(next); ++next) {
    }
    return next;
  };
  for (std::int64_t r = 1; r <= m_; ++r) {
    ip_[r] = row_step_[r] > 0 ? row_step_[r] : 0;
  }
  for (std::int64_t r = 1; r <= m_; ++r) {
    if (ip_[r] == 0) ip_[r] = next_free();
  }
}

void Factorizer::PrintEntry() const {
  const slu::SummaryUnit s = slu::SummaryUnitFrom(icntl_);
  if (s.unit < 1) return;
  SluWriteRecord(s.unit, " Entering SluKernelFactorize with M =" + SluInt(m_) +
                             " N =" + SluInt(n_) + " NE =" + SluInt(ne_) + " JOB =" + SluInt(job_) +
                             " LFACT =" + SluInt(lfact_) + " NP =" + SluInt(np_));
  slu::WriteReals(s.unit, " CNTL  =", cntl_, 4);
  slu::WriteInts(s.unit, " ICNTL =", icntl_, 7);
  if (!s.full) return;
  slu::WriteInts(s.unit, " IP = ", ip_.From(1), m_);
  if (iq_[1] > 0) slu::WriteInts(s.unit, " IQ = ", iq_.From(1), n_);
  slu::WriteColumns(s.unit, n_, n_, ne_, acolptr_.From(1), aval_.From(1), arow_.From(1));
}

void Factorizer::PrintExit() const {
  const slu::SummaryUnit s = slu::SummaryUnitFrom(icntl_);
  if (s.unit < 1) return;
  SluWriteRecord(s.unit, " Leaving SluKernelFactorize with IRNF(2) =" + SluInt(irnf_[2]));
  SluWriteRecord(s.unit, " RINFO =" + slu::OperationCount(*rinfo_));
  SluWriteRecord(s.unit, " INFO(1) =" + SluInt(info_[1]));
  slu::WriteInts(s.unit, " INFO(4:7) =", info_.From(4), 4);
  if (!s.full) return;
  slu::WriteInts(s.unit, " IP = ", ip_.From(1), m_);
  slu::WriteFactors(s.unit, n_, np_, factors_.From(1), irnf_.From(1), iptrl_.From(1),
                    iptru_.From(1));
}

void Factorizer::Run() {
  info_[1] = 0;
  info_[4] = info_[5] = info_[6] = info_[7] = 0;
  *rinfo_ = 0.0;
  if (!CheckArguments()) return;
  PrintEntry();
  u_ = std::clamp(cntl_[1], 0.0, 1.0);
  drop_ = cntl_[2];
  pivot_limit_ = std::max(cntl_[3], 0.0);
  for (std::int64_t r = 1; r <= m_; ++r) {
    rwork_[r] = 0.0;
    row_step_[r] = 0;
    row_mark_[r] = 0;
  }
  for (std::int64_t k = 1; k <= n_; ++k) prune_end_[k] = 0;

  const std::int64_t first = ReuseCount() + 1;
  bool ok = false;
  if (job_ == 2) {
    ok = Refactorize(first);
    for (std::int64_t k = 1; k <= np_; ++k) {
      if (HasPivot(k)) row_step_[PivotRowOf(k)] = k;
    }
  } else {
    if (job_ == 1) {
      factors_[1] = cntl_[2];
      factors_[2] = cntl_[3];
    } else {
      RebuildRowOrder();
    }
    for (std::int64_t k = 1; k < first; ++k) {
      if (!HasPivot(k)) continue;
      row_step_[PivotRowOf(k)] = k;
      ++info_[5];
    }
    ok = FactorizeFrom(first);
  }
  if (!ok) return;
  NumberRows();
  irnf_[1] = info_[6];
  irnf_[2] = mf_;
  info_[7] = mf_;
  // Rank deficiency is no error and has no code: it shows in INFO(5) alone.
  PrintExit();
}

}  // namespace

void SluKernelFactorize(const std::int64_t* M, const std::int64_t* N, const std::int64_t* NE,
                        const std::int64_t* JOB, const double* AVAL, const std::int64_t* AROW,
                        const std::int64_t* ACOLPTR, const double* CNTL, const std::int64_t* ICNTL,
                        std::int64_t* IP, const std::int64_t* IQ, const std::int64_t* NP,
                        const std::int64_t* LFACT, double* FACTORS, std::int64_t* IRNF,
                        std::int64_t* IPTRL, std::int64_t* IPTRU, double* RWORK,
                        std::int64_t* IWORK, std::int64_t* INFO, double* RINFO) {
  Factorizer factorizer(M, N, NE, JOB, AVAL, AROW, ACOLPTR, CNTL, ICNTL, IP, IQ, NP, LFACT, FACTORS,
                        IRNF, IPTRL, IPTRU, RWORK, IWORK, INFO, RINFO);
  factorizer.Run();
}
