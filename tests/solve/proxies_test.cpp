// The proxies of the outside servers: fake servers in their own library,
// found through a test registry, show the search order, version levels,
// options, statuses and the call sequences; the real integrator and
// decomposition servers solve the tank's steady state through the proxy.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <tuple>

#include "daes/events/implicit_event.h"
#include "platform/com.h"
#include "platform/guid.h"
#include "solve/options/solver_option_table.h"
#include "solve/proxies/decomposer_proxy.h"
#include "solve/proxies/integrator_server_proxy.h"
#include "solve/proxies/sensitivity_calculator.h"
#include "solve/proxies/server_host.h"
#include "tests/solve/fakes/proxy_script.h"
#include "tests/solve/group_support.h"
#include "solve/linear/lsi.h"
#include "tests/support/capture_sink.h"
#include "tests/support/quiet_server_host.h"
#include "tests/support/registry_file.h"
#include "tests/support/scoped_env.h"

using namespace grouptest;

// From the run-mode header, whose steady-state constant clashes with the
// integrator server's run-control code of the same name.
std::int32_t GetSolutionPhase();
void SetSolutionPhase(std::int32_t phase);
std::int32_t GetRunMode();
void SetRunMode(std::int32_t mode);

namespace {

constexpr const char* kKey =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brunvald\\QVSystem\\38.0\\Compatibility\\KVS]\n";

