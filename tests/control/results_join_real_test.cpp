// What the engine's problem manager answers the results manager, over a
// real problem (the first-order lag prepared by the run steps): the
// variables' tree and records, the event schedule, the problem block, the
// clock moved by a restore, the marks a specification change leaves, the
// client's text switch, the scaling option and the actions' hook points.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "control/problem/problem_manager.h"
#include "control/problem/run_steps.h"
#include "daes/events/implicit_event.h"
#include "foundation/interfaces/run_mode.h"
#include "framework/messaging/message.h"
#include "framework/servers/server_registry.h"
#include "results/manager/run_results.h"
#include "results/snapshots/snapshot_text.h"
#include "tests/control/real_lag_run.h"

#if defined(VANTOR_BUILD_REGISTRY) && defined(VANTOR_KVS_DIR)

namespace {

// Every SimUseData node below `node` with its name joined from the root.
void Collect(BvuDirectoryNode* node, const std::string& path,
             std::vector<std::pair<std::string, SimUseData*>>* out) {
  for (std::int32_t i = node->LowIndex(); i <= node->HighIndex(); ++i) {
    BvuDirectoryNode* child = node->ChildAt(i);
    if (child == nullptr) continue;
    const std::string name = path + (child->Name() != nullptr ? child->Name() : "");
    if (child->GetKind() == SimUseData::kKind)
      out->emplace_back(name, static_cast<SimUseData*>(child));
    Collect(child, name, out);
  }
}

// An action at every hook point that counts its resets.
class ResetCounter : public SimActionFactory, public NewSimAction {
 public:
  ResetCounter() : SimActionFactory("ResetCounter"), NewSimAction("ResetCounter", this) {
    hook_modes.fill(0);
  }
  Status Create(DseMessage*, DseMessage**, NewSimAction** action) override {
    *action = this;
    return 0;
  }
  void ActionDeleted(NewSimAction*) override {}
  Status Execute(std::int32_t*, SimActionControl*, const SimExplicitEvent*) override { return 0; }
  Status Reset() override {
    ++resets;
    return 0;
  }
  int resets = 0;
};

class ResultsJoinRun : public reallag::RealLagRun {
 protected:
  void Prepare() {
    SetRunMode(kRunSteadyState);
    ASSERT_EQ(steps.PrepareSimulation(0, 0), 0u) << testing::PrintToString(sink.lines());
  }
  std::int32_t RecordOf(const std::string& name) {
    DAESVarTableEntry* entry = Named(name);
    return entry != nullptr ? join.RecordOf(entry) : -1;
  }

  DseServerRegistry registry;
  SimRunResultsJoin join{manager, &registry, nullptr};
};

TEST_F(ResultsJoinRun, TheVariableTreeNamesEveryRecordOfTheOpenedTable) {
  Prepare();
  const SUPackedValueTable* values = join.Manager().Values();
  ASSERT_NE(values, nullptr);
  ASSERT_NE(join.VariableTree(), nullptr);
  std::vector<std::pair<std::string, SimUseData*>> nodes;
  Collect(join.VariableTree(), "", &nodes);
  ASSERT_EQ(nodes.size(), static_cast<std::size_t>(values->Count()));
  std::vector<int> seen(static_cast<std::size_t>(values->Count()), 0);
  for (const auto& [name, node] : nodes) {
    const std::int32_t index = static_cast<std::int32_t>(node->variable_index);
    ASSERT_LT(index, values->Count()) << name;
    ++seen[static_cast<std::size_t>(index)];
    // The record's variable answers to the node's name, as assignments and
    // result items find it.
    AssignableVariable* variable = join.VariableAt(index);
    ASSERT_NE(variable, nullptr) << name;
    EXPECT_EQ(variable->Name(), name);
    EXPECT_EQ(variable->Index(), index);
    ResultObject* object = join.ObjectAt(index);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->Name(), name);
    EXPECT_EQ(object->Index(), index);
    // The plot history reads the record of the variable it records.
    ResultVariable* plotted = join.PlotVariable(object);
    ASSERT_NE(plotted, nullptr);
    EXPECT_EQ(plotted->FullName(), name);
    EXPECT_EQ(join.ValueIndex(plotted), index);
  }
  for (int count : seen) EXPECT_EQ(count, 1);
  EXPECT_GE(RecordOf("FirstOrder.x"), 0);
  EXPECT_EQ(join.VariableAt(values->Count()), nullptr);
  EXPECT_EQ(join.VariableAt(-1), nullptr);
  // And the snapshot file's structure record 0 carries it.
  DseMessage* record = nullptr;
  ASSERT_EQ(join.Manager().StructureRecord(0, &record), 0u);
  ASSERT_NE(record, nullptr);
  delete record;
}

TEST_F(ResultsJoinRun, TheEventScheduleIsTheCurrentSchedulesStates) {
  Prepare();
  ASSERT_NE(GetCurrentEventSchedule(), nullptr);
  std::vector<std::uint32_t>* entries = join.EventSchedule();
  ASSERT_NE(entries, nullptr);
  EXPECT_TRUE(entries->empty());
  EXPECT_EQ(join.EventTree(), nullptr);  // the lag has no events
  EXPECT_EQ(join.RestoreEventSchedule({}), 0u);
  // A restore must not read as success when the schedule refused it.
  EXPECT_EQ(join.RestoreEventSchedule({1}), daes::kWrongEventCount);
}

