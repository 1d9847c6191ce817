// The folder a procedure-files request writes in, opened once and held for
// the request, and the files the generators make: each made under a
// temporary name through the descriptor of its folder and put in place of
// its name only when written whole.
#pragma once

#include <cstdio>
#include <string>

#include "platform/posix_file.h"
#include "platform/safe_write.h"

namespace codegen {

// Opened (platform::OpenFolderOnWay) when made, and while it lives the
// current one of this thread: a file made under its path is made through
// its descriptor, never through the path again, so that a name swapped
// after the open leads no write elsewhere.
class OutputFolder {
 public:
  explicit OutputFolder(const std::string& path);
  ~OutputFolder();
  OutputFolder(const OutputFolder&) = delete;
  OutputFolder& operator=(const OutputFolder&) = delete;

  bool opened() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  // Set when the open met another user's link.
  const std::string& others_link() const { return others_link_; }
  // The one of this thread, or null.
  static const OutputFolder* Current();
  // True when the current one is open and the folder is its path.
  static bool IsCurrent(const std::string& folder);

 private:
  friend platform::FileDescriptor FolderOfPath(const std::string&, std::string*, std::string*,
                                               int*);
  std::string path_;  // without a trailing separator, '/' for '\'
  platform::FileDescriptor fd_;
  std::string others_link_;
  const OutputFolder* previous_ = nullptr;
};

// The folder of the path held open, and in *name its last name: the
// current output folder when the path lies in it (a subfolder walked from
// it), else the folder walked by platform::OpenFolderOnWay. Invalid, with
// *others_link or *error set, when it cannot be opened so.
platform::FileDescriptor FolderOfPath(const std::string& path, std::string* name,
                                      std::string* others_link, int* error);

// A generated file written through a stream; Close() puts it in place
// when every write succeeded (false, *error set, when not), and the
// destructor closes.
class OutputFile {
 public:
  OutputFile() = default;
  // Refused (no stream) with *others_link or *error set.
  static OutputFile Open(const std::string& path, std::string* others_link, int* error);
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&&) = delete;
  ~OutputFile() { Close(); }
  std::FILE* get() const { return stream_; }
  bool Close(int* error = nullptr);

 private:
  platform::NewFile file_;
  std::FILE* stream_ = nullptr;
};

// The line that refuses a write through another user's link.
std::string ThroughOthersLink(const std::string& path, const std::string& link);
}  // namespace codegen
