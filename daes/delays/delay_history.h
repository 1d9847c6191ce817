// A ring of rows (a time and one value per column) kept in one array of
// doubles, laid out as the snapshot image stores it: R times, then R values
// per column, then one entry holding the oldest and newest row indices.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/status.h"

namespace delays {
inline constexpr Status kNoMemory = 0x80260213u;
inline constexpr Status kNoHistory = 0x80260262u;
inline constexpr Status kBadSnapshot = 0xA026FFFFu;
inline constexpr Status kBeforeHistory = 0x40260265u;
// A time that is not a number (or an endless one) where a time is needed.
inline constexpr Status kBadTime = 0x8026020Fu;
inline constexpr std::int32_t kRows = 10000;
// The highest derivative whose jump still ends the integrator's steps and
// starts it again. A jump in a lower one, seen through a lag, is a jump in
// the next higher one of what integrates it, a lag later. Each restart
// costs the other states some accuracy; a third derivative that jumps
// still locked the steps of a delayed value held at rtol 1e-9.
inline constexpr std::int32_t kRoughestSmooth = 3;
// A column looked up `lag` back in time.
struct Lag {
  std::int32_t column;
  double lag;
};
// Entries needed for `columns` columns of `rows` rows; 0 when it would not
// fit a 32-bit size.
std::uint32_t ImageEntries(std::int64_t columns, std::int64_t rows);
}  // namespace delays

class DelayHistory {
 public:
  // R rows of `columns` columns, empty. Keeps a large enough array (zeroes a
  // new one); 0x80260213 when the array cannot be had.
  Status Init(std::int32_t columns, std::int32_t rows = delays::kRows);
  // Forgets the rows (the array stays).
  void Reset();

  // Column j (1-based) at time t; a time before the newest row first drops
  // the later rows. A time that is not finite is refused (0x8026020F) and
  // nothing changes.
  Status Record(std::int32_t column, double t, double x);
  // The values are about to jump at time t: when the newest row is at t, a
  // copy of it becomes the newest row, so that what is recorded at t from
  // now on leaves the values before the jump in the row before. Two rows at
  // most share a time: a second jump at t overwrites the values after the
  // first. Looked up, the jump stays one: before t the values before it,
  // from t on the values after it. `order` is the lowest derivative that
  // may jump there when the values do not (1 at an event).
  void KeepBeforeJump(double t, std::int32_t order = 1);
  // The first time in (from, to] from which a look-up of one of `lags`
  // sees the history's other side of a break (its first row, or two rows
  // sharing a time) that is rough up to kRoughestSmooth derivatives: the
  // time just before it still sees this side. False when there is none.
  // Lags must be finite.
  bool NextJump(double from, double to, const std::vector<delays::Lag>& lags, double* at) const;
  // The lowest derivative that may jump at t in what integrates a look-up
  // of `lags` that reaches a break at t; 1 when none does.
  std::int32_t OrderSeenAt(double t, const std::vector<delays::Lag>& lags) const;
  // The value of column j at time t: between rows a cubic that stays
  // within the two rows around t (its slopes at the rows from their
  // neighbours); `now` and *value are the current point, towards which
  // times after the newest row are interpolated linearly. A time that
  // is NaN or +inf, or a `now` that is not finite, is refused (0x8026020F)
  // with *value unchanged.
  Status Lookup(std::int32_t column, double t, double now, double* value) const;
  // The weight with which the value now enters Lookup's answer for time t.
  Status CurrentWeight(std::int32_t column, double t, double now, double* weight) const;

  // Restores an image of `saved_columns` columns and `saved_rows` rows into
  // rows 0, 1, ... in age order. `map` (null for one-to-one) gives for each
  // saved column the 1-based column here or 0. A damaged image (NaN times
  // included) gives 0xA026FFFF and changes nothing.
  Status Restore(const std::uint8_t* data, std::uint32_t length, std::int32_t saved_columns,
                 std::int32_t saved_rows, const std::vector<std::int32_t>* map);

  bool HasArray() const { return size_ != 0; }
  const double* Data() const { return data_.data(); }
  std::uint32_t Size() const { return size_; }
  std::int32_t Rows() const { return rows_; }
  std::int32_t Columns() const { return columns_; }
  std::int32_t RecordCount() const { return count_; }
  // Rows were given up to make room since the history began.
  bool Overflowed() const { return overflowed_; }
  std::int32_t Oldest() const;
  std::int32_t Newest() const;
  double TimeAt(std::int32_t row) const { return data_[static_cast<std::size_t>(row)]; }
  double ValueAt(std::int32_t column, std::int32_t row) const {
    return data_[static_cast<std::size_t>(rows_) * static_cast<std::size_t>(column) +
                 static_cast<std::size_t>(row)];
  }

 private:
  double& Cell(std::int32_t column, std::int32_t row) {
    return data_[static_cast<std::size_t>(rows_) * static_cast<std::size_t>(column) +
                 static_cast<std::size_t>(row)];
  }
  void SetEnds(std::int32_t oldest, std::int32_t newest);
  // Opens a row after the newest (the oldest goes when the ring is full)
  // and answers its index.
  std::int32_t OpenRow();
  // The first row in age order whose time is after t (the row count when
  // none is).
  std::int32_t FirstAfter(double t) const;
  // The ring index of the row k-th in age order.
  std::int32_t AgeRow(std::int32_t k) const;
  // The slope of column j at the row k-th in age order, for the cubic
  // between rows.
  double Slope(std::int32_t column, std::int32_t k) const;

  // A time where the rows are not smooth: the first, and each where two
  // rows share a time. `order`: the lowest derivative that may jump there
  // when the values do not.
  struct Break {
    double time;
    std::int32_t order;
  };
  // The lowest derivative of `column` that jumps at b.
  std::int32_t OrderAt(const Break& b, std::int32_t column) const;
  void AddBreak(double t, std::int32_t order);
  void DropRowJustBefore(double t);
  // A break lies within rounding of t: the integrator started again there.
  bool BreakNear(double t) const;
  // The rows a time past the newest is read through, with the value now:
  // the newest and a few before it, newest first, none before the last
  // break. Answers how many went into `rows`.
  std::int32_t RowsBeforeNow(std::int32_t* rows) const;

  std::vector<double> data_;
  std::vector<Break> breaks_;
  std::uint32_t size_ = 0;
  std::int32_t rows_ = 0;
  std::int32_t columns_ = 0;
  std::int32_t count_ = 0;
  bool overflowed_ = false;
};
