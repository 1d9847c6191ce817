// The results manager's side of snapshot use: the staged assignments and
// reply items that use requests find, the client assignments taken from
// them, the numbered requests that choose, list, send and compare
// snapshots of the run's file or of another one, imports, and the
// compaction of every snapshot file of the folder.
#include <fnmatch.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "framework/messaging/message.h"
#include "platform/posix_file.h"
#include "results/manager/results_mgr.h"
#include "results/manager/snapshot_reply.h"
#include "results/snapshots/snap_import.h"
#include "results/snapshots/snapshot_text.h"

namespace {

constexpr const char* kSnapshotFile = "snapshot.snp";
constexpr std::uint32_t kValuesId = 1000;
constexpr std::uint32_t kPoolId = 1002;

// A store for compaction alone: it never deletes the file it reads. A file
// that holds no snapshot is left as it is, like a damaged one.
class CompactingStore final : public SputSnapshotMgr {
 public:
  Status ReadFile(const Participants& participants, bool map) override {
    const Status s = SputSnapshotMgr::ReadFile(participants, map);
    return s == snapshot::kShortRead ? snapshot::kIoFailed : s;
  }
};

Status ReadText(DseMessage* request, std::string* text) {
  char* read = nullptr;
  const Status s = request->GetStringNew(&read);
  if (status::IsFailure(s)) return s;
  *text = read != nullptr ? read : "";
  delete[] read;
  return status::kOk;
}

}  // namespace

void SimResultsMgr::Stage(std::unique_ptr<SimAssignValue> item, bool reply_item) {
  if (item == nullptr) return;
  (reply_item ? reply_items_ : staged_).push_back(std::move(item));
}

void SimResultsMgr::DropRestoreTable() {
  if (use_->Values() == restore_.get()) use_->SetValues(nullptr);
  restore_.reset();
}

Status SimResultsMgr::ApplyClientAssignments() {
  Assignments items;
  items.swap(client_);
  bool applied = false;
  for (auto& item : items) {
    AssignableVariable* variable = item->variable;
    if (variable == nullptr) continue;
    switch (item->kind) {
      case 1:
      case 2:
      case 4:
      case 24:
      case 68:
      case 255:
        break;
      default:
        continue;  // dropped
    }
    if (variable_count_ != 0) {
      if ((variable->Flags() & AssignableVariable::kStructuralBit) != 0) continue;
      step_assignments_.push_back(std::make_unique<SimAssignValue>(
          item->kind, &item->typed, item->real, item->word, variable, item->pattern, item->mask));
      applied = true;
      continue;
    }
    // Without a value table only reals are set, at once.
    if (item->kind == 24) {
      variable->SetValue(item->real);
      applied = true;
    }
  }
  // The run goes on from where the problem stands, which may be an event
  // short of the last recorded point; with nothing taken it is not moved.
  const double at = problem_->CurrentTime();
  if (!step_assignments_.empty() && problem_->RunActive()) ApplyAssignments(nullptr, nullptr, at);
  use_->CloseStore();
  DropRestoreTable();
  problem_->AddRequestBits(kRestartRequestBits);
  if (applied) problem_->SetRestartTime(at);
  problem_->UpdateMonitors(at);
  return status::kOk;
}

Status SimResultsMgr::CompactFile(const char* name) {
  if (name == nullptr || name[0] == '\0') return snapshot::kIoFailed;
  if (store_.IsOpen() && store_.FileName() == name) return store_.CompressFile(name);
  // Another file is read for its live blocks first; a copy is no compaction.
  CompactingStore other;
  Status s = other.OpenFile(name, nullptr, false);
  if (status::IsSuccess(s)) s = other.CompressFile(name);
  other.CloseFile();
  return s;
}

Status SimResultsMgr::CompressAllFiles() {
  problem_->Print(status::kOk, "Compressing snapshot files: ");
  Status last = status::kOk;
  const bool was_open = store_.IsOpen();
  if (platform::PathExists(kSnapshotFile)) {
    last = CompactFile(kSnapshotFile);
    if (status::IsSuccess(last)) problem_->Print(status::kOk, "  File snapshot.snp compressed.");
  }
  std::vector<platform::FolderEntry> entries;
  if (!platform::ListFolderSorted(".", &entries)) return last;
  // Closed, never cleared: clearing deletes a file without snapshots.
  if (was_open) store_.CloseFile();
  for (const platform::FolderEntry& entry : entries) {
    if (entry.is_folder || ::fnmatch("snp*.snp", entry.name.c_str(), FNM_CASEFOLD) != 0) continue;
    const Status s = CompactFile(entry.name.c_str());
    last = s;
    problem_->Print(s, "  File " + entry.name +
                           (status::IsSuccess(s) ? " compressed." : " skipped: it cannot be read."));
  }
  if (!was_open && !platform::PathExists(kSnapshotFile)) return last;
  const Status reopened = store_.OpenFile(kSnapshotFile, nullptr, false);
  return status::IsFailure(reopened) ? reopened : last;
}

