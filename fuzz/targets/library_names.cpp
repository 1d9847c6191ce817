// A library file's dynamic section: the names the loader would look for
// beside it, read through a descriptor as the trust check reads them, and
// the check itself judging what they name, the file in a folder of ours.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz/fuzz_support.h"
#include "platform/dynamic_library.h"
#include "platform/posix_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int fd = ::memfd_create("library", MFD_CLOEXEC);
  if (fd < 0 || ::ftruncate(fd, 0) != 0) return 0;
  std::size_t done = 0;
  int error = 0;
  if (size > 0 && !platform::WriteFileAt(fd, data, size, 0, &done, &error)) return 0;
  platform::LibraryNames names;
  platform::ReadLibraryNames(fd, &names);

  static const std::string file = vantor_fuzz::ScratchFolder() + "/library.so";
  std::FILE* out = std::fopen(file.c_str(), "wb");
  if (out == nullptr) return 0;
  if (size > 0) std::fwrite(data, 1, size, out);
  std::fclose(out);
  platform::CheckedLibrary checked;
  platform::CheckLibraryFile(file, &checked);
  return 0;
}
