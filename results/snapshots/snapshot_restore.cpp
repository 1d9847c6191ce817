// Restoring a snapshot: its sections handed back to the participants, and
// the discarding of the snapshots taken after it.
#include <vector>

#include "foundation/values/snapshot_version.h"
#include "framework/connections/file_io.h"
#include "platform/byte_order.h"
#include "results/snapshots/snapshot_mgr.h"

using namespace snapshot;

namespace {

// The version of the file being read is visible while a section is restored.
class VisibleFileVersion {
 public:
  explicit VisibleFileVersion(std::uint32_t version) { SnapshotFileVersion = version; }
  ~VisibleFileVersion() { SnapshotFileVersion = 0; }
  VisibleFileVersion(const VisibleFileVersion&) = delete;
  VisibleFileVersion& operator=(const VisibleFileVersion&) = delete;
};

}  // namespace

Status SputSnapshotMgr::RestoreSnapshot(std::uint32_t id, RunPosition* at,
                                        std::uint32_t participant_id, bool discard_newer) {
  Status result = Find(id) != nullptr ? status::kOk : kUnknownId;
  if (status::IsSuccess(result) && discard_newer) result = UpgradeToCurrentVersion();
  SputSSBlockHeader* header = status::IsSuccess(result) ? Find(id) : nullptr;
  if (status::IsSuccess(result) && header == nullptr) result = kUnknownId;
  if (status::IsSuccess(result)) result = RestoreHook(header->time);
  if (status::IsSuccess(result)) result = RestoreSections(*header, participant_id);
  // The newer snapshots go only once the restore has worked.
  if (status::IsSuccess(result) && discard_newer) result = DiscardNewer(header);
  if (at != nullptr) {
    if (status::IsSuccess(result)) {
      *at = header->GetRunPosition();
    } else {
      at->run = 0;
      at->count = 0;
    }
  }
  return result;
}

Status SputSnapshotMgr::RestoreSections(const SputSSBlockHeader& header,
                                        std::uint32_t participant_id) {
  std::uint64_t position = header.data_position;
  const std::uint64_t end = header.position + header.length;
  bool found = false;
  for (std::size_t i = 0; i < participants_.size() && !found; ++i) {
    if (end - position < 4) break;
    std::uint8_t word[4];
    Status result = ReadBytes(file_.get(), position, word, sizeof word);
    if (status::IsFailure(result)) return result;
    position += 4;
    const std::uint32_t length = platform::LoadLE32(word);
    if (length > end - position) return kShortRead;
    SputSnapBase* participant = participants_[i];
    const auto index = static_cast<std::int32_t>(i);
    const bool wanted = participant != nullptr && (participant_id == kAllParticipants ||
                                                   participant->Id(index) == participant_id);
    if (!wanted) {
      position += length;
      continue;
    }
    if (section_buffer_.size() < length) section_buffer_.resize(length);
    if (length > 0) {
      result = ReadBytes(file_.get(), position, section_buffer_.data(), length);
      if (status::IsFailure(result)) return result;
    }
    position += length;
    {
      VisibleFileVersion visible(version_);
      result = participant->RestoreSection(index, section_buffer_.data(), length);
    }
    if (status::IsFailure(result)) return result;
    found = participant_id != kAllParticipants;
  }
  if (participant_id != kAllParticipants && !found) return kUnknownId;
  return status::kOk;
}

// Every step leaves a valid file: the dropped snapshots between the restored
// one and the newest kept one are freed one header at a time, then an end
// marker after the newest remaining block cuts off the dropped ones after
// it. Kept snapshots stay where they are (moving them in place could lose
// them on a crash); compaction reclaims the freed space later.
Status SputSnapshotMgr::DiscardNewer(SputSSBlockHeader* restored) {
  std::vector<SputSSBlockHeader*> newer;  // newest first
  for (BvuListElem* e = headers_.first; e != nullptr && e != restored; e = e->next) {
    newer.push_back(static_cast<SputSSBlockHeader*>(e));
  }
  discarded_ = true;
  if (newer.empty()) return status::kOk;
  std::size_t first_kept = newer.size();
  for (std::size_t k = 0; k < newer.size() && first_kept == newer.size(); ++k) {
    if (newer[k]->IsKept()) first_kept = k;
  }
  for (std::size_t k = first_kept; k < newer.size(); ++k) {
    SputSSBlockHeader* h = newer[k];
    if (h->IsKept()) continue;
    h->flags &= ~kLiveFlag;
    const Status result = RewriteHeader(h);
    if (status::IsFailure(result)) {
      h->flags |= kLiveFlag;
      return result;
    }
    Unlink(h);
    delete h;
    ++freed_count_;
  }
  if (first_kept == 0) return status::kOk;
  const SputSSBlockHeader* last = first_kept < newer.size() ? newer[first_kept] : restored;
  const std::uint64_t end = last->position + last->length;
  std::uint8_t marker[kHeaderSize];
  SputSSBlockHeader::EndMarker(end).Encode(marker);
  Status result = WriteBytes(file_.get(), end, marker, kHeaderSize);
  if (status::IsSuccess(result)) result = SyncFile(file_.get());
  if (status::IsFailure(result)) return result;
  for (std::size_t k = 0; k < first_kept; ++k) {
    Unlink(newer[k]);
    delete newer[k];
  }
  end_position_ = end;
  end_marker_found_ = true;
  return status::kOk;
}
