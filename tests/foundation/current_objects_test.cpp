#include "foundation/current_objects.h"

#include <gtest/gtest.h>

#include "foundation/group_method.h"
#include "foundation/integrator_proxy.h"
#include "foundation/problem_manager_hooks.h"
#include "foundation/procedure_context.h"
#include "foundation/solver_options.h"
#include "tests/support/capture_sink.h"

namespace {

TEST(SolverOptions, DefaultsAnswerOnlyThroughTheirOwnGetter) {
  ASSERT_EQ(SolverOptions::Install(nullptr), nullptr);
  SolverOptions& o = *SolverOptions::Instance();
  // PrintLevel, CheckProcDerivs, Tearing; EqnTol, AbsPerturb, RelPerturb, DerivRelTol,
  // DerivAbsTol; Compression, ListEquivalenceVariables; then numbers nobody knows.
  const std::pair<std::int32_t, std::int32_t> ints[] = {{31, 2}, {78, 0}, {97, 1}};
  const std::pair<std::int32_t, double> reals[] = {{0, 1e-5}, {75, 1e-5}, {76, 1e-5}, {109, 0.1}, {110, 0.001}};
  for (const auto& [n, value] : ints) {
    EXPECT_EQ(o.GetInt(n), value) << n;
    EXPECT_EQ(o.GetReal(n) + o.GetBool(n), 0.0) << n;
  }
  for (const auto& [n, value] : reals) {
    EXPECT_EQ(o.GetReal(n), value) << n;
    EXPECT_EQ(o.GetInt(n) + o.GetBool(n), 0) << n;
  }
  for (std::int32_t n : {111, 168}) {
    EXPECT_TRUE(o.GetBool(n)) << n;
    EXPECT_EQ(o.GetInt(n) + o.GetReal(n), 0.0) << n;
  }
  for (std::int32_t n : {-1, 1, 171, 100000}) {
    EXPECT_EQ(o.GetInt(n) + o.GetReal(n) + o.GetBool(n), 0.0) << n;
  }
}

class CountingMethod : public QLNGroupMethod {
 public:
  explicit CountingMethod(int* deletions) : deletions_(deletions) {}
  ~CountingMethod() override { ++*deletions_; }

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
  EXPECT_EQ(SolverOptions::Instance(), &options);
  SetCurrentIntegrator(&integrator);
  const std::int32_t cases[][3] = {{0, 0, 0}, {0, 2, 0}, {1, 0, 0}, {3, 2, 1}};  // tearing, capability, on
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

}  // namespace
