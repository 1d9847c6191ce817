// The optimisation problem adapter an open NLP solver works on, and the
// dense optimisers that drive such a solver by reverse communication: the
// step answers, what the request flags copy, the SQPA settings, the
// consistency list and a fault inside the library.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cfenv>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "daes/model/var_table_entry.h"
#include "framework/libraries/library_api.h"
#include "platform/fault_guard.h"
#include "solve/methods/open_solvers.h"
#include "solve/methods/solver_factories.h"
#include "solve/open/kvs_loader.h"
#include "solve/open/nlp_eso.h"
#include "solve/open/solver_loaders.h"
#include "solve/optimisers/kvs_optimisers.h"
#include "tests/support/capture_sink.h"
#include "tests/support/fault_tests.h"

namespace {

struct EsoRef {
  explicit EsoRef(QLNCNumericNLPESO* made) : eso(made) { eso->AddRef(); }
  ~EsoRef() { EXPECT_EQ(eso->Release(), 0u); }
  QLNCNumericNLPESO* eso;
};

std::string Text(const testsupport::CaptureSink& sink) {
  std::string out;
  for (const std::string& line : sink.lines()) out += line + "\n";
  return out;
}

}  // namespace

TEST(NumericNLPESO, DenseAndSparseJacobianNumbering) {
  EsoRef dense(new QLNCNumericNLPESO(1, 1, 3, false, nullptr, 0, 0, nullptr, nullptr));
  std::int32_t columns = 0, nz = 0;
  dense.eso->GetJacobianSizes(&columns, &nz);
  EXPECT_EQ(columns, 3);
  ASSERT_EQ(nz, 6);
  std::vector<std::int32_t> rows(6), cols(6), numbers(3);
  dense.eso->GetJacobianStructure(rows.data(), cols.data(), nullptr);
  EXPECT_EQ(rows, (std::vector<std::int32_t>{1, 1, 1, 2, 2, 2}));
  EXPECT_EQ(cols, (std::vector<std::int32_t>{1, 2, 3, 1, 2, 3}));
  dense.eso->GetColumnNumbers(numbers.data());
  EXPECT_EQ(numbers, (std::vector<std::int32_t>{1, 2, 3}));

  const std::int32_t r[] = {2, 1, 2};
  const std::int32_t c[] = {4, 1, 2};
  EsoRef sparse(new QLNCNumericNLPESO(0, 2, 5, true, nullptr, 4, 3, r, c));
  sparse.eso->GetJacobianSizes(&columns, &nz);
  EXPECT_EQ(columns, 4);
  ASSERT_EQ(nz, 3);
  rows.assign(3, 0), cols.assign(3, 0), numbers.assign(4, 0);
  sparse.eso->GetJacobianStructure(rows.data(), cols.data(), nullptr);
  EXPECT_EQ(rows, (std::vector<std::int32_t>{2, 1, 2}));
  EXPECT_EQ(cols, (std::vector<std::int32_t>{4, 1, 2}));
  sparse.eso->GetColumnNumbers(numbers.data());
  EXPECT_EQ(numbers, (std::vector<std::int32_t>{1, 2, 3, 4}));
  // Gradient columns land on the structure's entries: (row i, var j) at (1 + i) * ld + j.
  std::vector<double> gradients(6 * 3, 0.0);
  gradients[6 + 3] = 14.0, gradients[6 + 0] = 11.0, gradients[12 + 1] = 22.0;
  sparse.eso->SetConstraintJacobianColumns(gradients.data(), 6);
  std::vector<double> j(3);
  sparse.eso->GetConstraintJacobian(j.data());
  EXPECT_EQ(j, (std::vector<double>{0.0, 11.0, 22.0}));
  gradients[6 + 0] = 0.0, gradients[12 + 1] = 0.0, gradients[12 + 3] = 24.0;
  sparse.eso->SetConstraintJacobianColumns(gradients.data(), 6);
  sparse.eso->GetConstraintJacobian(j.data());
  EXPECT_EQ(j, (std::vector<double>{24.0, 0.0, 0.0}));
}

