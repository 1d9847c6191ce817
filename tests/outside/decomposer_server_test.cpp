// The decomposition server through its COM interfaces, created from the
// build tree's registry file, with a fake block and a fake executive.
#include <btf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "outside/decomposer/decomposition_rules.h"
#include "tests/outside/server_models.h"
#include "tests/support/scoped_env.h"

namespace {

using namespace server_test;

class DecomposerServer : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_LE(platform::CoInitializeEx(nullptr, 0), 1u); }
  void TearDown() override {
    platform::CoUninitialize();
    EXPECT_EQ(LiveFakes(), 0);
    EXPECT_EQ(ServerLiveObjects("vantor_decomposer.so"), 0);
  }

  // Decomposes `model` and keeps the result in decomposition_.
  Status Decompose(Model* model, std::uint32_t kind, std::uint32_t mode, std::uint32_t flags) {
    auto* group = new FakeProblemGroup(model);
    group->AddRef();
    group_ = group;
    auto* exec = new FakeExecutive(model);
    exec->AddRef();
    exec_ = exec;
    IUnknown* made = nullptr;
    EXPECT_EQ(exec->CreateDecomposerObject(&made), 0u);
    if (made == nullptr) return platform::E_FAIL;
    auto* decomposer =
        static_cast<IQLNDecomposer*>(static_cast<IDecomposer*>(static_cast<IUnknown*>(made)));
    void* q = nullptr;
    EXPECT_EQ(made->QueryInterface(IID_IQLNDecomposer, &q), 0u);
    decomposer = static_cast<IQLNDecomposer*>(q);
    made->Release();
    IQLNDecomposition* out = nullptr;
    const Status s = decomposer->Decompose(exec, group, kind, mode, flags, &out);
    decomposer->Release();
    decomposition_ = out;
    return s;
  }
  void Drop() {
    if (decomposition_ != nullptr) decomposition_->Release();
    if (group_ != nullptr) group_->Release();
    if (exec_ != nullptr) exec_->Release();
    decomposition_ = nullptr;
    group_ = nullptr;
    exec_ = nullptr;
  }
  std::vector<RecordingGroup*> Groups() const {
    return exec_->last_decomposition != nullptr ? exec_->last_decomposition->groups
                                                : std::vector<RecordingGroup*>{};
  }

  testsupport::ScopedEnv registry_{"VANTOR_REGISTRY", VANTOR_BUILD_REGISTRY};
  FakeProblemGroup* group_ = nullptr;
  FakeExecutive* exec_ = nullptr;
  IQLNDecomposition* decomposition_ = nullptr;
};

// Every group square, each equation holding its output, every unknown and
// equation in one group, and no equation reaching an unknown of a later group.
void ExpectValidOrder(const Model& m, const std::vector<RecordingGroup*>& groups,
                      const std::set<std::int32_t>& unknowns) {
  std::map<std::int32_t, std::size_t> group_of;
  std::set<std::int32_t> equations;
  for (std::size_t g = 0; g < groups.size(); ++g) {
    const RecordingGroup& gr = *groups[g];
    ASSERT_EQ(gr.equations.size(), gr.unknowns.size()) << "group " << g;
    for (std::size_t k = 0; k < gr.equations.size(); ++k) {
      ASSERT_TRUE(equations.insert(gr.equations[k]).second);
      ASSERT_TRUE(group_of.emplace(gr.unknowns[k], g).second);
      const auto& vars = m.equations[static_cast<std::size_t>(gr.equations[k])].variables;
      ASSERT_NE(std::find(vars.begin(), vars.end(), gr.unknowns[k]), vars.end())
          << "equation " << gr.equations[k] << " lacks its output";
    }
  }
  ASSERT_EQ(equations.size(), m.equations.size());
  ASSERT_EQ(std::set<std::int32_t>([&] {
              std::set<std::int32_t> s;
              for (auto& [v, g] : group_of) s.insert(v);
              return s;
            }()),
            unknowns);
  for (std::size_t g = 0; g < groups.size(); ++g) {
    for (const std::int32_t e : groups[g]->equations) {
      for (const std::int32_t v : m.equations[static_cast<std::size_t>(e)].variables) {
        auto it = group_of.find(v);
        if (it != group_of.end()) {
          ASSERT_LE(it->second, g) << "equation " << e;
        }
      }
    }
  }
}

