#include "codegen/output_folder.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace codegen {
namespace {
thread_local const OutputFolder* g_current = nullptr;

// '/' for '\', and no trailing separator but the root's.
std::string Normal(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}
}  // namespace

OutputFolder::OutputFolder(const std::string& path) : path_(Normal(path)) {
  int error = 0;
  fd_ = platform::OpenFolderOnWay(path_.empty() ? std::string(".") : path_, &others_link_, &error);
  previous_ = g_current;
  g_current = this;
}

OutputFolder::~OutputFolder() { g_current = previous_; }

const OutputFolder* OutputFolder::Current() { return g_current; }

bool OutputFolder::IsCurrent(const std::string& folder) {
  return g_current != nullptr && g_current->opened() && Normal(folder) == g_current->path_;
}

platform::FileDescriptor FolderOfPath(const std::string& path, std::string* name,
                                      std::string* others_link, int* error) {
  const std::string normal = Normal(path);
  const std::size_t cut = normal.rfind('/');
  const std::string folder = cut == std::string::npos ? std::string()
                             : cut == 0               ? std::string("/")
                                                      : normal.substr(0, cut);
  *name = cut == std::string::npos ? normal : normal.substr(cut + 1);
  const OutputFolder* held = g_current;
  if (held != nullptr && held->opened()) {
    const std::string& top = held->path_;
    if (folder == top) {
      return platform::FileDescriptor(::fcntl(held->fd(), F_DUPFD_CLOEXEC, 0));
    }
    // Below it: walked from it, the held folder not looked up again.
    const bool relative_below = top.empty() && !folder.empty() && folder[0] != '/';
    if (relative_below)
      return platform::OpenFolderOnWay(held->fd(), ".", folder, others_link, error);
    const std::string lead = top == "/" ? top : top + "/";
    if (!top.empty() && folder.compare(0, lead.size(), lead) == 0) {
      return platform::OpenFolderOnWay(held->fd(), top == "/" ? "" : top,
                                       folder.substr(lead.size()), others_link, error);
    }
  }
  return platform::OpenFolderOnWay(folder.empty() ? std::string(".") : folder, others_link, error);
}

OutputFile OutputFile::Open(const std::string& path, std::string* others_link, int* error) {
  OutputFile out;
  std::string name;
  const platform::FileDescriptor folder = FolderOfPath(path, &name, others_link, error);
  if (!folder.valid()) return out;
  out.file_ = platform::NewFile::Make(folder.get(), name, error);
  if (!out.file_.valid()) return out;
  platform::FileDescriptor fd = out.file_.TakeDescriptor();
  out.stream_ = ::fdopen(fd.get(), "w");
  if (out.stream_ == nullptr) {
    if (error != nullptr) *error = errno;
    out.file_.Drop();
    return out;
  }
  fd.Release();
  return out;
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : file_(std::move(other.file_)), stream_(std::exchange(other.stream_, nullptr)) {}

bool OutputFile::Close(int* error) {
  if (stream_ == nullptr) return false;
  const bool written = std::ferror(stream_) == 0;
  const bool closed = std::fclose(stream_) == 0;
  const int why = errno;
  stream_ = nullptr;
  // A file that did not reach the disk whole never takes the name.
  if (!written || !closed) {
    file_.Drop();
    if (error != nullptr) *error = why;
    return false;
  }
  return file_.Place(error);
}

std::string ThroughOthersLink(const std::string& path, const std::string& link) {
  return "Nothing is written through " + (path.empty() ? std::string(".") : path) +
         ": the symbolic link " + link + " on its way belongs to another user\n";
}
}  // namespace codegen
