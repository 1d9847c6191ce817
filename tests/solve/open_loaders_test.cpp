// The solver library loaders with libraries built by the tests: their
// messages and results, the open-NLA switch, the optimiser defaults by
// component name, and the release of a replaced factory.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "framework/libraries/library_api.h"
#include "solve/methods/open_solvers.h"
#include "solve/methods/solver_factories.h"
#include "solve/open/kvs_loader.h"
#include "solve/open/solver_loaders.h"
#include "tests/support/capture_sink.h"

#ifdef VANTOR_FAKE_KVS_DIR

namespace {

struct Fake {
  Fake() {
    AddDLLSearchPath(VANTOR_FAKE_KVS_DIR);
    handle = dlopen(VANTOR_FAKE_KVS_DIR "/kvs_fake_solver.so", RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(handle, nullptr) << dlerror();
    set = reinterpret_cast<void (*)(int, const char*)>(dlsym(handle, "KvsFakeSet"));
    live = reinterpret_cast<int (*)()>(dlsym(handle, "KvsFakeLive"));
    parameter = reinterpret_cast<double (*)(const char*)>(dlsym(handle, "KvsFakeParameter"));
    set(0, "_KVS_FAKE");
  }
  ~Fake() {
    ClearOpenSolvers();
    dlclose(handle);
  }
  void* handle;
  void (*set)(int, const char*);
  int (*live)();
  double (*parameter)(const char*);
};

std::string Text(const testsupport::CaptureSink& sink) {
  std::string out;
  for (const std::string& line : sink.lines()) out += line + "\n";
  return out;
}

}  // namespace

TEST(OpenSolverLoaders, NLALoadSwitchesNonlinearGroupsAndReloadReleasesThePrevious) {
  Fake fake;
  testsupport::CaptureSink sink;
  EXPECT_EQ(LoadOpenNLASolver("kvs_fake_solver.dll"), 0u);
  EXPECT_TRUE(IsOpenNLASolverLoaded());
  EXPECT_EQ(SelectGroupMethod(kMethodNonlinear40, 0), GroupMethodClass::kOpenNLASolver);
  EXPECT_EQ(fake.live(), 1);
  EXPECT_EQ(LoadOpenNLASolver("kvs_fake_solver.dll"), 0u);
  EXPECT_EQ(fake.live(), 1);  // the first factory went
  const std::string text = Text(sink);
  EXPECT_NE(text.find("Loading Open NLA Solver..."), std::string::npos) << text;
  EXPECT_NE(text.find("kvs_fake_solver.so loaded successfully"), std::string::npos) << text;
  // A failed load clears the state and releases what was there.
  fake.set(1, "_KVS_FAKE");
  EXPECT_EQ(LoadOpenNLASolver("kvs_fake_solver.dll"), kKvsWrongFactory);
  EXPECT_FALSE(IsOpenNLASolverLoaded());
  EXPECT_EQ(fake.live(), 0);
  EXPECT_NE(Text(sink).find("No NLASystemFactory implemented in DLL"), std::string::npos);
}

TEST(OpenSolverLoaders, UnloadingTheNLASolverReleasesItAndSaysSo) {
  Fake fake;
  testsupport::CaptureSink sink;
  EXPECT_EQ(UnloadOpenNLASolver(), "");
  EXPECT_EQ(Text(sink).find("unloaded"), std::string::npos);
  ASSERT_EQ(LoadOpenNLASolver("kvs_fake_solver.dll"), 0u);
  EXPECT_EQ(UnloadOpenNLASolver(), "kvs_fake_solver.dll");
  EXPECT_FALSE(IsOpenNLASolverLoaded());
  EXPECT_EQ(OpenNLAFactory(), nullptr);
  EXPECT_EQ(fake.live(), 0);
  EXPECT_NE(Text(sink).find("Open NLA Solver kvs_fake_solver.dll unloaded"), std::string::npos)
      << Text(sink);
}

TEST(OpenSolverLoaders, FailuresSayWhyAndLeaveTheBuiltInMethods) {
  Fake fake;
  testsupport::CaptureSink sink;
  EXPECT_EQ(LoadOpenNLASolver("kvs_fake_empty.dll"), kKvsNotLoadable);
  EXPECT_NE(Text(sink).find("Load failed, kvs_fake_empty.dll does not contain an NLA Solver "
                            "Factory"),
            std::string::npos)
      << Text(sink);
  EXPECT_EQ(SelectGroupMethod(kMethodNonlinear40, 0), GroupMethodClass::kKVSSparseProxy);
  EXPECT_EQ(LoadOpenNLASolver("kvs_no_such_library.dll"), kKvsNotLoadable);
  EXPECT_NE(Text(sink).find("Load failed, kvs_no_such_library.dll could not be found"),
            std::string::npos)
      << Text(sink);
  fake.set(2, "_KVS_FAKE");
  EXPECT_EQ(LoadOpenNLPSolverForEstimation("kvs_fake_solver.dll"), kKvsWrongFactory);
  EXPECT_NE(Text(sink).find("Wrong interface implemented for NLPSystemFactory"), std::string::npos);
  EXPECT_EQ(OpenNLPFactory(kRunEstimation), nullptr);
}

TEST(OpenSolverLoaders, OptimiserDefaultsFollowTheComponentNameInAnyCase) {
  Fake fake;
  testsupport::CaptureSink sink;
  fake.set(0, "_kvs_dmo");
  EXPECT_EQ(LoadOpenNLPSolverForOptimisation("kvs_fake_solver.dll"), 0u);
  EXPECT_EQ(fake.parameter("OBJCVG"), 1e-4);
  EXPECT_EQ(fake.parameter("OptTol"), -1.0);
  EXPECT_EQ(OpenNLPSolverName(kRunOptimisation), "kvs_fake_solver.dll");
  fake.set(0, "_KVS_HypSqp");
  EXPECT_EQ(LoadOpenNLPSolverForEstimation("kvs_fake_solver.dll"), 0u);
  EXPECT_EQ(fake.parameter("OptTol"), 1e-4);
  platform::IUnknown* factory = OpenNLPFactory(kRunEstimation);
  ASSERT_NE(factory, nullptr);
  factory->Release();
  EXPECT_EQ(fake.live(), 2);
}

#endif

TEST(KvsServices, AllocatedTextsRoundTrip) {
#ifdef VANTOR_KVS_DIR
  AddDLLSearchPath(VANTOR_KVS_DIR);
  char* text = KvsServicesCopy("Indeterminate");
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "Indeterminate");
  EXPECT_EQ(TakeKvsText(text), "Indeterminate");
  EXPECT_EQ(LoadKvsServices(), 0u);
#else
  GTEST_SKIP() << "framework libraries not built";
#endif
}

