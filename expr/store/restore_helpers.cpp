#include "expr/store/restore_helpers.h"

#include <string>
#include <unordered_set>
#include <vector>

#include "expr/eval/expr_context.h"
#include "expr/store/old_layouts.h"
#include "expr/tree/binary_expression.h"
#include "expr/tree/expression.h"
#include "expr/tree/list_expression.h"
#include "expr/tree/proc_call_expression.h"
#include "expr/tree/system_function.h"
#include "expr/tree/unary_expression.h"
#include "expr/tree/var_ref_expression.h"
#include "foundation/collections/collection_errors.h"
#include "foundation/collections/factory.h"
#include "foundation/persistence/file_stream.h"
#include "foundation/persistence/memory_stream.h"
#include "foundation/persistence/persistence.h"

namespace {

template <typename T>
ClCollectable* Create() {
  return new T;
}

// Registered while the program starts and removed while it ends. Every node
// constructor calls EnsureExpressionClassesRegistered, which keeps this file
// (and so these objects) in any program that uses expressions.
const ClassIdRegistrar kRegistrars[] = {
    {&Create<SysFunExpression>, exprclass::kSysFun},
    {&Create<ExpressionList>, exprclass::kExpressionList},
    {&Create<ExpressionVariable>, exprclass::kExpressionVariable},
    {&Create<Expression>, exprclass::kExpression},
    {&Create<TerminalExpression>, exprclass::kTerminal},
    {&Create<UnaryExpression>, exprclass::kUnary},
    {&Create<BinaryExpression>, exprclass::kBinary},
    {&Create<VarRefExpression>, exprclass::kVarRef},
    {&Create<VariableExpression>, exprclass::kVariable},
    {&Create<ListExpression>, exprclass::kList},
    {&Create<HomListExpression>, exprclass::kHomList},
    {&Create<ProcIOListExpression>, exprclass::kProcIOList},
    {&Create<ProcCallExpression>, exprclass::kProcCall},
};

}  // namespace

void EnsureExpressionClassesRegistered() { EnsureOldLayoutReadersRegistered(); }

void RaiseDamagedInput() { ClRaiseError(ClErrorClass::kExternal, kClReadErr); }

bool ReadValueText(ClFileStream& file, std::uint32_t length, SUValue& value) {
  if (length > (1u << 24)) return false;
  std::string text(length, '\0');
  if (length > 0 && std::fread(text.data(), 1, length, file.File()) != length) return false;
  ClMemoryInStream in(std::move(text));
  value.RestoreFromVStream(in);
  return in.Good();
}

namespace {

// The nodes whose bodies are being restored on this thread: as many as the
// nesting is deep, and asked about once per operand.
thread_local std::unordered_set<const ClCollectable*> restoring;

}  // namespace

RestoringNode::RestoringNode(const ClCollectable* node) {
  // The walks over a restored tree recurse once a level, as the compact
  // reader does: the same limit holds for both.
  // Its operands are one level deeper: a leaf there is at the limit.
  if (restoring.size() + 1 >= static_cast<std::size_t>(kMaxExpressionDepth)) RaiseDamagedInput();
  restoring.insert(node);
  node_ = node;
}
RestoringNode::~RestoringNode() { restoring.erase(node_); }

bool IsBeingRestored(const ClCollectable* object) { return restoring.count(object) != 0; }

void RefuseAncestor(const ClCollectable* object) {
  if (IsBeingRestored(object)) RaiseDamagedInput();
}

bool WithinExpansion(std::uint64_t expanded_nodes, std::uint64_t references) {
  const ClOrdered* table = ReadManager().Table();
  const std::uint64_t objects = table != nullptr ? table->Entries() : 0;
  return expanded_nodes <= kExpansionPerObject * (objects + references) + kExpansionBase;
}

namespace {

Expression* TakeOperand(ClCollectable* object) {
  if (object == nullptr) return nullptr;
  RefuseAncestor(object);
  auto* node = dynamic_cast<Expression*>(object);
  if (node == nullptr) RaiseDamagedInput();
  if (!WithinExpansion(node->NodeCount())) RaiseDamagedInput();
  node->AddRef();
  return node;
}

}  // namespace

Expression* RestoreOperandFromFile(ClFileStream& file) {
  return TakeOperand(RestoreCollectableFromFile(file));
}

Expression* RestoreOperand(Clvistream& stream) {
  ClCollectable* object = RestoreCollectable(stream);
  if (!stream.Good()) return nullptr;
  return TakeOperand(object);
}

void DisposeRestoredExpression(ClCollectable* object) {
  if (auto* node = dynamic_cast<Expression*>(object)) node->DetachForDisposal();
  if (auto* list = dynamic_cast<ExpressionList*>(object)) list->DetachForDisposal();
  delete object;
}
