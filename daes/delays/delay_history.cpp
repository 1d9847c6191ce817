#include "daes/delays/delay_history.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <iterator>
#include <new>

namespace delays {
std::uint32_t ImageEntries(std::int64_t columns, std::int64_t rows) {
  if (columns < 0 || rows <= 0) return 0;
  const std::int64_t entries = (columns + 1) * rows + 1;
  // Byte counts of the image travel as 32-bit lengths.
  if (columns > (INT32_MAX / rows) || entries > static_cast<std::int64_t>(UINT32_MAX / 8)) return 0;
  return static_cast<std::uint32_t>(entries);
}

namespace {
// Ends a block that carries its breaks; the last word of an image alone
// holds a row index, never this.
constexpr std::uint8_t kBlockMark[8] = {'V', 'D', 'B', 'R', 'E', 'A', 'K', 'S'};
constexpr std::uint32_t kBreakBytes = 16;
// A break's rest against its time, beyond which a block is damaged.
constexpr double kMostRest = 1e-12;
constexpr std::uint32_t kTailBytes = 16;
}  // namespace

bool BlockRows(const std::uint8_t* data, std::uint32_t length, std::int64_t columns,
               std::int32_t old_rows, std::int32_t* rows) {
  if (data == nullptr) return false;
  if (length >= kTailBytes && std::memcmp(data + length - 8, kBlockMark, 8) == 0) {
    std::uint32_t tail[2];
    std::memcpy(tail, data + length - kTailBytes, sizeof tail);
    if (tail[1] == 0 || tail[1] > static_cast<std::uint32_t>(INT32_MAX)) return false;
    const std::uint32_t entries = ImageEntries(columns, tail[1]);
    if (entries == 0 ||
        std::uint64_t{entries} * 8u + std::uint64_t{tail[0]} * kBreakBytes + kTailBytes != length) {
      return false;
    }
    *rows = static_cast<std::int32_t>(tail[1]);
    return true;
  }
  const std::uint32_t entries = ImageEntries(columns, old_rows);
  if (entries == 0 || std::uint64_t{entries} * 8u != length) return false;
  *rows = old_rows;
  return true;
}
}  // namespace delays

std::int32_t DelayHistory::Oldest() const {
  std::int32_t ends[2] = {0, -1};
  if (size_ != 0) std::memcpy(ends, &data_[size_ - 1], sizeof ends);
  return ends[0];
}

std::int32_t DelayHistory::Newest() const {
  std::int32_t ends[2] = {0, -1};
  if (size_ != 0) std::memcpy(ends, &data_[size_ - 1], sizeof ends);
  return ends[1];
}

void DelayHistory::SetEnds(std::int32_t oldest, std::int32_t newest) {
  const std::int32_t ends[2] = {oldest, newest};
  std::memcpy(&data_[size_ - 1], ends, sizeof ends);
}

Status DelayHistory::Init(std::int32_t columns, std::int32_t rows) {
  const std::uint32_t entries = delays::ImageEntries(columns, rows);
  if (entries == 0) return delays::kNoMemory;
  if (data_.size() < entries) {
    try {
      std::vector<double> fresh(entries, 0.0);
      data_.swap(fresh);
    } catch (const std::bad_alloc&) {
      return delays::kNoMemory;
    }
  }
  rows_ = rows;
  columns_ = columns;
  size_ = entries;
  count_ = 0;
  breaks_.clear();
  overflowed_ = false;
  reach_ = 0.0;
  SetEnds(0, -1);
  return 0;
}

void DelayHistory::Reset() {
  count_ = 0;
  breaks_.clear();
  overflowed_ = false;
  reach_ = 0.0;
  if (size_ != 0) SetEnds(0, -1);
}

Status DelayHistory::Record(std::int32_t column, double t, double x) {
  // A row without a true time would break the order every lookup bisects.
  if (!std::isfinite(t)) return delays::kBadTime;
  if (size_ == 0 || column < 1 || column > columns_) return 0;
  std::int32_t oldest = Oldest();
  std::int32_t newest = Newest();
  if (count_ != 0 && TimeAt(newest) > t) {
    while (count_ != 0 && TimeAt(newest) > t) {
      if (newest == oldest) {
        // The last row left becomes row 0 and takes the new time.
        for (std::int32_t j = 1; j <= columns_; ++j) Cell(j, 0) = ValueAt(j, newest);
        data_[0] = t;
        Cell(column, 0) = x;
        count_ = 1;
        SetEnds(0, 0);
        breaks_.assign(1, Break{t, 1});
        return 0;
      }
      --count_;
      newest = newest == 0 ? rows_ - 1 : newest - 1;
    }
    SetEnds(oldest, newest);
    while (!breaks_.empty() && breaks_.back().time > t) breaks_.pop_back();
  }
  if (count_ != 0 && TimeAt(newest) == t) {
    Cell(column, newest) = x;
    return 0;
  }
  // The values before the first row are taken to be its own: the run's
  // derivatives start there.
  if (count_ == 0) breaks_.assign(1, Break{t, 1});
  const std::int32_t row = OpenRow();
  data_[static_cast<std::size_t>(row)] = t;
  Cell(column, row) = x;
  return 0;
}

