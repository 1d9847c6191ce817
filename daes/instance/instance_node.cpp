#include "daes/instance/instance_node.h"

#include <string>
#include <vector>

#include "daes/equations/equation_node.h"
#include "daes/events/condition_node.h"
#include "daes/events/switch_node.h"
#include "daes/model/advise_list.h"
#include "daes/model/parameter.h"
#include "daes/model/variable.h"
#include "daes/procedures/proc_equation.h"
#include "expr/tree/expression.h"
#include "foundation/directory/id_path.h"
#include "foundation/messages/su_print.h"
#include "foundation/persistence/binary_stream.h"

namespace {
bool IsModelItemTag(std::uint16_t tag) {
  switch (tag) {
    case 15:
    case 16:
    case 17:
    case 19:
    case 23:
    case 25:
    case 26:
    case 27:
      return true;
    default:
      return false;
  }
}

bool IsParameterTag(std::uint16_t tag) { return IsModelItemTag(tag) && tag != 15 && tag != 25; }

// Whether a node already in the tree may be re-read by an item of the tag.
bool KindFitsTag(BvuDirectoryNode* node, std::uint16_t tag) {
  const std::int32_t kind = node->GetKind();
  if (IsParameterTag(tag)) return kind == daes::kParameterKind;
  return kind == daes::kRealVariableKind || kind == daes::kStateVariableKind;
}

constexpr std::uint16_t kIfTag = 6;

// The expression a library node carries: an expression node's always, a
// condition node's where a condition is wanted (IF and transition items).
Expression* LibraryExpression(BvuDirectoryNode* library, bool conditions) {
  if (library == nullptr) return nullptr;
  const std::int32_t kind = library->GetKind();
  const bool carries = kind == daes::kLibraryExpressionKind ||
                       (conditions && kind == daes::kLibraryConditionKind);
  return carries ? static_cast<Expression*>(library->LinkedObject()) : nullptr;
}

void Keep(Status* result, Status s) {
  if (status::IsFailure(s) && status::IsSuccess(*result)) *result = s;
}

// Statuses after which the item was read to its end: the list goes on.
// Any other failure leaves the reader somewhere inside the item.
bool InStep(Status s) {
  return status::IsSuccess(s) || s == daes::kReservedAnswer || s == daes::kItemRefused;
}

// Equations, switches and transitions give way to a node sent again.
bool IsEquationNode(BvuDirectoryNode* node) {
  return dynamic_cast<DAESEquation*>(node) != nullptr || node->GetKind() == daes::kTransitionKind;
}

void DestroyNode(BvuDirectoryNode* node) {
  node->DeleteChildren();
  node->SetParent(nullptr);
  delete node;
}
}  // namespace

Status DAESInstanceNode::ReadFromMessage(BvuBinaryStream& stream, BvuDirectoryNode* root,
                                         BvuDirectoryNode* expression_tree, void* extra) {
  if (root == nullptr) root = Root();
  if (extra == nullptr) extra = root;
  bool lost = false;
  // The constants its expressions fold share one budget: a message of many
  // small expressions cannot fold more than one of them may.
  const CompactReadBudget budget;
  const Status read = ReadList(stream, root, expression_tree, extra, &lost, 0);
  last_read_lost_ = lost;
  return read;
}