TEST_F(ResultsJoinRun, TheProblemBlockIsTheRunStatusRecord) {
  manager.SetCurrentTime(1.5);
  std::vector<std::uint8_t>* block = join.ProblemBlock();
  ASSERT_NE(block, nullptr);
  ASSERT_EQ(block->size(), 12u);
  double time = 0;
  std::memcpy(&time, block->data(), 8);
  EXPECT_EQ(time, 1.5);
}

TEST_F(ResultsJoinRun, ARestoreMovesTheClockAndDropsEventsThatCannotBeReached) {
  Prepare();
  manager.Events().Add(66, 0.1, -1.0, nullptr);
  manager.Events().Add(66, 0.9, -1.0, nullptr);
  EXPECT_FALSE(join.RestartRequested());
  join.SetRestartTime(0.5);
  EXPECT_EQ(manager.CurrentTime(), 0.5);
  EXPECT_EQ(GetSimulationTime(), 0.5);
  EXPECT_TRUE(join.RestartRequested());
  EXPECT_FALSE(manager.StepResultPending());
  join.UpdateMonitors(0.5);
  ASSERT_EQ(manager.Events().Size(), 1u);
  EXPECT_EQ(manager.Events().Head()->time, 0.9);
  manager.Events().Clear();
}

TEST_F(ResultsJoinRun, SpecificationChangesMarkARebuildOrAReinitialisation) {
  Prepare();
  EXPECT_FALSE(manager.StructureChanged());
  join.SetStructureChanged();
  EXPECT_TRUE(manager.StructureChanged());
  manager.SetCurrentTime(0.3);
  join.NotifyIntegrator();
  EXPECT_TRUE(manager.ReinitialisationMark());
  // The kept result requests refill at the next pass.
  join.SpecificationChanged(0);
  SolverOptionTable::Instance()->SetDefaults();
}

TEST_F(ResultsJoinRun, SnapshotTextIsTheClientsChoiceByCommand81) {
  const std::int32_t on[] = {1};
  const std::int32_t off[] = {0};
  EXPECT_FALSE(join.WantsSnapshotText());
  ASSERT_EQ(manager.HandleCommand(50, 81, 0, nullptr, 1, on, 0, nullptr), 0u);
  EXPECT_TRUE(join.WantsSnapshotText());
  ASSERT_EQ(manager.HandleCommand(50, 81, 0, nullptr, 1, off, 0, nullptr), 0u);
  EXPECT_FALSE(join.WantsSnapshotText());
}

TEST_F(ResultsJoinRun, AScaleAsksForTheScalingOption) {
  SolverOptionTable* table = SolverOptionTable::Instance();
  table->ApplyPendingChanges();
  join.SetScalingSwitches();
  EXPECT_TRUE(table->HasPendingChanges());
  table->ApplyPendingChanges();
  std::uint32_t type = 0;
  void* address = nullptr;
  ASSERT_EQ(table->ValueSlot(70, &type, &address), 0u);
  ASSERT_NE(address, nullptr);
  std::int32_t value = 0;
  std::memcpy(&value, address, sizeof value);
  EXPECT_EQ(value, 1);
}

TEST_F(ResultsJoinRun, RunHooksStartOverAtEveryHookPoint) {
  ResetCounter counter;
  SimActionMgr* actions = manager.Actions();
  ASSERT_EQ(actions->RegisterFactory(&counter), 0u);
  NewSimAction* made = nullptr;
  ASSERT_EQ(actions->CreateAction("ResetCounter", 0, &made), 1u);
  join.ResetRunHooks();
  EXPECT_GT(counter.resets, 0);
  actions->ClearAll(false);
}

// Set-item attributes 10, 16, 17 and 18 act on the problem's own entries:
// the state's companion is its derivative and back, the first switch is
// flag bit 19 as assignments set it, the text is the description.
TEST_F(ResultsJoinRun, ItemWritesReachTheCompanionTheSwitchAndTheText) {
  Prepare();
  DAESVarTableEntry* x = Named("FirstOrder.x");
  ASSERT_NE(x, nullptr);
  ASSERT_NE(x->GetDerivative(), nullptr);
  ResultObject* state = join.ObjectOf(x);
  ResultObject* derivative = state->Companion();
  ASSERT_NE(derivative, nullptr);
  EXPECT_EQ(derivative, join.ObjectOf(x->GetDerivative()));
  EXPECT_EQ(derivative->Companion(), state);
  EXPECT_EQ(join.ObjectOf(Named("FirstOrder.u"))->Companion(), nullptr);

  state->SetFirstSwitch(true);
  EXPECT_NE(x->GetFlags() & AssignableVariable::kBit19, 0u);
  state->SetFirstSwitch(false);
  EXPECT_EQ(x->GetFlags() & AssignableVariable::kBit19, 0u);
  state->SetText("level of the lag");
  const char* text = nullptr;
  ASSERT_EQ(x->GetTextAttribute(6, &text), 0u);
  EXPECT_STREQ(text, "level of the lag");
  // One code and one switch: the second ones change nothing.
  const std::uint32_t flags = x->GetFlags();
  EXPECT_EQ(state->SetSecondCode(4), 0u);
  state->SetSecondSwitch(true);
  EXPECT_EQ(x->GetFlags(), flags);
}

}  // namespace

#endif
