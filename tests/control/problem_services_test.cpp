// The problem manager's faces to outside components: timed events through
// the explicit-event interface, the implicit-event questions without a
// schedule, and the executive's time, messages and solver-object slots.
#include "control/problem/problem_services.h"

#include <gtest/gtest.h>

#include <memory>

#include "control/problem/problem_manager.h"
#include "daes/equations/row.h"
#include "daes/events/implicit_event.h"
#include "daes/model/var_table_entry.h"
#include "foundation/collections/mixins.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/run_mode.h"
#include "framework/servers/server_registry.h"
#include "solve/groups/eso_group.h"
#include "solve/ifaces/decomposer.h"
#include "tests/support/capture_sink.h"
#include "tests/support/scoped_current_folder.h"
#include "tests/support/temp_dir.h"

namespace {

class Counted : public platform::IUnknown {
 public:
  Status QueryInterface(const platform::IID&, void**) override { return 0x80004002u; }
  std::uint32_t AddRef() override { return ++count; }
  std::uint32_t Release() override { return --count; }
  std::uint32_t count = 1;
};

class Row : public DAESEqnRow {
 public:
  const char* GetNameText(std::int32_t) override { return "Tank.Balance"; }
};

class Level : public QLNVariable {
 public:
  const char* GetNameText(std::int32_t) override { return "Tank.Level"; }
};

class ServicesTest : public ::testing::Test {
 protected:
  template <class Face>
  Face* Get(const platform::IID& iid) {
    void* object = nullptr;
    EXPECT_EQ(manager.QueryInterface(iid, &object), 0u);
    manager.Release();
    return static_cast<Face*>(object);
  }

