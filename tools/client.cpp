// Starting the engine, the client's servers and callbacks, sending and
// waiting, batches, and closing.
#include "tools/client.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

#include "framework/connections/pipe_connection.h"
#include "framework/connections/segment.h"
#include "framework/connections/socket_connection.h"
#include "framework/messaging/async_client.h"
#include "framework/messaging/io_queue.h"
#include "framework/processes/child_engine.h"
#include "framework/processes/compute_node.h"
#include "framework/processes/process_manager.h"
#include "framework/servers/client_callback.h"
#include "framework/servers/controller.h"
#include "framework/servers/server_callback.h"
#include "platform/byte_order.h"
#include "platform/child_process.h"
#include "platform/clock.h"
#include "platform/local_socket.h"
#include "platform/shared_memory.h"

namespace vantor_client {

namespace {

constexpr std::uint32_t kEngineNumber = 1;
// Upper bounds of the waits for the engine: each ends as soon as it moves.
constexpr std::uint32_t kIdleMs = 10;
constexpr std::uint32_t kOpenRetryMs = 5;
// Routing only queues and writes what the connection takes now; the waits
// that follow bound the time.
constexpr std::int32_t kNoRouteRetries = -1;

// " (status 0x...)", for failures that have no words of their own.
std::string StatusText(Status result) {
  char text[32];
  std::snprintf(text, sizeof text, " (status 0x%08X)", result);
  return text;
}

std::string Quoted(const std::string& item) {
  return item.find_first_of(" \t") == std::string::npos ? item : "\"" + item + "\"";
}

}  // namespace

// --- messages ---

Message Capture(const DseMessage& message) {
  Message m;
  m.type = message.type;
  m.subtype = message.subtype;
  m.message_class = message.message_class;
  m.flags = message.flags;
  m.id = message.GetId();
  m.aux = message.aux;
  m.sequence = message.sequence;
  for (const DseSegment* s = message.FirstSegment(); s != nullptr; s = s->next) {
    const unsigned char* data = const_cast<DseSegment*>(s)->DataStart();
    const unsigned char* end = s->frame + s->frame_length + 4;
    if (end > data) m.body.insert(m.body.end(), data, end);
  }
  return m;
}

Request::Request(std::uint32_t type, std::uint32_t subtype) : DseMessage(type, subtype) {}

Request::~Request() {
  if (outcome_ != nullptr) outcome_->complete = true;
}

Status Request::OnReply(DseMessage* reply, DseMessage** follow_up) {
  if (follow_up != nullptr) *follow_up = nullptr;
  if (outcome_ != nullptr) outcome_->replies.push_back(Capture(*reply));
  return status::kOk;
}

Status Request::OnTemplateReply(DseMessage* reply) {
  if (outcome_ != nullptr) outcome_->headers.push_back(Capture(*reply));
  return status::kOk;
}

std::unique_ptr<Request> MakeCommand(std::uint32_t type, std::uint32_t number,
                                     const std::vector<std::int32_t>& integers,
                                     const std::vector<double>& reals,
                                     const std::vector<std::string>& texts) {
  auto command = std::make_unique<Request>(type, DseMessage::kCommand);
  command->PutUInt32(number);
  command->PutUInt32(static_cast<std::uint32_t>(integers.size()));
  for (std::int32_t value : integers) command->PutUInt32(static_cast<std::uint32_t>(value));
  command->PutUInt32(static_cast<std::uint32_t>(reals.size()));
  for (double value : reals) command->PutFloat(static_cast<float>(value));
  command->PutUInt32(static_cast<std::uint32_t>(texts.size()));
  for (const std::string& text : texts) command->PutString(text.c_str());
  return command;
}

// --- what the engine sends to the client ---

class Client::Services : public DseServerCB {
 public:
  explicit Services(Client* client) : client_(client) {}

  Status HandleIOServerCommand(std::uint32_t code, std::uint32_t value, std::uint32_t line_count,
                               const char* const* lines) override {
    Event event{code, value, {}, ++client_->arrivals_};
    for (std::uint32_t i = 0; i < line_count; ++i)
      event.lines.emplace_back(lines[i] != nullptr ? lines[i] : "");
    client_->events_.push_back(std::move(event));
    return status::kOk;
  }

