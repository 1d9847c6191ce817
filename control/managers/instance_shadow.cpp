#include "control/managers/instance_shadow.h"

#include <utility>
#include <vector>

#include "control/managers/tree_place.h"
#include "daes/equations/equation_node.h"
#include "daes/events/switch_equation.h"
#include "daes/events/switch_node.h"
#include "daes/instance/instance_node.h"
#include "daes/model/parameter.h"
#include "daes/model/variable.h"

namespace {

// The item tag that makes a parameter of the value's type.
std::int32_t ParameterTag(std::uint16_t type) {
  switch (type) {
    case SUValue::kInteger:
      return 16;
    case SUValue::kString:
      return 17;
    case SUValue::kReal:
      return 19;
    case SUValue::kLogical:
      return 23;
    case SUValue::kStringSet:
      return 26;
    case SUValue::kIntSet:
      return 27;
    default:
      return 0;
  }
}

// The stand-in of one node; *descend says whether its children are copied
// as well (a variable's only child is its derivative, made with it).
BvuDirectoryNode* StandIn(BvuDirectoryNode* node, BvuDirectoryNode* parent, bool* descend) {
  const char* name = node->Name();
  *descend = true;
  if (auto* variable = dynamic_cast<DAESRealVariable*>(node)) {
    *descend = false;
    auto* copy = new DAESRealVariable(parent, name);
    if (variable->Derivative() != nullptr) copy->MakeDerivative();
    double lower = 0.0;
    double upper = 0.0;
    if (status::IsSuccess(variable->GetBounds(&lower, &upper))) copy->SetBounds(lower, upper);
    return copy;
  }
  if (auto* parameter = dynamic_cast<DAESParameter*>(node)) {
    *descend = false;
    return new DAESParameter(name, parent, ParameterTag(parameter->ValueType()));
  }
  if (auto* branching = dynamic_cast<DAESSwitchNode*>(node)) {
    auto* copy = new DAESSwitchNode(parent, name, branching->StateCount());
    for (std::int32_t s = 0; s < branching->StateCount(); ++s) {
      copy->SetStateName(s, branching->StateName(s));
    }
    return copy;
  }
  if (node->GetKind() == daes::kInstanceKind) return new DAESInstanceNode(parent, name);
  if (dynamic_cast<DAESEquation*>(node) != nullptr || node->GetKind() == daes::kTransitionKind) {
    return new DAESEquationNode(parent, name, nullptr);
  }
  return new BvuDirectoryProper(parent, name);
}

}  // namespace

SimInstanceShadow::SimInstanceShadow(BvuDirectoryNode* root, BvuDirectoryNode* target)
    : root_(new DAESInstanceNode(nullptr, root->Name())) {
  if (target == root) target_ = root_;
  // Depth first without recursion: a tree from outside may be a chain of
  // any depth.
  std::vector<std::pair<BvuDirectoryNode*, BvuDirectoryNode*>> open = {{root, root_}};
  while (!open.empty()) {
    auto [from, to] = open.back();
    open.pop_back();
    for (std::int32_t i = NextChildIndex(from, from->LowIndex()); i <= from->HighIndex();
         i = NextChildIndex(from, i + 1)) {
      BvuDirectoryNode* child = from->ChildAt(i);
      if (child == nullptr) continue;
      bool descend = true;
      BvuDirectoryNode* copy = StandIn(child, to, &descend);
      if (status::IsFailure(to->InsertChildAt(i, copy))) {
        DestroyTreeNode(copy);
        continue;
      }
      if (child == target) target_ = copy;
      if (descend) open.emplace_back(child, copy);
    }
  }
}

SimInstanceShadow::~SimInstanceShadow() { DestroyTreeNode(root_); }
