// Shared by the stored-form expression targets: the factory as an
// expression reader sees it, and the use, round trip and release of what a
// restore gives back.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "expr/store/restore_helpers.h"
#include "expr/tree/expression.h"
#include "expr/tree/list_expression.h"
#include "foundation/collections/factory.h"
#include "foundation/persistence/file_stream.h"
#include "foundation/persistence/guarded_restore.h"
#include "foundation/persistence/memory_stream.h"
#include "foundation/persistence/persistence.h"

namespace vantor_fuzz {

// Leaves only the expression family in the factory, once: a graph whose
// root is some other collectable is then refused by the restore itself,
// as a reader of expressions refuses it, instead of being handed back to a
// caller that cannot know how to free it.
inline void KeepOnlyExpressionClasses() {
  static const bool done = [] {
    EnsureExpressionClassesRegistered();
    std::vector<std::uint16_t> others;
    GetFactory()->Apply(
        [](ClCollectable* item, void* data) {
          const std::uint16_t id = static_cast<ClFunctionAssociation*>(item)->Id();
          if (id != exprclass::kExpressionList && id != exprclass::kExpressionVariable &&
              (id < exprclass::kExpression || id > exprclass::kProcCall) &&
              id != exprclass::kSysFun) {
            static_cast<std::vector<std::uint16_t>*>(data)->push_back(id);
          }
        },
        &others);
    for (std::uint16_t id : others) UnregisterClassId(id);
    return true;
  }();
  (void)done;
}

inline void Require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "stored expression: %s\n", what);
  std::abort();
}

// Frees a restored root: it holds no reference when it comes back.
inline void Free(ClCollectable* object) {
  if (auto* node = dynamic_cast<Expression*>(object)) {
    node->AddRef();
    node->Release();
    return;
  }
  delete object;  // an expression list or variable alone
}

inline std::string SavedText(const ClCollectable* object) {
  ClMemoryOutStream out;
  StoreCollectable(out, object);
  return out.Text();
}

inline std::string SavedBinary(const ClCollectable* object) {
  std::FILE* file = std::tmpfile();
  if (file == nullptr) return {};
  {
    ClFileStream stream(file);
    StoreCollectableToFile(stream, object);
  }
  std::fflush(file);
  std::string bytes;
  std::rewind(file);
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
    bytes.append(buffer, n);
  std::fclose(file);
  return bytes;
}

inline ClRestoreOutcome RestoredBinary(const std::string& bytes) {
  std::FILE* file = std::tmpfile();
  if (file == nullptr) return {status::kGeneralFailure, nullptr, {}};
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::rewind(file);
  ClFileStream stream(file);
  ClRestoreOutcome outcome = GuardedRestoreFromFile(stream, nullptr, &DisposeRestoredExpression);
  std::fclose(file);
  return outcome;
}

// What a restore gave is saved in `form`, restored again and saved again:
// both saves must be the same bytes.
inline void RequireRoundTrip(const ClCollectable* object, bool binary) {
  const std::string saved = binary ? SavedBinary(object) : SavedText(object);
  ClMemoryInStream in(saved);
  const ClRestoreOutcome again =
      binary ? RestoredBinary(saved) : GuardedRestore(in, nullptr, &DisposeRestoredExpression);
  Require(again.status == status::kOk, "what was saved again did not restore");
  Require((binary ? SavedBinary(again.object) : SavedText(again.object)) == saved,
          "a graph saved, restored and saved again changed");
  Free(again.object);
}

// Prints what was restored, checks that it goes through the form it came
// in again unchanged, then frees it.
inline void UseAndRelease(const ClRestoreOutcome& outcome, bool binary) {
  if (outcome.status != status::kOk || outcome.object == nullptr) return;
  if (auto* node = dynamic_cast<Expression*>(outcome.object)) {
    std::ostringstream printed;
    Expression::PrintNode(printed, node);
  }
  RequireRoundTrip(outcome.object, binary);
  Free(outcome.object);
}

}  // namespace vantor_fuzz
