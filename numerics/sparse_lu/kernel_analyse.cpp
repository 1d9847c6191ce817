#include "numerics/sparse_lu/kernel_analyse.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "numerics/sparse_lu/kernel_print.h"
#include "numerics/sparse_lu/one_based.h"
#include "numerics/sparse_lu/slu_print.h"

using slu::IntView;
using slu::RealView;

void SluKernelCompress(const std::int64_t*, double* A, std::int64_t* IND, std::int64_t* IPTR,
                       const std::int64_t* N, std::int64_t* DISP, const std::int64_t* REALS) {
  const IntView ind(IND), iptr(IPTR);
  const RealView a(A);
  const bool reals = *REALS != 0;
  // Each stored list lends its first slot to a back-pointer -j.
  for (std::int64_t j = 1; j <= *N; ++j) {
    const std::int64_t start = iptr[j];
    if (start <= 0) continue;
    iptr[j] = ind[start];
    ind[start] = -j;
  }
  std::int64_t kept = 0;
  for (std::int64_t slot = 1; slot < *DISP; ++slot) {
    if (ind[slot] == 0) continue;
    ++kept;
    if (ind[slot] < 0) {
      const std::int64_t j = -ind[slot];
      ind[slot] = iptr[j];
      iptr[j] = kept;
    }
    ind[kept] = ind[slot];
    if (reals) a[kept] = a[slot];
  }
  *DISP = kept + 1;
}

namespace {

enum class Mode { kGeneral, kDiagonal, kGivenOrder };

enum class Outcome { kGoOn, kError };

// What the pivot choice of one step found.
struct Choice {
  enum Kind { kNone, kPivot, kSingular } kind = kNone;
  std::int64_t row = 0;
  std::int64_t column = 0;
  std::int64_t cost = 0;
};

// One run of the pivot search. The column storage lives in A/IRN (column j
// from IQ(j) for COLLEN(j) entries), the row storage holds the pattern only,
// in JCN (row i from IP(i) for ROWLEN(i) entries); a freed slot holds index
// 0. A list with a positive start always has an entry: an active list that
// becomes empty gets start 0. Columns and rows that are done carry minus
// their position in IQ and IP.
class PivotSearch {
 public:
  PivotSearch(const std::int64_t* M, const std::int64_t* N, const std::int64_t* NE,
              const std::int64_t* LA, double* A, std::int64_t* IRN, std::int64_t* JCN,
              std::int64_t* IQ, const double* CNTL, const std::int64_t* ICNTL, std::int64_t* IP,
              std::int64_t* NP, std::int64_t* COLHEAD, std::int64_t* ROWLEN, std::int64_t* ROWPREV,
              std::int64_t* ROWNEXT, std::int64_t* ROWMARK, std::int64_t* IFIRST,
              std::int64_t* COLLEN, std::int64_t* COLPREV, std::int64_t* COLNEXT,
              std::int64_t* INFO, double* RINFO)
      : m_(*M), n_(*N), ne_(*NE), la_(*LA), a_(A), irn_(IRN), jcn_(JCN), iq_(IQ), ip_(IP),
        colhead_(COLHEAD), rowlen_(ROWLEN), rowprev_(ROWPREV), rownext_(ROWNEXT), rowmark_(ROWMARK),
        ifirst_(IFIRST), collen_(COLLEN), colprev_(COLPREV), colnext_(COLNEXT), info_(INFO),
        cntl_(CNTL), icntl_(ICNTL), np_(NP), rinfo_(RINFO), units_(SluUnitsFrom(ICNTL)) {}

  void Run();

 private:
  // Set-up.
  bool CheckArguments();
  void ReadControls();
  void DropSmallInput();
  bool BuildRowPattern();
  void BuildLists();

  // Pivot choice.
  double ColumnMax(std::int64_t j) const;
  double EntryIn(std::int64_t i, std::int64_t j) const;
  Outcome ChooseGiven(Choice& choice);
  Choice Search();

  // Elimination.
  Outcome Eliminate(const Choice& choice);
  void RemoveSingular(std::int64_t q);
  Outcome UpdateColumn(std::int64_t j, std::int64_t p, std::int64_t q, double pivot);
  Outcome GrowColumn(std::int64_t j, std::int64_t fill);
  Outcome ExtendRow(std::int64_t i, std::int64_t j);
  void RemoveFromRow(std::int64_t i, std::int64_t j);
  void RemoveColumnEntry(std::int64_t j, std::int64_t e);
  void CompressColumns();
  void CompressRows();
  Outcome OutOfStorage();
  std::int64_t StepNeed() const;