proxyfake::Script& Script() {
  static proxyfake::Script* script = [] {
    void* lib = dlopen(VANTOR_PROXY_SERVERS, RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(lib, nullptr);
    auto f = reinterpret_cast<proxyfake::ScriptFunction>(dlsym(lib, "ProxyFakeScript"));
    return f();
  }();
  return *script;
}

std::string ClassText(const platform::CLSID& c) { return platform::GuidText(c); }

// ProgID -> class entries and the library behind every fake class.
std::string Registration(const std::string& key_section, const std::string& prog_ids) {
  std::string text = key_section + prog_ids;
  for (const platform::CLSID* c :
       {&proxyfake::kClass1, &proxyfake::kClass2, &proxyfake::kClass3, &proxyfake::kClass4}) {
    text += "[HKEY_CLASSES_ROOT\\CLSID\\" + ClassText(*c) +
            "\\InprocServer32]\n@ = " + VANTOR_PROXY_SERVERS + "\n";
  }
  return text;
}

std::string ProgId(const std::string& name, const platform::CLSID& c) {
  return "[HKEY_CLASSES_ROOT\\" + name + "\\CLSID]\n@ = " + ClassText(c) + "\n";
}

// The problem manager as the proxies see it; its executive makes real
// groups, decompositions and decomposer proxies.
class TestExecutive final : public IQLNESOFactory {
 public:
  Status QueryInterface(const platform::IID& iid, void** out) override {
    if (out == nullptr) return platform::E_INVALIDARG;
    *out = nullptr;
    if (iid != IID_IQLNESOFactory && iid != platform::IID_IUnknown) return platform::E_NOINTERFACE;
    *out = static_cast<IQLNESOFactory*>(this);
    AddRef();
    return 0;
  }
  std::uint32_t AddRef() override { return ++refs; }
  std::uint32_t Release() override { return --refs; }
  Status SetSimulationTime(double) override { return 0; }
  Status PostSolverMessage(Status, std::int32_t, const char* const*, std::int32_t,
                           void* const*) override {
    return 0;
  }
  Status SetNestedMode(std::int32_t) override { return 0; }
  Status CreateGroupTable(std::int32_t, const double*, const double*) override { return 0; }
  Status SetGroupValues(std::int32_t, const double*) override { return 0; }
  Status AttachSolverObject(platform::IUnknown*, std::int32_t) override { return 0; }
  Status DetachSolverObject(std::int32_t) override { return 0; }
  Status CheckCompiledEquations() override { return 0; }
  Status CreateDecomposerObject(platform::IUnknown** out) override {
    auto* proxy = new QLNDecomposerProxy();
    *out = static_cast<IQLNDecomposer*>(proxy);
    return 0;
  }
  Status CreateESOGroupObject(std::int32_t type, platform::IUnknown** out) override {
    return ::CreateESOGroupObject(type, out);
  }
  Status CreateDecompositionObject(platform::IUnknown** out) override {
    return ::CreateDecompositionObject(out);
  }
  std::uint32_t refs = 1;
};

class Host final : public QuietServerProxyHost {
 public:
  Host() { SetServerProxyHost(this); }
  ~Host() override { SetServerProxyHost(nullptr); }
  platform::IUnknown* Executive() override { return &executive; }
  bool PositiveCountTest() override { return positive; }
  void PreInitialise() override { ++pre_initialised; }
  TestExecutive executive;
  bool positive = false;
  int pre_initialised = 0;
};

class Proxies : public ::testing::Test {
 protected:
  void SetUp() override {
    Script().Reset();
    table_.SetText(151, "Fake.Int");
    table_.SetText(152, "Fake.Dec");
    table_.ApplyPendingChanges();
  }
  void TearDown() override { EXPECT_EQ(Script().live, 0); }
  bool Printed(const std::string& text) {
    for (const auto& line : sink_.lines()) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }
  std::vector<std::string>& Calls() { return Script().calls; }
  bool Called(const std::string& call) {
    return std::find(Calls().begin(), Calls().end(), call) != Calls().end();
  }

  SolverOptionTable table_;
  testsupport::CaptureSink sink_;
  Host host_;
  Model model_{daestest::Tank};
  testsupport::RegistryFile registry_{Registration(
      std::string(kKey) + "1 = a\n2 = b\n",
      ProgId("Fake.Int", proxyfake::kClass4) + ProgId("Fake.Int.38.0", proxyfake::kClass3) +
          ProgId("Fake.Int.b", proxyfake::kClass2) + ProgId("Fake.Dec", proxyfake::kClass4) +
          ProgId("Fake.Dec.38.0", proxyfake::kClass3) + ProgId("Fake.Dec.b", proxyfake::kClass2))};
};

TEST_F(Proxies, IntegratorProgIdSearchOrder) {
  {
    IntegratorServerProxy p(3);
    EXPECT_TRUE(p.HasServer());
    EXPECT_EQ(Script().made_by, 2);  // "a" has no class, "b" does
  }
  registry_.Rewrite(Registration(
      std::string(kKey) + "1 = a\n",
      ProgId("Fake.Int", proxyfake::kClass4) + ProgId("Fake.Int.38.0", proxyfake::kClass3)));
  {
    IntegratorServerProxy p(3);
    EXPECT_EQ(Script().made_by, 3);
  }
  registry_.Rewrite(Registration("", ProgId("Fake.Int", proxyfake::kClass4)));
  {
    IntegratorServerProxy p(3);
    EXPECT_EQ(Script().made_by, 4);
    EXPECT_TRUE(Printed(
        "Couldn't find registry key HKLM\\SOFTWARE\\Brunvald\\QVSystem\\38.0\\Compatibility\\KVS"));
  }
  registry_.Rewrite(Registration(kKey, ""));
  IntegratorServerProxy none(3);
  EXPECT_FALSE(none.HasServer());
  EXPECT_EQ(none.GetStatus(), 0xA000FFFFu);
  EXPECT_TRUE(
      Printed("Integrator server could not be started, registry entry \"Fake.Int\" not "
              "found"));
  EXPECT_EQ(none.Initialise(), 0xA000FFFFu);
  EXPECT_EQ(none.BeginRun(), kBeginRunFailed);
  EXPECT_EQ(none.EndRun(), kEndRunFailed);
}

TEST_F(Proxies, DecomposerSearchHasNoReleaseSuffix) {
  registry_.Rewrite(Registration(
      std::string(kKey) + "1 = a\n",
      ProgId("Fake.Dec", proxyfake::kClass4) + ProgId("Fake.Dec.38.0", proxyfake::kClass3)));
  auto* p = new QLNDecomposerProxy();
  EXPECT_EQ(Script().made_by, 4);
  EXPECT_EQ(p->Level(), 2u);
  EXPECT_EQ(p->Release(), 0u);
}

TEST_F(Proxies, DecomposerVersionLevels) {
  struct Case {
    std::u16string text;
    std::uint32_t level;
    bool warned;
    bool refused;
  };
  for (const Case& c :
       {Case{u"12", 1, true, false}, Case{u"11", 0, false, true}, Case{u"abc", 0, false, true},
        Case{u"13", 2, false, false}, Case{u"27", 2, false, false}}) {
    Script().Reset();
    std::copy(c.text.begin(), c.text.end(), Script().version);
    const std::size_t before = sink_.lines().size();
    auto* p = new QLNDecomposerProxy();
    EXPECT_EQ(p->Level(), c.level) << std::string(c.text.begin(), c.text.end());
    const auto lines = sink_.lines();
    const bool warned = before < lines.size() &&
                        lines[before].find("Warning: Found Decomposition Server version 12.") == 0;
    EXPECT_EQ(p->CreationStatus(), c.refused ? 0x80004002u : 0u);
    EXPECT_EQ(warned, c.warned);
    if (c.refused) {
      EXPECT_TRUE(Printed("is not supported by Fennick version 38.0"));
      IQLNDecomposition* out = nullptr;
      EXPECT_EQ(p->Decompose(nullptr, nullptr, 0, 0, 0, &out), 0x80004005u);
    }
    p->Release();
  }
  // All 24 characters used, no zero: read to the end of the buffer only.
  Script().Reset();
  std::fill(std::begin(Script().version), std::end(Script().version), u'9');
  auto* p = new QLNDecomposerProxy();
  EXPECT_EQ(p->Level(), 2u);
  p->Release();
}

TEST_F(Proxies, DecomposeFlagsAndExternalArithmetic) {
  auto* p = new QLNDecomposerProxy();
  IQLNDecomposition* out = nullptr;
  table_.SetInteger(153, 0);
  table_.ApplyPendingChanges();
  host_.positive = true;
  ASSERT_EQ(p->Decompose(nullptr, nullptr, 1, 2, 0x10, &out), 0u);
  table_.SetInteger(153, 1);
  table_.ApplyPendingChanges();
  ASSERT_EQ(p->Decompose(nullptr, nullptr, 1, 2, 0x10, &out), 0u);
  host_.positive = false;
  ASSERT_EQ(p->Decompose(nullptr, nullptr, 1, 2, 0x10, &out), 0u);
  EXPECT_EQ(Script().decompose_args,
            (std::vector<std::uint32_t>{1, 2, 0x14, 1, 2, 0x810, 1, 2, 0x10}));
  void* q = nullptr;
  EXPECT_EQ(p->QueryInterface(IID_IDecomposer, &q), 0u);
  EXPECT_EQ(q, static_cast<void*>(static_cast<IQLNDecomposer*>(p)));
  EXPECT_EQ(p->QueryInterface(IID_IDecomposer, nullptr), 0x80070057u);
  p->Release();
  EXPECT_EQ(p->Release(), 0u);

  using E = ExternalBlockDecomposer;
  EXPECT_EQ(E::ServerMode(0x80), 64u);
  EXPECT_EQ(E::ServerMode(0x83), 67u);
  EXPECT_EQ(E::ServerMode(0x5), 37u);
  EXPECT_EQ(E::ServerMode(0x10005), 5u);
  EXPECT_EQ(E::ServerMode(0x10085), 69u);
  EXPECT_EQ(E::ServerKind(0xF), 7u);
  EXPECT_EQ(E::ServerKind(0x10002), 18u);
  EXPECT_EQ(E::ServerFlags(0, 0, 0, false), 0u);
  EXPECT_EQ(E::ServerFlags(1, 1, 0, false), 1u);
  EXPECT_EQ(E::ServerFlags(1, 0, 0, true), 3u);
  EXPECT_EQ(E::ServerFlags(0, 1, 1, true), 0x1100u);
  EXPECT_EQ(E::ServerFlags(1, 1, 0, true), 257u);

  // Server failures seen from a torn block.
  for (const auto& [server, engine] :
       {std::pair{0xC0FE0001u, 0xA0310269u}, std::pair{0xC0FE0002u, 0xA031FFFFu},
        std::pair{0x80004005u, 0xA031FFFFu}}) {
    Script().decompose = server;
    DAESTornBlock torn;
    E decomposer(0x10001, 1, 0x80, 0, 0);
    Status s = 0;
    EXPECT_EQ(torn.DecomposeExternally(&decomposer, &s), nullptr);
    EXPECT_EQ(s, engine);
  }
  EXPECT_EQ(Script().decompose_args.back(), 1u);  // several groups allowed again
  EXPECT_EQ(Script().decompose_args[Script().decompose_args.size() - 2], 64u);
  EXPECT_EQ(Script().decompose_args[Script().decompose_args.size() - 3], 17u);
}

TEST_F(Proxies, ServerOptionsRegisterAndForward) {
  Script().options = {{"a", 130, 7, 5},    {"Integration.AbsErrorTol", 0, 8, 5},
                      {"b", 29, 9, 3},     {"c", 134, 10, 3},
                      {nullptr, 0, 11, 5}, {"Unknown.Option", 0, 12, 5},
                      {"d", 400, 13, 5},   {"e", 98, 14, 3},
                      {"f", 143, 15, 3},   {"g", 144, 16, 3},
                      {"h", 2, 17, 5}};
  IntegratorServerProxy p(3);
  EXPECT_TRUE(Called("next 10"));
  EXPECT_TRUE(Called("next 1"));
  EXPECT_EQ(p.Options().IdOf(130), 7u);
  EXPECT_EQ(p.Options().IdOf(131), 8u);
  EXPECT_EQ(p.Options().TypeOf(29), 3u);
  EXPECT_TRUE(Called("option 7 vt 5 1e-05"));  // the value at registration
  EXPECT_TRUE(Printed("Integrator option \"Unknown.Option\" is not known"));
  EXPECT_TRUE(Printed("Integrator option number 400 is out of range"));
  Calls().clear();
  table_.SetReal(130, 0.25);
  table_.SetInteger(98, 42);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"option 7 vt 5 0.25", "option 14 int 42"}));
  for (std::int32_t n : {134, 143, 144}) {
    Calls().clear();
    Script().capabilities = 0x2;
    table_.SetInteger(n, 1);
    EXPECT_TRUE(Called("caps")) << n;
    EXPECT_EQ(p.GetCapabilityBit2(), 1u);
    Script().capabilities = 0;
    table_.SetInteger(n, 0);
    EXPECT_EQ(p.GetCapabilityBit2(), 0u);
  }
}

TEST_F(Proxies, GarbageFromServersIsRefusedQuietly) {
  Script().options = {{"a", 130, 7, 5}};
  Script().negative_fetched = -5;
  {
    IntegratorServerProxy p(3);
    EXPECT_TRUE(p.HasServer());
  }
  Script().Reset();
  Script().null_enumerator = true;
  {
    IntegratorServerProxy p(3);
    EXPECT_TRUE(p.HasServer());
    auto* d = new QLNDecomposerProxy();
    EXPECT_EQ(d->Level(), 2u);
    d->Release();
  }
  Script().Reset();
  Script().options = {{"a", 130, 7, 17}};  // a type that carries no value
  IntegratorServerProxy p(3);
  Calls().clear();
  table_.SetReal(130, 0.5);
  EXPECT_TRUE(Calls().empty());
  // A server error text that is null with success.
  Script().error_text_null = true;
  Script().initialise = [](double*, double, std::int32_t) { return 0x80FF0003u; };
  EXPECT_EQ(p.Initialise(), 0x8000FFFFu);
  EXPECT_TRUE(Printed("Unified Integrator error 0x80ff0003"));
}

