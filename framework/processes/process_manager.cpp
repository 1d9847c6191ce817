#include "framework/processes/process_manager.h"

#include <unistd.h>

#include <cstdio>
#include <memory>

#include "framework/connections/io_status.h"
#include "framework/connections/socket_connection.h"
#include "framework/connections/virtual_connection.h"
#include "framework/messaging/async_client.h"
#include "framework/messaging/io_peers.h"
#include "framework/messaging/message.h"
#include "framework/processes/child_engine.h"

namespace {

constexpr std::uint32_t kOutputPiece = 499;
// The collected output keeps its newest part beyond this size.
constexpr std::size_t kMaxCollectedOutput = 65536;
constexpr std::uint32_t kFailureText = 256;
constexpr std::uint32_t kStartFailed = 10;

std::string Format(const char* format, const std::string& a, const std::string& b = {},
                   const std::string& c = {}) {
  const int n = std::snprintf(nullptr, 0, format, a.c_str(), b.c_str(), c.c_str());
  std::string text(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  std::snprintf(text.data(), text.size() + 1, format, a.c_str(), b.c_str(), c.c_str());
  return text;
}

// What the remote-execution stream of a failed start says, if anything.
std::string FailureText(XosProcess* process) {
  XosVirtualConnection* stream = process->RemoteConnection();
  std::string text;
  if (stream == nullptr) return text;
  char buffer[kFailureText];
  while (text.size() < kFailureText) {
    std::uint32_t n = 0;
    const Status result =
        stream->Read(buffer, kFailureText - static_cast<std::uint32_t>(text.size()), &n);
    text.append(buffer, n);
    if (status::IsFailure(result) || n == 0) break;
  }
  return text.substr(0, text.find('\0'));
}

// A value in double quotes that splits back into itself: a quote inside it
// and the backslashes before it or before the closing quote are escaped.
std::string Quoted(const std::string& value) {
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (char c : value) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    quoted += c;
    backslashes = 0;
  }
  return quoted.append(2 * backslashes, '\\') + "\"";
}

// Tells the client why the child did not start.
void ReportStartFailure(const DseProcess& process, Status result, std::string reason,
                        DseAsyncClient* client) {
  if (client == nullptr) return;
  const DseComputeNode& node = *process.node;
  if (reason.empty()) reason = "No more information available.";
  if (result == status::kNetworkFailure) {
    client->ReportFailure(Format("Failed to access REXEC on host <%s>", node.host_name).c_str(),
                          Format("The host <%s> was not accessible due to a network failure\n"
                                 "or REXEC is not running on that node.",
                                 node.host_name)
                              .c_str(),
                          kStartFailed);
  } else if (!node.IsLocal()) {
    client->ReportFailure(Format("Failed to start process <%s> from <%s> on host <%s>",
                                 process.name, process.program, node.host_name)
                              .c_str(),
                          reason.c_str(), kStartFailed);
  } else {
    client->ReportFailure(
        Format("Failed to start process <%s> from <%s>", process.name, process.program).c_str(),
        reason.c_str(), kStartFailed);
  }
}

}  // namespace

DseProcess::~DseProcess() { delete process; }

Status DseProcess::ReadOutput() {
  if (process == nullptr) return status::kOk;
  char buffer[kOutputPiece];
  for (;;) {
    std::uint32_t n = 0;
    const Status result = process->ReadOutput(buffer, kOutputPiece, &n);
    output.append(buffer, n);
    if (output.size() > kMaxCollectedOutput) {
      output.erase(0, output.size() - kMaxCollectedOutput);
    }
    if (status::IsFailure(result)) return result;
    if (n == 0) return status::kOk;
  }
}

DseProcessManager::DseProcessManager(DseComputeNode* local_node)
    : local_(local_node), owns_local_(local_node == nullptr),
      session_id_(static_cast<std::uint32_t>(::getpid())) {
  if (owns_local_) {
    local_ = new DseComputeNode("local");
    local_->Initialize(nullptr, XosComputeNode::kWindowsNT, XosComputeNode::kNoMethod, nullptr,
                       nullptr);
  }
}

DseProcessManager::~DseProcessManager() {
  StopAll();
  for (BvuListHead* list : {&processes_, &nodes_}) {
    BvuListElem* element = list->first;
    while (element != nullptr) {
      BvuListElem* next = element->next;
      delete element;
      element = next;
    }
    *list = BvuListHead();
  }
  if (owns_local_) delete local_;
}

void DseProcessManager::Append(BvuListHead* list, std::unique_ptr<BvuListElem> owned) {
  BvuListElem* element = owned.release();
  element->next = nullptr;
  if (list->last != nullptr) {
    list->last->next = element;
  } else {
    list->first = element;
  }
  list->last = element;
  ++list->count;
}