Status SimResultsMgr::SendRestored(std::uint16_t id, DseMessage* reply) {
  // Values and pool only: the request reads a snapshot, it does not put it
  // into the run.
  RunPosition at;
  Status s = store_.RestoreSnapshot(id, &at, kValuesId, false);
  if (status::IsSuccess(s)) s = store_.RestoreSnapshot(id, &at, kPoolId, false);
  if (status::IsFailure(s)) return s;
  s = WriteSnapshotHead(store_, id, at, 33, *reply);
  if (status::IsSuccess(s)) {
    BvuDirectoryProper empty(nullptr, "");
    BvuDirectoryProper* tree = problem_->VariableTree();
    s = WriteUseDataTree(tree != nullptr ? tree : &empty, *reply);
  }
  if (status::IsSuccess(s)) {
    if (restore_ == nullptr) RebuildRestoreTable();
    s = restore_->Save(*reply);
  }
  return s;
}

Status SimResultsMgr::ImportRequest(DseMessage* request, bool to_file) {
  Status read = status::kOk;
  SputSnapImport import(*request, &read);
  if (status::IsFailure(read)) return read;
  // A new file under the next free name, made exclusively.
  if (to_file) return import.CreateFile(nullptr);
  use_->SetTree(import.TakeStructure());
  if (use_->Values() == restore_.get()) use_->SetValues(nullptr);
  restore_ = import.Count() > 0 ? import.TakeValues(0) : std::make_unique<SUPackedValueTable>();
  use_->SetValues(restore_.get());
  return status::kOk;
}

Status SimResultsMgr::UseRequest(std::uint16_t number, DseMessage* request, DseMessage* reply,
                                 bool* replied) {
  *replied = false;
  Status s = status::kOk;
  switch (number) {
    case 20:
    case 146: {
      std::uint32_t id = 0;
      std::uint16_t flags = 0;
      std::string path;
      std::string filter;
      std::string model_path;
      s = request->GetUInt32(&id);
      if (status::IsSuccess(s)) s = request->GetUInt16(&flags);
      if (status::IsSuccess(s)) s = ReadText(request, &path);
      if (status::IsSuccess(s)) s = ReadText(request, &filter);
      if (status::IsSuccess(s)) s = ReadText(request, &model_path);
      if (status::IsFailure(s)) return s;
      staged_.clear();
      reply_items_.clear();
      if (restore_ == nullptr) RebuildRestoreTable();
      const Status applied = use_->ApplyUseData(this, id, flags, path.c_str(), filter.c_str(),
                                                model_path.c_str(), number == 20);
      if (status::IsFailure(applied)) {
        // The reply the client waits for, with nothing found; the log says
        // why, so that empty counts do not pass for "nothing differs".
        staged_.clear();
        reply_items_.clear();
        char line[96];
        std::snprintf(line, sizeof line, "Snapshot %u could not be compared with the problem",
                      id);
        problem_->Print(applied, line);
        s = reply->PutUInt16(20);
        if (status::IsSuccess(s)) s = reply->PutUInt32(0);
        if (status::IsSuccess(s)) s = reply->PutUInt32(0);
        *replied = status::IsSuccess(s);
        return s;
      }
      // Both requests answer in the one form of kind 20; 146 adds the names.
      s = reply->PutUInt16(20);
      if (status::IsSuccess(s)) s = reply->PutUInt32(static_cast<std::uint32_t>(staged_.size()));
      if (number == 146)
        for (const auto& item : staged_)
          if (status::IsSuccess(s)) s = reply->PutString(item->variable->Name().c_str());
      if (status::IsSuccess(s))
        s = reply->PutUInt32(static_cast<std::uint32_t>(reply_items_.size()));
      for (const auto& item : reply_items_) {
        if (status::IsSuccess(s)) s = item->WriteToMessage(*reply);
        if (status::IsSuccess(s)) s = reply->PutString(item->variable->Name().c_str());
      }
      reply_items_.clear();
      *replied = status::IsSuccess(s);
      return s;
    }
    case 25:
      s = reply->PutUInt16(25);
      if (status::IsSuccess(s)) s = reply->PutUInt32(static_cast<std::uint32_t>(client_.size()));
      for (const auto& item : client_) {
        if (status::IsSuccess(s)) s = item->WriteToMessage(*reply);
        if (status::IsSuccess(s))
          s = reply->PutString(item->variable != nullptr ? item->variable->Name().c_str() : "");
        if (status::IsSuccess(s)) s = reply->PutUInt16(static_cast<std::uint16_t>(item->word));
      }
      *replied = status::IsSuccess(s);
      return s;
    case 30:
    case 108:
      staged_.clear();
      s = use_->SelectFile(*request, number == 30 ? reply : nullptr);
      if (number == 108 && status::IsSuccess(s)) s = reply->PutUInt16(108);
      *replied = status::IsSuccess(s);
      return s;
    case 33: {
      std::uint16_t id = 0;
      s = request->GetUInt16(&id);
      if (status::IsSuccess(s)) s = SendRestored(id, reply);
      *replied = status::IsSuccess(s);
      return s;
    }
    case 38:
    case 116:
      return ImportRequest(request, number == 116);
    case 106:
      staged_.clear();
      use_->DropTree();
      use_->CloseStore();
      return status::kOk;
    case 110:
      s = use_->SendSnapshot(*request, reply);
      use_->DropTree();
      use_->CloseStore();
      *replied = status::IsSuccess(s);
      return s;
    case 138:
      staged_.clear();
      s = use_->ListFile(*request, reply);
      *replied = status::IsSuccess(s);
      return s;
    default:
      return status::kBadArguments;
  }
}
