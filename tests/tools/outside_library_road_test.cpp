// Libraries the engine loads for its client, through the real engine: an
// open NLA solver (request 111), an OLL interface library (service 115,
// kind 95) and a user procedure library (kind 86) each start with the
// engine's procedure-call block, whose message collector, option table and
// problem manager they use; the user procedure hears the run's events with
// its variables' handles, and the OLL library its groups, items and
// events, whose answer stops a run.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/tools/engine_road_fixture.h"
#include "tools/model_writer/model_writer.h"

namespace outsideroad {
namespace {

namespace mw = modelwriter;
using engineroad::kProblemService;
using engineroad::ModelVariable;
using engineroad::Reader;
using mw::Writer;
using vantor_client::MakeCommand;

constexpr std::uint32_t kOutsideService = 115;
const std::string kLibs = std::string(VANTOR_ROAD_LIBS) + "/";

class OutsideLibraryRoad : public engineroad::EngineRoad {
 protected:
  bool Start(const std::string& name) {
    vantor_client::EngineOptions engine = Engine();
    engine.services = {4, 55, 67, 81, 82, 85, 86, 95};
    return StartEngine(engine, name) && IntOption(31, 4);
  }
  // Waits for an event line holding `text`; true once it came.
  bool SeenLine(const std::string& text) {
    client_->WaitFor([&] {
      road_->Collect();
      return Events().find(text) != std::string::npos;
    });
    return Events().find(text) != std::string::npos;
  }
  // Kind 86: the user procedure `name` of `library`, the six hook bytes, on,
  // with list A and list B of the model's variables at these indices.
  bool UserProcedure(const std::string& library, const char* name,
                     const std::vector<std::uint8_t>& hooks, const std::vector<std::uint32_t>& a,
                     const std::vector<std::uint32_t>& b) {
    auto request = std::make_unique<vantor_client::Request>(kOutsideService);
    Writer w(*request);
    w.U16(86);
    w.Text(("\"" + kLibs + library + "\"").c_str());
    w.Text(name);
    for (std::uint8_t byte : hooks) w.U8(byte);
    w.U8(1);
    for (const auto* list : {&a, &b}) {
      w.U32(static_cast<std::uint32_t>(list->size()));
      for (std::uint32_t index : *list) w.IdPath({2, index});
    }
    return road_->Expect(std::move(request), "kind 86", 0);
  }
  bool Kind(std::uint16_t kind) {
    auto request = std::make_unique<vantor_client::Request>(kOutsideService);
    request->PutUInt16(kind);
    return road_->Expect(std::move(request), "kind " + std::to_string(kind), 0);
  }
  // A steady state (command 9) inside a run of its own.
  bool SteadyState() {
    return BeginRun() && road_->Expect(MakeCommand(kProblemService, 9), "command 9", 0) &&
           road_->WaitStep(0.0, "the steady state");
  }
  std::size_t Count(const std::string& text) {
    std::size_t n = 0;
    for (const std::string& line : run_.events) n += line.find(text) != std::string::npos;
    return n;
  }
};

// y = 2 x with x fixed at 1.5.
void Double(Writer& w) {
  w.List(3);
  ModelVariable(w, mw::kRealVariable, 1, ".x", 1.5, 4);
  ModelVariable(w, mw::kRealVariable, 2, ".y", 0.0, 1);
  engineroad::ModelEquation(w, 10, ".e", mw::Sub(mw::Var(0), mw::Mul(mw::Real(2.0), mw::Var(1))),
                            {{2, 2}, {2, 1}});
}

// Each kind of load starts its library with the engine's block: kind 3,
// its collector carrying the library's line to the client, its option
// table answering the print level the client set (4, an integer answer)
// and the working folder, its problem manager not nested.
TEST_F(OutsideLibraryRoad, LoadedLibrariesStartWithTheEnginesCallContext) {
  ASSERT_TRUE(Start("Context")) << Failure();
  const std::string started = "BVInitialize kind 3, PrintLevel 4 (answer 1), folder " + Folder();
  // The open NLA solver; no solver in it after all.
  auto nla = std::make_unique<vantor_client::Request>(kProblemService);
  nla->PutUInt16(111);
  Writer(*nla).Text((kLibs + "outside_nla.so").c_str());
  nla->PutUInt16(0);
  Status result = 0;
  ASSERT_TRUE(road_->Exchange(std::move(nla), "request 111", &result)) << Failure();
  // The OLL library, connected to no server.
  auto oll = std::make_unique<vantor_client::Request>(kOutsideService);
  Writer w(*oll);
  w.U16(95);
  w.Text((kLibs + "outside_oll.so").c_str());
  w.U8(1), w.U8(0), w.Text(""), w.U8(0);
  for (int k = 0; k < 5; ++k) w.U8(0);
  w.U16(0);
  ASSERT_TRUE(road_->Exchange(std::move(oll), "kind 95", &result)) << Failure();
  EXPECT_EQ(result, 0u);
  // The user procedure library.
  ASSERT_TRUE(UserProcedure("outside_sax.so", "OutsideProc", {0, 0, 0, 0, 0, 0}, {}, {}))
      << Failure();
  for (const char* role : {"nla: ", "oll: ", "sax: "}) {
    EXPECT_TRUE(SeenLine(role + started)) << Events();
  }
  EXPECT_NE(Events().find("No NLASystemFactory implemented in DLL"), std::string::npos) << Events();
  EXPECT_EQ(Events().find("Failed to find procedure"), std::string::npos) << Events();
  ASSERT_TRUE(EndEngine()) << Failure();
}

// A user procedure hooked before and after steady-state steps (bytes 1, 1):
// event 1 as the run is prepared, 2 as the first step starts, 3 before and
// 4 after each step, with the handles of x (list A) and y (list B) and the
// problem manager; switched off (kind 88) it hears nothing, switched on
// again (87) it does, and the session's end (89) sends event 11. The
// values stay those of y = 2 x.
TEST_F(OutsideLibraryRoad, AUserProcedureHearsTheRunsEvents) {
  ASSERT_TRUE(Start("Sax") && Load(Double)) << Failure() << Events();
  ASSERT_TRUE(UserProcedure("outside_sax.so", "OutsideProc", {1, 1, 0, 0, 0, 0}, {1}, {2}))
      << Failure();
  ASSERT_TRUE(SteadyState()) << Failure() << Events();
  for (int event : {1, 2, 3, 4}) {
    EXPECT_TRUE(
        SeenLine("sax: event " + std::to_string(event) + " t=0 A=1 B=1 handles, not nested"))
        << event << Events();
  }
  double y = 0.0;
  ASSERT_TRUE(road_->Read(2, &y, "y")) << Failure();
  EXPECT_DOUBLE_EQ(y, 3.0);
  const std::size_t before = Count("sax: event 3 ");
  ASSERT_TRUE(Kind(88) && Set("x", 2.0) && SteadyState()) << Failure() << Events();
  ASSERT_TRUE(road_->Read(2, &y, "y")) << Failure();
  EXPECT_DOUBLE_EQ(y, 4.0);
  EXPECT_EQ(Count("sax: event 3 "), before) << Events();
  ASSERT_TRUE(Kind(87) && SteadyState()) << Failure() << Events();
  EXPECT_TRUE(client_->WaitFor([&] {
    road_->Collect();
    return Count("sax: event 4 ") > before;
  }) == 0)
      << Events();
  ASSERT_TRUE(Kind(89)) << Failure();
  EXPECT_TRUE(SeenLine("sax: event 11 ")) << Events();
  ASSERT_TRUE(FinishRun()) << Failure();
}

// x' = -x from x(0) = 1, run on (command 9) at intervals of 0.1. The OLL
// library gets its server connection, its parameters, a group of x and r
// with their tags and item parameters, an added, retagged and removed item,
// the group made current and not, and an event after every dynamic step;
// its answer 3 from t = 0.3 on stops the run there, at x = exp(-0.3).
TEST_F(OutsideLibraryRoad, AnOllLibraryTakesItsGroupsAndStopsTheRun) {
  ASSERT_TRUE(
      Start("Oll") && IntOption(30, 4) && IntOption(29, 4) &&
      road_->Expect(MakeCommand(engineroad::kResultsService, 32, {}, {0.1}), "command 32", 0) &&
      RealOption(130, 1e-8) && RealOption(131, 1e-10))
      << Failure();
  ASSERT_TRUE(Load([](Writer& w) {
    w.List(3);
    ModelVariable(w, mw::kStateVariable, 1, ".x", 1.0, 32);
    ModelVariable(w, mw::kRealVariable, 2, ".r", 0.0, 1);
    engineroad::ModelEquation(w, 10, ".e", mw::Add(mw::Var(0), mw::Var(1)), {{2, 1, 1}, {2, 1}});
  })) << Failure()
      << Events();
  constexpr std::uint16_t kKey = 0x0101;  // procedure 1's input group
  auto setup = std::make_unique<vantor_client::Request>(kOutsideService);
  Writer w(*setup);
  w.U16(95);
  w.Text((kLibs + "outside_oll.so").c_str());
  w.U8(1);                            // id
  w.U8(2), w.Text("Plant"), w.U8(1);  // connection, server, enable
  for (std::uint8_t b = 1; b <= 5; ++b) w.U8(b);
  w.U16(1);
  w.U16(kKey), w.U8(0x8), w.U8(3), w.U8(4), w.U32(7);
  w.U16(2);
  w.IdPath({2, 1}), w.Text("TagX"), w.U8(1), w.U8(0), w.U16(1), w.U8(9), w.F64(2.5);
  w.IdPath({2, 2}), w.Text("TagR"), w.U8(0), w.U8(1), w.U16(0);
  Status result = 1;
  std::vector<vantor_client::Message> replies;
  ASSERT_TRUE(road_->Exchange(std::move(setup), "kind 95", &result, &replies)) << Failure();
  EXPECT_EQ(result, 0u);
  ASSERT_EQ(replies.size(), 1u);
  {
    Reader r(replies[0].body);
    EXPECT_EQ(r.Get<std::uint16_t>(), 95);
    EXPECT_EQ(r.Get<std::int8_t>(), 1);
    EXPECT_EQ(r.Get<std::uint32_t>(), 0u);
    EXPECT_EQ(r.Get<std::uint16_t>(), 1);
    EXPECT_EQ(r.Get<std::uint16_t>(), kKey);
    EXPECT_EQ(r.Get<std::uint32_t>(), 0u);
    EXPECT_EQ(r.Get<std::uint16_t>(), 2);
    for (std::uint16_t item = 0; item < 2; ++item) {
      EXPECT_EQ(r.Get<std::uint16_t>(), item);
      EXPECT_EQ(r.Get<std::uint32_t>(), 100u + item);
      EXPECT_EQ(r.Text(), "kg/s");
    }
    EXPECT_TRUE(r.ok());
  }
  for (const char* line :
       {"oll: Connect(Plant,2,not nested)", "oll: SetParameters(2=1,5=1,3=2,4=3,1=5,6=4)",
        "oll: CreateGroup(OLLInputGroup1,{handle:TagX,handle:TagR},3,7,4,8)",
        "oll: SetItemParameters(OLLInputGroup1,0,9=2.5)",
        "oll: EnableItem(OLLInputGroup1,1,0,1)"}) {
    EXPECT_TRUE(SeenLine(line)) << line << "\n" << Events();
  }
  // An item added (the library gives it index 7), retagged and removed.
  auto add = std::make_unique<vantor_client::Request>(kOutsideService);
  Writer a(*add);
  a.U16(103), a.U16(kKey), a.U16(5), a.IdPath({2, 2}), a.Text("TagR2"), a.U8(0), a.U8(0), a.U16(0);
  ASSERT_TRUE(road_->Exchange(std::move(add), "kind 103", &result, &replies)) << Failure();
  ASSERT_EQ(replies.size(), 1u);
  {
    Reader r(replies[0].body);
    EXPECT_EQ(r.Get<std::uint16_t>(), 103);
    EXPECT_EQ(r.Get<std::uint16_t>(), kKey);
    EXPECT_EQ(r.Get<std::uint16_t>(), 5);
    EXPECT_EQ(r.Get<std::uint16_t>(), 7);
    EXPECT_EQ(r.Get<std::uint32_t>(), 0u);
    EXPECT_EQ(r.Text(), "kg/s");
  }
  auto retag = std::make_unique<vantor_client::Request>(kOutsideService);
  retag->PutUInt16(101), retag->PutUInt16(kKey), retag->PutUInt16(7);
  Writer(*retag).Text("bad");
  ASSERT_TRUE(road_->Exchange(std::move(retag), "kind 101", &result, &replies)) << Failure();
  ASSERT_EQ(replies.size(), 1u);
  {
    Reader r(replies[0].body);
    EXPECT_EQ(r.Get<std::uint16_t>(), 101);
    EXPECT_EQ(r.Get<std::uint16_t>(), 7);
    EXPECT_EQ(r.Get<std::uint32_t>(), 0xA000FFFFu) << "the library refused the tag";
  }
  auto remove = std::make_unique<vantor_client::Request>(kOutsideService);
  remove->PutUInt16(104), remove->PutUInt16(kKey), remove->PutUInt16(7);
  ASSERT_TRUE(road_->Exchange(std::move(remove), "kind 104", &result, &replies)) << Failure();
  ASSERT_EQ(replies.size(), 1u);
  {
    Reader r(replies[0].body);
    EXPECT_EQ(r.Get<std::uint16_t>(), 104);
    EXPECT_EQ(r.Get<std::uint16_t>(), kKey);
    EXPECT_EQ(r.Get<std::uint16_t>(), 7);
    EXPECT_EQ(r.Get<std::uint32_t>(), 5u);
  }
  // An item enabled with a parameter, the group's parameters, the
  // library's parameters again.
  auto enable = std::make_unique<vantor_client::Request>(kOutsideService);
  Writer e(*enable);
  e.U16(98), e.U16(kKey), e.U16(0), e.U8(0), e.U8(1), e.U16(1), e.U8(5), e.F64(1.25);
  auto group = std::make_unique<vantor_client::Request>(kOutsideService);
  group->PutUInt16(97), group->PutUInt16(kKey), group->PutUInt8(0x8), group->PutUInt8(0);
  group->PutUInt32(42);
  auto parameters = std::make_unique<vantor_client::Request>(kOutsideService);
  parameters->PutUInt16(96);
  for (std::uint8_t b : {1, 1, 6, 7, 8, 9, 10}) parameters->PutUInt8(b);
  ASSERT_TRUE(road_->Expect(std::move(enable), "kind 98", 0) &&
              road_->Expect(std::move(group), "kind 97", 0) &&
              road_->Expect(std::move(parameters), "kind 96", 0))
      << Failure();
  auto current = std::make_unique<vantor_client::Request>(kOutsideService);
  current->PutUInt16(99), current->PutUInt16(kKey);
  ASSERT_TRUE(road_->Expect(std::move(current), "kind 99", 0) && Kind(102)) << Failure();
  EXPECT_TRUE(SeenLine("oll: AddItem(OLLInputGroup1,handle,TagR2,a=0)")) << Events();
  EXPECT_TRUE(SeenLine("oll: EnableItem(OLLInputGroup1,7,0,0)")) << Events();
  EXPECT_TRUE(SeenLine("oll: ModifyItemTag(OLLInputGroup1,7,bad)")) << Events();
  EXPECT_TRUE(SeenLine("oll: RemoveItem(OLLInputGroup1,7)")) << Events();
  EXPECT_TRUE(SeenLine("oll: SetGroupParameters(OLLInputGroup1,35=1)")) << Events();
  EXPECT_TRUE(SeenLine("oll: SetGroupParameters(OLLInputGroup1,35=0)")) << Events();
  for (const char* line :
       {"oll: EnableItem(OLLInputGroup1,0,0,1)", "oll: SetItemParameters(OLLInputGroup1,0,5=1.25)",
        "oll: SetGroupParameters(OLLInputGroup1,34=42,36=8)",
        "oll: SetParameters(2=1,5=6,3=7,4=8,1=10,6=9)"}) {
    EXPECT_TRUE(SeenLine(line)) << line << "\n" << Events();
  }

  // The continuous run, stopped by the library's answer after t = 0.3.
  ASSERT_TRUE(BeginRun() && road_->Expect(MakeCommand(kProblemService, 9), "command 9", 0))
      << Failure();
  bool running = false;
  ASSERT_TRUE(road_->WaitNotice(
      [&](const vantor_scenario::Notification& n) {
        running = running || (n.bits & vantor_scenario::kRunningBit) != 0;
        return running && (n.bits & vantor_scenario::kRunningBit) == 0;
      },
      "the run's end"))
      << Failure() << Events();
  EXPECT_NEAR(road_->Last().time, 0.3, 1e-9) << Events();
  double x = 0.0;
  ASSERT_TRUE(road_->Read(1, &x, "x")) << Failure();
  EXPECT_NEAR(x, std::exp(-0.3), 1e-6);
  EXPECT_TRUE(SeenLine("oll: Event(10,0.3,not nested)")) << Events();
  EXPECT_EQ(Events().find("oll: Event(10,0.4"), std::string::npos) << Events();
  ASSERT_TRUE(FinishRun()) << Failure();
}

}  // namespace
}  // namespace outsideroad