std::set<std::int32_t> AlgebraicAndStates(const Model& m) {
  std::set<std::int32_t> s;
  for (std::size_t v = 0; v < m.types.size(); ++v) {
    if (((m.types[v] & 0x60) != 0x60 || (m.types[v] & 0x1) != 0) && (m.types[v] & 0x3) != 0)
      s.insert(static_cast<std::int32_t>(v));
  }
  return s;
}

TEST_F(DecomposerServer, TankInSteadyStateAndInitialisation) {
  Tank t;
  ASSERT_EQ(Decompose(&t.m, decomposer::kKindSteadyState, 0, 0), 0u);
  auto groups = Groups();
  ASSERT_EQ(groups.size(), 2u);
  // Steady: qout from the balance (h' known at 0), then h from the outflow law.
  EXPECT_EQ(groups[0]->unknowns, std::vector<std::int32_t>{t.qout});
  EXPECT_EQ(groups[0]->type, kGroupTypeExplicit);
  EXPECT_EQ(groups[1]->unknowns, std::vector<std::int32_t>{t.h});
  EXPECT_EQ(groups[1]->type, kGroupTypeSingleNonlinear);
  ExpectValidOrder(t.m, groups, {t.h, t.qout});
  EXPECT_EQ(exec_->last_decomposition->reserved, 2);
  for (auto* g : groups) {
    for (auto& [eq, calls] : g->row_calls) EXPECT_EQ(calls, 1) << "equation " << eq;
  }
  Drop();

  ASSERT_EQ(Decompose(&t.m, decomposer::kKindInitialisation, 0, 0), 0u);
  groups = Groups();
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0]->unknowns, std::vector<std::int32_t>{t.qout});
  EXPECT_EQ(groups[1]->unknowns, std::vector<std::int32_t>{t.dh});
  EXPECT_EQ(groups[1]->type, kGroupTypeExplicit);
  Drop();
}

TEST_F(DecomposerServer, CorrectorPairsDerivativesWithStatesBeforeRowsAreSet) {
  Tank t;
  ASSERT_EQ(Decompose(&t.m, decomposer::kKindCorrector, 0, 0), 0u);
  auto groups = Groups();
  // h and qout are coupled through h' = (qin - qout)/A once h' follows h.
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0]->equations.size(), 2u);
  EXPECT_EQ(groups[0]->type, kGroupTypeNonlinear);
  for (const auto flags : groups[0]->row_flags_at_call) EXPECT_NE(flags & 0x1, 0u);
  // The balance row holds the state in place of its derivative.
  const auto& row = groups[0]->rows.at(0);
  EXPECT_NE(std::find(row.begin(), row.end(), t.h), row.end());
  EXPECT_EQ(std::find(row.begin(), row.end(), t.dh), row.end());
  Drop();
}

TEST_F(DecomposerServer, AnInitialStateIsAnUnknownOfSteadyStateAndCorrector) {
  // An "initial" specification gives the state the fixed bits 0x60.
  Tank t;
  t.m.types[static_cast<std::size_t>(t.h)] |= 0x60;
  ASSERT_EQ(Decompose(&t.m, decomposer::kKindSteadyState, 0, 0), 0u);
  auto groups = Groups();
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[1]->unknowns, std::vector<std::int32_t>{t.h});
  Drop();
  // Initialisation: the state keeps its given value.
  ASSERT_EQ(Decompose(&t.m, decomposer::kKindInitialisation, 0, 0), 0u);
  groups = Groups();
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[1]->unknowns, std::vector<std::int32_t>{t.dh});
  Drop();
  ASSERT_EQ(Decompose(&t.m, decomposer::kKindCorrector, 0, 0), 0u);
  groups = Groups();
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0]->equations.size(), 2u);
  Drop();
  // A fixed algebraic variable stays known: without qout the block is singular.
  t.m.types[static_cast<std::size_t>(t.qout)] |= 0x60;
  EXPECT_EQ(Decompose(&t.m, decomposer::kKindSteadyState, 0, 0), 0xC0FE0001u);
  Drop();
}

