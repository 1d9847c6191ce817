// The problem manager as the server thread builds it: its registrations,
// the state it starts in, its commands and requests, and what it leaves
// behind when it goes.
#include "control/problem/problem_manager.h"
#include "control/problem/problem_services.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daes/instance/instance_node.h"
#include "daes/problem/problem.h"
#include "foundation/directory/id_path.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/problem_manager_hooks.h"
#include "foundation/interfaces/run_mode.h"
#include "foundation/messages/messages_handler.h"
#include "foundation/values/typed_value.h"
#include "framework/connections/segment.h"
#include "framework/messaging/message.h"
#include "framework/servers/server_registry.h"
#include "platform/unknown.h"
#include "solve/options/solver_option_table.h"
#include "solve/proxies/integrator_server_proxy.h"
#include "tests/support/quiet_run_seams.h"
#include "tests/support/scoped_current_folder.h"
#include "tests/support/stdout_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/framework/message_helpers.h"

namespace {

class ProblemManagerTest : public ::testing::Test {
 protected:
  Status Command(std::uint32_t number, std::vector<const char*> texts = {},
                 std::vector<std::int32_t> integers = {}, std::vector<double> reals = {}) {
    return manager.HandleCommand(50, number, static_cast<std::uint32_t>(texts.size()), texts.data(),
                                 static_cast<std::uint32_t>(integers.size()), integers.data(),
                                 static_cast<std::uint32_t>(reals.size()), reals.data());
  }
  Status Request(std::uint32_t type, std::uint16_t code) {
    DseMessage request(type, DseMessage::kRequest);
    request.PutUInt16(code);
    testsupport::ReadAsWritten(request);
    DseMessage* reply = nullptr;
    const Status result = manager.HandleRequest(type, &request, &reply, nullptr);
    EXPECT_EQ(reply, nullptr);
    delete reply;
    return result;
  }

