#include "outside/decomposer/decomposer_server.h"

#include <cstdio>
#include <string>
#include <vector>

#include "outside/decomposer/block_plan.h"
#include "outside/decomposer/decomposition_rules.h"
#include "solve/ifaces/decomposition.h"
#include "solve/ifaces/equation_set.h"

namespace decomposer {

namespace {

using outside::QueryRef;
using outside::Ref;

const outside::PublishedOption kOptions[] = {
    {"Tearing", 97, kOptionTearing, kVariantInt32, 0, 3},
    {"Decomposition.MultipleGroup", 153, kOptionMultipleGroup, kVariantInt32, 0, 1},
};

void Post(IQLNESOFactory* factory, Status status, const std::string& text) {
  const char* texts[] = {text.c_str()};
  factory->PostSolverMessage(status, 1, texts, 0, nullptr);
}

// Whether the equation depends linearly (kind 1) on every listed unknown;
// `explicit_kind` also accepts kind 2 (for a single equation).
Status DependenceOf(IQLNESO* block, std::int32_t equation, std::vector<std::int32_t> unknowns,
                    bool with_partners, bool* linear, bool* explicit_form) {
  std::vector<std::int32_t> kinds(unknowns.size() + 1, 0);
  auto count = static_cast<std::int32_t>(unknowns.size());
  const std::int32_t asked = count;
  const Status s = block->GetEquationDependenceCompact(equation, with_partners ? 1 : 0, 0, &count,
                                                       unknowns.data(), kinds.data());
  if (s != 0) return s;
  if (count < 0 || count > asked) return kBlockUnreadable;
  // An unknown the equation does not depend on after all is no linear use.
  *linear = count == asked;
  *explicit_form = count == asked;
  for (std::int32_t i = 0; i < count; ++i) {
    const std::int32_t kind = kinds[static_cast<std::size_t>(i)];
    if (kind < 1 || kind > 4) return kBlockUnreadable;
    if (kind != 1) *linear = false;
    if (kind != 1 && kind != 2) *explicit_form = false;
  }
  return platform::S_OK;
}

// The raw variables of `equation` that stand for unknowns of the group.
std::vector<std::int32_t> GroupVariablesOf(const BlockPattern& pattern, const UnknownMap& map,
                                           const std::vector<bool>& in_group,
                                           std::int32_t equation) {
  std::vector<std::int32_t> out;
  for (const std::int32_t v : pattern.VariablesOf(equation)) {
    const std::int32_t c = map.column_of_variable[static_cast<std::size_t>(v)];
    if (c < 0 || !in_group[static_cast<std::size_t>(c)]) continue;
    bool seen = false;
    for (const std::int32_t w : out) seen = seen || w == v;
    if (!seen) out.push_back(v);
  }
  return out;
}

struct Builder {
  IQLNESOFactory* factory;
  platform::IUnknown* equation_set;
  IQLNESO* block;
  const BlockPattern& pattern;
  const UnknownMap& map;
  const DecompositionRules& rules;
  std::vector<bool> in_group;  // by column

  void Mark(const PlannedGroup& group, bool on) {
    for (const std::int32_t v : group.unknowns) {
      in_group[static_cast<std::size_t>(map.column_of_variable[static_cast<std::size_t>(v)])] = on;
    }
  }

  Status Classify(PlannedGroup& group) {
    Mark(group, true);
    bool all_linear = true, single_explicit = false;
    Status s = platform::S_OK;
    for (const std::int32_t e : group.equations) {
      // The dependence is asked for the group's unknowns as columns: with
      // pairing that is the state, whose derivative counts through partners.
      std::vector<std::int32_t> asked;
      for (const std::int32_t w : pattern.VariablesOf(e)) {
        const std::int32_t c = map.column_of_variable[static_cast<std::size_t>(w)];
        if (c < 0 || !in_group[static_cast<std::size_t>(c)]) continue;
        const std::int32_t v = map.variable_of_column[static_cast<std::size_t>(c)];
        bool seen = false;
        for (const std::int32_t a : asked) seen = seen || a == v;
        if (!seen) asked.push_back(v);
      }
      bool linear = false, explicit_form = false;
      s = DependenceOf(block, e, asked,
                       rules.with_partners || rules.unknowns == Unknowns::kCorrector, &linear,
                       &explicit_form);
      if (s != 0) break;
      all_linear = all_linear && linear;
      single_explicit = explicit_form;
    }
    Mark(group, false);
    if (s != 0) return s;
    bool torn = false;
    if (rules.tearing) {
      for (const std::int32_t e : group.equations) {
        torn = torn || pattern.equation_types[static_cast<std::size_t>(e)] == kEquationTorn;
      }
    }
    if (torn) {
      group.type = kGroupTypeTorn;
    } else if (group.equations.size() == 1) {
      group.type = single_explicit && !rules.sensitivity ? kGroupTypeExplicit
                                                         : kGroupTypeSingleNonlinear;
    } else {
      group.type = all_linear ? kGroupTypeLinear : kGroupTypeNonlinear;
    }
    return platform::S_OK;
  }

