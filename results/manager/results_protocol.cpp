// The results manager's commands and numbered requests of services 55 and
// 65 that need no use manager: restores, snapshot requests, keeping,
// deleting, exporting and compacting snapshots, the plot history's
// variables and reports, and the store's settings.
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "framework/messaging/message.h"
#include "platform/posix_file.h"
#include "results/manager/results_mgr.h"
#include "results/plot/plot_report.h"

namespace {

constexpr Status kNoSuchCommand = 0x8000FFFFu;
constexpr Status kNotSupported = 0xA000FFFFu;
constexpr Status kRestoreFailed = 0x40000048u;
constexpr std::uint32_t kLastCommand = 153;
constexpr const char* kPlotFile = "PlotData.cpd";
constexpr const char* kSnapshotFile = "snapshot.snp";

// Reports read the plot history through the manager's finder, sampled at
// the communication interval.
class ReportOwner final : public PlotReportOwner {
 public:
  ReportOwner(SputPlotHistoryMgr* plot, SimResultsFinder* finder, double interval)
      : plot_(plot), finder_(finder), interval_(interval) {}
  PlotEntryRef ResolveVariable(const BvuIdPath& path) override {
    ResultVariable* variable = finder_->ResolveIdPath(path);
    return variable != nullptr ? plot_->EntryFor(variable) : PlotEntryRef();
  }
  Status FillReport(SimPlotReport& report, BvuBinaryStream& reply) override {
    return plot_->FillReport(report, reply, interval_);
  }
  void SetInterval(double interval) { interval_ = interval; }

 private:
  SputPlotHistoryMgr* plot_;
  SimResultsFinder* finder_;
  double interval_;
};

bool Given(std::uint32_t count, const char* const* strings) {
  return count > 0 && strings != nullptr && strings[0] != nullptr;
}

}  // namespace

void SimResultsMgr::StartPlotFileAnew() {
  if (plot_ == nullptr) return;
  plot_->Close();
  ::unlink(kPlotFile);
  plot_->Open(true);
}