  testsupport::TempDir folder;
  testsupport::ScopedCurrentFolder here{folder.path()};
  DseServerRegistry registry;
  SimProblemMgr manager{&registry};
};

TEST_F(ProblemManagerTest, StartsUpRegisteredAndAtRest) {
  const std::vector<std::uint32_t> expected = {58, 68, 50, 60, 61, 62, 53, 63, 66, 67};
  std::vector<std::uint32_t> registered;
  for (std::uint32_t i = 0; i < registry.Types().Count(); ++i)
    registered.push_back(registry.Types().At(i));
  EXPECT_EQ(registered, expected);
  EXPECT_EQ(registry.FindServer(50), &manager);
  EXPECT_EQ(registry.FindServer(67), manager.Actions());

  EXPECT_EQ(manager.StatusBits(), 0x1u);
  EXPECT_EQ(manager.RunState(), 2);
  EXPECT_EQ(manager.PreparationNeeded(), 1);
  EXPECT_EQ(SimProblemMgr::Instance(), &manager);
  EXPECT_EQ(GetMasterManager(), &manager);
  EXPECT_EQ(GetProblemManagerHooks(), &manager);
  EXPECT_EQ(GetMessageCollector(), &manager.Collector());
  // The instance, library and property managers come first, then the
  // action manager, a subsystem manager made on first use.
  ASSERT_EQ(manager.Count(), 4);
  EXPECT_EQ(manager.At(0), dynamic_cast<QLNSubSystemManager*>(registry.FindServer(62)));
  EXPECT_EQ(manager.At(1), dynamic_cast<QLNSubSystemManager*>(registry.FindServer(61)));
  EXPECT_EQ(manager.At(2), dynamic_cast<QLNSubSystemManager*>(registry.FindServer(66)));
  EXPECT_EQ(manager.At(3), manager.Actions());
  EXPECT_EQ(manager.Folders().WorkingFolder(), std::filesystem::current_path().string() + "/");
  void* object = nullptr;
  EXPECT_EQ(manager.QueryInterface(platform::IID_IUnknown, &object), 0u);
  // An outside caller gets a real IUnknown: the executive face.
  EXPECT_EQ(object, static_cast<platform::IUnknown*>(&manager.Executive()));
  EXPECT_EQ(manager.Release(), 1u);
  // Servers reach the sensitivity manager's counts and matrices here.
  EXPECT_EQ(manager.QueryInterface(IID_IQLNSensitivityManager, &object), 0u);
  EXPECT_EQ(object, static_cast<void*>(GetSensitivityManagerOps()));
  EXPECT_EQ(manager.Release(), 1u);
  void* untouched = &object;
  EXPECT_EQ(manager.QueryInterface(platform::MakeGuid("{003800FF-07A4-463A-A513-F2F46FF75FB8}"),
                                   &untouched),
            0x80004002u);
  EXPECT_EQ(untouched, &object);
  EXPECT_EQ(manager.AddRef(), 2u);
  EXPECT_EQ(manager.Release(), 1u);
  EXPECT_EQ(manager.Release(), 0u);  // frees nothing
  EXPECT_EQ(manager.Release(), 0u);
}

TEST(ProblemManager, LeavesNoProcessWidePointerBehind) {
  for (int round = 0; round < 2; ++round) {
    {
      DseServerRegistry registry;
      SimProblemMgr manager(&registry);
      EXPECT_EQ(SimActionMgr::Existing(), manager.Actions());
    }
    EXPECT_EQ(SimProblemMgr::Instance(), nullptr);
    EXPECT_EQ(GetMasterManager(), nullptr);
    EXPECT_EQ(GetProblemManagerHooks(), nullptr);
    EXPECT_EQ(GetMessageCollector(), nullptr);
    EXPECT_EQ(SimActionMgr::Existing(), nullptr);
  }
}

TEST_F(ProblemManagerTest, CommandsSetRequestsAndAnswerTheirStatus) {
  for (std::uint32_t unknown : {0u, 1u, 7u, 11u, 100u, 151u, 0xFFFFFFFFu}) {
    EXPECT_EQ(Command(unknown), 0x8032FFFFu) << unknown;
  }
  // Naming: without a text the simulation is untitled.
  manager.SetStatusBits(0x7FC);
  EXPECT_EQ(Command(3), 0u);
  EXPECT_EQ(manager.SimulationName(), "QV_Untitled");
  EXPECT_TRUE(manager.Unnamed());
  EXPECT_EQ(manager.StatusBits(), 0x1u);
  EXPECT_EQ(Command(3, {""}), 0u);
  EXPECT_EQ(manager.SimulationName(), "QV_Untitled");
  const std::string work = folder.path().string();
  EXPECT_EQ(Command(3, {"Tank", work.c_str()}), 0u);
  EXPECT_EQ(manager.SimulationName(), "Tank");
  EXPECT_FALSE(manager.Unnamed());
  EXPECT_EQ(manager.Folders().WorkingFolder(), work + "/");

  EXPECT_EQ(Command(9), 0x80320025u);
  EXPECT_EQ(manager.RunState(), 2);
  EXPECT_EQ(Command(8), 0x0032000Au);
  EXPECT_EQ(Command(10), 0u);
  EXPECT_EQ(manager.RunState(), 0);
  EXPECT_EQ(Command(4, {"/no/such/folder"}), 0xA032FFFFu);
  EXPECT_EQ(Command(137), 0xA032FFFFu);
  EXPECT_EQ(Command(41), 0u);
  EXPECT_EQ(Command(41, {}, {0}), 0u);
  EXPECT_EQ(manager.Record().stops, 1u);
  EXPECT_EQ(Command(130, {"Milliseconds"}, {}, {0.001}), 0u);
  double scale = 0.0;
  EXPECT_STREQ(manager.TimeUnit(&scale), "Milliseco");
  EXPECT_EQ(scale, 0.001);
  EXPECT_EQ(Command(29, {}, {1}), 0u);
  EXPECT_EQ(manager.PreparationNeeded(), 3);
  EXPECT_EQ(Command(29), 0u);
  EXPECT_EQ(manager.PreparationNeeded(), 2);
  EXPECT_EQ(Command(2), 0x00320024u);
  EXPECT_EQ(manager.StatusBits() & 0x1u, 0u);
}

// A working folder that is not there is refused when it is named, and a
// run folder that cannot be made fails the attach: nothing is written in
// whatever folder the engine is in, and preparing is refused until the
// client names another.
TEST_F(ProblemManagerTest, NoRunFolderNoProblem) {
  const std::string work = folder.path().string();
  const std::string missing = work + "/missing/";
  folder.WriteFile("Tank", "a file where the run folder would go");
  testsupport::TempDir elsewhere;
  testsupport::ScopedCurrentFolder moved(elsewhere.path());
  Status named = 0, renamed = 0, attached = 0, prepared = 0;
  std::string name;
  std::string said;
  {
    testsupport::StdoutCapture dialog;  // the lines of failed groups
    named = Command(3, {"Tank", missing.c_str()});
    name = manager.SimulationName();
    renamed = Command(3, {"Tank", work.c_str()});
    attached = manager.AttachProblem(work.c_str(), "Tank");
    prepared = Command(6, {}, {0, 0});
    said = dialog.Take();
  }
  EXPECT_EQ(named, 0x803201FEu);
  EXPECT_EQ(name, "");
  EXPECT_EQ(renamed, 0u);
  EXPECT_EQ(attached, 0x803201FEu);
  EXPECT_EQ(prepared, 0x803201FEu);
  EXPECT_TRUE(std::filesystem::is_empty(elsewhere.path()));
  EXPECT_NE(said.find("Working folder " + missing + " does not exist"), std::string::npos) << said;
  EXPECT_NE(said.find("Cannot make the run folder " + work + "/Tank/: Not a directory"),
            std::string::npos)
      << said;

  ASSERT_EQ(Command(3, {"Other", work.c_str()}), 0u);
  EXPECT_EQ(manager.AttachProblem(work.c_str(), "Other"), 0u);
  EXPECT_TRUE(std::filesystem::exists(folder / "Other" / "OrvelQVLock.aml"));
}

TEST_F(ProblemManagerTest, RequestsOfUnknownCodesAndServices) {
  EXPECT_EQ(Request(50, 5), 0x00320027u);
  EXPECT_EQ(Request(60, 5), 0x00320027u);
  // Without a problem, its solvers or an integrator.
  EXPECT_EQ(Request(50, 34), 0x80320268u);
  EXPECT_EQ(Request(60, 129), 0x80320268u);
  EXPECT_EQ(Request(50, 134), 0x00320049u);
  for (std::uint16_t code : {0, 4, 6, 150, 0xFFFF}) EXPECT_EQ(Request(50, code), 0x8032FFFFu);
  EXPECT_EQ(Request(99, 5), 0x8032FFFFu);
}

class Saver : public QLNSubSystemManager {
 public:
  explicit Saver(std::vector<std::string>* log) : log_(log) {}
  Status SaveFiles() override {
    log_->push_back("save");
    return 0;
  }
  Status SaveAs(const char*, const char* name) override {
    log_->push_back(std::string("save as from ") + name);
    return 0;
  }

