#include "foundation/interfaces/working_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "foundation/files/file_utilities.h"

namespace SimWorkingFolder {

Status SetCurrentFolder(const char* path) {
  const std::string native = NativeFilePath(path != nullptr ? path : ".");
  return ::chdir(native.c_str()) == 0 ? kOk : kFailure;
}

Status QueryPath(const char* path, std::uint32_t* flags) {
  if (flags != nullptr) *flags = 0;
  if (path == nullptr) return kFailure;
  const std::string native = NativeFilePath(path);
  struct stat info {};
  if (::stat(native.c_str(), &info) != 0) return kFailure;
  if (flags != nullptr) {
    std::uint32_t found = 0;
    if (S_ISDIR(info.st_mode)) found |= kPathDirectory;
    if (::access(native.c_str(), R_OK) == 0) found |= kPathReadable;
    if (::access(native.c_str(), W_OK) == 0) found |= kPathWritable;
    if (::access(native.c_str(), X_OK) == 0) found |= kPathExecutable;
    *flags = found;
  }
  return kOk;
}

}  // namespace SimWorkingFolder
