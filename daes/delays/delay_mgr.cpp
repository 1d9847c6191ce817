#include "daes/delays/delay_mgr.h"

#include <strings.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "daes/model/variable.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/run_mode.h"
#include "foundation/messages/su_print.h"
#include "foundation/persistence/binary_stream.h"
#include "framework/messaging/message.h"

DelayMgr::DelayMgr() { SetCurrentDelayMgr(this); }

DelayMgr::~DelayMgr() {
  if (GetCurrentDelayMgr() == this) SetCurrentDelayMgr(nullptr);
}

DelayMgr* DAESCreateDelayMgr() { return new DelayMgr(); }

Status DelayMgr::RefuseSnapshot(const char* what) {
  SuPrint(delays::kBadSnapshot, "Delay history refused: %s", what);
  return delays::kBadSnapshot;
}

std::uint32_t DelayMgr::Id(std::int32_t kind) {
  if (kind == delays::kHistoryKind) return delays::kHistorySection;
  if (kind == delays::kSubHistoryKind) return delays::kSubHistorySection;
  return 0;
}

Status DelayMgr::StructureRecord(std::int32_t kind, DseMessage** message) {
  *message = nullptr;
  auto* out = new DseMessage(0, DseMessage::kRequest);
  const Status s = WriteHeader(kind, *out);
  if (s != 0) {
    delete out;
    return s;
  }
  *message = out;
  return 0;
}

Status DelayMgr::WriteHeader(std::int32_t kind, BvuBinaryStream& out) {
  if (kind != delays::kHistoryKind && kind != delays::kSubHistoryKind) return delays::kBadSnapshot;
  const bool history = kind == delays::kHistoryKind;
  const std::int32_t names = history ? count_ : (items_ != nullptr ? items_->GetItemCount() : 0);
  // Never truncated into the 16-bit count.
  if (names < 0 || names > delays::kMaxHeaderNames) {
    return RefuseSnapshot("more delayed names than the header can count");
  }
  const DelayHistory& h = history ? history_ : sub_history_;
  Status s = out.PutUInt16(static_cast<std::uint16_t>(names));
  if (s == 0)
    s = out.PutUInt16(static_cast<std::uint16_t>(
        std::min<std::int32_t>(h.HasArray() ? h.Rows() : delays::kRows, UINT16_MAX)));
  for (std::int32_t i = 0; s == 0 && i < names; ++i) {
    DAESVariable* v = history ? variables_[static_cast<std::size_t>(i)] : nullptr;
    const char* name = history ? (v != nullptr ? v->GetNameText() : "") : items_->GetItemName(i);
    s = out.PutString(name != nullptr ? name : "");
  }
  if (s == 0) s = out.PutUInt16(delays::kHeaderEnd);
  return s;
}

Status DelayMgr::MapStructure(std::int32_t kind, DseMessage* message) {
  if (kind != delays::kHistoryKind && kind != delays::kSubHistoryKind) return delays::kBadSnapshot;
  if (message == nullptr) return RefuseSnapshot("no header");
  return ReadHeader(kind, *message);
}

Status DelayMgr::ReadHeader(std::int32_t kind, BvuBinaryStream& in) {
  if (kind != delays::kHistoryKind && kind != delays::kSubHistoryKind) return delays::kBadSnapshot;
  BvuBinaryStream* message = &in;
  std::uint16_t n = 0;
  std::uint16_t rows = 0;
  if (message->GetUInt16(&n) != 0 || message->GetUInt16(&rows) != 0) {
    return RefuseSnapshot("the header is cut short");
  }
  std::vector<std::string> names;
  names.reserve(n);
  for (std::uint16_t i = 0; i < n; ++i) {
    char* text = nullptr;
    if (status::IsFailure(message->GetStringNew(&text))) {
      delete[] text;
      return RefuseSnapshot("a name of the header is cut short");
    }
    names.emplace_back(text != nullptr ? text : "");
    delete[] text;
  }
  std::uint16_t end = 0;
  if (message->GetUInt16(&end) != 0 || end != delays::kHeaderEnd) {
    return RefuseSnapshot("the header lacks its end mark");
  }
  if (rows == 0) return RefuseSnapshot("the header counts no rows");
  // The second history's names are read only to pass over them.
  if (kind == delays::kSubHistoryKind) return 0;
  ReleaseNames();
  saved_names_ = std::move(names);
  saved_rows_ = rows;
  column_map_.assign(saved_names_.size(), 0);
  have_header_ = true;
  return 0;
}

