// Taking snapshots and changing their headers: the append that commits a
// block by writing its header last, delete, keep, describe, the limit on
// unkept snapshots and the automatic compaction.
#include <algorithm>
#include <cstring>
#include <limits>

#include "framework/connections/file_io.h"
#include "platform/byte_order.h"
#include "results/snapshots/snapshot_mgr.h"

using namespace snapshot;

namespace {

// The header's bytes followed by the participants' sections.
Status BuildBlock(const SputSnapshotMgr::Participants& participants, SputSSBlockHeader* header,
                  std::uint64_t position, std::vector<std::uint8_t>* bytes) {
  std::uint64_t length = kHeaderSize;
  bytes->assign(kHeaderSize, 0);
  for (std::size_t i = 0; i < participants.size(); ++i) {
    const std::uint8_t* data = nullptr;
    std::uint32_t size = 0;
    if (participants[i] != nullptr) {
      const Status result =
          participants[i]->SectionData(static_cast<std::int32_t>(i), &data, &size);
      if (status::IsFailure(result)) return result;
    }
    if (data == nullptr) size = 0;
    length += 4 + std::uint64_t{size};
    // The block length is a 32-bit field.
    if (length > std::numeric_limits<std::uint32_t>::max()) return status::kBadArguments;
    std::uint8_t word[4];
    platform::StoreLE32(word, size);
    bytes->insert(bytes->end(), word, word + 4);
    bytes->insert(bytes->end(), data, data + size);
  }
  header->position = position;
  header->length = static_cast<std::uint32_t>(length);
  header->header_size = kHeaderSize;
  header->data_position = position + kHeaderSize;
  header->Encode(bytes->data());
  return status::kOk;
}

}  // namespace

// The block's data and the new end marker go after the old end marker
// first; the header that replaces the old marker is written last. Until
// that one write the file still ends at the old marker.
Status SputSnapshotMgr::AppendBlock(SputSSBlockHeader* header, const Participants& participants) {
  const std::uint64_t at = end_position_;
  std::vector<std::uint8_t> block;
  Status result = BuildBlock(participants, header, at, &block);
  if (status::IsFailure(result)) return result;
  std::uint8_t marker[kHeaderSize];
  if (torn_tail_ != 0 && torn_tail_ == at) {
    // A damaged tail is cut off first: a stale header there could otherwise
    // come to look whole once the file grows past its length.
    SputSSBlockHeader::EndMarker(at).Encode(marker);
    result = WriteBytes(file_.get(), at, marker, kHeaderSize);
    if (status::IsSuccess(result)) result = SyncFile(file_.get());
    if (status::IsFailure(result)) return result;
    torn_tail_ = 0;
  }
  SputSSBlockHeader::EndMarker(at + header->length).Encode(marker);
  block.insert(block.end(), marker, marker + kHeaderSize);
  result = WriteBytes(file_.get(), at + kHeaderSize, block.data() + kHeaderSize,
                      block.size() - kHeaderSize);
  if (status::IsSuccess(result)) result = SyncFile(file_.get());
  if (status::IsSuccess(result)) result = WriteBytes(file_.get(), at, block.data(), kHeaderSize);
  if (status::IsSuccess(result)) result = SyncFile(file_.get());
  if (status::IsSuccess(result)) {
    end_position_ = at + header->length;
    end_marker_found_ = true;
  }
  return result;
}

Status SputSnapshotMgr::WriteBlockTo(XosFileIO* file, std::uint64_t* position,
                                     SputSSBlockHeader* header, const Participants& participants) {
  std::vector<std::uint8_t> block;
  Status result = BuildBlock(participants, header, *position, &block);
  if (status::IsSuccess(result)) result = WriteBytes(file, *position, block.data(), block.size());
  if (status::IsSuccess(result)) *position += block.size();
  return result;
}

Status SputSnapshotMgr::RewriteHeader(SputSSBlockHeader* header) {
  std::uint8_t bytes[kHeaderSize];
  header->Encode(bytes);
  Status result = WriteBytes(file_.get(), header->position, bytes, kHeaderSize);
  if (status::IsSuccess(result)) result = SyncFile(file_.get());
  return result;
}

// Headers are written back only in the 248-byte form: an older file is first
// rewritten as a version-8 file (which compaction does), so that no header
// of another layout is ever overwritten.
Status SputSnapshotMgr::UpgradeToCurrentVersion() {
  if (!IsOpen()) return kNotOpen;
  if (version_ >= kCurrentVersion) return status::kOk;
  const std::string name = FileName();
  const Status result = CompressFile(name.c_str());
  if (status::IsFailure(result)) return result;
  return IsOpen() ? status::kOk : kNotOpen;
}

