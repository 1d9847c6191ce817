// Service-113 request bodies. The first byte picks the sub-kind; for a
// generation request the header is made here (nothing requested, a
// scratch folder, no build) so that only the definitions come from the
// input and no file is written outside that folder.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "codegen/files/proc_files.h"
#include "fuzz/byte_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  static const std::string folder = [] {
    char pattern[] = "/tmp/vantor_fuzz_procfiles_XXXXXX";
    const char* made = mkdtemp(pattern);
    return std::string(made != nullptr ? made : "/nonexistent");
  }();
  const std::uint16_t kinds[] = {0, 2, 3, 5, 6};
  const std::uint16_t kind = kinds[data[0] % 5];
  vantor_fuzz::ByteStream body;
  body.PutUInt16(kind);
  if (kind == 0) {
    body.PutUInt32(0);
    body.PutString(folder.c_str());
    body.PutUInt32(data[1] % 4);
    body.PutString("");
    body.PutUInt8(0);
  }
  std::vector<std::uint8_t> bytes = body.Bytes();
  bytes.insert(bytes.end(), data + 2, data + size);
  vantor_fuzz::ByteStream request(bytes);
  vantor_fuzz::ByteStream reply;
  codegen::ProcFilesContext context;
  context.server_folder = folder;
  context.make_reply = [&reply]() -> BvuBinaryStream* { return &reply; };
  codegen::HandleProcFilesRequest(request, context);
  return 0;
}
