#include "control/managers/library_mgr.h"

#include <string>

#include "control/managers/instance_mgr.h"
#include "control/managers/tree_place.h"
#include "control/problem/problem_manager.h"
#include "daes/procedures/proc_def.h"
#include "expr/tree/expression.h"
#include "foundation/messages/su_print.h"
#include "framework/messaging/message.h"

LibProcNode::LibProcNode(BvuDirectoryNode* parent, const char* name,
                         DAESProcDefWithExceptionHandler* def)
    : BvuDirectoryNode(parent, name), definition_(def) {}

LibProcNode::~LibProcNode() { delete definition_; }

void* LibProcNode::LinkedObject() { return definition_; }

Status LibProcNode::AddDefinitionData(BvuBinaryStream& stream) {
  if (definition_ == nullptr) return status::kGeneralFailure;
  return definition_->ReadFromMessage(stream);
}

LibExprNode::LibExprNode(BvuDirectoryNode* parent, const char* name, Expression* expression)
    : BvuDirectoryNode(parent, name), expression_(expression) {}

LibExprNode::~LibExprNode() { Expression::Release(expression_); }

void* LibExprNode::LinkedObject() { return expression_; }

LibCondNode::LibCondNode(BvuDirectoryNode* parent, const char* name, Expression* expression)
    : BvuDirectoryProper(parent, name), expression_(expression) {}

LibCondNode::~LibCondNode() { Expression::Release(expression_); }

void* LibCondNode::LinkedObject() { return expression_; }

SimLibraryMgr::SimLibraryMgr() : BvuDirectoryProper(nullptr, "") { daes::SetProcDefLibrary(this); }

SimLibraryMgr::~SimLibraryMgr() {
  if (daes::ProcDefLibrary() == this) daes::SetProcDefLibrary(nullptr);
  BvuDirectoryProper::DeleteBelow(this);
}

DAESProcDef* SimLibraryMgr::FindProcDef(const BvuIdPath& path) {
  BvuDirectoryNode* node = nullptr;
  if (status::IsFailure(ResolveIdPath(path.ids(), &node)) || node == nullptr) return nullptr;
  auto* procedure = dynamic_cast<LibProcNode*>(node);
  return procedure != nullptr ? procedure->Definition() : nullptr;
}

Status SimLibraryMgr::DetachProblem(const char*, const char*) {
  BvuDirectoryProper::DeleteBelow(this);
  return status::kOk;
}

Status SimLibraryMgr::HandleRequest(std::uint32_t type, DseMessage* request, DseMessage** reply,
                                    DseTemplate** kept) {
  if (request->subtype != DseMessage::kRequest) {
    return DseServerCB::HandleRequest(type, request, reply, kept);
  }
  return ServeRequest(*request);
}

Status SimLibraryMgr::ServeRequest(BvuBinaryStream& body) {
  std::uint16_t kind = 0;
  std::uint16_t item = 0;
  Status read = body.GetUInt16(&kind);
  if (status::IsSuccess(read)) read = body.GetUInt16(&item);
  if (status::IsFailure(read)) return read;
  if (kind == kDelete || kind == kReplace || kind == kSet || kind == kAddData) {
    // A built problem holds the procedure definitions it was bound to: none
    // may change under a computing step, and a changed one is bound afresh
    // by the next preparation.
    if (SimInstanceMgr::StepScheduled()) return kBusy;
    SimProblemMgr* manager = SimProblemMgr::Instance();
    if (manager != nullptr && manager->Instances() != nullptr)
      manager->Instances()->GiveUpBuiltProblem();
  }
  switch (kind) {
    case kDelete:
      return DeleteAt(body);
    case kReplace:
    case kSet:
      return SetNode(kind, item, body);
    case kAddData:
      return AddData(item, body);
    default:
      return kUnknownRequest;
  }
}