TEST_F(Proxies, RunControlAndStatuses) {
  IntegratorServerProxy p(3);
  ASSERT_TRUE(p.HasServer());
  const std::vector<std::pair<std::int32_t, std::vector<std::string>>> runs = {
      {1, {"run 0"}}, {4, {"run 1", "run 3"}}, {5, {"run 1"}}, {2, {"run 1", "run 3"}}};
  for (const auto& [mode, expected] : runs) {
    table_.SetInteger(29, mode);
    table_.ApplyPendingChanges();
    Calls().clear();
    EXPECT_EQ(p.BeginRun(), kBeginRunDone);
    EXPECT_EQ(Calls(), expected) << mode;
  }
  Script().run_control = 0x80000001u;
  table_.SetInteger(29, 4);
  table_.ApplyPendingChanges();
  Calls().clear();
  EXPECT_EQ(p.BeginRun(), kBeginRunFailed);
  EXPECT_EQ(Calls(), std::vector<std::string>{"run 1"});
  EXPECT_EQ(p.EndRun(), kEndRunFailed);
  Script().run_control = 0;
  EXPECT_EQ(p.EndRun(), 0u);

  Script().initialise = [](double* reached, double time, std::int32_t) {
    *reached = time * 0.5;
    return 1u;
  };
  double reached = 0;
  const int before = host_.pre_initialised;
  EXPECT_EQ(p.IntegrateTo(&reached, 4.0), kIntegratorDiscontinuityBefore);
  EXPECT_EQ(reached, 2.0);
  EXPECT_EQ(host_.pre_initialised, before + 1);
  EXPECT_EQ(Calls().back(), "init 3 4");

  Script().initialise = [](double*, double, std::int32_t) { return 0x80FE0003u; };
  EXPECT_EQ(p.InitialiseAt(1.0), 0x8000FFFFu);
  EXPECT_EQ(sink_.groups().back().status, 0u);
  EXPECT_EQ(sink_.lines().back(), "Out of memory in decomposer");
  Script().initialise = [](double*, double, std::int32_t) { return 0xC0FE0001u; };
  EXPECT_EQ(p.Reinitialise(2.0), 0xA000FFFFu);
  EXPECT_TRUE(Printed("Singular decomposition"));
  EXPECT_TRUE(Printed("Use the Check Legalilty/Index button on Specification Status"));
  Script().initialise = [](double*, double, std::int32_t) { return 0xC0FE0009u; };
  EXPECT_EQ(p.Initialise(), 0xA000FFFFu);
  EXPECT_TRUE(Printed("Unknown error from decomposer (0x9)"));
  Script().error_text = u"Step size too small";
  Script().initialise = [](double*, double, std::int32_t) { return 0x80FF0004u; };
  EXPECT_EQ(p.Initialise(), 0x8000FFFFu);
  EXPECT_EQ(sink_.lines().back(), "Step size too small");
  EXPECT_EQ(sink_.groups().back().status, 0xA000FFFFu);
  EXPECT_EQ(p.SetQuiet(true), 0u);
  EXPECT_EQ(p.Initialise(), 0x8000FFFFu);
  EXPECT_EQ(sink_.groups().back().status, 0u);

  Calls().clear();
  EXPECT_EQ(p.SetInterpolation(1), 0u);
  EXPECT_EQ(p.SetInterpolation(1), 0u);
  EXPECT_EQ(p.SetInterpolation(0), 0u);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"mode 1 1", "mode 1 0"}));
  Script().finish = 0x80000001u;
  EXPECT_EQ(p.Finish(), 0xA000FFFFu);
  Script().value = 0.125;
  EXPECT_EQ(p.GetServerValue(), 0.125);
  EXPECT_EQ(p.GetServerCount(), 0u);
  EXPECT_TRUE(p.IsKind1Or2() == false);
  EXPECT_FALSE(p.IsVerbose());
}

TEST_F(Proxies, StatesGoToTheServerByProblemPosition) {
  IntegratorServerProxy p(3);
  std::vector<std::int32_t> seen;
  Script().exchange = [&seen](std::int32_t n, const std::int32_t* positions, double* values) {
    seen.assign(positions, positions + n);
    for (std::int32_t i = 0; i < n; ++i) values[i] = 10.0 + i;
  };
  DAESVarTableEntry* h = model_.Named("T101.h");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(p.ExchangeGroupStates(model_.problem.get()), 0u);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], model_.problem->FindVariable(h) - 1);
  EXPECT_EQ(h->GetRealValue(), 10.0);
}

TEST_F(Proxies, DecomposerOptionsReachTheServer) {
  Script().options = {{"a", 130, 7, 5}, {"b", 98, 8, 3}};
  auto* p = new QLNDecomposerProxy();
  EXPECT_TRUE(Called("option 7 vt 5 1e-05"));
  Calls().clear();
  table_.SetReal(130, 0.5);
  table_.SetInteger(98, 7);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"option 7 vt 5 0.5", "option 8 int 7"}));
  p->Release();
  // Gone with the proxy: no more forwarding.
  Calls().clear();
  table_.SetReal(130, 0.75);
  EXPECT_TRUE(Calls().empty());

  // A version-12 server is reached through its older operation.
  Script().Reset();
  std::u16string twelve = u"12";
  std::copy(twelve.begin(), twelve.end(), Script().version);
  p = new QLNDecomposerProxy();
  IQLNDecomposition* out = nullptr;
  EXPECT_EQ(p->Decompose(nullptr, nullptr, 0, 0, 0, &out), 0u);
  EXPECT_TRUE(Called("decompose12"));
  p->Release();
}

TEST_F(Proxies, GroupLifecycleAndTime) {
  {
    IntegratorServerProxy p(1);
    EXPECT_TRUE(p.IsKind1Or2());
    EXPECT_TRUE(Called("setup"));
    Calls().clear();
    ASSERT_EQ(p.InitialiseAt(0.0), 0u);
    EXPECT_EQ(p.SynchroniseTime(), 0u);
    EXPECT_EQ(p.SynchroniseTime(), 0u);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"init 1 0", "time 0"}));
    Calls().clear();
    EXPECT_EQ(p.ReleaseServerGroup(), 0u);
    EXPECT_EQ(Calls(), std::vector<std::string>{"release"});
    // Rebuilt before the next use.
    EXPECT_EQ(p.Initialise(), 0u);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"release", "setup", "caps", "init 0 0"}));
    Script().set_up = 0x80FF0001u;
    Script().error_text = u"No problem";
    EXPECT_EQ(p.ProblemEdited(), 0xA000FFFFu);
    EXPECT_TRUE(Printed("No problem"));
    Calls().clear();
  }
  EXPECT_EQ(Calls(), std::vector<std::string>{"reset"});
}

TEST_F(Proxies, TornGroupAsksForItsSecondLevelByPhase) {
  Script().decompose = 0xC0FE0001u;
  const std::int32_t phase = GetSolutionPhase();
  const std::int32_t run_mode = GetRunMode();
  SetRunMode(1);
  TornSolve method;
  for (std::int32_t p : {0, 1, 2, 3}) {
    SetSolutionPhase(p);
    DAESTornBlock torn;
    Status out = 0;
    const Status s = method.Solve(&torn, 0, 0, 0, &out);
    if (p <= 2) {
      EXPECT_EQ(s, 0xA0310269u) << p;
    }
  }
  SetSolutionPhase(phase);
  SetRunMode(run_mode);
  // Phase 0 (3, 4, 128), phase 1 in a steady state (3, 0, 128), phase 2
  // (6, 0, 129); none in phase 3.
  EXPECT_EQ(Script().decompose_args, (std::vector<std::uint32_t>{3, 64, 1, 3, 64, 0, 6, 65, 0}));
}

