#include "outside/integrator/integrator_options.h"

#include <cfloat>

namespace integrator {

namespace {

constexpr std::uint16_t kInt = kVariantInt32;
constexpr std::uint16_t kReal = kVariantDouble;
constexpr double kHuge = DBL_MAX;
// Ranges that exclude their ends.
constexpr double kAboveZero = DBL_MIN;
constexpr double kBelowOne = 1.0 - DBL_EPSILON / 2;

const outside::PublishedOption kOptions[] = {
    {"Nonlinear.MaxIter", 24, 24, kInt, 1, 1000000},
    {"Integrator", 30, 30, kInt, 1, 7},
    {"Tearing", 97, 97, kInt, 0, 3},
    {"Integration.MaxSteps", 103, 103, kInt, 1, 2147483647.0},
    {"Integration.MaxOrder", 129, 129, kInt, 1, 5},
    {"Integration.RelErrorTol", 130, 130, kReal, 0, 1},
    {"Integration.AbsErrorTol", 131, 131, kReal, 0, 1},
    {"Integration.RelTearTol", 132, 132, kReal, 0, 1},
    {"Integration.AbsTearTol", 133, 133, kReal, 0, 1},
    {"Integration.RcvTornVars", 134, 134, kInt, 0, 1},
    {"Integration.TestSAndAVars", 135, 135, kInt, 0, 1},
    {"Integration.IncSensErrors", 136, 136, kInt, 0, 1},
    {"Integration.StepSizeType", 137, 137, kInt, 0, 1},
    {"Integration.StepSize", 138, 138, kReal, 0, kHuge},
    {"Integration.InitStepSize", 139, 139, kReal, 0, kHuge},
    {"Integration.MinStepSize", 140, 140, kReal, 0, kHuge},
    {"Integration.MaxStepSize", 141, 141, kReal, 0, 1.0e10},
    {"Integration.EnforceMinStep", 142, 142, kInt, 0, 1},
    {"Integration.ItplToComTime", 143, 143, kInt, 0, 1},
    {"Integration.LocateIEvents", 144, 144, kInt, 0, 1},
    {"Integration.ReInitAfterIE", 145, 145, kInt, 0, 1},
    {"Integration.ReInitAfterEE", 146, 146, kInt, 0, 1},
    {"Integration.UsePrevAfterEE", 147, 147, kInt, 0, 1},
    {"Integration.ShowHIErrors", 148, 148, kInt, 0, 2147483647.0},
    {"Integration.ShowHTIErrors", 149, 149, kInt, 0, 2147483647.0},
    {"Integration.StepRedFact", 150, 150, kReal, kAboveZero, kBelowOne},
    {"Integration.DiscontinuityEventTol", 156, 156, kReal, kAboveZero, 1.0e20},
    {"Integration.RewindToLastConvStep", 169, 169, kInt, 0, 1},
};

}  // namespace

const outside::PublishedOption* PublishedOptions() { return kOptions; }

std::uint32_t PublishedOptionCount() { return sizeof kOptions / sizeof kOptions[0]; }

const outside::PublishedOption* FindOption(std::uint32_t server_id) {
  for (const auto& option : kOptions) {
    if (option.server_id == server_id) return &option;
  }
  return nullptr;
}

OptionValues::OptionValues() {
  values_[24] = 100;
  values_[30] = 3;
  values_[97] = 0;
  // Far beyond the steps of any healthy step: the bound only ends one that
  // never gets on, whose lines are counted and which command 2 ends sooner.
  values_[103] = 100000000;
  values_[129] = 5;
  values_[130] = values_[131] = values_[132] = values_[133] = 1e-5;
  values_[137] = 1;
  values_[138] = 0.01;
  values_[139] = 0.005;
  values_[140] = 0.001;
  values_[141] = 1.0;
  values_[143] = 1;
  values_[150] = 0.5;
  values_[156] = 1e-5;
}

}  // namespace integrator