 private:
  std::vector<std::string>* log_;
};

TEST_F(ProblemManagerTest, SavingUnderANewNameMovesTheRunFolder) {
  std::vector<std::string> log;
  Saver saver(&log);
  const std::string work = folder.path().string();
  ASSERT_EQ(Command(3), 0u);  // untitled
  ASSERT_EQ(manager.AttachProblem(work.c_str(), "QV_Untitled"), 0u);
  EXPECT_TRUE(std::filesystem::exists(folder / "QV_Untitled" / "OrvelQVLock.aml"));

  // The same name and folder only save.
  EXPECT_EQ(Command(5, {"qv_untitled", (work + "/").c_str()}), 0x00320000u);
  EXPECT_EQ(log, (std::vector<std::string>{"save"}));
  EXPECT_FALSE(manager.Unnamed());

  log.clear();
  ASSERT_EQ(Command(3), 0u);  // untitled again: its folder goes when saved under a name
  EXPECT_EQ(Command(5, {"Tank", work.c_str()}), 0x00320000u);  // the run folder opened
  EXPECT_EQ(log, (std::vector<std::string>{"save as from QV_Untitled"}));
  EXPECT_EQ(manager.SimulationName(), "Tank");
  EXPECT_TRUE(std::filesystem::exists(folder / "Tank" / "OrvelQVLock.aml"));
  EXPECT_FALSE(std::filesystem::exists(folder / "QV_Untitled"));
  EXPECT_FALSE(manager.Unnamed());
}

TEST_F(ProblemManagerTest, OptionWritesReachTheOptionTable) {
  SolverOptionTable* table = SolverOptionTable::Instance();
  table->SetDefaults();
  table->ApplyPendingChanges();
  SUValue mode;
  mode.SetInt(4);
  const BvuIdPath none;
  EXPECT_EQ(manager.SetItem(53, none, 0, 29, &mode), 0u);
  EXPECT_TRUE(table->HasPendingChanges());  // the run mode is staged
  EXPECT_EQ(manager.SetItem(50, none, 0, 29, &mode), 0x8032FFFFu);
  table->SetDefaults();
  table->ApplyPendingChanges();
}

}  // namespace