// Event schedule whose one event lies at a scripted time.
class ScriptedSchedule final : public DAESEventSchedule {
 public:
  Status AnyEventChanged() override { return last >= event ? 1u : 0u; }
  std::uint32_t FirstFiringCount() override { return pending; }
  Status EvaluateAll() override {
    ++acted;
    return 0;
  }
  Status ReportChanges(double low, double high) override {
    bracket = {low, high};
    return 0;
  }
  double event = 0.0;
  double last = 0.0;
  std::uint32_t pending = 0;
  int acted = 0;
  std::pair<double, double> bracket;
};

TEST_F(Proxies, DiscontinuityIsBracketedByBisection) {
  IntegratorServerProxy p(3);
  ScriptedSchedule schedule;
  SetCurrentEventSchedule(&schedule);
  static ScriptedSchedule* current = nullptr;
  current = &schedule;
  static std::vector<std::int32_t> print_levels;
  print_levels.clear();
  Script().initialise = [](double* reached, double time, std::int32_t) {
    current->last = time;
    *reached = time;
    print_levels.push_back(SolverOptions::Instance()->GetInt(31));
    return 0u;
  };
  table_.SetInteger(31, 2);
  schedule.event = 0.3;
  schedule.pending = 1;
  double high = 1.0;
  Status out = 1;
  EXPECT_EQ(p.LocateDiscontinuity(0.0, &high, 1e-3, true, &out), 0u);
  EXPECT_EQ(out, 0u);
  EXPECT_LE(schedule.bracket.second - schedule.bracket.first, 1e-3);
  EXPECT_LT(schedule.bracket.first, 0.3);
  EXPECT_GE(schedule.bracket.second, 0.3);
  EXPECT_EQ(high, schedule.bracket.second);
  EXPECT_EQ(schedule.acted, 1);
  EXPECT_TRUE(Printed("after 10 bisections"));
  // Bisections at the level in force, then three evaluations at high with
  // the level forced to 0 except the pending one.
  ASSERT_EQ(print_levels.size(), 13u);
  EXPECT_EQ(print_levels[0], 2);
  EXPECT_EQ(print_levels[10], 0);
  EXPECT_EQ(print_levels[11], 2);
  EXPECT_EQ(print_levels[12], 0);
  EXPECT_EQ(SolverOptions::Instance()->GetInt(31), 2);

  // Already within the tolerance: no bisection, still finalised.
  print_levels.clear();
  schedule.pending = 0;
  high = 0.3005;
  EXPECT_EQ(p.LocateDiscontinuity(0.3, &high, 1e-3, true, &out), 0u);
  EXPECT_TRUE(Printed("Model discontinuity located between 0.3 and 0.3005, after 0 bisections"));
  EXPECT_EQ(print_levels.size(), 2u);

  // A zero tolerance stops at 60 bisections.
  print_levels.clear();
  high = 1.0;
  EXPECT_EQ(p.LocateDiscontinuity(0.0, &high, 0.0, false, &out), 0u);
  EXPECT_EQ(print_levels.size(), 61u);
  SetCurrentEventSchedule(nullptr);
}

class TankSensitivities final : public QLNSensitivityCalculator {
 public:
  double StepQuantity() override { return step; }
  double step = 1.0;
  // The integrator's row by problem variable; left as it was when empty.
  std::vector<double> server_row;
  Status ServerRow(double* values, std::int32_t) override {
    std::copy(server_row.begin(), server_row.end(), values);
    return 0;
  }
  Status ServerInitialRow(double*) override { return 0; }
  Status ServerExtraRow(double*) override { return 0; }
  Status ServerInterface(const void*, void**) override { return 0; }
};

class Manager final : public SensitivityManagerFace {
 public:
  Manager() { SetSensitivityManagerFace(this); }
  ~Manager() override { SetSensitivityManagerFace(nullptr); }
  Status PrepareStorage() override { return 0; }
  std::int32_t VariableCount() override { return static_cast<std::int32_t>(variables.size()); }
  DAESVarTableEntry* Variable(std::int32_t i) override { return variables[i]; }
  std::int32_t EntryCount() override { return static_cast<std::int32_t>(entries.size()); }
  DAESVarTableEntry* Entry(std::int32_t j) override { return entries[j]; }
  Status Store(std::int32_t entry, DAESVarTableEntry* variable, double value,
               std::int32_t element) override {
    stored[std::make_tuple(entry, variable, element)] = value;
    return 0;
  }
  double At(std::int32_t entry, DAESVarTableEntry* variable) {
    return stored[std::make_tuple(entry, variable, 0)];
  }
  Status RecordDelayed(std::int32_t entry, DAESVarTableEntry* variable, double,
                       double value) override {
    delayed[std::make_pair(entry, variable)] = value;
    return 0;
  }
  std::map<std::pair<std::int32_t, DAESVarTableEntry*>, double> delayed;
  Status StoreRow(std::int32_t row, DAESVarTableEntry* variable, double value) override {
    rows[std::make_pair(row, variable)] = value;
    return 0;
  }
  std::int32_t SwitchingRowCount() override { return switching_rows; }
  bool FinalTimeRow() override { return final_time_row; }
  std::int32_t MatrixRowCount() override {
    return matrix_rows >= 0 ? matrix_rows : SensitivityManagerFace::MatrixRowCount();
  }
  std::int32_t ControlElements() override { return elements; }
  std::int32_t SwitchingElements() override { return switching_elements; }
  std::int32_t InterpolationKind() override { return linear ? 1 : 0; }
  void IntervalTimes(double* start, double* end) override {
    *start = 0.0;
    *end = 1.0;
  }
  void ControlValues(std::int32_t, double* start, double* end) override {
    *start = 0.4;
    *end = 0.6;
  }
  std::int32_t CurrentInterval() override { return interval; }
  std::vector<DAESVarTableEntry*> variables;
  std::vector<DAESVarTableEntry*> entries;
  std::int32_t elements = 1;
  std::int32_t interval = 1;
  std::int32_t switching_rows = 0;
  std::int32_t switching_elements = 0;
  bool linear = false;
  std::int32_t matrix_rows = -1;
  bool final_time_row = false;
  std::map<std::pair<std::int32_t, DAESVarTableEntry*>, double> rows;
  std::map<std::tuple<std::int32_t, DAESVarTableEntry*, std::int32_t>, double> stored;
};

// Row k of the fake server holds 100 (k + 1) + position; the extra row
// -1 - position.
Status FillRows(double* values, std::int32_t a, std::int32_t b, std::int32_t index,
                std::int32_t n) {
  for (std::int32_t i = 0; i < n; ++i) {
    values[i] = a == 1 && b == 1 ? -1.0 - i : 100.0 * index + i;
  }
  return 0;
}