Status DelayMgr::SectionData(std::int32_t kind, const std::uint8_t** data, std::uint32_t* length) {
  *data = nullptr;
  *length = 0;
  const DelayHistory* h = nullptr;
  if (kind == delays::kHistoryKind) {
    if (count_ != 0) h = &history_;
  } else if (kind == delays::kSubHistoryKind) {
    if (count_ != 0 && m_ != 0) h = &sub_history_;
  } else {
    return delays::kBadSnapshot;
  }
  if (h == nullptr) return 0;
  if (!h->HasArray()) return delays::kNoHistory;
  if (const Status s = h->WriteBlock(&block_); s != 0) return s;
  *data = block_.data();
  *length = static_cast<std::uint32_t>(block_.size());
  return 0;
}

Status DelayMgr::RestoreSection(std::int32_t kind, const std::uint8_t* data, std::uint32_t length) {
  DelayHistory* h = nullptr;
  std::int64_t columns = 0;
  if (kind == delays::kHistoryKind) {
    h = &history_;
    columns = count_;
  } else if (kind == delays::kSubHistoryKind) {
    h = &sub_history_;
    columns = static_cast<std::int64_t>(count_) * m_;
  } else {
    return delays::kBadSnapshot;
  }
  if (columns > INT32_MAX) return delays::kNoMemory;
  if (length == 0) return h->Init(static_cast<std::int32_t>(columns));
  // A block for another number of variables would be read past its end.
  std::int32_t rows = 0;
  if (!delays::BlockRows(data, length, columns, delays::kRows, &rows)) {
    return RefuseSnapshot("the block does not fit the delayed variables");
  }
  DelayHistory fresh;
  const Status s = fresh.Init(static_cast<std::int32_t>(columns), std::max(delays::kRows, rows));
  if (s != 0) return s;
  if (fresh.RestoreBlock(data, length, static_cast<std::int32_t>(columns), delays::kRows,
                         nullptr) != 0) {
    return RefuseSnapshot("the block's row indices are damaged");
  }
  *h = std::move(fresh);
  return 0;
}

Status DelayMgr::Ready(std::int32_t kind, std::int32_t* ready) {
  if (kind == delays::kSubHistoryKind) {
    *ready = 0;
    return 0;
  }
  if (kind != delays::kHistoryKind) return delays::kBadSnapshot;
  const std::int32_t saved = static_cast<std::int32_t>(saved_names_.size());
  *ready = saved == count_ ? 1 : 0;
  column_map_.assign(saved_names_.size(), 0);
  std::int32_t from = 0;
  for (std::int32_t i = 0; i < saved; ++i) {
    std::int32_t found = -1;
    // From the previous match on, wrapping once.
    for (std::int32_t step = 0; step < count_ && found < 0; ++step) {
      const std::int32_t j = (from + step) % count_;
      DAESVariable* v = variables_[static_cast<std::size_t>(j)];
      const char* name = v != nullptr ? v->GetNameText() : nullptr;
      if (name != nullptr &&
          strcasecmp(name, saved_names_[static_cast<std::size_t>(i)].c_str()) == 0) {
        found = j;
      }
    }
    // A name not found leaves its column out, so the image is not this one's.
    if (found < 0 || found < from) *ready = 0;
    if (found >= 0) {
      column_map_[static_cast<std::size_t>(i)] = found + 1;
      from = found + 1;
    }
  }
  return 0;
}

Status DelayMgr::ConvertSection(std::int32_t kind, const std::uint8_t* data, std::uint32_t length,
                                const std::uint8_t** converted, std::uint32_t* converted_length) {
  *converted = nullptr;
  *converted_length = 0;
  if (kind == delays::kSubHistoryKind) return 0;
  if (kind != delays::kHistoryKind) return delays::kBadSnapshot;
  std::int32_t rows = delays::kRows;
  if (length != 0) {
    if (!have_header_) return RefuseSnapshot("a block without its header");
    if (!delays::BlockRows(data, length, static_cast<std::int64_t>(saved_names_.size()),
                           saved_rows_, &rows)) {
      return RefuseSnapshot("the block does not fit its header");
    }
  }
  // Built apart, so that a refused block leaves the history as it was.
  DelayHistory fresh;
  const Status s = fresh.Init(count_, std::max(delays::kRows, rows));
  if (s != 0) return s;
  if (length != 0) {
    const Status r = fresh.RestoreBlock(
        data, length, static_cast<std::int32_t>(saved_names_.size()), saved_rows_, &column_map_);
    if (r != 0) return RefuseSnapshot("the block's row indices are damaged");
  }
  history_ = std::move(fresh);
  if (const Status w = history_.WriteBlock(&block_); w != 0) return w;
  *converted = block_.data();
  *converted_length = static_cast<std::uint32_t>(block_.size());
  return 0;
}