  // A command of the engine (service 55 command 40, service 95 command 136
  // ...) is kept as a notification in its wire form.
  Status HandleCommand(std::uint32_t type, std::uint32_t command, std::uint32_t string_count,
                       const char* const* strings, std::uint32_t integer_count,
                       const std::int32_t* integers, std::uint32_t real_count,
                       const double* reals) override {
    Message m;
    m.type = type;
    m.subtype = DseMessage::kCommand;
    auto put = [&m](const void* bytes, std::size_t count) {
      const auto* b = static_cast<const std::uint8_t*>(bytes);
      m.body.insert(m.body.end(), b, b + count);
    };
    put(&command, 4);
    put(&integer_count, 4);
    put(integers, 4 * integer_count);
    put(&real_count, 4);
    for (std::uint32_t i = 0; i < real_count; ++i) {
      const float value = static_cast<float>(reals[i]);
      put(&value, 4);
    }
    put(&string_count, 4);
    for (std::uint32_t i = 0; i < string_count; ++i) {
      const std::string text = strings[i] != nullptr ? strings[i] : "";
      const std::uint32_t length = static_cast<std::uint32_t>(text.size() + 1);
      put(&length, 3);
      put(text.c_str(), length);
    }
    m.arrival = ++client_->arrivals_;
    client_->notifications_.push_back(std::move(m));
    return status::kOk;
  }

  Status HandleRequest(std::uint32_t type, DseMessage* request, DseMessage** reply,
                       DseTemplate** kept) override {
    *reply = nullptr;
    *kept = nullptr;
    Message received = Capture(*request);
    received.arrival = ++client_->arrivals_;
    client_->notifications_.push_back(received);
    if (!client_->handler_) return status::kOk;
    std::optional<Bytes> body;
    const Status answer = client_->handler_(received, &body);
    if (body.has_value()) {
      auto* full = new DseMessage(type, request->subtype);
      for (std::uint8_t byte : *body) full->PutUInt8(byte);
      *reply = full;
    }
    return answer;
  }

 private:
  Client* client_;
};

class Client::Completion : public DseClientCB {
 public:
  Status RequestComplete(Status result, void* context) override {
    auto* outcome = static_cast<Outcome*>(context);
    outcome->status = result;
    outcome->complete = true;
    return status::kOk;
  }
};

class Client::Reporter : public DseAsyncClient {
 public:
  explicit Reporter(Client* client) : client_(client) {}
  Status AskPassword(const char*, std::string*, std::string*) override {
    return status::kNotSupported;
  }
  Status ReportFailure(const char* text, const char*, std::uint32_t) override {
    // The framework tells every lost child as failed; an engine that ended
    // with 0 (after command 2) ended as asked. Its end may come a moment
    // after its connection closed.
    if (client_->EngineEndedCleanly()) return status::kOk;
    client_->failures_.emplace_back(text);
    return status::kOk;
  }

