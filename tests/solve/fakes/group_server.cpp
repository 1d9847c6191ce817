// A decomposition server played from its own shared library: it reads a
// group through the declared interfaces only, orders it with SuiteSparse
// BTF, makes one group per block through the engine's factory and hands
// back a decomposition in solution order.
#include <btf.h>

#include <cstdint>
#include <vector>

#include "solve/ifaces/decomposition.h"
#include "solve/ifaces/equation_set.h"
#include "solve/ifaces/executive.h"

using platform::IUnknown;

namespace {

template <class T>
T* Query(IUnknown* object, const platform::IID& iid) {
  void* out = nullptr;
  if (object == nullptr || object->QueryInterface(iid, &out) != 0) return nullptr;
  return static_cast<T*>(out);
}

struct Pattern {
  std::int32_t equations = 0;
  std::int32_t variables = 0;
  std::vector<std::vector<std::int32_t>> rows;  // block positions per equation
};

Status ReadPattern(IQLNESO* eso, Pattern* p) {
  std::int32_t flagged = 0;
  std::int32_t states = 0;
  Status s = eso->GetEquationCounts(&p->equations, &flagged);
  if (s == 0) s = eso->GetVariableCounts(&p->variables, &states);
  if (s != 0) return s;
  std::vector<std::int32_t> buffer(static_cast<std::size_t>(p->variables) + 1);
  for (std::int32_t e = 0; e < p->equations && s == 0; ++e) {
    std::int32_t count = 0;
    s = eso->GetEquationStructure(e, &count, buffer.data());
    std::vector<std::int32_t> row;
    for (std::int32_t k = 0; k < count; ++k) {
      if (buffer[static_cast<std::size_t>(k)] >= 0)
        row.push_back(buffer[static_cast<std::size_t>(k)]);
    }
    p->rows.push_back(row);
  }
  return s;
}

// The group type of one block from the dependence kinds of its unknowns.
std::int32_t TypeOf(IQLNESO* eso, const std::vector<std::int32_t>& eqs,
                    const std::vector<std::int32_t>& vars) {
  bool linear = true;
  for (std::int32_t e : eqs) {
    std::vector<std::int32_t> v = vars;
    std::vector<std::int32_t> kinds(v.size());
    std::int32_t n = static_cast<std::int32_t>(v.size());
    if (eso->GetEquationDependenceCompact(e, 0, 0, &n, v.data(), kinds.data()) != 0) return 6;
    for (std::int32_t k = 0; k < n; ++k) linear = linear && kinds[static_cast<std::size_t>(k)] <= 2;
  }
  if (eqs.size() == 1) return linear ? kGroupTypeExplicit : kGroupTypeSingleNonlinear;
  return linear ? kGroupTypeLinear : kGroupTypeNonlinear;
}

}  // namespace

