// Service-50 requests of the problem manager. The first byte says what
// exists besides an engine decomposition in solver slot 0: bit 1 an empty
// problem with its solvers set up, bit 2 an integrator. The rest is the
// request body as the client sends it, handed over as a received message.
// Request 111 is left out: it would load whatever library the input names.
#include <memory>
#include <vector>

#include "control/problem/problem_manager.h"
#include "control/problem/problem_services.h"
#include "daes/instance/instance_node.h"
#include "daes/problem/problem.h"
#include "framework/connections/segment.h"
#include "framework/messaging/message.h"
#include "fuzz/received_request.h"
#include "solve/groups/decomposition.h"
#include "tests/support/quiet_run_seams.h"

namespace {

class QuietIntegrator : public QuietRunIntegrator {
 public:
  std::int32_t GetIntegratorKind() const override { return 3; }
  Status BeginRun() override { return 618; }
  Status EndRun() override { return 0; }
};

std::unique_ptr<DseMessage> Received(const std::uint8_t* body, std::size_t size) {
  return vantor_fuzz::ReceivedRequest(SimProblemMgr::kProblemService, body, size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::uint8_t setup = data[0];
  if (data[1] == 111 && data[2] == 0) return 0;
  std::unique_ptr<DseMessage> request = Received(data + 1, size - 1);
  if (request == nullptr) return 0;

  SimProblemMgr manager(nullptr);
  platform::IUnknown* decomposition = nullptr;
  if (CreateDecompositionObject(&decomposition) == 0) {
    manager.Executive().AttachSolverObject(decomposition, 0);
    decomposition->Release();
  }
  DAESInstanceNode root(nullptr, nullptr);
  std::unique_ptr<DAESProblem> problem;
  if ((setup & 1) != 0) {
    problem.reset(DAESCreateProblem(&root, 0, nullptr));
    manager.SetStatusBits(run_bits::kSolvers);
  }
  if ((setup & 2) != 0) manager.SetIntegrator(std::make_unique<QuietIntegrator>());

  DseMessage* reply = nullptr;
  manager.HandleRequest(SimProblemMgr::kProblemService, request.get(), &reply, nullptr);
  delete reply;
  manager.Executive().ReleaseAll();
  return 0;
}
