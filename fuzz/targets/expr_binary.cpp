// Expression graphs in the binary file form, restored through the factory
// as stored data from outside is.
#include <cstdio>
#include <memory>

#include "foundation/persistence/file_stream.h"
#include "fuzz/expr_graphs.h"

namespace {

struct Closer {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vantor_fuzz::KeepOnlyExpressionClasses();
  const std::unique_ptr<std::FILE, Closer> file(std::tmpfile());
  if (file == nullptr) return 0;
  if (size > 0) std::fwrite(data, 1, size, file.get());
  std::rewind(file.get());
  ClFileStream stream(file.get());
  vantor_fuzz::UseAndRelease(GuardedRestoreFromFile(stream, nullptr, &DisposeRestoredExpression),
                             true);
  return 0;
}