  // Count lists and positions.
  void ColumnInsert(std::int64_t j);
  void ColumnRemove(std::int64_t j);
  void RowInsert(std::int64_t i);
  void RowRemove(std::int64_t i);
  std::int64_t TakeColumnPosition(std::int64_t j, bool empty);
  void DealEmptyColumn(std::int64_t j);
  void DealEmptyRow(std::int64_t i);

  void Finish();
  void Error(std::int64_t code, const std::string& detail);
  void PrintEntry() const;
  void PrintExit() const;

  const std::int64_t m_, n_, ne_, la_;
  const RealView a_;
  const IntView irn_, jcn_, iq_, ip_;
  const IntView colhead_, rowlen_, rowprev_, rownext_, rowmark_;
  const IntView ifirst_, collen_, colprev_, colnext_, info_;
  const double* cntl_;
  const std::int64_t* icntl_;
  std::int64_t* np_;
  double* rinfo_;
  const SluUnits units_;

  // Controls.
  double u_ = 0.0;          // pivot threshold in [0, 1]
  double pivot_limit_ = 0;  // a largest modulus at or below it makes a column singular
  double drop_ = 0.0;       // drop tolerance (active when > 0)
  double density_ = 0.0;
  std::int64_t limit_ = 0;  // columns counted before a held pivot is taken
  std::int64_t jlast_ = 0;  // columns beyond it are reserved for the last positions
  Mode mode_ = Mode::kGeneral;
  bool rows_listed_ = false;  // full row and column search

  // Storage.
  std::int64_t col_end_ = 0, row_end_ = 0;    // first slot behind each storage
  std::int64_t col_held_ = 0, row_held_ = 0;  // entries held in active lists

