// Equation-set groups and the decomposition object: a decomposition server
// in its own library fills groups from a model's problem group and the
// decomposition solves them in turn; the interface rules, variable kinds,
// dependence queries and the failure and announce rules of a group solve.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "foundation/interfaces/run_mode.h"
#include "framework/libraries/library_api.h"
#include "framework/messaging/message.h"
#include "platform/com.h"
#include "platform/dynamic_library.h"
#include "solve/ifaces/decomposer.h"
#include "solve/open/kvs_proxies.h"
#include "solve/options/solver_option_table.h"
#include "solve/proxies/server_host.h"
#include "tests/solve/flowsheet_model.h"
#include "tests/solve/group_support.h"
#include "tests/support/capture_sink.h"
#include "tests/support/golden.h"
#include "tests/support/quiet_server_host.h"
#include "tests/support/scoped_env.h"

using namespace grouptest;
using daestest::Writer;
using daestest::mw::Add;
using daestest::mw::Mul;
using daestest::mw::Real;
using daestest::mw::Sub;
using daestest::mw::Var;

namespace {

using PlayFunction = Status (*)(platform::IUnknown*, platform::IUnknown*, std::int32_t,
                                platform::IUnknown**);

PlayFunction Server(const char* entry = "PlayDecomposer") {
  static void* handle = platform::OpenLibrary(VANTOR_GROUP_SERVER).handle;
  return handle != nullptr
             ? reinterpret_cast<PlayFunction>(platform::LibrarySymbol(handle, entry))
             : nullptr;
}

// Decomposes the model's run block through the server, solves the groups
// in turn and checks them against one Newton solve of the whole block.
// `setup` may put other methods in place and set options.
void SolveThroughServer(Model& m, std::vector<std::int32_t>* types, std::int32_t* non_zeros,
                        std::int32_t repeat_rows,
                        const std::function<void(Options&)>& setup = nullptr,
                        const char* entry = "PlayDecomposer") {
  Options options;
  Methods methods;
  if (setup) setup(options);
  ASSERT_NE(Server(entry), nullptr);
  const std::vector<double> start = m.Values();
  ASSERT_EQ(DenseNewton(*m.run, nullptr), 0u);
  const std::vector<double> reference = m.Values();
  m.SetValues(start);

  auto* problem_group = new QLNESOGroup(m.run.get());
  problem_group->AddRef();
  Factory factory;
  platform::IUnknown* out = nullptr;
  ASSERT_EQ(Server(entry)(&factory, static_cast<IQLNESO*>(problem_group), repeat_rows, &out), 0u);
  auto* decomposition = static_cast<QLNDecomposition*>(static_cast<IQLNDecomposition*>(out));
  std::int32_t iterations = -1;
  EXPECT_EQ(decomposition->SolveGroups(0, 0, 0, &iterations), 0u);
  std::uint32_t solved = 0;
  decomposition->IsSolved(&solved);
  EXPECT_EQ(solved, 2u);
  const std::vector<double> got = m.Values();
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_NEAR(got[i], reference[i], 1e-10 * std::max(1.0, std::fabs(reference[i])))
        << m.run->GetVariable(static_cast<std::int32_t>(i))->GetNameText();
  }
  *types = factory.types;
  *non_zeros = 0;
  for (std::int32_t g = 0; g < static_cast<std::int32_t>(decomposition->GetRowCount()); ++g) {
    void* eso = nullptr;
    ASSERT_EQ(decomposition->GetGroup(g, IID_IESO, &eso), 0u);
    std::int32_t nz = 0;
    static_cast<IESO*>(eso)->GetNonZeroCount(&nz);
    *non_zeros += nz;
    static_cast<IESO*>(eso)->Release();
  }
  EXPECT_EQ(decomposition->Release(), 0u);
  EXPECT_EQ(problem_group->Release(), 0u);
  EXPECT_EQ(factory.refs, 1u);
}

TEST(GroupServer, TankGroupsSolveLikeTheWholeSystem) {
  Model m(daestest::Tank);
  std::vector<std::int32_t> types;
  std::int32_t nz = 0;
  SolveThroughServer(m, &types, &nz, 0);
  EXPECT_EQ(types, (std::vector<std::int32_t>{1, 1}));
  EXPECT_EQ(nz, 2);
}

TEST(GroupServer, FlowsheetGroupsOfEveryKindSolveLikeTheWholeSystem) {
  Model m([](Writer& w) { Flowsheet(w, 6); });
  std::vector<std::int32_t> types;
  std::int32_t nz = 0;
  SolveThroughServer(m, &types, &nz, 0);
  std::map<std::int32_t, int> by_type;
  for (std::int32_t t : types) ++by_type[t];
  EXPECT_EQ(by_type[1], 6);
  EXPECT_EQ(by_type[3], 3);
  EXPECT_EQ(by_type[4], 6);
  EXPECT_EQ(by_type[6], 3);
  // Every element of every row once, also when the server repeats rows.
  EXPECT_EQ(nz, 6 * (2 + 2 + 1 + 1));
  Model again([](Writer& w) { Flowsheet(w, 6); });
  std::int32_t repeated = 0;
  SolveThroughServer(again, &types, &repeated, 1);
  EXPECT_EQ(repeated, nz);
}