#ifdef VANTOR_FAKE_KVS_DIR

#include "solve/open/kvs_proxies.h"
#include "tests/solve/group_support.h"
#include "tests/support/integrator_stand_in.h"

TEST(OpenNLASolver, ContinuationLibraryGetsItsSettingsAndIsCalledAgain) {
  Fake fake;
  grouptest::Options options;
  auto calls = reinterpret_cast<const char* (*)()>(dlsym(fake.handle, "KvsFakeCalls"));
  QLNCOpenNLASolver method;
  DAESSolverBlock block;
  EXPECT_EQ(method.Solve(&block, 0, 0, 0, nullptr), kOpenNLANoFactory);
  fake.set(0, "_KVS_CONTIN");
  ASSERT_EQ(LoadOpenNLASolver("kvs_fake_solver.dll"), 0u);
  EXPECT_EQ(method.Solve(&block, 0, 0, 0, nullptr), 0u);
  EXPECT_STREQ(calls(), "011");
  EXPECT_EQ(fake.parameter("SPARSE.IndetHandle"), 0.0);
  EXPECT_EQ(fake.parameter("SPARSE.IpConvInfo"), 0.0);
  EXPECT_EQ(fake.parameter("IndetHandle"), -1.0);
  // With an integrator: its auxiliary word and interpolation value.
  struct Interpolating final : testsupport::IntegratorStandIn {
    std::uint32_t GetAuxWord() override { return 5; }
    std::int32_t GetInterpolation() override { return 3; }
  } integrator;
  SetCurrentIntegrator(&integrator);
  EXPECT_EQ(method.Solve(&block, 0, 0, 0, nullptr), 0u);
  SetCurrentIntegrator(nullptr);
  EXPECT_EQ(fake.parameter("SPARSE.IndetHandle"), 5.0);
  EXPECT_EQ(fake.parameter("SPARSE.IpConvInfo"), 3.0);
  // Another name: no settings.
  fake.set(0, "_KVS_OTHER");
  ASSERT_EQ(LoadOpenNLASolver("kvs_fake_solver.dll"), 0u);
  DAESSolverBlock other;
  EXPECT_EQ(method.Solve(&other, 0, 0, 0, nullptr), 0u);
  EXPECT_EQ(fake.parameter("SPARSE.IndetHandle"), -1.0);
  block.Reset();
  other.Reset();
}