namespace {

// Records who lets go of the problem, and whether it still existed then.
class ReleaseRecorder : public QLNSubSystemManager {
 public:
  explicit ReleaseRecorder(std::vector<std::string>* log) : log_(log) {}
  Status ReleaseSolvers() override {
    log_->push_back(GetCurrentProblem() != nullptr ? "managers, problem alive" : "managers");
    return refuse;
  }
  Status DetachProblem(const char*, const char*) override {
    log_->push_back(GetCurrentProblem() != nullptr ? "detach, problem alive" : "detach");
    return 0;
  }
  Status DiscardProblem() override {
    log_->push_back(GetCurrentProblem() != nullptr ? "discard, problem alive" : "discard");
    return 0;
  }
  Status refuse = 0;

 private:
  std::vector<std::string>* log_;
};

class ReleaseIntegrator : public QuietRunIntegrator {
 public:
  explicit ReleaseIntegrator(std::vector<std::string>* log) : log_(log) {}
  std::int32_t GetIntegratorKind() const override { return 1; }
  Status BeginRun() override { return 0; }
  Status EndRun() override { return 0; }
  Status ReleaseSolvers() override {
    log_->push_back(GetCurrentProblem() != nullptr ? "integrator, problem alive" : "integrator");
    return 0;
  }

 private:
  std::vector<std::string>* log_;
};

}  // namespace

// Without the installations found (no first pass of the loop) the
// integrator and the managers still let go of the problem before it goes,
// even when a manager refuses the release.
TEST_F(ProblemManagerTest, DetachReleasesTheProblemBeforeDestroyingIt) {
  std::vector<std::string> log;
  ReleaseRecorder refusing(&log);
  refusing.refuse = 0x80320001u;
  manager.SetIntegrator(std::make_unique<ReleaseIntegrator>(&log));
  DAESInstanceNode root(nullptr, nullptr);
  DAESCreateProblem(&root, 0, nullptr);
  ASSERT_NE(GetCurrentProblem(), nullptr);
  std::vector<std::uint64_t> gone;
  manager.Events().SetNotice([&](std::uint64_t id) { gone.push_back(id); });
  std::uint64_t id = 0;
  manager.Events().Add(16, 1.0, 0.0, &id);
  manager.RunResults().SetCommunicationInterval(0.5);
  manager.SetCurrentTime(3.0);
  manager.SetRunState(1);
  manager.SetStatusBits(run_bits::kPrepared);

  manager.DetachProblem("w", "NULL");
  EXPECT_EQ(log, (std::vector<std::string>{"integrator, problem alive", "managers, problem alive",
                                           "detach"}));
  EXPECT_EQ(GetCurrentProblem(), nullptr);
  EXPECT_EQ(gone, std::vector<std::uint64_t>{id});
  EXPECT_TRUE(manager.Events().Empty());
  EXPECT_DOUBLE_EQ(manager.Events().Tolerance(), 0.005);
  EXPECT_EQ(manager.Record().time, 0.0);
  EXPECT_EQ(manager.RunState(), 2);
  EXPECT_EQ(manager.StatusBits(), 0x1u);
}

