// The message printer's formats as the numeric routines and user libraries
// hand them over: a blank-padded format of a given length and five argument
// addresses, each of which any conversion may read (as a number, a
// character, a narrow or 16-bit text, or an object pointer that fails the
// alignment test).
#include <cstring>

#include "foundation/messages/su_print.h"
#include "fuzz/fuzz_support.h"

namespace {

struct AnyArgument {
  alignas(16) unsigned char bytes[64];
  AnyArgument() {
    std::memset(bytes, 'A', sizeof bytes);
    std::memset(bytes + 48, 0, 16);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vantor_fuzz::InstallQuietCollector();
  static const AnyArgument any;
  const void* a = any.bytes;
  const Status status = 0;
  // The printer reads exactly the length given: no terminator is needed.
  SuPrintNumeric(&status, reinterpret_cast<const char*>(data), a, a, a, a, a,
                 static_cast<std::int32_t>(size));
  SuPrint(0, "");  // closes a line that a "%&" left open
  return 0;
}
