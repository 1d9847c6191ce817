#include "daes/delays/delay_history.h"

#include <cmath>
#include <cstring>
#include <new>

namespace delays {
std::uint32_t ImageEntries(std::int64_t columns, std::int64_t rows) {
  if (columns < 0 || rows <= 0) return 0;
  const std::int64_t entries = (columns + 1) * rows + 1;
  // Byte counts of the image travel as 32-bit lengths.
  if (columns > (INT32_MAX / rows) || entries > static_cast<std::int64_t>(UINT32_MAX / 8)) return 0;
  return static_cast<std::uint32_t>(entries);
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
  SetEnds(0, -1);
  return 0;
}

void DelayHistory::Reset() {
  count_ = 0;
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
        return 0;
      }
      --count_;
      newest = newest == 0 ? rows_ - 1 : newest - 1;
    }
    SetEnds(oldest, newest);
  }
  if (count_ != 0 && TimeAt(newest) == t) {
    Cell(column, newest) = x;
    return 0;
  }
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
    }
  } else {
    ++newest;
    if (!was_empty && newest == oldest) {
      oldest = oldest == rows_ - 1 ? 0 : oldest + 1;
      --count_;
    }
  }
  data_[static_cast<std::size_t>(newest)] = t;
  Cell(column, newest) = x;
  SetEnds(oldest, newest);
  return 0;
}

namespace {
// Lagrange's polynomial through the points at t; not finite when two
// points share a time.
double Interpolate(const double* times, const double* values, std::int32_t points, double t) {
  double sum = 0.0;
  for (std::int32_t i = 0; i < points; ++i) {
    double weight = 1.0;
    for (std::int32_t j = 0; j < points; ++j) {
      if (j != i) weight *= (t - times[j]) / (times[i] - times[j]);
    }
    sum += weight * values[i];
  }
  return sum;
}
}  // namespace

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
  if (t == TimeAt(oldest)) {
    *value = ValueAt(column, oldest);
    return 0;
  }
  if (t == TimeAt(newest)) {
    *value = ValueAt(column, newest);
    return 0;
  }
  if (t > TimeAt(newest)) {
    const double span = TimeAt(newest) - now;
    if (span == 0.0) {
      *value = ValueAt(column, newest);
    } else {
      *value += (t - now) / span * (ValueAt(column, newest) - *value);
    }
    return 0;
  }
  // Bisection over the rows in age order: the first row later than t.
  auto row = [&](std::int32_t k) {
    const std::int32_t r = oldest + k;
    return r >= rows_ ? r - rows_ : r;
  };
  // The first row in age order whose time is after t; t lies inside.
  std::int32_t first = 0;
  std::int32_t length = count_;
  while (length > 0) {
    const std::int32_t half = length / 2;
    if (TimeAt(row(first + half)) <= t) {
      first += half + 1;
      length -= half + 1;
    } else {
      length = half;
    }
  }
  // A single row brackets nothing: its value stands.
  if (count_ < 2) {
    *value = ValueAt(column, oldest);
    return 0;
  }
  // Rows restored out of time order must still bracket inside the ring.
  if (first < 1) first = 1;
  if (first > count_ - 1) first = count_ - 1;
  const std::int32_t low = first - 1;
  const std::int32_t a = row(low);
  const std::int32_t b = row(first);
  const double ta = TimeAt(a);
  const double tb = TimeAt(b);
  const double xa = ValueAt(column, a);
  // An exact time gives its row's value without interpolation.
  if (ta == t || tb == ta) {
    *value = xa;
    return 0;
  }
  // A cubic through the two rows around t and their neighbours (fewer
  // near the ends). A straight line between rows bends at every row, and
  // the integrator, which holds a delayed value to its tolerance as it
  // holds every unknown, would cut its steps to the rows' spacing and
  // record ever closer rows.
  const std::int32_t points = count_ < delays::kInterpolationPoints ? count_ : delays::kInterpolationPoints;
  std::int32_t start = low - (points / 2 - 1);
  if (start < 0) start = 0;
  if (start > count_ - points) start = count_ - points;
  double times[delays::kInterpolationPoints];
  double values[delays::kInterpolationPoints];
  for (std::int32_t i = 0; i < points; ++i) {
    times[i] = TimeAt(row(start + i));
    values[i] = ValueAt(column, row(start + i));
  }
  *value = Interpolate(times, values, points, t);
  if (!std::isfinite(*value)) *value = xa + (t - ta) / (tb - ta) * (ValueAt(column, b) - xa);
  return 0;
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
  SetEnds(0, rows == 0 ? -1 : rows - 1);
  return 0;
}