Status DAESInstanceNode::ReadList(BvuBinaryStream& stream, BvuDirectoryNode* root,
                                  BvuDirectoryNode* expression_tree, void* extra, bool* lost,
                                  int depth) {
  if (depth >= kMaxExpressionDepth) {
    // Each level is a frame: a deeper list would run into the end of the stack.
    SuPrint(status::kBadArguments,
            "Instance description refused: item lists nested more than %d deep",
            kMaxExpressionDepth);
    *lost = true;
    return status::kBadArguments;
  }
  std::uint32_t raw_count = 0;
  Status result = stream.GetUInt32(&raw_count);
  const auto count = static_cast<std::int32_t>(raw_count);
  if (status::IsFailure(result)) *lost = true;
  if (status::IsFailure(result) || count < 1) return result;
  for (std::int32_t item = 0; item < count && !*lost; ++item) {
    std::uint16_t tag = 0;
    Status s = stream.GetUInt16(&tag);
    if (status::IsFailure(s)) {
      *lost = true;
      Keep(&result, s);
      return result;
    }
    switch (tag) {
      case 2:
      case 22: {
        std::uint32_t flags = 0;
        s = stream.GetUInt32(&flags);
        if (status::IsSuccess(s)) s = ReadEquation(tag, stream, expression_tree, extra, flags);
        break;
      }
      case 9:
      case 12:
        s = ReadList(stream, root, expression_tree, extra, lost, depth + 1);
        break;
      case 21:
        s = ReadConnection(stream, extra);
        break;
      case 6:
        s = ReadCondition(stream, root, expression_tree, extra, lost, depth);
        break;
      case 13:
        s = ReadSwitchItem(stream, root, expression_tree, extra, lost, depth);
        break;
      case 14:
        s = ReadTransition(stream, expression_tree, extra);
        break;
      default:
        if (IsModelItemTag(tag)) s = ReadModelItem(tag, stream, root);
        break;
    }
    Keep(&result, s);
    if (!InStep(s)) *lost = true;
  }
  return result;
}

Status DAESInstanceNode::ReadModelItem(std::uint16_t tag, BvuBinaryStream& stream,
                                       BvuDirectoryNode* root) {
  BvuDirectoryNode* parent = nullptr;
  std::int32_t index = -1;
  std::string name;
  Status s = root->ReadIdPathWithNames(stream, &parent, &index, &name, false);
  if (status::IsFailure(s)) return s;
  BvuDirectoryNode* existing = parent->ChildAt(index);
  if (existing != nullptr && KindFitsTag(existing, tag)) {
    if (tag == 25) {
      if (auto* v = dynamic_cast<DAESRealVariable*>(existing)) v->MakeDerivative();
    }
    return existing->ReadItemBody(stream, this);
  }
  BvuDirectoryNode* node = DAESCreateModelItem(tag, parent, name.c_str());
  s = node->ReadItemBody(stream, this);
  if (InStep(s) && existing != nullptr) {
    // The slot holds a node of another kind: the item is read, but refused.
    SuPrint(daes::kItemRefused, "Item %s refused: its place holds another kind of node",
            name.c_str());
    s = daes::kItemRefused;
  } else if (InStep(s)) {
    // A body read to its end is kept, as far as it was understood.
    const Status placed = parent->InsertChildAt(index, node);
    if (status::IsSuccess(placed)) return s;
    s = placed;
  }
  DestroyNode(node);
  return s;
}

