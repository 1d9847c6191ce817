// Monitors: creation through "Monitor", the firing protocol over a
// recording sender, time, step, expression and ramp monitors against a
// stand-in problem (its clock, events and variables).
#include "control/actions/monitor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "daes/events/implicit_event.h"
#include "daes/model/parameter.h"
#include "daes/model/variable.h"
#include "expr/tree/expression.h"
#include "expr/tree/var_ref_expression.h"
#include "platform/unknown.h"
#include "tests/control/action_test_support.h"
#include "tests/support/capture_sink.h"

namespace {

using testsupport::Bytes;

// The problem as monitors and the action manager see it.
class FakeProblem : public SimMonitorServices, public SimActionEventSource {
 public:
  struct Event {
    std::uint32_t kind;
    double time;
    std::uint64_t id;
  };

  // --- SimMonitorServices ---
  double CurrentTime() override { return now; }
  double EventTolerance() override { return tolerance; }
  double LowerTimeBound() override { return lower_bound; }
  Status ScheduleEvent(std::uint32_t kind, double time, std::uint64_t* handle) override {
    scheduled.push_back({kind, time, ++last_id});
    *handle = last_id;
    return 0;
  }
  DAESVarTableEntry* FindById(const BvuIdPath& path, std::int32_t* kind) override {
    return Found(path.count() > 0 ? std::to_string(path.ids()[0]) : "", kind);
  }
  DAESVarTableEntry* FindByName(const char* name, std::int32_t* kind) override {
    return Found(name, kind);
  }
  Status SetValue(DAESVarTableEntry* entry, const SUValue& value, std::uint32_t flags) override {
    set_flags = flags;
    return value.Kind() == SUValue::kReal ? entry->SetValue(value.payload.real)
                                          : entry->SetValue(value.payload.integer);
  }
  void RegisterRamped(DAESVarTableEntry* entry, VariableDriver* driver) override {
    ramped.push_back(entry);
    drivers.push_back(driver);
  }
  void UnregisterRamped(DAESVarTableEntry*) override { ++unregistered; }
  Status RegisterImplicitEvent(QLNImplicitEvent* event) override {
    auto* e = dynamic_cast<DAESImplicitEvent*>(event);
    return schedule != nullptr && e != nullptr ? schedule->AddExternalEvent(e) : 0x80004005u;
  }
  Status UnregisterImplicitEvent(QLNImplicitEvent* event) override {
    auto* e = dynamic_cast<DAESImplicitEvent*>(event);
    return schedule != nullptr && e != nullptr ? schedule->RemoveEvent(e) : 0x80004005u;
  }

  // --- SimActionEventSource ---
  const SimExplicitEvent* FirstEvent() override { return passed.time < 0 ? nullptr : &passed; }

  // Passes an event now (its time becomes the clock).
  void Pass(std::uint64_t id, std::uint32_t kind, double time) {
    passed = {time, kind, id};
    now = time;
  }
  void PassNothing() { passed.time = -1.0; }

  DAESVarTableEntry* Found(const std::string& key, std::int32_t* kind) {
    *kind = 0;
    auto other = others.find(key);
    if (other != others.end()) {
      *kind = other->second;
      return nullptr;
    }
    auto it = variables.find(key);
    if (it == variables.end()) return nullptr;
    *kind = it->second->EntryKind();
    return it->second;
  }

  double now = 0.0;
  double tolerance = 0.0001;
  double lower_bound = 0.0;
  std::vector<Event> scheduled;
  std::uint64_t last_id = 100;
  std::map<std::string, DAESVarTableEntry*> variables;
  // Nodes that are there but are no variables: their kinds.
  std::map<std::string, std::int32_t> others;
  std::vector<DAESVarTableEntry*> ramped;
  std::vector<VariableDriver*> drivers;
  int unregistered = 0;
  std::uint32_t set_flags = 0;
  SimExplicitEvent passed{-1.0, 0, 0};
  // The problem's implicit-event schedule; null when the problem has gone.
  std::unique_ptr<DAESEventSchedule> schedule = std::make_unique<DAESEventSchedule>();
};

// The creation body after the factory name and kind.
class Body {
 public:
  Body(const char* name, std::uint16_t kind, std::vector<std::uint32_t> points, std::uint32_t list,
       std::vector<std::uint32_t> tags, std::uint8_t delay = 0)
      : m_(std::make_unique<DseMessage>(67, DseMessage::kRequest)) {
    m_->PutString(name);
    m_->PutUInt16(kind);
    m_->PutUInt32(static_cast<std::uint32_t>(points.size()));
    for (auto p : points) m_->PutUInt32(p);
    m_->PutUInt32(list);
    m_->PutUInt32(static_cast<std::uint32_t>(tags.size()));
    for (auto t : tags) m_->PutUInt32(t);
    m_->PutUInt8(0);
    m_->PutUInt8(delay);
  }
  DseMessage& W() { return *m_; }
  Bytes Bytes_() const { return testsupport::BodyOf(*m_); }

