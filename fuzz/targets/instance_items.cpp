// Instance descriptions: an item list read into a fresh model tree, which
// is then printed and deleted, as the instance manager would.
#include "daes/equations/equation_node.h"
#include "daes/instance/instance_node.h"
#include "fuzz/byte_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vantor_fuzz::ByteStream body(std::vector<std::uint8_t>(data, data + size));
  auto* root = new DAESInstanceNode(nullptr, nullptr);
  root->ReadFromMessage(body, root, nullptr, root);
  // Evaluate what was built: every element must lead somewhere valid.
  for (std::int32_t i = root->LowIndex(); i <= root->HighIndex(); ++i) {
    BvuDirectoryNode* instance = root->ChildAt(i);
    if (instance == nullptr) continue;
    for (std::int32_t j = instance->LowIndex(); j <= instance->HighIndex() && j < 64; ++j) {
      if (auto* eq = dynamic_cast<DAESSimpleEquation*>(instance->ChildAt(j))) {
        double r = 0.0;
        eq->EvaluateResidual(&r);
      }
    }
  }
  BvuDirectoryProper::DeleteBelow(root);
  delete root;
  return 0;
}
