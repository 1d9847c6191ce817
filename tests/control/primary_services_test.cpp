// The problem manager's primary services to the managers, actions and the
// subsystems above the control layer: the forwarding operations, nested
// mode, the code export and the compiled-equation check, and the order in
// which a detach resets the estimation.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "control/problem/problem_manager.h"
#include "control/problem/problem_services.h"
#include "daes/instance/instance_node.h"
#include "daes/model/parameter.h"
#include "daes/model/services.h"
#include "daes/model/variable.h"
#include "daes/problem/problem.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/run_mode.h"
#include "framework/messaging/message.h"
#include "framework/messaging/message_controller.h"
#include "framework/servers/server_registry.h"
#include "platform/unknown.h"
#include "tests/support/quiet_run_seams.h"
#include "tests/support/scoped_current_folder.h"
#include "tests/support/temp_dir.h"

namespace {

using Log = std::vector<std::string>;

class LineController : public DseMessageController {
 public:
  LineController() { DseSetCurrentController(this); }
  ~LineController() { DseSetCurrentController(nullptr); }
  Status Send(DseMessage* message, std::uint32_t, DseClientCB*, void*, const double*,
              std::int32_t) override {
    sent.push_back(message->type);
    delete message;
    return status::kOk;
  }
  Status Poll() override { return 0; }
  bool OutputWaiting() override { return false; }
  Status CancelRequest(std::uint32_t) override { return 21; }
  Status PostEvents(std::uint32_t, std::int32_t count, const std::uint32_t*,
                    const std::uint32_t* counts, const char* const* const* lines,
                    DseSentMark*) override {
    for (std::int32_t g = 0; g < count; ++g)
      for (std::uint32_t i = 0; i < counts[g]; ++i) this->lines.push_back(lines[g][i]);
    return 0;
  }
  std::vector<std::uint32_t> sent;
  Log lines;
};

class Upper final : public SimUpperServices {
 public:
  explicit Upper(Log* log) : log_(log) {}
  void ResetEstimation() override { log_->push_back("estimation"); }
  Status CheckCompiledEquations() override { return check; }
  Status WriteProblemCode(DAESProblem* problem,
                          const std::function<void(Status, const char*)>& progress) override {
    log_->push_back(problem == GetCurrentProblem() ? "code of the problem" : "code of another");
    for (const char* line : {"Writing equations", "Writing variables"}) progress(0, line);
    return written;
  }
  // Never asked for here.
  Status WriteExportMakefile(bool) override { return kNotAvailable; }
  void ForgetVariable(DAESVarTableEntry* entry) override { forgotten.push_back(entry); }
  Status check = 0x0032000Au;
  std::vector<DAESVarTableEntry*> forgotten;
  Status written = 0;

 private:
  Log* log_;
};

// Builds a problem when asked to prepare.
class PreparingOps final : public QuietRunOps {
 public:
  explicit PreparingOps(Log* log) : log_(log) {}
  Status PrepareSimulation(std::int32_t a, std::int32_t b) override {
    log_->push_back("prepare " + std::to_string(a) + std::to_string(b));
    if (status::IsSuccess(result) && make) DAESCreateProblem(&root_, 0, nullptr);
    return result;
  }
  Status CheckProblem() override { return 0; }
  Status RecordStep() override { return 0; }
  Status ApplyOptionChanges() override { return 0; }
  Status TakeQueuedSnapshots() override { return 0; }
  Status Rewind() override { return 0; }
  Status RunStep() override { return 0; }
  Status result = 0;
  bool make = true;

 private:
  Log* log_;
  DAESInstanceNode root_{nullptr, nullptr};
};

class NestedIntegrator final : public QuietRunIntegrator {
 public:
  std::int32_t GetIntegratorKind() const override { return 3; }
  Status BeginRun() override { return 0; }
  Status EndRun() override { return 0; }
  Status NestedRunsEnded() override {
    ++told;
    return 0;
  }
  int told = 0;
};

class Broadcast final : public QLNSubSystemManager {
 public:
  explicit Broadcast(Log* log) : log_(log) {}
  Status DetachProblem(const char*, const char*) override {
    log_->push_back("broadcast");
    return 0;
  }

