#include "control/actions/action_sending.h"

#include "framework/messaging/message.h"
#include "framework/messaging/message_controller.h"
#include "framework/servers/sending.h"

namespace {

class ControllerSender final : public SimActionSender {
 public:
  Status Send(DseMessage* message, DseClientCB* client, void* context, std::uint32_t* id) override {
    if (id != nullptr) *id = 0;
    if (DseCurrentController() == nullptr) {
      delete message;
      return status::kGeneralFailure;
    }
    const Status sent = DseSendMessage(message, 0, client, context, nullptr, -1);
    // Pending under its id once sent with a client; gone otherwise.
    if (status::IsSuccess(sent) && client != nullptr && id != nullptr) *id = message->GetId();
    return sent;
  }
  void Cancel(std::uint32_t id) override {
    if (id == 0) return;
    if (DseMessageController* controller = DseCurrentController()) controller->CancelRequest(id);
  }
};

ControllerSender g_controller_sender;
SimActionSender* g_sender = &g_controller_sender;

}  // namespace

SimActionSender& ActionSender() { return *g_sender; }

void SetActionSender(SimActionSender* sender) {
  g_sender = sender != nullptr ? sender : &g_controller_sender;
}
