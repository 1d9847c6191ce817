// A library file's dynamic section: the names the loader would look for
// beside it, read through a descriptor as the trust check reads them, and
// the check itself judging what they name, the file in a folder of ours:
// as the library loaded, and as one a level below it, which a library of
// ours needs from that folder, named by its RUNPATH.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/dynamic_library.h"
#include "platform/posix_file.h"
#include "tests/support/elf_library.h"

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

  static const std::string below = vantor_fuzz::ScratchFolder() + "/libbelow.so";
  static const std::string front = [] {
    const std::string path = vantor_fuzz::ScratchFolder() + "/front.so";
    const std::vector<std::uint8_t> bytes = testsupport::ElfLibrary(
        {{DT_NEEDED, "libbelow.so"}, {DT_RUNPATH, vantor_fuzz::ScratchFolder()}});
    if (std::FILE* made = std::fopen(path.c_str(), "wb")) {
      std::fwrite(bytes.data(), 1, bytes.size(), made);
      std::fclose(made);
    }
    return path;
  }();
  std::error_code ignored;
  std::filesystem::copy_file(file, below, std::filesystem::copy_options::overwrite_existing,
                             ignored);
  platform::CheckLibraryFile(front, &checked);
  return 0;
}
