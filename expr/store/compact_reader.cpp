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
  // A leaf of no type is sent as real: it reads so at once, so that the
  // nodes above take their type from it now rather than at the next read.
  if (class_id != exprclass::kProcCall && node->GetResultType() == 0) {
    node->SetResultType(SUValue::kReal);
  }
  node->AddRef();
  return node;
}

// Sums and products of many terms come from models as long chains of one
// shape or the other. A chain (nodes of one such row with the same flags and
// type, each below another) is read with a stack of its own, not a frame a
// node; its terms are read as usual. A short chain is then built as the
// bytes nest it, through the builders; a long one as a balanced tree of
// plain nodes, so that the read, and every walk over the tree after it,
// take time linear in the terms and stack in their logarithm.
//
// Whatever the reader gives, sent and read again, gives the same tree: a
// short chain is a tree the builders leave as it is, and every chain of
// kBalancedChainTerms terms or more is balanced. Where the simplifier
// changes a chain after it was read (by joining it to another, or giving
// its head the flags of a node that simplified away), the reader makes the
// chains it leaves as a reading of the sent tree would make them.
constexpr std::size_t kBalancedChainTerms = 64;

bool IsChainRow(std::uint16_t op) { return op == kAdd || op == kMul; }

bool IsChainNode(Expression* e) {
  return e != nullptr && IsChainRow(e->Op()) && e->ClassId() == exprclass::kBinary &&
         e->Operand(1) != nullptr && e->Operand(2) != nullptr;
}

// The node as a list, else null. The nodes of other classes a read makes by
// the hundred thousand are told by their class id, without a cast through
// the class hierarchy.
ListExpression* AsList(Expression* e) {
  switch (e->ClassId()) {
    case exprclass::kTerminal:
    case exprclass::kUnary:
    case exprclass::kBinary:
    case exprclass::kVarRef:
    case exprclass::kVariable:
      return nullptr;
    default:
      return dynamic_cast<ListExpression*>(e);
  }
}

// `e` belongs to the chain that `head` heads.
bool SameChain(Expression* e, const Expression* head) {
  return IsChainNode(e) && e->Op() == head->Op() && e->GetResultType() == head->GetResultType() &&
         e->Flags() == head->Flags();
}

struct Chain {
  std::uint16_t op = 0;
  std::uint16_t type = 0;
  std::uint16_t flags = 0;
  std::vector<std::uint8_t> shape;  // pre-order: 1 a chain node, 0 a term
  std::vector<Expression*> terms;   // one reference each
  Chain() = default;
  Chain(const Chain&) = delete;
  Chain& operator=(const Chain&) = delete;
  ~Chain() {
    for (Expression* term : terms) term->Release();
  }
};

// Nodes remade after their chain was read draw on the read's budget, as
// folded elements do: a message whose simplification keeps remaking the
// same chains is refused.
bool ChargeRemade(std::size_t nodes) {
  if (!t_fold_budget.active) return true;
  const auto count = static_cast<std::int64_t>(nodes);
  if (t_fold_budget.exceeded || count > t_fold_budget.left) {
    t_fold_budget.exceeded = true;
    return false;
  }
  t_fold_budget.left -= count;
  return true;
}

Expression* TakeFlags(Expression* node, std::uint16_t flags);

bool IsTypeChange(Expression* e) { return e->Op() == kNop && e->OperandCount() == 1; }

// What of an operand is sent: a change of type is not.
Expression* AsSent(Expression* e) { return IsTypeChange(e) ? e->Operand(1) : e; }

Expression* BuiltUntyped(std::uint16_t op, Expression* left, Expression* right,
                         std::uint16_t flags);

// A node of the row, type and flags over its operands, simplified as the
// builders do; the rules see the flags it will carry.
Expression* Built(std::uint16_t op, Expression* left, Expression* right, std::uint16_t type,
                  std::uint16_t flags) {
  if (type == 0) return BuiltUntyped(op, left, right, flags);
  auto* node = new BinaryExpression(op, left, right, type);
  node->SetFlags(flags);
  node->AddRef();
  return TakeFlags(SimplifyFully(node), flags);
}

