// Object references of client requests: an id path into the instance tree,
// taken as the variable of the object it names.
#include "control/managers/instance_mgr.h"
#include "control/problem/problem_manager.h"
#include "daes/model/var_table_entry.h"
#include "daes/problem/problem.h"
#include "foundation/directory/directory_node.h"
#include "foundation/directory/id_path.h"
#include "foundation/interfaces/current_objects.h"

Status SimProblemMgr::ReadObjectReference(BvuBinaryStream& in, QLNVariable** variable,
                                          std::int32_t* index) {
  *variable = nullptr;
  *index = 0;
  Status read = status::kOk;
  const BvuIdPath path(in, &read);
  if (status::IsFailure(read)) return read;
  BvuDirectoryNode* node = nullptr;
  SimInstanceMgr* tree = Instances();
  if (tree == nullptr || status::IsFailure(tree->ResolveIdPath(path.ids(), &node)) ||
      node == nullptr) {
    return status::kOk;
  }
  auto* entry = static_cast<DAESVarTableEntry*>(node->AsValueEntry());
  if (entry == nullptr) return status::kOk;
  *variable = entry;
  if (DAESProblem* problem = GetCurrentProblem()) *index = problem->ColumnOf(entry);
  return status::kOk;
}
