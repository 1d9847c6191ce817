// The structure of one block as the decomposer reads it through the
// equation-set interfaces, and the ordered groups made from it: unknowns
// chosen by the rules, a maximum transversal, and the block lower triangular
// order of the strongly connected parts.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "outside/decomposer/decomposition_rules.h"
#include "solve/ifaces/equation_set.h"

namespace decomposer {

// Variable type bits of GetAllVariableTypes.
inline constexpr std::int32_t kTypeState = 0x1;
inline constexpr std::int32_t kTypeAlgebraic = 0x2;
inline constexpr std::int32_t kTypeDerivative = 0x4;
inline constexpr std::int32_t kTypeFixed = 0x60;
// Equation type of a torn (procedure) equation.
inline constexpr std::int32_t kEquationTorn = 8;

// A structure the block reports that does not hold together.
inline constexpr Status kBlockUnreadable = 0xC0FE0004u;

struct BlockPattern {
  std::int32_t equations = 0;
  std::int32_t variables = 0;
  std::vector<std::int32_t> variable_types, partners, equation_types;
  // Variables of equation e (0-based positions) at [start[e], start[e + 1]).
  std::vector<std::int32_t> structure_start, structure;

  std::span<const std::int32_t> VariablesOf(std::int32_t e) const {
    const auto i = static_cast<std::size_t>(e);
    return {structure.data() + structure_start[i],
            static_cast<std::size_t>(structure_start[i + 1] - structure_start[i])};
  }
};

// Reads and range-checks the block; kBlockUnreadable for counts, positions
// or partners out of range, else the failing call's status.
Status ReadBlock(IQLNESO* block, BlockPattern* pattern);

struct PlannedGroup {
  std::vector<std::int32_t> equations;  // block positions
  std::vector<std::int32_t> unknowns;  // block positions; unknowns[k] is the output of equations[k]
  std::uint8_t type = 0;
};

struct UnknownMap {
  std::vector<std::int32_t> column_of_variable;  // -1 when known
  std::vector<std::int32_t> variable_of_column;
};

UnknownMap SelectUnknowns(const BlockPattern& pattern, Unknowns rule);

// The block without its torn equations (a torn block reports their
// outputs fixed); kept[i] is the block position of equation i of the
// result.
BlockPattern WithoutTornEquations(const BlockPattern& pattern, std::vector<std::int32_t>* kept);

// The groups in solution order (types not yet set); kDecompositionSingular
// when the unknowns cannot be matched one to one with the equations.
Status PlanGroups(const BlockPattern& pattern, const UnknownMap& map,
                  const DecompositionRules& rules, std::vector<PlannedGroup>* groups);

}  // namespace decomposer
