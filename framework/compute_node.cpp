#include "framework/compute_node.h"

#include <strings.h>

#include "framework/socket_connection.h"
#include "platform/child_process.h"

namespace {

XosSocketLayer* current_layer = nullptr;

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && ::strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

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
  return SameName(host_name, own) || SameName(host_name, own.substr(0, own.find('.')));
}

const char* DseComputeNode::GetNameText(std::int32_t) { return name_.c_str(); }

XosSocketLayer::XosSocketLayer() : previous_(current_layer) {
  platform::IgnoreBrokenPipeSignal();
  local_.Initialize(nullptr, XosComputeNode::kWindowsNT, XosComputeNode::kNoMethod, nullptr,
                    nullptr);
  current_layer = this;
}

XosSocketLayer::~XosSocketLayer() {
  XosListeningSocket::CloseProcessListener();
  current_layer = previous_;
}

std::uint32_t XosSocketLayer::LocalKind() {
  return current_layer != nullptr ? current_layer->local_.os_kind : XosComputeNode::kWindowsNT;
}