TEST_F(DecomposerServer, GroupTypesFollowTheDependenceKinds) {
  Mixed x;
  ASSERT_EQ(Decompose(&x.m, decomposer::kKindSteadyState, 0, decomposer::kFlagTearing), 0u);
  auto groups = Groups();
  ASSERT_EQ(groups.size(), 4u);
  std::vector<std::int32_t> types;
  for (auto* g : groups) types.push_back(g->type);
  EXPECT_EQ(types, (std::vector<std::int32_t>{1, 3, 6, 7}));
  ExpectValidOrder(x.m, groups, AlgebraicAndStates(x.m));
  Drop();
  // Without tearing asked the torn rows make an ordinary nonlinear group.
  ASSERT_EQ(Decompose(&x.m, decomposer::kKindSteadyState, 0, 0), 0u);
  EXPECT_EQ(Groups().back()->type, kGroupTypeNonlinear);
  Drop();
}

// A torn block's inner groups (mode 32 or 64 with tearing asked): the torn
// row is the tear iteration's, and its output, which the block reports
// fixed, is known. Without tearing asked the same mode keeps every row.
TEST_F(DecomposerServer, ATornBlocksSecondLevelLeavesItsTornRowsOut) {
  Model m;
  const std::int32_t x = m.AddVariable(kAlgebraic, 0.0), y = m.AddVariable(kFixed, 0.0),
                     k = m.AddVariable(kFixed, 3.0);
  const auto X = static_cast<std::size_t>(x), Y = static_cast<std::size_t>(y),
             K = static_cast<std::size_t>(k);
  m.AddEquation(
      {y, x}, {1, 1}, [=](const V& v) { return v[Y] - 0.5 * v[X]; }, 8);
  m.AddEquation({x, y, k}, {1, 1, 1}, [=](const V& v) { return v[X] - v[Y] - v[K]; });
  for (std::uint32_t mode : {32u, 64u}) {
    ASSERT_EQ(Decompose(&m, decomposer::kKindCorrector, mode, decomposer::kFlagTearing), 0u);
    ASSERT_EQ(Groups().size(), 1u) << mode;
    EXPECT_EQ(Groups()[0]->equations, std::vector<std::int32_t>{1});
    EXPECT_EQ(Groups()[0]->unknowns, std::vector<std::int32_t>{x});
    EXPECT_EQ(Groups()[0]->type, kGroupTypeExplicit);
    Drop();
  }
  // Without tearing asked, or without a second-level mode, the torn row
  // stays: one unknown for two rows.
  EXPECT_NE(Decompose(&m, decomposer::kKindCorrector, 64, 0), 0u);
  Drop();
  EXPECT_NE(Decompose(&m, decomposer::kKindCorrector, 0, decomposer::kFlagTearing), 0u);
  Drop();
}

TEST_F(DecomposerServer, SingleGroupAndOutGroupFlags) {
  Mixed x;
  ASSERT_EQ(Decompose(&x.m, 0, 0, decomposer::kFlagSingleGroup | decomposer::kFlagManyGroups), 0u);
  ASSERT_EQ(Groups().size(), 1u);
  EXPECT_EQ(Groups()[0]->equations.size(), 7u);
  EXPECT_EQ(Groups()[0]->type, kGroupTypeNonlinear);
  Drop();
  ASSERT_EQ(Decompose(&x.m, 0, 64 + 3, decomposer::kFlagOutGroup), 0u);
  ASSERT_EQ(Groups().size(), 5u);
  EXPECT_EQ(Groups().back()->equations.size(), 7u);
  Drop();
}

// x' = -p x: one equation, explicit in x' at initialisation. The
// sensitivity calculator factorises its group's Jacobian, so with the
// sensitivity flags the same equation is a solver group.
TEST_F(DecomposerServer, SensitivityDecompositionsAreNeverExplicit) {
  Model m;
  std::int32_t dx = 0;
  const std::int32_t x = m.AddState(1.0, &dx);
  const std::int32_t p = m.AddVariable(kFixed, 0.7);
  const auto X = static_cast<std::size_t>(x), DX = static_cast<std::size_t>(dx),
             P = static_cast<std::size_t>(p);
  m.AddEquation({dx, p, x}, {1, 3, 3}, [=](const V& v) { return v[DX] + v[P] * v[X]; });
  ASSERT_EQ(Decompose(&m, decomposer::kKindInitialisation, 0, 0), 0u);
  ASSERT_EQ(Groups().size(), 1u);
  EXPECT_EQ(Groups()[0]->type, kGroupTypeExplicit);
  Drop();
  // Initialisation sensitivities (16, 96) and dynamic ones (3, 64).
  const std::uint32_t word = decomposer::kFlagSingleGroup | decomposer::kFlagSensitivity8 |
                             decomposer::kFlagSensitivity200 | decomposer::kFlagWithDerivatives;
  ASSERT_EQ(Decompose(&m, 16, 96, word | decomposer::kFlagInitialValues), 0u);
  ASSERT_EQ(Groups().size(), 1u);
  EXPECT_EQ(Groups()[0]->unknowns, std::vector<std::int32_t>{dx});
  EXPECT_EQ(Groups()[0]->type, kGroupTypeSingleNonlinear);
  Drop();
  ASSERT_EQ(Decompose(&m, decomposer::kKindCorrector, 64, word | decomposer::kFlagOutGroup), 0u);
  ASSERT_EQ(Groups().size(), 1u);
  EXPECT_EQ(Groups()[0]->type, kGroupTypeSingleNonlinear);
  Drop();
}

