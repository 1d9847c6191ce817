// The vantor client: the modelling environment's side of the engine, as a
// library. A Client runs the messaging framework as the top-level process
// (child number 0, message ids 1 to 0x1FFF), starts an engine executable as
// its child 1 over the named-pipe pair (or over TCP on loopback), completes
// the connect handshake announcing the service types it serves, and then
// sends requests, commands, id-path reads and shared-memory batches, records
// their replies, and collects the event lines, notifications and requests the
// engine sends. Everything happens on the calling thread: the client reads
// the engine only while one of its calls polls (Poll, WaitFor, Await and the
// calls that wait). What it records stays until the caller takes or forgets
// it (TakeReplies, Forget, TakeEvents, TakeNotifications, TakeFailures): a
// client that runs long, or reads periodically, takes what it has seen.
//
//   vantor_client::EngineOptions options;
//   options.program = "build/app/vantor";
//   std::unique_ptr<vantor_client::Client> client;
//   if (vantor_client::Client::Start(options, &client) != 0) ...;
//   auto request = std::make_unique<vantor_client::Request>(50);
//   request->PutUInt16(1);                       // the body, as the server reads it
//   std::uint32_t id = 0;
//   client->Send(std::move(request), &id);
//   client->Await(id);                            // replies in client->Find(id)
//   client->Forget(id);                           // once they are used
//   int exit_code = 0;
//   client->Close(&exit_code);                    // the engine ends on its own
//
// The framework keeps one controller per process, so a process has at most
// one Client at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "framework/messaging/message.h"
#include "framework/servers/server_registry.h"
#include "platform/status.h"

class DseComputeNode;
class DseController;
class DseProcess;

namespace vantor_client {

using Bytes = std::vector<std::uint8_t>;

// A received message: its header and the bytes of its body.
struct Message {
  std::uint32_t type = 0;
  std::uint32_t subtype = 0;
  std::uint32_t message_class = 0;
  std::uint32_t flags = 0;
  std::uint32_t id = 0;
  std::uint32_t aux = 0;
  std::uint32_t sequence = 0;
  Bytes body;
  // Where it came among the engine's events, notifications and requests
  // (1 for the first); 0 for replies.
  std::uint64_t arrival = 0;
};

// What became of a sent request. It is complete once it no longer waits for
// replies: answered, cancelled, or dropped when the client closed. A
// status-only reply gives the status; replies with a body are kept whole.
struct Outcome {
  bool complete = false;
  Status status = 0;
  std::vector<Message> headers;  // replies built by the server's template
  std::vector<Message> replies;  // every other reply with a body
};

// One group of event lines: its code (16 for the message log), the group's
// status word and its lines.
struct Event {
  std::uint32_t code = 0;
  std::uint32_t value = 0;
  std::vector<std::string> lines;
  // As Message::arrival: lines and notifications keep their order.
  std::uint64_t arrival = 0;
};

// Answers a request of the engine: a status, and optionally the body of a
// full reply (without one the engine gets a status-only reply, when it
// wants a reply at all).
using RequestHandler = std::function<Status(const Message& request, std::optional<Bytes>* body)>;

struct EngineOptions {
  std::string program;                 // the engine executable
  std::vector<std::string> arguments;  // more "name=value" items for its command line
  bool tcp = false;                    // TCP on loopback instead of the pipe pair
  // The service types the client serves. The engine sends only to types
  // announced here: 4 takes event lines, 81 run-state notifications, the
  // others the engine's requests and reports (55 results notices, 67 the
  // requests of actions).
  std::vector<std::uint32_t> services = {4, 55, 67, 81, 82, 85, 86, 87, 95};
  // Bound on starting, on the handshake and on every wait. Sending never
  // waits: what the connection cannot take at once goes out in later polls.
  std::uint32_t timeout_ms = 10000;
};

// A message the client sends and whose replies it records. Write the body
// with the BvuBinaryStream operations (PutUInt16, PutString, ...) before
// sending; subtype 12 is a request, 11 a command, 7 an id-path read, 8 a
// write. Setting flag 0x20 asks for no reply.
class Request : public DseMessage {
 public:
  explicit Request(std::uint32_t type, std::uint32_t subtype = kRequest);
  ~Request() override;

  Status OnReply(DseMessage* reply, DseMessage** follow_up) override;
  Status OnTemplateReply(DseMessage* reply) override;

 private:
  friend class Client;
  std::shared_ptr<Outcome> outcome_;
};

// A command: its number, integers, reals (4-byte floats on the wire) and texts.
std::unique_ptr<Request> MakeCommand(std::uint32_t type, std::uint32_t number,
                                     const std::vector<std::int32_t>& integers = {},
                                     const std::vector<double>& reals = {},
                                     const std::vector<std::string>& texts = {});

// The header and body of a message as a peer would receive it.
Message Capture(const DseMessage& message);

class Client {
 public:
  // What the waits return when the time-out ran out (and PeerLost() is false).
  static constexpr Status kTimedOut = status::kGeneralFailure;
  // The bound on every wait (EngineOptions::timeout_ms).
  std::uint32_t TimeoutMs() const { return options_.timeout_ms; }
  // How long Close waits for the engine to end before killing it.
  std::uint32_t EngineEndBoundMs() const;

