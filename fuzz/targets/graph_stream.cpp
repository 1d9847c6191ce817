// Object graphs in the virtual-stream form, restored as data from outside is.
#include <string>

#include "foundation/persistence/guarded_restore.h"
#include "foundation/persistence/memory_stream.h"
#include "tests/foundation/graph_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ClMemoryInStream in(std::string(reinterpret_cast<const char*>(data), size));
  const ClRestoreOutcome outcome = GuardedRestore(in);
  testobjects::DestroyGraph(outcome.object);
  return 0;
}