#ifdef VANTOR_KVS_DIR
// The linear and nonlinear groups through the open solver proxies and the
// framework libraries, equal to one Newton solve of the whole block.
template <class Linear, class Nonlinear>
void SolveThroughOpenProxies() {
  AddDLLSearchPath(VANTOR_KVS_DIR);
  auto setup = [](Options& options) {
    // Residuals of values in the thousands reach 1e-13 only by luck.
    options.Real(0, 1e-9);
    options.SetInt(24, 50);
    for (auto [n, v] : {std::pair{8, 0.1}, {9, 0.9}, {10, 1.0}, {12, 1e-14}, {13, 1e6}}) {
      options.Real(n, v);
    }
    ReplaceGroupMethod(kGroupLinear, new Linear());
    ReplaceGroupMethod(kGroupNonlinear, new Nonlinear());
  };
  std::vector<std::int32_t> types;
  std::int32_t nz = 0;
  Model tank(daestest::Tank);
  SolveThroughServer(tank, &types, &nz, 0, setup);
  Model flowsheet([](Writer& w) { Flowsheet(w, 6); });
  SolveThroughServer(flowsheet, &types, &nz, 0, setup);
  std::map<std::int32_t, int> by_type;
  for (std::int32_t t : types) ++by_type[t];
  EXPECT_EQ(by_type[3], 3);  // linear
  EXPECT_EQ(by_type[4], 6);  // nonlinear
}

TEST(GroupServer, TankAndFlowsheetThroughSluAndSparse) {
  SolveThroughOpenProxies<QLNKVSSluProxy, QLNKVSSparseProxy>();
}

TEST(GroupServer, TankAndFlowsheetThroughMflAndSparseMfl) {
  SolveThroughOpenProxies<QLNKVSMflProxy, QLNKVSSparseMflProxy>();
}
#endif

#ifdef VANTOR_BUILD_REGISTRY
// The nonlinear blocks as torn groups: each asks our decomposition server,
// found through the registry, for its second level and solves it.
// The executive the engine's decomposer proxy hands to its server.
class ExecutiveHost final : public QuietServerProxyHost {
 public:
  ExecutiveHost() { SetServerProxyHost(this); }
  ~ExecutiveHost() override { SetServerProxyHost(nullptr); }
  platform::IUnknown* Executive() override { return &executive; }
  Factory executive;
};

TEST(GroupServer, TornGroupsTakeTheirSecondLevelFromOurDecomposer) {
  testsupport::ScopedEnv registry("VANTOR_REGISTRY", VANTOR_BUILD_REGISTRY);
  ASSERT_LE(platform::CoInitializeEx(nullptr, 0), 1u);
  {
    // The decomposer proxy publishes its server's options: into a table of
    // this test's own.
    SolverOptionTable table;
    ExecutiveHost host;
    Model m([](Writer& w) { Flowsheet(w, 6); });
    std::vector<std::int32_t> types;
    std::int32_t nz = 0;
    SolveThroughServer(
        m, &types, &nz, 0, [](Options&) { ReplaceGroupMethod(kGroupTorn, new TornSolve()); },
        "PlayTornDecomposer");
    std::map<std::int32_t, int> by_type;
    for (std::int32_t t : types) ++by_type[t];
    EXPECT_EQ(by_type[kGroupTypeTorn], 3);
    EXPECT_EQ(by_type[kGroupTypeNonlinear], 0);
    EXPECT_EQ(nz, 6 * (2 + 2 + 1 + 1));
  }
  platform::CoUninitialize();
}

// Our decomposition server, created through COM as the engine creates it,
// over the engine's own groups: the road to a first real run.
TEST(GroupServer, OurDecomposerOverRealGroupsSolvesTheTank) {
  testsupport::ScopedEnv registry("VANTOR_REGISTRY", VANTOR_BUILD_REGISTRY);
  ASSERT_LE(platform::CoInitializeEx(nullptr, 0), 1u);
  {
    Options options;
    Methods methods;
    Model m(daestest::Tank);
    const std::vector<double> start = m.Values();
    ASSERT_EQ(DenseNewton(*m.run, nullptr), 0u);
    const std::vector<double> reference = m.Values();
    m.SetValues(start);
    platform::CLSID clsid{};
    ASSERT_EQ(platform::CLSIDFromProgID(u"Brunvald.Decomposer", &clsid), 0u);
    void* creation = nullptr;
    ASSERT_EQ(platform::CoCreateInstance(clsid, nullptr, 23, IID_IDecomposerCreation, &creation),
              0u);
    void* q = nullptr;
    ASSERT_EQ(static_cast<IDecomposerCreation*>(creation)->QueryInterface(IID_IQLNDecomposer, &q),
              0u);
    static_cast<IDecomposerCreation*>(creation)->Release();
    auto* decomposer = static_cast<IQLNDecomposer*>(q);
    auto* group = new QLNESOGroup(m.run.get());
    group->AddRef();
    Factory factory;
    IQLNDecomposition* out = nullptr;
    // Initialisation: states known, algebraic variables and derivatives
    // unknown, which is what the run block holds.
    const Status s = decomposer->Decompose(&factory, static_cast<IQLNESO*>(group), 1, 0, 0, &out);
    decomposer->Release();
    ASSERT_EQ(s, 0u);
    ASSERT_NE(out, nullptr);
    auto* decomposition = static_cast<QLNDecomposition*>(out);
    EXPECT_EQ(decomposition->GetRowCount(), 2u);
    EXPECT_EQ(decomposition->SolveGroups(0, 0, 0, nullptr), 0u);
    const std::vector<double> got = m.Values();
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_NEAR(got[i], reference[i], 1e-10 * std::max(1.0, std::fabs(reference[i])));
    }
    EXPECT_EQ(out->Release(), 0u);
    EXPECT_EQ(group->Release(), 0u);
  }
  platform::CoUninitialize();
}
#endif