TEST_F(Proxies, SensitivitiesTravelFromServerToManager) {
  IntegratorServerProxy p(3);
  Manager manager;
  DAESProblem* problem = model_.problem.get();
  const std::int32_t n = problem->VariableCount();
  DAESVarTableEntry* h = model_.Named("T101.h");
  DAESVarTableEntry* out = model_.Named("T101.F_out");
  DAESVarTableEntry* k = daestest::Entry(model_.tree.At({2, 4}));
  DAESVarTableEntry* a = daestest::Entry(model_.tree.At({2, 5}));
  ASSERT_TRUE(h != nullptr && out != nullptr && k != nullptr && a != nullptr);
  const std::int32_t ph = problem->FindVariable(h) - 1;
  const std::int32_t po = problem->FindVariable(out) - 1;
  h->SetFlags(0x200);
  // a is a control of two elements: rows a.0, a.1, k; two switching rows,
  // the last the final time.
  a->SetFlags(0x200000);
  manager.entries = {a, k};
  manager.elements = 2;
  manager.switching_rows = 2;
  manager.final_time_row = true;
  Script().sensitivity_data = [n](double* v, std::int32_t x, std::int32_t y, std::int32_t i) {
    return FillRows(v, x, y, i, n);
  };
  // F_out's item is flagged but the engine's variable is not: not stored.
  for (std::int32_t i = 0; i < n; ++i) {
    Script().items.push_back({i == ph || i == po ? 0x200u : 0u, i});
  }
  Calls().clear();
  EXPECT_EQ(p.TransferSensitivities(1.0), 0u);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"sens 1 0 1", "sens 1 0 2", "sens 1 0 3",
                                               "sens 1 0 4", "sens 1 0 5", "sens 1 1 0"}));
  EXPECT_EQ((manager.stored[std::make_tuple(0, h, 0)]), 100.0 + ph);
  EXPECT_EQ((manager.stored[std::make_tuple(0, h, 1)]), 200.0 + ph);
  EXPECT_EQ((manager.stored[std::make_tuple(1, h, 0)]), 300.0 + ph);
  EXPECT_EQ((manager.rows[std::make_pair(0, h)]), 400.0 + ph);
  EXPECT_EQ((manager.rows[std::make_pair(1, h)]), -1.0 - ph);
  EXPECT_EQ(manager.stored.count(std::make_tuple(0, out, 0)), 0u);
  EXPECT_EQ(manager.stored.size(), 3u);

  // Garbage: an item out of place, a refused row, an endless enumerator,
  // an overlong batch, no enumerator, counts that do not agree.
  Script().items[static_cast<std::size_t>(ph)].position = ph + 1;
  EXPECT_EQ(p.TransferSensitivities(1.0), kSensitivityTransferFailed);
  EXPECT_TRUE(Printed("Sensitivity item out of place"));
  Script().items[static_cast<std::size_t>(ph)].position = ph;
  Script().sensitivity_data = [](double*, std::int32_t, std::int32_t, std::int32_t) {
    return 0x80FF0007u;
  };
  Script().error_text = u"No sensitivities here";
  EXPECT_EQ(p.TransferSensitivities(1.0), 0x8000FFFFu);
  EXPECT_TRUE(Printed("No sensitivities here"));
  Script().sensitivity_data = nullptr;
  Script().endless_items = true;
  h->ClearFlags(0x200);
  EXPECT_EQ(p.TransferSensitivities(1.0), 0u);
  Script().endless_items = false;
  Script().items_fetched_override = 33;
  EXPECT_EQ(p.TransferSensitivities(1.0), kSensitivityTransferFailed);
  EXPECT_TRUE(Printed("Integrator server gave too many sensitivity items"));
  Script().items_fetched_override = 0;
  Script().no_items = true;
  EXPECT_EQ(p.TransferSensitivities(1.0), kSensitivityTransferFailed);
  EXPECT_TRUE(Printed("Integrator server gave no sensitivity items"));
  Script().no_items = false;
  p.ResetServer();
  manager.matrix_rows = 2;
  EXPECT_EQ(p.TransferSensitivities(1.0), kSensitivityTransferFailed);
  EXPECT_TRUE(Printed("Sensitivity parameter elements do not match the sensitivity rows"));
  manager.matrix_rows = -1;
  manager.switching_rows = -1;
  EXPECT_EQ(p.TransferSensitivities(1.0), kSensitivityTransferFailed);
  EXPECT_TRUE(Printed("Sensitivity row counts out of range"));
  a->ClearFlags(0x200000);
}

#ifdef VANTOR_BUILD_REGISTRY
// The real integrator and decomposition servers, found through the build
// tree's registry, over the tank.
class RealServers : public ::testing::Test {
 protected:
  DAESVarTableEntry* Named(const std::string& name) {
    DAESVarTableEntry* v = model_.Named(name);
    EXPECT_NE(v, nullptr) << name;
    return v;
  }
  // The tank's parameters by id: 4 is k, 5 is A.
  DAESVarTableEntry* Parameter(std::uint32_t id) {
    DAESVarTableEntry* v = daestest::Entry(model_.tree.At({2, id}));
    EXPECT_NE(v, nullptr) << id;
    return v;
  }
  // A steady state asks for the level: free, not an initial value.
  DAESVarTableEntry* FreeLevel(double value) {
    DAESVarTableEntry* h = Named("T101.h");
    if (h != nullptr) {
      h->SetSpec(daes::kSpecFree);
      h->SetValue(value);
    }
    return h;
  }
  void SetPrintLevel(std::int32_t level) {
    table_.SetInteger(31, level);
    table_.ApplyPendingChanges();
  }
  // The problem's variables by position in the integrator's two arrays:
  // derivatives in the second, the others in the first.
  std::map<DAESVarTableEntry*, std::size_t> ArrayColumns(std::size_t* n1, std::size_t* n2) {
    std::map<DAESVarTableEntry*, std::size_t> column;
    *n1 = *n2 = 0;
    DAESProblem* problem = model_.problem.get();
    for (std::int32_t i = 0; i < problem->VariableCount(); ++i) {
      DAESVarTableEntry* v = problem->GetVariable(i);
      column[v] = (v->GetFlags() & 0x4) != 0 ? (*n2)++ : (*n1)++;
    }
    return column;
  }

  testsupport::ScopedEnv registry_{"VANTOR_REGISTRY", VANTOR_BUILD_REGISTRY};
  SolverOptionTable table_;
  Methods methods_;
  Host host_;
  Model model_{daestest::Tank};
};

bool HasLine(const testsupport::CaptureSink& sink, const std::string& text) {
  return std::find(sink.lines().begin(), sink.lines().end(), text) != sink.lines().end();
}