 private:
  Client* client_;
};

// --- starting ---

Client::Client(const EngineOptions& options)
    : options_(options), services_(std::make_unique<Services>(this)),
      completion_(std::make_unique<Completion>()), reporter_(std::make_unique<Reporter>(this)) {}

Status Client::Start(const EngineOptions& options, std::unique_ptr<Client>* client,
                     std::string* why) {
  std::unique_ptr<Client> made(new Client(options));
  std::string reason;
  const Status started = made->Launch(&reason);
  if (status::IsFailure(started)) {
    // Nothing will talk to an engine that did not connect: do not wait for it.
    if (made->engine_ != nullptr && made->engine_->process != nullptr) {
      made->engine_->process->Terminate();
      made->RemoveKilledEngineSocket();
    }
    if (why != nullptr) *why = reason;
    return started;
  }
  *client = std::move(made);
  return status::kOk;
}

Status Client::Launch(std::string* why) {
  if (!options_.tcp) {
    // Checked here so that an unusable folder fails the start at once rather
    // than after the time-out, and with the system's reason.
    // The engine starts in its own folder: a relative pipe folder would be
    // another folder there, and the two would never meet.
    if (const char* pipes = std::getenv("VANTOR_PIPE_DIR");
        pipes != nullptr && pipes[0] != '\0' && pipes[0] != '/') {
      *why = std::string("VANTOR_PIPE_DIR is relative (") + pipes +
             "): the engine starts in another folder; give an absolute folder";
      return status::kBadArguments;
    }
    std::string folder;
    if (!platform::LocalEndpointFolder(&folder, why)) return status::kBadArguments;
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
      *why = "cannot use the pipe folder " + folder + ": " + std::strerror(errno);
      return status::kBadArguments;
    }
  }
  // The client starts its engine itself, so it has no configuration.
  const char* const argv[] = {"vantor-client"};
  Status result = status::kOk;
  controller_ = std::make_unique<DseController>(1, argv, "/dev/null", &result);
  if (status::IsFailure(result)) {
    *why = "cannot set up the client's messaging" + StatusText(result);
    return result;
  }
  controller_->SetConnectDeadline(options_.timeout_ms);
  for (std::uint32_t type : options_.services) registry_.Register(type, services_.get());
  result = StartEngine(why);
  return status::IsFailure(result) ? result : Connect(why);
}

Status Client::StartEngine(std::string* why) {
  // What the start would run, checked first: the framework reports a failed
  // start only by its error number.
  const std::string program = platform::LocateProgram(options_.program);
  if (program.find('/') == std::string::npos) {
    *why = "no program " + options_.program + " along PATH";
    return status::kUnhandled;
  }
  struct stat info;
  const int usable = ::stat(program.c_str(), &info) != 0    ? errno
                     : S_ISDIR(info.st_mode)                ? EISDIR
                     : ::access(program.c_str(), X_OK) != 0 ? errno
                                                            : 0;
  if (usable != 0) {
    *why = std::strerror(usable);
    if (program != options_.program) *why += " (" + program + ")";
    return status::kUnhandled;
  }

  std::string arguments = "-ChildNo=" + std::to_string(kEngineNumber) +
                          " -SessionId=" + std::to_string(controller_->SessionId());
  Status result = status::kOk;
  if (options_.tcp) {
    // "127.0.0.1" is never this machine's name, so both sides use TCP.
    // On loopback alone, and only the engine started here is taken.
    XosListeningSocket* listener = XosListeningSocket::Get(kEngineNumber, &result, true);
    if (listener == nullptr) {
      *why = "cannot listen on TCP loopback" + StatusText(result);
      return result;
    }
    node_ = std::make_unique<DseComputeNode>("engine");
    node_->Initialize("127.0.0.1", XosComputeNode::kUnix, XosComputeNode::kNoMethod, nullptr,
                      nullptr);
    arguments += " -ParentNode=0:" + std::to_string(listener->Port()) + ":127.0.0.1";
  }
  for (const std::string& item : options_.arguments) arguments.append(" ").append(Quoted(item));

  engine_ = std::make_unique<DseProcess>();
  engine_->name = "engine";
  engine_->number = kEngineNumber;
  engine_->program = options_.program;
  engine_->node = node_.get();
  // The peer first: its pipe must be there when the engine looks for it.
  controller_->IOQueue()->AddPeer(node_.get(), 0, kEngineNumber, controller_->SessionId(),
                                  engine_.get());
  engine_->process = new XosProcess;
  result = engine_->process->CreateLocalProcess(options_.program.c_str(), arguments.c_str(), 0);
  if (status::IsFailure(result)) {
    *why = "the system did not start " + program + StatusText(result);
    return result;
  }
  engine_->state = DseProcess::kStarted;
  if (XosListeningSocket* listener =
          options_.tcp ? XosListeningSocket::Find(kEngineNumber) : nullptr) {
    listener->ExpectProcess(engine_->process->ProcessId());
  }
  return status::kOk;
}

