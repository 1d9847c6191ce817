#include "outside/framework/linear_core.h"

#include "outside/framework/recycle.h"

#include <suitesparse/btf.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

extern "C" void dgeqp3_(const int* m, const int* n, double* a, const int* lda, int* jpvt,
                        double* tau, double* work, const int* lwork, int* info);

namespace kvs {
namespace {

struct Csc {
  const std::vector<std::int64_t>& start;
  const std::vector<std::int64_t>& index;
  const std::vector<double>& values;
};

// Relative size of the last kept diagonal of R against its first.
constexpr double kRankTolerance = 1e-12;

// Column-pivoted QR of the dense k x k `a` (column-major): the pivot order,
// 0-based, and the numerical rank.
std::int64_t PivotedQr(std::vector<double> a, int k, std::vector<int>& order) {
  order.assign(size_t(k), 0);
  std::vector<double> tau(static_cast<size_t>(k));
  int info = 0, lwork = -1;
  double query = 0;
  dgeqp3_(&k, &k, a.data(), &k, order.data(), tau.data(), &query, &lwork, &info);
  lwork = std::max(1, int(query));
  std::vector<double> work(static_cast<size_t>(lwork));
  dgeqp3_(&k, &k, a.data(), &k, order.data(), tau.data(), work.data(), &lwork, &info);
  for (int& o : order) --o;
  if (info != 0) return 0;
  const double first = std::fabs(a[0]);
  std::int64_t rank = 0;
  while (rank < k && first > 0 &&
         std::fabs(a[size_t(rank) * size_t(k) + size_t(rank)]) > kRankTolerance * first)
    ++rank;
  return rank;
}

// No branch per entry, so that the pass vectorises: adding one to the
// exponent field carries into the sign bit only where every exponent bit is
// set, that is for an infinity or a NaN.
bool AllFinite(const double* v, size_t n) {
  std::uint64_t carry = 0;
  for (size_t i = 0; i < n; ++i) {
    std::uint64_t bits;
    std::memcpy(&bits, v + i, sizeof bits);
    carry |= (bits & 0x7ff0000000000000u) + 0x0010000000000000u;
  }
  return (carry >> 63) == 0;
}

double MaxAbs(const std::vector<double>& v) {
  double m = 0;
  for (double e : v) m = std::max(m, std::fabs(e));
  return m;
}

}  // namespace

LinearCore::~LinearCore() {
  GiveBack(start_, index_, slot_, csc_values_, b_, sol_, residual_, correction_, row_sum_,
           pair_row_, pair_col_, values_, scaled_, scaled_rhs_, row_scale_, col_scale_);
}

bool LinearCore::SetPattern(std::int64_t n, std::int64_t non_zeros, const std::int64_t* rows,
                            const std::int64_t* cols) {
  constexpr std::int64_t kNarrow = std::numeric_limits<std::int32_t>::max();  // slots are 32-bit
  if (n < 1 || n > kNarrow || non_zeros < 0 || non_zeros > kNarrow ||
      (non_zeros > 0 && (rows == nullptr || cols == nullptr)))
    return false;
  for (std::int64_t k = 0; k < non_zeros; ++k)
    if (rows[k] < 1 || rows[k] > n || cols[k] < 1 || cols[k] > n) return false;
  n_ = n;
  non_zeros_ = non_zeros;
  // Compress by columns; a repeated pair shares its slot and its values add.
  // One counting pass by column, then each (short) column ordered by row:
  // a general sort here cost more than the factorisation of a flowsheet's
  // many small blocks.
  const size_t nz = size_t(non_zeros), un = size_t(n);
  std::vector<std::int64_t> order = RecycleBin<std::int64_t>::Take(nz);
  order.resize(nz);
  Reuse(index_, nz), Reuse(slot_, nz), Reuse(csc_values_, nz), Reuse(start_, un + 1);
  start_.assign(un + 1, 0);
  for (size_t k = 0; k < nz; ++k) ++start_[size_t(cols[k])];
  for (size_t j = 0; j < un; ++j) start_[j + 1] += start_[j];
  // start_[j + 1] is now the end of column j; fill each column from its start.
  std::vector<std::int64_t> next(start_.begin(), start_.end() - 1);
  for (size_t k = 0; k < nz; ++k) order[size_t(next[size_t(cols[k] - 1)]++)] = std::int64_t(k);
  for (size_t j = 0; j < un; ++j) {
    auto first = order.begin() + start_[j], last = order.begin() + start_[j + 1];
    auto by_row = [rows](std::int64_t a, std::int64_t b) { return rows[a] < rows[b]; };
    if (last - first > 32) {
      std::stable_sort(first, last, by_row);
    } else {
      for (auto it = first + (first != last); it < last; ++it)
        for (auto at = it; at > first && by_row(*at, *(at - 1)); --at) std::iter_swap(at, at - 1);
    }
  }
  std::fill(start_.begin(), start_.end(), 0);
  index_.resize(nz), slot_.resize(nz);
  std::int64_t* index = index_.data();
  std::int32_t* slot = slot_.data();
  std::int64_t* start = start_.data();
  std::int64_t kept = 0, last_row = 0, last_col = 0;
  for (const std::int64_t k : order) {
    if (rows[k] != last_row || cols[k] != last_col) {
      last_row = rows[k], last_col = cols[k];
      index[kept++] = last_row - 1;
      ++start[last_col];
    }
    slot[k] = std::int32_t(kept - 1);
  }
  index_.resize(size_t(kept));
  RecycleBin<std::int64_t>::Give(std::move(order));
  for (std::int64_t j = 0; j < n; ++j) start_[size_t(j) + 1] += start_[size_t(j)];
  pairs_ = kept == non_zeros && lu_->TakesPairs();
  valued_ = false;
  if (pairs_) {
    Reuse(pair_row_, nz), Reuse(pair_col_, nz), Reuse(values_, nz);
    pair_row_.resize(nz), pair_col_.resize(nz);
    for (size_t k = 0; k < nz; ++k)
      pair_row_[k] = std::int32_t(rows[k] - 1), pair_col_[k] = std::int32_t(cols[k] - 1);
  }
  analysed_ = false;
  return true;
}

bool LinearCore::Analyse(const LinearSettings& settings) {
  analysed_ =
      pairs_ ? lu_->AnalysePairs(n_, non_zeros_, pair_row_.data(), pair_col_.data(), settings.lu)
             : lu_->Analyse(n_, start_.data(), index_.data(), settings.lu);
  analysed_transposed_ = settings.lu.transpose;
  return analysed_;
}

FactorResult LinearCore::Factorise(const double* values, const LinearSettings& settings) {
  singular_ = false;
  perturbed_ = false;
  valued_ = false;
  rank_ = n_;
  if (n_ < 1 || values == nullptr) return FactorResult::kFailed;
  const size_t nz = size_t(non_zeros_);
  const std::int32_t* slot = slot_.data();
  if (pairs_) {
    // A plain copy: the pass vectorises, finiteness test included.
    values_.resize(nz);
    double* kept = values_.data();
    std::uint64_t carry = 0;
    for (size_t k = 0; k < nz; ++k) {
      std::uint64_t bits;
      std::memcpy(&bits, values + k, sizeof bits);
      carry |= (bits & 0x7ff0000000000000u) + 0x0010000000000000u;
      kept[k] = values[k];
    }
    if ((carry >> 63) != 0) return FactorResult::kFailed;
    csc_stale_ = true;
  } else if (index_.size() == nz) {
    // No repeated pair: every slot is written once, nothing to clear. The
    // finiteness test rides along (see AllFinite) rather than costing a
    // pass of its own.
    csc_values_.resize(nz);
    double* csc = csc_values_.data();
    std::uint64_t carry = 0;
    auto one = [&](size_t k) {
      std::uint64_t bits;
      std::memcpy(&bits, values + k, sizeof bits);
      carry |= (bits & 0x7ff0000000000000u) + 0x0010000000000000u;
      csc[slot[k]] = values[k];
    };
    size_t k = 0;
    for (; k + 4 <= nz; k += 4) one(k), one(k + 1), one(k + 2), one(k + 3);
    for (; k < nz; ++k) one(k);
    if ((carry >> 63) != 0) return FactorResult::kFailed;
  } else {
    if (!AllFinite(values, nz)) return FactorResult::kFailed;
    csc_values_.assign(index_.size(), 0.0);
    double* csc = csc_values_.data();
    for (size_t k = 0; k < nz; ++k) csc[slot[k]] += values[k];
  }
  valued_ = true;
  const double* lu_values = Equilibrate(pairs_ ? values_.data() : csc_values_.data());
  if ((!analysed_ || analysed_transposed_ != settings.lu.transpose) && !Analyse(settings))
    return FactorResult::kFailed;
  ++factorisations_;
  const LuResult r = lu_->Factorise(lu_values, settings.lu, settings.singular_rcond);
  if (r == LuResult::kFailed) return FactorResult::kFailed;
  if (r == LuResult::kOk) return FactorResult::kOk;
  row_order_.resize(size_t(n_));
  col_order_.resize(size_t(n_));
  if (!lu_->RankInfo(&rank_, row_order_.data(), col_order_.data())) FindRank();
  if (rank_ == n_) {
    // The estimate was pessimistic: the pivoted QR finds full rank.
    rank_ = n_;
    return lu_->Factorise(lu_values, settings.lu, 0.0) == LuResult::kOk ? FactorResult::kOk
                                                                        : FactorResult::kFailed;
  }
  singular_ = true;
  return FactoriseReduced(settings) ? FactorResult::kSingular : FactorResult::kFailed;
}

// Powers of two (so that no value rounds) that bring every row's largest
// entry into [0.5, 1), then every column's: the LU factorises R A C, and
// its pivot order and its test of a pivot against the singularity share
// are those of the scaled matrix, whatever the units of rows and columns.
const double* LinearCore::Equilibrate(const double* values) {
  const size_t n = size_t(n_);
  row_scale_.assign(n, 0.0);
  col_scale_.assign(n, 0.0);
  auto each = [&](auto&& f) {
    if (pairs_) {
      for (size_t k = 0; k < values_.size(); ++k) f(k, size_t(pair_row_[k]), size_t(pair_col_[k]));
      return;
    }
    for (size_t j = 0; j < n; ++j)
      for (std::int64_t e = start_[j]; e < start_[j + 1]; ++e)
        f(size_t(e), size_t(index_[size_t(e)]), j);
  };
  auto power = [](double largest) {
    if (!(largest > 0.0)) return 1.0;
    int exponent = 0;
    std::frexp(largest, &exponent);
    return std::ldexp(1.0, -exponent);
  };
  each([&](size_t k, size_t i, size_t) {
    row_scale_[i] = std::max(row_scale_[i], std::fabs(values[k]));
  });
  for (double& r : row_scale_) r = power(r);
  each([&](size_t k, size_t i, size_t j) {
    col_scale_[j] = std::max(col_scale_[j], std::fabs(values[k]) * row_scale_[i]);
  });
  for (double& c : col_scale_) c = power(c);
  scaled_.resize(pairs_ ? values_.size() : csc_values_.size());
  each([&](size_t k, size_t i, size_t j) {
    scaled_[k] = values[k] * row_scale_[i] * col_scale_[j];
  });
  return scaled_.data();
}

const std::vector<double>& LinearCore::CscValues() {
  if (pairs_ && csc_stale_) {
    csc_values_.resize(values_.size());
    for (size_t k = 0; k < values_.size(); ++k) csc_values_[size_t(slot_[k])] = values_[k];
    csc_stale_ = false;
  }
  return csc_values_;
}

// The block triangular form isolates the blocks; a pivoted QR of each block
// and of its transpose names the dependent columns and rows within it.
void LinearCore::FindRank() {
  const size_t n = size_t(n_);
  const std::vector<double>& csc_values = CscValues();
  std::vector<std::int64_t> p(n), q(n), r(n + 1), work(5 * n);
  std::int64_t nmatch = 0;
  double work_done = 0;
  const std::int64_t blocks = btf_l_order(n_, start_.data(), index_.data(), -1.0, &work_done,
                                          p.data(), q.data(), r.data(), &nmatch, work.data());
  std::vector<std::int64_t> row_at(n);  // row -> position in the permuted order
  for (size_t k = 0; k < n; ++k) row_at[size_t(p[k])] = std::int64_t(k);
  std::vector<std::int64_t> indep_rows, indep_cols, dep_rows, dep_cols;
  std::vector<int> order;
  for (std::int64_t b = 0; b < blocks; ++b) {
    const std::int64_t first = r[size_t(b)], k = r[size_t(b) + 1] - first;
    std::vector<double> dense(static_cast<size_t>(k * k), 0.0), dense_t(dense);
    std::vector<std::int64_t> cols(static_cast<size_t>(k)), rows(static_cast<size_t>(k));
    for (std::int64_t c = 0; c < k; ++c) {
      const std::int64_t j = BTF_UNFLIP(q[size_t(first + c)]);
      cols[size_t(c)] = j;
      rows[size_t(c)] = p[size_t(first + c)];
      for (std::int64_t e = start_[size_t(j)]; e < start_[size_t(j) + 1]; ++e) {
        const std::int64_t i = row_at[size_t(index_[size_t(e)])] - first;
        if (i < 0 || i >= k) continue;
        dense[size_t(c * k + i)] = csc_values[size_t(e)];
        dense_t[size_t(i * k + c)] = csc_values[size_t(e)];
      }
    }
    const std::int64_t rank = PivotedQr(dense, int(k), order);
    for (std::int64_t c = 0; c < k; ++c)
      (c < rank ? indep_cols : dep_cols).push_back(cols[size_t(order[size_t(c)])]);
    PivotedQr(dense_t, int(k), order);
    for (std::int64_t c = 0; c < k; ++c)
      (c < rank ? indep_rows : dep_rows).push_back(rows[size_t(order[size_t(c)])]);
  }
  rank_ = std::int64_t(indep_rows.size());
  row_order_ = indep_rows;
  row_order_.insert(row_order_.end(), dep_rows.begin(), dep_rows.end());
  col_order_ = indep_cols;
  col_order_.insert(col_order_.end(), dep_cols.begin(), dep_cols.end());
}

// The matrix with every dependent row and column emptied and a unit entry
// joining each dependent pair: non-singular, and its solution gives the
// dependent variables 0.
bool LinearCore::FactoriseReduced(const LinearSettings& settings) {
  const size_t n = size_t(n_);
  const std::vector<double>& csc_values = CscValues();
  std::vector<char> dep_row(n, 0), dep_col(n, 0);
  std::vector<std::int64_t> unit_row(n, -1);
  for (size_t k = size_t(rank_); k < n; ++k) {
    dep_row[size_t(row_order_[k])] = 1;
    dep_col[size_t(col_order_[k])] = 1;
    unit_row[size_t(col_order_[k])] = row_order_[k];
  }
  std::vector<std::int64_t> start(n + 1, 0), index;
  std::vector<double> values;
  for (size_t j = 0; j < n; ++j) {
    if (dep_col[j]) {
      index.push_back(unit_row[j]);
      values.push_back(1.0);
    } else {
      for (std::int64_t e = start_[j]; e < start_[j + 1]; ++e) {
        if (dep_row[size_t(index_[size_t(e)])]) continue;
        index.push_back(index_[size_t(e)]);
        values.push_back(csc_values[size_t(e)]);
      }
    }
    start[j + 1] = std::int64_t(index.size());
  }
  reduced_ = lu_->Fresh();
  LuSettings lu = settings.lu;
  lu.transpose = false;
  if (!reduced_->Analyse(n_, start.data(), index.data(), lu)) return false;
  if (reduced_->Factorise(values.data(), lu, 0.0) != LuResult::kOk) return false;
  reduced_start_ = std::move(start);
  reduced_index_ = std::move(index);
  reduced_values_ = std::move(values);
  return true;
}

bool LinearCore::Perturb(double size, const LinearSettings& settings) {
  if (!singular_ || perturbed_ || !(size > 0.0) || !std::isfinite(size)) return false;
  const size_t n = size_t(n_);
  const std::vector<double>& csc_values = CscValues();
  std::vector<std::int64_t> paired(n, -1);  // a dependent column -> its dependent row
  for (size_t k = size_t(rank_); k < n; ++k) paired[size_t(col_order_[k])] = row_order_[k];
  std::vector<std::int64_t> start(n + 1, 0), index;
  std::vector<double> values, scaled;
  index.reserve(index_.size() + n - size_t(rank_));
  values.reserve(index.capacity());
  for (size_t j = 0; j < n; ++j) {
    const std::int64_t r = paired[j];
    // The size is of the equilibrated matrix: in the given units it is
    // divided by the row and column scales.
    const double add = r < 0 ? 0.0 : size / (row_scale_[size_t(r)] * col_scale_[j]);
    bool placed = r < 0;
    for (std::int64_t e = start_[j]; e < start_[j + 1]; ++e) {
      const std::int64_t i = index_[size_t(e)];
      if (!placed && i > r) {
        index.push_back(r), values.push_back(add);
        placed = true;
      }
      index.push_back(i), values.push_back(csc_values[size_t(e)] + (i == r ? add : 0.0));
      placed = placed || i == r;
    }
    if (!placed) index.push_back(r), values.push_back(add);
    start[j + 1] = std::int64_t(index.size());
  }
  scaled.resize(values.size());
  for (size_t j = 0; j < n; ++j)
    for (std::int64_t e = start[j]; e < start[j + 1]; ++e)
      scaled[size_t(e)] = values[size_t(e)] * row_scale_[size_t(index[size_t(e)])] * col_scale_[j];
  std::unique_ptr<SparseLu> lu = lu_->Fresh();
  LuSettings lu_settings = settings.lu;
  lu_settings.transpose = false;
  if (!lu->Analyse(n_, start.data(), index.data(), lu_settings) ||
      lu->Factorise(scaled.data(), lu_settings, 0.0) != LuResult::kOk)
    return false;
  reduced_ = std::move(lu);
  reduced_start_ = std::move(start);
  reduced_index_ = std::move(index);
  reduced_values_ = std::move(values);
  perturbed_ = true;
  return true;
}

void LinearCore::Multiply(const double* x, double* y) const {
  std::fill(y, y + n_, 0.0);
  if (perturbed_) {
    for (std::int64_t j = 0; j < n_; ++j)
      for (std::int64_t e = reduced_start_[size_t(j)]; e < reduced_start_[size_t(j) + 1]; ++e)
        y[reduced_index_[size_t(e)]] += reduced_values_[size_t(e)] * x[j];
    return;
  }
  if (pairs_) {
    for (size_t k = 0; k < values_.size(); ++k) y[pair_row_[k]] += values_[k] * x[pair_col_[k]];
    return;
  }
  for (std::int64_t j = 0; j < n_; ++j)
    for (std::int64_t e = start_[size_t(j)]; e < start_[size_t(j) + 1]; ++e)
      y[index_[size_t(e)]] += csc_values_[size_t(e)] * x[j];
}

void LinearCore::MultiplyTransposed(const double* x, double* y) const {
  if (perturbed_) {
    for (std::int64_t j = 0; j < n_; ++j) {
      double s = 0;
      for (std::int64_t e = reduced_start_[size_t(j)]; e < reduced_start_[size_t(j) + 1]; ++e)
        s += reduced_values_[size_t(e)] * x[reduced_index_[size_t(e)]];
      y[j] = s;
    }
    return;
  }
  if (pairs_) {
    std::fill(y, y + n_, 0.0);
    for (size_t k = 0; k < values_.size(); ++k) y[pair_col_[k]] += values_[k] * x[pair_row_[k]];
    return;
  }
  for (std::int64_t j = 0; j < n_; ++j) {
    double s = 0;
    for (std::int64_t e = start_[size_t(j)]; e < start_[size_t(j) + 1]; ++e)
      s += csc_values_[size_t(e)] * x[index_[size_t(e)]];
    y[j] = s;
  }
}

SolveResult LinearCore::Solve(const double* rhs, double* x, const LinearSettings& settings) {
  if (rhs == nullptr || x == nullptr || !valued_ || n_ < 1) return SolveResult::kFailed;
  const size_t n = size_t(n_);
  const double* b = rhs;
  SparseLu* lu = lu_.get();
  const std::vector<std::int64_t>* start = &start_;
  const std::vector<std::int64_t>* index = &index_;
  const std::vector<double>* values = &csc_values_;
  if (singular_) {
    if (reduced_ == nullptr) return SolveResult::kFailed;
    if (!perturbed_) {
      b_.assign(rhs, rhs + n);
      for (size_t k = size_t(rank_); k < n; ++k) b_[size_t(row_order_[k])] = 0.0;
      b = b_.data();
    }
    lu = reduced_.get();
    start = &reduced_start_;
    index = &reduced_index_;
    values = &reduced_values_;
  }
  std::vector<double>& sol = sol_;
  std::vector<double>& residual = residual_;
  std::vector<double>& correction = correction_;
  residual.resize(n);
  // The residual starts as b; the same pass finds |b| and b's finiteness
  // (see AllFinite).
  double bmax = 0;
  std::uint64_t carry = 0;
  for (size_t i = 0; i < n; ++i) {
    std::uint64_t bits;
    std::memcpy(&bits, b + i, sizeof bits);
    carry |= (bits & 0x7ff0000000000000u) + 0x0010000000000000u;
    residual[i] = b[i], bmax = std::max(bmax, std::fabs(b[i]));
  }
  if ((carry >> 63) != 0) return SolveResult::kFailed;
  // The full-rank and the perturbed factors are of R A C:
  // A^-1 v = C (R A C)^-1 R v.
  const bool scaled = !singular_ || perturbed_;
  auto lu_solve = [&](const double* v, double* out, std::int32_t steps) {
    if (!scaled) return lu->Solve(v, out, steps);
    scaled_rhs_.resize(n);
    for (size_t i = 0; i < n; ++i) scaled_rhs_[i] = v[i] * row_scale_[i];
    if (!lu->Solve(scaled_rhs_.data(), out, steps)) return false;
    for (size_t j = 0; j < n; ++j) out[j] *= col_scale_[j];
    return true;
  };
  // Without refinement the solution goes straight into x.
  const bool refine = settings.max_refine > 0;
  if (refine) sol.resize(n), correction.resize(n);
  double* solution = refine ? sol.data() : x;
  if (!lu_solve(b, solution, settings.max_refine)) return SolveResult::kFailed;
  const std::int64_t* col_start = start->data();
  const std::int64_t* row = index->data();
  const double* a = values->data();
  // The matrix as pairs in the caller's order, else by columns.
  const bool by_pairs = pairs_ && !singular_;
  const std::int32_t* pair_row = pair_row_.data();
  const std::int32_t* pair_col = pair_col_.data();
  const double* pair_value = values_.data();
  const size_t pair_count = values_.size();
  // r -= A v on a residual that holds b.
  auto subtract = [&](const double* v) {
    double* r = residual.data();
    if (by_pairs) {
      for (size_t k = 0; k < pair_count; ++k) r[pair_row[k]] -= pair_value[k] * v[pair_col[k]];
      return MaxAbs(residual);
    }
    for (size_t j = 0; j < n; ++j) {
      const double vj = v[j];
      for (std::int64_t e = col_start[j]; e < col_start[j + 1]; ++e) r[row[e]] -= a[e] * vj;
    }
    return MaxAbs(residual);
  };
  auto residual_of = [&](const double* v) {
    std::copy(b, b + n, residual.begin());
    return subtract(v);
  };
  double rnorm = subtract(solution);
  for (std::int32_t step = 0;
       step < settings.max_refine && rnorm > settings.error_tol && std::isfinite(rnorm); ++step) {
    if (!lu_solve(residual.data(), correction.data(), 0)) break;
    for (size_t j = 0; j < n; ++j) correction[j] += sol[j];
    const double next = residual_of(correction.data());
    if (!(next < rnorm)) break;  // refinement stalls: keep the better one
    sol.swap(correction);
    rnorm = next;
  }
  if (refine) std::copy(sol.begin(), sol.end(), x);
  if (!AllFinite(x, n) || !std::isfinite(rnorm)) return SolveResult::kNormError;
  // The norm of A is wanted only when the right-hand side alone does not
  // already cover the residual, which is rare: it costs a pass over A.
  const double tolerance = std::sqrt(std::numeric_limits<double>::epsilon());
  if (rnorm <= tolerance * bmax) return SolveResult::kOk;
  std::vector<double>& row_sum = row_sum_;
  row_sum.assign(n, 0.0);
  if (by_pairs) {
    for (size_t k = 0; k < pair_count; ++k)
      row_sum[size_t(pair_row[k])] += std::fabs(pair_value[k]);
  } else {
    for (size_t j = 0; j < n; ++j)
      for (std::int64_t e = col_start[j]; e < col_start[j + 1]; ++e)
        row_sum[size_t(row[e])] += std::fabs(a[e]);
  }
  double xmax = 0;
  for (size_t j = 0; j < n; ++j) xmax = std::max(xmax, std::fabs(x[j]));
  const double scale = MaxAbs(row_sum) * xmax + bmax;
  if (rnorm > tolerance * scale) return SolveResult::kNormError;
  return SolveResult::kOk;
}

}  // namespace kvs