// --- groups ---

struct Iface {
  const platform::IID* iid;
  const char* name;
};

TEST(EsoGroup, InterfaceAndReferenceRules) {
  const Iface known[] = {{&IID_IESO, "IESO"},
                         {&IID_IESO12Ex, "IESO12Ex"},
                         {&IID_IESOSolve, "IESOSolve"},
                         {&IID_IESOEdit, "IESOEdit"},
                         {&IID_IQLNESO, "IQLNESO"},
                         {&IID_IQLNESOSolve, "IQLNESOSolve"},
                         {&IID_IQLNESOSolve20, "IQLNESOSolve20"},
                         {&IID_IQLNVariableValues, "IQLNVariableValues"},
                         {&platform::IID_IUnknown, "IUnknown"}};
  for (std::int32_t type : {1, 3, 4, 6, 7}) {
    platform::IUnknown* unknown = nullptr;
    ASSERT_EQ(CreateESOGroupObject(type, &unknown), 0u) << type;
    auto* group = dynamic_cast<QLNESOGroup*>(static_cast<IQLNESO*>(unknown));
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group->RefCount(), 1u);
    for (const Iface& i : known) {
      void* p = nullptr;
      EXPECT_EQ(unknown->QueryInterface(*i.iid, &p), 0u) << i.name;
      EXPECT_NE(p, nullptr);
      static_cast<platform::IUnknown*>(p)->Release();
    }
    void* untouched = &type;
    EXPECT_EQ(unknown->QueryInterface(IID_IQLNDecomposition, &untouched), platform::E_NOINTERFACE);
    EXPECT_EQ(untouched, &type);
    EXPECT_EQ(unknown->QueryInterface(IID_IESO, nullptr), platform::E_INVALIDARG);
    std::uint8_t reported = 0;
    EXPECT_EQ(group->GetGroupType(&reported), 0u);
    EXPECT_EQ(reported, type);
    EXPECT_EQ(unknown->Release(), 0u);
  }
  for (std::int32_t type : {0, 2, 5, 8, -1}) {
    platform::IUnknown* unknown = nullptr;
    EXPECT_EQ(CreateESOGroupObject(type, &unknown), platform::E_FAIL) << type;
    EXPECT_EQ(unknown, nullptr);
  }
  // A plain group leaves its block alone and has no type.
  DAESSolverBlock block;
  auto* plain = new QLNESOGroup(&block);
  plain->AddRef();
  std::uint8_t type = 9;
  EXPECT_EQ(plain->GetGroupType(&type), platform::E_NOTIMPL);
  EXPECT_EQ(plain->Reserved27(), 0xA000FFFFu);
  EXPECT_EQ(plain->NotImplemented5(), platform::E_NOTIMPL);
  EXPECT_EQ(plain->Release(), 0u);
  EXPECT_EQ(block.GetRowCount(), 0u);
}

TEST(EsoGroup, VariableTypesAndPartners) {
  Model m(daestest::Tank);
  // The whole problem: h with its derivative, F_in fixed, F_out free.
  auto* group = new QLNESOGroup(m.problem.get());
  group->AddRef();
  const std::int32_t n = m.problem->VariableCount();
  std::vector<std::int32_t> types(static_cast<std::size_t>(n), -7);
  std::vector<std::int32_t> partners(static_cast<std::size_t>(n), -7);
  EXPECT_EQ(group->GetVariableTypes(0, types.data(), partners.data()), 0u);
  EXPECT_EQ(types[0], -7);
  EXPECT_EQ(group->GetVariableTypes(1, nullptr, partners.data()), platform::E_INVALIDARG);
  EXPECT_EQ(group->GetVariableTypes(n + 1, types.data(), partners.data()), platform::E_INVALIDARG);
  ASSERT_EQ(group->GetAllVariableTypes(types.data(), partners.data()), 0u);
  for (std::int32_t i = 0; i < n; ++i) {
    DAESVarTableEntry* v = m.problem->GetVariable(i);
    const std::uint32_t f = v->GetFlags();
    std::int32_t want = static_cast<std::int32_t>(f & 0xF);
    want |= (f & 0x80) != 0 ? 0x60 : (f & 0x10) != 0 ? 0x10 : 0x20;
    if ((f & 0x100000) != 0) want |= 0xA00;
    EXPECT_EQ(types[static_cast<std::size_t>(i)], want) << v->GetNameText();
    const std::string name = v->GetNameText();
    if (name == "T101.h") {
      EXPECT_EQ(partners[static_cast<std::size_t>(i)] + 1,
                m.problem->FindVariable(m.Named("T101.h.Derivative")));
    } else if (name == "T101.h.Derivative") {
      EXPECT_EQ(partners[static_cast<std::size_t>(i)] + 1,
                m.problem->FindVariable(m.Named("T101.h")));
    } else {
      EXPECT_EQ(partners[static_cast<std::size_t>(i)], -1) << name;
    }
  }
  // The run block has the derivative but not its state.
  auto* run_group = new QLNESOGroup(m.run.get());
  run_group->AddRef();
  std::vector<std::int32_t> t2(2), p2(2);
  ASSERT_EQ(run_group->GetAllVariableTypes(t2.data(), p2.data()), 0u);
  EXPECT_EQ(p2, (std::vector<std::int32_t>{-1, -1}));
  std::int32_t marked = -1;
  EXPECT_EQ(run_group->GetMarkedVariableCount(&marked), 0u);
  EXPECT_EQ(marked, 2);
  run_group->Release();
  group->Release();
}