 private:
  std::unique_ptr<DseMessage> m_;
};

class MonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMonitorServices(&problem_);
    manager_ = SimActionMgr::Instance();
    manager_->SetEventSource(&problem_);
    manager_->RegisterFactory(&factory_);
  }
  void TearDown() override {
    SimActionMgr::Destroy();
    SetMonitorServices(nullptr);
  }

  Status Create(Body& body, Bytes* reply = nullptr) {
    return testsupport::CreateThrough(manager_, "monitor", body.Bytes_(), reply);
  }
  Body TimeBody(double time, std::uint8_t now = 1, std::uint8_t delay = 0) {
    Body body("EndTime", SimMonitor::kTime, {12}, 0, {7}, delay);
    body.W().PutDouble(time);
    body.W().PutUInt8(now);
    return body;
  }
  // One pass of hook point 12; the loop's request word.
  Status Pass(std::int32_t* request = nullptr) {
    manager_->SetHookPoint(12, 13);
    std::int32_t word = 0;
    const Status result = manager_->Dispatch(&word);
    if (request != nullptr) *request = word;
    return result;
  }
  SimMonitor* Last() { return static_cast<SimMonitor*>(manager_->FindAction(1)); }

  FakeProblem problem_;
  SimMonitorMgr factory_;
  SimActionMgr* manager_ = nullptr;
  testsupport::RecordingSender sender_;
};

TEST_F(MonitorTest, ATimeMonitorSchedulesKind130AtZeroAnd66Later) {
  Body at_zero = TimeBody(0.0);
  ASSERT_EQ(Create(at_zero), 1u);
  Body later = TimeBody(1.0);
  Bytes reply;
  ASSERT_EQ(Create(later, &reply), 1u);
  ASSERT_EQ(problem_.scheduled.size(), 2u);
  EXPECT_EQ(problem_.scheduled[0].kind, 130u);
  EXPECT_EQ(problem_.scheduled[1].kind, 66u);
  EXPECT_EQ(problem_.scheduled[1].time, 1.0);
  // The reply: the request, u16 0, one tag 7, then the handle 2.
  Bytes expected = later.Bytes_();
  for (std::uint8_t b : {0, 0, 1, 0, 0, 0, 7, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0}) {
    expected.push_back(b);
  }
  const Bytes head = {8, 0, 0, 'm', 'o', 'n', 'i', 't', 'o', 'r', 0, 2, 0, 0, 0};
  expected.insert(expected.begin(), head.begin(), head.end());
  EXPECT_EQ(reply, expected);
  EXPECT_TRUE(Last()->Checked());
}

TEST_F(MonitorTest, AFiringMonitorHoldsTheRunUntilTheReplyAndHandsOnTheFollowOn) {
  Body body = TimeBody(1.0);
  ASSERT_EQ(Create(body), 1u);
  const std::uint64_t event = problem_.scheduled[0].id;
  // Another event at the time does not fire it; nor its own outside the tolerance.
  problem_.Pass(event + 1, 65, 1.0);
  EXPECT_EQ(Pass(), 0u);
  problem_.Pass(event, 67, 1.0);
  problem_.now = 0.9;
  EXPECT_EQ(Pass(), 0u);
  problem_.now = 1.0;
  EXPECT_TRUE(sender_.sent.empty());

  problem_.Pass(event, 67, 1.0);
  EXPECT_EQ(Pass(), kCallAgain);
  ASSERT_EQ(sender_.sent.size(), 1u);
  EXPECT_EQ(sender_.sent[0].client, manager_);
  EXPECT_EQ(sender_.sent[0].context, Last());
  Bytes expected = {8, 0, 0, 'm', 'o', 'n', 'i', 't', 'o', 'r', 0, 2, 0, 0, 0};
  const Bytes creation = body.Bytes_();
  expected.insert(expected.end(), creation.begin(), creation.end());
  for (std::uint8_t b : {1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 7, 0, 0, 0}) {
    expected.push_back(b);
  }
  EXPECT_EQ(testsupport::ReceivedBodyOf(*sender_.sent[0].message), expected);
  EXPECT_EQ(Pass(), kCallAgain);  // still no reply
  EXPECT_EQ(sender_.sent.size(), 1u);

  ASSERT_EQ(sender_.Answer(1, {0, 4}), 0u);
  std::int32_t request = 0;
  EXPECT_EQ(Pass(&request), 0u);
  EXPECT_EQ(request, 4);
  // Not armed again: quiet at the next crossing.
  EXPECT_EQ(Pass(), 0u);
  EXPECT_EQ(sender_.sent.size(), 1u);
}

