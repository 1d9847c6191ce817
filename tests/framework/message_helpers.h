// Messages as a peer sees them, a recording requester and a recording server.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "foundation/directory/id_path.h"
#include "foundation/values/typed_value.h"
#include "framework/connections/segment.h"
#include "framework/messaging/message.h"
#include "framework/servers/client_callback.h"
#include "framework/servers/server_callback.h"
#include "tests/support/golden.h"

namespace testsupport {

using MessagePtr = std::unique_ptr<DseMessage>;

// The data bytes of a message being built, across its segments.
inline Bytes BodyOf(const DseMessage& message) {
  Bytes body;
  for (DseSegment* s = message.FirstSegment(); s != nullptr; s = s->next) {
    body.insert(body.end(), s->DataStart(), s->cursor);
  }
  return body;
}

// The frames of a message packed here (without a new id), end to end.
inline Bytes WireBytes(DseMessage& message) {
  message.Pack(false);
  Bytes bytes;
  for (DseSegment* s = message.FirstSegment(); s != nullptr; s = s->next) {
    bytes.insert(bytes.end(), s->frame, s->frame + s->FrameSize());
  }
  return bytes;
}

// Parses frames at *place into a chain until a message's last segment; the
// first segment names `from` as its source peer.
inline DseSegment* ParseChain(const unsigned char** place, const unsigned char* end,
                              DseIOQueue* from) {
  DseSegment* first = nullptr;
  DseSegment* last = nullptr;
  while (*place < end) {
    DseSegment* s = DseSegment::Make(last);
    const Status parsed = DseSegment::ParseFrame(s, place, end);
    EXPECT_EQ(parsed, 0u);
    if (first == nullptr) first = s;
    last = s;
    if (parsed != 0 || s->index >= s->count) break;
  }
  first->source_peer = from;
  return first;
}

inline MessagePtr MessageOf(DseSegment* chain) {
  std::uint32_t klass = 0, type = 0, subtype = 0;
  DseSegment::UnpackHeader(chain, &klass, &type, &subtype);
  return MessagePtr(DseMessage::DseMessageFromSegments(chain, klass, type, subtype));
}

// The messages in a written byte stream; the stream is emptied.
inline std::vector<MessagePtr> TakeMessages(Bytes* stream, DseIOQueue* from = nullptr) {
  std::vector<MessagePtr> messages;
  const unsigned char* place = stream->data();
  while (place < stream->data() + stream->size()) {
    messages.push_back(MessageOf(ParseChain(&place, stream->data() + stream->size(), from)));
  }
  stream->clear();
  return messages;
}

// The chain, or the message, a peer receives for the message sent here.
inline DseSegment* ReceivedChain(DseMessage& sent, DseIOQueue* from = nullptr) {
  const Bytes bytes = WireBytes(sent);
  const unsigned char* place = bytes.data();
  return ParseChain(&place, bytes.data() + bytes.size(), from);
}
inline MessagePtr Received(DseMessage& sent, DseIOQueue* from = nullptr) {
  return MessageOf(ReceivedChain(sent, from));
}

// Turns a message written here into one read from its first byte, as a
// peer would read it: reading stops where writing stopped, not at the end
// of a segment's room (a pooled segment holds an earlier message's bytes).
inline void ReadAsWritten(DseMessage& message) {
  for (DseSegment* s = message.FirstSegment(); s != nullptr; s = s->next) s->window_end = s->cursor;
  message.RereadFrom(message.FirstSegment()->DataStart());
}

// A message of this type and subtype whose body holds these bytes, as
// received.
inline MessagePtr ReceivedBody(const Bytes& body, std::uint32_t type = 60,
                               std::uint32_t subtype = DseMessage::kRequest,
                               std::uint32_t flags = 0) {
  DseMessage sent(type, subtype);
  sent.flags = flags;
  for (std::uint8_t byte : body) sent.PutUInt8(byte);
  return Received(sent);
}

// Distinct peer addresses for destinations; never dereferenced.
inline DseIOQueue* Peer(int i) {
  static char peers[8];
  return reinterpret_cast<DseIOQueue*>(&peers[i]);
}

// Records what a requester is told.
class RecordingClient : public DseClientCB {
 public:
  Status HandleTemplateReply(std::uint32_t, DseMessage*) override {
    ++template_replies;
    return template_answer;
  }
  Status HandleReply(std::uint32_t type, DseMessage*, void*) override {
    reply_types.push_back(type);
    return reply_answer;
  }
  Status RequestComplete(Status status, void* context) override {
    completions.push_back(status);
    last_context = context;
    return 0;
  }

  int template_replies = 0;
  Status template_answer = 0;
  Status reply_answer = 0;
  std::vector<std::uint32_t> reply_types;
  std::vector<Status> completions;
  void* last_context = nullptr;
};

template <typename T>
std::string Joined(std::string head, std::uint32_t n, const T* items) {
  for (std::uint32_t i = 0; i < n; ++i) {
    if constexpr (std::is_pointer_v<T>) {
      head += std::string("|") + (items[i] ? items[i] : "<null>");
    } else {
      head.append("|").append(std::to_string(items[i]));
    }
  }
  return head;
}

// A server whose items are variables named by the id before the end marker;
// it notes every call, reading every text it is handed.
class ItemServer : public DseServerCB {
 public:
  struct Item {
    std::uint32_t code;
    void* address;
  };

  Status HandleCommand(std::uint32_t type, std::uint32_t number, std::uint32_t string_count,
                       const char* const* strings, std::uint32_t integer_count,
                       const std::int32_t* integers, std::uint32_t real_count,
                       const double* reals) override {
    calls.push_back(
        Joined(std::to_string(type) + " " + std::to_string(number), string_count, strings) +
        Joined("", integer_count, integers) + Joined("", real_count, reals));
    return 0x00320001;
  }
  Status GetItem(std::uint32_t, const BvuIdPath& ids, std::uint32_t, std::uint32_t,
                 std::uint32_t* code, void** address) override {
    ++lookups;
    const auto found = items.find(Key(ids));
    const Item* item = found != items.end()     ? &found->second
                       : any.address != nullptr ? &any
                                                : nullptr;
    if (item == nullptr) return 0x8000FFFF;
    *code = item->code;
    *address = item->address;
    return 0;
  }
  Status SetItem(std::uint32_t, const BvuIdPath& ids, std::uint32_t second, std::uint32_t first,
                 SUValue* value) override {
    calls.push_back(std::to_string(Key(ids)) + " second " + std::to_string(second) + " first " +
                    std::to_string(first) + " type " + std::to_string(value->type));
    return calls.size() == fail_write_at ? 0x80000555 : 0;
  }
  Status HandleIOServerCommand(std::uint32_t code, std::uint32_t value, std::uint32_t n,
                               const char* const* lines) override {
    calls.push_back(Joined(std::to_string(code) + ":" + std::to_string(value), n, lines));
    return 0x17;
  }

  // The id before the end marker (0 for a path of fewer ids).
  static std::uint32_t Key(const BvuIdPath& ids) {
    return ids.count() < 2 ? 0 : ids.ids()[ids.count() - 2];
  }

  std::vector<std::string> calls;
  std::map<std::uint32_t, Item> items;
  Item any = {0, nullptr};  // the item of any other path, when it has an address
  int lookups = 0;
  std::size_t fail_write_at = 0;
};

}  // namespace testsupport