  testsupport::TempDir folder;
  testsupport::ScopedCurrentFolder here{folder.path()};
  SimProblemMgr manager{nullptr};
};

TEST_F(ServicesTest, ExplicitEventsMergeLowerAndHandOut) {
  auto* events = Get<IQLNExplicitEventMgr>(IID_IQLNExplicitEventMgr);
  void* first = nullptr;
  void* merged = nullptr;
  EXPECT_EQ(events->AddEvent(66, 1.0, -1.0, &first), 0u);
  EXPECT_EQ(events->AddEvent(65, 1.00005, 1e-4, &merged), 0x00320000u);
  EXPECT_EQ(merged, first);
  EXPECT_EQ(static_cast<SimExplicitEvent*>(first)->kind, 67u);
  double tolerance = 0.0;
  EXPECT_EQ(events->GetTolerance(&tolerance), 0u);
  EXPECT_EQ(tolerance, 1e-4);
  EXPECT_EQ(events->GetTolerance(nullptr), 0x80070057u);
  EXPECT_EQ(events->LowerTolerance(1e-5), 0u);
  EXPECT_EQ(events->LowerTolerance(1e-3), 1u);
  void* head = nullptr;
  EXPECT_EQ(events->FirstEvent(0, &head), 0u);
  EXPECT_EQ(head, first);
  EXPECT_EQ(manager.Events().Size(), 1u);
  EXPECT_EQ(events->FirstEvent(1, &head), 0u);
  EXPECT_EQ(static_cast<SimExplicitEvent*>(head)->time, 1.0);
  EXPECT_TRUE(manager.Events().Empty());
  EXPECT_EQ(events->FirstEvent(1, &head), 0x80004005u);
  EXPECT_EQ(events->NotImplemented7(), 0x80004001u);
}

TEST_F(ServicesTest, ImplicitQuestionsWithoutAScheduleAnswerNo) {
  auto* implicit = Get<IQLNImplicitEventMgr>(IID_IQLNImplicitEventMgr);
  std::int32_t answer = 7;
  EXPECT_EQ(implicit->QueryA(1, &answer), 1u);
  EXPECT_EQ(answer, 0);
  answer = 7;
  EXPECT_EQ(implicit->QueryB(0, &answer), 1u);
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(implicit->QueryA(0, nullptr), 0x80070057u);
  EXPECT_EQ(implicit->RegisterEvent(nullptr), 0x80004005u);
}

TEST_F(ServicesTest, TheDelayFaceAnswersWithOrWithoutADelayManager) {
  auto* delays = Get<IQLNDelayManager>(IID_IQLNDelayManager);
  ASSERT_NE(delays, nullptr);
  EXPECT_EQ(delays->RecordTime(), 0u);
}

TEST_F(ServicesTest, ImplicitEventsJoinTheScheduleAndAreAskedAbout) {
  auto* implicit = Get<IQLNImplicitEventMgr>(IID_IQLNImplicitEventMgr);
  std::unique_ptr<DAESEventSchedule> schedule(DAESCreateEventSchedule());
  SetCurrentEventSchedule(schedule.get());
  QLNImplicitEvent* event = DAESCreateExtImplicitEvent(daes::kExternalEventKind, "Monitor 1");
  ASSERT_NE(event, nullptr);
  std::int32_t answer = 7;
  EXPECT_EQ(implicit->QueryA(1, &answer), 1u);
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(implicit->RegisterEvent(event), 0u);
  EXPECT_EQ(schedule->ExternalCount(), 1u);
  EXPECT_EQ(implicit->QueryA(1, &answer), 0u);
  EXPECT_EQ(answer, 1);
  // Not fired yet; then fired once.
  EXPECT_EQ(implicit->QueryA(0, &answer), 1u);
  EXPECT_EQ(answer, 0);
  event->CountFiring();
  EXPECT_EQ(implicit->QueryA(0, &answer), 0u);
  EXPECT_EQ(answer, 1);
  EXPECT_EQ(implicit->QueryB(1, &answer), 1u);
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(implicit->UnregisterEvent(event), 0u);
  EXPECT_EQ(schedule->ExternalCount(), 0u);
  EXPECT_EQ(implicit->QueryA(1, &answer), 1u);
  EXPECT_EQ(implicit->RegisterEvent(nullptr), 0x80004005u);
  SetCurrentEventSchedule(nullptr);
  EXPECT_EQ(implicit->UnregisterEvent(event), 0x80004005u);
  static_cast<DAESImplicitEvent*>(event)->Release();
}

TEST_F(ServicesTest, TheExecutiveSetsTimePostsMessagesAndHoldsSolverObjects) {
  auto* executive = Get<IQLNESOFactory>(IID_IQLNESOFactory);
  EXPECT_EQ(executive->SetSimulationTime(-1.0), 0x80070057u);
  EXPECT_EQ(executive->SetSimulationTime(2.5), 0u);
  EXPECT_EQ(manager.CurrentTime(), 2.5);

  Counted one, two;
  manager.ClearStatusBits(0x800);
  EXPECT_EQ(executive->AttachSolverObject(&one, 3), 0u);
  EXPECT_EQ(one.count, 2u);
  EXPECT_NE(manager.StatusBits() & 0x800u, 0u);
  EXPECT_EQ(executive->AttachSolverObject(&two, 3), 0u);
  EXPECT_EQ(one.count, 1u);  // the previous one released
  EXPECT_EQ(two.count, 2u);
  EXPECT_EQ(executive->AttachSolverObject(&one, 8), 0x80070057u);
  manager.ClearStatusBits(0x800);
  EXPECT_EQ(executive->DetachSolverObject(3), 0u);
  EXPECT_EQ(two.count, 1u);
  EXPECT_NE(manager.StatusBits() & 0x800u, 0u);

  Row row;
  void* objects[] = {&row};
  std::int32_t next = 0;
  EXPECT_EQ(SimExecutiveService::Expand("Eqn @E failed", 1, objects, &next),
            "Eqn Tank.Balance failed");
  const char* texts[] = {"Eqn @E failed"};
  EXPECT_EQ(executive->PostSolverMessage(0x80320001u, 1, texts, 1, objects), 0u);
  EXPECT_EQ(manager.Collector().GroupCount(), 1);
  EXPECT_EQ(SimExecutiveService::Expand("@E and @E", 1, objects, &next), "? and ?");
  // Either case of E is an equation, any other letter a variable; an at-sign
  // before anything else stays.
  Level level;
  void* both[] = {&row, &level, &row};
  next = 0;
  EXPECT_EQ(SimExecutiveService::Expand("@e moves @V past @ 3 in @Es", 3, both, &next),
            "Tank.Balance moves Tank.Level past @ 3 in Tank.Balances");
  EXPECT_EQ(next, 3);

  EXPECT_EQ(GetSimulationTime(), 2.5);
}

// The factory makes real solver objects now, each handed over with one
// reference; without a registry the decomposer proxy still answers.
TEST_F(ServicesTest, TheExecutiveMakesDecomposersGroupsAndDecompositions) {
  auto* executive = Get<IQLNESOFactory>(IID_IQLNESOFactory);
  testsupport::CaptureSink sink;
  platform::IUnknown* made = nullptr;
  ASSERT_EQ(executive->CreateDecomposerObject(&made), 0u);
  ASSERT_NE(made, nullptr);
  void* face = nullptr;
  EXPECT_EQ(made->QueryInterface(IID_IQLNDecomposer, &face), 0u);
  EXPECT_EQ(face, static_cast<void*>(made));
  made->Release();
  EXPECT_EQ(made->Release(), 0u);

  made = nullptr;
  ASSERT_EQ(executive->CreateDecompositionObject(&made), 0u);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->Release(), 0u);
  EXPECT_EQ(executive->CreateDecomposerObject(nullptr), 0x80070057u);
  EXPECT_EQ(executive->CreateDecompositionObject(nullptr), 0x80070057u);

  // Groups of the types the factory makes; type 2 is not one of them.
  made = nullptr;
  ASSERT_EQ(executive->CreateESOGroupObject(kGroupTypeExplicit, &made), 0u);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->QueryInterface(IID_IQLNESO, &face), 0u);
  static_cast<platform::IUnknown*>(face)->Release();
  EXPECT_EQ(made->Release(), 0u);
  made = nullptr;
  EXPECT_EQ(executive->CreateESOGroupObject(2, &made), 0x80004005u);
  EXPECT_EQ(made, nullptr);
  EXPECT_EQ(executive->CreateESOGroupObject(kGroupTypeExplicit, nullptr), 0x80070057u);
}

}  // namespace
