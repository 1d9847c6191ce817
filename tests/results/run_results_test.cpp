// The results manager joined to the problem manager's control loop: its
// services, the communication schedule the loop reads, the records opened
// on a built problem and the snapshot after each collected step.
#include "results/manager/run_results.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "control/problem/control_loop.h"
#include "control/problem/problem_manager.h"
#include "daes/delays/delay_mgr.h"
#include "daes/instance/instance_node.h"
#include "daes/model/services.h"
#include "daes/model/variable.h"
#include "foundation/interfaces/run_mode.h"
#include "foundation/values/typed_value.h"
#include "framework/messaging/message.h"
#include "framework/messaging/message_controller.h"
#include "framework/servers/server_registry.h"
#include "solve/options/solver_option_table.h"
#include "tests/framework/message_helpers.h"
#include "tests/results/snapshot_fakes.h"

namespace {

class QuietController : public DseMessageController {
 public:
  QuietController() { DseSetCurrentController(this); }
  ~QuietController() { DseSetCurrentController(nullptr); }
  Status Send(DseMessage* message, std::uint32_t, DseClientCB* client, void* context,
              const double*, std::int32_t) override {
    // As the engine's controller: a message it cannot route is deleted all
    // the same, so a sender that deleted it again would free it twice.
    if (refuse == 0) types.push_back(message->type);
    if (refuse == 0 && client != nullptr) {
      pending.push_back({std::unique_ptr<DseMessage>(message), client, context});
      return status::kOk;
    }
    delete message;
    return refuse;
  }
  Status Poll() override {
    if (!answer) return 0;
    // Requests with a client are answered as the client would, a poll later.
    std::vector<Pending> waiting = std::move(pending);
    pending.clear();
    for (Pending& p : waiting) {
      testsupport::ReadAsWritten(*p.message);
      std::uint32_t command = 0, count = 0;
      std::uint32_t first = 0xFFFFFFFFu;
      p.message->GetUInt32(&command);
      p.message->GetUInt32(&count);
      if (count > 0) p.message->GetUInt32(&first);
      commands.emplace_back(command, static_cast<std::int32_t>(first));
      p.client->RequestComplete(0, p.context);
      answered.push_back(std::move(p.message));
    }
    return 0;
  }
  bool OutputWaiting() override { return false; }
  Status CancelRequest(std::uint32_t) override {
    ++cancelled;
    return 21;
  }
  Status PostEvents(std::uint32_t, std::int32_t, const std::uint32_t*, const std::uint32_t*,
                    const char* const* const*, DseSentMark*) override {
    return 0;
  }
  struct Pending {
    std::unique_ptr<DseMessage> message;
    DseClientCB* client;
    void* context;
  };
  std::vector<std::uint32_t> types;
  Status refuse = 0;
  bool answer = true;
  std::vector<Pending> pending;
  std::vector<std::unique_ptr<DseMessage>> answered;
  // Command numbers with their first integer.
  std::vector<std::pair<std::uint32_t, std::int32_t>> commands;
  int cancelled = 0;
};

// SnapshotSettings.SaveConvergedOnly (154, on by default) off for the
// scope: snapshots taken before any run step converged are kept then.
struct EverySnapshotKept {
  EverySnapshotKept() { SolverOptionTable::Instance()->SetInteger(154, 0); }
  ~EverySnapshotKept() { SolverOptionTable::Instance()->SetInteger(154, 1); }
};

class RunResultsJoin : public snaptest::SnapshotFolder {
 protected:
  Status Command32(double interval) {
    const double reals[] = {interval};
    return join_->HandleCommand(0, nullptr, 0, nullptr, 1, reals);
  }

