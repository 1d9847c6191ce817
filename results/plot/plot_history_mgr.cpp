// Opening, the table, and the operations that add, stop and remove
// variables; recording and truncation are in plot_recording.cpp.
#include "results/plot/plot_history_mgr.h"

#include <algorithm>
#include <cmath>

#include "foundation/directory/id_path.h"
#include "foundation/files/file_utilities.h"
#include "foundation/messages/su_print.h"
#include "foundation/persistence/binary_stream.h"
#include "platform/posix_file.h"

using namespace plot;

namespace {

double FiniteOrZero(double x) { return std::isfinite(x) ? x : 0.0; }

}  // namespace

SputPlotHistoryMgr::SputPlotHistoryMgr(ResultModel* model) : model_(model) {}

SputPlotHistoryMgr::~SputPlotHistoryMgr() {
  if (file_ != nullptr) Close();
}

Status SputPlotHistoryMgr::AttachProblem(const char*, const char*) {
  t_last_ = t_prev_ = 0.0;
  time_step_ = kResolution;
  return status::kOk;
}

Status SputPlotHistoryMgr::DetachProblem(const char*, const char*) {
  return file_ != nullptr ? Close() : status::kOk;
}

Status SputPlotHistoryMgr::FlushChecked() {
  // The file layer has run the disk-full check on a failed write.
  return file_ != nullptr ? file_->Flush() : kNotOpen;
}

Status SputPlotHistoryMgr::Open(bool restart) {
  if (file_ != nullptr) {
    if (!restart) return FlushChecked();
    Close();
  }
  const Status result = OpenFile();
  if (status::IsFailure(result)) {
    SuPrint(0, "Cannot open %s for write", kFileName);
    file_.reset();
    return result;
  }
  if (file_->header().tolerance != tolerance_) {
    file_->header().tolerance = tolerance_;
    file_->MarkHeaderChanged();
  }
  LoadDirectory();
  t_last_ = t_prev_ = FiniteOrZero(file_->header().last_time);
  prev_changed_only_ = false;
  return FlushChecked();
}

Status SputPlotHistoryMgr::OpenFile() {
  if (platform::PathExists(kFileName)) {
    std::string unusable;
    const Status result = PlotHistoryFile::OpenExisting(kFileName, &file_, &unusable);
    if (file_ != nullptr) return status::kOk;
    if (unusable.empty()) return result;  // could not be opened at all: left alone
    const Status aside = SetAside(unusable);
    if (status::IsFailure(aside)) return aside;
  }
  return PlotHistoryFile::Create(kFileName, tolerance_, &file_);
}

// The user's history is never overwritten: an unusable file moves to the
// first free "PlotData.cpd.bad", "PlotData.cpd.bad1", ... name.
Status SputPlotHistoryMgr::SetAside(const std::string& reason) {
  for (int n = 0; n < 1000; ++n) {
    const std::string target = n == 0 ? kSetAsideName : kSetAsideName + std::to_string(n);
    if (platform::PathExists(target.c_str())) continue;
    int error = 0;
    if (platform::RenameFileNoReplace(kFileName, target.c_str(), &error)) {
      platform::SyncFolderOf(target.c_str(), &error);
      SuPrint(0, "%s was %s; it was set aside as %s", kFileName, reason.c_str(), target.c_str());
      return status::kOk;
    }
    if (error != EEXIST) break;
  }
  return kIoFailed;
}

void SputPlotHistoryMgr::LoadDirectory() {
  for (const DirectoryEntry& d : file_->OpenedDirectory()) {
    if (d.first_value_block == 0 || model_ == nullptr) continue;
    ResultVariable* variable = model_->FindVariable(d.name.c_str(), false);
    if (variable == nullptr && d.name.size() == kNameSize - 1)
      variable = model_->FindVariable(d.name.c_str(), true);
    if (variable == nullptr) continue;
    PlotEntryRef entry = Find(variable);
    if (entry == nullptr) {
      entry = std::make_shared<PlotEntry>();
      entry->variable = variable;
      entry->in_table = true;
      table_.insert(table_.begin() + LowerBound(variable->Id()), entry);
    }
    // A later directory entry of the same name wins: it was added last.
    if (status::IsFailure(LoadEntry(entry, d.first_value_block))) continue;
    // The value last recorded is the file's, on its line at the last time:
    // the model may have changed since, and the next point stored is this
    // one.
    double value = 0.0;
    const std::uint16_t state = StateOf(entry->block);
    if (state == kNormal || state == kOnePoint || state == kRestartStored) {
      double slope = PairValue(entry->block, LastUsed(entry->block));
      if (state != kNormal || !std::isfinite(slope)) slope = 0.0;
      const double last = FiniteOrZero(file_->header().last_time);
      entry->v_last = entry->v_start + slope * (last - entry->t_start);
    } else if (status::IsSuccess(variable->GetValue(&value))) {
      entry->v_last = value;
    }
  }
}