TEST_F(MonitorTest, ALateTimeMonitorFiresNowUnlessItIsBeforeTheLowerBound) {
  problem_.now = 2.0;
  problem_.lower_bound = 1.0;
  Body late = TimeBody(1.5);
  ASSERT_EQ(Create(late), 1u);
  ASSERT_EQ(problem_.scheduled.size(), 1u);
  EXPECT_EQ(problem_.scheduled[0].time, 2.0);
  EXPECT_EQ(problem_.scheduled[0].kind, 66u);
  problem_.Pass(problem_.scheduled[0].id, 66, 2.0);
  EXPECT_EQ(Pass(), kCallAgain);
  EXPECT_EQ(sender_.sent.size(), 1u);

  Body too_late = TimeBody(0.5, 0);
  ASSERT_EQ(Create(too_late), 1u);
  SimMonitor* monitor = static_cast<SimMonitor*>(manager_->FindAction(2));
  std::int32_t request = 0;
  EXPECT_EQ(monitor->Check(&request, nullptr, nullptr), 10u);
  EXPECT_EQ(problem_.scheduled.size(), 1u);
}

TEST_F(MonitorTest, AnEventThatLeavesIsForgottenAndTheMonitorSchedulesAgain) {
  Body body = TimeBody(3.0);
  ASSERT_EQ(Create(body), 1u);
  auto* monitor = static_cast<SimTimeMonitor*>(Last());
  EXPECT_EQ(monitor->EventHandle(), problem_.scheduled[0].id);
  manager_->ExplicitEventNotice(problem_.scheduled[0].id);
  EXPECT_EQ(monitor->EventHandle(), 0u);
  problem_.PassNothing();
  problem_.now = 1.0;
  EXPECT_EQ(Pass(), 0u);
  ASSERT_EQ(problem_.scheduled.size(), 2u);
  EXPECT_EQ(monitor->EventHandle(), problem_.scheduled[1].id);
  // As an IUnknown it answers only that id.
  void* face = nullptr;
  EXPECT_EQ(monitor->QueryInterface(platform::IID_IUnknown, &face), 0u);
  EXPECT_EQ(face, monitor);
  EXPECT_EQ(
      monitor->QueryInterface(platform::MakeGuid("{00380020-07A4-463A-A513-F2F46FF75FB8}"), &face),
      0x80004002u);
  EXPECT_EQ(monitor->Release(), 0u);
}

TEST_F(MonitorTest, DestroyingAnArmedMonitorThatNeverFiredSaysEnded) {
  Body body = TimeBody(5.0);
  ASSERT_EQ(Create(body), 1u);
  ASSERT_EQ(manager_->RemoveAction(Last()), 0u);
  ASSERT_EQ(sender_.sent.size(), 1u);
  EXPECT_EQ(sender_.sent[0].client, nullptr);
  const Bytes sent = testsupport::ReceivedBodyOf(*sender_.sent[0].message);
  ASSERT_GE(sent.size(), 2u);
  EXPECT_EQ(sent[sent.size() - 2], 2);
  EXPECT_EQ(sent[sent.size() - 1], 0);
}

TEST_F(MonitorTest, AFailedSendIsReturnedThenTheLoopIsAskedToAbandon) {
  Body body = TimeBody(1.0);
  ASSERT_EQ(Create(body), 1u);
  sender_.fail = true;
  problem_.Pass(problem_.scheduled[0].id, 66, 1.0);
  EXPECT_EQ(Pass(), 0x80000035u);
  std::int32_t request = 0;
  EXPECT_EQ(Pass(&request), 0u);
  EXPECT_EQ(request, SimMonitor::kAbandon);
}

