// Typed values in message form: a u16 type code, then the body. What was
// read is written back, printed and copied, as a handler would use it.
#include <sstream>

#include "foundation/values/typed_value.h"
#include "tests/support/memory_binary_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint16_t code = static_cast<std::uint16_t>(data[0] | data[1] << 8);
  testsupport::MemoryBinaryStream body(std::vector<std::uint8_t>(data + 2, data + size));
  SUValue value;
  if (value.ReadBinary(body, code) == 0) {
    testsupport::MemoryBinaryStream out;
    value.WriteBinary(out, true);
    std::ostringstream printed;
    value.Print(printed);
    SUValue copy(value);
    copy.Assign(value);
  }
  return 0;
}
