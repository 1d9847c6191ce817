#include "results/plot/plot_file.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "foundation/files/file_utilities.h"
#include "framework/connections/file_io.h"
#include "framework/connections/io_status.h"
#include "platform/posix_file.h"

namespace plot {
namespace {

std::uint64_t Offset(std::uint32_t number) { return std::uint64_t{number} * kBlockSize; }

Status ReadExact(XosFileIO* file, std::uint32_t number, Block* block) {
  if (file == nullptr || !file->IsOpen()) return kNotOpen;
  std::uint64_t position = Offset(number);
  std::uint32_t read = 0;
  if (status::IsFailure(file->ReadAt(block->data(), kBlockSize, &read, &position)))
    return kIoFailed;
  return read == kBlockSize ? status::kOk : kShortRead;
}

Status WriteExact(XosFileIO* file, std::uint32_t number, const Block& block) {
  if (file == nullptr || !file->IsOpen()) return kNotOpen;
  std::uint64_t position = Offset(number);
  std::uint32_t written = 0;
  const Status result = file->WriteAt(block.data(), kBlockSize, &written, &position);
  if (status::IsFailure(result) || written != kBlockSize) {
    CheckDiskFull(file->Name().c_str(), nullptr, static_cast<int>(file->LastSystemError()));
    return kIoFailed;
  }
  return status::kOk;
}

}  // namespace

PlotHistoryFile::PlotHistoryFile(std::unique_ptr<XosFileIO> file, const std::string& name)
    : file_(std::move(file)), name_(name) {}

PlotHistoryFile::~PlotHistoryFile() { Flush(); }

Status PlotHistoryFile::OpenExisting(const char* name, std::unique_ptr<PlotHistoryFile>* out,
                                     std::string* unusable) {
  out->reset();
  Status result = status::kOk;
  // The history sits in the run folder, which others may write in: a link
  // under its name is never written through.
  auto file = std::make_unique<XosFileIO>(name, "wr+", &result, false);
  if (status::IsFailure(result)) {
    if (file->LastSystemError() == ELOOP) *unusable = "a link to another file";
    return result;
  }
  std::uint64_t size = 0;
  int error = 0;
  if (!platform::FileSizeOf(file->Handle(), &size, &error)) return kIoFailed;
  std::unique_ptr<PlotHistoryFile> opened(new PlotHistoryFile(std::move(file), name));
  result = opened->Validate(size, unusable);
  if (status::IsFailure(result) || !unusable->empty()) {
    // Nothing may be written to a file we did not accept.
    opened->header_changed_ = opened->directory_changed_ = false;
    return status::IsFailure(result) ? result : status::kGeneralFailure;
  }
  *out = std::move(opened);
  return status::kOk;
}

Status PlotHistoryFile::Create(const char* name, double tolerance,
                               std::unique_ptr<PlotHistoryFile>* out) {
  out->reset();
  const std::string temp = std::string(name) + ".new";
  platform::RemoveFile(temp.c_str());  // ours from an earlier stop; holds no data
  Status result = status::kOk;
  {
    platform::FileOpenMode mode;
    mode.read = mode.write = mode.exclusive = true;
    int made_error = 0;
    platform::FileDescriptor made = platform::OpenOwnedFile(temp.c_str(), mode, &made_error);
    if (!made.valid()) return status::kOpenFailed;
    XosFileIO file(
        temp.c_str(), std::move(made),
        XosFileIO::kOpenAlways | XosFileIO::kRead | XosFileIO::kWrite | XosFileIO::kUpdate);
    Header header;
    header.tolerance = tolerance;
    header.first_directory = 1;
    header.next_unused = 2;
    Block bytes;
    header.Encode(&bytes);
    result = WriteExact(&file, 1, NewBlock(1, kDirectoryKind));
    if (status::IsSuccess(result)) result = WriteExact(&file, 0, bytes);
    int error = 0;
    if (status::IsSuccess(result) && !platform::SyncFile(file.Handle(), &error)) result = kIoFailed;
  }
  int error = 0;
  if (status::IsSuccess(result) && !platform::RenameFile(temp.c_str(), name, &error))
    result = kIoFailed;
  if (status::IsSuccess(result)) platform::SyncFolderOf(name, &error);
  if (status::IsFailure(result)) {
    platform::RemoveFile(temp.c_str());
    return result;
  }
  std::string unusable;
  return OpenExisting(name, out, &unusable);
}

Status PlotHistoryFile::Validate(std::uint64_t size, std::string* unusable) {
  unusable->clear();
  const std::uint64_t whole = (size + kBlockSize - 1) / kBlockSize;
  if (size < kBlockSize || whole > 0xFFFFFFFFu) {
    *unusable = size < kBlockSize ? "too short" : "too large";
    return status::kOk;
  }
  Block bytes;
  Status result = ReadExact(file_.get(), 0, &bytes);
  if (status::IsFailure(result)) return result;
  header_.Decode(bytes);
  if (header_.kind == kHeaderKind && header_.format < kFormat) {
    *unusable = "of an older format";
    return status::kOk;
  }
  if (OwnNumber(bytes) != 0 || header_.kind != kHeaderKind || header_.format != kFormat) {
    *unusable = "not a plot-history file of this format";
    return status::kOk;
  }
  const auto blocks = static_cast<std::uint32_t>(whole);
  std::vector<std::uint8_t> used(blocks, 0);
  used[0] = 1;
  if (!ReadChains(&used, unusable)) return status::kOk;
  // A stop between an allocation and its link leaves the header behind
  // the file; numbers above the file's end were never written.
  header_.next_unused = std::max<std::uint32_t>(blocks, 1);
  header_.entry_count = static_cast<std::uint32_t>(
      std::count_if(opened_.begin(), opened_.end(),
                    [](const DirectoryEntry& e) { return e.first_value_block != 0; }));
  CheckFreeChain(&used);
  header_changed_ = true;
  result = RecoverUnreferenced(used);
  if (status::IsFailure(result)) return result;
  if (header_.first_directory == 0) {
    const std::uint32_t n = AllocateBlock(&result);
    if (n == 0) return result;
    directory_ = NewBlock(n, kDirectoryKind);
    result = WriteExact(file_.get(), n, directory_);
    if (status::IsFailure(result)) return result;
    header_.first_directory = n;
    header_changed_ = true;
  }
  return WriteHeader();
}

// Every link must lead to an existing block of the right kind that no other
// chain holds; anything else is damage we do not guess around.
bool PlotHistoryFile::ReadChains(std::vector<std::uint8_t>* used, std::string* unusable) {
  const auto blocks = static_cast<std::uint32_t>(used->size());
  auto take = [&](std::uint32_t n, std::uint32_t kind, Block* block) -> bool {
    if (n == 0 || n >= blocks || (*used)[n] != 0) return false;
    if (status::IsFailure(ReadExact(file_.get(), n, block))) return false;
    if (OwnNumber(*block) != n || KindOf(*block) != kind) return false;
    (*used)[n] = 1;
    return true;
  };
  opened_.clear();
  Block block;
  for (std::uint32_t n = header_.first_directory; n != 0; n = NextLink(block)) {
    if (!take(n, kDirectoryKind, &block)) {
      *unusable = "damaged (directory chain)";
      return false;
    }
    opened_.push_back({NameOf(block), n, FirstValueBlock(block)});
    directory_ = block;
  }
  for (const DirectoryEntry& entry : opened_) {
    for (std::uint32_t n = entry.first_value_block; n != 0; n = NextLink(block)) {
      if (!take(n, kValueKind, &block) || LastUsed(block) >= kPairCount) {
        *unusable = "damaged (value chain of " + entry.name + ")";
        return false;
      }
    }
  }
  return true;
}

// A free chain that meets a linked block, leaves the file or loops is
// dropped (its blocks are then unreferenced and recovered); a sound one
// gets its true tail. Its blocks are marked used.
void PlotHistoryFile::CheckFreeChain(std::vector<std::uint8_t>* used) {
  const auto blocks = static_cast<std::uint32_t>(used->size());
  std::vector<std::uint8_t> in_free(blocks, 0);
  std::uint32_t tail = 0;
  Block block;
  for (std::uint32_t n = header_.free_head; n != 0; n = NextLink(block)) {
    if (n >= blocks || (*used)[n] != 0 || in_free[n] != 0 ||
        status::IsFailure(ReadExact(file_.get(), n, &block))) {
      header_.free_head = header_.free_tail = 0;
      return;
    }
    in_free[n] = 1;
    tail = n;
  }
  header_.free_tail = tail;
  for (std::uint32_t n = 0; n < blocks; ++n) (*used)[n] |= in_free[n];
}

// Blocks that nothing references go to the head of the free chain: each is
// written with its link first, and the header that names the new head last.
Status PlotHistoryFile::RecoverUnreferenced(const std::vector<std::uint8_t>& used) {
  std::vector<std::uint32_t> lost;
  for (std::uint32_t n = 1; n < used.size(); ++n) {
    if (used[n] == 0) lost.push_back(n);
  }
  if (lost.empty()) return status::kOk;
  for (std::size_t i = 0; i < lost.size(); ++i) {
    Block block = NewBlock(lost[i], 0);
    SetNextLink(&block, i + 1 < lost.size() ? lost[i + 1] : header_.free_head);
    const Status result = WriteExact(file_.get(), lost[i], block);
    if (status::IsFailure(result)) return result;
  }
  if (header_.free_head == 0) header_.free_tail = lost.back();
  header_.free_head = lost.front();
  header_changed_ = true;
  return WriteHeader();
}

Status PlotHistoryFile::WriteHeader() {
  Block bytes;
  header_.Encode(&bytes);
  const Status result = WriteExact(file_.get(), 0, bytes);
  if (status::IsSuccess(result)) header_changed_ = false;
  return result;
}

Status PlotHistoryFile::WriteCurrentBlock() {
  const Status result = WriteExact(file_.get(), OwnNumber(directory_), directory_);
  if (status::IsSuccess(result)) directory_changed_ = false;
  return result;
}

Status PlotHistoryFile::Flush() {
  if (file_ == nullptr) return kNotOpen;
  Status result = status::kOk;
  if (header_changed_) result = WriteHeader();
  if (status::IsSuccess(result) && directory_changed_) result = WriteCurrentBlock();
  return result;
}

Status PlotHistoryFile::ReadBlock(std::uint32_t number, Block* block) {
  if (number == 0 || number >= header_.next_unused) return kIoFailed;
  return ReadExact(file_.get(), number, block);
}

Status PlotHistoryFile::WriteBlock(const Block& block) {
  const std::uint32_t number = OwnNumber(block);
  if (number == 0 || number >= header_.next_unused) return kIoFailed;
  return WriteExact(file_.get(), number, block);
}

Status PlotHistoryFile::Write(std::uint32_t number, const Block& block) {
  return WriteExact(file_.get(), number, block);
}

std::uint32_t PlotHistoryFile::AllocateBlock(Status* result) {
  std::uint32_t n = header_.free_head;
  if (n != 0) {
    Block block;
    *result = ReadExact(file_.get(), n, &block);
    if (status::IsFailure(*result)) return 0;
    header_.free_head = NextLink(block);
    if (header_.free_head == 0) header_.free_tail = 0;
  } else {
    if (header_.next_unused == 0xFFFFFFFFu) {
      *result = kIoFailed;
      return 0;
    }
    n = header_.next_unused++;
  }
  header_changed_ = true;
  *result = WriteHeader();
  return status::IsSuccess(*result) ? n : 0;
}

Status PlotHistoryFile::FreeChain(std::uint32_t first) {
  if (first == 0) return status::kOk;
  // Find the chain's end; a chain never holds more blocks than the file.
  std::uint32_t last = first;
  Block block;
  for (std::uint32_t steps = 0;; ++steps) {
    if (steps >= header_.next_unused) return kIoFailed;
    const Status result = ReadBlock(last, &block);
    if (status::IsFailure(result)) return result;
    if (NextLink(block) == 0) break;
    last = NextLink(block);
  }
  if (header_.free_tail != 0) {
    const Status result = ReadBlock(header_.free_tail, &block);
    if (status::IsFailure(result)) return result;
    SetNextLink(&block, first);
    const Status written = Write(header_.free_tail, block);
    if (status::IsFailure(written)) return written;
  } else {
    header_.free_head = first;
  }
  header_.free_tail = last;
  header_changed_ = true;
  return status::kOk;
}

}  // namespace plot
