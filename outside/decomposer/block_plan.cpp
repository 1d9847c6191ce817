#include "outside/decomposer/block_plan.h"

#include <algorithm>

#include "numerics/sparse_lu/block_triangular.h"
#include "platform/com_status.h"
#include "solve/ifaces/decomposition.h"

namespace decomposer {

Status ReadBlock(IQLNESO* block, BlockPattern* pattern) {
  std::int32_t flagged = 0, states = 0, nonzeros = 0;
  Status s = block->GetEquationCounts(&pattern->equations, &flagged);
  if (s != 0) return s;
  if ((s = block->GetVariableCounts(&pattern->variables, &states)) != 0) return s;
  if ((s = block->GetNonZeroCount(&nonzeros)) != 0) return s;
  const std::int32_t ne = pattern->equations, nv = pattern->variables;
  if (ne < 0 || nv < 0 || nonzeros < 0 || flagged < 0 || flagged > ne || states < 0 || states > nv)
    return kBlockUnreadable;
  pattern->variable_types.assign(static_cast<std::size_t>(nv), 0);
  pattern->partners.assign(static_cast<std::size_t>(nv), -1);
  pattern->equation_types.assign(static_cast<std::size_t>(ne), 0);
  if (nv > 0 && (s = block->GetAllVariableTypes(pattern->variable_types.data(),
                                                pattern->partners.data())) != 0)
    return s;
  if (ne > 0 && (s = block->GetEquationTypes(pattern->equation_types.data())) != 0) return s;
  for (const std::int32_t p : pattern->partners) {
    if (p < -1 || p >= nv) return kBlockUnreadable;
  }
  // One spare slot so an over-long answer is seen rather than written past.
  std::vector<std::int32_t> buffer(static_cast<std::size_t>(nv) + 1);
  pattern->structure_start.assign(1, 0);
  pattern->structure.clear();
  // The count is only a hint; a wild one must not allocate.
  pattern->structure.reserve(static_cast<std::size_t>(std::min(nonzeros, 1 << 22)));
  for (std::int32_t e = 0; e < ne; ++e) {
    std::int32_t count = 0;
    if ((s = block->GetEquationStructure(e, &count, buffer.data())) != 0) return s;
    if (count < 0 || count > nv) return kBlockUnreadable;
    for (std::int32_t i = 0; i < count; ++i) {
      const std::int32_t v = buffer[static_cast<std::size_t>(i)];
      if (v < 0 || v >= nv) return kBlockUnreadable;
      pattern->structure.push_back(v);
    }
    pattern->structure_start.push_back(static_cast<std::int32_t>(pattern->structure.size()));
  }
  return platform::S_OK;
}

BlockPattern WithoutTornEquations(const BlockPattern& pattern, std::vector<std::int32_t>* kept) {
  BlockPattern inner;
  inner.variables = pattern.variables;
  inner.partners = pattern.partners;
  inner.variable_types = pattern.variable_types;
  kept->clear();
  inner.structure_start.assign(1, 0);
  for (std::int32_t e = 0; e < pattern.equations; ++e) {
    if (pattern.equation_types[static_cast<std::size_t>(e)] == kEquationTorn) continue;
    kept->push_back(e);
    inner.equation_types.push_back(pattern.equation_types[static_cast<std::size_t>(e)]);
    for (const std::int32_t v : pattern.VariablesOf(e)) inner.structure.push_back(v);
    inner.structure_start.push_back(static_cast<std::int32_t>(inner.structure.size()));
  }
  inner.equations = static_cast<std::int32_t>(kept->size());
  return inner;
}

UnknownMap SelectUnknowns(const BlockPattern& pattern, Unknowns rule) {
  const auto nv = static_cast<std::size_t>(pattern.variables);
  UnknownMap map;
  map.column_of_variable.assign(nv, -1);
  for (std::size_t v = 0; v < nv; ++v) {
    const std::int32_t type = pattern.variable_types[v];
    // A state's fixed bits give its initial value: it is known when the
    // states are, and an unknown of the steady state and the corrector.
    if ((type & kTypeFixed) == kTypeFixed && (type & kTypeState) == 0) continue;
    bool unknown;
    switch (rule) {
      case Unknowns::kInitialisation:  // states known, even one that is also a derivative
        unknown = (type & kTypeState) == 0 && (type & (kTypeAlgebraic | kTypeDerivative)) != 0;
        break;
      case Unknowns::kSteadyState:  // derivatives known at 0
        unknown = (type & kTypeDerivative) == 0 && (type & (kTypeState | kTypeAlgebraic)) != 0;
        break;
      case Unknowns::kCorrector:
      default:
        unknown = (type & (kTypeState | kTypeAlgebraic)) != 0;
        break;
    }
    if (!unknown) continue;
    map.column_of_variable[v] = static_cast<std::int32_t>(map.variable_of_column.size());
    map.variable_of_column.push_back(static_cast<std::int32_t>(v));
  }
  if (rule == Unknowns::kCorrector) {
    // A derivative stands for its state: same column.
    for (std::size_t v = 0; v < nv; ++v) {
      const std::int32_t type = pattern.variable_types[v];
      const std::int32_t partner = pattern.partners[v];
      if ((type & kTypeDerivative) == 0 || (type & (kTypeState | kTypeAlgebraic)) != 0 ||
          partner < 0 || map.column_of_variable[v] >= 0)
        continue;
      map.column_of_variable[v] = map.column_of_variable[static_cast<std::size_t>(partner)];
    }
  }
  return map;
}

namespace {

// The unknown columns of each equation, 1-based, each once, stored back to
// back as the ordering routines read them.
struct ColumnLists {
  std::vector<std::int64_t> entries, start, count;
};

ColumnLists ListsOf(const BlockPattern& pattern, const UnknownMap& map) {
  ColumnLists lists;
  std::vector<std::int32_t> seen(map.variable_of_column.size(), -1);
  for (std::int32_t e = 0; e < pattern.equations; ++e) {
    lists.start.push_back(static_cast<std::int64_t>(lists.entries.size()) + 1);
    std::int64_t n = 0;
    for (const std::int32_t v : pattern.VariablesOf(e)) {
      const std::int32_t c = map.column_of_variable[static_cast<std::size_t>(v)];
      if (c < 0 || seen[static_cast<std::size_t>(c)] == e) continue;
      seen[static_cast<std::size_t>(c)] = e;
      lists.entries.push_back(c + 1);
      ++n;
    }
    lists.count.push_back(n);
  }
  if (lists.entries.empty()) lists.entries.push_back(0);
  return lists;
}

}  // namespace

Status PlanGroups(const BlockPattern& pattern, const UnknownMap& map,
                  const DecompositionRules& rules, std::vector<PlannedGroup>* groups) {
  groups->clear();
  const std::int64_t n = pattern.equations;
  if (static_cast<std::int64_t>(map.variable_of_column.size()) != n) return kDecompositionSingular;
  if (n == 0) return platform::S_OK;
  const ColumnLists lists = ListsOf(pattern, map);
  const auto size = static_cast<std::size_t>(n);
  const auto len = static_cast<std::int64_t>(lists.entries.size());
  std::vector<std::int64_t> match(size), work(4 * size + 1);
  std::int64_t rank = 0;
  MaximumTransversal(&n, lists.entries.data(), &len, lists.start.data(), lists.count.data(),
                     match.data(), &rank, work.data());
  if (rank < n) return kDecompositionSingular;

  // Position k holds equation match[k] with unknown column k on the diagonal.
  ColumnLists permuted;
  permuted.entries = lists.entries;
  for (std::size_t k = 0; k < size; ++k) {
    const auto row = static_cast<std::size_t>(match[k] - 1);
    permuted.start.push_back(lists.start[row]);
    permuted.count.push_back(lists.count[row]);
  }
  std::vector<std::int64_t> order(size), blockstart(size);
  std::int64_t blocks = 0;
  BlockTriangularOrder(&n, permuted.entries.data(), &len, permuted.start.data(),
                       permuted.count.data(), order.data(), blockstart.data(), &blocks,
                       work.data());

  auto add_position = [&](PlannedGroup& g, std::int64_t k) {  // k 1-based
    g.equations.push_back(static_cast<std::int32_t>(match[static_cast<std::size_t>(k - 1)] - 1));
    g.unknowns.push_back(map.variable_of_column[static_cast<std::size_t>(k - 1)]);
  };
  if (rules.single_group) {
    PlannedGroup whole;
    for (std::int64_t p = 1; p <= n; ++p)
      add_position(whole, order[static_cast<std::size_t>(p - 1)]);
    groups->push_back(std::move(whole));
    return platform::S_OK;
  }
  for (std::int64_t b = 0; b < blocks; ++b) {
    const std::int64_t first = blockstart[static_cast<std::size_t>(b)];
    const std::int64_t end = b + 1 < blocks ? blockstart[static_cast<std::size_t>(b + 1)] : n + 1;
    PlannedGroup g;
    for (std::int64_t p = first; p < end; ++p)
      add_position(g, order[static_cast<std::size_t>(p - 1)]);
    groups->push_back(std::move(g));
  }
  if (rules.out_group && blocks > 1) {
    PlannedGroup whole;
    for (std::int64_t p = 1; p <= n; ++p)
      add_position(whole, order[static_cast<std::size_t>(p - 1)]);
    groups->push_back(std::move(whole));
  }
  return platform::S_OK;
}

}  // namespace decomposer
