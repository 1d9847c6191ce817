// The integrator server's steady state and initialisation through its COM
// interface, with the decomposition server behind a fake executive; the
// solutions against a whole-system Newton solve with LAPACK.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "platform/registry.h"
#include "tests/outside/integrator_fixture.h"
#include "tests/outside/server_models.h"
#include "tests/support/registry_file.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

extern "C" void dgesv_(const int* n, const int* nrhs, double* a, const int* lda, int* ipiv,
                       double* b, const int* ldb, int* info);

namespace {

using namespace server_test;

// {AC1847BA-...}: the class the registry names for the ProgID.
class IntegratorServer : public IntegratorFixture {
 protected:
  void Detach() {
    server_->ReleaseProblem();
    group_->Release();
    EXPECT_EQ(exec_->Release(), 0u);
    group_ = nullptr;
    exec_ = nullptr;
  }
  void Attach(Model* model) {
    group_ = new FakeProblemGroup(model);
    group_->AddRef();
    exec_ = new FakeExecutive(model);
    exec_->AddRef();
    ASSERT_EQ(server_->SetUp(group_, exec_), 0u);
  }
};

// Newton on the whole system (unknowns: the non-fixed states and algebraic
// variables) with LAPACK's dgesv.
std::vector<double> WholeSystemNewton(Model m) {
  std::vector<std::size_t> unknowns;
  for (std::size_t v = 0; v < m.types.size(); ++v) {
    if ((m.types[v] & 0x60) != 0x60 && (m.types[v] & 0x3) != 0) unknowns.push_back(v);
  }
  const int n = static_cast<int>(unknowns.size());
  for (int it = 0; it < 100; ++it) {
    std::vector<double> f(static_cast<std::size_t>(n)), a(static_cast<std::size_t>(n * n));
    double norm = 0;
    for (int i = 0; i < n; ++i) {
      f[static_cast<std::size_t>(i)] = -m.Residual(i);
      norm = std::max(norm, std::fabs(f[static_cast<std::size_t>(i)]));
    }
    if (norm < 1e-15) break;
    for (int j = 0; j < n; ++j) {
      double& x = m.values[unknowns[static_cast<std::size_t>(j)]];
      const double save = x, h = 1e-7 * std::max(1.0, std::fabs(save));
      x = save + h;
      for (int i = 0; i < n; ++i)
        a[static_cast<std::size_t>(i + j * n)] =
            (-m.Residual(i) - f[static_cast<std::size_t>(i)]) / -h;
      x = save;
    }
    std::vector<int> pivots(static_cast<std::size_t>(n));
    int one = 1, info = 0;
    dgesv_(&n, &one, a.data(), &n, pivots.data(), f.data(), &n, &info);
    EXPECT_EQ(info, 0);
    for (int j = 0; j < n; ++j)
      m.values[unknowns[static_cast<std::size_t>(j)]] += f[static_cast<std::size_t>(j)];
  }
  return m.values;
}

TEST_F(IntegratorServer, SteadyStateMatchesWholeSystemNewton) {
  Mixed x;
  const std::vector<double> reference = WholeSystemNewton(x.m);
  VARIANT tearing = IntValue(1);
  ASSERT_EQ(server_->SetOption(97, tearing), 0u);
  Attach(&x.m);
  ASSERT_EQ(server_->RunControl(kRunControlSteadyState), 0u);
  double reached = -1;
  ASSERT_EQ(server_->Initialise(&reached, 5.0, kIntegratorStart, 0), 0u);
  EXPECT_EQ(reached, 0.0);
  for (std::size_t v = 0; v < reference.size(); ++v) {
    EXPECT_NEAR(x.m.values[v], reference[v], 1e-10 * std::max(1.0, std::fabs(reference[v])))
        << "variable " << v;
  }
  // Explicit, linear, nonlinear and torn groups, attached as the steady-state solver.
  ASSERT_NE(exec_->slots[0], nullptr);
  std::vector<std::int32_t> types;
  for (auto* g : exec_->last_decomposition->groups) types.push_back(g->type);
  EXPECT_EQ(types, (std::vector<std::int32_t>{1, 3, 6, 7}));
  // A second solve reuses the decomposition.
  ASSERT_EQ(server_->Initialise(&reached, 0.0, kIntegratorStart, 0), 0u);
  EXPECT_EQ(exec_->decomposers_made, 1);
}

// A generated flowsheet with nonlinear couplings: many groups of every size,
// solved in order, against the whole-system solve.
TEST_F(IntegratorServer, GeneratedFlowsheetMatchesWholeSystemNewton) {
  Model m = Flowsheet(40, 5);
  std::mt19937_64 rng(9);
  std::uniform_real_distribution<double> constant(-1.0, 1.0);
  for (auto& eq : m.equations) {
    // x_own + 0.25 sum sin(x_other) = c: a contraction, so one root.
    const std::vector<std::int32_t> vars = eq.variables;
    const double c = constant(rng);
    eq.kinds.assign(vars.size(), 3);
    eq.kinds[0] = 1;
    eq.residual = [vars, c](const V& x) {
      double r = x[static_cast<std::size_t>(vars[0])] - c;
      for (std::size_t k = 1; k < vars.size(); ++k)
        r += 0.25 * std::sin(x[static_cast<std::size_t>(vars[k])]);
      return r;
    };
  }
  std::fill(m.values.begin(), m.values.end(), 0.0);
  const std::vector<double> reference = WholeSystemNewton(m);
  Attach(&m);
  double reached = 0;
  ASSERT_EQ(server_->Initialise(&reached, 0.0, kIntegratorStart, 0), 0u);
  std::size_t coupled = 0;
  for (auto* g : exec_->last_decomposition->groups) coupled += g->equations.size() > 1 ? 1 : 0;
  EXPECT_GT(coupled, 2u);
  for (std::size_t v = 0; v < reference.size(); ++v) {
    EXPECT_NEAR(m.values[v], reference[v], 1e-10 * std::max(1.0, std::fabs(reference[v])));
  }
}

TEST_F(IntegratorServer, TankSteadyStateAndInitialisation) {
  Tank t;
  t.m.values[static_cast<std::size_t>(t.dh)] = 7.0;
  Attach(&t.m);
  double reached = -1;
  ASSERT_EQ(server_->Initialise(&reached, 0.0, kIntegratorStart, 0), 0u);
  // qout = qin, h = (qin / 0.5)^2; the derivative fixed at 0 first.
  EXPECT_NEAR(t.m.values[static_cast<std::size_t>(t.h)], 36.0, 1e-10);
  EXPECT_EQ(t.m.values[static_cast<std::size_t>(t.dh)], 0.0);

  t.m.values[static_cast<std::size_t>(t.h)] = 16.0;
  ASSERT_EQ(server_->Initialise(&reached, 2.5, kIntegratorInitialiseAt, 0), 0u);
  EXPECT_EQ(reached, 2.5);
  ASSERT_EQ(exec_->times.size(), 1u);
  EXPECT_EQ(exec_->times[0], 2.5);
  EXPECT_EQ(t.m.values[static_cast<std::size_t>(t.h)], 16.0);  // a state stays
  EXPECT_NEAR(t.m.values[static_cast<std::size_t>(t.qout)], 2.0, 1e-12);
  EXPECT_NEAR(t.m.values[static_cast<std::size_t>(t.dh)], 0.5, 1e-12);
  ASSERT_NE(exec_->slots[1], nullptr);
  // Re-initialisation after a change of state.
  t.m.values[static_cast<std::size_t>(t.h)] = 4.0;
  ASSERT_EQ(server_->Initialise(&reached, 3.0, kIntegratorReinitialiseAt, 0), 0u);
  EXPECT_NEAR(t.m.values[static_cast<std::size_t>(t.dh)], 1.0, 1e-12);
}

TEST_F(IntegratorServer, SingularModelAndFailingGroupGiveDecompositionStatuses) {
  Singular s;
  Attach(&s.m);
  double reached = 0;
  EXPECT_EQ(server_->Initialise(&reached, 0.0, kIntegratorStart, 0), kDecompositionSingular);
  EXPECT_EQ(exec_->slots[0], nullptr);
  Detach();

  // x^2 + 1 = 0 has no real root: the group fails.
  Model m;
  const std::int32_t x = m.AddVariable(kAlgebraic, 1.0);
  m.AddEquation({x}, {3}, [](const V& v) { return v[0] * v[0] + 1.0; });
  Attach(&m);
  EXPECT_EQ(server_->Initialise(&reached, 0.0, kIntegratorStart, 0), kDecompositionGroupFailed);
}

TEST_F(IntegratorServer, StepQuantityOnlyInsideAStep) {
  double reached = -1;
  EXPECT_EQ(server_->Initialise(&reached, 1.0, kIntegratorIntegrateTo, 0), 0xC0FF0002u);
  Tank t;
  Attach(&t.m);
  double v = 1;
  EXPECT_EQ(server_->GetValue(&v), 0x80FF0006u);
  EXPECT_EQ(Text(0x80FF0006u), "The integrator server has no integration step in progress");
  // A state exchange outside a corrector solve changes nothing.
  const std::int32_t h = t.h;
  double value = 9;
  EXPECT_EQ(server_->ExchangeStates(1, &h, &value), 0x80FF0006u);
  EXPECT_EQ(server_->Finish(), 0u);
  EXPECT_EQ(server_->Finish(), 0u);  // twice in a row is fine
}

TEST_F(IntegratorServer, OptionsArePublishedAndReceived) {
  void* p = nullptr;
  ASSERT_EQ(server_->GetInterface(IID_IOptionEnumerator2, &p), 0u);
  auto* e = static_cast<IOptionEnumerator2*>(p);
  std::vector<std::uint32_t> numbers;
  OptionEntry batch[10];
  std::uint32_t fetched = 0;
  while (e->Next(10, batch, &fetched) == 0) {
    for (std::uint32_t i = 0; i < fetched; ++i) {
      numbers.push_back(batch[i].engine_number);
      EXPECT_EQ(batch[i].server_id, batch[i].engine_number);
      EXPECT_NE(batch[i].name[0], u'\0');
      const bool real = batch[i].engine_number == 130 || batch[i].engine_number == 150;
      if (real) {
        EXPECT_EQ(batch[i].vt, kVariantDouble);
      }
      if (batch[i].engine_number == 30) {
        EXPECT_EQ(batch[i].vt, kVariantInt32);
      }
      platform::CoTaskMemFree(batch[i].name);
    }
  }
  e->Release();
  std::vector<std::uint32_t> expected{24, 30, 97, 103};
  for (std::uint32_t n = 129; n <= 150; ++n) expected.push_back(n);
  expected.push_back(156);
  expected.push_back(169);
  EXPECT_EQ(numbers, expected);

  std::uint32_t word = 0;
  ASSERT_EQ(server_->GetCapabilities(&word), 0u);
  // Interpolation to communication times is on by default; the implicit
  // methods supply sensitivities, the explicit ones not. Implicit-event
  // state changes are always to be reported (bit value 2).
  EXPECT_EQ(word, 0x1u | 0x2u | 0x4u | 0x8u);
  ASSERT_EQ(server_->SetOption(134, IntValue(1)), 0u);
  ASSERT_EQ(server_->SetOption(143, IntValue(0)), 0u);
  ASSERT_EQ(server_->GetCapabilities(&word), 0u);
  EXPECT_EQ(word, 0x1u | 0x2u | 0x8u);
  ASSERT_EQ(server_->SetOption(30, IntValue(2)), 0u);
  ASSERT_EQ(server_->GetCapabilities(&word), 0u);
  EXPECT_EQ(word, 0x1u | 0x2u);

  EXPECT_EQ(server_->SetOption(130, IntValue(1)), 0x80FF0005u);  // a real sent as integer
  EXPECT_EQ(server_->SetOption(129, IntValue(6)), 0x80FF0005u);  // order beyond 5
  EXPECT_EQ(server_->SetOption(150, RealValue(1.0)), 0x80FF0005u);
  EXPECT_EQ(server_->SetOption(150, RealValue(0.25)), 0u);
  EXPECT_EQ(server_->SetOption(151, IntValue(0)), 0x80FF0004u);
  EXPECT_EQ(Text(0x80FF0004u), "The integrator server has no option with this id");
  VARIANT odd = IntValue(1);
  odd.vt = 8;
  EXPECT_EQ(server_->SetOption(24, odd), 0x80FF0005u);
  // Without a problem the item enumerator has no items.
  ASSERT_EQ(server_->GetInterface(IID_ISensitivityItemEnumerator, &p), 0u);
  SensitivityItem items[4];
  fetched = 9;
  EXPECT_EQ(static_cast<ISensitivityItemEnumerator*>(p)->Next(4, items, &fetched), 1u);
  EXPECT_EQ(fetched, 0u);
  static_cast<ISensitivityItemEnumerator*>(p)->Release();
}

TEST_F(IntegratorServer, BadArgumentsAndNullInterfacesAreRefused) {
  double reached = 0;
  EXPECT_EQ(server_->Initialise(&reached, 0.0, kIntegratorStart, 0), 0xC0FF0002u);
  EXPECT_EQ(server_->SetUp(nullptr, nullptr), 0x80FF0003u);
  Tank t;
  auto* group = new FakeProblemGroup(&t.m);
  group->AddRef();
  // The group is no executive.
  EXPECT_EQ(server_->SetUp(group, group), 0xC0FF000Au);
  group->Release();
  Attach(&t.m);
  EXPECT_EQ(server_->Initialise(nullptr, 0.0, kIntegratorStart, 0), 0x80FF0003u);
  EXPECT_EQ(server_->Initialise(&reached, 0.0, 9, 0), 0x80FF0003u);
  EXPECT_EQ(server_->Initialise(&reached, 0.0, kIntegratorStart, 2), 0x80FF0003u);
  EXPECT_EQ(server_->Initialise(&reached, -1.0, kIntegratorInitialiseAt, 0), 0x80FF0003u);
  EXPECT_EQ(server_->Initialise(&reached, NAN, kIntegratorInitialiseAt, 0), 0x80FF0003u);
  const std::int32_t positions[] = {0, 4};
  double values[] = {1, 2};
  EXPECT_EQ(server_->ExchangeStates(2, positions, values), 0x80FF0003u);
  EXPECT_EQ(server_->ExchangeStates(-1, positions, values), 0x80FF0003u);
  EXPECT_EQ(server_->ExchangeStates(1, nullptr, values), 0x80FF0003u);
  EXPECT_EQ(server_->SetMode(3, 1), 0x80FF0003u);
  EXPECT_EQ(server_->SetMode(kModeInterpolation, 1), 0u);
  EXPECT_EQ(server_->RunControl(2), 0x80FF0003u);
  EXPECT_EQ(server_->RunControl(kRunControlEnd), 0u);
  EXPECT_EQ(server_->GetCapabilities(nullptr), 0x80FF0003u);
  // Sensitivities were not asked for: no rows; unknown selectors refused.
  EXPECT_EQ(server_->GetSensitivityData(values, 1, 0, 1), 0x80070057u);
  EXPECT_EQ(server_->GetSensitivityData(values, 2, 0, 0), 0x80070057u);
  EXPECT_EQ(server_->GetSensitivityData(nullptr, 0, 1, 0), 0x80FF0003u);
  char16_t* text = reinterpret_cast<char16_t*>(values);
  EXPECT_EQ(server_->GetErrorText(0x80FE0002u, &text), 0x80FF0003u);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(server_->GetErrorText(0x80FF0003u, nullptr), 0x80FF0003u);
  void* none = nullptr;
  EXPECT_EQ(server_->QueryInterface(IID_IQLNDecomposer, &none), platform::E_NOINTERFACE);
  EXPECT_EQ(server_->QueryInterface(IID_IUnifiedIntegrator, nullptr), platform::E_POINTER);
  EXPECT_EQ(server_->PassThrough15(1, nullptr), 0u);
}

TEST_F(IntegratorServer, NewSetUpDropsTheOldDecompositions) {
  Tank t;
  Attach(&t.m);
  double reached = 0;
  ASSERT_EQ(server_->Initialise(&reached, 0.0, kIntegratorStart, 0), 0u);
  ASSERT_EQ(server_->Initialise(&reached, 1.0, kIntegratorInitialiseAt, 0), 0u);
  ASSERT_NE(exec_->slots[0], nullptr);
  // The problem was edited: the same group and executive again.
  ASSERT_EQ(server_->SetUp(group_, exec_), 0u);
  EXPECT_EQ(exec_->slots[0], nullptr);
  EXPECT_EQ(exec_->slots[1], nullptr);
  ASSERT_EQ(server_->Initialise(&reached, 0.0, kIntegratorStart, 0), 0u);
  EXPECT_EQ(exec_->decomposers_made, 3);
}

TEST_F(IntegratorServer, MissingDecompositionServerIsTheServersOwnStatus) {
  Tank t;
  Attach(&t.m);
  const testsupport::RegistryFile empty("[HKEY_CLASSES_ROOT\\Other]\n");  // names no server
  double reached = 0;
  const Status s = server_->Initialise(&reached, 0.0, kIntegratorStart, 0);
  EXPECT_EQ(s, 0xC0FF0008u);
  EXPECT_EQ(Text(s), "The decomposition server could not decompose the problem");
}

// The registry file the install writes names both servers under their
// ProgIDs and holds the compatibility key, empty. The servers are installed
// into a prefix of their own (the file is written at install time).
TEST(ServerRegistration, InstalledRegistryFileNamesBothServers) {
  testsupport::TempDir prefix;
  // Only the folder's own rules: the servers and the registry file.
  const std::string install = std::string(VANTOR_CMAKE_COMMAND) +
                              " -DCMAKE_INSTALL_LOCAL_ONLY=ON -DCMAKE_INSTALL_PREFIX='" +
                              prefix.path().string() + "' -P '" + VANTOR_OUTSIDE_INSTALL +
                              "' > /dev/null";
  ASSERT_EQ(std::system(install.c_str()), 0) << install;
  const std::string file = (prefix.path() / "etc/vantor/registry.ini").string();
  testsupport::ScopedEnv registry("VANTOR_REGISTRY", file.c_str());
  platform::CLSID decomposer{}, integrator{};
  ASSERT_EQ(platform::CLSIDFromProgID(u"Brunvald.Decomposer", &decomposer), 0u);
  ASSERT_EQ(platform::CLSIDFromProgID(u"Brunvald.UnifiedIntegrator", &integrator), 0u);
  EXPECT_NE(decomposer, integrator);
  for (const auto& clsid : {decomposer, integrator}) {
    const std::string key = "CLSID\\" + platform::GuidText(clsid) + "\\InprocServer32";
    platform::HKEY h = nullptr;
    ASSERT_EQ(platform::RegOpenKeyExA(platform::HKEY_CLASSES_ROOT, key.c_str(), 0,
                                      platform::KEY_READ, &h),
              platform::ERROR_SUCCESS);
    char path[512] = {};
    std::uint32_t size = sizeof path, type = 0;
    ASSERT_EQ(platform::RegQueryValueExA(h, nullptr, nullptr, &type,
                                         reinterpret_cast<std::uint8_t*>(path), &size),
              platform::ERROR_SUCCESS);
    EXPECT_EQ(std::string(path).rfind(prefix.path().string() + "/lib/vantor/vantor_", 0), 0u)
        << path;
    platform::RegCloseKey(h);
  }
  platform::HKEY compat = nullptr;
  ASSERT_EQ(platform::RegOpenKeyExA(platform::HKEY_LOCAL_MACHINE,
                                    "SOFTWARE\\Brunvald\\QVSystem\\38.0\\Compatibility\\KVS", 0,
                                    platform::KEY_READ, &compat),
            platform::ERROR_SUCCESS);
  std::uint32_t values = 9;
  ASSERT_EQ(platform::RegQueryInfoKeyA(compat, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                       &values, nullptr, nullptr, nullptr, nullptr),
            platform::ERROR_SUCCESS);
  // One version, the one whose product key the installation look-up reads;
  // as a ProgID suffix it names nothing, and the plain ProgIDs are found.
  EXPECT_EQ(values, 1u);
  std::string version;
  EXPECT_TRUE(platform::RegQueryText(compat, "1", 0, &version));
  EXPECT_EQ(version, "38.0");
  platform::RegCloseKey(compat);
  platform::CLSID suffixed{};
  EXPECT_NE(platform::CLSIDFromProgID(u"Brunvald.UnifiedIntegrator.38.0", &suffixed), 0u);
  platform::HKEY product = nullptr;
  ASSERT_EQ(platform::RegOpenKeyExA(platform::HKEY_LOCAL_MACHINE, "SOFTWARE\\Brunvald\\KVS\\38.0",
                                    0, platform::KEY_READ, &product),
            platform::ERROR_SUCCESS);
  EXPECT_TRUE(platform::RegQueryText(product, "KVSTOP", 0, &version));
  platform::RegCloseKey(product);
}

}  // namespace