// The real integrator server through the proxy, over the real groups and
// decomposition server: the tank's steady state.
TEST_F(RealServers, TankSteadyStateThroughTheProxy) {
  table_.SetInteger(29, 1);
  table_.ApplyPendingChanges();
  DAESVarTableEntry* h = FreeLevel(1.69);
  ASSERT_NE(h, nullptr);
  IntegratorServerProxy proxy(3);
  ASSERT_TRUE(proxy.HasServer());
  ASSERT_EQ(proxy.GetStatus(), 0u);
  EXPECT_EQ(proxy.BeginRun(), kBeginRunDone);
  ASSERT_EQ(proxy.Initialise(), 0u);
  // F_out = k sqrt(h) = F_in at rest: h = (F_in / k)^2 from any start.
  DAESVarTableEntry* out = Named("T101.F_out");
  ASSERT_NE(out, nullptr);
  EXPECT_NEAR(out->GetRealValue(), 0.5, 1e-9);
  EXPECT_NEAR(h->GetRealValue(), 1.0, 1e-8);
  EXPECT_EQ(proxy.EndRun(), 0u);
  // What the solvers are told through the integrator face: the auxiliary
  // word the engine keeps (1 to start) and the interpolation value last set.
  UnifiedIntegratorProxy& face = proxy;
  EXPECT_EQ(face.GetAuxWord(), 1u);
  EXPECT_EQ(face.GetInterpolation(), 0);
  EXPECT_FALSE(face.ShouldAnnounce(nullptr));
  proxy.SetAuxWord(4);
  EXPECT_EQ(proxy.SetInterpolation(1), 0u);
  EXPECT_EQ(face.GetAuxWord(), 4u);
  EXPECT_EQ(face.GetInterpolation(), 1);
}
// The same servers: the tank's initialisation keeps its level; a fixed
// outflow leaves one unknown for two equations; an inflow no level can
// drain leaves the outflow law without a root. The engine's texts follow.
TEST_F(RealServers, TankInitialisationAndDecompositionFailuresThroughTheProxy) {
  testsupport::CaptureSink sink;
  SolverOptionTable& table = table_;
  Model& m = model_;
  DAESVarTableEntry* h = m.Named("T101.h");
  DAESVarTableEntry* in = m.Named("T101.F_in");
  DAESVarTableEntry* out = m.Named("T101.F_out");
  ASSERT_TRUE(h != nullptr && in != nullptr && out != nullptr);
  DAESVarTableEntry* rate = nullptr;
  for (std::int32_t i = 0; i < m.run->VariableCount(); ++i) {
    DAESVarTableEntry* v = m.run->GetVariable(i);
    if ((v->GetFlags() & daes::kDerivativeFlag) != 0) rate = v;
  }
  ASSERT_NE(rate, nullptr);
  auto printed = [&sink](const std::string& text) {
    for (const auto& line : sink.lines()) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  };
  table.SetInteger(29, 4);
  table.ApplyPendingChanges();
  h->SetValue(4.0);
  {
    IntegratorServerProxy proxy(3);
    ASSERT_TRUE(proxy.HasServer());
    EXPECT_EQ(proxy.BeginRun(), kBeginRunDone);
    ASSERT_EQ(proxy.InitialiseAt(0.0), 0u);
    EXPECT_EQ(h->GetRealValue(), 4.0);
    EXPECT_NEAR(out->GetRealValue(), 1.0, 1e-10);            // 0.5 sqrt(4)
    EXPECT_NEAR(rate->GetRealValue(), (0.5 - 1.0) / 2.0, 1e-10);  // (F_in - F_out) / A
    EXPECT_EQ(proxy.EndRun(), 0u);
  }
  table.SetInteger(29, 1);
  table.ApplyPendingChanges();
  h->SetSpec(daes::kSpecFree);
  out->SetSpec(daes::kSpecFixed);
  {
    IntegratorServerProxy proxy(3);
    EXPECT_EQ(proxy.BeginRun(), kBeginRunDone);
    EXPECT_TRUE(status::IsFailure(proxy.Initialise()));
    EXPECT_TRUE(printed("Singular decomposition"));
    EXPECT_EQ(proxy.EndRun(), 0u);
  }
  out->SetSpec(daes::kSpecFree);
  in->SetValue(-0.5);
  {
    IntegratorServerProxy proxy(3);
    EXPECT_EQ(proxy.BeginRun(), kBeginRunDone);
    EXPECT_TRUE(status::IsFailure(proxy.Initialise()));
    EXPECT_TRUE(printed("A sub-group in the decomposition failed to solve"));
    EXPECT_EQ(proxy.EndRun(), 0u);
  }
}
// A torn block's second level from our decomposition server: the inner
// block shows the server's groups and solves like the whole system.
TEST_F(RealServers, ExternalDecompositionOfABlockSolves) {
  Options options;
  const std::vector<double> start = model_.Values();
  ASSERT_EQ(DenseNewton(*model_.run, nullptr), 0u);
  const std::vector<double> reference = model_.Values();
  model_.SetValues(start);
  // Kind 1 (states known), mode byte with bit 16: mode 0.
  ExternalBlockDecomposer decomposer(1, 0, 0x10000, 0, 0);
  DAESSolverBlock* inner = nullptr;
  ASSERT_EQ(decomposer.Decompose(model_.run.get(), &inner), 0u);
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(inner->GetRowCount(), 2u);
  std::int32_t iterations = 0;
  EXPECT_EQ(inner->SolveSubGroups(0, 0, &iterations), 0u);
  const std::vector<double> got = model_.Values();
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_NEAR(got[i], reference[i], 1e-10 * std::max(1.0, std::fabs(reference[i])));
  }
  delete inner;
}
// dx/dp of the tank at rest: k sqrt(h) = F_in gives dh/dk = -2 F_in^2 / k^3
// and dh/dA = 0; F_out = F_in moves with neither.
TEST_F(RealServers, SteadyStateSensitivitiesOfTheTank) {
  DAESVarTableEntry* h = FreeLevel(1.0);
  DAESVarTableEntry* out = Named("T101.F_out");
  DAESVarTableEntry* in = Named("T101.F_in");
  DAESVarTableEntry* k = Parameter(4);
  DAESVarTableEntry* a = Parameter(5);
  ASSERT_TRUE(h != nullptr && out != nullptr && in != nullptr && k != nullptr && a != nullptr);
  Manager manager;
  manager.variables = {h, out, in, k};
  manager.entries = {k, a};
  TankSensitivities calculator;
  ASSERT_EQ(calculator.Compute(0.0, 1, 1), 0u);
  const double dhdk = -2.0 * 0.25 / (0.5 * 0.5 * 0.5);
  EXPECT_NEAR(manager.At(0, h), dhdk, 1e-8 * std::fabs(dhdk));
  EXPECT_NEAR(manager.At(1, h), 0.0, 1e-12);
  EXPECT_NEAR(manager.At(0, out), 0.0, 1e-12);
  // Outside the system: 1.0 only for the entry that is the variable.
  EXPECT_EQ(manager.At(0, in), 0.0);
  EXPECT_EQ(manager.At(0, k), (k->GetFlags() & 0x90) == 0 ? 1.0 : 0.0);
  EXPECT_EQ(manager.At(1, k), 0.0);
  k->ClearFlags(0x90);
  ASSERT_EQ(calculator.Compute(0.0, 1, 1), 0u);
  EXPECT_EQ(manager.At(0, k), 1.0);
  EXPECT_EQ(manager.At(1, k), 0.0);
  // Same case again: the decomposition and its handle are kept.
  const auto* decomposition = calculator.SteadyDecomposition();
  const auto* handle = calculator.SteadyHandle();
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(calculator.Compute(0.0, 1, 1), 0u);
  EXPECT_EQ(calculator.SteadyDecomposition(), decomposition);
  EXPECT_EQ(calculator.SteadyHandle(), handle);
  // Another case rebuilds both: a re-initialisation, whose states are
  // known (their rows come from the server, zero here), so only the outflow
  // moves: dF_out/dk = sqrt(h), and h' = -F_out / A follows it.
  ASSERT_EQ(calculator.Compute(0.0, 6, 2), 0u);
  EXPECT_NE(calculator.SteadyHandle(), nullptr);
  EXPECT_NE(calculator.SteadyDecomposition(), decomposition);
  EXPECT_NEAR(manager.At(0, h), 0.0, 1e-12);
  EXPECT_NEAR(manager.At(0, out), 1.0, 1e-8);
  EXPECT_NE(calculator.AuxiliaryDecomposition(), nullptr);
  // The level's row from the integrator keeps, and moves the outflow
  // through its column: dF_out/dk = sqrt(h) + k dh/dk / (2 sqrt(h)).
  const std::int32_t level = GetCurrentProblem()->FindVariable(h) - 1;
  ASSERT_GE(level, 0);
  calculator.server_row.assign(static_cast<std::size_t>(GetCurrentProblem()->VariableCount()), 0.0);
  calculator.server_row[static_cast<std::size_t>(level)] = 0.4;
  ASSERT_EQ(calculator.Compute(0.0, 6, 2), 0u);
  EXPECT_NEAR(manager.At(0, h), 0.4, 1e-12);
  EXPECT_NEAR(manager.At(0, out), 1.0 + 0.5 * 0.4 / 2.0, 1e-8);
  calculator.server_row.clear();

  // k as a piecewise-constant control over three intervals, now in the
  // second: the earlier row has no terms here, the current one the
  // derivative, the later one zero.
  k->SetFlags(0x200000);
  manager.entries = {k};
  manager.elements = 3;
  manager.interval = 2;
  manager.stored.clear();
  ASSERT_EQ(calculator.Compute(0.0, 1, 1), 0u);
  EXPECT_EQ(calculator.Matrix().size(), 3u);
  EXPECT_NEAR(manager.stored[std::make_tuple(0, h, 0)], 0.0, 1e-12);
  EXPECT_NEAR(manager.stored[std::make_tuple(0, h, 1)], dhdk, 1e-8 * std::fabs(dhdk));
  EXPECT_EQ(manager.stored[std::make_tuple(0, h, 2)], 0.0);

  // Linear controls at a quarter of the first interval share the
  // derivative between its two ends; a switching time between the first
  // two intervals moves the level by the control's slope.
  manager.linear = true;
  manager.interval = 1;
  manager.switching_elements = 2;
  manager.switching_rows = 2;
  ASSERT_EQ(calculator.Compute(0.25, 1, 1), 0u);
  ASSERT_EQ(calculator.Matrix().size(), 5u);
  const auto position = static_cast<std::size_t>(calculator.System()->FindVariable(h) - 1);
  EXPECT_NEAR(calculator.Matrix()[0][position], 0.75 * dhdk, 1e-8 * std::fabs(dhdk));
  EXPECT_NEAR(calculator.Matrix()[1][position], 0.25 * dhdk, 1e-8 * std::fabs(dhdk));
  EXPECT_EQ(calculator.Matrix()[2][position], 0.0);
  // Base interval - 2 = -1: no switching-time term.
  EXPECT_EQ(calculator.Matrix()[3][position], 0.0);
  manager.interval = 2;
  testsupport::CaptureSink sink;
  SetPrintLevel(5);
  ASSERT_EQ(calculator.Compute(0.5, 1, 1), 0u);
  SetPrintLevel(0);
  EXPECT_TRUE(HasLine(sink, "Initialization/SS sensitivity jacobian:"));
  EXPECT_TRUE(HasLine(sink, "RHS vector (derivative wrt sensitivity variable T101.k):"));
  EXPECT_TRUE(HasLine(sink, "Sensitivities with respect to discretisation 2 of T101.k"));
  EXPECT_TRUE(HasLine(sink, "Sensitivities with respect to switching time 1"));
  // (b - a)(t - t1)/(t1 - t0)^2 = 0.2 * -0.5 = -0.1 of the parameter's
  // derivative, with the sign of the right-hand side.
  EXPECT_NEAR(calculator.Matrix()[3][position], -0.1 * dhdk, 1e-8 * std::fabs(dhdk));
  EXPECT_EQ(calculator.Matrix()[4][position], 0.0);
  k->ClearFlags(0x200000);
}