// The last block of the chain and the last stored point as segment start.
Status SputPlotHistoryMgr::LoadEntry(const PlotEntryRef& entry, std::uint32_t first) {
  Block block;
  std::uint32_t n = first;
  bool found = false;
  for (std::uint32_t steps = 0; steps < BlockLimit(); ++steps) {
    const Status result = file_->ReadBlock(n, &block);
    if (status::IsFailure(result)) return result;
    const bool last = NextLink(block) == 0;
    const std::uint32_t end = last ? LastUsed(block) : kPairCount;
    for (std::uint32_t i = 0; i < end && i < kPairCount; ++i) {
      if (PairTime(block, i) >= 0.0) {
        entry->t_start = FiniteOrZero(PairTime(block, i));
        entry->v_start = FiniteOrZero(PairValue(block, i));
        found = true;
      }
    }
    if (last) {
      entry->first_block = first;
      entry->block_number = n;
      entry->block = block;
      if (!found) entry->t_start = entry->v_start = 0.0;
      return status::kOk;
    }
    n = NextLink(block);
  }
  return kIoFailed;
}

std::size_t SputPlotHistoryMgr::LowerBound(std::uint32_t id) const {
  return static_cast<std::size_t>(std::lower_bound(table_.begin(), table_.end(), id,
                                                   [](const PlotEntryRef& e, std::uint32_t key) {
                                                     return e->variable->Id() < key;
                                                   }) -
                                  table_.begin());
}

PlotEntryRef SputPlotHistoryMgr::Find(const ResultVariable* variable) const {
  if (variable == nullptr) return nullptr;
  const std::size_t at = LowerBound(variable->Id());
  if (at < table_.size() && table_[at]->variable->Id() == variable->Id()) return table_[at];
  return nullptr;
}

Status SputPlotHistoryMgr::ReadBlock(std::uint32_t number, Block* block) {
  return file_ != nullptr ? file_->ReadBlock(number, block) : kNotOpen;
}

Status SputPlotHistoryMgr::WriteEntry(const PlotEntry& e) { return file_->WriteBlock(e.block); }

Status SputPlotHistoryMgr::AddVariable(ResultVariable* variable) {
  if (file_ == nullptr) return kNotOpen;
  if (variable == nullptr) return status::kBadArguments;
  if (PlotEntryRef entry = Find(variable)) {
    // A line that has a point restarts; one without a point or stopped
    // has nothing to restart.
    const std::uint16_t state = StateOf(entry->block);
    if (state == kStopped || state == kCreated) return status::kOk;
    SetState(&entry->block, kReAdded);
    return WriteEntry(*entry);
  }
  Status result = status::kOk;
  const std::uint32_t n = file_->AllocateBlock(&result);
  if (n == 0) return result;
  auto entry = std::make_shared<PlotEntry>();
  entry->variable = variable;
  entry->first_block = entry->block_number = n;
  entry->block = NewBlock(n, kValueKind);
  double value = 0.0;
  variable->GetValue(&value);
  if (!std::isfinite(value)) value = kNonFinite;
  entry->v_last = value;
  if (Started()) {
    SetPair(&entry->block, 0, value, t_last_);
    SetPair(&entry->block, 1, 0.0, kOpenTime);
    SetLastUsed(&entry->block, 1);
    SetState(&entry->block, kOnePoint);
    entry->t_start = t_last_;
    entry->v_start = value;
  } else {
    SetState(&entry->block, kCreated);
  }
  result = WriteEntry(*entry);
  if (status::IsFailure(result)) return result;
  result = AppendDirectoryEntry(variable->FullName(), n);
  if (status::IsFailure(result)) return result;
  entry->in_table = true;
  table_.insert(table_.begin() + LowerBound(variable->Id()), entry);
  return FlushChecked();
}

// The value block is written before the directory names it, and a new
// directory block before the link to it.
Status SputPlotHistoryMgr::AppendDirectoryEntry(const std::string& name, std::uint32_t first) {
  Block& current = file_->directory();
  Status result = status::kOk;
  if (FirstValueBlock(current) == 0) {
    SetFirstValueBlock(&current, first);
    SetName(&current, name);
    result = file_->WriteCurrentBlock();
  } else {
    const std::uint32_t m = file_->AllocateBlock(&result);
    if (m == 0) return result;
    Block next = NewBlock(m, kDirectoryKind);
    SetFirstValueBlock(&next, first);
    SetName(&next, name);
    result = file_->WriteBlock(next);
    if (status::IsFailure(result)) return result;
    SetNextLink(&current, m);
    result = file_->WriteCurrentBlock();
    if (status::IsFailure(result)) return result;
    file_->SetCurrentDirectory(next);
  }
  if (status::IsFailure(result)) return result;
  Header& header = file_->header();
  ++header.entry_count;
  if (header.first_directory == 0) header.first_directory = OwnNumber(current);
  file_->MarkHeaderChanged();
  return status::kOk;
}

