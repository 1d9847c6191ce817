// What the server proxies ask of the problem manager, which lives above the
// solvers: the per-thread COM join, its IUnknown as the servers' executive
// and factory, the pre-initialisation step and the two queries of a run.
// The problem manager installs itself; tests install their own. Every
// operation is the host's to supply.
#pragma once

#include <cstdint>

#include "platform/status.h"
#include "platform/unknown.h"

class ServerProxyHost {
 public:
  virtual ~ServerProxyHost() = default;
  // The first join of a thread starts COM, later ones only count.
  virtual Status JoinCom() = 0;
  virtual void LeaveCom() = 0;
  // No reference is added; null when there is none.
  virtual platform::IUnknown* Executive() = 0;
  // Before the integrator server initialises.
  virtual void PreInitialise() = 0;
  // The sensitivity manager's query with argument 4.
  virtual std::int32_t SensitivityQuery4() = 0;
  // The positive-count test that asks a decomposition for several groups.
  virtual bool PositiveCountTest() = 0;
};

ServerProxyHost* GetServerProxyHost();
void SetServerProxyHost(ServerProxyHost* host);