TEST_F(MonitorTest, AStepMonitorFiresOnEveryThirdFlaggedEvent) {
  Body body("Steps", SimMonitor::kStep, {12}, 0, {});
  body.W().PutUInt16(3);
  ASSERT_EQ(Create(body), 1u);
  std::vector<int> fired_at;
  for (int k = 1; k <= 9; ++k) {
    problem_.Pass(1000 + k, 65, 0.1 * k);
    if (Pass() == kCallAgain) {
      fired_at.push_back(k);
      ASSERT_EQ(sender_.Answer(1, {1, 0}), 0u);
      EXPECT_EQ(Pass(), 0u);
    }
    // An unflagged event does not count.
    problem_.Pass(2000 + k, 64, 0.1 * k);
    EXPECT_EQ(Pass(), 0u);
  }
  EXPECT_EQ(fired_at, (std::vector<int>{3, 6, 9}));
}

TEST_F(MonitorTest, ADelayedMonitorIsNotCheckedUntilItsHookPointCompletedTwice) {
  Body body = TimeBody(1.0, 0, 2);
  ASSERT_EQ(Create(body), 1u);
  EXPECT_EQ(Pass(), 0u);
  EXPECT_EQ(Pass(), 0u);
  EXPECT_TRUE(problem_.scheduled.empty());
  EXPECT_FALSE(Last()->Checked());
  EXPECT_EQ(Pass(), 0u);
  EXPECT_TRUE(Last()->Checked());
  EXPECT_EQ(problem_.scheduled.size(), 1u);
}

TEST_F(MonitorTest, ADamagedCreationBodyCreatesNothing) {
  Body body = TimeBody(1.0);
  Bytes bytes = body.Bytes_();
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    const Bytes part(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
    EXPECT_TRUE(status::IsFailure(testsupport::CreateThrough(manager_, "Monitor", part))) << cut;
  }
  Body bad_list("L", SimMonitor::kPlain, {12}, 3, {});
  EXPECT_TRUE(status::IsFailure(Create(bad_list)));
  Body bad_point("P", SimMonitor::kPlain, {13}, 0, {});
  EXPECT_TRUE(status::IsFailure(Create(bad_point)));
  EXPECT_EQ(factory_.InstanceCount(), 0);
}

// --- expression monitors ---

class ExprMonitorTest : public MonitorTest {
 protected:
  void SetUp() override {
    MonitorTest::SetUp();
    x_.SetValue(3.0);
    problem_.variables["FirstOrder.x"] = &x_;
    problem_.variables["FirstOrder.p"] = &p_;
  }
  // x > 3.5 with x named "x" under the prefix "FirstOrder".
  Body ExprBody(std::uint8_t edge, const char* name = "x", std::uint8_t kind = 0) {
    Body body("Above", monitor_kind_, {12}, 0, {});
    Expression* e = MakeBinaryExpression(kGt, new VarRefExpression(0), new TerminalExpression(3.5));
    e->WriteCompactToMessage(body.W());
    e->Release();
    body.W().PutUInt8(edge);
    body.W().PutString("FirstOrder");
    body.W().PutUInt16(1);
    body.W().PutString(name);
    body.W().PutUInt8(kind);
    if (kind == 0) BvuIdPath().Write(body.W());
    if (kind == 4) body.W().PutDouble(3.6);
    if (kind == 2 || kind == 3) body.W().PutUInt32(3);
    return body;
  }
  // Sets x, passes hook 12 and answers with re-arm 1 when the monitor fired.
  bool Step(double x) {
    x_.SetValue(x);
    const Status passed = Pass();
    if (passed != kCallAgain) return false;
    EXPECT_EQ(sender_.Answer(1, {1, 0}), 0u);
    EXPECT_EQ(Pass(), 0u);
    return true;
  }

  DAESRealVariable x_{nullptr, "x"};
  DAESRealVariable p_{nullptr, "p"};
  std::uint16_t monitor_kind_ = SimMonitor::kExpression;
};

TEST_F(ExprMonitorTest, EdgeTriggeredFiresOnTheRiseOnly) {
  Body body = ExprBody(1);
  ASSERT_EQ(Create(body), 1u);
  EXPECT_FALSE(Step(3.0));
  EXPECT_TRUE(Step(3.6));
  EXPECT_FALSE(Step(3.7));
  EXPECT_FALSE(Step(3.0));
  EXPECT_TRUE(Step(3.8));
}

