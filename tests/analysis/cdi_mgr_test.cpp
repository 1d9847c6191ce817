#include "analysis/control_design/cdi_mgr.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "framework/messaging/message.h"
#include "tests/analysis/analysis_fakes.h"
#include "tests/analysis/body_writer.h"
#include "tests/analysis/control_fakes.h"
#include "tests/framework/message_helpers.h"

namespace {

using analysis_fakes::BodyWriter;
using analysis_fakes::FakeCdiServices;
using analysis_fakes::FakeServices;
using analysis_fakes::FakeVariable;

class CdiMgrTest : public ::testing::Test {
 protected:
  CdiMgrTest() : manager(services) {
    h = services.vars.Add(1, "h", 4.0);
    q = services.vars.Add(2, "q", 1.0);
    services.vars.Add(3, "other", 0.0);
  }
  Status Serve(const BodyWriter& body, DseMessage** reply = nullptr) {
    auto message = testsupport::ReceivedBody(body.bytes, CDIManager::kService);
    DseMessage* made = nullptr;
    const Status s = manager.HandleRequest(CDIManager::kService, message.get(), &made, nullptr);
    if (reply != nullptr) {
      *reply = made;
    } else {
      delete made;
    }
    return s;
  }
  // One state h (scale 1), input q, output h.
  BodyWriter SetUp(std::uint16_t options, std::uint32_t input_id = 2, std::uint32_t output_id = 1) {
    return BodyWriter()
        .U16(82)
        .U16(options)
        .F64(0.0)
        .U32(1)
        .U32(1)
        .U32(1)
        .U32(1)
        .F64(1.0)
        .U32(input_id)
        .F64(1.0)
        .U32(output_id)
        .F64(1.0);
  }

