// The options handler the engine hands to libraries once a library has
// registered a handler of its own: the engine's handler answers first, the
// registered one fills in what the first does not know. The process owns
// the one instance (see RegisterDummyOptionsHandler).
#pragma once

#include <cstdint>

#include "framework/libraries/library_api.h"

class ProxyOptionsHandler : public QLNOptionsHandler {
 public:
  static constexpr std::int32_t kUnknownRequest = -1;

  std::int32_t OptionRequest(std::int32_t option, std::int32_t* iinfo, double* xinfo,
                             const char** sinfo) override;

  QLNOptionsHandler* first = nullptr;
  QLNOptionsHandler* second = nullptr;
};
