// Polling rounds: posting deferred lines, reading, running the timers of
// periodic requests, and dispatching each received message to its server or
// to the request that waits for it.
#include <algorithm>
#include <memory>

#include "foundation/messages/su_print.h"
#include "framework/connections/segment.h"
#include "framework/messaging/io_queue.h"
#include "framework/messaging/message.h"
#include "framework/messaging/template.h"
#include "framework/servers/client_callback.h"
#include "framework/servers/controller.h"
#include "framework/servers/server_registry.h"

// --- rounds ---

Status DseController::Poll() {
  if (ready_ == 0) return status::kUnhandled;
  PostDeferredLines();
  return Round(false);
}

Status DseController::PollWithTimers() {
  if (ready_ == 0) return status::kUnhandled;
  return Round(true);
}

bool DseController::EndRequested(const std::function<bool(DseMessage&)>& ends) {
  if (ready_ == 0) return false;
  // Read on beyond the bound of what may wait, for the message that ends
  // the work; the rest is refused.
  const Status read = io_->ReadAll(&ends);
  if (read == DseIOQueue::kPeerLost) return true;
  return io_->AnyReceived(ends);
}

Status DseController::Round(bool with_timers) {
  const Status read = io_->ReadAll();
  if (status::IsFailure(read)) return read;
  UpdateConnectionState();
  if (with_timers) RunTimers();
  // A peer that takes nothing pauses the round once, after every message
  // read is answered: not once for each answer, with the others' messages
  // (a command 2 among them) waiting behind.
  io_->DeferPauses(true);
  for (;;) {
    DseMessage* message = io_->TakeBatchedMessage();
    if (message == nullptr) message = io_->TakeReceived();
    if (message == nullptr) break;
    Dispatch(message);
  }
  io_->DeferPauses(false);
  const Status flushed = io_->Flush();
  // Checked after what was read is dispatched: it may complete the handshake.
  if (PastConnectDeadline()) {
    ReportMissedHandshake();
    return DseIOQueue::kPeerLost;
  }
  return flushed;
}

void DseController::PostDeferredLines() {
  while (!deferred_.empty()) {
    const DeferredLine& line = deferred_.front();
    const std::uint32_t one = 1;
    const char* const text[] = {line.text.c_str()};
    const char* const* lines[] = {text};
    if (status::IsFailure(PostEvents(kLogEventCode, 1, &line.value, &one, lines, nullptr))) return;
    deferred_.pop_front();
  }
}

// --- timers ---

DseTemplateTimer* DseController::TimerOf(const DseTemplate* kept) const {
  for (const auto& timer : timers_) {
    if (timer->kept_template == kept) return timer.get();
  }
  return nullptr;
}

void DseController::AddTimer(DseTemplate* kept) {
  auto timer = std::make_unique<DseTemplateTimer>(kept);
  const auto after = std::find_if(timers_.begin(), timers_.end(),
                                  [&](const auto& t) { return t->time > timer->time; });
  timers_.insert(after, std::move(timer));
}

void DseController::RemoveTimer(const DseTemplate* kept) {
  std::erase_if(timers_, [&](const auto& t) { return t->kept_template == kept; });
}

void DseController::KeepTemplate(DseTemplate* kept) {
  // A template kept under the same id before goes with its timer.
  if (auto* old = static_cast<DseTemplate*>(templates_.Find(kept->id))) RemoveTimer(old);
  AddTimer(kept);
  templates_.Insert(kept);
}

void DseController::RunTimers() {
  // A fill may poll; whatever it changes is looked up again for each timer.
  std::vector<std::pair<std::uint32_t, DseTemplate*>> due;
  for (const auto& timer : timers_) {
    if (timer->active != 0) due.emplace_back(timer->kept_template->id, timer->kept_template);
  }
  for (const auto& [id, kept] : due) {
    if (templates_.Find(id) != kept || TimerOf(kept) == nullptr) continue;
    DseMessage* values = nullptr;
    kept->busy = 1;
    const Status filled = kept->Fill(&values);
    kept->busy = 0;
    if (templates_.Find(id) != kept) {
      // Cancelled while it was being filled.
      delete values;
      delete kept;
      continue;
    }
    if (status::IsFailure(filled)) {
      delete values;
      DseMessage* failure = nullptr;
      if (status::IsSuccess(DseServerRegistry::MakeStatusReply(filled, *kept, &failure))) {
        RouteOwn(failure);
      }
      RemoveTimer(kept);
      delete static_cast<DseTemplate*>(templates_.Remove(id));
      continue;
    }
    if (values != nullptr) RouteOwn(values);
  }
}