  QuietController controller_;
  DseServerRegistry registry_;
  SimProblemMgr manager_{&registry_};
  Status registered_ = 1;
  std::unique_ptr<SimRunResultsJoin> join_ =
      std::make_unique<SimRunResultsJoin>(manager_, &registry_, &registered_);
};

TEST_F(RunResultsJoin, ServesItsIdsAndTakesThePlaceOfThePlainSeamForItsLifetime) {
  EXPECT_EQ(registered_, 0u);
  EXPECT_EQ(registry_.FindServer(55), &join_->Manager());
  EXPECT_EQ(registry_.FindServer(65), &join_->Manager());
  EXPECT_EQ(&manager_.RunResults(), join_.get());
  join_.reset();
  EXPECT_NE(dynamic_cast<SimPlainRunResults*>(&manager_.RunResults()), nullptr);
}

TEST_F(RunResultsJoin, TheLoopsScheduleIsTheResultsManagers) {
  // Command 32 reaches the manager through the problem manager's command.
  const double reals[] = {0.25};
  EXPECT_EQ(manager_.HandleCommand(50, 32, 0, nullptr, 0, nullptr, 1, reals), 0u);
  EXPECT_EQ(join_->CommunicationInterval(), 0.25);
  EXPECT_EQ(join_->Manager().CommunicationInterval(), 0.25);
  EXPECT_EQ(Command32(0.0), status::kBadArguments);
  EXPECT_EQ(join_->CommunicationInterval(), 0.25);

  join_->SetCommunicationTime(1.0);
  EXPECT_EQ(join_->CommunicationStart(), 1.0);
  EXPECT_EQ(join_->NextCommunicationTime(), 1.25);
  EXPECT_EQ(join_->NextCommunicationTime(), 1.5);
  EXPECT_EQ(join_->CommunicationCount(), 2);
  // A point not reached is scheduled again; the manager's own seam agrees.
  join_->LowerCommunicationCount();
  EXPECT_EQ(join_->Manager().NextCommunicationTime(), 1.5);
  // Commands 2 and 94 move the run position and start the schedule there.
  join_->MoveTo(3.0);
  EXPECT_EQ(join_->RunPosition(), 3.0);
  EXPECT_EQ(join_->NextCommunicationTime(), 3.25);
}

// Before a step converged (the run clock's counter is the run number) only
// the initial specification is kept while SaveConvergedOnly is on.
TEST_F(RunResultsJoin, BeforeAConvergedStepOnlyTheInitialSpecificationIsKept) {
  ASSERT_EQ(join_->OpenRecords(), 0u);
  EXPECT_EQ(join_->TakeSnapshot("early"), 0u);
  EXPECT_EQ(join_->TakeSnapshot("Initial Specification"), 0u);
  std::uint32_t id = 0;
  EXPECT_NE(join_->Manager().FindSnapshotByName("early", &id), 0u);
  EXPECT_EQ(join_->Manager().FindSnapshotByName("Initial Specification", &id), 0u);
}

TEST_F(RunResultsJoin, RecordsOpenAFreshSnapshotFile) {
  EverySnapshotKept every_snapshot;
  EXPECT_EQ(join_->OpenRecords(), 0u);
  EXPECT_TRUE(std::filesystem::exists("snapshot.snp"));
  EXPECT_NE(join_->Manager().Values(), nullptr);
  // A problem built again keeps its run's snapshots in the file.
  EXPECT_EQ(join_->TakeSnapshot("Kept"), 0u);
  EXPECT_EQ(join_->OpenRecords(), 0u);
  std::uint32_t id = 0;
  EXPECT_EQ(join_->Manager().FindSnapshotByName("Kept", &id), 0u);
  // An edit moves the file aside for a new one: nothing is lost.
  EXPECT_EQ(join_->Manager().ProblemEdited(), 0u);
  EXPECT_EQ(join_->OpenRecords(), 0u);
  EXPECT_TRUE(std::filesystem::exists("snapshot.snp"));
  EXPECT_NE(join_->Manager().FindSnapshotByName("Kept", &id), 0u);
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator("."))
    files += entry.path().extension() == ".snp";
  EXPECT_EQ(files, 2);
}