 private:
  Log* log_;
};

class Counted final : public platform::IUnknown {
 public:
  Status QueryInterface(const platform::IID&, void**) override { return 0x80004002u; }
  std::uint32_t AddRef() override { return ++references; }
  std::uint32_t Release() override { return --references; }
  std::uint32_t references = 1;
};

class PrimaryServicesTest : public ::testing::Test {
 protected:
  ~PrimaryServicesTest() override {
    manager.SetUpperServices(nullptr);
    manager.SetRunOps(nullptr);
    delete GetCurrentProblem();
  }

  testsupport::TempDir folder;
  testsupport::ScopedCurrentFolder here{folder.path()};
  LineController controller;
  DseServerRegistry registry;
  SimProblemMgr manager{&registry};
  Log log;
  Upper upper{&log};
  PreparingOps ops{&log};
};

TEST_F(PrimaryServicesTest, OnlyTheLastLeaveOfNestedModeTellsTheIntegrator) {
  manager.LeaveNestedMode();  // not nested: nothing to leave
  auto owned = std::make_unique<NestedIntegrator>();
  NestedIntegrator* integrator = owned.get();
  manager.SetIntegrator(std::move(owned));
  manager.LeaveNestedMode();
  EXPECT_EQ(integrator->told, 0);
  manager.EnterNestedMode();
  manager.EnterNestedMode();
  manager.LeaveNestedMode();
  EXPECT_EQ(integrator->told, 0);
  EXPECT_TRUE(manager.IsNestedMode());
  manager.LeaveNestedMode();
  EXPECT_EQ(integrator->told, 1);
  manager.LeaveNestedMode();
  EXPECT_EQ(integrator->told, 1);
  EXPECT_FALSE(manager.IsNestedMode());
}

TEST_F(PrimaryServicesTest, ForwardingOperationsWithAndWithoutTheirTargets) {
  std::int32_t variables = -1;
  std::int32_t equations = -1;
  manager.ProblemValueQuery(&variables, &equations);
  EXPECT_EQ(variables, 0);
  EXPECT_EQ(equations, 0);
  EXPECT_EQ(manager.IntegratorQuery(), -1);
  EXPECT_EQ(manager.DelayOperation(1.0), 0u);
  int called = 0;
  auto operation = [&](DAESProblem& problem) {
    ++called;
    return &problem == GetCurrentProblem() ? Status{7} : Status{8};
  };
  EXPECT_EQ(manager.ProblemOperation(operation), pm_status::kNoProblem);
  EXPECT_EQ(called, 0);

  manager.SetIntegrator(std::make_unique<NestedIntegrator>());
  EXPECT_EQ(manager.IntegratorQuery(), 3);
  DAESInstanceNode root(nullptr, nullptr);
  DAESCreateProblem(&root, 0, nullptr);
  ASSERT_NE(GetCurrentProblem(), nullptr);
  EXPECT_EQ(manager.ProblemOperation(operation), 7u);
  EXPECT_EQ(called, 1);
  manager.ProblemValueQuery(&variables, &equations);
  EXPECT_EQ(variables, GetCurrentProblem()->VariableCount());
  EXPECT_EQ(equations, GetCurrentProblem()->EquationCount());
}

TEST_F(PrimaryServicesTest, SolverObjectsReportInSlotOrderAtTheSimulationTime) {
  Counted first;
  Counted second;
  ASSERT_EQ(manager.Executive().AttachSolverObject(&second, 5), 0u);
  ASSERT_EQ(manager.Executive().AttachSolverObject(&first, 1), 0u);
  SetSimulationTime(2.5);
  std::vector<std::pair<platform::IUnknown*, std::int32_t>> seen;
  const Status reported =
      manager.ReportSolverObjects([&](platform::IUnknown* object, std::int32_t slot, double time) {
        EXPECT_EQ(time, 2.5);
        seen.emplace_back(object, slot);
        return slot == 1 ? Status{0x80000001u} : Status{0};
      });
  // Every object reports; the first failure is the answer.
  EXPECT_EQ(reported, 0x80000001u);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], std::make_pair(static_cast<platform::IUnknown*>(&first), 1));
  EXPECT_EQ(seen[1], std::make_pair(static_cast<platform::IUnknown*>(&second), 5));
  manager.Executive().ReleaseAll();
  EXPECT_EQ(first.references, 1u);
  SetSimulationTime(0.0);
}

