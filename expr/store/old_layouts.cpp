#include "expr/store/old_layouts.h"

#include <memory>

#include "expr/eval/expr_context.h"
#include "expr/store/restore_helpers.h"
#include "foundation/collections/factory.h"
#include "foundation/persistence/persistence.h"
#include "foundation/persistence/virtual_stream.h"

namespace {

template <typename T>
ClCollectable* Create() {
  return new T;
}

const ClassIdRegistrar kOldRegistrars[] = {
    {&Create<OldVarRefExpression>, oldclass::kVarRef},
    {&Create<OldHomListExpression>, oldclass::kHomList},
    {&Create<OldProcIOListExpression>, oldclass::kProcIOList},
    {&Create<OldProcCallExpression>, oldclass::kProcCall},
    {&Create<OldTerminalExpression>, oldclass::kTerminal},
    {&Create<OldUnaryExpression>, oldclass::kUnary},
    {&Create<OldBinaryExpression>, oldclass::kBinary},
    {&Create<OldListExpression>, oldclass::kList},
    {&Create<OldVariableExpression>, oldclass::kVariable},
};

// The old node header: operator code, error code, a typed value, flags.
struct OldHeader {
  std::uint16_t op = kEmptyRow;
  std::uint16_t error = 0;
  std::uint16_t flags = 0;
  std::uint16_t type = 0;
};

void RequireGood(const Clvistream& stream) {
  if (!stream.Good()) RaiseDamagedInput();
}

OldHeader ReadOldHeader(Clvistream& stream, SUValue& value) {
  std::uint16_t code = 0;
  std::uint32_t error = 0;
  OldHeader header;
  stream.GetU16(code);
  stream.GetU32(error);
  RequireGood(stream);
  value.RestoreFromVStream(stream);
  stream.GetU16(header.flags);
  RequireGood(stream);
  header.op = RowForOldCode(code);
  header.error = static_cast<std::uint16_t>(error);
  header.type = value.type;
  return header;
}

// An object reference that must be an expression list or null.
ExpressionList* RestoreList(Clvistream& stream) {
  ClCollectable* object = RestoreCollectable(stream);
  RequireGood(stream);
  auto* list = dynamic_cast<ExpressionList*>(object);
  if (object != nullptr && list == nullptr) RaiseDamagedInput();
  return list;
}

std::uint32_t ReadCount(Clvistream& stream) {
  std::uint32_t count = 0;
  stream.GetU32(count);
  RequireGood(stream);
  return count;
}

}  // namespace

void EnsureOldLayoutReadersRegistered() {}

std::uint16_t RowForOldCode(std::uint16_t code) {
  for (std::uint16_t row = 0; row < kEmptyRow; ++row) {
    if (static_cast<std::int16_t>(static_cast<std::int8_t>(OperatorTable[row].code)) ==
        static_cast<std::int16_t>(code)) {
      return row;
    }
  }
  return kEmptyRow;
}

// Each restore reads the whole old body before it hands the current node
// over (a node made earlier is held until then) and raises nothing after:
// a damaged body leaves only what the restore made, which the guarded
// restore disposes of.

void OldTerminalExpression::RestoreFromVStream(Clvistream& stream) {
  // The header's value is the constant's own, as stored: assigning it would
  // convert elements, fill missing texts and mark unknown values valid.
  auto fresh = std::make_unique<TerminalExpression>();
  const OldHeader header = ReadOldHeader(stream, fresh->Value());
  HandOver(fresh.release(), header.op, header.type, header.error, header.flags);
}

void OldVarRefExpression::RestoreFromVStream(Clvistream& stream) {
  SUValue value;
  const OldHeader header = ReadOldHeader(stream, value);
  const std::uint32_t offset = ReadCount(stream);
  auto* fresh = new VarRefExpression(offset, header.type);
  HandOver(fresh, header.op, header.type, header.error, header.flags);
}

void OldVariableExpression::RestoreFromVStream(Clvistream& stream) {
  SUValue value;
  const OldHeader header = ReadOldHeader(stream, value);
  const std::uint32_t offset = ReadCount(stream);
  ClCollectable* object = RestoreCollectable(stream);
  RequireGood(stream);
  auto* variable = dynamic_cast<ExpressionVariable*>(object);
  if (object != nullptr && variable == nullptr) RaiseDamagedInput();
  // Nothing else holds a variable read from stored bytes: the new node owns
  // it, or it would outlive the tree.
  OldHeader owned = header;
  if (variable != nullptr) owned.flags |= VariableExpression::kOwnsVariable;
  auto* fresh = new VariableExpression(variable, owned.flags);
  // The offset is a protected member of the base both nodes share.
  std::uint32_t VarRefExpression::*offset_member = &OldVariableExpression::offset_;
  fresh->*offset_member = offset;
  HandOver(fresh, owned.op, owned.type, owned.error, owned.flags);
}