  FakeCdiServices services;
  CDIManager manager;
  FakeVariable* h = nullptr;
  FakeVariable* q = nullptr;
};

TEST_F(CdiMgrTest, DrainedTankReplyForBAndD) {
  EXPECT_EQ(GetCDIManager(), &manager);
  ASSERT_EQ(Serve(SetUp(kCdiB | kCdiD)), 0u);
  EXPECT_EQ(q->GetFlags() & CDIManager::kInputFlag, CDIManager::kInputFlag);
  EXPECT_EQ(h->GetFlags() & CDIManager::kOutputFlag, CDIManager::kOutputFlag);
  DseMessage* reply = nullptr;
  ASSERT_EQ(Serve(BodyWriter().U16(83), &reply), 0u);
  ASSERT_NE(reply, nullptr);
  BodyWriter expected;
  expected.U16(84).U16(1).U16(1).U16(1);
  expected.U16(0x2).U32(1).F64(0.5).U16(1).U16(1);  // B = 1/A_t
  expected.U16(0x8).U32(0);                         // D = 0: the output is the state
  expected.U16(0xFFFF).F64(12.5);
  expected.Str("q").F64(1.0).Str("h").F64(4.0).Str("h").F64(4.0);
  expected.U16(0xFFFF);
  EXPECT_TRUE(testsupport::SameBytes(expected.bytes, testsupport::BodyOf(*reply)));
  delete reply;
  EXPECT_EQ(services.mode, 0);
  EXPECT_EQ(services.hold, 0);
  EXPECT_EQ(services.flushes, 1);
}

TEST_F(CdiMgrTest, DrainedTankLinearisesToClosedForm) {
  ASSERT_EQ(Serve(SetUp(kCdiA | kCdiB | kCdiC | kCdiD | kCdiG)), 0u);
  ASSERT_EQ(Serve(BodyWriter().U16(83)), 0u);
  QLNCDIComponent* c = manager.Component();
  const double at = 2.0, k = 0.5, hs = 4.0;
  auto single = [&](std::int32_t bit) {
    std::vector<double> v;
    std::int32_t count = 0, st = 0;
    c->GetMatrix(bit, &v, nullptr, nullptr, &count, &st);
    EXPECT_EQ(st, 0);
    return count == 1 ? v[0] : 0.0;
  };
  EXPECT_NEAR(single(kCdiA), -k / (2 * at * std::sqrt(hs)), 1e-12);
  EXPECT_NEAR(single(kCdiB), 1 / at, 1e-12);
  EXPECT_NEAR(single(kCdiC), 1.0, 1e-12);
  EXPECT_NEAR(single(kCdiD), 0.0, 1e-12);
  EXPECT_NEAR(single(kCdiG), 2 * std::sqrt(hs) / k, 1e-12);
  // A second computation reuses the object.
  ASSERT_EQ(Serve(BodyWriter().U16(83)), 0u);
  EXPECT_EQ(services.creations, 1);
  EXPECT_EQ(services.last->evaluations, 2);
}

TEST_F(CdiMgrTest, StepResponseAndStmBlocks) {
  BodyWriter body = SetUp(kCdiB | kCdiD | kCdiStepResponse | kCdiStm);
  body.F64(1.0).F64(1e-5).F64(1e-5).F64(0.01).F64(0.01).U16(15).U16(60).U16(2);
  body.F64(1.0).F64(0.25).F64(0.0).U32(0);
  ASSERT_EQ(Serve(body), 0u);
  DseMessage* reply = nullptr;
  ASSERT_EQ(Serve(BodyWriter().U16(83), &reply), 0u);
  std::vector<double> y;
  std::int32_t n = 0;
  double tf = 0;
  std::vector<std::int32_t> ramp;
  ASSERT_EQ(manager.Component()->GetStepResponse(&y, &n, &tf, &ramp), 0);
  EXPECT_EQ(n % 15, 0);
  std::vector<double> stm;
  std::vector<std::int32_t> r, c;
  std::int32_t count = 0, st = 0;
  manager.Component()->GetMatrix(kCdiStm, &stm, &r, &c, &count, &st);
  ASSERT_EQ(count, 1);
  BodyWriter expected;
  expected.U16(84).U16(1).U16(1).U16(1);
  expected.U16(0x2).U32(1).F64(0.5).U16(1).U16(1);
  expected.U16(0x8).U32(0);
  expected.U16(0x200).U32(1).F64(stm[0]).U16(1).U16(1);
  expected.U16(0xFFFF).F64(12.5);
  expected.Str("q").F64(1.0).Str("h").F64(4.0).Str("h").F64(4.0);
  expected.U16(0).U16(static_cast<std::uint16_t>(n)).U16(static_cast<std::uint16_t>(ramp[0]));
  expected.F64(tf);
  for (double v : y) expected.F64(v);
  expected.U16(0xFFFF);
  EXPECT_TRUE(testsupport::SameBytes(expected.bytes, testsupport::BodyOf(*reply)));
  delete reply;
}

TEST_F(CdiMgrTest, InputWithoutDerivativesFailsWithKindAlone) {
  services.ints["PrintLevel"] = 1;
  ASSERT_EQ(Serve(SetUp(kCdiB, 3)), 0u);
  DseMessage* reply = nullptr;
  EXPECT_EQ(Serve(BodyWriter().U16(83), &reply), CDIManager::kFailed);
  ASSERT_NE(reply, nullptr);
  EXPECT_TRUE(testsupport::SameBytes(BodyWriter().U16(84).bytes, testsupport::BodyOf(*reply)));
  delete reply;
  ASSERT_EQ(services.printed.size(), 1u);
  EXPECT_EQ(services.printed[0].second,
            "The selected CDI input variable other has no active derivatives");
  EXPECT_EQ(services.mode, 0);
  EXPECT_EQ(services.hold, 0);
}

// The solution is read at the outputs' columns: an input named as an
// output, or a variable the linearisation does not have, is refused like
// an input without derivatives.
TEST_F(CdiMgrTest, OutputThatIsNoUnknownFailsWithKindAlone) {
  services.ints["PrintLevel"] = 1;
  for (std::uint32_t output : {2u, 3u}) {
    services.printed.clear();
    ASSERT_EQ(Serve(SetUp(kCdiA | kCdiC | kCdiG, 2, output)), 0u);
    DseMessage* reply = nullptr;
    EXPECT_EQ(Serve(BodyWriter().U16(83), &reply), CDIManager::kFailed) << output;
    ASSERT_NE(reply, nullptr);
    EXPECT_TRUE(testsupport::SameBytes(BodyWriter().U16(84).bytes, testsupport::BodyOf(*reply)));
    delete reply;
    ASSERT_EQ(services.printed.size(), 1u);
    EXPECT_EQ(services.printed[0].second, std::string("The selected CDI output variable ") +
                                              (output == 2 ? "q" : "other") +
                                              " is not an unknown of the linearised model");
    EXPECT_EQ(services.mode, 0);
    EXPECT_EQ(services.hold, 0);
  }
}

// A settled count above the interval limit could never end the response
// early: refused before anything is evaluated.
TEST_F(CdiMgrTest, SettledCountAboveTheLimitIsRefused) {
  for (auto [settled, most] : {std::pair{20, 10}, std::pair{1001, 0}}) {
    services.printed.clear();
    BodyWriter body = SetUp(kCdiB | kCdiStepResponse);
    body.F64(1.0).F64(1e-5).F64(1e-5).F64(0.01).F64(0.01);
    body.U16(static_cast<std::uint16_t>(settled)).U16(static_cast<std::uint16_t>(most)).U16(2);
    ASSERT_EQ(Serve(body), 0u);
    EXPECT_EQ(Serve(BodyWriter().U16(83)), CDIManager::kFailed);
    ASSERT_EQ(services.printed.size(), 1u);
    EXPECT_EQ(services.printed[0].second, "The step response asks for " + std::to_string(settled) +
                                              " settled intervals but allows at most " +
                                              std::to_string(most ? most : 1000) + " intervals");
    EXPECT_EQ(services.creations, 0);
  }
}

// The response asks whether to stop at every step: a stop ends it
// unfinished, long before its 10^4 intervals of 10^4 steps.
TEST_F(CdiMgrTest, StepResponseEndsWhenTheEngineStops) {
  BodyWriter body = SetUp(kCdiB | kCdiStepResponse);
  body.F64(1.0).F64(1e-5).F64(1e-5).F64(0.01).F64(0.01).U16(10000).U16(10000).U16(10000);
  ASSERT_EQ(Serve(body), 0u);
  services.stop_after = 1000;
  DseMessage* reply = nullptr;
  ASSERT_EQ(Serve(BodyWriter().U16(83), &reply), 0u);
  EXPECT_EQ(services.stop_questions, 1001);
  EXPECT_EQ(manager.Component()->GetStepResponse(nullptr, nullptr, nullptr, nullptr), -1);
  // The reply says so: status 0xFFFF after the values, then the end.
  const std::vector<std::uint8_t> bytes = testsupport::BodyOf(*reply);
  ASSERT_GE(bytes.size(), 4u);
  EXPECT_EQ(bytes[bytes.size() - 4], 0xFF);
  EXPECT_EQ(bytes[bytes.size() - 3], 0xFF);
  delete reply;
}

// Work beyond 10^8 solves is refused with its line before any is done:
// 65535 steps in each of 65535 intervals, a transition matrix of 10^9
// steps, and one whose step of 0 would never end.
TEST_F(CdiMgrTest, WorkBeyondTheBoundIsRefused) {
  services.ints["PrintLevel"] = 1;
  struct Case {
    bool step_response;
    double total, step;
    const char* line;
  };
  for (const Case& c : {Case{true, 0.0, 0.0, "step response needs 4.295e+09 solves"},
                        Case{false, 1e9, 1.0, "state transition matrix needs 1e+09 solves"},
                        Case{false, 1.0, 0.0, "state transition matrix needs inf solves"}}) {
    services.printed.clear();
    BodyWriter body = SetUp(kCdiB | (c.step_response ? kCdiStepResponse : kCdiStm));
    if (c.step_response) {
      body.F64(1.0).F64(1e-5).F64(1e-5).F64(0.01).F64(0.01).U16(0xFFFF).U16(0xFFFF).U16(0xFFFF);
    } else {
      body.F64(c.total).F64(c.step).F64(0.0).U32(0);
    }
    ASSERT_EQ(Serve(body), 0u);
    services.stop_after = 1000;
    EXPECT_EQ(Serve(BodyWriter().U16(83)), CDIManager::kTooLong) << c.line;
    EXPECT_EQ(services.stop_questions, 0) << c.line;
    ASSERT_EQ(services.printed.size(), 1u) << c.line;
    EXPECT_EQ(services.printed[0].first, CDIManager::kTooLong);
    EXPECT_NE(services.printed[0].second.find(std::string("The control design request's ") +
                                              c.line + ", more than the 100000000 allowed"),
              std::string::npos)
        << services.printed[0].second;
    ASSERT_EQ(Serve(BodyWriter().U16(85)), 0u);
  }
}

TEST_F(CdiMgrTest, ModeLeftOnlyWhenEnteredHere) {
  services.enter_status = 0;  // already in the mode
  ASSERT_EQ(Serve(SetUp(kCdiB)), 0u);
  ASSERT_EQ(Serve(BodyWriter().U16(83)), 0u);
  EXPECT_EQ(services.mode, 1);
  services.mode = 0;
  services.enter_status = 0x8000FFFFu;
  EXPECT_EQ(Serve(BodyWriter().U16(83)), 0x8000FFFFu);
  EXPECT_EQ(services.hold, 0);
}

// While a run step computes, a computation is refused busy without a
// reply: nothing is linearised, evaluated or held under the run thread.
TEST_F(CdiMgrTest, AComputationWaitsWhileAStepComputes) {
  ASSERT_EQ(Serve(SetUp(kCdiB)), 0u);
  services.step_computing = true;
  DseMessage* reply = nullptr;
  EXPECT_EQ(Serve(BodyWriter().U16(83), &reply), CDIManager::kBusy);
  EXPECT_EQ(reply, nullptr);
  delete reply;
  EXPECT_EQ(services.creations, 0);
  EXPECT_EQ(services.mode, 0);
  EXPECT_EQ(services.flushes, 0);
  services.step_computing = false;
  ASSERT_EQ(Serve(BodyWriter().U16(83), &reply), 0u);
  EXPECT_NE(reply, nullptr);
  delete reply;
  EXPECT_EQ(services.creations, 1);
}

// A variable being destroyed leaves every list it is in, the state list
// too; a linearisation computed before is made again for what is left.
TEST_F(CdiMgrTest, AVariableDestroyedLeavesEveryList) {
  ASSERT_EQ(Serve(SetUp(kCdiA | kCdiB)), 0u);
  ASSERT_EQ(Serve(BodyWriter().U16(83)), 0u);
  manager.ForgetVariable(h);
  EXPECT_EQ(manager.StateCount(), 0u);
  EXPECT_EQ(manager.OutputCount(), 0u);
  EXPECT_EQ(manager.InputCount(), 1u);
  manager.ForgetVariable(q);
  EXPECT_EQ(manager.InputCount(), 0u);
  EXPECT_EQ(q->GetFlags() & CDIManager::kInputFlag, 0u);
  manager.ForgetVariable(q);
  // Set up again, it computes as before.
  ASSERT_EQ(Serve(SetUp(kCdiA | kCdiB)), 0u);
  EXPECT_EQ(Serve(BodyWriter().U16(83)), 0u);
}

TEST_F(CdiMgrTest, FlagsClearedByDeleteDetachAndClear) {
  ASSERT_EQ(Serve(SetUp(kCdiB)), 0u);
  manager.VariableDeleted(q);
  EXPECT_EQ(manager.InputCount(), 0u);
  EXPECT_EQ(q->GetFlags() & CDIManager::kInputFlag, 0u);
  ASSERT_EQ(Serve(SetUp(kCdiB)), 0u);
  manager.DetachProblem(nullptr, nullptr);
  EXPECT_EQ(manager.InputCount(), 0u);
  EXPECT_NE(q->GetFlags() & CDIManager::kInputFlag, 0u);  // detach leaves flags
  ASSERT_EQ(Serve(SetUp(kCdiB)), 0u);
  ASSERT_EQ(Serve(BodyWriter().U16(85)), 0u);
  EXPECT_EQ(q->GetFlags() & CDIManager::kInputFlag, 0u);
  EXPECT_EQ(h->GetFlags() & CDIManager::kOutputFlag, 0u);
  EXPECT_EQ(Serve(BodyWriter().U16(90)), CDIManager::kUnknownKind);
  // An edit lets go of the variables: the lists go and the flags with them.
  ASSERT_EQ(Serve(SetUp(kCdiB)), 0u);
  EXPECT_EQ(manager.ProblemEdited(), 0u);
  EXPECT_EQ(manager.InputCount(), 0u);
  EXPECT_EQ(q->GetFlags() & CDIManager::kInputFlag, 0u);
  EXPECT_NE(manager.Component(), nullptr);
  // A set-up cut short keeps what was read.
  EXPECT_NE(Serve(BodyWriter().U16(82).U16(2).F64(0.0).U32(1)), 0u);
}

// One input listed many times over makes large dense work from a small
// body: refused with its status and line before the Jacobian is evaluated.
TEST_F(CdiMgrTest, OversizedDenseWorkRefusedBeforeAllocating) {
  services.ints["PrintLevel"] = 1;
  constexpr std::uint32_t kInputs = 2100;
  // Written value by value, as a peer writes it: no value straddles segments.
  DseMessage sent(CDIManager::kService, DseMessage::kRequest);
  sent.PutUInt16(82);
  sent.PutUInt16(kCdiG);
  sent.PutDouble(0.0);
  for (std::uint32_t count : {1u, kInputs, kInputs}) sent.PutUInt32(count);
  sent.PutUInt32(1);
  sent.PutDouble(1.0);
  for (std::uint32_t id : {2u, 1u}) {
    for (std::uint32_t i = 0; i < kInputs; ++i) {
      sent.PutUInt32(id);
      sent.PutDouble(1.0);
    }
  }
  auto message = testsupport::Received(sent);
  DseMessage* made = nullptr;
  ASSERT_EQ(manager.HandleRequest(CDIManager::kService, message.get(), &made, nullptr), 0u);
  delete made;
  EXPECT_EQ(manager.InputCount(), kInputs);
  DseMessage* reply = nullptr;
  EXPECT_EQ(Serve(BodyWriter().U16(83), &reply), CDIManager::kTooLarge);
  ASSERT_NE(reply, nullptr);
  EXPECT_TRUE(testsupport::SameBytes(BodyWriter().U16(84).bytes, testsupport::BodyOf(*reply)));
  delete reply;
  ASSERT_EQ(services.printed.size(), 1u);
  EXPECT_EQ(services.printed[0].first, CDIManager::kTooLarge);
  EXPECT_NE(services.printed[0].second.find("4410000 dense entries"), std::string::npos);
  EXPECT_EQ(services.hold, 0);
  EXPECT_EQ(services.mode, 0);

  // Step-response work counts its intervals: 2 x 2 x 65535 passes, 9 x 9 x
  // 65535 does not.
  services.printed.clear();
  BodyWriter step;
  step.U16(82).U16(kCdiStepResponse).F64(0.0).U32(1).U32(2).U32(2).U32(1).F64(1.0);
  step.U32(2).F64(1.0).U32(2).F64(1.0).U32(1).F64(1.0).U32(1).F64(1.0);
  step.F64(1.0).F64(1e-5).F64(1e-5).F64(0.01).F64(0.01).U16(15).U16(0xFFFF).U16(2);
  ASSERT_EQ(Serve(step), 0u);
  EXPECT_EQ(Serve(BodyWriter().U16(83)), 0u);
  step.bytes.clear();
  step.U16(82).U16(kCdiStepResponse).F64(0.0).U32(1).U32(9).U32(9).U32(1).F64(1.0);
  for (int i = 0; i < 9; ++i) step.U32(2).F64(1.0);
  for (int i = 0; i < 9; ++i) step.U32(1).F64(1.0);
  step.F64(1.0).F64(1e-5).F64(1e-5).F64(0.01).F64(0.01).U16(15).U16(0xFFFF).U16(2);
  ASSERT_EQ(Serve(step), 0u);
  EXPECT_EQ(Serve(BodyWriter().U16(83)), CDIManager::kTooLarge);
}

TEST_F(CdiMgrTest, ListCountBeyondReplyRangeRefusedBeforeReading) {
  EXPECT_EQ(Serve(BodyWriter().U16(82).U16(kCdiB).F64(0.0).U32(1).U32(0x10000).U32(1)),
            CDIManager::kTooLarge);
  ASSERT_EQ(services.printed.size(), 1u);
  EXPECT_EQ(manager.InputCount(), 0u);
}

}  // namespace
