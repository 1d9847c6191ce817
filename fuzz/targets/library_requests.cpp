// Service-61 requests of the library manager, several to an input: nodes
// set, replaced and deleted by item kind, further definition data, then the
// expressions of the tree evaluated for their kinds and the tree emptied as
// a detach does.
#include "control/managers/library_mgr.h"
#include "daes/procedures/proc_def.h"
#include "expr/tree/expression.h"
#include "fuzz/byte_stream.h"

namespace {

constexpr int kMostRequests = 16;

void Visit(BvuDirectoryNode* node, int depth) {
  if (depth > 4) return;
  int visited = 0;
  for (std::int32_t i = NextChildIndex(node, node->LowIndex());
       i <= node->HighIndex() && visited < 64; i = NextChildIndex(node, i + 1), ++visited) {
    BvuDirectoryNode* child = node->ChildAt(i);
    if (child == nullptr) continue;
    if (auto* expression = dynamic_cast<LibExprNode*>(child)) {
      if (expression->GetExpression() != nullptr) expression->GetExpression()->NodeCount();
    } else if (auto* procedure = dynamic_cast<LibProcNode*>(child)) {
      if (procedure->Definition() != nullptr) procedure->Definition()->EntryName();
    }
    Visit(child, depth + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vantor_fuzz::ByteStream body(std::vector<std::uint8_t>(data, data + size));
  SimLibraryMgr manager;
  for (int n = 0; n < kMostRequests && body.Remaining() > 0; ++n) {
    const std::size_t before = body.Remaining();
    manager.ServeRequest(body);
    if (body.Remaining() == before) break;
  }
  Visit(&manager, 0);
  manager.DetachProblem("w", "NULL");
  return 0;
}