TEST_F(ExprMonitorTest, EdgeTriggeredTrueAtTheFirstEvaluationFiresAtOnce) {
  x_.SetValue(4.0);
  Body body = ExprBody(1);
  ASSERT_EQ(Create(body), 1u);
  EXPECT_TRUE(Step(4.0));
  EXPECT_FALSE(Step(4.0));
}

TEST_F(ExprMonitorTest, LevelTriggeredFiresAtEveryCheckWhileTrue) {
  Body body = ExprBody(0);
  ASSERT_EQ(Create(body), 1u);
  EXPECT_TRUE(Step(3.6));
  EXPECT_TRUE(Step(3.7));
  EXPECT_FALSE(Step(3.0));
}

TEST_F(ExprMonitorTest, LiteralsTakeTheirOwnValues) {
  Body integer = ExprBody(0, "c", 2);  // 3 > 3.5
  ASSERT_EQ(Create(integer), 1u);
  Body real = ExprBody(0, "c", 4);  // 3.6 > 3.5
  ASSERT_EQ(Create(real), 1u);
  EXPECT_EQ(Pass(), kCallAgain);
  ASSERT_EQ(sender_.sent.size(), 1u);
  EXPECT_EQ(sender_.sent[0].context, manager_->FindAction(2));
}

TEST_F(ExprMonitorTest, UnknownNamesAndNonVariablesAreRefused) {
  Body unknown = ExprBody(1, "nothing");
  ASSERT_EQ(Create(unknown), 1u);
  std::int32_t request = 0;
  EXPECT_EQ(Last()->Check(&request, nullptr, nullptr), monitor_status::kUnknownName);
  // Without its prefix the name is not found either.
  problem_.variables["y"] = &x_;
  Body plain = ExprBody(1, "y");
  ASSERT_EQ(Create(plain), 1u);
  EXPECT_EQ(manager_->FindAction(2)->Execute(&request, nullptr, nullptr),
            monitor_status::kUnknownName);

  problem_.others["FirstOrder.e1"] = 16;  // an equation
  testsupport::CaptureSink lines;
  Body equation = ExprBody(1, "e1");
  ASSERT_EQ(Create(equation), 1u);
  EXPECT_EQ(manager_->FindAction(3)->Execute(&request, nullptr, nullptr), 0x8000FFFFu);
  ASSERT_FALSE(lines.lines().empty());
  EXPECT_EQ(lines.lines().back(), SimMonitor::kNoVariable);
}

// --- implicit monitors ---

class ImplicitMonitorTest : public ExprMonitorTest {
 protected:
  void SetUp() override {
    ExprMonitorTest::SetUp();
    monitor_kind_ = SimMonitor::kImplicit;
  }
  // Sets x, lets the schedule look for changes as the integrator does after
  // a step, then passes the hook point (answering re-arm 1 when it fired).
  bool Cross(double x) {
    x_.SetValue(x);
    problem_.schedule->AnyEventChanged();
    return Step(x);
  }
  SimImplicitMonitor* Monitor() { return static_cast<SimImplicitMonitor*>(Last()); }
};

TEST_F(ImplicitMonitorTest, ACrossingFiresOnceAndTheEventLeavesTheScheduleWhileTheRunWaits) {
  Body body = ExprBody(1);
  ASSERT_EQ(Create(body), 1u);
  EXPECT_EQ(problem_.schedule->Count(), 0);
  EXPECT_NE(Pass(), kCallAgain);
  ASSERT_TRUE(Monitor()->Registered());
  EXPECT_EQ(problem_.schedule->ExternalCount(), 1u);
  EXPECT_STREQ(Monitor()->Event()->GetNameText(), "Above");

  x_.SetValue(3.6);
  EXPECT_EQ(problem_.schedule->AnyEventChanged(), 1u);
  EXPECT_EQ(Pass(), kCallAgain);
  EXPECT_FALSE(Monitor()->Registered());
  EXPECT_EQ(sender_.sent.size(), 1u);
  ASSERT_EQ(sender_.Answer(1, {1, 0}), 0u);
  EXPECT_EQ(Pass(), 0u);

  // Re-armed while still above: back in the schedule, and no crossing.
  EXPECT_NE(Pass(), kCallAgain);
  EXPECT_TRUE(Monitor()->Registered());
  EXPECT_EQ(problem_.schedule->AnyEventChanged(), 0u);
  EXPECT_FALSE(Cross(3.7));
  EXPECT_FALSE(Cross(3.0));
  EXPECT_TRUE(Cross(3.8));
  EXPECT_EQ(sender_.sent.size(), 2u);
}