// A node that names no type takes one from its operands. It is read as
// that typed node is read once sent: with the type named and without the
// changes of type to it, which are not sent; a change to real is.
Expression* BuiltUntyped(std::uint16_t op, Expression* left, Expression* right,
                         std::uint16_t flags) {
  auto* typed = new BinaryExpression(op, left, right, 0);
  typed->AddRef();
  const std::uint16_t type = typed->GetResultType();
  if (type == 0) {
    typed->SetFlags(flags);
    return TakeFlags(SimplifyFully(typed), flags);
  }
  Expression* a = AsSent(typed->Operand(1));
  Expression* b = AsSent(typed->Operand(2));
  a->AddRef();
  b->AddRef();
  typed->Release();
  Expression* node = Built(op, a, b, type, flags);
  a->Release();
  b->Release();
  return node;
}

// The chain as the bytes nest it, through the builders.
Expression* BuildAsRead(const Chain& chain, std::size_t* at, std::size_t* term) {
  if (chain.shape[(*at)++] == 0) {
    Expression* leaf = chain.terms[(*term)++];
    leaf->AddRef();
    return leaf;
  }
  Expression* left = BuildAsRead(chain, at, term);
  Expression* right = BuildAsRead(chain, at, term);
  Expression* node = left != nullptr && right != nullptr
                         ? Built(chain.op, left, right, chain.type, chain.flags)
                         : nullptr;
  Expression::Release(left);
  Expression::Release(right);
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
  auto* node = new BinaryExpression(chain.op, left, right, chain.type);
  node->AddRef();
  node->SetFlags(chain.flags);
  node->MarkBalancedChain();
  left->Release();
  right->Release();
  return node;
}

// The chain that `head` heads as it stands, with a reference on each term.
void Collect(Expression* head, Chain* chain) {
  chain->op = head->Op();
  chain->type = head->GetResultType();
  chain->flags = head->Flags();
  std::vector<Expression*> pending{head};
  while (!pending.empty()) {
    Expression* node = pending.back();
    pending.pop_back();
    if (SameChain(node, head)) {
      chain->shape.push_back(1);
      pending.push_back(node->Operand(2));
      pending.push_back(node->Operand(1));
    } else {
      chain->shape.push_back(0);
      node->AddRef();
      chain->terms.push_back(node);
    }
  }
}

// Whether the chain has the shape BuildBalanced gives its terms.
bool Balanced(const Chain& chain) {
  std::size_t at = 0;
  std::vector<std::size_t> pending{chain.terms.size()};
  while (!pending.empty()) {
    const std::size_t terms = pending.back();
    pending.pop_back();
    if (at >= chain.shape.size() || chain.shape[at++] != (terms > 1 ? 1 : 0)) return false;
    if (terms > 1) {
      pending.push_back(terms - terms / 2);
      pending.push_back(terms / 2);
    }
  }
  return at == chain.shape.size();
}

// The chain that `head` heads, made as a reading of the sent tree would make
// it (one reference taken); null when the read's budget is spent.
Expression* Remade(Expression* head) {
  Chain chain;
  Collect(head, &chain);
  if (chain.terms.size() >= kBalancedChainTerms && Balanced(chain)) {
    head->AddRef();
    return head;
  }
  if (!ChargeRemade(chain.shape.size())) return nullptr;
  if (chain.terms.size() >= kBalancedChainTerms) return BuildBalanced(chain, 0, chain.terms.size());
  std::size_t at = 0;
  std::size_t term = 0;
  return BuildAsRead(chain, &at, &term);
}