TEST(EsoGroup, VariableTypesByFlagWord) {
  struct Case {
    std::uint32_t flags;
    std::int32_t type;
  };
  const Case cases[] = {
      {0x0, 0x20},
      {0x2, 0x22},
      {0x2 | 0x10, 0x12},
      {0x2 | 0x80, 0x62},
      {0x2 | 0x10 | 0x80, 0x62},
      {0x8, 0x28},
      {0xF, 0x2F},
      {0x4 | 0x10, 0x14},
      {0x2 | 0x100000, 0xA22},
      {0x1 | 0x80 | 0x100000, 0xA61},
      {0x30, 0x10},
  };
  DAESSolverBlock block;
  std::vector<std::unique_ptr<DAESVarTableEntry>> entries;
  for (const Case& c : cases) {
    entries.push_back(std::make_unique<DAESVarTableEntry>());
    entries.back()->SetFlags(c.flags);
    ASSERT_EQ(block.AppendVariable(entries.back().get()), 0u);
  }
  auto* group = new QLNESOGroup(&block);
  group->AddRef();
  const auto n = static_cast<std::int32_t>(std::size(cases));
  std::vector<std::int32_t> types(static_cast<std::size_t>(n)), partners(types.size(), 5);
  ASSERT_EQ(group->GetVariableTypes(n, types.data(), partners.data()), 0u);
  for (std::int32_t i = 0; i < n; ++i) {
    EXPECT_EQ(types[static_cast<std::size_t>(i)], cases[i].type) << std::hex << cases[i].flags;
    // None of these has its partner in the block.
    EXPECT_EQ(partners[static_cast<std::size_t>(i)], -1) << std::hex << cases[i].flags;
  }
  group->Release();
}

TEST(EsoGroup, DependenceKindsPlainAndCompact) {
  Model m([](Writer& w) { Flowsheet(w, 2); });
  auto* group = new QLNESOGroup(m.run.get());
  group->AddRef();
  auto position = [&](const char* name) { return m.run->FindVariable(m.Named(name)) - 1; };
  auto row_of = [&](const std::string& name) {
    for (std::uint32_t i = 0; i < m.run->GetRowCount(); ++i) {
      if (name == m.run->GetRow(i)->GetNameText()) return static_cast<std::int32_t>(i);
    }
    return -1;
  };
  struct Case {
    const char* equation;
    std::vector<const char*> variables;
    std::vector<std::int32_t> plain;
  };
  // U2.e is nonlinear in U2.F; U1.e linear in both; no equation holds U2.Q
  // but U2.q.
  const Case cases[] = {
      {"U1.e", {"U1.T", "U1.F", "U2.Q"}, {1, 1, 128}},
      {"U2.e", {"U2.T", "U2.F"}, {1, 3}},
      {"U2.q", {"U2.Q", "U2.P", "U1.T"}, {3, 1, 128}},
  };
  for (const Case& c : cases) {
    std::vector<std::int32_t> vars;
    for (const char* v : c.variables) vars.push_back(position(v));
    std::vector<std::int32_t> kinds(vars.size(), 0);
    const std::int32_t e = row_of(c.equation);
    ASSERT_GE(e, 0);
    ASSERT_EQ(group->GetEquationDependence(e, 0, 0, static_cast<std::int32_t>(vars.size()),
                                           vars.data(), kinds.data()),
              0u)
        << c.equation;
    EXPECT_EQ(kinds, c.plain) << c.equation;
    std::int32_t count = static_cast<std::int32_t>(vars.size());
    ASSERT_EQ(group->GetEquationDependenceCompact(e, 0, 0, &count, vars.data(), kinds.data()), 0u);
    std::vector<std::int32_t> kept;
    for (std::int32_t k : c.plain) {
      if (k != 128) kept.push_back(k);
    }
    EXPECT_EQ(count, static_cast<std::int32_t>(kept.size()));
    EXPECT_EQ(std::vector<std::int32_t>(kinds.begin(), kinds.begin() + count), kept);
  }
  std::int32_t bad = 99;
  std::int32_t kind = 0;
  std::int32_t one = 1;
  EXPECT_EQ(group->GetEquationDependence(0, 0, 0, 1, &bad, &kind), platform::E_INVALIDARG);
  EXPECT_EQ(group->GetEquationDependenceCompact(0, 0, 0, nullptr, &bad, &kind),
            platform::E_INVALIDARG);
  EXPECT_EQ(group->GetEquationDependenceCompact(-1, 0, 0, &one, &bad, &kind),
            platform::E_INVALIDARG);
  group->Release();
}

TEST(EsoGroup, EnumeratorsKeepTheirGroup) {
  Model m(daestest::Tank);
  auto* group = new QLNESOGroup(m.run.get());
  group->AddRef();
  platform::IUnknown* made = nullptr;
  ASSERT_EQ(group->EnumData(IID_IEnumQLNEquationData, &made), 0u);
  platform::IUnknown* other = nullptr;
  EXPECT_EQ(group->EnumData(IID_IESO, &other), platform::E_NOINTERFACE);
  EXPECT_EQ(group->Release(), 1u);  // the enumerator's reference
  auto* equations = static_cast<IEnumQLNEquationData*>(static_cast<void*>(made));
  QLNEquationRecord records[4] = {};
  std::uint32_t fetched = 0;
  equations->Next(4, records, &fetched);
  EXPECT_EQ(fetched, 2u);
  EXPECT_EQ(made->Release(), 0u);
}

