// A stand-in for the engine until the real one exists: it builds its objects
// in the order of the engine's server thread (the controller from the
// command line and "vantor.cfg", the server registry, a dummy server for a
// few service ids, Start), polls until a poll reports a severe status,
// drains with nine polls 100 ms apart and ends with that status's exit code.
// The dummy server answers what protocol.h lists.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "framework/messaging/io_queue.h"
#include "framework/messaging/message.h"
#include "framework/processes/xos_process.h"
#include "framework/runtime/xos_time.h"
#include "framework/servers/client_callback.h"
#include "framework/servers/controller.h"
#include "framework/servers/sending.h"
#include "framework/servers/server_callback.h"
#include "framework/servers/server_registry.h"
#include "tools/test_engine/protocol.h"

namespace {

using namespace test_engine;

// The longest idle wait between polls; a peer's bytes end it at once.
constexpr std::uint32_t kIdleMs = 10;

// The bytes left in a message body.
std::string Rest(DseMessage& message) {
  std::string bytes;
  std::uint8_t byte = 0;
  while (message.RemainingBytes() > 0 && message.GetUInt8(&byte) == status::kOk) {
    bytes += static_cast<char>(byte);
  }
  return bytes;
}

// Hears how the client answered the request kAskClient sent.
class ClientAnswer : public DseClientCB {
 public:
  Status HandleReply(std::uint32_t, DseMessage* reply, void*) override {
    text_ = Rest(*reply);
    return status::kOk;
  }
  Status RequestComplete(Status result, void*) override {
    char head[48];
    std::snprintf(head, sizeof head, "client answered 0x%08X: ", result);
    const std::string line = head + text_;
    text_.clear();
    return DsePostEventText(16, 0, line.c_str());
  }

 private:
  std::string text_;
};

class DummyServer : public DseServerCB {
 public:
  Status HandleCommand(std::uint32_t, std::uint32_t command, std::uint32_t string_count,
                       const char* const* strings, std::uint32_t integer_count,
                       const std::int32_t* integers, std::uint32_t, const double*) override {
    const std::int32_t first = integer_count > 0 ? integers[0] : 0;
    switch (command) {
      case kPostLines:
        for (std::uint32_t i = 0; i < string_count; ++i) {
          DsePostEventText(16, static_cast<std::uint32_t>(first), strings[i]);
        }
        return status::kOk;
      case kTimerRound:
        timer_rounds += first > 1 ? first : 1;
        return status::kOk;
      case kAnswerStatus:
        return static_cast<Status>(first);
      case kStall:
        std::this_thread::sleep_for(std::chrono::milliseconds(first));
        return status::kOk;
      default:
        return status::kNotSupported;
    }
  }

  Status HandleRequest(std::uint32_t type, DseMessage* request, DseMessage** reply,
                       DseTemplate** kept) override {
    if (request->subtype == DseMessage::kIdPathRead) {
      return DseServerCB::HandleRequest(type, request, reply, kept);
    }
    std::uint16_t kind = 0;
    const Status read = request->GetUInt16(&kind);
    if (status::IsFailure(read)) return read;
    if (kind == kEcho) {
      auto* echo = new DseMessage(type, request->subtype);
      for (char byte : Rest(*request)) echo->PutUInt8(static_cast<std::uint8_t>(byte));
      *reply = echo;
      return status::kOk;
    }
    if (kind == kAskClient) {
      auto* ask = new DseMessage(kClientService, DseMessage::kRequest);
      for (char byte : Rest(*request)) ask->PutUInt8(static_cast<std::uint8_t>(byte));
      return DseSendMessage(ask, 0, &client_answer_, nullptr, nullptr, -1);
    }
    return kind == kFail ? status::kBadArguments : status::kNotSupported;
  }

  Status GetItem(std::uint32_t, const BvuIdPath&, std::uint32_t first, std::uint32_t,
                 std::uint32_t* type_code, void** value_address) override {
    switch (first) {
      case kCounter:
        ++counter_;
        *type_code = 4;
        *value_address = &counter_;
        return status::kOk;
      case kReal:
        *type_code = 24;
        *value_address = &real_;
        return status::kOk;
      case kText:
        *type_code = 68;
        *value_address = text_;
        return status::kOk;
      default:
        return status::kBadArguments;
    }
  }

  std::int32_t timer_rounds = 0;

 private:
  ClientAnswer client_answer_;
  std::uint32_t counter_ = 0;
  double real_ = 2.5;
  char text_[6] = "dummy";
};

struct Arguments {
  int argc;
  char** argv;
};

std::uint32_t ServerThreadBody(void* argument) {
  const auto* arguments = static_cast<const Arguments*>(argument);
  Status result = status::kOk;
  DseController controller(arguments->argc, arguments->argv, "vantor.cfg", &result);
  if (status::IsFailure(result)) return result;
  DseServerRegistry registry;
  DummyServer server;
  registry.Register(kService, &server);
  registry.Register(kOtherService, &server);
  registry.Register(kUnservedType, nullptr);
  controller.Start(&registry, nullptr);

  Status loop = status::kOk;
  for (;;) {
    if (server.timer_rounds > 0) {
      --server.timer_rounds;
      loop = controller.PollWithTimers();
    } else {
      loop = controller.Poll();
    }
    if (status::IsSevere(loop)) break;
    // Timer rounds poll back to back; otherwise until a peer moves.
    if (server.timer_rounds == 0) controller.IOQueue()->WaitReady(kIdleMs, true, true);
  }
  for (int i = 0; i < 9; ++i) {
    controller.Poll();
    controller.IOQueue()->WaitReady(100, true, true);
  }
  DseServerRegistry* returned = nullptr;
  controller.ReleaseServerRegistry(&returned);
  return loop;
}

std::int32_t NotHandled(Status) { return 0; }
std::int32_t LetItPass(XosThread*, Status, std::uint32_t) { return XosThread::kPass; }

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments{argc, argv};
  XosProcessMain(ServerThreadBody, &arguments, NotHandled, LetItPass);
}