  // Starts the engine and connects: 0, or the failure of starting the
  // engine, of connecting, or kTimedOut when the handshake did not complete
  // in time; *why (may be null) then says what went wrong in words. A start
  // fails at once when the pipe folder cannot be used, the program cannot be
  // run or the engine ends before it connects; an engine left behind by a
  // failed start is killed.
  static Status Start(const EngineOptions& options, std::unique_ptr<Client>* client,
                      std::string* why = nullptr);
  // Closes the client (see Close) unless it is closed.
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Sends a request (0 or a failure); *id names its Outcome, and names the
  // request even when sending failed (0 when it never got an id). A positive
  // period makes an id-path read periodic: the engine keeps it and answers
  // once on every round of its timers (in practice once per run step,
  // whatever the period) until it is dropped or cancelled.
  Status Send(std::unique_ptr<Request> request, std::uint32_t* id, double period = 0.0);
  // Sends a message that wants no reply (flag 0x20 is set).
  Status Post(std::unique_ptr<DseMessage> message);
  // The outcome of a request sent here; null for an unknown or forgotten id.
  const Outcome* Find(std::uint32_t id) const;
  // Takes the replies with a body received so far for the request (its
  // outcome keeps none of them); empty for an unknown id. A periodic read's
  // outcome grows by one reply per round until they are taken.
  std::vector<Message> TakeReplies(std::uint32_t id);
  // Forgets the request's outcome, cancelling the request first when it is
  // still pending; pointers Find gave for it are no longer valid.
  void Forget(std::uint32_t id);
  // Polls until the request is complete: 0, 0xA0000037 when the engine is
  // lost, kTimedOut when the time-out ran out.
  Status Await(std::uint32_t id);
  // Polls until done() holds; results as Await.
  Status WaitFor(const std::function<bool()>& done);
  // After an answered command 2: waits for the engine to end by itself,
  // within EngineEndBoundMs() (closing first would end it as "peer gone").
  Status WaitForEnd();
  // Forgets a pending request and tells the engine; 21 when none is pending.
  Status Cancel(std::uint32_t id);
  // Stops / restarts the rounds of a periodic request; 21 when none is pending.
  Status Drop(std::uint32_t id);
  Status StartTimer(std::uint32_t id);
  // Lays the messages out in a new shared-memory batch, announces it to the
  // type's server and waits for the announcement's status (returned). The
  // batch is removed afterwards. Batched messages should carry flag 0x20.
  Status SendBatch(std::uint32_t type, std::vector<std::unique_ptr<DseMessage>> messages);
  // One polling round; a severe status means the engine is lost.
  Status Poll();
  // Writes what waits for the engine without reading anything from it, as
  // a client that never reads does: until all is written (0), or until the
  // engine has taken nothing for stall_ms (kTimedOut), or a failure.
  Status Push(std::uint32_t stall_ms);

  // Answers the engine's requests (by default: status 0, no body).
  void SetRequestHandler(RequestHandler handler) { handler_ = std::move(handler); }
  // The event line groups that arrived and have not been taken.
  const std::vector<Event>& Events() const { return events_; }
  // The engine's messages to a service type other than 4 not yet taken.
  const std::vector<Message>& Notifications() const { return notifications_; }
  // What the framework reported about the engine ("Process 'engine' has
  // failed.", unless it ended with exit code 0) and has not been taken.
  const std::vector<std::string>& Failures() const { return failures_; }
  // Each hands over what arrived so far and forgets it.
  std::vector<Event> TakeEvents();
  std::vector<Message> TakeNotifications();
  std::vector<std::string> TakeFailures();
  bool PeerLost() const { return lost_; }
  // Segments sent or posted that wait to be written to the engine (while
  // it reads nothing, the connection takes no more).
  std::uint32_t Unwritten() const;
  // Bytes the engine has written to the connection that no poll has read
  // yet; -1 when they cannot be told.
  long Unread() const;
  // Whether the engine has said it serves the service type.
  bool Serves(std::uint32_t type) const;
  int EnginePid() const;
  // The session the engine's pipe names carry: a process the engine is told
  // of by a peer list (type 1, subtype 2) reaches it with it.
  std::uint32_t SessionId() const;
  // Closes the connection, which ends the engine, and waits for it to end
  // (killing it when it does not within the larger of the time-out and
  // EngineEndBoundMs()); *exit_code (may be null) is its
  // exit code. 0, or 0xA000FFFF when it had to be killed.
  Status Close(int* exit_code);

 private:
  class Services;
  class Completion;
  class Reporter;

  explicit Client(const EngineOptions& options);
  Status Launch(std::string* why);
  Status StartEngine(std::string* why);
  Status Connect(std::string* why);
  // Why the engine could not be reached: its end when it has ended, else
  // the time-out when it ran out, else the status.
  std::string Unreachable(bool handshake, Status result, std::uint32_t start) const;

  EngineOptions options_;
  RequestHandler handler_;
  std::vector<Event> events_;
  std::vector<Message> notifications_;
  std::vector<std::string> failures_;
  std::map<std::uint32_t, std::shared_ptr<Outcome>> outcomes_;
  std::unique_ptr<Services> services_;
  std::unique_ptr<Completion> completion_;
  std::unique_ptr<Reporter> reporter_;
  DseServerRegistry registry_;
  std::unique_ptr<DseComputeNode> node_;
  std::unique_ptr<DseProcess> engine_;
  std::unique_ptr<DseController> controller_;
  std::uint32_t session_ = 0;  // the controller's, kept past its end
  Status WaitWithin(const std::function<bool()>& done, std::uint32_t bound_ms);
  // The socket file of an engine killed here, which it could not remove.
  void RemoveKilledEngineSocket();
  // Whether the engine has ended with exit code 0, waiting for its end up
  // to kEngineEndWaitMs after its connection closed.
  bool EngineEndedCleanly();
  static constexpr std::uint32_t kEngineEndWaitMs = 2000;
  std::uint32_t batches_ = 0;
  std::uint64_t arrivals_ = 0;
  bool lost_ = false;
};

}  // namespace vantor_client