TEST_F(ImplicitMonitorTest, TrueAtArmingFiresAtOnceAndNotAgainWhileTrue) {
  x_.SetValue(4.0);
  Body body = ExprBody(1);
  ASSERT_EQ(Create(body), 1u);
  EXPECT_TRUE(Step(4.0));
  EXPECT_FALSE(Cross(4.5));
  EXPECT_EQ(sender_.sent.size(), 1u);
}

TEST_F(ImplicitMonitorTest, WithoutAScheduleArmingFailsAndIsTriedAgain) {
  std::unique_ptr<DAESEventSchedule> kept = std::move(problem_.schedule);
  Body body = ExprBody(1);
  ASSERT_EQ(Create(body), 1u);
  std::int32_t request = 0;
  EXPECT_EQ(Monitor()->Check(&request, nullptr, nullptr), 0x80004005u);
  problem_.schedule = std::move(kept);
  EXPECT_EQ(Monitor()->Check(&request, nullptr, nullptr), 0u);
  EXPECT_TRUE(Monitor()->Registered());
}

TEST_F(ImplicitMonitorTest, DestructionTakesTheEventOutEvenAfterTheProblemHasGone) {
  Body body = ExprBody(1);
  ASSERT_EQ(Create(body), 1u);
  EXPECT_NE(Pass(), kCallAgain);
  ASSERT_EQ(problem_.schedule->Count(), 1);
  ASSERT_EQ(manager_->RemoveAction(Last()), 0u);
  EXPECT_EQ(problem_.schedule->Count(), 0);
  ASSERT_EQ(sender_.sent.size(), 1u);  // "ended"

  Body again = ExprBody(1);
  ASSERT_EQ(Create(again), 1u);
  NewSimAction* second = manager_->FindAction(2);
  ASSERT_NE(second, nullptr);
  std::int32_t request = 0;
  ASSERT_EQ(second->Execute(&request, nullptr, nullptr), 0u);
  ASSERT_EQ(problem_.schedule->Count(), 1);
  problem_.schedule.reset();
  EXPECT_EQ(manager_->RemoveAction(second), 0u);
}

// --- ramps ---

TEST(RampFunctionTest, LinearAndCosineProfiles) {
  RampFunction linear{0.0, 1.0, 1.0, 2.0, 5.0, true, true};
  EXPECT_EQ(linear.ValueAt(0.0, 1e-4), 2.0);
  EXPECT_DOUBLE_EQ(linear.ValueAt(0.5, 1e-4), 3.5);
  EXPECT_EQ(linear.ValueAt(1.0, 1e-4), 5.0);
  EXPECT_EQ(linear.ValueAt(-1.0, 1e-4), 2.0);
  RampFunction cosine = linear;
  cosine.linear = false;
  EXPECT_EQ(cosine.ValueAt(0.0, 1e-4), 2.0);
  EXPECT_DOUBLE_EQ(cosine.ValueAt(0.5, 1e-4), 3.5);
  EXPECT_DOUBLE_EQ(cosine.ValueAt(0.25, 1e-4), 2.0 + 3.0 * (1.0 - std::cos(M_PI / 4)) / 2.0);
  EXPECT_EQ(cosine.ValueAt(1.0, 1e-4), 5.0);
  // No duration: the target at once.
  RampFunction none{1.0, 1.0, 0.0, 2.0, 5.0, true, true};
  EXPECT_EQ(none.ValueAt(1.0 + 1e-9, 1e-4), 5.0);
  // The restart passes through the value the variable has now.
  const double s = cosine.CosineStartThrough(3.0, 0.3);
  cosine.start_value = s;
  EXPECT_NEAR(cosine.ValueAt(0.3, 1e-4), 3.0, 1e-12);
}