Status DAESInstanceNode::ReadEquation(std::uint16_t tag, BvuBinaryStream& stream,
                                      BvuDirectoryNode* expression_tree, void* extra,
                                      std::uint32_t flags, BvuDirectoryNode** made) {
  if (made != nullptr) *made = nullptr;
  Expression* expression = nullptr;  // one reference held here
  Status s = 0;
  if (tag == 22) {
    expression = Expression::ReadFromMessage(stream);
    if (expression == nullptr) {
      // Bytes that do not read as an expression leave the reader inside it.
      SuPrint(status::kBadArguments, "Equation refused: its expression does not read");
      return status::kBadArguments;
    }
    // An expression with an error would make an equation without residual.
    if (expression->ErrorCode() != 0) {
      expression->Release();
      expression = nullptr;
    }
    if (expression == nullptr) s = daes::kItemRefused;
  } else {
    BvuDirectoryNode* library = nullptr;
    s = ReadExpressionPath(stream, expression_tree, &library);
    // A path that did not read leaves the reader inside it.
    if (status::IsFailure(s) && s != status::kGeneralFailure && s != daes::kItemRefused) {
      return s;
    }
    expression = LibraryExpression(library, tag == kIfTag);
    if (expression == nullptr) {
      s = daes::kItemRefused;
    } else {
      expression->AddRef();
    }
  }
  BvuDirectoryNode* parent = nullptr;
  std::int32_t index = -1;
  std::string name;
  const Status placed = ReadIdPathWithNames(stream, &parent, &index, &name, false);
  if (status::IsFailure(placed)) {
    Expression::Release(expression);
    return placed;
  }
  BvuDirectoryNode* node = nullptr;
  if (status::IsSuccess(s)) {
    node = DAESCreateEquationNode(tag, parent, name.c_str(), expression, flags);
    if (node == nullptr) s = daes::kItemRefused;
  }
  Expression::Release(expression);
  if (node == nullptr) {
    // The body is read all the same, so that the list stays in step.
    DAESEquationNode scratch(nullptr, nullptr, nullptr);
    const Status body = scratch.ReadItemBody(stream, extra);
    SuPrint(s, "Equation %s refused: its expression could not be used", name.c_str());
    return status::IsFailure(body) ? body : daes::kItemRefused;
  }
  const Status placed_status = PlaceEquation(parent, index, node, stream, extra);
  if (made != nullptr && !status::IsFailure(placed_status)) *made = node;
  return placed_status;
}

Status DAESInstanceNode::PlaceEquation(BvuDirectoryNode* parent, std::int32_t index,
                                       BvuDirectoryNode* node, BvuBinaryStream& stream,
                                       void* extra) {
  BvuDirectoryNode* old = parent->ChildAt(index);
  if (old != nullptr && IsOpen(old)) {
    const char* name = node->Name();
    SuPrint(daes::kItemRefused, "Equation %s refused: it would replace the equation being read",
            name != nullptr ? name : "");
    const Status body = node->ReadItemBody(stream, extra);
    DestroyNode(node);
    return status::IsFailure(body) ? body : daes::kItemRefused;
  }
  if (old != nullptr && !IsEquationNode(old)) {
    // Only an equation gives way to an equation: variables and instances
    // are referenced from elsewhere. The body is read to stay in step.
    const char* name = node->Name();
    SuPrint(daes::kItemRefused, "Equation %s refused: its place holds another kind of node",
            name != nullptr ? name : "");
    const Status body = node->ReadItemBody(stream, extra);
    DestroyNode(node);
    return status::IsFailure(body) ? body : daes::kItemRefused;
  }
  if (old != nullptr) {
    if (parent->ReplaceChildAt(index, node) != old) {
      DestroyNode(node);
      return daes::kItemRefused;
    }
  } else {
    const Status s = parent->InsertChildAt(index, node);
    if (status::IsFailure(s)) {
      DestroyNode(node);
      return s;
    }
  }
  const Status s = node->ReadItemBody(stream, extra);
  if (status::IsFailure(s)) {
    // A body that did not read leaves the tree as it was.
    if (old != nullptr) {
      parent->ReplaceChildAt(index, old);
      old->SetParent(parent);
    } else {
      BvuDirectoryNode* taken = nullptr;
      parent->RemoveChildAt(index, &taken);
    }
    DestroyNode(node);
    return s;
  }
  if (old != nullptr) DestroyNode(old);
  return s;
}

Status DAESInstanceNode::ReadConnection(BvuBinaryStream& stream, void* extra) {
  BvuDirectoryNode* parent = nullptr;
  std::int32_t index = -1;
  std::string name;
  const Status s = ReadIdPathWithNames(stream, &parent, &index, &name, false);
  if (status::IsFailure(s)) return s;
  BvuDirectoryNode* node = DAESCreateEquationNode(21, parent, name.c_str(), nullptr, 0);
  return PlaceEquation(parent, index, node, stream, extra);
}

