#include "analysis/outside/sax_action.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "framework/messaging/message.h"
#include "tests/analysis/body_writer.h"
#include "tests/analysis/control_fakes.h"
#include "tests/framework/message_helpers.h"

namespace {

using analysis_fakes::BodyWriter;
using analysis_fakes::FakeSaxServices;

const std::string kSaxLib = std::string(VANTOR_SAX_LIBS) + "/sax_procs.so";
const std::string kOllLib = std::string(VANTOR_SAX_LIBS) + "/fake_oll.so";
const std::string kOllPartial = std::string(VANTOR_SAX_LIBS) + "/fake_oll_partial.so";

// An exported text and reset of a fixture library, found by path.
struct Fixture {
  explicit Fixture(const std::string& path, const char* log, const char* reset) {
    handle = dlopen(path.c_str(), RTLD_NOW);
    if (handle != nullptr) {
      log_fn = reinterpret_cast<const char* (*)()>(dlsym(handle, log));
      reset_fn = reinterpret_cast<void (*)()>(dlsym(handle, reset));
    }
  }
  ~Fixture() {
    if (handle != nullptr) dlclose(handle);
  }
  std::string Log() const { return log_fn != nullptr ? log_fn() : std::string("<no library>"); }
  void Reset() const {
    if (reset_fn != nullptr) reset_fn();
  }
  void* handle = nullptr;
  const char* (*log_fn)() = nullptr;
  void (*reset_fn)() = nullptr;
};

class SaxActionTest : public ::testing::Test {
 protected:
  SaxActionTest()
      : action(services), sax(kSaxLib, "SaxLog", "SaxReset"),
        oll(kOllLib, "OLLTestLog", "OLLTestReset") {
    sax.Reset();
    oll.Reset();
    set_answer = reinterpret_cast<void (*)(std::int32_t, std::int32_t)>(
        sax.handle != nullptr ? dlsym(sax.handle, "SaxSetAnswer") : nullptr);
  }
  ~SaxActionTest() override { action.Clear(); }

  Status Serve(const BodyWriter& body, DseMessage** reply = nullptr) {
    auto message = testsupport::ReceivedBody(body.bytes, SAXAction::kService);
    DseMessage* made = nullptr;
    const Status s = action.HandleRequest(SAXAction::kService, message.get(), &made, nullptr);
    if (reply != nullptr) {
      *reply = made;
    } else {
      delete made;
    }
    return s;
  }
  BodyWriter UserSetUp(const std::string& path, const std::string& name,
                       std::vector<std::uint8_t> six, std::uint8_t enable = 1) {
    BodyWriter w;
    w.U16(86).Str(path).Str(name);
    for (std::uint8_t b : six) w.U8(b);
    w.U8(enable).U32(2).U32(1).U32(2).U32(1).U32(3);
    return w;
  }
  std::int32_t Hook(std::int32_t hook, std::uint32_t* record = nullptr) {
    std::int32_t next = -1;
    std::uint32_t r = 0;
    action.RunHook(hook, &next, &r);
    if (record != nullptr) *record = r;
    return next;
  }