Status Client::Connect(std::string* why) {
  // Opened here within the time-out rather than in the controller's rounds
  // of a second.
  DseIOQueue* queue = controller_->IOQueue();
  const std::uint32_t start = platform::TickCount();
  while (!queue->AllOpen()) {
    if (status::IsFailure(engine_->ReadOutput())) {
      *why = Unreachable(false, DseIOQueue::kPeerLost, start);
      return DseIOQueue::kPeerLost;
    }
    if (platform::TickCount() - start >= options_.timeout_ms) {
      *why = Unreachable(false, kTimedOut, start);
      return kTimedOut;
    }
    for (std::uint32_t i = 0; i < queue->PeerCount(); ++i) {
      const Status opened = queue->PeerAt(i)->Connection()->Open();
      if (status::IsFailure(opened)) {
        *why = Unreachable(false, opened, start);
        return opened;
      }
    }
    queue->WaitReady(kOpenRetryMs, false, true);
  }
  Status result = controller_->StartWithPeers(&registry_, reporter_.get());
  if (status::IsSuccess(result)) {
    result =
        WaitFor([this] { return controller_->ConnectionState() == DseController::kAllConnected; });
  }
  if (status::IsFailure(result)) *why = Unreachable(true, result, start);
  return result;
}

std::string Client::Unreachable(bool handshake, Status result, std::uint32_t start) const {
  const char* stage = handshake ? "the handshake" : "connecting";
  XosProcess* process = engine_ != nullptr ? engine_->process : nullptr;
  if (process != nullptr && status::IsFailure(engine_->ReadOutput())) {
    return std::string("the engine ended before ") + stage + " (exit code " +
           std::to_string(process->ExitCode()) + ")";
  }
  if (result == kTimedOut || platform::TickCount() - start >= options_.timeout_ms) {
    return std::string("time-out: ") +
           (handshake ? "the handshake did not complete" : "the engine did not connect") +
           " within " + std::to_string(options_.timeout_ms) + " ms (the client's --timeout)";
  }
  return std::string("the connection to the engine failed before ") + stage + StatusText(result);
}

std::uint32_t Client::Unwritten() const {
  if (controller_ == nullptr || controller_->IOQueue()->PeerCount() == 0) return 0;
  const DseIOQueue* engine = controller_->IOQueue()->PeerAt(0);
  std::uint32_t queued = 0;
  for (std::uint32_t k = 0; k < DseIOQueue::kClasses; ++k) queued += engine->QueuedSegments(k);
  return queued;
}

long Client::Unread() const {
  if (controller_ == nullptr || controller_->IOQueue()->PeerCount() == 0) return -1;
  XosConnection* connection = controller_->IOQueue()->PeerAt(0)->Connection();
  if (connection == nullptr) return -1;
  std::vector<platform::Readiness> items;
  connection->AddReadiness(&items, true, false);
  for (const platform::Readiness& item : items) {
    int unread = 0;
    if (!item.write && ::ioctl(item.fd, FIONREAD, &unread) == 0) return unread;
  }
  return -1;
}

std::uint32_t Client::SessionId() const {
  return controller_ != nullptr ? controller_->SessionId() : session_;
}

int Client::EnginePid() const {
  return engine_ != nullptr && engine_->process != nullptr ? engine_->process->ProcessId() : -1;
}

// --- sending and waiting ---

Status Client::Send(std::unique_ptr<Request> request, std::uint32_t* id, double period) {
  if (controller_ == nullptr) return status::kGeneralFailure;
  *id = 0;
  auto outcome = std::make_shared<Outcome>();
  request->outcome_ = outcome;
  // Packed here so that its id is known even when the framework refuses it
  // (it then deletes the message); the flags must be in place before.
  if (period > 0.0) request->flags |= DseMessage::kPeriodicRequest | DseMessage::kPeriodic;
  const Status packed = request->Pack(true);
  if (status::IsFailure(packed)) return packed;
  *id = request->GetId();
  Request* sent = request.release();
  const double interval = period;
  const Status result = controller_->Send(sent, 0, completion_.get(), outcome.get(),
                                          period > 0.0 ? &interval : nullptr, kNoRouteRetries);
  if (status::IsFailure(result)) return result;
  // Pending under its id from now on.
  outcomes_[*id] = outcome;
  return status::kOk;
}

