// Typed values in the virtual-stream form; what was read is saved again,
// printed and copied.
#include <sstream>
#include <string>

#include "foundation/persistence/memory_stream.h"
#include "foundation/values/typed_value.h"
#include "fuzz/fuzz_support.h"

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
  vantor_fuzz::ExerciseValue(value);
  return 0;
}
