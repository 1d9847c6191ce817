// Registration and the decoding of request bodies. Counts in a body come
// from the client: each is checked against the bytes that remain before
// anything is allocated for it.
#include "framework/servers/server_registry.h"

#include <array>
#include <memory>
#include <new>
#include <vector>

#include "foundation/directory/id_path.h"
#include "foundation/messages/su_print.h"
#include "foundation/values/typed_value.h"
#include "framework/messaging/message.h"
#include "framework/messaging/template.h"
#include "framework/servers/server_callback.h"

namespace {

constexpr std::uint32_t kLocalEntries = 15;
constexpr std::uint32_t kShortestString = 3;  // the 24-bit length alone
constexpr std::uint32_t kLog16 = 16;
constexpr std::uint32_t kLog17 = 17;
constexpr std::uint32_t kLog18 = 18;

// Short lists live in place, longer ones on the heap.
template <typename T>
class CommandList {
 public:
  T* Reserve(std::uint32_t n) {
    if (n <= kLocalEntries) return local_.data();
    heap_.reset(new (std::nothrow) T[n]());
    return heap_.get();
  }

 private:
  std::array<T, kLocalEntries> local_{};
  std::unique_ptr<T[]> heap_;
};

// Texts read from a body, freed when the list goes.
class TextList {
 public:
  ~TextList() {
    for (char* text : texts_) delete[] text;
  }
  Status Read(DseMessage& body, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
      char* text = nullptr;
      const Status read = body.GetStringNew(&text);
      if (status::IsFailure(read)) return read;
      texts_.push_back(text);
    }
    return status::kOk;
  }
  const char* const* Texts() const { return texts_.data(); }
  std::uint32_t Count() const { return static_cast<std::uint32_t>(texts_.size()); }

 private:
  std::vector<char*> texts_;
};

// A request whose body contradicts itself is refused, and said so.
Status Refused(const DseMessage& request, const char* why) {
  std::uint32_t type = request.type;
  std::uint32_t subtype = request.subtype;
  SuPrint(status::kBadArguments, "Message of type %u subtype %u refused: %s", &type, &subtype, why);
  return status::kBadArguments;
}

// A count from the body that the remaining bytes can hold at `least` bytes
// per entry.
Status ReadCount(DseMessage& body, std::uint32_t least, std::uint32_t* count) {
  const Status read = body.GetUInt32(count);
  if (status::IsFailure(read)) return read;
  if (static_cast<std::uint64_t>(*count) * least > body.RemainingBytes()) {
    return Refused(body, "a count larger than the message");
  }
  return status::kOk;
}

// The status as the body of a status-only reply, packed without a new id.
Status CarryStatus(DseMessage* answer, Status result, DseMessage** reply) {
  if (answer == nullptr) return DseMessage::kNoMemory;
  Status written = answer->PutUInt32(result);
  if (status::IsSuccess(written)) written = answer->Pack(false);
  if (status::IsFailure(written)) {
    delete answer;
    return written;
  }
  *reply = answer;
  return status::kOk;
}

}  // namespace

Status DseServerRegistry::Register(std::uint32_t type, DseServerCB* callback) {
  auto* leaf = static_cast<DseServerLeaf*>(servers_.Find(type));
  if (leaf != nullptr) {
    leaf->callback = callback;
  } else {
    leaf = new DseServerLeaf(type, callback);
    servers_.Insert(leaf);
    types_.Append(type);
  }
  if (callback != nullptr) callback->registry = this;
  return status::kOk;
}

DseServerCB* DseServerRegistry::FindServer(std::uint32_t type) const {
  const auto* leaf = static_cast<const DseServerLeaf*>(servers_.Find(type));
  return leaf != nullptr ? leaf->callback : nullptr;
}

void DseServerRegistry::SetLogCallbacks(DseLogCallback first, DseLogCallback second,
                                        DseLogCallback third) {
  log_[0] = first;
  log_[1] = second;
  log_[2] = third;
}

Status DseServerRegistry::ExecuteRequest(DseMessage* request, DseMessage** reply,
                                         DseTemplate** kept) {
  *reply = nullptr;
  *kept = nullptr;
  DseServerCB* server = FindServer(request->type);
  if (server == nullptr) return status::kGeneralFailure;
  return server->HandleRequest(request->type, request, reply, kept);
}