TEST(NumericNLPESO, AttributesSpecificationsAndLists) {
  DAESVarTableEntry fixed, independent, free;
  fixed.SetFlags(0x80);
  independent.SetFlags(0x8000);
  QLNVariable* variables[] = {&fixed, &independent, &free};
  EsoRef p(new QLNCNumericNLPESO(0, 2, 3, false, variables, 0, 0, nullptr, nullptr));
  double v = -1.0;
  EXPECT_EQ(p.eso->GetConstraintAttribute(0, "mathtype", &v), 0u);
  EXPECT_EQ(v, 4.0);
  EXPECT_EQ(p.eso->GetConstraintAttribute(1, "ConstraintStatus", &v), 0u);
  EXPECT_EQ(v, 1.0);
  EXPECT_EQ(p.eso->GetConstraintAttribute(0, "Consistency", &v), kKvsNotSupported4);
  EXPECT_EQ(p.eso->SetConstraintAttribute(1, "CONSISTENCY", 2.5), 0u);
  EXPECT_EQ(p.eso->SetConstraintAttribute(1, "MathType", 1.0), kKvsNotSupported4);
  EXPECT_EQ(p.eso->SetConstraintAttribute(2, "Consistency", 1.0), kKvsBadIndex);
  EXPECT_EQ(p.eso->GetConstraintAttribute(1, "Consistency", &v), 0u);
  EXPECT_EQ(v, 2.5);
  EXPECT_EQ(p.eso->GetConstraintAttribute(0, "Consistency", &v), 0u);
  EXPECT_EQ(v, 0.0);
  EXPECT_EQ(p.eso->GetConstraintAttribute(0, "Other", &v), kKvsNotSupported4);

  const double expected[][2] = {{1, 1}, {2, 2}, {0, 0}};
  for (std::int32_t j = 0; j < 3; ++j) {
    double spec = -1.0, status = -1.0;
    EXPECT_EQ(p.eso->GetVariableAttribute(j, "Specification", &spec), 0u);
    EXPECT_EQ(p.eso->GetVariableAttribute(j, "VarStatus", &status), 0u);
    EXPECT_EQ(spec, expected[j][0]);
    EXPECT_EQ(status, expected[j][1]);
  }
  EXPECT_EQ(p.eso->GetVariableAttribute(0, "Scale", &v), kKvsNotSupported4);

  // An equality comes first.
  EsoRef q(new QLNCNumericNLPESO(1, 1, 1, false, nullptr, 0, 0, nullptr, nullptr));
  EXPECT_EQ(q.eso->GetConstraintAttribute(0, "MathType", &v), 0u);
  EXPECT_EQ(v, 0.0);
  std::int32_t sense = 0;
  q.eso->SetObjectiveSense(0);
  q.eso->GetObjectiveSense(&sense);
  EXPECT_EQ(sense, -1);

  // A list longer than the variables writes nothing.
  const double bounds[] = {-1, -2, -3, 1, 2, 3};
  p.eso->SetBounds(bounds);
  const std::int32_t idx[] = {0, 1, 2, 0};
  KVSIndexList too_long{4, idx};
  double out[4] = {9, 9, 9, 9};
  EXPECT_EQ(p.eso->GetVariableValues(&too_long, out), kKvsBadIndex);
  EXPECT_EQ(p.eso->GetVariableBounds(&too_long, out, out), kKvsBadIndex);
  EXPECT_EQ(out[0], 9.0);
  KVSIndexList two{2, idx + 1};
  double lo[2], hi[2];
  EXPECT_EQ(p.eso->GetVariableBounds(&two, lo, hi), 0u);
  EXPECT_EQ(lo[1], -3.0);
  EXPECT_EQ(hi[0], 2.0);
  std::int32_t pairs[4], count = 0;
  p.eso->GetConstraintVariablePairs(&count, pairs);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(pairs[2], 1);
  EXPECT_EQ(pairs[3], -1);
  std::int32_t extra = -1;
  p.eso->GetNumExtraItems(&extra);
  EXPECT_EQ(extra, 0);
  EXPECT_EQ(p.eso->Unsupported17(), kKvsNotSupported4);
  EXPECT_EQ(p.eso->Unsupported18(), kKvsNotSupported3);
}