// Chosen variables read directly give what the enumerator gives for them,
// values set through the group included; a null variable is refused.
TEST(EsoGroup, ChosenValuesAgreeWithTheEnumerator) {
  Model m(daestest::Tank);
  auto* group = new QLNESOGroup(m.problem.get());
  group->AddRef();
  const std::int32_t n = m.problem->VariableCount();
  std::vector<QLNVariable*> variables(static_cast<std::size_t>(n));
  for (std::int32_t i = 0; i < n; ++i)
    ASSERT_EQ(group->GetVariable(i, &variables[static_cast<std::size_t>(i)]), 0u);
  const double given = 7.25;
  ASSERT_EQ(group->SetVariableValues(1, &variables[0], &given), 0u);
  platform::IUnknown* made = nullptr;
  ASSERT_EQ(group->EnumData(IID_IEnumQLN13VariableData, &made), 0u);
  auto* data = static_cast<IEnumQLN13VariableData*>(static_cast<void*>(made));
  std::vector<QLNVariableRecord> records(static_cast<std::size_t>(n));
  std::uint32_t fetched = 0;
  data->Next(static_cast<std::uint32_t>(n), records.data(), &fetched);
  ASSERT_EQ(fetched, static_cast<std::uint32_t>(n));
  made->Release();
  void* p = nullptr;
  ASSERT_EQ(group->QueryInterface(IID_IQLNVariableValues, &p), 0u);
  auto* values = static_cast<IQLNVariableValues*>(p);
  // Backwards, to show that the order is the caller's.
  std::vector<QLNVariable*> chosen(variables.rbegin(), variables.rend());
  std::vector<double> read(chosen.size(), -1.0);
  ASSERT_EQ(values->GetVariableValues(n, chosen.data(), read.data()), 0u);
  for (const QLNVariableRecord& r : records)
    EXPECT_EQ(read[static_cast<std::size_t>(n - 1 - r.index)], r.scaled_value) << r.index;
  EXPECT_EQ(read.back(), given);
  QLNVariable* none = nullptr;
  double out = 0.0;
  EXPECT_EQ(values->GetVariableValues(1, &none, &out), platform::E_INVALIDARG);
  EXPECT_EQ(values->GetVariableValues(1, nullptr, &out), platform::E_INVALIDARG);
  EXPECT_EQ(values->GetVariableValues(0, nullptr, nullptr), 0u);
  values->Release();
  EXPECT_EQ(group->Release(), 0u);
}

TEST(EsoGroup, EditingChecksWhatServersPass) {
  Model m(daestest::Tank);
  auto* parent = new QLNESOGroup(m.run.get());
  parent->AddRef();
  platform::IUnknown* unknown = nullptr;
  ASSERT_EQ(CreateESOGroupObject(kGroupTypeExplicit, &unknown), 0u);
  auto* group = dynamic_cast<QLNESOGroup*>(static_cast<IQLNESO*>(unknown));
  const std::int32_t two[] = {0, 1};
  platform::IUnknown* p = static_cast<IQLNESO*>(parent);
  EXPECT_EQ(group->SetGroupStructure(p, 2, two, 2, two), platform::E_INVALIDARG);
  const std::int32_t far[] = {7};
  EXPECT_EQ(group->SetGroupStructure(p, 1, far, 1, two), platform::E_INVALIDARG);
  EXPECT_EQ(group->SetGroupStructure(p, 1, two, 1, far), platform::E_INVALIDARG);
  EXPECT_EQ(group->SetGroupStructure(nullptr, 1, two, 1, two), platform::E_INVALIDARG);
  EXPECT_EQ(group->RowCount(), 0);
  ASSERT_EQ(group->SetGroupStructure(p, 1, two, 1, two), 0u);
  EXPECT_EQ(group->RowCount(), 1);
  EXPECT_EQ(group->VariableCount(), 1);
  EXPECT_EQ(group->SetEquationVariables(p, 0, 0, two), 1u);
  EXPECT_EQ(group->SetEquationVariables(p, 0, 1, far), platform::E_INVALIDARG);
  EXPECT_EQ(group->SetEquationVariables(p, 3, 1, two), platform::E_INVALIDARG);
  // An equation of the parent that is not in the group.
  EXPECT_EQ(group->SetEquationVariables(p, 1, 1, two), platform::E_INVALIDARG);
  ASSERT_EQ(group->SetEquationVariables(p, 0, 2, two), 0u);
  ASSERT_EQ(group->SetEquationVariables(p, 0, 2, two), 0u);
  std::int32_t nz = 0;
  group->GetNonZeroCount(&nz);
  EXPECT_EQ(nz, static_cast<std::int32_t>(group->Row(0)->VariableCount()));
  std::int32_t count = 0;
  std::int32_t columns[4] = {};
  ASSERT_EQ(group->GetEquationStructure(0, &count, columns), 0u);
  EXPECT_EQ(count, group->Row(0)->VariableCount());
  EXPECT_EQ(group->SetGroupNumber(5), 0u);
  EXPECT_EQ(group->GroupNumber(), 5u);
  unknown->Release();
  parent->Release();
}

