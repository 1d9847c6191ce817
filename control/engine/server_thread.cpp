#include "control/engine/server_thread.h"

#include <memory>

#include "control/problem/control_loop.h"
#include "control/problem/problem_manager.h"
#include "framework/messaging/io_queue.h"
#include "framework/runtime/xos_time.h"
#include "framework/servers/controller.h"
#include "framework/servers/server_registry.h"
#include "solve/options/solver_option_table.h"

namespace {

class ControllerPort final : public ControlLoopPort {
 public:
  explicit ControllerPort(DseController& controller) : controller_(controller) {}
  Status Poll() override { return controller_.Poll(); }
  Status PollWithTimers() override { return controller_.PollWithTimers(); }
  void Idle(std::uint32_t ms) override {
    if (DseIOQueue* io = controller_.IOQueue()) io->WaitReady(ms, true, false);
  }
  std::int32_t ChildNumber() override { return controller_.ChildNumber(); }

 private:
  DseController& controller_;
};

}  // namespace

std::uint32_t ServerThreadBody(void* block) {
  const auto* arguments = static_cast<const EngineArguments*>(block);
  SolverOptionTable::Instance();

  Status built = status::kOk;
  auto controller = std::make_unique<DseController>(arguments->argc, arguments->argv,
                                                    kEngineConfiguration, &built);
  if (status::IsFailure(built)) {
    // Ends as a failure: no failure path of the engine exits with 0.
    XosSleep(kNoControllerPauseMs);
    return built;
  }
  auto registry = std::make_unique<DseServerRegistry>();
  Status made = status::kOk;
  auto manager = std::make_unique<SimProblemMgr>(registry.get(), &made);

  Status loop = made;
  if (status::IsSuccess(made)) {
    const Status started = controller->Start(registry.get(), nullptr);
    if (status::IsFailure(started)) {
      // Nothing to serve: a loop would poll an unconnected controller forever.
      loop = started;
    } else {
      ControllerPort port(*controller);
      loop = manager->RunControlLoop(port);
    }
  }

  // The replies and event lines of the last pass still leave; lines the
  // loop collected after its last flush too.
  manager->Collector().SendGroups();
  for (int i = 0; i < kDrainPolls; ++i) {
    controller->Poll();
    XosSleep(kDrainPauseMs);
  }
  DseServerRegistry* returned = nullptr;
  controller->ReleaseServerRegistry(&returned);
  manager.reset();
  registry.reset();
  controller.reset();
  return loop;
}