// --- dispatch ---

Status DseController::Dispatch(DseMessage* message) {
  std::unique_ptr<DseMessage> owned(message);
  if (ready_ == 0) return status::kGeneralFailure;
  if ((message->flags & DseMessage::kReply) != 0) {
    DispatchReply(*message);
  } else {
    DispatchRequest(*message);
  }
  return status::kOk;
}

namespace {

// Gives a reply the request's address and header: its id, type, subtype,
// aux and source peer, the next sequence, and its flags with extra_flags.
void Readdress(DseMessage& reply, const DseMessage& request, std::uint32_t extra_flags) {
  reply.type = request.type;
  reply.subtype = request.subtype;
  reply.aux = request.aux;
  reply.sequence = request.sequence + 1;
  reply.flags = request.flags | extra_flags;
  reply.SetId(request.GetId());
  if (reply.FirstSegment() != nullptr) reply.FirstSegment()->source_peer = request.SourcePeer();
}

}  // namespace

void DseController::Answer(const DseMessage& request, Status result) {
  if ((request.flags & DseMessage::kNoReply) != 0) return;
  DseMessage* reply = nullptr;
  if (status::IsSuccess(DseServerRegistry::MakeStatusReplyTo(result, request, &reply))) {
    RouteOwn(reply);
  }
}

void DseController::DispatchRequest(DseMessage& request) {
  const std::uint32_t type = request.type;
  if (type == DseMessage::kConnectionType) {
    if (request.subtype == DseMessage::kConnect) {
      DseMessage* answer = nullptr;
      if (status::IsSuccess(io_->AnswerConnect(&request, &answer))) {
        UpdateConnectionState();
        RouteOwn(answer);
      }
    } else if (request.subtype == DseMessage::kPeerList) {
      io_->AddPeersFromList(&request);
      UpdateConnectionState();
      DseMessage* connect = nullptr;
      if (status::IsSuccess(io_->MakeConnectMessage(&connect))) RouteOwn(connect);
    }
    return;
  }
  if (type == 2 || type == 3) return;
  if (type == DseMessage::kEventType) {
    if (registry_ != nullptr) registry_->ExecuteIOServerCommand(&request, request.subtype);
    return;
  }
  std::uint16_t id = 0;
  switch (request.subtype) {
    case DseMessage::kBatchAnnouncement: {
      if (request.SourcePeer() == nullptr) {
        // Taken from a batch: opening another would start over the one
        // being read.
        SuPrint(status::kBadArguments, "Batched messages refused: %s",
                "a batch announced inside a batch");
        Answer(request, status::kBadArguments);
        return;
      }
      std::uint32_t first = 0;
      std::uint32_t second = 0;
      std::uint32_t size = 0;
      Status result = request.GetUInt32(&first);
      if (status::IsSuccess(result)) result = request.GetUInt32(&second);
      if (status::IsSuccess(result)) result = request.GetUInt32(&size);
      if (status::IsSuccess(result)) result = io_->OpenBatchedMessageFile(first, second, size);
      Answer(request, result);
      return;
    }
    case DseMessage::kIdPathWrite: {
      DseTemplate* kept = nullptr;
      const Status result = registry_ != nullptr ? registry_->ExecuteIdPathRequest(&request, &kept)
                                                 : status::kGeneralFailure;
      delete kept;
      Answer(request, result);
      return;
    }
    case DseMessage::kCommand:
      Answer(request,
             registry_ != nullptr ? registry_->ExecuteCommand(&request) : status::kGeneralFailure);
      return;
    case DseMessage::kIdPathRead:
    case DseMessage::kRequest:
      ExecuteRequest(request);
      return;
    case DseMessage::kCancel:
      if (status::IsSuccess(request.GetUInt16(&id))) {
        if (auto* kept = static_cast<DseTemplate*>(templates_.Remove(id))) {
          RemoveTimer(kept);
          delete static_cast<DseMessage*>(pending_.Remove(id));
          // A template being filled is destroyed where it is filled.
          if (kept->busy == 0) delete kept;
        }
      }
      return;
    case DseMessage::kDropTimer:
      if (status::IsSuccess(request.GetUInt16(&id))) {
        if (auto* kept = static_cast<DseTemplate*>(templates_.Find(id))) RemoveTimer(kept);
      }
      return;
    case DseMessage::kStartTimer:
      if (status::IsSuccess(request.GetUInt16(&id))) {
        auto* kept = static_cast<DseTemplate*>(templates_.Find(id));
        if (kept != nullptr && TimerOf(kept) == nullptr) AddTimer(kept);
      }
      return;
    default:
      return;
  }
}

