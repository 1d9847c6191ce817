// Typed values in message form: a u16 type code, then the body. What was
// read is written back, printed and copied, as a handler would use it.
#include <sstream>

#include "foundation/values/typed_value.h"
#include "fuzz/byte_stream.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint16_t code = static_cast<std::uint16_t>(data[0] | data[1] << 8);
  vantor_fuzz::ByteStream body(std::vector<std::uint8_t>(data + 2, data + size));
  SUValue value;
  if (value.ReadBinary(body, code) == 0) {
    vantor_fuzz::ByteStream out;
    value.WriteBinary(out, true);
    std::ostringstream printed;
    value.Print(printed);
    SUValue copy(value);
    copy.Assign(value);
    vantor_fuzz::ExerciseValue(value);
  }
  return 0;
}