TEST_F(RunResultsJoin, AStepSnapshotRemovesOnlyTheReachedEvent) {
  ASSERT_EQ(join_->OpenRecords(), 0u);
  SimEventList& events = manager_.Events();
  ASSERT_EQ(events.Add(step_event::kCommunication, 0.5, -1.0, nullptr), 0u);
  ASSERT_EQ(events.Add(step_event::kCommunication, 1.0, -1.0, nullptr), 0u);
  // Stopped short of the first point: nothing leaves.
  EXPECT_EQ(join_->TakeStepSnapshot(0.3, 1, false), 0u);
  EXPECT_EQ(events.Size(), 2u);
  // Reached (within the tolerance): the head leaves, the next stays.
  EXPECT_EQ(join_->TakeStepSnapshot(0.5 - events.Tolerance() / 2, 1, false), 0u);
  ASSERT_EQ(events.Size(), 1u);
  EXPECT_EQ(events.Head()->time, 1.0);
  EXPECT_DOUBLE_EQ(join_->RunPosition(), 0.5 - events.Tolerance() / 2);
  EXPECT_EQ(join_->TakeStepSnapshot(1.0, 1, false), 0u);
  EXPECT_TRUE(events.Empty());
  // Without an event there is nothing to record.
  EXPECT_EQ(join_->TakeStepSnapshot(2.0, 1, false), 0u);
}

// Command 8 asks for pause 2 once the simulation is past the run position
// the results keep; the step collected then leaves the run position where
// it stopped, short of its communication point or not.
TEST_F(RunResultsJoin, APausePastTheRunPositionKeepsWhereTheStepStopped) {
  ASSERT_EQ(join_->OpenRecords(), 0u);
  manager_.SetStatusBits(run_bits::kReady | run_bits::kRunning);
  auto pause = [&] { return manager_.HandleCommand(50, 8, 0, nullptr, 0, nullptr, 0, nullptr); };
  SetSimulationTime(0.0);
  ASSERT_EQ(pause(), 0u);
  EXPECT_EQ(manager_.PauseRequest(), 1);
  SetSimulationTime(0.3);
  ASSERT_EQ(pause(), 0u);
  EXPECT_EQ(manager_.PauseRequest(), 2);

  SimEventList& events = manager_.Events();
  ASSERT_EQ(events.Add(step_event::kCommunication, 0.5, -1.0, nullptr), 0u);
  EXPECT_EQ(join_->TakeStepSnapshot(0.3, 1, false), 0u);
  EXPECT_EQ(join_->RunPosition(), 0.0);
  EXPECT_EQ(join_->TakeStepSnapshot(0.3, 1, true), 0u);
  EXPECT_EQ(join_->RunPosition(), 0.3);
  EXPECT_EQ(events.Size(), 1u);
  SetSimulationTime(0.0);
  EXPECT_EQ(pause(), 0u);
  EXPECT_EQ(manager_.PauseRequest(), 1);
}

TEST_F(RunResultsJoin, ASteadyStateStepQueuesItsSnapshotForTheLoopToSave) {
  ASSERT_EQ(join_->OpenRecords(), 0u);
  // Flag 0x10 asks for a snapshot of every steady state.
  const std::int32_t flags[] = {0x10};
  ASSERT_EQ(join_->Manager().HandleCommand(55, 16, 0, nullptr, 1, flags, 0, nullptr), 0u);
  ASSERT_EQ(manager_.Events().Add(step_event::kSteadyState, 0.0, -1.0, nullptr), 0u);
  EXPECT_EQ(join_->TakeStepSnapshot(0.0, 1, false), 0u);
  EXPECT_TRUE(manager_.Events().Empty());
  EXPECT_EQ(join_->QueuedSnapshots(), (std::vector<std::string>{"Steady State"}));
  EXPECT_EQ(join_->SaveQueuedSnapshots(), 0u);
  EXPECT_TRUE(join_->QueuedSnapshots().empty());
  std::uint32_t id = 0;
  EXPECT_EQ(join_->Manager().FindSnapshotByName("Steady State", &id), 0u);
}

