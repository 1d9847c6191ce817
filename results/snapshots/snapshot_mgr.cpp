// Opening, creating, reading and closing the snapshot file; finding,
// describing and listing its snapshots; the participant round trips.
#include "results/snapshots/snapshot_mgr.h"

#include <strings.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <utility>

#include "foundation/files/file_utilities.h"
#include "foundation/persistence/binary_stream.h"
#include "framework/connections/file_io.h"
#include "framework/messaging/message.h"
#include "framework/servers/sending.h"
#include "platform/byte_order.h"
#include "platform/posix_file.h"

using namespace snapshot;

namespace {

SputSnapshotMgr::EventPoster g_poster = &DsePostEventText;

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A further snapshot file's name, counted from its end: "p" 10th, a letter
// 9th, digits 8th to 5th, "." 4th.
bool IsNumberedName(const std::string& name, char* letter, int* number) {
  const std::size_t n = name.size();
  if (n < 11) return false;
  const auto at = [&](std::size_t from_end) {
    return static_cast<unsigned char>(name[n - from_end]);
  };
  if (std::tolower(at(10)) != 'p' || at(4) != '.' || !std::isalpha(at(9))) return false;
  int value = 0;
  for (std::size_t k = 8; k >= 5; --k) {
    if (!std::isdigit(at(k))) return false;
    value = value * 10 + (at(k) - '0');
  }
  *letter = static_cast<char>(at(9));
  *number = value;
  return true;
}

void AdvanceName(char* letter, int* number) {
  if (*number < 9999) {
    ++*number;
    return;
  }
  *number = 0;
  *letter = (*letter == 'Z' || *letter == 'z') ? 'A' : static_cast<char>(*letter + 1);
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

SputSnapshotMgr::EventPoster SputSnapshotMgr::SetEventPoster(EventPoster poster) {
  const EventPoster previous = g_poster;
  g_poster = poster != nullptr ? poster : &DsePostEventText;
  return previous;
}

void SputSnapshotMgr::PostNotice(const char* text) { g_poster(16, 0, text); }

SputSnapshotMgr::SputSnapshotMgr() = default;

SputSnapshotMgr::~SputSnapshotMgr() {
  ForgetHeaders();
  file_.reset();
}

Status SputSnapshotMgr::RestoreHook(double) { return status::kOk; }

bool SputSnapshotMgr::IsOpen() const { return file_ != nullptr && file_->IsOpen(); }

const std::string& SputSnapshotMgr::FileName() const {
  static const std::string kNone;
  return file_ != nullptr ? file_->Name() : kNone;
}

const SputSSBlockHeader* SputSnapshotMgr::FirstHeader() const {
  return static_cast<const SputSSBlockHeader*>(headers_.first);
}

const SputSSBlockHeader* SputSnapshotMgr::NextHeader(const SputSSBlockHeader* header) {
  return static_cast<const SputSSBlockHeader*>(header->next);
}

void SputSnapshotMgr::PushFront(SputSSBlockHeader* header) {
  header->next = headers_.first;
  headers_.first = header;
  if (headers_.last == nullptr) headers_.last = header;
  ++headers_.count;
}

void SputSnapshotMgr::Unlink(SputSSBlockHeader* header) {
  BvuListElem* before = nullptr;
  for (BvuListElem* e = headers_.first; e != nullptr; before = e, e = e->next) {
    if (e != header) continue;
    (before != nullptr ? before->next : headers_.first) = e->next;
    if (headers_.last == e) headers_.last = before;
    e->next = nullptr;
    --headers_.count;
    return;
  }
}

void SputSnapshotMgr::ForgetHeaders() {
  for (BvuListElem* e = headers_.first; e != nullptr;) {
    BvuListElem* next = e->next;
    delete static_cast<SputSSBlockHeader*>(e);
    e = next;
  }
  headers_ = BvuListHead{};
}

SputSSBlockHeader* SputSnapshotMgr::Find(std::uint32_t id) const {
  for (BvuListElem* e = headers_.first; e != nullptr; e = e->next) {
    auto* header = static_cast<SputSSBlockHeader*>(e);
    if (header->Id() == (id & kIdMask)) return header;
  }
  return nullptr;
}

std::int32_t SputSnapshotMgr::LiveCount() const { return headers_.count; }

// --- opening and reading ---

void SputSnapshotMgr::RecoverInterruptedCompaction(const std::string& name) {
  const std::string compressed = name + kCompressSuffix;
  const std::string copy = compressed + kCopySuffix;
  // Compaction puts the compacted file in place by one rename, so the name
  // is never missing while a compaction runs: without it the user deleted
  // the file, and a leftover from an old crash must not bring it back.
  if (!platform::PathExists(name.c_str())) return;
  // The file itself holds every snapshot: the leftovers go.
  platform::RemoveFile(compressed.c_str());
  platform::RemoveFile(copy.c_str());
}

Status SputSnapshotMgr::OpenFile(const char* name, const Participants* participants, bool map) {
  freed_count_ = 0;
  const Participants list = participants != nullptr ? *participants : participants_;
  CloseFile();
  if (name == nullptr || *name == '\0') return kIoFailed;
  RecoverInterruptedCompaction(name);
  Status result = status::kOk;
  file_ = std::make_unique<XosFileIO>(name, "rwe", &result, follow_links_);
  if (status::IsFailure(result)) {
    file_.reset();
    return result;
  }
  std::uint32_t version = 0;
  result = ReadVersion(file_.get(), &version);
  if (status::IsSuccess(result) && HeaderSizeOf(version) == 0) result = kVersionTooNew;
  if (status::IsSuccess(result)) {
    version_ = version;
    result = ReadFile(list, map);
  }
  if (status::IsSuccess(result)) return result;
  // Only a file with nothing after its structure records is known to hold
  // no snapshot, and only such a file is deleted. This is deliberately
  // narrower than "no live header was read": a version we cannot read, a
  // damaged first header or an id we refuse also read none, yet the file
  // may hold snapshots that a newer engine or a repair can still use.
  if (end_position_ == records_end_ && records_end_ > 0 && headers_.count == 0 &&
      result == kShortRead) {
    file_->SetDeleteOnClose(true);
    result = kNoUsableSnapshot;
  }
  CloseFile();
  return result;
}

Status SputSnapshotMgr::ReadStructureRecord(const RecordPlace& record, DseMessage** message) {
  *message = nullptr;
  if (record.length <= kRecordLeadSize) return status::kOk;
  std::vector<std::uint8_t> bytes(record.length - kRecordLeadSize);
  const Status result =
      ReadBytes(file_.get(), record.position + kRecordLeadSize, bytes.data(), bytes.size());
  if (status::IsFailure(result)) return result;
  return DecodeStructureRecord(bytes.data(), bytes.size(), message);
}

// Entry i of the store's array becomes the participant of record i: the
// first participant of the list, not yet given a record, whose id matches;
// an empty entry when none does, so that sections keep their places.
Status SputSnapshotMgr::MapStructureRecord(std::int32_t record_index, const RecordPlace& record,
                                           const Participants& participants,
                                           std::vector<bool>* used) {
  DseMessage* message = nullptr;
  Status result = ReadStructureRecord(record, &message);
  if (status::IsFailure(result)) return result;
  SputSnapBase* match = nullptr;
  for (std::size_t k = 0; k < participants.size() && match == nullptr; ++k) {
    if ((*used)[k] || participants[k] == nullptr) continue;
    if (participants[k]->Id(static_cast<std::int32_t>(k)) != record.participant_id) continue;
    (*used)[k] = true;
    match = participants[k];
  }
  participants_.push_back(match);
  if (match != nullptr) result = match->MapStructure(record_index, message);
  ReleaseStructureRecord(message);
  return result;
}

Status SputSnapshotMgr::ReadFileStart(std::uint64_t file_size, std::vector<RecordPlace>* records) {
  return ReadRecords(file_.get(), file_size, records, &records_end_);
}

Status SputSnapshotMgr::ReadFile(const Participants& participants, bool map) {
  end_position_ = records_end_ = 0;
  highest_id_ = 0;
  end_marker_found_ = false;
  torn_tail_ = 0;
  std::uint64_t size = 0;
  int error = 0;
  if (!platform::FileSizeOf(file_->Handle(), &size, &error)) return kIoFailed;
  std::vector<RecordPlace> records;
  Status result = ReadFileStart(size, &records);
  if (status::IsFailure(result)) return result;
  if (map) {
    participants_.clear();
    std::vector<bool> used(participants.size(), false);
    for (std::size_t i = 0; i < records.size(); ++i) {
      result = MapStructureRecord(static_cast<std::int32_t>(i), records[i], participants, &used);
      if (status::IsFailure(result)) return result;
    }
  }
  std::uint64_t position = records_end_;
  end_position_ = position;
  // Nothing after the records: a file that never got its first block.
  if (position == size) return kShortRead;
  for (;;) {
    auto header = std::make_unique<SputSSBlockHeader>();
    HeaderKind kind = HeaderKind::kImplausible;
    result = ReadHeaderAt(file_.get(), position, size, version_, header.get(), &kind);
    if (status::IsFailure(result)) return result;
    if (kind == HeaderKind::kEnd) {
      end_marker_found_ = true;
      break;
    }
    if (kind == HeaderKind::kImplausible) {
      torn_tail_ = position;
      break;
    }
    position += header->length;
    if (kind == HeaderKind::kFreed) {
      ++freed_count_;
      continue;
    }
    if (header->Id() > kLargestId) {
      char line[512];
      std::snprintf(line, sizeof line,
                    "Snapshot file %s holds snapshot id %u, larger than a listing can carry; "
                    "the file is not opened.",
                    file_->Name().c_str(), header->Id());
      PostNotice(line);
      return kIdOutOfRange;
    }
    if (header->Id() > highest_id_) highest_id_ = header->Id();
    PushFront(header.release());
  }
  end_position_ = position;
  if (torn_tail_ != 0) {
    char line[512];
    std::snprintf(line, sizeof line,
                  "Snapshot file %s ends in an incomplete block at byte %llu; "
                  "the snapshots before it are kept.",
                  file_->Name().c_str(), static_cast<unsigned long long>(torn_tail_));
    PostNotice(line);
  }
  return status::kOk;
}

// --- creating ---

Status SputSnapshotMgr::OpenForWriting(const char* name, bool exclusive,
                                       std::unique_ptr<XosFileIO>* file) {
  if (exclusive) {
    // Never open a file that exists: create the name or fail, and write
    // through the descriptor made, never through the name again.
    platform::FileOpenMode mode;
    mode.read = mode.write = mode.exclusive = true;
    int error = 0;
    platform::FileDescriptor made = platform::OpenOwnedFile(name, mode, &error);
    if (!made.valid()) return kIoFailed;
    *file = std::make_unique<XosFileIO>(
        name, std::move(made), XosFileIO::kOpenAlways | XosFileIO::kWrite | XosFileIO::kRead);
    return status::kOk;
  }
  Status result = status::kOk;
  *file = std::make_unique<XosFileIO>(name, "nwr", &result);
  if (status::IsFailure(result)) {
    file->reset();
    return kIoFailed;
  }
  return status::kOk;
}

void SputSnapshotMgr::ReleaseStructureRecord(DseMessage* message) { delete message; }

// The 8-byte lead and the wire segments of one participant's message (an
// empty entry gives a bare lead with id 0).
Status SputSnapshotMgr::WriteStructureRecord(SputSnapBase* participant, std::int32_t index,
                                             std::vector<std::uint8_t>* out) {
  DseMessage* message = nullptr;
  Status result =
      participant != nullptr ? participant->StructureRecord(index, &message) : status::kOk;
  if (status::IsSuccess(result)) {
    result =
        EncodeStructureRecord(participant != nullptr ? participant->Id(index) : 0, message, out);
  }
  ReleaseStructureRecord(message);
  return result;
}

// The whole start goes out in one write.
Status SputSnapshotMgr::WriteFileStart(XosFileIO* file, std::uint64_t* position,
                                       const Participants& participants) {
  std::vector<std::uint8_t> bytes(kFileStartSize);
  platform::StoreLE32(bytes.data(), kCurrentVersion);
  platform::StoreLE32(bytes.data() + 4, static_cast<std::uint32_t>(participants.size()));
  std::vector<std::uint8_t> record;
  for (std::size_t i = 0; i < participants.size(); ++i) {
    const Status result =
        WriteStructureRecord(participants[i], static_cast<std::int32_t>(i), &record);
    if (status::IsFailure(result)) return result;
    bytes.insert(bytes.end(), record.begin(), record.end());
  }
  const Status result = WriteBytes(file, *position, bytes.data(), bytes.size());
  if (status::IsSuccess(result)) *position += bytes.size();
  return result;
}

Status SputSnapshotMgr::CreateFile(const char* name) {
  // The headers of an open file stay: they still describe it.
  if (IsOpen()) return kIoFailed;
  ForgetHeaders();
  std::string chosen;
  Status result = kIoFailed;
  if (name != nullptr) {
    chosen = name;
    result = OpenForWriting(name, true, &file_);
  } else {
    // Another process may take a name between the listing and the create.
    for (int attempt = 0; attempt < 8 && status::IsFailure(result); ++attempt) {
      chosen = NextFileName();
      result = OpenForWriting(chosen.c_str(), true, &file_);
    }
  }
  if (status::IsFailure(result)) return result;
  std::uint64_t position = 0;
  result = WriteFileStart(file_.get(), &position, participants_);
  if (status::IsSuccess(result)) result = SyncFile(file_.get());
  int error = 0;
  if (status::IsSuccess(result) && !platform::SyncFolderOf(chosen.c_str(), &error))
    result = kIoFailed;
  if (status::IsFailure(result)) {
    file_->SetDeleteOnClose(true);
    file_.reset();
    return result;
  }
  version_ = kCurrentVersion;
  records_end_ = end_position_ = position;
  torn_tail_ = 0;
  end_marker_found_ = false;
  freed_count_ = 0;
  highest_id_ = 0;
  return status::kOk;
}

const char* SputSnapshotMgr::NextFileName() {
  std::vector<platform::FolderEntry> entries;
  platform::ListFolderSorted(".", &entries);
  std::set<std::string> taken;
  char letter = 'A';
  int number = 0;
  bool found = false;
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    taken.insert(Lower(it->name));
    if (found || it->is_folder || !MatchFilePattern(it->name.c_str(), "snp*.snp")) continue;
    found = IsNumberedName(it->name, &letter, &number);
  }
  if (found) AdvanceName(&letter, &number);
  // Never a name that exists, in any letter case, file or folder.
  for (int tries = 0; tries < 26 * 10000; ++tries) {
    std::snprintf(next_name_, sizeof next_name_, kNumberedNameFormat, letter, number);
    if (taken.count(Lower(next_name_)) == 0 && !platform::PathExists(next_name_)) break;
    AdvanceName(&letter, &number);
  }
  return next_name_;
}

void SputSnapshotMgr::CloseFile() {
  file_.reset();
  ForgetHeaders();
}

void SputSnapshotMgr::Clear(bool close) {
  if (close && IsOpen()) {
    // A file read up to a damaged block may hold snapshots after it.
    if (headers_.count == 0 && torn_tail_ == 0) file_->SetDeleteOnClose(true);
    CloseFile();
  }
  ForgetHeaders();
  highest_id_ = 0;
  section_buffer_.clear();
  section_buffer_.shrink_to_fit();
}

void SputSnapshotMgr::AddParticipant(SputSnapBase* participant) {
  participants_.push_back(participant);
}

// --- finding and describing ---

Status SputSnapshotMgr::FindSnapshotByName(const char* name, std::uint32_t* id) const {
  for (const SputSSBlockHeader* h = FirstHeader(); h != nullptr; h = NextHeader(h)) {
    if (name != nullptr && ::strcasecmp(h->name, name) == 0) {
      *id = h->Id();
      return status::kOk;
    }
  }
  *id = kNewId;
  return kUnknownId;
}

Status SputSnapshotMgr::FindSnapshotByPosition(const RunPosition& at, std::uint32_t* id) const {
  const SputSSBlockHeader* best = nullptr;
  if (at.time < 0.0) {
    // The first run of consecutive entries with the position's count: its
    // earliest snapshot.
    const SputSSBlockHeader* h = FirstHeader();
    while (h != nullptr && h->count != at.count) h = NextHeader(h);
    for (; h != nullptr && h->count == at.count; h = NextHeader(h)) {
      if (best == nullptr || h->time < best->time) best = h;
    }
  } else {
    for (const SputSSBlockHeader* h = FirstHeader(); h != nullptr && best == nullptr;
         h = NextHeader(h)) {
      if (h->time == at.time && (at.count < 0 || h->count == at.count)) best = h;
    }
  }
  *id = best != nullptr ? best->Id() : kNewId;
  return best != nullptr ? status::kOk : kUnknownId;
}

Status SputSnapshotMgr::GetLatestPosition(RunPosition* at, std::uint32_t* id) const {
  const SputSSBlockHeader* newest = FirstHeader();
  if (newest == nullptr) {
    *id = kNewId;
    return kUnknownId;
  }
  *id = newest->Id();
  *at = newest->GetRunPosition();
  return status::kOk;
}

Status SputSnapshotMgr::GetSnapshotDateTime(std::uint32_t id, std::uint32_t* date,
                                            std::uint32_t* time) const {
  const SputSSBlockHeader* h = Find(id);
  if (h == nullptr) return kUnknownIdQuiet;
  *date = h->DateWord();
  *time = h->TimeWord();
  return status::kOk;
}

Status SputSnapshotMgr::GetSnapshotName(std::uint32_t id, const char** text) const {
  const SputSSBlockHeader* h = Find(id);
  *text = h != nullptr ? h->name : nullptr;
  return h != nullptr ? status::kOk : kUnknownIdQuiet;
}

Status SputSnapshotMgr::GetSnapshotDescription(std::uint32_t id, const char** text) const {
  const SputSSBlockHeader* h = Find(id);
  *text = h != nullptr ? h->description : nullptr;
  return h != nullptr ? status::kOk : kUnknownIdQuiet;
}

Status SputSnapshotMgr::ListSnapshots(BvuBinaryStream* message) const {
  Status result = message->PutUInt24(static_cast<std::uint32_t>(headers_.count));
  for (const SputSSBlockHeader* h = FirstHeader(); h != nullptr && status::IsSuccess(result);
       h = NextHeader(h)) {
    result = h->WriteToMessage(message);
  }
  return result;
}

Status SputSnapshotMgr::ListOtherFiles(BvuBinaryStream* message) const {
  std::vector<platform::FolderEntry> entries;
  if (!platform::ListFolderSorted(".", &entries)) return message->PutUInt24(0);
  std::uint8_t* count_place = message->ReserveUInt24();
  if (count_place == nullptr) return status::kUnhandled;
  const std::string own = IsOpen() ? BaseName(FileName()) : std::string();
  std::uint32_t count = 0;
  for (const auto& entry : entries) {
    if (entry.is_folder || !MatchFilePattern(entry.name.c_str(), "*.snp") || entry.name == own)
      continue;
    const Status result = message->PutString(entry.name.c_str());
    if (status::IsFailure(result)) return result;
    ++count;
  }
  return message->PatchUInt24(count_place, count);
}

// --- participants ---

std::int32_t SputSnapshotMgr::AllParticipantsReady() {
  std::int32_t all = 1;
  for (std::size_t i = 0; i < participants_.size(); ++i) {
    if (participants_[i] == nullptr) continue;
    std::int32_t ready = 1;
    if (status::IsFailure(participants_[i]->Ready(static_cast<std::int32_t>(i), &ready))) return 0;
    if (ready != 1) all = 0;
  }
  return all;
}

Status SputSnapshotMgr::NotifySnapshotWritten(const Participants& participants) {
  for (std::size_t i = 0; i < participants.size(); ++i) {
    if (participants[i] == nullptr) continue;
    const Status result = participants[i]->SnapshotWritten(static_cast<std::int32_t>(i));
    if (status::IsFailure(result)) return result;
  }
  return status::kOk;
}

Status SputSnapshotMgr::NotifyRestoreDone() {
  Status first_failure = status::kOk;
  for (std::size_t i = 0; i < participants_.size(); ++i) {
    if (participants_[i] == nullptr) continue;
    const Status result = participants_[i]->RestoreFinished(static_cast<std::int32_t>(i));
    if (status::IsFailure(result) && status::IsSuccess(first_failure)) first_failure = result;
  }
  return first_failure;
}
