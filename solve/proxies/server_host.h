// What the server proxies ask of the problem manager, which lives above the
// solvers: the per-thread COM join, its IUnknown as the servers' executive
// and factory, the pre-initialisation step and the two queries of a run.
// The problem manager installs itself; tests install their own.
#pragma once

#include <cstdint>

#include "platform/status.h"
#include "platform/unknown.h"

class ServerProxyHost {
 public:
  virtual ~ServerProxyHost() = default;
  // The first join of a thread starts COM, later ones only count.
  virtual Status JoinCom();
  virtual void LeaveCom();
  // No reference is added; null when there is none.
  virtual platform::IUnknown* Executive() = 0;
  virtual void PreInitialise() {}
  // The sensitivity manager's query with argument 4.
  virtual std::int32_t SensitivityQuery4() { return 0; }
  // The positive-count test that asks a decomposition for several groups.
  virtual bool PositiveCountTest() { return false; }
};

ServerProxyHost* GetServerProxyHost();
void SetServerProxyHost(ServerProxyHost* host);