TEST_F(DecomposerServer, StructurallySingularBlockIsRefused) {
  Singular s;
  EXPECT_EQ(Decompose(&s.m, 0, 0, 0), kDecompositionSingular);
  EXPECT_EQ(decomposition_, nullptr);
  Drop();
  // Square but unmatched: x in both equations, y in none.
  Singular t;
  t.m.equations[1].variables = {0};
  t.m.types[1] = kAlgebraic;
  t.m.AddVariable(kFixed);
  EXPECT_EQ(Decompose(&t.m, 0, 0, 0), kDecompositionSingular);
  Drop();
}

TEST_F(DecomposerServer, CombinationsOutsideTheTableAreRefusedWithAText) {
  Tank t;
  EXPECT_EQ(Decompose(&t.m, 4, 0, 0), platform::E_FAIL);
  ASSERT_EQ(exec_->messages.size(), 1u);
  EXPECT_EQ(exec_->messages[0],
            "Decomposition server: kind 4, mode 0, flags 0x0 is not a decomposition this server "
            "makes");
  EXPECT_EQ(decomposition_, nullptr);
  Drop();
  EXPECT_EQ(Decompose(&t.m, 0, 8, 0), platform::E_FAIL);
  Drop();
  EXPECT_EQ(Decompose(&t.m, 0, 0, 0x20), platform::E_FAIL);
  Drop();
}

// The table of README.md, triple by triple.
TEST(DecompositionRules, TableOfKindModeAndFlags) {
  using decomposer::DecompositionRules;
  using decomposer::RulesFor;
  using decomposer::Unknowns;
  struct Row {
    std::uint32_t kind, mode, flags;
    bool accepted;
    Unknowns unknowns;
    bool single, tearing, out_group, partners;
  };
  const Unknowns S = Unknowns::kSteadyState, I = Unknowns::kInitialisation,
                 C = Unknowns::kCorrector;
  const Row rows[] = {
      // our integrator: steady state, initialisation, re-initialisation
      {0, 0, 0, true, S, false, false, false, false},
      {1, 0, 0x2, true, I, false, true, false, false},
      {2, 0, 0, true, I, false, false, false, false},
      {3, 0, 0, true, C, false, false, false, false},
      {7, 0, 0, true, I, false, false, false, false},
      // the engine's proxy
      {0, 0, 0x4, true, S, true, false, false, false},
      {0, 0, 0x800, true, S, false, false, false, false},
      // torn blocks' second level
      {3 + 16, 2 + 64, 0x1 | 0x100 | 0x1000, true, C, false, true, true, true},
      {1, 5 + 32, 0x3, true, I, false, true, true, false},
      // the sensitivity calculator
      {1, 70, 524, true, I, true, false, false, false},
      {3, 68, 540, true, C, true, false, false, true},
      {3, 64, 541, true, C, true, false, false, true},
      {7, 64, 540, true, I, true, false, false, true},
      // With initial values the states are known.
      {6, 64, 1564, true, I, true, false, false, true},
      {16, 96, 1564, true, I, true, false, false, true},
      {16, 96, 540, true, S, true, false, false, true},
      // refused
      {4, 0, 0, false, S, false, false, false, false},
      {5, 0, 0, false, S, false, false, false, false},
      {8, 0, 0, false, S, false, false, false, false},
      {0, 128, 0, false, S, false, false, false, false},
      {0, 0, 0x2000, false, S, false, false, false, false},
      {0, 0, 0x20, false, S, false, false, false, false},
  };
  for (const Row& r : rows) {
    DecompositionRules got;
    SCOPED_TRACE(::testing::Message() << r.kind << " " << r.mode << " " << r.flags);
    ASSERT_EQ(RulesFor(r.kind, r.mode, r.flags, &got), r.accepted);
    if (!r.accepted) continue;
    EXPECT_EQ(got.unknowns, r.unknowns);
    EXPECT_EQ(got.single_group, r.single);
    EXPECT_EQ(got.tearing, r.tearing);
    EXPECT_EQ(got.out_group, r.out_group);
    EXPECT_EQ(got.with_partners, r.partners);
    // Only tearing asked with a second-level mode leaves torn rows out.
    EXPECT_EQ(got.second_level, r.tearing && (r.mode & 96) != 0);
  }
}

