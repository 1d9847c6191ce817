// The plot history: for every variable the client asked to plot, its values
// over simulation time, kept compressed in "PlotData.cpd" in the working
// folder (the current folder). A point is stored only when a value leaves
// the straight line through the last stored point by more than the relative
// tolerance; the open pair after the stored points holds that line's slope.
//
// Owned by the results manager; server thread only. Table entries are
// shared with the plot reports: closing the history or removing a variable
// drops the table's hold, and an entry lives on while a report holds it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "control/managers/subsystem_manager.h"
#include "results/plot/plot_file.h"
#include "results/plot/result_model.h"

class BvuBinaryStream;
class SimPlotReport;
class SimProfileReport;

// One recorded variable: the recording state of its line and its last value
// block, as the table and the reports share it.
struct PlotEntry {
  ResultVariable* variable = nullptr;
  std::uint32_t first_block = 0;
  std::uint32_t block_number = 0;  // the last value block
  plot::Block block{};
  double v_last = 0.0;
  double t_start = 0.0;
  double v_start = 0.0;
  double marker = plot::kNoMarker;
  bool flagged = false;
  // Set by the recording for the reports; they clear it.
  bool changed = false;
  bool in_table = false;
};
using PlotEntryRef = std::shared_ptr<PlotEntry>;

class SputPlotHistoryMgr : public QLNSubSystemManager {
 public:
  static constexpr double kResolution = 1e-6;

  explicit SputPlotHistoryMgr(ResultModel* model);
  ~SputPlotHistoryMgr() override;

  // Opens "PlotData.cpd", or makes it when there is none or it cannot be
  // used; an unusable file is renamed to a free "PlotData.cpd.bad" name
  // first. With a file open: restart false flushes it, true reopens it.
  Status Open(bool restart);
  Status AddVariable(ResultVariable* variable);
  // Tolerance (f64), count (u32), then that many id paths.
  Status SetVariables(BvuBinaryStream& message);
  // Count (u32), then that many id paths.
  Status StopVariables(BvuBinaryStream& message);
  Status StopVariable(ResultVariable* variable);
  Status RemoveVariable(ResultVariable* variable);
  void SetTolerance(double tolerance);
  // Records every entry (with a changed list, only its variables') at time
  // t. A value that is not finite is stored as the sentinel for its
  // variable, the others are recorded, and the call answers 81.
  Status RecordValues(double time, const std::vector<ResultVariable*>* changed);
  // Cuts every chain after t; keep_zero keeps a cut at time 0 a cut.
  Status TruncateAt(double time, bool keep_zero);
  Status RewindIfOpen(double time);
  Status Reset();
  Status Close();
  // Closes, copies "PlotData.cpd" to the file (the backup "PlotData.bak"
  // for the results manager) and reopens.
  Status SaveAs(const char* file_name);
  using QLNSubSystemManager::SaveAs;

  // What the subsystem master tells every manager.
  Status AttachProblem(const char* folder, const char* name) override;
  Status DetachProblem(const char* folder, const char* sub_folder) override;

  bool IsOpen() const { return file_ != nullptr; }
  bool Started() const { return file_ != nullptr && file_->header().started != 0; }
  double LastTime() const { return t_last_; }
  double Tolerance() const { return tolerance_; }
  std::size_t EntryCount() const { return table_.size(); }
  // The entry of a variable in the table, or none.
  PlotEntryRef Find(const ResultVariable* variable) const;
  // The plot-data reply of a time plot sampled at the interval (the
  // communication interval), or a profile's reply; 59 when the history is
  // not open, recording has not started or the window holds no sample.
  Status FillReport(SimPlotReport& report, BvuBinaryStream& reply, double interval);
  // A profile filled at its times up to the last recorded time, then its
  // reply; 59 when no profile time is recorded yet.
  Status FillProfile(SimProfileReport& report, BvuBinaryStream& reply);
  // The table's entry of a variable, else a new one outside the table.
  PlotEntryRef EntryFor(ResultVariable* variable);
  // The stored blocks of a chain for readers; 0x8000000B without a file.
  Status ReadBlock(std::uint32_t number, plot::Block* block);
  std::uint32_t BlockLimit() const { return file_ ? file_->header().next_unused : 0; }

 private:
  Status OpenFile();
  Status SetAside(const std::string& reason);
  void LoadDirectory();
  Status LoadEntry(const PlotEntryRef& entry, std::uint32_t first);
  Status ReadVariableList(BvuBinaryStream& message, std::vector<ResultVariable*>* variables);
  std::size_t LowerBound(std::uint32_t id) const;
  Status AppendDirectoryEntry(const std::string& name, std::uint32_t first);

  // Entry block edits.
  Status Advance(PlotEntry& e);
  Status StorePoint(PlotEntry& e, double value, double time);
  static void SetOpenPair(PlotEntry& e, double slope);
  Status WriteEntry(const PlotEntry& e);
  Status RecordEntry(PlotEntry& e, double v, double t, bool changed_only, bool near);
  Status RecordNormal(PlotEntry& e, double v, double t, bool changed_only, bool near);
  Status TruncateEntry(PlotEntry& e, double t);
  Status ResetEntry(PlotEntry& e);
  Status FlushChecked();

  ResultModel* model_;
  std::unique_ptr<plot::PlotHistoryFile> file_;
  std::vector<PlotEntryRef> table_;  // sorted by variable id
  double tolerance_ = plot::kDefaultTolerance;
  double time_step_ = kResolution;
  double t_last_ = 0.0;
  double t_prev_ = 0.0;
  bool prev_changed_only_ = false;
};