class RampTest : public MonitorTest {
 protected:
  void SetUp() override {
    MonitorTest::SetUp();
    u_.SetValue(2.0);
    u_.SetFlags(daes::kFixed);
    problem_.variables["FirstOrder.u"] = &u_;
  }
  Body RampBody(std::uint8_t linear, std::uint8_t mode, double end = 1.0, double duration = 1.0) {
    Body body("Ramp", SimMonitor::kRamp, {12}, 0, {});
    body.W().PutUInt8(1);
    body.W().PutString("FirstOrder.u");
    body.W().PutUInt32(4);
    body.W().PutDouble(end);
    body.W().PutDouble(duration);
    body.W().PutDouble(5.0);
    body.W().PutDouble(0.0);
    body.W().PutDouble(0.0);
    body.W().PutUInt8(linear);
    body.W().PutUInt8(mode);
    return body;
  }
  DAESRealVariable u_{nullptr, "u"};
};

TEST_F(RampTest, ALinearRampSetsTheProfileAtEachPointAndTheTargetAtTheEnd) {
  Body body = RampBody(1, 1);
  ASSERT_EQ(Create(body), 1u);  // checked at once: the clock is at t0
  ASSERT_EQ(problem_.scheduled.size(), 1u);
  EXPECT_EQ(problem_.scheduled[0].time, 1.0);
  EXPECT_NE(u_.GetFlags() & SimRampMonitor::kRampedMark, 0u);
  for (int k = 1; k <= 9; ++k) {
    problem_.Pass(500 + k, 65, 0.1 * k);
    EXPECT_EQ(Pass(), 0u);
    EXPECT_NEAR(u_.GetRealValue(), 2.0 + 0.3 * k, 1e-12) << k;
  }
  EXPECT_EQ(problem_.set_flags, SimMonitor::kSetterFlags);
  problem_.Pass(problem_.scheduled[0].id, 67, 1.0);
  EXPECT_EQ(Pass(), kCallAgain);
  EXPECT_EQ(u_.GetRealValue(), 5.0);
}

TEST_F(RampTest, ACosineRampFollowsItsProfile) {
  Body body = RampBody(0, 1);
  ASSERT_EQ(Create(body), 1u);
  problem_.Pass(600, 65, 0.5);
  EXPECT_EQ(Pass(), 0u);
  EXPECT_NEAR(u_.GetRealValue(), 3.5, 1e-12);
  problem_.Pass(601, 65, 0.25);
  EXPECT_EQ(Pass(), 0u);
  EXPECT_NEAR(u_.GetRealValue(), 2.0 + 3.0 * (1.0 - std::cos(M_PI / 4)) / 2.0, 1e-12);
}

TEST_F(RampTest, AVariableThatIsNotFixedOrRampedAlreadyIsRefusedAndTheRunGoesOn) {
  u_.ClearFlags(daes::kFixed);
  testsupport::CaptureSink lines;
  Body body = RampBody(1, 1);
  EXPECT_EQ(Create(body), monitor_status::kRampIgnored);
  // The name prints as the tree names it; this variable has no tree.
  std::vector<std::string> seen = lines.lines();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].rfind("Ramp: Ramped variable (", 0), 0u);
  EXPECT_NE(seen[0].find(") is not FIXED"), std::string::npos);
  EXPECT_EQ(seen[1], "Ramp ignored - simulation will continue");
  lines.Clear();
  u_.SetFlags(daes::kFixed | SimRampMonitor::kRampedMark);
  EXPECT_EQ(Create(body), monitor_status::kRampIgnored);
  ASSERT_EQ(lines.lines().size(), 2u);
  EXPECT_NE(lines.lines()[0].find(") is already being ramped"), std::string::npos);
}

TEST_F(RampTest, ARefusalAtAHookPointLeavesTheRunGoingAndTheRampQuiet) {
  u_.ClearFlags(daes::kFixed);
  problem_.now = 0.5;  // not at t0: checked at the hook point
  Body body = RampBody(1, 1);
  ASSERT_EQ(Create(body), 1u);
  testsupport::CaptureSink lines;
  EXPECT_EQ(Pass(), 0u);
  ASSERT_EQ(lines.groups().size(), 1u);
  EXPECT_EQ(lines.groups()[0].status, monitor_status::kRampIgnored);
  problem_.Pass(700, 65, 0.6);
  EXPECT_EQ(Pass(), 0u);
  EXPECT_EQ(u_.GetRealValue(), 2.0);
  EXPECT_TRUE(problem_.scheduled.empty());
}