bool Client::Serves(std::uint32_t type) const {
  return controller_ != nullptr && controller_->IOQueue()->Token(type) != nullptr;
}

Status Client::Post(std::unique_ptr<DseMessage> message) {
  if (controller_ == nullptr) return status::kGeneralFailure;
  const Status result =
      controller_->Send(message.release(), 0, nullptr, nullptr, nullptr, kNoRouteRetries);
  return status::IsFailure(result) ? result : status::kOk;
}

const Outcome* Client::Find(std::uint32_t id) const {
  const auto found = outcomes_.find(id);
  return found != outcomes_.end() ? found->second.get() : nullptr;
}

std::vector<Message> Client::TakeReplies(std::uint32_t id) {
  const auto found = outcomes_.find(id);
  return found != outcomes_.end() ? std::exchange(found->second->replies, {})
                                  : std::vector<Message>{};
}

void Client::Forget(std::uint32_t id) {
  if (controller_ != nullptr && controller_->PendingRequest(id) != nullptr) Cancel(id);
  outcomes_.erase(id);
}

std::vector<Event> Client::TakeEvents() { return std::exchange(events_, {}); }

std::vector<Message> Client::TakeNotifications() { return std::exchange(notifications_, {}); }

std::vector<std::string> Client::TakeFailures() { return std::exchange(failures_, {}); }

Status Client::Await(std::uint32_t id) {
  const Outcome* outcome = Find(id);
  if (outcome == nullptr) return status::kGeneralFailure;
  return WaitFor([outcome] { return outcome->complete; });
}

Status Client::WaitFor(const std::function<bool()>& done) {
  return WaitWithin(done, options_.timeout_ms);
}

Status Client::WaitForEnd() {
  return WaitWithin([this] { return PeerLost(); }, EngineEndBoundMs());
}

Status Client::WaitWithin(const std::function<bool()>& done, std::uint32_t bound_ms) {
  const std::uint32_t start = platform::TickCount();
  // `done` is asked once a round: a caller's test may note what it saw
  // and answer yes only to the round that saw it.
  for (bool finished = done(); !finished;) {
    if (lost_) return DseIOQueue::kPeerLost;
    if (platform::TickCount() - start >= bound_ms) return status::kGeneralFailure;
    const Status polled = Poll();
    if (status::IsSevere(polled)) return polled;
    finished = done();
    if (!finished) controller_->IOQueue()->WaitReady(kIdleMs, true, true);
  }
  return status::kOk;
}

Status Client::Poll() {
  if (controller_ == nullptr) return status::kGeneralFailure;
  const Status polled = controller_->Poll();
  if (status::IsSevere(polled)) lost_ = true;
  return polled;
}

Status Client::Push(std::uint32_t stall_ms) {
  if (controller_ == nullptr) return status::kGeneralFailure;
  DseIOQueue* queue = controller_->IOQueue();
  std::uint32_t left = Unwritten();
  std::uint32_t since = platform::TickCount();
  while (left > 0) {
    const Status flushed = queue->Flush();
    if (status::IsFailure(flushed)) return flushed;
    const std::uint32_t now = Unwritten();
    if (now < left) since = platform::TickCount();
    left = now;
    if (left > 0 && platform::TickCount() - since >= stall_ms) return kTimedOut;
    if (left > 0) queue->WaitReady(10, false, true);
  }
  return status::kOk;
}

Status Client::Cancel(std::uint32_t id) {
  return controller_ != nullptr ? controller_->CancelRequest(id) : status::kGeneralFailure;
}

Status Client::Drop(std::uint32_t id) {
  DseMessage* pending = controller_ != nullptr ? controller_->PendingRequest(id) : nullptr;
  if (pending == nullptr) return DseController::kNotPending;
  std::unique_ptr<DseMessage> drop(pending->MakeDrop());
  return drop != nullptr ? Post(std::move(drop)) : DseMessage::kNoMemory;
}

