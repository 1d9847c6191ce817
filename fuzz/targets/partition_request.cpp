// Analyse-specification requests: the request body read against the tank
// model's tree; a refused body writes nothing, an accepted one a reply.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "daes/instance/instance_node.h"
#include "daes/problem/problem.h"
#include "fuzz/byte_stream.h"
#include "solve/groups/partition.h"
#include "tools/model_writer/sample_models.h"

namespace {

struct TankModel {
  TankModel() : root(new DAESInstanceNode(nullptr, nullptr)) {
    vantor_fuzz::ByteStream body;
    modelwriter::Writer w(body);
    modelwriter::Tank(w);
    vantor_fuzz::ByteStream in(body.Bytes());
    root->ReadFromMessage(in, root, nullptr, root);
    problem.reset(DAESCreateProblem(root, 0, nullptr));
  }
  DAESInstanceNode* root;
  std::unique_ptr<DAESProblem> problem;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static TankModel* model = new TankModel();
  if (model->problem == nullptr) std::abort();
  vantor_fuzz::ByteStream request(std::vector<std::uint8_t>(data, data + size));
  vantor_fuzz::ByteStream reply;
  const Status s = Partition(model->problem.get(), request, model->root, reply);
  if (s == kPartitionBadRequest && reply.Size() != 0) {
    std::fprintf(stderr, "partition_request: a refused request wrote a reply\n");
    std::abort();
  }
  return 0;
}
