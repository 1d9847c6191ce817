// Client plots as reports: a kept request (DseTemplate) that answers each
// round with the values of its variables. A time plot answers with their
// histories over a window, sampled from the plot history; a profile answers
// with every variable's value at a set of profile times, at even intervals
// or at times the user gave.
//
// The controller owns a report once registered; the owner (the results
// manager) outlives it. A report shares its variables' entries with the
// plot-history table; each held entry is one reference.
//
// Plot-data reply body (decoded by the client):
//   u32 variables found, u24 reserved (0), u32 samples,
//   f64 first sample time, f64 last time of the window, f64 interval,
//   then per found variable, in request order, one f64 per sample at
//   first time + i x interval, linearly interpolated between stored points;
//   a jump (two values at one time inside the window) is written where it
//   falls among the samples as f64 2.999999950695069e28, then its time, the
//   value before and the value after. A variable without any stored point
//   writes 9.99999944211969e27 per sample. Before its first stored point a
//   variable holds that point's value. More than 2^20 samples, or 2^24
//   samples of all variables together, are refused with 0x8000020F.
// Profile reply body:
//   u32 variables found, u24 reserved (0), u32 profile times filled, the
//   times (f64), then per found variable per time one f64.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <vector>

#include "framework/messaging/template.h"
#include "results/plot/plot_history_mgr.h"

class BvuBinaryStream;
class DseMessage;
class SimPlotReport;

// What a report needs of the manager it serves.
class PlotReportOwner {
 public:
  // The plot-history entry of the variable at the path (the table's when it
  // is recorded, else one of its own), or none when it cannot be found.
  virtual PlotEntryRef ResolveVariable(const BvuIdPath& path) = 0;
  // Writes the reply body; 59 (under 0xA000FFFF) when there is nothing to
  // send.
  virtual Status FillReport(SimPlotReport& report, BvuBinaryStream& reply) = 0;

 protected:
  ~PlotReportOwner() = default;
};

class SimPlotReport : public DseTemplate {
 public:
  enum Kind : std::uint32_t { kTimePlot = 0, kSpecifiedProfile = 1, kIntervalProfile = 2 };
  static constexpr std::uint32_t kFoundFlag = 24;
  // More variables or profile times than this are refused.
  static constexpr std::uint32_t kMaxCount = 1u << 20;

  // Kind 0, 1 or 2 from the request: the kind's own fields, then the run
  // number (u32), the requested count (u32) and that many id paths. Time
  // plot: start (f64, clamped at 0), end of window (f64). Specified profile:
  // count (u32), the times (f64). Interval profile: start (f64), interval
  // (f64, above 0). `body` is where the request's body is read from (the
  // request itself when it came off the wire). Another kind makes nothing
  // and answers 0x8000020F, as does a body that ends early.
  static Status Create(std::uint32_t kind, PlotReportOwner* owner, DseMessage& request,
                       BvuBinaryStream& body, SimPlotReport** out);
  ~SimPlotReport() override;

  // The variable-flag reply: the requested count, then per requested
  // variable u32 24 when found, else 0.
  Status BuildHeader(DseMessage** reply) override;
  // The owner fills the reply; nothing to send leaves *reply null.
  Status Fill(DseMessage** reply) override;
  // The debug print, line by line.
  void Print(std::ostream& out) override;
  virtual std::uint32_t ReportKind() const { return kTimePlot; }
  bool IsProfile() const { return ReportKind() != kTimePlot; }

  // Accessors.
  double StartTime() const { return start_time_; }
  double LastTime() const { return last_time_; }
  void SetStartTime(double time) { start_time_ = time; }
  void SetLastTime(double time) { last_time_ = time; }
  std::uint32_t RunNumber() const { return run_; }
  std::uint32_t RequestedCount() const { return static_cast<std::uint32_t>(entries_.size()); }
  std::uint32_t FoundCount() const;
  // Null for a place whose variable was not found.
  const PlotEntryRef& VariableAt(std::uint32_t index) const { return entries_.at(index); }
  void ReplaceVariable(std::uint32_t index, PlotEntryRef entry);