TEST_F(RunResultsJoin, NothingQueuedAppliesNothingAndNeedsNoRestart) {
  bool applied = true;
  EXPECT_EQ(join_->ApplyAssignments(&applied), 0u);
  EXPECT_FALSE(applied);
  EXPECT_FALSE(join_->ReinitialisationMark());
}

TEST_F(RunResultsJoin, ItIsTheModelsResultsServiceWhileItLives) {
  ASSERT_EQ(join_->OpenRecords(), 0u);
  EXPECT_EQ(daes::ResultsServices(), join_.get());
  auto v = std::make_unique<DAESRealVariable>(nullptr, "v");
  // The record attribute of an instance description.
  join_->AddVariable(v.get());
  EXPECT_EQ(join_->Recorded().count(v.get()), 1u);
  join_->RemoveVariable(v.get());
  EXPECT_TRUE(join_->Recorded().empty());

  // An outside component's value waits for the next step's assignments.
  ASSERT_EQ(v->SetValue(1.0), 0u);
  EXPECT_EQ(v->SetRealAttribute(2, 3.5), 0u);
  EXPECT_EQ(join_->Manager().QueuedCount(), 1u);
  EXPECT_EQ(v->GetRealValue(), 1.0);
  // A value that changed is applied: the loop re-initialises for it.
  bool applied = false;
  EXPECT_EQ(join_->ApplyAssignments(&applied), 0u);
  EXPECT_TRUE(applied);
  EXPECT_EQ(v->GetRealValue(), 3.5);

  // A variable that goes away leaves no assignment naming it.
  join_->AddVariable(v.get());
  EXPECT_EQ(v->SetRealAttribute(2, 7.0), 0u);
  v.reset();
  EXPECT_TRUE(join_->Recorded().empty());
  EXPECT_EQ(join_->Manager().QueuedCount(), 1u);
  EXPECT_EQ(join_->ApplyAssignments(&applied), 0u);

  join_.reset();
  EXPECT_EQ(daes::ResultsServices(), nullptr);
}

// An edit deletes a variable that assignments and the plot history hold:
// the staged, reply and client lists let go of it, and its plot stand-in
// keeps its name and id without a value.
TEST_F(RunResultsJoin, EveryHoldOnAVariableThatGoesIsLetGo) {
  ASSERT_EQ(join_->OpenRecords(), 0u);
  auto v = std::make_unique<DAESRealVariable>(nullptr, "v");
  SimResultsMgr& results = join_->Manager();
  auto item = [&](double value) {
    AssignableVariable* variable = join_->AssignableOf(v.get());
    return std::make_unique<SimAssignValue>(24, nullptr, value, 0, variable, 0, 0);
  };
  results.Stage(item(1.0), false);
  ASSERT_EQ(results.HandleCommand(55, 21, 0, nullptr, 0, nullptr, 0, nullptr), 0u);
  results.Stage(item(2.0), false);
  results.Stage(item(3.0), true);
  ResultVariable* plotted = join_->PlotVariable(join_->ObjectOf(v.get()));
  ASSERT_NE(plotted, nullptr);
  const std::uint32_t id = plotted->Id();
  const std::string name = plotted->FullName();
  v.reset();
  EXPECT_TRUE(results.Staged().empty());
  EXPECT_TRUE(results.ReplyItems().empty());
  EXPECT_TRUE(results.ClientAssignments().empty());
  double value = 0.0;
  EXPECT_NE(plotted->GetValue(&value), 0u);
  EXPECT_EQ(plotted->Id(), id);
  EXPECT_EQ(plotted->FullName(), name);
  EXPECT_EQ(results.ApplyClientAssignments(), 0u);
}

