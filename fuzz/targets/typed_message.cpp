// Typed values in message form: a u16 type code, then the body. What was
// read is written back, printed and copied, as a handler would use it.
#include <sstream>

#include "foundation/values/typed_value.h"
#include "fuzz/byte_stream.h"

namespace {

// What handlers do with a value read: add to it, look into it, compare.
void Exercise(const SUValue& value) {
  SUValue grown(value);
  grown.AddInt(3);
  grown.AddString("b");
  grown.FindInt(3);
  grown.FindString("b");
  grown.GetIntAt(0);
  grown.GetStringAt(0);
  grown.IsEqual(value);
  grown.IsLess(value);
  SUValue joined(value);
  joined.Add(grown);
  joined.Subtract(value);
  joined.MultiplyBy(grown);
  joined.DivideBy(value);
}

}  // namespace

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
    Exercise(value);
  }
  return 0;
}
