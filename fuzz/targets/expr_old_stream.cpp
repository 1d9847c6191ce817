// Expression graphs in the layouts of earlier versions (class ids 100 to
// 111, mixed with the current ones), restored through the factory as stored
// data from outside is.
#include <string>
#include <vector>

#include "expr/store/old_layouts.h"
#include "fuzz/expr_graphs.h"

namespace {

bool Kept(std::uint16_t id) {
  const bool current = id == exprclass::kExpressionList || id == exprclass::kExpressionVariable ||
                       id == exprclass::kSysFun ||
                       (id >= exprclass::kExpression && id <= exprclass::kProcCall);
  const bool old = id == oldclass::kVarRef || id == oldclass::kHomList ||
                   id == oldclass::kProcIOList || id == oldclass::kProcCall ||
                   id == oldclass::kTerminal || id == oldclass::kUnary || id == oldclass::kBinary ||
                   id == oldclass::kList || id == oldclass::kVariable;
  return current || old;
}

// The factory as a reader of old expressions sees it, once.
void KeepExpressionClasses() {
  static const bool done = [] {
    EnsureExpressionClassesRegistered();
    std::vector<std::uint16_t> others;
    GetFactory()->Apply(
        [](ClCollectable* item, void* data) {
          const std::uint16_t id = static_cast<ClFunctionAssociation*>(item)->Id();
          if (!Kept(id)) static_cast<std::vector<std::uint16_t>*>(data)->push_back(id);
        },
        &others);
    for (std::uint16_t id : others) UnregisterClassId(id);
    return true;
  }();
  (void)done;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  KeepExpressionClasses();
  ClMemoryInStream in(std::string(reinterpret_cast<const char*>(data), size));
  vantor_fuzz::UseAndRelease(GuardedRestore(in, nullptr, &DisposeRestoredExpression), false);
  return 0;
}