TEST_F(RunResultsJoin, TheTimeMessageGoesToService95AndItsStatusIsTheCallers) {
  EXPECT_EQ(join_->SendTimeMessage(0.5), 0u);
  ASSERT_FALSE(controller_.types.empty());
  EXPECT_EQ(controller_.types.back(), 95u);
  controller_.refuse = 0xA000FFFFu;
  EXPECT_EQ(join_->SendTimeMessage(0.5), 0xA000FFFFu);
  ASSERT_EQ(join_->OpenRecords(), 0u);
  EXPECT_EQ(join_->TakeSnapshot("not routed"), 0u);
}

TEST_F(RunResultsJoin, MessagesOfTheRunThreadWaitForTheServerThread) {
  EverySnapshotKept every_snapshot;
  // A snapshot taken on another thread: its command 40 waits.
  ASSERT_EQ(join_->OpenRecords(), 0u);
  controller_.types.clear();
  std::thread run([this] { join_->TakeSnapshot("on the run thread"); });
  run.join();
  EXPECT_TRUE(controller_.types.empty());
  EXPECT_EQ(join_->HeldMessageCount(), 1u);
  // Not sent from another thread either.
  std::thread other([this] { join_->SendHeldMessages(); });
  other.join();
  EXPECT_EQ(join_->HeldMessageCount(), 1u);
  // The loop's next pass sends it, before its own messages.
  EXPECT_EQ(join_->SendTimeMessage(1.0), 0u);
  EXPECT_EQ(controller_.types, (std::vector<std::uint32_t>{55u, 95u}));
  EXPECT_EQ(join_->HeldMessageCount(), 0u);
  // On the server thread it goes at once.
  EXPECT_EQ(join_->TakeSnapshot("here"), 0u);
  EXPECT_EQ(controller_.types.back(), 55u);
}

TEST_F(RunResultsJoin, Command15QueuesForTheLoopAndRequest58RestoresTheRun) {
  EverySnapshotKept every_snapshot;
  ASSERT_EQ(join_->OpenRecords(), 0u);
  const char* name[] = {"by hand", "what it shows"};
  const std::int32_t notify[] = {1};
  SimResultsMgr& results = join_->Manager();
  EXPECT_EQ(results.HandleCommand(55, 15, 2, name, 1, notify, 0, nullptr), 0u);
  // The problem manager's queue, with its live, notify and kept flags: it
  // outlives a preparation, which opens the records anew.
  ASSERT_EQ(join_->OpenRecords(), 0u);
  std::vector<SimProblemMgr::SnapshotRequest> queued = manager_.TakeSnapshotQueue();
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].text, "by hand");
  EXPECT_EQ(std::vector<std::int32_t>({queued[0].a, queued[0].b, queued[0].c}),
            std::vector<std::int32_t>({1, 1, 1}));
  EXPECT_EQ(queued[0].second, "what it shows");
  EXPECT_EQ(join_->TakeDescribedSnapshot(queued[0].text.c_str(), queued[0].a, queued[0].b,
                                         queued[0].c, queued[0].second.c_str()),
            0u);
  std::uint32_t id = 0;
  EXPECT_EQ(results.FindSnapshotByName("by hand", &id), 0u);
  const char* description = nullptr;
  ASSERT_EQ(results.Store().GetSnapshotDescription(id, &description), 0u);
  EXPECT_STREQ(description, "what it shows");
  // Notified: the client got the snapshot's values (kind 139) too.
  EXPECT_EQ(std::count(controller_.types.begin(), controller_.types.end(), 85u), 1);

  DseMessage sent(55, DseMessage::kRequest);
  sent.PutUInt16(58);
  sent.PutUInt16(0);
  auto request = testsupport::Received(sent);
  DseMessage* reply = nullptr;
  DseTemplate* kept = nullptr;
  EXPECT_EQ(results.HandleRequest(55, request.get(), &reply, &kept), 0u);
  ASSERT_NE(reply, nullptr);
  delete reply;
  EXPECT_EQ(kept, nullptr);
}