#ifdef VANTOR_KVS_DIR
TEST(NumericNLPESO, TextsArriveWholeInServicesBlocks) {
  AddDLLSearchPath(VANTOR_KVS_DIR);
  ASSERT_EQ(LoadKvsServices(), 0u);
  EsoRef p(new QLNCNumericNLPESO(0, 3, 1, false, nullptr, 0, 0, nullptr, nullptr));
  std::int32_t count = 0;
  KVSAttributeDescription* records = nullptr;
  ASSERT_EQ(p.eso->GetConstraintAttributeDescriptions(&count, &records), 0u);
  ASSERT_EQ(count, 3);
  const char* names[] = {"ConstraintStatus", "MathType", "ConstraintScale"};
  for (std::int32_t k = 0; k < count; ++k) {
    EXPECT_STREQ(records[k].name, names[k]);
    EXPECT_EQ(records[k].type, k == 2 ? 1 : 0);
    KvsServicesFree(records[k].name);
    KvsServicesFree(records[k].description);
  }
  KvsServicesFree(records);
  ASSERT_EQ(p.eso->GetVariableAttributeDescriptions(&count, &records), 0u);
  ASSERT_EQ(count, 1);
  EXPECT_STREQ(records[0].description,
               "free=0,fix=1,indep=2,meas=3,param=4,optim=5,recon=6,initial=7");
  KvsServicesFree(records[0].name);
  KvsServicesFree(records[0].description);
  KvsServicesFree(records);
  char* text = nullptr;
  ASSERT_EQ(p.eso->GetConstraintName(2, &text), 0u);
  EXPECT_EQ(TakeKvsText(text), "QLN_Constraint_3");
  ASSERT_EQ(p.eso->GetVariableName(0, &text), 0u);
  EXPECT_EQ(TakeKvsText(text), "QLN_Variable_1");
  ASSERT_EQ(p.eso->GetProduct(&text), 0u);
  EXPECT_EQ(TakeKvsText(text), "QLN NLP");
  void* utility = nullptr;
  ASSERT_EQ(p.eso->QueryInterface(IID_KVS, &utility), 0u);
  static_cast<KVSUtilityComponent*>(utility)->Release();
}
#endif

#ifdef VANTOR_FAKE_KVS_DIR