TEST(OpenNLASolver, SparseLibraryAsTheOpenSolverSolvesANonlinearGroup) {
#ifdef VANTOR_KVS_DIR
  grouptest::Options options;
  options.Real(0, 1e-13);
  options.SetInt(24, 50);
  for (auto [n, v] : {std::pair{8, 0.1}, {9, 0.9}, {10, 1.0}, {12, 1e-14}, {13, 1e6}}) {
    options.Real(n, v);
  }
  AddDLLSearchPath(VANTOR_KVS_DIR);
  testsupport::CaptureSink sink;
  ASSERT_EQ(LoadOpenNLASolver("kvs_sparse.dll"), 0u);
  using daestest::mw::Add;
  using daestest::mw::Mul;
  using daestest::mw::Real;
  using daestest::mw::Var;
  grouptest::Model m([](daestest::Writer& w) {
    w.List(2);
    w.Item(daestest::mw::kRealVariable);
    w.Placement({{2, "B"}, {1, ".x"}});
    w.Value(1.0), w.End();
    w.Item(daestest::mw::kInlineEquation), w.U32(0);
    w.Expression(Add(Mul(Var(0), Var(0)), Real(-4.0)));
    w.Placement({{2, "B"}, {2, ".e"}});
    w.EquationHead(1), w.Reference({2, 1});
  });
  QLNCOpenNLASolver method;
  EXPECT_EQ(method.Solve(m.run.get(), 0, 0, 0, nullptr), 0u);
  EXPECT_NEAR(m.Values()[0], 2.0, 1e-12);
  // The block holds the library's system object: let it go while the
  // library is still loaded.
  m.run->Reset();
  ClearOpenSolvers();
#else
  GTEST_SKIP() << "framework libraries not built";
#endif
}

#endif

#ifdef VANTOR_FAKE_KVS_DIR

#include <cfenv>

#include "platform/fault_guard.h"
#include "solve/open/kvs_guard.h"
#include "tests/support/fault_tests.h"

TEST(OpenNLASolver, FaultInsideTheLibraryEndsTheSolveAndTheEngineGoesOn) {
  VANTOR_SKIP_FAULTS_UNDER_ASAN();
  platform::InstallFaultHandlers();
  Fake fake;
  grouptest::Options options;
  testsupport::CaptureSink sink;
  fake.set(0, "_KVS_FAKE");
  ASSERT_EQ(LoadOpenNLASolver("kvs_fake_solver.dll"), 0u);
  fake.set(3, "_KVS_FAKE");
  std::fenv_t before;
  std::fegetenv(&before);
  QLNCOpenNLASolver method;
  DAESSolverBlock block;
  EXPECT_EQ(method.Solve(&block, 0, 0, 0, nullptr), kOpenNLAFailed);
  EXPECT_NE(Text(sink).find("An exception (code 0xc0000005 - access violation) occurred"),
            std::string::npos)
      << Text(sink);
  EXPECT_EQ(std::fetestexcept(FE_ALL_EXCEPT), 0);
  // The engine goes on: the next solve runs normally.
  fake.set(0, "_KVS_FAKE");
  EXPECT_EQ(method.Solve(&block, 0, 0, 0, nullptr), 0u);
  block.Reset();
}