// Gives `node` (one reference held by the reader) the flags read for it:
// the node that stands, with that reference. A constant held elsewhere
// (the simplifier's shared ones) is copied rather than marked. A sum or
// product whose flags change leaves the chain it headed and may join the
// chains of its operands: its operands of the old chain head chains of
// their own and are remade, and the node is made again with its flags.
Expression* TakeFlags(Expression* node, std::uint16_t flags) {
  if (node == nullptr || node->Flags() == flags) return node;
  if (node->OperandCount() == 0 && node->RefCount() > 1) {
    auto* copy = static_cast<Expression*>(node->Copy());
    copy->AddRef();
    node->Release();
    node = copy;
  }
  auto joins = [node, flags](Expression* operand) {
    return SameChain(operand, node) ||
           (IsChainNode(operand) && operand->Op() == node->Op() &&
            operand->GetResultType() == node->GetResultType() && operand->Flags() == flags);
  };
  if (!IsChainNode(node) || (!joins(node->Operand(1)) && !joins(node->Operand(2)))) {
    node->SetFlags(flags);
    return node;
  }
  Expression* operands[2] = {nullptr, nullptr};
  for (int i = 0; i < 2; ++i) {
    Expression* operand = node->Operand(i + 1);
    if (SameChain(operand, node)) {
      operands[i] = Remade(operand);
    } else {
      operand->AddRef();
      operands[i] = operand;
    }
  }
  const std::uint16_t op = node->Op();
  const std::uint16_t type = node->GetResultType();
  node->Release();
  if (operands[0] == nullptr || operands[1] == nullptr) {
    Expression::Release(operands[0]);
    Expression::Release(operands[1]);
    return nullptr;
  }
  Expression* remade = Built(op, operands[0], operands[1], type, flags);
  operands[0]->Release();
  operands[1]->Release();
  return remade;
}

// Where a chain's terms stand: levels below its top as the bytes nest them,
// and the levels each takes below itself.
struct TermPlaces {
  std::vector<int> levels;
  std::vector<int> heights;
};

// The chain read at `depth`, built as a balanced tree when it is long and
// as the bytes nest it otherwise; null when that nests beyond the limit
// (a short chain is refused as any other nesting is: balanced, it would
// read back through the builders). *height: the levels it takes below
// `depth`.
Expression* Finished(const Chain& chain, const TermPlaces& places, int depth, int* height) {
  int tallest = 0;       // levels of the tallest term
  int deepest_read = 0;  // levels of the deepest term as the bytes nest it
  for (std::size_t k = 0; k < places.heights.size(); ++k) {
    tallest = std::max(tallest, places.heights[k]);
    deepest_read = std::max(deepest_read, places.levels[k] + places.heights[k]);
  }
  if (chain.terms.size() >= kBalancedChainTerms) {
    int balanced_levels = 0;
    while ((std::size_t{1} << balanced_levels) < chain.terms.size()) ++balanced_levels;
    if (depth + balanced_levels + tallest >= kMaxExpressionDepth) return nullptr;
    *height = balanced_levels + tallest;
    return BuildBalanced(chain, 0, chain.terms.size());
  }
  if (depth + deepest_read >= kMaxExpressionDepth) return nullptr;
  *height = deepest_read;
  std::size_t at = 0;
  std::size_t term = 0;
  return BuildAsRead(chain, &at, &term);
}

// A chain that names no type, its shape read and its terms with their
// heights. Each of its nodes takes the type of its operands, the larger
// of theirs; the nodes of one type that hang together are one chain of
// that type once sent, and the chains of smaller types below it are terms
// of it, changed to its type. It is read as those typed chains would be.
class UntypedChain {
 public:
  UntypedChain(const Chain& chain, const std::vector<int>& heights)
      : chain_(chain), heights_(heights), types_(chain.shape.size()) {
    // Bottom up: the shape is in pre-order, so walked backwards every node
    // comes after both of its operands.
    std::vector<std::uint16_t> operands;
    std::size_t term = chain.terms.size();
    for (std::size_t at = chain.shape.size(); at-- > 0;) {
      if (chain.shape[at] == 0) {
        types_[at] = chain.terms[--term]->GetResultType();
      } else {
        const std::uint16_t a = operands.back();
        operands.pop_back();
        types_[at] = std::max(a, operands.back());
        operands.pop_back();
      }
      operands.push_back(types_[at]);
    }
  }