TEST_F(ProblemManagerTest, AnEditOfAnEditedProblemAsksForAFullPreparation) {
  manager.ProblemEdited();
  EXPECT_EQ(manager.PreparationNeeded(), 1);
  ASSERT_EQ(Command(29), 0u);
  ASSERT_EQ(manager.PreparationNeeded(), 2);
  manager.SetRunState(1);
  manager.SetStepResultPending(true);
  manager.ProblemEdited();
  EXPECT_EQ(manager.PreparationNeeded(), 3);
  EXPECT_EQ(manager.RunState(), 2);
  EXPECT_FALSE(manager.StepResultPending());
}

TEST_F(ProblemManagerTest, ReleasingTheProblemTellsTheIntegratorFirst) {
  std::vector<std::string> log;
  ReleaseRecorder refusing(&log);
  refusing.refuse = 0x80320001u;
  manager.SetIntegrator(std::make_unique<ReleaseIntegrator>(&log));
  DAESInstanceNode root(nullptr, nullptr);
  DAESCreateProblem(&root, 0, nullptr);
  EXPECT_EQ(Command(150), 0x80320001u);
  EXPECT_EQ(log,
            (std::vector<std::string>{"integrator, problem alive", "managers, problem alive"}));
  EXPECT_EQ(GetCurrentProblem(), nullptr);
  EXPECT_TRUE(manager.CheckProblemMarked());
}

// An unloaded problem lets its solvers go and is gone before the managers
// hear of the discard.
TEST_F(ProblemManagerTest, DiscardingTheProblemDestroysItBeforeTellingTheManagers) {
  std::vector<std::string> log;
  ReleaseRecorder managers(&log);
  manager.SetIntegrator(std::make_unique<ReleaseIntegrator>(&log));
  DAESInstanceNode root(nullptr, nullptr);
  DAESCreateProblem(&root, 0, nullptr);
  ASSERT_NE(GetCurrentProblem(), nullptr);
  EXPECT_EQ(manager.DiscardProblem(), 0u);
  EXPECT_EQ(log, (std::vector<std::string>{"integrator, problem alive", "managers, problem alive",
                                           "discard"}));
  EXPECT_EQ(GetCurrentProblem(), nullptr);
  EXPECT_TRUE(manager.CheckProblemMarked());
  // Without a problem only the managers hear of it.
  log.clear();
  EXPECT_EQ(manager.DiscardProblem(), 0u);
  EXPECT_EQ(log, std::vector<std::string>{"discard"});
}

TEST_F(ProblemManagerTest, SearchPathsThatTookAreKept) {
  const std::string work = folder.path().string();
  EXPECT_EQ(Command(4, {work.c_str()}), 0xA032FFFFu);
  EXPECT_EQ(Command(4, {""}), 0xA032FFFFu);
  EXPECT_EQ(Command(4), 0xA032FFFFu);
  EXPECT_EQ(Command(4, {"/no/such/folder"}), 0xA032FFFFu);
  EXPECT_EQ(manager.Folders().ClientSearchPaths(),
            (std::vector<std::string>{work, "/no/such/folder"}));
}
