#include "expr/store/restore_helpers.h"

#include <string>
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

thread_local std::vector<const ClCollectable*> restoring;

}  // namespace

RestoringNode::RestoringNode(const ClCollectable* node) { restoring.push_back(node); }
RestoringNode::~RestoringNode() { restoring.pop_back(); }

void RefuseAncestor(const ClCollectable* object) {
  for (const ClCollectable* node : restoring) {
    if (node == object) RaiseDamagedInput();
  }
}

namespace {

Expression* TakeOperand(ClCollectable* object) {
  if (object == nullptr) return nullptr;
  RefuseAncestor(object);
  auto* node = dynamic_cast<Expression*>(object);
  if (node == nullptr) RaiseDamagedInput();
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
