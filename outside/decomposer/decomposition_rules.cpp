#include "outside/decomposer/decomposition_rules.h"

namespace decomposer {

namespace {

constexpr std::uint32_t kKnownFlags =
    kFlagOutGroup | kFlagTearing | kFlagSingleGroup | kFlagSensitivity8 | kFlagWithDerivatives |
    kFlagTearingSwitched | kFlagSensitivity200 | kFlagInitialValues | kFlagManyGroups | kFlagExtra;
// Mode: a solve mode 0..7, plus 32 and/or 64 from a torn block's second level.
constexpr std::uint32_t kKnownModeBits = 0x7 | 32 | 64;

}  // namespace

bool RulesFor(std::uint32_t kind, std::uint32_t mode, std::uint32_t flags,
              DecompositionRules* rules) {
  if ((flags & ~kKnownFlags) != 0 || (mode & ~kKnownModeBits) != 0) return false;
  if ((kind & ~(0x7u | kKindWithPartners)) != 0) return false;
  DecompositionRules r;
  switch (kind & 0x7u) {
    case kKindSteadyState:
    case kKindSensitivitySteady:
      r.unknowns = Unknowns::kSteadyState;
      break;
    case kKindInitialisation:
    case kKindReinitialisation:
    case kKindExplicitStage:
      r.unknowns = Unknowns::kInitialisation;
      break;
    case kKindCorrector:
      r.unknowns = Unknowns::kCorrector;
      break;
    default:  // 4 and 5 are never sent
      return false;
  }
  // Sensitivities of an initialisation: the states are known there (their
  // sensitivities come in as initial values), whatever the kind says.
  if ((flags & kFlagInitialValues) != 0) r.unknowns = Unknowns::kInitialisation;
  r.with_partners = (kind & kKindWithPartners) != 0 || (flags & kFlagWithDerivatives) != 0;
  r.single_group = (flags & kFlagSingleGroup) != 0;
  r.tearing = (flags & (kFlagTearing | kFlagTearingSwitched)) != 0;
  // Only a torn block's second level asks for tearing with these modes.
  r.second_level = r.tearing && (mode & (32u | 64u)) != 0;
  // A single group is the whole block already.
  r.out_group = (flags & kFlagOutGroup) != 0 && !r.single_group;
  r.sensitivity = (flags & (kFlagSensitivity8 | kFlagSensitivity200)) != 0;
  *rules = r;
  return true;
}

}  // namespace decomposer
