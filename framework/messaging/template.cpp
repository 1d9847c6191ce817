#include "framework/messaging/template.h"

#include <cstring>
#include <iomanip>
#include <new>
#include <ostream>

#include "framework/connections/segment.h"
#include "framework/messaging/message.h"
#include "framework/messaging/message_ids.h"
#include "framework/servers/server_callback.h"

DseTemplate::DseTemplate(DseMessage& request)
    : type(request.type), id(request.GetId()), source_peer(request.SourcePeer()),
      subtype(request.subtype), flags(request.flags | DseMessage::kReply), aux(request.aux),
      sequence(request.sequence), message_class(request.message_class) {
  DseMessageIdAllocator::Current().Raise(id);
  if (subtype == DseMessage::kIdPathRead) request.TryGet8(&period);
}

DseTemplate::~DseTemplate() { DseMessageIdAllocator::Current().Lower(id); }

void DseTemplate::PrintLeaf(std::ostream& out) {
  out << '[' << static_cast<const void*>(this) << "] id=" << std::setw(4) << id << " (DseTemplate)";
}

DseMessage* DseTemplate::MakeReply(std::uint32_t reply_subtype, std::uint32_t reply_class,
                                   std::uint32_t reply_flags) const {
  auto* reply = new (std::nothrow) DseMessage(type, reply_subtype);
  if (reply == nullptr) return nullptr;
  if (reply->FirstSegment() == nullptr) {
    delete reply;
    return nullptr;
  }
  reply->message_class = reply_class;
  reply->flags = reply_flags;
  reply->aux = aux;
  reply->sequence = sequence + 1;
  reply->SetId(id);
  reply->FirstSegment()->source_peer = source_peer;
  return reply;
}

DseResponse::DseResponse(DseMessage& request, DseServerCB* callback) : DseTemplate(request) {
  server = callback;
}

DseResponse::~DseResponse() {
  BvuListElem* item = items_.first;
  while (item != nullptr) {
    BvuListElem* after = item->next;
    delete item;
    item = after;
  }
}

std::int32_t DseResponse::AddItem(const BvuIdPath& ids, std::uint32_t first, std::uint32_t second,
                                  std::uint32_t type_code, void* value_address, bool resolved) {
  auto* item = new (std::nothrow) DseServerItem();
  if (item == nullptr) return 0;
  item->ids = ids;
  item->first = first;
  item->second = second;
  item->type_code = type_code;
  item->value_address = value_address;
  item->resolved = resolved;
  if (items_.last != nullptr) {
    items_.last->next = item;
  } else {
    items_.first = item;
  }
  items_.last = item;
  ++items_.count;
  return 1;
}

Status DseResponse::BuildHeader(DseMessage** reply) {
  *reply = nullptr;
  DseMessage* header = MakeReply(DseMessage::kIdPathRead, DseMessage::kControlClass,
                                 DseMessage::kReply | DseMessage::kTemplateBuilt);
  if (header == nullptr) return DseMessage::kNoMemory;
  for (BvuListElem* e = items_.first; e != nullptr; e = e->next) {
    const Status written =
        header->PutUInt16(static_cast<std::uint16_t>(static_cast<DseServerItem*>(e)->type_code));
    if (status::IsFailure(written)) {
      delete header;
      return written;
    }
  }
  *reply = header;
  return status::kOk;
}

Status DseResponse::Refresh() {
  for (BvuListElem* e = items_.first; e != nullptr; e = e->next) {
    auto* item = static_cast<DseServerItem*>(e);
    if (!item->resolved) continue;
    std::uint32_t code = 0;
    void* address = nullptr;
    const Status found = server != nullptr ? server->GetItem(type, item->ids, item->first,
                                                             item->second, &code, &address)
                                           : status::kNotSupported;
    if (status::IsFailure(found)) return found;
    // The requester reads the values by the codes of the header reply.
    if (code != item->type_code) return status::kGeneralFailure;
    item->value_address = address;
  }
  return status::kOk;
}

namespace {

template <typename T>
T ValueAt(const void* address) {
  T value{};
  if (address != nullptr) std::memcpy(&value, address, sizeof value);
  return value;
}

Status WriteItem(DseMessage& reply, const DseServerItem& item) {
  const void* at = item.value_address;
  switch (item.type_code) {
    case 0:
      return status::kOk;
    case 1:
      return reply.PutUInt8(ValueAt<std::uint8_t>(at));
    case 4:
      return reply.PutUInt32(ValueAt<std::uint32_t>(at));
    case 20:
      return reply.PutFloat(ValueAt<float>(at));
    case 24:
      return reply.PutDouble(ValueAt<double>(at));
    case 68:
      return reply.PutString(static_cast<const char*>(at));
    default:
      return status::kGeneralFailure;
  }
}

}  // namespace

Status DseResponse::Fill(DseMessage** reply) {
  *reply = nullptr;
  if (subtype != DseMessage::kIdPathRead) return status::kGeneralFailure;
  if (!fresh_) {
    const Status refreshed = Refresh();
    if (status::IsFailure(refreshed)) return refreshed;
  }
  fresh_ = false;
  DseMessage* values = MakeReply(subtype, message_class, DseMessage::kReply);
  if (values == nullptr) return DseMessage::kNoMemory;
  for (BvuListElem* e = items_.first; e != nullptr; e = e->next) {
    const Status written = WriteItem(*values, *static_cast<DseServerItem*>(e));
    if (status::IsFailure(written)) {
      delete values;
      return written;
    }
  }
  *reply = values;
  return status::kOk;
}
