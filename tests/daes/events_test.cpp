// Implicit events, switch equations and the event schedule.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "daes/events/condition_node.h"
#include "daes/events/finite_state_equation.h"
#include "daes/events/implicit_event.h"
#include "daes/events/switch_equation.h"
#include "expr/eval/expr_context.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/integrator_proxy.h"
#include "foundation/interfaces/run_mode.h"
#include "foundation/interfaces/variable_drivers.h"
#include "foundation/values/typed_value.h"
#include "tests/support/capture_sink.h"
#include "tests/support/integrator_stand_in.h"

namespace {

// A condition whose value and status the test sets.
struct Condition : ExprContext {
  Condition(const std::int32_t* value, Status status = 0)
      : ExprContext(nullptr, nullptr, 0), value(value), status(status) {}
  Status Evaluate() override {
    Result().SetType(SUValue::kInteger);
    Result().SetInt(*value);
    return status;
  }
  const std::int32_t* value;
  Status status;
};

struct Named : DAESEquation {
  explicit Named(const char* n) : name(n) {}
  const char* GetNameText(std::int32_t) override { return name; }
  const char* name;
};

struct Switch : DAESSwitchEquation {
  Switch(const char* n, std::int32_t states) : DAESSwitchEquation(states), name(n) {}
  const char* GetNameText(std::int32_t) override { return name; }
  const char* name;
};

// An event for the test to own: deleted through Release.
DAESImplicitEvent* ModelEvent(const std::int32_t* value, DAESEquation* eq,
                              DAESImplicitEvent* guard = nullptr, std::uint32_t guard_state = 0) {
  auto* e = new DAESImplicitEvent(guard, guard_state);
  e->SetCondition(new Condition(value), eq);
  return e;
}

std::vector<DAESImplicitEvent*> Order(const DAESEventSchedule& s) {
  std::vector<DAESImplicitEvent*> out;
  for (DAESImplicitEvent* e = s.Head(); e != nullptr; e = DAESEventSchedule::Next(e)) {
    out.push_back(e);
  }
  return out;
}

TEST(ImplicitEvent, ActivityFollowsTheChainOfGuards) {
  std::int32_t a = 1, b = 0, c = 5;
  Named eq("E");
  DAESImplicitEvent* top = ModelEvent(&a, &eq);
  DAESImplicitEvent* mid = ModelEvent(&b, &eq, top, 1);
  DAESImplicitEvent* low = ModelEvent(&c, &eq, mid, 2);
  EXPECT_TRUE(top->IsActive());
  EXPECT_FALSE(mid->IsActive());
  ASSERT_EQ(top->EvaluateCondition(1), 0u);
  EXPECT_TRUE(mid->IsActive());
  EXPECT_FALSE(low->IsActive());
  std::int32_t changed = 0;
  // Inactive: no change reported, state kept.
  EXPECT_EQ(low->HasChanged(&changed), 0u);
  EXPECT_EQ(changed, 0);
  EXPECT_EQ(low->EvaluateCondition(1), 0u);
  EXPECT_EQ(low->State(), 0);
  b = 2;
  ASSERT_EQ(mid->EvaluateCondition(1), 0u);
  EXPECT_TRUE(low->IsActive());
  EXPECT_EQ(low->HasChanged(&changed), 0u);
  EXPECT_EQ(changed, 1);
  EXPECT_EQ(low->State(), 0);
  // The guards stay while the guarded event holds them.
  top->Release();
  mid->Release();
  EXPECT_TRUE(low->IsActive());
  low->Release();
}

TEST(EventSchedule, OrderAndBoundaryUnderAddsAndRemoves) {
  std::int32_t v = 0;
  Named eq("E");
  DAESEventSchedule s;
  auto* x1 = new SimExtImplicitEvent("x1");
  auto* x2 = new SimExtImplicitEvent(nullptr);
  DAESImplicitEvent* m1 = ModelEvent(&v, &eq);
  DAESImplicitEvent* m2 = ModelEvent(&v, &eq);
  DAESImplicitEvent* m3 = ModelEvent(&v, &eq);
  ASSERT_EQ(s.AddExternalEvent(x1), 0u);
  EXPECT_EQ(s.Boundary(), nullptr);
  EXPECT_EQ(s.HasExternalEvents(), 1);
  ASSERT_EQ(s.AddModelEvent(m1), 0u);
  EXPECT_EQ(s.Boundary(), m1);
  ASSERT_EQ(s.AddModelEvent(m2), 0u);
  ASSERT_EQ(s.AddExternalEvent(x2), 0u);
  ASSERT_EQ(s.AddModelEvent(m3), 0u);
  EXPECT_EQ(s.AddModelEvent(m3), daes::kNotImplemented);
  EXPECT_EQ(Order(s), (std::vector<DAESImplicitEvent*>{m3, m2, m1, x1, x2}));
  EXPECT_EQ(s.Boundary(), m1);
  EXPECT_EQ(s.Count(), 5);
  EXPECT_EQ(s.ExternalCount(), 2u);
  EXPECT_EQ(x2->SequenceNumber(), 3);
  EXPECT_STREQ(x2->GetNameText(), "An Unnamed External Implicit event");
  EXPECT_STREQ(x1->GetNameText(), "x1");
  // Head, boundary and tail.
  ASSERT_EQ(s.RemoveEvent(m3), 0u);
  EXPECT_EQ(s.Head(), m2);
  ASSERT_EQ(s.RemoveEvent(m1), 0u);
  EXPECT_EQ(s.Boundary(), m2);
  ASSERT_EQ(s.RemoveEvent(x2), 0u);
  EXPECT_EQ(s.Tail(), x1);
  EXPECT_EQ(s.ExternalCount(), 1u);
  EXPECT_EQ(s.RemoveEvent(x2), daes::kNotImplemented);
  // Destroying an event takes it out of its own schedule.
  m2->Release();
  EXPECT_EQ(s.Boundary(), nullptr);
  EXPECT_EQ(Order(s), (std::vector<DAESImplicitEvent*>{x1}));
  EXPECT_EQ(s.HasExternalEvents(), 1);
  // A model event behind a lone external tail: the boundary stays with the model.
  DAESEventSchedule t;
  DAESImplicitEvent* m4 = ModelEvent(&v, &eq);
  ASSERT_EQ(t.AddModelEvent(m4), 0u);
  ASSERT_EQ(t.RemoveEvent(m4), 0u);
  ASSERT_EQ(t.AddModelEvent(m4), 0u);
  EXPECT_EQ(t.HasExternalEvents(), 0);
  m3->Release();
  m1->Release();
  x2->Release();
  {
    // A schedule going first detaches what it still lists.
    auto* u = new DAESEventSchedule;
    ASSERT_EQ(s.RemoveEvent(x1), 0u);
    ASSERT_EQ(u->AddExternalEvent(x1), 0u);
    delete u;
    EXPECT_EQ(x1->Schedule(), nullptr);
  }
  x1->Release();
  m4->Release();
  EXPECT_EQ(t.Count(), 0);
}

struct CountingDriver : VariableDriver {
  double ValueAt(double time, double) override {
    times.push_back(time);
    return time;
  }
  std::vector<double> times;
};

struct Driven : DrivenVariable {
  double GetDrivenValue() override { return value; }
  void SetDrivenValue(double v) override { value = v; }
  double value = 0;
};

TEST(EventSchedule, ReportChangesAndEvaluation) {
  testsupport::CaptureSink sink;
  std::int32_t a = 0, b = 0, c = 0;
  Named ea("Tank.Weir");
  Named eb("Tank.Valve");
  DAESEventSchedule s;
  DAESImplicitEvent* ev[3] = {ModelEvent(&a, &ea), ModelEvent(&b, &eb), ModelEvent(&c, &eb)};
  for (auto* e : ev) ASSERT_EQ(s.AddModelEvent(e), 0u);
  ASSERT_EQ(s.ReportChanges(1.0, 1.5), 0u);
  EXPECT_TRUE(sink.lines().empty());
  a = 1;
  b = 3;
  Driven var;
  auto* driver = new CountingDriver;
  SetVariableDriver(&var, driver);
  SetSimulationTime(0.0);
  EXPECT_EQ(s.AnyEventChanged(), 1u);
  ASSERT_EQ(s.ReportChanges(1.0, 1.5), 0u);
  EXPECT_EQ(driver->times, (std::vector<double>{1.5, 1.0}));
  EXPECT_EQ(GetSimulationTime(), 1.0);
  SetVariableDriver(&var, nullptr);
  delete driver;
  const auto lines = sink.lines();
  std::string all;
  for (const auto& l : lines) all += l + "|";
  EXPECT_EQ(all, "The following event(s) have changed state:|Tank.Valve|Tank.Weir|");
  // Only looking: the states did not move.
  EXPECT_EQ(ev[0]->State(), 0);
  sink.Clear();
  ASSERT_EQ(s.EvaluateAll(), 0u);
  EXPECT_EQ(ev[0]->State(), 1);
  EXPECT_EQ(ev[1]->State(), 3);
  EXPECT_EQ(s.AnyEventChanged(), 0u);
  ASSERT_FALSE(sink.lines().empty());
  EXPECT_EQ(sink.lines()[0], "Equation Tank.Valve moved from 0 to 3");
  // A failing condition: its message, the state kept, the status returned.
  sink.Clear();
  static_cast<Condition*>(ev[2]->Condition())->status = 0x80000267u;
  c = 4;
  SetErrorReportSwitch(1);
  EXPECT_EQ(s.EvaluateAll(), 0x80000267u);
  EXPECT_EQ(ev[2]->State(), 0);
  ASSERT_FALSE(sink.lines().empty());
  EXPECT_EQ(sink.lines()[0].rfind("Evaluation of condition in equation Tank.Valve failed (", 0), 0u)
      << sink.lines()[0];
  for (auto* e : ev) e->Release();
}

struct QuietIntegrator : testsupport::IntegratorStandIn {};

TEST(EventSchedule, SwitchEventsFollowTheStateMachine) {
  testsupport::CaptureSink sink;
  std::int32_t go = 0, back = 0, also = 1;
  Switch sw("Pump.Mode", 3);
  sw.SetStateName(0, "Off");
  sw.SetStateName(1, "On");
  sw.SetStateName(2, "Tripped");
  EXPECT_EQ(sw.FindState("oN"), 1);
  EXPECT_EQ(sw.FindState("none"), -1);
  DAESFiniteStateTransition t01(new Condition(&go), 1), t02(new Condition(&also), 2);
  DAESFiniteStateTransition t10(new Condition(&back), 0);
  sw.AddTransition(0, &t01);
  sw.AddTransition(0, &t02);
  sw.AddTransition(1, &t10);
  // The first transition that holds wins; a state without one stays.
  EXPECT_EQ(sw.NextState(0), 2);
  go = 1;
  EXPECT_EQ(sw.NextState(0), 1);
  EXPECT_EQ(sw.NextState(1), 1);
  EXPECT_EQ(sw.NextState(2), 2);
  sw.SetCurrentState(0);
  auto* e = new DAESImplicitEvent(nullptr, 0);
  e->AttachEquation(&sw);
  DAESEventSchedule s;
  ASSERT_EQ(s.AddModelEvent(e), 0u);
  ASSERT_EQ(s.EvaluateAll(), 0u);
  EXPECT_EQ(e->State(), 1);
  ASSERT_FALSE(sink.lines().empty());
  EXPECT_EQ(sink.lines()[0], "Equation Pump.Mode moved from Off to On");
  std::ostringstream printed;
  s.Print(printed);
  EXPECT_EQ(printed.str(), "\nOn       Pump.Mode\n");
  // With an integrator that wants no reports, nothing is printed.
  sink.Clear();
  QuietIntegrator quiet;
  SetCurrentIntegrator(&quiet);
  back = 1;
  ASSERT_EQ(s.EvaluateAll(), 0u);
  SetCurrentIntegrator(nullptr);
  EXPECT_EQ(e->State(), 0);
  EXPECT_TRUE(sink.lines().empty());
  // Taking new states follows the switch's own state.
  sw.SetCurrentState(2);
  EXPECT_EQ(s.TakeNewStates(), 1);
  EXPECT_EQ(e->State(), 2);
  e->Release();
}

TEST(EventSchedule, ExternalFiringSequence) {
  std::int32_t v = 0;
  auto* x = static_cast<SimExtImplicitEvent*>(DAESCreateExtImplicitEvent(24, "Alarm"));
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(DAESCreateExtImplicitEvent(23, "Alarm"), nullptr);
  x->SetCondition(new Condition(&v), nullptr);
  DAESEventSchedule* s = DAESCreateEventSchedule();
  ASSERT_EQ(s->AddExternalEvent(x), 0u);
  EXPECT_EQ(s->ExternalEventsChanged(), 0u);
  EXPECT_FALSE(x->IsFired());
  v = 2;
  EXPECT_EQ(s->ExternalEventsChanged(), 1u);
  EXPECT_TRUE(x->IsFired());
  x->CountFiring();
  EXPECT_EQ(s->FirstFiringCount(), 1u);
  // Still differs from the state: still a change.
  EXPECT_EQ(s->ExternalEventsChanged(), 1u);
  x->AcceptValue();
  EXPECT_EQ(x->State(), 2);
  // Fired and now equal: one last change, then the mark goes.
  EXPECT_EQ(s->ExternalEventsChanged(), 1u);
  EXPECT_FALSE(x->IsFired());
  EXPECT_EQ(s->ExternalEventsChanged(), 0u);
  x->ClearFiring();
  EXPECT_EQ(s->FirstFiringCount(), 0u);
  delete s;
  x->Release();
}

TEST(EventSchedule, SaveRestoreGetAndSetStates) {
  std::int32_t a = 4, b = 7;
  Named eq("E");
  DAESEventSchedule s;
  DAESImplicitEvent* e1 = ModelEvent(&a, &eq);
  DAESImplicitEvent* e2 = ModelEvent(&b, &eq);
  s.AddModelEvent(e1);
  s.AddModelEvent(e2);
  s.RestoreStates();
  EXPECT_EQ(e1->State(), 0);
  s.TakeNewStates();
  s.SaveStates();
  e1->SetState(9);
  s.RestoreStates();
  EXPECT_EQ(e1->State(), 4);
  std::int32_t count = 5;
  std::int32_t* states = new std::int32_t[5];
  ASSERT_EQ(s.GetStates(&count, &states), 0u);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(states[0], 7);
  EXPECT_EQ(states[1], 4);
  const std::int32_t three[3] = {1, 2, 3};
  EXPECT_EQ(s.SetStates(3, three), daes::kWrongEventCount);
  EXPECT_TRUE(status::IsFailure(daes::kWrongEventCount));
  EXPECT_EQ(e2->State(), 7);
  ASSERT_EQ(s.SetStates(2, three), 0u);
  EXPECT_EQ(e2->State(), 1);
  EXPECT_EQ(e1->State(), 2);
  delete[] states;
  DAESEquation** eqs = nullptr;
  ASSERT_EQ(s.GetEquations(&count, &eqs), 0u);
  EXPECT_EQ(eqs[0], &eq);
  delete[] eqs;
  e1->Release();
  e2->Release();
}

// Outside callers reach these through their places in the interface.
TEST(EventSchedule, PlacesOfTheInterface) {
  auto place = [](auto member) {
    std::uintptr_t word = 0;
    std::memcpy(&word, &member, sizeof word);
    // A virtual member's word is 1 + its byte offset; the destructor takes two slots.
    return static_cast<int>((word - 1) / sizeof(void*));
  };
  EXPECT_EQ(place(&QLNEventSchedule::FirstFiringCount), 4);
  EXPECT_EQ(place(&QLNEventSchedule::AnyEventChanged), 5);
  EXPECT_EQ(place(&QLNEventSchedule::EvaluateAll), 7);
}

}  // namespace

