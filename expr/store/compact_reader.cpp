// The reader of the compact message form: depth-first, each node a one-byte
// operator code, u16 flags and u16 result type, then its children, and for
// a leaf its class id and body. The bytes come from the client, so every
// failed read of a child fails the whole read, nesting is bounded as the
// stored forms count it (a list level is three nested objects there), and
// the constants folded while reading draw on one budget per read.
#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

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

struct Header {
  std::uint8_t code = 0;
  std::uint16_t flags = 0;
  std::uint16_t type = 0;
  bool operator==(const Header&) const = default;
};

bool ReadHeader(BvuBinaryStream& message, Header* header) {
  return message.GetUInt8(&header->code) == 0 && message.GetUInt16(&header->flags) == 0 &&
         message.GetUInt16(&header->type) == 0;
}

// The deepest level a read on this thread has reached; chains use it to
// learn how tall their terms are.
thread_local int t_deepest = 0;
void NoteDepth(int depth) { t_deepest = std::max(t_deepest, depth); }

Expression* ReadNode(BvuBinaryStream& message, const Header& header, void* reading_context,
                     std::uint32_t flags, int depth);

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

// Inputs, outputs and the path of the procedure definition in the library
// tree. The call keeps the path: the procedure equation that owns it finds
// the definition there.
Expression* ReadProcCall(BvuBinaryStream& message, void* reading_context, std::uint32_t flags,
                         int depth) {
  Expression* inputs = ReadIOList(message, reading_context, flags, depth + 1);
  if (inputs == nullptr) return nullptr;
  Expression* outputs = ReadIOList(message, reading_context, flags, depth + 1);
  Status s = outputs != nullptr ? 0 : status::kBadArguments;
  BvuIdPath path;
  if (s == 0) path = ProcCallExpression::ReadCallPath(message, &s);
  Expression* node = nullptr;
  if (!status::IsFailure(s)) {
    auto* call = new ProcCallExpression(static_cast<ProcIOListExpression*>(inputs),
                                        static_cast<ProcIOListExpression*>(outputs));
    call->SetCallPath(path);
    node = call;
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

// Sums and products of many terms come from models as long chains of one
// shape or the other. A chain (nodes of one such row with the same flags and
// type, each below another) is read with a stack of its own, not a frame a
// node; its terms are read as usual. A short chain is then built as the
// bytes nest it; a long one as a balanced tree of plain nodes, so that the
// read, and every walk over the tree after it, take time linear in the
// terms and stack in their logarithm. Reading a balanced chain again gives
// the same tree.
constexpr std::size_t kBalancedChainTerms = 64;

bool IsChainRow(std::uint16_t op) { return op == kAdd || op == kMul; }

struct Chain {
  Header header;
  std::uint16_t op = 0;
  std::vector<std::uint8_t> shape;  // pre-order: 1 a chain node, 0 a term
  std::vector<Expression*> terms;   // one reference each
  ~Chain() {
    for (Expression* term : terms) term->Release();
  }
};

// The chain as the bytes nest it, through the builders.
Expression* BuildAsRead(const Chain& chain, std::size_t* at, std::size_t* term) {
  if (chain.shape[(*at)++] == 0) {
    Expression* leaf = chain.terms[(*term)++];
    leaf->AddRef();
    return leaf;
  }
  Expression* left = BuildAsRead(chain, at, term);
  Expression* right = BuildAsRead(chain, at, term);
  Expression* node = MakeBinaryExpression(chain.op, left, right, chain.header.type);
  left->Release();
  right->Release();
  node->SetFlags(chain.header.flags);
  return node;
}

Expression* BuildBalanced(const Chain& chain, std::size_t from, std::size_t to) {
  if (to - from == 1) {
    chain.terms[from]->AddRef();
    return chain.terms[from];
  }
  const std::size_t middle = from + (to - from) / 2;
  Expression* left = BuildBalanced(chain, from, middle);
  Expression* right = BuildBalanced(chain, middle, to);
  auto* node = new BinaryExpression(chain.op, left, right, chain.header.type);
  node->AddRef();
  node->SetFlags(chain.header.flags);
  left->Release();
  right->Release();
  return node;
}

Expression* ReadChain(BvuBinaryStream& message, const Header& header, void* reading_context,
                      std::uint32_t flags, int depth) {
  if (depth + 1 >= kMaxExpressionDepth) return nullptr;
  Chain chain;
  chain.header = header;
  chain.op = RowForCode(header.code);
  chain.shape.push_back(1);
  std::vector<int> slots{1, 1};  // levels below the top of the operands still to read
  // Every term is read as one level below the top, where the shallowest
  // placement puts it; the placement chosen must keep the deepest of them
  // within the limit.
  int tallest = 0;       // levels of the tallest term
  int deepest_read = 0;  // levels of the deepest term as the bytes nest it
  while (!slots.empty()) {
    const int level = slots.back();
    slots.pop_back();
    Header next;
    if (!ReadHeader(message, &next)) return nullptr;
    if (next == header) {
      chain.shape.push_back(1);
      slots.push_back(level + 1);
      slots.push_back(level + 1);
      continue;
    }
    chain.shape.push_back(0);
    const int outer_deepest = t_deepest;
    t_deepest = depth + 1;
    Expression* term = ReadNode(message, next, reading_context, flags, depth + 1);
    const int height = t_deepest - (depth + 1);
    t_deepest = std::max(outer_deepest, t_deepest);
    if (term == nullptr) return nullptr;
    chain.terms.push_back(term);
    tallest = std::max(tallest, height);
    deepest_read = std::max(deepest_read, level + height);
  }
  int balanced_levels = 0;
  while ((std::size_t{1} << balanced_levels) < chain.terms.size()) ++balanced_levels;
  const bool balanced_fits = depth + balanced_levels + tallest < kMaxExpressionDepth;
  const bool as_read_fits = depth + deepest_read < kMaxExpressionDepth;
  if (balanced_fits && (chain.terms.size() >= kBalancedChainTerms || !as_read_fits)) {
    NoteDepth(depth + balanced_levels + tallest);
    return BuildBalanced(chain, 0, chain.terms.size());
  }
  if (!as_read_fits) return nullptr;
  NoteDepth(depth + deepest_read);
  std::size_t at = 0;
  std::size_t term = 0;
  return BuildAsRead(chain, &at, &term);
}

Expression* ReadNode(BvuBinaryStream& message, const Header& header, void* reading_context,
                     std::uint32_t flags, int depth) {
  const std::uint16_t op = RowForCode(header.code);
  Expression* node = nullptr;
  switch (Row(op).operands) {
    case 1: {
      Expression* child = Expression::ReadFromMessage(message, reading_context, flags, depth + 1);
      if (child == nullptr) return nullptr;
      node = MakeUnaryExpression(op, child, header.type);
      child->Release();
      break;
    }
    case 2: {
      if (IsChainRow(op)) {
        node = ReadChain(message, header, reading_context, flags, depth);
        break;
      }
      Expression* left = Expression::ReadFromMessage(message, reading_context, flags, depth + 1);
      if (left == nullptr) return nullptr;
      Expression* right = Expression::ReadFromMessage(message, reading_context, flags, depth + 1);
      if (right == nullptr) {
        left->Release();
        return nullptr;
      }
      node = MakeBinaryExpression(op, left, right, header.type);
      left->Release();
      right->Release();
      break;
    }
    case 0:
      node = ReadLeaf(message, op, header.type, reading_context, flags, depth);
      break;
    default:
      return nullptr;
  }
  if (node != nullptr && t_fold_budget.exceeded) {
    // The read folded more than one message may make: it is refused.
    node->Release();
    return nullptr;
  }
  if (node != nullptr) node->SetFlags(header.flags);
  return node;
}

// Whether the tree nests at most `limit` levels (a list level three, as
// the reader counts): the simplifier's regrouping may make a tree taller
// than its bytes nested it. Walked with a stack of its own.
bool WithinNesting(Expression* root, int limit) {
  std::vector<std::pair<Expression*, int>> pending{{root, 1}};
  while (!pending.empty()) {
    const auto [node, level] = pending.back();
    pending.pop_back();
    if (level > limit) return false;
    if (auto* list = dynamic_cast<ListExpression*>(node)) {
      for (std::int32_t i = 0; i < list->ItemCount(); ++i) {
        pending.emplace_back(list->List()->At(static_cast<std::size_t>(i)), level + kListLevels);
      }
      continue;
    }
    for (std::int32_t i = 1; i <= node->OperandCount(); ++i) {
      if (Expression* operand = node->Operand(i)) pending.emplace_back(operand, level + 1);
    }
  }
  return true;
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
  NoteDepth(depth);
  Header header;
  if (!ReadHeader(message, &header)) return nullptr;
  Expression* node = ReadNode(message, header, reading_context, flags, depth);
  if (node != nullptr && depth == 0 && !WithinNesting(node, kMaxExpressionDepth)) {
    node->Release();
    return nullptr;
  }
  return node;
}
