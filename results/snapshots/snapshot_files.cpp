// Writing snapshots to other files: export of one snapshot, the re-mapped
// rewrite, a new file from given headers, and compaction. A whole file is
// built beside its name, synced, and renamed over it, so that the name
// always holds either the old file or the complete new one.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "foundation/files/file_utilities.h"
#include "framework/connections/file_io.h"
#include "platform/byte_order.h"
#include "platform/posix_file.h"
#include "results/snapshots/snapshot_mgr.h"

using namespace snapshot;

namespace {

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code error;
  return a == b || std::filesystem::equivalent(a, b, error);
}

Status WriteEndMarker(XosFileIO* file, std::uint64_t* position) {
  std::uint8_t marker[kHeaderSize];
  SputSSBlockHeader::EndMarker(*position).Encode(marker);
  const Status result = WriteBytes(file, *position, marker, kHeaderSize);
  if (status::IsSuccess(result)) *position += kHeaderSize;
  return result;
}

// The live headers from the oldest to the newest.
std::vector<const SputSSBlockHeader*> OldestFirst(const SputSSBlockHeader* newest) {
  std::vector<const SputSSBlockHeader*> headers;
  for (const SputSSBlockHeader* h = newest; h != nullptr; h = SputSnapshotMgr::NextHeader(h)) {
    headers.push_back(h);
  }
  std::reverse(headers.begin(), headers.end());
  return headers;
}

}  // namespace

// Syncs and closes the temporary file, then renames it over the name.
Status SputSnapshotMgr::CommitByRename(std::unique_ptr<XosFileIO>* temp, const std::string& name) {
  const std::string temp_name = (*temp)->Name();
  Status result = SyncFile(temp->get());
  temp->reset();
  int error = 0;
  if (status::IsSuccess(result) && !platform::RenameFile(temp_name.c_str(), name.c_str(), &error)) {
    result = kIoFailed;
  }
  if (status::IsSuccess(result) && !platform::SyncFolderOf(name.c_str(), &error))
    result = kIoFailed;
  if (status::IsFailure(result)) platform::RemoveFile(temp_name.c_str());
  return result;
}

// A block as it stands, in the 248-byte header form: the length is that of
// the new header and the data, whatever header size the source file had.
Status SputSnapshotMgr::CopyBlockRaw(const SputSSBlockHeader& header, XosFileIO* file,
                                     std::uint64_t* position) {
  std::vector<std::uint8_t> block(kHeaderSize + std::size_t{header.DataLength()});
  Status result =
      ReadBytes(file_.get(), header.data_position, block.data() + kHeaderSize, header.DataLength());
  if (status::IsFailure(result)) return result;
  SputSSBlockHeader copy = header;
  copy.position = *position;
  copy.length = static_cast<std::uint32_t>(block.size());
  copy.Encode(block.data());
  result = WriteBytes(file, *position, block.data(), block.size());
  if (status::IsSuccess(result)) *position += block.size();
  return result;
}

Status SputSnapshotMgr::CopyBlockMapped(const SputSSBlockHeader& header, XosFileIO* file,
                                        std::uint64_t* position) {
  std::vector<std::uint8_t> block(kHeaderSize);
  std::vector<std::uint8_t> section;
  std::uint64_t at = header.data_position;
  const std::uint64_t end = header.position + header.length;
  for (std::size_t i = 0; i < participants_.size() && end - at >= 4; ++i) {
    std::uint8_t word[4];
    Status result = ReadBytes(file_.get(), at, word, sizeof word);
    if (status::IsFailure(result)) return result;
    at += 4;
    const std::uint32_t length = platform::LoadLE32(word);
    if (length > end - at) return kShortRead;
    section.resize(length);
    result = ReadBytes(file_.get(), at, section.data(), length);
    if (status::IsFailure(result)) return result;
    at += length;
    if (participants_[i] == nullptr) return kUnknownId;
    const std::uint8_t* converted = nullptr;
    std::uint32_t converted_length = 0;
    result = participants_[i]->ConvertSection(static_cast<std::int32_t>(i), section.data(), length,
                                              &converted, &converted_length);
    if (status::IsFailure(result)) return result;
    if (converted == nullptr) converted_length = 0;
    if (block.size() + 4 + std::uint64_t{converted_length} > 0xFFFFFFFFu)
      return status::kBadArguments;
    platform::StoreLE32(word, converted_length);
    block.insert(block.end(), word, word + 4);
    block.insert(block.end(), converted, converted + converted_length);
  }
  SputSSBlockHeader copy = header;
  copy.position = *position;
  copy.length = static_cast<std::uint32_t>(block.size());
  copy.Encode(block.data());
  const Status result = WriteBytes(file, *position, block.data(), block.size());
  if (status::IsSuccess(result)) *position += block.size();
  return result;
}

Status SputSnapshotMgr::ExportSnapshot(std::uint32_t id, const char* file_name) {
  const SputSSBlockHeader* header = IsOpen() ? Find(id) : nullptr;
  if (header == nullptr || file_name == nullptr || SameFile(file_name, FileName()))
    return kIoFailed;
  const std::string temp_name = std::string(file_name) + kCopySuffix;
  platform::RemoveFile(temp_name.c_str());
  std::unique_ptr<XosFileIO> temp;
  Status result = OpenForWriting(temp_name.c_str(), true, &temp);
  if (status::IsFailure(result)) return result;
  std::uint64_t position = 0;
  result = WriteFileStart(temp.get(), &position, participants_);
  if (status::IsSuccess(result)) result = CopyBlockRaw(*header, temp.get(), &position);
  if (status::IsSuccess(result)) result = WriteEndMarker(temp.get(), &position);
  if (status::IsSuccess(result)) return CommitByRename(&temp, file_name);
  temp.reset();
  platform::RemoveFile(temp_name.c_str());
  return result;
}

