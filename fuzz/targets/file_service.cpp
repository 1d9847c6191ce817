// The file service's requests: a u16 command number and its fields. One
// command runs per input, inside a folder of its own two levels below this
// process's scratch folder. Separators, dots and '~' are replaced before the
// request is served, so that no path the fuzzer makes can leave that folder
// (one command can climb one level at most).
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "framework/servers/file_service.h"
#include "fuzz/byte_stream.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace fs = std::filesystem;
  static const fs::path deep = fs::path(vantor_fuzz::ScratchFolder()) / "files" / "a" / "b";
  static const fs::path before = fs::current_path();
  std::error_code ignored;
  fs::create_directories(deep, ignored);
  if (!fs::exists(deep / "x")) std::ofstream(deep / "x") << "x";

  std::vector<std::uint8_t> bytes(data, data + size);
  for (auto& byte : bytes) {
    if (byte == '/' || byte == '\\' || byte == '.' || byte == '~') byte = 'x';
  }
  if (::chdir(deep.c_str()) != 0) return 0;
  vantor_fuzz::ByteStream request(bytes);
  std::unique_ptr<vantor_fuzz::ByteStream> reply;
  RunFileCommand(request, [&reply]() -> BvuBinaryStream* {
    reply = std::make_unique<vantor_fuzz::ByteStream>();
    return reply.get();
  });
  fs::current_path(before, ignored);
  return 0;
}