// A linear solver that cannot factorise (its storage refused): the pass
// ends with 0x8000022E and its text, not the structural one, and the
// manager keeps the values it had.
TEST_F(RealServers, ASensitivitySolveFailureEndsThePassWithItsText) {
  DAESVarTableEntry* h = FreeLevel(1.0);
  DAESVarTableEntry* k = Parameter(4);
  ASSERT_TRUE(h != nullptr && k != nullptr);
  Manager manager;
  manager.variables = {h};
  manager.entries = {k};
  manager.stored[std::make_tuple(0, h, 0)] = 42.0;
  testsupport::CaptureSink sink;
  {
    TankSensitivities calculator;
    lsi_testing::FailAllocationAfter(0);
    EXPECT_EQ(calculator.Compute(0.0, 1, 1), kSensitivityFailed);
    lsi_testing::FailAllocationAfter(-1);
  }
  const std::vector<std::string>& lines = sink.lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Fatal error calculating sensitivities"),
            lines.end());
  EXPECT_EQ(std::find(lines.begin(), lines.end(), "Sensitivity matrix is structurally singular!"),
            lines.end());
  EXPECT_EQ((manager.stored[std::make_tuple(0, h, 0)]), 42.0);
  // The next pass, with storage, computes as ever.
  TankSensitivities calculator;
  ASSERT_EQ(calculator.Compute(0.0, 1, 1), 0u);
  EXPECT_NEAR((manager.stored[std::make_tuple(0, h, 0)]), -2.0 * 0.25 / (0.5 * 0.5 * 0.5), 1e-8);
}

// A decomposition whose group leaves the level without a single entry (both
// equations list the outflow only): the sensitivity matrix is structurally
// singular. The pass ends with both texts and 0x8000022E; the manager
// keeps the values it had.
TEST_F(Proxies, AStructurallySingularSensitivityMatrixIsNamed) {
  Methods methods;
  DAESProblem* problem = model_.problem.get();
  DAESVarTableEntry* h = model_.Named("T101.h");
  DAESVarTableEntry* out = model_.Named("T101.F_out");
  DAESVarTableEntry* k = daestest::Entry(model_.tree.At({2, 4}));
  ASSERT_TRUE(h != nullptr && out != nullptr && k != nullptr);
  h->SetSpec(daes::kSpecFree);
  h->SetValue(1.0);
  std::vector<std::int32_t> equations;
  for (std::uint32_t i = 0; i < problem->GetRowCount(); ++i) {
    const std::string name = problem->GetRow(i)->GetNameText();
    if (name == "T101.MassBalance" || name == "T101.Outflow")
      equations.push_back(static_cast<std::int32_t>(i));
  }
  ASSERT_EQ(equations.size(), 2u);
  const std::int32_t unknowns[2] = {problem->FindVariable(h) - 1, problem->FindVariable(out) - 1};
  Script().build = [&](platform::IUnknown* f, platform::IUnknown* set, IQLNDecomposition** made) {
    void* p = nullptr;
    if (f->QueryInterface(IID_IQLNESOFactory, &p) != 0) return platform::E_FAIL;
    auto* factory = static_cast<IQLNESOFactory*>(p);
    platform::IUnknown* d = nullptr;
    platform::IUnknown* g = nullptr;
    Status s = factory->CreateDecompositionObject(&d);
    if (s == 0) s = factory->CreateESOGroupObject(kGroupTypeNonlinear, &g);
    factory->Release();
    void* edit = nullptr;
    void* solve = nullptr;
    void* decomposition = nullptr;
    if (s == 0) s = g->QueryInterface(IID_IESOEdit, &edit);
    if (s == 0) s = g->QueryInterface(IID_IQLNESOSolve, &solve);
    if (s == 0) s = d->QueryInterface(IID_IQLNDecomposition, &decomposition);
    if (s == 0) {
      auto* e = static_cast<IESOEdit*>(edit);
      s = e->SetGroupStructure(set, 2, equations.data(), 2, unknowns);
      for (const std::int32_t row : equations) {
        // 1: fewer variables than the equation holds, as wanted here.
        if (s == 0 && e->SetEquationVariables(set, row, 1, &unknowns[1]) > 1) s = platform::E_FAIL;
      }
    }
    auto* built = static_cast<IQLNDecomposition*>(decomposition);
    if (s == 0) s = built->AddGroup(static_cast<platform::IUnknown*>(static_cast<IQLNESOSolve*>(solve)));
    if (edit != nullptr) static_cast<IESOEdit*>(edit)->Release();
    if (solve != nullptr) static_cast<IQLNESOSolve*>(solve)->Release();
    if (g != nullptr) g->Release();
    if (d != nullptr) d->Release();
    if (s != 0 && built != nullptr) built->Release();
    *made = s == 0 ? built : nullptr;
    return s;
  };
  Manager manager;
  manager.variables = {h};
  manager.entries = {k};
  manager.stored[std::make_tuple(0, h, 0)] = 42.0;
  {
    TankSensitivities calculator;
    EXPECT_EQ(calculator.Compute(0.0, 1, 1), kSensitivityFailed);
  }
  Script().build = nullptr;
  const std::vector<std::string>& lines = sink_.lines();
  const auto singular =
      std::find(lines.begin(), lines.end(), "Sensitivity matrix is structurally singular!");
  ASSERT_NE(singular, lines.end());
  EXPECT_NE(std::find(singular, lines.end(), "Fatal error calculating sensitivities"), lines.end());
  EXPECT_EQ((manager.stored[std::make_tuple(0, h, 0)]), 42.0);
}

