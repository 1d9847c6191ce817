// Recording values with linear-segment compression, truncating the chains
// at a time and resetting them. The invariant the recording keeps: an
// entry's segment start (t_start, v_start) is its last stored point, and the
// open pair after it holds the segment's slope, so a reader of the file
// alone finds the same line.
#include <cmath>

#include "results/plot/plot_history_mgr.h"

using namespace plot;

namespace {

double Slope(double dv, double dt) {
  if (dt == 0.0) return 0.0;
  const double s = dv / dt;
  return std::isfinite(s) ? s : kNonFinite;
}

}  // namespace

// Keeps the pair at the last-used index as a stored pair and moves on,
// chaining a new block when the fifteenth slot is taken: the new block and
// the header that allocates it are written before the full block's link.
Status SputPlotHistoryMgr::Advance(PlotEntry& e) {
  const std::uint16_t at = LastUsed(e.block);
  if (at + 1u < kPairCount) {
    SetLastUsed(&e.block, static_cast<std::uint16_t>(at + 1));
    return status::kOk;
  }
  Status result = status::kOk;
  const std::uint32_t n = file_->AllocateBlock(&result);
  if (n == 0) return result;
  Block next = NewBlock(n, kValueKind);
  SetState(&next, StateOf(e.block));
  SetPair(&next, 0, 0.0, kOpenTime);
  result = file_->WriteBlock(next);
  if (status::IsFailure(result)) return result;
  SetNextLink(&e.block, n);
  SetLastUsed(&e.block, kPairCount - 1);
  result = WriteEntry(e);
  if (status::IsFailure(result)) return result;
  e.block = next;
  e.block_number = n;
  return status::kOk;
}

Status SputPlotHistoryMgr::StorePoint(PlotEntry& e, double value, double time) {
  const std::uint16_t at = LastUsed(e.block);
  if (at > 0 && PairValue(e.block, at - 1u) == value && PairTime(e.block, at - 1u) == time)
    return status::kOk;
  SetPair(&e.block, at, value, time);
  return Advance(e);
}

void SputPlotHistoryMgr::SetOpenPair(PlotEntry& e, double slope) {
  SetPair(&e.block, LastUsed(e.block), std::isfinite(slope) ? slope : kNonFinite, kOpenTime);
}

Status SputPlotHistoryMgr::RecordValues(double t, const std::vector<ResultVariable*>* changed) {
  // A time that is not finite would end all later recording (or all of it).
  if (!std::isfinite(t)) return status::kBadArguments;
  if (file_ == nullptr || t < t_last_) return status::kOk;
  const bool changed_only = changed != nullptr;
  if (changed_only) {
    for (ResultVariable* variable : *changed) {
      if (PlotEntryRef entry = Find(variable)) entry->flagged = true;
    }
  }
  const bool near = t == t_last_ || (t_last_ > time_step_ && std::fabs(t - t_last_) <= time_step_);
  Header& header = file_->header();
  if (t == t_last_ && header.started != 0 && t == 0.0) return status::kOk;
  if (header.started == 0) {
    header.started = 1;
    file_->MarkHeaderChanged();
  }
  Status failure = status::kOk;
  bool non_finite = false;
  for (const PlotEntryRef& entry : table_) {
    PlotEntry& e = *entry;
    if (changed_only && !e.flagged) continue;
    if (StateOf(e.block) == kStopped) continue;
    double v = 0.0;
    if (status::IsFailure(e.variable->GetValue(&v))) v = e.v_last;
    if (!std::isfinite(v)) {
      v = kNonFinite;
      non_finite = true;
    }
    const Status result = RecordEntry(e, v, t, changed_only, near);
    if (status::IsFailure(result)) {
      failure = result;
      break;
    }
    e.v_last = v;
  }
  t_prev_ = t_last_;
  prev_changed_only_ = changed_only;
  t_last_ = t;
  if (t > 0.0 && t != header.last_time) {
    header.last_time = t;
    file_->MarkHeaderChanged();
  }
  // Marks of a changed-only call hold through the next ordinary call.
  if (!changed_only) {
    for (const PlotEntryRef& entry : table_) entry->flagged = false;
  }
  const Status flushed = FlushChecked();
  if (status::IsFailure(failure)) return failure;
  if (status::IsFailure(flushed)) return flushed;
  return non_finite ? kNonFiniteValue : status::kOk;
}

