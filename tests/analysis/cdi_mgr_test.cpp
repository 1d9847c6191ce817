#include "analysis/control_design/cdi_mgr.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "framework/messaging/message.h"
#include "tests/analysis/analysis_fakes.h"
#include "tests/analysis/body_writer.h"
#include "tests/framework/message_helpers.h"

namespace {

using analysis_fakes::BodyWriter;
using analysis_fakes::FakeServices;
using analysis_fakes::FakeVariable;

// A drained tank A_t h' = q - k sqrt(h) linearised at h_s: unknown h' in
// column 1, input q in column 2.
class TankLinearisation : public CdiLinearisation {
 public:
  TankLinearisation(AnalysisVariable* h, AnalysisVariable* q, double at, double k, double hs)
      : h_(h), q_(q), at_(at), k_(k), hs_(hs) {}
  std::int32_t NumVariables() override { return 1; }
  std::int32_t NumStates() override { return 1; }
  std::int32_t NumAlgebraic() override { return 0; }
  const std::vector<std::int64_t>& PatternColumns() override { return columns_; }
  std::int32_t ColumnOf(AnalysisVariable* v) override { return v == h_ ? 1 : v == q_ ? 2 : 0; }
  Status Evaluate(CdiJacobian* j) override {
    j->dyn_values = {at_, -1.0};
    j->dyn_rows = {1, 1};
    j->dyn_cols = {1, 2};
    j->ss_values = {k_ / (2 * std::sqrt(hs_)), -1.0};
    j->ss_rows = {1, 1};
    j->ss_cols = {1, 2};
    ++evaluations;
    return 0;
  }
  int evaluations = 0;

 private:
  AnalysisVariable *h_, *q_;
  double at_, k_, hs_;
  std::vector<std::int64_t> columns_{1, 2};
};

class FakeCdiServices : public CdiServices {
 public:
  Status ReadVariableReference(BvuBinaryStream& body, AnalysisVariable** variable) override {
    return vars.ReadVariableReference(body, variable);
  }
  void Print(Status status, const std::string& text) override { printed.push_back({status, text}); }
  std::int32_t IntOption(const char* name) override { return ints.at(name); }
  Status EnterLinearisationMode() override {
    ++mode;
    return enter_status;
  }
  void LeaveLinearisationMode() override { --mode; }
  Status CreateLinearisation(std::unique_ptr<CdiLinearisation>* object) override {
    auto made = std::make_unique<TankLinearisation>(vars.Var(1), vars.Var(2), 2.0, 0.5, 4.0);
    last = made.get();
    *object = std::move(made);
    ++creations;
    return 0;
  }
  void RaiseDelayHold() override { ++hold; }
  void LowerDelayHold() override { --hold; }
  double LastSolutionTime() override { return 12.5; }
  void FlushMessages() override { ++flushes; }

  FakeServices vars;
  std::map<std::string, std::int32_t> ints{{"PrintLevel", 0}, {"LinearSolver", 4}};
  std::vector<std::pair<Status, std::string>> printed;
  Status enter_status = 1;
  int mode = 0, hold = 0, flushes = 0, creations = 0;
  TankLinearisation* last = nullptr;
};

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
  BodyWriter SetUp(std::uint16_t options, std::uint32_t input_id = 2) {
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
        .U32(1)
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
  // A set-up cut short keeps what was read.
  EXPECT_NE(Serve(BodyWriter().U16(82).U16(2).F64(0.0).U32(1)), 0u);
}

}  // namespace