namespace {

struct FakeNlp {
  FakeNlp() {
    AddDLLSearchPath(VANTOR_FAKE_KVS_DIR);
#ifdef VANTOR_KVS_DIR
    AddDLLSearchPath(VANTOR_KVS_DIR);
#endif
    handle = dlopen(VANTOR_FAKE_KVS_DIR "/kvs_fake_solver.so", RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(handle, nullptr) << dlerror();
    set = reinterpret_cast<void (*)(int, const char*)>(dlsym(handle, "KvsFakeSet"));
    script = reinterpret_cast<void (*)(int, unsigned)>(dlsym(handle, "KvsFakeScript"));
    log = reinterpret_cast<const char* (*)()>(dlsym(handle, "KvsFakeNlpLog"));
    sets = reinterpret_cast<int (*)(const char*)>(dlsym(handle, "KvsFakeSets"));
    live = reinterpret_cast<int (*)()>(dlsym(handle, "KvsFakeLive"));
    set(0, "_KVS_FAKE");
  }
  ~FakeNlp() {
    ClearOpenSolvers();
    dlclose(handle);
  }
  void* handle;
  void (*set)(int, const char*);
  void (*script)(int, unsigned);
  const char* (*log)();
  int (*sets)(const char*);
  int (*live)();
};

// The SQPA proxy over the test's library.
class FakeSqpa final : public QLNKVSSqpaProxy {
 public:
  using QLNKVSSqpaProxy::QLNKVSSqpaProxy;
  const char* LibraryName() const override { return "kvs_fake_solver.dll"; }
};

constexpr std::uint32_t kFunctions = kNlpWantsObjective | kNlpWantsConstraints;
constexpr std::uint32_t kDerivatives = kNlpWantsGradient | kNlpWantsJacobian;

}  // namespace

TEST(OpenNlpOptimiser, StepAnswersAndWhatTheRequestsCopy) {
  FakeNlp fake;
  testsupport::CaptureSink sink;
  ASSERT_EQ(LoadOpenNLPSolverForOptimisation("kvs_fake_solver.dll"), 0u);
  fake.script(1, kFunctions);
  fake.script(1, kFunctions | kDerivatives);
  fake.script(1, kNlpWantsGradient);
  fake.script(0, kNlpGivesPoint);
  fake.script(-8, 0);
  fake.script(5, 0);
  Status status = 1;
  std::unique_ptr<QLNDenseOptimiser> opt(
      CreateDenseOptimiser(kRunOptimisation, 7, 1, 2, 2, nullptr, &status));
  ASSERT_NE(opt, nullptr);
  EXPECT_EQ(status, 0u);
  double x[2] = {0.5, 0.5};
  const double bounds[] = {0, 0, 10, 10};
  const double constraints[] = {7, 8};
  // Column 0 the objective's gradient, then one per constraint, 3 apart.
  const double gradients[] = {1, 2, 0, 3, 4, 0, 5, 6, 0};
  DenseOptimiserCall call;
  call.point = x;
  call.bounds = bounds;
  call.objective = 9;
  call.constraints = constraints;
  call.gradients = gradients;
  call.gradient_rows = 3;
  call.mode = kOptimiserStart;
  const std::int32_t answers[] = {-1, 0, -2, 1, 6, 7};
  for (std::int32_t expected : answers) {
    EXPECT_EQ(opt->Run(call), expected);
    call.mode = 0;
    if (expected == 1) {
      // The final point stays with the caller, with the multipliers.
      EXPECT_EQ(x[0], 4.0);
      const double* work = opt->WorkVector();
      EXPECT_EQ(work[0], 3.0);
      EXPECT_EQ(work[1], 3.0);
      EXPECT_EQ(opt->SecondWorkPart(), work + 2);
      EXPECT_EQ(work[2], 1.0);  // upper bound's
      EXPECT_EQ(work[3], 0.0);  // lower bound's
      x[0] = 42;
    } else if (expected <= 0) {
      EXPECT_EQ(x[1], x[0]) << "the caller evaluates at the solver's point";
    }
  }
  EXPECT_EQ(call.accuracy, 1.5);
  EXPECT_EQ(std::string(fake.log()),
            "m2;"                            // a start reads nothing
            "m0 f 9 c 7 8;"                  // functions
            "m0 f 9 c 7 8 g 1 2 J 3 4 5 6;"  // with derivatives
            "m0 g 1 2;"
            "m0 x 42 4;"
            "m0;");
  EXPECT_EQ(opt->Iterations(), 6);
  EXPECT_EQ(opt->Evaluations(), 2);      // answers 0 and -1
  EXPECT_EQ(opt->SuccessfulSteps(), 2);  // answers 0 and -2

  std::int32_t* list = nullptr;
  EXPECT_EQ(opt->ConsistencyConstraints(&list), 0u);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list[0], 2);
  EXPECT_EQ(list[1], 0);  // two constraints: only the second is flagged
  std::free(list);
  const double tol = 1e-3;
  EXPECT_EQ(opt->PassSetting("OptTol", kKvsReal, &tol), 0u);
  EXPECT_EQ(opt->PassSetting("Text", kKvsText, "x"), kOptimiserUnsupported);

  // A new start begins afresh.
  call.mode = kOptimiserStart;
  EXPECT_EQ(opt->Run(call), -1);
  EXPECT_EQ(opt->Iterations(), 1);
}

TEST(OpenNlpOptimiser, WithoutItsLibraryEveryRunAnswersTwo) {
  FakeNlp fake;
  testsupport::CaptureSink sink;
  Status status = 0;
  std::unique_ptr<QLNDenseOptimiser> opt(
      CreateDenseOptimiser(kRunOptimisation, 7, 0, 0, 1, nullptr, &status));
  ASSERT_NE(opt, nullptr);
  EXPECT_EQ(status, kKvsNotLoadable);
  double x = 0;
  DenseOptimiserCall call;
  call.point = &x;
  call.mode = kOptimiserStart;
  EXPECT_EQ(opt->Run(call), 2);
  EXPECT_EQ(call.accuracy, -1.0);
  std::int32_t* list = nullptr;
  EXPECT_EQ(opt->ConsistencyConstraints(&list), kOptimiserUnsupported);
}

