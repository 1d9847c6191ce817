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

Status WriteSamples(const Line& line, double first, double last, double interval, double tol,
                    std::uint32_t count, BvuBinaryStream& reply) {
  const auto& k = line.knots;
  Status result = status::kOk;
  std::size_t j = 0, jump = 0;
  for (std::uint32_t i = 0; i < count && status::IsSuccess(result); ++i) {
    const double s = first + i * interval;
    double v = kNonFinite;
    if (!k.empty()) {
      result = WriteJumps(line, &jump, first - tol, s + tol, reply);
      while (j + 1 < k.size() && k[j + 1].t <= s + tol) ++j;
      if (s + tol < k[0].t) {
        v = k[0].v;
      } else if (j + 1 < k.size()) {
        v = k[j].v + (k[j + 1].v - k[j].v) * (s - k[j].t) / (k[j + 1].t - k[j].t);
      } else {
        v = k[j].v + line.slope * (s - k[j].t);
      }
    }
    if (status::IsSuccess(result)) result = reply.PutDouble(Finite(v));
  }
  if (status::IsSuccess(result)) result = WriteJumps(line, &jump, first - tol, last + tol, reply);
  return result;
}

}  // namespace

PlotEntryRef SputPlotHistoryMgr::EntryFor(ResultVariable* variable) {
  if (variable == nullptr) return nullptr;
  if (PlotEntryRef entry = Find(variable)) return entry;
  auto entry = std::make_shared<PlotEntry>();
  entry->variable = variable;
  return entry;
}

Status SputPlotHistoryMgr::FillReport(SimPlotReport& report, BvuBinaryStream& reply,
                                      double interval) {
  if (report.IsProfile()) return static_cast<SimProfileReport&>(report).WriteBody(reply);
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
    // A chain that cannot be read gives no points rather than a wrong line.
    if (entry->first_block == 0 || status::IsFailure(ReadLine(*this, entry->first_block, &line)))
      line.knots.clear();
    result = WriteSamples(line, first, last, interval, tol, count, reply);
  }
  return result;
}
