// Monitors, synchronisation and the property manager as the problem manager
// holds them: the factories it registers, its event list and instance tree
// behind the monitors, service 66, and option 77 reaching the package.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "control/actions/monitor.h"
#include "control/managers/instance_mgr.h"
#include "control/problem/problem_manager.h"
#include "control/properties/property_mgr.h"
#include "daes/model/variable.h"
#include "framework/libraries/library_loader.h"
#include "framework/servers/server_registry.h"
#include "solve/options/solver_option_table.h"
#include "tests/control/action_test_support.h"
#include "tests/support/scoped_current_folder.h"
#include "tests/support/temp_dir.h"

namespace {

class EngineMonitorTest : public ::testing::Test {
 protected:
  testsupport::TempDir folder;
  testsupport::ScopedCurrentFolder here{folder.path()};
  DseServerRegistry registry;
  SimProblemMgr manager{&registry};
  testsupport::RecordingSender sender;
};

TEST_F(EngineMonitorTest, TheProblemManagerRegistersMonitorAndSync) {
  DseMessage name(67, DseMessage::kRequest);
  name.PutString("S");
  EXPECT_EQ(testsupport::CreateThrough(manager.Actions(), "SYNC", testsupport::BodyOf(name)), 1u);
  EXPECT_EQ(manager.Actions()->ListSize(6, 2), 1u);
  EXPECT_EQ(registry.FindServer(66), static_cast<DseServerCB*>(manager.Properties()));
  void* face = nullptr;
  ASSERT_EQ(manager.QueryInterface(IID_IQLNPropertiesManager, &face), 0u);
  EXPECT_EQ(face, static_cast<IQLNPropertiesManager*>(manager.Properties()));
}

TEST_F(EngineMonitorTest, ATimeMonitorFiresAtItsEventOnTheProblemsSchedule) {
  // The FirstOrder road's monitor: hook point 12, list 0, tag 7, t = 1.
  DseMessage body(67, DseMessage::kRequest);
  body.PutString("EndTime");
  body.PutUInt16(SimMonitor::kTime);
  for (std::uint32_t word : {1u, 12u, 0u, 1u, 7u}) body.PutUInt32(word);
  body.PutUInt8(0);
  body.PutUInt8(0);
  body.PutDouble(1.0);
  body.PutUInt8(1);
  ASSERT_EQ(testsupport::CreateThrough(manager.Actions(), "Monitor", testsupport::BodyOf(body)),
            1u);
  const SimExplicitEvent* event = manager.Events().Head();
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(event->kind, 66u);
  EXPECT_EQ(event->time, 1.0);
  // A communication point at the same time merges with it.
  std::uint64_t merged = 0;
  EXPECT_EQ(manager.Events().Add(65, 1.0, -1.0, &merged), SimEventList::kMerged);
  manager.SetCurrentTime(1.0);
  manager.Actions()->SetHookPoint(12, 13);
  std::int32_t request = 0;
  EXPECT_EQ(manager.Actions()->Dispatch(&request), kCallAgain);
  ASSERT_EQ(sender.sent.size(), 1u);
  ASSERT_EQ(sender.Answer(1, {0, 4}), 0u);
  EXPECT_EQ(manager.Actions()->Dispatch(&request), 0u);
  EXPECT_EQ(request, 4);
  // The event leaves; the monitor forgets it.
  manager.Events().DeleteFirst();
  EXPECT_EQ(static_cast<SimMonitor*>(manager.Actions()->FindAction(1))->EventHandle(), 0u);
}

TEST_F(EngineMonitorTest, AMonitorReportsAVariableOfTheInstanceTree) {
  auto* x = new DAESRealVariable(manager.Instances(), "x");
  ASSERT_EQ(manager.Instances()->InsertChildAt(2, x), 0u);
  x->SetValue(3.25);
  DseMessage body(67, DseMessage::kRequest);
  body.PutString("Now");
  body.PutUInt16(SimMonitor::kPlain);
  for (std::uint32_t word : {1u, 12u, 0u, 0u}) body.PutUInt32(word);
  body.PutUInt8(1);
  body.PutUInt8(0);
  body.PutUInt32(1);
  BvuIdPath path;
  path.Append(2);
  path.Append(kIdPathEnd);
  path.Write(body);
  ASSERT_EQ(testsupport::CreateThrough(manager.Actions(), "Monitor", testsupport::BodyOf(body)),
            1u);
  manager.SetCurrentTime(0.5);
  manager.Actions()->SetHookPoint(12, 13);
  std::int32_t request = 0;
  EXPECT_EQ(manager.Actions()->Dispatch(&request), kCallAgain);
  ASSERT_EQ(sender.sent.size(), 1u);
  // After the tags, the sample: the time 0.5, the count 1, then the value's
  // type code 4 and the type it is reported as (4), both 32-bit, and 3.25.
  testsupport::MessagePtr& sent = sender.sent[0].message;
  const testsupport::Bytes all = testsupport::ReceivedBodyOf(*sent);
  ASSERT_GE(all.size(), 28u);
  const testsupport::Bytes tail(all.end() - 28, all.end());
  const testsupport::Bytes expected = {0, 0, 0, 0, 0, 0, 0xE0, 0x3F, 1, 0, 0, 0, 4,    0,
                                       0, 0, 4, 0, 0, 0, 0,    0,    0, 0, 0, 0, 0x0A, 0x40};
  EXPECT_EQ(tail, expected);
}

TEST_F(EngineMonitorTest, ARampOutlivingItsVariableLeavesItAlone) {
  auto* u = new DAESRealVariable(manager.Instances(), "u");
  ASSERT_EQ(manager.Instances()->InsertChildAt(2, u), 0u);
  u->SetValue(2.0);
  u->SetFlags(daes::kFixed);
  DseMessage body(67, DseMessage::kRequest);
  body.PutString("Ramp");
  body.PutUInt16(SimMonitor::kRamp);
  for (std::uint32_t word : {1u, 12u, 0u, 0u}) body.PutUInt32(word);
  body.PutUInt8(0);
  body.PutUInt8(0);
  body.PutUInt8(1);
  body.PutString("u");
  body.PutUInt32(SimRampMonitor::kRealType);
  for (double v : {1.0, 1.0, 5.0, 0.0, 0.0}) body.PutDouble(v);
  body.PutUInt8(1);
  body.PutUInt8(1);
  ASSERT_EQ(testsupport::CreateThrough(manager.Actions(), "Monitor", testsupport::BodyOf(body)),
            1u);
  EXPECT_NE(u->GetFlags() & SimRampMonitor::kRampedMark, 0u);
  // The tree goes first, then the actions.
  EXPECT_EQ(manager.DetachProblem("", "NULL"), 0u);
  EXPECT_EQ(manager.Actions()->FindAction(1), nullptr);
}

TEST_F(EngineMonitorTest, OptionSeventySevenReachesTheLoadedPackage) {
  XosDynamicLibrary::AddSearchPath(VANTOR_FAKE_GPP_DIR);
  unsetenv("FAKE_GPP_SETUP_LEVEL");
  ASSERT_EQ(manager.Properties()->SelectItem(GppiPropertyMgr::kSelect, "a", "b", "fake_gpp"), 0u);
  XosDynamicLibrary* fake = XosDynamicLibrary::Load("fake_gpp", nullptr);
  ASSERT_NE(fake, nullptr);
  auto reset = reinterpret_cast<void (*)()>(fake->LookUpSymbol("fake_gpp_reset", ""));
  auto log = reinterpret_cast<const char* (*)()>(fake->LookUpSymbol("fake_gpp_log", ""));
  reset();
  manager.ClearStatusBits(0x800);
  SUValue value;
  value.SetType(SUValue::kInteger);
  value.SetInt(1);
  BvuIdPath ids;
  EXPECT_EQ(manager.SetItem(53, ids, 0, 77, &value), 0u);
  EXPECT_STREQ(log(), "OPTIONS 0 0\n");
  // A property object defined tells the problem that its solvers changed.
  DseMessage define(66, DseMessage::kRequest);
  define.PutUInt16(GppiPropertyMgr::kDefineRequest);
  define.PutString("Water");
  define.PutUInt8(0);
  define.PutUInt16(1);
  define.PutString("WATER");
  define.PutUInt16(0);
  testsupport::MessagePtr request = testsupport::Received(define);
  DseMessage* reply = nullptr;
  ASSERT_EQ(registry.FindServer(66)->HandleRequest(66, request.get(), &reply, nullptr), 0u);
  EXPECT_NE(manager.StatusBits() & 0x800, 0u);
  // Detaching drops the package.
  manager.DetachProblem("", "NULL");
  EXPECT_FALSE(GppiPropertyMgr::PackageIsLoaded());
  fake->Release();
}

}  // namespace
