// Expression graphs in the virtual-stream form, restored through the
// factory as stored data from outside is.
#include <string>

#include "fuzz/expr_graphs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vantor_fuzz::KeepOnlyExpressionClasses();
  ClMemoryInStream in(std::string(reinterpret_cast<const char*>(data), size));
  vantor_fuzz::UseAndRelease(GuardedRestore(in, nullptr, &DisposeRestoredExpression), false);
  return 0;
}