 protected:
  SimPlotReport(DseMessage& request, PlotReportOwner* owner);
  virtual Status ReadKindFields(BvuBinaryStream& body) = 0;
  Status ReadVariables(BvuBinaryStream& body);
  // Called once the variables are read.
  virtual void VariablesRead() {}

  PlotReportOwner* owner_;
  double start_time_ = 0.0;
  double last_time_ = 0.0;
  std::uint32_t run_ = 0;
  std::vector<PlotEntryRef> entries_;
};

class SimTimePlotReport : public SimPlotReport {
 public:
  explicit SimTimePlotReport(DseMessage& request, PlotReportOwner* owner);
  std::uint32_t Mode() const { return mode_; }

 protected:
  Status ReadKindFields(BvuBinaryStream& body) override;

 private:
  std::uint32_t mode_ = 1;
};

class SimProfileReport : public SimPlotReport {
 public:
  // Stores the value of the variable at a place and time index; an index
  // past the highest filled one advances it and records that time.
  Status SetValue(std::uint32_t variable, std::uint32_t time_index, double value);
  std::uint32_t ProfileTimeCount() const { return time_count_; }
  virtual double ProfileTime(std::uint32_t index) const = 0;
  // How many profile times lie at or before t.
  virtual std::uint32_t TimesUpTo(double t) const = 0;
  // The slack of a time compared with a profile time.
  virtual double TimeTolerance() const = 0;
  std::int32_t HighestFilled() const { return highest_; }
  // Keeps at most `count` filled times: the plot history was cut or emptied
  // (a restore, a steady state), and the times after its end went with it.
  void CutTo(std::uint32_t count);
  double ValueAt(std::uint32_t variable, std::uint32_t time_index) const;
  // The profile reply body.
  Status WriteBody(BvuBinaryStream& reply) const;
  void Print(std::ostream& out) override;

 protected:
  using SimPlotReport::SimPlotReport;
  // Grows the buffers to hold this many times.
  void GrowTo(std::uint32_t count);

  std::uint32_t time_count_ = 0;
  std::vector<double> times_;  // recorded as filled
  // Time-major (time index x variables + variable), so that growing appends.
  std::vector<double> values_;
  std::int32_t highest_ = -1;
};

class SimIntervalProfileReport : public SimProfileReport {
 public:
  explicit SimIntervalProfileReport(DseMessage& request, PlotReportOwner* owner);
  std::uint32_t ReportKind() const override { return kIntervalProfile; }
  double ProfileTime(std::uint32_t index) const override;
  double Interval() const { return interval_; }
  // How many profile times lie at or before t: floor((t - start) /
  // interval) + 1, at least 0.
  std::uint32_t TimesUpTo(double t) const override;
  double TimeTolerance() const override { return interval_ > 1e-9 ? 1e-4 * interval_ : 1e-9; }

 protected:
  Status ReadKindFields(BvuBinaryStream& body) override;

 private:
  double interval_ = 0.0;
};

class SimSpecifiedProfileReport : public SimProfileReport {
 public:
  explicit SimSpecifiedProfileReport(DseMessage& request, PlotReportOwner* owner);
  std::uint32_t ReportKind() const override { return kSpecifiedProfile; }
  // The i-th time in ascending order.
  double ProfileTime(std::uint32_t index) const override;
  std::uint32_t TimesUpTo(double t) const override;
  double TimeTolerance() const override { return 1e-9; }
  void Print(std::ostream& out) override;

 protected:
  Status ReadKindFields(BvuBinaryStream& body) override;
  void VariablesRead() override { GrowTo(static_cast<std::uint32_t>(requested_.size())); }

 private:
  std::vector<double> requested_;   // the user's order
  std::vector<std::uint32_t> map_;  // sorted position -> user position
};
