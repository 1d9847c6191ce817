// The plot-data reply: each variable's stored points read back from its
// chain and sampled over the report's window (see plot_report.h for the
// bytes).
#include <cmath>
#include <limits>

#include "foundation/persistence/binary_stream.h"
#include "results/plot/plot_history_mgr.h"
#include "results/plot/plot_report.h"

using namespace plot;

namespace {

constexpr double kMaxValues = 1 << 24;

struct Knot {
  double t;
  double v;
};

// The stored points in order; a restart adds the old line's end at the
// restart time, so that it reads as a jump. `slope` holds after the last.
struct Line {
  std::vector<Knot> knots;
  double slope = 0.0;
};

double Finite(double x) { return std::isfinite(x) ? x : kNonFinite; }

Status ReadLine(SputPlotHistoryMgr& mgr, std::uint32_t first, Line* line) {
  Block b;
  double slope = 0.0;
  bool restart = false;
  std::uint32_t n = first;
  for (std::uint32_t steps = 0; n != 0; ++steps) {
    if (steps >= mgr.BlockLimit()) return kIoFailed;
    const Status result = mgr.ReadBlock(n, &b);
    if (status::IsFailure(result)) return result;
    if (KindOf(b) != kValueKind || OwnNumber(b) != n) return kIoFailed;
    const bool last = NextLink(b) == 0;
    const std::uint32_t end = last ? LastUsed(b) + 1u : kPairCount;
    for (std::uint32_t i = 0; i < end && i < kPairCount; ++i) {
      const double time = PairTime(b, i);
      // The last slot of a chain holds the open or stop pair, or nothing.
      if (last && i == LastUsed(b) && time != kOpenTime && time != kStopTime) break;
      if (time == kOpenTime) {
        slope = std::isfinite(PairValue(b, i)) ? PairValue(b, i) : 0.0;
        if (!(last && i == LastUsed(b))) restart = true;
        continue;
      }
      if (time == kStopTime) {
        slope = 0.0;
        continue;
      }
      if (!(time >= 0.0) || !std::isfinite(time)) continue;
      if (restart && !line->knots.empty() && time > line->knots.back().t) {
        const Knot k = line->knots.back();
        line->knots.push_back({time, Finite(k.v + slope * (time - k.t))});
      }
      restart = false;
      line->knots.push_back({time, Finite(PairValue(b, i))});
    }
    n = NextLink(b);
  }
  line->slope = slope;
  return status::kOk;
}

// Writes the jumps (two knots at one time) at or before `until`, from the
// window's start on.
Status WriteJumps(const Line& line, std::size_t* at, double from, double until,
                  BvuBinaryStream& reply) {
  Status result = status::kOk;
  const auto& k = line.knots;
  while (*at + 1 < k.size() && k[*at].t <= until && status::IsSuccess(result)) {
    if (k[*at + 1].t == k[*at].t && k[*at].t >= from) {
      result = reply.PutDouble(kJumpEscape);
      if (status::IsSuccess(result)) result = reply.PutDouble(k[*at].t);
      if (status::IsSuccess(result)) result = reply.PutDouble(k[*at].v);
      if (status::IsSuccess(result)) result = reply.PutDouble(k[*at + 1].v);
    }
    ++*at;
  }
  return result;
}

// The line's value at s, for times s that do not fall; *j is the knot
// reached, 0 before the first call. At a jump the value after it.
double ValueOn(const Line& line, double s, double tol, std::size_t* j) {
  const auto& k = line.knots;
  if (k.empty()) return kNonFinite;
  while (*j + 1 < k.size() && k[*j + 1].t <= s + tol) ++*j;
  const Knot& a = k[*j];
  if (s + tol < k[0].t) return Finite(k[0].v);
  if (*j + 1 < k.size()) {
    const Knot& b = k[*j + 1];
    return Finite(a.v + (b.v - a.v) * (s - a.t) / (b.t - a.t));
  }
  return Finite(a.v + line.slope * (s - a.t));
}

Status WriteSamples(const Line& line, double first, double last, double interval, double tol,
                    std::uint32_t count, BvuBinaryStream& reply) {
  Status result = status::kOk;
  std::size_t j = 0, jump = 0;
  for (std::uint32_t i = 0; i < count && status::IsSuccess(result); ++i) {
    const double s = first + i * interval;
    if (!line.knots.empty()) result = WriteJumps(line, &jump, first - tol, s + tol, reply);
    if (status::IsSuccess(result)) result = reply.PutDouble(ValueOn(line, s, tol, &j));
  }
  if (status::IsSuccess(result)) result = WriteJumps(line, &jump, first - tol, last + tol, reply);
  return result;
}

// The stored points of a report's variable. A report made before its
// variable was recorded holds an entry of its own: the table's is read.
void ReadLineOf(SputPlotHistoryMgr& mgr, const PlotEntry& held, Line* line) {
  std::uint32_t first = held.first_block;
  if (first == 0 && !held.in_table)
    if (PlotEntryRef recorded = mgr.Find(held.variable)) first = recorded->first_block;
  // A chain that cannot be read gives no points rather than a wrong line.
  if (first == 0 || status::IsFailure(ReadLine(mgr, first, line))) line->knots.clear();
}

}  // namespace

