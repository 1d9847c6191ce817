#include "foundation/interfaces/current_objects.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "foundation/interfaces/group_method.h"
#include "foundation/interfaces/integrator_proxy.h"
#include "foundation/interfaces/problem_manager_hooks.h"
#include "foundation/interfaces/procedure_context.h"
#include "foundation/interfaces/solver_options.h"
#include "foundation/interfaces/variable_drivers.h"
#include "tests/support/capture_sink.h"
#include "tests/support/integrator_stand_in.h"
#include "tests/support/numbered_options.h"
#include "tests/support/quiet_group_method.h"

namespace {

class CountingMethod : public QuietGroupMethod {
 public:
  explicit CountingMethod(int* deletions) : deletions_(deletions) {}
  ~CountingMethod() override { ++*deletions_; }
  Status Solve(QLNGroup*, std::uint8_t, std::uint32_t, std::uint32_t, Status*) override {
    return 0;
  }

 private:
  int* deletions_;
};

TEST(GroupMethods, ReplacingDeletesTheHeldMethodOnceAndABadKindIsRefused) {
  int first_deleted = 0;
  int second_deleted = 0;
  auto* first = new CountingMethod(&first_deleted);
  auto* second = new CountingMethod(&second_deleted);
  EXPECT_EQ(ReplaceGroupMethod(kGroupNonlinear, first), status::kOk);
  EXPECT_EQ(GetGroupMethod(kGroupLinear), nullptr) << "slots are independent";
  EXPECT_EQ(ReplaceGroupMethod(kGroupNonlinear, second), status::kOk);
  EXPECT_EQ(first_deleted, 1);
  EXPECT_EQ(ReplaceGroupMethod(kGroupNonlinear, second), status::kOk);  // the one held
  EXPECT_EQ(second_deleted, 0);
  EXPECT_EQ(GetGroupMethod(kGroupNonlinear), second);
  for (std::int32_t kind : {kGroupKindCount, -1}) {
    EXPECT_EQ(ReplaceGroupMethod(kind, first), status::kBadArguments);  // not taken, not deleted
    EXPECT_EQ(GetGroupMethod(kind), nullptr);
  }
  EXPECT_EQ(ReplaceGroupMethod(kGroupNonlinear, nullptr), status::kOk);
  EXPECT_EQ(second_deleted, 1);
  EXPECT_EQ(first_deleted, 1);
}

class FakeProblemManager : public ProblemManagerHooks {
 public:
  FakeProblemManager() { SetProblemManagerHooks(this); }
  ~FakeProblemManager() { SetProblemManagerHooks(nullptr); }
  bool IsNestedMode() override { return nested; }
  bool nested = false;
};

TEST(ProcedureContext, FilledByTheFirstCallOnly) {
  ASSERT_EQ(GetProcedureContext()->mode, 0u);
  FakeProblemManager first_manager;
  FakeProblemManager second_manager;
  testsupport::CaptureSink first_sink;
  ProcedureCallContext* block = InitProcedureContext(&first_manager, &first_sink);
  EXPECT_EQ(block, GetProcedureContext());
  EXPECT_EQ(block->mode, 3u);
  EXPECT_EQ(block->options, SolverOptions::Instance());
  EXPECT_EQ(InitProcedureContext(&second_manager, nullptr), block);
  EXPECT_EQ(block->collector, &first_sink);
  EXPECT_EQ(block->problem_manager, &first_manager);
  ClearProcedureContext();  // the managers go with this test
  EXPECT_EQ(GetProcedureContext()->mode, 0u);
  EXPECT_EQ(GetProcedureContext()->problem_manager, nullptr);
}

TEST(ErrorReporting, SilentInNestedModeElseTheSwitch) {
  EXPECT_EQ(IsErrorReportingOn(), 1u) << "on at start, also with no problem manager";
  FakeProblemManager manager;
  manager.nested = true;
  EXPECT_EQ(IsErrorReportingOn(), 0u);
  manager.nested = false;
  SetErrorReportSwitch(0);
  EXPECT_EQ(IsErrorReportingOn(), 0u);
  SetErrorReportSwitch(1);
  EXPECT_EQ(IsErrorReportingOn(), 1u);
}

class TearingTable : public testsupport::NumberedOptions {
 public:
  std::int32_t GetInt(std::int32_t number) override { return number == 97 ? tearing : 0; }
  double GetReal(std::int32_t) override { return 0.0; }
  bool GetBool(std::int32_t) override { return false; }
  Status SetInt(std::int32_t, std::int32_t) override { return status::kNotSupported; }
  std::int32_t tearing = 0;
};

class FakeIntegrator : public testsupport::IntegratorStandIn {
 public:
  std::uint32_t GetCapabilityBit2() override { return capability; }
  std::uint32_t capability = 0;
};

TEST(IntegratorOption, NeedsTearingAndTheIntegratorCapability) {
  TearingTable options;
  FakeIntegrator integrator;
  SolverOptions* previous = SolverOptions::Install(&options);
  EXPECT_EQ(SolverOptions::Instance(), &options);
  SetCurrentIntegrator(&integrator);
  const std::int32_t cases[][3] = {
      {0, 0, 0}, {0, 2, 0}, {1, 0, 0}, {3, 2, 1}};  // tearing, capability, on
  for (const auto& c : cases) {
    options.tearing = c[0];
    integrator.capability = static_cast<std::uint32_t>(c[1]);
    EXPECT_EQ(IsIntegratorOptionOn(), c[2]) << "tearing " << c[0] << ", capability " << c[1];
  }
  SetCurrentIntegrator(nullptr);
  EXPECT_EQ(IsIntegratorOptionOn(), 0) << "no integrator";
  EXPECT_EQ(SolverOptions::Install(previous), &options);
  EXPECT_EQ(SolverOptions::Instance()->GetInt(31), 2) << "the defaults again";
}

class Variable : public DrivenVariable {
 public:
  explicit Variable(double value = 0.0) : value(value) {}
  double GetDrivenValue() override { return value; }
  void SetDrivenValue(double v) override { value = v; }
  double value;
};

// Drives its variable to current + step * time; notes each call and its deletion.
class Driver : public VariableDriver {
 public:
  Driver(std::string name, std::vector<std::string>* log, double step = 1.0)
      : name_(std::move(name)), log_(log), step_(step) {}
  ~Driver() override { log_->push_back("~" + name_); }
  double ValueAt(double time, double current) override {
    log_->push_back(name_);
    return current + step_ * time;
  }