Status SimLibraryMgr::DeleteAt(BvuBinaryStream& body) {
  BvuDirectoryNode* parent = nullptr;
  std::int32_t index = -1;
  const Status placed = ReadTreePlace(this, body, &parent, &index);
  if (placed == kBvuNoSuchChild) return kNoSuchPath;
  if (status::IsFailure(placed)) return placed;
  BvuDirectoryNode* taken = nullptr;
  if (index < parent->LowIndex() || index > parent->HighIndex() ||
      parent->RemoveChildAt(index, &taken) != status::kOk || taken == nullptr) {
    return kNoSuchPath;
  }
  DestroyTreeNode(taken);
  return placed;
}

Expression* SimLibraryMgr::ReadExpression(BvuBinaryStream& body, void* context, Status* status) {
  *status = status::kOk;
  Expression* expression = Expression::ReadFromMessage(body, context);
  if (expression == nullptr) {
    SuPrint(status::kBadArguments, "Library expression refused: its bytes do not read");
    *status = status::kBadArguments;
    return nullptr;
  }
  if (expression->ErrorCode() != 0) {
    // The node keeps no expression with an error.
    expression->Release();
    return nullptr;
  }
  return expression;
}

Status SimLibraryMgr::SetNode(std::uint16_t kind, std::uint16_t item, BvuBinaryStream& body) {
  BvuDirectoryNode* parent = nullptr;
  std::int32_t index = -1;
  std::string name;
  const Status placed = ReadIdPathWithNames(body, &parent, &index, &name, false);
  if (status::IsFailure(placed)) return placed;
  BvuDirectoryNode* old = parent->ChildAt(index);
  if (kind == kSet && name.empty() && old != nullptr && old->Name() != nullptr) name = old->Name();

  Status read = status::kOk;
  BvuDirectoryNode* made = nullptr;
  switch (item) {
    case kProcedureItem:
      made = new LibProcNode(parent, name.c_str(), DAESCreateProcDef(body, &read));
      break;
    case kExpressionItem:
      made = new LibExprNode(parent, name.c_str(),
                             ReadExpression(body, static_cast<BvuDirectoryNode*>(this), &read));
      break;
    case kConditionItem:
      made = new LibCondNode(parent, name.c_str(), ReadExpression(body, nullptr, &read));
      break;
    default:
      return kUnknownRequest;
  }
  const Status set = PlaceNode(parent, index, old, made);
  if (status::IsFailure(set)) return set;
  // Bytes that did not read are the client's to know of; the node stays
  // without its definition or expression.
  return status::IsFailure(read) ? read : placed;
}

Status SimLibraryMgr::PlaceNode(BvuDirectoryNode* parent, std::int32_t index, BvuDirectoryNode* old,
                                BvuDirectoryNode* made) {
  if (old == nullptr) {
    const Status inserted = parent->InsertChildAt(index, made);
    if (status::IsFailure(inserted)) DestroyTreeNode(made);
    return inserted;
  }
  // A condition takes over what the node it replaces held: a replaced
  // condition's children, or what a path made below a plain node.
  const bool adopts = made->GetKind() == libkind::kCondition &&
                      NextChildIndex(old, old->LowIndex()) <= old->HighIndex();
  if (adopts) {
    const Status adopted = made->AdoptChildren(old);
    if (status::IsFailure(adopted)) {
      DestroyTreeNode(made);
      return adopted;
    }
  }
  if (parent->ReplaceChildAt(index, made) != old) {
    if (adopts) old->AdoptChildren(made);
    DestroyTreeNode(made);
    return status::kGeneralFailure;
  }
  DestroyTreeNode(old);
  return status::kOk;
}

Status SimLibraryMgr::AddData(std::uint16_t item, BvuBinaryStream& body) {
  BvuDirectoryNode* parent = nullptr;
  std::int32_t index = -1;
  std::string name;
  const Status placed = ReadIdPathWithNames(body, &parent, &index, &name, false);
  if (status::IsFailure(placed)) return placed;
  switch (item) {
    case kProcedureItem: {
      auto* node = dynamic_cast<LibProcNode*>(parent->ChildAt(index));
      if (node == nullptr) return kNoSuchPath;
      return node->AddDefinitionData(body);
    }
    case kExpressionItem:
    case kConditionItem:
      return placed;
    default:
      return kUnknownRequest;
  }
}