Status DseServerRegistry::ExecuteCommand(DseMessage* request) {
  std::uint32_t command = 0;
  Status read = request->GetUInt32(&command);
  if (status::IsFailure(read)) return read;

  std::uint32_t integer_count = 0;
  read = ReadCount(*request, 4, &integer_count);
  if (status::IsFailure(read)) return read;
  CommandList<std::int32_t> integer_list;
  std::int32_t* integers = integer_list.Reserve(integer_count);
  if (integers == nullptr) return DseMessage::kNoMemory;
  for (std::uint32_t i = 0; i < integer_count; ++i) {
    std::uint32_t value = 0;
    read = request->GetUInt32(&value);
    if (status::IsFailure(read)) return read;
    integers[i] = static_cast<std::int32_t>(value);
  }

  std::uint32_t real_count = 0;
  read = ReadCount(*request, 4, &real_count);
  if (status::IsFailure(read)) return read;
  CommandList<double> real_list;
  double* reals = real_list.Reserve(real_count);
  if (reals == nullptr) return DseMessage::kNoMemory;
  for (std::uint32_t i = 0; i < real_count; ++i) {
    if (request->GetFloatAsDouble(&reals[i]) != 1) return status::kUnhandled;
  }

  std::uint32_t string_count = 0;
  read = ReadCount(*request, kShortestString, &string_count);
  if (status::IsFailure(read)) return read;
  TextList strings;
  read = strings.Read(*request, string_count);
  if (status::IsFailure(read)) return read;

  const auto* leaf = static_cast<const DseServerLeaf*>(servers_.Find(request->type));
  if (leaf == nullptr) return status::kGeneralFailure;
  if (leaf->callback == nullptr) return status::kNotSupported;
  return leaf->callback->HandleCommand(request->type, command, string_count, strings.Texts(),
                                       integer_count, integers, real_count, reals);
}

Status DseServerRegistry::ExecuteIdPathRequest(DseMessage* request, DseTemplate** kept) {
  *kept = nullptr;
  DseServerCB* server = FindServer(request->type);
  if (server == nullptr) return status::kOk;
  switch (request->subtype) {
    case DseMessage::kIdPathRead:
      return ReadItems(request, server, kept);
    case DseMessage::kIdPathWrite:
      return WriteItems(request, server);
    case 10:
    case DseMessage::kRequest:
      return status::kOk;
    default:
      return status::kGeneralFailure;
  }
}

Status DseServerRegistry::ServeIdPathRequest(DseMessage* request, DseTemplate** kept) {
  *kept = nullptr;
  DseServerCB* server = FindServer(request->type);
  if (server == nullptr) return status::kOk;
  if (request->subtype != DseMessage::kIdPathRead) return status::kNotSupported;
  return ReadItems(request, server, kept);
}

Status DseServerRegistry::ReadItems(DseMessage* request, DseServerCB* server, DseTemplate** kept) {
  // The 8 bytes of the period come first.
  if (request->RemainingBytes() < 8) return status::kUnhandled;
  auto* response = new (std::nothrow) DseResponse(*request, server);
  if (response == nullptr) return DseMessage::kNoMemory;
  Status read = status::kOk;
  while (request->RemainingBytes() > 0) {
    BvuIdPath ids(*request, &read);
    std::uint16_t first = 0;
    std::uint16_t second = 0;
    if (status::IsSuccess(read)) read = request->GetUInt16(&first);
    if (status::IsSuccess(read)) read = request->GetUInt16(&second);
    if (status::IsFailure(read)) break;
    std::uint32_t code = 0;
    void* address = nullptr;
    const bool found =
        status::IsSuccess(server->GetItem(request->type, ids, first, second, &code, &address));
    if (!found) {
      code = 0;
      address = nullptr;
    }
    if (response->AddItem(ids, first, second, code, address, found) == 0) {
      read = DseMessage::kNoMemory;
      break;
    }
  }
  if (status::IsFailure(read)) {
    delete response;
    return read;
  }
  *kept = response;
  return status::kOk;
}