// Reference: SuiteSparse BTF on the equation/unknown pattern.
std::vector<std::int64_t> BtfBlockSizes(const Model& m) {
  const auto n = static_cast<SuiteSparse_long>(m.equations.size());
  std::vector<SuiteSparse_long> ap{0}, ai;
  for (const auto& eq : m.equations) {
    std::set<std::int32_t> cols(eq.variables.begin(), eq.variables.end());
    for (auto c : cols) ai.push_back(c);
    ap.push_back(static_cast<SuiteSparse_long>(ai.size()));
  }
  std::vector<SuiteSparse_long> p(n), q(n), r(n + 1), work(5 * n);
  double work_done = 0;
  SuiteSparse_long matched = 0;
  const SuiteSparse_long blocks = btf_l_order(n, ap.data(), ai.data(), -1, &work_done, p.data(),
                                              q.data(), r.data(), &matched, work.data());
  EXPECT_EQ(matched, n);
  std::vector<std::int64_t> sizes;
  for (SuiteSparse_long b = 0; b < blocks; ++b) sizes.push_back(r[b + 1] - r[b]);
  std::sort(sizes.begin(), sizes.end());
  return sizes;
}

TEST_F(DecomposerServer, GeneratedFlowsheetMatchesBtfBlocks) {
  for (const std::uint64_t seed : {1u, 2u, 3u}) {
    Model m = Flowsheet(800, seed);
    ASSERT_GT(m.equations.size(), 2000u);
    ASSERT_EQ(Decompose(&m, 0, 0, 0), 0u);
    const auto groups = Groups();
    ExpectValidOrder(m, groups, AlgebraicAndStates(m));
    std::vector<std::int64_t> sizes;
    for (auto* g : groups) {
      sizes.push_back(static_cast<std::int64_t>(g->equations.size()));
      if (g->equations.size() == 1) {
        EXPECT_TRUE(g->type == kGroupTypeExplicit || g->type == kGroupTypeSingleNonlinear);
      } else {
        EXPECT_TRUE(g->type == kGroupTypeLinear || g->type == kGroupTypeNonlinear);
      }
    }
    std::sort(sizes.begin(), sizes.end());
    EXPECT_EQ(sizes, BtfBlockSizes(m)) << "seed " << seed;
    EXPECT_GT(std::count_if(sizes.begin(), sizes.end(), [](auto s) { return s > 1; }), 10);
    Drop();
  }
}