Status SputPlotHistoryMgr::RecordEntry(PlotEntry& e, double v, double t, bool changed_only,
                                       bool near) {
  Status result = status::kOk;
  e.changed = true;
  switch (StateOf(e.block)) {
    case kCreated:
      e.t_start = t;
      e.v_start = v;
      result = StorePoint(e, v, t);
      SetOpenPair(e, 0.0);
      SetState(&e.block, kOnePoint);
      break;
    case kOnePoint:
      if (!(t > t_last_)) {
        result = StorePoint(e, v, t);
        e.t_start = t;
        e.v_start = v;
        SetOpenPair(e, 0.0);
      } else if (changed_only && e.flagged) {
        // The line through the first point and this one, from this one.
        const double slope = Slope(v - e.v_start, t - e.t_start);
        result = StorePoint(e, v, t);
        e.marker = v;
        e.t_start = t;
        e.v_start = v;
        SetOpenPair(e, slope);
      } else {
        SetOpenPair(e, Slope(v - e.v_start, t - e.t_start));
      }
      SetState(&e.block, kNormal);
      break;
    case kReAdded:
      SetState(&e.block, kRestartStored);
      result = Advance(e);  // the open pair stays, as the restart marker
      if (status::IsSuccess(result)) result = StorePoint(e, v, t);
      e.t_start = t;
      e.v_start = v;
      SetOpenPair(e, 0.0);
      break;
    case kRestartStored:
      SetState(&e.block, kNormal);
      if (t > t_last_) {
        SetOpenPair(e, Slope(v - e.v_start, t - e.t_start));
      } else {
        result = StorePoint(e, v, t);
        e.t_start = t;
        e.v_start = v;
        SetOpenPair(e, 0.0);
      }
      break;
    default:
      return RecordNormal(e, v, t, changed_only, near);
  }
  if (status::IsFailure(result)) return result;
  return WriteEntry(e);
}

Status SputPlotHistoryMgr::RecordNormal(PlotEntry& e, double v, double t, bool changed_only,
                                        bool near) {
  const std::uint16_t at = LastUsed(e.block);
  double s = PairValue(e.block, at);
  if (!std::isfinite(s) || !std::isfinite(PairTime(e.block, at))) s = 0.0;
  const double p = e.v_start + s * (t - e.t_start);
  if (e.t_start < t && (!e.flagged || !(changed_only || near))) e.marker = kNoMarker;
  if (t == e.t_start || !(changed_only || std::fabs(v - p) > tolerance_ * std::fabs(v))) {
    e.changed = false;
    return status::kOk;
  }
  Status result = status::kOk;
  double slope = 0.0;
  if (!changed_only && !near) {
    result = StorePoint(e, e.v_last, t_last_);
    e.t_start = t_last_;
    e.v_start = e.v_last;
    slope = Slope(v - e.v_last, t - t_last_);
  } else if (!changed_only && !e.flagged && prev_changed_only_) {
    result = StorePoint(e, e.v_last, t_prev_);
    e.t_start = t_prev_;
    e.v_start = e.v_last;
    slope = Slope(v - e.v_last, t - t_prev_);
  } else if (!changed_only && !e.flagged) {
    // A jump at t: the line's end, then the new value.
    result = StorePoint(e, p, t);
    if (status::IsSuccess(result)) result = StorePoint(e, v, t);
    e.marker = p;
    slope = Slope(v - e.v_start, t - e.t_start);
    e.t_start = t;
    e.v_start = v;
  } else if (near) {
    result = StorePoint(e, v, t);
    e.t_start = t;
    e.v_start = v;
  } else {
    // Changed-only, not near: the line's end at t, then the value at t,
    // where the new line starts.
    result = StorePoint(e, p, t);
    if (status::IsSuccess(result)) result = StorePoint(e, v, t);
    e.marker = p;
    slope = Slope(v - e.v_last, t - t_last_);
    e.t_start = t;
    e.v_start = v;
  }
  if (status::IsFailure(result)) return result;
  SetOpenPair(e, slope);
  return WriteEntry(e);
}

Status SputPlotHistoryMgr::RewindIfOpen(double time) {
  return file_ != nullptr ? TruncateAt(time, false) : status::kOk;
}

Status SputPlotHistoryMgr::TruncateAt(double t, bool keep_zero) {
  if (file_ == nullptr) return kNotOpen;
  if (std::isnan(t)) return status::kBadArguments;
  Header& header = file_->header();
  if (header.started == 0) return status::kOk;
  if (t > t_last_) t = t_last_;
  if (!(t > 0.0) && !(t == 0.0 && keep_zero)) {
    t = 0.0;
    header.started = 0;
    file_->MarkHeaderChanged();
  }
  Status failure = status::kOk;
  for (const PlotEntryRef& entry : table_) {
    PlotEntry& e = *entry;
    e.marker = kNoMarker;
    e.flagged = false;
    const Status result = TruncateEntry(e, t);
    if (status::IsFailure(result) && status::IsSuccess(failure)) failure = result;
    double value = 0.0;
    if (status::IsSuccess(e.variable->GetValue(&value))) e.v_last = value;
  }
  header.last_time = t;
  file_->MarkHeaderChanged();
  t_last_ = t_prev_ = t;
  const Status flushed = FlushChecked();
  return status::IsFailure(failure) ? failure : flushed;
}

