// The reader of the compact message form: depth-first, each node a one-byte
// operator code, u16 flags and u16 result type, then its children, and for
// a leaf its class id and body. The bytes come from the client, so every
// failed read of a child fails the whole read, nesting is bounded as the
// stored forms count it (a list level is three nested objects there), and
// the constants folded while reading draw on one budget per read.
#include <memory>

#include "expr/tree/binary_expression.h"
#include "expr/tree/expression.h"
#include "expr/tree/list_expression.h"
#include "expr/tree/proc_call_expression.h"
#include "expr/tree/system_function.h"
#include "expr/tree/unary_expression.h"
#include "expr/tree/var_ref_expression.h"
#include "foundation/directory/id_path.h"
#include "foundation/persistence/binary_stream.h"
#include "foundation/persistence/persistence.h"

static_assert(kMaxExpressionDepth <= kMaxRestoreDepth,
              "what the compact reader accepts must restore from its stored forms");

namespace {

// The fold budget of the read under way on this thread; none outside reads.
struct FoldBudget {
  bool active = false;
  bool exceeded = false;
  std::int64_t left = 0;
};
thread_local FoldBudget t_fold_budget;

// A list level is three nested objects in the stored forms (the list node,
// its ExpressionList and that list's collection): items count three deeper.
constexpr int kListLevels = 3;

Expression* ReadIOList(BvuBinaryStream& message, void* reading_context, std::uint32_t flags,
                       int depth) {
  Expression* list = Expression::ReadFromMessage(message, reading_context, flags | 1, depth);
  if (list != nullptr && list->ClassId() != exprclass::kProcIOList) {
    list->Release();
    return nullptr;
  }
  return list;
}

// Inputs, outputs and the argument path of the definition the caller had
// bound. The path is read to stay in step and dropped: a call is bound
// again by the procedure equation that owns it.
Expression* ReadProcCall(BvuBinaryStream& message, void* reading_context, std::uint32_t flags,
                         int depth) {
  Expression* inputs = ReadIOList(message, reading_context, flags, depth + 1);
  if (inputs == nullptr) return nullptr;
  Expression* outputs = ReadIOList(message, reading_context, flags, depth + 1);
  Status s = outputs != nullptr ? 0 : status::kBadArguments;
  if (s == 0) BvuIdPath path(message, &s);
  Expression* node = nullptr;
  if (!status::IsFailure(s)) {
    node = new ProcCallExpression(static_cast<ProcIOListExpression*>(inputs),
                                  static_cast<ProcIOListExpression*>(outputs));
  }
  Expression::Release(inputs);
  Expression::Release(outputs);
  return node;
}

Expression* ReadLeaf(BvuBinaryStream& message, std::uint16_t op, std::uint16_t type,
                     void* reading_context, std::uint32_t flags, int depth) {
  if (op == kTime) return NewSysFunExpression(FindOrRegisterSystemFunction("Time"));
  std::uint8_t class_id = 0;
  if (message.GetUInt8(&class_id) != 0) return nullptr;
  Expression* node = nullptr;
  switch (class_id) {
    case exprclass::kSysFun: {
      char* name = nullptr;
      if (status::IsFailure(message.GetStringNew(&name)) || name == nullptr) {
        delete[] name;
        return nullptr;
      }
      node = NewSysFunExpression(FindOrRegisterSystemFunction(name));
      delete[] name;
      return node;
    }
    case exprclass::kExpression:
      if (op != kTerm) {
        node = new Expression(op, type);
        break;
      }
      [[fallthrough]];
    case exprclass::kTerminal: {
      auto terminal = std::make_unique<TerminalExpression>();
      terminal->SetResultType(type);
      if (terminal->Value().ReadBinary(message, type) != 0) return nullptr;
      node = terminal.release();
      break;
    }
    case exprclass::kVarRef: {
      std::uint32_t offset = 0;
      if (message.GetUInt32(&offset) != 0) return nullptr;
      node = new VarRefExpression(offset, type);
      break;
    }
    case exprclass::kHomList:
    case exprclass::kProcIOList: {
      std::unique_ptr<ListExpression> list;
      if (class_id == exprclass::kHomList) {
        list = std::make_unique<HomListExpression>();
      } else {
        list = std::make_unique<ProcIOListExpression>();
        flags |= 1;
      }
      if (!list->ReadItems(message, reading_context, flags, depth + kListLevels)) return nullptr;
      list->SetResultType(type);
      node = list.release();
      break;
    }
    case exprclass::kProcCall:
      node = ReadProcCall(message, reading_context, flags, depth);
      if (node == nullptr) return nullptr;
      node->SetResultType(type);
      break;
    default:
      return nullptr;
  }
  node->AddRef();
  return node;
}

}  // namespace

CompactReadBudget::CompactReadBudget() : top_(!t_fold_budget.active) {
  if (top_) t_fold_budget = {true, false, kMaxFoldedElementsPerRead};
}

CompactReadBudget::~CompactReadBudget() {
  if (top_) t_fold_budget = {};
}

bool ChargeFoldedElements(const SUValue& value) {
  if (!t_fold_budget.active) return true;
  const std::int64_t elements = 1 + ((value.IsSet() || value.IsArray()) ? value.count : 0);
  if (t_fold_budget.exceeded || elements > t_fold_budget.left) {
    t_fold_budget.exceeded = true;
    return false;
  }
  t_fold_budget.left -= elements;
  return true;
}

Expression* Expression::ReadFromMessage(BvuBinaryStream& message, void* reading_context,
                                        std::uint32_t flags, int depth) {
  if (depth >= kMaxExpressionDepth) return nullptr;
  const CompactReadBudget budget;
  std::uint8_t code = 0;
  std::uint16_t node_flags = 0;
  std::uint16_t type = 0;
  if (message.GetUInt8(&code) != 0 || message.GetUInt16(&node_flags) != 0 ||
      message.GetUInt16(&type) != 0) {
    return nullptr;
  }
  const std::uint16_t op = RowForCode(code);
  Expression* node = nullptr;
  switch (Row(op).operands) {
    case 1: {
      Expression* child = ReadFromMessage(message, reading_context, flags, depth + 1);
      if (child == nullptr) return nullptr;
      node = MakeUnaryExpression(op, child, type);
      child->Release();
      break;
    }
    case 2: {
      Expression* left = ReadFromMessage(message, reading_context, flags, depth + 1);
      if (left == nullptr) return nullptr;
      Expression* right = ReadFromMessage(message, reading_context, flags, depth + 1);
      if (right == nullptr) {
        left->Release();
        return nullptr;
      }
      node = MakeBinaryExpression(op, left, right, type);
      left->Release();
      right->Release();
      break;
    }
    case 0:
      node = ReadLeaf(message, op, type, reading_context, flags, depth);
      break;
    default:
      return nullptr;
  }
  if (node != nullptr && t_fold_budget.exceeded) {
    // The read folded more than one message may make: it is refused.
    node->Release();
    return nullptr;
  }
  if (node != nullptr) node->SetFlags(node_flags);
  return node;
}
