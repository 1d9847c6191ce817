#include "results/plot/plot_report.h"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <numeric>
#include <ostream>

#include "foundation/directory/id_path.h"
#include "framework/messaging/message.h"

namespace {

constexpr Status kNoMemory = 0x80000007u;
constexpr Status kCodeMask = 0xA000FFFFu;

bool ReadReal(BvuBinaryStream& body, double* value) { return body.TryGet8(value) == 1; }

const char* const kDashes = "----------------------------------";

}  // namespace

SimPlotReport::SimPlotReport(DseMessage& request, PlotReportOwner* owner)
    : DseTemplate(request), owner_(owner) {}

SimPlotReport::~SimPlotReport() = default;

Status SimPlotReport::Create(std::uint32_t kind, PlotReportOwner* owner, DseMessage& request,
                             BvuBinaryStream& body, SimPlotReport** out) {
  *out = nullptr;
  std::unique_ptr<SimPlotReport> report;
  switch (kind) {
    case kTimePlot:
      report = std::make_unique<SimTimePlotReport>(request, owner);
      break;
    case kSpecifiedProfile:
      report = std::make_unique<SimSpecifiedProfileReport>(request, owner);
      break;
    case kIntervalProfile:
      report = std::make_unique<SimIntervalProfileReport>(request, owner);
      break;
    default:
      return status::kBadArguments;
  }
  if (status::IsFailure(report->ReadKindFields(body)) ||
      status::IsFailure(report->ReadVariables(body))) {
    return status::kBadArguments;
  }
  report->VariablesRead();
  *out = report.release();
  return status::kOk;
}

// A place whose variable cannot be found stays empty.
Status SimPlotReport::ReadVariables(BvuBinaryStream& body) {
  std::uint32_t count = 0;
  if (status::IsFailure(body.GetUInt32(&run_)) || status::IsFailure(body.GetUInt32(&count)))
    return status::kBadArguments;
  if (count > kMaxCount) return status::kBadArguments;
  for (std::uint32_t i = 0; i < count; ++i) {
    Status result = status::kOk;
    BvuIdPath path(body, &result);
    if (status::IsFailure(result)) return result;
    entries_.push_back(owner_ != nullptr ? owner_->ResolveVariable(path) : nullptr);
  }
  return status::kOk;
}

std::uint32_t SimPlotReport::FoundCount() const {
  return static_cast<std::uint32_t>(std::count_if(
      entries_.begin(), entries_.end(), [](const PlotEntryRef& e) { return e != nullptr; }));
}

void SimPlotReport::ReplaceVariable(std::uint32_t index, PlotEntryRef entry) {
  if (index < entries_.size()) entries_[index] = std::move(entry);
}

Status SimPlotReport::BuildHeader(DseMessage** reply) {
  *reply = nullptr;
  DseMessage* header =
      MakeReply(subtype, message_class, DseMessage::kReply | DseMessage::kTemplateBuilt);
  if (header == nullptr) return kNoMemory;
  Status result = header->PutUInt32(RequestedCount());
  for (const PlotEntryRef& entry : entries_) {
    if (status::IsSuccess(result)) result = header->PutUInt32(entry != nullptr ? kFoundFlag : 0);
  }
  if (status::IsFailure(result)) {
    delete header;
    return result;
  }
  *reply = header;
  return status::kOk;
}

Status SimPlotReport::Fill(DseMessage** reply) {
  *reply = nullptr;
  if (owner_ == nullptr) return status::kOk;
  // The request's flags go back with every fill: a kept request stays
  // pending at its client only while its replies say it is periodic.
  DseMessage* values = MakeReply(subtype, message_class, flags | DseMessage::kReply);
  if (values == nullptr) return kNoMemory;
  const Status result = owner_->FillReport(*this, *values);
  if ((result & kCodeMask) == plot::kNoData || status::IsFailure(result)) {
    delete values;
    return status::IsFailure(result) && (result & kCodeMask) != plot::kNoData ? result
                                                                              : status::kOk;
  }
  *reply = values;
  return status::kOk;
}

void SimPlotReport::Print(std::ostream& out) {
  out << '[' << static_cast<const void*>(this) << "] SimPlotReport - data\n";
  out << "Start Time=" << start_time_ << " Last Time=" << last_time_ << '\n';
  out << "Run #" << run_ << " #vars=" << FoundCount() << " #req vars=" << RequestedCount() << '\n';
  out << kDashes << '\n';
}

SimTimePlotReport::SimTimePlotReport(DseMessage& request, PlotReportOwner* owner)
    : SimPlotReport(request, owner) {}

Status SimTimePlotReport::ReadKindFields(BvuBinaryStream& body) {
  double start = 0.0, end = 0.0;
  if (!ReadReal(body, &start) || !ReadReal(body, &end)) return status::kBadArguments;
  if (std::isnan(start) || std::isnan(end)) return status::kBadArguments;
  start_time_ = start < 0.0 ? 0.0 : start;
  last_time_ = end;
  return status::kOk;
}

// --- profiles ---

void SimProfileReport::GrowTo(std::uint32_t count) {
  if (count <= time_count_) return;
  values_.resize(std::size_t{count} * entries_.size(), 0.0);
  times_.resize(count, 0.0);
  time_count_ = count;
}

