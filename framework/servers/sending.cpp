#include "framework/servers/sending.h"

#include <cassert>
#include <thread>

#include "framework/messaging/message.h"
#include "framework/messaging/message_controller.h"
#include "framework/runtime/xos_time.h"
#include "framework/servers/client_callback.h"

namespace {

DseMessageController* current_controller = nullptr;
std::thread::id controller_thread;

// Messaging belongs to the server thread; debug builds check every entry.
[[maybe_unused]] bool OnControllerThread() {
  return current_controller == nullptr || controller_thread == std::this_thread::get_id();
}

constexpr std::int32_t kDefaultWaits = 1000;

}  // namespace

DseMessageController* DseCurrentController() { return current_controller; }

bool DseOnControllerThread() {
  return current_controller != nullptr && controller_thread == std::this_thread::get_id();
}

void DseSetCurrentController(DseMessageController* controller) {
  current_controller = controller;
  controller_thread = std::this_thread::get_id();
}

Status DseSendMessage(DseMessage* message, std::uint32_t options, DseClientCB* client,
                      void* context, const double* interval, std::int32_t timeout_ms) {
  assert(OnControllerThread());
  if (current_controller == nullptr) return status::kGeneralFailure;
  return current_controller->Send(message, options, client, context, interval, timeout_ms);
}

Status DseSendAndWait(DseMessage* message, std::uint32_t options, DseClientCB* client,
                      void* context, const double* interval, std::int32_t waits) {
  DseBlockingClientCB blocking(client);
  const Status sent = DseSendMessage(message, options, &blocking, context, interval, waits);
  if (status::IsFailure(sent)) return sent;
  // Pending now under this id; the message may go away during the polls.
  const std::uint32_t id = message->GetId();
  const bool stays_pending =
      (options & kDseKeepPending) != 0 || (interval != nullptr && *interval > 0.0);
  const Status waited = DseWaitForReply(&blocking, waits);
  if ((status::IsFailure(waited) || stays_pending) && current_controller != nullptr) {
    current_controller->CancelRequest(id);
  }
  return waited;
}

Status DseWaitForReply(DseBlockingClientCB* client, std::int32_t waits) {
  assert(OnControllerThread());
  std::int32_t left = waits < 1 ? kDefaultWaits : waits;
  while (client->Waiting()) {
    if (left == 0 || current_controller == nullptr) return status::kGeneralFailure;
    XosSleep(1);
    --left;
    current_controller->Poll();
  }
  return status::kOk;
}

Status DsePostEventText(std::uint32_t code, std::uint32_t value, const char* text) {
  const std::uint32_t one = 1;
  const char* const line[] = {text};
  const char* const* lines[] = {line};
  return DsePostEvent(code, 1, &value, &one, lines, nullptr);
}

Status DsePostEvent(std::uint32_t code, std::int32_t count, const std::uint32_t* values,
                    const std::uint32_t* line_counts, const char* const* const* lines,
                    DseSentMark* mark) {
  assert(OnControllerThread());
  if (current_controller == nullptr) return status::kGeneralFailure;
  return current_controller->PostEvents(code, count, values, line_counts, lines, mark);
}

bool DseOutputWaiting() {
  assert(OnControllerThread());
  return current_controller != nullptr && current_controller->OutputWaiting();
}