TEST_F(PrimaryServicesTest, TheCompiledEquationCheckIsTheCodeExports) {
  // Without a code-export object: its own status, which the executive
  // does not count as a failure.
  EXPECT_EQ(manager.CheckCompiledEquations(), 0x0032000Au);
  EXPECT_EQ(manager.Executive().CheckCompiledEquations(), 0u);
  manager.SetUpperServices(&upper);
  upper.check = 0x80320011u;
  EXPECT_EQ(manager.CheckCompiledEquations(), 0x80320011u);
  EXPECT_EQ(manager.Executive().CheckCompiledEquations(), 0x80004005u);
  upper.check = 0;
  EXPECT_EQ(manager.Executive().CheckCompiledEquations(), 0u);
}

TEST_F(PrimaryServicesTest, ExportingWithoutAProblemPreparesOneAndPrintsTheProgress) {
  manager.SetRunOps(&ops);
  // An engine without the code export has none to write with.
  EXPECT_EQ(manager.ExportProblemCode(), SimUpperServices::kNotAvailable);
  delete GetCurrentProblem();
  log.clear();
  manager.SetUpperServices(&upper);
  ASSERT_EQ(manager.ExportProblemCode(), 0u);
  EXPECT_EQ(log, (Log{"prepare 00", "code of the problem"}));
  EXPECT_EQ(manager.PreparationNeeded(), 2);
  // Each line went to the client as it was written.
  EXPECT_EQ(controller.lines, (Log{"Writing equations", "Writing variables"}));
  // With a problem there is nothing to prepare.
  log.clear();
  upper.written = 0x80320002u;
  EXPECT_EQ(manager.ExportProblemCode(), 0x80320002u);
  EXPECT_EQ(log, (Log{"code of the problem"}));
}

TEST_F(PrimaryServicesTest, AnExportWhosePreparationFailsWritesNothing) {
  manager.SetUpperServices(&upper);
  manager.SetRunOps(&ops);
  ops.result = 0x80320384u;
  EXPECT_EQ(manager.ExportProblemCode(), 0x80320384u);
  EXPECT_EQ(log, (Log{"prepare 00"}));
  EXPECT_EQ(manager.PreparationNeeded(), 1);
  // A preparation that made no problem.
  ops.result = 0;
  ops.make = false;
  EXPECT_EQ(manager.ExportProblemCode(), pm_status::kNoProblem);
  EXPECT_TRUE(controller.lines.empty());
}

TEST_F(PrimaryServicesTest, ADetachResetsTheEstimationBeforeTheBroadcast) {
  manager.SetUpperServices(&upper);
  Broadcast broadcast(&log);
  manager.DetachProblem("w", "NULL");
  EXPECT_EQ(log, (Log{"estimation", "broadcast"}));
}

// The model asks the problem manager to forget a variable or parameter
// being destroyed, with or without a problem; the managers above are told.
TEST_F(PrimaryServicesTest, DestroyedVariablesAndParametersReachTheManagersAbove) {
  manager.SetUpperServices(&upper);
  EXPECT_EQ(daes::ProblemManagerServices(), &manager);
  const void* variable = nullptr;
  const void* parameter = nullptr;
  {
    DAESRealVariable x(nullptr, ".x");
    DAESParameter k(".k", nullptr, 19);
    variable = static_cast<DAESVarTableEntry*>(&x);
    parameter = static_cast<DAESVarTableEntry*>(&k);
  }
  ASSERT_EQ(upper.forgotten.size(), 2u);
  EXPECT_EQ(upper.forgotten[0], parameter);
  EXPECT_EQ(upper.forgotten[1], variable);
  manager.SetUpperServices(nullptr);
}

TEST_F(PrimaryServicesTest, NotificationMessagesAndSending) {
  std::unique_ptr<DseMessage> made(manager.NewNotificationMessage(81));
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->type, 81u);
  EXPECT_EQ(made->subtype, static_cast<std::uint32_t>(DseMessage::kRequest));
  EXPECT_EQ(manager.SendMessage(made.release(), 0, nullptr, nullptr), 0u);
  EXPECT_EQ(controller.sent, std::vector<std::uint32_t>{81});
  EXPECT_EQ(manager.SendMessage(nullptr, 0, nullptr, nullptr), status::kBadArguments);
}

}  // namespace