TEST(OpenNlpOptimiser, SqpaSettingsPassOnlyWhenChanged) {
  FakeNlp fake;
  for (int k = 0; k < 6; ++k) fake.script(1, kFunctions);
  FakeSqpa proxy(NlpProblemSizes{kRunOptimisation, 0, 0, 1, nullptr});
  ASSERT_EQ(proxy.Create(), 0u);
  double x = 1;
  const double bounds[] = {0, 2};
  DenseOptimiserCall call;
  call.point = &x;
  call.bounds = bounds;
  call.print_level = 4;
  call.max_iterations = 30;
  call.tolerance = 1e-5;
  call.max_abs_step = 10;
  call.max_rel_step = 5;
  call.mode = kOptimiserStart;
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(proxy.Run(call), -1);
    call.mode = 0;
  }
  for (const char* name : {"PrintLevel", "MaxIterations", "MaxAbsStep", "MaxRelStep", "OptTol"}) {
    EXPECT_EQ(fake.sets(name), 1) << name;
  }
  call.tolerance = 1e-6;
  call.print_level = 1;  // below 2: 0 like a print level of 2
  proxy.Run(call);
  EXPECT_EQ(fake.sets("OptTol"), 2);
  EXPECT_EQ(fake.sets("PrintLevel"), 2);
  call.print_level = 2;
  proxy.Run(call);
  EXPECT_EQ(fake.sets("PrintLevel"), 2);
  // A run without a tolerance of its own (least squares) leaves the
  // solver's in place rather than asking for exactness.
  call.tolerance = 0.0;
  proxy.Run(call);
  EXPECT_EQ(fake.sets("OptTol"), 2);
}

// The library the user named gets the run's tolerance at each start (the
// differenced optimiser hands it on); a run without one leaves it alone.
TEST(OpenNlpOptimiser, TheUserNamedLibraryTakesTheRunsToleranceAtItsStart) {
  FakeNlp fake;
  testsupport::CaptureSink sink;
  ASSERT_EQ(LoadOpenNLPSolverForOptimisation("kvs_fake_solver.dll"), 0u);
  for (int k = 0; k < 8; ++k) fake.script(1, kFunctions);
  for (std::int32_t kind : {7, 3}) {
    SCOPED_TRACE(kind);
    const int before = fake.sets("OptTol");
    Status status = 1;
    std::unique_ptr<QLNDenseOptimiser> opt(
        CreateDenseOptimiser(kRunOptimisation, kind, 0, 0, 1, nullptr, &status));
    ASSERT_NE(opt, nullptr);
    double x = 1;
    const double bounds[] = {0, 2};
    DenseOptimiserCall call;
    call.point = &x;
    call.bounds = bounds;
    call.tolerance = 1e-4;
    call.mode = kOptimiserStart;
    EXPECT_EQ(opt->Run(call), -1);
    call.mode = 0;
    opt->Run(call);
    EXPECT_EQ(fake.sets("OptTol"), before + 1);
    call.tolerance = 0.0;
    call.mode = kOptimiserStart;
    opt->Run(call);
    EXPECT_EQ(fake.sets("OptTol"), before + 1);
  }
}

TEST(OpenNlpOptimiser, FaultInsideTheSolverEndsTheRunAndTheEngineGoesOn) {
  VANTOR_SKIP_FAULTS_UNDER_ASAN();
  platform::InstallFaultHandlers();
  FakeNlp fake;
  testsupport::CaptureSink sink;
  ASSERT_EQ(LoadOpenNLPSolverForEstimation("kvs_fake_solver.dll"), 0u);
  fake.script(1, kFunctions);
  QLNKVSOptimiser opt(NlpProblemSizes{kRunEstimation, 0, 0, 1, nullptr});
  ASSERT_EQ(opt.Create(), 0u);
  std::fenv_t before;
  std::fegetenv(&before);
  fake.set(3, "_KVS_FAKE");
  fake.script(1, kFunctions);
  double x = 1;
  const double bounds[] = {0, 2};
  DenseOptimiserCall call;
  call.point = &x;
  call.bounds = bounds;
  call.mode = kOptimiserStart;
  EXPECT_EQ(opt.Run(call), 2);
  const std::string text = Text(sink);
  EXPECT_NE(text.find("An exception (code 0xc0000005 - access violation) occurred\n"
                      "Try another optimizer"),
            std::string::npos)
      << text;
  ASSERT_FALSE(sink.groups().empty());
  EXPECT_EQ(sink.groups().back().status, kOptimiserUnsupported);
  EXPECT_EQ(std::fetestexcept(FE_ALL_EXCEPT), 0);
  fake.set(0, "_KVS_FAKE");
  fake.script(1, kFunctions);
  EXPECT_EQ(opt.Run(call), -1);
}

#endif
