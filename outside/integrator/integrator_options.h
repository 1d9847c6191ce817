// The options the integrator server publishes, under the engine's numbers
// (which are also our server ids), and the values it has received.
#pragma once

#include <cstdint>

#include "outside/server_com.h"

namespace integrator {

inline constexpr std::uint32_t kOptionMaxIter = 24;
inline constexpr std::uint32_t kOptionMaxSteps = 103;
inline constexpr std::uint32_t kOptionIntegrator = 30;
inline constexpr std::uint32_t kOptionTearing = 97;
inline constexpr std::uint32_t kOptionMaxOrder = 129;
inline constexpr std::uint32_t kOptionRelErrorTol = 130;
inline constexpr std::uint32_t kOptionAbsErrorTol = 131;
inline constexpr std::uint32_t kOptionRcvTornVars = 134;
inline constexpr std::uint32_t kOptionItplToComTime = 143;
inline constexpr std::uint32_t kOptionStepSizeType = 137;
inline constexpr std::uint32_t kOptionStepSize = 138;
inline constexpr std::uint32_t kOptionInitStepSize = 139;
inline constexpr std::uint32_t kOptionMinStepSize = 140;
inline constexpr std::uint32_t kOptionMaxStepSize = 141;
inline constexpr std::uint32_t kOptionEnforceMinStep = 142;
inline constexpr std::uint32_t kOptionLocateIEvents = 144;
inline constexpr std::uint32_t kOptionReInitAfterIE = 145;
inline constexpr std::uint32_t kOptionShowHIErrors = 148;
inline constexpr std::uint32_t kOptionShowHTIErrors = 149;
inline constexpr std::uint32_t kOptionStepRedFact = 150;
inline constexpr std::uint32_t kOptionDiscontinuityEventTol = 156;
inline constexpr std::uint32_t kOptionRewindToLastConvStep = 169;

const outside::PublishedOption* PublishedOptions();
std::uint32_t PublishedOptionCount();
// Null for an id the server does not publish.
const outside::PublishedOption* FindOption(std::uint32_t server_id);

// Values by engine number, starting at the engine's defaults.
class OptionValues {
 public:
  OptionValues();
  double Get(std::uint32_t number) const { return number < kSlots ? values_[number] : 0.0; }
  void Set(std::uint32_t number, double value) {
    if (number < kSlots) values_[number] = value;
  }

 private:
  static constexpr std::uint32_t kSlots = 170;
  double values_[kSlots] = {};
};

}  // namespace integrator