  FakeSaxServices services;
  SAXAction action;
  Fixture sax, oll;
  void (*set_answer)(std::int32_t, std::int32_t) = nullptr;
};

TEST(SaxHookFlags, TableMapsHooksToEvents) {
  const std::uint32_t flags[] = {0x1, 0x2, 0x40, 0x80, 0x10, 0x20, 0x4, 0x8};
  for (std::int32_t hook = 5; hook <= 12; ++hook) {
    EXPECT_EQ(SAXAction::EventOfHook(hook, flags[hook - 5]), hook - 2);
    EXPECT_EQ(SAXAction::EventOfHook(hook, 0xFFu & ~flags[hook - 5]), 0);
  }
  EXPECT_EQ(SAXAction::EventOfHook(3, 0xFF), 0);
  EXPECT_EQ(OllGroupName(0x0301), "OLLInputGroup3");
  EXPECT_EQ(OllGroupName(0x0302), "OLLOutputGroup3");
}

TEST_F(SaxActionTest, UserProcedureGetsHandlesAndBracketingEvents) {
  ASSERT_NE(set_answer, nullptr);
  set_answer(3, 1);
  set_answer(5, 1);
  ASSERT_EQ(Serve(UserSetUp("\"" + kSaxLib + "\"", "SaxProc", {1, 0, 0, 0, 0, 0})), 0u);
  EXPECT_EQ(action.HookFlags(), 0x41u);
  for (std::size_t h = 0; h < 13; ++h) {
    const bool hooked = h == 0 || h == 1 || h == 2 || h == 4 || h == 5 || h == 7;
    EXPECT_EQ(action.hook_modes[h], hooked ? 1u : kNotHooked) << h;
  }
  EXPECT_EQ(SaxSwitch(), 1);
  ASSERT_EQ(action.ProcedureCount(), 1u);

  EXPECT_EQ(Hook(1), 1);  // before any event 1: nothing sent
  EXPECT_EQ(sax.Log(), "");
  EXPECT_EQ(Hook(5), 1);  // start step, then the hook's event 3
  EXPECT_EQ(sax.Log(),
            "ev1 t=2.5 A=1000,2000, B=3000, ctx=set;ev2 t=2.5 A=1000,2000, B=3000, "
            "ctx=set;ev3 t=2.5 A=1000,2000, B=3000, ctx=set;");
  sax.Reset();  // clears the answers too
  set_answer(5, 1);
  EXPECT_EQ(Hook(7), 1);
  EXPECT_EQ(Hook(6), 1);  // not flagged
  EXPECT_EQ(sax.Log(), "ev5 t=2.5 A=1000,2000, B=3000, ctx=set;");
  sax.Reset();
  Hook(2);
  EXPECT_EQ(sax.Log().substr(0, 4), "ev11");
  EXPECT_EQ(action.Started(), 0);
}

TEST_F(SaxActionTest, AnswersBecomeNextCodes) {
  ASSERT_NE(set_answer, nullptr);
  ASSERT_EQ(Serve(UserSetUp(kSaxLib, "SaxProc", {1, 0, 0, 0, 0, 0})), 0u);
  Hook(0);
  const std::pair<std::int32_t, std::int32_t> cases[] = {{1, 1}, {2, 3}, {3, 4},
                                                         {4, 5}, {5, 6}, {9, 6}};
  for (const auto& [answer, next] : cases) {
    set_answer(3, answer);
    std::uint32_t record = 0;
    EXPECT_EQ(Hook(5, &record), next) << answer;
    EXPECT_EQ(record, SimActionControl::kDone);
  }
  set_answer(3, 0);
  std::uint32_t record = 0;
  EXPECT_EQ(Hook(5, &record), 0);
  EXPECT_EQ(record, 1u);  // running: called again

  // Event 2 answering above 1 suppresses the hook's event.
  sax.Reset();
  set_answer(2, 2);
  set_answer(3, 5);
  EXPECT_EQ(Hook(4), 3);
  EXPECT_EQ(Hook(5), 6);
  sax.Reset();
  set_answer(2, 3);
  action.StartRun(1);
  EXPECT_EQ(Hook(5), 4);
  EXPECT_EQ(sax.Log().find("ev3"), std::string::npos);
}

TEST_F(SaxActionTest, MissingProcedureDisablesAndClearSendsEleven) {
  EXPECT_EQ(Serve(UserSetUp(kSaxLib, "NoSuchProc", {0, 0, 0, 0, 0, 0})), 0u);
  EXPECT_EQ(SaxSwitch(), 0);
  EXPECT_EQ(action.ProcedureCount(), 0u);
  ASSERT_EQ(services.printed.size(), 1u);
  EXPECT_EQ(services.printed[0].second, "Failed to find procedure NoSuchProc in the DLL " +
                                            kSaxLib +
                                            "\nSAX interface has been disabled for this session.");
  EXPECT_EQ(Hook(0), 1);  // nothing enabled

  ASSERT_EQ(Serve(UserSetUp(kSaxLib, "SaxProc", {0, 0, 0, 0, 0, 0})), 0u);
  EXPECT_EQ(Serve(BodyWriter().U16(88)), 0u);
  EXPECT_EQ(SaxSwitch(), 0);
  EXPECT_EQ(Serve(BodyWriter().U16(87)), 0u);
  sax.Reset();
  EXPECT_EQ(Serve(BodyWriter().U16(89)), 0u);
  EXPECT_EQ(sax.Log().substr(0, 5), "ev11 ");
  EXPECT_EQ(action.ProcedureCount(), 0u);
  EXPECT_EQ(SaxSwitch(), 0);
  EXPECT_EQ(OllSwitch(), 0);
  EXPECT_EQ(Serve(BodyWriter().U16(90)), SAXAction::kUnknownKind);
}

// Two groups (input key 0x0501 with two items, output 0x0502 with one).
BodyWriter Connection(const std::string& path) {
  BodyWriter w;
  w.U16(95).Str(path).U8(5).U8(2).Str("srv").U8(1);
  w.U8(11).U8(12).U8(13).U8(14).U8(15);
  w.U16(2);
  w.U16(0x0501).U8(0x1).U8(7).U8(8).U32(99).U16(2);
  w.U32(1).Str("T1").U8(0).U8(0).U16(1).U8(3).F64(0.5);
  w.U32(2).Str("T2").U8(1).U8(0).U16(0);
  w.U16(0x0502).U8(0).U8(1).U8(2).U32(4).U16(1);
  w.U32(42).Str("T3").U8(1).U8(4).U16(0);
  return w;
}

TEST_F(SaxActionTest, ConnectionMessageCallLogAndReply) {
  ASSERT_NE(oll.handle, nullptr);
  DseMessage* reply = nullptr;
  ASSERT_EQ(Serve(Connection(kOllLib), &reply), 0u);
  EXPECT_EQ(OllSwitch(), 1);
  EXPECT_EQ(oll.Log(),
            "Connect(srv,2,ctx)\n"
            "SetParameters(6,{2,5,3,4,1,6},{1,11,12,13,15,14})\n"
            "CreateGroup(OLLInputGroup5,2,{1000:T1,2000:T2},7,99,8,1)\n"
            "EnableItem(OLLInputGroup5,0,0,0)\n"
            "SetItemParameters(OLLInputGroup5,0,1,3=0.5)\n"
            "CreateGroup(OLLOutputGroup5,1,{0:T3},1,4,2,0)\n"
            "EnableItem(OLLOutputGroup5,0,1,4)\n");
  BodyWriter expected;
  expected.U16(95).U8(5).U32(0).U16(2);
  expected.U16(0x0501).U32(0).U16(2);
  expected.U16(0).U32(100).Str("kg/s").U16(1).U32(101).Str("kg/s");
  expected.U16(0x0502).U32(0).U16(1);
  expected.U16(0).U32(100).Str("kg/s");
  EXPECT_TRUE(testsupport::SameBytes(expected.bytes, testsupport::BodyOf(*reply)));
  delete reply;

  // Events go to the library; activation marks the current group.
  oll.Reset();
  EXPECT_EQ(Hook(0), 1);
  EXPECT_EQ(oll.Log(), "Event(1,2.5,ctx)\n");
  oll.Reset();
  EXPECT_EQ(Serve(BodyWriter().U16(99).U16(0x0501)), 0u);
  EXPECT_EQ(Serve(BodyWriter().U16(102)), 0u);
  EXPECT_EQ(Serve(BodyWriter().U16(97).U16(0x0502).U8(2).U8(0).U32(6)), 0u);
  EXPECT_EQ(oll.Log(),
            "SetGroupParameters(OLLInputGroup5,1,35=1)\n"
            "SetGroupParameters(OLLInputGroup5,1,35=0)\n"
            "SetGroupParameters(OLLOutputGroup5,2,34=6,36=2)\n");
}

TEST_F(SaxActionTest, AddModifyAndRemoveItems) {
  ASSERT_EQ(Serve(Connection(kOllLib)), 0u);
  oll.Reset();
  DseMessage* reply = nullptr;
  ASSERT_EQ(
      Serve(BodyWriter().U16(103).U16(0x0501).U16(9).U32(3).Str("T4").U8(0).U8(6).U16(1).U8(2).F64(
                1.5),
            &reply),
      0u);
  EXPECT_EQ(oll.Log(),
            "AddItem(OLLInputGroup5,3000,T4,a=0)\n"
            "EnableItem(OLLInputGroup5,7,0,6)\n"
            "SetItemParameters(OLLInputGroup5,7,1,2=1.5)\n");
  BodyWriter expected;
  expected.U16(103).U16(0x0501).U16(9).U16(7).U32(0).Str("kg/s");
  EXPECT_TRUE(testsupport::SameBytes(expected.bytes, testsupport::BodyOf(*reply)));
  delete reply;

  ASSERT_EQ(Serve(BodyWriter().U16(101).U16(0x0501).U16(7).Str("good"), &reply), 0u);
  EXPECT_TRUE(testsupport::SameBytes(BodyWriter().U16(101).U16(7).U32(0).Str("kg/s").bytes,
                                     testsupport::BodyOf(*reply)));
  delete reply;
  ASSERT_EQ(Serve(BodyWriter().U16(101).U16(0x0501).U16(7).Str("bad"), &reply), 0u);
  EXPECT_TRUE(
      testsupport::SameBytes(BodyWriter().U16(101).U16(7).U32(0xA000FFFFu).Str("kg/s").bytes,
                             testsupport::BodyOf(*reply)));
  delete reply;

  ASSERT_EQ(Serve(BodyWriter().U16(104).U16(0x0501).U16(7), &reply), 0u);
  EXPECT_TRUE(testsupport::SameBytes(BodyWriter().U16(104).U16(0x0501).U16(7).U32(5).bytes,
                                     testsupport::BodyOf(*reply)));
  delete reply;
  ASSERT_EQ(Serve(BodyWriter().U16(104).U16(0x0901).U16(7), &reply), 0u);
  EXPECT_TRUE(
      testsupport::SameBytes(BodyWriter().U16(104).U16(0x0901).U16(7).U32(0xA000FFFFu).bytes,
                             testsupport::BodyOf(*reply)));
  delete reply;
  EXPECT_EQ(Serve(BodyWriter().U16(103).U16(0x0901).U16(1).U32(3).Str("x").U8(1).U8(0).U16(0)),
            0xA000FFFFu);
}

TEST_F(SaxActionTest, UnloadableAndPartialLibraries) {
  const std::string missing = std::string(VANTOR_SAX_LIBS) + "/no_such_oll.so";
  ASSERT_EQ(Serve(Connection(missing)), 0u);
  ASSERT_FALSE(services.printed.empty());
  EXPECT_EQ(services.printed[0].first, 0xA000FFFFu);
  EXPECT_EQ(services.printed[0].second,
            "Could not find the OLL Interface library " + missing + "\n");
  EXPECT_EQ(OllSwitch(), 0);
  ASSERT_EQ(action.ProcedureCount(), 1u);
  auto* procedure = static_cast<OLLExternalProcedure*>(action.Procedure(0));
  EXPECT_EQ(procedure->CallEvent(1, 0.0, nullptr), 0);
  EXPECT_EQ(procedure->RemoveItem("g", 1), 0xA000FFFFu);
  action.Clear();

  services.printed.clear();
  ASSERT_EQ(Serve(Connection(kOllPartial)), 0u);
  ASSERT_EQ(services.printed.size(), 1u);
  EXPECT_EQ(services.printed[0].second,
            "Could not find the function OLLRemoveItem in the OLL Interface library " +
                kOllPartial + "\n");
  procedure = static_cast<OLLExternalProcedure*>(action.Procedure(0));
  EXPECT_EQ(procedure->RemoveItem("g", 1), 0xA000FFFFu);
  EXPECT_TRUE(procedure->Has(8));
  EXPECT_EQ(OllSwitch(), 0);  // the library loaded with a failure
}

}  // namespace