TEST_F(RampTest, OutsideModeOneTheEndClearsTheMarkAndUnregisters) {
  Body body = RampBody(1, 2);
  ASSERT_EQ(Create(body), 1u);
  EXPECT_EQ(problem_.ramped.size(), 1u);
  problem_.Pass(problem_.scheduled[0].id, 66, 1.0);
  std::int32_t request = 0;
  EXPECT_EQ(Pass(&request), kCallAgain);
  EXPECT_EQ(request, 2);
  EXPECT_EQ(u_.GetFlags() & SimRampMonitor::kRampedMark, 0u);
  EXPECT_EQ(problem_.unregistered, 1);
  EXPECT_EQ(u_.GetRealValue(), 5.0);
}

// With the run the problem's drivers hold the ramp: it starts from the
// variable's value then, and a table that empties deletes it without the
// monitor deleting it again at its end.
TEST_F(RampTest, WithTheRunTheProblemDrivesTheProfileUntilTheTableLetsItGo) {
  Body body = RampBody(1, 2);
  ASSERT_EQ(Create(body), 1u);
  ASSERT_EQ(problem_.drivers.size(), 1u);
  VariableDriver* driver = problem_.drivers[0];
  ASSERT_NE(driver, nullptr);
  EXPECT_DOUBLE_EQ(driver->ValueAt(0.5, 2.0), 3.5);
  EXPECT_DOUBLE_EQ(driver->ValueAt(0.75, 9.0), 4.25);  // the start stays 2
  SetVariableDriver(&u_, driver);
  ApplyVariableDrivers(0.25);
  EXPECT_DOUBLE_EQ(u_.GetRealValue(), 2.75);
  ClearVariableDrivers();
  problem_.Pass(problem_.scheduled[0].id, 66, 1.0);
  EXPECT_EQ(Pass(), kCallAgain);
  EXPECT_EQ(u_.GetRealValue(), 5.0);
}

TEST_F(RampTest, ALateLinearRampRestartsAtTheCurrentTime) {
  problem_.now = 0.5;
  Body body = RampBody(1, 1);
  ASSERT_EQ(Create(body), 1u);
  EXPECT_EQ(Pass(), 0u);
  auto* ramp = static_cast<SimRampMonitor*>(Last());
  EXPECT_EQ(ramp->Function().start_time, 0.5);
  EXPECT_EQ(ramp->Function().duration, 0.5);
}

}  // namespace

namespace {

// A variable being destroyed: the ramp that drives it stops where it is
// and leaves the variable's memory alone; the factory's list of monitors
// follows their making and destruction.
TEST_F(RampTest, ARampLetsGoOfADestroyedVariable) {
  auto* gone = new DAESRealVariable(nullptr, "w");
  gone->SetValue(1.0);
  gone->SetFlags(daes::kFixed);
  problem_.variables["FirstOrder.u"] = gone;
  Body body = RampBody(1, 1);
  ASSERT_EQ(Create(body), 1u);
  EXPECT_EQ(factory_.MonitorCount(), 1u);
  problem_.Pass(500, 65, 0.5);
  EXPECT_EQ(Pass(), 0u);
  EXPECT_NEAR(gone->GetRealValue(), 3.0, 1e-12);
  problem_.variables.erase("FirstOrder.u");
  factory_.ForgetEntry(gone);
  delete gone;
  problem_.Pass(501, 65, 0.6);
  EXPECT_EQ(Pass(), 0u);
  problem_.Pass(problem_.scheduled[0].id, 67, 1.0);
  EXPECT_EQ(Pass(), 0u);
  SimActionMgr::Destroy();
  manager_ = SimActionMgr::Instance();
  EXPECT_EQ(factory_.MonitorCount(), 0u);
}

// The compiled expression holds x's value by address: it goes with x, and
// the next check looks the name up again.
TEST_F(ExprMonitorTest, TheExpressionIsBuiltAgainWithoutADestroyedVariable) {
  Body body = ExprBody(0);
  ASSERT_EQ(Create(body), 1u);
  EXPECT_TRUE(Step(3.6));
  SimMonitor* monitor = Last();
  ASSERT_NE(static_cast<SimExprMonitor*>(monitor)->Context(), nullptr);
  factory_.ForgetEntry(&p_);
  EXPECT_NE(static_cast<SimExprMonitor*>(monitor)->Context(), nullptr);
  factory_.ForgetEntry(&x_);
  EXPECT_EQ(static_cast<SimExprMonitor*>(monitor)->Context(), nullptr);
  problem_.variables.erase("FirstOrder.x");
  std::int32_t request = 0;
  EXPECT_EQ(monitor->Check(&request, nullptr, nullptr), monitor_status::kUnknownName);
}

}  // namespace