// A specified profile has exactly the user's times; an interval profile
// grows as time goes on.
Status SimProfileReport::SetValue(std::uint32_t variable, std::uint32_t time_index, double value) {
  if (variable >= entries_.size() || time_index >= kMaxCount) return status::kBadArguments;
  if (time_index >= time_count_) {
    if (ReportKind() == kSpecifiedProfile) return status::kBadArguments;
    GrowTo(time_index + 1);
  }
  values_[std::size_t{time_index} * entries_.size() + variable] = value;
  if (static_cast<std::int32_t>(time_index) > highest_) {
    highest_ = static_cast<std::int32_t>(time_index);
    times_[time_index] = ProfileTime(time_index);
  }
  return status::kOk;
}

void SimProfileReport::CutTo(std::uint32_t count) {
  if (static_cast<std::int64_t>(count) <= highest_) highest_ = static_cast<std::int32_t>(count) - 1;
}

double SimProfileReport::ValueAt(std::uint32_t variable, std::uint32_t time_index) const {
  if (variable >= entries_.size() || time_index >= time_count_) return 0.0;
  return values_[std::size_t{time_index} * entries_.size() + variable];
}

Status SimProfileReport::WriteBody(BvuBinaryStream& reply) const {
  const auto filled = static_cast<std::uint32_t>(highest_ + 1);
  Status result = reply.PutUInt32(FoundCount());
  if (status::IsSuccess(result)) result = reply.PutUInt24(0);
  if (status::IsSuccess(result)) result = reply.PutUInt32(filled);
  for (std::uint32_t i = 0; i < filled && status::IsSuccess(result); ++i)
    result = reply.PutDouble(times_[i]);
  for (std::uint32_t v = 0; v < entries_.size() && status::IsSuccess(result); ++v) {
    if (entries_[v] == nullptr) continue;
    for (std::uint32_t i = 0; i < filled && status::IsSuccess(result); ++i)
      result = reply.PutDouble(ValueAt(v, i));
  }
  return result;
}

void SimProfileReport::Print(std::ostream& out) {
  SimPlotReport::Print(out);
  out << '[' << static_cast<const void*>(this) << "] SimProfileReport - data\n";
  out << "# profile times " << time_count_ << '\n';
  out << "Profile Buffer:\n";
  for (std::uint32_t i = 0; i < time_count_; ++i) {
    out << "t=" << std::setw(4) << ProfileTime(i) << ": ";
    for (std::uint32_t v = 0; v < entries_.size(); ++v) out << ValueAt(v, i) << "; ";
    out << '\n';
  }
  out << '\n' << kDashes << '\n';
}

SimIntervalProfileReport::SimIntervalProfileReport(DseMessage& request, PlotReportOwner* owner)
    : SimProfileReport(request, owner) {}

Status SimIntervalProfileReport::ReadKindFields(BvuBinaryStream& body) {
  double start = 0.0, interval = 0.0;
  if (!ReadReal(body, &start) || !ReadReal(body, &interval)) return status::kBadArguments;
  if (!std::isfinite(start) || !std::isfinite(interval) || !(interval > 0.0))
    return status::kBadArguments;
  start_time_ = start;
  interval_ = interval;
  return status::kOk;
}

double SimIntervalProfileReport::ProfileTime(std::uint32_t index) const {
  return start_time_ + index * interval_;
}

std::uint32_t SimIntervalProfileReport::TimesUpTo(double t) const {
  const double n = std::floor((t - start_time_) / interval_) + 1.0;
  if (!(n > 0.0)) return 0;
  return n >= kMaxCount ? kMaxCount : static_cast<std::uint32_t>(n);
}

SimSpecifiedProfileReport::SimSpecifiedProfileReport(DseMessage& request, PlotReportOwner* owner)
    : SimProfileReport(request, owner) {}

// The times are kept in the user's order; the map puts them in ascending
// order, so profile time i is the i-th earliest.
Status SimSpecifiedProfileReport::ReadKindFields(BvuBinaryStream& body) {
  std::uint32_t count = 0;
  if (status::IsFailure(body.GetUInt32(&count)) || count > kMaxCount) return status::kBadArguments;
  for (std::uint32_t i = 0; i < count; ++i) {
    double t = 0.0;
    if (!ReadReal(body, &t) || std::isnan(t)) return status::kBadArguments;
    requested_.push_back(t);
  }
  map_.resize(count);
  std::iota(map_.begin(), map_.end(), 0u);
  std::stable_sort(map_.begin(), map_.end(), [this](std::uint32_t a, std::uint32_t b) {
    return requested_[a] < requested_[b];
  });
  return status::kOk;
}

double SimSpecifiedProfileReport::ProfileTime(std::uint32_t index) const {
  return index < map_.size() ? requested_[map_[index]] : 0.0;
}

std::uint32_t SimSpecifiedProfileReport::TimesUpTo(double t) const {
  std::uint32_t n = 0;
  while (n < map_.size() && ProfileTime(n) <= t) ++n;
  return n;
}

void SimSpecifiedProfileReport::Print(std::ostream& out) {
  SimProfileReport::Print(out);
  out << '[' << static_cast<const void*>(this) << "] SimSpecifiedProfileReport - data\n";
  out << "Requested times (user order):";
  for (double t : requested_) out << t << "; ";
  out << "\nProfile map:";
  for (std::uint32_t i : map_) out << i << "; ";
  out << '\n' << kDashes << '\n';
}
