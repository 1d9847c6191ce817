// Building, packing and destroying messages; the control messages made from
// a request; gathering and handing on the replies of a request.
#include "framework/messaging/message.h"

#include <cstring>
#include <new>

#include "framework/connections/segment.h"
#include "framework/messaging/message_ids.h"
#include "framework/servers/client_callback.h"

DseMessage::DseMessage(std::uint32_t message_type, std::uint32_t message_subtype, NoSegment)
    : type(message_type), subtype(message_subtype) {}

DseMessage::DseMessage(std::uint32_t message_type, std::uint32_t message_subtype)
    : DseMessage(message_type, message_subtype, NoSegment{}) {
  first_ = current_ = DseSegment::Make(nullptr);
}

DseMessage* DseMessage::DseMessageDefault() { return new (std::nothrow) DseMessage(0, kRequest); }

DseMessage* DseMessage::DseMessageAsReply(const DseMessage& request) {
  auto* reply = new (std::nothrow) DseMessage(request.type, request.subtype);
  if (reply == nullptr) return nullptr;
  reply->message_class = request.message_class;
  reply->aux = request.aux;
  reply->sequence = request.sequence;
  reply->flags = request.flags | kReply;
  reply->SetId(request.id_);
  if (reply->first_ != nullptr) reply->first_->source_peer = request.SourcePeer();
  return reply;
}

DseMessage* DseMessage::DseMessageFromSegments(DseSegment* chain, std::uint32_t klass,
                                               std::uint32_t message_type,
                                               std::uint32_t message_subtype) {
  auto* message = new (std::nothrow) DseMessage(message_type, message_subtype, NoSegment{});
  if (message == nullptr) return nullptr;
  message->message_class = klass;
  message->first_ = message->current_ = chain;
  if (chain != nullptr) {
    message->flags = chain->flags;
    message->aux = chain->aux;
    message->sequence = chain->sequence;
    message->SetId(chain->message_id);
  }
  message->state_ = kPacked;
  return message;
}

DseMessage* DseMessage::MakeEvent(std::uint32_t code, std::uint32_t value, std::uint32_t line_count,
                                  const char* const* lines) {
  if (line_count > 0xFFFF) return nullptr;
  auto* event = new (std::nothrow) DseMessage(kEventType, code);
  if (event == nullptr) return nullptr;
  event->flags = kNoReply;
  Status written = event->PutUInt16(1);
  if (status::IsSuccess(written)) written = event->PutUInt32(value);
  if (status::IsSuccess(written))
    written = event->PutUInt16(static_cast<std::uint16_t>(line_count));
  for (std::uint32_t i = 0; i < line_count && status::IsSuccess(written); ++i) {
    written = event->PutString(lines[i]);
  }
  if (status::IsFailure(written)) {
    delete event;
    return nullptr;
  }
  return event;
}

DseMessage* DseMessage::DseMessageCopy(const DseMessage& source) {
  auto* copy = new (std::nothrow) DseMessage(source.type, source.subtype, NoSegment{});
  if (copy == nullptr) return nullptr;
  copy->message_class = source.message_class;
  copy->aux = source.aux;
  DseSegment* previous = nullptr;
  for (DseSegment* s = source.first_; s != nullptr; s = s->next) {
    DseSegment* made = DseSegment::Make(previous);
    if (made == nullptr) {
      delete copy;
      return nullptr;
    }
    if (copy->first_ == nullptr) copy->first_ = made;
    copy->current_ = made;
    previous = made;
    // Values never straddle segments, so the copy keeps the boundaries.
    const unsigned char* begin = s->DataStart();
    const unsigned char* end =
        source.state_ == kPacked ? s->frame + s->frame_length + 4 : s->cursor;
    const std::size_t size = end > begin ? static_cast<std::size_t>(end - begin) : 0;
    const std::size_t room = static_cast<std::size_t>(made->window_end - made->cursor);
    std::memcpy(made->cursor, begin, size < room ? size : room);
    made->cursor += size < room ? size : room;
  }
  if (copy->first_ == nullptr) {
    copy->first_ = copy->current_ = DseSegment::Make(nullptr);
    if (copy->first_ == nullptr) {
      delete copy;
      return nullptr;
    }
  }
  return copy;
}

DseMessage::~DseMessage() {
  DseSegment::ReturnChain(first_);
  for (DseSegment*& chain : replies_) {
    DseSegment::ReturnChain(chain);
    chain = nullptr;
  }
  ReleaseId();
}