namespace {

// `torn`: blocks of several nonlinear equations become torn groups, whose
// second level the engine asks of its own decomposition server.
Status Play(IUnknown* factory_unknown, IUnknown* equation_set, std::int32_t repeat_rows,
            bool torn, IUnknown** out) {
  auto* factory = Query<IQLNESOFactory>(factory_unknown, IID_IQLNESOFactory);
  auto* eso = Query<IQLNESO>(equation_set, IID_IQLNESO);
  if (factory == nullptr || eso == nullptr) return 0x80004002u;
  Pattern p;
  Status s = ReadPattern(eso, &p);
  if (s == 0 && p.equations != p.variables) s = kDecompositionSingular;
  const std::int64_t n = p.variables;
  std::vector<std::int64_t> ap(static_cast<std::size_t>(n) + 1, 0);
  std::vector<std::int64_t> ai;
  if (s == 0) {
    // Column form: rows are equations, columns variables.
    std::vector<std::vector<std::int64_t>> columns(static_cast<std::size_t>(n));
    for (std::int32_t e = 0; e < p.equations; ++e) {
      for (std::int32_t v : p.rows[static_cast<std::size_t>(e)]) {
        columns[static_cast<std::size_t>(v)].push_back(e);
      }
    }
    for (std::int64_t j = 0; j < n; ++j) {
      ap[static_cast<std::size_t>(j) + 1] =
          ap[static_cast<std::size_t>(j)] +
          static_cast<std::int64_t>(columns[static_cast<std::size_t>(j)].size());
      ai.insert(ai.end(), columns[static_cast<std::size_t>(j)].begin(),
                columns[static_cast<std::size_t>(j)].end());
    }
  }
  std::vector<std::int64_t> P(static_cast<std::size_t>(n)), Q(static_cast<std::size_t>(n)),
      R(static_cast<std::size_t>(n) + 1), work(5 * static_cast<std::size_t>(n));
  std::int64_t blocks = 0;
  if (s == 0 && n > 0) {
    double ops = 0.0;
    std::int64_t matched = 0;
    blocks = btf_l_order(n, ap.data(), ai.empty() ? nullptr : ai.data(), 0.0, &ops, P.data(),
                         Q.data(), R.data(), &matched, work.data());
    if (matched < n) s = kDecompositionSingular;
  }
  IQLNDecomposition* decomposition = nullptr;
  if (s == 0) {
    IUnknown* made = nullptr;
    s = factory->CreateDecompositionObject(&made);
    decomposition = Query<IQLNDecomposition>(made, IID_IQLNDecomposition);
    if (made != nullptr) made->Release();
    if (decomposition == nullptr && s == 0) s = 0x80004002u;
  }
  if (s == 0) s = decomposition->Reserve(static_cast<std::int32_t>(blocks));
  // BTF gives upper block triangular form: the last block is solved first.
  for (std::int64_t b = blocks - 1; b >= 0 && s == 0; --b) {
    std::vector<std::int32_t> eqs;
    std::vector<std::int32_t> vars;
    for (std::int64_t k = R[static_cast<std::size_t>(b)]; k < R[static_cast<std::size_t>(b) + 1];
         ++k) {
      eqs.push_back(static_cast<std::int32_t>(P[static_cast<std::size_t>(k)]));
      vars.push_back(static_cast<std::int32_t>(BTF_UNFLIP(Q[static_cast<std::size_t>(k)])));
    }
    IUnknown* group = nullptr;
    std::int32_t type = TypeOf(eso, eqs, vars);
    if (torn && type == kGroupTypeNonlinear) type = kGroupTypeTorn;
    s = factory->CreateESOGroupObject(type, &group);
    auto* edit = Query<IESOEdit>(group, IID_IESOEdit);
    if (s == 0 && edit == nullptr) s = 0x80004002u;
    if (s == 0) {
      s = edit->SetGroupStructure(equation_set, static_cast<std::int32_t>(eqs.size()), eqs.data(),
                                  static_cast<std::int32_t>(vars.size()), vars.data());
    }
    for (std::size_t k = 0; k < eqs.size() && s == 0; ++k) {
      // A group's rows hold its own unknowns; the others are known to it.
      std::vector<std::int32_t> row;
      for (std::int32_t v : p.rows[static_cast<std::size_t>(eqs[k])]) {
        for (std::int32_t own : vars) {
          if (own == v) row.push_back(v);
        }
      }
      for (std::int32_t again = 0; again <= repeat_rows && s == 0; ++again) {
        s = edit->SetEquationVariables(equation_set, eqs[k], static_cast<std::int32_t>(row.size()),
                                       row.data());
        if (s == 1) s = 0;
      }
    }
    if (s == 0) s = decomposition->AddGroup(group);
    if (edit != nullptr) edit->Release();
    if (group != nullptr) group->Release();
  }
  eso->Release();
  factory->Release();
  if (s != 0) {
    if (decomposition != nullptr) decomposition->Release();
    return s;
  }
  *out = decomposition;
  return 0;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) Status PlayDecomposer(IUnknown* factory_unknown,
                                                                        IUnknown* equation_set,
                                                                        std::int32_t repeat_rows,
                                                                        IUnknown** out) {
  return Play(factory_unknown, equation_set, repeat_rows, false, out);
}

extern "C" __attribute__((visibility("default"))) Status PlayTornDecomposer(
    IUnknown* factory_unknown, IUnknown* equation_set, std::int32_t repeat_rows, IUnknown** out) {
  return Play(factory_unknown, equation_set, repeat_rows, true, out);
}