Status DseServerRegistry::WriteItems(DseMessage* request, DseServerCB* server) {
  const bool read_only = (request->flags & DseMessage::kPeriodicRequest) != 0;
  while (request->RemainingBytes() > 0) {
    Status read = status::kOk;
    BvuIdPath ids(*request, &read);
    std::uint16_t first = 0;
    std::uint16_t second = 0;
    std::uint16_t code = 0;
    if (status::IsSuccess(read)) read = request->GetUInt16(&first);
    if (status::IsSuccess(read)) read = request->GetUInt16(&second);
    if (status::IsSuccess(read)) read = request->GetUInt16(&code);
    if (status::IsFailure(read)) return read;
    SUValue value;
    read = value.ReadBinary(*request, code);
    if (read == status::kBadArguments) return Refused(*request, "a value that cannot be read");
    if (status::IsFailure(read)) return read;
    if (read_only) continue;
    const Status written = server->SetItem(request->type, ids, second, first, &value);
    if (status::IsFailure(written)) return written;
  }
  return status::kOk;
}

Status DseServerRegistry::ExecuteIOServerCommand(DseMessage* request, std::uint32_t code) {
  std::uint16_t item_count = 0;
  Status read = request->GetUInt16(&item_count);
  if (status::IsFailure(read)) return read;
  Status last = status::kOk;
  bool looked_up = false;
  DseServerCB* target = nullptr;
  for (std::uint32_t i = 0; i < item_count; ++i) {
    std::uint32_t value = 0;
    std::uint16_t line_count = 0;
    read = request->GetUInt32(&value);
    if (status::IsSuccess(read)) read = request->GetUInt16(&line_count);
    if (status::IsFailure(read)) return read;
    if (static_cast<std::uint32_t>(line_count) * kShortestString > request->RemainingBytes()) {
      return Refused(*request, "a count larger than the message");
    }
    TextList lines;
    read = lines.Read(*request, line_count);
    if (status::IsFailure(read)) return read;
    if (line_count == 0) continue;
    if (!looked_up) {
      target = FindServer(kIOServerType);
      looked_up = true;
    }
    last = target != nullptr ? target->HandleIOServerCommand(code, value, line_count, lines.Texts())
                             : Log(code, value, line_count, lines.Texts());
  }
  return last;
}

Status DseServerRegistry::Log(std::uint32_t code, std::uint32_t value, std::uint32_t line_count,
                              const char* const* lines) const {
  switch (code) {
    case kLog16:
      return log_[0] != nullptr ? log_[0](code, value, line_count, lines) : kNoLogCallback;
    case kLog17:
      return log_[1] != nullptr ? log_[1](code, value, line_count, lines) : kNoLogCallback;
    case kLog18:
      return log_[2] != nullptr ? log_[2](code, value, line_count, lines) : kNoLogCallback;
    default: {
      if (log_[2] == nullptr) return kNoLogCallback;
      const char* const unknown[] = {"Unknown I/O Server command received"};
      const char* const calling[] = {"Calling Std Log callback"};
      const Status first = log_[2](code, value, 1, unknown);
      const Status second = log_[2](code, value, 1, calling);
      return status::IsFailure(first) ? first : second;
    }
  }
}

Status DseServerRegistry::MakeStatusReplyTo(Status result, const DseMessage& request,
                                            DseMessage** reply) {
  *reply = nullptr;
  DseMessage* answer = DseMessage::DseMessageAsReply(request);
  if (answer == nullptr) return DseMessage::kNoMemory;
  answer->flags = request.flags | DseMessage::kReply | DseMessage::kStatusOnly;
  answer->sequence = request.sequence + 1;
  return CarryStatus(answer, result, reply);
}

Status DseServerRegistry::MakeStatusReply(Status result, const DseTemplate& kept,
                                          DseMessage** reply) {
  *reply = nullptr;
  DseMessage* answer = kept.MakeReply(kept.subtype, kept.message_class,
                                      kept.flags | DseMessage::kReply | DseMessage::kStatusOnly);
  return CarryStatus(answer, result, reply);
}