void DseController::ExecuteRequest(DseMessage& request) {
  DseMessage* made = nullptr;
  DseTemplate* kept = nullptr;
  Status result = registry_ != nullptr ? registry_->ExecuteRequest(&request, &made, &kept)
                                       : status::kGeneralFailure;
  std::unique_ptr<DseMessage> reply(made);
  std::unique_ptr<DseTemplate> held(kept);
  if (held != nullptr && status::IsSuccess(result) && reply == nullptr) {
    DseMessage* header = nullptr;
    result = held->BuildHeader(&header);
    if (status::IsSuccess(result) && header != nullptr) {
      Readdress(*header, request, DseMessage::kReply | DseMessage::kTemplateBuilt);
      RouteOwn(header);
      DseMessage* values = nullptr;
      held->busy = 1;
      result = held->Fill(&values);
      held->busy = 0;
      reply.reset(values);
      // A template whose first fill failed is not worth a timer.
      if ((request.flags & DseMessage::kPeriodicRequest) != 0 && status::IsSuccess(result)) {
        KeepTemplate(held.release());
      }
    }
  }
  if (reply == nullptr || status::IsFailure(result)) {
    Answer(request, result);
    return;
  }
  Readdress(*reply, request, DseMessage::kReply);
  RouteOwn(reply.release());
}

void DseController::DispatchReply(DseMessage& reply) {
  const std::uint32_t id = reply.GetId();
  auto* request = static_cast<DseMessage*>(pending_.Find(id));
  const std::uint32_t subtype = reply.subtype;
  if ((reply.flags & DseMessage::kTemplateBuilt) != 0 &&
      (subtype == DseMessage::kIdPathRead || subtype == DseMessage::kRequest)) {
    if (request != nullptr) request->OnTemplateReply(&reply);
    return;
  }
  const bool reply_keeps = (reply.flags & (DseMessage::kKeepPending | DseMessage::kPeriodic)) != 0;
  if ((reply.flags & DseMessage::kStatusOnly) != 0 && reply.aux == 1) {
    std::uint32_t carried = 0;
    if (request == nullptr || status::IsFailure(reply.GetUInt32(&carried))) return;
    if (!reply_keeps) pending_.Remove(id);
    if (request->Client() != nullptr)
      request->Client()->RequestComplete(carried, request->Context());
    if (!reply_keeps) delete request;
    return;
  }
  if (reply.type == DseMessage::kConnectionType && subtype == DseMessage::kConnect) {
    io_->TakeConnectReply(&reply);
    UpdateConnectionState();
    return;
  }
  if (request == nullptr) return;
  bool stays = false;
  switch (subtype) {
    case DseMessage::kIdPathRead:
      stays = (request->flags & DseMessage::kPeriodic) != 0;
      break;
    case DseMessage::kIdPathWrite:
      break;
    case DseMessage::kCommand:
    case DseMessage::kRequest:
      stays = reply_keeps;
      break;
    default:
      return;
  }
  // Out of the table before its client runs, which may poll.
  if (!stays) pending_.Remove(id);
  DseMessage* follow_up = nullptr;
  request->OnReply(&reply, &follow_up);
  if (!stays) delete request;
  if (follow_up != nullptr) RouteOwn(follow_up);
}