void DelayHistory::Reach(double lag) {
  if (std::isfinite(lag) && lag > reach_) reach_ = lag;
}

bool DelayHistory::OldestReached() const {
  // The cubic between two rows takes its slopes from up to four rows
  // beside them.
  constexpr std::int32_t kBeside = 5;
  if (!(reach_ > 0.0) || count_ < 2) return false;
  return TimeAt(AgeRow(std::min(count_ - 1, kBeside))) > TimeAt(Newest()) - reach_;
}

bool DelayHistory::Grow() {
  const std::int64_t by_memory =
      (static_cast<std::int64_t>(delays::kMostEntries) - 1) / (std::int64_t{columns_} + 1);
  const std::int64_t rows =
      std::min({2 * std::int64_t{rows_}, std::int64_t{most_rows_}, by_memory});
  if (rows <= rows_) return false;
  const std::uint32_t entries = delays::ImageEntries(columns_, rows);
  if (entries == 0) return false;
  std::vector<double> fresh;
  try {
    fresh.assign(entries, 0.0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (std::int32_t k = 0; k < count_; ++k) {
    const std::int32_t r = AgeRow(k);
    fresh[static_cast<std::size_t>(k)] = TimeAt(r);
    for (std::int32_t j = 1; j <= columns_; ++j) {
      fresh[static_cast<std::size_t>(rows) * static_cast<std::size_t>(j) +
            static_cast<std::size_t>(k)] = ValueAt(j, r);
    }
  }
  data_.swap(fresh);
  rows_ = static_cast<std::int32_t>(rows);
  size_ = entries;
  SetEnds(0, count_ - 1);
  return true;
}

std::int32_t DelayHistory::OpenRow() {
  // A row a lag still reaches is never given up while the ring can grow.
  if (count_ == rows_ && OldestReached()) Grow();
  std::int32_t oldest = Oldest();
  std::int32_t newest = Newest();
  if (count_ == 0) {
    oldest = 0;
    newest = -1;
  }
  const bool was_empty = count_ == 0;
  ++count_;
  if (newest == rows_ - 1) {
    newest = 0;
    if (oldest == 0) {
      oldest = 1;
      --count_;
      overflowed_ = true;
    }
  } else {
    ++newest;
    if (!was_empty && newest == oldest) {
      oldest = oldest == rows_ - 1 ? 0 : oldest + 1;
      --count_;
      overflowed_ = true;
    }
  }
  SetEnds(oldest, newest);
  return newest;
}

void DelayHistory::KeepBeforeJump(double t, std::int32_t order, double rest) {
  if (size_ == 0 || count_ == 0 || rows_ < 2) return;
  if (TimeAt(Newest()) != t) return;
  AddBreak(t, order, rest);
  if (count_ >= 2 && TimeAt(AgeRow(count_ - 2)) == t) return;
  DropRowJustBefore(t);
  const std::int32_t newest = Newest();
  const std::int32_t row = OpenRow();
  data_[static_cast<std::size_t>(row)] = t;
  for (std::int32_t j = 1; j <= columns_; ++j) Cell(j, row) = ValueAt(j, newest);
}

void DelayHistory::DropRowJustBefore(double t) {
  // An integrator ends its steps a rounding unit before a break: a row
  // there would leave the slopes beside it to rounding alone. The newest
  // row, at t, takes its place.
  if (count_ < 2) return;
  const std::int32_t newest = Newest();
  const std::int32_t previous = AgeRow(count_ - 2);
  const double before = TimeAt(previous);
  if (!(before < t && t - before <= 4.0 * DBL_EPSILON * std::fabs(t))) return;
  if (count_ >= 3 && TimeAt(AgeRow(count_ - 3)) == before) return;
  data_[static_cast<std::size_t>(previous)] = t;
  for (std::int32_t j = 1; j <= columns_; ++j) Cell(j, previous) = ValueAt(j, newest);
  --count_;
  SetEnds(Oldest(), previous);
}

void DelayHistory::AddBreak(double t, std::int32_t order, double rest) {
  // Those before the oldest row are seen no more: it stands for them all.
  const double oldest = TimeAt(Oldest());
  breaks_.erase(std::remove_if(breaks_.begin(), breaks_.end(),
                               [&](const Break& b) { return b.time < oldest; }),
                breaks_.end());
  if (!breaks_.empty() && breaks_.back().time == t) {
    breaks_.back().order = std::min(breaks_.back().order, order);
  } else {
    breaks_.push_back({t, order, rest});
  }
}

std::int32_t DelayHistory::FirstAfter(double t) const {
  std::int32_t first = 0;
  std::int32_t length = count_;
  while (length > 0) {
    const std::int32_t half = length / 2;
    if (TimeAt(AgeRow(first + half)) <= t) {
      first += half + 1;
      length -= half + 1;
    } else {
      length = half;
    }
  }
  return first;
}

namespace {
// The rows that go with the value now into a look-up inside the step.
constexpr std::int32_t kRowsBeforeNow = 5;
// Rows closer than this share of their distance from the newest.
constexpr double kCloseRows = 1e-3;
}  // namespace

namespace {
// The first time whose look-up `lag` back reaches `jump`: from it on the
// values after the jump are seen, the time just before it still sees
// those before.
double SeenAt(double jump, double lag) {
  double t = jump + lag;
  while (t - lag < jump) t = std::nextafter(t, HUGE_VAL);
  for (double before = std::nextafter(t, -HUGE_VAL); before - lag >= jump;
       before = std::nextafter(t, -HUGE_VAL)) {
    t = before;
  }
  return t;
}
}  // namespace

namespace {

// Sums of lags that meet at one time differ in their last bits: the
// break of one is the break of the other.
bool SameTime(double a, double b) {
  return std::fabs(a - b) <= 4.0 * DBL_EPSILON * std::max(std::fabs(a), std::fabs(b));
}

// A change the size of a solver's round-off (an algebraic solved again at a
// restart) is no jump: stopping for it would restart the run again a lag
// later, without end.
bool IsJump(double before, double after) {
  constexpr double kLeast = 1e-7;
  return std::fabs(after - before) > kLeast * std::max({1.0, std::fabs(before), std::fabs(after)});
}

}  // namespace

std::int32_t DelayHistory::OrderAt(const Break& b, std::int32_t column) const {
  const std::int32_t after = FirstAfter(b.time) - 1;
  if (after < 1 || TimeAt(AgeRow(after - 1)) != b.time) return b.order;
  return IsJump(ValueAt(column, AgeRow(after - 1)), ValueAt(column, AgeRow(after))) ? 0 : b.order;
}

double DelayHistory::BreakBefore(double t) const {
  double before = -HUGE_VAL;
  for (const Break& b : breaks_) {
    if (b.time < t && !SameTime(b.time, t)) before = b.time;
  }
  return before;
}

bool DelayHistory::BreakNear(double t) const {
  const auto b = std::lower_bound(breaks_.begin(), breaks_.end(), t,
                                  [](const Break& x, double v) { return x.time < v; });
  return (b != breaks_.end() && SameTime(b->time, t)) ||
         (b != breaks_.begin() && SameTime(std::prev(b)->time, t));
}

namespace {

// time + rest + lag as the nearest double *at and what the sum has beyond
// it, to twice a double's precision.
void CarriedSum(double time, double rest, double lag, double* at, double* beyond) {
  const double s = time + lag;
  const double part = s - time;
  const double e = (time - (s - part)) + (lag - part) + rest;
  *at = s + e;
  *beyond = e - (*at - s);
}

// An earlier look-up of the same DELAY as `l` when its lag moves with
// time: seen at one time only, with no look-up of the same lag at another,
// the nearest earlier one of its column with a lag that moves slower than
// time does. Null for a lag that does not move.
const delays::Lag* EarlierOfMoving(const delays::Lag& l, const std::vector<delays::Lag>& lags,
                                   const std::vector<delays::Lag>* before) {
  if (!(l.first == l.last)) return nullptr;
  const delays::Lag* earlier = nullptr;
  for (const std::vector<delays::Lag>* pool : {&lags, before}) {
    if (pool == nullptr) continue;
    for (const delays::Lag& o : *pool) {
      if (o.column != l.column) continue;
      if (o.lag == l.lag && &o != &l) return nullptr;
      if (!(o.first == o.last) || !(o.last < l.first) ||
          !(std::fabs(l.lag - o.lag) < l.first - o.last)) {
        continue;
      }
      if (earlier == nullptr || o.last > earlier->last) earlier = &o;
    }
  }
  return earlier;
}

}  // namespace

double DelayHistory::Reached(const Break& b, const delays::Lag& lag, double* rest) const {
  double at = 0.0;
  CarriedSum(b.time, b.rest, lag.lag, &at, rest);
  if (OrderAt(b, lag.column) != 0) return at;
  // A look-up a rounding unit short of a jump in the values would answer
  // those before it.
  const double seen = SeenAt(b.time, lag.lag);
  *rest += at - seen;
  return seen;
}

double DelayHistory::ReachedMoving(const Break& b, const delays::Lag& lag,
                                   const delays::Lag& earlier) const {
  // The time looked back to moves at `pace` against time: it reaches b
  // where a straight line through the two look-ups says.
  const double pace = 1.0 - (lag.lag - earlier.lag) / (lag.first - earlier.last);
  if (!(pace > 0.0)) return HUGE_VAL;
  const double t = lag.first + (b.time - (lag.first - lag.lag)) / pace;
  return std::isfinite(t) ? t : HUGE_VAL;
}

bool DelayHistory::NextJump(double from, double to, const std::vector<delays::Lag>& lags,
                            double* at, const std::vector<delays::Lag>* earlier_lags) const {
  if (size_ == 0 || count_ == 0 || lags.empty()) return false;
  double longest = 0.0;
  for (const delays::Lag& l : lags) longest = std::max(longest, l.lag);
  bool found = false;
  // Latest first: a break earlier than `from` by more than every lag is
  // seen before `from` through each.
  for (auto b = breaks_.rbegin(); b != breaks_.rend() && b->time >= from - longest; ++b) {
    for (const delays::Lag& l : lags) {
      if (l.column < 1 || l.column > columns_ || !(l.lag > 0.0)) continue;
      if (OrderAt(*b, l.column) > delays::kRoughestSmooth) continue;
      double rest = 0.0;
      const delays::Lag* earlier = EarlierOfMoving(l, lags, earlier_lags);
      double t = earlier != nullptr ? ReachedMoving(*b, l, *earlier) : Reached(*b, l, &rest);
      if (!std::isfinite(t) || BreakNear(t)) continue;
      // Told again from later look-ups, a moving lag's crossing may fall a
      // rounding unit or so behind the steps that ended on it: it is here.
      if (earlier != nullptr && t <= from && SameTime(t, from)) t = std::nextafter(from, HUGE_VAL);
      if (t > from && t <= to && (!found || t < *at)) {
        *at = t;
        found = true;
      }
    }
  }
  return found;
}

std::int32_t DelayHistory::OrderSeenAt(double t, const std::vector<delays::Lag>& lags) const {
  std::int32_t order = 1;
  double rest = 0.0;
  CrossingAt(t, lags, &order, &rest);
  return order;
}

bool DelayHistory::CrossingAt(double t, const std::vector<delays::Lag>& lags, std::int32_t* order,
                              double* rest, const std::vector<delays::Lag>* earlier_lags) const {
  *order = 1;
  *rest = 0.0;
  bool seen = false;
  for (const Break& b : breaks_) {
    for (const delays::Lag& l : lags) {
      if (l.column < 1 || l.column > columns_ || !(l.lag > 0.0)) continue;
      double beyond = 0.0;
      const delays::Lag* earlier = EarlierOfMoving(l, lags, earlier_lags);
      const double reached =
          earlier != nullptr ? ReachedMoving(b, l, *earlier) : Reached(b, l, &beyond);
      if (!std::isfinite(reached) || !SameTime(reached, t)) continue;
      const std::int32_t o = OrderAt(b, l.column) + 1;
      if (!seen || o < *order) {
        *order = o;
        // The sum it stands for, from where the restart is.
        *rest = earlier != nullptr ? 0.0 : (reached - t) + beyond;
      }
      seen = true;
    }
  }
  return seen;
}

std::int32_t DelayHistory::AgeRow(std::int32_t k) const {
  const std::int32_t r = Oldest() + k;
  return r >= rows_ ? r - rows_ : r;
}

// A turn of a smooth curve among the rows: the secants change sign, and
// the curvature keeps its sign and, from interval to interval, its size
// within a small factor. Cut to monotone slopes, such a curve was flat at
// the rows beside its turn and only second-order there: a sensitivity
// read a lag later near its extremum was off by thousands of tolerances.
// A jump, a kink or a step's rows never pass.
bool DelayHistory::SmoothTurn(const double* times, const double* values, std::int32_t n) {
  constexpr double kCurvatureSpread = 4.0;
  if (n < 4) return false;
  double secants[4] = {};
  for (std::int32_t i = 0; i + 1 < n; ++i)
    secants[i] = (values[i + 1] - values[i]) / (times[i + 1] - times[i]);
  bool turns = false;
  for (std::int32_t i = 0; i + 2 < n; ++i) turns = turns || secants[i] * secants[i + 1] < 0.0;
  if (!turns) return false;
  double least = HUGE_VAL, most = 0.0, sign = 0.0;
  for (std::int32_t i = 0; i + 2 < n; ++i) {
    const double curvature = (secants[i + 1] - secants[i]) / (times[i + 2] - times[i]);
    if (!std::isfinite(curvature) || curvature == 0.0) return false;
    if (sign == 0.0) sign = curvature;
    if ((curvature > 0.0) != (sign > 0.0)) return false;
    least = std::min(least, std::fabs(curvature));
    most = std::max(most, std::fabs(curvature));
  }
  return most <= kCurvatureSpread * least;
}

double DelayHistory::Slope(std::int32_t column, std::int32_t k) const {
  // The rows around k, up to two each side, as long as their times rise;
  // beside a break or an end, up to four on the other side: a slope from
  // three rows is second-order, and the curve beside every break of the
  // run lost its accuracy.
  const auto lower = [&](std::int32_t i) {
    return i > 0 && TimeAt(AgeRow(i - 1)) < TimeAt(AgeRow(i));
  };
  const auto higher = [&](std::int32_t i) {
    return i < count_ - 1 && TimeAt(AgeRow(i + 1)) > TimeAt(AgeRow(i));
  };
  std::int32_t lo = k;
  while (lo > k - 2 && lower(lo)) --lo;
  std::int32_t hi = k;
  while (hi < k + 2 && higher(hi)) ++hi;
  while (hi - lo < 4 && lower(lo)) --lo;
  while (hi - lo < 4 && higher(hi)) ++hi;
  if (lo == hi) return 0.0;
  double times[5] = {};
  double values[5] = {};
  const std::int32_t n = hi - lo + 1;
  for (std::int32_t i = 0; i < n; ++i) {
    times[i] = TimeAt(AgeRow(lo + i));
    values[i] = ValueAt(column, AgeRow(lo + i));
  }
  // The derivative at row k of the polynomial through them: fourth-order
  // where two rows lie on each side. A slope from the two secants alone (a
  // harmonic mean) is second-order: the curvature jumps at every row, and
  // the other states of a run lost several times their accuracy.
  const std::int32_t j = k - lo;
  const double tj = times[j];
  double d = 0.0;
  for (std::int32_t i = 0; i < n; ++i) {
    if (i == j) continue;
    double weight = 1.0 / (times[i] - tj);
    for (std::int32_t m = 0; m < n; ++m) {
      if (m != i && m != j) weight *= (tj - times[m]) / (times[i] - times[m]);
    }
    d += weight * (values[i] - values[j]);
  }
  // Cut back to what keeps both intervals at the row monotone: 0 at a turn
  // or beside a flat interval, else of the secants' sign and at most three
  // times the smaller one; a smooth turn keeps its slope.
  const auto cut = [&](double to) { return SmoothTurn(times, values, n) ? d : to; };
  const double before = j > 0 ? (values[j] - values[j - 1]) / (tj - times[j - 1]) : 0.0;
  const double after = j < n - 1 ? (values[j + 1] - values[j]) / (times[j + 1] - tj) : 0.0;
  const double secant = j > 0 ? before : after;
  if (j > 0 && j < n - 1 && (before == 0.0 || after == 0.0 || (before > 0.0) != (after > 0.0))) {
    return cut(0.0);
  }
  if (secant == 0.0 || !(d * secant > 0.0)) return cut(0.0);
  double bound = 3.0 * std::fabs(secant);
  if (j > 0 && j < n - 1) bound = 3.0 * std::min(std::fabs(before), std::fabs(after));
  return std::fabs(d) > bound ? cut(std::copysign(bound, d)) : d;
}

Status DelayHistory::Lookup(std::int32_t column, double t, double now, double* value) const {
  // A NaN compares false with every row and would fall through to the
  // bisection, which has no row to bracket it.
  if (std::isnan(t) || t == HUGE_VAL || !std::isfinite(now)) return delays::kBadTime;
  if (count_ == 0 || size_ == 0 || column < 1 || column > columns_) return delays::kBeforeHistory;
  const std::int32_t oldest = Oldest();
  const std::int32_t newest = Newest();
  if (t < TimeAt(oldest)) {
    *value = ValueAt(column, oldest);
    return delays::kBeforeHistory;
  }
  if (t == TimeAt(newest)) {
    *value = ValueAt(column, newest);
    return 0;
  }
  if (t > TimeAt(newest)) {
    const double span = TimeAt(newest) - now;
    if (span == 0.0) {
      *value = ValueAt(column, newest);
      return 0;
    }
    if (!(span < 0.0)) {
      *value += (t - now) / span * (ValueAt(column, newest) - *value);
      return 0;
    }
    // Inside the step being taken, a lag far shorter than it: a line from
    // the newest row to the value now is off by about lag h y''/2, which
    // no error test sees when the look-up sits inside an equation. The
    // polynomial through the last rows and the value now is of the
    // integrator's own order.
    std::int32_t rows[kRowsBeforeNow];
    const std::int32_t n = RowsBeforeNow(rows);
    double basis = 1.0;
    for (std::int32_t i = 0; i < n; ++i) basis *= (t - TimeAt(rows[i])) / (now - TimeAt(rows[i]));
    double sum = basis * *value;
    for (std::int32_t i = 0; i < n; ++i) {
      const double ti = TimeAt(rows[i]);
      double b = (t - now) / (ti - now);
      for (std::int32_t j = 0; j < n; ++j) {
        if (j != i) b *= (t - TimeAt(rows[j])) / (ti - TimeAt(rows[j]));
      }
      sum += b * ValueAt(column, rows[i]);
    }
    if (std::isfinite(sum)) *value = sum;
    return 0;
  }
  // t lies inside.
  std::int32_t first = FirstAfter(t);
  // A single row brackets nothing: its value stands.
  if (count_ < 2) {
    *value = ValueAt(column, oldest);
    return 0;
  }
  // Rows restored out of time order must still bracket inside the ring.
  if (first < 1) first = 1;
  if (first > count_ - 1) first = count_ - 1;
  const std::int32_t low = first - 1;
  const std::int32_t a = AgeRow(low);
  const std::int32_t b = AgeRow(first);
  const double ta = TimeAt(a);
  const double tb = TimeAt(b);
  const double xa = ValueAt(column, a);
  // An exact time gives its row's value without interpolation: of a jump's
  // two rows, the one after it.
  if (ta == t || tb == ta) {
    *value = xa;
    return 0;
  }
  const double xb = ValueAt(column, b);
  const double h = tb - ta;
  const double secant = (xb - xa) / h;
  // Rows restored out of time order: the line between them.
  if (!(h > 0.0)) {
    *value = xa + (t - ta) * secant;
    return 0;
  }
  // A line from row to row bends at every row, and the integrator, which
  // holds a delayed value to its tolerance as it holds every unknown,
  // would cut its steps to the rows' spacing and record ever closer rows.
  // A cubic with slopes at the rows is smooth. The slopes follow the rows'
  // shape, so it never leaves the range of the two rows around t: a
  // delayed step, or a flow that is never negative, stays so, where a
  // cubic through four rows would overshoot the jump.
  const double da = Slope(column, low);
  const double db = Slope(column, first);
  const double s = (t - ta) / h;
  const double cubic =
      xa + (t - ta) * (da + s * ((3.0 * secant - 2.0 * da - db) + s * (da + db - 2.0 * secant)));
  if (!std::isfinite(cubic)) {
    *value = xa + (t - ta) * secant;
    return 0;
  }
  // A slope against the secant is a smooth turn's: its curve goes past the
  // rows. Elsewhere only rounding can take it past them.
  if (da * secant < 0.0 || db * secant < 0.0) {
    *value = cubic;
    return 0;
  }
  *value = std::clamp(cubic, std::min(xa, xb), std::max(xa, xb));
  return 0;
}

Status DelayHistory::CurrentWeight(std::int32_t column, double t, double now,
                                   double* weight) const {
  *weight = 1.0;
  if (std::isnan(t) || t == HUGE_VAL || !std::isfinite(now)) return delays::kBadTime;
  // Without rows the value now stands.
  if (count_ == 0 || size_ == 0 || column < 1 || column > columns_) return delays::kBeforeHistory;
  *weight = 0.0;
  const double newest = TimeAt(Newest());
  // Only past the newest row is the answer drawn towards the value now.
  if (!(t > newest) || newest == now) return 0;
  if (!(newest < now)) {
    *weight = 1.0 - (t - now) / (newest - now);
    return 0;
  }
  std::int32_t rows[kRowsBeforeNow];
  const std::int32_t n = RowsBeforeNow(rows);
  *weight = 1.0;
  for (std::int32_t i = 0; i < n; ++i) *weight *= (t - TimeAt(rows[i])) / (now - TimeAt(rows[i]));
  return 0;
}

std::int32_t DelayHistory::RowsBeforeNow(std::int32_t* rows) const {
  const double since = breaks_.empty() ? -HUGE_VAL : breaks_.back().time;
  std::int32_t n = 0;
  for (std::int32_t k = count_ - 1; k >= 0 && n < kRowsBeforeNow; --k) {
    const std::int32_t r = AgeRow(k);
    // Two rows at one time are a jump: the curve starts at the later.
    if (TimeAt(r) < since || (n > 0 && !(TimeAt(r) < TimeAt(rows[n - 1])))) break;
    // A row all but on the last one taken would hand rounding to the
    // polynomial, many times over.
    if (n > 1 && TimeAt(rows[n - 1]) - TimeAt(r) < kCloseRows * (TimeAt(rows[0]) - TimeAt(r)))
      continue;
    rows[n++] = r;
  }
  return n;
}

Status DelayHistory::Restore(const std::uint8_t* data, std::uint32_t length,
                             std::int32_t saved_columns, std::int32_t saved_rows,
                             const std::vector<std::int32_t>* map) {
  const std::uint32_t entries = delays::ImageEntries(saved_columns, saved_rows);
  if (entries == 0 || data == nullptr || length != entries * 8u) return delays::kBadSnapshot;
  if (map != nullptr && map->size() < static_cast<std::size_t>(saved_columns)) {
    return delays::kBadSnapshot;
  }
  auto saved = [&](std::size_t i) {
    double d;
    std::memcpy(&d, data + i * 8, sizeof d);
    return d;
  };
  std::int32_t ends[2];
  std::memcpy(ends, data + (static_cast<std::size_t>(entries) - 1) * 8, sizeof ends);
  const std::int32_t so = ends[0];
  const std::int32_t sn = ends[1];
  if (sn != -1 && (so < 0 || so >= saved_rows || sn < 0 || sn >= saved_rows)) {
    return delays::kBadSnapshot;
  }
  const std::int32_t rows = sn == -1 ? 0 : (sn >= so ? sn - so + 1 : saved_rows - so + sn + 1);
  if (rows > rows_) return delays::kBadSnapshot;
  if (map != nullptr) {
    for (std::int32_t c = 0; c < saved_columns; ++c) {
      if ((*map)[static_cast<std::size_t>(c)] < 0 ||
          (*map)[static_cast<std::size_t>(c)] > columns_) {
        return delays::kBadSnapshot;
      }
    }
  } else if (saved_columns != columns_) {
    return delays::kBadSnapshot;
  }
  // An endless time could never be bracketed: look-ups between such rows
  // would answer NaN as if they had found a value.
  for (std::int32_t k = 0; k < rows; ++k) {
    if (!std::isfinite(saved(static_cast<std::size_t>((so + k) % saved_rows)))) {
      return delays::kBadSnapshot;
    }
  }
  // Checked: from here on nothing fails.
  for (std::int32_t k = 0; k < rows; ++k) {
    const std::size_t from = static_cast<std::size_t>((so + k) % saved_rows);
    data_[static_cast<std::size_t>(k)] = saved(from);
    if (map != nullptr) {
      for (std::int32_t j = 1; j <= columns_; ++j) Cell(j, k) = 0.0;
    }
    for (std::int32_t c = 1; c <= saved_columns; ++c) {
      const std::int32_t to = map != nullptr ? (*map)[static_cast<std::size_t>(c - 1)] : c;
      if (to == 0) continue;
      Cell(to, k) =
          saved(static_cast<std::size_t>(saved_rows) * static_cast<std::size_t>(c) + from);
    }
  }
  count_ = rows;
  overflowed_ = false;
  SetEnds(0, rows == 0 ? -1 : rows - 1);
  // The orders of the breaks are not in the image: each is taken to be an
  // event's, the first row's too, where the run began.
  breaks_.clear();
  if (rows > 0) breaks_.push_back({data_[0], 1});
  for (std::int32_t k = 1; k < rows; ++k) {
    const double t = data_[static_cast<std::size_t>(k)];
    // Kept in time order, as the look-ups bisect them.
    if (t == data_[static_cast<std::size_t>(k - 1)] && t > breaks_.back().time) {
      breaks_.push_back({t, 1});
    }
  }
  return 0;
}

Status DelayHistory::WriteBlock(std::vector<std::uint8_t>* block) const {
  block->clear();
  if (size_ == 0) return delays::kNoHistory;
  // The rows kept and no more, in age order: a ring grown for a long lag
  // would otherwise write its room in every snapshot.
  const std::int32_t rows = std::max(count_, 1);
  const std::uint32_t entries = delays::ImageEntries(columns_, rows);
  if (entries == 0) return delays::kNoMemory;
  // Those before the oldest row are seen no more; those restored after the
  // newest (rows out of time order) are no break of these rows.
  std::vector<Break> kept;
  for (const Break& b : breaks_) {
    if (count_ != 0 && b.time >= TimeAt(Oldest()) && b.time <= TimeAt(Newest())) {
      kept.push_back(b);
    }
  }
  const std::uint64_t image = std::uint64_t{entries} * 8u;
  const std::uint64_t length = image + kept.size() * delays::kBreakBytes + delays::kTailBytes;
  if (length > UINT32_MAX) return delays::kNoMemory;
  try {
    block->assign(static_cast<std::size_t>(length), 0);
  } catch (const std::bad_alloc&) {
    return delays::kNoMemory;
  }
  std::uint8_t* at = block->data();
  const auto put = [&](std::size_t entry, double v) { std::memcpy(at + 8 * entry, &v, 8); };
  for (std::int32_t k = 0; k < count_; ++k) {
    const std::int32_t r = AgeRow(k);
    put(static_cast<std::size_t>(k), TimeAt(r));
    for (std::int32_t j = 1; j <= columns_; ++j) {
      put(static_cast<std::size_t>(rows) * static_cast<std::size_t>(j) +
              static_cast<std::size_t>(k),
          ValueAt(j, r));
    }
  }
  const std::int32_t ends[2] = {0, count_ - 1};
  std::memcpy(at + image - 8, ends, sizeof ends);
  at += image;
  for (const Break& b : kept) {
    // The rest of the sum goes where a block without it holds a zero, so
    // that a reader of those reads these too; as a float it keeps 24 bits
    // of a rest that is itself below a rounding of the time. A rest the
    // reader would refuse (a break near time 0) is left out: the break
    // then lands a few roundings of its lags away.
    const bool keeps =
        std::fabs(b.rest) <= delays::kMostRest * std::fabs(b.time) && std::fabs(b.rest) <= FLT_MAX;
    const float rest = keeps ? static_cast<float>(b.rest) : 0.0f;
    std::memcpy(at, &b.time, 8);
    std::memcpy(at + 8, &b.order, 4);
    std::memcpy(at + 12, &rest, 4);
    at += delays::kBreakBytes;
  }
  const std::uint32_t tail[2] = {static_cast<std::uint32_t>(kept.size()),
                                 static_cast<std::uint32_t>(rows)};
  std::memcpy(at, tail, sizeof tail);
  std::memcpy(at + 8, delays::kBlockMark, 8);
  return 0;
}

Status DelayHistory::RestoreBlock(const std::uint8_t* data, std::uint32_t length,
                                  std::int32_t saved_columns, std::int32_t old_rows,
                                  const std::vector<std::int32_t>* map) {
  std::int32_t rows = 0;
  if (!delays::BlockRows(data, length, saved_columns, old_rows, &rows)) return delays::kBadSnapshot;
  const std::uint32_t image = delays::ImageEntries(saved_columns, rows) * 8u;
  std::vector<Break> breaks;
  const bool marked = image != length;
  if (marked) {
    std::uint32_t count = 0;
    std::memcpy(&count, data + length - delays::kTailBytes, sizeof count);
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint8_t* at = data + image + std::size_t{i} * delays::kBreakBytes;
      Break b{};
      float rest = 0.0f;
      std::memcpy(&b.time, at, 8);
      std::memcpy(&b.order, at + 8, 4);
      std::memcpy(&rest, at + 12, 4);
      // In time order, as they were kept; a rest is a few roundings of
      // the time at most.
      if (!std::isfinite(b.time) || b.order < 0 ||
          (!breaks.empty() && b.time <= breaks.back().time) || !std::isfinite(rest) ||
          std::fabs(rest) > delays::kMostRest * std::fabs(b.time)) {
        return delays::kBadSnapshot;
      }
      b.rest = rest;
      breaks.push_back(b);
    }
  }
  if (const Status s = Restore(data, image, saved_columns, rows, map); s != 0) return s;
  if (marked) {
    breaks_.clear();
    for (const Break& b : breaks) {
      if (count_ != 0 && b.time >= TimeAt(0) && b.time <= TimeAt(count_ - 1)) breaks_.push_back(b);
    }
  }
  return 0;
}