Status DelayMgr::RestoreFinished(std::int32_t kind) {
  if (kind == delays::kHistoryKind) ReleaseNames();
  return 0;
}

void DelayMgr::ReleaseNames() {
  saved_names_.clear();
  column_map_.clear();
  saved_rows_ = 0;
  have_header_ = false;
}

Status DelayMgr::AddDelayedVariable(DAESVariable* variable) {
  if (variable == nullptr) return delays::kBadSnapshot;
  if (variables_.size() == variables_.capacity()) variables_.reserve(variables_.size() + 4);
  variables_.push_back(variable);
  count_ = static_cast<std::int32_t>(variables_.size());
  return variable->SetDelayIndex(count_);
}

Status DelayMgr::RecordAll(double t) {
  if (!lags_.empty()) {
    earlier_lags_.swap(last_lags_);
    last_lags_.swap(lags_);
    lags_.clear();
    for (const delays::Lag& l : last_lags_) {
      history_.Reach(l.lag);
      sub_history_.Reach(l.lag);
    }
  }
  for (std::int32_t i = 0; i < count_; ++i) {
    DAESVariable* v = variables_[static_cast<std::size_t>(i)];
    if (v == nullptr) continue;
    const Status s = history_.Record(i + 1, t, v->GetRealValue());
    if (status::IsFailure(s)) return s;
  }
  return 0;
}

void DelayMgr::KeepBeforeJump(double t, std::int32_t order) {
  if (t != 0.0) history_.KeepBeforeJump(t, order);
}

Status DelayMgr::RecordBeforeJump(double t) {
  const Status s = RecordAll(t);
  if (!status::IsFailure(s)) KeepBeforeJump(t);
  return s;
}

Status DelayMgr::RecordBeforeBreak(double t) {
  std::vector<delays::Lag> lags = lags_;
  lags.insert(lags.end(), last_lags_.begin(), last_lags_.end());
  std::int32_t order = 1;
  double rest = 0.0;
  // A restart where no look-up reaches a break (a lag that moved since)
  // is none: carried on, it would restart the run a lag later again.
  const bool crossing = history_.CrossingAt(t, lags, &order, &rest, &earlier_lags_);
  const Status s = RecordAll(t);
  if (!status::IsFailure(s) && t != 0.0 && crossing) history_.KeepBeforeJump(t, order, rest);
  return s;
}

bool DelayMgr::GoesOnAt(double t) const {
  std::vector<delays::Lag> lags = lags_;
  lags.insert(lags.end(), last_lags_.begin(), last_lags_.end());
  std::int32_t order = 1;
  double rest = 0.0;
  // The order counts the derivatives of what integrates the look-up: the
  // delayed value's own is one lower.
  if (!history_.CrossingAt(t, lags, &order, &rest, &earlier_lags_) ||
      order - 1 <= delays::kSmoothestRestart) {
    return false;
  }
  double shortest = HUGE_VAL;
  for (const delays::Lag& l : lags) {
    if (l.lag > 0.0) shortest = std::min(shortest, l.lag);
  }
  // One just half the shortest lag away, as lags on a grid put it, starts
  // again whichever way the times round.
  constexpr double kRounding = 1.0 - 1e-9;
  return t - history_.BreakBefore(t) < kRounding * delays::kCloseBreaks * shortest;
}

void DelayMgr::ForgetVariable(DAESVariable* variable) {
  for (DAESVariable*& v : variables_) {
    if (v == variable) v = nullptr;
  }
}

bool DelayMgr::AnswersTheValueNow(double now) const {
  const std::int32_t mode = GetRunMode();
  return mode == kRunSteadyState || (mode == kRunInitialisation && now == 0.0) ||
         history_.RecordCount() == 0 || IsSuspended();
}

