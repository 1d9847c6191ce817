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
// The rows a history starts with; it grows past them only for rows a lag
// still reaches.
inline constexpr std::int32_t kRows = 10000;
// The most entries a history grows to (256 MB): a bound on memory far
// above what a lag needs unless the steps within it are counted in
// millions.
inline constexpr std::uint32_t kMostEntries = 1u << 25;
// The highest derivative whose jump still ends the integrator's steps and
// starts it again. A jump in a lower one, seen through a lag, is a jump in
// the next higher one of what integrates it, a lag later. Each restart
// costs the other states some accuracy; a third derivative that jumps
// still locked the steps of a delayed value held at rtol 1e-9.
inline constexpr std::int32_t kRoughestSmooth = 3;
// The highest derivative of a delayed value whose jump always starts the
// integrator again: a first derivative that jumps is a kink in a DELAY
// held in a variable of its own, which steps across it miss by far.
inline constexpr std::int32_t kSmoothestRestart = 1;
// Breaks closer to the one before than this share of the shortest lag
// are gone across (DelayMgr::GoesOnAt).
inline constexpr double kCloseBreaks = 0.5;
// A column looked up `lag` back in time, at times `first` to `last` (NaN
// when not known: a lag that does not move).
struct Lag {
  std::int32_t column;
  double lag;
  double first = __builtin_nan("");
  double last = __builtin_nan("");
};
// Entries needed for `columns` columns of `rows` rows; 0 when it would not
// fit a 32-bit size.
std::uint32_t ImageEntries(std::int64_t columns, std::int64_t rows);
// The rows of a snapshot block of `columns` columns and `length` bytes:
// the image of a ring of R rows, then the breaks (a time, an order and, as
// a float, the rest of the sum of lags it stands for: 16 bytes each; blocks
// written before the rest was kept hold a zero there), then the break count
// and R (32-bit each) and an 8-byte mark.
// A block without the mark, written before breaks were kept, is the image
// alone and must be `old_rows` rows long. False for a damaged block.
bool BlockRows(const std::uint8_t* data, std::uint32_t length, std::int64_t columns,
               std::int32_t old_rows, std::int32_t* rows);
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
  // `rest`: the sum of lags a carried break stands for, less t.
  void KeepBeforeJump(double t, std::int32_t order = 1, double rest = 0.0);
  // The first time in (from, to] from which a look-up of one of `lags`
  // sees the history's other side of a break (its first row, or two rows
  // sharing a time) that is rough up to kRoughestSmooth derivatives: the
  // time just before it still sees this side. False when there is none.
  // Lags must be finite.
  // `earlier`: look-ups before those, which tell how a lag moves.
  bool NextJump(double from, double to, const std::vector<delays::Lag>& lags, double* at,
                const std::vector<delays::Lag>* earlier = nullptr) const;
  // The lowest derivative that may jump at t in what integrates a look-up
  // of `lags` that reaches a break at t; 1 when none does.
  std::int32_t OrderSeenAt(double t, const std::vector<delays::Lag>& lags) const;
  // Whether a look-up of `lags` reaches a break at t, with the order as
  // OrderSeenAt gives it and the rest of the sum that break stands for.
  bool CrossingAt(double t, const std::vector<delays::Lag>& lags, std::int32_t* order,
                  double* rest, const std::vector<delays::Lag>* earlier = nullptr) const;
  // The latest break before t, not within rounding of it; -inf when none.
  double BreakBefore(double t) const;
  // The value of column j at time t: between rows a cubic that stays
  // within the two rows around t but at a smooth curve's turn (its slopes
  // at the rows from their neighbours); `now` and *value are the current point, towards which
  // times after the newest row are interpolated linearly. A time that
  // is NaN or +inf, or a `now` that is not finite, is refused (0x8026020F)
  // with *value unchanged.
  Status Lookup(std::int32_t column, double t, double now, double* value) const;
  // The weight with which the value now enters Lookup's answer for time t.
  Status CurrentWeight(std::int32_t column, double t, double now, double* weight) const;

  // The longest lag looked up so far: the ring grows rather than give up a
  // row that a look-up that far back from the newest row still uses, up to
  // `most` rows (SetMostRows) and as long as memory is had.
  void Reach(double lag);
  void SetMostRows(std::int32_t most) { most_rows_ = most; }
  // The snapshot block (see delays::BlockRows): the image of the rows kept,
  // in age order, and the breaks.
  Status WriteBlock(std::vector<std::uint8_t>* block) const;
  // Restores a block; an old one (the image alone) takes its first row and
  // each two rows sharing a time for breaks of an event's order. The ring
  // must hold the block's rows (Init with delays::BlockRows's). A damaged
  // block gives 0xA026FFFF and changes nothing.
  Status RestoreBlock(const std::uint8_t* data, std::uint32_t length, std::int32_t saved_columns,
                      std::int32_t old_rows, const std::vector<std::int32_t>* map);
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
  // Opens a row after the newest (the oldest goes when the ring is full
  // and cannot grow) and answers its index.
  std::int32_t OpenRow();
  // A look-up Reach back from the newest row may still use the oldest.
  bool OldestReached() const;
  // Twice the rows (at most most_rows_), in age order from row 0; false
  // when no more can be had.
  bool Grow();
  // The first row in age order whose time is after t (the row count when
  // none is).
  std::int32_t FirstAfter(double t) const;
  // The ring index of the row k-th in age order.
  std::int32_t AgeRow(std::int32_t k) const;
  // The slope of column j at the row k-th in age order, for the cubic
  // between rows.
  double Slope(std::int32_t column, std::int32_t k) const;
  // Whether n rows (4 or 5) around a row are a smooth curve's turn, whose
  // slope is taken as the rows' polynomial gives it.
  static bool SmoothTurn(const double* times, const double* values, std::int32_t n);

  // A time where the rows are not smooth: the first, and each where two
  // rows share a time. `order`: the lowest derivative that may jump there
  // when the values do not.
  struct Break {
    double time;
    std::int32_t order;
    // The sum of lags a carried break stands for is time + rest, to twice
    // a double's precision: carried on, it does not drift by a rounding a
    // lag.
    double rest = 0.0;
  };
  // Where a look-up of `lag` reaches b: at the sum b stands for, or, where
  // the values jump, from the first time that sees those after; *rest as
  // in Break.
  double Reached(const Break& b, const delays::Lag& lag, double* rest) const;
  // The same for a lag that moves with time, from two look-ups of it.
  double ReachedMoving(const Break& b, const delays::Lag& lag, const delays::Lag& earlier) const;
  // The lowest derivative of `column` that jumps at b.
  std::int32_t OrderAt(const Break& b, std::int32_t column) const;
  void AddBreak(double t, std::int32_t order, double rest = 0.0);
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
  double reach_ = 0.0;
  std::int32_t most_rows_ = INT32_MAX;
};