Status SputSnapshotMgr::RewriteMapped(const char* file_name) {
  if (!IsOpen()) return kNotOpen;
  if (file_name == nullptr || SameFile(file_name, FileName())) return kIoFailed;
  const std::string temp_name = std::string(file_name) + kCopySuffix;
  platform::RemoveFile(temp_name.c_str());
  std::unique_ptr<XosFileIO> temp;
  Status result = OpenForWriting(temp_name.c_str(), true, &temp);
  if (status::IsFailure(result)) return result;
  std::uint64_t position = 0;
  result = WriteFileStart(temp.get(), &position, participants_);
  for (const SputSSBlockHeader* h : OldestFirst(FirstHeader())) {
    if (status::IsSuccess(result)) result = CopyBlockMapped(*h, temp.get(), &position);
  }
  if (status::IsSuccess(result)) result = WriteEndMarker(temp.get(), &position);
  if (status::IsSuccess(result)) return CommitByRename(&temp, file_name);
  temp.reset();
  platform::RemoveFile(temp_name.c_str());
  return result;
}

Status SputSnapshotMgr::CreateFileWithSnapshots(
    const char* name, const Participants& participants,
    const std::vector<const SputSSBlockHeader*>& headers) {
  if (IsOpen()) return kIoFailed;
  std::string chosen;
  std::unique_ptr<XosFileIO> file;
  Status result = kIoFailed;
  if (name != nullptr) {
    chosen = name;
    result = OpenForWriting(name, true, &file);
  } else {
    for (int attempt = 0; attempt < 8 && status::IsFailure(result); ++attempt) {
      chosen = NextFileName();
      result = OpenForWriting(chosen.c_str(), true, &file);
    }
  }
  if (status::IsFailure(result)) return result;
  std::uint64_t position = 0;
  result = WriteFileStart(file.get(), &position, participants);
  for (const SputSSBlockHeader* h : headers) {
    if (status::IsFailure(result) || h == nullptr) continue;
    SputSSBlockHeader block = *h;
    result = WriteBlockTo(file.get(), &position, &block, participants);
  }
  if (status::IsSuccess(result)) result = WriteEndMarker(file.get(), &position);
  if (status::IsSuccess(result)) result = SyncFile(file.get());
  int error = 0;
  if (status::IsSuccess(result) && !platform::SyncFolderOf(chosen.c_str(), &error))
    result = kIoFailed;
  if (status::IsFailure(result)) {
    file->SetDeleteOnClose(true);
    return result;
  }
  file.reset();
  return NotifySnapshotWritten(participants);
}

Status SputSnapshotMgr::CompressFile(const char* name) {
  if (name == nullptr) return kIoFailed;
  const std::string file_name = name;
  const std::string destination = file_name + kCompressSuffix;
  Status result = CopyLiveBlocks(file_name.c_str(), destination.c_str());
  bool reopen = false;
  if (status::IsSuccess(result)) {
    if (IsOpen() && SameFile(FileName(), file_name)) {
      CloseFile();
      reopen = true;
    }
    // One step from the old file to the compacted one; never a moment
    // without either under the name.
    int error = 0;
    if (!platform::RenameFile(destination.c_str(), file_name.c_str(), &error) ||
        !platform::SyncFolderOf(file_name.c_str(), &error)) {
      result = kIoFailed;
    } else {
      result = kCompressed;
    }
  }
  if (reopen) {
    // The records are the same bytes the store's array already stands for;
    // mapping them again would drop participants the file has no id for.
    const Status opened = OpenFile(file_name.c_str(), nullptr, false);
    if (status::IsFailure(opened)) result = opened;
  }
  freed_count_ = 0;
  return result;
}

Status SputSnapshotMgr::CopyLiveBlocks(const char* source, const char* destination) {
  if (!IsOpen() || !SameFile(source, FileName())) {
    int error = 0;
    const Status copied =
        follow_links_
            ? CopyFileWithMode(source, destination, kCopyOverwrite | kCopyMakeWritable, &error)
            : CopyOverName(source, destination, &error);
    if (status::IsFailure(copied)) {
      CheckDiskFull(source, destination, error);
      return kIoFailed;
    }
    return kCompressed;
  }
  const std::string copy_name = std::string(destination) + kCopySuffix;
  platform::RemoveFile(copy_name.c_str());
  std::unique_ptr<XosFileIO> copy;
  Status result = OpenForWriting(copy_name.c_str(), true, &copy);
  if (status::IsFailure(result)) return result;
  // The file start and the file's own structure records, byte for byte.
  std::vector<std::uint8_t> start(records_end_);
  result = ReadBytes(file_.get(), 0, start.data(), start.size());
  if (status::IsSuccess(result)) {
    platform::StoreLE32(start.data(), kCurrentVersion);
    result = WriteBytes(copy.get(), 0, start.data(), start.size());
  }
  std::uint64_t position = records_end_;
  for (const SputSSBlockHeader* h : OldestFirst(FirstHeader())) {
    if (status::IsSuccess(result)) result = CopyBlockRaw(*h, copy.get(), &position);
  }
  if (status::IsSuccess(result)) result = WriteEndMarker(copy.get(), &position);
  if (status::IsSuccess(result)) {
    result = CommitByRename(&copy, destination);
    return status::IsSuccess(result) ? kCompressed : result;
  }
  copy.reset();
  platform::RemoveFile(copy_name.c_str());
  return result;
}