// One implicit Euler step of the tank, A (h1 - h0) / dt = F_in - k sqrt(h1),
// differentiated by k: the dynamic path with the predictor s0, s'pred = 0
// and v = dt must give the step's own sensitivity.
TEST_F(RealServers, DynamicSensitivitiesFollowTheImplicitEulerStep) {
  SetSolutionPhase(0);
  DAESVarTableEntry* h = Named("T101.h");
  DAESVarTableEntry* out = Named("T101.F_out");
  DAESVarTableEntry* k = Parameter(4);
  ASSERT_TRUE(h != nullptr && out != nullptr && k != nullptr);
  DAESVarTableEntry* dh = h->GetDerivative();
  ASSERT_NE(dh, nullptr);
  std::size_t n1 = 0, n2 = 0;
  std::map<DAESVarTableEntry*, std::size_t> column = ArrayColumns(&n1, &n2);
  ASSERT_EQ(column.count(dh), 1u);
  // Integrated from here on: the state's initial mark goes, as in a run.
  h->ClearFlags(0x80);
  Manager manager;
  manager.entries = {k};
  TankSensitivities calculator;
  const double dt = 0.1, a = 2.0, kv = 0.5, in = 0.5;
  calculator.step = dt;
  std::vector<double> first(n1, 0.0), second(n2, 0.0);
  double h0 = 1.0, s0 = 0.0;
  for (int step = 1; step <= 3; ++step) {
    double h1 = h0;
    for (int it = 0; it < 50; ++it) {
      const double f = a * (h1 - h0) / dt - in + kv * std::sqrt(h1);
      h1 -= f / (a / dt + kv / (2.0 * std::sqrt(h1)));
    }
    h->SetValue(h1);
    dh->SetValue((h1 - h0) / dt);
    out->SetValue(kv * std::sqrt(h1));
    second[column[dh]] = 0.0;
    ASSERT_EQ(calculator.DynamicAt(step * dt, first.data(), second.data()), 0u) << step;
    const double s1 = (a * s0 / dt - std::sqrt(h1)) / (a / dt + kv / (2.0 * std::sqrt(h1)));
    EXPECT_NEAR(first[column[h]], s1, 1e-8 * std::fabs(s1)) << step;
    EXPECT_NEAR(second[column[dh]], (s1 - s0) / dt, 1e-7 * std::fabs((s1 - s0) / dt)) << step;
    const double sout = std::sqrt(h1) + kv * s1 / (2.0 * std::sqrt(h1));
    EXPECT_NEAR(first[column[out]], sout, 1e-8 * std::fabs(sout)) << step;
    h0 = h1;
    s0 = s1;
  }
  ASSERT_NE(calculator.DynamicSystem(), nullptr);

  // The dumps at print level 5.
  testsupport::CaptureSink sink;
  SetPrintLevel(5);
  ASSERT_EQ(calculator.DynamicAt(0.4, first.data(), second.data()), 0u);
  EXPECT_TRUE(HasLine(sink, "Computing sensitivities at time 0.4"));
  EXPECT_TRUE(HasLine(sink, "Sensitivity jacobian:"));
  EXPECT_TRUE(HasLine(sink, "RHS vector (derivative wrt sensitivity variable):"));
  EXPECT_TRUE(HasLine(sink, "Sensitivities at time 0.4 with respect to T101.k"));
  SetPrintLevel(0);
  SetSolutionPhase(1);
}

// The server's matrices: the tank's steady sensitivities land in the
// columns of their variables; columns nobody fills keep their values;
// failures leave the rows alone.
TEST_F(RealServers, SteadySensitivitiesIntoTheCallersMatrices) {
  testsupport::CaptureSink sink;
  DAESVarTableEntry* h = FreeLevel(1.0);
  DAESVarTableEntry* in = Named("T101.F_in");
  DAESVarTableEntry* k = Parameter(4);
  DAESVarTableEntry* a = Parameter(5);
  ASSERT_TRUE(h != nullptr && in != nullptr && k != nullptr && a != nullptr);
  std::size_t n1 = 0, n2 = 0;
  std::map<DAESVarTableEntry*, std::size_t> column = ArrayColumns(&n1, &n2);
  Manager manager;
  manager.variables = {h};
  manager.entries = {k, a};
  manager.interval = 3;
  TankSensitivities calculator;
  ASSERT_EQ(calculator.SensitivityRows(), 2);
  std::vector<double> first(2 * n1, 7.0), second(2 * n2, 7.0);
  ASSERT_EQ(calculator.ComputeInto(first.data(), second.data(), 0.0, 1, 1), 0u);
  const double dhdk = -2.0 * 0.25 / (0.5 * 0.5 * 0.5);
  EXPECT_NEAR(first[column[h]], dhdk, 1e-8 * std::fabs(dhdk));
  EXPECT_NEAR(first[n1 + column[h]], 0.0, 1e-12);
  EXPECT_EQ(first[column[in]], 7.0);
  for (double d : second) EXPECT_EQ(d, 7.0);
  // Before the first interval the first matrix starts from zero.
  manager.interval = 1;
  ASSERT_EQ(calculator.ComputeInto(first.data(), second.data(), 0.0, 1, 1), 0u);
  EXPECT_EQ(first[column[in]], 0.0);
  EXPECT_NEAR(first[column[h]], dhdk, 1e-8 * std::fabs(dhdk));

  // Through the executive's sensitivity manager: counts, and the calls
  // that need a current integrator.
  SensitivityManagerOps* ops = GetSensitivityManagerOps();
  std::int32_t count = 0;
  EXPECT_EQ(ops->GetCount(nullptr), 0x80070057u);
  manager.switching_rows = 1;
  EXPECT_EQ(ops->GetCount(&count), 0u);
  EXPECT_EQ(count, 3);
  manager.switching_rows = 0;
  double t = 0.0;
  EXPECT_EQ(ops->SensitivityInit(nullptr, second.data(), &t), 0x80070057u);
  EXPECT_EQ(ops->SensitivityUpdate(first.data(), second.data(), &t), 0x80004005u);

  // A level below zero fails the Jacobian: its status comes back as it
  // was and the rows keep their values.
  const std::vector<double> before = calculator.Matrix()[1];
  h->SetValue(-1.0);
  const Status failed = calculator.Compute(0.0, 1, 1);
  EXPECT_TRUE(status::IsFailure(failed));
  EXPECT_NE(failed, kSensitivityFailed);
  EXPECT_EQ(calculator.Matrix()[1], before);
  h->SetValue(1.0);
  // F_in free as well: no square system to decompose, and no message.
  const std::size_t lines = sink.lines().size();
  in->ClearFlags(0x80);
  in->SetFlags(0x10);
  EXPECT_EQ(calculator.Compute(0.0, 6, 2), kSensitivityFailed);
  EXPECT_EQ(calculator.SteadyDecomposition(), nullptr);
  EXPECT_EQ(sink.lines().size(), lines);
}
#endif

}  // namespace