PlotEntryRef SputPlotHistoryMgr::EntryFor(ResultVariable* variable) {
  if (variable == nullptr) return nullptr;
  if (PlotEntryRef entry = Find(variable)) return entry;
  auto entry = std::make_shared<PlotEntry>();
  entry->variable = variable;
  return entry;
}

// A profile takes each variable's value at its profile times up to the last
// recorded time from the stored points, as a time plot samples them.
Status SputPlotHistoryMgr::FillProfile(SimProfileReport& report, BvuBinaryStream& reply) {
  if (file_ == nullptr || !Started()) return kNoData;
  const double tol = report.TimeTolerance();
  const std::uint32_t count = report.TimesUpTo(t_last_ + tol);
  // A reply never lists a time past the plot history's end.
  report.CutTo(count);
  if (count == 0 || report.FoundCount() == 0) return kNoData;
  // The buffer holds a place for every requested variable.
  if (static_cast<double>(count) * report.RequestedCount() > kMaxValues)
    return status::kBadArguments;
  for (std::uint32_t v = 0; v < report.RequestedCount(); ++v) {
    const PlotEntryRef& entry = report.VariableAt(v);
    if (entry == nullptr) continue;
    Line line;
    ReadLineOf(*this, *entry, &line);
    std::size_t j = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
      const Status set = report.SetValue(v, i, ValueOn(line, report.ProfileTime(i), tol, &j));
      if (status::IsFailure(set)) return set;
    }
  }
  return report.WriteBody(reply);
}

Status SputPlotHistoryMgr::FillReport(SimPlotReport& report, BvuBinaryStream& reply,
                                      double interval) {
  if (report.IsProfile()) return FillProfile(static_cast<SimProfileReport&>(report), reply);
  if (file_ == nullptr || !Started()) return kNoData;
  if (!(interval > 0.0) || !std::isfinite(interval)) return kNoData;
  const double first = report.StartTime();
  double last = report.LastTime();
  if (last < 0.0 || last > t_last_) last = t_last_;
  const double tol = interval > 1e-9 ? 1e-4 * interval : 1e-9;
  if (!(last >= first - tol)) return kNoData;
  const double samples = std::floor((last - first + tol) / interval) + 1.0;
  if (!(samples >= 1.0)) return kNoData;
  // A reply is held in memory whole: its size is bounded.
  if (samples > SimPlotReport::kMaxCount || samples * report.FoundCount() > kMaxValues)
    return status::kBadArguments;
  const auto count = static_cast<std::uint32_t>(samples);
  Status result = reply.PutUInt32(report.FoundCount());
  if (status::IsSuccess(result)) result = reply.PutUInt24(0);
  if (status::IsSuccess(result)) result = reply.PutUInt32(count);
  if (status::IsSuccess(result)) result = reply.PutDouble(first);
  if (status::IsSuccess(result)) result = reply.PutDouble(last);
  if (status::IsSuccess(result)) result = reply.PutDouble(interval);
  for (std::uint32_t v = 0; v < report.RequestedCount() && status::IsSuccess(result); ++v) {
    const PlotEntryRef& entry = report.VariableAt(v);
    if (entry == nullptr) continue;
    Line line;
    ReadLineOf(*this, *entry, &line);
    result = WriteSamples(line, first, last, interval, tol, count, reply);
  }
  return result;
}