 private:
  std::string name_;
  std::vector<std::string>* log_;
  double step_;
};

using Log = std::vector<std::string>;

TEST(VariableDrivers, PairsAreReplacedFreedAndReusedAndApplyRunsInTableOrder) {
  Log log;
  Variable a(1.0), b(10.0), c(100.0), d(1000.0), e;
  Driver replaced("replaced", &log);
  Driver removed("removed", &log);
  VariableDriverTable table;
  // Set says whether the variable had a pair, whose driver is then back
  // with the caller.
  EXPECT_FALSE(table.Set(&a, &replaced));
  EXPECT_TRUE(table.Set(&a, new Driver("a", &log, 1.0)));  // a variable set twice keeps one pair
  table.Set(&b, &removed);
  table.Set(&c, new Driver("c", &log, 3.0));
  EXPECT_TRUE(table.Set(&b, nullptr));  // a free slot
  EXPECT_EQ(table.VariableAt(1), nullptr);
  EXPECT_FALSE(table.Set(&b, nullptr));
  EXPECT_FALSE(table.Set(&e, nullptr));  // a new variable without a driver changes nothing
  table.Set(nullptr, &removed);
  EXPECT_EQ(table.count(), 3);
  table.Set(&d, new Driver("d", &log, 4.0));  // takes b's slot, so it runs second
  EXPECT_EQ(table.VariableAt(1), &d);
  EXPECT_EQ(table.count(), 3);
  table.Apply(0.5);
  EXPECT_EQ(log, (Log{"a", "d", "c"}));
  EXPECT_EQ(a.value, 1.5);
  EXPECT_EQ(b.value, 10.0);
  EXPECT_EQ(d.value, 1002.0);
  log.clear();
  table.Clear();  // replaced and removed drivers stay with the caller
  std::sort(log.begin(), log.end());
  EXPECT_EQ(log, (Log{"~a", "~c", "~d"}));
  EXPECT_EQ(table.count(), 0);
  EXPECT_EQ(table.capacity(), 0);
}

TEST(VariableDrivers, ASharedDriverIsDeletedOnce) {
  Log log;
  std::vector<Variable> vars(5);
  auto* shared = new Driver("shared", &log);
  VariableDriverTable table;
  for (Variable& v : vars) table.Set(&v, shared);
  table.Clear();
  table.Clear();
  EXPECT_EQ(log, Log{"~shared"});
}

}  // namespace