  // Read at `depth`; *height: the levels it takes below `depth`. The typed
  // chains nest on a stack of their own, not a frame each.
  Expression* Read(int depth, int* height) {
    std::size_t at = 0;
    std::size_t term = 0;
    std::vector<std::unique_ptr<Typed>> open;
    open.push_back(std::make_unique<Typed>(chain_, types_[at++], depth, 0));
    for (;;) {
      Typed& typed = *open.back();
      if (typed.slots.empty()) {
        int typed_height = 0;
        Expression* node = Finished(typed.chain, typed.places, typed.depth, &typed_height);
        const int level = typed.level;
        open.pop_back();
        if (open.empty()) {
          *height = typed_height;
          return node;
        }
        // A term of the chain above it, with the flags of its header.
        node = TakeFlags(node, chain_.flags);
        if (node != nullptr && t_fold_budget.exceeded) {
          node->Release();
          node = nullptr;
        }
        if (!open.back()->Add(node, level, typed_height)) return nullptr;
        continue;
      }
      const int level = typed.slots.back();
      typed.slots.pop_back();
      if (chain_.shape[at] == 1 && types_[at] == typed.chain.type) {
        ++at;
        typed.chain.shape.push_back(1);
        typed.slots.push_back(level + 1);
        typed.slots.push_back(level + 1);
        continue;
      }
      typed.chain.shape.push_back(0);
      if (chain_.shape[at] == 1) {
        // A change to real is sent, as a node of its own above the term.
        const int below = typed.depth + 1 + (ToReal(types_[at], typed.chain.type) ? 1 : 0);
        if (below + 1 >= kMaxExpressionDepth) return nullptr;
        open.push_back(std::make_unique<Typed>(chain_, types_[at++], below, level));
        continue;
      }
      ++at;
      Expression* read = chain_.terms[term];
      read->AddRef();
      if (!typed.Add(read, level, heights_[term++])) return nullptr;
    }
  }

 private:
  static bool ToReal(std::uint16_t from, std::uint16_t to) {
    return to == SUValue::kReal && (from == SUValue::kInteger || from == SUValue::kLogical);
  }

  // One typed chain being gathered: its shape and terms, where they stand,
  // the operands still to come, and where the chain stands itself.
  struct Typed {
    Typed(const Chain& untyped, std::uint16_t type, int depth, int level)
        : depth(depth), level(level) {
      chain.op = untyped.op;
      chain.type = type;
      chain.flags = untyped.flags;
      chain.shape.push_back(1);
    }
    // Takes `term` (a reference, or null when it was refused), changed to
    // the chain's type as a node of it that names no type changes it.
    bool Add(Expression* term, int term_level, int term_height) {
      if (term == nullptr) return false;
      if (term->GetResultType() != chain.type) {
        if (ToReal(term->GetResultType(), chain.type)) ++term_height;
        Expression* converted = ConvertedOperand(term, chain.type);
        term->Release();
        // Any other change of type is not sent: the chain reads back over
        // the term itself.
        term = AsSent(converted);
        term->AddRef();
        converted->Release();
        if (t_fold_budget.exceeded) {
          term->Release();
          return false;
        }
      }
      chain.terms.push_back(term);
      places.levels.push_back(term_level);
      places.heights.push_back(term_height);
      return true;
    }

    Chain chain;
    TermPlaces places;
    std::vector<int> slots{1, 1};  // levels below the top of the operands still to come
    int depth;
    int level;  // in the chain above
  };

  const Chain& chain_;
  const std::vector<int>& heights_;
  std::vector<std::uint16_t> types_;  // by position in the shape
};

// What the read of a chain gathers, kept off the stack: chains nest in each
// other as deep as the limit allows, a frame each.
struct ChainRead {
  Chain chain;
  TermPlaces places;
  std::vector<int> slots{1, 1};  // levels below the top of the operands still to read
};

