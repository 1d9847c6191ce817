// The controller's set-up from the command line, starting and connecting,
// sending, cancelling and posting events.
#include "framework/servers/controller.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <new>

#include "foundation/messages/su_print.h"
#include "framework/connections/connection.h"
#include "framework/messaging/async_client.h"
#include "framework/messaging/io_queue.h"
#include "framework/messaging/message.h"
#include "framework/messaging/sent_mark.h"
#include "framework/messaging/template.h"
#include "framework/processes/compute_node.h"
#include "framework/processes/process_manager.h"
#include "framework/runtime/xos_time.h"
#include "framework/servers/client_callback.h"
#include "framework/servers/server_registry.h"
#include "platform/child_process.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace {

constexpr std::uint32_t kFailedChildCode = 9;
constexpr std::uint32_t kRoundMs = 1000;

// Reads a number as "%d" does: blanks, a sign, at least one digit; the rest
// of the text is left for the caller. False for no digits or a number out
// of range.
bool ScanInt(const char*& text, std::int32_t* value) {
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
  std::int64_t n = 0;
  for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
    n = n * 10 + (*p - '0');
    if (n > static_cast<std::int64_t>(INT32_MAX) + 1) return false;
  }
  if (negative) n = -n;
  if (n > INT32_MAX || n < INT32_MIN) return false;
  *value = static_cast<std::int32_t>(n);
  text = p;
  return true;
}

// "%d:%d:%s": node, port and host; the host is the next run of non-blanks.
bool ScanParentNode(const std::string& value, std::int32_t* node, std::int32_t* port,
                    std::string* host) {
  const char* p = value.c_str();
  if (!ScanInt(p, node) || *p++ != ':' || !ScanInt(p, port) || *p++ != ':') return false;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  const char* start = p;
  while (*p != '\0' && !std::isspace(static_cast<unsigned char>(*p))) ++p;
  host->assign(start, p);
  return !host->empty();
}

std::string CurrentFolder() {
  std::error_code error;
  return std::filesystem::current_path(error).string();
}

bool EnterFolder(const std::string& folder) {
  std::error_code error;
  std::filesystem::current_path(folder, error);
  return !error;
}

}  // namespace

// --- set-up ---

DseController::DseController(std::int32_t argc, const char* const* argv, const char* configuration,
                             Status* status) {
  DseSetCurrentController(this);
  *status = status::kOk;
  if (configuration == nullptr || *configuration == '\0') {
    *status = kNoConfiguration;
    return;
  }
  if (argc > 0 && argv != nullptr && argv[0] != nullptr) {
    program_folder_ = argv[0];
    program_folder_.erase(program_folder_.find_last_of("\\/") + 1);
  }
  socket_layer_ = std::make_unique<XosSocketLayer>();
  local_node_ = std::make_unique<DseComputeNode>("local");
  // The children of this machine are told about it from this description.
  static_cast<XosComputeNode&>(*local_node_) = socket_layer_->LocalNode();

  for (std::int32_t i = 1; i < argc && argv != nullptr; ++i) {
    const std::string item = argv[i] != nullptr ? argv[i] : "";
    const std::size_t equals = item.find('=');
    if (equals == std::string::npos) continue;
    std::string value;
    for (char c : item.substr(equals + 1)) {
      if (c != '"') value += c;
    }
    *status = ReadArgument(item.substr(0, equals), value);
    if (status::IsFailure(*status)) return;
  }

  io_ = std::make_unique<DseIOQueue>(this, parent_node_.get(),
                                     static_cast<std::uint32_t>(child_number_), status);
  if (status::IsFailure(*status)) return;
  if (child_number_ == 0) {
    process_manager_ = std::make_unique<DseProcessManager>(local_node_.get());
    *status = process_manager_->ReadConfiguration(configuration);
    if (status::IsFailure(*status)) return;
    session_id_ = static_cast<std::uint32_t>(::getpid());
  } else {
    parent_pid_ = platform::ParentProcessId();
  }
  ready_ = 1;
}

