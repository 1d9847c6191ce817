// The engine with recording run steps and results: each run operation
// leaves a line in the message log the client receives, so that a client
// sees the road of a run without a model behind it. A step moves the time
// to the first timed event. VANTOR_RUN_MODE sets the run mode;
// VANTOR_STOP_AT_STEP=n hooks an action at the step's hook point (12) that
// asks for next action 4 the n-th time it runs.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "control/actions/action_mgr.h"
#include "control/engine/engine_handlers.h"
#include "control/engine/server_thread.h"
#include "control/messages/message_collector.h"
#include "control/problem/problem_manager.h"
#include "foundation/messages/math_error.h"
#include "framework/processes/xos_process.h"
#include "solve/options/solver_option_table.h"
#include "tests/support/quiet_run_seams.h"

namespace {

void Tell(const std::string& line) {
  SputMessageCollector* collector = SputMessageCollector::Instance();
  if (collector == nullptr) return;
  collector->AddText(("op " + line).c_str());
  collector->EndGroup(0);
}

class StopAtStep final : public SimSingleAction {
 public:
  static constexpr char kName[] = "Stop At Step";
  static constexpr std::int32_t kStepHookPoint = 12;
  static constexpr std::int32_t kStopRun = 4;

  explicit StopAtStep(std::int32_t at) : SimSingleAction(kName), at_(at) {
    hook_modes[kStepHookPoint] = 0;
  }
  Status Execute(std::int32_t* request, SimActionControl*, const SimExplicitEvent*) override {
    Tell("hook 12");
    if (++seen_ == at_) *request = kStopRun;
    return 0;
  }

 private:
  std::int32_t at_;
  std::int32_t seen_ = 0;
};

// Hooks the stopping action once the problem is prepared.
void HookStopAtStep() {
  const char* at = std::getenv("VANTOR_STOP_AT_STEP");
  SimActionMgr* actions = SimActionMgr::Existing();
  if (at == nullptr || actions == nullptr) return;
  static StopAtStep stopper(std::atoi(at));
  static bool registered = false;
  if (!registered) actions->RegisterFactory(&stopper);
  registered = true;
  NewSimAction* made = nullptr;
  actions->CreateAction(StopAtStep::kName, 0, &made);
}

class RecordingOps : public QuietRunOps {
 public:
  Status PrepareSimulation(std::int32_t i1, std::int32_t i2) override {
    Tell("prepare " + std::to_string(i1) + std::to_string(i2));
    SimProblemMgr::Instance()->SetStatusBits(run_bits::kPrepared);
    HookStopAtStep();
    return 0;
  }
  Status CheckProblem() override {
    Tell("check");
    return 0;
  }
  Status RecordStep() override {
    SimProblemMgr* manager = SimProblemMgr::Instance();
    const SimExplicitEvent* first = manager->Events().Head();
    Tell("record");
    if (first != nullptr && first->time <= manager->CurrentTime() + manager->Events().Tolerance()) {
      manager->Events().DeleteFirst();
    }
    return 0;
  }
  Status ApplyOptionChanges() override { return 0; }
  Status TakeQueuedSnapshots() override { return 0; }
  Status Rewind() override { return 0; }
  Status RunStep() override {
    SimProblemMgr* manager = SimProblemMgr::Instance();
    const SimExplicitEvent* first = manager->Events().Head();
    if (first == nullptr) {
      Tell("step -");
      return 0;
    }
    Tell("step " + std::to_string(first->kind));
    manager->SetCurrentTime(first->time);
    return 0;
  }
};

class RecordingResults : public QuietRunResults {
 public:
  Status ApplyAssignments(bool* applied) override {
    *applied = false;
    return 0;
  }
  double RunPosition() override { return 0.0; }
  void ResetStepClock() override {}
  Status SaveQueuedSnapshots() override { return 0; }
  Status TakeSnapshot(const char* description) override {
    Tell(std::string("snapshot ") + description);
    return 0;
  }
  void SetDynamic(bool) override {}
  void RecordRunClock() override {}
  bool ReinitialisationMark() override { return false; }
  void ClearReinitialisationMark() override {}
  bool PendingPlotRestart() override { return false; }
  double LastPlottedTime() override { return 0.0; }
  void ExtendPlotHistory(double) override {}
  Status HandleCommand(std::uint32_t, const char* const*, std::uint32_t, const std::int32_t*,
                       std::uint32_t, const double*) override {
    return 0;
  }
  Status EndOfDynamicRun() override { return 0; }
  void MoveTo(double) override {}
  Status SendTimeMessage(double) override { return 0; }
};

}  // namespace

int main(int argc, char** argv) {
  InstallMathErrorHook();
  static RecordingOps ops;
  static RecordingResults results;
  SimProblemMgr::SetDefaultSeams(&ops, &results);
  // The run mode the client would otherwise write as an option.
  if (const char* mode = std::getenv("VANTOR_RUN_MODE")) {
    SolverOptionTable::Instance()->SetInt(29, std::atoi(mode));
    SolverOptionTable::Instance()->ApplyPendingChanges();
  }
  static EngineArguments arguments;
  arguments.argc = argc;
  arguments.argv = argv;
  XosProcessMain(ServerThreadBody, &arguments, Vantor::async_signal_handler, sync_server_handler);
}
