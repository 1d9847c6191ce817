#include "solve/proxies/server_host.h"

#include "platform/com.h"

namespace {
ServerProxyHost* g_host = nullptr;
}  // namespace

Status ServerProxyHost::JoinCom() { return platform::CoInitializeEx(nullptr, 0); }

void ServerProxyHost::LeaveCom() { platform::CoUninitialize(); }

ServerProxyHost* GetServerProxyHost() { return g_host; }

void SetServerProxyHost(ServerProxyHost* host) { g_host = host; }
