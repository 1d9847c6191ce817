#include "framework/processes/compute_node.h"

#include <strings.h>

#include <memory>
#include <mutex>

#include "framework/connections/socket_connection.h"
#include "platform/child_process.h"

namespace {

std::mutex layer_lock;
int layer_count = 0;
std::unique_ptr<XosComputeNode> local_machine;

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && ::strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

std::string ShortName(const std::string& name) { return name.substr(0, name.find('.')); }

}  // namespace

Status XosComputeNode::Initialize(const char* host, std::uint32_t kind, std::uint32_t method,
                                  const char* user, const char* password) {
  const bool local = host == nullptr || *host == '\0';
  host_name = local ? platform::LocalHostName() : host;
  this->password = password != nullptr ? password : "";
  this->user = user != nullptr ? user : "";
  system_version.clear();
  if (local) {
    os_kind = kWindowsNT;
    this->method = method;
    if (this->user.empty()) this->user = platform::CurrentUserName();
    int major = 0;
    int minor = 0;
    platform::SystemVersion(&major, &minor);
    system_version = std::to_string(major) + "." + std::to_string(minor);
  } else {
    os_kind = kind;
    this->method = method;
    if (method == kNoMethod) {
      this->method = kind == kWindows9x || kind == kWindowsNT ? kRemoteExecution : kRemoteShell;
    }
  }
  platform::ResolveHost(host_name, &address);
  return status::kOk;
}

bool XosComputeNode::IsLocal() const {
  if (host_name.empty()) return true;
  const std::string own = platform::LocalHostName();
  if (own.empty()) return false;
  return SameName(host_name, own) || SameName(host_name, ShortName(own)) ||
         SameName(ShortName(host_name), own);
}

const char* DseComputeNode::GetNameText(std::int32_t) { return name_.c_str(); }

XosSocketLayer::XosSocketLayer() {
  std::lock_guard<std::mutex> hold(layer_lock);
  if (layer_count++ > 0) return;
  platform::IgnoreBrokenPipeSignal();
  local_machine = std::make_unique<XosComputeNode>();
  local_machine->Initialize(nullptr, XosComputeNode::kWindowsNT, XosComputeNode::kNoMethod, nullptr,
                            nullptr);
}

XosSocketLayer::~XosSocketLayer() {
  std::lock_guard<std::mutex> hold(layer_lock);
  if (--layer_count > 0) return;
  XosListeningSocket::CloseAll();
  local_machine.reset();
}

XosComputeNode& XosSocketLayer::LocalNode() { return *local_machine; }

std::uint32_t XosSocketLayer::LocalKind() {
  std::lock_guard<std::mutex> hold(layer_lock);
  return local_machine != nullptr ? local_machine->os_kind : XosComputeNode::kWindowsNT;
}