Status DseController::ReadArgument(const std::string& name, const std::string& value) {
  const bool known =
      name == "-ChildNo" || name == "-ParentNode" || name == "-DefDir" || name == "-SessionId";
  if (!known) return status::kOk;
  auto refuse = [&](const char* why) {
    SuPrint(status::kGeneralFailure, "Command line item %s refused: %s", name.c_str(), why);
    return status::kGeneralFailure;
  };
  // A working folder may be as long as the system lets a folder be; one it
  // cannot enter is told, not refused.
  if (name != "-DefDir" && value.size() > kMaxArgument)
    return refuse("a value longer than 99 characters");
  const char* text = value.c_str();
  if (name == "-ChildNo") {
    if (!ScanInt(text, &child_number_) || child_number_ < 1) {
      child_number_ = 0;
      return refuse("not a child number of 1 or more");
    }
  } else if (name == "-ParentNode") {
    std::int32_t node = 0;
    std::int32_t port = 0;
    std::string host;
    if (!ScanParentNode(value, &node, &port, &host))
      return refuse("not of the form node:port:host");
    if (port < 0 || port > 0xFFFF) return refuse("not a port number");
    if (host.size() > kMaxHostName) return refuse("a host name longer than 39 characters");
    parent_node_ = std::make_unique<DseComputeNode>();
    parent_node_->Initialize(host.c_str(), XosComputeNode::kWindowsNT, XosComputeNode::kNoMethod,
                             nullptr, nullptr);
    parent_node_->number = static_cast<std::uint32_t>(node);
    parent_node_->listening_port = static_cast<std::uint16_t>(port);
  } else if (name == "-DefDir") {
    EnterWorkingFolder(value);
  } else {
    std::int32_t session = 0;
    if (!ScanInt(text, &session)) {
      session_id_ = 0;
      return refuse("not a session number");
    }
    session_id_ = static_cast<std::uint32_t>(session);
  }
  return status::kOk;
}

void DseController::EnterWorkingFolder(std::string folder) {
  folder.erase(folder.find_last_not_of(' ') + 1);
  if (folder.size() == 2 && folder[1] == ':') folder += '\\';
  std::string path = folder;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  if (!path.empty() && EnterFolder(path)) return;
  // Told to the client at the first poll, once it can hear it.
  std::string text = "Invalid Working Directory <" + folder + ">Specified\n";
  const char* system_root = std::getenv("SystemRoot");
  if (system_root != nullptr && CurrentFolder().find(system_root) != std::string::npos) {
    text += "Warning : User Profile does not specify a Working Directory\n";
    EnterFolder("/");
  }
  text += "Defaulting to Directory <" + CurrentFolder() + ">";
  // Said at once on standard error as well: whoever started the engine
  // sees it whether or not its client shows the engine's lines.
  std::fprintf(stderr, "vantor: %s\n", text.c_str());
  std::fflush(stderr);
  deferred_.push_back({text, kBadWorkingFolder});
}

DseController::~DseController() {
  if (process_manager_ != nullptr) process_manager_->StopAll();
  process_manager_.reset();
  // Requests and templates hold ids of the allocator the I/O queue owns.
  timers_.clear();
  templates_.Clear();
  pending_.Clear();
  io_.reset();
  socket_layer_.reset();
  if (DseCurrentController() == this) DseSetCurrentController(nullptr);
}

const XosComputeNode* DseController::ParentNode() const { return parent_node_.get(); }

// --- starting and connecting ---

Status DseController::Start(DseServerRegistry* registry, DseAsyncClient* client) {
  if (ready_ == 0) return status::kGeneralFailure;
  registry_ = registry;
  if (child_number_ > 0) {
    io_->AddPeer(parent_node_.get(), static_cast<std::uint32_t>(child_number_), 0, session_id_,
                 nullptr);
  } else {
    async_client_ = client;
    const Status started = process_manager_->StartAll(client, io_.get());
    if (status::IsFailure(started)) return started;
  }
  return StartWithPeers(registry, client);
}