Status SimResultsMgr::ProtocolCommand(std::uint32_t command, std::uint32_t string_count,
                                      const char* const* strings, std::uint32_t integer_count,
                                      const std::int32_t* integers, std::uint32_t real_count,
                                      const double* reals) {
  if (command < 1 || command > kLastCommand) return kNoSuchCommand;
  const bool has_integer = integer_count > 0 && integers != nullptr;
  const bool has_string = Given(string_count, strings);
  switch (command) {
    case 1: {
      if (!has_integer) return status::kBadArguments;
      RunPosition restored;
      const Status s = store_.RestoreSnapshot(static_cast<std::uint32_t>(integers[0]), &restored,
                                              SputSnapshotMgr::kAllParticipants, true);
      if (status::IsSuccess(s)) {
        last_restored_ = restored;
        problem_->SetRestored();
      }
      if (integer_count >= 2 && integers[1] != 0) StartPlotFileAnew();
      return s;
    }
    case 15:
      if (!has_string)
        return problem_->QueueSnapshot("Manual Snapshot", false, false, false, nullptr);
      return problem_->QueueSnapshot(strings[0], true, has_integer && integers[0] != 0, true,
                                     string_count == 2 ? strings[1] : nullptr);
    case 17:
      if (!has_integer || !has_string) return status::kBadArguments;
      return store_.KeepSnapshot(static_cast<std::uint32_t>(integers[0]), strings[0]);
    case 18: {
      if (!has_integer) return status::kBadArguments;
      Status last = status::kOk;
      for (std::uint32_t i = 0; i < integer_count; ++i) {
        last = store_.DeleteSnapshot(static_cast<std::uint32_t>(integers[i]));
        if (status::IsFailure(last)) break;
      }
      return last;
    }
    case 80:
    case 81:
      return kNotSupported;
    case 117:
      if (!has_integer || !has_string) return status::kBadArguments;
      return store_.ExportSnapshot(static_cast<std::uint32_t>(integers[0]), strings[0]);
    case 128: {
      if (string_count >= 2) return status::kBadArguments;
      if (!has_string) return CompactFile(kSnapshotFile);
      if (std::strcmp(strings[0], "All") != 0) return CompactFile(strings[0]);
      // "All" over the folder wants the run's file closed: not while a run
      // may be between steps.
      if (problem_->RunActive()) return 0x0032000Au;
      return CompressAllFiles();
    }
    case 21:
      for (auto& item : staged_) client_.push_back(std::move(item));
      staged_.clear();
      problem_->NotifyDelayManager();
      return status::kOk;
    case 22:
      staged_.clear();
      return status::kOk;
    case 23:
      return ApplyClientAssignments();
    case 24:
      client_.clear();
      use_->CloseStore();
      DropRestoreTable();
      return status::kOk;
    case 107:
    case 109: {
      const std::uint32_t strings_needed = command == 107 ? 1 : 2;
      if (!has_integer || string_count < strings_needed || strings == nullptr) return status::kBadArguments;
      for (std::uint32_t i = 0; i < strings_needed; ++i)
        if (strings[i] == nullptr) return status::kBadArguments;
      staged_.clear();
      const auto id = static_cast<std::uint32_t>(integers[0]);
      // Only that snapshot goes: the store deletes the file on closing
      // only when no snapshot is left in it.
      const Status s = command == 107 ? use_->DeleteSnapshot(id, strings[0])
                                      : use_->KeepSnapshot(id, strings[0], strings[1]);
      use_->DropTree();
      if (command == 107 && status::IsSuccess(s))
        use_->CloseStoreAfterDelete();
      else
        use_->CloseStore();
      return s;
    }
    case 147:
      if (!has_integer || !has_string) return status::kBadArguments;
      return store_.SetSnapshotDescription(static_cast<std::uint32_t>(integers[0]), strings[0]);
    case 152:
      if (integer_count != 1 || integers == nullptr) return status::kBadArguments;
      store_.SetAutoCompress(integers[0] != 0);
      return status::kOk;
    case 153:
      if (real_count != 1 || reals == nullptr) return status::kBadArguments;
      store_.SetCompressRatio(reals[0]);
      return status::kOk;
    default:
      return kNoSuchCommand;
  }
}

Status SimResultsMgr::HandleNumberedRequest(DseMessage* request, DseMessage** reply,
                                            DseTemplate** kept) {
  std::uint16_t number = 0;
  if (status::IsFailure(request->GetUInt16(&number))) return kNoSuchCommand;
  auto made = std::unique_ptr<DseMessage>(DseMessage::DseMessageAsReply(*request));
  if (made == nullptr) return DseMessage::kNoMemory;
  Status s = status::kOk;
  switch (number) {
    case 19:
      s = store_.ListSnapshots(made.get());
      break;
    case 43:
      s = store_.ListOtherFiles(made.get());
      break;
    case 26:
    case 27:
      if (plot_ == nullptr) return status::kOk;
      return number == 26 ? plot_->SetVariables(*request) : plot_->StopVariables(*request);
    case 28: {
      // The report kind (u16), then the report's own body.
      std::uint16_t kind = 0;
      s = request->GetUInt16(&kind);
      if (status::IsFailure(s)) return s;
      if (plot_ == nullptr) return status::kOk;
      if (report_owner_ == nullptr)
        report_owner_.reset(new ReportOwner(plot_.get(), &finder_, interval_));
      static_cast<ReportOwner*>(report_owner_.get())->SetInterval(interval_);
      SimPlotReport* report = nullptr;
      s = SimPlotReport::Create(kind, report_owner_.get(), *request, *request, &report);
      if (status::IsFailure(s)) return s;
      report->server = this;
      if (kept != nullptr)
        *kept = report;
      else
        delete report;
      return status::kOk;
    }
    case 58: {
      if (problem_->RunActive()) return kBusy;
      std::uint16_t delete_plot = 0;
      s = request->GetUInt16(&delete_plot);
      if (status::IsFailure(s)) return s;
      return RestoreLatest(delete_plot != 0, request, reply);
    }
    case 135: {
      double tolerance = 0;
      s = request->TryGet8(&tolerance);
      if (status::IsFailure(s)) return s;
      if (plot_ != nullptr) plot_->SetTolerance(tolerance);
      return status::kOk;
    }
    case 20:
    case 146:
      // The comparison reads the problem's values.
      if (problem_->RunActive()) return kBusy;
      [[fallthrough]];
    case 25:
    case 30:
    case 33:
    case 38:
    case 106:
    case 108:
    case 110:
    case 116:
    case 138: {
      bool replied = false;
      s = UseRequest(number, request, made.get(), &replied);
      if (!replied || status::IsFailure(s)) return s;
      if (reply != nullptr) *reply = made.release();
      return s;
    }
    case 154:
      s = made->PutUInt16(154);
      if (status::IsSuccess(s)) s = made->PutUInt8(store_.AutoCompress() ? 1 : 0);
      break;
    case 155:
      s = made->PutUInt16(155);
      if (status::IsSuccess(s)) s = made->PutDouble(store_.CompressRatio());
      break;
    default:
      return status::kBadArguments;
  }
  if (status::IsFailure(s)) return s;
  if (reply != nullptr) *reply = made.release();
  return status::kOk;
}

