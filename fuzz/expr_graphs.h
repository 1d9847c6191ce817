// Shared by the stored-form expression targets: the factory as an
// expression reader sees it, and the use and release of what a restore
// gives back.
#pragma once

#include <sstream>
#include <vector>

#include "expr/store/restore_helpers.h"
#include "expr/tree/expression.h"
#include "expr/tree/list_expression.h"
#include "foundation/collections/factory.h"
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

// Prints and saves again what was restored, then frees it: a root node
// holds no reference when it comes back, so one is taken and given back.
inline void UseAndRelease(const ClRestoreOutcome& outcome) {
  if (outcome.status != status::kOk || outcome.object == nullptr) return;
  if (auto* node = dynamic_cast<Expression*>(outcome.object)) {
    node->AddRef();
    std::ostringstream printed;
    Expression::PrintNode(printed, node);
    ClMemoryOutStream again;
    StoreCollectable(again, node);
    node->Release();
    return;
  }
  delete outcome.object;  // an expression list or variable alone
}

}  // namespace vantor_fuzz
