// Procedure definitions: the first byte chooses the form (message, virtual
// stream, binary file), the rest is read into a fresh definition, which is
// then written again in every form.
#include <cstdio>
#include <sstream>

#include "daes/procedures/proc_def.h"
#include "foundation/persistence/file_stream.h"
#include "foundation/persistence/memory_stream.h"
#include "fuzz/byte_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t form = data[0] % 3;
  ++data, --size;
  DAESProcDefWithExceptionHandler d;
  if (form == 0) {
    vantor_fuzz::ByteStream body(std::vector<std::uint8_t>(data, data + size));
    d.ReadFromMessage(body);
  } else if (form == 1) {
    ClMemoryInStream in(std::string(reinterpret_cast<const char*>(data), size));
    d.RestoreFromVStream(in);
  } else {
    std::FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    if (file == nullptr) return 0;
    ClFileStream stream(file);
    d.RestoreFromFile(stream);
    std::fclose(file);
  }
  vantor_fuzz::ByteStream out;
  d.WriteDefinition(out);
  ClMemoryOutStream text(1 << 22);
  d.SaveToVStream(text);
  std::ostringstream lines;
  FindProcGenerator generator;
  generator.out = &lines;
  d.WriteFindProc(generator);
  return 0;
}