Status DelayMgr::GetDelayedValue(std::int32_t column, double delay, double* value) {
  if (std::isnan(delay)) return delays::kBadTime;
  const double now = GetSimulationTime();
  if (AnswersTheValueNow(now)) return 0;
  if (!InDelayProbe()) NoteLag(column, delay, now);
  const Status s = history_.Lookup(column, now - delay, now, value);
  if (s == delays::kBeforeHistory && history_.Overflowed()) TellOverflow(delay, now);
  return s;
}

void DelayMgr::TellOverflow(double delay, double now) {
  // Said once a history: every later look-up would say it again.
  if (overflow_told_) return;
  overflow_told_ = true;
  char text[480];
  std::snprintf(text, sizeof text,
                "Warning: the delay history keeps its last %d rows, back to time %.9g, but a "
                "delay of %.9g at time %.9g looks back to %.9g: the oldest value kept stands in "
                "for the values before it. Fewer steps within the lag keep it all: take a larger "
                "Integration.MaxStepSize or a looser tolerance",
                history_.RecordCount(), history_.TimeAt(history_.Oldest()), delay, now,
                now - delay);
  SuPrint(0, "%s", text);
}

Status DelayMgr::GetDelayedValueWeight(std::int32_t column, double delay, double* weight) const {
  *weight = 1.0;
  if (std::isnan(delay)) return delays::kBadTime;
  const double now = GetSimulationTime();
  if (AnswersTheValueNow(now)) return 0;
  return history_.CurrentWeight(column, now - delay, now, weight);
}

void DelayMgr::NoteLag(std::int32_t column, double lag, double now) {
  // Enough for every delay of a model; a lag solved for would otherwise
  // fill it with each iterate.
  constexpr std::size_t kMostLags = 256;
  if (!std::isfinite(lag) || lag < 0.0) return;
  for (delays::Lag& l : lags_) {
    if (l.column == column && l.lag == lag) {
      // Seen again later: a lag that does not move.
      l.last = std::max(l.last, now);
      return;
    }
  }
  if (lags_.size() < kMostLags) lags_.push_back({column, lag, now, now});
}

bool DelayMgr::NextJump(double from, double to, double* at) const {
  // Both stretches at once: a lag that moves with time is told by its
  // look-ups at two times.
  std::vector<delays::Lag> lags = lags_;
  lags.insert(lags.end(), last_lags_.begin(), last_lags_.end());
  return history_.NextJump(from, to, lags, at, &earlier_lags_);
}

Status DelayMgr::RecordSubValue(DAESVariable* variable, std::int32_t k, double t, double x) {
  if (variable == nullptr) return delays::kBadSnapshot;
  const std::int64_t column =
      k + 1 + static_cast<std::int64_t>(variable->DelayIndex() - 1) * static_cast<std::int64_t>(m_);
  if (column < 1 || column > sub_history_.Columns()) return delays::kBadSnapshot;
  return sub_history_.Record(static_cast<std::int32_t>(column), t, x);
}

Status DelayMgr::GetSubDelayedValue(DAESVariable* variable, std::int32_t k, double t,
                                    double* value) {
  if (variable == nullptr) return delays::kBadSnapshot;
  const std::int64_t column =
      k + 1 + static_cast<std::int64_t>(variable->DelayIndex() - 1) * static_cast<std::int64_t>(m_);
  if (column < 1 || column > sub_history_.Columns()) return delays::kBadSnapshot;
  return sub_history_.Lookup(static_cast<std::int32_t>(column), t, GetSimulationTime(), value);
}

Status DelayMgr::InitHistory() {
  overflow_told_ = false;
  lags_.clear();
  last_lags_.clear();
  earlier_lags_.clear();
  return history_.Init(count_);
}

Status DelayMgr::InitSubHistory(std::uint32_t m) {
  if (count_ == 0) return 0;
  const std::int64_t columns = static_cast<std::int64_t>(count_) * m;
  if (columns > INT32_MAX) return delays::kNoMemory;
  const Status s = sub_history_.Init(static_cast<std::int32_t>(columns));
  if (s == 0) m_ = m;
  return s;
}

void DelayMgr::Clear() {
  // Variables outlive a problem prepared again: unmarked, they register
  // their delays anew instead of being refused as registered twice.
  for (DAESVariable* v : variables_) {
    if (v != nullptr) v->SetDelayIndex(0);
  }
  variables_.clear();
  count_ = 0;
  overflow_told_ = false;
  lags_.clear();
  last_lags_.clear();
  earlier_lags_.clear();
  history_.Reset();
  sub_history_.Reset();
  ReleaseNames();
}
