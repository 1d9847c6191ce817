#include "solve/proxies/server_host.h"

namespace {
ServerProxyHost* g_host = nullptr;
}  // namespace

ServerProxyHost* GetServerProxyHost() { return g_host; }

void SetServerProxyHost(ServerProxyHost* host) { g_host = host; }
