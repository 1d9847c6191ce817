// One expression tree in the compact message form. A tree that reads is
// printed and sent on: whatever it sends reads back to a tree that sends
// the same bytes (one read-write round reaches the stable form). A broken
// promise aborts, which libFuzzer reports.
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "expr/tree/expression.h"
#include "fuzz/byte_stream.h"
#include "fuzz/fuzz_support.h"

namespace {

struct Tree {
  explicit Tree(Expression* node) : node(node) {}
  ~Tree() { Expression::Release(node); }
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;
  Expression* node;
};

void Require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "expr_message: %s\n", what);
  std::abort();
}

// The bytes the tree sends; false when it sends nothing.
bool Sent(const Tree& tree, vantor_fuzz::Bytes* bytes) {
  vantor_fuzz::ByteStream out;
  if (tree.node->WriteCompactToMessage(out) != status::kOk) return false;
  *bytes = out.Bytes();
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vantor_fuzz::ByteStream message(vantor_fuzz::BytesOf(data, size));
  const Tree tree(Expression::ReadFromMessage(message));
  if (tree.node == nullptr) return 0;
  std::ostringstream printed;
  Expression::PrintNode(printed, tree.node);
  vantor_fuzz::Bytes sent;
  if (!Sent(tree, &sent)) return 0;
  vantor_fuzz::ByteStream again_message(sent);
  const Tree again(Expression::ReadFromMessage(again_message));
  Require(again.node != nullptr, "what a tree sent did not read");
  vantor_fuzz::Bytes resent;
  Require(Sent(again, &resent), "a tree read from a sent one sent nothing");
  Require(resent == sent, "a tree read from a sent one sent other bytes");
  return 0;
}