namespace {

// A branch row that counts the clearing of its derivative column.
struct CountingRow : DAESSolverEquation {
  explicit CountingRow(double r) : DAESSolverEquation(nullptr), residual(r) {}
  Status ClearDerivativeColumn() override {
    ++clears;
    return 0;
  }
  Status Evaluate(std::uint32_t, void*) override { return 0; }
  Status ResidualValue(double* value) override {
    *value = residual;
    return 0;
  }
  double residual;
  int clears = 0;
};

TEST(FiniteStateEquation, FollowsItsEventAndClearsOncePerChange) {
  std::int32_t v = 0;
  Named eq("Tank.Weir");
  DAESImplicitEvent* e = ModelEvent(&v, &eq);
  auto* row = new DAESFiniteStateEquation(nullptr, &eq, e, 2, 3);
  auto* b0 = new CountingRow(10.0);
  auto* b1 = new CountingRow(11.0);
  row->AddBranch(b0);
  row->AddBranch(b1);
  EXPECT_STREQ(row->GetNameText(), "Tank.Weir.Row(3)");
  double r = 0.0;
  ASSERT_EQ(row->Evaluate(daes::kEvalResidual, nullptr), 0u);
  ASSERT_EQ(row->ResidualValue(&r), 0u);
  EXPECT_EQ(r, 10.0);
  EXPECT_EQ(b0->clears, 0);
  e->SetState(1);
  ASSERT_EQ(row->Evaluate(daes::kEvalResidual, nullptr), 0u);
  ASSERT_EQ(row->Evaluate(daes::kEvalResidual, nullptr), 0u);
  ASSERT_EQ(row->ResidualValue(&r), 0u);
  EXPECT_EQ(r, 11.0);
  EXPECT_EQ(b0->clears, 1);
  EXPECT_EQ(b1->clears, 1);
  // A state no branch has: refused, nothing evaluated.
  e->SetState(5);
  EXPECT_EQ(row->Evaluate(daes::kEvalResidual, nullptr), daes::kNotImplemented);
  std::int32_t count = 0;
  row->BranchCount(&count);
  EXPECT_EQ(count, 1);
  delete row;
  e->Release();
}

TEST(ConditionalEquation, MakesItsEventOnceAndARowEachCall) {
  DAESEventSchedule s;
  DAESConditionalEquation eq(nullptr);
  EXPECT_EQ(eq.MakeSolverEquation(), nullptr);  // no current schedule
  SetCurrentEventSchedule(&s);
  std::unique_ptr<DAESFiniteStateEquation> a(eq.MakeSolverEquation());
  std::unique_ptr<DAESFiniteStateEquation> b(eq.MakeSolverEquation());
  SetCurrentEventSchedule(nullptr);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a.get(), b.get());
  EXPECT_EQ(a->Event(), b->Event());
  EXPECT_EQ(s.Count(), 1);
  EXPECT_EQ(eq.CurrentState(), 0);
  EXPECT_STREQ(eq.StateName(1), "THEN branch");
  Expression* none = nullptr;
  EXPECT_EQ(eq.GetResidualExpression(&none), daes::kNotImplemented);
  // Forgetting the event leaves the rows a live one.
  eq.ForgetEvent();
  EXPECT_EQ(eq.CurrentState(), -1);
  EXPECT_EQ(s.Count(), 1);
  a.reset();
  b.reset();
  EXPECT_EQ(s.Count(), 0);
}

}  // namespace