// In a dynamic run a restore is confirmed by the client first (command 59
// with the snapshot's id), on the server thread only and for a bounded
// time: a client that never answers delays it, and it goes on with a line.
TEST_F(RunResultsJoin, ADynamicRestoreWaitsForTheClientsConfirmationForABoundedTime) {
  ASSERT_EQ(join_->OpenRecords(), 0u);
  SimResultsMgr& results = join_->Manager();
  std::uint32_t id = 0;
  ASSERT_EQ(results.TakeNamedSnapshot("kept", &id, true, true, false, false), 0u);
  ASSERT_NE(id, 0u);
  const std::int32_t mode = SolverOptions::Instance()->GetInt(29);
  SolverOptionTable::Instance()->SetInteger(29, 4);
  SolverOptionTable::Instance()->ApplyPendingChanges();
  RunPosition at{};
  EXPECT_EQ(results.RestoreSnapshot(id, &at), 0u);
  ASSERT_EQ(controller_.commands.size(), 1u);
  EXPECT_EQ(controller_.commands[0], std::make_pair(59u, static_cast<std::int32_t>(id)));

  controller_.answer = false;
  EXPECT_TRUE(status::IsFailure(join_->ConfirmRestore(id, 5)));
  EXPECT_EQ(controller_.cancelled, 1);
  // Another thread sends nothing and waits for nothing.
  Status elsewhere = 1;
  std::thread run([&] { elsewhere = join_->ConfirmRestore(id, 5); });
  run.join();
  EXPECT_EQ(elsewhere, 0u);
  EXPECT_EQ(controller_.pending.size(), 1u);  // only the one that timed out
  SolverOptionTable::Instance()->SetInteger(29, mode);
  SolverOptionTable::Instance()->ApplyPendingChanges();
}

// Command 21 hands the staged assignments over and has the current delay
// manager record at the simulation time the values before them, kept apart
// from those recorded there after them; command 23 takes them and raises
// the one-shot bit of the run-state notification.
TEST_F(RunResultsJoin, TakenAssignmentsReachTheDelayManagerAndTheRunState) {
  DelayMgr delays;
  auto* root = new DAESInstanceNode(nullptr, nullptr);
  auto* x = new DAESRealVariable(root, "x");
  root->InsertChildAt(1, x);
  ASSERT_EQ(x->RegisterDelay(), 0u);
  ASSERT_EQ(delays.InitHistory(), 0u);
  x->SetValue(7.0);
  SetSimulationTime(2.5);
  SimResultsMgr& results = join_->Manager();
  EXPECT_EQ(results.HandleCommand(55, 21, 0, nullptr, 0, nullptr, 0, nullptr), 0u);
  const DelayHistory& history = delays.History();
  ASSERT_EQ(history.RecordCount(), 2);
  EXPECT_EQ(history.TimeAt(history.Oldest()), 2.5);
  EXPECT_EQ(history.TimeAt(history.Newest()), 2.5);
  x->SetValue(9.0);
  ASSERT_EQ(delays.RecordAll(2.5), 0u);
  EXPECT_EQ(history.ValueAt(1, history.Oldest()), 7.0);
  EXPECT_EQ(history.ValueAt(1, history.Newest()), 9.0);

  manager_.ClearStatusBits(run_bits::kOneShot);
  EXPECT_EQ(results.HandleCommand(55, 23, 0, nullptr, 0, nullptr, 0, nullptr), 0u);
  EXPECT_EQ(manager_.StatusBits() & run_bits::kOneShot, 0x1000u);
  SetSimulationTime(0.0);
  BvuDirectoryProper::DeleteBelow(root);
  delete root;
}

}  // namespace