Status Client::StartTimer(std::uint32_t id) {
  DseMessage* pending = controller_ != nullptr ? controller_->PendingRequest(id) : nullptr;
  if (pending == nullptr) return DseController::kNotPending;
  std::unique_ptr<DseMessage> start(pending->MakeStartTimer());
  return start != nullptr ? Post(std::move(start)) : DseMessage::kNoMemory;
}

Status Client::SendBatch(std::uint32_t type, std::vector<std::unique_ptr<DseMessage>> messages) {
  Bytes layout;
  auto put_count = [&layout](std::uint32_t count) {
    unsigned char bytes[4];
    platform::StoreLE32(bytes, count);
    layout.insert(layout.end(), bytes, bytes + 4);
  };
  for (const auto& message : messages) {
    const Status packed = message->Pack(true);
    if (status::IsFailure(packed)) return packed;
    std::uint32_t count = 0;
    for (DseSegment* s = message->FirstSegment(); s != nullptr; s = s->next) ++count;
    put_count(count);
    for (DseSegment* s = message->FirstSegment(); s != nullptr; s = s->next) {
      layout.insert(layout.end(), s->frame, s->frame + s->FrameSize());
    }
  }
  put_count(0);

  const auto first = static_cast<std::uint32_t>(::getpid());
  const std::uint32_t second = ++batches_;
  platform::SharedMemory batch;
  std::string why;
  const std::string name =
      "Fennick.BatchedMessageFile." + std::to_string(first) + "." + std::to_string(second);
  if (!batch.Create(name, layout.size(), &why)) return status::kUnhandled;
  std::memcpy(batch.Data(), layout.data(), layout.size());

  auto announcement = std::make_unique<Request>(type, DseMessage::kBatchAnnouncement);
  announcement->PutUInt32(first);
  announcement->PutUInt32(second);
  announcement->PutUInt32(static_cast<std::uint32_t>(layout.size()));
  std::uint32_t id = 0;
  Status result = Send(std::move(announcement), &id);
  if (status::IsSuccess(result)) result = Await(id);
  return status::IsSuccess(result) ? Find(id)->status : result;
}

// --- closing ---

std::uint32_t Client::EngineEndBoundMs() const {
  return std::max(options_.timeout_ms, kEngineEndWaitMs);
}

Status Client::Close(int* exit_code) {
  if (exit_code != nullptr) *exit_code = -1;
  if (controller_ == nullptr) return status::kOk;
  session_ = controller_->SessionId();
  controller_.reset();
  Status result = status::kOk;
  XosProcess* process = engine_ != nullptr ? engine_->process : nullptr;
  if (process != nullptr) {
    // An engine ends by itself once its connection closes; a --timeout
    // short enough for answers would kill one that was still ending well.
    const std::uint32_t bound = EngineEndBoundMs();
    const std::uint32_t start = platform::TickCount();
    std::uint32_t read = 0;
    char output[64];
    while (!status::IsFailure(process->ReadOutput(output, sizeof output, &read))) {
      if (platform::TickCount() - start >= bound) {
        process->Terminate();
        RemoveKilledEngineSocket();
        result = status::kGeneralFailure;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (exit_code != nullptr) *exit_code = process->ExitCode();
  }
  engine_.reset();
  node_.reset();
  return result;
}

void Client::RemoveKilledEngineSocket() {
  if (options_.tcp) return;
  if (controller_ != nullptr) session_ = controller_->SessionId();
  XosPipeConnection::RemoveKilledPeerSocket(0, kEngineNumber, session_);
}

bool Client::EngineEndedCleanly() {
  if (engine_ == nullptr || engine_->process == nullptr) return false;
  const std::uint32_t start = platform::TickCount();
  while (status::IsSuccess(engine_->ReadOutput())) {
    if (platform::TickCount() - start >= kEngineEndWaitMs) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return engine_->process->ExitCode() == 0;
}

Client::~Client() { Close(nullptr); }

}  // namespace vantor_client