// Keeps the points up to t (restart markers among them included), then an
// open pair with the slope that held after the last kept point: toward the
// first point cut off, or the marker's or open pair's own, so the kept
// values between that point and t read back as they were recorded. A
// stopped variable gets its stop pair back. The cut block is written before
// the blocks after it go to the free chain.
Status SputPlotHistoryMgr::TruncateEntry(PlotEntry& e, double t) {
  struct Place {
    std::uint32_t block = 0;
    std::uint32_t index = 0;
  };
  const std::uint16_t state = StateOf(e.block);
  Place keep_end;  // the slot after the last kept point
  int kept = 0;
  bool dropped = false;
  bool slope_known = false;
  double t2 = 0, v2 = 0, slope = 0;
  Block block;
  std::uint32_t n = e.first_block;
  for (std::uint32_t steps = 0; n != 0 && !dropped; ++steps) {
    if (steps >= BlockLimit()) return kIoFailed;
    if (n == e.block_number) {
      block = e.block;
    } else {
      const Status result = ReadBlock(n, &block);
      if (status::IsFailure(result)) return result;
    }
    const bool last = NextLink(block) == 0;
    const std::uint32_t end = last ? LastUsed(block) + 1u : kPairCount;
    for (std::uint32_t i = 0; i < end && i < kPairCount; ++i) {
      const double time = PairTime(block, i);
      const double value = PairValue(block, i);
      // The last slot of a chain holds the open or stop pair, or nothing.
      if (last && i == LastUsed(block) && time != kOpenTime && time != kStopTime) break;
      if (time == kOpenTime || time == kStopTime) {
        if (kept > 0 && !slope_known) {
          slope = time == kOpenTime ? value : 0.0;
          slope_known = true;
        }
        continue;
      }
      if (time > t) {
        if (kept > 0 && !slope_known) slope = Slope(value - v2, time - t2);
        dropped = true;
        break;
      }
      t2 = time, v2 = value;
      slope_known = false;
      ++kept;
      keep_end = i + 1 < kPairCount ? Place{n, i + 1} : Place{NextLink(block), 0};
    }
    n = NextLink(block);
  }
  if (kept == 0) {
    file_->header().started = 0;
    return ResetEntry(e);
  }
  // The block that takes the open pair: read, cut and written first.
  Block cut;
  if (keep_end.block == e.block_number) {
    cut = e.block;
  } else {
    const Status result = ReadBlock(keep_end.block, &cut);
    if (status::IsFailure(result)) return result;
  }
  const std::uint32_t rest = NextLink(cut);
  for (std::uint32_t i = keep_end.index; i < kPairCount; ++i) SetPair(&cut, i, 0.0, 0.0);
  SetNextLink(&cut, 0);
  SetLastUsed(&cut, static_cast<std::uint16_t>(keep_end.index));
  e.block = cut;
  e.block_number = keep_end.block;
  e.t_start = t2;
  e.v_start = v2;
  SetState(&e.block, dropped && state != kStopped ? kNormal : state);
  if (state == kStopped) {
    SetPair(&e.block, keep_end.index, 0.0, kStopTime);
  } else {
    SetOpenPair(e, slope);
  }
  const Status result = WriteEntry(e);
  if (status::IsFailure(result)) return result;
  return file_->FreeChain(rest);
}

Status SputPlotHistoryMgr::Reset() {
  if (file_ == nullptr) return kNotOpen;
  Status failure = status::kOk;
  for (const PlotEntryRef& entry : table_) {
    const Status result = ResetEntry(*entry);
    if (status::IsFailure(result) && status::IsSuccess(failure)) failure = result;
  }
  Header& header = file_->header();
  header.last_time = 0.0;
  header.started = 0;
  file_->MarkHeaderChanged();
  t_last_ = t_prev_ = 0.0;
  const Status flushed = FlushChecked();
  return status::IsFailure(failure) ? failure : flushed;
}

// The first block emptied and written, then the rest freed.
Status SputPlotHistoryMgr::ResetEntry(PlotEntry& e) {
  Block first;
  if (e.first_block == e.block_number) {
    first = e.block;
  } else {
    const Status result = ReadBlock(e.first_block, &first);
    if (status::IsFailure(result)) return result;
  }
  const std::uint32_t rest = NextLink(first);
  const bool stopped = StateOf(e.block) == kStopped;
  e.block = NewBlock(e.first_block, kValueKind);
  e.block_number = e.first_block;
  SetState(&e.block, kCreated);
  if (stopped) {
    SetState(&e.block, kStopped);
    SetPair(&e.block, 0, 0.0, kStopTime);
  }
  e.t_start = e.v_start = 0.0;
  e.marker = kNoMarker;
  const Status result = WriteEntry(e);
  if (status::IsFailure(result)) return result;
  return file_->FreeChain(rest);
}