  Status Build(const PlannedGroup& group, IQLNDecomposition* decomposition) {
    Ref<platform::IUnknown> made;
    Status s = factory->CreateESOGroupObject(group.type, made.Out());
    if (s != 0) return s;
    if (!made) return platform::E_POINTER;
    auto edit = QueryRef<IESOEdit>(made.get(), IID_IESOEdit);
    auto solve = QueryRef<IQLNESOSolve>(made.get(), IID_IQLNESOSolve);
    if (!edit || !solve) return platform::E_NOINTERFACE;
    if (rules.unknowns == Unknowns::kCorrector) {
      auto eso = QueryRef<IQLNESO>(made.get(), IID_IQLNESO);
      if (!eso) return platform::E_NOINTERFACE;
      if ((s = eso->SetFlags(0x1)) != 0) return s;
    }
    const auto n = static_cast<std::int32_t>(group.equations.size());
    s = edit->SetGroupStructure(equation_set, n, group.equations.data(), n, group.unknowns.data());
    if (s != 0) return s;
    Mark(group, true);
    for (const std::int32_t e : group.equations) {
      const std::vector<std::int32_t> vars = GroupVariablesOf(pattern, map, in_group, e);
      s = edit->SetEquationVariables(equation_set, e, static_cast<std::int32_t>(vars.size()),
                                     vars.data());
      if (s != 0 && s != 1) break;
      s = 0;
    }
    Mark(group, false);
    if (s != 0) return s;
    return decomposition->AddGroup(solve.get());
  }
};

}  // namespace

DecomposerServer::DecomposerServer() { ++outside::LiveObjects(); }
DecomposerServer::~DecomposerServer() { --outside::LiveObjects(); }

Status DecomposerServer::QueryInterface(const platform::IID& iid, void** object) {
  if (object == nullptr) return platform::E_POINTER;
  if (iid == platform::IID_IUnknown || iid == IID_IDecomposerCreation) {
    *object = static_cast<IDecomposerCreation*>(this);
  } else if (iid == IID_IQLNDecomposer || iid == IID_IDecomposer) {
    *object = static_cast<IQLNDecomposer*>(this);
  } else if (iid == IID_IOptionEnumerator2) {
    auto* e = new (std::nothrow)
        outside::OptionEnumerator(kOptions, sizeof kOptions / sizeof kOptions[0]);
    if (e == nullptr) {
      *object = nullptr;
      return platform::E_OUTOFMEMORY;
    }
    return e->QueryInterface(iid, object);
  } else {
    *object = nullptr;
    return platform::E_NOINTERFACE;
  }
  AddRef();
  return platform::S_OK;
}

std::uint32_t DecomposerServer::AddRef() { return ++refs_; }

std::uint32_t DecomposerServer::Release() {
  const std::uint32_t left = --refs_;
  if (left == 0) delete this;
  return left;
}

Status DecomposerServer::GetVersion(char16_t* text) {
  if (text == nullptr) return platform::E_POINTER;
  std::size_t i = 0;
  for (; kDecomposerVersion[i] != '\0'; ++i) text[i] = static_cast<char16_t>(kDecomposerVersion[i]);
  text[i] = u'\0';
  return platform::S_OK;
}

Status DecomposerServer::Decompose12(platform::IUnknown* factory, platform::IUnknown* equation_set,
                                     std::uint32_t kind, std::uint32_t mode, std::uint32_t flags,
                                     IQLNDecomposition** out) {
  return Decompose(factory, equation_set, kind, mode, flags, out);
}

Status DecomposerServer::SetOption(std::uint32_t server_id, VARIANT value, platform::IUnknown*) {
  for (const auto& option : kOptions) {
    if (option.server_id != server_id) continue;
    const Status s = outside::CheckOptionValue(option, value);
    if (s != 0) return s;
    if (server_id == kOptionTearing) tearing_ = value.lVal;
    if (server_id == kOptionMultipleGroup) multiple_group_ = value.lVal;
    return platform::S_OK;
  }
  return platform::E_INVALIDARG;
}

Status DecomposerServer::Reserved5() { return platform::E_FAIL; }

Status DecomposerServer::Decompose(platform::IUnknown* factory_unknown,
                                   platform::IUnknown* equation_set, std::uint32_t kind,
                                   std::uint32_t mode, std::uint32_t flags,
                                   IQLNDecomposition** out) {
  if (out == nullptr) return platform::E_POINTER;
  *out = nullptr;
  if (factory_unknown == nullptr || equation_set == nullptr) return platform::E_INVALIDARG;
  auto factory = QueryRef<IQLNESOFactory>(factory_unknown, IID_IQLNESOFactory);
  auto block = QueryRef<IQLNESO>(equation_set, IID_IQLNESO);
  if (!factory || !block) return platform::E_NOINTERFACE;

  DecompositionRules rules;
  if (!RulesFor(kind, mode, flags, &rules)) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "Decomposition server: kind %u, mode %u, flags 0x%X is not a decomposition "
                  "this server makes",
                  kind, mode, flags);
    Post(factory.get(), platform::E_FAIL, text);
    return platform::E_FAIL;
  }
  if (multiple_group_ == 0) rules.single_group = true;
  if (tearing_ == 0) rules.tearing = false;

  BlockPattern pattern;
  Status s = ReadBlock(block.get(), &pattern);
  if (s != 0) return s;
  // Planned on the block's own equations, or on those a torn block leaves
  // to its inner groups; the groups name block positions either way.
  std::vector<std::int32_t> kept;
  const BlockPattern inner =
      rules.second_level ? WithoutTornEquations(pattern, &kept) : BlockPattern{};
  const BlockPattern& planned = rules.second_level ? inner : pattern;
  const UnknownMap map = SelectUnknowns(planned, rules.unknowns);
  std::vector<PlannedGroup> groups;
  if ((s = PlanGroups(planned, map, rules, &groups)) != 0) return s;
  if (rules.second_level) {
    for (PlannedGroup& g : groups)
      for (std::int32_t& e : g.equations) e = kept[static_cast<std::size_t>(e)];
  }

  Builder builder{factory.get(),
                  equation_set,
                  block.get(),
                  pattern,
                  map,
                  rules,
                  std::vector<bool>(map.variable_of_column.size(), false)};
  for (PlannedGroup& g : groups) {
    if ((s = builder.Classify(g)) != 0) return s;
  }
  Ref<platform::IUnknown> made;
  if ((s = factory->CreateDecompositionObject(made.Out())) != 0) return s;
  auto decomposition = QueryRef<IQLNDecomposition>(made.get(), IID_IQLNDecomposition);
  if (!decomposition) return platform::E_NOINTERFACE;
  if ((s = decomposition->Reserve(static_cast<std::int32_t>(groups.size()))) != 0) return s;
  for (const PlannedGroup& g : groups) {
    if ((s = builder.Build(g, decomposition.get())) != 0) return s;
  }
  *out = decomposition.Detach();
  return platform::S_OK;
}

}  // namespace decomposer

extern "C" VANTOR_SERVER_EXPORT Status DllGetClassObject(const platform::CLSID& clsid,
                                                         const platform::IID& iid, void** object) {
  static outside::ClassFactory<decomposer::DecomposerServer> factory;
  if (object == nullptr) return platform::E_POINTER;
  *object = nullptr;
  if (clsid != decomposer::CLSID_Decomposer) return platform::CLASS_E_CLASSNOTAVAILABLE;
  return factory.QueryInterface(iid, object);
}

// For tests: objects of this library still alive.
extern "C" VANTOR_SERVER_EXPORT std::int64_t VantorServerLiveObjects() {
  return outside::LiveObjects().load();
}
