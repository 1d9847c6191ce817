// Service-113 request bodies. The first byte picks the sub-kind; for a
// generation request the header is made here (nothing requested, a
// scratch folder, no build) so that only the definitions come from the
// input and no file is written outside that folder. A flowsheet export
// gets its folder and name here too; its references are u32 words (even
// ones resolve) and the export itself does nothing. A type export gets its
// folder, name and flags up to the build flag (off) here. With bit 0x80 of
// the second byte an export's name comes from the input: a length byte and
// that many bytes.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "codegen/files/proc_files.h"
#include "fuzz/byte_stream.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  static const std::string folder = [] {
    const std::string made = vantor_fuzz::ScratchFolder() + "/procfiles";
    std::error_code ignored;
    std::filesystem::create_directories(made, ignored);
    return made;
  }();
  const std::uint16_t kinds[] = {0, 2, 3, 5, 6, 1, 4};
  const std::uint16_t kind = kinds[data[0] % 7];
  std::size_t rest = 2;
  std::string name = "fuzz";
  if ((kind == 1 || kind == 4) && (data[1] & 0x80) != 0 && size > 2) {
    const std::size_t length = std::min<std::size_t>(data[2], size - 3);
    name.assign(reinterpret_cast<const char*>(data + 3), length);
    rest = 3 + length;
  }
  vantor_fuzz::ByteStream body;
  body.PutUInt16(kind);
  if (kind == 0) {
    body.PutUInt32(0);
    body.PutString(folder.c_str());
    body.PutUInt32(data[1] % 4);
    body.PutString("");
    body.PutUInt8(0);
  } else if (kind == 1) {
    body.PutString(folder.c_str());
    body.PutString(name.c_str());
  } else if (kind == 4) {
    // A type export writes its makefile into the scratch folder and never
    // builds.
    body.PutString(folder.c_str());
    body.PutString(name.c_str());
    body.PutUInt32(0);
    body.PutUInt32(0);
  }
  std::vector<std::uint8_t> bytes = body.Bytes();
  bytes.insert(bytes.end(), data + rest, data + size);
  vantor_fuzz::ByteStream request(bytes);
  vantor_fuzz::ByteStream reply;
  codegen::ProcFilesContext context;
  context.server_folder = folder;
  context.make_reply = [&reply]() -> BvuBinaryStream* { return &reply; };
  static int variables[4];
  context.read_reference = [](BvuBinaryStream& in, codegen::ResolvedReference* resolved) {
    std::uint32_t id = 0;
    const Status s = in.GetUInt32(&id);
    if (id % 2 == 0) {
      resolved->variable = reinterpret_cast<QLNVariable*>(&variables[id % 4]);
      resolved->index = static_cast<std::int32_t>(id % 64);
    }
    return s;
  };
  const std::int32_t count = data[1] % 8;
  context.problem_variables = [count] { return count; };
  context.export_flowsheet = [](const codegen::ExportRequest&, std::int32_t*) { return Status{0}; };
  codegen::HandleProcFilesRequest(request, context);
  return 0;
}
