// Object graphs in the binary file form, restored as data from outside is.
#include <cstdio>

#include "foundation/persistence/file_stream.h"
#include "foundation/persistence/guarded_restore.h"
#include "tests/foundation/graph_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  testobjects::File file(std::tmpfile());
  if (size > 0) std::fwrite(data, 1, size, file.get());
  std::rewind(file.get());
  ClFileStream stream(file.get());
  const ClRestoreOutcome outcome = GuardedRestoreFromFile(stream);
  testobjects::DestroyGraph(outcome.object);
  return 0;
}
