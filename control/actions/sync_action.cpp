#include "control/actions/sync_action.h"

#include <new>
#include <vector>

#include "control/actions/action_sending.h"
#include "framework/messaging/message.h"
#include "solve/options/option_descriptors.h"
#include "solve/options/solver_option_table.h"

namespace {
constexpr std::uint16_t kReplyMark = 0;
constexpr std::uint16_t kExchangeMark = 1;
// SyncSteps in force. The typed integer getter does not serve this number,
// so through it every setting would read as Full.
std::int32_t SyncSteps() {
  SolverOptionTable* table = SolverOptionTable::Existing();
  std::uint32_t wire = 0;
  void* address = nullptr;
  if (table == nullptr ||
      status::IsFailure(table->ValueSlot(SimSync::kSyncStepsOption, &wire, &address)) ||
      wire != kOptionWireInteger || address == nullptr) {
    return 0;
  }
  return *static_cast<const std::int32_t*>(address);
}

}  // namespace

Status SimSyncMgr::Create(DseMessage* request, DseMessage** reply, NewSimAction** action) {
  if (request == nullptr) return status::kBadArguments;
  std::vector<char> name(kNameRoom, '\0');
  const Status read = request->GetStringInto(name.data(), kNameRoom);
  if (status::IsFailure(read)) return read;
  std::unique_ptr<DseMessage> copy(DseMessage::DseMessageCopy(*request));
  if (copy == nullptr) return DseMessage::kNoMemory;
  if (reply != nullptr) {
    std::unique_ptr<DseMessage> answer(DseMessage::DseMessageCopy(*copy));
    if (answer == nullptr) return DseMessage::kNoMemory;
    const Status put = answer->PutUInt16(kReplyMark);
    if (status::IsFailure(put)) return put;
    delete *reply;
    *reply = answer.release();
  }
  auto* made = new (std::nothrow) SimSync(name.data(), this, std::move(copy));
  if (made == nullptr) return DseMessage::kNoMemory;
  *action = made;
  return status::kOk;
}

SimSync::SimSync(const char* name, SimActionFactory* factory, std::unique_ptr<DseMessage> message)
    : NewSimAction(name, factory), message_(std::move(message)) {
  for (std::int32_t point : kHookPoints) hook_modes[point] = kList;
}

SimSync::~SimSync() {
  // A reply still owed must not reach a freed action.
  if (sent_ && !reply_arrived_) ActionSender().Cancel(pending_id_);
}

std::int32_t SimSync::PassBudget(std::int32_t sync_steps) {
  switch (sync_steps) {
    case 1:
      return 500;
    case 2:
      return 20;
    case 3:
      return 5;
    default:
      return 0;
  }
}

Status SimSync::SendExchange() {
  if (message_ == nullptr) return status::kUnhandled;
  std::unique_ptr<DseMessage> exchange(DseMessage::DseMessageCopy(*message_));
  if (exchange == nullptr) return DseMessage::kNoMemory;
  const Status put = exchange->PutUInt16(kExchangeMark);
  if (status::IsFailure(put)) return put;
  // Every exchange names the manager as its client: a send without one
  // wants no reply, and the run would wait for it for ever.
  client_registered_ = true;
  return ActionSender().Send(exchange.release(), SimActionMgr::Instance(), this, &pending_id_);
}

Status SimSync::Execute(std::int32_t* request, SimActionControl*, const SimExplicitEvent*) {
  *request = 1;
  Status sent_now = status::kOk;
  if (!sent_) {
    sent_now = SendExchange();
    sent_ = true;
    if (status::IsFailure(sent_now)) {
      stored_status_ = sent_now;
      return sent_now;
    }
  }
  if (reply_arrived_) {
    sent_ = false;
    reply_arrived_ = false;
    passes_left_ = PassBudget(SyncSteps());
    return kDone;
  }
  if (!status::IsFailure(stored_status_)) {
    if (passes_left_ < 1) return kWait;
    --passes_left_;
    return sent_now;
  }
  reply_arrived_ = true;
  return SimActionMgr::Instance()->UnhookSelf(this);
}

Status SimSync::RequestComplete(Status result, void*) {
  reply_arrived_ = true;
  pending_id_ = 0;
  return result;
}