Status SputSnapshotMgr::TakeSnapshot(const RunPosition& at, const char* name, bool live,
                                     std::uint32_t* id, bool kept, const char* date_text) {
  if (!IsOpen()) return kNotOpen;
  if (participants_.empty()) return kUnknownId;
  Status result = UpgradeToCurrentVersion();
  if (status::IsFailure(result)) return result;
  auto header = std::make_unique<SputSSBlockHeader>();
  header->SetName(name);
  header->SetRunPosition(at);
  const std::uint32_t new_id = *id == kNewId ? highest_id_ + 1 : *id;
  if (new_id > kLargestId) return kIdOutOfRange;
  header->flags = new_id | (live ? kLiveFlag : 0) | (kept ? kKeptFlag : 0);
  if (date_text != nullptr && *date_text != '\0') {
    header->SetDateTimeFromText(date_text);
  } else {
    header->SetDateTimeNow();
  }
  result = AppendBlock(header.get(), participants_);
  if (status::IsFailure(result)) return result;
  // The block is in the file from here on, so its header is listed even when
  // a participant fails to hear of it.
  *id = new_id;
  highest_id_ = std::max(highest_id_ + 1, new_id);
  result = NotifySnapshotWritten(participants_);
  if (live) {
    PushFront(header.release());
  } else {
    ++freed_count_;
  }
  if (!kept && maximum_snapshots_ >= 1) TrimUnkept();
  CompressIfWorthwhile();
  return result;
}

// Only after the new block is safely written: a failed take loses nothing.
void SputSnapshotMgr::TrimUnkept() {
  std::int32_t counted = 0;
  for (SputSSBlockHeader* h = static_cast<SputSSBlockHeader*>(headers_.first); h != nullptr;) {
    auto* next = static_cast<SputSSBlockHeader*>(h->next);
    if (!(h->IsLive() && h->IsKept()) && ++counted > maximum_snapshots_) DeleteSnapshot(h->Id());
    h = next;
  }
}

void SputSnapshotMgr::CompressIfWorthwhile() {
  const std::int32_t live = LiveCount();
  if (!auto_compress_ || freed_count_ < 1 || freed_count_ + live <= compress_floor_) return;
  if (live != 0 && static_cast<double>(freed_count_) / live < compress_ratio_) return;
  PostNotice("Recovering free space in snapshot file, please wait...");
  const std::string name = FileName();
  if (status::IsSuccess(CompressFile(name.c_str())))
    PostNotice("  Snapshot file has been compressed.");
}

Status SputSnapshotMgr::DeleteSnapshot(std::uint32_t id) {
  // An unknown id rewrites nothing (the upgrade re-reads the headers).
  if (Find(id) == nullptr) return kUnknownId;
  Status result = UpgradeToCurrentVersion();
  if (status::IsFailure(result)) return result;
  SputSSBlockHeader* header = Find(id);
  if (header == nullptr) return kUnknownId;
  header->flags &= ~kLiveFlag;
  result = RewriteHeader(header);
  if (status::IsFailure(result)) {
    // Still live in the file: it stays listed.
    header->flags |= kLiveFlag;
    return result;
  }
  Unlink(header);
  delete header;
  ++freed_count_;
  return result;
}

Status SputSnapshotMgr::KeepSnapshot(std::uint32_t id, const char* name) {
  if (Find(id) == nullptr) return kUnknownId;
  Status result = UpgradeToCurrentVersion();
  if (status::IsFailure(result)) return result;
  SputSSBlockHeader* header = Find(id);
  if (header == nullptr) return kUnknownId;
  const SputSSBlockHeader before = *header;
  if (name != nullptr) header->SetName(name);
  header->flags |= kLiveFlag | kKeptFlag;
  result = RewriteHeader(header);
  if (status::IsFailure(result)) {
    std::memcpy(header->name, before.name, kNameSize);
    header->flags = before.flags;
  }
  return result;
}

Status SputSnapshotMgr::SetSnapshotDescription(std::uint32_t id, const char* text) {
  SputSSBlockHeader* header = Find(id);
  if (header == nullptr) return kUnknownId;
  SputSSBlockHeader changed;
  changed.SetDescription(text);
  if (std::memcmp(changed.description, header->description, kDescriptionSize) == 0)
    return status::kOk;
  Status result = UpgradeToCurrentVersion();
  if (status::IsFailure(result)) return result;
  header = Find(id);
  if (header == nullptr) return kUnknownId;
  char before[kDescriptionSize];
  std::memcpy(before, header->description, kDescriptionSize);
  std::memcpy(header->description, changed.description, kDescriptionSize);
  result = RewriteHeader(header);
  if (status::IsFailure(result)) std::memcpy(header->description, before, kDescriptionSize);
  return result;
}
