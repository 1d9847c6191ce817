// An integrator face for tests of the model and the group methods: what a
// freshly set-up integrator proxy answers (no capabilities, quiet, unit step
// quantity, the auxiliary word 1 and no interpolation). Tests override what
// their case needs.
#pragma once

#include <cstdint>

#include "foundation/interfaces/integrator_proxy.h"

namespace testsupport {

class IntegratorStandIn : public UnifiedIntegratorProxy {
 public:
  std::uint32_t GetCapabilityBit2() override { return 0; }
  bool HasCapability1() override { return false; }
  bool ShouldAnnounce(const void*) override { return false; }
  bool IsVerbose() override { return false; }
  void SetVerbose(bool) override {}
  double GetServerValue() override { return 1.0; }
  std::uint32_t ExchangeGroupStates(void*) override { return 0; }
  std::uint32_t GetAuxWord() override { return 1; }
  std::int32_t GetInterpolation() override { return 0; }
};

}  // namespace testsupport
