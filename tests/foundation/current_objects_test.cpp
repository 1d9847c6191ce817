#include "foundation/current_objects.h"

#include <gtest/gtest.h>

#include "foundation/group_method.h"
#include "foundation/integrator_proxy.h"
#include "foundation/problem_manager_hooks.h"
#include "foundation/procedure_context.h"
#include "foundation/solver_options.h"
#include "tests/support/capture_sink.h"

namespace {

class CountingMethod : public QLNGroupMethod {
 public:
  explicit CountingMethod(int* deletions) : deletions_(deletions) {}
  ~CountingMethod() override { ++*deletions_; }

 private:
  int* deletions_;
};

TEST(GroupMethods, ReplacingDeletesTheHeldMethodExactlyOnce) {
  int first_deleted = 0;
  int second_deleted = 0;
  auto* first = new CountingMethod(&first_deleted);
  auto* second = new CountingMethod(&second_deleted);

  EXPECT_EQ(ReplaceGroupMethod(kGroupNonlinear, first), status::kOk);
  EXPECT_EQ(GetGroupMethod(kGroupNonlinear), first);
  EXPECT_EQ(GetGroupMethod(kGroupLinear), nullptr) << "slots are independent";

  EXPECT_EQ(ReplaceGroupMethod(kGroupNonlinear, second), status::kOk);
  EXPECT_EQ(first_deleted, 1);
  EXPECT_EQ(GetGroupMethod(kGroupNonlinear), second);

  // Storing the method already held keeps it alive.
  EXPECT_EQ(ReplaceGroupMethod(kGroupNonlinear, second), status::kOk);
  EXPECT_EQ(second_deleted, 0);

  EXPECT_EQ(ReplaceGroupMethod(kGroupNonlinear, nullptr), status::kOk);
  EXPECT_EQ(second_deleted, 1);
  EXPECT_EQ(first_deleted, 1);
  EXPECT_EQ(GetGroupMethod(kGroupNonlinear), nullptr);
}

TEST(GroupMethods, KindOutsideTheTableIsRefusedAndTheMethodStaysWithTheCaller) {
  int deleted = 0;
  CountingMethod* method = new CountingMethod(&deleted);
  EXPECT_EQ(ReplaceGroupMethod(kGroupKindCount, method), status::kBadArguments);
  EXPECT_EQ(ReplaceGroupMethod(-1, method), status::kBadArguments);
  EXPECT_EQ(deleted, 0);
  EXPECT_EQ(GetGroupMethod(kGroupKindCount), nullptr);
  EXPECT_EQ(GetGroupMethod(-1), nullptr);
  delete method;
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
  testsupport::CaptureSink second_sink;

  ProcedureCallContext* block = InitProcedureContext(&first_manager, &first_sink);
  EXPECT_EQ(block, GetProcedureContext());
  EXPECT_EQ(block->mode, 3u);
  EXPECT_EQ(block->collector, &first_sink);
  EXPECT_EQ(block->options, SolverOptions::Instance());
  EXPECT_EQ(block->problem_manager, &first_manager);

  EXPECT_EQ(InitProcedureContext(&second_manager, &second_sink), block);
  EXPECT_EQ(block->collector, &first_sink);
  EXPECT_EQ(block->problem_manager, &first_manager);
}

TEST(ErrorReporting, SilentInNestedModeElseTheSwitch) {
  EXPECT_EQ(IsErrorReportingOn(), 1u) << "on at start, also with no problem manager";
  {
    FakeProblemManager manager;
    EXPECT_EQ(IsErrorReportingOn(), 1u);
    manager.nested = true;
    EXPECT_EQ(IsErrorReportingOn(), 0u);
    manager.nested = false;
    SetErrorReportSwitch(0);
    EXPECT_EQ(IsErrorReportingOn(), 0u);
    SetErrorReportSwitch(1);
    EXPECT_EQ(IsErrorReportingOn(), 1u);
  }
  EXPECT_EQ(GetErrorReportSwitch(), 1u);
}

class TearingTable : public SolverOptions {
 public:
  std::int32_t GetInt(std::int32_t number) override { return number == 97 ? tearing : 0; }
  double GetReal(std::int32_t) override { return 0.0; }
  bool GetBool(std::int32_t) override { return false; }
  std::int32_t tearing = 0;
};

class FakeIntegrator : public UnifiedIntegratorProxy {
 public:
  std::uint32_t GetCapabilityBit2() override { return capability; }
  std::uint32_t capability = 0;
};

TEST(IntegratorOption, NeedsTearingAndTheIntegratorCapability) {
  TearingTable options;
  FakeIntegrator integrator;
  SolverOptions* previous = SolverOptions::Install(&options);
  SetCurrentIntegrator(&integrator);

  struct Case {
    std::int32_t tearing;
    std::uint32_t capability;
    std::int32_t expected;
  };
  for (const Case& c : {Case{0, 0, 0}, Case{0, 2, 0}, Case{1, 0, 0}, Case{3, 2, 1}}) {
    options.tearing = c.tearing;
    integrator.capability = c.capability;
    EXPECT_EQ(IsIntegratorOptionOn(), c.expected)
        << "tearing " << c.tearing << ", capability " << c.capability;
  }

  SetCurrentIntegrator(nullptr);
  EXPECT_EQ(IsIntegratorOptionOn(), 0) << "no integrator";
  SolverOptions::Install(previous);
}

}  // namespace