// Servers fill a group row by row: each equation's variables must land in
// the row over the same model equation, also for rows added after the
// group was first asked.
TEST(EsoGroup, EquationVariablesFindTheRowOverTheirEquation) {
  Model m([](Writer& w) { Flowsheet(w, 6); });
  auto* parent = new QLNESOGroup(m.run.get());
  parent->AddRef();
  platform::IUnknown* p = static_cast<IQLNESO*>(parent);
  const std::int32_t n = parent->RowCount();
  ASSERT_GT(n, 20);
  platform::IUnknown* unknown = nullptr;
  ASSERT_EQ(CreateESOGroupObject(kGroupTypeNonlinear, &unknown), 0u);
  auto* group = dynamic_cast<QLNESOGroup*>(static_cast<IQLNESO*>(unknown));
  // Every other equation, last first; one variable each.
  std::vector<std::int32_t> first;
  for (std::int32_t e = n - 1; e >= 0; e -= 2) first.push_back(e);
  const std::vector<std::int32_t> one_each(first.size(), 0);
  ASSERT_EQ(group->SetGroupStructure(p, static_cast<std::int32_t>(first.size()), first.data(), 1,
                                     one_each.data()),
            0u);
  auto row_of = [&](std::int32_t e) -> QLNRow* {
    DAESEqnRow* model = nullptr;
    parent->GetEquation(e, &model);
    for (std::int32_t i = 0; i < group->RowCount(); ++i) {
      auto* r = dynamic_cast<DAESEqnRow*>(group->Row(i));
      if (r != nullptr && r->UnderlyingEquation() == model->UnderlyingEquation()) return r;
    }
    return nullptr;
  };
  const std::int32_t variables[] = {1, 2};
  for (std::int32_t e = 0; e < n; ++e) {
    const bool in = (n - 1 - e) % 2 == 0;
    EXPECT_EQ(group->SetEquationVariables(p, e, 2, variables), in ? 0u : platform::E_INVALIDARG)
        << e;
    if (in) {
      EXPECT_GE(row_of(e)->VariableCount(), 2) << e;
    }
  }
  // The rest join later: found as well.
  std::vector<std::int32_t> rest;
  for (std::int32_t e = n - 2; e >= 0; e -= 2) rest.push_back(e);
  ASSERT_EQ(group->SetGroupStructure(p, static_cast<std::int32_t>(rest.size()), rest.data(), 1,
                                     one_each.data()),
            0u);
  EXPECT_EQ(group->RowCount(), n);
  for (std::int32_t e : rest) {
    EXPECT_EQ(group->SetEquationVariables(p, e, 2, variables), 0u) << e;
    EXPECT_GE(row_of(e)->VariableCount(), 2) << e;
  }
  unknown->Release();
  parent->Release();
}

// --- decomposition ---

// A group of a server's own making: scripted solve results.
class ScriptedGroup final : public IQLNESO, public IESOEdit, public IQLNESOSolve {
 public:
  ScriptedGroup(std::uint8_t type, std::int32_t size, Status result, std::int32_t iterations)
      : type_(type), size_(size), result_(result), iterations_(iterations) {}
  Status QueryInterface(const platform::IID& iid, void** out) override {
    if (out == nullptr) return platform::E_INVALIDARG;
    if (iid == IID_IESO || iid == IID_IQLNESO || iid == platform::IID_IUnknown) {
      *out = static_cast<IQLNESO*>(this);
    } else if (iid == IID_IESOEdit) {
      *out = static_cast<IESOEdit*>(this);
    } else if (iid == IID_IQLNESOSolve || iid == IID_IESOSolve) {
      *out = static_cast<IQLNESOSolve*>(this);
    } else {
      return platform::E_NOINTERFACE;
    }
    ++refs;
    return 0;
  }
  std::uint32_t AddRef() override { return ++refs; }
  std::uint32_t Release() override { return --refs; }
  Status GetEquationCounts(std::int32_t* e, std::int32_t* f) override {
    *e = size_;
    *f = 0;
    return 0;
  }
  Status GetNonZeroCount(std::int32_t* c) override { return *c = 0; }
  Status GetVariableCounts(std::int32_t* v, std::int32_t* s) override {
    *v = size_;
    return *s = 0;
  }
  Status GetMarkedVariableCount(std::int32_t*) override { return 0; }
  Status GetAllVariableTypes(std::int32_t*, std::int32_t*) override { return 0; }
  Status GetEquationTypes(std::int32_t*) override { return 0; }
  Status GetEquationStructure(std::int32_t, std::int32_t*, std::int32_t*) override { return 0; }
  Status GetVariable(std::int32_t, QLNVariable**) override { return 0; }
  Status GetEquation(std::int32_t, DAESEqnRow**) override { return 0; }
  Status GetGroupType(std::uint8_t* t) override {
    *t = type_;
    return 0;
  }
  Status GetEquationDependence(std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                               std::int32_t*, std::int32_t*) override {
    return 0;
  }
  Status SetFlags(std::uint32_t) override { return 0; }
  Status ClearFlags(std::uint32_t) override { return 0; }
  Status GetFlags(std::uint32_t*) override { return 0; }
  Status GetGroupNumber(std::int32_t* n) override {
    *n = number;
    return 0;
  }
  Status EnumVariables(std::uint32_t, std::uint32_t, const platform::IID&,
                       platform::IUnknown**) override {
    return 0;
  }
  Status SetVariableValues(std::int32_t, QLNVariable* const*, const double*) override { return 0; }
  Status GetVariable2(std::int32_t, QLNVariable**) override { return 0; }
  Status GetEquation2(std::int32_t, DAESEqnRow**) override { return 0; }
  Status GetEquationDependenceCompact(std::int32_t, std::int32_t, std::int32_t, std::int32_t*,
                                      std::int32_t*, std::int32_t*) override {
    return 0;
  }
  Status EnumData(const platform::IID&, platform::IUnknown**) override { return 0; }
  Status GetVariableTypes(std::int32_t, std::int32_t*, std::int32_t*) override { return 0; }
  Status GetEquationStructure2(std::int32_t, std::int32_t*, std::int32_t*) override { return 0; }
  Status GroupNumber() override { return static_cast<Status>(number); }
  Status Reserved27() override { return 0; }
  Status Reserved28() override { return 0; }
  Status AnnounceSolve() override { return 0; }
  Status SetGroupStructure(platform::IUnknown*, std::int32_t, const std::int32_t*, std::int32_t,
                           const std::int32_t*) override {
    return 0;
  }
  Status SetEquationVariables(platform::IUnknown*, std::int32_t, std::int32_t,
                              const std::int32_t*) override {
    return 0;
  }
  Status NotImplemented5() override { return 0; }
  Status SetGroupNumber(std::int32_t n) override {
    number = n;
    return 0;
  }
  Status Solve(std::int32_t, std::int32_t*) override { return 0; }
  Status ReleaseSystem(double) override { return 0; }
  Status ResetSystem() override { return 0; }
  Status GetLastStatus(Status* s) override {
    *s = result_;
    return 0;
  }
  Status ClearSolveFlag() override {
    log += 'p';
    log += std::to_string(number);
    return 0;
  }
  Status SetSolveFlag() override {
    log += 'f';
    log += std::to_string(number);
    return 0;
  }
  Status SolveWithMode(std::int32_t a, std::int32_t b, std::int32_t* it) override {
    log += 's';
    log += std::to_string(number);
    log += '(';
    log += std::to_string(a);
    log += std::to_string(b);
    log += ')';
    *it = iterations_;
    return status::IsFailure(result_) ? kGroupSolveFailed : result_;
  }
  std::uint32_t refs = 1;
  std::int32_t number = 0;
  static std::string log;

