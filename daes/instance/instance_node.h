// The model-instance tree and the instance-description messages that fill
// it. An item list is a signed 32-bit count and, per item, a 16-bit tag and
// its part; the items create and fill variables, parameters and equations.
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/directory/directory_node.h"

class Expression;
class DAESAdviseSink;
class DAESVariableAdviseList;
class DAESSwitchNode;

namespace daes {
inline constexpr std::int32_t kInstanceKind = 15;
// Kind of the library node that carries a stored expression (its
// LinkedObject is the Expression).
inline constexpr std::int32_t kLibraryExpressionKind = 27;
// Kind of the library node that carries a condition (LinkedObject likewise).
inline constexpr std::int32_t kLibraryConditionKind = 17;
// An item this engine cannot build, or that contradicts the tree.
inline constexpr Status kItemRefused = 0xA031FFFFu;
// More states than a switch may have (each needs its own item list).
inline constexpr std::uint32_t kMostSwitchStates = 65536;
}  // namespace daes

class DAESInstanceNode : public BvuDirectoryProper {
 public:
  DAESInstanceNode(BvuDirectoryNode* parent, const char* name) : BvuDirectoryProper(parent, name) {}

  std::int32_t GetKind() override { return daes::kInstanceKind; }
  // Reads one item list. Model items resolve from `root`, expression paths
  // from `expression_tree`; `extra` resolves equation references. Every item
  // is read; the first failure is the result.
  Status ReadFromMessage(BvuBinaryStream& stream, BvuDirectoryNode* root,
                         BvuDirectoryNode* expression_tree, void* extra) override;
  // Whether the last ReadFromMessage stopped inside an item, the rest of its
  // list unread: the bytes were not an item list.
  bool LastReadLost() const { return last_read_lost_; }
  // One item of tag 2, 22 or 6 (without its lists); *made, when asked,
  // becomes the node placed, or null.
  Status ReadEquation(std::uint16_t tag, BvuBinaryStream& stream, BvuDirectoryNode* expression_tree,
                      void* extra, std::uint32_t flags, BvuDirectoryNode** made = nullptr);

 private:
  // `lost` is set once a failure leaves the reader inside an item; lists
  // nested deeper than the expression nesting limit are refused.
  Status ReadList(BvuBinaryStream& stream, BvuDirectoryNode* root,
                  BvuDirectoryNode* expression_tree, void* extra, bool* lost, int depth);
  Status ReadExpressionPath(BvuBinaryStream& stream, BvuDirectoryNode* expression_tree,
                            BvuDirectoryNode** node);
  Status ReadModelItem(std::uint16_t tag, BvuBinaryStream& stream, BvuDirectoryNode* root);
  Status ReadConnection(BvuBinaryStream& stream, void* extra);
  // Tag 6: the IF node, then its THEN and ELSE lists into this node.
  Status ReadCondition(BvuBinaryStream& stream, BvuDirectoryNode* root,
                       BvuDirectoryNode* expression_tree, void* extra, bool* lost, int depth);
  // The head of a tag-13 item: the switch node, placed, with its state names.
  Status ReadSwitch(BvuBinaryStream& stream, DAESSwitchNode** made, BvuDirectoryNode** parent,
                    std::int32_t* index);
  // Tag 13: the head, one list per state, the initial state's name.
  Status ReadSwitchItem(BvuBinaryStream& stream, BvuDirectoryNode* root,
                        BvuDirectoryNode* expression_tree, void* extra, bool* lost, int depth);
  // Tag 14: a transition below a state of a switch.
  Status ReadTransition(BvuBinaryStream& stream, BvuDirectoryNode* expression_tree, void* extra);
  // Places a read equation node at the index, replacing (and destroying)
  // an equation already there; the body decides whether it stays.
  Status PlaceEquation(BvuDirectoryNode* parent, std::int32_t index, BvuDirectoryNode* node,
                       BvuBinaryStream& stream, void* extra);
  // Whether `node` is, or lies above, an IF or switch whose lists are being
  // read: replacing it would free the node the reader is filling.
  bool IsOpen(BvuDirectoryNode* node) const;

  // The IF and switch nodes whose nested lists are being read, outermost first.
  std::vector<BvuDirectoryNode*> open_;
  bool last_read_lost_ = false;
};

// Tag 5 instance node; 15 real variable; 25 state variable with its
// derivative; 16, 17, 19, 23, 26, 27 parameters; any other tag null.
BvuDirectoryNode* DAESCreateModelItem(std::int32_t tag, BvuDirectoryNode* parent, const char* name);
// Tags 1, 2 and 22: an equation node over the expression (a procedure node
// over a procedure call), carrying the flag word; 6: an IF node over the
// condition; 21: a connection node. Any other tag, or no expression, null.
BvuDirectoryNode* DAESCreateEquationNode(std::int32_t tag, BvuDirectoryNode* parent,
                                         const char* name, Expression* expression,
                                         std::uint32_t flags);
DAESVariableAdviseList* DAESCreateVariableAdviseList(DAESAdviseSink* sink, std::int32_t capacity);
