// Instance descriptions: an item list read into a fresh model tree, which
// is then printed and deleted, as the instance manager would. The
// expression of every equation read is sent on: what it sends reads back,
// and within a few rounds the sent bytes settle (see expr_message.cpp).
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "daes/equations/equation_node.h"
#include "daes/instance/instance_node.h"
#include "expr/tree/expression.h"
#include "fuzz/byte_stream.h"
#include "fuzz/fuzz_support.h"

namespace {

void Require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "instance_items: %s\n", what);
  std::abort();
}

// The bytes the tree sends; false when it sends nothing.
bool Sent(const Expression* tree, vantor_fuzz::Bytes* bytes) {
  vantor_fuzz::ByteStream out;
  if (tree->WriteCompactToMessage(out) != status::kOk) return false;
  *bytes = out.Bytes();
  return true;
}

Expression* ReadBack(const vantor_fuzz::Bytes& bytes) {
  vantor_fuzz::ByteStream message(bytes);
  return Expression::ReadFromMessage(message);
}

// As the compact-form target: what the expression sends reads back, and
// within a few rounds the sent bytes settle.
void RequireSettles(const Expression* residual) {
  vantor_fuzz::Bytes sent;
  if (!Sent(residual, &sent)) return;
  for (int round = 0; round < 8; ++round) {
    Expression* again = ReadBack(sent);
    Require(again != nullptr, "what an equation's expression sent did not read");
    vantor_fuzz::Bytes resent;
    const bool ok = Sent(again, &resent);
    again->Release();
    Require(ok, "an expression read from a sent one sent nothing");
    if (resent == sent) return;
    sent = std::move(resent);
  }
  Require(false, "the sent bytes of an expression did not settle");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vantor_fuzz::ByteStream body(std::vector<std::uint8_t>(data, data + size));
  auto* root = new DAESInstanceNode(nullptr, nullptr);
  root->ReadFromMessage(body, root, nullptr, root);
  // Evaluate what was built: every element must lead somewhere valid.
  // Children are visited by held index: ids may lie far apart, and a walk
  // over every index between them would take seconds.
  for (std::int32_t i = NextChildIndex(root, root->LowIndex()); i <= root->HighIndex();
       i = NextChildIndex(root, i + 1)) {
    BvuDirectoryNode* instance = root->ChildAt(i);
    if (instance == nullptr) continue;
    int visited = 0;
    for (std::int32_t j = NextChildIndex(instance, instance->LowIndex());
         j <= instance->HighIndex() && visited < 64;
         j = NextChildIndex(instance, j + 1), ++visited) {
      if (auto* eq = dynamic_cast<DAESSimpleEquation*>(instance->ChildAt(j))) {
        double r = 0.0;
        eq->EvaluateResidual(&r);
        if (eq->ResidualExpression() != nullptr) RequireSettles(eq->ResidualExpression());
      }
    }
  }
  BvuDirectoryProper::DeleteBelow(root);
  delete root;
  return 0;
}