Status SputPlotHistoryMgr::ReadVariableList(BvuBinaryStream& message,
                                            std::vector<ResultVariable*>* variables) {
  std::uint32_t count = 0;
  Status result = message.GetUInt32(&count);
  if (status::IsFailure(result)) return result;
  for (std::uint32_t i = 0; i < count; ++i) {
    BvuIdPath path(message, &result);
    if (status::IsFailure(result)) return result;
    variables->push_back(model_ != nullptr ? model_->ResolveIdPath(path) : nullptr);
  }
  return status::kOk;
}

Status SputPlotHistoryMgr::SetVariables(BvuBinaryStream& message) {
  double tolerance = 0.0;
  if (message.TryGet8(&tolerance) != 1) return status::kUnhandled;
  if (std::isfinite(tolerance) && tolerance >= 0.0) SetTolerance(tolerance);
  std::vector<ResultVariable*> variables;
  Status result = ReadVariableList(message, &variables);
  if (status::IsFailure(result)) return result;
  for (ResultVariable* variable : variables) {
    if (variable == nullptr) continue;
    result = AddVariable(variable);
    if (status::IsFailure(result)) return result;
  }
  return FlushChecked();
}

Status SputPlotHistoryMgr::StopVariables(BvuBinaryStream& message) {
  std::vector<ResultVariable*> variables;
  Status result = ReadVariableList(message, &variables);
  if (status::IsFailure(result)) return result;
  Status last = status::kOk;
  for (ResultVariable* variable : variables) {
    result = StopVariable(variable);
    if (status::IsFailure(result)) last = result;
  }
  return last;
}

Status SputPlotHistoryMgr::StopVariable(ResultVariable* variable) {
  if (file_ == nullptr) return kNotOpen;
  PlotEntryRef entry = Find(variable);
  if (entry == nullptr) return kNotFound;
  PlotEntry& e = *entry;
  if (StateOf(e.block) == kStopped) return status::kOk;
  // A variable without a value (it is going) ends at its last one.
  double value = e.v_last;
  if (status::IsSuccess(variable->GetValue(&value)) && !std::isfinite(value)) value = kNonFinite;
  Status result = StorePoint(e, value, t_last_);
  if (status::IsFailure(result)) return result;
  SetPair(&e.block, LastUsed(e.block), 0.0, kStopTime);
  SetState(&e.block, kStopped);
  return WriteEntry(e);
}

Status SputPlotHistoryMgr::RemoveVariable(ResultVariable* variable) {
  const PlotEntryRef entry = Find(variable);
  if (entry == nullptr) return status::kGeneralFailure;
  table_.erase(table_.begin() + LowerBound(variable->Id()));
  entry->in_table = false;
  return status::kOk;
}

void SputPlotHistoryMgr::SetTolerance(double tolerance) {
  tolerance_ = tolerance;
  if (file_ != nullptr && file_->header().tolerance != tolerance) {
    file_->header().tolerance = tolerance;
    file_->MarkHeaderChanged();
  }
}

Status SputPlotHistoryMgr::Close() {
  if (file_ == nullptr) return kNotOpen;
  Status result = status::kOk;
  if (file_->header().last_time != t_last_) {
    file_->header().last_time = t_last_;
    file_->MarkHeaderChanged();
  }
  for (const PlotEntryRef& entry : table_) {
    const Status written = WriteEntry(*entry);
    if (status::IsFailure(written)) result = written;
  }
  const Status flushed = FlushChecked();
  if (status::IsSuccess(result)) result = flushed;
  file_.reset();
  t_last_ = t_prev_ = 0.0;
  time_step_ = kResolution;
  for (const PlotEntryRef& entry : table_) {
    entry->changed = false;
    entry->in_table = false;
  }
  table_.clear();
  return result;
}

Status SputPlotHistoryMgr::SaveAs(const char* file_name) {
  if (file_name == nullptr || *file_name == '\0') return status::kBadArguments;
  if (file_ != nullptr) Close();
  int error = 0;
  // The copy is the run folder's back-up: no link there is followed.
  Status result = CopyOverName(kFileName, file_name, &error);
  if (status::IsFailure(result)) {
    CheckDiskFull(kFileName, file_name, error);
    result = kIoFailed;
  }
  const Status reopened = Open(false);
  return status::IsFailure(result) ? result : reopened;
}
