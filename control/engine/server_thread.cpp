#include "control/engine/server_thread.h"

#include <cstdio>
#include <memory>

#include "control/managers/instance_mgr.h"
#include "control/problem/control_loop.h"
#include "control/problem/problem_manager.h"
#include "control/problem/run_steps.h"
#include "daes/delays/delay_mgr.h"
#include "framework/connections/io_status.h"
#include "framework/messaging/io_queue.h"
#include "framework/runtime/xos_time.h"
#include "framework/servers/controller.h"
#include "framework/servers/server_registry.h"
#include "solve/options/solver_option_table.h"

namespace {

SimEngineAddOnMaker g_add_on_maker = nullptr;

class ControllerPort final : public ControlLoopPort {
 public:
  explicit ControllerPort(DseController& controller) : controller_(controller) {}
  Status Poll() override { return controller_.Poll(); }
  Status PollWithTimers() override { return controller_.PollWithTimers(); }
  void Idle(std::uint32_t ms) override {
    if (DseIOQueue* io = controller_.IOQueue()) io->WaitReady(ms, true, false);
  }
  void IdleOrWake(std::uint32_t ms, int wake) override {
    if (DseIOQueue* io = controller_.IOQueue()) io->WaitReady(ms, true, false, wake);
  }
  std::int32_t ChildNumber() override { return controller_.ChildNumber(); }

 private:
  DseController& controller_;
};

// The engine's real objects.
class EngineParts final : public ServerThreadParts {
 public:
  explicit EngineParts(const EngineArguments& arguments) : arguments_(arguments) {}

  void MakeOptions() override { SolverOptionTable::Instance(); }
  Status MakeController() override {
    Status built = status::kOk;
    controller_ = std::make_unique<DseController>(arguments_.argc, arguments_.argv,
                                                  kEngineConfiguration, &built);
    if (built == status::kOpenFailed && controller_->ChildNumber() == 0) {
      // Started by hand: say who starts it before the pause and the failure.
      std::fprintf(stderr,
                   "vantor: a client starts the engine as its child, with -ChildNo=1 "
                   "(for example vantor-client %s first-order FOLDER; see vantor-client "
                   "--help); on its own it has no client to serve\n",
                   arguments_.argc > 0 && arguments_.argv != nullptr ? arguments_.argv[0]
                                                                      : "vantor");
      std::fflush(stderr);
    }
    return built;
  }
  Status MakeProblemManager() override {
    registry_ = std::make_unique<DseServerRegistry>();
    Status made = status::kOk;
    objects_ = std::make_unique<EngineObjects>(registry_.get(), &made);
    return made;
  }
  Status Start() override { return controller_->Start(registry_.get(), nullptr); }
  Status RunControlLoop() override {
    ControllerPort port(*controller_);
    return objects_->Manager().RunControlLoop(port);
  }
  void FlushCollector() override { objects_->Manager().Collector().SendGroupsAtEnd(); }
  Status Poll() override { return controller_->Poll(); }
  void Pause(std::uint32_t ms) override { XosSleep(ms); }
  void ReleaseRegistry() override {
    DseServerRegistry* returned = nullptr;
    controller_->ReleaseServerRegistry(&returned);
  }
  void DestroyProblemManager() override { objects_.reset(); }
  void DestroyRegistry() override { registry_.reset(); }
  void DestroyController() override { controller_.reset(); }

 private:
  const EngineArguments& arguments_;
  std::unique_ptr<DseController> controller_;
  std::unique_ptr<DseServerRegistry> registry_;
  std::unique_ptr<EngineObjects> objects_;
};

}  // namespace

void SetEngineAddOnMaker(SimEngineAddOnMaker maker) { g_add_on_maker = maker; }

EngineObjects::EngineObjects(DseServerRegistry* registry, Status* status) {
  Status made = status::kOk;
  // Current from here on: the run steps record the delayed values.
  delays_.reset(DAESCreateDelayMgr());
  manager_ = std::make_unique<SimProblemMgr>(registry, &made);
  // Unless the program put its own run steps in place.
  if (dynamic_cast<SimPlainRunOps*>(&manager_->RunOps()) != nullptr) {
    steps_ = std::make_unique<SimRunSteps>(*manager_);
    manager_->SetRunOps(steps_.get());
    // The problem is built from the instance manager's tree.
    if (SimInstanceMgr* instances = manager_->Instances()) {
      steps_->DaesModel()->SetInstanceTree(instances, instances);
    }
  }
  if (g_add_on_maker != nullptr) {
    Status added = status::kOk;
    add_ons_ = g_add_on_maker(*manager_, registry, &added);
    if (status::IsSuccess(made)) made = added;
  }
  if (status != nullptr) *status = made;
}

// The run steps outlive the manager: its run thread and its integrator
// use them until it is gone. The managers above control go first.
EngineObjects::~EngineObjects() {
  add_ons_.reset();
  manager_.reset();
  steps_.reset();
  delays_.reset();
}

Status RunServerThread(ServerThreadParts& parts) {
  parts.MakeOptions();
  const Status built = parts.MakeController();
  if (status::IsFailure(built)) {
    // Ends as a failure: no failure path of the engine exits with 0.
    parts.Pause(kNoControllerPauseMs);
    parts.DestroyController();
    return built;
  }
  Status loop = parts.MakeProblemManager();
  if (status::IsSuccess(loop)) {
    const Status started = parts.Start();
    // Without a connection there is nothing to serve: a loop would poll an
    // unconnected controller for ever.
    loop = status::IsFailure(started) ? started : parts.RunControlLoop();
  }
  // The replies and event lines of the last pass still leave; lines the
  // loop collected after its last flush too.
  parts.FlushCollector();
  for (int i = 0; i < kDrainPolls; ++i) {
    parts.Poll();
    parts.Pause(kDrainPauseMs);
  }
  parts.ReleaseRegistry();
  parts.DestroyProblemManager();
  parts.DestroyRegistry();
  parts.DestroyController();
  return loop;
}

std::uint32_t ServerThreadBody(void* block) {
  EngineParts parts(*static_cast<const EngineArguments*>(block));
  return RunServerThread(parts);
}

