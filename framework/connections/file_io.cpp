#include "framework/connections/file_io.h"

#include <cctype>
#include <cerrno>
#include <cstddef>
#include <utility>

#include "framework/connections/io_status.h"
#include "platform/posix_file.h"

namespace {

// 0 for a letter outside the table.
std::uint16_t FlagOfLetter(char letter) {
  switch (std::toupper(static_cast<unsigned char>(letter))) {
    case 'S':
      return XosFileIO::kShared;
    case 'B':
      return XosFileIO::kBinary;
    case 'R':
      return XosFileIO::kRead;
    case 'W':
      return XosFileIO::kWrite;
    case 'N':
      return XosFileIO::kOpenAlways;
    case 'E':
      return XosFileIO::kMustExist;
    case '+':
      return XosFileIO::kUpdate;
    case 'T':
      return XosFileIO::kText;
    default:
      return 0;
  }
}

}  // namespace

XosFileIO::XosFileIO(const char* name, const char* mode, Status* result)
    : XosFileIO(name, mode, result, true) {}

XosFileIO::XosFileIO(const char* name, platform::FileDescriptor handle, std::uint16_t mode_flags)
    : name_(name != nullptr ? name : ""), handle_(std::move(handle)), mode_flags_(mode_flags) {}

XosFileIO::XosFileIO(const char* name, const char* mode, Status* result, bool follow_links)
    : name_(name != nullptr ? name : "") {
  Status outcome = status::kOk;
  for (const char* p = mode != nullptr ? mode : ""; *p != '\0'; ++p) {
    const std::uint16_t flag = FlagOfLetter(*p);
    if (flag == 0) {
      outcome = status::kUnhandled;
      break;
    }
    // "N" and "E" exclude each other: the later letter wins.
    if (flag == kOpenAlways) mode_flags_ &= static_cast<std::uint16_t>(~kMustExist);
    if (flag == kMustExist) mode_flags_ &= static_cast<std::uint16_t>(~kOpenAlways);
    mode_flags_ |= flag;
  }
  if (outcome == status::kOk) {
    // Sharing, text and binary have no meaning for a POSIX descriptor.
    platform::FileOpenMode open_mode;
    open_mode.read = (mode_flags_ & kRead) != 0;
    open_mode.write = (mode_flags_ & kWrite) != 0;
    open_mode.create = (mode_flags_ & kMustExist) == 0;
    open_mode.no_follow = !follow_links;
    int error = 0;
    handle_ = platform::OpenOwnedFile(name_.c_str(), open_mode, &error);
    if (!handle_.valid()) {
      last_system_error_ = static_cast<std::uint32_t>(error);
      outcome = (error == ENOENT && !open_mode.create) ? status::kNotFound : status::kOpenFailed;
    }
  }
  if (result != nullptr) *result = outcome;
}

XosFileIO::~XosFileIO() {
  if (!handle_.valid()) return;
  int error = 0;
  if (!handle_.Close(&error)) {
    last_system_error_ = static_cast<std::uint32_t>(error);
    return;
  }
  if ((mode_flags_ & kDeleteOnClose) != 0) platform::RemoveFile(name_.c_str());
}

void XosFileIO::SetDeleteOnClose(bool on) {
  if (on) {
    mode_flags_ |= kDeleteOnClose;
  } else {
    mode_flags_ &= static_cast<std::uint16_t>(~kDeleteOnClose);
  }
}

Status XosFileIO::ReadAt(void* buffer, std::uint32_t count, std::uint32_t* read,
                         std::uint64_t* position) {
  if (read != nullptr) *read = 0;
  if (!handle_.valid()) return status::kOpenFailed;
  const std::uint64_t at = position != nullptr ? *position : position_;
  std::size_t done = 0;
  int error = 0;
  if (!platform::ReadFileAt(handle_.get(), buffer, count, at, &done, &error)) {
    last_system_error_ = static_cast<std::uint32_t>(error);
    return status::kUnhandled;
  }
  position_ = at + done;
  if (position != nullptr) *position = position_;
  if (read != nullptr) *read = static_cast<std::uint32_t>(done);
  return status::kOk;
}

Status XosFileIO::WriteAt(const void* buffer, std::uint32_t count, std::uint32_t* written,
                          std::uint64_t* position) {
  if (written != nullptr) *written = 0;
  if (!handle_.valid()) return status::kOpenFailed;
  const std::uint64_t at = position != nullptr ? *position : position_;
  std::size_t done = 0;
  int error = 0;
  const bool ok = platform::WriteFileAt(handle_.get(), buffer, count, at, &done, &error);
  // Bytes that reached the file count even when a full disk stopped the rest.
  position_ = at + done;
  if (position != nullptr) *position = position_;
  if (written != nullptr) *written = static_cast<std::uint32_t>(done);
  if (!ok) {
    last_system_error_ = static_cast<std::uint32_t>(error);
    return status::kUnhandled;
  }
  return status::kOk;
}

Status XosFileIO::Write(const void* buffer, std::uint32_t count, std::uint32_t* written) {
  return WriteAt(buffer, count, written, nullptr);
}

Status XosFileIO::Read(void* buffer, std::uint32_t count, std::uint32_t* read) {
  return ReadAt(buffer, count, read, nullptr);
}