#endif

TEST(KvsGuard, ExceptionTexts) {
  EXPECT_EQ(KvsExceptionText(0xC000008Eu),
            "An exception (code 0xc000008e - floating point divide by zero) occurred");
  EXPECT_EQ(KvsExceptionText(0xC0000093u), "An exception (code 0xc0000093) occurred");
}

#ifdef VANTOR_FAKE_KVS_DIR

class FakeNonLinProxy final : public QLNKVSNonLinProxy {
 public:
  const char* LibraryName() const override { return "kvs_fake_solver.dll"; }
};

TEST(OpenNonlinearProxy, LibraryFailuresBecomeTheProxyStatuses) {
  Fake fake;
  grouptest::Options options;
  options.SetInt(kOptPrintLevel, 2);
  testsupport::CaptureSink sink;
  FakeNonLinProxy proxy;
  DAESSolverBlock block;
  block.SetGroupNumber(7);
  EXPECT_EQ(proxy.Solve(&block, 0, 0, 0, nullptr), 0u);
  fake.set(4, "_KVS_FAKE");
  EXPECT_EQ(proxy.Solve(&block, 0, 0, 0, nullptr), kKvsProxyFailed);
  fake.set(5, "_KVS_FAKE");
  EXPECT_EQ(proxy.Solve(&block, 0, 0, 0, nullptr), kKvsNonlinearFailed);
  EXPECT_NE(Text(sink).find("Group 7: Nonlinear solver failed."), std::string::npos) << Text(sink);
  block.Reset();
}

#endif

#ifdef VANTOR_KVS_DIR

TEST(OpenLinearProxy, FactoriseOnlyReportsASingularMatrix) {
  AddDLLSearchPath(VANTOR_KVS_DIR);
  grouptest::Options options;
  using daestest::mw::Add;
  using daestest::mw::Mul;
  using daestest::mw::Real;
  using daestest::mw::Var;
  grouptest::Model m([](daestest::Writer& w) {
    w.List(4);
    for (std::uint32_t k = 0; k < 2; ++k) {
      w.Item(daestest::mw::kRealVariable);
      w.Placement({{2, "B"}, {k + 1, ".x" + std::to_string(k)}});
      w.Value(1.0), w.End();
    }
    for (std::uint32_t k = 0; k < 2; ++k) {
      w.Item(daestest::mw::kInlineEquation), w.U32(0);
      w.Expression(Add(Var(0), Var(1)));
      w.Placement({{2, "B"}, {k + 3, ".e" + std::to_string(k)}});
      w.EquationHead(2), w.Reference({2, 1}), w.Reference({2, 2});
    }
  });
  QLNKVSSluProxy proxy;
  const std::int64_t* rows = nullptr;
  const std::int64_t* cols = nullptr;
  ASSERT_EQ(m.run->BuildStructure(&rows, &cols, nullptr, 0), 0u);
  std::vector<double> ones(m.run->StructureSize(), 1.0);
  KVSLASystem* system = nullptr;
  EXPECT_EQ(proxy.Factorise(m.run.get(), ones.data(), &system), kKvsFactoriseSingular);
  EXPECT_EQ(proxy.Rank(), 1);
  // Regular values: factorised, and a right-hand side solves.
  std::vector<double> regular(ones);
  for (std::uint32_t p = 0; p < m.run->StructureSize(); ++p) {
    if (rows[p] == cols[p]) regular[p] = 3.0;
  }
  EXPECT_EQ(proxy.Factorise(m.run.get(), regular.data(), &system), 0u);
  const double rhs[] = {4.0, 4.0};
  double x[2] = {0.0, 0.0};
  EXPECT_EQ(proxy.SolveWith(system, rhs, x), 0u);
  EXPECT_NEAR(x[0], 1.0, 1e-12);
  EXPECT_NEAR(x[1], 1.0, 1e-12);
}

#endif
