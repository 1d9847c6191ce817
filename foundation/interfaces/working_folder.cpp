#include "foundation/interfaces/working_folder.h"

#include <string>

#include "foundation/files/file_utilities.h"
#include "platform/posix_file.h"

namespace SimWorkingFolder {

Status SetCurrentFolder(const char* path) {
  std::string wanted;
  if (path == nullptr) {
    wanted = ".";
  } else if (path == kParentFolder) {
    wanted = "..";
  } else {
    wanted = path;
    // A bare drive names its root, not the drive's current folder.
    if (wanted.size() == 2 && wanted[1] == ':') wanted += '\\';
  }
  const std::string native = NativeFilePath(wanted.c_str());
  return platform::ChangeDirectory(native.c_str()) ? kOk : kFailure;
}

Status QueryPath(const char* path, std::uint32_t* flags) {
  if (flags != nullptr) *flags = 0;
  if (path == nullptr) return kFailure;
  const std::string native = NativeFilePath(path);
  platform::FileInfo info;
  if (!platform::GetFileInfo(native.c_str(), &info, nullptr)) return kFailure;
  if (flags != nullptr) {
    using platform::Access;
    std::uint32_t found = 0;
    if (info.is_directory) found |= kPathDirectory;
    if (platform::IsAccessible(native.c_str(), Access::kRead)) found |= kPathReadable;
    if (platform::IsAccessible(native.c_str(), Access::kWrite)) found |= kPathWritable;
    if (platform::IsAccessible(native.c_str(), Access::kExecute)) found |= kPathExecutable;
    *flags = found;
  }
  return kOk;
}

}  // namespace SimWorkingFolder