 private:
  std::uint8_t type_;
  std::int32_t size_;
  Status result_;
  std::int32_t iterations_;
};
std::string ScriptedGroup::log;

struct Decomposition {
  Decomposition() {
    platform::IUnknown* u = nullptr;
    EXPECT_EQ(CreateDecompositionObject(&u), 0u);
    d = static_cast<QLNDecomposition*>(static_cast<IQLNDecomposition*>(u));
    ScriptedGroup::log.clear();
  }
  ~Decomposition() { EXPECT_EQ(d->Release(), 0u); }
  QLNDecomposition* d;
};

TEST(DecompositionObject, NumbersCountsAndStatistics) {
  Decomposition dec;
  ScriptedGroup a(1, 1, 0, 0), b(6, 5, 0, 0), c(6, 3, 0, 0), t(7, 4, 0, 0);
  for (ScriptedGroup* g : {&a, &b, &c, &t}) {
    EXPECT_EQ(dec.d->AddGroup(static_cast<IQLNESO*>(g)), 0u);
  }
  EXPECT_EQ(a.number, 1);
  EXPECT_EQ(t.number, 4);
  EXPECT_EQ(b.refs, 2u);  // the decomposition's reference
  DecompositionStatistics stats{};
  std::uint32_t largest = 0;
  ASSERT_EQ(dec.d->GetStatistics(&stats, &largest), 0u);
  EXPECT_EQ(stats.count, 4u);
  EXPECT_EQ(stats.by_type[0], 1u);
  EXPECT_EQ(stats.by_type[5], 2u);
  EXPECT_EQ(stats.by_type[6], 1u);
  EXPECT_EQ(largest, 5u);
  EXPECT_EQ(dec.d->GetStatistics(nullptr, &largest), platform::E_INVALIDARG);
  void* p = nullptr;
  EXPECT_EQ(dec.d->GetGroup(4, IID_IESO, &p), platform::E_INVALIDARG);
  EXPECT_EQ(dec.d->GetGroup(-1, IID_IESO, &p), platform::E_INVALIDARG);
  EXPECT_EQ(dec.d->GetGroup(1, IID_IESO, &p), 0u);
  static_cast<IESO*>(p)->Release();
  EXPECT_EQ(dec.d->Reserve(2), 0u);
  EXPECT_EQ(dec.d->Reserve(100), 0u);
  for (auto [type, kind] : std::vector<std::pair<std::uint32_t, std::uint8_t>>{
           {1, 3}, {3, 0}, {4, 1}, {6, 1}, {7, 2}, {0, 255}, {2, 255}, {5, 255}}) {
    EXPECT_EQ(GroupListKind(type), kind) << type;
  }
  // Interface rules of the object itself.
  for (const platform::IID* iid :
       {&platform::IID_IUnknown, &IID_IDecomposition, &IID_IQLNDecomposition, &IID_IDecomp12Ex,
        &IID_IQLNDecomposition20}) {
    void* q = nullptr;
    EXPECT_EQ(dec.d->QueryInterface(*iid, &q), 0u);
    static_cast<platform::IUnknown*>(q)->Release();
  }
  void* q = nullptr;
  EXPECT_EQ(dec.d->QueryInterface(IID_IESO, &q), platform::E_NOINTERFACE);
  EXPECT_EQ(dec.d->QueryInterface(IID_IESO, nullptr), platform::E_INVALIDARG);
  EXPECT_EQ(dec.d->RefCount(), 1u);
}