Status DseController::StartWithPeers(DseServerRegistry* registry, DseAsyncClient* client) {
  if (ready_ == 0) return status::kGeneralFailure;
  registry_ = registry;
  if (child_number_ == 0) async_client_ = client;
  const Status waited = WaitForConnections(kConnectRounds);
  if (status::IsSevere(waited)) return waited;
  io_->SetLocalTypes(registry_ != nullptr ? &registry_->Types() : nullptr);
  started_ = true;
  start_tick_ = platform::TickCount();
  if (child_number_ > 0) return status::kOk;
  // The children learn their siblings first, then everybody's services.
  DseMessage* list = nullptr;
  Status result = process_manager_->MakePeerListMessage(&list);
  if (status::IsSuccess(result)) result = RouteOwn(list);
  DseMessage* connect = nullptr;
  Status connected = io_->MakeConnectMessage(&connect);
  if (status::IsSuccess(connected)) connected = RouteOwn(connect);
  if (status::IsFailure(connected)) result = connected;
  return status::IsFailure(result) ? result : status::kOk;
}

Status DseController::WaitForConnections(std::int32_t rounds) {
  if (rounds < 1) return status::kUnhandled;
  if (ready_ == 0) return status::kGeneralFailure;
  Status last = status::kOk;
  for (std::int32_t round = 0; round < rounds; ++round) {
    bool all_open = true;
    bool child_failed = false;
    // What the next round waits for: a peer arriving or a connect ending.
    std::vector<platform::Readiness> arrivals;
    for (std::uint32_t i = 0; i < io_->PeerCount(); ++i) {
      DseIOQueue* peer = io_->PeerAt(i);
      const Status opened = peer->Connection()->Open();
      if (opened == status::kOk) continue;
      peer->Connection()->AddReadiness(&arrivals, false, true);
      all_open = false;
      last = opened;
      DseProcess* process = peer->Process();
      if (process != nullptr && status::IsFailure(process->ReadOutput())) {
        ReportProcessFailure("Process '%s' has failed trying to access %s.", *process,
                             peer->Connection()->GetWriteName(), "UnKnown");
        child_failed = true;
      }
    }
    if (all_open) {
      UpdateConnectionState();
      return status::kOk;
    }
    // A failed child is told at once: there is nothing left to wait for.
    if (child_failed) return DseIOQueue::kChildFailed;
    // Nor is there for a child whose client ended before connecting.
    if (ParentGone()) {
      ReportMissedHandshake();
      return DseIOQueue::kPeerLost;
    }
    platform::WaitForAny(arrivals, kRoundMs);
  }
  return last;
}

