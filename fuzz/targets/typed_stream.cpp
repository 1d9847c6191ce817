// Typed values in the virtual-stream form; what was read is saved again,
// printed and copied.
#include <sstream>
#include <string>

#include "foundation/persistence/memory_stream.h"
#include "foundation/values/typed_value.h"

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
  ClMemoryInStream in(std::string(reinterpret_cast<const char*>(data), size));
  SUValue value;
  value.RestoreFromVStream(in);
  ClMemoryOutStream out;
  value.SaveToVStream(out);
  std::ostringstream printed;
  value.Print(printed);
  SUValue copy(value);
  copy.Assign(value);
  Exercise(value);
  return 0;
}