TEST_F(DecomposerServer, BadStructureAndNullArgumentsAreRefused) {
  Tank t;
  // A structure count beyond the block's variables.
  group_ = new FakeProblemGroup(&t.m);
  group_->AddRef();
  exec_ = new FakeExecutive(&t.m);
  exec_->AddRef();
  IUnknown* made = nullptr;
  ASSERT_EQ(exec_->CreateDecomposerObject(&made), 0u);
  void* q = nullptr;
  ASSERT_EQ(made->QueryInterface(IID_IQLNDecomposer, &q), 0u);
  made->Release();
  auto* d = static_cast<IQLNDecomposer*>(q);
  IQLNDecomposition* out = nullptr;
  group_->structure_count_override = 99;
  EXPECT_EQ(d->Decompose(exec_, group_, 0, 0, 0, &out), 0xC0FE0004u);
  group_->structure_count_override = -1;
  group_->structure_offset = 4;  // a variable past the end
  EXPECT_EQ(d->Decompose(exec_, group_, 0, 0, 0, &out), 0xC0FE0004u);
  group_->structure_offset = 0;
  // A partner past the end, and a dependence kind outside 1..4.
  t.m.partners[0] = 9;
  EXPECT_EQ(d->Decompose(exec_, group_, 0, 0, 0, &out), 0xC0FE0004u);
  t.m.partners[0] = t.dh;
  t.m.equations[1].kinds[1] = 9;
  EXPECT_EQ(d->Decompose(exec_, group_, 0, 0, 0, &out), 0xC0FE0004u);
  t.m.equations[1].kinds[1] = 3;
  EXPECT_EQ(d->Decompose(nullptr, group_, 0, 0, 0, &out), platform::E_INVALIDARG);
  EXPECT_EQ(d->Decompose(exec_, nullptr, 0, 0, 0, &out), platform::E_INVALIDARG);
  EXPECT_EQ(d->Decompose(exec_, group_, 0, 0, 0, nullptr), platform::E_POINTER);
  // A factory that is not the executive.
  EXPECT_EQ(d->Decompose(group_, group_, 0, 0, 0, &out), platform::E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(d->Reserved5(), platform::E_FAIL);
  EXPECT_EQ(d->Decompose12(exec_, group_, 0, 0, 0, &out), 0u);
  ASSERT_NE(out, nullptr);
  out->Release();
  d->Release();
  Drop();
}

TEST_F(DecomposerServer, VersionOptionsAndInterfaces) {
  platform::CLSID clsid{};
  ASSERT_EQ(platform::CLSIDFromProgID(u"Brunvald.Decomposer", &clsid), 0u);
  void* p = nullptr;
  ASSERT_EQ(platform::CoCreateInstance(clsid, nullptr, 23, IID_IDecomposerCreation, &p), 0u);
  auto* creation = static_cast<IDecomposerCreation*>(p);
  char16_t version[kDecomposerVersionChars] = {};
  ASSERT_EQ(creation->GetVersion(version), 0u);
  EXPECT_EQ(std::u16string(version), u"13");
  EXPECT_EQ(creation->GetVersion(nullptr), platform::E_POINTER);
  EXPECT_EQ(creation->QueryInterface(IID_IQLNDecomposer, nullptr), platform::E_POINTER);
  void* none = &p;
  EXPECT_EQ(creation->QueryInterface(IID_IUnifiedIntegrator, &none), platform::E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);

  void* e = nullptr;
  ASSERT_EQ(creation->QueryInterface(IID_IOptionEnumerator2, &e), 0u);
  auto* options = static_cast<IOptionEnumerator2*>(e);
  OptionEntry entries[10];
  std::uint32_t fetched = 0;
  EXPECT_EQ(options->Next(10, entries, &fetched), 0u);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(std::u16string(entries[0].name), u"Tearing");
  EXPECT_EQ(entries[0].engine_number, 97u);
  EXPECT_EQ(entries[1].engine_number, 153u);
  EXPECT_EQ(entries[1].vt, kVariantInt32);
  EXPECT_EQ(options->Next(10, entries, &fetched), 1u);
  EXPECT_EQ(fetched, 0u);

  void* dq = nullptr;
  ASSERT_EQ(creation->QueryInterface(IID_IDecomposer, &dq), 0u);
  auto* d = static_cast<IQLNDecomposer*>(static_cast<IDecomposer*>(dq));
  EXPECT_EQ(d->SetOption(entries[1].server_id, IntValue(0), nullptr), 0u);
  EXPECT_EQ(d->SetOption(entries[1].server_id, RealValue(0.0), nullptr), platform::E_INVALIDARG);
  EXPECT_EQ(d->SetOption(entries[1].server_id, IntValue(2), nullptr), platform::E_INVALIDARG);
  EXPECT_EQ(d->SetOption(99, IntValue(0), nullptr), platform::E_INVALIDARG);
  for (std::uint32_t i = 0; i < 2; ++i) platform::CoTaskMemFree(entries[i].name);

  // With Decomposition.MultipleGroup off one group comes back.
  Mixed x;
  auto* group = new FakeProblemGroup(&x.m);
  auto* exec = new FakeExecutive(&x.m);
  group->AddRef();
  exec->AddRef();
  IQLNDecomposition* out = nullptr;
  ASSERT_EQ(d->Decompose(exec, group, 0, 0, 0, &out), 0u);
  EXPECT_EQ(exec->last_decomposition->groups.size(), 1u);
  out->Release();
  group->Release();
  exec->Release();
  options->Release();
  d->Release();
  creation->Release();
}

}  // namespace