Status SimResultsMgr::RestoreLatest(bool delete_plot, DseMessage* request, DseMessage** reply) {
  RunPosition looked{-1.0, 0, snapshot_count_};
  std::uint32_t id = 0;
  if (status::IsFailure(store_.FindSnapshotByPosition(looked, &id)) || id == 0) {
    looked = {0.0, 0, static_cast<std::int16_t>(-1)};
    id = 0;
    store_.FindSnapshotByPosition(looked, &id);
  }
  Status s = kRestoreFailed;
  RunPosition restored{0.0, 0, 0};
  if (id > 0) {
    const Status waited = problem_->ConfirmRestore(id, kRestoreWaitMs);
    if (status::IsFailure(waited))
      problem_->Print(waited,
                      "The client did not confirm the restore within 30 s; "
                      "the snapshot is restored all the same");
    SendTimeMessage(looked.time);
    s = store_.RestoreSnapshot(id, &restored, SputSnapshotMgr::kAllParticipants, true);
    if (status::IsSuccess(s)) {
      last_restored_ = restored;
      problem_->SetRestored();
    }
    if (delete_plot && status::IsSuccess(s)) StartPlotFileAnew();
  }
  const bool failed = id == 0 || status::IsFailure(s);
  auto made = std::unique_ptr<DseMessage>(DseMessage::DseMessageAsReply(*request));
  if (made == nullptr) return DseMessage::kNoMemory;
  const char* name = nullptr;
  std::uint32_t date = 0;
  std::uint32_t time_of_day = 0;
  if (!failed) {
    store_.GetSnapshotName(id, &name);
    store_.GetSnapshotDateTime(id, &date, &time_of_day);
  }
  Status w = made->PutUInt16(58);
  if (status::IsSuccess(w)) w = made->PutUInt32(failed ? kRestoreFailed : s);
  if (status::IsSuccess(w)) w = made->PutDouble(restored.time);
  if (status::IsSuccess(w))
    w = made->PutUInt32(static_cast<std::uint32_t>(static_cast<std::int32_t>(restored.count)));
  if (status::IsSuccess(w))
    w = made->PutString(name != nullptr && name[0] != '\0' ? name : "Missing Description");
  if (status::IsSuccess(w)) w = made->PutUInt32(date);
  if (status::IsSuccess(w)) w = made->PutUInt32(time_of_day);
  if (status::IsFailure(w)) return w;
  if (reply != nullptr) *reply = made.release();
  // Nothing restored: the run stays where it is.
  if (!failed) problem_->SetRestartTime(restored.time);
  return failed ? kRestoreFailed : status::kOk;
}

void SimResultsMgr::DeleteOwner(PlotReportOwner* owner) { delete static_cast<ReportOwner*>(owner); }