// The chain gathered, read at `depth` as its header types it.
Expression* ChainBuilt(const ChainRead& read, int depth, int* height) {
  if (read.chain.type != 0) return Finished(read.chain, read.places, depth, height);
  return UntypedChain(read.chain, read.places.heights).Read(depth, height);
}

Expression* ReadChain(BvuBinaryStream& message, const Header& header, void* reading_context,
                      std::uint32_t flags, int depth) {
  if (depth + 1 >= kMaxExpressionDepth) return nullptr;
  const auto read = std::make_unique<ChainRead>();
  Chain& chain = read->chain;
  chain.op = RowForCode(header.code);
  chain.type = header.type;
  chain.flags = header.flags;
  chain.shape.push_back(1);
  // Every term is read as one level below the top, where the shallowest
  // placement puts it; the placement chosen must keep the deepest of them
  // within the limit.
  while (!read->slots.empty()) {
    const int level = read->slots.back();
    read->slots.pop_back();
    Header next;
    if (!ReadHeader(message, &next)) return nullptr;
    if (next == header) {
      chain.shape.push_back(1);
      read->slots.push_back(level + 1);
      read->slots.push_back(level + 1);
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
    read->places.levels.push_back(level);
    read->places.heights.push_back(height);
  }
  int height = 0;
  Expression* node = ChainBuilt(*read, depth, &height);
  if (node != nullptr) NoteDepth(depth + height);
  return node;
}

// Balances every chain of kBalancedChainTerms terms or more below `node`
// (one reference held by the caller) that the simplifier joined or
// regrouped after it was read; the node that stands, with that reference.
Expression* BalanceLongChains(Expression* node) {
  if (IsChainNode(node)) {
    // Terms first, each put in place in the chain node that holds it.
    std::vector<std::pair<Expression*, std::int32_t>> places;
    std::vector<Expression*> pending{node};
    while (!pending.empty()) {
      Expression* chain_node = pending.back();
      pending.pop_back();
      for (std::int32_t i = 2; i >= 1; --i) {
        Expression* operand = chain_node->Operand(i);
        if (SameChain(operand, node)) {
          pending.push_back(operand);
        } else {
          places.emplace_back(chain_node, i);
        }
      }
    }
    for (const auto& [holder, index] : places) {
      Expression* term = holder->Operand(index);
      term->AddRef();
      Expression* balanced = BalanceLongChains(term);
      if (balanced != term) holder->Operand(index, balanced);
      balanced->Release();
    }
    Chain chain;
    Collect(node, &chain);
    if (chain.terms.size() < kBalancedChainTerms || Balanced(chain)) return node;
    node->Release();
    return BuildBalanced(chain, 0, chain.terms.size());
  }
  if (auto* list = AsList(node)) {
    for (std::int32_t i = 0; i < list->ItemCount(); ++i) {
      Expression* item = list->List()->At(static_cast<std::size_t>(i));
      item->AddRef();
      Expression* balanced = BalanceLongChains(item);
      if (balanced != item) list->List()->Replace(static_cast<std::size_t>(i), balanced);
      balanced->Release();
    }
    return node;
  }
  for (std::int32_t i = 1; i <= node->OperandCount(); ++i) {
    Expression* operand = node->Operand(i);
    if (operand == nullptr) continue;
    operand->AddRef();
    Expression* balanced = BalanceLongChains(operand);
    if (balanced != operand) node->Operand(i, balanced);
    balanced->Release();
  }
  return node;
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
      node = Built(op, left, right, header.type, header.flags);
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
  node = TakeFlags(node, header.flags);
  if (node != nullptr && t_fold_budget.exceeded) {
    // The read folded or remade more than one message may make: it is refused.
    node->Release();
    return nullptr;
  }
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
    if (auto* list = AsList(node)) {
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
  if (node != nullptr && depth == 0 && WithinNesting(node, kMaxExpressionDepth)) {
    node = BalanceLongChains(node);
  }
  if (node != nullptr && depth == 0 && !WithinNesting(node, kMaxExpressionDepth)) {
    node->Release();
    return nullptr;
  }
  return node;
}