void DseController::ReportProcessFailure(const char* format, DseProcess& process,
                                         const char* second, const char* fallback) {
  if (async_client_ == nullptr) return;
  const std::string name = process.name;
  const char* other = second != nullptr ? second : "";
  const int n = std::snprintf(nullptr, 0, format, name.c_str(), other);
  std::string text(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  std::snprintf(text.data(), text.size() + 1, format, name.c_str(), other);
  const std::string& output = process.output;
  async_client_->ReportFailure(text.c_str(), output.empty() ? fallback : output.c_str(),
                               kFailedChildCode);
}

void DseController::UpdateConnectionState() {
  if (connection_state_ == kConnecting && io_->AllOpen()) connection_state_ = kAllOpen;
  if (connection_state_ == kAllOpen && io_->AllConnected()) connection_state_ = kAllConnected;
}

bool DseController::ParentGone() const {
  if (child_number_ <= 0 || parent_pid_ <= 0) return false;
  if (platform::ParentProcessId() != parent_pid_) return true;
  // Handed to init before we looked: the client (the session's process)
  // ended right after starting us.
  return parent_pid_ == 1 && session_id_ > 1;
}

bool DseController::PastConnectDeadline() const {
  return started_ && connection_state_ != kAllConnected &&
         (platform::TickCount() - start_tick_ >= connect_deadline_ms_ || ParentGone());
}

void DseController::ReportMissedHandshake() {
  if (missed_handshake_told_) return;
  missed_handshake_told_ = true;
  if (ParentGone()) {
    SuPrint(DseIOQueue::kPeerLost,
            "The parent process ended before the connect handshake completed; the connection is "
            "given up");
    return;
  }
  std::string silent;
  for (std::uint32_t i = 0; i < io_->PeerCount(); ++i) {
    const DseIOQueue* peer = io_->PeerAt(i);
    if (peer->Connected()) continue;
    silent += (silent.empty() ? "" : ", ") + std::to_string(peer->PeerNumber());
  }
  std::uint32_t ms = connect_deadline_ms_;
  SuPrint(DseIOQueue::kPeerLost,
          "The connect handshake with process %s did not complete within %u ms; the connection is "
          "given up",
          silent.empty() ? "(none)" : silent.c_str(), &ms);
}

void DseController::ReleaseServerRegistry(DseServerRegistry** registry) {
  *registry = registry_;
  registry_ = nullptr;
  // A controller whose set-up failed has no I/O queue.
  if (io_ != nullptr) io_->SetLocalTypes(nullptr);
}

// --- sending ---

Status DseController::Send(DseMessage* message, std::uint32_t options, DseClientCB* client,
                           void* context, const double* interval, std::int32_t timeout_ms) {
  // Senders leave the message to the controller whatever the answer.
  if (closing_ != 0 || ready_ == 0) {
    delete message;
    return status::kGeneralFailure;
  }
  if (client == nullptr) message->flags |= DseMessage::kNoReply;
  if ((options & 4) != 0) message->flags |= DseMessage::kKeepPending;
  Status result = message->PrepareSend(client, context, interval, timeout_ms);
  if (status::IsSuccess(result)) result = io_->Route(message, timeout_ms);
  if (status::IsFailure(result) || client == nullptr) {
    delete message;
    return result;
  }
  pending_.Insert(message);
  return result;
}

Status DseController::RouteOwn(DseMessage* message) {
  Status result = closing_ != 0 ? status::kGeneralFailure : message->Pack(true);
  if (status::IsSuccess(result)) result = io_->Route(message, -1);
  delete message;
  return result;
}

Status DseController::CancelRequest(std::uint32_t id) {
  if (ready_ == 0) return status::kGeneralFailure;
  auto* request = static_cast<DseMessage*>(pending_.Remove(id));
  if (request == nullptr) return kNotPending;
  if (io_->Token(request->type) != nullptr) {
    if (DseMessage* cancel = request->MakeCancel()) RouteOwn(cancel);
  }
  delete request;
  return status::kOk;
}

DseMessage* DseController::PendingRequest(std::uint32_t id) const {
  return static_cast<DseMessage*>(pending_.Find(id));
}

void DseController::FailPending(std::uint32_t id, Status result) {
  std::unique_ptr<DseMessage> request(static_cast<DseMessage*>(pending_.Remove(id)));
  if (request != nullptr && request->Client() != nullptr) {
    request->Client()->RequestComplete(result, request->Context());
  }
}

Status DseController::PostEvents(std::uint32_t code, std::int32_t count,
                                 const std::uint32_t* values, const std::uint32_t* line_counts,
                                 const char* const* const* lines, DseSentMark* mark) {
  if (count < 1) return status::kOk;
  if (closing_ != 0 || ready_ == 0) return status::kGeneralFailure;
  // All queued first and written in one flush: a connection that takes
  // nothing pauses the poster once, not once for every event.
  Status last = status::kOk;
  for (std::int32_t i = 0; i < count; ++i) {
    std::unique_ptr<DseMessage> event(
        DseMessage::MakeEvent(code, values[i], line_counts[i], lines[i]));
    if (event == nullptr) {
      last = DseMessage::kNoMemory;
      continue;
    }
    last = event->PrepareSend(nullptr, nullptr, nullptr, -1);
    if (mark != nullptr && i == count - 1 && status::IsSuccess(last)) {
      mark->Set(event->FirstSegment());
    }
    if (status::IsSuccess(last)) last = io_->Enqueue(event.get());
  }
  const Status flushed = io_->Flush();
  return status::IsFailure(last) ? last : flushed;
}

bool DseController::OutputWaiting() { return io_ != nullptr && io_->OutputWaiting(); }