void DseMessage::ReleaseId() {
  if (id_ != 0) DseMessageIdAllocator::Current().Lower(id_);
  id_ = 0;
}

void DseMessage::SetId(std::uint32_t id) {
  if (id != 0) DseMessageIdAllocator::Current().Raise(id);
  ReleaseId();
  id_ = id;
}

void DseMessage::SetTimeout(std::int32_t ms) { timeout = ms; }

void DseMessage::SetInterval(const double* value) { interval = value != nullptr ? *value : 0.0; }

Status DseMessage::PrepareSend(DseClientCB* client, void* context, const double* interval_ptr,
                               std::int32_t timeout_ms) {
  SetTimeout(timeout_ms);
  SetInterval(interval_ptr);
  client_ = client;
  context_ = context;
  if (interval > 0.0) flags |= kPeriodicRequest | kPeriodic;
  return Pack(true);
}

Status DseMessage::Pack(bool new_id) {
  if (state_ == kPacked) return status::kOk;
  ForgetRemaining();
  if (first_ == nullptr) {
    first_ = current_ = DseSegment::Make(nullptr);
    if (first_ == nullptr) return kNoMemory;
  }
  if (new_id && (flags & kReply) == 0) {
    DseMessageIdAllocator& ids = DseMessageIdAllocator::Current();
    const std::uint32_t fresh = ids.Allocate();
    if (fresh == 0) return status::kGeneralFailure;  // every id is in use
    ReleaseId();
    id_ = fresh;  // Allocate counted it already
  }
  state_ = kPacked;
  first_->flags = static_cast<std::uint8_t>(flags);
  first_->message_id = id_;
  first_->aux = static_cast<std::uint8_t>(aux);
  first_->sequence = static_cast<std::uint8_t>(sequence);
  return DseSegment::PackHeaders(first_, message_class, type, subtype, nullptr);
}

DseMessage* DseMessage::MakeControl(std::uint32_t control_subtype,
                                    std::uint32_t control_flags) const {
  auto* control = new (std::nothrow) DseMessage(type, control_subtype);
  if (control == nullptr) return nullptr;
  control->message_class = message_class;
  control->flags = control_flags;
  if (status::IsFailure(control->PutUInt16(static_cast<std::uint16_t>(id_)))) {
    delete control;
    return nullptr;
  }
  return control;
}

DseMessage* DseMessage::MakeCancel() const { return MakeControl(kCancel, kNoReply); }
DseMessage* DseMessage::MakeNotice6() const { return MakeControl(kNotice, 0); }
DseMessage* DseMessage::MakeDrop() const { return MakeControl(kDropTimer, 0); }
DseMessage* DseMessage::MakeStartTimer() const { return MakeControl(kStartTimer, 0); }

// --- segments and destinations ---

DseSegment* DseMessage::TakeSegments() {
  DseSegment* chain = first_;
  first_ = current_ = nullptr;
  ForgetRemaining();
  return chain;
}

DseIOQueue* DseMessage::SourcePeer() const {
  return first_ != nullptr ? first_->source_peer : nullptr;
}

bool DseMessage::AddDestination(DseIOQueue* peer) {
  if (destination_count_ >= kMaxDestinations) return false;
  destinations_[destination_count_++] = peer;
  return true;
}

void DseMessage::CopyDestinations(const DseMessage& request) {
  destinations_ = request.destinations_;
  destination_count_ = request.destination_count_;
}

Status DseMessage::CollectReply(DseSegment* chain) {
  if (chain == nullptr) return status::kUnhandled;
  for (std::uint32_t i = 0; i < destination_count_; ++i) {
    if (destinations_[i] != chain->source_peer) continue;
    if (replies_[i] != nullptr) return status::kUnhandled;
    replies_[i] = chain;
    flags |= chain->flags;
    return status::kOk;
  }
  return status::kUnhandled;
}

bool DseMessage::HasAllReplies() const {
  for (std::uint32_t i = 0; i < destination_count_; ++i) {
    if (destinations_[i] != nullptr && replies_[i] == nullptr) return false;
  }
  return true;
}

// --- replies ---

