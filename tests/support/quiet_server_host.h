// A server proxies' host for tests: the thread joins COM itself, and the
// problem manager's own steps around a run are not looked at (nothing
// before the initialisation, no sensitivities, one group a decomposition).
// A fake supplies its executive and what else its test looks at.
#pragma once

#include <cstdint>

#include "platform/com.h"
#include "solve/proxies/server_host.h"

class QuietServerProxyHost : public ServerProxyHost {
 public:
  Status JoinCom() override { return platform::CoInitializeEx(nullptr, 0); }
  void LeaveCom() override { platform::CoUninitialize(); }
  void PreInitialise() override {}
  std::int32_t SensitivityQuery4() override { return 0; }
  bool PositiveCountTest() override { return false; }
};