DseComputeNode* DseProcessManager::FindNode(const std::string& name) {
  for (BvuListElem* e = nodes_.first; e != nullptr; e = e->next) {
    auto* node = static_cast<DseComputeNode*>(e);
    if (node->Name() == name) return node;
  }
  return name == "local" ? local_ : nullptr;
}

std::string DseProcessManager::ChildCommandLine(const DseProcess& process,
                                                std::uint16_t listening_port) {
  std::string line =
      "-ChildNo=" + std::to_string(process.number) + " -SessionId=" + std::to_string(session_id_);
  if (!process.directory.empty()) line += " -DefDir=" + Quoted(process.directory);
  if (process.node != nullptr && !process.node->IsLocal()) {
    line += " -ParentNode=" + std::to_string(local_->number) + ":" +
            std::to_string(listening_port) + ":" + local_->host_name;
  }
  return line;
}

Status DseProcessManager::StartAll(DseAsyncClient* client, DseIOPeers* queue) {
  if (processes_.count == 0) return status::kNoProcesses;
  for (BvuListElem* e = processes_.first; e != nullptr; e = e->next) {
    auto* process = static_cast<DseProcess*>(e);
    if (process->state == DseProcess::kStarted) continue;
    const Status result = StartChild(process, client, queue);
    if (status::IsFailure(result)) return result;
  }
  return status::kOk;
}

Status DseProcessManager::StartChild(DseProcess* process, DseAsyncClient* client,
                                     DseIOPeers* queue) {
  if (process->state == DseProcess::kStarted) return status::kBadArguments;
  if (process->node == nullptr) process->node = local_;
  DseComputeNode* node = process->node;
  std::uint16_t port = 0;
  if (!node->IsLocal()) {
    if (node->method == XosComputeNode::kRemoteExecution && node->password.empty()) {
      if (client == nullptr) return status::kNoPassword;
      std::string user = node->user;
      std::string password;
      const Status asked = client->AskPassword(
          Format("Enter password for '%s'.", node->host_name).c_str(), &user, &password);
      if (status::IsFailure(asked)) return asked;
      node->user = user;
      node->password = password;
    }
    // The child reaches this process through a listener of its own.
    Status listening = status::kOk;
    XosListeningSocket* listener = XosListeningSocket::Get(process->number, &listening);
    if (listener == nullptr) return listening;
    port = listener->Port();
  }

  const std::string arguments = ChildCommandLine(*process, port);
  auto started = std::make_unique<XosProcess>();
  Status result =
      started->Create(node, process->program.c_str(), arguments.c_str(), process->name.c_str(),
                      process->start_flags, process->display.c_str());
  std::string reason;
  if (status::IsSuccess(result)) {
    if (queue == nullptr || queue->AddPeer(node, 0, process->number, session_id_, process) != 0) {
      process->process = started.release();
      process->state = DseProcess::kStarted;
      return result;
    }
    // Without its peer the child could never be reached.
    started->Terminate();
    result = status::kUnhandled;
    reason = "Child number " + std::to_string(process->number) + " is already in use.";
  } else {
    reason = FailureText(started.get());
  }
  started.reset();
  XosListeningSocket::Close(process->number);
  ReportStartFailure(*process, result, std::move(reason), client);
  return result;
}

Status DseProcessManager::MakePeerListMessage(DseMessage** message) {
  *message = nullptr;
  auto list = std::make_unique<DseMessage>(DseMessage::kConnectionType, DseMessage::kPeerList);
  list->message_class = DseMessage::kControlClass;
  Status result = list->PutUInt32(static_cast<std::uint32_t>(processes_.count));
  for (BvuListElem* e = processes_.first; e != nullptr && result == status::kOk; e = e->next) {
    const auto* process = static_cast<const DseProcess*>(e);
    result = list->PutUInt32(process->node != nullptr ? process->node->number : local_->number);
    if (result == status::kOk) result = list->PutUInt16(0);
    if (result == status::kOk)
      result = list->PutUInt16(static_cast<std::uint16_t>(process->number));
  }
  if (result != status::kOk) return result;
  *message = list.release();
  return status::kOk;
}

void DseProcessManager::StopAll() {
  for (BvuListElem* e = processes_.first; e != nullptr; e = e->next) {
    auto* process = static_cast<DseProcess*>(e);
    if (process->state != DseProcess::kStarted) continue;
    if (process->process != nullptr) process->process->Terminate();
    delete process->process;
    process->process = nullptr;
    process->output.clear();
    process->state = DseProcess::kStopped;
  }
}