Status DAESInstanceNode::ReadExpressionPath(BvuBinaryStream& stream,
                                            BvuDirectoryNode* expression_tree,
                                            BvuDirectoryNode** node) {
  *node = nullptr;
  if (expression_tree != nullptr) return expression_tree->ReadIdPath(stream, node);
  // No library to look in: the path is read and names nothing.
  Status s = 0;
  BvuIdPath path(stream, &s);
  return status::IsFailure(s) ? s : daes::kItemRefused;
}

bool DAESInstanceNode::IsOpen(BvuDirectoryNode* node) const {
  for (BvuDirectoryNode* open : open_) {
    for (BvuDirectoryNode* n = open; n != nullptr; n = n->Parent()) {
      if (n == node) return true;
    }
  }
  return false;
}

Status DAESInstanceNode::ReadCondition(BvuBinaryStream& stream, BvuDirectoryNode* root,
                                       BvuDirectoryNode* expression_tree, void* extra, bool* lost,
                                       int depth) {
  BvuDirectoryNode* made = nullptr;
  Status result = ReadEquation(6, stream, expression_tree, extra, 0, &made);
  if (!InStep(result)) {
    *lost = true;
    return result;
  }
  // The THEN and ELSE lists, into this same node; the IF stays while they are read.
  if (made != nullptr) open_.push_back(made);
  for (int branch = 0; branch < 2 && !*lost; ++branch) {
    Keep(&result, ReadList(stream, root, expression_tree, extra, lost, depth + 1));
  }
  if (made != nullptr) open_.pop_back();
  return result;
}

Status DAESInstanceNode::ReadSwitch(BvuBinaryStream& stream, DAESSwitchNode** made,
                                    BvuDirectoryNode** parent_out, std::int32_t* index_out) {
  *made = nullptr;
  BvuDirectoryNode* parent = nullptr;
  std::int32_t index = -1;
  std::string name;
  Status s = ReadIdPathWithNames(stream, &parent, &index, &name, false);
  *parent_out = parent;
  *index_out = index;
  if (status::IsFailure(s)) return s;
  std::uint32_t n = 0;
  s = stream.GetUInt32(&n);
  if (status::IsFailure(s)) return s;
  if (n > daes::kMostSwitchStates) {
    SuPrint(status::kBadArguments, "Switch %s refused: %u states", name.c_str(), &n);
    return status::kBadArguments;
  }
  std::vector<std::string> names;
  for (std::uint32_t i = 0; i < n; ++i) {
    char* text = nullptr;
    s = stream.GetStringNew(&text);
    names.emplace_back(text != nullptr ? text : "");
    delete[] text;
    if (status::IsFailure(s)) return s;
  }
  auto* node = new DAESSwitchNode(parent, name.c_str(), static_cast<std::int32_t>(n));
  for (std::uint32_t i = 0; i < n; ++i) {
    node->SetStateName(static_cast<std::int32_t>(i), names[i].c_str());
  }
  BvuDirectoryNode* old = parent->ChildAt(index);
  if (old != nullptr && (!IsEquationNode(old) || IsOpen(old))) {
    SuPrint(daes::kItemRefused, "Switch %s refused: its place holds another kind of node",
            name.c_str());
    DestroyNode(node);
    return daes::kItemRefused;
  }
  if (old != nullptr) {
    if (parent->ReplaceChildAt(index, node) != old) {
      DestroyNode(node);
      return daes::kItemRefused;
    }
    DestroyNode(old);
  } else {
    s = parent->InsertChildAt(index, node);
    if (status::IsFailure(s)) {
      DestroyNode(node);
      return s;
    }
  }
  *made = node;
  return 0;
}

