// What a (kind, mode, flags) triple of a decompose call asks for: which
// variables are the unknowns, one group or several, tearing, and the
// out-group. README.md beside this file holds the table; a triple outside it
// is refused, never guessed.
#pragma once

#include <cstdint>

namespace decomposer {

enum class Unknowns {
  kSteadyState,     // states and algebraic variables; derivatives known at 0
  kInitialisation,  // derivatives and algebraic variables; states known
  kCorrector,       // states and algebraic variables; a derivative stands for its state
};

struct DecompositionRules {
  Unknowns unknowns = Unknowns::kSteadyState;
  bool with_partners = false;  // dependence asked with derivative partners
  bool single_group = false;
  bool tearing = false;
  // The inner groups of a torn block: its torn equations are left to the
  // tear iteration, and their outputs are known while the groups solve.
  bool second_level = false;
  bool out_group = false;
  // Sensitivities: the caller factorises the group's Jacobian, so a single
  // equation is a solver group, never an explicit one.
  bool sensitivity = false;
};

// Flag bits of a decompose call.
inline constexpr std::uint32_t kFlagOutGroup = 0x1;
inline constexpr std::uint32_t kFlagTearing = 0x2;
inline constexpr std::uint32_t kFlagSingleGroup = 0x4;
inline constexpr std::uint32_t kFlagSensitivity8 = 0x8;
inline constexpr std::uint32_t kFlagWithDerivatives = 0x10;
inline constexpr std::uint32_t kFlagTearingSwitched = 0x100;
inline constexpr std::uint32_t kFlagSensitivity200 = 0x200;
inline constexpr std::uint32_t kFlagInitialValues = 0x400;
inline constexpr std::uint32_t kFlagManyGroups = 0x800;
inline constexpr std::uint32_t kFlagExtra = 0x1000;

// Kinds (low three bits; 16 may be added).
inline constexpr std::uint32_t kKindSteadyState = 0;
inline constexpr std::uint32_t kKindInitialisation = 1;
inline constexpr std::uint32_t kKindReinitialisation = 2;
inline constexpr std::uint32_t kKindCorrector = 3;
inline constexpr std::uint32_t kKindSensitivitySteady = 6;
inline constexpr std::uint32_t kKindExplicitStage = 7;
inline constexpr std::uint32_t kKindWithPartners = 16;

// False when the triple is not in the table.
bool RulesFor(std::uint32_t kind, std::uint32_t mode, std::uint32_t flags,
              DecompositionRules* rules);

}  // namespace decomposer