  // Progress.
  std::int64_t pivot_rows_ = 0, dealt_columns_ = 0, empty_rows_ = 0;
  std::int64_t next_front_ = 1, next_back_ = 0;
  std::int64_t min_length_ = 0;
  std::int64_t factor_entries_ = 0;  // entries of the pivot rows and columns
  // The elimination under way: pivot row and column, and the place in the
  // pivot row of the column being updated (step_q_ = 0 between steps).
  std::int64_t step_p_ = 0, step_q_ = 0, step_t_ = 0;
  std::int64_t singular_entries_ = 0;  // entries of columns removed as singular
};

void PivotSearch::Error(std::int64_t code, const std::string& detail) {
  info_[1] = code;
  SluWriteRecord(units_.error, " **** Error return from SluKernelAnalyse ****");
  SluWriteRecord(units_.error, detail);
}

bool PivotSearch::CheckArguments() {
  if (m_ < 1 || n_ < 1) {
    Error(-1, " M =" + SluInt(m_) + " N =" + SluInt(n_));
    return false;
  }
  if (ne_ < 1) {
    Error(-2, " NE =" + SluInt(ne_));
    return false;
  }
  if (la_ < ne_) {
    info_[3] = ne_;
    Error(-3, " LA  must be increased from" + SluInt(la_) + " to at least" + SluInt(info_[3]));
    return false;
  }
  return true;
}

void PivotSearch::ReadControls() {
  u_ = std::clamp(cntl_[1], 0.0, 1.0);
  // A pivot must be non-zero whatever the tolerance says.
  pivot_limit_ = std::max(cntl_[3], 0.0);
  drop_ = cntl_[2];
  density_ = std::min(cntl_[0], 1.0);
  limit_ = icntl_[3] == 0 ? n_ : icntl_[3];
  rows_listed_ = icntl_[3] <= 0;
  jlast_ = n_ - icntl_[5];
  if (jlast_ < 1 || jlast_ > n_) jlast_ = n_;
  next_back_ = jlast_ + 1;
  mode_ = icntl_[6] == 1 ? Mode::kDiagonal : icntl_[6] == 2 ? Mode::kGivenOrder : Mode::kGeneral;
}

void PivotSearch::DropSmallInput() {
  for (std::int64_t j = 1; j <= n_; ++j) {
    collen_[j] = (j < n_ ? iq_[j + 1] : ne_ + 1) - iq_[j];
  }
  if (drop_ <= 0.0) return;
  std::int64_t kept = 0;
  for (std::int64_t j = 1; j <= n_; ++j) {
    const std::int64_t start = iq_[j];
    const std::int64_t length = collen_[j];
    iq_[j] = kept + 1;
    for (std::int64_t e = start; e < start + length; ++e) {
      if (std::fabs(a_[e]) < drop_) {
        ++info_[6];
        continue;
      }
      ++kept;
      a_[kept] = a_[e];
      irn_[kept] = irn_[e];
    }
    collen_[j] = kept + 1 - iq_[j];
  }
}

bool PivotSearch::BuildRowPattern() {
  std::int64_t held = 0;
  for (std::int64_t i = 1; i <= m_; ++i) {
    rowlen_[i] = 0;
    rowmark_[i] = 0;
  }
  for (std::int64_t j = 1; j <= n_; ++j) {
    for (std::int64_t e = iq_[j]; e < iq_[j] + collen_[j]; ++e) ++rowlen_[irn_[e]];
    held += collen_[j];
  }
  std::int64_t end = 1;
  for (std::int64_t i = 1; i <= m_; ++i) {
    end += rowlen_[i];
    ip_[i] = end;
  }
  for (std::int64_t j = 1; j <= n_; ++j) {
    for (std::int64_t e = iq_[j]; e < iq_[j] + collen_[j]; ++e) {
      const std::int64_t i = irn_[e];
      if (rowmark_[i] == j) {
        Error(-4, " Entry in row" + SluInt(i) + " and column" + SluInt(j) + " duplicated");
        return false;
      }
      rowmark_[i] = j;
      jcn_[--ip_[i]] = j;
    }
  }
  for (std::int64_t i = 1; i <= m_; ++i) rowmark_[i] = 0;
  col_end_ = row_end_ = held + 1;
  col_held_ = row_held_ = held;
  return true;
}

void PivotSearch::BuildLists() {
  min_length_ = std::max(m_, n_) + 1;
  for (std::int64_t i = 1; i <= m_; ++i) {
    if (rowlen_[i] == 0) DealEmptyRow(i);
  }
  if (rows_listed_) {
    for (std::int64_t k = 1; k <= n_; ++k) ifirst_[k] = 0;
    for (std::int64_t i = m_; i >= 1; --i) {
      if (rowlen_[i] > 0) RowInsert(i);
    }
  }
  for (std::int64_t k = 1; k <= m_; ++k) colhead_[k] = 0;
  for (std::int64_t j = n_; j >= 1; --j) {
    if (collen_[j] > 0) {
      ColumnInsert(j);
    } else if (mode_ == Mode::kGivenOrder) {
      iq_[j] = 0;  // stays active until its turn in the given order
    } else {
      DealEmptyColumn(j);
    }
  }
}

void PivotSearch::ColumnInsert(std::int64_t j) {
  const std::int64_t k = collen_[j];
  colprev_[j] = 0;
  colnext_[j] = colhead_[k];
  if (colhead_[k] != 0) colprev_[colhead_[k]] = j;
  colhead_[k] = j;
  min_length_ = std::min(min_length_, k);
}

void PivotSearch::ColumnRemove(std::int64_t j) {
  if (colprev_[j] != 0) {
    colnext_[colprev_[j]] = colnext_[j];
  } else {
    colhead_[collen_[j]] = colnext_[j];
  }
  if (colnext_[j] != 0) colprev_[colnext_[j]] = colprev_[j];
}

void PivotSearch::RowInsert(std::int64_t i) {
  const std::int64_t k = rowlen_[i];
  rowprev_[i] = 0;
  rownext_[i] = ifirst_[k];
  if (ifirst_[k] != 0) rowprev_[ifirst_[k]] = i;
  ifirst_[k] = i;
  min_length_ = std::min(min_length_, k);
}

void PivotSearch::RowRemove(std::int64_t i) {
  if (rowprev_[i] != 0) {
    rownext_[rowprev_[i]] = rownext_[i];
  } else {
    ifirst_[rowlen_[i]] = rownext_[i];
  }
  if (rownext_[i] != 0) rowprev_[rownext_[i]] = rowprev_[i];
}

std::int64_t PivotSearch::TakeColumnPosition(std::int64_t j, bool empty) {
  if (empty && j > jlast_) return next_back_++;
  const std::int64_t position = next_front_++;
  if (position == jlast_) {
    // The unreserved columns are all placed: the reservation ends.
    next_front_ = next_back_;
    jlast_ = n_;
  }
  return position;
}

void PivotSearch::DealEmptyColumn(std::int64_t j) {
  iq_[j] = -TakeColumnPosition(j, true);
  ++dealt_columns_;
}

void PivotSearch::DealEmptyRow(std::int64_t i) {
  // Empty rows take the last positions: M, M-1, ...
  ip_[i] = empty_rows_ - m_;
  ++empty_rows_;
}

double PivotSearch::ColumnMax(std::int64_t j) const {
  double mx = 0.0;
  for (std::int64_t e = iq_[j]; e < iq_[j] + collen_[j]; ++e) mx = std::max(mx, std::fabs(a_[e]));
  return mx;
}

double PivotSearch::EntryIn(std::int64_t i, std::int64_t j) const {
  for (std::int64_t e = iq_[j]; e < iq_[j] + collen_[j]; ++e) {
    if (irn_[e] == i) return a_[e];
  }
  return 0.0;
}

Outcome PivotSearch::ChooseGiven(Choice& choice) {
  const std::int64_t step = dealt_columns_ + 1;
  const std::int64_t j = ifirst_[step];
  if (j < 1 || j > n_ || iq_[j] < 0) {
    Error(-5, " Fault in component " + SluInt(step) + " of column permutation given in IFIRST");
    return Outcome::kError;
  }
  choice.column = j;
  const double mx = ColumnMax(j);
  if (mx <= pivot_limit_) {
    choice.kind = Choice::kSingular;
    return Outcome::kGoOn;
  }
  const double threshold = std::max(u_ * mx, pivot_limit_);
  std::int64_t best_order = 0;
  for (std::int64_t e = iq_[j]; e < iq_[j] + collen_[j]; ++e) {
    const double v = std::fabs(a_[e]);
    if (v < threshold || v == 0.0) continue;
    const std::int64_t i = irn_[e];
    // The given row order (kept in ROWNEXT) decides among acceptable rows.
    if (choice.row == 0 || rownext_[i] < best_order) {
      choice.row = i;
      best_order = rownext_[i];
    }
  }
  choice.kind = Choice::kPivot;
  choice.cost = (rowlen_[choice.row] - 1) * (collen_[j] - 1);
  return Outcome::kGoOn;
}

Choice PivotSearch::Search() {
  const std::int64_t r = m_ - pivot_rows_;
  const std::int64_t c = n_ - dealt_columns_;
  Choice best;
  best.cost = m_ * n_;
  double best_ratio = 0.0;
  std::int64_t counted = 0;
  auto singular = [](std::int64_t j) {
    Choice s;
    s.kind = Choice::kSingular;
    s.column = j;
    return s;
  };
  auto take = [&] {
    best.kind = Choice::kPivot;
    return best;
  };

  // Raise the bound on the smallest length over lists that are empty.
  while (min_length_ <= r && colhead_[min_length_] == 0 &&
         (!rows_listed_ || min_length_ > n_ || ifirst_[min_length_] == 0)) {
    ++min_length_;
  }

  for (std::int64_t k = min_length_; k <= r; ++k) {
    if (rows_listed_ && best.cost <= (k - 1) * (k - 1)) break;

    for (std::int64_t j = colhead_[k]; j != 0; j = colnext_[j]) {
      if (j > jlast_) continue;
      const double mx = ColumnMax(j);
      if (mx <= pivot_limit_) return singular(j);
      const double threshold = std::max(u_ * mx, pivot_limit_);
      bool candidate = false;
      for (std::int64_t e = iq_[j]; e < iq_[j] + collen_[j]; ++e) {
        const std::int64_t i = irn_[e];
        if (mode_ == Mode::kDiagonal && i != j) continue;
        const double v = std::fabs(a_[e]);
        if (v < threshold || v == 0.0) continue;
        candidate = true;
        const std::int64_t cost = (rowlen_[i] - 1) * (k - 1);
        const double ratio = v / mx;
        if (cost < best.cost || (cost == best.cost && ratio > best_ratio)) {
          best.row = i;
          best.column = j;
          best.cost = cost;
          best_ratio = ratio;
          if (rows_listed_ && cost <= (k - 1) * (k - 1)) return take();
        }
      }
      if (!candidate) continue;  // diagonal mode: not counted
      ++counted;
      if (counted >= limit_ && best_ratio > 0.0) return take();
    }

    if (!rows_listed_) continue;
    if (best.cost <= k * (k - 1)) break;
    if (k > c || k > n_) continue;
    for (std::int64_t i = ifirst_[k]; i != 0; i = rownext_[i]) {
      for (std::int64_t s = ip_[i]; s < ip_[i] + rowlen_[i]; ++s) {
        const std::int64_t j = jcn_[s];
        if (j > jlast_) continue;
        if (mode_ == Mode::kDiagonal && j != i) continue;
        const std::int64_t cost = (collen_[j] - 1) * (k - 1);
        if (cost >= best.cost) continue;
        const double mx = ColumnMax(j);
        if (mx <= pivot_limit_) return singular(j);
        const double v = std::fabs(EntryIn(i, j));
        if (v >= u_ * mx && v > 0.0) {
          best.row = i;
          best.column = j;
          best.cost = cost;
          best_ratio = v / mx;
          if (cost <= k * (k - 1)) return take();
        }
      }
    }
  }
  if (best_ratio > 0.0) return take();
  return Choice{};
}

void PivotSearch::RemoveFromRow(std::int64_t i, std::int64_t j) {
  const std::int64_t start = ip_[i];
  const std::int64_t last = start + rowlen_[i] - 1;
  for (std::int64_t s = start; s <= last; ++s) {
    if (jcn_[s] != j) continue;
    jcn_[s] = jcn_[last];
    jcn_[last] = 0;
    --rowlen_[i];
    --row_held_;
    if (rowlen_[i] == 0) ip_[i] = 0;
    return;
  }
}

void PivotSearch::RemoveColumnEntry(std::int64_t j, std::int64_t e) {
  const std::int64_t last = iq_[j] + collen_[j] - 1;
  a_[e] = a_[last];
  irn_[e] = irn_[last];
  irn_[last] = 0;
  --collen_[j];
  --col_held_;
}

void PivotSearch::CompressColumns() {
  const std::int64_t reals = 1;
  SluKernelCompress(&la_, a_.From(1), irn_.From(1), iq_.From(1), &n_, &col_end_, &reals);
  ++info_[2];
}

void PivotSearch::CompressRows() {
  const std::int64_t reals = 0;
  SluKernelCompress(&la_, a_.From(1), jcn_.From(1), ip_.From(1), &m_, &row_end_, &reals);
  ++info_[2];
}

// A bound on what the rest of the elimination under way needs in either
// storage, so that a retry with the reported length completes this step at
// least: every remaining column of the pivot row may take a fill-in in each
// row of the pivot column it lacks, and each such row one entry per column.
std::int64_t PivotSearch::StepNeed() const {
  if (step_q_ == 0) return 0;
  const std::int64_t q = step_q_, p = step_p_;
  const std::int64_t rows_of_q = collen_[q] - 1;
  std::int64_t fill = 0, widest = 0, columns_left = 0;
  for (std::int64_t t = step_t_; t < rowlen_[p]; ++t) {
    const std::int64_t j = jcn_[ip_[p] + t];
    if (j == q) continue;
    ++columns_left;
    std::int64_t f = rows_of_q;
    if (t > step_t_) {
      for (std::int64_t e = iq_[j]; e < iq_[j] + collen_[j]; ++e) f -= rowmark_[irn_[e]] != 0;
    }
    fill += f;
    widest = std::max(widest, collen_[j] + f);
  }
  std::int64_t longest_row = 0;
  for (std::int64_t place = 2; place <= collen_[q]; ++place) {
    longest_row = std::max(longest_row, rowlen_[irn_[iq_[q] + place - 1]]);
  }
  return std::max(col_held_ + fill + widest, row_held_ + fill + longest_row + columns_left + 1);
}

Outcome PivotSearch::OutOfStorage() {
  info_[3] = std::max(info_[3], StepNeed());
  info_[4] = col_held_ + factor_entries_;
  Error(-3, " LA  must be increased from" + SluInt(la_) + " to at least" + SluInt(info_[3]));
  return Outcome::kError;
}

// Makes room for `fill` more entries behind column j. Entries keep their
// order whichever way the column moves, so the elimination does not depend
// on LA and a retry with the reported length meets the same needs.
Outcome PivotSearch::GrowColumn(std::int64_t j, std::int64_t fill) {
  const std::int64_t length = collen_[j];
  if (length > 0) {
    const std::int64_t start = iq_[j];
    const std::int64_t end = start + length;
    std::int64_t behind = 0;
    while (behind < fill && end + behind < col_end_ && irn_[end + behind] == 0) ++behind;
    if (behind == fill) return Outcome::kGoOn;
    if (end + behind == col_end_ && col_end_ + (fill - behind) - 1 <= la_) {
      col_end_ += fill - behind;
      return Outcome::kGoOn;
    }
    std::int64_t front = 0;
    while (front < fill - behind && start - front - 1 >= 1 && irn_[start - front - 1] == 0) ++front;
    if (front == fill - behind) {
      const std::int64_t new_start = start - front;
      for (std::int64_t e = 0; e < length; ++e) {
        a_[new_start + e] = a_[start + e];
        irn_[new_start + e] = irn_[start + e];
      }
      iq_[j] = new_start;
      return Outcome::kGoOn;
    }
  } else {
    iq_[j] = 0;
  }
  if (col_end_ + length + fill - 1 > la_) {
    CompressColumns();
    if (col_end_ + length + fill - 1 > la_) return OutOfStorage();
  }
  const std::int64_t start = iq_[j];
  const std::int64_t new_start = col_end_;
  for (std::int64_t e = 0; e < length; ++e) {
    a_[new_start + e] = a_[start + e];
    irn_[new_start + e] = irn_[start + e];
    irn_[start + e] = 0;
  }
  iq_[j] = new_start;
  col_end_ += length + fill;
  return Outcome::kGoOn;
}

Outcome PivotSearch::ExtendRow(std::int64_t i, std::int64_t j) {
  const std::int64_t length = rowlen_[i];
  info_[3] = std::max(info_[3], row_held_ + 1 + length);
  std::int64_t start = ip_[i];
  if (length > 0) {
    const std::int64_t end = start + length;
    if ((end < row_end_ && jcn_[end] == 0) || (end == row_end_ && row_end_ <= la_)) {
      jcn_[end] = j;
      if (end == row_end_) ++row_end_;
      ++rowlen_[i];
      ++row_held_;
      return Outcome::kGoOn;
    }
    if (start > 1 && jcn_[start - 1] == 0) {
      for (std::int64_t s = start - 1; s < end - 1; ++s) jcn_[s] = jcn_[s + 1];
      jcn_[end - 1] = j;
      ip_[i] = start - 1;
      ++rowlen_[i];
      ++row_held_;
      return Outcome::kGoOn;
    }
  }
  if (row_end_ + length > la_) {
    CompressRows();
    if (row_end_ + length > la_) return OutOfStorage();
    start = ip_[i];
  }
  const std::int64_t new_start = row_end_;
  for (std::int64_t s = 0; s < length; ++s) {
    jcn_[new_start + s] = jcn_[start + s];
    jcn_[start + s] = 0;
  }
  jcn_[new_start + length] = j;
  ip_[i] = new_start;
  row_end_ += length + 1;
  ++rowlen_[i];
  ++row_held_;
  return Outcome::kGoOn;
}

// Column j loses its entry in the pivot row p and receives the multiple of
// the pivot column q that eliminates it. The rows of column q carry their
// place in q (from 2) in ROWMARK; a mark is negated once row and column meet.
Outcome PivotSearch::UpdateColumn(std::int64_t j, std::int64_t p, std::int64_t q, double pivot) {
  double in_pivot_row = 0.0;
  for (std::int64_t e = iq_[j]; e < iq_[j] + collen_[j]; ++e) {
    if (irn_[e] == p) {
      in_pivot_row = a_[e];
      RemoveColumnEntry(j, e);
      break;
    }
  }
  const double multiplier = -in_pivot_row / pivot;
  auto pivot_column_value = [&](std::int64_t place) { return a_[iq_[q] + place - 1]; };

  for (std::int64_t e = iq_[j]; e < iq_[j] + collen_[j];) {
    const std::int64_t i = irn_[e];
    if (rowmark_[i] <= 0) {
      ++e;
      continue;
    }
    a_[e] += multiplier * pivot_column_value(rowmark_[i]);
    rowmark_[i] = -rowmark_[i];
    if (drop_ > 0.0 && std::fabs(a_[e]) < drop_) {
      RemoveColumnEntry(j, e);
      RemoveFromRow(i, j);
      ++info_[6];
      continue;
    }
    ++e;
  }

  auto fill_value = [&](std::int64_t place) { return multiplier * pivot_column_value(place); };
  auto kept = [&](double v) { return !(drop_ > 0.0 && std::fabs(v) < drop_); };
  std::int64_t fill = 0;
  for (std::int64_t place = 2; place <= collen_[q]; ++place) {
    const std::int64_t i = irn_[iq_[q] + place - 1];
    if (rowmark_[i] > 0 && kept(fill_value(place))) ++fill;
  }
  info_[3] = std::max(info_[3], col_held_ + collen_[j] + fill);
  if (fill > 0 && GrowColumn(j, fill) == Outcome::kError) return Outcome::kError;

  for (std::int64_t place = 2; place <= collen_[q]; ++place) {
    const std::int64_t i = irn_[iq_[q] + place - 1];
    if (rowmark_[i] < 0) {
      rowmark_[i] = -rowmark_[i];
      continue;
    }
    const double v = fill_value(place);
    if (!kept(v)) {
      ++info_[6];
      continue;
    }
    const std::int64_t e = iq_[j] + collen_[j];
    a_[e] = v;
    irn_[e] = i;
    ++collen_[j];
    ++col_held_;
    if (ExtendRow(i, j) == Outcome::kError) return Outcome::kError;
  }
  if (collen_[j] == 0) iq_[j] = 0;
  return Outcome::kGoOn;
}

void PivotSearch::RemoveSingular(std::int64_t q) {
  const std::int64_t position = TakeColumnPosition(q, false);
  if (collen_[q] > 0) ColumnRemove(q);
  const std::int64_t start = iq_[q];
  const std::int64_t length = collen_[q];
  for (std::int64_t e = start; e < start + length; ++e) {
    const std::int64_t i = irn_[e];
    if (rows_listed_) RowRemove(i);
    RemoveFromRow(i, q);
    if (rowlen_[i] == 0) {
      DealEmptyRow(i);
    } else if (rows_listed_) {
      RowInsert(i);
    }
    irn_[e] = 0;
  }
  col_held_ -= length;
  if (drop_ > 0.0) singular_entries_ += length;
  collen_[q] = 0;
  iq_[q] = -position;
  ++dealt_columns_;
}

Outcome PivotSearch::Eliminate(const Choice& choice) {
  const std::int64_t p = choice.row;
  const std::int64_t q = choice.column;
  const std::int64_t position = TakeColumnPosition(q, false);

  if (rows_listed_) {
    for (std::int64_t e = iq_[q]; e < iq_[q] + collen_[q]; ++e) RowRemove(irn_[e]);
  }
  *rinfo_ += static_cast<double>(2 * choice.cost + rowlen_[p]);
  factor_entries_ += rowlen_[p] + collen_[q] - 1;
  for (std::int64_t s = ip_[p]; s < ip_[p] + rowlen_[p]; ++s) ColumnRemove(jcn_[s]);

  // Pivot to the front of its column; mark the other rows with their place.
  const std::int64_t head = iq_[q];
  for (std::int64_t e = head; e < head + collen_[q]; ++e) {
    if (irn_[e] != p) continue;
    std::swap(a_[e], a_[head]);
    std::swap(irn_[e], irn_[head]);
    break;
  }
  const double pivot = a_[head];
  for (std::int64_t place = 2; place <= collen_[q]; ++place) {
    const std::int64_t i = irn_[head + place - 1];
    rowmark_[i] = place;
    RemoveFromRow(i, q);
  }

  // Row p and column q stay stored until the step ends; both storages may
  // be compressed meanwhile, so their places are re-read every time.
  step_p_ = p;
  step_q_ = q;
  for (std::int64_t t = 0; t < rowlen_[p]; ++t) {
    const std::int64_t j = jcn_[ip_[p] + t];
    if (j == q) continue;
    step_t_ = t;
    if (UpdateColumn(j, p, q, pivot) == Outcome::kError) return Outcome::kError;
  }
  step_q_ = 0;

  for (std::int64_t t = 0; t < rowlen_[p]; ++t) {
    const std::int64_t j = jcn_[ip_[p] + t];
    if (j == q) continue;
    if (collen_[j] > 0) {
      ColumnInsert(j);
    } else if (mode_ != Mode::kGivenOrder) {
      DealEmptyColumn(j);
    }
  }
  for (std::int64_t place = 2; place <= collen_[q]; ++place) {
    const std::int64_t i = irn_[iq_[q] + place - 1];
    rowmark_[i] = 0;
    if (rowlen_[i] == 0) {
      DealEmptyRow(i);
    } else if (rows_listed_) {
      RowInsert(i);
    }
  }

  for (std::int64_t e = iq_[q]; e < iq_[q] + collen_[q]; ++e) irn_[e] = 0;
  for (std::int64_t s = ip_[p]; s < ip_[p] + rowlen_[p]; ++s) jcn_[s] = 0;
  col_held_ -= collen_[q];
  row_held_ -= rowlen_[p];
  collen_[q] = 0;
  rowlen_[p] = 0;
  iq_[q] = -position;
  ++dealt_columns_;
  ip_[p] = -(++pivot_rows_);
  return Outcome::kGoOn;
}

void PivotSearch::Finish() {
  const std::int64_t r = m_ - pivot_rows_;
  const std::int64_t c = n_ - dealt_columns_;
  info_[5] = pivot_rows_ + std::min(r - empty_rows_, c);
  for (std::int64_t k = 1; k <= std::min(r, c); ++k) {
    // The product is taken in single precision.
    const float product = static_cast<float>(r - k) * static_cast<float>(c - k);
    *rinfo_ += static_cast<double>(r - k + 1) + 2.0 * static_cast<double>(product);
  }
  *np_ = dealt_columns_;
  info_[6] += singular_entries_;
  info_[7] = r;
  info_[4] = factor_entries_ + 2 * m_ + 2 + std::max(r * c, n_ - pivot_rows_ - *np_ + m_);

  std::int64_t next_row = pivot_rows_;
  for (std::int64_t i = 1; i <= m_; ++i) ip_[i] = ip_[i] < 0 ? -ip_[i] : ++next_row;
  for (std::int64_t j = 1; j <= n_; ++j) {
    colprev_[j] = iq_[j] < 0 ? -iq_[j] : TakeColumnPosition(j, false);
  }
  for (std::int64_t j = 1; j <= n_; ++j) iq_[colprev_[j]] = j;

  if (info_[5] < std::min(m_, n_)) info_[1] += 1;
}

void PivotSearch::PrintEntry() const {
  const slu::SummaryUnit s = slu::SummaryUnitFrom(icntl_);
  if (s.unit < 1) return;
  SluWriteRecord(s.unit, " Entering SluKernelAnalyse with M =" + SluInt(m_) + " N =" + SluInt(n_) +
                             " NE =" + SluInt(ne_) + " LA =" + SluInt(la_));
  slu::WriteReals(s.unit, " CNTL  =", cntl_, 4);
  slu::WriteInts(s.unit, " ICNTL =", icntl_, 7);
  slu::WriteColumns(s.unit, s.full || n_ == 1 ? n_ : 1, n_, ne_, iq_.From(1), a_.From(1),
                    irn_.From(1));
  if (icntl_[6] == 2) {
    slu::WriteInts(s.unit, " IP = ", ip_.From(1), s.full ? m_ : std::min<std::int64_t>(m_, 10));
    slu::WriteInts(s.unit, " IFIRST = ", ifirst_.From(1),
                   s.full ? n_ : std::min<std::int64_t>(n_, 10));
  }
}

void PivotSearch::PrintExit() const {
  const slu::SummaryUnit s = slu::SummaryUnitFrom(icntl_);
  if (s.unit < 1) return;
  SluWriteRecord(s.unit, " Leaving SluKernelAnalyse with NP =" + SluInt(*np_));
  SluWriteRecord(s.unit, " RINFO =" + slu::OperationCount(*rinfo_));
  slu::WriteInts(s.unit, " INFO =", info_.From(1), 7);
  if (!s.full) return;
  slu::WriteInts(s.unit, " IP = ", ip_.From(1), m_);
  slu::WriteInts(s.unit, " IQ = ", iq_.From(1), n_);
}

void PivotSearch::Run() {
  info_[1] = 0;
  info_[2] = 0;
  info_[3] = ne_;
  info_[4] = ne_;
  info_[5] = info_[6] = info_[7] = 0;
  *rinfo_ = 0.0;
  *np_ = 0;
  if (!CheckArguments()) return;
  PrintEntry();
  ReadControls();
  DropSmallInput();
  if (mode_ == Mode::kGivenOrder) {
    for (std::int64_t i = 1; i <= m_; ++i) rownext_[i] = ip_[i];
    if (icntl_[3] != 1) {
      Error(-6, SluInt(icntl_[3]));
      return;
    }
  }
  if (!BuildRowPattern()) return;
  BuildLists();

  for (;;) {
    const double r = static_cast<double>(m_ - pivot_rows_);
    const double c = static_cast<double>(n_ - dealt_columns_);
    if (static_cast<double>(col_held_) >= density_ * c * r) break;
    Choice choice;
    if (mode_ == Mode::kGivenOrder) {
      if (ChooseGiven(choice) == Outcome::kError) return;
    } else {
      choice = Search();
    }
    if (choice.kind == Choice::kNone) {
      info_[1] += 2;
      SluWriteRecord(units_.warning,
                     " Warning message from SluKernelAnalyse: no suitable diagonal pivot");
      SluWriteRecord(units_.warning, " found, so switched to full matrix processing.");
      break;
    }
    if (choice.kind == Choice::kSingular) {
      RemoveSingular(choice.column);
      continue;
    }
    if (Eliminate(choice) == Outcome::kError) return;
  }
  Finish();
  PrintExit();
}

}  // namespace

void SluKernelAnalyse(const std::int64_t* M, const std::int64_t* N, const std::int64_t* NE,
                      const std::int64_t* LA, double* A, std::int64_t* IRN, std::int64_t* JCN,
                      std::int64_t* IQ, const double* CNTL, const std::int64_t* ICNTL,
                      std::int64_t* IP, std::int64_t* NP, std::int64_t* COLHEAD,
                      std::int64_t* ROWLEN, std::int64_t* ROWPREV, std::int64_t* ROWNEXT,
                      std::int64_t* ROWMARK, std::int64_t* IFIRST, std::int64_t* COLLEN,
                      std::int64_t* COLPREV, std::int64_t* COLNEXT, std::int64_t* INFO,
                      double* RINFO) {
  PivotSearch search(M, N, NE, LA, A, IRN, JCN, IQ, CNTL, ICNTL, IP, NP, COLHEAD, ROWLEN, ROWPREV,
                     ROWNEXT, ROWMARK, IFIRST, COLLEN, COLPREV, COLNEXT, INFO, RINFO);
  search.Run();
}