std::vector<std::uint32_t>& SolvedNotices() {
  static std::vector<std::uint32_t> notices;
  return notices;
}

TEST(DecompositionObject, SetSolvedTellsTheProblemManagerOfChangesOnly) {
  SetDecompositionSolvedHook([](std::uint32_t v) { SolvedNotices().push_back(v); });
  SolvedNotices().clear();
  Decomposition dec;
  std::uint32_t solved = 9;
  EXPECT_EQ(dec.d->SetSolved(1), 0u);
  EXPECT_EQ(dec.d->SetSolved(1), 0u);  // already set: nothing
  dec.d->IsSolved(&solved);
  EXPECT_EQ(solved, 2u);
  EXPECT_EQ(dec.d->SetSolved(0), 0u);
  dec.d->IsSolved(&solved);
  EXPECT_EQ(solved, 0u);
  EXPECT_EQ(SolvedNotices(), (std::vector<std::uint32_t>{2, 0}));
  SetDecompositionSolvedHook(nullptr);
}

TEST(DecompositionObject, StatisticsRecordAndDump) {
  Decomposition dec;
  ScriptedGroup a(1, 1, 0, 0), b(6, 5, 0, 0), t(7, 3, 0, 0);
  for (ScriptedGroup* g : {&a, &b, &t}) dec.d->AddGroup(static_cast<IQLNESO*>(g));
  dec.d->SolveGroups(0, 0, 0, nullptr);
  DseMessage out(1, DseMessage::kReply);
  ASSERT_EQ(dec.d->WriteStatistics(out, 9, 0x01020304u), 0u);
  // kind, value, count, types 1, 3, 6, 4, 7, largest size, solved bit.
  EXPECT_TRUE(testsupport::SameBytes(
      testsupport::HexBytes("09 04030201 03000000 01000000 00000000 01000000 00000000 01000000"
                            " 05000000 01"),
      testsupport::BodyOf(out)));
  std::ostringstream dump;
  dec.d->Dump(dump);
  EXPECT_NE(dump.str().find("Group 3 type 7 size=3 (0 torn) nz=0"), std::string::npos)
      << dump.str();
  EXPECT_EQ(GroupTypeName(4), std::string("Single Nonlinear"));
  EXPECT_EQ(GroupTypeName(9), std::string("unknown type"));
}

TEST(DecompositionObject, FailurePositionAndSeverity) {
  for (Status failure : {0x80310001u, 0xA0310001u}) {
    Decomposition dec;
    ScriptedGroup a(1, 1, 0, 3), b(6, 2, failure, 9), c(3, 2, 0, 1);
    for (ScriptedGroup* g : {&a, &b, &c}) dec.d->AddGroup(static_cast<IQLNESO*>(g));
    std::int32_t most = -1;
    const Status s = dec.d->SolveGroups(0, 1, 4, &most);
    EXPECT_EQ(s, failure == 0xA0310001u ? 0xC0FE0002u : 0x80FE0002u);
    EXPECT_EQ(dec.d->FailedGroup(), 2u);
    EXPECT_EQ(ScriptedGroup::log, "p1s1(14)f1p2s2(14)p3");
    EXPECT_EQ(most, 3);
    // The homotopy steps by the count of the last solution, failed or not.
    EXPECT_EQ(LastSolutionBlockIterations(), 3);
    std::uint32_t solved = 9;
    dec.d->IsSolved(&solved);
    EXPECT_EQ(solved, 0u);
  }
  Decomposition empty;
  std::int32_t most = -1;
  EXPECT_EQ(empty.d->SolveGroups(1, 0, 0, &most), 0u);
  EXPECT_EQ(most, 0);
  EXPECT_EQ(LastSolutionBlockIterations(), 0);
  std::uint32_t solved = 0;
  empty.d->IsSolved(&solved);
  EXPECT_EQ(solved, 2u);
  EXPECT_EQ(empty.d->IsSolved(nullptr), platform::E_INVALIDARG);
}

TEST(DecompositionObject, AnnouncesByTypeAndPrintLevel) {
  for (std::int32_t level : {0, 4}) {
    Options options;
    options.SetInt(kOptPrintLevel, level);
    testsupport::CaptureSink sink;
    Decomposition dec;
    ScriptedGroup lin(3, 4, 0, 0), torn(7, 1, 0, 0), nl(6, 2, 0, 0);
    for (ScriptedGroup* g : {&lin, &torn, &nl}) dec.d->AddGroup(static_cast<IQLNESO*>(g));
    dec.d->SolveGroups(1, 0, 0, nullptr);
    std::vector<std::string> want;
    if (level >= 4) want.push_back("Solving group 1, size 4, type Linear");
    want.push_back("Solving group 2, type Torn");
    want.push_back("Solving group 3, size 2, type Nonlinear");
    EXPECT_EQ(sink.lines(), want) << level;
    // Without the announce flag nothing is printed.
    Decomposition quiet;
    ScriptedGroup t2(7, 2, 0, 0);
    quiet.d->AddGroup(static_cast<IQLNESO*>(&t2));
    quiet.d->SolveGroups(0, 0, 0, nullptr);
    EXPECT_EQ(sink.lines().size(), want.size());
  }
}

}  // namespace