void DseMessage::ForEachReply(DseMessage* reply, const std::function<void(DseMessage&)>& visit) {
  if ((reply->flags & kGathered) == 0) {
    visit(*reply);
    return;
  }
  for (std::uint32_t i = 0; i < reply->destination_count_; ++i) {
    DseSegment* chain = reply->replies_[i];
    if (chain == nullptr) continue;
    std::uint32_t klass = 0;
    std::uint32_t chain_type = 0;
    std::uint32_t chain_subtype = 0;
    if (status::IsFailure(DseSegment::UnpackHeader(chain, &klass, &chain_type, &chain_subtype)))
      continue;
    // A view over the chain, which stays the gathered reply's.
    DseMessage one(chain_type, chain_subtype, NoSegment{});
    one.message_class = klass;
    one.first_ = one.current_ = chain;
    one.flags = chain->flags;
    one.aux = chain->aux;
    one.sequence = chain->sequence;
    one.state_ = kPacked;
    visit(one);
    one.TakeSegments();
  }
}

namespace {

// The status a status-only reply carries, or the failure of reading it.
Status StatusOf(DseMessage& reply) {
  std::uint32_t carried = 0;
  const Status read = reply.GetUInt32(&carried);
  return status::IsFailure(read) ? read : carried;
}

}  // namespace

Status DseMessage::OnReply(DseMessage* reply, DseMessage** follow_up) {
  if (follow_up != nullptr) *follow_up = nullptr;
  if (subtype != kRequest) {
    // Still tell the client that its request is over, so nobody waits for it.
    if (client_ != nullptr) client_->RequestComplete(status::kGeneralFailure, context_);
    return status::kGeneralFailure;
  }
  Status combined = status::kOk;
  ForEachReply(reply, [&](DseMessage& one) {
    Status result;
    if ((one.flags & kStatusOnly) != 0) {
      result = StatusOf(one);
    } else {
      result =
          client_ != nullptr ? client_->HandleReply(type, &one, context_) : status::kNotSupported;
    }
    if (status::IsFailure(result)) {
      combined = result;
    } else if (status::IsSuccess(combined) && status::Code(result) > status::Code(combined)) {
      combined = result;
    }
  });
  if (client_ != nullptr) client_->RequestComplete(combined, context_);
  return combined;
}

Status DseMessage::OnTemplateReply(DseMessage* reply) {
  if (subtype != kRequest) return status::kGeneralFailure;
  if (client_ == nullptr) return status::kNotSupported;
  const Status handled = client_->HandleTemplateReply(type, reply);
  if (status::IsFailure(handled)) client_->RequestComplete(handled, context_);
  return handled;
}

// --- commands ---

DseCommand::DseCommand(std::uint32_t command_type, std::uint32_t command,
                       std::uint32_t string_count, const char* const* strings,
                       std::uint32_t integer_count, const std::int32_t* integers,
                       std::uint32_t real_count, const double* reals)
    : DseMessage(command_type, kCommand) {
  Status written = PutUInt32(command);
  auto keep = [&](Status s) {
    if (status::IsSuccess(written)) written = s;
  };
  keep(PutUInt32(integer_count));
  for (std::uint32_t i = 0; i < integer_count; ++i)
    keep(PutUInt32(static_cast<std::uint32_t>(integers[i])));
  keep(PutUInt32(real_count));
  for (std::uint32_t i = 0; i < real_count; ++i) keep(PutFloat(static_cast<float>(reals[i])));
  keep(PutUInt32(string_count));
  for (std::uint32_t i = 0; i < string_count; ++i) keep(PutString(strings[i]));
  build_status_ = written;
}

Status DseCommand::PrepareSend(DseClientCB* client, void* context, const double* interval_ptr,
                               std::int32_t timeout_ms) {
  if (status::IsFailure(build_status_)) return build_status_;
  message_class = kOrdinaryClass;
  SetState(kCommandPrepared);
  return DseMessage::PrepareSend(client, context, interval_ptr, timeout_ms);
}

Status DseCommand::OnReply(DseMessage* reply, DseMessage** follow_up) {
  if (follow_up != nullptr) *follow_up = nullptr;
  Status combined = status::kOk;
  bool failed = false;
  ForEachReply(reply, [&](DseMessage& one) {
    const Status result = StatusOf(one);
    if (status::IsFailure(result)) {
      if (!failed || static_cast<std::int32_t>(result) < static_cast<std::int32_t>(combined)) {
        combined = result;
      }
      failed = true;
    } else if (!failed && result > combined) {
      combined = result;
    }
  });
  if (Client() != nullptr) Client()->RequestComplete(combined, Context());
  return combined;
}