Status DAESInstanceNode::ReadSwitchItem(BvuBinaryStream& stream, BvuDirectoryNode* root,
                                        BvuDirectoryNode* expression_tree, void* extra, bool* lost,
                                        int depth) {
  DAESSwitchNode* node = nullptr;
  BvuDirectoryNode* parent = nullptr;
  std::int32_t index = -1;
  Status result = ReadSwitch(stream, &node, &parent, &index);
  if (node == nullptr) {
    // The state lists that follow are not read into a refused switch.
    *lost = true;
    return status::IsFailure(result) ? result : daes::kItemRefused;
  }
  open_.push_back(node);
  for (std::int32_t k = 0; k < node->StateCount() && !*lost; ++k) {
    Keep(&result, ReadList(stream, root, expression_tree, extra, lost, depth + 1));
  }
  open_.pop_back();
  if (*lost) return result;
  char initial[128] = {};
  const Status s = stream.GetStringInto(initial, 127);
  if (status::IsFailure(s)) {
    if (s != status::kGeneralFailure) *lost = true;
    Keep(&result, s);
    return result;
  }
  // A switch replaced while its lists were read is gone.
  if (parent->ChildAt(index) == node) node->SetCurrentState(node->FindState(initial));
  return result;
}

Status DAESInstanceNode::ReadTransition(BvuBinaryStream& stream, BvuDirectoryNode* expression_tree,
                                        void* extra) {
  BvuDirectoryNode* library = nullptr;
  Status s = ReadExpressionPath(stream, expression_tree, &library);
  if (status::IsFailure(s) && s != status::kGeneralFailure && s != daes::kItemRefused) return s;
  Expression* condition = LibraryExpression(library, true);
  BvuDirectoryNode* parent = nullptr;
  std::int32_t index = -1;
  std::string name;
  const Status placed = ReadIdPathWithNames(stream, &parent, &index, &name, false);
  if (status::IsFailure(placed)) return placed;
  auto* node = new DAESTransitionNode(parent, name.c_str(), condition);
  if (condition == nullptr || node->OwningSwitch() == nullptr) {
    // Read to stay in step, then refused.
    const Status body = node->ReadItemBody(stream, extra);
    node->SetParent(nullptr);
    delete node;
    SuPrint(daes::kItemRefused,
            condition == nullptr ? "Transition %s refused: its condition could not be used"
                                 : "Transition %s refused: it does not lie below a switch state",
            name.c_str());
    return status::IsFailure(body) ? body : daes::kItemRefused;
  }
  return PlaceEquation(parent, index, node, stream, extra);
}

BvuDirectoryNode* DAESCreateModelItem(std::int32_t tag, BvuDirectoryNode* parent,
                                      const char* name) {
  switch (tag) {
    case 5:
      return new DAESInstanceNode(parent, name);
    case 15:
      return new DAESRealVariable(parent, name);
    case 25: {
      auto* v = new DAESRealVariable(parent, name);
      v->MakeDerivative();
      return v;
    }
    case 16:
    case 17:
    case 19:
    case 23:
    case 26:
    case 27:
      return new DAESParameter(name, parent, tag);
    default:
      return nullptr;
  }
}

BvuDirectoryNode* DAESCreateEquationNode(std::int32_t tag, BvuDirectoryNode* parent,
                                         const char* name, Expression* expression,
                                         std::uint32_t flags) {
  switch (tag) {
    case 1:
    case 2:
    case 22: {
      if (expression == nullptr) return nullptr;
      if (expression->ClassId() == exprclass::kProcCall) {
        return new DAESProcedureNode(parent, name, expression, flags);
      }
      auto* node = new DAESEquationNode(parent, name, expression);
      node->DAESSimpleEquation::SetFlags(flags);
      return node;
    }
    case 6:
      return expression != nullptr ? new DAESConditionNode(parent, name, expression) : nullptr;
    case 21:
      return new DAESConnectionNode(parent, name);
    default:
      return nullptr;
  }
}

DAESVariableAdviseList* DAESCreateVariableAdviseList(DAESAdviseSink* sink, std::int32_t capacity) {
  return new DAESVariableAdviseList(sink, capacity);
}