void OldUnaryExpression::RestoreFromVStream(Clvistream& stream) {
  const RestoringNode restoring(this);
  SUValue value;
  const OldHeader header = ReadOldHeader(stream, value);
  Expression* operand = RestoreOperand(stream);
  RequireGood(stream);
  const std::uint32_t count = ReadCount(stream);
  auto* fresh = new UnaryExpression;
  if (operand != nullptr) fresh->Operand(1, operand);
  Release(operand);
  fresh->SetNodeCount(count);
  HandOver(fresh, header.op, header.type, header.error, header.flags);
}

void OldBinaryExpression::RestoreFromVStream(Clvistream& stream) {
  const RestoringNode restoring(this);
  SUValue value;
  const OldHeader header = ReadOldHeader(stream, value);
  Expression* first = RestoreOperand(stream);
  RequireGood(stream);
  Expression* second = RestoreOperand(stream);
  RequireGood(stream);
  const std::uint32_t count = ReadCount(stream);
  auto* fresh = new BinaryExpression;
  if (first != nullptr) fresh->Operand(1, first);
  if (second != nullptr) fresh->Operand(2, second);
  Release(first);
  Release(second);
  fresh->SetNodeCount(count);
  HandOver(fresh, header.op, header.type, header.error, header.flags);
}

namespace {

// The three list readers differ only in the node they build.
template <typename Current>
Current* ReadOldList(Clvistream& stream, OldHeader* header) {
  SUValue value;
  *header = ReadOldHeader(stream, value);
  ExpressionList* list = RestoreList(stream);
  // A list node always has its list; one made here would be nobody's to
  // dispose of if the restore failed later.
  if (list == nullptr) RaiseDamagedInput();
  const std::uint32_t count = ReadCount(stream);
  auto* fresh = new Current(list, header->type);
  fresh->SetNodeCount(count);
  return fresh;
}

}  // namespace

void OldListExpression::RestoreFromVStream(Clvistream& stream) {
  const RestoringNode restoring(this);
  OldHeader header;
  ListExpression* fresh = ReadOldList<ListExpression>(stream, &header);
  HandOver(fresh, header.op, header.type, header.error, header.flags);
}

void OldHomListExpression::RestoreFromVStream(Clvistream& stream) {
  const RestoringNode restoring(this);
  OldHeader header;
  HomListExpression* fresh = ReadOldList<HomListExpression>(stream, &header);
  HandOver(fresh, header.op, header.type, header.error, header.flags);
}

void OldProcIOListExpression::RestoreFromVStream(Clvistream& stream) {
  const RestoringNode restoring(this);
  OldHeader header;
  ProcIOListExpression* fresh = ReadOldList<ProcIOListExpression>(stream, &header);
  HandOver(fresh, header.op, header.type, header.error, header.flags);
}

void OldProcCallExpression::RestoreFromVStream(Clvistream& stream) {
  const RestoringNode restoring(this);
  SUValue value;
  const OldHeader header = ReadOldHeader(stream, value);
  Expression* inputs = RestoreOperand(stream);
  RequireGood(stream);
  Expression* outputs = RestoreOperand(stream);
  RequireGood(stream);
  Expression* size = RestoreOperand(stream);
  RequireGood(stream);
  Expression* components = RestoreOperand(stream);
  RequireGood(stream);
  SUValue name;
  name.RestoreFromVStream(stream);
  RequireGood(stream);
  ReadCount(stream);  // not used by the system
  const std::uint32_t count = ReadCount(stream);
  auto* in = dynamic_cast<ProcIOListExpression*>(inputs);
  auto* out = dynamic_cast<ProcIOListExpression*>(outputs);
  // A call always has both argument lists (see the list readers).
  if (in == nullptr || out == nullptr) RaiseDamagedInput();
  auto* fresh = new ProcCallExpression(in, out);
  fresh->SetSizeExpression(size);
  fresh->SetComponentList(components);
  if (name.status == SUValue::kValid &&
      (name.type == SUValue::kString || name.type == SUValue::kName)) {
    fresh->SetProcName(name.GetString());
  }
  fresh->SetNodeCountTo(count);
  Release(inputs);
  Release(outputs);
  Release(size);
  Release(components);
  HandOver(fresh, header.op, header.type, header.error, header.flags);
}
